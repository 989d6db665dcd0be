// The sleep commands on a Brisola-T module, in virtual time: a timed sleep
// lasts its time, a byte on the AT port wakes the module (and is not lost),
// a sleep that cannot start is answered as busy, and the automatic sleep
// keeps the module answering at either stop level, also to a line that
// arrives while it is falling asleep.
#include <gtest/gtest.h>

#include "commands.h"

namespace {

using namespace fdn;
using cmd::answer;
using cmd::with_flash;
using cmd::word;
using systest::Device;
using systest::ms;
using systest::sec;
using systest::time_us;
using systest::World;

const Image& img = kBrisolaT;

// The time the line `typed` takes on the AT port at 115200 baud.
time_us typing_time(const std::string& typed) { return typed.size() * cmd::byte_time(115200); }

// "OK" comes when the sleep is over: no sooner than its time after the line
// has arrived, and without a long delay after it.
void expect_timed_sleeps(std::initializer_list<uint32_t> times_ms) {
  World w;
  Device& d = start_module(w, "m", img, with_flash(cmd::stored_defaults(img)));
  for (uint32_t sleep_ms : times_ms) {
    SCOPED_TRACE(std::to_string(sleep_ms) + " ms");
    const std::string line = "AT+SLEEP=" + std::to_string(sleep_ms) + "\r\n";
    time_us sent = w.now();
    d.write(kAtPort, line);
    ASSERT_TRUE(d.wait_output(kAtPort, "OK\r\n", ms(sleep_ms) + sec(5)));
    time_us slept = w.now() - sent - typing_time(line);
    EXPECT_GE(slept, ms(sleep_ms));
    EXPECT_LT(slept, ms(sleep_ms) + ms(20));
    EXPECT_EQ(d.take(kAtPort), "");
    // The port receives again after a wake-up by the timer.
    EXPECT_TRUE(exchange(d, kAtPort, "AT\r\n", "OK\r\n"));
  }
}

TEST(Sleep, ATimedSleepHoldsTheReplyForItsTime) {
  expect_timed_sleeps({1, 250, 1000, 30000, 86400000});
}

// The RTC counter behind the timers spans 2^32 ticks of 1/32768 s (about
// 36.4 hours); a sleep may be asked for up to 4294967295 ms (49.7 days).
TEST(Sleep, ASleepLongerThanTheRtcCounterSpanStillLastsItsTime) {
  expect_timed_sleeps({131072000, 200000000, 4194304000u, 4294967295u});
}

// Bare, the sleep has no timer; with the longest time it has one that would
// not end for weeks. Either way the first byte of a line wakes the module,
// the sleep is answered, and then the line.
TEST(Sleep, AByteOnTheAtPortEndsTheSleepAndReachesTheInterpreter) {
  for (const char* line : {"AT+SLEEP\r\n", "AT+SLEEP=4294967295\r\n", "AT+SLEEP=60000\r\n"}) {
    SCOPED_TRACE(printable(line));
    World w;
    Device& d = start_module(w, "m", img, with_flash(cmd::stored_defaults(img)));
    d.write(kAtPort, line);
    EXPECT_TRUE(d.quiet(kAtPort, sec(20)));
    time_us woken = w.now();
    EXPECT_TRUE(
        exchange(d, kAtPort, "AT+VER=?\r\n", "OK\r\n" + answer("AT+VER", version_text(img))));
    // (exchange waits on past the replies; the first "OK" came at once.)
    const std::vector<systest::OutputChunk>& chunks = d.chunks(kAtPort);
    ASSERT_FALSE(chunks.empty());
    time_us first_reply = 0;
    for (const systest::OutputChunk& c : chunks) {
      if (c.t >= woken) {
        first_reply = c.t;
        break;
      }
    }
    EXPECT_LT(first_reply - woken, ms(5));
  }
}

// A timed sleep that a byte ended early leaves no timer behind that could
// end a later sleep without a timer.
TEST(Sleep, ASleepWithoutATimerIsNotEndedByAnEarlierSleepsTimer) {
  World w;
  Device& d = start_module(w, "m", img, with_flash(cmd::stored_defaults(img)));
  d.write(kAtPort, "AT+SLEEP=60000\r\n");
  ASSERT_TRUE(d.quiet(kAtPort, sec(2)));
  ASSERT_TRUE(exchange(d, kAtPort, "AT\r\n", "OK\r\nOK\r\n"));
  d.write(kAtPort, "AT+SLEEP\r\n");
  EXPECT_TRUE(d.quiet(kAtPort, sec(120)));
  EXPECT_TRUE(exchange(d, kAtPort, "AT\r\n", "OK\r\nOK\r\n"));
}

// A sleep asked for on a line that has just woken the module is not held
// off by that wake-up: the line's own arrival is what woke it.
TEST(Sleep, ASleepAskedForByTheLineThatWokeTheModuleSleeps) {
  World w;
  Device& d = start_module(w, "m", img, with_flash(cmd::stored_defaults(img)));
  d.write(kAtPort, "AT+SLEEP\r\n");
  ASSERT_TRUE(d.quiet(kAtPort, sec(2)));
  // The first byte wakes the module; the line is whole less than 3 ms later.
  time_us sent = w.now();
  d.write(kAtPort, "AT+SLEEP=1000\r\n");
  ASSERT_TRUE(d.wait_output(kAtPort, "OK\r\n", sec(1)));  // the first sleep ends
  EXPECT_LT(w.now() - sent, ms(10));
  ASSERT_TRUE(d.wait_output(kAtPort, "OK\r\n", sec(5)));  // the second one
  EXPECT_GE(w.now() - sent, ms(1000) + typing_time("AT+SLEEP=1000\r\n"));
  EXPECT_EQ(d.take(kAtPort), "");
}

// Under the automatic sleep every line wakes the module moments before it
// is run: a timed sleep asked for that way lasts its time each time.
TEST(AutoSleep, ATimedSleepAskedForUnderAutoSleepLastsItsTime) {
  World w;
  Device& d = start_module(w, "m", img, with_flash(cmd::stored_defaults(img)));
  ASSERT_TRUE(exchange(d, kAtPort, "AT+LPM=1\r\n", "OK\r\n"));
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE("sleep " + std::to_string(i + 1));
    w.run_for(sec(1));  // asleep by now
    const std::string line = "AT+SLEEP=" + std::to_string(200 + 100 * i) + "\r\n";
    time_us sent = w.now();
    d.write(kAtPort, line);
    ASSERT_TRUE(d.wait_output(kAtPort, "OK\r\n", sec(5))) << printable(d.unread(kAtPort));
    time_us slept = w.now() - sent - typing_time(line);
    EXPECT_GE(slept, ms(200 + 100 * i));
    EXPECT_LT(slept, ms(200 + 100 * i) + ms(20));
    EXPECT_EQ(d.take(kAtPort), "");
  }
}

