// The protocol stack's BLE interface: the event every observer receives,
// the common events and calls (user memory, vendor UUID bases, options).
#pragma once

#include "ble_gap.h"
#include "ble_gatts.h"
#include "ble_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// Common events (ble_evt_t.evt.common_evt).
enum {
  BLE_EVT_USER_MEM_REQUEST = 0x01,
  BLE_EVT_USER_MEM_RELEASE,
};

typedef struct {
  uint8_t type;
} ble_evt_user_mem_request_t;

typedef struct {
  uint16_t conn_handle;  // first in every event body
  union {
    ble_evt_user_mem_request_t user_mem_request;
  } params;
} ble_common_evt_t;

typedef struct {
  uint16_t evt_id;
  uint16_t evt_len;
} ble_evt_hdr_t;

// Every body begins with the connection handle the event is about
// (BLE_CONN_HANDLE_INVALID when it is about none), so the handle can be read
// through any member.
typedef struct {
  ble_evt_hdr_t header;
  union {
    ble_common_evt_t common_evt;
    ble_gap_evt_t gap_evt;
    ble_gatts_evt_t gatts_evt;
    ble_gattc_evt_t gattc_evt;
  } evt;
} ble_evt_t;

// Answer to BLE_EVT_USER_MEM_REQUEST; null: no memory (queued writes refused).
typedef struct {
  uint8_t *p_mem;
  uint16_t len;
} ble_user_mem_block_t;
uint32_t sd_ble_user_mem_reply(uint16_t conn_handle, ble_user_mem_block_t const *p_block);

// Registers a 128-bit base; *p_uuid_type receives the type for ble_uuid_t.
// Bytes 12 and 13 of the base are where the 16-bit value goes.
uint32_t sd_ble_uuid_vs_add(ble_uuid128_t const *p_vs_uuid, uint8_t *p_uuid_type);

typedef union {
  ble_gap_opt_t gap_opt;
} ble_opt_t;
uint32_t sd_ble_opt_set(uint32_t opt_id, ble_opt_t const *p_opt);

#ifdef __cplusplus
}  // extern "C"
#endif
