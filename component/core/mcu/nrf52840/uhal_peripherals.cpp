// GPIO, PWM, SPI, I2C and ADC of the nRF52840 images, the pin state kept
// over sleep and the battery table's size.
#include <string.h>

#include "nrf52840_port.h"
#include "nrf_gpio.h"
#include "nrfx_gpiote.h"
#include "nrfx_saadc.h"
#include "udrv_adc.h"
#include "udrv_gpio.h"
#include "udrv_powersave.h"
#include "udrv_pwm.h"
#include "udrv_spimst.h"
#include "udrv_twimst.h"

namespace {

// --------------------------------------------------------------- GPIO ----
gpio_isr_func sg_gpio_isr[NRF_GPIO_PIN_COUNT];
gpio_intc_trigger_mode_t trigger_mode[NRF_GPIO_PIN_COUNT];
udrv_system_event_t qiv_gpio_event[NRF_GPIO_PIN_COUNT];

struct gpio_status_t {
  uint32_t cnf;  // direction, input buffer, pull, drive and sense as PIN_CNF holds them
  bool saved;
};
gpio_status_t gpio_status[NRF_GPIO_PIN_COUNT];

// The pins the sleep may touch: P0.02 to P0.17, P0.19 to P0.31, P1.00 to
// P1.05, P1.07, P1.11, P1.12, P1.13 and P1.15.
bool sleep_managed(uint32_t pin) {
  return (pin >= 2 && pin <= 17) || (pin >= 19 && pin <= 37) || pin == 39 || pin == 43 ||
         pin == 44 || pin == 45 || pin == 47;
}

nrf_gpiote_polarity_t polarity_of(gpio_intc_trigger_mode_t mode) {
  switch (mode) {
    case GPIO_INTC_HIGH_LEVEL:
    case GPIO_INTC_RISING_EDGE:
      return NRF_GPIOTE_POLARITY_LOTOHI;
    case GPIO_INTC_LOW_LEVEL:
    case GPIO_INTC_FALLING_EDGE:
      return NRF_GPIOTE_POLARITY_HITOLO;
    default:
      return NRF_GPIOTE_POLARITY_TOGGLE;
  }
}

// A pin interrupt (interrupt context): the pin's event for the dispatcher.
void gpio_isr(nrfx_gpiote_pin_t pin, nrf_gpiote_polarity_t) {
  if (pin >= NRF_GPIO_PIN_COUNT) {
    return;
  }
  udrv_powersave_in_sleep = false;
  qiv_gpio_event[pin].request = UDRV_SYS_EVT_OP_GPIO_INTERRUPT;
  qiv_gpio_event[pin].p_context = reinterpret_cast<void *>(static_cast<uintptr_t>(pin));
  udrv_system_event_produce(&qiv_gpio_event[pin]);
}

}  // namespace

void uhal_gpio_init(uint32_t pin, gpio_dir_t dir, gpio_pull_t pull, gpio_logic_t logic) {
  if (pin >= NRF_GPIO_PIN_COUNT) {
    return;
  }
  if (dir == GPIO_DIR_OUT) {
    nrf_gpio_pin_write(pin, logic == GPIO_LOGIC_HIGH ? 1 : 0);
    nrf_gpio_cfg_output(pin);
  } else {
    uhal_gpio_set_pull(pin, pull);
  }
}

void uhal_gpio_set_dir(uint32_t pin, gpio_dir_t dir) {
  if (pin >= NRF_GPIO_PIN_COUNT) {
    return;
  }
  if (dir == GPIO_DIR_OUT) {
    nrf_gpio_cfg_output(pin);
  } else {
    nrf_gpio_cfg_input(pin, NRF_GPIO_PIN_NOPULL);
  }
}

void uhal_gpio_set_pull(uint32_t pin, gpio_pull_t pull) {
  if (pin >= NRF_GPIO_PIN_COUNT) {
    return;
  }
  nrf_gpio_pin_pull_t p = pull == GPIO_PULL_UP     ? NRF_GPIO_PIN_PULLUP
                          : pull == GPIO_PULL_DOWN ? NRF_GPIO_PIN_PULLDOWN
                                                   : NRF_GPIO_PIN_NOPULL;
  nrf_gpio_cfg_input(pin, p);
}

