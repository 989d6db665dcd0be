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
#include "systest/ble_phone.h"

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
const ble::Bytes kBeaconAdv = {0x02, 0x01, 0x04, 0x1A, 0xFF, 0xFF, 0x00, 0x02, 0x15, 0x01,
                               0x12, 0x23, 0x34, 0x45, 0x56, 0x67, 0x78, 0x89, 0x9A, 0xAB,
                               0xBC, 0xCD, 0xDE, 0xEF, 0xF0, 0x01, 0x02, 0x03, 0x04, 0xC3};

// The mean time between advertising events heard (each event is delayed by
// a random 0 to 10 ms).
sim::time_us mean_interval(const ble::Central::Device& d) {
  if (d.adv_times.size() < 2) return 0;
  return (d.adv_times.back() - d.adv_times.front()) / (d.adv_times.size() - 1);
}

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
    systest::run_central_in(central, world);
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
    return systest::program_command(*module, kUart1, line, answer);
  }
  // What the phone hears of the module in `window` of scanning.
  std::optional<ble::Central::Device> scan(sim::time_us window = sec(2)) {
    return systest::scan_for(central, world, kModule, window);
  }
  bool connect() {
    return central.connect(kModule) && central.wait([&] { return central.connected(); }, sec(3));
  }
  bool disconnect() {
    return central.disconnect() && central.wait([&] { return !central.connected(); }, sec(3));
  }
  // Discovers the serial service; subscribes to its notifications unless
  // told not to.
  bool open_serial(bool subscribe = true) { return serial.open(central, subscribe); }
  bool mtu(uint16_t m) {
    uint32_t id = central.exchange_mtu(m);
    return central.wait([&] { return central.done(id); }, sec(2));
  }
  // Writes `line` to RX and gathers the notified text until it ends with
  // `end` (or 3 s have passed).
  std::string at(const std::string& line, const std::string& end = "OK\r\n") {
    return serial.exchange(central, line, end, sec(3));
  }
  std::string notified() { return serial.notified(central); }
  std::vector<size_t> notification_sizes() {
    std::vector<size_t> v;
    for (const auto& n : central.notifications())
      if (serial.tx && n.handle == serial.tx->value_handle) v.push_back(n.value.size());
    return v;
  }

  World world;
  ble::WorldRadio radio;
  ble::Central central;
  Device* module = nullptr;
  systest::SerialLink serial;
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
  EXPECT_GE(mean_interval(*m), ms(300));
  EXPECT_LE(mean_interval(*m), ms(310));
  EXPECT_TRUE(
      exchange(*b.module, kUsb, "AT+BLEMAC=?\r\n", "AT+BLEMAC=c0:11:22:33:44:55\r\nOK\r\n"));
}

// A name set by the user program is advertised at once, within the 31
// bytes of the packet (a full name that does not fit is cut to a short
// one); names of none or more than 30 characters are refused.
TEST(Advertising, TheNameSetByTheProgram) {
  struct Case {
    std::string name;
    std::string answer;
    ble::Bytes adv;
  };
  const std::string n26(26, 'n'), n30(30, 'm');
  const std::vector<Case> cases = {
      {"Kestrel", "name 0", ble::Bytes{0x02, 0x01, 0x06, 0x08, 0x09} + bytes("Kestrel")},
      {n26, "name 0", ble::Bytes{0x02, 0x01, 0x06, 0x1B, 0x09} + bytes(n26)},
      {n30, "name 0", ble::Bytes{0x02, 0x01, 0x06, 0x1B, 0x08} + bytes(n30.substr(0, 26))},
      {n30 + "x", "name -3", kSerialAdv},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b("ble-test-minacor");
    ASSERT_TRUE(b.command("adv 60", "adv 0"));
    ASSERT_TRUE(b.command("name " + c.name, c.answer));
    std::optional<ble::Central::Device> m = b.scan(sec(1));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->adv_data, c.adv);
  }
}

