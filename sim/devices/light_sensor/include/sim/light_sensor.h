// Model of an ambient light sensor with 16-bit registers on an I2C bus
// (7-bit address 0x44 to 0x47 by its address pin).
//
// Bus face (I2cTarget): a write transaction's first byte sets the register
// pointer (kept across a stop), the next two bytes (high byte first) are
// written to it; a read gives the register's high byte, then its low byte.
//   0x00 result         exponent (15:12) and mantissa (11:0):
//                       lux = 0.01 x 2^exponent x mantissa
//   0x01 configuration  RN (15:12, full-scale range: 0 to 11 fixed, 12 and
//                       above automatic), CT (11: conversion 100 ms or
//                       800 ms), M (10:9: 0 shutdown, 1 single-shot, 2 and 3
//                       continuous), OVF (8) and CRF (7, conversion ready;
//                       cleared by reading this register) read-only, FH, FL
//                       (6, 5; not modelled, 0), L, POL, ME, FC stored;
//                       0xC810 at power-up
//   0x02, 0x03 low and high limits (0xC000, 0xBFFF at power-up)
//   0x7E manufacturer ID 0x5449, 0x7F device ID 0x3001
// Writing a configuration with M 1 or more starts a conversion; it ends
// after the conversion time with the result, CRF set (OVF when the light
// exceeds the range) and, single-shot, M back to 0. Continuous conversions
// follow one another. Until a conversion ends the result register holds the
// last one (0 at power-up).
//
// Backend face: the light the next conversion measures, an absent sensor
// (no acknowledge), and the result word for a light and range.
#pragma once

#include <cstdint>

#include "sim/i2c_bus.h"
#include "sim/sim.h"

namespace sim {

class LightSensor : public I2cTarget {
 public:
  static constexpr uint8_t kAddress = 0x44;
  static constexpr time_us kShortConversion = 100'000;
  static constexpr time_us kLongConversion = 800'000;

  LightSensor();
  ~LightSensor() override;

  // --------------------------------------------------------- backend ---
  void set_lux(double lux) { lux_ = lux; }
  void set_nack(bool nack) { nack_ = nack; }
  uint16_t config() const { return config_; }
  // The result word for `lux` in range `rn`; *overflow when it does not fit.
  static uint16_t encode(double lux, int rn, bool* overflow);

  // ------------------------------------------------------------ bus ---
  bool start(bool read) override;
  bool write(uint8_t byte) override;
  uint8_t read() override;
  void stop() override;

 private:
  static void on_done(void* ctx, uint32_t generation);
  void start_conversion();
  uint16_t* reg(uint8_t address);

  double lux_ = 100.0;
  bool nack_ = false;
  uint16_t result_ = 0;
  uint16_t config_ = 0xC810;
  uint16_t low_ = 0xC000;
  uint16_t high_ = 0xBFFF;
  uint8_t pointer_ = 0;
  int written_ = -1;  // bytes of this write transaction; -1: the pointer is next
  uint8_t high_byte_ = 0;
  int read_pos_ = 0;
  uint32_t generation_ = 0;
  EventId pending_ = 0;
};

}  // namespace sim
