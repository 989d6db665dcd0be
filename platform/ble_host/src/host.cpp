// The BLE host stack stand-in: see ble_host.h.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "ble_host.h"
#include "sim/ble_dtm.h"
#include "sim/ble_ll.h"
#include "sim/ble_ll_queue.h"
#include "sim/ble_peripheral.h"
#include "sim/ble_radio.h"
#include "sim/sim.h"

namespace ble = sim::ble;

hciCoreCb_t hciCoreCb;
appAdvCfg_t* pAppAdvCfg;
appSlaveCfg_t* pAppSlaveCfg;
appSecCfg_t* pAppSecCfg;
appUpdateCfg_t* pAppUpdateCfg;
appMasterCfg_t* pAppMasterCfg;
smpCfg_t* pSmpCfg;

namespace {

constexpr dmConnId_t kConnId = 1;  // one connection at a time
constexpr ble::Address kDefaultAddress = {0x01, 0x00, 0x00, 0x22, 0x88, 0x66};
constexpr uint32_t kNotifyTag = 0x10000;  // tag of a notification: this | handle

using ble::LlEvent;

void default_idle_wait(uint64_t deadline) {
  sim::wait_for_change(deadline == ~uint64_t{0} ? sim::kNever : deadline);
}
void default_wake() { sim::signal_change(); }

ble_host::IdleWaitFn idle_wait = default_idle_wait;
ble_host::WakeFn wake = default_wake;
void no_boot() {}
ble_host::BootFn boot = no_boot;

struct Handler {
  wsfEventHandler_t fn;
  wsfEventMask_t events = 0;
  std::deque<void*> msgs;
};

// A stack event for the module's callbacks.
struct StackEvent {
  enum Kind { kDm, kAtt, kCcc } kind;
  dmEvt_t dm;
  attEvt_t att;
  attsCccEvt_t ccc;
  ble::Bytes data;  // what a scan report's pData points at during the callback
};

struct Stack {
  Stack() {
    radio = std::make_unique<ble::SimRadio>(1);
    ll = std::make_unique<ble::LinkLayer>(*radio, kDefaultAddress, false);
    host = std::make_unique<ble::Peripheral>(*ll);
    ll->set_host(&queue);
    dtm = std::make_unique<ble::Dtm>(*radio);
    std::memcpy(hciCoreCb.bdAddr, kDefaultAddress.data(), 6);
    wire();
  }
  ~Stack() {
    for (Handler& h : handlers)
      for (void* m : h.msgs) std::free(m);
  }
  void wire();
  void dm(uint8_t event, uint8_t status, const dmEvt_t* body = nullptr);
  void start_adv_set(int set);
  attsAttr_t* attr(uint16_t handle, attsGroup_t** group);
  void add_group(attsGroup_t* g);
  void refresh(uint16_t handle);
  void scan_report(const ble::LinkLayer::Report& r);
  void end_scan(uint8_t status);