// Advertising ends after its time; a disconnection starts it again; a time
// of 0 advertises for ever (30 s at a time, started again each time the
// set ends); more than 180 s is refused.
TEST(Advertising, TimeLimitsAndAlways) {
  struct Case {
    std::string command;
    std::string answer;
    std::vector<int> seen_at;  // seconds after the command
    std::vector<int> gone_at;
  };
  const std::vector<Case> cases = {
      {"adv 5", "adv 0", {2}, {8}},
      {"adv 0", "adv 0", {2, 33, 64, 95}, {}},
      {"adv 181", "adv -7", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    Bench b("ble-test-minacor");
    ASSERT_TRUE(b.command(c.command, c.answer));
    const sim::time_us start = b.world.now();
    std::vector<std::pair<int, bool>> checks;
    for (int t : c.seen_at) checks.push_back({t, true});
    for (int t : c.gone_at) checks.push_back({t, false});
    std::sort(checks.begin(), checks.end());
    for (const auto& [t, seen] : checks) {
      b.world.run_until(start + sec(t));
      EXPECT_EQ(b.scan(sec(1)).has_value(), seen) << t << " s";
    }
  }
}

TEST(Advertising, AgainAfterADisconnection) {
  Bench b;
  ASSERT_TRUE(b.connect());
  EXPECT_FALSE(b.scan(sec(1))) << "no advertising while connected";
  ASSERT_TRUE(b.disconnect());
  EXPECT_TRUE(b.scan(sec(1)));
}

// The beacon: non-connectable, the frame of company 0x00FF, no scan
// response, an interval of at least 62.5 ms.
TEST(Advertising, BeaconFrameAndInterval) {
  struct Case {
    int interval;  // asked for, 0.625 ms
    sim::time_us gap;
  };
  for (const Case& c : {Case{50, 62500}, Case{800, 500000}}) {
    SCOPED_TRACE(c.interval);
    Bench b("ble-test-minacor");
    ASSERT_TRUE(b.command("beacon 0 " + std::to_string(c.interval), "beacon 0"));
    std::optional<ble::Central::Device> m = b.scan(sec(3));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, ble::kAdvNonconnInd);
    EXPECT_EQ(m->adv_data, kBeaconAdv);
    EXPECT_FALSE(m->has_scan_rsp);
    const sim::time_us mean = mean_interval(*m);
    EXPECT_GE(mean, c.gap);
    EXPECT_LE(mean, c.gap + ms(10));
    EXPECT_FALSE(b.connect()) << "a beacon takes no connection";
  }
}

// ------------------------------------------------------------ connections --

TEST(Connection, ConnectedAndDisconnectedOnTheUsbPort) {
  Bench b;
  ASSERT_TRUE(b.connect());
  EXPECT_TRUE(b.module->wait_line(kUsb, "Connected.", sec(2)));
  ASSERT_TRUE(b.disconnect());
  EXPECT_TRUE(b.module->wait_line(kUsb, "Disconnected.", sec(2)));
  ASSERT_TRUE(b.connect());
  EXPECT_TRUE(b.module->wait_line(kUsb, "Connected.", sec(2)));
}

// A connection interval outside the module's preferred range: it asks for
// its own 5 s after the connection and every 30 s after that; a phone that
// never grants them is dropped with "unacceptable connection interval"
// after the third request.
TEST(Connection, ParametersOutsideThePreferredRange) {
  for (bool grant : {true, false}) {
    SCOPED_TRACE(grant);
    Bench b;
    b.central.set_accept_updates(grant);
    ble::ConnectionParams slow;
    slow.interval = 100;  // 125 ms, above the preferred 75 ms
    ASSERT_TRUE(b.central.connect(kModule, slow));
    ASSERT_TRUE(b.central.wait([&] { return b.central.connected(); }, sec(3)));
    const sim::time_us start = b.world.now();
    b.world.run_until(start + sec(4));
    EXPECT_EQ(b.central.updates(), 0);
    b.world.run_until(start + sec(7));
    EXPECT_EQ(b.central.updates(), grant ? 1 : 0);
    b.world.run_until(start + sec(94));
    EXPECT_TRUE(b.central.connected());
    b.world.run_until(start + sec(97));
    EXPECT_EQ(b.central.connected(), grant);
    if (!grant) {
      EXPECT_EQ(b.central.disconnect_reason(), 0x3B);
    }
  }
}

