// api.ble of a program on a running Minacor, against the world's phone and
// a beacon next to it: the scanner and its report hook, the address, the
// advertising power, stop and status, the pairing passkey, the beacon's
// data, and the serial service read and written by the program.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "foundation.h"
#include "sim/ble_central.h"
#include "sim/ble_world_radio.h"
#include "systest/ble_phone.h"

namespace {

namespace ble = sim::ble;
using systest::Device;
using systest::DeviceOptions;
using systest::ms;
using systest::sec;
using systest::World;

constexpr int kUart0 = 0, kUart1 = 1, kUsb = 3;
constexpr ble::Address kPhone = {0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
constexpr ble::Address kModule = {0x55, 0x44, 0x33, 0x22, 0x11, 0xC0};
constexpr ble::Address kBeacon = {0x16, 0x15, 0x14, 0x13, 0x12, 0xC1};
// Flags, and manufacturer data of company 0x1234.
const ble::Bytes kBeaconAdv = {0x02, 0x01, 0x04, 0x06, 0xFF, 0x34, 0x12, 0xDE, 0xAD, 0x01};

struct Report {
  int rssi;
  std::string address;
  std::string data;
};

struct Bench {
  Bench() : radio(world.master()), central(radio, kPhone) {
    systest::run_central_in(central, world);
    DeviceOptions o;
    o.image = "ble-test-minacor";
    o.ports = {kUart0, kUart1, kUsb};
    o.extra_args = {"--uid", "22334455:C011:0", "--rtt-log", "1"};
    module = &world.start("m", o);
    EXPECT_TRUE(module->wait_line(kUart1, "ready", sec(3)));
    world.run_for(ms(500));
    module->take(kUart0);
    module->take(kUsb);
  }
  bool command(const std::string& line, const std::string& answer) {
    return systest::program_command(*module, kUart1, line, answer);
  }
  // A beacon in the room, non-connectable, every 100 ms.
  void beacon_on(int8_t dbm = 0) {
    beacon_radio.emplace(world.master());
    beacon.emplace(*beacon_radio, kBeacon, true);
    beacon->set_tx_power(dbm);
    ble::LinkLayer::AdvParams p;
    p.type = ble::kAdvNonconnInd;
    p.adv_data = kBeaconAdv;
    p.interval = 160;
    ASSERT_TRUE(beacon->start_advertising(p));
  }
  // The hook's reports printed by the program in `window`.
  std::vector<Report> reports(sim::time_us window) {
    world.run_for(window);
    std::vector<Report> v;
    std::istringstream lines(module->take(kUart1));
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind("report ", 0) != 0) continue;
      std::istringstream f(line.substr(7));
      Report r{};
      f >> r.rssi >> r.address >> r.data;
      v.push_back(r);
    }
    return v;
  }
  std::optional<ble::Central::Device> scan(sim::time_us window = sec(1)) {
    return systest::scan_for(central, world, kModule, window);
  }
  bool connect_serial() {
    if (!central.connect(kModule) || !central.wait([&] { return central.connected(); }, sec(3)))
      return false;
    return serial.open(central);
  }
  std::string notified() { return serial.notified(central); }

  World world;
  ble::WorldRadio radio;
  ble::Central central;
  std::optional<ble::WorldRadio> beacon_radio;
  std::optional<ble::LinkLayer> beacon;
  Device* module = nullptr;
  systest::SerialLink serial;
};

// ---------------------------------------------------------------- scanner --

// A beacon heard: its address, signal and manufacturer data reach the
// hook, once while its signal stays the same and again when it changes;
// after the stop nothing more comes.
TEST(Scanner, ReportsOnlyWhenTheSignalChangesUntilStopped) {
  Bench b;
  b.beacon_on(0);
  ASSERT_TRUE(b.command("scan 0", "scan 1"));
  std::vector<Report> first = b.reports(sec(2));
  ASSERT_EQ(first.size(), 1u) << "the same signal is reported once";
  EXPECT_EQ(first[0].address, "C11213141516");
  EXPECT_EQ(first[0].data, "3412DEAD01");
  EXPECT_LT(first[0].rssi, 0);
  EXPECT_GT(first[0].rssi, -100);

  b.beacon->set_tx_power(8);
  std::vector<Report> louder = b.reports(sec(2));
  ASSERT_EQ(louder.size(), 1u);
  EXPECT_GT(louder[0].rssi, first[0].rssi);
  EXPECT_EQ(louder[0].data, "3412DEAD01");

  ASSERT_TRUE(b.command("scanstop", "scanstop 1"));
  ASSERT_TRUE(b.command("scanning", "scanning 0"));
  b.beacon->set_tx_power(0);
  EXPECT_TRUE(b.reports(sec(2)).empty());
  // Started again, the first report comes whatever the last one was.
  b.beacon->set_tx_power(8);
  ASSERT_TRUE(b.command("scan 0", "scan 1"));
  EXPECT_EQ(b.reports(sec(1)).size(), 1u);
}

