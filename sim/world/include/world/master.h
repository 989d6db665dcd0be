// The time master of a world: several device programs (images) in lockstep.
//
// The master starts each device program with `--world SOCKET --device-id N`
// and then owns virtual time. Lockstep is conservative: a device never moves
// past a time at which another device (or the master itself) could still send
// it something. Time advances in rounds:
// - T is the earliest time any device wants to reach.
// - If exactly one device wants T, it may run freely up to the next device's
//   time (or the master's target) unless it sends something first: a device
//   stops at its first send, so that a reply at that same time reaches it.
// - If several devices want T, each of them runs the events at T only, in
//   parallel.
// - Messages sent during a round are delivered when every running device has
//   asked for its next grant, in (sender, send order) order: a frame sent at t
//   reaches every other device before any of them moves past t, and the
//   outcome never depends on host scheduling.
// Devices that wait for nothing (idle) cost no host time, and a frame costs
// none in a device whose radios cannot hear it (asleep, standing by or
// sending): it is handed over with the device's next grant.
//
// Single-threaded; not thread-safe. Errors (a program that cannot start, a
// broken protocol, a stalled world) throw std::runtime_error.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/air.h"
#include "sim/sim.h"
#include "world/link_budget.h"

namespace sim::world {

struct DeviceConfig {
  std::string name;               // for messages
  std::string program;            // path of the image program
  std::vector<std::string> args;  // arguments before --world/--device-id
  std::string log_path;           // stdout+stderr of the program; "" inherits
  std::string cwd;                // working directory; "" inherits
};

struct FrameRecord {
  time_us t;       // when it was put on the air
  AirFrame frame;  // as sent (sender filled in, no reception values)
};

class Master;

// An in-process participant of the world (a gateway, for example): it hears
// every frame put on the air and puts frames on the air at times of its own
// choosing. Agents hold the world back: no device runs past an agent's wake
// time, so a frame an agent puts on the air then reaches every device before
// that device moves past it. At equal times an agent acts before devices.
class Agent {
 public:
  virtual ~Agent() = default;
  // Every frame put on the air (by devices, injected, or by agents).
  virtual void heard(const FrameRecord& record) = 0;
  // The earliest time the agent wants to act (kNever: none). Asked before
  // every round; a time already past means now.
  virtual time_us wake_time() const = 0;
  // The world has reached the agent's wake time (`now`); frames go on the
  // air through Master::inject_frame. Afterwards the wake time must be later
  // than `now` (or the world would not move).
  virtual void wake(Master& master, time_us now) = 0;
};

class Master {
 public:
  struct Callbacks {
    // Bytes a device wrote on a port the world carries.
    std::function<void(int id, int port, time_us t, const uint8_t* data, size_t len)> uart;
    // Every frame put on the air (also injected ones, sender 0).
    std::function<void(const FrameRecord&)> frame;
    // A device program ended (status as from waitpid; `expected` when the
    // master ended it: kill, restart, end of the world).
    std::function<void(int id, int status, bool expected)> exited;
  };

  // Listens on the Unix socket `socket_path` (replaced if it exists).
  // With QIV_WORLD_PIN=1 the world's processes (its device programs and the
  // calling thread, until the master is destroyed) run on one CPU of the
  // allowed set, chosen from the socket path so that parallel worlds spread;
  // otherwise affinity is left alone.
  explicit Master(std::string socket_path);
  ~Master();  // ends the world
  Master(const Master&) = delete;
  Master& operator=(const Master&) = delete;

  void set_callbacks(Callbacks callbacks);
  LinkBudget& budget();
  const std::string& socket_path() const;

  // Host seconds without any progress after which a device counts as stalled
  // (std::runtime_error). Default 120.
  void set_stall_timeout(double seconds);

  // Starts a device program at the world's current time and runs its start-up
  // (what it does before it first waits). Returns its device id (1, 2, ...).
  int spawn(const DeviceConfig& config);
  // Power cycle: kill the program and start it again with the same
  // configuration and id, at the world's current time.
  void restart(int id);
  // Kill the program (SIGKILL); the device leaves the world.
  void kill(int id);
  // Ask the device to reset itself now (as its reset pin would).
  void request_reset(int id);

  bool alive(int id) const;
  int exit_status(int id) const;  // waitpid status once not alive
  pid_t pid(int id) const;
  std::string image_name(int id) const;  // as the program introduced itself
  int console_uart(int id) const;        // -1 when unknown
  int device_count() const;              // ids are 1..device_count()
  // Grants of time sent to devices so far: each is a process wake-up (for
  // measuring what a world costs).
  uint64_t grants() const;

  // The world's time: every device is at or before it, and nothing sent from
  // now on is stamped earlier.
  time_us now() const;
  // Earliest time a live device or an agent wants to reach (kNever when all
  // are idle).
  time_us next_time() const;

  // Runs rounds until nothing is left at or before `target` (events at
  // `target` run), or until `stop` returns true (checked before every round).
  // Returns true when stopped by `stop`. now() is then `target`, or the time
  // of the round that made `stop` true.
  bool run_until(time_us target, const std::function<bool()>& stop = {});

  // Bytes into a world-carried port of a device, at now().
  void send_uart(int id, int port, const uint8_t* data, size_t len);
  // The same at a later time `t` (at least now()): handed over once every
  // round at or before `t` has run, exactly as send_uart() called by whoever
  // ran the world up to `t` would hand them (to a device not waiting then,
  // nothing). Several for one time go in the order they were given. A driver
  // with many inputs to give at known times need not stop the world at each.
  void send_uart_at(int id, int port, time_us t, const uint8_t* data, size_t len);
  // From when a byte sent to `port` goes straight onto a free line of a
  // chip that receives: now() or the (later) time at which what was sent
  // before has arrived; kNever while the port's receiver is off or the
  // device (re)starts (as of the device's last request for time). Sending
  // one byte whenever this is now() feeds a port as a line with flow
  // control would: nothing waits in the device where a reset could lose it.
  time_us uart_ready_at(int id, int port) const;
  // Wire port `port_a` of device `a` to port `port_b` of device `b` (both
  // world-carried, e.g. a module's UART1 and the port of a modem's model
  // program): what one writes reaches the other at the time it was written,
  // and the receiver puts it on its line at its own baud rate. The callbacks
  // still see every byte. A port is wired to one other port at most; wiring
  // it again replaces the earlier wire (both of its ends), and port_b < 0
  // unwires it. The wire survives restarts of either device.
  void connect_uart(int a, int port_a, int b, int port_b);
  // A frame put on the air by the world itself at now() (sender 0); its
  // start_us/end_us are taken as given.
  void inject_frame(const AirFrame& frame);

  // Agents take part until removed (they are not owned).
  void add_agent(Agent* agent);
  void remove_agent(Agent* agent);

  // Ends every device program (asks them to quit, then kills stragglers).
  void end();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Parses a duration "2s", "250ms", "90us", "24h", "1.5m", "3d", "100" (µs).
// Returns false when it is not one.
bool parse_duration(const std::string& text, time_us* out);
std::string format_time(time_us t);  // "12.345678s"

}  // namespace sim::world
