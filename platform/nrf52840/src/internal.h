// Shared between the nRF52840 stand-in's source files.
#pragma once

#include <cstdint>

#include "nrf.h"
#include "sim/sim.h"

namespace nrfsim::detail {

// Sets an interrupt line of the chip pending / installs its handler and
// priority (the stand-in's drivers own their interrupt handlers).
void raise(IRQn_Type irqn);
void install_isr(IRQn_Type irqn, sim::IsrFn fn, uint8_t priority);

// The index of GPIO pin number `pin` (port * 32 + pin) in the chip profile.
uint16_t pin_index(uint32_t pin);

// SoC events of the stack (flash operations): sent to the observers from the
// stack's event interrupt.
void soc_event(uint32_t evt_id);

// USB supply (the POWER register's VBUSDETECT).
bool usb_vbus();

// A driver call that fails on purpose (--fail-call): true when this call of
// `call` is the one named, in the device's first run (the reset a failure
// leads to starts clean).
bool injected_failure(const char* call);

}  // namespace nrfsim::detail

namespace nrfsim::detail {

// The 32768 Hz low-frequency clock: ticks since time 0, and the time of a
// tick (the first microsecond at which it has happened).
inline uint64_t lf_ticks(sim::time_us t) { return t * 32768u / 1000000u; }
inline sim::time_us lf_tick_time(uint64_t tick) { return (tick * 1000000u + 32767u) / 32768u; }

}  // namespace nrfsim::detail