// A scan with a time limit ends by itself (and says so in the log); one
// without goes on until the BLE stops. A second start while scanning is
// refused.
TEST(Scanner, TimeLimit) {
  struct Case {
    int seconds;
    const char* after;
  };
  for (const Case& c : {Case{2, "scanning 0"}, Case{0, "scanning 1"}}) {
    SCOPED_TRACE(c.seconds);
    Bench b;
    ASSERT_TRUE(b.command("scan " + std::to_string(c.seconds), "scan 1"));
    ASSERT_TRUE(b.command("scanning", "scanning 1"));
    b.world.run_for(sec(3));
    ASSERT_TRUE(b.command("scanning", c.after));
    EXPECT_EQ(b.module->log().find("(BLE Scan) Scan timed out.") != std::string::npos,
              c.seconds != 0);
    if (c.seconds == 0) {
      EXPECT_TRUE(b.command("scan 0", "scan 0"));
      ASSERT_TRUE(b.command("blestop", "blestop 1"));
      EXPECT_TRUE(b.command("scanning", "scanning 0"));
    }
  }
}

// Reports carry no link: while the phone is connected they must leave the
// link to the serial service as it is.
TEST(Scanner, WhileConnectedTheLinkStays) {
  Bench b;
  ASSERT_TRUE(b.command("uart 60", "uart 0"));
  ASSERT_TRUE(b.connect_serial());
  b.beacon_on(0);
  ASSERT_TRUE(b.command("scan 0", "scan 1"));
  ASSERT_EQ(b.reports(sec(2)).size(), 1u);
  b.central.notifications().clear();
  ASSERT_TRUE(b.command("bwrite hello", "bwrite 0"));
  EXPECT_TRUE(b.central.wait([&] { return b.notified() == "hello"; }, sec(2))) << b.notified();
  EXPECT_TRUE(b.central.connected());
}

// ---------------------------------------------------------------- api.ble --

TEST(ApiBle, MacGetAndSet) {
  Bench b;
  ASSERT_TRUE(b.command("mac", "mac C01122334455"));
  ASSERT_TRUE(b.command("uart 60", "uart 0"));
  ASSERT_TRUE(b.command("setmac C0AABBCCDDEE", "setmac 1"));
  ASSERT_TRUE(b.command("mac", "mac C0AABBCCDDEE"));
  systest::scan_window(b.central, b.world, sec(1));
  EXPECT_NE(b.central.device({0xEE, 0xDD, 0xCC, 0xBB, 0xAA, 0xC0}), nullptr);
  // Not an address of 12 hexadecimal digits: refused, nothing changes.
  ASSERT_TRUE(b.command("setmac C0AABBCCDD", "setmac 0"));
  ASSERT_TRUE(b.command("mac", "mac C0AABBCCDDEE"));
}

// The advertising power as the phone hears it; a level the radio does not
// have is refused and the module goes on advertising.
TEST(ApiBle, TxPowerHeardByThePhone) {
  Bench b;
  ASSERT_TRUE(b.command("uart 0", "uart 0"));
  std::optional<ble::Central::Device> quiet = b.scan();
  ASSERT_TRUE(quiet);
  ASSERT_TRUE(b.command("power 8", "power 1"));
  std::optional<ble::Central::Device> loud = b.scan();
  ASSERT_TRUE(loud);
  EXPECT_GT(loud->rssi_dbm, quiet->rssi_dbm);
  ASSERT_TRUE(b.command("power -5", "power 0"));
  std::optional<ble::Central::Device> still = b.scan();
  ASSERT_TRUE(still);
  EXPECT_EQ(still->rssi_dbm, loud->rssi_dbm);
}

