// The ADC on the simulated analogue inputs.
#include "internal.h"
#include "sim/model.h"

extern "C" {
ADC_TypeDef stm32_adc = {0};
}

namespace stm32sim {
namespace detail {
namespace {

constexpr uint32_t kReferenceMv = 3300;
// Sampling 79.5 cycles and 12.5 conversion cycles at PCLK / 4 (12 MHz) are
// 7.7 us; calibration takes about the same.
constexpr sim::time_us kConversionUs = 8;
constexpr sim::time_us kCalibrationUs = 8;

struct Adc {
  bool initialised = false;
  bool calibrated = false;
  bool converting = false;
  bool stalled = false;
  uint32_t resolution = ADC_RESOLUTION_12B;
  uint32_t clock_prescaler = 0;
  uint32_t sampling_time = 0;
  int channel = -1;
  sim::time_us done_at = 0;
  uint32_t data = 0;
  uint32_t conversions = 0;
  AdcState::Conversion last;
};

Adc& adc() {
  static Adc a;
  return a;
}

bool valid_resolution(uint32_t r) {
  return r == ADC_RESOLUTION_12B || r == ADC_RESOLUTION_10B || r == ADC_RESOLUTION_8B ||
         r == ADC_RESOLUTION_6B;
}

uint32_t full_scale(uint32_t resolution) {
  switch (resolution) {
    case ADC_RESOLUTION_10B:
      return 1024;
    case ADC_RESOLUTION_8B:
      return 256;
    case ADC_RESOLUTION_6B:
      return 64;
    default:
      return 4096;
  }
}

int resolution_bits(uint32_t resolution) {
  switch (resolution) {
    case ADC_RESOLUTION_10B:
      return 10;
    case ADC_RESOLUTION_8B:
      return 8;
    case ADC_RESOLUTION_6B:
      return 6;
    default:
      return 12;
  }
}

// The input of a channel in mV, or false for a channel this chip lacks.
bool channel_mv(uint32_t channel, uint32_t* mv) {
  switch (channel) {
    case ADC_CHANNEL_2:
      *mv = sim::analog_mv("PB3");
      return true;
    case ADC_CHANNEL_3:
      *mv = sim::analog_mv("PB4");
      return true;
    case ADC_CHANNEL_4:
      *mv = sim::analog_mv("PB2");
      return true;
    case ADC_CHANNEL_6:
      *mv = sim::analog_mv("PA10");
      return true;
    case ADC_CHANNEL_11:
      *mv = sim::analog_mv("PA15");
      return true;
    case ADC_CHANNEL_TEMPSENSOR:
      *mv = sim::analog_mv("TEMPSENSOR");
      return true;
    case ADC_CHANNEL_VREFINT:
      *mv = sim::analog_mv("VREFINT");
      return true;
    case ADC_CHANNEL_VBAT:
      *mv = sim::analog_mv("VBAT") / 3;
      return true;
    default:
      return false;
  }
}

// The code an ideal converter gives: nearest step, saturated at full scale.
uint32_t convert(uint32_t mv, uint32_t resolution) {
  uint64_t full = full_scale(resolution);
  uint64_t code = (static_cast<uint64_t>(mv) * full + kReferenceMv / 2) / kReferenceMv;
  return static_cast<uint32_t>(code >= full ? full - 1 : code);
}

}  // namespace

void adc_reset() { adc() = Adc{}; }

}  // namespace detail

using namespace detail;

void adc_stall(bool stalled) { adc().stalled = stalled; }

AdcState adc_state() {
  const Adc& a = adc();
  AdcState s;
  s.initialised = a.initialised;
  s.conversions = a.conversions;
  s.last = a.last;
  return s;
}

}  // namespace stm32sim

using namespace stm32sim::detail;

