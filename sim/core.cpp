// Clock, event queue, interrupt controller and the small chip state (pins,
// analogue inputs, retained registers, unique id) of the simulated chip.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "core_internal.h"
#include "sim/host.h"
#include "sim/sim.h"

namespace sim {
namespace {

struct Event {
  EventFn fn;
  void* ctx;
  uint32_t arg;
  EventId id;
  time_us period;  // 0: one-shot
};

struct Key {
  time_us at;
  uint64_t seq;
  bool operator<(const Key& o) const { return at != o.at ? at < o.at : seq < o.seq; }
};

constexpr int kThreadPriority = 256;  // below every configurable priority

// A wait for an interrupt that returns this many times in a row with nothing
// done (no time moved, no event run, no handler taken) is a spin on an
// interrupt that PRIMASK holds off: the CPU goes round its loop while time
// passes, so time moves on to the next event at each further pass.
constexpr uint32_t kSpinLimit = 1000;
constexpr time_us kSpinStep = 1000;
// A device that resets this many times in a row, each time less than
// kQuickReset after it started, fails its start-up the same way every time
// and would do so for ever: the core halts.
constexpr uint32_t kResetLoopLimit = 8;
constexpr time_us kQuickReset = 1000;

struct Irq {
  IsrFn handler = nullptr;
  bool enabled = false;
  bool pending = false;
  uint8_t priority = 0;
};

struct Core {
  time_us now = 0;
  time_us deadline = kNever;
  uint64_t seq = 0;
  EventId next_id = 1;
  std::map<Key, Event> queue;
  std::unordered_map<EventId, Key> live;
  int in_event = 0;
  bool halted = false;
  uint32_t reset_count = 0;
  time_us started_at = 0;
  uint32_t quick_resets = 0;
  uint64_t progress = 0;  // events run and handlers taken
  uint32_t idle_spins = 0;

  Irq irq[kMaxIrq];
  uint32_t primask = 0;
  std::vector<int> active;  // priorities of the running handlers

  host::GateFn gate = nullptr;
  void* gate_ctx = nullptr;
  host::VoidFn idle_forever = nullptr;
  void* idle_forever_ctx = nullptr;
  host::VoidFn end_of_run = nullptr;
  void* end_of_run_ctx = nullptr;
  host::ResetFn reset = nullptr;
  void* reset_ctx = nullptr;
  std::vector<std::pair<host::VoidFn, void*>> exit_hooks;

