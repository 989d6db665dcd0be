// The cellular modem model on serial port 1 of the generic simulated chip,
// its power key on PA2, its status line on PA3 and a supply switch on PA4:
// the chip's side is played with the core's own calls.
#include "sim/cellular_modem.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/device_registry.h"
#include "sim/host.h"
#include "sim/sim.h"

namespace {

using sim::time_us;
constexpr int kPort = 1;

class CellularModemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    rx_.clear();
    sim::uart_set_rx_handler(kPort, on_rx, this);
    key_ = sim::pin("PA2");
    status_ = sim::pin("PA3");
    supply_ = sim::pin("PA4");
  }
  void TearDown() override {
    model_.reset();
    sim::host::reset_core();
  }
  static void on_rx(void* ctx, uint8_t b) {
    static_cast<CellularModemTest*>(ctx)->rx_.push_back(static_cast<char>(b));
  }
  static sim::CellularModem::Config config() {
    sim::CellularModem::Config c;
    c.key = "PA2";
    c.status = "PA3";
    c.supply = {"PA4"};
    return c;
  }
  sim::CellularModem& make(sim::CellularModem::Config c = config()) {
    model_ = std::make_unique<sim::CellularModem>(std::move(c));
    model_->attach(kPort);
    return *model_;
  }
  // The key held for `ms` milliseconds; time then runs on for `after` ms.
  void press(time_us ms, time_us after = 0) {
    sim::pin_output(key_, 1);
    sim::cpu_spend(ms * 1000);
    sim::pin_output(key_, 0);
    sim::cpu_spend(after * 1000);
  }
  void power_up() {
    sim::pin_output(supply_, 1);
    press(200, 1000);
    ASSERT_EQ(model_->state(), sim::CellularModem::State::kOn);
    take();
  }
  std::string take() {
    std::string s = rx_;
    rx_.clear();
    return s;
  }
  std::string dialog(const std::string& text, time_us wait = 100'000) {
    sim::uart_write(kPort, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    sim::cpu_spend(wait);
    return take();
  }

  std::unique_ptr<sim::CellularModem> model_;
  std::string rx_;
  uint16_t key_ = 0, status_ = 0, supply_ = 0;
};

