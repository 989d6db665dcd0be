// What someone else on the air can make a joined Brisola-T do: forged
// frames from a second module in P2P mode, a join accept recorded off the
// air and played back, network commands the session's LoRaWAN version does
// not define. Judged by what the module prints and by what the test network
// (its own OpenSSL crypto) logs. Also the DevNonce at the end of its range,
// the LoRaWAN 1.1 FOpts encryption as a 1.1 network reads it, a 1.1
// session the network never confirms, and the power
// uplinks leave with in EU868 and US915.
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "network/gateway.h"
#include "lorawan_test_keys.h"
#include "systest/world.h"

namespace {

using namespace sim::network;
using namespace lorawan_test;
using systest::ms;
using systest::sec;

constexpr int kAt = 2;
constexpr size_t kMacBlock = 0x3E000;  // the MAC block in the module's flash
constexpr size_t kDevNonce = 4;        // in its crypto group, little-endian

class HostileAir : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HasFailure()) {
      for (const std::string& line : ns_.log()) std::cerr << "network: " << line << "\n";
    }
  }

  systest::Device& module(const std::string& name, std::vector<uint8_t> flash = {}) {
    systest::DeviceOptions o;
    o.image = "brisola-t";
    o.pins = {{"PB12", 1}};
    o.initial_flash = std::move(flash);
    systest::Device& d = w_.start(name, o);
    EXPECT_TRUE(d.wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
    return d;
  }

  static testing::AssertionResult at(systest::Device& d, const std::string& command,
                                     const std::string& reply = "OK") {
    d.write(kAt, command + "\r\n");
    testing::AssertionResult r = d.wait_line(kAt, reply, sec(2));
    if (!r || reply.rfind("AT+", 0) != 0) return r;
    return d.wait_line(kAt, "OK", sec(2));
  }

  // The victim "a", known to the network (1.0.x unless `v11`).
  systest::Device& victim(bool v11 = false) {
    DeviceEntry e;
    e.name = "a";
    e.dev_eui = 0x0202020202020202ull;
    e.join_eui = 0x0101010101010101ull;
    e.app_key = kAppKey;
    e.nwk_key = kAppKey;  // the module takes its AppKey for both root keys
    e.v11 = v11;
    ns_.add_device(e);
    systest::Device& d = module("a");
    EXPECT_TRUE(at(d, "AT+DEVEUI=0202020202020202"));
    EXPECT_TRUE(at(d, "AT+APPEUI=0101010101010101"));
    EXPECT_TRUE(at(d, "AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C"));
    return d;
  }

  static void join(systest::Device& d) {
    ASSERT_TRUE(at(d, "AT+JOIN=1:0:10:8"));
    ASSERT_TRUE(d.wait_line(kAt, "+EVT:JOINED", sec(15)));
  }

  std::optional<UplinkRecord> uplink(size_t from, time_us timeout = sec(5)) {
    return wait_uplink(
        w_.master(), ns_, from, [](const UplinkRecord& r) { return r.device == "a"; }, timeout);
  }

  // The last frame a device put on the air since `from` frames.
  const sim::world::FrameRecord* frame_from(const systest::Device& d, size_t from) const {
    const auto& f = w_.frames();
    for (size_t i = f.size(); i > from; --i)
      if (f[i - 1].frame.sender == static_cast<uint32_t>(d.id())) return &f[i - 1];
    return nullptr;
  }

  static bool has_cid(const UplinkRecord& r, uint8_t cid) {
    for (const MacCommand& c : r.mac)
      if (c.cid == cid) return true;
    return false;
  }

  systest::World w_;
  NetworkServer ns_{RegionId::kEU868};
  Gateway gw_{ns_, w_.master()};
};

