// HardwareSerial over a stand-in serial layer and configuration store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api_fakes.h"
#include "api_hardware_serial.h"

using apifake::world;

namespace {

class ApiSerial : public ::testing::Test {
 protected:
  void SetUp() override { apifake::reset(); }
};

struct Line {
  SERIAL_WORD_LEN_E bits;
  SERIAL_STOP_BIT_E stop;
  SERIAL_PARITY_E parity;
};

TEST_F(ApiSerial, EveryConfigurationByte) {
  const auto W5 = SERIAL_WORD_LEN_5, W6 = SERIAL_WORD_LEN_6, W7 = SERIAL_WORD_LEN_7,
             W8 = SERIAL_WORD_LEN_8;
  const auto S1 = SERIAL_STOP_BIT_1, S2 = SERIAL_STOP_BIT_2;
  const auto N = SERIAL_PARITY_DISABLE, E = SERIAL_PARITY_EVEN, O = SERIAL_PARITY_ODD;
  const std::map<uint8_t, Line> table = {
      {0x00, {W5, S1, N}}, {0x02, {W6, S1, N}}, {0x04, {W7, S1, N}}, {0x06, {W8, S1, N}},
      {0x08, {W5, S2, N}}, {0x0A, {W6, S2, N}}, {0x0C, {W7, S2, N}}, {0x0E, {W8, S2, N}},
      {0x20, {W5, S1, E}}, {0x22, {W6, S1, E}}, {0x24, {W7, S1, E}}, {0x26, {W8, S1, E}},
      {0x28, {W5, S2, E}}, {0x2C, {W6, S2, E}}, {0x2D, {W7, S2, E}}, {0x2E, {W8, S2, E}},
      {0x30, {W5, S1, O}}, {0x32, {W6, S1, O}}, {0x34, {W7, S1, O}}, {0x36, {W8, S1, O}},
      {0x38, {W5, S2, O}}, {0x3A, {W6, S2, O}}, {0x3C, {W7, S2, O}}, {0x3E, {W8, S2, O}},
  };
  // The macros are the table's bytes.
  EXPECT_EQ(SERIAL_6E2, 0x2C);
  EXPECT_EQ(SERIAL_7E2, 0x2D);
  EXPECT_EQ(SERIAL_8N1, 0x06);
  for (int config = 0; config < 256; ++config) {
    apifake::reset();
    Serial1.begin(9600, static_cast<uint8_t>(config), ZEM_CUSTOM_MODE);
    ASSERT_EQ(world.inits.size(), 1u);
    const apifake::SerialInit &init = world.inits[0];
    auto it = table.find(static_cast<uint8_t>(config));
    const Line want = it != table.end() ? it->second : Line{W8, S1, N};
    EXPECT_EQ(init.word_length, want.bits) << config;
    EXPECT_EQ(init.stop_bits, want.stop) << config;
    EXPECT_EQ(init.parity, want.parity) << config;
    EXPECT_EQ(init.port, SERIAL_UART1);
    EXPECT_EQ(init.baud, 9600u);
    EXPECT_EQ(init.wire, SERIAL_TWO_WIRE_NORMAL_MODE);
  }
}

// The baud rate is stored for every port first, then the port is enabled
// and opened, then the mode is settled.
TEST_F(ApiSerial, BeginOnACustomModePort) {
  world.mode[SERIAL_UART1] = SERVICE_MODE_TYPE_CUSTOM;
  Serial1.begin(9600, SERIAL_7E2, ZEM_DEFAULT_MODE);
  EXPECT_EQ(world.log, (std::vector<std::string>{"baud 9600", "enable 1", "init 1"}));
  EXPECT_EQ(world.baudrate, 9600u);
  EXPECT_EQ(Serial2.getBaudrate(), 9600u) << "one baud rate for every port";
  EXPECT_EQ(world.mode[SERIAL_UART1], SERVICE_MODE_TYPE_CUSTOM);
}

TEST_F(ApiSerial, BeginInAtModeStartsTheLineEditor) {
  world.mode[SERIAL_UART1] = SERVICE_MODE_TYPE_CUSTOM;
  Serial1.begin(115200, 0x2A, ZEM_AT_MODE);
  // 115200 is already the stored rate: the record is not rewritten for it.
  EXPECT_EQ(world.log, (std::vector<std::string>{"enable 1", "init 1", "mode 1 0", "cli 1"}));
  ASSERT_EQ(world.inits.size(), 1u);
  EXPECT_EQ(world.inits[0].word_length, SERIAL_WORD_LEN_8);
  EXPECT_EQ(world.inits[0].stop_bits, SERIAL_STOP_BIT_1);
  EXPECT_EQ(world.inits[0].parity, SERIAL_PARITY_DISABLE);
}

TEST_F(ApiSerial, ModeSettlement) {
  const auto CLI = SERVICE_MODE_TYPE_CLI, CUSTOM = SERVICE_MODE_TYPE_CUSTOM;
  struct Case {
    HardwareSerial *serial;
    SERIAL_PORT port;
    uint8_t mode;
    SERVICE_MODE_TYPE stored;
    SERVICE_MODE_TYPE after;
    bool line_editor;
  };
  const std::vector<Case> cases = {
      // The factory defaults: UART0 and UART1 custom, UART2 AT.
      {&Serial0, SERIAL_UART0, ZEM_DEFAULT_MODE, CLI, CUSTOM, false},
      {&Serial1, SERIAL_UART1, ZEM_DEFAULT_MODE, CLI, CUSTOM, false},
      {&Serial2, SERIAL_UART2, ZEM_DEFAULT_MODE, CUSTOM, CLI, true},
      {&Serial, SERIAL_UART2, ZEM_DEFAULT_MODE, CLI, CLI, false},
      {&Serial2, SERIAL_UART2, ZEM_AT_MODE, CLI, CLI, false},
      {&Serial2, SERIAL_UART2, ZEM_CUSTOM_MODE, CLI, CUSTOM, false},
      {&Serial0, SERIAL_UART0, ZEM_AT_MODE, CUSTOM, CLI, true},
      {&Serial0, SERIAL_UART0, ZEM_CUSTOM_MODE, CUSTOM, CUSTOM, false},
      // Any other mode value changes nothing.
      {&Serial2, SERIAL_UART2, 3, CUSTOM, CUSTOM, false},
      {&Serial1, SERIAL_UART1, 255, CLI, CLI, false},
  };
  for (const Case &c : cases) {
    apifake::reset();
    world.mode[c.port] = c.stored;
    c.serial->begin(115200, SERIAL_8N1, c.mode);
    EXPECT_EQ(world.mode[c.port], c.after) << int(c.port) << " mode " << int(c.mode);
    const bool stored = c.after != c.stored;
    const std::string cli = "cli " + std::to_string(c.port);
    EXPECT_EQ(world.log.back() == cli, c.line_editor) << int(c.port) << " mode " << int(c.mode);
    // enable and init; the unchanged rate is not stored again.
    EXPECT_EQ(world.log.size(), 2u + (stored ? 1 : 0) + (c.line_editor ? 1 : 0));
    ASSERT_EQ(world.inits.size(), 1u);
    EXPECT_EQ(world.inits[0].port, c.port);
  }
}

TEST_F(ApiSerial, FailedModeStoreStartsNoLineEditor) {
  world.mode[SERIAL_UART0] = SERVICE_MODE_TYPE_CUSTOM;
  world.mode_set_result = -UDRV_INTERNAL_ERR;
  Serial0.begin(115200, SERIAL_8N1, ZEM_AT_MODE);
  EXPECT_EQ(world.log, (std::vector<std::string>{"enable 0", "init 0", "mode 0 0"}));
}

TEST_F(ApiSerial, TheImagesObjects) {
  struct Case {
    HardwareSerial *serial;
    SERIAL_PORT port;
  };
  for (const Case c : {Case{&Serial, SERIAL_UART2}, Case{&Serial0, SERIAL_UART0},
                       Case{&Serial1, SERIAL_UART1}, Case{&Serial2, SERIAL_UART2}}) {
    apifake::reset();
    EXPECT_EQ(c.serial->write(static_cast<uint8_t>('q')), 1);
    EXPECT_EQ(c.serial->print("rs"), 2);
    EXPECT_EQ(world.port[c.port].tx, "qrs") << int(c.port);
  }
}

TEST_F(ApiSerial, BytesInAndOut) {
  world.port[SERIAL_UART1].rx = "ab";
  EXPECT_EQ(Serial1.available(), 2);
  EXPECT_EQ(Serial1.peek(), 'a');
  EXPECT_EQ(Serial1.read(), 'a');
  EXPECT_EQ(Serial1.read(), 'b');
  EXPECT_EQ(Serial1.available(), 0);
  EXPECT_EQ(Serial1.read(), -1) << "no data";
  world.port[SERIAL_UART1].peek_result = -UDRV_NOT_BOUND;
  EXPECT_EQ(Serial1.peek(), -UDRV_NOT_BOUND);
  // A byte 0xFF reads as 255, not as "none".
  world.port[SERIAL_UART1].rx = "\xff";
  EXPECT_EQ(Serial1.read(), 255);
  Serial1.flush();
  EXPECT_EQ(world.port[SERIAL_UART1].flushes, 1);
}

TEST_F(ApiSerial, WritesToALockedPortPassOnItsResult) {
  world.port[SERIAL_UART2].locked = true;
  EXPECT_EQ(Serial.write(static_cast<uint8_t>('x')), -UDRV_TEMP_LOCKED);
  EXPECT_EQ(Serial.print("abc"), -UDRV_TEMP_LOCKED);
  EXPECT_EQ(Serial.println("abc"), -2 * UDRV_TEMP_LOCKED);
  EXPECT_EQ(Serial.printf("%d", 7), 1) << "printf returns the rendered length";
  EXPECT_EQ(world.port[SERIAL_UART2].tx, "");
}

TEST_F(ApiSerial, PrintfOfALongText) {
  const std::string text(300, 'z');
  EXPECT_EQ(Serial.printf("%s", text.c_str()), 300);
  EXPECT_EQ(world.port[SERIAL_UART2].tx, text.substr(0, 255));
}

TEST_F(ApiSerial, NullOrEmptyTextPrintsNothingAndSucceeds) {
  EXPECT_EQ(Serial.print(static_cast<const char *>(nullptr)), 0);
  EXPECT_EQ(Serial.print(""), 0);
  EXPECT_EQ(Serial.print(String("")), 0);
  EXPECT_EQ(Serial.print(String(static_cast<const char *>(nullptr))), 0);
  EXPECT_EQ(Serial.write(""), 0);
  EXPECT_EQ(Serial.println(""), 2) << "only the line end is written";
  EXPECT_EQ(world.port[SERIAL_UART2].tx, "\r\n");
}

}  // namespace
