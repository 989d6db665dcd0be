// The BLE host stand-in driven by the central: a tiny GATT server with a
// serial-like service registered through the stack's calls, its DM, ATT and
// CCC events, notifications with their confirmations, pairing with the
// passkey answer, advertising duration and address change, and the LE test
// commands of direct test mode with their packet counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "ble_host.h"
#include "sim/air_medium.h"
#include "sim/ble_central.h"
#include "sim/ble_dtm.h"
#include "sim/ble_radio.h"
#include "sim/host.h"
#include "sim/sim.h"

namespace {

namespace ble = sim::ble;
using ble::Bytes;

constexpr ble::Address kPhone = {0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
constexpr sim::time_us kSecond = 1000000;

// The module's side, as the glue registers it.
struct Module {
  static Module* self;
  struct Dm {
    uint8_t event, status;
    dmEvt_t evt;
  };
  std::vector<Dm> dm;
  std::vector<attEvt_t> att;
  std::vector<attsCccEvt_t> ccc;
  Bytes written;
  std::vector<uint8_t> write_ops;
  std::vector<Bytes> report_data;  // each scan report's data, copied in the callback
  uint32_t passkey = 123456;

  uint8_t svc_uuid[2] = {0x00, 0x28}, char_uuid[2] = {0x03, 0x28}, ccc_uuid[2] = {0x02, 0x29};
  uint8_t nus[16], rx_uuid[16], tx_uuid[16];
  uint8_t rx_decl[19], tx_decl[19];
  uint8_t rx_val[512] = {}, tx_val[512] = {}, tx_ccc[2] = {};
  uint16_t len16 = 16, len19 = 19, rx_len = 0, tx_len = 0, ccc_len = 2;
  attsAttr_t attrs[6];
  attsGroup_t group{};
  attsCccSet_t ccc_set[2] = {{GATT_SC_CH_CCC_HDL, 2, 0}, {0x0705, 1, 0}};
  appAdvCfg_t adv_cfg = {{0, 0, 0}, {160, 0, 0}};
  appMasterCfg_t master_cfg = {160, 160, 0, 1, 1};
  appSecCfg_t sec_cfg = {DM_AUTH_BOND_FLAG, DM_KEY_DIST_IRK, DM_KEY_DIST_LTK | DM_KEY_DIST_IRK,
                         true, true};
  smpCfg_t smp_cfg = {3000, SMP_IO_NO_IN_NO_OUT, 7, 16, 3, 0};

  Module() {
    self = this;
    const Bytes n = ble::uuid128("6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
    const Bytes r = ble::uuid128("6E400002-B5A3-F393-E0A9-E50E24DCCA9E");
    const Bytes t = ble::uuid128("6E400003-B5A3-F393-E0A9-E50E24DCCA9E");
    std::copy(n.begin(), n.end(), nus);
    std::copy(r.begin(), r.end(), rx_uuid);
    std::copy(t.begin(), t.end(), tx_uuid);
    rx_decl[0] = 0x0C;
    rx_decl[1] = 0x02;
    rx_decl[2] = 0x07;
    std::copy(r.begin(), r.end(), rx_decl + 3);
    tx_decl[0] = 0x10;
    tx_decl[1] = 0x04;
    tx_decl[2] = 0x07;
    std::copy(t.begin(), t.end(), tx_decl + 3);
    attrs[0] = {svc_uuid, nus, &len16, 16, 0, ATTS_PERMIT_READ};
    attrs[1] = {char_uuid, rx_decl, &len19, 19, 0, ATTS_PERMIT_READ};
    attrs[2] = {rx_uuid,
                rx_val,
                &rx_len,
                512,
                ATTS_SET_UUID_128 | ATTS_SET_VARIABLE_LEN | ATTS_SET_WRITE_CBACK,
                ATTS_PERMIT_WRITE};
    attrs[3] = {char_uuid, tx_decl, &len19, 19, 0, ATTS_PERMIT_READ};
    attrs[4] = {tx_uuid,
                tx_val,
                &tx_len,
                512,
                ATTS_SET_UUID_128 | ATTS_SET_VARIABLE_LEN,
                ATTS_PERMIT_READ | ATTS_PERMIT_WRITE};
    attrs[5] = {ccc_uuid, tx_ccc, &ccc_len, 2, ATTS_SET_CCC, ATTS_PERMIT_READ | ATTS_PERMIT_WRITE};
    group = {nullptr, attrs, nullptr, &Module::on_write, 0x0700, 0x0705};
  }
  ~Module() { self = nullptr; }

  static uint8_t on_write(dmConnId_t, uint16_t handle, uint8_t op, uint16_t, uint16_t len,
                          uint8_t* value, attsAttr_t*) {
    if (handle == 0x0702) {
      self->written.insert(self->written.end(), value, value + len);
      self->write_ops.push_back(op);
    }
    return ATT_SUCCESS;
  }
  static void on_dm(dmEvt_t* e) {
    self->dm.push_back({e->hdr.event, e->hdr.status, *e});
    if (e->hdr.event == DM_SCAN_REPORT_IND)
      self->report_data.emplace_back(e->scanReport.pData, e->scanReport.pData + e->scanReport.len);
    if (e->hdr.event == DM_SEC_AUTH_REQ_IND) {
      uint8_t key[3] = {static_cast<uint8_t>(self->passkey),
                        static_cast<uint8_t>(self->passkey >> 8),
                        static_cast<uint8_t>(self->passkey >> 16)};
      DmSecAuthRsp(static_cast<dmConnId_t>(e->hdr.param), 3, key);
    }
    if (e->hdr.event == DM_CONN_OPEN_IND)
      AppSlaveSecurityReq(static_cast<dmConnId_t>(e->hdr.param));
    AppSlaveProcDmMsg(e);
  }
  static void on_att(attEvt_t* e) { self->att.push_back(*e); }
  static void on_ccc(attsCccEvt_t* e) { self->ccc.push_back(*e); }

  // Start-up as the stack task does it.
  void start() {
    HciDrvRadioBoot(true);
    WsfOsInit();
    WsfTimerInit();
    pAppAdvCfg = &adv_cfg;
    pAppSecCfg = &sec_cfg;
    pSmpCfg = &smp_cfg;
    pAppMasterCfg = &master_cfg;
    DmRegister(&Module::on_dm);
    AttRegister(&Module::on_att);
    AttsCccRegister(2, ccc_set, &Module::on_ccc);
    const uint8_t name[] = "ZEM.334455";
    SvcCoreSetDevName(name, 10);
    SvcCoreAddGroup();
    AttsAddGroup(&group);
    DmDevReset();
  }
  size_t count(uint8_t event) const {
    size_t n = 0;
    for (const Dm& d : dm) n += d.event == event;
    return n;
  }
  const Dm* last(uint8_t event) const {
    for (auto it = dm.rbegin(); it != dm.rend(); ++it)
      if (it->event == event) return &*it;
    return nullptr;
  }
};
Module* Module::self = nullptr;

const Bytes kUartAdv = {0x02, 0x01, 0x06, 0x11, 0x07, 0x9E, 0xCA, 0xDC, 0x24, 0x0E, 0xE5,
                        0xA9, 0xE0, 0x93, 0xF3, 0xA3, 0xB5, 0x01, 0x00, 0x40, 0x6E};
const Bytes kScanRsp = {0x0B, 0x09, 'Z', 'E', 'M', '.', '3', '3', '4', '4', '5', '5'};

class BleHost : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    sim::air::Medium::instance().reset();
    ble_host::reset();
    module_ = std::make_unique<Module>();
    phone_radio_ = std::make_unique<ble::SimRadio>(2);
    phone_ = std::make_unique<ble::Central>(*phone_radio_, kPhone);
    // The stack task runs whenever time would move.
    phone_->set_runner([](sim::time_us deadline, const std::function<bool()>& done) {
      for (;;) {
        ble_host::dispatch_pending();
        if (done()) return true;
        if (sim::now() >= deadline) return false;
        sim::run_until(std::min(deadline, sim::now() + 500));
      }
    });
    module_->start();
  }
  void TearDown() override {
    phone_.reset();
    phone_radio_.reset();
    ble_host::reset();
    module_.reset();
    sim::air::Medium::instance().reset();
    sim::host::reset_core();
  }
  bool wait(const std::function<bool()>& done, sim::time_us t = 2 * kSecond) {
    return phone_->wait(done, t);
  }
  void advertise() {
    Bytes adv = kUartAdv, rsp = kScanRsp;
    AppAdvSetData(APP_ADV_DATA_DISCOVERABLE, static_cast<uint8_t>(adv.size()), adv.data());
    AppAdvSetData(APP_SCAN_DATA_DISCOVERABLE, static_cast<uint8_t>(rsp.size()), rsp.data());
    AppSetAdvType(DM_ADV_CONN_UNDIRECT);
    AppAdvStart(APP_MODE_AUTO_INIT);
  }
  ble::Address address() const {
    ble::Address a;
    std::copy(hciCoreCb.bdAddr, hciCoreCb.bdAddr + 6, a.begin());
    return a;
  }
  bool connect() {
    advertise();
    return phone_->connect(address()) &&
           wait([&] { return module_->count(DM_CONN_OPEN_IND) && phone_->connected(); });
  }
  bool finish(uint32_t id) {
    return wait([&] { return phone_->done(id); });
  }

  std::unique_ptr<Module> module_;
  std::unique_ptr<ble::SimRadio> phone_radio_;
  std::unique_ptr<ble::Central> phone_;
};

// Scanning: a report per advertising packet and scan response heard (with
// the advertiser's address, RSSI and data, valid in the callback), ended by
// a stop or by its duration; refused while the controller advertises.
TEST_F(BleHost, ScanningReportsAdvertisersUntilStoppedOrItsDurationEnds) {
  ASSERT_TRUE(wait([&] { return module_->count(DM_RESET_CMPL_IND) == 1; }));
  const Bytes data = {0x02, 0x01, 0x06, 0x03, 0xFF, 0x12, 0x34};
  const Bytes rsp = {0x03, 0x09, 'P', 'h'};
  ble::LinkLayer::AdvParams p;
  p.type = ble::kAdvScanInd;
  p.adv_data = data;
  p.scan_rsp_data = rsp;
  p.interval = 160;
  phone_->ll().set_tx_power(3);
  ASSERT_TRUE(phone_->ll().start_advertising(p));

  AppScanStart(1, 1, 0);
  ASSERT_TRUE(wait([&] { return module_->count(DM_SCAN_START_IND) == 1; }));
  EXPECT_EQ(module_->last(DM_SCAN_START_IND)->status, 0);
  auto heard = [&](const Bytes& b) {
    return std::find(module_->report_data.begin(), module_->report_data.end(), b) !=
           module_->report_data.end();
  };
  ASSERT_TRUE(wait([&] { return heard(data) && heard(rsp); }));
  for (const Module::Dm& d : module_->dm) {
    if (d.event != DM_SCAN_REPORT_IND) continue;
    EXPECT_EQ(0, std::memcmp(d.evt.scanReport.addr, kPhone.data(), 6));
    EXPECT_EQ(d.evt.scanReport.addrType, 1);
    EXPECT_TRUE(d.evt.scanReport.eventType == 2 || d.evt.scanReport.eventType == 4);
  }
  AppScanStop();
  ASSERT_TRUE(wait([&] { return module_->count(DM_SCAN_STOP_IND) == 1; }));
  const size_t reports = module_->count(DM_SCAN_REPORT_IND);
  wait([] { return false; }, kSecond);
  EXPECT_EQ(module_->count(DM_SCAN_REPORT_IND), reports);

  const sim::time_us start = sim::now();
  AppScanStart(1, 1, 500);
  ASSERT_TRUE(wait([&] { return module_->count(DM_SCAN_STOP_IND) == 2; }));
  EXPECT_GE(sim::now(), start + kSecond / 2);
  EXPECT_LE(sim::now(), start + kSecond / 2 + 1000);
  EXPECT_GT(module_->count(DM_SCAN_REPORT_IND), reports);

  advertise();
  ASSERT_TRUE(wait([&] { return module_->count(DM_ADV_START_IND) == 1; }));
  AppScanStart(1, 1, 0);
  ASSERT_TRUE(wait([&] { return module_->count(DM_SCAN_START_IND) == 3; }));
  EXPECT_EQ(module_->last(DM_SCAN_START_IND)->status, 0x0C);
}

TEST_F(BleHost, ASerialServiceServesTheCentral) {
  ASSERT_TRUE(wait([&] { return module_->count(DM_RESET_CMPL_IND) == 1; }));
  advertise();
  ASSERT_TRUE(wait([&] { return module_->count(DM_ADV_START_IND) == 1; }));
  ASSERT_TRUE(phone_->start_scan(true));
  ASSERT_TRUE(wait([&] {
    const auto* d = phone_->device(address());
    return d && d->has_scan_rsp;
  }));
  EXPECT_EQ(phone_->device(address())->adv_data, kUartAdv);
  EXPECT_EQ(phone_->device(address())->scan_rsp, kScanRsp);

  ASSERT_TRUE(phone_->connect(address()));
  ASSERT_TRUE(wait([&] { return module_->count(DM_CONN_OPEN_IND) == 1; }));
  const Module::Dm* open = module_->last(DM_CONN_OPEN_IND);
  EXPECT_EQ(open->evt.hdr.param, 1);
  EXPECT_EQ(0, std::memcmp(open->evt.connOpen.peerAddr, kPhone.data(), 6));
  EXPECT_TRUE(wait([&] { return phone_->security_requested(); }))
      << "the module asks for security at connection";

  uint32_t mtu = phone_->exchange_mtu(247);
  ASSERT_TRUE(finish(mtu));
  ASSERT_TRUE(wait([&] { return !module_->att.empty(); }));
  EXPECT_EQ(module_->att[0].hdr.event, ATT_MTU_UPDATE_IND);
  EXPECT_EQ(module_->att[0].mtu, 247);
  EXPECT_EQ(AttGetMtu(1), 247);

  uint32_t disc = phone_->discover();
  ASSERT_TRUE(finish(disc));
  const auto* tx = phone_->characteristic(ble::uuid128("6E400003-B5A3-F393-E0A9-E50E24DCCA9E"));
  ASSERT_NE(tx, nullptr);
  EXPECT_EQ(tx->value_handle, 0x0704);
  EXPECT_EQ(tx->ccc, 0x0705);
  uint32_t name = phone_->read(GAP_DN_HDL);
  ASSERT_TRUE(finish(name));
  EXPECT_EQ(phone_->result(name).value, (Bytes{'Z', 'E', 'M', '.', '3', '3', '4', '4', '5', '5'}));

  uint32_t sub = phone_->subscribe(0x0704);
  ASSERT_TRUE(finish(sub));
  ASSERT_TRUE(wait([&] { return !module_->ccc.empty(); }));
  EXPECT_EQ(module_->ccc[0].idx, 1);
  EXPECT_EQ(module_->ccc[0].value, 1);
  EXPECT_EQ(module_->ccc[0].handle, 0x0705);
  EXPECT_EQ(AttsCccGet(1, 1), 1);

  Bytes line(50);
  for (size_t i = 0; i < line.size(); ++i) line[i] = static_cast<uint8_t>('a' + i % 26);
  uint32_t w = phone_->write(0x0702, line);
  ASSERT_TRUE(finish(w));
  phone_->write_command(0x0702, {'\r', '\n'});
  ASSERT_TRUE(wait([&] { return module_->written.size() == 52; }));
  EXPECT_EQ(Bytes(module_->written.begin(), module_->written.begin() + 50), line);
  EXPECT_EQ(module_->write_ops, (std::vector<uint8_t>{ATT_PDU_WRITE_REQ, ATT_PDU_WRITE_CMD}));

  // A notification of MTU - 3 bytes arrives whole; its confirmation follows.
  Bytes reply(244);
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i);
  AttsHandleValueNtf(1, 0x0704, static_cast<uint16_t>(reply.size()), reply.data());
  ASSERT_TRUE(wait([&] { return module_->att.size() == 2 && !phone_->notifications().empty(); }));
  EXPECT_EQ(phone_->notifications()[0].value, reply);
  EXPECT_EQ(module_->att[1].hdr.event, ATTS_HANDLE_VALUE_CNF);
  EXPECT_EQ(module_->att[1].handle, 0x0704);

