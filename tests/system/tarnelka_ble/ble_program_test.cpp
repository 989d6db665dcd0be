// api.ble from a user program: a phone scans while the program advertises
// with the time it asks for, or as a beacon; the program scans another
// advertiser of the world, runs a custom service the phone uses, and drives
// the other verbs of api.ble.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/ble_central.h"
#include "sim/ble_world_radio.h"
#include "systest/ble_phone.h"
#include "tarnelka.h"

namespace {

namespace ble = sim::ble;
using systest::Device;
using systest::sec;
using systest::World;
using tk::kUart0;
using tk::kUart1;

constexpr ble::Address kPhone = {0x01, 0x02, 0x03, 0x04, 0x05, 0xC7};
constexpr ble::Address kModule = {0x01, 0x00, 0x00, 0x22, 0x88, 0x66};

struct Bench {
  explicit Bench(const std::string& trace_log = "")
      : radio(world.master()), central(radio, kPhone) {
    systest::run_central_in(central, world);
    systest::DeviceOptions o;
    o.image = "ble-test-tarnelka";
    o.ports = {kUart0, kUart1};
    if (!trace_log.empty()) o.extra_args = {"--trace-log", trace_log};
    module = &world.start("m", o);
    EXPECT_TRUE(module->wait_line(kUart1, "ready", sec(3)));
  }
  bool command(const std::string& line, const std::string& answer) {
    return systest::program_command(*module, kUart1, line, answer);
  }
  // What the phone hears of the module in `window` of scanning, or nothing.
  std::optional<ble::Central::Device> scan(sim::time_us window = sec(5)) {
    return systest::scan_for(central, world, kModule, window);
  }

