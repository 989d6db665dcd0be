// The SDK's GATT module: answers the peer's ATT MTU exchange with the
// largest MTU configured and reports the MTU each link ends up with.
#pragma once

#include "ble.h"
#include "nrf_sdh_ble.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NRF_SDH_BLE_GATT_MAX_MTU_SIZE 247

typedef enum {
  NRF_BLE_GATT_EVT_ATT_MTU_UPDATED,
  NRF_BLE_GATT_EVT_DATA_LENGTH_UPDATED,
} nrf_ble_gatt_evt_id_t;

typedef struct {
  nrf_ble_gatt_evt_id_t evt_id;
  uint16_t conn_handle;
  union {
    uint16_t att_mtu_effective;
    uint8_t data_length;
  } params;
} nrf_ble_gatt_evt_t;

typedef struct nrf_ble_gatt_s nrf_ble_gatt_t;
typedef void (*nrf_ble_gatt_evt_handler_t)(nrf_ble_gatt_t *p_gatt, nrf_ble_gatt_evt_t const *p_evt);

struct nrf_ble_gatt_s {
  uint16_t att_mtu_desired_periph;
  uint16_t att_mtu_desired_central;
  uint8_t data_length;
  uint16_t att_mtu_effective;  // of the link (one link)
  nrf_ble_gatt_evt_handler_t evt_handler;
};

void nrf_ble_gatt_on_ble_evt(ble_evt_t const *p_ble_evt, void *p_gatt);

#define NRF_BLE_GATT_DEF(_name) \
  static nrf_ble_gatt_t _name;  \
  NRF_SDH_BLE_OBSERVER(_name##_obs, NRF_BLE_GATT_BLE_OBSERVER_PRIO, nrf_ble_gatt_on_ble_evt, &_name)

ret_code_t nrf_ble_gatt_init(nrf_ble_gatt_t *p_gatt, nrf_ble_gatt_evt_handler_t evt_handler);
// 23 to NRF_SDH_BLE_GATT_MAX_MTU_SIZE, else NRF_ERROR_INVALID_PARAM.
ret_code_t nrf_ble_gatt_att_mtu_periph_set(nrf_ble_gatt_t *p_gatt, uint16_t desired_mtu);
ret_code_t nrf_ble_gatt_att_mtu_central_set(nrf_ble_gatt_t *p_gatt, uint16_t desired_mtu);
uint16_t nrf_ble_gatt_eff_mtu_get(nrf_ble_gatt_t const *p_gatt, uint16_t conn_handle);

#ifdef __cplusplus
}  // extern "C"
#endif
