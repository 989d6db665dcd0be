// USART1, USART2 and LPUART1. USART2 and LPUART1 share the pins PA2/PA3 (the
// AT line of the module); USART1 is on PB6/PB7. Received bytes arrive at the
// line rate: with DMA reception they go to memory, else into the receive data
// register (a second byte before the first was read sets the overrun flag and
// is lost). One character time of quiet after a byte sets the idle flag. In
// stop mode a UART with stop mode enabled keeps its byte in the receive data
// register and sets the wake-up flag instead.
#pragma once

#include "stm32wl_hal_dma.h"

// The receive data register: reading it takes the received byte.
struct stm32_uart_rdr {
  operator uint32_t() const;
};
typedef struct {
  uint8_t index;  // which UART
  stm32_uart_rdr RDR;
} USART_TypeDef;
extern "C" USART_TypeDef stm32_usart1, stm32_usart2, stm32_lpuart1;
#define USART1 (&stm32_usart1)
#define USART2 (&stm32_usart2)
#define LPUART1 (&stm32_lpuart1)

#define UART_WORDLENGTH_7B 0x10000000U
#define UART_WORDLENGTH_8B 0x00000000U
#define UART_WORDLENGTH_9B 0x00001000U
#define UART_STOPBITS_0_5 0x00001000U
#define UART_STOPBITS_1 0x00000000U
#define UART_STOPBITS_1_5 0x00003000U
#define UART_STOPBITS_2 0x00002000U
#define UART_PARITY_NONE 0x00000000U
#define UART_PARITY_EVEN 0x00000400U
#define UART_PARITY_ODD 0x00000600U
#define UART_MODE_RX 0x04U
#define UART_MODE_TX 0x08U
#define UART_MODE_TX_RX 0x0CU
#define UART_HWCONTROL_NONE 0x00U
#define UART_HWCONTROL_RTS 0x100U
#define UART_HWCONTROL_CTS 0x200U
#define UART_OVERSAMPLING_16 0x0000U
#define UART_OVERSAMPLING_8 0x8000U
#define UART_ONE_BIT_SAMPLE_DISABLE 0x0000U
#define UART_ONE_BIT_SAMPLE_ENABLE 0x0800U
#define UART_PRESCALER_DIV1 0x0U

#define UART_ADVFEATURE_NO_INIT 0x00U
#define UART_ADVFEATURE_SWAP_INIT 0x08U
#define UART_ADVFEATURE_SWAP_DISABLE 0x0U
#define UART_ADVFEATURE_SWAP_ENABLE 0x1U

#define UART_TXFIFO_THRESHOLD_1_8 0x0U
#define UART_RXFIFO_THRESHOLD_1_8 0x0U

// Status flags (ISR) and the matching clear bits.
#define UART_FLAG_PE (1UL << 0)
#define UART_FLAG_FE (1UL << 1)
#define UART_FLAG_NE (1UL << 2)
#define UART_FLAG_ORE (1UL << 3)
#define UART_FLAG_IDLE (1UL << 4)
#define UART_FLAG_RXNE (1UL << 5)
#define UART_FLAG_RXFNE UART_FLAG_RXNE
#define UART_FLAG_TC (1UL << 6)
#define UART_FLAG_TXE (1UL << 7)
#define UART_FLAG_BUSY (1UL << 16)
#define UART_FLAG_WUF (1UL << 20)
#define UART_FLAG_TEACK (1UL << 21)
#define UART_FLAG_REACK (1UL << 22)
#define UART_CLEAR_PEF UART_FLAG_PE
#define UART_CLEAR_FEF UART_FLAG_FE
#define UART_CLEAR_NEF UART_FLAG_NE
#define UART_CLEAR_OREF UART_FLAG_ORE
#define UART_CLEAR_IDLEF UART_FLAG_IDLE
#define UART_CLEAR_TCF UART_FLAG_TC
#define UART_CLEAR_WUF UART_FLAG_WUF

