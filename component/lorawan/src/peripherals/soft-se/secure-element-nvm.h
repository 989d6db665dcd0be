/*!
 * \file secure-element-nvm.h
 *
 * \brief Key identifiers and the secure element's persistent context record
 *        (stored byte for byte as one of the MAC's context groups).
 */
#ifndef __SECURE_ELEMENT_NVM_H__
#define __SECURE_ELEMENT_NVM_H__

#include <stddef.h>
#include <stdint.h>

#define SE_KEY_SIZE 16
#define SE_EUI_SIZE 8
#define SE_PIN_SIZE 4
#define NUM_OF_KEYS 23

typedef enum eKeyIdentifier : uint8_t {
  APP_KEY = 0,
  NWK_KEY = 1,
  J_S_INT_KEY = 2,
  J_S_ENC_KEY = 3,
  F_NWK_S_INT_KEY = 4,
  S_NWK_S_INT_KEY = 5,
  NWK_S_ENC_KEY = 6,
  APP_S_KEY = 7,
  MC_ROOT_KEY = 8,
  MC_KE_KEY = 127,
  MC_KEY_0 = 128,
  MC_APP_S_KEY_0 = 129,
  MC_NWK_S_KEY_0 = 130,
  MC_KEY_1 = 131,
  MC_APP_S_KEY_1 = 132,
  MC_NWK_S_KEY_1 = 133,
  MC_KEY_2 = 134,
  MC_APP_S_KEY_2 = 135,
  MC_NWK_S_KEY_2 = 136,
  MC_KEY_3 = 137,
  MC_APP_S_KEY_3 = 138,
  MC_NWK_S_KEY_3 = 139,
  SLOT_RAND_ZERO_KEY = 140,
  NO_KEY = 141,
} KeyIdentifier_t;

typedef struct sKey {
  KeyIdentifier_t KeyID;
  uint8_t KeyValue[SE_KEY_SIZE];
} Key_t;

typedef struct sSecureElementNvCtx {
  uint8_t DevEui[SE_EUI_SIZE];
  uint8_t JoinEui[SE_EUI_SIZE];
  uint8_t Pin[SE_PIN_SIZE];
  Key_t KeyList[NUM_OF_KEYS];
  uint32_t Crc32;
} SecureElementNvmData_t;

static_assert(sizeof(Key_t) == 17, "a key entry is 17 bytes");
static_assert(offsetof(SecureElementNvmData_t, KeyList) == 20, "key list offset");
static_assert(offsetof(SecureElementNvmData_t, Crc32) == 412, "Crc32 offset");
static_assert(sizeof(SecureElementNvmData_t) == 416, "stored secure-element group size");

#endif  // __SECURE_ELEMENT_NVM_H__
