// api.ble and api.nfc of an nRF52840 image (Minacor): the verbs forward to
// the BLE driver, the BLE layer's own operations and the ports, and those
// that need what the module's BLE layer does not offer a program answer
// false without touching anything.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "api_ble_fakes.h"
#include "api_fakes.h"
#include "udrv_ble_port.h"
#include "api_objects.h"
#include "udrv_ble.h"

using apifake::world;
using blefake::state;

namespace {

using Log = std::vector<std::string>;

class ApiBleNrf : public ::testing::Test {
 protected:
  void SetUp() override {
    apifake::reset();
    blefake::reset();
    // `api` lives for the whole run: what a test left in it goes.
    api.ble.uart.readCount = 0;
    memset(api.ble.settings.broadcastName.value, 0, sizeof api.ble.settings.broadcastName.value);
  }
};

void noop() {}
void scan_hook(int8_t, const uint8_t *, const uint8_t *, uint8_t) {}

// Starting the serial service switches to it when another mode runs, then
// advertises, and answers the driver's result.
TEST_F(ApiBleNrf, UartStartSwitchesToTheSerialServiceAndAdvertises) {
  EXPECT_EQ(api.ble.uart.start(30), 0);
  EXPECT_EQ(state.log, (Log{"adv 30"}));
  state.log.clear();
  ble_current_service = DRV_BLE_BEACON_MODE;
  state.adv_result = -UDRV_INTERNAL_ERR;
  EXPECT_EQ(api.ble.uart.start(0), -UDRV_INTERNAL_ERR);
  EXPECT_EQ(state.log, (Log{"mode 0", "adv 0"}));
}

// The verbs of the BLE layer's own operations: each call as made, and its
// answer (true only for 0); the kept value changes only when taken.
TEST_F(ApiBleNrf, LayerVerbsForwardAndAnswerItsResult) {
  const uint8_t uuid[16] = {0x01, 0x12, 0x23, 0x34, 0x45, 0x56, 0x67, 0x78,
                            0x89, 0x9A, 0xAB, 0xBC, 0xCD, 0xDE, 0xEF, 0xF0};
  const uint8_t data[3] = {0xAA, 0xBB, 0xCC};
  struct Case {
    const char *call;
    std::function<bool()> verb;
  };
  const std::vector<Case> cases = {
      {"scan 10", [] { return api.ble.scanner.start(10); }},
      {"scan stop", [] { return api.ble.scanner.stop(); }},
      {"scan interval 320 160", [] { return api.ble.scanner.setInterval(320, 160); }},
      {"power 4", [] { return api.ble.settings.txPower.set(4); }},
      {"interval 160", [] { return api.ble.settings.advertiseInterval.set(160); }},
      {"key 123456", [] { return api.ble.uart.setPIN("123456"); }},
      {"permission 3", [] { return api.ble.uart.setPermission(3); }},
      {"ibeacon 0112233445566778899AABBCCDDEEFF0 0102 0304 -59",
       [&] { return api.ble.beacon.ibeacon.set(uuid, 0x0102, 0x0304, -59); }},
      {"beacon AABBCC", [&] { return api.ble.beacon.custom.set(data, sizeof data); }},
  };
  for (int32_t result : {0, -UDRV_WRONG_ARG}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(c.call) + " -> " + std::to_string(result));
      state.log.clear();
      state.port_result = result;
      EXPECT_EQ(c.verb(), result == 0);
      EXPECT_EQ(state.log, (Log{c.call}));
    }
  }
  // Refused above last: the values taken first stay.
  EXPECT_EQ(api.ble.settings.txPower.get(), 4);
  EXPECT_EQ(api.ble.settings.advertiseInterval.get(), 160u);
  EXPECT_EQ(api.ble.beacon.ibeacon.power, -59);
  EXPECT_EQ(api.ble.beacon.custom.payload[2], 0xCC);
}

TEST_F(ApiBleNrf, HooksAndStatusAreTheLayers) {
  EXPECT_TRUE(api.ble.scanner.setScannerCallback(scan_hook));
  EXPECT_EQ(SCAN_DATA_HANDLER, scan_hook);
  EXPECT_TRUE(api.ble.registerCallback(ZEM_BLE_CONNECTED, noop));
  EXPECT_EQ(CONNECT_HANDLER, noop);
  EXPECT_TRUE(api.ble.registerCallback(ZEM_BLE_DISCONNECTED, noop));
  EXPECT_EQ(DISCONNECT_HANDLER, noop);
  EXPECT_FALSE(api.ble.advertise.status());
  uhal_is_advertising = true;
  EXPECT_TRUE(api.ble.advertise.status());
  EXPECT_TRUE(state.log.empty());
}

