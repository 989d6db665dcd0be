// Model of a 3-axis accelerometer with 8-bit registers on an I2C bus (7-bit
// address 0x18, or 0x19 with its address pin high).
//
// Bus face (I2cTarget): a write transaction's first byte is the register
// address, bit 7 set for auto-increment; later bytes are written from there.
// A read gives registers from the address (kept across a stop), moving on
// after each byte only with auto-increment.
//   0x0F WHO_AM_I    0x33
//   0x1E CTRL_REG0   0x10 at power-up; 0x1F TEMP_CFG_REG
//   0x20 CTRL_REG1   ODR (7:4: 0 power-down, 1, 10, 25, 50, 100, 200, 400 Hz,
//                    8 1.6 kHz, 9 1.344 kHz / 5.376 kHz low power), LPen (3),
//                    Z, Y, X enable (2, 1, 0); 0x07 at power-up
//   0x21..0x26       CTRL_REG2..6, REFERENCE; CTRL_REG4: BDU (7), FS (5:4:
//                    2, 4, 8, 16 g), HR (3)
//   0x27 STATUS_REG  ZYXDA (3) and X, Y, Z DA (2:0) while a sample is there
//   0x28..0x2D       OUT_X_L .. OUT_Z_H: left-justified two's complement,
//                    12 bits in high-resolution mode (1, 2, 4, 12 mg per
//                    digit by range), 10 bits in normal mode (4, 8, 16, 48),
//                    8 bits in low-power mode (16, 32, 64, 192); saturated
//                    at the range. With both LPen and HR set (a setting the
//                    part does not allow) the model takes low power.
//   0x2E..0x3F       FIFO and interrupt registers, stored as written
// The outputs follow the acceleration from one sample period after the ODR
// left power-down; in power-down they hold the last sample (0 at power-up).
// A disabled axis keeps its last value.
//
// Backend face: the acceleration (g per axis), an absent sensor, and a
// transcript of the register traffic ("<time_us> W <reg>=<value>" for each
// register written, "<time_us> R <reg>" for each read from a register).
#pragma once

#include <cstdint>
#include <cstdio>

#include "sim/i2c_bus.h"
#include "sim/sim.h"

namespace sim {

class Accelerometer : public I2cTarget {
 public:
  static constexpr uint8_t kAddress = 0x19;
  static constexpr uint8_t kWhoAmI = 0x33;

  Accelerometer();

  // --------------------------------------------------------- backend ---
  void set_acceleration(double x, double y, double z) {
    g_[0] = x;
    g_[1] = y;
    g_[2] = z;
  }
  void set_nack(bool nack) { nack_ = nack; }
  void set_transcript(FILE* file) { transcript_ = file; }
  uint8_t reg(uint8_t address) const { return regs_[address & 0x3F]; }

  // ------------------------------------------------------------ bus ---
  bool start(bool read) override;
  bool write(uint8_t byte) override;
  uint8_t read() override;
  void stop() override;

 private:
  void sample();  // outputs from the current acceleration, when one is due
  void write_reg(uint8_t address, uint8_t value);

  double g_[3] = {0.0, 0.0, 1.0};
  bool nack_ = false;
  uint8_t regs_[0x40] = {};
  uint8_t pointer_ = 0;
  bool increment_ = false;
  bool first_byte_ = false;
  time_us on_since_ = 0;
  FILE* transcript_ = nullptr;
};

}  // namespace sim
