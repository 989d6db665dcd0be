// DMA1 channels with the DMAMUX request lines. A receive channel moves the
// bytes a UART receives into memory, counts down its remaining count, and
// raises its interrupt at half and at full transfer (circular channels start
// again at the beginning of the buffer).
#pragma once

#include "stm32wl_hal_def.h"

// A channel's registers: the remaining count lives behind __HAL_DMA_GET_COUNTER.
typedef struct {
  uint8_t index;  // 0 for DMA1 channel 1
} DMA_Channel_TypeDef;
extern "C" DMA_Channel_TypeDef stm32_dma1_channels[7];
#define DMA1_Channel1 (&stm32_dma1_channels[0])
#define DMA1_Channel2 (&stm32_dma1_channels[1])
#define DMA1_Channel3 (&stm32_dma1_channels[2])
#define DMA1_Channel4 (&stm32_dma1_channels[3])
#define DMA1_Channel5 (&stm32_dma1_channels[4])
#define DMA1_Channel6 (&stm32_dma1_channels[5])
#define DMA1_Channel7 (&stm32_dma1_channels[6])

#define DMA_REQUEST_SPI1_RX 7U
#define DMA_REQUEST_SPI1_TX 8U
#define DMA_REQUEST_USART1_RX 17U
#define DMA_REQUEST_USART1_TX 18U
#define DMA_REQUEST_LPUART1_RX 21U
#define DMA_REQUEST_LPUART1_TX 22U

#define DMA_PERIPH_TO_MEMORY 0x00U
#define DMA_MEMORY_TO_PERIPH 0x10U
#define DMA_PINC_ENABLE 0x40U
#define DMA_PINC_DISABLE 0x00U
#define DMA_MINC_ENABLE 0x80U
#define DMA_MINC_DISABLE 0x00U
#define DMA_PDATAALIGN_BYTE 0x000U
#define DMA_PDATAALIGN_HALFWORD 0x100U
#define DMA_PDATAALIGN_WORD 0x200U
#define DMA_MDATAALIGN_BYTE 0x000U
#define DMA_MDATAALIGN_HALFWORD 0x400U
#define DMA_MDATAALIGN_WORD 0x800U
#define DMA_NORMAL 0x00U
#define DMA_CIRCULAR 0x20U
#define DMA_PRIORITY_LOW 0x0000U
#define DMA_PRIORITY_MEDIUM 0x1000U
#define DMA_PRIORITY_HIGH 0x2000U
#define DMA_PRIORITY_VERY_HIGH 0x3000U

typedef enum {
  HAL_DMA_STATE_RESET = 0x00U,
  HAL_DMA_STATE_READY = 0x01U,
  HAL_DMA_STATE_BUSY = 0x02U,
} HAL_DMA_StateTypeDef;

typedef struct {
  uint32_t Request;
  uint32_t Direction;
  uint32_t PeriphInc;
  uint32_t MemInc;
  uint32_t PeriphDataAlignment;
  uint32_t MemDataAlignment;
  uint32_t Mode;
  uint32_t Priority;
} DMA_InitTypeDef;

typedef struct __DMA_HandleTypeDef {
  DMA_Channel_TypeDef* Instance;
  DMA_InitTypeDef Init;
  HAL_LockTypeDef Lock;
  __IO HAL_DMA_StateTypeDef State;
  void* Parent;
  void (*XferCpltCallback)(struct __DMA_HandleTypeDef* hdma);
  void (*XferHalfCpltCallback)(struct __DMA_HandleTypeDef* hdma);
  void (*XferErrorCallback)(struct __DMA_HandleTypeDef* hdma);
  void (*XferAbortCallback)(struct __DMA_HandleTypeDef* hdma);
  __IO uint32_t ErrorCode;
} DMA_HandleTypeDef;

extern "C" {
HAL_StatusTypeDef HAL_DMA_Init(DMA_HandleTypeDef* hdma);
HAL_StatusTypeDef HAL_DMA_DeInit(DMA_HandleTypeDef* hdma);
HAL_StatusTypeDef HAL_DMA_Abort(DMA_HandleTypeDef* hdma);
void HAL_DMA_IRQHandler(DMA_HandleTypeDef* hdma);
uint32_t stm32_dma_remaining(const DMA_HandleTypeDef* hdma);
}

#define __HAL_DMA_GET_COUNTER(h) stm32_dma_remaining(h)
