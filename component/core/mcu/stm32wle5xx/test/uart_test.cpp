// Serial ports of the port on the simulated chip: DMA reception with the
// idle-line and full-buffer flushes, the dummy UART0, kernel clocks, stop-mode
// wake-up, recovery after a receive error, one-wire lines.
#include <string>

#include "port_fixture.h"
#include "udrv_powersave.h"

namespace {

std::string as_string(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

size_t count_uart_events(const std::vector<udrv_system_event_t>& events) {
  size_t n = 0;
  for (const auto& e : events) n += e.request == UDRV_SYS_EVT_OP_SERIAL_UART;
  return n;
}

std::string g_out[3];
void capture(void*, int port, const uint8_t* data, size_t len) {
  g_out[port].append(reinterpret_cast<const char*>(data), len);
}

// Wakes the core from stop mode `delay` from now through an interrupt that is
// not a UART.
void other_wake_source_in(sim::time_us delay) {
  sim::irq_enable(stm32sim::sim_irq(EXTI0_IRQn), true);
  sim::schedule(
      sim::now() + delay,
      [](void*, uint32_t) { sim::irq_set_pending(stm32sim::sim_irq(EXTI0_IRQn)); }, nullptr, 0);
}

}  // namespace

TEST_F(PortTest, ACommandLineIsOneIdleFlushAndOneEvent) {
  open_port(SERIAL_UART2);
  feed(2, "AT+VER=?\r\n");
  run_for(5000);
  EXPECT_EQ(as_string(read_port(SERIAL_UART2)), "AT+VER=?\r\n");
  EXPECT_EQ(count_uart_events(take_events()), 1u);
}

// UART1 takes 128 bytes per DMA run: a long burst is flushed at every full
// buffer, then at the idle line.
TEST_F(PortTest, ALongBurstIsFlushedAtEveryFullBufferThenAtTheIdleLine) {
  open_port(SERIAL_UART1);
  std::string burst;
  for (int i = 0; i < 300; ++i) burst.push_back(static_cast<char>('!' + i % 90));
  sim::time_us byte = sim::uart_byte_time(1);
  sim::time_us t0 = sim::now();
  feed(1, burst, t0);
  struct Step {
    sim::time_us at;
    uint32_t queued;
    size_t events;
  };
  const Step steps[] = {
      {t0 + 128 * byte + byte / 2, 128, 1},
      {t0 + 256 * byte + byte / 2, 256, 2},
      {t0 + 300 * byte + 3 * byte, 300, 3},
  };
  size_t events = 0;
  for (const Step& s : steps) {
    sim::run_until(s.at);
    EXPECT_EQ(static_cast<uint32_t>(uhal_uart_read_available(SERIAL_UART1)), s.queued);
    events += count_uart_events(take_events());
    EXPECT_EQ(events, s.events);
  }
  EXPECT_EQ(as_string(read_port(SERIAL_UART1)), burst);
}

// The AT port's circular buffer is flushed at its half and full marks
// (512 and 1024 bytes) and at the idle line, and keeps running meanwhile.
TEST_F(PortTest, TheAtPortFlushesAtHalfAndFullBufferThenAtTheIdleLine) {
  open_port(SERIAL_UART2);
  std::string burst;
  for (int i = 0; i < 1100; ++i) burst.push_back(static_cast<char>('!' + i % 90));
  sim::time_us byte = sim::uart_byte_time(2);
  sim::time_us t0 = sim::now();
  feed(2, burst, t0);
  struct Step {
    sim::time_us at;
    uint32_t flushed;
  };
  const Step steps[] = {
      {t0 + 300 * byte, 0},
      {t0 + 512 * byte + byte / 2, 512},
      {t0 + 1024 * byte + byte / 2, 1024},
      {t0 + 1100 * byte + 3 * byte, 1100},
  };
  std::string got;
  for (const Step& s : steps) {
    sim::run_until(s.at);
    std::vector<uint8_t> now = read_port(SERIAL_UART2);
    got.append(now.begin(), now.end());
    EXPECT_EQ(got.size(), s.flushed);
  }
  EXPECT_EQ(got, burst);
}

// A page erase stalls the core for 22 ms (about 253 bytes at 115200 baud)
// while the DMA goes on taking bytes: whatever point of the buffer the erase
// begins at, every byte of a back-to-back burst reaches the port's queue, in
// order.
TEST_F(PortTest, BytesArrivingWhileAFlashEraseStallsTheCoreAreKept) {
  for (int before : {0, 100, 400, 500, 700, 900}) {
    SCOPED_TRACE(std::to_string(before) + " bytes before the erase");
    uhal_uart_deinit(SERIAL_UART2);
    open_port(SERIAL_UART2);
    read_port(SERIAL_UART2);
    std::string burst;
    for (int i = 0; i < before + 400; ++i) burst.push_back(static_cast<char>('!' + i % 90));
    sim::time_us byte = sim::uart_byte_time(2);
    sim::time_us t0 = sim::now();
    feed(2, burst, t0);
    std::string got;
    sim::run_until(t0 + before * byte + byte / 2);
    std::vector<uint8_t> part = read_port(SERIAL_UART2);
    got.append(part.begin(), part.end());
    ASSERT_EQ(uhal_flash_erase(0x0803A000, 2048), 0);
    for (int i = 0; i < 12; ++i) {
      run_for(50 * byte);
      part = read_port(SERIAL_UART2);
      got.append(part.begin(), part.end());
    }
    EXPECT_EQ(got, burst);
  }
}

// A reply is as long as its command line, so what piles up while the main
// loop is busy never shrinks: once the port's queue is full the rest stays
// in the circular buffer, which the DMA only overwrites once it has gone all
// the way round, and reaches the queue as the reader makes room.
TEST_F(PortTest, WhatTheFullQueueCannotTakeWaitsInTheAtPortsBuffer) {
  open_port(SERIAL_UART2);
  std::string burst;
  for (int i = 0; i < UART_RX_QUEUE_SIZE + 700; ++i) {
    burst.push_back(static_cast<char>('!' + i % 90));
  }
  sim::time_us byte = sim::uart_byte_time(2);
  feed(2, burst, sim::now());
  run_for((burst.size() + 3) * byte);
  EXPECT_EQ(as_string(read_port(SERIAL_UART2)), burst);
}

// The wake-up path arms the AT port's reception again the way it was opened:
// circular, so that a flash erase that stalls the core while the DMA passes
// the buffer's end costs no byte.
TEST_F(PortTest, AfterAWakeUpTheAtPortKeepsWhatArrivesDuringAFlashErase) {
  open_port(SERIAL_UART2);
  uhal_uart_suspend();
  feed(2, "A", sim::now() + 1000);
  udrv_powersave_in_sleep = true;
  uhal_mcu_sleep(2);
  uhal_uart_resume();
  run_for(5000);
  EXPECT_EQ(as_string(read_port(SERIAL_UART2)), "A");
  const int before = LPUART_DMA_BUFFER_SIZE - 100;
  std::string burst;
  for (int i = 0; i < before + 400; ++i) burst.push_back(static_cast<char>('!' + i % 90));
  sim::time_us byte = sim::uart_byte_time(2);
  sim::time_us t0 = sim::now();
  feed(2, burst, t0);
  sim::run_until(t0 + before * byte + byte / 2);
  std::string got = as_string(read_port(SERIAL_UART2));
  ASSERT_EQ(uhal_flash_erase(0x0803A000, 2048), 0);
  for (int i = 0; i < 12; ++i) {
    run_for(50 * byte);
    got += as_string(read_port(SERIAL_UART2));
  }
  EXPECT_EQ(got, burst);
}

TEST_F(PortTest, Uart0HasNoHardware) {
  open_port(SERIAL_UART0);
  uint8_t buf[4] = {'x', 'y', 'z', 0};
  EXPECT_EQ(uhal_uart_write(SERIAL_UART0, buf, 3, 100), 0);
  EXPECT_EQ(uhal_uart_read(SERIAL_UART0, buf, 3, 100), -7);
  EXPECT_EQ(uhal_uart_peek(SERIAL_UART0), -7);
  EXPECT_EQ(uhal_uart_read_available(SERIAL_UART0), -7);
  EXPECT_TRUE(uhal_uart_status[SERIAL_UART0].active);
}

TEST_F(PortTest, WriteSendsTheBytesAndAnswersZero) {
  sim::host::uart_set_output(2, capture, nullptr);
  g_out[2].clear();
  open_port(SERIAL_UART2);
  const std::string text = "OK\r\n";
  EXPECT_EQ(uhal_uart_write(SERIAL_UART2, reinterpret_cast<const uint8_t*>(text.data()), 4, 10000),
            0);
  EXPECT_EQ(g_out[2], text);
}

TEST_F(PortTest, Uart2KernelClockFollowsTheBaudRate) {
  struct Case {
    uint32_t baud;
    uint32_t source;
  };
  const Case cases[] = {{1200, RCC_LPUART1CLKSOURCE_LSE},
                        {2400, RCC_LPUART1CLKSOURCE_LSE},
                        {9600, RCC_LPUART1CLKSOURCE_HSI},
                        {115200, RCC_LPUART1CLKSOURCE_HSI}};
  for (const Case& c : cases) {
    uhal_uart_deinit(SERIAL_UART2);
    open_port(SERIAL_UART2, c.baud);
    EXPECT_EQ(stm32sim::lpuart1_clock_source(), c.source) << c.baud;
    feed(2, "AT\r");
    run_for(20 * sim::uart_byte_time(2));
    EXPECT_EQ(as_string(read_port(SERIAL_UART2)), "AT\r") << c.baud;
  }
}

TEST_F(PortTest, TheByteThatWakesTheCoreComesFirst) {
  open_port(SERIAL_UART2);
  uhal_uart_suspend();
  feed(2, "AT\r", sim::now() + 1000);
  udrv_powersave_in_sleep = true;
  uhal_mcu_sleep(2);
  EXPECT_FALSE(udrv_powersave_in_sleep);
  EXPECT_EQ(LpuartDMAdoing, 1);  // a wake lock holds the core awake
  EXPECT_EQ(as_string(read_port(SERIAL_UART2)), "A");
  run_for(5000);
  EXPECT_EQ(as_string(read_port(SERIAL_UART2)), "T\r");
  EXPECT_EQ(LpuartDMAdoing, 0);
  ASSERT_EQ(stm32sim::sleep_log().size(), 1u);
  EXPECT_EQ(stm32sim::sleep_log()[0].level, 2);
}

TEST_F(PortTest, Uart1WakesFromStop1ButNotFromStop2) {
  struct Case {
    uint8_t level;
    std::string received;
  };
  const Case cases[] = {{1, "AT\r"}, {2, ""}};
  for (const Case& c : cases) {
    open_port(SERIAL_UART1);
    uhal_uart_suspend();
    feed(1, "AT\r", sim::now() + 1000);
    other_wake_source_in(50000);
    take_events();  // the core sleeps only with no event left to handle
    udrv_powersave_in_sleep = true;
    uhal_mcu_sleep(c.level);
    uhal_uart_resume();
    run_for(60000);
    EXPECT_EQ(as_string(read_port(SERIAL_UART1)), c.received) << int(c.level);
    uhal_uart_deinit(SERIAL_UART1);
    if (LpuartDMAdoing) {
      LpuartDMAdoing = 0;
      udrv_powersave_wake_unlock();
    }
  }
}

TEST_F(PortTest, Uart2ReceivesAgainAfterAWakeUpByAnotherSource) {
  open_port(SERIAL_UART2);
  uhal_uart_suspend();
  other_wake_source_in(1000);
  udrv_powersave_in_sleep = true;
  uhal_mcu_sleep(2);
  uhal_uart_resume();
  feed(2, "AT\r\n");
  run_for(5000);
  EXPECT_EQ(as_string(read_port(SERIAL_UART2)), "AT\r\n");
}

TEST_F(PortTest, ReceptionGoesOnAfterAReceiveError) {
  for (SERIAL_PORT port : {SERIAL_UART1, SERIAL_UART2}) {
    open_port(port);
    stm32sim::uart_inject_error(port, UART_FLAG_FE);
    feed(port, "X");
    run_for(2000);
    feed(port, "AT\r\n");
    run_for(5000);
    EXPECT_EQ(as_string(read_port(port)), "XAT\r\n") << int(port);
  }
}

TEST_F(PortTest, OneWireModesUseTheirLine) {
  auto mode_of = [](GPIO_TypeDef* gpio, int line) { return (gpio->MODER >> (2 * line)) & 3u; };
  auto open_drain = [](GPIO_TypeDef* gpio, int line) { return (gpio->OTYPER >> line) & 1u; };
  // Wire mode 2: only PB7, open drain.
  open_port(SERIAL_UART1, 115200, SERIAL_ONE_WIRE_RX_PIN_MODE);
  EXPECT_EQ(mode_of(GPIOB, 7), 2u);
  EXPECT_EQ(open_drain(GPIOB, 7), 1u);
  EXPECT_EQ(mode_of(GPIOB, 6), 3u);
  uhal_uart_deinit(SERIAL_UART1);
  // Wire mode 1: both pins push-pull alternate function, the line is PB6.
  open_port(SERIAL_UART1, 115200, SERIAL_ONE_WIRE_TX_PIN_MODE);
  EXPECT_EQ(mode_of(GPIOB, 6), 2u);
  EXPECT_EQ(mode_of(GPIOB, 7), 2u);
  EXPECT_EQ(open_drain(GPIOB, 6), 0u);
  // A one-wire write goes out; the line listens again afterwards.
  sim::host::uart_set_output(1, capture, nullptr);
  g_out[1].clear();
  EXPECT_EQ(uhal_uart_write(SERIAL_UART1, reinterpret_cast<const uint8_t*>("hi"), 2, 1000), 0);
  EXPECT_EQ(g_out[1], "hi");
  feed(1, "ok\r\n");
  run_for(5000);
  EXPECT_EQ(as_string(read_port(SERIAL_UART1)), "ok\r\n");
}

TEST_F(PortTest, BytesReceivedBeforeThePortIsReopenedAreKept) {
  open_port(SERIAL_UART2);
  sim::time_us byte = sim::uart_byte_time(2);
  feed(2, "AT\r\n");
  run_for(2 * byte + byte / 4);  // "AT" has arrived, the line is not idle
  uhal_uart_deinit(SERIAL_UART2);
  open_port(SERIAL_UART2);
  run_for(10 * byte);
  EXPECT_EQ(as_string(read_port(SERIAL_UART2)), "AT\r\n");
}

// Bytes that the DMA holds when its reception is stopped outside the
// idle-line path are kept and posted at once, since no idle-line interrupt
// will come for them: closing the port mid-line, and the suspend before a
// sleep while the idle-line interrupt is held off by a critical section.
TEST_F(PortTest, BytesHeldByTheDmaWhenItIsStoppedAreKeptAndPosted) {
  for (bool by_suspend : {false, true}) {
    SCOPED_TRACE(by_suspend ? "suspend" : "close");
    open_port(SERIAL_UART2);
    take_events();
    sim::time_us byte = sim::uart_byte_time(2);
    feed(2, "AT");
    if (by_suspend) {
      uint32_t mask;
      uhal_sys_board_critical_section_begin(&mask);
      run_for(2 * byte + byte / 4);
      uhal_uart_suspend();
      uhal_sys_board_critical_section_end(&mask);
      uhal_uart_resume();
    } else {
      run_for(2 * byte + byte / 4);  // "AT" has arrived, the line is not idle
      uhal_uart_deinit(SERIAL_UART2);
    }
    EXPECT_EQ(count_uart_events(take_events()), 1u);
    EXPECT_EQ(as_string(read_port(SERIAL_UART2)), "AT");
    uhal_uart_deinit(SERIAL_UART2);
  }
}

// ------------------------------------------- printing from a handler ----

namespace {

const std::string kEventLine = "+EVT:TXP2P DONE\r\n";

// An interrupt handler that prints an event line on the AT port, as the
// radio's handler does when a frame has gone out.
void prints_event_line() {
  uhal_uart_write(SERIAL_UART2, reinterpret_cast<const uint8_t*>(kEventLine.data()),
                  static_cast<uint32_t>(kEventLine.size()), 10000);
}

// The handler runs at `at` (or at once, when the time has passed).
void handler_runs_at(sim::time_us at) {
  const int irq = stm32sim::sim_irq(EXTI0_IRQn);
  sim::irq_set_handler(irq, prints_event_line);
  sim::irq_enable(irq, true);
  sim::schedule(
      at, [](void*, uint32_t) { sim::irq_set_pending(stm32sim::sim_irq(EXTI0_IRQn)); }, nullptr, 0);
}

void main_line_writes(const std::string& text) {
  EXPECT_EQ(uhal_uart_write(SERIAL_UART2, reinterpret_cast<const uint8_t*>(text.data()),
                            static_cast<uint32_t>(text.size()), 10000),
            0);
}

}  // namespace

// Text a handler prints never splits a line of the main line's and is never
// lost: it goes out at once when the port is idle between lines, otherwise
// after the line the main line is writing, or when the main loop comes round
// (uhal_uart_flush) if that line stays unfinished.
TEST_F(PortTest, AHandlersLineGoesOutWholeBetweenTheMainLinesLines) {
  sim::host::uart_set_output(2, capture, nullptr);
  open_port(SERIAL_UART2);
  const sim::time_us byte = sim::uart_byte_time(2);
  struct Case {
    const char* name;
    // The main line writes the pieces in turn; the handler runs `after`
    // bytes' time into the first piece.
    std::vector<std::string> pieces;
    double after;
    // Output once the pieces are written, and after the main loop's flush.
    std::string written;
    std::string flushed;
  };
  const Case cases[] = {
      {"while a whole line goes out",
       {"AT_BUSY_ERROR\r\n"},
       3.5,
       "AT_BUSY_ERROR\r\n" + kEventLine,
       "AT_BUSY_ERROR\r\n" + kEventLine},
      {"between a reply and its line end",
       {"OK", "\r\n"},
       1.5,
       "OK\r\n" + kEventLine,
       "OK\r\n" + kEventLine},
      {"after a line the main line left unfinished", {"OK"}, 1.5, "OK", "OK" + kEventLine},
      {"with the port idle between lines", {}, 0, kEventLine, kEventLine},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_out[2].clear();
    take_events();
    handler_runs_at(sim::now() + static_cast<sim::time_us>(c.after * static_cast<double>(byte)));
    for (const std::string& piece : c.pieces) main_line_writes(piece);
    run_for(10 * byte);
    EXPECT_EQ(g_out[2], c.written);
    uhal_uart_flush(SERIAL_UART2, 10000);
    run_for(30 * byte);
    EXPECT_EQ(g_out[2], c.flushed);
    if (c.written != c.flushed) {
      // The handler also gets the main loop to come round.
      EXPECT_EQ(count_uart_events(take_events()), 1u);
    }
  }
}
