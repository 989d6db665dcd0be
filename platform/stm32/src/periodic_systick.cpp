// Linked into an image whose SysTick handler does more than count the tick:
// the SysTick interrupt is then raised at every millisecond.
#include "stm32_sim.h"

namespace stm32sim {
bool periodic_systick() { return true; }
}  // namespace stm32sim
