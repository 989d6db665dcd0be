#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core_test_support.h"
#include "qiv_runtime.h"
#include "udrv_delay.h"
#include "udrv_gpio.h"
#include "udrv_timer.h"
#include "udrv_twimst.h"

namespace {

using Log = std::vector<std::string>;

TEST(TwoWireMaster, PortAboveThreeOrUnboundIsRefused) {
  core_test::boot();
  uint8_t data[2] = {};
  // Port 3 has not been opened in this run.
  EXPECT_EQ(udrv_twimst_write(UDRV_TWIMST_3, 0x44, data, 2, true), -1);
  EXPECT_EQ(udrv_twimst_read(UDRV_TWIMST_3, 0x44, data, 2), -1);
  EXPECT_EQ(udrv_twimst_write(UDRV_TWIMST_MAX, 0x44, data, 2, true), -3);
  EXPECT_EQ(udrv_twimst_read(UDRV_TWIMST_MAX, 0x44, data, 2), -3);
}

TEST(TwoWireMaster, OpeningAPortAgainClosesItFirst) {
  core_test::boot();
  // The driver's binding outlives a test (its RAM is only cleared by a
  // chip reset): open the port first so that the test starts from an open
  // port whichever tests ran before.
  udrv_twimst_init(UDRV_TWIMST_1);
  fake::port.log.clear();
  udrv_twimst_init(UDRV_TWIMST_1);
  EXPECT_EQ(fake::port.log, (Log{"twimst_deinit 1", "twimst_init 1"}));
  uint8_t data[2] = {};
  EXPECT_EQ(udrv_twimst_write(UDRV_TWIMST_1, 0x44, data, 2, true), 2);
}

TEST(Forwarders, HandlersOfTheDispatcherReachThePort) {
  core_test::boot();
  fake::port.log.clear();
  udrv_timer_init();
  udrv_system_timer_handler_handler(nullptr);
  udrv_gpio_handler_handler(reinterpret_cast<void *>(uintptr_t{3}));
  EXPECT_EQ(fake::port.log, (Log{"timer_init", "timer_handler", "gpio_handler"}));
}

TEST(AppDelay, ZeroReturnsAtOnceAfterStoppingTheUserTimer) {
  core_test::boot();
  udrv_system_event_t event = {UDRV_SYS_EVT_OP_USER_APP, nullptr};
  udrv_system_event_produce(&event);
  udrv_app_delay_ms(0);
  EXPECT_EQ(fake::port.user_app_timer_stops, 1);
  EXPECT_TRUE(core_test::events().empty());  // nothing was served
  udrv_system_event_consume();
  EXPECT_EQ(core_test::events().size(), 1u);
}

TEST(AppDelay, EventsAreServedWhileWaiting) {
  core_test::boot();
  // Each served event moves the clock on by 100 ms; the first five post one
  // more event each, the rest of the wait passes with an empty queue.
  static int served;
  served = 0;
  fake::port.dispatcher = [](void *, uint16_t) {
    served++;
    fake::port.now_ms += 100;
    static udrv_system_event_t next = {UDRV_SYS_EVT_OP_USER_APP, nullptr};
    if (served < 5) {
      udrv_system_event_produce(&next);
    }
  };
  // The rest of the wait: a clock that moves when it is read, as the ports'
  // clocks do while the main loop polls.
  fake::port.clock_step_ms = 1;
  udrv_system_event_t first = {UDRV_SYS_EVT_OP_USER_APP, nullptr};
  udrv_system_event_produce(&first);
  uint64_t const start = fake::port.now_ms;
  udrv_app_delay_ms(1000);
  EXPECT_GE(fake::port.now_ms, start + 1000);
  EXPECT_EQ(served, 5);
  fake::port.dispatcher = nullptr;
  udrv_system_event_consume();
}

}  // namespace
