// Types and codes shared by every part of the BLE protocol stack's interface:
// UUIDs, byte arrays, characteristic handles, connection handles, the HCI
// reasons and the GATT statuses the application uses.
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "sdk_errors.h"

#define BLE_CONN_HANDLE_INVALID 0xFFFFu
#define BLE_CONN_HANDLE_ALL 0xFFFEu
#define BLE_GATT_HANDLE_INVALID 0x0000u

// Connection configuration tag given to advertising and to the stack's
// BLE configuration.
#define APP_BLE_CONN_CFG_TAG 1

// Results of the BLE calls besides the common ones of sdk_errors.h.
#define BLE_ERROR_INVALID_CONN_HANDLE 0x3001u
#define BLE_ERROR_INVALID_ATTR_HANDLE 0x3002u
#define BLE_ERROR_INVALID_ADV_HANDLE 0x3003u
#define BLE_ERROR_GATTS_SYS_ATTR_MISSING 0x3401u

// HCI reasons of a disconnection.
#define BLE_HCI_STATUS_CODE_SUCCESS 0x00
#define BLE_HCI_AUTHENTICATION_FAILURE 0x05
#define BLE_HCI_CONNECTION_TIMEOUT 0x08
#define BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION 0x13
#define BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION 0x16
#define BLE_HCI_CONN_INTERVAL_UNACCEPTABLE 0x3B

// GATT statuses of authorisation replies.
#define BLE_GATT_STATUS_SUCCESS 0x0000u
#define BLE_GATT_STATUS_ATTERR_INVALID_HANDLE 0x0101u
#define BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED 0x0103u
#define BLE_GATT_STATUS_ATTERR_REQUEST_NOT_SUPPORTED 0x0106u
// First of the application's own ATT error codes (0x80 on the air).
#define BLE_GATT_STATUS_ATTERR_APP_BEGIN 0x0180u

// ATT MTU of a link before any exchange.
#define BLE_GATT_ATT_MTU_DEFAULT 23u

// UUIDs: 16-bit values of the Bluetooth base, or 16-bit values within a
// vendor base registered with sd_ble_uuid_vs_add.
#define BLE_UUID_TYPE_UNKNOWN 0x00
#define BLE_UUID_TYPE_BLE 0x01
#define BLE_UUID_TYPE_VENDOR_BEGIN 0x02

typedef struct {
  uint16_t uuid;
  uint8_t type;
} ble_uuid_t;

typedef struct {
  uint8_t uuid128[16];  // least significant byte first
} ble_uuid128_t;

typedef struct {
  uint8_t *p_data;
  uint16_t len;
} ble_data_t;

typedef struct {
  uint16_t size;
  uint8_t *p_data;
} uint8_array_t;

// Well-known 16-bit UUIDs the modules use.
#define BLE_UUID_CCCD 0x2902
#define BLE_UUID_CHAR_USER_DESCRIPTION 0x2901
#define BLE_UUID_HUMAN_INTERFACE_DEVICE_SERVICE 0x1812
#define BLE_UUID_DEVICE_INFORMATION_SERVICE 0x180A
#define BLE_UUID_BATTERY_SERVICE 0x180F
