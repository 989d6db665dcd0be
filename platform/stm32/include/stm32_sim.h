// The simulated STM32WLE5 seen from outside the firmware: what tests and the
// launcher observe and inject. Firmware never includes this header.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/sim.h"
#include "stm32_appfile.h"

namespace stm32sim {

// Interrupt line of the simulated chip for a CMSIS interrupt number.
int sim_irq(int irqn);

// Puts the chip stand-ins back to their power-on state (tests): peripherals
// closed, flash locked, stop mode left, tick restarted. Does not touch sim/.
void reset_platform();

// Registers the vector table's handlers with the simulated interrupt
// controller (done by program_start before the reset handler runs).
void install_vectors();

// SysTick: by default the tick is read from the virtual clock and the SysTick
// interrupt is not raised every millisecond (the applications' handler only
// counts the tick). An image whose handler does more asks for the interrupt
// at every millisecond by defining this function to return true.
bool periodic_systick();

// ---- observations ----
struct SleepEntry {
  sim::time_us at;
  sim::time_us woke;
  int level;  // 0 sleep, 1 STOP1, 2 STOP2
};
const std::vector<SleepEntry>& sleep_log();
void clear_sleep_log();
// Current stop level while the core is stopped (0 when running).
int stop_level();

uint32_t vtor();
uint32_t msp();
uint32_t lpuart1_clock_source();  // RCC_LPUART1CLKSOURCE_*
uint32_t usart1_clock_source();   // RCC_USART1CLKSOURCE_*
bool flash_locked();
bool clock_gate(const char* name);
uint32_t exti_mask();  // EXTI lines 0 to 31 unmasked

// ---- injection ----
// The next byte received on `uart` (1 USART1, 2 LPUART1/USART2) carries the
// given error flags (UART_FLAG_FE, UART_FLAG_NE, UART_FLAG_PE).
void uart_inject_error(int uart, uint32_t flags);
// Sets the RTC's tick counter (the complement of SSR) to `ticks` now.
void rtc_set_ticks(uint32_t ticks);
uint32_t rtc_ticks();

// ---- application file ----
// The program named by a valid application file in flash at `base`, or
// nullptr (see stm32_appfile.h).
const char* app_in_flash(uint32_t base);

}  // namespace stm32sim
