// The simulated STM32WLE5 seen from outside the firmware: what tests and the
// launcher observe and inject. Firmware never includes this header.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/i2c_bus.h"
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

// ---- ADC, timers, SPI and I2C ----
// Analogue inputs are sim::analog_set_mv() by channel name: "PA10", "PA15",
// "PB2", "PB3", "PB4" (the pins), "TEMPSENSOR", "VREFINT" (the voltage the
// internal channel presents) and "VBAT" (the battery; its channel sees a
// third). A conversion gives the nearest step of the input against 3.3 V at
// the configured resolution, saturated at full scale.
struct AdcState {
  bool initialised = false;  // now
  uint32_t conversions = 0;  // completed since power-on
  // The set-up of the last conversion started.
  struct Conversion {
    bool calibrated = false;
    int resolution_bits = 0;
    uint32_t clock_prescaler = 0;  // ADC_CLOCK_*
    uint32_t sampling_time = 0;    // common sampling time 1 (ADC_SAMPLETIME_*)
    int channel = -1;              // ADC_CHANNEL_*
  } last;
};
AdcState adc_state();
// A stalled converter never ends a conversion (a fault injection).
void adc_stall(bool stalled);

struct TimState {
  bool initialised = false;
  uint32_t prescaler = 0;
  uint32_t period = 0;  // auto-reload value
  uint32_t counter_mode = 0;
  uint32_t clock_division = 0;
  uint32_t repetition = 0;
  uint32_t auto_reload_preload = 0;
  uint32_t master_trigger = 0;
  uint32_t master_slave = 0;
  uint32_t break_state = 0;
  uint32_t dead_time = 0;
  uint32_t inits = 0;  // initialisations since power-on
  struct Channel {
    bool configured = false;
    bool running = false;
    uint32_t mode = 0;  // TIM_OCMODE_*
    uint32_t pulse = 0;
    uint32_t polarity = 0;
  } channels[4];
};
TimState tim_state(int timer);  // 1 (TIM1) or 2 (TIM2)

struct SpiState {
  bool initialised = false;
  uint32_t mode = 0;
  uint32_t direction = 0;
  uint32_t data_size = 0;
  uint32_t clock_polarity = 0;
  uint32_t clock_phase = 0;
  uint32_t nss = 0;
  uint32_t baud_rate_prescaler = 0;
  uint32_t first_bit = 0;
  uint32_t crc = 0;
  uint32_t inits = 0;  // initialisations since power-on
};
SpiState spi1_state();

// A device on the I2C2 bus: a target of the simulated bus 2, which I2C2
// drives (sim/i2c_bus.h has the calls it gets).
using I2cSlave = sim::I2cTarget;
// Attach a slave at a 7-bit address of bus 2 (nullptr detaches). Slaves stay
// attached until detached or sim::host::reset_core(): a reset of the chip
// (reset_platform) does not unplug the board's devices.
void i2c_attach(uint8_t address, I2cSlave* slave);

struct I2cState {
  bool initialised = false;
  uint32_t timing = 0;  // timing register
  uint32_t scl_hz = 0;  // the clock the timing gives on PCLK1
  uint32_t own_address = 0;
  bool general_call = false;
  bool clock_stretching = false;
  bool analog_filter = false;
  uint32_t digital_filter = 0;
  bool fast_mode_plus = false;
  uint32_t inits = 0;        // initialisations since power-on
  uint32_t transfers = 0;    // transfers started
  uint8_t last_address = 0;  // 7-bit address of the last transfer
};
I2cState i2c2_state();

// ---- application file ----
// The program named by a valid application file in flash at `base`, or
// nullptr (see stm32_appfile.h).
const char* app_in_flash(uint32_t base);

}  // namespace stm32sim
