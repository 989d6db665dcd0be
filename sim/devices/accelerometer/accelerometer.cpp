// Accelerometer model: see sim/accelerometer.h.
#include "sim/accelerometer.h"

#include <cinttypes>
#include <cmath>
#include <memory>

#include "sim/device_registry.h"

namespace sim {
namespace {

constexpr uint8_t kWhoAmIReg = 0x0F;
constexpr uint8_t kCtrl0 = 0x1E;
constexpr uint8_t kCtrl1 = 0x20;
constexpr uint8_t kCtrl4 = 0x23;
constexpr uint8_t kStatus = 0x27;
constexpr uint8_t kOutXl = 0x28;

// Sample rates by the ODR field, in Hz (low-power rates where they differ).
constexpr uint32_t kOdrHz[16] = {0, 1, 10, 25, 50, 100, 200, 400, 1600, 1344, 0, 0, 0, 0, 0, 0};
constexpr uint32_t kOdrHzLowPower9 = 5376;

// mg per digit by mode (high resolution, normal, low power) and range.
constexpr double kSensitivity[3][4] = {{1, 2, 4, 12}, {4, 8, 16, 48}, {16, 32, 64, 192}};
constexpr int kBits[3] = {12, 10, 8};

bool writable(uint8_t a) { return a >= kCtrl0 && a != kStatus && (a < kOutXl || a > 0x2D); }

}  // namespace

Accelerometer::Accelerometer() {
  regs_[kWhoAmIReg] = kWhoAmI;
  regs_[kCtrl0] = 0x10;
  regs_[kCtrl1] = 0x07;
}

void Accelerometer::sample() {
  uint8_t c1 = regs_[kCtrl1];
  uint8_t odr = c1 >> 4;
  bool low_power = (c1 & 0x08) != 0;
  uint32_t hz = (odr == 9 && low_power) ? kOdrHzLowPower9 : kOdrHz[odr];
  if (hz == 0 || now() < on_since_ + (1'000'000 + hz - 1) / hz) return;
  bool high_res = (regs_[kCtrl4] & 0x08) != 0;
  int mode = low_power ? 2 : (high_res ? 0 : 1);
  int fs = (regs_[kCtrl4] >> 4) & 3;
  int bits = kBits[mode];
  int32_t max = (1 << (bits - 1)) - 1;
  for (int axis = 0; axis < 3; ++axis) {
    if (!(c1 & (1u << axis))) continue;
    double d = std::round(g_[axis] * 1000.0 / kSensitivity[mode][fs]);
    int32_t v = !(d >= -max - 1) ? -max - 1 : (d > max ? max : static_cast<int32_t>(d));
    uint16_t out = static_cast<uint16_t>(static_cast<uint32_t>(v) << (16 - bits));
    regs_[kOutXl + 2 * axis] = static_cast<uint8_t>(out);
    regs_[kOutXl + 2 * axis + 1] = static_cast<uint8_t>(out >> 8);
  }
  regs_[kStatus] = static_cast<uint8_t>(0x08 | (c1 & 0x07));
}

void Accelerometer::write_reg(uint8_t a, uint8_t v) {
  if (transcript_) {
    std::fprintf(transcript_, "%" PRIu64 " W %02X=%02X\n", now(), a, v);
    std::fflush(transcript_);
  }
  if (a == kCtrl1 && ((v ^ regs_[a]) & 0xF0)) {
    sample();  // what was due under the old rate stays in the outputs
    on_since_ = now();
    regs_[kStatus] = 0;
  }
  if (writable(a)) regs_[a] = v;
}

bool Accelerometer::start(bool read) {
  if (nack_) return false;
  first_byte_ = !read;
  if (read && transcript_) {
    std::fprintf(transcript_, "%" PRIu64 " R %02X\n", now(), pointer_);
    std::fflush(transcript_);
  }
  return true;
}

bool Accelerometer::write(uint8_t byte) {
  if (first_byte_) {
    pointer_ = byte & 0x3F;
    increment_ = (byte & 0x80) != 0;
    first_byte_ = false;
    return true;
  }
  write_reg(pointer_, byte);
  if (increment_) pointer_ = static_cast<uint8_t>((pointer_ + 1) & 0x3F);
  return true;
}

uint8_t Accelerometer::read() {
  if (pointer_ == kStatus || pointer_ == kOutXl) sample();
  uint8_t v = regs_[pointer_];
  if (increment_) pointer_ = static_cast<uint8_t>((pointer_ + 1) & 0x3F);
  return v;
}

void Accelerometer::stop() { first_byte_ = false; }

namespace {

struct Attached : devices::Instance {
  Accelerometer sensor;
  int bus;
  uint8_t address;
  FILE* file = nullptr;
  Attached(int b, uint8_t a) : bus(b), address(a) { i2c_attach(bus, address, &sensor); }
  ~Attached() override {
    if (i2c_target(bus, address) == &sensor) i2c_attach(bus, address, nullptr);
    if (file) std::fclose(file);
  }
};

std::unique_ptr<devices::Instance> make(const devices::Placement& e, std::string* error) {
  if (e.bus != devices::Bus::kI2c) {
    *error = "sits on an I2C bus (e.g. accelerometer@i2c0:0x19)";
    return nullptr;
  }
  if (!devices::known_settings(e, {"x", "y", "z", "nack", "log"}, error)) return nullptr;
  double x = 0, y = 0, z = 1, nack = 0;
  if (!devices::setting_double(e, "x", &x, error) || !devices::setting_double(e, "y", &y, error) ||
      !devices::setting_double(e, "z", &z, error) ||
      !devices::setting_double(e, "nack", &nack, error))
    return nullptr;
  if (nack != 0 && nack != 1) {
    *error = "nack: 0 or 1";
    return nullptr;
  }
  auto a = std::make_unique<Attached>(e.bus_number, static_cast<uint8_t>(e.address));
  a->sensor.set_acceleration(x, y, z);
  a->sensor.set_nack(nack == 1);
  if (const std::string* v = e.setting("log")) {
    a->file = std::fopen(v->c_str(), "ae");
    if (!a->file) {
      *error = "log: cannot write " + *v;
      return nullptr;
    }
    a->sensor.set_transcript(a->file);
  }
  return a;
}

const devices::Registration registration(
    "accelerometer",
    "3-axis accelerometer, e.g. accelerometer@i2c0:0x19,x=0,y=0,z=1 (g); nack=1: absent;\n"
    "      log=FILE (register transcript)",
    make);

}  // namespace
}  // namespace sim
