// SPI1 of the STM32WLE5 images: a master with DMA in both directions. These
// images open no SPI port themselves; an open port has SPI1 set up again
// after sleep.
#include "stm32wle5xx_port.h"
#include "uhal_peripherals.h"

bool uhal_spimst_open[UDRV_SPIMST_MAX];
SPI_HandleTypeDef hspi1;
DMA_HandleTypeDef hdma_spi1_tx;
DMA_HandleTypeDef hdma_spi1_rx;

namespace {

// One direction of SPI1: byte transfers from an advancing memory buffer to
// the fixed data register or back.
void spi1_dma_init(DMA_HandleTypeDef *hdma, DMA_Channel_TypeDef *channel, uint32_t request,
                   uint32_t direction, uint32_t priority) {
  hdma->Instance = channel;
  hdma->Init.Request = request;
  hdma->Init.Direction = direction;
  hdma->Init.PeriphInc = DMA_PINC_DISABLE;
  hdma->Init.MemInc = DMA_MINC_ENABLE;
  hdma->Init.PeriphDataAlignment = DMA_PDATAALIGN_BYTE;
  hdma->Init.MemDataAlignment = DMA_MDATAALIGN_BYTE;
  hdma->Init.Mode = DMA_NORMAL;
  hdma->Init.Priority = priority;
  if (HAL_DMA_Init(hdma) != HAL_OK) {
    Error_Handler();
  }
}

}  // namespace

void HAL_SPI_MspInit(SPI_HandleTypeDef *hspi) {
  if (hspi->Instance != SPI1) {
    return;
  }
  __HAL_RCC_SPI1_CLK_ENABLE();
  __HAL_RCC_GPIOA_CLK_ENABLE();
  // PA5 clock and PA6 data in without pull, PA7 data out pulled down.
  GPIO_InitTypeDef init = {};
  init.Pin = GPIO_PIN_5 | GPIO_PIN_6;
  init.Mode = GPIO_MODE_AF_PP;
  init.Pull = GPIO_NOPULL;
  init.Speed = GPIO_SPEED_FREQ_LOW;
  init.Alternate = GPIO_AF5_SPI1;
  HAL_GPIO_Init(GPIOA, &init);
  init.Pin = GPIO_PIN_7;
  init.Pull = GPIO_PULLDOWN;
  HAL_GPIO_Init(GPIOA, &init);

  spi1_dma_init(&hdma_spi1_tx, DMA1_Channel3, DMA_REQUEST_SPI1_TX, DMA_MEMORY_TO_PERIPH,
                DMA_PRIORITY_LOW);
  __HAL_LINKDMA(hspi, hdmatx, hdma_spi1_tx);
  spi1_dma_init(&hdma_spi1_rx, DMA1_Channel2, DMA_REQUEST_SPI1_RX, DMA_PERIPH_TO_MEMORY,
                DMA_PRIORITY_MEDIUM);
  __HAL_LINKDMA(hspi, hdmarx, hdma_spi1_rx);
}

void HAL_SPI_MspDeInit(SPI_HandleTypeDef *hspi) {
  if (hspi->Instance != SPI1) {
    return;
  }
  __HAL_RCC_SPI1_CLK_DISABLE();
  HAL_GPIO_DeInit(GPIOA, GPIO_PIN_5 | GPIO_PIN_6 | GPIO_PIN_7);
  HAL_DMA_DeInit(hspi->hdmatx);
  HAL_DMA_DeInit(hspi->hdmarx);
}

void spimst_init(void) {
  __HAL_RCC_DMAMUX1_CLK_ENABLE();
  __HAL_RCC_DMA1_CLK_ENABLE();
  HAL_NVIC_SetPriority(DMA1_Channel2_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(DMA1_Channel2_IRQn);
  HAL_NVIC_SetPriority(DMA1_Channel3_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(DMA1_Channel3_IRQn);

  hspi1.Instance = SPI1;
  hspi1.Init.Mode = SPI_MODE_MASTER;
  hspi1.Init.Direction = SPI_DIRECTION_2LINES;
  hspi1.Init.DataSize = SPI_DATASIZE_8BIT;
  hspi1.Init.CLKPolarity = SPI_POLARITY_LOW;
  hspi1.Init.CLKPhase = SPI_PHASE_1EDGE;
  hspi1.Init.NSS = SPI_NSS_SOFT;
  hspi1.Init.BaudRatePrescaler = SPI_BAUDRATEPRESCALER_32;
  hspi1.Init.FirstBit = SPI_FIRSTBIT_MSB;
  hspi1.Init.TIMode = SPI_TIMODE_DISABLE;
  hspi1.Init.CRCCalculation = SPI_CRCCALCULATION_DISABLE;
  hspi1.Init.CRCPolynomial = 7;
  hspi1.Init.CRCLength = SPI_CRC_LENGTH_DATASIZE;
  hspi1.Init.NSSPMode = SPI_NSS_PULSE_DISABLE;
  if (HAL_SPI_Init(&hspi1) != HAL_OK) {
    Error_Handler();
  }
}

extern "C" {

void DMA1_Channel2_IRQHandler(void) { HAL_DMA_IRQHandler(&hdma_spi1_rx); }

void DMA1_Channel3_IRQHandler(void) { HAL_DMA_IRQHandler(&hdma_spi1_tx); }

}  // extern "C"

void uhal_spimst_suspend(void) {}

void uhal_spimst_resume(void) {
  for (bool open : uhal_spimst_open) {
    if (open) {
      spimst_init();
      return;
    }
  }
}
