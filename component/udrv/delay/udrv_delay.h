// Delays: the port's blocking wait, and a wait that keeps serving the system
// event queue.
#pragma once

#include <stdint.h>

void udrv_delay_ms(uint32_t ms_time);
// Stops the user application timer, then runs the main loop's drain step
// until ms_time ms of the UDRV_RTC_2 time base have passed.
void udrv_app_delay_ms(uint32_t ms_time);

// ---- Port contract: what every port provides for this class ----
// Block for ms_time ms; interrupts keep running (virtual time moves).
void uhal_delay_ms(uint32_t ms_time);
