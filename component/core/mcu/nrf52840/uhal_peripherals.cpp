// GPIO, PWM, SPI, I2C and ADC of the nRF52840 images, the pin state kept
// over sleep and the battery table's size.
#include <string.h>

#include "nrf52840_port.h"
#include "nrf_drv_twi.h"
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
// No SPI port is opened in these images. Where the board's sleep has SPI
// steps the serial-interface instances are power-cycled over sleep; the
// tracker board has none (its I2C masters live in those instances).
void uhal_spimst_suspend(void) {
#if QIV_CHIP_SLEEP_SPI_STEPS
  NRF_PERIPHERAL_POWER_Type *const instances[] = {NRF_SERIAL0_POWER, NRF_SERIAL1_POWER,
                                                  NRF_SERIAL2_POWER};
  for (NRF_PERIPHERAL_POWER_Type *p : instances) {
    p->POWER = 0;
    (void)p->POWER;
    p->POWER = 1;
  }
#endif
}
void uhal_spimst_resume(void) {}

// ---------------------------------------------------------------- I2C ----
// The board's I2C masters: port n is TWIMn on the board's pins, 400 kHz
// unless set otherwise, each with its own transfer-done flag and last
// transfer status (set by its event handler). The other ports are only
// marked open: no hardware stands behind them.
namespace {

constexpr uint32_t kChipTwims = 2;
const nrf_drv_twi_t kTwi[kChipTwims] = {NRF_DRV_TWI_INSTANCE(0), NRF_DRV_TWI_INSTANCE(1)};
constexpr uint32_t kTwimCount = BOARD_TWIM_COUNT;
static_assert(kTwimCount <= kChipTwims, "TWIM instances of the chip");
const uint32_t kTwimScl[kTwimCount] = BOARD_TWIM_SCL_PINS;
const uint32_t kTwimSda[kTwimCount] = BOARD_TWIM_SDA_PINS;

bool twimst_status[UDRV_TWIMST_MAX];
nrf_drv_twi_frequency_t twi_freq[kChipTwims];
volatile bool twi_xfer_done[kChipTwims];
volatile nrf_drv_twi_evt_type_t twi_xfer_status[kChipTwims];

// A transfer's end (interrupt context).
void twi_event(uint32_t n, nrf_drv_twi_evt_t const *p_event) {
  twi_xfer_status[n] = p_event->type;
  twi_xfer_done[n] = true;
}
void twi0_event_handler(nrf_drv_twi_evt_t const *p_event, void *) { twi_event(0, p_event); }
void twi1_event_handler(nrf_drv_twi_evt_t const *p_event, void *) { twi_event(1, p_event); }
const nrf_drv_twi_evt_handler_t kTwiHandler[kChipTwims] = {twi0_event_handler, twi1_event_handler};

bool has_hardware(udrv_twimst_port port) { return port < kTwimCount; }

struct TwimDefaults {
  TwimDefaults() {
    for (uint32_t n = 0; n < kChipTwims; n++) {
      twi_freq[n] = NRF_DRV_TWI_FREQ_400K;
      twi_xfer_done[n] = true;
      twi_xfer_status[n] = NRF_DRV_TWI_EVT_DONE;
    }
  }
} twim_defaults;

void open_twim(uint32_t n) {
  const nrf_drv_twi_config_t config = {kTwimScl[n], kTwimSda[n], twi_freq[n], 2, false, false};
  APP_ERROR_CHECK(nrf_drv_twi_init(&kTwi[n], &config, kTwiHandler[n], nullptr));
  nrf_drv_twi_enable(&kTwi[n]);
}

void close_twim(uint32_t n) {
  nrf_drv_twi_disable(&kTwi[n]);
  nrf_drv_twi_uninit(&kTwi[n]);
}

void wait_done(uint32_t n) {
  while (!twi_xfer_done[n]) {
    port_wait();
  }
}

void twim_init(udrv_twimst_port port) {
  if (port >= UDRV_TWIMST_MAX) {
    return;
  }
  if (has_hardware(port) && !twimst_status[port]) {
    open_twim(port);
  }
  twimst_status[port] = true;
}

int32_t twim_deinit(udrv_twimst_port port) {
  if (port >= UDRV_TWIMST_MAX) {
    return -UDRV_WRONG_ARG;
  }
  if (has_hardware(port) && twimst_status[port]) {
    close_twim(port);
  }
  twimst_status[port] = false;
  return 0;
}

void twim_setup_freq(udrv_twimst_port port, uint32_t hz) {
  if (!has_hardware(port)) {
    return;
  }
  twi_freq[port] = hz <= 100000   ? NRF_DRV_TWI_FREQ_100K
                   : hz <= 250000 ? NRF_DRV_TWI_FREQ_250K
                                  : NRF_DRV_TWI_FREQ_400K;
  if (twimst_status[port]) {
    close_twim(port);
    open_twim(port);
  }
}

// A write; without `send_stop` the bus is held for a repeated start. Not
// acknowledged: -4; anything else failing: -7.
int32_t twim_write(udrv_twimst_port port, uint8_t address, uint8_t const *data, uint16_t len,
                   bool send_stop) {
  if (!has_hardware(port) || !twimst_status[port] || len > 255) {
    return -UDRV_INTERNAL_ERR;
  }
  twi_xfer_done[port] = false;
  if (nrf_drv_twi_tx(&kTwi[port], address, data, static_cast<uint8_t>(len), !send_stop) !=
      NRF_SUCCESS) {
    twi_xfer_done[port] = true;
    return -UDRV_INTERNAL_ERR;
  }
  wait_done(port);
  switch (twi_xfer_status[port]) {
    case NRF_DRV_TWI_EVT_DONE:
      return 0;
    case NRF_DRV_TWI_EVT_ADDRESS_NACK:
    case NRF_DRV_TWI_EVT_DATA_NACK:
      return -UDRV_NACK;
  }
  return -UDRV_INTERNAL_ERR;
}

// A read: -3 on a port without hardware, -4 while a transfer still runs or
// when not acknowledged; a read the driver refuses to start is fatal.
int32_t twim_read(udrv_twimst_port port, uint8_t address, uint8_t *data, uint16_t len) {
  if (!has_hardware(port)) {
    return -UDRV_WRONG_ARG;
  }
  if (!twi_xfer_done[port]) {
    return -UDRV_NACK;
  }
  if (!twimst_status[port] || len > 255) {
    return -UDRV_INTERNAL_ERR;
  }
  twi_xfer_done[port] = false;
  APP_ERROR_CHECK(nrf_drv_twi_rx(&kTwi[port], address, data, static_cast<uint8_t>(len)));
  wait_done(port);
  return twi_xfer_status[port] == NRF_DRV_TWI_EVT_DONE ? 0 : -UDRV_NACK;
}

void twim_suspend(void) {
  for (uint32_t n = 0; n < kTwimCount; n++) {
    if (twimst_status[n]) {
      close_twim(n);
    }
  }
}

void twim_resume(void) {
  for (uint32_t n = 0; n < kTwimCount; n++) {
    if (twimst_status[n]) {
      open_twim(n);
    }
  }
}

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
