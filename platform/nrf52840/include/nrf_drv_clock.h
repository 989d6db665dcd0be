// Clock requests: the high-frequency crystal (needed by USB) and the
// low-frequency clock.
#pragma once

#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct nrf_drv_clock_handler_item_s nrf_drv_clock_handler_item_t;

ret_code_t nrf_drv_clock_init(void);
void nrf_drv_clock_hfclk_request(nrf_drv_clock_handler_item_t *p_handler_item);
void nrf_drv_clock_hfclk_release(void);
bool nrf_drv_clock_hfclk_is_running(void);
void nrf_drv_clock_lfclk_request(nrf_drv_clock_handler_item_t *p_handler_item);
bool nrf_drv_clock_lfclk_is_running(void);

#ifdef __cplusplus
}  // extern "C"
#endif
