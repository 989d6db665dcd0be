// AES peripheral of the STM32WL (HAL stand-in for CRYP): ECB, CBC and CTR
// with 128- or 256-bit keys, polled operations. Keys and IVs are given as
// 32-bit words whose most significant byte is the first byte of the key.
#pragma once

#include "stm32wl_hal_def.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CRYP_DATATYPE_32B 0x00000000U
#define CRYP_DATATYPE_16B 0x00000002U
#define CRYP_DATATYPE_8B 0x00000004U
#define CRYP_DATATYPE_1B 0x00000006U

#define CRYP_KEYSIZE_128B 0x00000000U
#define CRYP_KEYSIZE_256B 0x00040000U

#define CRYP_AES_ECB 0x00000000U
#define CRYP_AES_CBC 0x00000020U
#define CRYP_AES_CTR 0x00000040U

#define CRYP_DATAWIDTHUNIT_WORD 0x00000000U
#define CRYP_DATAWIDTHUNIT_BYTE 0x00000001U

#define CRYP_KEYIVCONFIG_ALWAYS 0x00000000U

typedef struct {
  uint32_t DataType;
  uint32_t KeySize;
  uint32_t* pKey;
  uint32_t* pInitVect;
  uint32_t Algorithm;
  uint32_t DataWidthUnit;
  uint32_t KeyIVConfigSkip;
} CRYP_ConfigTypeDef;

typedef enum {
  HAL_CRYP_STATE_RESET = 0x00U,
  HAL_CRYP_STATE_READY = 0x01U,
  HAL_CRYP_STATE_BUSY = 0x02U,
} HAL_CRYP_STATETypeDef;

typedef struct {
  void* Instance;
  CRYP_ConfigTypeDef Init;
  volatile HAL_CRYP_STATETypeDef State;
  volatile uint32_t ErrorCode;
} CRYP_HandleTypeDef;

// The peripheral's register block (only its identity matters here).
extern uint8_t stm32_aes_peripheral;
#define AES ((void*)&stm32_aes_peripheral)

HAL_StatusTypeDef HAL_CRYP_Init(CRYP_HandleTypeDef* hcryp);
HAL_StatusTypeDef HAL_CRYP_DeInit(CRYP_HandleTypeDef* hcryp);
void HAL_CRYP_MspInit(CRYP_HandleTypeDef* hcryp);
void HAL_CRYP_MspDeInit(CRYP_HandleTypeDef* hcryp);
// Size counts bytes with CRYP_DATAWIDTHUNIT_BYTE, words otherwise; whole
// blocks only. Timeout in ms (HAL_TIMEOUT when the operation would take
// longer).
HAL_StatusTypeDef HAL_CRYP_Encrypt(CRYP_HandleTypeDef* hcryp, uint32_t* Input, uint16_t Size,
                                   uint32_t* Output, uint32_t Timeout);
HAL_StatusTypeDef HAL_CRYP_Decrypt(CRYP_HandleTypeDef* hcryp, uint32_t* Input, uint16_t Size,
                                   uint32_t* Output, uint32_t Timeout);

#ifdef __cplusplus
}  // extern "C"
#endif
