// Class B on the STM32WLE5 images against the test network and its beacons:
// the acquisition from AT+CLASS=B to "+BC:DONE", ping-slot and class B
// multicast downlinks at the instants the public ping-offset formula gives
// (computed here with OpenSSL), the beacon readings, hours of tracking,
// beacon loss with its fallback to class A, the uplink guard before a
// beacon, bands without beacons, ABP devices, and the new commands' refusals.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "network/gateway.h"
#include "lorawan_test_keys.h"
#include "systest/world.h"

namespace {

using namespace sim::network;
using namespace lorawan_test;
using systest::sec;

constexpr int kAt = 2;
const Key kMcNwkSKey = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                        0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
const Key kMcAppSKey = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7,
                        0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF};
const char kMcKeys[] = "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF:B0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF";

constexpr uint64_t kBeaconPeriodUs = 128000000;
constexpr uint64_t kReservedUs = 2120000;
constexpr uint64_t kSlotUs = 30000;

// The ping offset of LoRaWAN class B: AES-128 under the all-zero key of
// the beacon time and the address (both little-endian, then 8 zero bytes);
// the first two cipher bytes, little-endian, modulo the period.
uint32_t ping_offset(uint32_t beacon_time, uint32_t address, uint32_t period) {
  uint8_t block[16] = {};
  for (int i = 0; i < 4; ++i) {
    block[i] = static_cast<uint8_t>(beacon_time >> (8 * i));
    block[4 + i] = static_cast<uint8_t>(address >> (8 * i));
  }
  const uint8_t key[16] = {};
  uint8_t cipher[32];
  int len = 0;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_EncryptUpdate(ctx, cipher, &len, block, sizeof block);
  EVP_CIPHER_CTX_free(ctx);
  return (cipher[0] + 256u * cipher[1]) % period;
}

// Whether a downlink that starts at GPS time `gps_us` lies in a ping slot
// of `address` with the periodicity `p`: beacon start + 2.12 s + (offset +
// n x period) x 30 ms, n below the slots per beacon period.
testing::AssertionResult in_ping_slot(uint64_t gps_us, uint32_t address, int p) {
  const uint32_t period = 32u << p;
  const uint64_t beacon = gps_us / kBeaconPeriodUs * kBeaconPeriodUs;
  const uint64_t into = gps_us - beacon;
  if (into < kReservedUs || (into - kReservedUs) % kSlotUs != 0) {
    return testing::AssertionFailure() << "starts " << into << " us into its beacon period";
  }
  const uint64_t slot = (into - kReservedUs) / kSlotUs;
  const uint32_t offset = ping_offset(static_cast<uint32_t>(beacon / 1000000), address, period);
  if (slot < offset || (slot - offset) % period != 0) {
    return testing::AssertionFailure()
           << "slot " << slot << ", offset " << offset << ", period " << period;
  }
  return testing::AssertionSuccess() << "slot " << slot << " (offset " << offset << ")";
}

// "hhHmmMssS on MM/DD/YYYY" of a Unix time, in UTC.
std::string utc_text(uint64_t unix_s) {
  const time_t t = static_cast<time_t>(unix_s);
  struct tm u {};
  gmtime_r(&t, &u);
  char text[40];
  std::snprintf(text, sizeof text, "%02dh%02dm%02ds on %02d/%02d/%04d", u.tm_hour, u.tm_min,
                u.tm_sec, u.tm_mon + 1, u.tm_mday, u.tm_year + 1900);
  return text;
}

bool has_command(const UplinkRecord& up, uint8_t cid) {
  return std::any_of(up.mac.begin(), up.mac.end(),
                     [cid](const MacCommand& c) { return c.cid == cid; });
}

class ClassB : public ::testing::Test {
 protected:
  // A module of `image` on EU868, a network and a gateway sending beacons
  // whose gateway-specific field is `info` (descriptor, then 6 bytes).
  void start(const std::string& image, std::vector<uint8_t> info = {0, 0, 0, 0, 0, 0, 0}) {
    d_ = &fdn::start_module(w_, "a", fdn::image_named(image));
    GatewayOptions g;
    g.beacons = true;
    std::copy(info.begin(), info.end(), g.beacon_info);
    gw_ = std::make_unique<Gateway>(ns_, w_.master(), g);
    ASSERT_TRUE(at("AT+BAND=4"));
  }

