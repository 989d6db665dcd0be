// The RTC timer adapter, the timer server on it and the driver-layer timers.
#include <string>
#include <utility>

#include "port_fixture.h"

namespace {

constexpr sim::time_us kMs = 1000;

std::vector<std::pair<std::string, sim::time_us>> g_fired;
void record(void* name) { g_fired.emplace_back(static_cast<const char*>(name), sim::now()); }

int g_handled = 0;
void* g_handled_with = nullptr;
void handler(void* m_data) {
  ++g_handled;
  g_handled_with = m_data;
}

// Runs the dispatcher's part for timer events: the expiry in the main loop.
size_t handle_timer_events(const std::vector<udrv_system_event_t>& events,
                           udrv_system_event_op_t op) {
  size_t n = 0;
  for (const auto& e : events) {
    if (e.request != op) continue;
    ++n;
    uhal_timer_handler_handler(e.p_context);
  }
  return n;
}

}  // namespace

TEST_F(PortTest, TickConversionsRoundDown) {
  struct Case {
    uint32_t ms;
    uint32_t ticks;
  };
  for (const Case& c : {Case{1000, 32768}, Case{1, 32}, Case{0, 0}, Case{131072000, 0}}) {
    EXPECT_EQ(TIMER_IF_Convert_ms2Tick(c.ms), c.ticks) << c.ms;
  }
  EXPECT_EQ(TIMER_IF_Convert_Tick2ms(33), 1u);
  EXPECT_EQ(TIMER_IF_Convert_Tick2ms(32767), 999u);
  EXPECT_EQ(TIMER_IF_Convert_Tick2ms(0xFFFFFFFFu), 131071999u);
  EXPECT_EQ(TIMER_IF_GetMinimumTimeout(), 3u);
}

TEST_F(PortTest, CalendarTimeCountsWrapsAndTicks) {
  HAL_RTCEx_BKUPWrite(&hrtc, RTC_BKP_DR2, 5);
  stm32sim::rtc_set_ticks(32768u * 10 + 16384);
  uint16_t ms = 0;
  EXPECT_EQ(TIMER_IF_GetTime(&ms), 655370u);
  EXPECT_EQ(ms, 500u);
}

TEST_F(PortTest, TheCounterWrapIsCountedAndTimeGoesOn) {
  stm32sim::rtc_set_ticks(0xFFFFFFFFu - 32768u);  // one second before the wrap
  uint16_t ms0 = 0;
  uint32_t s0 = TIMER_IF_GetTime(&ms0);
  uint64_t t0 = uhal_rtc_get_timestamp();
  run_for(2500 * kMs);
  EXPECT_EQ(HAL_RTCEx_BKUPRead(&hrtc, RTC_BKP_DR2), 1u);
  uint64_t t1 = uhal_rtc_get_timestamp();
  EXPECT_GE(t1 - t0, 2499u);
  EXPECT_LE(t1 - t0, 2501u);
  uint16_t ms1 = 0;
  EXPECT_EQ(TIMER_IF_GetTime(&ms1), s0 + 2 + (ms0 + 500) / 1000);
}

TEST_F(PortTest, AWrapWhoseInterruptIsHeldOffIsStillCounted) {
  stm32sim::rtc_set_ticks(0xFFFFFFFFu - 327u);  // 10 ms before the wrap
  uint32_t mask;
  uhal_sys_board_critical_section_begin(&mask);
  run_for(20 * kMs);  // the wrap happens, its interrupt waits
  EXPECT_EQ(HAL_RTCEx_BKUPRead(&hrtc, RTC_BKP_DR2), 0u);
  EXPECT_EQ(TIMER_IF_GetTime(nullptr), RTC_WRAP_SECONDS);
  uhal_sys_board_critical_section_end(&mask);
  EXPECT_EQ(HAL_RTCEx_BKUPRead(&hrtc, RTC_BKP_DR2), 1u);
  EXPECT_EQ(TIMER_IF_GetTime(nullptr), RTC_WRAP_SECONDS);
}

TEST_F(PortTest, TimestampDoesNotWrapAt32Bits) {
  // 60 days of RTC time: more milliseconds than 32 bits hold.
  HAL_RTCEx_BKUPWrite(&hrtc, RTC_BKP_DR2, 40);
  stm32sim::rtc_set_ticks(32768u * 3 + 16384);
  EXPECT_EQ(uhal_rtc_get_timestamp(), (40ull * RTC_WRAP_SECONDS + 3) * 1000 + 500);
}

