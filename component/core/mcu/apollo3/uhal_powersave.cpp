// Power save, RTC and timers of the Apollo3 image, all on the 32768 Hz
// crystal and the kernel's software timers:
// - the loop task's sleep on a semaphore (the kernel's tickless idle puts
//   the core into deep sleep), the power-save timer, the UART RX-pin wake
//   with "WAKE_UP\r\n" and the 10 s wait window with "SLEEP\r\n", and the
//   draining of the system event queue by port tasks while the loop sleeps;
// - the RTC the timer list runs on: the STIMER counter, the CTIMER 3 alarm,
//   the RTC task and the 64-bit time base across counter wraps;
// - five user and five system timers on kernel software timers.
#include <initializer_list>

#include "apollo3_port.h"
#include "service_nvm.h"
#include "qiv_runtime.h"
#include "udrv_powersave.h"
#include "udrv_pwm.h"
#include "udrv_spimst.h"
#include "udrv_timer.h"
#include "udrv_twimst.h"

volatile bool is_mcu_sleeping;
volatile bool is_mcu_resumed;
volatile bool rx_wait_active;

namespace {

// ------------------------------------------------------------ power save --
SemaphoreHandle_t ps_semaphore;
SemaphoreHandle_t ps_counting_semaphore;
// Tasks blocked on ps_semaphore.
uint32_t sleepers;
TaskHandle_t consume_task;
SemaphoreHandle_t drain_mutex;
// The loop task is inside its drain step.
volatile bool loop_drains;

TimerHandle_t ps_timer;
timer_handler ps_timer_handler;
TimerHandle_t uart_wait_timer;

void consume_event_task_handler(void *) {
  for (;;) {
    xSemaphoreTake(ps_counting_semaphore, portMAX_DELAY);
    apollo3_drain_while_sleeping();
  }
}

void ps_timer_timeout_handler(TimerHandle_t) {
  uhal_mcu_wake_up();
  if (ps_timer_handler != nullptr) {
    ps_timer_handler(nullptr);
  }
}

void uart_wait_timer_timeout_handler(TimerHandle_t) {
  bool print = false;
  uint32_t saved = apollo3_kernel_critical_begin();
  if (service_nvm_get_auto_sleep_time_from_nvm() == 0 && no_busy_loop) {
    rx_wait_active = false;
  } else if (udrv_powersave_wake_lock_count() != 0) {
    rx_wait_active = false;
  } else {
    print = true;
  }
  apollo3_kernel_critical_end(saved);
  if (print) {
    uhal_mcu_clear_rx_interrupt();
    static const uint8_t kSleep[] = "SLEEP\r\n";
    serial_uart_driver.SERIAL_WRITE(SERIAL_UART0, kSleep, 7, 0);
    serial_uart_driver.SERIAL_WRITE(SERIAL_UART1, kSleep, 7, 0);
  }
}

// The wake routine of a UART's RX pin, run in the GPIO task.
void rx_pin_wake(int uart) {
  APOLLO3_TRACE("UART%d RX interrupt...", uart);
  uhal_mcu_clear_rx_interrupt();
  if (is_mcu_sleeping) {
    APOLLO3_TRACE("Resume System");
    uhal_mcu_wake_up();
    uhal_uart_resume();
    static const uint8_t kWake[] = "WAKE_UP\r\n";
    serial_uart_driver.SERIAL_WRITE(SERIAL_UART0, kWake, 9, 0);
    serial_uart_driver.SERIAL_WRITE(SERIAL_UART1, kWake, 9, 0);
    uhal_uart_suspend();
  }
  if (no_busy_loop) {
    uhal_uart_wait_timer_start(10000);
  } else {
    rx_wait_active = true;
  }
}

void uart0_rx_interrupt_handler(uint32_t) { rx_pin_wake(0); }
void uart1_rx_interrupt_handler(uint32_t) { rx_pin_wake(1); }

void mcu_sleep(uint8_t level) { uhal_mcu_sleep(level); }
void clock_nothing(void) {}

// ------------------------------------------------------------------- RTC --
SemaphoreHandle_t rtc_semaphore;
TaskHandle_t rtc_task;
rtc_handler compare0_handler;
udrv_system_event_t rtc_event = {UDRV_SYS_EVT_OP_RTC, nullptr};

void uhal_rtc_ctimer_handler(void) {
  am_hal_ctimer_clear(3, AM_HAL_CTIMER_BOTH);
  APOLLO3_TRACE("CTIMER Interrupt...");
  apollo3_give(rtc_semaphore);
}

void rtc_event_task_handler(void *) {
  for (;;) {
    xSemaphoreTake(rtc_semaphore, portMAX_DELAY);
    if (compare0_handler != nullptr) {
      udrv_powersave_in_sleep = false;
      udrv_system_event_produce(&rtc_event);
    }
    apollo3_drain_while_sleeping();
  }
}

// ---------------------------------------------------------------- timers --
struct Slot {
  uint8_t id;
  void *m_data;
  timer_handler timer_func;
  TimerHandle_t timer;
  bool periodic;
  udrv_system_event_t event;
};
Slot user_slots[TIMER_ID_MAX];
Slot sys_slots[SYSTIMER_ID_MAX];

void slot_expired(Slot *slots, int count, TimerHandle_t timer, udrv_system_event_op_t op) {
  udrv_powersave_in_sleep = false;
  for (int i = 0; i < count; ++i) {
    if (slots[i].timer == timer) {
      slots[i].event.request = op;
      slots[i].event.p_context = &slots[i];
      udrv_system_event_produce(&slots[i].event);
      apollo3_drain_while_sleeping();
      return;
    }
  }
  // An expiry that belongs to no slot (none should) runs nothing.
}

void uhal_timer_handler_dispatcher(TimerHandle_t timer) {
  slot_expired(user_slots, TIMER_ID_MAX, timer, UDRV_SYS_EVT_OP_USER_TIMER);
}

void uhal_sys_timer_handler_dispatcher(TimerHandle_t timer) {
  slot_expired(sys_slots, SYSTIMER_ID_MAX, timer, UDRV_SYS_EVT_OP_SYS_TIMER);
}

// A slot keeps its kernel timer while the mode stays: creating it again only
// changes the handler, so repeated creation neither leaks kernel memory nor
// leaves an older timer running with no slot of its own. A kernel timer
// cannot change between one-shot and auto-reload, so a creation in the other
// mode replaces it (the old one is deleted first, stopped with it).
int32_t slot_create(Slot &slot, uint8_t id, timer_handler handler, TimerMode_E mode,
                    const char *name, TimerCallbackFunction_t dispatcher) {
  bool const periodic = mode != HTMR_ONESHOT;
  slot.id = id;
  slot.timer_func = handler;
  if (slot.timer != nullptr && slot.periodic != periodic) {
    if (xTimerDelete(slot.timer, 100) != pdPASS) {
      return -UDRV_INTERNAL_ERR;
    }
    slot.timer = nullptr;
  }
  if (slot.timer == nullptr) {
    slot.timer = xTimerCreate(name, 1, periodic ? pdTRUE : pdFALSE, nullptr, dispatcher);
    slot.periodic = periodic;
  }
  return slot.timer == nullptr ? -UDRV_INTERNAL_ERR : 0;
}

int32_t slot_start(Slot &slot, uint8_t id, uint32_t count, void *m_data) {
  if (count == 0 || slot.timer == nullptr) {
    return -UDRV_INTERNAL_ERR;
  }
  slot.id = id;
  slot.m_data = m_data;
  return apollo3_timer_restart(slot.timer, apollo3_ms_to_ticks(count)) == pdPASS
             ? 0
             : -UDRV_INTERNAL_ERR;
}

int32_t slot_stop(Slot &slot) {
  if (slot.timer == nullptr) {
    return -UDRV_INTERNAL_ERR;
  }
  slot.m_data = nullptr;
  return apollo3_timer_stop(slot.timer) == pdPASS ? 0 : -UDRV_INTERNAL_ERR;
}

int32_t uhal_timer_create(TimerID_E id, timer_handler handler, TimerMode_E mode) {
  if (id >= TIMER_ID_MAX) {
    return -UDRV_WRONG_ARG;
  }
  return slot_create(user_slots[id], id, handler, mode, "TMR", uhal_timer_handler_dispatcher);
}

int32_t uhal_timer_start(TimerID_E id, uint32_t count, void *m_data) {
  if (id >= TIMER_ID_MAX) {
    return -UDRV_WRONG_ARG;
  }
  return slot_start(user_slots[id], id, count, m_data);
}

int32_t uhal_timer_stop(TimerID_E id) {
  if (id >= TIMER_ID_MAX) {
    return -UDRV_WRONG_ARG;
  }
  return slot_stop(user_slots[id]);
}

void uhal_timer_init(void) {}

}  // namespace

