// Pads of the simulated Apollo3: configuration words, output latches, input
// levels (from outside or from a device on the board), edge interrupts with
// a 64-bit status on one NVIC line (GPIO_IRQn).
#include <vector>

#include "internal.h"
#include "sim/model.h"

extern "C" {
const am_hal_gpio_pincfg_t g_AM_HAL_GPIO_DISABLE = am_hal_gpio_pincfg_from_word(3u);
const am_hal_gpio_pincfg_t g_AM_HAL_GPIO_DEFAULT = am_hal_gpio_pincfg_from_word(3u);
const am_hal_gpio_pincfg_t g_AM_HAL_GPIO_OUTPUT = [] {
  am_hal_gpio_pincfg_t c = am_hal_gpio_pincfg_from_word(0);
  c.uFuncSel = AM_HAL_GPIO_FUNC_GPIO;
  c.eGPOutcfg = AM_HAL_GPIO_PIN_OUTCFG_PUSHPULL;
  c.eIntDir = AM_HAL_GPIO_PIN_INTDIR_NONE;
  return c;
}();
const am_hal_gpio_pincfg_t g_AM_HAL_GPIO_OUTPUT_12 = [] {
  am_hal_gpio_pincfg_t c = g_AM_HAL_GPIO_OUTPUT;
  c.eDriveStrength = AM_HAL_GPIO_PIN_DRIVESTRENGTH_12MA;
  return c;
}();
const am_hal_gpio_pincfg_t g_AM_HAL_GPIO_INPUT = [] {
  am_hal_gpio_pincfg_t c = am_hal_gpio_pincfg_from_word(0);
  c.uFuncSel = AM_HAL_GPIO_FUNC_GPIO;
  c.eGPInput = AM_HAL_GPIO_PIN_INPUT_ENABLE;
  c.eIntDir = AM_HAL_GPIO_PIN_INTDIR_NONE;
  return c;
}();
const am_hal_gpio_pincfg_t g_AM_HAL_GPIO_INPUT_PULLUP = [] {
  am_hal_gpio_pincfg_t c = g_AM_HAL_GPIO_INPUT;
  c.ePullup = AM_HAL_GPIO_PIN_PULLUP_WEAK;
  return c;
}();
}

