// Host cost of simulated time, measured on worlds of image programs:
//
//   IdleDay/<image>       an idle device over 24 h of virtual time
//   AtRoundTrip/<image>   one command and its reply on the console
//   FrameExchange/<pair>  one frame from one device to the other (the command
//                         that sends it, the sender's done line and the
//                         receiver's line with the payload), alternating
//                         direction; through the SX126x driver, through the
//                         STM32WL's sub-GHz radio driver, both mixed, the
//                         stand-in device and brisola-t's P2P commands
//   World20/<devices>     20 devices each sending a frame a minute (staggered
//                         by 3 s), every other device listening, for an hour
//                         of virtual time; counter "virt/host" is the ratio of
//                         virtual to host time, "grants" the steps of time the
//                         master gave devices
//   Boot20/<devices>      20 devices started together until each is ready to
//                         send and hear frames (brisola-t: its start-up, the
//                         switch to P2P with its restart, the radio settings
//                         and continuous reception); counter "virt_ms" is the
//                         virtual time that took
//
// Images that are not built, or that cannot do what a benchmark asks yet, are
// skipped with the reason, never failed. Device programs run as processes of
// their own, so every time here is wall-clock time ("Time"); "CPU" is only
// the master's share.
//
//   ./world_bench [--benchmark_filter=...]      QIV_IMAGE_DIR overrides where
//                                               image programs are looked up.
#include <benchmark/benchmark.h>

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "bench_world.h"

