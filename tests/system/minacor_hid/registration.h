// What a build that offers the HID keyboard or the custom service mode adds
// to the nRF52840 BLE layer (the images add neither): the HID service with a
// keyboard report map, the HID advertising instance, the queued-write
// module, putting key patterns in the ring; the custom service with its
// three characteristics, P0.16 as an output and the notification timer.
#pragma once

#include <cstdint>
#include <vector>

#include "ble_custom.h"
#include "ble_hid.h"

namespace hidtest {

// Registers the HID service (one input, one output report, boot keyboard
// reports) on the running stack, the queued-write module and the HID
// advertising (device name, HID service UUID, fast advertising). Protocol
// mode writes set m_in_boot_mode, the caps-lock bit of the output report
// sets m_caps_on.
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
