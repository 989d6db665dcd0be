// The chip core on its own: events, interrupts, waiting, UART pacing, pins.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/host.h"
#include "sim/sim.h"

namespace {

using sim::time_us;

struct EndOfRun {};
struct IdleForever {};

std::vector<std::string> trace;

class Core : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    trace.clear();
    sim::host::set_end_of_run_handler([](void*) { throw EndOfRun{}; }, nullptr);
    sim::host::set_idle_forever_handler([](void*) { throw IdleForever{}; }, nullptr);
  }
  void TearDown() override { sim::host::reset_core(); }
};

void note(void* ctx, uint32_t arg) {
  trace.push_back(std::string(static_cast<const char*>(ctx)) + std::to_string(arg) + "@" +
                  std::to_string(sim::now()));
}

TEST_F(Core, EventsRunInTimeOrderAndEqualTimesInScheduleOrder) {
  sim::schedule(300, note, const_cast<char*>("c"), 1);
  sim::schedule(100, note, const_cast<char*>("a"), 1);
  sim::schedule(100, note, const_cast<char*>("a"), 2);
  sim::EventId gone = sim::schedule(200, note, const_cast<char*>("x"), 0);
  sim::schedule(200, note, const_cast<char*>("b"), 1);
  sim::cancel(gone);
  EXPECT_FALSE(sim::scheduled(gone));
  sim::run_until(1000);
  EXPECT_EQ(trace, (std::vector<std::string>{"a1@100", "a2@100", "b1@200", "c1@300"}));
  EXPECT_EQ(sim::now(), 1000u);
}

TEST_F(Core, EventInThePastRunsNowAndCpuSpendZeroRunsWhatIsDue) {
  sim::run_until(500);
  sim::schedule(10, note, const_cast<char*>("late"), 0);
  sim::cpu_spend(0);
  EXPECT_EQ(trace, (std::vector<std::string>{"late0@500"}));
}

TEST_F(Core, RunUntilIncludesEventsAtItsEnd) {
  sim::schedule(100, note, const_cast<char*>("e"), 0);
  sim::schedule(101, note, const_cast<char*>("f"), 0);
  sim::run_until(100);
  EXPECT_EQ(trace, (std::vector<std::string>{"e0@100"}));
}

