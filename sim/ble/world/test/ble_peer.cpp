// A small BLE device program for the world's own tests and for trying the
// BLE tool: it advertises connectably (again after every disconnection),
// offers a serial-like service that notifies back, on its TX characteristic,
// whatever is written to its RX characteristic, and pairs with the passkey
// 123456. It reports on its console (port 0):
//   READY                 at start
//   CONNECTED             a central connected
//   MTU <n>               the ATT MTU was exchanged
//   RX <hex>              bytes written to RX
//   PAIRED <status hex>   a pairing ended (00: success)
//   DISCONNECTED <hex>    the link ended, with its reason
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "sim/ble_host.h"
#include "sim/ble_ll.h"
#include "sim/ble_peripheral.h"
#include "sim/ble_radio.h"
#include "sim/sim.h"

namespace {

namespace ble = sim::ble;
using ble::Bytes;

constexpr int kConsole = 0;
constexpr uint16_t kRx = 0x0702, kTx = 0x0704, kTxCcc = 0x0705;

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
  char buf[600];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf - 2, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) > sizeof buf - 3) n = sizeof buf - 3;
  buf[n++] = '\r';
  buf[n++] = '\n';
  sim::uart_write(kConsole, reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n));
}

struct Peer {
  ble::SimRadio radio{1};
  ble::LinkLayer ll{radio, {0x55, 0x44, 0x33, 0x22, 0x11, 0xC0}, true};
  ble::Peripheral host{ll};

  void advertise() {
    ble::LinkLayer::AdvParams p;
    p.type = ble::kAdvInd;
    p.adv_data = {0x02, 0x01, 0x06, 0x05, 0x09, 'P', 'E', 'E', 'R'};
    p.scan_rsp_data = {0x0B, 0x09, 'Z', 'E', 'M', '.', '3', '3', '4', '4', '5', '5'};
    p.interval = 160;
    ll.start_advertising(p);
  }

  void setup() {
    using A = ble::Attribute;
    ble::AttServer& db = host.att();
    auto add = [&](uint16_t h, Bytes type, Bytes value, uint8_t perm, uint16_t max, bool ccc,
                   bool cb) {
      A a;
      a.handle = h;
      a.type = std::move(type);
      a.value = std::move(value);
      a.permissions = perm;
      a.max_len = max;
      a.ccc = ccc;
      a.write_callback = cb;
      db.add(a);
    };
    const Bytes rx_uuid = ble::uuid128("6E400002-B5A3-F393-E0A9-E50E24DCCA9E");
    const Bytes tx_uuid = ble::uuid128("6E400003-B5A3-F393-E0A9-E50E24DCCA9E");
    auto decl = [](uint8_t props, uint16_t value, const Bytes& uuid) {
      Bytes b{props, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
      b.insert(b.end(), uuid.begin(), uuid.end());
      return b;
    };
    const Bytes svc = ble::uuid128("6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
    add(0x0700, ble::uuid16(ble::kUuidPrimaryService), svc, A::kRead, 16, false, false);
    add(0x0701, ble::uuid16(ble::kUuidCharacteristic), decl(0x0C, kRx, rx_uuid), A::kRead, 19,
        false, false);
    add(kRx, rx_uuid, {}, A::kWrite, 512, false, true);
    add(0x0703, ble::uuid16(ble::kUuidCharacteristic), decl(0x10, kTx, tx_uuid), A::kRead, 19,
        false, false);
    add(kTx, tx_uuid, {}, A::kRead, 512, false, false);
    add(kTxCcc, ble::uuid16(ble::kUuidCcc), {0, 0}, A::kRead | A::kWrite, 2, true, false);

    db.on_write = [this](uint16_t h, uint8_t, uint16_t, const uint8_t* d, size_t n) -> uint8_t {
      if (h != kRx) return 0;
      char hex[1100];
      size_t k = 0;
      for (size_t i = 0; i < n && k + 3 < sizeof hex; ++i)
        k += static_cast<size_t>(std::snprintf(hex + k, sizeof hex - k, "%02X", d[i]));
      hex[k] = 0;
      say("RX %s", hex);
      const ble::Attribute* ccc = host.att().find(kTxCcc);
      if (ccc && ccc->value.size() == 2 && (ccc->value[0] & 1)) host.notify(kTx, d, n);
      return 0;
    };
    db.on_mtu = [](uint16_t mtu) { say("MTU %u", mtu); };
    host.on_connected = [](const ble::LinkLayer::ConnInfo&) { say("CONNECTED"); };
    host.on_disconnected = [this](uint8_t reason) {
      say("DISCONNECTED %02X", reason);
      advertise();
    };
    host.on_passkey_request = [this] { host.pairing().passkey_reply(123456); };
    host.on_pairing_done = [](uint8_t status) { say("PAIRED %02X", status); };
    advertise();
  }
};

}  // namespace

namespace sim {

const ProgramInfo& program_info() {
  static const ProgramInfo info{
      "qiv-ble-peer", kConsole, {0x08000000, 64 * 1024, 2048, 8}, "0: UART0 (console)"};
  return info;
}

[[noreturn]] void program_start() {
  static std::unique_ptr<Peer> peer;
  peer = std::make_unique<Peer>();
  peer->setup();
  say("READY");
  for (;;) sim::wait_for_interrupt();
}

}  // namespace sim
