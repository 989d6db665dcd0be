#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core_test_support.h"
#include "qiv_runtime.h"
#include "udrv_powersave.h"

namespace {

using core_test::tx;

class Skeleton : public ::testing::Test {
 protected:
  void SetUp() override {
    core_test::boot();
    no_busy_loop = false;
    udrv_powersave_last_wakeup_time = 0;
  }
};

TEST_F(Skeleton, DrainRoutesBytesByModeAndLockState) {
  struct Case {
    const char *what;
    SERVICE_MODE_TYPE mode;
    SERIAL_WLOCK_STATE lock;
    const char *to_cli;    // bytes the AT interpreter gets
    const char *echoed;    // the password line's echo
    size_t left_buffered;  // bytes left for the user program
  };
  const Case cases[] = {
      {"AT mode, open", SERVICE_MODE_TYPE_CLI, SERIAL_WLOCK_OPEN, "AT\r", "", 0},
      {"AT mode, locked", SERVICE_MODE_TYPE_CLI, SERIAL_WLOCK_LOCKED, "", "AT", 0},
      {"AT mode, disabled", SERVICE_MODE_TYPE_CLI, SERIAL_WLOCK_DISABLED, "", "", 0},
      {"custom mode", SERVICE_MODE_TYPE_CUSTOM, SERIAL_WLOCK_OPEN, "", "", 3},
  };
  for (Case const &c : cases) {
    core_test::boot();
    service_nvm_set_mode_type_to_nvm(SERIAL_UART2, c.mode);
    service_nvm_set_lock_status_to_nvm(SERIAL_UART2, c.lock);
    fake::port.serial[SERIAL_UART2].rx = "AT\r";
    qiv_serial_drain(SERIAL_UART2);
    EXPECT_EQ(fake::port.cli_bytes[SERIAL_UART2], c.to_cli) << c.what;
    EXPECT_EQ(tx(SERIAL_UART2).substr(0, std::string(c.echoed).size()), c.echoed) << c.what;
    EXPECT_EQ(fake::port.serial[SERIAL_UART2].rx.size(), c.left_buffered) << c.what;
  }
}

TEST_F(Skeleton, DrainOfOnePortLeavesTheOthersAlone) {
  fake::port.serial[SERIAL_UART1].rx = "raw";
  fake::port.serial[SERIAL_UART2].rx = "AT\r";
  qiv_serial_drain(SERIAL_UART1);
  qiv_serial_drain(SERIAL_UART2);
  EXPECT_EQ(fake::port.serial[SERIAL_UART1].rx, "raw");
  EXPECT_EQ(fake::port.cli_bytes[SERIAL_UART1], "");
  EXPECT_EQ(fake::port.cli_bytes[SERIAL_UART2], "AT\r");
}

TEST_F(Skeleton, UserLoopRunsUntilBusyLoopingIsTurnedOff) {
  fake::port.on_loop = [] { no_busy_loop = true; };
  qiv_loop_pass();
  qiv_loop_pass();
  qiv_loop_pass();
  EXPECT_EQ(fake::port.loop_calls, 1);
  // No auto-sleep time stored: the loop only keeps draining.
  EXPECT_EQ(std::count(fake::port.log.begin(), fake::port.log.end(), "mcu_sleep 1"), 0);

  service_nvm_set_auto_sleep_time_to_nvm(1000);
  qiv_loop_pass();
  EXPECT_EQ(std::count(fake::port.log.begin(), fake::port.log.end(), "mcu_sleep 1"), 1);
  EXPECT_EQ(fake::port.loop_calls, 1);
}

TEST_F(Skeleton, UserProgramEntryPoints) {
  qiv_setup();
  qiv_loop();
  qiv_loop();
  EXPECT_EQ(fake::port.setup_calls, 1);
  EXPECT_EQ(fake::port.loop_calls, 2);
}

}  // namespace
