// A LoRaWAN 1.1 session on the air: the RekeyInd that opens it, confirmed
// by the network or never (then the device falls back to unjoined and
// joins again), rejoin requests the network forces with ForceRejoinReq or
// sets up with RejoinParamSetupReq, their counters, and the new session a
// rejoin accept starts. Judged by what the network logs and what the
// device prints.
#include <algorithm>
#include <cstdio>

#include "air.h"

namespace {

using namespace air;

bool has_cid(const UplinkRecord& up, uint8_t cid) {
  return std::any_of(up.mac.begin(), up.mac.end(),
                     [cid](const MacCommand& c) { return c.cid == cid; });
}

// The device's uplinks the network heard from index `from` on.
std::vector<UplinkRecord> uplinks_from(const NetworkServer& ns, size_t from) {
  return {ns.uplinks().begin() + static_cast<long>(from), ns.uplinks().end()};
}

std::vector<UplinkRecord> rejoins_from(const NetworkServer& ns, size_t from) {
  std::vector<UplinkRecord> out;
  for (const UplinkRecord& u : uplinks_from(ns, from))
    if (u.mtype == MType::kRejoinRequest) out.push_back(u);
  return out;
}

// A device joined to a 1.1 network (the join accept in RX1).
struct Session11 : Air {
  Session11() : Air(RegionId::kEU868, otaa_entry(true)) {
    EXPECT_EQ(cmd("KEYS " + hex(kAppKey) + " " + hex(kNwkKey)), "OK 0");
    EXPECT_TRUE(join());
  }
  // The uplink, its SENT line and whether a downlink line followed.
  std::string exchange(const std::string& payload = "01") {
    const std::string sent = send("SEND 2 " + payload);
    EXPECT_EQ(sent.substr(0, 6), "SENT 0") << sent;
    return d->next_line(kConsole, ms(5)).value_or("");
  }
};

// --- RekeyInd ------------------------------------------------------------------

struct RekeyCase {
  const char* name;
  int unanswered;  // uplinks the network lets pass before it answers
};

class Rekey : public testing::TestWithParam<RekeyCase> {};

// The session's first uplinks repeat RekeyInd(1) until an answer brings
// RekeyConf; after it, the uplinks carry none and the session goes on.
TEST_P(Rekey, RepeatedUntilTheNetworkConfirms) {
  Session11 a;
  a.ns.set_window("a", Window::kNone);
  const size_t first = a.ns.uplinks().size();
  for (int i = 0; i < GetParam().unanswered; ++i) EXPECT_EQ(a.exchange(), "") << i;
  a.ns.set_window("a", Window::kRx1);
  EXPECT_EQ(fields(a.exchange(), 4), "RX 0 0 0");  // the RekeyConf, nothing else
  for (const UplinkRecord& u : uplinks_from(a.ns, first)) {
    EXPECT_EQ(u.status, "ok") << u.line();
    EXPECT_TRUE(has_cid(u, 0x0B)) << u.line();
  }
  const size_t confirmed = a.ns.uplinks().size();
  EXPECT_EQ(confirmed - first, static_cast<size_t>(GetParam().unanswered + 1));
  ASSERT_FALSE(a.ns.downlinks().empty());
  const std::vector<MacCommand>& conf = a.ns.downlinks().back().mac;
  ASSERT_EQ(conf.size(), 1u);
  EXPECT_EQ(conf[0].cid, 0x0B);
  EXPECT_EQ(conf[0].data, Bytes{0x01});
  for (int i = 0; i < 3; ++i) {
    a.ns.queue_downlink("a", 5, {static_cast<uint8_t>(i)});
    EXPECT_EQ(fields(a.exchange("0" + std::to_string(i)), 5), "RX 0 0 5 0" + std::to_string(i));
    EXPECT_EQ(a.last_up().status, "ok") << a.last_up().line();
    EXPECT_FALSE(has_cid(a.last_up(), 0x0B)) << a.last_up().line();
  }
  EXPECT_EQ(a.last_up().fcnt, static_cast<uint32_t>(GetParam().unanswered + 3));
}

INSTANTIATE_TEST_SUITE_P(MacOnAir, Rekey,
                         testing::Values(RekeyCase{"at_once", 0}, RekeyCase{"after_five", 5},
                                         // One short of the limit still keeps the session.
                                         RekeyCase{"last_chance", 63}),
                         [](const testing::TestParamInfo<RekeyCase>& i) {
                           return std::string(i.param.name);
                         });

// A network that never confirms: after ADR_ACK_LIMIT (64) uplinks with
// RekeyInd the device reports the session gone (MLME indication 15,
// revert join), takes no more uplinks, and joins again.
TEST(MacOnAir, RekeyIndNeverConfirmedRevertsToUnjoined) {
  Session11 a;
  a.ns.set_window("a", Window::kNone);
  const size_t first = a.ns.uplinks().size();
  for (int i = 0; i < 63; ++i) ASSERT_EQ(a.exchange(), "") << i;
  // The 64th is the last.
  EXPECT_EQ(a.exchange(), "MLMEIND 15 0");
  const std::vector<UplinkRecord> ups = uplinks_from(a.ns, first);
  ASSERT_EQ(ups.size(), 64u);
  for (const UplinkRecord& u : ups) EXPECT_TRUE(has_cid(u, 0x0B)) << u.line();
  EXPECT_EQ(ups.back().fcnt, 63u);
  EXPECT_EQ(a.cmd("SEND 2 02"), "OK 7");  // no network joined
  EXPECT_TRUE(a.d->quiet(kConsole, sec(10)));
  EXPECT_EQ(a.ns.uplinks().size(), first + 64);

  // A join: a new session, counters from 0, RekeyInd again.
  a.ns.set_window("a", Window::kRx1);
  ASSERT_TRUE(a.join());
  EXPECT_EQ(a.ns.uplinks().back().mtype, MType::kJoinRequest);
  EXPECT_EQ(a.ns.uplinks().back().status, "ok");
  EXPECT_EQ(fields(a.exchange("AA"), 4), "RX 0 0 0");
  EXPECT_EQ(a.last_up().status, "ok");
  EXPECT_EQ(a.last_up().fcnt, 0u);
  EXPECT_EQ(a.last_up().payload, Bytes{0xAA});
  EXPECT_TRUE(has_cid(a.last_up(), 0x0B));
}

// --- rejoin requests ----------------------------------------------------------

// Lines the device prints while the world runs for `duration`.
std::vector<std::string> lines_for(Air& a, systest::time_us duration) {
  std::vector<std::string> got;
  const systest::time_us end = a.w.now() + duration;
  while (a.w.now() < end) {
    std::optional<std::string> l = a.d->next_line(kConsole, end - a.w.now());
    if (l) got.push_back(*l);
  }
  return got;
}

// The session after its RekeyInd was confirmed, with commands `cmds`
// delivered in the answer to one more uplink.
struct Confirmed11 : Session11 {
  explicit Confirmed11(const std::vector<MacCommand>& cmds = {}) {
    EXPECT_EQ(fields(exchange(), 4), "RX 0 0 0");
    for (const MacCommand& m : cmds) ns.queue_mac("a", m);
    if (!cmds.empty()) {
      delivered = ns.uplinks().size();
      EXPECT_EQ(send("SEND 2 01").substr(0, 6), "SENT 0");
      EXPECT_EQ(fields(next(), 4), "RX 0 0 0");  // the commands
    }
  }
  size_t delivered = 0;  // index of the uplink the commands answered
};

struct ForceCase {
  const char* name;
  uint8_t type;     // RejoinType: 0 and 1 ask for a type 0 request, 2 for type 2
  uint8_t retries;  // Max_Retries
  uint8_t period;   // Period: 32 x 2^period s (+ up to 32 s) between requests
  uint8_t dr;
  Window window;  // where the network answers rejoin requests
  int requests;   // rejoin requests on the air
  const char* confirm;
};

class ForceRejoin : public testing::TestWithParam<ForceCase> {};

// ForceRejoinReq (in the byte layout this device reads, see the
// network's encoder): the device sends rejoin requests of the type and at
// the data rate the command names, Max_Retries of them (one for 0), the
// period apart, RJcount0 counting up, until the network answers one.
TEST_P(ForceRejoin, RequestsGoOutUntilOneIsAnswered) {
  const ForceCase& c = GetParam();
  Confirmed11 a({mac::force_rejoin_req(c.period, c.retries, c.type, c.dr, true)});
  a.ns.set_window("a", c.window);
  const uint32_t addr = a.ns.dev_addr("a").value_or(0);
  const uint64_t gap_s = 32ull << c.period;
  const std::vector<std::string> lines = lines_for(a, (c.retries + 2) * sec(gap_s + 33));
  const std::vector<UplinkRecord> rj = rejoins_from(a.ns, a.delivered);
  ASSERT_EQ(rj.size(), static_cast<size_t>(c.requests));
  const uint8_t type = c.type < 2 ? 0 : 2;
  for (size_t i = 0; i < rj.size(); ++i) {
    SCOPED_TRACE(rj[i].line());
    EXPECT_EQ(rj[i].rejoin_type, type);
    EXPECT_EQ(rj[i].meta.dr, c.dr);
    EXPECT_TRUE(rj[i].mic_ok);
    // RJcount0 counts the requests since the join (the first is 0 or 1).
    EXPECT_EQ(rj[i].dev_nonce, rj[0].dev_nonce + i);
    EXPECT_LE(rj[0].dev_nonce, 1);
    if (i > 0) {
      const uint64_t gap = rj[i].t - rj[i - 1].t;
      EXPECT_GE(gap, sec(gap_s));
      EXPECT_LE(gap, sec(gap_s + 33));
    }
  }
  // The first goes at once, after the exchange that brought the command.
  EXPECT_LE(rj[0].t - a.ns.uplinks()[a.delivered].t, sec(4));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), c.confirm), c.requests);
  EXPECT_EQ(lines.size(), static_cast<size_t>(c.requests)) << lines.front();
  if (c.window == Window::kNone) return;

  // Answered: a new session under the keys of the rejoin accept, on the
  // same address, with its counters from 0.
  ASSERT_TRUE(rj.back().accepted);
  EXPECT_EQ(a.ns.dev_addr("a").value_or(0), addr);
  a.ns.set_window("a", Window::kRx1);
  a.ns.queue_downlink("a", 6, {0x66});
  EXPECT_EQ(fields(a.exchange("B1"), 7), "RX 0 0 6 66 0 0");
  EXPECT_EQ(a.last_up().status, "ok") << a.last_up().line();
  EXPECT_EQ(a.last_up().fcnt, 0u);
  EXPECT_EQ(a.last_up().payload, Bytes{0xB1});
  // A type 0 rejoin is a new session: it is announced again (and
  // confirmed with the downlink).
  if (type == 0) {
    EXPECT_TRUE(has_cid(a.last_up(), 0x0B)) << a.last_up().line();
  }
  EXPECT_EQ(a.exchange("B2"), "");
  EXPECT_EQ(a.last_up().fcnt, 1u);
  EXPECT_EQ(a.last_up().status, "ok");
  EXPECT_FALSE(has_cid(a.last_up(), 0x0B)) << a.last_up().line();
}

