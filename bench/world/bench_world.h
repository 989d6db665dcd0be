// A small world for benchmarks: image programs under one time master, their
// console output split into lines. Unlike the system-test harness it has no
// test framework in it, and it keeps only what the benchmarks read.
//
//   bench::World w;
//   int a = w.start("qiv-fake-device");
//   w.write(a, "PING\r\n");
//   bool ok = w.wait_line(a, "PONG", 1'000'000);
//
// Each World lives in a temporary directory of its own (socket, flash files,
// device logs), removed at the end, unless given a directory for its flash
// files and device logs (kept, to be looked at afterwards).
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "world/driver.h"
#include "world/master.h"

namespace bench {

using sim::time_us;
constexpr time_us kSecond = 1'000'000;
constexpr time_us kMinute = 60 * kSecond;
constexpr time_us kHour = 60 * kMinute;

// Where image programs are: $QIV_IMAGE_DIR, else the build tree.
std::string image_path(const std::string& image);
bool image_built(const std::string& image);

// Host wall-clock seconds since an arbitrary start (monotonic).
double host_seconds();

// "0102..." of `len` bytes, different for every (device, sequence) pair so
// that a receiver's line names its sender.
std::string payload_hex(int device, unsigned sequence, size_t len);

class World {
 public:
  explicit World(const std::string& dir = "");
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // Starts an image program with every serial port carried by the world and
  // returns its id. Its console is the port the program names (else 0).
  // `args`: more launcher options (e.g. {"--pin", "PB12=1"}).
  int start(const std::string& image, const std::vector<std::string>& args = {});

  // Bytes into the device's console, now.
  void write(int id, std::string_view text);
  // The same at a later time `t`, as if run_until(t) and write() (see
  // Master::send_uart_at): the other devices need not stop there.
  void write_at(int id, time_us t, std::string_view text);

  // Runs until a whole line starting with `prefix` has come from the
  // device's console and returns it; lines before it are dropped. Nothing
  // when `timeout` of virtual time passes first.
  std::optional<std::string> wait_line(int id, std::string_view prefix, time_us timeout);
  // Lines come so far and not yet taken (each without its line end).
  std::deque<std::string>& lines(int id);

  sim::world::Master& master() { return driver_.master(); }
  sim::world::Driver& driver() { return driver_; }
  time_us now() const { return driver_.now(); }
  void run_until(time_us t) { driver_.run_until(t); }
  const std::string& dir() const { return driver_.dir(); }

 private:
  // Lines of every port are kept (the console is known only once the
  // program has introduced itself, after its start-up may have printed).
  struct Port {
    std::string partial;
    std::deque<std::string> lines;
  };
  struct Device {
    int console = 0;
    Port ports[sim::kMaxUart];
    Port& con() { return ports[console]; }
  };
  sim::world::Driver driver_;
  std::vector<Device> devices_;  // index id - 1
  Device& device(int id) { return devices_.at(static_cast<size_t>(id - 1)); }
};

}  // namespace bench
