// The Apollo3 UART ports UART0 and UART1 (UART2 has no hardware): the
// receive path interrupt -> kernel queue -> receive task -> ring buffer, the
// blocking write every printed line takes, the queued write with its
// transmit task, and the suspend/resume pair of power save.
#include <string.h>

#include <initializer_list>

#include "apollo3_port.h"
#include "fund_circular_queue.h"

uhal_uart_status_t uhal_uart_status[2];

namespace {

constexpr uint32_t kQueueSize = 1024;
constexpr uint32_t kFifoRead = 23;
constexpr uint32_t kTxPolls = 100000;
constexpr uint32_t kQueuedTxPolls = 1000000;
constexpr uint32_t kIntMask = AM_HAL_UART_INT_TXCMP | AM_HAL_UART_INT_RX | AM_HAL_UART_INT_RX_TMOUT;

struct Pads {
  uint32_t tx;
  uint32_t rx;
  bool rx_pullup;
};
constexpr Pads kPads[2] = {{39, 40, false}, {42, 43, true}};
constexpr IRQn_Type kIrq[2] = {UART0_IRQn, UART1_IRQn};
const char *const kRxTaskName[2] = {"UART0_taskRx", "UART1_taskRx"};
const char *const kTxTaskName[2] = {"UART0_taskTx", "UART1_taskTx"};

struct Uart {
  void *handle;
  QueueHandle_t rx_queue;
  SemaphoreHandle_t rx_sem;
  QueueHandle_t tx_queue;
  SemaphoreHandle_t tx_sem;
  SemaphoreHandle_t tx_mutex;
  SemaphoreHandle_t lock;
  TaskHandle_t rx_task;
  TaskHandle_t tx_task;
  volatile bool tx_complete;
  uint8_t staging[kQueueSize];
};
Uart uarts[2];

// The ring buffers the driver layer reads, 1024 elements each.
uint8_t ring_mem[2][kQueueSize + 1];
fund_circular_queue_t rings[2] = {
    {ring_mem[0], kQueueSize, 1, 0, 0},
    {ring_mem[1], kQueueSize, 1, 0, 0},
};

// The UART event, shared by both ports.
udrv_system_event_t uart_event = {UDRV_SYS_EVT_OP_SERIAL_UART, nullptr};

bool has_hardware(SERIAL_PORT port) { return port == SERIAL_UART0 || port == SERIAL_UART1; }

// The lock is created on first use; from an interrupt it is only tried,
// and a lock that was not obtained is not given back.
bool take_lock(Uart &u) {
  if (u.lock == nullptr) {
    u.lock = xSemaphoreCreateMutex();
  }
  if (isInISR()) {
    BaseType_t woken = pdFALSE;
    return xQueueReceiveFromISR(u.lock, nullptr, &woken) == pdPASS;
  }
  return xSemaphoreTake(u.lock, portMAX_DELAY) == pdPASS;
}

void give_lock(Uart &u, bool taken) {
  if (taken) {
    apollo3_give(u.lock);
  }
}

void rx_task(void *arg) {
  auto port = static_cast<SERIAL_PORT>(reinterpret_cast<uintptr_t>(arg));
  Uart &u = uarts[port];
  for (;;) {
    xSemaphoreTake(u.rx_sem, portMAX_DELAY);
    UBaseType_t n = uxQueueMessagesWaiting(u.rx_queue);
    for (UBaseType_t i = 0; i < n; ++i) {
      uint8_t byte;
      if (xQueueReceive(u.rx_queue, &byte, 0) != pdPASS) {
        break;
      }
      serial_fallback_handler(port, byte);
      fund_circular_queue_in(&rings[port], &byte, 1);
    }
    udrv_system_event_produce(&uart_event);
    uhal_mcu_consume_event();
    APOLLO3_TRACE("UART%d rx %u", static_cast<int>(port), static_cast<unsigned>(n));
  }
}

// Waits for the transfer-complete flag, polling at most `polls` times; each
// poll lets time move.
void wait_tx_complete(Uart &u, uint32_t polls) {
  for (uint32_t i = 0; i < polls && !u.tx_complete; ++i) {
    __WFI();
  }
}

void send_blocking(Uart &u, uint8_t const *data, uint32_t len) {
  u.tx_complete = false;
  uint32_t sent = 0;
  am_hal_uart_transfer_t xfer = {};
  xfer.ui32Direction = AM_HAL_UART_WRITE;
  xfer.pui8Data = const_cast<uint8_t *>(data);
  xfer.ui32NumBytes = len;
  xfer.ui32TimeoutMs = AM_HAL_UART_WAIT_FOREVER;
  xfer.pui32BytesTransferred = &sent;
  am_hal_uart_transfer(u.handle, &xfer);
}

void tx_task(void *arg) {
  auto port = static_cast<SERIAL_PORT>(reinterpret_cast<uintptr_t>(arg));
  Uart &u = uarts[port];
  for (;;) {
    xSemaphoreTake(u.tx_sem, portMAX_DELAY);
    uint16_t n = static_cast<uint16_t>(uxQueueMessagesWaiting(u.tx_queue));
    if (n == 0) {
      continue;
    }
    uint16_t got = 0;
    while (got < n && got < kQueueSize && xQueueReceive(u.tx_queue, &u.staging[got], 0) == pdPASS) {
      ++got;
    }
    bool resumed_here = false;
    if (uhal_mcu_sleep_status() && !is_mcu_resumed) {
      uhal_mcu_resume();
      resumed_here = true;
    }
    if (u.handle != nullptr && uhal_uart_status[port].resumed) {
      send_blocking(u, u.staging, got);
      wait_tx_complete(u, kQueuedTxPolls);
    }
    if (resumed_here) {
      uhal_mcu_suspend();
    }
  }
}

void uart_open(SERIAL_PORT port, uint32_t baudrate) {
  uhal_uart_status_t &st = uhal_uart_status[port];
  if (st.resumed) {
    return;
  }
  Uart &u = uarts[port];
  bool taken = take_lock(u);
  am_hal_uart_config_t cfg = {};
  cfg.ui32BaudRate = apollo3_uart_rate(baudrate);
  cfg.ui32DataBits = AM_HAL_UART_DATA_BITS_8;
  cfg.ui32Parity = AM_HAL_UART_PARITY_NONE;
  cfg.ui32StopBits = AM_HAL_UART_ONE_STOP_BIT;
  cfg.ui32FlowControl = AM_HAL_UART_FLOW_CTRL_NONE;
  cfg.ui32FifoLevels = AM_HAL_UART_TX_FIFO_3_4 | AM_HAL_UART_RX_FIFO_3_4;
  APOLLO3_CHECK(am_hal_uart_initialize(port, &u.handle));
  APOLLO3_CHECK(am_hal_uart_power_control(u.handle, AM_HAL_SYSCTRL_WAKE, false));
  APOLLO3_CHECK(am_hal_uart_configure(u.handle, &cfg));
  am_hal_gpio_pincfg_t tx = {};
  tx.uFuncSel = 0;
  tx.eDriveStrength = 3;
  tx.eGPOutcfg = 1;
  am_hal_gpio_pincfg_t rx = {};
  rx.uFuncSel = 0;
  rx.eGPInput = 1;
  rx.ePullup = kPads[port].rx_pullup ? 5 : 0;
  APOLLO3_CHECK(am_hal_gpio_pinconfig(kPads[port].tx, tx));
  APOLLO3_CHECK(am_hal_gpio_pinconfig(kPads[port].rx, rx));
  if (u.rx_sem == nullptr) {
    u.rx_sem = xSemaphoreCreateBinary();
  }
  if (u.rx_queue == nullptr) {
    u.rx_queue = xQueueCreate(kQueueSize, 1);
  }
  if (u.tx_sem == nullptr) {
    u.tx_sem = xSemaphoreCreateBinary();
  }
  if (u.tx_queue == nullptr) {
    u.tx_queue = xQueueCreate(kQueueSize, 1);
  }
  if (u.tx_mutex == nullptr) {
    u.tx_mutex = xSemaphoreCreateMutex();
  }
  if (u.rx_task == nullptr) {
    xTaskCreate(rx_task, kRxTaskName[port], 256, reinterpret_cast<void *>(port), 2, &u.rx_task);
  }
  if (u.tx_task == nullptr) {
    xTaskCreate(tx_task, kTxTaskName[port], 256, reinterpret_cast<void *>(port), 2, &u.tx_task);
  }
  NVIC_SetPriority(kIrq[port], 0x80 >> (8 - __NVIC_PRIO_BITS));
  NVIC_EnableIRQ(kIrq[port]);
  APOLLO3_CHECK(am_hal_uart_interrupt_enable(u.handle, kIntMask));
  st.resumed = true;
  give_lock(u, taken);
}

// Bytes the port has received and still holds in its FIFO (the last few of
// a line, before the receive timeout) go to the receive task as the
// interrupt would pass them: the power-down that follows would lose them,
// and a port is closed and opened again while a line comes in (the user
// program's Serial.begin at start-up, the sleep's suspend). Called with the
// port's interrupt off.
void keep_fifo_bytes(SERIAL_PORT port) {
  Uart &u = uarts[port];
  bool const in_isr = isInISR();
  BaseType_t woken = pdFALSE;
  for (;;) {
    uint8_t bytes[kFifoRead];
    uint32_t got = 0;
    am_hal_uart_transfer_t xfer = {};
    xfer.ui32Direction = AM_HAL_UART_READ;
    xfer.pui8Data = bytes;
    xfer.ui32NumBytes = kFifoRead;
    xfer.ui32TimeoutMs = 0;
    xfer.pui32BytesTransferred = &got;
    APOLLO3_CHECK(am_hal_uart_transfer(u.handle, &xfer));
    if (got == 0) {
      break;
    }
    for (uint32_t i = 0; i < got; ++i) {
      if (in_isr) {
        xQueueGenericSendFromISR(u.rx_queue, &bytes[i], &woken, queueSEND_TO_BACK);
      } else {
        xQueueSend(u.rx_queue, &bytes[i], 0);
      }
    }
  }
  // These, and bytes an earlier threshold interrupt queued, would wait for
  // a receive timeout that a closed port no longer gives: the task takes
  // them now.
  UBaseType_t const waiting =
      in_isr ? uxQueueMessagesWaitingFromISR(u.rx_queue) : uxQueueMessagesWaiting(u.rx_queue);
  if (waiting == 0) {
    return;
  }
  if (in_isr) {
    xQueueGiveFromISR(u.rx_sem, &woken);
    portYIELD_FROM_ISR(woken);
  } else {
    xSemaphoreGive(u.rx_sem);
  }
}

void uart_close(SERIAL_PORT port) {
  uhal_uart_status_t &st = uhal_uart_status[port];
  if (!st.resumed) {
    return;
  }
  Uart &u = uarts[port];
  bool taken = take_lock(u);
  NVIC_DisableIRQ(kIrq[port]);
  NVIC_ClearPendingIRQ(kIrq[port]);
  keep_fifo_bytes(port);
  APOLLO3_CHECK(am_hal_uart_interrupt_disable(u.handle, kIntMask));
  APOLLO3_CHECK(am_hal_gpio_pinconfig(kPads[port].tx, g_AM_HAL_GPIO_DISABLE));
  APOLLO3_CHECK(am_hal_gpio_pinconfig(kPads[port].rx, g_AM_HAL_GPIO_DISABLE));
  APOLLO3_CHECK(am_hal_uart_power_control(u.handle, AM_HAL_SYSCTRL_DEEPSLEEP, false));
  APOLLO3_CHECK(am_hal_uart_deinitialize(u.handle));
  u.handle = nullptr;
  st.resumed = false;
  give_lock(u, taken);
}

// The interrupt of one port. A transmit-complete status that arrives with
// receive bits is served together with them: the receive-timeout bit is
// cleared here and would not come again, leaving a typed line in the FIFO.
void uart_isr(SERIAL_PORT port) {
  Uart &u = uarts[port];
  if (u.handle == nullptr) {
    return;
  }
  uint32_t status = 0;
  uint32_t idle = 0;
  APOLLO3_CHECK(am_hal_uart_interrupt_status_get(u.handle, &status, true));
  APOLLO3_CHECK(am_hal_uart_interrupt_clear(u.handle, status));
  APOLLO3_CHECK(am_hal_uart_interrupt_service(u.handle, status, &idle));
  if (status & AM_HAL_UART_INT_TXCMP) {
    u.tx_complete = true;
  }
  BaseType_t woken = pdFALSE;
  if (status & (AM_HAL_UART_INT_RX | AM_HAL_UART_INT_RX_TMOUT)) {
    uint8_t bytes[kFifoRead];
    uint32_t got = 0;
    am_hal_uart_transfer_t xfer = {};
    xfer.ui32Direction = AM_HAL_UART_READ;
    xfer.pui8Data = bytes;
    xfer.ui32NumBytes = kFifoRead;
    xfer.ui32TimeoutMs = 0;
    xfer.pui32BytesTransferred = &got;
    APOLLO3_CHECK(am_hal_uart_transfer(u.handle, &xfer));
    for (uint32_t i = 0; i < got; ++i) {
      xQueueGenericSendFromISR(u.rx_queue, &bytes[i], &woken, queueSEND_TO_BACK);
    }
  }
  if (status & AM_HAL_UART_INT_RX_TMOUT) {
    xQueueGiveFromISR(u.rx_sem, &woken);
  }
  portYIELD_FROM_ISR(woken);
}

// ------------------------------------------------------- operations -------
void uhal_uart_init(SERIAL_PORT port, uint32_t baudrate, SERIAL_WORD_LEN_E, SERIAL_STOP_BIT_E,
                    SERIAL_PARITY_E, SERIAL_WIRE_MODE_E) {
  if (!has_hardware(port)) {
    return;
  }
  uart_open(port, baudrate);
  uhal_uart_status[port].active = true;
  uhal_uart_status[port].baudrate = baudrate;
}

void uhal_uart_deinit(SERIAL_PORT port) {
  if (!has_hardware(port)) {
    return;
  }
  uart_close(port);
  uhal_uart_status[port].active = false;
}

int32_t uhal_uart_write(SERIAL_PORT port, uint8_t const *buffer, uint32_t length, uint32_t) {
  if (buffer == nullptr) {
    return -UDRV_WRONG_ARG;
  }
  if (!has_hardware(port) || length == 0) {
    return 0;
  }
  if (!uhal_uart_status[port].resumed) {
    APOLLO3_TRACE("UART Port%d is not resumed", static_cast<int>(port));
    return 0;
  }
  Uart &u = uarts[port];
  bool taken = take_lock(u);
  if (u.handle != nullptr) {
    send_blocking(u, buffer, length);
    wait_tx_complete(u, kTxPolls);
  }
  give_lock(u, taken);
  return 0;
}

int32_t uhal_uart_read(SERIAL_PORT port, uint8_t *buffer, uint32_t length, uint32_t) {
  if (!has_hardware(port)) {
    return -UDRV_INTERNAL_ERR;
  }
  uint32_t n = 0;
  n = fund_circular_queue_out(&rings[port], buffer, length);
  return static_cast<int32_t>(n);
}

int32_t uhal_uart_peek(SERIAL_PORT port) {
  if (!has_hardware(port)) {
    return -UDRV_INTERNAL_ERR;
  }
  uint8_t byte;
  if (fund_circular_queue_peek(&rings[port], &byte) != 0) {
    return -UDRV_INTERNAL_ERR;
  }
  return byte;
}

void uhal_uart_flush(SERIAL_PORT, uint32_t) {}

int32_t uhal_uart_read_available(SERIAL_PORT port) {
  if (!has_hardware(port)) {
    return -UDRV_INTERNAL_ERR;
  }
  return static_cast<int32_t>(fund_circular_queue_utilization_get(&rings[port]));
}

}  // namespace

