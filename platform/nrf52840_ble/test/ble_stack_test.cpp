// The BLE protocol stack stand-in driven by a central on the same simulated
// air: the results the BLE layer reacts to, the events of a connection and
// of advertising that ends by its time, the advertising module's order and
// restart, the serial service's notifications with the stack's transmit
// queue and the CCCD, and a restart of the stack rebuilding the table.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app_error.h"
#include "app_usbd.h"
#include "ble_advertising.h"
#include "ble_nus.h"
#include "nrf52840_ble_sim.h"
#include "nrf52840_sim.h"
#include "nrf_ble_scan.h"
#include "nrf_sdh.h"
#include "nrf_sdh_ble.h"
#include "sim/air_medium.h"
#include "sim/ble_central.h"
#include "sim/ble_radio.h"
#include "sim/host.h"
#include "sim/sim.h"

namespace ble = sim::ble;

// The chip's USB stand-in is linked with the stack's and wants these.
const app_usbd_descriptor_config_t app_usbd_descriptor_config = {
    0x1915, 0x521F, 1, 0, 0, "Maker", "Module Serial", "Default configuration", 0x0409, true, 100};

// The application side: failures and the events seen.
uint32_t g_app_errors = 0;
void app_error_handler(ret_code_t, uint32_t, const uint8_t*) { ++g_app_errors; }
void app_error_fault_handler(uint32_t, uint32_t, uint32_t) { ++g_app_errors; }

namespace {

struct Seen {
  uint16_t id;
  uint16_t conn;
  uint8_t code;  // disconnect reason / termination reason
};
std::vector<Seen> g_events;
std::vector<int> g_adv_events;   // ble_adv_evt_t, interleaved with g_events by index
std::vector<std::string> g_log;  // both, in order
std::vector<ble::Bytes> g_rx;
int g_comm_started = 0;

void app_observer(ble_evt_t const* e, void*) {
  Seen s{e->header.evt_id, e->evt.gap_evt.conn_handle, 0};
  if (s.id == BLE_GAP_EVT_DISCONNECTED) s.code = e->evt.gap_evt.params.disconnected.reason;
  if (s.id == BLE_GAP_EVT_ADV_SET_TERMINATED)
    s.code = e->evt.gap_evt.params.adv_set_terminated.reason;
  g_events.push_back(s);
  g_log.push_back("evt " + std::to_string(s.id));
}
NRF_SDH_BLE_OBSERVER(app_obs, APP_BLE_OBSERVER_PRIO, app_observer, nullptr);

BLE_ADVERTISING_DEF(m_adv);
BLE_NUS_DEF(m_nus, 1);

void on_adv(ble_adv_evt_t e) {
  g_adv_events.push_back(e);
  g_log.push_back("adv " + std::to_string(e));
}
void on_nus(ble_nus_evt_t* e) {
  if (e->type == BLE_NUS_EVT_RX_DATA)
    g_rx.emplace_back(e->params.rx_data.p_data,
                      e->params.rx_data.p_data + e->params.rx_data.length);
  if (e->type == BLE_NUS_EVT_COMM_STARTED) ++g_comm_started;
}

constexpr ble::Address kPhone = {0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
constexpr sim::time_us kSecond = 1000000;

bool seen(uint16_t id) {
  for (const Seen& s : g_events)
    if (s.id == id) return true;
  return false;
}
const Seen* last(uint16_t id) {
  for (auto it = g_events.rbegin(); it != g_events.rend(); ++it)
    if (it->id == id) return &*it;
  return nullptr;
}

class BleStack : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    nrfsim::reset_platform();
    g_events.clear();
    g_adv_events.clear();
    g_log.clear();
    g_rx.clear();
    g_comm_started = 0;
    g_app_errors = 0;
    std::memset(&m_adv, 0, sizeof m_adv);
    std::memset(&m_nus, 0, sizeof m_nus);
  }
  void TearDown() override {
    central.reset();
    radio.reset();
    sim::host::reset_core();
  }
  void enable() {
    ASSERT_EQ(nrf_sdh_enable_request(), NRF_SUCCESS);
    uint32_t ram = 0;
    ASSERT_EQ(nrf_sdh_ble_default_cfg_set(APP_BLE_CONN_CFG_TAG, &ram), NRF_SUCCESS);
    ASSERT_EQ(nrf_sdh_ble_enable(&ram), NRF_SUCCESS);
  }
  // The serial service and connectable advertising (fast, `timeout` x 10 ms).
  void serial(uint32_t timeout, bool restart_on_disconnect = true) {
    ble_nus_init_t n = {on_nus};
    ASSERT_EQ(ble_nus_init(&m_nus, &n), NRF_SUCCESS);
    ble_advertising_init_t a = {};
    a.advdata.name_type = BLE_ADVDATA_FULL_NAME;
    a.advdata.flags = BLE_GAP_ADV_FLAGS_LE_ONLY_GENERAL_DISC_MODE;
    a.config.ble_adv_fast_enabled = true;
    a.config.ble_adv_fast_interval = 160;
    a.config.ble_adv_fast_timeout = timeout;
    a.config.ble_adv_on_disconnect_disabled = !restart_on_disconnect;
    a.evt_handler = on_adv;
    ASSERT_EQ(ble_advertising_init(&m_adv, &a), NRF_SUCCESS);
    ASSERT_EQ(ble_advertising_start(&m_adv, BLE_ADV_MODE_FAST), NRF_SUCCESS);
  }
  ble::Central& phone() {
    if (!central) {
      radio = std::make_unique<ble::SimRadio>(2);
      central = std::make_unique<ble::Central>(*radio, kPhone);
    }
    return *central;
  }
  bool connect() {
    ble::Central& c = phone();
    return c.connect(nrfsim::ble::link_layer().address()) &&
           c.wait([&] { return c.connected() && seen(BLE_GAP_EVT_CONNECTED); }, kSecond);
  }
  std::unique_ptr<ble::SimRadio> radio;
  std::unique_ptr<ble::Central> central;
};

