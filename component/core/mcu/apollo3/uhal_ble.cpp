// BLE of the Apollo3 image while its host stack is not part of the image:
// the start-up keeps its BLE steps in their place, and each operation
// answers as a controller that never came up would. The BLE serial port
// has no transport: it is accepted and never delivers or takes bytes.
#include "apollo3_port.h"
#include "udrv_ble.h"

// The BLE interface's interrupt: no controller interface to serve.
extern "C" void am_ble_isr(void) {}

void uhal_ble_stack_init(void) {}
void uhal_ble_apollo3_wait_ble_core(void) {}
void uhal_stop_ble(void) {}
void uhal_scan_init(uint8_t) {}
void uhal_gap_params_init(void) {}
void uhal_gatt_init(void) {}
void uhal_conn_params_init(void) {}
void uhal_nus_peer_manager_init(void) {}
void uhal_services_init(void) {}
void uhal_advertising_init(void) {}
void uhal_ble_switch_service_mode(uint8_t) {}

// No controller takes an address, a name or an advertising start.
int32_t uhal_ble_set_macaddress(char const *) { return UDRV_INTERNAL_ERR; }
int32_t uhal_advertising_start(uint8_t) { return -UDRV_INTERNAL_ERR; }
int32_t uhal_ble_set_device_name(char const *, uint8_t) { return -UDRV_INTERNAL_ERR; }

namespace {

void ble_init(SERIAL_PORT, uint32_t, SERIAL_WORD_LEN_E, SERIAL_STOP_BIT_E, SERIAL_PARITY_E,
              SERIAL_WIRE_MODE_E) {}
void ble_deinit(SERIAL_PORT) {}
// Without a connection nothing is sent.
int32_t ble_write(SERIAL_PORT, uint8_t const *, uint32_t, uint32_t) { return -UDRV_INTERNAL_ERR; }
int32_t ble_read(SERIAL_PORT, uint8_t *, uint32_t, uint32_t) { return 0; }
int32_t ble_peek(SERIAL_PORT) { return -UDRV_INTERNAL_ERR; }
void ble_flush(SERIAL_PORT, uint32_t) {}
int32_t ble_available(SERIAL_PORT) { return 0; }

}  // namespace

udrv_serial_api serial_ble_driver = {ble_init, ble_deinit, ble_write,     ble_read,
                                     ble_peek, ble_flush,  ble_available, nullptr};
