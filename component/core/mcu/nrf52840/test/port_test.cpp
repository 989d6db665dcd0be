// The nRF52840 port on the SDK stand-ins: the UART baud-rate bands and the
// receive queue that pauses when full, USB writes in 64-byte packets that
// give up when the host stops reading, the USB receive queue's limit, timer
// slots at their tick times, and the RTC2 time base across the counter's
// wrap and the 10 Hz sleep.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "nrf52840_sim.h"
#include "nrf_drv_uart.h"
#include "port_fakes.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "udrv_powersave.h"
#include "udrv_rtc.h"
#include "udrv_timer.h"

extern udrv_serial_api serial_usb_driver;

namespace {

struct ChipReset {};

sim::time_us tick_time(uint64_t n) { return (n * 1000000u + 32767u) / 32768u; }

class Nrf52840Port : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    sim::host::set_reset_handler([](void*, const char*) { throw ChipReset{}; }, nullptr);
    nrfsim::reset_platform();
    g_fakes = PortFakes{};
    udrv_powersave_in_sleep = false;
    timer_driver.TIMER_INIT();
  }
  void TearDown() override { sim::host::reset_core(); }

  // The USB port as start-up leaves it, the host having opened it.
  void start_usb() {
    serial_usb_driver.SERIAL_INIT(SERIAL_USB0, 0, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1,
                                  SERIAL_PARITY_DISABLE, SERIAL_TWO_WIRE_NORMAL_MODE);
    uhal_usb_enable();
    sim::run_until(sim::now() + 100000);
    ASSERT_EQ(serial_usb_driver.SERIAL_IS_READY(SERIAL_USB0), 1);
  }
  int32_t usb_write(size_t n, uint32_t timeout = 10000) {
    std::vector<uint8_t> data(n, 'u');
    return serial_usb_driver.SERIAL_WRITE(SERIAL_USB0, data.data(), static_cast<uint32_t>(n),
                                          timeout);
  }
};

TEST_F(Nrf52840Port, BaudRatesGoToTheNearestUarteRateAndHalfWayGoesLower) {
  struct Case {
    uint32_t asked, got;
  };
  for (Case c :
       {Case{1, 1200}, Case{1800, 1200}, Case{1801, 2400}, Case{30025, 28800}, Case{30026, 31250},
        Case{172800, 115200}, Case{172801, 230400}, Case{960800, 921600}, Case{960801, 1000000},
        Case{1000000, 1000000}, Case{4000000, 1000000}}) {
    EXPECT_EQ(nrfsim::baud_of_register(get_nrf_uart_baudrate(c.asked)), c.got) << c.asked;
  }
  EXPECT_EQ(get_nrf_uart_baudrate(115200), 0x01D7E000u);
}

TEST_F(Nrf52840Port, AFullUartQueuePausesReceptionUntilTheMainLoopReads) {
  // Closed first, as the driver layer opens a port.
  serial_uart_driver.SERIAL_DEINIT(SERIAL_UART0);
  serial_uart_driver.SERIAL_INIT(SERIAL_UART0, 115200, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1,
                                 SERIAL_PARITY_DISABLE, SERIAL_TWO_WIRE_NORMAL_MODE);
  std::vector<uint8_t> in(3000);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i);
  sim::host::uart_feed(0, in.data(), in.size(), 0);
  sim::run_until(sim::now() + sim::uart_byte_time(0) * 3100);
  EXPECT_EQ(serial_uart_driver.SERIAL_READ_AVAIL(SERIAL_UART0), 2048);
  EXPECT_EQ(g_fakes.fallback.size(), 2048u);
  // A read makes room and receives again: the 4 bytes the peripheral held
  // while paused, and what comes later.
  uint8_t buf[16];
  ASSERT_EQ(serial_uart_driver.SERIAL_READ(SERIAL_UART0, buf, 16, 10000), 16);
  EXPECT_EQ(buf[15], 15);
  const uint8_t more[] = {'m'};
  sim::host::uart_feed(0, more, 1, sim::now());
  sim::run_until(sim::now() + 1000);
  EXPECT_EQ(serial_uart_driver.SERIAL_READ_AVAIL(SERIAL_UART0), 2048 - 16 + 4 + 1);
  uint8_t all[2048];
  ASSERT_EQ(serial_uart_driver.SERIAL_READ(SERIAL_UART0, all, 2048, 10000), 2037);
  EXPECT_EQ(all[2032 - 1], static_cast<uint8_t>(2047));
  EXPECT_EQ(all[2032], static_cast<uint8_t>(2048));
  EXPECT_EQ(all[2036], 'm');
  // Closing a closed UART is silent; UART2 has no hardware.
  serial_uart_driver.SERIAL_DEINIT(SERIAL_UART1);
  EXPECT_EQ(serial_uart_driver.SERIAL_READ(SERIAL_UART2, buf, 1, 0), 0);
  EXPECT_EQ(serial_uart_driver.SERIAL_WRITE(SERIAL_UART2, buf, 1, 0), -7);
  EXPECT_EQ(serial_uart_driver.SERIAL_PEEK(SERIAL_UART2), -7);
  EXPECT_EQ(serial_uart_driver.SERIAL_READ_AVAIL(SERIAL_UART2), -7);
}

