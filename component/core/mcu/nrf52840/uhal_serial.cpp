// UART0 and UART1 of the nRF52840 images over the serial library below: its
// own 2048-byte receive and transmit queues per UART, one-byte transfers of
// the UARTE driver, try-locks and timeouts on the application timer.
#include <string.h>

#include "app_timer.h"
#include "nrf52840_port.h"
#include "nrf_drv_uart.h"
#include "nrf_log.h"
#include "udrv_powersave.h"

// ------------------------------------------------------- serial library ----
namespace {

constexpr uint32_t kQueueSize = 2048;

struct serial_queues_ctx_t {
  uint8_t *buffer;
  uint32_t read_pos;
  uint32_t write_pos;
  uint16_t buf_size_mask;
  bool m_ovf;
};

enum nrf_serial_mode_t { NRF_SERIAL_MODE_POLLING, NRF_SERIAL_MODE_IRQ, NRF_SERIAL_MODE_DMA };

struct nrf_serial_buffers_t {
  uint8_t *p_txb;
  uint8_t *p_rxb;
  uint8_t tx_size;
  uint8_t rx_size;
};

struct nrf_serial_config_t {
  nrf_serial_mode_t mode;
  serial_queues_ctx_t *p_rxq;
  serial_queues_ctx_t *p_txq;
  nrf_serial_buffers_t const *p_buffers;
};

constexpr uint32_t kRxEnabled = 1u << 0;
constexpr uint32_t kTxEnabled = 1u << 1;

struct nrf_serial_ctx_t {
  nrf_serial_config_t const *p_config;
  volatile bool write_lock;
  volatile bool read_lock;
  uint32_t flags;
  volatile bool tx_done;
  volatile bool tx_in_progress;
  volatile bool tx_expired;
  volatile bool rx_expired;
};

struct nrf_serial_t {
  nrf_drv_uart_t instance;
  nrf_serial_ctx_t *p_ctx;
  app_timer_id_t tx_timer;
  app_timer_id_t rx_timer;
  SERIAL_PORT port;
};

uint32_t q_count(serial_queues_ctx_t const *q) { return q->write_pos - q->read_pos; }

bool q_put(serial_queues_ctx_t *q, uint8_t byte) {
  if (q_count(q) >= kQueueSize) {
    return false;
  }
  q->buffer[q->write_pos & q->buf_size_mask] = byte;
  q->write_pos = q->write_pos + 1;
  return true;
}

bool q_get(serial_queues_ctx_t *q, uint8_t *byte) {
  if (q_count(q) == 0) {
    return false;
  }
  *byte = q->buffer[q->read_pos & q->buf_size_mask];
  q->read_pos = q->read_pos + 1;
  return true;
}

void q_reset(serial_queues_ctx_t *q) {
  q->read_pos = q->write_pos = 0;
  q->m_ovf = false;
}

uint8_t rx_buf0[kQueueSize], tx_buf0[kQueueSize], rx_buf1[kQueueSize], tx_buf1[kQueueSize];
serial_queues_ctx_t rxq0 = {rx_buf0, 0, 0, kQueueSize - 1, false};
serial_queues_ctx_t txq0 = {tx_buf0, 0, 0, kQueueSize - 1, false};
serial_queues_ctx_t rxq1 = {rx_buf1, 0, 0, kQueueSize - 1, false};
serial_queues_ctx_t txq1 = {tx_buf1, 0, 0, kQueueSize - 1, false};

uint8_t dma_tx0, dma_rx0, dma_tx1, dma_rx1;
const nrf_serial_buffers_t buffers0 = {&dma_tx0, &dma_rx0, 1, 1};
const nrf_serial_buffers_t buffers1 = {&dma_tx1, &dma_rx1, 1, 1};
const nrf_serial_config_t config0 = {NRF_SERIAL_MODE_DMA, &rxq0, &txq0, &buffers0};
const nrf_serial_config_t config1 = {NRF_SERIAL_MODE_DMA, &rxq1, &txq1, &buffers1};

APP_TIMER_DEF(serial0_tx_timer);
APP_TIMER_DEF(serial0_rx_timer);
APP_TIMER_DEF(serial1_tx_timer);
APP_TIMER_DEF(serial1_rx_timer);
nrf_serial_ctx_t ctx0, ctx1;
nrf_serial_t serial_uart0 = {NRF_DRV_UART_INSTANCE(0), &ctx0, serial0_tx_timer, serial0_rx_timer,
                             SERIAL_UART0};
nrf_serial_t serial_uart1 = {NRF_DRV_UART_INSTANCE(1), &ctx1, serial1_tx_timer, serial1_rx_timer,
                             SERIAL_UART1};

// Takes the library's locks without waiting.
bool try_lock(volatile bool *lock) {
  uint8_t nested;
  sd_nvic_critical_region_enter(&nested);
  bool taken = *lock;
  *lock = true;
  sd_nvic_critical_region_exit(nested);
  return !taken;
}

void rearm_rx(nrf_serial_t const *s) {
  (void)nrf_drv_uart_rx(&s->instance, s->p_ctx->p_config->p_buffers->p_rxb, 1);
}

void send_next(nrf_serial_t const *s) {
  nrf_serial_ctx_t *c = s->p_ctx;
  uint8_t *txb = c->p_config->p_buffers->p_txb;
  if (q_get(c->p_config->p_txq, txb)) {
    c->tx_in_progress = true;
    (void)nrf_drv_uart_tx(&s->instance, txb, 1);
  } else {
    c->tx_in_progress = false;
    c->tx_done = true;
  }
}

void uart_event_handler(nrf_drv_uart_event_t *p_event, void *p_context) {
  nrf_serial_t const *s = static_cast<nrf_serial_t const *>(p_context);
  nrf_serial_ctx_t *c = s->p_ctx;
  if (c->p_config == nullptr) {
    return;
  }
  switch (p_event->type) {
    case NRF_DRV_UART_EVT_RX_DONE: {
      if (p_event->data.rxtx.bytes == 0) {
        rearm_rx(s);
        break;
      }
      udrv_powersave_in_sleep = false;
      serial_queues_ctx_t *q = c->p_config->p_rxq;
      for (uint32_t i = 0; i < p_event->data.rxtx.bytes; i++) {
        uint8_t byte = p_event->data.rxtx.p_data[i];
        serial_fallback_handler(s->port, byte);
        (void)q_put(q, byte);
      }
      if (q_count(q) != 0) {
        udrv_system_event_produce(&qiv_uart_event);
      }
      if (q_count(q) >= kQueueSize) {
        q->m_ovf = true;  // reception pauses until the main loop reads
      } else {
        rearm_rx(s);
      }
      break;
    }
    case NRF_DRV_UART_EVT_TX_DONE:
      send_next(s);
      break;
    case NRF_DRV_UART_EVT_ERROR:
      rearm_rx(s);
      break;
  }
}

void timeout_handler(void *p_context) { *static_cast<volatile bool *>(p_context) = true; }

// Arms the timer of a wait of `ms` (0xFFFFFFFF: no limit) that sets *expired.
void timeout_setup(app_timer_id_t timer, uint32_t ms, volatile bool *expired) {
  *expired = false;
  if (ms == 0xFFFFFFFFu) {
    return;
  }
  uint64_t ticks = (static_cast<uint64_t>(ms) * 32768u + 500u) / 1000u;
  if (ticks <= 4) {
    *expired = true;
    return;
  }
  // The timer counts 24 bits: a longer wait is bounded to that.
  if (ticks > APP_TIMER_MAX_CNT_VAL) {
    ticks = APP_TIMER_MAX_CNT_VAL;
  }
  APP_ERROR_CHECK(app_timer_create(&timer, APP_TIMER_MODE_SINGLE_SHOT, timeout_handler));
  APP_ERROR_CHECK(
      app_timer_start(timer, static_cast<uint32_t>(ticks), const_cast<bool *>(expired)));
}

ret_code_t nrf_serial_init(nrf_serial_t const *s, nrf_drv_uart_config_t const *drv_config,
                           nrf_serial_config_t const *config) {
  nrf_serial_ctx_t *c = s->p_ctx;
  if (c->p_config != nullptr) {
    return NRF_ERROR_MODULE_ALREADY_INITIALIZED;
  }
  nrf_drv_uart_config_t cfg = *drv_config;
  cfg.use_easy_dma = config->mode == NRF_SERIAL_MODE_DMA;
  cfg.p_context = const_cast<nrf_serial_t *>(s);
  ret_code_t ret = nrf_drv_uart_init(&s->instance, &cfg, uart_event_handler);
  if (ret != NRF_SUCCESS) {
    return ret;
  }
  c->write_lock = false;
  c->read_lock = false;
  c->tx_done = true;
  c->tx_in_progress = false;
  c->p_config = config;
  c->flags = kRxEnabled | kTxEnabled;
  rearm_rx(s);
  return NRF_SUCCESS;
}

ret_code_t serial_close(nrf_serial_t const *s, bool keep_rx) {
  nrf_serial_ctx_t *c = s->p_ctx;
  if (c->p_config == nullptr) {
    return NRF_ERROR_MODULE_NOT_INITIALIZED;
  }
  if (c->write_lock || c->read_lock) {
    return NRF_ERROR_BUSY;
  }
  nrf_drv_uart_uninit(&s->instance);
  if (!keep_rx) {
    q_reset(c->p_config->p_rxq);
  }
  q_reset(c->p_config->p_txq);
  c->tx_in_progress = false;
  c->p_config = nullptr;
  c->flags = 0;
  return NRF_SUCCESS;
}

ret_code_t nrf_serial_uninit(nrf_serial_t const *s) { return serial_close(s, false); }
ret_code_t nrf_serial_single_wire_uninit(nrf_serial_t const *s) { return serial_close(s, true); }

ret_code_t nrf_serial_write(nrf_serial_t const *s, void const *p_data, size_t size,
                            size_t *p_written, uint32_t timeout_ms) {
  nrf_serial_ctx_t *c = s->p_ctx;
  if (c->p_config == nullptr) {
    return NRF_ERROR_MODULE_NOT_INITIALIZED;
  }
  if (!(c->flags & kTxEnabled)) {
    return NRF_ERROR_INVALID_STATE;
  }
  if (size == 0) {
    return NRF_SUCCESS;
  }
  if (!try_lock(&c->write_lock)) {
    return NRF_ERROR_BUSY;
  }
  timeout_setup(s->tx_timer, timeout_ms, &c->tx_expired);
  c->tx_done = false;
  uint8_t const *bytes = static_cast<uint8_t const *>(p_data);
  uint8_t nested;
  sd_nvic_critical_region_enter(&nested);
  for (size_t i = 0; i < size; i++) {
    if (!q_put(c->p_config->p_txq, bytes[i])) {
      break;  // beyond the queue's room the bytes are dropped
    }
  }
  if (!c->tx_in_progress) {
    send_next(s);
  }
  sd_nvic_critical_region_exit(nested);
  while (!c->tx_done && !c->tx_expired) {
    port_wait();
  }
  bool expired = !c->tx_done && c->tx_expired;
  if (p_written != nullptr) {
    *p_written = 0;
  }
  (void)app_timer_stop(s->tx_timer);
  c->write_lock = false;
  return expired ? NRF_ERROR_TIMEOUT : NRF_SUCCESS;
}

ret_code_t nrf_serial_read(nrf_serial_t const *s, void *p_data, size_t size, size_t *p_read,
                           uint32_t timeout_ms) {
  nrf_serial_ctx_t *c = s->p_ctx;
  if (c->p_config == nullptr) {
    return NRF_ERROR_MODULE_NOT_INITIALIZED;
  }
  if (!(c->flags & kRxEnabled)) {
    return NRF_ERROR_INVALID_STATE;
  }
  if (size == 0) {
    return NRF_SUCCESS;
  }
  if (!try_lock(&c->read_lock)) {
    return NRF_ERROR_BUSY;
  }
  timeout_setup(s->rx_timer, timeout_ms, &c->rx_expired);
  uint8_t *out = static_cast<uint8_t *>(p_data);
  size_t got = 0;
  ret_code_t ret = NRF_SUCCESS;
  for (;;) {
    serial_queues_ctx_t *q = c->p_config->p_rxq;
    while (got < size && q_get(q, &out[got])) {
      got++;
    }
    if (q->m_ovf) {
      // Room again: reception goes on.
      q->m_ovf = false;
      APP_ERROR_CHECK(nrf_drv_uart_rx(&s->instance, c->p_config->p_buffers->p_rxb, 1));
    }
    if (got == size) {
      break;
    }
    if (c->rx_expired) {
      nrf_drv_uart_rx_abort(&s->instance);
      ret = NRF_ERROR_TIMEOUT;
      break;
    }
    port_wait();
  }
  if (p_read != nullptr) {
    *p_read = got;
  }
  (void)app_timer_stop(s->rx_timer);
  c->read_lock = false;
  return ret;
}

ret_code_t nrf_serial_flush(nrf_serial_t const *s, uint32_t timeout_ms) {
  nrf_serial_ctx_t *c = s->p_ctx;
  if (c->p_config == nullptr) {
    return NRF_ERROR_MODULE_NOT_INITIALIZED;
  }
  if (!(c->flags & kTxEnabled)) {
    return NRF_ERROR_INVALID_STATE;
  }
  if (!try_lock(&c->write_lock)) {
    return NRF_ERROR_BUSY;
  }
  timeout_setup(s->tx_timer, timeout_ms, &c->tx_expired);
  while ((q_count(c->p_config->p_txq) != 0 || nrf_drv_uart_tx_in_progress(&s->instance)) &&
         !c->tx_expired) {
    port_wait();
  }
  bool expired = q_count(c->p_config->p_txq) != 0 || nrf_drv_uart_tx_in_progress(&s->instance);
  (void)app_timer_stop(s->tx_timer);
  c->write_lock = false;
  return expired ? NRF_ERROR_TIMEOUT : NRF_SUCCESS;
}

// ------------------------------------------------------------ UART ports ----
struct uart_status_t {
  uint8_t open;
  uint32_t baudrate;
};
uart_status_t uart_status[3];
uint8_t uart_wire_mode[3];
uint8_t single_wire_mode[3];

nrf_serial_t const *serial_of(SERIAL_PORT port) {
  return port == SERIAL_UART0 ? &serial_uart0 : &serial_uart1;
}
nrf_serial_config_t const *config_of(SERIAL_PORT port) {
  return port == SERIAL_UART0 ? &config0 : &config1;
}
bool has_hardware(SERIAL_PORT port) { return port == SERIAL_UART0 || port == SERIAL_UART1; }

// Opens the instance with TX and RX on the given pins.
ret_code_t uart_open(SERIAL_PORT port, uint32_t tx_pin, uint32_t rx_pin) {
  nrf_drv_uart_config_t cfg = {};
  cfg.pseltxd = tx_pin;
  cfg.pselrxd = rx_pin;
  cfg.pselcts = NRF_UART_PSEL_DISCONNECTED;
  cfg.pselrts = NRF_UART_PSEL_DISCONNECTED;
  cfg.hwfc = NRF_UART_HWFC_DISABLED;
  cfg.parity = NRF_UART_PARITY_EXCLUDED;
  cfg.baudrate =
      static_cast<nrf_uart_baudrate_t>(get_nrf_uart_baudrate(uart_status[port].baudrate));
  cfg.interrupt_priority = 6;
  return nrf_serial_init(serial_of(port), &cfg, config_of(port));
}

uint32_t tx_pin_of(SERIAL_PORT port) { return port == SERIAL_UART0 ? UART0_TX_PIN : UART1_TX_PIN; }
uint32_t rx_pin_of(SERIAL_PORT port) { return port == SERIAL_UART0 ? UART0_RX_PIN : UART1_RX_PIN; }
// The one line of a one-wire port.
uint32_t line_of(SERIAL_PORT port) {
  return uart_wire_mode[port] == SERIAL_ONE_WIRE_TX_PIN_MODE ? tx_pin_of(port) : rx_pin_of(port);
}

ret_code_t uart_init(SERIAL_PORT port) {
  switch (uart_wire_mode[port]) {
    case SERIAL_ONE_WIRE_TX_PIN_MODE:
    case SERIAL_ONE_WIRE_RX_PIN_MODE:
      single_wire_mode[port] = 0;
      return uart_open(port, NRF_UART_PSEL_DISCONNECTED, line_of(port));
    default:
      return uart_open(port, tx_pin_of(port), rx_pin_of(port));
  }
}

// Closes an instance between the directions of a one-wire port; a close that
// found it closed or busy is no failure here.
void single_wire_close(SERIAL_PORT port) {
  ret_code_t ret = nrf_serial_single_wire_uninit(serial_of(port));
  if (ret != NRF_SUCCESS && ret != NRF_ERROR_MODULE_NOT_INITIALIZED && ret != NRF_ERROR_BUSY) {
    APP_ERROR_CHECK(ret);
  }
}

void uhal_uart_init(SERIAL_PORT port, uint32_t baudrate, SERIAL_WORD_LEN_E, SERIAL_STOP_BIT_E,
                    SERIAL_PARITY_E, SERIAL_WIRE_MODE_E wire_mode) {
  if (port > SERIAL_UART2) {
    return;
  }
  uart_status[port].baudrate = baudrate;
  uart_wire_mode[port] = static_cast<uint8_t>(wire_mode);
  if (has_hardware(port)) {
    (void)uart_init(port);
  }
  uart_status[port].open = 1;
}

void uhal_uart_deinit(SERIAL_PORT port) {
  if (port > SERIAL_UART2) {
    return;
  }
  if (has_hardware(port)) {
    ret_code_t ret = nrf_serial_uninit(serial_of(port));
    if (ret != NRF_SUCCESS && ret != NRF_ERROR_MODULE_NOT_INITIALIZED && ret != NRF_ERROR_BUSY) {
      APP_ERROR_CHECK(ret);
    }
  }
  uart_status[port].open = 0;
}

int32_t uhal_uart_write(SERIAL_PORT port, uint8_t const *data, uint32_t length, uint32_t timeout) {
  if (data == nullptr) {
    return -UDRV_WRONG_ARG;
  }
  if (!has_hardware(port)) {
    return -UDRV_INTERNAL_ERR;
  }
  bool one_wire = uart_wire_mode[port] == SERIAL_ONE_WIRE_TX_PIN_MODE ||
                  uart_wire_mode[port] == SERIAL_ONE_WIRE_RX_PIN_MODE;
  if (one_wire && single_wire_mode[port] == 0) {
    single_wire_close(port);
    APP_ERROR_CHECK(uart_open(port, line_of(port), NRF_UART_PSEL_DISCONNECTED));
    single_wire_mode[port] = 1;
  }
  ret_code_t ret = nrf_serial_write(serial_of(port), data, length, nullptr, timeout);
  if (one_wire) {
    (void)nrf_serial_flush(serial_of(port), timeout);
    uhal_single_wire_rx_mode(port);
  }
  if (ret == NRF_SUCCESS) {
    return 0;
  }
  return ret == NRF_ERROR_BUSY ? -UDRV_BUSY : -UDRV_INTERNAL_ERR;
}

int32_t uhal_uart_read(SERIAL_PORT port, uint8_t *buffer, uint32_t length, uint32_t timeout) {
  if (buffer == nullptr) {
    return -UDRV_WRONG_ARG;
  }
  if (!has_hardware(port)) {
    return 0;
  }
  uint32_t available = q_count(config_of(port)->p_rxq);
  size_t got = 0;
  (void)nrf_serial_read(serial_of(port), buffer, length < available ? length : available, &got,
                        timeout);
  return static_cast<int32_t>(got);
}

int32_t uhal_uart_peek(SERIAL_PORT port) {
  if (!has_hardware(port)) {
    return -UDRV_INTERNAL_ERR;
  }
  serial_queues_ctx_t const *q = config_of(port)->p_rxq;
  if (q_count(q) == 0) {
    return -UDRV_INTERNAL_ERR;
  }
  return q->buffer[q->read_pos & q->buf_size_mask];
}

void uhal_uart_flush(SERIAL_PORT port, uint32_t timeout) {
  if (has_hardware(port)) {
    (void)nrf_serial_flush(serial_of(port), timeout);
  }
}

int32_t uhal_uart_read_available(SERIAL_PORT port) {
  if (!has_hardware(port)) {
    return -UDRV_INTERNAL_ERR;
  }
  return static_cast<int32_t>(q_count(config_of(port)->p_rxq));
}

void power_cycle(NRF_PERIPHERAL_POWER_Type *p) {
  p->POWER = 0;
  (void)p->POWER;
  p->POWER = 1;
}

}  // namespace

