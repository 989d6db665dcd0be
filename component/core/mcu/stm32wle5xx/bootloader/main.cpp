// Start-up decision, task loop and the jump to the application.
#include "bootloader.h"

#include "fund_crc32.h"

UART_HandleTypeDef huart2;
volatile uint8_t running_state = RUNNING_STATE_COMMAND;
uint32_t JumpAddress;
pFunction JumpToApplication;

// Whether the application area holds a whole, undamaged image: its record
// names a length inside the area and the CRC-32 over that many bytes
// matches. A stack pointer alone proves nothing: the first kilobytes of an
// image cut short, or any file that begins with such a word, would be
// started and fault at every reset, leaving no way back to boot mode.
uint32_t app_image_intact(void) {
  if (boot_flash_word(APP_RECORD_MAGIC_ADDR) != APP_RECORD_MAGIC) {
    return 0U;
  }
  const uint32_t length = boot_flash_word(APP_RECORD_LENGTH_ADDR);
  if (length < APP_IMAGE_MIN_LENGTH || length > APP_IMAGE_SIZE) {
    return 0U;
  }
  // The CRC word itself counts as zero (the minimum length covers it).
  const uint8_t *image = (const uint8_t *)APP_IMAGE_ADDR;
  const uint32_t crc_offset = APP_RECORD_CRC_ADDR - APP_IMAGE_ADDR;
  static const uint8_t zero_word[4] = {0U, 0U, 0U, 0U};
  uint32_t crc = fund_crc32_update(FUND_CRC32_INIT, image, crc_offset);
  crc = fund_crc32_update(crc, zero_word, sizeof zero_word);
  crc = fund_crc32_update(crc, image + crc_offset + 4U, length - crc_offset - 4U);
  return fund_crc32_final(crc) == boot_flash_word(APP_RECORD_CRC_ADDR) ? 1U : 0U;
}

// The application's first word is its initial stack pointer, which must
// point into SRAM; the image must also be whole.
uint32_t app_is_valid(void) {
  if ((boot_flash_word(APP_IMAGE_ADDR) & 0x2FFE0000U) != 0x20000000U) {
    return 0U;
  }
  return app_image_intact();
}

static bool may_start_app(void) {
  return boot_flags_read().update != UPDATE_FLAG_REQUESTED && app_is_valid() != 0U;
}

void IAP_Task(void) {
  if (running_state == RUNNING_STATE_COMMAND) {
    at_process();
  } else {
    SerialDownload();
  }
}

void app_jump(void) {
  boot_flags_write(BOOT_FLAG_RUN_APP, boot_flags_read().update);
  if (may_start_app()) {
    PreJump();
    JumpApp();
  }
}

void PreJump(void) {
  HAL_UART_DeInit(&huart2);
  HAL_DeInit();
  // The application takes over the vector table only after its own start-up
  // code has run; no tick of ours may reach it before that.
  HAL_SuspendTick();
}

// The application moves the vector table to its own as its first step.
void JumpApp(void) {
  JumpAddress = boot_flash_word(APP_IMAGE_ADDR + 4U);
  JumpToApplication = reinterpret_cast<pFunction>(static_cast<uintptr_t>(JumpAddress));
  __set_MSP(boot_flash_word(APP_IMAGE_ADDR));
  JumpToApplication();
}

