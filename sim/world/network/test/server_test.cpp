// The network server in-process: joins, data uplinks, refusals, answers,
// downlink queues, class B slots and class C, with every device-side frame
// built on OpenSSL in the test.
#include <gtest/gtest.h>

#include <cstring>

#include "network/server.h"
#include "reference.h"

namespace {

using namespace sim::network;

const Key kApp = ref::key("2B7E151628AED2A6ABF7158809CF4F3C");
const Key kNwk = ref::key("0F0E0D0C0B0A09080706050403020100");
constexpr uint64_t kJoinEui = 0x0101010101010101ull;
constexpr uint64_t kDevEui = 0x0202020202020202ull;

RxMeta eu_meta(time_us end, uint8_t dr = 5, uint32_t freq = 868300000, int ch = 1) {
  RxMeta m;
  m.end_us = end;
  m.freq = freq;
  m.dr = dr;
  m.channel = ch;
  m.rssi = -80;
  m.snr = 7;
  return m;
}

struct Joined {
  ref::Keys keys;
  uint32_t addr = 0;
};

// Joins `name` (registered beforehand) and returns the device's view of the
// session, read from the join accept with the test's own crypto.
Joined join(NetworkServer& ns, bool v11, uint16_t nonce, time_us end,
            Transmission* tx_out = nullptr) {
  const Key& root = v11 ? kNwk : kApp;
  auto txs = ns.on_uplink(ref::join_request(root, kJoinEui, kDevEui, nonce), eu_meta(end));
  EXPECT_EQ(txs.size(), 1u);
  if (txs.empty()) return {};
  if (tx_out) *tx_out = txs[0];
  Bytes plain = ref::open_accept(root, txs[0].bytes);
  Joined j;
  uint32_t jn = plain[1] | plain[2] << 8 | plain[3] << 16;
  uint32_t net = plain[4] | plain[5] << 8 | plain[6] << 16;
  j.addr = plain[7] | plain[8] << 8 | plain[9] << 16 | static_cast<uint32_t>(plain[10]) << 24;
  j.keys = v11 ? ref::keys11(kNwk, kApp, jn, kJoinEui, nonce) : ref::keys10(kApp, jn, net, nonce);
  return j;
}

DeviceEntry otaa(bool v11) {
  DeviceEntry d;
  d.name = "dev";
  d.v11 = v11;
  d.dev_eui = kDevEui;
  d.join_eui = kJoinEui;
  d.app_key = kApp;
  d.nwk_key = kNwk;
  return d;
}

TEST(Server, JoinAnsweredInRx1ElseRx2) {
  for (Window w : {Window::kRx1, Window::kRx2}) {
    NetworkServer ns(RegionId::kEU868);
    ns.add_device(otaa(false));
    ns.set_window("dev", w);
    Transmission tx;
    Joined j = join(ns, false, 1, 10'000'000, &tx);
    if (w == Window::kRx1) {
      EXPECT_EQ(tx.at, 15'000'000u);  // JOIN_ACCEPT_DELAY1 after the end of the uplink
      EXPECT_EQ(tx.freq, 868300000u);
      EXPECT_EQ(tx.dr, 5);
    } else {
      EXPECT_EQ(tx.at, 16'000'000u);
      EXPECT_EQ(tx.freq, 869525000u);
      EXPECT_EQ(tx.dr, 0);
    }
    EXPECT_EQ(j.addr, 0x26000001u);
    ASSERT_TRUE(ns.session_keys("dev"));
    EXPECT_EQ(ns.session_keys("dev")->app_s, j.keys.app);
    EXPECT_EQ(ns.uplinks().back().status, "ok");
  }
}

// CN470, 20 MHz plan A: the join channel the device used decides its RX2
// (one per join channel), for the join accept and for later answers.
TEST(Server, Cn470JoinChannelPicksRx2) {
  for (Window w : {Window::kRx1, Window::kRx2}) {
    NetworkServer ns(RegionId::kCN470_20A);
    ns.add_device(otaa(false));
    ns.set_window("dev", w);
    auto txs = ns.on_uplink(ref::join_request(kApp, kJoinEui, kDevEui, 1),
                            eu_meta(1'000'000, 3, 507300000, 51));  // join channel 6
    ASSERT_EQ(txs.size(), 1u);
    EXPECT_EQ(txs[0].freq, w == Window::kRx1 ? 494100000u : 494900000u);
    EXPECT_EQ(txs[0].dr, w == Window::kRx1 ? 3 : 1);
    Bytes plain = ref::open_accept(kApp, txs[0].bytes);
    uint32_t addr =
        plain[7] | plain[8] << 8 | plain[9] << 16 | static_cast<uint32_t>(plain[10]) << 24;
    ref::Keys k = ref::keys10(kApp, 1, 0x13, 1);
    txs = ns.on_uplink(ref::uplink(k, true, addr, 0, 0, {}, 2, {1}),
                       eu_meta(20'000'000, 2, 470300000, 0));
    ASSERT_EQ(txs.size(), 1u);
    EXPECT_EQ(txs[0].freq, w == Window::kRx1 ? 483900000u : 494900000u);
    EXPECT_EQ(txs[0].dr, w == Window::kRx1 ? 2 : 1);
  }
}

TEST(Server, JoinRefusals) {
  NetworkServer ns(RegionId::kEU868);
  ns.add_device(otaa(false));
  join(ns, false, 5, 1'000'000);
  Bytes cut = ref::join_request(kApp, kJoinEui, kDevEui, 6);
  cut.pop_back();
  struct Case {
    Bytes frame;
    const char* status;
  } cases[] = {
      {ref::join_request(kApp, kJoinEui, kDevEui, 5), "DevNonce 5 repeated"},
      {ref::join_request(kApp, kJoinEui, kDevEui, 4), "DevNonce 4 not above 5"},
      {ref::join_request(kNwk, kJoinEui, kDevEui, 6), "MIC"},
      {ref::join_request(kApp, kJoinEui, kDevEui + 1, 6), "unknown DevEUI"},
      {ref::join_request(kApp, kJoinEui + 1, kDevEui, 6), "unknown JoinEUI"},
      {cut, "join request of 22 bytes"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(ns.on_uplink(c.frame, eu_meta(2'000'000)).empty());
    EXPECT_EQ(ns.uplinks().back().status, c.status);
    EXPECT_FALSE(ns.uplinks().back().accepted);
  }
  // A later nonce is accepted with a higher JoinNonce.
  Transmission tx;
  join(ns, false, 6, 3'000'000, &tx);
  Bytes plain = ref::open_accept(kApp, tx.bytes);
  EXPECT_EQ(plain[1], 2);  // second JoinNonce
  ns.require_rising_dev_nonce = false;
  join(ns, false, 3, 4'000'000);  // lower but unused: accepted in this mode
  EXPECT_EQ(ns.uplinks().back().status, "ok");
}

// Rejoin requests as a device builds them: type 0/2 NetID | DevEUI | RJcount0
// under SNwkSIntKey, type 1 JoinEUI | DevEUI | RJcount1 under JSIntKey.
Bytes rejoin_request(uint8_t type, const Key& mic_key, uint64_t eui_or_net, uint64_t dev_eui,
                     uint16_t count) {
  Bytes f{0xC0, type};
  ref::le(f, eui_or_net, type == 1 ? 8 : 3);
  ref::le(f, dev_eui, 8);
  ref::le(f, count, 2);
  Bytes m = ref::cmac(mic_key, f);
  f.insert(f.end(), m.begin(), m.begin() + 4);
  return f;
}

Key js_key(uint8_t kind) {  // 5: JSEncKey, 6: JSIntKey
  Bytes b{kind};
  ref::le(b, kDevEui, 8);
  b.resize(16, 0);
  Bytes k = ref::aes(kNwk, b);
  Key out;
  std::copy(k.begin(), k.end(), out.begin());
  return out;
}

TEST(Server, RejoinRequestsAnsweredOrRefused) {
  NetworkServer ns(RegionId::kEU868);
  ns.add_device(otaa(true));
  ns.join_cflist = ref::from_hex("184F84E85684B85E84886684586E8400");
  Joined j = join(ns, true, 1, 1'000'000);
  const Key js_int = js_key(6), js_enc = js_key(5);
  // The device's reading of a rejoin accept: decrypted with JSEncKey, MIC
  // under JSIntKey over type | JoinEUI | RJcount | accept; the new session.
  auto accept = [&](uint8_t type, uint16_t count, const std::vector<Transmission>& txs,
                    size_t size) {
    Joined n;
    EXPECT_EQ(ns.uplinks().back().status, "ok");
    EXPECT_EQ(txs.size(), 1u);
    if (txs.empty()) return n;
    EXPECT_EQ(txs[0].at, ns.uplinks().back().t + 5'000'000);  // the join accept delay
    Bytes plain = ref::open_accept(js_enc, txs[0].bytes);
    EXPECT_EQ(plain.size(), size);
    Bytes m{type};
    ref::le(m, kJoinEui, 8);
    ref::le(m, count, 2);
    m.insert(m.end(), plain.begin(), plain.end() - 4);
    EXPECT_TRUE(std::equal(plain.end() - 4, plain.end(), ref::cmac(js_int, m).begin()));
    EXPECT_EQ(plain[11] & 0x80, 0x80);  // OptNeg
    uint32_t jn = plain[1] | plain[2] << 8 | plain[3] << 16;
    n.addr = plain[7] | plain[8] << 8 | plain[9] << 16 | static_cast<uint32_t>(plain[10]) << 24;
    n.keys = ref::keys11(kNwk, kApp, jn, kJoinEui, count);
    EXPECT_EQ(ns.session_keys("dev")->snwk_s_int, n.keys.snwk);
    // The new session carries data from FCnt 0.
    ns.on_uplink(ref::uplink(n.keys, false, n.addr, 0, 0, {}, 2, {1}, 0, 5, 1),
                 eu_meta(ns.uplinks().back().t + 10'000'000));
    EXPECT_EQ(ns.uplinks().back().status, "ok");
    return n;
  };
  auto send = [&](const Bytes& f) {
    return ns.on_uplink(f, eu_meta(ns.uplinks().back().t + 20'000'000));
  };

  // Type 0 under the session's SNwkSIntKey: a new session, with the CFList.
  auto txs = send(rejoin_request(0, j.keys.snwk, 0x13, kDevEui, 0));
  Joined s0 = accept(0, 0, txs, 33);
  EXPECT_EQ(s0.addr, j.addr);
  // RJcount0 starts again after the accept; type 2 gets no CFList.
  txs = send(rejoin_request(2, s0.keys.snwk, 0x13, kDevEui, 0));
  Joined s2 = accept(2, 0, txs, 17);
  // Type 1 under JSIntKey.
  txs = send(rejoin_request(1, js_int, kJoinEui, kDevEui, 7));
  Joined s1 = accept(1, 7, txs, 33);
  // Unanswered requests still use their counter up.
  ns.set_window("dev", Window::kNone);
  EXPECT_TRUE(send(rejoin_request(0, s1.keys.snwk, 0x13, kDevEui, 3)).empty());
  EXPECT_EQ(ns.uplinks().back().status, "ok, not answered");
  ns.set_window("dev", Window::kRx1);

  Bytes long0 = rejoin_request(1, js_int, kJoinEui, kDevEui, 9);
  long0[1] = 0;
  struct Case {
    Bytes frame;
    const char* status;
  } cases[] = {
      {rejoin_request(0, s1.keys.snwk, 0x13, kDevEui, 3), "RJcount0 3 not above 3"},
      {rejoin_request(2, s1.keys.snwk, 0x13, kDevEui, 2), "RJcount0 2 not above 3"},
      {rejoin_request(1, js_int, kJoinEui, kDevEui, 7), "RJcount1 7 not above 7"},
      {rejoin_request(0, s2.keys.snwk, 0x13, kDevEui, 4), "MIC"},      // the old session
      {rejoin_request(1, s1.keys.snwk, kJoinEui, kDevEui, 8), "MIC"},  // not the join server's
      {rejoin_request(0, s1.keys.snwk, 0x14, kDevEui, 4), "rejoin for another NetID"},
      {rejoin_request(1, js_int, kJoinEui + 1, kDevEui, 8), "unknown JoinEUI"},
      {rejoin_request(0, s1.keys.snwk, 0x13, kDevEui + 1, 4), "unknown DevEUI"},
      {rejoin_request(3, s1.keys.snwk, 0x13, kDevEui, 4), "rejoin type 3 unknown"},
      {long0, "rejoin type 0 of 24 bytes"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(send(c.frame).empty()) << c.status;
    EXPECT_EQ(ns.uplinks().back().status, c.status);
    EXPECT_FALSE(ns.uplinks().back().accepted);
  }
  // A 1.0 device, and a 1.1 device without a session, get no answer.
  NetworkServer ns10(RegionId::kEU868);
  ns10.add_device(otaa(false));
  join(ns10, false, 1, 1'000'000);
  ns10.on_uplink(rejoin_request(0, kApp, 0x13, kDevEui, 0), eu_meta(2'000'000));
  EXPECT_EQ(ns10.uplinks().back().status, "rejoin request from a 1.0 device");
  NetworkServer fresh(RegionId::kEU868);
  fresh.add_device(otaa(true));
  fresh.on_uplink(rejoin_request(2, kNwk, 0x13, kDevEui, 0), eu_meta(2'000'000));
  EXPECT_EQ(fresh.uplinks().back().status, "rejoin type 2 without a session");
}

TEST(Server, DataUplinksDecodedIn10And11) {
  for (bool v11 : {false, true}) {
    SCOPED_TRACE(v11 ? "1.1" : "1.0");
    NetworkServer ns(RegionId::kEU868);
    ns.add_device(otaa(v11));
    Joined j = join(ns, v11, 1, 1'000'000);
    // 1.1 join accepts carry OptNeg.
    ASSERT_FALSE(ns.downlinks().empty());
    Bytes up = ref::uplink(j.keys, false, j.addr, 0, 0, {}, 2, {0xCA, 0xFE}, 0, 5, 1);
    EXPECT_TRUE(ns.on_uplink(up, eu_meta(10'000'000)).empty());
    const UplinkRecord& r = ns.uplinks().back();
    EXPECT_EQ(r.status, "ok");
    EXPECT_TRUE(r.mic_ok);
    EXPECT_EQ(r.payload, (Bytes{0xCA, 0xFE}));
    EXPECT_EQ(*r.fport, 2);
    // FOpts (encrypted in 1.1) with a RekeyInd / LinkCheckReq: answered.
    Bytes fopts = v11 ? Bytes{0x0B, 0x01, 0x02} : Bytes{0x02};
    auto txs = ns.on_uplink(ref::uplink(j.keys, false, j.addr, 0, 1, fopts, 2, {1}, 0, 5, 1),
                            eu_meta(20'000'000));
    ASSERT_EQ(txs.size(), 1u);
    EXPECT_EQ(txs[0].at, 21'000'000u);
    EXPECT_EQ(describe_mac(ns.uplinks().back().mac, true),
              v11 ? "RekeyInd(01),LinkCheckReq" : "LinkCheckReq");
    const Bytes& d = txs[0].bytes;
    EXPECT_TRUE(ref::downlink_mic_ok(j.keys, d, 0));
    Bytes fo(d.begin() + 8, d.begin() + 8 + (d[5] & 15));
    if (v11) fo = ref::decrypt_fopts11(j.keys.nwkenc, true, j.addr, 0, fo, 1);
    // LinkCheckAns margin: SNR 7 above the SF7 floor of -7.5 dB.
    EXPECT_EQ(ref::from_hex(v11 ? "0B01 020E01" : "020E01"), fo);
  }
}

// A device asking more than one downlink can answer (20 LinkCheckReq and 37
// DeviceTimeReq in a port-0 payload: 282 bytes of answers) gets one frame a
// radio can send: whole commands in at most 242 bytes of port-0 payload,
// the answers that do not fit left out; a scripted command that does not
// fit waits for the next downlink.
TEST(Server, AnswersThatDoNotFitOneDownlinkAreLeftOut) {
  NetworkServer ns(RegionId::kEU868);
  ns.add_device(otaa(false));
  Joined j = join(ns, false, 1, 1'000'000);
  ns.queue_mac("dev", mac::new_channel_req(3, 867100000, 0, 5));
  Bytes requests(20, 0x02);
  requests.insert(requests.end(), 37, 0x0D);
  auto txs = ns.on_uplink(ref::uplink(j.keys, false, j.addr, 0, 0, {}, 0, requests, 0, 5, 1),
                          eu_meta(10'000'000));
  ASSERT_EQ(ns.uplinks().back().status, "ok");
  ASSERT_EQ(txs.size(), 1u);
  const Bytes& d = txs[0].bytes;
  ASSERT_LE(d.size(), 255u);
  ASSERT_TRUE(ref::downlink_mic_ok(j.keys, d, 0));
  ASSERT_EQ(d[5] & 15, 0);  // no FOpts: the commands are the port-0 payload
  ASSERT_EQ(d[8], 0);
  const Bytes cmds =
      ref::decrypt(j.keys.nwkenc, true, j.addr, 0, Bytes(d.begin() + 9, d.end() - 4));
  // Whole commands only: 20 LinkCheckAns (3 bytes each) first, then as many
  // DeviceTimeAns (6 bytes each) as fit in 242 bytes.
  ASSERT_EQ(cmds.size(), 20 * 3 + 30 * 6u);
  for (size_t i = 0; i < 20; i++) EXPECT_EQ(cmds[i * 3], 0x02) << i;
  for (size_t i = 0; i < 30; i++) EXPECT_EQ(cmds[60 + i * 6], 0x0D) << i;
  // The NewChannelReq (6 bytes) did not fit: it rides in the next downlink.
  txs = ns.on_uplink(ref::uplink(j.keys, false, j.addr, 0, 1, {}, 2, {1}, 0, 5, 1),
                     eu_meta(20'000'000));
  ASSERT_EQ(txs.size(), 1u);
  const Bytes& d2 = txs[0].bytes;
  ASSERT_TRUE(ref::downlink_mic_ok(j.keys, d2, 1));
  EXPECT_EQ(Bytes(d2.begin() + 8, d2.begin() + 8 + (d2[5] & 15)), ref::from_hex("0703184F8450"));
}

TEST(Server, ReplayedForgedAndRepeatedUplinks) {
  NetworkServer ns(RegionId::kEU868);
  ns.add_device(otaa(false));
  Joined j = join(ns, false, 1, 1'000'000);
  auto up = [&](uint32_t fcnt, Bytes pl) {
    return ref::uplink(j.keys, false, j.addr, 0, fcnt, {}, 1, pl);
  };
  ns.on_uplink(up(10, {1}), eu_meta(2'000'000));
  ASSERT_EQ(ns.uplinks().back().status, "ok");
  Bytes forged = up(11, {2});
  forged[10] ^= 0x40;  // payload changed after the MIC
  ref::Keys other = ref::keys10(kNwk, 1, 1, 1);
  struct Case {
    Bytes frame;
    const char* status;
    bool mic_ok;
  } cases[] = {
      {up(10, {1}), "repeat", true},  // an identical repetition (NbTrans)
      {up(10, {9}), "replay of FCnt 10 with other content", true},
      {up(9, {1}), "replay of FCnt 9", true},
      {forged, "MIC", false},
      {ref::uplink(other, false, j.addr, 0, 11, {}, 1, {1}), "MIC", false},
      {ref::uplink(j.keys, false, j.addr + 1, 0, 11, {}, 1, {1}), "unknown DevAddr", false},
      {up(11, {2}), "ok", true},
  };
  for (const Case& c : cases) {
    ns.on_uplink(c.frame, eu_meta(3'000'000));
    const UplinkRecord& r = ns.uplinks().back();
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.mic_ok, c.mic_ok);
    EXPECT_NE(r.line().find(c.status), std::string::npos) << r.line();
  }
}

TEST(Server, FCntReconstructedAcross16Bits) {
  NetworkServer ns(RegionId::kEU868);
  DeviceEntry d;
  d.name = "abp";
  d.otaa = false;
  d.dev_addr = 0x01020304;
  d.keys = abp_keys_10(kNwk, kApp);
  ns.add_device(d);
  ref::Keys k;
  k.fnwk = k.snwk = k.nwkenc = kNwk;
  k.app = kApp;
  for (uint32_t f : {0xFFFEu, 0xFFFFu, 0x10000u, 0x10005u, 0x1FFFFu, 0x20000u}) {
    ns.on_uplink(ref::uplink(k, false, d.dev_addr, 0, f, {}, 1, {1}), eu_meta(1000));
    EXPECT_EQ(ns.uplinks().back().status, "ok");
    EXPECT_EQ(ns.uplinks().back().fcnt, f);
  }
}

TEST(Server, GarbageIsRefusedAndLogged) {
  NetworkServer ns(RegionId::kEU868);
  ns.add_device(otaa(false));
  join(ns, false, 1, 1'000'000);
  struct Case {
    Bytes frame;
    const char* status;
  } cases[] = {
      {{}, "empty frame"},
      {{0x40}, "short frame (1 bytes)"},
      {ref::from_hex("40 01000026 00 0100 01"), "short frame (9 bytes)"},
      {ref::from_hex("40 01000026 0F 0100 0203 AABBCCDD"), "FOptsLen 15 beyond the frame"},
      {Bytes(300, 0x40), "oversize frame (300 bytes)"},
      {ref::from_hex("41 01000026 00 0100 01 AABBCCDD"), "unknown major version 1"},
      {ref::from_hex("60 01000026 00 0100 01 AABBCCDD"),
       "downlink type UnconfirmedDown in an uplink"},
      {ref::from_hex("E0 1234"), "proprietary frame"},
      {ref::from_hex("C0 1234"), "rejoin type 18 unknown"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(ns.on_uplink(c.frame, eu_meta(2'000'000)).empty());
    EXPECT_EQ(ns.uplinks().back().status, c.status);
    EXPECT_FALSE(ns.uplinks().back().accepted);
  }
  // Pseudo-random frames of every length: refused, never accepted.
  uint32_t x = 12345;
  for (size_t len = 0; len < 260; ++len) {
    Bytes f(len);
    for (uint8_t& b : f) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
    ns.on_uplink(f, eu_meta(3'000'000));
    EXPECT_FALSE(ns.uplinks().back().accepted) << len;
  }
  EXPECT_GE(ns.log().size(), ns.uplinks().size());
}

TEST(Server, ConfirmedUplinkAckedAndQueuedDownlinks) {
  for (bool v11 : {false, true}) {
    SCOPED_TRACE(v11 ? "1.1" : "1.0");
    NetworkServer ns(RegionId::kEU868);
    ns.add_device(otaa(v11));
    Joined j = join(ns, v11, 1, 1'000'000);
    ns.queue_downlink("dev", 5, {0xAA}, true);
    ns.queue_downlink("dev", 6, {0xBB});
    ns.queue_mac("dev", mac::dev_status_req());
    auto txs = ns.on_uplink(ref::uplink(j.keys, true, j.addr, 0, 0x21, {}, 1, {1}, 0, 5, 1),
                            eu_meta(10'000'000));
    ASSERT_EQ(txs.size(), 1u);
    const Bytes& d = txs[0].bytes;
    EXPECT_EQ(d[0] >> 5, 5);  // confirmed downlink
    EXPECT_EQ(d[5] & 0xF0, kFCtrlAck | kFCtrlFPending);
    EXPECT_EQ(d[5] & 0x0F, 1);  // DevStatusReq in FOpts
    // 1.1: the application counter for port 5, ConfFCnt = the acknowledged FCnt.
    EXPECT_TRUE(ref::downlink_mic_ok(j.keys, d, 0, 0x21));
    EXPECT_EQ(ref::decrypt(j.keys.app, true, j.addr, 0, Bytes(d.begin() + 10, d.end() - 4)),
              Bytes{0xAA});
    EXPECT_FALSE(ns.last_confirmed_acked("dev"));
    // The next uplink acknowledges it and answers DevStatusReq.
    txs = ns.on_uplink(
        ref::uplink(j.keys, false, j.addr, kFCtrlAck, 0x22, {0x06, 0xFE, 0x05}, 1, {2}, 0, 5, 1),
        eu_meta(20'000'000));
    EXPECT_TRUE(ns.last_confirmed_acked("dev"));
    ASSERT_EQ(ns.answers("dev").size(), 1u);
    EXPECT_EQ(ns.answers("dev")[0].cid, 0x06);
    ASSERT_EQ(txs.size(), 1u);  // the second queued downlink, no FPending
    EXPECT_EQ(txs[0].bytes[5] & kFCtrlFPending, 0);
    EXPECT_EQ(ns.queued("dev"), 0u);
  }
}

TEST(Server, DeviceTimeAndRxParamAnswers) {
  NetworkServer ns(RegionId::kEU868);
  ns.gps_offset_us = 1'000'000'000'000ull;  // GPS 1e6 s at world time 0
  ns.add_device(otaa(false));
  Joined j = join(ns, false, 1, 1'000'000);
  auto txs =
      ns.on_uplink(ref::uplink(j.keys, false, j.addr, 0, 0, {0x0D}, -1, {}), eu_meta(2'500'000));
  ASSERT_EQ(txs.size(), 1u);
  const Bytes& d = txs[0].bytes;
  // GPS seconds 1000002 little-endian, fraction 0.5 s = 128/256.
  EXPECT_EQ(Bytes(d.begin() + 8, d.begin() + 14), ref::from_hex("0D 42420F00 80"));
  // RXParamSetupReq acknowledged: RX2 moves.
  ns.queue_mac("dev", mac::rx_param_setup_req(2, 3, 869100000));
  ns.set_window("dev", Window::kRx2);
  ns.on_uplink(ref::uplink(j.keys, false, j.addr, 0, 1, {}, 1, {1}), eu_meta(5'000'000));
  txs = ns.on_uplink(ref::uplink(j.keys, true, j.addr, 0, 2, {0x05, 0x07}, 1, {1}),
                     eu_meta(9'000'000));
  ASSERT_EQ(txs.size(), 1u);
  EXPECT_EQ(txs[0].freq, 869100000u);
  EXPECT_EQ(txs[0].dr, 3);
  EXPECT_EQ(txs[0].at, 11'000'000u);
}

TEST(Server, ForceRejoinEncodings) {
  EXPECT_EQ(mac::force_rejoin_req(3, 2, 2, 5).data, ref::from_hex("25 1A"));
  EXPECT_EQ(mac::force_rejoin_req(3, 2, 2, 5, true).data, ref::from_hex("1A 25"));
  EXPECT_EQ(mac::link_adr_req(5, 1, 0x0007, 0, 1).data, ref::from_hex("51 0700 01"));
  EXPECT_EQ(mac::new_channel_req(3, 867100000, 0, 5).data, ref::from_hex("03 18 4F 84 50"));
  EXPECT_EQ(mac::ping_slot_channel_req(869525000, 3).data, ref::from_hex("D2 AD 84 03"));
}

// The ping-slot schedule of the public formula, computed here apart.
TEST(Server, PingSlotsFollowTheFormula) {
  NetworkServer ns(RegionId::kEU868);
  ns.gps_offset_us = 1'419'724'818ull * 1'000'000;
  const uint32_t addr = 0x26000001;
  for (uint8_t p : {0, 3, 7}) {
    uint32_t period = 1u << (5 + p);
    time_us from = 500'000'000;  // somewhere in a beacon period
    uint64_t g = from + ns.gps_offset_us;
    uint64_t bt = g / 128'000'000 * 128;
    ref::Bytes in;
    ref::le(in, bt, 4);
    ref::le(in, addr, 4);
    in.resize(16);
    ref::Bytes r = ref::aes(ref::Key{}, in);
    uint32_t off = (r[0] + 256u * r[1]) % period;
    uint64_t want = 0;
    for (uint32_t n = 0; n < 4096 / period && !want; ++n) {
      uint64_t slot = bt * 1'000'000 + 2'120'000 + (off + n * period) * 30'000ull;
      if (slot >= g) want = slot - ns.gps_offset_us;
    }
    if (!want) continue;  // past the last slot of this period
    EXPECT_EQ(ns.next_ping_slot(from, addr, p), want) << int(p);
  }
}

TEST(Server, ClassBAndCDownlinksAndMulticast) {
  NetworkServer ns(RegionId::kEU868);
  ns.add_device(otaa(false));
  Joined j = join(ns, false, 1, 1'000'000);
  ns.set_class("dev", 'C');
  EXPECT_FALSE(ns.has_spontaneous());
  ns.queue_downlink("dev", 3, {1, 2});
  ns.queue_downlink("dev", 3, {3});
  EXPECT_TRUE(ns.has_spontaneous());
  auto txs = ns.take_spontaneous(40'000'000);
  ASSERT_EQ(txs.size(), 2u);
  EXPECT_EQ(txs[0].at, 40'000'000u);
  EXPECT_EQ(txs[0].freq, 869525000u);
  EXPECT_EQ(txs[0].bytes[5], kFCtrlFPending);
  EXPECT_GT(txs[1].at, txs[0].at);
  EXPECT_TRUE(ref::downlink_mic_ok(j.keys, txs[1].bytes, 1));
  EXPECT_FALSE(ns.has_spontaneous());

  // Class B: once the device told its periodicity, at its next ping slot.
  ns.set_class("dev", 'A');
  auto up = ref::uplink(j.keys, false, j.addr, kFCtrlClassB, 0, {0x10, 0x01}, -1, {});
  ns.on_uplink(up, eu_meta(50'000'000));
  ns.queue_downlink("dev", 4, {9});
  txs = ns.take_spontaneous(60'000'000);
  ASSERT_EQ(txs.size(), 1u);
  EXPECT_EQ(txs[0].at, ns.next_ping_slot(60'000'000, j.addr, 1));
  EXPECT_EQ(txs[0].dr, 3);

  Multicast g;
  g.name = "g";
  g.addr = 0x01FFFFFF;
  g.nwk_s_key = mc_nwk_s_key(kApp, g.addr);
  g.app_s_key = mc_app_s_key(kApp, g.addr);
  ns.add_multicast(g);
  ns.queue_multicast("g", 200, {0x42});
  txs = ns.take_spontaneous(70'000'000);
  ASSERT_EQ(txs.size(), 1u);
  ref::Keys mk;
  mk.snwk = g.nwk_s_key;
  EXPECT_TRUE(ref::downlink_mic_ok(mk, txs[0].bytes, 0));
  EXPECT_EQ(ref::decrypt(g.app_s_key, true, g.addr, 0,
                         Bytes(txs[0].bytes.begin() + 9, txs[0].bytes.end() - 4)),
            Bytes{0x42});
}

TEST(Server, PortHandlerScriptsReplies) {
  NetworkServer ns(RegionId::kEU868);
  ns.add_device(otaa(false));
  Joined j = join(ns, false, 1, 1'000'000);
  ns.set_port_handler(224, [](const UplinkRecord& r) -> std::optional<Bytes> {
    Bytes echo = r.payload;
    for (uint8_t& b : echo) ++b;
    return echo;
  });
  auto txs = ns.on_uplink(ref::uplink(j.keys, false, j.addr, 0, 0, {}, 224, {0x08, 0x10}),
                          eu_meta(2'000'000));
  ASSERT_EQ(txs.size(), 1u);
  EXPECT_EQ(txs[0].bytes[8], 224);
  EXPECT_EQ(ref::decrypt(j.keys.app, true, j.addr, 0,
                         Bytes(txs[0].bytes.begin() + 9, txs[0].bytes.end() - 4)),
            (Bytes{0x09, 0x11}));
}

TEST(Server, AdrRuleRaisesTheDataRate) {
  NetworkServer ns(RegionId::kEU868);
  ns.adr = true;
  ns.add_device(otaa(false));
  Joined j = join(ns, false, 1, 1'000'000);
  RxMeta m = eu_meta(2'000'000, 0, 868100000, 0);
  m.snr = 10;  // 30 dB above the SF12 floor, 20 beyond the 10 dB margin: DR0 + 6 steps, at most DR5
  auto txs = ns.on_uplink(ref::uplink(j.keys, false, j.addr, kFCtrlAdr, 0, {}, 1, {1}), m);
  ASSERT_EQ(txs.size(), 1u);
  ASSERT_EQ(ns.downlinks().back().mac.size(), 1u);
  EXPECT_EQ(ns.downlinks().back().mac[0].data, ref::from_hex("50 0700 01"));
}

}  // namespace
