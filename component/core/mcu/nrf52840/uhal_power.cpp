// Clocks and sleep of the nRF52840 images.
#include "nrf52840_port.h"
#include "app_usbd.h"
#include "nrf_drv_clock.h"
#include "nrf_soc.h"
#include "udrv_powersave.h"

// Sleeps until the next event or interrupt, inside the stack. A stale
// floating-point exception would keep the FPU interrupt pending and the MCU
// awake, so the flags are cleared first.
void uhal_mcu_sleep(uint8_t) {
  __set_FPSCR(__get_FPSCR() & ~0x9Fu);
  (void)__get_FPSCR();
  NVIC_ClearPendingIRQ(FPU_IRQn);
  __SEV();
  __WFE();
  __WFE();
  (void)sd_app_evt_wait();
}

namespace {

// The power-save driver's sleep: with the application's interrupts masked,
// a wake source that ended the sleep during the suspend sequence is seen
// before the MCU stops, and the interrupt that ends the stop is taken once
// the mask is lifted.
void mcu_sleep(uint8_t level) {
  uint8_t nested = 0;
  (void)sd_nvic_critical_region_enter(&nested);
  if (udrv_powersave_sleep_goes_on()) {
    uhal_mcu_sleep(level);
  }
  (void)sd_nvic_critical_region_exit(nested);
}

void uhal_sys_clock_init(void) {
  NRF_CLOCK->EVENTS_HFCLKSTARTED = 0;
  NRF_CLOCK->TASKS_HFCLKSTART = 1;
  while (NRF_CLOCK->EVENTS_HFCLKSTARTED == 0) {
    port_wait();
  }
  NRF_CLOCK->LFCLKSRC = CLOCK_LFCLKSRC_SRC_Xtal;
  NRF_CLOCK->EVENTS_LFCLKSTARTED = 0;
  NRF_CLOCK->TASKS_LFCLKSTART = 1;
  while (NRF_CLOCK->EVENTS_LFCLKSTARTED == 0) {
    port_wait();
  }
  APP_ERROR_CHECK(nrf_drv_clock_init());
  nrf_drv_clock_hfclk_request(nullptr);
  while (!nrf_drv_clock_hfclk_is_running()) {
    port_wait();
  }
  nrf_drv_clock_lfclk_request(nullptr);
  while (!nrf_drv_clock_lfclk_is_running()) {
    port_wait();
  }
}

void uhal_sys_clock_on(void) {
#ifdef BOARD_HAS_SLEEP_HOOKS
  board_sleep_exit();
#endif
  if (!nrf_drv_clock_hfclk_is_running()) {
    nrf_drv_clock_hfclk_request(nullptr);
  }
}

void uhal_sys_clock_off(void) {
  if (nrf_drv_clock_hfclk_is_running() && !nrfx_usbd_is_enabled()) {
    nrf_drv_clock_hfclk_release();
  }
#ifdef BOARD_HAS_SLEEP_HOOKS
  board_sleep_enter();
#endif
}

}  // namespace

udrv_powersave_api powersave_driver = {mcu_sleep, uhal_sys_clock_init, uhal_sys_clock_on,
                                       uhal_sys_clock_off};