// AT over the serial service: replies in notifications of the link's MTU
// less 3, whatever the reply's length.
TEST(SerialService, AtRepliesInNotificationsOfTheMtu) {
  Bench b;
  ASSERT_TRUE(b.connect());
  ASSERT_TRUE(b.open_serial());
  EXPECT_EQ(b.at("AT\r\n"), "OK\r\n");
  const std::string ver = "AT+VER=QIV_4.2.4_Minacor\r\nOK\r\n";
  struct Case {
    uint16_t mtu;  // 0: none exchanged (23)
    size_t piece;
  };
  for (const Case& c : {Case{0, 20}, Case{100, 97}, Case{247, 244}}) {
    SCOPED_TRACE(c.mtu);
    if (c.mtu) {
      ASSERT_TRUE(b.mtu(c.mtu));
    }
    EXPECT_EQ(b.at("AT+VER=?\r\n"), ver);
    const std::string help = b.at("AT?\r\n");
    EXPECT_NE(help.find("AT+BLEMAC"), std::string::npos);
    EXPECT_GT(help.size(), c.piece);
    std::vector<size_t> sizes = b.notification_sizes();
    ASSERT_GT(sizes.size(), 1u);
    EXPECT_LE(*std::max_element(sizes.begin(), sizes.end()), c.piece);
  }
}

