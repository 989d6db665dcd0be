// The user API's I2C master over the driver layer's I2C master class.
#include "api_wire.h"

uint8_t TwoWire::rxBuffer[TwoWire::kBufferLength];
uint8_t TwoWire::rxBufferIndex = 0;
uint8_t TwoWire::rxBufferLength = 0;
uint8_t TwoWire::txBuffer[TwoWire::kBufferLength];
uint8_t TwoWire::txBufferIndex = 0;
uint8_t TwoWire::txBufferLength = 0;

TwoWire::TwoWire(udrv_twimst_port p) : port(p), slaveAddress(0) {}

void TwoWire::begin() {
  rxBufferIndex = 0;
  rxBufferLength = 0;
  txBufferIndex = 0;
  txBufferLength = 0;
  udrv_twimst_init(port);
}

void TwoWire::beginTransmission(uint8_t address) {
  slaveAddress = address;
  txBufferIndex = 0;
  txBufferLength = 0;
}

uint8_t TwoWire::endTransmission(uint8_t sendStop) {
  int32_t ret = udrv_twimst_write(port, slaveAddress, txBuffer, txBufferLength, sendStop != 0);
  txBufferIndex = 0;
  txBufferLength = 0;
  return ret == 0 ? 0 : 1;
}

uint8_t TwoWire::requestFrom(uint8_t address, uint8_t quantity) {
  uint8_t length = quantity > kBufferLength ? kBufferLength : quantity;
  if (udrv_twimst_read(port, address, rxBuffer, length) != 0) {
    return 0;
  }
  rxBufferIndex = 0;
  rxBufferLength = length;
  return length;
}

uint8_t TwoWire::requestFrom(uint8_t address, uint8_t quantity, uint8_t) {
  return requestFrom(address, quantity);
}

uint8_t TwoWire::requestFrom(uint8_t address, uint8_t quantity, uint32_t, uint8_t, uint8_t) {
  return requestFrom(address, quantity);
}

int TwoWire::write(uint8_t data) {
  if (txBufferLength >= kBufferLength) {
    return 0;
  }
  txBuffer[txBufferIndex++] = data;
  txBufferLength = txBufferIndex;
  return 1;
}

int TwoWire::write(const uint8_t *data, size_t n) {
  for (size_t i = 0; i < n; i++) {
    write(data[i]);
  }
  return static_cast<int>(n);
}

void TwoWire::flush() {}

int TwoWire::peek() { return rxBufferIndex < rxBufferLength ? rxBuffer[rxBufferIndex] : -1; }

int TwoWire::available() { return rxBufferLength - rxBufferIndex; }

int TwoWire::read() { return rxBufferIndex < rxBufferLength ? rxBuffer[rxBufferIndex++] : -1; }

TwoWire Wire(UDRV_TWIMST_0);
TwoWire Wire1(UDRV_TWIMST_1);
