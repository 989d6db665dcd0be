// The Apollo3 port's user and system timers on the kernel and the simulated
// chip: creating a timer again keeps the slot's one kernel timer (no kernel
// memory for each creation, no orphaned timer left running with another
// slot's callback), and an expiry posts the slot's event.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "apollo3_port.h"
#include "apollo3_sim.h"
#include "rtos_sim.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "udrv_powersave.h"
#include "udrv_timer.h"
#include "udrv_twimst.h"

// What the timer path reaches beyond the timers, inert or recorded.
volatile bool udrv_powersave_in_sleep;
volatile bool udrv_powersave_early_wakeup;
volatile bool no_busy_loop;
bool udrv_powersave_sleep_goes_on(void) { return false; }
uint32_t udrv_powersave_wake_lock_count(void) { return 0; }
uint32_t service_nvm_get_auto_sleep_time_from_nvm(void) { return 0; }
void udrv_system_event_consume(void) {}
void uhal_sys_board_critical_section_begin(uint32_t *mask) {
  *mask = __get_PRIMASK();
  __disable_irq();
}
void uhal_sys_board_critical_section_end(uint32_t *mask) { __set_PRIMASK(*mask); }
void assert_callback(uint32_t, const char *, uint32_t) { std::abort(); }
void uhal_gpio_intc_clear(uint32_t) {}
void uhal_gpio_pin_suspend(uint32_t) {}
void uhal_gpio_set_dir(uint32_t, gpio_dir_t) {}
void uhal_gpio_set_pull(uint32_t, gpio_pull_t) {}
void uhal_gpio_intc_trigger_mode(uint32_t, gpio_intc_trigger_mode_t) {}
int32_t uhal_gpio_register_isr(uint32_t, gpio_isr_func) { return 0; }
void uhal_gpio_suspend(void) {}
void uhal_gpio_resume(void) {}
void uhal_spimst_suspend(void) {}
void uhal_spimst_resume(void) {}
void uhal_uart_suspend(void) {}
void uhal_uart_resume(void) {}
void uhal_adc_suspend(void) {}
void uhal_adc_resume(void) {}
void uhal_pwm_suspend(void) {}
void uhal_pwm_resume(void) {}
udrv_serial_api serial_uart_driver = {};
udrv_twimst_api twimst_driver = {};

namespace {

std::vector<udrv_system_event_t> g_events;
std::vector<int> g_calls;

}  // namespace

int32_t udrv_system_event_produce(udrv_system_event_t *event) {
  g_events.push_back(*event);
  return 0;
}

namespace {

void first(void *) { g_calls.push_back(1); }
void second(void *) { g_calls.push_back(2); }
void other(void *) { g_calls.push_back(3); }

size_t g_heap_after_first = 0, g_heap_after_more = 0;

void timer_task(void *) {
  timer_driver.TIMER_CREATE(TIMER_0, first, HTMR_ONESHOT);
  g_heap_after_first = rtos_sim::heap_used();
  for (int i = 0; i < 50; ++i) timer_driver.TIMER_CREATE(TIMER_0, second, HTMR_ONESHOT);
  g_heap_after_more = rtos_sim::heap_used();
  timer_driver.TIMER_CREATE(TIMER_1, other, HTMR_ONESHOT);
  timer_driver.TIMER_START(TIMER_0, 10, nullptr);
  vTaskDelay(100);
  // The expiries run in the dispatcher: here, by hand.
  for (udrv_system_event_t &e : g_events) uhal_timer_handler_handler(e.p_context);
  vTaskEndScheduler();
}

TEST(Timers, CreatingATimerAgainKeepsItsOneKernelTimer) {
  rtos_sim::reset();
  sim::host::reset_core();
  apollo3sim::reset_platform();
  xTaskCreate(timer_task, "test", 1024, nullptr, 1, nullptr);
  vTaskStartScheduler();
  EXPECT_EQ(g_heap_after_more, g_heap_after_first);
  ASSERT_EQ(g_events.size(), 1u);
  EXPECT_EQ(g_events[0].request, UDRV_SYS_EVT_OP_USER_TIMER);
  EXPECT_EQ(g_calls, (std::vector<int>{2}));
  rtos_sim::reset();
  sim::host::reset_core();
}

// A timer made periodic and then made again one-shot (and the other way
// round) runs in the mode of its latest creation: the one-shot one expires
// once, however long it is left; the periodic one keeps expiring.
struct ModeCase {
  const char *name;
  bool system;
  int id;  // each case its own slot: the slots outlive the kernel of a case
  TimerMode_E first, second;
};
const ModeCase *g_case;
size_t g_expiries_first, g_expiries_second;

int32_t create(const ModeCase &c, TimerMode_E mode) {
  return c.system ? uhal_sys_timer_create(static_cast<SysTimerID_E>(c.id), first, mode)
                  : timer_driver.TIMER_CREATE(static_cast<TimerID_E>(c.id), first, mode);
}
int32_t start(const ModeCase &c) {
  return c.system ? uhal_sys_timer_start(static_cast<SysTimerID_E>(c.id), 10, nullptr)
                  : timer_driver.TIMER_START(static_cast<TimerID_E>(c.id), 10, nullptr);
}

void mode_task(void *) {
  const ModeCase &c = *g_case;
  EXPECT_EQ(create(c, c.first), 0);
  EXPECT_EQ(start(c), 0);
  vTaskDelay(100);
  g_expiries_first = g_events.size();
  g_events.clear();
  EXPECT_EQ(create(c, c.second), 0);
  EXPECT_EQ(start(c), 0);
  vTaskDelay(100);
  g_expiries_second = g_events.size();
  vTaskEndScheduler();
}

TEST(Timers, ATimerMadeAgainInTheOtherModeRunsInItsNewMode) {
  const ModeCase cases[] = {
      {"user periodic, then one-shot", false, TIMER_2, HTMR_PERIODIC, HTMR_ONESHOT},
      {"user one-shot, then periodic", false, TIMER_3, HTMR_ONESHOT, HTMR_PERIODIC},
      {"system periodic, then one-shot", true, SYSTIMER_LED, HTMR_PERIODIC, HTMR_ONESHOT},
      {"system one-shot, then periodic", true, SYSTIMER_LCT, HTMR_ONESHOT, HTMR_PERIODIC},
  };
  for (const ModeCase &c : cases) {
    SCOPED_TRACE(c.name);
    rtos_sim::reset();
    sim::host::reset_core();
    apollo3sim::reset_platform();
    g_events.clear();
    g_case = &c;
    xTaskCreate(mode_task, "test", 1024, nullptr, 1, nullptr);
    vTaskStartScheduler();
    // 100 ticks with a period of 10 ms (10 ticks): a one-shot timer expires
    // once, a periodic one about ten times.
    for (auto [mode, expiries] :
         {std::pair{c.first, g_expiries_first}, std::pair{c.second, g_expiries_second}}) {
      if (mode == HTMR_ONESHOT) {
        EXPECT_EQ(expiries, 1u);
      } else {
        EXPECT_GE(expiries, 9u);
        EXPECT_LE(expiries, 10u);
      }
    }
    rtos_sim::reset();
    sim::host::reset_core();
  }
}

}  // namespace
