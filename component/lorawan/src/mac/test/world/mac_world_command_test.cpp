// Network MAC commands on the air: each command the network can send, alone
// and several in one downlink, in FOpts and on port 0; the answer the
// network records from the next uplink and the effect on the exchanges
// that follow. ADR back-off with a silent network.
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "air.h"

namespace {

using namespace air;

struct Joined : Air {
  explicit Joined(RegionId r = RegionId::kEU868, bool v11 = false) : Air(r, otaa_entry(v11)) {
    if (v11) {
      EXPECT_EQ(cmd("KEYS " + hex(kAppKey) + " " + hex(kNwkKey)), "OK 0");
    }
    EXPECT_TRUE(join());
    EXPECT_EQ(cmd("ADR 1"), "OK 0");
    if (v11) {
      // RekeyInd answered: a plain 1.1 session from here.
      EXPECT_EQ(send("SEND 2 00").substr(0, 6), "SENT 0");
      EXPECT_EQ(fields(next(), 4), "RX 0 0 0");
    }
  }
  // Queues the commands, lets an uplink carry them down and the next one
  // carry the answers up. Returns the answers the network recorded.
  std::vector<MacCommand> exchange(const std::vector<MacCommand>& cmds) {
    for (const MacCommand& m : cmds) ns.queue_mac("a", m);
    const size_t before = ns.answers("a").size();
    EXPECT_EQ(send("SEND 2 01").substr(0, 6), "SENT 0");
    EXPECT_EQ(fields(next(), 4), "RX 0 0 0");  // the commands, no application data
    EXPECT_EQ(send("SEND 2 02").substr(0, 6), "SENT 0");
    const std::vector<MacCommand>& all = ns.answers("a");
    return {all.begin() + static_cast<long>(before), all.end()};
  }
};

std::string show(const std::vector<MacCommand>& cmds) {
  std::string s;
  for (const MacCommand& c : cmds)
    s += (s.empty() ? "" : " ") + hex(&c.cid, 1) + hex(c.data.data(), c.data.size());
  return s;
}

struct CommandCase {
  const char* name;
  std::vector<MacCommand> cmds;
  const char* answers;            // as the network recorded them
  std::vector<std::string> gets;  // GET items and their expected lines
  bool v11 = false;               // a LoRaWAN 1.1 session (else 1.0.4)
};

class NetworkCommand : public testing::TestWithParam<CommandCase> {};

TEST_P(NetworkCommand, AnsweredAndApplied) {
  const CommandCase& c = GetParam();
  Joined a(RegionId::kEU868, c.v11);
  EXPECT_EQ(show(a.exchange(c.cmds)), c.answers);
  for (size_t i = 0; i + 1 < c.gets.size(); i += 2)
    EXPECT_EQ(a.cmd("GET " + c.gets[i]), c.gets[i + 1]);
}

INSTANTIATE_TEST_SUITE_P(
    MacOnAir, NetworkCommand,
    testing::Values(
        CommandCase{"link_adr",
                    {mac::link_adr_req(3, 2, 0x0007, 0, 2)},
                    "0307",
                    {"DR", "DR 3", "POWER", "POWER 2", "NBTRANS", "NBTRANS 2"}},
        // A channel mask with no defined channel is refused whole.
        // A channel mask with no defined channel is refused, and with it
        // the data rate (nothing to send it on); nothing is applied.
        CommandCase{"link_adr_bad_mask",
                    {mac::link_adr_req(3, 2, 0x0100, 0, 1)},
                    "0304",
                    {"DR", "DR 5", "MASK", "MASK 0007 0000 0000 0000 0000 0000"}},
        CommandCase{"rx_param_setup",
                    {mac::rx_param_setup_req(2, 3, 869525000)},
                    "0507",
                    {"RX2", "RX2 869525000 3"}},
        CommandCase{"rx_param_setup_bad_freq",
                    {mac::rx_param_setup_req(2, 3, 100000000)},
                    "0506",
                    {"RX2", "RX2 869525000 0"}},
        CommandCase{"new_channel",
                    {mac::new_channel_req(3, 867100000, 0, 5)},
                    "0703",
                    {"CHANNELS",
                     "CHANNELS 0:868100000:0-5 1:868300000:0-5 2:868500000:0-5 3:867100000:0-5"}},
        CommandCase{
            "rx_timing", {mac::rx_timing_setup_req(3)}, "08", {"DELAYS", "DELAYS 3000 4000"}},
        CommandCase{"dl_channel", {mac::dl_channel_req(0, 868500000)}, "0A03", {}},
        CommandCase{"adr_param", {mac::adr_param_setup_req(2, 1)}, "0C", {}, true},
        // (Its only status bit: the time limit taken.)
        CommandCase{"rejoin_param_setup", {mac::rejoin_param_setup_req(5, 3)}, "0F01", {}, true},
        // LoRaWAN 1.1 commands in a 1.0.x session: not this version's, so
        // they end the downlink's commands; what follows is not applied.
        CommandCase{"adr_param_in_1_0",
                    {mac::adr_param_setup_req(2, 1), mac::rx_timing_setup_req(2)},
                    "",
                    {"DELAYS", "DELAYS 1000 2000"}},
        CommandCase{"rejoin_param_setup_in_1_0",
                    {mac::rejoin_param_setup_req(5, 3), mac::rx_timing_setup_req(2)},
                    "",
                    {"DELAYS", "DELAYS 1000 2000"}},
        // Not an EU868 command: ignored, no answer; the rest of the
        // downlink still counts.
        CommandCase{"tx_param_setup",
                    {mac::tx_param_setup_req(true, true, 5), mac::rx_timing_setup_req(2)},
                    "08",
                    {"DELAYS", "DELAYS 2000 3000"}},
        // Several in one downlink, answered in order.
        CommandCase{"several",
                    {mac::rx_timing_setup_req(2), mac::new_channel_req(3, 867100000, 0, 5),
                     mac::link_adr_req(4, 1, 0x000F, 0, 1)},
                    "08 0703 0307",
                    {"DELAYS", "DELAYS 2000 3000", "DR", "DR 4"}},
        // More than 15 bytes: the network sends them on port 0.
        CommandCase{
            "port0",
            {mac::new_channel_req(3, 867100000, 0, 5), mac::new_channel_req(4, 867300000, 0, 5),
             mac::new_channel_req(5, 867500000, 0, 5)},
            "0703 0703 0703",
            {"CHANNELS",
             "CHANNELS 0:868100000:0-5 1:868300000:0-5 2:868500000:0-5 3:867100000:0-5 "
             "4:867300000:0-5 5:867500000:0-5"}}),
    [](const testing::TestParamInfo<CommandCase>& i) { return std::string(i.param.name); });

// The effects on the exchanges that follow.

TEST(MacOnAir, DutyCycleReqStretchesTheWaitBeforeTheNextUplink) {
  Joined a;
  a.ns.queue_mac("a", mac::duty_cycle_req(7));  // 1/128
  EXPECT_EQ(a.send("SEND 2 01").substr(0, 6), "SENT 0");
  EXPECT_EQ(fields(a.next(), 4), "RX 0 0 0");
  // From now on each uplink keeps the device off the air 127 times its air
  // time (the regional duty cycle is off in this device).
  for (int i = 0; i < 2; ++i) {
    const sim::world::FrameRecord last = a.uplink_frames().back();
    const systest::time_us airtime = last.frame.end_us - last.frame.start_us;
    EXPECT_EQ(a.cmd("SEND 2 02"), "OK 11") << i;  // DUTYCYCLE_RESTRICTED
    a.w.run_until(last.frame.end_us + 127 * airtime - ms(100));
    EXPECT_EQ(a.cmd("SEND 2 02"), "OK 11") << i;
    // (The device counts air time in whole milliseconds.)
    a.w.run_until(last.frame.end_us + 127 * ((airtime + 999) / 1000 * 1000) + ms(20));
    EXPECT_EQ(a.send("SEND 2 02").substr(0, 6), "SENT 0") << i;
  }
  EXPECT_EQ(show(a.ns.answers("a")), "04");
}

TEST(MacOnAir, DevStatusAnsCarriesTheDownlinkMargin) {
  Joined a;
  a.ns.queue_mac("a", mac::dev_status_req());
  EXPECT_EQ(a.send("SEND 2 01").substr(0, 6), "SENT 0");
  EXPECT_EQ(fields(a.next(), 4), "RX 0 0 0");
  int rssi = 0, snr = 0;
  ASSERT_EQ(std::sscanf(a.cmd("GET LASTRX").c_str(), "LASTRX %d %d", &rssi, &snr), 2);
  EXPECT_EQ(a.send("SEND 2 02").substr(0, 6), "SENT 0");
  ASSERT_EQ(a.ns.answers("a").size(), 1u);
  const MacCommand& ans = a.ns.answers("a")[0];
  ASSERT_EQ(ans.cid, 0x06);
  ASSERT_EQ(ans.data.size(), 2u);
  EXPECT_EQ(ans.data[0], 0xFF);  // no battery level: unknown
  // Margin: the SNR as a signed 6-bit value, -32..31.
  const int margin = (ans.data[1] & 0x20) ? (ans.data[1] & 0x3F) - 64 : (ans.data[1] & 0x3F);
  EXPECT_EQ(margin, std::clamp(snr, -32, 31)) << "SNR " << snr;
}

TEST(MacOnAir, RxSettingsFromTheNetworkMoveTheWindows) {
  Joined a;
  a.ns.queue_mac("a", mac::rx_param_setup_req(2, 3, 869525000));
  a.ns.queue_mac("a", mac::rx_timing_setup_req(3));
  EXPECT_EQ(a.send("SEND 2 01").substr(0, 6), "SENT 0");
  EXPECT_EQ(fields(a.next(), 4), "RX 0 0 0");
  // RX1 3 s after the uplink at DR5 - 2, RX2 4 s after it at DR3.
  a.ns.queue_downlink("a", 7, {0x31});
  EXPECT_EQ(a.send("SEND 2 02").substr(0, 6), "SENT 0");
  EXPECT_EQ(fields(a.next(), 5), "RX 0 0 7 31");
  const DownlinkRecord& rx1 = a.ns.downlinks().back();
  EXPECT_EQ(rx1.tx.dr, 3);
  EXPECT_EQ(rx1.tx.at - a.ns.uplinks().back().meta.end_us, sec(3));
  a.ns.set_window("a", Window::kRx2);
  a.ns.queue_downlink("a", 7, {0x32});
  EXPECT_EQ(a.send("SEND 2 03").substr(0, 6), "SENT 0");
  EXPECT_EQ(fields(a.next(), 5), "RX 0 1 7 32");
  const DownlinkRecord& rx2 = a.ns.downlinks().back();
  EXPECT_EQ(rx2.tx.dr, 3);
  EXPECT_EQ(rx2.tx.at - a.ns.uplinks().back().meta.end_us, sec(4));
}

// A new channel and a mask that leaves only it: the very next uplink, with
// the answers, goes on the new channel.
TEST(MacOnAir, NewChannelUsedAtOnce) {
  Joined a;
  a.ns.queue_mac("a", mac::new_channel_req(3, 867100000, 0, 5));
  a.ns.queue_mac("a", mac::link_adr_req(5, 0, 0x0008, 0, 1));
  EXPECT_EQ(a.send("SEND 2 01").substr(0, 6), "SENT 0");
  EXPECT_EQ(fields(a.next(), 4), "RX 0 0 0");
  EXPECT_EQ(a.cmd("GET MASK"), "MASK 0008 0000 0000 0000 0000 0000");
  EXPECT_EQ(a.send("SEND 2 02").substr(0, 6), "SENT 0");
  EXPECT_EQ(a.last_up().meta.freq, 867100000u);
  EXPECT_EQ(a.last_up().status, "ok");
  EXPECT_EQ(show(a.ns.answers("a")), "0703 0307");
}

TEST(MacOnAir, ChannelsFromTheNetworkCarryUplinksAndDownlinks) {
  Joined a;
  // Channel 3 on 867.1 MHz for uplinks; RX1 of channel 0 moved to 868.5.
  a.ns.queue_mac("a", mac::new_channel_req(3, 867100000, 0, 5));
  a.ns.queue_mac("a", mac::dl_channel_req(0, 868500000));
  EXPECT_EQ(a.send("SEND 2 01").substr(0, 6), "SENT 0");
  EXPECT_EQ(fields(a.next(), 4), "RX 0 0 0");
  std::set<uint32_t> used;
  bool rx1_moved = false;
  for (int i = 0; i < 24 && !(used.count(867100000) && rx1_moved); ++i) {
    a.ns.queue_downlink("a", 9, {static_cast<uint8_t>(i)});
    EXPECT_EQ(a.send("SEND 2 02").substr(0, 6), "SENT 0");
    EXPECT_EQ(fields(a.next(), 4), "RX 0 0 9") << i;
    const uint32_t up = a.ns.uplinks().back().meta.freq;
    used.insert(up);
    if (up == 868100000) {
      EXPECT_EQ(a.ns.downlinks().back().tx.freq, 868500000u);
      rx1_moved = true;
    }
  }
  EXPECT_EQ(show(std::vector<MacCommand>(a.ns.answers("a").begin(), a.ns.answers("a").begin() + 2)),
            "0703 0A03");
  EXPECT_TRUE(used.count(867100000));
  EXPECT_TRUE(rx1_moved);
}

// More answers than FOpts holds, with application data to send: the data
// goes with the answers that fit, the others follow with the next uplink;
// none is lost.
TEST(MacOnAir, AnswersBeyondFOptsFollowWithTheNextUplink) {
  Joined a;
  // 16 bytes of answers: three DevStatusAns, three DlChannelAns, one
  // DutyCycleAns.
  for (int i = 0; i < 3; ++i) a.ns.queue_mac("a", mac::dev_status_req());
  for (uint8_t ch = 0; ch < 3; ++ch)
    a.ns.queue_mac("a", mac::dl_channel_req(ch, 868100000 + 200000u * ch));
  a.ns.queue_mac("a", mac::duty_cycle_req(0));
  EXPECT_EQ(a.send("SEND 2 01").substr(0, 6), "SENT 0");
  EXPECT_EQ(fields(a.next(), 4), "RX 0 0 0");
  EXPECT_EQ(a.send("SEND 2 AABB").substr(0, 6), "SENT 0");
  const UplinkRecord first = a.last_up();
  EXPECT_EQ(first.payload, (Bytes{0xAA, 0xBB}));
  EXPECT_GE(first.mac.size(), 1u);
  EXPECT_LT(first.mac.size(), 7u);
  EXPECT_EQ(a.send("SEND 2 CC").substr(0, 6), "SENT 0");
  // Each answer once; DlChannelAns is repeated until a downlink comes (it
  // is sticky).
  std::map<uint8_t, int> count;
  for (const MacCommand& m : a.ns.answers("a")) ++count[m.cid];
  EXPECT_EQ(count[0x06], 3);
  EXPECT_GE(count[0x0A], 3);
  EXPECT_EQ(count[0x04], 1);
  EXPECT_EQ(count.size(), 3u);
}

// With ADR on and a network that stops answering, the device asks for an
// answer (ADRACKReq) from ADR_ACK_LIMIT uplinks on, goes back to full power
// ADR_ACK_DELAY uplinks later and then steps the data rate down every
// ADR_ACK_DELAY uplinks; an answer ends it.
TEST(MacOnAir, AdrBackOffWithASilentNetwork) {
  // ADRParamSetupReq is a LoRaWAN 1.1 command: a 1.1 session.
  Joined a(RegionId::kEU868, true);
  // DR5 at power index 3; limit 2^3 = 8, delay 2^2 = 4.
  a.ns.queue_mac("a", mac::link_adr_req(5, 3, 0x0007, 0, 1));
  a.ns.queue_mac("a", mac::adr_param_setup_req(3, 2));
  EXPECT_EQ(a.send("SEND 2 01").substr(0, 6), "SENT 0");
  EXPECT_EQ(fields(a.next(), 4), "RX 0 0 0");
  a.ns.set_window("a", Window::kNone);
  struct Up {
    bool adr_ack_req;
    int dr;
    int power_dbm;
  };
  std::vector<Up> ups;
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(a.send("SEND 2 02").substr(0, 6), "SENT 0") << i;
    const UplinkRecord& u = a.last_up();
    ups.push_back(
        {(u.fctrl & kFCtrlAdrAckReq) != 0, u.meta.dr, a.uplink_frames().back().frame.tx_power_dbm});
  }
  EXPECT_EQ(show(a.ns.answers("a")), "0307 0C");
  // Uplink i goes with ADR_ACK_CNT = i: the first carries the answers, right
  // after the downlink.
  for (size_t i = 0; i < ups.size(); ++i) {
    const int cnt = static_cast<int>(i);
    EXPECT_EQ(ups[i].adr_ack_req, cnt >= 8) << cnt;
    const int steps = cnt >= 8 ? (cnt - 8) / 4 : 0;  // delays passed since the limit
    EXPECT_EQ(ups[i].power_dbm, steps >= 1 ? ups.front().power_dbm + 6 : ups.front().power_dbm)
        << cnt;
    EXPECT_EQ(ups[i].dr, std::max(0, 5 - std::max(0, steps - 1))) << cnt;
  }
  // An answer (any downlink) ends the back-off: the counter restarts.
  a.ns.set_window("a", Window::kRx1);
  a.ns.queue_downlink("a", 3, {0x01});
  EXPECT_EQ(a.send("SEND 2 03").substr(0, 6), "SENT 0");
  EXPECT_EQ(fields(a.next(), 4), "RX 0 0 3");
  EXPECT_EQ(a.send("SEND 2 04").substr(0, 6), "SENT 0");
  EXPECT_EQ(a.last_up().fctrl & kFCtrlAdrAckReq, 0);
}

