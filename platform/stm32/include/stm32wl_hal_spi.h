// SPI1 as a master. The simulated SPI records its set-up (stm32_sim.h); no
// device sits on the bus of these modules.
#pragma once

#include "stm32wl_hal_def.h"
#include "stm32wl_hal_dma.h"

typedef struct {
  uint8_t index;
} SPI_TypeDef;
extern "C" SPI_TypeDef stm32_spi1;
#define SPI1 (&stm32_spi1)

#define SPI_MODE_SLAVE 0x0U
#define SPI_MODE_MASTER 0x104U
#define SPI_DIRECTION_2LINES 0x0U
#define SPI_DIRECTION_1LINE 0x8000U
#define SPI_DATASIZE_8BIT 0x700U
#define SPI_DATASIZE_16BIT 0xF00U
#define SPI_POLARITY_LOW 0x0U
#define SPI_POLARITY_HIGH 0x2U
#define SPI_PHASE_1EDGE 0x0U
#define SPI_PHASE_2EDGE 0x1U
#define SPI_NSS_SOFT 0x200U
#define SPI_NSS_HARD_OUTPUT 0x40000U
#define SPI_BAUDRATEPRESCALER_2 0x00U
#define SPI_BAUDRATEPRESCALER_4 0x08U
#define SPI_BAUDRATEPRESCALER_8 0x10U
#define SPI_BAUDRATEPRESCALER_16 0x18U
#define SPI_BAUDRATEPRESCALER_32 0x20U
#define SPI_BAUDRATEPRESCALER_64 0x28U
#define SPI_BAUDRATEPRESCALER_128 0x30U
#define SPI_BAUDRATEPRESCALER_256 0x38U
#define SPI_FIRSTBIT_MSB 0x0U
#define SPI_FIRSTBIT_LSB 0x80U
#define SPI_TIMODE_DISABLE 0x0U
#define SPI_CRCCALCULATION_DISABLE 0x0U
#define SPI_CRC_LENGTH_DATASIZE 0x0U
#define SPI_NSS_PULSE_DISABLE 0x0U
#define SPI_NSS_PULSE_ENABLE 0x8U

typedef struct {
  uint32_t Mode;
  uint32_t Direction;
  uint32_t DataSize;
  uint32_t CLKPolarity;
  uint32_t CLKPhase;
  uint32_t NSS;
  uint32_t BaudRatePrescaler;
  uint32_t FirstBit;
  uint32_t TIMode;
  uint32_t CRCCalculation;
  uint32_t CRCPolynomial;
  uint32_t CRCLength;
  uint32_t NSSPMode;
} SPI_InitTypeDef;

typedef enum {
  HAL_SPI_STATE_RESET = 0x00U,
  HAL_SPI_STATE_READY = 0x01U,
  HAL_SPI_STATE_BUSY = 0x02U,
} HAL_SPI_StateTypeDef;

typedef struct __SPI_HandleTypeDef {
  SPI_TypeDef* Instance;
  SPI_InitTypeDef Init;
  DMA_HandleTypeDef* hdmatx;
  DMA_HandleTypeDef* hdmarx;
  HAL_LockTypeDef Lock;
  __IO HAL_SPI_StateTypeDef State;
  __IO uint32_t ErrorCode;
} SPI_HandleTypeDef;

extern "C" {
// Initialisation runs the MSP initialisation first when the handle is in its
// reset state; de-initialisation ends with the MSP de-initialisation.
HAL_StatusTypeDef HAL_SPI_Init(SPI_HandleTypeDef* hspi);
HAL_StatusTypeDef HAL_SPI_DeInit(SPI_HandleTypeDef* hspi);
void HAL_SPI_MspInit(SPI_HandleTypeDef* hspi);    // weak; the firmware defines it
void HAL_SPI_MspDeInit(SPI_HandleTypeDef* hspi);  // weak
}
