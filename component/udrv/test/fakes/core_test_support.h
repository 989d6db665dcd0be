// Start-up of the runtime core on the stand-in port, for tests.
#pragma once

#include <string.h>

#include <string>
#include <vector>

#include "fake_port.h"
#include "fund_event_queue.h"
#include "service_nvm.h"
#include "udrv_serial.h"
#include "udrv_system.h"

namespace core_test {

// Blank flash, record from the defaults, UART1 and UART2 opened (as the
// STM32WLE5 images do), an empty event queue whose events are collected.
inline std::vector<udrv_system_event_t> &events() {
  static std::vector<udrv_system_event_t> list;
  return list;
}

inline void boot() {
  fake::port.reset();
  fund_event_queue_init(EVENT_DATA_SIZE, EVENT_QUEUE_SIZE, FUND_EVENT_QUEUE_BUF);
  events().clear();
  fake::port.dispatcher = [](void *data, uint16_t) {
    udrv_system_event_t e;
    memcpy(&e, data, sizeof(e));
    events().push_back(e);
  };
  service_nvm_init_config();
  for (SERIAL_PORT p : {SERIAL_UART1, SERIAL_UART2}) {
    udrv_serial_init(p, 115200, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE,
                     SERIAL_TWO_WIRE_NORMAL_MODE);
  }
  for (auto &s : fake::port.serial) {
    s.tx.clear();
  }
}

inline void type(SERIAL_PORT port, std::string const &text, void (*handler)(SERIAL_PORT, uint8_t)) {
  for (char c : text) {
    handler(port, static_cast<uint8_t>(c));
  }
}

inline std::string &tx(SERIAL_PORT port) { return fake::port.serial[port].tx; }

}  // namespace core_test