  World world;
  ble::WorldRadio radio;
  ble::Central central;
  Device* module = nullptr;
};

// The advertising time holds for the whole allowed range, 0 being no limit.
TEST(TarnelkaBleProgram, AdvertisesForTheTimeAskedFor) {
  struct Case {
    int seconds;
    int still_seen_at;  // seconds after the start
    int gone_at;        // 0: never
  };
  const Case cases[] = {{30, 25, 32}, {65, 60, 67}, {66, 61, 68}, {180, 100, 182}, {0, 300, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    Bench b;
    ASSERT_TRUE(b.command("uart " + std::to_string(c.seconds), "uart ok"));
    const sim::time_us start = b.world.now();
    b.world.run_until(start + sec(c.still_seen_at) - sec(5));
    auto seen = b.scan();
    ASSERT_TRUE(seen.has_value()) << "advertising at " << c.still_seen_at << " s";
    EXPECT_EQ(seen->type, ble::kAdvInd);
    if (c.gone_at != 0) {
      b.world.run_until(start + sec(c.gone_at));
      EXPECT_FALSE(b.scan().has_value()) << "advertising after " << c.gone_at << " s";
    }
  }
}

// A connection stops the time limit with the advertising; after the
// disconnection the advertising resumes with the whole limit again.
TEST(TarnelkaBleProgram, AdvertisingAfterADisconnectionHasTheWholeTimeAgain) {
  Bench b;
  ASSERT_TRUE(b.command("uart 180", "uart ok"));
  const sim::time_us start = b.world.now();
  b.world.run_until(start + sec(50));
  ASSERT_TRUE(b.central.connect(kModule));
  ASSERT_TRUE(b.module->wait_line(kUart0, "Connected.", sec(3)));
  b.world.run_until(start + sec(60));
  ASSERT_TRUE(b.central.disconnect());
  ASSERT_TRUE(b.module->wait_line(kUart0, "Disconnected.", sec(3)));
  const sim::time_us resumed = b.world.now();
  b.world.run_until(resumed + sec(170));
  EXPECT_TRUE(b.scan().has_value()) << "advertising 175 s after the disconnection";
  b.world.run_until(resumed + sec(182));
  EXPECT_FALSE(b.scan().has_value()) << "advertising 187 s after the disconnection";
}

TEST(TarnelkaBleProgram, AdvertisingTimesAbove180AreRefused) {
  Bench b;
  EXPECT_TRUE(b.command("uart 181", "uart refused"));
  EXPECT_FALSE(b.scan().has_value());
}

// The beacon: non-connectable, its frame (nothing set in it), once a second.
TEST(TarnelkaBleProgram, BeaconModeAdvertisesTheBeaconFrameEverySecond) {
  Bench b;
  ASSERT_TRUE(b.command("beacon", "beacon ok"));
  auto seen = b.scan(sec(10));
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(seen->type, ble::kAdvNonconnInd);
  ble::Bytes frame = {0x02, 0x01, 0x04, 0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15};
  frame.resize(30, 0x00);
  EXPECT_EQ(seen->adv_data, frame);
  // 1600 units of 0.625 ms between events, plus the random delay of up to
  // 10 ms each event adds.
  ASSERT_GE(seen->adv_times.size(), 5u);
  for (size_t i = 1; i < seen->adv_times.size(); ++i) {
    const sim::time_us gap = seen->adv_times[i] - seen->adv_times[i - 1];
    EXPECT_GE(gap, 1000000u);
    EXPECT_LE(gap, 1010000u);
  }
}

// ---------------------------------------------------------------- api.ble --

std::string hex(const ble::Bytes& b) {
  std::string s;
  char two[3];
  for (uint8_t v : b) {
    std::snprintf(two, sizeof two, "%02X", v);
    s += two;
  }
  return s;
}

// Another device of the world that only advertises.
constexpr ble::Address kTag = {0x11, 0x22, 0x33, 0x44, 0x55, 0xC3};
const std::string kTagText = "C35544332211";  // as the program prints it
const ble::Bytes kTagData = {0x02, 0x01, 0x06, 0x05, 0xFF, 0x59, 0x00, 0xBE, 0xEF};
const ble::Bytes kTagScanRsp = {0x04, 0x09, 'T', 'a', 'g'};

struct Tag {
  Tag(World& w, uint8_t type, int8_t tx_dbm) : radio(w.master()), ll(radio, kTag, true) {
    ll.set_tx_power(tx_dbm);
    ble::LinkLayer::AdvParams p;
    p.type = type;
    p.adv_data = kTagData;
    if (type != ble::kAdvNonconnInd) p.scan_rsp_data = kTagScanRsp;
    p.interval = 160;  // 100 ms
    EXPECT_TRUE(ll.start_advertising(p));
  }
  ble::WorldRadio radio;
  ble::LinkLayer ll;
};

std::string report_line(int rssi, const ble::Bytes& data) {
  return "report " + std::to_string(rssi) + " " + kTagText + " " + hex(data);
}

std::string read_file(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

size_t count(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1))
    ++n;
  return n;
}

// The program's scanner hears another advertiser: its advertising data and
// its scan response (active scanning) with the RSSI the link gives (4 dBm
// sent, 63 dB lost) and its address; stopping ends the reports.
TEST(TarnelkaBleApi, ScanReportsReachTheProgramWithRssiAddressAndData) {
  Bench b;
  Tag tag(b.world, ble::kAdvScanInd, 4);
  b.world.master().budget().set_path_loss(0, static_cast<uint32_t>(b.module->id()), 63.0);
  ASSERT_TRUE(b.command("scan 0", "scan ok"));
  EXPECT_TRUE(b.module->wait_line(kUart1, report_line(4 - 63, kTagData), sec(3)));
  EXPECT_TRUE(b.module->wait_line(kUart1, report_line(4 - 63, kTagScanRsp), sec(3)));
  ASSERT_TRUE(b.command("scanstop", "scanstop ok"));
  b.world.run_for(sec(1));
  b.module->take(kUart1);
  b.world.run_for(sec(3));
  EXPECT_EQ(count(b.module->unread(kUart1), "report"), 0u);
}

// The controller does one thing at a time: no scanning while advertising.
// A scan with a time limit ends by itself.
TEST(TarnelkaBleApi, ScanningIsRefusedWhileAdvertisingAndEndsAfterItsTime) {
  Bench b;
  Tag tag(b.world, ble::kAdvNonconnInd, 0);
  ASSERT_TRUE(b.command("uart 0", "uart ok"));
  ASSERT_TRUE(b.command("advstatus", "advertising 1"));
  EXPECT_TRUE(b.command("scan 0", "scan refused"));
  ASSERT_TRUE(b.command("advstop", "advstop ok"));
  ASSERT_TRUE(b.command("advstatus", "advertising 0"));
  EXPECT_FALSE(b.scan(sec(2)).has_value());
  ASSERT_TRUE(b.command("scan 3", "scan ok"));
  const sim::time_us started = b.world.now();
  EXPECT_TRUE(b.module->wait_output(kUart1, "report -80 " + kTagText, sec(2)));
  b.world.run_until(started + sec(3) + sec(1) / 2);
  b.module->take(kUart1);
  b.world.run_for(sec(3));
  EXPECT_EQ(count(b.module->unread(kUart1), "report"), 0u) << "reports after the scan's 3 s";
  // Scanning is over: advertising may start again.
  EXPECT_TRUE(b.command("uart 0", "uart ok"));
}

// Nor advertising while scanning: the controller refuses, and the start
// answers so instead of claiming advertising that is not on the air.
TEST(TarnelkaBleApi, AdvertisingRefusedByTheControllerIsNotReportedAsStarted) {
  Bench b;
  ASSERT_TRUE(b.command("scan 0", "scan ok"));
  EXPECT_TRUE(b.command("uart 0", "uart refused"));
  EXPECT_TRUE(b.command("advstatus", "advertising 0"));
  EXPECT_FALSE(b.scan(sec(2)).has_value());
  ASSERT_TRUE(b.command("scanstop", "scanstop ok"));
  EXPECT_TRUE(b.command("uart 0", "uart ok"));
  EXPECT_TRUE(b.command("advstatus", "advertising 1"));
  EXPECT_TRUE(b.scan(sec(2)).has_value());
}

// A hook slower than the reports: the ten-record queue fills, the radio task
// gives up on a report after its wait and says so; reports still arrive.
TEST(TarnelkaBleApi, AFullScanQueueDropsReportsWithATrace) {
  const std::string trace = testing::TempDir() + "tarnelka_scan_full.trace";
  std::remove(trace.c_str());
  Bench b(trace);
  Tag tag(b.world, ble::kAdvNonconnInd, 0);
  ASSERT_TRUE(b.command("scanslow 0", "scanslow ok"));
  b.world.run_for(sec(8));
  EXPECT_GE(count(read_file(trace), "Scanner queue error!!!"), 1u);
  // The busy hook holds the program's loop back until the queue is empty.
  tag.ll.stop_advertising();
  b.world.run_for(sec(5));
  EXPECT_GE(count(b.module->unread(kUart1), "report -80 " + kTagText), 20u);
}

// Without a hook nothing is queued: a hook that removes itself and then
// keeps the scanner task busy for 5 s finds no report piled up behind it.
TEST(TarnelkaBleApi, WithoutAScanHookNothingIsQueued) {
  const std::string trace = testing::TempDir() + "tarnelka_scan_nohook.trace";
  std::remove(trace.c_str());
  Bench b(trace);
  Tag tag(b.world, ble::kAdvNonconnInd, 0);
  ASSERT_TRUE(b.command("scanquit 0", "scanquit ok"));
  ASSERT_TRUE(b.module->wait_line(kUart1, "hook quit", sec(8)));
  b.world.run_for(sec(2));
  EXPECT_EQ(count(b.module->unread(kUart1), "report"), 0u);
  EXPECT_EQ(count(read_file(trace), "Scanner queue error!!!"), 0u);
}

// In beacon mode an interval below 100 units (62.5 ms) is raised to 100;
// from 100 up it is used as set. Each event adds up to 10 ms of random delay.
TEST(TarnelkaBleApi, BeaconIntervalBelow100IsRaisedTo100) {
  struct Case {
    int set;
    int used;
  };
  for (const Case& c : {Case{50, 100}, Case{99, 100}, Case{160, 160}}) {
    SCOPED_TRACE(c.set);
    Bench b;
    ASSERT_TRUE(b.command("interval " + std::to_string(c.set), "interval ok"));
    ASSERT_TRUE(b.command("beacon", "beacon ok"));
    auto seen = b.scan(sec(5));
    ASSERT_TRUE(seen.has_value());
    // One event's packets on its three channels lie within 1.5 ms: the
    // scanner may hear two of them when it changes channel.
    std::vector<sim::time_us> events;
    for (sim::time_us t : seen->adv_times)
      if (events.empty() || t - events.back() > 5000) events.push_back(t);
    std::vector<sim::time_us> gaps;
    for (size_t i = 1; i < events.size(); ++i) gaps.push_back(events[i] - events[i - 1]);
    ASSERT_GE(gaps.size(), 20u);
    std::sort(gaps.begin(), gaps.end());
    const sim::time_us unit = 625;
    EXPECT_GE(gaps.front(), c.used * unit - 1500);
    EXPECT_LE(gaps[gaps.size() / 2], c.used * unit + 10000 + 1500);
  }
}

// The phone uses the program's custom service: the advertising carries its
// base UUID; switching a characteristic's notifications reaches the
// program's hook with the characteristic's UUID and value (on) or none
// (off). The bookkeeping is cleared at the disconnection but what the
// service registered stays: after a reconnection the second characteristic
// still reports its own UUID.
TEST(TarnelkaBleApi, CustomServiceNotificationSwitchesReachTheHook) {
  Bench b;
  const ble::Bytes base = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                           0x01, 0x23, 0x45, 0x67, 0x00, 0x00, 0xAB, 0xCD};
  auto char_uuid = [&](uint16_t u) {
    ble::Bytes id = base;
    id[12] = static_cast<uint8_t>(u);
    id[13] = static_cast<uint8_t>(u >> 8);
    return id;
  };
  ASSERT_TRUE(b.command("hooks", "hooks ok"));
  ASSERT_TRUE(b.command("custom", "custom ok"));
  auto seen = b.scan(sec(3));
  ASSERT_TRUE(seen.has_value());
  ble::Bytes adv = {0x02, 0x01, 0x06, 0x11, 0x07};
  adv.insert(adv.end(), base.begin(), base.end());
  EXPECT_EQ(seen->adv_data, adv);
  EXPECT_EQ(seen->type, ble::kAdvInd);

