// The ADC of the STM32WLE5 images: one single conversion per read, the
// converter set up and released around it.
#include "stm32wle5xx_port.h"
#include "uhal_peripherals.h"

uint8_t adc_enable_pin;
UDRV_ADC_RESOLUTION uhal_adc_resolution = UDRV_ADC_RESOLUTION_10BIT;
uint32_t adc_resolution = ADC_RESOLUTION_10B;
UDRV_ADC_MODE uhal_adc_mode = UDRV_ADC_MODE_3_3;
ADC_HandleTypeDef hadc;

namespace {

// A conversion that has not ended after this long has failed.
constexpr uint32_t kConversionTimeoutMs = 10;

struct adc_input {
  uint32_t pin;        // the driver layer's pin or channel number
  uint32_t channel;    // the converter's channel
  uint8_t enable_bit;  // bit in adc_enable_pin; 0 for an internal channel
};

const adc_input adc_inputs[] = {
    {19, ADC_CHANNEL_2, 1U << 0},
    {20, ADC_CHANNEL_3, 1U << 1},
    {18, ADC_CHANNEL_4, 1U << 2},
    {10, ADC_CHANNEL_6, 1U << 3},
    {15, ADC_CHANNEL_11, 1U << 4},
    {UDRV_ADC_CHANNEL_TEMPSENSOR, ADC_CHANNEL_TEMPSENSOR, 0},
    {UDRV_ADC_CHANNEL_VREFINT, ADC_CHANNEL_VREFINT, 0},
    {UDRV_ADC_CHANNEL_VBAT, ADC_CHANNEL_VBAT, 0},
};

const adc_input *input_of(uint32_t pin) {
  for (const adc_input &in : adc_inputs) {
    if (in.pin == pin) {
      return &in;
    }
  }
  return nullptr;
}

GPIO_TypeDef *port_of(uint32_t pin) {
  return reinterpret_cast<GPIO_TypeDef *>(GPIOA_BASE + (pin / 16) * 0x400U);
}

void enable_port_clock(uint32_t pin) {
  switch (pin / 16) {
    case 0:
      __HAL_RCC_GPIOA_CLK_ENABLE();
      break;
    case 1:
      __HAL_RCC_GPIOB_CLK_ENABLE();
      break;
    default:
      __HAL_RCC_GPIOC_CLK_ENABLE();
      break;
  }
}

void adc_init(void) {
  hadc.Instance = ADC;
  hadc.Init.ClockPrescaler = ADC_CLOCK_SYNC_PCLK_DIV4;
  hadc.Init.Resolution = adc_resolution;
  hadc.Init.DataAlign = ADC_DATAALIGN_RIGHT;
  hadc.Init.ScanConvMode = ADC_SCAN_DISABLE;
  hadc.Init.EOCSelection = ADC_EOC_SINGLE_CONV;
  hadc.Init.LowPowerAutoWait = DISABLE;
  hadc.Init.LowPowerAutoPowerOff = DISABLE;
  hadc.Init.ContinuousConvMode = DISABLE;
  hadc.Init.NbrOfConversion = 1;
  hadc.Init.DiscontinuousConvMode = DISABLE;
  hadc.Init.ExternalTrigConv = ADC_SOFTWARE_START;
  hadc.Init.ExternalTrigConvEdge = ADC_EXTERNALTRIGCONVEDGE_NONE;
  hadc.Init.DMAContinuousRequests = DISABLE;
  hadc.Init.Overrun = ADC_OVR_DATA_OVERWRITTEN;
  hadc.Init.SamplingTimeCommon1 = ADC_SAMPLETIME_79CYCLES_5;
  hadc.Init.SamplingTimeCommon2 = ADC_SAMPLETIME_79CYCLES_5;
  hadc.Init.OversamplingMode = DISABLE;
  hadc.Init.TriggerFrequencyMode = ADC_TRIGGER_FREQ_HIGH;
  if (HAL_ADC_Init(&hadc) != HAL_OK) {
    Error_Handler();
  }
}

}  // namespace

