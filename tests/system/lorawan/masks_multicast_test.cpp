// Channel selection and multicast groups of the LoRaWAN images against the
// test network: sub-band masks and single-channel mode as seen on the air,
// band changes, class C multicast downlinks, and the refusals that must
// leave every setting as it was.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "network/gateway.h"
#include "lorawan_test_keys.h"
#include "systest/world.h"

namespace {

using namespace sim::network;
using namespace lorawan_test;
using systest::sec;

constexpr int kAt = 2;

// Multicast group keys as typed (network key, then application key).
const Key kMcNwkSKey = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                        0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
const Key kMcAppSKey = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7,
                        0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF};
const char kMcNwkText[] = "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF";
const char kMcAppText[] = "B0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF";

class Channels : public ::testing::Test {
 protected:
  // A module on the air with a network of the given region.
  void start(const std::string& image, RegionId region, int strap = -1) {
    systest::DeviceOptions o;
    o.image = image;
    if (strap >= 0) o.pins = {{"PB12", strap}};
    d_ = &w_.start("a", o);
    ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
    network(region);
  }

  void network(RegionId region) {
    gw_.reset();
    ns_ = std::make_unique<NetworkServer>(region);
    gw_ = std::make_unique<Gateway>(*ns_, w_.master());
  }

  // One command and exactly its reply: the error word, "OK", or a query's
  // line and "OK".
  testing::AssertionResult at(const std::string& command, const std::string& reply = "OK") {
    d_->write(kAt, command + "\r\n");
    std::vector<std::string> lines = {reply};
    if (reply != "OK" && reply.rfind("AT_", 0) != 0) lines.push_back("OK");
    return d_->expect_lines(kAt, lines, sec(3));
  }

  // The personalised session, known to the network, active at once.
  void abp() {
    DeviceEntry e;
    e.name = "a";
    e.otaa = false;
    e.dev_addr = kDevAddr;
    e.keys.fnwk_s_int = e.keys.snwk_s_int = e.keys.nwk_s_enc = kNwkSKey;
    e.keys.app_s = kAppSKey;
    ns_->add_device(e);
    ASSERT_TRUE(at("AT+DEVADDR=26011234"));
    ASSERT_TRUE(at("AT+NWKSKEY=112233445566778899AABBCCDDEEFF00"));
    ASSERT_TRUE(at("AT+APPSKEY=0F1E2D3C4B5A69788796A5B4C3D2E1F0"));
    ASSERT_TRUE(at("AT+NJM=0"));
    ASSERT_TRUE(at("AT+JOIN"));
    // The data rate is the one the test sets.
    ASSERT_TRUE(at("AT+ADR=0"));
  }

  void otaa_identity() {
    DeviceEntry e;
    e.name = "a";
    e.dev_eui = 0x0202020202020202ull;
    e.join_eui = 0x0101010101010101ull;
    e.app_key = kAppKey;
    ns_->add_device(e);
    ASSERT_TRUE(at("AT+NJM=1"));
    ASSERT_TRUE(at("AT+DEVEUI=0202020202020202"));
    ASSERT_TRUE(at("AT+APPEUI=0101010101010101"));
    ASSERT_TRUE(at("AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C"));
  }

  // `n` uplinks, each awaited; their (frequency, data rate) as the network
  // received them.
  std::vector<RxMeta> uplinks(int n) {
    std::vector<RxMeta> got;
    for (int i = 0; i < n; ++i) {
      const size_t before = ns_->uplinks().size();
      EXPECT_TRUE(at("AT+SEND=2:01"));
      std::optional<UplinkRecord> up = wait_uplink(
          w_.master(), *ns_, before, [](const UplinkRecord& r) { return r.device == "a"; },
          sec(10));
      EXPECT_TRUE(up);
      if (!up) break;
      EXPECT_EQ(up->status, "ok");
      got.push_back(up->meta);
      EXPECT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
    }
    return got;
  }

  systest::World w_;
  std::unique_ptr<NetworkServer> ns_;
  std::unique_ptr<Gateway> gw_;
  systest::Device* d_ = nullptr;
};