// The back-off on a channel plan the network narrowed: the network adds a
// channel, keeps only it in the mask, asks for two transmissions of each
// frame and then falls silent. The power goes back to the default, the
// rate steps down to DR0 on the one channel, and the next step, with
// nothing lower to go to, switches the default channels on again and
// sends each frame once: the uplinks spread over the four channels.
TEST(MacOnAir, AdrBackOffAtTheLowestRateEnablesTheDefaultChannels) {
  Joined a(RegionId::kEU868, true);
  constexpr uint32_t kAdded = 867100000;
  const std::set<uint32_t> kDefault = {868100000, 868300000, 868500000};
  a.ns.queue_mac("a", mac::new_channel_req(3, kAdded, 0, 5));
  a.ns.queue_mac("a", mac::link_adr_req(5, 3, 0x0008, 0, 2));
  a.ns.queue_mac("a", mac::adr_param_setup_req(3, 2));  // limit 8, delay 4
  EXPECT_EQ(a.send("SEND 2 01").substr(0, 6), "SENT 0");
  EXPECT_EQ(fields(a.next(), 4), "RX 0 0 0");
  a.ns.set_window("a", Window::kNone);
  const size_t first = a.ns.uplinks().size();
  const size_t first_frame = a.uplink_frames().size();
  constexpr int kUplinks = 68;
  for (int i = 0; i < kUplinks; ++i) {
    ASSERT_EQ(a.send("SEND 2 02").substr(0, 6), "SENT 0") << i;
  }
  EXPECT_EQ(show(a.ns.answers("a")), "0703 0307 0C");

  // What the network heard, frame by frame (a frame's repetitions share
  // its FCnt), and the power each transmission went out with.
  struct Frame {
    std::vector<uint32_t> freqs;
    std::set<int> drs;
    std::set<int> powers;
  };
  std::map<uint32_t, Frame> heard;
  const std::vector<sim::world::FrameRecord> frames = a.uplink_frames();
  ASSERT_EQ(frames.size() - first_frame, a.ns.uplinks().size() - first);
  for (size_t k = first; k < a.ns.uplinks().size(); ++k) {
    const UplinkRecord& u = a.ns.uplinks()[k];
    ASSERT_TRUE(u.status == "ok" || u.status == "repeat") << u.line();
    Frame& f = heard[u.fcnt];
    f.freqs.push_back(u.meta.freq);
    f.drs.insert(u.meta.dr);
    f.powers.insert(frames[first_frame + (k - first)].frame.tx_power_dbm);
  }
  ASSERT_EQ(heard.size(), static_cast<size_t>(kUplinks));
  const int start_power = *heard.begin()->second.powers.begin();
  std::set<uint32_t> later;
  int cnt = 0;  // ADR_ACK_CNT the frame went with
  for (const auto& [fcnt, f] : heard) {
    SCOPED_TRACE("ADR_ACK_CNT " + std::to_string(cnt));
    const int steps = cnt >= 8 ? (cnt - 8) / 4 : 0;
    ASSERT_EQ(f.drs.size(), 1u);
    EXPECT_EQ(*f.drs.begin(), std::max(0, 5 - std::max(0, steps - 1)));
    EXPECT_EQ(f.powers, std::set<int>{steps >= 1 ? start_power + 6 : start_power});
    if (cnt < 36) {
      // Still the network's plan: its one channel, each frame twice.
      EXPECT_EQ(f.freqs, (std::vector<uint32_t>{kAdded, kAdded}));
    } else {
      EXPECT_EQ(f.freqs.size(), 1u);
      for (uint32_t fr : f.freqs) {
        EXPECT_TRUE(fr == kAdded || kDefault.count(fr)) << fr;
        later.insert(fr);
      }
    }
    ++cnt;
  }
  // Over 32 uplinks on four channels each default channel turns up.
  for (uint32_t fr : kDefault) EXPECT_TRUE(later.count(fr)) << fr << " never used";
}

}  // namespace
