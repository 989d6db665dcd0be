// The Apollo3 port: what its files share (start-up, fault handling, the
// interrupt-aware kernel calls, power save flags, the peripheral classes'
// suspend and resume). Neutral code sees only the driver layer's contract.
#pragma once

#include <stdint.h>

#include "FreeRTOS.h"
#include "apollo3_arith.h"
#include "am_mcu_apollo.h"
#include "queue.h"
#include "semphr.h"
#include "task.h"
#include "timers.h"
#include "udrv_errno.h"
#include "udrv_adc.h"
#include "udrv_gpio.h"
#include "udrv_pwm.h"
#include "udrv_rtc.h"
#include "udrv_serial.h"
#include "udrv_system.h"

// ---------------------------------------------------------------- start-up --
// The application area behind the external bootloader: the vector table's
// place and the start address of serial updates.
#define APOLLO3_APP_ADDR 0x14000u
// Words of the start-up stack (entry 0 of the vector table is its top).
#define APOLLO3_STARTUP_STACK_WORDS 2752
#define APOLLO3_VECTOR_COUNT 48

extern "C" {
extern void (*const g_am_pfnVectors[APOLLO3_VECTOR_COUNT])(void);
void Reset_Handler(void);
void NMI_Handler(void);
void HardFault_Handler(void);
void BusFault_Handler(void);
void am_default_isr(void);
// Interrupt handlers of the port.
void am_iomaster2_isr(void);
void am_ble_isr(void);
void am_gpio_isr(void);
void am_ctimer_isr(void);
void am_uart_isr(void);
void am_uart1_isr(void);
void am_adc_isr(void);
void am_stimer_isr(void);
// Kernel hooks.
uint32_t am_freertos_sleep(uint32_t idle_ticks);
void am_freertos_wakeup(uint32_t idle_ticks);
void vApplicationStackOverflowHook(TaskHandle_t task, char *name);
void vApplicationMallocFailedHook(void);
}

// A vendor-HAL status the port checks was not success: the line, the source
// file and the status go to the error-fault handler, which resets the MCU.
typedef struct {
  uint32_t line;
  const char *file;
  uint32_t code;
} apollo3_fault_t;
[[noreturn]] void assert_callback(uint32_t line_num, const char *file_name, uint32_t err_code);
[[noreturn]] void error_fault_handler(const apollo3_fault_t *fault);
#define APOLLO3_CHECK(call)                                 \
  do {                                                      \
    uint32_t apollo3_status_ = (uint32_t)(call);            \
    if (apollo3_status_ != 0) {                             \
      assert_callback(__LINE__, __FILE__, apollo3_status_); \
    }                                                       \
  } while (0)

// The developer trace on RTT channel 0.
void am_log_init(void);
void rtt_log_general_print(int terminal, const char *color, const char *file, int line,
                           const char *format, ...) __attribute__((format(printf, 5, 6)));
#define APOLLO3_COLOR_ERROR "\x1b[1;31m"
#define APOLLO3_COLOR_WARNING "\x1b[1;33m"
#define APOLLO3_COLOR_INFO "\x1b[1;37m"
#define APOLLO3_TRACE(...) \
  rtt_log_general_print(0, APOLLO3_COLOR_INFO, __FILE__, __LINE__, __VA_ARGS__)
// The text after the last '/' or '\\' of a source path.
const char *apollo3_base_name(const char *path);

// True in an exception handler (the active exception number is not 0).
bool isInISR(void);

// The kernel's critical section from a task, or BASEPRI raised to level 4
// from an interrupt; the saved BASEPRI comes back from begin.
uint32_t apollo3_kernel_critical_begin(void);
void apollo3_kernel_critical_end(uint32_t saved);

// Kernel software timer commands, task or interrupt side (100-tick waits
// from a task): restart with a new period, stop. pdPASS or pdFAIL.
BaseType_t apollo3_timer_restart(TimerHandle_t timer, TickType_t period);
BaseType_t apollo3_timer_stop(TimerHandle_t timer);