  auto connect_and_discover = [&] {
    EXPECT_TRUE(b.central.connect(kModule));
    EXPECT_TRUE(b.central.wait([&] { return b.central.connected(); }, sec(3)));
    EXPECT_TRUE(b.module->wait_line(kUart1, "hook connected", sec(3)));
    uint32_t disc = b.central.discover();
    EXPECT_TRUE(b.central.wait([&] { return b.central.done(disc); }, sec(5)));
  };
  auto set_ccc = [&](uint16_t handle, uint16_t value) {
    uint32_t id = b.central.subscribe(handle, value);
    EXPECT_TRUE(b.central.wait([&] { return b.central.done(id); }, sec(3)));
  };

  connect_and_discover();
  // Not replaced under the phone's feet.
  EXPECT_TRUE(b.command("custom", "custom refused"));
  const ble::Central::Characteristic* first = b.central.characteristic(char_uuid(0x1001));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(first->ccc, 0);
  ble::Bytes value(20);
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>(0xA0 + i);
  uint32_t wr = b.central.write(first->value_handle, value);
  ASSERT_TRUE(b.central.wait([&] { return b.central.done(wr); }, sec(3)));
  EXPECT_EQ(b.central.result(wr).error, 0);
  set_ccc(first->value_handle, 1);
  EXPECT_TRUE(b.module->wait_line(kUart1, "notify 1001 on " + hex(value), sec(3)));
  set_ccc(first->value_handle, 0);
  EXPECT_TRUE(b.module->wait_line(kUart1, "notify 1001 off", sec(3)));

