#include "api_ble_fakes.h"

#include <string.h>

#include "udrv_ble_port.h"
#include "service_nvm.h"
#include "udrv_ble.h"
#include "udrv_serial.h"
#include "udrv_twimst.h"

bool ble_services_is_enable;
drv_ble_service_mode ble_current_service;

namespace blefake {

State state;

void reset() {
  state = State{};
  ble_current_service = DRV_BLE_UART_MODE;
  uhal_is_advertising = false;
  uhal_is_scanning = false;
  SCAN_DATA_HANDLER = nullptr;
  CONNECT_HANDLER = nullptr;
  DISCONNECT_HANDLER = nullptr;
  CUS_NOTIFY_HANDLER = nullptr;
}

}  // namespace blefake

using blefake::state;

void udrv_ble_stop(void) { state.log.push_back("stop"); }
void udrv_ble_services_start(void) { state.log.push_back("services"); }
void udrv_ble_switch_service_mode(drv_ble_service_mode mode) {
  ble_current_service = mode;
  state.log.push_back("mode " + std::to_string(mode));
}
int32_t udrv_ble_advertising_start(uint8_t time_out) {
  state.log.push_back("adv " + std::to_string(time_out));
  return state.adv_result;
}
int32_t udrv_ble_set_device_name(char const *name, uint8_t length) {
  state.log.push_back("name " + std::string(name, length));
  return state.name_result;
}
int32_t udrv_ble_set_macaddress(char const *macaddr) {
  state.log.push_back(std::string("mac ") + macaddr);
  return state.mac_result;
}
int32_t uhal_advertising_stop(uint8_t temp_processing) {
  state.log.push_back("adv stop " + std::to_string(temp_processing));
  return state.adv_stop_result;
}

// The BLE layer's own operations.
bool uhal_is_advertising;
bool uhal_is_scanning;
void (*SCAN_DATA_HANDLER)(int8_t, uint8_t const *, uint8_t const *, uint8_t);
void (*CONNECT_HANDLER)(void);
void (*DISCONNECT_HANDLER)(void);

namespace {
std::string hex(uint8_t const *d, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 0x0F];
  }
  return s;
}
int32_t port(const std::string &call) {
  state.log.push_back(call);
  return state.port_result;
}
}  // namespace

int32_t uhal_ble_scan_start(uint16_t timeout_s) {
  return port("scan " + std::to_string(timeout_s));
}
int32_t uhal_ble_scan_stop(void) { return port("scan stop"); }
bool uhal_ble_hid_type_keys(uint8_t const *keys, uint8_t length) {
  std::string text = "keys";
  for (uint8_t i = 0; i < length; ++i) text += " " + std::to_string(keys[i]);
  return port(text) == 0;
}
void uhal_ble_hid_set_led_handler(void (*handler)(uint8_t leds)) {
  state.log.push_back(handler != nullptr ? "led hook" : "led hook none");
  state.led_handler = handler;
}
void (*CUS_NOTIFY_HANDLER)(uint16_t uuid, uint8_t const *value);
int32_t uhal_cus_service_init(uint8_t const base_uuid[16], uint16_t const *char_uuids,
                              uint8_t count) {
  std::string text = "custom " + hex(base_uuid, 16);
  for (uint8_t i = 0; i < count; ++i) {
    const uint8_t u[2] = {static_cast<uint8_t>(char_uuids[i] >> 8),
                          static_cast<uint8_t>(char_uuids[i])};
    text += " " + hex(u, 2);
  }
  return port(text);
}
uint8_t uhal_cus_service_state(void) { return state.cus_state; }
int32_t uhal_ble_scan_set_interval(uint16_t interval, uint16_t window) {
  return port("scan interval " + std::to_string(interval) + " " + std::to_string(window));
}
int32_t uhal_ble_set_tx_power(int8_t dbm) { return port("power " + std::to_string(dbm)); }
int32_t uhal_ble_set_adv_interval(uint32_t interval) {
  return port("interval " + std::to_string(interval));
}
int32_t uhal_ble_set_pairing_key(char const *key) { return port(std::string("key ") + key); }
int32_t uhal_ble_set_permission(uint8_t permission) {
  return port("permission " + std::to_string(permission));
}
int32_t uhal_ble_set_ibeacon(uint8_t const uuid[16], uint8_t const major[2], uint8_t const minor[2],
                             int8_t power) {
  return port("ibeacon " + hex(uuid, 16) + " " + hex(major, 2) + " " + hex(minor, 2) + " " +
              std::to_string(power));
}
int32_t uhal_ble_set_beacon_data(uint8_t const *data, uint8_t length) {
  return port("beacon " + hex(data, length));
}
void uhal_ble_get_macaddress(uint8_t address[6]) { memcpy(address, state.address, 6); }

uint8_t service_nvm_get_ble_mac_from_nvm(uint8_t *buff, uint32_t len) {
  memcpy(buff, state.stored_mac, len < 12 ? len : 12);
  return 0;
}

namespace {
void nfc_deinit(SERIAL_PORT) { ++state.nfc_deinits; }
}  // namespace

udrv_serial_api serial_nfc_driver = {nullptr, nfc_deinit, nullptr, nullptr,
                                     nullptr, nullptr,    nullptr, nullptr};

// The image's TwoWire is linked too; no bus answers here.
void udrv_twimst_init(udrv_twimst_port) {}
int32_t udrv_twimst_write(udrv_twimst_port, uint8_t, uint8_t const *, uint16_t, bool) {
  return -UDRV_NACK;
}
int32_t udrv_twimst_read(udrv_twimst_port, uint8_t, uint8_t *, uint16_t) { return -UDRV_NACK; }
