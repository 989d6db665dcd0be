// The protocol stack's GATT server: services and characteristics added at
// run time, attribute values, notifications and indications with the
// stack's transmit queue, authorisation replies, system attributes and the
// GATT server events. The GATT client part carries only its timeout event.
#pragma once

#include "ble_gap.h"
#include "ble_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BLE_GATTS_SRVC_TYPE_PRIMARY 0x01
#define BLE_GATTS_SRVC_TYPE_SECONDARY 0x02

// Where an attribute's value lives: the stack's memory (the only one here).
#define BLE_GATTS_VLOC_INVALID 0x00
#define BLE_GATTS_VLOC_STACK 0x01
#define BLE_GATTS_VLOC_USER 0x02

#define BLE_GATTS_VAR_ATTR_LEN_MAX 512

// Notifications the stack queues per link before NRF_ERROR_RESOURCES.
#define BLE_GATTS_HVN_TX_QUEUE_SIZE_DEFAULT 1

typedef struct {
  uint8_t broadcast : 1;
  uint8_t read : 1;
  uint8_t write_wo_resp : 1;
  uint8_t write : 1;
  uint8_t notify : 1;
  uint8_t indicate : 1;
  uint8_t auth_signed_wr : 1;
} ble_gatt_char_props_t;

typedef struct {
  uint8_t reliable_wr : 1;
  uint8_t wr_aux : 1;
} ble_gatt_char_ext_props_t;

typedef struct {
  ble_gap_conn_sec_mode_t read_perm;
  ble_gap_conn_sec_mode_t write_perm;
  uint8_t vlen : 1;
  uint8_t vloc : 2;
  uint8_t rd_auth : 1;  // reads raise BLE_GATTS_EVT_RW_AUTHORIZE_REQUEST
  uint8_t wr_auth : 1;  // writes likewise
} ble_gatts_attr_md_t;

typedef struct {
  ble_uuid_t const *p_uuid;
  ble_gatts_attr_md_t const *p_attr_md;
  uint16_t init_len;
  uint16_t init_offs;
  uint16_t max_len;
  uint8_t *p_value;  // initial value (copied)
} ble_gatts_attr_t;

typedef struct {
  ble_gatt_char_props_t char_props;
  ble_gatt_char_ext_props_t char_ext_props;
  uint8_t const *p_char_user_desc;
  uint16_t char_user_desc_max_size;
  uint16_t char_user_desc_size;
  void const *p_char_pf;
  ble_gatts_attr_md_t const *p_user_desc_md;
  ble_gatts_attr_md_t const *p_cccd_md;  // null: open
  ble_gatts_attr_md_t const *p_sccd_md;
} ble_gatts_char_md_t;

typedef struct {
  uint16_t value_handle;
  uint16_t user_desc_handle;
  uint16_t cccd_handle;
  uint16_t sccd_handle;
} ble_gatts_char_handles_t;

typedef struct {
  uint16_t len;
  uint16_t offset;
  uint8_t *p_value;
} ble_gatts_value_t;

// Adds a service; the characteristics added next belong to it.
uint32_t sd_ble_gatts_service_add(uint8_t type, ble_uuid_t const *p_uuid, uint16_t *p_handle);
// Adds a characteristic (declaration, value, then the user description and
// CCCD when asked for) to the last service added.
uint32_t sd_ble_gatts_characteristic_add(uint16_t service_handle,
                                         ble_gatts_char_md_t const *p_char_md,
                                         ble_gatts_attr_t const *p_attr_char_value,
                                         ble_gatts_char_handles_t *p_handles);
// Adds a descriptor to the last characteristic added (char_handle: its
// value handle, or BLE_GATT_HANDLE_INVALID).
uint32_t sd_ble_gatts_descriptor_add(uint16_t char_handle, ble_gatts_attr_t const *p_attr,
                                     uint16_t *p_handle);
// conn_handle: the link for a CCCD value, else BLE_CONN_HANDLE_INVALID.
uint32_t sd_ble_gatts_value_set(uint16_t conn_handle, uint16_t handle, ble_gatts_value_t *p_value);
uint32_t sd_ble_gatts_value_get(uint16_t conn_handle, uint16_t handle, ble_gatts_value_t *p_value);

#define BLE_GATT_HVX_INVALID 0x00
#define BLE_GATT_HVX_NOTIFICATION 0x01
#define BLE_GATT_HVX_INDICATION 0x02

typedef struct {
  uint16_t handle;
  uint8_t type;
  uint16_t offset;
  uint16_t *p_len;  // in: length; out: bytes sent (cut to the ATT MTU - 3)
  uint8_t const *p_data;
} ble_gatts_hvx_params_t;

// A notification or indication to the peer. NRF_ERROR_INVALID_STATE when
// the peer has not enabled it in the CCCD, NRF_ERROR_RESOURCES when the
// stack's transmit queue is full (BLE_GATTS_EVT_HVN_TX_COMPLETE frees it),
// NRF_ERROR_BUSY while an indication waits for its confirmation,
// BLE_ERROR_INVALID_CONN_HANDLE without that link.
uint32_t sd_ble_gatts_hvx(uint16_t conn_handle, ble_gatts_hvx_params_t const *p_hvx_params);

