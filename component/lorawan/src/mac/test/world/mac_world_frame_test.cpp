// Frame counters on the air (32-bit reconstruction, replays, 1.1
// acknowledgements) and frames the network crafts to be wrong: each
// refused with the right status, and the session going on afterwards.
#include "air.h"

namespace {

using namespace air;

struct Joined : Air {
  explicit Joined(bool v11 = false) : Air(RegionId::kEU868, otaa_entry(v11)) {
    if (v11) {
      EXPECT_EQ(cmd("KEYS " + hex(kAppKey) + " " + hex(kNwkKey)), "OK 0");
    }
    EXPECT_TRUE(join());
    if (v11) {
      // RekeyInd answered: a plain 1.1 session from here.
      EXPECT_EQ(send("SEND 2 00").substr(0, 6), "SENT 0");
      EXPECT_EQ(fields(next(), 4), "RX 0 0 0");
    }
  }
  // An uplink; `raw` goes out at its RX1 time on its RX1 channel instead of
  // an answer from the network. Returns the lines up to the confirm and
  // what came right after it.
  std::vector<std::string> uplink_answered_by(const Bytes& raw, bool rx2 = false) {
    ns.set_window("a", Window::kNone);
    const size_t from = ns.uplinks().size();
    std::vector<std::string> lines;
    lines.push_back(cmd("SEND 2 01"));
    std::optional<UplinkRecord> up = wait_uplink(w.master(), ns, from, {}, sec(2));
    EXPECT_TRUE(up);
    if (!up) return lines;
    if (rx2) {
      gw->send_raw(up->meta.end_us + sec(2), 869525000, 0, raw);
    } else {
      gw->send_raw(up->meta.end_us + sec(1), up->meta.freq, up->meta.dr, raw);
    }
    // Every line up to the confirm (a refused frame is indicated at once,
    // before the exchange ends) and what comes with it.
    for (;;) {
      const std::string l = next(sec(10));
      lines.push_back(l);
      if (l.rfind("SENT", 0) == 0 || l == "(nothing)") break;
    }
    while (std::optional<std::string> more = d->next_line(kConsole, ms(5))) lines.push_back(*more);
    while (std::optional<std::string> more = d->next_line(kConsole, ms(5))) lines.push_back(*more);
    ns.set_window("a", Window::kRx1);
    return lines;
  }
  SessionKeys keys() const { return *ns.session_keys("a"); }
  uint32_t addr() const { return *ns.dev_addr("a"); }
};

std::string join_lines(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& l : v) s += (s.empty() ? "" : " | ") + l;
  return s;
}

TEST(MacOnAir, DownlinkCounterCarriesOverSixteenBits) {
  Joined a;
  a.ns.set_fcnt_down("a", 0xFFFE);
  for (uint32_t expect : {0xFFFEu, 0xFFFFu, 0x10000u, 0x10001u}) {
    a.ns.queue_downlink("a", 3, {0x01});
    EXPECT_EQ(a.send("SEND 2 01").substr(0, 6), "SENT 0");
    EXPECT_EQ(a.next(), "RX 0 0 3 01 0 " + std::to_string(expect) + " 0");
  }
  // A 1.0 session keeps one downlink counter.
  EXPECT_EQ(a.cmd("GET FCNT"), "FCNT 4 4294967295 4294967295 65537");
}

TEST(MacOnAir, ReplayedDownlinkIsRefused) {
  Joined a;
  a.ns.queue_downlink("a", 3, {0x01});
  EXPECT_EQ(a.send("SEND 2 01").substr(0, 6), "SENT 0");
  EXPECT_EQ(a.next(), "RX 0 0 3 01 0 0 0");
  const sim::world::FrameRecord first = a.downlink_frames().back();
  const Bytes bytes(first.frame.payload, first.frame.payload + first.frame.len);
  // The same frame again after the next uplink: DOWNLINK_REPEATED.
  EXPECT_EQ(join_lines(a.uplink_answered_by(bytes)), "OK 0 | RX 8 0 0 - 0 0 0 | SENT 0 2 0 5 0 1");
  // The session goes on.
  a.ns.queue_downlink("a", 3, {0x02});
  EXPECT_EQ(a.send("SEND 2 01").substr(0, 6), "SENT 0");
  EXPECT_EQ(a.next(), "RX 0 0 3 02 0 1 0");
}

FrameParams down(uint32_t addr, uint32_t fcnt);