namespace {

using bench::kHour;
using bench::kMinute;
using bench::kSecond;
using bench::World;
using sim::time_us;
constexpr time_us kMs = 1000;

bool starts_with(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}
bool ends_with(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Sends `cmd` and returns the next non-empty console line ("" when none came).
std::string ask(World& w, int id, const std::string& cmd, time_us timeout = kSecond) {
  w.write(id, cmd + "\r\n");
  for (;;) {
    auto line = w.wait_line(id, "", timeout);
    if (!line) return "";
    if (!line->empty()) return *line;
  }
}

std::string expect(World& w, int id, const std::string& cmd, const std::string& reply) {
  std::string got = ask(w, id, cmd);
  if (got == reply) return "";
  return "'" + cmd + "' answered '" + (got.empty() ? std::string("nothing") : got) + "'";
}

// ------------------------------------------------- kinds of radio device ---

struct Kind {
  const char* image;
  std::vector<std::string> args;  // launcher options
  // Brings a started device to where it sends and hears frames; "" when
  // done, else why it cannot.
  std::string (*setup)(World&, int id);
  const char* send;   // command; the payload in hex and "\r\n" follow
  const char* sent;   // line: the frame has left
  const char* arm;    // command opening a receive window; "" when always listening
  const char* heard;  // line: a frame came (the payload in hex ends it)
  // The receiver stays on after a frame it heard (continuous reception):
  // only the device's own send ends it, so it is armed again only then.
  bool continuous = false;
};

std::string setup_fake(World& w, int id) {
  return w.wait_line(id, "READY", 2 * kSecond) ? "" : "no READY line";
}

// The test radio devices: LoRa SF7/125 kHz, 4/5, 14 dBm, preamble 8, no
// symbol timeout, continuous reception (re-armed only after a send).
std::string setup_radio_device(World& w, int id) {
  if (!w.wait_line(id, "READY", 2 * kSecond)) return "no READY line";
  return expect(w, id, "LORA 868100000 7 0 1 14 8 0 1", "OK");
}

// brisola-t (its band strap on the high band) in LoRa P2P mode with the same
// radio settings, receiving continuously between its own sends.
std::string setup_brisola(World& w, int id) {
  const char* banner_end = "Current Work Mode:";
  if (!w.wait_line(id, banner_end, 5 * kSecond)) return "no start-up banner";
  w.write(id, "AT+NWM=0\r\n");  // answers "OK" and restarts
  if (!w.wait_line(id, banner_end, 5 * kSecond))
    return "AT+NWM=0 did not restart it (P2P commands not built yet?)";
  if (std::string e = expect(w, id, "AT+P2P=868100000:7:125:0:8:14", "OK"); !e.empty()) return e;
  return expect(w, id, "AT+PRECV=65533", "OK");
}

const Kind kFake{"qiv-fake-device", {}, setup_fake, "TX ", "OK", "", "RX "};
const Kind kSx126x{
    "radio-device-sx126x", {}, setup_radio_device, "TX ", "TXDONE", "RX 0", "RXDONE ", true};
const Kind kSubghz{
    "radio-device-subghz", {}, setup_radio_device, "TX ", "TXDONE", "RX 0", "RXDONE ", true};
const Kind kBrisola{"brisola-t", {"--pin", "PB12=1"}, setup_brisola, "AT+PSEND=", "+EVT:TXP2P DONE",
                    "",          "+EVT:RXP2P:"};

bool built(benchmark::State& state, const std::vector<const Kind*>& kinds) {
  for (const Kind* k : kinds) {
    if (!bench::image_built(k->image)) {
      state.SkipWithError((std::string("skipped: ") + k->image + " is not built").c_str());
      return false;
    }
  }
  return true;
}

// Starts one device per entry and sets each up; "" or why not.
std::string start_all(World& w, const std::vector<const Kind*>& kinds, std::vector<int>& ids) {
  for (const Kind* k : kinds) ids.push_back(w.start(k->image, k->args));
  for (size_t i = 0; i < kinds.size(); ++i) {
    if (std::string e = kinds[i]->setup(w, ids[i]); !e.empty())
      return std::string("skipped: ") + kinds[i]->image + ": " + e;
  }
  return "";
}

// ------------------------------------------------------------- idle day ---

struct Console {
  const char* image;
  const char* ready;    // a line of its start-up
  const char* command;  // and one command with its reply
  const char* reply;
};
const Console kFakeConsole{"qiv-fake-device", "READY", "PING", "PONG"};
const Console kBrisolaConsole{"brisola-t", "Current Work Mode:", "AT", "OK"};

void idle_day(benchmark::State& state, const Console* c) {
  if (!bench::image_built(c->image)) {
    state.SkipWithError((std::string("skipped: ") + c->image + " is not built").c_str());
    return;
  }
  // The timer runs only over the day; an error ends the run with it paused
  // (the library refuses to resume it after an error).
  for (auto _ : state) {
    state.PauseTiming();
    std::string error;
    {
      World w;
      int id = w.start(c->image);
      if (!w.wait_line(id, c->ready, 10 * kSecond)) {
        error = "no start-up line";
      } else {
        const time_us end = w.now() + 24 * kHour;
        state.ResumeTiming();
        w.run_until(end);
        state.PauseTiming();
        // The day really passed and the device still answers.
        if (w.now() != end || ask(w, id, c->command) != c->reply)
          error = "the device did not answer after the day";
      }
    }
    if (!error.empty()) {
      state.SkipWithError(error.c_str());
      break;
    }
    state.ResumeTiming();
  }
}

void at_round_trip(benchmark::State& state, const Console* c) {
  if (!bench::image_built(c->image)) {
    state.SkipWithError((std::string("skipped: ") + c->image + " is not built").c_str());
    return;
  }
  World w;
  int id = w.start(c->image);
  if (!w.wait_line(id, c->ready, 10 * kSecond)) {
    state.SkipWithError("no start-up line");
    return;
  }
  const std::string command = std::string(c->command) + "\r\n";
  for (auto _ : state) {
    w.write(id, command);
    if (!w.wait_line(id, c->reply, 10 * kSecond)) {
      state.SkipWithError("no reply within 10 s of virtual time");
      break;
    }
  }
}

// ------------------------------------------------------- frame exchange ---

void frame_exchange(benchmark::State& state, const Kind* ka, const Kind* kb) {
  if (!built(state, {ka, kb})) return;
  World w;
  std::vector<int> id;
  const Kind* kind[2] = {ka, kb};
  if (std::string e = start_all(w, {ka, kb}, id); !e.empty()) {
    state.SkipWithError(e.c_str());
    return;
  }
  const time_us virtual_start = w.now();
  unsigned seq = 0;
  bool armed[2] = {false, false};
  for (auto _ : state) {
    const int s = static_cast<int>(seq % 2), r = 1 - s;
    if (*kind[r]->arm && !armed[r]) {
      w.write(id[r], std::string(kind[r]->arm) + "\r\n");
      w.run_until(w.now() + 5 * kMs);
    }
    armed[s] = false;
    armed[r] = kind[r]->continuous;
    const std::string hex = bench::payload_hex(s + 1, seq, 16);
    w.write(id[s], std::string(kind[s]->send) + hex + "\r\n");
    auto sent = w.wait_line(id[s], kind[s]->sent, kSecond);
    auto heard = w.wait_line(id[r], kind[r]->heard, kSecond);
    if (!sent || !heard || !ends_with(*heard, hex)) {
      state.SkipWithError(("frame " + std::to_string(seq) +
                           " not exchanged: " + (sent ? "" : "no done line; ") +
                           (heard ? *heard : std::string("not heard")))
                              .c_str());
      break;
    }
    ++seq;
  }
  if (seq) state.counters["virt_ms"] = static_cast<double>(w.now() - virtual_start) / 1000.0 / seq;
}

// ---------------------------------------------- twenty devices, one hour ---

void world_of_20(benchmark::State& state, std::vector<const Kind*> cycle) {
  constexpr int kDevices = 20;
  constexpr time_us kPeriod = kMinute;
  constexpr time_us kStagger = 3 * kSecond;
  constexpr time_us kLength = kHour;
  if (!built(state, cycle)) return;
  std::vector<const Kind*> kinds;
  for (int i = 0; i < kDevices; ++i) kinds.push_back(cycle[static_cast<size_t>(i) % cycle.size()]);

  for (auto _ : state) {
    state.PauseTiming();
    {
      World w;
      std::vector<int> id;
      if (std::string e = start_all(w, kinds, id); !e.empty()) {
        state.SkipWithError(e.c_str());
        break;
      }
      for (int i = 0; i < kDevices; ++i)
        if (*kinds[i]->arm) w.write(id[i], std::string(kinds[i]->arm) + "\r\n");

      struct Send {
        time_us t;
        int device;
      };
      const time_us t0 = w.now() + kSecond;
      std::vector<Send> sends;
      for (time_us k = 0; k * kPeriod < kLength; ++k)
        for (int i = 0; i < kDevices; ++i)
          sends.push_back({t0 + k * kPeriod + static_cast<time_us>(i) * kStagger, i});
      const time_us end = t0 + kLength + 2 * kSecond;  // the last frames land

      // The run stops for lines only where a line asks for an answer (a
      // receiver to open again); otherwise the lines are read at the next
      // send time, and the devices need not wait for an answer that never
      // comes.
      bool answers = false;
      for (const Kind* k : kinds) answers = answers || *k->arm;
      std::function<bool()> pending;
      if (answers) {
        pending = [&]() {
          for (int i = 0; i < kDevices; ++i)
            if (!w.lines(id[i]).empty()) return true;
          return false;
        };
      }
      uint64_t sent = 0, heard = 0, failed = 0;
      size_t next = 0;
      unsigned seq = 0;

      state.ResumeTiming();
      const double host_start = bench::host_seconds();
      const time_us virtual_start = w.now();
      const uint64_t grants0 = w.master().grants();
      for (;;) {
        const time_us target = next < sends.size() ? sends[next].t : end;
        w.master().run_until(target, pending);
        for (int i = 0; i < kDevices; ++i) {
          auto& lines = w.lines(id[i]);
          while (!lines.empty()) {
            std::string line = std::move(lines.front());
            lines.pop_front();
            bool rearm = false;
            if (starts_with(line, kinds[i]->sent)) {
              ++sent;
              rearm = true;
            } else if (starts_with(line, kinds[i]->heard)) {
              ++heard;
              rearm = !kinds[i]->continuous;
            } else if (starts_with(line, "RXTIMEOUT") || starts_with(line, "RXERROR") ||
                       starts_with(line, "TXTIMEOUT") || starts_with(line, "+EVT:RXP2P RECEIVE")) {
              ++failed;
              rearm = true;
            }
            if (rearm && *kinds[i]->arm) w.write(id[i], std::string(kinds[i]->arm) + "\r\n");
          }
        }
        if (next < sends.size() && w.now() >= sends[next].t) {
          const int i = sends[next++].device;
          w.write(id[i],
                  std::string(kinds[i]->send) + bench::payload_hex(i + 1, seq++, 16) + "\r\n");
        } else if (next == sends.size() && w.now() >= end) {
          break;
        }
      }
      const double host = bench::host_seconds() - host_start;
      const double virt = static_cast<double>(w.now() - virtual_start) / 1e6;
      state.PauseTiming();

      const uint64_t expected_heard = sends.size() * (kDevices - 1);
      state.counters["virt/host"] = virt / host;
      state.counters["grants"] = static_cast<double>(w.master().grants() - grants0);
      state.counters["frames"] = static_cast<double>(sent);
      state.counters["heard"] = static_cast<double>(heard);
      if (sent != sends.size() || heard != expected_heard || failed) {
        state.SkipWithError(("sent " + std::to_string(sent) + "/" + std::to_string(sends.size()) +
                             ", heard " + std::to_string(heard) + "/" +
                             std::to_string(expected_heard) + ", " + std::to_string(failed) +
                             " timeouts or errors")
                                .c_str());
        break;
      }
    }
    state.ResumeTiming();
  }
}

// ------------------------------------------------ twenty devices booting ---

void boot_of_20(benchmark::State& state, std::vector<const Kind*> cycle) {
  constexpr int kDevices = 20;
  if (!built(state, cycle)) return;
  std::vector<const Kind*> kinds;
  for (int i = 0; i < kDevices; ++i) kinds.push_back(cycle[static_cast<size_t>(i) % cycle.size()]);
  for (auto _ : state) {
    state.PauseTiming();
    {
      World w;
      const time_us virtual_start = w.now();
      state.ResumeTiming();
      std::vector<int> id;
      const std::string e = start_all(w, kinds, id);
      state.PauseTiming();
      if (!e.empty()) {
        state.SkipWithError(e.c_str());
        break;
      }
      state.counters["virt_ms"] = static_cast<double>(w.now() - virtual_start) / 1000.0;
    }
    state.ResumeTiming();
  }
}

// ---------------------------------------------------------- registration ---

// A world that breaks (a program that cannot start, a stalled device) throws;
// the benchmark then reports why instead of ending the run.
template <typename... Args>
void guarded(benchmark::State& state, void (*fn)(benchmark::State&, Args...), Args... args) {
  try {
    fn(state, args...);
  } catch (const std::exception& e) {
    state.SkipWithError((std::string("world failed: ") + e.what()).c_str());
  }
}

[[maybe_unused]] const bool registered = [] {
  for (const Console* c : {&kFakeConsole, &kBrisolaConsole}) {
    benchmark::RegisterBenchmark((std::string("IdleDay/") + c->image).c_str(),
                                 guarded<const Console*>, idle_day, c)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3)
        ->UseRealTime();
    benchmark::RegisterBenchmark((std::string("AtRoundTrip/") + c->image).c_str(),
                                 guarded<const Console*>, at_round_trip, c)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
  }
  struct Pair {
    const char* name;
    const Kind* a;
    const Kind* b;
  };
  for (const Pair& p :
       {Pair{"fake", &kFake, &kFake}, Pair{"sx126x", &kSx126x, &kSx126x},
        Pair{"subghz", &kSubghz, &kSubghz}, Pair{"sx126x-subghz", &kSx126x, &kSubghz},
        Pair{"brisola-t", &kBrisola, &kBrisola}}) {
    benchmark::RegisterBenchmark((std::string("FrameExchange/") + p.name).c_str(),
                                 guarded<const Kind*, const Kind*>, frame_exchange, p.a, p.b)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
  }
  struct Mix {
    const char* name;
    std::vector<const Kind*> cycle;
  };
  for (const Mix& m : {Mix{"fake", {&kFake}}, Mix{"sx126x+subghz", {&kSx126x, &kSubghz}},
                       Mix{"brisola-t", {&kBrisola}}}) {
    benchmark::RegisterBenchmark((std::string("World20/") + m.name).c_str(),
                                 guarded<std::vector<const Kind*>>, world_of_20, m.cycle)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->UseRealTime();
  }
  for (const Mix& m : {Mix{"sx126x+subghz", {&kSx126x, &kSubghz}}, Mix{"brisola-t", {&kBrisola}}}) {
    benchmark::RegisterBenchmark((std::string("Boot20/") + m.name).c_str(),
                                 guarded<std::vector<const Kind*>>, boot_of_20, m.cycle)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3)
        ->UseRealTime();
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