TEST_F(PortTest, TheServerRunsTimersInExpiryOrder) {
  static UTIL_TIMER_Object_t a, b, c, d;
  static const char* names[] = {"a30", "b10", "c10", "d20"};
  UTIL_TIMER_Object_t* objs[] = {&a, &b, &c, &d};
  const uint32_t periods[] = {30, 10, 10, 20};
  g_fired.clear();
  sim::time_us t0 = sim::now();
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(UTIL_TIMER_Create(objs[i], periods[i], UTIL_TIMER_ONESHOT, record,
                                const_cast<char*>(names[i])),
              UTIL_TIMER_OK);
    ASSERT_EQ(UTIL_TIMER_Start(objs[i]), UTIL_TIMER_OK);
  }
  run_for(100 * kMs);
  ASSERT_EQ(g_fired.size(), 4u);
  const char* order[] = {"b10", "c10", "d20", "a30"};
  const uint32_t at_ms[] = {10, 10, 20, 30};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(g_fired[i].first, order[i]);
    sim::time_us late = g_fired[i].second - t0 - at_ms[i] * kMs;
    EXPECT_LT(late, 1 * kMs) << order[i];  // within a millisecond of its time (tick rounding)
  }
}

TEST_F(PortTest, ATimerStartedNearTheWrapExpiresOnTime) {
  static UTIL_TIMER_Object_t t;
  stm32sim::rtc_set_ticks(0xFFFFFFFFu - 32768u);
  g_fired.clear();
  sim::time_us t0 = sim::now();
  ASSERT_EQ(UTIL_TIMER_Create(&t, 3000, UTIL_TIMER_ONESHOT, record, const_cast<char*>("t")),
            UTIL_TIMER_OK);
  ASSERT_EQ(UTIL_TIMER_Start(&t), UTIL_TIMER_OK);
  run_for(5000 * kMs);
  ASSERT_EQ(g_fired.size(), 1u);
  EXPECT_GE(g_fired[0].second - t0, 2999 * kMs);
  EXPECT_LE(g_fired[0].second - t0, 3001 * kMs);
}

TEST_F(PortTest, AOneShotSystemTimerPostsOneEventWithItsRecord) {
  g_handled = 0;
  int context = 0;
  ASSERT_EQ(uhal_sys_timer_create(SYSTIMER_LORAWAN, handler, HTMR_ONESHOT), 0);
  ASSERT_EQ(uhal_sys_timer_start(SYSTIMER_LORAWAN, 5000, &context), 0);
  run_for(4900 * kMs);
  EXPECT_TRUE(take_events().empty());
  run_for(20000 * kMs);
  auto events = take_events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].request, UDRV_SYS_EVT_OP_SYS_TIMER);
  EXPECT_EQ(static_cast<uhal_timer_data*>(events[0].p_context)->timer_id,
            uint32_t{SYSTIMER_LORAWAN});
  handle_timer_events(events, UDRV_SYS_EVT_OP_SYS_TIMER);
  EXPECT_EQ(g_handled, 1);
  EXPECT_EQ(g_handled_with, &context);
}

TEST_F(PortTest, APeriodicTimerPostsUntilStopped) {
  g_handled = 0;
  ASSERT_EQ(uhal_timer_create(TIMER_2, handler, HTMR_PERIODIC), 0);
  ASSERT_EQ(uhal_timer_start(TIMER_2, 5000, nullptr), 0);
  run_for(20500 * kMs);
  EXPECT_EQ(handle_timer_events(take_events(), UDRV_SYS_EVT_OP_USER_TIMER), 4u);
  EXPECT_EQ(g_handled, 4);
  ASSERT_EQ(uhal_timer_stop(TIMER_2), 0);
  run_for(20000 * kMs);
  EXPECT_TRUE(take_events().empty());
}