TEST_F(ApiBleNrf, AdvertisingStartAndStopFollowTheDriver) {
  for (int32_t result : {0, -UDRV_INTERNAL_ERR}) {
    SCOPED_TRACE(result);
    state.log.clear();
    state.adv_result = result;
    state.adv_stop_result = result;
    EXPECT_EQ(api.ble.advertise.start(30), result == 0);
    EXPECT_EQ(api.ble.advertise.stop(), result == 0);
    EXPECT_EQ(state.log, (Log{"adv 30", "adv stop 0"}));
  }
}

// Every verb that needs an operation this module's BLE layer does not offer
// a program: false, and nothing called.
TEST_F(ApiBleNrf, VerbsWithoutTheirOperationAnswerFalse) {
  EXPECT_FALSE(api.ble.registerCallback(static_cast<ZEM_BLE_EVENT>(7), noop));
  EXPECT_TRUE(state.log.empty());
}

void on_custom(uint16_t, const uint8_t *) {}
void on_leds(uint8_t) {}

// The service goes to the port with the hook; a refused one leaves the
// hook as it was.
TEST_F(ApiBleNrf, CustomInitHandsTheServiceToThePort) {
  uint8_t base[16] = {};
  base[0] = 0x10;
  base[15] = 0xCD;
  const uint16_t chars[2] = {0xA001, 0xA002};
  EXPECT_TRUE(api.ble.custom.init(base, chars, 2, on_custom));
  EXPECT_EQ(CUS_NOTIFY_HANDLER, on_custom);
  state.port_result = -UDRV_BUSY;
  EXPECT_FALSE(api.ble.custom.init(base, chars, 1, nullptr));
  EXPECT_EQ(CUS_NOTIFY_HANDLER, on_custom);
  EXPECT_EQ(state.log, (Log{"custom 100000000000000000000000000000CD A001 A002",
                            "custom 100000000000000000000000000000CD A001"}));
}

// Custom start: nothing without a service; the mode entered (which builds
// the service) unless it runs with the service on the stack; then the
// advertising, whose answer decides.
TEST_F(ApiBleNrf, CustomStartEntersTheModeWhenTheServiceIsNotOnTheStack) {
  struct Case {
    uint8_t cus_state;
    drv_ble_service_mode mode;
    int32_t adv_result;
    bool answer;
    Log log;
  };
  const Case cases[] = {
      {UHAL_CUS_SERVICE_NONE, DRV_BLE_UART_MODE, 0, false, {}},
      {UHAL_CUS_SERVICE_RECORDED, DRV_BLE_UART_MODE, 0, true, {"mode 3", "adv 0"}},
      {UHAL_CUS_SERVICE_RECORDED, DRV_BLE_CUS_MODE, 0, true, {"mode 3", "adv 0"}},
      {UHAL_CUS_SERVICE_ON_STACK, DRV_BLE_CUS_MODE, 0, true, {"adv 0"}},
      {UHAL_CUS_SERVICE_ON_STACK,
       DRV_BLE_UART_MODE,
       -UDRV_INTERNAL_ERR,
       false,
       {"mode 3", "adv 0"}},
  };
  for (const Case &c : cases) {
    blefake::reset();
    state.cus_state = c.cus_state;
    state.adv_result = c.adv_result;
    ble_current_service = c.mode;
    EXPECT_EQ(api.ble.custom.start(0), c.answer) << int(c.cus_state) << " " << int(c.mode);
    EXPECT_EQ(state.log, c.log) << int(c.cus_state) << " " << int(c.mode);
  }
}

// The keyboard's LED hook goes to the port.
TEST_F(ApiBleNrf, KeyboardCallbackIsThePortsLedHook) {
  EXPECT_TRUE(api.ble.hid.setKeyboardCallback(on_leds));
  EXPECT_EQ(state.led_handler, on_leds);
  EXPECT_TRUE(api.ble.hid.setKeyboardCallback(nullptr));
  EXPECT_EQ(state.led_handler, nullptr);
  EXPECT_EQ(state.log, (Log{"led hook", "led hook none"}));
}

// Keys go to the HID keyboard's ring; the ring's refusal is the verb's.
TEST_F(ApiBleNrf, SendkeyPutsThePatternInTheKeyboardsRing) {
  const uint8_t keys[2] = {4, 5};
  EXPECT_TRUE(api.ble.hid.sendkey(keys, 2));
  state.port_result = -1;
  EXPECT_FALSE(api.ble.hid.sendkey(keys, 1));
  EXPECT_EQ(state.log, (Log{"keys 4 5", "keys 4"}));
}

