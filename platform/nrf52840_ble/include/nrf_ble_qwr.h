// The SDK's queued-writes module: answers the peer's prepared writes for
// one link. Without a buffer it refuses them.
#pragma once

#include "ble.h"
#include "nrf_sdh_ble.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct nrf_ble_qwr_s nrf_ble_qwr_t;
typedef void (*nrf_ble_qwr_error_handler_t)(uint32_t nrf_error);

typedef struct {
  nrf_ble_qwr_error_handler_t error_handler;
  uint8_t *mem_buffer;
  uint16_t mem_buffer_len;
} nrf_ble_qwr_init_t;

struct nrf_ble_qwr_s {
  bool initialized;
  uint16_t conn_handle;
  nrf_ble_qwr_error_handler_t error_handler;
};

void nrf_ble_qwr_on_ble_evt(ble_evt_t const *p_ble_evt, void *p_context);

#define NRF_BLE_QWR_DEF(_name) \
  static nrf_ble_qwr_t _name;  \
  NRF_SDH_BLE_OBSERVER(_name##_obs, NRF_BLE_QWR_BLE_OBSERVER_PRIO, nrf_ble_qwr_on_ble_evt, &_name)

ret_code_t nrf_ble_qwr_init(nrf_ble_qwr_t *p_qwr, nrf_ble_qwr_init_t const *p_qwr_init);
ret_code_t nrf_ble_qwr_conn_handle_assign(nrf_ble_qwr_t *p_qwr, uint16_t conn_handle);

#ifdef __cplusplus
}  // extern "C"
#endif