  std::unique_ptr<ble::SimRadio> radio;
  std::unique_ptr<ble::LinkLayer> ll;
  std::unique_ptr<ble::Peripheral> host;
  std::unique_ptr<ble::Dtm> dtm;
  // The link layer's events, kept until the dispatcher runs.
  ble::LlEventQueue queue{[] { wake(); }, true};
  std::vector<Handler> handlers;
  std::vector<wsfTimer_t*> timers;
  std::deque<StackEvent> stack_events;
  dmCback_t dm_cback = nullptr;
  attCback_t att_cback = nullptr;
  attsCccCback_t ccc_cback = nullptr;
  // The module's table itself: entries it fills in later count from then on.
  const attsCccSet_t* ccc_set = nullptr;
  uint8_t ccc_count = 0;
  // Scanning: reports go up while it runs; a duration ends it.
  bool scanning = false;
  uint64_t scan_until = ~uint64_t{0};
  std::vector<attsGroup_t*> groups;
  uint8_t adv_data[4][31] = {};
  uint8_t adv_len[4] = {};
  uint8_t adv_type = DM_ADV_CONN_UNDIRECT;
  uint8_t adv_mode = APP_MODE_NONE;
  int adv_set = 0;
  bool advertising = false;
  bool bondable = false;
  bool reset_pending = false;
  bool connected = false;
  bool have_pending_addr = false;
  ble::Address pending_addr = {};
  std::deque<std::vector<uint8_t>> hci_replies;
};

std::unique_ptr<Stack> the_stack;

Stack& stack() {
  if (!the_stack) the_stack = std::make_unique<Stack>();
  return *the_stack;
}

uint8_t ll_adv_type(uint8_t t) {
  if (t == DM_ADV_NONCONN_UNDIRECT) return ble::kAdvNonconnInd;
  if (t == DM_ADV_SCAN_UNDIRECT) return ble::kAdvScanInd;
  return ble::kAdvInd;
}

void Stack::dm(uint8_t event, uint8_t status, const dmEvt_t* body) {
  StackEvent e{};
  e.kind = StackEvent::kDm;
  if (body) e.dm = *body;
  e.dm.hdr.event = event;
  e.dm.hdr.status = status;
  if (!e.dm.hdr.param) e.dm.hdr.param = connected ? kConnId : DM_CONN_ID_NONE;
  stack_events.push_back(e);
}

attsAttr_t* Stack::attr(uint16_t handle, attsGroup_t** group) {
  for (attsGroup_t* g : groups)
    if (handle >= g->startHandle && handle <= g->endHandle) {
      if (group) *group = g;
      return &g->pAttr[handle - g->startHandle];
    }
  return nullptr;
}

void Stack::refresh(uint16_t handle) {
  attsAttr_t* a = attr(handle, nullptr);
  ble::Attribute* s = host->att().find(handle);
  if (!a || !s || (a->settings & ATTS_SET_CCC)) return;
  uint16_t len = a->pLen ? *a->pLen : a->maxLen;
  len = std::min(len, a->maxLen);
  s->value.assign(a->pValue, a->pValue + len);
}

// HCI's advertising report event types.
uint8_t report_event_type(uint8_t pdu_type) {
  switch (pdu_type) {
    case ble::kAdvInd:
      return 0;
    case ble::kAdvDirectInd:
      return 1;
    case ble::kAdvScanInd:
      return 2;
    case ble::kAdvNonconnInd:
      return 3;
    default:
      return 4;  // scan response
  }
}

void Stack::scan_report(const ble::LinkLayer::Report& r) {
  if (!scanning) return;
  StackEvent e{};
  e.kind = StackEvent::kDm;
  e.dm.hdr.event = DM_SCAN_REPORT_IND;
  e.dm.scanReport.eventType = report_event_type(r.type);
  e.dm.scanReport.addrType = r.random ? 1 : 0;
  std::memcpy(e.dm.scanReport.addr, r.address.data(), 6);
  e.dm.scanReport.rssi = static_cast<int8_t>(std::clamp<int16_t>(r.rssi_dbm, -127, 20));
  e.data.assign(r.data.begin(), r.data.begin() + std::min<size_t>(r.data.size(), 31));
  e.dm.scanReport.len = static_cast<uint8_t>(e.data.size());
  stack_events.push_back(std::move(e));
}

void Stack::end_scan(uint8_t status) {
  scanning = false;
  scan_until = ~uint64_t{0};
  dm(DM_SCAN_STOP_IND, status);
}

void Stack::add_group(attsGroup_t* g) {
  groups.erase(std::remove(groups.begin(), groups.end(), g), groups.end());
  groups.push_back(g);
  host->att().remove(g->startHandle, g->endHandle);
  for (uint16_t h = g->startHandle; h <= g->endHandle && h >= g->startHandle; ++h) {
    const attsAttr_t& a = g->pAttr[h - g->startHandle];
    ble::Attribute s;
    s.handle = h;
    const size_t uuid_len = (a.settings & ATTS_SET_UUID_128) ? 16 : 2;
    s.type.assign(a.pUuid, a.pUuid + uuid_len);
    s.max_len = a.maxLen;
    s.variable = a.settings & ATTS_SET_VARIABLE_LEN;
    s.permissions = static_cast<uint8_t>(
        ((a.permissions & ATTS_PERMIT_READ) ? ble::Attribute::kRead : 0) |
        ((a.permissions & ATTS_PERMIT_WRITE) ? ble::Attribute::kWrite : 0) |
        ((a.permissions & ATTS_PERMIT_READ_ENC) ? ble::Attribute::kReadEncrypted : 0) |
        ((a.permissions & ATTS_PERMIT_WRITE_ENC) ? ble::Attribute::kWriteEncrypted : 0));
    s.ccc = a.settings & ATTS_SET_CCC;
    s.read_callback = !s.ccc;
    s.write_callback = !s.ccc;
    if (s.ccc) {
      s.value = {0, 0};
    } else {
      uint16_t len = a.pLen ? *a.pLen : a.maxLen;
      s.value.assign(a.pValue, a.pValue + std::min(len, a.maxLen));
    }
    host->att().add(s);
    if (h == 0xFFFF) break;
  }
}

void Stack::start_adv_set(int set) {
  ble::LinkLayer::AdvParams p;
  p.type = ll_adv_type(adv_type);
  const bool disc = adv_mode != APP_MODE_CONNECTABLE;
  const int a = disc ? APP_ADV_DATA_DISCOVERABLE : APP_ADV_DATA_CONNECTABLE;
  const int s = disc ? APP_SCAN_DATA_DISCOVERABLE : APP_SCAN_DATA_CONNECTABLE;
  p.adv_data.assign(adv_data[a], adv_data[a] + adv_len[a]);
  p.scan_rsp_data.assign(adv_data[s], adv_data[s] + adv_len[s]);
  uint16_t interval = pAppAdvCfg ? pAppAdvCfg->advInterval[set] : 1600;
  p.interval = std::max<uint16_t>(interval, 32);
  p.duration_us = pAppAdvCfg ? pAppAdvCfg->advDuration[set] * uint64_t{1000} : 0;
  ll->stop_advertising();
  adv_set = set;
  if (!ll->start_advertising(p)) {
    advertising = false;
    dm(DM_ADV_STOP_IND, 0x0C);
    return;
  }
  advertising = true;
  dm(DM_ADV_START_IND, 0);
}

void Stack::wire() {
  ble::AttServer& att = host->att();
  att.set_local_mtu(247);
  host->on_connected = [this](const ble::LinkLayer::ConnInfo& c) {
    connected = true;
    advertising = false;
    host->pairing().set_responder(pSmpCfg ? pSmpCfg->ioCap : SMP_IO_NO_IN_NO_OUT,
                                  pAppSecCfg ? pAppSecCfg->auth : DM_AUTH_BOND_FLAG);
    dmEvt_t e{};
    e.hdr.param = kConnId;
    e.connOpen.handle = 0;
    e.connOpen.role = 1;  // slave
    e.connOpen.addrType = c.peer_random ? 1 : 0;
    std::memcpy(e.connOpen.peerAddr, c.peer.data(), 6);
    e.connOpen.connInterval = c.params.interval;
    e.connOpen.connLatency = c.params.latency;
    e.connOpen.supTimeout = c.params.timeout;
    dm(DM_CONN_OPEN_IND, 0, &e);
  };
  host->on_disconnected = [this](uint8_t reason) {
    dmEvt_t e{};
    e.hdr.param = kConnId;
    e.connClose.reason = reason;
    connected = false;
    dm(DM_CONN_CLOSE_IND, reason, &e);
  };
  host->on_connection_updated = [this](const ble::ConnectionParams& p) {
    dmEvt_t e{};
    e.hdr.param = kConnId;
    e.connUpdate.connInterval = p.interval;
    e.connUpdate.connLatency = p.latency;
    e.connUpdate.supTimeout = p.timeout;
    dm(DM_CONN_UPDATE_IND, 0, &e);
  };
  host->on_advertising_ended = [this](uint8_t) {
    if (!advertising) return;
    if (adv_set < 2 && pAppAdvCfg && pAppAdvCfg->advInterval[adv_set + 1])
      return start_adv_set(adv_set + 1);
    advertising = false;
    dm(DM_ADV_STOP_IND, 0);
  };
  host->on_sent = [this](uint32_t tag) {
    if (!(tag & kNotifyTag)) return;
    StackEvent e{};
    e.kind = StackEvent::kAtt;
    e.att.hdr.param = kConnId;
    e.att.hdr.event = ATTS_HANDLE_VALUE_CNF;
    e.att.handle = static_cast<uint16_t>(tag);
    stack_events.push_back(e);
  };
  host->on_passkey_request = [this] {
    dmEvt_t e{};
    e.hdr.param = kConnId;
    const uint8_t io = pSmpCfg ? pSmpCfg->ioCap : SMP_IO_NO_IN_NO_OUT;
    e.authReq.display = io == SMP_IO_DISP_ONLY || io == SMP_IO_DISP_YES_NO || io == SMP_IO_KEY_DISP;
    dm(DM_SEC_AUTH_REQ_IND, 0, &e);
  };
  host->on_pairing_done = [this](uint8_t status) {
    dmEvt_t e{};
    e.hdr.param = kConnId;
    if (status == ble::kSuccess) {
      dm(DM_SEC_ENCRYPT_IND, 0, &e);
      e.pairCmpl.auth =
          static_cast<uint8_t>((pAppSecCfg ? pAppSecCfg->auth : 0) |
                               (host->pairing().passkey_entry() ? DM_AUTH_MITM_FLAG : 0));
      dm(DM_SEC_PAIR_CMPL_IND, 0, &e);
    } else {
      dm(DM_SEC_PAIR_FAIL_IND, status, &e);
    }
  };
  att.on_mtu = [this](uint16_t mtu) {
    StackEvent e{};
    e.kind = StackEvent::kAtt;
    e.att.hdr.param = kConnId;
    e.att.hdr.event = ATT_MTU_UPDATE_IND;
    e.att.mtu = mtu;
    stack_events.push_back(e);
  };
  att.on_ccc = [this](uint16_t handle, uint16_t value) {
    for (size_t i = 0; i < ccc_count; ++i) {
      if (ccc_set[i].handle == 0 || ccc_set[i].handle != handle) continue;
      StackEvent e{};
      e.kind = StackEvent::kCcc;
      e.ccc.hdr.param = kConnId;
      e.ccc.hdr.event = ATTS_CCC_STATE_IND;
      e.ccc.handle = handle;
      e.ccc.value = value;
      e.ccc.idx = static_cast<uint8_t>(i);
      stack_events.push_back(e);
    }
  };
  att.on_read = [this](uint16_t handle) {
    attsGroup_t* g = nullptr;
    attsAttr_t* a = attr(handle, &g);
    if (a && (a->settings & ATTS_SET_READ_CBACK) && g->readCback)
      g->readCback(kConnId, handle, ATT_PDU_READ_REQ, 0, a);
    refresh(handle);
  };
  att.on_write = [this](uint16_t handle, uint8_t op, uint16_t offset, const uint8_t* d,
                        size_t n) -> uint8_t {
    attsGroup_t* g = nullptr;
    attsAttr_t* a = attr(handle, &g);
    if (!a) return ble::kAttInvalidHandle;
    if ((a->settings & ATTS_SET_WRITE_CBACK) && g->writeCback)
      return g->writeCback(kConnId, handle, op, offset, static_cast<uint16_t>(n),
                           const_cast<uint8_t*>(d), a);
    if (n > a->maxLen) return ble::kAttInvalidLength;
    std::memcpy(a->pValue, d, n);
    if (a->pLen) *a->pLen = static_cast<uint16_t>(n);
    return 0;
  };
}

// ------------------------------------------------------------ dispatcher --

bool run_once() {
  Stack& s = stack();
  bool did = false;
  while (!s.queue.events.empty()) {
    LlEvent e = std::move(s.queue.events.front());
    s.queue.events.pop_front();
    did = true;
    if (ble::deliver_link_event(e, *s.host)) continue;
    switch (e.kind) {
      case LlEvent::kReport:
        s.scan_report(e.report);
        break;
      default:  // the link's own, delivered above
        break;
    }
  }
  if (s.scanning && s.scan_until <= sim::now()) {
    did = true;
    s.ll->stop_scanning();
    s.end_scan(0);
  }
  if (s.reset_pending) {
    s.reset_pending = false;
    did = true;
    // The controller starts afresh: what it had not yet reported is gone,
    // a connection ends here (the peer times out).
    s.dtm->end();
    s.ll->attach_radio();
    s.ll->reset();
    s.queue.events.clear();
    s.advertising = false;
    if (s.scanning) s.end_scan(0);
    if (s.connected) s.host->ll_disconnected(ble::kLocalHostTerminated);
    if (s.have_pending_addr) {
      s.have_pending_addr = false;
      s.ll->set_address(s.pending_addr, false);
      std::memcpy(hciCoreCb.bdAddr, s.pending_addr.data(), 6);
    }
    s.dm(DM_RESET_CMPL_IND, 0);
  }
  const uint64_t now = sim::now();
  for (size_t i = 0; i < s.timers.size(); ++i) {
    wsfTimer_t* t = s.timers[i];
    if (!t->active || t->expiry_us > now) continue;
    t->active = false;
    s.timers.erase(s.timers.begin() + static_cast<long>(i));
    did = true;
    if (t->handlerId < s.handlers.size() && s.handlers[t->handlerId].fn)
      s.handlers[t->handlerId].fn(0, &t->msg);
    break;  // the handler may have changed the list
  }
  while (!s.stack_events.empty()) {
    StackEvent e = s.stack_events.front();
    s.stack_events.pop_front();
    did = true;
    if (e.kind == StackEvent::kDm && e.dm.hdr.event == DM_SCAN_REPORT_IND)
      e.dm.scanReport.pData = e.data.data();
    if (e.kind == StackEvent::kDm && s.dm_cback) s.dm_cback(&e.dm);
    if (e.kind == StackEvent::kAtt && s.att_cback) s.att_cback(&e.att);
    if (e.kind == StackEvent::kCcc && s.ccc_cback) s.ccc_cback(&e.ccc);
  }
  for (size_t i = 0; i < s.handlers.size(); ++i) {
    Handler& h = s.handlers[i];
    if (h.events) {
      wsfEventMask_t ev = h.events;
      h.events = 0;
      did = true;
      if (h.fn) h.fn(ev, nullptr);
    }
    while (!s.handlers[i].msgs.empty()) {
      void* m = s.handlers[i].msgs.front();
      s.handlers[i].msgs.pop_front();
      did = true;
      if (s.handlers[i].fn) s.handlers[i].fn(0, static_cast<wsfMsgHdr_t*>(m));
      std::free(m);
    }
  }
  return did;
}

}  // namespace

