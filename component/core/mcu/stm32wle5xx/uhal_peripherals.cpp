// Pins and pin interrupts of the STM32WLE5 images. A pin interrupt (EXTI)
// only posts its line's event; the handler registered for the line runs
// where the main loop dispatches events.
#include "stm32wle5xx_port.h"
#include "uhal_peripherals.h"
#include "udrv_powersave.h"

GPIO_InitTypeDef gpio[UHAL_GPIO_PINS];
uhal_gpio_status_t gpio_status[UHAL_GPIO_PINS];
gpio_isr_func sg_gpio_isr[UHAL_GPIO_PINS];
udrv_system_event_t qiv_gpio_int_event[UHAL_GPIO_LINES];
gpio_intc_trigger_mode_t uhal_gpio_wakeup_mode = GPIO_INTC_RISING_FALLING_EDGE;

namespace {

GPIO_TypeDef *port_of(uint32_t pin) {
  return reinterpret_cast<GPIO_TypeDef *>(GPIOA_BASE + (pin / 16) * 0x400U);
}

uint16_t mask_of(uint32_t pin) { return static_cast<uint16_t>(1U << (pin % 16)); }

uint32_t pull_of(gpio_pull_t pull) {
  switch (pull) {
    case GPIO_PULL_UP:
      return GPIO_PULLUP;
    case GPIO_PULL_DOWN:
      return GPIO_PULLDOWN;
    default:
      return GPIO_NOPULL;
  }
}

uint32_t field2(uint32_t reg, uint32_t pin) { return (reg >> (2 * (pin % 16))) & 3U; }

// The pull-up or pull-down the pin has now.
uint32_t current_pull(uint32_t pin) { return field2(port_of(pin)->PUPDR, pin); }

void configure(uint32_t pin, uint32_t mode, uint32_t pull, uint32_t speed, uint32_t alternate) {
  GPIO_InitTypeDef init = {};
  init.Pin = mask_of(pin);
  init.Mode = mode;
  init.Pull = pull;
  init.Speed = speed;
  init.Alternate = alternate;
  gpio[pin] = init;
  HAL_GPIO_Init(port_of(pin), &init);
}

IRQn_Type exti_irq(uint32_t line) {
  if (line <= 4) {
    return static_cast<IRQn_Type>(EXTI0_IRQn + line);
  }
  return line <= 9 ? EXTI9_5_IRQn : EXTI15_10_IRQn;
}

// The pins whose configuration sleep keeps: PA0..PA15, PB2..PB7, PB12.
bool kept_over_sleep(uint32_t pin) { return pin <= 15 || (pin >= 18 && pin <= 23) || pin == 28; }

}  // namespace

// ------------------------------------------------------- pin interrupts ----
// In interrupt context: ends the sleep loop and posts the line's event. A
// second interrupt on the line before the event is handled posts the same
// record again.
void HAL_GPIO_EXTI_Callback(uint16_t GPIO_Pin) {
  uint32_t line = 0;
  while (line < UHAL_GPIO_LINES && !(GPIO_Pin & (1U << line))) {
    ++line;
  }
  if (line >= UHAL_GPIO_LINES) {
    return;
  }
  udrv_powersave_in_sleep = false;
  qiv_gpio_int_event[line].request = UDRV_SYS_EVT_OP_GPIO_INTERRUPT;
  qiv_gpio_int_event[line].p_context = reinterpret_cast<void *>(static_cast<uintptr_t>(line));
  udrv_system_event_produce(&qiv_gpio_int_event[line]);
}

void uhal_gpio_handler_handler(void *pdata) {
  uint32_t line = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pdata));
  if (line < UHAL_GPIO_LINES && sg_gpio_isr[line] != nullptr) {
    sg_gpio_isr[line](line);
  }
}

// Pins of the same line number share one EXTI line: the first handler
// registered keeps it, and another handler is refused with -5 instead of
// being dropped silently. A pin the chip does not have is refused with -3.
int32_t uhal_gpio_register_isr(uint32_t pin, gpio_isr_func handler) {
  if (pin >= UHAL_GPIO_PINS) {
    return -UDRV_WRONG_ARG;
  }
  uint32_t line = pin % 16;
  if (sg_gpio_isr[line] == nullptr) {
    sg_gpio_isr[line] = handler;
    return 0;
  }
  return sg_gpio_isr[line] == handler ? 0 : -UDRV_OCCUPIED;
}

void uhal_gpio_intc_trigger_mode(uint32_t pin, gpio_intc_trigger_mode_t mode) {
  if (pin >= UHAL_GPIO_PINS) {
    return;
  }
  uint32_t it_mode;
  switch (mode) {
    case GPIO_INTC_HIGH_LEVEL:
    case GPIO_INTC_RISING_EDGE:
      it_mode = GPIO_MODE_IT_RISING;
      break;
    case GPIO_INTC_LOW_LEVEL:
    case GPIO_INTC_FALLING_EDGE:
      it_mode = GPIO_MODE_IT_FALLING;
      break;
    default:
      it_mode = GPIO_MODE_IT_RISING_FALLING;
      break;
  }
  configure(pin, it_mode, current_pull(pin), GPIO_SPEED_FREQ_HIGH, 0);
  IRQn_Type irq = exti_irq(pin % 16);
  HAL_NVIC_SetPriority(irq, 2, 0);
  HAL_NVIC_EnableIRQ(irq);
}

