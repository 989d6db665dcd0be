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
// It also answers the packets of the firmware-update service (handles 0x0820
// to 0x0825) as a device would, keeping nothing but the image's length and
// check value:
//   UPDATE <length> <crc hex> OK|FAILED   at the verify command
//   RESET                                 at the reset command
#include <algorithm>
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
constexpr uint16_t kUpdRx = 0x0822, kUpdTx = 0x0824;

uint32_t crc32(const uint8_t* d, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= d[i];
    for (int b = 0; b < 8; ++b) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

uint32_t image_crc(uint32_t c, const uint8_t* d, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    c ^= static_cast<uint32_t>(d[i]) << 24;
    for (int b = 0; b < 8; ++b) c = (c & 0x80000000u) ? (c << 1) ^ 0x1EDC6F41u : c << 1;
  }
  return c;
}

uint32_t word(const uint8_t* p) {
  return static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) |
         (static_cast<uint32_t>(p[3]) << 24);
}

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
  // firmware update
  Bytes packet;
  size_t packet_len = 0;
  uint8_t packet_type = 0;
  uint32_t fw_length = 0, fw_crc = 0, got = 0, crc = 0;

  void update_reply(uint8_t cmd, uint8_t status, bool with_offset) {
    Bytes r{static_cast<uint8_t>(with_offset ? 6 : 2), 0, cmd, status};
    if (with_offset)
      for (int i = 0; i < 4; ++i) r.push_back(static_cast<uint8_t>(got >> (8 * i)));
    host.notify(kUpdTx, r.data(), r.size());
  }

  void update_write(const uint8_t* d, size_t n) {
    if (packet.empty() && packet_len == 0) {
      if (n < 3) return update_reply(1, 3, false);
      packet_len = static_cast<size_t>(d[0] | (d[1] << 8));
      packet_type = d[2];
      d += 3;
      n -= 3;
      if (packet_len < 4) {
        packet_len = 0;
        return;
      }
    }
    packet.insert(packet.end(), d, d + n);
    if (packet.size() < packet_len) return;
    const size_t data_len = packet_len - 4;
    const bool crc_ok = packet.size() == packet_len &&
                        crc32(packet.data(), data_len) == word(packet.data() + data_len);
    Bytes data(packet.begin(),
               packet.begin() + static_cast<long>(std::min(data_len, packet.size())));
    const uint8_t type = packet_type;
    packet.clear();
    packet_len = 0;
    if (!crc_ok) return update_reply(type, 1, false);
    switch (type) {
      case 1:
        if (data.size() < 44) return update_reply(1, 2, false);
        fw_length = word(&data[8]);
        fw_crc = word(&data[12]);
        got = crc = 0;
        return update_reply(1, 0, true);
      case 2:
        got += static_cast<uint32_t>(data.size());
        crc = image_crc(crc, data.data(), data.size());
        return update_reply(2, 0, true);
      case 3: {
        const bool ok = crc == fw_crc && got == fw_length;
        say("UPDATE %u %08X %s", static_cast<unsigned>(got), static_cast<unsigned>(crc),
            ok ? "OK" : "FAILED");
        return update_reply(3, ok ? 0 : 1, false);
      }
      case 4:
        say("RESET");
        return update_reply(4, 0, false);
      default:
        return;
    }
  }

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
    const Bytes upd = ble::uuid128("00002760-08C2-11E1-9073-0E8AC72E1001");
    const Bytes upd_rx = ble::uuid128("00002760-08C2-11E1-9073-0E8AC72E0001");
    const Bytes upd_tx = ble::uuid128("00002760-08C2-11E1-9073-0E8AC72E0002");
    add(0x0820, ble::uuid16(ble::kUuidPrimaryService), upd, A::kRead, 16, false, false);
    add(0x0821, ble::uuid16(ble::kUuidCharacteristic), decl(0x04, kUpdRx, upd_rx), A::kRead, 19,
        false, false);
    add(kUpdRx, upd_rx, {}, A::kWrite, 512, false, true);
    add(0x0823, ble::uuid16(ble::kUuidCharacteristic), decl(0x10, kUpdTx, upd_tx), A::kRead, 19,
        false, false);
    add(kUpdTx, upd_tx, {}, A::kRead, 512, false, false);
    add(0x0825, ble::uuid16(ble::kUuidCcc), {0, 0}, A::kRead | A::kWrite, 2, true, false);

    db.on_write = [this](uint16_t h, uint8_t, uint16_t, const uint8_t* d, size_t n) -> uint8_t {
      if (h == kUpdRx) {
        update_write(d, n);
        return 0;
      }
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
      packet.clear();
      packet_len = 0;
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
