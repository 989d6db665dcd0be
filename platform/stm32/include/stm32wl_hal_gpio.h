// GPIO ports A, B and C with the EXTI lines. The port register blocks lie
// 0x400 bytes apart, so GPIOA + n * 0x400 is port n. Output levels go to the
// simulated pins; input levels come from them; edges on pins configured as
// interrupt inputs set the line's pending bit and raise its EXTI interrupt.
#pragma once

#include "stm32wl_hal_def.h"

#define GPIO_PIN_0 ((uint16_t)0x0001)
#define GPIO_PIN_1 ((uint16_t)0x0002)
#define GPIO_PIN_2 ((uint16_t)0x0004)
#define GPIO_PIN_3 ((uint16_t)0x0008)
#define GPIO_PIN_4 ((uint16_t)0x0010)
#define GPIO_PIN_5 ((uint16_t)0x0020)
#define GPIO_PIN_6 ((uint16_t)0x0040)
#define GPIO_PIN_7 ((uint16_t)0x0080)
#define GPIO_PIN_8 ((uint16_t)0x0100)
#define GPIO_PIN_9 ((uint16_t)0x0200)
#define GPIO_PIN_10 ((uint16_t)0x0400)
#define GPIO_PIN_11 ((uint16_t)0x0800)
#define GPIO_PIN_12 ((uint16_t)0x1000)
#define GPIO_PIN_13 ((uint16_t)0x2000)
#define GPIO_PIN_14 ((uint16_t)0x4000)
#define GPIO_PIN_15 ((uint16_t)0x8000)
#define GPIO_PIN_All ((uint16_t)0xFFFF)

// Mode encoding: the low two bits are the port mode (input 0, output 1,
// alternate 2, analogue 3), bit 4 open drain, bit 16 EXTI interrupt, bits 20
// and 21 rising and falling edge.
#define GPIO_MODE_INPUT 0x00000000U
#define GPIO_MODE_OUTPUT_PP 0x00000001U
#define GPIO_MODE_OUTPUT_OD 0x00000011U
#define GPIO_MODE_AF_PP 0x00000002U
#define GPIO_MODE_AF_OD 0x00000012U
#define GPIO_MODE_ANALOG 0x00000003U
#define GPIO_MODE_IT_RISING 0x00110000U
#define GPIO_MODE_IT_FALLING 0x00210000U
#define GPIO_MODE_IT_RISING_FALLING 0x00310000U

#define GPIO_NOPULL 0x0U
#define GPIO_PULLUP 0x1U
#define GPIO_PULLDOWN 0x2U

#define GPIO_SPEED_FREQ_LOW 0x0U
#define GPIO_SPEED_FREQ_MEDIUM 0x1U
#define GPIO_SPEED_FREQ_HIGH 0x2U
#define GPIO_SPEED_FREQ_VERY_HIGH 0x3U

#define GPIO_AF1_TIM1 0x01U
#define GPIO_AF1_TIM2 0x01U
#define GPIO_AF4_I2C2 0x04U
#define GPIO_AF5_SPI1 0x05U
#define GPIO_AF7_USART1 0x07U
#define GPIO_AF7_USART2 0x07U
#define GPIO_AF8_LPUART1 0x08U

typedef enum { GPIO_PIN_RESET = 0U, GPIO_PIN_SET } GPIO_PinState;

typedef struct {
  uint32_t Pin;
  uint32_t Mode;
  uint32_t Pull;
  uint32_t Speed;
  uint32_t Alternate;
} GPIO_InitTypeDef;

// Input data register: reading it reads the pin levels.
struct stm32_gpio_idr {
  operator uint32_t() const;
};

typedef struct {
  __IO uint32_t MODER;
  __IO uint32_t OTYPER;
  __IO uint32_t OSPEEDR;
  __IO uint32_t PUPDR;
  stm32_gpio_idr IDR;
  __IO uint32_t ODR;
  __IO uint32_t AFR[2];
  uint8_t reserved_[0x400 - 8 * sizeof(uint32_t)];
} GPIO_TypeDef;
static_assert(sizeof(GPIO_TypeDef) == 0x400, "port register blocks are 0x400 apart");

extern "C" GPIO_TypeDef stm32_gpio_ports[3];
#define GPIOA (&stm32_gpio_ports[0])
#define GPIOB (&stm32_gpio_ports[1])
#define GPIOC (&stm32_gpio_ports[2])
#define GPIOA_BASE ((uintptr_t)GPIOA)
#define GPIOB_BASE ((uintptr_t)GPIOB)
#define GPIOC_BASE ((uintptr_t)GPIOC)

extern "C" {
void HAL_GPIO_Init(GPIO_TypeDef* port, GPIO_InitTypeDef* init);
void HAL_GPIO_DeInit(GPIO_TypeDef* port, uint32_t pins);
GPIO_PinState HAL_GPIO_ReadPin(GPIO_TypeDef* port, uint16_t pin);
void HAL_GPIO_WritePin(GPIO_TypeDef* port, uint16_t pin, GPIO_PinState state);
void HAL_GPIO_TogglePin(GPIO_TypeDef* port, uint16_t pin);
// Clears the line's pending bit and calls HAL_GPIO_EXTI_Callback when the
// line of `pin` is pending.
void HAL_GPIO_EXTI_IRQHandler(uint16_t pin);
void HAL_GPIO_EXTI_Callback(uint16_t pin);  // weak; the firmware overrides it

uint32_t stm32_exti_pending(uint32_t lines);
void stm32_exti_clear(uint32_t lines);
}

#define __HAL_GPIO_EXTI_GET_IT(pin) (stm32_exti_pending(pin) != 0U ? SET : RESET)
#define __HAL_GPIO_EXTI_GET_FLAG(pin) __HAL_GPIO_EXTI_GET_IT(pin)
#define __HAL_GPIO_EXTI_CLEAR_IT(pin) stm32_exti_clear(pin)
#define __HAL_GPIO_EXTI_CLEAR_FLAG(pin) stm32_exti_clear(pin)
