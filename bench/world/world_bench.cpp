// Host cost of simulated time: an idle image over a virtual day, and one
// command/reply round trip on its AT port, each in a world of its own.
// Images that are not built are skipped (reported as such), never failed.
//
//   ./world_bench [--benchmark_filter=...]      QIV_IMAGE_DIR overrides where
//                                               image programs are looked up.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "world/master.h"

#ifndef QIV_IMAGE_DIR
#define QIV_IMAGE_DIR "."
#endif

namespace {

using sim::time_us;

struct Target {
  const char* image;
  const char* command;  // sent on the console port
  const char* reply;    // the line that ends the round trip
};

// The stand-in image measures the world's own overhead; brisola-t is the
// module as users run it.
const Target kTargets[] = {
    {"qiv-fake-device", "PING\r\n", "PONG\r\n"},
    {"brisola-t", "AT\r\n", "OK\r\n"},
};

std::string image_path(const char* image) {
  const char* env = std::getenv("QIV_IMAGE_DIR");
  return std::string(env && *env ? env : QIV_IMAGE_DIR) + "/" + image;
}

// One device in a world of its own, in a temporary directory.
class Bench {
 public:
  explicit Bench(const Target& t) {
    char tmpl[] = "/tmp/qiv-bench-XXXXXX";
    dir_ = ::mkdtemp(tmpl) ? tmpl : "/tmp";
    master_ = std::make_unique<sim::world::Master>(dir_ + "/world.sock");
    sim::world::Master::Callbacks cb;
    cb.uart = [this](int, int port, time_us, const uint8_t* d, size_t n) {
      if (port == console_) out_.append(reinterpret_cast<const char*>(d), n);
    };
    master_->set_callbacks(cb);
    sim::world::DeviceConfig cfg;
    cfg.name = t.image;
    cfg.program = image_path(t.image);
    cfg.log_path = dir_ + "/device.log";
    cfg.cwd = dir_;
    cfg.args = {"--flash", dir_ + "/device.flash"};
    for (int p = 0; p < sim::kMaxUart; ++p) {
      cfg.args.push_back("--uart-world");
      cfg.args.push_back(std::to_string(p));
    }
    id_ = master_->spawn(cfg);
    console_ = master_->console_uart(id_);
    if (console_ < 0) console_ = 0;
  }
  ~Bench() {
    master_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  sim::world::Master& world() { return *master_; }
  // Sends `command` and runs until `reply` has come; false after 10 s of
  // virtual time without it.
  bool round_trip(const Target& t) {
    out_.clear();
    master_->send_uart(id_, console_, reinterpret_cast<const uint8_t*>(t.command),
                       std::char_traits<char>::length(t.command));
    return master_->run_until(master_->now() + 10'000'000,
                              [&]() { return out_.find(t.reply) != std::string::npos; });
  }

 private:
  std::string dir_;
  std::unique_ptr<sim::world::Master> master_;
  std::string out_;
  int id_ = 0;
  int console_ = 0;
};

bool available(benchmark::State& state, const Target& t) {
  if (::access(image_path(t.image).c_str(), X_OK) == 0) return true;
  state.SkipWithError((std::string("skipped: image ") + t.image + " is not built").c_str());
  return false;
}

void idle_day(benchmark::State& state, const Target& t) {
  if (!available(state, t)) return;
  for (auto _ : state) {
    state.PauseTiming();
    {
      Bench b(t);
      b.world().run_until(10'000'000);  // start-up done
      state.ResumeTiming();
      b.world().run_until(b.world().now() + 24ull * 3600 * 1000000);
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
}

void round_trip(benchmark::State& state, const Target& t) {
  if (!available(state, t)) return;
  Bench b(t);
  b.world().run_until(10'000'000);
  for (auto _ : state) {
    if (!b.round_trip(t)) {
      state.SkipWithError("no reply within 10 s of virtual time");
      break;
    }
  }
}

[[maybe_unused]] const bool registered = [] {
  for (const Target& t : kTargets) {
    benchmark::RegisterBenchmark((std::string("IdleDay/") + t.image).c_str(), idle_day, t)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3)
        ->UseRealTime();
    benchmark::RegisterBenchmark((std::string("AtRoundTrip/") + t.image).c_str(), round_trip, t)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
