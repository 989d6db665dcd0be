// The simulated BLE protocol stack of the nRF52840 as tests and tools see it
// (never included by firmware): its link layer and host on the device's
// simulated air, what it was asked to do, and failures to inject.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/ble_ll.h"
#include "sim/ble_peripheral.h"

namespace nrfsim::ble {

bool enabled();      // the stack is enabled
int enable_count();  // nrf_sdh_enable_request calls that enabled it, since reset
sim::ble::LinkLayer& link_layer();
sim::ble::Peripheral& peripheral();

// The next call of the stack function `name` (e.g. "sd_ble_gap_adv_start")
// answers `code` without doing anything.
void fail_next(const std::string& name, uint32_t code);

// Notifications the stack queues per link (default 4).
void set_hvn_queue_size(int n);

// Advertising as configured and started last (tests of the bytes).
struct AdvState {
  bool advertising = false;
  uint8_t type = 0;  // BLE_GAP_ADV_TYPE_
  uint32_t interval = 0;
  uint16_t duration = 0;  // 10 ms
  std::vector<uint8_t> adv_data, scan_rsp_data;
  int8_t tx_power = 0;
};
AdvState advertising();

// The ids of the BLE events given to the observers, in order.
const std::vector<uint16_t>& event_log();
void clear_event_log();

// The static passkey set with the passkey option ("" when none).
std::string static_passkey();

}  // namespace nrfsim::ble