  // One command and exactly its reply: the error word, "OK", or a query's
  // line and "OK".
  testing::AssertionResult at(const std::string& command, const std::string& reply = "OK") {
    d_->write(kAt, command + "\r\n");
    std::vector<std::string> lines = {reply};
    if (reply != "OK" && reply.rfind("AT_", 0) != 0) lines.push_back("OK");
    return d_->expect_lines(kAt, lines, sec(3));
  }

  void otaa() {
    DeviceEntry e;
    e.name = "a";
    e.dev_eui = 0x0202020202020202ull;
    e.join_eui = 0x0101010101010101ull;
    e.app_key = kAppKey;
    ns_.add_device(e);
    ASSERT_TRUE(at("AT+NJM=1"));
    ASSERT_TRUE(at("AT+DEVEUI=0202020202020202"));
    ASSERT_TRUE(at("AT+APPEUI=0101010101010101"));
    ASSERT_TRUE(at("AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C"));
    ASSERT_TRUE(at("AT+JOIN=1:0:10:8"));
    ASSERT_TRUE(d_->wait_line(kAt, "+EVT:JOINED", sec(15)));
  }

  void abp() {
    DeviceEntry e;
    e.name = "a";
    e.otaa = false;
    e.dev_addr = kDevAddr;
    e.keys.fnwk_s_int = e.keys.snwk_s_int = e.keys.nwk_s_enc = kNwkSKey;
    e.keys.app_s = kAppSKey;
    ns_.add_device(e);
    ASSERT_TRUE(at("AT+DEVADDR=26011234"));
    ASSERT_TRUE(at("AT+NWKSKEY=112233445566778899AABBCCDDEEFF00"));
    ASSERT_TRUE(at("AT+APPSKEY=0F1E2D3C4B5A69788796A5B4C3D2E1F0"));
    ASSERT_TRUE(at("AT+NJM=0"));
    ASSERT_TRUE(at("AT+JOIN"));
  }

  std::optional<UplinkRecord> uplink(size_t from, systest::time_us timeout) {
    return wait_uplink(
        w_.master(), ns_, from, [](const UplinkRecord& r) { return r.device == "a"; }, timeout);
  }

  // AT+CLASS=B with ping-slot periodicity `p`, through the device time, the
  // beacon and the network's acknowledgement of the periodicity, checking
  // each step's lines and state.
  void enter_class_b(int p) {
    ASSERT_TRUE(at("AT+PGSLOT=" + std::to_string(p)));
    ASSERT_TRUE(at("AT+PGSLOT=?", "AT+PGSLOT=" + std::to_string(p)));
    ASSERT_TRUE(at("AT+CLASS=B"));
    ASSERT_TRUE(at("AT+CLASS=?", "AT+CLASS=B:S0"));
    for (const char* q : {"AT+BFREQ=?", "AT+BTIME=?", "AT+BGW=?"}) {
      ASSERT_TRUE(at(q, "AT_NO_CLASSB_ENABLE"));
    }

    // The next uplink asks for the network's time.
    size_t before = ns_.uplinks().size();
    ASSERT_TRUE(at("AT+SEND=2:01"));
    std::optional<UplinkRecord> up = uplink(before, sec(5));
    ASSERT_TRUE(up);
    EXPECT_TRUE(has_command(*up, 0x0D)) << up->line();
    EXPECT_FALSE(up->fctrl & 0x10) << up->line();
    ASSERT_TRUE(d_->expect_lines(kAt, {"+EVT:TX_DONE"}, sec(5)));
    ASSERT_TRUE(at("AT+CLASS=?", "AT+CLASS=B:S1"));

    // Knowing the time, the module listens for the next beacon and locks on
    // it as it ends.
    const systest::time_us beacon = gw_->next_beacon(w_.now());
    ASSERT_TRUE(d_->expect_lines(kAt, {"+BC:LOCKED"}, sec(140)));
    EXPECT_GE(w_.now(), beacon);
    EXPECT_LT(w_.now(), beacon + sec(1));
    ASSERT_TRUE(at("AT+CLASS=?", "AT+CLASS=B:S2"));

    // 1 to 32 s later an empty uplink carries the periodicity; its
    // acknowledgement completes class B, and another empty uplink tells the
    // network the module is in class B.
    before = ns_.uplinks().size();
    const systest::time_us locked = w_.now();
    up = uplink(before, sec(34));
    ASSERT_TRUE(up);
    EXPECT_GE(up->t, locked + sec(1));
    ASSERT_EQ(up->mac.size(), 1u) << up->line();
    EXPECT_EQ(up->mac[0].cid, 0x10);
    EXPECT_EQ(up->mac[0].data, Bytes{static_cast<uint8_t>(p)});
    EXPECT_EQ(up->fport.value_or(0), 0) << up->line();
    ASSERT_TRUE(d_->expect_lines(kAt, {"+EVT:TX_DONE", "+BC:DONE"}, sec(5)));
    up = uplink(before + 1, sec(5));
    ASSERT_TRUE(up);
    EXPECT_TRUE(up->fctrl & 0x10) << up->line();
    ASSERT_TRUE(d_->expect_lines(kAt, {"+EVT:TX_DONE"}, sec(5)));
    ASSERT_TRUE(at("AT+CLASS=?", "AT+CLASS=B"));
  }

