// The radio path of the STM32WL: the sub-GHz radio driver on the board's
// radio interface, the radio interrupt running the driver's processing (the
// rest of the port replaced by the fakes of stm32_fakes.h).
#include "stm32_fakes.h"

#include "radio_board_if.h"
#include "radio_env.h"
#include "stm32_sim.h"
#include "stm32wl_hal.h"
#include "stm32wl_hal_subghz.h"
#include "subghz_phy_sim.h"

// ------------------------------------------------------------- the path --

namespace radio_test::env {

void setup() {
  stm32sim::reset_platform();
  subghz_sim::reset();
  sim::Sx126x::Config c;
  c.device_id = 1;
  c.rng_seed = 12345;
  subghz_sim::configure(c);
  stm32_env::power_on();
}

void teardown() { subghz_sim::reset(); }

sim::Sx126x& chip() { return subghz_sim::radio(); }

// Nothing: the radio interrupt runs the driver's processing itself.
void main_loop_step() {}

sim::time_us tcxo_us() { return RBI_IsTCXO() ? 1000 : 0; }  // RF_WAKEUP_TIME

uint64_t busy_wait_steps() { return subghz_sim::busy_wait_steps(); }

}  // namespace radio_test::env
