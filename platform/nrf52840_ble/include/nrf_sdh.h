// The SDK's handler of the protocol stack: enabling and disabling it, and
// the state observers. Once enabled, stack events reach the observers from
// the stack's event interrupt (SWI2_EGU2, priority 6), the same interrupt
// that carries the SoC events.
#pragma once

#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

// Enables the stack with the low-frequency clock source and the
// application's fault handler (app_error_fault_handler).
// NRF_ERROR_INVALID_STATE when already enabled.
ret_code_t nrf_sdh_enable_request(void);
// Disables it: advertising and the connection end without events, every
// service the application added is removed.
ret_code_t nrf_sdh_disable_request(void);
bool nrf_sdh_is_enabled(void);

#ifdef __cplusplus
}  // extern "C"
#endif
