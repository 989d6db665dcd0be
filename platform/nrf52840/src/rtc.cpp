// RTC2: a 24-bit counter on the low-frequency clock divided by the
// prescaler + 1, with its overflow event and four compare channels.
#include "internal.h"
#include "nrfx_rtc.h"
#include "sim/model.h"

namespace nrfsim::detail {
namespace {

constexpr uint32_t kMask = 0xFFFFFFu;

struct Rtc {
  bool init = false;
  bool running = false;
  uint32_t prescaler = 0;
  nrfx_rtc_handler_t handler = nullptr;
  uint32_t counter_at_start = 0;  // counter when it was last started / cleared
  uint64_t lf_at_start = 0;       // low-frequency tick of that moment
  uint32_t stopped_counter = 0;   // counter while stopped
  bool overflow_irq = false, overflow_evt_on = false;
  bool cc_on[4] = {}, cc_irq[4] = {};
  uint32_t cc[4] = {};
  bool pending[6] = {};
  sim::EventId overflow_event = 0;
  sim::EventId cc_event[4] = {};
};

Rtc& rtc() {
  static Rtc r;
  return r;
}

uint64_t steps_now(const Rtc& r) {
  return (lf_ticks(sim::now()) - r.lf_at_start) / (r.prescaler + 1);
}

uint32_t counter(const Rtc& r) {
  if (!r.running) return r.stopped_counter;
  return static_cast<uint32_t>((r.counter_at_start + steps_now(r)) & kMask);
}

// The time at which the counter, counting from now, first reaches `value`.
sim::time_us time_of_value(const Rtc& r, uint32_t value) {
  uint64_t s = steps_now(r);
  uint32_t c = static_cast<uint32_t>((r.counter_at_start + s) & kMask);
  uint64_t ahead = (value - c) & kMask;
  if (ahead == 0) ahead = kMask + 1;
  uint64_t step = s + ahead;
  return lf_tick_time(r.lf_at_start + step * (r.prescaler + 1));
}

void rtc_isr();
void schedule_events();

void fire(void*, uint32_t which) {
  Rtc& r = rtc();
  if (which == NRFX_RTC_INT_OVERFLOW) {
    r.overflow_event = 0;
    if (r.overflow_evt_on) {
      r.pending[which] = true;
      if (r.overflow_irq) raise(RTC2_IRQn);
    }
  } else {
    r.cc_event[which] = 0;
    r.pending[which] = true;
    if (r.cc_irq[which]) raise(RTC2_IRQn);
  }
  schedule_events();
}

void cancel_events() {
  Rtc& r = rtc();
  if (r.overflow_event) sim::cancel(r.overflow_event);
  r.overflow_event = 0;
  for (auto& e : r.cc_event) {
    if (e) sim::cancel(e);
    e = 0;
  }
}

void schedule_events() {
  Rtc& r = rtc();
  if (!r.running) return;
  if (!r.overflow_event)
    r.overflow_event = sim::schedule(time_of_value(r, 0), fire, nullptr, NRFX_RTC_INT_OVERFLOW);
  for (uint32_t ch = 0; ch < 4; ++ch) {
    if (r.cc_on[ch] && !r.cc_event[ch])
      r.cc_event[ch] = sim::schedule(time_of_value(r, r.cc[ch]), fire, nullptr, ch);
  }
}

void rtc_isr() {
  Rtc& r = rtc();
  for (int t = 0; t < 6; ++t) {
    if (!r.pending[t]) continue;
    bool irq = t == NRFX_RTC_INT_OVERFLOW ? r.overflow_irq : (t < 4 && r.cc_irq[t]);
    if (!irq) continue;
    r.pending[t] = false;
    if (r.handler) r.handler(static_cast<nrfx_rtc_int_type_t>(t));
  }
}

void rtc_reset() {
  cancel_events();
  rtc() = Rtc{};
}

}  // namespace
}  // namespace nrfsim::detail

using namespace nrfsim::detail;

SIM_MODEL(nrf52840_rtc, {.name = "nrf52840.rtc2", .on_reset = rtc_reset});

namespace {
bool is_rtc2(nrfx_rtc_t const* p) { return p && p->instance_id == 2; }
}  // namespace

