// The MAC on the SX126x driver in a world with a gateway and network server:
// activation (OTAA 1.0.4 and 1.1, ABP) and the class A exchanges.
#include <cstring>

#include "air.h"

namespace {

using namespace air;

// --- activation ---------------------------------------------------------------

struct JoinCase {
  const char* name;
  bool v11;
  Window window;
  const char* version;  // what the MAC runs after the join
};

class Join : public testing::TestWithParam<JoinCase> {};

TEST_P(Join, AcceptedInItsWindowThenTheSessionCarriesFrames) {
  const JoinCase& c = GetParam();
  Air a(RegionId::kEU868, otaa_entry(c.v11));
  if (c.v11) {
    ASSERT_EQ(a.cmd("KEYS " + hex(kAppKey) + " " + hex(kNwkKey)), "OK 0");
  }
  a.ns.set_window("a", c.window);
  ASSERT_TRUE(a.join());
  ASSERT_EQ(a.ns.downlinks().size(), 1u);
  EXPECT_EQ(a.ns.downlinks()[0].tx.what, c.window == Window::kRx1 ? "RX1" : "RX2");
  // The join request: DevNonce 1 first, accepted by the network.
  EXPECT_EQ(a.ns.uplinks()[0].mtype, MType::kJoinRequest);
  EXPECT_EQ(a.ns.uplinks()[0].dev_nonce, 1u);
  EXPECT_EQ(a.cmd("GET VERSION"), std::string("VERSION ") + c.version);

  // Both sides derived the same session keys: the network verifies and
  // decrypts the first uplink, FCnt 0.
  a.ns.set_window("a", Window::kRx1);
  EXPECT_EQ(fields(a.send("SEND 2 C0FFEE"), 4), "SENT 0 1 0");
  const UplinkRecord& up = a.last_up();
  EXPECT_EQ(up.status, "ok");
  EXPECT_EQ(up.fcnt, 0u);
  EXPECT_EQ(up.payload, (Bytes{0xC0, 0xFF, 0xEE}));
  // A 1.1 session announces itself with RekeyInd (minor 1) until the
  // network confirms it.
  bool rekey = false;
  for (const MacCommand& m : up.mac) rekey |= m.cid == 0x0B && m.data == Bytes{0x01};
  EXPECT_EQ(rekey, c.v11);
  if (c.v11) {
    EXPECT_EQ(a.next(), "RX 0 0 0 - 0 0 0");  // the RekeyConf answer, in RX1
    EXPECT_EQ(fields(a.send("SEND 2 01"), 4), "SENT 0 2 0");
    EXPECT_TRUE(a.last_up().mac.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(MacOnAir, Join,
                         testing::Values(JoinCase{"v104_rx1", false, Window::kRx1, "01000400"},
                                         JoinCase{"v104_rx2", false, Window::kRx2, "01000400"},
                                         JoinCase{"v11_rx1", true, Window::kRx1, "01010100"},
                                         JoinCase{"v11_rx2", true, Window::kRx2, "01010100"}),
                         [](const testing::TestParamInfo<JoinCase>& i) {
                           return std::string(i.param.name);
                         });

// Join accepts that fail their MIC (a wrong key) are refused where they
// come (one refused in RX1 still leaves RX2 open, and is reported when RX2
// brings nothing); silence ends in the RX2 timeout.
struct BadJoinCase {
  const char* name;
  Window network;       // where the network's own accept goes
  int forged_window;    // 1, 2 or 0 (none): where a forged accept comes
  const char* confirm;  // the MLME join confirm
};

class BadJoin : public testing::TestWithParam<BadJoinCase> {};

TEST_P(BadJoin, RefusedOrTimedOut) {
  const BadJoinCase& c = GetParam();
  Air a;
  a.ns.set_window("a", c.network);
  ASSERT_EQ(a.cmd("JOIN"), "OK 0");
  std::optional<UplinkRecord> jr = wait_uplink(a.w.master(), a.ns, 0, {}, sec(2));
  ASSERT_TRUE(jr);
  if (c.forged_window != 0) {
    JoinAccept ja;
    ja.join_nonce = 7;
    ja.net_id = 0x13;
    ja.dev_addr = 0x26000099;
    Key wrong = kAppKey;
    wrong[0] ^= 1;
    const Bytes forged =
        build_join_accept(ja, wrong, kAppKey, false, 0xFF, kJoinEui, jr->dev_nonce);
    if (c.forged_window == 1) {
      a.gw->send_raw(jr->meta.end_us + sec(5), jr->meta.freq, jr->meta.dr, forged);
    } else {
      a.gw->send_raw(jr->meta.end_us + sec(6), 869525000, 0, forged);
    }
  }
  EXPECT_EQ(a.next_starting("JOINED"), c.confirm);
  if (std::string(c.confirm) != "JOINED 0") {
    // Not activated: no uplink is possible.
    EXPECT_NE(a.cmd("SEND 2 01"), "OK 0");
  } else {
    EXPECT_EQ(a.send("SEND 2 01").substr(0, 6), "SENT 0");
    EXPECT_EQ(a.last_up().status, "ok");
  }
}

INSTANTIATE_TEST_SUITE_P(
    MacOnAir, BadJoin,
    testing::Values(
        BadJoinCase{"forged_in_rx2", Window::kNone, 2, "JOINED 7"},        // JOIN_FAIL
        BadJoinCase{"forged_in_rx1", Window::kNone, 1, "JOINED 7"},        // JOIN_FAIL after RX2
        BadJoinCase{"no_answer", Window::kNone, 0, "JOINED 4"},            // RX2_TIMEOUT
        BadJoinCase{"forged_rx1_then_rx2", Window::kRx2, 1, "JOINED 0"}),  // RX2 still heard
    [](const testing::TestParamInfo<BadJoinCase>& i) { return std::string(i.param.name); });

TEST(MacOnAir, AbpSessionSendsFromFCntZero) {
  DeviceEntry e;
  e.name = "a";
  e.otaa = false;
  e.dev_addr = 0x26011234;
  const Key nwk_s = kNwkKey;
  const Key app_s = kAppKey;
  e.keys = abp_keys_10(nwk_s, app_s);
  Air a(RegionId::kEU868, e);
  EXPECT_EQ(a.cmd("ABP 26011234 " + hex(nwk_s) + " " + hex(app_s)), "OK 0");
  EXPECT_EQ(a.cmd("GET VERSION"), "VERSION 01000300");
  a.ns.queue_downlink("a", 9, {0x42});
  // The confirm carries the uplink counter after the frame (FCnt + 1).
  EXPECT_EQ(fields(a.send("SEND 7 0102"), 4), "SENT 0 1 0");
  EXPECT_EQ(a.last_up().fcnt, 0u);
  EXPECT_EQ(a.last_up().status, "ok");
  EXPECT_EQ(a.last_up().dev_addr, 0x26011234u);
  EXPECT_EQ(a.last_up().payload, (Bytes{0x01, 0x02}));
  EXPECT_EQ(a.next(), "RX 0 0 9 42 0 0 0");
  EXPECT_EQ(fields(a.send("SEND 7 03"), 4), "SENT 0 2 0");
  EXPECT_EQ(a.last_up().fcnt, 1u);
}

// --- class A exchanges ----------------------------------------------------------

// A joined device and network, the network answering in RX1.
struct Joined : Air {
  explicit Joined(RegionId r = RegionId::kEU868) : Air(r) { EXPECT_TRUE(join()); }
  // Uplink frames on the air since `from` (an index into uplink_frames()).
  std::vector<sim::world::FrameRecord> uplinks_since(size_t from) const {
    std::vector<sim::world::FrameRecord> all = uplink_frames();
    return {all.begin() + static_cast<long>(std::min(from, all.size())), all.end()};
  }
};

struct RepeatCase {
  const char* name;
  bool confirmed;
  int nb_trans;
  bool answered;        // a downlink answers the first transmission
  int transmissions;    // frames on the air
  const char* confirm;  // status FCnt+1 ack
};

class Repetition : public testing::TestWithParam<RepeatCase> {};

// NbTrans repetitions of unconfirmed uplinks come after the RX2 window of
// the previous one; a downlink in a window ends them. Confirmed uplinks are
// repeated when no acknowledgement comes, after the RX2 delay plus the
// acknowledgement timeout of 2 s +/- 1 s.
TEST_P(Repetition, SameFrameAgainUntilAnswered) {
  const RepeatCase& c = GetParam();
  Joined a;
  const size_t before = a.uplink_frames().size();
  ASSERT_EQ(a.cmd("NBTRANS " + std::to_string(c.nb_trans)), "OK 0");
  if (c.answered) {
    a.ns.queue_downlink("a", 4, {0x77});
  } else {
    a.ns.set_window("a", Window::kNone);
  }
  const std::string sent = a.send(std::string(c.confirmed ? "CSEND" : "SEND") + " 2 AB");
  EXPECT_EQ(fields(sent, 4), c.confirm);
  if (c.answered) {
    EXPECT_EQ(fields(a.next(), 5), "RX 0 0 4 77");
  }
  const std::vector<sim::world::FrameRecord> ups = a.uplinks_since(before);
  ASSERT_EQ(ups.size(), static_cast<size_t>(c.transmissions));
  for (size_t i = 1; i < ups.size(); ++i) {
    // Bit-identical repetitions (1.0.x: same FCnt, same MIC).
    EXPECT_EQ(ups[i].frame.len, ups[0].frame.len);
    EXPECT_EQ(0, std::memcmp(ups[i].frame.payload, ups[0].frame.payload, ups[0].frame.len));
    const double gap_ms =
        static_cast<double>(ups[i].frame.start_us - ups[i - 1].frame.end_us) / 1000.0;
    if (c.confirmed) {
      EXPECT_GE(gap_ms, 2000.0 + 1000.0) << i;
      EXPECT_LE(gap_ms, 2000.0 + 3000.0 + 50.0) << i;
    } else {
      // After RX2 (2 s + its short window), with no added delay.
      EXPECT_GE(gap_ms, 2000.0) << i;
      EXPECT_LE(gap_ms, 2000.0 + 300.0) << i;
    }
  }
  // The network takes the first one and recognises the others as repeats.
  size_t ok = 0, repeat = 0;
  for (const UplinkRecord& u : a.ns.uplinks()) {
    if (u.mtype == MType::kJoinRequest) continue;
    ok += u.status == "ok";
    repeat += u.status == "repeat";
  }
  EXPECT_EQ(ok, 1u);
  EXPECT_EQ(repeat, static_cast<size_t>(c.transmissions - 1));
  // The next uplink takes the next counter.
  a.ns.set_window("a", Window::kRx1);
  EXPECT_EQ(fields(a.send("SEND 2 CD"), 4), "SENT 0 2 0");
  EXPECT_EQ(a.last_up().fcnt, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    MacOnAir, Repetition,
    testing::Values(RepeatCase{"unconfirmed_x1", false, 1, false, 1, "SENT 0 1 0"},
                    RepeatCase{"unconfirmed_x3", false, 3, false, 3, "SENT 0 1 0"},
                    RepeatCase{"unconfirmed_x3_answered", false, 3, true, 1, "SENT 0 1 0"},
                    RepeatCase{"confirmed_x1_silent", true, 1, false, 1, "SENT 4 1 0"},
                    RepeatCase{"confirmed_x3_silent", true, 3, false, 3, "SENT 4 1 0"},
                    RepeatCase{"confirmed_x3_acked", true, 3, true, 1, "SENT 0 1 1"}),
    [](const testing::TestParamInfo<RepeatCase>& i) { return std::string(i.param.name); });

// Downlinks in RX1 and RX2; FPending tells the device more waits, and the
// network sends the rest with the next exchanges.
TEST(MacOnAir, DownlinksInBothWindowsWithFramePending) {
  Joined a;
  a.ns.queue_downlink("a", 5, {0x01});
  a.ns.queue_downlink("a", 6, {0x02, 0x03});
  EXPECT_EQ(fields(a.send("SEND 2 00"), 4), "SENT 0 1 0");
  EXPECT_EQ(a.next(), "RX 0 0 5 01 1 0 0");  // RX1, FPending
  a.ns.set_window("a", Window::kRx2);
  EXPECT_EQ(fields(a.send("SEND 2 00"), 4), "SENT 0 2 0");
  EXPECT_EQ(a.next(), "RX 0 1 6 0203 0 1 0");  // RX2, nothing more
  // A confirmed uplink acknowledged in RX2.
  EXPECT_EQ(fields(a.send("CSEND 2 00"), 4), "SENT 0 3 1");
  EXPECT_EQ(a.next(), "RX 0 1 0 - 0 2 1");
  ASSERT_EQ(a.ns.downlinks().size(), 4u);
  EXPECT_EQ(a.ns.downlinks()[1].tx.what, "RX1");
  EXPECT_EQ(a.ns.downlinks()[2].tx.what, "RX2");
}

// Class C: the device listens on the RX2 channel between exchanges; the
// network sends at once.
TEST(MacOnAir, ClassCDownlinksBetweenUplinks) {
  Joined a;
  ASSERT_EQ(a.cmd("CLASS C"), "OK 0");
  a.ns.set_class("a", 'C');
  a.w.run_for(sec(3));
  a.ns.queue_downlink("a", 8, {0xC1});
  EXPECT_EQ(a.next(sec(5)), "RX 0 2 8 C1 0 0 0");
  EXPECT_EQ(a.ns.downlinks().back().tx.what, "class C");
  // Still listening after the exchange and after the first class C frame.
  // Until a class A downlink has come, an OTAA class C device sends its
  // uplinks confirmed; the acknowledgement comes in RX1.
  EXPECT_EQ(fields(a.send("SEND 2 00"), 4), "SENT 0 1 1");
  EXPECT_EQ(a.last_up().mtype, MType::kConfirmedUp);
  EXPECT_EQ(a.next(), "RX 0 0 0 - 0 1 1");
  EXPECT_EQ(fields(a.send("SEND 2 00"), 4), "SENT 0 2 0");
  EXPECT_EQ(a.last_up().mtype, MType::kUnconfirmedUp);
  a.w.run_for(sec(4));
  a.ns.queue_downlink("a", 8, {0xC2});
  EXPECT_EQ(a.next(sec(5)), "RX 0 2 8 C2 0 2 0");
}

}  // namespace