// One write of the user program on the BLE serial port leaves in pieces of
// the notification size; without a link it is refused at once.
TEST(SerialService, OneLongWriteInPieces) {
  Bench b("ble-test-minacor");
  EXPECT_TRUE(b.command("send 10", "send -7"));
  ASSERT_TRUE(b.connect());
  ASSERT_TRUE(b.open_serial());
  struct Case {
    uint16_t mtu;
    int length;
    std::vector<size_t> pieces;
  };
  const std::vector<Case> cases = {
      {0, 45, {20, 20, 5}},
      {247, 500, {244, 244, 12}},
      {247, 244, {244}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    if (c.mtu) {
      ASSERT_TRUE(b.mtu(c.mtu));
    }
    b.central.notifications().clear();
    ASSERT_TRUE(b.command("send " + std::to_string(c.length), "send 0"));
    b.world.run_for(ms(500));
    EXPECT_EQ(b.notification_sizes(), c.pieces);
    std::string want;
    for (int i = 0; i < c.length; ++i) want += static_cast<char>('a' + i % 26);
    EXPECT_EQ(b.notified(), want);
  }
}

// Writes the module cannot take are refused by the link and leave it
// working; replies before the phone subscribed are dropped, not queued.
TEST(SerialService, BadInput) {
  Bench b;
  ASSERT_TRUE(b.connect());
  ASSERT_TRUE(b.open_serial(false));
  // Before the subscription: the command runs, its reply has nowhere to go.
  uint32_t wr = b.central.write(b.serial.rx->value_handle, bytes("AT+ALIAS=early\r\n"));
  ASSERT_TRUE(b.central.wait([&] { return b.central.done(wr); }, sec(2)));
  b.world.run_for(ms(300));
  EXPECT_TRUE(b.central.notifications().empty());
  uint32_t sub = b.central.subscribe(b.serial.tx->value_handle);
  ASSERT_TRUE(b.central.wait([&] { return b.central.done(sub); }, sec(2)));
  ASSERT_TRUE(b.mtu(247));
  // Longer than the characteristic: refused with an ATT error.
  wr = b.central.write(b.serial.rx->value_handle, ble::Bytes(245, 'A'));
  ASSERT_TRUE(b.central.wait([&] { return b.central.done(wr); }, sec(2)));
  EXPECT_NE(b.central.result(wr).error, 0);
  EXPECT_EQ(b.at("AT+ALIAS=?\r\n"), "AT+ALIAS=early\r\nOK\r\n");
  // Lines no command takes get the answer they get on the USB port.
  b.module->take(kUsb);
  for (const std::string& line :
       {std::string("\x01\x02\xfe\xff", 4), std::string("AT+NOSUCH"), std::string("AT+VER"),
        "AT+" + std::string(239, 'X'), std::string("AT+BLEMAC=C0112233445G")}) {
    SCOPED_TRACE(line.substr(0, 12));
    const std::string ble_answer = b.at(line + "\r\n", "\r\n");
    b.world.run_for(ms(100));
    b.module->take(kUsb);
    EXPECT_TRUE(exchange(*b.module, kUsb, line + "\r\n", ble_answer));
    b.central.notifications().clear();
  }
  EXPECT_EQ(b.at("AT\r\n"), "OK\r\n");
}

// A link lost in the middle of a long write ends the write with -7 at once
// instead of offering the rest for ever; the module goes on advertising.
TEST(SerialService, ALinkLostInTheMiddleOfAWrite) {
  Bench b("ble-test-minacor");
  ASSERT_TRUE(b.connect());
  ASSERT_TRUE(b.open_serial());
  b.module->write(kUart1, "send 4000\r\n");
  ASSERT_TRUE(b.central.wait([&] { return b.notification_sizes().size() > 5; }, sec(3)));
  ASSERT_TRUE(b.disconnect());
  EXPECT_TRUE(b.module->wait_line(kUart1, "send -7", sec(1)));
  EXPECT_LT(b.notified().size(), 4000u);
  EXPECT_TRUE(b.scan(sec(1)));
  EXPECT_TRUE(b.command("send 10", "send -7"));
}

// A module asleep without a wake-up time wakes for data of the link.
TEST(SerialService, DataOfTheLinkWakesTheModule) {
  Bench b;
  ASSERT_TRUE(b.connect());
  ASSERT_TRUE(b.open_serial());
  b.module->take(kUsb);
  // CR alone: the LF of a CR LF would still wait in the event queue, and a
  // module with queued work does not go to sleep.
  b.module->write(kUsb, "AT+SLEEP\r");
  EXPECT_TRUE(b.module->quiet(kUsb, sec(3)));
  EXPECT_EQ(b.at("AT\r\n"), "OK\r\n");
  EXPECT_TRUE(b.module->wait_output(kUsb, "OK\r\n", sec(1)));
}

// A restart of the stack (a service-mode switch) during a connection leaves
// no link behind: a write answers -7 at once and the module advertises.
TEST(SerialService, AStackRestartLeavesNoLink) {
  Bench b("ble-test-minacor");
  ASSERT_TRUE(b.connect());
  ASSERT_TRUE(b.open_serial());
  ASSERT_TRUE(b.command("uart 30", "uart 0"));
  b.module->write(kUart1, "send 10\r\n");
  EXPECT_TRUE(b.module->wait_line(kUart1, "send -7", ms(200)));
  ASSERT_TRUE(b.central.wait([&] { return !b.central.connected(); }, sec(6)));
  EXPECT_TRUE(b.scan(sec(1)));
}

// Queued writes: the module gives no memory for them, so a prepared write
// to the serial service finds the queue full; on the DFU characteristic,
// whose writes are authorised, a prepared write and its execution are
// refused as not supported (0x82) and a cancelled execution is accepted.
TEST(SerialService, QueuedWritesAreRefused) {
  Bench b;
  ASSERT_TRUE(b.connect());
  ASSERT_TRUE(b.open_serial());
  const ble::Central::Characteristic* dfu =
      b.central.characteristic(ble::uuid128("8EC90003-F315-4F60-9FB8-838830DAEA50"));
  ASSERT_NE(dfu, nullptr);
  struct Case {
    uint16_t handle;  // 0: execute
    bool write;       // execute: write or cancel
    uint8_t error;
  };
  const std::vector<Case> cases = {
      {b.serial.rx->value_handle, false, 0x09},
      {dfu->value_handle, false, 0x82},
      {0, true, 0x82},
      {dfu->value_handle, false, 0x82},
      {0, false, 0x00},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.handle) + (c.write ? " write" : ""));
    uint32_t id =
        c.handle ? b.central.prepare_write(c.handle, 0, {0x01}) : b.central.execute_write(c.write);
    ASSERT_TRUE(b.central.wait([&] { return b.central.done(id); }, sec(2)));
    EXPECT_EQ(b.central.result(id).error, c.error);
  }
  EXPECT_TRUE(b.central.connected());
  EXPECT_EQ(b.at("AT\r\n"), "OK\r\n");
}

