// The SDK's advertising-data encoder: an advertising description turned
// into the length-type-value bytes of an advertising or scan-response packet.
#pragma once

#include "ble_gap.h"
#include "ble_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  BLE_ADVDATA_NO_NAME,
  BLE_ADVDATA_SHORT_NAME,
  BLE_ADVDATA_FULL_NAME,
} ble_advdata_name_type_t;

typedef struct {
  uint16_t uuid_cnt;
  ble_uuid_t *p_uuids;
} ble_advdata_uuid_list_t;

typedef struct {
  uint16_t min_conn_interval;
  uint16_t max_conn_interval;
} ble_advdata_conn_int_t;

typedef struct {
  uint16_t company_identifier;
  uint8_array_t data;
} ble_advdata_manuf_data_t;

typedef struct {
  ble_advdata_name_type_t name_type;  // the name set with sd_ble_gap_device_name_set
  uint8_t short_name_len;
  bool include_appearance;
  uint8_t flags;  // 0: no flags structure
  int8_t *p_tx_power_level;
  ble_advdata_uuid_list_t uuids_more_available;
  ble_advdata_uuid_list_t uuids_complete;
  ble_advdata_uuid_list_t uuids_solicited;
  ble_advdata_conn_int_t *p_slave_conn_int;
  ble_advdata_manuf_data_t *p_manuf_specific_data;
} ble_advdata_t;

// Order of the structures: flags, name, appearance, TX power, UUID lists
// (16-bit before 128-bit), connection interval range, manufacturer data.
// *p_len: room in, length out; NRF_ERROR_DATA_SIZE when it does not fit.
ret_code_t ble_advdata_encode(ble_advdata_t const *p_advdata, uint8_t *p_encoded_data,
                              uint16_t *p_len);

#ifdef __cplusplus
}  // extern "C"
#endif