TEST_F(Core, PeriodicEventRepeatsUntilItCancelsItself) {
  static sim::EventId id;
  static int runs;
  runs = 0;
  id = sim::schedule_periodic(
      50, 100,
      [](void*, uint32_t) {
        trace.push_back(std::to_string(sim::now()));
        if (++runs == 3) sim::cancel(id);
      },
      nullptr);
  sim::run_until(10'000);
  EXPECT_EQ(trace, (std::vector<std::string>{"50", "150", "250"}));
  EXPECT_FALSE(sim::scheduled(id));
}

// A periodic event takes its place among equal times when it is put back
// (after what was scheduled before that); an event may cancel another one due
// at the same instant, which then never runs.
TEST_F(Core, RescheduledAndCancelledEventsKeepTheQueueOrder) {
  static sim::EventId victim;
  const sim::EventId tick = sim::schedule_periodic(0, 100, note, const_cast<char*>("p"), 0);
  // Both scheduled before the tick is put back for 100 and for 200: they go first.
  sim::schedule(100, note, const_cast<char*>("o"), 1);
  sim::schedule(
      200, [](void*, uint32_t) { sim::cancel(victim); }, nullptr);
  victim = sim::schedule(200, note, const_cast<char*>("v"), 0);
  sim::schedule(200, note, const_cast<char*>("o"), 2);
  EXPECT_TRUE(sim::scheduled(victim));
  sim::run_until(250);
  EXPECT_FALSE(sim::scheduled(victim));
  EXPECT_TRUE(sim::scheduled(tick));
  EXPECT_EQ(trace, (std::vector<std::string>{"p0@0", "o1@100", "p0@100", "o2@200", "p0@200"}));
}

// ---------------------------------------------------------------- irqs ---
void isr_a() { trace.push_back("A@" + std::to_string(sim::now())); }
void isr_b() { trace.push_back("B"); }
void isr_c() { trace.push_back("C"); }

void pend_event(void*, uint32_t irq) { sim::irq_set_pending(static_cast<int>(irq)); }

TEST_F(Core, InterruptDeliveryFollowsEnableMaskAndPriority) {
  struct Case {
    const char* name;
    bool enabled;
    uint32_t primask;
    bool delivered_at_once;
  };
  const Case cases[] = {
      {"enabled, unmasked", true, 0, true},
      {"disabled stays pending", false, 0, false},
      {"masked stays pending", true, 1, false},
  };
  for (const Case& c : cases) {
    SetUp();
    sim::irq_set_handler(5, isr_b);
    sim::irq_enable(5, c.enabled);
    sim::set_primask(c.primask);
    sim::irq_set_pending(5);
    EXPECT_EQ(trace.size(), c.delivered_at_once ? 1u : 0u) << c.name;
    EXPECT_EQ(sim::irq_pending(5), !c.delivered_at_once) << c.name;
    // Enabling and unmasking delivers what was held back, exactly once.
    sim::irq_enable(5, true);
    sim::set_primask(0);
    EXPECT_EQ(trace.size(), 1u) << c.name;
    EXPECT_FALSE(sim::irq_pending(5)) << c.name;
  }
}

TEST_F(Core, PendingInterruptsAreTakenByPriorityThenNumber) {
  sim::irq_set_handler(10, isr_a);
  sim::irq_set_handler(3, isr_b);
  sim::irq_set_handler(7, isr_c);
  sim::irq_set_priority(10, 0);
  sim::irq_set_priority(3, 2);
  sim::irq_set_priority(7, 2);
  for (int n : {10, 3, 7}) sim::irq_enable(n, true);
  sim::set_primask(1);
  for (int n : {7, 3, 10}) sim::irq_set_pending(n);
  EXPECT_TRUE(trace.empty());
  sim::set_primask(0);
  EXPECT_EQ(trace, (std::vector<std::string>{"A@0", "B", "C"}));
}

// A handler of priority 2 pends a priority-0 interrupt (runs at once, nested)
// and another priority-2 one (waits until the first handler returns).
void outer_isr() {
  trace.push_back("outer+" + std::to_string(sim::in_isr()));
  sim::irq_set_pending(2);
  sim::irq_set_pending(3);
  trace.push_back("outer-");
}
void high_isr() { trace.push_back("high"); }
void same_isr() { trace.push_back("same"); }

TEST_F(Core, OnlyAStrictlyHigherPriorityPreempts) {
  sim::irq_set_handler(1, outer_isr);
  sim::irq_set_handler(2, high_isr);
  sim::irq_set_handler(3, same_isr);
  sim::irq_set_priority(1, 2);
  sim::irq_set_priority(2, 0);
  sim::irq_set_priority(3, 2);
  for (int n : {1, 2, 3}) sim::irq_enable(n, true);
  EXPECT_FALSE(sim::in_isr());
  sim::irq_set_pending(1);
  EXPECT_EQ(trace, (std::vector<std::string>{"outer+1", "high", "outer-", "same"}));
  EXPECT_FALSE(sim::in_isr());
}

TEST_F(Core, CriticalSectionsNestByValue) {
  sim::irq_set_handler(4, isr_b);
  sim::irq_enable(4, true);
  uint32_t outer = sim::get_primask();
  sim::set_primask(1);
  uint32_t inner = sim::get_primask();
  sim::set_primask(1);
  sim::irq_set_pending(4);
  sim::set_primask(inner);  // leaving the inner section keeps the mask
  EXPECT_TRUE(trace.empty());
  sim::set_primask(outer);
  EXPECT_EQ(trace, (std::vector<std::string>{"B"}));
}

// BASEPRI holds the lines at or below its urgency (priority value at or
// above it); raising it holds more, lowering it delivers what it held.
TEST_F(Core, BasepriMasksByPriorityValue) {
  sim::irq_set_handler(4, isr_c);
  sim::irq_set_handler(5, isr_b);
  sim::irq_set_priority(4, 0x60);
  sim::irq_set_priority(5, 0x80);
  sim::irq_enable(4, true);
  sim::irq_enable(5, true);
  sim::set_basepri(0x80);
  sim::irq_set_pending(5);
  sim::irq_set_pending(4);
  EXPECT_EQ(trace, (std::vector<std::string>{"C"}));
  sim::set_basepri(0x40);
  sim::irq_set_pending(4);
  EXPECT_EQ(trace, (std::vector<std::string>{"C"}));
  sim::set_basepri(0);
  EXPECT_EQ(trace, (std::vector<std::string>{"C", "C", "B"}));
  EXPECT_EQ(sim::get_basepri(), 0u);
}

TEST_F(Core, InterruptsFromEventsAreDeliveredWhenTimeMoves) {
  sim::irq_set_handler(9, isr_a);
  sim::irq_enable(9, true);
  sim::schedule(40, pend_event, nullptr, 9);
  sim::schedule(70, pend_event, nullptr, 9);
  sim::cpu_spend(100);
  EXPECT_EQ(trace, (std::vector<std::string>{"A@40", "A@70"}));
  EXPECT_EQ(sim::now(), 100u);
}

TEST_F(Core, WaitForInterruptSleepsUntilTheNextInterrupt) {
  sim::irq_set_handler(9, isr_a);
  sim::irq_enable(9, true);
  sim::schedule(30, note, const_cast<char*>("no-irq"), 0);  // an event alone does not wake
  sim::schedule(250, pend_event, nullptr, 9);
  sim::schedule(400, pend_event, nullptr, 9);
  sim::wait_for_interrupt();
  EXPECT_EQ(trace, (std::vector<std::string>{"no-irq0@30", "A@250"}));
  EXPECT_EQ(sim::now(), 250u);
}

TEST_F(Core, WaitWithPrimaskSetWakesButRunsTheHandlerOnlyWhenUnmasked) {
  sim::irq_set_handler(9, isr_a);
  sim::irq_enable(9, true);
  sim::schedule(250, pend_event, nullptr, 9);
  sim::set_primask(1);
  sim::wait_for_interrupt();
  EXPECT_EQ(sim::now(), 250u);
  EXPECT_TRUE(trace.empty());
  sim::wait_for_interrupt();  // still pending: returns at once
  EXPECT_EQ(sim::now(), 250u);
  sim::set_primask(0);
  EXPECT_EQ(trace, (std::vector<std::string>{"A@250"}));
}

TEST_F(Core, DisabledInterruptDoesNotWakeTheCpu) {
  sim::irq_set_handler(9, isr_a);
  sim::irq_set_handler(8, isr_b);
  sim::irq_enable(8, true);
  sim::schedule(100, pend_event, nullptr, 9);  // disabled
  sim::schedule(300, pend_event, nullptr, 8);
  sim::wait_for_interrupt();
  EXPECT_EQ(sim::now(), 300u);
  EXPECT_EQ(trace, (std::vector<std::string>{"B"}));
  EXPECT_TRUE(sim::irq_pending(9));
}

TEST_F(Core, WaitingWithNothingScheduledIsReported) {
  EXPECT_THROW(sim::wait_for_interrupt(), IdleForever);
}

// A loop that waits for an interrupt with PRIMASK set while the interrupt it
// needs is pending returns at once every time; the core lets time move on
// (events run, the deadline ends the run), or reports the wait when nothing
// could ever happen.
TEST_F(Core, ASpinOnAMaskedPendingInterruptLetsTimeMoveOn) {
  sim::irq_set_handler(9, isr_a);
  sim::irq_enable(9, true);
  sim::set_primask(1);
  sim::irq_set_pending(9);
  sim::schedule(500, note, const_cast<char*>("hw"), 0);
  sim::host::set_deadline(1000);
  bool ended = false;
  try {
    for (int i = 0; i < 100000; ++i) sim::wait_for_interrupt();
  } catch (EndOfRun&) {
    ended = true;
  }
  EXPECT_TRUE(ended);
  EXPECT_EQ(sim::now(), 1000u);
  EXPECT_EQ(trace, (std::vector<std::string>{"hw0@500"}));
}

TEST_F(Core, ASpinOnAMaskedPendingInterruptWithNothingScheduledIsReported) {
  sim::irq_set_handler(9, isr_a);
  sim::irq_enable(9, true);
  sim::set_primask(1);
  sim::irq_set_pending(9);
  EXPECT_THROW(for (int i = 0; i < 100000; ++i) sim::wait_for_interrupt(), IdleForever);
}

TEST_F(Core, TheRunEndsAtTheDeadlineWithoutRunningEventsDueThen) {
  sim::host::set_deadline(1000);
  sim::schedule(999, note, const_cast<char*>("in"), 0);
  sim::schedule(1000, note, const_cast<char*>("out"), 0);
  EXPECT_THROW(sim::run_until(5000), EndOfRun);
  EXPECT_EQ(trace, (std::vector<std::string>{"in0@999"}));
  EXPECT_EQ(sim::now(), 1000u);
}

// The gate decides how far time may move, and may bring input events.
TEST_F(Core, TheGateBoundsTimeAndItsInputRunsFirst) {
  static std::vector<std::pair<time_us, time_us>> asks;
  asks.clear();
  sim::host::set_gate(
      [](void*, time_us now, time_us want) -> time_us {
        asks.emplace_back(now, want);
        if (asks.size() == 1) {
          sim::schedule(now + 5, note, const_cast<char*>("input"), 0);
          return now + 5;
        }
        return want;
      },
      nullptr);
  sim::schedule(100, note, const_cast<char*>("timer"), 0);
  sim::run_until(100);
  EXPECT_EQ(trace, (std::vector<std::string>{"input0@5", "timer0@100"}));
  ASSERT_GE(asks.size(), 2u);
  EXPECT_EQ(asks[0], std::make_pair(time_us{0}, time_us{100}));
}

// A quiet span moves the clock without the gate only where nothing can
// happen in it: no event inside (what is due at its start runs first) and no
// input before its end.
TEST_F(Core, AQuietSpanAsksTheGateOnlyWhereSomethingCouldHappen) {
  static std::vector<std::pair<time_us, time_us>> asks;
  static time_us quiet_until;
  struct Case {
    time_us quiet;     // no input before then
    time_us event_at;  // kNever: none
    bool asks;
  };
  for (const Case& c :
       {Case{1000, sim::kNever, false}, Case{6, sim::kNever, false}, Case{5, sim::kNever, true},
        Case{1000, 3, true}, Case{1000, 5, true}, Case{1000, 6, false}, Case{1000, 0, false}}) {
    sim::host::reset_core();
    asks.clear();
    trace.clear();
    sim::host::set_gate(
        [](void*, time_us now, time_us want) -> time_us {
          asks.emplace_back(now, want);
          return want;
        },
        nullptr);
    sim::host::set_quiet_query([](void*) { return quiet_until; }, nullptr);
    quiet_until = c.quiet;
    if (c.event_at != sim::kNever) sim::schedule(c.event_at, note, const_cast<char*>("e"), 0);
    sim::cpu_spend_quiet(5);
    EXPECT_EQ(sim::now(), 5u) << c.quiet << " " << c.event_at;
    EXPECT_EQ(!asks.empty(), c.asks) << c.quiet << " " << c.event_at;
    if (c.event_at <= 5) {
      EXPECT_EQ(trace, (std::vector<std::string>{"e0@" + std::to_string(c.event_at)}));
    }
  }
}

// ---------------------------------------------------------------- uart ---
std::vector<std::pair<time_us, uint8_t>> received;
std::string sent;

TEST_F(Core, UartBytesArriveTenBitTimesApartAtTheBaudRate) {
  struct Case {
    uint32_t baud;
  };
  for (Case c : {Case{115200}, Case{9600}, Case{300}}) {
    SetUp();
    received.clear();
    sim::uart_set_baud(1, c.baud);
    const time_us bt = (10'000'000ull + c.baud - 1) / c.baud;
    EXPECT_EQ(sim::uart_byte_time(1), bt);
    sim::uart_set_rx_handler(
        1, [](void*, uint8_t b) { received.emplace_back(sim::now(), b); }, nullptr);
    const uint8_t first[] = {'a', 'b'};
    const uint8_t second[] = {'c'};
    sim::run_until(1000);
    sim::host::uart_feed(1, first, 2, 1000);
    // Fed while the line is still busy: queued behind the earlier bytes.
    sim::host::uart_feed(1, second, 1, 1000);
    // Fed after the line went quiet: starts when fed.
    sim::run_until(1000 + 10 * bt);
    const uint8_t third[] = {'d'};
    sim::host::uart_feed(1, third, 1, sim::now());
    sim::run_until(sim::now() + 2 * bt);
    std::vector<std::pair<time_us, uint8_t>> want = {
        {1000 + bt, 'a'}, {1000 + 2 * bt, 'b'}, {1000 + 3 * bt, 'c'}, {1000 + 11 * bt, 'd'}};
    EXPECT_EQ(received, want) << c.baud;
  }
}

// What a reader at another rate makes of bytes sent back to back (8N1), each
// worked out by hand from the line's bit pattern and mid-bit sampling.
TEST(UartLine, AReaderAtAnotherRateSamplesWhatTheLineCarries) {
  using Bytes = std::vector<uint8_t>;
  struct Case {
    const char* what;
    Bytes sent;
    uint32_t sent_baud, read_baud;
    Bytes read;
  } cases[] = {
      {"the same rate", {'O', 'K', '\r', '\n'}, 9600, 9600, {'O', 'K', '\r', '\n'}},
      // Nine low bits read twice as fast: a zero byte whose stop bit is low.
      {"0x00 read at twice the rate", {0x00}, 9600, 19200, {0x00}},
      // At half the rate the start bit's middle falls on a high data bit.
      {"0xFF 0xFF read at half the rate", {0xFF, 0xFF}, 19200, 9600, {}},
      // At half the rate: start ok, data bits sampled at 3, 5, 7 (low), 9
      // (the stop bit) and after the frame (idle): 0b11111000.
      {"0x00 read at half the rate", {0x00}, 19200, 9600, {0xF8}},
      {"nothing", {}, 9600, 115200, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sim::host::uart_reframe(c.sent.data(), c.sent.size(), c.sent_baud, c.read_baud),
              c.read)
        << c.what;
  }
  // A text at 115200 read at 9600 shrinks to about one byte in twelve.
  const std::string text = "AT+VER=QIV_4.2.4_Brisola-T\r\nOK\r\n";
  const Bytes slow = sim::host::uart_reframe(reinterpret_cast<const uint8_t*>(text.data()),
                                             text.size(), 115200, 9600);
  EXPECT_GE(slow.size(), 1u);
  EXPECT_LE(slow.size(), text.size() / 6);
}

TEST_F(Core, UartBytesWithoutAReceiverAreLostAndWritesGoOut) {
  received.clear();
  sent.clear();
  const uint8_t in[] = {'x'};
  sim::host::uart_feed(2, in, 1, 0);
  sim::run_until(1000);
  sim::uart_set_rx_handler(
      2, [](void*, uint8_t b) { received.emplace_back(sim::now(), b); }, nullptr);
  sim::run_until(2000);
  EXPECT_TRUE(received.empty());

  EXPECT_FALSE(sim::uart_attached(2));
  const uint8_t out[] = {'O', 'K'};
  sim::uart_write(2, out, 2);  // detached: nowhere
  sim::host::uart_set_output(
      2,
      [](void*, int, const uint8_t* d, size_t n) {
        sent.append(reinterpret_cast<const char*>(d), n);
      },
      nullptr);
  EXPECT_TRUE(sim::uart_attached(2));
  sim::uart_write(2, out, 2);
  EXPECT_EQ(sent, "OK");
}

// Lines far apart (the generic chip has 128 IRQs and the exceptions after
// them) are still taken by priority, then by number.
TEST_F(Core, PendingLinesAcrossTheWholeTableAreTakenByPriority) {
  sim::set_primask(1);
  for (int n : {127, 64, 5}) {
    sim::irq_set_handler(n, [] { trace.push_back("irq"); });
    sim::irq_enable(n, true);
  }
  sim::irq_set_handler(127, [] { trace.push_back("127"); });
  sim::irq_set_handler(64, [] { trace.push_back("64"); });
  sim::irq_set_handler(5, [] { trace.push_back("5"); });
  sim::exception_set_handler(sim::kPendSv, [] { trace.push_back("pendsv"); });
  sim::exception_enable(sim::kPendSv, true);
  sim::irq_set_priority(127, 1);
  sim::irq_set_priority(64, 1);
  sim::irq_set_priority(5, 2);
  for (int n : {5, 127, 64}) sim::irq_set_pending(n);
  sim::exception_set_pending(sim::kPendSv);
  sim::set_primask(0);
  EXPECT_EQ(trace, (std::vector<std::string>{"pendsv", "64", "127", "5"}));
}

// ------------------------------------------------------- polled waits ---
void signal_event(void*, uint32_t) {
  trace.push_back("signal@" + std::to_string(sim::now()));
  sim::signal_change();
}

TEST_F(Core, AWaitForAChangeEndsAtTheSignalOrTheDeadline) {
  sim::schedule(300, signal_event, nullptr);
  sim::wait_for_change(1000);
  EXPECT_EQ(sim::now(), 300u);
  // A signal with nobody waiting is not kept: the next wait runs to its
  // deadline.
  sim::signal_change();
  sim::wait_for_change(1000);
  EXPECT_EQ(sim::now(), 1000u);
  sim::wait_for_change(500);  // past: returns at once
  EXPECT_EQ(sim::now(), 1000u);
  // An interrupt taken during the wait ends it too.
  sim::irq_set_handler(9, isr_a);
  sim::irq_enable(9, true);
  sim::schedule(1200, pend_event, nullptr, 9);
  sim::wait_for_change(5000);
  EXPECT_EQ(sim::now(), 1200u);
  EXPECT_EQ(trace, (std::vector<std::string>{"signal@300", "A@1200"}));
}

TEST_F(Core, AWaitForAChangeWithInterruptsMaskedMovesTimeInSmallSteps) {
  sim::schedule(10, signal_event, nullptr);
  sim::set_primask(1);
  sim::wait_for_change(1000);
  EXPECT_EQ(sim::now(), 50u);
  sim::wait_for_change(70);
  EXPECT_EQ(sim::now(), 70u);
  sim::set_primask(0);
}

TEST_F(Core, WaitsForAChangeNest) {
  // A handler that waits (to its own deadline) inside the thread's wait: the
  // handler's wait ends at its deadline, the thread's with the handler taken,
  // and a later wait still gets its signal.
  sim::irq_set_handler(9, [] {
    sim::wait_for_change(sim::now() + 100);
    trace.push_back("handler done@" + std::to_string(sim::now()));
  });
  sim::irq_set_priority(9, 1);
  sim::irq_enable(9, true);
  sim::schedule(200, pend_event, nullptr, 9);
  sim::schedule(400, signal_event, nullptr);
  sim::wait_for_change(10'000);
  EXPECT_EQ(trace, (std::vector<std::string>{"handler done@300"}));
  EXPECT_EQ(sim::now(), 300u);
  sim::wait_for_change(10'000);
  EXPECT_EQ(sim::now(), 400u);
}

// ---------------------------------------------------------------- pins ---
TEST_F(Core, PinEdgesAreEventsAndOutputsAreObserved) {
  static std::vector<std::string> seen;
  seen.clear();
  const uint16_t strap = sim::pin_id('B', 12);
  const uint16_t led = sim::pin_id('C', 13);
  sim::pin_set_edge_handler(
      [](void*, uint16_t pin, int level) {
        seen.push_back("edge " + sim::host::pin_name(pin) + "=" + std::to_string(level) + "@" +
                       std::to_string(sim::now()));
      },
      nullptr);
  sim::host::pin_set_output_observer(
      [](void*, uint16_t pin, int level) {
        seen.push_back("out " + sim::host::pin_name(pin) + "=" + std::to_string(level));
      },
      nullptr);
  sim::host::pin_preset_input(strap, 1);  // power-on level: no edge
  sim::run_until(10);
  sim::pin_set_input(strap, 1);  // no change: no edge
  sim::pin_set_input(strap, 0);
  sim::run_until(20);
  sim::pin_output(led, 1);
  sim::pin_output(led, 1);
  EXPECT_EQ(sim::pin_output_level(led), 1);
  EXPECT_EQ(seen, (std::vector<std::string>{"edge PB12=0@10", "out PC13=1"}));
  uint16_t parsed;
  EXPECT_TRUE(sim::host::parse_pin("PB12", &parsed));
  EXPECT_EQ(parsed, strap);
  for (const char* bad : {"PB16", "B12", "PB", "PB1x", ""})
    EXPECT_FALSE(sim::host::parse_pin(bad, &parsed)) << bad;
}

TEST_F(Core, RetainedWordsAnalogueAndUniqueId) {
  sim::retained_write(0, 0xA5A5A5A5u);
  sim::retained_write(sim::kRetainedWords, 1);  // ignored
  EXPECT_EQ(sim::retained_read(0), 0xA5A5A5A5u);
  sim::retained_clear_all();
  EXPECT_EQ(sim::retained_read(0), 0u);
  sim::analog_set_mv("PB3", 1500);
  EXPECT_EQ(sim::analog_mv("PB3"), 1500u);
  EXPECT_EQ(sim::analog_mv("VBAT"), 0u);
  sim::host::set_unique_id(1, 2, 3);
  EXPECT_EQ(sim::unique_id(2), 3u);
}

// Two runs of the same scenario give the same trace.
TEST_F(Core, RunsAreDeterministic) {
  auto scenario = [] {
    sim::host::reset_core();
    trace.clear();
    sim::irq_set_handler(9, isr_a);
    sim::irq_enable(9, true);
    for (uint32_t i = 0; i < 50; ++i) {
      sim::schedule((i * 7919) % 1000, note, const_cast<char*>("e"), i);
      sim::schedule((i * 104729) % 1000, pend_event, nullptr, 9);
    }
    sim::run_until(2000);
    return trace;
  };
  EXPECT_EQ(scenario(), scenario());
}

}  // namespace
