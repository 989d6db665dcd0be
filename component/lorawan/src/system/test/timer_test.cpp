// The timer list on the host board's RTC (32768 Hz counter, one alarm): a
// table of start, stop, restart and periodic cases, callbacks that start and
// stop timers, each firing at its exact virtual time.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "board.h"
#include "rtc-board.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "sx126x_board_host.h"
#include "timer.h"

namespace {

struct Fired {
  char name;
  sim::time_us at;
  bool operator==(const Fired& o) const { return name == o.name && at == o.at; }
};

std::ostream& operator<<(std::ostream& os, const Fired& f) { return os << f.name << "@" << f.at; }

std::vector<Fired> g_fired;
TimerEvent_t g_t[4];  // A, B, C, D
std::function<void(char)> g_on_fire;

void cb(void* ctx) { (void)ctx; }

template <int I>
void cb_n(void*) {
  const char name = static_cast<char>('A' + I);
  g_fired.push_back({name, sim::now()});
  if (g_on_fire) g_on_fire(name);
}

TimerEvent_t* T(char n) { return &g_t[n - 'A']; }

// When a timer of `ms` started at `start_us` fires: the counter tick at the
// start plus the ticks of the value (at least the 10-tick minimum), as a
// time rounded up to the microsecond.
sim::time_us fire_at(sim::time_us start_us, uint32_t ms) {
  const uint64_t tick0 = start_us * 32768 / 1000000;
  uint64_t ticks = uint64_t{ms} * 32768 / 1000;
  if (ticks < 10) ticks = 10;
  return ((tick0 + ticks) * 1000000 + 32767) / 32768;
}

struct Op {
  sim::time_us at;
  std::function<void()> run;
};

struct Case {
  const char* name;
  std::function<std::vector<Op>()> ops;
  std::function<void(char)> on_fire;  // what callbacks do besides recording
  std::function<std::vector<Fired>()> expected;
};

void start(char n, uint32_t ms) {
  TimerSetValue(T(n), ms);
  TimerStart(T(n));
}

class TimerTable : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    sx126x_board::reset();
    RtcInit();
    g_fired.clear();
    TimerInit(&g_t[0], cb_n<0>);
    TimerInit(&g_t[1], cb_n<1>);
    TimerInit(&g_t[2], cb_n<2>);
    TimerInit(&g_t[3], cb_n<3>);
  }
  void TearDown() override {
    g_on_fire = nullptr;
    for (auto& t : g_t) TimerStop(&t);
    sx126x_board::reset();
    sim::host::reset_core();
  }
};

TEST_P(TimerTable, FiresInOrderAtExactTimes) {
  const Case& c = GetParam();
  g_on_fire = c.on_fire;
  // The board's RTC starts at an odd time, so that ticks and microseconds
  // do not line up.
  sim::run_until(1234567);
  for (const Op& op : c.ops()) {
    sim::run_until(op.at);
    op.run();
  }
  sim::run_until(sim::now() + 5000000);
  EXPECT_EQ(g_fired, c.expected());
}

constexpr sim::time_us t0 = 1234567;