  ASSERT_TRUE(b.central.disconnect());
  EXPECT_TRUE(b.module->wait_line(kUart1, "hook disconnected", sec(3)));
  b.world.run_for(sec(1));
  connect_and_discover();
  const ble::Central::Characteristic* second = b.central.characteristic(char_uuid(0x1002));
  ASSERT_NE(second, nullptr);
  set_ccc(second->value_handle, 1);
  EXPECT_TRUE(b.module->wait_line(kUart1, "notify 1002 on " + std::string(40, '0'), sec(3)));
}

// The address, the transmit power and the name as the phone sees them;
// advertising stopped and its status.
TEST(TarnelkaBleApi, AddressPowerNameAndAdvertisingStopAsThePhoneSeesThem) {
  Bench b;
  ASSERT_TRUE(b.command("macget", "mac 668822000001"));
  ASSERT_TRUE(b.command("uart 0", "uart ok"));
  auto before = b.scan(sec(2));
  ASSERT_TRUE(before.has_value());
  ASSERT_TRUE(b.command("txpower 4", "txpower ok"));
  auto louder = b.scan(sec(2));
  ASSERT_TRUE(louder.has_value());
  EXPECT_EQ(louder->rssi_dbm, before->rssi_dbm + 4);

  ASSERT_TRUE(b.command("name Probe-7", "name ok"));
  auto named = b.scan(sec(2));
  ASSERT_TRUE(named.has_value());
  EXPECT_EQ(named->scan_rsp, (ble::Bytes{0x08, 0x09, 'P', 'r', 'o', 'b', 'e', '-', '7'}));

  EXPECT_TRUE(b.command("macset C0FFEE12345G", "macset refused"));
  EXPECT_TRUE(b.command("macset C0FFEE1234", "macset refused"));
  ASSERT_TRUE(b.command("macget", "mac 668822000001"));
  ASSERT_TRUE(b.command("macset C0FFEE123456", "macset ok"));
  ASSERT_TRUE(b.command("macget", "mac C0FFEE123456"));
  systest::scan_window(b.central, b.world, sec(3));
  EXPECT_NE(b.central.device({0x56, 0x34, 0x12, 0xEE, 0xFF, 0xC0}), nullptr);
  EXPECT_EQ(b.central.device(kModule), nullptr);

  ASSERT_TRUE(b.command("advstatus", "advertising 1"));
  ASSERT_TRUE(b.command("advstop", "advstop ok"));
  ASSERT_TRUE(b.command("advstatus", "advertising 0"));
  systest::scan_window(b.central, b.world, sec(3));
  EXPECT_TRUE(b.central.devices().empty());
}

