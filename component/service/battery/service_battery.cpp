#include "service_battery.h"

#include "qiv_config.h"
#include "udrv_adc.h"

// The formulas read the converter against its references: 3.3 V down to
// 1.2 V, or (Tarnelka) the internal 2.0 V and 1.5 V ones; which formula a
// board uses is in the table below.

// The ADC channel of the supply voltage (the MCU's battery-voltage input).
#define SERVICE_BATTERY_SUPPLY_CHANNEL 255u

namespace {

enum battery_formula : uint8_t {
  // A resistor divider into an ADC pin: raw / full x ref x 5 / 3.
  BATTERY_DIVIDER,
  // A divider read against the calibration table.
  BATTERY_TABLE,
  // The internal reference read at 12 bits: the supply is the battery.
  BATTERY_VREFINT,
  // A divider of 2.5 / 1.5 behind a gain of 1.3, read against the internal
  // reference, with the board's calibration 0.21 + 2.02 x.
  BATTERY_CALIBRATED,
  // A 1:5 divider behind a 0.3 V drop, halved (the tracker board).
  BATTERY_TRACKER,
};

struct battery_profile {
  uint32_t channel;
  battery_formula formula;
};

// One row per board.
#if defined(QIV_BOARD_TARNELKA)
constexpr battery_profile profile = {13, BATTERY_CALIBRATED};
#elif defined(QIV_BOARD_BRISOLA_T) || defined(QIV_BOARD_SAFFROND)
constexpr battery_profile profile = {19, BATTERY_DIVIDER};
#elif defined(QIV_BOARD_MINACOR)
constexpr battery_profile profile = {5, BATTERY_DIVIDER};
#elif defined(QIV_BOARD_VOSTREL)
constexpr battery_profile profile = {4, BATTERY_TRACKER};
#elif defined(QIV_BOARD_BRISOLA_E)
constexpr battery_profile profile = {19, BATTERY_TABLE};
#elif defined(QIV_BOARD_QUENLARLP_SIP)
#ifndef QIV_ADC_SET_RESOLUTION
#error "the QuenlarLP-SiP battery reading sets the ADC resolution"
#endif
constexpr battery_profile profile = {254, BATTERY_VREFINT};
#else
#error "the image names its board (QIV_BOARD_...)"
#endif

constexpr uint32_t batt_table_rows = 13;

float adc_full_scale(UDRV_ADC_RESOLUTION resolution) {
  switch (resolution) {
    case UDRV_ADC_RESOLUTION_6BIT:
      return 64.0f;
    case UDRV_ADC_RESOLUTION_8BIT:
      return 256.0f;
    case UDRV_ADC_RESOLUTION_10BIT:
      return 1024.0f;
    case UDRV_ADC_RESOLUTION_12BIT:
      return 4096.0f;
    case UDRV_ADC_RESOLUTION_14BIT:
      return 16384.0f;
    default:
      return 1024.0f;
  }
}

#if QIV_CHIP_ADC_REFS_3V3_TO_1V2
float adc_reference(UDRV_ADC_MODE mode) {
  switch (mode) {
    case UDRV_ADC_MODE_3_3:
      return 3.3f;
    case UDRV_ADC_MODE_3_0:
      return 3.0f;
    case UDRV_ADC_MODE_2_4:
      return 2.4f;
    case UDRV_ADC_MODE_1_8:
      return 1.8f;
    case UDRV_ADC_MODE_1_2:
      return 1.2f;
    default:
      return 3.6f;
  }
}
#else
// The battery reading's reference: the internal 1.5 V or 2.0 V one.
float adc_reference(UDRV_ADC_MODE mode) { return mode == UDRV_ADC_MODE_1_5 ? 1.5f : 2.0f; }
#endif

// The supply reading's reference (on the chip with only the internal
// references, 1.2 in the 1.5 V mode).
float supply_reference(UDRV_ADC_MODE mode) {
#if QIV_CHIP_ADC_REFS_3V3_TO_1V2
  return adc_reference(mode);
#else
  return mode == UDRV_ADC_MODE_1_5 ? 1.2f : 2.0f;
#endif
}

// The reading as the unsigned 16-bit value the converter delivers.
int32_t read_raw(uint32_t channel, uint16_t *raw) {
  int16_t value = 0;
  int32_t ret = udrv_adc_read(channel, &value);
  *raw = static_cast<uint16_t>(value);
  return ret;
}

float table_voltage(uint16_t raw) {
  uint32_t rows = get_batt_table_size();
  if (rows > batt_table_rows) {
    rows = batt_table_rows;
  }
  if (rows == 0) {
    return 0.0f;
  }
  for (uint32_t i = 0; i < rows; ++i) {
    if (batt_table[i].threshold > raw) {
      return batt_table[i].voltage;
    }
  }
  return batt_table[rows - 1].voltage;
}

}  // namespace

