// A simulated STM32WLE5 with the port and the runtime core on it, for the
// port's tests. Each test starts from power-on with an erased flash file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/host.h"
#include "sim/sim.h"
#include "stm32_sim.h"
#include "stm32wle5xx_port.h"

// A reset of the simulated chip (the test catches it).
struct ChipReset {
  std::string image;
};

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The system events the dispatcher has been given since the last call.
  std::vector<udrv_system_event_t> take_events();
  // Bytes waiting in a port's receive queue.
  std::vector<uint8_t> read_port(SERIAL_PORT port);
  // Puts bytes on a port's receive line from `at` on (line rate).
  void feed(int uart, const std::string& bytes, sim::time_us at = 0);
  void run_for(sim::time_us us) { sim::run_until(sim::now() + us); }
  // An MCU reset: the peripherals and the port's RAM start again, the backup
  // domain (RTC, backup registers) and the flash are kept; then the timer
  // server is set up again as at start-up.
  void mcu_reset();
  void open_port(SERIAL_PORT port, uint32_t baud = 115200,
                 SERIAL_WIRE_MODE_E mode = SERIAL_TWO_WIRE_NORMAL_MODE);

  std::string flash_path_;
};

extern std::vector<udrv_system_event_t> g_dispatched;
