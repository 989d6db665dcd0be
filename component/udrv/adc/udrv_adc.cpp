#include "udrv_adc.h"

UDRV_ADC_RESOLUTION udrv_adc_get_resolution(void) { return uhal_adc_get_resolution(); }

UDRV_ADC_MODE udrv_adc_get_mode(void) { return uhal_adc_get_mode(); }

int32_t udrv_adc_read(uint32_t pin, int16_t *value) { return uhal_adc_read(pin, value); }

void udrv_adc_suspend(void) { uhal_adc_suspend(); }

void udrv_adc_resume(void) { uhal_adc_resume(); }

#ifdef QIV_ADC_SET_RESOLUTION
int32_t udrv_adc_set_resolution(UDRV_ADC_RESOLUTION resolution) {
  return uhal_adc_set_resolution(resolution);
}
#endif
