// Reset and clock control and the power controller. Clock settings have no
// effect on the simulated chip; they are recorded so that tests can read them
// (stm32_sim.h). The backup-domain reset clears the RTC and its registers.
#pragma once

#include "stm32wl_hal_def.h"

// ----------------------------------------------------------- oscillators --
#define RCC_OSCILLATORTYPE_NONE 0x00U
#define RCC_OSCILLATORTYPE_HSE 0x01U
#define RCC_OSCILLATORTYPE_HSI 0x02U
#define RCC_OSCILLATORTYPE_LSE 0x04U
#define RCC_OSCILLATORTYPE_LSI 0x08U
#define RCC_OSCILLATORTYPE_MSI 0x10U

#define RCC_HSE_OFF 0x0U
#define RCC_HSE_ON 0x1U
#define RCC_HSI_OFF 0x0U
#define RCC_HSI_ON 0x1U
#define RCC_HSICALIBRATION_DEFAULT 64U
#define RCC_LSE_OFF 0x0U
#define RCC_LSE_ON 0x1U
#define RCC_LSE_BYPASS 0x5U
#define RCC_LSI_OFF 0x0U
#define RCC_LSI_ON 0x1U
#define RCC_LSI_DIV1 0x0U
#define RCC_LSI_DIV128 0x1U
#define RCC_MSI_OFF 0x0U
#define RCC_MSI_ON 0x1U
#define RCC_MSICALIBRATION_DEFAULT 0U
#define RCC_MSIRANGE_0 0U
#define RCC_MSIRANGE_6 6U
#define RCC_MSIRANGE_8 8U
#define RCC_MSIRANGE_11 11U
#define RCC_PLL_NONE 0x0U
#define RCC_PLL_OFF 0x1U
#define RCC_PLL_ON 0x2U

typedef struct {
  uint32_t PLLState;
  uint32_t PLLSource;
  uint32_t PLLM;
  uint32_t PLLN;
  uint32_t PLLP;
  uint32_t PLLQ;
  uint32_t PLLR;
} RCC_PLLInitTypeDef;

typedef struct {
  uint32_t OscillatorType;
  uint32_t HSEState;
  uint32_t HSEDiv;
  uint32_t LSEState;
  uint32_t HSIState;
  uint32_t HSICalibrationValue;
  uint32_t LSIState;
  uint32_t LSIDiv;
  uint32_t MSIState;
  uint32_t MSICalibrationValue;
  uint32_t MSIClockRange;
  RCC_PLLInitTypeDef PLL;
} RCC_OscInitTypeDef;

// ------------------------------------------------------------- bus clocks --
#define RCC_CLOCKTYPE_SYSCLK 0x01U
#define RCC_CLOCKTYPE_HCLK 0x02U
#define RCC_CLOCKTYPE_PCLK1 0x04U
#define RCC_CLOCKTYPE_PCLK2 0x08U
#define RCC_CLOCKTYPE_HCLK3 0x40U

#define RCC_SYSCLKSOURCE_MSI 0x0U
#define RCC_SYSCLKSOURCE_HSI 0x1U
#define RCC_SYSCLKSOURCE_HSE 0x2U
#define RCC_SYSCLKSOURCE_PLLCLK 0x3U
#define RCC_SYSCLK_DIV1 0x0U
#define RCC_HCLK_DIV1 0x0U

#define FLASH_LATENCY_0 0U
#define FLASH_LATENCY_1 1U
#define FLASH_LATENCY_2 2U

typedef struct {
  uint32_t ClockType;
  uint32_t SYSCLKSource;
  uint32_t AHBCLKDivider;
  uint32_t APB1CLKDivider;
  uint32_t APB2CLKDivider;
  uint32_t AHBCLK2Divider;
  uint32_t AHBCLK3Divider;
} RCC_ClkInitTypeDef;

// ------------------------------------------------------ kernel clocks ----
#define RCC_PERIPHCLK_USART1 0x0001U
#define RCC_PERIPHCLK_USART2 0x0002U
#define RCC_PERIPHCLK_I2C1 0x0008U
#define RCC_PERIPHCLK_I2C2 0x0010U
#define RCC_PERIPHCLK_LPUART1 0x0020U
#define RCC_PERIPHCLK_RTC 0x0100U
#define RCC_PERIPHCLK_ADC 0x0200U

