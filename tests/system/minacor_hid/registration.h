// The set-up of the HID keyboard and custom service modes for tests that
// drive the handlers on the stack stand-in: the keyboard through the port's
// own set-up; a custom service with values and queued writes of the test's
// choosing (which the user API does not offer), P0.16 as an output and the
// notification timer.
#pragma once

#include <cstdint>
#include <vector>

#include "ble_custom.h"
#include "ble_hid.h"

namespace hidtest {

// Registers the keyboard on the running stack (uhal_ble_hid_service_init).
void register_hid();

// Puts a key pattern in the ring (the bytes must outlive its typing) and,
// when the ring held nothing, starts typing it. False when the ring is full.
bool type_keys(const uint8_t* keys, uint8_t len);

struct CustomChar {
  uint16_t uuid;
  std::vector<uint8_t> send_data;    // answered to reads (its size is fixedlen)
  std::vector<uint8_t> notify_data;  // sent when notifications are enabled
  bool queued_writes = false;        // its writes are authorised (prepared writes only)
};

// Registers a custom service of UUID `service_uuid` with up to three
// characteristics (read with authorisation, write, notify), configures
// P0.16 as an output (high) and creates the notification timer.
// `service_uuid` is what custom_service_uuid holds afterwards.
void register_custom(uint16_t service_uuid, const std::vector<CustomChar>& chars);

// Connectable advertising for the custom mode (which has none of its own):
// flags and the device name, fast, without end.
uint32_t start_custom_advertising();

// Events the custom service's handler received, in order.
const std::vector<ble_cus_evt_type_t>& custom_events();

// Everything registered here forgotten (a new test).
void reset_registration();

}  // namespace hidtest
