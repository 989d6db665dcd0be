// The driver classes and defaults of the LoRa and BLE module (Apollo3).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core_test_support.h"
#include "service_nvm.h"
#include "udrv_ble.h"
#include "udrv_spimst.h"

namespace {

using Log = std::vector<std::string>;

TEST(TarnelkaDefaults, RecordLayoutAndPortModes) {
  core_test::boot();
  ASSERT_EQ(service_nvm_set_cfg_to_nvm(), 0);
  uint32_t const cfg = SERVICE_NVM_CFG_ADDR;
  auto byte = [cfg](uint32_t offset) { return fake::port.flash_byte(cfg + offset); };
  EXPECT_EQ(byte(64), 5);                          // EU868
  EXPECT_EQ(byte(190), 1);                         // OTAA
  EXPECT_EQ(byte(460), SERVICE_MODE_TYPE_CLI);     // UART0
  EXPECT_EQ(byte(461), SERVICE_MODE_TYPE_CUSTOM);  // UART1
  EXPECT_EQ(byte(462), SERVICE_MODE_TYPE_CUSTOM);  // UART2
  EXPECT_EQ(byte(463), SERVICE_MODE_TYPE_CLI);     // BLE0
  EXPECT_EQ(byte(473), '5');                       // password
  EXPECT_EQ(byte(640), 1);                         // auto-sleep level
  EXPECT_EQ(byte(675), 1);                         // certification port
  EXPECT_EQ(byte(676), 0xFF);                      // the record ends here; the page keeps the rest
  for (uint32_t offset = 48; offset < 64; offset++) {
    EXPECT_EQ(byte(offset), 0) << offset;  // BLE block
  }
}

TEST(BleAddress, OnlyTwelveHexDigitsAreTakenAndStored) {
  struct Case {
    const char *text;
    int32_t result;
  };
  const Case cases[] = {
      {"C0FFEE00112", -3}, {"C0FFEE0011223", -3}, {"C0FFEE00112G", -3}, {"", -3},
      {"c0ffee001122", 0}, {"C0FFEE001122", 0},
  };
  for (Case const &c : cases) {
    core_test::boot();
    fake::port.log.clear();
    EXPECT_EQ(udrv_ble_set_macaddress(c.text), c.result) << c.text;
    uint8_t stored[12];
    ASSERT_EQ(service_nvm_get_ble_mac_from_nvm(stored, sizeof(stored)), 0);
    if (c.result == 0) {
      ASSERT_FALSE(fake::port.log.empty());
      EXPECT_EQ(fake::port.log.front(), std::string("set_macaddress ") + c.text);
      EXPECT_EQ(std::string(stored, stored + 12), c.text);
    } else {
      EXPECT_TRUE(fake::port.log.empty()) << c.text;
      EXPECT_EQ(std::string(stored, stored + 12), std::string(12, '\0')) << c.text;
    }
  }
}

TEST(BleAddress, RefusalOfThePortIsReturnedAndNothingStored) {
  core_test::boot();
  fake::port.ble_mac_result = -7;
  EXPECT_EQ(udrv_ble_set_macaddress("C0FFEE001122"), -249);
  uint8_t stored[12];
  ASSERT_EQ(service_nvm_get_ble_mac_from_nvm(stored, sizeof(stored)), 0);
  EXPECT_EQ(stored[0], 0);
}

TEST(BleAddress, StoredAddressAccessorChecks) {
  core_test::boot();
  uint8_t buf[13] = {};
  EXPECT_EQ(service_nvm_get_ble_mac_from_nvm(buf, 11), 247);
  EXPECT_EQ(service_nvm_get_ble_mac_from_nvm(buf, 13), 247);
  auto const *text = reinterpret_cast<uint8_t const *>("00112233445G");
  EXPECT_EQ(service_nvm_set_ble_mac_to_nvm(text, 12), 253);
  text = reinterpret_cast<uint8_t const *>("aabbCCDD0099");
  EXPECT_EQ(service_nvm_set_ble_mac_to_nvm(text, 12), 0);
  ASSERT_EQ(service_nvm_get_ble_mac_from_nvm(buf, 12), 0);
  EXPECT_EQ(std::string(buf, buf + 12), "aabbCCDD0099");
}

TEST(BleServices, FirstStartRegistersTheServicesAndLaterStartsOnlyConfigure) {
  core_test::boot();
  ASSERT_EQ(udrv_ble_set_macaddress("C0FFEE001122"), 0);
  fake::port.log.clear();
  udrv_ble_stack_start();
  udrv_ble_services_start();
  EXPECT_TRUE(ble_services_is_enable);
  EXPECT_EQ(fake::port.log, (Log{"ble_stack_init", "scan_init 0", "gap_params_init", "gatt_init",
                                 "conn_params_init", "nus_peer_manager_init", "services_init",
                                 "advertising_init"}));
  fake::port.log.clear();
  udrv_ble_services_start();
  EXPECT_EQ(fake::port.log, (Log{"scan_init 0", "gap_params_init", "set_macaddress C0FFEE001122",
                                 "gatt_init", "conn_params_init", "advertising_init"}));

  // A change of service mode starts the stack and the whole service set again.
  fake::port.log.clear();
  udrv_ble_switch_service_mode(DRV_BLE_BEACON_MODE);
  EXPECT_EQ(ble_current_service, DRV_BLE_BEACON_MODE);
  EXPECT_EQ(fake::port.log, (Log{"switch_service_mode 1", "ble_stack_init", "scan_init 0",
                                 "gap_params_init", "gatt_init", "conn_params_init",
                                 "nus_peer_manager_init", "services_init", "advertising_init"}));
}

TEST(SpiMaster, PortAboveThreeOrUnboundIsRefusedAndReopeningClosesFirst) {
  core_test::boot();
  uint8_t data[1] = {};
  EXPECT_EQ(udrv_spimst_trx(UDRV_SPIMST_MAX, data, 1, data, 1, 0), -3);
  EXPECT_EQ(udrv_spimst_trx(UDRV_SPIMST_3, data, 1, data, 1, 0), -1);  // never opened here
  // The driver's binding outlives a test (its RAM is only cleared by a
  // chip reset): open the port first so that the test starts from an open
  // port whichever tests ran before.
  udrv_spimst_init(UDRV_SPIMST_0);
  fake::port.log.clear();
  udrv_spimst_init(UDRV_SPIMST_0);
  EXPECT_EQ(fake::port.log, (Log{"spimst_deinit 0", "spimst_init 0"}));
  EXPECT_EQ(udrv_spimst_trx(UDRV_SPIMST_0, data, 1, data, 1, 0), 0);
}

}  // namespace
