// GPIO ports and the EXTI lines 0 to 15 on the simulated pins.
#include "internal.h"
#include "sim/model.h"

extern "C" {
alignas(0x400) GPIO_TypeDef stm32_gpio_ports[3] = {};
}

namespace stm32sim {
namespace detail {
namespace {

constexpr int kPorts = 3;

struct ExtiLine {
  int port = -1;  // source port of the line, -1 none
  bool rising = false;
  bool falling = false;
};

struct Gpio {
  ExtiLine lines[16];
  uint32_t pending = 0;
  bool edge_handler_set = false;
};

Gpio& gpio() {
  static Gpio g;
  return g;
}

int port_index(const GPIO_TypeDef* port) {
  ptrdiff_t n = port - stm32_gpio_ports;
  return (n >= 0 && n < kPorts) ? static_cast<int>(n) : -1;
}

uint16_t pin_of(int port, int line) { return sim::pin_id(static_cast<char>('A' + port), line); }

uint32_t moder(const GPIO_TypeDef* p, int line) { return (p->MODER >> (2 * line)) & 3u; }

IRQn_Type line_irq(int line) {
  if (line <= 4) return static_cast<IRQn_Type>(EXTI0_IRQn + line);
  return line <= 9 ? EXTI9_5_IRQn : EXTI15_10_IRQn;
}

uint32_t group_mask(int line) {
  if (line <= 4) return 1u << line;
  return line <= 9 ? 0x03E0u : 0xFC00u;
}

void on_edge(void*, uint16_t pin, int level) {
  Gpio& g = gpio();
  int port = pin >> 4;
  int line = pin & 15;
  const ExtiLine& l = g.lines[line];
  if (port >= kPorts || l.port != port) return;
  // An analogue pin has its input trigger switched off.
  if (moder(&stm32_gpio_ports[port], line) == 3) return;
  if ((level && l.rising) || (!level && l.falling)) {
    g.pending |= 1u << line;
    sim::irq_set_pending(sim_irq(line_irq(line)));
  }
}

void drive(int port, int line) {
  const GPIO_TypeDef* p = &stm32_gpio_ports[port];
  if (moder(p, line) == 1) sim::pin_output(pin_of(port, line), (p->ODR >> line) & 1u);
}

}  // namespace

void gpio_reset() {
  gpio() = Gpio{};
  for (auto& p : stm32_gpio_ports) {
    p.MODER = 0xFFFFFFFFu;  // analogue after reset
    p.OTYPER = 0;
    p.OSPEEDR = 0;
    p.PUPDR = 0;
    p.ODR = 0;
    p.AFR[0] = p.AFR[1] = 0;
  }
}

}  // namespace detail
}  // namespace stm32sim

using namespace stm32sim;
using namespace stm32sim::detail;

stm32_gpio_idr::operator uint32_t() const {
  const auto* p = reinterpret_cast<const GPIO_TypeDef*>(reinterpret_cast<const uint8_t*>(this) -
                                                        offsetof(GPIO_TypeDef, IDR));
  int port = port_index(p);
  if (port < 0) return 0;
  uint32_t v = 0;
  for (int line = 0; line < 16; ++line) {
    uint32_t m = moder(p, line);
    int level = m == 1 ? static_cast<int>((p->ODR >> line) & 1u)
                       : (m == 3 ? 0 : sim::pin_input(pin_of(port, line)));
    v |= static_cast<uint32_t>(level) << line;
  }
  return v;
}

