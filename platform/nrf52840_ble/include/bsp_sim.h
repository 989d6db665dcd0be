// The simulated board's buttons and indications as tests see them (never
// included by firmware).
#pragma once

#include <cstdint>
#include <vector>

#include "bsp.h"

namespace nrfsim {

// Buttons released, no indication shown or recorded.
void bsp_reset();
void bsp_press(uint32_t button, bool held);
// Every indication set since the last bsp_reset(), in order.
const std::vector<bsp_indication_t>& bsp_indications();

}  // namespace nrfsim