TEST(ApiBle, AdvertiseStopAndStatus) {
  Bench b;
  ASSERT_TRUE(b.command("uart 60", "uart 0"));
  ASSERT_TRUE(b.command("advstatus", "advstatus 1"));
  ASSERT_TRUE(b.scan());
  ASSERT_TRUE(b.command("advstop", "advstop 1"));
  ASSERT_TRUE(b.command("advstatus", "advstatus 0"));
  EXPECT_FALSE(b.scan());
}

// The key set by the program is the passkey of the next pairing; the phone
// pairs with it and fails with another.
TEST(ApiBle, PairingKeyIsTheStaticPasskey) {
  for (uint32_t typed : {654321u, 123456u}) {
    SCOPED_TRACE(typed);
    Bench b;
    ASSERT_TRUE(b.command("uart 60", "uart 0"));
    ASSERT_TRUE(b.command("pin 12a456", "pin 0"));
    ASSERT_TRUE(b.command("pin 1234567", "pin 0"));
    ASSERT_TRUE(b.command("perm 3", "perm 1"));
    ASSERT_TRUE(b.command("pin 654321", "pin 1"));
    ASSERT_TRUE(b.central.connect(kModule));
    ASSERT_TRUE(b.module->wait_line(kUsb, "Connected.", sec(3)));
    b.central.pair(typed, ble::kSmpAuthBonding | ble::kSmpAuthMitm);
    ASSERT_TRUE(b.central.wait(
        [&] { return b.central.pair_state() != ble::Central::PairState::kPairing; }, sec(5)));
    EXPECT_TRUE(b.module->wait_line(kUsb, "Please input [654321] passcode to your smartphone apps.",
                                    sec(2)));
    EXPECT_EQ(b.central.pair_state(), typed == 654321u ? ble::Central::PairState::kPaired
                                                       : ble::Central::PairState::kFailed);
  }
}

// The beacon's frame set by the program, advertised at once.
TEST(ApiBle, BeaconData) {
  struct Case {
    const char* command;
    const char* answer;
    ble::Bytes manufacturer;  // after the company identifier 0x00FF
  };
  const std::vector<Case> cases = {
      {"ibeacon", "ibeacon 1", {0x02, 0x15, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6,
                                0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE,
                                0xAF, 0xB0, 0x0A, 0x0B, 0x0C, 0x0D, 0xC5}},
      {"bdata 0102030405", "bdata 1", {0x01, 0x02, 0x03, 0x04, 0x05}},
  };
  Bench b;
  ASSERT_TRUE(b.command("beacon 0 160", "beacon 0"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_TRUE(b.command(c.command, c.answer));
    std::optional<ble::Central::Device> d = b.scan();
    ASSERT_TRUE(d);
    ble::Bytes want = {0x02, 0x01, 0x04, static_cast<uint8_t>(c.manufacturer.size() + 3),
                       0xFF, 0xFF, 0x00};
    want.insert(want.end(), c.manufacturer.begin(), c.manufacturer.end());
    EXPECT_EQ(d->adv_data, want);
  }
  // More than the beacon frame holds: refused.
  ASSERT_TRUE(b.command("bdata " + std::string(48, 'A'), "bdata 0"));
  // A power the radio does not have is refused: kept, the beacon's next
  // start would fail on it and reset the module.
  ASSERT_TRUE(b.command("power -5", "power 0"));
  ASSERT_TRUE(b.command("beacon 0 160", "beacon 0"));
  EXPECT_TRUE(b.scan());
}

// The serial service's bytes in the program's hands: what the phone writes
// is read by the program, what the program writes is notified.
TEST(ApiBle, UartWriteAndRead) {
  Bench b;
  ASSERT_TRUE(b.command("uart 60", "uart 0"));
  ASSERT_TRUE(b.command("bwrite early", "bwrite -7")) << "no link yet";
  ASSERT_TRUE(b.connect_serial());
  ASSERT_TRUE(b.command("bcustom", "bcustom 0"));
  uint32_t wr = b.central.write(b.serial.rx->value_handle, {'p', 'i', 'n', 'g'});
  ASSERT_TRUE(b.central.wait([&] { return b.central.done(wr); }, sec(2)));
  b.world.run_for(ms(200));
  ASSERT_TRUE(b.command("bread", "bread ping"));
  b.central.notifications().clear();
  ASSERT_TRUE(b.command("bwrite pong", "bwrite 0"));
  EXPECT_TRUE(b.central.wait([&] { return b.notified() == "pong"; }, sec(2))) << b.notified();
}

}  // namespace
