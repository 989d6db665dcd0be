// Peripheral interrupt handlers of the STM32WLE5 application images.
#include "stm32wle5xx_port.h"

extern "C" {

// -------------------------------------------------- peripheral handlers ----
void RTC_Alarm_IRQHandler(void) { HAL_RTC_AlarmIRQHandler(&hrtc); }

void TAMP_STAMP_LSECSS_SSRU_IRQHandler(void) { HAL_RTCEx_SSRUIRQHandler(&hrtc); }

void DMA1_Channel1_IRQHandler(void) { HAL_DMA_IRQHandler(&hdma_lpuart1_rx); }

void DMA1_Channel4_IRQHandler(void) { HAL_DMA_IRQHandler(&hdma_usart1_rx); }

static void uart_irq(UART_HandleTypeDef *huart) {
  HAL_UART_IRQHandler(huart);
  if (__HAL_UART_GET_FLAG(huart, UART_FLAG_IDLE)) {
    __HAL_UART_CLEAR_IDLEFLAG(huart);
    USAR_UART_IDLECallback(huart);
  }
}

void USART1_IRQHandler(void) { uart_irq(&huart1); }

void LPUART1_IRQHandler(void) { uart_irq(&hlpuart1); }

void USART2_IRQHandler(void) {}

void EXTI0_IRQHandler(void) { HAL_GPIO_EXTI_IRQHandler(GPIO_PIN_0); }

void EXTI1_IRQHandler(void) { HAL_GPIO_EXTI_IRQHandler(GPIO_PIN_1); }

void EXTI2_IRQHandler(void) { HAL_GPIO_EXTI_IRQHandler(GPIO_PIN_2); }

void EXTI3_IRQHandler(void) { HAL_GPIO_EXTI_IRQHandler(GPIO_PIN_3); }

void EXTI4_IRQHandler(void) { HAL_GPIO_EXTI_IRQHandler(GPIO_PIN_4); }

// A shared vector serves its lowest pending line; the others raise it again.
static void exti_lowest(unsigned first, unsigned last) {
  for (unsigned line = first; line <= last; ++line) {
    uint16_t pin = static_cast<uint16_t>(1U << line);
    if (__HAL_GPIO_EXTI_GET_IT(pin) != RESET) {
      HAL_GPIO_EXTI_IRQHandler(pin);
      return;
    }
  }
}

void EXTI9_5_IRQHandler(void) { exti_lowest(5, 9); }

void EXTI15_10_IRQHandler(void) { exti_lowest(10, 15); }

// Handlers of the radio, the AES unit, the I2C and the SPI DMA channels come
// with their drivers; without one the vector has nothing to serve.
__attribute__((weak)) void SUBGHZ_Radio_IRQHandler(void) {}

__attribute__((weak)) void AES_IRQHandler(void) {}

__attribute__((weak)) void I2C2_EV_IRQHandler(void) {}

__attribute__((weak)) void I2C2_ER_IRQHandler(void) {}

__attribute__((weak)) void DMA1_Channel2_IRQHandler(void) {}

__attribute__((weak)) void DMA1_Channel3_IRQHandler(void) {}

}  // extern "C"
