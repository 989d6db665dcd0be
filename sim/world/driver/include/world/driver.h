// The world driver: starts and runs a world of image programs for the
// programs that use worlds (qivsim, the system-test harness, the
// benchmarks). It owns the time master and the directory of the world, and
// adds what each of them would otherwise do on its own:
// - device programs started with their flash file, log, pins, analogue
//   inputs and the ports the world carries;
// - serial ports on pseudo-terminals, paced to the wall clock for tools;
// - input scripts fed to a console as a line with flow control would;
// - a transcript of all serial output and a log of the frames on the air;
// - the test network (gateway and network server) on the air.
//
//   sim::world::Driver w({});
//   int a = w.start({.name = "a", .image = "brisola-t"});
//   w.on_uart([](int id, int port, sim::time_us t, const uint8_t* d, size_t n) {...});
//   w.run_until(w.now() + 1'000'000);
//
// Device ids are 1, 2, ... in the order of start(). Single-threaded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hostutil/tempdir.h"
#include "sim/sim.h"
#include "world/master.h"

namespace sim::network {
class NetworkSetup;
}

namespace sim::world {

struct DeviceLaunch {
  std::string name;   // letters, digits, '-' and '_'; unique in the world
  std::string image;  // looked up in the image directory unless it has a '/'
  std::string flash;  // "" : <dir>/<name>.flash
  // Bytes the flash file holds before the first start (when not empty).
  std::vector<uint8_t> initial_flash;
  // The serial ports the world carries (written and read through the world).
  std::vector<int> world_ports = {0, 1, 2, 3};
  // Ports on pseudo-terminals from the very start (their start-up output
  // included).
  std::vector<int> pty_ports;
  // The console port (known once the program has introduced itself) on a
  // pseudo-terminal, with what it printed while starting.
  bool console_pty = false;
  std::vector<std::pair<std::string, int>> pins;       // {"PB12", 1}
  std::vector<std::pair<std::string, uint32_t>> adcs;  // {"VBAT", 3300} mV
  std::vector<std::string> args;                       // more launcher options
};

// $QIV_IMAGE_DIR when set, else `built_in`.
std::string image_dir_from_env(const std::string& built_in);
// `image` itself when it holds a '/', else <dir>/<image>.
std::string image_path_in(const std::string& dir, const std::string& image);
// Letters, digits, '-' and '_', at least one.
bool valid_device_name(const std::string& name);

class Driver {
 public:
  struct Options {
    // Where flash files and device logs go. "": a new temporary directory
    // (also holding the socket), removed at the end unless keep_dir().
    std::string dir;
    std::string image_dir = ".";
    // Stem of the temporary directory ("<stem>-XXXXXX" in /tmp).
    std::string temp_stem = "qiv-world";
  };
  explicit Driver(Options options);
  ~Driver();  // ends the world; errors are dropped (call end() to see them)
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  Master& master() { return *master_; }
  const std::string& dir() const { return dir_; }
  // The world's own temporary directory stays (to look at after a failure).
  void keep_dir();

  // Observers, called in the order they were added.
  using UartFn = std::function<void(int id, int port, time_us t, const uint8_t* data, size_t len)>;
  using FrameFn = std::function<void(const FrameRecord&)>;
  using ExitFn = std::function<void(int id, int status, bool expected)>;
  void on_uart(UartFn fn) { uart_fns_.push_back(std::move(fn)); }
  void on_frame(FrameFn fn) { frame_fns_.push_back(std::move(fn)); }
  void on_exit(ExitFn fn) { exit_fns_.push_back(std::move(fn)); }

  // Starts a device program and runs its start-up; returns its id. Throws
  // std::invalid_argument for a bad or taken name, std::runtime_error when
  // the program is missing or cannot start.
  int start(const DeviceLaunch& launch);
  int next_id() const { return static_cast<int>(devices_.size()) + 1; }
  int device_count() const { return static_cast<int>(devices_.size()); }
  int find(const std::string& name) const;  // 0 when none
  const std::string& name(int id) const;
  const std::string& flash_path(int id) const;
  const std::string& log_path(int id) const;
  // The port the program names as its console (0 when it named none).
  int console(int id) const;

