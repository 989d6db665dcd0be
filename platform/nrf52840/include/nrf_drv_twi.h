// Legacy TWI master driver (TWIM instances 0 and 1): blocking when no event
// handler is given, otherwise the handler gets the transfer's end event.
// Instance n drives the simulated I2C bus n (sim/i2c_bus.h).
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  uint8_t inst_idx;
} nrf_drv_twi_t;

#define NRF_DRV_TWI_INSTANCE(id) \
  { (id) }

typedef enum {
  NRF_DRV_TWI_FREQ_100K = 0x01980000UL,
  NRF_DRV_TWI_FREQ_250K = 0x04000000UL,
  NRF_DRV_TWI_FREQ_400K = 0x06400000UL,
} nrf_drv_twi_frequency_t;

typedef struct {
  uint32_t scl;
  uint32_t sda;
  nrf_drv_twi_frequency_t frequency;
  uint8_t interrupt_priority;
  bool clear_bus_init;
  bool hold_bus_uninit;
} nrf_drv_twi_config_t;

typedef enum {
  NRF_DRV_TWI_EVT_DONE = 0,
  NRF_DRV_TWI_EVT_ADDRESS_NACK = 1,
  NRF_DRV_TWI_EVT_DATA_NACK = 2,
} nrf_drv_twi_evt_type_t;

typedef struct {
  nrf_drv_twi_evt_type_t type;
} nrf_drv_twi_evt_t;

typedef void (*nrf_drv_twi_evt_handler_t)(nrf_drv_twi_evt_t const *p_event, void *p_context);

// NRF_ERROR_INVALID_STATE when the instance is already initialised.
ret_code_t nrf_drv_twi_init(nrf_drv_twi_t const *p_instance, nrf_drv_twi_config_t const *p_config,
                            nrf_drv_twi_evt_handler_t event_handler, void *p_context);
void nrf_drv_twi_uninit(nrf_drv_twi_t const *p_instance);
void nrf_drv_twi_enable(nrf_drv_twi_t const *p_instance);
void nrf_drv_twi_disable(nrf_drv_twi_t const *p_instance);
// A write to a 7-bit address; with `no_stop` the bus is held for a repeated
// start. Blocking mode: NRF_SUCCESS, NRF_ERROR_DRV_TWI_ERR_ANACK or
// NRF_ERROR_DRV_TWI_ERR_DNACK. With a handler: NRF_SUCCESS, or
// NRF_ERROR_BUSY while a transfer runs; the result comes as the event.
// NRF_ERROR_INVALID_STATE when the instance is not enabled.
ret_code_t nrf_drv_twi_tx(nrf_drv_twi_t const *p_instance, uint8_t address, uint8_t const *p_data,
                          uint8_t length, bool no_stop);
ret_code_t nrf_drv_twi_rx(nrf_drv_twi_t const *p_instance, uint8_t address, uint8_t *p_data,
                          uint8_t length);
bool nrf_drv_twi_is_busy(nrf_drv_twi_t const *p_instance);

#define NRF_ERROR_DRV_TWI_ERR_ANACK 0x8201u
#define NRF_ERROR_DRV_TWI_ERR_DNACK 0x8202u

#ifdef __cplusplus
}  // extern "C"
#endif
