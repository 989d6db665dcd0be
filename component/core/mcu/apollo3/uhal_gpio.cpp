// GPIO of the Apollo3 image, pads 0 to 49. Each pad's 32-bit configuration
// word is edited and handed whole to the vendor's pad configuration. Pin
// interrupts reach the task "GPIO_INT_TASK", which calls the wake routines
// of the UART RX pins itself and turns every other pin into a GPIO event.
#include <initializer_list>

#include "apollo3_port.h"
#include "udrv_powersave.h"

uhal_gpio_status_t uhal_gpio_status[APOLLO3_PAD_COUNT];
uint8_t uhal_gpio_wakeup_mode = 6;

namespace {

// Fields of the pad word.
constexpr uint32_t kFuncSelMask = 0x7u;
constexpr uint32_t kFuncGpio = 3u;
constexpr int kPullShift = 5;
constexpr uint32_t kPullMask = 0x7u << kPullShift;
constexpr int kDriveShift = 8;
constexpr uint32_t kDriveMask = 0x3u << kDriveShift;
constexpr int kOutShift = 10;
constexpr uint32_t kOutMask = 0x3u << kOutShift;
constexpr uint32_t kInputEnable = 1u << 12;
constexpr int kIntDirShift = 13;
constexpr uint32_t kIntDirMask = 0x3u << kIntDirShift;
constexpr uint32_t kIntLoToHi = 0, kIntHiToLo = 1, kIntNone = 2, kIntBoth = 3;

gpio_isr_func gpio_isr_funcs[APOLLO3_PAD_COUNT];
udrv_system_event_t gpio_events[APOLLO3_PAD_COUNT];
SemaphoreHandle_t gpio_semaphore;
TaskHandle_t gpio_task;
bool gpio_irq_enabled;
// Interrupt status not served yet. Each interrupt adds its pads: a second
// interrupt before the task runs must not hide the first one's pads (a lost
// radio DIO1 edge stalls the MAC until its timeouts).
volatile uint64_t gpio_pending;
uint32_t pad18_saved;

void apply(uint32_t pin) {
  APOLLO3_CHECK(
      am_hal_gpio_pinconfig(pin, am_hal_gpio_pincfg_from_word(uhal_gpio_status[pin].gpio)));
}

void set_field(uint32_t pin, uint32_t mask, uint32_t value) {
  uint32_t &w = uhal_gpio_status[pin].gpio;
  w = (w & ~mask) | (value & mask);
}

void gpio_wakeup_handler(uint32_t) {
  udrv_powersave_in_sleep = false;
  udrv_powersave_early_wakeup = true;
  uhal_mcu_wake_up();
}

void serve_pad(uint32_t pad) {
  gpio_isr_func handler = pad < APOLLO3_PAD_COUNT ? gpio_isr_funcs[pad] : nullptr;
  if (handler == nullptr) {
    return;
  }
  if (uhal_gpio_status[pad].wakeup_source || pad == 40 || pad == 43) {
    handler(pad);
    return;
  }
  udrv_powersave_in_sleep = false;
  gpio_events[pad].request = UDRV_SYS_EVT_OP_GPIO_INTERRUPT;
  gpio_events[pad].p_context = reinterpret_cast<void *>(static_cast<uintptr_t>(pad));
  udrv_system_event_produce(&gpio_events[pad]);
  if (is_mcu_sleeping) {
    for (uint32_t rx : {40u, 43u}) {
      uhal_gpio_intc_clear(rx);
      uhal_gpio_pin_suspend(rx);
    }
    apollo3_drain_while_sleeping();
  }
}

void gpio_int_task_handler(void *) {
  for (;;) {
    xSemaphoreTake(gpio_semaphore, portMAX_DELAY);
    uint32_t mask;
    uhal_sys_board_critical_section_begin(&mask);
    uint64_t status = gpio_pending;
    gpio_pending = 0;
    uhal_sys_board_critical_section_end(&mask);
    for (uint32_t pad = 0; pad < 64; ++pad) {
      if (status & (uint64_t{1} << pad)) {
        APOLLO3_TRACE("GP INT PIN: %d", static_cast<int>(pad));
        serve_pad(pad);
      }
    }
  }
}

}  // namespace