INSTANTIATE_TEST_SUITE_P(
    MacOnAir, ForceRejoin,
    testing::Values(
        // Unanswered: each request times out (RX2 timeout, 4).
        ForceCase{"type0_unanswered", 0, 3, 1, 2, Window::kNone, 3, "MLME 2 4 0 0"},
        ForceCase{"type1_asks_for_type0", 1, 2, 0, 1, Window::kNone, 2, "MLME 2 4 0 0"},
        ForceCase{"type2_unanswered", 2, 2, 0, 4, Window::kNone, 2, "MLME 4 4 0 0"},
        ForceCase{"no_retries_one_request", 0, 0, 0, 3, Window::kNone, 1, "MLME 2 4 0 0"},
        // Answered: the first request is the last.
        ForceCase{"type0_answered", 0, 3, 0, 3, Window::kRx1, 1, "MLME 2 0 0 0"},
        ForceCase{"type2_answered", 2, 3, 0, 3, Window::kRx2, 1, "MLME 4 0 0 0"}),
    [](const testing::TestParamInfo<ForceCase>& i) { return std::string(i.param.name); });

// RejoinParamSetupReq with the shortest time (2^10 s) and count (2^4
// uplinks): with uplinks coming faster than that, a rejoin request type 0
// goes out after every 16 of them.
TEST(MacOnAir, RejoinParamSetupCountsUplinksBetweenRejoins) {
  Confirmed11 a({mac::rejoin_param_setup_req(0, 0)});
  a.ns.set_window("a", Window::kNone);
  int data = 0;
  while (data < 40) {
    const std::string ok = a.cmd("SEND 2 02");
    if (ok == "OK 0") {
      ASSERT_EQ(a.next_starting("SENT").substr(0, 6), "SENT 0");
      ++data;
    } else {
      // Busy with a rejoin request: wait for its end.
      ASSERT_EQ(ok, "OK 1") << data;
      ASSERT_EQ(a.next_starting("MLME"), "MLME 2 4 0 0");
    }
  }
  // The answer went up with the first uplink after the command.
  EXPECT_EQ(a.ns.answers("a").size(), 1u);
  EXPECT_EQ(a.ns.answers("a")[0].data, Bytes{0x01});
  // Data uplinks since the command (the one that brought it counts) before
  // each rejoin request.
  std::vector<int> runs = {0};
  uint16_t next_rj = 0;
  for (const UplinkRecord& u : uplinks_from(a.ns, a.delivered)) {
    if (u.mtype == MType::kRejoinRequest) {
      EXPECT_EQ(u.rejoin_type, 0) << u.line();
      EXPECT_EQ(u.dev_nonce, next_rj++ + 1) << u.line();
      runs.push_back(0);
    } else {
      ++runs.back();
    }
  }
  EXPECT_EQ(runs, (std::vector<int>{16, 16, 9}));
}

