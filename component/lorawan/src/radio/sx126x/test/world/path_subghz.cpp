// The STM32WL's sub-GHz radio driver (its callbacks run in the radio
// interrupt).
#include "radio_device.h"
#include "stm32_fakes.h"

namespace radio_device {
const char* const kImageName = "radio-device-subghz";
void path_init() { stm32_env::power_on(); }
void path_main_loop_step() {}
}  // namespace radio_device
