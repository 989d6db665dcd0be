// The Saffrond module with its Wi-Fi co-processor (the wifi-coproc model on
// UART1, powered through PA0), driven from the host port (UART2): the power
// on the enable pin and the co-processor's boot, the pass-through in the ESP
// AT mode with the co-processor's transcript as the far end, the way back to
// the LoRa AT mode, a restart, and bad input on both sides.
//
// What the co-processor heard and sent comes from its transcript file
// ("<time_us> in|out <bytes>"), the pin levels from the launcher's pin log
// ("<time_us> <pin> <level>"), both in the module's virtual time.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hostutil/escape.h"
#include "sim/wifi_coproc.h"
#include "systest/world.h"

namespace {

using sim::time_us;
using systest::ms;
using systest::sec;

constexpr int kHost = 2;
constexpr time_us kBoot = 300'000;
constexpr size_t kNoise = 48;
const std::string kReady = "\r\nready\r\n";

struct Entry {
  time_us t;
  std::string what;   // "in", "out" or a state ("power on", "ready", ...)
  std::string bytes;  // for in/out
};

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class SaffrondWifi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(systest::image_available("saffrond"));
    start();
  }

  void start(const std::string& coproc_settings = "") {
    coproc_log_ = w_.dir() + "/coproc.log";
    pin_log_ = w_.dir() + "/pins.log";
    systest::DeviceOptions o;
    o.image = "saffrond";
    o.ports = {kHost};
    o.extra_args = {"--device",
                    "wifi-coproc@uart1,boot=300ms,noise=48,log=" + coproc_log_ + coproc_settings,
                    "--pin-log", pin_log_};
    d_ = &w_.start("s", o);
    ASSERT_TRUE(d_->wait_line(kHost, "Current Work Mode: LoRaWAN."));
    w_.run_for(sec(1));  // the co-processor has booted
  }

  systest::Device& d() { return *d_; }

  std::vector<Entry> transcript() const {
    std::vector<Entry> v;
    std::istringstream in(read_file(coproc_log_));
    std::string line;
    while (std::getline(in, line)) {
      size_t sp = line.find(' ');
      Entry e{std::stoull(line.substr(0, sp)), line.substr(sp + 1), ""};
      if (e.what.compare(0, 3, "in ") == 0 || e.what.compare(0, 4, "out ") == 0) {
        size_t sp2 = e.what.find(' ');
        std::string error;
        EXPECT_TRUE(hostutil::unescape(e.what.substr(sp2 + 1), &e.bytes, &error)) << error;
        e.what.resize(sp2);
      }
      v.push_back(e);
    }
    return v;
  }
  // Every byte the co-processor heard ("in") or sent ("out").
  std::string stream(const char* dir) const {
    std::string s;
    for (const Entry& e : transcript())
      if (e.what == dir) s += e.bytes;
    return s;
  }
  std::vector<time_us> times_of(const std::string& state) const {
    std::vector<time_us> v;
    for (const Entry& e : transcript())
      if (e.what == state) v.push_back(e.t);
    return v;
  }
  // Changes of PA0: {time, level}.
  std::vector<std::pair<time_us, int>> enable_pin() const {
    std::vector<std::pair<time_us, int>> v;
    std::istringstream in(read_file(pin_log_));
    time_us t;
    std::string pin;
    int level;
    while (in >> t >> pin >> level)
      if (pin == "PA0") v.emplace_back(t, level);
    return v;
  }

  // A command in the LoRa AT mode and its reply lines.
  void expect(const std::string& line, const std::vector<std::string>& reply) {
    d().write(kHost, line + "\r\n");
    EXPECT_TRUE(d().expect_lines(kHost, reply)) << line;
  }
  // Enters the ESP AT mode; what the co-processor printed while the host
  // port was in the LoRa AT mode comes right after the reply.
  void enter_esp_mode(const std::string& stale) {
    d().write(kHost, "AT+ESP=1\r\n");
    ASSERT_TRUE(d().wait_output(kHost, "OK\r\n" + stale));
  }
  // Bytes typed in the ESP AT mode and what comes back.
  void exchange(const std::string& typed, const std::string& back) {
    d().write(kHost, typed);
    EXPECT_TRUE(d().wait_output(kHost, back)) << hostutil::escape(typed);
  }

  systest::World w_;
  systest::Device* d_ = nullptr;
  std::string coproc_log_, pin_log_;
};

std::string boot_output() { return sim::WifiCoproc::noise(kNoise) + kReady; }