namespace apollo3sim {
namespace detail {
namespace {

struct Pad {
  uint32_t word = 3;  // parked
  int out = 0;        // output latch
  int level = 0;      // line level last seen (for edges)
  const PadSource* source = nullptr;
  am_hal_gpio_handler_t handler = nullptr;
  sim::time_us last_read = sim::kNever;
  int last_value = -1;
};

struct Gpio {
  Pad pad[kPads];
  uint64_t status = 0;
  uint64_t enable = 0;
  std::vector<PadOutputFn> watchers;
};

Gpio& g() {
  static Gpio s;
  return s;
}

am_hal_gpio_pincfg_t cfg(int pad) { return am_hal_gpio_pincfg_from_word(g().pad[pad].word); }

bool is_gpio(int pad) { return cfg(pad).uFuncSel == AM_HAL_GPIO_FUNC_GPIO; }

bool drives(int pad) {
  const am_hal_gpio_pincfg_t c = cfg(pad);
  return c.uFuncSel == AM_HAL_GPIO_FUNC_GPIO && (c.eGPOutcfg == AM_HAL_GPIO_PIN_OUTCFG_PUSHPULL ||
                                                 c.eGPOutcfg == AM_HAL_GPIO_PIN_OUTCFG_OPENDRAIN);
}

// The line's level as an input sees it: a device's source, else the level
// from outside; a pull-up with nothing driving reads high.
int line_level(int pad) {
  const Pad& p = g().pad[pad];
  if (p.source) return p.source->level() ? 1 : 0;
  return sim::pin_input(static_cast<uint16_t>(pad));
}

void update_line() {
  if (g().status & g().enable) sim::irq_set_pending(GPIO_IRQn);
}

// An edge of the line reaches the interrupt logic of a GPIO input.
void edge(int pad, int level) {
  Pad& p = g().pad[pad];
  const int old = p.level;
  p.level = level;
  if (old == level || !is_gpio(pad)) return;
  const am_hal_gpio_pincfg_t c = cfg(pad);
  if (c.eGPInput != AM_HAL_GPIO_PIN_INPUT_ENABLE) return;
  const bool rising = level == 1;
  bool hit = false;
  switch (c.eIntDir) {
    case AM_HAL_GPIO_PIN_INTDIR_LO2HI:
      hit = rising;
      break;
    case AM_HAL_GPIO_PIN_INTDIR_HI2LO:
      hit = !rising;
      break;
    case AM_HAL_GPIO_PIN_INTDIR_BOTH:
      hit = true;
      break;
    default:
      break;
  }
  if (!hit) return;
  g().status |= AM_HAL_GPIO_BIT(pad);
  update_line();
}

void on_sim_edge(void*, uint16_t pin, int level) {
  if (pin < kPads && !g().pad[pin].source) edge(pin, level);
}

void gpio_reset() {
  Gpio& s = g();
  std::vector<PadOutputFn> watchers = std::move(s.watchers);
  std::vector<const PadSource*> sources;
  for (const Pad& p : s.pad) sources.push_back(p.source);
  s = Gpio{};
  s.watchers = std::move(watchers);
  for (int n = 0; n < kPads; ++n) {
    s.pad[n].source = sources[static_cast<size_t>(n)];
    s.pad[n].level = line_level(n);
  }
  sim::pin_set_edge_handler(on_sim_edge, nullptr);
}

void set_out(int pad, int level) {
  Pad& p = g().pad[pad];
  p.out = level ? 1 : 0;
  if (!drives(pad)) return;
  sim::pin_output(static_cast<uint16_t>(pad), p.out);
  for (PadOutputFn fn : g().watchers) fn(pad, p.out);
}

}  // namespace

void pad_watch_output(PadOutputFn fn) { g().watchers.push_back(fn); }

void pad_set_source(int pad, const PadSource* source) {
  g().pad[pad].source = source;
  g().pad[pad].level = line_level(pad);
}

uint32_t pad_function(int pad) { return cfg(pad).uFuncSel; }

void pad_external_edge(int pad, int level) { edge(pad, level); }

// A device's line changed (DIO1): as the pad sees it.
void pad_source_changed(int pad) { edge(pad, line_level(pad)); }

}  // namespace detail

uint32_t pad_config(int pad) {
  return pad >= 0 && pad < detail::kPads ? detail::g().pad[pad].word : 0;
}
uint64_t gpio_int_status() { return detail::g().status; }
uint64_t gpio_int_enabled() { return detail::g().enable; }

}  // namespace apollo3sim

SIM_MODEL(apollo3_gpio, {.name = "apollo3.gpio", .on_reset = apollo3sim::detail::gpio_reset});

using namespace apollo3sim;
using namespace apollo3sim::detail;

