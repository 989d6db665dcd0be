// The SHTC3 model on bus 2, driven by the STM32 stand-in's I2C2 through the
// HAL calls a firmware driver makes.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "sim/device_registry.h"
#include "sim/host.h"
#include "sim/shtc3.h"
#include "sim/sim.h"
#include "stm32_sim.h"
#include "stm32wl_hal.h"

namespace {

I2C_HandleTypeDef g_i2c;

class Shtc3OnI2c2 : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    stm32sim::reset_platform();
    HAL_Init();
    g_i2c = {};
    g_i2c.Instance = I2C2;
    g_i2c.Init.Timing = 0x0070085C;
    g_i2c.Init.AddressingMode = I2C_ADDRESSINGMODE_7BIT;
    sim::irq_set_handler(stm32sim::sim_irq(I2C2_EV_IRQn), [] { HAL_I2C_EV_IRQHandler(&g_i2c); });
    sim::irq_set_handler(stm32sim::sim_irq(I2C2_ER_IRQn), [] { HAL_I2C_ER_IRQHandler(&g_i2c); });
    HAL_NVIC_EnableIRQ(I2C2_EV_IRQn);
    HAL_NVIC_EnableIRQ(I2C2_ER_IRQn);
    ASSERT_EQ(HAL_I2C_Init(&g_i2c), HAL_OK);
    sim::i2c_attach(2, sim::Shtc3::kAddress, &sensor_);
  }
  void TearDown() override { sim::host::reset_core(); }

  // One transfer to its end: the HAL error code.
  uint32_t run(bool read, uint8_t* data, uint16_t size, uint8_t address = sim::Shtc3::kAddress) {
    const uint16_t a = static_cast<uint16_t>(address << 1);
    HAL_StatusTypeDef st =
        read ? HAL_I2C_Master_Seq_Receive_IT(&g_i2c, a, data, size, I2C_FIRST_AND_LAST_FRAME)
             : HAL_I2C_Master_Seq_Transmit_IT(&g_i2c, a, data, size, I2C_FIRST_AND_LAST_FRAME);
    EXPECT_EQ(st, HAL_OK);
    while (HAL_I2C_GetState(&g_i2c) != HAL_I2C_STATE_READY) __WFI();
    return HAL_I2C_GetError(&g_i2c);
  }
  uint32_t command(uint16_t cmd, uint8_t address = sim::Shtc3::kAddress) {
    uint8_t b[2] = {static_cast<uint8_t>(cmd >> 8), static_cast<uint8_t>(cmd)};
    return run(false, b, 2, address);
  }
  // Reads `n` bytes; empty when the read was refused.
  std::vector<uint8_t> read(uint16_t n) {
    std::vector<uint8_t> b(n);
    return run(true, b.data(), n) == HAL_I2C_ERROR_NONE ? b : std::vector<uint8_t>{};
  }

  sim::Shtc3 sensor_;
};

uint16_t word(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

// The data sheet's conversion formulas.
double celsius(uint16_t raw) { return -45.0 + 175.0 * raw / 65536.0; }
double percent(uint16_t raw) { return 100.0 * raw / 65536.0; }

TEST(Shtc3Crc, MatchesTheDataSheetExample) {
  const uint8_t beef[] = {0xBE, 0xEF};
  EXPECT_EQ(sim::Shtc3::crc8(beef, 2), 0x92);
  const uint8_t zero[] = {0x00, 0x00};
  EXPECT_EQ(sim::Shtc3::crc8(zero, 2), 0x81);
}

TEST_F(Shtc3OnI2c2, TheIdRegisterCarriesTheProductCode) {
  ASSERT_EQ(command(0xEFC8), HAL_I2C_ERROR_NONE);
  std::vector<uint8_t> id = read(3);
  ASSERT_EQ(id.size(), 3u);
  EXPECT_EQ(word(id, 0) & 0x083F, 0x0807) << "bit 11 and bits 5..0";
  EXPECT_EQ(id[2], sim::Shtc3::crc8(id.data(), 2));
}

TEST_F(Shtc3OnI2c2, EveryMeasurementCommandGivesBothValuesInItsOrder) {
  struct Case {
    uint16_t cmd;
    bool temperature_first;
    bool stretch;
    sim::time_us duration;
  } cases[] = {
      {0x7CA2, true, true, 12100}, {0x5C24, false, true, 12100}, {0x6458, true, true, 800},
      {0x44DE, false, true, 800},  {0x7866, true, false, 12100}, {0x58E0, false, false, 12100},
      {0x609C, true, false, 800},  {0x401A, false, false, 800},
  };
  sensor_.set_temperature(23.7);
  sensor_.set_humidity(41.2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cmd);
    ASSERT_EQ(command(c.cmd), HAL_I2C_ERROR_NONE);
    if (!c.stretch) {
      EXPECT_TRUE(read(6).empty()) << "not acknowledged while it converts";
      sim::cpu_spend(c.duration);
    }
    std::vector<uint8_t> b = read(6);
    ASSERT_EQ(b.size(), 6u);
    EXPECT_EQ(b[2], sim::Shtc3::crc8(&b[0], 2));
    EXPECT_EQ(b[5], sim::Shtc3::crc8(&b[3], 2));
    uint16_t t = word(b, c.temperature_first ? 0 : 3);
    uint16_t rh = word(b, c.temperature_first ? 3 : 0);
    EXPECT_NEAR(celsius(t), 23.7, 175.0 / 65536);
    EXPECT_NEAR(percent(rh), 41.2, 100.0 / 65536);
    EXPECT_TRUE(read(6).empty()) << "the data is read once";
  }
  EXPECT_EQ(sensor_.measurements(), 8u);
}