// ------------------------------------------------------------ power save --
udrv_powersave_api powersave_driver = {mcu_sleep, clock_nothing, clock_nothing, clock_nothing};

void uhal_mcu_sleep(uint8_t level) {
  (void)level;
  if (ps_semaphore == nullptr) {
    ps_semaphore = xSemaphoreCreateBinary();
    ps_counting_semaphore = xSemaphoreCreateCounting(255, 0);
    xTaskCreate(consume_event_task_handler, "CONS_EVT_TASK", 1024, nullptr, 2, &consume_task);
  }
  // An event posted while the peripherals were being suspended ends the
  // sleep before it starts.
  uint32_t mask;
  uhal_sys_board_critical_section_begin(&mask);
  bool goes_on = udrv_powersave_sleep_goes_on();
  if (goes_on) {
    is_mcu_sleeping = true;
  }
  uhal_sys_board_critical_section_end(&mask);
  if (!goes_on) {
    return;
  }
  uhal_mcu_set_rx_interrupt();
  if (isInISR()) {
    BaseType_t woken = pdFALSE;
    xQueueReceiveFromISR(ps_semaphore, nullptr, &woken);
    return;
  }
  // A sleep asked for by a command that a port task runs (AT+SLEEP over
  // BLE while the loop task sleeps) blocks that task here beside the loop
  // task. The wake-up gives the semaphore once and it goes to the waiter of
  // the higher priority: whoever takes it passes the wake-up on, so that
  // every sleeping task wakes and the loop task serves the ports again.
  uint32_t saved = apollo3_kernel_critical_begin();
  sleepers = sleepers + 1;
  apollo3_kernel_critical_end(saved);
  xSemaphoreTake(ps_semaphore, portMAX_DELAY);
  saved = apollo3_kernel_critical_begin();
  sleepers = sleepers - 1;
  bool const pass_on = sleepers != 0;
  apollo3_kernel_critical_end(saved);
  if (pass_on) {
    xSemaphoreGive(ps_semaphore);
  }
}

