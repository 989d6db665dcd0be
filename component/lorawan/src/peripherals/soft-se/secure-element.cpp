/*!
 * \file secure-element.cpp
 *
 * \brief Soft secure element: keys kept in the MAC-owned context record,
 *        AES-128 and AES-CMAC over the aes_* entry points.
 */
#include "secure-element.h"

#include "aes.h"
#include "cmac.h"
#include "utilities.h"

namespace {

SecureElementNvmData_t* SeNvm = nullptr;

// The factory key of the six entries that are not zero by default.
const uint8_t kDefaultKey[SE_KEY_SIZE] = {0x9D, 0x4B, 0x27, 0xE1, 0xC0, 0x8A, 0x5F, 0x36,
                                          0xB2, 0xE4, 0x7D, 0x19, 0xA0, 0x3C, 0x6E, 0x85};

struct DefaultKeyRow {
  KeyIdentifier_t id;
  bool isDefault;  // the default key, else 16 zero bytes
};

const DefaultKeyRow kKeyTable[NUM_OF_KEYS] = {
    {APP_KEY, true},
    {NWK_KEY, true},
    {J_S_INT_KEY, false},
    {J_S_ENC_KEY, false},
    {F_NWK_S_INT_KEY, true},
    {S_NWK_S_INT_KEY, true},
    {NWK_S_ENC_KEY, true},
    {APP_S_KEY, true},
    {MC_ROOT_KEY, false},
    {MC_KE_KEY, false},
    {MC_KEY_0, false},
    {MC_APP_S_KEY_0, false},
    {MC_NWK_S_KEY_0, false},
    {MC_KEY_1, false},
    {MC_APP_S_KEY_1, false},
    {MC_NWK_S_KEY_1, false},
    {MC_KEY_2, false},
    {MC_APP_S_KEY_2, false},
    {MC_NWK_S_KEY_2, false},
    {MC_KEY_3, false},
    {MC_APP_S_KEY_3, false},
    {MC_NWK_S_KEY_3, false},
    {SLOT_RAND_ZERO_KEY, false},
};

Key_t* GetKeyByID(KeyIdentifier_t keyID) {
  if (SeNvm == nullptr) {
    return nullptr;
  }
  for (uint8_t i = 0; i < NUM_OF_KEYS; i++) {
    if (SeNvm->KeyList[i].KeyID == keyID) {
      return &SeNvm->KeyList[i];
    }
  }
  return nullptr;
}

bool IsMulticastKey(KeyIdentifier_t keyID) {
  return keyID == MC_KEY_0 || keyID == MC_KEY_1 || keyID == MC_KEY_2 || keyID == MC_KEY_3;
}

SecureElementStatus_t ComputeCmac(const uint8_t* micBxBuffer, const uint8_t* buffer, uint16_t size,
                                  KeyIdentifier_t keyID, uint32_t* cmac) {
  if (buffer == nullptr || cmac == nullptr) {
    return SECURE_ELEMENT_ERROR_NPE;
  }
  Key_t* key = GetKeyByID(keyID);
  if (key == nullptr) {
    return SECURE_ELEMENT_ERROR_INVALID_KEY_ID;
  }
  AES_CMAC_CTX ctx;
  uint8_t digest[AES_CMAC_DIGEST_LENGTH];
  AES_CMAC_Init(&ctx);
  AES_CMAC_SetKey(&ctx, key->KeyValue);
  if (micBxBuffer != nullptr) {
    AES_CMAC_Update(&ctx, micBxBuffer, 16);
  }
  AES_CMAC_Update(&ctx, buffer, size);
  AES_CMAC_Final(digest, &ctx);
  *cmac = (uint32_t)digest[0] | ((uint32_t)digest[1] << 8) | ((uint32_t)digest[2] << 16) |
          ((uint32_t)digest[3] << 24);
  return SECURE_ELEMENT_SUCCESS;
}

}  // namespace

SecureElementStatus_t SecureElementInit(SecureElementNvmData_t* nvm) {
  if (nvm == nullptr) {
    return SECURE_ELEMENT_ERROR_NPE;
  }
  SeNvm = nvm;
  memset1(SeNvm->DevEui, 0, SE_EUI_SIZE);
  memset1(SeNvm->JoinEui, 0, SE_EUI_SIZE);
  memset1(SeNvm->Pin, 0, SE_PIN_SIZE);
  for (uint8_t i = 0; i < NUM_OF_KEYS; i++) {
    SeNvm->KeyList[i].KeyID = kKeyTable[i].id;
    if (kKeyTable[i].isDefault) {
      memcpy1(SeNvm->KeyList[i].KeyValue, kDefaultKey, SE_KEY_SIZE);
    } else {
      memset1(SeNvm->KeyList[i].KeyValue, 0, SE_KEY_SIZE);
    }
  }
  SeNvm->Crc32 = 0;
  return SECURE_ELEMENT_SUCCESS;
}

