// The kernel stand-in on the simulated Apollo3: pre-emption when an
// interrupt readies a higher task, strict priorities, the tick of 1/1024 s,
// timers at exact virtual times, tickless idle, mutex priority inheritance,
// heap accounting, blocking where the kernel cannot block, and task stacks
// that are measured and checked.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FreeRTOS.h"
#include "am_mcu_apollo.h"
#include "am_util.h"
#include "apollo3_sim.h"
#include "queue.h"
#include "rtos_sim.h"
#include "semphr.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "task.h"
#include "timers.h"

namespace {

// Virtual time of kernel tick n: n x 32 counts of the 32768 Hz STIMER,
// rounded up to whole microseconds.
constexpr uint64_t tick_us(uint64_t n) { return (n * 32 * 1000000 + 32767) / 32768; }

std::vector<std::string> g_log;
void note(const std::string& what) { g_log.push_back(what + "@" + std::to_string(sim::now())); }

uint32_t g_malloc_failed = 0;
std::vector<uint32_t> g_sleeps;

class Kernel : public ::testing::Test {
 protected:
  void SetUp() override {
    rtos_sim::reset();
    sim::host::reset_core();
    apollo3sim::reset_platform();
    g_log.clear();
    g_malloc_failed = 0;
    g_sleeps.clear();
  }
  void TearDown() override {
    rtos_sim::reset();
    sim::host::reset_core();
  }
};

// An interrupt line for the tests (the chip's software interrupt).
constexpr IRQn_Type kTestIrq = SOFTWARE0_IRQn;
SemaphoreHandle_t g_sem;
bool g_yield_from_isr;

void give_isr() {
  BaseType_t woken = pdFALSE;
  xSemaphoreGiveFromISR(g_sem, &woken);
  note(woken ? "isr woke higher" : "isr");
  if (g_yield_from_isr) portYIELD_FROM_ISR(woken);
}

void raise_test_irq(void*, uint32_t) { sim::irq_set_pending(kTestIrq); }

void install_test_irq(sim::time_us at) {
  apollo3sim::set_isr(kTestIrq, give_isr);
  NVIC_SetPriority(kTestIrq, 4);
  NVIC_EnableIRQ(kTestIrq);
  sim::schedule(at, raise_test_irq, nullptr);
}

void high_waiter(void*) {
  xSemaphoreTake(g_sem, portMAX_DELAY);
  note("high runs");
  vTaskDelete(nullptr);
}

void low_busy(void*) {
  am_util_delay_us(3000);  // 3 ms of its own running time
  note("low done");
  vTaskEndScheduler();
}

// An interrupt that readies a higher task switches to it when the CPU
// returns to thread mode if it asks for the switch, and at the next tick
// boundary if it does not; the busy task's delay counts only its own time.
TEST_F(Kernel, InterruptThatReadiesAHigherTaskPreemptsTheRunningOne) {
  struct Case {
    bool yield;
    uint64_t high_at;
  };
  for (const Case& c : {Case{true, 300}, Case{false, tick_us(1)}}) {
    SCOPED_TRACE(c.yield ? "portYIELD_FROM_ISR" : "no yield request");
    rtos_sim::reset();
    sim::host::reset_core();
    apollo3sim::reset_platform();
    g_log.clear();
    g_yield_from_isr = c.yield;
    g_sem = xSemaphoreCreateBinary();
    xTaskCreate(high_waiter, "high", 256, nullptr, 3, nullptr);
    xTaskCreate(low_busy, "low", 256, nullptr, 1, nullptr);
    install_test_irq(300);
    vTaskStartScheduler();
    EXPECT_EQ(g_log, (std::vector<std::string>{"isr woke higher@300",
                                               "high runs@" + std::to_string(c.high_at),
                                               "low done@3000"}));
  }
}

void low_in_hal_wait(void*) {
  // A vendor call that waits 5 ms with interrupts on and switches no task
  // inside (a flash erase): the CPU is back in thread mode only at its end.
  sim::cpu_spend(5000);
  apollo3sim::thread_point();
  note("low back");
  vTaskDelay(1);
  vTaskEndScheduler();
}

// An interrupt that readies a higher task without asking for the switch,
// while the running task is inside a long vendor wait: the tick turns it
// into a switch request, taken when the wait ends.
TEST_F(Kernel, TickSwitchRequestWaitsForTheEndOfAVendorWait) {
  g_yield_from_isr = false;
  g_sem = xSemaphoreCreateBinary();
  xTaskCreate(high_waiter, "high", 256, nullptr, 3, nullptr);
  xTaskCreate(low_in_hal_wait, "low", 256, nullptr, 1, nullptr);
  install_test_irq(300);
  vTaskStartScheduler();
  EXPECT_EQ(g_log,
            (std::vector<std::string>{"isr woke higher@300", "high runs@5000", "low back@5000"}));
}

void medium_busy(void*) {
  am_util_delay_us(2000);
  note("medium done");
  vTaskDelay(10);
  vTaskEndScheduler();
}

void low_waiter(void*) {
  xSemaphoreTake(g_sem, portMAX_DELAY);
  note("low runs");
  for (;;) vTaskDelay(portMAX_DELAY);
}

// A task readied from an interrupt that does not outrank the running task
// waits until that task blocks.
TEST_F(Kernel, InterruptThatReadiesALowerTaskDoesNotPreempt) {
  g_yield_from_isr = true;
  g_sem = xSemaphoreCreateBinary();
  xTaskCreate(low_waiter, "low", 256, nullptr, 1, nullptr);
  xTaskCreate(medium_busy, "medium", 256, nullptr, 2, nullptr);
  install_test_irq(500);
  vTaskStartScheduler();
  EXPECT_EQ(g_log, (std::vector<std::string>{"isr@500", "medium done@2000", "low runs@2000"}));
}

void wake_from_idle(void*) {
  xSemaphoreTake(g_sem, portMAX_DELAY);
  note("woken");
  vTaskEndScheduler();
}

// With every task blocked the idle task sleeps until the interrupt, and the
// task it readies runs at that very time.
TEST_F(Kernel, GiveFromInterruptWakesABlockedTaskOutOfIdle) {
  g_yield_from_isr = true;
  g_sem = xSemaphoreCreateBinary();
  xTaskCreate(wake_from_idle, "waiter", 256, nullptr, 2, nullptr);
  install_test_irq(123456);
  vTaskStartScheduler();
  EXPECT_EQ(g_log, (std::vector<std::string>{"isr woke higher@123456", "woken@123456"}));
}

TickType_t g_delay_ticks;
void delayer(void*) {
  vTaskDelay(g_delay_ticks);
  note("tick " + std::to_string(xTaskGetTickCount()));
  vTaskEndScheduler();
}

// A tick is 32 counts of the 32768 Hz crystal: 1024 ticks are one second.
TEST_F(Kernel, DelaysEndOnTheTicksOfTheStimer) {
  for (TickType_t ticks : {1u, 2u, 1024u, 10240u}) {
    SCOPED_TRACE(ticks);
    rtos_sim::reset();
    sim::host::reset_core();
    apollo3sim::reset_platform();
    g_log.clear();
    g_delay_ticks = ticks;
    xTaskCreate(delayer, "delayer", 256, nullptr, 1, nullptr);
    vTaskStartScheduler();
    EXPECT_EQ(g_log, std::vector<std::string>{"tick " + std::to_string(ticks) + "@" +
                                              std::to_string(tick_us(ticks))});
  }
}

void note_timer(TimerHandle_t t) {
  note(std::string(pcTimerGetName(t)) + " in " + pcTaskGetName(nullptr));
}

void timer_user(void*) {
  TimerHandle_t periodic = xTimerCreate("periodic", 1024, pdTRUE, nullptr, note_timer);
  TimerHandle_t once = xTimerCreate("once", 10, pdFALSE, nullptr, note_timer);
  TimerHandle_t stopped = xTimerCreate("stopped", 5, pdFALSE, nullptr, note_timer);
  xTimerStart(periodic, 100);
  xTimerStart(once, 100);
  xTimerStart(stopped, 100);
  xTimerStop(stopped, 100);
  vTaskDelay(3000);
  // A change of period restarts the timer from now.
  xTimerChangePeriod(once, 20, 100);
  vTaskDelay(100);
  xTimerStop(periodic, 100);
  vTaskEndScheduler();
}

// Timers fire at exact tick times, periodic ones keep their phase, a
// stopped one never fires, callbacks run in the timer service task.
TEST_F(Kernel, SoftwareTimersFireAtTheirTicksInTheServiceTask) {
  xTaskCreate(timer_user, "user", 256, nullptr, 1, nullptr);
  vTaskStartScheduler();
  EXPECT_EQ(g_log, (std::vector<std::string>{
                       "once in Tmr Svc@" + std::to_string(tick_us(10)),
                       "periodic in Tmr Svc@" + std::to_string(tick_us(1024)),
                       "periodic in Tmr Svc@" + std::to_string(tick_us(2048)),
                       "once in Tmr Svc@" + std::to_string(tick_us(3020)),
                       "periodic in Tmr Svc@" + std::to_string(tick_us(3072)),
                   }));
}

TimerHandle_t g_isr_timer;
void start_timer_isr() {
  BaseType_t woken = pdFALSE;
  xTimerStartFromISR(g_isr_timer, &woken);
  portYIELD_FROM_ISR(woken);
}
void end_scheduler_timer(TimerHandle_t) {
  note("expired");
  vTaskEndScheduler();
}

// A timer started from an interrupt counts from the tick of the interrupt.
TEST_F(Kernel, TimerStartedFromAnInterruptCountsFromItsTick) {
  g_isr_timer = xTimerCreate("isr", 100, pdFALSE, nullptr, end_scheduler_timer);
  apollo3sim::set_isr(kTestIrq, start_timer_isr);
  NVIC_SetPriority(kTestIrq, 4);
  NVIC_EnableIRQ(kTestIrq);
  sim::schedule(tick_us(50) + 5, raise_test_irq, nullptr);
  vTaskStartScheduler();
  EXPECT_EQ(g_log, std::vector<std::string>{"expired@" + std::to_string(tick_us(150))});
}

SemaphoreHandle_t g_mutex;
void mutex_low(void*) {
  xSemaphoreTake(g_mutex, portMAX_DELAY);
  note("low has it");
  vTaskDelay(1);  // the others start meanwhile
  note("low priority " + std::to_string(uxTaskPriorityGet(nullptr)));
  am_util_delay_us(100);
  xSemaphoreGive(g_mutex);
  note("low gave it");
  for (;;) vTaskDelay(portMAX_DELAY);
}
void mutex_high(void*) {
  vTaskDelay(1);
  xSemaphoreTake(g_mutex, portMAX_DELAY);
  note("high has it");
  vTaskEndScheduler();
}
void mutex_medium(void*) {
  vTaskDelay(1);
  am_util_delay_us(10000);
  note("medium done");
  for (;;) vTaskDelay(portMAX_DELAY);
}

// A low task holding a mutex a high one waits for runs at the high priority,
// so a medium task cannot hold the high one up.
TEST_F(Kernel, MutexHolderInheritsThePriorityOfItsWaiter) {
  g_mutex = xSemaphoreCreateMutex();
  xTaskCreate(mutex_low, "low", 256, nullptr, 1, nullptr);
  xTaskCreate(mutex_high, "high", 256, nullptr, 3, nullptr);
  xTaskCreate(mutex_medium, "medium", 256, nullptr, 2, nullptr);
  vTaskStartScheduler();
  // The give hands the mutex over and switches to the high task at once.
  EXPECT_EQ(g_log, (std::vector<std::string>{"low has it@0",
                                             "low priority 3@" + std::to_string(tick_us(1)),
                                             "high has it@" + std::to_string(tick_us(1) + 100)}));
}

QueueHandle_t g_queue;
void producer(void*) {
  for (uint8_t i = 0; i < 5; ++i) {
    if (xQueueSend(g_queue, &i, 2) != pdPASS) note("full " + std::to_string(i));
  }
  vTaskDelay(portMAX_DELAY);
}
void consumer(void*) {
  vTaskDelay(10);
  uint8_t b;
  std::string got;
  while (xQueueReceive(g_queue, &b, 0) == pdPASS) got += std::to_string(b);
  note("got " + got);
  vTaskEndScheduler();
}

// A send to a full queue waits its ticks and then gives up; items come out
// in order.
TEST_F(Kernel, QueueSendWaitsForRoomAndGivesUpAfterItsTicks) {
  g_queue = xQueueCreate(3, 1);
  xTaskCreate(producer, "producer", 256, nullptr, 1, nullptr);
  xTaskCreate(consumer, "consumer", 256, nullptr, 2, nullptr);
  vTaskStartScheduler();
  EXPECT_EQ(g_log, (std::vector<std::string>{"full 3@" + std::to_string(tick_us(2)),
                                             "full 4@" + std::to_string(tick_us(4)),
                                             "got 012@" + std::to_string(tick_us(10))}));
}

int g_turns[2];
void equal_worker(void* arg) {
  const int me = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  for (;;) {
    am_util_delay_us(100);
    ++g_turns[me];
    if (sim::now() >= 100000) vTaskEndScheduler();
  }
}

// Tasks of equal priority that never block take turns at tick boundaries.
TEST_F(Kernel, EqualPrioritiesTakeTurnsAtTicks) {
  g_turns[0] = g_turns[1] = 0;
  xTaskCreate(equal_worker, "a", 256, reinterpret_cast<void*>(0), 2, nullptr);
  xTaskCreate(equal_worker, "b", 256, reinterpret_cast<void*>(1), 2, nullptr);
  vTaskStartScheduler();
  // 100 ms of 100 us steps shared by two: about 500 each.
  EXPECT_GT(g_turns[0], 400);
  EXPECT_GT(g_turns[1], 400);
  EXPECT_GT(rtos_sim::context_switches(), 90u);
}

void sleeper(void*) {
  vTaskDelay(10240);
  note("awake");
  vTaskEndScheduler();
}

}  // namespace

