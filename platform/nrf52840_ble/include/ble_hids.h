// The SDK's HID service module (HID over GATT): the HID service with its
// information, report map, control point, protocol mode, input, output and
// feature reports, and the boot keyboard reports; sending input reports as
// notifications; the host's writes (protocol mode, control point, output
// reports, notification settings) as events to the application.
#pragma once

#include <stdint.h>

#include "ble.h"
#include "nrf_sdh_ble.h"
#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BLE_HIDS_MAX_INPUT_REP 3
#define BLE_HIDS_MAX_OUTPUT_REP 2
#define BLE_HIDS_MAX_FEATURE_REP 2
#define BLE_HIDS_BOOT_KB_INPUT_REP_LEN 8
#define BLE_HIDS_BOOT_KB_OUTPUT_REP_LEN 1

// Report types of the report reference descriptor.
#define BLE_HIDS_REP_TYPE_INPUT 1
#define BLE_HIDS_REP_TYPE_OUTPUT 2
#define BLE_HIDS_REP_TYPE_FEATURE 3

// HID information flags.
#define HID_INFO_FLAG_REMOTE_WAKE_MSK 0x01
#define HID_INFO_FLAG_NORMALLY_CONNECTABLE_MSK 0x02

// The service's characteristics.
#define BLE_UUID_BOOT_KEYBOARD_INPUT_REPORT_CHAR 0x2A22
#define BLE_UUID_BOOT_KEYBOARD_OUTPUT_REPORT_CHAR 0x2A32
#define BLE_UUID_HID_INFORMATION_CHAR 0x2A4A
#define BLE_UUID_REPORT_MAP_CHAR 0x2A4B
#define BLE_UUID_HID_CONTROL_POINT_CHAR 0x2A4C
#define BLE_UUID_REPORT_CHAR 0x2A4D
#define BLE_UUID_PROTOCOL_MODE_CHAR 0x2A4E
#define BLE_UUID_REPORT_REF_DESCR 0x2908

typedef enum {
  BLE_HIDS_EVT_HOST_SUSP,
  BLE_HIDS_EVT_HOST_EXIT_SUSP,
  BLE_HIDS_EVT_NOTIF_ENABLED,
  BLE_HIDS_EVT_NOTIF_DISABLED,
  BLE_HIDS_EVT_REP_CHAR_WRITE,
  BLE_HIDS_EVT_BOOT_MODE_ENTERED,
  BLE_HIDS_EVT_REPORT_MODE_ENTERED,
} ble_hids_evt_type_t;

typedef struct {
  uint16_t uuid;      // the characteristic's UUID
  uint8_t rep_type;   // BLE_HIDS_REP_TYPE_ (report characteristics)
  uint8_t rep_index;  // within its type
} ble_hids_char_id_t;

typedef struct {
  ble_hids_evt_type_t evt_type;
  union {
    struct {
      ble_hids_char_id_t char_id;
    } notification;
    struct {
      ble_hids_char_id_t char_id;
      uint16_t offset;
      uint16_t len;
      uint8_t const *data;
    } char_write;
  } params;
  ble_evt_t const *p_ble_evt;
} ble_hids_evt_t;

typedef struct ble_hids_s ble_hids_t;
typedef void (*ble_hids_evt_handler_t)(ble_hids_t *p_hids, ble_hids_evt_t *p_evt);
typedef void (*ble_srv_error_handler_t)(uint32_t nrf_error);

typedef struct {
  uint8_t report_id;
  uint8_t report_type;  // BLE_HIDS_REP_TYPE_
} ble_srv_report_ref_t;

typedef struct {
  uint16_t max_len;
  ble_srv_report_ref_t rep_ref;
} ble_hids_rep_char_init_t;

typedef struct {
  uint16_t bcd_hid;
  uint8_t b_country_code;
  uint8_t flags;
} ble_hids_hid_information_t;

typedef struct {
  uint8_t *p_data;
  uint16_t data_len;
} ble_hids_rep_map_init_t;

typedef struct {
  ble_hids_evt_handler_t evt_handler;
  ble_srv_error_handler_t error_handler;
  bool is_kb;
  uint8_t inp_rep_count;
  ble_hids_rep_char_init_t const *p_inp_rep_array;
  uint8_t outp_rep_count;
  ble_hids_rep_char_init_t const *p_outp_rep_array;
  uint8_t feature_rep_count;
  ble_hids_rep_char_init_t const *p_feature_rep_array;
  ble_hids_rep_map_init_t rep_map;
  ble_hids_hid_information_t hid_information;
} ble_hids_init_t;

typedef struct {
  ble_gatts_char_handles_t char_handles;
  uint16_t ref_handle;
  uint16_t max_len;
} ble_hids_rep_char_t;

struct ble_hids_s {
  bool initialized;
  ble_hids_evt_handler_t evt_handler;
  ble_srv_error_handler_t error_handler;
  uint16_t service_handle;
  ble_gatts_char_handles_t protocol_mode_handles;
  uint8_t inp_rep_count;
  ble_hids_rep_char_t inp_rep_array[BLE_HIDS_MAX_INPUT_REP];
  uint8_t outp_rep_count;
  ble_hids_rep_char_t outp_rep_array[BLE_HIDS_MAX_OUTPUT_REP];
  uint8_t feature_rep_count;
  ble_hids_rep_char_t feature_rep_array[BLE_HIDS_MAX_FEATURE_REP];
  ble_gatts_char_handles_t rep_map_handles;
  ble_gatts_char_handles_t boot_kb_inp_rep_handles;
  ble_gatts_char_handles_t boot_kb_outp_rep_handles;
  ble_gatts_char_handles_t hid_information_handles;
  ble_gatts_char_handles_t hid_control_point_handles;
};

// Adds the service: NRF_ERROR_INVALID_PARAM for more reports than the
// module holds or an empty report map, else the stack's failures.
ret_code_t ble_hids_init(ble_hids_t *p_hids, ble_hids_init_t const *p_hids_init);
// Input report `rep_index` (report protocol) to the host: NRF_ERROR_INVALID_PARAM
// for an index or length the report does not have, else sd_ble_gatts_hvx's
// result (NRF_ERROR_RESOURCES while the stack's queue is full).
ret_code_t ble_hids_inp_rep_send(ble_hids_t *p_hids, uint8_t rep_index, uint16_t len,
                                 uint8_t const *p_data, uint16_t conn_handle);
// The boot keyboard input report (boot protocol), likewise.
ret_code_t ble_hids_boot_kb_inp_rep_send(ble_hids_t *p_hids, uint16_t len, uint8_t const *p_data,
                                         uint16_t conn_handle);
// The instance's observer (acts once the instance is initialised).
void ble_hids_on_ble_evt(ble_evt_t const *p_ble_evt, void *p_context);

#ifdef __cplusplus
}  // extern "C"
#endif
