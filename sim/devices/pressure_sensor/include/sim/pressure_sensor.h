// Model of a barometric pressure sensor with 8-bit registers on an I2C bus
// (7-bit address 0x5C, or 0x5D with its address pin high).
//
// Bus face (I2cTarget): a write transaction's first byte sets the register
// pointer, later bytes are written from there; a read gives registers from
// the pointer. The pointer moves on after each byte while IF_ADD_INC
// (CTRL_REG2 bit 4, set at power-up) is set, and is kept across a stop.
//   0x0F WHO_AM_I       0xB1
//   0x10 CTRL_REG1      ODR bits 6:4 (0 power-down / one-shot, 1, 10, 25, 50,
//                       75 Hz), the rest stored
//   0x11 CTRL_REG2      BOOT (7) and SWRESET (2) reset every register;
//                       IF_ADD_INC (4); ONE_SHOT (0) starts a conversion in
//                       power-down and clears itself when it is done
//   0x27 STATUS         P_DA (0) and T_DA (1): a new pressure / temperature;
//                       cleared by reading PRESS_OUT_H / TEMP_OUT_H
//   0x28..0x2A PRESS_OUT_XL, _L, _H   24-bit two's complement, hPa x 4096
//   0x2B..0x2C TEMP_OUT_L, _H         16-bit two's complement, degrees C x 100
// Other registers of the map (0x0B..0x1A, 0x25, 0x26, 0x33) are stored as
// written (0 at power-up); registers outside it read 0.
// A one-shot conversion takes `kOneShotTime`; until then the outputs hold
// the last conversion (0 at power-up). With an ODR set the outputs follow
// the values from one period after the ODR was set.
//
// Backend face: the values the next conversion gives, an absent sensor (no
// acknowledge), and the conversions done.
#pragma once

#include <cstdint>

#include "sim/i2c_bus.h"
#include "sim/sim.h"

namespace sim {

class PressureSensor : public I2cTarget {
 public:
  static constexpr uint8_t kAddress = 0x5C;
  static constexpr uint8_t kWhoAmI = 0xB1;
  static constexpr time_us kOneShotTime = 12'000;

  // --------------------------------------------------------- backend ---
  void set_pressure(double hpa) { hpa_ = hpa; }
  void set_temperature(double celsius) { celsius_ = celsius; }
  void set_nack(bool nack) { nack_ = nack; }
  uint32_t conversions() const { return conversions_; }
  uint8_t reg(uint8_t address) const { return regs_[address]; }

  // ------------------------------------------------------------ bus ---
  bool start(bool read) override;
  bool write(uint8_t byte) override;
  uint8_t read() override;
  void stop() override;

  PressureSensor();
  ~PressureSensor() override;

 private:
  static void on_done(void* ctx, uint32_t generation);
  void reset_registers();
  void convert();  // latch the current values into the outputs
  void update();   // continuous mode: outputs due by now
  void write_reg(uint8_t address, uint8_t value);

  double hpa_ = 1013.25;
  double celsius_ = 25.0;
  bool nack_ = false;
  uint8_t regs_[0x40] = {};
  uint8_t pointer_ = 0;
  bool first_byte_ = false;  // the next written byte is the pointer
  uint32_t conversions_ = 0;
  uint32_t generation_ = 0;
  EventId pending_ = 0;
  time_us odr_since_ = 0;
};

}  // namespace sim
