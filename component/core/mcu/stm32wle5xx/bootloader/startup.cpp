// Start-up of the bootloader image: its vector table and reset handler.
#include <string.h>

#include "bootloader.h"

extern "C" void Reset_Handler(void);
int main(void);

// A fault or interrupt without a handler of its own ends in a restart.
static void Default_Handler(void) { NVIC_SystemReset(); }

extern "C" const stm32_vector_t g_vector_table[STM32_VECTOR_COUNT] = {
    reinterpret_cast<stm32_vector_t>(static_cast<uintptr_t>(BOOT_STACK_TOP)),
    Reset_Handler,
    NMI_Handler,
    HardFault_Handler,
    MemManage_Handler,
    BusFault_Handler,
    UsageFault_Handler,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    Default_Handler,  // SVCall
    Default_Handler,  // DebugMonitor
    nullptr,
    Default_Handler,  // PendSV
    SysTick_Handler,
    // The peripheral interrupts follow; the bootloader enables none.
};

// The constants the bootloader keeps in its own flash, where the
// applications read them: the version record at BOOT_VERSION_ADDR. The
// programmer writes them with the code on the module; this program carries
// them and puts them in place when the chip's flash does not hold them yet.
static void place_flash_constants(void) {
  const uint8_t *in_flash = (const uint8_t *)BOOT_VERSION_ADDR;
  if (memcmp(in_flash, BOOT_VERSION, BOOT_VERSION_SIZE) == 0) {
    return;
  }
  HAL_FLASH_Unlock();
  bool erased = true;
  for (uint32_t i = 0U; i < BOOT_VERSION_SIZE; i++) {
    if (in_flash[i] != 0xFFU) erased = false;
  }
  if (!erased) {
    FLASH_EraseInitTypeDef erase;
    uint32_t page_error = 0U;
    erase.TypeErase = FLASH_TYPEERASE_PAGES;
    erase.Page = GetPage(BOOT_VERSION_ADDR);
    erase.NbPages = 1U;
    (void)HAL_FLASHEx_Erase(&erase, &page_error);
  }
  for (uint32_t i = 0U; i < BOOT_VERSION_SIZE; i += 8U) {
    uint64_t data;
    memcpy(&data, &BOOT_VERSION[i], sizeof(data));
    (void)HAL_FLASH_Program(FLASH_TYPEPROGRAM_DOUBLEWORD, BOOT_VERSION_ADDR + i, data);
  }
  HAL_FLASH_Lock();
}

extern "C" void Reset_Handler(void) {
  // The stack pointer comes from the vector table; initialised data and
  // zeroed data are in place when the host program starts.
  place_flash_constants();
  (void)main();
}
