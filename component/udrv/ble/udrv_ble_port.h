// The BLE operations a port offers beyond the driver layer's contract
// (udrv_ble.h): the link flags, the optional hooks, the scanner, the settings
// a program changes while the stack runs, the beacon's frame and the custom
// service. The port's BLE glue defines them; api.ble calls them.
// UDRV_BLE_PORT_EXTRAS is 1 where the port has them; elsewhere the verbs that
// need them answer as not available.
#pragma once

#include <stdint.h>

#include "qiv_config.h"

#ifdef SUPPORT_BLE
#if defined(QIV_MCU_APOLLO3) || defined(QIV_MCU_NRF52840)
#define UDRV_BLE_PORT_EXTRAS 1
#else
#define UDRV_BLE_PORT_EXTRAS 0
#endif
// The HID keyboard mode: the nRF52840's stack has it (its advertising start
// runs the keyboard's advertising in that mode); the Apollo3's has none.
#if defined(QIV_MCU_NRF52840)
#define UDRV_BLE_PORT_HID_MODE 1
#else
#define UDRV_BLE_PORT_HID_MODE 0
#endif
// A custom service a program defines: the Apollo3's glue builds it at once;
// the nRF52840's layer keeps it and builds it when the stack enters the
// custom mode (UDRV_BLE_PORT_CUSTOM_AT_MODE_ENTRY).
#if defined(QIV_MCU_APOLLO3) || defined(QIV_MCU_NRF52840)
#define UDRV_BLE_PORT_CUSTOM_SERVICE 1
#else
#define UDRV_BLE_PORT_CUSTOM_SERVICE 0
#endif
#if defined(QIV_MCU_NRF52840)
#define UDRV_BLE_PORT_CUSTOM_AT_MODE_ENTRY 1
#else
#define UDRV_BLE_PORT_CUSTOM_AT_MODE_ENTRY 0
#endif
// The pairing policy a program chooses: the nRF52840's layer offers
// Just Works, a static passkey or a displayed one; the Apollo3's pairs
// without a passkey only.
#if defined(QIV_MCU_NRF52840)
#define UDRV_BLE_PORT_PERMISSION 1
#else
#define UDRV_BLE_PORT_PERMISSION 0
#endif

// Every BLE port: stops the advertising (0 stop, 1 pause for flash work,
// 2 resume): 0, or a negated code.
int32_t uhal_advertising_stop(uint8_t temp_processing);

#if UDRV_BLE_PORT_EXTRAS
// The link state. The Apollo3's glue sets its flags from the stack's task
// and keeps whether a central is connected; the nRF52840's sets them from
// the stack's event interrupt.
#if defined(QIV_MCU_APOLLO3)
extern volatile int uhal_is_advertising;
extern volatile int uhal_is_connected;
extern volatile int uhal_is_scanning;
#else
extern bool uhal_is_advertising;
extern bool uhal_is_scanning;
#endif

// Optional hooks: called only when set.
// Every scan report with data: RSSI, advertiser's address (least significant
// byte first), data and its length.
typedef void (*ble_connect_handler_t)(void);
typedef void (*ble_disconnect_handler_t)(void);
typedef void (*ble_scan_data_handler_t)(int8_t rssi, uint8_t const *peer_addr, uint8_t const *data,
                                        uint8_t length);
extern ble_scan_data_handler_t SCAN_DATA_HANDLER;
extern ble_connect_handler_t CONNECT_HANDLER;
extern ble_disconnect_handler_t DISCONNECT_HANDLER;

// Scanning with the scan configuration; timeout_s 0: until stopped. -7 when
// the controller is busy (advertising or connected) or already scanning.
int32_t uhal_ble_scan_start(uint16_t timeout_s);
int32_t uhal_ble_scan_stop(void);
// Scan interval and window in units of 0.625 ms (4 to 16384, window not
// above the interval); taking effect at the next start. -3 otherwise.
int32_t uhal_ble_scan_set_interval(uint16_t interval, uint16_t window);
// Settings of the advertising and the connection.
int32_t uhal_ble_set_tx_power(int8_t dbm);
int32_t uhal_ble_set_adv_interval(uint32_t interval);
int32_t uhal_ble_set_pairing_key(char const *key);
// The beacon mode's frame: iBeacon fields, or advertising data of its own.
int32_t uhal_ble_set_ibeacon(uint8_t const uuid[16], uint8_t const major[2], uint8_t const minor[2],
                             int8_t power);
int32_t uhal_ble_set_beacon_data(uint8_t const *data, uint8_t length);
#endif

#if UDRV_BLE_PORT_HID_MODE
// A key pattern (1 to 6 key codes; the bytes must outlive its typing) put in
// the HID keyboard's ring, typed at once when the ring held nothing: false
// when the ring is full or the pattern does not fit a report.
bool uhal_ble_hid_type_keys(uint8_t const *keys, uint8_t length);
// The keyboard's LED hook, called from the stack's event interrupt with the
// LED byte the host writes to the output report (bit 0 Num Lock, bit 1 Caps
// Lock, bit 2 Scroll Lock); null removes it.
void uhal_ble_hid_set_led_handler(void (*handler)(uint8_t leds));
#endif

#if UDRV_BLE_PORT_CUSTOM_SERVICE
// A custom characteristic's notifications switched: its UUID and, when
// switched on, its 20-byte value (null when switched off).
extern void (*CUS_NOTIFY_HANDLER)(uint16_t uuid, uint8_t const *value);
// The custom service: a 128-bit base UUID and up to seven (Apollo3) or three
// (nRF52840) characteristics of 20 bytes (read, write, notify), each with a
// 16-bit UUID. -3 for a table the port cannot build, -6 while a phone is
// connected to the custom service.
int32_t uhal_cus_service_init(uint8_t const base_uuid[16], uint16_t const *char_uuids,
                              uint8_t count);
#if UDRV_BLE_PORT_CUSTOM_AT_MODE_ENTRY
// Where the service asked for stands: none asked for, asked for but not yet
// on the stack (entering the custom mode puts it there), on the stack.
#define UHAL_CUS_SERVICE_NONE 0
#define UHAL_CUS_SERVICE_RECORDED 1
#define UHAL_CUS_SERVICE_ON_STACK 2
uint8_t uhal_cus_service_state(void);
#endif
#endif

#if UDRV_BLE_PORT_PERMISSION
// 2 Just Works bonding, 3 the static passkey, 4 a displayed passkey.
int32_t uhal_ble_set_permission(uint8_t permission);
#endif
#endif
