// Sub-GHz radio peripheral of the STM32WL (HAL stand-in): the radio is the
// SX126x chip model on the internal SPI; its interrupt line is
// SUBGHZ_Radio_IRQn. Commands, register and buffer accesses wait for the
// radio's busy flag, and wake a sleeping radio first (an NSS pulse).
#pragma once

#include "stm32wl_hal_def.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SUBGHZSPI_BAUDRATEPRESCALER_2 0x00U
#define SUBGHZSPI_BAUDRATEPRESCALER_4 0x08U
#define SUBGHZSPI_BAUDRATEPRESCALER_8 0x10U
#define SUBGHZSPI_BAUDRATEPRESCALER_16 0x18U

typedef enum {
  HAL_SUBGHZ_STATE_RESET = 0x00U,
  HAL_SUBGHZ_STATE_READY = 0x01U,
  HAL_SUBGHZ_STATE_BUSY = 0x02U,
} HAL_SUBGHZ_StateTypeDef;

typedef enum {
  HAL_SUBGHZ_CAD_CLEAR = 0x00U,
  HAL_SUBGHZ_CAD_DETECTED = 0x01U,
} HAL_SUBGHZ_CadStatusTypeDef;

typedef struct {
  uint32_t BaudratePrescaler;
} SUBGHZ_InitTypeDef;

typedef struct __SUBGHZ_HandleTypeDef {
  SUBGHZ_InitTypeDef Init;
  uint8_t DeepSleep;  // the last command put the radio to sleep
  HAL_LockTypeDef Lock;
  volatile HAL_SUBGHZ_StateTypeDef State;
  volatile uint32_t ErrorCode;
} SUBGHZ_HandleTypeDef;

// Radio commands and registers: opcodes and addresses are the radio's.
typedef uint8_t SUBGHZ_RadioSetCmd_t;
typedef uint8_t SUBGHZ_RadioGetCmd_t;

// The radio's reset line (RCC): held while enabled; after the release the
// radio boots (busy) for a few milliseconds.
void LL_RCC_RF_EnableReset(void);
void LL_RCC_RF_DisableReset(void);
uint32_t LL_RCC_IsRFUnderReset(void);

HAL_StatusTypeDef HAL_SUBGHZ_Init(SUBGHZ_HandleTypeDef* hsubghz);
HAL_StatusTypeDef HAL_SUBGHZ_DeInit(SUBGHZ_HandleTypeDef* hsubghz);
void HAL_SUBGHZ_MspInit(SUBGHZ_HandleTypeDef* hsubghz);
void HAL_SUBGHZ_MspDeInit(SUBGHZ_HandleTypeDef* hsubghz);

HAL_StatusTypeDef HAL_SUBGHZ_ExecSetCmd(SUBGHZ_HandleTypeDef* hsubghz, SUBGHZ_RadioSetCmd_t command,
                                        uint8_t* pBuffer, uint16_t Size);
HAL_StatusTypeDef HAL_SUBGHZ_ExecGetCmd(SUBGHZ_HandleTypeDef* hsubghz, SUBGHZ_RadioGetCmd_t command,
                                        uint8_t* pBuffer, uint16_t Size);
HAL_StatusTypeDef HAL_SUBGHZ_WriteRegisters(SUBGHZ_HandleTypeDef* hsubghz, uint16_t Address,
                                            uint8_t* pBuffer, uint16_t Size);
HAL_StatusTypeDef HAL_SUBGHZ_ReadRegisters(SUBGHZ_HandleTypeDef* hsubghz, uint16_t Address,
                                           uint8_t* pBuffer, uint16_t Size);
HAL_StatusTypeDef HAL_SUBGHZ_WriteRegister(SUBGHZ_HandleTypeDef* hsubghz, uint16_t Address,
                                           uint8_t Value);
HAL_StatusTypeDef HAL_SUBGHZ_ReadRegister(SUBGHZ_HandleTypeDef* hsubghz, uint16_t Address,
                                          uint8_t* pValue);
HAL_StatusTypeDef HAL_SUBGHZ_WriteBuffer(SUBGHZ_HandleTypeDef* hsubghz, uint8_t Offset,
                                         uint8_t* pBuffer, uint16_t Size);
HAL_StatusTypeDef HAL_SUBGHZ_ReadBuffer(SUBGHZ_HandleTypeDef* hsubghz, uint8_t Offset,
                                        uint8_t* pBuffer, uint16_t Size);

// The radio interrupt: reads and clears the radio's IRQ status, then calls
// the callback of each bit (TX done, RX done, preamble, sync word, header
// valid, header error, CRC error, CAD done, timeout). An RX done with a CRC
// error raises only the CRC error callback.
void HAL_SUBGHZ_IRQHandler(SUBGHZ_HandleTypeDef* hsubghz);
void HAL_SUBGHZ_TxCpltCallback(SUBGHZ_HandleTypeDef* hsubghz);
void HAL_SUBGHZ_RxCpltCallback(SUBGHZ_HandleTypeDef* hsubghz);
void HAL_SUBGHZ_PreambleDetectedCallback(SUBGHZ_HandleTypeDef* hsubghz);
void HAL_SUBGHZ_SyncWordValidCallback(SUBGHZ_HandleTypeDef* hsubghz);
void HAL_SUBGHZ_HeaderValidCallback(SUBGHZ_HandleTypeDef* hsubghz);
void HAL_SUBGHZ_HeaderErrorCallback(SUBGHZ_HandleTypeDef* hsubghz);
void HAL_SUBGHZ_CRCErrorCallback(SUBGHZ_HandleTypeDef* hsubghz);
void HAL_SUBGHZ_CADStatusCallback(SUBGHZ_HandleTypeDef* hsubghz,
                                  HAL_SUBGHZ_CadStatusTypeDef cadstatus);
void HAL_SUBGHZ_RxTxTimeoutCallback(SUBGHZ_HandleTypeDef* hsubghz);

#ifdef __cplusplus
}  // extern "C"
#endif
