// The STM32WLE5 port's pins, pin interrupts, ADC, PWM, SPI and I2C: the
// state these drivers keep and the port operations that the driver layer's
// headers do not declare. Pins are numbered 16 x port + line (A 0..15,
// B 16..31, C 32..47).
#pragma once

#include <stdint.h>

#include "stm32wl_hal.h"
#include "udrv_adc.h"
#include "udrv_gpio.h"
#include "udrv_pwm.h"
#include "udrv_spimst.h"
#include "udrv_system.h"
#include "udrv_twimst.h"

#define UHAL_GPIO_PINS 48
#define UHAL_GPIO_LINES 16

// ------------------------------------------------------------------ pins ---
// A pin's configuration as kept across sleep.
typedef struct {
  uint32_t Mode;
  uint32_t Pull;
  uint32_t Speed;
  uint32_t Alternate;
  bool wakeup_source;
} uhal_gpio_status_t;

// The last HAL configuration this driver gave each pin.
extern GPIO_InitTypeDef gpio[UHAL_GPIO_PINS];
extern uhal_gpio_status_t gpio_status[UHAL_GPIO_PINS];
// Pin interrupt handlers by EXTI line (pin mod 16); entries from 16 on stay
// empty.
extern gpio_isr_func sg_gpio_isr[UHAL_GPIO_PINS];
// One event record per EXTI line.
extern udrv_system_event_t qiv_gpio_int_event[UHAL_GPIO_LINES];
// The trigger of a wake-up pin during sleep.
extern gpio_intc_trigger_mode_t uhal_gpio_wakeup_mode;

// A wake-up pin's interrupt: ends the sleep early.
void gpio_wakeup_handler(uint32_t pin);

// ------------------------------------------------------------------- ADC ---
// Channels besides the pins.
#define UDRV_ADC_CHANNEL_TEMPSENSOR 253
#define UDRV_ADC_CHANNEL_VREFINT 254
#define UDRV_ADC_CHANNEL_VBAT 255

// One bit per analogue pin in use: bit 0 PB3, 1 PB4, 2 PB2, 3 PA10, 4 PA15.
extern uint8_t adc_enable_pin;
extern UDRV_ADC_RESOLUTION uhal_adc_resolution;
extern uint32_t adc_resolution;  // the converter's setting for uhal_adc_resolution
extern UDRV_ADC_MODE uhal_adc_mode;
extern ADC_HandleTypeDef hadc;

// ------------------------------------------------------------------- PWM ---
extern uhal_pwm_status_t uhal_pwm_status[UDRV_PWM_MAX];
extern UDRV_PWM_RESOLUTION pwm_resolution;
extern uint32_t uhal_pwm_period;
extern TIM_HandleTypeDef htim1;
extern TIM_HandleTypeDef htim2;

// Sets the port's duty (compare value) and runs its channel: 0; -3 for a
// duty not below the period, a port without a usable frequency or a pin
// without a timer channel; -7 for an unknown resolution.
int32_t uhal_pwm_set_duty(udrv_pwm_port port, uint32_t duty);

// ------------------------------------------------------------------- SPI ---
// Ports of the SPI master class that are open; any open port has SPI1 set up
// again after sleep.
extern bool uhal_spimst_open[UDRV_SPIMST_MAX];
extern SPI_HandleTypeDef hspi1;
extern DMA_HandleTypeDef hdma_spi1_tx;
extern DMA_HandleTypeDef hdma_spi1_rx;

void spimst_init(void);

// ------------------------------------------------------------------- I2C ---
#define UHAL_TWIMST_TIMING_100K 0x10300ADBU
#define UHAL_TWIMST_TIMING_250K 0x00700D9FU
#define UHAL_TWIMST_TIMING_DEFAULT 0x0070085CU

extern bool uhal_twimst_open[UDRV_TWIMST_MAX];
extern uint32_t uhal_twimst_timing;  // 0: none chosen (the default applies)
extern I2C_HandleTypeDef hi2c2;

void uhal_twimst_init(udrv_twimst_port port);
int32_t uhal_twimst_deinit(udrv_twimst_port port);
void uhal_twimst_setup_freq(udrv_twimst_port port, uint32_t clk_hz);
int32_t uhal_twimst_write(udrv_twimst_port port, uint8_t twi_addr, uint8_t const *buf, uint16_t len,
                          bool send_stop);
int32_t uhal_twimst_read(udrv_twimst_port port, uint8_t twi_addr, uint8_t *buf, uint16_t len);
void uhal_twimst_suspend(void);
void uhal_twimst_resume(void);
