// Supervisor calls of the protocol stack that the application uses besides
// BLE: the retained register, sleep, the stack's critical region, and the
// SoC events (flash operations) with their observers.
#pragma once

#include <stdint.h>

#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

uint32_t sd_power_gpregret_set(uint32_t gpregret_id, uint32_t gpregret_msk);  // ORs the bits in
uint32_t sd_power_gpregret_clr(uint32_t gpregret_id, uint32_t gpregret_msk);
uint32_t sd_power_gpregret_get(uint32_t gpregret_id, uint32_t *p_gpregret);
// Sleeps until an application event or interrupt.
uint32_t sd_app_evt_wait(void);
uint32_t sd_nvic_critical_region_enter(uint8_t *p_is_nested_critical_region);
uint32_t sd_nvic_critical_region_exit(uint8_t is_nested_critical_region);
uint32_t sd_softdevice_is_enabled(uint8_t *p_softdevice_enabled);

enum {
  NRF_EVT_FLASH_OPERATION_SUCCESS = 2,
  NRF_EVT_FLASH_OPERATION_ERROR = 3,
};

typedef void (*nrf_sdh_soc_evt_handler_t)(uint32_t evt_id, void *p_context);

struct nrf_sdh_soc_observer_registrar {
  nrf_sdh_soc_observer_registrar(nrf_sdh_soc_evt_handler_t handler, void *context);
};
// Registers a SoC event observer (called in the stack's event interrupt).
#define NRF_SDH_SOC_OBSERVER(name, prio, handler, ctx) \
  static nrf_sdh_soc_observer_registrar name##_registrar((handler), (ctx))

// Bootloader request in GPREGRET: start the DFU bootloader in update mode.
#define BOOTLOADER_DFU_START 0xB1

#ifdef __cplusplus
}  // extern "C"
#endif
