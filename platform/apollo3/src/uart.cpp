// UART0 and UART1 of the simulated Apollo3 (sim serial ports 0 and 1): a
// 32-byte receive FIFO with threshold and timeout interrupts, a 32-byte
// transmit FIFO that drains at the line rate with a transmit-complete
// interrupt, and the power and configuration states that decide whether a
// byte on the line is taken at all.
#include <deque>

#include "internal.h"
#include "sim/model.h"

namespace apollo3sim {
namespace detail {
namespace {

constexpr int kModules = 2;
constexpr size_t kFifo = 32;
constexpr int kRxPad[kModules] = {40, 43};
constexpr IRQn_Type kIrq[kModules] = {UART0_IRQn, UART1_IRQn};

struct Uart {
  int module = 0;
  UartState st{};
  uint32_t int_status = 0;
  std::deque<uint8_t> rx;
  std::deque<uint8_t> tx;  // front: on the line
  sim::EventId tx_event = 0;
  sim::EventId timeout_event = 0;
  bool listening = false;
};

Uart* uarts() {
  static Uart u[kModules];
  return u;
}

Uart* from_handle(void* handle) {
  for (int m = 0; m < kModules; ++m)
    if (handle == &uarts()[m] && uarts()[m].st.initialised) return &uarts()[m];
  return nullptr;
}

bool taking(const Uart& u) { return u.st.initialised && u.st.powered && u.st.configured; }

void update_irq(Uart& u) {
  if (u.int_status & u.st.int_enable) sim::irq_set_pending(kIrq[u.module]);
}

void raise(Uart& u, uint32_t bits) {
  u.int_status |= bits;
  update_irq(u);
}

size_t rx_threshold(const Uart& u) {
  switch ((u.st.fifo_levels >> 3) & 7u) {
    case 0:
      return 4;
    case 1:
      return 8;
    case 2:
      return 16;
    case 3:
      return 24;
    default:
      return 28;
  }
}

sim::time_us bit_time(const Uart& u) {
  const uint32_t baud = u.st.baud ? u.st.baud : 115200;
  return (1000000u + baud - 1) / baud;
}

void timeout_event(void* ctx, uint32_t) {
  Uart& u = *static_cast<Uart*>(ctx);
  u.timeout_event = 0;
  if (!u.rx.empty() && taking(u)) raise(u, AM_HAL_UART_INT_RX_TMOUT);
}

// The receive timeout: 32 bit times of silence with bytes waiting.
void arm_timeout(Uart& u) {
  if (u.timeout_event) sim::cancel(u.timeout_event);
  u.timeout_event = 0;
  if (!u.rx.empty())
    u.timeout_event = sim::schedule(sim::now() + 32 * bit_time(u), timeout_event, &u);
}

void line_high(void*, uint32_t pad) { sim::pin_set_input(static_cast<uint16_t>(pad), 1); }

void rx_byte(void* ctx, uint8_t byte) {
  Uart& u = *static_cast<Uart*>(ctx);
  if (!taking(u)) {
    // Nobody listens: the byte is lost, but its start bit pulls the RX pad
    // low, which a pad interrupt sees (the wake-up path).
    ++u.st.lost_off;
    const uint16_t pad = static_cast<uint16_t>(kRxPad[u.module]);
    sim::pin_set_input(pad, 0);
    sim::schedule(sim::now() + bit_time(u), line_high, nullptr, pad);
    return;
  }
  if (u.rx.size() >= kFifo) {
    ++u.st.overruns;
    raise(u, AM_HAL_UART_INT_OVER_RUN);
    return;
  }
  u.rx.push_back(byte);
  if (u.rx.size() >= rx_threshold(u)) raise(u, AM_HAL_UART_INT_RX);
  arm_timeout(u);
}

// The chip takes the line while the module is initialised, and while its
// RX pad is a GPIO input with an edge interrupt (the wake-up path); else
// nothing listens (a piped terminal then holds its bytes back).
void update_listening(Uart& u) {
  const am_hal_gpio_pincfg_t pad = am_hal_gpio_pincfg_from_word(pad_config(kRxPad[u.module]));
  const bool armed = pad.uFuncSel == AM_HAL_GPIO_FUNC_GPIO &&
                     pad.eGPInput == AM_HAL_GPIO_PIN_INPUT_ENABLE &&
                     pad.eIntDir != AM_HAL_GPIO_PIN_INTDIR_NONE;
  const bool listening = u.st.initialised || armed;
  if (listening == u.listening) return;
  u.listening = listening;
  sim::uart_set_rx_handler(u.module, listening ? rx_byte : nullptr, &u);
}

void start_next(Uart& u);

void tx_done_event(void* ctx, uint32_t) {
  Uart& u = *static_cast<Uart*>(ctx);
  u.tx_event = 0;
  if (!u.tx.empty()) u.tx.pop_front();
  if (u.tx.empty()) {
    raise(u, AM_HAL_UART_INT_TXCMP);
    sim::signal_change();
    return;
  }
  start_next(u);
  sim::signal_change();
}

// The byte at the front goes on the line now and leaves it one byte time
// later.
void start_next(Uart& u) {
  const uint8_t b = u.tx.front();
  sim::uart_write(u.module, &b, 1);
  ++u.st.tx_bytes;
  u.tx_event = sim::schedule(sim::now() + sim::uart_byte_time(u.module), tx_done_event, &u);
}

void push_tx(Uart& u, uint8_t b) {
  u.tx.push_back(b);
  if (u.tx.size() == 1) start_next(u);
}

void uart_reset() {
  for (int m = 0; m < kModules; ++m) {
    Uart& u = uarts()[m];
    if (u.tx_event) sim::cancel(u.tx_event);
    if (u.timeout_event) sim::cancel(u.timeout_event);
    u = Uart{};
    u.module = m;
    sim::uart_set_rx_handler(m, nullptr, nullptr);
    // An idle serial line is high.
    sim::pin_set_input(static_cast<uint16_t>(kRxPad[m]), 1);
  }
}

}  // namespace
}  // namespace detail

void detail::uart_pad_changed(int pad) {
  for (int m = 0; m < detail::kModules; ++m)
    if (pad == detail::kRxPad[m]) detail::update_listening(detail::uarts()[m]);
}

UartState uart_state(int module) {
  if (module < 0 || module >= detail::kModules) return {};
  UartState s = detail::uarts()[module].st;
  s.rx_fifo = static_cast<uint32_t>(detail::uarts()[module].rx.size());
  return s;
}

}  // namespace apollo3sim

