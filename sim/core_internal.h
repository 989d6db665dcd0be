// Shared between the parts of the simulated chip; not an interface.
#pragma once

#include "sim/sim.h"

namespace sim {

void core_advance(time_us target, bool wake);
void core_deliver();
bool core_in_event();
void uart_reset_all();
void buses_reset_all();  // I2C/SPI targets detached

}  // namespace sim
