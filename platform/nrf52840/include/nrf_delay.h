// Busy delays.
#pragma once

#include <stdint.h>

void nrf_delay_ms(uint32_t ms);
void nrf_delay_us(uint32_t us);