// Semaphore give from a task or an interrupt.
void apollo3_give(SemaphoreHandle_t sem);

// ------------------------------------------------------------- start-up ----
void qiv_init(void);
void loop_task(void *arg);
void print_work_mode(void);

// ------------------------------------------------------------ power save ---
// Set while the loop task is blocked in the port's sleep.
extern volatile bool is_mcu_sleeping;
// Set while the peripherals are resumed by the temporary resume.
extern volatile bool is_mcu_resumed;
// The serial wake-up window is open.
extern volatile bool rx_wait_active;

void uhal_mcu_sleep(uint8_t level);
void uhal_ble_apollo3_wait_ble_core(void);
void uhal_mcu_wake_up(void);
bool uhal_mcu_sleep_status(void);
void uhal_mcu_consume_event(void);
void uhal_mcu_resume(void);
void uhal_mcu_suspend(void);
void uhal_mcu_set_rx_interrupt(void);
void uhal_mcu_clear_rx_interrupt(void);
int32_t uhal_uart_wait_timer_start(uint32_t count);
// Runs the system event queue in a port task while the loop task sleeps:
// temporary resume, drain, temporary suspend. One drainer at a time.
void apollo3_drain_while_sleeping(void);
// The drain lock shared by the loop task and every port task that drains
// the queue (taken around each drain).
void apollo3_drain_lock(void);
void apollo3_drain_unlock(void);
// The same lock taken by the loop task around its drain step.
void apollo3_loop_drain_lock(void);
void apollo3_loop_drain_unlock(void);

// ----------------------------------------------------------------- UART ----
typedef struct {
  bool active;
  uint32_t baudrate;
  bool resumed;
} uhal_uart_status_t;
extern uhal_uart_status_t uhal_uart_status[2];
int32_t uhal_uart_write_buffer(SERIAL_PORT port, uint8_t const *buffer, uint32_t length,
                               uint32_t timeout);
void uart_take_sem(SERIAL_PORT port);
void uart_give_sem(SERIAL_PORT port);

// ----------------------------------------------------------------- GPIO ----
#define APOLLO3_PAD_COUNT 50
typedef struct {
  uint32_t gpio;  // the pad's configuration word
  bool wakeup_source;
} uhal_gpio_status_t;
extern uhal_gpio_status_t uhal_gpio_status[APOLLO3_PAD_COUNT];
extern uint8_t uhal_gpio_wakeup_mode;
void uhal_gpio_intc_clear(uint32_t pin);
void uhal_gpio_pin_suspend(uint32_t pin);
// Pad words: parked (GPIO function, all off) and open-drain output.
#define APOLLO3_PAD_PARKED 0x3u
#define APOLLO3_PAD_OPEN_DRAIN_OUT 0x803u

// ------------------------------------------------------------------- ADC ---
int32_t uhal_adc_set_resolution_any(uint8_t resolution);
void uhal_adc_set_mode(uint8_t mode);

// ------------------------------------------------------------------- PWM ---
extern uhal_pwm_status_t uhal_pwm_status[UDRV_PWM_MAX];
extern UDRV_PWM_RESOLUTION pwm_resolution;
// Sets the port's duty: 0 drives its pad low, the whole period of the
// resolution drives it high, anything between runs a PWM. 0; -3 for a
// duty above the period (or no such port); -7 for an unknown resolution or
// a pad no usable timer segment drives.
int32_t uhal_pwm_set_duty(udrv_pwm_port port, uint32_t duty);

// ------------------------------------------------------------------- RTC ---
// The counter wrap: the STIMER counts 2^32 ticks of 1/32768 s.
extern volatile uint64_t apollo3_time_base;     // ms
extern volatile uint64_t apollo3_counter_base;  // ticks
uint32_t uhal_rtc_get_counter_calculation_overflow(RtcID_E timer_id);
uint32_t uhal_rtc_get_max_ticks(void);