void uhal_mcu_wake_up(void) {
  if (ps_semaphore == nullptr) {
    return;
  }
  apollo3_timer_stop(ps_timer);
  apollo3_give(ps_semaphore);
  uhal_mcu_clear_rx_interrupt();
  is_mcu_sleeping = false;
  udrv_powersave_in_sleep = false;
}

bool uhal_mcu_sleep_status(void) { return is_mcu_sleeping; }

void uhal_mcu_consume_event(void) {
  if (ps_counting_semaphore != nullptr && is_mcu_sleeping) {
    apollo3_give(ps_counting_semaphore);
  }
}

// The flag changes in the kernel's critical section; the peripherals' own
// locks are taken outside it, since a task must not block inside one.
void uhal_mcu_resume(void) {
  uint32_t saved = apollo3_kernel_critical_begin();
  bool const already = is_mcu_resumed;
  is_mcu_resumed = true;
  apollo3_kernel_critical_end(saved);
  if (already) {
    return;
  }
  uhal_mcu_clear_rx_interrupt();
  uhal_rtc_resume();
  uhal_gpio_resume();
  uhal_spimst_resume();
  twimst_driver.TWIMST_RESUME();
  uhal_uart_resume();
  uhal_pwm_resume();
  uhal_adc_resume();
  APOLLO3_TRACE("uhal_mcu_resume");
}

