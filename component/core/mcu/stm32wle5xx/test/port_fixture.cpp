#include "port_fixture.h"

#include <unistd.h>

#include "qiv_runtime.h"
#include "service_nvm.h"
#include "udrv_system.h"

std::vector<udrv_system_event_t> g_dispatched;

namespace {
void on_reset(void*, const char* image) { throw ChipReset{image ? image : ""}; }
void on_idle_forever(void*) { throw ChipReset{"idle for ever"}; }

void install_handlers() {
  struct Vec {
    IRQn_Type irq;
    sim::IsrFn fn;
  };
  const Vec vectors[] = {
      {RTC_Alarm_IRQn, RTC_Alarm_IRQHandler},
      {TAMP_STAMP_LSECSS_SSRU_IRQn, TAMP_STAMP_LSECSS_SSRU_IRQHandler},
      {DMA1_Channel1_IRQn, DMA1_Channel1_IRQHandler},
      {DMA1_Channel4_IRQn, DMA1_Channel4_IRQHandler},
      {USART1_IRQn, USART1_IRQHandler},
      {LPUART1_IRQn, LPUART1_IRQHandler},
      {EXTI0_IRQn, EXTI0_IRQHandler},
      {EXTI1_IRQn, EXTI1_IRQHandler},
      {EXTI2_IRQn, EXTI2_IRQHandler},
      {EXTI3_IRQn, EXTI3_IRQHandler},
      {EXTI4_IRQn, EXTI4_IRQHandler},
      {EXTI9_5_IRQn, EXTI9_5_IRQHandler},
      {EXTI15_10_IRQn, EXTI15_10_IRQHandler},
  };
  for (const Vec& v : vectors) sim::irq_set_handler(stm32sim::sim_irq(v.irq), v.fn);
}
}  // namespace

void PortTest::SetUp() {
  sim::host::reset_core();
  sim::host::set_reset_handler(on_reset, nullptr);
  sim::host::set_idle_forever_handler(on_idle_forever, nullptr);
  char path[] = "/tmp/stm32wle5xx-port-test-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  unlink(path);
  flash_path_ = path;
  std::string error;
  ASSERT_TRUE(sim::host::flash_open(
      flash_path_, sim::FlashGeometry{0x08000000u, 256u * 1024u, 2048u, 8u}, &error))
      << error;
  mcu_reset();
  ASSERT_EQ(service_nvm_init_config(), 0);
  udrv_system_event_init();
  udrv_system_event_consume();  // events a previous test left queued
  g_dispatched.clear();
}

void PortTest::mcu_reset() {
  stm32sim::reset_platform();
  install_handlers();

  // RAM starts again: the port's state as after a reset.
  huart1 = {};
  hlpuart1 = {};
  hdma_usart1_rx = {};
  hdma_lpuart1_rx = {};
  hrtc = {};
  RTC_Initialized = false;
  RtcTimerContext = 0;
  LpuartDMAdoing = 0;
  for (auto& s : uhal_uart_status) s = {};
  for (auto& m : uart_wire_mode) m = SERIAL_TWO_WIRE_NORMAL_MODE;
  (void)read_port(SERIAL_UART1);
  (void)read_port(SERIAL_UART2);

  uhal_timer_init();
}

void PortTest::TearDown() {
  sim::host::reset_core();
  unlink(flash_path_.c_str());
  unlink((flash_path_ + ".stats").c_str());
}

std::vector<udrv_system_event_t> PortTest::take_events() {
  udrv_system_event_consume();
  std::vector<udrv_system_event_t> events;
  events.swap(g_dispatched);
  return events;
}

std::vector<uint8_t> PortTest::read_port(SERIAL_PORT port) {
  std::vector<uint8_t> bytes;
  uint8_t buf[64];
  for (;;) {
    int32_t n = uhal_uart_read(port, buf, sizeof buf, 0);
    if (n <= 0) break;
    bytes.insert(bytes.end(), buf, buf + n);
  }
  return bytes;
}

void PortTest::feed(int uart, const std::string& bytes, sim::time_us at) {
  sim::host::uart_feed(uart, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                       at ? at : sim::now());
}

void PortTest::open_port(SERIAL_PORT port, uint32_t baud, SERIAL_WIRE_MODE_E mode) {
  uhal_uart_init(port, baud, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE, mode);
}