// Uplink channel n of the 72-channel plans.
uint32_t us915_channel(int n) {
  return n < 64 ? 902300000u + 200000u * n : 903000000u + 1600000u * (n - 64);
}
uint32_t au915_channel(int n) {
  return n < 64 ? 915200000u + 200000u * n : 915900000u + 1600000u * (n - 64);
}

std::set<uint32_t> frequencies(const std::vector<RxMeta>& ups) {
  std::set<uint32_t> f;
  for (const RxMeta& m : ups) f.insert(m.freq);
  return f;
}

// Many uplinks, first at a 125 kHz data rate, then at the 500 kHz one: every
// frequency must be one the mask opens, and the 125 kHz uplinks spread over
// several of them.
TEST_F(Channels, FixedPlanUplinksUseOnlyTheEnabledChannels) {
  struct Case {
    const char* band;  // AT+BAND index
    RegionId region;
    const char* command;
    const char* query;  // AT+MASK=? afterwards
    int narrow_dr;
    std::vector<int> narrow;
    int wide_dr;
    std::vector<int> wide;
  };
  auto range = [](int from, int to) {
    std::vector<int> v;
    for (int i = from; i <= to; ++i) v.push_back(i);
    return v;
  };
  std::vector<int> au_two = range(0, 7);
  for (int c : range(16, 23)) au_two.push_back(c);
  const Case cases[] = {
      {"5", RegionId::kUS915, "AT+MASK=0002", "AT+MASK=0002", 0, range(8, 15), 4, {65}},
      {"5", RegionId::kUS915, "AT+CHE=8", "AT+MASK=0080", 0, range(56, 63), 4, {71}},
      {"6", RegionId::kAU915, "AT+CHE=1:3", "AT+MASK=0005", 2, au_two, 6, {64, 66}},
  };
  start("brisola-t", RegionId::kUS915, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    // A band change starts a fresh session; the network is the region's.
    network(c.region);
    ASSERT_TRUE(at(std::string("AT+BAND=") + c.band));
    abp();
    ASSERT_TRUE(at(std::string("AT+DR=") + std::to_string(c.narrow_dr)));
    ASSERT_TRUE(at(c.command));
    ASSERT_TRUE(at("AT+MASK=?", c.query));
    auto channel = [&](int n) {
      return c.region == RegionId::kUS915 ? us915_channel(n) : au915_channel(n);
    };
    std::set<uint32_t> narrow, wide;
    for (int n : c.narrow) narrow.insert(channel(n));
    for (int n : c.wide) wide.insert(channel(n));

    std::set<uint32_t> seen = frequencies(uplinks(16));
    for (uint32_t f : seen) EXPECT_TRUE(narrow.count(f)) << f;
    EXPECT_GE(seen.size(), 5u);
    ASSERT_TRUE(at(std::string("AT+DR=") + std::to_string(c.wide_dr)));
    for (const RxMeta& m : uplinks(4)) {
      EXPECT_TRUE(wide.count(m.freq)) << m.freq;
      EXPECT_EQ(m.dr, c.wide_dr);
    }
  }
}

