// The BLE layer of the nRF52840 images, as its parts share it: the settings
// record, the link state, and the entry points of the HID keyboard and custom
// service (ble_hid.cpp, ble_custom.cpp). The advertising and scan flags, the
// optional hooks and the operations beyond the driver contract are in
// udrv_ble_port.h.
#pragma once

#include <stdint.h>

#include "ble.h"
#include "udrv_ble.h"
#include "udrv_ble_port.h"

// Advertising transmit powers (dBm).
typedef enum : int8_t {
  DRV_BLE_TX_POWER_8DBM = 8,
  DRV_BLE_TX_POWER_7DBM = 7,
  DRV_BLE_TX_POWER_6DBM = 6,
  DRV_BLE_TX_POWER_5DBM = 5,
  DRV_BLE_TX_POWER_4DBM = 4,
  DRV_BLE_TX_POWER_3DBM = 3,
  DRV_BLE_TX_POWER_2DBM = 2,
  DRV_BLE_TX_POWER_0DBM = 0,
  DRV_BLE_TX_POWER_NEG4DBM = -4,
  DRV_BLE_TX_POWER_NEG5DBM = -5,
  DRV_BLE_TX_POWER_NEG8DBM = -8,
  DRV_BLE_TX_POWER_NEG10DBM = -10,
  DRV_BLE_TX_POWER_NEG12DBM = -12,
  DRV_BLE_TX_POWER_NEG16DBM = -16,
  DRV_BLE_TX_POWER_NEG20DBM = -20,
  DRV_BLE_TX_POWER_NEG30DBM = -30,
  DRV_BLE_TX_POWER_NEG40DBM = -40,
} drv_ble_tx_power_t;

// Advertising modes of the serial service (the SDK's fast and slow modes).
#define DRV_BLE_ADV_MODE_FAST 3
#define DRV_BLE_ADV_MODE_SLOW 4

// Pairing policies of `permission`.
#define DRV_BLE_PERMISSION_NO_PAIRING 2      // Just Works bonding
#define DRV_BLE_PERMISSION_STATIC_PASSKEY 3  // with a non-empty pairing_key

typedef struct {
  int8_t txpower;            // dBm
  char custom_dev_name[30];  // empty: "ZEM." and the address
  uint8_t adv_mode;          // DRV_BLE_ADV_MODE_
  uint32_t adv_interval;     // 0.625 ms
  uint8_t service_mode;      // drv_ble_service_mode
  uint8_t adv_timeout;       // seconds, last used
  uint8_t pairing_key[7];    // six digits and a NUL; empty: none
  uint8_t permission;        // DRV_BLE_PERMISSION_, else LE Secure Connections with MITM
} uhal_ble_parameter;

extern uhal_ble_parameter ble_parameter;
extern uint16_t m_conn_handle;    // BLE_CONN_HANDLE_INVALID when none
extern uint8_t always_advertise;  // advertising without a time limit
extern uint8_t m_beacon_info[23];
extern uint8_t m_beacon_info_len;  // bytes of m_beacon_info advertised

// Central-role settings (nothing in these images writes them).
typedef struct {
  uint8_t work_mode;
  uint8_t long_range_enable;
  char mac[12];
  uint8_t reserve[2];
} ble_central_cfg_t;
extern ble_central_cfg_t uhal_g_ble_cfg_t;
extern uint8_t g_ble_current_mode;  // 0 peripheral, 1 central

// The serial service.
int32_t uhal_nus_write(uint8_t const *data, uint16_t length);
int32_t uhal_nus_read(uint8_t *data, uint16_t length);
int32_t uhal_nus_available(void);

// Scan reports; the value of the first AD structure of `type` (null when
// none), its length in *p_len.
void qiv_ble_scan_adv(int8_t rssi, uint8_t const *data, uint16_t length, uint8_t const *peer_addr);
uint8_t const *ble_advdata_parse_extra(uint8_t const *data, uint16_t length, uint8_t type,
                                       uint16_t *p_len);

// The scanner and the settings a program changes while the stack runs
// (uhal_ble_extras.cpp) are declared in udrv_ble_port.h.
// Applied to the running stack: the advertising power, the pairing policy
// and passkey, the beacon's data.
int32_t uhal_ble_adv_tx_power_apply(void);
int32_t uhal_ble_security_apply(void);
int32_t uhal_ble_beacon_update(void);

// The texts of connection and pairing events for the USB port, kept by the
// stack's event interrupt and written by the main loop's dispatcher on its
// BLE event (the USB write waits for an interrupt of the same priority).
void uhal_ble_usb_texts_flush(void);

// ---- HID keyboard and custom service (ble_hid.cpp, ble_custom.cpp)
// Starts HID advertising with ble_parameter's settings: the stack's result.
uint32_t uhal_ble_hid_advertising_start(void);
// Stops the HID advertising set: the stack's result.
uint32_t uhal_ble_hid_advertising_stop(void);
