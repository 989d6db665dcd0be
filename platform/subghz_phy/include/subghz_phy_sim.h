// The host side of the STM32WL sub-GHz radio and AES stand-ins: the radio
// chip model behind the SUBGHZ HAL, and failure injection for tests.
// Firmware never includes this header.
#pragma once

#include <cstdint>

#include "sim/sx126x.h"

namespace subghz_sim {

// Configure the on-chip radio before HAL_SUBGHZ_Init (device id on the air,
// random seed). Later calls replace the radio (tests).
void configure(const sim::Sx126x::Config& config);
// The radio (created by HAL_SUBGHZ_Init, or on first use).
sim::Sx126x& radio();
// Back to power-on: no radio, handle states cleared.
void reset();
// Moves of virtual time the HAL's waits on the busy flag made (one per wait
// on a flag that falls by itself).
uint64_t busy_wait_steps();

// Bus time of one byte on the sub-GHz SPI (16 MHz / 4).
constexpr sim::time_us kSpiByteNs = 2000;

// The AES unit: the next `n` HAL_CRYP_Encrypt/Decrypt calls fail (HAL_ERROR).
void cryp_fail_next(int n);
// Number of AES operations done and whether one ran while interrupts were
// enabled (an operation must not be cut by the radio interrupt).
uint32_t cryp_operations();
bool cryp_ran_with_interrupts_enabled();

}  // namespace subghz_sim
