// The nRF52840 BLE layer on the protocol stack stand-in, below the driver
// layer: the answers of advertising start and stop, a stop without a link,
// the BLE serial port's receive queue when a burst does not fit, and the
// scan-report parsing and hook with malformed data.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app_usbd.h"
#include "nrf52840_ble_sim.h"
#include "nrf52840_sim.h"
#include "port_fakes.h"
#include "sim/ble_central.h"
#include "sim/ble_radio.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "uhal_ble_nrf.h"

namespace ble = sim::ble;

// What the BLE layer needs of the driver layer besides port_fakes.cpp.
drv_ble_service_mode ble_current_service;
std::string g_usb_out;
int32_t udrv_serial_write(SERIAL_PORT port, uint8_t const *data, uint32_t len) {
  if (port == SERIAL_USB0) g_usb_out.append(reinterpret_cast<char const *>(data), len);
  return 0;
}
void app_error_fault_handler(uint32_t id, uint32_t, uint32_t) { throw FatalError{id}; }
const app_usbd_descriptor_config_t app_usbd_descriptor_config = {
    0x1915, 0x521F, 1, 0, 0, "Maker", "Module Serial", "Default configuration", 0x0409, true, 100};

namespace {

constexpr sim::time_us kSecond = 1000000;
constexpr ble::Address kPhone = {0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};

class BlePort : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    nrfsim::reset_platform();
    g_fakes = PortFakes{};
    g_usb_out.clear();
    m_conn_handle = BLE_CONN_HANDLE_INVALID;
    uhal_is_advertising = false;
    ble_parameter.service_mode = DRV_BLE_UART_MODE;
    // The driver layer's start of the stack and the services.
    uhal_stop_ble();
    uhal_ble_stack_init();
    uhal_scan_init(0);
    uhal_gap_params_init();
    uhal_gatt_init();
    uhal_conn_params_init();
    uhal_nus_peer_manager_init();
    uhal_services_init();
    uhal_advertising_init();
  }
  void TearDown() override {
    central.reset();
    radio.reset();
    sim::host::reset_core();
  }
  ble::Central &phone() {
    if (!central) {
      radio = std::make_unique<ble::SimRadio>(2);
      central = std::make_unique<ble::Central>(*radio, kPhone);
    }
    return *central;
  }
  std::unique_ptr<ble::SimRadio> radio;
  std::unique_ptr<ble::Central> central;
};

int32_t rx_available() { return serial_ble_driver.SERIAL_READ_AVAIL(SERIAL_BLE0); }

TEST_F(BlePort, AdvertisingStartAndStopAnswers) {
  EXPECT_EQ(uhal_advertising_start(181), -UDRV_INTERNAL_ERR);
  EXPECT_FALSE(uhal_is_advertising);
  EXPECT_EQ(uhal_advertising_stop(0), -UDRV_INTERNAL_ERR) << "nothing to stop";
  ASSERT_EQ(uhal_advertising_start(180), 0);
  EXPECT_TRUE(uhal_is_advertising);
  EXPECT_EQ(nrfsim::ble::advertising().duration, 18000);
  EXPECT_EQ(uhal_advertising_stop(1), 0);
  EXPECT_TRUE(uhal_is_advertising) << "a pause";
  EXPECT_FALSE(nrfsim::ble::advertising().advertising);
  EXPECT_EQ(uhal_advertising_stop(2), 0);
  EXPECT_TRUE(nrfsim::ble::advertising().advertising) << "resumed";
  // A stop without a link closes none and resets nothing.
  uhal_stop_ble();
  EXPECT_FALSE(uhal_is_advertising);
  EXPECT_FALSE(nrfsim::ble::advertising().advertising);
}

