// The SX126x driver on its host board.
#include "board.h"
#include "radio.h"
#include "radio_device.h"

namespace radio_device {
const char* const kImageName = "radio-device-sx126x";
void path_init() { BoardInitMcu(); }
void path_main_loop_step() { Radio.IrqProcess(); }
}  // namespace radio_device