udrv_serial_api serial_uart_driver = {
    uhal_uart_init, uhal_uart_deinit, uhal_uart_write,          uhal_uart_read,
    uhal_uart_peek, uhal_uart_flush,  uhal_uart_read_available, nullptr,
};

// A rate of 0 matches no row of the table and is not accepted.
bool uhal_uart_baudrate_supported(uint32_t baudrate) { return baudrate != 0; }

int32_t uhal_uart_write_buffer(SERIAL_PORT port, uint8_t const *buffer, uint32_t length, uint32_t) {
  if (length == 0) {
    return 0;
  }
  if (!has_hardware(port)) {
    uart_take_sem(port);
    uart_give_sem(port);
    return 0;
  }
  Uart &u = uarts[port];
  if (u.tx_queue == nullptr) {
    return 0;
  }
  bool taken = take_lock(u);
  bool in_isr = isInISR();
  bool mutex_taken = false;
  if (in_isr) {
    BaseType_t woken = pdFALSE;
    mutex_taken = xQueueReceiveFromISR(u.tx_mutex, nullptr, &woken) == pdPASS;
  } else {
    mutex_taken = xSemaphoreTake(u.tx_mutex, portMAX_DELAY) == pdPASS;
  }
  for (uint32_t i = 0; i < length; ++i) {
    if (in_isr) {
      BaseType_t woken = pdFALSE;
      xQueueGenericSendFromISR(u.tx_queue, &buffer[i], &woken, queueSEND_TO_BACK);
    } else {
      xQueueSend(u.tx_queue, &buffer[i], 2);
    }
  }
  apollo3_give(u.tx_sem);
  if (mutex_taken) {
    apollo3_give(u.tx_mutex);
  }
  give_lock(u, taken);
  return 0;
}

void uart_take_sem(SERIAL_PORT port) {
  if (has_hardware(port)) {
    take_lock(uarts[port]);
  }
}

void uart_give_sem(SERIAL_PORT port) {
  if (has_hardware(port) && uarts[port].lock != nullptr) {
    apollo3_give(uarts[port].lock);
  }
}

void uhal_uart_suspend(void) {
  for (SERIAL_PORT port : {SERIAL_UART0, SERIAL_UART1}) {
    if (uhal_uart_status[port].active) {
      uart_close(port);
    }
  }
}

void uhal_uart_resume(void) {
  for (SERIAL_PORT port : {SERIAL_UART0, SERIAL_UART1}) {
    if (uhal_uart_status[port].active) {
      uart_open(port, uhal_uart_status[port].baudrate);
    }
  }
}

extern "C" void am_uart_isr(void) { uart_isr(SERIAL_UART0); }

extern "C" void am_uart1_isr(void) { uart_isr(SERIAL_UART1); }