nrfx_err_t nrfx_rtc_init(nrfx_rtc_t const* p, nrfx_rtc_config_t const* cfg,
                         nrfx_rtc_handler_t handler) {
  if (!is_rtc2(p) || !cfg || !handler) return NRFX_ERROR_INVALID_PARAM;
  Rtc& r = rtc();
  if (r.init) return NRFX_ERROR_INVALID_STATE;
  r.init = true;
  r.handler = handler;
  r.prescaler = cfg->prescaler & 0xFFF;
  install_isr(RTC2_IRQn, rtc_isr, cfg->interrupt_priority);
  return NRFX_SUCCESS;
}

void nrfx_rtc_uninit(nrfx_rtc_t const* p) {
  if (!is_rtc2(p)) return;
  nrfx_rtc_disable(p);
  Rtc& r = rtc();
  r.init = false;
  r.overflow_irq = r.overflow_evt_on = false;
  for (int ch = 0; ch < 4; ++ch) r.cc_on[ch] = r.cc_irq[ch] = false;
  for (bool& b : r.pending) b = false;
  sim::irq_clear_pending(RTC2_IRQn);
}

void nrfx_rtc_enable(nrfx_rtc_t const* p) {
  Rtc& r = rtc();
  if (!is_rtc2(p) || !r.init || r.running) return;
  r.running = true;
  r.counter_at_start = r.stopped_counter;
  r.lf_at_start = lf_ticks(sim::now());
  schedule_events();
}

void nrfx_rtc_disable(nrfx_rtc_t const* p) {
  Rtc& r = rtc();
  if (!is_rtc2(p) || !r.running) return;
  r.stopped_counter = counter(r);
  r.running = false;
  cancel_events();
}

uint32_t nrfx_rtc_counter_get(nrfx_rtc_t const*) {
  Rtc& r = rtc();
  // A loop that only reads the counter must see it move: a read with no
  // time passed since the previous one lasts until the counter's next step.
  static sim::time_us last_read = sim::kNever;
  if (r.running && last_read == sim::now()) {
    const uint64_t step = steps_now(r) + 1;
    const sim::time_us next = lf_tick_time(r.lf_at_start + step * (r.prescaler + 1));
    sim::cpu_spend_quiet(next > sim::now() ? next - sim::now() : 1);
  }
  last_read = sim::now();
  return counter(r);
}

void nrfx_rtc_counter_clear(nrfx_rtc_t const*) {
  Rtc& r = rtc();
  r.stopped_counter = 0;
  if (r.running) {
    cancel_events();
    r.counter_at_start = 0;
    r.lf_at_start = lf_ticks(sim::now());
    schedule_events();
  }
}

void nrfx_rtc_tick_disable(nrfx_rtc_t const*) {}

void nrfx_rtc_overflow_enable(nrfx_rtc_t const*, bool enable_irq) {
  Rtc& r = rtc();
  r.overflow_evt_on = true;
  r.overflow_irq = enable_irq;
}

void nrfx_rtc_overflow_disable(nrfx_rtc_t const*) {
  rtc().overflow_evt_on = false;
  rtc().overflow_irq = false;
}

uint32_t nrfx_rtc_max_ticks_get(nrfx_rtc_t const*) { return kMask; }

nrfx_err_t nrfx_rtc_cc_set(nrfx_rtc_t const* p, uint32_t ch, uint32_t val, bool enable_irq) {
  if (!is_rtc2(p) || ch >= 4) return NRFX_ERROR_INVALID_PARAM;
  Rtc& r = rtc();
  if (r.cc_event[ch]) sim::cancel(r.cc_event[ch]);
  r.cc_event[ch] = 0;
  r.cc[ch] = val & kMask;
  r.cc_on[ch] = true;
  r.cc_irq[ch] = enable_irq;
  schedule_events();
  return NRFX_SUCCESS;
}

nrfx_err_t nrfx_rtc_cc_disable(nrfx_rtc_t const* p, uint32_t ch) {
  if (!is_rtc2(p) || ch >= 4) return NRFX_ERROR_INVALID_PARAM;
  Rtc& r = rtc();
  if (r.cc_event[ch]) sim::cancel(r.cc_event[ch]);
  r.cc_event[ch] = 0;
  r.cc_on[ch] = r.cc_irq[ch] = r.pending[ch] = false;
  return NRFX_SUCCESS;
}

uint32_t nrfx_rtc_prescaler_get(nrfx_rtc_t const*) { return rtc().prescaler; }

void nrfx_rtc_prescaler_set(nrfx_rtc_t const*, uint32_t prescaler) {
  Rtc& r = rtc();
  if (!r.running) r.prescaler = prescaler & 0xFFF;
}