// ------------------------------------------------------------------- OS ----

void WsfOsInit() {}

wsfHandlerId_t WsfOsSetNextHandler(wsfEventHandler_t handler) {
  Stack& s = stack();
  s.handlers.push_back({handler, 0, {}});
  return static_cast<wsfHandlerId_t>(s.handlers.size() - 1);
}

void WsfSetEvent(wsfHandlerId_t id, wsfEventMask_t event) {
  Stack& s = stack();
  if (id < s.handlers.size()) s.handlers[id].events |= event;
  wake();
}

void* WsfMsgAlloc(uint16_t len) {
  return std::calloc(1, len < sizeof(wsfMsgHdr_t) ? sizeof(wsfMsgHdr_t) : len);
}

void WsfMsgFree(void* msg) { std::free(msg); }

void WsfMsgSend(wsfHandlerId_t id, void* msg) {
  Stack& s = stack();
  if (id >= s.handlers.size()) {
    std::free(msg);
    return;
  }
  s.handlers[id].msgs.push_back(msg);
  wake();
}

void WsfTimerInit() {}

void WsfTimerStartMs(wsfTimer_t* t, uint32_t ms) {
  Stack& s = stack();
  t->expiry_us = sim::now() + uint64_t{ms} * 1000;
  t->active = true;
  if (std::find(s.timers.begin(), s.timers.end(), t) == s.timers.end()) s.timers.push_back(t);
  wake();
}

