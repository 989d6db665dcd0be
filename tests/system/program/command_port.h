// The command port of the system tests' user programs: UART1 in custom mode,
// one command a line, answered there. A program opens it in setup() and
// hands each complete line to its own interpreter from loop().
#pragma once

#include "qiv_v3_api.h"

namespace test_program {

// Opens UART1 in custom mode and tells the test the program is up.
inline void open_command_port() {
  Serial1.begin(Serial.getBaudrate(), SERIAL_8N1, ZEM_CUSTOM_MODE);
  Serial1.println("ready");
}

// Gathers what has come on UART1 into `line`; each complete line (carriage
// returns dropped) goes to `run`, then a new line starts.
inline void run_command_lines(String &line, void (*run)(const String &)) {
  while (Serial1.available() > 0) {
    int c = Serial1.read();
    if (c < 0 || c == '\r') {
      continue;
    }
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    run(line);
    line = "";
  }
}

}  // namespace test_program
