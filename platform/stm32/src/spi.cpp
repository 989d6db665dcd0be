// SPI1: its set-up, recorded.
#include "internal.h"
#include "sim/model.h"

extern "C" {
SPI_TypeDef stm32_spi1 = {1};
}

namespace stm32sim {
namespace detail {
namespace {

SpiState& spi1() {
  static SpiState s;
  return s;
}

}  // namespace

void spi_reset() { spi1() = SpiState{}; }

}  // namespace detail

using namespace detail;

SpiState spi1_state() { return spi1(); }

}  // namespace stm32sim

using namespace stm32sim;
using namespace stm32sim::detail;

extern "C" {

__weak void HAL_SPI_MspInit(SPI_HandleTypeDef*) {}
__weak void HAL_SPI_MspDeInit(SPI_HandleTypeDef*) {}

HAL_StatusTypeDef HAL_SPI_Init(SPI_HandleTypeDef* hspi) {
  if (!hspi || hspi->Instance != SPI1) return HAL_ERROR;
  if (hspi->State == HAL_SPI_STATE_RESET) {
    hspi->Lock = HAL_UNLOCKED;
    HAL_SPI_MspInit(hspi);
  }
  SpiState& s = spi1();
  s.initialised = true;
  s.mode = hspi->Init.Mode;
  s.direction = hspi->Init.Direction;
  s.data_size = hspi->Init.DataSize;
  s.clock_polarity = hspi->Init.CLKPolarity;
  s.clock_phase = hspi->Init.CLKPhase;
  s.nss = hspi->Init.NSS;
  s.baud_rate_prescaler = hspi->Init.BaudRatePrescaler;
  s.first_bit = hspi->Init.FirstBit;
  s.crc = hspi->Init.CRCCalculation;
  ++s.inits;
  hspi->ErrorCode = 0;
  hspi->State = HAL_SPI_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_SPI_DeInit(SPI_HandleTypeDef* hspi) {
  if (!hspi || hspi->Instance != SPI1) return HAL_ERROR;
  spi1().initialised = false;
  HAL_SPI_MspDeInit(hspi);
  hspi->State = HAL_SPI_STATE_RESET;
  return HAL_OK;
}

}  // extern "C"

// The peripheral back to its power-on state on reset_platform().
SIM_MODEL(stm32_spi, {.name = "stm32.spi", .on_reset = stm32sim::detail::spi_reset});
