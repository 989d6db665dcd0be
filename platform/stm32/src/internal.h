// Shared between the parts of the STM32WL stand-in; not an interface.
#pragma once

#include <cstdint>

#include "sim/sim.h"
#include "stm32_sim.h"
#include "stm32wl_hal.h"

namespace stm32sim::detail {

// Stop mode of the core (0 running, 1 STOP0/STOP1, 2 STOP2).
int current_stop_level();

// EXTI interrupt mask (lines 0 to 31); UART wake-up needs its line unmasked.
bool exti_line_unmasked(int line);

// Each module registers its power-on reset as a model (sim/model.h), which
// reset_platform() runs; HAL_DeInit() resets the peripherals through these.
void dma_reset();
void uart_reset();
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
