// Battery and supply voltage per board, over a stand-in ADC. The same
// source is built once per board; the expectations are the board's formula
// evaluated here in double precision.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "service_battery.h"
#include "udrv_adc.h"

namespace {
struct FakeAdc {
  UDRV_ADC_RESOLUTION resolution = UDRV_ADC_RESOLUTION_10BIT;
  UDRV_ADC_MODE mode = UDRV_ADC_MODE_3_3;
  std::map<uint32_t, int16_t> raw;  // by channel
  int32_t read_result = 0;
  std::vector<uint32_t> reads;  // channels, in order
  std::vector<UDRV_ADC_RESOLUTION> resolution_sets;
  std::vector<UDRV_ADC_RESOLUTION> resolution_at_read;
  uint32_t table_rows = 13;
} adc;
}  // namespace

UDRV_ADC_RESOLUTION udrv_adc_get_resolution(void) { return adc.resolution; }

UDRV_ADC_MODE udrv_adc_get_mode(void) { return adc.mode; }

int32_t udrv_adc_read(uint32_t pin, int16_t *value) {
  adc.reads.push_back(pin);
  adc.resolution_at_read.push_back(adc.resolution);
  if (adc.read_result != 0) {
    return adc.read_result;
  }
  *value = adc.raw[pin];
  return 0;
}

#ifdef QIV_ADC_SET_RESOLUTION
int32_t udrv_adc_set_resolution(UDRV_ADC_RESOLUTION resolution) {
  adc.resolution_sets.push_back(resolution);
  adc.resolution = resolution;
  return 0;
}
#endif

uint32_t get_batt_table_size(void) { return adc.table_rows; }

namespace {

constexpr uint32_t kSupplyChannel = 255;
#if defined(QIV_BOARD_QUENLARLP_SIP)
constexpr uint32_t kBatteryChannel = 254;
#else
constexpr uint32_t kBatteryChannel = 19;
#endif

struct Reading {
  UDRV_ADC_RESOLUTION resolution;
  UDRV_ADC_MODE mode;
  int16_t raw;
  double volts;
};

// Full scale and reference as the converter's settings give them.
constexpr double k6 = 64, k8 = 256, k10 = 1024, k12 = 4096, k14 = 16384;
const auto R6 = UDRV_ADC_RESOLUTION_6BIT;
const auto R8 = UDRV_ADC_RESOLUTION_8BIT;
const auto R10 = UDRV_ADC_RESOLUTION_10BIT;
const auto R12 = UDRV_ADC_RESOLUTION_12BIT;
const auto R14 = UDRV_ADC_RESOLUTION_14BIT;
const auto R_UNKNOWN = static_cast<UDRV_ADC_RESOLUTION>(7);
const auto M_DEFAULT = UDRV_ADC_MODE_DEFAULT;
const auto M_UNKNOWN = static_cast<UDRV_ADC_MODE>(9);

class Battery : public ::testing::Test {
 protected:
  void SetUp() override { adc = FakeAdc{}; }

