// Host cost of worlds shaped like a LoRaWAN network, where a frame is heard by
// one listener only (a gateway) and every other device sleeps between its
// own sends:
//
//   ClassADay            one sender, one frame every 10 minutes followed by
//                        two short receive windows 1 s and 2 s after its end
//                        (as a class A device opens them), and a listener in
//                        continuous reception, for 24 h of virtual time
//   OneGateway/<devices> <devices> - 1 senders, each one frame every 5
//                        minutes (spread evenly so that none collide), and
//                        one listener in continuous reception, for 15 minutes
//                        of virtual time. Host time should grow with the
//                        number of frames, i.e. linearly with the devices:
//                        counter "host_ms/frame" stays flat.
//
// Both run the SX126x test radio device (radio-device-sx126x); setting up the
// devices is not timed. Counters: "virt/host" virtual over host time,
// "frames" sent, "heard" by the listener.
#include <benchmark/benchmark.h>

#include <exception>
#include <string>
#include <vector>

#include "bench_world.h"

namespace {

using bench::kMinute;
using bench::kSecond;
using bench::World;
using sim::time_us;

constexpr const char* kImage = "radio-device-sx126x";
// LoRa SF7/125 kHz, 4/5, 14 dBm, preamble 8; the last two: symbol timeout
// (a window closes after that many symbols without a preamble) and
// continuous reception.
constexpr const char* kListenerConfig = "LORA 868100000 7 0 1 14 8 0 1";
constexpr const char* kSenderConfig = "LORA 868100000 7 0 1 14 8 8 0";

bool starts_with(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Starts a device and configures its radio; "" or why not.
std::string start_radio(World& w, const char* config, int* id) {
  *id = w.start(kImage);
  if (!w.wait_line(*id, "READY", 2 * kSecond)) return "no READY line";
  w.write(*id, std::string(config) + "\r\n");
  auto ok = w.wait_line(*id, "", kSecond);
  if (!ok || *ok != "OK")
    return std::string("'") + config + "' answered '" + (ok ? *ok : "nothing") + "'";
  return "";
}

// Counts and drops the listener's lines; returns the frames it heard.
uint64_t drain_listener(World& w, int listener) {
  uint64_t heard = 0;
  for (auto& lines = w.lines(listener); !lines.empty(); lines.pop_front())
    if (starts_with(lines.front(), "RXDONE ")) ++heard;
  return heard;
}

// ------------------------------------------------------- class A, a day ---

void class_a_day(benchmark::State& state) {
  constexpr time_us kPeriod = 10 * kMinute;
  constexpr time_us kLength = 24 * 60 * kMinute;
  if (!bench::image_built(kImage)) {
    state.SkipWithError("skipped: radio-device-sx126x is not built");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    std::string error;
    {
      World w;
      int sender = 0, listener = 0;
      error = start_radio(w, kSenderConfig, &sender);
      if (error.empty()) error = start_radio(w, kListenerConfig, &listener);
      if (error.empty()) {
        w.write(listener, "RX 0\r\n");
        w.run_until(w.now() + kSecond);
        const time_us t0 = w.now();
        const uint64_t grants0 = w.master().grants();
        uint64_t sent = 0, heard = 0, windows = 0;
        unsigned seq = 0;
        state.ResumeTiming();
        const double host_start = bench::host_seconds();
        for (time_us next = t0; next < t0 + kLength && error.empty(); next += kPeriod) {
          w.run_until(next);
          heard += drain_listener(w, listener);
          w.write(sender, "TX " + bench::payload_hex(1, seq++, 20) + "\r\n");
          if (!w.wait_line(sender, "TXDONE", kSecond)) {
            error = "no TXDONE";
            break;
          }
          ++sent;
          // The receive windows, 1 s and 2 s after the uplink; no answer
          // comes, so each closes on its symbol timeout.
          const time_us tx_end = w.now();
          for (time_us delay : {kSecond, 2 * kSecond}) {
            w.run_until(tx_end + delay);
            w.write(sender, "RX 3000\r\n");
            if (!w.wait_line(sender, "RXTIMEOUT", kSecond)) {
              error = "a receive window did not close";
              break;
            }
            ++windows;
          }
        }
        if (error.empty()) {
          w.run_until(t0 + kLength);
          heard += drain_listener(w, listener);
        }
        const double host = bench::host_seconds() - host_start;
        state.PauseTiming();
        state.counters["virt/host"] = static_cast<double>(w.now() - t0) / 1e6 / host;
        state.counters["frames"] = static_cast<double>(sent);
        state.counters["heard"] = static_cast<double>(heard);
        state.counters["grants"] = static_cast<double>(w.master().grants() - grants0);
        if (error.empty() && (heard != sent || windows != 2 * sent))
          error = "heard " + std::to_string(heard) + " of " + std::to_string(sent) + " frames";
      }
    }
    if (!error.empty()) {
      state.SkipWithError(error.c_str());
      break;
    }
    state.ResumeTiming();
  }
}

// ---------------------------------------- many senders, one listener -----

void one_gateway(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  const int senders = devices - 1;
  constexpr time_us kPeriod = 5 * kMinute;
  constexpr time_us kLength = 15 * kMinute;
  if (!bench::image_built(kImage)) {
    state.SkipWithError("skipped: radio-device-sx126x is not built");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    std::string error;
    {
      World w;
      int listener = 0;
      std::vector<int> id(static_cast<size_t>(senders));
      error = start_radio(w, kListenerConfig, &listener);
      for (int i = 0; i < senders && error.empty(); ++i)
        error = start_radio(w, kSenderConfig, &id[static_cast<size_t>(i)]);
      if (error.empty()) {
        w.write(listener, "RX 0\r\n");
        struct Send {
          time_us t;
          int sender;
        };
        const time_us t0 = w.now() + kSecond;
        const time_us gap = kPeriod / static_cast<time_us>(senders);
        std::vector<Send> sends;
        for (time_us k = 0; k * kPeriod < kLength; ++k)
          for (int i = 0; i < senders; ++i)
            sends.push_back({t0 + k * kPeriod + static_cast<time_us>(i) * gap, i});
        const time_us end = t0 + kLength + kSecond;
        uint64_t sent = 0, heard = 0;
        unsigned seq = 0;
        state.ResumeTiming();
        const double host_start = bench::host_seconds();
        const time_us virtual_start = w.now();
        const uint64_t grants0 = w.master().grants();
        for (const Send& s : sends) {
          w.run_until(s.t);
          heard += drain_listener(w, listener);
          const int d = id[static_cast<size_t>(s.sender)];
          for (auto& lines = w.lines(d); !lines.empty(); lines.pop_front())
            if (starts_with(lines.front(), "TXDONE")) ++sent;
          w.write(d, "TX " + bench::payload_hex(s.sender + 1, seq++, 20) + "\r\n");
        }
        w.run_until(end);
        heard += drain_listener(w, listener);
        for (int d : id)
          for (auto& lines = w.lines(d); !lines.empty(); lines.pop_front())
            if (starts_with(lines.front(), "TXDONE")) ++sent;
        const double host = bench::host_seconds() - host_start;
        state.PauseTiming();
        state.counters["virt/host"] = static_cast<double>(w.now() - virtual_start) / 1e6 / host;
        state.counters["frames"] = static_cast<double>(sent);
        state.counters["heard"] = static_cast<double>(heard);
        state.counters["grants"] = static_cast<double>(w.master().grants() - grants0);
        state.counters["host_ms/frame"] = sent ? host * 1e3 / static_cast<double>(sent) : 0;
        if (sent != sends.size() || heard != sent)
          error = "sent " + std::to_string(sent) + "/" + std::to_string(sends.size()) + ", heard " +
                  std::to_string(heard);
      }
    }
    if (!error.empty()) {
      state.SkipWithError(error.c_str());
      break;
    }
    state.ResumeTiming();
  }
}

void guarded(benchmark::State& state, void (*fn)(benchmark::State&)) {
  try {
    fn(state);
  } catch (const std::exception& e) {
    state.SkipWithError((std::string("world failed: ") + e.what()).c_str());
  }
}

[[maybe_unused]] const bool registered = [] {
  benchmark::RegisterBenchmark("ClassADay", guarded, class_a_day)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(3)
      ->UseRealTime();
  benchmark::RegisterBenchmark("OneGateway", guarded, one_gateway)
      ->Arg(50)
      ->Arg(100)
      ->Arg(200)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(1)
      ->UseRealTime();
  return true;
}();

}  // namespace
