// Serial ports of the STM32WLE5 images: UART1 on USART1 (PB6/PB7), UART2 on
// LPUART1 (PA2/PA3, the AT port). Reception runs by DMA into a buffer that
// the idle-line interrupt (or a full buffer) flushes into the port's ring
// queue: 128 bytes, restarted at each flush, on UART1; on the AT port a
// circular 1024-byte buffer that keeps running and is read from where the
// last flush stopped, so that bytes arriving while a flash erase stalls the
// core are kept, and what the full queue cannot take waits there until the
// reader makes room. A UART can wake the MCU from stop mode; the wake-up arms
// the reception again as the port was opened.
#include <string.h>

#include "fund_circular_queue.h"
#include "qiv_board.h"
#include "stm32wle5xx_port.h"
#include "udrv_powersave.h"

UART_HandleTypeDef huart1;
UART_HandleTypeDef hlpuart1;
DMA_HandleTypeDef hdma_usart1_rx;
DMA_HandleTypeDef hdma_lpuart1_rx;

uhal_uart_status_t uhal_uart_status[3];
SERIAL_WIRE_MODE_E uart_wire_mode[3];
volatile char LpuartDMAdoing = 0;
udrv_system_event_t qiv_uart_event = {UDRV_SYS_EVT_OP_SERIAL_UART, nullptr};
void (*ONEWIRE_HANDLER)(SERIAL_PORT port, SERIAL_UART_EVT event) = nullptr;

static uint8_t uart1_dma_buff[UART_DMA_BUFFER_SIZE];
static uint8_t lpuart_dma_buff[LPUART_DMA_BUFFER_SIZE];
// Where each port's next unread byte in its DMA buffer is.
static uint32_t dma_read_pos[3];
// The port's queue had no room for all the DMA had received: the rest waits
// in the buffer for the reader to make room.
static volatile bool dma_held_back[3];
FUND_CIRCULAR_QUEUE_INIT(uint8_t, SERIAL_UART1_rxq, UART_RX_QUEUE_SIZE);
FUND_CIRCULAR_QUEUE_INIT(uint8_t, SERIAL_UART2_rxq, UART_RX_QUEUE_SIZE);
// Interrupt handlers print too (the radio's event lines). The transmitter is
// polled, so a handler that writes while the main line is sending would find
// the port busy and lose its text, and one that writes between two pieces of
// a line the main line is putting together (a reply, then its line end)
// would split that line. So a handler's text goes out at once only when the
// port is idle at a line boundary; otherwise it waits in the port's backlog,
// which the main line sends as soon as its line is finished, or when the
// main loop comes round (a line that stays unfinished, such as echoed
// typing, holds nothing back for long). Lines stay whole and in order.
FUND_CIRCULAR_QUEUE_INIT(uint8_t, SERIAL_UART1_txq, UART_TX_BACKLOG_SIZE);
FUND_CIRCULAR_QUEUE_INIT(uint8_t, SERIAL_UART2_txq, UART_TX_BACKLOG_SIZE);
// A write is going out on the port.
static volatile bool tx_running[3];
// The main line's last byte on the port did not end a line.
static volatile bool line_open[3];