  // The next line that is not a beacon report ("+BC:...").
  std::optional<std::string> next_downlink_line(systest::time_us timeout) {
    const systest::time_us end = w_.now() + timeout;
    while (w_.now() < end) {
      std::optional<std::string> line = d_->next_line(kAt, end - w_.now());
      if (line && line->rfind("+BC:", 0) != 0) return line;
    }
    return std::nullopt;
  }

  // Queues a unicast downlink and waits for its line; checks its start
  // against the ping slots of the module.
  void ping_slot_downlink(int p, uint32_t address, uint8_t port, const Bytes& payload,
                          const std::string& hex) {
    const size_t before = ns_.downlinks().size();
    ns_.queue_downlink("a", port, payload);
    std::optional<std::string> line = next_downlink_line(sec(130));
    ASSERT_TRUE(line);
    EXPECT_EQ(line->rfind("+EVT:RX_B:", 0), 0u) << *line;
    const std::string tail = ":UNICAST:" + std::to_string(port) + ":" + hex;
    ASSERT_GE(line->size(), tail.size());
    EXPECT_EQ(line->substr(line->size() - tail.size()), tail);
    ASSERT_EQ(ns_.downlinks().size(), before + 1);
    const DownlinkRecord& down = ns_.downlinks().back();
    EXPECT_EQ(down.tx.what, "ping slot");
    EXPECT_TRUE(in_ping_slot(ns_.gps_us(down.tx.at), address, p));
  }

  systest::World w_;
  NetworkServer ns_{RegionId::kEU868};
  std::unique_ptr<Gateway> gw_;
  systest::Device* d_ = nullptr;
};

// An image, the gateway-specific field of its network's beacons
// (descriptor, then 6 bytes) and what AT+BGW shows of it.
struct ImageCase {
  const char* image;
  std::vector<uint8_t> info;
  const char* bgw;
};

class ClassBOnEveryImage : public ClassB, public testing::WithParamInterface<ImageCase> {};

// GPS seconds of the last beacon at world time `t`.
uint32_t last_beacon_seconds(const NetworkServer& ns, systest::time_us t) {
  return static_cast<uint32_t>(ns.gps_us(t) / kBeaconPeriodUs * 128);
}