extern "C" uint32_t am_freertos_sleep(uint32_t idle_ticks) {
  g_sleeps.push_back(idle_ticks);
  am_hal_sysctrl_sleep(AM_HAL_SYSCTRL_SLEEP_DEEP);
  return 0;
}

extern "C" void vApplicationMallocFailedHook(void) { ++g_malloc_failed; }

namespace {

// Tickless idle: one sleep for the whole wait, told how many ticks it may
// take; the task wakes on its tick.
TEST_F(Kernel, IdleSleepsThroughTheWholeWaitInOneGo) {
  xTaskCreate(sleeper, "sleeper", 256, nullptr, 1, nullptr);
  vTaskStartScheduler();
  EXPECT_EQ(g_sleeps, std::vector<uint32_t>{10240});
  EXPECT_EQ(g_log, std::vector<std::string>{"awake@" + std::to_string(tick_us(10240))});
}

// Kernel objects are charged to the 67584-byte heap with the allocator's
// 8-byte header and alignment; what does not fit calls the malloc-failed
// hook and is refused.
TEST_F(Kernel, KernelObjectsAreChargedToTheHeapUntilItIsFull) {
  const size_t before = xPortGetFreeHeapSize();
  ASSERT_EQ(xTaskCreate(sleeper, "t", 1024, nullptr, 1, nullptr), pdPASS);
  const size_t task_cost = before - xPortGetFreeHeapSize();
  EXPECT_GE(task_cost, 1024u * 4u + 8u);
  EXPECT_EQ(task_cost % 8, 0u);
  QueueHandle_t q = xQueueCreate(1024, 1);
  ASSERT_NE(q, nullptr);
  EXPECT_GE(before - task_cost - xPortGetFreeHeapSize(), 1024u + 8u);
  // 12 more 4096-byte stacks cannot all fit in what is left.
  int created = 0;
  for (int i = 0; i < 16; ++i) {
    if (xTaskCreate(sleeper, "big", 1024, nullptr, 1, nullptr) == pdPASS) ++created;
  }
  EXPECT_LT(created, 16);
  EXPECT_EQ(g_malloc_failed, static_cast<uint32_t>(16 - created));
  EXPECT_LE(rtos_sim::heap_used(), static_cast<size_t>(configTOTAL_HEAP_SIZE));
}

enum class Mask { kKernelCritical, kPrimask, kBasepri };
Mask g_mask;
void blocks_masked(void*) {
  g_sem = xSemaphoreCreateBinary();
  switch (g_mask) {
    case Mask::kKernelCritical:
      taskENTER_CRITICAL();
      break;
    case Mask::kPrimask:
      __disable_irq();
      break;
    case Mask::kBasepri:
      __set_BASEPRI(0x80);
      break;
  }
  xSemaphoreTake(g_sem, portMAX_DELAY);
}

void run_masked(Mask m) {
  rtos_sim::reset();
  sim::host::reset_core();
  apollo3sim::reset_platform();
  g_mask = m;
  xTaskCreate(blocks_masked, "masked", 256, nullptr, 1, nullptr);
  vTaskStartScheduler();
}

// Blocking where the kernel cannot switch stops the program with a message
// naming the task, instead of hanging the host.
TEST_F(Kernel, BlockingInsideACriticalSectionStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_masked(Mask::kKernelCritical), ::testing::ExitedWithCode(sim::kFatalExit),
              "task \"masked\" blocks in xSemaphoreTake inside a kernel critical section");
  EXPECT_EXIT(run_masked(Mask::kPrimask), ::testing::ExitedWithCode(sim::kFatalExit),
              "task \"masked\" blocks in xSemaphoreTake with interrupts disabled");
  EXPECT_EXIT(run_masked(Mask::kBasepri), ::testing::ExitedWithCode(sim::kFatalExit),
              "task \"masked\" blocks in xSemaphoreTake with BASEPRI raised to 0x80");
}

