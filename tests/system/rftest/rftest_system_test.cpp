// RF test commands on STM32WLE5 modules in one world, driven from their AT
// ports: carriers (tone and continuous wave) seen on the air and by a second
// module's RSSI reading, packet runs whose payload is checked against a
// PRBS9 sequence worked out here, the receive run's packet error rate lines,
// the hopping runs' frequency order, stop, the band strap of the continuous
// wave, and refused input that leaves the radio idle and the module free to
// sleep.
//
// RSSI and SNR of a frame follow from the world's link budget set here:
// transmit power minus path loss, and that minus the noise floor. A channel's
// RSSI reading is the receiver's own noise in its bandwidth (-117 dBm in
// 125 kHz) plus what is on the air there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sim/air_medium.h"
#include "systest/world.h"

namespace {

using sim::time_us;
using systest::Device;
using systest::ms;
using systest::sec;
using systest::World;
using Bytes = std::vector<uint8_t>;

constexpr int kAt = 2;
constexpr double kPathLoss = 120.0;
constexpr double kNoiseFloor = -120.0;
// Test steps are timed by the RTC: 500 ms to within one of its ticks.
constexpr double kStepUs = 500e3;
constexpr double kRtcTickUs = 31.0;  // 1/32768 s, in whole microseconds

// PRBS9 from its definition: the bit sequence b[n] = b[n-5] xor b[n-9] of the
// polynomial x^9 + x^5 + 1, started from the register value 2 (the nine
// bits before the first output are 0,0,0,0,0,0,0,1,0, oldest first), bits
// packed into bytes from bit 0.
Bytes prbs9(size_t len) {
  std::vector<int> b = {0, 0, 0, 0, 0, 0, 0, 1, 0};
  Bytes out(len, 0);
  for (size_t i = 0; i < len * 8; ++i) {
    b.push_back(b[b.size() - 5] ^ b[b.size() - 9]);
    out[i / 8] = static_cast<uint8_t>(out[i / 8] | (b.back() << (i % 8)));
  }
  return out;
}

std::string per_line(int k, int n, int per) {
  return "Rx " + std::to_string(k) + " of " + std::to_string(n) +
         "  >>> PER= " + std::to_string(per) + " %";
}

std::string tx_line(int k, int n) {
  return "Tx Test : Packet " + std::to_string(k) + " of " + std::to_string(n);
}

// A TCONF setting with the start values but these fields.
std::string tconf(uint32_t freq, int power, uint32_t dr, uint32_t len) {
  return "AT+TCONF=" + std::to_string(freq) + ":" + std::to_string(power) +
         ":0:" + std::to_string(dr) + ":1:0:0:1:" + std::to_string(len) + ":25000:0:0";
}

class RfTestWorld : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* image : {"brisola-t", "brisola-e", "quenlarlp-sip", "saffrond"}) {
      if (!systest::image_available(image)) GTEST_SKIP() << image << " not built";
    }
    w_.budget().set_default_path_loss(kPathLoss);
    w_.budget().set_noise_floor(kNoiseFloor);
  }

  Device& module(const std::string& name, const std::string& image = "brisola-t", int pb12 = 1) {
    systest::DeviceOptions o;
    o.image = image;
    o.ports = {kAt};
    if (image == "brisola-t" || image == "brisola-e") o.pins = {{"PB12", pb12}};
    Device& d = w_.start(name, o);
    EXPECT_TRUE(d.wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
    return d;
  }

  static void at(Device& d, const std::string& cmd, const std::vector<std::string>& lines) {
    d.write(kAt, cmd + "\r\n");
    EXPECT_TRUE(d.expect_lines(kAt, lines, sec(1))) << d.name() << ": " << cmd;
  }

  // The module sleeps when asked: no test holds a wake lock.
  void can_sleep(Device& d) {
    w_.run_for(ms(10));
    at(d, "AT+SLEEP=20", {"OK"});
  }

  // Frames (not corrections) a module began at or after `since`.
  std::vector<sim::AirFrame> sent(const Device& d, time_us since, bool carriers) const {
    std::vector<sim::AirFrame> out;
    for (const auto& r : w_.frames()) {
      const sim::AirFrame& f = r.frame;
      if (f.sender == static_cast<uint32_t>(d.id()) && !f.cut && f.start_us >= since &&
          sim::air::is_carrier(f) == carriers) {
        out.push_back(f);
      }
    }
    return out;
  }

  // When the module's carrier last was on the air (cuts included).
  time_us carrier_end(const Device& d) const {
    time_us end = 0;
    for (const auto& r : w_.frames()) {
      if (r.frame.sender == static_cast<uint32_t>(d.id()) && sim::air::is_carrier(r.frame)) {
        end = r.frame.cut ? std::min<time_us>(end, r.frame.end_us)
                          : std::max<time_us>(end, r.frame.end_us);
      }
    }
    return end;
  }

  static Bytes payload_of(const sim::AirFrame& f) { return Bytes(f.payload, f.payload + f.len); }

  World w_;
};

