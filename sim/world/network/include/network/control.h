// The test network driven while the world runs: text commands, one per
// line, from the `qivnet` tool over a Unix socket (or from a test), carried
// out in the world's virtual time. Every command's reply ends with a line
// "OK" or "ERROR <why>"; `help` lists the commands. Several tools may be
// connected at once (one following the frames, one queuing downlinks); the
// lines of one tool are carried out in order.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hostutil/line_socket.h"
#include "network/gateway.h"
#include "network/server.h"
#include "world/master.h"

namespace sim::network {

class NetworkControl : public sim::world::Agent {
 public:
  using Reply = std::function<void(const std::string& line)>;

  // Takes part in the world as an agent (for commands given a time). The
  // gateway, when given, has its beacons switched by `beacons`.
  NetworkControl(NetworkServer& server, sim::world::Master& master, Gateway* gateway = nullptr);
  ~NetworkControl() override;
  NetworkControl(const NetworkControl&) = delete;
  NetworkControl& operator=(const NetworkControl&) = delete;

  // Listens on a Unix socket for tools; false with a reason when it cannot.
  bool listen(const std::string& path, std::string* error);
  // Takes socket input and moves waiting commands on; cheap enough to call
  // between any two steps of the world.
  void poll();
  // A command line from a test (carried out in order with the test's
  // earlier lines): its reply lines go to `reply`.
  void command(const std::string& line, Reply reply);
  // True while a command waits for the world (wait-uplink, follow, ...).
  bool busy() const;

  static const std::vector<std::string>& help();

  // Agent.
  void heard(const sim::world::FrameRecord&) override {}
  time_us wake_time() const override;
  void wake(sim::world::Master& master, time_us now) override;

 private:
  struct Session;
  // A change to the network: a downlink, a network command, a class, where
  // a device is answered, the beacons.
  struct Action {
    char kind = 0;  // 'd' downlink, 'g' multicast downlink, 'm' MAC, 'c' class,
                    // 'w' window, 'b' beacons
    std::string target;
    uint8_t port = 0;
    Bytes payload;
    bool confirmed = false;
    MacCommand mac;
    char dev_class = 'A';
    Window window = Window::kRx1;
    bool on = false;  // beacons
    time_us at = 0;   // 0: now
  };
  Session& session(int id);
  void say(Session& s, const std::string& line);
  void step(Session& s);
  void run(Session& s, const std::string& line);
  bool parse_action(const std::vector<std::string>& w, Action* a, std::string* error) const;
  void apply(const Action& a);
  std::string status_line(const NetworkServer::DeviceStatus& d) const;

  NetworkServer& server_;
  sim::world::Master& master_;
  Gateway* gateway_;
  hostutil::LineServer socket_;
  std::map<int, std::unique_ptr<Session>> sessions_;  // 0: the test's own
  std::vector<Action> timed_;                         // in the order given
};

}  // namespace sim::network
