#include "stm32_fakes.h"

#include <cstdlib>

#include "sim/sim.h"
#include "stm32wl_hal.h"
#include "stm32wl_hal_subghz.h"
#include "udrv_powersave.h"
#include "util_timer.h"

extern SUBGHZ_HandleTypeDef hsubghz;
void MX_SUBGHZ_Init(void);
extern "C" void SUBGHZ_Radio_IRQHandler(void);

volatile bool udrv_powersave_in_sleep = false;

int32_t udrv_system_event_produce(udrv_system_event_t* event) {
  stm32_env::posted().push_back(event->request);
  return 0;
}

void uhal_sys_board_critical_section_begin(uint32_t* mask) {
  *mask = sim::get_primask();
  sim::set_primask(1);
}

void uhal_sys_board_critical_section_end(uint32_t* mask) { sim::set_primask(*mask); }

[[noreturn]] void Error_Handler(void) {
  sim::log("Error_Handler: the MCU would reset");
  std::abort();
}

namespace {

uint32_t g_context = 0;
sim::EventId g_alarm = 0;

uint32_t ticks() { return static_cast<uint32_t>(sim::now() / 1000); }
void alarm_due(void*, uint32_t) {
  g_alarm = 0;
  sim::irq_set_pending(RTC_Alarm_IRQn);
}
void alarm_isr() { UTIL_TIMER_IRQ_Handler(); }

UTIL_TIMER_Status_t tinit() { return UTIL_TIMER_OK; }
UTIL_TIMER_Status_t tstop() {
  if (g_alarm) sim::cancel(g_alarm);
  g_alarm = 0;
  return UTIL_TIMER_OK;
}
UTIL_TIMER_Status_t tstart(uint32_t timeout) {
  tstop();
  g_alarm = sim::schedule((uint64_t{g_context} + timeout) * 1000, &alarm_due, nullptr);
  return UTIL_TIMER_OK;
}
uint32_t tsetctx() { return g_context = ticks(); }
uint32_t tgetctx() { return g_context; }
uint32_t telapsed() { return ticks() - g_context; }
uint32_t tvalue() { return ticks(); }
uint32_t tmin() { return 1; }
uint32_t tid(uint32_t v) { return v; }

}  // namespace

const UTIL_TIMER_Driver_s UTIL_TimerDriver = {tinit,    tinit,  tstart, tstop, tsetctx, tgetctx,
                                              telapsed, tvalue, tmin,   tid,   tid};

namespace stm32_env {

std::vector<udrv_system_event_op_t>& posted() {
  static std::vector<udrv_system_event_op_t> v;
  return v;
}

void power_on() {
  posted().clear();
  g_alarm = 0;
  g_context = 0;
  sim::irq_set_handler(SUBGHZ_Radio_IRQn, &SUBGHZ_Radio_IRQHandler);
  sim::irq_set_handler(RTC_Alarm_IRQn, &alarm_isr);
  sim::irq_enable(RTC_Alarm_IRQn, true);
  UTIL_TIMER_Init();
  hsubghz.State = HAL_SUBGHZ_STATE_RESET;  // the MSP set-up runs again
  MX_SUBGHZ_Init();
}

}  // namespace stm32_env
