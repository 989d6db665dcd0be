// LE Secure Connections key requests of the peer manager, answered from the
// main loop. Without the BLE stack there is never a request pending.
#pragma once

#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

inline ret_code_t nrf_ble_lesc_request_handler(void) { return NRF_SUCCESS; }

#ifdef __cplusplus
}  // extern "C"
#endif