#define RCC_USART1CLKSOURCE_PCLK2 0x0U
#define RCC_USART1CLKSOURCE_SYSCLK 0x1U
#define RCC_USART1CLKSOURCE_HSI 0x2U
#define RCC_USART1CLKSOURCE_LSE 0x3U
#define RCC_USART2CLKSOURCE_PCLK1 0x0U
#define RCC_USART2CLKSOURCE_SYSCLK 0x1U
#define RCC_USART2CLKSOURCE_HSI 0x2U
#define RCC_USART2CLKSOURCE_LSE 0x3U
#define RCC_LPUART1CLKSOURCE_PCLK1 0x0U
#define RCC_LPUART1CLKSOURCE_SYSCLK 0x1U
#define RCC_LPUART1CLKSOURCE_HSI 0x2U
#define RCC_LPUART1CLKSOURCE_LSE 0x3U
#define RCC_I2C2CLKSOURCE_PCLK1 0x0U
#define RCC_I2C2CLKSOURCE_SYSCLK 0x1U
#define RCC_I2C2CLKSOURCE_HSI 0x2U
#define RCC_RTCCLKSOURCE_NONE 0x0U
#define RCC_RTCCLKSOURCE_LSE 0x1U
#define RCC_RTCCLKSOURCE_LSI 0x2U

typedef struct {
  uint32_t PeriphClockSelection;
  uint32_t Usart1ClockSelection;
  uint32_t Usart2ClockSelection;
  uint32_t I2s2ClockSelection;
  uint32_t Lpuart1ClockSelection;
  uint32_t I2c1ClockSelection;
  uint32_t I2c2ClockSelection;
  uint32_t I2c3ClockSelection;
  uint32_t Lptim1ClockSelection;
  uint32_t AdcClockSelection;
  uint32_t RngClockSelection;
  uint32_t RTCClockSelection;
} RCC_PeriphCLKInitTypeDef;

#define RCC_STOP_WAKEUPCLOCK_MSI 0x0U
#define RCC_STOP_WAKEUPCLOCK_HSI 0x1U

#define RCC_LSEDRIVE_LOW 0x0U
#define RCC_LSEDRIVE_MEDIUMLOW 0x1U
#define RCC_LSEDRIVE_MEDIUMHIGH 0x2U
#define RCC_LSEDRIVE_HIGH 0x3U

// Reset registers: writing ones holds the peripherals of that bus in reset.
typedef struct {
  __IO uint32_t AHB1RSTR;
  __IO uint32_t AHB2RSTR;
  __IO uint32_t AHB3RSTR;
  __IO uint32_t APB1RSTR1;
  __IO uint32_t APB1RSTR2;
  __IO uint32_t APB2RSTR;
  __IO uint32_t APB3RSTR;
  __IO uint32_t BDCR;
} RCC_TypeDef;
extern "C" RCC_TypeDef stm32_rcc;
#define RCC (&stm32_rcc)
#define RCC_APB3RSTR_SUBGHZSPIRST (1UL << 0)
#define RCC_BDCR_RTCEN (1UL << 15)  // RTC clock on; kept through an MCU reset
#define RCC_BDCR_BDRST (1UL << 16)

extern "C" {
HAL_StatusTypeDef HAL_RCC_OscConfig(RCC_OscInitTypeDef* osc);
HAL_StatusTypeDef HAL_RCC_ClockConfig(RCC_ClkInitTypeDef* clk, uint32_t flash_latency);
HAL_StatusTypeDef HAL_RCCEx_PeriphCLKConfig(RCC_PeriphCLKInitTypeDef* periph);
void HAL_RCCEx_WakeUpStopCLKConfig(uint32_t wakeup_clock);
uint32_t HAL_RCC_GetSysClockFreq(void);
uint32_t HAL_RCC_GetHCLKFreq(void);
uint32_t HAL_RCC_GetPCLK1Freq(void);
uint32_t HAL_RCC_GetPCLK2Freq(void);

// Clock gates and resets (recorded).
void stm32_rcc_clock_gate(const char* name, int on);
void stm32_rcc_lse_drive(uint32_t drive);
void stm32_rcc_backup_reset(int force);
}

#define __HAL_RCC_LSEDRIVE_CONFIG(drive) stm32_rcc_lse_drive(drive)
#define __HAL_RCC_BACKUPRESET_FORCE() stm32_rcc_backup_reset(1)
#define __HAL_RCC_BACKUPRESET_RELEASE() stm32_rcc_backup_reset(0)
#define __HAL_RCC_RTC_ENABLE() stm32_rcc_clock_gate("RTC", 1)
#define __HAL_RCC_RTC_DISABLE() stm32_rcc_clock_gate("RTC", 0)
#define __HAL_RCC_RTC_CONFIG(src) ((void)(src))