void takes_in_isr() { xSemaphoreTake(g_sem, 10); }
void idle_waiter(void*) { vTaskDelay(portMAX_DELAY); }

void run_isr_block() {
  rtos_sim::reset();
  sim::host::reset_core();
  apollo3sim::reset_platform();
  g_sem = xSemaphoreCreateBinary();
  xTaskCreate(idle_waiter, "waiter", 256, nullptr, 1, nullptr);
  apollo3sim::set_isr(kTestIrq, takes_in_isr);
  NVIC_EnableIRQ(kTestIrq);
  sim::schedule(1000, raise_test_irq, nullptr);
  vTaskStartScheduler();
}

TEST_F(Kernel, BlockingInAnInterruptHandlerStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_isr_block(), ::testing::ExitedWithCode(sim::kFatalExit),
              "xSemaphoreTake called from an interrupt handler");
}

void waits_for_interrupts(void*) {
  for (int i = 0; i < 3; ++i) {
    __WFI();
    note("wfi");
  }
  vTaskEndScheduler();
}

// A task that waits for an interrupt with nothing else to come is woken by
// the kernel's tick (only the idle task suppresses it).
TEST_F(Kernel, TaskWaitingForAnInterruptWakesAtTheNextTick) {
  xTaskCreate(waits_for_interrupts, "poller", 256, nullptr, 1, nullptr);
  vTaskStartScheduler();
  EXPECT_EQ(g_log, (std::vector<std::string>{"wfi@" + std::to_string(tick_us(1)),
                                             "wfi@" + std::to_string(tick_us(2)),
                                             "wfi@" + std::to_string(tick_us(3))}));
}