// Suspends only while the loop task still sleeps: once it is awake the
// peripherals are its own again.
void uhal_mcu_suspend(void) {
  uint32_t saved = apollo3_kernel_critical_begin();
  bool const was = is_mcu_resumed;
  is_mcu_resumed = false;
  bool const sleeping = is_mcu_sleeping;
  apollo3_kernel_critical_end(saved);
  if (!was || !sleeping) {
    return;
  }
  uhal_spimst_suspend();
  uhal_adc_suspend();
  uhal_pwm_suspend();
  uhal_uart_suspend();
  twimst_driver.TWIMST_SUSPEND();
  uhal_gpio_suspend();
  uhal_rtc_suspend();
  if (is_mcu_sleeping) {
    uhal_mcu_set_rx_interrupt();
  }
  APOLLO3_TRACE("uhal_mcu_suspend");
}

void apollo3_drain_lock(void) {
  if (drain_mutex == nullptr) {
    drain_mutex = xSemaphoreCreateMutex();
  }
  xSemaphoreTake(drain_mutex, portMAX_DELAY);
}

void apollo3_drain_unlock(void) { xSemaphoreGive(drain_mutex); }

void apollo3_loop_drain_lock(void) {
  apollo3_drain_lock();
  loop_drains = true;
}

void apollo3_loop_drain_unlock(void) {
  loop_drains = false;
  apollo3_drain_unlock();
}

void apollo3_drain_while_sleeping(void) {
  // A sleep that a command asked for (AT+SLEEP) blocks the loop task in the
  // middle of its own drain: the events wait for it, and this task goes on
  // serving its hardware instead of waiting for the loop task.
  if (!is_mcu_sleeping || loop_drains) {
    return;
  }
  apollo3_drain_lock();
  // The loop task may have woken while this task waited for the lock; it
  // drains the queue itself then.
  if (is_mcu_sleeping) {
    uhal_mcu_resume();
    udrv_system_event_consume();
    uhal_mcu_suspend();
  }
  apollo3_drain_unlock();
}

void uhal_mcu_set_rx_interrupt(void) {
  APOLLO3_TRACE("Set RX interrupt...");
  static const struct {
    uint32_t pad;
    gpio_isr_func wake;
  } kPins[] = {{40, uart0_rx_interrupt_handler}, {43, uart1_rx_interrupt_handler}};
  for (const auto &pin : kPins) {
    uhal_gpio_intc_clear(pin.pad);
    uhal_gpio_pin_suspend(pin.pad);
    uhal_gpio_set_dir(pin.pad, GPIO_DIR_IN);
    uhal_gpio_set_pull(pin.pad, GPIO_PULL_UP);
    uhal_gpio_intc_trigger_mode(pin.pad, GPIO_INTC_FALLING_EDGE);
    uhal_gpio_register_isr(pin.pad, pin.wake);
  }
}

void uhal_mcu_clear_rx_interrupt(void) {
  APOLLO3_TRACE("Clear RX interrupt...");
  for (uint32_t pad : {40u, 43u}) {
    uhal_gpio_intc_clear(pad);
    uhal_gpio_pin_suspend(pad);
  }
  rx_wait_active = false;
}

int32_t uhal_ps_timer_create(timer_handler handler, TimerMode_E mode) {
  if (ps_timer == nullptr) {
    ps_timer = xTimerCreate("PS_TMR", 1, mode != HTMR_ONESHOT ? pdTRUE : pdFALSE, nullptr,
                            ps_timer_timeout_handler);
  }
  ps_timer_handler = handler;
  return ps_timer == nullptr ? -UDRV_INTERNAL_ERR : 0;
}

