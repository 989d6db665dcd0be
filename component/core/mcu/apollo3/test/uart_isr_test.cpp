// The Apollo3 port's UART receive path on the kernel and the simulated
// chip: a receive timeout that comes in one interrupt status with a
// transmit completion still delivers the received bytes.
#include <gtest/gtest.h>

#include "apollo3_port.h"
#include "apollo3_sim.h"
#include "rtos_sim.h"
#include "sim/host.h"
#include "sim/sim.h"

// What the UART path calls beyond the UART driver, inert.
volatile bool is_mcu_resumed;
void serial_fallback_handler(SERIAL_PORT, uint8_t) {}
int32_t udrv_system_event_produce(udrv_system_event_t *) { return 0; }
void uhal_mcu_consume_event(void) {}
bool uhal_mcu_sleep_status(void) { return false; }
void uhal_mcu_resume(void) {}
void uhal_mcu_suspend(void) {}
void udrv_system_critical_section_begin(uint32_t *mask) {
  *mask = __get_PRIMASK();
  __disable_irq();
}
void udrv_system_critical_section_end(uint32_t *mask) { __set_PRIMASK(*mask); }
void assert_callback(uint32_t, const char *, uint32_t) { std::abort(); }

namespace {

int32_t g_available = -1;

// A line arrives while the port sends a byte with its interrupt held off:
// when the interrupt is let through, its status holds the transmit
// completion and the receive timeout together.
void uart_task(void *) {
  serial_uart_driver.SERIAL_INIT(SERIAL_UART0, 115200, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1,
                                 SERIAL_PARITY_DISABLE, SERIAL_TWO_WIRE_NORMAL_MODE);
  NVIC_DisableIRQ(UART0_IRQn);
  static const uint8_t kLine[] = {'A', 'T', '\r', '\n'};
  sim::host::uart_feed(0, kLine, sizeof kLine, sim::now());
  static const uint8_t kOut = 'X';
  serial_uart_driver.SERIAL_WRITE(SERIAL_UART0, &kOut, 1, 0);
  NVIC_EnableIRQ(UART0_IRQn);
  vTaskDelay(10);
  g_available = serial_uart_driver.SERIAL_READ_AVAIL(SERIAL_UART0);
  vTaskEndScheduler();
}

TEST(UartIsr, AReceiveTimeoutWithATransmitCompletionDeliversTheLine) {
  rtos_sim::reset();
  sim::host::reset_core();
  apollo3sim::reset_platform();
  apollo3sim::set_isr(UART0_IRQn, am_uart_isr);
  xTaskCreate(uart_task, "test", 1024, nullptr, 3, nullptr);
  vTaskStartScheduler();
  EXPECT_EQ(g_available, 4);
  rtos_sim::reset();
  sim::host::reset_core();
}

}  // namespace