namespace {

struct PortParts {
  SERIAL_PORT port;
  UART_HandleTypeDef *huart;
  DMA_HandleTypeDef *hdma;
  uint8_t *buff;
  uint32_t size;
  fund_circular_queue_t *rxq;
};

PortParts parts_of(SERIAL_PORT port) {
  if (port == SERIAL_UART1) {
    return {SERIAL_UART1,         &huart1,          &hdma_usart1_rx, uart1_dma_buff,
            UART_DMA_BUFFER_SIZE, &SERIAL_UART1_rxq};
  }
  if (port == SERIAL_UART2) {
    return {SERIAL_UART2,           &hlpuart1,        &hdma_lpuart1_rx, lpuart_dma_buff,
            LPUART_DMA_BUFFER_SIZE, &SERIAL_UART2_rxq};
  }
  return {port, nullptr, nullptr, nullptr, 0, nullptr};
}

fund_circular_queue_t *backlog_of(SERIAL_PORT port) {
  return port == SERIAL_UART1   ? &SERIAL_UART1_txq
         : port == SERIAL_UART2 ? &SERIAL_UART2_txq
                                : nullptr;
}

PortParts parts_of(UART_HandleTypeDef *huart) {
  return parts_of(huart == &huart1     ? SERIAL_UART1
                  : huart == &hlpuart1 ? SERIAL_UART2
                                       : SERIAL_UART0);
}

GPIO_TypeDef *gpio_port_of(uint8_t pin) {
  return reinterpret_cast<GPIO_TypeDef *>(GPIOA_BASE + (pin / 16) * 0x400U);
}

uint16_t gpio_mask_of(uint8_t pin) { return static_cast<uint16_t>(1U << (pin % 16)); }

// The STM32 word length includes the parity bit.
uint32_t word_length(SERIAL_WORD_LEN_E datalen, SERIAL_PARITY_E parity) {
  bool with_parity = parity == SERIAL_PARITY_ODD || parity == SERIAL_PARITY_EVEN;
  if (!with_parity) {
    return datalen == SERIAL_WORD_LEN_7 ? UART_WORDLENGTH_7B : UART_WORDLENGTH_8B;
  }
  switch (datalen) {
    case SERIAL_WORD_LEN_6:
      return UART_WORDLENGTH_7B;
    case SERIAL_WORD_LEN_7:
      return UART_WORDLENGTH_8B;
    case SERIAL_WORD_LEN_8:
      return UART_WORDLENGTH_9B;
    default:
      return UART_WORDLENGTH_8B;
  }
}

uint32_t parity_of(SERIAL_PARITY_E parity) {
  switch (parity) {
    case SERIAL_PARITY_ODD:
      return UART_PARITY_ODD;
    case SERIAL_PARITY_EVEN:
      return UART_PARITY_EVEN;
    default:
      return UART_PARITY_NONE;
  }
}

// DMA reception into the port's buffer from its start, then the idle-line
// interrupt.
void start_reception(const PortParts &p) {
  dma_read_pos[p.port] = 0;
  dma_held_back[p.port] = false;
  if (HAL_UART_Receive_DMA(p.huart, p.buff, static_cast<uint16_t>(p.size)) != HAL_OK) {
    Error_Handler();
  }
  __HAL_UART_ENABLE_IT(p.huart, UART_IT_IDLE);
}

bool circular(const PortParts &p) { return p.hdma->Init.Mode == DMA_CIRCULAR; }

// The AT port's DMA runs circular, UART1's restarts at each flush: whoever
// arms a port's reception again (after a wake-up or a stop mode) arms it the
// same way uart_init did.
uint32_t dma_mode_of(SERIAL_PORT port) { return port == SERIAL_UART2 ? DMA_CIRCULAR : DMA_NORMAL; }

// Hands `n` received bytes to the escape recognizer and the port's queue
// (bytes beyond the free space are lost).
void deliver(const PortParts &p, const uint8_t *bytes, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    serial_fallback_handler(p.port, bytes[i]);
  }
  fund_circular_queue_in(p.rxq, bytes, n);
}

// Moves the bytes from the last read position up to `upto` (at most the
// buffer's end) out of the buffer, across its end when the DMA has wrapped;
// the count of bytes moved. With `room_only`, only what the port's queue has
// room for is moved: the rest stays in the buffer, which a circular DMA
// overwrites only once it has gone all the way round, and is taken when the
// reader has made room.
uint32_t deliver_upto(const PortParts &p, uint32_t upto, bool room_only) {
  uint32_t &read = dma_read_pos[p.port];
  uint32_t room = room_only ? fund_circular_queue_available_get(p.rxq) : p.size;
  uint32_t n = 0;
  auto move = [&](uint32_t end) {
    uint32_t const k = end - read < room ? end - read : room;
    deliver(p, p.buff + read, k);
    read = (read + k) % p.size;
    room -= k;
    n += k;
  };
  if (upto < read) {
    move(p.size);
  }
  if (upto >= read) {
    move(upto);
  }
  dma_held_back[p.port] = read != upto % p.size;
  return n;
}

