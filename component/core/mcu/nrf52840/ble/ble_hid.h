// The HID keyboard service mode of the nRF52840 BLE layer: its advertising
// start, bond erasure and whitelist, the ring of key patterns waiting to be
// typed and the reports that carry them, and its BLE event handler.
//
// The service is registered when the stack enters the mode (the BLE layer's
// advertising set-up calls uhal_ble_hid_service_init): no image enters it by
// itself, a program does through the user API.
#pragma once

#include <stdint.h>

#include "ble.h"
#include "ble_advertising.h"
#include "ble_hids.h"
#include "nrf_ble_qwr.h"
#include "sdk_errors.h"

// One keyboard input report: modifier byte, reserved byte, six key codes.
#define HID_KEYS_REPORT_LEN 8u
#define HID_KEYS_MAX 6u
#define HID_MODIFIER_LEFT_SHIFT 0x02u
#define HID_BUFFER_LIST_SIZE 5u

// One pattern waiting to be typed.
typedef struct {
  uint8_t data_offset;     // the next report to send
  uint8_t data_len;        // keys in the pattern
  uint8_t const *p_data;   // key codes
  ble_hids_t *p_instance;  // the HID service that sends them
} buffer_entry_t;

typedef struct {
  buffer_entry_t buffer[HID_BUFFER_LIST_SIZE];
  uint8_t rp;
  uint8_t wp;
  uint8_t count;
} buffer_list_t;

extern buffer_list_t buffer_list;
extern uint16_t m_hid_conn_handle;
extern bool m_in_boot_mode;
extern bool m_caps_on;
extern bool erase_bonds;
extern ble_advertising_t m_hid_advertising;
extern ble_advertising_init_t hid_adv_init;
extern ble_hids_t m_hids;
extern nrf_ble_qwr_t m_qwr;

// Adds the keyboard to the running stack: the HID service `m_hids` (one
// input and one output report, boot keyboard reports), the queued-write
// module `m_qwr` and the advertising `m_hid_advertising` (device name, HID
// service UUID). Protocol mode writes set m_in_boot_mode; the output
// report's LED byte sets m_caps_on and goes to the LED hook. The stack's
// result.
uint32_t uhal_ble_hid_service_init(void);
// The LED hook (see udrv_ble_port.h).
void uhal_ble_hid_set_led_handler(void (*handler)(uint8_t leds));

// Starts HID advertising with ble_parameter's settings (or, with bonds to
// erase, erases them and starts nothing); stops the HID advertising set.
uint32_t uhal_ble_hid_advertising_start(void);
uint32_t uhal_ble_hid_advertising_stop(void);
void uhal_ble_delete_bonds(void);
void whitelist_set(void);

// Sends `p_key_pattern` from report `pattern_offset` on: a pattern of n keys
// goes out as n + 1 reports, each holding the keys from its offset on (the
// first all n, the last none). `*p_actual_len` receives the offset of the
// first report not sent (the pattern length + 1 when all went out).
ret_code_t send_key_scan_press_release(ble_hids_t *p_hids, uint8_t const *p_key_pattern,
                                       uint16_t pattern_len, uint16_t pattern_offset,
                                       uint16_t *p_actual_len);
// Puts a pattern in the ring (see udrv_ble_port.h).
bool uhal_ble_hid_type_keys(uint8_t const *keys, uint8_t length);
// Goes on with the oldest queued pattern (tx_flag) or drops it.
void buffer_dequeue(bool tx_flag);

void ble_hid_evt_handler(ble_evt_t const *p_ble_evt, void *p_context);