extern "C" {

uint32_t am_hal_gpio_pinconfig(uint32_t pad, am_hal_gpio_pincfg_t config) {
  if (pad >= static_cast<uint32_t>(kPads)) return AM_HAL_STATUS_OUT_OF_RANGE;
  const int n = static_cast<int>(pad);
  Pad& p = g().pad[n];
  p.word = am_hal_gpio_pincfg_word(config);
  p.level = line_level(n);
  if (drives(n)) set_out(n, p.out);
  uart_pad_changed(n);
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_gpio_state_write(uint32_t pad, am_hal_gpio_write_type_e type) {
  if (pad >= static_cast<uint32_t>(kPads)) return AM_HAL_STATUS_OUT_OF_RANGE;
  const int n = static_cast<int>(pad);
  Pad& p = g().pad[n];
  switch (type) {
    case AM_HAL_GPIO_OUTPUT_CLEAR:
      set_out(n, 0);
      break;
    case AM_HAL_GPIO_OUTPUT_SET:
      set_out(n, 1);
      break;
    case AM_HAL_GPIO_OUTPUT_TOGGLE:
      set_out(n, !p.out);
      break;
    case AM_HAL_GPIO_OUTPUT_TRISTATE_DISABLE:
    case AM_HAL_GPIO_OUTPUT_TRISTATE_ENABLE:
      break;
    default:
      return AM_HAL_STATUS_INVALID_ARG;
  }
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_gpio_state_read(uint32_t pad, am_hal_gpio_read_type_e type, uint32_t* value) {
  if (pad >= static_cast<uint32_t>(kPads) || !value) return AM_HAL_STATUS_INVALID_ARG;
  const int n = static_cast<int>(pad);
  Pad& p = g().pad[n];
  switch (type) {
    case AM_HAL_GPIO_OUTPUT_READ:
      *value = static_cast<uint32_t>(p.out);
      return AM_HAL_STATUS_SUCCESS;
    case AM_HAL_GPIO_ENABLE_READ:
      *value = drives(n) ? 1u : 0u;
      return AM_HAL_STATUS_SUCCESS;
    case AM_HAL_GPIO_INPUT_READ:
      break;
    default:
      return AM_HAL_STATUS_INVALID_ARG;
  }
  // An input with the read-zero option or disabled input reads 0.
  const am_hal_gpio_pincfg_t c = cfg(n);
  int level = line_level(n);
  if (c.uFuncSel == AM_HAL_GPIO_FUNC_GPIO && c.eGPInput != AM_HAL_GPIO_PIN_INPUT_ENABLE &&
      !drives(n))
    level = 0;
  if (drives(n) && !p.source) level = p.out;
  // Polled again at the same time with the same answer: the CPU goes round
  // its loop, so time moves (to the line's own next change when a device
  // drives it, in small steps otherwise).
  if (p.last_read == sim::now() && p.last_value == level) {
    sim::time_us step = 10;
    if (p.source) {
      const sim::time_us next = p.source->next_change();
      if (next != sim::kNever && next > sim::now()) step = next - sim::now();
    }
    poll_wait(sim::now() + step);
    level = line_level(n);
    if (drives(n) && !p.source) level = p.out;
  }
  p.last_read = sim::now();
  p.last_value = level;
  *value = static_cast<uint32_t>(level);
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_gpio_input_read(uint32_t pad) {
  uint32_t v = 0;
  am_hal_gpio_state_read(pad, AM_HAL_GPIO_INPUT_READ, &v);
  return v;
}

uint32_t am_hal_gpio_output_read(uint32_t pad) {
  uint32_t v = 0;
  am_hal_gpio_state_read(pad, AM_HAL_GPIO_OUTPUT_READ, &v);
  return v;
}

uint32_t am_hal_gpio_interrupt_enable(uint64_t mask) {
  g().enable |= mask;
  update_line();
  thread_point();
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_gpio_interrupt_disable(uint64_t mask) {
  g().enable &= ~mask;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_gpio_interrupt_clear(uint64_t mask) {
  g().status &= ~mask;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_gpio_interrupt_status_get(bool enabled_only, uint64_t* status) {
  if (!status) return AM_HAL_STATUS_INVALID_ARG;
  *status = enabled_only ? g().status & g().enable : g().status;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_gpio_interrupt_register(uint32_t pad, am_hal_gpio_handler_t handler) {
  if (pad >= static_cast<uint32_t>(kPads)) return AM_HAL_STATUS_OUT_OF_RANGE;
  g().pad[pad].handler = handler;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_gpio_interrupt_service(uint64_t status) {
  for (int n = 0; n < kPads; ++n) {
    if ((status & AM_HAL_GPIO_BIT(n)) && g().pad[n].handler) g().pad[n].handler();
  }
  return AM_HAL_STATUS_SUCCESS;
}

}  // extern "C"