// The program owns the BLE port: what the phone writes it reads, what it
// writes the phone gets as a notification; the connection hooks run.
TEST(TarnelkaBleApi, TheProgramReadsAndWritesTheSerialService) {
  Bench b;
  ASSERT_TRUE(b.command("hooks", "hooks ok"));
  ASSERT_TRUE(b.command("serial", "serial ok"));
  ASSERT_TRUE(b.command("uart 0", "uart ok"));
  ASSERT_TRUE(b.central.connect(kModule));
  ASSERT_TRUE(b.central.wait([&] { return b.central.connected(); }, sec(3)));
  ASSERT_TRUE(b.module->wait_line(kUart1, "hook connected", sec(3)));
  uint32_t disc = b.central.discover();
  ASSERT_TRUE(b.central.wait([&] { return b.central.done(disc); }, sec(5)));
  auto* tx = b.central.characteristic(ble::uuid128("6E400003-B5A3-F393-E0A9-E50E24DCCA9E"));
  auto* rx = b.central.characteristic(ble::uuid128("6E400002-B5A3-F393-E0A9-E50E24DCCA9E"));
  ASSERT_TRUE(tx && rx);
  uint32_t sub = b.central.subscribe(tx->value_handle);
  ASSERT_TRUE(b.central.wait([&] { return b.central.done(sub); }, sec(3)));

  uint32_t wr = b.central.write(rx->value_handle, {'h', 'e', 'l', 'l', 'o'});
  ASSERT_TRUE(b.central.wait([&] { return b.central.done(wr); }, sec(3)));
  b.world.run_for(sec(1) / 10);
  EXPECT_TRUE(b.command("read", "read 5 hello (5 in all)"));
  EXPECT_TRUE(b.command("read", "read 0  (5 in all)"));
  b.central.notifications().clear();
  ASSERT_TRUE(b.command("write abc", "write 0"));
  ASSERT_TRUE(b.central.wait([&] { return !b.central.notifications().empty(); }, sec(2)));
  EXPECT_EQ(b.central.notifications().front().value, (ble::Bytes{'a', 'b', 'c'}));

  ASSERT_TRUE(b.central.disconnect());
  EXPECT_TRUE(b.module->wait_line(kUart1, "hook disconnected", sec(3)));
  EXPECT_TRUE(b.command("write abc", "write -7"));
}