// The results the BLE layer tells apart.
TEST_F(BleStack, ResultsOfTheCallsTheLayerReactsTo) {
  EXPECT_EQ(sd_ble_gap_adv_stop(0), NRF_ERROR_SOFTDEVICE_NOT_ENABLED);
  enable();
  EXPECT_EQ(nrf_sdh_enable_request(), NRF_ERROR_INVALID_STATE);
  EXPECT_EQ(sd_ble_gap_adv_stop(0), BLE_ERROR_INVALID_ADV_HANDLE) << "no set configured";
  uint8_t handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
  uint8_t data[] = {2, 1, 6};
  ble_gap_adv_data_t d = {{data, 3}, {nullptr, 0}};
  ble_gap_adv_params_t p = {};
  p.properties.type = BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED;
  p.interval = 160;
  ASSERT_EQ(sd_ble_gap_adv_set_configure(&handle, &d, &p), NRF_SUCCESS);
  EXPECT_EQ(sd_ble_gap_adv_stop(handle), NRF_ERROR_INVALID_STATE) << "not advertising";
  ASSERT_EQ(sd_ble_gap_adv_start(handle, APP_BLE_CONN_CFG_TAG), NRF_SUCCESS);
  EXPECT_EQ(sd_ble_gap_adv_start(handle, APP_BLE_CONN_CFG_TAG), NRF_ERROR_INVALID_STATE);
  EXPECT_EQ(sd_ble_gap_adv_set_configure(&handle, &d, &p), NRF_ERROR_INVALID_STATE)
      << "parameters while advertising";
  EXPECT_EQ(sd_ble_gap_adv_stop(handle), NRF_SUCCESS);
  EXPECT_EQ(
      sd_ble_gap_disconnect(BLE_CONN_HANDLE_INVALID, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION),
      BLE_ERROR_INVALID_CONN_HANDLE);
  ble_gap_addr_t a = {};
  a.addr_type = BLE_GAP_ADDR_TYPE_RANDOM_STATIC;
  a.addr[5] = 0x40;
  EXPECT_EQ(sd_ble_gap_addr_set(&a), BLE_ERROR_GAP_INVALID_BLE_ADDR);
  EXPECT_EQ(sd_ble_gap_tx_power_set(BLE_GAP_TX_POWER_ROLE_ADV, handle, 1), NRF_ERROR_INVALID_PARAM);
  nrfsim::ble::fail_next("sd_ble_gap_adv_start", NRF_ERROR_NO_MEM);
  EXPECT_EQ(sd_ble_gap_adv_start(handle, APP_BLE_CONN_CFG_TAG), NRF_ERROR_NO_MEM);
  EXPECT_EQ(sd_ble_gap_adv_start(handle, APP_BLE_CONN_CFG_TAG), NRF_SUCCESS);
}

