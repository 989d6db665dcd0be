// The few low-layer register operations the firmware uses.
#pragma once

#include "stm32wl_hal_def.h"
#include "stm32wl_hal_rtc.h"

#define LL_EXTI_LINE_26 (1UL << 26)  // USART1 wake-up
#define LL_EXTI_LINE_27 (1UL << 27)  // USART2 wake-up
#define LL_EXTI_LINE_28 (1UL << 28)  // LPUART1 wake-up

extern "C" {
// Unmasks the given interrupt lines 0 to 31 of the EXTI controller.
void LL_EXTI_EnableIT_0_31(uint32_t lines);
void LL_EXTI_DisableIT_0_31(uint32_t lines);
uint32_t LL_EXTI_IsEnabledIT_0_31(uint32_t lines);
// Clears the CPU1 stop and standby flags of the power controller.
void LL_PWR_ClearFlag_C1STOP_C1STB(void);
// The RTC sub-second register (SSR).
uint32_t LL_RTC_TIME_GetSubSecond(RTC_TypeDef* rtc);
}