// A burst larger than the room of the receive queue keeps what fits, in
// order; the escape recognizer sees exactly those bytes. A pause for flash
// work while connected (no advertising to stop) keeps them.
TEST_F(BlePort, BurstLargerThanTheReceiveQueue) {
  ASSERT_EQ(uhal_advertising_start(30), 0);
  ble::Central &c = phone();
  ASSERT_TRUE(c.connect(nrfsim::ble::link_layer().address()));
  ASSERT_TRUE(c.wait([] { return m_conn_handle != BLE_CONN_HANDLE_INVALID; }, kSecond));
  uint32_t mtu = c.exchange_mtu(247);
  ASSERT_TRUE(c.wait([&] { return c.done(mtu); }, kSecond));
  uint32_t disc = c.discover();
  ASSERT_TRUE(c.wait([&] { return c.done(disc); }, kSecond));
  const auto *rx = c.characteristic(ble::uuid128("6E400002-B5A3-F393-E0A9-E50E24DCCA9E"));
  ASSERT_NE(rx, nullptr);
  ble::Bytes first(200, 'a'), second(100, 'b');
  c.write_command(rx->value_handle, first);
  c.write_command(rx->value_handle, second);
  ASSERT_TRUE(c.wait([] { return g_fakes.fallback.size() >= 256; }, kSecond));
  c.wait([] { return false; }, kSecond / 10);
  EXPECT_EQ(g_fakes.fallback.size(), 256u);
  ASSERT_EQ(rx_available(), 256);
  EXPECT_EQ(uhal_advertising_stop(1), -UDRV_INTERNAL_ERR);
  EXPECT_EQ(rx_available(), 256);
  uint8_t buf[300];
  ASSERT_EQ(serial_ble_driver.SERIAL_READ(SERIAL_BLE0, buf, sizeof buf, 0), 256);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 256),
            std::string(200, 'a') + std::string(56, 'b'));
  EXPECT_EQ(serial_ble_driver.SERIAL_PEEK(SERIAL_BLE0), -UDRV_INTERNAL_ERR);
  EXPECT_EQ(uhal_nus_available(), 0);
}

// Manufacturer data in scan reports: only well-formed structures are read,
// and the hook hears each new RSSI once, in work mode 1 only.
TEST_F(BlePort, ScanReportsWithMalformedData) {
  struct Case {
    std::vector<uint8_t> data;
    int want;  // offset of the value, -1: none
    uint16_t len;
  };
  const std::vector<Case> cases = {
      {{0x02, 0x01, 0x06, 0x04, 0xFF, 0xAA, 0xBB, 0xCC}, 5, 3},
      {{0x02, 0x01, 0x06}, -1, 0},
      {{0x02, 0x01, 0x06, 0x09, 0xFF, 0xAA}, -1, 0},  // runs past the end
      {{0x00, 0xFF, 0xAA}, -1, 0},                    // a zero length ends the data
      {{0x01, 0xFF}, 2, 0},                           // present and empty
      {{0xFF}, -1, 0},
      {{}, -1, 0},
  };
  for (const Case &c : cases) {
    uint16_t len = 99;
    uint8_t const *v =
        ble_advdata_parse_extra(c.data.data(), static_cast<uint16_t>(c.data.size()), 0xFF, &len);
    if (c.want < 0) {
      EXPECT_EQ(v, nullptr);
    } else {
      EXPECT_EQ(v, c.data.data() + c.want);
      EXPECT_EQ(len, c.len);
    }
  }

  static std::vector<int> heard;
  heard.clear();
  const uint8_t peer[6] = {1, 2, 3, 4, 5, 6};
  const uint8_t good[] = {0x04, 0xFF, 0xAA, 0xBB, 0xCC};
  qiv_ble_scan_adv(-50, good, sizeof good, peer);  // no hook: nothing
  SCAN_DATA_HANDLER = [](int8_t rssi, uint8_t const *, uint8_t const *data, uint16_t length) {
    EXPECT_EQ(length, 3);
    EXPECT_EQ(data[0], 0xAA);
    heard.push_back(rssi);
  };
  uhal_g_ble_cfg_t.work_mode = 0;
  qiv_ble_scan_adv(-60, good, sizeof good, peer);
  uhal_g_ble_cfg_t.work_mode = 1;
  qiv_ble_scan_adv(-61, good, sizeof good, peer);
  qiv_ble_scan_adv(-61, good, sizeof good, peer);
  qiv_ble_scan_adv(-62, good, 3, peer);  // cut: no manufacturer data
  qiv_ble_scan_adv(-63, good, sizeof good, peer);
  SCAN_DATA_HANDLER = nullptr;
  uhal_g_ble_cfg_t.work_mode = 0;
  EXPECT_EQ(heard, (std::vector<int>{-61, -63}));
}

}  // namespace