// Where the DMA writes its next byte.
uint32_t dma_position(const PortParts &p) {
  return (p.size - __HAL_DMA_GET_COUNTER(p.hdma)) % p.size;
}

// Moves what the DMA has received so far out of the buffer, on a running
// circular DMA only what the port's queue has room for; the count of bytes
// moved. Before the DMA is stopped and started again from the buffer's start,
// `all` takes everything.
uint32_t flush_dma(const PortParts &p, bool all = false) {
  uint32_t const upto = circular(p) ? dma_position(p) : p.size - __HAL_DMA_GET_COUNTER(p.hdma);
  return deliver_upto(p, upto, circular(p) && !all);
}

// Tops the port's queue up from a circular DMA buffer once the reader has
// made room.
void refill(const PortParts &p) {
  if (!dma_held_back[p.port] || p.huart->RxState != HAL_UART_STATE_BUSY_RX || !circular(p)) {
    return;
  }
  uint32_t mask;
  uhal_sys_board_critical_section_begin(&mask);
  flush_dma(p);
  uhal_sys_board_critical_section_end(&mask);
}

// Stops the reception, keeping what the DMA has received so far: the bytes
// go to the port's queue and, when there are any, the serial event is posted
// (no idle-line interrupt will come for them once the DMA is stopped).
void stop_reception(const PortParts &p) {
  if (p.huart->RxState != HAL_UART_STATE_BUSY_RX) {
    return;
  }
  HAL_UART_DMAStop(p.huart);
  uint32_t const n = flush_dma(p, true);
  if (n > 0) {
    udrv_system_event_produce(&qiv_uart_event);
  }
}

void dma_setup(const PortParts &p, uint32_t mode) {
  DMA_HandleTypeDef &d = *p.hdma;
  d.Instance = p.port == SERIAL_UART1 ? DMA1_Channel4 : DMA1_Channel1;
  d.Init.Request = p.port == SERIAL_UART1 ? DMA_REQUEST_USART1_RX : DMA_REQUEST_LPUART1_RX;
  d.Init.Direction = DMA_PERIPH_TO_MEMORY;
  d.Init.PeriphInc = DMA_PINC_DISABLE;
  d.Init.MemInc = DMA_MINC_ENABLE;
  d.Init.PeriphDataAlignment = DMA_PDATAALIGN_BYTE;
  d.Init.MemDataAlignment = DMA_MDATAALIGN_BYTE;
  d.Init.Mode = mode;
  d.Init.Priority = DMA_PRIORITY_LOW;
  if (HAL_DMA_Init(&d) != HAL_OK) {
    Error_Handler();
  }
  __HAL_LINKDMA(p.huart, hdmarx, d);
}

