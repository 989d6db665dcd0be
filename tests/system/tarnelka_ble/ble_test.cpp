// A phone next to a running Tarnelka: it finds the module's advertising and
// name, connects and disconnects (both reported on UART0), sends AT commands
// over the serial service and reads the replies from its notifications.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
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

constexpr ble::Address kPhone = {0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
const ble::Bytes kUartAdv = {0x02, 0x01, 0x06, 0x11, 0x07, 0x9E, 0xCA, 0xDC, 0x24, 0x0E, 0xE5,
                             0xA9, 0xE0, 0x93, 0xF3, 0xA3, 0xB5, 0x01, 0x00, 0x40, 0x6E};

ble::Bytes bytes(const std::string& s) { return ble::Bytes(s.begin(), s.end()); }

struct Phone {
  explicit Phone(World& w) : world(w), radio(w.master()), central(radio, kPhone) {
    systest::run_central_in(central, world);
  }
  // The module's advertising (with its scan response): the first advertiser
  // heard with the serial service's data.
  const ble::Central::Device* find_module() {
    central.start_scan(true);
    const ble::Central::Device* found = nullptr;
    central.wait(
        [&] {
          for (const auto& d : central.devices())
            if (d.has_scan_rsp && d.adv_data == kUartAdv) found = &d;
          return found != nullptr;
        },
        sec(5));
    central.stop_scan();
    return found;
  }
  bool connect_to_module() {
    const ble::Central::Device* d = find_module();
    if (!d) return false;
    address = d->address;
    return central.connect(address) && central.wait([&] { return central.connected(); }, sec(3));
  }
  // Discovers the serial service and subscribes to its TX notifications.
  bool open_serial() { return serial.open(central); }
  // Writes `line` to RX and gathers the notified text until it ends with
  // `end`.
  std::string command(const std::string& line, const std::string& end = "OK\r\n") {
    return serial.exchange(central, line, end, sec(5));
  }
  std::string notified() { return serial.notified(central); }
  size_t longest_notification() {
    size_t m = 0;
    for (const auto& n : central.notifications()) m = std::max(m, n.value.size());
    return m;
  }

  World& world;
  ble::WorldRadio radio;
  ble::Central central;
  ble::Address address{};
  systest::SerialLink serial;
};

std::string dev_eui(Device& d) {
  d.write(kUart0, "AT+DEVEUI=?\r\n");
  auto line = d.next_line(kUart0, sec(2));
  while (line && line->rfind("AT+DEVEUI=", 0) != 0) line = d.next_line(kUart0, sec(2));
  return line ? line->substr(10) : std::string();
}

TEST(TarnelkaBle, AdvertisesTheSerialServiceWithItsNameFromTheDevEui) {
  World w;
  Device& d = tk::start(w, "m");
  std::string eui = dev_eui(d);
  ASSERT_EQ(eui.size(), 16u);
  Phone phone(w);
  const ble::Central::Device* m = phone.find_module();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->type, ble::kAdvInd) << "connectable undirected";
  const std::string name = "ZEM." + eui.substr(10, 6);
  ble::Bytes rsp = {static_cast<uint8_t>(name.size() + 1), 0x09};
  rsp.insert(rsp.end(), name.begin(), name.end());
  EXPECT_EQ(m->scan_rsp, rsp);
}

TEST(TarnelkaBle, ConnectionAndDisconnectionAreReportedOnUart0) {
  World w;
  Device& d = tk::start(w, "m");
  Phone phone(w);
  ASSERT_TRUE(phone.connect_to_module());
  ASSERT_TRUE(d.wait_line(kUart0, "Connected.", sec(2)));
  ASSERT_TRUE(phone.central.disconnect());
  ASSERT_TRUE(d.wait_line(kUart0, "Disconnected.", sec(2)));
  // It advertises again and takes the next connection.
  ASSERT_TRUE(phone.connect_to_module());
  ASSERT_TRUE(d.wait_line(kUart0, "Connected.", sec(2)));
}