extern "C" {

__weak void HAL_ADC_MspInit(ADC_HandleTypeDef*) {}
__weak void HAL_ADC_MspDeInit(ADC_HandleTypeDef*) {}

HAL_StatusTypeDef HAL_ADC_Init(ADC_HandleTypeDef* hadc) {
  if (!hadc || hadc->Instance != ADC || !valid_resolution(hadc->Init.Resolution)) return HAL_ERROR;
  if (hadc->State == HAL_ADC_STATE_RESET) {
    hadc->Lock = HAL_UNLOCKED;
    HAL_ADC_MspInit(hadc);
  }
  Adc& a = adc();
  if (a.converting) return HAL_ERROR;
  a.initialised = true;
  a.calibrated = false;
  a.resolution = hadc->Init.Resolution;
  a.clock_prescaler = hadc->Init.ClockPrescaler;
  a.sampling_time = hadc->Init.SamplingTimeCommon1;
  a.channel = -1;
  hadc->ErrorCode = HAL_ADC_ERROR_NONE;
  hadc->State = HAL_ADC_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_ADC_DeInit(ADC_HandleTypeDef* hadc) {
  if (!hadc || hadc->Instance != ADC) return HAL_ERROR;
  Adc& a = adc();
  Adc kept = a;
  a = Adc{};
  a.stalled = kept.stalled;
  a.conversions = kept.conversions;
  a.last = kept.last;
  HAL_ADC_MspDeInit(hadc);
  hadc->ErrorCode = HAL_ADC_ERROR_NONE;
  hadc->State = HAL_ADC_STATE_RESET;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_ADCEx_Calibration_Start(ADC_HandleTypeDef* hadc) {
  Adc& a = adc();
  if (!hadc || hadc->Instance != ADC || !a.initialised || a.converting) return HAL_ERROR;
  sim::cpu_spend(kCalibrationUs);
  a.calibrated = true;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_ADC_ConfigChannel(ADC_HandleTypeDef* hadc, ADC_ChannelConfTypeDef* config) {
  Adc& a = adc();
  uint32_t mv;
  if (!hadc || hadc->Instance != ADC || !config || !a.initialised || a.converting ||
      !channel_mv(config->Channel, &mv) || config->Rank != ADC_REGULAR_RANK_1)
    return HAL_ERROR;
  a.channel = static_cast<int>(config->Channel);
  return HAL_OK;
}

HAL_StatusTypeDef HAL_ADC_Start(ADC_HandleTypeDef* hadc) {
  Adc& a = adc();
  if (!hadc || hadc->Instance != ADC || !a.initialised || a.channel < 0) return HAL_ERROR;
  if (a.converting) return HAL_BUSY;
  a.converting = true;
  a.last.calibrated = a.calibrated;
  a.last.resolution_bits = resolution_bits(a.resolution);
  a.last.clock_prescaler = a.clock_prescaler;
  a.last.sampling_time = a.sampling_time;
  a.last.channel = a.channel;
  a.done_at = a.stalled ? sim::kNever : sim::now() + kConversionUs;
  hadc->State = (hadc->State & ~HAL_ADC_STATE_REG_EOC) | HAL_ADC_STATE_REG_BUSY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_ADC_PollForConversion(ADC_HandleTypeDef* hadc, uint32_t timeout) {
  Adc& a = adc();
  if (!hadc || hadc->Instance != ADC || !a.converting) return HAL_ERROR;
  sim::time_us deadline = timeout == HAL_MAX_DELAY
                              ? sim::kNever
                              : sim::now() + static_cast<sim::time_us>(timeout) * 1000;
  if (a.done_at > deadline) {
    if (deadline == sim::kNever) {
      for (;;) sim::wait_for_interrupt();
    }
    sim::cpu_spend(deadline - sim::now());
    return HAL_TIMEOUT;
  }
  if (a.done_at > sim::now()) sim::cpu_spend(a.done_at - sim::now());
  uint32_t mv = 0;
  channel_mv(static_cast<uint32_t>(a.channel), &mv);
  a.data = convert(mv, a.resolution);
  a.converting = false;
  ++a.conversions;
  hadc->State = (hadc->State & ~HAL_ADC_STATE_REG_BUSY) | HAL_ADC_STATE_REG_EOC;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_ADC_Stop(ADC_HandleTypeDef* hadc) {
  if (!hadc || hadc->Instance != ADC) return HAL_ERROR;
  adc().converting = false;
  hadc->State &= ~HAL_ADC_STATE_REG_BUSY;
  return HAL_OK;
}

uint32_t HAL_ADC_GetValue(ADC_HandleTypeDef* hadc) {
  return hadc && hadc->Instance == ADC ? adc().data : 0;
}

uint32_t HAL_ADC_GetState(ADC_HandleTypeDef* hadc) { return hadc ? hadc->State : 0; }

}  // extern "C"

// The peripheral back to its power-on state on reset_platform().
SIM_MODEL(stm32_adc, {.name = "stm32.adc", .on_reset = stm32sim::detail::adc_reset});
