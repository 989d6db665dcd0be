// The HID keyboard mode from the phone's side: key patterns typed as input
// reports (n keys, n + 1 reports, each releasing the front key), the left
// shift of board button 1, the boot protocol, a full transmit queue in the
// middle of a pattern, a pattern longer than a report, disconnection, the
// caps-lock output report and the HID advertising start.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bench.h"
#include "bsp_sim.h"
#include "nrf52840_ble_sim.h"
#include "peer_manager.h"
#include "uhal_ble_nrf.h"
#include "udrv_ble.h"

namespace hidtest {
namespace {

// Key codes of the HID usage tables (keyboard page).
constexpr uint8_t kA = 0x04, kB = 0x05, kC = 0x06, kD = 0x07, kE = 0x08, kF = 0x09, kG = 0x0A;
constexpr uint8_t kPropNotify = 0x10;
constexpr uint8_t kPropWrite = 0x08;

// The reports a pattern must give: report k holds the keys from k on, each
// in the place it had in the first report; the last holds none.
std::vector<Bytes> expected_reports(const std::vector<uint8_t>& keys, uint8_t modifier = 0) {
  std::vector<Bytes> out;
  for (size_t k = 0; k <= keys.size(); ++k) {
    Bytes r(8, 0x00);
    r[0] = modifier;
    for (size_t i = k; i < keys.size(); ++i) r[2 + i] = keys[i];
    out.push_back(r);
  }
  return out;
}

class Hid : public Bench {
 protected:
  // Connected, notifications of the report-protocol input report on.
  void connect_keyboard() {
    ASSERT_NO_FATAL_FAILURE(start_hid());
    ASSERT_TRUE(connect());
    ASSERT_TRUE(wait([] { return m_hid_conn_handle != BLE_CONN_HANDLE_INVALID; }));
    const auto* input = find(BLE_UUID_REPORT_CHAR, kPropNotify);
    ASSERT_NE(input, nullptr);
    input_ = input->value_handle;
    ASSERT_TRUE(finish(phone_->subscribe(input_)));
  }
  // Types `keys` and waits for `n` reports on `handle`.
  std::vector<Bytes> type(const std::vector<uint8_t>& keys, size_t n, uint16_t handle = 0) {
    patterns_.push_back(keys);
    const std::vector<uint8_t>& stored = patterns_.back();
    const uint16_t h = handle ? handle : input_;
    const size_t before = notified(h).size();
    EXPECT_TRUE(type_keys(stored.data(), static_cast<uint8_t>(stored.size())));
    wait([&] { return notified(h).size() >= before + n && buffer_list.count == 0; });
    std::vector<Bytes> all = notified(h);
    return std::vector<Bytes>(all.begin() + static_cast<long>(before), all.end());
  }

