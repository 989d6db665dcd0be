// TwoWire over a stand-in of the driver layer's I2C master class: a bus per
// port with devices that answer from a byte pattern or refuse their address.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "api_wire.h"

namespace {

struct Transfer {
  int port;
  uint8_t address;
  std::vector<uint8_t> data;  // written, or the length read as data.size()
  bool read;
  bool stop;
};

struct Bus {
  std::vector<Transfer> log;
  std::map<int, uint8_t> present;  // (port << 8 | address) -> first byte of the pattern
  std::vector<int> inits;
} bus;

bool answers(int port, uint8_t address) { return bus.present.count(port << 8 | address) != 0; }

}  // namespace

void udrv_twimst_init(udrv_twimst_port port) { bus.inits.push_back(port); }
int32_t udrv_twimst_write(udrv_twimst_port port, uint8_t address, uint8_t const *data, uint16_t len,
                          bool send_stop) {
  bus.log.push_back({port, address, std::vector<uint8_t>(data, data + len), false, send_stop});
  return answers(port, address) ? 0 : -UDRV_NACK;
}
int32_t udrv_twimst_read(udrv_twimst_port port, uint8_t address, uint8_t *data, uint16_t len) {
  bus.log.push_back({port, address, std::vector<uint8_t>(len), true, true});
  if (!answers(port, address)) return -UDRV_NACK;
  uint8_t b = bus.present[port << 8 | address];
  for (uint16_t i = 0; i < len; i++) data[i] = static_cast<uint8_t>(b + i);
  return 0;
}

namespace {

class WireTest : public testing::Test {
 protected:
  void SetUp() override {
    bus = {};
    bus.present[0x19] = 0x10;           // port 0
    bus.present[1 << 8 | 0x44] = 0xA0;  // port 1
    Wire.begin();
    Wire1.begin();
  }
};

TEST_F(WireTest, BeginOpensTheObjectsPort) { EXPECT_EQ(bus.inits, (std::vector<int>{0, 1})); }

TEST_F(WireTest, TransmitBufferHoldsSixtyFourBytes) {
  Wire.beginTransmission(0x19);
  for (int i = 0; i < 64; i++) EXPECT_EQ(Wire.write(static_cast<uint8_t>(i)), 1);
  EXPECT_EQ(Wire.write(uint8_t{0xEE}), 0);  // the 65th is refused
  EXPECT_EQ(Wire.endTransmission(), 0);
  ASSERT_EQ(bus.log.size(), 1u);
  EXPECT_EQ(bus.log[0].data.size(), 64u);
  EXPECT_EQ(bus.log[0].data.back(), 63);
  EXPECT_TRUE(bus.log[0].stop);
  // The buffer is empty again after the transmission; write(int) takes the
  // low byte and the run form returns the count given.
  Wire.beginTransmission(0x19);
  EXPECT_EQ(Wire.write(0x1234), 1);
  const uint8_t run[] = {1, 2};
  EXPECT_EQ(Wire.write(run, 2), 2);
  EXPECT_EQ(Wire.endTransmission(0), 0);
  EXPECT_EQ(bus.log[1].data, (std::vector<uint8_t>{0x34, 1, 2}));
  EXPECT_FALSE(bus.log[1].stop);
}

TEST_F(WireTest, RequestReadsAtMostSixtyFourAndThenRunsDry) {
  EXPECT_EQ(Wire.requestFrom(0x19, 100), 64);
  EXPECT_EQ(bus.log.back().data.size(), 64u);
  EXPECT_EQ(Wire.available(), 64);
  EXPECT_EQ(Wire.peek(), 0x10);
  EXPECT_EQ(Wire.read(), 0x10);
  for (int i = 1; i < 64; i++) EXPECT_EQ(Wire.read(), 0x10 + i);
  EXPECT_EQ(Wire.available(), 0);
  EXPECT_EQ(Wire.read(), -1);
  EXPECT_EQ(Wire.peek(), -1);
  // The longer forms read the same way.
  EXPECT_EQ(Wire.requestFrom(0x19, 2, uint8_t{1}), 2);
  EXPECT_EQ(Wire.requestFrom(0x19, 3, 0x28u, 1, 1), 3);
  EXPECT_EQ(Wire.available(), 3);
}

TEST_F(WireTest, DeviceThatDoesNotAnswer) {
  ASSERT_EQ(Wire.requestFrom(0x19, 2), 2);
  Wire.beginTransmission(0x70);
  Wire.write(0x35);
  EXPECT_EQ(Wire.endTransmission(), 1);
  // A failed request leaves the bytes received before.
  EXPECT_EQ(Wire.requestFrom(0x70, 6), 0);
  EXPECT_EQ(Wire.available(), 2);
  EXPECT_EQ(Wire.read(), 0x10);
  // A device on the other port is not on this one.
  EXPECT_EQ(Wire.requestFrom(0x44, 1), 0);
}

TEST_F(WireTest, ObjectsShareTheirBuffers) {
  ASSERT_EQ(Wire.requestFrom(0x19, 4), 4);
  EXPECT_EQ(Wire.read(), 0x10);
  ASSERT_EQ(Wire1.requestFrom(0x44, 2), 2);
  EXPECT_EQ(Wire.available(), 2);
  EXPECT_EQ(Wire.read(), 0xA0);
  EXPECT_EQ(bus.log.back().port, 1);
}

}  // namespace
