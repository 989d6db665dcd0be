// USART1, USART2 and LPUART1 on the simulated serial ports.
#include <cstddef>

#include "internal.h"
#include "sim/model.h"

extern "C" {
USART_TypeDef stm32_usart1 = {0, {}};
USART_TypeDef stm32_usart2 = {1, {}};
USART_TypeDef stm32_lpuart1 = {2, {}};
}

namespace stm32sim {
namespace detail {
namespace {

constexpr uint32_t kErrorFlags = UART_FLAG_PE | UART_FLAG_FE | UART_FLAG_NE | UART_FLAG_ORE;
constexpr uint32_t kAlwaysSet = UART_FLAG_TXE | UART_FLAG_TC;

struct Uart {
  int sim_port;
  IRQn_Type irq;
  int wake_line;  // EXTI line of its stop-mode wake-up
  UART_HandleTypeDef* handle = nullptr;
  bool enabled = false;
  bool half_duplex = false;
  bool rx_on = false;
  bool tx_on = false;
  bool stop_mode = false;
  uint32_t isr = 0;
  uint32_t ie = 0;
  uint8_t rdr = 0;
  bool byte_since_idle = false;
  sim::EventId idle_event = 0;
  uint32_t inject = 0;
  DMA_HandleTypeDef* dma_rx = nullptr;
};

Uart uarts[3] = {
    {1, USART1_IRQn, 26},
    {2, USART2_IRQn, 27},
    {2, LPUART1_IRQn, 28},
};

Uart* uart_of(const UART_HandleTypeDef* h) {
  if (!h || !h->Instance || h->Instance->index >= 3) return nullptr;
  return &uarts[h->Instance->index];
}

bool is_lpuart(const Uart& u) { return &u == &uarts[2]; }

void raise(const Uart& u) { sim::irq_set_pending(sim_irq(u.irq)); }

bool dma_running(const Uart& u) { return u.dma_rx && dma_rx_active(u.dma_rx); }

void idle_event(void* ctx, uint32_t) {
  Uart& u = *static_cast<Uart*>(ctx);
  u.idle_event = 0;
  if (!u.byte_since_idle) return;
  u.byte_since_idle = false;
  u.isr &= ~UART_FLAG_BUSY;
  u.isr |= UART_FLAG_IDLE;
  if (u.ie & UART_IT_IDLE) raise(u);
  sim::signal_change();
}

// The line is idle when no start bit follows a character within a frame. A
// byte is seen when it has arrived, so the check waits one and a half frames:
// a character that follows at once has arrived by then.
void start_idle_timer(Uart& u) {
  if (u.idle_event) sim::cancel(u.idle_event);
  u.byte_since_idle = true;
  u.isr |= UART_FLAG_BUSY;
  sim::time_us frame = sim::uart_byte_time(u.sim_port);
  u.idle_event = sim::schedule(sim::now() + frame + frame / 2, idle_event, &u, 0);
}

// A byte that no one takes goes to the receive data register (or is lost in
// an overrun while the previous one is still there).
void to_rdr(Uart& u, uint8_t byte) {
  if (u.isr & UART_FLAG_RXNE) {
    u.isr |= UART_FLAG_ORE;
    if (u.ie & (UART_IT_ERR | UART_IT_RXNE)) raise(u);
    return;
  }
  u.rdr = byte;
  u.isr |= UART_FLAG_RXNE;
  if (u.ie & UART_IT_RXNE) raise(u);
}

void on_rx(void* ctx, uint8_t byte) {
  Uart& u = *static_cast<Uart*>(ctx);
  if (!u.enabled || !u.rx_on) return;
  uint32_t errors = u.inject;
  u.inject = 0;
  int stop = current_stop_level();
  if (stop) {
    // Only a UART whose kernel clock runs in this stop mode and that may
    // work in stop mode sees the byte; it keeps it and flags the wake-up.
    bool clocked = is_lpuart(u) || stop == 1;
    if (!clocked || !u.stop_mode) return;
    to_rdr(u, byte);
    u.isr |= UART_FLAG_WUF;
    if ((u.ie & UART_IT_WUF) && exti_line_unmasked(u.wake_line)) raise(u);
    start_idle_timer(u);
    return;
  }
  start_idle_timer(u);
  if (errors) {
    u.isr |= errors;
    if (dma_running(u) || (u.ie & (UART_IT_ERR | UART_IT_PE))) raise(u);
  }
  if (dma_running(u) && dma_rx_put(u.dma_rx, byte)) return;
  to_rdr(u, byte);
  sim::signal_change();
}

void dma_rx_complete(DMA_HandleTypeDef* hdma) {
  auto* h = static_cast<UART_HandleTypeDef*>(hdma->Parent);
  if (hdma->Init.Mode != DMA_CIRCULAR) h->RxState = HAL_UART_STATE_READY;
  HAL_UART_RxCpltCallback(h);
}

void dma_rx_half(DMA_HandleTypeDef* hdma) {
  HAL_UART_RxHalfCpltCallback(static_cast<UART_HandleTypeDef*>(hdma->Parent));
}

// Kernel clock of the UART in Hz.
uint32_t kernel_clock(const Uart& u) {
  if (!is_lpuart(u)) return 16000000u;
  switch (lpuart1_clock_source()) {
    case RCC_LPUART1CLKSOURCE_LSE:
      return 32768u;
    case RCC_LPUART1CLKSOURCE_HSI:
      return 16000000u;
    default:
      return SystemCoreClock;
  }
}

HAL_StatusTypeDef init(UART_HandleTypeDef* h, bool half_duplex) {
  Uart* u = uart_of(h);
  if (!u) return HAL_ERROR;
  if (h->gState == HAL_UART_STATE_RESET) {
    h->Lock = HAL_UNLOCKED;
    HAL_UART_MspInit(h);
  }
  uint32_t baud = h->Init.BaudRate;
  if (baud == 0) return HAL_ERROR;
  // The baud-rate divider must fit its register.
  uint64_t clock = kernel_clock(*u);
  if (is_lpuart(*u)) {
    uint64_t brr = clock * 256 / baud;
    if (brr < 0x300 || brr > 0xFFFFF) return HAL_ERROR;
  } else if (clock / baud < 16) {
    return HAL_ERROR;
  }
  if (u->idle_event) sim::cancel(u->idle_event);
  *u = Uart{u->sim_port, u->irq, u->wake_line};
  u->handle = h;
  u->enabled = true;
  u->half_duplex = half_duplex;
  u->rx_on = (h->Init.Mode & UART_MODE_RX) != 0;
  u->tx_on = (h->Init.Mode & UART_MODE_TX) != 0;
  sim::uart_set_baud(u->sim_port, baud);
  sim::uart_set_rx_handler(u->sim_port, on_rx, u);
  h->ErrorCode = HAL_UART_ERROR_NONE;
  h->gState = HAL_UART_STATE_READY;
  h->RxState = HAL_UART_STATE_READY;
  return HAL_OK;
}

}  // namespace

void uart_reset() {
  for (auto& u : uarts) {
    if (u.idle_event) sim::cancel(u.idle_event);
    if (u.enabled) sim::uart_set_rx_handler(u.sim_port, nullptr, nullptr);
    u = Uart{u.sim_port, u.irq, u.wake_line};
  }
}

}  // namespace detail

void uart_inject_error(int uart, uint32_t flags) {
  using detail::uarts;
  if (uart == 1) uarts[0].inject = flags;
  if (uart == 2) {
    // USART2 and LPUART1 share the line: the one that is open gets it.
    uarts[1].inject = flags;
    uarts[2].inject = flags;
  }
}

}  // namespace stm32sim