// Bytes of one write after a command that writes flash are still handled:
// the flash work does not drop the link's input.
TEST(SerialService, FlashWorkKeepsTheInputOfTheLink) {
  Bench b;
  ASSERT_TRUE(b.connect());
  ASSERT_TRUE(b.open_serial());
  ASSERT_TRUE(b.mtu(247));
  EXPECT_EQ(b.at("AT+ALIAS=one\r\nAT+ALIAS=?\r\n", "one\r\nOK\r\n"),
            "OK\r\nAT+ALIAS=one\r\nOK\r\n");
}

// Flash work while advertising pauses it and starts it again.
TEST(Advertising, GoesOnAfterFlashWork) {
  Bench b;
  ASSERT_TRUE(b.scan(sec(1)));
  ASSERT_TRUE(exchange(*b.module, kUsb, "AT+ALIAS=a\r\n", "OK\r\n"));
  EXPECT_TRUE(b.scan(sec(1)));
  // Also when the advertising module started it by itself after a
  // disconnection.
  ASSERT_TRUE(b.connect());
  ASSERT_TRUE(b.disconnect());
  ASSERT_TRUE(b.scan(sec(1)));
  b.module->take(kUsb);
  ASSERT_TRUE(exchange(*b.module, kUsb, "AT+ALIAS=b\r\n", "OK\r\n"));
  EXPECT_TRUE(b.scan(sec(1)));
}

// The lock covers the BLE port: locked, it echoes and refuses; the
// password typed over BLE opens it.
TEST(SerialService, LockAndPassword) {
  Bench b;
  ASSERT_TRUE(exchange(*b.module, kUsb, "AT+PWORD=k3y\r\n", "OK\r\n"));
  ASSERT_TRUE(b.connect());
  ASSERT_TRUE(b.open_serial());
  b.module->take(kUsb);
  EXPECT_TRUE(exchange(*b.module, kUsb, "AT+LOCK\r\n", "", sec(1)));
  EXPECT_EQ(b.at("AT\r", "COMMAND_LOCKED\r\n"), "AT\r\nCOMMAND_LOCKED\r\n");
  EXPECT_EQ(b.at("nope\r", "COMMAND_LOCKED\r\n"), "nope\r\nCOMMAND_LOCKED\r\n");
  EXPECT_EQ(b.at("k3y\r", "\r\n"), "k3y\r\n");
  EXPECT_EQ(b.at("AT\r\n"), "OK\r\n");
}

// ---------------------------------------------------------------- pairing --

