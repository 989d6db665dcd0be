#include "tarnelka.h"

namespace tk {

Bytes erased_flash() { return Bytes(kFlashSize, 0xFF); }

uint32_t get32(const Bytes& b, size_t off) {
  return static_cast<uint32_t>(b.at(off)) | static_cast<uint32_t>(b.at(off + 1)) << 8 |
         static_cast<uint32_t>(b.at(off + 2)) << 16 | static_cast<uint32_t>(b.at(off + 3)) << 24;
}

Bytes slice(const Bytes& b, size_t off, size_t len) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(off),
               b.begin() + static_cast<std::ptrdiff_t>(off + len));
}

std::string startup_text() {
  return "\r\n\r\nVelnatronic Tarnelka\r\n" + std::string(54, '-') +
         "\r\nVersion: QIV_4.2.4_Tarnelka\r\nCurrent Work Mode: LoRaWAN.\r\n";
}

systest::Device& start(systest::World& w, const std::string& name, systest::DeviceOptions o,
                       bool wait) {
  o.image = kImage;
  o.ports = {kUart0, kUart1};
  systest::Device& d = w.start(name, o);
  if (wait) {
    EXPECT_TRUE(d.wait_line(kUart0, "Current Work Mode: LoRaWAN.", systest::sec(3)));
  }
  return d;
}

systest::DeviceOptions with_flash(const Bytes& flash) {
  systest::DeviceOptions o;
  o.initial_flash = flash;
  return o;
}

}  // namespace tk