uint32_t stored_auto_sleep(const Device& d) {
  return get32(record_of(d.flash()), cmd::kRecAutoSleepTime);
}

// With the automatic sleep on, the module sleeps whenever it is idle and a
// byte wakes it. The AT port (LPUART1) wakes it from both stop levels;
// UART1 (USART1) has no clock in STOP2, so at level 2 what arrives there
// while the module sleeps is lost, as on the chip.
TEST(AutoSleep, SettingsAreStoredAndTheLevelDecidesWhichPortsWakeTheModule) {
  World w;
  Device& d = start_module(w, "m", img, with_flash(cmd::stored_defaults(img)));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+LPM=?\r\nAT+LPMLVL=?\r\n",
                       answer("AT+LPM", "0") + answer("AT+LPMLVL", "1")));
  d.write(kUart1, "AT+ATM\r");
  ASSERT_TRUE(d.wait_output(kUart1, "OK\r\n"));
  collect(d, kAtPort);

  struct Step {
    const char* settings;
    uint32_t lpm, level;
    bool uart1_wakes;
  } steps[] = {
      {"AT+LPM=1\r\n", 1, 1, true},
      {"AT+LPMLVL=2\r\n", 1, 2, false},
      {"AT+LPM=0\r\n", 0, 2, true},
      {"AT+LPMLVL=1\r\nAT+LPM=1\r\n", 1, 1, true},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(printable(s.settings));
    d.write(kAtPort, s.settings);
    collect(d, kUart1, sec(1));
    collect(d, kAtPort, ms(0));
    EXPECT_EQ(stored_auto_sleep(d), s.lpm);
    EXPECT_EQ(record_of(d.flash()).at(rec::auto_sleep_level), s.level);
    std::string state =
        answer("AT+LPM", std::to_string(s.lpm)) + answer("AT+LPMLVL", std::to_string(s.level));
    // Idle long enough to be asleep, then a line on each port.
    w.run_for(sec(30));
    EXPECT_TRUE(exchange(d, kAtPort, "AT+LPM=?\r\nAT+LPMLVL=?\r\n", state));
    collect(d, kUart1);
    w.run_for(sec(30));
    d.write(kUart1, "AT+VER=?\r\n");
    std::string ver = answer("AT+VER", version_text(img));
    EXPECT_EQ(collect(d, kUart1), s.uart1_wakes ? ver : "");
    EXPECT_EQ(collect(d, kAtPort), s.uart1_wakes ? ver : "");
  }
  // The setting survives a restart: the module still answers.
  d.restart();
  ASSERT_TRUE(d.wait_line(kAtPort, "Current Work Mode: LoRaWAN."));
  w.run_for(sec(30));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+LPM=?\r\n", answer("AT+LPM", "1")));
}

// With the automatic sleep on, the module falls asleep again moments after
// each reply. A line that starts to arrive meanwhile (while the ports are
// being suspended, or just before the stop mode) is answered all the same:
// the next line follows each "OK" after 0 to 3 ms, in steps of 10 us.
TEST(AutoSleep, ALineArrivingWhileTheModuleFallsAsleepIsAnswered) {
  for (uint32_t level : {1u, 2u}) {
    SCOPED_TRACE("level " + std::to_string(level));
    World w;
    Device& d = start_module(w, "m", img, with_flash(cmd::stored_defaults(img)));
    ASSERT_TRUE(exchange(d, kAtPort, "AT+LPMLVL=" + std::to_string(level) + "\r\n", "OK\r\n"));
    d.write(kAtPort, "AT+LPM=1\r\n");
    ASSERT_TRUE(d.wait_output(kAtPort, "OK\r\n"));
    for (time_us gap = 0; gap <= ms(3); gap += systest::us(10)) {
      w.run_for(gap);
      d.write(kAtPort, "AT\r\n");
      ASSERT_TRUE(d.wait_output(kAtPort, "OK\r\n", ms(50)))
          << "the line sent " << gap << " us after OK: " << printable(d.unread(kAtPort));
    }
    EXPECT_EQ(d.take(kAtPort), "");
  }
}

}  // namespace
