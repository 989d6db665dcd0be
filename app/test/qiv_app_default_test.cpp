#include <gtest/gtest.h>

#include <string>

#include "core_test_support.h"
#include "qiv_runtime.h"

// What the image's other parts would supply: the version texts of the AT
// interpreter and the port's battery table size.
extern const char api_version[] = "3.5.0";
extern const char chip_id[] = "stm32wle5xx";
uint32_t get_batt_table_size(void) { return 13; }

namespace {

TEST(DefaultProgram, PrintsTheBannerOnTheConsoleAndStopsBusyLooping) {
  core_test::boot();
  no_busy_loop = false;
  qiv_setup();
  EXPECT_EQ(core_test::tx(SERIAL_UART2), "Velnatronic Brisola-T\r\n" + std::string(54, '-') +
                                             "\r\nVersion: QIV_4.2.4_Brisola-T\r\n");
  EXPECT_EQ(core_test::tx(SERIAL_UART1), "");
  EXPECT_FALSE(no_busy_loop);
  // loop() ends its own task: the main loop stops calling it.
  qiv_loop();
  EXPECT_TRUE(no_busy_loop);
}

TEST(DefaultProgram, PutsTheConsoleBackIntoAtMode) {
  core_test::boot();
  service_nvm_set_mode_type_to_nvm(SERIAL_UART2, SERVICE_MODE_TYPE_CUSTOM);
  service_nvm_set_lock_status_to_nvm(SERIAL_UART2, SERIAL_WLOCK_DISABLED);
  qiv_setup();
  EXPECT_EQ(service_nvm_get_mode_type_from_nvm(SERIAL_UART2), SERVICE_MODE_TYPE_CLI);
  EXPECT_EQ(service_nvm_get_lock_status_from_nvm(SERIAL_UART2), SERIAL_WLOCK_OPEN);
  EXPECT_EQ(fake::port.cli_inits[SERIAL_UART2], 1);
}

}  // namespace
