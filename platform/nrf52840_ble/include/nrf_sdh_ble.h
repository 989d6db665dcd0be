// The SDK's handler of the protocol stack, BLE part: the stack's BLE
// configuration and enabling, and the BLE event observers.
#pragma once

#include "ble.h"
#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

// Applies the default configuration (one peripheral link, ATT MTU up to
// 247) to connection configuration `conn_cfg_tag`; *p_ram_start receives
// the application's RAM start.
ret_code_t nrf_sdh_ble_default_cfg_set(uint8_t conn_cfg_tag, uint32_t *p_ram_start);
ret_code_t nrf_sdh_ble_enable(uint32_t *p_app_ram_start);

typedef void (*nrf_sdh_ble_evt_handler_t)(ble_evt_t const *p_ble_evt, void *p_context);

// Observers are called for every BLE event, lower priority numbers first
// and, within one priority, in registration order.
struct nrf_sdh_ble_observer_registrar {
  nrf_sdh_ble_observer_registrar(uint8_t prio, nrf_sdh_ble_evt_handler_t handler, void *context);
};
#define NRF_SDH_BLE_OBSERVER(name, prio, handler, ctx) \
  static nrf_sdh_ble_observer_registrar name##_registrar((prio), (handler), (ctx))

// Priorities of the SDK modules' own observers and the application's.
#define BLE_ADV_BLE_OBSERVER_PRIO 1
#define NRF_BLE_GATT_BLE_OBSERVER_PRIO 1
#define BLE_CONN_PARAMS_BLE_OBSERVER_PRIO 1
#define PM_BLE_OBSERVER_PRIO 1
#define NRF_BLE_SCAN_OBSERVER_PRIO 1
#define NRF_BLE_QWR_BLE_OBSERVER_PRIO 2
#define BLE_NUS_BLE_OBSERVER_PRIO 2
#define BLE_DFU_BLE_OBSERVER_PRIO 2
#define BLE_HIDS_BLE_OBSERVER_PRIO 2
#define APP_BLE_OBSERVER_PRIO 3

#ifdef __cplusplus
}  // extern "C"
#endif
