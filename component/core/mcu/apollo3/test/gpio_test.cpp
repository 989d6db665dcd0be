// The Apollo3 port's pin interrupts on the kernel and the simulated chip:
// pins whose interrupts come before "GPIO_INT_TASK" gets to run are all
// served, none replaced by a later one.
#include <gtest/gtest.h>

#include <vector>

#include "am_util.h"
#include "apollo3_port.h"
#include "apollo3_sim.h"
#include "rtos_sim.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "udrv_powersave.h"

// What the pin path calls beyond the GPIO driver, recorded or inert.
volatile bool udrv_powersave_in_sleep;
volatile bool udrv_powersave_early_wakeup;
volatile bool is_mcu_sleeping;
void uhal_mcu_wake_up(void) {}
void apollo3_drain_while_sleeping(void) {}
void uhal_sys_board_critical_section_begin(uint32_t *mask) {
  *mask = __get_PRIMASK();
  __disable_irq();
}
void uhal_sys_board_critical_section_end(uint32_t *mask) { __set_PRIMASK(*mask); }
void assert_callback(uint32_t, const char *, uint32_t) { std::abort(); }

namespace {

std::vector<uint32_t> g_posted;

}  // namespace

int32_t udrv_system_event_produce(udrv_system_event_t *event) {
  EXPECT_EQ(event->request, UDRV_SYS_EVT_OP_GPIO_INTERRUPT);
  g_posted.push_back(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event->p_context)));
  return 0;
}

namespace {

void pin_high(void *, uint32_t pad) { sim::pin_set_input(static_cast<uint16_t>(pad), 1); }
void on_pin(uint32_t) {}

// Above the GPIO task: two pins rise, one after the other, while it is
// busy, so both interrupts come before the GPIO task can run.
void busy_task(void *) {
  for (uint32_t pad : {2u, 3u}) {
    uhal_gpio_intc_trigger_mode(pad, GPIO_INTC_RISING_EDGE);
    uhal_gpio_register_isr(pad, on_pin);
  }
  sim::schedule(sim::now() + 500, pin_high, nullptr, 2);
  sim::schedule(sim::now() + 1000, pin_high, nullptr, 3);
  am_util_delay_us(3000);
  vTaskDelay(10);
  vTaskEndScheduler();
}

TEST(Gpio, InterruptsOfTwoPinsBeforeTheTaskRunsAreBothServed) {
  rtos_sim::reset();
  sim::host::reset_core();
  apollo3sim::reset_platform();
  apollo3sim::set_isr(GPIO_IRQn, am_gpio_isr);
  xTaskCreate(busy_task, "busy", 1024, nullptr, 4, nullptr);
  vTaskStartScheduler();
  EXPECT_EQ(g_posted, (std::vector<uint32_t>{2, 3}));
  rtos_sim::reset();
  sim::host::reset_core();
}

}  // namespace
