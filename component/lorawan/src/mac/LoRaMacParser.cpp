/*!
 * \file LoRaMacParser.cpp
 *
 * \brief Frame parser for join accepts and data frames. Every length is
 *        checked against the received size before a byte is copied, so a
 *        frame that lies about its contents is refused rather than read
 *        past its end.
 */
#include "LoRaMacParser.h"

#include "utilities.h"

namespace {

uint32_t GetLe(const uint8_t* buf, uint16_t pos, uint8_t size) {
  uint32_t value = 0;
  for (uint8_t i = size; i > 0; i--) {
    value = (value << 8) | buf[pos + i - 1];
  }
  return value;
}

}  // namespace

LoRaMacParserStatus_t LoRaMacParserJoinAccept(LoRaMacMessageJoinAccept_t* macMsg) {
  if (macMsg == nullptr || macMsg->Buffer == nullptr) {
    return LORAMAC_PARSER_ERROR_NPE;
  }
  const uint8_t size = macMsg->BufSize;
  if (size != LORAMAC_JOIN_ACCEPT_FRAME_MIN_SIZE && size != LORAMAC_JOIN_ACCEPT_FRAME_MAX_SIZE) {
    return LORAMAC_PARSER_FAIL;
  }
  const uint8_t* buf = macMsg->Buffer;
  uint16_t pos = 0;
  macMsg->MHDR.Value = buf[pos++];
  memcpy1(macMsg->JoinNonce, &buf[pos], LORAMAC_JOIN_NONCE_FIELD_SIZE);
  pos += LORAMAC_JOIN_NONCE_FIELD_SIZE;
  memcpy1(macMsg->NetID, &buf[pos], LORAMAC_NET_ID_FIELD_SIZE);
  pos += LORAMAC_NET_ID_FIELD_SIZE;
  macMsg->DevAddr = GetLe(buf, pos, LORAMAC_DEV_ADDR_FIELD_SIZE);
  pos += LORAMAC_DEV_ADDR_FIELD_SIZE;
  macMsg->DLSettings.Value = buf[pos++];
  macMsg->RxDelay = buf[pos++];
  if (size == LORAMAC_JOIN_ACCEPT_FRAME_MAX_SIZE) {
    memcpy1(macMsg->CFList, &buf[pos], LORAMAC_CF_LIST_FIELD_SIZE);
    pos += LORAMAC_CF_LIST_FIELD_SIZE;
  }
  macMsg->MIC = GetLe(buf, pos, LORAMAC_MIC_FIELD_SIZE);
  return LORAMAC_PARSER_SUCCESS;
}

LoRaMacParserStatus_t LoRaMacParserData(LoRaMacMessageData_t* macMsg) {
  if (macMsg == nullptr || macMsg->Buffer == nullptr) {
    return LORAMAC_PARSER_ERROR_NPE;
  }
  const uint8_t* buf = macMsg->Buffer;
  const uint8_t size = macMsg->BufSize;
  // FCtrl (and with it FOptsLen) is only there in a frame that holds at
  // least the fixed header and the MIC.
  if (size < LORAMAC_FRAME_PAYLOAD_MIN_SIZE) {
    return LORAMAC_PARSER_FAIL;
  }
  LoRaMacFrameCtrl_t fCtrl;
  fCtrl.Value = buf[LORAMAC_MHDR_FIELD_SIZE + LORAMAC_FHDR_DEV_ADDR_FIELD_SIZE];
  const uint8_t fOptsLen = fCtrl.Bits.FOptsLen;
  const uint16_t headerAndMic = static_cast<uint16_t>(LORAMAC_FRAME_PAYLOAD_MIN_SIZE + fOptsLen);
  if (size < headerAndMic) {
    return LORAMAC_PARSER_FAIL;
  }
  const uint8_t payloadSize =
      size > headerAndMic ? static_cast<uint8_t>(size - headerAndMic - LORAMAC_F_PORT_FIELD_SIZE)
                          : 0;
  if (payloadSize > 0 && macMsg->FRMPayload == nullptr) {
    return LORAMAC_PARSER_ERROR_NPE;
  }

  uint16_t pos = 0;
  macMsg->MHDR.Value = buf[pos++];
  macMsg->FHDR.DevAddr = GetLe(buf, pos, LORAMAC_FHDR_DEV_ADDR_FIELD_SIZE);
  pos += LORAMAC_FHDR_DEV_ADDR_FIELD_SIZE;
  macMsg->FHDR.FCtrl.Value = buf[pos++];
  macMsg->FHDR.FCnt = static_cast<uint16_t>(GetLe(buf, pos, LORAMAC_FHDR_F_CNT_FIELD_SIZE));
  pos += LORAMAC_FHDR_F_CNT_FIELD_SIZE;
  memcpy1(macMsg->FHDR.FOpts, &buf[pos], fOptsLen);
  pos += fOptsLen;

  macMsg->FPort = 0;
  macMsg->FRMPayloadSize = 0;
  if (size > headerAndMic) {
    macMsg->FPort = buf[pos++];
    macMsg->FRMPayloadSize = payloadSize;
    memcpy1(macMsg->FRMPayload, &buf[pos], payloadSize);
  }
  macMsg->MIC =
      GetLe(buf, static_cast<uint16_t>(size - LORAMAC_MIC_FIELD_SIZE), LORAMAC_MIC_FIELD_SIZE);
  return LORAMAC_PARSER_SUCCESS;
}
