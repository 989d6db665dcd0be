// The POWER driver's USB supply events.
#pragma once

#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

void nrf_drv_power_usbevt_uninit(void);
void nrf_drv_power_uninit(void);

#ifdef __cplusplus
}  // extern "C"
#endif