  uint16_t input_ = 0;
  std::vector<std::vector<uint8_t>> patterns_;
};

TEST_F(Hid, ThreeKeysGiveFourReportsReleasingTheFrontKeyEachTime) {
  ASSERT_NO_FATAL_FAILURE(connect_keyboard());
  const std::vector<Bytes> want = {
      {0x00, 0x00, kA, kB, kC, 0x00, 0x00, 0x00},
      {0x00, 0x00, 0x00, kB, kC, 0x00, 0x00, 0x00},
      {0x00, 0x00, 0x00, 0x00, kC, 0x00, 0x00, 0x00},
      {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
  };
  EXPECT_EQ(type({kA, kB, kC}, 4), want);
  run_for(kSecond);
  EXPECT_EQ(notified(input_).size(), 4u);  // nothing after the release
  EXPECT_EQ(buffer_list.count, 0);
}

// However deep the stack's transmit queue, every pattern arrives whole and
// in order: a full queue leaves the pattern in the ring with its progress
// and each notification sent carries on from there.
TEST_F(Hid, EveryPatternArrivesWholeWhateverTheTransmitQueueHolds) {
  const std::vector<std::vector<uint8_t>> patterns = {
      {kA}, {kA, kB, kC}, {kA, kB, kC, kD, kE, kF}, {kF, kF}};
  for (int queue : {1, 2, 4}) {
    SCOPED_TRACE("queue of " + std::to_string(queue));
    TearDown();
    SetUp();
    nrfsim::ble::set_hvn_queue_size(queue);
    ASSERT_NO_FATAL_FAILURE(connect_keyboard());
    for (const auto& keys : patterns) {
      SCOPED_TRACE(keys.size());
      EXPECT_EQ(type(keys, keys.size() + 1), expected_reports(keys));
    }
  }
}

// With a queue of one the second report of a pattern finds it full: the
// entry stays with the offset of that report, which the next notification
// sent then carries.
TEST_F(Hid, AFullQueueKeepsThePatternAtTheReportThatDidNotGo) {
  nrfsim::ble::set_hvn_queue_size(1);
  ASSERT_NO_FATAL_FAILURE(connect_keyboard());
  static const uint8_t keys[] = {kA, kB, kC};
  ASSERT_TRUE(type_keys(keys, sizeof(keys)));
  ASSERT_EQ(buffer_list.count, 1);
  EXPECT_EQ(buffer_list.buffer[buffer_list.rp].data_offset, 1);
  EXPECT_EQ(buffer_list.buffer[buffer_list.rp].p_data, keys);
  ASSERT_TRUE(wait([&] { return notified(input_).size() >= 4 && buffer_list.count == 0; }));
  EXPECT_EQ(notified(input_), expected_reports({kA, kB, kC}));
}

TEST_F(Hid, PatternsQueuedTogetherAreTypedInTurn) {
  nrfsim::ble::set_hvn_queue_size(1);
  ASSERT_NO_FATAL_FAILURE(connect_keyboard());
  static const uint8_t first[] = {kA, kB}, second[] = {kC}, third[] = {kD, kE, kF};
  for (int round = 0; round < 2; ++round) {  // the second round wraps the ring
    ASSERT_TRUE(type_keys(first, sizeof(first)));
    ASSERT_TRUE(type_keys(second, sizeof(second)));
    ASSERT_TRUE(type_keys(third, sizeof(third)));
    ASSERT_TRUE(wait([&] { return buffer_list.count == 0; }));
  }
  run_for(kSecond);
  std::vector<Bytes> want;
  for (int round = 0; round < 2; ++round) {
    for (const auto& keys : {std::vector<uint8_t>{kA, kB}, std::vector<uint8_t>{kC},
                             std::vector<uint8_t>{kD, kE, kF}}) {
      for (const Bytes& r : expected_reports(keys)) want.push_back(r);
    }
  }
  EXPECT_EQ(notified(input_), want);
}

TEST_F(Hid, BoardButtonOneHeldSetsLeftShiftInEveryReport) {
  ASSERT_NO_FATAL_FAILURE(connect_keyboard());
  struct Case {
    uint32_t button;  // held, or BUTTONS_NUMBER for none
    uint8_t modifier;
  };
  for (const Case c : {Case{BSP_BUTTON_1, 0x02}, Case{BSP_BUTTON_0, 0x00},
                       Case{BUTTONS_NUMBER, 0x00}, Case{BSP_BUTTON_2, 0x00}}) {
    SCOPED_TRACE(c.button);
    nrfsim::bsp_reset();
    if (c.button < BUTTONS_NUMBER) nrfsim::bsp_press(c.button, true);
    EXPECT_EQ(type({kA, kB}, 3), expected_reports({kA, kB}, c.modifier));
  }
}

// The host selects the boot protocol: reports go out on the boot keyboard
// input report, and back on the report-protocol one after it selects that.
TEST_F(Hid, BootProtocolSendsOnTheBootKeyboardReport) {
  ASSERT_NO_FATAL_FAILURE(connect_keyboard());
  const auto* mode = find(BLE_UUID_PROTOCOL_MODE_CHAR);
  const auto* boot = find(BLE_UUID_BOOT_KEYBOARD_INPUT_REPORT_CHAR, kPropNotify);
  ASSERT_NE(mode, nullptr);
  ASSERT_NE(boot, nullptr);
  ASSERT_TRUE(finish(phone_->subscribe(boot->value_handle)));

  phone_->write_command(mode->value_handle, {0x00});
  ASSERT_TRUE(wait([] { return m_in_boot_mode; }));
  EXPECT_EQ(type({kB, kC}, 3, boot->value_handle), expected_reports({kB, kC}));
  EXPECT_TRUE(notified(input_).empty());

  phone_->write_command(mode->value_handle, {0x01});
  ASSERT_TRUE(wait([] { return !m_in_boot_mode; }));
  EXPECT_EQ(type({kA}, 2), expected_reports({kA}));
  EXPECT_EQ(notified(boot->value_handle).size(), 3u);
}

// A report holds six keys. A longer pattern is refused whole (its keys
// would land beyond the report) and the ring goes on with the next one.
TEST_F(Hid, APatternLongerThanAReportIsRefusedNotOverrun) {
  ASSERT_NO_FATAL_FAILURE(connect_keyboard());
  static const uint8_t seven[] = {kA, kB, kC, kD, kE, kF, kG};
  uint16_t actual = 0xBEEF;
  EXPECT_EQ(send_key_scan_press_release(&m_hids, seven, sizeof(seven), 0, &actual),
            NRF_ERROR_INVALID_LENGTH);
  EXPECT_EQ(actual, 0);
  static const uint8_t many[255] = {kA};
  EXPECT_EQ(send_key_scan_press_release(&m_hids, many, sizeof(many), 3, &actual),
            NRF_ERROR_INVALID_LENGTH);
  EXPECT_EQ(actual, 3);
  run_for(kSecond);
  EXPECT_TRUE(notified(input_).empty());

  // Through the ring: refused at once, never queued, the next one typed.
  ASSERT_FALSE(type_keys(seven, sizeof(seven)));
  EXPECT_EQ(buffer_list.count, 0);
  run_for(kSecond);
  EXPECT_TRUE(notified(input_).empty());
  EXPECT_EQ(type({kG}, 2), expected_reports({kG}));
  EXPECT_EQ(buffer_list.count, 0);
}

// A disconnection drops the oldest pattern with what was left of it, shows
// the alert off and forgets caps lock; the others wait for the next link.
TEST_F(Hid, DisconnectionDropsTheOldestPatternAndCapsLock) {
  nrfsim::ble::set_hvn_queue_size(1);
  ASSERT_NO_FATAL_FAILURE(connect_keyboard());
  const auto* output = find(BLE_UUID_REPORT_CHAR, kPropWrite);
  ASSERT_NE(output, nullptr);
  ASSERT_TRUE(finish(phone_->write(output->value_handle, {0x02})));
  EXPECT_TRUE(m_caps_on);

  static const uint8_t first[] = {kA, kB, kC}, second[] = {kD};
  ASSERT_TRUE(type_keys(first, sizeof(first)));
  ASSERT_TRUE(type_keys(second, sizeof(second)));
  ASSERT_EQ(buffer_list.count, 2);
  ASSERT_TRUE(phone_->disconnect());
  ASSERT_TRUE(wait([] { return m_hid_conn_handle == BLE_CONN_HANDLE_INVALID; }));
  EXPECT_FALSE(m_caps_on);
  ASSERT_EQ(buffer_list.count, 1);
  EXPECT_EQ(buffer_list.buffer[buffer_list.rp].p_data, second);
  const auto& shown = nrfsim::bsp_indications();
  ASSERT_GE(shown.size(), 2u);
  EXPECT_EQ(shown[shown.size() - 2], BSP_INDICATE_CONNECTED);
  EXPECT_EQ(shown.back(), BSP_INDICATE_ALERT_OFF);
}

TEST_F(Hid, CapsLockFollowsTheOutputReport) {
  ASSERT_NO_FATAL_FAILURE(connect_keyboard());
  const auto* output = find(BLE_UUID_REPORT_CHAR, kPropWrite);
  ASSERT_NE(output, nullptr);
  for (uint8_t leds : {0x02, 0x00, 0x03, 0x01}) {
    ASSERT_TRUE(finish(phone_->write(output->value_handle, {leds})));
    EXPECT_EQ(m_caps_on, (leds & 0x02) != 0) << int(leds);
  }
}

// Writes the service does not take (wrong lengths, unknown protocol modes,
// odd CCCD values) change nothing and typing goes on.
TEST_F(Hid, BadWritesToTheHidServiceChangeNothing) {
  ASSERT_NO_FATAL_FAILURE(connect_keyboard());
  ASSERT_TRUE(finish(phone_->exchange_mtu(247)));
  const auto* mode = find(BLE_UUID_PROTOCOL_MODE_CHAR);
  const auto* output = find(BLE_UUID_REPORT_CHAR, kPropWrite);
  const auto* control = find(BLE_UUID_HID_CONTROL_POINT_CHAR);
  const auto* map = find(BLE_UUID_REPORT_MAP_CHAR);
  ASSERT_TRUE(mode && output && control && map);
  struct Case {
    uint16_t handle;
    Bytes value;
  };
  const Case cases[] = {
      {mode->value_handle, {0x00, 0x00}},
      {mode->value_handle, {0x02}},
      {mode->value_handle, {}},
      {output->value_handle, Bytes(200, 0x02)},
      {control->value_handle, {0x07}},
      {control->value_handle, Bytes(3, 0x00)},
      {map->value_handle, {0x00}},
      {input_, Bytes(9, 0x04)},
      {static_cast<uint16_t>(input_ + 1), {0x01}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.handle) + ": " + std::to_string(c.value.size()) + " bytes");
    phone_->write_command(c.handle, c.value);
    const uint32_t id = phone_->write(c.handle, c.value);
    ASSERT_TRUE(finish(id));
    EXPECT_FALSE(m_in_boot_mode);
    EXPECT_FALSE(m_caps_on);
  }
  EXPECT_EQ(type({kA, kB}, 3), expected_reports({kA, kB}));
}

// Advertising as the settings ask: fast or slow with the interval and
// timeout, the transmit power; the phone sees the HID service.
TEST_F(Hid, AdvertisingTakesModeIntervalTimeoutAndPower) {
  struct Case {
    uint8_t mode;
    uint32_t interval;
    uint8_t timeout;
    int8_t power;
  };
  for (const Case c : {Case{BLE_ADV_MODE_FAST, 480, 30, 0}, Case{BLE_ADV_MODE_SLOW, 1600, 60, 4},
                       Case{BLE_ADV_MODE_FAST, 160, 0, 8}}) {
    SCOPED_TRACE(c.interval);
    TearDown();
    SetUp();
    ASSERT_NO_FATAL_FAILURE(start_stack(DRV_BLE_HID_MODE));
    register_hid();
    ble_parameter.adv_mode = c.mode;
    ble_parameter.adv_interval = c.interval;
    ble_parameter.adv_timeout = c.timeout;
    ble_parameter.txpower = c.power;
    ASSERT_EQ(uhal_ble_hid_advertising_start(), NRF_SUCCESS);
    const ble_adv_modes_config_t& cfg = hid_adv_init.config;
    EXPECT_EQ(cfg.ble_adv_fast_enabled, c.mode == BLE_ADV_MODE_FAST);
    EXPECT_EQ(cfg.ble_adv_slow_enabled, c.mode == BLE_ADV_MODE_SLOW);
    const uint32_t interval =
        c.mode == BLE_ADV_MODE_FAST ? cfg.ble_adv_fast_interval : cfg.ble_adv_slow_interval;
    const uint32_t timeout =
        c.mode == BLE_ADV_MODE_FAST ? cfg.ble_adv_fast_timeout : cfg.ble_adv_slow_timeout;
    EXPECT_EQ(interval, c.interval);
    EXPECT_EQ(timeout, c.timeout * 100u);
    const nrfsim::ble::AdvState adv = nrfsim::ble::advertising();
    EXPECT_TRUE(adv.advertising);
    EXPECT_EQ(adv.interval, c.interval);
    EXPECT_EQ(adv.duration, c.timeout * 100u);
    EXPECT_EQ(adv.tx_power, c.power);
    // Flags, the name, the HID service in the complete 16-bit list.
    const Bytes hid_uuid = {0x03, 0x03, 0x12, 0x18};
    const Bytes& data = adv.adv_data;
    EXPECT_NE(std::search(data.begin(), data.end(), hid_uuid.begin(), hid_uuid.end()), data.end());
    phone_->start_scan(true);
    run_for(2 * kSecond);
    phone_->stop_scan();
    const auto* seen = phone_->device(module_address());
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen->adv_data, adv.adv_data);
  }
}

// Advertising that runs out clears the advertising flag.
TEST_F(Hid, StopEndsTheHidAdvertising) {
  ASSERT_NO_FATAL_FAILURE(start_hid());
  ASSERT_TRUE(nrfsim::ble::advertising().advertising);
  EXPECT_EQ(uhal_ble_hid_advertising_stop(), NRF_SUCCESS);
  EXPECT_FALSE(nrfsim::ble::advertising().advertising);
  EXPECT_EQ(uhal_ble_hid_advertising_stop(), NRF_ERROR_INVALID_STATE);
}

TEST_F(Hid, AdvertisingThatEndsClearsTheFlag) {
  ble_parameter.adv_timeout = 1;
  ASSERT_NO_FATAL_FAILURE(start_hid());
  ASSERT_TRUE(uhal_is_advertising);
  ASSERT_TRUE(wait([] { return !nrfsim::ble::advertising().advertising; }, 3 * kSecond));
  ASSERT_TRUE(wait([] { return !uhal_is_advertising; }));
  EXPECT_EQ(m_hid_conn_handle, BLE_CONN_HANDLE_INVALID);
}

// Connected, a start only sets the power.
TEST_F(Hid, StartWhileConnectedOnlySetsThePower) {
  ASSERT_NO_FATAL_FAILURE(connect_keyboard());
  ble_parameter.txpower = 4;
  EXPECT_EQ(uhal_ble_hid_advertising_start(), NRF_SUCCESS);
  EXPECT_FALSE(nrfsim::ble::advertising().advertising);
  EXPECT_EQ(nrfsim::ble::advertising().tx_power, 4);
  ble_parameter.txpower = 1;  // a power the radio does not have: its refusal comes back
  EXPECT_EQ(uhal_ble_hid_advertising_start(), NRF_ERROR_INVALID_PARAM);
  EXPECT_FALSE(nrfsim::ble::advertising().advertising);
}

// After a disconnection the advertising module has started advertising
// again on its own; a start then takes the new settings instead of failing
// on the busy set.
TEST_F(Hid, StartAfterADisconnectionTakesTheNewSettings) {
  ASSERT_NO_FATAL_FAILURE(connect_keyboard());
  ASSERT_TRUE(disconnect());
  ASSERT_TRUE(wait([] { return nrfsim::ble::advertising().advertising; }));
  EXPECT_FALSE(uhal_is_advertising);
  ble_parameter.adv_interval = 800;
  EXPECT_EQ(uhal_ble_hid_advertising_start(), NRF_SUCCESS);
  EXPECT_TRUE(nrfsim::ble::advertising().advertising);
  EXPECT_EQ(nrfsim::ble::advertising().interval, 800u);
}

// A bonded phone goes into the whitelist at each start; with bonds to
// erase, a start erases them and does nothing else.
TEST_F(Hid, BondsGoToTheWhitelistOrAreErased) {
  ASSERT_NO_FATAL_FAILURE(start_stack(DRV_BLE_HID_MODE));
  ble_gap_sec_params_t sec;
  std::memset(&sec, 0, sizeof(sec));
  sec.bond = 1;
  sec.io_caps = BLE_GAP_IO_CAPS_NONE;
  sec.min_key_size = 7;
  sec.max_key_size = 16;
  ASSERT_EQ(pm_sec_params_set(&sec), NRF_SUCCESS);
  register_hid();
  ASSERT_EQ(uhal_ble_hid_advertising_start(), NRF_SUCCESS);
  ASSERT_TRUE(connect());
  phone_->pair(0, ble::kSmpAuthBonding);
  ASSERT_TRUE(wait([&] { return phone_->pair_state() == ble::Central::PairState::kPaired; }));
  ASSERT_TRUE(wait([] { return pm_peer_count() == 1; }));
  ASSERT_TRUE(disconnect());
  ASSERT_TRUE(wait([] { return m_hid_conn_handle == BLE_CONN_HANDLE_INVALID; }));

  ASSERT_EQ(uhal_ble_hid_advertising_start(), NRF_SUCCESS);
  ble_gap_addr_t listed[8];
  uint32_t n = 8;
  ASSERT_EQ(pm_whitelist_get(listed, &n, nullptr, nullptr), NRF_SUCCESS);
  ASSERT_EQ(n, 1u);
  ble::Address listed_address;
  std::copy(listed[0].addr, listed[0].addr + 6, listed_address.begin());
  EXPECT_EQ(listed_address, kPhoneAddress);

  // Erasing: no new advertising settings are taken.
  erase_bonds = true;
  ble_parameter.adv_interval = 800;
  EXPECT_EQ(uhal_ble_hid_advertising_start(), NRF_SUCCESS);
  EXPECT_FALSE(erase_bonds);
  EXPECT_EQ(pm_peer_count(), 0u);
  EXPECT_EQ(hid_adv_init.config.ble_adv_fast_interval, 480u);
  EXPECT_NE(nrfsim::ble::advertising().interval, 800u);
}

// Without the HID advertising initialised there is no HID set to stop: the
// stop leaves the stack's advertising alone.
TEST_F(Hid, StopWithoutTheHidSetStopsNothing) {
  ASSERT_NO_FATAL_FAILURE(start_stack(DRV_BLE_HID_MODE));
  ASSERT_EQ(start_custom_advertising(), NRF_SUCCESS);
  EXPECT_EQ(uhal_ble_hid_advertising_stop(), BLE_ERROR_INVALID_ADV_HANDLE);
  EXPECT_TRUE(nrfsim::ble::advertising().advertising);
}

// The handler acts in HID mode only.
TEST_F(Hid, OtherModesLeaveTheHidStateAlone) {
  ASSERT_NO_FATAL_FAILURE(start_hid());
  ble_current_service = DRV_BLE_UART_MODE;
  ASSERT_TRUE(connect());
  run_for(kSecond);
  EXPECT_EQ(m_hid_conn_handle, BLE_CONN_HANDLE_INVALID);
  EXPECT_TRUE(nrfsim::bsp_indications().empty());
}

}  // namespace
}  // namespace hidtest