// ------------------------------------------------------------ carriers ---

TEST_F(RfTestWorld, ToneAndContinuousWaveAreCarriersAnotherModuleHears) {
  Device& a = module("a");
  Device& b = module("b");
  const std::string floor = "AT+TRSSI=-117";
  at(b, "AT+TRSSI", {floor, "OK"});

  // The tone: the test frequency and power (start values 868 MHz, 14 dBm).
  const time_us t0 = w_.now();
  at(a, "AT+TTONE", {"Tx toneOK"});
  at(a, "AT+TTONE", {"AT_BUSY_ERROR"});
  w_.run_for(ms(300));
  const auto tone = sent(a, t0, true);
  ASSERT_FALSE(tone.empty());
  for (const auto& f : tone) {
    EXPECT_EQ(f.frequency_hz, 868000000u);
    EXPECT_EQ(f.tx_power_dbm, 14);
  }
  EXPECT_TRUE(sent(a, t0, false).empty());
  at(b, "AT+TRSSI", {"AT+TRSSI=-106", "OK"});  // 14 dBm - 120 dB, over the noise
  at(a, "AT+TOFF", {"OK"});
  const time_us off = w_.now();
  w_.run_for(ms(500));
  EXPECT_TRUE(sent(a, off, true).empty());
  EXPECT_LE(carrier_end(a), off);
  at(b, "AT+TRSSI", {floor, "OK"});
  can_sleep(a);

  // The continuous wave: its own frequency, power and time-out (s).
  at(a, "AT+CW=869525000:20:2", {"OK"});
  const time_us t1 = w_.now();
  at(a, "AT+CW=?", {"AT+CW=869525000:20:2", "OK"});
  at(b, tconf(869525000, 14, 7, 4), {"OK"});
  at(b, "AT+TRSSI", {"AT+TRSSI=-100", "OK"});
  at(b, "AT+TCONF=?", {"AT+TCONF=869525000:14:0:7:1:0:0:1:4:25000:0:0", "OK"});
  at(a, "AT+SLEEP=20", {"AT_BUSY_ERROR"});  // the wave holds the module awake
  w_.run_for(sec(3));
  const auto cw = sent(a, t1 - ms(50), true);
  ASSERT_FALSE(cw.empty());
  for (const auto& f : cw) {
    EXPECT_EQ(f.frequency_hz, 869525000u);
    EXPECT_EQ(f.tx_power_dbm, 20);
  }
  // It ends by itself after its time-out, and gives the module back.
  EXPECT_GE(carrier_end(a), t1 + sec(2) - ms(100));
  EXPECT_LE(carrier_end(a), t1 + sec(2) + ms(50));
  at(b, "AT+TRSSI", {floor, "OK"});
  can_sleep(a);
}

// ------------------------------------------------------- packet runs ---

