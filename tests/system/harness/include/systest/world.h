// System-test harness: image programs in a world, driven in virtual time.
//
//   systest::World w;
//   auto& a = w.start("a", "brisola-t");
//   a.write(2, "AT\r\n");
//   EXPECT_TRUE(a.wait_line(2, "OK"));
//
// Time moves only inside the harness's calls (run_for, wait_*): between them
// every device waits, and what a test writes or injects happens at now().
// Waits are bounded in virtual time (never in host time) and return as soon
// as what they wait for has come, with now() at that moment.
//
// Each World lives in its own temporary directory (socket, flash files, one
// log per device with its stderr/stdout). It is removed at the end unless the
// test failed (then its path is printed) or QIV_KEEP_WORLD is set.
// A device program that ends by itself (a crash) is a test failure.
//
// Devices are started with --world/--device-id, --flash <world dir>/<name>.flash
// and --uart-world for the ports the world carries (default: all), so their
// serial ports are reached only through write()/wait_*() (or attach_pty()).
//
// A system test program (CMake):
//   qiv_unit_test(my_system_test SOURCES my_system_test.cpp LIBS qiv_systest
//                 LABELS system)
//   add_dependencies(my_system_test brisola-t)   # the images it starts
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/air.h"
#include "sim/sim.h"
#include "world/master.h"

namespace sim::world {
class Driver;
}

namespace systest {

using sim::time_us;
constexpr time_us us(uint64_t n) { return n; }
constexpr time_us ms(uint64_t n) { return n * 1000; }
constexpr time_us sec(uint64_t n) { return n * 1000000; }
constexpr time_us kDefaultTimeout = sec(10);

// Where image programs are: $QIV_IMAGE_DIR, else the build tree's directory
// of images (set by CMake).
std::string image_dir();
std::string image_path(const std::string& image);
bool image_available(const std::string& image);

struct DeviceOptions {
  std::string image;
  // Serial ports the world carries (tests write and read them). Default: all.
  std::vector<int> ports = {0, 1, 2, 3};
  std::vector<std::pair<std::string, int>> pins;       // {"PB12", 1}
  std::vector<std::pair<std::string, uint32_t>> adcs;  // {"VBAT", 3300} mV
  std::string flash_file;                              // default: <world dir>/<name>.flash
  // Bytes the flash file holds before the first start (when not empty).
  std::vector<uint8_t> initial_flash;
  std::vector<std::string> extra_args;  // more launcher options
};

struct OutputChunk {
  time_us t;
  std::string bytes;
};

class World;

class Device {
 public:
  const std::string& name() const { return name_; }
  int id() const { return id_; }
  World& world() { return *world_; }

  // Bytes into serial port `port`, now.
  void write(int port, std::string_view bytes);

  // Lines are what the module outputs: text ending with "\r\n". A "\n"
  // without "\r" before it ends no line (it is part of the line's text, so a
  // wrong line end fails the match), unless accept_bare_lf() was called for
  // the port.
  //
  // Waits until a whole line equal to `line` has come on `port`; consumes the
  // output up to and including it.
  testing::AssertionResult wait_line(int port, std::string_view line,
                                     time_us timeout = kDefaultTimeout);
  // The next whole line on `port` (consumed), or nothing after `timeout`.
  std::optional<std::string> next_line(int port, time_us timeout = kDefaultTimeout);
  // The next whole lines on `port` are exactly `lines`, in order (consumed).
  testing::AssertionResult expect_lines(int port, const std::vector<std::string>& lines,
                                        time_us timeout = kDefaultTimeout);
  // From now on a bare "\n" also ends a line on `port` (for output that is
  // meant to end lines that way; off by default).
  void accept_bare_lf(int port, bool on = true);
  // Nothing new comes on `port` during `duration` (time moves on by it).
  testing::AssertionResult quiet(int port, time_us duration);
  // Waits until these exact bytes have come on `port` (anywhere in the
  // unread output); consumes up to and including them.
  testing::AssertionResult wait_output(int port, std::string_view bytes,
                                       time_us timeout = kDefaultTimeout);