TEST(TarnelkaBle, AtCommandsOverTheSerialServiceInNotificationsOfTheMtu) {
  World w;
  Device& d = tk::start(w, "m");
  Phone phone(w);
  ASSERT_TRUE(phone.connect_to_module());
  ASSERT_TRUE(phone.open_serial());
  EXPECT_EQ(phone.command("AT\r\n"), "OK\r\n");

  // The default MTU: 20 bytes a notification; a reply longer than one.
  const std::string ver = "AT+VER=QIV_4.2.4_Tarnelka\r\nOK\r\n";
  EXPECT_EQ(phone.command("AT+VER=?\r\n"), ver);
  EXPECT_EQ(phone.longest_notification(), 20u);

  // A large MTU: each piece the command writes leaves whole.
  uint32_t mtu = phone.central.exchange_mtu(247);
  ASSERT_TRUE(phone.central.wait([&] { return phone.central.done(mtu); }, sec(2)));
  EXPECT_EQ(phone.command("AT+VER=?\r\n"), ver);
  EXPECT_GT(phone.longest_notification(), 20u);
  for (const auto& n : phone.central.notifications()) EXPECT_LE(n.value.size(), 244u);

  // Back to 20 bytes after a reconnection.
  ASSERT_TRUE(phone.central.disconnect());
  ASSERT_TRUE(d.wait_line(kUart0, "Disconnected.", sec(2)));
  ASSERT_TRUE(phone.connect_to_module());
  ASSERT_TRUE(phone.open_serial());
  EXPECT_EQ(phone.command("AT+VER=?\r\n"), ver);
  EXPECT_EQ(phone.longest_notification(), 20u);
}

}  // namespace

namespace {

std::string reply(Device& d, const std::string& command) {
  d.take(kUart0);
  d.write(kUart0, command + "\r\n");
  std::string got;
  d.world().run_until(
      [&] {
        got = d.unread(kUart0);
        return got.find("OK\r\n") != std::string::npos ||
               got.find("ERROR\r\n") != std::string::npos;
      },
      sec(3));
  d.take(kUart0);
  return got;
}

TEST(TarnelkaBle, TheBleAddressIsReadSetAndKeptOverARestart) {
  World w;
  Device& d = tk::start(w, "m");
  EXPECT_EQ(reply(d, "AT+BLEMAC=?"), "AT+BLEMAC=66:88:22:00:00:01\r\nOK\r\n");
  const std::pair<const char*, const char*> refused[] = {
      {"AT+BLEMAC=C0FFEE12345", "AT_PARAM_ERROR\r\n"},
      {"AT+BLEMAC=C0FFEE1234567", "AT_PARAM_ERROR\r\n"},
      {"AT+BLEMAC=C0FFEE12345G", "AT_PARAM_ERROR\r\n"},
      {"AT+BLEMAC=C0FFEE:123456", "AT_PARAM_ERROR\r\n"},
  };
  for (const auto& [command, answer] : refused) EXPECT_EQ(reply(d, command), answer) << command;
  EXPECT_EQ(reply(d, "AT+BLEMAC=?"), "AT+BLEMAC=66:88:22:00:00:01\r\nOK\r\n");

  EXPECT_EQ(reply(d, "AT+BLEMAC=c0FFee123456"), "OK\r\n");
  EXPECT_EQ(reply(d, "AT+BLEMAC=?"), "AT+BLEMAC=c0:ff:ee:12:34:56\r\nOK\r\n");
  Phone phone(w);
  const ble::Central::Device* m = phone.find_module();
  ASSERT_NE(m, nullptr) << "advertising again after the address change";
  EXPECT_EQ(m->address, (ble::Address{0x56, 0x34, 0x12, 0xEE, 0xFF, 0xC0}));

  d.restart();
  ASSERT_TRUE(d.wait_output(kUart0, "Current Work Mode: LoRaWAN.\r\n", sec(5)));
  EXPECT_EQ(reply(d, "AT+BLEMAC=?"), "AT+BLEMAC=c0:ff:ee:12:34:56\r\nOK\r\n");
}

TEST(TarnelkaBle, DirectTestCommandsReachTheController) {
  World w;
  Device& d = tk::start(w, "m");
  const std::pair<const char*, const char*> cases[] = {
      {"AT+BLEDTM=?", "BLEDTM\r\nOK\r\n"},
      // HCI Reset: its command-complete event.
      {"AT+BLEDTM=01030C00:0", "AT+BLEDTM=040E0401030C00\r\nOK\r\n"},
      {"AT+BLEDTM=1", "AT_PARAM_ERROR\r\n"},
      {"AT+BLEDTM=01030C0:0", "AT_PARAM_ERROR\r\n"},
      {"AT+BLEDTM=01030C00:x", "AT_PARAM_ERROR\r\n"},
      {"AT+BLEDTM=01030C00:0:1", "AT_PARAM_ERROR\r\n"},
      // Longer than the controller's command buffer.
      {"AT+BLEDTM=0102030405060708090A0B0C0D0E0F1011:0", "AT_PARAM_ERROR\r\n"},
  };
  for (const auto& [command, answer] : cases) EXPECT_EQ(reply(d, command), answer) << command;
  EXPECT_EQ(reply(d, "AT"), "OK\r\n");
}

}  // namespace

