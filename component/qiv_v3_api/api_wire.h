// The user API's I2C master: a byte stream over one port of the driver
// layer's I2C master class. `Wire` is port 0, `Wire1` port 1.
//
// The receive and transmit buffers are shared by every object: data
// requested through one object and not yet read are replaced by a request
// through another.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "api_print.h"
#include "udrv_twimst.h"

class TwoWire : public Stream {
 public:
  static constexpr uint8_t kBufferLength = 64;

  explicit TwoWire(udrv_twimst_port port);

  void begin();
  void beginTransmission(uint8_t address);
  // Sends what was written since beginTransmission; 0 on success, 1 on any
  // failure (the device did not acknowledge, no such port).
  uint8_t endTransmission(uint8_t sendStop = 1);
  // Reads up to 64 bytes; the count read, or 0 on failure (the received
  // bytes are then left as they were). The internal address and stop
  // arguments of the longer forms are not used.
  uint8_t requestFrom(uint8_t address, uint8_t quantity);
  uint8_t requestFrom(uint8_t address, uint8_t quantity, uint8_t sendStop);
  uint8_t requestFrom(uint8_t address, uint8_t quantity, uint32_t iaddress, uint8_t isize,
                      uint8_t sendStop);

  int write(uint8_t data) override;
  int write(const uint8_t *data, size_t n) override;
  int write(int n) { return write(static_cast<uint8_t>(n)); }
  void flush() override;
  int peek() override;
  int available() override;
  int read() override;

 private:
  udrv_twimst_port port;
  uint8_t slaveAddress;

  static uint8_t rxBuffer[kBufferLength];
  static uint8_t rxBufferIndex;
  static uint8_t rxBufferLength;
  static uint8_t txBuffer[kBufferLength];
  static uint8_t txBufferIndex;
  static uint8_t txBufferLength;
};

extern TwoWire Wire;
extern TwoWire Wire1;
