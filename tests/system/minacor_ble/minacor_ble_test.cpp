// A phone next to a running Minacor: the advertising of the serial service
// and of the beacon byte for byte, connections and pairing reported on the
// USB port, AT commands over the serial service in notifications of the
// link's MTU, advertising time limits, flash work while advertising, the
// port lock over BLE, and input the module must refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "foundation.h"
#include "sim/ble_central.h"
#include "sim/ble_world_radio.h"

namespace {

namespace ble = sim::ble;
using fdn::exchange;
using systest::Device;
using systest::DeviceOptions;
using systest::ms;
using systest::sec;
using systest::World;

constexpr int kUart0 = 0, kUart1 = 1, kUsb = 3;
constexpr ble::Address kPhone = {0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
// The chip's own address C0:11:22:33:44:55 (FICR words of --uid).
const char* const kUid = "22334455:C011:0";
constexpr ble::Address kModule = {0x55, 0x44, 0x33, 0x22, 0x11, 0xC0};

ble::Bytes bytes(const std::string& s) { return ble::Bytes(s.begin(), s.end()); }
std::string text(const ble::Bytes& b) { return std::string(b.begin(), b.end()); }
ble::Bytes operator+(ble::Bytes a, const ble::Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const ble::Bytes kNusUuid = ble::uuid128("6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
// Flags (LE general discoverable, no BR/EDR) and the complete local name.
const ble::Bytes kSerialAdv = ble::Bytes{0x02, 0x01, 0x06, 0x0B, 0x09} + bytes("ZEM.334455");
// The complete list of 128-bit service UUIDs: the serial service.
const ble::Bytes kSerialScanRsp = ble::Bytes{0x11, 0x07} + kNusUuid;
// Flags (no BR/EDR) and manufacturer data of company 0x00FF: the beacon frame.
const ble::Bytes kBeaconAdv = {0x02, 0x01, 0x04, 0x1A, 0xFF, 0xFF, 0x00, 0x02, 0x15, 0x01, 0x12,
                               0x23, 0x34, 0x45, 0x56, 0x67, 0x78, 0x89, 0x9A, 0xAB, 0xBC, 0xCD,
                               0xDE, 0xEF, 0xF0, 0x01, 0x02, 0x03, 0x04, 0xC3};

DeviceOptions module_options(const std::string& image) {
  DeviceOptions o;
  o.image = image;
  o.ports = {kUart0, kUart1, kUsb};
  o.extra_args = {"--uid", kUid};
  return o;
}

struct Bench {
  explicit Bench(const std::string& image = "minacor")
      : radio(world.master()), central(radio, kPhone) {
    central.set_runner([this](sim::time_us deadline, const std::function<bool()>& done) {
      if (!done() && deadline > world.now()) world.run_until(done, deadline - world.now());
      return done();
    });
    module = &world.start("m", module_options(image));
    if (image != "minacor") {
      EXPECT_TRUE(module->wait_line(kUart1, "ready", sec(3)));
    }
    world.run_for(ms(500));
    module->take(kUart0);
    module->take(kUsb);
  }
  // A command of the test program on UART1 and its answer.
  bool command(const std::string& line, const std::string& answer) {
    module->write(kUart1, line + "\r\n");
    return module->wait_line(kUart1, answer, sec(3));
  }
  // What the phone hears of the module in `window` of scanning.
  std::optional<ble::Central::Device> scan(sim::time_us window = sec(2)) {
    central.clear_scan();
    central.start_scan(true);
    world.run_for(window);
    central.stop_scan();
    const ble::Central::Device* d = central.device(kModule);
    if (d == nullptr) return std::nullopt;
    return *d;
  }
  bool connect() {
    return central.connect(kModule) && central.wait([&] { return central.connected(); }, sec(3));
  }
  bool disconnect() {
    return central.disconnect() && central.wait([&] { return !central.connected(); }, sec(3));
  }
  // Discovers the serial service; subscribes to its notifications unless
  // told not to.
  bool open_serial(bool subscribe = true) {
    uint32_t disc = central.discover();
    if (!central.wait([&] { return central.done(disc); }, sec(5))) return false;
    tx = central.characteristic(ble::uuid128("6E400003-B5A3-F393-E0A9-E50E24DCCA9E"));
    rx = central.characteristic(ble::uuid128("6E400002-B5A3-F393-E0A9-E50E24DCCA9E"));
    if (!tx || !rx) return false;
    if (!subscribe) return true;
    uint32_t sub = central.subscribe(tx->value_handle);
    return central.wait([&] { return central.done(sub); }, sec(3));
  }
  bool mtu(uint16_t m) {
    uint32_t id = central.exchange_mtu(m);
    return central.wait([&] { return central.done(id); }, sec(2));
  }
  // Writes `line` to RX and gathers the notified text until it ends with
  // `end` (or 3 s have passed).
  std::string at(const std::string& line, const std::string& end = "OK\r\n") {
    central.notifications().clear();
    uint32_t wr = central.write(rx->value_handle, bytes(line));
    central.wait(
        [&] {
          std::string got = notified();
          return central.done(wr) && got.size() >= end.size() &&
                 got.compare(got.size() - end.size(), end.size(), end) == 0;
        },
        sec(3));
    return notified();
  }
  std::string notified() {
    std::string s;
    for (const auto& n : central.notifications())
      if (tx && n.handle == tx->value_handle) s += text(n.value);
    return s;
  }
  std::vector<size_t> notification_sizes() {
    std::vector<size_t> v;
    for (const auto& n : central.notifications())
      if (tx && n.handle == tx->value_handle) v.push_back(n.value.size());
    return v;
  }

  World world;
  ble::WorldRadio radio;
  ble::Central central;
  Device* module = nullptr;
  const ble::Central::Characteristic* tx = nullptr;
  const ble::Central::Characteristic* rx = nullptr;
};

// ------------------------------------------------------------ advertising --

// The serial mode's advertising: connectable, flags and the name built from
// the chip's address in the packet, the serial service's UUID in the scan
// response, every 300 ms.
TEST(Advertising, SerialModeBytesAndTheNameFromTheAddress) {
  Bench b;
  std::optional<ble::Central::Device> m = b.scan(sec(3));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->type, ble::kAdvInd);
  EXPECT_TRUE(m->random);
  EXPECT_EQ(m->adv_data, kSerialAdv);
  ASSERT_TRUE(m->has_scan_rsp);
  EXPECT_EQ(m->scan_rsp, kSerialScanRsp);
  ASSERT_GE(m->adv_times.size(), 3u);
  for (size_t i = 1; i < m->adv_times.size(); ++i) {
    const sim::time_us gap = m->adv_times[i] - m->adv_times[i - 1];
    EXPECT_GE(gap, ms(300));
    EXPECT_LE(gap, ms(311));  // plus the random advertising delay
  }
  EXPECT_TRUE(exchange(*b.module, kUsb, "AT+BLEMAC=?\r\n", "AT+BLEMAC=c0:11:22:33:44:55\r\nOK\r\n"));
}

}  // namespace