void uart_init(SERIAL_PORT port, uint32_t baudrate, SERIAL_WORD_LEN_E datalen,
               SERIAL_STOP_BIT_E stop, SERIAL_PARITY_E parity, SERIAL_WIRE_MODE_E wire_mode) {
  PortParts p = parts_of(port);
  if (p.huart == nullptr) {
    return;
  }
  __HAL_RCC_DMAMUX1_CLK_ENABLE();
  __HAL_RCC_DMA1_CLK_ENABLE();
  IRQn_Type dma_irq = port == SERIAL_UART1 ? DMA1_Channel4_IRQn : DMA1_Channel1_IRQn;
  HAL_NVIC_SetPriority(dma_irq, 0, 0);
  HAL_NVIC_EnableIRQ(dma_irq);
  if (port == SERIAL_UART1) {
    uart_wire_mode[port] = wire_mode;
  }

  UART_HandleTypeDef &h = *p.huart;
  h.Instance = port == SERIAL_UART1 ? USART1 : LPUART1;
  h.Init.BaudRate = baudrate;
  h.Init.WordLength = word_length(datalen, parity);
  h.Init.StopBits = stop == SERIAL_STOP_BIT_2 ? UART_STOPBITS_2 : UART_STOPBITS_1;
  h.Init.Parity = parity_of(parity);
  h.Init.Mode = UART_MODE_TX_RX;
  h.Init.HwFlowCtl = UART_HWCONTROL_NONE;
  h.Init.OverSampling = UART_OVERSAMPLING_16;
  h.Init.OneBitSampling = UART_ONE_BIT_SAMPLE_DISABLE;
  h.Init.ClockPrescaler = UART_PRESCALER_DIV1;
  h.AdvancedInit.AdvFeatureInit = UART_ADVFEATURE_NO_INIT;

  HAL_StatusTypeDef st;
  if (port == SERIAL_UART1 && wire_mode == SERIAL_ONE_WIRE_TX_PIN_MODE) {
    st = HAL_HalfDuplex_Init(&h);
  } else if (port == SERIAL_UART1 && wire_mode == SERIAL_ONE_WIRE_RX_PIN_MODE) {
    h.AdvancedInit.AdvFeatureInit = UART_ADVFEATURE_SWAP_INIT;
    h.AdvancedInit.Swap = UART_ADVFEATURE_SWAP_ENABLE;
    st = HAL_HalfDuplex_Init(&h);
  } else {
    st = HAL_UART_Init(&h);
  }
  if (st != HAL_OK || HAL_UARTEx_SetTxFifoThreshold(&h, UART_TXFIFO_THRESHOLD_1_8) != HAL_OK ||
      HAL_UARTEx_SetRxFifoThreshold(&h, UART_RXFIFO_THRESHOLD_1_8) != HAL_OK ||
      HAL_UARTEx_DisableFifoMode(&h) != HAL_OK) {
    Error_Handler();
  }
  start_reception(p);

  UART_WakeUpTypeDef wake = {};
  wake.WakeUpEvent = UART_WAKEUP_ON_READDATA_NONEMPTY;
  if (HAL_UARTEx_StopModeWakeUpSourceConfig(&h, wake) != HAL_OK) {
    Error_Handler();
  }
  if (port == SERIAL_UART2) {
    LL_EXTI_EnableIT_0_31(LL_EXTI_LINE_28);
    __HAL_UART_ENABLE_IT(&h, UART_IT_WUF);
  }
  HAL_RCCEx_WakeUpStopCLKConfig(RCC_STOP_WAKEUPCLOCK_HSI);
}

}  // namespace

// --------------------------------------------------------- MSP of the UARTs --
void HAL_UART_MspInit(UART_HandleTypeDef *huart) {
  GPIO_InitTypeDef gpio = {};
  RCC_PeriphCLKInitTypeDef clk = {};
  PortParts p = parts_of(huart);
  if (p.port == SERIAL_UART1) {
    clk.PeriphClockSelection = RCC_PERIPHCLK_USART1;
    clk.Usart1ClockSelection = RCC_USART1CLKSOURCE_HSI;
    if (HAL_RCCEx_PeriphCLKConfig(&clk) != HAL_OK) {
      Error_Handler();
    }
    __HAL_RCC_USART1_CLK_ENABLE();
    __HAL_RCC_GPIOB_CLK_ENABLE();
    gpio.Pull = GPIO_PULLUP;
    gpio.Speed = GPIO_SPEED_FREQ_HIGH;
    gpio.Alternate = GPIO_AF7_USART1;
    switch (uart_wire_mode[SERIAL_UART1]) {
      case SERIAL_ONE_WIRE_RX_PIN_MODE: {
        // One open-drain line on the swapped pin.
        uint8_t line = qiv_board.uart1_one_wire_swap_pin;
        gpio.Pin = gpio_mask_of(line);
        gpio.Mode = GPIO_MODE_AF_OD;
        HAL_GPIO_Init(gpio_port_of(line), &gpio);
        break;
      }
      default:
        gpio.Pin = GPIO_PIN_6 | GPIO_PIN_7;
        gpio.Mode = GPIO_MODE_AF_PP;
        HAL_GPIO_Init(GPIOB, &gpio);
        break;
    }
    dma_setup(p, dma_mode_of(p.port));
    HAL_NVIC_SetPriority(USART1_IRQn, 0, 0);
    HAL_NVIC_EnableIRQ(USART1_IRQn);
  } else if (p.port == SERIAL_UART2) {
    // The LSE runs the port in stop mode at low rates.
    clk.PeriphClockSelection = RCC_PERIPHCLK_LPUART1;
    clk.Lpuart1ClockSelection =
        huart->Init.BaudRate <= 2400 ? RCC_LPUART1CLKSOURCE_LSE : RCC_LPUART1CLKSOURCE_HSI;
    if (HAL_RCCEx_PeriphCLKConfig(&clk) != HAL_OK) {
      Error_Handler();
    }
    __HAL_RCC_LPUART1_CLK_ENABLE();
    __HAL_RCC_GPIOA_CLK_ENABLE();
    gpio.Pin = GPIO_PIN_2 | GPIO_PIN_3;
    gpio.Mode = GPIO_MODE_AF_PP;
    gpio.Pull = GPIO_PULLUP;
    gpio.Speed = GPIO_SPEED_FREQ_HIGH;
    gpio.Alternate = GPIO_AF8_LPUART1;
    HAL_GPIO_Init(GPIOA, &gpio);
    dma_setup(p, dma_mode_of(p.port));
    HAL_NVIC_SetPriority(LPUART1_IRQn, 0, 0);
    HAL_NVIC_EnableIRQ(LPUART1_IRQn);
  }
}

