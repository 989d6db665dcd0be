// A phone in a system test: a BLE central on the world's air whose waits run
// the world's virtual time, and the steps every BLE test takes with it
// (scanning for the module, opening its serial service, a line written to
// the service and the notified answer).
//
// The test program links the simulated BLE central beside qiv_systest.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "sim/ble_central.h"
#include "systest/world.h"

namespace systest {

// The central's waits run the world until what they wait for has come or
// their deadline has passed.
inline void run_central_in(sim::ble::Central& central, World& world) {
  central.set_runner([&world](sim::time_us deadline, const std::function<bool()>& done) {
    if (!done() && deadline > world.now()) world.run_until(done, deadline - world.now());
    return done();
  });
}

// A fresh scan of `window`: afterwards the central's devices are those it
// heard in it.
inline void scan_window(sim::ble::Central& central, World& world, time_us window) {
  central.clear_scan();
  central.start_scan(true);
  world.run_for(window);
  central.stop_scan();
}

// What the central hears of `address` in `window` of scanning, or nothing.
inline std::optional<sim::ble::Central::Device> scan_for(sim::ble::Central& central, World& world,
                                                         const sim::ble::Address& address,
                                                         time_us window) {
  scan_window(central, world, window);
  const sim::ble::Central::Device* d = central.device(address);
  if (d == nullptr) return std::nullopt;
  return *d;
}

// The serial service's characteristics as the central found them.
struct SerialLink {
  const sim::ble::Central::Characteristic* tx = nullptr;  // notifies the module's output
  const sim::ble::Central::Characteristic* rx = nullptr;  // takes the phone's input

  // Discovers the serial service on the connected module; subscribes to its
  // notifications unless told not to.
  bool open(sim::ble::Central& central, bool subscribe = true) {
    uint32_t disc = central.discover();
    if (!central.wait([&] { return central.done(disc); }, sec(5))) return false;
    tx = central.characteristic(sim::ble::uuid128("6E400003-B5A3-F393-E0A9-E50E24DCCA9E"));
    rx = central.characteristic(sim::ble::uuid128("6E400002-B5A3-F393-E0A9-E50E24DCCA9E"));
    if (!tx || !rx) return false;
    if (!subscribe) return true;
    uint32_t sub = central.subscribe(tx->value_handle);
    return central.wait([&] { return central.done(sub); }, sec(3));
  }
  // The text of the notifications kept so far.
  std::string notified(sim::ble::Central& central) const {
    std::string s;
    for (const auto& n : central.notifications())
      if (tx && n.handle == tx->value_handle) s += std::string(n.value.begin(), n.value.end());
    return s;
  }
  // Writes `line` to RX and gathers the notified text until it ends with
  // `end` (or `timeout` has passed).
  std::string exchange(sim::ble::Central& central, const std::string& line, const std::string& end,
                       time_us timeout) const {
    central.notifications().clear();
    uint32_t wr = central.write(rx->value_handle, sim::ble::Bytes(line.begin(), line.end()));
    central.wait(
        [&] {
          std::string got = notified(central);
          return central.done(wr) && got.size() >= end.size() &&
                 got.compare(got.size() - end.size(), end.size(), end) == 0;
        },
        timeout);
    return notified(central);
  }
};

// A command line of a test program on `port` and the line it answers.
inline bool program_command(Device& device, int port, const std::string& line,
                            const std::string& answer) {
  device.write(port, line + "\r\n");
  return device.wait_line(port, answer, sec(3));
}

}  // namespace systest