// The address is the controller's (most significant byte first).
TEST_F(ApiBleNrf, MacIsTheControllersAddressAndSetGoesToTheDriver) {
  const uint8_t address[6] = {0x56, 0x34, 0x12, 0xEE, 0xFF, 0xC0};
  memcpy(state.address, address, 6);
  EXPECT_STREQ(api.ble.mac.get(), "C0FFEE123456");
  EXPECT_STREQ(api.ble.mac.twomac, "56");
  EXPECT_TRUE(api.ble.mac.set("AABBCCDDEEFF"));
  state.mac_result = -UDRV_WRONG_ARG;
  EXPECT_FALSE(api.ble.mac.set("AABBCCDDEEF"));
  EXPECT_EQ(state.log, (Log{"mac AABBCCDDEEFF", "mac AABBCCDDEEF"}));
}

TEST_F(ApiBleNrf, BroadcastNameGoesToTheDriverAndIsKeptWhenTaken) {
  EXPECT_TRUE(api.ble.settings.broadcastName.set("Minacor-1"));
  EXPECT_STREQ(api.ble.settings.broadcastName.get(), "Minacor-1");
  state.name_result = -UDRV_INTERNAL_ERR;
  EXPECT_FALSE(api.ble.settings.broadcastName.set("Other"));
  EXPECT_STREQ(api.ble.settings.broadcastName.get(), "Minacor-1");
  // Too long for the scan response, or empty: refused before the driver.
  EXPECT_FALSE(api.ble.settings.broadcastName.set(std::string(30, 'n').c_str()));
  EXPECT_FALSE(api.ble.settings.broadcastName.set(""));
  EXPECT_FALSE(api.ble.settings.broadcastName.set(nullptr));
  EXPECT_EQ(state.log, (Log{"name Minacor-1", "name Other"}));
}

// The serial service's bytes are the BLE port's.
TEST_F(ApiBleNrf, UartReadsAndWritesTheBlePort) {
  world.port[SERIAL_BLE0].rx = "hello";
  EXPECT_EQ(api.ble.uart.available(), 5);
  uint8_t buffer[3];
  EXPECT_EQ(api.ble.uart.read(buffer, sizeof buffer), 3);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 3), "hel");
  EXPECT_EQ(api.ble.uart.read(buffer, sizeof buffer), 2);
  EXPECT_EQ(api.ble.uart.read(buffer, sizeof buffer), 0);
  EXPECT_EQ(api.ble.uart.readCount, 5u);
  EXPECT_EQ(api.ble.uart.read(nullptr, 1), -UDRV_WRONG_ARG);
  const uint8_t out[] = {'a', 'b'};
  EXPECT_EQ(api.ble.uart.write(out, 2), 2);
  EXPECT_EQ(world.port[SERIAL_BLE0].tx, "ab");
  EXPECT_EQ(api.ble.uart.write(nullptr, 2), -UDRV_WRONG_ARG);
  world.port[SERIAL_BLE0].locked = true;
  EXPECT_EQ(api.ble.uart.write(out, 2), -UDRV_TEMP_LOCKED);
}

// The keyboard's mode, then its advertising; the driver's answer decides.
TEST_F(ApiBleNrf, HidStartSwitchesToTheKeyboardAndAdvertises) {
  state.adv_result = -UDRV_INTERNAL_ERR;
  EXPECT_FALSE(api.ble.hid.start(20));
  EXPECT_EQ(state.log, (Log{"mode 2", "adv 20"}));
  state.log.clear();
  state.adv_result = 0;
  ble_current_service = DRV_BLE_HID_MODE;
  EXPECT_TRUE(api.ble.hid.start(0));
  EXPECT_EQ(state.log, (Log{"adv 0"}));
}

TEST_F(ApiBleNrf, StopGoesToTheDriver) {
  EXPECT_TRUE(api.ble.stop());
  EXPECT_TRUE(api.ble.uart.stop());
  EXPECT_EQ(state.log, (Log{"stop", "stop"}));
}

// The NFC port: opened, written, closed through its table.
TEST_F(ApiBleNrf, NfcForwardsToItsPort) {
  EXPECT_TRUE(api.nfc.init());
  ASSERT_EQ(world.inits.size(), 1u);
  EXPECT_EQ(world.inits[0].port, SERIAL_NFC);
  const uint8_t reply[] = {'\r', '\n', 'O', 'K'};
  EXPECT_EQ(api.nfc.send(reply, sizeof reply), 4);
  EXPECT_EQ(world.port[SERIAL_NFC].tx, "\r\nOK");
  EXPECT_EQ(api.nfc.send(nullptr, 4), -UDRV_WRONG_ARG);
  EXPECT_EQ(api.nfc.send(reply, 0), -UDRV_WRONG_ARG);
  EXPECT_TRUE(api.nfc.close());
  EXPECT_EQ(state.nfc_deinits, 1);
}

}  // namespace
