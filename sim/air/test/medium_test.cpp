// The air of one process: who is told about a frame and when, the link
// budget per pair of devices, the collision rule, channel energy and
// activity.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "sim/air_medium.h"
#include "sim/host.h"
#include "sim/sim.h"

namespace {

using sim::AirFrame;
using sim::Modem;
using sim::air::Heard;
using sim::air::Medium;

struct Recorder : sim::air::Node {
  struct Ev {
    std::string what;
    uint32_t id;
    sim::time_us at;
    int16_t rssi;
    int8_t snr;
  };
  std::vector<Ev> evs;
  void air_frame_started(const Heard& h) override {
    evs.push_back({"start", h.id, sim::now(), h.frame.rx_rssi_dbm, h.frame.rx_snr_db});
  }
  void air_frame_ended(const Heard& h) override {
    evs.push_back({"end", h.id, sim::now(), h.frame.rx_rssi_dbm, h.frame.rx_snr_db});
  }
};

AirFrame lora(uint32_t freq, uint8_t sf, sim::time_us start, sim::time_us len, int8_t power = 14) {
  AirFrame f{};
  f.start_us = start;
  f.end_us = start + len;
  f.frequency_hz = freq;
  f.modem = Modem::kLora;
  f.sf = sf;
  f.bandwidth_hz = 125000;
  f.coding_rate = 1;
  f.tx_power_dbm = power;
  return f;
}

class MediumTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    air().reset();
    air().attach(&a, 1);
    air().attach(&b, 2);
    air().attach(&c, 3);
  }
  void TearDown() override {
    air().reset();
    sim::host::reset_core();
  }
  Medium& air() { return Medium::instance(); }
  Recorder a, b, c;
};

TEST_F(MediumTest, OthersHearStartAndEndWithTheirLinkBudget) {
  air().set_default_path_loss(100);
  air().set_path_loss(1, 3, 130);
  std::vector<AirFrame> tapped;
  air().add_tap(
      [](void* ctx, const AirFrame& f) { static_cast<std::vector<AirFrame>*>(ctx)->push_back(f); },
      &tapped);
  sim::run_until(1000);
  const uint32_t id = air().transmit(&a, lora(868100000, 7, sim::now(), 50000));
  sim::run_until(100000);
  EXPECT_TRUE(a.evs.empty()) << "the sender does not hear itself";
  ASSERT_EQ(b.evs.size(), 2u);
  ASSERT_EQ(c.evs.size(), 2u);
  EXPECT_EQ(b.evs[0].what, "start");
  EXPECT_EQ(b.evs[0].at, 1000u);
  EXPECT_EQ(b.evs[1].what, "end");
  EXPECT_EQ(b.evs[1].at, 51000u);
  EXPECT_EQ(b.evs[0].id, id);
  // 14 dBm - 100 dB; noise floor of 125 kHz: -174 + 51 + 6 = -117 dBm.
  EXPECT_EQ(b.evs[0].rssi, -86);
  EXPECT_EQ(b.evs[0].snr, 31);
  EXPECT_EQ(c.evs[0].rssi, -116);
  EXPECT_EQ(c.evs[0].snr, 1);
  ASSERT_EQ(tapped.size(), 1u);
  EXPECT_EQ(tapped[0].sender, 1u);
}

TEST_F(MediumTest, InjectedFramesKeepTheirValuesAndLateOnesAreAnnouncedAtOnce) {
  sim::run_until(5000);
  AirFrame f = lora(868100000, 9, 1000, 10000);  // began before now
  f.rx_rssi_dbm = -99;
  f.rx_snr_db = -3;
  air().inject(f);
  sim::run_until(20000);
  ASSERT_EQ(a.evs.size(), 2u);
  EXPECT_EQ(a.evs[0].at, 5000u);
  EXPECT_EQ(a.evs[0].rssi, -99);
  EXPECT_EQ(a.evs[0].snr, -3);
  EXPECT_EQ(a.evs[1].at, 11000u);
}