void WsfTimerStop(wsfTimer_t* t) {
  Stack& s = stack();
  t->active = false;
  s.timers.erase(std::remove(s.timers.begin(), s.timers.end(), t), s.timers.end());
}

uint16_t WsfBufInit(uint16_t bufMemLen, uint8_t*, uint8_t numPools, wsfBufPoolDesc_t* pDesc) {
  uint32_t need = 0;
  for (uint8_t i = 0; i < numPools; ++i) need += uint32_t{pDesc[i].len} * pDesc[i].num + 16;
  return need > bufMemLen ? 0 : static_cast<uint16_t>(need);
}

void wsfOsDispatcher() {
  bool did = false;
  while (run_once()) did = true;
  if (!did) idle_wait(ble_host::next_due_us());
}

void SecInit() {}
void SecAesInit() {}
void SecCmacInit() {}
void SecEccInit() {}

void HciHandler(wsfEventMask_t, wsfMsgHdr_t*) {}
void DmHandler(wsfEventMask_t, wsfMsgHdr_t*) {}
void L2cSlaveHandler(wsfEventMask_t, wsfMsgHdr_t*) {}
void L2cHandler(wsfEventMask_t, wsfMsgHdr_t*) {}
void AttHandler(wsfEventMask_t, wsfMsgHdr_t*) {}
void SmpHandler(wsfEventMask_t, wsfMsgHdr_t*) {}
void AppHandler(wsfEventMask_t, wsfMsgHdr_t*) {}
void HciDrvHandler(wsfEventMask_t, wsfMsgHdr_t*) {}
void HciHandlerInit(wsfHandlerId_t) {}
void DmHandlerInit(wsfHandlerId_t) {}
void L2cSlaveHandlerInit(wsfHandlerId_t) {}
void L2cHandlerInit(wsfHandlerId_t) {}
void AttHandlerInit(wsfHandlerId_t) {}
void SmpHandlerInit(wsfHandlerId_t) {}
void AppHandlerInit(wsfHandlerId_t) {}
void HciDrvHandlerInit(wsfHandlerId_t) {}

