// Runs the benchmarks' LoRaWAN day (bench/world/lorawan_day.h) and keeps
// what its devices saw and did, for comparing with an earlier build:
//
//   lorawan_day_record MODULES OUT
//
// writes into OUT (emptied first) the flash file of every module, and
//   day.transcript  every module's serial output, in time order
//   day.frames      every frame on the air
//   day.network     the network server's log
// Ends with 0 when the day went as planned and the network decoded every
// uplink; else prints why and ends with 1.
#include <cstdio>
#include <filesystem>
#include <string>

#include "lorawan_day.h"

namespace {

struct File {
  FILE* f = nullptr;
  explicit File(const std::string& path) : f(std::fopen(path.c_str(), "w")) {}
  ~File() {
    if (f) std::fclose(f);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
};

int fail(const std::string& why) {
  std::fprintf(stderr, "lorawan_day_record: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return fail("usage: lorawan_day_record MODULES OUT");
  const long modules = std::strtol(argv[1], nullptr, 10);
  if (modules < 1) return fail("MODULES must be 1 or more");
  const std::string out = argv[2];
  std::error_code ec;
  std::filesystem::remove_all(out, ec);
  std::filesystem::create_directories(out, ec);
  if (ec) return fail("cannot make " + out + ": " + ec.message());
  if (!bench::LorawanDay::image_built())
    return fail(std::string(bench::LorawanDay::kImage) + " is not built");

  File transcript(out + "/day.transcript");
  File frames(out + "/day.frames");
  File network(out + "/day.network");
  if (!transcript.f || !frames.f || !network.f) return fail("cannot write into " + out);
  std::string error;
  bench::LorawanDay::Figures figures;
  try {
    bench::LorawanDay day(static_cast<size_t>(modules), out);
    day.world().driver().set_transcript(transcript.f);
    day.world().driver().set_frame_log(frames.f);
    FILE* log = network.f;
    day.server().on_log = [log](const std::string& line) {
      std::fprintf(log, "%s\n", line.c_str());
    };
    error = day.start();
    if (error.empty()) error = day.run();
    figures = day.figures();
    // Every program ends (and its flash file is whole) before the world's
    // last lines are written.
    day.world().driver().end();
  } catch (const std::exception& e) {
    error = std::string("the world failed: ") + e.what();
  }
  if (!error.empty()) return fail(error);
  const size_t expected = static_cast<size_t>(modules) * bench::LorawanDay::kUplinks;
  std::printf("uplinks decoded %zu of %zu, TX_DONE %u, host %.3f s\n", figures.uplinks, expected,
              figures.tx_done, figures.host);
  if (figures.uplinks != expected)
    return fail("the network decoded " + std::to_string(figures.uplinks) + " uplinks of " +
                std::to_string(expected));
  return 0;
}