// With a time limit of 2^10 s and no uplinks, a rejoin request type 0
// goes out every 1024 s. When the network answers one, the new session
// has no rejoin cycle: no request follows, and the device stays quiet.
TEST(MacOnAir, RejoinParamSetupTimesRejoinsUntilANewSession) {
  Confirmed11 a({mac::rejoin_param_setup_req(0, 15)});
  a.ns.set_window("a", Window::kNone);
  const systest::time_us set = a.w.now();
  std::vector<std::string> lines = lines_for(a, sec(3 * 1024 + 100));
  std::vector<UplinkRecord> rj = rejoins_from(a.ns, a.delivered);
  ASSERT_EQ(rj.size(), 3u);
  for (size_t i = 0; i < rj.size(); ++i) {
    SCOPED_TRACE(rj[i].line());
    EXPECT_EQ(rj[i].rejoin_type, 0);
    EXPECT_EQ(rj[i].dev_nonce, i + 1);
    EXPECT_EQ(rj[i].status, "ok, not answered");
    // Within a second of each period's end (plus the frame's air time).
    EXPECT_GE(rj[i].t, set + (i + 1) * sec(1024) - sec(3));
    EXPECT_LE(rj[i].t, set + (i + 1) * sec(1024) + sec(1));
  }
  EXPECT_EQ(lines, std::vector<std::string>(3, "MLME 2 4 0 0"));

  // The next one is answered.
  a.ns.set_window("a", Window::kRx1);
  lines = lines_for(a, sec(1024));
  EXPECT_EQ(lines, std::vector<std::string>{"MLME 2 0 0 0"});
  rj = rejoins_from(a.ns, a.delivered);
  ASSERT_EQ(rj.size(), 4u);
  EXPECT_TRUE(rj.back().accepted) << rj.back().line();
  const size_t after = a.ns.uplinks().size();
  EXPECT_TRUE(a.d->quiet(kConsole, sec(3 * 1024)));
  EXPECT_EQ(a.ns.uplinks().size(), after);
  EXPECT_EQ(fields(a.exchange("C1"), 4), "RX 0 0 0");  // RekeyInd, confirmed
  EXPECT_EQ(a.last_up().fcnt, 0u);
  EXPECT_EQ(a.last_up().status, "ok");
}

