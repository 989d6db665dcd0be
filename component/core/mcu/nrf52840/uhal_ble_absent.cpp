// The BLE layer of the nRF52840 images while the image carries no BLE
// protocol stack: start-up makes its calls in their place and finds nothing
// to start; advertising and address changes are refused, and the BLE serial
// port has no link (nothing arrives, a write answers -7).
#include "nrf52840_port.h"
#include "udrv_ble.h"

namespace {

uint8_t service_mode;

void ble_serial_init(SERIAL_PORT, uint32_t, SERIAL_WORD_LEN_E, SERIAL_STOP_BIT_E, SERIAL_PARITY_E,
                     SERIAL_WIRE_MODE_E) {}
void ble_serial_deinit(SERIAL_PORT) {}
int32_t ble_serial_write(SERIAL_PORT, uint8_t const *, uint32_t, uint32_t) {
  return -UDRV_INTERNAL_ERR;
}
int32_t ble_serial_read(SERIAL_PORT, uint8_t *, uint32_t, uint32_t) { return 0; }
int32_t ble_serial_peek(SERIAL_PORT) { return -UDRV_INTERNAL_ERR; }
void ble_serial_flush(SERIAL_PORT, uint32_t) {}
int32_t ble_serial_read_available(SERIAL_PORT) { return 0; }

}  // namespace

udrv_serial_api serial_ble_driver = {
    ble_serial_init, ble_serial_deinit, ble_serial_write,          ble_serial_read,
    ble_serial_peek, ble_serial_flush,  ble_serial_read_available, nullptr};

void uhal_ble_stack_init(void) {}
void uhal_stop_ble(void) {}
void uhal_scan_init(uint8_t) {}
void uhal_gap_params_init(void) {}
void uhal_gatt_init(void) {}
void uhal_conn_params_init(void) {}
void uhal_nus_peer_manager_init(void) {}
void uhal_services_init(void) {}
void uhal_advertising_init(void) {}
void uhal_ble_switch_service_mode(uint8_t mode) { service_mode = mode; }
int32_t uhal_ble_set_macaddress(char const *) { return UDRV_INTERNAL_ERR; }
int32_t uhal_advertising_start(uint8_t) { return -UDRV_INTERNAL_ERR; }
int32_t uhal_ble_set_device_name(char const *, uint8_t) { return -UDRV_INTERNAL_ERR; }
// No advertising to pause or resume around flash work.
int32_t uhal_advertising_stop(uint8_t) { return -UDRV_INTERNAL_ERR; }