// The pairing policy: 2 Just Works, 3 the static passkey, others a passkey
// shown on the USB port; the result reported there too.
TEST(Pairing, ByPermission) {
  struct Case {
    std::string policy;
    uint32_t passkey;
    uint8_t auth;
    bool ok;
    std::string shown;  // passkey line expected on USB ("": none)
  };
  const uint8_t bond = ble::kSmpAuthBonding, mitm = ble::kSmpAuthBonding | ble::kSmpAuthMitm;
  const std::vector<Case> cases = {
      {"pair 2 -", 0, bond, true, ""},
      {"pair 3 123456", 123456, mitm, true, "123456"},
      {"pair 3 123456", 123457, mitm, false, "123456"},
      {"pair 4 -", 1, mitm, false, "?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.policy + " " + std::to_string(c.passkey));
    Bench b("ble-test-minacor");
    ASSERT_TRUE(b.command(c.policy, "pair 0"));
    ASSERT_TRUE(b.connect());
    ASSERT_TRUE(b.module->wait_line(kUsb, "Connected.", sec(2)));
    b.central.pair(c.passkey, c.auth);
    ASSERT_TRUE(b.central.wait(
        [&] { return b.central.pair_state() != ble::Central::PairState::kPairing; }, sec(5)));
    EXPECT_EQ(b.central.pair_state(),
              c.ok ? ble::Central::PairState::kPaired : ble::Central::PairState::kFailed);
    if (c.shown == "?") {
      std::optional<std::string> line = b.module->next_line(kUsb, sec(2));
      ASSERT_TRUE(line);
      EXPECT_EQ(line->size(),
                std::string("Please input [123456] passcode to your smartphone apps.").size());
      EXPECT_EQ(line->rfind("Please input [", 0), 0u) << *line;
    } else if (!c.shown.empty()) {
      EXPECT_TRUE(b.module->wait_line(
          kUsb, "Please input [" + c.shown + "] passcode to your smartphone apps.", sec(2)));
    }
    EXPECT_TRUE(b.module->wait_line(
        kUsb, c.ok ? "Pairing procedure completed with success." : "Pairing procedure fail.",
        sec(2)));
    if (!c.ok) {
      EXPECT_TRUE(b.central.wait([&] { return !b.central.connected(); }, sec(3)))
          << "a failed pairing ends the link";
    }
  }
}

// The address set by AT+BLEMAC: stored, advertised at once (advertising
// goes on), kept over a restart; one that is no random static address is
// refused and changes nothing.
TEST(Address, SetStoredAndAdvertised) {
  Bench b;
  ASSERT_TRUE(b.scan(sec(1)));
  EXPECT_TRUE(exchange(*b.module, kUsb, "AT+BLEMAC=C0AABBCCDDEE\r\n", "OK\r\n"));
  const ble::Address moved = {0xEE, 0xDD, 0xCC, 0xBB, 0xAA, 0xC0};
  systest::scan_window(b.central, b.world, sec(1));
  const ble::Central::Device* m = b.central.device(moved);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->adv_data, kSerialAdv) << "the name stays the one of the chip's address";
  EXPECT_EQ(b.central.device(kModule), nullptr);
  EXPECT_TRUE(
      exchange(*b.module, kUsb, "AT+BLEMAC=?\r\n", "AT+BLEMAC=c0:aa:bb:cc:dd:ee\r\nOK\r\n"));
  EXPECT_TRUE(exchange(*b.module, kUsb, "AT+BLEMAC=40AABBCCDDEE\r\n", "AT_ERROR\r\n"));
  EXPECT_TRUE(
      exchange(*b.module, kUsb, "AT+BLEMAC=?\r\n", "AT+BLEMAC=c0:aa:bb:cc:dd:ee\r\nOK\r\n"));
  systest::scan_window(b.central, b.world, sec(1));
  EXPECT_NE(b.central.device(moved), nullptr) << "still advertising after the refusal";
  b.module->restart();
  b.world.run_for(sec(2));
  b.module->take(kUsb);
  EXPECT_TRUE(
      exchange(*b.module, kUsb, "AT+BLEMAC=?\r\n", "AT+BLEMAC=c0:aa:bb:cc:dd:ee\r\nOK\r\n"));
}

// Advertising without a time limit stays so through flash work: the pause
// for the flash resumes it without a limit.
TEST(Advertising, AlwaysSurvivesFlashWork) {
  Bench b("ble-test-minacor");
  ASSERT_TRUE(b.command("adv 0", "adv 0"));
  const sim::time_us start = b.world.now();
  ASSERT_TRUE(exchange(*b.module, kUsb, "AT+ALIAS=x\r\n", "OK\r\n"));
  for (int t : {35, 66, 97}) {
    b.world.run_until(start + sec(t));
    EXPECT_TRUE(b.scan(sec(1))) << t << " s";
  }
}

