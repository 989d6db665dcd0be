// The aes_* entry points on the AES unit (CRYP HAL). The context argument of
// the software form is accepted and ignored: one key and one IV live here.
#include "hw_aes.h"

#include <string.h>

#include "aes.h"
#include "stm32wl_hal.h"
#include "stm32wl_hal_cryp.h"
#include "udrv_errno.h"
#include "udrv_system.h"

// A vendor-HAL initialisation failed: the MCU resets (the port's).
[[noreturn]] void Error_Handler(void);

static CRYP_HandleTypeDef hcryp;
// Key and IV as the unit's 32-bit words: each group of four bytes reversed,
// so that the unit sees the bytes in their given order.
static uint32_t key[4];
static uint32_t key_size = 0;
static uint32_t iv[4];
static uint32_t iv_size = 0;
static uint8_t work[UHAL_CRYPTO_MAX_SIZE];

static void to_words(const uint8_t* bytes, uint32_t* words) {
  for (int i = 0; i < 4; i++) {
    words[i] = ((uint32_t)bytes[4 * i] << 24) | ((uint32_t)bytes[4 * i + 1] << 16) |
               ((uint32_t)bytes[4 * i + 2] << 8) | (uint32_t)bytes[4 * i + 3];
  }
}

int32_t uhal_cyrpto_set_key(const uint8_t* k, uint32_t keylen) {
  if (k == NULL || (keylen != 16 && keylen != 24 && keylen != 32)) {
    return -32;
  }
  to_words(k, key);
  key_size = keylen;
  return 0;
}

int32_t uhal_cyrpto_set_iv(const uint8_t* v) {
  if (v == NULL) {
    return -UDRV_WRONG_ARG;
  }
  to_words(v, iv);
  iv_size = 16;
  return 0;
}

static void setup(uint32_t algorithm, uint32_t dataType, uint32_t widthUnit) {
  memset(&hcryp, 0, sizeof(hcryp));
  hcryp.Instance = AES;
  hcryp.Init.DataType = dataType;
  hcryp.Init.KeySize = CRYP_KEYSIZE_128B;
  hcryp.Init.pKey = key;
  hcryp.Init.pInitVect = iv;
  hcryp.Init.Algorithm = algorithm;
  hcryp.Init.DataWidthUnit = widthUnit;
  hcryp.Init.KeyIVConfigSkip = CRYP_KEYIVCONFIG_ALWAYS;
}

int32_t uhal_crypto_aes_crypt(uint8_t mode, uint8_t type, const uint8_t* ivBytes,
                              const uint8_t* input, uint32_t size, uint8_t* output) {
  const uint32_t rounded = (size + 15u) & ~15u;
  if (rounded > UHAL_CRYPTO_MAX_SIZE || input == NULL || output == NULL) {
    return -UDRV_INTERNAL_ERR;
  }
  if (ivBytes != NULL) {
    to_words(ivBytes, iv);
    iv_size = 16;
  }

  // One operation is atomic against the radio interrupt, whose callbacks
  // may use the unit too.
  uint32_t mask;
  uhal_sys_board_critical_section_begin(&mask);

  // A plain set-up first, at once undone: resets the unit.
  setup(CRYP_AES_ECB, CRYP_DATATYPE_32B, CRYP_DATAWIDTHUNIT_WORD);
  if (HAL_CRYP_Init(&hcryp) != HAL_OK || HAL_CRYP_DeInit(&hcryp) != HAL_OK) {
    Error_Handler();
  }
  uint32_t algorithm = CRYP_AES_ECB;
  if (mode == AES_MODE_CBC) {
    algorithm = CRYP_AES_CBC;
  } else if (mode != AES_MODE_ECB) {
    algorithm = CRYP_AES_CTR;
  }
  setup(algorithm, CRYP_DATATYPE_8B, CRYP_DATAWIDTHUNIT_BYTE);
  if (HAL_CRYP_Init(&hcryp) != HAL_OK) {
    Error_Handler();
  }

  // The last block is padded with zero bytes.
  memset(work, 0, rounded);
  memcpy(work, input, size);
  HAL_StatusTypeDef st;
  if (type == TYPE_ENCRYPT) {
    st = HAL_CRYP_Encrypt(&hcryp, (uint32_t*)work, (uint16_t)rounded, (uint32_t*)output,
                          UHAL_CRYPTO_TIMEOUT_MS);
  } else {
    st = HAL_CRYP_Decrypt(&hcryp, (uint32_t*)work, (uint16_t)rounded, (uint32_t*)output,
                          UHAL_CRYPTO_TIMEOUT_MS);
  }
  if (st != HAL_OK) {
    uhal_sys_board_critical_section_end(&mask);
    return -UDRV_INTERNAL_ERR;
  }
  if (HAL_CRYP_DeInit(&hcryp) != HAL_OK) {
    Error_Handler();
  }
  uhal_sys_board_critical_section_end(&mask);
  return 0;
}

int32_t uhal_crypto_aes_ecb_encrypt(const uint8_t* input, uint32_t size, uint8_t* output) {
  return uhal_crypto_aes_crypt(AES_MODE_ECB, TYPE_ENCRYPT, NULL, input, size, output);
}

int32_t uhal_crypto_aes_cbc_encrypt(const uint8_t* input, uint32_t size, uint8_t* output) {
  return uhal_crypto_aes_crypt(AES_MODE_CBC, TYPE_ENCRYPT, NULL, input, size, output);
}

int32_t uhal_crypto_aes_cbc_decrypt(const uint8_t* input, uint32_t size, uint8_t* output) {
  return uhal_crypto_aes_crypt(AES_MODE_CBC, TYPE_DECRYPT, NULL, input, size, output);
}

// ------------------------------------------------------- aes_* entry points --

return_type aes_set_key(const uint8_t k[], length_type keylen, aes_context ctx[1]) {
  (void)ctx;
  return (return_type)uhal_cyrpto_set_key(k, keylen);
}

return_type aes_encrypt(const uint8_t in[N_BLOCK], uint8_t out[N_BLOCK], const aes_context ctx[1]) {
  (void)ctx;
  return (return_type)uhal_crypto_aes_ecb_encrypt(in, N_BLOCK, out);
}

return_type aes_cbc_encrypt(const uint8_t* in, uint8_t* out, int n_block, uint8_t ivBytes[N_BLOCK],
                            const aes_context ctx[1]) {
  (void)ctx;
  if (n_block < 0) {
    return 1;
  }
  uhal_cyrpto_set_iv(ivBytes);
  return (return_type)uhal_crypto_aes_cbc_encrypt(in, (uint32_t)n_block * N_BLOCK, out);
}

return_type aes_cbc_decrypt(const uint8_t* in, uint8_t* out, int n_block, uint8_t ivBytes[N_BLOCK],
                            const aes_context ctx[1]) {
  (void)ctx;
  if (n_block < 0) {
    return 1;
  }
  uhal_cyrpto_set_iv(ivBytes);
  return (return_type)uhal_crypto_aes_cbc_decrypt(in, (uint32_t)n_block * N_BLOCK, out);
}

void HAL_CRYP_MspInit(CRYP_HandleTypeDef* h) {
  (void)h;
  __HAL_RCC_AES_CLK_ENABLE();
  HAL_NVIC_SetPriority(AES_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(AES_IRQn);
}

void HAL_CRYP_MspDeInit(CRYP_HandleTypeDef* h) {
  (void)h;
  __HAL_RCC_AES_CLK_DISABLE();
}
