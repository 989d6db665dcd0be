// GPIO pins with their PIN_CNF words, GPIOTE pin-change interrupts and the
// SAADC on the simulated pins and analogue inputs.
#include <cmath>
#include <cstdio>

#include "internal.h"
#include "nrf_gpio.h"
#include "nrfx_gpiote.h"
#include "nrfx_saadc.h"
#include "sim/model.h"

namespace nrfsim::detail {
namespace {

struct Gpiote {
  bool init = false;
  struct In {
    bool on = false;
    bool irq = false;
    nrf_gpiote_polarity_t sense = NRF_GPIOTE_POLARITY_TOGGLE;
    nrfx_gpiote_evt_handler_t handler = nullptr;
    bool pending = false;
  } in[NRF_GPIO_PIN_COUNT];
};

Gpiote& gpiote() {
  static Gpiote g;
  return g;
}

struct Saadc {
  bool init = false;
  bool channel_on = false;
  nrf_saadc_input_t input = NRF_SAADC_INPUT_DISABLED;
};

Saadc& saadc() {
  static Saadc s;
  return s;
}

uint32_t& cnf(uint32_t pin) { return pin < 32 ? nrf_p0.PIN_CNF[pin] : nrf_p1.PIN_CNF[pin - 32]; }

void gpiote_isr() {
  Gpiote& g = gpiote();
  for (uint32_t p = 0; p < NRF_GPIO_PIN_COUNT; ++p) {
    auto& in = g.in[p];
    if (!in.pending) continue;
    in.pending = false;
    if (in.on && in.irq && in.handler) in.handler(p, in.sense);
  }
}

void on_edge(void*, uint16_t pin, int level) {
  Gpiote& g = gpiote();
  if (pin >= NRF_GPIO_PIN_COUNT) return;
  auto& in = g.in[pin];
  if (!in.on) return;
  bool fits = in.sense == NRF_GPIOTE_POLARITY_TOGGLE ||
              (in.sense == NRF_GPIOTE_POLARITY_LOTOHI && level) ||
              (in.sense == NRF_GPIOTE_POLARITY_HITOLO && !level);
  if (!fits) return;
  in.pending = true;
  if (in.irq) raise(GPIOTE_IRQn);
  sim::signal_change();
}

void gpio_reset() {
  gpiote() = Gpiote{};
  saadc() = Saadc{};
  sim::pin_set_edge_handler(on_edge, nullptr);
}

}  // namespace
}  // namespace nrfsim::detail

using namespace nrfsim::detail;

SIM_MODEL(nrf52840_gpio, {.name = "nrf52840.gpio", .on_reset = gpio_reset});

// ------------------------------------------------------------------ GPIO --
void nrf_gpio_cfg_output(uint32_t pin) {
  pin_index(pin);
  cnf(pin) = 1u | (1u << GPIO_PIN_CNF_INPUT_Pos);
}
void nrf_gpio_cfg_input(uint32_t pin, nrf_gpio_pin_pull_t pull) {
  pin_index(pin);
  cnf(pin) = static_cast<uint32_t>(pull) << GPIO_PIN_CNF_PULL_Pos;
}
void nrf_gpio_cfg_default(uint32_t pin) {
  pin_index(pin);
  cnf(pin) = 1u << GPIO_PIN_CNF_INPUT_Pos;
}
void nrf_gpio_cfg_sense_input(uint32_t pin, nrf_gpio_pin_pull_t pull, nrf_gpio_pin_sense_t sense) {
  pin_index(pin);
  cnf(pin) = (static_cast<uint32_t>(pull) << GPIO_PIN_CNF_PULL_Pos) |
             (static_cast<uint32_t>(sense) << GPIO_PIN_CNF_SENSE_Pos);
}
void nrf_gpio_pin_set(uint32_t pin) { sim::pin_output(pin_index(pin), 1); }
void nrf_gpio_pin_clear(uint32_t pin) { sim::pin_output(pin_index(pin), 0); }
void nrf_gpio_pin_write(uint32_t pin, uint32_t value) {
  sim::pin_output(pin_index(pin), value ? 1 : 0);
}
uint32_t nrf_gpio_pin_read(uint32_t pin) {
  uint16_t i = pin_index(pin);
  if (cnf(pin) & (1u << GPIO_PIN_CNF_INPUT_Pos)) return 0;  // buffer disconnected
  if (cnf(pin) & 1u) return static_cast<uint32_t>(sim::pin_output_level(i));
  return static_cast<uint32_t>(sim::pin_input(i));
}
uint32_t nrf_gpio_pin_out_read(uint32_t pin) {
  return static_cast<uint32_t>(sim::pin_output_level(pin_index(pin)));
}
uint32_t nrf_gpio_pin_cnf_get(uint32_t pin) {
  pin_index(pin);
  return cnf(pin);
}
void nrf_gpio_pin_cnf_set(uint32_t pin, uint32_t value) {
  pin_index(pin);
  cnf(pin) = value;
}

