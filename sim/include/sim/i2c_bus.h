// I2C buses outside the chip and the devices (targets) on them.
//
// A bus is named by its number (the board's wiring decides which controller
// of the chip drives which bus: the STM32WL's I2C2 is bus 2). A target is
// attached by data, bus number and 7-bit address, from a test or from the
// command line; the controller stand-in finds it by address when it puts a
// start on the bus. Calls come as bus events while a transfer runs, so a
// target may take the virtual time of the transfer into account (now()).
//
// One transaction, as the target sees it:
//   start(read) ... write(byte)* or read()* ... [start(read) again: a repeated
//   start] ... stop()
// A target refuses (NACKs) its address by returning false from start(), a
// written byte by returning false from write(); the controller then ends the
// transaction with a stop.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

class I2cTarget {
 public:
  virtual ~I2cTarget() = default;
  // A start or repeated start with this target's address and the direction;
  // false: the address is not acknowledged.
  virtual bool start(bool read) = 0;
  // A byte the controller writes; false: not acknowledged.
  virtual bool write(uint8_t) { return true; }
  // The next byte the controller reads (the controller acknowledges every
  // byte but the last, which a target cannot tell apart).
  virtual uint8_t read() { return 0xFF; }
  // A stop condition ends the target's transaction.
  virtual void stop() {}
};

constexpr int kMaxI2cBus = 4;

// Attach a target at a 7-bit address of a bus (nullptr detaches). Targets
// stay attached until detached or until the simulated core is reset
// (host::reset_core); a reset of the chip alone does not unplug them.
void i2c_attach(int bus, uint8_t address, I2cTarget* target);
// The target at the address, or nullptr (nobody acknowledges).
I2cTarget* i2c_target(int bus, uint8_t address);

// A whole transaction at once, for controllers without a bus timing of their
// own and for tests: writes `wlen` bytes (if any), then, after a repeated
// start, reads `rlen` bytes (if any), then a stop. Returns kOk, or where the
// acknowledge was missing (the transaction then ends with a stop).
enum class I2cResult : uint8_t { kOk, kAddressNack, kDataNack };
I2cResult i2c_transfer(int bus, uint8_t address, const uint8_t* wdata, size_t wlen, uint8_t* rdata,
                       size_t rlen);

}  // namespace sim