// A one-wire port receives on its line at rest; a write turns the line to
// transmit and back, and what was received before the write stays queued.
TEST_F(Nrf52840Port, AOneWireWriteTransmitsOnTheLineAndReceivesOnItAgain) {
  struct Case {
    SERIAL_WIRE_MODE_E mode;
    uint32_t line;  // P0.20 (TX pin) or P0.19 (RX pin) of UART0
  };
  for (Case c : {Case{SERIAL_ONE_WIRE_TX_PIN_MODE, 20}, Case{SERIAL_ONE_WIRE_RX_PIN_MODE, 19}}) {
    SCOPED_TRACE(c.line);
    serial_uart_driver.SERIAL_DEINIT(SERIAL_UART0);
    serial_uart_driver.SERIAL_INIT(SERIAL_UART0, 9600, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1,
                                   SERIAL_PARITY_DISABLE, c.mode);
    nrfsim::UartConfig rest = nrfsim::uart_config(0);
    EXPECT_EQ(rest.pselrxd, c.line);
    EXPECT_EQ(rest.pseltxd, NRF_UART_PSEL_DISCONNECTED);
    EXPECT_EQ(rest.baud, 9600u);
    const uint8_t in[] = {'i', 'n'};
    sim::host::uart_feed(0, in, 2, sim::now());
    sim::run_until(sim::now() + 5000);
    std::string out;
    sim::host::uart_set_output(
        0,
        [](void* ctx, int, const uint8_t* d, size_t n) {
          static_cast<std::string*>(ctx)->append(d, d + n);
        },
        &out);
    const uint8_t msg[] = {'o', 'k'};
    int opens = nrfsim::uart_config(0).opens;
    EXPECT_EQ(serial_uart_driver.SERIAL_WRITE(SERIAL_UART0, msg, 2, 1000), 0);
    EXPECT_EQ(out, "ok");
    nrfsim::UartConfig after = nrfsim::uart_config(0);
    EXPECT_EQ(after.opens, opens + 2);  // opened to transmit, then to receive
    EXPECT_EQ(after.pselrxd, c.line);
    EXPECT_EQ(after.pseltxd, NRF_UART_PSEL_DISCONNECTED);
    EXPECT_EQ(serial_uart_driver.SERIAL_READ_AVAIL(SERIAL_UART0), 2);
    sim::host::uart_set_output(0, nullptr, nullptr);
  }
}

TEST_F(Nrf52840Port, UsbWritesGoOutIn64BytePacketsAndTheRest) {
  start_usb();
  struct Case {
    size_t length;
    std::vector<size_t> packets;
  };
  for (const Case& c : {Case{130, {64, 64, 2}}, Case{128, {64, 64}}, Case{5, {5}}, Case{0, {}}}) {
    size_t before = nrfsim::usb_packets().size();
    EXPECT_EQ(usb_write(c.length), 0);
    std::vector<size_t> got(nrfsim::usb_packets().begin() + static_cast<std::ptrdiff_t>(before),
                            nrfsim::usb_packets().end());
    EXPECT_EQ(got, c.packets) << c.length;
  }
}

