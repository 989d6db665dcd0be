// Ambient light sensor model: see sim/light_sensor.h.
#include "sim/light_sensor.h"

#include <cmath>
#include <memory>

#include "sim/device_registry.h"

namespace sim {
namespace {

constexpr uint16_t kManufacturerId = 0x5449;
constexpr uint16_t kDeviceId = 0x3001;
constexpr uint16_t kOvf = 1u << 8;
constexpr uint16_t kCrf = 1u << 7;
constexpr uint16_t kModeMask = 3u << 9;
// What a configuration write changes: RN, CT, M, L, POL, ME, FC.
constexpr uint16_t kWritable = 0xFE1F;

}  // namespace

LightSensor::LightSensor() = default;

LightSensor::~LightSensor() {
  if (pending_ && scheduled(pending_)) cancel(pending_);
}

uint16_t LightSensor::encode(double lux, int rn, bool* overflow) {
  *overflow = false;
  if (!(lux > 0)) return 0;
  auto fits = [&](int e, uint32_t* m) {
    double r = std::round(lux / (0.01 * std::ldexp(1.0, e)));
    *m = r > 4095 ? 4096 : static_cast<uint32_t>(r);
    return *m <= 4095;
  };
  uint32_t m = 0;
  if (rn <= 11) {
    if (!fits(rn, &m)) {
      *overflow = true;
      m = 4095;
    }
    return static_cast<uint16_t>(rn << 12 | m);
  }
  for (int e = 0; e <= 11; ++e)
    if (fits(e, &m)) return static_cast<uint16_t>(e << 12 | m);
  *overflow = true;
  return static_cast<uint16_t>(11 << 12 | 4095);
}

void LightSensor::start_conversion() {
  if (pending_ && scheduled(pending_)) cancel(pending_);
  ++generation_;
  time_us t = (config_ & (1u << 11)) ? kLongConversion : kShortConversion;
  pending_ = schedule(now() + t, on_done, this, generation_);
}

void LightSensor::on_done(void* ctx, uint32_t generation) {
  auto* s = static_cast<LightSensor*>(ctx);
  s->pending_ = 0;
  if (generation != s->generation_ || (s->config_ & kModeMask) == 0) return;
  bool overflow = false;
  s->result_ = encode(s->lux_, s->config_ >> 12, &overflow);
  s->config_ = static_cast<uint16_t>((s->config_ & ~kOvf) | kCrf | (overflow ? kOvf : 0));
  if (((s->config_ & kModeMask) >> 9) == 1) {
    s->config_ &= static_cast<uint16_t>(~kModeMask);  // single-shot: back to shutdown
  } else {
    s->start_conversion();
  }
}

uint16_t* LightSensor::reg(uint8_t address) {
  switch (address) {
    case 0x00:
      return &result_;
    case 0x01:
      return &config_;
    case 0x02:
      return &low_;
    case 0x03:
      return &high_;
    default:
      return nullptr;
  }
}

bool LightSensor::start(bool read) {
  if (nack_) return false;
  written_ = read ? 0 : -1;
  read_pos_ = 0;
  return true;
}

bool LightSensor::write(uint8_t byte) {
  if (written_ < 0) {
    pointer_ = byte;
    written_ = 0;
    return true;
  }
  if (written_ == 0) {
    high_byte_ = byte;
    written_ = 1;
    return true;
  }
  if (written_ > 1) return false;  // a register takes two bytes
  written_ = 2;
  uint16_t v = static_cast<uint16_t>(high_byte_ << 8 | byte);
  switch (pointer_) {
    case 0x01:
      config_ = static_cast<uint16_t>((config_ & ~kWritable) | (v & kWritable));
      if (config_ & kModeMask) {
        start_conversion();
      } else {
        ++generation_;  // shutdown ends a conversion
      }
      break;
    case 0x02:
      low_ = v;
      break;
    case 0x03:
      high_ = v;
      break;
    default:
      break;  // read-only or no register: ignored
  }
  return true;
}

uint8_t LightSensor::read() {
  uint16_t v;
  if (pointer_ == 0x7E) {
    v = kManufacturerId;
  } else if (pointer_ == 0x7F) {
    v = kDeviceId;
  } else if (uint16_t* r = reg(pointer_)) {
    v = *r;
  } else {
    return 0xFF;
  }
  int pos = read_pos_++;
  if (pos == 1 && pointer_ == 0x01) config_ &= static_cast<uint16_t>(~kCrf);
  if (pos > 1) return 0xFF;
  return static_cast<uint8_t>(pos == 0 ? v >> 8 : v);
}

void LightSensor::stop() {
  written_ = -1;
  read_pos_ = 0;
}

namespace {

struct Attached : devices::Instance {
  LightSensor sensor;
  int bus;
  uint8_t address;
  Attached(int b, uint8_t a) : bus(b), address(a) { i2c_attach(bus, address, &sensor); }
  ~Attached() override {
    if (i2c_target(bus, address) == &sensor) i2c_attach(bus, address, nullptr);
  }
};

std::unique_ptr<devices::Instance> make(const devices::Placement& e, std::string* error) {
  if (e.bus != devices::Bus::kI2c) {
    *error = "sits on an I2C bus (e.g. light-sensor@i2c0:0x44)";
    return nullptr;
  }
  if (!devices::known_settings(e, {"lux", "nack"}, error)) return nullptr;
  double lux = 100.0, nack = 0;
  if (!devices::setting_double(e, "lux", &lux, error) ||
      !devices::setting_double(e, "nack", &nack, error))
    return nullptr;
  if (nack != 0 && nack != 1) {
    *error = "nack: 0 or 1";
    return nullptr;
  }
  auto a = std::make_unique<Attached>(e.bus_number, static_cast<uint8_t>(e.address));
  a->sensor.set_lux(lux);
  a->sensor.set_nack(nack == 1);
  return a;
}

const devices::Registration registration(
    "light-sensor", "ambient light sensor, e.g. light-sensor@i2c0:0x44,lux=250; nack=1: absent",
    make);

}  // namespace
}  // namespace sim
