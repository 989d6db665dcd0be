// The bus seams themselves: targets found by address or chip select, whole
// transactions with their acknowledges, and a core reset unplugging them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/host.h"
#include "sim/i2c_bus.h"
#include "sim/spi_bus.h"

namespace {

struct Recorder : sim::I2cTarget, sim::SpiTarget {
  std::string seen;
  int refuse_after = -1;  // written bytes taken before a NACK
  int written = 0;
  bool start(bool read) override {
    seen += read ? "R" : "W";
    return true;
  }
  bool write(uint8_t b) override {
    seen += std::to_string(b) + " ";
    return refuse_after < 0 || written++ < refuse_after;
  }
  uint8_t read() override { return 0xA0; }
  void stop() override { seen += "P"; }
  void select(bool on) override { seen += on ? "[" : "]"; }
  uint8_t transfer(uint8_t mosi) override { return static_cast<uint8_t>(~mosi); }
};

class Buses : public ::testing::Test {
 protected:
  void SetUp() override { sim::host::reset_core(); }
  void TearDown() override { sim::host::reset_core(); }
};

TEST_F(Buses, AnI2cTransactionAndWhereItsAcknowledgeWasMissing) {
  Recorder t;
  sim::i2c_attach(1, 0x48, &t);
  const uint8_t w[] = {1, 2};
  uint8_t r[2] = {};
  EXPECT_EQ(sim::i2c_transfer(1, 0x48, w, 2, r, 2), sim::I2cResult::kOk);
  EXPECT_EQ(t.seen, "W1 2 RP") << "write, repeated start, read, one stop";
  EXPECT_EQ(r[1], 0xA0);
  EXPECT_EQ(sim::i2c_transfer(0, 0x48, w, 2, r, 2), sim::I2cResult::kAddressNack) << "another bus";
  t.seen.clear();
  t.refuse_after = 1;
  EXPECT_EQ(sim::i2c_transfer(1, 0x48, w, 2, r, 2), sim::I2cResult::kDataNack);
  EXPECT_EQ(t.seen, "W1 2 P");
  t.seen.clear();
  EXPECT_EQ(sim::i2c_transfer(1, 0x48, nullptr, 0, nullptr, 0), sim::I2cResult::kOk);
  EXPECT_EQ(t.seen, "WP") << "a probe";
  sim::host::reset_core();
  EXPECT_EQ(sim::i2c_target(1, 0x48), nullptr);
}

TEST_F(Buses, AnSpiWindowIsFullDuplexUnderItsChipSelect) {
  Recorder t;
  sim::spi_attach(1, 2, &t);
  const uint8_t out[] = {0x0F, 0x55};
  uint8_t in[2] = {};
  EXPECT_TRUE(sim::spi_transfer(1, 2, out, in, 2));
  EXPECT_EQ(t.seen, "[]");
  EXPECT_EQ(in[0], 0xF0);
  EXPECT_EQ(in[1], 0xAA);
  EXPECT_FALSE(sim::spi_transfer(1, 1, out, in, 2));
  EXPECT_EQ(in[0], 0xFF) << "nobody drives MISO";
  sim::host::reset_core();
  EXPECT_EQ(sim::spi_target(1, 2), nullptr);
}

}  // namespace
