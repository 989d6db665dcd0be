// The SDK's serial-service client (central role) and its database
// discovery. The images set them up but never connect as a central, so
// they hold their settings and report nothing.
#pragma once

#include "ble.h"
#include "ble_db_discovery.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  BLE_NUS_C_EVT_DISCOVERY_COMPLETE,
  BLE_NUS_C_EVT_NUS_TX_EVT,
  BLE_NUS_C_EVT_DISCONNECTED,
} ble_nus_c_evt_type_t;

typedef struct {
  uint16_t nus_tx_handle;
  uint16_t nus_tx_cccd_handle;
  uint16_t nus_rx_handle;
} ble_nus_c_handles_t;

typedef struct {
  ble_nus_c_evt_type_t evt_type;
  uint16_t conn_handle;
  uint16_t max_data_len;
  uint8_t *p_data;
  uint16_t data_len;
  ble_nus_c_handles_t handles;
} ble_nus_c_evt_t;

typedef struct ble_nus_c_s ble_nus_c_t;
typedef void (*ble_nus_c_evt_handler_t)(ble_nus_c_t *p_ble_nus_c, ble_nus_c_evt_t const *p_evt);
typedef void (*ble_nus_c_error_handler_t)(uint32_t nrf_error);

typedef struct {
  ble_nus_c_evt_handler_t evt_handler;
  ble_nus_c_error_handler_t error_handler;
  void *p_gatt_queue;
} ble_nus_c_init_t;

struct ble_nus_c_s {
  uint8_t uuid_type;
  uint16_t conn_handle;
  ble_nus_c_handles_t handles;
  ble_nus_c_evt_handler_t evt_handler;
  ble_nus_c_error_handler_t error_handler;
};

#define BLE_NUS_C_DEF(_name) static ble_nus_c_t _name

uint32_t ble_nus_c_init(ble_nus_c_t *p_ble_nus_c, ble_nus_c_init_t *p_ble_nus_c_init);
uint32_t ble_nus_c_handles_assign(ble_nus_c_t *p_ble_nus_c, uint16_t conn_handle,
                                  ble_nus_c_handles_t const *p_peer_handles);
void ble_nus_c_on_db_disc_evt(ble_nus_c_t *p_ble_nus_c, ble_db_discovery_evt_t *p_evt);

#ifdef __cplusplus
}  // extern "C"
#endif
