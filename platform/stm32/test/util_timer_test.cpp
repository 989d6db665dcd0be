// The timer server's alarm on a driver whose clock the test moves by hand
// and whose minimum timeout is 0 (the least a board may report): objects
// with a period of 0 ticks, started again by the alarm that ran them, wait
// for a later alarm instead of running again in the same one.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim/host.h"
#include "util_timer.h"

namespace {

uint32_t g_ticks = 0;  // the driver's clock
uint32_t g_context = 0;
bool g_armed = false;
uint32_t g_alarm_at = 0;  // absolute ticks

UTIL_TIMER_Status_t ok() { return UTIL_TIMER_OK; }
UTIL_TIMER_Status_t start_evt(uint32_t timeout) {
  g_armed = true;
  g_alarm_at = g_context + timeout;
  return UTIL_TIMER_OK;
}
UTIL_TIMER_Status_t stop_evt() {
  g_armed = false;
  return UTIL_TIMER_OK;
}
uint32_t set_context() { return g_context = g_ticks; }
uint32_t get_context() { return g_context; }
uint32_t elapsed() { return g_ticks - g_context; }
uint32_t value() { return g_ticks; }
uint32_t no_minimum() { return 0; }
uint32_t same(uint32_t v) { return v; }

struct Fired {
  int id;
  uint32_t at;
  bool operator==(const Fired& o) const { return id == o.id && at == o.at; }
};
std::ostream& operator<<(std::ostream& os, const Fired& f) { return os << f.id << "@" << f.at; }

std::vector<Fired> g_fired;
UTIL_TIMER_Object_t g_obj[2];
// Guards the old fault: a callback run again and again by one alarm stops
// being restarted after this many runs, so that the test ends and fails.
constexpr size_t kRunaway = 50;

void periodic_cb(void* arg) {
  const int id = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  g_fired.push_back({id, g_ticks});
  if (g_fired.size() >= kRunaway) UTIL_TIMER_Stop(&g_obj[id]);
}

void restart_cb(void* arg) {
  const int id = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  g_fired.push_back({id, g_ticks});
  if (g_fired.size() < kRunaway) UTIL_TIMER_Start(&g_obj[id]);
}

// Moves the clock to the armed alarm and runs it.
void fire() {
  ASSERT_TRUE(g_armed);
  g_ticks = g_alarm_at;
  g_armed = false;
  UTIL_TIMER_IRQ_Handler();
}

class UtilTimer : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    g_ticks = 1000;
    g_context = 0;
    g_armed = false;
    g_fired.clear();
    ASSERT_EQ(UTIL_TIMER_Init(), UTIL_TIMER_OK);
  }
  void TearDown() override {
    for (auto& o : g_obj) UTIL_TIMER_Stop(&o);
  }
};

TEST_F(UtilTimer, PeriodicObjectsWithoutAPeriodRunOncePerAlarm) {
  for (intptr_t i = 0; i < 2; ++i) {
    ASSERT_EQ(UTIL_TIMER_Create(&g_obj[i], 0, UTIL_TIMER_PERIODIC, periodic_cb,
                                reinterpret_cast<void*>(i)),
              UTIL_TIMER_OK);
    ASSERT_EQ(UTIL_TIMER_Start(&g_obj[i]), UTIL_TIMER_OK);
  }
  for (int n = 0; n < 3; ++n) fire();
  // Both due together at one tick from the start, then every tick.
  EXPECT_EQ(g_fired,
            (std::vector<Fired>{{0, 1001}, {1, 1001}, {0, 1002}, {1, 1002}, {0, 1003}, {1, 1003}}));
  EXPECT_TRUE(g_armed);
  EXPECT_EQ(g_alarm_at, 1004u);
}

TEST_F(UtilTimer, OneShotObjectsRestartedFromTheirCallbackRunOncePerAlarm) {
  for (intptr_t i = 0; i < 2; ++i) {
    ASSERT_EQ(
        UTIL_TIMER_Create(&g_obj[i], 0, UTIL_TIMER_ONESHOT, restart_cb, reinterpret_cast<void*>(i)),
        UTIL_TIMER_OK);
    ASSERT_EQ(UTIL_TIMER_Start(&g_obj[i]), UTIL_TIMER_OK);
  }
  for (int n = 0; n < 3; ++n) fire();
  EXPECT_EQ(g_fired,
            (std::vector<Fired>{{0, 1001}, {1, 1001}, {0, 1002}, {1, 1002}, {0, 1003}, {1, 1003}}));
  EXPECT_EQ(UTIL_TIMER_IsRunning(&g_obj[0]), 1u);
  EXPECT_EQ(UTIL_TIMER_IsRunning(&g_obj[1]), 1u);
}

}  // namespace

const UTIL_TIMER_Driver_s UTIL_TimerDriver = {
    ok, ok, start_evt, stop_evt, set_context, get_context, elapsed, value, no_minimum, same, same};