extern "C" {

void HAL_GPIO_Init(GPIO_TypeDef* port, GPIO_InitTypeDef* init) {
  int pi = port_index(port);
  if (pi < 0 || !init) return;
  Gpio& g = gpio();
  if (!g.edge_handler_set) {
    sim::pin_set_edge_handler(on_edge, nullptr);
    g.edge_handler_set = true;
  }
  for (int line = 0; line < 16; ++line) {
    if (!(init->Pin & (1u << line))) continue;
    uint32_t mode = init->Mode & 3u;
    port->MODER = (port->MODER & ~(3u << (2 * line))) | (mode << (2 * line));
    port->OTYPER = (port->OTYPER & ~(1u << line)) | (((init->Mode >> 4) & 1u) << line);
    port->OSPEEDR = (port->OSPEEDR & ~(3u << (2 * line))) | ((init->Speed & 3u) << (2 * line));
    port->PUPDR = (port->PUPDR & ~(3u << (2 * line))) | ((init->Pull & 3u) << (2 * line));
    uint32_t& afr = port->AFR[line / 8];
    int shift = 4 * (line % 8);
    afr = (afr & ~(0xFu << shift)) | ((init->Alternate & 0xFu) << shift);
    // The EXTI line follows an interrupt mode; any other mode leaves the
    // line's selection and edges as they are (only a de-initialisation of
    // the source pin releases the line).
    if (init->Mode & 0x00010000u) {
      ExtiLine& l = g.lines[line];
      l.port = pi;
      l.rising = (init->Mode & 0x00100000u) != 0;
      l.falling = (init->Mode & 0x00200000u) != 0;
    }
    drive(pi, line);
  }
}

void HAL_GPIO_DeInit(GPIO_TypeDef* port, uint32_t pins) {
  int pi = port_index(port);
  if (pi < 0) return;
  for (int line = 0; line < 16; ++line) {
    if (!(pins & (1u << line))) continue;
    port->MODER |= 3u << (2 * line);
    port->OTYPER &= ~(1u << line);
    port->OSPEEDR &= ~(3u << (2 * line));
    port->PUPDR &= ~(3u << (2 * line));
    port->AFR[line / 8] &= ~(0xFu << (4 * (line % 8)));
    ExtiLine& l = gpio().lines[line];
    if (l.port == pi) l = ExtiLine{};
  }
}

GPIO_PinState HAL_GPIO_ReadPin(GPIO_TypeDef* port, uint16_t pin) {
  return (static_cast<uint32_t>(port->IDR) & pin) ? GPIO_PIN_SET : GPIO_PIN_RESET;
}

void HAL_GPIO_WritePin(GPIO_TypeDef* port, uint16_t pin, GPIO_PinState state) {
  int pi = port_index(port);
  if (pi < 0) return;
  if (state == GPIO_PIN_RESET) {
    port->ODR &= ~static_cast<uint32_t>(pin);
  } else {
    port->ODR |= pin;
  }
  for (int line = 0; line < 16; ++line)
    if (pin & (1u << line)) drive(pi, line);
}

void HAL_GPIO_TogglePin(GPIO_TypeDef* port, uint16_t pin) {
  int pi = port_index(port);
  if (pi < 0) return;
  port->ODR ^= pin;
  for (int line = 0; line < 16; ++line)
    if (pin & (1u << line)) drive(pi, line);
}

void HAL_GPIO_EXTI_IRQHandler(uint16_t pin) {
  Gpio& g = gpio();
  if (!(g.pending & pin)) return;
  g.pending &= ~static_cast<uint32_t>(pin);
  // Lines of a shared vector that are still pending raise it again.
  for (int line = 0; line < 16; ++line) {
    if (pin & (1u << line)) {
      if (g.pending & group_mask(line)) sim::irq_set_pending(sim_irq(line_irq(line)));
      break;
    }
  }
  HAL_GPIO_EXTI_Callback(pin);
}

__weak void HAL_GPIO_EXTI_Callback(uint16_t) {}

uint32_t stm32_exti_pending(uint32_t lines) { return gpio().pending & lines; }
void stm32_exti_clear(uint32_t lines) { gpio().pending &= ~lines; }

}  // extern "C"

// The peripheral back to its power-on state on reset_platform().
SIM_MODEL(stm32_gpio, {.name = "stm32.gpio", .on_reset = stm32sim::detail::gpio_reset});