  // The central changes the connection parameters.
  ble::ConnectionParams params;
  params.interval = 40;
  params.timeout = 500;
  ASSERT_TRUE(phone_->update_connection(params));
  ASSERT_TRUE(wait([&] { return module_->count(DM_CONN_UPDATE_IND) == 1; }));
  EXPECT_EQ(module_->last(DM_CONN_UPDATE_IND)->evt.connUpdate.connInterval, 40);
  EXPECT_EQ(module_->last(DM_CONN_UPDATE_IND)->evt.connUpdate.supTimeout, 500);

  // The peer ends the link; the framework advertises again.
  ASSERT_TRUE(phone_->disconnect(ble::kRemoteUserTerminated));
  ASSERT_TRUE(wait([&] { return module_->count(DM_CONN_CLOSE_IND) == 1; }));
  EXPECT_EQ(module_->last(DM_CONN_CLOSE_IND)->status, ble::kRemoteUserTerminated);
  EXPECT_EQ(module_->last(DM_CONN_CLOSE_IND)->evt.connClose.reason, ble::kRemoteUserTerminated);
  ASSERT_TRUE(wait([&] { return module_->count(DM_ADV_START_IND) == 2; }));
  EXPECT_EQ(AttsCccGet(1, 1), 0) << "no connection, no CCC value";
}

