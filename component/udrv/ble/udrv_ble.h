// BLE control of the images that have BLE: stack and service start-up, the
// service mode, advertising, the device name and the device address.
#pragma once

#include <stdint.h>

#include "qiv_config.h"
#include "udrv_errno.h"

typedef enum : uint8_t {
  DRV_BLE_UART_MODE = 0,
  DRV_BLE_BEACON_MODE = 1,
  DRV_BLE_HID_MODE = 2,
  DRV_BLE_CUS_MODE = 3,
} drv_ble_service_mode;

#ifdef SUPPORT_BLE
// Cleared by every stack start, set once the full service set is registered.
extern bool ble_services_is_enable;
extern drv_ble_service_mode ble_current_service;

void udrv_ble_stack_start(void);
void udrv_ble_services_start(void);
void udrv_ble_switch_service_mode(drv_ble_service_mode mode);
// -3 unless the text is exactly 12 hexadecimal digits; the port's result
// negated; then the address is stored.
int32_t udrv_ble_set_macaddress(char const *macaddr);
int32_t udrv_ble_advertising_start(uint8_t time_out);  // seconds
int32_t udrv_ble_set_device_name(char const *name, uint8_t length);
// Stop advertising, drop connections and shut the stack down.
void udrv_ble_stop(void);

// ---- Port contract: what a port with BLE provides ----
// Start the BLE host stack (the controller comes up behind it).
void uhal_ble_stack_init(void);
// Stop advertising, drop connections and shut the stack down.
void uhal_stop_ble(void);
// Set up scanning; connect to a matching advertiser when non-zero.
void uhal_scan_init(uint8_t connect_if_match);
// Set the GAP parameters: device name, appearance, connection intervals.
void uhal_gap_params_init(void);
// Set up the GATT layer (MTU negotiation).
void uhal_gatt_init(void);
// Set up the connection-parameter negotiation.
void uhal_conn_params_init(void);
// Set up pairing and bonding for the serial service.
void uhal_nus_peer_manager_init(void);
// Register the GATT services of the current service mode.
void uhal_services_init(void);
// Build the advertising data of the current service mode.
void uhal_advertising_init(void);
// Switch to a drv_ble_service_mode (serial, beacon, HID, custom).
void uhal_ble_switch_service_mode(uint8_t service_mode);
// Apply a device address given as 12 hexadecimal digits: 0 or a positive
// UDRV_RETURN_CODE.
int32_t uhal_ble_set_macaddress(char const *macaddr);
// Advertise for time_out seconds (0: without end): 0 or a negated code.
int32_t uhal_advertising_start(uint8_t time_out);
// Set the advertised device name: 0 or a negated code.
int32_t uhal_ble_set_device_name(char const *name, uint8_t length);
// The device address in use, least significant byte first.
void uhal_ble_get_macaddress(uint8_t address[6]);
#endif
