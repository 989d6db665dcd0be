// The kernel stand-in: tasks as coroutines (own stacks) in the one firmware
// thread, strict priorities, queues and semaphores with wait lists, a tick
// derived from the STIMER that runs only when something waits for it, and a
// heap that counts what the kernel's objects take.
//
// Task stacks. Each task runs on a host stack of its declared depth times
// kHostFactor: the host's frames are larger than the Cortex-M4's (8-byte
// pointers and saved registers, 16-byte alignment, a wider calling
// convention; several times more again with the address checker's red
// zones). Thread mode is on the process stack (sim/stack.h), so handlers and
// the simulated hardware run on the core's main stack, as on the chip, and a
// task's stack holds its own frames only. A stack is painted at creation;
// the high-water mark is the painted part never written, in chip words (the
// bytes divided by the factor). Below each stack lies a guard area without
// access. An overflow calls the overflow hook: found at a switch away from
// the task when the lowest bytes of its stack are no longer paint (the
// kernel's check method 2), or at once when the task touches the guard.
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "am_mcu_apollo.h"
#include "apollo3_sim.h"
#include "internal.h"
#include "queue.h"
#include "rtos_sim.h"
#include "sim/sim.h"
#include "sim/stack.h"
#include "task.h"

#if defined(__SANITIZE_ADDRESS__)
#define RTOS_ASAN 1
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

// Host bytes per byte of a task's declared stack (see the top of the file).
// Four matches what was measured: the UART receive task's deepest path (the
// developer trace of a received line, a 256-byte text and the C library's
// formatting) takes about 170 words here; the same path's frames in the
// chip's build, with the small C library's formatting, come to about 175.
#ifdef RTOS_ASAN
constexpr size_t kHostFactor = 12;
#else
constexpr size_t kHostFactor = 4;
#endif
// No access below a stack: wide enough that a large frame cannot step over
// it into another mapping.
constexpr size_t kGuard = 64 * 1024;
// The paint (the kernel's fill byte) and the bottom bytes the check at a
// switch expects still painted.
constexpr uint8_t kStackPaint = 0xA5;
constexpr size_t kStackCheckBytes = 16 * kHostFactor;
constexpr size_t kTcbBytes = 96;
constexpr size_t kQueueBytes = 80;
constexpr size_t kHeapBlockHeader = 8;
constexpr size_t kHeapUsable = configTOTAL_HEAP_SIZE - 8;  // after alignment

struct WaitList;

// A task's saved CPU state. On x86-64 and aarch64 it is only the stack
// pointer (the callee-saved registers are on the stack): a switch is a few
// instructions, where swapcontext would also save and restore the signal
// mask with a system call at every switch.
#if defined(__x86_64__) || defined(__aarch64__)
#define RTOS_OWN_SWITCH 1
#endif
struct Context {
#ifdef RTOS_OWN_SWITCH
  void* sp = nullptr;
#else
  ucontext_t uc{};
#endif
  void* stack_bottom = nullptr;
  size_t stack_size = 0;
};

}  // namespace

