// Two processes through the time master: a BLE device program advertises and
// the world's central scans, connects, exchanges the MTU, writes, receives
// the device's notifications, pairs and disconnects.
#include <gtest/gtest.h>

#include <string>

#include "sim/ble_central.h"
#include "sim/ble_world_radio.h"
#include "world/driver.h"

namespace {

namespace ble = sim::ble;
using ble::Bytes;

constexpr ble::Address kPeer = {0x55, 0x44, 0x33, 0x22, 0x11, 0xC0};
constexpr ble::Address kPhone = {0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
constexpr sim::time_us kSecond = 1000000;

TEST(BleWorld, TheCentralTalksToADeviceProgramThroughTheMaster) {
  sim::world::Driver w({.image_dir = QIV_IMAGE_DIR});
  std::string console;
  w.on_uart([&](int, int port, sim::time_us, const uint8_t* d, size_t n) {
    if (port == 0) console.append(reinterpret_cast<const char*>(d), n);
  });
  w.start({.name = "peer", .image = "qiv-ble-peer", .world_ports = {0}});
  ble::WorldRadio radio(w.master());
  ble::Central phone(radio, kPhone);
  phone.set_runner([&](sim::time_us deadline, const std::function<bool()>& done) {
    if (!done()) w.run_until(deadline, done);
    return done();
  });
  auto says = [&](const std::string& line) {
    return phone.wait([&] { return console.find(line + "\r\n") != std::string::npos; },
                      2 * kSecond);
  };
  ASSERT_TRUE(says("READY"));

  ASSERT_TRUE(phone.start_scan(true));
  ASSERT_TRUE(phone.wait(
      [&] {
        const auto* d = phone.device(kPeer);
        return d && d->has_scan_rsp;
      },
      2 * kSecond));
  const ble::Central::Device* d = phone.device(kPeer);
  EXPECT_EQ(d->adv_data, (Bytes{0x02, 0x01, 0x06, 0x05, 0x09, 'P', 'E', 'E', 'R'}));
  EXPECT_EQ(d->scan_rsp, (Bytes{0x0B, 0x09, 'Z', 'E', 'M', '.', '3', '3', '4', '4', '5', '5'}));
  EXPECT_EQ(d->rssi_dbm, -80) << "0 dBm less the world's default path loss";

  ASSERT_TRUE(phone.connect(kPeer));
  ASSERT_TRUE(phone.wait([&] { return phone.connected(); }, 2 * kSecond));
  ASSERT_TRUE(says("CONNECTED"));
  uint32_t mtu = phone.exchange_mtu(247);
  ASSERT_TRUE(phone.wait([&] { return phone.done(mtu); }, 2 * kSecond));
  EXPECT_EQ(phone.mtu(), 247);
  ASSERT_TRUE(says("MTU 247"));

  uint32_t disc = phone.discover();
  ASSERT_TRUE(phone.wait([&] { return phone.done(disc); }, 2 * kSecond));
  const auto* tx = phone.characteristic(ble::uuid128("6E400003-B5A3-F393-E0A9-E50E24DCCA9E"));
  const auto* rx = phone.characteristic(ble::uuid128("6E400002-B5A3-F393-E0A9-E50E24DCCA9E"));
  ASSERT_TRUE(tx && rx);
  uint32_t sub = phone.subscribe(tx->value_handle);
  ASSERT_TRUE(phone.wait([&] { return phone.done(sub); }, 2 * kSecond));

  const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
  uint32_t wr = phone.write(rx->value_handle, hello);
  ASSERT_TRUE(
      phone.wait([&] { return phone.done(wr) && !phone.notifications().empty(); }, 2 * kSecond));
  EXPECT_EQ(phone.result(wr).error, 0);
  EXPECT_EQ(phone.notifications()[0].value, hello);
  EXPECT_EQ(phone.notifications()[0].handle, tx->value_handle);
  ASSERT_TRUE(says("RX 68656C6C6F"));

  phone.pair(123456);
  ASSERT_TRUE(phone.wait([&] { return phone.pair_state() != ble::Central::PairState::kPairing; },
                         3 * kSecond));
  EXPECT_EQ(phone.pair_state(), ble::Central::PairState::kPaired);
  ASSERT_TRUE(says("PAIRED 00"));

  ASSERT_TRUE(phone.disconnect(ble::kRemoteUserTerminated));
  ASSERT_TRUE(phone.wait([&] { return !phone.connected(); }, 2 * kSecond));
  EXPECT_EQ(phone.disconnect_reason(), ble::kLocalHostTerminated);
  ASSERT_TRUE(says("DISCONNECTED 13"));

  // It advertises again.
  phone.clear_scan();
  ASSERT_TRUE(phone.start_scan(false));
  ASSERT_TRUE(phone.wait([&] { return phone.device(kPeer) != nullptr; }, 2 * kSecond));
  w.end();
}

}  // namespace
