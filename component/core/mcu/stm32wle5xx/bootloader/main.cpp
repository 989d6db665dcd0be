// Start-up decision, task loop and the jump to the application.
#include "bootloader.h"

UART_HandleTypeDef huart2;
volatile uint8_t running_state = RUNNING_STATE_COMMAND;
uint32_t JumpAddress;
pFunction JumpToApplication;

// The application's first word is its initial stack pointer, which must
// point into SRAM.
uint32_t app_is_valid(void)
{
  return (boot_flash_word(APP_IMAGE_ADDR) & 0x2FFE0000U) == 0x20000000U ? 1U : 0U;
}

static bool may_start_app(void)
{
  return app_is_valid() != 0U && boot_flash_word(UPDATE_FLAG_ADDR) != UPDATE_FLAG_REQUESTED;
}

void IAP_Task(void)
{
  if (running_state == RUNNING_STATE_COMMAND) {
    at_process();
  } else {
    SerialDownload();
  }
}

void app_jump(void)
{
  HAL_FLASH_Program_Flag(BOOT_FLAG_ADDR, BOOT_FLAG_RUN_APP);
  if (may_start_app()) {
    PreJump();
    JumpApp();
  }
}

void PreJump(void)
{
  HAL_UART_DeInit(&huart2);
  HAL_DeInit();
  // The application takes over the vector table only after its own start-up
  // code has run; no tick of ours may reach it before that.
  HAL_SuspendTick();
}

// The application moves the vector table to its own as its first step.
void JumpApp(void)
{
  JumpAddress = boot_flash_word(APP_IMAGE_ADDR + 4U);
  JumpToApplication = (pFunction)JumpAddress;
  __set_MSP(boot_flash_word(APP_IMAGE_ADDR));
  JumpToApplication();
}

void SystemClock_Config(void)
{
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

void MX_USART2_UART_Init(void)
{
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

void HAL_UART_MspInit(UART_HandleTypeDef *huart)
{
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

void HAL_UART_MspDeInit(UART_HandleTypeDef *huart)
{
  if (huart->Instance != USART2) {
    return;
  }
  __HAL_RCC_USART2_CLK_DISABLE();
  HAL_GPIO_DeInit(GPIOA, GPIO_PIN_2 | GPIO_PIN_3);
}

// A clock or UART set-up failure: stop with interrupts disabled.
void Error_Handler(void)
{
  __disable_irq();
  for (;;) {
    __WFI();
  }
}

int main(void)
{
  HAL_Init();
  SystemClock_Config();
  MX_USART2_UART_Init();

  if (boot_flash_word(BOOT_FLAG_ADDR) == BOOT_FLAG_RUN_APP && may_start_app()) {
    PreJump();
    JumpApp();
  }

  // A request for boot mode lasts one reset; a pending download keeps the
  // bootloader here through the update flag instead.
  if (boot_flash_word(BOOT_FLAG_ADDR) != BOOT_FLAG_RUN_APP) {
    HAL_FLASH_Program_Flag(BOOT_FLAG_ADDR, BOOT_FLAG_RUN_APP);
  }
  Serial_PutString("<BOOT MODE>\r\n");
  for (;;) {
    IAP_Task();
  }
}