#define BLE_GATTS_AUTHORIZE_TYPE_INVALID 0x00
#define BLE_GATTS_AUTHORIZE_TYPE_READ 0x01
#define BLE_GATTS_AUTHORIZE_TYPE_WRITE 0x02

typedef struct {
  uint16_t gatt_status;
  uint8_t update : 1;  // take p_data as the value
  uint16_t offset;
  uint16_t len;
  uint8_t const *p_data;
} ble_gatts_authorize_params_t;

typedef struct {
  uint8_t type;  // BLE_GATTS_AUTHORIZE_TYPE_
  union {
    ble_gatts_authorize_params_t read;
    ble_gatts_authorize_params_t write;
  } params;
} ble_gatts_rw_authorize_reply_params_t;

uint32_t sd_ble_gatts_rw_authorize_reply(
    uint16_t conn_handle, ble_gatts_rw_authorize_reply_params_t const *p_rw_authorize_reply_params);
// The link's stored system attributes (CCCD values); null: none stored.
uint32_t sd_ble_gatts_sys_attr_set(uint16_t conn_handle, uint8_t const *p_sys_attr_data,
                                   uint16_t len, uint32_t flags);
uint32_t sd_ble_gatts_exchange_mtu_reply(uint16_t conn_handle, uint16_t server_rx_mtu);

// ---- GATT server events (ble_evt_t.evt.gatts_evt)
enum {
  BLE_GATTS_EVT_WRITE = 0x50,
  BLE_GATTS_EVT_RW_AUTHORIZE_REQUEST,
  BLE_GATTS_EVT_SYS_ATTR_MISSING,
  BLE_GATTS_EVT_HVC,
  BLE_GATTS_EVT_SC_CONFIRM,
  BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST,
  BLE_GATTS_EVT_TIMEOUT,
  BLE_GATTS_EVT_HVN_TX_COMPLETE,
};

// Write operations.
#define BLE_GATTS_OP_INVALID 0x00
#define BLE_GATTS_OP_WRITE_REQ 0x01
#define BLE_GATTS_OP_WRITE_CMD 0x02
#define BLE_GATTS_OP_SIGN_WRITE_CMD 0x03
#define BLE_GATTS_OP_PREP_WRITE_REQ 0x04
#define BLE_GATTS_OP_EXEC_WRITE_REQ_CANCEL 0x05
#define BLE_GATTS_OP_EXEC_WRITE_REQ_NOW 0x06

typedef struct {
  uint16_t handle;
  ble_uuid_t uuid;
  uint8_t op;
  uint8_t auth_required;
  uint16_t offset;
  uint16_t len;
  uint8_t data[1];  // len bytes (the event is allocated with room for them)
} ble_gatts_evt_write_t;

typedef struct {
  uint16_t handle;
  ble_uuid_t uuid;
  uint16_t offset;
} ble_gatts_evt_read_t;

typedef struct {
  uint8_t type;  // BLE_GATTS_AUTHORIZE_TYPE_
  union {
    ble_gatts_evt_read_t read;
    ble_gatts_evt_write_t write;
  } request;
} ble_gatts_evt_rw_authorize_request_t;

typedef struct {
  uint8_t hint;
} ble_gatts_evt_sys_attr_missing_t;

typedef struct {
  uint16_t handle;
} ble_gatts_evt_hvc_t;

typedef struct {
  uint16_t client_rx_mtu;
} ble_gatts_evt_exchange_mtu_request_t;

typedef struct {
  uint8_t src;
} ble_gatts_evt_timeout_t;

typedef struct {
  uint8_t count;
} ble_gatts_evt_hvn_tx_complete_t;

typedef struct {
  uint16_t conn_handle;  // first in every event body
  union {
    ble_gatts_evt_write_t write;
    ble_gatts_evt_rw_authorize_request_t authorize_request;
    ble_gatts_evt_sys_attr_missing_t sys_attr_missing;
    ble_gatts_evt_hvc_t hvc;
    ble_gatts_evt_exchange_mtu_request_t exchange_mtu_request;
    ble_gatts_evt_timeout_t timeout;
    ble_gatts_evt_hvn_tx_complete_t hvn_tx_complete;
  } params;
} ble_gatts_evt_t;

// ---- GATT client events (ble_evt_t.evt.gattc_evt): only the timeout.
enum {
  BLE_GATTC_EVT_TIMEOUT = 0x3A,
};
typedef struct {
  uint8_t src;
} ble_gattc_evt_timeout_t;
typedef struct {
  uint16_t conn_handle;
  uint16_t gatt_status;
  uint16_t error_handle;
  union {
    ble_gattc_evt_timeout_t timeout;
  } params;
} ble_gattc_evt_t;

#ifdef __cplusplus
}  // extern "C"
#endif
