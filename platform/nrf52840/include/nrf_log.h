// The log module (its RTT back end): lines with the RTC2 time stamp. On the
// simulated chip they go to the simulator's log when --rtt-log is given.
#pragma once

#include <stdint.h>

#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t (*nrf_log_timestamp_func_t)(void);
ret_code_t nrf_log_init(nrf_log_timestamp_func_t timestamp_func, uint32_t timestamp_freq);
void nrf_log_default_backends_init(void);
void nrf_log_panic(void);
bool nrf_log_frontend_dequeue(void);
void nrf_log_frontend_std(int severity, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void nrf_log_frontend_hexdump(int severity, const void *data, uint32_t length);

#define NRF_LOG_ERROR(...) nrf_log_frontend_std(1, __VA_ARGS__)
#define NRF_LOG_WARNING(...) nrf_log_frontend_std(2, __VA_ARGS__)
#define NRF_LOG_INFO(...) nrf_log_frontend_std(3, __VA_ARGS__)
#define NRF_LOG_DEBUG(...) nrf_log_frontend_std(4, __VA_ARGS__)
#define NRF_LOG_HEXDUMP_INFO(p, len) nrf_log_frontend_hexdump(3, (p), (len))
#define NRF_LOG_INIT(ts, freq) nrf_log_init((ts), (freq))
#define NRF_LOG_DEFAULT_BACKENDS_INIT() nrf_log_default_backends_init()
#define NRF_LOG_FLUSH() \
  do {                  \
  } while (nrf_log_frontend_dequeue())

#ifdef __cplusplus
}  // extern "C"
#endif
