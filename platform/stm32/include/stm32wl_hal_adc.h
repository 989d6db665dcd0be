// The ADC: single software-triggered conversions of one channel at a time.
// A conversion samples the simulated analogue input of its channel (in mV)
// against the 3.3 V reference at the configured resolution; the battery
// channel sees a third of the battery voltage, as the chip's divider does.
#pragma once

#include "stm32wl_hal_def.h"

typedef struct {
  uint8_t index;
} ADC_TypeDef;
extern "C" ADC_TypeDef stm32_adc;
#define ADC (&stm32_adc)

#define ADC_CLOCK_SYNC_PCLK_DIV1 0x1U
#define ADC_CLOCK_SYNC_PCLK_DIV2 0x2U
#define ADC_CLOCK_SYNC_PCLK_DIV4 0x3U
#define ADC_CLOCK_ASYNC_DIV1 0x0U

#define ADC_RESOLUTION_12B 0x00U
#define ADC_RESOLUTION_10B 0x08U
#define ADC_RESOLUTION_8B 0x10U
#define ADC_RESOLUTION_6B 0x18U

#define ADC_DATAALIGN_RIGHT 0x0U
#define ADC_DATAALIGN_LEFT 0x20U
#define ADC_SCAN_DISABLE 0x0U
#define ADC_SCAN_ENABLE 0x1U
#define ADC_EOC_SINGLE_CONV 0x4U
#define ADC_EOC_SEQ_CONV 0x8U
#define ADC_SOFTWARE_START 0x0U
#define ADC_EXTERNALTRIGCONVEDGE_NONE 0x0U
#define ADC_OVR_DATA_PRESERVED 0x0U
#define ADC_OVR_DATA_OVERWRITTEN 0x1000U
#define ADC_TRIGGER_FREQ_HIGH 0x0U
#define ADC_TRIGGER_FREQ_LOW 0x1U

#define ADC_SAMPLETIME_1CYCLE_5 0x0U
#define ADC_SAMPLETIME_3CYCLES_5 0x1U
#define ADC_SAMPLETIME_7CYCLES_5 0x2U
#define ADC_SAMPLETIME_12CYCLES_5 0x3U
#define ADC_SAMPLETIME_19CYCLES_5 0x4U
#define ADC_SAMPLETIME_39CYCLES_5 0x5U
#define ADC_SAMPLETIME_79CYCLES_5 0x6U
#define ADC_SAMPLETIME_160CYCLES_5 0x7U
#define ADC_SAMPLINGTIME_COMMON_1 0x00000000U
#define ADC_SAMPLINGTIME_COMMON_2 0x80000000U

#define ADC_REGULAR_RANK_1 0x1U

// Channels: the external inputs by number, then the internal ones.
#define ADC_CHANNEL_0 0x00U
#define ADC_CHANNEL_1 0x01U
#define ADC_CHANNEL_2 0x02U
#define ADC_CHANNEL_3 0x03U
#define ADC_CHANNEL_4 0x04U
#define ADC_CHANNEL_5 0x05U
#define ADC_CHANNEL_6 0x06U
#define ADC_CHANNEL_7 0x07U
#define ADC_CHANNEL_8 0x08U
#define ADC_CHANNEL_9 0x09U
#define ADC_CHANNEL_10 0x0AU
#define ADC_CHANNEL_11 0x0BU
#define ADC_CHANNEL_TEMPSENSOR 0x0CU
#define ADC_CHANNEL_VREFINT 0x0DU
#define ADC_CHANNEL_VBAT 0x0EU

typedef struct {
  uint32_t ClockPrescaler;
  uint32_t Resolution;
  uint32_t DataAlign;
  uint32_t ScanConvMode;
  uint32_t EOCSelection;
  FunctionalState LowPowerAutoWait;
  FunctionalState LowPowerAutoPowerOff;
  FunctionalState ContinuousConvMode;
  uint32_t NbrOfConversion;
  FunctionalState DiscontinuousConvMode;
  uint32_t ExternalTrigConv;
  uint32_t ExternalTrigConvEdge;
  FunctionalState DMAContinuousRequests;
  uint32_t Overrun;
  uint32_t SamplingTimeCommon1;
  uint32_t SamplingTimeCommon2;
  FunctionalState OversamplingMode;
  uint32_t TriggerFrequencyMode;
} ADC_InitTypeDef;

typedef struct {
  uint32_t Channel;
  uint32_t Rank;
  uint32_t SamplingTime;
} ADC_ChannelConfTypeDef;

#define HAL_ADC_STATE_RESET 0x00000000U
#define HAL_ADC_STATE_READY 0x00000001U
#define HAL_ADC_STATE_REG_BUSY 0x00000100U
#define HAL_ADC_STATE_REG_EOC 0x00000200U

#define HAL_ADC_ERROR_NONE 0x00U
#define HAL_ADC_ERROR_INTERNAL 0x01U

typedef struct {
  ADC_TypeDef* Instance;
  ADC_InitTypeDef Init;
  HAL_LockTypeDef Lock;
  __IO uint32_t State;
  __IO uint32_t ErrorCode;
} ADC_HandleTypeDef;

extern "C" {
// Initialisation runs the MSP initialisation first when the handle is in its
// reset state; de-initialisation ends with the MSP de-initialisation.
HAL_StatusTypeDef HAL_ADC_Init(ADC_HandleTypeDef* hadc);
HAL_StatusTypeDef HAL_ADC_DeInit(ADC_HandleTypeDef* hadc);
void HAL_ADC_MspInit(ADC_HandleTypeDef* hadc);    // weak; the firmware defines it
void HAL_ADC_MspDeInit(ADC_HandleTypeDef* hadc);  // weak
HAL_StatusTypeDef HAL_ADCEx_Calibration_Start(ADC_HandleTypeDef* hadc);
HAL_StatusTypeDef HAL_ADC_ConfigChannel(ADC_HandleTypeDef* hadc, ADC_ChannelConfTypeDef* config);
HAL_StatusTypeDef HAL_ADC_Start(ADC_HandleTypeDef* hadc);
// Waits (virtual time moves) for the end of the conversion, at most
// `timeout` ms: HAL_OK or HAL_TIMEOUT.
HAL_StatusTypeDef HAL_ADC_PollForConversion(ADC_HandleTypeDef* hadc, uint32_t timeout);
HAL_StatusTypeDef HAL_ADC_Stop(ADC_HandleTypeDef* hadc);
uint32_t HAL_ADC_GetValue(ADC_HandleTypeDef* hadc);
uint32_t HAL_ADC_GetState(ADC_HandleTypeDef* hadc);
}