// ------------------------------------------------------------------- HCI ---

uint32_t HciDrvRadioBoot(bool) {
  stack();
  boot();
  return 0;
}

void HciDrvIntService() {}
void HciSetMaxRxAclLen(uint16_t) {}

void HciVscSetCustom_BDAddr(uint8_t* bdAddr) {
  Stack& s = stack();
  std::copy(bdAddr, bdAddr + 6, s.pending_addr.begin());
  s.have_pending_addr = true;
}

void hciCoreResetStart() { DmDevReset(); }

void HciVscSetRfPowerLevelEx(int8_t level) { stack().ll->set_tx_power(level); }

// --------------------------------------------------------- device manager --

void DmRegister(dmCback_t cback) { stack().dm_cback = cback; }
void DmConnRegister(uint8_t, dmCback_t) {}

void DmDevReset() {
  Stack& s = stack();
  s.reset_pending = true;
  wake();
}

void DmDevVsInit(uint8_t) {}
void DmAdvInit() {}
void DmScanInit() {}
void DmConnInit() {}
void DmConnSlaveInit() {}
void DmSecInit() {}
void DmSecLescInit() {}
void DmPrivInit() {}
void DmSecSetLocalIrk(uint8_t*) {}

void DmSecAuthRsp(dmConnId_t, uint8_t authDataLen, uint8_t* pAuthData) {
  Stack& s = stack();
  if (authDataLen < 3 || !pAuthData) {
    s.host->pairing().passkey_refused();
    return;
  }
  uint32_t passkey =
      static_cast<uint32_t>(pAuthData[0] | (pAuthData[1] << 8) | (pAuthData[2] << 16));
  s.host->pairing().passkey_reply(passkey);
}

void DmSecGenerateEccKeyReq() {
  Stack& s = stack();
  dmEvt_t e{};
  uint32_t x = 0x9E3779B9u ^ static_cast<uint32_t>(sim::now());
  for (uint8_t& b : e.eccMsg.data.key.privKey) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  for (size_t i = 0; i < 32; ++i) {
    e.eccMsg.data.key.pubKey_x[i] = static_cast<uint8_t>(e.eccMsg.data.key.privKey[i] * 3 + 1);
    e.eccMsg.data.key.pubKey_y[i] = static_cast<uint8_t>(e.eccMsg.data.key.privKey[i] * 5 + 7);
  }
  s.dm(DM_SEC_ECC_KEY_IND, 0, &e);
  wake();
}

void DmSecSetEccKey(secEccKey_t*) {}
void L2cInit() {}
void L2cSlaveInit() {}
void SmprInit() {}
void SmprScInit() {}

// ------------------------------------------------------- attribute server --

void AttRegister(attCback_t cback) { stack().att_cback = cback; }
void AttConnRegister(dmCback_t) {}
void AttsInit() {}
void AttsIndInit() {}
void AttcInit() {}

void AttsCccRegister(uint8_t setLen, attsCccSet_t* pSet, attsCccCback_t cback) {
  Stack& s = stack();
  s.ccc_set = pSet;
  s.ccc_count = pSet ? setLen : 0;
  s.ccc_cback = cback;
}

uint16_t AttsCccGet(dmConnId_t connId, uint8_t idx) {
  Stack& s = stack();
  if (connId != kConnId || !s.connected || idx >= s.ccc_count || s.ccc_set[idx].handle == 0)
    return 0;
  const ble::Attribute* a = s.host->att().find(s.ccc_set[idx].handle);
  if (!a || a->value.size() != 2) return 0;
  return static_cast<uint16_t>(a->value[0] | (a->value[1] << 8));
}