// A connection ends advertising without an event of its own; every event
// names the link; advertising that ends by its time names none.
TEST_F(BleStack, EventsOfALinkAndOfAdvertisingThatTimesOut) {
  enable();
  serial(100, /*restart_on_disconnect=*/false);
  ASSERT_TRUE(connect());
  EXPECT_EQ(last(BLE_GAP_EVT_CONNECTED)->conn, 0);
  EXPECT_FALSE(seen(BLE_GAP_EVT_ADV_SET_TERMINATED));
  ASSERT_TRUE(phone().disconnect());
  ASSERT_TRUE(phone().wait([] { return seen(BLE_GAP_EVT_DISCONNECTED); }, kSecond));
  EXPECT_EQ(last(BLE_GAP_EVT_DISCONNECTED)->conn, 0);
  EXPECT_EQ(last(BLE_GAP_EVT_DISCONNECTED)->code, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION);
  EXPECT_FALSE(nrfsim::ble::advertising().advertising) << "restart on disconnection disabled";

  g_log.clear();
  ASSERT_EQ(ble_advertising_start(&m_adv, BLE_ADV_MODE_FAST), NRF_SUCCESS);
  ASSERT_TRUE(phone().wait([] { return seen(BLE_GAP_EVT_ADV_SET_TERMINATED); }, 2 * kSecond));
  EXPECT_EQ(last(BLE_GAP_EVT_ADV_SET_TERMINATED)->conn, BLE_CONN_HANDLE_INVALID);
  EXPECT_EQ(last(BLE_GAP_EVT_ADV_SET_TERMINATED)->code,
            BLE_GAP_EVT_ADV_SET_TERMINATED_REASON_TIMEOUT);
  // The module's observer comes first: it has gone idle before the
  // application hears of the end.
  std::vector<std::string> want = {"adv " + std::to_string(BLE_ADV_EVT_FAST),
                                   "adv " + std::to_string(BLE_ADV_EVT_IDLE),
                                   "evt " + std::to_string(BLE_GAP_EVT_ADV_SET_TERMINATED)};
  EXPECT_EQ(g_log, want);
  EXPECT_EQ(sd_ble_gap_adv_stop(m_adv.adv_handle), NRF_ERROR_INVALID_STATE);
}

// The advertising module starts again by itself after a disconnection.
TEST_F(BleStack, AdvertisingStartsAgainAfterADisconnection) {
  enable();
  serial(0);
  ASSERT_TRUE(connect());
  EXPECT_FALSE(nrfsim::ble::advertising().advertising);
  ASSERT_TRUE(phone().disconnect());
  ASSERT_TRUE(phone().wait([] { return seen(BLE_GAP_EVT_DISCONNECTED); }, kSecond));
  EXPECT_TRUE(nrfsim::ble::advertising().advertising);
  EXPECT_EQ(g_adv_events.back(), BLE_ADV_EVT_FAST);
}

// Notifications need the peer's CCCD; the stack's queue holds as many as it
// is given and frees them as the peer takes them.
TEST_F(BleStack, SerialServiceNotificationsAndWrites) {
  enable();
  serial(0);
  nrfsim::ble::set_hvn_queue_size(1);
  ASSERT_TRUE(connect());
  ble::Central& c = phone();
  uint32_t disc = c.discover();
  ASSERT_TRUE(c.wait([&] { return c.done(disc); }, kSecond));
  const auto* tx = c.characteristic(ble::uuid128("6E400003-B5A3-F393-E0A9-E50E24DCCA9E"));
  const auto* rx = c.characteristic(ble::uuid128("6E400002-B5A3-F393-E0A9-E50E24DCCA9E"));
  ASSERT_TRUE(tx && rx);
  uint8_t msg[30];
  std::memset(msg, 'x', sizeof msg);
  uint16_t len = 5;
  EXPECT_EQ(ble_nus_data_send(&m_nus, msg, &len, 0), NRF_ERROR_INVALID_STATE) << "CCCD off";
  uint32_t sub = c.subscribe(tx->value_handle);
  ASSERT_TRUE(c.wait([&] { return c.done(sub) && g_comm_started == 1; }, kSecond));
  len = 30;
  ASSERT_EQ(ble_nus_data_send(&m_nus, msg, &len, 0), NRF_SUCCESS);
  EXPECT_EQ(len, 20) << "cut to the MTU of the link less 3";
  len = 5;
  EXPECT_EQ(ble_nus_data_send(&m_nus, msg, &len, 0), NRF_ERROR_RESOURCES);
  ASSERT_TRUE(c.wait([] { return seen(BLE_GATTS_EVT_HVN_TX_COMPLETE); }, kSecond));
  EXPECT_EQ(ble_nus_data_send(&m_nus, msg, &len, 0), NRF_SUCCESS);
  uint16_t big = BLE_NUS_MAX_DATA_LEN + 1;
  EXPECT_EQ(ble_nus_data_send(&m_nus, msg, &big, 0), NRF_ERROR_INVALID_PARAM);
  EXPECT_EQ(ble_nus_data_send(&m_nus, msg, &len, 1), NRF_ERROR_NOT_FOUND);

  uint32_t wr = c.write(rx->value_handle, {'A', 'T', '\r'});
  ASSERT_TRUE(c.wait([&] { return c.done(wr) && !g_rx.empty(); }, kSecond));
  EXPECT_EQ(g_rx.front(), (ble::Bytes{'A', 'T', '\r'}));
  EXPECT_EQ(g_app_errors, 0u);
}

