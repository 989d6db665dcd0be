#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core_test_support.h"
#include "udrv_powersave.h"
#include "udrv_twimst.h"

namespace {

using Log = std::vector<std::string>;

class PowerSave : public ::testing::Test {
 protected:
  void SetUp() override {
    core_test::boot();
    udrv_powersave_last_wakeup_time = 0;
    fake::port.log.clear();
  }
};

// The sleep's steps on the image under test. The nRF52840 images take the
// USB device off the bus first and back last; the tracker board has no SPI
// steps (its modem is switched inside the clock steps, by the port).
Log const &sleep_steps() {
  static Log const steps =
#if defined(QIV_BOARD_MINACOR)
      {"usb_suspend",    "spimst_suspend", "adc_suspend", "pwm_suspend",   "serial_suspend",
       "twimst_suspend", "gpio_suspend",   "rtc_suspend", "clock_off",     "mcu_sleep 1",
       "clock_on",       "rtc_resume",     "gpio_resume", "spimst_resume", "twimst_resume",
       "serial_resume",  "pwm_resume",     "adc_resume",  "usb_resume"};
#elif defined(QIV_BOARD_VOSTREL)
      {"usb_suspend",  "adc_suspend", "pwm_suspend",   "serial_suspend", "twimst_suspend",
       "gpio_suspend", "rtc_suspend", "clock_off",     "mcu_sleep 1",    "clock_on",
       "rtc_resume",   "gpio_resume", "twimst_resume", "serial_resume",  "pwm_resume",
       "adc_resume",   "usb_resume"};
#else
      {"spimst_suspend", "adc_suspend", "pwm_suspend",   "serial_suspend", "twimst_suspend",
       "gpio_suspend",   "rtc_suspend", "clock_off",     "mcu_sleep 1",    "clock_on",
       "rtc_resume",     "gpio_resume", "spimst_resume", "twimst_resume",  "serial_resume",
       "pwm_resume",     "adc_resume"};
#endif
  return steps;
}

TEST_F(PowerSave, SleepSuspendsAndResumesTheDeviceClassesInOrder) {
  service_nvm_set_auto_sleep_level_to_nvm(1);  // the images' defaults differ
  udrv_twimst_init(UDRV_TWIMST_0);
  fake::port.log.clear();
  ASSERT_EQ(udrv_sleep_ms(0), 0);
  EXPECT_EQ(fake::port.log, sleep_steps());
  EXPECT_FALSE(udrv_powersave_in_sleep);
  EXPECT_EQ(udrv_powersave_last_wakeup_time, fake::port.now_ms);
}

TEST_F(PowerSave, SleepLevelIsTheStoredAutoSleepLevel) {
  service_nvm_set_auto_sleep_level_to_nvm(2);
  ASSERT_EQ(udrv_sleep_ms(0), 0);
  EXPECT_NE(std::find(fake::port.log.begin(), fake::port.log.end(), "mcu_sleep 2"),
            fake::port.log.end());
}

TEST_F(PowerSave, TheMcuSleepsAgainUntilAWakeSourceEndsTheSleep) {
  static int passes;
  passes = 0;
  fake::port.on_sleep = [] {
    if (++passes == 3) {
      powersave_sleep_handler(nullptr);  // the sleep timer expires
    }
  };
  ASSERT_EQ(udrv_sleep_ms(500), 0);
  EXPECT_EQ(passes, 3);
  int creates = 0;
  for (int round = 0; round < 2; round++) {
    if (round == 1) {
      fake::port.log.clear();
      fake::port.now_ms += 10;
      passes = 2;
      ASSERT_EQ(udrv_sleep_ms(700), 0);
    }
    Log const &log = fake::port.log;
    creates += static_cast<int>(std::count(log.begin(), log.end(), "ps_timer_create"));
    auto const stop = std::find(log.begin(), log.end(), "ps_timer_stop");
    auto const start =
        std::find(log.begin(), log.end(), round == 0 ? "ps_timer_start 500" : "ps_timer_start 700");
    ASSERT_NE(stop, log.end());
    ASSERT_NE(start, log.end());
    EXPECT_LT(stop, start);
  }
  EXPECT_LE(creates, 1);  // the timer is created once per run
}

TEST_F(PowerSave, WakeLockRefusesTheSleepUntilEveryLockIsReleased) {
  udrv_powersave_wake_lock();
  udrv_powersave_wake_lock();
  EXPECT_EQ(udrv_sleep_ms(0), -8);
  EXPECT_FALSE(udrv_powersave_in_sleep);
  udrv_powersave_wake_unlock();
  EXPECT_EQ(udrv_sleep_ms(0), -8);
  udrv_powersave_wake_unlock();
  udrv_powersave_wake_unlock();  // at 0 already: stays 0
  EXPECT_TRUE(fake::port.log.empty());
  EXPECT_EQ(udrv_sleep_ms(0), 0);
  udrv_powersave_wake_lock();  // one lock after the extra unlock is enough to refuse
  fake::port.now_ms += 10;
  EXPECT_EQ(udrv_sleep_ms(0), -8);
  udrv_powersave_wake_unlock();
}

TEST_F(PowerSave, NoNewSleepWithinThreeMillisecondsOfAWakeUp) {
  ASSERT_EQ(udrv_sleep_ms(0), 0);
  fake::port.log.clear();
  fake::port.now_ms += 2;
  EXPECT_EQ(udrv_sleep_ms(0), -6);
  EXPECT_TRUE(std::count(fake::port.log.begin(), fake::port.log.end(), "mcu_sleep 1") == 0);
  fake::port.now_ms += 1;
  EXPECT_EQ(udrv_sleep_ms(0), 0);
}

// A sleep a user asks for is not held off by a recent wake-up (most likely
// the request's own arrival), but wake locks and pending events still refuse
// it; the rule goes on holding for the sleeps that follow.
TEST_F(PowerSave, ASleepAskedForRightAfterAWakeUpIsTakenButNotPastALockOrAnEvent) {
  ASSERT_EQ(udrv_sleep_ms(0), 0);
  fake::port.now_ms += 1;
  EXPECT_EQ(udrv_sleep_ms_asked(0), 0);
  EXPECT_EQ(udrv_sleep_ms(0), -6);
  udrv_powersave_wake_lock();
  EXPECT_EQ(udrv_sleep_ms_asked(0), -8);
  udrv_powersave_wake_unlock();
  udrv_system_event_t event = {UDRV_SYS_EVT_OP_USER_APP, nullptr};
  ASSERT_EQ(udrv_system_event_produce(&event), 0);
  EXPECT_EQ(udrv_sleep_ms_asked(0), -6);
  EXPECT_FALSE(udrv_powersave_in_sleep);
}

TEST_F(PowerSave, PendingEventRefusesTheSleepWithoutSuspendingAnything) {
  udrv_system_event_t event = {UDRV_SYS_EVT_OP_USER_APP, nullptr};
  ASSERT_EQ(udrv_system_event_produce(&event), 0);
  EXPECT_EQ(udrv_sleep_ms(250), -6);
  // A refused sleep leaves neither the sleep flag nor its timer behind.
  EXPECT_FALSE(udrv_powersave_in_sleep);
  Log const &log = fake::port.log;
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](std::string const &s) {
                            return s.find("suspend") != std::string::npos ||
                                   s.find("mcu_sleep") != std::string::npos;
                          }),
            0);
  EXPECT_EQ(log.back(), "ps_timer_stop");
  udrv_system_event_consume();
}

TEST_F(PowerSave, SleepAndWakeUpHooksRunInSlotOrder) {
  static Log calls;
  calls.clear();
  udrv_ps_sleep_cb[3] = [] { calls.push_back("sleep3"); };
  udrv_ps_sleep_cb[0] = [] { calls.push_back("sleep0"); };
  udrv_ps_wakeup_cb[15] = [] { calls.push_back("wake15"); };
  ASSERT_EQ(udrv_sleep_ms(0), 0);
  EXPECT_EQ(calls, (Log{"sleep0", "sleep3", "wake15"}));
  udrv_ps_sleep_cb[3] = nullptr;
  udrv_ps_sleep_cb[0] = nullptr;
  udrv_ps_wakeup_cb[15] = nullptr;
}

}  // namespace
