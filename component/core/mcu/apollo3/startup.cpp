// Reset path, vector table, kernel hooks, fault handling and the developer
// trace of the Apollo3 image, and the interrupt-aware kernel helpers every
// module of the port uses.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "apollo3_port.h"
#include "rtt.h"

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

// ------------------------------------------------------------- trace ------
void am_log_init(void) { RTT_ConfigUpBuffer(0, NULL, NULL, 0, RTT_MODE_NO_BLOCK_SKIP); }

const char *apollo3_base_name(const char *path) {
  const char *base = path;
  for (const char *p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') {
      base = p + 1;
    }
  }
  return base;
}

void rtt_log_general_print(int terminal, const char *color, const char *file, int line,
                           const char *format, ...) {
  (void)terminal;
  char text[256];
  int n = snprintf(text, sizeof text, "%s%s:%d\t\t", color, apollo3_base_name(file), line);
  if (n < 0) {
    return;
  }
  size_t used = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
  va_list ap;
  va_start(ap, format);
  int m = vsnprintf(text + used, sizeof text - used, format, ap);
  va_end(ap);
  if (m > 0) {
    used += static_cast<size_t>(m) < sizeof text - used ? static_cast<size_t>(m)
                                                        : sizeof text - used - 1;
  }
  RTT_Write(0, text, static_cast<unsigned>(used));
  RTT_Write(0, "\r\n", 2);
}

// ------------------------------------------------------ kernel helpers ----
bool isInISR(void) { return (SCB->ICSR & 0x1FFu) != 0; }

uint32_t apollo3_kernel_critical_begin(void) {
  if (isInISR()) {
    uint32_t saved = __get_BASEPRI();
    __set_BASEPRI(0x80);
    return saved;
  }
  taskENTER_CRITICAL();
  return 0;
}

void apollo3_kernel_critical_end(uint32_t saved) {
  if (isInISR()) {
    __set_BASEPRI(saved);
    return;
  }
  taskEXIT_CRITICAL();
}

BaseType_t apollo3_timer_restart(TimerHandle_t timer, TickType_t period) {
  if (timer == nullptr) {
    return pdFAIL;
  }
  if (period == 0) {
    period = 1;
  }
  if (isInISR()) {
    BaseType_t woken = pdFALSE;
    if (xTimerStopFromISR(timer, &woken) != pdPASS ||
        xTimerChangePeriodFromISR(timer, period, &woken) != pdPASS ||
        xTimerStartFromISR(timer, &woken) != pdPASS) {
      return pdFAIL;
    }
    portYIELD_FROM_ISR(woken);
    return pdPASS;
  }
  if (xTimerStop(timer, 100) != pdPASS || xTimerChangePeriod(timer, period, 100) != pdPASS ||
      xTimerStart(timer, 100) != pdPASS) {
    return pdFAIL;
  }
  return pdPASS;
}

BaseType_t apollo3_timer_stop(TimerHandle_t timer) {
  if (timer == nullptr) {
    return pdFAIL;
  }
  if (isInISR()) {
    BaseType_t woken = pdFALSE;
    BaseType_t r = xTimerStopFromISR(timer, &woken);
    portYIELD_FROM_ISR(woken);
    return r;
  }
  return xTimerStop(timer, 100);
}

void apollo3_give(SemaphoreHandle_t sem) {
  if (sem == nullptr) {
    return;
  }
  if (isInISR()) {
    BaseType_t woken = pdFALSE;
    xQueueGiveFromISR(sem, &woken);
    portYIELD_FROM_ISR(woken);
    return;
  }
  xSemaphoreGive(sem);
}
