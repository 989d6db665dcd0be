// System services of the nRF52840 images: the critical section, reset, the
// chip's identity, the busy delay and the entry into the DFU bootloader.
#include "nrf52840_port.h"
#include "nrf_delay.h"
#include "nrf_log.h"
#include "nrf_soc.h"
#include "udrv_delay.h"
#include "udrv_dfu.h"

// The stack's critical region: it masks the application's interrupts (every
// handler that posts events) and nests, the previous state kept in *mask.
void uhal_sys_board_critical_section_begin(uint32_t *mask) {
  uint8_t nested = 0;
  (void)sd_nvic_critical_region_enter(&nested);
  *mask = nested;
}

void uhal_sys_board_critical_section_end(uint32_t *mask) {
  (void)sd_nvic_critical_region_exit(static_cast<uint8_t>(*mask));
}

void uhal_sys_reboot(void) { port_reset(); }

void uhal_sys_get_uid(uint32_t *uid0, uint32_t *uid1, uint32_t *uid2) {
  *uid0 = NRF_FICR->DEVICEID[0];
  *uid1 = NRF_FICR->DEVICEID[1];
  *uid2 = NRF_FICR->DEVICEADDR[0];
}

void uhal_delay_ms(uint32_t ms_time) {
  for (uint32_t i = 0; i < ms_time; i++) {
    nrf_delay_ms(1);
  }
}

void uhal_enter_dfu(void) {
  for (uint32_t p = SERIAL_UART0; p <= SERIAL_UART2; p++) {
    serial_uart_driver.SERIAL_DEINIT(static_cast<SERIAL_PORT>(p));
  }
  nrf_log_panic();
  NRF_LOG_FLUSH();
  (void)sd_power_gpregret_set(0, BOOTLOADER_DFU_START);
  port_reset();
}