void HAL_UART_MspDeInit(UART_HandleTypeDef *huart) {
  PortParts p = parts_of(huart);
  if (p.port == SERIAL_UART1) {
    __HAL_RCC_USART1_CLK_DISABLE();
    HAL_GPIO_DeInit(GPIOB, GPIO_PIN_6 | GPIO_PIN_7);
    HAL_DMA_DeInit(huart->hdmarx);
    HAL_NVIC_DisableIRQ(USART1_IRQn);
  } else if (p.port == SERIAL_UART2) {
    __HAL_RCC_LPUART1_CLK_DISABLE();
    HAL_GPIO_DeInit(GPIOA, GPIO_PIN_2 | GPIO_PIN_3);
    HAL_DMA_DeInit(huart->hdmarx);
    HAL_NVIC_DisableIRQ(LPUART1_IRQn);
  }
}

// ------------------------------------------------------------ receive paths --
void USAR_UART_IDLECallback(UART_HandleTypeDef *huart) {
  PortParts p = parts_of(huart);
  if (p.huart == nullptr) {
    return;
  }
  if (circular(p)) {
    // The DMA keeps running: only what it has written so far is taken.
    flush_dma(p);
  } else {
    HAL_UART_DMAStop(huart);
    flush_dma(p, true);
    start_reception(p);
  }
  if (LpuartDMAdoing == 1) {
    LpuartDMAdoing = 0;
    udrv_powersave_wake_unlock();
  }
  if (p.port == SERIAL_UART1 && ONEWIRE_HANDLER != nullptr) {
    ONEWIRE_HANDLER(SERIAL_UART1, SERIAL_UART_RX_DONE);
  }
  udrv_system_event_produce(&qiv_uart_event);
}

void HAL_UART_RxCpltCallback(UART_HandleTypeDef *huart) {
  PortParts p = parts_of(huart);
  if (p.huart == nullptr) {
    return;
  }
  if (circular(p)) {
    // The buffer's end was reached: the rest of it, then what the DMA has
    // written since it went round (an idle-line flush may have taken them
    // already: the read position knows).
    flush_dma(p);
  } else {
    HAL_UART_DMAStop(huart);
    deliver_upto(p, p.size, false);
    start_reception(p);
  }
  udrv_system_event_produce(&qiv_uart_event);
}