udrv_serial_api serial_uart_driver = {uhal_uart_init,           uhal_uart_deinit, uhal_uart_write,
                                      uhal_uart_read,           uhal_uart_peek,   uhal_uart_flush,
                                      uhal_uart_read_available, nullptr};

void uhal_single_wire_rx_mode(SERIAL_PORT port) {
  single_wire_close(port);
  APP_ERROR_CHECK(uart_open(port, NRF_UART_PSEL_DISCONNECTED, line_of(port)));
  single_wire_mode[port] = 0;
}

// The nearest rate of the UARTE, half-way cases going to the lower one.
uint32_t get_nrf_uart_baudrate(uint32_t baudrate) {
  struct band {
    uint32_t upto;
    uint32_t reg;
  };
  static const band bands[] = {
      {1800, NRF_UART_BAUDRATE_1200},     {3600, NRF_UART_BAUDRATE_2400},
      {7200, NRF_UART_BAUDRATE_4800},     {12000, NRF_UART_BAUDRATE_9600},
      {16800, NRF_UART_BAUDRATE_14400},   {24000, NRF_UART_BAUDRATE_19200},
      {30025, NRF_UART_BAUDRATE_28800},   {34825, NRF_UART_BAUDRATE_31250},
      {47200, NRF_UART_BAUDRATE_38400},   {56800, NRF_UART_BAUDRATE_56000},
      {67200, NRF_UART_BAUDRATE_57600},   {96000, NRF_UART_BAUDRATE_76800},
      {172800, NRF_UART_BAUDRATE_115200}, {240200, NRF_UART_BAUDRATE_230400},
      {355400, NRF_UART_BAUDRATE_250000}, {691200, NRF_UART_BAUDRATE_460800},
      {960800, NRF_UART_BAUDRATE_921600},
  };
  for (const band &b : bands) {
    if (baudrate <= b.upto) {
      return b.reg;
    }
  }
  return NRF_UART_BAUDRATE_1000000;
}

// Every rate maps to one of the UARTE's; 0 has no band.
bool uhal_uart_baudrate_supported(uint32_t baudrate) { return baudrate != 0; }

void uhal_uart_suspend(void) {
  for (uint32_t p = SERIAL_UART0; p <= SERIAL_UART2; p++) {
    SERIAL_PORT port = static_cast<SERIAL_PORT>(p);
    if (uart_status[p].open && has_hardware(port)) {
      (void)nrf_serial_flush(serial_of(port), 100);
      (void)nrf_serial_uninit(serial_of(port));
    }
  }
  power_cycle(NRF_UARTE1_POWER);
  power_cycle(NRF_UARTE0_POWER);
}

void uhal_uart_resume(void) {
  for (uint32_t p = SERIAL_UART0; p <= SERIAL_UART2; p++) {
    SERIAL_PORT port = static_cast<SERIAL_PORT>(p);
    if (uart_status[p].open && has_hardware(port)) {
      (void)uart_init(port);
    }
  }
}