TEST_F(PortTest, AnExpiryQueuedBeforeStopOrRestartIsDropped) {
  int context = 0;
  ASSERT_EQ(uhal_sys_timer_create(SYSTIMER_LCT, handler, HTMR_ONESHOT), 0);
  // Stopped after its expiry was posted: the handler does not run.
  ASSERT_EQ(uhal_sys_timer_start(SYSTIMER_LCT, 10, &context), 0);
  run_for(20 * kMs);
  ASSERT_EQ(uhal_sys_timer_stop(SYSTIMER_LCT), 0);
  g_handled = 0;
  EXPECT_EQ(handle_timer_events(take_events(), UDRV_SYS_EVT_OP_SYS_TIMER), 1u);
  EXPECT_EQ(g_handled, 0);
  // Started again after its expiry was posted: only the new run's expiry counts.
  ASSERT_EQ(uhal_sys_timer_start(SYSTIMER_LCT, 10, &context), 0);
  run_for(20 * kMs);
  ASSERT_EQ(uhal_sys_timer_start(SYSTIMER_LCT, 50, &context), 0);
  EXPECT_EQ(handle_timer_events(take_events(), UDRV_SYS_EVT_OP_SYS_TIMER), 1u);
  EXPECT_EQ(g_handled, 0);
  run_for(60 * kMs);
  EXPECT_EQ(handle_timer_events(take_events(), UDRV_SYS_EVT_OP_SYS_TIMER), 1u);
  EXPECT_EQ(g_handled, 1);
}

TEST_F(PortTest, TimerIdsFromFiveUpAreRefused) {
  for (int id : {5, 6, 255}) {
    EXPECT_EQ(uhal_sys_timer_create(static_cast<SysTimerID_E>(id), handler, HTMR_ONESHOT), -7);
    EXPECT_EQ(uhal_sys_timer_start(static_cast<SysTimerID_E>(id), 10, nullptr), -7);
    EXPECT_EQ(uhal_sys_timer_stop(static_cast<SysTimerID_E>(id)), -7);
    EXPECT_EQ(uhal_timer_create(static_cast<TimerID_E>(id), handler, HTMR_ONESHOT), -7);
  }
}

TEST_F(PortTest, SystemTimeKeepsItsOffsetInTheBackupRegisters) {
  stm32sim::rtc_set_ticks(32768u * 100);
  SysTime_t set = {1000000000u, 250};
  SysTimeSet(set);
  run_for(1500 * kMs);
  SysTime_t now = SysTimeGet();
  EXPECT_EQ(now.Seconds, 1000000001u);
  EXPECT_NEAR(now.SubSeconds, 750, 1);
  EXPECT_EQ(SysTimeGetMcuTime().Seconds, 101u);
}

namespace {
uint64_t in_ms(SysTime_t t) {
  return static_cast<uint64_t>(t.Seconds) * 1000u + static_cast<uint16_t>(t.SubSeconds);
}
}  // namespace

// The counter wraps after 2^32 ticks (about 36.4 h). An MCU reset keeps the
// counter, the offset and the wrap count, so the system time runs on; only a
// backup-domain reset starts the counter, and its wrap count, again.
TEST_F(PortTest, SystemTimeRunsOnThroughAnMcuResetOnceTheCounterHasWrapped) {
  SysTimeSet(SysTime_t{1400000000u, 0});
  for (uint64_t hours : {40u, 80u}) {
    SCOPED_TRACE(std::to_string(hours) + " h");
    run_for(hours * 3600u * 1000u * kMs - sim::now());
    uint64_t before = in_ms(SysTimeGet());
    uint64_t stamp_before = uhal_rtc_get_timestamp();
    mcu_reset();
    uint64_t after = in_ms(SysTimeGet());
    EXPECT_GE(after, before);
    EXPECT_LE(after, before + 1);
    EXPECT_GE(uhal_rtc_get_timestamp(), stamp_before);
    EXPECT_LE(uhal_rtc_get_timestamp(), stamp_before + 1);
    EXPECT_EQ(HAL_RTCEx_BKUPRead(&hrtc, RTC_BKP_DR2), hours * 3600u / RTC_WRAP_SECONDS);
  }
  stm32_rcc_backup_reset(1);
  stm32_rcc_backup_reset(0);
  mcu_reset();
  EXPECT_EQ(HAL_RTCEx_BKUPRead(&hrtc, RTC_BKP_DR2), 0u);
  EXPECT_EQ(SysTimeGetMcuTime().Seconds, 0u);
}
