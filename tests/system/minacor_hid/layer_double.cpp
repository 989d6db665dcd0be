// The rest of the BLE layer as far as the HID and custom service handlers
// use it: the settings record with its start values, the advertising flag,
// the service mode; a fatal error fails the test.
#include <gtest/gtest.h>

#include "app_error.h"
#include "app_usbd.h"
#include "uhal_ble_nrf.h"
#include "udrv_ble.h"

uhal_ble_parameter ble_parameter = {0, "", 3, 480, 0, 30, "", 2};
bool uhal_is_advertising = false;
drv_ble_service_mode ble_current_service = DRV_BLE_UART_MODE;
bool ble_services_is_enable = false;

void app_error_handler(ret_code_t error_code, uint32_t line_num, const uint8_t *p_file_name) {
  ADD_FAILURE() << "fatal error " << error_code << " at "
                << reinterpret_cast<const char *>(p_file_name) << ":" << line_num;
}
void app_error_fault_handler(uint32_t id, uint32_t pc, uint32_t info) {
  ADD_FAILURE() << "stack fault " << id << " pc " << pc << " info " << info;
}

// The USB descriptor texts the chip's stand-ins ask every program for.
const app_usbd_descriptor_config_t app_usbd_descriptor_config = {
    0x1915, 0x521F, 1, 0, 0, "Maker", "Module Serial", "Default configuration", 0x0409, true, 100};