// CN470 before any join runs the 20 MHz type A plan: the sub-band mask
// selects among its 64 channels (470.3 MHz up, and 503.5 MHz up from 32).
TEST_F(Channels, Cn470UplinksFollowTheMask) {
  start("brisola-t", RegionId::kCN470_20A, 0);
  ASSERT_TRUE(at("AT+BAND=?", "AT+BAND=1"));
  abp();
  struct Case {
    const char* command;
    const char* query;
    uint32_t first;  // lowest frequency of the open channels, eight 200 kHz apart
  };
  const Case cases[] = {
      {"AT+MASK=0002", "AT+CHE=2", 471900000},
      {"AT+CHE=5", "AT+CHE=5", 503500000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_TRUE(at(c.command));
    ASSERT_TRUE(at("AT+CHE=?", c.query));
    std::set<uint32_t> seen = frequencies(uplinks(12));
    for (uint32_t f : seen) {
      EXPECT_GE(f, c.first);
      EXPECT_LE(f, c.first + 7 * 200000u);
      EXPECT_EQ((f - c.first) % 200000u, 0u);
    }
    EXPECT_GE(seen.size(), 4u);
  }
  // CN470 has twelve sub-bands; every non-empty mask of them is taken.
  EXPECT_TRUE(at("AT+MASK=0FFF"));
  EXPECT_TRUE(at("AT+CHE=9"));
  EXPECT_TRUE(at("AT+MASK=?", "AT+MASK=0100"));
}

// The single-channel mode: a join request on the pinned 500 kHz channel at
// its data rate, every uplink on it, kept across a restart, and back to the
// stored mask when switched off.
TEST_F(Channels, SingleChannelModeForcesFrequencyAndDataRate) {
  start("brisola-t", RegionId::kUS915, 1);
  ASSERT_TRUE(at("AT+BAND=5"));
  ASSERT_TRUE(at("AT+MASK=0002"));
  ASSERT_TRUE(at("AT+CHS=904600000"));
  ASSERT_TRUE(at("AT+CHS=?", "AT+CHS=904600000"));
  ASSERT_TRUE(at("AT+MASK=?", "AT+MASK=0002(single channel mode: 904600000)"));
  ASSERT_TRUE(at("AT+CHE=?", "AT+CHE=2(single channel mode: 904600000)"));
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  ASSERT_TRUE(at("AT+CHS=?", "AT+CHS=904600000"));

  otaa_identity();
  ASSERT_TRUE(at("AT+JOIN=1:0:10:8"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:JOINED", sec(30)));
  ASSERT_FALSE(ns_->uplinks().empty());
  for (const UplinkRecord& r : ns_->uplinks()) {
    EXPECT_EQ(r.meta.freq, 904600000u);
    EXPECT_EQ(r.meta.dr, 4);
  }
  ASSERT_TRUE(at("AT+ADR=0"));
  ASSERT_TRUE(at("AT+DR=4"));
  for (const RxMeta& m : uplinks(6)) {
    EXPECT_EQ(m.freq, 904600000u);
    EXPECT_EQ(m.dr, 4);
  }

  // Off: the stored sub-band 2 again.
  ASSERT_TRUE(at("AT+CHS=0"));
  ASSERT_TRUE(at("AT+CHS=?", "AT+CHS=0"));
  ASSERT_TRUE(at("AT+MASK=?", "AT+MASK=0002"));
  ASSERT_TRUE(at("AT+DR=0"));
  std::set<uint32_t> seen = frequencies(uplinks(10));
  for (uint32_t f : seen) {
    EXPECT_GE(f, us915_channel(8));
    EXPECT_LE(f, us915_channel(15));
  }
  EXPECT_GE(seen.size(), 3u);
}

// A data rate stored for the 125 kHz channels cannot be used on a pinned
// 500 kHz channel: the uplinks go out at the rate that channel allows
// (DR4) instead of not at all, with ADR off and on.
TEST_F(Channels, PinnedWideChannelSendsAtItsOwnRate) {
  start("brisola-t", RegionId::kUS915, 1);
  ASSERT_TRUE(at("AT+BAND=5"));
  otaa_identity();
  ASSERT_TRUE(at("AT+MASK=0002"));
  ASSERT_TRUE(at("AT+ADR=0"));
  ASSERT_TRUE(at("AT+DR=3"));
  ASSERT_TRUE(at("AT+JOIN=1:0:10:8"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:JOINED", sec(30)));
  for (const char* adr : {"AT+ADR=0", "AT+ADR=1"}) {
    SCOPED_TRACE(adr);
    ASSERT_TRUE(at(adr));
    ASSERT_TRUE(at("AT+CHS=904600000"));
    d_->write(kAt, "ATZ\r\n");
    ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(5)));
    const size_t joins = ns_->uplinks().size();
    ASSERT_TRUE(at("AT+JOIN=1:0:10:8"));
    ASSERT_TRUE(d_->wait_line(kAt, "+EVT:JOINED", sec(30)));
    ASSERT_GT(ns_->uplinks().size(), joins);
    EXPECT_EQ(ns_->uplinks().back().meta.freq, 904600000u);
    EXPECT_EQ(ns_->uplinks().back().meta.dr, 4);
    ASSERT_TRUE(d_->quiet(kAt, sec(1)));
    for (const RxMeta& m : uplinks(3)) {
      EXPECT_EQ(m.freq, 904600000u);
      EXPECT_EQ(m.dr, 4);
    }
    // The rate in use reads back; the stored one is the user's and serves
    // again once the channel is free.
    EXPECT_TRUE(at("AT+DR=?", "AT+DR=4"));
    ASSERT_TRUE(at("AT+CHS=0"));
    d_->write(kAt, "ATZ\r\n");
    ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(5)));
    EXPECT_TRUE(at("AT+DR=?", "AT+DR=3"));
  }
}

// EU868 pins one of its first channels until the next start.
TEST_F(Channels, Eu868SingleChannelLastsUntilTheNextStart) {
  start("brisola-t", RegionId::kEU868, 1);
  abp();
  ASSERT_TRUE(at("AT+DCS=0"));
  ASSERT_TRUE(at("AT+CHS=868300000"));
  for (const RxMeta& m : uplinks(6)) EXPECT_EQ(m.freq, 868300000u);
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));  // the session is stored
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  ASSERT_TRUE(at("AT+DCS=0"));
  std::set<uint32_t> seen = frequencies(uplinks(10));
  EXPECT_EQ(seen, (std::set<uint32_t>{868100000, 868300000, 868500000}));
}

