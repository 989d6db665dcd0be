// Reset path, vector table and fault handlers of the STM32WLE5 application
// images.
#include "stm32wle5xx_port.h"

int main(void);

extern "C" {

void NMI_Handler(void);
void HardFault_Handler(void);
void MemManage_Handler(void);
void BusFault_Handler(void);
void UsageFault_Handler(void);
void SVC_Handler(void);
void DebugMon_Handler(void);
void Default_Handler(void);

// Vector table at the start of the application area.
const stm32_vector_t g_vector_table[STM32_VECTOR_COUNT] = {
    reinterpret_cast<stm32_vector_t>(QIV_APP_INITIAL_SP), Reset_Handler, NMI_Handler,
    HardFault_Handler, MemManage_Handler, BusFault_Handler, UsageFault_Handler, nullptr, nullptr,
    nullptr, nullptr, SVC_Handler, DebugMon_Handler, nullptr,
    SysTick_Handler,  // PendSV
    SysTick_Handler,
    // Peripheral interrupts, in IRQn order.
    Default_Handler,                    // WWDG
    Default_Handler,                    // PVD_PVM
    TAMP_STAMP_LSECSS_SSRU_IRQHandler,  // TAMP_STAMP_LSECSS_SSRU
    Default_Handler,                    // RTC_WKUP
    Default_Handler,                    // FLASH
    Default_Handler,                    // RCC
    EXTI0_IRQHandler, EXTI1_IRQHandler, EXTI2_IRQHandler, EXTI3_IRQHandler, EXTI4_IRQHandler,
    DMA1_Channel1_IRQHandler, DMA1_Channel2_IRQHandler, DMA1_Channel3_IRQHandler,
    DMA1_Channel4_IRQHandler,
    Default_Handler,  // DMA1_Channel5
    Default_Handler,  // DMA1_Channel6
    Default_Handler,  // DMA1_Channel7
    Default_Handler,  // ADC
    EXTI9_5_IRQHandler,
    Default_Handler,  // TIM1_CC
    Default_Handler,  // TIM2
    I2C2_EV_IRQHandler, I2C2_ER_IRQHandler,
    Default_Handler,  // SPI1
    USART1_IRQHandler, USART2_IRQHandler, LPUART1_IRQHandler, EXTI15_10_IRQHandler,
    RTC_Alarm_IRQHandler,
    Default_Handler,  // SUBGHZSPI
    SUBGHZ_Radio_IRQHandler, AES_IRQHandler,
    Default_Handler,  // RNG
};

// The reset handler. The core has loaded the stack pointer from the table.
// On the host the program loader has already initialised the data and
// cleared the zero-initialised area, and the C++ runtime has run the static
// constructors (which build the user API objects) before the firmware starts.
void Reset_Handler(void) {
  SystemInit();
  main();
  for (;;) {
    __WFI();
  }
}

}  // extern "C"

static_assert(sizeof(g_vector_table) / sizeof(g_vector_table[0]) == STM32_VECTOR_COUNT);

// ------------------------------------------------------ fault handlers -----
namespace {

// Every peripheral through its reset, then the backup domain (the RTC and
// its registers).
void reset_peripherals_and_backup_domain(void) {
  RCC->APB1RSTR1 = 0xFFFFFFFFU;
  RCC->APB1RSTR1 = 0;
  RCC->APB1RSTR2 = 0xFFFFFFFFU;
  RCC->APB1RSTR2 = 0;
  RCC->APB2RSTR = 0xFFFFFFFFU;
  RCC->APB2RSTR = 0;
  RCC->APB3RSTR = 0xFFFFFFFFU;
  RCC->APB3RSTR = 0;
  RCC->AHB1RSTR = 0xFFFFFFFFU;
  RCC->AHB1RSTR = 0;
  RCC->AHB2RSTR = 0xFFFFFFFFU;
  RCC->AHB2RSTR = 0;
  RCC->AHB3RSTR = 0xFFFFFFFFU;
  RCC->AHB3RSTR = 0;
  RCC->APB3RSTR = RCC_APB3RSTR_SUBGHZSPIRST;
  RCC->APB3RSTR = 0;
  __HAL_RCC_BACKUPRESET_FORCE();
  __HAL_RCC_BACKUPRESET_RELEASE();
}

[[noreturn]] void halt(void) {
  __disable_irq();
  for (;;) {
    __BKPT(0);
  }
}

}  // namespace

extern "C" {

void NMI_Handler(void) {
  reset_peripherals_and_backup_domain();
  NVIC_SystemReset();
}

// The hard fault halts (no reset), so that the state can be inspected.
void HardFault_Handler(void) {
  reset_peripherals_and_backup_domain();
  halt();
}

void Default_Handler(void) { HardFault_Handler(); }

void MemManage_Handler(void) { halt(); }

void BusFault_Handler(void) { halt(); }

void UsageFault_Handler(void) { halt(); }

void SVC_Handler(void) {}

void DebugMon_Handler(void) {}

void SysTick_Handler(void) { HAL_IncTick(); }

}  // extern "C"
