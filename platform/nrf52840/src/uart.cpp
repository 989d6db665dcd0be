// UARTE0 and UARTE1 under the UART driver, on simulated ports 0 and 1. A
// reception fills the armed buffer and ends in RX-done; bytes that come
// while no reception is armed wait in the peripheral's 4-byte FIFO, later
// ones are lost (no flow control). A transmission takes its line time and
// ends in TX-done.
#include <string>

#include <deque>

#include "internal.h"
#include "nrf52840_sim.h"
#include "nrf_drv_uart.h"
#include "sim/model.h"

namespace nrfsim::detail {
namespace {

constexpr size_t kFifo = 4;

struct Uarte {
  int index;
  IRQn_Type irq;
  bool init = false;
  nrf_drv_uart_config_t cfg{};
  nrf_uart_event_handler_t handler = nullptr;
  uint8_t* rx_buf = nullptr;
  uint32_t rx_len = 0, rx_got = 0;
  std::deque<uint8_t> fifo;
  bool tx_busy = false;
  sim::EventId tx_event = 0;
  std::deque<nrf_drv_uart_event_t> events;  // for the interrupt handler
  int opens = 0;
};

Uarte g_uarte[2] = {{0, UARTE0_UART0_IRQn}, {1, UARTE1_IRQn}};

struct BaudRow {
  uint32_t reg;
  uint32_t baud;
};
constexpr BaudRow kBauds[] = {
    {NRF_UART_BAUDRATE_1200, 1200},     {NRF_UART_BAUDRATE_2400, 2400},
    {NRF_UART_BAUDRATE_4800, 4800},     {NRF_UART_BAUDRATE_9600, 9600},
    {NRF_UART_BAUDRATE_14400, 14400},   {NRF_UART_BAUDRATE_19200, 19200},
    {NRF_UART_BAUDRATE_28800, 28800},   {NRF_UART_BAUDRATE_31250, 31250},
    {NRF_UART_BAUDRATE_38400, 38400},   {NRF_UART_BAUDRATE_56000, 56000},
    {NRF_UART_BAUDRATE_57600, 57600},   {NRF_UART_BAUDRATE_76800, 76800},
    {NRF_UART_BAUDRATE_115200, 115200}, {NRF_UART_BAUDRATE_230400, 230400},
    {NRF_UART_BAUDRATE_250000, 250000}, {NRF_UART_BAUDRATE_460800, 460800},
    {NRF_UART_BAUDRATE_921600, 921600}, {NRF_UART_BAUDRATE_1000000, 1000000},
};

Uarte* of(nrf_drv_uart_t const* p) {
  return p && p->inst_idx < 2 ? &g_uarte[p->inst_idx] : nullptr;
}

void post(Uarte& u, nrf_drv_uart_event_t e) {
  u.events.push_back(e);
  raise(u.irq);
  sim::signal_change();
}

void rx_complete(Uarte& u) {
  nrf_drv_uart_event_t e{};
  e.type = NRF_DRV_UART_EVT_RX_DONE;
  e.data.rxtx = {u.rx_buf, u.rx_got};
  u.rx_buf = nullptr;
  u.rx_len = u.rx_got = 0;
  post(u, e);
}

void take_fifo(Uarte& u) {
  while (u.rx_buf && !u.fifo.empty() && u.rx_got < u.rx_len) {
    u.rx_buf[u.rx_got++] = u.fifo.front();
    u.fifo.pop_front();
  }
  if (u.rx_buf && u.rx_got == u.rx_len) rx_complete(u);
}

void on_byte(void* ctx, uint8_t byte) {
  Uarte& u = *static_cast<Uarte*>(ctx);
  if (!u.init || u.cfg.pselrxd == NRF_UART_PSEL_DISCONNECTED) return;
  if (u.fifo.size() >= kFifo) return;  // overrun: the byte is lost
  u.fifo.push_back(byte);
  take_fifo(u);
}

void tx_done(void* ctx, uint32_t len) {
  Uarte& u = *static_cast<Uarte*>(ctx);
  u.tx_event = 0;
  u.tx_busy = false;
  nrf_drv_uart_event_t e{};
  e.type = NRF_DRV_UART_EVT_TX_DONE;
  e.data.rxtx = {nullptr, len};
  post(u, e);
}

template <int N>
void isr() {
  Uarte& u = g_uarte[N];
  while (!u.events.empty()) {
    nrf_drv_uart_event_t e = u.events.front();
    u.events.pop_front();
    if (u.init && u.handler) u.handler(&e, u.cfg.p_context);
  }
}

void stop(Uarte& u) {
  if (u.tx_event) sim::cancel(u.tx_event);
  u.tx_event = 0;
  u.tx_busy = false;
  u.rx_buf = nullptr;
  u.rx_len = u.rx_got = 0;
  u.fifo.clear();
  u.events.clear();
  u.init = false;
  sim::uart_set_rx_handler(u.index, nullptr, nullptr);
  sim::irq_clear_pending(u.irq);
}

void uart_reset() {
  for (Uarte& u : g_uarte) {
    u.tx_event = 0;
    stop(u);
    u.cfg = {};
    u.handler = nullptr;
    u.opens = 0;
  }
}

}  // namespace
}  // namespace nrfsim::detail

