// Stand-ins for the BLE driver and the NFC port's table that api.ble and
// api.nfc call on an nRF52840 image, with a log of the calls.
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
  int nfc_deinits = 0;
};

extern State state;
void reset();

}  // namespace blefake