// A proprietary frame (MHDR 0xE0) carries no address, counter or MIC. One
// sent by a second module on the class C victim's RX2 channel, with the
// LoRaWAN downlink's sync word and inverted IQ, reaches the victim's radio
// but is neither reported nor stored as a downlink; the network's own
// downlinks still are.
TEST_F(HostileAir, ProprietaryFrameIsNoDownlink) {
  systest::Device& a = victim();
  ASSERT_TRUE(at(a, "AT+CLASS=C"));
  join(a);
  ns_.set_class("a", 'C');
  size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at(a, "AT+SEND=2:01"));  // confirmed until it hears the network
  ASSERT_TRUE(uplink(before));
  ASSERT_TRUE(a.wait_line(kAt, "+EVT:SEND_CONFIRMED_OK", sec(10)));
  ASSERT_TRUE(a.quiet(kAt, sec(3)));

  // The forger: a Brisola-T in LoRa P2P mode on the EU868 RX2 channel at
  // its DR0 (SF12, 125 kHz, 4/5), public sync word, IQ inverted.
  systest::Device& m = module("m");
  m.write(kAt, "AT+NWM=0\r\n");
  ASSERT_TRUE(m.wait_line(kAt, "Current Work Mode: LoRa P2P.", sec(3)));
  ASSERT_TRUE(at(m, "AT+P2P=869525000:12:125:0:8:14"));
  ASSERT_TRUE(at(m, "AT+SYNCWORD=3444"));
  ASSERT_TRUE(at(m, "AT+IQINVER=1"));
  const size_t frames = w_.frames().size();
  ASSERT_TRUE(at(m, "AT+PSEND=E0" + std::string(40, '0')));
  ASSERT_TRUE(m.wait_line(kAt, "+EVT:TXP2P DONE", sec(5)));
  const sim::world::FrameRecord* forged = frame_from(m, frames);
  ASSERT_NE(forged, nullptr);
  EXPECT_EQ(forged->frame.frequency_hz, 869525000u);
  EXPECT_TRUE(forged->frame.iq_inverted);
  EXPECT_EQ(forged->frame.lora_sync_word, 0x3444);
  EXPECT_EQ(forged->frame.len, 21);

  EXPECT_TRUE(a.quiet(kAt, sec(3))) << "the forged frame was reported";
  EXPECT_TRUE(at(a, "AT+RECV=?", "AT+RECV=0:"));

  // The class C window is still open for the network.
  ns_.queue_downlink("a", 9, Bytes{0xC1, 0xC2});
  std::optional<std::string> rx = a.next_line(kAt, sec(10));
  ASSERT_TRUE(rx);
  EXPECT_EQ(rx->rfind("+EVT:RX_C:", 0), 0u) << *rx;
  EXPECT_TRUE(at(a, "AT+RECV=?", "AT+RECV=9:C1C2"));
}

// ForceRejoinReq is a LoRaWAN 1.1 command. A 1.0.x session that receives
// it (here with data rate 15, which EU868 does not have) ends that frame's
// commands there: the DevStatusReq behind it is not answered, nothing is
// changed, no rejoin request goes out and the next uplinks are the usual
// ones at the usual data rate.
TEST_F(HostileAir, LoRaWan10SessionIgnoresForceRejoinReq) {
  systest::Device& a = victim();
  join(a);
  size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at(a, "AT+SEND=2:01"));
  std::optional<UplinkRecord> first = uplink(before);
  ASSERT_TRUE(first);
  ASSERT_EQ(first->status, "ok");
  ASSERT_TRUE(a.wait_line(kAt, "+EVT:TX_DONE", sec(10)));

  ns_.queue_mac("a", mac::force_rejoin_req(0, 0, 0, 15, true));  // 0E 00 0F
  ns_.queue_mac("a", mac::dev_status_req());
  before = ns_.uplinks().size();
  ASSERT_TRUE(at(a, "AT+SEND=2:02"));
  ASSERT_TRUE(a.wait_line(kAt, "+EVT:TX_DONE", sec(10)));
  ASSERT_TRUE(a.quiet(kAt, sec(30)));

  // Two more uplinks, each answered at once and as sent.
  for (const char* payload : {"03", "04"}) {
    ASSERT_TRUE(at(a, std::string("AT+SEND=2:") + payload)) << payload;
    ASSERT_TRUE(a.wait_line(kAt, "+EVT:TX_DONE", sec(10))) << payload;
  }
  std::vector<UplinkRecord> ups;
  for (size_t i = before; i < ns_.uplinks().size(); ++i)
    if (ns_.uplinks()[i].device == "a") ups.push_back(ns_.uplinks()[i]);
  ASSERT_EQ(ups.size(), 3u);
  for (const UplinkRecord& r : ups) {
    EXPECT_EQ(r.mtype, MType::kUnconfirmedUp) << r.line();
    EXPECT_EQ(r.status, "ok") << r.line();
    EXPECT_EQ(r.meta.dr, first->meta.dr) << r.line();
    EXPECT_FALSE(has_cid(r, 0x06)) << r.line();  // no DevStatusAns
  }
  EXPECT_EQ(ups[0].fcnt, first->fcnt + 1);
  EXPECT_EQ(ups[2].fcnt, first->fcnt + 3);
}

