// Host cost of a day of LoRaWAN modules driven through their AT ports:
//
//   LorawanDay/1     one Brisola-T (high band, EU868) joins the test network
//                    (an EU868 gateway and network server) with AT+JOIN and
//                    sends a 12-byte unconfirmed uplink with AT+SEND every 5
//                    minutes for 24 h of virtual time (288 uplinks).
//   LorawanDay/20    20 of them in one world with the same network, their
//   LorawanDay/200   joins and uplinks spread evenly over each period.
//   LorawanDay/1000  (288,000 uplinks)
//
// The day itself is bench::LorawanDay (lorawan_day.h), which the recorded
// 20-module day (tests/system/lorawan_day) shares. The time is host
// wall-clock time from the first AT+JOIN to the end of the day; the modules'
// start-up and identity commands are not counted. Counters: "uplinks" data
// uplinks the server decoded, "tx_done" the "+EVT:TX_DONE" lines the modules
// printed, "virt/host" the ratio of virtual to host time, "host/module" the
// host seconds per module, "grants/module" the grants of time the master
// sent (each a device process woken), and "cpu/module" the CPU seconds of
// every process of the world (master and device programs, start-up
// included) per module: on a shared host the wall-clock figures include
// waiting for a CPU, the CPU seconds do not.
//
// Skipped with the reason, never failed, when brisola-t is not built or the
// day does not go as planned (a module that never joins).
//
//   ./lorawan_day_bench [--benchmark_filter=LorawanDay/1$]
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <exception>
#include <string>

#include "lorawan_day.h"

namespace {

using bench::LorawanDay;

// CPU seconds of this process and of its ended children.
double cpu_seconds() {
  double s = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage u{};
    ::getrusage(who, &u);
    s += static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  }
  return s;
}

void lorawan_day(benchmark::State& state) {
  if (!LorawanDay::image_built()) {
    state.SkipWithError((std::string("skipped: ") + LorawanDay::kImage + " is not built").c_str());
    return;
  }
  const size_t n = static_cast<size_t>(state.range(0));
  LorawanDay::Figures figures;
  double grants = 0;
  double cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string error;
    const double cpu0 = cpu_seconds();
    {
      LorawanDay day(n);
      error = day.start();
      if (error.empty()) {
        state.ResumeTiming();
        error = day.run();
        state.PauseTiming();
      }
      figures = day.figures();
      grants = static_cast<double>(day.world().master().grants());
      state.counters["uplinks"] = static_cast<double>(figures.uplinks);
      state.counters["tx_done"] = static_cast<double>(figures.tx_done);
    }
    cpu = cpu_seconds() - cpu0;  // the device programs have ended
    if (!error.empty()) {
      state.SkipWithError(error.c_str());
      break;
    }
    state.ResumeTiming();
  }
  if (figures.host > 0) {
    state.counters["virt/host"] = figures.virt / figures.host;
    state.counters["host/module"] = figures.host / static_cast<double>(n);
    state.counters["grants/module"] = grants / static_cast<double>(n);
    state.counters["cpu/module"] = cpu / static_cast<double>(n);
  }
}

[[maybe_unused]] const bool registered = [] {
  benchmark::RegisterBenchmark(
      "LorawanDay",
      [](benchmark::State& state) {
        try {
          lorawan_day(state);
        } catch (const std::exception& e) {
          state.SkipWithError((std::string("world failed: ") + e.what()).c_str());
        }
      })
      ->Arg(1)
      ->Arg(20)
      ->Arg(200)
      ->Arg(1000)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(1)
      ->UseRealTime();
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