SIM_MODEL(apollo3_uart, {.name = "apollo3.uart", .on_reset = apollo3sim::detail::uart_reset});

using namespace apollo3sim;
using namespace apollo3sim::detail;

extern "C" {

uint32_t am_hal_uart_initialize(uint32_t module, void** handle) {
  if (module >= static_cast<uint32_t>(kModules) || !handle) return AM_HAL_STATUS_OUT_OF_RANGE;
  Uart& u = uarts()[module];
  if (u.st.initialised) return AM_HAL_STATUS_IN_USE;
  u.st.initialised = true;
  update_listening(u);
  *handle = &u;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_uart_deinitialize(void* handle) {
  Uart* u = from_handle(handle);
  if (!u) return AM_HAL_STATUS_INVALID_HANDLE;
  u->st.initialised = false;
  u->st.configured = false;
  update_listening(*u);
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_uart_power_control(void* handle, am_hal_sysctrl_power_state_e state, bool retain) {
  Uart* u = from_handle(handle);
  if (!u) return AM_HAL_STATUS_INVALID_HANDLE;
  if (state == AM_HAL_SYSCTRL_WAKE) {
    u->st.powered = true;
    return AM_HAL_STATUS_SUCCESS;
  }
  if (state != AM_HAL_SYSCTRL_NORMALSLEEP && state != AM_HAL_SYSCTRL_DEEPSLEEP)
    return AM_HAL_STATUS_INVALID_ARG;
  u->st.powered = false;
  if (!retain) u->st.configured = false;
  u->rx.clear();
  // What was still in the transmit FIFO is lost with the power.
  if (u->tx_event) sim::cancel(u->tx_event);
  u->tx_event = 0;
  u->tx.clear();
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_uart_configure(void* handle, const am_hal_uart_config_t* config) {
  Uart* u = from_handle(handle);
  if (!u) return AM_HAL_STATUS_INVALID_HANDLE;
  if (!config || config->ui32BaudRate == 0 || config->ui32BaudRate > 1500000 ||
      config->ui32DataBits > AM_HAL_UART_DATA_BITS_8 || config->ui32Parity > 2 ||
      config->ui32StopBits > 1)
    return AM_HAL_STATUS_INVALID_ARG;
  if (config->pui8TxBuffer || config->pui8RxBuffer) return AM_HAL_STATUS_INVALID_ARG;
  if (!u->st.powered) return AM_HAL_STATUS_INVALID_OPERATION;
  u->st.baud = config->ui32BaudRate;
  u->st.data_bits = config->ui32DataBits;
  u->st.parity = config->ui32Parity;
  u->st.stop_bits = config->ui32StopBits;
  u->st.flow_control = config->ui32FlowControl;
  u->st.fifo_levels = config->ui32FifoLevels;
  u->st.configured = true;
  sim::uart_set_baud(u->module, config->ui32BaudRate);
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_uart_interrupt_enable(void* handle, uint32_t mask) {
  Uart* u = from_handle(handle);
  if (!u) return AM_HAL_STATUS_INVALID_HANDLE;
  u->st.int_enable |= mask;
  update_irq(*u);
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_uart_interrupt_disable(void* handle, uint32_t mask) {
  Uart* u = from_handle(handle);
  if (!u) return AM_HAL_STATUS_INVALID_HANDLE;
  u->st.int_enable &= ~mask;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_uart_interrupt_clear(void* handle, uint32_t mask) {
  Uart* u = from_handle(handle);
  if (!u) return AM_HAL_STATUS_INVALID_HANDLE;
  u->int_status &= ~mask;
  // The threshold interrupt is a level: it stays while the FIFO is above it.
  if (taking(*u) && u->rx.size() >= rx_threshold(*u)) u->int_status |= AM_HAL_UART_INT_RX;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_uart_interrupt_status_get(void* handle, uint32_t* status, bool enabled_only) {
  Uart* u = from_handle(handle);
  if (!u || !status) return AM_HAL_STATUS_INVALID_HANDLE;
  *status = enabled_only ? u->int_status & u->st.int_enable : u->int_status;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_uart_interrupt_service(void* handle, uint32_t, uint32_t* idle) {
  Uart* u = from_handle(handle);
  if (!u) return AM_HAL_STATUS_INVALID_HANDLE;
  if (idle) *idle = u->tx.empty() ? 1u : 0u;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_uart_transfer(void* handle, const am_hal_uart_transfer_t* t) {
  Uart* u = from_handle(handle);
  if (!u) return AM_HAL_STATUS_INVALID_HANDLE;
  if (!t || (!t->pui8Data && t->ui32NumBytes)) return AM_HAL_STATUS_INVALID_ARG;
  if (!taking(*u)) return AM_HAL_STATUS_INVALID_OPERATION;
  uint32_t done = 0;
  if (t->ui32Direction == AM_HAL_UART_READ) {
    while (done < t->ui32NumBytes && !u->rx.empty()) {
      t->pui8Data[done++] = u->rx.front();
      u->rx.pop_front();
    }
    // The threshold interrupt is a level: it ends when the FIFO drops below.
    if (u->rx.size() < rx_threshold(*u)) u->int_status &= ~AM_HAL_UART_INT_RX;
    arm_timeout(*u);
  } else if (t->ui32Direction == AM_HAL_UART_WRITE) {
    const bool wait = t->ui32TimeoutMs != 0;
    const sim::time_us deadline = t->ui32TimeoutMs == AM_HAL_UART_WAIT_FOREVER
                                      ? sim::kNever
                                      : sim::now() + uint64_t{t->ui32TimeoutMs} * 1000u;
    while (done < t->ui32NumBytes) {
      if (u->tx.size() < kFifo) {
        push_tx(*u, t->pui8Data[done++]);
        continue;
      }
      if (!wait || !poll_wait(deadline)) break;
      if (!taking(*u)) break;  // powered down meanwhile
    }
  } else {
    return AM_HAL_STATUS_INVALID_ARG;
  }
  if (t->pui32BytesTransferred) *t->pui32BytesTransferred = done;
  return AM_HAL_STATUS_SUCCESS;
}

bool am_hal_uart_tx_busy(void* handle) {
  Uart* u = from_handle(handle);
  if (!u || u->tx.empty()) return false;
  // Polled: time moves to the end of the byte on the line.
  poll_wait(sim::now() + sim::uart_byte_time(u->module));
  return !u->tx.empty();
}

}  // extern "C"