// The converter's clock and the analogue pins in use.
void HAL_ADC_MspInit(ADC_HandleTypeDef *) {
  __HAL_RCC_ADC_CLK_ENABLE();
  for (const adc_input &in : adc_inputs) {
    if (!(adc_enable_pin & in.enable_bit)) {
      continue;
    }
    enable_port_clock(in.pin);
    GPIO_InitTypeDef init = {};
    init.Pin = static_cast<uint16_t>(1U << (in.pin % 16));
    init.Mode = GPIO_MODE_ANALOG;
    init.Pull = GPIO_NOPULL;
    HAL_GPIO_Init(port_of(in.pin), &init);
  }
}

void HAL_ADC_MspDeInit(ADC_HandleTypeDef *) {
  __HAL_RCC_ADC_CLK_DISABLE();
  for (const adc_input &in : adc_inputs) {
    if (adc_enable_pin & in.enable_bit) {
      HAL_GPIO_DeInit(port_of(in.pin), 1U << (in.pin % 16));
      adc_enable_pin = static_cast<uint8_t>(adc_enable_pin & ~in.enable_bit);
    }
  }
}

// One conversion of the pin's channel at the current resolution: 0 with the
// value, -4 for a pin without a channel, -3 without a place for the value,
// -7 when the conversion does not end in time.
int32_t uhal_adc_read(uint32_t pin, int16_t *value) {
  const adc_input *in = input_of(pin);
  if (in == nullptr) {
    return -UDRV_NACK;
  }
  if (value == nullptr) {
    return -UDRV_WRONG_ARG;
  }
  adc_enable_pin = static_cast<uint8_t>(adc_enable_pin | in->enable_bit);
  adc_init();
  if (HAL_ADCEx_Calibration_Start(&hadc) != HAL_OK) {
    Error_Handler();
  }
  ADC_ChannelConfTypeDef config = {};
  config.Channel = in->channel;
  config.Rank = ADC_REGULAR_RANK_1;
  config.SamplingTime = ADC_SAMPLINGTIME_COMMON_1;
  if (HAL_ADC_ConfigChannel(&hadc, &config) != HAL_OK) {
    Error_Handler();
  }
  if (HAL_ADC_Start(&hadc) != HAL_OK) {
    Error_Handler();
  }
  bool converted = HAL_ADC_PollForConversion(&hadc, kConversionTimeoutMs) == HAL_OK;
  HAL_ADC_Stop(&hadc);
  if (converted) {
    uint32_t raw = HAL_ADC_GetValue(&hadc);
    // The converter sees a third of the battery voltage.
    if (pin == UDRV_ADC_CHANNEL_VBAT) {
      raw *= 3;
    }
    *value = static_cast<int16_t>(raw);
  }
  HAL_ADC_DeInit(&hadc);
  return converted ? 0 : -UDRV_INTERNAL_ERR;
}

UDRV_ADC_RESOLUTION uhal_adc_get_resolution(void) { return uhal_adc_resolution; }

UDRV_ADC_MODE uhal_adc_get_mode(void) { return uhal_adc_mode; }

#ifdef QIV_ADC_SET_RESOLUTION
// 8 and 10 bits as asked; any other value gives 12 bits.
int32_t uhal_adc_set_resolution(UDRV_ADC_RESOLUTION resolution) {
  switch (resolution) {
    case UDRV_ADC_RESOLUTION_8BIT:
      adc_resolution = ADC_RESOLUTION_8B;
      uhal_adc_resolution = UDRV_ADC_RESOLUTION_8BIT;
      break;
    case UDRV_ADC_RESOLUTION_10BIT:
      adc_resolution = ADC_RESOLUTION_10B;
      uhal_adc_resolution = UDRV_ADC_RESOLUTION_10BIT;
      break;
    default:
      adc_resolution = ADC_RESOLUTION_12B;
      uhal_adc_resolution = UDRV_ADC_RESOLUTION_12BIT;
      break;
  }
  return 0;
}
#endif

void uhal_adc_suspend(void) {}

void uhal_adc_resume(void) {}