TEST_F(RfTestWorld, PacketRunSendsPrbs9AndTheReceiverCountsIt) {
  Device& a = module("a");
  Device& b = module("b");
  at(b, "AT+TRX=4", {"OK"});
  at(a, "AT+TTX=3", {"Tx Test", "OK"});
  const time_us t0 = w_.now();
  at(a, "AT+TTX=3", {"AT_BUSY_ERROR"});

  std::vector<time_us> at_line;
  for (int k = 1; k <= 3; ++k) {
    ASSERT_TRUE(a.expect_lines(kAt, {tx_line(k, 3)}, sec(1)));
    at_line.push_back(w_.now());
    EXPECT_TRUE(a.expect_lines(kAt, {"OnTxDone"}, sec(1)));
    EXPECT_TRUE(
        b.expect_lines(kAt, {"RssiValue= -106 dBm, SnrValue= 14 ", per_line(k, 4, 0)}, sec(1)));
  }
  // Frames 500 ms apart, the first 500 ms after the start.
  EXPECT_NEAR(static_cast<double>(at_line[0] - t0), 500e3, 20e3);
  EXPECT_NEAR(static_cast<double>(at_line[1] - at_line[0]), kStepUs, kRtcTickUs);
  EXPECT_NEAR(static_cast<double>(at_line[2] - at_line[1]), kStepUs, kRtcTickUs);

  const auto frames = sent(a, t0, false);
  ASSERT_EQ(frames.size(), 3u);
  for (size_t i = 0; i < frames.size(); ++i) {
    const auto& f = frames[i];
    EXPECT_EQ(payload_of(f), prbs9(4));
    EXPECT_EQ(payload_of(f), (Bytes{0x88, 0x21, 0xA7, 0x1A}));
    EXPECT_EQ(f.modem, sim::Modem::kLora);
    EXPECT_EQ(f.frequency_hz, 868000000u);
    EXPECT_EQ(f.sf, 7);
    EXPECT_EQ(f.bandwidth_hz, 125000u);
    EXPECT_EQ(f.tx_power_dbm, 14);
    if (i > 0) {
      EXPECT_NEAR(static_cast<double>(f.start_us - frames[i - 1].start_us), kStepUs, kRtcTickUs);
    }
  }
  // The fourth window hears nothing: 5 s after the third frame it counts as
  // lost.
  const time_us third = w_.now();
  ASSERT_TRUE(b.expect_lines(kAt, {per_line(4, 4, 25)}, sec(6)));
  EXPECT_NEAR(static_cast<double>(w_.now() - third), 5e6, 50e3);
  EXPECT_TRUE(a.quiet(kAt, sec(1)));
  EXPECT_TRUE(b.quiet(kAt, sec(1)));
  can_sleep(a);
  can_sleep(b);

  // A second run starts the sequence again; the longest payload carries the
  // whole sequence (its 511-bit period and more).
  at(a, tconf(868000000, 14, 7, 255), {"OK"});
  at(a, "AT+TTX=1", {"Tx Test", "OK"});
  const time_us t1 = w_.now();
  ASSERT_TRUE(a.expect_lines(kAt, {tx_line(1, 1), "OnTxDone"}, sec(2)));
  const auto longest = sent(a, t1, false);
  ASSERT_EQ(longest.size(), 1u);
  EXPECT_EQ(payload_of(longest[0]), prbs9(255));
  can_sleep(a);
}

// ------------------------------------------------------- hopping runs ---

