// A day of LoRaWAN modules driven through their AT ports, as the day
// benchmark measures it and as its recording (what the devices saw) is
// checked against an earlier build:
//
// `modules` Brisola-T modules (high band, EU868) in one world with the test
// network (an EU868 gateway and network server). Each joins with AT+JOIN
// and sends a 12-byte unconfirmed uplink with AT+SEND every 5 minutes for
// 24 h of virtual time (288 uplinks); the joins and the uplinks are spread
// evenly over each period (a module whose joins all failed is asked again
// in its slot of the next period, and the uplinks begin once every module
// has joined). Every module sends at DR5 (AT+DR=5), so that
// hundreds of modules on three channels stay below the load at which frames
// collide.
//
//   bench::LorawanDay day(20);
//   std::string error = day.start();   // the modules' start-up
//   if (error.empty()) error = day.run();
//   day.figures().host ...
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "bench_world.h"
#include "network/gateway.h"
#include "network/server.h"

namespace bench {

class LorawanDay {
 public:
  static constexpr const char* kImage = "brisola-t";
  static constexpr time_us kPeriod = 5 * kMinute;
  static constexpr unsigned kUplinks = 24 * kHour / kPeriod;
  // Periods the joins may take before the day counts as failed.
  static constexpr unsigned kJoinPeriods = 4;

  struct Module {
    int id = 0;
    std::string name;
    bool joined = false;
    unsigned tx_done = 0;  // "+EVT:TX_DONE" lines it printed
  };
  struct Figures {
    double host = 0;     // host seconds from the first AT+JOIN to the end of the day
    double virt = 0;     // virtual seconds of the same span
    size_t uplinks = 0;  // data uplinks the network decoded
    unsigned tx_done = 0;
  };

  // `dir`: where flash files and device logs go ("": a temporary directory).
  explicit LorawanDay(size_t modules, const std::string& dir = "");
  LorawanDay(const LorawanDay&) = delete;
  LorawanDay& operator=(const LorawanDay&) = delete;

  static bool image_built();

  World& world() { return world_; }
  sim::network::NetworkServer& server() { return server_; }
  const std::vector<Module>& modules() const { return modules_; }

  // Starts every module and waits for its start-up line. "" or what went
  // wrong.
  std::string start();
  // Identity commands, then the timed day. "" or why the day did not go as
  // planned (a command refused, a module that never joins).
  std::string run();
  // As far as the day went.
  Figures figures() const;

 private:
  void take_lines(Module& m);
  bool at(Module& m, const std::string& command);

  World world_;
  sim::network::NetworkServer server_;
  sim::network::Gateway gateway_;
  std::vector<Module> modules_;
  double host_ = 0;
  double virt_ = 0;
};

}  // namespace bench
