// The SDK's advertising module: advertising in modes (directed, fast, slow)
// each with its interval and time limit, moving to the next enabled mode
// when one times out and to idle after the last, restarting after a
// disconnection unless that is disabled. It observes the stack's events
// before the application (BLE_ADV_BLE_OBSERVER_PRIO).
#pragma once

#include "ble.h"
#include "ble_advdata.h"
#include "nrf_sdh_ble.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  BLE_ADV_MODE_IDLE = 0,
  BLE_ADV_MODE_DIRECTED_HIGH_DUTY = 1,
  BLE_ADV_MODE_DIRECTED = 2,
  BLE_ADV_MODE_FAST = 3,
  BLE_ADV_MODE_SLOW = 4,
} ble_adv_mode_t;

typedef enum {
  BLE_ADV_EVT_IDLE,
  BLE_ADV_EVT_DIRECTED_HIGH_DUTY,
  BLE_ADV_EVT_DIRECTED,
  BLE_ADV_EVT_FAST,
  BLE_ADV_EVT_SLOW,
  BLE_ADV_EVT_FAST_WHITELIST,
  BLE_ADV_EVT_SLOW_WHITELIST,
  BLE_ADV_EVT_WHITELIST_REQUEST,
  BLE_ADV_EVT_PEER_ADDR_REQUEST,
} ble_adv_evt_t;

typedef struct {
  bool ble_adv_on_disconnect_disabled;
  bool ble_adv_whitelist_enabled;
  bool ble_adv_directed_high_duty_enabled;
  bool ble_adv_directed_enabled;
  bool ble_adv_fast_enabled;
  bool ble_adv_slow_enabled;
  uint32_t ble_adv_directed_interval;
  uint32_t ble_adv_directed_timeout;
  uint32_t ble_adv_fast_interval;  // 0.625 ms
  uint32_t ble_adv_fast_timeout;   // 10 ms; 0: no limit
  uint32_t ble_adv_slow_interval;
  uint32_t ble_adv_slow_timeout;
  bool ble_adv_extended_enabled;
  uint32_t ble_adv_secondary_phy;
  uint32_t ble_adv_primary_phy;
} ble_adv_modes_config_t;

typedef void (*ble_adv_evt_handler_t)(ble_adv_evt_t adv_evt);
typedef void (*ble_adv_error_handler_t)(uint32_t nrf_error);

typedef struct {
  ble_advdata_t advdata;
  ble_advdata_t srdata;
  ble_adv_modes_config_t config;
  ble_adv_evt_handler_t evt_handler;
  ble_adv_error_handler_t error_handler;
} ble_advertising_init_t;

typedef struct {
  bool initialized;
  bool advertising_start_pending;
  ble_adv_evt_t adv_evt;
  ble_adv_mode_t adv_mode_current;
  ble_adv_modes_config_t adv_modes_config;
  uint8_t conn_cfg_tag;
  uint16_t current_slave_link_conn_handle;
  ble_adv_evt_handler_t evt_handler;
  ble_adv_error_handler_t error_handler;
  ble_gap_adv_params_t adv_params;
  uint8_t adv_handle;
  uint8_t enc_advdata[BLE_GAP_ADV_SET_DATA_SIZE_MAX];
  uint8_t enc_scan_rsp_data[BLE_GAP_ADV_SET_DATA_SIZE_MAX];
  ble_gap_adv_data_t adv_data;
  bool whitelist_temporarily_disabled;
  bool whitelist_in_use;
  bool whitelist_reply_expected;
} ble_advertising_t;

void ble_advertising_on_ble_evt(ble_evt_t const *p_ble_evt, void *p_adv);

#define BLE_ADVERTISING_DEF(_name)                                                             \
  static ble_advertising_t _name;                                                              \
  NRF_SDH_BLE_OBSERVER(_name##_ble_obs, BLE_ADV_BLE_OBSERVER_PRIO, ble_advertising_on_ble_evt, \
                       &_name)

uint32_t ble_advertising_init(ble_advertising_t *p_advertising,
                              ble_advertising_init_t const *p_init);
void ble_advertising_conn_cfg_tag_set(ble_advertising_t *p_advertising, uint8_t conn_cfg_tag);
// Starts in `advertising_mode` or, when that is not enabled, the next one
// enabled (directed high duty, directed, fast, slow); idle when none is.
uint32_t ble_advertising_start(ble_advertising_t *p_advertising, ble_adv_mode_t advertising_mode);
// Takes effect at the next start.
void ble_advertising_modes_config_set(ble_advertising_t *p_advertising,
                                      ble_adv_modes_config_t const *p_adv_modes_config);
uint32_t ble_advertising_restart_without_whitelist(ble_advertising_t *p_advertising);
uint32_t ble_advertising_whitelist_reply(ble_advertising_t *p_advertising,
                                         ble_gap_addr_t const *p_gap_addrs, uint32_t addr_cnt,
                                         void const *p_gap_irks, uint32_t irk_cnt);
uint32_t ble_advertising_advdata_update(ble_advertising_t *p_advertising,
                                        ble_advdata_t const *p_advdata,
                                        ble_advdata_t const *p_srdata);

#ifdef __cplusplus
}  // extern "C"
#endif
