// The accelerometer model on I2C bus 0, driven with whole transactions:
// register writes, and a register address followed by a read.
#include "sim/accelerometer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/device_registry.h"
#include "sim/host.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kBus = 0;
constexpr uint8_t kAddr = sim::Accelerometer::kAddress;

class AccelerometerTest : public ::testing::Test {
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
  // X, Y, Z as the signed 16-bit output words (one auto-increment read).
  std::vector<int16_t> xyz() {
    Bytes b = read(0xA8, 6);
    if (b.size() != 6) return {};
    std::vector<int16_t> v;
    for (int i = 0; i < 3; ++i) v.push_back(static_cast<int16_t>(b[2 * i + 1] << 8 | b[2 * i]));
    return v;
  }

  sim::Accelerometer sensor_;
};

TEST_F(AccelerometerTest, IdentityAndRegistersAtPowerUp) {
  EXPECT_EQ(read(0x0F, 1), Bytes{0x33});
  EXPECT_EQ(read(0x20, 1), Bytes{0x07});
  EXPECT_EQ(read(0x1E, 1), Bytes{0x10});
  EXPECT_EQ(xyz(), (std::vector<int16_t>{0, 0, 0})) << "power-down: no sample yet";
  EXPECT_EQ(read(0x27, 1), Bytes{0x00});
}

TEST_F(AccelerometerTest, OutputWordsByModeAndRange) {
  struct Case {
    uint8_t ctrl1, ctrl4;
    double x, y, z;
    std::vector<int16_t> out;
  } cases[] = {
      {0x77, 0x88, 1.0, -0.5, 0.0, {16000, -8000, 0}},       // 400 Hz, high resolution, 2 g
      {0x77, 0x80, 1.0, -0.5, 0.0, {16000, -8000, 0}},       // normal: 250 digits << 6
      {0x7F, 0x80, 1.0, -0.5, 0.0, {16128, -7936, 0}},       // low power: 63 and -31 << 8
      {0x77, 0xB8, 1.0, 2.0, -16.0, {1328, 2672, -21328}},   // 16 g: 83, 167, -1333 << 4
      {0x77, 0x88, 3.0, -3.0, 0.001, {32752, -32768, 16}},   // saturated at 2 g
      {0x75, 0x88, 0.25, 0.25, 0.25, {4000, -32768, 4000}},  // Y off: keeps its last value
  };
  for (const Case& k : cases) {
    sensor_.set_acceleration(k.x, k.y, k.z);
    ASSERT_EQ(write({0xA0, k.ctrl1, 0, 0, k.ctrl4}), sim::I2cResult::kOk);
    sim::cpu_spend(20'000);
    EXPECT_EQ(read(0x27, 1), Bytes{static_cast<uint8_t>(0x08 | (k.ctrl1 & 7))});
    EXPECT_EQ(xyz(), k.out) << std::hex << int(k.ctrl1) << " " << int(k.ctrl4);
  }
}

TEST_F(AccelerometerTest, TheFirstSampleComesOnePeriodAfterTheRateIsSet) {
  ASSERT_EQ(write({0x23, 0x88}), sim::I2cResult::kOk);
  ASSERT_EQ(write({0x20, 0x17}), sim::I2cResult::kOk);  // 1 Hz
  sim::cpu_spend(999'999);
  EXPECT_EQ(xyz(), (std::vector<int16_t>{0, 0, 0}));
  sim::cpu_spend(1);
  EXPECT_EQ(xyz(), (std::vector<int16_t>{0, 0, 16000}));
  ASSERT_EQ(write({0x20, 0x07}), sim::I2cResult::kOk);  // power-down
  sensor_.set_acceleration(0, 0, -1);
  sim::cpu_spend(1'000'000);
  EXPECT_EQ(xyz(), (std::vector<int16_t>{0, 0, 16000})) << "power-down holds the last sample";
  EXPECT_EQ(read(0x28, 2), (Bytes{0x00, 0x00})) << "without bit 7 the address stays";
}

TEST_F(AccelerometerTest, ReadOnlyRegistersAndAnAbsentSensor) {
  ASSERT_EQ(write({0x0F, 0x00}), sim::I2cResult::kOk);
  EXPECT_EQ(read(0x0F, 1), Bytes{0x33});
  ASSERT_EQ(write({0xB0, 1, 2, 3}), sim::I2cResult::kOk);
  EXPECT_EQ(read(0xB0, 3), (Bytes{1, 2, 3})) << "FIFO/interrupt registers stored";
  sensor_.set_nack(true);
  EXPECT_EQ(write({0x20, 0x77}), sim::I2cResult::kAddressNack);
  EXPECT_EQ(sensor_.reg(0x20), 0x07);
}

TEST_F(AccelerometerTest, TheRegistryAttachesItWithItsSettings) {
  sim::i2c_attach(kBus, kAddr, nullptr);
  std::string error;
  auto made = sim::devices::create("accelerometer@i2c0:0x19,x=0.5,y=0,z=-1", &error);
  ASSERT_TRUE(made) << error;
  ASSERT_EQ(write({0xA0, 0x77, 0, 0, 0x88}), sim::I2cResult::kOk);
  sim::cpu_spend(3'000);
  EXPECT_EQ(xyz(), (std::vector<int16_t>{8000, 0, -16000}));
  for (const char* bad : {"accelerometer@uart2", "accelerometer@i2c0:0x19,z=up",
                          "accelerometer@i2c0:0x19,nack=5", "accelerometer@i2c0:0x19,w=1"}) {
    error.clear();
    EXPECT_FALSE(sim::devices::create(bad, &error)) << bad;
  }
  made = sim::devices::create("accelerometer@i2c0:0x18,nack=1", &error);
  ASSERT_TRUE(made) << error;
  uint8_t reg = 0x0F, out = 0;
  EXPECT_EQ(sim::i2c_transfer(kBus, 0x18, &reg, 1, &out, 1), sim::I2cResult::kAddressNack);
}

}  // namespace