#define __HAL_RCC_GPIOA_CLK_ENABLE() stm32_rcc_clock_gate("GPIOA", 1)
#define __HAL_RCC_GPIOB_CLK_ENABLE() stm32_rcc_clock_gate("GPIOB", 1)
#define __HAL_RCC_GPIOC_CLK_ENABLE() stm32_rcc_clock_gate("GPIOC", 1)
#define __HAL_RCC_GPIOH_CLK_ENABLE() stm32_rcc_clock_gate("GPIOH", 1)
#define __HAL_RCC_DMAMUX1_CLK_ENABLE() stm32_rcc_clock_gate("DMAMUX1", 1)
#define __HAL_RCC_DMA1_CLK_ENABLE() stm32_rcc_clock_gate("DMA1", 1)
#define __HAL_RCC_USART1_CLK_ENABLE() stm32_rcc_clock_gate("USART1", 1)
#define __HAL_RCC_USART1_CLK_DISABLE() stm32_rcc_clock_gate("USART1", 0)
#define __HAL_RCC_USART2_CLK_ENABLE() stm32_rcc_clock_gate("USART2", 1)
#define __HAL_RCC_USART2_CLK_DISABLE() stm32_rcc_clock_gate("USART2", 0)
#define __HAL_RCC_LPUART1_CLK_ENABLE() stm32_rcc_clock_gate("LPUART1", 1)
#define __HAL_RCC_LPUART1_CLK_DISABLE() stm32_rcc_clock_gate("LPUART1", 0)
#define __HAL_RCC_RTCAPB_CLK_ENABLE() stm32_rcc_clock_gate("RTCAPB", 1)
#define __HAL_RCC_SUBGHZSPI_CLK_ENABLE() stm32_rcc_clock_gate("SUBGHZSPI", 1)
#define __HAL_RCC_AES_CLK_ENABLE() stm32_rcc_clock_gate("AES", 1)
#define __HAL_RCC_AES_CLK_DISABLE() stm32_rcc_clock_gate("AES", 0)
#define __HAL_RCC_ADC_CLK_ENABLE() stm32_rcc_clock_gate("ADC", 1)
#define __HAL_RCC_ADC_CLK_DISABLE() stm32_rcc_clock_gate("ADC", 0)
#define __HAL_RCC_TIM1_CLK_ENABLE() stm32_rcc_clock_gate("TIM1", 1)
#define __HAL_RCC_TIM1_CLK_DISABLE() stm32_rcc_clock_gate("TIM1", 0)
#define __HAL_RCC_TIM2_CLK_ENABLE() stm32_rcc_clock_gate("TIM2", 1)
#define __HAL_RCC_TIM2_CLK_DISABLE() stm32_rcc_clock_gate("TIM2", 0)
#define __HAL_RCC_SPI1_CLK_ENABLE() stm32_rcc_clock_gate("SPI1", 1)
#define __HAL_RCC_SPI1_CLK_DISABLE() stm32_rcc_clock_gate("SPI1", 0)
#define __HAL_RCC_I2C2_CLK_ENABLE() stm32_rcc_clock_gate("I2C2", 1)
#define __HAL_RCC_I2C2_CLK_DISABLE() stm32_rcc_clock_gate("I2C2", 0)

// ------------------------------------------------------------------- PWR ---
#define PWR_REGULATOR_VOLTAGE_SCALE1 0x1U
#define PWR_REGULATOR_VOLTAGE_SCALE2 0x2U
#define PWR_MAINREGULATOR_ON 0x0U
#define PWR_LOWPOWERREGULATOR_ON 0x1U
#define PWR_STOPENTRY_WFI 0x01U
#define PWR_STOPENTRY_WFE 0x02U
#define PWR_SLEEPENTRY_WFI 0x01U
#define PWR_SLEEPENTRY_WFE 0x02U

extern "C" {
void HAL_PWR_EnableBkUpAccess(void);
void HAL_PWR_DisableBkUpAccess(void);
HAL_StatusTypeDef HAL_PWREx_ControlVoltageScaling(uint32_t voltage_scaling);
void stm32_pwr_voltage_scaling(uint32_t scale);
// Stop modes: the core stops until an enabled interrupt that can wake this
// mode becomes pending (also with PRIMASK set; it is then taken when PRIMASK
// is cleared). The SysTick does not count in stop mode.
void HAL_PWREx_EnterSTOP0Mode(uint8_t stop_entry);
void HAL_PWREx_EnterSTOP1Mode(uint32_t regulator, uint8_t stop_entry);
void HAL_PWREx_EnterSTOP2Mode(uint8_t stop_entry);
void HAL_PWR_EnterSTOPMode(uint32_t regulator, uint8_t stop_entry);
void HAL_PWR_EnterSLEEPMode(uint32_t regulator, uint8_t sleep_entry);
}
#define __HAL_PWR_VOLTAGESCALING_CONFIG(scale) stm32_pwr_voltage_scaling(scale)