// The whole acquisition, then a unicast and a class B multicast downlink in
// their slots, and the beacon readings.
TEST_P(ClassBOnEveryImage, AcquisitionPingSlotsAndBeaconReadings) {
  start(GetParam().image, GetParam().info);
  otaa();
  enter_class_b(1);

  ASSERT_TRUE(at("AT+BFREQ=?", "AT+BFREQ=3:869.525"));
  ASSERT_TRUE(at("AT+BTIME=?", "AT+BTIME=" + std::to_string(last_beacon_seconds(ns_, w_.now()))));
  ASSERT_TRUE(at("AT+BGW=?", std::string("AT+BGW=") + GetParam().bgw));
  // The local time: the network's GPS time less the 18 leap seconds, as
  // UTC (the second may turn while the reply is on its way).
  const uint64_t unix_s = ns_.gps_us(w_.now()) / 1000000 + 315964800 - 18;
  d_->write(kAt, "AT+LTIME=?\r\n");
  std::optional<std::string> local = d_->next_line(kAt, sec(1));
  ASSERT_TRUE(local);
  EXPECT_TRUE(*local == "AT+LTIME=" + utc_text(unix_s) ||
              *local == "AT+LTIME=" + utc_text(unix_s + 1))
      << *local << " at " << utc_text(unix_s);
  ASSERT_TRUE(d_->expect_lines(kAt, {"OK"}, sec(1)));
  // Only the query form, once class B runs.
  for (const char* bad : {"AT+BFREQ", "AT+BTIME=1", "AT+BGW=?:?"}) {
    EXPECT_TRUE(at(bad, "AT_PARAM_ERROR"));
  }

  const uint32_t addr = ns_.dev_addr("a").value_or(0);
  ping_slot_downlink(1, addr, 9, Bytes{0xB0, 0x0B}, "b00b");

  // A class B multicast group on the default ping-slot channel, every
  // fourth slot of the unicast periodicity's spacing.
  ASSERT_TRUE(at(std::string("AT+ADDMULC=B:11223344:") + kMcKeys + ":0:0:2"));
  Multicast g;
  g.name = "g";
  g.addr = 0x11223344;
  g.nwk_s_key = kMcNwkSKey;
  g.app_s_key = kMcAppSKey;
  g.group_class = 'B';
  g.periodicity = 2;
  ns_.add_multicast(g);
  // A group added while class B runs has its slots from the next beacon on.
  w_.run_until(gw_->next_beacon(w_.now()) + sec(3));
  const size_t before = ns_.downlinks().size();
  ns_.queue_multicast("g", 7, Bytes{0xCA, 0xFE});
  std::optional<std::string> line = next_downlink_line(sec(130));
  ASSERT_TRUE(line);
  EXPECT_EQ(line->rfind("+EVT:RX_B:", 0), 0u) << *line;
  const std::string tail = ":MULTICAST:7:cafe";
  ASSERT_GE(line->size(), tail.size());
  EXPECT_EQ(line->substr(line->size() - tail.size()), tail);
  ASSERT_EQ(ns_.downlinks().size(), before + 1);
  EXPECT_TRUE(in_ping_slot(ns_.gps_us(ns_.downlinks().back().tx.at), g.addr, 2));
}

// Fields are 24-bit, least significant byte first; AT+BGW lists the
// descriptor, NetID, gateway id, latitude and longitude.
INSTANTIATE_TEST_SUITE_P(
    Images, ClassBOnEveryImage,
    testing::Values(
        // Coordinates of the first antenna: latitude 0x123456, longitude 0xABCDEF.
        ImageCase{
            "brisola-t", {0x00, 0x56, 0x34, 0x12, 0xEF, 0xCD, 0xAB}, "0:0:0:1193046:11259375"},
        // NetID 0x000013 and gateway id 0x030201.
        ImageCase{"brisola-e", {0x03, 0x13, 0x00, 0x00, 0x01, 0x02, 0x03}, "0:19:197121:0:0"},
        // Coordinates of the third antenna: the largest latitude field, a
        // longitude with its top bit set.
        ImageCase{
            "quenlarlp-sip", {0x02, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x80}, "2:0:0:16777215:8388608"},
        // A descriptor for something else: nothing is recorded.
        ImageCase{"saffrond", {0x41, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06}, "0:0:0:0:0"}),
    [](const testing::TestParamInfo<ImageCase>& i) {
      std::string n = i.param.image;
      std::replace(n.begin(), n.end(), '-', '_');
      return n;
    });

// Lines the module prints while the world runs for `duration`, each with
// the time it was complete.
std::vector<std::pair<systest::time_us, std::string>> lines_for(systest::World& w,
                                                                systest::Device& d,
                                                                systest::time_us duration) {
  std::vector<std::pair<systest::time_us, std::string>> got;
  const systest::time_us end = w.now() + duration;
  while (w.now() < end) {
    std::optional<std::string> line = d.next_line(kAt, end - w.now());
    if (line) got.emplace_back(w.now(), *line);
  }
  return got;
}