// On a 1.1 session the module obeys ForceRejoinReq (in the byte layout
// the firmware reads): unanswered, rejoin requests type 0 go out at the
// data rate it names, Max_Retries of them and 32 to 64 s apart, and the
// session goes on; answered, the first request starts a new session whose
// uplinks count from 0.
TEST_F(HostileAir, LoRaWan11SessionSendsTheRejoinRequestsTheNetworkForces) {
  systest::Device& a = victim(true);
  join(a);
  ASSERT_TRUE(at(a, "AT+DCS=0"));
  ASSERT_TRUE(at(a, "AT+DR=5"));
  auto exchange = [&](const std::string& payload) {
    const size_t from = ns_.uplinks().size();
    EXPECT_TRUE(at(a, "AT+SEND=2:" + payload));
    EXPECT_TRUE(a.wait_line(kAt, "+EVT:TX_DONE", sec(10)));
    std::optional<UplinkRecord> up = uplink(from, sec(1));
    return up.value_or(UplinkRecord{});
  };
  auto rejoins = [&](size_t from) {
    std::vector<UplinkRecord> out;
    for (size_t i = from; i < ns_.uplinks().size(); ++i)
      if (ns_.uplinks()[i].mtype == MType::kRejoinRequest) out.push_back(ns_.uplinks()[i]);
    return out;
  };
  exchange("01");  // RekeyInd, confirmed

  ns_.queue_mac("a", mac::force_rejoin_req(0, 2, 0, 3, true));
  size_t from = ns_.uplinks().size();
  exchange("02");
  ns_.set_window("a", Window::kNone);
  w_.run_until(w_.now() + sec(3 * 64));
  std::vector<UplinkRecord> rj = rejoins(from);
  ASSERT_EQ(rj.size(), 2u);
  for (const UplinkRecord& r : rj) {
    EXPECT_EQ(r.rejoin_type, 0) << r.line();
    EXPECT_EQ(r.meta.dr, 3) << r.line();
    EXPECT_EQ(r.status, "ok, not answered") << r.line();
  }
  EXPECT_GE(rj[1].t - rj[0].t, sec(32));
  EXPECT_LE(rj[1].t - rj[0].t, sec(65));
  UplinkRecord up = exchange("03");
  EXPECT_EQ(up.status, "ok") << up.line();
  EXPECT_EQ(up.fcnt, 2u);

  ns_.set_window("a", Window::kRx1);
  ns_.queue_mac("a", mac::force_rejoin_req(0, 2, 0, 3, true));
  from = ns_.uplinks().size();
  exchange("04");
  w_.run_until(w_.now() + sec(3 * 64));
  rj = rejoins(from);
  ASSERT_EQ(rj.size(), 1u);
  EXPECT_TRUE(rj[0].accepted) << rj[0].line();
  up = exchange("05");
  EXPECT_EQ(up.status, "ok") << up.line();
  EXPECT_EQ(up.fcnt, 0u);
  EXPECT_EQ(up.payload, (Bytes{0x05}));
}