// Interrupt enables.
#define UART_IT_PE (1UL << 0)
#define UART_IT_ERR (1UL << 1)
#define UART_IT_IDLE (1UL << 4)
#define UART_IT_RXNE (1UL << 5)
#define UART_IT_TC (1UL << 6)
#define UART_IT_TXE (1UL << 7)
#define UART_IT_WUF (1UL << 20)

#define HAL_UART_ERROR_NONE 0x00U
#define HAL_UART_ERROR_PE 0x01U
#define HAL_UART_ERROR_NE 0x02U
#define HAL_UART_ERROR_FE 0x04U
#define HAL_UART_ERROR_ORE 0x08U
#define HAL_UART_ERROR_DMA 0x10U

#define UART_WAKEUP_ON_ADDRESS 0x0U
#define UART_WAKEUP_ON_STARTBIT 0x2U
#define UART_WAKEUP_ON_READDATA_NONEMPTY 0x3U

typedef enum {
  HAL_UART_STATE_RESET = 0x00U,
  HAL_UART_STATE_READY = 0x20U,
  HAL_UART_STATE_BUSY = 0x24U,
  HAL_UART_STATE_BUSY_TX = 0x21U,
  HAL_UART_STATE_BUSY_RX = 0x22U,
  HAL_UART_STATE_TIMEOUT = 0xA0U,
  HAL_UART_STATE_ERROR = 0xE0U,
} HAL_UART_StateTypeDef;

typedef struct {
  uint32_t BaudRate;
  uint32_t WordLength;
  uint32_t StopBits;
  uint32_t Parity;
  uint32_t Mode;
  uint32_t HwFlowCtl;
  uint32_t OverSampling;
  uint32_t OneBitSampling;
  uint32_t ClockPrescaler;
} UART_InitTypeDef;

typedef struct {
  uint32_t AdvFeatureInit;
  uint32_t TxPinLevelInvert;
  uint32_t RxPinLevelInvert;
  uint32_t DataInvert;
  uint32_t Swap;
  uint32_t OverrunDisable;
  uint32_t DMADisableonRxError;
  uint32_t AutoBaudRateEnable;
  uint32_t AutoBaudRateMode;
  uint32_t MSBFirst;
} UART_AdvFeatureInitTypeDef;

typedef struct {
  uint32_t WakeUpEvent;
  uint16_t AddressLength;
  uint8_t Address;
} UART_WakeUpTypeDef;

typedef struct __UART_HandleTypeDef {
  USART_TypeDef* Instance;
  UART_InitTypeDef Init;
  UART_AdvFeatureInitTypeDef AdvancedInit;
  const uint8_t* pTxBuffPtr;
  uint16_t TxXferSize;
  __IO uint16_t TxXferCount;
  uint8_t* pRxBuffPtr;
  uint16_t RxXferSize;
  __IO uint16_t RxXferCount;
  uint32_t FifoMode;
  DMA_HandleTypeDef* hdmatx;
  DMA_HandleTypeDef* hdmarx;
  HAL_LockTypeDef Lock;
  __IO HAL_UART_StateTypeDef gState;
  __IO HAL_UART_StateTypeDef RxState;
  __IO uint32_t ErrorCode;
} UART_HandleTypeDef;

