// The SDK's standard reactions to peer-manager and stack events.
#pragma once

#include "ble.h"
#include "peer_manager.h"

#ifdef __cplusplus
extern "C" {
#endif

// Logs what happened; a PM_EVT_ERROR_UNEXPECTED or failed storage goes to
// app_error_handler.
void pm_handler_on_pm_evt(pm_evt_t const *p_pm_evt);
// Disconnects a link whose security procedure failed.
void pm_handler_disconnect_on_sec_failure(pm_evt_t const *p_pm_evt);
// Keeps the bond storage tidy (nothing to do with RAM storage).
void pm_handler_flash_clean(pm_evt_t const *p_pm_evt);
// On a connection: asks the central to encrypt (bonded) or pair.
void pm_handler_secure_on_connection(ble_evt_t const *p_ble_evt);

#ifdef __cplusplus
}  // extern "C"
#endif
