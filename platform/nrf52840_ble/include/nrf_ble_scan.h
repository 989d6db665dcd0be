// The SDK's scanning module (central role): keeps the scan parameters and
// the report buffer, starts and stops the stack's scan, resumes it after
// each report and turns the scan's timeout into its own event.
#pragma once

#include "ble.h"
#include "nrf_sdh_ble.h"

#ifdef __cplusplus
extern "C" {
#endif

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

#define NRF_BLE_SCAN_BUFFER 31

typedef struct {
  bool initialized;
  bool scanning;
  bool connect_if_match;
  uint8_t conn_cfg_tag;
  ble_gap_scan_params_t scan_params;
  nrf_ble_scan_evt_handler_t evt_handler;
  uint8_t scan_buffer_data[NRF_BLE_SCAN_BUFFER];
  ble_data_t scan_buffer;
} nrf_ble_scan_t;

void nrf_ble_scan_on_ble_evt(ble_evt_t const *p_ble_evt, void *p_context);

#define NRF_BLE_SCAN_DEF(_name) \
  static nrf_ble_scan_t _name;  \
  NRF_SDH_BLE_OBSERVER(_name##_obs, NRF_BLE_SCAN_OBSERVER_PRIO, nrf_ble_scan_on_ble_evt, &_name)

ret_code_t nrf_ble_scan_init(nrf_ble_scan_t *p_scan_ctx, nrf_ble_scan_init_t const *p_init,
                             nrf_ble_scan_evt_handler_t evt_handler);
// New scan parameters (the defaults when null); a running scan is stopped.
ret_code_t nrf_ble_scan_params_set(nrf_ble_scan_t *p_scan_ctx,
                                   ble_gap_scan_params_t const *p_scan_param);
ret_code_t nrf_ble_scan_start(nrf_ble_scan_t *p_scan_ctx);
void nrf_ble_scan_stop(void);

#ifdef __cplusplus
}  // extern "C"
#endif
