// The host side of the SX126x board layer: the simulated radio chip wired to
// the board's pins and SPI bus, and the knobs tests use. Firmware never
// includes this header.
#pragma once

#include <cstdint>

#include "sim/sx126x.h"

namespace sx126x_board {

// Interrupt lines of this board on the simulated chip.
constexpr int kGpioIrq = 13;  // pin edges (radio DIO1 among them)
constexpr int kRtcIrq = 14;   // the RTC alarm of the timer list

// Backup words of the system-time delta (retained registers).
constexpr int kBkupSecondsWord = 30;
constexpr int kBkupSubSecondsWord = 31;

// Longest the board waits for the radio's BUSY line before it gives up (and
// logs it): a radio that never leaves busy must not hang the device.
constexpr sim::time_us kBusyLimitUs = 1000000;

// Bus time of one SPI byte (4 MHz clock).
constexpr sim::time_us kSpiByteNs = 2000;

// Configure the radio before its first use (device id on the air, variant,
// random seed). Later calls replace the chip (tests).
void configure(const sim::Sx126x::Config& config);
// The radio chip on this board (created on first use).
sim::Sx126x& chip();
// Back to power-on: no chip, no pin handlers, no RTC context or alarm.
void reset();
// Times the board's busy wait gave up.
uint32_t busy_timeouts();
// Moves of virtual time the board's busy waits made (one per wait on a BUSY
// that falls by itself).
uint64_t busy_wait_steps();

}  // namespace sx126x_board
