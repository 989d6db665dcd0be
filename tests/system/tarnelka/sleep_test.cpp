// Sleeping on a Tarnelka, in virtual time: the automatic sleep with its
// wake-up by a byte on UART0 ("WAKE_UP") and the end of the serial wake
// window ("SLEEP"), and the timed sleep of "AT+SLEEP".
#include <gtest/gtest.h>

#include "tarnelka.h"

namespace {

using fdn::exchange;
using systest::Device;
using systest::ms;
using systest::sec;
using systest::time_us;
using systest::World;
using tk::kUart0;
using tk::kUart1;

time_us line_time(size_t bytes) { return bytes * 87; }  // 115200 baud, rounded up

TEST(Sleep, AutomaticSleepWakesOnUart0AndSleepsAgainAfterTheWindow) {
  World w;
  Device& d = tk::start(w, "m");
  ASSERT_TRUE(exchange(d, kUart0, "AT+LPM=1\r\n", "OK\r\n"));
  EXPECT_NE(tk::get32(d.flash(), tk::kRecordAddr + tk::rec::auto_sleep_time), 0u);
  // Asleep now: nothing comes by itself.
  EXPECT_TRUE(d.quiet(kUart0, sec(30)));

  // A byte wakes the module; both UARTs say so.
  d.write(kUart0, "\r");
  ASSERT_TRUE(d.wait_output(kUart0, "WAKE_UP\r\n", sec(1)));
  ASSERT_TRUE(d.wait_output(kUart1, "WAKE_UP\r\n", sec(1)));
  w.run_for(ms(50));
  d.take(kUart0);
  EXPECT_TRUE(exchange(d, kUart0, "AT\r\n", "OK\r\n"));

  // 10 s after the last line the window closes on both UARTs.
  time_us last_line = w.now();
  ASSERT_TRUE(d.wait_output(kUart0, "SLEEP\r\n", sec(12)));
  EXPECT_GE(w.now() - last_line, sec(9));
  EXPECT_LE(w.now() - last_line, sec(11));
  ASSERT_TRUE(d.wait_output(kUart1, "SLEEP\r\n", sec(1)));
  EXPECT_TRUE(d.quiet(kUart0, sec(30)));

  // And it wakes again.
  d.write(kUart0, "\r");
  EXPECT_TRUE(d.wait_output(kUart0, "WAKE_UP\r\n", sec(1)));
}

// "OK" comes when the sleep is over: its time after the line has arrived.
TEST(Sleep, ATimedSleepLastsItsTime) {
  for (uint32_t sleep_ms : {1000u, 5000u, 60000u}) {
    SCOPED_TRACE(std::to_string(sleep_ms) + " ms");
    World w;
    Device& d = tk::start(w, "m");
    const std::string line = "AT+SLEEP=" + std::to_string(sleep_ms) + "\r\n";
    time_us sent = w.now();
    d.write(kUart0, line);
    ASSERT_TRUE(d.wait_output(kUart0, "OK\r\n", ms(sleep_ms) + sec(5)));
    time_us slept = w.now() - sent - line_time(line.size());
    EXPECT_GE(slept, ms(sleep_ms));
    EXPECT_LT(slept, ms(sleep_ms) + ms(20));
    EXPECT_TRUE(exchange(d, kUart0, "AT\r\n", "OK\r\n"));
  }
}

}  // namespace
