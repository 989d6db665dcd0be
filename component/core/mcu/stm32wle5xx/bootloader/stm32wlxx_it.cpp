// Exception handlers of the bootloader.
#include "bootloader.h"

void SysTick_Handler(void) {
  HAL_IncTick();
  upgrade_process_callback(HAL_GetTick());
}

// Every peripheral and the backup domain go through their reset, then the
// MCU restarts.
void NMI_Handler(void) {
  HAL_DeInit();
  __HAL_RCC_BACKUPRESET_FORCE();
  __HAL_RCC_BACKUPRESET_RELEASE();
  NVIC_SystemReset();
}

// No recovery is possible from a fault in the bootloader: restart, which
// leads back through the start-up decision.
void HardFault_Handler(void) { NVIC_SystemReset(); }

void MemManage_Handler(void) { NVIC_SystemReset(); }

void BusFault_Handler(void) { NVIC_SystemReset(); }

void UsageFault_Handler(void) { NVIC_SystemReset(); }
