// Reset path, vector table, kernel hooks and fault handling of the Apollo3
// image.
#include "apollo3_port.h"

int main(void);

extern "C" {

// The start-up stack; the core loads the stack pointer from entry 0.
uint32_t g_pui32Stack[APOLLO3_STARTUP_STACK_WORDS];

void (*const g_am_pfnVectors[APOLLO3_VECTOR_COUNT])(void) = {
    reinterpret_cast<void (*)(void)>(&g_pui32Stack[APOLLO3_STARTUP_STACK_WORDS]), Reset_Handler,
    NMI_Handler, HardFault_Handler,
    BusFault_Handler,  // memory management
    BusFault_Handler,  // bus fault
    BusFault_Handler,  // usage fault
    nullptr, nullptr, nullptr, nullptr,
    am_default_isr,  // SVCall: the kernel's
    am_default_isr,  // debug monitor
    nullptr,
    am_default_isr,  // PendSV: the kernel's
    am_default_isr,  // SysTick: the kernel's
    // Interrupts 0 to 31.
    am_default_isr,    // 0 BROWNOUT
    am_default_isr,    // 1 WDT
    am_default_isr,    // 2 RTC
    am_default_isr,    // 3 VCOMP
    am_default_isr,    // 4 IOSLAVE
    am_default_isr,    // 5 IOSLAVE ACC
    am_default_isr,    // 6 IOM0
    am_default_isr,    // 7 IOM1
    am_iomaster2_isr,  // 8 IOM2
    am_default_isr,    // 9 IOM3
    am_default_isr,    // 10 IOM4
    am_default_isr,    // 11 IOM5
    am_ble_isr,        // 12 BLE
    am_gpio_isr,       // 13 GPIO
    am_ctimer_isr,     // 14 CTIMER
    am_uart_isr,       // 15 UART0
    am_uart1_isr,      // 16 UART1
    am_default_isr,    // 17 SCARD
    am_adc_isr,        // 18 ADC
    am_default_isr,    // 19 PDM
    am_default_isr,    // 20 MSPI
    am_default_isr,    // 21 reserved
    am_stimer_isr,     // 22 STIMER overflow
    am_default_isr,    // 23 STIMER compare 0: the kernel tick
    am_default_isr,    // 24 STIMER compare 1
    am_default_isr,    // 25 STIMER compare 2
    am_default_isr,    // 26 STIMER compare 3
    am_default_isr,    // 27 STIMER compare 4
    am_default_isr,    // 28 STIMER compare 5
    am_default_isr,    // 29 STIMER compare 6
    am_default_isr,    // 30 STIMER compare 7
    am_default_isr,    // 31 CLKGEN
};

// The reset handler. On the host the program loader has already copied the
// initialised data and cleared the zero-initialised area, and the C++
// runtime has run the static constructors (which build the user API
// objects); the firmware starts here.
void Reset_Handler(void) {
  SCB->VTOR = APOLLO3_APP_ADDR;
  // Full access to coprocessors 10 and 11: the FPU.
  SCB->CPACR |= (0xFu << 20);
  __DSB();
  __ISB();
  main();
  for (;;) {
    __BKPT(0);
  }
}

// The hard fault resets the MCU.
void HardFault_Handler(void) { NVIC_SystemReset(); }

void NMI_Handler(void) {
  for (;;) {
    __BKPT(0);
  }
}

void BusFault_Handler(void) {
  for (;;) {
    __BKPT(0);
  }
}

void am_default_isr(void) {
  for (;;) {
    __BKPT(0);
  }
}

// Tickless idle: the core sleeps deeply here; returning 0 tells the kernel
// that it has nothing left to wait itself.
uint32_t am_freertos_sleep(uint32_t idle_ticks) {
  (void)idle_ticks;
  am_hal_sysctrl_sleep(AM_HAL_SYSCTRL_SLEEP_DEEP);
  return 0;
}

void am_freertos_wakeup(uint32_t idle_ticks) { (void)idle_ticks; }

void vApplicationStackOverflowHook(TaskHandle_t task, char *name) {
  (void)task;
  (void)name;
  for (;;) {
    __BKPT(0);
  }
}

void vApplicationMallocFailedHook(void) {
  for (;;) {
    __BKPT(0);
  }
}

}  // extern "C"

static_assert(sizeof(g_am_pfnVectors) / sizeof(g_am_pfnVectors[0]) == 48);

// ------------------------------------------------------------ faults ------
void error_fault_handler(const apollo3_fault_t *fault) {
  (void)fault;
  NVIC_SystemReset();
  for (;;) {
  }
}

void assert_callback(uint32_t line_num, const char *file_name, uint32_t err_code) {
  static apollo3_fault_t fault;
  fault.line = line_num;
  fault.file = file_name;
  fault.code = err_code;
  rtt_log_general_print(0, APOLLO3_COLOR_ERROR, file_name, static_cast<int>(line_num),
                        "assert 0x%08lx", static_cast<unsigned long>(err_code));
  error_fault_handler(&fault);
}
