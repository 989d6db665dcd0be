// When the receive windows open and how long they listen, measured on the
// air: the network sends its answer early or late by a chosen amount (the
// gateway's timing error) and the device either takes it or not. Where the
// window opens and closes follows from the receive delay, the symbol
// timeout (long enough for the preamble plus twice the allowed timing
// error) and the window offset that centres the listening time on the
// downlink's preamble.
#include <algorithm>
#include <cmath>

#include "air.h"

namespace {

using namespace air;

// The wake-up time the radio driver declares (the MAC counts it in the
// window offset, so the window itself is placed by the rule): the SX126x
// board's TCXO and radio start, or the sub-GHz radio's.
#ifndef MAC_DEVICE_WAKEUP_US
#define MAC_DEVICE_WAKEUP_US 13000
#endif
constexpr int64_t kWakeUpUs = MAC_DEVICE_WAKEUP_US;

struct WindowRule {
  uint32_t timeout_symbols;
  int32_t offset_ms;
};

// Symbol timeout and window offset for a symbol time, the minimum number of
// symbols to detect a preamble and the allowed timing error.
WindowRule window_rule(uint32_t tsym_us, uint32_t min_symbols, uint32_t rx_error_ms) {
  uint32_t t = 2 * (rx_error_ms * 1000 + tsym_us * (min_symbols - 4));
  if (t != 0) t = (t + tsym_us - 1) / tsym_us;
  const uint32_t timeout = std::max(t, min_symbols);
  const int64_t o = 4 * int64_t{tsym_us} - (int64_t{tsym_us} * timeout + 1) / 2 - kWakeUpUs;
  const int32_t offset =
      o > 0 ? static_cast<int32_t>((o + 999) / 1000) : static_cast<int32_t>(o / 1000);
  return {timeout, offset};
}

struct Probe : Air {
  explicit Probe(Window w) {
    EXPECT_TRUE(join());
    ns.set_window("a", w);
  }
  // One exchange answered `error_us` late (early when negative): whether
  // the device received the answer.
  bool heard(int64_t error_us) {
    gw->options().timing_error_us = error_us;
    ns.queue_downlink("a", 3, {0x5A});
    const std::string sent = send("SEND 2 01");
    EXPECT_EQ(sent.substr(0, 6), "SENT 0");
    // A received answer is indicated in the same step as the confirm.
    std::optional<std::string> rx = d->next_line(kConsole, ms(5));
    return rx && rx->rfind("RX 0 ", 0) == 0;
  }
  // The first error in [lo, hi] (1 ms steps) where heard() is `want`, given
  // that it is not `want` at lo and is at hi.
  int64_t edge(int64_t lo_ms, int64_t hi_ms, bool want) {
    while (hi_ms - lo_ms > 1) {
      const int64_t mid = lo_ms + (hi_ms - lo_ms) / 2;
      if (heard(mid * 1000) == want) {
        hi_ms = mid;
      } else {
        lo_ms = mid;
      }
    }
    return hi_ms;
  }
};

struct WindowCase {
  const char* name;
  Window window;
  uint32_t tsym_us;  // RX1: the uplink's DR5 (SF7); RX2: DR0 (SF12)
  uint32_t rx_error_ms;
};

class ReceiveWindow : public testing::TestWithParam<WindowCase> {};

TEST_P(ReceiveWindow, OpensAndClosesWhereTheSymbolTimeoutRulePutsIt) {
  const WindowCase& c = GetParam();
  Probe p(c.window);
  ASSERT_EQ(p.cmd("SET RXERR " + std::to_string(c.rx_error_ms)), "OK 0");
  const WindowRule rule = window_rule(c.tsym_us, 6, c.rx_error_ms);
  // Listening, relative to the nominal downlink start (TX end + delay).
  const double open_ms = rule.offset_ms + kWakeUpUs / 1000.0;
  const double close_ms = open_ms + rule.timeout_symbols * c.tsym_us / 1000.0;
  // On time, and anywhere within the allowed timing error, the answer is
  // taken.
  EXPECT_TRUE(p.heard(0));
  EXPECT_TRUE(p.heard(-static_cast<int64_t>(c.rx_error_ms) * 1000));
  EXPECT_TRUE(p.heard(static_cast<int64_t>(c.rx_error_ms) * 1000));
  // The latest start still taken: the window's symbol timeout ends there.
  const int64_t far = static_cast<int64_t>(close_ms) + 20 * c.tsym_us / 1000 + 20;
  ASSERT_FALSE(p.heard(far * 1000));
  // The device times its windows with a millisecond timer from its TX-done
  // interrupt, and the receiver's real start-up is its own: a few milliseconds
  // (and a quarter symbol of detection) of slack.
  const double slack_ms = 4.0 + c.tsym_us / 4000.0;
  const int64_t last_miss = p.edge(0, far, false);  // first late miss
  EXPECT_NEAR(static_cast<double>(last_miss - 1), close_ms, slack_ms)
      << "window closes at " << close_ms << " ms";
  // The earliest start taken: 4 of the 8 preamble symbols are still to come
  // when the receiver starts listening.
  const double earliest_ms = open_ms - 4.0 * c.tsym_us / 1000.0;
  const int64_t early = static_cast<int64_t>(std::floor(earliest_ms)) - 10 - 4 * c.tsym_us / 1000;
  ASSERT_FALSE(p.heard(early * 1000));
  const int64_t first_hit = p.edge(early, 0, true);
  EXPECT_NEAR(static_cast<double>(first_hit), earliest_ms, slack_ms);
  std::printf(
      "[ window ] %s: listens %.1f..%.1f ms (rule), earliest start %.1f, answers taken from %lld "
      "to %lld ms\n",
      c.name, open_ms, close_ms, earliest_ms, static_cast<long long>(first_hit),
      static_cast<long long>(last_miss - 1));
}

INSTANTIATE_TEST_SUITE_P(MacOnAir, ReceiveWindow,
                         testing::Values(WindowCase{"rx1_sf7", Window::kRx1, 1024, 10},
                                         WindowCase{"rx1_sf7_wide", Window::kRx1, 1024, 40},
                                         WindowCase{"rx2_sf12", Window::kRx2, 32768, 10}),
                         [](const testing::TestParamInfo<WindowCase>& i) {
                           return std::string(i.param.name);
                         });

// --- RX1 reaching past the start of RX2 -------------------------------------------

// At DR0 RX1 and RX2 are one second apart and each SF12 symbol lasts
// 32.8 ms. A downlink of 51 bytes in RX1 is on the air for 2.8 s: it is
// still arriving when RX2 is due, and the device keeps receiving it.
TEST(MacOnAir, Rx1FrameStillArrivingWhenRx2IsDueIsReceived) {
  Air a;
  ASSERT_TRUE(a.join());
  ASSERT_EQ(a.cmd("DR 0"), "OK 0");
  Bytes payload(51);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
  a.ns.queue_downlink("a", 8, payload);
  ASSERT_EQ(a.cmd("SEND 2 01"), "OK 0");
  // The exchange ends with the frame: its confirm, then its data.
  EXPECT_EQ(fields(a.next(sec(10)), 2), "SENT 0");
  const systest::time_us confirmed = a.w.now();
  EXPECT_EQ(fields(a.next(ms(5)), 5), "RX 0 0 8 " + hex(payload.data(), payload.size()));
  ASSERT_EQ(a.ns.downlinks().size(), 2u);  // the join accept, this one
  const DownlinkRecord& down = a.ns.downlinks().back();
  EXPECT_EQ(down.tx.what, "RX1");
  EXPECT_EQ(down.tx.dr, 0);
  const sim::world::FrameRecord frame = a.downlink_frames().back();
  EXPECT_GT(frame.frame.end_us - frame.frame.start_us, sec(2));
  const systest::time_us up_end = a.ns.uplinks().back().meta.end_us;
  EXPECT_LT(up_end + sec(2), frame.frame.end_us);  // past RX2's start
  EXPECT_GE(confirmed, frame.frame.end_us);
  EXPECT_LT(confirmed, frame.frame.end_us + ms(50));
}

// With the widest timing error the device allows (500 ms), the SF12
// windows are 35 symbols (1.15 s) long, starting 0.45 s early: RX1 is still
// listening when RX2 should open. When RX1 hears nothing, RX2 still opens
// and the network's answer there is taken; silence in both ends the
// exchange with RX2's timeout.
struct OverlapCase {
  const char* name;
  Window window;
  bool confirmed;
  const char* sent;  // the confirm's status
  const char* rx;    // the downlink line, "" for none
};

class Rx1PastRx2 : public testing::TestWithParam<OverlapCase> {};

TEST_P(Rx1PastRx2, Rx2StillOpens) {
  const OverlapCase& c = GetParam();
  Air a;
  ASSERT_TRUE(a.join());
  ASSERT_EQ(a.cmd("DR 0"), "OK 0");
  ASSERT_EQ(a.cmd("SET RXERR 500"), "OK 0");
  a.ns.set_window("a", c.window);
  if (c.window != Window::kNone) a.ns.queue_downlink("a", 7, {0x31});
  ASSERT_EQ(a.cmd(std::string(c.confirmed ? "CSEND" : "SEND") + " 2 01"), "OK 0");
  const std::string sent = a.next_starting("SENT", sec(15));
  EXPECT_EQ(fields(sent, 2), c.sent) << sent;
  const systest::time_us confirmed = a.w.now();
  const std::string rx = a.d->next_line(kConsole, ms(5)).value_or("");
  EXPECT_EQ(fields(rx, 5), c.rx);
  const systest::time_us up_end = a.ns.uplinks().back().meta.end_us;
  if (c.window == Window::kNone && !c.confirmed) {
    // The exchange ended with RX2, well past RX1's end (1.7 s after the
    // uplink): RX2 opened as RX1 gave up and listened its 35 symbols.
    EXPECT_GT(confirmed, up_end + sec(2) + ms(500));
    EXPECT_LT(confirmed, up_end + sec(3) + ms(200));
  }
}

INSTANTIATE_TEST_SUITE_P(
    MacOnAir, Rx1PastRx2,
    testing::Values(OverlapCase{"answer_in_rx1", Window::kRx1, false, "SENT 0", "RX 0 0 7 31"},
                    OverlapCase{"answer_in_rx2", Window::kRx2, false, "SENT 0", "RX 0 1 7 31"},
                    OverlapCase{"confirmed_answer_in_rx2", Window::kRx2, true, "SENT 0",
                                "RX 0 1 7 31"},
                    OverlapCase{"silence", Window::kNone, false, "SENT 0", ""},
                    // RX2 timeout (4), not RX1's (3).
                    OverlapCase{"confirmed_silence", Window::kNone, true, "SENT 4", ""}),
    [](const testing::TestParamInfo<OverlapCase>& i) { return std::string(i.param.name); });

}  // namespace
