// Host cost of a day of LoRaWAN modules driven through their AT ports:
//
//   LorawanDay/1     one Brisola-T (high band, EU868) joins the test network
//                    (an EU868 gateway and network server) with AT+JOIN and
//                    sends a 12-byte unconfirmed uplink with AT+SEND every 5
//                    minutes for 24 h of virtual time (288 uplinks).
//   LorawanDay/20    20 of them in one world with the same network, their
//   LorawanDay/200   joins and uplinks spread evenly over each period.
//
// Every module sends at DR5 (AT+DR=5), so that 200 modules on three channels
// stay below the load at which most frames collide. The time is host
// wall-clock time from the first AT+JOIN to the end of the day; the modules'
// start-up and identity commands are not counted. Counters: "uplinks" data
// uplinks the server decoded, "tx_done" the "+EVT:TX_DONE" lines the modules
// printed, "virt/host" the ratio of virtual to host time, "host/module" the
// host seconds per module.
//
// Skipped with the reason, never failed, when brisola-t is not built or the
// day does not go as planned (a module that never joins).
//
//   ./lorawan_day_bench [--benchmark_filter=LorawanDay/1$]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "bench_world.h"
#include "network/gateway.h"
#include "network/server.h"

namespace {

using bench::kHour;
using bench::kMinute;
using bench::kSecond;
using bench::World;
using sim::time_us;
using namespace sim::network;

constexpr const char* kImage = "brisola-t";
constexpr time_us kPeriod = 5 * kMinute;
constexpr unsigned kUplinks = 24 * kHour / kPeriod;
const Key kAppKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                     0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};

std::string eui_hex(uint64_t eui) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(eui));
  return text;
}

struct Module {
  int id = 0;
  std::string name;
  bool joined = false;
  unsigned tx_done = 0;
};

// Takes the lines a module printed so far: counts what is reported.
void take_lines(World& w, Module& m) {
  for (const std::string& line : w.lines(m.id)) {
    if (line == "+EVT:JOINED") m.joined = true;
    if (line == "+EVT:TX_DONE") ++m.tx_done;
  }
  w.lines(m.id).clear();
}

// One command and its "OK" (the module's own lines before it are dropped).
bool at(World& w, Module& m, const std::string& command) {
  w.write(m.id, command + "\r\n");
  auto ok = w.wait_line(m.id, "OK", 2 * kSecond);
  return ok && *ok == "OK";
}

std::string day(World& w, NetworkServer& ns, std::vector<Module>& modules, double& host,
                double& virt) {
  const size_t n = modules.size();
  for (size_t i = 0; i < n; ++i) {
    Module& m = modules[i];
    const uint64_t eui = 0x0202020200000000ull + i;
    DeviceEntry e;
    e.name = m.name;
    e.dev_eui = eui;
    e.join_eui = 0x0101010101010101ull;
    e.app_key = kAppKey;
    ns.add_device(e);
    if (!at(w, m, "AT+DEVEUI=" + eui_hex(eui)) || !at(w, m, "AT+APPEUI=0101010101010101") ||
        !at(w, m, "AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C") || !at(w, m, "AT+DR=5"))
      return m.name + ": identity commands refused";
  }
  const time_us start = w.now();
  const double h0 = bench::host_seconds();
  const time_us step = kPeriod / static_cast<time_us>(n);
  // Joins spread over the first period (a failed join is tried again every
  // 10 s, up to 8 times); the uplinks over each following one.
  for (size_t i = 0; i < n; ++i) {
    w.run_until(start + static_cast<time_us>(i) * step);
    w.write(modules[i].id, "AT+JOIN=1:0:10:8\r\n");
  }
  for (unsigned k = 1; k <= kUplinks; ++k) {
    for (size_t i = 0; i < n; ++i) {
      Module& m = modules[i];
      w.run_until(start + k * kPeriod + static_cast<time_us>(i) * step);
      take_lines(w, m);
      if (!m.joined) {
        if (k > 2) return m.name + ": not joined after two periods";
        continue;
      }
      w.write(m.id, "AT+SEND=2:" + bench::payload_hex(static_cast<int>(i), k, 12) + "\r\n");
    }
  }
  w.run_until(start + (kUplinks + 1) * kPeriod);
  for (Module& m : modules) take_lines(w, m);
  host = bench::host_seconds() - h0;
  virt = static_cast<double>(w.now() - start) / 1e6;
  return "";
}

void lorawan_day(benchmark::State& state) {
  if (!bench::image_built(kImage)) {
    state.SkipWithError((std::string("skipped: ") + kImage + " is not built").c_str());
    return;
  }
  const size_t n = static_cast<size_t>(state.range(0));
  double host = 0;
  double virt = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string error;
    {
      World w;
      NetworkServer ns{RegionId::kEU868};
      Gateway gw{ns, w.master()};
      std::vector<Module> modules(n);
      for (size_t i = 0; i < n && error.empty(); ++i) {
        modules[i].name = "m" + std::to_string(i);
        modules[i].id = w.start(kImage, {"--pin", "PB12=1"});
        if (!w.wait_line(modules[i].id, "Current Work Mode: LoRaWAN.", 10 * kSecond))
          error = modules[i].name + ": no start-up line";
      }
      if (error.empty()) {
        state.ResumeTiming();
        error = day(w, ns, modules, host, virt);
        state.PauseTiming();
      }
      size_t ok = 0;
      for (const UplinkRecord& r : ns.uplinks())
        ok += (r.status == "ok" && r.mtype == MType::kUnconfirmedUp);
      unsigned tx_done = 0;
      for (const Module& m : modules) tx_done += m.tx_done;
      state.counters["uplinks"] = static_cast<double>(ok);
      state.counters["tx_done"] = static_cast<double>(tx_done);
    }
    if (!error.empty()) {
      state.SkipWithError(error.c_str());
      break;
    }
    state.ResumeTiming();
  }
  if (host > 0) {
    state.counters["virt/host"] = virt / host;
    state.counters["host/module"] = host / static_cast<double>(n);
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
      ->Unit(benchmark::kMillisecond)
      ->Iterations(1)
      ->UseRealTime();
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
