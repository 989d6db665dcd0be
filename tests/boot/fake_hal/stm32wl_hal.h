// Test double of the HAL names the bootloader calls: just enough to run the
// bootloader's logic against a scripted byte port and an in-memory flash
// mapped at its bus address (see fake_chip.h).
#pragma once

#include <stddef.h>
#include <stdint.h>

#define __IO volatile

typedef enum { HAL_OK = 0, HAL_ERROR = 1, HAL_BUSY = 2, HAL_TIMEOUT = 3 } HAL_StatusTypeDef;

// ------------------------------------------------------------------ UART ---
typedef enum {
  HAL_UART_STATE_RESET = 0x00,
  HAL_UART_STATE_READY = 0x20,
  HAL_UART_STATE_BUSY = 0x24,
  HAL_UART_STATE_TIMEOUT = 0xA0,
} HAL_UART_StateTypeDef;

typedef struct {
  uint32_t id;
} USART_TypeDef;
extern USART_TypeDef fake_usart2;
#define USART2 (&fake_usart2)

typedef struct {
  uint32_t BaudRate, WordLength, StopBits, Parity, Mode, HwFlowCtl, OverSampling, OneBitSampling,
      ClockPrescaler;
} UART_InitTypeDef;
typedef struct {
  uint32_t AdvFeatureInit;
} UART_AdvFeatureInitTypeDef;
typedef struct {
  USART_TypeDef *Instance;
  UART_InitTypeDef Init;
  UART_AdvFeatureInitTypeDef AdvancedInit;
  volatile HAL_UART_StateTypeDef gState;
  volatile uint32_t ErrorCode;
} UART_HandleTypeDef;

#define UART_WORDLENGTH_8B 0x0U
#define UART_STOPBITS_1 0x0U
#define UART_PARITY_NONE 0x0U
#define UART_MODE_TX_RX 0xCU
#define UART_HWCONTROL_NONE 0x0U
#define UART_OVERSAMPLING_16 0x0U
#define UART_ONE_BIT_SAMPLE_DISABLE 0x0U
#define UART_PRESCALER_DIV1 0x0U
#define UART_ADVFEATURE_NO_INIT 0x0U
#define UART_FLAG_ORE 0x8U

HAL_StatusTypeDef HAL_UART_Init(UART_HandleTypeDef *huart);
HAL_StatusTypeDef HAL_UART_DeInit(UART_HandleTypeDef *huart);
HAL_StatusTypeDef HAL_UARTEx_DisableFifoMode(UART_HandleTypeDef *huart);
void HAL_UART_MspInit(UART_HandleTypeDef *huart);
void HAL_UART_MspDeInit(UART_HandleTypeDef *huart);
HAL_StatusTypeDef HAL_UART_Receive(UART_HandleTypeDef *huart, uint8_t *data, uint16_t size,
                                   uint32_t timeout);
HAL_StatusTypeDef HAL_UART_Transmit(UART_HandleTypeDef *huart, const uint8_t *data, uint16_t size,
                                    uint32_t timeout);
int fake_uart_get_flag(UART_HandleTypeDef *huart, uint32_t flag);
void fake_uart_clear_ore(UART_HandleTypeDef *huart);
#define __HAL_UART_GET_FLAG(h, f) fake_uart_get_flag((h), (f))
#define __HAL_UART_CLEAR_OREFLAG(h) fake_uart_clear_ore(h)

// ----------------------------------------------------------------- flash ---
typedef struct {
  uint32_t TypeErase;
  uint32_t Page;
  uint32_t NbPages;
} FLASH_EraseInitTypeDef;
#define FLASH_TYPEERASE_PAGES 0x2U
#define FLASH_TYPEPROGRAM_DOUBLEWORD 0x1U
#define FLASH_PAGE_SIZE 2048U
#define FLASH_FLAG_ALLERRORS 0xC3FAU
#define FLASH_LATENCY_2 0x2U
HAL_StatusTypeDef HAL_FLASH_Unlock(void);
HAL_StatusTypeDef HAL_FLASH_Lock(void);
HAL_StatusTypeDef HAL_FLASH_Program(uint32_t type, uint32_t address, uint64_t data);
HAL_StatusTypeDef HAL_FLASHEx_Erase(FLASH_EraseInitTypeDef *erase, uint32_t *page_error);
void fake_flash_clear_flags(uint32_t flags);
#define __HAL_FLASH_CLEAR_FLAG(f) fake_flash_clear_flags(f)