  int pin_in[host::kMaxPins] = {};
  int pin_out[host::kMaxPins] = {};
  PinEdgeFn edge_fn = nullptr;
  void* edge_ctx = nullptr;
  host::PinOutFn pin_observer = nullptr;
  void* pin_observer_ctx = nullptr;
  std::map<std::string, uint32_t> analog;
  uint32_t retained[kRetainedWords] = {};
  uint32_t uid[3] = {0x0041002Du, 0x32365713u, 0x20303748u};
};

Core& core() {
  static Core* c = new Core;  // never destroyed: handlers may run at exit
  return *c;
}

int current_priority() {
  const Core& c = core();
  return c.active.empty() ? kThreadPriority : c.active.back();
}

// The pending, enabled interrupt that would pre-empt what runs now (ignoring
// PRIMASK), or -1. Lowest priority value wins; equal values go by number.
int best_pending() {
  Core& c = core();
  int best = -1;
  int best_prio = current_priority();
  for (int n = 0; n < kMaxIrq; ++n) {
    const Irq& q = c.irq[n];
    if (q.pending && q.enabled && q.priority < best_prio) {
      best = n;
      best_prio = q.priority;
    }
  }
  return best;
}

void deliver() {
  Core& c = core();
  if (c.halted || c.in_event) return;
  for (;;) {
    if (c.primask) return;
    int n = best_pending();
    if (n < 0) return;
    Irq& q = c.irq[n];
    q.pending = false;
    if (!q.handler) {
      log("interrupt %d has no handler; ignored", n);
      continue;
    }
    ++c.progress;
    c.active.push_back(q.priority);
    q.handler();
    c.active.pop_back();
  }
}

time_us next_event_time() {
  Core& c = core();
  return c.queue.empty() ? kNever : c.queue.begin()->first.at;
}

void run_one_event() {
  Core& c = core();
  auto it = c.queue.begin();
  Key key = it->first;
  Event ev = it->second;
  c.queue.erase(it);
  if (ev.period) {
    Key next{key.at + ev.period, c.seq++};
    c.queue.emplace(next, ev);
    c.live[ev.id] = next;
  } else {
    c.live.erase(ev.id);
  }
  if (key.at > c.now) c.now = key.at;
  ++c.progress;
  ++c.in_event;
  ev.fn(ev.ctx, ev.arg);
  --c.in_event;
}

void end_run() {
  Core& c = core();
  if (c.end_of_run) c.end_of_run(c.end_of_run_ctx);
  host::finish(0);
}

void idle_forever() {
  Core& c = core();
  if (c.idle_forever) c.idle_forever(c.idle_forever_ctx);
  log("the device waits for ever: nothing is scheduled and no input can come");
  std::abort();
}

}  // namespace

// Moves virtual time. With `wake`, returns as soon as an interrupt that
// would pre-empt is pending (WFI); otherwise runs until `target`, delivering
// interrupts after each event.
void core_advance(time_us target, bool wake) {
  Core& c = core();
  for (;;) {
    if (wake && best_pending() >= 0) return;
    time_us next = next_event_time();
    time_us want = wake ? next : std::min(next, target);
    if (want >= c.deadline) want = c.deadline;
    if (next <= c.now && next < c.deadline) {
      // Due now: no time moves, no gate needed.
      run_one_event();
      if (!wake) deliver();
      continue;
    }
    if (!wake && c.now >= target) return;
    time_us allowed = want;
    if (want > c.now && c.gate) allowed = c.gate(c.gate_ctx, c.now, want);
    if (allowed < c.now) allowed = c.now;
    if (allowed > want) allowed = want;
    next = next_event_time();  // the gate may have scheduled input
    if (next <= allowed && next < c.deadline) {
      run_one_event();
      if (!wake) deliver();
      continue;
    }
    if (allowed == kNever) idle_forever();
    c.now = allowed;
    if (c.now >= c.deadline) end_run();
  }
}

void core_deliver() { deliver(); }
bool core_in_event() { return core().in_event != 0; }

// ---------------------------------------------------------------- clock ---
time_us now() { return core().now; }

static EventId schedule_impl(time_us at, time_us period, EventFn fn, void* ctx, uint32_t arg) {
  Core& c = core();
  if (at < c.now) at = c.now;
  EventId id = c.next_id++;
  if (c.next_id == 0) c.next_id = 1;
  Key key{at, c.seq++};
  c.queue.emplace(key, Event{fn, ctx, arg, id, period});
  c.live[id] = key;
  return id;
}

EventId schedule(time_us at, EventFn fn, void* ctx, uint32_t arg) {
  return schedule_impl(at, 0, fn, ctx, arg);
}

EventId schedule_periodic(time_us first, time_us period, EventFn fn, void* ctx, uint32_t arg) {
  if (period == 0) period = 1;
  return schedule_impl(first, period, fn, ctx, arg);
}

void cancel(EventId id) {
  Core& c = core();
  auto it = c.live.find(id);
  if (it == c.live.end()) return;
  c.queue.erase(it->second);
  c.live.erase(it);
}

bool scheduled(EventId id) { return core().live.count(id) != 0; }

// ----------------------------------------------------------- interrupts ---
static bool irq_ok(int n) { return n >= 0 && n < kMaxIrq; }

void irq_set_handler(int irqn, IsrFn fn) {
  if (irq_ok(irqn)) core().irq[irqn].handler = fn;
}

void irq_enable(int irqn, bool enable) {
  if (!irq_ok(irqn)) return;
  core().irq[irqn].enabled = enable;
  if (enable) deliver();
}

bool irq_enabled(int irqn) { return irq_ok(irqn) && core().irq[irqn].enabled; }

void irq_set_priority(int irqn, uint8_t priority) {
  if (irq_ok(irqn)) core().irq[irqn].priority = priority;
}

void irq_set_pending(int irqn) {
  if (!irq_ok(irqn)) return;
  core().irq[irqn].pending = true;
  deliver();
}

void irq_clear_pending(int irqn) {
  if (irq_ok(irqn)) core().irq[irqn].pending = false;
}

bool irq_pending(int irqn) { return irq_ok(irqn) && core().irq[irqn].pending; }

uint32_t get_primask() { return core().primask; }

void set_primask(uint32_t value) {
  core().primask = value & 1u;
  if (!core().primask) deliver();
}

bool in_isr() { return !core().active.empty(); }

// ---------------------------------------------------------- waiting -------
void wait_for_interrupt() {
  Core& c = core();
  // A handler made pending by the firmware itself may already be deliverable.
  deliver();
  time_us was = c.now;
  uint64_t done = c.progress;
  core_advance(kNever, true);
  deliver();
  if (c.now != was || c.progress != done) {
    c.idle_spins = 0;
    return;
  }
  if (++c.idle_spins < kSpinLimit) return;
  if (c.idle_spins == kSpinLimit) {
    int n = -1;
    for (int i = 0; i < kMaxIrq && n < 0; ++i) {
      if (c.irq[i].pending && c.irq[i].enabled) n = i;
    }
    log("the firmware waits for an interrupt while interrupt %d is pending and PRIMASK holds it "
        "off: the wait returns at once, over and over; time moves on while it spins",
        n);
  }
  time_us next = next_event_time();
  if (next == kNever && c.deadline == kNever && !c.gate) {
    log("the firmware spins on an interrupt that PRIMASK holds off, and nothing is scheduled");
    idle_forever();
  }
  // With nothing scheduled, outside input (through the gate) or the end of
  // the run may still come: time moves in steps.
  run_until(next != kNever ? next : c.now + kSpinStep);
}

void cpu_spend(time_us us) {
  time_us now_ = core().now;
  time_us t = us > kNever - now_ ? kNever : now_ + us;
  run_until(t);
}

void run_until(time_us t) {
  deliver();
  core_advance(t, false);
  deliver();
}

// ---------------------------------------------------- pins and analogue ---
static bool pin_ok(uint16_t pin) { return pin < host::kMaxPins; }

int pin_input(uint16_t pin) { return pin_ok(pin) ? core().pin_in[pin] : 0; }

namespace {
void edge_event(void*, uint32_t arg) {
  Core& c = core();
  uint16_t pin = static_cast<uint16_t>(arg & 0xFFFF);
  int level = static_cast<int>(arg >> 16);
  if (c.edge_fn) c.edge_fn(c.edge_ctx, pin, level);
}
}  // namespace

void pin_set_input(uint16_t pin, int level) {
  if (!pin_ok(pin)) return;
  level = level ? 1 : 0;
  Core& c = core();
  if (c.pin_in[pin] == level) return;
  c.pin_in[pin] = level;
  schedule(c.now, edge_event, nullptr, static_cast<uint32_t>(pin) | (static_cast<uint32_t>(level) << 16));
}

void pin_output(uint16_t pin, int level) {
  if (!pin_ok(pin)) return;
  level = level ? 1 : 0;
  Core& c = core();
  if (c.pin_out[pin] == level) return;
  c.pin_out[pin] = level;
  if (c.pin_observer) c.pin_observer(c.pin_observer_ctx, pin, level);
}

int pin_output_level(uint16_t pin) { return pin_ok(pin) ? core().pin_out[pin] : 0; }

void pin_set_edge_handler(PinEdgeFn fn, void* ctx) {
  core().edge_fn = fn;
  core().edge_ctx = ctx;
}

void analog_set_mv(const char* channel, uint32_t millivolts) {
  core().analog[channel ? channel : ""] = millivolts;
}

uint32_t analog_mv(const char* channel) {
  auto& a = core().analog;
  auto it = a.find(channel ? channel : "");
  return it == a.end() ? 0 : it->second;
}

// --------------------------------------------------------- retained state -
uint32_t retained_read(int index) {
  return index >= 0 && index < kRetainedWords ? core().retained[index] : 0;
}

void retained_write(int index, uint32_t value) {
  if (index >= 0 && index < kRetainedWords) core().retained[index] = value;
}

void retained_clear_all() { std::memset(core().retained, 0, sizeof core().retained); }

uint32_t reset_count() { return core().reset_count; }

// --------------------------------------------------------------- resets ---
namespace {
void note_reset() {
  Core& c = core();
  c.quick_resets = c.now - c.started_at < kQuickReset ? c.quick_resets + 1 : 0;
  if (c.quick_resets < kResetLoopLimit) return;
  log("the device has reset %u times in a row, each time less than %u us after it started "
      "(a start-up that fails the same way every time, such as a peripheral set-up that is "
      "refused): it would never get further; the core halts",
      static_cast<unsigned>(c.quick_resets), static_cast<unsigned>(kQuickReset));
  halt();
}
}  // namespace

void system_reset() {
  Core& c = core();
  note_reset();
  if (c.reset) c.reset(c.reset_ctx, nullptr);
  log("system reset without a launcher");
  std::abort();
}

void start_image(const char* image_name) {
  Core& c = core();
  note_reset();
  if (c.reset) c.reset(c.reset_ctx, image_name ? image_name : "");
  log("start_image(%s) without a launcher", image_name ? image_name : "");
  std::abort();
}

void halt() {
  Core& c = core();
  c.halted = true;
  for (;;) core_advance(kNever, false);
}

// --------------------------------------------------------------- misc -----
uint32_t unique_id(int word) { return word >= 0 && word < 3 ? core().uid[word] : 0; }

void log(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  std::string line = "sim: ";
  line += buf;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// ------------------------------------------------------------ host side ---
namespace host {

void set_gate(GateFn fn, void* ctx) {
  core().gate = fn;
  core().gate_ctx = ctx;
}

void set_deadline(time_us t) { core().deadline = t; }
time_us deadline() { return core().deadline; }

void set_idle_forever_handler(VoidFn fn, void* ctx) {
  core().idle_forever = fn;
  core().idle_forever_ctx = ctx;
}

void set_end_of_run_handler(VoidFn fn, void* ctx) {
  core().end_of_run = fn;
  core().end_of_run_ctx = ctx;
}

void add_exit_hook(VoidFn fn, void* ctx) { core().exit_hooks.emplace_back(fn, ctx); }

void finish(int code) {
  auto hooks = core().exit_hooks;
  core().exit_hooks.clear();
  for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) it->first(it->second);
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(code);
}

void set_reset_handler(ResetFn fn, void* ctx) {
  core().reset = fn;
  core().reset_ctx = ctx;
}

void reset_core() {
  Core& c = core();
  c.~Core();
  new (&c) Core;
  uart_reset_all();
  buses_reset_all();
  flash_close();
}

void set_now(time_us t) { core().now = t; }
void set_reset_count(uint32_t n) { core().reset_count = n; }

uint32_t quick_resets() { return core().quick_resets; }

void set_quick_resets(uint32_t n) {
  core().quick_resets = n;
  core().started_at = core().now;
}
bool halted() { return core().halted; }

void pin_preset_input(uint16_t pin, int level) {
  if (pin_ok(pin)) core().pin_in[pin] = level ? 1 : 0;
}

void pin_set_output_observer(PinOutFn fn, void* ctx) {
  core().pin_observer = fn;
  core().pin_observer_ctx = ctx;
}

bool parse_pin(const char* name, uint16_t* pin) {
  if (!name || name[0] != 'P' || name[1] < 'A' || name[1] > 'P') return false;
  const char* p = name + 2;
  if (*p < '0' || *p > '9') return false;
  int n = 0;
  while (*p >= '0' && *p <= '9') {
    n = n * 10 + (*p - '0');
    if (n > 15) return false;
    ++p;
  }
  if (*p) return false;
  *pin = pin_id(name[1], n);
  return true;
}

std::string pin_name(uint16_t pin) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "P%c%d", 'A' + (pin >> 4), pin & 15);
  return buf;
}

void set_unique_id(uint32_t w0, uint32_t w1, uint32_t w2) {
  core().uid[0] = w0;
  core().uid[1] = w1;
  core().uid[2] = w2;
}

}  // namespace host
}  // namespace sim
