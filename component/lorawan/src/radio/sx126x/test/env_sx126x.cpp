// The radio path of the SX126x driver on its host board.
#include "board.h"
#include "radio_env.h"
#include "sx126x_board_host.h"

namespace radio_test::env {

void setup() {
  sx126x_board::reset();
  sim::Sx126x::Config c;
  c.device_id = 1;
  c.rng_seed = 12345;
  sx126x_board::configure(c);
  BoardInitMcu();
}

void teardown() { sx126x_board::reset(); }

sim::Sx126x& chip() { return sx126x_board::chip(); }

// The main loop runs the radio's interrupt processing.
void main_loop_step() { Radio.IrqProcess(); }

sim::time_us tcxo_us() { return 10000; }  // 640 x 15.625 us

uint64_t busy_wait_steps() { return sx126x_board::busy_wait_steps(); }

}  // namespace radio_test::env
