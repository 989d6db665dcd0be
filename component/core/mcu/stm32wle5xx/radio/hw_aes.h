// AES on the STM32WLE5's AES unit: one key and one IV in module state, used
// by the aes_* entry points of the secure element and the P2P encryption.
#pragma once

#include <stdint.h>

#define AES_MODE_ECB 0
#define AES_MODE_CBC 1
#define AES_MODE_CTR 2
#define TYPE_ENCRYPT 0
#define TYPE_DECRYPT 1

// Timeout of one operation on the unit (ms).
#define UHAL_CRYPTO_TIMEOUT_MS 255
// Largest input of one operation (bytes, after rounding up to whole blocks).
#define UHAL_CRYPTO_MAX_SIZE 512

// 16, 24 or 32 bytes: the first 16 are the key (AES-128); returns 0. Any
// other length returns -32 and keeps the previous key.
int32_t uhal_cyrpto_set_key(const uint8_t* key, uint32_t keylen);
int32_t uhal_cyrpto_set_iv(const uint8_t* iv);
int32_t uhal_crypto_aes_ecb_encrypt(const uint8_t* input, uint32_t size, uint8_t* output);
int32_t uhal_crypto_aes_cbc_encrypt(const uint8_t* input, uint32_t size, uint8_t* output);
int32_t uhal_crypto_aes_cbc_decrypt(const uint8_t* input, uint32_t size, uint8_t* output);
// One operation: 0, or -7 when the unit fails (or the input is too large).
int32_t uhal_crypto_aes_crypt(uint8_t mode, uint8_t type, const uint8_t* iv, const uint8_t* input,
                              uint32_t size, uint8_t* output);