TEST_F(Shtc3OnI2c2, ValuesAtTheEndsOfTheRangeSaturate) {
  struct Case {
    double t, rh;
    uint16_t raw_t, raw_rh;
  } cases[] = {{-45.0, 0.0, 0x0000, 0x0000}, {130.0, 100.0, 0xFFFF, 0xFFFF}, {-60.0, -5.0, 0, 0}};
  for (const Case& c : cases) {
    sensor_.set_temperature(c.t);
    sensor_.set_humidity(c.rh);
    ASSERT_EQ(command(0x7CA2), HAL_I2C_ERROR_NONE);
    std::vector<uint8_t> b = read(6);
    ASSERT_EQ(b.size(), 6u);
    EXPECT_EQ(word(b, 0), c.raw_t) << c.t;
    EXPECT_EQ(word(b, 3), c.raw_rh) << c.rh;
  }
}

TEST_F(Shtc3OnI2c2, AsleepItTakesOnlyTheWakeUp) {
  ASSERT_EQ(command(0xB098), HAL_I2C_ERROR_NONE);
  EXPECT_TRUE(sensor_.asleep());
  EXPECT_EQ(command(0x7CA2), HAL_I2C_ERROR_AF) << "a measurement is refused";
  EXPECT_EQ(command(0xEFC8), HAL_I2C_ERROR_AF);
  EXPECT_TRUE(read(3).empty());
  EXPECT_EQ(sensor_.measurements(), 0u);
  ASSERT_EQ(command(0x3517), HAL_I2C_ERROR_NONE);
  EXPECT_FALSE(sensor_.asleep());
  ASSERT_EQ(command(0x7CA2), HAL_I2C_ERROR_NONE);
  EXPECT_EQ(read(6).size(), 6u);
}

TEST_F(Shtc3OnI2c2, OnlyItsAddressAndKnownCommandsGiveData) {
  EXPECT_EQ(command(0x7CA2, 0x71), HAL_I2C_ERROR_AF);
  EXPECT_TRUE(read(6).empty()) << "nothing to read before a command";
  ASSERT_EQ(command(0x1234), HAL_I2C_ERROR_NONE);
  EXPECT_TRUE(read(2).empty()) << "an unknown command leaves nothing to read";
  ASSERT_EQ(command(0x7CA2), HAL_I2C_ERROR_NONE);
  ASSERT_EQ(command(0xEFC8), HAL_I2C_ERROR_NONE);
  std::vector<uint8_t> b = read(3);
  ASSERT_EQ(b.size(), 3u);
  EXPECT_EQ(word(b, 0), sim::Shtc3::kDefaultId) << "the last command decides what is read";
}

TEST_F(Shtc3OnI2c2, TheRegistryAttachesItByDataWithItsSettings) {
  sim::i2c_attach(2, sim::Shtc3::kAddress, nullptr);
  std::string error;
  auto made = sim::devices::create("shtc3@i2c2:0x70,t=-10.5,rh=95", &error);
  ASSERT_TRUE(made) << error;
  ASSERT_EQ(command(0x7CA2), HAL_I2C_ERROR_NONE);
  std::vector<uint8_t> b = read(6);
  ASSERT_EQ(b.size(), 6u);
  EXPECT_NEAR(celsius(word(b, 0)), -10.5, 175.0 / 65536);
  EXPECT_NEAR(percent(word(b, 3)), 95.0, 100.0 / 65536);
  made.reset();
  EXPECT_EQ(command(0x7CA2), HAL_I2C_ERROR_AF) << "gone with its instance";

  made = sim::devices::create("shtc3@i2c2:0x70,nack=1", &error);
  ASSERT_TRUE(made) << error;
  EXPECT_EQ(command(0x3517), HAL_I2C_ERROR_AF) << "an absent sensor";
  made.reset();

  for (const char* bad :
       {"shtc3@uart1", "shtc3@i2c2:0x70,t=warm", "shtc3@i2c2:0x70,humidity=3",
        "shtc3@i2c2:0x70,nack=2", "shtc3@i2c2:0x80", "shtc3@i2c2", "shtc3", "nosuch@i2c2:0x70"}) {
    error.clear();
    EXPECT_FALSE(sim::devices::create(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  EXPECT_EQ(command(0x7CA2), HAL_I2C_ERROR_AF) << "a refused entry attached nothing";
}

}  // namespace