void give_mutex_isr() {
  BaseType_t woken = pdFALSE;
  xSemaphoreGiveFromISR(g_mutex, &woken);
}
void holds_mutex(void*) {
  xSemaphoreTake(g_mutex, portMAX_DELAY);
  vTaskDelay(portMAX_DELAY);
}
void run_isr_gives_held_mutex() {
  rtos_sim::reset();
  sim::host::reset_core();
  apollo3sim::reset_platform();
  g_mutex = xSemaphoreCreateMutex();
  xTaskCreate(holds_mutex, "holder", 256, nullptr, 1, nullptr);
  apollo3sim::set_isr(kTestIrq, give_mutex_isr);
  NVIC_EnableIRQ(kTestIrq);
  sim::schedule(1000, raise_test_irq, nullptr);
  vTaskStartScheduler();
}

// An interrupt that gives back a mutex a task holds would release the
// task's lock under it: the program stops naming the holder.
TEST_F(Kernel, InterruptGivingAMutexATaskHoldsStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_isr_gives_held_mutex(), ::testing::ExitedWithCode(sim::kFatalExit),
              "a mutex held by task \"holder\" is given from an interrupt");
}

// The kernel's critical section holds the interrupts the kernel serves
// (0x80 and below in urgency) and lets the more urgent ones through.
TEST_F(Kernel, CriticalSectionMasksKernelLevelInterruptsOnly) {
  static std::vector<int> taken;
  taken.clear();
  apollo3sim::set_isr(SOFTWARE0_IRQn, [] { taken.push_back(4); });
  apollo3sim::set_isr(CLKGEN_IRQn, [] { taken.push_back(3); });
  NVIC_SetPriority(SOFTWARE0_IRQn, 4);
  NVIC_SetPriority(CLKGEN_IRQn, 3);
  NVIC_EnableIRQ(SOFTWARE0_IRQn);
  NVIC_EnableIRQ(CLKGEN_IRQn);
  taskENTER_CRITICAL();
  NVIC_SetPendingIRQ(SOFTWARE0_IRQn);
  NVIC_SetPendingIRQ(CLKGEN_IRQn);
  EXPECT_EQ(taken, std::vector<int>{3});
  taskEXIT_CRITICAL();
  EXPECT_EQ(taken, (std::vector<int>{3, 4}));
}

