// A phone (the BLE central) and the nRF52840 BLE layer on one simulated air:
// the stack brought up in a service mode with the test registration of
// registration.h, then connections, discovery and the phone's requests,
// with time moving only while the bench waits.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "registration.h"
#include "sim/ble_central.h"
#include "sim/ble_radio.h"
#include "sim/sim.h"

namespace hidtest {

namespace ble = sim::ble;
using ble::Bytes;

constexpr sim::time_us kSecond = 1000000;
constexpr ble::Address kPhoneAddress = {0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};

class Bench : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The stack enabled, with its name and the peer manager; `mode` is the
  // current service mode.
  void start_stack(uint8_t mode);
  // HID mode with the HID service registered and its advertising started.
  void start_hid();
  // Custom mode with the custom service registered and connectable
  // advertising started.
  void start_custom(uint16_t service_uuid, const std::vector<CustomChar>& chars);

  bool wait(const std::function<bool()>& done, sim::time_us timeout = 3 * kSecond);
  // Moves time on by `t`.
  void run_for(sim::time_us t);
  ble::Address module_address() const;
  // Connects and discovers the module's characteristics.
  bool connect();
  bool disconnect();
  // Runs the request and waits for its answer.
  bool finish(uint32_t id, sim::time_us timeout = 3 * kSecond);
  const ble::Central::Characteristic* find(uint16_t uuid, uint8_t with_property = 0) const;
  // Notifications of `handle` so far.
  std::vector<Bytes> notified(uint16_t handle);

  std::unique_ptr<ble::SimRadio> phone_radio_;
  std::unique_ptr<ble::Central> phone_;
};

}  // namespace hidtest
