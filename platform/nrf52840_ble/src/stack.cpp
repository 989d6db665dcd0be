// The BLE protocol stack stand-in: enabling, the GAP and GATT server calls
// and the events, on the simulated link layer and peripheral host. Link
// layer callbacks are queued and handed to the host from the stack's event
// interrupt, where the resulting stack events go to the observers.
#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

#include "app_error.h"
#include "internal.h"
#include "nrf52840_ble_sim.h"
#include "nrf52840_sim.h"
#include "nrf_ble_gatt.h"
#include "nrf_sdh.h"
#include "nrf_sdh_ble.h"
#include "sim/ble_ll_queue.h"
#include "sim/ble_radio.h"
#include "sim/model.h"
#include "sim/sim.h"

namespace ble = sim::ble;

namespace nrfble {
namespace {

constexpr uint16_t kLinkHandle = 0;        // the stack's first (and only) connection
constexpr uint8_t kAdvHandle = 0;          // its one advertising set
constexpr uint16_t kFirstUserHandle = 12;  // after the GAP and GATT services
constexpr uint32_t kNotifyTag = 0x10000;
constexpr size_t kMaxVsBases = 10;

struct Observer {
  uint8_t prio;
  nrf_sdh_ble_evt_handler_t handler;
  void* context;
};

std::vector<Observer>& observers() {
  static std::vector<Observer> v;
  return v;
}

using ble::LlEvent;

// The scanner's link layer reports into the stack's queue.
class ScanHost : public ble::LinkLayer::Host {
 public:
  explicit ScanHost(ble::LlEventQueue& q) : queue(q) {}
  void ll_report(const ble::LinkLayer::Report& r) override { queue.report(r); }
  ble::LlEventQueue& queue;
};

// What the stack's event interrupt hands out: an event, or a module's
// deferred work.
struct Out {
  std::vector<uint32_t> evt;  // a ble_evt_t (word-aligned)
  std::function<void()> fn;
};

// What the stack knows of an attribute it added.
struct AttrInfo {
  ble_uuid_t uuid{};
  bool rd_auth = false;
  bool wr_auth = false;
  uint16_t cccd = 0;  // of a characteristic value
  bool is_cccd = false;
};

// An authorisation request answered while the peer's request waits.
struct PendingAuth {
  bool active = false;
  bool replied = false;
  ble_gatts_rw_authorize_reply_params_t reply{};
  ble::Bytes data;
};

ble::Address default_address() {
  const uint32_t w0 = sim::unique_id(0), w1 = sim::unique_id(1) | 0xC000u;
  return {static_cast<uint8_t>(w0),       static_cast<uint8_t>(w0 >> 8),
          static_cast<uint8_t>(w0 >> 16), static_cast<uint8_t>(w0 >> 24),
          static_cast<uint8_t>(w1),       static_cast<uint8_t>(w1 >> 8)};
}

struct Stack {
  Stack()
      : radio(1), ll(radio, default_address(), true), scanner(scan_radio, default_address(), true) {
    ll.set_host(&queue);
    scanner.set_host(&scan_host);
  }
  ~Stack() { end_scan(); }

  void build_host();
  void add_builtin_services();
  uint16_t add_attr(const ble::Bytes& type, const ble::Bytes& value, uint16_t max_len,
                    bool variable, uint8_t perms, const AttrInfo& info);
  ble::Bytes uuid_bytes(const ble_uuid_t& u) const;
  void forward(const LlEvent& e);
  uint8_t authorize(uint8_t type, uint16_t handle, uint8_t op, uint16_t offset, const uint8_t* d,
                    size_t n);
  void deliver_now(std::vector<uint32_t>& evt);
  void report(const ble::LinkLayer::Report& r);
  void end_scan();
  static void on_scan_timeout(void* ctx, uint32_t);
  ble::Bytes queued_write(const ble::Bytes& pdu);

  ble::SimRadio radio;
  ble::LinkLayer ll;
  // The link's callbacks, handed out by the stack's event interrupt.
  ble::LlEventQueue queue{[] { nrfsim::raise_stack_event(); }, false};
  std::unique_ptr<ble::Peripheral> host;
  bool enabled = false;
  int enables = 0;
  std::deque<Out> out;
  std::map<std::string, uint32_t> failures;
  std::vector<uint16_t> log;

