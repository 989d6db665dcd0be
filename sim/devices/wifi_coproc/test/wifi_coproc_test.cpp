// The Wi-Fi co-processor model on serial port 1 of the generic simulated
// chip, powered through PA0: the chip's side is played with the core's own
// calls (pin levels, bytes written, bytes received with their times).
#include "sim/wifi_coproc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/device_registry.h"
#include "sim/host.h"
#include "sim/sim.h"

namespace {

using sim::time_us;
constexpr int kPort = 1;

class WifiCoprocTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    rx_.clear();
    times_.clear();
    sim::uart_set_rx_handler(kPort, on_rx, this);
    en_ = sim::pin("PA0");
    byte_ = sim::uart_byte_time(kPort);
  }
  void TearDown() override {
    model_.reset();
    sim::host::reset_core();
  }

  static void on_rx(void* ctx, uint8_t b) {
    auto* t = static_cast<WifiCoprocTest*>(ctx);
    t->rx_.push_back(static_cast<char>(b));
    t->times_.push_back(sim::now());
  }

  sim::WifiCoproc& make(sim::WifiCoproc::Config c = {}) {
    model_ = std::make_unique<sim::WifiCoproc>(std::move(c));
    model_->attach(kPort);
    return *model_;
  }
  void power(int level) { sim::pin_output(en_, level); }
  void write(const std::string& s) {
    sim::uart_write(kPort, reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }
  // What came from the model since the last take().
  std::string take() {
    std::string s = rx_.substr(taken_);
    taken_ = rx_.size();
    return s;
  }
  // Boots the model (power on, boot output, "ready") and forgets its output.
  void boot() {
    power(1);
    sim::cpu_spend(400'000);
    ASSERT_EQ(model_->state(), sim::WifiCoproc::State::kReady);
    take();
  }
  // Writes a line and lets the model answer.
  std::string dialog(const std::string& line, time_us wait = 50'000) {
    write(line);
    sim::cpu_spend(wait);
    return take();
  }

  std::unique_ptr<sim::WifiCoproc> model_;
  std::string rx_;
  std::vector<time_us> times_;
  size_t taken_ = 0;
  uint16_t en_ = 0;
  time_us byte_ = 0;
};

TEST_F(WifiCoprocTest, PowerUpGivesBootGarbageThenReadyAtItsTimes) {
  sim::WifiCoproc::Config c;
  c.noise_at = 30'000;
  c.boot_time = 300'000;
  c.boot_noise = 16;
  auto& m = make(c);
  sim::cpu_spend(1'000'000);
  EXPECT_EQ(rx_, "") << "off while PA0 is low";
  EXPECT_EQ(m.state(), sim::WifiCoproc::State::kOff);

  time_us on = sim::now();
  power(1);
  write("AT\r\n");  // while it boots: lost
  sim::cpu_spend(400'000);
  const std::string ready = "\r\nready\r\n";
  ASSERT_EQ(rx_, sim::WifiCoproc::noise(16) + ready);
  EXPECT_EQ(times_.front(), on + 30'000 + byte_) << "the first garbage byte on the line";
  EXPECT_EQ(times_[16], on + 300'000 + byte_) << "ready's first byte";
  EXPECT_EQ(times_.back() - times_[16], (ready.size() - 1) * byte_) << "back to back";
  EXPECT_EQ(m.heard(), "AT\r\n") << "it heard them but did not answer";
  EXPECT_EQ(m.sent(), rx_);
  EXPECT_EQ(m.boots(), 1u);
  EXPECT_EQ(sim::WifiCoproc::noise(16), sim::WifiCoproc::noise(16)) << "the same every time";
}

TEST_F(WifiCoprocTest, AnswersTheCommandsAUserTypes) {
  sim::WifiCoproc::Config c;
  c.version = "AT version:9\r\n";
  make(c);
  boot();
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"AT\r\n", "AT\r\n\r\nOK\r\n"},
      {"AT+GMR\r\n", "AT+GMR\r\nAT version:9\r\n\r\nOK\r\n"},
      {"AT+CWMODE?\r\n", "AT+CWMODE?\r\n+CWMODE:1\r\n\r\nOK\r\n"},
      {"AT+CWMODE=3\r\n", "AT+CWMODE=3\r\n\r\nOK\r\n"},
      {"AT+CWMODE?\r\n", "AT+CWMODE?\r\n+CWMODE:3\r\n\r\nOK\r\n"},
      {"AT+CWMODE=4\r\n", "AT+CWMODE=4\r\n\r\nERROR\r\n"},
      {"AT+CWJAP?\r\n", "AT+CWJAP?\r\nNo AP\r\n\r\nOK\r\n"},
      {"AT+CWQAP\r\n", "AT+CWQAP\r\n\r\nOK\r\n"},
      {"AT+NOSUCH\r\n", "AT+NOSUCH\r\n\r\nERROR\r\n"},
      {"at\r\n", "at\r\n\r\nERROR\r\n"},
      {"AT\n", "AT\n\r\nOK\r\n"},
      {"\r\n", "\r\n"},
      {"ATE0\r\n", "ATE0\r\n\r\nOK\r\n"},
      {"AT\r\n", "\r\nOK\r\n"},
      {"AT+X\r\n", "\r\nERROR\r\n"},
      {"ATE1\r\n", "\r\nOK\r\n"},
      {"AT\r\n", "AT\r\n\r\nOK\r\n"},
  };
  for (const Case& k : cases) EXPECT_EQ(dialog(k.in), k.out) << k.in;
}

TEST_F(WifiCoprocTest, AnOverlongLineIsAnsweredErrorAndTheNextLineWorks) {
  make();
  boot();
  std::string longline(300, 'A');
  EXPECT_EQ(dialog(longline + "\r\n", 100'000), longline + "\r\n\r\nERROR\r\n");
  EXPECT_EQ(dialog("AT\r\n"), "AT\r\n\r\nOK\r\n");
  std::string exact = "AT+" + std::string(253, 'B');  // 256 bytes: still a line
  EXPECT_EQ(dialog(exact + "\r\n", 100'000), exact + "\r\n\r\nERROR\r\n");
  EXPECT_EQ(model_->heard().size(), 302u + 4 + 258);
}

TEST_F(WifiCoprocTest, JoinsTheAccessPointInRange) {
  sim::WifiCoproc::Config c;
  c.ap_ssid = "home";
  c.ap_password = "secret";
  c.join_time = 1'000'000;
  make(c);
  boot();
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"AT+CWJAP=\"home\",\"wrong\"\r\n", "+CWJAP:2\r\n\r\nFAIL\r\n"},
      {"AT+CWJAP=\"work\",\"secret\"\r\n", "+CWJAP:3\r\n\r\nFAIL\r\n"},
      {"AT+CWJAP=\"home\",\"secret\"\r\n", "WIFI CONNECTED\r\nWIFI GOT IP\r\n\r\nOK\r\n"},
  };
  for (const Case& k : cases) {
    std::string echo = k.in;
    EXPECT_EQ(dialog(k.in, 500'000), echo) << "nothing but the echo before the join ends";
    EXPECT_EQ(dialog("AT\r\n"), "AT\r\nbusy p...\r\n");
    EXPECT_EQ(dialog("", 600'000), k.out) << k.in;
  }
  EXPECT_TRUE(model_->joined());
  EXPECT_EQ(dialog("AT+CWJAP?\r\n"), "AT+CWJAP?\r\n+CWJAP:\"home\"\r\n\r\nOK\r\n");
  EXPECT_EQ(dialog("AT+CWJAP=home\r\n"), "AT+CWJAP=home\r\n\r\nERROR\r\n");
  EXPECT_EQ(dialog("AT+CWQAP\r\n"), "AT+CWQAP\r\nWIFI DISCONNECT\r\n\r\nOK\r\n");
  EXPECT_EQ(dialog("AT+CWMODE=0\r\n"), "AT+CWMODE=0\r\n\r\nOK\r\n");
  EXPECT_EQ(dialog("AT+CWJAP=\"home\",\"secret\"\r\n"),
            "AT+CWJAP=\"home\",\"secret\"\r\n\r\nERROR\r\n")
      << "no join with Wi-Fi off";
}

TEST_F(WifiCoprocTest, ResetAnswersOkThenBootsAgain) {
  sim::WifiCoproc::Config c;
  c.boot_noise = 8;
  auto& m = make(c);
  boot();
  EXPECT_EQ(dialog("ATE0\r\n"), "ATE0\r\n\r\nOK\r\n");
  EXPECT_EQ(dialog("AT+RST\r\n", 400'000),
            "\r\nOK\r\n" + sim::WifiCoproc::noise(8) + "\r\nready\r\n");
  EXPECT_EQ(m.boots(), 2u);
  EXPECT_TRUE(m.echo()) << "a restart turns echo on again";
}

TEST_F(WifiCoprocTest, PowerOffCutsItOffAndItHearsButNeverAnswers) {
  sim::WifiCoproc::Config c;
  c.version = std::string(200, 'v') + "\r\n";
  auto& m = make(c);
  boot();
  write("AT+GMR\r\n");
  sim::cpu_spend(2'000 + 20 * byte_);  // the answer has begun
  power(0);
  sim::cpu_spend(100'000);
  std::string got = take();
  EXPECT_LT(got.size(), 40u) << "cut off after the byte on the line";
  EXPECT_EQ(got.substr(0, 8), "AT+GMR\r\n");
  EXPECT_EQ(dialog("AT\r\n", 1'000'000), "");
  EXPECT_EQ(m.state(), sim::WifiCoproc::State::kOff);
  EXPECT_EQ(m.heard(), "AT+GMR\r\nAT\r\n");
}

TEST_F(WifiCoprocTest, PlusPlusPlusAloneIsDroppedButNotWithinALine) {
  make();
  boot();
  EXPECT_EQ(dialog("+++", 100'000), "+++") << "echoed, unanswered";
  EXPECT_EQ(dialog("AT\r\n"), "AT\r\n\r\nOK\r\n") << "the escape was dropped";
  EXPECT_EQ(dialog("+++AT\r\n"), "+++AT\r\n\r\nERROR\r\n") << "no guard time after it";
}

TEST_F(WifiCoprocTest, AtAnotherRateTheLineCarriesGarbage) {
  sim::WifiCoproc::Config c;
  c.boot_noise = 0;
  auto& m = make(c);
  sim::uart_set_baud(kPort, 9600);
  power(1);
  sim::cpu_spend(400'000);
  std::string ready = "\r\nready\r\n";
  for (char& ch : ready) ch = static_cast<char>(ch | 0x80);
  EXPECT_EQ(take(), ready);
  EXPECT_EQ(dialog("AT\r\n", 100'000), "");
  EXPECT_EQ(m.framing_errors(), 4u);
}

TEST_F(WifiCoprocTest, MutedItAnswersNothing) {
  sim::WifiCoproc::Config c;
  c.mute = true;
  c.boot_noise = 0;
  make(c);
  boot();
  EXPECT_EQ(dialog("AT\r\n"), "");
}

TEST_F(WifiCoprocTest, TheRegistryMakesItFromText) {
  std::string path = ::testing::TempDir() + "wifi_coproc_test.log";
  std::remove(path.c_str());
  std::string error;
  auto made =
      sim::devices::create("wifi-coproc@uart1,enable=PB3,boot=100ms,noise=0,log=" + path, &error);
  ASSERT_TRUE(made) << error;
  power(1);
  sim::cpu_spend(200'000);
  EXPECT_EQ(take(), "") << "PA0 is not its pin";
  sim::pin_output(sim::pin("PB3"), 1);
  sim::cpu_spend(200'000);
  EXPECT_EQ(dialog("AT\r\n"), "\r\nready\r\nAT\r\n\r\nOK\r\n");
  made.reset();
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_EQ(ss.str(),
            "200000 power on\n"
            "300000 ready\n"
            "300000 out \\r\\nready\\r\\n\n"
            "400087 in AT\\r\\n\n"
            "400087 out AT\\r\\n\n"
            "401348 out \\r\\nOK\\r\\n\n");
  for (const char* bad : {"wifi-coproc@i2c1:0x10", "wifi-coproc@uart1,enable=PZ9",
                          "wifi-coproc@uart1,boot=5", "wifi-coproc@uart1,ap=nopassword",
                          "wifi-coproc@uart1,speed=2", "wifi-coproc@uart1,mute=2"}) {
    error.clear();
    EXPECT_FALSE(sim::devices::create(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

}  // namespace
