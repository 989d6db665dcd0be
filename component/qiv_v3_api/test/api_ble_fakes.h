// Stand-ins for the BLE driver, the BLE layer's own operations and the NFC
// port's table that api.ble and api.nfc call on an nRF52840 image, with a
// log of the calls.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace blefake {

struct State {
  std::vector<std::string> log;  // "stop", "services", "adv 30", "name X", "mac X", "mode 1"
  int32_t adv_result = 0;
  int32_t adv_stop_result = 0;
  int32_t name_result = 0;
  int32_t mac_result = 0;
  uint8_t stored_mac[12] = {};
  uint8_t address[6] = {};  // the controller's, least significant first
  int32_t port_result = 0;  // of the BLE layer's operations
  int nfc_deinits = 0;
  uint8_t cus_state = 0;  // what uhal_cus_service_state answers
  void (*led_handler)(uint8_t) = nullptr;
};

extern State state;
void reset();

}  // namespace blefake
