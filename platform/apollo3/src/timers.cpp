// STIMER (the 32768 Hz system timer with compares and overflow) and the
// CTIMER (eight timers of two 16-bit segments, linkable to 32 bits) of the
// simulated Apollo3. Both count from the crystal, derived from virtual time,
// so they keep counting through sleep.
#include <cerrno>
#include <cstdlib>
#include <string>

#include "internal.h"
#include "sim/model.h"

namespace apollo3sim {
namespace detail {
namespace {

constexpr uint64_t kHz = AM_HAL_STIMER_HZ;
constexpr int kCompares = 8;

// Count of a 32768 Hz clock at virtual time t (floor).
uint64_t crystal_count(sim::time_us t) {
  return t / 1000000u * kHz + (t % 1000000u) * kHz / 1000000u;
}
// First virtual time at which the clock has counted `n` (ceil).
sim::time_us crystal_time(uint64_t n) {
  return n / kHz * 1000000u + ((n % kHz) * 1000000u + kHz - 1) / kHz;
}

struct Stimer {
  uint64_t offset = 0;  // count64 = crystal_count(now) + offset (mod 2^64)
  bool frozen = false;
  uint64_t frozen_at = 0;
  uint32_t config = 0;
  uint32_t int_enable = 0;
  uint32_t int_status = 0;
  uint32_t compare[kCompares] = {};
  sim::EventId compare_event[kCompares] = {};
  sim::EventId overflow_event = 0;
};

uint32_t g_start_option = 0;

Stimer& st() {
  static Stimer s;
  return s;
}

void stimer_raise(uint32_t bits);

void schedule_overflow();

void overflow_event(void*, uint32_t) {
  st().overflow_event = 0;
  stimer_raise(AM_HAL_STIMER_INT_OVERFLOW);
  schedule_overflow();
}

void schedule_overflow() {
  Stimer& s = st();
  if (s.overflow_event) sim::cancel(s.overflow_event);
  s.overflow_event = 0;
  if (s.frozen) return;
  const uint64_t c = stimer_count64();
  const uint64_t next = (c | 0xFFFFFFFFull) + 1;
  s.overflow_event = sim::schedule(stimer_time_of(next), overflow_event, nullptr);
}

void compare_event(void*, uint32_t cmp) {
  st().compare_event[cmp] = 0;
  stimer_raise(1u << cmp);
}

// Interrupt lines: compare n -> STIMER_CMPR0 + n, overflow -> STIMER.
void update_stimer_lines() {
  const Stimer& s = st();
  const uint32_t pending = s.int_status & s.int_enable;
  for (int n = 0; n < kCompares; ++n) {
    if (pending & (1u << n)) sim::irq_set_pending(STIMER_CMPR0_IRQn + n);
  }
  if (pending & AM_HAL_STIMER_INT_OVERFLOW) sim::irq_set_pending(STIMER_IRQn);
}

void stimer_raise(uint32_t bits) {
  st().int_status |= bits;
  update_stimer_lines();
}

void stimer_reset() {
  Stimer& s = st();
  for (sim::EventId& e : s.compare_event)
    if (e) sim::cancel(e);
  if (s.overflow_event) sim::cancel(s.overflow_event);
  s = Stimer{};
  stimer_set(g_start_option);
}

bool set_start_option(const char* v, std::string* error) {
  char* end = nullptr;
  errno = 0;
  unsigned long long n = std::strtoull(v, &end, 0);
  if (!*v || *end || errno || n > 0xFFFFFFFFull) {
    *error = std::string("--stimer-start: bad counter value ") + v;
    return false;
  }
  g_start_option = static_cast<uint32_t>(n);
  return true;
}

// ---------------------------------------------------------------- CTIMER --
constexpr int kTimers = 8;

struct Segment {
  uint32_t config = 0;
  bool running = false;
  uint64_t count_base = 0;      // count when last stopped/started
  sim::time_us started_at = 0;  // while running
  uint32_t cmp[2] = {};         // compare 0, 1
  uint32_t aux[2] = {};         // auxiliary compares (PWM second output)
  uint32_t pad = 0xFF;
  uint32_t mode = 0;
  sim::EventId event = 0;
};

struct Ctimer {
  Segment seg[kTimers][2];  // [timer][A=0/B=1]; a linked pair uses A
  uint32_t int_enable = 0;
  uint32_t int_status = 0;
  am_hal_ctimer_handler_t handler[32] = {};
};

Ctimer& ct() {
  static Ctimer c;
  return c;
}

uint64_t clock_hz(uint32_t config) {
  switch (config & AM_HAL_CTIMER_CLK_MASK) {
    case AM_HAL_CTIMER_HFRC_12MHZ:
      return 12000000;
    case AM_HAL_CTIMER_HFRC_3MHZ:
      return 3000000;
    case AM_HAL_CTIMER_XT_32_768KHZ:
      return 32768;
    case AM_HAL_CTIMER_XT_16_384KHZ:
      return 16384;
    case AM_HAL_CTIMER_LFRC_1KHZ:
      return 1024;
    default:
      return 0;
  }
}

bool linked(int timer) { return (ct().seg[timer][0].config & AM_HAL_CTIMER_LINK) != 0; }

// The segments a call names (linked timers: both through A).
template <typename F>
void for_segments(uint32_t timer, uint32_t segment, F f) {
  if (timer >= kTimers) return;
  const int t = static_cast<int>(timer);
  if (segment == AM_HAL_CTIMER_BOTH || linked(t)) {
    f(t, 0);
    if (segment == AM_HAL_CTIMER_BOTH && !linked(t)) f(t, 1);
    return;
  }
  f(t, segment == AM_HAL_CTIMER_TIMERB ? 1 : 0);
}

bool repeating(const Segment& s) {
  const uint32_t fn = s.config & AM_HAL_CTIMER_FN_MASK;
  return fn == AM_HAL_CTIMER_FN_REPEAT || fn == AM_HAL_CTIMER_FN_PWM_REPEAT;
}

// A repeating segment without its interrupt runs without events: its count
// is the time since the start modulo the period (compare 0 + 1).
bool silent_repeat(const Segment& s) {
  return repeating(s) && !(s.config & AM_HAL_CTIMER_INT_ENABLE);
}

uint64_t seg_count(const Segment& s) {
  if (!s.running) return s.count_base;
  const uint64_t hz = clock_hz(s.config);
  const sim::time_us dt = sim::now() - s.started_at;
  const uint64_t n = s.count_base + (hz ? dt / 1000000u * hz + (dt % 1000000u) * hz / 1000000u : 0);
  return silent_repeat(s) ? n % (uint64_t{s.cmp[0]} + 1) : n;
}

uint32_t width_mask(int timer) { return linked(timer) ? 0xFFFFFFFFu : 0xFFFFu; }

uint32_t c0_bit(int timer, int seg) {
  return seg ? AM_HAL_CTIMER_INT_TIMERB_C0(timer) : AM_HAL_CTIMER_INT_TIMERA_C0(timer);
}

void ctimer_update_line() {
  if (ct().int_status & ct().int_enable) sim::irq_set_pending(CTIMER_IRQn);
}

void arm_segment(int timer, int seg);

void segment_event(void*, uint32_t arg) {
  const int timer = static_cast<int>(arg >> 1);
  const int seg = static_cast<int>(arg & 1);
  Segment& s = ct().seg[timer][seg];
  s.event = 0;
  if (!s.running) return;
  const uint32_t fn = s.config & AM_HAL_CTIMER_FN_MASK;
  if (s.config & AM_HAL_CTIMER_INT_ENABLE) {
    ct().int_status |= c0_bit(timer, seg);
    ctimer_update_line();
  }
  if (fn == AM_HAL_CTIMER_FN_ONCE || fn == AM_HAL_CTIMER_FN_PWM_ONCE) {
    // One-shot: the counter stops at its compare.
    s.count_base = seg_count(s);
    s.running = false;
    return;
  }
  // Repeating: the counter starts again from 0.
  s.count_base = 0;
  s.started_at = sim::now();
  arm_segment(timer, seg);
}

// Schedules the compare-0 match of a running segment. A compare of 0 (or one
// the counter has passed) matches at once.
void arm_segment(int timer, int seg) {
  Segment& s = ct().seg[timer][seg];
  if (s.event) sim::cancel(s.event);
  s.event = 0;
  if (!s.running || silent_repeat(s)) return;
  const uint64_t hz = clock_hz(s.config);
  if (!hz) return;
  const uint64_t target = s.cmp[0] & width_mask(timer);
  const uint64_t have = seg_count(s);
  sim::time_us at = sim::now();
  if (target > have) {
    const uint64_t n = target - s.count_base;  // counts since started_at
    at = s.started_at + n / hz * 1000000u + ((n % hz) * 1000000u + hz - 1) / hz;
  }
  s.event = sim::schedule(at, segment_event, nullptr, static_cast<uint32_t>(timer * 2 + seg));
}

void ctimer_reset() {
  Ctimer& c = ct();
  for (auto& t : c.seg)
    for (Segment& s : t)
      if (s.event) sim::cancel(s.event);
  c = Ctimer{};
}

}  // namespace
}  // namespace detail

using namespace detail;

uint64_t stimer_count64() {
  const Stimer& s = st();
  return s.frozen ? s.frozen_at : crystal_count(sim::now()) + s.offset;
}

uint32_t stimer_counter() { return static_cast<uint32_t>(stimer_count64()); }

void stimer_set(uint32_t value) {
  Stimer& s = st();
  const uint64_t high = stimer_count64() & ~0xFFFFFFFFull;
  s.offset = (high | value) - crystal_count(sim::now());
  if (s.frozen) s.frozen_at = high | value;
  schedule_overflow();
}

sim::time_us stimer_time_of(uint64_t count) {
  const Stimer& s = st();
  if (s.frozen) return sim::kNever;
  const uint64_t base = count - s.offset;  // crystal count wanted
  const sim::time_us t = crystal_time(base);
  return t < sim::now() ? sim::now() : t;
}

CtimerSegment ctimer_segment(int timer, bool segment_b) {
  CtimerSegment r;
  if (timer < 0 || timer >= kTimers) return r;
  const Segment& s = ct().seg[timer][segment_b ? 1 : 0];
  r.config = s.config;
  r.running = s.running;
  r.compare0 = s.cmp[0];
  r.compare1 = s.cmp[1];
  r.aux_compare0 = s.aux[0];
  r.aux_compare1 = s.aux[1];
  r.output_pad = s.pad;
  r.output_mode = s.mode;
  return r;
}

}  // namespace apollo3sim

