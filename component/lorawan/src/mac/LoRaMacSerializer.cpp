/*!
 * \file LoRaMacSerializer.cpp
 *
 * \brief Frame serializer: multi-byte counters, addresses and the MIC go
 *        least significant byte first, EUIs reversed from their stored order.
 */
#include "LoRaMacSerializer.h"

#include "utilities.h"

namespace {

uint16_t PutLe(uint8_t* buf, uint16_t pos, uint32_t value, uint8_t size) {
  for (uint8_t i = 0; i < size; i++) {
    buf[pos++] = static_cast<uint8_t>(value >> (8 * i));
  }
  return pos;
}

uint16_t PutEui(uint8_t* buf, uint16_t pos, const uint8_t* eui) {
  memcpyr(&buf[pos], eui, LORAMAC_JOIN_EUI_FIELD_SIZE);
  return static_cast<uint16_t>(pos + LORAMAC_JOIN_EUI_FIELD_SIZE);
}

}  // namespace

LoRaMacSerializerStatus_t LoRaMacSerializerJoinRequest(LoRaMacMessageJoinRequest_t* macMsg) {
  if (macMsg == nullptr || macMsg->Buffer == nullptr) {
    return LORAMAC_SERIALIZER_ERROR_NPE;
  }
  if (macMsg->BufSize < LORAMAC_JOIN_REQ_MSG_SIZE) {
    return LORAMAC_SERIALIZER_ERROR_BUF_SIZE;
  }
  uint8_t* buf = macMsg->Buffer;
  uint16_t pos = 0;
  buf[pos++] = macMsg->MHDR.Value;
  pos = PutEui(buf, pos, macMsg->JoinEUI);
  pos = PutEui(buf, pos, macMsg->DevEUI);
  pos = PutLe(buf, pos, macMsg->DevNonce, LORAMAC_DEV_NONCE_FIELD_SIZE);
  pos = PutLe(buf, pos, macMsg->MIC, LORAMAC_MIC_FIELD_SIZE);
  macMsg->BufSize = static_cast<uint8_t>(pos);
  return LORAMAC_SERIALIZER_SUCCESS;
}

LoRaMacSerializerStatus_t LoRaMacSerializerReJoinType1(LoRaMacMessageReJoinType1_t* macMsg) {
  if (macMsg == nullptr || macMsg->Buffer == nullptr) {
    return LORAMAC_SERIALIZER_ERROR_NPE;
  }
  if (macMsg->BufSize < LORAMAC_RE_JOIN_1_MSG_SIZE) {
    return LORAMAC_SERIALIZER_ERROR_BUF_SIZE;
  }
  uint8_t* buf = macMsg->Buffer;
  uint16_t pos = 0;
  buf[pos++] = macMsg->MHDR.Value;
  buf[pos++] = macMsg->ReJoinType;
  pos = PutEui(buf, pos, macMsg->JoinEUI);
  pos = PutEui(buf, pos, macMsg->DevEUI);
  pos = PutLe(buf, pos, macMsg->RJcount1, LORAMAC_RJCOUNT_1_FIELD_SIZE);
  pos = PutLe(buf, pos, macMsg->MIC, LORAMAC_MIC_FIELD_SIZE);
  macMsg->BufSize = static_cast<uint8_t>(pos);
  return LORAMAC_SERIALIZER_SUCCESS;
}

LoRaMacSerializerStatus_t LoRaMacSerializerReJoinType0or2(LoRaMacMessageReJoinType0or2_t* macMsg) {
  if (macMsg == nullptr || macMsg->Buffer == nullptr) {
    return LORAMAC_SERIALIZER_ERROR_NPE;
  }
  if (macMsg->BufSize < LORAMAC_RE_JOIN_0_2_MSG_SIZE) {
    return LORAMAC_SERIALIZER_ERROR_BUF_SIZE;
  }
  uint8_t* buf = macMsg->Buffer;
  uint16_t pos = 0;
  buf[pos++] = macMsg->MHDR.Value;
  buf[pos++] = macMsg->ReJoinType;
  memcpy1(&buf[pos], macMsg->NetID, LORAMAC_NET_ID_FIELD_SIZE);
  pos += LORAMAC_NET_ID_FIELD_SIZE;
  pos = PutEui(buf, pos, macMsg->DevEUI);
  pos = PutLe(buf, pos, macMsg->RJcount0, LORAMAC_RJCOUNT_0_FIELD_SIZE);
  pos = PutLe(buf, pos, macMsg->MIC, LORAMAC_MIC_FIELD_SIZE);
  macMsg->BufSize = static_cast<uint8_t>(pos);
  return LORAMAC_SERIALIZER_SUCCESS;
}

LoRaMacSerializerStatus_t LoRaMacSerializerData(LoRaMacMessageData_t* macMsg) {
  if (macMsg == nullptr || macMsg->Buffer == nullptr) {
    return LORAMAC_SERIALIZER_ERROR_NPE;
  }
  const uint8_t fOptsLen = macMsg->FHDR.FCtrl.Bits.FOptsLen;
  const uint8_t payloadSize = macMsg->FRMPayloadSize;
  if (payloadSize > 0 && macMsg->FRMPayload == nullptr) {
    return LORAMAC_SERIALIZER_ERROR_NPE;
  }
  // Computed wide: FOpts, port and a full payload together can exceed
  // what BufSize can hold, and then no capacity is enough.
  uint16_t frameSize = static_cast<uint16_t>(LORAMAC_FRAME_PAYLOAD_MIN_SIZE + fOptsLen);
  if (payloadSize > 0) {
    frameSize = static_cast<uint16_t>(frameSize + LORAMAC_F_PORT_FIELD_SIZE + payloadSize);
  }
  if (macMsg->BufSize < frameSize) {
    return LORAMAC_SERIALIZER_ERROR_BUF_SIZE;
  }
  uint8_t* buf = macMsg->Buffer;
  uint16_t pos = 0;
  buf[pos++] = macMsg->MHDR.Value;
  pos = PutLe(buf, pos, macMsg->FHDR.DevAddr, LORAMAC_FHDR_DEV_ADDR_FIELD_SIZE);
  buf[pos++] = macMsg->FHDR.FCtrl.Value;
  pos = PutLe(buf, pos, macMsg->FHDR.FCnt, LORAMAC_FHDR_F_CNT_FIELD_SIZE);
  memcpy1(&buf[pos], macMsg->FHDR.FOpts, fOptsLen);
  pos += fOptsLen;
  if (payloadSize > 0) {
    buf[pos++] = macMsg->FPort;
    memcpy1(&buf[pos], macMsg->FRMPayload, payloadSize);
    pos += payloadSize;
  }
  pos = PutLe(buf, pos, macMsg->MIC, LORAMAC_MIC_FIELD_SIZE);
  macMsg->BufSize = static_cast<uint8_t>(pos);
  return LORAMAC_SERIALIZER_SUCCESS;
}