void uhal_gpio_init(uint32_t pin, gpio_dir_t dir, gpio_pull_t pull, gpio_logic_t logic) {
  if (pin >= APOLLO3_PAD_COUNT) {
    return;
  }
  uhal_gpio_set_dir(pin, dir);
  if (dir == GPIO_DIR_OUT) {
    uhal_gpio_set_logic(pin, logic);
  }
  uhal_gpio_set_pull(pin, pull);
}

void uhal_gpio_set_dir(uint32_t pin, gpio_dir_t dir) {
  if (pin >= APOLLO3_PAD_COUNT) {
    return;
  }
  set_field(pin, kFuncSelMask, kFuncGpio);
  if (dir == GPIO_DIR_OUT) {
    set_field(pin, kOutMask, 1u << kOutShift);
    set_field(pin, kDriveMask, 3u << kDriveShift);
  } else {
    set_field(pin, kInputEnable, kInputEnable);
    set_field(pin, kOutMask, 0);
  }
  apply(pin);
}

// A pull-down request leaves the pad's pull as it is: the pads offer only
// pull-ups.
void uhal_gpio_set_pull(uint32_t pin, gpio_pull_t pull) {
  if (pin >= APOLLO3_PAD_COUNT) {
    return;
  }
  if (pull == GPIO_PULL_UP) {
    set_field(pin, kPullMask, 1u << kPullShift);
  } else if (pull == GPIO_PULL_NONE) {
    set_field(pin, kPullMask, 0);
  } else {
    return;
  }
  apply(pin);
}

void uhal_gpio_set_logic(uint32_t pin, gpio_logic_t logic) {
  if (pin >= APOLLO3_PAD_COUNT) {
    return;
  }
  if (logic == GPIO_LOGIC_HIGH) {
    am_hal_gpio_state_write(pin, AM_HAL_GPIO_OUTPUT_SET);
  } else if (logic == GPIO_LOGIC_LOW) {
    am_hal_gpio_state_write(pin, AM_HAL_GPIO_OUTPUT_CLEAR);
  }
}

gpio_logic_t uhal_gpio_get_logic(uint32_t pin) {
  if (pin >= APOLLO3_PAD_COUNT) {
    return static_cast<gpio_logic_t>(255);
  }
  uint32_t level = 0;
  bool output = (uhal_gpio_status[pin].gpio & kOutMask) != 0;
  am_hal_gpio_state_read(pin, output ? AM_HAL_GPIO_OUTPUT_READ : AM_HAL_GPIO_INPUT_READ, &level);
  return level != 0 ? GPIO_LOGIC_HIGH : GPIO_LOGIC_LOW;
}

void uhal_gpio_intc_trigger_mode(uint32_t pin, gpio_intc_trigger_mode_t mode) {
  if (pin >= APOLLO3_PAD_COUNT) {
    return;
  }
  uint32_t dir = kIntBoth;
  if (mode == GPIO_INTC_RISING_EDGE || mode == GPIO_INTC_HIGH_LEVEL) {
    dir = kIntLoToHi;
  } else if (mode == GPIO_INTC_FALLING_EDGE || mode == GPIO_INTC_LOW_LEVEL) {
    dir = kIntHiToLo;
  }
  set_field(pin, kFuncSelMask, kFuncGpio);
  set_field(pin, kInputEnable, kInputEnable);
  set_field(pin, kIntDirMask, dir << kIntDirShift);
  apply(pin);
}

int32_t uhal_gpio_register_isr(uint32_t pin, gpio_isr_func handler) {
  if (pin >= APOLLO3_PAD_COUNT) {
    return -UDRV_WRONG_ARG;
  }
  gpio_isr_funcs[pin] = handler;
  if (gpio_semaphore == nullptr) {
    gpio_semaphore = xSemaphoreCreateBinary();
    xTaskCreate(gpio_int_task_handler, "GPIO_INT_TASK", 1024, nullptr, 2, &gpio_task);
  }
  am_hal_gpio_interrupt_disable(AM_HAL_GPIO_BIT(pin));
  am_hal_gpio_interrupt_clear(AM_HAL_GPIO_BIT(pin));
  am_hal_gpio_interrupt_enable(AM_HAL_GPIO_BIT(pin));
  if (!gpio_irq_enabled) {
    gpio_irq_enabled = true;
    NVIC_SetPriority(GPIO_IRQn, 0x80 >> (8 - __NVIC_PRIO_BITS));
    NVIC_EnableIRQ(GPIO_IRQn);
    am_hal_interrupt_master_enable();
  }
  return 0;
}