SecureElementStatus_t SecureElementSetKey(KeyIdentifier_t keyID, const uint8_t* key) {
  if (key == nullptr) {
    return SECURE_ELEMENT_ERROR_NPE;
  }
  Key_t* entry = GetKeyByID(keyID);
  if (entry == nullptr) {
    return SECURE_ELEMENT_ERROR_INVALID_KEY_ID;
  }
  if (IsMulticastKey(keyID)) {
    // Multicast keys arrive wrapped under MC_KE_KEY and are kept clear.
    uint8_t decryptedKey[SE_KEY_SIZE] = {0};
    SecureElementStatus_t retval =
        SecureElementAesEncrypt(key, SE_KEY_SIZE, MC_KE_KEY, decryptedKey);
    memcpy1(entry->KeyValue, decryptedKey, SE_KEY_SIZE);
    return retval;
  }
  memcpy1(entry->KeyValue, key, SE_KEY_SIZE);
  return SECURE_ELEMENT_SUCCESS;
}

SecureElementStatus_t SecureElementComputeAesCmac(const uint8_t* micBxBuffer, const uint8_t* buffer,
                                                  uint16_t size, KeyIdentifier_t keyID,
                                                  uint32_t* cmac) {
  if (keyID >= MC_KE_KEY) {
    // No multicast key computes a MIC.
    return SECURE_ELEMENT_ERROR_INVALID_KEY_ID;
  }
  return ComputeCmac(micBxBuffer, buffer, size, keyID, cmac);
}

SecureElementStatus_t SecureElementVerifyAesCmac(const uint8_t* buffer, uint16_t size,
                                                 uint32_t expectedCmac, KeyIdentifier_t keyID) {
  if (buffer == nullptr) {
    return SECURE_ELEMENT_ERROR_NPE;
  }
  uint32_t compCmac = 0;
  SecureElementStatus_t retval = ComputeCmac(nullptr, buffer, size, keyID, &compCmac);
  if (retval != SECURE_ELEMENT_SUCCESS) {
    return retval;
  }
  return expectedCmac == compCmac ? SECURE_ELEMENT_SUCCESS : SECURE_ELEMENT_FAIL_CMAC;
}

SecureElementStatus_t SecureElementAesEncrypt(const uint8_t* buffer, uint16_t size,
                                              KeyIdentifier_t keyID, uint8_t* encBuffer) {
  if (buffer == nullptr || encBuffer == nullptr) {
    return SECURE_ELEMENT_ERROR_NPE;
  }
  if ((size % 16) != 0) {
    return SECURE_ELEMENT_ERROR_BUF_SIZE;
  }
  Key_t* key = GetKeyByID(keyID);
  if (key == nullptr) {
    return SECURE_ELEMENT_ERROR_INVALID_KEY_ID;
  }
  aes_context aesContext;
  memset1(aesContext.ksch, 0, sizeof(aesContext.ksch));
  if (aes_set_key(key->KeyValue, SE_KEY_SIZE, &aesContext) != 0) {
    return SECURE_ELEMENT_FAIL_ENCRYPT;
  }
  for (uint16_t block = 0; block < size; block = (uint16_t)(block + 16)) {
    if (aes_encrypt(&buffer[block], &encBuffer[block], &aesContext) != 0) {
      return SECURE_ELEMENT_FAIL_ENCRYPT;
    }
  }
  return SECURE_ELEMENT_SUCCESS;
}

SecureElementStatus_t SecureElementDeriveAndStoreKey(const uint8_t* input,
                                                     KeyIdentifier_t rootKeyID,
                                                     KeyIdentifier_t targetKeyID) {
  if (input == nullptr) {
    return SECURE_ELEMENT_ERROR_NPE;
  }
  // The multicast key-encryption key may only come from the multicast root.
  if (targetKeyID == MC_KE_KEY && rootKeyID != MC_ROOT_KEY) {
    return SECURE_ELEMENT_ERROR_INVALID_KEY_ID;
  }
  uint8_t key[SE_KEY_SIZE] = {0};
  SecureElementStatus_t retval = SecureElementAesEncrypt(input, SE_KEY_SIZE, rootKeyID, key);
  if (retval != SECURE_ELEMENT_SUCCESS) {
    return retval;
  }
  return SecureElementSetKey(targetKeyID, key);
}

