// Cortex-M4F core of the simulated Apollo3: interrupt numbers, the system
// control block, PRIMASK/BASEPRI, the NVIC and the wait/barrier intrinsics.
// Included through am_mcu_apollo.h.
//
// Priorities are the NVIC priority byte (three implemented bits at the top:
// 0x00, 0x20, ... 0xE0); a lower value pre-empts a higher one. BASEPRI masks
// every interrupt whose priority value is at or above it (0: no masking).
#pragma once

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

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
  BROWNOUT_IRQn = 0,
  WDT_IRQn = 1,
  RTC_IRQn = 2,
  VCOMP_IRQn = 3,
  IOSLAVE_IRQn = 4,
  IOSLAVEACC_IRQn = 5,
  IOMSTR0_IRQn = 6,
  IOMSTR1_IRQn = 7,
  IOMSTR2_IRQn = 8,
  IOMSTR3_IRQn = 9,
  IOMSTR4_IRQn = 10,
  IOMSTR5_IRQn = 11,
  BLE_IRQn = 12,
  GPIO_IRQn = 13,
  CTIMER_IRQn = 14,
  UART0_IRQn = 15,
  UART1_IRQn = 16,
  SCARD_IRQn = 17,
  ADC_IRQn = 18,
  PDM_IRQn = 19,
  MSPI0_IRQn = 20,
  SOFTWARE0_IRQn = 21,
  STIMER_IRQn = 22,
  STIMER_CMPR0_IRQn = 23,
  STIMER_CMPR1_IRQn = 24,
  STIMER_CMPR2_IRQn = 25,
  STIMER_CMPR3_IRQn = 26,
  STIMER_CMPR4_IRQn = 27,
  STIMER_CMPR5_IRQn = 28,
  STIMER_CMPR6_IRQn = 29,
  STIMER_CMPR7_IRQn = 30,
  CLKGEN_IRQn = 31,
} IRQn_Type;

#define AM3_IRQ_COUNT 32
#define AM3_VECTOR_COUNT 48  // 16 core entries, then IRQ 0 to 31

// ------------------------------------------------------------------- SCB --
// ICSR: VECTACTIVE (bits 0-8) is the exception number that runs (16 + IRQ for
// an interrupt, 0 in thread mode); the simulated core keeps it current.
// VTOR, CPACR and AIRCR are plain registers (recorded; no effect). Not
// volatile here, so that `SCB->CPACR |= ...` compiles as C++20.
typedef struct {
  uint32_t CPUID;
  uint32_t ICSR;
  uint32_t VTOR;
  uint32_t AIRCR;
  uint32_t SCR;
  uint32_t CCR;
  uint32_t CPACR;
} SCB_Type;
extern SCB_Type am3_scb;
#define SCB (&am3_scb)
#define SCB_ICSR_VECTACTIVE_Msk 0x1FFu
#define SCB_ICSR_PENDSVSET_Msk (1u << 28)
#define SCB_SCR_SLEEPDEEP_Msk (1u << 2)

// --------------------------------------------------------- masks, waits --
uint32_t __get_PRIMASK(void);
void __set_PRIMASK(uint32_t primask);
void __disable_irq(void);
void __enable_irq(void);
uint32_t __get_BASEPRI(void);
void __set_BASEPRI(uint32_t basepri);
// Raises BASEPRI only (never lowers it), as the core's BASEPRI_MAX does.
void __set_BASEPRI_MAX(uint32_t basepri);

// Wait for an interrupt: virtual time moves to the next event.
void __WFI(void);
void __WFE(void);
void __SEV(void);
void __NOP(void);
void __DSB(void);
void __ISB(void);
void __DMB(void);
// A breakpoint: on the host the device stops visibly (log line, core halted).
void __BKPT(uint32_t value);
uint32_t __get_MSP(void);
void __set_MSP(uint32_t top_of_main_stack);

// ------------------------------------------------------------------ NVIC --
void NVIC_EnableIRQ(IRQn_Type irqn);
void NVIC_DisableIRQ(IRQn_Type irqn);
uint32_t NVIC_GetEnableIRQ(IRQn_Type irqn);
void NVIC_SetPendingIRQ(IRQn_Type irqn);
void NVIC_ClearPendingIRQ(IRQn_Type irqn);
uint32_t NVIC_GetPendingIRQ(IRQn_Type irqn);
// `priority` is the level 0-7 (the byte's top three bits), as CMSIS takes it.
void NVIC_SetPriority(IRQn_Type irqn, uint32_t priority);
uint32_t NVIC_GetPriority(IRQn_Type irqn);
void NVIC_SetPriorityGrouping(uint32_t group);
uint32_t NVIC_GetPriorityGrouping(void);
// Restarts the device (flash, retained state and time kept); no return.
void NVIC_SystemReset(void) __attribute__((noreturn));

#define __NVIC_PRIO_BITS 3

// A vector table entry.
typedef void (*am_vector_t)(void);
// The application's vector table: entry 0 the initial stack pointer (cast),
// entry 1 the reset handler, 2-15 the core's exceptions, 16-47 IRQ 0-31.
// program_start installs entries 16-47 as the interrupt handlers and runs
// entry 1.
extern am_vector_t const g_am_pfnVectors[AM3_VECTOR_COUNT];

#ifdef __cplusplus
}
#endif