void SystemClock_Config(void) {
  RCC_OscInitTypeDef osc = {};
  RCC_ClkInitTypeDef clk = {};

  __HAL_PWR_VOLTAGESCALING_CONFIG(PWR_REGULATOR_VOLTAGE_SCALE1);

  osc.OscillatorType = RCC_OSCILLATORTYPE_MSI;
  osc.MSIState = RCC_MSI_ON;
  osc.MSICalibrationValue = RCC_MSICALIBRATION_DEFAULT;
  osc.MSIClockRange = RCC_MSIRANGE_11;
  osc.PLL.PLLState = RCC_PLL_NONE;
  if (HAL_RCC_OscConfig(&osc) != HAL_OK) {
    Error_Handler();
  }

  clk.ClockType = RCC_CLOCKTYPE_HCLK3 | RCC_CLOCKTYPE_HCLK | RCC_CLOCKTYPE_SYSCLK |
                  RCC_CLOCKTYPE_PCLK1 | RCC_CLOCKTYPE_PCLK2;
  clk.SYSCLKSource = RCC_SYSCLKSOURCE_MSI;
  clk.AHBCLKDivider = RCC_SYSCLK_DIV1;
  clk.APB1CLKDivider = RCC_HCLK_DIV1;
  clk.APB2CLKDivider = RCC_HCLK_DIV1;
  clk.AHBCLK3Divider = RCC_SYSCLK_DIV1;
  if (HAL_RCC_ClockConfig(&clk, FLASH_LATENCY_2) != HAL_OK) {
    Error_Handler();
  }
}

void MX_USART2_UART_Init(void) {
  huart2.Instance = USART2;
  huart2.Init.BaudRate = 115200U;
  huart2.Init.WordLength = UART_WORDLENGTH_8B;
  huart2.Init.StopBits = UART_STOPBITS_1;
  huart2.Init.Parity = UART_PARITY_NONE;
  huart2.Init.Mode = UART_MODE_TX_RX;
  huart2.Init.HwFlowCtl = UART_HWCONTROL_NONE;
  huart2.Init.OverSampling = UART_OVERSAMPLING_16;
  huart2.Init.OneBitSampling = UART_ONE_BIT_SAMPLE_DISABLE;
  huart2.Init.ClockPrescaler = UART_PRESCALER_DIV1;
  huart2.AdvancedInit.AdvFeatureInit = UART_ADVFEATURE_NO_INIT;
  if (HAL_UART_Init(&huart2) != HAL_OK) {
    Error_Handler();
  }
  if (HAL_UARTEx_DisableFifoMode(&huart2) != HAL_OK) {
    Error_Handler();
  }
}

void HAL_UART_MspInit(UART_HandleTypeDef *huart) {
  if (huart->Instance != USART2) {
    return;
  }
  GPIO_InitTypeDef gpio = {};
  __HAL_RCC_USART2_CLK_ENABLE();
  __HAL_RCC_GPIOA_CLK_ENABLE();
  // PA2 transmit, PA3 receive: the pins of the applications' AT port.
  gpio.Pin = GPIO_PIN_2 | GPIO_PIN_3;
  gpio.Mode = GPIO_MODE_AF_PP;
  gpio.Pull = GPIO_PULLUP;
  gpio.Speed = GPIO_SPEED_FREQ_HIGH;
  gpio.Alternate = GPIO_AF7_USART2;
  HAL_GPIO_Init(GPIOA, &gpio);
}

void HAL_UART_MspDeInit(UART_HandleTypeDef *huart) {
  if (huart->Instance != USART2) {
    return;
  }
  __HAL_RCC_USART2_CLK_DISABLE();
  HAL_GPIO_DeInit(GPIOA, GPIO_PIN_2 | GPIO_PIN_3);
}

// A clock or UART set-up failure: stop with interrupts disabled.
void Error_Handler(void) {
  __disable_irq();
  for (;;) {
    __WFI();
  }
}

int main(void) {
  HAL_Init();
  SystemClock_Config();
  MX_USART2_UART_Init();

  // A flag page left behind its copy by a cut is brought up to date first:
  // an application changes that page only, and must find the flags in force.
  const boot_flags_t flags = boot_flags_read();
  boot_flags_write(flags.boot, flags.update);

  if (flags.boot == BOOT_FLAG_RUN_APP && may_start_app()) {
    PreJump();
    JumpApp();
  }

  // A request for boot mode lasts one reset; a pending download keeps the
  // bootloader here through the update flag instead.
  if (flags.boot != BOOT_FLAG_RUN_APP) {
    boot_flags_write(BOOT_FLAG_RUN_APP, flags.update);
  }
  Serial_PutString("<BOOT MODE>\r\n");
  for (;;) {
    IAP_Task();
  }
}