  // Everything the port has output so far, and the part not yet consumed.
  std::string output(int port) const;
  std::string unread(int port) const;
  std::string take(int port);  // unread, then consumed
  const std::vector<OutputChunk>& chunks(int port) const;

  // Power cycle: the program is killed and started again on the same flash
  // file (RAM and retained registers start again), at now().
  void restart();
  // Reset as the reset pin would (the chip's own reset: flash and retained
  // registers are kept). Runs until the program has started again.
  void reset();
  // Ends the program (it leaves the world).
  void kill();
  bool alive() const;

  // Puts serial port `port` on a pseudo-terminal as well (raw mode) and
  // returns its path, for real serial tools (a terminal, pyserial, `sb`):
  // what the device outputs on the port also goes there, and what a tool
  // writes there reaches the device while World::run_paced() runs.
  std::string attach_pty(int port);

  const std::string& flash_path() const { return flash_path_; }
  std::vector<uint8_t> flash() const;
  // Flash operations since the program was (re)started: the launcher's
  // <flash>.stats ("erases N", "programs N").
  sim::FlashCounters flash_counters() const;
  // The program's stdout/stderr so far.
  std::string log() const;
  const std::string& log_path() const { return log_path_; }

 private:
  friend class World;
  struct PortOut {
    std::string all;
    size_t read = 0;
    bool bare_lf = false;
    std::vector<OutputChunk> chunks;
  };
  World* world_ = nullptr;
  std::string name_;
  int id_ = 0;
  DeviceOptions opt_;
  std::string flash_path_;
  std::string log_path_;
  std::map<int, PortOut> out_;
  PortOut& port(int p) { return out_[p]; }
  const PortOut* find_port(int p) const;
};

class World {
 public:
  World();
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  Device& start(const std::string& name, const std::string& image);
  Device& start(const std::string& name, DeviceOptions options);
  Device& device(const std::string& name);
  Device& operator[](const std::string& name) { return device(name); }

  time_us now() const;
  void run_for(time_us duration);
  void run_until(time_us t);
  // Runs until `done()` holds (checked whenever time has moved) or
  // `timeout` has passed; true when it holds.
  bool run_until(const std::function<bool()>& done, time_us timeout);

  // Runs with virtual time following the wall clock (so that host programs on
  // attach_pty() terminals see a device at its real pace) until `done()`
  // holds or `host_seconds` of wall-clock time have passed; true when done.
  bool run_paced(const std::function<bool()>& done, double host_seconds);

  // Every frame put on the air so far, in order.
  const std::vector<sim::world::FrameRecord>& frames() const { return frames_; }
  // Puts a frame on the air now (sender 0, the world).
  void inject_frame(const sim::AirFrame& frame);
  sim::world::LinkBudget& budget();

  const std::string& dir() const { return dir_; }
  sim::world::Master& master();

 private:
  friend class Device;
  std::string dir_;
  std::unique_ptr<sim::world::Driver> driver_;
  std::vector<std::unique_ptr<Device>> devices_;
  std::vector<sim::world::FrameRecord> frames_;
  Device* by_id(int id);
};

// A frame with everyday LoRa settings, for injecting.
sim::AirFrame lora_frame(uint32_t frequency_hz, uint8_t sf, uint32_t bandwidth_hz,
                         const std::vector<uint8_t>& payload, time_us start, time_us time_on_air);

// ------------------------------------------------------------ pipe mode ---
// `printf ... | image args...`: runs the program with `input` on its stdin in
// `cwd` (default: a fresh temporary directory, removed afterwards) and
// collects its stdout and stderr.
struct PipeResult {
  std::string out;
  std::string err;
  int status = -1;         // waitpid status
  bool exited_ok() const;  // exited with status 0
};
PipeResult run_pipe(const std::string& image, const std::vector<std::string>& args,
                    std::string_view input, const std::string& cwd = "");

std::string hex(const uint8_t* data, size_t len);
std::string hex(const std::vector<uint8_t>& data);

}  // namespace systest
