// SHTC3 sensor model: see sim/shtc3.h.
#include "sim/shtc3.h"

#include <cmath>

#include "sim/device_registry.h"

namespace sim {
namespace {

constexpr uint16_t kWakeup = 0x3517;
constexpr uint16_t kSleep = 0xB098;
constexpr uint16_t kSoftReset = 0x805D;
constexpr uint16_t kReadId = 0xEFC8;
constexpr time_us kNormalTime = 12100;  // the longest conversion of each mode
constexpr time_us kLowPowerTime = 800;

struct Measure {
  uint16_t cmd;
  bool temperature_first;
  bool stretch;
  time_us duration;
};
constexpr Measure kMeasures[] = {
    {0x7CA2, true, true, kNormalTime},    {0x5C24, false, true, kNormalTime},
    {0x6458, true, true, kLowPowerTime},  {0x44DE, false, true, kLowPowerTime},
    {0x7866, true, false, kNormalTime},   {0x58E0, false, false, kNormalTime},
    {0x609C, true, false, kLowPowerTime}, {0x401A, false, false, kLowPowerTime},
};

uint16_t to_raw(double value) {
  double r = std::round(value);
  if (!(r >= 0)) return 0;
  return r > 65535 ? 65535 : static_cast<uint16_t>(r);
}

}  // namespace

uint8_t Shtc3::crc8(const uint8_t* data, size_t len) {
  uint8_t crc = 0xFF;
  for (size_t i = 0; i < len; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b)
      crc = static_cast<uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x31 : crc << 1);
  }
  return crc;
}

uint16_t Shtc3::raw_temperature() const { return to_raw((temperature_ + 45.0) * 65536.0 / 175.0); }
uint16_t Shtc3::raw_humidity() const { return to_raw(humidity_ * 65536.0 / 100.0); }

void Shtc3::put_word(uint16_t w) {
  uint8_t* p = out_ + out_len_;
  p[0] = static_cast<uint8_t>(w >> 8);
  p[1] = static_cast<uint8_t>(w);
  p[2] = crc8(p, 2);
  out_len_ += 3;
}

bool Shtc3::start(bool read) {
  if (nack_) return false;
  reading_ = read;
  cmd_len_ = 0;
  if (!read) return true;
  if (asleep_ || out_len_ == 0) return false;
  if (needs_ready_ && now() < ready_at_) return false;
  out_pos_ = 0;
  return true;
}

bool Shtc3::write(uint8_t byte) {
  if (reading_ || cmd_len_ >= 2) return false;
  if (asleep_ && byte != (cmd_len_ == 0 ? kWakeup >> 8 : (kWakeup & 0xFF))) return false;
  cmd_bytes_[cmd_len_++] = byte;
  if (cmd_len_ == 2) command(static_cast<uint16_t>(cmd_bytes_[0] << 8 | cmd_bytes_[1]));
  return true;
}

void Shtc3::command(uint16_t cmd) {
  // A new command drops what an earlier one left to read.
  out_len_ = 0;
  needs_ready_ = false;
  switch (cmd) {
    case kWakeup:
      asleep_ = false;
      return;
    case kSleep:
      asleep_ = true;
      return;
    case kSoftReset:
      return;
    case kReadId:
      put_word(id_);
      return;
    default:
      break;
  }
  for (const Measure& m : kMeasures) {
    if (m.cmd != cmd) continue;
    ++measurements_;
    // The values at the start of the conversion are the ones it gives.
    put_word(m.temperature_first ? raw_temperature() : raw_humidity());
    put_word(m.temperature_first ? raw_humidity() : raw_temperature());
    needs_ready_ = !m.stretch;
    ready_at_ = now() + m.duration;
    return;
  }
  // An unknown command: nothing to read.
}

uint8_t Shtc3::read() {
  if (!reading_ || out_pos_ >= out_len_) return 0xFF;
  return out_[out_pos_++];
}

void Shtc3::stop() {
  // The data of a measurement or of the ID is read once.
  if (reading_ && out_pos_ > 0) out_len_ = 0;
  reading_ = false;
  cmd_len_ = 0;
}

namespace {

struct Attached : devices::Instance {
  Shtc3 sensor;
  int bus;
  uint8_t address;
  Attached(int b, uint8_t a) : bus(b), address(a) { i2c_attach(bus, address, &sensor); }
  ~Attached() override {
    if (i2c_target(bus, address) == &sensor) i2c_attach(bus, address, nullptr);
  }
};

std::unique_ptr<devices::Instance> make(const devices::Placement& entry, std::string* error) {
  if (entry.bus != devices::Bus::kI2c) {
    *error = "sits on an I2C bus (e.g. shtc3@i2c2:0x70)";
    return nullptr;
  }
  if (!devices::known_settings(entry, {"t", "rh", "nack"}, error)) return nullptr;
  double t = 25.0, rh = 50.0, nack = 0;
  if (!devices::setting_double(entry, "t", &t, error) ||
      !devices::setting_double(entry, "rh", &rh, error) ||
      !devices::setting_double(entry, "nack", &nack, error))
    return nullptr;
  if (nack != 0 && nack != 1) {
    *error = "nack: 0 or 1";
    return nullptr;
  }
  auto a = std::make_unique<Attached>(entry.bus_number, static_cast<uint8_t>(entry.address));
  a->sensor.set_temperature(t);
  a->sensor.set_humidity(rh);
  a->sensor.set_nack(nack == 1);
  return a;
}

const devices::Registration registration(
    "shtc3",
    "humidity and temperature sensor, e.g. shtc3@i2c2:0x70,t=21.5,rh=40 (degrees C, %RH);\n"
    "      nack=1: absent (its address is not acknowledged)",
    make);

}  // namespace
}  // namespace sim