extern "C" {
HAL_StatusTypeDef HAL_UART_Init(UART_HandleTypeDef* huart);
HAL_StatusTypeDef HAL_HalfDuplex_Init(UART_HandleTypeDef* huart);
HAL_StatusTypeDef HAL_UART_DeInit(UART_HandleTypeDef* huart);
void HAL_UART_MspInit(UART_HandleTypeDef* huart);    // weak
void HAL_UART_MspDeInit(UART_HandleTypeDef* huart);  // weak

// Blocking transmit; takes the line time of the bytes. HAL_TIMEOUT when the
// bytes do not fit into `timeout` ms (the ones that fit are sent).
HAL_StatusTypeDef HAL_UART_Transmit(UART_HandleTypeDef* huart, const uint8_t* data, uint16_t size,
                                    uint32_t timeout);
// Polling receive of exactly `size` bytes within `timeout` ms.
HAL_StatusTypeDef HAL_UART_Receive(UART_HandleTypeDef* huart, uint8_t* data, uint16_t size,
                                   uint32_t timeout);
HAL_StatusTypeDef HAL_UART_Receive_DMA(UART_HandleTypeDef* huart, uint8_t* data, uint16_t size);
HAL_StatusTypeDef HAL_UART_DMAStop(UART_HandleTypeDef* huart);
HAL_StatusTypeDef HAL_UART_AbortReceive(UART_HandleTypeDef* huart);
void HAL_UART_IRQHandler(UART_HandleTypeDef* huart);
HAL_UART_StateTypeDef HAL_UART_GetState(UART_HandleTypeDef* huart);
uint32_t HAL_UART_GetError(UART_HandleTypeDef* huart);

HAL_StatusTypeDef HAL_HalfDuplex_EnableTransmitter(UART_HandleTypeDef* huart);
HAL_StatusTypeDef HAL_HalfDuplex_EnableReceiver(UART_HandleTypeDef* huart);

HAL_StatusTypeDef HAL_UARTEx_SetTxFifoThreshold(UART_HandleTypeDef* huart, uint32_t threshold);
HAL_StatusTypeDef HAL_UARTEx_SetRxFifoThreshold(UART_HandleTypeDef* huart, uint32_t threshold);
HAL_StatusTypeDef HAL_UARTEx_DisableFifoMode(UART_HandleTypeDef* huart);
HAL_StatusTypeDef HAL_UARTEx_StopModeWakeUpSourceConfig(UART_HandleTypeDef* huart,
                                                        UART_WakeUpTypeDef selection);
HAL_StatusTypeDef HAL_UARTEx_EnableStopMode(UART_HandleTypeDef* huart);
HAL_StatusTypeDef HAL_UARTEx_DisableStopMode(UART_HandleTypeDef* huart);

// Callbacks (weak; the firmware overrides them). Run in interrupt context.
void HAL_UART_TxCpltCallback(UART_HandleTypeDef* huart);
void HAL_UART_RxCpltCallback(UART_HandleTypeDef* huart);
void HAL_UART_RxHalfCpltCallback(UART_HandleTypeDef* huart);
void HAL_UART_ErrorCallback(UART_HandleTypeDef* huart);
void HAL_UARTEx_RxEventCallback(UART_HandleTypeDef* huart, uint16_t size);
void HAL_UARTEx_WakeupCallback(UART_HandleTypeDef* huart);

uint32_t stm32_uart_flags(const UART_HandleTypeDef* huart);
void stm32_uart_clear_flags(UART_HandleTypeDef* huart, uint32_t flags);
void stm32_uart_it(UART_HandleTypeDef* huart, uint32_t its, int enable);
}

#define __HAL_UART_GET_FLAG(h, flag) ((stm32_uart_flags(h) & (flag)) == (flag))
#define __HAL_UART_CLEAR_FLAG(h, flags) stm32_uart_clear_flags((h), (flags))
#define __HAL_UART_CLEAR_IDLEFLAG(h) stm32_uart_clear_flags((h), UART_CLEAR_IDLEF)
#define __HAL_UART_CLEAR_OREFLAG(h) stm32_uart_clear_flags((h), UART_CLEAR_OREF)
#define __HAL_UART_CLEAR_FEFLAG(h) stm32_uart_clear_flags((h), UART_CLEAR_FEF)
#define __HAL_UART_CLEAR_NEFLAG(h) stm32_uart_clear_flags((h), UART_CLEAR_NEF)
#define __HAL_UART_CLEAR_PEFLAG(h) stm32_uart_clear_flags((h), UART_CLEAR_PEF)
#define __HAL_UART_ENABLE_IT(h, it) stm32_uart_it((h), (it), 1)
#define __HAL_UART_DISABLE_IT(h, it) stm32_uart_it((h), (it), 0)
