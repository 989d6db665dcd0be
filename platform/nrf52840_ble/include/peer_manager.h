// The SDK's peer manager: pairing and bonding with the security parameters
// set once, bonded peers (identities kept in RAM of the stand-in), the
// whitelist, and its events to the registered handlers.
#pragma once

#include "ble.h"
#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint16_t pm_peer_id_t;
#define PM_PEER_ID_INVALID 0xFFFFu
#define PM_PEER_ID_LIST_SKIP_NO_ID_ADDR 0x01
#define PM_PEER_ID_LIST_ALL_ID 0x00

typedef enum {
  PM_EVT_BONDED_PEER_CONNECTED,
  PM_EVT_CONN_SEC_START,
  PM_EVT_CONN_SEC_SUCCEEDED,
  PM_EVT_CONN_SEC_FAILED,
  PM_EVT_CONN_SEC_CONFIG_REQ,
  PM_EVT_CONN_SEC_PARAMS_REQ,
  PM_EVT_STORAGE_FULL,
  PM_EVT_ERROR_UNEXPECTED,
  PM_EVT_PEER_DATA_UPDATE_SUCCEEDED,
  PM_EVT_PEER_DATA_UPDATE_FAILED,
  PM_EVT_PEER_DELETE_SUCCEEDED,
  PM_EVT_PEER_DELETE_FAILED,
  PM_EVT_PEERS_DELETE_SUCCEEDED,
  PM_EVT_PEERS_DELETE_FAILED,
  PM_EVT_LOCAL_DB_CACHE_APPLIED,
  PM_EVT_LOCAL_DB_CACHE_APPLY_FAILED,
  PM_EVT_SERVICE_CHANGED_IND_SENT,
  PM_EVT_SERVICE_CHANGED_IND_CONFIRMED,
  PM_EVT_SLAVE_SECURITY_REQ,
  PM_EVT_FLASH_GARBAGE_COLLECTED,
  PM_EVT_FLASH_GARBAGE_COLLECTION_FAILED,
} pm_evt_id_t;

typedef enum {
  PM_CONN_SEC_PROCEDURE_ENCRYPTION,
  PM_CONN_SEC_PROCEDURE_BONDING,
  PM_CONN_SEC_PROCEDURE_PAIRING,
} pm_conn_sec_procedure_t;

typedef struct {
  pm_conn_sec_procedure_t procedure;
} pm_conn_secured_evt_t;

typedef struct {
  pm_conn_sec_procedure_t procedure;
  uint16_t error;  // BLE_GAP_SEC_STATUS_ or an HCI status
  uint8_t error_src;
} pm_conn_secure_failed_evt_t;

typedef struct {
  ret_code_t error;
} pm_failure_evt_t;

typedef struct {
  pm_evt_id_t evt_id;
  uint16_t conn_handle;
  pm_peer_id_t peer_id;
  union {
    pm_conn_secured_evt_t conn_sec_succeeded;
    pm_conn_secure_failed_evt_t conn_sec_failed;
    pm_failure_evt_t peers_delete_failed_evt;
    pm_failure_evt_t error_unexpected;
  } params;
} pm_evt_t;

typedef void (*pm_evt_handler_t)(pm_evt_t const *p_event);

typedef struct {
  bool allow_repairing;
} pm_conn_sec_config_t;

ret_code_t pm_init(void);
// Up to 3 handlers, called in registration order.
ret_code_t pm_register(pm_evt_handler_t event_handler);
// Null: pairing refused.
ret_code_t pm_sec_params_set(ble_gap_sec_params_t *p_sec_params);
// Answer to PM_EVT_CONN_SEC_CONFIG_REQ (a bonded peer pairs again).
void pm_conn_sec_config_reply(uint16_t conn_handle, pm_conn_sec_config_t *p_conn_sec_config);
// Peripheral: asks the central to secure the link.
ret_code_t pm_conn_secure(uint16_t conn_handle, bool force_repairing);
// Deletes every bond; PM_EVT_PEERS_DELETE_SUCCEEDED follows from the stack's
// event interrupt.
ret_code_t pm_peers_delete(void);
uint32_t pm_peer_count(void);
ret_code_t pm_peer_id_list(pm_peer_id_t *p_peer_list, uint32_t *const p_list_size,
                           pm_peer_id_t first_peer_id, uint32_t skip_id);
ret_code_t pm_whitelist_set(pm_peer_id_t const *p_peers, uint32_t peer_cnt);
ret_code_t pm_whitelist_get(ble_gap_addr_t *p_addrs, uint32_t *p_addr_cnt, void *p_irks,
                            uint32_t *p_irk_cnt);
ret_code_t pm_device_identities_list_set(pm_peer_id_t const *p_peers, uint32_t peer_cnt);

#ifdef __cplusplus
}  // extern "C"
#endif
