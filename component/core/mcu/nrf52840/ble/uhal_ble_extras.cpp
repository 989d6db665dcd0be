// Settings of the BLE layer that a program changes while the stack runs:
// the advertising power and interval, the pairing policy and passkey, and
// the beacon's data.
#include <string.h>

#include "uhal_ble_nrf.h"
#include "fund_text.h"

namespace {

// The levels the radio transmits at.
bool supported_tx_power(int8_t dbm) {
  static const int8_t kLevels[] = {-40, -20, -16, -12, -8, -4, 0, 2, 3, 4, 5, 6, 7, 8};
  for (int8_t level : kLevels) {
    if (level == dbm) {
      return true;
    }
  }
  return false;
}

}  // namespace

// A level the radio cannot take is refused here: the advertising start
// would otherwise fail on it (and the beacon's start resets the board).
int32_t uhal_ble_set_tx_power(int8_t dbm) {
  if (!supported_tx_power(dbm)) {
    return -UDRV_WRONG_ARG;
  }
  ble_parameter.txpower = dbm;
  return uhal_ble_adv_tx_power_apply();
}

// Units of 0.625 ms, 20 ms to 10.24 s; the next advertising start takes it
// (the beacon at least 62.5 ms).
int32_t uhal_ble_set_adv_interval(uint32_t interval) {
  if (interval < 32 || interval > 16384) {
    return -UDRV_WRONG_ARG;
  }
  ble_parameter.adv_interval = interval;
  return 0;
}

// The static passkey: six decimal digits.
int32_t uhal_ble_set_pairing_key(char const *key) {
  if (key == nullptr || fund_strnlen(key, sizeof ble_parameter.pairing_key) != 6) {
    return -UDRV_WRONG_ARG;
  }
  for (int i = 0; i < 6; ++i) {
    if (key[i] < '0' || key[i] > '9') {
      return -UDRV_WRONG_ARG;
    }
  }
  memset(ble_parameter.pairing_key, 0, sizeof ble_parameter.pairing_key);
  memcpy(ble_parameter.pairing_key, key, 6);
  return uhal_ble_security_apply();
}

// 2 Just Works bonding, 3 the static passkey, 4 a displayed passkey.
int32_t uhal_ble_set_permission(uint8_t permission) {
  if (permission < DRV_BLE_PERMISSION_NO_PAIRING || permission > 4) {
    return -UDRV_WRONG_ARG;
  }
  ble_parameter.permission = permission;
  return uhal_ble_security_apply();
}

int32_t uhal_ble_set_ibeacon(uint8_t const uuid[16], uint8_t const major[2], uint8_t const minor[2],
                             int8_t power) {
  if (uuid == nullptr || major == nullptr || minor == nullptr) {
    return -UDRV_WRONG_ARG;
  }
  m_beacon_info[0] = 0x02;
  m_beacon_info[1] = 0x15;
  memcpy(&m_beacon_info[2], uuid, 16);
  memcpy(&m_beacon_info[18], major, 2);
  memcpy(&m_beacon_info[20], minor, 2);
  m_beacon_info[22] = static_cast<uint8_t>(power);
  m_beacon_info_len = sizeof m_beacon_info;
  return uhal_ble_beacon_update();
}

// The manufacturer data after the company identifier: at most the 23 bytes
// of the beacon frame.
int32_t uhal_ble_set_beacon_data(uint8_t const *data, uint8_t length) {
  if (data == nullptr || length == 0 || length > sizeof m_beacon_info) {
    return -UDRV_WRONG_ARG;
  }
  memcpy(m_beacon_info, data, length);
  m_beacon_info_len = length;
  return uhal_ble_beacon_update();
}
