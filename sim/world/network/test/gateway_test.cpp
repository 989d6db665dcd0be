// The gateway on a world: frames injected through the time master, answers
// at their exact virtual times, beacons, collisions and sensitivity.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "network/gateway.h"
#include "reference.h"
#include "world/master.h"

namespace {

using namespace sim::network;
using sim::world::FrameRecord;
using sim::world::Master;

const Key kApp = ref::key("2B7E151628AED2A6ABF7158809CF4F3C");
constexpr uint64_t kJoinEui = 0x0101010101010101ull;
constexpr uint64_t kDevEui = 0x0202020202020202ull;

struct Air {
  Master master;
  NetworkServer ns;
  Gateway gw;
  std::vector<FrameRecord> frames;
  explicit Air(RegionId r, GatewayOptions o = {})
      : master("/tmp/qiv-net-" + std::to_string(::getpid()) + ".sock"), ns(r), gw(ns, master, o) {
    master.set_callbacks({nullptr, [this](const FrameRecord& f) { frames.push_back(f); }, nullptr});
    DeviceEntry d;
    d.name = "dev";
    d.dev_eui = kDevEui;
    d.join_eui = kJoinEui;
    d.app_key = kApp;
    ns.add_device(d);
  }
  // An uplink put on the air now by "a device" (the world, sender 0).
  sim::AirFrame uplink(const Bytes& bytes, uint32_t freq, uint8_t sf, uint32_t bw = 125000) {
    sim::AirFrame f{};
    f.modem = sim::Modem::kLora;
    f.frequency_hz = freq;
    f.sf = sf;
    f.bandwidth_hz = bw;
    f.coding_rate = 1;
    f.preamble_len = 8;
    f.lora_sync_word = 0x3444;
    f.crc_on = true;
    f.tx_power_dbm = 14;
    f.len = static_cast<uint16_t>(bytes.size());
    std::memcpy(f.payload, bytes.data(), bytes.size());
    f.start_us = master.now();
    f.end_us = f.start_us + lora_time_on_air_us(sf, bw, bytes.size());
    return f;
  }
  std::vector<FrameRecord> downlinks() const {
    std::vector<FrameRecord> out;
    for (const FrameRecord& r : frames)
      if (r.frame.iq_inverted) out.push_back(r);
    return out;
  }
};

TEST(Gateway, JoinAcceptAtTheExactWindow) {
  struct Case {
    RegionId region;
    Window window;
    uint32_t up_freq;
    uint8_t sf;
    uint32_t bw;
    uint64_t delay;
    uint32_t down_freq;
    uint8_t down_sf;
    uint32_t down_bw;
  } cases[] = {
      {RegionId::kEU868, Window::kRx1, 868100000, 12, 125000, 5000000, 868100000, 12, 125000},
      {RegionId::kEU868, Window::kRx2, 868500000, 7, 125000, 6000000, 869525000, 12, 125000},
      {RegionId::kUS915, Window::kRx1, 904900000, 10, 125000, 5000000, 926300000, 10, 500000},
      {RegionId::kUS915, Window::kRx2, 904900000, 10, 125000, 6000000, 923300000, 12, 500000},
      {RegionId::kAS923_3, Window::kRx2, 916800000, 9, 125000, 6000000, 916600000, 10, 125000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(region(c.region).name);
    Air air(c.region);
    air.ns.set_window("dev", c.window);
    air.master.run_until(3'000'000);
    sim::AirFrame up =
        air.uplink(ref::join_request(kApp, kJoinEui, kDevEui, 1), c.up_freq, c.sf, c.bw);
    air.master.inject_frame(up);
    air.master.run_until(20'000'000);
    auto downs = air.downlinks();
    ASSERT_EQ(downs.size(), 1u);
    const sim::AirFrame& d = downs[0].frame;
    EXPECT_EQ(downs[0].t, up.end_us + c.delay);  // to the microsecond
    EXPECT_EQ(d.start_us, up.end_us + c.delay);
    EXPECT_EQ(d.frequency_hz, c.down_freq);
    EXPECT_EQ(d.sf, c.down_sf);
    EXPECT_EQ(d.bandwidth_hz, c.down_bw);
    EXPECT_FALSE(d.crc_on);
    EXPECT_EQ(d.end_us - d.start_us,
              lora_time_on_air_us(c.down_sf, c.down_bw, 17, 1, 8, false, false));
    Bytes plain = ref::open_accept(kApp, Bytes(d.payload, d.payload + d.len));
    Bytes mic = ref::cmac(kApp, Bytes(plain.begin(), plain.end() - 4));
    EXPECT_TRUE(std::equal(mic.begin(), mic.begin() + 4, plain.end() - 4));
    EXPECT_EQ(air.gw.events().front().outcome, "received");
  }
}

TEST(Gateway, TimingErrorShiftsDownlinks) {
  GatewayOptions o;
  o.timing_error_us = -1500;
  Air air(RegionId::kEU868, o);
  sim::AirFrame up = air.uplink(ref::join_request(kApp, kJoinEui, kDevEui, 1), 868300000, 9);
  air.master.inject_frame(up);
  air.master.run_until(10'000'000);
  ASSERT_EQ(air.downlinks().size(), 1u);
  EXPECT_EQ(air.downlinks()[0].frame.start_us, up.end_us + 5000000 - 1500);
}

TEST(Gateway, HearsSeveralAtOnceButNotCollisionsOrNoise) {
  Air air(RegionId::kEU868);
  DeviceEntry abp;
  abp.name = "abp";
  abp.otaa = false;
  abp.dev_addr = 0x01020304;
  abp.keys = abp_keys_10(kApp, kApp);
  air.ns.add_device(abp);
  ref::Keys k;
  k.fnwk = k.snwk = k.nwkenc = k.app = kApp;
  auto up = [&](uint32_t fcnt) { return ref::uplink(k, false, abp.dev_addr, 0, fcnt, {}, 1, {1}); };
  // Same time: other channels or other spreading factors are all heard.
  air.master.inject_frame(air.uplink(up(1), 868100000, 7));
  air.master.inject_frame(air.uplink(up(2), 868300000, 7));
  air.master.inject_frame(air.uplink(up(3), 868100000, 9));
  air.master.run_until(2'000'000);
  // Same channel and spreading factor, overlapping: lost, both.
  air.master.inject_frame(air.uplink(up(4), 868500000, 8));
  air.master.run_until(2'010'000);
  air.master.inject_frame(air.uplink(up(5), 868500000, 8));
  air.master.run_until(3'000'000);
  // Too weak for SF7.
  air.master.budget().set_default_path_loss(160);
  air.master.inject_frame(air.uplink(up(6), 868100000, 7));
  // Not a channel of the region, not an uplink data rate.
  air.master.budget().set_default_path_loss(80);
  air.master.inject_frame(air.uplink(up(7), 868700000, 7));
  air.master.inject_frame(air.uplink(up(8), 868100000, 7, 500000));
  air.master.run_until(5'000'000);
  std::vector<std::string> outcomes;
  for (const GatewayEvent& e : air.gw.events()) outcomes.push_back(e.outcome);
  EXPECT_EQ(outcomes, (std::vector<std::string>{"received", "received", "received", "collision",
                                                "collision", "not an uplink channel",
                                                "not an uplink data rate", "below sensitivity"}));
  std::vector<uint32_t> fcnts;
  for (const UplinkRecord& r : air.ns.uplinks()) fcnts.push_back(r.fcnt);
  EXPECT_EQ(fcnts, (std::vector<uint32_t>{1, 2, 3}));
}

// A frame its sender cuts short (a reset, a power cut) is never decoded:
// the rest of it does not come. The frame after it is heard as usual, and a
// frame it no longer overlaps once cut is not lost to it.
TEST(Gateway, AFrameCutShortByItsSenderIsLost) {
  Air air(RegionId::kEU868);
  DeviceEntry abp;
  abp.name = "abp";
  abp.otaa = false;
  abp.dev_addr = 0x01020304;
  abp.keys = abp_keys_10(kApp, kApp);
  air.ns.add_device(abp);
  ref::Keys k;
  k.fnwk = k.snwk = k.nwkenc = k.app = kApp;
  auto up = [&](uint32_t fcnt) { return ref::uplink(k, false, abp.dev_addr, 0, fcnt, {}, 1, {1}); };
  sim::AirFrame first = air.uplink(up(1), 868100000, 9);
  first.sender = 7;
  air.master.inject_frame(first);
  air.master.run_until(first.start_us + 20'000);
  sim::AirFrame cut = first;
  cut.cut = true;
  cut.end_us = air.master.now();
  air.master.inject_frame(cut);
  // Same channel and spreading factor after the cut, before the first
  // frame's announced end.
  air.master.run_until(first.start_us + 30'000);
  air.master.inject_frame(air.uplink(up(2), 868100000, 9));
  air.master.run_until(3'000'000);
  std::vector<std::string> outcomes;
  for (const GatewayEvent& e : air.gw.events()) outcomes.push_back(e.outcome);
  EXPECT_EQ(outcomes, (std::vector<std::string>{"cut short", "received"}));
  std::vector<uint32_t> fcnts;
  for (const UplinkRecord& r : air.ns.uplinks()) fcnts.push_back(r.fcnt);
  EXPECT_EQ(fcnts, (std::vector<uint32_t>{2}));
}

// Half duplex: an uplink that overlaps the gateway's own downlink or beacon
// on the air, even by one microsecond at either end, is not heard; one that
// ends as the downlink starts, or starts as it ends, is.
TEST(Gateway, DeafWhileTransmitting) {
  GatewayOptions o;
  o.beacons = true;
  Air air(RegionId::kEU868, o);
  DeviceEntry abp;
  abp.name = "abp";
  abp.otaa = false;
  abp.dev_addr = 0x01020304;
  abp.keys = abp_keys_10(kApp, kApp);
  air.ns.add_device(abp);
  ref::Keys k;
  k.fnwk = k.snwk = k.nwkenc = k.app = kApp;
  uint32_t fcnt = 0;
  auto up_at = [&](sim::time_us start, sim::time_us end_wanted) {
    // An uplink that starts at `start` and is placed so that it ends at
    // `end_wanted` (when not 0).
    air.master.run_until(start);
    ++fcnt;  // neighbours on other channels, so that they do not collide
    sim::AirFrame f = air.uplink(ref::uplink(k, false, abp.dev_addr, 0, fcnt, {}, 1, {1}),
                                 fcnt % 2 ? 868300000 : 868500000, 7);
    if (end_wanted) {
      f.end_us = end_wanted;
      f.start_us = end_wanted - 40000;
    }
    air.master.inject_frame(f);
  };
  // The join accept in RX1 (5 s after the join request).
  sim::AirFrame jr = air.uplink(ref::join_request(kApp, kJoinEui, kDevEui, 1), 868100000, 12);
  air.master.inject_frame(jr);
  air.master.run_until(jr.end_us + 4'000'000);
  const sim::time_us down = jr.end_us + 5'000'000;
  const sim::time_us down_end = down + lora_time_on_air_us(12, 125000, 17, 1, 8, false, false);
  up_at(down - 50000, down);      // ends as the downlink starts: heard
  up_at(down - 30000, down + 1);  // overlaps its start
  air.master.run_until(down + 100000);
  up_at(down + 100000, 0);  // inside it
  air.master.run_until(down_end - 20000);
  up_at(down_end - 20000, down_end + 20000);  // overlaps its end
  air.master.run_until(down_end);
  up_at(down_end, down_end + 40000);  // starts as it ends: heard
  // A beacon (at the next multiple of 128 s of GPS time).
  const sim::time_us beacon = air.gw.next_beacon(air.master.now());
  up_at(beacon - 10000, beacon + 30000);
  air.master.run_until(beacon + 1'000'000);

  std::vector<std::pair<uint32_t, std::string>> got;
  for (const GatewayEvent& e : air.gw.events())
    if (e.uplink && e.frame.frame.frequency_hz != 868100000)
      got.push_back({e.frame.frame.end_us, e.outcome});
  EXPECT_EQ(got, (std::vector<std::pair<uint32_t, std::string>>{
                     {down, "received"},
                     {down + 1, "gateway transmitting"},
                     {down + 100000 + lora_time_on_air_us(7, 125000, 14), "gateway transmitting"},
                     {down_end + 20000, "gateway transmitting"},
                     {down_end + 40000, "received"},
                     {beacon + 30000, "gateway transmitting"}}));
  std::vector<uint32_t> fcnts;
  for (const UplinkRecord& r : air.ns.uplinks())
    if (r.device == "abp") fcnts.push_back(r.fcnt);
  EXPECT_EQ(fcnts, (std::vector<uint32_t>{1, 5}));
}

// FSK uplinks (50 kbit/s) are heard where the region has the FSK data rate
// and answered on FSK in RX1 (on LoRa in RX2); other bit rates, sync words
// and regions without FSK are not heard.
TEST(Gateway, FskUplinksAnsweredOnFsk) {
  auto fsk_up = [](Air& air, const Bytes& bytes, uint32_t freq, uint32_t bitrate = 50000,
                   uint8_t sync0 = 0xC1) {
    sim::AirFrame f{};
    f.modem = sim::Modem::kFsk;
    f.frequency_hz = freq;
    f.bitrate = bitrate;
    f.fdev_hz = 25000;
    f.bandwidth_hz = 117300;
    f.preamble_len = 5;
    f.fsk_sync_len = 3;
    f.fsk_sync[0] = sync0;
    f.fsk_sync[1] = 0x94;
    f.fsk_sync[2] = 0xC1;
    f.crc_on = true;
    f.tx_power_dbm = 14;
    f.len = static_cast<uint16_t>(bytes.size());
    std::memcpy(f.payload, bytes.data(), bytes.size());
    f.start_us = air.master.now();
    f.end_us = f.start_us + 8 * (5 + 3 + 1 + bytes.size() + 2) * 20;
    return f;
  };
  struct Case {
    RegionId region;
    Window window;
    uint32_t freq;
    uint32_t down_freq;
    bool fsk_answer;
  } cases[] = {
      {RegionId::kEU868, Window::kRx1, 868800000, 868800000, true},  // a CFList channel
      {RegionId::kEU868, Window::kRx2, 868800000, 869525000, false},
      {RegionId::kAS923_1, Window::kRx1, 923200000, 923200000, true},
      {RegionId::kCN470_26A, Window::kRx1, 470300000, 490100000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(region(c.region).name);
    Air air(c.region);
    air.ns.set_window("dev", c.window);
    air.ns.join_cflist = ref::from_hex("80918400000000000000000000000000");
    sim::AirFrame up = fsk_up(air, ref::join_request(kApp, kJoinEui, kDevEui, 1), c.freq);
    air.master.inject_frame(up);
    air.master.run_until(10'000'000);
    ASSERT_EQ(air.ns.uplinks().size(), 1u);
    EXPECT_EQ(air.ns.uplinks()[0].meta.dr, 7);
    EXPECT_EQ(air.ns.uplinks()[0].status, "ok");
    const sim::AirFrame* d = nullptr;
    for (const FrameRecord& r : air.frames)
      if (r.t > up.start_us) d = &r.frame;
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->frequency_hz, c.down_freq);
    EXPECT_EQ(d->start_us, up.end_us + (c.window == Window::kRx1 ? 5'000'000 : 6'000'000));
    if (c.fsk_answer) {
      EXPECT_EQ(d->modem, sim::Modem::kFsk);
      EXPECT_EQ(d->bitrate, 50000u);
      EXPECT_EQ(d->fdev_hz, 25000u);
      EXPECT_EQ(d->preamble_len, 5);
      EXPECT_EQ(d->fsk_sync_len, 3);
      EXPECT_EQ(Bytes(d->fsk_sync, d->fsk_sync + 3), ref::from_hex("C194C1"));
      EXPECT_TRUE(d->crc_on);
      EXPECT_FALSE(d->implicit_header);
      EXPECT_EQ(d->end_us - d->start_us, 8u * (5 + 3 + 1 + d->len + 2) * 20);
    } else {
      EXPECT_EQ(d->modem, sim::Modem::kLora);
      EXPECT_EQ(d->sf, 12);
    }
    Bytes plain = ref::open_accept(kApp, Bytes(d->payload, d->payload + d->len));
    Bytes mic = ref::cmac(kApp, Bytes(plain.begin(), plain.end() - 4));
    EXPECT_TRUE(std::equal(mic.begin(), mic.begin() + 4, plain.end() - 4));
  }
  // Not heard: another bit rate or sync word, or a region without FSK.
  struct Bad {
    RegionId region;
    uint32_t freq;
    uint32_t bitrate;
    uint8_t sync0;
    const char* outcome;
  } bad[] = {
      {RegionId::kEU868, 868100000, 100000, 0xC1, "not an uplink data rate"},
      {RegionId::kEU868, 868100000, 50000, 0xC2, "other sync word"},
      {RegionId::kKR920, 922100000, 50000, 0xC1, "not an uplink data rate"},
      {RegionId::kUS915, 902300000, 50000, 0xC1, "not an uplink data rate"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.outcome);
    Air air(b.region);
    air.master.inject_frame(
        fsk_up(air, ref::join_request(kApp, kJoinEui, kDevEui, 1), b.freq, b.bitrate, b.sync0));
    air.master.run_until(10'000'000);
    EXPECT_TRUE(air.ns.uplinks().empty());
    ASSERT_EQ(air.gw.events().size(), 1u);
    EXPECT_EQ(air.gw.events()[0].outcome, b.outcome);
  }
  // RX1 data rate of an FSK uplink by offset; IN865 has no DR6.
  EXPECT_EQ(region(RegionId::kEU868).rx1_dr(7, 0), 7);
  EXPECT_EQ(region(RegionId::kEU868).rx1_dr(7, 1), 6);
  EXPECT_EQ(region(RegionId::kEU868).rx1_dr(7, 5), 2);
  EXPECT_EQ(region(RegionId::kIN865).rx1_dr(7, 1), 5);
  EXPECT_EQ(region(RegionId::kIN865).rx1_dr(7, 7), 7);
  EXPECT_EQ(region(RegionId::kCN470_20B).rx1_dr(7, 2), 5);
}

TEST(Gateway, BeaconsEvery128SecondsWithTheirCrcs) {
  for (RegionId id : {RegionId::kEU868, RegionId::kUS915, RegionId::kCN470}) {
    const Region& r = region(id);
    SCOPED_TRACE(r.name);
    GatewayOptions o;
    o.beacons = true;
    o.beacon_info[0] = 0x00;
    o.beacon_info[1] = 0x11;
    Air air(id, o);
    air.master.run_until(400'000'000);
    std::vector<FrameRecord> beacons;
    for (const FrameRecord& f : air.frames)
      if (!f.frame.iq_inverted) beacons.push_back(f);
    ASSERT_EQ(beacons.size(), 3u);
    for (const FrameRecord& b : beacons) {
      const sim::AirFrame& f = b.frame;
      uint64_t gps = f.start_us + air.ns.gps_offset_us;
      EXPECT_EQ(gps % 128'000'000, 0u);
      EXPECT_TRUE(f.implicit_header);
      EXPECT_FALSE(f.crc_on);
      EXPECT_EQ(f.preamble_len, 10);
      EXPECT_EQ(f.sf, r.dr[r.beacon_dr].sf);
      ASSERT_EQ(f.len, r.beacon_size());
      Bytes p(f.payload, f.payload + f.len);
      size_t t = r.beacon_rfu1;
      uint32_t time = p[t] | p[t + 1] << 8 | p[t + 2] << 16 | static_cast<uint32_t>(p[t + 3]) << 24;
      EXPECT_EQ(time, gps / 1'000'000);
      EXPECT_EQ(f.frequency_hz, r.beacon_frequency(time));
      uint16_t crc1 = ref::crc16_bitwise(Bytes(p.begin(), p.begin() + static_cast<long>(t) + 4));
      EXPECT_EQ(p[t + 4] | p[t + 5] << 8, crc1);
      uint16_t crc2 = ref::crc16_bitwise(Bytes(p.begin() + static_cast<long>(t) + 6, p.end() - 2));
      EXPECT_EQ(p[p.size() - 2] | p[p.size() - 1] << 8, crc2);
      EXPECT_EQ(p[t + 7], 0x11);
    }
  }
}

TEST(Gateway, BeaconsCanBeDroppedOrCorrupted) {
  GatewayOptions o;
  o.beacons = true;
  int n = 0;
  o.beacon_hook = [&n](uint32_t, Bytes& p) {
    ++n;
    if (n == 1) return false;  // lost
    if (n == 2) p[6] ^= 0xFF;  // CRC1 broken
    return true;
  };
  Air air(RegionId::kEU868, o);
  air.master.run_until(400'000'000);
  ASSERT_EQ(n, 3);
  ASSERT_EQ(air.frames.size(), 2u);
  const sim::AirFrame& bad = air.frames[0].frame;
  Bytes p(bad.payload, bad.payload + bad.len);
  EXPECT_NE(p[6] | p[7] << 8, ref::crc16_bitwise(Bytes(p.begin(), p.begin() + 6)));
}

// A delay set between beacons moves the ones after the next (already
// scheduled); each still carries the GPS time of the period boundary it
// belongs to (the next one for a beacon early by 100 ms), once per period.
TEST(Gateway, BeaconDelayChangedBetweenBeacons) {
  GatewayOptions o;
  o.beacons = true;
  Air air(RegionId::kEU868, o);
  air.master.run_until(250'000'000);
  ASSERT_EQ(air.frames.size(), 2u);
  air.gw.options().beacon_delay_us = 300'000;
  air.master.run_until(650'000'000);
  // And 100 ms early.
  air.gw.options().beacon_delay_us = 128'000'000 - 100'000;
  air.master.run_until(1'000'000'000);
  ASSERT_EQ(air.frames.size(), 7u);
  uint64_t last_period = 0;
  for (size_t i = 0; i < air.frames.size(); ++i) {
    SCOPED_TRACE(i);
    const sim::AirFrame& f = air.frames[i].frame;
    const uint64_t gps = f.start_us + air.ns.gps_offset_us;
    const uint64_t shift[] = {0, 0, 0, 300'000, 300'000, 300'000, 127'900'000};
    EXPECT_EQ(gps % 128'000'000, shift[i]);
    const uint64_t period = (gps + 64'000'000) / 128'000'000;
    if (i > 0) {
      EXPECT_EQ(period, last_period + 1);
    }
    last_period = period;
    Bytes p(f.payload, f.payload + f.len);
    uint32_t time = p[2] | p[3] << 8 | p[4] << 16 | static_cast<uint32_t>(p[5]) << 24;
    EXPECT_EQ(time, period * 128);
  }
}

TEST(Gateway, ClassCDownlinkGoesOutAtOnce) {
  Air air(RegionId::kEU868);
  air.master.inject_frame(air.uplink(ref::join_request(kApp, kJoinEui, kDevEui, 1), 868100000, 7));
  air.master.run_until(30'000'000);
  air.ns.set_class("dev", 'C');
  air.ns.queue_downlink("dev", 2, {1, 2, 3});
  air.master.run_until(60'000'000);
  auto downs = air.downlinks();
  ASSERT_EQ(downs.size(), 2u);
  EXPECT_EQ(downs[1].t, 30'000'000u);
  EXPECT_EQ(downs[1].frame.frequency_hz, 869525000u);
}

TEST(Gateway, RawFramesAtAChosenTime) {
  Air air(RegionId::kEU868);
  air.gw.send_raw(7'000'000, 869525000, 0, {0x60, 1, 2, 3});
  air.master.run_until(8'000'000);
  ASSERT_EQ(air.downlinks().size(), 1u);
  EXPECT_EQ(air.downlinks()[0].t, 7'000'000u);
  EXPECT_EQ(air.downlinks()[0].frame.len, 4);
}

}  // namespace

namespace {

double log_time(const std::string& line) { return std::stod(line.substr(0, line.find('s'))); }

// The log reads in time order: a join request before the accept it
// causes (which goes out 5 s later), and a later uplink from another device
// heard in between comes between them.
TEST(Gateway, LogInTimeOrder) {
  Air air(RegionId::kEU868);
  DeviceEntry abp;
  abp.name = "abp";
  abp.otaa = false;
  abp.dev_addr = 0x01020304;
  abp.keys = abp_keys_10(kApp, kApp);
  air.ns.add_device(abp);
  ref::Keys k;
  k.fnwk = k.snwk = k.nwkenc = k.app = kApp;
  air.master.inject_frame(air.uplink(ref::join_request(kApp, kJoinEui, kDevEui, 1), 868100000, 7));
  air.master.run_until(2'000'000);
  air.master.inject_frame(
      air.uplink(ref::uplink(k, false, abp.dev_addr, 0, 1, {}, 1, {1}), 868300000, 7));
  air.master.run_until(10'000'000);
  const std::vector<std::string>& log = air.ns.log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_NE(log[0].find("JoinRequest dev"), std::string::npos) << log[0];
  EXPECT_NE(log[1].find("UnconfirmedUp abp"), std::string::npos) << log[1];
  EXPECT_NE(log[2].find("JoinAccept dev"), std::string::npos) << log[2];
  for (size_t i = 1; i < log.size(); ++i) EXPECT_LE(log_time(log[i - 1]), log_time(log[i]));
}

// A module left on another region's plan is named as such in the log.
TEST(Gateway, FrameOnAnotherRegionsPlanIsNamed) {
  Air air(RegionId::kUS915);
  air.master.inject_frame(air.uplink(ref::join_request(kApp, kJoinEui, kDevEui, 1), 868100000, 7));
  air.master.run_until(2'000'000);
  ASSERT_EQ(air.ns.log().size(), 1u);
  const std::string& l = air.ns.log()[0];
  EXPECT_NE(l.find("ignored: not an uplink channel of US915 (a channel of EU868"),
            std::string::npos)
      << l;
  EXPECT_TRUE(air.ns.uplinks().empty());
}

}  // namespace