// A join accept recorded off the air is played back into the RX1 window of
// a later join (a 1.0.x accept's MIC does not cover the DevNonce, so it
// verifies). Its JoinNonce is below the last accepted one: the module
// refuses it and takes the network's own accept in RX2, so the network
// reads the uplinks that follow. Taken, it would have left the module with
// keys the network does not have.
TEST_F(HostileAir, RecordedJoinAcceptIsNotTakenAgain) {
  systest::Device& a = victim();
  // Joins at DR5: an accept in RX1 has ended before RX2 opens, so a
  // refused one still leaves RX2 to the network.
  ASSERT_TRUE(at(a, "AT+DR=5"));
  const size_t start = w_.frames().size();
  join(a);
  // The first accept, as it went over the air.
  const sim::world::FrameRecord* accept = nullptr;
  for (size_t i = start; i < w_.frames().size(); ++i)
    if (w_.frames()[i].frame.sender == 0 && w_.frames()[i].frame.len == 17)
      accept = &w_.frames()[i];
  ASSERT_NE(accept, nullptr);
  const sim::AirFrame recorded = accept->frame;
  join(a);  // a second join: JoinNonce 2

  // The third join: the network answers in RX2, the recording plays in RX1.
  ns_.set_window("a", Window::kRx2);
  const size_t frames = w_.frames().size();
  ASSERT_TRUE(at(a, "AT+JOIN=1:0:10:8"));
  ASSERT_TRUE(w_.run_until([&] { return frame_from(a, frames) != nullptr; }, sec(5)));
  const sim::AirFrame request = frame_from(a, frames)->frame;
  w_.run_until(request.end_us + 5'000'000);
  sim::AirFrame replay = recorded;
  replay.frequency_hz = request.frequency_hz;  // RX1: the request's channel and data rate
  replay.sf = request.sf;
  replay.bandwidth_hz = request.bandwidth_hz;
  replay.ldro = request.ldro;
  replay.start_us = w_.now();
  replay.end_us = replay.start_us + (recorded.end_us - recorded.start_us);
  w_.inject_frame(replay);
  ASSERT_TRUE(a.wait_line(kAt, "+EVT:JOINED", sec(15)));

  // The module holds the session the network gave it.
  const size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at(a, "AT+SEND=2:1234"));
  std::optional<UplinkRecord> up = uplink(before);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->status, "ok") << up->line();
  EXPECT_EQ(up->payload, (Bytes{0x12, 0x34}));
}

// The DevNonce is 16 bits. A module whose stored nonce is 65534 makes one
// more join (65535); after it every join is refused with an event, and no
// request with a repeated nonce reaches the network.
TEST_F(HostileAir, JoinsStopWhenTheDevNonceIsUsedUp) {
  std::vector<uint8_t> flash;
  {
    systest::Device& a = victim();
    join(a);
    ASSERT_TRUE(a.quiet(kAt, sec(1)));
    flash = a.flash();
    a.kill();
  }
  ASSERT_GT(flash.size(), kMacBlock + kDevNonce + 1);
  flash[kMacBlock + kDevNonce] = 0xFE;
  flash[kMacBlock + kDevNonce + 1] = 0xFF;
  // The block as one of the single-copy layout: its second copy (the two
  // pages below it) erased, its own trailer no longer matching.
  std::fill(flash.begin() + kMacBlock - 0x1000, flash.begin() + kMacBlock, 0xFF);
  systest::Device& b = module("b", flash);

  size_t before = ns_.uplinks().size();
  join(b);
  ASSERT_EQ(ns_.uplinks().size(), before + 1);
  EXPECT_EQ(ns_.uplinks().back().dev_nonce, 65535);
  EXPECT_EQ(ns_.uplinks().back().status, "ok");

  before = ns_.uplinks().size();
  for (int i = 0; i < 2; ++i) {
    b.write(kAt, "AT+JOIN=1:0:10:8\r\n");
    EXPECT_TRUE(b.expect_lines(kAt, {"+EVT:JOIN_FAILED_DEVNONCE_EXHAUSTED", "AT_ERROR"}, sec(2)));
    EXPECT_TRUE(b.quiet(kAt, sec(20)));
  }
  b.restart();
  ASSERT_TRUE(b.wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  b.write(kAt, "AT+JOIN=1:0:10:8\r\n");
  EXPECT_TRUE(b.expect_lines(kAt, {"+EVT:JOIN_FAILED_DEVNONCE_EXHAUSTED", "AT_ERROR"}, sec(2)));
  EXPECT_EQ(ns_.uplinks().size(), before);
}

// On a LoRaWAN 1.1 network the module's MAC commands ride encrypted in
// FOpts. The network, which builds its FOpts block from the published
// definition, reads the RekeyInd of the first uplink after the join, and
// the module reads the RekeyConf that answers it: the next uplink carries
// no RekeyInd, and the session goes on.
TEST_F(HostileAir, LoRaWan11FOptsAreReadOnBothSides) {
  systest::Device& a = victim(true);
  join(a);
  size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at(a, "AT+SEND=2:01"));
  std::optional<UplinkRecord> first = uplink(before);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, "ok") << first->line();
  EXPECT_TRUE(has_cid(*first, 0x0B)) << first->line();  // RekeyInd(01)
  ASSERT_TRUE(a.wait_line(kAt, "+EVT:TX_DONE", sec(10)));
  ASSERT_TRUE(a.quiet(kAt, sec(3)));

  before = ns_.uplinks().size();
  ASSERT_TRUE(at(a, "AT+SEND=2:02"));
  std::optional<UplinkRecord> second = uplink(before);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->status, "ok") << second->line();
  EXPECT_FALSE(has_cid(*second, 0x0B)) << second->line();
  EXPECT_EQ(second->payload, (Bytes{0x02}));
}