TEST_F(BleHost, PairingAnswersThePasskeyRequest) {
  struct Case {
    uint32_t module_key, phone_key;
    bool paired;
  } cases[] = {{123456, 123456, true}, {0, 0, true}, {123456, 123457, false}};
  ASSERT_TRUE(wait([&] { return module_->count(DM_RESET_CMPL_IND) == 1; }));
  for (const Case& c : cases) {
    module_->dm.clear();
    module_->passkey = c.module_key;
    ASSERT_TRUE(connect()) << c.phone_key;
    phone_->pair(c.phone_key);
    ASSERT_TRUE(wait([&] {
      return module_->count(DM_SEC_PAIR_CMPL_IND) + module_->count(DM_SEC_PAIR_FAIL_IND) == 1;
    }));
    EXPECT_EQ(module_->count(DM_SEC_AUTH_REQ_IND), 1u);
    if (c.paired) {
      EXPECT_EQ(module_->count(DM_SEC_ENCRYPT_IND), 1u);
      EXPECT_TRUE(module_->last(DM_SEC_PAIR_CMPL_IND)->evt.pairCmpl.auth & DM_AUTH_MITM_FLAG);
      ASSERT_TRUE(wait([&] { return phone_->pair_state() == ble::Central::PairState::kPaired; }));
    } else {
      EXPECT_EQ(module_->last(DM_SEC_PAIR_FAIL_IND)->status, ble::kSmpConfirmValueFailed);
      ASSERT_TRUE(wait([&] { return phone_->pair_state() == ble::Central::PairState::kFailed; }));
      EXPECT_EQ(phone_->pair_failure(), ble::kSmpConfirmValueFailed);
    }
    AppConnClose(1);
    ASSERT_TRUE(wait([&] { return module_->count(DM_CONN_CLOSE_IND) == 1; }));
    EXPECT_EQ(phone_->disconnect_reason(), ble::kRemoteUserTerminated);
    AppAdvStop();
    ASSERT_TRUE(wait([&] { return module_->count(DM_ADV_STOP_IND) >= 1; }));
  }
}

