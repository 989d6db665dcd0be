// Busy delays.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void nrf_delay_ms(uint32_t ms);
void nrf_delay_us(uint32_t us);

#ifdef __cplusplus
}  // extern "C"
#endif