SIM_MODEL(apollo3_stimer,
          {.name = "apollo3.stimer",
           .options = {{"--stimer-start", "N",
                        "the STIMER counter's value at power-on (e.g.\n0xFFFF0000 to cross a wrap "
                        "soon; a test knob).",
                        apollo3sim::detail::set_start_option}},
           .on_reset = [] {
             apollo3sim::detail::stimer_reset();
             apollo3sim::detail::ctimer_reset();
           }});

using namespace apollo3sim;
using namespace apollo3sim::detail;

extern "C" {

// ---------------------------------------------------------------- STIMER --
uint32_t am_hal_stimer_config(uint32_t config) {
  Stimer& s = st();
  const uint32_t old = s.config;
  if (config & AM_HAL_STIMER_CFG_CLEAR) stimer_set(0);
  const bool freeze = (config & AM_HAL_STIMER_CFG_FREEZE) != 0;
  if (freeze && !s.frozen) {
    s.frozen_at = stimer_count64();
    s.frozen = true;
  } else if (!freeze && s.frozen) {
    s.frozen = false;
    s.offset = s.frozen_at - crystal_count(sim::now());
  }
  s.config = config & ~(AM_HAL_STIMER_CFG_CLEAR | AM_HAL_STIMER_CFG_FREEZE);
  schedule_overflow();
  return old;
}

uint32_t am_hal_stimer_counter_get(void) {
  // A loop that only reads the counter must see it move.
  static sim::time_us last_read = sim::kNever;
  if (last_read == sim::now()) sim::cpu_spend(31);
  last_read = sim::now();
  return stimer_counter();
}

void am_hal_stimer_counter_clear(void) { stimer_set(0); }

uint32_t am_hal_stimer_compare_delta_set(uint32_t cmp, uint32_t delta) {
  if (cmp >= kCompares) return AM_HAL_STATUS_OUT_OF_RANGE;
  Stimer& s = st();
  const uint64_t now_count = stimer_count64();
  s.compare[cmp] = static_cast<uint32_t>(now_count + delta);
  if (s.compare_event[cmp]) sim::cancel(s.compare_event[cmp]);
  s.compare_event[cmp] =
      sim::schedule(stimer_time_of(now_count + (delta ? delta : 1)), compare_event, nullptr, cmp);
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_stimer_compare_get(uint32_t cmp) { return cmp < kCompares ? st().compare[cmp] : 0; }

void am_hal_stimer_int_enable(uint32_t mask) {
  st().int_enable |= mask;
  update_stimer_lines();
}
void am_hal_stimer_int_disable(uint32_t mask) { st().int_enable &= ~mask; }
void am_hal_stimer_int_set(uint32_t mask) { stimer_raise(mask); }
void am_hal_stimer_int_clear(uint32_t mask) { st().int_status &= ~mask; }
uint32_t am_hal_stimer_int_status_get(bool enabled_only) {
  const Stimer& s = st();
  return enabled_only ? s.int_status & s.int_enable : s.int_status;
}

// ---------------------------------------------------------------- CTIMER --
// The segment that can drive each pad (one per pad here; pads without a
// timer output have none).
#define NO_OUT \
  { AM_HAL_CTIMER_NO_OUTPUT, 0 }
#define A(n) \
  { n, AM_HAL_CTIMER_TIMERA }
#define B(n) \
  { n, AM_HAL_CTIMER_TIMERB }
const am_hal_ctimer_output_t am_hal_ctimer_outputs[AM_HAL_GPIO_MAX_PADS] = {
    NO_OUT, NO_OUT, NO_OUT, NO_OUT, NO_OUT, NO_OUT, NO_OUT, NO_OUT, NO_OUT, NO_OUT,  // 0-9
    NO_OUT, NO_OUT, A(0),   B(0),   NO_OUT, NO_OUT, NO_OUT, NO_OUT, A(1),   B(1),    // 10-19
    NO_OUT, NO_OUT, A(2),   B(2),   NO_OUT, NO_OUT, A(3),   NO_OUT, A(4),   B(4),    // 20-29
    A(5),   B(5),   A(6),   B(6),   A(7),   B(7),   NO_OUT, B(3),   NO_OUT, NO_OUT,  // 30-39
    NO_OUT, NO_OUT, NO_OUT, NO_OUT, A(1),   NO_OUT, NO_OUT, NO_OUT, NO_OUT, NO_OUT,  // 40-49
};
#undef NO_OUT
#undef A
#undef B

void am_hal_ctimer_config_single(uint32_t timer, uint32_t segment, uint32_t config) {
  if (timer >= kTimers) return;
  const int t = static_cast<int>(timer);
  if (config & AM_HAL_CTIMER_LINK) {
    Segment& a = ct().seg[t][0];
    a.config = config;
    return;
  }
  if (segment == AM_HAL_CTIMER_BOTH) {
    ct().seg[t][0].config = config;
    ct().seg[t][1].config = config;
  } else {
    ct().seg[t][segment == AM_HAL_CTIMER_TIMERB ? 1 : 0].config = config;
    ct().seg[t][0].config &= ~AM_HAL_CTIMER_LINK;
  }
}

void am_hal_ctimer_start(uint32_t timer, uint32_t segment) {
  for_segments(timer, segment, [](int t, int seg) {
    Segment& s = ct().seg[t][seg];
    if (s.running) return;
    s.running = true;
    s.started_at = sim::now();
    arm_segment(t, seg);
  });
}

void am_hal_ctimer_stop(uint32_t timer, uint32_t segment) {
  for_segments(timer, segment, [](int t, int seg) {
    Segment& s = ct().seg[t][seg];
    if (!s.running) return;
    s.count_base = seg_count(s);
    s.running = false;
    arm_segment(t, seg);
  });
}

void am_hal_ctimer_clear(uint32_t timer, uint32_t segment) {
  for_segments(timer, segment, [](int t, int seg) {
    Segment& s = ct().seg[t][seg];
    s.running = false;
    s.count_base = 0;
    arm_segment(t, seg);
  });
}

uint32_t am_hal_ctimer_read(uint32_t timer, uint32_t segment) {
  uint32_t v = 0;
  for_segments(timer, segment, [&v](int t, int seg) {
    v = static_cast<uint32_t>(seg_count(ct().seg[t][seg])) & width_mask(t);
  });
  // A loop that waits on the counter must see it move.
  static sim::time_us last_read = sim::kNever;
  if (last_read == sim::now()) sim::cpu_spend(1);
  last_read = sim::now();
  return v;
}

void am_hal_ctimer_compare_set(uint32_t timer, uint32_t segment, uint32_t compare_reg,
                               uint32_t value) {
  for_segments(timer, segment, [&](int t, int seg) {
    ct().seg[t][seg].cmp[compare_reg & 1] = value;
    arm_segment(t, seg);
  });
}

void am_hal_ctimer_period_set(uint32_t timer, uint32_t segment, uint32_t period, uint32_t on_time) {
  for_segments(timer, segment, [&](int t, int seg) {
    Segment& s = ct().seg[t][seg];
    s.cmp[0] = period;
    s.cmp[1] = on_time;
    arm_segment(t, seg);
  });
}

void am_hal_ctimer_aux_period_set(uint32_t timer, uint32_t segment, uint32_t period,
                                  uint32_t on_time) {
  for_segments(timer, segment, [&](int t, int seg) {
    Segment& s = ct().seg[t][seg];
    s.aux[0] = period;
    s.aux[1] = on_time;
  });
}

uint32_t am_hal_ctimer_output_config(uint32_t timer, uint32_t segment, uint32_t pad, uint32_t mode,
                                     uint32_t) {
  if (timer >= kTimers || pad >= AM_HAL_GPIO_MAX_PADS) return AM_HAL_STATUS_INVALID_ARG;
  for_segments(timer, segment, [&](int t, int seg) {
    Segment& s = ct().seg[t][seg];
    s.pad = pad;
    s.mode = mode;
  });
  if (mode == AM_HAL_CTIMER_OUTPUT_FORCE0) sim::pin_output(static_cast<uint16_t>(pad), 0);
  if (mode == AM_HAL_CTIMER_OUTPUT_FORCE1) sim::pin_output(static_cast<uint16_t>(pad), 1);
  return AM_HAL_STATUS_SUCCESS;
}

void am_hal_ctimer_int_enable(uint32_t mask) {
  ct().int_enable |= mask;
  ctimer_update_line();
}
void am_hal_ctimer_int_disable(uint32_t mask) { ct().int_enable &= ~mask; }
void am_hal_ctimer_int_clear(uint32_t mask) { ct().int_status &= ~mask; }
void am_hal_ctimer_int_set(uint32_t mask) {
  ct().int_status |= mask;
  ctimer_update_line();
}
uint32_t am_hal_ctimer_int_status_get(bool enabled_only) {
  return enabled_only ? ct().int_status & ct().int_enable : ct().int_status;
}
void am_hal_ctimer_int_register(uint32_t mask, am_hal_ctimer_handler_t handler) {
  for (int b = 0; b < 32; ++b)
    if (mask & (1u << b)) ct().handler[b] = handler;
}
void am_hal_ctimer_int_service(uint32_t status) {
  for (int b = 0; b < 32; ++b) {
    if ((status & (1u << b)) && ct().handler[b]) ct().handler[b]();
  }
}

}  // extern "C"
