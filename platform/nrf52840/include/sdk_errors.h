// Result codes of the SDK and the protocol stack.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t ret_code_t;

#define NRF_SUCCESS 0u
#define NRF_ERROR_SVC_HANDLER_MISSING 1u
#define NRF_ERROR_SOFTDEVICE_NOT_ENABLED 2u
#define NRF_ERROR_INTERNAL 3u
#define NRF_ERROR_NO_MEM 4u
#define NRF_ERROR_NOT_FOUND 5u
#define NRF_ERROR_NOT_SUPPORTED 6u
#define NRF_ERROR_INVALID_PARAM 7u
#define NRF_ERROR_INVALID_STATE 8u
#define NRF_ERROR_INVALID_LENGTH 9u
#define NRF_ERROR_INVALID_FLAGS 10u
#define NRF_ERROR_INVALID_DATA 11u
#define NRF_ERROR_DATA_SIZE 12u
#define NRF_ERROR_TIMEOUT 13u
#define NRF_ERROR_NULL 14u
#define NRF_ERROR_FORBIDDEN 15u
#define NRF_ERROR_INVALID_ADDR 16u
#define NRF_ERROR_BUSY 17u
#define NRF_ERROR_CONN_COUNT 18u
#define NRF_ERROR_RESOURCES 19u
#define NRF_ERROR_MODULE_NOT_INITIALIZED 128u
#define NRF_ERROR_MODULE_ALREADY_INITIALIZED 133u
#define NRF_ERROR_IO_PENDING 0x8200u

// The driver layer's names of the same codes.
#define NRFX_SUCCESS NRF_SUCCESS
#define NRFX_ERROR_INVALID_STATE NRF_ERROR_INVALID_STATE
#define NRFX_ERROR_INVALID_PARAM NRF_ERROR_INVALID_PARAM
#define NRFX_ERROR_BUSY NRF_ERROR_BUSY
#define NRFX_ERROR_INTERNAL NRF_ERROR_INTERNAL
typedef ret_code_t nrfx_err_t;

// Text of a result code (for log lines).
const char *nrf_strerror_get(ret_code_t code);

#ifdef __cplusplus
}  // extern "C"
#endif
