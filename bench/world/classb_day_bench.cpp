// Host cost of a day of a class B module driven through its AT port:
//
//   ClassBDay   one Brisola-T (high band, EU868) joins the test network (an
//               EU868 gateway sending beacons every 128 s, and its network
//               server) with AT+JOIN, enters class B with ping-slot
//               periodicity 5 (four slots a beacon period: one every 32 s)
//               through AT+PGSLOT=5, AT+CLASS=B and one AT+SEND, and then
//               tracks the beacons and opens its ping slots for 24 h of
//               virtual time; the network sends it a downlink in one ping
//               slot every 15 minutes.
//
// The time is host wall-clock time from "+BC:DONE" to the end of the day;
// start-up, join and acquisition are not counted. Counters: "beacons" the
// "+BC:LOCKED" lines of the day, "missed" its "+BC:FAILED" lines,
// "downlinks" the ping-slot downlinks received ("+EVT:RX_B"), "virt/host"
// the ratio of virtual to host time.
//
// Skipped with the reason, never failed, when brisola-t is not built or the
// module does not reach class B.
//
//   ./classb_day_bench
#include <benchmark/benchmark.h>

#include <cstdio>
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

constexpr const char* kImage = "brisola-t";
const Key kAppKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                     0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};

struct Counts {
  unsigned locked = 0;
  unsigned failed = 0;
  unsigned downlinks = 0;
  bool done = false;
};

void take_lines(World& w, int id, Counts& c) {
  for (const std::string& line : w.lines(id)) {
    if (line == "+BC:LOCKED") ++c.locked;
    if (line == "+BC:FAILED") ++c.failed;
    if (line == "+BC:DONE") c.done = true;
    if (line.rfind("+EVT:RX_B:", 0) == 0) ++c.downlinks;
  }
  w.lines(id).clear();
}

bool at(World& w, int id, const std::string& command) {
  w.write(id, command + "\r\n");
  auto ok = w.wait_line(id, "OK", 2 * kSecond);
  return ok && *ok == "OK";
}

// Join, class B; then the day. Returns an error text, or "".
std::string day(World& w, NetworkServer& ns, int id, Counts& c, double& host, double& virt) {
  DeviceEntry e;
  e.name = "m";
  e.dev_eui = 0x0202020202020202ull;
  e.join_eui = 0x0101010101010101ull;
  e.app_key = kAppKey;
  ns.add_device(e);
  for (const char* command :
       {"AT+DEVEUI=0202020202020202", "AT+APPEUI=0101010101010101",
        "AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C", "AT+PGSLOT=5", "AT+CLASS=B"}) {
    if (!at(w, id, command)) return std::string(command) + " refused";
  }
  w.write(id, "AT+JOIN=1:0:10:8\r\n");
  if (!w.wait_line(id, "+EVT:JOINED", 60 * kSecond)) return "not joined";
  if (!at(w, id, "AT+SEND=2:01")) return "AT+SEND refused";
  if (!w.wait_line(id, "+BC:DONE", 200 * kSecond)) return "class B not completed";
  w.lines(id).clear();

  const time_us start = w.now();
  const double h0 = bench::host_seconds();
  for (time_us t = start + 15 * kMinute; t <= start + 24 * kHour; t += 15 * kMinute) {
    w.run_until(t);
    take_lines(w, id, c);
    ns.queue_downlink("m", 2, {0x01, 0x02});
  }
  w.run_until(start + 24 * kHour + 2 * kMinute);
  take_lines(w, id, c);
  host = bench::host_seconds() - h0;
  virt = static_cast<double>(w.now() - start) / 1e6;
  return "";
}

void classb_day(benchmark::State& state) {
  if (!bench::image_built(kImage)) {
    state.SkipWithError((std::string("skipped: ") + kImage + " is not built").c_str());
    return;
  }
  double host = 0;
  double virt = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string error;
    Counts c;
    {
      World w;
      NetworkServer ns{RegionId::kEU868};
      GatewayOptions options;
      options.beacons = true;
      Gateway gw{ns, w.master(), options};
      const int id = w.start(kImage, {"--pin", "PB12=1"});
      if (!w.wait_line(id, "Current Work Mode: LoRaWAN.", 10 * kSecond)) {
        error = "no start-up line";
      } else {
        state.ResumeTiming();
        error = day(w, ns, id, c, host, virt);
        state.PauseTiming();
      }
    }
    state.counters["beacons"] = c.locked;
    state.counters["missed"] = c.failed;
    state.counters["downlinks"] = c.downlinks;
    if (!error.empty()) {
      state.SkipWithError(error.c_str());
      break;
    }
    state.ResumeTiming();
  }
  if (host > 0) {
    state.counters["virt/host"] = virt / host;
    state.counters["host_s"] = host;
    std::printf("ClassBDay: 24 h of virtual time in %.2f s of host time\n", host);
  }
}

[[maybe_unused]] const bool registered = [] {
  benchmark::RegisterBenchmark(
      "ClassBDay",
      [](benchmark::State& state) {
        try {
          classb_day(state);
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
