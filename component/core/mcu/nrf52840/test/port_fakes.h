#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "nrf52840_port.h"

struct FatalError {
  ret_code_t code;
  bool bare;  // through the handler that takes the result only
};

struct PortFakes {
  std::vector<int> events;                                // requests posted
  std::vector<std::pair<SERIAL_PORT, uint8_t>> fallback;  // bytes seen by the escape recognizer
};
extern PortFakes g_fakes;