void uhal_gpio_intc_clear(uint32_t pin) {
  if (pin >= APOLLO3_PAD_COUNT) {
    return;
  }
  am_hal_gpio_interrupt_disable(AM_HAL_GPIO_BIT(pin));
  am_hal_gpio_interrupt_clear(AM_HAL_GPIO_BIT(pin));
  set_field(pin, kIntDirMask, kIntNone << kIntDirShift);
  apply(pin);
  gpio_isr_funcs[pin] = nullptr;
}

void uhal_gpio_pin_suspend(uint32_t pin) {
  if (pin >= APOLLO3_PAD_COUNT) {
    return;
  }
  uhal_gpio_status[pin].gpio = APOLLO3_PAD_PARKED;
  apply(pin);
}

void uhal_gpio_handler_handler(void *pdata) {
  uint32_t pad = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pdata));
  if (pad < APOLLO3_PAD_COUNT && gpio_isr_funcs[pad] != nullptr) {
    gpio_isr_funcs[pad](pad);
  }
}

void uhal_gpio_suspend(void) {
  for (uint32_t pad = 0; pad < APOLLO3_PAD_COUNT; ++pad) {
    if (pad == 20 || pad == 21) {
      continue;  // the debug pads
    }
    if (pad == 13 || pad == 33) {
      APOLLO3_CHECK(
          am_hal_gpio_pinconfig(pad, am_hal_gpio_pincfg_from_word(APOLLO3_PAD_OPEN_DRAIN_OUT)));
    } else if (pad == 18) {
      pad18_saved = uhal_gpio_status[18].gpio;
      APOLLO3_CHECK(am_hal_gpio_pinconfig(18, am_hal_gpio_pincfg_from_word(APOLLO3_PAD_PARKED)));
    } else if (uhal_gpio_status[pad].wakeup_source) {
      // A pad marked as a wake-up source ends the sleep on its edge.
      gpio_intc_trigger_mode_t mode = GPIO_INTC_RISING_FALLING_EDGE;
      gpio_pull_t pull = GPIO_PULL_NONE;
      if (uhal_gpio_wakeup_mode == GPIO_INTC_LOW_LEVEL ||
          uhal_gpio_wakeup_mode == GPIO_INTC_FALLING_EDGE) {
        mode = GPIO_INTC_FALLING_EDGE;
        pull = GPIO_PULL_UP;
      } else if (uhal_gpio_wakeup_mode == GPIO_INTC_HIGH_LEVEL ||
                 uhal_gpio_wakeup_mode == GPIO_INTC_RISING_EDGE) {
        mode = GPIO_INTC_RISING_EDGE;
      }
      uhal_gpio_set_dir(pad, GPIO_DIR_IN);
      uhal_gpio_set_pull(pad, pull);
      uhal_gpio_intc_trigger_mode(pad, mode);
      uhal_gpio_register_isr(pad, gpio_wakeup_handler);
    }
  }
}

void uhal_gpio_resume(void) {
  if (pad18_saved != 0) {
    APOLLO3_CHECK(am_hal_gpio_pinconfig(18, am_hal_gpio_pincfg_from_word(pad18_saved)));
  }
}

extern "C" void am_gpio_isr(void) {
  uint64_t status = 0;
  am_hal_gpio_interrupt_status_get(true, &status);
  am_hal_gpio_interrupt_clear(status);
  if (status == 0) {
    return;
  }
  APOLLO3_TRACE("am_gpio_isr");
  gpio_pending = gpio_pending | status;
  BaseType_t woken = pdFALSE;
  xQueueGiveFromISR(gpio_semaphore, &woken);
  portYIELD_FROM_ISR(woken);
}