#ifdef RTOS_OWN_SWITCH
// rtos_switch(save, load): pushes the callee-saved registers, stores the
// stack pointer in *save, loads `load` and pops the other side's registers.
extern "C" void rtos_switch(void** save, void* load);
#if defined(__x86_64__)
// The callee-saved registers of the System V ABI: rbx, rbp, r12-r15.
constexpr int kSavedWords = 6;
asm(R"(
  .text
  .globl rtos_switch
  .type rtos_switch, @function
rtos_switch:
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .size rtos_switch, .-rtos_switch
)");
#elif defined(__aarch64__)
// The callee-saved registers of the AAPCS64: x19-x28, the frame pointer
// x29, the link register x30 (where the switch returns to) and the low
// halves d8-d15 of v8-v15; 160 bytes, keeping sp 16-byte aligned.
constexpr int kSavedWords = 20;
constexpr int kLinkWord = 11;  // x30's slot, counted from the saved sp
asm(R"(
  .text
  .globl rtos_switch
  .type rtos_switch, %function
rtos_switch:
  sub sp, sp, #160
  stp x19, x20, [sp, #0]
  stp x21, x22, [sp, #16]
  stp x23, x24, [sp, #32]
  stp x25, x26, [sp, #48]
  stp x27, x28, [sp, #64]
  stp x29, x30, [sp, #80]
  stp d8, d9, [sp, #96]
  stp d10, d11, [sp, #112]
  stp d12, d13, [sp, #128]
  stp d14, d15, [sp, #144]
  mov x9, sp
  str x9, [x0]
  mov sp, x1
  ldp x19, x20, [sp, #0]
  ldp x21, x22, [sp, #16]
  ldp x23, x24, [sp, #32]
  ldp x25, x26, [sp, #48]
  ldp x27, x28, [sp, #64]
  ldp x29, x30, [sp, #80]
  ldp d8, d9, [sp, #96]
  ldp d10, d11, [sp, #112]
  ldp d12, d13, [sp, #128]
  ldp d14, d15, [sp, #144]
  add sp, sp, #160
  ret
  .size rtos_switch, .-rtos_switch
)");
#endif
#endif

struct tskTaskControlBlock {
  std::string name;
  UBaseType_t priority = 0;
  UBaseType_t base_priority = 0;
  uint16_t depth = 0;
  eTaskState state = eReady;
  Context ctx;
  void* map = nullptr;  // host stack mapping (guard page included)
  TaskFunction_t code = nullptr;
  void* arg = nullptr;
  uint64_t wake = 0;  // absolute tick, while in the delayed set
  bool delayed = false;
  WaitList* waiting = nullptr;
  bool timed_out = false;
  int mutexes_held = 0;
  size_t charged = 0;
  uint64_t slice_tick = 0;
};

namespace {

using Task = tskTaskControlBlock;

struct WaitList {
  std::vector<Task*> tasks;  // highest priority first, FIFO among equals
};

}  // namespace

struct QueueDefinition {
  uint8_t type = queueQUEUE_TYPE_BASE;
  UBaseType_t length = 0;
  UBaseType_t item_size = 0;
  std::vector<uint8_t> storage;
  UBaseType_t head = 0;
  UBaseType_t count = 0;
  WaitList receivers;
  WaitList senders;
  Task* holder = nullptr;
  size_t charged = 0;
};

namespace {

using Queue = QueueDefinition;

struct Kernel {
  std::vector<Task*> tasks;  // every task ever created (deleted ones freed at reset)
  std::deque<Task*> ready[configMAX_PRIORITIES];
  std::multimap<uint64_t, Task*> delayed;
  std::vector<Task*> dead;  // deleted, host stack still to free
  std::vector<Queue*> queues;
  Task* current = nullptr;
  Task* idle = nullptr;
  Context scheduler;  // the caller of vTaskStartScheduler
  Context* switching_from = nullptr;
  bool started = false;
  bool running = false;
  int suspended_all = 0;
  UBaseType_t critical_nesting = 0;
  bool pendsv = false;
  bool yield_pending = false;
  uint64_t yield_tick = 0;
  uint64_t start_count = 0;
  sim::EventId tick_event = 0;
  uint64_t tick_event_at = 0;
  size_t heap_used = 0;
  size_t heap_min_free = kHeapUsable;
  uint64_t switches = 0;
  uint64_t idle_sleeps = 0;
};

Kernel& k() {
  static Kernel* kernel = new Kernel;
  return *kernel;
}

uint64_t now_tick() {
  const Kernel& K = k();
  if (!K.started) return 0;
  return (apollo3sim::stimer_count64() - K.start_count) / configSTIMER_COUNTS_PER_TICK;
}

const char* task_name(const Task* t) { return t ? t->name.c_str() : "(no task)"; }

// ------------------------------------------------------------ switching --
size_t page_size() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

// The host stack of a task of `depth` words.
size_t host_stack_bytes(uint16_t depth) {
  return size_t{depth} * sizeof(StackType_t) * kHostFactor;
}

// Its mapping: the guard, then whole pages whose bottom holds the stack (so
// the stack ends right on the guard; the part of the last page above the
// stack's top is left unused).
size_t host_map_bytes(uint16_t depth) {
  return kGuard + ((host_stack_bytes(depth) + page_size() - 1) & ~(page_size() - 1));
}

void free_host_stack(Task* t) {
  if (!t->map) return;
  const size_t len = host_map_bytes(t->depth);
#ifdef RTOS_ASAN
  // The checker keeps its marks for frames that lived on this stack; a later
  // mapping at the same address must not inherit them.
  __asan_unpoison_memory_region(t->map, len);
#endif
  munmap(t->map, len);
  t->map = nullptr;
}

// Bytes at the bottom of a task's stack that still hold the paint.
size_t painted_bytes(const Task* t) {
  const auto* p = static_cast<const uint8_t*>(t->ctx.stack_bottom);
  size_t n = 0;
  while (n < t->ctx.stack_size && p[n] == kStackPaint) ++n;
  return n;
}

[[noreturn]] void overflowed(Task* t) {
  vApplicationStackOverflowHook(t, const_cast<char*>(t->name.c_str()));
  // The hook is not to return; when it does the task cannot go on.
  rtos_detail::stop("stack overflow in task \"%s\" (the hook returned)", t->name.c_str());
}

// The check at a switch away from a task (method 2).
void check_stack(Task* t) {
  if (!t || !t->map || t->state == eDeleted) return;
  const auto* p = static_cast<const uint8_t*>(t->ctx.stack_bottom);
  for (size_t i = 0; i < kStackCheckBytes; ++i) {
    if (p[i] != kStackPaint) overflowed(t);
  }
}

void switch_context(Context* from, Context* to, bool from_exits) {
  Kernel& K = k();
  K.switching_from = from;
#ifdef RTOS_ASAN
  void* fake = nullptr;
  __sanitizer_start_switch_fiber(from_exits ? nullptr : &fake, to->stack_bottom, to->stack_size);
#else
  (void)from_exits;
#endif
#ifdef RTOS_OWN_SWITCH
  rtos_switch(&from->sp, to->sp);
#else
  swapcontext(&from->uc, &to->uc);
#endif
#ifdef RTOS_ASAN
  __sanitizer_finish_switch_fiber(fake, const_cast<const void**>(&K.switching_from->stack_bottom),
                                  &K.switching_from->stack_size);
#endif
  // Back in `from`: stacks of tasks that deleted themselves can go now.
  for (Task* t : K.dead) free_host_stack(t);
  K.dead.clear();
}

Task* highest_ready() {
  Kernel& K = k();
  for (int p = configMAX_PRIORITIES - 1; p >= 0; --p) {
    if (!K.ready[p].empty()) return K.ready[p].front();
  }
  return nullptr;
}

void switch_to(Task* next) {
  Kernel& K = k();
  Task* prev = K.current;
  if (next == prev || !next) return;
  K.current = next;
  next->slice_tick = now_tick();
  ++K.switches;
  const bool exits = prev && prev->state == eDeleted;
  check_stack(prev);
  switch_context(prev ? &prev->ctx : &K.scheduler, &next->ctx, exits);
}

// Runs the highest ready task (the current one stays first in its list
// while it is ready, so it continues when nothing outranks it).
void reschedule() {
  Kernel& K = k();
  if (!K.running) return;
  K.pendsv = false;
  K.yield_pending = false;
  switch_to(highest_ready());
}

bool masked() {
  return k().critical_nesting > 0 || sim::get_primask() || sim::get_basepri() ||
         k().suspended_all > 0;
}

// A task became ready that may outrank the running one.
void preempt_check() {
  Kernel& K = k();
  if (!K.running) return;
  Task* best = highest_ready();
  if (!best || !K.current || best->priority <= K.current->priority) return;
  if (rtos_detail::in_isr() || masked()) {
    K.pendsv = true;  // taken when the CPU returns to unmasked thread mode
    return;
  }
  reschedule();
}

void rotate_current() {
  Kernel& K = k();
  Task* t = K.current;
  if (!t || t->state != eReady) return;
  auto& list = K.ready[t->priority];
  list.erase(std::find(list.begin(), list.end(), t));
  list.push_back(t);
}

// The CPU is back in thread mode with interrupts unmasked (apollo3sim).
void thread_hook() {
  Kernel& K = k();
  if (!K.running || !K.current || masked()) return;
  const uint64_t tick = now_tick();
  if (K.pendsv || (K.yield_pending && tick > K.yield_tick)) {
    reschedule();
    return;
  }
  // Equal priorities take turns at tick boundaries.
  Task* t = K.current;
  if (t->state == eReady && tick > t->slice_tick && K.ready[t->priority].size() > 1) {
    rotate_current();
    reschedule();
  }
}

// A task that waits for an interrupt is woken by the tick at the latest
// (only the idle task suppresses it).
sim::time_us wfi_limit() {
  Kernel& K = k();
  if (!K.running || !K.current || K.current == K.idle) return sim::kNever;
  return apollo3sim::stimer_time_of(K.start_count +
                                    (now_tick() + 1) * configSTIMER_COUNTS_PER_TICK);
}

// ----------------------------------------------------------- the tick ----
void tick_event(void*, uint32_t) {
  k().tick_event = 0;
  sim::irq_set_pending(STIMER_CMPR0_IRQn);
}

// Schedules the tick interrupt for the earliest wake of a delayed task, or
// for the next tick when an interrupt readied a task without asking for the
// switch (the tick then makes it).
void arm_tick() {
  Kernel& K = k();
  if (!K.started) return;
  uint64_t wake = ~uint64_t{0};
  if (!K.delayed.empty()) wake = K.delayed.begin()->first;
  if (K.yield_pending) wake = std::min(wake, std::max(K.yield_tick + 1, now_tick() + 1));
  if (wake == ~uint64_t{0}) {
    if (K.tick_event) sim::cancel(K.tick_event);
    K.tick_event = 0;
    return;
  }
  if (K.tick_event && K.tick_event_at == wake) return;
  if (K.tick_event) sim::cancel(K.tick_event);
  K.tick_event_at = wake;
  K.tick_event =
      sim::schedule(apollo3sim::stimer_time_of(K.start_count + wake * configSTIMER_COUNTS_PER_TICK),
                    tick_event, nullptr);
}

void remove_from_wait(Task* t) {
  if (!t->waiting) return;
  auto& v = t->waiting->tasks;
  v.erase(std::remove(v.begin(), v.end(), t), v.end());
  t->waiting = nullptr;
}

void remove_from_delayed(Task* t) {
  if (!t->delayed) return;
  auto range = k().delayed.equal_range(t->wake);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == t) {
      k().delayed.erase(it);
      break;
    }
  }
  t->delayed = false;
}

void make_ready(Task* t) {
  remove_from_wait(t);
  remove_from_delayed(t);
  t->state = eReady;
  k().ready[t->priority].push_back(t);
}

void remove_from_ready(Task* t) {
  auto& list = k().ready[t->priority];
  auto it = std::find(list.begin(), list.end(), t);
  if (it != list.end()) list.erase(it);
}

// A task woken by an event or a timeout: the interrupted or running task
// yields to it when it outranks it.
void note_woken(Task* t, BaseType_t* woken) {
  Kernel& K = k();
  if (!K.current || t->priority <= K.current->priority) return;
  if (woken) *woken = pdTRUE;
  // In a task the caller switches at once (preempt_check).
  if (!rtos_detail::in_isr()) return;
  if (!K.yield_pending) K.yield_tick = now_tick();
  K.yield_pending = true;
  arm_tick();
}

void check_can_block(const char* what) {
  Kernel& K = k();
  if (rtos_detail::in_isr()) rtos_detail::stop("%s would block in an interrupt handler", what);
  if (!K.running) rtos_detail::stop("%s would block with no scheduler running", what);
  if (K.critical_nesting > 0)
    rtos_detail::stop("task \"%s\" blocks in %s inside a kernel critical section",
                      task_name(K.current), what);
  if (sim::get_primask())
    rtos_detail::stop("task \"%s\" blocks in %s with interrupts disabled (PRIMASK)",
                      task_name(K.current), what);
  if (sim::get_basepri())
    rtos_detail::stop("task \"%s\" blocks in %s with BASEPRI raised to 0x%02X",
                      task_name(K.current), what, sim::get_basepri());
  if (K.suspended_all > 0)
    rtos_detail::stop("task \"%s\" blocks in %s with the scheduler suspended", task_name(K.current),
                      what);
}

// Blocks the running task on `list` (may be null) until woken or until
// `deadline` (an absolute tick; ~0: no limit). True when woken by an event.
bool block(WaitList* list, uint64_t deadline, const char* what) {
  check_can_block(what);
  Kernel& K = k();
  Task* t = K.current;
  remove_from_ready(t);
  t->state = eBlocked;
  t->timed_out = false;
  if (list) {
    auto& v = list->tasks;
    auto pos = std::find_if(v.begin(), v.end(), [t](Task* o) { return o->priority < t->priority; });
    v.insert(pos, t);
    t->waiting = list;
  }
  if (deadline != ~uint64_t{0}) {
    t->wake = deadline;
    t->delayed = true;
    K.delayed.emplace(deadline, t);
    arm_tick();
  }
  reschedule();
  return !t->timed_out;
}

// Wakes the first task of a wait list (an event); returns it or nullptr.
Task* wake_one(WaitList& list) {
  if (list.tasks.empty()) return nullptr;
  Task* t = list.tasks.front();
  make_ready(t);
  arm_tick();
  return t;
}

uint64_t deadline_of(TickType_t wait) {
  return wait == portMAX_DELAY ? ~uint64_t{0} : now_tick() + wait;
}

TickType_t remaining(uint64_t deadline) {
  if (deadline == ~uint64_t{0}) return portMAX_DELAY;
  const uint64_t now = now_tick();
  return deadline > now ? static_cast<TickType_t>(deadline - now) : 0;
}

// ------------------------------------------------------------ tasks ------
void task_entry() {
  Kernel& K = k();
#ifdef RTOS_ASAN
  __sanitizer_finish_switch_fiber(nullptr,
                                  const_cast<const void**>(&K.switching_from->stack_bottom),
                                  &K.switching_from->stack_size);
#endif
  for (Task* t : K.dead) free_host_stack(t);
  K.dead.clear();
  Task* t = K.current;
  t->code(t->arg);
  rtos_detail::stop("task \"%s\" returned from its function", task_name(t));
}

void set_priority(Task* t, UBaseType_t priority) {
  if (priority >= configMAX_PRIORITIES) priority = configMAX_PRIORITIES - 1;
  if (t->priority == priority) return;
  const bool ready = t->state == eReady;
  if (ready) remove_from_ready(t);
  t->priority = priority;
  if (ready) {
    // The running task keeps running first among its new equals.
    if (t == k().current)
      k().ready[priority].push_front(t);
    else
      k().ready[priority].push_back(t);
  }
  if (t->waiting) {
    WaitList* list = t->waiting;
    remove_from_wait(t);
    auto& v = list->tasks;
    auto pos = std::find_if(v.begin(), v.end(), [t](Task* o) { return o->priority < t->priority; });
    v.insert(pos, t);
    t->waiting = list;
  }
}

void free_task(Task* t) {
  free_host_stack(t);
  rtos_detail::heap_release(t->charged);
  delete t;
}

// A touch of a guard area is an overflow of the task whose stack ends on
// it; any other fault goes to the handler that was there before.
struct sigaction previous_segv;

void guard_fault(int sig, siginfo_t* info, void* uc) {
  const auto* addr = static_cast<const char*>(info->si_addr);
  for (Task* t : k().tasks) {
    const auto* guard = static_cast<const char*>(t->map);
    if (guard && addr >= guard && addr < guard + kGuard) overflowed(t);
  }
  if (previous_segv.sa_flags & SA_SIGINFO) {
    if (previous_segv.sa_sigaction) {
      previous_segv.sa_sigaction(sig, info, uc);
      return;
    }
  } else if (previous_segv.sa_handler != SIG_DFL && previous_segv.sa_handler != SIG_IGN) {
    previous_segv.sa_handler(sig);
    return;
  }
  // No handler before: the fault ends the program as it would have.
  signal(sig, SIG_DFL);
}

void install_guard_handler() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  // The handler cannot run on the stack that overflowed.
  stack_t alt{};
  if (sigaltstack(nullptr, &alt) == 0 && (alt.ss_flags & SS_DISABLE)) {
    const size_t size = 256 * 1024;
    alt.ss_sp = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    alt.ss_size = size;
    alt.ss_flags = 0;
    if (alt.ss_sp != MAP_FAILED) sigaltstack(&alt, nullptr);
  }
  struct sigaction sa {};
  sa.sa_sigaction = guard_fault;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGSEGV, &sa, &previous_segv);
}

// --------------------------------------------------------------- idle ----
void idle_task(void*) {
  Kernel& K = k();
  for (;;) {
    uint64_t idle = ~uint64_t{0};
    if (!K.delayed.empty()) {
      const uint64_t now = now_tick();
      const uint64_t wake = K.delayed.begin()->first;
      idle = wake > now ? wake - now : 0;
    }
    if (idle >= configEXPECTED_IDLE_TIME_BEFORE_SLEEP) {
      const uint32_t ticks = idle > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(idle);
      ++K.idle_sleeps;
      if (am_freertos_sleep(ticks) != 0) __WFI();
      am_freertos_wakeup(ticks);
    } else {
      __WFI();
    }
    reschedule();
  }
}

// ------------------------------------------------------------ queues -----
void copy_in(Queue* q, const void* item, BaseType_t position) {
  if (q->item_size && item) {
    UBaseType_t slot;
    if (position == queueSEND_TO_FRONT) {
      q->head = (q->head + q->length - 1) % q->length;
      slot = q->head;
    } else if (position == queueOVERWRITE && q->count == q->length) {
      slot = (q->head + q->count - 1) % q->length;
      --q->count;
    } else {
      slot = (q->head + q->count) % q->length;
    }
    std::memcpy(q->storage.data() + slot * q->item_size, item, q->item_size);
  } else if (position == queueOVERWRITE && q->count == q->length) {
    --q->count;
  }
  ++q->count;
}

void copy_out(Queue* q, void* item, bool remove) {
  if (q->item_size && item)
    std::memcpy(item, q->storage.data() + q->head * q->item_size, q->item_size);
  if (remove) {
    q->head = q->length ? (q->head + 1) % q->length : 0;
    --q->count;
  }
}

bool is_mutex(const Queue* q) { return q->type == queueQUEUE_TYPE_MUTEX; }

// The holder gives a mutex back: its inherited priority ends with the last
// mutex it holds.
void mutex_released(Queue* q) {
  Task* h = q->holder;
  q->holder = nullptr;
  if (!h) return;
  if (--h->mutexes_held == 0 && h->priority != h->base_priority) set_priority(h, h->base_priority);
}

}  // namespace

namespace rtos_detail {

bool in_isr() { return sim::in_isr(); }

namespace {
struct StopReport {
  const char* fmt;
  va_list* ap;
};
void stop_here(void* p) {
  auto* r = static_cast<StopReport*>(p);
  char buf[512];
  std::vsnprintf(buf, sizeof buf, r->fmt, *r->ap);
  sim::fatal("kernel: %s", buf);
}
}  // namespace

// The report is formatted on the main stack: a task that is stopped may
// have little stack left (an overflow is one of the reasons).
void stop(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  StopReport r{fmt, &ap};
  sim::run_on_main_stack(stop_here, &r);
  va_end(ap);
  std::abort();  // not reached
}

bool heap_charge(size_t bytes, size_t* charged) {
  Kernel& K = k();
  const size_t block = (bytes + kHeapBlockHeader + 7) & ~size_t{7};
  if (K.heap_used + block > kHeapUsable) {
    vApplicationMallocFailedHook();
    *charged = 0;
    return false;
  }
  K.heap_used += block;
  K.heap_min_free = std::min(K.heap_min_free, kHeapUsable - K.heap_used);
  *charged = block;
  return true;
}

void heap_release(size_t charged) { k().heap_used -= std::min(charged, k().heap_used); }

}  // namespace rtos_detail

using rtos_detail::stop;

// ------------------------------------------------------------ host side --
namespace rtos_sim {

void reset() {
  Kernel& K = k();
  if (K.running) stop("rtos_sim::reset() while the scheduler runs");
  rtos_detail::timers_reset();
  if (K.tick_event) sim::cancel(K.tick_event);
  for (Task* t : K.tasks) free_task(t);
  for (Queue* q : K.queues) delete q;
  apollo3sim::set_thread_hook(nullptr);
  apollo3sim::set_wfi_limit_hook(nullptr);
  K.~Kernel();
  new (&K) Kernel;
}

std::vector<TaskInfo> tasks() {
  std::vector<TaskInfo> out;
  for (const Task* t : k().tasks) {
    if (t->state == eDeleted) continue;
    TaskInfo info{t->name, t->priority, t->depth, t->state};
    if (t == k().current && k().running) info.state = eRunning;
    out.push_back(info);
  }
  return out;
}

size_t host_stack_factor() { return kHostFactor; }
size_t heap_used() { return k().heap_used; }
uint64_t context_switches() { return k().switches; }
uint64_t idle_sleeps() { return k().idle_sleeps; }

uint64_t tick_time_us(TickType_t tick) {
  return apollo3sim::stimer_time_of(k().start_count +
                                    uint64_t{tick} * configSTIMER_COUNTS_PER_TICK);
}

}  // namespace rtos_sim

extern "C" {

// ----------------------------------------------------------- weak hooks --
__attribute__((weak)) uint32_t am_freertos_sleep(uint32_t) { return 1; }
__attribute__((weak)) void am_freertos_wakeup(uint32_t) {}
__attribute__((weak)) void vApplicationStackOverflowHook(struct tskTaskControlBlock* task, char*) {
  stop("stack overflow in task \"%s\"", task_name(task));
}
__attribute__((weak)) void vApplicationMallocFailedHook(void) {}

void vAssertCalled(const char* file, int line) {
  stop("assertion failed at %s:%d (task \"%s\")", file, line, task_name(k().current));
}

// ------------------------------------------------------------------ port --
void vPortYieldFromISR(BaseType_t woken) {
  if (!woken) return;
  if (rtos_detail::in_isr()) {
    k().pendsv = true;
  } else {
    vPortYield();
  }
}

void vPortYield(void) {
  Kernel& K = k();
  if (!K.running) return;
  if (rtos_detail::in_isr() || masked()) {
    K.pendsv = true;
    return;
  }
  rotate_current();
  reschedule();
}

void vPortEnterCritical(void) {
  if (rtos_detail::in_isr()) stop("taskENTER_CRITICAL in an interrupt handler");
  sim::set_basepri(configMAX_SYSCALL_INTERRUPT_PRIORITY);
  ++k().critical_nesting;
}

void vPortExitCritical(void) {
  Kernel& K = k();
  if (K.critical_nesting == 0) stop("taskEXIT_CRITICAL without taskENTER_CRITICAL");
  if (--K.critical_nesting == 0) {
    sim::set_basepri(0);
    apollo3sim::thread_point();
  }
}

UBaseType_t ulPortRaiseBASEPRI(void) {
  const UBaseType_t was = sim::get_basepri();
  sim::set_basepri(configMAX_SYSCALL_INTERRUPT_PRIORITY);
  return was;
}

void vPortSetBASEPRI(UBaseType_t value) {
  sim::set_basepri(static_cast<uint8_t>(value));
  apollo3sim::thread_point();
}

void* pvPortMalloc(size_t size) {
  size_t charged = 0;
  if (!rtos_detail::heap_charge(size, &charged)) return nullptr;
  void* p = std::malloc(size + sizeof(size_t));
  if (!p) return nullptr;
  *static_cast<size_t*>(p) = charged;
  return static_cast<size_t*>(p) + 1;
}

void vPortFree(void* p) {
  if (!p) return;
  size_t* block = static_cast<size_t*>(p) - 1;
  rtos_detail::heap_release(*block);
  std::free(block);
}

size_t xPortGetFreeHeapSize(void) { return kHeapUsable - k().heap_used; }
size_t xPortGetMinimumEverFreeHeapSize(void) { return k().heap_min_free; }

void xPortStimerTickHandler(void) {
  Kernel& K = k();
  const uint64_t now = now_tick();
  // The tick makes the switch an interrupt left pending (once: the request
  // is now a PendSV, taken when the CPU returns to thread mode).
  if (K.yield_pending && now > K.yield_tick) {
    K.pendsv = true;
    K.yield_pending = false;
  }
  while (!K.delayed.empty() && K.delayed.begin()->first <= now) {
    Task* t = K.delayed.begin()->second;
    t->timed_out = true;
    make_ready(t);
    note_woken(t, nullptr);
    if (K.current && t->priority > K.current->priority) K.pendsv = true;
  }
  arm_tick();
}

// ----------------------------------------------------------------- tasks --
BaseType_t xTaskCreate(TaskFunction_t code, const char* name, uint16_t stack_depth, void* arg,
                       UBaseType_t priority, TaskHandle_t* created) {
  if (!code) stop("xTaskCreate without a task function");
  size_t charged = 0;
  if (!rtos_detail::heap_charge(kTcbBytes + size_t{stack_depth} * sizeof(StackType_t), &charged))
    return errCOULD_NOT_ALLOCATE_REQUIRED_MEMORY;
  Task* t = new Task;
  t->name = std::string(name ? name : "").substr(0, configMAX_TASK_NAME_LEN - 1);
  t->priority = t->base_priority =
      priority < configMAX_PRIORITIES ? priority : configMAX_PRIORITIES - 1;
  t->depth = stack_depth;
  t->code = code;
  t->arg = arg;
  t->charged = charged;
  const size_t host_stack = host_stack_bytes(stack_depth);
  const size_t map_len = host_map_bytes(stack_depth);
  t->map = mmap(nullptr, map_len, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (t->map == MAP_FAILED) stop("no host memory for the stack of task \"%s\"", t->name.c_str());
#ifdef RTOS_ASAN
  __asan_unpoison_memory_region(t->map, map_len);
#endif
  mprotect(t->map, kGuard, PROT_NONE);
  t->ctx.stack_bottom = static_cast<char*>(t->map) + kGuard;
  t->ctx.stack_size = host_stack;
  std::memset(t->ctx.stack_bottom, kStackPaint, host_stack);
  install_guard_handler();
#ifdef RTOS_OWN_SWITCH
  // The first switch pops the saved registers (zero) and returns into
  // task_entry, which then sees the stack aligned as after a call.
  uintptr_t top = (reinterpret_cast<uintptr_t>(t->ctx.stack_bottom) + host_stack) & ~uintptr_t{15};
  void** sp = reinterpret_cast<void**>(top);
#if defined(__x86_64__)
  *--sp = nullptr;                                        // task_entry's return address
  *--sp = reinterpret_cast<void*>(&task_entry);           // where rtos_switch returns
  for (int r = 0; r < kSavedWords; ++r) *--sp = nullptr;  // rbp, rbx, r12-r15
#else
  sp -= kSavedWords;  // x19-x30, d8-d15; rtos_switch returns to x30
  for (int r = 0; r < kSavedWords; ++r) sp[r] = nullptr;
  sp[kLinkWord] = reinterpret_cast<void*>(&task_entry);
#endif
  t->ctx.sp = sp;
#else
  getcontext(&t->ctx.uc);
  t->ctx.uc.uc_stack.ss_sp = t->ctx.stack_bottom;
  t->ctx.uc.uc_stack.ss_size = host_stack;
  t->ctx.uc.uc_link = nullptr;
  makecontext(&t->ctx.uc, task_entry, 0);
#endif
  Kernel& K = k();
  K.tasks.push_back(t);
  t->state = eReady;
  K.ready[t->priority].push_back(t);
  if (created) *created = t;
  preempt_check();
  return pdPASS;
}

void vTaskDelete(TaskHandle_t task) {
  Kernel& K = k();
  Task* t = task ? task : K.current;
  if (!t || t->state == eDeleted) return;
  remove_from_ready(t);
  remove_from_wait(t);
  remove_from_delayed(t);
  t->state = eDeleted;
  rtos_detail::heap_release(t->charged);
  t->charged = 0;
  if (t == K.current && K.running) {
    if (masked()) stop("task \"%s\" deletes itself inside a critical section", task_name(t));
    K.dead.push_back(t);
    reschedule();
    stop("a deleted task ran again");
  }
  free_host_stack(t);
}

void vTaskDelay(TickType_t ticks) {
  if (ticks == 0) {
    vPortYield();
    return;
  }
  block(nullptr, now_tick() + ticks, "vTaskDelay");
}

void vTaskDelayUntil(TickType_t* previous_wake, TickType_t increment) {
  const uint64_t now = now_tick();
  // The 32-bit previous wake time, placed in the 64-bit tick count.
  const uint64_t base = (now & ~uint64_t{0xFFFFFFFF}) | *previous_wake;
  const uint64_t prev = base > now ? base - (uint64_t{1} << 32) : base;
  const uint64_t wake = prev + increment;
  *previous_wake = static_cast<TickType_t>(wake);
  if (wake > now) block(nullptr, wake, "vTaskDelayUntil");
}

void vTaskSuspend(TaskHandle_t task) {
  Kernel& K = k();
  Task* t = task ? task : K.current;
  if (!t || t->state == eDeleted || t->state == eSuspended) return;
  if (t == K.current) check_can_block("vTaskSuspend");
  remove_from_ready(t);
  remove_from_wait(t);
  remove_from_delayed(t);
  t->state = eSuspended;
  if (t == K.current) reschedule();
}

void vTaskResume(TaskHandle_t task) {
  if (!task || task->state != eSuspended) return;
  make_ready(task);
  preempt_check();
}

BaseType_t xTaskResumeFromISR(TaskHandle_t task) {
  if (!task || task->state != eSuspended) return pdFALSE;
  make_ready(task);
  BaseType_t woken = pdFALSE;
  note_woken(task, &woken);
  return woken;
}

UBaseType_t uxTaskPriorityGet(TaskHandle_t task) {
  Task* t = task ? task : k().current;
  return t ? t->priority : 0;
}

void vTaskPrioritySet(TaskHandle_t task, UBaseType_t priority) {
  Task* t = task ? task : k().current;
  if (!t) return;
  t->base_priority = priority;
  if (t->mutexes_held == 0 || priority > t->priority) set_priority(t, priority);
  if (t == k().current && k().running) {
    Task* best = highest_ready();
    if (best && best->priority > t->priority) reschedule();
  } else {
    preempt_check();
  }
}

eTaskState eTaskGetState(TaskHandle_t task) {
  if (!task) return eInvalid;
  if (task == k().current && k().running) return eRunning;
  return task->state;
}

TaskHandle_t xTaskGetCurrentTaskHandle(void) { return k().current; }
TaskHandle_t xTaskGetIdleTaskHandle(void) { return k().idle; }
const char* pcTaskGetName(TaskHandle_t task) {
  Task* t = task ? task : k().current;
  return t ? t->name.c_str() : "";
}

UBaseType_t uxTaskGetNumberOfTasks(void) {
  UBaseType_t n = 0;
  for (const Task* t : k().tasks)
    if (t->state != eDeleted) ++n;
  return n;
}

// The least room the task ever had left, in chip words.
UBaseType_t uxTaskGetStackHighWaterMark(TaskHandle_t task) {
  Task* t = task ? task : k().current;
  if (!t || !t->map) return 0;
  return static_cast<UBaseType_t>(painted_bytes(t) / kHostFactor / sizeof(StackType_t));
}

void vTaskStartScheduler(void) {
  Kernel& K = k();
  if (K.running) stop("vTaskStartScheduler called twice");
  if (!K.idle) {
    TaskHandle_t idle = nullptr;
    if (xTaskCreate(idle_task, "IDLE", configMINIMAL_STACK_SIZE, nullptr, tskIDLE_PRIORITY,
                    &idle) != pdPASS)
      return;
    K.idle = idle;
  }
  K.start_count = apollo3sim::stimer_count64();
  K.started = true;
  rtos_detail::timers_start();
  apollo3sim::set_isr(STIMER_CMPR0_IRQn, xPortStimerTickHandler);
  NVIC_SetPriority(STIMER_CMPR0_IRQn, configKERNEL_INTERRUPT_PRIORITY >> 5);
  NVIC_EnableIRQ(STIMER_CMPR0_IRQn);
  apollo3sim::set_thread_hook(thread_hook);
  apollo3sim::set_wfi_limit_hook(wfi_limit);
  K.running = true;
  K.current = nullptr;
  sim::set_thread_on_process_stack(true);
  switch_to(highest_ready());
  // vTaskEndScheduler came back here.
  sim::set_thread_on_process_stack(false);
  apollo3sim::set_thread_hook(nullptr);
  apollo3sim::set_wfi_limit_hook(nullptr);
}

void vTaskEndScheduler(void) {
  Kernel& K = k();
  if (!K.running) return;
  if (rtos_detail::in_isr()) stop("vTaskEndScheduler in an interrupt handler");
  K.running = false;
  Task* from = K.current;
  K.current = nullptr;
  ++K.switches;
  switch_context(&from->ctx, &K.scheduler, false);
}

BaseType_t xTaskGetSchedulerState(void) {
  const Kernel& K = k();
  if (!K.running) return taskSCHEDULER_NOT_STARTED;
  return K.suspended_all ? taskSCHEDULER_SUSPENDED : taskSCHEDULER_RUNNING;
}

void vTaskSuspendAll(void) { ++k().suspended_all; }

BaseType_t xTaskResumeAll(void) {
  Kernel& K = k();
  if (K.suspended_all == 0) stop("xTaskResumeAll without vTaskSuspendAll");
  if (--K.suspended_all > 0) return pdFALSE;
  Task* best = highest_ready();
  if (K.running && K.current && best && best->priority > K.current->priority && !masked()) {
    reschedule();
    return pdTRUE;
  }
  return pdFALSE;
}

TickType_t xTaskGetTickCount(void) { return static_cast<TickType_t>(now_tick()); }
TickType_t xTaskGetTickCountFromISR(void) { return static_cast<TickType_t>(now_tick()); }

// ---------------------------------------------------------------- queues --
QueueHandle_t xQueueGenericCreate(UBaseType_t length, UBaseType_t item_size, uint8_t type) {
  if (length == 0) return nullptr;
  size_t charged = 0;
  if (!rtos_detail::heap_charge(kQueueBytes + size_t{length} * item_size, &charged)) return nullptr;
  Queue* q = new Queue;
  q->type = type;
  q->length = length;
  q->item_size = item_size;
  q->storage.resize(size_t{length} * item_size);
  q->charged = charged;
  k().queues.push_back(q);
  return q;
}

void vQueueDelete(QueueHandle_t queue) {
  if (!queue) return;
  if (!queue->receivers.tasks.empty() || !queue->senders.tasks.empty())
    stop("a queue is deleted while tasks wait on it");
  auto& v = k().queues;
  v.erase(std::remove(v.begin(), v.end(), queue), v.end());
  rtos_detail::heap_release(queue->charged);
  delete queue;
}

BaseType_t xQueueReset(QueueHandle_t queue) {
  if (!queue) return pdFAIL;
  queue->head = 0;
  queue->count = 0;
  if (Task* t = wake_one(queue->senders)) {
    note_woken(t, nullptr);
    preempt_check();
  }
  return pdPASS;
}

QueueHandle_t xQueueCreateMutex(uint8_t type) {
  QueueHandle_t q = xQueueGenericCreate(1, 0, type);
  if (q) q->count = 1;  // a mutex starts given
  return q;
}

QueueHandle_t xQueueCreateCountingSemaphore(UBaseType_t max_count, UBaseType_t initial_count) {
  if (max_count == 0 || initial_count > max_count) return nullptr;
  QueueHandle_t q = xQueueGenericCreate(max_count, 0, queueQUEUE_TYPE_COUNTING_SEMAPHORE);
  if (q) q->count = initial_count;
  return q;
}

BaseType_t xQueueGenericSend(QueueHandle_t queue, const void* item, TickType_t wait,
                             BaseType_t position) {
  if (!queue) stop("xQueueGenericSend on a null queue");
  if (rtos_detail::in_isr())
    stop("xQueueGenericSend (or xSemaphoreGive) called from an interrupt handler");
  Kernel& K = k();
  if (is_mutex(queue)) {
    if (queue->holder && queue->holder != K.current)
      stop("task \"%s\" gives a mutex held by task \"%s\"", task_name(K.current),
           task_name(queue->holder));
  }
  const uint64_t deadline = deadline_of(wait);
  for (;;) {
    if (queue->count < queue->length || position == queueOVERWRITE) {
      if (is_mutex(queue)) mutex_released(queue);
      copy_in(queue, item, position);
      if (Task* t = wake_one(queue->receivers)) note_woken(t, nullptr);
      preempt_check();
      return pdPASS;
    }
    if (remaining(deadline) == 0) return errQUEUE_FULL;
    if (!block(&queue->senders, deadline, "a queue send") && remaining(deadline) == 0)
      return errQUEUE_FULL;
  }
}

BaseType_t xQueueGenericSendFromISR(QueueHandle_t queue, const void* item, BaseType_t* woken,
                                    BaseType_t position) {
  if (!queue) stop("xQueueGenericSendFromISR on a null queue");
  if (is_mutex(queue) && queue->holder)
    stop("a mutex held by task \"%s\" is given from an interrupt", task_name(queue->holder));
  if (queue->count >= queue->length && position != queueOVERWRITE) return errQUEUE_FULL;
  copy_in(queue, item, position);
  if (Task* t = wake_one(queue->receivers)) note_woken(t, woken);
  if (!rtos_detail::in_isr()) preempt_check();
  return pdPASS;
}

BaseType_t xQueueGiveFromISR(QueueHandle_t queue, BaseType_t* woken) {
  return xQueueGenericSendFromISR(queue, nullptr, woken, queueSEND_TO_BACK);
}

static BaseType_t receive(QueueHandle_t queue, void* item, TickType_t wait, bool remove,
                          const char* what) {
  if (!queue) stop("%s on a null queue", what);
  if (rtos_detail::in_isr()) stop("%s called from an interrupt handler", what);
  Kernel& K = k();
  const uint64_t deadline = deadline_of(wait);
  for (;;) {
    if (queue->count > 0) {
      copy_out(queue, item, remove);
      if (remove) {
        if (is_mutex(queue)) {
          queue->holder = K.current;
          ++K.current->mutexes_held;
        }
        if (Task* t = wake_one(queue->senders)) note_woken(t, nullptr);
        preempt_check();
      }
      return pdPASS;
    }
    if (remaining(deadline) == 0) return errQUEUE_EMPTY;
    // Priority inheritance: the holder runs at least at the waiter's level.
    if (is_mutex(queue) && queue->holder && queue->holder->priority < K.current->priority)
      set_priority(queue->holder, K.current->priority);
    if (!block(&queue->receivers, deadline, what) && remaining(deadline) == 0)
      return errQUEUE_EMPTY;
  }
}

BaseType_t xQueueReceive(QueueHandle_t queue, void* item, TickType_t wait) {
  return receive(queue, item, wait, true, "xQueueReceive");
}

BaseType_t xQueuePeek(QueueHandle_t queue, void* item, TickType_t wait) {
  return receive(queue, item, wait, false, "xQueuePeek");
}

BaseType_t xQueueSemaphoreTake(QueueHandle_t queue, TickType_t wait) {
  return receive(queue, nullptr, wait, true, "xSemaphoreTake");
}

BaseType_t xQueueReceiveFromISR(QueueHandle_t queue, void* item, BaseType_t* woken) {
  if (!queue) stop("xQueueReceiveFromISR on a null queue");
  if (queue->count == 0) return pdFAIL;
  copy_out(queue, item, true);
  if (Task* t = wake_one(queue->senders)) note_woken(t, woken);
  if (!rtos_detail::in_isr()) preempt_check();
  return pdPASS;
}

BaseType_t xQueuePeekFromISR(QueueHandle_t queue, void* item) {
  if (!queue || queue->count == 0) return pdFAIL;
  copy_out(queue, item, false);
  return pdPASS;
}

UBaseType_t uxQueueMessagesWaiting(QueueHandle_t queue) { return queue ? queue->count : 0; }
UBaseType_t uxQueueMessagesWaitingFromISR(QueueHandle_t queue) { return queue ? queue->count : 0; }
UBaseType_t uxQueueSpacesAvailable(QueueHandle_t queue) {
  return queue ? queue->length - queue->count : 0;
}
BaseType_t xQueueIsQueueEmptyFromISR(QueueHandle_t queue) {
  return !queue || queue->count == 0 ? pdTRUE : pdFALSE;
}
BaseType_t xQueueIsQueueFullFromISR(QueueHandle_t queue) {
  return queue && queue->count == queue->length ? pdTRUE : pdFALSE;
}
TaskHandle_t xQueueGetMutexHolder(QueueHandle_t mutex) {
  return mutex && is_mutex(mutex) ? mutex->holder : nullptr;
}

}  // extern "C"
