// The application timer library on the low-frequency clock: each running
// timer is an event at the time of its expiry tick; expiries are handled in
// the library's interrupt (RTC1, priority 6), handlers in expiry order.
#include <algorithm>
#include <vector>

#include "app_timer.h"
#include "internal.h"
#include "sim/model.h"

namespace nrfsim::detail {
namespace {

struct Timers {
  bool init = false;
  std::vector<app_timer_t*> expired;  // in expiry order, handled by the ISR
  std::vector<app_timer_t*> known;    // every created timer (for the reset)
};

Timers& timers() {
  static Timers t;
  return t;
}

void arm(app_timer_t* t);

void expiry(void* ctx, uint32_t) {
  auto* t = static_cast<app_timer_t*>(ctx);
  t->event = 0;
  if (!t->running) return;
  timers().expired.push_back(t);
  if (t->mode == APP_TIMER_MODE_REPEATED) {
    t->due_tick += t->period;
    arm(t);
  } else {
    t->running = false;
  }
  raise(RTC1_IRQn);
}

void arm(app_timer_t* t) { t->event = sim::schedule(lf_tick_time(t->due_tick), expiry, t, 0); }

void timer_isr() {
  std::vector<app_timer_t*> expired;
  expired.swap(timers().expired);
  for (app_timer_t* t : expired) {
    if (t->handler) t->handler(t->context);
  }
}

void disarm(app_timer_t* t) {
  if (t->event) sim::cancel(t->event);
  t->event = 0;
  t->running = false;
  auto& e = timers().expired;
  e.erase(std::remove(e.begin(), e.end(), t), e.end());
}

void timers_reset() {
  for (app_timer_t* t : timers().known) {
    t->event = 0;  // the core's events are gone with the reset
    *t = app_timer_t{};
  }
  timers() = Timers{};
}

}  // namespace
}  // namespace nrfsim::detail

using namespace nrfsim::detail;

SIM_MODEL(nrf52840_app_timer, {.name = "nrf52840.app_timer", .on_reset = timers_reset});

ret_code_t app_timer_init(void) {
  timers().init = true;
  install_isr(RTC1_IRQn, timer_isr, 6);
  return NRF_SUCCESS;
}

ret_code_t app_timer_create(app_timer_id_t const* p_timer_id, app_timer_mode_t mode,
                            app_timer_timeout_handler_t handler) {
  if (!p_timer_id || !*p_timer_id || !handler) return NRF_ERROR_INVALID_PARAM;
  app_timer_t* t = *p_timer_id;
  if (t->running) return NRF_ERROR_INVALID_STATE;
  t->handler = handler;
  t->mode = mode;
  t->created = true;
  auto& known = timers().known;
  if (std::find(known.begin(), known.end(), t) == known.end()) known.push_back(t);
  return NRF_SUCCESS;
}

ret_code_t app_timer_start(app_timer_id_t t, uint32_t ticks, void* p_context) {
  if (!t || !t->created) return NRF_ERROR_INVALID_STATE;
  if (ticks < APP_TIMER_MIN_TIMEOUT_TICKS || ticks > APP_TIMER_MAX_CNT_VAL)
    return NRF_ERROR_INVALID_PARAM;
  if (!timers().init) return NRF_ERROR_INVALID_STATE;
  disarm(t);
  t->running = true;
  t->period = ticks;
  t->context = p_context;
  t->due_tick = lf_ticks(sim::now()) + ticks;
  arm(t);
  return NRF_SUCCESS;
}

ret_code_t app_timer_stop(app_timer_id_t t) {
  if (!t) return NRF_ERROR_INVALID_PARAM;
  disarm(t);
  return NRF_SUCCESS;
}

uint32_t app_timer_cnt_get(void) {
  return static_cast<uint32_t>(lf_ticks(sim::now()) & APP_TIMER_MAX_CNT_VAL);
}