void AttsAddGroup(attsGroup_t* pGroup) {
  if (pGroup && pGroup->pAttr && pGroup->endHandle >= pGroup->startHandle)
    stack().add_group(pGroup);
}

void AttsRemoveGroup(uint16_t startHandle) {
  Stack& s = stack();
  for (size_t i = 0; i < s.groups.size(); ++i)
    if (s.groups[i]->startHandle == startHandle) {
      s.host->att().remove(s.groups[i]->startHandle, s.groups[i]->endHandle);
      s.groups.erase(s.groups.begin() + static_cast<long>(i));
      return;
    }
}

uint8_t AttsSetAttr(uint16_t handle, uint16_t valueLen, uint8_t* pValue) {
  Stack& s = stack();
  attsAttr_t* a = s.attr(handle, nullptr);
  if (!a) return ble::kAttInvalidHandle;
  if (valueLen > a->maxLen) return ble::kAttInvalidLength;
  std::memmove(a->pValue, pValue, valueLen);
  if (a->pLen) *a->pLen = valueLen;
  s.refresh(handle);
  return ATT_SUCCESS;
}

uint8_t AttsGetAttr(uint16_t handle, uint16_t* pLen, uint8_t** pValue) {
  attsAttr_t* a = stack().attr(handle, nullptr);
  if (!a) return ble::kAttInvalidHandle;
  *pLen = a->pLen ? *a->pLen : a->maxLen;
  *pValue = a->pValue;
  return ATT_SUCCESS;
}

void AttsHandleValueNtf(dmConnId_t connId, uint16_t handle, uint16_t valueLen, uint8_t* pValue) {
  Stack& s = stack();
  if (connId != kConnId || !s.connected) return;
  // A notification carries at most ATT_MTU - 3 bytes.
  const uint16_t n = std::min<uint16_t>(valueLen, static_cast<uint16_t>(s.host->att().mtu() - 3));
  s.host->notify(handle, pValue, n, kNotifyTag | handle);
}

void AttsCalculateDbHash() {}

uint16_t AttGetMtu(dmConnId_t) { return stack().host->att().mtu(); }

// --------------------------------------------------- application framework -

void AppMasterInit() {}
void AppSlaveInit() {}
void AppServerInit() {}
void AppDiscInit() {}

void AppScanStart(uint8_t, uint8_t scanType, uint16_t duration) {
  Stack& s = stack();
  if (s.scanning) return;
  ble::LinkLayer::ScanParams p;
  p.active = scanType != 0;
  const uint16_t interval = pAppMasterCfg ? pAppMasterCfg->scanInterval : 160;
  p.interval = std::max<uint16_t>(interval, 4);
  // The controller scans or advertises or keeps a connection, one at a time.
  if (!s.ll->start_scanning(p)) {
    s.dm(DM_SCAN_START_IND, 0x0C);
    wake();
    return;
  }
  s.scanning = true;
  s.scan_until = duration ? sim::now() + uint64_t{duration} * 1000 : ~uint64_t{0};
  s.dm(DM_SCAN_START_IND, 0);
  wake();
}

void AppScanStop() {
  Stack& s = stack();
  if (!s.scanning) return;
  s.ll->stop_scanning();
  s.end_scan(0);
  wake();
}

void AppAdvSetData(uint8_t location, uint8_t len, uint8_t* pData) {
  Stack& s = stack();
  if (location > APP_SCAN_DATA_CONNECTABLE) return;
  len = std::min<uint8_t>(len, 31);
  std::memcpy(s.adv_data[location], pData, len);
  s.adv_len[location] = len;
  if (s.advertising) {
    const bool disc = s.adv_mode != APP_MODE_CONNECTABLE;
    const int a = disc ? APP_ADV_DATA_DISCOVERABLE : APP_ADV_DATA_CONNECTABLE;
    const int r = disc ? APP_SCAN_DATA_DISCOVERABLE : APP_SCAN_DATA_CONNECTABLE;
    s.ll->set_advertising_data(ble::Bytes(s.adv_data[a], s.adv_data[a] + s.adv_len[a]),
                               ble::Bytes(s.adv_data[r], s.adv_data[r] + s.adv_len[r]));
  }
}

void AppSetAdvType(uint8_t advType) { stack().adv_type = advType; }

void AppAdvStart(uint8_t mode) {
  Stack& s = stack();
  s.adv_mode = mode;
  if (s.connected) return;  // one connection at a time: no advertising meanwhile
  s.start_adv_set(0);
  wake();
}

void AppAdvStop() {
  Stack& s = stack();
  s.adv_mode = APP_MODE_NONE;
  if (!s.advertising) return;
  s.ll->stop_advertising();
  s.advertising = false;
  s.dm(DM_ADV_STOP_IND, 0);
  wake();
}

void AppSetBondable(bool bondable) { stack().bondable = bondable; }

void AppSlaveSecurityReq(dmConnId_t connId) {
  Stack& s = stack();
  if (connId == kConnId && s.connected && pAppSecCfg && pAppSecCfg->initiateSec)
    s.host->request_security(pAppSecCfg->auth);
}

void AppHandleNumericComparison(dmEvt_t*) {}

void AppConnClose(dmConnId_t connId) {
  Stack& s = stack();
  if (connId == kConnId && s.connected) s.ll->disconnect(ble::kRemoteUserTerminated);
}