TEST_F(MediumTest, CollisionRule) {
  struct Case {
    const char* name;
    AirFrame other;
    bool collides;
  };
  AirFrame carrier{};
  carrier.start_us = 20000;
  carrier.end_us = 30000;
  carrier.frequency_hz = 868100000;
  carrier.modem = Modem::kFsk;
  carrier.bitrate = 0;
  AirFrame fsk = lora(868100000, 0, 10000, 20000);
  fsk.modem = Modem::kFsk;
  fsk.bitrate = 50000;
  const Case cases[] = {
      {"same channel and SF, overlapping", lora(868100000, 7, 40000, 30000), true},
      {"same channel, other SF", lora(868100000, 8, 40000, 30000), false},
      {"adjacent channel", lora(868300000, 7, 40000, 30000), false},
      {"half a channel off", lora(868160000, 7, 40000, 30000), true},
      {"after the end", lora(868100000, 7, 60000, 30000), false},
      {"ends at the start", lora(868100000, 7, 0, 10000), false},
      {"a carrier", carrier, true},
      {"FSK on a LoRa frame", fsk, false},
  };
  for (const auto& k : cases) {
    air().reset();
    sim::host::reset_core();
    air().attach(&a, 1);
    air().attach(&b, 2);
    air().attach(&c, 3);
    sim::run_until(k.other.start_us < 10000 ? k.other.start_us : 10000);
    uint32_t first = 0, second = 0;
    if (k.other.start_us < 10000) {
      second = air().transmit(&c, k.other);
      sim::run_until(10000);
      first = air().transmit(&a, lora(868100000, 7, 10000, 50000));
    } else {
      first = air().transmit(&a, lora(868100000, 7, 10000, 50000));
      sim::run_until(k.other.start_us);
      second = air().transmit(&c, k.other);
    }
    (void)second;
    sim::run_until(55000);  // before the first frame's end, while it is kept
    EXPECT_EQ(air().collided(&b, first), k.collides) << k.name;
    sim::run_until(200000);
  }
}

TEST_F(MediumTest, ChannelPowerAndActivity) {
  air().set_default_path_loss(80);
  const double floor = sim::air::noise_floor_dbm(125000);
  EXPECT_NEAR(air().channel_power_dbm(&b, 868100000, 125000, 0), floor, 1e-9);
  air().transmit(&a, lora(868100000, 9, 0, 100000, 10));
  air().transmit(&c, lora(868100000, 9, 0, 100000, 10));
  sim::run_until(50000);
  // Two equal signals of -70 dBm: about -67 dBm.
  EXPECT_NEAR(air().channel_power_dbm(&b, 868100000, 125000, 50000), -70 + 10 * std::log10(2.0),
              0.01);
  EXPECT_NEAR(air().channel_power_dbm(&b, 869100000, 125000, 50000), floor, 1e-9)
      << "other channel";
  EXPECT_TRUE(air().lora_activity(&b, 868100000, 125000, 9, 40000, 60000));
  EXPECT_FALSE(air().lora_activity(&b, 868100000, 125000, 7, 40000, 60000)) << "other SF";
  EXPECT_FALSE(air().lora_activity(&b, 868100000, 125000, 9, 100000, 120000)) << "after the frames";
  sim::run_until(200000);
  EXPECT_NEAR(air().channel_power_dbm(&b, 868100000, 125000, 200000), floor, 1e-9);
}

TEST(AirMaths, BandwidthCodesAndTimeOnAir) {
  EXPECT_EQ(sim::air::lora_bandwidth_hz(0), 7813u);
  EXPECT_EQ(sim::air::lora_bandwidth_code(7812), 0);
  EXPECT_EQ(sim::air::lora_bandwidth_code(10417), 8);
  EXPECT_EQ(sim::air::lora_bandwidth_code(125000), 4);
  EXPECT_EQ(sim::air::lora_bandwidth_code(100000), 0xFF);
  EXPECT_EQ(sim::air::fsk_bandwidth_hz(0x09), 467000u);
  EXPECT_EQ(sim::air::fsk_bandwidth_hz(0x00), 0u);
  // 10 bytes, SF7, 125 kHz, CR 4/5, explicit, CRC: 40.25 symbols of 1.024 ms.
  EXPECT_EQ(sim::air::lora_time_on_air_us(7, 4, 1, 8, false, true, false, 10), 41216u);
  EXPECT_EQ(sim::air::lora_time_on_air_us(13, 4, 1, 8, false, true, false, 10), 0u);
  EXPECT_EQ(sim::air::fsk_time_on_air_us(20480, 1000), 20000u);  // 1000 bits at 50 kbit/s
}

}  // namespace