// Each AT+BAND index stores its band, and the module then joins the test
// network of that region.
TEST_F(Channels, BandChangeJoinsInEachRegion) {
  struct Case {
    int index;
    RegionId region;
  };
  const Case cases[] = {
      {0, RegionId::kEU433},    {1, RegionId::kCN470_20A}, {2, RegionId::kRU864},
      {3, RegionId::kIN865},    {5, RegionId::kUS915},     {6, RegionId::kAU915},
      {7, RegionId::kKR920},    {8, RegionId::kAS923_1},   {9, RegionId::kAS923_2},
      {10, RegionId::kAS923_3}, {11, RegionId::kAS923_4},  {12, RegionId::kLA915},
      {4, RegionId::kEU868},
  };
  start("saffrond", RegionId::kEU868);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index);
    network(c.region);
    ASSERT_TRUE(at("AT+BAND=" + std::to_string(c.index)));
    ASSERT_TRUE(at("AT+BAND=?", "AT+BAND=" + std::to_string(c.index)));
    otaa_identity();
    ASSERT_TRUE(at("AT+JOIN=1:0:7:20"));
    ASSERT_TRUE(d_->wait_line(kAt, "+EVT:JOINED", sec(300)));
    ASSERT_TRUE(d_->quiet(kAt, sec(3)));
  }
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  EXPECT_TRUE(at("AT+BAND=?", "AT+BAND=4"));
  // The AS923 plans by name.
  EXPECT_TRUE(at("AT+BAND=8-2"));
  EXPECT_TRUE(at("AT+BAND=?", "AT+BAND=9"));
}

class Multicast : public Channels {
 protected:
  void SetUp() override {
    start("brisola-t", RegionId::kEU868, 1);
    abp();
    ASSERT_TRUE(at("AT+CLASS=C"));
  }

  // A network group sent one downlink; the device's line for it, if any.
  std::optional<std::string> send(const sim::network::Multicast& group, uint8_t port,
                                  const Bytes& payload) {
    ns_->add_multicast(group);
    ns_->queue_multicast(group.name, port, payload);
    d_->take(kAt);
    return d_->next_line(kAt, sec(5));
  }

  static sim::network::Multicast group(const std::string& name, uint32_t addr) {
    sim::network::Multicast g;
    g.name = name;
    g.addr = addr;
    g.nwk_s_key = kMcNwkSKey;
    g.app_s_key = kMcAppSKey;
    g.group_class = 'C';
    return g;
  }
};