  // Puts a port on a pseudo-terminal (once; again returns the same path).
  // What the device outputs there goes to the terminal as well; what a tool
  // writes there reaches the device while run_paced() runs.
  std::string attach_pty(int id, int port);
  struct PtyInfo {
    int id;
    int port;
    std::string path;
  };
  std::vector<PtyInfo> ptys() const;  // in the order they were opened

  // Bytes for the device's console, after what was given before: one byte
  // at a time, each once the one before has arrived and only while the
  // chip's receiver is on, as a line with flow control would carry them. A
  // line goes only once the device has answered the one before (a line end
  // on its console) or kAnswerWait has passed: a device keeps what it
  // receives while busy in a buffer that a restart (ATZ, AT+NWM=...)
  // empties, so the script goes on after a restart instead of losing its
  // rest. Fed by run_until() and run_paced().
  void add_input(int id, const std::string& bytes);
  static constexpr time_us kAnswerWait = 2'000'000;

  // Every serial output as "<time> NAME:PORT <bytes with C escapes>", one
  // entry a line (stamped with the time its line end was sent; a line left
  // open for kOpenLineWait is written as it is), in time order; and
  // every frame on the air as "<time> <sender> <freq> LORA SF<sf> BW<bw>
  // CR4/<4+cr> <power>dBm <len> <hex>" (or "FSK <bitrate>bps"); flushed at
  // each line. nullptr: off.
  void set_transcript(FILE* f) { transcript_ = f; }
  static constexpr time_us kOpenLineWait = 1'000'000;
  void set_frame_log(FILE* f) { frame_log_ = f; }

  // The test network (a gateway and a LoRaWAN network server on the air),
  // set up by the lines of sim::network::NetworkSetup, started with
  // start_network() (its decoded log to `log` as "network: <line>"), taken
  // off the air before the world ends.
  sim::network::NetworkSetup& network();
  void start_network(FILE* log);

  time_us now() const { return master_->now(); }
  // Runs until `target` or until `stop` holds (checked whenever time has
  // moved); true when stopped.
  bool run_until(time_us target, const std::function<bool()>& stop = {});
  // Runs with virtual time following the wall clock, so that tools on the
  // pseudo-terminals see the devices at their real pace, until `done` holds
  // (also checked after host input and signals) or `host_seconds` of wall
  // time have passed (negative: no limit); true when done.
  bool run_paced(const std::function<bool()>& done, double host_seconds = -1);

  // Ends every device program (the network first).
  void end();

 private:
  struct Dev;
  struct Pty;
  Options opt_;
  std::string dir_;
  std::unique_ptr<hostutil::TempDir> temp_;  // the world's own directory or the socket's
  std::unique_ptr<Master> master_;
  std::vector<std::unique_ptr<Dev>> devices_;
  std::vector<std::unique_ptr<Pty>> ptys_;
  std::vector<UartFn> uart_fns_;
  std::vector<FrameFn> frame_fns_;
  std::vector<ExitFn> exit_fns_;
  FILE* transcript_ = nullptr;
  // The transcript: lines of each (device, port) being put together, and
  // whole lines waiting until nothing earlier can come any more.
  struct OpenLine {
    std::string text;
    time_us last = 0;
  };
  std::map<std::pair<int, int>, OpenLine> open_lines_;
  std::multimap<time_us, std::string> ready_lines_;
  void transcript_flush(time_us now, bool all = false);
  FILE* frame_log_ = nullptr;
  std::unique_ptr<sim::network::NetworkSetup> network_;
  bool network_started_ = false;
  int starting_ = 0;  // id of the device being started (its output is held)

  Dev& dev(int id) const;
  void uart_out(int id, int port, time_us t, const uint8_t* data, size_t len);
  void frame_out(const FrameRecord& r);
  void flush_ptys();
  time_us input_due(const Dev& d) const;
  time_us input_due() const;
  bool input_waiting() const { return input_due() <= now(); }
  time_us script_probe();
  void feed_input();
};

}  // namespace sim::world
