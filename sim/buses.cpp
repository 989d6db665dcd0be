// I2C and SPI buses outside the chip: which target sits where.
#include "core_internal.h"
#include "sim/i2c_bus.h"
#include "sim/spi_bus.h"

namespace sim {
namespace {

I2cTarget* i2c_targets[kMaxI2cBus][128];
SpiTarget* spi_targets[kMaxSpiBus][kMaxSpiCs];

bool i2c_ok(int bus) { return bus >= 0 && bus < kMaxI2cBus; }
bool spi_ok(int bus, int cs) { return bus >= 0 && bus < kMaxSpiBus && cs >= 0 && cs < kMaxSpiCs; }

}  // namespace

void buses_reset_all() {
  for (auto& bus : i2c_targets)
    for (auto& t : bus) t = nullptr;
  for (auto& bus : spi_targets)
    for (auto& t : bus) t = nullptr;
}

void i2c_attach(int bus, uint8_t address, I2cTarget* target) {
  if (i2c_ok(bus)) i2c_targets[bus][address & 0x7F] = target;
}

I2cTarget* i2c_target(int bus, uint8_t address) {
  return i2c_ok(bus) ? i2c_targets[bus][address & 0x7F] : nullptr;
}

I2cResult i2c_transfer(int bus, uint8_t address, const uint8_t* wdata, size_t wlen, uint8_t* rdata,
                       size_t rlen) {
  I2cTarget* t = i2c_target(bus, address);
  if (!t) return I2cResult::kAddressNack;
  if (wlen || !rlen) {
    // An address-only write (a probe) when there is nothing to move.
    if (!t->start(false)) {
      t->stop();
      return I2cResult::kAddressNack;
    }
    for (size_t i = 0; i < wlen; ++i) {
      if (!t->write(wdata[i])) {
        t->stop();
        return I2cResult::kDataNack;
      }
    }
  }
  if (rlen) {
    if (!t->start(true)) {
      t->stop();
      return I2cResult::kAddressNack;
    }
    for (size_t i = 0; i < rlen; ++i) rdata[i] = t->read();
  }
  t->stop();
  return I2cResult::kOk;
}

void spi_attach(int bus, int cs, SpiTarget* target) {
  if (spi_ok(bus, cs)) spi_targets[bus][cs] = target;
}

SpiTarget* spi_target(int bus, int cs) { return spi_ok(bus, cs) ? spi_targets[bus][cs] : nullptr; }

bool spi_transfer(int bus, int cs, const uint8_t* mosi, uint8_t* miso, size_t len) {
  SpiTarget* t = spi_target(bus, cs);
  if (!t) {
    if (miso)
      for (size_t i = 0; i < len; ++i) miso[i] = 0xFF;
    return false;
  }
  t->select(true);
  for (size_t i = 0; i < len; ++i) {
    uint8_t in = t->transfer(mosi ? mosi[i] : 0xFF);
    if (miso) miso[i] = in;
  }
  t->select(false);
  return true;
}

}  // namespace sim
