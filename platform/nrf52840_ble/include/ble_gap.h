// The protocol stack's GAP: device address and name, preferred connection
// parameters, transmit power, advertising sets, connections, security and
// the GAP events.
#pragma once

#include "ble_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- address
#define BLE_GAP_ADDR_LEN 6
#define BLE_GAP_ADDR_TYPE_PUBLIC 0x00
#define BLE_GAP_ADDR_TYPE_RANDOM_STATIC 0x01

typedef struct {
  uint8_t addr_id_peer : 1;
  uint8_t addr_type : 7;
  uint8_t addr[BLE_GAP_ADDR_LEN];  // least significant byte first
} ble_gap_addr_t;

#define BLE_ERROR_GAP_INVALID_BLE_ADDR 0x3200u

// A random static address must have its two top bits set; NRF_ERROR_INVALID_STATE
// while advertising, scanning or connected.
uint32_t sd_ble_gap_addr_set(ble_gap_addr_t const *p_addr);
uint32_t sd_ble_gap_addr_get(ble_gap_addr_t *p_addr);

// ---- device name (the GAP service's Device Name characteristic)
typedef struct {
  uint8_t sm : 4;  // security mode
  uint8_t lv : 4;  // level (0: no access)
} ble_gap_conn_sec_mode_t;

#define BLE_GAP_CONN_SEC_MODE_SET_OPEN(ptr) \
  do {                                      \
    (ptr)->sm = 1;                          \
    (ptr)->lv = 1;                          \
  } while (0)
#define BLE_GAP_CONN_SEC_MODE_SET_NO_ACCESS(ptr) \
  do {                                           \
    (ptr)->sm = 0;                               \
    (ptr)->lv = 0;                               \
  } while (0)
#define BLE_GAP_CONN_SEC_MODE_SET_ENC_NO_MITM(ptr) \
  do {                                             \
    (ptr)->sm = 1;                                 \
    (ptr)->lv = 2;                                 \
  } while (0)
#define BLE_GAP_CONN_SEC_MODE_SET_ENC_WITH_MITM(ptr) \
  do {                                               \
    (ptr)->sm = 1;                                   \
    (ptr)->lv = 3;                                   \
  } while (0)

#define BLE_GAP_DEVNAME_MAX_LEN 248
uint32_t sd_ble_gap_device_name_set(ble_gap_conn_sec_mode_t const *p_write_perm,
                                    uint8_t const *p_dev_name, uint16_t len);
// *p_len: room in, length out.
uint32_t sd_ble_gap_device_name_get(uint8_t *p_dev_name, uint16_t *p_len);
uint32_t sd_ble_gap_appearance_set(uint16_t appearance);

// ---- connection parameters (intervals in 1.25 ms, timeout in 10 ms)
typedef struct {
  uint16_t min_conn_interval;
  uint16_t max_conn_interval;
  uint16_t slave_latency;
  uint16_t conn_sup_timeout;
} ble_gap_conn_params_t;

uint32_t sd_ble_gap_ppcp_set(ble_gap_conn_params_t const *p_conn_params);
uint32_t sd_ble_gap_ppcp_get(ble_gap_conn_params_t *p_conn_params);
// Peripheral: asks the central for new parameters (null: the preferred ones).
uint32_t sd_ble_gap_conn_param_update(uint16_t conn_handle,
                                      ble_gap_conn_params_t const *p_conn_params);

// ---- transmit power
#define BLE_GAP_TX_POWER_ROLE_ADV 1
#define BLE_GAP_TX_POWER_ROLE_SCAN_INIT 2
#define BLE_GAP_TX_POWER_ROLE_CONN 3
// handle: the advertising handle for ROLE_ADV, the connection for ROLE_CONN.
// Powers the radio has: -40, -20, -16, -12, -8, -4, 0, 2 to 8 dBm.
uint32_t sd_ble_gap_tx_power_set(uint8_t role, uint16_t handle, int8_t tx_power);

// ---- advertising
#define BLE_GAP_ADV_SET_HANDLE_NOT_SET 0xFF
#define BLE_GAP_ADV_SET_DATA_SIZE_MAX 31

#define BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED 0x01
#define BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED_HIGH_DUTY_CYCLE 0x02
#define BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED 0x03
#define BLE_GAP_ADV_TYPE_NONCONNECTABLE_SCANNABLE_UNDIRECTED 0x04
#define BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED 0x05

#define BLE_GAP_ADV_FP_ANY 0x00
#define BLE_GAP_ADV_FP_FILTER_SCANREQ 0x01
#define BLE_GAP_ADV_FP_FILTER_CONNREQ 0x02
#define BLE_GAP_ADV_FP_FILTER_BOTH 0x03