void AppUiAction(uint8_t) {}
void AppServerProcAttMsg(wsfMsgHdr_t*) {}

void AppSlaveProcDmMsg(dmEvt_t* pMsg) {
  Stack& s = stack();
  // After a disconnection the framework advertises again in the mode it
  // was last started in.
  if (pMsg && pMsg->hdr.event == DM_CONN_CLOSE_IND && s.adv_mode != APP_MODE_NONE && !s.connected)
    s.start_adv_set(0);
}

void AppSlaveSecProcDmMsg(dmEvt_t*) {}

// ------------------------------------------------------ GAP/GATT core group -

namespace {

struct CoreGroup {
  uint8_t uuid_primary[2] = {0x00, 0x28};
  uint8_t uuid_char[2] = {0x03, 0x28};
  uint8_t uuid_name[2] = {0x00, 0x2A};
  uint8_t uuid_appearance[2] = {0x01, 0x2A};
  uint8_t uuid_ppcp[2] = {0x04, 0x2A};
  uint8_t uuid_changed[2] = {0x05, 0x2A};
  uint8_t uuid_ccc[2] = {0x02, 0x29};
  uint8_t gap_svc[2] = {0x00, 0x18};
  uint8_t gatt_svc[2] = {0x01, 0x18};
  uint8_t name_decl[5] = {0x02, 0x03, 0x00, 0x00, 0x2A};
  uint8_t name[30] = {};
  uint16_t name_len = 0;
  uint8_t app_decl[5] = {0x02, 0x05, 0x00, 0x01, 0x2A};
  uint8_t appearance[2] = {0, 0};
  uint8_t ppcp_decl[5] = {0x02, 0x07, 0x00, 0x04, 0x2A};
  uint8_t ppcp[8] = {};
  uint8_t changed_decl[5] = {0x20, 0x12, 0x00, 0x05, 0x2A};
  uint8_t changed[4] = {};
  uint8_t ccc[2] = {};
  uint16_t two = 2, five = 5, four = 4, eight = 8, ccc_len = 2;
  attsAttr_t gap[7];
  attsAttr_t gatt[4];
  attsGroup_t gap_group{};
  attsGroup_t gatt_group{};
  CoreGroup() {
    gap[0] = {uuid_primary, gap_svc, &two, 2, 0, ATTS_PERMIT_READ};
    gap[1] = {uuid_char, name_decl, &five, 5, 0, ATTS_PERMIT_READ};
    gap[2] = {uuid_name, name, &name_len, sizeof name, ATTS_SET_VARIABLE_LEN, ATTS_PERMIT_READ};
    gap[3] = {uuid_char, app_decl, &five, 5, 0, ATTS_PERMIT_READ};
    gap[4] = {uuid_appearance, appearance, &two, 2, 0, ATTS_PERMIT_READ};
    gap[5] = {uuid_char, ppcp_decl, &five, 5, 0, ATTS_PERMIT_READ};
    gap[6] = {uuid_ppcp, ppcp, &eight, 8, 0, ATTS_PERMIT_READ};
    gatt[0] = {uuid_primary, gatt_svc, &two, 2, 0, ATTS_PERMIT_READ};
    gatt[1] = {uuid_char, changed_decl, &five, 5, 0, ATTS_PERMIT_READ};
    gatt[2] = {uuid_changed, changed, &four, 4, 0, 0};
    gatt[3] = {uuid_ccc, ccc, &ccc_len, 2, ATTS_SET_CCC, ATTS_PERMIT_READ | ATTS_PERMIT_WRITE};
    gap_group = {nullptr, gap, nullptr, nullptr, 0x0001, 0x0007};
    gatt_group = {nullptr, gatt, nullptr, nullptr, 0x0010, 0x0013};
  }
};
std::unique_ptr<CoreGroup> core;

CoreGroup& core_group() {
  if (!core) core = std::make_unique<CoreGroup>();
  return *core;
}

}  // namespace

void SvcCoreGattCbackRegister(attsReadCback_t readCback, attsWriteCback_t writeCback) {
  CoreGroup& c = core_group();
  c.gatt_group.readCback = readCback;
  c.gatt_group.writeCback = writeCback;
}

void SvcCoreSetDevName(const uint8_t* pName, uint8_t len) {
  CoreGroup& c = core_group();
  c.name_len = std::min<uint16_t>(len, sizeof c.name);
  std::memcpy(c.name, pName, c.name_len);
  if (the_stack) the_stack->refresh(GAP_DN_HDL);
}

void SvcCoreSetPPCP(uint16_t minInterval, uint16_t maxInterval, uint16_t latency,
                    uint16_t timeout) {
  CoreGroup& c = core_group();
  const uint16_t v[4] = {minInterval, maxInterval, latency, timeout};
  for (int i = 0; i < 4; ++i) {
    c.ppcp[2 * i] = static_cast<uint8_t>(v[i]);
    c.ppcp[2 * i + 1] = static_cast<uint8_t>(v[i] >> 8);
  }
  if (the_stack) the_stack->refresh(0x0007);
}

void SvcCoreAddGroup() {
  CoreGroup& c = core_group();
  AttsAddGroup(&c.gap_group);
  AttsAddGroup(&c.gatt_group);
}