int32_t uhal_ps_timer_start(uint32_t count) {
  if (count == 0 || ps_timer == nullptr) {
    return -UDRV_INTERNAL_ERR;
  }
  return apollo3_timer_restart(ps_timer, apollo3_ms_to_ticks(count)) == pdPASS ? 0
                                                                               : -UDRV_INTERNAL_ERR;
}

int32_t uhal_ps_timer_stop(void) {
  if (ps_timer == nullptr) {
    return -UDRV_INTERNAL_ERR;
  }
  return apollo3_timer_stop(ps_timer) == pdPASS ? 0 : -UDRV_INTERNAL_ERR;
}

int32_t uhal_uart_wait_timer_start(uint32_t count) {
  if (count == 0) {
    return -UDRV_INTERNAL_ERR;
  }
  if (service_nvm_get_auto_sleep_time_from_nvm() == 0 && no_busy_loop) {
    return -UDRV_BUSY;
  }
  if (uart_wait_timer == nullptr) {
    uart_wait_timer = xTimerCreate("UW_TMR", 1, pdFALSE, nullptr, uart_wait_timer_timeout_handler);
  }
  if (apollo3_timer_restart(uart_wait_timer, apollo3_ms_to_ticks(count)) != pdPASS) {
    return -UDRV_INTERNAL_ERR;
  }
  rx_wait_active = true;
  return 0;
}

// ------------------------------------------------------------------- RTC --
volatile uint64_t apollo3_time_base;
volatile uint64_t apollo3_counter_base;

int32_t uhal_rtc_init(RtcID_E, rtc_handler handler, uint32_t) {
  if (rtc_semaphore == nullptr) {
    rtc_semaphore = xSemaphoreCreateBinary();
    xTaskCreate(rtc_event_task_handler, "CONS_EVT_TASK", 1024, nullptr, 4, &rtc_task);
  }
  am_hal_ctimer_config_single(3, AM_HAL_CTIMER_BOTH,
                              AM_HAL_CTIMER_LINK | AM_HAL_CTIMER_XT_32_768KHZ |
                                  AM_HAL_CTIMER_FN_ONCE | AM_HAL_CTIMER_INT_ENABLE);
  am_hal_ctimer_int_clear(AM_HAL_CTIMER_INT_TIMERA3C0);
  am_hal_ctimer_int_enable(AM_HAL_CTIMER_INT_TIMERA3C0);
  NVIC_SetPriority(CTIMER_IRQn, 0xE0 >> (8 - __NVIC_PRIO_BITS));
  am_hal_ctimer_int_register(AM_HAL_CTIMER_INT_TIMERA3C0, uhal_rtc_ctimer_handler);
  NVIC_EnableIRQ(CTIMER_IRQn);
  // The counter wrap keeps the 64-bit time base.
  am_hal_stimer_int_clear(AM_HAL_STIMER_INT_OVERFLOW);
  am_hal_stimer_int_enable(AM_HAL_STIMER_INT_OVERFLOW);
  NVIC_SetPriority(STIMER_IRQn, 0xE0 >> (8 - __NVIC_PRIO_BITS));
  NVIC_EnableIRQ(STIMER_IRQn);
  compare0_handler = handler;
  return 0;
}

// m_data is the reference counter value the alarm is relative to. An alarm
// whose time has already passed fires at once (it is not taken as one
// almost 2^32 ticks ahead).
int32_t uhal_rtc_set_alarm(RtcID_E, uint64_t count, void *m_data) {
  uint32_t const reference = *static_cast<const uint32_t *>(m_data);
  uint32_t const delta =
      apollo3_alarm_delta(reference, static_cast<uint32_t>(count), am_hal_stimer_counter_get());
  am_hal_ctimer_stop(3, AM_HAL_CTIMER_BOTH);
  am_hal_ctimer_clear(3, AM_HAL_CTIMER_BOTH);
  am_hal_ctimer_compare_set(3, AM_HAL_CTIMER_BOTH, 0, delta);
  am_hal_ctimer_start(3, AM_HAL_CTIMER_BOTH);
  return 0;
}