TEST_F(SaffrondWifi, EnablePinPowersTheCoProcessorWhichBootsInItsTime) {
  auto pins = enable_pin();
  ASSERT_EQ(pins.size(), 1u);
  EXPECT_EQ(pins[0].second, 1) << "the user program powers it at start";
  EXPECT_EQ(times_of("power on"), std::vector<time_us>{pins[0].first});
  EXPECT_EQ(times_of("ready"), std::vector<time_us>{pins[0].first + kBoot});
  EXPECT_EQ(stream("out"), boot_output());

  expect("AT+ESPPOWER=0", {"OK"});
  expect("AT+ESPPOWER=?", {"AT+ESPPOWER=0", "OK"});
  pins = enable_pin();
  ASSERT_EQ(pins.size(), 2u);
  EXPECT_EQ(pins[1].second, 0);
  EXPECT_EQ(times_of("power off"), std::vector<time_us>{pins[1].first});

  w_.run_for(ms(500));
  expect("AT+ESPPOWER=1", {"OK"});
  w_.run_for(sec(1));
  pins = enable_pin();
  ASSERT_EQ(pins.size(), 3u);
  EXPECT_EQ(pins[2].second, 1);
  EXPECT_EQ(times_of("power on").back(), pins[2].first);
  EXPECT_EQ(times_of("ready").back(), pins[2].first + kBoot);
  EXPECT_EQ(stream("out"), boot_output() + boot_output());
  expect("AT+ESPPOWER=?", {"AT+ESPPOWER=1", "OK"});
}

TEST_F(SaffrondWifi, PassThroughCarriesTheHostsLinesByteForByteBothWays) {
  expect("AT+ESP=?", {"AT+ESP=0", "OK"});
  enter_esp_mode(boot_output());
  EXPECT_EQ(stream("in"), "") << "the LF after AT+ESP=1 is not passed on";

  const std::vector<std::pair<std::string, std::string>> session = {
      {"AT\r\n", "AT\r\n\r\nOK\r\n"},
      {"AT+GMR\r\n",
       "AT+GMR\r\nAT version:3.2.0(sim)\r\nSDK version:v5.1(sim)\r\n"
       "Bin version:1.0.0\r\n\r\nOK\r\n"},
      {"AT+CWMODE?\r\n", "AT+CWMODE?\r\n+CWMODE:1\r\n\r\nOK\r\n"},
      {"AT+CWJAP?\r\n", "AT+CWJAP?\r\nNo AP\r\n\r\nOK\r\n"},
      {"ATE0\r\n", "ATE0\r\n\r\nOK\r\n"},
      {"AT+NOSUCH\r\n", "\r\nERROR\r\n"},
      {"AT+esp=1\r\n", "\r\nERROR\r\n"},  // only AT+ESP=0 and AT+ESP=? stay here
  };
  std::string typed;
  for (const auto& [line, answer] : session) {
    exchange(line, answer);
    typed += line;
  }
  EXPECT_EQ(stream("in"), typed);
  EXPECT_EQ(d().output(kHost).substr(d().output(kHost).find("OK\r\n" + boot_output()) + 4),
            stream("out"))
      << "everything it sent reached the host, in order";

  // "+++" at the start of a line leaves at once; later in a line it waits
  // for the line's end. A line that ends in LF alone is not complete.
  d().write(kHost, "+++");
  w_.run_for(ms(50));
  EXPECT_EQ(stream("in"), typed + "+++");
  d().write(kHost, "x+++");
  w_.run_for(ms(50));
  d().write(kHost, "\n");
  w_.run_for(ms(50));
  EXPECT_EQ(stream("in"), typed + "+++");
  // The co-processor itself takes a LF alone as a line end.
  exchange("AT\r\n", "\r\nERROR\r\n\r\nOK\r\n");
  EXPECT_EQ(stream("in"), typed + "+++x+++\nAT\r\n");
}

TEST_F(SaffrondWifi, TheHostReturnsWithAtEspZeroInAnyCase) {
  enter_esp_mode(boot_output());
  exchange("AT+ESP=?\r\n", "AT+ESP=1\r\nOK\r\n");
  exchange("at+esp=0\r\n", "OK\r\n");
  EXPECT_EQ(stream("in"), "") << "neither line reached the co-processor";
  expect("AT", {"OK"});
  expect("AT+ESP=?", {"AT+ESP=0", "OK"});
  // As a command of the LoRa AT mode too, and back in again: what the
  // co-processor printed meanwhile waits for the ESP AT mode.
  expect("AT+ESP=0", {"OK"});
  enter_esp_mode("");
  exchange("AT\r\n", "AT\r\n\r\nOK\r\n");
  exchange("AT+ESP=0\r\n", "OK\r\n");
  expect("AT+ESP=1", {"OK"});
  exchange("AT+ESP=0\r\n", "OK\r\n");
  EXPECT_EQ(stream("in"), "AT\r\n");
}