TEST_F(CellularModemTest, TheKeySwitchesItOnAndOffAndTheStatusLineFollows) {
  auto& m = make();
  sim::pin_output(supply_, 1);
  press(50, 2000);
  EXPECT_EQ(m.state(), sim::CellularModem::State::kOff) << "a press too short";

  time_us t0 = sim::now();
  sim::pin_output(key_, 1);
  sim::cpu_spend(200'000);
  sim::pin_output(key_, 0);
  EXPECT_EQ(m.state(), sim::CellularModem::State::kBooting);
  sim::cpu_spend(499'000 - 200'000);
  EXPECT_EQ(sim::pin_input(status_), 0);
  sim::cpu_spend(1'000);
  EXPECT_EQ(sim::pin_input(status_), 1) << "status 500 ms after the press began";
  EXPECT_EQ(sim::now() - t0, 500'000u);
  sim::cpu_spend(10'000);
  EXPECT_EQ(take(), "\r\nRDY\r\n");

  press(300, 1000);
  EXPECT_EQ(m.state(), sim::CellularModem::State::kOn) << "too short to switch it off";
  sim::pin_output(key_, 1);
  sim::cpu_spend(700'000);
  EXPECT_EQ(m.state(), sim::CellularModem::State::kShuttingDown) << "from 650 ms of the press";
  EXPECT_EQ(sim::pin_input(status_), 1);
  sim::cpu_spend(300'000);
  sim::pin_output(key_, 0);
  EXPECT_EQ(m.state(), sim::CellularModem::State::kOff) << "100 ms later";
  EXPECT_EQ(sim::pin_input(status_), 0);
  EXPECT_EQ(dialog("AT\r"), "") << "off: deaf and silent";
  EXPECT_EQ(m.heard(), "AT\r");
}

// The turn-on press and the turn-off press differ in length: a modem that
// is off comes on from a press of the turn-on length when it is released,
// and stays off through a turn-off press (a board's power-off pulse).
TEST_F(CellularModemTest, OnlyATurnOnPressSwitchesItOn) {
  struct Case {
    time_us held_ms;
    bool on;
  } cases[] = {{50, false}, {99, false},  {100, true},   {200, true},
               {649, true}, {650, false}, {1000, false}, {3000, false}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.held_ms);
    SetUp();
    auto& m = make();
    sim::pin_output(supply_, 1);
    press(k.held_ms, 0);
    EXPECT_EQ(m.state() != sim::CellularModem::State::kOff, k.on) << "decided at the release";
    sim::cpu_spend(2'000'000);
    EXPECT_EQ(sim::pin_input(status_), k.on ? 1 : 0);
    model_.reset();
  }
  // The board's power-up: the power-off pulse first, then the turn-on press.
  SetUp();
  auto& m = make();
  sim::pin_output(supply_, 1);
  press(1000, 1000);
  EXPECT_EQ(m.state(), sim::CellularModem::State::kOff);
  press(200, 1000);
  EXPECT_EQ(m.state(), sim::CellularModem::State::kOn);
}

// Data mode begins once "CONNECT" is out: the LF that follows the command's
// CR is not data, and the modem stores exactly the bytes sent after it.
TEST_F(CellularModemTest, DataModeBeginsAfterConnect) {
  for (bool echo : {true, false}) {
    SCOPED_TRACE(echo);
    SetUp();
    auto& m = make();
    power_up();
    if (!echo) dialog("ATE0\r");
    std::string answer = dialog("AT+QHTTPURL=20,80\r\n");
    EXPECT_NE(answer.find("\r\nCONNECT\r\n"), std::string::npos) << answer;
    EXPECT_EQ(dialog("http://example.com/x"), "\r\nOK\r\n");
    EXPECT_EQ(m.url(), "http://example.com/x");
    EXPECT_EQ(dialog("AT\r\n"), echo ? "AT\r\n\r\nOK\r\n" : "\r\nOK\r\n");
    model_.reset();
  }
}

TEST_F(CellularModemTest, TheSupplyMustBeThereWhenItHasBootedAndCutsItOff) {
  auto& m = make();
  press(200, 0);
  sim::pin_output(supply_, 1);  // the board's order: key, then supply
  sim::cpu_spend(1'000'000);
  EXPECT_EQ(m.state(), sim::CellularModem::State::kOn);
  sim::pin_output(supply_, 0);
  EXPECT_EQ(m.state(), sim::CellularModem::State::kOff);
  EXPECT_EQ(sim::pin_input(status_), 0);
  press(200, 1000);
  EXPECT_EQ(m.state(), sim::CellularModem::State::kOff) << "no supply at the end of the boot";
}

TEST_F(CellularModemTest, KnobsForAModemThatFails) {
  struct Case {
    const char* what;
    bool dead, mute;
    time_us status_delay;
    bool on_after_1s;
    const char* answer;
  } cases[] = {
      {"dead", true, false, 500'000, false, ""},
      {"mute", false, true, 500'000, true, ""},
      {"slow", false, false, 3'000'000, false, ""},
  };
  for (const Case& k : cases) {
    SetUp();
    auto c = config();
    c.dead = k.dead;
    c.mute = k.mute;
    c.status_delay = k.status_delay;
    auto& m = make(c);
    sim::pin_output(supply_, 1);
    press(200, 800);
    EXPECT_EQ(sim::pin_input(status_), k.on_after_1s ? 1 : 0) << k.what;
    EXPECT_EQ(dialog("AT\r"), k.answer) << k.what;
    sim::cpu_spend(5'000'000);
    EXPECT_EQ(m.state() == sim::CellularModem::State::kOn, !k.dead) << k.what;
    model_.reset();
  }
}

TEST_F(CellularModemTest, AnswersWhatAUserAndTheFirmwareRelyOn) {
  make();
  power_up();
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"AT\r", "AT\r\r\nOK\r\n"},
      {"ATE0\r", "ATE0\r\r\nOK\r\n"},
      {"AT\r\n", "\r\nOK\r\n"},
      {"at+csq\r", "\r\n+CSQ: 20,99\r\n\r\nOK\r\n"},
      {"AT+CSQ=?\r", "\r\n+CSQ: (0-31,99),(0-7,99)\r\n\r\nOK\r\n"},
      {"ATI\r", "\r\nSimCell\r\nLTE-M1\r\nRevision: SIM01A01M1\r\n\r\nOK\r\n"},
      {"AT+GMR\r", "\r\nSIM01A01M1\r\n\r\nOK\r\n"},
      {"AT+CGSN\r", "\r\n860000000000001\r\n\r\nOK\r\n"},
      {"AT+IPR?\r", "\r\n+IPR: 115200\r\n\r\nOK\r\n"},
      {"AT+IPR=1234\r", "\r\nERROR\r\n"},
      {"AT+CGDCONT=?\r", "\r\n+CGDCONT: (1-16),\"IP\",,,(0-3),(0-4)\r\n\r\nOK\r\n"},
      {"AT+CSQ\r\x1A", "\r\n+CSQ: 20,99\r\n\r\nOK\r\n"},  // Ctrl-Z after the CR is ignored
      {"AT+NOSUCH\r", "\r\nERROR\r\n"},
      {"HELLO\r", "\r\nERROR\r\n"},
      {"\r", ""},
  };
  for (const Case& k : cases) EXPECT_EQ(dialog(k.in), k.out) << k.in;
  model_->set_signal(31, 0);
  EXPECT_EQ(dialog("AT+CSQ\r"), "\r\n+CSQ: 31,0\r\n\r\nOK\r\n");
  EXPECT_EQ(dialog(std::string(600, 'A') + "\r"), "\r\nERROR\r\n") << "an overlong line";
}

TEST_F(CellularModemTest, UploadsTakeExactlyTheirBytesAfterConnect) {
  auto& m = make();
  power_up();
  dialog("ATE0\r");
  EXPECT_EQ(dialog("AT+QHTTPPOST=4,10\r"), "\r\nERROR\r\n") << "no URL yet";
  EXPECT_EQ(dialog("AT+QHTTPURL=20,80\r"), "\r\nCONNECT\r\n");
  EXPECT_EQ(dialog("http://example.com/"), "") << "19 of 20 bytes, not echoed";
  EXPECT_EQ(dialog("x"), "\r\nOK\r\n");
  EXPECT_EQ(m.url(), "http://example.com/x");
  EXPECT_EQ(dialog("AT+QHTTPURL?\r"), "\r\n+QHTTPURL: \"http://example.com/x\"\r\n\r\nOK\r\n");
  EXPECT_EQ(dialog("AT+QHTTPPOST=5,10\r"), "\r\nCONNECT\r\n");
  EXPECT_EQ(dialog("AT\r\nX"), "\r\nOK\r\n\r\n+QHTTPPOST: 0,200,0\r\n") << "data, not a command";
  EXPECT_EQ(dialog("AT+QFUPL=\"f.txt\",4,5\r"), "\r\nCONNECT\r\n");
  EXPECT_EQ(dialog("\x01\x02\x10\x20"), "\r\n+QFUPL: 4,1122\r\n\r\nOK\r\n");
  ASSERT_EQ(m.uploads().size(), 3u);
  EXPECT_EQ(m.uploads()[1].data, "AT\r\nX");
  EXPECT_EQ(m.uploads()[2].name, "f.txt");
  // Too few bytes before the time out: ERROR, and commands again.
  EXPECT_EQ(dialog("AT+QHTTPURL=10,1\r"), "\r\nCONNECT\r\n");
  EXPECT_EQ(dialog("abc", 1'100'000), "\r\nERROR\r\n");
  EXPECT_EQ(dialog("AT\r"), "\r\nOK\r\n");
  EXPECT_EQ(m.url(), "http://example.com/x");
  for (const char* bad : {"AT+QHTTPURL=0,5\r", "AT+QHTTPURL=x\r", "AT+QFUPL=\"\",4,5\r"})
    EXPECT_EQ(dialog(bad), "\r\nERROR\r\n") << bad;
}

TEST_F(CellularModemTest, ANewRateAppliesAfterItsOk) {
  auto& m = make();
  power_up();
  EXPECT_EQ(dialog("AT+IPR=9600\r"), "AT+IPR=9600\r\r\nOK\r\n");
  EXPECT_EQ(m.baud(), 9600u);
  EXPECT_EQ(dialog("AT\r"), "") << "the chip's port still runs at 115200";
  sim::uart_set_baud(kPort, 9600);
  EXPECT_EQ(dialog("AT\r", 200'000), "AT\r\r\nOK\r\n");
}

TEST_F(CellularModemTest, OnFromTheStartAndSwitchedOnFromOutside) {
  auto c = config();
  c.start_on = true;
  make(c);
  EXPECT_EQ(sim::pin_input(status_), 1);
  model_.reset();
  make().switch_on_externally();
  EXPECT_EQ(sim::pin_input(status_), 1);
}

// Switched on from outside at a set time, whatever its key did (here a
// modem the key cannot start), printing its own power-on text.
TEST_F(CellularModemTest, OnFromOutsideAtATimeWithItsOwnPowerOnText) {
  std::string error;
  auto made = sim::devices::create(
      "cellular-modem@uart1,key=PA2,status=PA3,dead=1,on_at=2s,power_on_text=\\x00\\xFFz\\x2C",
      &error);
  ASSERT_TRUE(made) << error;
  press(1000, 500);
  EXPECT_EQ(sim::pin_input(status_), 0);
  EXPECT_EQ(take(), "");
  sim::run_until(2'000'000 - 1);
  EXPECT_EQ(sim::pin_input(status_), 0);
  sim::cpu_spend(10'000);
  EXPECT_EQ(sim::pin_input(status_), 1);
  EXPECT_EQ(take(), std::string("\x00\xFFz,", 4));
  EXPECT_EQ(dialog("ATE0\r"), "ATE0\r\r\nOK\r\n");
  made.reset();
  for (const char* bad :
       {"cellular-modem@uart1,on_at=soon", "cellular-modem@uart1,power_on_text=\\q"}) {
    error.clear();
    EXPECT_FALSE(sim::devices::create(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST_F(CellularModemTest, TheRegistryMakesItFromText) {
  std::string error;
  auto made = sim::devices::create(
      "cellular-modem@uart1,key=PA2,status=PA3,status_delay=200ms,rssi=7,on=1", &error);
  ASSERT_TRUE(made) << error;
  EXPECT_EQ(sim::pin_input(status_), 1);
  sim::cpu_spend(10'000);
  EXPECT_EQ(dialog("ATE0\rAT+CSQ\r"), "\r\nRDY\r\nATE0\r\r\nOK\r\n\r\n+CSQ: 7,99\r\n\r\nOK\r\n");
  made.reset();
  for (const char* bad : {"cellular-modem@i2c1:0x10", "cellular-modem@uart1,key=PZ1",
                          "cellular-modem@uart1,rssi=100", "cellular-modem@uart1,x=1"}) {
    error.clear();
    EXPECT_FALSE(sim::devices::create(bad, &error)) << bad;
  }
}

}  // namespace