// ------------------------------------------------------- clocks and GPIO ---
typedef struct {
  uint32_t PLLState;
} RCC_PLLInitTypeDef;
typedef struct {
  uint32_t OscillatorType, HSEState, LSEState, HSIState, HSICalibrationValue, LSIState, MSIState,
      MSICalibrationValue, MSIClockRange;
  RCC_PLLInitTypeDef PLL;
} RCC_OscInitTypeDef;
typedef struct {
  uint32_t ClockType, SYSCLKSource, AHBCLKDivider, APB1CLKDivider, APB2CLKDivider, AHBCLK2Divider,
      AHBCLK3Divider;
} RCC_ClkInitTypeDef;
#define RCC_OSCILLATORTYPE_MSI 0x20U
#define RCC_MSI_ON 0x1U
#define RCC_MSICALIBRATION_DEFAULT 0x0U
#define RCC_MSIRANGE_11 0xB0U
#define RCC_PLL_NONE 0x0U
#define RCC_CLOCKTYPE_SYSCLK 0x1U
#define RCC_CLOCKTYPE_HCLK 0x2U
#define RCC_CLOCKTYPE_PCLK1 0x4U
#define RCC_CLOCKTYPE_PCLK2 0x8U
#define RCC_CLOCKTYPE_HCLK3 0x40U
#define RCC_SYSCLKSOURCE_MSI 0x0U
#define RCC_SYSCLK_DIV1 0x0U
#define RCC_HCLK_DIV1 0x0U
#define PWR_REGULATOR_VOLTAGE_SCALE1 0x200U
HAL_StatusTypeDef HAL_RCC_OscConfig(RCC_OscInitTypeDef *osc);
HAL_StatusTypeDef HAL_RCC_ClockConfig(RCC_ClkInitTypeDef *clk, uint32_t latency);
#define __HAL_PWR_VOLTAGESCALING_CONFIG(x) ((void)(x))
#define __HAL_RCC_GPIOA_CLK_ENABLE() ((void)0)
#define __HAL_RCC_USART2_CLK_ENABLE() ((void)0)
#define __HAL_RCC_USART2_CLK_DISABLE() ((void)0)
void fake_backup_reset(int force);
#define __HAL_RCC_BACKUPRESET_FORCE() fake_backup_reset(1)
#define __HAL_RCC_BACKUPRESET_RELEASE() fake_backup_reset(0)

typedef struct {
  uint32_t id;
} GPIO_TypeDef;
extern GPIO_TypeDef fake_gpioa;
#define GPIOA (&fake_gpioa)
typedef struct {
  uint32_t Pin, Mode, Pull, Speed, Alternate;
} GPIO_InitTypeDef;
#define GPIO_PIN_2 0x0004U
#define GPIO_PIN_3 0x0008U
#define GPIO_MODE_AF_PP 0x2U
#define GPIO_PULLUP 0x1U
#define GPIO_SPEED_FREQ_HIGH 0x2U
#define GPIO_AF7_USART2 0x7U
void HAL_GPIO_Init(GPIO_TypeDef *port, GPIO_InitTypeDef *init);
void HAL_GPIO_DeInit(GPIO_TypeDef *port, uint32_t pins);

// ------------------------------------------------------------ core, tick ---
HAL_StatusTypeDef HAL_Init(void);
HAL_StatusTypeDef HAL_DeInit(void);
uint32_t HAL_GetTick(void);
void HAL_IncTick(void);
void HAL_SuspendTick(void);
[[noreturn]] void NVIC_SystemReset(void);
// Loading the application area's initial stack pointer is the jump: the fake
// ends the boot there (fake::Jump), as the simulated chip starts the image.
void __set_MSP(uint32_t top_of_stack);
void __disable_irq(void);
void __WFI(void);
