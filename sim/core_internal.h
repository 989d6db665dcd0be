// Shared between the parts of the simulated chip; not an interface.
#pragma once

#include "sim/sim.h"

namespace sim {

void core_advance(time_us target, bool wake);
void core_deliver();
bool core_in_event();
void uart_reset_all();

}  // namespace sim
