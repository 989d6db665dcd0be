// The HID keyboard and the custom service on a running Minacor image whose
// user program registers them (hid_program.cpp), with a phone on the
// world's air: the modes reached through the BLE driver's mode switch and
// advertising start, keys typed, the custom service read, written and
// notified. The log is on, so every log line of the handlers is formatted
// (the values they show are not text: a line must not read past them).
#include <gtest/gtest.h>

#include <optional>
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
const char* const kUid = "22334455:C011:0";  // the chip's address C0:11:22:33:44:55
constexpr ble::Address kModule = {0x55, 0x44, 0x33, 0x22, 0x11, 0xC0};
constexpr uint8_t kPropWrite = 0x08;
constexpr uint8_t kPropNotify = 0x10;
constexpr uint16_t kReportUuid = 0x2A4D;

struct Bench {
  Bench() : radio(world.master()), central(radio, kPhone) {
    systest::run_central_in(central, world);
    DeviceOptions o;
    o.image = "hid-test-minacor";
    o.ports = {kUart0, kUart1, kUsb};
    o.extra_args = {"--uid", kUid, "--rtt-log", "1"};
    module = &world.start("m", o);
    EXPECT_TRUE(module->wait_line(kUart1, "ready", sec(3)));
  }
  bool command(const std::string& line, const std::string& answer) {
    return systest::program_command(*module, kUart1, line, answer);
  }
  bool wait(const std::function<bool()>& done, sim::time_us t = sec(3)) {
    return central.wait(done, t);
  }
  std::optional<ble::Central::Device> scan() {
    return systest::scan_for(central, world, kModule, sec(2));
  }
  bool line(const std::string& text) { return module->wait_line(kUart1, text, sec(3)); }
  bool connect() {
    if (!central.connect(kModule) || !wait([&] { return central.connected(); })) return false;
    const uint32_t id = central.discover();
    return wait([&] { return central.done(id); }, sec(5));
  }
  bool disconnect() {
    return central.disconnect() && wait([&] { return !central.connected(); });
  }
  const ble::Central::Characteristic* find(uint16_t uuid, uint8_t with = 0) {
    for (const auto& c : central.characteristics())
      if (c.uuid == ble::uuid16(uuid) && (c.properties & with) == with) return &c;
    return nullptr;
  }
  std::vector<ble::Bytes> notified(uint16_t handle) {
    std::vector<ble::Bytes> out;
    for (const auto& n : central.notifications())
      if (n.handle == handle) out.push_back(n.value);
    return out;
  }
  bool finish(uint32_t id) {
    return wait([&] { return central.done(id); });
  }

  World world;
  ble::WorldRadio radio;
  ble::Central central;
  Device* module = nullptr;
};