INSTANTIATE_TEST_SUITE_P(
    Cases, TimerTable,
    ::testing::Values(
        Case{"single",
             [] {
               return std::vector<Op>{{t0, [] { start('A', 100); }}};
             },
             nullptr,
             [] {
               return std::vector<Fired>{{'A', fire_at(t0, 100)}};
             }},
        Case{"sorted_by_expiry",
             [] {
               return std::vector<Op>{{t0, [] {
                                         start('A', 300);
                                         start('B', 100);
                                         start('C', 200);
                                       }}};
             },
             nullptr,
             [] {
               return std::vector<Fired>{
                   {'B', fire_at(t0, 100)}, {'C', fire_at(t0, 200)}, {'A', fire_at(t0, 300)}};
             }},
        // Equal to the head: after the head; equal to a later timer: before
        // that timer. All three due at once run in one alarm.
        Case{"equal_expiries",
             [] {
               return std::vector<Op>{{t0, [] {
                                         start('A', 100);
                                         start('B', 100);
                                         start('C', 100);
                                       }}};
             },
             nullptr,
             [] {
               const sim::time_us t = fire_at(t0, 100);
               return std::vector<Fired>{{'A', t}, {'C', t}, {'B', t}};
             }},
        Case{"equal_to_a_later_timer_goes_before_it",
             [] {
               return std::vector<Op>{{t0,
                                       [] {
                                         start('A', 50);
                                         start('B', 200);
                                       }},
                                      {t0 + 100000, [] { start('C', 100); }}};
             },
             nullptr,
             [] {
               return std::vector<Fired>{{'A', fire_at(t0, 50)},
                                         {'B', fire_at(t0, 200)},
                                         {'C', fire_at(t0 + 100000, 100)}};
             }},
        Case{"stop_the_head_arms_the_next",
             [] {
               return std::vector<Op>{{t0,
                                       [] {
                                         start('A', 100);
                                         start('B', 200);
                                       }},
                                      {t0 + 50000, [] { TimerStop(T('A')); }}};
             },
             nullptr,
             [] {
               return std::vector<Fired>{{'B', fire_at(t0, 200)}};
             }},
        Case{"stop_in_the_middle",
             [] {
               return std::vector<Op>{{t0,
                                       [] {
                                         start('A', 100);
                                         start('B', 200);
                                         start('C', 300);
                                       }},
                                      {t0 + 10000, [] {
                                         TimerStop(T('B'));
                                         TimerStop(T('D'));
                                       }}};
             },
             nullptr,
             [] {
               return std::vector<Fired>{{'A', fire_at(t0, 100)}, {'C', fire_at(t0, 300)}};
             }},
        Case{"set_value_restarts",
             [] {
               return std::vector<Op>{{t0, [] { start('A', 100); }},
                                      {t0 + 50000, [] { start('A', 100); }}};
             },
             nullptr,
             [] {
               return std::vector<Fired>{{'A', fire_at(t0 + 50000, 100)}};
             }},
        Case{"second_start_does_not_move_the_expiry",
             [] {
               return std::vector<Op>{{t0, [] { start('A', 100); }},
                                      {t0 + 50000, [] { TimerStart(T('A')); }}};
             },
             nullptr,
             [] {
               return std::vector<Fired>{{'A', fire_at(t0, 100)}};
             }},
        Case{"periodic_by_restarting_in_the_callback",
             [] {
               return std::vector<Op>{{t0, [] { start('A', 100); }}};
             },
             [](char n) {
               if (n == 'A' && g_fired.size() < 5) TimerStart(T('A'));
             },
             [] {
               std::vector<Fired> f;
               sim::time_us t = t0;
               for (int i = 0; i < 5; ++i) {
                 t = fire_at(t, 100);
                 f.push_back({'A', t});
               }
               return f;
             }},
        Case{"callback_starts_and_stops_others",
             [] {
               return std::vector<Op>{{t0, [] {
                                         start('A', 100);
                                         start('C', 150);
                                       }}};
             },
             [](char n) {
               if (n == 'A') {
                 TimerStop(T('C'));
                 start('B', 30);
               }
             },
             [] {
               const sim::time_us a = fire_at(t0, 100);
               return std::vector<Fired>{{'A', a}, {'B', fire_at(a, 30)}};
             }},
        Case{"minimum_timeout",
             [] {
               return std::vector<Op>{{t0, [] {
                                         start('A', 0);
                                         start('B', 1);
                                       }}};
             },
             nullptr,
             [] {
               return std::vector<Fired>{{'A', fire_at(t0, 0)}, {'B', fire_at(t0, 1)}};
             }},
        Case{"long_timer_beside_short_ones",
             [] {
               return std::vector<Op>{{t0, [] {
                                         start('A', 3600000);
                                         start('B', 10);
                                       }}};
             },
             nullptr,
             [] {
               return std::vector<Fired>{{'B', fire_at(t0, 10)}};
             }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TimerList, TimerWithoutCallbackJustLeavesTheList) {
  sim::host::reset_core();
  sx126x_board::reset();
  RtcInit();
  g_fired.clear();
  TimerEvent_t silent;
  TimerInit(&silent, nullptr);
  TimerInit(&g_t[1], cb_n<1>);
  TimerSetValue(&silent, 10);
  TimerStart(&silent);
  start('B', 20);
  sim::run_until(sim::now() + 100000);
  ASSERT_EQ(g_fired.size(), 1u);
  EXPECT_EQ(g_fired[0].name, 'B');
  EXPECT_FALSE(silent.IsStarted);
  TimerStop(&g_t[1]);
  sx126x_board::reset();
}

TEST(TimerList, TimersWithoutAPeriodRestartingThemselvesWaitTheMinimumTimeout) {
  // Two timers never given a value (a period of 0), each started again by
  // its own callback, both due at the same alarm: every alarm runs each of
  // them once, and the next runs come the minimum timeout later. (Run again
  // by the same alarm, they would never let it end; the callbacks stop
  // restarting after a few runs so that such a fault ends and shows.)
  sim::host::reset_core();
  sx126x_board::reset();
  RtcInit();
  g_fired.clear();
  TimerInit(&g_t[0], cb_n<0>);
  TimerInit(&g_t[2], cb_n<2>);
  TimerInit(&g_t[3], cb_n<3>);
  int runs[4] = {};
  g_on_fire = [&runs](char n) {
    if (n == 'A') {
      TimerStart(T('C'));
      TimerStart(T('D'));
    } else if (++runs[n - 'A'] < 3) {
      TimerStart(T(n));
    }
  };
  sim::run_until(t0);
  start('A', 100);
  sim::run_until(sim::now() + 1000000);
  g_on_fire = nullptr;

  const sim::time_us a = fire_at(t0, 100);
  std::vector<Fired> expected = {{'A', a}};
  sim::time_us t = a;
  for (int i = 0; i < 3; ++i) {
    t = fire_at(t, 0);  // the 10-tick minimum after the previous alarm
    expected.push_back({'C', t});
    expected.push_back({'D', t});
  }
  EXPECT_EQ(g_fired, expected);
  EXPECT_FALSE(T('C')->IsStarted);
  EXPECT_FALSE(T('D')->IsStarted);
  for (auto& x : g_t) TimerStop(&x);
  sx126x_board::reset();
}

TEST(TimerList, ElapsedTimeAndTicks) {
  sim::host::reset_core();
  sx126x_board::reset();
  RtcInit();
  EXPECT_EQ(TimerGetElapsedTime(0), 0u);
  sim::run_until(2000000);
  const TimerTime_t t = TimerGetCurrentTime();
  EXPECT_EQ(t, 2000u);
  sim::run_until(2750000);
  EXPECT_EQ(TimerGetElapsedTime(t), 750u);
  TimerEvent_t x;
  TimerInit(&x, cb);
  TimerSetValue(&x, 1);
  EXPECT_EQ(x.ReloadValue, 32u) << "1 ms is 32 ticks of 32768 Hz";
  TimerSetValue(&x, 0xFFFFFFFFu);
  EXPECT_EQ(x.ReloadValue, 0xFFFFFFFFu) << "saturated, not wrapped";
  sx126x_board::reset();
}

}  // namespace
