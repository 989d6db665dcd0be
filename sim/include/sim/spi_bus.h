// SPI buses outside the chip and the devices (targets) on them.
//
// A bus is named by its number, a target on it by its chip-select line
// (0, 1, ...); both are data, set by a test or the command line. The
// controller stand-in lowers a chip select, exchanges bytes full duplex and
// raises it again; calls come as bus events while the transfer runs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

class SpiTarget {
 public:
  virtual ~SpiTarget() = default;
  // Chip select asserted (true) or released (false). A target that is not
  // selected sees no bytes and drives nothing on MISO.
  virtual void select(bool selected) { (void)selected; }
  // One byte each way while selected: `mosi` in, the returned byte out.
  virtual uint8_t transfer(uint8_t mosi) = 0;
};

constexpr int kMaxSpiBus = 4;
constexpr int kMaxSpiCs = 4;

// Attach a target at a chip select of a bus (nullptr detaches); kept until
// detached or until the simulated core is reset (host::reset_core).
void spi_attach(int bus, int cs, SpiTarget* target);
SpiTarget* spi_target(int bus, int cs);

// A whole selected window at once (controllers without a bus timing of their
// own, tests): select, `len` bytes exchanged (`miso` may be nullptr), release.
// With no target at the chip select MISO floats high: every byte reads 0xFF.
// Returns false when no target is there.
bool spi_transfer(int bus, int cs, const uint8_t* mosi, uint8_t* miso, size_t len);

}  // namespace sim