TEST_F(Multicast, GroupReceivesClassCDownlinksAndSurvivesARestart) {
  ASSERT_TRUE(at("AT+LSTMULC=?", ""));
  ASSERT_TRUE(at(std::string("AT+ADDMULC=C:01020304:") + kMcNwkText + ":" + kMcAppText));
  ASSERT_TRUE(
      at(std::string("AT+ADDMULC=C:0A0B0C0D:") + kMcNwkText + ":" + kMcAppText + ":869525000:00"));
  ASSERT_TRUE(at("AT+RMVMULC=0A0B0C0D"));
  ASSERT_TRUE(at(std::string("AT+ADDMULC=B:11223344:") + kMcNwkText + ":" + kMcAppText +
                 ":869525000:03:4"));
  const std::string listing = std::string("C:01020304:") + kMcNwkText + ":" + kMcAppText +
                              ":869525000:00:0,B:11223344:" + kMcNwkText + ":" + kMcAppText +
                              ":869525000:03:4";
  ASSERT_TRUE(at("AT+LSTMULC=?", listing));

  std::optional<std::string> line = send(group("g1", 0x01020304), 7, Bytes{0xCA, 0xFE});
  ASSERT_TRUE(line);
  const std::string prefix = "+EVT:RX_C:";
  const std::string suffix = ":MULTICAST:7:cafe";
  ASSERT_EQ(line->rfind(prefix, 0), 0u) << *line;
  ASSERT_GT(line->size(), prefix.size() + suffix.size());
  EXPECT_EQ(line->substr(line->size() - suffix.size()), suffix) << *line;

  // A group the device does not have, and its own address under wrong keys:
  // nothing reaches the host.
  sim::network::Multicast stranger = group("g2", 0x05060708);
  EXPECT_FALSE(send(stranger, 7, Bytes{0x01}));
  sim::network::Multicast wrong_key = group("g3", 0x01020304);
  wrong_key.nwk_s_key[0] ^= 0x01;
  wrong_key.fcnt = 10;
  EXPECT_FALSE(send(wrong_key, 7, Bytes{0x02}));
  // A group the MAC refuses (no channel at this frequency) leaves nothing
  // behind that would still take its frames.
  ASSERT_TRUE(
      at(std::string("AT+ADDMULC=C:0E0E0E0E:") + kMcNwkText + ":" + kMcAppText + ":123400000:00",
         "AT_PARAM_ERROR"));
  ASSERT_TRUE(at("AT+LSTMULC=?", listing));
  EXPECT_FALSE(send(group("g6", 0x0E0E0E0E), 7, Bytes{0x03}));

  d_->restart();
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  ASSERT_TRUE(at("AT+LSTMULC=?", listing));
  sim::network::Multicast again = group("g4", 0x01020304);
  again.fcnt = 20;
  line = send(again, 9, Bytes{0x5A});
  ASSERT_TRUE(line);
  EXPECT_EQ(line->substr(line->size() - 15), ":MULTICAST:9:5a") << *line;

  // Removed groups are gone from the listing and from the air.
  ASSERT_TRUE(at("AT+RMVMULC=01020304"));
  ASSERT_TRUE(at("AT+LSTMULC=?",
                 std::string("B:11223344:") + kMcNwkText + ":" + kMcAppText + ":869525000:03:4"));
  sim::network::Multicast removed = group("g5", 0x01020304);
  removed.fcnt = 30;
  EXPECT_FALSE(send(removed, 9, Bytes{0x5B}));
}

