// Shared between the parts of the STM32WL stand-in; not an interface.
#pragma once

#include <cstdint>

#include "sim/sim.h"
#include "stm32_sim.h"
#include "stm32wl_hal.h"

namespace stm32sim::detail {

// Interrupt line used to wake polling waits (a UART flag the firmware polls).
constexpr int kPollIrq = 100;

// Waits until poll_signal() is called, another enabled interrupt becomes
// pending, or `deadline` passes. Callers re-check their condition.
void poll_wait_until(sim::time_us deadline);
void poll_signal();

// Stop mode of the core (0 running, 1 STOP0/STOP1, 2 STOP2).
int current_stop_level();

// EXTI interrupt mask (lines 0 to 31); UART wake-up needs its line unmasked.
bool exti_line_unmasked(int line);

// Module resets for reset_platform().
void core_reset();
void rcc_reset();
void flash_reset();
void gpio_reset();
void dma_reset();
void uart_reset();
void rtc_reset();
void adc_reset();
void tim_reset();
void spi_reset();
void i2c_reset();             // the peripheral (the bus keeps its targets)
void i2c_peripheral_reset();  // the peripheral only

// DMA channel state shared with the UART: the UART moves received bytes
// through these.
bool dma_rx_active(DMA_HandleTypeDef* hdma);
// Stores one byte; raises half/complete events. Returns false when the
// channel is not running.
bool dma_rx_put(DMA_HandleTypeDef* hdma, uint8_t byte);
void dma_rx_start(DMA_HandleTypeDef* hdma, uint8_t* buffer, uint16_t size);
void dma_rx_stop(DMA_HandleTypeDef* hdma);

// Backup-domain reset of the RTC.
void rtc_backup_domain_reset();

// The tick stops in stop mode: called when the stop level changes.
void tick_stop_changed();

// Current millisecond tick without the polling cost of HAL_GetTick.
uint32_t tick_ms();

}  // namespace stm32sim::detail
