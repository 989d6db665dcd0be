// Cortex-M4 core of the STM32WLE5 as the firmware sees it: interrupt numbers,
// PRIMASK, NVIC, the system control block, SysTick and the wait instructions.
// On the host these run on the simulated chip.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Peripheral registers are plain memory behind function calls on the host;
// interrupts only run inside those calls, so no volatile access is needed.
#define __IO
#define __I const
#define __O
#ifndef __weak
#define __weak __attribute__((weak))
#endif
#ifndef __STATIC_INLINE
#define __STATIC_INLINE static inline
#endif

// Interrupt numbers. Negative values are the core exceptions; the peripheral
// interrupts the firmware uses follow from 0.
typedef enum {
  NonMaskableInt_IRQn = -14,
  HardFault_IRQn = -13,
  MemoryManagement_IRQn = -12,
  BusFault_IRQn = -11,
  UsageFault_IRQn = -10,
  SVCall_IRQn = -5,
  DebugMonitor_IRQn = -4,
  PendSV_IRQn = -2,
  SysTick_IRQn = -1,

  WWDG_IRQn = 0,
  PVD_PVM_IRQn,
  TAMP_STAMP_LSECSS_SSRU_IRQn,
  RTC_WKUP_IRQn,
  FLASH_IRQn,
  RCC_IRQn,
  EXTI0_IRQn,
  EXTI1_IRQn,
  EXTI2_IRQn,
  EXTI3_IRQn,
  EXTI4_IRQn,
  DMA1_Channel1_IRQn,
  DMA1_Channel2_IRQn,
  DMA1_Channel3_IRQn,
  DMA1_Channel4_IRQn,
  DMA1_Channel5_IRQn,
  DMA1_Channel6_IRQn,
  DMA1_Channel7_IRQn,
  ADC_IRQn,
  EXTI9_5_IRQn,
  TIM1_CC_IRQn,
  TIM2_IRQn,
  I2C2_EV_IRQn,
  I2C2_ER_IRQn,
  SPI1_IRQn,
  USART1_IRQn,
  USART2_IRQn,
  LPUART1_IRQn,
  EXTI15_10_IRQn,
  RTC_Alarm_IRQn,
  SUBGHZSPI_IRQn,
  SUBGHZ_Radio_IRQn,
  AES_IRQn,
  RNG_IRQn,
  STM32_IRQ_COUNT  // number of peripheral interrupt vectors
} IRQn_Type;

// The image's vector table (defined by the firmware's start-up code): word 0
// the initial stack pointer, word 1 the reset handler, then the core
// exceptions and the STM32_IRQ_COUNT peripheral vectors.
typedef void (*stm32_vector_t)(void);
#define STM32_VECTOR_COUNT (16 + STM32_IRQ_COUNT)
extern "C" const stm32_vector_t g_vector_table[STM32_VECTOR_COUNT];

// Clock of the core after start-up (48 MHz from MSI range 11).
extern "C" uint32_t SystemCoreClock;

extern "C" {

// ---------------------------------------------------------------- PRIMASK --
uint32_t __get_PRIMASK(void);
void __set_PRIMASK(uint32_t primask);
void __disable_irq(void);
void __enable_irq(void);

// ------------------------------------------------------------- wait/hints --
// Wait for an interrupt: returns when an enabled interrupt is pending (it is
// taken at once unless PRIMASK masks it). Virtual time moves while waiting.
void __WFI(void);
void __WFE(void);
void __SEV(void);
void __NOP(void);
void __DSB(void);
void __ISB(void);
void __DMB(void);
// Breakpoint: with no debugger attached the core locks up and stops for good.
[[noreturn]] void __BKPT(uint32_t value);

// ------------------------------------------------------------------- IPSR --
// 0 in thread mode (the main line of control), non-zero while an interrupt
// handler runs. The simulated core does not number its exceptions: a handler
// reads 1 here, where the chip gives the exception's number.
uint32_t __get_IPSR(void);

// ------------------------------------------------------------ stack/reset --
uint32_t __get_MSP(void);
// Loads the main stack pointer. When it is loaded with the initial stack
// pointer of the application area just before a jump into that application,
// the simulated chip starts the application the area holds.
void __set_MSP(uint32_t top_of_main_stack);

// ------------------------------------------------------------------- NVIC --
void NVIC_EnableIRQ(IRQn_Type irqn);
void NVIC_DisableIRQ(IRQn_Type irqn);
uint32_t NVIC_GetEnableIRQ(IRQn_Type irqn);
void NVIC_SetPendingIRQ(IRQn_Type irqn);
void NVIC_ClearPendingIRQ(IRQn_Type irqn);
uint32_t NVIC_GetPendingIRQ(IRQn_Type irqn);
void NVIC_SetPriority(IRQn_Type irqn, uint32_t priority);
uint32_t NVIC_GetPriority(IRQn_Type irqn);
void NVIC_SetPriorityGrouping(uint32_t group);
uint32_t NVIC_GetPriorityGrouping(void);
// System reset request (keeps the priority grouping); does not return.
[[noreturn]] void NVIC_SystemReset(void);

// ---------------------------------------------------------------- SysTick --
// Programs the 24-bit SysTick for `ticks` core clocks per interrupt and
// enables it with its interrupt; 0 on success.
uint32_t SysTick_Config(uint32_t ticks);

void SystemInit(void);
void SystemCoreClockUpdate(void);

}  // extern "C"

// System control block: the vector table offset and the reset request.
typedef struct {
  __IO uint32_t CPUID;
  __IO uint32_t ICSR;
  __IO uint32_t VTOR;
  __IO uint32_t AIRCR;
  __IO uint32_t SCR;
  __IO uint32_t CCR;
} SCB_Type;
extern "C" SCB_Type stm32_scb;
#define SCB (&stm32_scb)

#define SCB_SCR_SLEEPDEEP_Msk (1UL << 2)

// SysTick registers: the firmware only switches its interrupt on and off
// (HAL_SuspendTick / HAL_ResumeTick).
#define SysTick_CTRL_ENABLE_Msk (1UL << 0)
#define SysTick_CTRL_TICKINT_Msk (1UL << 1)
#define SysTick_CTRL_CLKSOURCE_Msk (1UL << 2)
