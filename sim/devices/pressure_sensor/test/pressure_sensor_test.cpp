// The pressure sensor model on I2C bus 0, driven with whole transactions
// (register pointer write, then a read after a repeated start or a stop).
#include "sim/pressure_sensor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/device_registry.h"
#include "sim/host.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kBus = 0;
constexpr uint8_t kAddr = sim::PressureSensor::kAddress;

class PressureSensorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    sim::i2c_attach(kBus, kAddr, &sensor_);
  }
  void TearDown() override { sim::host::reset_core(); }

  sim::I2cResult write(const Bytes& b) {
    return sim::i2c_transfer(kBus, kAddr, b.data(), b.size(), nullptr, 0);
  }
  Bytes read(uint8_t reg, size_t n) {
    Bytes out(n);
    if (sim::i2c_transfer(kBus, kAddr, &reg, 1, out.data(), n) != sim::I2cResult::kOk) return {};
    return out;
  }
  uint32_t pressure_raw() {
    Bytes b = read(0x28, 3);
    return b.size() == 3 ? static_cast<uint32_t>(b[2] << 16 | b[1] << 8 | b[0]) : ~0u;
  }

  sim::PressureSensor sensor_;
};

TEST_F(PressureSensorTest, IdentityAndRegistersAtPowerUp) {
  EXPECT_EQ(read(0x0F, 1), Bytes{0xB1});
  EXPECT_EQ(read(0x10, 2), (Bytes{0x00, 0x10})) << "CTRL_REG1, CTRL_REG2 (IF_ADD_INC)";
  EXPECT_EQ(read(0x27, 6), (Bytes{0, 0, 0, 0, 0, 0})) << "no conversion yet";
}

TEST_F(PressureSensorTest, AOneShotConversionTakesItsTimeThenGivesTheValues) {
  struct Case {
    double hpa, celsius;
    uint32_t raw_p;
    uint16_t raw_t;
  } cases[] = {
      {1014.0, 21.5, 0x3F6000, 2150},
      {260.0, -40.0, 260 * 4096, static_cast<uint16_t>(-4000)},
      {1260.0, 85.0, 1260 * 4096, 8500},
  };
  for (const Case& k : cases) {
    sensor_.set_pressure(k.hpa);
    sensor_.set_temperature(k.celsius);
    uint32_t before = pressure_raw();
    ASSERT_EQ(write({0x11, 0x11}), sim::I2cResult::kOk);  // ONE_SHOT
    EXPECT_EQ(pressure_raw(), before) << "read at once: the last conversion";
    sim::cpu_spend(sim::PressureSensor::kOneShotTime);
    EXPECT_EQ(read(0x27, 1), Bytes{0x03});
    EXPECT_EQ(read(0x11, 1), Bytes{0x10}) << "ONE_SHOT cleared itself";
    EXPECT_EQ(pressure_raw(), k.raw_p) << k.hpa;
    Bytes t = read(0x2B, 2);
    EXPECT_EQ(static_cast<uint16_t>(t[1] << 8 | t[0]), k.raw_t);
    EXPECT_EQ(read(0x27, 1), Bytes{0x00}) << "both outputs read";
  }
  EXPECT_EQ(sensor_.conversions(), 3u);
}

TEST_F(PressureSensorTest, ContinuousModeFollowsTheValuesAfterOnePeriod) {
  sensor_.set_pressure(1000.0);
  ASSERT_EQ(write({0x10, 0x20}), sim::I2cResult::kOk);  // 10 Hz
  EXPECT_EQ(pressure_raw(), 0u);
  sim::cpu_spend(100'000);
  EXPECT_EQ(pressure_raw(), 1000u * 4096);
  sensor_.set_pressure(990.0);
  EXPECT_EQ(pressure_raw(), 990u * 4096);
}

TEST_F(PressureSensorTest, WithoutAutoIncrementAReadRepeatsOneRegister) {
  ASSERT_EQ(write({0x11, 0x00}), sim::I2cResult::kOk);
  EXPECT_EQ(read(0x0F, 3), (Bytes{0xB1, 0xB1, 0xB1}));
  ASSERT_EQ(write({0x0C, 0x12}), sim::I2cResult::kOk);
  EXPECT_EQ(read(0x0C, 1), Bytes{0x12});
  ASSERT_EQ(write({0x0F, 0x00}), sim::I2cResult::kOk);
  EXPECT_EQ(read(0x0F, 1), Bytes{0xB1}) << "WHO_AM_I is read-only";
  ASSERT_EQ(write({0x11, 0x04}), sim::I2cResult::kOk);  // SWRESET
  EXPECT_EQ(read(0x0C, 2), (Bytes{0x00, 0x00})) << "back to power-up values, auto-increment on";
}

TEST_F(PressureSensorTest, AnAbsentSensorAndTheRegistry) {
  sensor_.set_nack(true);
  EXPECT_EQ(write({0x11, 0x01}), sim::I2cResult::kAddressNack);
  sim::i2c_attach(kBus, kAddr, nullptr);
  std::string error;
  auto made = sim::devices::create("pressure-sensor@i2c0:0x5d,hpa=1014,t=20", &error);
  ASSERT_TRUE(made) << error;
  uint8_t reg[] = {0x11, 0x11};  // ONE_SHOT, keeping IF_ADD_INC
  ASSERT_EQ(sim::i2c_transfer(kBus, 0x5D, reg, 2, nullptr, 0), sim::I2cResult::kOk);
  sim::cpu_spend(20'000);
  uint8_t out[3] = {};
  uint8_t at = 0x28;
  ASSERT_EQ(sim::i2c_transfer(kBus, 0x5D, &at, 1, out, 3), sim::I2cResult::kOk);
  EXPECT_EQ(out[2] << 16 | out[1] << 8 | out[0], 0x3F6000);
  for (const char* bad : {"pressure-sensor@uart1", "pressure-sensor@i2c0:0x5c,hpa=high",
                          "pressure-sensor@i2c0:0x5c,nack=3", "pressure-sensor@i2c0:0x5c,x=1"}) {
    error.clear();
    EXPECT_FALSE(sim::devices::create(bad, &error)) << bad;
  }
  made = sim::devices::create("pressure-sensor@i2c1:0x5c,nack=1", &error);
  ASSERT_TRUE(made) << error;
  EXPECT_EQ(sim::i2c_transfer(1, 0x5C, &at, 1, out, 1), sim::I2cResult::kAddressNack);
}

}  // namespace