  float battery() {
    float v = -1.0f;
    EXPECT_EQ(service_battery_get_batt_level(&v), 0);
    return v;
  }
};

// Supply voltage: raw x ref / full on every board.
TEST_F(Battery, SupplyVoltage) {
  const std::vector<Reading> cases = {
      {R10, UDRV_ADC_MODE_3_3, 930, 930 * 3.3 / k10},
      {R10, UDRV_ADC_MODE_3_0, 1023, 1023 * 3.0 / k10},
      {R12, UDRV_ADC_MODE_2_4, 4095, 4095 * 2.4 / k12},
      {R8, UDRV_ADC_MODE_1_8, 200, 200 * 1.8 / k8},
      {R6, UDRV_ADC_MODE_1_2, 63, 63 * 1.2 / k6},
      {R14, M_DEFAULT, 12000, 12000 * 3.6 / k14},
      {R_UNKNOWN, M_UNKNOWN, 512, 512 * 3.6 / k10},
      {R10, UDRV_ADC_MODE_3_3, 0, 0.0},
      // The reading is the converter's unsigned 16-bit value.
      {R10, UDRV_ADC_MODE_3_3, -1, 65535 * 3.3 / k10},
  };
  for (const Reading &c : cases) {
    adc = FakeAdc{};
    adc.resolution = c.resolution;
    adc.mode = c.mode;
    adc.raw[kSupplyChannel] = c.raw;
    float v = -1.0f;
    ASSERT_EQ(service_battery_get_SysVolt_level(&v), 0);
    EXPECT_NEAR(v, c.volts, 1e-5 * (1 + c.volts)) << c.raw;
    EXPECT_EQ(adc.reads, std::vector<uint32_t>{kSupplyChannel});
    EXPECT_TRUE(adc.resolution_sets.empty()) << "the supply is read at the current resolution";
  }
}

TEST_F(Battery, FailedReadingIsReported) {
  adc.read_result = -UDRV_INTERNAL_ERR;
  float v = -1.0f;
  EXPECT_EQ(service_battery_get_batt_level(&v), -UDRV_INTERNAL_ERR);
  EXPECT_EQ(v, 0.0f);
  v = -1.0f;
  EXPECT_EQ(service_battery_get_SysVolt_level(&v), -UDRV_INTERNAL_ERR);
  EXPECT_EQ(v, 0.0f);
  // Whatever happened, the converter is left at the resolution it had.
  EXPECT_EQ(adc.resolution, R10);
}

#if defined(QIV_BOARD_BRISOLA_T) || defined(QIV_BOARD_SAFFROND)
TEST_F(Battery, DividerOnPinPB3) {
  const std::vector<Reading> cases = {
      {R10, UDRV_ADC_MODE_3_3, 512, 2.75},
      {R10, UDRV_ADC_MODE_3_3, 1023, 1023 / k10 * 3.3 * 5 / 3},
      {R12, M_DEFAULT, 4095, 4095 / k12 * 3.6 * 5 / 3},
      {R8, UDRV_ADC_MODE_1_8, 128, 128 / k8 * 1.8 * 5 / 3},
      {R6, UDRV_ADC_MODE_1_2, 1, 1 / k6 * 1.2 * 5 / 3},
      {R14, UDRV_ADC_MODE_2_4, 16383, 16383 / k14 * 2.4 * 5 / 3},
      {R_UNKNOWN, UDRV_ADC_MODE_3_0, 100, 100 / k10 * 3.0 * 5 / 3},
      {R10, M_UNKNOWN, 700, 700 / k10 * 3.6 * 5 / 3},
      {R10, UDRV_ADC_MODE_3_3, 0, 0.0},
  };
  for (const Reading &c : cases) {
    adc = FakeAdc{};
    adc.resolution = c.resolution;
    adc.mode = c.mode;
    adc.raw[kBatteryChannel] = c.raw;
    EXPECT_NEAR(battery(), c.volts, 1e-5 * (1 + c.volts)) << c.raw;
    EXPECT_EQ(adc.reads, std::vector<uint32_t>{kBatteryChannel});
  }
}
#endif

#if defined(QIV_BOARD_BRISOLA_E)
TEST_F(Battery, CalibrationTable) {
  struct Case {
    int16_t raw;
    float volts;
  };
  // The voltage of the first row whose threshold is above the reading, or
  // of the last row.
  const std::vector<Case> cases = {
      {0, 3.0f},   {490, 3.0f}, {491, 3.1f}, {493, 3.2f}, {494, 3.3f}, {503, 3.5f},
      {559, 4.1f}, {560, 4.2f}, {566, 4.2f}, {567, 4.2f}, {600, 4.2f}, {-1, 4.2f},
  };
  for (UDRV_ADC_RESOLUTION res : {R10, R12}) {
    for (const Case &c : cases) {
      adc = FakeAdc{};
      adc.resolution = res;
      adc.raw[kBatteryChannel] = c.raw;
      EXPECT_EQ(battery(), c.volts) << c.raw;
      EXPECT_EQ(adc.reads, std::vector<uint32_t>{kBatteryChannel});
    }
  }
}

TEST_F(Battery, TableRowsAreThePortsCount) {
  adc.raw[kBatteryChannel] = 600;
  adc.table_rows = 5;
  EXPECT_EQ(battery(), 3.4f);
  // A count beyond the table never reads past it.
  adc.table_rows = 40;
  EXPECT_EQ(battery(), 4.2f);
}
#endif

#if defined(QIV_BOARD_QUENLARLP_SIP)
TEST_F(Battery, InternalReferenceAtTwelveBits) {
  struct Case {
    int16_t raw;
    double volts;
  };
  const std::vector<Case> cases = {
      {1600, 1.27 / (1600 / 4095.0) * 0.974 - 0.065},
      {1489, 1.27 / (1489 / 4095.0) * 0.974 - 0.065},
      {4095, 1.27 * 0.974 - 0.065},
      {1, 1.27 * 4095 * 0.974 - 0.065},
      // No reading of the reference: 0 V, never a division by zero.
      {0, 0.0},
  };
  for (UDRV_ADC_RESOLUTION before : {R8, R10, R12}) {
    for (const Case &c : cases) {
      adc = FakeAdc{};
      adc.resolution = before;
      adc.raw[kBatteryChannel] = c.raw;
      EXPECT_NEAR(battery(), c.volts, 1e-5 * (1 + c.volts)) << c.raw;
      EXPECT_EQ(adc.reads, std::vector<uint32_t>{kBatteryChannel});
      EXPECT_EQ(adc.resolution_at_read, std::vector<UDRV_ADC_RESOLUTION>{R12});
      EXPECT_EQ(adc.resolution, before) << "the resolution is restored";
    }
  }
}
#endif

}  // namespace
