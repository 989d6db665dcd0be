// The Apollo3 port's arithmetic against the values its documentation
// gives: the UART rate table at the edges of its ranges, the kernel's tick
// periods, the RTC conversions, and the alarm and counter-wrap rules.
#include <gtest/gtest.h>

#include "apollo3_arith.h"

namespace {

TEST(UartRate, EachRangeEndsWhereTheTableSays) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {1, 1200},         {1800, 1200},       {1801, 2400},           {9600, 9600},
      {10000, 9600},     {12000, 9600},      {12001, 14400},         {30025, 28800},
      {30026, 31250},    {115200, 115200},   {172800, 115200},       {172801, 230400},
      {240200, 230400},  {240201, 250000},   {250000, 250000},       {960800, 921600},
      {960801, 1000000}, {2000000, 1000000}, {0xFFFFFFFFu, 1000000},
  };
  for (const auto& [requested, programmed] : cases) {
    EXPECT_EQ(apollo3_uart_rate(requested), programmed) << requested;
  }
}

// A tick is 32/32768 s: periods in ms become ms x 1.024 ticks, truncated.
// The longest sleep a command may ask for (4294967295 ms) does not fit a
// tick count and is held at the largest period rather than converted
// without a defined result.
TEST(KernelTicks, MillisecondsBecomeTicksOf32Over32768Seconds) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {1, 1}, {1000, 1024}, {5000, 5120}, {10000, 10240}, {1000000, 1024000},
  };
  for (const auto& [ms, ticks] : cases) {
    EXPECT_EQ(apollo3_ms_to_ticks(ms), ticks) << ms;
  }
  EXPECT_EQ(apollo3_ms_to_ticks(4294967295u), 0xFFFFFF00u);
  EXPECT_EQ(apollo3_ms_to_ticks(4194304000u), 0xFFFFFF00u);
}

TEST(RtcConversions, TicksAndMillisecondsAt32768Hz) {
  EXPECT_EQ(apollo3_tick2ms(32768), 1000u);
  EXPECT_EQ(apollo3_ms2tick(1000), 32768u);
  EXPECT_EQ(apollo3_tick2ms(0xFFFFFFFFu), 131072000u);
  EXPECT_EQ(apollo3_tick2ms(33), 1u);
  EXPECT_EQ(apollo3_ms2tick(1), 32u);
}

// An alarm 10 ticks after a context read at 100, seen from counters before,
// at and after its time; a passed time fires at once, also across a wrap.
TEST(RtcAlarm, APassedTimeFiresAtOnce) {
  EXPECT_EQ(apollo3_alarm_delta(100, 10, 100), 10u);
  EXPECT_EQ(apollo3_alarm_delta(100, 10, 105), 5u);
  EXPECT_EQ(apollo3_alarm_delta(100, 10, 110), 0u);
  EXPECT_EQ(apollo3_alarm_delta(100, 10, 111), 0u);
  EXPECT_EQ(apollo3_alarm_delta(100, 10, 5000), 0u);
  EXPECT_EQ(apollo3_alarm_delta(0xFFFFFFF0u, 0x20, 0xFFFFFFF8u), 0x18u);
  EXPECT_EQ(apollo3_alarm_delta(0xFFFFFFF0u, 0x20, 0x20), 0u);
  EXPECT_EQ(apollo3_alarm_delta(0, 32768u * 3600u, 0), 32768u * 3600u);
}

TEST(RtcWrap, ElapsedTimeAndContextAcrossACounterWrap) {
  EXPECT_EQ(apollo3_elapsed(200, 100), 100u);
  EXPECT_EQ(apollo3_elapsed(5, 0xFFFFFFF0u), 5u + 0xFu);
  EXPECT_EQ(apollo3_timer_context(500, 100), 500u);
  EXPECT_EQ(apollo3_timer_context(100, 100), 100u);
  EXPECT_EQ(apollo3_timer_context(5, 0xFFFFFFF0u), 4u);
}

}  // namespace