// Refused input answers the error word and changes nothing: the same
// answers to the queries and the same flash afterwards.
TEST_F(Channels, RefusedInputChangesNothing) {
  start("brisola-t", RegionId::kUS915, 1);
  ASSERT_TRUE(at("AT+BAND=5"));
  ASSERT_TRUE(at("AT+MASK=0002"));
  const std::string g = std::string(":") + kMcNwkText + ":" + kMcAppText;
  for (const char* a : {"01000001", "01000002", "01000003", "01000004"}) {
    ASSERT_TRUE(at(std::string("AT+ADDMULC=C:") + a + g));
  }
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  const std::vector<uint8_t> flash = d_->flash();

  struct Case {
    std::string command;
    const char* reply;
  };
  const Case cases[] = {
      // Masks that leave no channel, and values beyond the band's sub-bands.
      {"AT+MASK=0000", "AT_PARAM_ERROR"},
      {"AT+MASK=0100", "AT_PARAM_ERROR"},
      {"AT+MASK=0101", "AT_PARAM_ERROR"},
      {"AT+MASK=002", "AT_PARAM_ERROR"},
      {"AT+MASK=00G2", "AT_PARAM_ERROR"},
      {"AT+CHE=0", "AT_PARAM_ERROR"},
      {"AT+CHE=9", "AT_PARAM_ERROR"},
      {"AT+CHE=1:x", "AT_PARAM_ERROR"},
      {"AT+CHS=902400000", "AT_PARAM_ERROR"},
      {"AT+CHS=9O2300000", "AT_PARAM_ERROR"},
      // Unknown bands.
      {"AT+BAND=13", "AT_PARAM_ERROR"},
      {"AT+BAND=8-5", "AT_PARAM_ERROR"},
      {"AT+BAND=-1", "AT_PARAM_ERROR"},
      {"AT+BAND=", "AT_PARAM_ERROR"},
      // A fifth group, and malformed groups.
      {"AT+ADDMULC=C:01000005" + g, "AT_PARAM_ERROR"},
      {"AT+ADDMULC=C:01000001" + g, "AT_PARAM_ERROR"},
      {"AT+ADDMULC=C:01000005" + g + ":869525000", "AT_PARAM_ERROR"},
      {"AT+ADDMULC=A:01000005" + g, "AT_PARAM_ERROR"},
      {"AT+ADDMULC=C:0100005" + g, "AT_PARAM_ERROR"},
      {std::string("AT+ADDMULC=C:01000005:") + kMcNwkText + ":" + (kMcAppText + 1),
       "AT_PARAM_ERROR"},
      {std::string("AT+ADDMULC=C:01000005:") + "Z" + (kMcNwkText + 1) + ":" + kMcAppText,
       "AT_PARAM_ERROR"},
      {"AT+ADDMULC=C:01000005" + g + ":923300000:08:1", "AT_PARAM_ERROR"},
      {"AT+ADDMULC=B:01000005" + g + ":923300000:08:8", "AT_PARAM_ERROR"},
      {"AT+ADDMULC=C:01000005" + g + ":923300000:264", "AT_PARAM_ERROR"},
      {"AT+RMVMULC=0A0B0C0D", "AT_PARAM_ERROR"},
      {"AT+RMVMULC=0100001", "AT_PARAM_ERROR"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(at(c.command, c.reply)) << c.command;
  }
  EXPECT_TRUE(at("AT+MASK=?", "AT+MASK=0002"));
  EXPECT_TRUE(at("AT+CHS=?", "AT+CHS=0"));
  EXPECT_TRUE(at("AT+BAND=?", "AT+BAND=5"));
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  EXPECT_EQ(d_->flash(), flash);

  // A band without sub-bands: refused by the service, and not called busy.
  ASSERT_TRUE(at("AT+BAND=4"));
  EXPECT_TRUE(at("AT+LSTMULC=?", ""));  // a band change removes every group
  const std::vector<uint8_t> eu868_flash = d_->flash();
  EXPECT_TRUE(at("AT+MASK=0001", "AT_PARAM_ERROR"));
  EXPECT_TRUE(at("AT+CHE=1", "AT_PARAM_ERROR"));
  EXPECT_TRUE(at("AT+MASK=?", "AT_ERROR"));
  EXPECT_TRUE(at("AT+CHE=?", "AT_MODE_NO_SUPPORT"));
  EXPECT_TRUE(at("AT+CHS=867500000", "AT_PARAM_ERROR"));
  EXPECT_EQ(d_->flash(), eu868_flash);
  ASSERT_TRUE(at("AT+BAND=7"));
  EXPECT_TRUE(at("AT+CHS=922100000", "AT_ERROR"));
  // LA915: sub-band 9 alone stands for no 125 kHz channel and, with no
  // sub-band of 0 to 7 set, no 500 kHz channel either.
  ASSERT_TRUE(at("AT+BAND=12"));
  ASSERT_TRUE(at("AT+MASK=?", "AT+MASK=0001"));
  EXPECT_TRUE(at("AT+MASK=0100", "AT_PARAM_ERROR"));
  EXPECT_TRUE(at("AT+MASK=?", "AT+MASK=0001"));
}

}  // namespace