void HAL_UART_RxHalfCpltCallback(UART_HandleTypeDef *huart) {
  PortParts p = parts_of(huart);
  if (p.huart != nullptr && circular(p) && flush_dma(p) > 0) {
    udrv_system_event_produce(&qiv_uart_event);
  }
  if (huart == &huart1 && ONEWIRE_HANDLER != nullptr) {
    ONEWIRE_HANDLER(SERIAL_UART1, SERIAL_UART_RX_DONE);
  }
}

// A receive error ends the DMA reception: what arrived before it is handed
// on and reception starts again, on both ports.
void HAL_UART_ErrorCallback(UART_HandleTypeDef *huart) {
  PortParts p = parts_of(huart);
  if (p.huart == nullptr) {
    return;
  }
  (void)HAL_UART_GetError(huart);
  HAL_UART_DMAStop(huart);
  uint32_t const n = flush_dma(p, true);
  if (n > 0) {
    udrv_system_event_produce(&qiv_uart_event);
  }
  start_reception(p);
}

void HAL_UARTEx_RxEventCallback(UART_HandleTypeDef *, uint16_t) {}

// A byte woke the MCU from stop mode: it is delivered first, reception starts
// again and a wake lock keeps the MCU awake until the next idle line.
void HAL_UARTEx_WakeupCallback(UART_HandleTypeDef *huart) {
  PortParts p = parts_of(huart);
  if (p.huart == nullptr) {
    return;
  }
  udrv_powersave_in_sleep = false;
  // Bytes the DMA took before the stop mode came first.
  stop_reception(p);
  uint8_t byte = static_cast<uint8_t>(huart->Instance->RDR);
  HAL_UARTEx_DisableStopMode(huart);
  dma_setup(p, dma_mode_of(p.port));
  start_reception(p);
  deliver(p, &byte, 1);
  udrv_system_event_produce(&qiv_uart_event);
  if (LpuartDMAdoing == 0) {
    LpuartDMAdoing = 1;
    udrv_powersave_wake_lock();
  }
}

// ------------------------------------------------------------ baud rates ----
// One stored rate opens both UARTs, so a rate is usable when both can make
// it. LPUART1 (UART2) runs from the LSE up to 2400 baud and from the HSI
// above (see HAL_UART_MspInit), and its divider 256 x clock / rate must lie
// between 0x300 and 0xFFFFF: that leaves out the rates between 2400 baud and
// the lowest the HSI can divide down to. USART1 (UART1) runs from the HSI with
// 16x oversampling, its divider clock / rate between 16 and 0xFFFF. The AT
// port is not served faster than 115200 baud.
bool uhal_uart_baudrate_supported(uint32_t baudrate) {
  constexpr uint64_t hsi_hz = 16000000u;
  constexpr uint64_t lse_hz = 32768u;
  constexpr uint32_t lse_max_baud = 2400u;
  constexpr uint32_t max_baud = 115200u;
  if (baudrate == 0 || baudrate > max_baud) {
    return false;
  }
  uint64_t const lpuart_clock = baudrate <= lse_max_baud ? lse_hz : hsi_hz;
  uint64_t const lpuart_div = lpuart_clock * 256u / baudrate;
  uint64_t const usart_div = hsi_hz / baudrate;
  return lpuart_div >= 0x300u && lpuart_div <= 0xFFFFFu && usart_div >= 16u && usart_div <= 0xFFFFu;
}

// ------------------------------------------------------ operation table ----
void uhal_uart_init(SERIAL_PORT port, uint32_t baudrate, SERIAL_WORD_LEN_E datalen,
                    SERIAL_STOP_BIT_E stop, SERIAL_PARITY_E parity, SERIAL_WIRE_MODE_E wire_mode) {
  if (port > SERIAL_UART2) {
    return;
  }
  uart_init(port, baudrate, datalen, stop, parity, wire_mode);
  uhal_uart_status_t &s = uhal_uart_status[port];
  s.active = true;
  s.baudrate = baudrate;
  s.dataBits = datalen;
  s.stopBits = stop;
  s.parity = parity;
}

