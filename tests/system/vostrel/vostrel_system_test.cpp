// The cellular tracker board (Vostrel image) driven as a user drives it:
// AT lines on UART0 and the USB port, the modem model on UART1 with its
// power key and status line, the pins the board drives, and what the modem
// receives.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation.h"
#include "hostutil/escape.h"

namespace {

using fdn::collect;
using fdn::exchange;
using systest::Device;
using systest::DeviceOptions;
using systest::ms;
using systest::sec;
using systest::World;

constexpr int kUart0 = 0, kUsb = 3;

const std::string kStartLines = "\r\n\r\n\r\n";  // one per port in AT mode
const std::string kPowerUp = "BG96_PowerUp\r\n";
const std::string kRefused = "This command is not available on QIV3\r\n";

struct Board {
  std::string modem = "";  // settings of the modem model; "none": no modem
  std::vector<std::string> more;
};

std::string modem_log(World& w) { return w.dir() + "/modem.log"; }
std::string pin_log(World& w) { return w.dir() + "/pins.log"; }

DeviceOptions vostrel(World& w, const Board& b = {}) {
  DeviceOptions o;
  o.image = "vostrel";
  o.ports = {kUart0, kUsb};
  o.extra_args = {"--pin-log", pin_log(w)};
  if (b.modem != "none") {
    std::string dev = "cellular-modem@uart1,log=" + modem_log(w);
    if (!b.modem.empty()) dev += "," + b.modem;
    o.extra_args.push_back("--device");
    o.extra_args.push_back(dev);
  }
  o.extra_args.insert(o.extra_args.end(), b.more.begin(), b.more.end());
  return o;
}

std::string read_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// What the modem received (its "in" records) or sent ("out"), in order, as
// one text.
std::string modem_bytes(World& w, const std::string& dir) {
  std::istringstream lines(read_text(modem_log(w)));
  std::string line, heard;
  const std::string mark = " " + dir + " ";
  while (std::getline(lines, line)) {
    size_t at = line.find(mark);
    if (at == std::string::npos) continue;
    std::string bytes, why;
    EXPECT_TRUE(hostutil::unescape(line.substr(at + mark.size()), &bytes, &why)) << why;
    heard += bytes;
  }
  return heard;
}

std::string modem_heard(World& w) { return modem_bytes(w, "in"); }
std::string modem_said(World& w) { return modem_bytes(w, "out"); }

struct PinChange {
  uint64_t t;
  std::string pin;
  int level;
};
std::vector<PinChange> pin_changes(World& w) {
  std::istringstream lines(read_text(pin_log(w)));
  std::vector<PinChange> out;
  PinChange c;
  while (lines >> c.t >> c.pin >> c.level) out.push_back(c);
  return out;
}

// Starts the board and lets its start-up end.
Device& started(World& w, const Board& b = {}) {
  Device& d = w.start("v", vostrel(w, b));
  EXPECT_TRUE(d.wait_output(kUart0, "Version: Vostrel", sec(20)));
  w.run_for(sec(1));
  d.take(kUart0);
  d.take(kUsb);
  return d;
}

TEST(StartUp, ModemPoweredUpThenTheBanner) {
  World w;
  Device& d = w.start("v", vostrel(w));
  EXPECT_TRUE(d.wait_output(kUart0, "Vostrel-M\r\n", sec(10)));
  // No sensor answers on this board (none attached): the reduced banner.
  // The modem's own start-up line comes through the pass-through while the
  // sensors' waits serve events.
  EXPECT_EQ(d.output(kUart0), kStartLines + kPowerUp + "\r\nRDY\r\n" + "Version: Vostrel-M\r\n");
  EXPECT_TRUE(d.wait_output(kUsb, "Version: Vostrel-M\r\nVelnatronic Vostrel\r\n", sec(1)));
  EXPECT_TRUE(exchange(d, kUart0, "AT\r", "OK\r\n"));
}

TEST(StartUp, PowerKeyTimeline) {
  World w;
  started(w);
  // Power-off pulse (1000 ms high, 1000 ms low), then the power-on press:
  // P0.29 high with the key, 200 ms, key released, both supplies on.
  std::vector<PinChange> c = pin_changes(w);
  ASSERT_GE(c.size(), 7u);
  uint64_t t0 = c[0].t;
  struct Want {
    uint64_t dt_ms;
    const char* pin;
    int level;
  };
  const Want want[] = {{0, "P0.02", 1},    {1000, "P0.02", 0}, {2000, "P0.02", 1},
                       {2000, "P0.29", 1}, {2200, "P0.02", 0}, {2200, "P1.07", 1},
                       {2200, "P1.09", 1}};
  for (size_t i = 0; i < std::size(want); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(c[i].t - t0, want[i].dt_ms * 1000);
    EXPECT_EQ(c[i].pin, want[i].pin);
    EXPECT_EQ(c[i].level, want[i].level);
  }
  EXPECT_EQ(c.size(), 7u);  // nothing more while the modem stays on
  // The modem comes on from the turn-on press, when it ends; the power-off
  // pulse before it leaves a modem that is off, off.
  std::istringstream log(read_text(modem_log(w)));
  std::string line;
  std::vector<std::string> states;
  while (std::getline(log, line))
    if (line.find(" in ") == std::string::npos && line.find(" out ") == std::string::npos)
      states.push_back(line);
  ASSERT_GE(states.size(), 2u);
  EXPECT_EQ(states[0], std::to_string(t0 + 2200 * 1000) + " booting");
  EXPECT_EQ(states[1], std::to_string(t0 + 2500 * 1000) + " on");
}

TEST(StartUp, ModemLeftOnIsSwitchedOffFirst) {
  World w;
  started(w, {"on=1"});
  std::vector<PinChange> c = pin_changes(w);
  ASSERT_GE(c.size(), 4u);
  // The boot's power-off pulse, then the power-up's own pulse.
  EXPECT_EQ(c[0].pin, "P0.02");
  EXPECT_EQ(c[1].t - c[0].t, 1000000u);
  EXPECT_EQ(c[2].pin, "P0.02");
  EXPECT_GE(c[2].t - c[0].t, 2000000u);
  EXPECT_EQ(c[2].level, 1);
}

// A modem that never comes on: start-up gives up after a bounded number of
// power-up attempts and the board answers on its AT ports.
TEST(StartUp, DeadModemDoesNotHangTheStart) {
  for (const char* modem : {"dead=1", "none"}) {
    SCOPED_TRACE(modem);
    World w;
    Device& d = w.start("v", vostrel(w, {modem}));
    EXPECT_TRUE(d.wait_output(kUart0, "Version: Vostrel-M\r\n", sec(30)));
    EXPECT_TRUE(exchange(d, kUart0, "AT\r", "OK\r\n"));
    int presses = 0;
    for (const PinChange& c : pin_changes(w)) presses += c.pin == "P0.02" && c.level == 1;
    EXPECT_GE(presses, 2);
    EXPECT_LE(presses, 8);
  }
}

// The modem commands built from the typed names, what the modem gets and
// what the AT port answers.
TEST(Cellular, CommandsSentToTheModem) {
  struct Case {
    const char* line;
    const char* sent;
    const char* reply;
  };
  const Case cases[] = {
      {"ATCELL+csq", "AT+CSQ\r\n", "OK\r\n"},
      {"ATCELL+CSQ?", "AT+CSQ?\r\n", "OK\r\n"},
      {"ATCELL+CGDCONT=?", "AT+CGDCONT=?\r\n", "OK\r\n"},
      {"ATCELL+ATI", "ATI\r\n", "OK\r\n"},
      {"atcell+cgdcont=1,\"IP\",\"apn\"", "AT+CGDCONT=1,\"IP\",\"apn\"\r\n", "OK\r\n"},
      {"ATCELL=AT+CSQ", "AT+CSQ\r\x1a", "OK\r\n"},
      // A value with ':' is sent as typed.
      {"ATCELL+QIOPEN=1,0,\"TCP\",\"h:80\"", "AT+QIOPEN=1,0,\"TCP\",\"h:80\"\r\n", "OK\r\n"},
      {"ATCELL+IPR=9600", "", "This command is not available on QIV3\r\nOK\r\n"},
      {"ATCELL=AT+IPR=9600", "", "This command is not available on QIV3\r\nOK\r\n"},
      {"ATCELL+AT+IPR=9600", "", "This command is not available on QIV3\r\nOK\r\n"},
      {"ATCELL+ATIPR", "ATIPR\r\n", "OK\r\n"},
      {"ATCELL", "", "AT_ERROR\r\n"},
      {"ATCELL?", "", "ATCELL: Send a command to LTE module\r\nOK\r\n"},
      {"ATCELLX", "", "AT_ERROR\r\n"},
      {"ATCELL-CSQ", "", "AT_ERROR\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    World w;
    Device& d = started(w, {"mute=1"});
    size_t before = modem_heard(w).size();
    d.write(kUart0, std::string(c.line) + "\r");
    w.run_for(ms(800));
    EXPECT_EQ(d.take(kUart0), c.reply);
    // A known command after it closes the modem's record of the bytes.
    d.write(kUart0, "ATCELL+AT\r");
    w.run_for(ms(800));
    EXPECT_EQ(modem_heard(w).substr(before), std::string(c.sent) + "AT\r\n");
  }
}

// The modem's answers come back on every AT port byte for byte.
TEST(Cellular, ModemAnswerPassedThrough) {
  for (const char* line : {"ATCELL+CSQ\r", "ATCELL+CSQ=?\r", "ATCELL+GMR\r", "ATCELL+NOPE\r"}) {
    SCOPED_TRACE(line);
    World w;
    Device& d = started(w);
    size_t before = modem_said(w).size();
    d.write(kUart0, line);
    EXPECT_TRUE(d.wait_output(kUart0, "OK\r\n", sec(1)));
    w.run_for(sec(1));
    std::string said = modem_said(w).substr(before);
    EXPECT_NE(said.find("\r\n"), std::string::npos);
    EXPECT_EQ(d.take(kUart0), said);
    EXPECT_EQ(d.take(kUsb), "OK\r\n" + said);
  }
}

TEST(Cellular, UploadOfTwentyBytesInDataMode) {
  World w;
  Device& d = started(w);
  d.write(kUart0, "ATCELL+QHTTPURL=20,80\r");
  EXPECT_TRUE(d.wait_output(kUart0, "CONNECT\r\nOK\r\n", sec(2)));
  const std::string url = "http://example.org/x";
  ASSERT_EQ(url.size(), 20u);
  d.write(kUsb, url);
  w.run_for(ms(500));
  EXPECT_NE(d.take(kUsb).find(url), std::string::npos);  // echoed on the USB port only
  EXPECT_EQ(d.take(kUart0), "");
  // The 21st byte ends the block; it is not sent.
  d.write(kUsb, "!");
  EXPECT_TRUE(d.wait_output(kUart0, "\r\n", sec(1)));
  EXPECT_TRUE(d.wait_output(kUart0, "\r\nOK\r\n", sec(2)));
  // A command after it closes the modem's record of the bytes.
  d.write(kUart0, "ATCELL+AT\r");
  w.run_for(sec(1));
  const std::string tail = url + "AT\r\n";
  std::string heard = modem_heard(w);
  ASSERT_GE(heard.size(), tail.size());
  EXPECT_EQ(heard.substr(heard.size() - tail.size()), tail);
  // What the modem stored, as it tells the user: the typed URL, no more and
  // no less, and the command after it is a command of its own.
  EXPECT_EQ(d.take(kUart0), "OK\r\nAT\r\n\r\nOK\r\n");
  d.write(kUart0, "ATCELL+QHTTPURL?\r");
  w.run_for(sec(1));
  EXPECT_NE(d.take(kUart0).find("+QHTTPURL: \"" + url + "\"\r\n\r\nOK\r\n"), std::string::npos);
  // Back to commands on the USB port.
  d.take(kUsb);
  EXPECT_TRUE(exchange(d, kUsb, "AT\r", "OK\r\n"));
}

// While an upload's bytes are typed on the USB port, a modem command from
// the other AT port is refused as busy: it neither wipes the bytes typed so
// far nor mixes into the block the modem stores.
TEST(Cellular, CommandFromTheOtherPortDuringAnUploadIsRefused) {
  World w;
  Device& d = started(w);
  d.write(kUart0, "ATCELL+QHTTPURL=20,80\r");
  EXPECT_TRUE(d.wait_output(kUart0, "CONNECT\r\nOK\r\n", sec(2)));
  const std::string url = "http://example.org/y";
  ASSERT_EQ(url.size(), 20u);
  d.write(kUsb, url.substr(0, 10));
  w.run_for(ms(300));
  d.take(kUart0);
  EXPECT_TRUE(exchange(d, kUart0, "ATCELL+CSQ\r", "AT_BUSY_ERROR\r\n", ms(800)));
  d.write(kUsb, url.substr(10) + "!");
  EXPECT_TRUE(d.wait_output(kUart0, "\r\nOK\r\n", sec(2)));
  d.take(kUart0);
  d.write(kUart0, "ATCELL+QHTTPURL?\r");
  w.run_for(sec(1));
  EXPECT_NE(d.take(kUart0).find("+QHTTPURL: \"" + url + "\"\r\n\r\nOK\r\n"), std::string::npos);
  // The upload is over: modem commands go through again (the module's OK,
  // then the modem's echo and answer).
  EXPECT_TRUE(exchange(d, kUart0, "ATCELL+AT\r", "OK\r\nAT\r\n\r\nOK\r\n", ms(800)));
}

// The upload command typed on the USB port with CR LF: the LF ends the
// command's line and is not the upload's first byte; the modem stores the
// typed bytes.
TEST(Cellular, UploadCommandTypedWithCrLfOnTheUsbPort) {
  World w;
  Device& d = started(w);
  d.write(kUsb, "ATCELL+QHTTPURL=20,80\r\n");
  EXPECT_TRUE(d.wait_output(kUsb, "CONNECT\r\nOK\r\n", sec(2)));
  const std::string url = "http://example.org/y";
  d.write(kUsb, url);
  w.run_for(ms(500));
  d.write(kUsb, "!");
  EXPECT_TRUE(d.wait_output(kUart0, "\r\nOK\r\n", sec(2)));
  d.take(kUart0);
  d.write(kUart0, "ATCELL+QHTTPURL?\r");
  w.run_for(sec(1));
  EXPECT_NE(d.take(kUart0).find("+QHTTPURL: \"" + url + "\"\r\n\r\nOK\r\n"), std::string::npos);
}

TEST(Cellular, UploadLineEndsAndErasing) {
  World w;
  Device& d = started(w);
  d.write(kUart0, "ATCELL+QFUPL=\"f.txt\",4,5\r");
  EXPECT_TRUE(d.wait_output(kUart0, "CONNECT\r\nOK\r\n", sec(2)));
  d.write(kUsb, "ab\x7fX\r\n");  // DEL takes the b back
  w.run_for(ms(300));
  EXPECT_EQ(d.take(kUart0), "\n\r\n");
  d.write(kUsb, "Z");
  EXPECT_TRUE(d.wait_output(kUart0, "+QFUPL: 4,", sec(2)));
  std::string heard = modem_heard(w);
  EXPECT_EQ(heard.substr(heard.size() - 4), "aX\r\n");
}

// A byte after the upload window has closed is an ordinary command byte.
TEST(Cellular, UploadWindowTimesOutToTheLineEditor) {
  World w;
  Device& d = started(w);
  d.write(kUart0, "ATCELL+QHTTPURL=20,2\r");
  EXPECT_TRUE(d.wait_output(kUart0, "CONNECT\r\nOK\r\n", sec(2)));
  w.run_for(sec(3));
  d.take(kUart0);
  d.take(kUsb);
  EXPECT_TRUE(exchange(d, kUsb, "AT\r", "OK\r\n"));
}

// No "CONNECT" within the wait (a mute modem): upload mode is not entered.
TEST(Cellular, UploadWithoutConnectStaysInCommandMode) {
  World w;
  Device& d = started(w, {"mute=1"});
  EXPECT_TRUE(exchange(d, kUart0, "ATCELL+QHTTPURL=20,80\r", "OK\r\n", ms(800)));
  d.take(kUsb);
  EXPECT_TRUE(exchange(d, kUsb, "AT\r", "OK\r\n"));
}

// Bad input: an upload too large for the command buffer, a name or value
// too long for it, and garbage from the modem.
TEST(Cellular, BadInputIsRefused) {
  World w;
  Device& d = started(w, {"mute=1"});
  size_t before = modem_heard(w).size();
  EXPECT_TRUE(exchange(d, kUart0, "ATCELL+QHTTPURL=1500,80\r", "AT_PARAM_ERROR\r\n", ms(800)));
  EXPECT_TRUE(exchange(d, kUart0, "ATCELL+QFUPL=\"f\",100000,80\r", "AT_PARAM_ERROR\r\n", ms(800)));
  std::string huge = "ATCELL=" + std::string(1600, 'A') + "\r";
  EXPECT_TRUE(exchange(d, kUart0, huge, "AT_PARAM_ERROR\r\n", ms(800)));
  huge = "ATCELL+QIOPEN=" + std::string(1600, 'B') + "\r";
  EXPECT_TRUE(exchange(d, kUart0, huge, "AT_PARAM_ERROR\r\n", ms(800)));
  EXPECT_EQ(modem_heard(w).substr(before), "");
  EXPECT_TRUE(exchange(d, kUart0, "AT\r", "OK\r\n"));
}
}  // namespace

namespace {

const std::vector<std::string> kSensors = {
    "shtc3@i2c0:0x70,t=42.5,rh=50", "pressure-sensor@i2c0:0x5c,hpa=1014",
    "light-sensor@i2c0:0x44,lux=10.24", "accelerometer@i2c0:0x19,x=1,y=-1,z=0.5"};

Board with_sensors(const std::vector<std::string>& sensors) {
  Board b;
  for (const std::string& s : sensors) {
    b.more.push_back("--device");
    b.more.push_back(s);
  }
  return b;
}

std::string fmt2(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

// Typed as a terminal types it, CR LF, on either port: the command runs
// once (its line end is one, even when the LF comes during the command's
// own waits) and every sensor answers.
TEST(Sensors, ReportShowsTheDataSheetConversions) {
  for (int port : {kUart0, kUsb}) {
    SCOPED_TRACE(port);
    World w;
    Device& d = started(w, with_sensors(kSensors));
    d.write(port, "ATC+SENSOR\r\n");
    EXPECT_TRUE(d.wait_output(port, "OK\r\n", sec(2)));
    w.run_for(ms(300));
    // The raw words the models hold, by the sensors' data sheets: SHTC3
    // T = (t + 45) / 175 * 2^16, RH = rh / 100 * 2^16; LPS22HB 4096 LSB/hPa;
    // OPT3001 0.01 lux * 2^E * R; LIS3DH at 2 g in low-power mode (the Z
    // enable bits the driver writes set LPen), 16 mg/digit, 8 bits
    // left-justified: 1 g is 63 (62.5 rounded), 0.5 g is 31.
    const double T = 32768, RH = 32768;
    const std::string dashes(51, '-'), equals(51, '=');
    const std::string want =
        "SHTC3:\r\nTemperature = " + fmt2(T / 65535 * 175 - 45) +
        "\xe3\x80\x82"
        "C\r\nHumidity = " +
        fmt2(RH / 65535 * 100) + "%\r\n" + dashes +
        "\r\nLPS2X:\r\nPressure = " + fmt2(0x3F6000 / 4096.0) + " hPa\r\n" + dashes +
        "\r\nOPT3001:\r\nLight = " + fmt2(1024 * 0.01) + " lux\r\n" + dashes +
        "\r\nLIS3DH:\r\nThe X  acceleration = " + fmt2(63 * 256 / 15987.0) +
        "\r\nThe Y  acceleration = " + fmt2(-63 * 256 / 15987.0) +
        "\r\nThe Z  acceleration = " + fmt2(31 * 256 / 15987.0) + "\r\n" + equals + "\r\n";
    std::string usb = d.output(kUsb);
    EXPECT_NE(usb.find(want), std::string::npos) << fdn::printable(usb);
    EXPECT_EQ(usb.find("fail"), std::string::npos) << fdn::printable(usb);
    EXPECT_EQ(usb.find("SHTC3:"), usb.rfind("SHTC3:")) << "run once";
  }
}

TEST(Sensors, AllFourAnswerTheFullBanner) {
  World w;
  Device& d = w.start("v", vostrel(w, with_sensors(kSensors)));
  EXPECT_TRUE(
      d.wait_output(kUart0, kStartLines + kPowerUp + "\r\nRDY\r\nVersion: Vostrel\r\n", sec(10)));
}

// A sensor that does not answer: the reduced banner, its failure line in
// the report, and the report goes on with the others.
TEST(Sensors, MissingSensorReportedAndTheRestGoesOn) {
  struct Case {
    size_t absent;
    const char* line;  // the report's line for it
  };
  const Case cases[] = {{0, "SHTC3 update fail!\r\nLPS2X:\r\n"},
                        {1, "LPS2X:\r\nPressure = 0.00 hPa\r\n"},
                        {2, "OPT3001 update fail!\r\nLIS3DH:\r\n"},
                        {3, "LIS3DH update fail!\r\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.absent);
    std::vector<std::string> s = kSensors;
    s[c.absent] += ",nack=1";
    World w;
    Device& d = w.start("v", vostrel(w, with_sensors(s)));
    EXPECT_TRUE(d.wait_output(kUart0, "Version: Vostrel-M\r\n", sec(10)));
    w.run_for(sec(1));
    d.take(kUsb);
    EXPECT_TRUE(exchange(d, kUart0, "ATC+SENSOR\r", "OK\r\n", sec(1)));
    std::string usb = d.take(kUsb);
    EXPECT_NE(usb.find(c.line), std::string::npos) << fdn::printable(usb);
    EXPECT_EQ(usb.find("Pressure = 0.00") == std::string::npos, c.absent != 1);
  }
}

// The sensors start in order and the start stops at the first that does
// not answer; every sensor still takes its first reading. With the light
// sensor missing, the accelerometer is not started (no identity read, no
// start-up settings), yet its first reading runs (settings, the three axes,
// settings back).
TEST(Sensors, StartStopsAtTheFirstMissingSensorButEveryOneIsRead) {
  for (bool light_missing : {false, true}) {
    SCOPED_TRACE(light_missing);
    World w;
    const std::string acc_log = w.dir() + "/accelerometer.log";
    std::vector<std::string> s = kSensors;
    if (light_missing) s[2] += ",nack=1";
    s[3] += ",log=" + acc_log;
    Device& d = w.start("v", vostrel(w, with_sensors(s)));
    ASSERT_TRUE(d.wait_output(kUart0, light_missing ? "Vostrel-M\r\n" : "Vostrel\r\n", sec(10)));
    std::string traffic;
    std::istringstream lines(read_text(acc_log));
    std::string line;
    while (std::getline(lines, line)) traffic += line.substr(line.find(' ') + 1) + ";";
    const std::string reading = "W 1F=C0;W 20=7F;W 23=88;R 28;R 2A;R 2C;W 1F=C0;W 20=0F;W 23=88;";
    EXPECT_EQ(traffic, (light_missing ? "" : "R 0F;W 1F=C0;W 20=4F;W 23=88;") + reading);
  }
}

TEST(Sensors, CommandInTheListing) {
  World w;
  Device& d = started(w);
  EXPECT_TRUE(
      exchange(d, kUart0, "ATC+SENSOR?\r", "ATC+SENSOR,RW: This get sensor data.\r\nOK\r\n"));
}

}  // namespace

namespace {

// The modem's echo of an escape ("AT+ATM", "AT+BOOT" and a line end) is
// modem output like any other: the link stays in pass-through and the board
// stays in its application, across a restart too.
TEST(Cellular, ModemEchoOfAnEscapeIsNotTaken) {
  for (const char* line :
       {"ATCELL=AT+ATM\r", "ATCELL+ATM\r", "ATCELL=AT+BOOT\r", "ATCELL+BOOT\r"}) {
    SCOPED_TRACE(line);
    World w;
    Device& d = started(w);
    d.write(kUart0, line);
    w.run_for(sec(1));
    d.take(kUart0);
    for (int round = 0; round < 2; round++) {
      size_t before = modem_said(w).size();
      d.write(kUart0, "ATCELL+CSQ\r");
      EXPECT_TRUE(d.wait_output(kUart0, "OK\r\n", sec(1)));
      w.run_for(sec(1));
      std::string said = modem_said(w).substr(before);
      EXPECT_NE(said.find("+CSQ: 20,99"), std::string::npos);
      EXPECT_EQ(d.take(kUart0), said);
      d.restart();
      EXPECT_TRUE(d.wait_output(kUart0, "Version: Vostrel-M\r\n", sec(20)));
      w.run_for(sec(1));
      d.take(kUart0);
    }
  }
}

}  // namespace

namespace {

// UART0 hands its bytes over one at a time with a CR/LF pair folded into
// one line end; a burst is worked through to its end without waiting for
// more bytes to come.
TEST(Uart0, LineEndsFoldedAndBurstsWorkedThrough) {
  struct Case {
    const char* typed;
    std::string reply;
  };
  const std::string ok = "OK\r\n";
  const Case cases[] = {{"AT\r\n", ok},
                        {"AT\r", ok},
                        {"AT\n", ok},
                        {"AT\r\r", ok},
                        {"AT\n\r", ok},
                        {"\r\n\r\nAT\r\n", ok},
                        {"AT\r\nAT\r\nAT\r\n", ok + ok + ok}};
  World w;
  Device& d = started(w);
  for (const Case& c : cases) {
    SCOPED_TRACE(fdn::printable(c.typed));
    EXPECT_TRUE(exchange(d, kUart0, c.typed, c.reply));
  }
}

}  // namespace

namespace {

// Upload data holding a NUL byte reach the modem whole: it counts them all.
TEST(Cellular, UploadWithANulByteSentWhole) {
  World w;
  Device& d = started(w);
  d.write(kUart0, "ATCELL+QFUPL=\"f.bin\",3,5\r");
  EXPECT_TRUE(d.wait_output(kUart0, "CONNECT\r\nOK\r\n", sec(2)));
  d.write(kUsb, std::string("a\0b", 3));
  w.run_for(ms(200));
  d.write(kUsb, "Z");
  EXPECT_TRUE(d.wait_output(kUart0, "+QFUPL: 3,", sec(2)));
}

}  // namespace

namespace {

// The modem's power states from its transcript ("<time_us> on", ...).
struct ModemState {
  uint64_t t;
  std::string state;
};
std::vector<ModemState> modem_states(World& w) {
  std::istringstream lines(read_text(modem_log(w)));
  std::vector<ModemState> out;
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream f(line);
    ModemState s;
    std::string rest;
    if (!(f >> s.t)) continue;
    std::getline(f >> std::ws, rest);
    if (rest == "on" || rest == "off" || rest == "booting" || rest == "shutting down") {
      s.state = rest;
      out.push_back(s);
    }
  }
  return out;
}

// The modem's state at a time.
std::string modem_state_at(World& w, uint64_t t) {
  std::string state = "off";
  for (const ModemState& s : modem_states(w))
    if (s.t <= t) state = s.state;
  return state;
}

// Times at which the power key was pressed, from `from` on.
std::vector<uint64_t> key_presses(World& w, uint64_t from) {
  std::vector<uint64_t> out;
  for (const PinChange& c : pin_changes(w))
    if (c.t >= from && c.pin == "P0.02" && c.level == 1) out.push_back(c.t);
  return out;
}

// With the low-power mode on the board sleeps as soon as it has nothing to
// do: the modem is switched off (one long press, its lines let go) and
// stays off while the board sleeps. A byte from the USB host wakes the
// board: the modem is powered up before anything else runs, and the board
// stays awake 60 s with the modem on, then sleeps again.
TEST(Sleep, ModemOffWhileAsleepOnAgainAfterTheWakeForTheWholeWindow) {
  World w;
  Board b;
  b.more = {"--rtt-log", "1"};
  Device& d = started(w, b);
  ASSERT_EQ(modem_state_at(w, w.now()), "on");
  const uint64_t lpm = w.now();
  ASSERT_TRUE(exchange(d, kUsb, "AT+LPM=1\r", "OK\r\n"));
  w.run_for(sec(10));
  // The sleep: a 1000 ms press switches the modem off, the supply follows.
  std::vector<uint64_t> presses = key_presses(w, lpm);
  ASSERT_EQ(presses.size(), 1u);
  const uint64_t asleep = presses[0];
  std::vector<PinChange> c = pin_changes(w);
  bool released = false, supply_off = false;
  for (const PinChange& p : c) {
    released = released || (p.t == asleep + 1000000 && p.pin == "P0.02" && p.level == 0);
    supply_off = supply_off || (p.t == asleep + 2000000 && p.pin == "P1.07" && p.level == 0);
  }
  EXPECT_TRUE(released);
  EXPECT_TRUE(supply_off);
  EXPECT_EQ(modem_state_at(w, w.now()), "off");
  // UART0 is closed in the sleep: nothing answers there.
  d.take(kUart0);
  EXPECT_TRUE(exchange(d, kUart0, "AT\r", "", sec(2)));
  EXPECT_EQ(modem_state_at(w, w.now()), "off");

  // The USB host wakes it; the modem is on again when the answer comes.
  const uint64_t woken = w.now();
  d.write(kUsb, "AT\r");
  ASSERT_TRUE(d.wait_output(kUsb, "OK\r\n", sec(10)));
  const uint64_t awake = w.now();
  EXPECT_EQ(modem_state_at(w, awake), "on");
  // The power-up's presses and polls, and no more: its line on the ports
  // closed for the sleep does not hold the wake up.
  EXPECT_LT(awake - woken, sec(3) + ms(500));
  EXPECT_EQ(key_presses(w, woken).size(), 2u);  // the power-up's two presses
  EXPECT_NE(d.log().find("Start keeping BG96 on"), std::string::npos);
  // Awake through the window: UART0 answers, the key stays still.
  w.run_until(awake + sec(50));
  d.take(kUart0);
  EXPECT_TRUE(exchange(d, kUart0, "AT\r", "OK\r\n"));
  EXPECT_EQ(key_presses(w, awake).size(), 0u);
  // The window ends 60 s after the wake: the board sleeps, the modem goes off.
  w.run_until(awake + sec(70));
  EXPECT_NE(d.log().find("End keeping BG96 on"), std::string::npos);
  presses = key_presses(w, awake);
  ASSERT_EQ(presses.size(), 1u);
  EXPECT_GE(presses[0], awake + sec(59));
  EXPECT_LE(presses[0], awake + sec(61));
  EXPECT_EQ(modem_state_at(w, w.now()), "off");
}

// A sleep typed on the USB port as a terminal types it, CR LF, sleeps and
// lasts its time: neither the line's own bytes nor the LF after its CR
// leave anything behind that refuses or ends it.
TEST(Sleep, ASleepTypedWithCrLfOnTheUsbPortLastsItsTime) {
  World w;
  Device& d = started(w);
  d.take(kUsb);
  const uint64_t typed = w.now();
  d.write(kUsb, "AT+SLEEP=3000\r\n");
  ASSERT_TRUE(d.wait_output(kUsb, "OK\r\n", sec(10)));
  EXPECT_GE(w.now() - typed, sec(3));
  // Awake again: the port answers (the modem's start-up line may follow).
  d.write(kUsb, "AT\r\n");
  EXPECT_TRUE(d.wait_output(kUsb, "OK\r\n", sec(2)));
}

// Modem output during the window restarts it: 60 s from the last output.
TEST(Sleep, ModemOutputInTheWindowKeepsTheBoardAwakeLonger) {
  World w;
  Board b;
  b.more = {"--rtt-log", "1"};
  Device& d = started(w, b);
  ASSERT_TRUE(exchange(d, kUsb, "AT+LPM=1\r", "OK\r\n"));
  w.run_for(sec(10));
  d.write(kUsb, "AT\r");
  ASSERT_TRUE(d.wait_output(kUsb, "OK\r\n", sec(10)));
  const uint64_t awake = w.now();
  w.run_until(awake + sec(40));
  d.take(kUsb);
  d.write(kUsb, "ATCELL+CSQ\r");
  ASSERT_TRUE(d.wait_output(kUsb, "+CSQ: 20,99\r\n\r\nOK\r\n", sec(2)));
  const uint64_t answered = w.now();
  w.run_for(ms(100));
  EXPECT_NE(d.log().find("Continue keeping BG96 on"), std::string::npos);
  w.run_until(awake + sec(70));
  EXPECT_EQ(key_presses(w, awake).size(), 0u);  // still awake past the first window
  d.take(kUart0);
  EXPECT_TRUE(exchange(d, kUart0, "AT\r", "OK\r\n"));
  w.run_until(answered + sec(65));
  std::vector<uint64_t> presses = key_presses(w, awake);
  ASSERT_EQ(presses.size(), 1u);
  EXPECT_GE(presses[0], answered + sec(59));
  EXPECT_LE(presses[0], answered + sec(61));
}

}  // namespace

namespace {

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

const std::string kModemLinkOpen = "UARTE1 open: TX P0.06 RX P0.08 115200 baud";

// The board's wiring: UART0 on P1.02/P1.01 at the stored rate, the modem's
// link on UART1 (P0.06/P0.08) at the modem's 115200 baud whatever is stored.
TEST(StartUp, SerialPortsOnTheBoardsPins) {
  World w;
  Device& d = started(w);
  ASSERT_TRUE(exchange(d, kUart0, "AT+BAUD=9600\r", "OK\r\n"));
  d.restart();
  EXPECT_TRUE(d.wait_output(kUart0, "Version: Vostrel-M\r\n", sec(20)));
  const std::string log = d.log();
  EXPECT_NE(log.find("UARTE0 open: TX P1.02 RX P1.01 115200 baud"), std::string::npos) << log;
  EXPECT_NE(log.find("UARTE0 open: TX P1.02 RX P1.01 9600 baud"), std::string::npos) << log;
  EXPECT_EQ(log.find("UARTE1 open: TX P0.06 RX P0.08 9600"), std::string::npos) << log;
  EXPECT_GE(count_of(log, kModemLinkOpen), 2u);
}

// A modem that does not come on at start and is later switched on by other
// means (its status line goes high): the once-a-second check opens the link
// again, and the modem answers through it.
TEST(Cellular, ModemSwitchedOnFromOutsideGetsItsLinkBack) {
  World w;
  Device& d = w.start("v", vostrel(w, {"dead=1,on_at=40s,mute=0"}));
  ASSERT_TRUE(d.wait_output(kUart0, "Version: Vostrel-M\r\n", sec(30)));
  ASSERT_LT(w.now(), sec(35));
  w.run_until(sec(39));
  const size_t opens = count_of(d.log(), kModemLinkOpen);
  EXPECT_EQ(modem_state_at(w, w.now()), "off");
  w.run_until(sec(40) + ms(1100));
  EXPECT_EQ(modem_state_at(w, w.now()), "on");
  EXPECT_EQ(count_of(d.log(), kModemLinkOpen), opens + 1);
  // Checked once a second only: no more opens while it stays on.
  w.run_until(sec(45));
  EXPECT_EQ(count_of(d.log(), kModemLinkOpen), opens + 1);
  d.take(kUart0);
  d.write(kUart0, "ATCELL+CSQ\r");
  EXPECT_TRUE(d.wait_output(kUart0, "+CSQ: 20,99\r\n\r\nOK\r\n", sec(2)));
}

// Whatever bytes the modem sends, line noise included, reach every AT port
// as they are.
TEST(Cellular, ModemGarbageComesThroughByteForByte) {
  std::string noise;
  for (int i = 0; i < 256; i++) noise += static_cast<char>((i * 37 + 11) & 0xFF);
  World w;
  // The setting's text: escaped, its commas too (they separate settings).
  std::string text;
  for (char c : hostutil::escape(noise))
    text += c == ',' ? std::string("\\x2C") : std::string(1, c);
  Device& d = w.start("v", vostrel(w, {"power_on_text=" + text}));
  ASSERT_TRUE(d.wait_output(kUart0, "Version: Vostrel-M\r\n", sec(10)));
  EXPECT_EQ(d.output(kUart0), kStartLines + kPowerUp + noise + "Version: Vostrel-M\r\n");
  EXPECT_TRUE(d.wait_output(kUsb, noise + "Version: Vostrel-M\r\n", sec(1)));
  d.take(kUart0);
  EXPECT_TRUE(exchange(d, kUart0, "AT\r", "OK\r\n"));
}

// With the modem's echo on, the echo of a long upload command fills more
// than the first piece of its answer read after the wait; "CONNECT" behind
// it still opens the upload, and every byte of the answer is shown.
TEST(Cellular, ConnectAfterALongEchoStillOpensTheUpload) {
  World w;
  Device& d = started(w);
  // Past the first status check, which opens the link again (the start-up's
  // power sequence let its pins go).
  w.run_for(sec(1));
  const std::string name = "a_rather_long_file_name_for_the_upload.txt";
  const std::string line = "ATCELL+QFUPL=\"" + name + "\",4,5\r";
  d.write(kUart0, line);
  const std::string echo = "AT+QFUPL=\"" + name + "\",4,5\r\n";
  ASSERT_GT(echo.size(), 49u);
  EXPECT_TRUE(d.wait_output(kUart0, echo + "\r\nCONNECT\r\nOK\r\n", sec(2)));
  d.write(kUsb, "wx\r\nQ");
  EXPECT_TRUE(d.wait_output(kUart0, "+QFUPL: 4,", sec(2)));
  std::string heard = modem_heard(w);
  EXPECT_EQ(heard.substr(heard.size() - 4), "wx\r\n");
}

}  // namespace

namespace {

// A driver call that fails is fatal on this board: the log gets the result
// alone ("Got an error: 0x%08x!", no source place) and the board starts
// again 100 ms later; the second start, without the failure, runs through.
TEST(Failure, AFailedDriverCallLogsItsResultAndRestartsTheBoard) {
  World w;
  Board b = with_sensors(kSensors);
  b.more.insert(b.more.end(), {"--rtt-log", "1", "--fail-call", "nrf_drv_twi_rx@1"});
  Device& d = w.start("v", vostrel(w, b));
  ASSERT_TRUE(d.wait_output(kUart0, "Version: Vostrel\r\n", sec(20)));
  const std::string log = d.log();
  EXPECT_NE(log.find("<error> Got an error: 0x00000003!"), std::string::npos) << log;
  // The first start got as far as the first sensor's first read, then the
  // board restarted.
  const std::string first = kStartLines + kPowerUp;
  EXPECT_EQ(d.output(kUart0), first + kStartLines + kPowerUp + "\r\nRDY\r\nVersion: Vostrel\r\n");
}

}  // namespace