#define BLE_GAP_ADV_INTERVAL_MIN 0x000020u
#define BLE_GAP_ADV_INTERVAL_MAX 0x004000u
#define BLE_GAP_ADV_TIMEOUT_GENERAL_UNLIMITED 0

#define BLE_GAP_PHY_AUTO 0x00
#define BLE_GAP_PHY_1MBPS 0x01
#define BLE_GAP_PHY_2MBPS 0x02
#define BLE_GAP_PHY_CODED 0x04

// Flags of the flags AD structure.
#define BLE_GAP_ADV_FLAG_LE_LIMITED_DISC_MODE 0x01
#define BLE_GAP_ADV_FLAG_LE_GENERAL_DISC_MODE 0x02
#define BLE_GAP_ADV_FLAG_BR_EDR_NOT_SUPPORTED 0x04
#define BLE_GAP_ADV_FLAGS_LE_ONLY_LIMITED_DISC_MODE 0x05
#define BLE_GAP_ADV_FLAGS_LE_ONLY_GENERAL_DISC_MODE 0x06

// AD types.
#define BLE_GAP_AD_TYPE_FLAGS 0x01
#define BLE_GAP_AD_TYPE_16BIT_SERVICE_UUID_MORE_AVAILABLE 0x02
#define BLE_GAP_AD_TYPE_16BIT_SERVICE_UUID_COMPLETE 0x03
#define BLE_GAP_AD_TYPE_128BIT_SERVICE_UUID_MORE_AVAILABLE 0x06
#define BLE_GAP_AD_TYPE_128BIT_SERVICE_UUID_COMPLETE 0x07
#define BLE_GAP_AD_TYPE_SHORT_LOCAL_NAME 0x08
#define BLE_GAP_AD_TYPE_COMPLETE_LOCAL_NAME 0x09
#define BLE_GAP_AD_TYPE_TX_POWER_LEVEL 0x0A
#define BLE_GAP_AD_TYPE_SLAVE_CONNECTION_INTERVAL_RANGE 0x12
#define BLE_GAP_AD_TYPE_APPEARANCE 0x19
#define BLE_GAP_AD_TYPE_MANUFACTURER_SPECIFIC_DATA 0xFF

typedef struct {
  uint8_t type : 4;  // BLE_GAP_ADV_TYPE_
  uint8_t anonymous : 1;
  uint8_t include_tx_power : 1;
} ble_gap_adv_properties_t;

typedef struct {
  ble_gap_adv_properties_t properties;
  ble_gap_addr_t const *p_peer_addr;
  uint32_t interval;  // 0.625 ms
  uint16_t duration;  // 10 ms; 0: until stopped
  uint8_t max_adv_evts;
  uint8_t channel_mask[5];
  uint8_t filter_policy;
  uint8_t primary_phy;
  uint8_t secondary_phy;
  uint8_t set_id : 4;
  uint8_t scan_req_notification : 1;
} ble_gap_adv_params_t;

typedef struct {
  ble_data_t adv_data;
  ble_data_t scan_rsp_data;
} ble_gap_adv_data_t;

// Configures an advertising set: *p_adv_handle BLE_GAP_ADV_SET_HANDLE_NOT_SET
// makes a new one (the stack has one set). Data only (null params) while it
// advertises; parameters only while it does not (NRF_ERROR_INVALID_STATE).
uint32_t sd_ble_gap_adv_set_configure(uint8_t *p_adv_handle, ble_gap_adv_data_t const *p_adv_data,
                                      ble_gap_adv_params_t const *p_adv_params);
// NRF_ERROR_INVALID_STATE when already advertising or (connectable) while
// connected.
uint32_t sd_ble_gap_adv_start(uint8_t adv_handle, uint8_t conn_cfg_tag);
// NRF_ERROR_INVALID_STATE when not advertising.
uint32_t sd_ble_gap_adv_stop(uint8_t adv_handle);

// ---- connections
// NRF_ERROR_INVALID_STATE when the link is already going down,
// BLE_ERROR_INVALID_CONN_HANDLE when there is no such connection.
uint32_t sd_ble_gap_disconnect(uint16_t conn_handle, uint8_t hci_status_code);

typedef struct {
  uint8_t tx_phys;
  uint8_t rx_phys;
} ble_gap_phys_t;
uint32_t sd_ble_gap_phy_update(uint16_t conn_handle, ble_gap_phys_t const *p_gap_phys);

typedef struct {
  uint16_t max_tx_octets;
  uint16_t max_rx_octets;
  uint16_t max_tx_time_us;
  uint16_t max_rx_time_us;
} ble_gap_data_length_params_t;
typedef struct {
  uint16_t tx_payload_limited_octets;
  uint16_t rx_payload_limited_octets;
  uint16_t tx_rx_time_limited_us;
} ble_gap_data_length_limitation_t;
// Null params: automatic.
uint32_t sd_ble_gap_data_length_update(uint16_t conn_handle,
                                       ble_gap_data_length_params_t const *p_dl_params,
                                       ble_gap_data_length_limitation_t *p_dl_limitation);