using namespace nrfsim::detail;

SIM_MODEL(nrf52840_uarte, {.name = "nrf52840.uarte", .on_reset = uart_reset});

namespace nrfsim {
uint32_t baud_of_register(uint32_t reg) {
  for (const BaudRow& r : kBauds)
    if (r.reg == reg) return r.baud;
  return 0;
}
UartConfig uart_config(int instance) {
  UartConfig c;
  if (instance < 0 || instance > 1) return c;
  const Uarte& u = g_uarte[instance];
  c.open = u.init;
  c.pseltxd = u.cfg.pseltxd;
  c.pselrxd = u.cfg.pselrxd;
  c.baud_register = u.cfg.baudrate;
  c.baud = baud_of_register(u.cfg.baudrate);
  c.opens = u.opens;
  return c;
}
}  // namespace nrfsim

ret_code_t nrf_drv_uart_init(nrf_drv_uart_t const* p, nrf_drv_uart_config_t const* cfg,
                             nrf_uart_event_handler_t handler) {
  Uarte* u = of(p);
  if (!u || !cfg) return NRF_ERROR_INVALID_PARAM;
  if (u->init) return NRF_ERROR_INVALID_STATE;
  if (injected_failure("nrf_drv_uart_init")) return NRF_ERROR_INTERNAL;
  uint32_t baud = nrfsim::baud_of_register(cfg->baudrate);
  if (baud == 0) return NRF_ERROR_INVALID_PARAM;
  u->init = true;
  u->cfg = *cfg;
  u->handler = handler;
  u->opens++;
  sim::uart_set_baud(u->index, baud);
  sim::irq_set_handler(u->irq, u->index == 0 ? isr<0> : isr<1>);
  sim::irq_set_priority(u->irq, cfg->interrupt_priority);
  sim::irq_enable(u->irq, true);
  sim::uart_set_rx_handler(u->index, on_byte, u);
  // Opens are traced (pins and rate): a board's wiring and its re-opens of a
  // link are visible in the simulator's log.
  auto pin = [](uint32_t p) {
    return p == NRF_UART_PSEL_DISCONNECTED ? std::string("-")
                                           : "P" + std::to_string(p / 32) + "." +
                                                 (p % 32 < 10 ? "0" : "") + std::to_string(p % 32);
  };
  sim::log("UARTE%d open: TX %s RX %s %u baud", u->index, pin(cfg->pseltxd).c_str(),
           pin(cfg->pselrxd).c_str(), static_cast<unsigned>(baud));
  return NRF_SUCCESS;
}

void nrf_drv_uart_uninit(nrf_drv_uart_t const* p) {
  if (Uarte* u = of(p)) stop(*u);
}

ret_code_t nrf_drv_uart_tx(nrf_drv_uart_t const* p, uint8_t const* data, uint8_t length) {
  Uarte* u = of(p);
  if (!u || !u->init) return NRF_ERROR_INVALID_STATE;
  if (u->tx_busy) return NRF_ERROR_BUSY;
  if (length == 0) return NRF_ERROR_INVALID_LENGTH;
  u->tx_busy = true;
  if (u->cfg.pseltxd != NRF_UART_PSEL_DISCONNECTED) sim::uart_write(u->index, data, length);
  u->tx_event =
      sim::schedule(sim::now() + sim::uart_byte_time(u->index) * length, tx_done, u, length);
  return NRF_SUCCESS;
}

bool nrf_drv_uart_tx_in_progress(nrf_drv_uart_t const* p) {
  Uarte* u = of(p);
  return u && u->tx_busy;
}

void nrf_drv_uart_tx_abort(nrf_drv_uart_t const* p) {
  Uarte* u = of(p);
  if (!u || !u->tx_busy) return;
  sim::cancel(u->tx_event);
  tx_done(u, 0);
}

ret_code_t nrf_drv_uart_rx(nrf_drv_uart_t const* p, uint8_t* data, uint8_t length) {
  Uarte* u = of(p);
  if (!u || !u->init) return NRF_ERROR_INVALID_STATE;
  if (u->rx_buf) return NRF_ERROR_BUSY;
  if (length == 0 || !data) return NRF_ERROR_INVALID_LENGTH;
  u->rx_buf = data;
  u->rx_len = length;
  u->rx_got = 0;
  take_fifo(*u);
  return NRF_SUCCESS;
}

void nrf_drv_uart_rx_abort(nrf_drv_uart_t const* p) {
  Uarte* u = of(p);
  if (!u || !u->rx_buf) return;
  rx_complete(*u);
}
