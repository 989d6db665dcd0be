// What the STM32WL radio tests observe of the port's fakes.
#pragma once

#include <vector>

#include "udrv_system.h"

namespace stm32_env {
// Every system event posted, in order.
std::vector<udrv_system_event_op_t>& posted();
}  // namespace stm32_env
