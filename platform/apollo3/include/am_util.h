// Vendor utilities: busy delays. A delay keeps the CPU busy for its length
// of this task's own running time: interrupts and higher-priority kernel
// tasks run meanwhile, and the time they take does not count.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void am_util_delay_ms(uint32_t ms);
void am_util_delay_us(uint32_t us);
void am_util_delay_cycles(uint32_t cycles);  // at 48 MHz

#ifdef __cplusplus
}
#endif
