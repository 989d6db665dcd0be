// The SDK's connection-parameter negotiation: after a connection, when its
// interval is outside the preferred range, asks the central for the
// preferred parameters a number of times, and reports success or failure.
#pragma once

#include "ble.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  BLE_CONN_PARAMS_EVT_FAILED,
  BLE_CONN_PARAMS_EVT_SUCCEEDED,
} ble_conn_params_evt_type_t;

typedef struct {
  ble_conn_params_evt_type_t evt_type;
  uint16_t conn_handle;
} ble_conn_params_evt_t;

typedef void (*ble_conn_params_evt_handler_t)(ble_conn_params_evt_t *p_evt);
typedef void (*ble_srv_error_handler_t)(uint32_t nrf_error);

typedef struct {
  ble_gap_conn_params_t *p_conn_params;     // null: the stack's preferred ones
  uint32_t first_conn_params_update_delay;  // application timer ticks
  uint32_t next_conn_params_update_delay;
  uint8_t max_conn_params_update_count;
  uint16_t start_on_notify_cccd_handle;  // BLE_GATT_HANDLE_INVALID: at connection
  bool disconnect_on_fail;
  ble_conn_params_evt_handler_t evt_handler;
  ble_srv_error_handler_t error_handler;
} ble_conn_params_init_t;

uint32_t ble_conn_params_init(ble_conn_params_init_t const *p_init);
uint32_t ble_conn_params_stop(void);

#ifdef __cplusplus
}  // extern "C"
#endif
