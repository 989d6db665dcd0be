// I2C2 of the STM32WLE5 images as the two-wire master of every port of the
// driver layer. Transfers are interrupt-driven; the caller waits for their
// end.
#include "stm32wle5xx_port.h"
#include "uhal_peripherals.h"

bool uhal_twimst_open[UDRV_TWIMST_MAX];
uint32_t uhal_twimst_timing;
I2C_HandleTypeDef hi2c2;

namespace {

void i2c2_init(void) {
  hi2c2.Instance = I2C2;
  hi2c2.Init.Timing = uhal_twimst_timing != 0 ? uhal_twimst_timing : UHAL_TWIMST_TIMING_DEFAULT;
  hi2c2.Init.OwnAddress1 = 0;
  hi2c2.Init.AddressingMode = I2C_ADDRESSINGMODE_7BIT;
  hi2c2.Init.DualAddressMode = I2C_DUALADDRESS_DISABLE;
  hi2c2.Init.OwnAddress2 = 0;
  hi2c2.Init.OwnAddress2Masks = I2C_OA2_NOMASK;
  hi2c2.Init.GeneralCallMode = I2C_GENERALCALL_DISABLE;
  hi2c2.Init.NoStretchMode = I2C_NOSTRETCH_DISABLE;
  if (HAL_I2C_Init(&hi2c2) != HAL_OK) {
    Error_Handler();
  }
  if (HAL_I2CEx_ConfigAnalogFilter(&hi2c2, I2C_ANALOGFILTER_ENABLE) != HAL_OK) {
    Error_Handler();
  }
  if (HAL_I2CEx_ConfigDigitalFilter(&hi2c2, 0) != HAL_OK) {
    Error_Handler();
  }
  HAL_I2CEx_EnableFastModePlus(I2C_FASTMODEPLUS_I2C2);
}

void i2c2_deinit(void) {
  hi2c2.Instance = I2C2;
  if (HAL_I2C_DeInit(&hi2c2) != HAL_OK) {
    Error_Handler();
  }
}

bool i2c2_initialised(void) { return HAL_I2C_GetState(&hi2c2) != HAL_I2C_STATE_RESET; }

// Waits for the end of the transfer just started: 0, -4 when the slave did
// not acknowledge, -7 for any other bus error.
int32_t wait_transfer(void) {
  while (HAL_I2C_GetState(&hi2c2) != HAL_I2C_STATE_READY) {
    __WFI();
  }
  uint32_t error = HAL_I2C_GetError(&hi2c2);
  if (error == HAL_I2C_ERROR_NONE) {
    return 0;
  }
  return (error & HAL_I2C_ERROR_AF) ? -UDRV_NACK : -UDRV_INTERNAL_ERR;
}

}  // namespace

