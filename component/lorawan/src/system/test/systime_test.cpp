// System time: add/sub, the backup-word delta, and the calendar fields of
// SysTimeLocalTime against the C++ calendar for 1970 to 2099.
#include <gtest/gtest.h>

#include <chrono>

#include "sim/host.h"
#include "sim/sim.h"
#include "sx126x_board_host.h"
#include "systime.h"

namespace {

TEST(SysTime, AddAndSubCarry) {
  SysTime_t r = SysTimeSub({10, 200}, {3, 700});
  EXPECT_EQ(r.Seconds, 6u);
  EXPECT_EQ(r.SubSeconds, 500);
  r = SysTimeAdd({1, 600}, {2, 700});
  EXPECT_EQ(r.Seconds, 4u);
  EXPECT_EQ(r.SubSeconds, 300);
  r = SysTimeAdd({1, 0}, {2, 999});
  EXPECT_EQ(r.Seconds, 3u);
  EXPECT_EQ(r.SubSeconds, 999);
}

TEST(SysTime, SetGetAndMillisecondConversionsUseTheStoredDelta) {
  sim::host::reset_core();
  sx126x_board::reset();
  sim::retained_clear_all();
  sim::run_until(5250000);  // the MCU's calendar: 5.250 s
  SysTimeSet({1000000000, 100});
  SysTime_t now = SysTimeGet();
  EXPECT_EQ(now.Seconds, 1000000000u);
  EXPECT_EQ(now.SubSeconds, 100);
  sim::run_until(7000000);
  now = SysTimeGet();
  EXPECT_EQ(now.Seconds, 1000000001u);
  EXPECT_EQ(now.SubSeconds, 850);
  SysTime_t mcu = SysTimeGetMcuTime();
  EXPECT_EQ(mcu.Seconds, 7u);
  EXPECT_EQ(mcu.SubSeconds, 0);
  EXPECT_EQ(SysTimeToMs(now), 7000u);
  SysTime_t back = SysTimeFromMs(7000);
  EXPECT_EQ(back.Seconds, now.Seconds);
  EXPECT_EQ(back.SubSeconds, now.SubSeconds);
}

void expect_calendar(uint32_t ts) {
  using namespace std::chrono;
  const sys_seconds s{seconds{ts}};
  const sys_days d = floor<days>(s);
  const year_month_day ymd{d};
  const hh_mm_ss<seconds> hms{s - d};
  const sys_days jan1 = sys_days{ymd.year() / January / 1};
  struct tm t {};
  SysTimeLocalTime(ts, &t);
  ASSERT_EQ(t.tm_year, int(ymd.year()) - 1900) << ts;
  ASSERT_EQ(t.tm_mon, int(unsigned(ymd.month())) - 1) << ts;
  ASSERT_EQ(t.tm_mday, int(unsigned(ymd.day()))) << ts;
  ASSERT_EQ(t.tm_yday, (d - jan1).count()) << ts;
  ASSERT_EQ(t.tm_wday, int(weekday{d}.c_encoding())) << ts;
  ASSERT_EQ(t.tm_hour, hms.hours().count()) << ts;
  ASSERT_EQ(t.tm_min, hms.minutes().count()) << ts;
  ASSERT_EQ(t.tm_sec, hms.seconds().count()) << ts;
  ASSERT_EQ(t.tm_isdst, -1);
}

TEST(SysTime, LocalTimeAgreesWithTheCalendarUpTo2099) {
  // Every day at a moving time of day, 1970 to the end of 2099.
  const uint32_t last = 4102444799u;  // 2099-12-31 23:59:59
  for (uint64_t ts = 0; ts <= last; ts += 86400 + 3607) expect_calendar(static_cast<uint32_t>(ts));
  expect_calendar(last);
  struct tm t {};
  SysTimeLocalTime(0, &t);
  EXPECT_EQ(t.tm_wday, 4) << "1970-01-01 is a Thursday";
  EXPECT_EQ(t.tm_year, 70);
  SysTimeLocalTime(951782400, &t);  // 2000-02-29
  EXPECT_EQ(t.tm_mon, 1);
  EXPECT_EQ(t.tm_mday, 29);
  EXPECT_EQ(t.tm_yday, 59);
  EXPECT_EQ(t.tm_wday, 2);
}

}  // namespace
