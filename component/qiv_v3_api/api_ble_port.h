// The port's BLE operations that api.ble uses beyond the BLE driver's
// contract. QIV_API_BLE_PORT_EXTRAS is 1 where the port has them (the
// Apollo3's BLE glue declares the same operations); elsewhere the verbs that
// need them answer as not available.
#pragma once

#include <stdint.h>

#ifdef SUPPORT_BLE
#if defined(QIV_MCU_APOLLO3)
#define QIV_API_BLE_PORT_EXTRAS 1
#else
#define QIV_API_BLE_PORT_EXTRAS 0
#endif
// The HID keyboard mode: the nRF52840's stack has it (its advertising start
// runs the keyboard's advertising in that mode); the Apollo3's has none.
#if defined(QIV_MCU_NRF52840)
#define QIV_API_BLE_HID_MODE 1
#else
#define QIV_API_BLE_HID_MODE 0
#endif

// Every BLE port: stops the advertising (0, or a negated code).
int32_t uhal_advertising_stop(uint8_t temp_processing);

#if QIV_API_BLE_PORT_EXTRAS
extern volatile int uhal_is_advertising;
extern volatile int uhal_is_connected;
extern volatile int uhal_is_scanning;
extern void (*SCAN_DATA_HANDLER)(int8_t rssi, uint8_t const *peer_addr, uint8_t const *data,
                                 uint8_t length);
extern void (*CONNECT_HANDLER)(void);
extern void (*DISCONNECT_HANDLER)(void);
extern void (*CUS_NOTIFY_HANDLER)(uint16_t uuid, uint8_t const *value);
int32_t uhal_ble_scan_start(uint16_t timeout_s);
int32_t uhal_ble_scan_stop(void);
int32_t uhal_ble_scan_set_interval(uint16_t interval, uint16_t window);
int32_t uhal_ble_set_tx_power(int8_t dbm);
int32_t uhal_ble_set_adv_interval(uint32_t interval);
int32_t uhal_ble_set_pairing_key(char const *key);
int32_t uhal_ble_set_ibeacon(uint8_t const uuid[16], uint8_t const major[2], uint8_t const minor[2],
                             int8_t power);
int32_t uhal_ble_set_beacon_data(uint8_t const *data, uint8_t length);
int32_t uhal_cus_service_init(uint8_t const base_uuid[16], uint16_t const *char_uuids,
                              uint8_t count);
#endif
#endif