// Periodic rejoin requests the device is set up for: type 0 (NetID, under
// the session's key, RJcount0) and type 1 (JoinEUI, under the join server's
// key, RJcount1), one per cycle and counting up while the network leaves
// them unanswered; a cycle of 0 s sends none. The network then answers
// one: a new session, its counters from 0, and no more rejoin requests.
struct CycleCase {
  const char* name;
  const char* set;  // the device's setting
  uint32_t cycle_s;
  uint8_t type;
};

class RejoinCycle : public testing::TestWithParam<CycleCase> {};

TEST_P(RejoinCycle, OnePerCycleUntilAnswered) {
  const CycleCase& c = GetParam();
  Confirmed11 a;
  const size_t from = a.ns.uplinks().size();
  a.ns.set_window("a", Window::kNone);
  EXPECT_EQ(a.cmd(std::string("SET ") + c.set + " " + std::to_string(c.cycle_s)), "OK 0");
  const systest::time_us set = a.w.now();
  if (c.cycle_s == 0) {
    EXPECT_TRUE(a.d->quiet(kConsole, sec(4000)));
    EXPECT_EQ(a.ns.uplinks().size(), from);
    return;
  }
  const std::vector<std::string> lines = lines_for(a, 3 * sec(c.cycle_s) + sec(10));
  std::vector<UplinkRecord> rj = rejoins_from(a.ns, from);
  ASSERT_EQ(rj.size(), 3u);
  EXPECT_EQ(lines, std::vector<std::string>(3, "MLME " + std::to_string(2 + c.type) + " 4 0 0"));
  for (size_t i = 0; i < rj.size(); ++i) {
    SCOPED_TRACE(rj[i].line());
    EXPECT_EQ(rj[i].rejoin_type, c.type);
    EXPECT_TRUE(rj[i].mic_ok);
    EXPECT_EQ(rj[i].status, "ok, not answered");
    EXPECT_EQ(rj[i].dev_nonce, rj[0].dev_nonce + i);
    EXPECT_GE(rj[i].t, set + (i + 1) * sec(c.cycle_s));
    EXPECT_LE(rj[i].t, set + (i + 1) * sec(c.cycle_s) + sec(3));
  }
  EXPECT_LE(rj[0].dev_nonce, 1);

  a.ns.set_window("a", Window::kRx1);
  EXPECT_EQ(lines_for(a, sec(c.cycle_s)),
            std::vector<std::string>{"MLME " + std::to_string(2 + c.type) + " 0 0 0"});
  rj = rejoins_from(a.ns, from);
  ASSERT_EQ(rj.size(), 4u);
  EXPECT_TRUE(rj.back().accepted) << rj.back().line();
  a.ns.queue_downlink("a", 4, {0x44});
  EXPECT_EQ(fields(a.exchange("D1"), 7), "RX 0 0 4 44 0 0");
  EXPECT_EQ(a.last_up().status, "ok") << a.last_up().line();
  EXPECT_EQ(a.last_up().fcnt, 0u);
  // The new session has no rejoin cycle of its own.
  EXPECT_TRUE(a.d->quiet(kConsole, 2 * sec(c.cycle_s)));
  EXPECT_EQ(rejoins_from(a.ns, from).size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(MacOnAir, RejoinCycle,
                         testing::Values(CycleCase{"type0", "REJOIN0", 600, 0},
                                         CycleCase{"type1", "REJOIN1", 900, 1},
                                         CycleCase{"type0_off", "REJOIN0", 0, 0},
                                         CycleCase{"type1_off", "REJOIN1", 0, 1}),
                         [](const testing::TestParamInfo<CycleCase>& i) {
                           return std::string(i.param.name);
                         });

}  // namespace
