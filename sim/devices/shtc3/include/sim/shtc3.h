// Model of an SHTC3 humidity and temperature sensor on an I2C bus.
//
// Bus face (I2cTarget): 16-bit commands, MSB first, each in its own write
// transaction:
//   0x3517 wake-up            0xB098 sleep           0x805D soft reset
//   0xEFC8 read ID register (then a read: ID MSB, ID LSB, CRC)
//   measurements, normal mode 0x7CA2 / 0x5C24, low-power mode 0x6458 /
//   0x44DE with clock stretching; 0x7866 / 0x58E0 and 0x609C / 0x401A
//   without (temperature first / humidity first in each pair). A read then
//   gives word, CRC, word, CRC in the order of the command.
// Each 16-bit word is followed by its CRC-8 (polynomial 0x31, initial 0xFF).
// T = -45 + 175 * raw / 2^16 degrees C, RH = 100 * raw / 2^16 %.
//
// Choices of this model where the bus has no clock stretching to show:
// - a read with clock stretching gets its data at once (the stretch is not
//   timed); without it, a read header before the measurement is done
//   (12.1 ms normal, 0.8 ms low power) is not acknowledged;
// - asleep, it acknowledges its address only for a write, and of the
//   written bytes only those of the wake-up command: any other command (a
//   measurement) is refused with a NACK, and so is a read;
// - a read with nothing to give (no command before it) is not acknowledged;
//   bytes read past the end are 0xFF.
// It starts awake (idle), as after power-up.
//
// Backend face: the values the next measurement gives, the ID register, an
// absent sensor (no acknowledge), and what the bus did (for tests).
#pragma once

#include <cstdint>

#include "sim/i2c_bus.h"
#include "sim/sim.h"

namespace sim {

class Shtc3 : public I2cTarget {
 public:
  static constexpr uint8_t kAddress = 0x70;
  // The product code bits (11 and 5:0) with the other bits 0.
  static constexpr uint16_t kDefaultId = 0x0807;

  // --------------------------------------------------------- backend ---
  void set_temperature(double celsius) { temperature_ = celsius; }
  void set_humidity(double percent) { humidity_ = percent; }
  void set_id(uint16_t id) { id_ = id; }
  // A sensor that does not answer (absent, broken): its address is not
  // acknowledged.
  void set_nack(bool nack) { nack_ = nack; }
  bool asleep() const { return asleep_; }
  uint32_t measurements() const { return measurements_; }
  // Raw words of the current values (what the next measurement reads).
  uint16_t raw_temperature() const;
  uint16_t raw_humidity() const;

  static uint8_t crc8(const uint8_t* data, size_t len);

  // ------------------------------------------------------------ bus ---
  bool start(bool read) override;
  bool write(uint8_t byte) override;
  uint8_t read() override;
  void stop() override;

 private:
  void command(uint16_t cmd);
  void put_word(uint16_t w);

  double temperature_ = 25.0;
  double humidity_ = 50.0;
  uint16_t id_ = kDefaultId;
  bool asleep_ = false;
  bool nack_ = false;
  uint32_t measurements_ = 0;
  // The transaction in progress.
  bool reading_ = false;
  uint8_t cmd_bytes_[2] = {};
  int cmd_len_ = 0;
  // What a read gives, from its first byte.
  uint8_t out_[6] = {};
  int out_len_ = 0;
  int out_pos_ = 0;
  time_us ready_at_ = 0;  // the measurement's end (no clock stretching)
  bool needs_ready_ = false;
};

}  // namespace sim
