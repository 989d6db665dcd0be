// PLACEHOLDER until the HID keyboard lands (this file belongs to the HID and
// custom-service work and is replaced by it): without a HID service there is
// no HID advertising to start or stop.
#include "nrf52840_port.h"
#include "uhal_ble_nrf.h"

uint32_t uhal_ble_hid_advertising_start(void) { return NRF_ERROR_NOT_SUPPORTED; }
uint32_t uhal_ble_hid_advertising_stop(void) { return NRF_ERROR_INVALID_STATE; }