using namespace stm32sim;
using namespace stm32sim::detail;

stm32_uart_rdr::operator uint32_t() const {
  const auto* inst = reinterpret_cast<const USART_TypeDef*>(reinterpret_cast<const uint8_t*>(this) -
                                                            offsetof(USART_TypeDef, RDR));
  if (inst->index >= 3) return 0;
  Uart& u = uarts[inst->index];
  u.isr &= ~UART_FLAG_RXNE;
  return u.rdr;
}

extern "C" {

HAL_StatusTypeDef HAL_UART_Init(UART_HandleTypeDef* huart) { return init(huart, false); }
HAL_StatusTypeDef HAL_HalfDuplex_Init(UART_HandleTypeDef* huart) { return init(huart, true); }

HAL_StatusTypeDef HAL_UART_DeInit(UART_HandleTypeDef* huart) {
  Uart* u = uart_of(huart);
  if (!u) return HAL_ERROR;
  HAL_UART_MspDeInit(huart);
  if (u->dma_rx) dma_rx_stop(u->dma_rx);
  if (u->idle_event) sim::cancel(u->idle_event);
  if (u->enabled) sim::uart_set_rx_handler(u->sim_port, nullptr, nullptr);
  *u = Uart{u->sim_port, u->irq, u->wake_line};
  huart->ErrorCode = HAL_UART_ERROR_NONE;
  huart->gState = HAL_UART_STATE_RESET;
  huart->RxState = HAL_UART_STATE_RESET;
  return HAL_OK;
}

__weak void HAL_UART_MspInit(UART_HandleTypeDef*) {}
__weak void HAL_UART_MspDeInit(UART_HandleTypeDef*) {}

HAL_StatusTypeDef HAL_UART_Transmit(UART_HandleTypeDef* huart, const uint8_t* data, uint16_t size,
                                    uint32_t timeout) {
  Uart* u = uart_of(huart);
  if (!u || !data || size == 0) return HAL_ERROR;
  if (huart->gState != HAL_UART_STATE_READY) return HAL_BUSY;
  huart->gState = HAL_UART_STATE_BUSY_TX;
  sim::time_us byte_us = sim::uart_byte_time(u->sim_port);
  sim::time_us limit =
      timeout == HAL_MAX_DELAY ? sim::kNever : static_cast<sim::time_us>(timeout) * 1000;
  if (!u->enabled || !u->tx_on) {
    // The transmitter is off: nothing leaves, the wait runs into the timeout.
    if (limit != sim::kNever) sim::cpu_spend(limit);
    huart->gState = HAL_UART_STATE_READY;
    return HAL_TIMEOUT;
  }
  size_t n = size;
  if (byte_us > 0 && limit != sim::kNever && n * byte_us > limit) n = limit / byte_us;
  if (n) sim::uart_write(u->sim_port, data, n);
  sim::cpu_spend(n * byte_us);
  huart->gState = HAL_UART_STATE_READY;
  return n == size ? HAL_OK : HAL_TIMEOUT;
}

HAL_StatusTypeDef HAL_UART_Receive(UART_HandleTypeDef* huart, uint8_t* data, uint16_t size,
                                   uint32_t timeout) {
  Uart* u = uart_of(huart);
  if (!u || !data || size == 0) return HAL_ERROR;
  if (huart->RxState != HAL_UART_STATE_READY) return HAL_BUSY;
  huart->RxState = HAL_UART_STATE_BUSY_RX;
  sim::time_us deadline = timeout == HAL_MAX_DELAY
                              ? sim::kNever
                              : sim::now() + static_cast<sim::time_us>(timeout) * 1000;
  for (uint16_t i = 0; i < size; ++i) {
    while (!(u->isr & UART_FLAG_RXNE)) {
      if (sim::now() >= deadline) {
        huart->RxState = HAL_UART_STATE_READY;
        return HAL_TIMEOUT;
      }
      sim::wait_for_change(deadline);
    }
    data[i] = u->rdr;
    u->isr &= ~UART_FLAG_RXNE;
  }
  huart->RxState = HAL_UART_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_UART_Receive_DMA(UART_HandleTypeDef* huart, uint8_t* data, uint16_t size) {
  Uart* u = uart_of(huart);
  if (!u || !data || size == 0) return HAL_ERROR;
  if (huart->RxState != HAL_UART_STATE_READY) return HAL_BUSY;
  DMA_HandleTypeDef* dma = huart->hdmarx;
  if (!dma || dma->State != HAL_DMA_STATE_READY) return HAL_ERROR;
  huart->pRxBuffPtr = data;
  huart->RxXferSize = size;
  huart->ErrorCode = HAL_UART_ERROR_NONE;
  huart->RxState = HAL_UART_STATE_BUSY_RX;
  dma->XferCpltCallback = dma_rx_complete;
  dma->XferHalfCpltCallback = dma_rx_half;
  dma->Parent = huart;
  dma_rx_start(dma, data, size);
  u->dma_rx = dma;
  u->ie |= UART_IT_ERR | UART_IT_PE;
  // A byte already waiting in the data register is the first one moved.
  if (u->isr & UART_FLAG_RXNE) {
    u->isr &= ~UART_FLAG_RXNE;
    dma_rx_put(dma, u->rdr);
  }
  return HAL_OK;
}

HAL_StatusTypeDef HAL_UART_DMAStop(UART_HandleTypeDef* huart) {
  Uart* u = uart_of(huart);
  if (!u) return HAL_ERROR;
  if (u->dma_rx) dma_rx_stop(u->dma_rx);
  u->dma_rx = nullptr;
  u->ie &= ~(UART_IT_ERR | UART_IT_PE);
  huart->RxState = HAL_UART_STATE_READY;
  if (huart->gState == HAL_UART_STATE_BUSY_TX) huart->gState = HAL_UART_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_UART_AbortReceive(UART_HandleTypeDef* huart) {
  return HAL_UART_DMAStop(huart);
}

void HAL_UART_IRQHandler(UART_HandleTypeDef* huart) {
  Uart* u = uart_of(huart);
  if (!u) return;
  uint32_t errors = u->isr & kErrorFlags;
  if (errors && (u->dma_rx || (u->ie & (UART_IT_ERR | UART_IT_PE | UART_IT_RXNE)))) {
    if (errors & UART_FLAG_PE) huart->ErrorCode |= HAL_UART_ERROR_PE;
    if (errors & UART_FLAG_NE) huart->ErrorCode |= HAL_UART_ERROR_NE;
    if (errors & UART_FLAG_FE) huart->ErrorCode |= HAL_UART_ERROR_FE;
    if (errors & UART_FLAG_ORE) huart->ErrorCode |= HAL_UART_ERROR_ORE;
    u->isr &= ~errors;
    // A receive error ends a DMA reception.
    if (u->dma_rx) {
      dma_rx_stop(u->dma_rx);
      u->dma_rx = nullptr;
      u->ie &= ~(UART_IT_ERR | UART_IT_PE);
      huart->RxState = HAL_UART_STATE_READY;
    }
    HAL_UART_ErrorCallback(huart);
  }
  if ((u->isr & UART_FLAG_WUF) && (u->ie & UART_IT_WUF)) {
    u->isr &= ~UART_FLAG_WUF;
    HAL_UARTEx_WakeupCallback(huart);
  }
}

HAL_UART_StateTypeDef HAL_UART_GetState(UART_HandleTypeDef* huart) {
  return static_cast<HAL_UART_StateTypeDef>(huart->gState | huart->RxState);
}

uint32_t HAL_UART_GetError(UART_HandleTypeDef* huart) { return huart->ErrorCode; }

HAL_StatusTypeDef HAL_HalfDuplex_EnableTransmitter(UART_HandleTypeDef* huart) {
  Uart* u = uart_of(huart);
  if (!u) return HAL_ERROR;
  u->tx_on = true;
  u->rx_on = false;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_HalfDuplex_EnableReceiver(UART_HandleTypeDef* huart) {
  Uart* u = uart_of(huart);
  if (!u) return HAL_ERROR;
  u->tx_on = false;
  u->rx_on = true;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_UARTEx_SetTxFifoThreshold(UART_HandleTypeDef* huart, uint32_t) {
  return uart_of(huart) ? HAL_OK : HAL_ERROR;
}
HAL_StatusTypeDef HAL_UARTEx_SetRxFifoThreshold(UART_HandleTypeDef* huart, uint32_t) {
  return uart_of(huart) ? HAL_OK : HAL_ERROR;
}
HAL_StatusTypeDef HAL_UARTEx_DisableFifoMode(UART_HandleTypeDef* huart) {
  return uart_of(huart) ? HAL_OK : HAL_ERROR;
}
HAL_StatusTypeDef HAL_UARTEx_StopModeWakeUpSourceConfig(UART_HandleTypeDef* huart,
                                                        UART_WakeUpTypeDef) {
  return uart_of(huart) ? HAL_OK : HAL_ERROR;
}

HAL_StatusTypeDef HAL_UARTEx_EnableStopMode(UART_HandleTypeDef* huart) {
  Uart* u = uart_of(huart);
  if (!u) return HAL_ERROR;
  u->stop_mode = true;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_UARTEx_DisableStopMode(UART_HandleTypeDef* huart) {
  Uart* u = uart_of(huart);
  if (!u) return HAL_ERROR;
  u->stop_mode = false;
  return HAL_OK;
}

__weak void HAL_UART_TxCpltCallback(UART_HandleTypeDef*) {}
__weak void HAL_UART_RxCpltCallback(UART_HandleTypeDef*) {}
__weak void HAL_UART_RxHalfCpltCallback(UART_HandleTypeDef*) {}
__weak void HAL_UART_ErrorCallback(UART_HandleTypeDef*) {}
__weak void HAL_UARTEx_RxEventCallback(UART_HandleTypeDef*, uint16_t) {}
__weak void HAL_UARTEx_WakeupCallback(UART_HandleTypeDef*) {}

uint32_t stm32_uart_flags(const UART_HandleTypeDef* huart) {
  const Uart* u = uart_of(huart);
  if (!u || !u->enabled) return 0;
  uint32_t f = u->isr | kAlwaysSet;
  if (u->rx_on) f |= UART_FLAG_REACK;
  if (u->tx_on) f |= UART_FLAG_TEACK;
  return f;
}

void stm32_uart_clear_flags(UART_HandleTypeDef* huart, uint32_t flags) {
  if (Uart* u = uart_of(huart)) u->isr &= ~flags;
}

void stm32_uart_it(UART_HandleTypeDef* huart, uint32_t its, int enable) {
  Uart* u = uart_of(huart);
  if (!u) return;
  if (enable) {
    u->ie |= its;
    if (u->isr & its & (UART_IT_IDLE | UART_IT_WUF | UART_IT_RXNE)) raise(*u);
  } else {
    u->ie &= ~its;
  }
}

}  // extern "C"

// The peripheral back to its power-on state on reset_platform().
SIM_MODEL(stm32_uart, {.name = "stm32.uart", .on_reset = stm32sim::detail::uart_reset});
