// The SDK's database discovery (central role; inert in the images).
#pragma once

#include "ble.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  BLE_DB_DISCOVERY_COMPLETE,
  BLE_DB_DISCOVERY_ERROR,
  BLE_DB_DISCOVERY_SRV_NOT_FOUND,
  BLE_DB_DISCOVERY_AVAILABLE,
} ble_db_discovery_evt_type_t;

typedef struct {
  ble_db_discovery_evt_type_t evt_type;
  uint16_t conn_handle;
} ble_db_discovery_evt_t;

typedef void (*ble_db_discovery_evt_handler_t)(ble_db_discovery_evt_t *p_evt);

typedef struct {
  ble_db_discovery_evt_handler_t evt_handler;
  void *p_gatt_queue;
} ble_db_discovery_init_t;

typedef struct {
  bool discovery_in_progress;
  uint16_t conn_handle;
} ble_db_discovery_t;

#define BLE_DB_DISCOVERY_DEF(_name) static ble_db_discovery_t _name

uint32_t ble_db_discovery_init(ble_db_discovery_init_t *p_db_init);
uint32_t ble_db_discovery_evt_register(ble_uuid_t const *p_uuid);
uint32_t ble_db_discovery_start(ble_db_discovery_t *p_db_discovery, uint16_t conn_handle);

#ifdef __cplusplus
}  // extern "C"
#endif
