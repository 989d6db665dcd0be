// The world's pure parts: the link budget and the duration syntax.
#include <gtest/gtest.h>

#include <cmath>

#include "world/link_budget.h"
#include "world/master.h"

namespace {

using sim::world::LinkBudget;

sim::AirFrame frame(uint32_t sender, int8_t power, uint32_t bandwidth) {
  sim::AirFrame f{};
  f.sender = sender;
  f.tx_power_dbm = power;
  f.bandwidth_hz = bandwidth;
  return f;
}

double thermal(double bw, double nf) { return -174.0 + 10.0 * std::log10(bw) + nf; }

TEST(LinkBudget, RssiAndSnrFollowLossAndNoise) {
  LinkBudget b;
  b.set_path_loss(1, 2, 100.0);        // both ways
  b.set_path_loss(1, 3, 60.0, false);  // 1 -> 3 only
  struct Case {
    uint32_t from, to;
    int8_t power;
    uint32_t bw;
    double loss;
    double floor;
  } cases[] = {
      {1, 4, 14, 125000, 80.0, thermal(125000, 6)},   // default loss
      {2, 1, 14, 125000, 100.0, thermal(125000, 6)},  // pair, reverse direction
      {1, 3, 22, 500000, 60.0, thermal(500000, 6)},   // one-way pair
      {3, 1, 22, 500000, 80.0, thermal(500000, 6)},   // ... not the other way
      {0, 2, -9, 0, 80.0, thermal(125000, 6)},        // no bandwidth: 125 kHz
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.from << "->" << c.to);
    sim::AirFrame f = frame(c.from, c.power, c.bw);
    b.apply(f, c.to);
    double rssi = c.power - c.loss;
    EXPECT_EQ(f.rx_rssi_dbm, std::lround(rssi));
    EXPECT_EQ(f.rx_snr_db, std::lround(rssi - c.floor));
  }
}

TEST(LinkBudget, SettingsChangeTheBudget) {
  LinkBudget b;
  b.set_default_path_loss(120.0);
  b.set_noise_figure(3.0);
  sim::AirFrame f = frame(1, 14, 125000);
  b.apply(f, 2);
  EXPECT_EQ(f.rx_rssi_dbm, -106);
  EXPECT_EQ(f.rx_snr_db, std::lround(-106.0 - thermal(125000, 3)));

  b.set_noise_floor(-100.0);
  b.apply(f, 2);
  EXPECT_EQ(f.rx_snr_db, -6);

  b.set_path_loss(1, 2, 50.0);
  b.clear_path_loss(1, 2);
  EXPECT_EQ(b.path_loss(1, 2), 120.0);
  EXPECT_EQ(b.path_loss(2, 1), 120.0);
}

TEST(LinkBudget, ExtremesSaturate) {
  LinkBudget b;
  b.set_noise_floor(-100.0);
  struct Case {
    double loss;
    int16_t rssi;
    int8_t snr;
  } cases[] = {{-300.0, 314, 127}, {40000.0, -32768, -128}};
  for (const Case& c : cases) {
    b.set_default_path_loss(c.loss);
    sim::AirFrame f = frame(1, 14, 125000);
    b.apply(f, 2);
    EXPECT_EQ(f.rx_rssi_dbm, c.rssi) << c.loss;
    EXPECT_EQ(f.rx_snr_db, c.snr) << c.loss;
  }
}

TEST(Duration, ParsesUnitsAndRefusesTheRest) {
  struct Good {
    const char* text;
    sim::time_us us;
  } good[] = {
      {"100", 100},       {"90us", 90},        {"250ms", 250000},       {"2s", 2000000},
      {"1.5m", 90000000}, {"2min", 120000000}, {"24h", 86400000000ull}, {"3d", 259200000000ull},
      {"0s", 0}};
  for (const Good& g : good) {
    sim::time_us t = 1;
    EXPECT_TRUE(sim::world::parse_duration(g.text, &t)) << g.text;
    EXPECT_EQ(t, g.us) << g.text;
  }
  for (const char* bad : {"", "ms", "5x", "-1s", "1e30d", "s5", "nan", "2 s"}) {
    sim::time_us t = 7;
    EXPECT_FALSE(sim::world::parse_duration(bad, &t)) << bad;
    EXPECT_EQ(t, 7u) << bad;
  }
  EXPECT_EQ(sim::world::format_time(12345678), "12.345678s");
  EXPECT_EQ(sim::world::format_time(sim::kNever), "never");
}

}  // namespace
