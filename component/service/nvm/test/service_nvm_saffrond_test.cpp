#include <gtest/gtest.h>

#include "core_test_support.h"
#include "service_nvm.h"

namespace {

TEST(SaffrondDefaults, CoProcessorLinkAndNoBandStrap) {
  core_test::boot();
  EXPECT_EQ(service_nvm_get_mode_type_from_nvm(SERIAL_UART0), SERVICE_MODE_TYPE_CUSTOM);
  EXPECT_EQ(service_nvm_get_mode_type_from_nvm(SERIAL_UART1), SERVICE_MODE_TYPE_ESP32);
  EXPECT_EQ(service_nvm_get_mode_type_from_nvm(SERIAL_UART2), SERVICE_MODE_TYPE_CLI);
  EXPECT_EQ(service_nvm_get_band_from_nvm(), SERVICE_LORA_EU868);
  EXPECT_EQ(service_nvm_get_freq_from_nvm(), 868000000u);
  EXPECT_EQ(fake::port.band_strap_reads, 0);
  char model[32];
  ASSERT_EQ(service_nvm_get_hwmodel_from_nvm(model, sizeof(model)), 0);
  EXPECT_STREQ(model, "Saffrond");
}

TEST(SaffrondDefaults, EscapesAreIgnoredOnTheCoProcessorLink) {
  core_test::boot();
  core_test::type(SERIAL_UART1, "AT+ATM\rAT+BOOT\r", serial_fallback_handler);
  udrv_system_event_consume();
  EXPECT_TRUE(core_test::events().empty());
  EXPECT_EQ(fake::port.dfu_entries, 0);
}

}  // namespace