void uhal_gpio_set_logic(uint32_t pin, gpio_logic_t logic) {
  if (pin < NRF_GPIO_PIN_COUNT) {
    nrf_gpio_pin_write(pin, logic == GPIO_LOGIC_HIGH ? 1 : 0);
  }
}

gpio_logic_t uhal_gpio_get_logic(uint32_t pin) {
  if (pin >= NRF_GPIO_PIN_COUNT) {
    return GPIO_LOGIC_LOW;
  }
  return nrf_gpio_pin_read(pin) ? GPIO_LOGIC_HIGH : GPIO_LOGIC_LOW;
}

void uhal_gpio_intc_trigger_mode(uint32_t pin, gpio_intc_trigger_mode_t mode) {
  if (pin < NRF_GPIO_PIN_COUNT) {
    trigger_mode[pin] = mode;
  }
}

int32_t uhal_gpio_register_isr(uint32_t pin, gpio_isr_func handler) {
  if (pin >= NRF_GPIO_PIN_COUNT) {
    return -UDRV_WRONG_ARG;
  }
  if (!nrfx_gpiote_is_init()) {
    APP_ERROR_CHECK(nrfx_gpiote_init());
  }
  nrfx_gpiote_in_uninit(pin);
  sg_gpio_isr[pin] = handler;
  if (handler == nullptr) {
    return 0;
  }
  nrfx_gpiote_in_config_t config = NRFX_GPIOTE_CONFIG_IN_SENSE_TOGGLE(true);
  config.sense = polarity_of(trigger_mode[pin]);
  config.skip_gpio_setup = true;  // the pin keeps the pull it was given
  if (nrfx_gpiote_in_init(pin, &config, gpio_isr) != NRFX_SUCCESS) {
    return -UDRV_INTERNAL_ERR;
  }
  nrfx_gpiote_in_event_enable(pin, true);
  return 0;
}

void uhal_gpio_handler_handler(void *pdata) {
  uint32_t pin = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pdata));
  if (pin < NRF_GPIO_PIN_COUNT && sg_gpio_isr[pin] != nullptr) {
    sg_gpio_isr[pin](pin);
  }
}

// Nothing in these images marks a pin as a wake-up source, so the sleep only
// keeps each managed pin's configuration and gives it back.
void uhal_gpio_suspend(void) {
  for (uint32_t pin = 0; pin < NRF_GPIO_PIN_COUNT; pin++) {
    if (sleep_managed(pin) && sg_gpio_isr[pin] == nullptr) {
      gpio_status[pin].cnf = nrf_gpio_pin_cnf_get(pin);
      gpio_status[pin].saved = true;
    }
  }
}

void uhal_gpio_resume(void) {
  for (uint32_t pin = 0; pin < NRF_GPIO_PIN_COUNT; pin++) {
    if (gpio_status[pin].saved) {
      nrf_gpio_pin_cnf_set(pin, gpio_status[pin].cnf);
      gpio_status[pin].saved = false;
    }
  }
}

// ---------------------------------------------------------------- PWM ----
// No PWM port is opened in these images: sleep has nothing to stop.
void uhal_pwm_suspend(void) {}
void uhal_pwm_resume(void) {}

// ---------------------------------------------------------------- SPI ----
// No SPI port is opened in these images; the serial-interface instances are
// power-cycled over sleep.
void uhal_spimst_suspend(void) {
  NRF_PERIPHERAL_POWER_Type *const instances[] = {NRF_SERIAL0_POWER, NRF_SERIAL1_POWER,
                                                  NRF_SERIAL2_POWER};
  for (NRF_PERIPHERAL_POWER_Type *p : instances) {
    p->POWER = 0;
    (void)p->POWER;
    p->POWER = 1;
  }
}
void uhal_spimst_resume(void) {}