// ------------------------------------------------------------ stacks ----
// Writes `n` bytes of a local buffer from its low end, so that the deepest
// byte is written first, and keeps the compiler from dropping it.
[[gnu::noinline]] void use_stack(size_t n) {
  auto* buf = static_cast<volatile uint8_t*>(__builtin_alloca(n));
  for (size_t i = 0; i < n; ++i) buf[i] = static_cast<uint8_t>(i);
  asm volatile("" : : "r"(buf) : "memory");
}

std::vector<UBaseType_t> g_marks;
// Far deeper than what the task does besides (its waits and the host's
// first-call work), so that the mark after it is the call's.
constexpr size_t kDeepBytes = 16384;
constexpr uint16_t kMeasuredDepth = 2048;

void handler_with_a_big_frame() {
  // More than the task's whole stack.
  use_stack(size_t{kMeasuredDepth} * 4 * rtos_sim::host_stack_factor() + 4096);
  note("handler");
}

void measures_itself(void*) {
  g_marks.push_back(uxTaskGetStackHighWaterMark(nullptr));
  use_stack(kDeepBytes);
  g_marks.push_back(uxTaskGetStackHighWaterMark(nullptr));
  // A handler taken while the task waits runs on the main stack.
  apollo3sim::set_isr(kTestIrq, handler_with_a_big_frame);
  NVIC_SetPriority(kTestIrq, 4);
  NVIC_EnableIRQ(kTestIrq);
  sim::schedule(sim::now() + 100, raise_test_irq, nullptr);
  vTaskDelay(2);
  g_marks.push_back(uxTaskGetStackHighWaterMark(nullptr));
  vTaskEndScheduler();
}