size_t count(const std::vector<std::pair<systest::time_us, std::string>>& lines,
             const std::string& text) {
  return static_cast<size_t>(
      std::count_if(lines.begin(), lines.end(), [&](const auto& l) { return l.second == text; }));
}

// Three hours of tracking: every beacon is reported locked and downlinks
// keep coming in their slots. Then the beacons stop: each missed one is
// reported, ping slots go on with wider windows, and after two hours
// without a beacon class B is given up: "+BC:LOST", the module runs class A
// and starts the acquisition again with its next uplink.
TEST_F(ClassB, HoursOfTrackingThenBeaconLossAndFallbackToClassA) {
  start("brisola-t");
  otaa();
  enter_class_b(3);
  const uint32_t addr = ns_.dev_addr("a").value_or(0);

  for (int hour = 0; hour < 3; ++hour) {
    SCOPED_TRACE("hour " + std::to_string(hour));
    auto lines = lines_for(w_, *d_, sec(3600) - sec(128));
    EXPECT_EQ(count(lines, "+BC:LOCKED"), lines.size());
    EXPECT_GE(lines.size(), 26u);
    ping_slot_downlink(3, addr, 2, Bytes{static_cast<uint8_t>(hour)},
                       std::string("0") + std::to_string(hour));
  }

  // Locked, a ping slot listens only briefly: a downlink 80 ms late
  // misses it (beacons go on time: none is due meanwhile).
  w_.run_until(gw_->next_beacon(w_.now()) + sec(5));
  gw_->options().timing_error_us = 80000;
  ns_.queue_downlink("a", 2, Bytes{0x77});
  EXPECT_FALSE(next_downlink_line(sec(12)));
  gw_->options().timing_error_us = 0;

  // No beacon from now on.
  bool stopped = true;
  gw_->options().beacon_hook = [&](uint32_t, Bytes&) { return !stopped; };
  const systest::time_us last = gw_->next_beacon(w_.now()) - kBeaconPeriodUs;
  auto lines = lines_for(w_, *d_, sec(1800));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(count(lines, "+BC:FAILED"), lines.size());
  // The windows have widened: a downlink in a slot still reaches the
  // module, even 80 ms late.
  gw_->options().timing_error_us = 80000;
  ping_slot_downlink(3, addr, 2, Bytes{0x5A}, "5a");
  gw_->options().timing_error_us = 0;
  lines = lines_for(w_, *d_, sec(7200) + sec(300) - (w_.now() - last));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().second, "+BC:LOST");
  EXPECT_EQ(count(lines, "+BC:LOST"), 1u);
  EXPECT_EQ(count(lines, "+BC:FAILED"), lines.size() - 1);
  EXPECT_GT(lines.back().first, last + sec(7200));
  EXPECT_LE(lines.back().first, last + sec(7200) + kBeaconPeriodUs + sec(1));
  EXPECT_TRUE(at("AT+CLASS=?", "AT+CLASS=B:S0"));
  EXPECT_TRUE(at("AT+BFREQ=?", "AT_NO_CLASSB_ENABLE"));

  // Class A again: nothing more is reported, the next uplink asks for the
  // time anew, without the class B bit, and a downlink comes in its
  // receive window.
  EXPECT_TRUE(d_->quiet(kAt, sec(300)));
  ns_.set_class("a", 'A');
  ns_.queue_downlink("a", 4, Bytes{0x44});
  stopped = false;
  size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=2:02"));
  std::optional<UplinkRecord> up = uplink(before, sec(5));
  ASSERT_TRUE(up);
  EXPECT_FALSE(up->fctrl & 0x10) << up->line();
  EXPECT_TRUE(has_command(*up, 0x0D)) << up->line();
  ASSERT_TRUE(d_->expect_lines(kAt, {"+EVT:TX_DONE"}, sec(5)));
  std::optional<std::string> line = d_->next_line(kAt, sec(1));
  ASSERT_TRUE(line);
  EXPECT_EQ(line->rfind("+EVT:RX_1:", 0), 0u) << *line;
  // And with beacons back, class B is running again.
  EXPECT_TRUE(d_->wait_line(kAt, "+BC:LOCKED", sec(140)));
  EXPECT_TRUE(d_->wait_line(kAt, "+BC:DONE", sec(40)));
}

