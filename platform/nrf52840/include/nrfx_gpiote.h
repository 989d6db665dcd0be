// GPIO tasks and events: pin-change interrupts.
#pragma once

#include <stdint.h>

#include "nrf_gpio.h"
#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t nrfx_gpiote_pin_t;

typedef enum {
  NRF_GPIOTE_POLARITY_LOTOHI = 1,
  NRF_GPIOTE_POLARITY_HITOLO = 2,
  NRF_GPIOTE_POLARITY_TOGGLE = 3,
} nrf_gpiote_polarity_t;

typedef struct {
  nrf_gpiote_polarity_t sense;
  nrf_gpio_pin_pull_t pull;
  bool is_watcher;
  bool hi_accuracy;
  bool skip_gpio_setup;
} nrfx_gpiote_in_config_t;

#define NRFX_GPIOTE_CONFIG_IN_SENSE_LOTOHI(hi) \
  { NRF_GPIOTE_POLARITY_LOTOHI, NRF_GPIO_PIN_NOPULL, false, (hi), false }
#define NRFX_GPIOTE_CONFIG_IN_SENSE_HITOLO(hi) \
  { NRF_GPIOTE_POLARITY_HITOLO, NRF_GPIO_PIN_NOPULL, false, (hi), false }
#define NRFX_GPIOTE_CONFIG_IN_SENSE_TOGGLE(hi) \
  { NRF_GPIOTE_POLARITY_TOGGLE, NRF_GPIO_PIN_NOPULL, false, (hi), false }

typedef void (*nrfx_gpiote_evt_handler_t)(nrfx_gpiote_pin_t pin, nrf_gpiote_polarity_t action);

nrfx_err_t nrfx_gpiote_init(void);
bool nrfx_gpiote_is_init(void);
void nrfx_gpiote_uninit(void);
nrfx_err_t nrfx_gpiote_in_init(nrfx_gpiote_pin_t pin, nrfx_gpiote_in_config_t const *p_config,
                               nrfx_gpiote_evt_handler_t evt_handler);
void nrfx_gpiote_in_uninit(nrfx_gpiote_pin_t pin);
void nrfx_gpiote_in_event_enable(nrfx_gpiote_pin_t pin, bool int_enable);
void nrfx_gpiote_in_event_disable(nrfx_gpiote_pin_t pin);

#ifdef __cplusplus
}  // extern "C"
#endif