// The high-water mark is the room the task never used, in the chip's
// words: a deeper call lowers it by what the call took; a handler's frames
// are not the task's.
TEST_F(Kernel, HighWaterMarkIsTheRoomTheTaskNeverUsed) {
  constexpr uint16_t kDepth = kMeasuredDepth;
  g_marks.clear();
  TaskHandle_t task = nullptr;
  xTaskCreate(measures_itself, "measured", kDepth, nullptr, 1, &task);
  // Before it ran, only the frame its first switch pops is used.
  const UBaseType_t before = uxTaskGetStackHighWaterMark(task);
  EXPECT_LT(before, kDepth);
  EXPECT_GE(before, kDepth - 8);
  vTaskStartScheduler();
  ASSERT_EQ(g_marks.size(), 3u);
  ASSERT_EQ(g_log.size(), 1u);
  EXPECT_EQ(g_log[0].rfind("handler@", 0), 0u);
  const size_t word = 4 * rtos_sim::host_stack_factor();  // host bytes per chip word
  // The task's entry takes a little.
  EXPECT_LT(g_marks[0], before);
  EXPECT_GT(g_marks[0], kDepth - 32);
  // The deeper call took its buffer and a frame (under the address checker
  // also what its run-time calls from the instrumented frame take).
#if defined(__SANITIZE_ADDRESS__)
  constexpr size_t kRuntimeBytes = 8192;
#else
  constexpr size_t kRuntimeBytes = 0;
#endif
  EXPECT_GE(g_marks[0] - g_marks[1], kDeepBytes / word);
  EXPECT_LE(g_marks[0] - g_marks[1], (kDeepBytes + kRuntimeBytes) / word + 16);
  EXPECT_EQ(g_marks[2], g_marks[1]);
  EXPECT_EQ(uxTaskGetStackHighWaterMark(task), g_marks[1]);
}

