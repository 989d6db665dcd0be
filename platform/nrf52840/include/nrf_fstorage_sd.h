// The flash storage back end that goes through the protocol stack.
#pragma once

#include "nrf_fstorage.h"

#ifdef __cplusplus
extern "C" {
#endif

extern nrf_fstorage_api_t nrf_fstorage_sd;

#ifdef __cplusplus
}  // extern "C"
#endif