void gpio_wakeup_handler(uint32_t) {
  udrv_powersave_in_sleep = false;
  udrv_powersave_early_wakeup = true;
}

// ------------------------------------------------------------------ pins ----
void uhal_gpio_init(uint32_t pin, gpio_dir_t dir, gpio_pull_t pull, gpio_logic_t logic) {
  if (pin >= UHAL_GPIO_PINS) {
    return;
  }
  if (dir == GPIO_DIR_OUT) {
    HAL_GPIO_WritePin(port_of(pin), mask_of(pin),
                      logic == GPIO_LOGIC_HIGH ? GPIO_PIN_SET : GPIO_PIN_RESET);
  }
  configure(pin, dir == GPIO_DIR_OUT ? GPIO_MODE_OUTPUT_PP : GPIO_MODE_INPUT, pull_of(pull),
            GPIO_SPEED_FREQ_HIGH, 0);
}

void uhal_gpio_set_dir(uint32_t pin, gpio_dir_t dir) {
  if (pin >= UHAL_GPIO_PINS) {
    return;
  }
  configure(pin, dir == GPIO_DIR_OUT ? GPIO_MODE_OUTPUT_PP : GPIO_MODE_INPUT, current_pull(pin),
            GPIO_SPEED_FREQ_HIGH, 0);
}

void uhal_gpio_set_pull(uint32_t pin, gpio_pull_t pull) {
  if (pin >= UHAL_GPIO_PINS) {
    return;
  }
  uint32_t moder = field2(port_of(pin)->MODER, pin);
  configure(pin, moder == 1 ? GPIO_MODE_OUTPUT_PP : GPIO_MODE_INPUT, pull_of(pull),
            GPIO_SPEED_FREQ_HIGH, 0);
}

void uhal_gpio_set_logic(uint32_t pin, gpio_logic_t logic) {
  if (pin >= UHAL_GPIO_PINS) {
    return;
  }
  HAL_GPIO_WritePin(port_of(pin), mask_of(pin),
                    logic == GPIO_LOGIC_HIGH ? GPIO_PIN_SET : GPIO_PIN_RESET);
}

gpio_logic_t uhal_gpio_get_logic(uint32_t pin) {
  if (pin >= UHAL_GPIO_PINS) {
    return GPIO_LOGIC_LOW;
  }
  return HAL_GPIO_ReadPin(port_of(pin), mask_of(pin)) == GPIO_PIN_SET ? GPIO_LOGIC_HIGH
                                                                      : GPIO_LOGIC_LOW;
}

// --------------------------------------------------------------- sleep ----
namespace {
bool gpio_saved[UHAL_GPIO_PINS];
}

// Pins of lines without a handler keep their configuration; a pin marked as
// a wake-up source becomes an interrupt input that ends the sleep.
void uhal_gpio_suspend(void) {
  for (uint32_t pin = 0; pin < UHAL_GPIO_PINS; ++pin) {
    gpio_saved[pin] = kept_over_sleep(pin) && sg_gpio_isr[pin % 16] == nullptr;
    if (!gpio_saved[pin]) {
      continue;
    }
    GPIO_TypeDef *port = port_of(pin);
    uhal_gpio_status_t &s = gpio_status[pin];
    s.Mode = field2(port->MODER, pin) | (((port->OTYPER >> (pin % 16)) & 1U) << 4);
    s.Pull = field2(port->PUPDR, pin);
    s.Speed = field2(port->OSPEEDR, pin);
    s.Alternate = (port->AFR[(pin % 16) / 8] >> (4 * (pin % 8))) & 0xFU;
    if (s.wakeup_source) {
      uhal_gpio_intc_trigger_mode(pin, uhal_gpio_wakeup_mode);
      uhal_gpio_register_isr(pin, gpio_wakeup_handler);
    }
  }
}

// The pins saved at suspend get their configuration back; a wake-up pin
// gives its line free again.
void uhal_gpio_resume(void) {
  for (uint32_t pin = 0; pin < UHAL_GPIO_PINS; ++pin) {
    if (!gpio_saved[pin]) {
      continue;
    }
    gpio_saved[pin] = false;
    const uhal_gpio_status_t &s = gpio_status[pin];
    if (s.wakeup_source) {
      HAL_GPIO_DeInit(port_of(pin), mask_of(pin));
      if (sg_gpio_isr[pin % 16] == gpio_wakeup_handler) {
        sg_gpio_isr[pin % 16] = nullptr;
      }
    }
    configure(pin, s.Mode, s.Pull, s.Speed, s.Alternate);
  }
}