// The network's beacons stop for five periods and come back: each missed
// beacon is reported, the module stays in class B with its ping-slot
// windows widened (a downlink 80 ms late still gets in), locks again on
// the first beacon back, and with it the windows narrow again: on time a
// downlink gets in, 80 ms late it no longer does.
TEST_F(ClassB, BeaconsOffForFivePeriodsThenLockedAgain) {
  start("brisola-t");
  otaa();
  enter_class_b(3);
  const uint32_t addr = ns_.dev_addr("a").value_or(0);
  bool off = false;
  gw_->options().beacon_hook = [&](uint32_t, Bytes&) { return !off; };
  // Just after a beacon the module heard, the next five are left out.
  ASSERT_TRUE(d_->wait_line(kAt, "+BC:LOCKED", sec(130)));
  off = true;
  const systest::time_us first_off = gw_->next_beacon(w_.now());
  auto lines = lines_for(w_, *d_, 5 * kBeaconPeriodUs + sec(10));
  EXPECT_EQ(count(lines, "+BC:FAILED"), 5u);
  EXPECT_EQ(lines.size(), 5u);
  for (size_t i = 0; i < lines.size(); ++i) {
    // Each reported as its beacon's time passes.
    EXPECT_GT(lines[i].first, first_off + i * kBeaconPeriodUs) << i;
    EXPECT_LT(lines[i].first, first_off + i * kBeaconPeriodUs + sec(3)) << i;
  }
  EXPECT_TRUE(at("AT+CLASS=?", "AT+CLASS=B"));
  gw_->options().timing_error_us = 80000;
  ping_slot_downlink(3, addr, 2, Bytes{0x5A}, "5a");
  gw_->options().timing_error_us = 0;

  // Beacons again: locked on the first one, as it ends.
  off = false;
  const systest::time_us back = gw_->next_beacon(w_.now());
  ASSERT_TRUE(d_->expect_lines(kAt, {"+BC:LOCKED"}, sec(130)));
  EXPECT_GT(w_.now(), back);
  EXPECT_LT(w_.now(), back + sec(1));
  EXPECT_TRUE(at("AT+CLASS=?", "AT+CLASS=B"));
  ping_slot_downlink(3, addr, 2, Bytes{0xA5}, "a5");
  w_.run_until(gw_->next_beacon(w_.now()) + sec(5));
  d_->take(kAt);
  gw_->options().timing_error_us = 80000;
  ns_.queue_downlink("a", 2, Bytes{0x77});
  EXPECT_FALSE(next_downlink_line(sec(12)));
  gw_->options().timing_error_us = 0;
}

// From one beacon on the network's beacons come 100 ms early (its clock
// moved). The module, locked, starts listening only just before a beacon's
// time and misses the first of them; with each miss it starts earlier,
// until an early beacon falls in its window. From then on it tracks the
// early beacons; no fall-back to class A happens.
TEST_F(ClassB, BeaconWindowWidensUntilEarlyBeaconsAreFound) {
  start("brisola-t");
  otaa();
  enter_class_b(3);
  ASSERT_TRUE(d_->wait_line(kAt, "+BC:LOCKED", sec(130)));
  // (The beacon already scheduled still goes on time.)
  gw_->options().beacon_delay_us = kBeaconPeriodUs - 100000;
  ASSERT_TRUE(d_->expect_lines(kAt, {"+BC:LOCKED"}, sec(130)));
  auto lines = lines_for(w_, *d_, 12 * kBeaconPeriodUs);
  ASSERT_EQ(lines.size(), 12u);
  size_t failed = 0;
  while (failed < lines.size() && lines[failed].second == "+BC:FAILED") ++failed;
  EXPECT_GE(failed, 2u);
  EXPECT_LE(failed, 8u);
  // Then locked on every early beacon, each reported as it ends.
  EXPECT_EQ(count(lines, "+BC:LOCKED"), lines.size() - failed);
  for (size_t i = failed; i < lines.size(); ++i) {
    const systest::time_us beacon = gw_->next_beacon(lines[i].first - sec(2));
    EXPECT_LT(lines[i].first - beacon, sec(1)) << i;
    EXPECT_EQ(ns_.gps_us(beacon) % kBeaconPeriodUs, kBeaconPeriodUs - 100000) << i;
  }
  EXPECT_TRUE(at("AT+CLASS=?", "AT+CLASS=B"));
}

