// The QuenlarLP-SiP image can change its ADC resolution.
#include <cmath>

#include "port_fixture.h"
#include "uhal_peripherals.h"

namespace {

class AdcResolution : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    uhal_adc_resolution = UDRV_ADC_RESOLUTION_10BIT;
    adc_resolution = ADC_RESOLUTION_10B;
    hadc = {};
    adc_enable_pin = 0;
  }
};

TEST_F(AdcResolution, EightAndTenBitsAsAskedAnythingElseTwelve) {
  struct Case {
    uint8_t asked;
    UDRV_ADC_RESOLUTION got;
    int bits;
  };
  const Case cases[] = {
      {UDRV_ADC_RESOLUTION_8BIT, UDRV_ADC_RESOLUTION_8BIT, 8},
      {UDRV_ADC_RESOLUTION_10BIT, UDRV_ADC_RESOLUTION_10BIT, 10},
      {UDRV_ADC_RESOLUTION_12BIT, UDRV_ADC_RESOLUTION_12BIT, 12},
      {UDRV_ADC_RESOLUTION_6BIT, UDRV_ADC_RESOLUTION_12BIT, 12},
      {UDRV_ADC_RESOLUTION_14BIT, UDRV_ADC_RESOLUTION_12BIT, 12},
      {200, UDRV_ADC_RESOLUTION_12BIT, 12},
  };
  const uint32_t mv = 1234;
  sim::analog_set_mv("VREFINT", mv);
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.asked));
    EXPECT_EQ(udrv_adc_set_resolution(static_cast<UDRV_ADC_RESOLUTION>(c.asked)), 0);
    EXPECT_EQ(udrv_adc_get_resolution(), c.got);
    int16_t value = -1;
    ASSERT_EQ(udrv_adc_read(254, &value), 0);
    const double full = std::pow(2.0, c.bits);
    EXPECT_EQ(value, static_cast<int16_t>(std::floor(mv * full / 3300.0 + 0.5)));
    EXPECT_EQ(stm32sim::adc_state().last.resolution_bits, c.bits);
  }
}

}  // namespace
