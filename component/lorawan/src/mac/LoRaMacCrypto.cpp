/*!
 * \file LoRaMacCrypto.cpp
 *
 * \brief Frame security of the MAC over the secure element.
 *
 * Counters change only once an operation has fully succeeded, so a refused
 * frame or a failed preparation never moves them.
 */
#include "LoRaMacCrypto.h"

#include "LoRaMacParser.h"
#include "LoRaMacSerializer.h"
#include "utilities.h"

namespace {

/*!
 * Keys of one address: the application key that decrypts payloads on
 * ports above 0, the network key that checks the MIC and the root key the
 * pair is derived from.
 */
struct KeyAddr_t {
  AddressIdentifier_t AddrID;
  KeyIdentifier_t AppSkey;
  KeyIdentifier_t NwkSkey;
  KeyIdentifier_t RootKey;
};

const KeyAddr_t KeyAddrList[] = {
    {MULTICAST_0_ADDR, MC_APP_S_KEY_0, MC_NWK_S_KEY_0, MC_KEY_0},
    {MULTICAST_1_ADDR, MC_APP_S_KEY_1, MC_NWK_S_KEY_1, MC_KEY_1},
    {MULTICAST_2_ADDR, MC_APP_S_KEY_2, MC_NWK_S_KEY_2, MC_KEY_2},
    {MULTICAST_3_ADDR, MC_APP_S_KEY_3, MC_NWK_S_KEY_3, MC_KEY_3},
    {UNICAST_DEV_ADDR, APP_S_KEY, S_NWK_S_INT_KEY, NO_KEY},
};

constexpr uint8_t kBlockSize = 16;
constexpr uint8_t kMicBlockTag = 0x49;
constexpr uint8_t kCipherBlockTag = 0x01;
constexpr uint8_t kUplink = 0;
constexpr uint8_t kDownlink = 1;

// FOpts are encrypted with the counter identifier and block index in their
// block from this version on; LoRaWAN 1.1.0 leaves both bytes 0.
constexpr uint32_t kFOptsCounterBlockAbove = 0x01010000;

LoRaMacCryptoNvmData_t* CryptoNvm = nullptr;

// Rejoin type 0 and 2 requests since the last join accept; never stored.
uint16_t RJcount0 = 0;

bool IsLoRaWAN11() { return CryptoNvm->LrWanVersion.Fields.Minor == 1; }

void PutLe(uint8_t* dst, uint32_t value, uint8_t size) {
  for (uint8_t i = 0; i < size; i++) {
    dst[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

const KeyAddr_t* GetKeyAddrItem(AddressIdentifier_t addrID) {
  for (const KeyAddr_t& item : KeyAddrList) {
    if (item.AddrID == addrID) {
      return &item;
    }
  }
  return nullptr;
}

/*!
 * Where a downlink counter of \p fCntID is kept, or nullptr for an
 * identifier that is no downlink counter.
 */
uint32_t* GetFCntDownSlot(FCntIdentifier_t fCntID) {
  switch (fCntID) {
    case N_FCNT_DOWN:
      return &CryptoNvm->FCntList.NFCntDown;
    case A_FCNT_DOWN:
      return &CryptoNvm->FCntList.AFCntDown;
    case FCNT_DOWN:
      return &CryptoNvm->FCntList.FCntDown;
    case MC_FCNT_DOWN_0:
    case MC_FCNT_DOWN_1:
    case MC_FCNT_DOWN_2:
    case MC_FCNT_DOWN_3:
      return &CryptoNvm->FCntList.McFCntDown[fCntID - MC_FCNT_DOWN_0];
    default:
      return nullptr;
  }
}

void UpdateFCntDown(FCntIdentifier_t fCntID, uint32_t currentDown) {
  uint32_t* slot = GetFCntDownSlot(fCntID);
  if (slot == nullptr) {
    return;
  }
  *slot = currentDown;
  // The unicast counters also give the ConfFCnt of the next acknowledging
  // uplink.
  if (fCntID == N_FCNT_DOWN || fCntID == A_FCNT_DOWN || fCntID == FCNT_DOWN) {
    CryptoNvm->LastDownFCnt = currentDown;
  }
}

LoRaMacCryptoStatus_t FromSecureElement(SecureElementStatus_t status) {
  if (status == SECURE_ELEMENT_SUCCESS) {
    return LORAMAC_CRYPTO_SUCCESS;
  }
  return status == SECURE_ELEMENT_FAIL_CMAC ? LORAMAC_CRYPTO_FAIL_MIC
                                            : LORAMAC_CRYPTO_ERROR_SECURE_ELEMENT_FUNC;
}

/*!
 * Derives \p targetKeyID from \p rootKeyID with the block {type, data, 0..}.
 */
LoRaMacCryptoStatus_t DeriveKey(KeyIdentifier_t rootKeyID, KeyIdentifier_t targetKeyID,
                                uint8_t type, const uint8_t* data, uint8_t size) {
  uint8_t block[kBlockSize] = {0};
  block[0] = type;
  memcpy1(&block[1], data, size);
  if (SecureElementDeriveAndStoreKey(block, rootKeyID, targetKeyID) != SECURE_ELEMENT_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SECURE_ELEMENT_FUNC;
  }
  return LORAMAC_CRYPTO_SUCCESS;
}

LoRaMacCryptoStatus_t DeriveMcKEKey(KeyIdentifier_t keyID) {
  if (keyID != MC_ROOT_KEY) {
    return LORAMAC_CRYPTO_ERROR_INVALID_KEY_ID;
  }
  return DeriveKey(MC_ROOT_KEY, MC_KE_KEY, 0x00, nullptr, 0);
}

LoRaMacCryptoStatus_t DeriveMcKeys(uint8_t versionMinor) {
  LoRaMacCryptoStatus_t status = LoRaMacCryptoDeriveMcRootKey(versionMinor, APP_KEY);
  if (status != LORAMAC_CRYPTO_SUCCESS) {
    return status;
  }
  return DeriveMcKEKey(MC_ROOT_KEY);
}

/*!
 * The join-server keys of LoRaWAN 1.1 (rejoin type 1 and every join accept
 * of a 1.1 network): from the network key and the DevEUI.
 */
LoRaMacCryptoStatus_t DeriveJoinServerKeys(const uint8_t* devEui) {
  uint8_t eui[LORAMAC_DEV_EUI_FIELD_SIZE];
  memcpyr(eui, devEui, LORAMAC_DEV_EUI_FIELD_SIZE);
  if (DeriveKey(NWK_KEY, J_S_INT_KEY, 0x06, eui, sizeof eui) != LORAMAC_CRYPTO_SUCCESS ||
      DeriveKey(NWK_KEY, J_S_ENC_KEY, 0x05, eui, sizeof eui) != LORAMAC_CRYPTO_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR;
  }
  return LORAMAC_CRYPTO_SUCCESS;
}

LoRaMacCryptoStatus_t DeriveSessionKeys11(const uint8_t* joinNonce, const uint8_t* joinEUI,
                                          uint16_t nonce) {
  uint8_t data[LORAMAC_JOIN_NONCE_FIELD_SIZE + LORAMAC_JOIN_EUI_FIELD_SIZE +
               LORAMAC_DEV_NONCE_FIELD_SIZE];
  memcpy1(data, joinNonce, LORAMAC_JOIN_NONCE_FIELD_SIZE);
  memcpyr(&data[LORAMAC_JOIN_NONCE_FIELD_SIZE], joinEUI, LORAMAC_JOIN_EUI_FIELD_SIZE);
  PutLe(&data[LORAMAC_JOIN_NONCE_FIELD_SIZE + LORAMAC_JOIN_EUI_FIELD_SIZE], nonce,
        LORAMAC_DEV_NONCE_FIELD_SIZE);
  const struct {
    KeyIdentifier_t root;
    KeyIdentifier_t target;
    uint8_t type;
  } keys[] = {
      {NWK_KEY, F_NWK_S_INT_KEY, 0x01},
      {NWK_KEY, S_NWK_S_INT_KEY, 0x03},
      {NWK_KEY, NWK_S_ENC_KEY, 0x04},
      {APP_KEY, APP_S_KEY, 0x02},
  };
  for (const auto& k : keys) {
    LoRaMacCryptoStatus_t status = DeriveKey(k.root, k.target, k.type, data, sizeof data);
    if (status != LORAMAC_CRYPTO_SUCCESS) {
      return status;
    }
  }
  return LORAMAC_CRYPTO_SUCCESS;
}

/*!
 * LoRaWAN 1.0.x session keys. Everything comes from the network key (the
 * application key's value on a 1.0.x device); the three network keys are
 * one key there.
 */
LoRaMacCryptoStatus_t DeriveSessionKeys10(const uint8_t* joinNonce, const uint8_t* netID,
                                          uint16_t nonce) {
  uint8_t data[LORAMAC_JOIN_NONCE_FIELD_SIZE + LORAMAC_NET_ID_FIELD_SIZE +
               LORAMAC_DEV_NONCE_FIELD_SIZE];
  memcpy1(data, joinNonce, LORAMAC_JOIN_NONCE_FIELD_SIZE);
  memcpy1(&data[LORAMAC_JOIN_NONCE_FIELD_SIZE], netID, LORAMAC_NET_ID_FIELD_SIZE);
  PutLe(&data[LORAMAC_JOIN_NONCE_FIELD_SIZE + LORAMAC_NET_ID_FIELD_SIZE], nonce,
        LORAMAC_DEV_NONCE_FIELD_SIZE);
  const struct {
    KeyIdentifier_t target;
    uint8_t type;
  } keys[] = {
      {APP_S_KEY, 0x02},
      {NWK_S_ENC_KEY, 0x01},
      {F_NWK_S_INT_KEY, 0x01},
      {S_NWK_S_INT_KEY, 0x01},
  };
  for (const auto& k : keys) {
    LoRaMacCryptoStatus_t status = DeriveKey(NWK_KEY, k.target, k.type, data, sizeof data);
    if (status != LORAMAC_CRYPTO_SUCCESS) {
      return status;
    }
  }
  return LORAMAC_CRYPTO_SUCCESS;
}

/*!
 * FRMPayload encryption and decryption (the same XOR): the keystream is
 * AES(key, A_i) with A_i = {0x01, 0 x4, dir, address, counter, 0, i}.
 */
LoRaMacCryptoStatus_t PayloadEncrypt(uint8_t* buffer, uint16_t size, KeyIdentifier_t keyID,
                                     uint32_t address, uint8_t dir, uint32_t frameCounter) {
  if (buffer == nullptr) {
    return LORAMAC_CRYPTO_ERROR_NPE;
  }
  uint8_t aBlock[kBlockSize] = {0};
  uint8_t sBlock[kBlockSize];
  aBlock[0] = kCipherBlockTag;
  aBlock[5] = dir;
  PutLe(&aBlock[6], address, 4);
  PutLe(&aBlock[10], frameCounter, 4);
  uint8_t ctr = 1;
  for (uint16_t offset = 0; offset < size; offset += kBlockSize) {
    aBlock[15] = ctr++;
    if (SecureElementAesEncrypt(aBlock, kBlockSize, keyID, sBlock) != SECURE_ELEMENT_SUCCESS) {
      return LORAMAC_CRYPTO_ERROR_SECURE_ELEMENT_FUNC;
    }
    for (uint16_t i = 0; i < kBlockSize && offset + i < size; i++) {
      buffer[offset + i] ^= sBlock[i];
    }
  }
  return LORAMAC_CRYPTO_SUCCESS;
}

/*!
 * LoRaWAN 1.1 FOpts encryption with the network encryption key, one block:
 * A = {0x01, 0x00, 0x00, 0x00, id, dir, address, counter, 0x00, 0x01}.
 * From version 1.1.1 on, id names the counter the frame carries (1 for the
 * uplink and network downlink counters, 2 for the application downlink
 * counter) in the byte right before the direction, and the block ends with
 * index 1; LoRaWAN 1.1.0 leaves both bytes 0.
 */
LoRaMacCryptoStatus_t FOptsEncrypt(uint8_t* buffer, uint8_t size, uint32_t address, uint8_t dir,
                                   FCntIdentifier_t fCntID, uint32_t frameCounter) {
  if (buffer == nullptr) {
    return LORAMAC_CRYPTO_ERROR_NPE;
  }
  if (size > LORAMAC_FHDR_F_OPTS_MAX_FIELD_SIZE) {
    return LORAMAC_CRYPTO_ERROR_BUF_SIZE;
  }
  uint8_t aBlock[kBlockSize] = {0};
  uint8_t sBlock[kBlockSize];
  aBlock[0] = kCipherBlockTag;
  if (CryptoNvm->LrWanVersion.Value > kFOptsCounterBlockAbove) {
    switch (fCntID) {
      case FCNT_UP:
      case N_FCNT_DOWN:
        aBlock[4] = 0x01;
        break;
      case A_FCNT_DOWN:
        aBlock[4] = 0x02;
        break;
      default:
        return LORAMAC_CRYPTO_FAIL_PARAM;
    }
    aBlock[15] = 0x01;
  }
  aBlock[5] = dir;
  PutLe(&aBlock[6], address, 4);
  PutLe(&aBlock[10], frameCounter, 4);
  if (SecureElementAesEncrypt(aBlock, kBlockSize, NWK_S_ENC_KEY, sBlock) !=
      SECURE_ELEMENT_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SECURE_ELEMENT_FUNC;
  }
  for (uint8_t i = 0; i < size; i++) {
    buffer[i] ^= sBlock[i];
  }
  return LORAMAC_CRYPTO_SUCCESS;
}

/*!
 * The B0/B1 block of a data frame MIC: {0x49, x0 x1 x2 x3, dir, address,
 * counter, 0, length}.
 */
void MicBlock(uint8_t* block, const uint8_t x[4], uint8_t dir, uint32_t address,
              uint32_t frameCounter, uint8_t msgLen) {
  block[0] = kMicBlockTag;
  memcpy1(&block[1], x, 4);
  block[5] = dir;
  PutLe(&block[6], address, 4);
  PutLe(&block[10], frameCounter, 4);
  block[14] = 0x00;
  block[15] = msgLen;
}

LoRaMacCryptoStatus_t ComputeCmacB0(const uint8_t* msg, uint8_t msgLen, KeyIdentifier_t keyID,
                                    const uint8_t x[4], uint8_t dir, uint32_t address,
                                    uint32_t frameCounter, uint32_t* cmac) {
  uint8_t b0[kBlockSize];
  MicBlock(b0, x, dir, address, frameCounter, msgLen);
  if (SecureElementComputeAesCmac(b0, msg, msgLen, keyID, cmac) != SECURE_ELEMENT_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SECURE_ELEMENT_FUNC;
  }
  return LORAMAC_CRYPTO_SUCCESS;
}

/*!
 * Checks a downlink MIC. The block and message are put together here and
 * verified in one piece, which works for the multicast keys too (they
 * compute no MIC of their own in the secure element).
 */
LoRaMacCryptoStatus_t VerifyCmacB0(const uint8_t* msg, uint16_t msgLen, KeyIdentifier_t keyID,
                                   const uint8_t x[4], uint32_t address, uint32_t frameCounter,
                                   uint32_t expectedMic) {
  if (msg == nullptr) {
    return LORAMAC_CRYPTO_ERROR_NPE;
  }
  if (msgLen > CRYPTO_MAXMESSAGE_SIZE) {
    return LORAMAC_CRYPTO_ERROR_BUF_SIZE;
  }
  uint8_t micBuff[kBlockSize + CRYPTO_MAXMESSAGE_SIZE];
  MicBlock(micBuff, x, kDownlink, address, frameCounter, static_cast<uint8_t>(msgLen));
  memcpy1(&micBuff[kBlockSize], msg, msgLen);
  return FromSecureElement(SecureElementVerifyAesCmac(
      micBuff, static_cast<uint16_t>(kBlockSize + msgLen), expectedMic, keyID));
}

}  // namespace

LoRaMacCryptoStatus_t LoRaMacCryptoInit(LoRaMacCryptoNvmData_t* nvm) {
  if (nvm == nullptr) {
    return LORAMAC_CRYPTO_FAIL_PARAM;
  }
  CryptoNvm = nvm;
  memset1(reinterpret_cast<uint8_t*>(CryptoNvm), 0, sizeof(LoRaMacCryptoNvmData_t));
  CryptoNvm->LrWanVersion.Value = 0x01010100;
  CryptoNvm->FCntList.FCntUp = 0;
  CryptoNvm->FCntList.NFCntDown = FCNT_DOWN_INITIAL_VALUE;
  CryptoNvm->FCntList.AFCntDown = FCNT_DOWN_INITIAL_VALUE;
  CryptoNvm->FCntList.FCntDown = FCNT_DOWN_INITIAL_VALUE;
  for (uint32_t& mc : CryptoNvm->FCntList.McFCntDown) {
    mc = FCNT_DOWN_INITIAL_VALUE;
  }
  CryptoNvm->LastDownFCnt = FCNT_DOWN_INITIAL_VALUE;
  RJcount0 = 0;
  return LORAMAC_CRYPTO_SUCCESS;
}

LoRaMacCryptoStatus_t LoRaMacCryptoSetLrWanVersion(Version_t version) {
  if (CryptoNvm == nullptr) {
    return LORAMAC_CRYPTO_ERROR_NPE;
  }
  CryptoNvm->LrWanVersion = version;
  return LORAMAC_CRYPTO_SUCCESS;
}

LoRaMacCryptoStatus_t LoRaMacCryptoGetFCntUp(uint32_t* currentUp) {
  if (currentUp == nullptr || CryptoNvm == nullptr) {
    return LORAMAC_CRYPTO_ERROR_NPE;
  }
  *currentUp = CryptoNvm->FCntList.FCntUp + 1;
  return LORAMAC_CRYPTO_SUCCESS;
}

LoRaMacCryptoStatus_t LoRaMacCryptoGetFCntDown(FCntIdentifier_t fCntID, uint32_t frameFcnt,
                                               uint32_t* currentDown) {
  if (currentDown == nullptr || CryptoNvm == nullptr) {
    return LORAMAC_CRYPTO_ERROR_NPE;
  }
  const uint32_t* slot = GetFCntDownSlot(fCntID);
  if (slot == nullptr) {
    return LORAMAC_CRYPTO_FAIL_FCNT_ID;
  }
  const uint32_t last = *slot;
  const uint16_t fCnt = static_cast<uint16_t>(frameFcnt);
  if (last == FCNT_DOWN_INITIAL_VALUE) {
    *currentDown = fCnt;
    return LORAMAC_CRYPTO_SUCCESS;
  }
  const uint16_t lastLow = static_cast<uint16_t>(last);
  if (fCnt == lastLow) {
    *currentDown = last;
    return LORAMAC_CRYPTO_FAIL_FCNT_DUPLICATED;
  }
  if (fCnt > lastLow) {
    *currentDown = (last & 0xFFFF0000u) | fCnt;
  } else {
    // The 16 bits on the air rolled over.
    *currentDown = ((last & 0xFFFF0000u) + 0x10000u) | fCnt;
  }
  return LORAMAC_CRYPTO_SUCCESS;
}

LoRaMacCryptoStatus_t LoRaMacCryptoGetRJcount(FCntIdentifier_t fCntID, uint16_t* rJcount) {
  if (rJcount == nullptr || CryptoNvm == nullptr) {
    return LORAMAC_CRYPTO_ERROR_NPE;
  }
  switch (fCntID) {
    case RJ_COUNT_0:
      *rJcount = static_cast<uint16_t>(RJcount0 + 1);
      return LORAMAC_CRYPTO_SUCCESS;
    case RJ_COUNT_1:
      *rJcount = static_cast<uint16_t>(CryptoNvm->FCntList.RJcount1 + 1);
      return LORAMAC_CRYPTO_SUCCESS;
    default:
      return LORAMAC_CRYPTO_FAIL_FCNT_ID;
  }
}

LoRaMacCryptoStatus_t LoRaMacCryptoSetMulticastReference(MulticastCtx_t* multicastList) {
  if (multicastList == nullptr) {
    return LORAMAC_CRYPTO_ERROR_NPE;
  }
  // The reference is the index of the group's McFCntDown entry.
  for (uint32_t i = 0; i < LORAMAC_MAX_MC_CTX; i++) {
    multicastList[i].DownLinkCounterRef = i;
  }
  return LORAMAC_CRYPTO_SUCCESS;
}

LoRaMacCryptoStatus_t LoRaMacCryptoSetKey(KeyIdentifier_t keyID, const uint8_t* key) {
  if (SecureElementSetKey(keyID, key) != SECURE_ELEMENT_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SECURE_ELEMENT_FUNC;
  }
  if (keyID == APP_KEY) {
    if (CryptoNvm == nullptr) {
      return LORAMAC_CRYPTO_ERROR_NPE;
    }
    if (DeriveMcKeys(CryptoNvm->LrWanVersion.Fields.Minor) != LORAMAC_CRYPTO_SUCCESS) {
      return LORAMAC_CRYPTO_ERROR_SECURE_ELEMENT_FUNC;
    }
  }
  return LORAMAC_CRYPTO_SUCCESS;
}

LoRaMacCryptoStatus_t LoRaMacCryptoPrepareJoinRequest(LoRaMacMessageJoinRequest_t* macMsg) {
  if (macMsg == nullptr || CryptoNvm == nullptr) {
    return LORAMAC_CRYPTO_ERROR_NPE;
  }
  // The nonce is 16 bits: past 0xFFFF it would start again at values the
  // network has seen, and a network refuses a repeated nonce.
  if (CryptoNvm->DevNonce == 0xFFFF) {
    return LORAMAC_CRYPTO_FAIL_DEV_NONCE_OVERFLOW;
  }
  // A nonce once taken is never offered again, even if this request fails.
  CryptoNvm->DevNonce++;
  macMsg->DevNonce = CryptoNvm->DevNonce;

  LoRaMacCryptoStatus_t status = DeriveJoinServerKeys(macMsg->DevEUI);
  if (status != LORAMAC_CRYPTO_SUCCESS) {
    return status;
  }
  const uint8_t capacity = macMsg->BufSize;
  if (LoRaMacSerializerJoinRequest(macMsg) != LORAMAC_SERIALIZER_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SERIALIZER;
  }
  uint32_t mic = 0;
  if (SecureElementComputeAesCmac(nullptr, macMsg->Buffer,
                                  LORAMAC_JOIN_REQ_MSG_SIZE - LORAMAC_MIC_FIELD_SIZE, NWK_KEY,
                                  &mic) != SECURE_ELEMENT_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SECURE_ELEMENT_FUNC;
  }
  macMsg->MIC = mic;
  macMsg->BufSize = capacity;
  if (LoRaMacSerializerJoinRequest(macMsg) != LORAMAC_SERIALIZER_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SERIALIZER;
  }
  return LORAMAC_CRYPTO_SUCCESS;
}

LoRaMacCryptoStatus_t LoRaMacCryptoPrepareReJoinType1(LoRaMacMessageReJoinType1_t* macMsg) {
  if (macMsg == nullptr || CryptoNvm == nullptr) {
    return LORAMAC_CRYPTO_ERROR_NPE;
  }
  if (CryptoNvm->FCntList.RJcount1 == 0xFFFF) {
    return LORAMAC_CRYPTO_ERROR_RJCOUNT1_OVERFLOW;
  }
  macMsg->RJcount1 = static_cast<uint16_t>(CryptoNvm->FCntList.RJcount1 + 1);
  const uint8_t capacity = macMsg->BufSize;
  if (LoRaMacSerializerReJoinType1(macMsg) != LORAMAC_SERIALIZER_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SERIALIZER;
  }
  uint32_t mic = 0;
  if (SecureElementComputeAesCmac(nullptr, macMsg->Buffer,
                                  LORAMAC_RE_JOIN_1_MSG_SIZE - LORAMAC_MIC_FIELD_SIZE, J_S_INT_KEY,
                                  &mic) != SECURE_ELEMENT_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SECURE_ELEMENT_FUNC;
  }
  macMsg->MIC = mic;
  macMsg->BufSize = capacity;
  if (LoRaMacSerializerReJoinType1(macMsg) != LORAMAC_SERIALIZER_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SERIALIZER;
  }
  CryptoNvm->FCntList.RJcount1++;
  return LORAMAC_CRYPTO_SUCCESS;
}

LoRaMacCryptoStatus_t LoRaMacCryptoPrepareReJoinType0or2(LoRaMacMessageReJoinType0or2_t* macMsg) {
  if (macMsg == nullptr || CryptoNvm == nullptr) {
    return LORAMAC_CRYPTO_ERROR_NPE;
  }
  if (RJcount0 == 0xFFFF) {
    return LORAMAC_CRYPTO_FAIL_RJCOUNT0_OVERFLOW;
  }
  macMsg->RJcount0 = static_cast<uint16_t>(RJcount0 + 1);
  const uint8_t capacity = macMsg->BufSize;
  if (LoRaMacSerializerReJoinType0or2(macMsg) != LORAMAC_SERIALIZER_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SERIALIZER;
  }
  uint32_t mic = 0;
  if (SecureElementComputeAesCmac(nullptr, macMsg->Buffer,
                                  LORAMAC_RE_JOIN_0_2_MSG_SIZE - LORAMAC_MIC_FIELD_SIZE,
                                  S_NWK_S_INT_KEY, &mic) != SECURE_ELEMENT_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SECURE_ELEMENT_FUNC;
  }
  macMsg->MIC = mic;
  macMsg->BufSize = capacity;
  if (LoRaMacSerializerReJoinType0or2(macMsg) != LORAMAC_SERIALIZER_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SERIALIZER;
  }
  RJcount0++;
  return LORAMAC_CRYPTO_SUCCESS;
}

LoRaMacCryptoStatus_t LoRaMacCryptoHandleJoinAccept(JoinReqIdentifier_t joinReqType,
                                                    const uint8_t* joinEUI,
                                                    LoRaMacMessageJoinAccept_t* macMsg,
                                                    LoRaMacCryptoJoinAcceptCheck_t check) {
  if (macMsg == nullptr || macMsg->Buffer == nullptr || joinEUI == nullptr ||
      CryptoNvm == nullptr) {
    return LORAMAC_CRYPTO_ERROR_NPE;
  }
  // The nonce of the request this frame would answer.
  uint16_t nonce = 0;
  switch (joinReqType) {
    case JOIN_REQ:
      nonce = CryptoNvm->DevNonce;
      break;
    case REJOIN_REQ_1:
      nonce = CryptoNvm->FCntList.RJcount1;
      break;
    case REJOIN_REQ_0:
    case REJOIN_REQ_2:
      nonce = RJcount0;
      break;
    default:
      return LORAMAC_CRYPTO_FAIL_PARAM;
  }

  // Decrypted and parsed aside: the frame stays as received until it is
  // accepted, so that the caller can try it as the answer to another
  // request.
  uint8_t decJoinAccept[LORAMAC_JOIN_ACCEPT_FRAME_MAX_SIZE] = {0};
  uint8_t versionMinor = 0;
  if (SecureElementProcessJoinAccept(joinReqType, joinEUI, nonce, macMsg->Buffer, macMsg->BufSize,
                                     decJoinAccept, &versionMinor) != SECURE_ELEMENT_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SECURE_ELEMENT_FUNC;
  }
  LoRaMacMessageJoinAccept_t accept = *macMsg;
  accept.Buffer = decJoinAccept;
  if (LoRaMacParserJoinAccept(&accept) != LORAMAC_PARSER_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_PARSER;
  }

  const uint32_t joinNonce = static_cast<uint32_t>(accept.JoinNonce[0]) |
                             static_cast<uint32_t>(accept.JoinNonce[1]) << 8 |
                             static_cast<uint32_t>(accept.JoinNonce[2]) << 16;
  // The join server counts its nonce up (LoRaWAN 1.0.4 and 1.1). The 1.0.x
  // accept's MIC does not cover the DevNonce, so an older accept recorded
  // off the air would verify in any later join's window: only a nonce
  // above the last accepted one shows the accept is new.
  if (joinNonce <= CryptoNvm->JoinNonce) {
    return LORAMAC_CRYPTO_FAIL_JOIN_NONCE;
  }
  if (check != nullptr && !check(&accept)) {
    return LORAMAC_CRYPTO_FAIL_JOIN_ACCEPT_REFUSED;
  }

  if (DeriveMcKeys(versionMinor) != LORAMAC_CRYPTO_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SECURE_ELEMENT_FUNC;
  }
  LoRaMacCryptoStatus_t status = versionMinor == 1
                                     ? DeriveSessionKeys11(accept.JoinNonce, joinEUI, nonce)
                                     : DeriveSessionKeys10(accept.JoinNonce, accept.NetID, nonce);
  if (status != LORAMAC_CRYPTO_SUCCESS) {
    return status;
  }

  memcpy1(macMsg->Buffer, decJoinAccept, macMsg->BufSize);
  accept.Buffer = macMsg->Buffer;
  *macMsg = accept;

  CryptoNvm->JoinNonce = joinNonce;
  CryptoNvm->LrWanVersion.Fields.Minor = versionMinor;
  RJcount0 = 0;
  CryptoNvm->FCntList.FCntUp = 0;
  CryptoNvm->FCntList.NFCntDown = FCNT_DOWN_INITIAL_VALUE;
  CryptoNvm->FCntList.AFCntDown = FCNT_DOWN_INITIAL_VALUE;
  CryptoNvm->FCntList.FCntDown = FCNT_DOWN_INITIAL_VALUE;
  return LORAMAC_CRYPTO_SUCCESS;
}

LoRaMacCryptoStatus_t LoRaMacCryptoSecureMessage(uint32_t fCntUp, uint8_t txDr, uint8_t txCh,
                                                 LoRaMacMessageData_t* macMsg) {
  if (macMsg == nullptr || CryptoNvm == nullptr) {
    return LORAMAC_CRYPTO_ERROR_NPE;
  }
  if (fCntUp < CryptoNvm->FCntList.FCntUp) {
    return LORAMAC_CRYPTO_FAIL_FCNT_SMALLER;
  }
  // The stored counter is one ahead of the FCnt that goes on the air.
  const uint32_t frameCounter = fCntUp - 1;
  const uint32_t devAddr = macMsg->FHDR.DevAddr;
  // The frame carries the low 16 bits of the counter its MIC covers.
  macMsg->FHDR.FCnt = static_cast<uint16_t>(frameCounter);

  // A repetition (same counter) carries the record encrypted by its first
  // transmission.
  if (fCntUp > CryptoNvm->FCntList.FCntUp) {
    if (macMsg->FRMPayloadSize > 0) {
      const KeyIdentifier_t payloadKey = macMsg->FPort != 0 ? APP_S_KEY : NWK_S_ENC_KEY;
      LoRaMacCryptoStatus_t status = PayloadEncrypt(macMsg->FRMPayload, macMsg->FRMPayloadSize,
                                                    payloadKey, devAddr, kUplink, frameCounter);
      if (status != LORAMAC_CRYPTO_SUCCESS) {
        return status;
      }
    }
    if (IsLoRaWAN11() && macMsg->FHDR.FCtrl.Bits.FOptsLen > 0) {
      LoRaMacCryptoStatus_t status =
          FOptsEncrypt(macMsg->FHDR.FOpts, macMsg->FHDR.FCtrl.Bits.FOptsLen, devAddr, kUplink,
                       FCNT_UP, frameCounter);
      if (status != LORAMAC_CRYPTO_SUCCESS) {
        return status;
      }
    }
  }

  const uint8_t capacity = macMsg->BufSize;
  if (LoRaMacSerializerData(macMsg) != LORAMAC_SERIALIZER_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SERIALIZER;
  }
  if (macMsg->BufSize < LORAMAC_MIC_FIELD_SIZE) {
    return LORAMAC_CRYPTO_ERROR_BUF_SIZE;
  }
  const uint8_t msgLen = static_cast<uint8_t>(macMsg->BufSize - LORAMAC_MIC_FIELD_SIZE);

  uint32_t mic = 0;
  const uint8_t zero[4] = {0, 0, 0, 0};
  if (IsLoRaWAN11()) {
    // ConfFCnt: the FCnt of the downlink being acknowledged.
    const uint16_t confFCnt =
        macMsg->FHDR.FCtrl.Bits.Ack ? static_cast<uint16_t>(CryptoNvm->LastDownFCnt) : 0;
    const uint8_t b1x[4] = {static_cast<uint8_t>(confFCnt), static_cast<uint8_t>(confFCnt >> 8),
                            txDr, txCh};
    uint32_t cmacS = 0;
    uint32_t cmacF = 0;
    LoRaMacCryptoStatus_t status = ComputeCmacB0(macMsg->Buffer, msgLen, S_NWK_S_INT_KEY, b1x,
                                                 kUplink, devAddr, frameCounter, &cmacS);
    if (status == LORAMAC_CRYPTO_SUCCESS) {
      status = ComputeCmacB0(macMsg->Buffer, msgLen, F_NWK_S_INT_KEY, zero, kUplink, devAddr,
                             frameCounter, &cmacF);
    }
    if (status != LORAMAC_CRYPTO_SUCCESS) {
      return status;
    }
    mic = (cmacS & 0x0000FFFFu) | (cmacF << 16);
  } else {
    LoRaMacCryptoStatus_t status = ComputeCmacB0(macMsg->Buffer, msgLen, NWK_S_ENC_KEY, zero,
                                                 kUplink, devAddr, frameCounter, &mic);
    if (status != LORAMAC_CRYPTO_SUCCESS) {
      return status;
    }
  }

  macMsg->MIC = mic;
  macMsg->BufSize = capacity;
  if (LoRaMacSerializerData(macMsg) != LORAMAC_SERIALIZER_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_SERIALIZER;
  }
  CryptoNvm->FCntList.FCntUp = fCntUp;
  return LORAMAC_CRYPTO_SUCCESS;
}

LoRaMacCryptoStatus_t LoRaMacCryptoUnsecureMessage(AddressIdentifier_t addrID, uint32_t address,
                                                   FCntIdentifier_t fCntID, uint32_t fCntDown,
                                                   LoRaMacMessageData_t* macMsg) {
  if (macMsg == nullptr || CryptoNvm == nullptr) {
    return LORAMAC_CRYPTO_ERROR_NPE;
  }
  const uint32_t* last = GetFCntDownSlot(fCntID);
  if (last == nullptr || (*last != FCNT_DOWN_INITIAL_VALUE && *last >= fCntDown)) {
    return LORAMAC_CRYPTO_FAIL_FCNT_SMALLER;
  }
  if (LoRaMacParserData(macMsg) != LORAMAC_PARSER_SUCCESS) {
    return LORAMAC_CRYPTO_ERROR_PARSER;
  }
  const KeyAddr_t* keys = GetKeyAddrItem(addrID);
  if (keys == nullptr) {
    return LORAMAC_CRYPTO_ERROR_INVALID_ADDR_ID;
  }
  if (macMsg->FHDR.DevAddr != address) {
    return LORAMAC_CRYPTO_FAIL_ADDRESS;
  }

  uint8_t b0x[4] = {0, 0, 0, 0};
  if (IsLoRaWAN11() && macMsg->FHDR.FCtrl.Bits.Ack) {
    // ConfFCnt is the FCnt the acknowledged uplink carried on the air,
    // one below the stored uplink counter.
    const uint16_t confFCnt = static_cast<uint16_t>(CryptoNvm->FCntList.FCntUp - 1);
    b0x[0] = static_cast<uint8_t>(confFCnt);
    b0x[1] = static_cast<uint8_t>(confFCnt >> 8);
  }
  LoRaMacCryptoStatus_t status =
      VerifyCmacB0(macMsg->Buffer, static_cast<uint16_t>(macMsg->BufSize - LORAMAC_MIC_FIELD_SIZE),
                   keys->NwkSkey, b0x, address, fCntDown, macMsg->MIC);
  if (status != LORAMAC_CRYPTO_SUCCESS) {
    return status;
  }

  if (macMsg->FRMPayloadSize > 0) {
    const KeyIdentifier_t payloadKey = macMsg->FPort != 0 ? keys->AppSkey : NWK_S_ENC_KEY;
    status = PayloadEncrypt(macMsg->FRMPayload, macMsg->FRMPayloadSize, payloadKey, address,
                            kDownlink, fCntDown);
    if (status != LORAMAC_CRYPTO_SUCCESS) {
      return status;
    }
  }
  if (IsLoRaWAN11() && addrID == UNICAST_DEV_ADDR && macMsg->FHDR.FCtrl.Bits.FOptsLen > 0) {
    status = FOptsEncrypt(macMsg->FHDR.FOpts, macMsg->FHDR.FCtrl.Bits.FOptsLen, address, kDownlink,
                          fCntID, fCntDown);
    if (status != LORAMAC_CRYPTO_SUCCESS) {
      return status;
    }
  }
  UpdateFCntDown(fCntID, fCntDown);
  return LORAMAC_CRYPTO_SUCCESS;
}

LoRaMacCryptoStatus_t LoRaMacCryptoDeriveMcRootKey(uint8_t versionMinor, KeyIdentifier_t keyID) {
  if (keyID != APP_KEY) {
    return LORAMAC_CRYPTO_ERROR_INVALID_KEY_ID;
  }
  return DeriveKey(APP_KEY, MC_ROOT_KEY, versionMinor == 1 ? 0x20 : 0x00, nullptr, 0);
}

LoRaMacCryptoStatus_t LoRaMacCryptoDeriveMcSessionKeyPair(AddressIdentifier_t addrID,
                                                          uint32_t mcAddr) {
  if (mcAddr == 0) {
    return LORAMAC_CRYPTO_ERROR_NPE;
  }
  const KeyAddr_t* keys = GetKeyAddrItem(addrID);
  if (keys == nullptr) {
    return LORAMAC_CRYPTO_ERROR_INVALID_ADDR_ID;
  }
  uint8_t addr[4];
  PutLe(addr, mcAddr, 4);
  LoRaMacCryptoStatus_t status = DeriveKey(keys->RootKey, keys->AppSkey, 0x01, addr, sizeof addr);
  if (status != LORAMAC_CRYPTO_SUCCESS) {
    return status;
  }
  return DeriveKey(keys->RootKey, keys->NwkSkey, 0x02, addr, sizeof addr);
}