TEST_F(RfTestWorld, HoppingRunsVisitTheRangeInOrderOrShuffled) {
  Device& a = module("a");
  const std::vector<uint32_t> range = {868000000, 868100000, 868200000,
                                       868300000, 868400000, 868500000};

  at(a, "AT+TTH=868000000:868500000:100000:8", {"OK"});
  const time_us t0 = w_.now();
  at(a, "AT+TRTH=868000000:868500000:100000:8", {"AT_ERROR"});
  std::vector<uint32_t> order;
  for (int k = 1; k <= 8; ++k) order.push_back(range[static_cast<size_t>(k - 1) % range.size()]);
  for (int k = 1; k <= 8; ++k) {
    ASSERT_TRUE(
        a.expect_lines(kAt,
                       {"Tx Hop at " + std::to_string(order[static_cast<size_t>(k - 1)]) + " Hz",
                        tx_line(k, 8), "OnTxDone"},
                       sec(1)));
  }
  auto frames = sent(a, t0, false);
  ASSERT_EQ(frames.size(), 8u);
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].frequency_hz, order[i]) << i;
    EXPECT_EQ(payload_of(frames[i]), prbs9(4));
    EXPECT_EQ(frames[i].sf, 7);
    if (i > 0) {
      EXPECT_NEAR(static_cast<double>(frames[i].start_us - frames[i - 1].start_us), kStepUs,
                  kRtcTickUs);
    }
  }
  can_sleep(a);

  // Shuffled: the test data rate read as a LoRaWAN data rate of the band
  // (EU868 DR6: SF7 at 250 kHz); every round of six frames uses each
  // frequency once, in the same order.
  at(a, tconf(868000000, 14, 6, 4), {"OK"});
  at(a, "AT+TRTH=868000000:868500000:100000:12", {"OK"});
  const time_us t1 = w_.now();
  // The run keeps the module awake after its first frames too.
  ASSERT_TRUE(a.wait_line(kAt, "OnTxDone", sec(1)));
  a.write(kAt, "AT+SLEEP=20\r\n");
  EXPECT_TRUE(a.wait_line(kAt, "AT_BUSY_ERROR", sec(1)));
  ASSERT_TRUE(a.wait_line(kAt, tx_line(12, 12), sec(7)));
  ASSERT_TRUE(a.wait_line(kAt, "OnTxDone", sec(1)));
  frames = sent(a, t1, false);
  ASSERT_EQ(frames.size(), 12u);
  std::vector<uint32_t> first_round, second_round;
  for (size_t i = 0; i < 12; ++i) {
    EXPECT_EQ(frames[i].sf, 7);
    EXPECT_EQ(frames[i].bandwidth_hz, 250000u);
    (i < 6 ? first_round : second_round).push_back(frames[i].frequency_hz);
  }
  std::vector<uint32_t> sorted = first_round;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, range);
  EXPECT_EQ(second_round, first_round);
  can_sleep(a);
}

// --------------------------------------------------------------- stop ---

TEST_F(RfTestWorld, StopEndsEveryRunningTest) {
  Device& a = module("a");
  Device& b = module("b");
  // Replies that may come amid a run's progress lines.
  auto amid = [](Device& d, const std::string& cmd, const std::string& reply) {
    d.write(kAt, cmd + "\r\n");
    EXPECT_TRUE(d.wait_line(kAt, reply, sec(1))) << d.name() << ": " << cmd;
  };
  at(b, "AT+TRX=100", {"OK"});
  at(a, "AT+TTX=100", {"Tx Test", "OK"});
  ASSERT_TRUE(b.wait_line(kAt, per_line(2, 100, 0), sec(2)));
  amid(a, "AT+TOFF", "OK");
  amid(b, "AT+TOFF", "OK");
  const time_us off = w_.now();
  EXPECT_TRUE(a.quiet(kAt, sec(6)));
  EXPECT_TRUE(b.quiet(kAt, sec(6)));  // no window times out any more
  EXPECT_TRUE(sent(a, off, false).empty());
  can_sleep(a);
  can_sleep(b);

  // A hop run and a tone at once, both stopped by one command; a new run
  // may start afterwards.
  at(a, "AT+TTH=868000000:868500000:100000:100", {"OK"});
  ASSERT_TRUE(a.wait_line(kAt, "OnTxDone", sec(1)));
  amid(a, "AT+SLEEP=20", "AT_BUSY_ERROR");  // a run keeps the module awake
  amid(a, "AT+TTONE", "Tx toneOK");
  amid(a, "AT+TOFF", "OK");
  const time_us off2 = w_.now();
  EXPECT_TRUE(a.quiet(kAt, sec(2)));
  EXPECT_TRUE(sent(a, off2, false).empty());
  EXPECT_TRUE(sent(a, off2, true).empty());
  EXPECT_LE(carrier_end(a), off2);
  can_sleep(a);
  at(a, "AT+TTX=1", {"Tx Test", "OK"});
  EXPECT_TRUE(a.expect_lines(kAt, {tx_line(1, 1), "OnTxDone"}, sec(2)));
}