// The beacon's frame: the iBeacon fields, or advertising data of the
// program's own.
TEST(TarnelkaBleApi, BeaconFramesOfTheProgram) {
  Bench b;
  ASSERT_TRUE(b.command("ibeacon", "ibeacon ok"));
  auto seen = b.scan(sec(3));
  ASSERT_TRUE(seen.has_value());
  ble::Bytes frame = {0x02, 0x01, 0x04, 0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15};
  for (int i = 0; i < 16; ++i) frame.push_back(static_cast<uint8_t>(0xA0 + i));
  frame.insert(frame.end(), {0x01, 0x02, 0x03, 0x04, 0xC5});
  EXPECT_EQ(seen->adv_data, frame);
  ASSERT_TRUE(b.command("bdata 0201040503AABBCCDD", "bdata ok"));
  seen = b.scan(sec(3));
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(seen->adv_data, (ble::Bytes{0x02, 0x01, 0x04, 0x05, 0x03, 0xAA, 0xBB, 0xCC, 0xDD}));
  EXPECT_EQ(seen->type, ble::kAdvNonconnInd);
}

// What the verbs refuse, and what this module has not (a HID keyboard).
TEST(TarnelkaBleApi, RefusedArguments) {
  Bench b;
  const std::pair<std::string, std::string> cases[] = {
      {"pin 1234567", "pin refused"},
      {"pin 12a", "pin refused"},
      {"pin 123456", "pin ok"},
      {"perm 2", "perm ok"},
      {"perm 3", "perm refused"},
      {"hid", "hid refused"},
      {"scanint 3 3", "scanint refused"},
      {"scanint 160 200", "scanint refused"},
      {"scanint 320 160", "scanint ok"},
      {"interval 31", "interval refused"},
      {"interval 16385", "interval refused"},
      {"name 123456789012345678901234567890", "name refused"},
      {"bdata " + std::string(64, 'A'), "bdata refused"},
      {"macset 12345678901", "macset refused"},
  };
  for (const auto& c : cases) EXPECT_TRUE(b.command(c.first, c.second)) << c.first;
  // Everything off: nothing advertises any more.
  ASSERT_TRUE(b.command("uart 0", "uart ok"));
  ASSERT_TRUE(b.command("blestop", "blestop ok"));
  ASSERT_TRUE(b.command("advstatus", "advertising 0"));
  EXPECT_FALSE(b.scan(sec(2)).has_value());
}

}  // namespace