void HAL_I2C_MspInit(I2C_HandleTypeDef *hi2c) {
  if (hi2c->Instance != I2C2) {
    return;
  }
  RCC_PeriphCLKInitTypeDef clock = {};
  clock.PeriphClockSelection = RCC_PERIPHCLK_I2C2;
  clock.I2c2ClockSelection = RCC_I2C2CLKSOURCE_PCLK1;
  if (HAL_RCCEx_PeriphCLKConfig(&clock) != HAL_OK) {
    Error_Handler();
  }
  __HAL_RCC_GPIOA_CLK_ENABLE();
  GPIO_InitTypeDef init = {};
  init.Pin = GPIO_PIN_11 | GPIO_PIN_12;
  init.Mode = GPIO_MODE_AF_OD;
  init.Pull = GPIO_PULLUP;
  init.Speed = GPIO_SPEED_FREQ_LOW;
  init.Alternate = GPIO_AF4_I2C2;
  HAL_GPIO_Init(GPIOA, &init);
  __HAL_RCC_I2C2_CLK_ENABLE();
  HAL_NVIC_SetPriority(I2C2_EV_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(I2C2_EV_IRQn);
  HAL_NVIC_SetPriority(I2C2_ER_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(I2C2_ER_IRQn);
}

void HAL_I2C_MspDeInit(I2C_HandleTypeDef *hi2c) {
  if (hi2c->Instance != I2C2) {
    return;
  }
  __HAL_RCC_I2C2_CLK_DISABLE();
  HAL_GPIO_DeInit(GPIOA, GPIO_PIN_11 | GPIO_PIN_12);
  HAL_NVIC_DisableIRQ(I2C2_EV_IRQn);
  HAL_NVIC_DisableIRQ(I2C2_ER_IRQn);
}

extern "C" {

void I2C2_EV_IRQHandler(void) { HAL_I2C_EV_IRQHandler(&hi2c2); }

void I2C2_ER_IRQHandler(void) { HAL_I2C_ER_IRQHandler(&hi2c2); }

}  // extern "C"

void uhal_twimst_init(udrv_twimst_port port) {
  if (port >= UDRV_TWIMST_MAX) {
    return;
  }
  i2c2_init();
  uhal_twimst_open[port] = true;
}

// Every port is a master on the one I2C2 bus: the bus is released when the
// last open port closes.
int32_t uhal_twimst_deinit(udrv_twimst_port port) {
  if (port >= UDRV_TWIMST_MAX) {
    return -UDRV_WRONG_ARG;
  }
  uhal_twimst_open[port] = false;
  for (bool open : uhal_twimst_open) {
    if (open) {
      return 0;
    }
  }
  i2c2_deinit();
  return 0;
}

void uhal_twimst_setup_freq(udrv_twimst_port, uint32_t clk_hz) {
  if (clk_hz <= 100000U) {
    uhal_twimst_timing = UHAL_TWIMST_TIMING_100K;
  } else if (clk_hz <= 250000U) {
    uhal_twimst_timing = UHAL_TWIMST_TIMING_250K;
  } else {
    uhal_twimst_timing = UHAL_TWIMST_TIMING_DEFAULT;
  }
  if (i2c2_initialised()) {
    i2c2_deinit();
    i2c2_init();
  }
}

// An address beyond 7 bits or a missing buffer is refused (-3) rather than
// sent to another device or read from nowhere.
int32_t uhal_twimst_write(udrv_twimst_port, uint8_t twi_addr, uint8_t const *buf, uint16_t len,
                          bool send_stop) {
  if (twi_addr > 0x7F || (buf == nullptr && len > 0)) {
    return -UDRV_WRONG_ARG;
  }
  // The transfer only reads the buffer.
  uint8_t *data = const_cast<uint8_t *>(buf);
  if (HAL_I2C_Master_Seq_Transmit_IT(&hi2c2, static_cast<uint16_t>(twi_addr << 1), data, len,
                                     send_stop ? I2C_FIRST_AND_LAST_FRAME : I2C_FIRST_FRAME) !=
      HAL_OK) {
    return -UDRV_NACK;
  }
  return wait_transfer();
}

int32_t uhal_twimst_read(udrv_twimst_port, uint8_t twi_addr, uint8_t *buf, uint16_t len) {
  if (twi_addr > 0x7F || (buf == nullptr && len > 0)) {
    return -UDRV_WRONG_ARG;
  }
  if (HAL_I2C_Master_Seq_Receive_IT(&hi2c2, static_cast<uint16_t>(twi_addr << 1), buf, len,
                                    I2C_FIRST_AND_LAST_FRAME) != HAL_OK) {
    return -UDRV_NACK;
  }
  return wait_transfer();
}

void uhal_twimst_suspend(void) {}

void uhal_twimst_resume(void) {
  for (bool open : uhal_twimst_open) {
    if (open) {
      i2c2_init();
      return;
    }
  }
}

udrv_twimst_api twimst_driver = {
    uhal_twimst_init, uhal_twimst_deinit,  uhal_twimst_setup_freq, uhal_twimst_write,
    uhal_twimst_read, uhal_twimst_suspend, uhal_twimst_resume,
};