  // GAP
  std::string name = "nRF5x";
  uint16_t appearance = 0;
  ble_gap_conn_params_t ppcp{};
  bool have_pending_addr = false;
  ble::Address pending_addr{};
  // advertising
  bool adv_configured = false;
  ble_gap_adv_params_t adv_params{};
  ble::Bytes adv_data, sr_data;
  int8_t adv_tx_power = 0;
  // link
  bool connected = false;
  bool disconnecting = false;
  ble::Address peer{};
  bool peer_random = false;
  bool encrypted = false;
  int hvn_in_flight = 0;
  int hvn_queue = 1;
  uint32_t next_tag = 1;
  bool indication_pending = false;
  // GATT server
  std::vector<std::array<uint8_t, 16>> vs_bases;
  uint16_t next_handle = kFirstUserHandle;
  uint16_t last_service = 0;
  uint16_t last_char_value = 0;
  std::map<uint16_t, AttrInfo> attrs;
  uint16_t gap_name_handle = 3;
  PendingAuth auth;
  // Queued writes of the link.
  struct Prepared {
    uint16_t handle;
    uint16_t offset;
    ble::Bytes data;
  };
  std::vector<Prepared> prepared;
  bool user_mem_asked = false;
  bool user_mem_given = false;
  bool exec_needs_auth = false;
  // security
  std::string static_passkey;
  ble_gap_sec_params_t own{};
  bool have_own = false;
  ble::Bytes stashed_pairing_request;
  std::vector<ble_gap_addr_t> bonds;
  uint32_t passkey_seed = 0x2545F491u;
  // Scanning: the stack schedules a scanner beside advertising and a link;
  // here it has a receiver of its own on the device's air. After each
  // report it pauses until resumed with a buffer for the next one.
  ble::SimRadio scan_radio{1};
  ble::LinkLayer scanner;
  ScanHost scan_host{queue};
  bool scanning = false;
  bool scan_paused = false;
  ble_data_t scan_buffer{};
  sim::EventId scan_timer = 0;
};

std::unique_ptr<Stack> the_stack;

Stack& stack() {
  if (!the_stack) the_stack = std::make_unique<Stack>();
  return *the_stack;
}

void put16(ble::Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

std::vector<uint32_t> make_event(uint16_t id, const void* body, size_t len) {
  const size_t total = offsetof(ble_evt_t, evt) + std::max(len, sizeof(ble_evt_t::evt));
  std::vector<uint32_t> buf((total + 3) / 4, 0);
  auto* e = reinterpret_cast<ble_evt_t*>(buf.data());
  e->header.evt_id = id;
  e->header.evt_len = static_cast<uint16_t>(len);
  std::memcpy(&e->evt, body, len);
  return buf;
}

void call_observers(const std::vector<uint32_t>& buf) {
  const auto* e = reinterpret_cast<const ble_evt_t*>(buf.data());
  stack().log.push_back(e->header.evt_id);
  for (const Observer& o : observers()) o.handler(e, o.context);
}

void Stack::deliver_now(std::vector<uint32_t>& evt) { call_observers(evt); }

// The stack's event interrupt: link layer events to the host, stack events
// to the observers, in order.
void dispatch() {
  if (!the_stack) return;
  Stack& s = *the_stack;
  for (;;) {
    if (!s.out.empty()) {
      Out o = std::move(s.out.front());
      s.out.pop_front();
      if (o.fn)
        o.fn();
      else if (s.enabled)
        call_observers(o.evt);
      continue;
    }
    if (!s.queue.events.empty()) {
      LlEvent e = std::move(s.queue.events.front());
      s.queue.events.pop_front();
      if (s.enabled) s.forward(e);
      continue;
    }
    break;
  }
}

void Stack::forward(const LlEvent& e) {
  if (ble::deliver_link_event(e, *host)) return;
  switch (e.kind) {
    case LlEvent::kReport:
      report(e.report);
      break;
    case LlEvent::kScanTimeout:
      if (scanning) {
        end_scan();
        ble_gap_evt_t g{};
        g.conn_handle = BLE_CONN_HANDLE_INVALID;
        g.params.timeout.src = BLE_GAP_TIMEOUT_SRC_SCAN;
        auto evt = make_event(BLE_GAP_EVT_TIMEOUT, &g, sizeof g);
        deliver_now(evt);
      }
      break;
    default:  // the link's own, delivered above
      break;
  }
}

// An advertising report as the stack gives it: no link (the handle is
// invalid), the data in the buffer of the last scan start, and scanning
// paused until it is resumed.
void Stack::report(const ble::LinkLayer::Report& r) {
  if (!scanning || scan_paused || r.address == ll.address()) return;
  ble_gap_evt_t g{};
  g.conn_handle = BLE_CONN_HANDLE_INVALID;
  ble_gap_evt_adv_report_t& a = g.params.adv_report;
  a.status = 0;
  a.peer_addr.addr_type = r.random ? BLE_GAP_ADDR_TYPE_RANDOM_STATIC : BLE_GAP_ADDR_TYPE_PUBLIC;
  std::memcpy(a.peer_addr.addr, r.address.data(), 6);
  a.rssi = static_cast<int8_t>(std::clamp<int16_t>(r.rssi_dbm, -127, 20));
  const uint16_t len = static_cast<uint16_t>(std::min<size_t>(r.data.size(), scan_buffer.len));
  if (len != 0) std::memcpy(scan_buffer.p_data, r.data.data(), len);
  a.data.p_data = scan_buffer.p_data;
  a.data.len = len;
  scan_paused = true;
  auto evt = make_event(BLE_GAP_EVT_ADV_REPORT, &g, sizeof g);
  deliver_now(evt);
}

void Stack::end_scan() {
  if (scan_timer) sim::cancel(scan_timer);
  scan_timer = 0;
  scanner.stop_scanning();
  scanning = false;
  scan_paused = false;
}

void Stack::on_scan_timeout(void* ctx, uint32_t) {
  auto* s = static_cast<Stack*>(ctx);
  s->scan_timer = 0;
  s->queue.push({LlEvent::kScanTimeout, {}, 0, {}, 0});
}

ble::Bytes Stack::uuid_bytes(const ble_uuid_t& u) const {
  if (u.type >= BLE_UUID_TYPE_VENDOR_BEGIN &&
      static_cast<size_t>(u.type - BLE_UUID_TYPE_VENDOR_BEGIN) < vs_bases.size()) {
    ble::Bytes b(vs_bases[u.type - BLE_UUID_TYPE_VENDOR_BEGIN].begin(),
                 vs_bases[u.type - BLE_UUID_TYPE_VENDOR_BEGIN].end());
    b[12] = static_cast<uint8_t>(u.uuid);
    b[13] = static_cast<uint8_t>(u.uuid >> 8);
    return b;
  }
  return ble::uuid16(u.uuid);
}

uint16_t Stack::add_attr(const ble::Bytes& type, const ble::Bytes& value, uint16_t max_len,
                         bool variable, uint8_t perms, const AttrInfo& info) {
  ble::Attribute a;
  a.handle = next_handle++;
  a.type = type;
  a.value = value;
  a.max_len = max_len;
  a.variable = variable;
  a.permissions = perms;
  a.ccc = info.is_cccd;
  a.write_callback = !info.is_cccd && (perms & ble::Attribute::kWrite);
  a.read_callback = info.rd_auth;
  host->att().add(a);
  attrs[a.handle] = info;
  return a.handle;
}

void Stack::add_builtin_services() {
  // GAP service: device name, appearance, preferred connection parameters;
  // GATT service: service changed (indicate) with its CCCD.
  next_handle = 1;
  const auto decl = [&](uint8_t props, uint16_t value_handle, uint16_t uuid) {
    ble::Bytes v{props};
    put16(v, value_handle);
    put16(v, uuid);
    add_attr(ble::uuid16(ble::kUuidCharacteristic), v, 5, false, ble::Attribute::kRead, {});
  };
  add_attr(ble::uuid16(ble::kUuidPrimaryService), ble::uuid16(0x1800), 2, false,
           ble::Attribute::kRead, {});
  decl(0x02, 3, 0x2A00);
  gap_name_handle = add_attr(ble::uuid16(0x2A00), ble::Bytes(name.begin(), name.end()),
                             BLE_GAP_DEVNAME_MAX_LEN, true, ble::Attribute::kRead, {});
  decl(0x02, 5, 0x2A01);
  add_attr(ble::uuid16(0x2A01), {0, 0}, 2, false, ble::Attribute::kRead, {});
  decl(0x02, 7, 0x2A04);
  add_attr(ble::uuid16(0x2A04), ble::Bytes(8, 0), 8, false, ble::Attribute::kRead, {});
  add_attr(ble::uuid16(ble::kUuidPrimaryService), ble::uuid16(0x1801), 2, false,
           ble::Attribute::kRead, {});
  decl(0x20, 10, 0x2A05);
  add_attr(ble::uuid16(0x2A05), ble::Bytes(4, 0), 4, false, 0, {});
  AttrInfo ccc;
  ccc.is_cccd = true;
  add_attr(ble::uuid16(ble::kUuidCcc), {0, 0}, 2, false,
           ble::Attribute::kRead | ble::Attribute::kWrite, ccc);
  next_handle = kFirstUserHandle;
}

uint8_t Stack::authorize(uint8_t type, uint16_t handle, uint8_t op, uint16_t offset,
                         const uint8_t* d, size_t n) {
  // The request is handed to the observers at once: the peer's request
  // waits for the answer.
  const size_t len =
      offsetof(ble_gatts_evt_t, params) + sizeof(ble_gatts_evt_rw_authorize_request_t) + n;
  std::vector<uint8_t> body(len, 0);
  auto* g = reinterpret_cast<ble_gatts_evt_t*>(body.data());
  g->conn_handle = kLinkHandle;
  auto& r = g->params.authorize_request;
  r.type = type;
  const AttrInfo& info = attrs[handle];
  if (type == BLE_GATTS_AUTHORIZE_TYPE_READ) {
    r.request.read.handle = handle;
    r.request.read.uuid = info.uuid;
    r.request.read.offset = offset;
  } else {
    r.request.write.handle = handle;
    r.request.write.uuid = info.uuid;
    r.request.write.op = op;
    r.request.write.offset = offset;
    r.request.write.len = static_cast<uint16_t>(n);
    if (n) std::memcpy(r.request.write.data, d, n);
  }
  auth = PendingAuth{};
  auth.active = true;
  std::vector<uint32_t> evt = make_event(BLE_GATTS_EVT_RW_AUTHORIZE_REQUEST, body.data(), len);
  deliver_now(evt);
  auth.active = false;
  if (!auth.replied) return ble::kAttRequestNotSupported;
  const ble_gatts_authorize_params_t& p =
      type == BLE_GATTS_AUTHORIZE_TYPE_READ ? auth.reply.params.read : auth.reply.params.write;
  if (p.gatt_status != BLE_GATT_STATUS_SUCCESS) return static_cast<uint8_t>(p.gatt_status);
  if (type == BLE_GATTS_AUTHORIZE_TYPE_READ && p.update) {
    if (ble::Attribute* a = host->att().find(handle)) a->value = auth.data;
  }
  return 0;
}

// Prepared and executed writes. The application is asked for memory at the
// first prepared write of a link; without it the stack queues writes only
// to attributes whose writes it authorises, and asks it to authorise the
// execution as well.
ble::Bytes Stack::queued_write(const ble::Bytes& pdu) {
  const uint8_t op = pdu[0];
  if (op == ble::kAttPrepareWriteReq) {
    if (pdu.size() < 5) return ble::AttServer::error(op, 0, ble::kAttInvalidPdu);
    const uint16_t h = static_cast<uint16_t>(pdu[1] | (pdu[2] << 8));
    const uint16_t offset = static_cast<uint16_t>(pdu[3] | (pdu[4] << 8));
    ble::Attribute* a = host->att().find(h);
    if (!a) return ble::AttServer::error(op, h, ble::kAttInvalidHandle);
    if (!(a->permissions & ble::Attribute::kWrite))
      return ble::AttServer::error(op, h, ble::kAttWriteNotPermitted);
    if ((a->permissions & ble::Attribute::kWriteEncrypted) && !encrypted)
      return ble::AttServer::error(op, h, ble::kAttInsufficientAuthentication);
    if (!user_mem_asked) {
      user_mem_asked = true;
      ble_common_evt_t c{};
      c.conn_handle = kLinkHandle;
      c.params.user_mem_request.type = 1;  // queued writes
      std::vector<uint32_t> evt = make_event(BLE_EVT_USER_MEM_REQUEST, &c, sizeof c);
      deliver_now(evt);
    }
    const uint8_t* d = pdu.data() + 5;
    const size_t n = pdu.size() - 5;
    if (attrs[h].wr_auth) {
      exec_needs_auth = true;
      const uint8_t e =
          authorize(BLE_GATTS_AUTHORIZE_TYPE_WRITE, h, BLE_GATTS_OP_PREP_WRITE_REQ, offset, d, n);
      if (e) return ble::AttServer::error(op, h, e);
    } else if (!user_mem_given) {
      return ble::AttServer::error(op, h, ble::kAttPrepareQueueFull);
    }
    prepared.push_back({h, offset, ble::Bytes(d, d + n)});
    ble::Bytes rsp = pdu;
    rsp[0] = ble::kAttPrepareWriteRsp;
    return rsp;
  }
  const bool write = pdu.size() >= 2 && pdu[1] == 1;
  if (exec_needs_auth) {
    exec_needs_auth = false;
    const uint8_t e =
        authorize(BLE_GATTS_AUTHORIZE_TYPE_WRITE, 0,
                  write ? BLE_GATTS_OP_EXEC_WRITE_REQ_NOW : BLE_GATTS_OP_EXEC_WRITE_REQ_CANCEL, 0,
                  nullptr, 0);
    if (e) {
      prepared.clear();
      return ble::AttServer::error(op, 0, e);
    }
  }
  std::vector<Prepared> parts;
  parts.swap(prepared);
  if (write) {
    for (const Prepared& p : parts) {
      ble::Attribute* a = host->att().find(p.handle);
      if (!a) continue;
      const size_t end = static_cast<size_t>(p.offset) + p.data.size();
      if (p.offset > a->value.size())
        return ble::AttServer::error(op, p.handle, ble::kAttInvalidOffset);
      if (end > a->max_len) return ble::AttServer::error(op, p.handle, ble::kAttInvalidLength);
      if (a->value.size() < end) a->value.resize(end);
      std::copy(p.data.begin(), p.data.end(), a->value.begin() + p.offset);
      const size_t len =
          offsetof(ble_gatts_evt_t, params) + sizeof(ble_gatts_evt_write_t) + p.data.size();
      std::vector<uint8_t> body(len, 0);
      auto* g = reinterpret_cast<ble_gatts_evt_t*>(body.data());
      g->conn_handle = kLinkHandle;
      g->params.write.handle = p.handle;
      g->params.write.uuid = attrs[p.handle].uuid;
      g->params.write.op = BLE_GATTS_OP_EXEC_WRITE_REQ_NOW;
      g->params.write.offset = p.offset;
      g->params.write.len = static_cast<uint16_t>(p.data.size());
      if (!p.data.empty()) std::memcpy(g->params.write.data, p.data.data(), p.data.size());
      post(BLE_GATTS_EVT_WRITE, body.data(), len);
    }
  }
  return {ble::kAttExecuteWriteRsp};
}

void Stack::build_host() {
  host = std::make_unique<ble::Peripheral>(ll, passkey_seed);
  ll.set_host(&queue);
  ble::AttServer& att = host->att();
  att.set_local_mtu(NRF_SDH_BLE_GATT_MAX_MTU_SIZE);
  add_builtin_services();

  host->on_connected = [this](const ble::LinkLayer::ConnInfo& c) {
    connected = true;
    disconnecting = false;
    encrypted = false;
    hvn_in_flight = 0;
    indication_pending = false;
    peer = c.peer;
    peer_random = c.peer_random;
    stashed_pairing_request.clear();
    prepared.clear();
    user_mem_asked = user_mem_given = exec_needs_auth = false;
    ble_gap_evt_t g{};
    g.conn_handle = kLinkHandle;
    auto& cn = g.params.connected;
    cn.peer_addr.addr_type =
        c.peer_random ? BLE_GAP_ADDR_TYPE_RANDOM_STATIC : BLE_GAP_ADDR_TYPE_PUBLIC;
    std::memcpy(cn.peer_addr.addr, c.peer.data(), 6);
    cn.role = BLE_GAP_ROLE_PERIPH;
    cn.conn_params.min_conn_interval = c.params.interval;
    cn.conn_params.max_conn_interval = c.params.interval;
    cn.conn_params.slave_latency = c.params.latency;
    cn.conn_params.conn_sup_timeout = c.params.timeout;
    cn.adv_handle = kAdvHandle;
    post(BLE_GAP_EVT_CONNECTED, &g, sizeof g);
  };
  host->on_disconnected = [this](uint8_t reason) {
    connected = false;
    disconnecting = false;
    encrypted = false;
    hvn_in_flight = 0;
    indication_pending = false;
    if (have_pending_addr) {
      ll.set_address(pending_addr, true);
      have_pending_addr = false;
    }
    ble_gap_evt_t g{};
    g.conn_handle = kLinkHandle;
    g.params.disconnected.reason = reason;
    post(BLE_GAP_EVT_DISCONNECTED, &g, sizeof g);
    defer([] { dfu_link_closed(); });
  };
  host->on_advertising_ended = [](uint8_t) {
    ble_gap_evt_t g{};
    g.conn_handle = BLE_CONN_HANDLE_INVALID;
    g.params.adv_set_terminated.reason = BLE_GAP_EVT_ADV_SET_TERMINATED_REASON_TIMEOUT;
    g.params.adv_set_terminated.adv_handle = kAdvHandle;
    post(BLE_GAP_EVT_ADV_SET_TERMINATED, &g, sizeof g);
  };
  host->on_sent = [this](uint32_t tag) {
    if (!(tag & kNotifyTag)) return;
    if (hvn_in_flight > 0) --hvn_in_flight;
    ble_gatts_evt_t g{};
    g.conn_handle = kLinkHandle;
    g.params.hvn_tx_complete.count = 1;
    post(BLE_GATTS_EVT_HVN_TX_COMPLETE, &g, sizeof g);
  };
  host->on_connection_updated = [](const ble::ConnectionParams& p) {
    ble_gap_evt_t g{};
    g.conn_handle = kLinkHandle;
    auto& c = g.params.conn_param_update.conn_params;
    c.min_conn_interval = c.max_conn_interval = p.interval;
    c.slave_latency = p.latency;
    c.conn_sup_timeout = p.timeout;
    post(BLE_GAP_EVT_CONN_PARAM_UPDATE, &g, sizeof g);
  };
  host->on_passkey_request = [this] {
    if (!have_own || own.io_caps == BLE_GAP_IO_CAPS_NONE) {
      host->pairing().passkey_refused();
      return;
    }
    uint32_t key;
    if (static_passkey.size() == 6) {
      key = static_cast<uint32_t>(std::strtoul(static_passkey.c_str(), nullptr, 10));
    } else {
      passkey_seed = passkey_seed * 1664525u + 1013904223u;
      key = (passkey_seed >> 8) % 1000000u;
    }
    ble_gap_evt_t g{};
    g.conn_handle = kLinkHandle;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%06u", static_cast<unsigned>(key));
    std::memcpy(g.params.passkey_display.passkey, digits, 6);
    post(BLE_GAP_EVT_PASSKEY_DISPLAY, &g, sizeof g);
    host->pairing().passkey_reply(key);
  };
  host->on_pairing_done = [this](uint8_t status) {
    ble_gap_evt_t g{};
    g.conn_handle = kLinkHandle;
    auto& a = g.params.auth_status;
    const bool mitm = host->pairing().passkey_entry();
    if (status == ble::kSuccess) {
      encrypted = true;
      a.auth_status = BLE_GAP_SEC_STATUS_SUCCESS;
      a.bonded = have_own && own.bond;
      a.sm1_levels.lv = mitm ? 3 : 2;
      if (a.bonded) {
        ble_gap_addr_t addr{};
        addr.addr_type = peer_random ? BLE_GAP_ADDR_TYPE_RANDOM_STATIC : BLE_GAP_ADDR_TYPE_PUBLIC;
        std::memcpy(addr.addr, peer.data(), 6);
        const bool known = std::any_of(bonds.begin(), bonds.end(), [&](const ble_gap_addr_t& b) {
          return std::memcmp(b.addr, addr.addr, 6) == 0;
        });
        if (!known) bonds.push_back(addr);
      }
    } else {
      a.auth_status = static_cast<uint8_t>(0x80 | (status & 0x7F));
    }
    post(BLE_GAP_EVT_AUTH_STATUS, &g, sizeof g);
    if (status == ble::kSuccess) {
      ble_gap_evt_t u{};
      u.conn_handle = kLinkHandle;
      u.params.conn_sec_update.sec_mode.sm = 1;
      u.params.conn_sec_update.sec_mode.lv = mitm ? 3 : 2;
      u.params.conn_sec_update.encr_key_size = 16;
      post(BLE_GAP_EVT_CONN_SEC_UPDATE, &u, sizeof u);
    }
  };

  att.on_mtu = [](uint16_t mtu) {
    ble_gatts_evt_t g{};
    g.conn_handle = kLinkHandle;
    g.params.exchange_mtu_request.client_rx_mtu = mtu;
    post(BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST, &g, sizeof g);
  };
  att.on_ccc = [this](uint16_t handle, uint16_t value) {
    const size_t len = offsetof(ble_gatts_evt_t, params) + sizeof(ble_gatts_evt_write_t) + 2;
    std::vector<uint8_t> body(len, 0);
    auto* g = reinterpret_cast<ble_gatts_evt_t*>(body.data());
    g->conn_handle = kLinkHandle;
    g->params.write.handle = handle;
    g->params.write.uuid = attrs[handle].uuid;
    g->params.write.op = BLE_GATTS_OP_WRITE_REQ;
    g->params.write.len = 2;
    g->params.write.data[0] = static_cast<uint8_t>(value);
    g->params.write.data[1] = static_cast<uint8_t>(value >> 8);
    post(BLE_GATTS_EVT_WRITE, body.data(), len);
  };
  att.on_write = [this](uint16_t handle, uint8_t op, uint16_t offset, const uint8_t* d,
                        size_t n) -> uint8_t {
    const uint8_t gop = op == ble::kAttWriteCmd ? BLE_GATTS_OP_WRITE_CMD : BLE_GATTS_OP_WRITE_REQ;
    if (attrs[handle].wr_auth) {
      uint8_t e = authorize(BLE_GATTS_AUTHORIZE_TYPE_WRITE, handle, gop, offset, d, n);
      if (e) return e;
      if (ble::Attribute* a = host->att().find(handle)) a->value.assign(d, d + n);
      return 0;
    }
    const size_t len = offsetof(ble_gatts_evt_t, params) + sizeof(ble_gatts_evt_write_t) + n;
    std::vector<uint8_t> body(len, 0);
    auto* g = reinterpret_cast<ble_gatts_evt_t*>(body.data());
    g->conn_handle = kLinkHandle;
    g->params.write.handle = handle;
    g->params.write.uuid = attrs[handle].uuid;
    g->params.write.op = gop;
    g->params.write.offset = offset;
    g->params.write.len = static_cast<uint16_t>(n);
    if (n) std::memcpy(g->params.write.data, d, n);
    post(BLE_GATTS_EVT_WRITE, body.data(), len);
    return 0;
  };
  att.on_read = [this](uint16_t handle) {
    if (attrs[handle].rd_auth) authorize(BLE_GATTS_AUTHORIZE_TYPE_READ, handle, 0, 0, nullptr, 0);
  };
  att.on_confirmation = [this] {
    indication_pending = false;
    ble_gatts_evt_t g{};
    g.conn_handle = kLinkHandle;
    post(BLE_GATTS_EVT_HVC, &g, sizeof g);
  };

  // A pairing request waits for the security parameters the application
  // answers BLE_GAP_EVT_SEC_PARAMS_REQUEST with.
  auto pass_on = host->l2cap().on_sdu;
  host->l2cap().on_sdu = [this, pass_on](uint16_t cid, const ble::Bytes& sdu) {
    if (cid == ble::kCidAtt && !sdu.empty() &&
        (sdu[0] == ble::kAttPrepareWriteReq || sdu[0] == ble::kAttExecuteWriteReq)) {
      ble::Bytes rsp = queued_write(sdu);
      if (!rsp.empty() && connected) host->l2cap().send(ble::kCidAtt, rsp);
      return;
    }
    if (cid == ble::kCidSmp && !sdu.empty() && sdu[0] == ble::kSmpPairingRequest &&
        sdu.size() >= 7) {
      stashed_pairing_request = sdu;
      ble_gap_evt_t g{};
      g.conn_handle = kLinkHandle;
      auto& p = g.params.sec_params_request.peer_params;
      p.io_caps = sdu[1] & 7;
      p.oob = sdu[2] & 1;
      p.bond = (sdu[3] & ble::kSmpAuthBonding) ? 1 : 0;
      p.mitm = (sdu[3] & ble::kSmpAuthMitm) ? 1 : 0;
      p.lesc = (sdu[3] & 0x08) ? 1 : 0;
      p.max_key_size = sdu[4];
      post(BLE_GAP_EVT_SEC_PARAMS_REQUEST, &g, sizeof g);
      return;
    }
    pass_on(cid, sdu);
  };
}

// Every stack call: enabled, and no failure injected for it.
uint32_t gate(const char* name) {
  if (uint32_t f = injected(name)) return f;
  if (!the_stack || !the_stack->enabled) return NRF_ERROR_SOFTDEVICE_NOT_ENABLED;
  return NRF_SUCCESS;
}

// Whether `h` names the link that exists.
bool is_link(uint16_t h) { return h != BLE_CONN_HANDLE_INVALID && h == link(); }

bool valid_tx_power(int8_t p) {
  static const int8_t kPowers[] = {-40, -20, -16, -12, -8, -4, 0, 2, 3, 4, 5, 6, 7, 8};
  return std::find(std::begin(kPowers), std::end(kPowers), p) != std::end(kPowers);
}

uint8_t ll_adv_type(uint8_t t) {
  switch (t) {
    case BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED:
      return ble::kAdvNonconnInd;
    case BLE_GAP_ADV_TYPE_NONCONNECTABLE_SCANNABLE_UNDIRECTED:
      return ble::kAdvScanInd;
    default:
      return ble::kAdvInd;
  }
}

bool connectable(uint8_t t) {
  return t == BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED ||
         t == BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED_HIGH_DUTY_CYCLE ||
         t == BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED;
}

}  // namespace

void stack_reset() {
  the_stack.reset();
  nrfsim::set_ble_event_source(dispatch);
}

bool uuid_bytes(const ble_uuid_t& u, std::vector<uint8_t>* out) {
  if (!the_stack) return false;
  if (u.type >= BLE_UUID_TYPE_VENDOR_BEGIN &&
      static_cast<size_t>(u.type - BLE_UUID_TYPE_VENDOR_BEGIN) >= the_stack->vs_bases.size())
    return false;
  *out = the_stack->uuid_bytes(u);
  return true;
}

// ------------------------------------------------------------ internal --
void post(uint16_t evt_id, const void* body, size_t body_len) {
  Stack& s = stack();
  s.out.push_back({make_event(evt_id, body, body_len), nullptr});
  nrfsim::raise_stack_event();
}

void defer(std::function<void()> fn) {
  Stack& s = stack();
  s.out.push_back({{}, std::move(fn)});
  nrfsim::raise_stack_event();
}

uint32_t injected(const char* name) {
  if (!the_stack) return 0;
  auto it = the_stack->failures.find(name);
  if (it == the_stack->failures.end()) return 0;
  uint32_t code = it->second;
  the_stack->failures.erase(it);
  return code;
}

uint16_t link() {
  return the_stack && the_stack->enabled && the_stack->connected ? kLinkHandle
                                                                 : BLE_CONN_HANDLE_INVALID;
}
uint16_t link_mtu() {
  return link() == kLinkHandle ? the_stack->host->att().mtu() : BLE_GATT_ATT_MTU_DEFAULT;
}
bool link_encrypted() { return link() == kLinkHandle && the_stack->encrypted; }
bool link_bonded_peer() {
  if (link() != kLinkHandle) return false;
  Stack& s = *the_stack;
  return std::any_of(s.bonds.begin(), s.bonds.end(), [&](const ble_gap_addr_t& b) {
    return std::memcmp(b.addr, s.peer.data(), 6) == 0;
  });
}
void request_security(bool mitm) {
  if (link() != kLinkHandle) return;
  the_stack->host->request_security(
      static_cast<uint8_t>(ble::kSmpAuthBonding | (mitm ? ble::kSmpAuthMitm : 0)));
}
bool request_conn_update(const ble_gap_conn_params_t& p) {
  if (link() != kLinkHandle) return false;
  return the_stack->host->request_connection_update(p.min_conn_interval, p.max_conn_interval,
                                                    p.slave_latency, p.conn_sup_timeout);
}
void set_own_sec_params(const ble_gap_sec_params_t* p) {
  Stack& s = stack();
  s.have_own = p != nullptr;
  if (p) s.own = *p;
}
void forget_bonds() { stack().bonds.clear(); }
uint32_t bond_count() { return static_cast<uint32_t>(stack().bonds.size()); }
std::vector<ble_gap_addr_t> bonded_addresses() { return stack().bonds; }
std::string device_name() { return stack().name; }

}  // namespace nrfble

using namespace nrfble;

SIM_MODEL(nrf52840_ble, {.name = "nrf52840.ble", .on_reset = nrfble::stack_reset});

// ------------------------------------------------------------- handler --
nrf_sdh_ble_observer_registrar::nrf_sdh_ble_observer_registrar(uint8_t prio,
                                                               nrf_sdh_ble_evt_handler_t handler,
                                                               void* context) {
  auto& v = observers();
  auto it = std::find_if(v.begin(), v.end(), [&](const Observer& o) { return o.prio > prio; });
  v.insert(it, {prio, handler, context});
}

ret_code_t nrf_sdh_enable_request(void) {
  if (uint32_t f = injected("nrf_sdh_enable_request")) return f;
  Stack& s = stack();
  if (s.enabled) return NRF_ERROR_INVALID_STATE;
  nrfsim::set_ble_event_source(dispatch);
  s.ll.reset();
  s.ll.attach_radio();
  s.end_scan();
  s.out.clear();
  s.queue.events.clear();
  s.vs_bases.clear();
  s.attrs.clear();
  s.adv_configured = false;
  s.adv_tx_power = 0;
  s.ll.set_tx_power(0);
  s.connected = s.disconnecting = false;
  s.static_passkey.clear();
  s.have_own = false;
  s.build_host();
  s.enabled = true;
  ++s.enables;
  // The stack's faults go to the application's fault handler.
  (void)&app_error_fault_handler;
  return NRF_SUCCESS;
}

ret_code_t nrf_sdh_disable_request(void) {
  if (uint32_t f = injected("nrf_sdh_disable_request")) return f;
  if (!the_stack || !the_stack->enabled) return NRF_SUCCESS;
  Stack& s = *the_stack;
  s.ll.reset();
  s.end_scan();
  s.enabled = false;
  s.connected = s.disconnecting = false;
  s.out.clear();
  s.queue.events.clear();
  return NRF_SUCCESS;
}

bool nrf_sdh_is_enabled(void) { return the_stack && the_stack->enabled; }

ret_code_t nrf_sdh_ble_default_cfg_set(uint8_t, uint32_t* p_ram_start) {
  if (uint32_t f = gate("nrf_sdh_ble_default_cfg_set")) return f;
  if (p_ram_start) *p_ram_start = 0x20002AE8u;
  return NRF_SUCCESS;
}

ret_code_t nrf_sdh_ble_enable(uint32_t* p_app_ram_start) {
  if (uint32_t f = gate("nrf_sdh_ble_enable")) return f;
  (void)p_app_ram_start;
  return NRF_SUCCESS;
}

// ----------------------------------------------------------------- GAP --
uint32_t sd_ble_gap_addr_set(ble_gap_addr_t const* p_addr) {
  if (uint32_t f = gate("sd_ble_gap_addr_set")) return f;
  if (!p_addr) return NRF_ERROR_INVALID_ADDR;
  Stack& s = *the_stack;
  if (p_addr->addr_type == BLE_GAP_ADDR_TYPE_RANDOM_STATIC) {
    if ((p_addr->addr[5] & 0xC0) != 0xC0) return BLE_ERROR_GAP_INVALID_BLE_ADDR;
  } else if (p_addr->addr_type != BLE_GAP_ADDR_TYPE_PUBLIC) {
    return BLE_ERROR_GAP_INVALID_BLE_ADDR;
  }
  ble::Address a;
  std::memcpy(a.data(), p_addr->addr, 6);
  if (s.ll.state() == ble::LinkLayer::State::kAdvertising) return NRF_ERROR_INVALID_STATE;
  if (s.ll.state() == ble::LinkLayer::State::kStandby) {
    s.ll.set_address(a, p_addr->addr_type == BLE_GAP_ADDR_TYPE_RANDOM_STATIC);
  } else {
    // In use by the link: the new address applies once it is down.
    s.pending_addr = a;
    s.have_pending_addr = true;
  }
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_addr_get(ble_gap_addr_t* p_addr) {
  if (uint32_t f = gate("sd_ble_gap_addr_get")) return f;
  if (!p_addr) return NRF_ERROR_INVALID_ADDR;
  Stack& s = *the_stack;
  const ble::Address& a = s.have_pending_addr ? s.pending_addr : s.ll.address();
  *p_addr = {};
  p_addr->addr_type =
      s.ll.random_address() ? BLE_GAP_ADDR_TYPE_RANDOM_STATIC : BLE_GAP_ADDR_TYPE_PUBLIC;
  std::memcpy(p_addr->addr, a.data(), 6);
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_device_name_set(ble_gap_conn_sec_mode_t const* p_write_perm,
                                    uint8_t const* p_dev_name, uint16_t len) {
  if (uint32_t f = gate("sd_ble_gap_device_name_set")) return f;
  if (!p_write_perm || (!p_dev_name && len)) return NRF_ERROR_INVALID_ADDR;
  if (len > BLE_GAP_DEVNAME_MAX_LEN) return NRF_ERROR_DATA_SIZE;
  Stack& s = *the_stack;
  s.name.assign(reinterpret_cast<const char*>(p_dev_name), len);
  if (ble::Attribute* a = s.host->att().find(s.gap_name_handle)) {
    a->value.assign(s.name.begin(), s.name.end());
    a->permissions = static_cast<uint8_t>(ble::Attribute::kRead |
                                          (p_write_perm->lv ? ble::Attribute::kWrite : 0));
  }
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_device_name_get(uint8_t* p_dev_name, uint16_t* p_len) {
  if (uint32_t f = gate("sd_ble_gap_device_name_get")) return f;
  if (!p_len) return NRF_ERROR_INVALID_ADDR;
  const std::string& n = the_stack->name;
  if (p_dev_name) {
    if (*p_len < n.size()) return NRF_ERROR_DATA_SIZE;
    std::memcpy(p_dev_name, n.data(), n.size());
  }
  *p_len = static_cast<uint16_t>(n.size());
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_appearance_set(uint16_t appearance) {
  if (uint32_t f = gate("sd_ble_gap_appearance_set")) return f;
  the_stack->appearance = appearance;
  if (ble::Attribute* a = the_stack->host->att().find(5))
    a->value = {static_cast<uint8_t>(appearance), static_cast<uint8_t>(appearance >> 8)};
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_ppcp_set(ble_gap_conn_params_t const* p) {
  if (uint32_t f = gate("sd_ble_gap_ppcp_set")) return f;
  if (!p) return NRF_ERROR_INVALID_ADDR;
  if (p->min_conn_interval > p->max_conn_interval || p->min_conn_interval < 6 ||
      p->max_conn_interval > 3200 || p->conn_sup_timeout < 10 || p->conn_sup_timeout > 3200)
    return NRF_ERROR_INVALID_PARAM;
  Stack& s = *the_stack;
  s.ppcp = *p;
  if (ble::Attribute* a = s.host->att().find(7)) {
    a->value.clear();
    for (uint16_t v :
         {p->min_conn_interval, p->max_conn_interval, p->slave_latency, p->conn_sup_timeout})
      put16(a->value, v);
  }
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_ppcp_get(ble_gap_conn_params_t* p) {
  if (uint32_t f = gate("sd_ble_gap_ppcp_get")) return f;
  if (!p) return NRF_ERROR_INVALID_ADDR;
  *p = the_stack->ppcp;
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_conn_param_update(uint16_t conn_handle, ble_gap_conn_params_t const* p) {
  if (uint32_t f = gate("sd_ble_gap_conn_param_update")) return f;
  if (!is_link(conn_handle)) return BLE_ERROR_INVALID_CONN_HANDLE;
  return request_conn_update(p ? *p : the_stack->ppcp) ? NRF_SUCCESS : NRF_ERROR_INVALID_STATE;
}

uint32_t sd_ble_gap_tx_power_set(uint8_t role, uint16_t handle, int8_t tx_power) {
  if (uint32_t f = gate("sd_ble_gap_tx_power_set")) return f;
  if (!valid_tx_power(tx_power)) return NRF_ERROR_INVALID_PARAM;
  Stack& s = *the_stack;
  if (role == BLE_GAP_TX_POWER_ROLE_ADV) {
    if (handle != kAdvHandle || !s.adv_configured) return BLE_ERROR_INVALID_ADV_HANDLE;
    s.adv_tx_power = tx_power;
    if (!s.connected) s.ll.set_tx_power(tx_power);
    return NRF_SUCCESS;
  }
  if (role == BLE_GAP_TX_POWER_ROLE_CONN) {
    if (!is_link(handle)) return BLE_ERROR_INVALID_CONN_HANDLE;
    s.ll.set_tx_power(tx_power);
    return NRF_SUCCESS;
  }
  if (role == BLE_GAP_TX_POWER_ROLE_SCAN_INIT) return NRF_SUCCESS;
  return NRF_ERROR_INVALID_PARAM;
}

uint32_t sd_ble_gap_adv_set_configure(uint8_t* p_adv_handle, ble_gap_adv_data_t const* p_adv_data,
                                      ble_gap_adv_params_t const* p_adv_params) {
  if (uint32_t f = gate("sd_ble_gap_adv_set_configure")) return f;
  if (!p_adv_handle) return NRF_ERROR_INVALID_ADDR;
  Stack& s = *the_stack;
  if (*p_adv_handle != BLE_GAP_ADV_SET_HANDLE_NOT_SET && *p_adv_handle != kAdvHandle)
    return BLE_ERROR_INVALID_ADV_HANDLE;
  const bool advertising = s.ll.state() == ble::LinkLayer::State::kAdvertising;
  if (!p_adv_params && !s.adv_configured) return NRF_ERROR_INVALID_PARAM;
  if (p_adv_params && advertising) return NRF_ERROR_INVALID_STATE;
  ble_gap_adv_params_t params = p_adv_params ? *p_adv_params : s.adv_params;
  if (params.interval < BLE_GAP_ADV_INTERVAL_MIN || params.interval > BLE_GAP_ADV_INTERVAL_MAX)
    return NRF_ERROR_INVALID_PARAM;
  if (params.properties.type < BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED ||
      params.properties.type > BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED)
    return NRF_ERROR_INVALID_PARAM;
  ble::Bytes adv = s.adv_data, sr = s.sr_data;
  if (p_adv_data) {
    if (p_adv_data->adv_data.len > BLE_GAP_ADV_SET_DATA_SIZE_MAX ||
        p_adv_data->scan_rsp_data.len > BLE_GAP_ADV_SET_DATA_SIZE_MAX)
      return NRF_ERROR_INVALID_LENGTH;
    if ((p_adv_data->adv_data.len && !p_adv_data->adv_data.p_data) ||
        (p_adv_data->scan_rsp_data.len && !p_adv_data->scan_rsp_data.p_data))
      return NRF_ERROR_INVALID_ADDR;
    adv.assign(p_adv_data->adv_data.p_data, p_adv_data->adv_data.p_data + p_adv_data->adv_data.len);
    sr.assign(p_adv_data->scan_rsp_data.p_data,
              p_adv_data->scan_rsp_data.p_data + p_adv_data->scan_rsp_data.len);
  }
  // A packet that takes no scan request carries no scan response.
  const bool scannable =
      params.properties.type == BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED ||
      params.properties.type == BLE_GAP_ADV_TYPE_NONCONNECTABLE_SCANNABLE_UNDIRECTED;
  if (!scannable && !sr.empty()) return NRF_ERROR_INVALID_PARAM;
  s.adv_params = params;
  s.adv_params.p_peer_addr = nullptr;
  s.adv_data = adv;
  s.sr_data = sr;
  s.adv_configured = true;
  *p_adv_handle = kAdvHandle;
  if (advertising) s.ll.set_advertising_data(adv, sr);
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_adv_start(uint8_t adv_handle, uint8_t) {
  if (uint32_t f = gate("sd_ble_gap_adv_start")) return f;
  Stack& s = *the_stack;
  if (adv_handle != kAdvHandle || !s.adv_configured) return BLE_ERROR_INVALID_ADV_HANDLE;
  if (s.ll.state() == ble::LinkLayer::State::kAdvertising) return NRF_ERROR_INVALID_STATE;
  if (s.connected && connectable(s.adv_params.properties.type)) return NRF_ERROR_CONN_COUNT;
  if (s.connected) return NRF_ERROR_INVALID_STATE;  // one radio role at a time here
  ble::LinkLayer::AdvParams p;
  p.type = ll_adv_type(s.adv_params.properties.type);
  p.adv_data = s.adv_data;
  p.scan_rsp_data = s.sr_data;
  p.interval = s.adv_params.interval;
  p.duration_us = static_cast<sim::time_us>(s.adv_params.duration) * 10000u;
  s.ll.set_tx_power(s.adv_tx_power);
  if (!s.ll.start_advertising(p)) return NRF_ERROR_INVALID_STATE;
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_adv_stop(uint8_t adv_handle) {
  if (uint32_t f = gate("sd_ble_gap_adv_stop")) return f;
  Stack& s = *the_stack;
  if (adv_handle != kAdvHandle || !s.adv_configured) return BLE_ERROR_INVALID_ADV_HANDLE;
  if (s.ll.state() != ble::LinkLayer::State::kAdvertising) return NRF_ERROR_INVALID_STATE;
  s.ll.stop_advertising();
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_disconnect(uint16_t conn_handle, uint8_t hci_status_code) {
  if (uint32_t f = gate("sd_ble_gap_disconnect")) return f;
  Stack& s = *the_stack;
  if (!is_link(conn_handle)) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (hci_status_code != BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION &&
      hci_status_code != BLE_HCI_CONN_INTERVAL_UNACCEPTABLE && hci_status_code != 0x05 &&
      hci_status_code != 0x14 && hci_status_code != 0x15 && hci_status_code != 0x1A &&
      hci_status_code != 0x29)
    return NRF_ERROR_INVALID_PARAM;
  if (s.disconnecting) return NRF_ERROR_INVALID_STATE;
  if (!s.ll.disconnect(hci_status_code)) return NRF_ERROR_INVALID_STATE;
  s.disconnecting = true;
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_phy_update(uint16_t conn_handle, ble_gap_phys_t const* p) {
  if (uint32_t f = gate("sd_ble_gap_phy_update")) return f;
  if (!p) return NRF_ERROR_INVALID_ADDR;
  if (!is_link(conn_handle)) return BLE_ERROR_INVALID_CONN_HANDLE;
  ble_gap_evt_t g{};
  g.conn_handle = conn_handle;
  g.params.phy_update.status = BLE_HCI_STATUS_CODE_SUCCESS;
  g.params.phy_update.tx_phy = p->tx_phys == BLE_GAP_PHY_AUTO ? BLE_GAP_PHY_2MBPS : p->tx_phys;
  g.params.phy_update.rx_phy = p->rx_phys == BLE_GAP_PHY_AUTO ? BLE_GAP_PHY_2MBPS : p->rx_phys;
  post(BLE_GAP_EVT_PHY_UPDATE, &g, sizeof g);
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_data_length_update(uint16_t conn_handle, ble_gap_data_length_params_t const*,
                                       ble_gap_data_length_limitation_t*) {
  if (uint32_t f = gate("sd_ble_gap_data_length_update")) return f;
  if (!is_link(conn_handle)) return BLE_ERROR_INVALID_CONN_HANDLE;
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_sec_params_reply(uint16_t conn_handle, uint8_t sec_status,
                                     ble_gap_sec_params_t const* p_sec_params, void*) {
  if (uint32_t f = gate("sd_ble_gap_sec_params_reply")) return f;
  Stack& s = *the_stack;
  if (!is_link(conn_handle)) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (s.stashed_pairing_request.empty()) return NRF_ERROR_INVALID_STATE;
  ble::Bytes req;
  req.swap(s.stashed_pairing_request);
  if (sec_status != BLE_GAP_SEC_STATUS_SUCCESS || !p_sec_params) {
    s.host->l2cap().send(ble::kCidSmp, {ble::kSmpPairingFailed, ble::kSmpPairingNotSupported});
    return NRF_SUCCESS;
  }
  s.own = *p_sec_params;
  s.have_own = true;
  const uint8_t auth = static_cast<uint8_t>((p_sec_params->bond ? ble::kSmpAuthBonding : 0) |
                                            (p_sec_params->mitm ? ble::kSmpAuthMitm : 0) |
                                            (p_sec_params->lesc ? 0x08 : 0));
  s.host->pairing().set_responder(p_sec_params->io_caps, auth);
  s.host->pairing().received(req);
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_authenticate(uint16_t conn_handle, ble_gap_sec_params_t const* p) {
  if (uint32_t f = gate("sd_ble_gap_authenticate")) return f;
  if (!is_link(conn_handle)) return BLE_ERROR_INVALID_CONN_HANDLE;
  request_security(p && p->mitm);
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_scan_start(ble_gap_scan_params_t const* p_scan_params,
                               ble_data_t const* p_adv_report_buffer) {
  if (uint32_t f = gate("sd_ble_gap_scan_start")) return f;
  if (!p_adv_report_buffer || !p_adv_report_buffer->p_data) return NRF_ERROR_INVALID_ADDR;
  Stack& s = *the_stack;
  if (!p_scan_params) {
    // Resumes a scan paused by its last report.
    if (!s.scanning || !s.scan_paused) return NRF_ERROR_INVALID_STATE;
    s.scan_buffer = *p_adv_report_buffer;
    s.scan_paused = false;
    return NRF_SUCCESS;
  }
  if (s.scanning) return NRF_ERROR_INVALID_STATE;
  const ble_gap_scan_params_t& p = *p_scan_params;
  if (p.interval < 4 || p.window < 4 || p.window > p.interval ||
      (p.scan_phys != BLE_GAP_PHY_AUTO && p.scan_phys != BLE_GAP_PHY_1MBPS &&
       p.scan_phys != BLE_GAP_PHY_CODED) ||
      (p.scan_phys == BLE_GAP_PHY_CODED && !p.extended))
    return NRF_ERROR_INVALID_PARAM;
  ble::LinkLayer::ScanParams lp;
  lp.active = p.active != 0;
  lp.interval = p.interval;
  s.scanner.set_address(s.ll.address(), s.ll.random_address());
  if (!s.scanner.start_scanning(lp)) return NRF_ERROR_INVALID_STATE;
  s.scanning = true;
  s.scan_paused = false;
  s.scan_buffer = *p_adv_report_buffer;
  if (p.timeout != BLE_GAP_SCAN_TIMEOUT_UNLIMITED)
    s.scan_timer =
        sim::schedule(sim::now() + uint64_t{p.timeout} * 10000, &Stack::on_scan_timeout, &s);
  return NRF_SUCCESS;
}

uint32_t sd_ble_gap_scan_stop(void) {
  if (uint32_t f = gate("sd_ble_gap_scan_stop")) return f;
  Stack& s = *the_stack;
  if (!s.scanning) return NRF_ERROR_INVALID_STATE;
  s.end_scan();
  return NRF_SUCCESS;
}

// -------------------------------------------------------------- common --
uint32_t sd_ble_user_mem_reply(uint16_t conn_handle, ble_user_mem_block_t const* p_block) {
  if (uint32_t f = gate("sd_ble_user_mem_reply")) return f;
  if (!is_link(conn_handle)) return BLE_ERROR_INVALID_CONN_HANDLE;
  the_stack->user_mem_given = p_block != nullptr && p_block->p_mem != nullptr && p_block->len != 0;
  return NRF_SUCCESS;
}

uint32_t sd_ble_uuid_vs_add(ble_uuid128_t const* p_vs_uuid, uint8_t* p_uuid_type) {
  if (uint32_t f = gate("sd_ble_uuid_vs_add")) return f;
  if (!p_vs_uuid || !p_uuid_type) return NRF_ERROR_INVALID_ADDR;
  Stack& s = *the_stack;
  std::array<uint8_t, 16> base;
  std::memcpy(base.data(), p_vs_uuid->uuid128, 16);
  base[12] = base[13] = 0;
  for (size_t i = 0; i < s.vs_bases.size(); ++i) {
    if (s.vs_bases[i] == base) {
      *p_uuid_type = static_cast<uint8_t>(BLE_UUID_TYPE_VENDOR_BEGIN + i);
      return NRF_SUCCESS;
    }
  }
  if (s.vs_bases.size() >= kMaxVsBases) return NRF_ERROR_NO_MEM;
  s.vs_bases.push_back(base);
  *p_uuid_type = static_cast<uint8_t>(BLE_UUID_TYPE_VENDOR_BEGIN + s.vs_bases.size() - 1);
  return NRF_SUCCESS;
}

uint32_t sd_ble_opt_set(uint32_t opt_id, ble_opt_t const* p_opt) {
  if (uint32_t f = gate("sd_ble_opt_set")) return f;
  if (!p_opt) return NRF_ERROR_INVALID_ADDR;
  if (opt_id != BLE_GAP_OPT_PASSKEY) return NRF_ERROR_NOT_SUPPORTED;
  const uint8_t* k = p_opt->gap_opt.passkey.p_passkey;
  if (!k) {
    the_stack->static_passkey.clear();
    return NRF_SUCCESS;
  }
  for (int i = 0; i < BLE_GAP_PASSKEY_LEN; ++i)
    if (k[i] < '0' || k[i] > '9') return NRF_ERROR_INVALID_PARAM;
  the_stack->static_passkey.assign(reinterpret_cast<const char*>(k), BLE_GAP_PASSKEY_LEN);
  return NRF_SUCCESS;
}

// --------------------------------------------------------- GATT server --
namespace {
uint8_t permissions(const ble_gatts_attr_md_t* md, bool readable, bool writable) {
  uint8_t p = 0;
  if (!md)
    return static_cast<uint8_t>((readable ? ble::Attribute::kRead : 0) |
                                (writable ? ble::Attribute::kWrite : 0));
  if (readable && md->read_perm.lv > 0) {
    p |= ble::Attribute::kRead;
    if (md->read_perm.lv >= 2) p |= ble::Attribute::kReadEncrypted;
  }
  if (writable && md->write_perm.lv > 0) {
    p |= ble::Attribute::kWrite;
    if (md->write_perm.lv >= 2) p |= ble::Attribute::kWriteEncrypted;
  }
  return p;
}
}  // namespace

uint32_t sd_ble_gatts_service_add(uint8_t type, ble_uuid_t const* p_uuid, uint16_t* p_handle) {
  if (uint32_t f = gate("sd_ble_gatts_service_add")) return f;
  if (!p_uuid || !p_handle) return NRF_ERROR_INVALID_ADDR;
  if (type != BLE_GATTS_SRVC_TYPE_PRIMARY && type != BLE_GATTS_SRVC_TYPE_SECONDARY)
    return NRF_ERROR_INVALID_PARAM;
  Stack& s = *the_stack;
  if (p_uuid->type == BLE_UUID_TYPE_UNKNOWN ||
      (p_uuid->type >= BLE_UUID_TYPE_VENDOR_BEGIN &&
       static_cast<size_t>(p_uuid->type - BLE_UUID_TYPE_VENDOR_BEGIN) >= s.vs_bases.size()))
    return NRF_ERROR_NOT_FOUND;
  AttrInfo info;
  info.uuid = *p_uuid;
  *p_handle = s.add_attr(ble::uuid16(type == BLE_GATTS_SRVC_TYPE_PRIMARY ? 0x2800 : 0x2801),
                         s.uuid_bytes(*p_uuid), 16, false, ble::Attribute::kRead, info);
  s.last_service = *p_handle;
  return NRF_SUCCESS;
}

uint32_t sd_ble_gatts_characteristic_add(uint16_t service_handle,
                                         ble_gatts_char_md_t const* p_char_md,
                                         ble_gatts_attr_t const* p_attr,
                                         ble_gatts_char_handles_t* p_handles) {
  if (uint32_t f = gate("sd_ble_gatts_characteristic_add")) return f;
  if (!p_char_md || !p_attr || !p_attr->p_uuid || !p_attr->p_attr_md || !p_handles)
    return NRF_ERROR_INVALID_ADDR;
  Stack& s = *the_stack;
  if (service_handle != s.last_service || !service_handle) return NRF_ERROR_INVALID_STATE;
  if (p_attr->max_len > BLE_GATTS_VAR_ATTR_LEN_MAX || p_attr->init_len > p_attr->max_len)
    return NRF_ERROR_INVALID_PARAM;
  const ble_gatt_char_props_t& pr = p_char_md->char_props;
  ble::Bytes uuid = s.uuid_bytes(*p_attr->p_uuid);
  const uint8_t props =
      static_cast<uint8_t>(pr.broadcast | (pr.read << 1) | (pr.write_wo_resp << 2) |
                           (pr.write << 3) | (pr.notify << 4) | (pr.indicate << 5));
  const uint16_t decl_handle = s.next_handle;
  ble::Bytes decl{props};
  put16(decl, static_cast<uint16_t>(decl_handle + 1));
  decl.insert(decl.end(), uuid.begin(), uuid.end());
  s.add_attr(ble::uuid16(ble::kUuidCharacteristic), decl, static_cast<uint16_t>(decl.size()), false,
             ble::Attribute::kRead, {});
  AttrInfo vinfo;
  vinfo.uuid = *p_attr->p_uuid;
  vinfo.rd_auth = p_attr->p_attr_md->rd_auth;
  vinfo.wr_auth = p_attr->p_attr_md->wr_auth;
  ble::Bytes value(p_attr->max_len ? p_attr->init_len : 0, 0);
  if (p_attr->p_value && p_attr->init_len)
    std::memcpy(value.data(), p_attr->p_value, p_attr->init_len);
  const uint16_t value_handle =
      s.add_attr(uuid, value, p_attr->max_len, p_attr->p_attr_md->vlen,
                 permissions(p_attr->p_attr_md, pr.read, pr.write || pr.write_wo_resp), vinfo);
  *p_handles = {value_handle, 0, 0, 0};
  if (p_char_md->p_char_user_desc) {
    AttrInfo info;
    info.uuid = {BLE_UUID_CHAR_USER_DESCRIPTION, BLE_UUID_TYPE_BLE};
    const uint8_t* d = p_char_md->p_char_user_desc;
    p_handles->user_desc_handle = s.add_attr(
        ble::uuid16(BLE_UUID_CHAR_USER_DESCRIPTION),
        ble::Bytes(d, d + p_char_md->char_user_desc_size),
        std::max(p_char_md->char_user_desc_max_size, p_char_md->char_user_desc_size), true,
        permissions(p_char_md->p_user_desc_md, true, p_char_md->char_ext_props.wr_aux), info);
  }
  if (pr.notify || pr.indicate) {
    AttrInfo info;
    info.uuid = {BLE_UUID_CCCD, BLE_UUID_TYPE_BLE};
    info.is_cccd = true;
    const uint8_t perms =
        p_char_md->p_cccd_md ? permissions(p_char_md->p_cccd_md, true, true)
                             : static_cast<uint8_t>(ble::Attribute::kRead | ble::Attribute::kWrite);
    p_handles->cccd_handle = s.add_attr(ble::uuid16(ble::kUuidCcc), {0, 0}, 2, false,
                                        static_cast<uint8_t>(perms | ble::Attribute::kRead), info);
    s.attrs[value_handle].cccd = p_handles->cccd_handle;
  }
  if (pr.broadcast) {
    AttrInfo info;
    info.uuid = {0x2903, BLE_UUID_TYPE_BLE};
    p_handles->sccd_handle = s.add_attr(ble::uuid16(0x2903), {0, 0}, 2, false,
                                        ble::Attribute::kRead | ble::Attribute::kWrite, info);
  }
  s.last_char_value = value_handle;
  return NRF_SUCCESS;
}

uint32_t sd_ble_gatts_descriptor_add(uint16_t char_handle, ble_gatts_attr_t const* p_attr,
                                     uint16_t* p_handle) {
  if (uint32_t f = gate("sd_ble_gatts_descriptor_add")) return f;
  if (!p_attr || !p_attr->p_uuid || !p_attr->p_attr_md || !p_handle) return NRF_ERROR_INVALID_ADDR;
  Stack& s = *the_stack;
  // BLE_GATT_HANDLE_INVALID: the last characteristic added.
  if (char_handle != BLE_GATT_HANDLE_INVALID && char_handle != s.last_char_value)
    return NRF_ERROR_INVALID_STATE;
  if (!s.last_char_value) return NRF_ERROR_INVALID_STATE;
  AttrInfo info;
  info.uuid = *p_attr->p_uuid;
  info.rd_auth = p_attr->p_attr_md->rd_auth;
  info.wr_auth = p_attr->p_attr_md->wr_auth;
  ble::Bytes value(p_attr->init_len, 0);
  if (p_attr->p_value && p_attr->init_len)
    std::memcpy(value.data(), p_attr->p_value, p_attr->init_len);
  *p_handle = s.add_attr(s.uuid_bytes(*p_attr->p_uuid), value, p_attr->max_len,
                         p_attr->p_attr_md->vlen, permissions(p_attr->p_attr_md, true, true), info);
  return NRF_SUCCESS;
}

uint32_t sd_ble_gatts_value_set(uint16_t conn_handle, uint16_t handle, ble_gatts_value_t* p_value) {
  if (uint32_t f = gate("sd_ble_gatts_value_set")) return f;
  if (!p_value || (p_value->len && !p_value->p_value)) return NRF_ERROR_INVALID_ADDR;
  Stack& s = *the_stack;
  ble::Attribute* a = s.host->att().find(handle);
  if (!a || handle < kFirstUserHandle) return BLE_ERROR_INVALID_ATTR_HANDLE;
  if (a->ccc && !is_link(conn_handle)) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (p_value->offset > a->value.size() && a->variable) return NRF_ERROR_INVALID_PARAM;
  const size_t end = static_cast<size_t>(p_value->offset) + p_value->len;
  if (end > a->max_len) return NRF_ERROR_INVALID_PARAM;
  if (a->variable) {
    a->value.resize(end);
  } else if (a->value.size() < a->max_len) {
    a->value.resize(a->max_len);
  }
  if (p_value->len) std::memcpy(a->value.data() + p_value->offset, p_value->p_value, p_value->len);
  return NRF_SUCCESS;
}

uint32_t sd_ble_gatts_value_get(uint16_t, uint16_t handle, ble_gatts_value_t* p_value) {
  if (uint32_t f = gate("sd_ble_gatts_value_get")) return f;
  if (!p_value) return NRF_ERROR_INVALID_ADDR;
  ble::Attribute* a = the_stack->host->att().find(handle);
  if (!a) return BLE_ERROR_INVALID_ATTR_HANDLE;
  if (p_value->offset > a->value.size()) return NRF_ERROR_INVALID_PARAM;
  const uint16_t avail = static_cast<uint16_t>(a->value.size() - p_value->offset);
  if (p_value->p_value) {
    const uint16_t n = std::min(avail, p_value->len);
    std::memcpy(p_value->p_value, a->value.data() + p_value->offset, n);
  }
  p_value->len = avail;
  return NRF_SUCCESS;
}

uint32_t sd_ble_gatts_hvx(uint16_t conn_handle, ble_gatts_hvx_params_t const* p) {
  if (uint32_t f = gate("sd_ble_gatts_hvx")) return f;
  if (!p) return NRF_ERROR_INVALID_ADDR;
  Stack& s = *the_stack;
  if (!is_link(conn_handle)) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (p->type != BLE_GATT_HVX_NOTIFICATION && p->type != BLE_GATT_HVX_INDICATION)
    return NRF_ERROR_INVALID_PARAM;
  ble::Attribute* a = s.host->att().find(p->handle);
  auto info = s.attrs.find(p->handle);
  if (!a || info == s.attrs.end() || !info->second.cccd) return BLE_ERROR_INVALID_ATTR_HANDLE;
  const ble::Attribute* ccc = s.host->att().find(info->second.cccd);
  const uint16_t cccd = ccc && ccc->value.size() == 2 ? ccc->value[0] | (ccc->value[1] << 8) : 0;
  const bool indication = p->type == BLE_GATT_HVX_INDICATION;
  if (!(cccd & (indication ? 2 : 1))) return NRF_ERROR_INVALID_STATE;
  if (s.disconnecting) return NRF_ERROR_INVALID_STATE;
  if (indication && s.indication_pending) return NRF_ERROR_BUSY;
  if (!indication && s.hvn_in_flight >= s.hvn_queue) return NRF_ERROR_RESOURCES;
  uint16_t len = p->p_len ? *p->p_len : 0;
  if (len && !p->p_data) return NRF_ERROR_INVALID_ADDR;
  if (p->offset > a->max_len) return NRF_ERROR_INVALID_PARAM;
  if (p->p_data) {
    const uint16_t room = static_cast<uint16_t>(a->max_len - p->offset);
    const uint16_t n = std::min(len, room);
    if (a->value.size() < static_cast<size_t>(p->offset) + n) a->value.resize(p->offset + n);
    std::memcpy(a->value.data() + p->offset, p->p_data, n);
  }
  // What goes out: the value (or the data given), cut to the link's MTU.
  ble::Bytes out = p->p_data ? ble::Bytes(p->p_data, p->p_data + len) : a->value;
  const size_t max = s.host->att().mtu() - 3u;
  if (out.size() > max) out.resize(max);
  if (p->p_len) *p->p_len = static_cast<uint16_t>(out.size());
  const uint32_t tag = indication ? 0 : (kNotifyTag | (s.next_tag++ & 0xFFFF));
  if (!s.host->notify(p->handle, out.data(), out.size(), tag, indication))
    return BLE_ERROR_INVALID_CONN_HANDLE;
  if (indication)
    s.indication_pending = true;
  else
    ++s.hvn_in_flight;
  return NRF_SUCCESS;
}

uint32_t sd_ble_gatts_rw_authorize_reply(uint16_t conn_handle,
                                         ble_gatts_rw_authorize_reply_params_t const* p) {
  if (uint32_t f = gate("sd_ble_gatts_rw_authorize_reply")) return f;
  if (!p) return NRF_ERROR_INVALID_ADDR;
  Stack& s = *the_stack;
  if (!is_link(conn_handle)) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (!s.auth.active || s.auth.replied) return NRF_ERROR_INVALID_STATE;
  if (p->type != BLE_GATTS_AUTHORIZE_TYPE_READ && p->type != BLE_GATTS_AUTHORIZE_TYPE_WRITE)
    return NRF_ERROR_INVALID_PARAM;
  s.auth.replied = true;
  s.auth.reply = *p;
  const ble_gatts_authorize_params_t& a =
      p->type == BLE_GATTS_AUTHORIZE_TYPE_READ ? p->params.read : p->params.write;
  if (a.p_data && a.len) s.auth.data.assign(a.p_data, a.p_data + a.len);
  return NRF_SUCCESS;
}

uint32_t sd_ble_gatts_sys_attr_set(uint16_t conn_handle, uint8_t const*, uint16_t, uint32_t) {
  if (uint32_t f = gate("sd_ble_gatts_sys_attr_set")) return f;
  if (!is_link(conn_handle)) return BLE_ERROR_INVALID_CONN_HANDLE;
  return NRF_SUCCESS;
}

uint32_t sd_ble_gatts_exchange_mtu_reply(uint16_t conn_handle, uint16_t server_rx_mtu) {
  if (uint32_t f = gate("sd_ble_gatts_exchange_mtu_reply")) return f;
  if (!is_link(conn_handle)) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (server_rx_mtu < BLE_GATT_ATT_MTU_DEFAULT) return NRF_ERROR_INVALID_PARAM;
  return NRF_SUCCESS;  // the stand-in's server answered the exchange already
}

// ------------------------------------------------------------- testing --
namespace nrfsim::ble {
bool enabled() { return nrf_sdh_is_enabled(); }
int enable_count() { return stack().enables; }
sim::ble::LinkLayer& link_layer() { return stack().ll; }
sim::ble::Peripheral& peripheral() {
  Stack& s = stack();
  if (!s.host) s.build_host();
  return *s.host;
}
void fail_next(const std::string& name, uint32_t code) { stack().failures[name] = code; }
void set_hvn_queue_size(int n) { stack().hvn_queue = std::max(1, n); }
AdvState advertising() {
  Stack& s = stack();
  AdvState a;
  a.advertising = s.ll.state() == sim::ble::LinkLayer::State::kAdvertising;
  a.type = s.adv_params.properties.type;
  a.interval = s.adv_params.interval;
  a.duration = s.adv_params.duration;
  a.adv_data = s.adv_data;
  a.scan_rsp_data = s.sr_data;
  a.tx_power = s.adv_tx_power;
  return a;
}
const std::vector<uint16_t>& event_log() { return stack().log; }
void clear_event_log() { stack().log.clear(); }
std::string static_passkey() { return stack().static_passkey; }
}  // namespace nrfsim::ble