namespace {

// A passkey pairing: the module answers with its pairing key, which is
// empty on this image and so the passkey 0. The right passkey pairs and the
// serial service goes on over the encrypted link; a wrong one fails and the
// module ends the connection.
TEST(TarnelkaBle, PairingWithThePasskeyAndAWrongPasskeyRefused) {
  const struct {
    uint32_t passkey;
    bool pairs;
  } cases[] = {{0, true}, {123456, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.passkey);
    World w;
    Device& d = tk::start(w, "m");
    Phone phone(w);
    ASSERT_TRUE(phone.connect_to_module());
    ASSERT_TRUE(d.wait_line(kUart0, "Connected.", sec(2)));
    ASSERT_TRUE(phone.open_serial());
    phone.central.pair(c.passkey);
    ASSERT_TRUE(phone.central.wait(
        [&] { return phone.central.pair_state() != ble::Central::PairState::kPairing; }, sec(5)));
    if (c.pairs) {
      EXPECT_EQ(phone.central.pair_state(), ble::Central::PairState::kPaired);
      EXPECT_TRUE(phone.central.connected());
      EXPECT_EQ(phone.command("AT\r\n"), "OK\r\n");
    } else {
      EXPECT_EQ(phone.central.pair_state(), ble::Central::PairState::kFailed);
      EXPECT_TRUE(d.wait_line(kUart0, "Disconnected.", sec(3)));
      EXPECT_TRUE(phone.central.wait([&] { return !phone.central.connected(); }, sec(3)));
    }
  }
}

// The default program advertises for 30 s after start-up; then the module
// is silent on the air until something starts advertising again.
TEST(TarnelkaBle, AdvertisingEndsAfterItsTimeout) {
  World w;
  tk::start(w, "m");
  Phone phone(w);
  ASSERT_NE(phone.find_module(), nullptr);
  w.run_until(sec(31));
  phone.central.clear_scan();
  phone.central.start_scan(true);
  w.run_for(sec(5));
  EXPECT_TRUE(phone.central.devices().empty());
}

// Input the module must survive: writes larger than its receive buffer,
// text that is no command, commands split over several writes.
TEST(TarnelkaBle, OversizeAndSplitWritesAreHandled) {
  World w;
  Device& d = tk::start(w, "m");
  Phone phone(w);
  ASSERT_TRUE(phone.connect_to_module());
  ASSERT_TRUE(phone.open_serial());
  uint32_t mtu = phone.central.exchange_mtu(247);
  ASSERT_TRUE(phone.central.wait([&] { return phone.central.done(mtu); }, sec(2)));
  // 300 bytes without a line end: only what fits the 256-byte buffer is
  // kept; the line editor refuses the overlong line at its end.
  std::string junk(300, 'x');
  uint32_t wr = phone.central.write(phone.serial.rx->value_handle, bytes(junk));
  ASSERT_TRUE(phone.central.wait([&] { return phone.central.done(wr); }, sec(2)));
  EXPECT_EQ(phone.central.result(wr).error, 0);
  w.run_for(sec(1));
  phone.command("\r\n", "\r\n");
  // A command in three pieces.
  phone.central.notifications().clear();
  for (const char* piece : {"AT+V", "ER=", "?\r\n"}) {
    uint32_t p = phone.central.write(phone.serial.rx->value_handle, bytes(piece));
    ASSERT_TRUE(phone.central.wait([&] { return phone.central.done(p); }, sec(2)));
  }
  ASSERT_TRUE(phone.central.wait(
      [&] { return phone.notified().find("OK\r\n") != std::string::npos; }, sec(3)));
  EXPECT_EQ(phone.notified(), "AT+VER=QIV_4.2.4_Tarnelka\r\nOK\r\n");
  EXPECT_EQ(phone.command("AT\r\n"), "OK\r\n");
  EXPECT_TRUE(d.quiet(tk::kUart1, systest::ms(100)));
}

}  // namespace

