// The ambient light sensor model on I2C bus 0, driven with whole
// transactions: a register write (pointer, high byte, low byte), or the
// pointer and then a two-byte read.
#include "sim/light_sensor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "sim/device_registry.h"
#include "sim/host.h"

namespace {

constexpr int kBus = 0;
constexpr uint8_t kAddr = sim::LightSensor::kAddress;

class LightSensorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    sim::i2c_attach(kBus, kAddr, &sensor_);
  }
  void TearDown() override { sim::host::reset_core(); }

  sim::I2cResult write(uint8_t reg, uint16_t v) {
    uint8_t b[] = {reg, static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    return sim::i2c_transfer(kBus, kAddr, b, 3, nullptr, 0);
  }
  // -1 when the transfer failed.
  int32_t read(uint8_t reg) {
    uint8_t b[2] = {};
    if (sim::i2c_transfer(kBus, kAddr, &reg, 1, b, 2) != sim::I2cResult::kOk) return -1;
    return b[0] << 8 | b[1];
  }
  static double lux_of(uint16_t result) {
    return (result & 0x0FFF) * 0.01 * std::ldexp(1.0, result >> 12);
  }

  sim::LightSensor sensor_;
};

TEST_F(LightSensorTest, IdentityAndRegistersAtPowerUp) {
  EXPECT_EQ(read(0x7E), 0x5449);
  EXPECT_EQ(read(0x7F), 0x3001);
  EXPECT_EQ(read(0x01), 0xC810);
  EXPECT_EQ(read(0x02), 0xC000);
  EXPECT_EQ(read(0x03), 0xBFFF);
  EXPECT_EQ(read(0x00), 0) << "no conversion yet";
}

TEST_F(LightSensorTest, ResultWordsForLightAndRange) {
  struct Case {
    double lux;
    int rn;
    uint16_t result;
    bool overflow;
  } cases[] = {
      {10.24, 12, 0x0400, false}, {10.24, 1, 0x1200, false},    {10.24, 15, 0x0400, false},
      {0.0, 12, 0x0000, false},   {83865.6, 12, 0xBFFF, false}, {100000, 12, 0xBFFF, true},
      {50.0, 0, 0x0FFF, true},    {1280.0, 6, 0x67D0, false},
  };
  for (const Case& k : cases) {
    bool overflow = false;
    EXPECT_EQ(sim::LightSensor::encode(k.lux, k.rn, &overflow), k.result) << k.lux << " " << k.rn;
    EXPECT_EQ(overflow, k.overflow) << k.lux << " " << k.rn;
  }
  EXPECT_DOUBLE_EQ(lux_of(0x1200), 10.24);
}

TEST_F(LightSensorTest, ASingleShotConversionEndsAfterItsTime) {
  sensor_.set_lux(10.24);
  ASSERT_EQ(write(0x01, 0xF210), sim::I2cResult::kOk);  // range auto, 100 ms, single-shot
  EXPECT_EQ(read(0x00), 0) << "read at once: the last result";
  sim::cpu_spend(sim::LightSensor::kShortConversion - 1);
  EXPECT_EQ(read(0x00), 0);
  sim::cpu_spend(1);
  EXPECT_EQ(read(0x00), 0x0400);
  EXPECT_EQ(read(0x01), 0xF090) << "CRF set, back to shutdown";
  EXPECT_EQ(read(0x01), 0xF010) << "CRF cleared by the read";

  sensor_.set_lux(200000);
  ASSERT_EQ(write(0x01, 0xCA00), sim::I2cResult::kOk);  // 800 ms, single-shot
  sim::cpu_spend(sim::LightSensor::kShortConversion);
  EXPECT_EQ(read(0x00), 0x0400);
  sim::cpu_spend(sim::LightSensor::kLongConversion);
  EXPECT_EQ(read(0x00), 0xBFFF);
  EXPECT_EQ(read(0x01), 0xC980) << "overflow, ready";
}

TEST_F(LightSensorTest, ContinuousConversionsFollowTheLight) {
  sensor_.set_lux(1.0);
  ASSERT_EQ(write(0x01, 0xC400), sim::I2cResult::kOk);
  sim::cpu_spend(100'000);
  EXPECT_EQ(read(0x00), 100);
  sensor_.set_lux(2.0);
  sim::cpu_spend(100'000);
  EXPECT_EQ(read(0x00), 200);
  ASSERT_EQ(write(0x01, 0xC000), sim::I2cResult::kOk);  // shutdown
  sensor_.set_lux(3.0);
  sim::cpu_spend(300'000);
  EXPECT_EQ(read(0x00), 200);
}

TEST_F(LightSensorTest, ReadOnlyRegistersAndAnAbsentSensor) {
  ASSERT_EQ(write(0x7F, 0x1234), sim::I2cResult::kOk);
  EXPECT_EQ(read(0x7F), 0x3001);
  ASSERT_EQ(write(0x01, 0xC990), sim::I2cResult::kOk);  // OVF and CRF given: not taken
  EXPECT_EQ(read(0x01), 0xC810);
  ASSERT_EQ(write(0x02, 0x1234), sim::I2cResult::kOk);
  EXPECT_EQ(read(0x02), 0x1234);
  uint8_t three[] = {0x03, 1, 2, 3};
  EXPECT_EQ(sim::i2c_transfer(kBus, kAddr, three, 4, nullptr, 0), sim::I2cResult::kDataNack)
      << "a third data byte";
  sensor_.set_nack(true);
  EXPECT_EQ(read(0x7F), -1);
}

TEST_F(LightSensorTest, TheRegistryAttachesItWithItsSettings) {
  sim::i2c_attach(kBus, kAddr, nullptr);
  std::string error;
  auto made = sim::devices::create("light-sensor@i2c0:0x44,lux=10.24", &error);
  ASSERT_TRUE(made) << error;
  ASSERT_EQ(write(0x01, 0x1200), sim::I2cResult::kOk);  // range 1, single-shot
  sim::cpu_spend(100'000);
  EXPECT_EQ(read(0x00), 0x1200);
  for (const char* bad : {"light-sensor@spi1:0", "light-sensor@i2c0:0x44,lux=dark",
                          "light-sensor@i2c0:0x44,nack=2", "light-sensor@i2c0:0x44,gain=2"}) {
    error.clear();
    EXPECT_FALSE(sim::devices::create(bad, &error)) << bad;
  }
}

}  // namespace
