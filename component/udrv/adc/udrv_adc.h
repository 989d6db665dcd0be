// ADC class: forwarded to the port.
#pragma once

#include <stdint.h>

#include "qiv_config.h"
#include "udrv_errno.h"

typedef enum : uint8_t {
  UDRV_ADC_RESOLUTION_6BIT = 0,
  UDRV_ADC_RESOLUTION_8BIT = 1,
  UDRV_ADC_RESOLUTION_10BIT = 2,
  UDRV_ADC_RESOLUTION_12BIT = 3,
  UDRV_ADC_RESOLUTION_14BIT = 4,
} UDRV_ADC_RESOLUTION;

// The reference of the conversion: the ones the chip's ADC offers.
#if QIV_CHIP_ADC_REFS_3V3_TO_1V2
typedef enum : uint8_t {
  UDRV_ADC_MODE_DEFAULT = 0,
  UDRV_ADC_MODE_3_3 = 1,
  UDRV_ADC_MODE_3_0 = 2,
  UDRV_ADC_MODE_2_4 = 3,
  UDRV_ADC_MODE_1_8 = 4,
  UDRV_ADC_MODE_1_2 = 5,
} UDRV_ADC_MODE;
#else
typedef enum : uint8_t {
  UDRV_ADC_MODE_DEFAULT = 0,
  UDRV_ADC_MODE_1_5 = 2,
} UDRV_ADC_MODE;
#endif

UDRV_ADC_RESOLUTION udrv_adc_get_resolution(void);
UDRV_ADC_MODE udrv_adc_get_mode(void);
int32_t udrv_adc_read(uint32_t pin, int16_t *value);
void udrv_adc_suspend(void);
void udrv_adc_resume(void);
#ifdef QIV_ADC_SET_RESOLUTION
// The board that can change its ADC resolution (QuenlarLP-SiP).
int32_t udrv_adc_set_resolution(UDRV_ADC_RESOLUTION resolution);
#endif

// ---- Port contract: what every port provides for this class ----
// The resolution conversions are made at.
UDRV_ADC_RESOLUTION uhal_adc_get_resolution(void);
// The reference conversions are made against.
UDRV_ADC_MODE uhal_adc_get_mode(void);
// One conversion of the pin's analogue input into *value: 0, or a negated
// UDRV_RETURN_CODE (-3 for a pin without an analogue input).
int32_t uhal_adc_read(uint32_t pin, int16_t *value);
// Power the converter down before sleep and restore it after.
void uhal_adc_suspend(void);
void uhal_adc_resume(void);
#ifdef QIV_ADC_SET_RESOLUTION
// Only on a port whose converter can change resolution: 0 or -3.
int32_t uhal_adc_set_resolution(UDRV_ADC_RESOLUTION resolution);
#endif