// A restart of the stack (disable, enable) drops the link without events
// and rebuilds the table from the same first handle.
TEST_F(BleStack, RestartRebuildsTheTable) {
  enable();
  serial(0);
  const uint16_t first = m_nus.service_handle;
  ASSERT_TRUE(connect());
  const size_t events = g_events.size();
  ASSERT_EQ(nrf_sdh_disable_request(), NRF_SUCCESS);
  EXPECT_FALSE(nrf_sdh_is_enabled());
  enable();
  EXPECT_EQ(nrfsim::ble::enable_count(), 2);
  std::memset(&m_nus, 0, sizeof m_nus);
  ble_nus_init_t n = {on_nus};
  ASSERT_EQ(ble_nus_init(&m_nus, &n), NRF_SUCCESS);
  EXPECT_EQ(m_nus.service_handle, first);
  phone().wait([] { return false; }, kSecond / 2);
  EXPECT_EQ(g_events.size(), events) << "no event from the old link";
}

}  // namespace

// ---------------------------------------------------------------- scanning --
namespace {

struct ScanReport {
  uint16_t conn;
  ble::Bytes data;
  int8_t rssi;
};
std::vector<ScanReport> g_reports;
std::vector<int> g_scan_events;

void report_observer(ble_evt_t const* e, void*) {
  if (e->header.evt_id != BLE_GAP_EVT_ADV_REPORT) return;
  const ble_gap_evt_adv_report_t& r = e->evt.gap_evt.params.adv_report;
  g_reports.push_back(
      {e->evt.gap_evt.conn_handle, ble::Bytes(r.data.p_data, r.data.p_data + r.data.len), r.rssi});
}
NRF_SDH_BLE_OBSERVER(report_obs, APP_BLE_OBSERVER_PRIO, report_observer, nullptr);

NRF_BLE_SCAN_DEF(m_scan);
void on_scan(scan_evt_t const* e) { g_scan_events.push_back(e->scan_evt_id); }

const ble::Bytes kBeaconData = {0x02, 0x01, 0x04, 0x04, 0xFF, 0x34, 0x12, 0x77};

class BleScan : public BleStack {
 protected:
  void SetUp() override {
    BleStack::SetUp();
    // The beacon's packets of an earlier test must not meet this one's.
    sim::air::Medium::instance().reset();
    g_reports.clear();
    g_scan_events.clear();
    std::memset(&m_scan, 0, sizeof m_scan);
  }
  void TearDown() override {
    beacon.reset();
    beacon_radio.reset();
    BleStack::TearDown();
  }
  // A beacon nearby, every 50 ms.
  void beacon_on() {
    beacon_radio = std::make_unique<ble::SimRadio>(3);
    beacon =
        std::make_unique<ble::LinkLayer>(*beacon_radio, ble::Address{1, 2, 3, 4, 5, 0xC2}, true);
    ble::LinkLayer::AdvParams p;
    p.type = ble::kAdvNonconnInd;
    p.adv_data = kBeaconData;
    p.interval = 80;
    ASSERT_TRUE(beacon->start_advertising(p));
  }
  void run_for(sim::time_us t) {
    phone().wait([] { return false; }, t);
  }
  static ble_gap_scan_params_t params(uint16_t interval, uint16_t window, uint16_t timeout) {
    ble_gap_scan_params_t p = {};
    p.active = 1;
    p.interval = interval;
    p.window = window;
    p.timeout = timeout;
    p.scan_phys = BLE_GAP_PHY_1MBPS;
    return p;
  }
  std::unique_ptr<ble::SimRadio> beacon_radio;
  std::unique_ptr<ble::LinkLayer> beacon;
};

// What a scan start refuses, and the states of start and stop.
TEST_F(BleScan, StartAndStopResults) {
  uint8_t buf[31];
  ble_data_t b = {buf, sizeof buf};
  ble_gap_scan_params_t ok = params(160, 160, 0);
  EXPECT_EQ(sd_ble_gap_scan_start(&ok, &b), NRF_ERROR_SOFTDEVICE_NOT_ENABLED);
  enable();
  ble_gap_scan_params_t coded = ok;
  coded.scan_phys = BLE_GAP_PHY_CODED;  // needs extended scanning
  struct Case {
    ble_gap_scan_params_t p;
    uint32_t want;
  };
  for (const Case& c :
       {Case{params(3, 3, 0), NRF_ERROR_INVALID_PARAM},
        Case{params(160, 161, 0), NRF_ERROR_INVALID_PARAM}, Case{coded, NRF_ERROR_INVALID_PARAM}}) {
    EXPECT_EQ(sd_ble_gap_scan_start(&c.p, &b), c.want);
  }
  ble_data_t none = {nullptr, 0};
  EXPECT_EQ(sd_ble_gap_scan_start(&ok, &none), NRF_ERROR_INVALID_ADDR);
  EXPECT_EQ(sd_ble_gap_scan_stop(), NRF_ERROR_INVALID_STATE) << "not scanning";
  EXPECT_EQ(sd_ble_gap_scan_start(nullptr, &b), NRF_ERROR_INVALID_STATE) << "nothing to resume";
  ASSERT_EQ(sd_ble_gap_scan_start(&ok, &b), NRF_SUCCESS);
  EXPECT_EQ(sd_ble_gap_scan_start(&ok, &b), NRF_ERROR_INVALID_STATE);
  EXPECT_EQ(sd_ble_gap_scan_stop(), NRF_SUCCESS);
  EXPECT_EQ(sd_ble_gap_scan_stop(), NRF_ERROR_INVALID_STATE);
}

// A report names no link, carries the data in the buffer given and pauses
// the scan until it is resumed; the time limit ends it with a timeout event
// that names no link either.
TEST_F(BleScan, ReportsPauseAndTimeout) {
  enable();
  beacon_on();
  uint8_t buf[31];
  ble_data_t b = {buf, sizeof buf};
  ble_gap_scan_params_t p = params(160, 160, 300);  // 3 s
  ASSERT_EQ(sd_ble_gap_scan_start(&p, &b), NRF_SUCCESS);
  run_for(kSecond / 2);
  ASSERT_EQ(g_reports.size(), 1u) << "paused after the first";
  EXPECT_EQ(g_reports[0].conn, BLE_CONN_HANDLE_INVALID);
  EXPECT_EQ(g_reports[0].data, kBeaconData);
  EXPECT_EQ(std::memcmp(buf, kBeaconData.data(), kBeaconData.size()), 0);
  ASSERT_EQ(sd_ble_gap_scan_start(nullptr, &b), NRF_SUCCESS);
  run_for(kSecond / 2);
  EXPECT_EQ(g_reports.size(), 2u);
  EXPECT_FALSE(seen(BLE_GAP_EVT_TIMEOUT));
  run_for(3 * kSecond);
  ASSERT_TRUE(seen(BLE_GAP_EVT_TIMEOUT));
  EXPECT_EQ(last(BLE_GAP_EVT_TIMEOUT)->conn, BLE_CONN_HANDLE_INVALID);
  EXPECT_EQ(sd_ble_gap_scan_stop(), NRF_ERROR_INVALID_STATE) << "ended by its time";
}

// The scanning module goes on after each report and turns the time limit
// into its own event; a stop ends the reports.
TEST_F(BleScan, ModuleResumesAndReportsTheTimeout) {
  enable();
  beacon_on();
  ble_gap_scan_params_t p = params(160, 160, 200);  // 2 s
  nrf_ble_scan_init_t init = {};
  init.p_scan_param = &p;
  ASSERT_EQ(nrf_ble_scan_init(&m_scan, &init, on_scan), NRF_SUCCESS);
  ASSERT_EQ(nrf_ble_scan_start(&m_scan), NRF_SUCCESS);
  run_for(kSecond);
  EXPECT_GE(g_reports.size(), 5u);
  EXPECT_TRUE(g_scan_events.empty());
  run_for(2 * kSecond);
  EXPECT_EQ(g_scan_events, (std::vector<int>{NRF_BLE_SCAN_EVT_SCAN_TIMEOUT}));

  p.timeout = 0;
  ASSERT_EQ(nrf_ble_scan_params_set(&m_scan, &p), NRF_SUCCESS);
  ASSERT_EQ(nrf_ble_scan_start(&m_scan), NRF_SUCCESS);
  run_for(kSecond / 2);
  nrf_ble_scan_stop();
  const size_t heard = g_reports.size();
  run_for(kSecond);
  EXPECT_EQ(g_reports.size(), heard);
}

}  // namespace
