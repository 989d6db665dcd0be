// The board-support package on the simulated board: see bsp.h.
#include "bsp.h"

#include "bsp_sim.h"
#include "sdk_errors.h"

namespace {

struct Board {
  bool held[BUTTONS_NUMBER] = {};
  std::vector<bsp_indication_t> shown;
};

Board& board() {
  static Board b;
  return b;
}

}  // namespace

uint32_t bsp_indication_set(bsp_indication_t indicate) {
  if (indicate < BSP_INDICATE_FIRST || indicate > BSP_INDICATE_LAST) return NRF_ERROR_INVALID_PARAM;
  board().shown.push_back(indicate);
  return NRF_SUCCESS;
}

bool bsp_button_is_pressed(uint32_t button) {
  return button < BUTTONS_NUMBER && board().held[button];
}

namespace nrfsim {

void bsp_reset() { board() = Board{}; }
void bsp_press(uint32_t button, bool held) {
  if (button < BUTTONS_NUMBER) board().held[button] = held;
}
const std::vector<bsp_indication_t>& bsp_indications() { return board().shown; }

}  // namespace nrfsim
