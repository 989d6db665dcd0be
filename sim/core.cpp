// Clock, event queue, interrupt controller and the small chip state (pins,
// analogue inputs, retained registers, unique id) of the simulated chip.
#include <algorithm>
#include <memory>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core_internal.h"
#include "sim/chip.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "sim/stack.h"

#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#define SIM_ASAN 1
#include <sanitizer/common_interface_defs.h>
#endif

// sim_call_on_stack(top, fn, arg): calls fn(arg) with the stack pointer at
// `top` (16-byte aligned) and comes back to the caller's stack.
#if defined(__x86_64__) || defined(__aarch64__)
#define SIM_OWN_STACK_CALL 1
extern "C" void sim_call_on_stack(void* top, void (*fn)(void*), void* arg);
#if defined(__x86_64__)
asm(R"(
  .text
  .globl sim_call_on_stack
  .type sim_call_on_stack, @function
sim_call_on_stack:
  pushq %rbp
  movq %rsp, %rbp
  movq %rdi, %rsp
  movq %rdx, %rdi
  callq *%rsi
  movq %rbp, %rsp
  popq %rbp
  ret
  .size sim_call_on_stack, .-sim_call_on_stack
)");
#else
asm(R"(
  .text
  .globl sim_call_on_stack
  .type sim_call_on_stack, %function
sim_call_on_stack:
  stp x29, x30, [sp, #-16]!
  mov x29, sp
  mov sp, x0
  mov x0, x2
  blr x1
  mov sp, x29
  ldp x29, x30, [sp], #16
  ret
  .size sim_call_on_stack, .-sim_call_on_stack
)");
#endif
#endif

namespace sim {
namespace {

std::unique_ptr<ChipProfile>& declared_chip() {
  static std::unique_ptr<ChipProfile> c;
  return c;
}

ChipProfile generic_chip() {
  ChipProfile c;
  c.name = "generic";
  c.irq_count = 128;
  for (int port = 0; port < 16; ++port) {
    for (int n = 0; n < 16; ++n)
      c.add_pin("P" + std::string(1, static_cast<char>('A' + port)) + std::to_string(n));
  }
  c.analog = {"TEMPSENSOR", "VREFINT", "VBAT"};
  return c;
}

struct Event {
  EventFn fn;
  void* ctx;
  uint32_t arg;
  EventId id;
  time_us period;  // 0: one-shot
};

// An event in the queue: it runs at `at`; between equal times, in the
// order scheduled (`seq`).
struct Queued {
  time_us at;
  uint64_t seq;
  Event ev;
  bool before(const Queued& o) const { return at != o.at ? at < o.at : seq < o.seq; }
};

// The events of one device: a handful at a time (timers, a transfer's next
// step, a wait's deadline), taken and scheduled between nearly every two
// steps of the firmware. A vector sorted latest first (the next event is at
// the back) does this without a node allocation or a hash for each event;
// cancelling by id scans it, which for so few entries costs less than the
// index a tree or a hash map would keep up.
class EventQueue {
 public:
  bool empty() const { return q_.empty(); }
  const Queued& next() const { return q_.back(); }
  Queued take() {
    Queued e = q_.back();
    q_.pop_back();
    return e;
  }
  void add(const Queued& e) {
    // Latest first: the new entry goes after every entry that runs after it.
    auto pos = q_.end();
    while (pos != q_.begin() && (pos - 1)->before(e)) --pos;
    q_.insert(pos, e);
  }
  bool remove(EventId id) {
    for (auto it = q_.end(); it != q_.begin();) {
      --it;
      if (it->ev.id == id) {
        q_.erase(it);
        return true;
      }
    }
    return false;
  }
  bool contains(EventId id) const {
    for (const Queued& e : q_)
      if (e.ev.id == id) return true;
    return false;
  }

 private:
  std::vector<Queued> q_;
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

// Interrupt lines and the core's exceptions share one table: the chip's
// IRQ n is line n, exception e is line irq_count + e. Between equal
// priorities the lower line is taken first.
constexpr int kExceptionLines = 16;

struct Line {
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
  EventQueue queue;
  int in_event = 0;
  bool halted = false;
  uint32_t reset_count = 0;
  time_us started_at = 0;
  uint32_t quick_resets = 0;
  uint64_t progress = 0;  // events run and handlers taken
  uint32_t idle_spins = 0;

  int irq_count = chip().irq_count;
  std::vector<Line> line = std::vector<Line>(static_cast<size_t>(irq_count + kExceptionLines));
  // Bit n: line n is pending and enabled. Delivery looks only at these.
  std::vector<uint64_t> ready = std::vector<uint64_t>((line.size() + 63) / 64);
  uint32_t ready_lines = 0;  // bits set in `ready`
  uint32_t primask = 0;
  uint8_t basepri = 0;
  // A wait for a change (wait_for_change) is under way / was ended.
  bool change_wait = false;
  bool changed = false;
  std::vector<int> active;  // priorities of the running handlers

  host::GateFn gate = nullptr;
  void* gate_ctx = nullptr;
  host::QuietFn quiet = nullptr;
  void* quiet_ctx = nullptr;
  host::VoidFn idle_forever = nullptr;
  void* idle_forever_ctx = nullptr;
  host::VoidFn end_of_run = nullptr;
  void* end_of_run_ctx = nullptr;
  host::ResetFn reset = nullptr;
  void* reset_ctx = nullptr;
  std::vector<std::pair<host::VoidFn, void*>> exit_hooks;

  std::vector<uint8_t> pin_in = std::vector<uint8_t>(chip().pins.size());
  std::vector<uint8_t> pin_out = std::vector<uint8_t>(chip().pins.size());
  PinEdgeFn edge_fn = nullptr;
  void* edge_ctx = nullptr;
  host::PinOutFn pin_observer = nullptr;
  void* pin_observer_ctx = nullptr;
  struct PinWatch {
    uint16_t pin;
    PinWatchFn fn;
    void* ctx;
  };
  std::vector<PinWatch> pin_watches;
  std::map<std::string, uint32_t> analog;
  uint32_t retained[kRetainedWords] = {};
  uint32_t uid[3] = {0x0041002Du, 0x32365713u, 0x20303748u};
};

// Made on first use (models register before main) and never destroyed:
// handlers may run at exit. The program's one thread makes it, before any
// other thread exists, so no guarded initialisation is needed; the check is
// kept inline because nearly every call of the core starts with it.
Core* the_core = nullptr;
[[gnu::noinline]] Core& make_core() {
  the_core = new Core;
  return *the_core;
}
inline Core& core() { return the_core ? *the_core : make_core(); }

int current_priority() {
  const Core& c = core();
  return c.active.empty() ? kThreadPriority : c.active.back();
}

// What an interrupt must beat to be taken: the running handler's priority,
// and BASEPRI when it is set.
int masking_priority() {
  const Core& c = core();
  int p = current_priority();
  return c.basepri != 0 && c.basepri < p ? c.basepri : p;
}

void update_ready(int n) {
  Core& c = core();
  const Line& q = c.line[n];
  const uint64_t bit = uint64_t{1} << (n % 64);
  uint64_t& word = c.ready[n / 64];
  const bool was = (word & bit) != 0;
  if (q.pending && q.enabled)
    word |= bit;
  else
    word &= ~bit;
  const bool is = (word & bit) != 0;
  if (is != was) c.ready_lines += is ? 1 : static_cast<uint32_t>(-1);
}

// The pending, enabled line that would pre-empt what runs now (ignoring
// PRIMASK), or -1. Lowest priority value wins; equal values go by number.
int best_pending() {
  Core& c = core();
  if (c.ready_lines == 0) return -1;  // the usual case, checked before the priorities
  int best = -1;
  int best_prio = masking_priority();
  for (size_t w = 0; w < c.ready.size(); ++w) {
    for (uint64_t bits = c.ready[w]; bits; bits &= bits - 1) {
      int n = static_cast<int>(w * 64) + __builtin_ctzll(bits);
      const Line& q = c.line[n];
      if (q.priority < best_prio) {
        best = n;
        best_prio = q.priority;
      }
    }
  }
  return best;
}

std::string line_name(int n) {
  int irqs = core().irq_count;
  return n < irqs ? "interrupt " + std::to_string(n) : "exception " + std::to_string(n - irqs);
}

// ------------------------------------------------------ the main stack --
// Handlers and hardware events run here while thread mode is on a process
// stack. Kept apart from Core: a reset of the core keeps the stack.
constexpr size_t kMainStack = 8u << 20;
constexpr size_t kMainGuard = 64u << 10;

struct MainStack {
  bool process_mode = false;  // thread mode on a process stack
  bool on_main = false;
  char* bottom = nullptr;
};
MainStack& main_stack() {
  static MainStack m;
  return m;
}

char* main_stack_bottom() {
  MainStack& m = main_stack();
  if (!m.bottom) {
    void* map = mmap(nullptr, kMainStack + kMainGuard, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED) fatal("no host memory for the main stack");
    mprotect(map, kMainGuard, PROT_NONE);
    m.bottom = static_cast<char*>(map) + kMainGuard;
  }
  return m.bottom;
}

struct MainCall {
  void (*fn)(void*);
  void* arg;
  const void* from_bottom = nullptr;
  size_t from_size = 0;
};

[[maybe_unused]] void main_trampoline(void* p) {
  auto* call = static_cast<MainCall*>(p);
#ifdef SIM_ASAN
  __sanitizer_finish_switch_fiber(nullptr, &call->from_bottom, &call->from_size);
#endif
  call->fn(call->arg);
#ifdef SIM_ASAN
  // Nothing on the main stack outlives the call: its fake frames can go.
  __sanitizer_start_switch_fiber(nullptr, call->from_bottom, call->from_size);
#endif
}

// Runs fn(arg) on the main stack when thread mode is on a process stack and
// the caller is not there already; else where the caller is.
void on_main(void (*fn)(void*), void* arg) {
  MainStack& m = main_stack();
#ifdef SIM_OWN_STACK_CALL
  if (m.process_mode && !m.on_main) {
    char* bottom = main_stack_bottom();
    MainCall call{fn, arg};
    m.on_main = true;
#ifdef SIM_ASAN
    void* fake = nullptr;
    __sanitizer_start_switch_fiber(&fake, bottom, kMainStack);
#endif
    sim_call_on_stack(bottom + kMainStack, main_trampoline, &call);
#ifdef SIM_ASAN
    __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
    m.on_main = false;
    return;
  }
#else
  (void)m;
#endif
  fn(arg);
}

void deliver_ready();

// Takes the interrupts that are due; nothing to do in the usual case, which
// is checked inline.
inline void deliver() {
  const Core& c = core();
  if (c.ready_lines != 0 && !c.primask) deliver_ready();
}

void deliver_ready_here(void*) {
  Core& c = core();
  if (c.halted || c.in_event) return;
  for (;;) {
    if (c.primask) return;
    int n = best_pending();
    if (n < 0) return;
    Line& q = c.line[n];
    q.pending = false;
    update_ready(n);
    if (!q.handler) {
      log("%s has no handler; ignored", line_name(n).c_str());
      continue;
    }
    ++c.progress;
    c.active.push_back(q.priority);
    q.handler();
    c.active.pop_back();
  }
}

void deliver_ready() { on_main(deliver_ready_here, nullptr); }

time_us next_event_time() {
  Core& c = core();
  return c.queue.empty() ? kNever : c.queue.next().at;
}

void run_one_event() {
  Core& c = core();
  Queued q = c.queue.take();
  const Event& ev = q.ev;
  if (ev.period) c.queue.add(Queued{q.at + ev.period, c.seq++, ev});
  if (q.at > c.now) c.now = q.at;
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
namespace {
void core_advance_here(time_us target, bool wake) {
  Core& c = core();
  for (;;) {
    if (wake && (c.changed || best_pending() >= 0)) return;
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

struct AdvanceCall {
  time_us target;
  bool wake;
};
void advance_call(void* p) {
  auto* a = static_cast<AdvanceCall*>(p);
  core_advance_here(a->target, a->wake);
}
}  // namespace

void core_advance(time_us target, bool wake) {
  AdvanceCall a{target, wake};
  on_main(advance_call, &a);
}

void set_thread_on_process_stack(bool on) { main_stack().process_mode = on; }
void run_on_main_stack(void (*fn)(void*), void* arg) { on_main(fn, arg); }
bool thread_on_process_stack() { return main_stack().process_mode; }
bool on_main_stack() { return main_stack().on_main; }
void main_stack_bounds(const void** bottom, size_t* size) {
  *bottom = main_stack_bottom();
  *size = kMainStack;
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
  c.queue.add(Queued{at, c.seq++, Event{fn, ctx, arg, id, period}});
  return id;
}

EventId schedule(time_us at, EventFn fn, void* ctx, uint32_t arg) {
  return schedule_impl(at, 0, fn, ctx, arg);
}

EventId schedule_periodic(time_us first, time_us period, EventFn fn, void* ctx, uint32_t arg) {
  if (period == 0) period = 1;
  return schedule_impl(first, period, fn, ctx, arg);
}

void cancel(EventId id) { core().queue.remove(id); }

bool scheduled(EventId id) { return core().queue.contains(id); }

// ----------------------------------------------------------- interrupts ---
namespace {
int irq_line(int irqn, const char* what) {
  if (irqn < 0 || irqn >= core().irq_count)
    fatal("%s(%d): the chip (%s) has IRQs 0 to %d", what, irqn, chip().name.c_str(),
          core().irq_count - 1);
  return irqn;
}

bool is_exception(int exc) {
  return exc >= 4 && exc <= 15 && !(exc >= 7 && exc <= 10) && exc != 13;
}

int exception_line(int exc, const char* what) {
  if (!is_exception(exc))
    fatal("%s(%d): not a configurable exception of the core (4-6, 11, 12, 14, 15)", what, exc);
  return core().irq_count + exc;
}

void line_set_handler(int n, IsrFn fn) { core().line[n].handler = fn; }

void line_enable(int n, bool enable) {
  core().line[n].enabled = enable;
  update_ready(n);
  if (enable) deliver();
}

void line_set_pending(int n) {
  core().line[n].pending = true;
  update_ready(n);
  deliver();
}

void line_clear_pending(int n) {
  core().line[n].pending = false;
  update_ready(n);
}
}  // namespace

int irq_count() { return core().irq_count; }

void irq_set_handler(int irqn, IsrFn fn) {
  line_set_handler(irq_line(irqn, "irq_set_handler"), fn);
}
void irq_enable(int irqn, bool enable) { line_enable(irq_line(irqn, "irq_enable"), enable); }
bool irq_enabled(int irqn) { return core().line[irq_line(irqn, "irq_enabled")].enabled; }
void irq_set_priority(int irqn, uint8_t priority) {
  core().line[irq_line(irqn, "irq_set_priority")].priority = priority;
}
void irq_set_pending(int irqn) { line_set_pending(irq_line(irqn, "irq_set_pending")); }
void irq_clear_pending(int irqn) { line_clear_pending(irq_line(irqn, "irq_clear_pending")); }
bool irq_pending(int irqn) { return core().line[irq_line(irqn, "irq_pending")].pending; }

void exception_set_handler(int exc, IsrFn fn) {
  line_set_handler(exception_line(exc, "exception_set_handler"), fn);
}
void exception_enable(int exc, bool enable) {
  line_enable(exception_line(exc, "exception_enable"), enable);
}
bool exception_enabled(int exc) {
  return core().line[exception_line(exc, "exception_enabled")].enabled;
}
void exception_set_priority(int exc, uint8_t priority) {
  core().line[exception_line(exc, "exception_set_priority")].priority = priority;
}
void exception_set_pending(int exc) {
  line_set_pending(exception_line(exc, "exception_set_pending"));
}
void exception_clear_pending(int exc) {
  line_clear_pending(exception_line(exc, "exception_clear_pending"));
}
bool exception_pending(int exc) {
  return core().line[exception_line(exc, "exception_pending")].pending;
}

uint32_t get_primask() { return core().primask; }

void set_primask(uint32_t value) {
  core().primask = value & 1u;
  if (!core().primask) deliver();
}

uint8_t get_basepri() { return core().basepri; }

void set_basepri(uint8_t value) {
  uint8_t was = core().basepri;
  core().basepri = value;
  if (was != 0 && (value == 0 || value > was)) deliver();
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
    for (size_t w = 0; w < c.ready.size() && n < 0; ++w) {
      if (c.ready[w]) n = static_cast<int>(w * 64) + __builtin_ctzll(c.ready[w]);
    }
    log("the firmware waits for an interrupt while %s is pending and PRIMASK holds it "
        "off: the wait returns at once, over and over; time moves on while it spins",
        n < 0 ? "no line" : line_name(n).c_str());
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

namespace {
void change_deadline(void*, uint32_t) { signal_change(); }
}  // namespace

void wait_for_change(time_us deadline) {
  Core& c = core();
  time_us now_ = c.now;
  if (now_ >= deadline) return;
  if (c.primask) {
    // Interrupts are masked: nothing that would signal can be taken, so the
    // caller polls at a fine step.
    cpu_spend(std::min<time_us>(deadline - now_, 50));
    return;
  }
  // A handler may wait too (nested): the outer wait keeps its own state.
  // Interrupts already pending are taken before the wait is set up.
  deliver();
  bool outer_wait = c.change_wait;
  c.change_wait = true;
  c.changed = false;
  EventId ev = deadline != kNever ? schedule(deadline, change_deadline, nullptr) : 0;
  wait_for_interrupt();
  c.change_wait = outer_wait;
  c.changed = false;
  if (ev) cancel(ev);
}

void signal_change() {
  Core& c = core();
  if (c.change_wait) c.changed = true;
}

void cpu_spend(time_us us) {
  time_us now_ = core().now;
  time_us t = us > kNever - now_ ? kNever : now_ + us;
  run_until(t);
}

void cpu_spend_quiet(time_us us) {
  Core& c = core();
  const time_us from = c.now;
  const time_us t = us > kNever - from ? kNever : from + us;
  if (us && c.quiet && !c.in_event) {
    // What is due now runs first, as before any move of time (a command that
    // changed an interrupt line leaves such an event).
    run_until(from);
    // With no event inside the span nothing of this device happens in it (no
    // interrupt can become pending either), so the only thing a grant could
    // change is input from outside; where none can come before the span
    // ends, the clock simply moves. An event due at the very end takes a
    // grant (it may put something on the air, which those granted alongside
    // must see at its time).
    if (c.now == from && t < c.deadline && next_event_time() > t && t < c.quiet(c.quiet_ctx))
      c.now = t;
  }
  run_until(t);
}

void run_until(time_us t) {
  deliver();
  core_advance(t, false);
  deliver();
}

// ---------------------------------------------------- pins and analogue ---
namespace {
std::string valid_pins() {
  std::string all;
  for (const std::string& n : chip().pins) {
    if (n.empty()) continue;
    if (!all.empty()) all += ' ';
    all += n;
  }
  return all;
}

bool pin_exists(uint16_t pin) { return pin < chip().pins.size() && !chip().pins[pin].empty(); }

uint16_t pin_checked(uint16_t pin, const char* what) {
  if (!pin_exists(pin)) fatal("%s: the chip (%s) has no pin %u", what, chip().name.c_str(), pin);
  return pin;
}

bool analog_exists(const std::string& name) {
  const ChipProfile& ch = chip();
  if (std::find(ch.analog.begin(), ch.analog.end(), name) != ch.analog.end()) return true;
  return !name.empty() && std::find(ch.pins.begin(), ch.pins.end(), name) != ch.pins.end();
}

void analog_checked(const char* channel, const char* what) {
  if (!channel || !analog_exists(channel))
    fatal("%s: the chip (%s) has no analogue input %s (valid: %s)", what, chip().name.c_str(),
          channel ? channel : "(null)", host::valid_analog_names().c_str());
}
}  // namespace

uint16_t pin_count() { return static_cast<uint16_t>(chip().pins.size()); }

uint16_t pin(const char* name) {
  uint16_t index;
  if (!host::parse_pin(name, &index))
    fatal("the chip (%s) has no pin %s (pins: %s)", chip().name.c_str(), name ? name : "(null)",
          valid_pins().c_str());
  return index;
}

int pin_input(uint16_t pin) { return core().pin_in[pin_checked(pin, "pin_input")]; }

namespace {
void edge_event(void*, uint32_t arg) {
  Core& c = core();
  uint16_t pin = static_cast<uint16_t>(arg & 0xFFFF);
  int level = static_cast<int>(arg >> 16);
  if (c.edge_fn) c.edge_fn(c.edge_ctx, pin, level);
}
}  // namespace

void pin_set_input(uint16_t pin, int level) {
  pin_checked(pin, "pin_set_input");
  level = level ? 1 : 0;
  Core& c = core();
  if (c.pin_in[pin] == level) return;
  c.pin_in[pin] = static_cast<uint8_t>(level);
  schedule(c.now, edge_event, nullptr,
           static_cast<uint32_t>(pin) | (static_cast<uint32_t>(level) << 16));
}

void pin_output(uint16_t pin, int level) {
  pin_checked(pin, "pin_output");
  level = level ? 1 : 0;
  Core& c = core();
  if (c.pin_out[pin] == level) return;
  c.pin_out[pin] = static_cast<uint8_t>(level);
  if (c.pin_observer) c.pin_observer(c.pin_observer_ctx, pin, level);
  // A copy: a watcher may stop watching from its callback.
  std::vector<Core::PinWatch> watches = c.pin_watches;
  for (const Core::PinWatch& w : watches)
    if (w.pin == pin) w.fn(w.ctx, pin, level);
}

void pin_watch(uint16_t pin, PinWatchFn fn, void* ctx) {
  pin_checked(pin, "pin_watch");
  core().pin_watches.push_back({pin, fn, ctx});
}

void pin_unwatch(uint16_t pin, PinWatchFn fn, void* ctx) {
  auto& v = core().pin_watches;
  for (auto it = v.begin(); it != v.end(); ++it) {
    if (it->pin == pin && it->fn == fn && it->ctx == ctx) {
      v.erase(it);
      return;
    }
  }
}

int pin_output_level(uint16_t pin) { return core().pin_out[pin_checked(pin, "pin_output_level")]; }

void pin_set_edge_handler(PinEdgeFn fn, void* ctx) {
  core().edge_fn = fn;
  core().edge_ctx = ctx;
}

void analog_set_mv(const char* channel, uint32_t millivolts) {
  analog_checked(channel, "analog_set_mv");
  core().analog[channel] = millivolts;
}

uint32_t analog_mv(const char* channel) {
  analog_checked(channel, "analog_mv");
  auto& a = core().analog;
  auto it = a.find(channel);
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
namespace {
struct Format {
  const char* fmt;
  va_list* ap;
};
// The reports are the simulator's own: formatted on the main stack, so that
// they take nothing from a task's stack.
void fatal_here(void* p) {
  auto* f = static_cast<Format*>(p);
  char buf[2048];
  std::vsnprintf(buf, sizeof buf, f->fmt, *f->ap);
  log("%s; the program stops", buf);
  host::finish(kFatalExit);
}
void log_here(void* p) {
  auto* f = static_cast<Format*>(p);
  char buf[1024];
  int n = std::vsnprintf(buf, sizeof buf, f->fmt, *f->ap);
  if (n < 0) return;
  std::string line = "sim: ";
  line += buf;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}
}  // namespace

void fatal(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  Format f{fmt, &ap};
  on_main(fatal_here, &f);
  va_end(ap);
  std::abort();  // not reached: finish() ends the program
}

uint32_t unique_id(int word) { return word >= 0 && word < 3 ? core().uid[word] : 0; }

void log(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  Format f{fmt, &ap};
  on_main(log_here, &f);
  va_end(ap);
}

// ------------------------------------------------------------ host side ---
namespace host {

void set_gate(GateFn fn, void* ctx) {
  core().gate = fn;
  core().gate_ctx = ctx;
}

void set_quiet_query(QuietFn fn, void* ctx) {
  core().quiet = fn;
  core().quiet_ctx = ctx;
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
  core().pin_in[pin_checked(pin, "pin_preset_input")] = level ? 1 : 0;
}

void pin_set_output_observer(PinOutFn fn, void* ctx) {
  core().pin_observer = fn;
  core().pin_observer_ctx = ctx;
}

bool parse_pin(const char* name, uint16_t* pin) {
  if (!name || !*name) return false;
  const auto& pins = chip().pins;
  auto it = std::find(pins.begin(), pins.end(), name);
  if (it == pins.end()) return false;
  *pin = static_cast<uint16_t>(it - pins.begin());
  return true;
}

std::string pin_name(uint16_t pin) { return chip().pins[pin_checked(pin, "pin_name")]; }

std::string valid_pin_names() { return valid_pins(); }

std::string valid_analog_names() {
  std::string all = valid_pins();
  for (const std::string& a : chip().analog) all += " " + a;
  return all;
}

void set_unique_id(uint32_t w0, uint32_t w1, uint32_t w2) {
  core().uid[0] = w0;
  core().uid[1] = w1;
  core().uid[2] = w2;
}

}  // namespace host
}  // namespace sim

namespace sim {

const ChipProfile& chip() {
  static const ChipProfile generic = generic_chip();
  const auto& declared = declared_chip();
  return declared ? *declared : generic;
}

ChipRegistrar::ChipRegistrar(ChipProfile profile) {
  auto& declared = declared_chip();
  if (declared) {
    std::fprintf(stderr, "sim: two chips in one program (%s and %s)\n", declared->name.c_str(),
                 profile.name.c_str());
    std::abort();
  }
  if (profile.irq_count < 0 || profile.irq_count > ChipProfile::kMaxIrqs) {
    std::fprintf(stderr, "sim: chip %s: %d IRQs (0 to %d allowed)\n", profile.name.c_str(),
                 profile.irq_count, ChipProfile::kMaxIrqs);
    std::abort();
  }
  declared = std::make_unique<ChipProfile>(std::move(profile));
}

}  // namespace sim