TEST_F(Nrf52840Port, AUsbWriteGivesUpAtItsTimeoutWhenTheHostStopsReading) {
  start_usb();
  nrfsim::usb_host_reading(false);
  sim::time_us start = sim::now();
  EXPECT_EQ(usb_write(100, 2000), -7);
  EXPECT_NEAR(static_cast<double>(sim::now() - start), 2000000.0, 100.0);
  EXPECT_EQ(nrfsim::usb_packets().size(), 1u);  // the rest is not sent
  // With the host reading again, writes go through.
  nrfsim::usb_host_reading(true);
  sim::run_until(sim::now() + 5000);
  EXPECT_EQ(usb_write(10), 0);
  // A port the host has closed: nothing to wait for, nothing sent.
  nrfsim::usb_host_open(false);
  sim::run_until(sim::now() + 1000);
  EXPECT_EQ(serial_usb_driver.SERIAL_IS_READY(SERIAL_USB0), 0);
  size_t sent = nrfsim::usb_packets().size();
  start = sim::now();
  EXPECT_EQ(usb_write(130), 0);
  EXPECT_EQ(sim::now(), start);
  EXPECT_EQ(nrfsim::usb_packets().size(), sent);
}

TEST_F(Nrf52840Port, AFullUsbReceiveQueueDropsTheRestAndStillPostsTheEvent) {
  start_usb();
  std::vector<uint8_t> in(600, 'q');
  sim::host::uart_feed(nrfsim::kSimUsb, in.data(), in.size(), sim::now());
  sim::run_until(sim::now() + sim::uart_byte_time(nrfsim::kSimUsb) * 700);
  EXPECT_EQ(serial_usb_driver.SERIAL_READ_AVAIL(SERIAL_USB0), 512);
  EXPECT_EQ(g_fakes.fallback.size(), 512u);
  // One event waits for all of them (its handler reads every byte there is).
  EXPECT_EQ(std::count(g_fakes.events.begin(), g_fakes.events.end(), UDRV_SYS_EVT_OP_SERIAL_USB),
            1);
  uint8_t b[4];
  EXPECT_EQ(serial_usb_driver.SERIAL_READ(SERIAL_USB0, b, 4, 0), 4);
  EXPECT_EQ(serial_usb_driver.SERIAL_READ_AVAIL(SERIAL_USB0), 508);
  // Once it was taken, the next byte, dropped or kept, posts the next one.
  uhal_usb_event_taken();
  sim::host::uart_feed(nrfsim::kSimUsb, in.data(), 1, sim::now());
  sim::run_until(sim::now() + sim::uart_byte_time(nrfsim::kSimUsb) * 2);
  EXPECT_EQ(std::count(g_fakes.events.begin(), g_fakes.events.end(), UDRV_SYS_EVT_OP_SERIAL_USB),
            2);
  // The cable out: what was not read is gone.
  nrfsim::usb_set_vbus(false);
  sim::run_until(sim::now() + 1000);
  EXPECT_EQ(serial_usb_driver.SERIAL_READ_AVAIL(SERIAL_USB0), 0);
}

std::vector<sim::time_us> g_timer_runs;

TEST_F(Nrf52840Port, TimerSlotsExpireAtTheirTickAndRefuseSlotsAboveFour) {
  g_timer_runs.clear();
  ASSERT_EQ(uhal_sys_timer_create(
                SYSTIMER_LORAWAN, [](void*) {}, HTMR_ONESHOT),
            0);
  EXPECT_EQ(timer_driver.TIMER_CREATE(
                static_cast<TimerID_E>(5), [](void*) {}, HTMR_ONESHOT),
            -3);
  EXPECT_EQ(timer_driver.TIMER_START(static_cast<TimerID_E>(5), 1, nullptr), -3);
  struct Case {
    uint32_t ms;
    uint64_t ticks;
  };
  for (Case c : {Case{1, 33}, Case{1000, 32768}, Case{30, 983}}) {
    g_fakes.events.clear();
    sim::time_us start_tick_time = sim::now();
    uint64_t start_tick = start_tick_time * 32768u / 1000000u;
    ASSERT_EQ(uhal_sys_timer_start(SYSTIMER_LORAWAN, c.ms, nullptr), 0);
    sim::run_until(tick_time(start_tick + c.ticks) - 1);
    EXPECT_TRUE(g_fakes.events.empty()) << c.ms;
    sim::run_until(tick_time(start_tick + c.ticks));
    EXPECT_EQ(g_fakes.events, std::vector<int>{UDRV_SYS_EVT_OP_USER_TIMER}) << c.ms;
  }
}