namespace {

uint32_t zlib_crc(const ble::Bytes& d) {
  uint32_t c = 0xFFFFFFFFu;
  for (uint8_t b : d) {
    c ^= b;
    for (int i = 0; i < 8; ++i) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

uint32_t image_crc(const ble::Bytes& d) {
  uint32_t c = 0;
  for (uint8_t b : d) {
    c ^= static_cast<uint32_t>(b) << 24;
    for (int i = 0; i < 8; ++i) c = (c & 0x80000000u) ? (c << 1) ^ 0x1EDC6F41u : c << 1;
  }
  return c;
}

void put32(ble::Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A packet of the update service: length, command, data, CRC of the data.
ble::Bytes packet(uint8_t command, const ble::Bytes& data, bool good_crc = true) {
  ble::Bytes p;
  const size_t len = data.size() + 4;
  p.push_back(static_cast<uint8_t>(len));
  p.push_back(static_cast<uint8_t>(len >> 8));
  p.push_back(command);
  p.insert(p.end(), data.begin(), data.end());
  put32(p, zlib_crc(data) ^ (good_crc ? 0 : 1));
  return p;
}

ble::Bytes header(uint32_t length, uint32_t crc, uint32_t storage = 0) {
  ble::Bytes h;
  const uint32_t words[11] = {0, 0x14000, length, crc, 0, 0, 0, 0, 1, 0, storage};
  for (uint32_t w : words) put32(h, w);
  put32(h, 0);
  return h;
}

struct Updater {
  explicit Updater(Phone& p) : phone(p) {}
  bool open() {
    uint32_t disc = phone.central.discover();
    if (!phone.central.wait([&] { return phone.central.done(disc); }, sec(5))) return false;
    tx = phone.central.characteristic(ble::uuid128("00002760-08C2-11E1-9073-0E8AC72E0002"));
    rx = phone.central.characteristic(ble::uuid128("00002760-08C2-11E1-9073-0E8AC72E0001"));
    if (!tx || !rx) return false;
    uint32_t mtu = phone.central.exchange_mtu(247);
    if (!phone.central.wait([&] { return phone.central.done(mtu); }, sec(2))) return false;
    uint32_t sub = phone.central.subscribe(tx->value_handle);
    return phone.central.wait([&] { return phone.central.done(sub); }, sec(3));
  }
  // Sends `bytes` in writes of at most `piece` bytes; the service's reply
  // (empty when none came).
  ble::Bytes send(const ble::Bytes& bytes, size_t piece = 244) {
    phone.central.notifications().clear();
    for (size_t at = 0; at < bytes.size(); at += piece) {
      const size_t n = std::min(piece, bytes.size() - at);
      phone.central.write_command(rx->value_handle,
                                  ble::Bytes(bytes.begin() + static_cast<long>(at),
                                             bytes.begin() + static_cast<long>(at + n)));
    }
    ble::Bytes got;
    phone.central.wait(
        [&] {
          for (const auto& n : phone.central.notifications())
            if (n.handle == tx->value_handle) got = n.value;
          return !got.empty();
        },
        sec(3));
    return got;
  }
  Phone& phone;
  const ble::Central::Characteristic* tx = nullptr;
  const ble::Central::Characteristic* rx = nullptr;
};

// Reply: length (1 + data bytes), command, status[, offset].
ble::Bytes answer(uint8_t command, uint8_t status) { return {1, 0, command, status}; }
ble::Bytes answer(uint8_t command, uint8_t status, uint32_t offset) {
  ble::Bytes b = {5, 0, command, status};
  put32(b, offset);
  return b;
}

uint32_t word_at(const tk::Bytes& flash, uint32_t addr) { return tk::get32(flash, addr); }

constexpr uint32_t kAppAddr = 0x14000;
constexpr uint32_t kStagingAddr = 0x84000;
constexpr uint32_t kDescriptorAddr = 0xF8000;

// An application image as the chip's bootloader checks it: 32 bytes of
// metadata (word 0 the image's size and, in its top byte, the magic number;
// word 1 the image CRC of the bytes after the metadata), then the code.
ble::Bytes app_image(size_t size, uint8_t magic, uint8_t seed) {
  ble::Bytes img(size);
  for (size_t i = 32; i < size; ++i) img[i] = static_cast<uint8_t>(i * 7 + seed);
  const uint32_t w0 = static_cast<uint32_t>(size) | (static_cast<uint32_t>(magic) << 24);
  const uint32_t w1 = image_crc(ble::Bytes(img.begin() + 32, img.end()));
  for (int i = 0; i < 4; ++i) {
    img[static_cast<size_t>(i)] = static_cast<uint8_t>(w0 >> (8 * i));
    img[static_cast<size_t>(4 + i)] = static_cast<uint8_t>(w1 >> (8 * i));
  }
  return img;
}

ble::Bytes part(const ble::Bytes& b, size_t from, size_t n) {
  return ble::Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
}

// The descriptor's registrations {image address, magic number}.
std::vector<std::pair<uint32_t, uint32_t>> registered(const tk::Bytes& flash) {
  std::vector<std::pair<uint32_t, uint32_t>> r;
  for (uint32_t e = kDescriptorAddr + 4; word_at(flash, e) != 0xFFFFFFFFu; e += 8)
    r.push_back({word_at(flash, e), word_at(flash, e + 4)});
  return r;
}

TEST(TarnelkaBleUpdate, AnImageIsStagedCheckedRegisteredAndTheModuleResets) {
  World w;
  Device& d = tk::start(w, "m");
  Phone phone(w);
  ASSERT_TRUE(phone.connect_to_module());
  ASSERT_TRUE(d.wait_line(kUart0, "Connected.", sec(2)));
  Updater up(phone);
  ASSERT_TRUE(up.open());

  const tk::Bytes factory = tk::slice(d.flash(), kAppAddr, 8192);
  const ble::Bytes image = app_image(1000, 0xCB, 3);
  // The header packet in three writes.
  EXPECT_EQ(up.send(packet(1, header(1000, image_crc(image))), 20), answer(1, 0, 0));
  ble::Bytes first(image.begin(), image.begin() + 512), rest(image.begin() + 512, image.end());
  EXPECT_EQ(up.send(packet(2, first)), answer(2, 0, 512));
  EXPECT_EQ(up.send(packet(2, rest)), answer(2, 0, 1000));
  EXPECT_EQ(up.send(packet(3, {})), answer(3, 0));
  EXPECT_TRUE(d.expect_lines(
      kUart0, {"OTA process start from beginning.", "50%", "100%", "CRC verify success."}));

  tk::Bytes flash = d.flash();
  EXPECT_EQ(tk::slice(flash, 0x84000, 1000), image);
  EXPECT_EQ(tk::slice(flash, 0x84000 + 1000, 8192 - 1000), tk::Bytes(8192 - 1000, 0xFF));
  EXPECT_EQ(word_at(flash, 0xF8000), 0xDEADCAFEu);
  EXPECT_EQ(word_at(flash, 0xF8004), 0x84000u);
  EXPECT_EQ(word_at(flash, 0xF8008), 0xCBu);

  EXPECT_EQ(up.send(packet(4, {})), answer(4, 0));
  // The progress ended at 100% with the image: no line above it follows.
  EXPECT_TRUE(d.expect_lines(kUart0, {"Apollo will disconnect BLE link in 500ms."}));
  EXPECT_TRUE(d.wait_output(kUart0, "Current Work Mode: LoRaWAN.\r\n", sec(5)))
      << "the module started again";
  EXPECT_TRUE(phone.central.wait([&] { return !phone.central.connected(); }, sec(5)));
  // The bootloader installed it over the old application and emptied the
  // descriptor.
  EXPECT_NE(tk::slice(factory, 0, 1000), image);
  flash = d.flash();
  EXPECT_EQ(tk::slice(flash, kAppAddr, 1000), image);
  EXPECT_TRUE(registered(flash).empty());
  EXPECT_EQ(reply(d, "AT"), "OK\r\n");
}

TEST(TarnelkaBleUpdate, BadPacketsAndImagesAreRefusedAndNothingOutsideTheStagingIsWritten) {
  World w;
  Device& d = tk::start(w, "m");
  Phone phone(w);
  ASSERT_TRUE(phone.connect_to_module());
  Updater up(phone);
  ASSERT_TRUE(up.open());
  const tk::Bytes before = d.flash();
  const struct {
    const char* what;
    ble::Bytes write;
    ble::Bytes reply;
  } cases[] = {
      {"a write of two bytes", {0x05, 0x00}, answer(1, 3)},
      {"data before any header", packet(2, ble::Bytes(16, 0xAA)), answer(2, 7, 0)},
      {"verify before any header", packet(3, {}), answer(3, 1)},
      {"a bad packet CRC", packet(1, header(100, 0), false), answer(1, 1)},
      {"a short header", packet(1, ble::Bytes(40, 0)), answer(1, 2)},
      {"external storage", packet(1, header(100, 0, 1)), answer(1, 5)},
      {"one byte over the staging range", packet(1, header(450561, 0)), answer(1, 5)},
      {"the staging range of earlier firmware", packet(1, header(458752, 0)), answer(1, 5)},
      {"a packet longer than the buffer", packet(2, ble::Bytes(600, 1)), answer(2, 4)},
  };
  for (const auto& c : cases) EXPECT_EQ(up.send(c.write), c.reply) << c.what;
  EXPECT_TRUE(d.wait_line(kUart0, "Not enough OTA space allocated!", sec(2)));

  // The largest image is taken (the staging range ends at the second copy of
  // the settings); data beyond its length is refused.
  EXPECT_EQ(up.send(packet(1, header(450560, 0))), answer(1, 0, 0));
  EXPECT_EQ(up.send(packet(2, ble::Bytes(16, 0x5A))), answer(2, 0, 16));
  const tk::Bytes after = d.flash();
  EXPECT_EQ(tk::slice(after, 0, 0x84000), tk::slice(before, 0, 0x84000));
  EXPECT_EQ(tk::slice(after, 0xF2000, 0x0E000), tk::slice(before, 0xF2000, 0x0E000));

  // The link lost in the middle of an update.
  ASSERT_TRUE(phone.central.disconnect());
  EXPECT_TRUE(d.wait_line(kUart0, "OTA process is unexpectedly failed.", sec(3)));
  EXPECT_TRUE(d.wait_line(kUart0, "Disconnected.", sec(3)));
  EXPECT_EQ(reply(d, "AT"), "OK\r\n");
}

// Sends the header of `img` (with `crc` as its image CRC) and then its data
// in packets of 512 bytes, the first `first` bytes on their own when not 0;
// stops after `upto` bytes. Whether every reply was a success.
bool send_image(Updater& up, const ble::Bytes& img, uint32_t crc, size_t upto = SIZE_MAX,
                size_t first = 0) {
  if (up.send(packet(1, header(static_cast<uint32_t>(img.size()), crc))) != answer(1, 0, 0))
    return false;
  const size_t end = std::min(upto, img.size());
  for (size_t at = 0; at < end;) {
    const size_t n = std::min<size_t>(at == 0 && first ? first : 512, end - at);
    if (up.send(packet(2, part(img, at, n))) != answer(2, 0, static_cast<uint32_t>(at + n)))
      return false;
    at += n;
  }
  return true;
}

// A packet whose length cannot hold its CRC, or a write too short for a
// packet's start, is answered with the length status for its command, and
// the service goes on with the next packet.
TEST(TarnelkaBleUpdate, EveryPacketLengthIsCheckedAndABadOneAnsweredWithItsStatus) {
  World w;
  Device& d = tk::start(w, "m");
  Phone phone(w);
  ASSERT_TRUE(phone.connect_to_module());
  Updater up(phone);
  ASSERT_TRUE(up.open());
  const struct {
    ble::Bytes write;
    ble::Bytes reply;
  } cases[] = {
      {{0x03, 0x00, 0x02, 0xAA, 0xBB, 0xCC}, answer(2, 3)},
      {{0x03, 0x00, 0x01, 0xAA, 0xBB, 0xCC}, answer(1, 3)},
      {{0x02, 0x00, 0x03, 0xAA, 0xBB}, answer(3, 3)},
      {{0x01, 0x00, 0x04, 0xAA}, answer(4, 3)},
      {{0x00, 0x00, 0x02}, answer(2, 3)},
      {{0x03, 0x00}, answer(1, 3)},
      {{0x03}, answer(1, 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(up.send(c.write), c.reply) << ::testing::PrintToString(c.write);
    // The next packet is taken whole.
    EXPECT_EQ(up.send(packet(3, {})), answer(3, 1)) << ::testing::PrintToString(c.write);
  }
  EXPECT_EQ(up.send(packet(1, header(100, 0))), answer(1, 0, 0));
  EXPECT_TRUE(d.wait_line(kUart0, "OTA process start from beginning.", sec(2)));
}

// VERIFY succeeds only for a header's whole image: not for an empty one,
// not after part of it (even with a CRC over that part), and the image
// registered carries its own metadata, not the last image's.
TEST(TarnelkaBleUpdate, OnlyAWholeImageWithItsCrcIsVerifiedAndRegistered) {
  World w;
  Device& d = tk::start(w, "m");
  Phone phone(w);
  ASSERT_TRUE(phone.connect_to_module());
  Updater up(phone);
  ASSERT_TRUE(up.open());

  EXPECT_EQ(up.send(packet(1, header(0, 0))), answer(1, 2)) << "an empty image";
  EXPECT_EQ(up.send(packet(3, {})), answer(3, 1));

  const ble::Bytes big = app_image(20000, 0xCB, 1);
  EXPECT_TRUE(send_image(up, big, image_crc(part(big, 0, 512)), 512));
  EXPECT_EQ(up.send(packet(3, {})), answer(3, 1)) << "512 of 20000 bytes";
  EXPECT_TRUE(send_image(up, big, image_crc(big), 20000 - 512));
  EXPECT_EQ(up.send(packet(3, {})), answer(3, 1)) << "all but the last packet";
  EXPECT_TRUE(d.wait_line(kUart0, "CRC verify failed.", sec(2)));
  EXPECT_TRUE(registered(d.flash()).empty());

  const ble::Bytes a = app_image(600, 0xCB, 2), b = app_image(600, 0x5A, 3);
  EXPECT_TRUE(send_image(up, a, image_crc(a)));
  EXPECT_EQ(up.send(packet(3, {})), answer(3, 0));
  // The second image's metadata comes in a first packet of 16 bytes.
  EXPECT_TRUE(send_image(up, b, image_crc(b), SIZE_MAX, 16));
  EXPECT_EQ(up.send(packet(3, {})), answer(3, 0));
  const tk::Bytes flash = d.flash();
  const std::vector<std::pair<uint32_t, uint32_t>> want = {{kStagingAddr, 0xCB},
                                                           {kStagingAddr, 0x5A}};
  EXPECT_EQ(registered(flash), want);
  EXPECT_EQ(tk::slice(flash, kStagingAddr, 600), b);
}

// The descriptor holds eight registrations: a ninth verified image is not
// registered, and the phone and UART0 are told so.
TEST(TarnelkaBleUpdate, AFullInstallListIsReportedAsAFailure) {
  World w;
  Device& d = tk::start(w, "m");
  Phone phone(w);
  ASSERT_TRUE(phone.connect_to_module());
  Updater up(phone);
  ASSERT_TRUE(up.open());
  const ble::Bytes img = app_image(300, 0xCB, 4);
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(send_image(up, img, image_crc(img)));
    ASSERT_EQ(up.send(packet(3, {})), answer(3, 0)) << i;
  }
  d.take(kUart0);
  ASSERT_TRUE(send_image(up, img, image_crc(img)));
  EXPECT_EQ(up.send(packet(3, {})), answer(3, 7));
  EXPECT_TRUE(d.wait_line(kUart0, "OTA image registration failed.", sec(2)));
  EXPECT_EQ(d.unread(kUart0).find("CRC verify success."), std::string::npos);
  EXPECT_EQ(registered(d.flash()).size(), 8u);
  // A link lost now reports the update as failed.
  ASSERT_TRUE(phone.central.disconnect());
  EXPECT_TRUE(d.wait_line(kUart0, "OTA process is unexpectedly failed.", sec(3)));
}

// Updates good, bad, partial and cut by power, one after another on one
// module: after each reset or power cycle the module starts, with the
// application the chip's bootloader installed (the newest whole image
// verified) or the one it had.
TEST(TarnelkaBleUpdate, NoUpdateLeavesAModuleThatDoesNotStart) {
  World w;
  Device& d = tk::start(w, "m");
  Phone phone(w);
  Updater up(phone);
  auto app = [&](size_t n) { return tk::slice(d.flash(), kAppAddr, n); };
  auto started = [&](const char* what) {
    EXPECT_TRUE(d.wait_output(kUart0, "Current Work Mode: LoRaWAN.\r\n", sec(10)))
        << what << ": the module started";
    EXPECT_EQ(reply(d, "AT"), "OK\r\n") << what;
    EXPECT_EQ(d.log().find("does not start"), std::string::npos) << what;
    EXPECT_TRUE(registered(d.flash()).empty()) << what;
  };
  auto open = [&] {
    if (phone.central.connected())
      phone.central.wait([&] { return !phone.central.connected(); }, sec(10));
    return phone.connect_to_module() && up.open();
  };
  auto reset_by_phone = [&] {
    EXPECT_EQ(up.send(packet(4, {})), answer(4, 0));
    EXPECT_TRUE(d.wait_line(kUart0, "Apollo will disconnect BLE link in 500ms."));
  };
  const tk::Bytes factory = app(8192);
  const ble::Bytes a = app_image(9000, 0x11, 5), b = app_image(17000, 0x22, 6),
                   c = app_image(4000, 0x33, 7);

  // A bad image: its data differs from the header's CRC.
  ASSERT_TRUE(open());
  ASSERT_TRUE(send_image(up, a, image_crc(a) ^ 1));
  EXPECT_EQ(up.send(packet(3, {})), answer(3, 1));
  reset_by_phone();
  started("a bad image");
  EXPECT_EQ(app(8192), factory);

  // Half an image, then the reset command.
  ASSERT_TRUE(open());
  ASSERT_TRUE(send_image(up, a, image_crc(a), 4608));
  reset_by_phone();
  started("half an image");
  EXPECT_EQ(app(8192), factory);

  // The supply cut in the middle of the transfer.
  ASSERT_TRUE(open());
  ASSERT_TRUE(send_image(up, a, image_crc(a), 4608));
  d.restart();
  started("power cut during the transfer");
  EXPECT_EQ(app(8192), factory);

  // The supply cut after a good image verified: the bootloader installs it
  // at the power-on.
  ASSERT_TRUE(open());
  ASSERT_TRUE(send_image(up, a, image_crc(a)));
  EXPECT_EQ(up.send(packet(3, {})), answer(3, 0));
  d.restart();
  started("power cut after the verify");
  EXPECT_EQ(app(a.size()), a);

  // A good image and the reset command.
  ASSERT_TRUE(open());
  ASSERT_TRUE(send_image(up, b, image_crc(b)));
  EXPECT_EQ(up.send(packet(3, {})), answer(3, 0));
  reset_by_phone();
  started("a good image");
  EXPECT_EQ(app(b.size()), b);

  // A verified image whose staging area the next header erased, and the
  // supply cut in that next transfer: the registration is no longer whole.
  ASSERT_TRUE(open());
  ASSERT_TRUE(send_image(up, c, image_crc(c)));
  EXPECT_EQ(up.send(packet(3, {})), answer(3, 0));
  ASSERT_TRUE(send_image(up, a, image_crc(a), 1024));
  d.restart();
  started("power cut in a transfer after a verified image");
  EXPECT_EQ(app(b.size()), b);
}

}  // namespace

namespace {

// Notifications are on from the start of a connection; a phone that turns
// them off gets no replies (the module drops them) until it turns them on.
TEST(TarnelkaBle, RepliesFollowTheNotificationSetting) {
  World w;
  Device& d = tk::start(w, "m");
  Phone phone(w);
  ASSERT_TRUE(phone.connect_to_module());
  uint32_t disc = phone.central.discover();
  ASSERT_TRUE(phone.central.wait([&] { return phone.central.done(disc); }, sec(5)));
  phone.serial.tx =
      phone.central.characteristic(ble::uuid128("6E400003-B5A3-F393-E0A9-E50E24DCCA9E"));
  phone.serial.rx =
      phone.central.characteristic(ble::uuid128("6E400002-B5A3-F393-E0A9-E50E24DCCA9E"));
  ASSERT_TRUE(phone.serial.tx && phone.serial.rx);
  EXPECT_EQ(phone.command("AT\r\n"), "OK\r\n") << "without a CCC write";

  uint32_t off = phone.central.subscribe(phone.serial.tx->value_handle, 0);
  ASSERT_TRUE(phone.central.wait([&] { return phone.central.done(off); }, sec(2)));
  phone.central.notifications().clear();
  uint32_t wr = phone.central.write(phone.serial.rx->value_handle, bytes("AT+VER=?\r\n"));
  ASSERT_TRUE(phone.central.wait([&] { return phone.central.done(wr); }, sec(2)));
  w.run_for(sec(1));
  EXPECT_TRUE(phone.central.notifications().empty());

  uint32_t on = phone.central.subscribe(phone.serial.tx->value_handle, 1);
  ASSERT_TRUE(phone.central.wait([&] { return phone.central.done(on); }, sec(2)));
  EXPECT_EQ(phone.command("AT\r\n"), "OK\r\n");
  EXPECT_EQ(reply(d, "AT"), "OK\r\n");
}

}  // namespace
