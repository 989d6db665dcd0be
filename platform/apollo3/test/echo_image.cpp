// A tiny Apollo3 program for the launcher tests: a vector table and reset
// handler, the kernel with one task that echoes UART0 through an interrupt
// handler and a queue, and a few commands:
//   'b'  writes the bootloader's update flag (0xAA at 0xFE000) and resets
//   'v'  prints the bootloader's version text (0xFC000)
//   't'  writes a trace line
#include <cstring>

#include "FreeRTOS.h"
#include "am_bsp.h"
#include "am_mcu_apollo.h"
#include "queue.h"
#include "rtt.h"
#include "task.h"

namespace {

void* g_uart;
QueueHandle_t g_rx;

void write(const char* text) {
  uint32_t n = 0;
  am_hal_uart_transfer_t t{AM_HAL_UART_WRITE, reinterpret_cast<uint8_t*>(const_cast<char*>(text)),
                           static_cast<uint32_t>(std::strlen(text)), AM_HAL_UART_WAIT_FOREVER, &n};
  am_hal_uart_transfer(g_uart, &t);
}

void echo_task(void*) {
  am_hal_uart_initialize(0, &g_uart);
  am_hal_uart_power_control(g_uart, AM_HAL_SYSCTRL_WAKE, false);
  const am_hal_uart_config_t cfg{115200,
                                 AM_HAL_UART_DATA_BITS_8,
                                 AM_HAL_UART_PARITY_NONE,
                                 AM_HAL_UART_ONE_STOP_BIT,
                                 AM_HAL_UART_FLOW_CTRL_NONE,
                                 AM_HAL_UART_TX_FIFO_3_4 | AM_HAL_UART_RX_FIFO_3_4,
                                 nullptr,
                                 0,
                                 nullptr,
                                 0};
  am_hal_uart_configure(g_uart, &cfg);
  NVIC_SetPriority(UART0_IRQn, 4);
  NVIC_EnableIRQ(UART0_IRQn);
  am_hal_uart_interrupt_enable(g_uart, AM_HAL_UART_INT_RX | AM_HAL_UART_INT_RX_TMOUT);
  write("ready\r\n");
  for (;;) {
    uint8_t c;
    xQueueReceive(g_rx, &c, portMAX_DELAY);
    if (c == 'b') {
      uint32_t word = 0xFFFFFFAAu;
      am_hal_flash_program_main(AM_HAL_FLASH_PROGRAM_KEY, &word,
                                reinterpret_cast<uint32_t*>(0xFE000), 1);
      // What is still in the transmit FIFO would be lost with the reset.
      while (am_hal_uart_tx_busy(g_uart)) {
      }
      NVIC_SystemReset();
    } else if (c == 'v') {
      write(reinterpret_cast<const char*>(0xFC000));
      write("\r\n");
    } else if (c == 't') {
      RTT_printf(0, "%s:%d\t\ttrace\r\n", "echo_image.cpp", 7);
    } else {
      char s[2] = {static_cast<char>(c), 0};
      write(s);
    }
  }
}

}  // namespace

extern "C" {

void am_uart_isr(void) {
  uint32_t status = 0;
  am_hal_uart_interrupt_status_get(g_uart, &status, true);
  am_hal_uart_interrupt_clear(g_uart, status);
  uint8_t buf[23];
  uint32_t n = 0;
  am_hal_uart_transfer_t t{AM_HAL_UART_READ, buf, sizeof buf, 0, &n};
  am_hal_uart_transfer(g_uart, &t);
  BaseType_t woken = pdFALSE;
  for (uint32_t i = 0; i < n; ++i) xQueueSendFromISR(g_rx, &buf[i], &woken);
  portYIELD_FROM_ISR(woken);
}

void am_default_isr(void) {
  for (;;) __BKPT(0);
}

void Reset_Handler(void) {
  RTT_ConfigUpBuffer(0, nullptr, nullptr, 0, RTT_MODE_NO_BLOCK_SKIP);
  RTT_WriteString(0, "start\r\n");
  g_rx = xQueueCreate(64, 1);
  xTaskCreate(echo_task, "echo", 512, nullptr, 1, nullptr);
  vTaskStartScheduler();
  for (;;) __BKPT(0);
}

#define D am_default_isr
am_vector_t const g_am_pfnVectors[AM3_VECTOR_COUNT] = {
    nullptr, Reset_Handler, D, D, D, D, D, nullptr, nullptr, nullptr, nullptr, D, D, nullptr, D, D,
    // IRQ 0-31
    D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, am_uart_isr,  // 0-15
    D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D,            // 16-31
};
#undef D

}  // extern "C"