// ---------------------------------------------------------------- GPIOTE --
nrfx_err_t nrfx_gpiote_init(void) {
  Gpiote& g = gpiote();
  if (g.init) return NRFX_ERROR_INVALID_STATE;
  if (injected_failure("nrfx_gpiote_init")) return NRFX_ERROR_INTERNAL;
  g.init = true;
  install_isr(GPIOTE_IRQn, gpiote_isr, 6);
  sim::pin_set_edge_handler(on_edge, nullptr);
  return NRFX_SUCCESS;
}
bool nrfx_gpiote_is_init(void) { return gpiote().init; }
void nrfx_gpiote_uninit(void) { gpiote() = Gpiote{}; }

nrfx_err_t nrfx_gpiote_in_init(nrfx_gpiote_pin_t pin, nrfx_gpiote_in_config_t const* cfg,
                               nrfx_gpiote_evt_handler_t handler) {
  Gpiote& g = gpiote();
  pin_index(pin);
  if (!g.init) return NRFX_ERROR_INVALID_STATE;
  if (g.in[pin].on) return NRFX_ERROR_INVALID_STATE;
  g.in[pin] = Gpiote::In{true, false, cfg->sense, handler, false};
  if (!cfg->skip_gpio_setup) nrf_gpio_cfg_input(pin, cfg->pull);
  return NRFX_SUCCESS;
}
void nrfx_gpiote_in_uninit(nrfx_gpiote_pin_t pin) {
  pin_index(pin);
  gpiote().in[pin] = Gpiote::In{};
}
void nrfx_gpiote_in_event_enable(nrfx_gpiote_pin_t pin, bool int_enable) {
  pin_index(pin);
  gpiote().in[pin].irq = int_enable;
}
void nrfx_gpiote_in_event_disable(nrfx_gpiote_pin_t pin) {
  pin_index(pin);
  gpiote().in[pin].irq = false;
}

// ----------------------------------------------------------------- SAADC --
nrfx_err_t nrfx_saadc_init(nrfx_saadc_config_t const*, nrfx_saadc_event_handler_t) {
  Saadc& s = saadc();
  if (s.init) return NRFX_ERROR_INVALID_STATE;
  s.init = true;
  return NRFX_SUCCESS;
}
void nrfx_saadc_uninit(void) { saadc() = Saadc{}; }
nrfx_err_t nrfx_saadc_channel_init(uint8_t channel, nrf_saadc_channel_config_t const* cfg) {
  Saadc& s = saadc();
  if (!s.init || channel != 0) return NRFX_ERROR_INVALID_PARAM;
  s.channel_on = true;
  s.input = cfg->pin_p;
  return NRFX_SUCCESS;
}
nrfx_err_t nrfx_saadc_channel_uninit(uint8_t) {
  saadc().channel_on = false;
  return NRFX_SUCCESS;
}

// A 10-bit conversion over the 3.6 V full scale (gain 1/6, 0.6 V reference),
// to the nearest step; an input that is not connected reads 0.
nrfx_err_t nrfx_saadc_sample_convert(uint8_t, nrf_saadc_value_t* p_value) {
  Saadc& s = saadc();
  if (!s.init || !s.channel_on) return NRFX_ERROR_INVALID_STATE;
  static const uint32_t kAinPin[8] = {2, 3, 4, 5, 28, 29, 30, 31};
  uint32_t mv = 0;
  if (s.input == NRF_SAADC_INPUT_VDD) {
    mv = sim::analog_mv("VDD");
  } else if (s.input >= NRF_SAADC_INPUT_AIN0 && s.input <= NRF_SAADC_INPUT_AIN7) {
    char name[8];
    std::snprintf(name, sizeof name, "P0.%02u", kAinPin[s.input - NRF_SAADC_INPUT_AIN0]);
    mv = sim::analog_mv(name);
  }
  sim::cpu_spend(12);
  long code = std::lround(mv * 1024.0 / 3600.0);
  if (code > 1023) code = 1023;
  *p_value = static_cast<nrf_saadc_value_t>(code);
  return NRFX_SUCCESS;
}
