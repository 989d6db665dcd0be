// Pressure sensor model: see sim/pressure_sensor.h.
#include "sim/pressure_sensor.h"

#include <cmath>
#include <memory>

#include "sim/device_registry.h"

namespace sim {
namespace {

constexpr uint8_t kWhoAmIReg = 0x0F;
constexpr uint8_t kCtrl1 = 0x10;
constexpr uint8_t kCtrl2 = 0x11;
constexpr uint8_t kStatus = 0x27;
constexpr uint8_t kPressXl = 0x28;
constexpr uint8_t kPressH = 0x2A;
constexpr uint8_t kTempL = 0x2B;
constexpr uint8_t kTempH = 0x2C;
constexpr uint8_t kIfAddInc = 0x10;
constexpr uint8_t kOneShot = 0x01;

bool writable(uint8_t a) { return (a >= 0x0B && a <= 0x1A && a != kWhoAmIReg) || a == 0x33; }

// Output data rates by the ODR field, in Hz.
constexpr uint32_t kOdrHz[8] = {0, 1, 10, 25, 50, 75, 75, 75};

int32_t saturate(double v, int32_t lo, int32_t hi) {
  double r = std::round(v);
  if (!(r >= lo)) return lo;
  return r > hi ? hi : static_cast<int32_t>(r);
}

}  // namespace

PressureSensor::PressureSensor() { reset_registers(); }

PressureSensor::~PressureSensor() {
  if (pending_ && scheduled(pending_)) cancel(pending_);
}

void PressureSensor::reset_registers() {
  for (uint8_t& r : regs_) r = 0;
  regs_[kWhoAmIReg] = kWhoAmI;
  regs_[kCtrl2] = kIfAddInc;
  ++generation_;  // a conversion under way is lost
}

void PressureSensor::convert() {
  ++conversions_;
  uint32_t p = static_cast<uint32_t>(saturate(hpa_ * 4096.0, -(1 << 23), (1 << 23) - 1));
  int32_t t = saturate(celsius_ * 100.0, -32768, 32767);
  regs_[kPressXl] = static_cast<uint8_t>(p);
  regs_[kPressXl + 1] = static_cast<uint8_t>(p >> 8);
  regs_[kPressH] = static_cast<uint8_t>(p >> 16);
  regs_[kTempL] = static_cast<uint8_t>(t);
  regs_[kTempH] = static_cast<uint8_t>(static_cast<uint32_t>(t) >> 8);
  regs_[kStatus] |= 0x03;
}

void PressureSensor::on_done(void* ctx, uint32_t generation) {
  auto* s = static_cast<PressureSensor*>(ctx);
  s->pending_ = 0;
  if (generation != s->generation_) return;
  s->convert();
  s->regs_[kCtrl2] &= static_cast<uint8_t>(~kOneShot);
}

void PressureSensor::update() {
  uint32_t hz = kOdrHz[(regs_[kCtrl1] >> 4) & 7];
  if (hz && now() >= odr_since_ + 1'000'000 / hz) convert();
}

void PressureSensor::write_reg(uint8_t a, uint8_t v) {
  if (a == kCtrl2) {
    if (v & 0x84) {  // BOOT or SWRESET
      reset_registers();
      return;
    }
    regs_[a] = v;
    if ((v & kOneShot) && ((regs_[kCtrl1] >> 4) & 7) == 0) {
      if (pending_ && scheduled(pending_)) cancel(pending_);
      pending_ = schedule(now() + kOneShotTime, on_done, this, generation_);
    }
    return;
  }
  if (a == kCtrl1 && ((v ^ regs_[a]) & 0x70)) odr_since_ = now();
  if (writable(a)) regs_[a] = v;
}

bool PressureSensor::start(bool read) {
  if (nack_) return false;
  first_byte_ = !read;
  return true;
}

bool PressureSensor::write(uint8_t byte) {
  if (first_byte_) {
    pointer_ = byte & 0x7F;
    first_byte_ = false;
    return true;
  }
  write_reg(pointer_, byte);
  if (regs_[kCtrl2] & kIfAddInc) pointer_ = static_cast<uint8_t>((pointer_ + 1) & 0x7F);
  return true;
}

uint8_t PressureSensor::read() {
  uint8_t a = pointer_;
  if (a == kStatus || (a >= kPressXl && a <= kTempH)) update();
  uint8_t v = a < sizeof regs_ ? regs_[a] : 0;
  if (a == kPressH) regs_[kStatus] &= static_cast<uint8_t>(~0x01);
  if (a == kTempH) regs_[kStatus] &= static_cast<uint8_t>(~0x02);
  if (regs_[kCtrl2] & kIfAddInc) pointer_ = static_cast<uint8_t>((pointer_ + 1) & 0x7F);
  return v;
}

void PressureSensor::stop() { first_byte_ = false; }

namespace {

struct Attached : devices::Instance {
  PressureSensor sensor;
  int bus;
  uint8_t address;
  Attached(int b, uint8_t a) : bus(b), address(a) { i2c_attach(bus, address, &sensor); }
  ~Attached() override {
    if (i2c_target(bus, address) == &sensor) i2c_attach(bus, address, nullptr);
  }
};

std::unique_ptr<devices::Instance> make(const devices::Placement& e, std::string* error) {
  if (e.bus != devices::Bus::kI2c) {
    *error = "sits on an I2C bus (e.g. pressure-sensor@i2c0:0x5c)";
    return nullptr;
  }
  if (!devices::known_settings(e, {"hpa", "t", "nack"}, error)) return nullptr;
  double hpa = 1013.25, t = 25.0, nack = 0;
  if (!devices::setting_double(e, "hpa", &hpa, error) ||
      !devices::setting_double(e, "t", &t, error) ||
      !devices::setting_double(e, "nack", &nack, error))
    return nullptr;
  if (nack != 0 && nack != 1) {
    *error = "nack: 0 or 1";
    return nullptr;
  }
  auto a = std::make_unique<Attached>(e.bus_number, static_cast<uint8_t>(e.address));
  a->sensor.set_pressure(hpa);
  a->sensor.set_temperature(t);
  a->sensor.set_nack(nack == 1);
  return a;
}

const devices::Registration registration(
    "pressure-sensor",
    "barometric pressure sensor, e.g. pressure-sensor@i2c0:0x5c,hpa=1013.25,t=21.5\n"
    "      (hPa, degrees C); nack=1: absent",
    make);

}  // namespace
}  // namespace sim