TEST_F(SaffrondWifi, ARestartBringsTheLoRaAtModeBackAndPowersTheCoProcessor) {
  enter_esp_mode(boot_output());
  d().reset();
  ASSERT_TRUE(d().wait_line(kHost, "Current Work Mode: LoRaWAN."));
  w_.run_for(sec(1));
  expect("AT", {"OK"});
  expect("AT+ESP=?", {"AT+ESP=0", "OK"});
  expect("AT+ESPPOWER=?", {"AT+ESPPOWER=1", "OK"});
  EXPECT_EQ(enable_pin().back().second, 1);
  EXPECT_EQ(times_of("power on").size(), 2u) << "booted again";
  enter_esp_mode(boot_output());
  exchange("AT\r\n", "AT\r\n\r\nOK\r\n");
}

TEST_F(SaffrondWifi, WrongArgumentsAreRefusedAndChangeNothing) {
  for (const char* bad :
       {"AT+ESP", "AT+ESP=2", "AT+ESP=257", "AT+ESP=1:1", "AT+ESP=", "AT+ESPPOWER", "AT+ESPPOWER=2",
        "AT+ESPPOWER=256", "AT+ESPPOWER=01", "AT+ESPPOWER=-1"})
    expect(bad, {"AT_PARAM_ERROR"});
  expect("AT+ESP=?", {"AT+ESP=0", "OK"});
  expect("AT+ESPPOWER=?", {"AT+ESPPOWER=1", "OK"});
  EXPECT_EQ(enable_pin().size(), 1u) << "the co-processor stayed on";
  expect("AT+ESPPOWER?",
         {"AT+ESPPOWER,RW: Control ESP32-C2 power via CHIP_EN pin (0 = off, 1 = on)", "OK"});
}

TEST_F(SaffrondWifi, WithTheCoProcessorOffLinesGoOutAndNothingComesBack) {
  expect("AT+ESPPOWER=0", {"OK"});
  enter_esp_mode(boot_output());
  d().write(kHost, "AT\r\n");
  EXPECT_TRUE(d().quiet(kHost, sec(2)));
  EXPECT_EQ(stream("in"), "AT\r\n") << "it reached the line, where nobody listens";
  exchange("AT+ESP=?\r\n", "AT+ESP=1\r\nOK\r\n");
  exchange("AT+ESP=0\r\n", "OK\r\n");
  expect("AT+ESPPOWER=1", {"OK"});
  w_.run_for(sec(1));
  enter_esp_mode(boot_output());
  exchange("AT\r\n", "AT\r\n\r\nOK\r\n");
}

TEST_F(SaffrondWifi, GarbageFromTheCoProcessorReachesTheHostUnchanged) {
  enter_esp_mode(boot_output());
  exchange("AT+RST\r\n", "AT+RST\r\n\r\nOK\r\n" + boot_output());
  exchange("AT\r\n", "AT\r\n\r\nOK\r\n");
  std::string out = d().output(kHost);
  EXPECT_EQ(out.substr(out.size() - stream("out").size()), stream("out"));
}

TEST_F(SaffrondWifi, AnOverlongLineIsRefusedWholeAndNothingOfItGoesOn) {
  enter_esp_mode(boot_output());
  std::string fits(254, 'A');  // with CR LF: 256 bytes, the longest line
  exchange(fits + "\r\n", fits + "\r\n\r\nERROR\r\n");
  EXPECT_EQ(stream("in"), fits + "\r\n");
  for (size_t len : {255u, 300u, 600u}) {
    std::string line = "AT+ESP=0" + std::string(len - 8, 'B');
    exchange(line + "\r\n", "AT_PARAM_ERROR\r\n");
  }
  EXPECT_EQ(stream("in"), fits + "\r\n") << "no part of them reached the co-processor";
  exchange("AT\r\n", "AT\r\n\r\nOK\r\n");
  exchange("AT+ESP=0\r\n", "OK\r\n");
}

TEST_F(SaffrondWifi, TheLinkKeepsTheCoProcessorsRateWhenTheHostChangesItsOwn) {
  expect("AT+BAUD=9600", {"OK"});
  d().reset();
  ASSERT_TRUE(d().wait_line(kHost, "Current Work Mode: LoRaWAN."));
  w_.run_for(sec(1));
  enter_esp_mode(boot_output());
  exchange("AT\r\n", "AT\r\n\r\nOK\r\n");
}

}  // namespace