// The HID mode advertises the HID service under the device name; keys typed
// arrive as input reports, each releasing the front key; after the phone
// leaves, advertising started again takes the new time.
TEST(MinacorHid, TheImageTypesKeysInTheHidMode) {
  Bench b;
  ASSERT_TRUE(b.command("hid", "hid 0"));
  auto seen = b.scan();
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(seen->type, ble::kAdvInd);
  const ble::Bytes name = {0x0B, 0x09, 'Z', 'E', 'M', '.', '3', '3', '4', '4', '5', '5'};
  const ble::Bytes hid = {0x03, 0x03, 0x12, 0x18};
  const ble::Bytes& adv = seen->adv_data;
  EXPECT_NE(std::search(adv.begin(), adv.end(), name.begin(), name.end()), adv.end());
  EXPECT_NE(std::search(adv.begin(), adv.end(), hid.begin(), hid.end()), adv.end());

  ASSERT_TRUE(b.connect());
  const auto* input = b.find(kReportUuid, kPropNotify);
  ASSERT_NE(input, nullptr);
  const uint16_t handle = input->value_handle;
  ASSERT_TRUE(b.finish(b.central.subscribe(handle)));
  ASSERT_TRUE(b.command("type 040506", "type 0"));
  ASSERT_TRUE(b.command("type 0A", "type 0"));
  ASSERT_TRUE(b.wait([&] { return b.notified(handle).size() >= 6; }));
  b.world.run_for(sec(1));
  const std::vector<ble::Bytes> want = {
      {0x00, 0x00, 0x04, 0x05, 0x06, 0x00, 0x00, 0x00},
      {0x00, 0x00, 0x00, 0x05, 0x06, 0x00, 0x00, 0x00},
      {0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00},
      {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
      {0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00},
      {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
  };
  EXPECT_EQ(b.notified(handle), want);
  // Seven keys do not fit a report: the program is told, nothing is sent.
  ASSERT_TRUE(b.command("type 04050607080910", "type -2"));
  b.world.run_for(sec(1));
  EXPECT_EQ(b.notified(handle).size(), want.size());

  ASSERT_TRUE(b.disconnect());
  b.world.run_for(ms(500));
  ASSERT_TRUE(b.command("adv 20", "adv 0"));
  EXPECT_TRUE(b.scan().has_value());
  b.world.run_for(sec(20));
  EXPECT_FALSE(b.scan().has_value());
  EXPECT_TRUE(b.module->alive());
}

// The host's LED byte (the keyboard's output report) reaches the program's
// keyboard callback, each write as written.
TEST(MinacorHid, TheHostsLedsReachTheKeyboardCallback) {
  Bench b;
  ASSERT_TRUE(b.command("leds", "leds 1"));
  ASSERT_TRUE(b.command("hid", "hid 0"));
  ASSERT_TRUE(b.connect());
  const ble::Central::Characteristic* output = nullptr;
  for (const auto& c : b.central.characteristics())
    if (c.uuid == ble::uuid16(kReportUuid) && (c.properties & kPropWrite) != 0 &&
        (c.properties & kPropNotify) == 0)
      output = &c;
  ASSERT_NE(output, nullptr);
  for (const char* leds : {"02", "07", "00"}) {
    const uint8_t v = static_cast<uint8_t>(std::stoi(leds, nullptr, 16));
    ASSERT_TRUE(b.finish(b.central.write(output->value_handle, {v})));
    EXPECT_TRUE(b.line(std::string("leds ") + leds));
  }
}

// A program's custom service through the user API: advertised with its
// 128-bit UUID, 20-byte characteristics under the base, reads answered with
// the value (zero), a written 1 or 0 drives P0.16, notification switches
// reach the program's hook; while the phone is connected the service is not
// replaced, and a table the port cannot build is refused.
TEST(MinacorHid, AProgramsCustomServiceThroughTheUserApi) {
  Bench b;
  const ble::Bytes base = {0xFB, 0x34, 0x9B, 0x5F, 0x80, 0x00, 0x00, 0x80,
                           0x00, 0x10, 0x00, 0x00, 0x00, 0xA1, 0x5A, 0xC3};
  auto uuid = [&](uint16_t u) {
    ble::Bytes id = base;
    id[12] = static_cast<uint8_t>(u);
    id[13] = static_cast<uint8_t>(u >> 8);
    return id;
  };
  // Four characteristics are more than the port builds; none is nothing.
  ASSERT_TRUE(b.command("apicustom 4", "apicustom 0"));
  ASSERT_TRUE(b.command("apicustom 0", "apicustom 0"));
  ASSERT_TRUE(b.command("apicustom 2", "apicustom 1"));
  auto seen = b.scan();
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(seen->type, ble::kAdvInd);
  ble::Bytes adv = {0x02, 0x01, 0x06, 0x11, 0x07};
  const ble::Bytes service = uuid(0xA100);
  adv.insert(adv.end(), service.begin(), service.end());
  EXPECT_EQ(seen->adv_data, adv);

  ASSERT_TRUE(b.connect());
  ASSERT_TRUE(b.command("apicustom 2", "apicustom 0"));
  const auto* first = b.central.characteristic(uuid(0xA101));
  const auto* second = b.central.characteristic(uuid(0xA102));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(b.central.characteristic(uuid(0xA103)), nullptr);
  EXPECT_EQ(first->properties & (0x02 | kPropWrite | kPropNotify), 0x02 | kPropWrite | kPropNotify);

  const uint32_t read = b.central.read(second->value_handle);
  ASSERT_TRUE(b.finish(read));
  EXPECT_EQ(b.central.result(read).value, ble::Bytes(20, 0));

  struct Case {
    ble::Bytes value;
    const char* pin;
  };
  ASSERT_TRUE(b.command("pin", "pin 1"));
  for (const Case& c : {Case{{0x01}, "pin 0"}, Case{{0x02}, "pin 0"}, Case{{0x00}, "pin 1"}}) {
    ASSERT_TRUE(b.finish(b.central.write(first->value_handle, c.value)));
    EXPECT_TRUE(b.command("pin", c.pin));
  }

  ASSERT_TRUE(b.finish(b.central.subscribe(second->value_handle)));
  EXPECT_TRUE(b.line("notify A102 on " + std::string(40, '0')));
  ASSERT_TRUE(b.wait([&] { return b.notified(second->value_handle).size() == 1; }));
  EXPECT_EQ(b.notified(second->value_handle)[0], ble::Bytes(20, 0));
  ASSERT_TRUE(b.finish(b.central.subscribe(second->value_handle, 0)));
  EXPECT_TRUE(b.line("notify A102 off"));

  // After the phone leaves the service can be asked for again.
  ASSERT_TRUE(b.disconnect());
  b.world.run_for(ms(500));
  ASSERT_TRUE(b.command("apicustom 1", "apicustom 1"));
  EXPECT_TRUE(b.scan().has_value());
  EXPECT_TRUE(b.module->alive());
}

// The custom service: reads answer send_data, a written 1 or 0 drives P0.16
// low or high, an update is notified once the phone enabled notifications.
TEST(MinacorHid, TheImageServesTheCustomService) {
  Bench b;
  ASSERT_TRUE(b.command("custom", "custom 0"));
  ASSERT_TRUE(b.command("pin", "pin 1"));
  ASSERT_TRUE(b.connect());
  const auto* first = b.find(0xA001);
  const auto* second = b.find(0xA002);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);

  const uint32_t read = b.central.read(second->value_handle);
  ASSERT_TRUE(b.finish(read));
  EXPECT_EQ(b.central.result(read).value, (ble::Bytes{0x10, 0x20, 0x30, 0x40}));

  struct Case {
    ble::Bytes value;
    const char* pin;
  };
  for (const Case& c : {Case{{0x01}, "pin 0"}, Case{{0x02}, "pin 0"}, Case{{0x00}, "pin 1"},
                        Case{{0x01, 0x00}, "pin 0"}}) {
    ASSERT_TRUE(b.finish(b.central.write(first->value_handle, c.value)));
    EXPECT_TRUE(b.command("pin", c.pin));
  }

  ASSERT_TRUE(b.command("update A001 68656C6C6F21", "update 8"));
  ASSERT_TRUE(b.finish(b.central.subscribe(first->value_handle)));
  ASSERT_TRUE(b.wait([&] { return b.notified(first->value_handle).size() == 1; }));
  EXPECT_EQ(b.notified(first->value_handle)[0], (ble::Bytes{'n', 'o', 't', 'e', '-', '1'}));
  b.world.run_for(ms(200));
  ASSERT_TRUE(b.command("update A001 68656C6C6F21", "update 0"));
  ASSERT_TRUE(b.wait([&] { return b.notified(first->value_handle).size() == 2; }));
  EXPECT_EQ(b.notified(first->value_handle)[1], (ble::Bytes{'h', 'e', 'l', 'l', 'o', '!'}));
  ASSERT_TRUE(b.command("update A004 00", "update 5"));
  ASSERT_TRUE(b.disconnect());
  ASSERT_TRUE(b.command("update A001 68656C6C6F21", "update 8"));
}

}  // namespace