void SvcCoreRemoveGroup() {
  AttsRemoveGroup(0x0001);
  AttsRemoveGroup(0x0010);
}

// ------------------------------------------------------------ the platform -

namespace ble_host {

bool dispatch_pending() {
  bool did = false;
  while (run_once()) did = true;
  return did;
}

namespace test_peer {

void connected() {
  ble::LinkLayer::ConnInfo c{};
  c.role = ble::LinkLayer::Role::kPeripheral;
  c.peer = {0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
  c.params.interval = 24;
  c.params.timeout = 400;
  stack().queue.ll_connected(c);
}
void acl(uint8_t llid, const uint8_t* data, size_t len) { stack().queue.ll_acl(llid, data, len); }
void completed(int n) { stack().queue.ll_completed(n); }
void encryption_changed(uint8_t status) { stack().queue.ll_encryption_changed(status); }
void disconnected(uint8_t reason) { stack().queue.ll_disconnected(reason); }

}  // namespace test_peer

void set_idle_wait(IdleWaitFn fn) { idle_wait = fn ? fn : default_idle_wait; }
void set_wake(WakeFn fn) { wake = fn ? fn : default_wake; }
void set_boot(BootFn fn) { boot = fn ? fn : no_boot; }

uint64_t next_due_us() {
  if (!the_stack) return ~uint64_t{0};
  Stack& s = *the_stack;
  if (!s.queue.events.empty() || !s.stack_events.empty() || s.reset_pending) return sim::now();
  uint64_t t = ~uint64_t{0};
  for (const wsfTimer_t* timer : s.timers)
    if (timer->active) t = std::min(t, timer->expiry_us);
  if (s.scanning) t = std::min(t, s.scan_until);
  for (const Handler& h : s.handlers)
    if (h.events || !h.msgs.empty()) return sim::now();
  return t;
}

void reset() {
  the_stack.reset();
  core.reset();
  idle_wait = default_idle_wait;
  wake = default_wake;
  pAppAdvCfg = nullptr;
  pAppSlaveCfg = nullptr;
  pAppSecCfg = nullptr;
  pAppUpdateCfg = nullptr;
  pAppMasterCfg = nullptr;
  pSmpCfg = nullptr;
  std::memset(&hciCoreCb, 0, sizeof hciCoreCb);
}

// ------------------------------------------------------ raw HCI (DTM) ---

namespace {

void command_complete(uint16_t opcode, uint8_t status, const uint8_t* extra = nullptr,
                      size_t extra_len = 0) {
  std::vector<uint8_t> r = {0x04,
                            0x0E,
                            static_cast<uint8_t>(4 + extra_len),
                            0x01,
                            static_cast<uint8_t>(opcode),
                            static_cast<uint8_t>(opcode >> 8),
                            status};
  if (extra_len) r.insert(r.end(), extra, extra + extra_len);
  stack().hci_replies.push_back(r);
}

}  // namespace

bool HciTransport::write(const uint8_t* data, size_t len) {
  if (len < 4 || data[0] != 0x01 || len < 4u + data[3]) return false;
  Stack& s = stack();
  const uint16_t opcode = static_cast<uint16_t>(data[1] | (data[2] << 8));
  const uint8_t* p = data + 4;
  const uint8_t plen = data[3];
  constexpr uint8_t kDisallowed = 0x0C, kInvalid = 0x12, kUnknown = 0x01;
  switch (opcode) {
    case 0x0C03:  // reset
      if (s.dtm->active()) {
        s.dtm->end();
        s.ll->attach_radio();
      }
      command_complete(opcode, 0);
      break;
    case 0x201D:    // LE receiver test
    case 0x201E: {  // LE transmitter test
      const bool tx = opcode == 0x201E;
      if (plen < (tx ? 3 : 1)) {
        command_complete(opcode, kInvalid);
        break;
      }
      if (s.dtm->active() || s.ll->state() != ble::LinkLayer::State::kStandby) {
        command_complete(opcode, kDisallowed);
        break;
      }
      bool ok = tx ? s.dtm->start_tx(p[0], p[1], p[2], s.ll->tx_power()) : s.dtm->start_rx(p[0]);
      if (!ok) s.ll->attach_radio();
      command_complete(opcode, ok ? 0 : kInvalid);
      break;
    }
    case 0x201F: {  // LE test end
      if (!s.dtm->active()) {
        const uint8_t zero[2] = {0, 0};
        command_complete(opcode, kDisallowed, zero, 2);
        break;
      }
      uint16_t n = s.dtm->end();
      s.ll->attach_radio();
      const uint8_t count[2] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
      command_complete(opcode, 0, count, 2);
      break;
    }
    default:
      command_complete(opcode, kUnknown);
      break;
  }
  return true;
}

bool HciTransport::reply_ready() { return the_stack && !the_stack->hci_replies.empty(); }

size_t HciTransport::read(uint8_t* out, size_t max) {
  if (!reply_ready()) return 0;
  std::vector<uint8_t> r = std::move(the_stack->hci_replies.front());
  the_stack->hci_replies.pop_front();
  size_t n = std::min(max, r.size());
  std::memcpy(out, r.data(), n);
  return n;
}

}  // namespace ble_host