// Without beacons the acquisition fails: "+BC:FAILED" and state S3, and
// the next uplink asks for the time again; with beacons back, that
// acquisition completes.
TEST_F(ClassB, AcquisitionWithoutBeaconsFailsAndStartsAgain) {
  start("brisola-t");
  bool stopped = true;
  gw_->options().beacon_hook = [&](uint32_t, Bytes&) { return !stopped; };
  otaa();
  ASSERT_TRUE(at("AT+CLASS=B"));
  size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=2:01"));
  ASSERT_TRUE(d_->expect_lines(kAt, {"+EVT:TX_DONE"}, sec(5)));
  ASSERT_TRUE(at("AT+CLASS=?", "AT+CLASS=B:S1"));
  auto lines = lines_for(w_, *d_, sec(300));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front().second, "+BC:FAILED");
  EXPECT_EQ(count(lines, "+BC:FAILED"), lines.size());
  EXPECT_TRUE(at("AT+CLASS=?", "AT+CLASS=B:S3"));
  EXPECT_EQ(ns_.uplinks().size(), before + 1);

  stopped = false;
  before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=2:02"));
  std::optional<UplinkRecord> up = uplink(before, sec(5));
  ASSERT_TRUE(up);
  EXPECT_TRUE(has_command(*up, 0x0D)) << up->line();
  ASSERT_TRUE(d_->expect_lines(kAt, {"+EVT:TX_DONE"}, sec(5)));
  EXPECT_TRUE(at("AT+CLASS=?", "AT+CLASS=B:S1"));
  EXPECT_TRUE(d_->expect_lines(kAt, {"+BC:LOCKED"}, sec(140)));
  EXPECT_TRUE(d_->wait_line(kAt, "+BC:DONE", sec(40)));
}

// Uplinks around a beacon and a ping slot: one whose receive windows would
// reach into the beacon is refused (the MAC's uplink-collision status, not
// one the service counts as busy), one while the beacon or a ping slot is
// being received is busy; nothing goes on the air for them. Outside these
// times the uplink goes.
TEST_F(ClassB, UplinksAreRefusedAroundTheBeaconAndThePingSlots) {
  start("brisola-t");
  otaa();
  enter_class_b(4);
  const uint32_t addr = ns_.dev_addr("a").value_or(0);
  const systest::time_us beacon = gw_->next_beacon(w_.now() + sec(10));
  const uint32_t beacon_s = static_cast<uint32_t>(ns_.gps_us(beacon) / 1000000);
  const systest::time_us slot = beacon + kReservedUs + ping_offset(beacon_s, addr, 512) * kSlotUs;
  struct Case {
    systest::time_us at;
    const char* reply;
  };
  const Case cases[] = {
      {beacon - sec(2), "AT_ERROR"},
      {beacon + systest::ms(20), "AT_BUSY_ERROR"},
      {slot + systest::ms(10), "AT_BUSY_ERROR"},
  };
  const size_t before = ns_.uplinks().size();
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int64_t>(c.at - beacon));
    w_.run_until(c.at);
    d_->take(kAt);
    EXPECT_TRUE(at("AT+SEND=2:01", c.reply));
  }
  w_.run_until(slot + sec(1));
  EXPECT_EQ(ns_.uplinks().size(), before);
  d_->take(kAt);
  ASSERT_TRUE(at("AT+SEND=2:01"));
  std::optional<UplinkRecord> up = uplink(before, sec(5));
  ASSERT_TRUE(up);
  EXPECT_TRUE(up->fctrl & 0x10) << up->line();
}

// A personalised device has no join to start its class B module: it
// acquires, completes and tracks the beacons all the same, with no uplink
// of its own between them. With a slot every 0.96 s, slots fall in the
// receive windows of the uplinks that complete class B: they stay closed
// until each exchange is over.
TEST_F(ClassB, AbpDeviceTracksBeacons) {
  start("brisola-t");
  abp();
  enter_class_b(0);
  auto lines = lines_for(w_, *d_, 5 * kBeaconPeriodUs);
  EXPECT_EQ(count(lines, "+BC:LOCKED"), 5u);
  EXPECT_EQ(lines.size(), 5u);
  ping_slot_downlink(0, kDevAddr, 3, Bytes{0xAB, 0xCD}, "abcd");
}