// ---------------------------------------------------------------- I2C ----
// The I2C masters are not modelled on the simulated chip: a port is marked
// open, and a transfer finds no device (not acknowledged).
namespace {
bool twimst_status[UDRV_TWIMST_MAX];
void twim_init(udrv_twimst_port port) {
  if (port < UDRV_TWIMST_MAX) {
    twimst_status[port] = true;
  }
}
int32_t twim_deinit(udrv_twimst_port port) {
  if (port < UDRV_TWIMST_MAX) {
    twimst_status[port] = false;
  }
  return 0;
}
void twim_setup_freq(udrv_twimst_port, uint32_t) {}
int32_t twim_write(udrv_twimst_port port, uint8_t, uint8_t const *, uint16_t, bool) {
  return port == UDRV_TWIMST_0 && twimst_status[port] ? -UDRV_NACK : -UDRV_INTERNAL_ERR;
}
int32_t twim_read(udrv_twimst_port port, uint8_t, uint8_t *, uint16_t) {
  if (port != UDRV_TWIMST_0) {
    return -UDRV_WRONG_ARG;
  }
  return -UDRV_NACK;
}
void twim_suspend(void) {}
void twim_resume(void) {}
}  // namespace

udrv_twimst_api twimst_driver = {twim_init, twim_deinit,  twim_setup_freq, twim_write,
                                 twim_read, twim_suspend, twim_resume};

// ---------------------------------------------------------------- ADC ----
UDRV_ADC_RESOLUTION uhal_adc_get_resolution(void) { return UDRV_ADC_RESOLUTION_10BIT; }
UDRV_ADC_MODE uhal_adc_get_mode(void) { return UDRV_ADC_MODE_DEFAULT; }

int32_t uhal_adc_read(uint32_t pin, int16_t *value) {
  static const nrfx_saadc_config_t config = {NRF_SAADC_RESOLUTION_10BIT, 0, 6, false};
  APP_ERROR_CHECK(nrfx_saadc_init(&config, nullptr));
  nrf_saadc_input_t input;
  switch (pin) {
    case NRF_PIN(0, 2):
      input = NRF_SAADC_INPUT_AIN0;
      break;
    case NRF_PIN(0, 3):
      input = NRF_SAADC_INPUT_AIN1;
      break;
    case NRF_PIN(0, 4):
      input = NRF_SAADC_INPUT_AIN2;
      break;
    case NRF_PIN(0, 5):
      input = NRF_SAADC_INPUT_AIN3;
      break;
    case NRF_PIN(0, 28):
      input = NRF_SAADC_INPUT_AIN4;
      break;
    case NRF_PIN(0, 29):
      input = NRF_SAADC_INPUT_AIN5;
      break;
    case NRF_PIN(0, 30):
      input = NRF_SAADC_INPUT_AIN6;
      break;
    case NRF_PIN(0, 31):
      input = NRF_SAADC_INPUT_AIN7;
      break;
    case 255:
      input = NRF_SAADC_INPUT_VDD;
      break;
    default:
      input = NRF_SAADC_INPUT_DISABLED;
      break;
  }
  const nrf_saadc_channel_config_t channel = {
      NRF_SAADC_GAIN1_6,           NRF_SAADC_REFERENCE_INTERNAL, NRF_SAADC_ACQTIME_10US,
      NRF_SAADC_MODE_SINGLE_ENDED, NRF_SAADC_BURST_DISABLED,     input,
      NRF_SAADC_INPUT_DISABLED};
  APP_ERROR_CHECK(nrfx_saadc_channel_init(0, &channel));
  nrf_saadc_value_t sample = 0;
  nrfx_err_t ret = nrfx_saadc_sample_convert(0, &sample);
  (void)nrfx_saadc_channel_uninit(0);
  nrfx_saadc_uninit();
  if (ret != NRFX_SUCCESS) {
    return -UDRV_BUSY;
  }
  *value = sample < 0 ? 0 : sample;
  return 0;
}

void uhal_adc_suspend(void) {}
void uhal_adc_resume(void) {}

// Rows of the board's battery table (41 rows, 2.0 V to 6.0 V).
uint32_t get_batt_table_size(void) { return 41; }
