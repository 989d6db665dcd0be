#include "api_ble_fakes.h"

#include <string.h>

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