// A band without beacons refuses class B; the class stays as it was and
// nothing is stored.
TEST_F(ClassB, BandWithoutBeaconsRefusesClassB) {
  start("brisola-t");
  ASSERT_TRUE(at("AT+BAND=12"));
  ASSERT_TRUE(at("AT+BAND=?", "AT+BAND=12"));
  const std::vector<uint8_t> flash = d_->flash();
  EXPECT_TRUE(at("AT+CLASS=B", "AT_UNSUPPORTED_BAND"));
  EXPECT_TRUE(at("AT+CLASS=?", "AT+CLASS=A"));
  EXPECT_TRUE(flash == d_->flash());
  // Another band with beacons takes it.
  ASSERT_TRUE(at("AT+BAND=5"));
  EXPECT_TRUE(at("AT+CLASS=B"));
  EXPECT_TRUE(at("AT+CLASS=?", "AT+CLASS=B:S0"));
}

// Each new command given a form it does not take answers its error word
// and stores nothing, on every image.
TEST(ClassBCommands, RefusedLinesAnswerTheirErrorAndStoreNothing) {
  struct Case {
    const char* line;
    const char* reply;
  };
  const char* P = "AT_PARAM_ERROR";
  const char* N = "AT_NO_CLASSB_ENABLE";
  const Case cases[] = {
      {"AT+PGSLOT", P},     {"AT+PGSLOT=", P},    {"AT+PGSLOT=8", P},
      {"AT+PGSLOT=256", P}, {"AT+PGSLOT=-1", P},  {"AT+PGSLOT=1:2", P},
      {"AT+PGSLOT=x", P},   {"AT+PGSLOT=0x1", P}, {"AT+PGSLOT=4294967297", P},
      {"AT+CLASS=D", P},    {"AT+CLASS=BB", P},   {"AT+CLASS=", P},
      {"AT+CLASS=B:1", P},  {"AT+CLASS", P},      {"AT+LTIME", P},
      {"AT+LTIME=1", P},    {"AT+LTIME=?:?", P},  {"AT+BFREQ=?", N},
      {"AT+BFREQ", N},      {"AT+BFREQ=1", P},    {"AT+BTIME=?", N},
      {"AT+BTIME=0", P},    {"AT+BGW=?", N},      {"AT+BGW", N},
  };
  for (const fdn::Image& img : fdn::kImages) {
    SCOPED_TRACE(img.name);
    const fdn::Bytes flash = cmd::stored_defaults(img);
    systest::World w;
    systest::Device& d = fdn::start_module(w, "m", img, cmd::with_flash(flash));
    for (const Case& c : cases) {
      SCOPED_TRACE(c.line);
      EXPECT_TRUE(fdn::exchange(d, kAt, std::string(c.line) + "\r\n", cmd::word(c.reply)));
    }
    EXPECT_TRUE(flash == d.flash()) << cmd::flash_diff(flash, d.flash());
    EXPECT_EQ(d.flash_counters().programs, 0u);
    EXPECT_TRUE(fdn::exchange(d, kAt, "AT+PGSLOT=?\r\nAT+CLASS=?\r\n",
                              cmd::answer("AT+PGSLOT", "0") + cmd::answer("AT+CLASS", "A")));
  }
}

// A periodicity the flash does not take is reported, not answered "OK".
TEST(ClassBCommands, PingSlotPeriodicityStoreFailureIsReported) {
  const fdn::Bytes flash = cmd::stored_defaults(fdn::kBrisolaT);
  systest::World w;
  systest::DeviceOptions o = cmd::with_flash(flash);
  o.extra_args = {"--flash-fail-after", "0"};
  systest::Device& d = fdn::start_module(w, "m", fdn::kBrisolaT, o);
  EXPECT_TRUE(fdn::exchange(d, kAt, "AT+PGSLOT=5\r\n", cmd::word("AT_ERROR")));
  EXPECT_TRUE(flash == d.flash()) << cmd::flash_diff(flash, d.flash());
}

}  // namespace
