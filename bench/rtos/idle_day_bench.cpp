// Host cost of a day of tickless idle on the Apollo3 kernel stand-in:
//
//   IdleDay/quiet     one task sleeps 24 h in one wait (the idle task sleeps
//                     through it in one go).
//   IdleDay/timer     a 1 s auto-reload software timer gives a semaphore
//                     that a task waits on: 86400 wake-ups, each through the
//                     STIMER tick interrupt, the timer service task and the
//                     waiting task, with idle sleeps in between.
//
// The time is host wall-clock time for 24 h of virtual time; the aim is well
// under 2 s. Counters: "wakes" the task's wake-ups, "virt/host" the ratio of
// virtual to host time.
//
//   ./rtos_idle_day_bench
#include <benchmark/benchmark.h>

#include <chrono>

#include "FreeRTOS.h"
#include "apollo3_sim.h"
#include "rtos_sim.h"
#include "semphr.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "task.h"
#include "timers.h"

namespace {

constexpr TickType_t kDayTicks = 24u * 3600u * 1024u;

SemaphoreHandle_t g_sem;
uint32_t g_wakes;

void quiet_task(void*) {
  vTaskDelay(kDayTicks);
  ++g_wakes;
  vTaskEndScheduler();
}

void give(TimerHandle_t) { xSemaphoreGive(g_sem); }

void timer_task(void*) {
  TimerHandle_t t = xTimerCreate("second", 1024, pdTRUE, nullptr, give);
  xTimerStart(t, 100);
  while (g_wakes < 24u * 3600u) {
    xSemaphoreTake(g_sem, portMAX_DELAY);
    ++g_wakes;
  }
  vTaskEndScheduler();
}

void run_day(benchmark::State& state, TaskFunction_t body) {
  for (auto _ : state) {
    rtos_sim::reset();
    sim::host::reset_core();
    apollo3sim::reset_platform();
    g_wakes = 0;
    g_sem = xSemaphoreCreateBinary();
    xTaskCreate(body, "day", 256, nullptr, 1, nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    vTaskStartScheduler();
    const double host =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(host);
    state.counters["wakes"] = g_wakes;
    state.counters["virt/host"] = static_cast<double>(sim::now()) / 1e6 / host;
    if (sim::now() < 86400ull * 1000000ull) state.SkipWithError("the day did not pass");
  }
  rtos_sim::reset();
  sim::host::reset_core();
}

void IdleDayQuiet(benchmark::State& state) { run_day(state, quiet_task); }
void IdleDayTimer(benchmark::State& state) { run_day(state, timer_task); }

BENCHMARK(IdleDayQuiet)
    ->Name("IdleDay/quiet")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(IdleDayTimer)
    ->Name("IdleDay/timer")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
