// The SDK's scanning module (central role). The images initialise it but
// never start a scan.
#pragma once

#include "ble.h"

typedef enum {
  NRF_BLE_SCAN_EVT_FILTER_MATCH,
  NRF_BLE_SCAN_EVT_WHITELIST_REQUEST,
  NRF_BLE_SCAN_EVT_WHITELIST_ADV_REPORT,
  NRF_BLE_SCAN_EVT_NOT_FOUND,
  NRF_BLE_SCAN_EVT_SCAN_TIMEOUT,
  NRF_BLE_SCAN_EVT_CONNECTING_ERROR,
  NRF_BLE_SCAN_EVT_CONNECTED,
} nrf_ble_scan_evt_id_t;

typedef struct {
  uint32_t err_code;
} nrf_ble_scan_evt_connecting_err_t;

typedef struct {
  nrf_ble_scan_evt_id_t scan_evt_id;
  union {
    nrf_ble_scan_evt_connecting_err_t connecting_err;
  } params;
} scan_evt_t;

typedef void (*nrf_ble_scan_evt_handler_t)(scan_evt_t const *p_scan_evt);

typedef struct {
  ble_gap_scan_params_t const *p_scan_param;
  bool connect_if_match;
  ble_gap_conn_params_t const *p_conn_param;
  uint8_t conn_cfg_tag;
} nrf_ble_scan_init_t;

typedef struct {
  bool initialized;
  bool scanning;
  bool connect_if_match;
  uint8_t conn_cfg_tag;
  ble_gap_scan_params_t scan_params;
  nrf_ble_scan_evt_handler_t evt_handler;
} nrf_ble_scan_t;

#define NRF_BLE_SCAN_DEF(_name) static nrf_ble_scan_t _name

ret_code_t nrf_ble_scan_init(nrf_ble_scan_t *p_scan_ctx, nrf_ble_scan_init_t const *p_init,
                             nrf_ble_scan_evt_handler_t evt_handler);
ret_code_t nrf_ble_scan_start(nrf_ble_scan_t *p_scan_ctx);
void nrf_ble_scan_stop(void);