// ---- security
#define BLE_GAP_IO_CAPS_DISPLAY_ONLY 0x00
#define BLE_GAP_IO_CAPS_DISPLAY_YESNO 0x01
#define BLE_GAP_IO_CAPS_KEYBOARD_ONLY 0x02
#define BLE_GAP_IO_CAPS_NONE 0x03
#define BLE_GAP_IO_CAPS_KEYBOARD_DISPLAY 0x04

#define BLE_GAP_PASSKEY_LEN 6

typedef struct {
  uint8_t enc : 1;
  uint8_t id : 1;
  uint8_t sign : 1;
  uint8_t link : 1;
} ble_gap_sec_kdist_t;

typedef struct {
  uint8_t bond : 1;
  uint8_t mitm : 1;
  uint8_t lesc : 1;
  uint8_t keypress : 1;
  uint8_t io_caps : 3;
  uint8_t oob : 1;
  uint8_t min_key_size;
  uint8_t max_key_size;
  ble_gap_sec_kdist_t kdist_own;
  ble_gap_sec_kdist_t kdist_peer;
} ble_gap_sec_params_t;

typedef struct {
  uint8_t sm : 4;
  uint8_t lv : 4;
} ble_gap_sec_levels_t;

// Status of a finished pairing (BLE_GAP_EVT_AUTH_STATUS).
#define BLE_GAP_SEC_STATUS_SUCCESS 0x00
#define BLE_GAP_SEC_STATUS_TIMEOUT 0x01
#define BLE_GAP_SEC_STATUS_PASSKEY_ENTRY_FAILED 0x81
#define BLE_GAP_SEC_STATUS_CONFIRM_VALUE 0x84
#define BLE_GAP_SEC_STATUS_PAIRING_NOT_SUPP 0x85
#define BLE_GAP_SEC_STATUS_UNSPECIFIED 0x88

// The answer to BLE_GAP_EVT_SEC_PARAMS_REQUEST (the peer manager gives it).
uint32_t sd_ble_gap_sec_params_reply(uint16_t conn_handle, uint8_t sec_status,
                                     ble_gap_sec_params_t const *p_sec_params, void *p_sec_keyset);
// Peripheral: asks the central to pair or encrypt.
uint32_t sd_ble_gap_authenticate(uint16_t conn_handle, ble_gap_sec_params_t const *p_sec_params);

// ---- scanning (central role)
typedef struct {
  uint8_t extended : 1;
  uint8_t report_incomplete_evts : 1;
  uint8_t active : 1;
  uint8_t filter_policy : 2;
  uint8_t scan_phys;
  uint16_t interval;  // 0.625 ms
  uint16_t window;
  uint16_t timeout;  // 10 ms
  uint8_t channel_mask[5];
} ble_gap_scan_params_t;
#define BLE_GAP_SCAN_TIMEOUT_UNLIMITED 0
#define BLE_GAP_SCAN_BUFFER_MIN 31
// Starts scanning (p_scan_params set; NRF_ERROR_INVALID_STATE while
// scanning) or resumes a scan paused by its last report (p_scan_params
// null). Reports come as BLE_GAP_EVT_ADV_REPORT without a link (handle
// BLE_CONN_HANDLE_INVALID), their data in p_adv_report_buffer, and pause
// the scan; its end by the timeout (10 ms units, 0 none) is
// BLE_GAP_EVT_TIMEOUT with source BLE_GAP_TIMEOUT_SRC_SCAN.
uint32_t sd_ble_gap_scan_start(ble_gap_scan_params_t const *p_scan_params,
                               ble_data_t const *p_adv_report_buffer);
uint32_t sd_ble_gap_scan_stop(void);

// ---- GAP events (ble_evt_t.evt.gap_evt)
enum {
  BLE_GAP_EVT_CONNECTED = 0x10,
  BLE_GAP_EVT_DISCONNECTED,
  BLE_GAP_EVT_CONN_PARAM_UPDATE,
  BLE_GAP_EVT_SEC_PARAMS_REQUEST,
  BLE_GAP_EVT_SEC_INFO_REQUEST,
  BLE_GAP_EVT_PASSKEY_DISPLAY,
  BLE_GAP_EVT_AUTH_KEY_REQUEST,
  BLE_GAP_EVT_AUTH_STATUS,
  BLE_GAP_EVT_CONN_SEC_UPDATE,
  BLE_GAP_EVT_TIMEOUT,
  BLE_GAP_EVT_ADV_REPORT,
  BLE_GAP_EVT_SEC_REQUEST,
  BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST,
  BLE_GAP_EVT_PHY_UPDATE_REQUEST,
  BLE_GAP_EVT_PHY_UPDATE,
  BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST,
  BLE_GAP_EVT_DATA_LENGTH_UPDATE,
  BLE_GAP_EVT_ADV_SET_TERMINATED,
};