int32_t uhal_rtc_cancel_alarm(RtcID_E) {
  am_hal_ctimer_stop(3, AM_HAL_CTIMER_BOTH);
  am_hal_ctimer_clear(3, AM_HAL_CTIMER_BOTH);
  am_hal_ctimer_int_clear(AM_HAL_CTIMER_INT_TIMERA3C0);
  return 0;
}

uint64_t uhal_rtc_get_counter(RtcID_E) { return am_hal_stimer_counter_get(); }

uint32_t uhal_rtc_get_counter_calculation_overflow(RtcID_E) {
  return am_hal_stimer_counter_get() + static_cast<uint32_t>(apollo3_counter_base);
}

uint64_t uhal_rtc_get_timestamp(RtcID_E) {
  return apollo3_time_base + uhal_rtc_tick2ms(am_hal_stimer_counter_get());
}

uint64_t uhal_rtc_get_elapsed_time(RtcID_E, uint64_t old_ts) {
  return apollo3_elapsed(am_hal_stimer_counter_get(), old_ts);
}

uint32_t uhal_rtc_get_max_ticks(void) { return 0xFFFFFFFFu; }

uint64_t uhal_rtc_tick2ms(uint64_t tick) { return apollo3_tick2ms(tick); }

uint64_t uhal_rtc_ms2tick(uint64_t ms) { return apollo3_ms2tick(ms); }

void uhal_rtc_handler_handler(void *pdata) {
  if (compare0_handler != nullptr) {
    compare0_handler(pdata);
  }
}

void uhal_rtc_suspend(void) {}
void uhal_rtc_resume(void) {}

extern "C" void am_ctimer_isr(void) {
  uint32_t status = am_hal_ctimer_int_status_get(true);
  am_hal_ctimer_int_clear(status);
  am_hal_ctimer_int_service(status);
}

extern "C" void am_stimer_isr(void) {
  am_hal_stimer_int_clear(AM_HAL_STIMER_INT_OVERFLOW);
  APOLLO3_TRACE("Overflow!!!");
  apollo3_time_base = apollo3_time_base + uhal_rtc_tick2ms(0xFFFFFFFFu);
  apollo3_counter_base = apollo3_counter_base + 0xFFFFFFFFu;
}

// ---------------------------------------------------------------- timers --
udrv_timer_api timer_driver = {uhal_timer_init, uhal_timer_create, uhal_timer_start,
                               uhal_timer_stop};

int32_t uhal_sys_timer_create(SysTimerID_E id, timer_handler handler, TimerMode_E mode) {
  if (id >= SYSTIMER_ID_MAX) {
    return -UDRV_WRONG_ARG;
  }
  return slot_create(sys_slots[id], id, handler, mode, "SYS_TMR",
                     uhal_sys_timer_handler_dispatcher);
}

int32_t uhal_sys_timer_start(SysTimerID_E id, uint32_t count, void *m_data) {
  if (id >= SYSTIMER_ID_MAX) {
    return -UDRV_WRONG_ARG;
  }
  return slot_start(sys_slots[id], id, count, m_data);
}

int32_t uhal_sys_timer_stop(SysTimerID_E id) {
  if (id >= SYSTIMER_ID_MAX) {
    return -UDRV_WRONG_ARG;
  }
  return slot_stop(sys_slots[id]);
}

void uhal_timer_handler_handler(void *pdata) {
  auto *slot = static_cast<Slot *>(pdata);
  if (slot != nullptr && slot->timer_func != nullptr) {
    slot->timer_func(slot->m_data);
  }
}