// --------------------------------------------------------- band strap ---

TEST_F(RfTestWorld, ContinuousWaveStaysInTheModulesBand) {
  struct Case {
    const char* image;
    int pb12;
    uint32_t freq;
    bool accepted;
  };
  const Case cases[] = {
      // Low-band Brisola-T: 150 MHz to 600 MHz.
      {"brisola-t", 0, 868000000, false},
      {"brisola-t", 0, 433000000, true},
      {"brisola-t", 0, 600000000, true},
      {"brisola-t", 0, 600000001, false},
      {"brisola-t", 0, 150000000, true},
      {"brisola-t", 0, 149999999, false},
      // High-band Brisola-T: 600 MHz to 960 MHz.
      {"brisola-t", 1, 433000000, false},
      {"brisola-t", 1, 599999999, false},
      {"brisola-t", 1, 600000000, true},
      {"brisola-t", 1, 960000000, true},
      {"brisola-t", 1, 960000001, false},
      {"brisola-e", 0, 868000000, false},
      {"brisola-e", 1, 868000000, true},
      // No strap: the radio's range, 150 MHz to 960 MHz.
      {"saffrond", 0, 100000000, false},
      {"saffrond", 0, 433000000, true},
      {"quenlarlp-sip", 0, 961000000, false},
      {"quenlarlp-sip", 0, 915000000, true},
  };
  std::string current;
  Device* d = nullptr;
  int n = 0;
  for (const Case& c : cases) {
    const std::string which = std::string(c.image) + "/" + std::to_string(c.pb12);
    SCOPED_TRACE(which + " " + std::to_string(c.freq));
    if (which != current) {
      if (d != nullptr) d->kill();
      d = &module("m" + std::to_string(n++), c.image, c.pb12);
      current = which;
    }
    const time_us t = w_.now();
    at(*d, "AT+CW=" + std::to_string(c.freq) + ":14:1", {c.accepted ? "OK" : "AT_PARAM_ERROR"});
    w_.run_for(ms(300));
    const auto carriers = sent(*d, t, true);
    if (c.accepted) {
      ASSERT_FALSE(carriers.empty());
      EXPECT_EQ(carriers.front().frequency_hz, c.freq);
      at(*d, "AT+TOFF", {"OK"});
    } else {
      EXPECT_TRUE(carriers.empty());
      can_sleep(*d);
    }
  }
}

// ------------------------------------------------------ refused input ---