void uhal_uart_deinit(SERIAL_PORT port) {
  PortParts p = parts_of(port);
  // A port never opened has nothing to close. Bytes already received stay
  // in the port's queue.
  if (p.huart != nullptr && p.huart->Instance != nullptr) {
    stop_reception(p);
    if (HAL_UART_DeInit(p.huart) != HAL_OK) {
      Error_Handler();
    }
  }
  if (port <= SERIAL_UART2) {
    uhal_uart_status[port].active = false;
  }
}

// Sends `len` bytes and waits until they are out (or the timeout).
static HAL_StatusTypeDef transmit(const PortParts &p, uint8_t const *buffer, uint32_t len,
                                  uint32_t timeout) {
  bool one_wire =
      p.port == SERIAL_UART1 && uart_wire_mode[SERIAL_UART1] != SERIAL_TWO_WIRE_NORMAL_MODE;
  if (one_wire) {
    HAL_HalfDuplex_EnableTransmitter(p.huart);
  }
  HAL_StatusTypeDef st = HAL_UART_Transmit(p.huart, buffer, static_cast<uint16_t>(len), timeout);
  if (one_wire) {
    HAL_HalfDuplex_EnableReceiver(p.huart);
    if (st == HAL_OK && ONEWIRE_HANDLER != nullptr) {
      ONEWIRE_HANDLER(p.port, SERIAL_UART_TX_DONE);
    }
  }
  return st;
}

// Sends the backlog, including what handlers add while it goes out; the port
// is free again once it is empty. Called with tx_running set.
static void send_backlog(const PortParts &p, fund_circular_queue_t *backlog, uint32_t timeout) {
  for (;;) {
    uint8_t chunk[64];
    uint32_t mask;
    uhal_sys_board_critical_section_begin(&mask);
    uint32_t const n = fund_circular_queue_out(backlog, chunk, sizeof(chunk));
    if (n == 0) {
      tx_running[p.port] = false;
    }
    uhal_sys_board_critical_section_end(&mask);
    if (n == 0) {
      return;
    }
    (void)transmit(p, chunk, n, timeout);
  }
}

int32_t uhal_uart_write(SERIAL_PORT port, uint8_t const *buffer, uint32_t len, uint32_t timeout) {
  PortParts p = parts_of(port);
  fund_circular_queue_t *backlog = backlog_of(port);
  if (p.huart == nullptr || backlog == nullptr) {
    return 0;
  }
  bool const in_handler = __get_IPSR() != 0;
  uint32_t mask;
  uhal_sys_board_critical_section_begin(&mask);
  if (in_handler &&
      (tx_running[port] || line_open[port] || fund_circular_queue_utilization_get(backlog) != 0)) {
    // What does not fit is lost: a handler cannot wait for room.
    uint32_t const queued = fund_circular_queue_in(backlog, buffer, len);
    bool const idle = !tx_running[port];
    uhal_sys_board_critical_section_end(&mask);
    if (idle) {
      // Nobody is sending: the main loop comes round and sends it.
      udrv_system_event_produce(&qiv_uart_event);
    }
    return queued == len ? 0 : -UDRV_BUSY;
  }
  tx_running[port] = true;
  uhal_sys_board_critical_section_end(&mask);

  HAL_StatusTypeDef st = transmit(p, buffer, len, timeout);
  if (!in_handler && len > 0) {
    line_open[port] = buffer[len - 1] != '\n';
  }
  if (line_open[port]) {
    uhal_sys_board_critical_section_begin(&mask);
    tx_running[port] = false;
    bool const waiting = fund_circular_queue_utilization_get(backlog) != 0;
    uhal_sys_board_critical_section_end(&mask);
    if (waiting) {
      // Should the line stay unfinished, the main loop comes round to it.
      udrv_system_event_produce(&qiv_uart_event);
    }
  } else {
    send_backlog(p, backlog, timeout);
  }
  if (st == HAL_OK) {
    return 0;
  }
  return st == HAL_BUSY ? -UDRV_BUSY : -UDRV_INTERNAL_ERR;
}