const batt_table_row_t batt_table[batt_table_rows] = {
    {3.0f, 491}, {3.1f, 492}, {3.2f, 494}, {3.3f, 495}, {3.4f, 496}, {3.5f, 504}, {3.6f, 516},
    {3.7f, 525}, {3.8f, 534}, {3.9f, 543}, {4.0f, 551}, {4.1f, 560}, {4.2f, 567},
};

int32_t service_battery_get_batt_level(float *bat_lvl) {
  *bat_lvl = 0.0f;
  uint16_t raw = 0;
  int32_t ret;
  switch (profile.formula) {
    case BATTERY_VREFINT: {
#ifdef QIV_ADC_SET_RESOLUTION
      const UDRV_ADC_RESOLUTION previous = udrv_adc_get_resolution();
      udrv_adc_set_resolution(UDRV_ADC_RESOLUTION_12BIT);
      ret = read_raw(profile.channel, &raw);
      udrv_adc_set_resolution(previous);
      if (ret != 0) {
        return ret;
      }
      // No reading of the reference means no usable supply: answer 0 V
      // instead of dividing by zero.
      if (raw != 0) {
        const double vrefint = static_cast<double>(raw) / 4095.0;
        *bat_lvl = static_cast<float>(1.27 / vrefint * 0.974 - 0.065);
      }
#endif
      return 0;
    }
    case BATTERY_CALIBRATED: {
      ret = read_raw(profile.channel, &raw);
      if (ret != 0) {
        return ret;
      }
      float v = static_cast<float>(raw) / adc_full_scale(udrv_adc_get_resolution());
      v = v * adc_reference(udrv_adc_get_mode());
      v = v * 1.3f;
      v = v * 2.5f;
      v = v / 1.5f;
      *bat_lvl = 0.21f + 2.02f * v;
      return 0;
    }
    case BATTERY_TABLE:
      ret = read_raw(profile.channel, &raw);
      if (ret != 0) {
        return ret;
      }
      *bat_lvl = table_voltage(raw);
      return 0;
    case BATTERY_TRACKER: {
      ret = read_raw(profile.channel, &raw);
      if (ret != 0) {
        return ret;
      }
      float v = static_cast<float>(raw) / adc_full_scale(udrv_adc_get_resolution());
      v = v * adc_reference(udrv_adc_get_mode());
      v = v * 5.0f;
      *bat_lvl = 0.3f + 0.5f * v;
      return 0;
    }
    case BATTERY_DIVIDER:
    default: {
      ret = read_raw(profile.channel, &raw);
      if (ret != 0) {
        return ret;
      }
      // Step by step in single precision, as the MCU's FPU computes it.
      float v = static_cast<float>(raw) / adc_full_scale(udrv_adc_get_resolution());
      v = v * adc_reference(udrv_adc_get_mode());
      v = v * 5.0f;
      v = v / 3.0f;
      *bat_lvl = v;
      return 0;
    }
  }
}

int32_t service_battery_get_SysVolt_level(float *sys_lvl) {
  *sys_lvl = 0.0f;
  uint16_t raw = 0;
  int32_t ret = read_raw(SERVICE_BATTERY_SUPPLY_CHANNEL, &raw);
  if (ret != 0) {
    return ret;
  }
  float v = static_cast<float>(raw) * supply_reference(udrv_adc_get_mode());
  v = v / adc_full_scale(udrv_adc_get_resolution());
  *sys_lvl = v;
  return 0;
}