SecureElementStatus_t SecureElementProcessJoinAccept(JoinReqIdentifier_t joinReqType,
                                                     const uint8_t* joinEui, uint16_t devNonce,
                                                     const uint8_t* encJoinAccept,
                                                     uint8_t encJoinAcceptSize,
                                                     uint8_t* decJoinAccept,
                                                     uint8_t* versionMinor) {
  if (encJoinAccept == nullptr || decJoinAccept == nullptr || versionMinor == nullptr) {
    return SECURE_ELEMENT_ERROR_NPE;
  }
  // A frame shorter than the smallest join accept would put its MIC and
  // DLSettings before the buffer: refuse it like an oversized one.
  if (encJoinAcceptSize > SE_JOIN_ACCEPT_MAX_SIZE || encJoinAcceptSize < SE_JOIN_ACCEPT_MIN_SIZE) {
    return SECURE_ELEMENT_ERROR_BUF_SIZE;
  }

  KeyIdentifier_t encKeyID = (joinReqType == JOIN_REQ) ? NWK_KEY : J_S_ENC_KEY;
  memcpy1(decJoinAccept, encJoinAccept, encJoinAcceptSize);
  // The join accept is decrypted with the AES encryption, so the device
  // needs no decryption path.
  if (SecureElementAesEncrypt(encJoinAccept + 1, (uint16_t)(encJoinAcceptSize - 1), encKeyID,
                              decJoinAccept + 1) != SECURE_ELEMENT_SUCCESS) {
    return SECURE_ELEMENT_FAIL_ENCRYPT;
  }

  *versionMinor = ((decJoinAccept[11] & 0x80) == 0x80) ? 1 : 0;

  const uint8_t micOffset = (uint8_t)(encJoinAcceptSize - SE_MIC_SIZE);
  uint32_t mic = (uint32_t)decJoinAccept[micOffset] |
                 ((uint32_t)decJoinAccept[micOffset + 1] << 8) |
                 ((uint32_t)decJoinAccept[micOffset + 2] << 16) |
                 ((uint32_t)decJoinAccept[micOffset + 3] << 24);

  if (*versionMinor == 0) {
    if (SecureElementVerifyAesCmac(decJoinAccept, micOffset, mic, NWK_KEY) !=
        SECURE_ELEMENT_SUCCESS) {
      return SECURE_ELEMENT_FAIL_CMAC;
    }
  } else if (*versionMinor == 1) {
    if (joinEui == nullptr) {
      return SECURE_ELEMENT_ERROR_NPE;
    }
    uint8_t micHeader11[SE_JOIN_ACCEPT_MAX_SIZE + 11 - SE_MIC_SIZE] = {0};
    uint16_t bufItr = 0;
    micHeader11[bufItr++] = (uint8_t)joinReqType;
    memcpyr(micHeader11 + bufItr, joinEui, SE_EUI_SIZE);
    bufItr = (uint16_t)(bufItr + SE_EUI_SIZE);
    micHeader11[bufItr++] = (uint8_t)(devNonce & 0xFF);
    micHeader11[bufItr++] = (uint8_t)((devNonce >> 8) & 0xFF);
    memcpy1(micHeader11 + bufItr, decJoinAccept, micOffset);
    bufItr = (uint16_t)(bufItr + micOffset);
    if (SecureElementVerifyAesCmac(micHeader11, bufItr, mic, J_S_INT_KEY) !=
        SECURE_ELEMENT_SUCCESS) {
      return SECURE_ELEMENT_FAIL_CMAC;
    }
  } else {
    return SECURE_ELEMENT_ERROR_INVALID_LORAWAM_SPEC_VERSION;
  }
  return SECURE_ELEMENT_SUCCESS;
}

SecureElementStatus_t SecureElementSetDevEui(const uint8_t* devEui) {
  if (devEui == nullptr || SeNvm == nullptr) {
    return SECURE_ELEMENT_ERROR_NPE;
  }
  memcpy1(SeNvm->DevEui, devEui, SE_EUI_SIZE);
  return SECURE_ELEMENT_SUCCESS;
}

uint8_t* SecureElementGetDevEui(void) { return SeNvm ? SeNvm->DevEui : nullptr; }

SecureElementStatus_t SecureElementSetJoinEui(const uint8_t* joinEui) {
  if (joinEui == nullptr || SeNvm == nullptr) {
    return SECURE_ELEMENT_ERROR_NPE;
  }
  memcpy1(SeNvm->JoinEui, joinEui, SE_EUI_SIZE);
  return SECURE_ELEMENT_SUCCESS;
}

uint8_t* SecureElementGetJoinEui(void) { return SeNvm ? SeNvm->JoinEui : nullptr; }

SecureElementStatus_t SecureElementSetPin(const uint8_t* pin) {
  if (pin == nullptr || SeNvm == nullptr) {
    return SECURE_ELEMENT_ERROR_NPE;
  }
  memcpy1(SeNvm->Pin, pin, SE_PIN_SIZE);
  return SECURE_ELEMENT_SUCCESS;
}

uint8_t* SecureElementGetPin(void) { return SeNvm ? SeNvm->Pin : nullptr; }