// A 1.1 network that never answers the RekeyInd: the module repeats it in
// every uplink, and after ADR_ACK_LIMIT (64) of them its session is gone
// (the MAC reverts to unjoined): it reports itself not joined, refuses the
// next uplink without sending it, and joins again into a session the
// network reads.
TEST_F(HostileAir, LoRaWan11SessionNeverConfirmedFallsBackToUnjoined) {
  systest::Device& a = victim(true);
  join(a);
  // Uplinks back to back (no duty-cycle waits), short ones.
  ASSERT_TRUE(at(a, "AT+DCS=0"));
  ASSERT_TRUE(at(a, "AT+DR=5"));
  ns_.set_window("a", Window::kNone);
  const size_t before = ns_.uplinks().size();
  for (int i = 0; i < 64; ++i) {
    ASSERT_TRUE(at(a, "AT+NJS=?", "AT+NJS=1")) << i;
    ASSERT_TRUE(at(a, "AT+SEND=2:01")) << i;
    ASSERT_TRUE(a.wait_line(kAt, "+EVT:TX_DONE", sec(10))) << i;
  }
  ASSERT_EQ(ns_.uplinks().size(), before + 64);
  for (size_t i = before; i < ns_.uplinks().size(); ++i) {
    EXPECT_EQ(ns_.uplinks()[i].status, "ok") << ns_.uplinks()[i].line();
    EXPECT_TRUE(has_cid(ns_.uplinks()[i], 0x0B)) << ns_.uplinks()[i].line();
  }
  EXPECT_TRUE(at(a, "AT+NJS=?", "AT+NJS=0"));
  EXPECT_TRUE(at(a, "AT+SEND=2:02", "AT_NO_NETWORK_JOINED"));
  EXPECT_TRUE(a.quiet(kAt, sec(10)));
  EXPECT_EQ(ns_.uplinks().size(), before + 64);

  ns_.set_window("a", Window::kRx1);
  join(a);
  const size_t joined = ns_.uplinks().size();
  ASSERT_TRUE(at(a, "AT+SEND=2:03"));
  std::optional<UplinkRecord> up = uplink(joined);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->status, "ok") << up->line();
  EXPECT_EQ(up->fcnt, 0u);
  EXPECT_EQ(up->payload, (Bytes{0x03}));
  EXPECT_TRUE(has_cid(*up, 0x0B)) << up->line();
}

// Uplink power on the air at TX power 0, within what the Brisola-T's
// high-power amplifier gives (22 dBm). EU868 limits the EIRP to 16 dBm:
// less the 2.15 dBi antenna gain the regional EIRP values assume, 13 dBm
// conducted. US915 limits the conducted power to 30 dBm (with its 64
// default channels, at least 50): the amplifier's 22 dBm.
TEST_F(HostileAir, UplinkPowerFollowsTheRegionsEirpAndTheAmplifier) {
  struct Case {
    const char* band;  // AT+BAND value: EU868, US915
    int dbm;
  } cases[] = {{"4", 13}, {"5", 22}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.band);
    systest::Device& d = module(std::string("p") + c.band);
    ASSERT_TRUE(at(d, std::string("AT+BAND=") + c.band));
    ASSERT_TRUE(at(d, "AT+NJM=0"));
    ASSERT_TRUE(at(d, "AT+DEVADDR=26011234"));
    ASSERT_TRUE(at(d, "AT+NWKSKEY=112233445566778899AABBCCDDEEFF00"));
    ASSERT_TRUE(at(d, "AT+APPSKEY=0F1E2D3C4B5A69788796A5B4C3D2E1F0"));
    const size_t frames = w_.frames().size();
    ASSERT_TRUE(at(d, "AT+SEND=2:01"));
    ASSERT_TRUE(w_.run_until([&] { return frame_from(d, frames) != nullptr; }, sec(5)));
    EXPECT_EQ(frame_from(d, frames)->frame.tx_power_dbm, c.dbm);
    d.kill();
  }
}

}  // namespace