TEST_F(Nrf52840Port, TheTimeBaseRunsOnAcrossTheCounterWrap) {
  ASSERT_EQ(uhal_rtc_init(UDRV_RTC_2, nullptr, 32768), 0);
  const uint64_t base = uhal_rtc_get_timestamp(UDRV_RTC_2);
  EXPECT_EQ(uhal_rtc_init(static_cast<RtcID_E>(1), nullptr, 32768), -3);
  for (sim::time_us s : {1u, 511u, 512u, 513u, 600u, 1025u, 3600u}) {
    sim::run_until(s * 1000000u);
    EXPECT_EQ(uhal_rtc_get_timestamp(UDRV_RTC_2) - base, s * 1000u) << s;
  }
  EXPECT_LT(uhal_rtc_get_counter(UDRV_RTC_2), 0x1000000u);
}

// The sleep flag is up before the counter is slowed to 10 Hz and down again
// before it is sped up: a wrap at the full rate in that window is still a
// wrap of 2^24 ticks of 1/32768 s, not of 100 ms.
TEST_F(Nrf52840Port, AWrapWhileTheSleepFlagIsUpAtTheFullRateCountsAtThatRate) {
  ASSERT_EQ(uhal_rtc_init(UDRV_RTC_2, nullptr, 32768), 0);
  const uint64_t base = uhal_rtc_get_timestamp(UDRV_RTC_2);
  sim::run_until(500000000u);
  udrv_powersave_in_sleep = true;
  sim::run_until(520000000u);
  udrv_powersave_in_sleep = false;
  EXPECT_EQ(uhal_rtc_get_timestamp(UDRV_RTC_2) - base, 520000u);
}

TEST_F(Nrf52840Port, ASleepWithoutAlarmCountsAtTenHertzAndAddsTheSleptTime) {
  ASSERT_EQ(uhal_rtc_init(UDRV_RTC_2, nullptr, 32768), 0);
  const uint64_t base = uhal_rtc_get_timestamp(UDRV_RTC_2);
  sim::run_until(600000000u);
  uhal_rtc_suspend();
  sim::run_until(700000000u);
  uhal_rtc_resume();
  uint64_t ts = uhal_rtc_get_timestamp(UDRV_RTC_2) - base;
  EXPECT_EQ((ts - 600000u) % 100u, 0u) << ts;
  EXPECT_NEAR(static_cast<double>(ts), 700000.0, 200.0);
  ts += base;
  // Back at the full rate: millisecond steps again.
  sim::run_until(700000000u + 1000u * 1234u);
  EXPECT_NEAR(static_cast<double>(uhal_rtc_get_timestamp(UDRV_RTC_2) - ts), 1234.0, 1.0);
}

}  // namespace

namespace {

// A loop that does nothing but read the time base still sees time pass and
// ends when its time is up, not later than the counter step after it.
TEST_F(Nrf52840Port, ALoopPollingTheTimeBaseEndsOnTime) {
  ASSERT_EQ(uhal_rtc_init(UDRV_RTC_2, nullptr, 32768), 0);
  for (uint64_t wait_ms : {1u, 7u, 250u}) {
    const uint64_t start = uhal_rtc_get_timestamp(UDRV_RTC_2);
    const sim::time_us from = sim::now();
    uint64_t reads = 0;
    while (uhal_rtc_get_timestamp(UDRV_RTC_2) < start + wait_ms) reads++;
    EXPECT_GE(sim::now() - from, (wait_ms - 1) * 1000u) << wait_ms;
    EXPECT_LE(sim::now() - from, wait_ms * 1000u + 31u) << wait_ms;
    EXPECT_GT(reads, 0u);
  }
}

}  // namespace
