// The successive-approximation ADC: blocking single conversions of one
// channel. With gain 1/6 and the internal 0.6 V reference the full scale is
// 3.6 V.
#pragma once

#include <stdint.h>

#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int16_t nrf_saadc_value_t;

typedef enum {
  NRF_SAADC_RESOLUTION_8BIT = 0,
  NRF_SAADC_RESOLUTION_10BIT = 1,
  NRF_SAADC_RESOLUTION_12BIT = 2,
  NRF_SAADC_RESOLUTION_14BIT = 3,
} nrf_saadc_resolution_t;

typedef enum {
  NRF_SAADC_INPUT_DISABLED = 0,
  NRF_SAADC_INPUT_AIN0 = 1,
  NRF_SAADC_INPUT_AIN1 = 2,
  NRF_SAADC_INPUT_AIN2 = 3,
  NRF_SAADC_INPUT_AIN3 = 4,
  NRF_SAADC_INPUT_AIN4 = 5,
  NRF_SAADC_INPUT_AIN5 = 6,
  NRF_SAADC_INPUT_AIN6 = 7,
  NRF_SAADC_INPUT_AIN7 = 8,
  NRF_SAADC_INPUT_VDD = 9,
} nrf_saadc_input_t;

typedef enum { NRF_SAADC_GAIN1_6 = 0 } nrf_saadc_gain_t;
typedef enum { NRF_SAADC_REFERENCE_INTERNAL = 0 } nrf_saadc_reference_t;
typedef enum { NRF_SAADC_ACQTIME_10US = 2 } nrf_saadc_acqtime_t;
typedef enum { NRF_SAADC_MODE_SINGLE_ENDED = 0 } nrf_saadc_mode_t;
typedef enum { NRF_SAADC_BURST_DISABLED = 0 } nrf_saadc_burst_t;

typedef struct {
  nrf_saadc_resolution_t resolution;
  uint8_t oversample;
  uint8_t interrupt_priority;
  bool low_power_mode;
} nrfx_saadc_config_t;

typedef struct {
  nrf_saadc_gain_t gain;
  nrf_saadc_reference_t reference;
  nrf_saadc_acqtime_t acq_time;
  nrf_saadc_mode_t mode;
  nrf_saadc_burst_t burst;
  nrf_saadc_input_t pin_p;
  nrf_saadc_input_t pin_n;
} nrf_saadc_channel_config_t;

typedef struct nrfx_saadc_evt_s nrfx_saadc_evt_t;
typedef void (*nrfx_saadc_event_handler_t)(nrfx_saadc_evt_t const *p_event);

nrfx_err_t nrfx_saadc_init(nrfx_saadc_config_t const *p_config,
                           nrfx_saadc_event_handler_t event_handler);
void nrfx_saadc_uninit(void);
nrfx_err_t nrfx_saadc_channel_init(uint8_t channel, nrf_saadc_channel_config_t const *p_config);
nrfx_err_t nrfx_saadc_channel_uninit(uint8_t channel);
nrfx_err_t nrfx_saadc_sample_convert(uint8_t channel, nrf_saadc_value_t *p_value);

#ifdef __cplusplus
}  // extern "C"
#endif