TEST_F(RfTestWorld, RefusedInputLeavesTheRadioIdle) {
  Device& a = module("a");
  const std::string start_conf = "AT+TCONF=868000000:14:0:7:1:0:0:1:4:25000:0:0";
  struct Case {
    const char* cmd;
    const char* reply;
  };
  const Case cases[] = {
      // Counts: zero, not a number, beyond 32 bits, beyond the receive
      // run's signed count.
      {"AT+TTX=0", "AT_PARAM_ERROR"},
      {"AT+TRX=0", "AT_PARAM_ERROR"},
      {"AT+TTX=?", "AT_PARAM_ERROR"},
      {"AT+TTX=4294967296", "AT_PARAM_ERROR"},
      {"AT+TRX=99999999999", "AT_PARAM_ERROR"},
      {"AT+TRX=2147483648", "AT_PARAM_ERROR"},
      {"AT+TTX", "AT_PARAM_ERROR"},
      {"AT+TTX=1:2", "AT_PARAM_ERROR"},
      // Hops: stop below start, out of band, no frames, short forms.
      {"AT+TTH=868500000:868100000:100000:3", "AT_PARAM_ERROR"},
      {"AT+TRTH=868500000:868100000:100000:3", "AT_PARAM_ERROR"},
      {"AT+TTH=100000000:200000000:100000:3", "AT_PARAM_ERROR"},
      {"AT+TTH=900000000:970000000:100000:3", "AT_PARAM_ERROR"},
      {"AT+TRTH=1:2:1:3", "AT_PARAM_ERROR"},
      {"AT+TTH=868000000:868500000:100000:0", "AT_PARAM_ERROR"},
      {"AT+TRTH=868000000:868500000:100000:0", "AT_PARAM_ERROR"},
      {"AT+TTH=868000000:868500000:100000", "AT_PARAM_ERROR"},
      // Test configuration: eleven values, out of range, a power or length
      // beyond their byte, an empty payload.
      {"AT+TCONF=868000000:14:0:7:1:0:0:1:4:25000:0", "AT_PARAM_ERROR"},
      {"AT+TCONF=968000000:14:0:7:1:0:0:1:4:25000:0:0", "AT_PARAM_ERROR"},
      {"AT+TCONF=868000000:270:0:7:1:0:0:1:4:25000:0:0", "AT_PARAM_ERROR"},
      {"AT+TCONF=868000000:23:0:7:1:0:0:1:4:25000:0:0", "AT_PARAM_ERROR"},
      {"AT+TCONF=868000000:14:0:13:1:0:0:1:4:25000:0:0", "AT_PARAM_ERROR"},
      {"AT+TCONF=868000000:14:0:7:257:0:0:1:4:25000:0:0", "AT_PARAM_ERROR"},
      {"AT+TCONF=868000000:14:0:7:1:0:0:1:260:25000:0:0", "AT_PARAM_ERROR"},
      {"AT+TCONF=868000000:14:0:7:1:0:0:1:0:25000:0:0", "AT_PARAM_ERROR"},
      {"AT+TCONF=868000000:14:0:7:1:0:0:1:4:x:0:0", "AT_PARAM_ERROR"},
      // Continuous wave: power, time-out, count of values.
      {"AT+CW=868000000:23:1000", "AT_PARAM_ERROR"},
      {"AT+CW=868000000:4:1000", "AT_PARAM_ERROR"},
      {"AT+CW=868000000:14:65536", "AT_PARAM_ERROR"},
      {"AT+CW=868000000:14", "AT_PARAM_ERROR"},
      {"AT+TRSSI=1", "AT_PARAM_ERROR"},
      {"AT+TTONE=1", "AT_PARAM_ERROR"},
  };
  const time_us t0 = w_.now();
  for (const Case& c : cases) {
    at(a, c.cmd, {c.reply});
  }
  w_.run_for(sec(6));
  EXPECT_TRUE(a.quiet(kAt, ms(10)));
  EXPECT_TRUE(sent(a, t0, false).empty());
  EXPECT_TRUE(sent(a, t0, true).empty());
  at(a, "AT+TCONF=?", {start_conf, "OK"});
  can_sleep(a);

  // 247 to 255 are the negative powers -9 to -1 dBm; a good configuration
  // does not keep the module awake either.
  at(a, "AT+TCONF=868000000:247:0:7:1:0:0:1:4:25000:0:0", {"OK"});
  at(a, "AT+TCONF=?", {"AT+TCONF=868000000:-9:0:7:1:0:0:1:4:25000:0:0", "OK"});
  can_sleep(a);
  at(a, "AT+TTH=?", {"AT+TTH=868000000:868500000:100000:6", "OK"});
}

// ------------------------------------------------------- every image ---

TEST_F(RfTestWorld, EveryImageRunsTheTests) {
  for (const char* image : {"brisola-t", "brisola-e", "quenlarlp-sip", "saffrond"}) {
    SCOPED_TRACE(image);
    Device& d = module(std::string("d-") + image, image);
    const time_us t = w_.now();
    at(d, "AT+TTX=1", {"Tx Test", "OK"});
    EXPECT_TRUE(d.expect_lines(kAt, {tx_line(1, 1), "OnTxDone"}, sec(2)));
    const auto frames = sent(d, t, false);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(payload_of(frames[0]), prbs9(4));
    at(d, "AT+TTONE", {"Tx toneOK"});
    w_.run_for(ms(200));
    EXPECT_FALSE(sent(d, t, true).empty());
    at(d, "AT+TOFF", {"OK"});
    can_sleep(d);
    d.kill();
  }
}

}  // namespace