TEST_F(BleHost, AdvertisingDurationAndAnAddressChange) {
  ASSERT_TRUE(wait([&] { return module_->count(DM_RESET_CMPL_IND) == 1; }));
  module_->adv_cfg.advDuration[0] = 1000;
  advertise();
  ASSERT_TRUE(wait([&] { return module_->count(DM_ADV_START_IND) == 1; }));
  const sim::time_us started = sim::now();
  ASSERT_TRUE(wait([&] { return module_->count(DM_ADV_STOP_IND) == 1; }, 3 * kSecond));
  EXPECT_GE(sim::now() - started, 1000000u);
  EXPECT_LT(sim::now() - started, 1200000u);

  // The address given by the vendor command takes effect at the reset, which
  // also ends the connection.
  ASSERT_TRUE(connect());
  ASSERT_TRUE(finish(phone_->exchange_mtu(23))) << "packets went both ways";
  uint8_t addr[6] = {0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
  HciVscSetCustom_BDAddr(addr);
  hciCoreResetStart();
  ASSERT_TRUE(wait([&] { return module_->count(DM_RESET_CMPL_IND) == 2; }));
  ASSERT_EQ(module_->count(DM_CONN_CLOSE_IND), 1u);
  EXPECT_EQ(module_->last(DM_CONN_CLOSE_IND)->status, ble::kLocalHostTerminated);
  EXPECT_LT(module_->last(DM_CONN_CLOSE_IND), module_->last(DM_RESET_CMPL_IND))
      << "the link is reported closed before the reset completes";
  ASSERT_TRUE(wait([&] { return !phone_->connected(); }, 6 * kSecond));
  EXPECT_EQ(phone_->disconnect_reason(), ble::kConnectionTimeout);
  EXPECT_EQ(0, std::memcmp(hciCoreCb.bdAddr, addr, 6));
  module_->adv_cfg.advDuration[0] = 0;
  advertise();
  ASSERT_TRUE(phone_->start_scan(false));
  ASSERT_TRUE(wait([&] {
    return phone_->device({0x66, 0x55, 0x44, 0x33, 0x22, 0x11}) != nullptr;
  }));
}

// The OS layer the module's handler and the update service's timers rely on.
struct Seen {
  static std::vector<std::pair<uint8_t, sim::time_us>> msgs;
  static std::vector<wsfEventMask_t> events;
  static void handler(wsfEventMask_t event, wsfMsgHdr_t* msg) {
    if (msg) msgs.emplace_back(msg->event, sim::now());
    if (event) events.push_back(event);
  }
};
std::vector<std::pair<uint8_t, sim::time_us>> Seen::msgs;
std::vector<wsfEventMask_t> Seen::events;

TEST_F(BleHost, HandlersGetTheirMessagesEventsAndTimers) {
  Seen::msgs.clear();
  Seen::events.clear();
  const wsfHandlerId_t id = WsfOsSetNextHandler(&Seen::handler);
  auto* m = static_cast<wsfMsgHdr_t*>(WsfMsgAlloc(sizeof(wsfMsgHdr_t) + 8));
  ASSERT_NE(m, nullptr);
  m->event = 7;
  WsfMsgSend(id, m);
  WsfSetEvent(id, 0x0004);
  wsfTimer_t reset_timer{}, disconnect_timer{};
  reset_timer.handlerId = disconnect_timer.handlerId = id;
  reset_timer.msg.event = 193;
  disconnect_timer.msg.event = 194;
  const sim::time_us t0 = sim::now();
  WsfTimerStartMs(&disconnect_timer, 500);
  WsfTimerStartMs(&reset_timer, 200);
  WsfTimerStartMs(&reset_timer, 300);  // started again: the later expiry counts
  ASSERT_TRUE(wait([&] { return Seen::msgs.size() == 3; }));
  EXPECT_EQ(Seen::events, std::vector<wsfEventMask_t>{0x0004});
  EXPECT_EQ(Seen::msgs[0].first, 7);
  EXPECT_EQ(Seen::msgs[1].first, 193);
  EXPECT_GE(Seen::msgs[1].second, t0 + 300000);
  EXPECT_LT(Seen::msgs[1].second, t0 + 301000);
  EXPECT_EQ(Seen::msgs[2].first, 194);
  EXPECT_GE(Seen::msgs[2].second, t0 + 500000);

  WsfTimerStartMs(&reset_timer, 100);
  WsfTimerStop(&reset_timer);
  wait([] { return false; }, 300000);
  EXPECT_EQ(Seen::msgs.size(), 3u) << "a stopped timer never expires";

  // The module's four pools take 2944 bytes.
  wsfBufPoolDesc_t pools[4] = {{16, 8}, {32, 4}, {64, 6}, {280, 8}};
  uint8_t mem[2944];
  EXPECT_EQ(WsfBufInit(sizeof mem, mem, 4, pools), 2944);
  EXPECT_EQ(WsfBufInit(sizeof mem - 1, mem, 4, pools), 0) << "too small";
}

TEST_F(BleHost, DirectTestModeCountsPackets) {
  ASSERT_TRUE(wait([&] { return module_->count(DM_RESET_CMPL_IND) == 1; }));
  auto command = [](Bytes cmd) {
    cmd.resize(7, 0xEE);  // the glue always sends 7 bytes
    EXPECT_TRUE(ble_host::HciTransport::write(cmd.data(), cmd.size()));
    EXPECT_TRUE(ble_host::HciTransport::reply_ready());
    uint8_t buf[256];
    size_t n = ble_host::HciTransport::read(buf, sizeof buf);
    return Bytes(buf, buf + n);
  };
  ble::SimRadio tester_radio(3);
  ble::Dtm tester(tester_radio);

  // The module transmits on RF channel 0 with 37-byte payloads; the tester
  // counts what it receives.
  ASSERT_TRUE(tester.start_rx(0));
  EXPECT_EQ(command({0x01, 0x1E, 0x20, 0x03, 0x00, 37, 0x00}),
            (Bytes{0x04, 0x0E, 0x04, 0x01, 0x1E, 0x20, 0x00}));
  sim::run_until(sim::now() + 99900);  // between two packets
  Bytes end = command({0x01, 0x1F, 0x20, 0x00});
  uint16_t received = tester.end();
  ASSERT_EQ(end.size(), 9u);
  EXPECT_EQ(Bytes(end.begin(), end.begin() + 7), (Bytes{0x04, 0x0E, 0x06, 0x01, 0x1F, 0x20, 0x00}));
  const uint16_t sent = static_cast<uint16_t>(end[7] | (end[8] << 8));
  EXPECT_EQ(ble::dtm_packet_interval_us(37), 625u);
  EXPECT_EQ(ble::dtm_packet_interval_us(38), 1250u);
  EXPECT_EQ(sent, 99900 / 625 + 1) << "one at the start, then one every 625 us";
  EXPECT_EQ(received, sent);

  // The module receives on RF channel 5 what the tester sends.
  EXPECT_EQ(command({0x01, 0x1D, 0x20, 0x01, 0x05}),
            (Bytes{0x04, 0x0E, 0x04, 0x01, 0x1D, 0x20, 0x00}));
  ASSERT_TRUE(tester.start_tx(5, 10, 2));
  sim::run_until(sim::now() + 50300);
  uint16_t tester_sent = tester.end();
  sim::run_until(sim::now() + 2000);
  end = command({0x01, 0x1F, 0x20, 0x00});
  ASSERT_EQ(end.size(), 9u);
  EXPECT_GT(tester_sent, 0);
  EXPECT_EQ(end[7] | (end[8] << 8), tester_sent);

  // Refusals: a test end without a test, an unknown command, a test while
  // advertising.
  EXPECT_EQ(command({0x01, 0x1F, 0x20, 0x00}),
            (Bytes{0x04, 0x0E, 0x06, 0x01, 0x1F, 0x20, 0x0C, 0x00, 0x00}));
  EXPECT_EQ(command({0x01, 0x34, 0x12, 0x00}), (Bytes{0x04, 0x0E, 0x04, 0x01, 0x34, 0x12, 0x01}));
  advertise();
  EXPECT_EQ(command({0x01, 0x1D, 0x20, 0x01, 0x05}),
            (Bytes{0x04, 0x0E, 0x04, 0x01, 0x1D, 0x20, 0x0C}));
  uint8_t junk[3] = {0x02, 0x00, 0x00};
  EXPECT_FALSE(ble_host::HciTransport::write(junk, 3));

  // After the tests the link layer has its radio back.
  ASSERT_TRUE(phone_->start_scan(false));
  ASSERT_TRUE(wait([&] { return phone_->device(address()) != nullptr; }));
}

}  // namespace
