// The world's BLE central as a service for people: text commands, one per
// line, from the `qivble` tool over a Unix socket (or from a test), carried
// out in the world's virtual time while it runs. Every command's reply ends
// with a line "OK" or "ERROR <why>". `help` lists the commands.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hostutil/line_socket.h"
#include "sim/ble_central.h"
#include "sim/ble_world_radio.h"
#include "world/master.h"

namespace sim::ble {

class CentralService {
 public:
  using Reply = std::function<void(const std::string& line)>;

  explicit CentralService(world::Master& master);
  ~CentralService();
  CentralService(const CentralService&) = delete;
  CentralService& operator=(const CentralService&) = delete;

  // Listens on a Unix socket for the tool (replaced if it exists). False
  // with a reason when it cannot.
  bool listen(const std::string& path, std::string* error);
  // Takes socket input and moves the commands under way on; cheap enough to
  // call between any two steps of the world.
  void poll();

  // A command line from a test: its reply lines go to `reply`.
  void command(const std::string& line, Reply reply);
  // True while a command is under way or waiting.
  bool busy() const { return job_ != nullptr || !lines_.empty(); }

  Central& central() { return central_; }

 private:
  struct Job;
  void start_next();
  void run(const std::string& line);
  void finish(const std::string& last);
  void say(const std::string& line);
  // Waits (in virtual time) until `done` holds, then `then` runs; after
  // `timeout_us` the command fails with `what`.
  void await(std::function<bool()> done, time_us timeout_us, const std::string& what,
             std::function<void()> then);
  void update_step();

  world::Master& master_;
  WorldRadio radio_;
  Central central_;
  std::unique_ptr<Job> job_;
  std::deque<std::pair<std::string, Reply>> lines_;
  Reply reply_;
  // the socket (several tools may be connected; each reply goes to the
  // tool that asked)
  hostutil::LineServer socket_;
  int64_t last_poll_us_ = 0;
  // firmware update under way
  struct Update;
  std::unique_ptr<Update> update_;
};

// The update service's packet framing: length (2 bytes, little-endian: the
// bytes after the command byte, CRC included), command, data, CRC-32 (as in
// zlib) of the data.
std::vector<uint8_t> update_packet(uint8_t command, const std::vector<uint8_t>& data);
uint32_t crc32_ieee(const uint8_t* data, size_t len);
// The image check value of the update service: polynomial 0x1EDC6F41, most
// significant bit first, initial value 0, no final XOR.
uint32_t image_crc(const uint8_t* data, size_t len, uint32_t crc = 0);

}  // namespace sim::ble