// ---------------------------------------------------------- buttonless DFU --

// The enter command needs indications on; with them, the module answers,
// drops the link and leaves itself to the DFU bootloader.
TEST(Dfu, TheButtonlessServiceHandsTheModuleToTheBootloader) {
  Bench b;
  ASSERT_TRUE(b.connect());
  uint32_t disc = b.central.discover();
  ASSERT_TRUE(b.central.wait([&] { return b.central.done(disc); }, sec(5)));
  const ble::Central::Characteristic* dfu =
      b.central.characteristic(ble::uuid128("8EC90003-F315-4F60-9FB8-838830DAEA50"));
  ASSERT_NE(dfu, nullptr);
  uint32_t wr = b.central.write(dfu->value_handle, {0x01});
  ASSERT_TRUE(b.central.wait([&] { return b.central.done(wr); }, sec(2)));
  EXPECT_EQ(b.central.result(wr).error, 0xFD) << "indications are off";
  EXPECT_TRUE(b.central.connected());
  uint32_t sub = b.central.subscribe(dfu->value_handle, 2);
  ASSERT_TRUE(b.central.wait([&] { return b.central.done(sub); }, sec(2)));
  wr = b.central.write(dfu->value_handle, {0x01});
  ASSERT_TRUE(b.central.wait([&] { return !b.central.connected(); }, sec(3)));
  EXPECT_EQ(b.central.result(wr).error, 0);
  bool answered = false;
  for (const auto& n : b.central.notifications())
    answered |= n.indication && n.value == ble::Bytes{0x20, 0x01, 0x01};
  EXPECT_TRUE(answered);
  b.world.run_for(sec(1));
  b.module->take(kUsb);
  EXPECT_NE(b.module->log().find("DFU bootloader: update mode (GPREGRET 0xb1)"), std::string::npos)
      << b.module->log();
  EXPECT_TRUE(exchange(*b.module, kUsb, "AT\r\n", "", sec(1)));
}

// The Vostrel board carries the same BLE layer: its serial service
// advertises with the name from its address and answers AT.
TEST(Vostrel, SerialServiceOfTheTrackerBoard) {
  World world;
  ble::WorldRadio radio(world.master());
  ble::Central central(radio, kPhone);
  systest::run_central_in(central, world);
  DeviceOptions o = module_options("vostrel");
  o.ports = {kUart0, kUsb};
  o.extra_args.push_back("--device");
  o.extra_args.push_back("cellular-modem@uart1");
  Device& v = world.start("v", o);
  ASSERT_TRUE(v.wait_output(kUart0, "Version: Vostrel", sec(30)));
  world.run_for(ms(500));
  central.start_scan(true);
  world.run_for(sec(1));
  central.stop_scan();
  const ble::Central::Device* m = central.device(kModule);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->adv_data, kSerialAdv);
  ASSERT_TRUE(central.connect(kModule));
  ASSERT_TRUE(central.wait([&] { return central.connected(); }, sec(3)));
  uint32_t disc = central.discover();
  ASSERT_TRUE(central.wait([&] { return central.done(disc); }, sec(5)));
  const auto* tx = central.characteristic(ble::uuid128("6E400003-B5A3-F393-E0A9-E50E24DCCA9E"));
  const auto* rx = central.characteristic(ble::uuid128("6E400002-B5A3-F393-E0A9-E50E24DCCA9E"));
  ASSERT_TRUE(tx && rx);
  uint32_t sub = central.subscribe(tx->value_handle);
  ASSERT_TRUE(central.wait([&] { return central.done(sub); }, sec(3)));
  central.write(rx->value_handle, bytes("AT+HWMODEL=?\r\n"));
  std::string got;
  central.wait(
      [&] {
        got.clear();
        for (const auto& n : central.notifications()) got += text(n.value);
        return got.find("OK\r\n") != std::string::npos;
      },
      sec(3));
  EXPECT_EQ(got, "AT+HWMODEL=Vostrel\r\nOK\r\n");
  EXPECT_TRUE(v.alive());
}

}  // namespace