#define BLE_GAP_ROLE_INVALID 0x0
#define BLE_GAP_ROLE_PERIPH 0x1
#define BLE_GAP_ROLE_CENTRAL 0x2

#define BLE_GAP_TIMEOUT_SRC_SCAN 0x01
#define BLE_GAP_TIMEOUT_SRC_CONN 0x02
#define BLE_GAP_TIMEOUT_SRC_AUTH_PAYLOAD 0x03

#define BLE_GAP_EVT_ADV_SET_TERMINATED_REASON_TIMEOUT 0x01
#define BLE_GAP_EVT_ADV_SET_TERMINATED_REASON_LIMIT_REACHED 0x02

typedef struct {
  ble_gap_addr_t peer_addr;
  uint8_t role;
  ble_gap_conn_params_t conn_params;
  uint8_t adv_handle;
} ble_gap_evt_connected_t;

typedef struct {
  uint8_t reason;
} ble_gap_evt_disconnected_t;

typedef struct {
  ble_gap_conn_params_t conn_params;
} ble_gap_evt_conn_param_update_t;

typedef struct {
  ble_gap_sec_params_t peer_params;
} ble_gap_evt_sec_params_request_t;

typedef struct {
  uint8_t passkey[BLE_GAP_PASSKEY_LEN];  // ASCII digits, not terminated
  uint8_t match_request : 1;
} ble_gap_evt_passkey_display_t;

typedef struct {
  uint8_t auth_status;  // BLE_GAP_SEC_STATUS_
  uint8_t error_src : 2;
  uint8_t bonded : 1;
  uint8_t lesc : 1;
  ble_gap_sec_levels_t sm1_levels;
  ble_gap_sec_kdist_t kdist_own;
  ble_gap_sec_kdist_t kdist_peer;
} ble_gap_evt_auth_status_t;

typedef struct {
  ble_gap_sec_levels_t sec_mode;
  uint8_t encr_key_size;
} ble_gap_evt_conn_sec_update_t;

typedef struct {
  uint8_t src;  // BLE_GAP_TIMEOUT_SRC_
} ble_gap_evt_timeout_t;

typedef struct {
  uint16_t status;
  ble_gap_addr_t peer_addr;
  int8_t rssi;
  ble_data_t data;
} ble_gap_evt_adv_report_t;

typedef struct {
  ble_gap_phys_t peer_preferred_phys;
} ble_gap_evt_phy_update_request_t;

typedef struct {
  uint8_t status;
  uint8_t tx_phy;
  uint8_t rx_phy;
} ble_gap_evt_phy_update_t;

typedef struct {
  ble_gap_data_length_params_t peer_params;
} ble_gap_evt_data_length_update_request_t;

typedef struct {
  ble_gap_data_length_params_t effective_params;
} ble_gap_evt_data_length_update_t;

typedef struct {
  uint8_t reason;  // BLE_GAP_EVT_ADV_SET_TERMINATED_REASON_
  uint8_t adv_handle;
  uint8_t num_completed_adv_events;
} ble_gap_evt_adv_set_terminated_t;

typedef struct {
  uint16_t conn_handle;  // first in every event body
  union {
    ble_gap_evt_connected_t connected;
    ble_gap_evt_disconnected_t disconnected;
    ble_gap_evt_conn_param_update_t conn_param_update;
    ble_gap_evt_sec_params_request_t sec_params_request;
    ble_gap_evt_passkey_display_t passkey_display;
    ble_gap_evt_auth_status_t auth_status;
    ble_gap_evt_conn_sec_update_t conn_sec_update;
    ble_gap_evt_timeout_t timeout;
    ble_gap_evt_adv_report_t adv_report;
    ble_gap_evt_phy_update_request_t phy_update_request;
    ble_gap_evt_phy_update_t phy_update;
    ble_gap_evt_data_length_update_request_t data_length_update_request;
    ble_gap_evt_data_length_update_t data_length_update;
    ble_gap_evt_adv_set_terminated_t adv_set_terminated;
  } params;
} ble_gap_evt_t;

// ---- options
#define BLE_GAP_OPT_PASSKEY 0x01
typedef struct {
  uint8_t const *p_passkey;  // six ASCII digits; null: a random key per pairing
} ble_gap_opt_passkey_t;
typedef union {
  ble_gap_opt_passkey_t passkey;
} ble_gap_opt_t;

#ifdef __cplusplus
}  // extern "C"
#endif