// One small frame deeper at a time until the stack has no word left,
// then a wait: the check at the switch sees the bottom written.
[[gnu::noinline]] void recurse_to_the_bottom(int level) {
  volatile uint8_t frame[48];
  frame[0] = static_cast<uint8_t>(level);
  if (uxTaskGetStackHighWaterMark(nullptr) > 0) recurse_to_the_bottom(level + 1);
  asm volatile("" : : "r"(frame) : "memory");
}

enum class Overflow { kPastTheGuard, kToTheBottom };
Overflow g_overflow;

void overflows(void*) {
  if (g_overflow == Overflow::kPastTheGuard) {
    use_stack(256 * 4 * rtos_sim::host_stack_factor() + 4096);
  } else {
    recurse_to_the_bottom(0);
  }
  vTaskDelay(1);
  note("survived");
  vTaskEndScheduler();
}

void run_overflow(Overflow how) {
  rtos_sim::reset();
  sim::host::reset_core();
  apollo3sim::reset_platform();
  g_overflow = how;
  xTaskCreate(overflows, "deep", 256, nullptr, 1, nullptr);
  vTaskStartScheduler();
  std::fprintf(stderr, "no overflow seen\n");
  std::exit(0);
}

// A task that uses more than its declared stack calls the overflow hook
// (here the kernel's own, which stops the program naming the task): a
// frame that reaches past the stack at once, a task that filled its stack
// to the last word at its next switch.
TEST_F(Kernel, OverflowCallsTheHook) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (Overflow how : {Overflow::kPastTheGuard, Overflow::kToTheBottom}) {
    EXPECT_EXIT(run_overflow(how), ::testing::ExitedWithCode(sim::kFatalExit),
                "stack overflow in task \"deep\"")
        << static_cast<int>(how);
  }
}

}  // namespace