int32_t uhal_uart_read(SERIAL_PORT port, uint8_t *buffer, uint32_t len, uint32_t) {
  PortParts p = parts_of(port);
  if (p.rxq == nullptr) {
    return -UDRV_INTERNAL_ERR;
  }
  refill(p);
  uint32_t const n = fund_circular_queue_out(p.rxq, buffer, len);
  refill(p);
  return static_cast<int32_t>(n);
}

int32_t uhal_uart_peek(SERIAL_PORT port) {
  PortParts p = parts_of(port);
  uint8_t byte;
  if (p.rxq != nullptr) {
    refill(p);
  }
  if (p.rxq == nullptr || fund_circular_queue_peek(p.rxq, &byte) != 0) {
    return -UDRV_INTERNAL_ERR;
  }
  return byte;
}

int32_t uhal_uart_read_available(SERIAL_PORT port) {
  PortParts p = parts_of(port);
  if (p.rxq == nullptr) {
    return -UDRV_INTERNAL_ERR;
  }
  refill(p);
  return static_cast<int32_t>(fund_circular_queue_utilization_get(p.rxq));
}

// Sends what handlers left waiting for the main line (called by the main
// loop when it comes round), whether or not the main line's line is finished.
void uhal_uart_flush(SERIAL_PORT port, uint32_t timeout) {
  PortParts p = parts_of(port);
  fund_circular_queue_t *backlog = backlog_of(port);
  if (p.huart == nullptr || backlog == nullptr) {
    return;
  }
  uint32_t mask;
  uhal_sys_board_critical_section_begin(&mask);
  bool const free = !tx_running[port] && fund_circular_queue_utilization_get(backlog) != 0;
  if (free) {
    tx_running[port] = true;
  }
  uhal_sys_board_critical_section_end(&mask);
  if (free) {
    // The main line's unfinished line has been cut by the handlers' lines.
    line_open[port] = false;
    send_backlog(p, backlog, timeout);
  }
}

void uhal_uart_suspend(void) {
  if (uhal_uart_status[SERIAL_UART2].active) {
    // Let a reception in progress end; its idle line flushes it.
    while (__HAL_UART_GET_FLAG(&hlpuart1, UART_FLAG_BUSY)) {
      __WFI();
    }
    while (!__HAL_UART_GET_FLAG(&hlpuart1, UART_FLAG_REACK)) {
      __WFI();
    }
    HAL_UARTEx_EnableStopMode(&hlpuart1);
    __HAL_UART_CLEAR_IDLEFLAG(&hlpuart1);
    __HAL_UART_DISABLE_IT(&hlpuart1, UART_IT_IDLE);
    // What came since the last idle line is kept and posted; the posted
    // event then gives the sleep up.
    stop_reception(parts_of(SERIAL_UART2));
    HAL_DMA_DeInit(&hdma_lpuart1_rx);
  }
  if (uhal_uart_status[SERIAL_UART1].active) {
    __HAL_UART_CLEAR_FLAG(&huart1, UART_CLEAR_OREF | UART_CLEAR_WUF);
    HAL_UARTEx_EnableStopMode(&huart1);
    __HAL_UART_ENABLE_IT(&huart1, UART_IT_WUF);
    LL_EXTI_EnableIT_0_31(LL_EXTI_LINE_26);
  }
}

// After stop mode every open port receives again: a port whose reception the
// wake-up path has restarted is left as it is.
void uhal_uart_resume(void) {
  static const SERIAL_PORT ports[] = {SERIAL_UART1, SERIAL_UART2};
  for (SERIAL_PORT port : ports) {
    PortParts p = parts_of(port);
    if (!uhal_uart_status[port].active || p.huart->RxState == HAL_UART_STATE_BUSY_RX) {
      continue;
    }
    HAL_UARTEx_DisableStopMode(p.huart);
    dma_setup(p, dma_mode_of(port));
    start_reception(p);
  }
}

udrv_serial_api serial_uart_driver = {
    uhal_uart_init, uhal_uart_deinit, uhal_uart_write,          uhal_uart_read,
    uhal_uart_peek, uhal_uart_flush,  uhal_uart_read_available, nullptr,
};
