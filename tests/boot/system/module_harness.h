// Runs "the module" (qiv-module: bootloader + application on one simulated
// chip) with its serial line on a pseudo-terminal, and standard tools
// against it: lrzsz's sb as the YMODEM sender, optionally through a relay
// that loses or damages bytes on the line.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "hostutil/pty.h"

namespace boothw {

// The build folder with the programs, and a scratch folder per test.
std::string build_dir();
std::string scratch_dir(const std::string& test_name);

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& data);
// A little-endian word of the flash file at bus address `addr`.
uint32_t flash_word(const std::string& flash, uint32_t addr);
std::vector<uint8_t> flash_bytes(const std::string& flash, uint32_t addr, size_t len);

// The application file of `image`, `size` bytes (0: the default size), made
// by qiv-appfile.
std::string make_app_file(const std::string& dir, const std::string& image, uint32_t size = 0);

class Module {
 public:
  // Starts qiv-module with `flash` and the serial line on a new pty.
  explicit Module(const std::string& flash, const std::vector<std::string>& extra = {});
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Everything received until `what` was seen (inclusive) or `timeout_ms`
  // passed; `found` tells which.
  std::string read_until(const std::string& what, int timeout_ms, bool* found = nullptr);
  // Everything received during `ms`.
  std::string read_for(int ms);
  void write(const std::string& bytes);
  // Drops what the module sent and nobody read yet.
  void flush_input();
  // The module's end of the line for another program (a fresh fd, raw).
  int open_line() const;
  const std::string& pty_path() const { return pty_; }
  // The simulator's own messages (stderr of the programs).
  std::string log() const;
  bool alive();
  void power_off();

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string pty_;
  std::string log_path_;
  std::string pending_;
};

struct SbResult {
  int exit_code = -1;  // -1: did not end in time (killed)
  std::string stderr_text;
};

// Runs `sb` with `args` (e.g. {"-k", file}) on `line_fd` as its stdin and
// stdout. `on_start(pid)` runs once it is started (e.g. to interrupt it).
SbResult run_sb(int line_fd, const std::vector<std::string>& args, int timeout_ms,
                const std::function<void(pid_t)>& on_start = nullptr);

// A relay between sb (on a pty pair of its own) and the module's line. The
// filters see each byte with its position in its direction and decide:
// return false to drop it; they may change it.
class Relay {
 public:
  using Filter = std::function<bool(uint64_t index, uint8_t& byte)>;
  Relay(int module_fd, Filter to_module, Filter to_sender);
  ~Relay();
  int sender_fd() const { return pty_.terminal; }

 private:
  void run();
  int module_fd_;
  hostutil::PtyEnds pty_;  // sb's line
  Filter to_module_, to_sender_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace boothw