// Another device's frame in RX1 does not make this one miss its answer in
// RX2.
TEST(MacOnAir, AForeignFrameInRx1LeavesRx2Open) {
  Joined a;
  FrameParams p = down(a.addr() ^ 0x00010000, 0);
  p.fport = 3;
  p.payload = {0x01};
  const Bytes foreign = build_data_frame(a.keys(), p);
  a.ns.queue_downlink("a", 3, {0x22});
  a.ns.set_window("a", Window::kRx2);
  ASSERT_EQ(a.cmd("SEND 2 01"), "OK 0");
  std::optional<UplinkRecord> up =
      wait_uplink(a.w.master(), a.ns, a.ns.uplinks().size(), {}, sec(2));
  ASSERT_TRUE(up);
  a.gw->send_raw(up->meta.end_us + sec(1), up->meta.freq, up->meta.dr, foreign);
  EXPECT_EQ(fields(a.next(), 2), "RX 10");  // ADDRESS_FAIL, in RX1
  EXPECT_EQ(fields(a.next(), 2), "SENT 0");
  EXPECT_EQ(a.next(), "RX 0 1 3 22 0 0 0");  // the own answer, in RX2
}

// LoRaWAN 1.1: acknowledgements carry the acknowledged frame's counter in
// their MIC, both ways.
TEST(MacOnAir, ConfirmedFramesAcknowledgedBothWaysIn11) {
  Joined a(true);
  // The network's ACK of a confirmed uplink verifies at the device.
  EXPECT_EQ(fields(a.send("CSEND 2 01"), 4), "SENT 0 2 1");
  EXPECT_EQ(a.next(), "RX 0 0 0 - 0 1 1");
  // The device's ACK of a confirmed downlink verifies at the network.
  a.ns.queue_downlink("a", 6, {0x66}, true);
  EXPECT_EQ(a.send("SEND 2 02").substr(0, 6), "SENT 0");
  EXPECT_EQ(a.next(), "RX 0 0 6 66 1 0 0");  // an acknowledgement owed
  EXPECT_EQ(a.send("SEND 2 03").substr(0, 6), "SENT 0");
  EXPECT_NE(a.last_up().fctrl & kFCtrlAck, 0);
  EXPECT_EQ(a.last_up().status, "ok");
  EXPECT_TRUE(a.ns.last_confirmed_acked("a"));
}

// --- crafted frames -------------------------------------------------------------

struct CraftCase {
  const char* name;
  // Builds the frame from the session (keys, address, next downlink FCnt).
  std::function<Bytes(const SessionKeys&, uint32_t addr, uint32_t fcnt)> build;
  const char* rx;         // the start of the indication ("RX <status> <slot> ..."), "" for none
  bool accepted = false;  // indicated with the confirm, not before it
  bool rx2 = false;       // sent in RX2 (DR0) instead of RX1
  int answer_cid = -1;    // the command answered with the next uplink
};

FrameParams down(uint32_t addr, uint32_t fcnt) {
  FrameParams p;
  p.mtype = MType::kUnconfirmedDown;
  p.dev_addr = addr;
  p.fcnt = fcnt;
  return p;
}

class Crafted : public testing::TestWithParam<CraftCase> {};

TEST_P(Crafted, RefusedWithTheRightStatusAndTheSessionGoesOn) {
  const CraftCase& c = GetParam();
  Joined a;
  const uint32_t fcnt = a.ns.fcnt_down("a");
  const std::vector<std::string> lines =
      a.uplink_answered_by(c.build(a.keys(), a.addr(), fcnt), c.rx2);
  // OK, then a refused frame's indication at once and the confirm when the
  // exchange ends; an accepted one ends it: the confirm, the indication.
  // A frame the receiver drops is not indicated.
  const bool indicated = *c.rx != 0;
  ASSERT_EQ(lines.size(), indicated ? 3u : 2u) << join_lines(lines);
  const std::string& sent = lines[c.accepted || !indicated ? 1 : 2];
  EXPECT_EQ(fields(sent, 2), "SENT 0");
  if (indicated) {
    const std::string& rx = lines[c.accepted ? 2 : 1];
    EXPECT_EQ(rx.substr(0, std::string(c.rx).size()), c.rx) << join_lines(lines);
  }
  // (Past the counter a crafted frame may have taken.)
  a.ns.set_fcnt_down("a", fcnt + 1);
  // Nothing was taken from it: the next real answer is accepted.
  a.ns.queue_downlink("a", 3, {0x5A});
  EXPECT_EQ(a.send("SEND 2 01").substr(0, 6), "SENT 0");
  EXPECT_EQ(fields(a.next(), 5), "RX 0 0 3 5A");
  if (c.answer_cid >= 0) {
    EXPECT_EQ(a.send("SEND 2 02").substr(0, 6), "SENT 0");
    ASSERT_EQ(a.ns.answers("a").size(), 1u);
    EXPECT_EQ(a.ns.answers("a")[0].cid, c.answer_cid);
  }
}

Bytes with_mic(const SessionKeys& k, Bytes msg, uint32_t addr, uint32_t fcnt) {
  const uint32_t mic = downlink_mic(k, msg, addr, fcnt, 0);
  for (int i = 0; i < 4; ++i) msg.push_back(static_cast<uint8_t>(mic >> (8 * i)));
  return msg;
}

