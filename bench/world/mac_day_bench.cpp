// Host cost of a class A LoRaWAN device's day on the simulated air:
//
//   MacDay/5min   the MAC test device (mac-device-sx126x) joins the test
//                 network (an EU868 gateway and network server) and sends an
//                 unconfirmed uplink every 5 minutes for 24 h of virtual time
//                 (288 uplinks), each exchange run to its confirm (RX1 and RX2
//                 pass). The time is host wall-clock time from the JOIN command
//                 to the end of the day; the program's start is not counted.
//                 Counters: "uplinks" the server received, "virt/host" the
//                 ratio of virtual to host time.
//
// Skipped with the reason, never failed, when the device is not built or the
// day does not go as planned.
//
//   ./mac_day_bench [--benchmark_repetitions=5]
#include <benchmark/benchmark.h>

#include <exception>
#include <string>

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

constexpr const char* kImage = "mac-device-sx126x";
constexpr int kConsole = 0;
constexpr time_us kPeriod = 5 * kMinute;
constexpr unsigned kUplinks = 24 * kHour / kPeriod;

// The identity mac-device-sx126x joins with.
DeviceEntry device_entry() {
  DeviceEntry e;
  e.name = "a";
  e.dev_eui = 0x0202020202020202ull;
  e.join_eui = 0x0101010101010101ull;
  e.app_key = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
               0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
  return e;
}

// Joins and sends every kPeriod until a day has passed since the join
// began; "" or why the day did not go as planned.
std::string day(World& w, int id, unsigned& uplinks) {
  const time_us start = w.now();
  w.write(id, "JOIN\r\n");
  auto joined = w.wait_line(id, "JOINED ", 20 * kSecond);
  if (!joined || *joined != "JOINED 0")
    return "join: " + (joined ? *joined : std::string("no JOINED line"));
  for (unsigned i = 0; i < kUplinks; ++i) {
    w.run_until(start + (i + 1) * kPeriod);
    w.write(id, "SEND 2 " + bench::payload_hex(1, i, 12) + "\r\n");
    auto sent = w.wait_line(id, "SENT ", 10 * kSecond);
    if (!sent || sent->rfind("SENT 0 ", 0) != 0)
      return "uplink " + std::to_string(i) + ": " + (sent ? *sent : std::string("no SENT line"));
    ++uplinks;
  }
  w.run_until(start + 24 * kHour + kPeriod);
  return "";
}

void mac_day(benchmark::State& state) {
  if (!bench::image_built(kImage)) {
    state.SkipWithError((std::string("skipped: ") + kImage + " is not built").c_str());
    return;
  }
  double host = 0;
  double virt = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string error;
    {
      World w;
      NetworkServer ns{RegionId::kEU868};
      ns.add_device(device_entry());
      Gateway gw{ns, w.master()};
      int id = w.start(kImage);
      if (!w.wait_line(id, "READY", 10 * kSecond)) {
        error = "no READY line";
      } else {
        unsigned uplinks = 0;
        const time_us v0 = w.now();
        const double h0 = bench::host_seconds();
        state.ResumeTiming();
        error = day(w, id, uplinks);
        state.PauseTiming();
        host += bench::host_seconds() - h0;
        virt += static_cast<double>(w.now() - v0) / 1e6;
        // Every uplink reached the server intact: the join request and the data.
        size_t ok = 0;
        for (const UplinkRecord& r : ns.uplinks()) ok += (r.status == "ok");
        if (error.empty() && ok != kUplinks + 1)
          error = "the server received " + std::to_string(ok) + " good uplinks, not " +
                  std::to_string(kUplinks + 1);
        state.counters["uplinks"] = static_cast<double>(ok);
      }
    }
    if (!error.empty()) {
      state.SkipWithError(error.c_str());
      break;
    }
    state.ResumeTiming();
  }
  if (host > 0) state.counters["virt/host"] = virt / host;
}

[[maybe_unused]] const bool registered = [] {
  benchmark::RegisterBenchmark(
      "MacDay/5min",
      [](benchmark::State& state) {
        try {
          mac_day(state);
        } catch (const std::exception& e) {
          state.SkipWithError((std::string("world failed: ") + e.what()).c_str());
        }
      })
      ->Unit(benchmark::kMillisecond)
      ->Iterations(1)
      ->UseRealTime();
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
