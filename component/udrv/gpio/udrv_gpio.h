// GPIO class: forwarded to the port operation of the same name.
#pragma once

#include <stdint.h>

#include "udrv_errno.h"

typedef enum : uint8_t {
  GPIO_DIR_IN = 0,
  GPIO_DIR_OUT = 1,
} gpio_dir_t;

typedef enum : uint8_t {
  GPIO_PULL_DOWN = 0,
  GPIO_PULL_UP = 1,
  GPIO_PULL_NONE = 2,
  GPIO_PULL_ERROR = 3,
} gpio_pull_t;

typedef enum : uint8_t {
  GPIO_LOGIC_LOW = 0,
  GPIO_LOGIC_HIGH = 1,
} gpio_logic_t;

typedef enum : uint8_t {
  GPIO_INTC_HIGH_LEVEL = 2,
  GPIO_INTC_RISING_EDGE = 3,
  GPIO_INTC_LOW_LEVEL = 4,
  GPIO_INTC_FALLING_EDGE = 5,
  GPIO_INTC_RISING_FALLING_EDGE = 6,
} gpio_intc_trigger_mode_t;

typedef void (*gpio_isr_func)(uint32_t pin);

void udrv_gpio_init(uint32_t pin, gpio_dir_t dir, gpio_pull_t pull, gpio_logic_t logic);
void udrv_gpio_set_dir(uint32_t pin, gpio_dir_t dir);
void udrv_gpio_set_pull(uint32_t pin, gpio_pull_t pull);
void udrv_gpio_set_logic(uint32_t pin, gpio_logic_t logic);
gpio_logic_t udrv_gpio_get_logic(uint32_t pin);
void udrv_gpio_intc_trigger_mode(uint32_t pin, gpio_intc_trigger_mode_t mode);
int32_t udrv_gpio_register_isr(uint32_t pin, gpio_isr_func handler);
void udrv_gpio_suspend(void);
void udrv_gpio_resume(void);
// Runs a pin interrupt in the dispatcher's context.
void udrv_gpio_handler_handler(void *pdata);

// ---- Port contract: what every port provides for this class ----
// Pins are numbered as the port numbers them (its profile header says how).
// Configure a pin as input or output with its pull and output level.
void uhal_gpio_init(uint32_t pin, gpio_dir_t dir, gpio_pull_t pull, gpio_logic_t logic);
void uhal_gpio_set_dir(uint32_t pin, gpio_dir_t dir);
void uhal_gpio_set_pull(uint32_t pin, gpio_pull_t pull);
// Drive an output pin.
void uhal_gpio_set_logic(uint32_t pin, gpio_logic_t logic);
// Read a pin's level.
gpio_logic_t uhal_gpio_get_logic(uint32_t pin);
// Choose the edge or level a pin's interrupt fires on.
void uhal_gpio_intc_trigger_mode(uint32_t pin, gpio_intc_trigger_mode_t mode);
// Attach a handler to a pin's interrupt: the port posts
// UDRV_SYS_EVT_OP_GPIO_INTERRUPT with the pin, and the dispatcher's
// udrv_gpio_handler_handler runs the handler. 0 or a negated code.
int32_t uhal_gpio_register_isr(uint32_t pin, gpio_isr_func handler);
// Keep pin states (and wake-up pins) across sleep.
void uhal_gpio_suspend(void);
void uhal_gpio_resume(void);
// Run the handler of the pin carried by a GPIO interrupt event.
void uhal_gpio_handler_handler(void *pdata);
