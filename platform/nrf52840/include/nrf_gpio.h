// GPIO: pin numbers are port * 32 + pin (P0.00 to P0.31 are 0 to 31, P1.00
// to P1.15 are 32 to 47). A pin whose input buffer is disconnected reads 0.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NRF_GPIO_PIN_MAP(port, pin) (((port) << 5) | ((pin)&0x1F))
#define NRF_GPIO_PIN_COUNT 48u

typedef enum {
  NRF_GPIO_PIN_NOPULL = 0,
  NRF_GPIO_PIN_PULLDOWN = 1,
  NRF_GPIO_PIN_PULLUP = 3,
} nrf_gpio_pin_pull_t;

typedef enum {
  NRF_GPIO_PIN_NOSENSE = 0,
  NRF_GPIO_PIN_SENSE_HIGH = 2,
  NRF_GPIO_PIN_SENSE_LOW = 3,
} nrf_gpio_pin_sense_t;

// PIN_CNF fields.
#define GPIO_PIN_CNF_DIR_Pos 0
#define GPIO_PIN_CNF_INPUT_Pos 1  // 1: input buffer disconnected
#define GPIO_PIN_CNF_PULL_Pos 2
#define GPIO_PIN_CNF_DRIVE_Pos 8
#define GPIO_PIN_CNF_SENSE_Pos 16

void nrf_gpio_cfg_output(uint32_t pin);
void nrf_gpio_cfg_input(uint32_t pin, nrf_gpio_pin_pull_t pull);
void nrf_gpio_cfg_default(uint32_t pin);
void nrf_gpio_cfg_sense_input(uint32_t pin, nrf_gpio_pin_pull_t pull, nrf_gpio_pin_sense_t sense);
void nrf_gpio_pin_set(uint32_t pin);
void nrf_gpio_pin_clear(uint32_t pin);
void nrf_gpio_pin_write(uint32_t pin, uint32_t value);
uint32_t nrf_gpio_pin_read(uint32_t pin);
uint32_t nrf_gpio_pin_out_read(uint32_t pin);
// The whole PIN_CNF word of a pin.
uint32_t nrf_gpio_pin_cnf_get(uint32_t pin);
void nrf_gpio_pin_cnf_set(uint32_t pin, uint32_t cnf);

#ifdef __cplusplus
}  // extern "C"
#endif
