#include "udrv_ble.h"

#ifdef SUPPORT_BLE
#include <string.h>

#include "service_nvm.h"
#include "fund_text.h"

bool ble_services_is_enable;
drv_ble_service_mode ble_current_service;

namespace {
constexpr uint32_t mac_text_len = 12;

bool is_mac_text(char const *text) {
  if (text == nullptr || fund_strnlen(text, mac_text_len + 1) != mac_text_len) {
    return false;
  }
  for (uint32_t i = 0; i < mac_text_len; i++) {
    char const c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return true;
}
}  // namespace

void udrv_ble_stack_start(void) {
#if QIV_CHIP_BLE_STOP_BEFORE_START
  uhal_stop_ble();
#endif
  uhal_ble_stack_init();
  ble_services_is_enable = false;
}

void udrv_ble_services_start(void) {
  char mac[mac_text_len + 1] = {};
  service_nvm_get_ble_mac_from_nvm(reinterpret_cast<uint8_t *>(mac), mac_text_len);
  if (!ble_services_is_enable) {
    uhal_scan_init(0);
    uhal_gap_params_init();
#if QIV_CHIP_BLE_ADDRESS_AT_FIRST_START
    // The port has no address step of its own at start-up.
    udrv_ble_set_macaddress(mac);
#endif
    uhal_gatt_init();
    uhal_conn_params_init();
    uhal_nus_peer_manager_init();
    uhal_services_init();
    uhal_advertising_init();
    ble_services_is_enable = true;
  } else {
    uhal_scan_init(0);
    uhal_gap_params_init();
    udrv_ble_set_macaddress(mac);
    uhal_gatt_init();
    uhal_conn_params_init();
    uhal_advertising_init();
  }
}

void udrv_ble_switch_service_mode(drv_ble_service_mode mode) {
  ble_current_service = mode;
  uhal_ble_switch_service_mode(mode);
  udrv_ble_stack_start();
  udrv_ble_services_start();
}

int32_t udrv_ble_set_macaddress(char const *macaddr) {
  if (!is_mac_text(macaddr)) {
    return -UDRV_WRONG_ARG;
  }
  uint8_t const port_result = static_cast<uint8_t>(uhal_ble_set_macaddress(macaddr));
  if (port_result != 0) {
    return -static_cast<int32_t>(port_result);
  }
  uint8_t const stored =
      service_nvm_set_ble_mac_to_nvm(reinterpret_cast<uint8_t const *>(macaddr), mac_text_len);
  if (stored != 0) {
    return -static_cast<int32_t>(stored);
  }
  return 0;
}

int32_t udrv_ble_advertising_start(uint8_t time_out) { return uhal_advertising_start(time_out); }

int32_t udrv_ble_set_device_name(char const *name, uint8_t length) {
  return uhal_ble_set_device_name(name, length);
}

void udrv_ble_stop(void) { uhal_stop_ble(); }
#endif