Bytes fhdr(uint8_t mhdr, uint32_t addr, uint8_t fctrl, uint32_t fcnt) {
  return {mhdr,
          static_cast<uint8_t>(addr),
          static_cast<uint8_t>(addr >> 8),
          static_cast<uint8_t>(addr >> 16),
          static_cast<uint8_t>(addr >> 24),
          fctrl,
          static_cast<uint8_t>(fcnt),
          static_cast<uint8_t>(fcnt >> 8)};
}

INSTANTIATE_TEST_SUITE_P(
    MacOnAir, Crafted,
    testing::Values(
        CraftCase{"wrong_mic",
                  [](const SessionKeys& k, uint32_t addr, uint32_t fcnt) {
                    FrameParams p = down(addr, fcnt);
                    p.fport = 3;
                    p.payload = {1, 2, 3};
                    Bytes b = build_data_frame(k, p);
                    b.back() ^= 0x01;
                    return b;
                  },
                  "RX 11 "},  // MIC_FAIL
        CraftCase{"foreign_address",
                  [](const SessionKeys& k, uint32_t addr, uint32_t fcnt) {
                    FrameParams p = down(addr ^ 0x00010000, fcnt);
                    p.fport = 3;
                    p.payload = {1};
                    return build_data_frame(k, p);
                  },
                  "RX 10 "},  // ADDRESS_FAIL
        CraftCase{"truncated_header",
                  [](const SessionKeys&, uint32_t addr, uint32_t fcnt) {
                    Bytes b = fhdr(0x60, addr, 0, fcnt);
                    b.resize(7);
                    return b;
                  },
                  "RX 1 "},  // ERROR
        CraftCase{"fopts_len_past_the_end",
                  [](const SessionKeys& k, uint32_t addr, uint32_t fcnt) {
                    // FOptsLen 15 with two option bytes and the MIC after.
                    Bytes msg = fhdr(0x60, addr, 0x0F, fcnt);
                    msg.push_back(0x02);
                    msg.push_back(0x00);
                    return with_mic(k, msg, addr, fcnt);
                  },
                  "RX 1 "},
        CraftCase{"fopts_with_port_0",
                  [](const SessionKeys& k, uint32_t addr, uint32_t fcnt) {
                    FrameParams p = down(addr, fcnt);
                    p.fopts = {0x06};  // DevStatusReq
                    p.fport = 0;
                    p.payload = {0x06};
                    return build_data_frame(k, p);
                  },
                  "RX 1 "},
        CraftCase{"major_version_1",
                  [](const SessionKeys& k, uint32_t addr, uint32_t fcnt) {
                    FrameParams p = down(addr, fcnt);
                    p.fport = 3;
                    p.payload = {1};
                    Bytes b = build_data_frame(k, p);
                    b[0] |= 0x01;
                    return b;
                  },
                  "RX 1 "},
        CraftCase{"uplink_type",
                  [](const SessionKeys& k, uint32_t addr, uint32_t fcnt) {
                    FrameParams p = down(addr, fcnt);
                    p.mtype = MType::kUnconfirmedUp;
                    p.fport = 3;
                    p.payload = {1};
                    return build_data_frame(k, p);
                  },
                  "RX 1 "},
        CraftCase{"oversize_payload",
                  [](const SessionKeys& k, uint32_t addr, uint32_t fcnt) {
                    // 52 bytes in RX2 at DR0: more than the 51 it allows;
                    // the receiver, set for the longest frame of the data
                    // rate, drops it.
                    FrameParams p = down(addr, fcnt);
                    p.fport = 3;
                    p.payload.assign(52, 0xEE);
                    return build_data_frame(k, p);
                  },
                  "", false, true},
        CraftCase{"largest_payload",
                  [](const SessionKeys& k, uint32_t addr, uint32_t fcnt) {
                    FrameParams p = down(addr, fcnt);
                    p.fport = 3;
                    p.payload.assign(51, 0xEE);
                    return build_data_frame(k, p);
                  },
                  "RX 0 1 3 EEEE", true, true},
        // An unknown MAC command ends the command list; the frame itself
        // is fine.
        CraftCase{"unknown_mac_command",
                  [](const SessionKeys& k, uint32_t addr, uint32_t fcnt) {
                    FrameParams p = down(addr, fcnt);
                    p.fopts = {0x06, 0x7F, 0x01, 0x02};  // DevStatusReq, then CID 0x7F
                    return build_data_frame(k, p);
                  },
                  "RX 0 0 0 - ", true, false, 0x06},
        // A command cut short by the end of FOpts.
        CraftCase{"cut_mac_command",
                  [](const SessionKeys& k, uint32_t addr, uint32_t fcnt) {
                    FrameParams p = down(addr, fcnt);
                    p.fopts = {0x06, 0x03, 0x51};  // DevStatusReq, then 2 of LinkADRReq's 5 bytes
                    return build_data_frame(k, p);
                  },
                  "RX 0 0 0 - ", true, false, 0x06}),
    [](const testing::TestParamInfo<CraftCase>& i) { return std::string(i.param.name); });

}  // namespace
