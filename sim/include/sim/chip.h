// The chip a program runs on, as the simulated core sees it: how many
// interrupt lines it has and what its pins and analogue inputs are called.
// A chip stand-in (platform/<chip>/) declares its profile once with
// SIM_CHIP; the core sizes its interrupt controller and pin table from it,
// and the launcher resolves --pin and --adc names through it.
//
//   SIM_CHIP(my_chip, [] {
//     sim::ChipProfile c;
//     c.name = "my chip";
//     c.irq_count = 32;                       // IRQ 0 to 31, as the chip numbers them
//     for (int n = 0; n < 50; ++n) c.add_pin("PAD" + std::to_string(n));
//     c.analog.push_back("VDD");              // analogue inputs that are not pins
//     return c;
//   }());
//
// A program links at most one chip. Without one, the core takes a generic
// profile: 128 interrupt lines and ports A to P of 16 pins each ("PB12" is
// index 0x1C) and the analogue inputs TEMPSENSOR, VREFINT and VBAT, enough
// for tests and boards that only need some lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct ChipProfile {
  std::string name;
  // Interrupt lines of the chip, numbered 0 to irq_count - 1 as its vector
  // table numbers them after the core's own exceptions. At most kMaxIrqs.
  int irq_count = 0;
  // Pin names by index (the index is what sim::pin_* take); an empty name is
  // a hole (an index that is no pin). Names are unique.
  std::vector<std::string> pins;
  // Analogue inputs besides the pins (internal references, supply, sensor).
  std::vector<std::string> analog;

  static constexpr int kMaxIrqs = 240;

  // Appends a pin; returns its index.
  uint16_t add_pin(const std::string& pin_name) {
    pins.push_back(pin_name);
    return static_cast<uint16_t>(pins.size() - 1);
  }
  // Places a pin at a given index (holes in between stay empty).
  void set_pin(uint16_t index, const std::string& pin_name) {
    if (pins.size() <= index) pins.resize(index + 1u);
    pins[index] = pin_name;
  }
};

// The chip's profile (the generic one when no chip was declared).
const ChipProfile& chip();

struct ChipRegistrar {
  explicit ChipRegistrar(ChipProfile profile);
};

}  // namespace sim

// Declares the program's chip; `ident` only names the registration object.
#define SIM_CHIP(ident, ...) \
  static ::sim::ChipRegistrar ident##_chip_registrar { __VA_ARGS__ }
