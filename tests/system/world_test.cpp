// The world (time master, air, world-carried ports) and the system-test
// harness, exercised with the stand-in image qiv-fake-device.
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <cstring>
#include <optional>
#include <regex>
#include <sstream>

#include "systest/world.h"

namespace {

using systest::Device;
using systest::ms;
using systest::sec;
using systest::World;
using testing::HasSubstr;

constexpr const char* kImage = "qiv-fake-device";
constexpr int kConsole = 2;

Device& start_ready(World& w, const std::string& name, systest::DeviceOptions o = {}) {
  o.image = kImage;
  Device& d = w.start(name, std::move(o));
  EXPECT_TRUE(d.wait_line(kConsole, "READY 1"));
  return d;
}

// Time stamp of the output chunk that holds the end of the first line equal
// to `line` on `port`.
sim::time_us line_time(const Device& d, int port, const std::string& line) {
  std::string all;
  for (const auto& c : d.chunks(port)) {
    all += c.bytes;
    size_t at = all.find(line + "\r\n");
    if (at != std::string::npos) return c.t;
  }
  ADD_FAILURE() << "no line " << line;
  return 0;
}

uint64_t number_after(const std::string& line, const std::string& prefix) {
  EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
  return std::stoull(line.substr(prefix.size()));
}

TEST(World, EveryCarriedPortAnswersOnItself) {
  World w;
  Device& a = start_ready(w, "a");
  for (int port : {0, 1, 2, 3}) {
    SCOPED_TRACE(port);
    a.write(port, "PING\r\n");
    ASSERT_TRUE(a.wait_line(port, "PONG"));
    for (int other : {0, 1, 2, 3}) {
      if (other != port) {
        EXPECT_EQ(a.unread(other), "") << other;
      }
    }
  }
}

TEST(World, LineExpectationsReportWhatCameInstead) {
  World w;
  Device& a = start_ready(w, "a");
  a.write(kConsole, "PING\r\nSAY one\r\nSAY two\r\n");
  EXPECT_TRUE(a.expect_lines(kConsole, {"PONG", "one", "two"}));
  EXPECT_TRUE(a.quiet(kConsole, sec(1)));

  a.write(kConsole, "SAY three\r\nSAY four\r\n");
  testing::AssertionResult wrong = a.expect_lines(kConsole, {"three", "five"});
  EXPECT_FALSE(wrong);
  EXPECT_THAT(wrong.message(), HasSubstr("line 2 is \"four\", expected \"five\""));

  a.write(kConsole, "DELAY 300000 SAY later\r\n");
  testing::AssertionResult noisy = a.quiet(kConsole, sec(1));
  EXPECT_FALSE(noisy);
  EXPECT_THAT(noisy.message(), HasSubstr("OK\\r\\nlater\\r\\n"));
  testing::AssertionResult missing = a.expect_lines(kConsole, {"OK", "later", "never"}, sec(2));
  EXPECT_FALSE(missing);
  EXPECT_THAT(missing.message(), HasSubstr("line 3 \"never\" did not come"));
}

// A line ends with "\r\n": a bare "\n" (or "\r") stays in the line's text,
// so output with a wrong line end matches no expected line, unless the port
// is told to take bare "\n" as a line end.
TEST(World, LinesEndWithCrLfUnlessBareLfIsAccepted) {
  World w;
  Device& a = start_ready(w, "a");
  // "one\n", "two\r", then "PONG\r\n".
  a.write(kConsole, "RAW 6F6E650A\r\nRAW 74776F0D\r\nPING\r\n");
  EXPECT_EQ(a.next_line(kConsole), std::optional<std::string>("one\ntwo\rPONG"));

  a.write(kConsole, "RAW 6F6E650A\r\nPING\r\n");
  EXPECT_FALSE(a.wait_line(kConsole, "one", ms(200)));
  a.take(kConsole);

  a.write(kConsole, "RAW 6F6E650A\r\nPING\r\n");
  EXPECT_FALSE(a.expect_lines(kConsole, {"one", "PONG"}, ms(200)));
  a.take(kConsole);

  a.accept_bare_lf(kConsole);
  a.write(kConsole, "RAW 6F6E650A\r\nPING\r\n");
  EXPECT_TRUE(a.expect_lines(kConsole, {"one", "PONG"}));
  a.write(1, "RAW 6F6E650A\r\n");  // only the port it was set for
  EXPECT_FALSE(a.wait_line(1, "one", ms(200)));
  a.accept_bare_lf(kConsole, false);
  a.write(kConsole, "RAW 6F6E650A\r\nPING\r\n");
  EXPECT_FALSE(a.wait_line(kConsole, "one", ms(200)));
}

TEST(World, OutputIsStampedWithTheDeviceClock) {
  World w;
  Device& a = start_ready(w, "a");
  w.run_for(ms(250));
  sim::time_us asked = w.now();
  a.write(kConsole, "TIME\r\n");
  auto line = a.next_line(kConsole);
  ASSERT_TRUE(line);
  uint64_t t = number_after(*line, "TIME ");
  EXPECT_GT(t, asked);  // the six bytes take their line time
  EXPECT_EQ(a.chunks(kConsole).back().t, t);
  EXPECT_EQ(w.now(), t);  // the wait ends when the line came
}

// Input given ahead with its time reaches each device as if the world had
// been run up to that time and the bytes written then; several for one time
// keep their order, and a time already past is refused.
TEST(World, TimedInputArrivesAsIfWrittenAtItsTime) {
  const sim::time_us ta = ms(300), tb = ms(120);
  // The reference: run up to each time and write.
  std::string a_ref, b_ref;
  {
    World w;
    Device& a = start_ready(w, "a");
    Device& b = start_ready(w, "b");
    const sim::time_us t0 = w.now();
    w.run_until(t0 + tb);
    b.write(kConsole, "TIME\r\n");
    w.run_until(t0 + ta);
    a.write(kConsole, "PING\r\nTIME\r\n");
    auto pong = a.next_line(kConsole);
    auto time_a = a.next_line(kConsole);
    auto time_b = b.next_line(kConsole);
    ASSERT_TRUE(pong && time_a && time_b);
    EXPECT_EQ(*pong, "PONG");
    a_ref = *time_a;
    b_ref = *time_b;
  }
  World w;
  Device& a = start_ready(w, "a");
  Device& b = start_ready(w, "b");
  const sim::time_us t0 = w.now();
  auto at = [&](Device& d, sim::time_us t, const std::string& text) {
    w.master().send_uart_at(d.id(), kConsole, t, reinterpret_cast<const uint8_t*>(text.data()),
                            text.size());
  };
  at(a, t0 + ta, "PING\r\n");
  at(b, t0 + tb, "TIME\r\n");
  at(a, t0 + ta, "TIME\r\n");
  w.run_until(t0 + sec(1));
  EXPECT_EQ(a.next_line(kConsole, 0), "PONG");
  EXPECT_EQ(a.next_line(kConsole, 0), a_ref);
  EXPECT_EQ(b.next_line(kConsole, 0), b_ref);
  EXPECT_GT(number_after(a_ref, "TIME "), t0 + ta);
  EXPECT_THROW(at(a, w.now() - 1, "PING\r\n"), std::runtime_error);
}

TEST(World, WaitsAreBoundedInVirtualTime) {
  World w;
  Device& a = start_ready(w, "a");
  a.write(kConsole, "DELAY 5000000 SAY LATE\r\n");
  ASSERT_TRUE(a.wait_line(kConsole, "OK"));
  sim::time_us ok_at = w.now();

  EXPECT_FALSE(a.wait_line(kConsole, "LATE", sec(4)));
  EXPECT_EQ(w.now(), ok_at + sec(4));
  EXPECT_TRUE(a.wait_line(kConsole, "LATE", sec(2)));
  EXPECT_EQ(w.now(), ok_at + sec(5));
  EXPECT_EQ(line_time(a, kConsole, "LATE"), ok_at + sec(5));
}

TEST(World, AFrameReachesEveryOtherDeviceWhenSentWithItsLinkBudget) {
  World w;
  Device& a = start_ready(w, "a");
  Device& b = start_ready(w, "b");
  Device& c = start_ready(w, "c");
  w.budget().set_path_loss(a.id(), c.id(), 117.5);
  w.run_for(ms(10));
  a.write(kConsole, "TX 0102A0FF\r\n");
  ASSERT_TRUE(a.wait_line(kConsole, "OK"));
  w.run_for(ms(10));

  ASSERT_EQ(w.frames().size(), 1u);
  const auto& rec = w.frames()[0];
  EXPECT_EQ(rec.frame.sender, static_cast<uint32_t>(a.id()));
  EXPECT_EQ(systest::hex(rec.frame.payload, rec.frame.len), "0102A0FF");

  // Thermal noise in 125 kHz plus the default 6 dB noise figure.
  double noise = -174.0 + 10.0 * std::log10(125000.0) + 6.0;
  struct Case {
    Device* receiver;
    double loss;
  } cases[] = {{&b, 80.0}, {&c, 117.5}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.receiver->name());
    double rssi = 14.0 - k.loss;
    std::ostringstream want;
    want << "RX " << a.id() << " " << std::lround(rssi) << " " << std::lround(rssi - noise)
         << " 868100000 0102A0FF";
    EXPECT_TRUE(k.receiver->wait_line(kConsole, want.str(), 0));
    // Heard at the very time it was sent.
    EXPECT_EQ(line_time(*k.receiver, kConsole, want.str()), rec.t);
  }
  EXPECT_EQ(a.unread(kConsole), "");  // a sender does not hear itself
}

TEST(World, InjectedFramesReachEveryDevice) {
  World w;
  Device& a = start_ready(w, "a");
  Device& b = start_ready(w, "b");
  w.budget().set_noise_floor(-100.0);
  w.budget().set_path_loss(0, b.id(), 120.0);
  w.run_for(ms(3));
  w.inject_frame(systest::lora_frame(868300000, 9, 125000, {0xCA, 0xFE}, w.now(), ms(50)));
  EXPECT_TRUE(a.wait_line(kConsole, "RX 0 -66 34 868300000 CAFE", 0));
  EXPECT_TRUE(b.wait_line(kConsole, "RX 0 -106 -6 868300000 CAFE", 0));
  ASSERT_EQ(w.frames().size(), 1u);
  EXPECT_EQ(w.frames()[0].t, ms(3));
}

// Everything observable of a busy two-device scenario.
std::string transcript() {
  World w;
  Device& a = start_ready(w, "a");
  Device& b = start_ready(w, "b");
  a.write(1, "DELAY 700 SAY A1\r\n");
  b.write(1, "DELAY 700 SAY B1\r\n");
  a.write(kConsole, "TX 01\r\n");
  b.write(kConsole, "TX 02\r\n");
  w.run_for(ms(3));
  a.write(kConsole, "TX 03\r\nTX 04\r\nPING\r\n");
  b.write(kConsole, "PING\r\nTX 05\r\nDELAY 1 SAY B2\r\n");
  w.run_for(ms(20));
  std::ostringstream out;
  for (Device* d : {&a, &b})
    for (int port : {1, 2})
      for (const auto& c : d->chunks(port))
        out << d->name() << port << "@" << c.t << ":" << c.bytes;
  for (const auto& f : w.frames())
    out << "frame@" << f.t << " from " << f.frame.sender << ":"
        << systest::hex(f.frame.payload, f.frame.len) << "\n";
  return out.str();
}

// The whole lines of a port, each with the time its end was output.
std::vector<std::pair<sim::time_us, std::string>> timed_lines(const Device& d, int port) {
  std::vector<std::pair<sim::time_us, std::string>> out;
  std::string partial;
  for (const auto& c : d.chunks(port)) {
    for (char ch : c.bytes) {
      if (ch != '\n') {
        partial += ch;
        continue;
      }
      if (!partial.empty() && partial.back() == '\r') partial.pop_back();
      if (partial != "OK" && partial.rfind("READY", 0) != 0) out.emplace_back(c.t, partial);
      partial.clear();
    }
  }
  return out;
}

TEST(World, AWiredPortCarriesBytesToTheOtherDeviceAtTheirSendTime) {
  World w;
  Device& a = start_ready(w, "a");
  Device& b = start_ready(w, "b");
  w.master().connect_uart(a.id(), 1, b.id(), 3);
  // Each device runs the line the other wrote: a says "SAY SAY ", b then
  // "SAY ", a then an empty line, which b ignores.
  a.write(1, "SAY SAY SAY \r\n");
  ASSERT_TRUE(b.wait_line(3, "SAY "));
  ASSERT_TRUE(a.wait_line(1, "SAY SAY "));
  ASSERT_TRUE(a.wait_line(1, ""));
  EXPECT_TRUE(a.quiet(1, ms(100)));
  EXPECT_EQ(b.unread(1) + b.unread(kConsole) + a.unread(3), "") << "only the wired ports";
  // b runs the line once its CR is in: nine bytes at 115200 baud after a
  // wrote them.
  const sim::time_us byte = 87;
  EXPECT_EQ(line_time(b, 3, "SAY "), line_time(a, 1, "SAY SAY ") + 9 * byte);

  w.master().connect_uart(b.id(), 3, a.id(), -1);
  a.write(1, "SAY SAY x\r\n");
  ASSERT_TRUE(a.wait_line(1, "SAY x"));
  EXPECT_TRUE(b.quiet(3, ms(100))) << "unwired";
}

TEST(World, FramesArriveAtTheirSendTimeAfterTheReceiversOwnEventsOfThatTime) {
  World w;
  Device& a = start_ready(w, "a");
  Device& b = start_ready(w, "b");
  Device& c = start_ready(w, "c");
  Device& d = start_ready(w, "d");
  struct Step {
    Device* dev;
    const char* cmd;
  } plan[] = {
      {&a, "WHEN 50000 TX 01"},  {&b, "WHEN 50000 TX 02"},  {&a, "WHEN 49999 SAY A0"},
      {&c, "WHEN 50000 SAY C0"}, {&c, "WHEN 50001 SAY C1"}, {&d, "WHEN 60000 TX 04"},
      {&c, "WHEN 60010 SAY C2"},
  };
  for (const Step& s : plan) {
    s.dev->write(kConsole, std::string(s.cmd) + "\r\n");
    ASSERT_TRUE(s.dev->wait_line(kConsole, "OK"));
  }
  ASSERT_LT(w.now(), 49999u);
  w.run_until(70000);
  using Lines = std::vector<std::pair<sim::time_us, std::string>>;
  const std::string rx = " -66 51 868100000 ";
  EXPECT_EQ(timed_lines(a, kConsole),
            (Lines{{49999, "A0"}, {50000, "RX 2" + rx + "02"}, {60000, "RX 4" + rx + "04"}}));
  EXPECT_EQ(timed_lines(b, kConsole),
            (Lines{{50000, "RX 1" + rx + "01"}, {60000, "RX 4" + rx + "04"}}));
  EXPECT_EQ(timed_lines(c, kConsole), (Lines{{50000, "C0"},
                                             {50000, "RX 1" + rx + "01"},
                                             {50000, "RX 2" + rx + "02"},
                                             {50001, "C1"},
                                             {60000, "RX 4" + rx + "04"},
                                             {60010, "C2"}}));
  EXPECT_EQ(timed_lines(d, kConsole),
            (Lines{{50000, "RX 1" + rx + "01"}, {50000, "RX 2" + rx + "02"}}));
}

// A device may let its clock run through a span of bus time without a world
// step only where nothing can reach it meanwhile: a listening device hears
// every frame at the time it was sent, whether the sender acts at the same
// instant as the span begins, during it or just before it. (A frame of a
// third device first wakes both at one instant, so that they are due
// together again afterwards.)
TEST(World, AListenerInABusWaitHearsEachFrameAtItsSendTime) {
  struct Case {
    sim::time_us tx_at;
    sim::time_us quiet_at;
    sim::time_us quiet_us;
  } cases[] = {
      {50000, 50000, 500},  // due side by side
      {50200, 50000, 500},  // the frame comes during the span
      {49990, 50000, 500},  // just before it
      {50000, 50000, 5},    // a span shorter than the frame
  };
  for (const Case& c : cases) {
    World w;
    Device& a = start_ready(w, "a");
    Device& b = start_ready(w, "b");
    Device& waker = start_ready(w, "waker");
    for (Device* d : {&a, &b}) {
      d->write(kConsole, "AIR LISTEN\r\n");
      ASSERT_TRUE(d->wait_line(kConsole, "OK"));
    }
    const std::pair<Device*, std::string> plan[] = {
        {&waker, "WHEN 40000 TX 03"},
        {&a, "WHEN " + std::to_string(c.tx_at) + " TX 01"},
        {&b, "WHEN " + std::to_string(c.quiet_at) + " QUIET " + std::to_string(c.quiet_us)},
    };
    for (const auto& [d, cmd] : plan) {
      d->write(kConsole, cmd + "\r\n");
      ASSERT_TRUE(d->wait_line(kConsole, "OK"));
    }
    ASSERT_LT(w.now(), 40000u);
    w.run_until(70000);
    EXPECT_TRUE(b.wait_line(kConsole, "RX 1 -66 51 868100000 01 @" + std::to_string(c.tx_at), 0))
        << "frame at " << c.tx_at << ", span at " << c.quiet_at;
  }
}

TEST(World, SameInputsGiveTheSameRunBitForBit) {
  std::string first = transcript();
  EXPECT_THAT(first, HasSubstr("RX 1 -66"));
  EXPECT_THAT(first, HasSubstr("RX 2 -66"));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(transcript(), first);
}

TEST(World, IdleDevicesLetTimeSkipAhead) {
  World w;
  Device& a = start_ready(w, "a");
  start_ready(w, "b");
  w.run_for(sec(24 * 3600));
  EXPECT_EQ(w.now(), sec(24 * 3600));
  a.write(kConsole, "TIME\r\n");
  auto line = a.next_line(kConsole);
  ASSERT_TRUE(line);
  EXPECT_GT(number_after(*line, "TIME "), sec(24 * 3600));
}

TEST(World, KnobsAreSetAtStart) {
  World w;
  systest::DeviceOptions o;
  o.pins = {{"PB12", 1}};
  o.adcs = {{"VBAT", 3300}, {"PB3", 1234}};
  Device& a = start_ready(w, "a", o);
  struct Case {
    const char* cmd;
    const char* reply;
  } cases[] = {{"PIN PB12", "PIN 1"},
               {"PIN PB13", "PIN 0"},
               {"ADC VBAT", "ADC 3300"},
               {"ADC PB3", "ADC 1234"}};
  for (const Case& k : cases) {
    a.write(kConsole, std::string(k.cmd) + "\r\n");
    EXPECT_EQ(a.next_line(kConsole), k.reply) << k.cmd;
  }
}

TEST(World, PowerCycleKeepsTheFlashFileAndStartsRamAfresh) {
  World w;
  Device& a = start_ready(w, "a");
  a.write(kConsole, "WRITE 3 hello\r\n");
  ASSERT_TRUE(a.wait_line(kConsole, "OK"));
  EXPECT_EQ(a.flash_counters().programs, 1u);  // one 8-byte write unit

  w.run_for(sec(1));
  sim::time_us cycled = w.now();
  a.restart();
  ASSERT_TRUE(a.wait_line(kConsole, "READY 1"));  // retained words were lost
  a.write(kConsole, "BOOT\r\n");
  EXPECT_EQ(a.next_line(kConsole), "BOOT 1 " + std::to_string(cycled));  // starts at world time
  std::vector<uint8_t> flash = a.flash();
  ASSERT_EQ(flash.size(), 64u * 1024);
  std::vector<uint8_t> page3(flash.begin() + 3 * 2048, flash.begin() + 3 * 2048 + 8);
  EXPECT_EQ(std::string(page3.begin(), page3.begin() + 5), "hello");
  EXPECT_EQ(page3[5], 0xFF);
  EXPECT_EQ(a.flash_counters().programs, 0u);  // booting wrote nothing
  EXPECT_EQ(a.flash_counters().erases, 0u);

  a.write(kConsole, "WRITE 3 again\r\n");  // cells are not erased
  EXPECT_TRUE(a.wait_line(kConsole, "ERROR"));
}

TEST(World, ChipResetKeepsRetainedStateAndClock) {
  World w;
  Device& a = start_ready(w, "a");
  Device& b = start_ready(w, "b");
  w.run_for(ms(500));
  a.reset();
  EXPECT_TRUE(a.wait_line(kConsole, "READY 2"));
  w.run_for(ms(500));
  a.write(kConsole, "RESET\r\n");
  EXPECT_TRUE(a.wait_line(kConsole, "READY 3"));
  a.write(kConsole, "TIME\r\n");
  auto line = a.next_line(kConsole);
  ASSERT_TRUE(line);
  EXPECT_GT(number_after(*line, "TIME "), ms(1000));
  // The world goes on around the resets.
  a.write(kConsole, "TX 77\r\n");
  EXPECT_TRUE(b.wait_line(kConsole, "RX 1 -66 51 868100000 77"));
}

TEST(World, ADeviceThatEndsByItselfFailsTheTest) {
  testing::TestPartResultArray failures;
  bool alive = true;
  {
    World w;
    Device& a = start_ready(w, "a");
    testing::ScopedFakeTestPartResultReporter reporter(
        testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
    a.write(kConsole, "EXIT 3\r\n");
    w.run_for(ms(10));
    alive = a.alive();
  }
  EXPECT_FALSE(alive);
  ASSERT_EQ(failures.size(), 1);
  EXPECT_THAT(failures.GetTestPartResult(0).message(), HasSubstr("a ended by itself"));
  EXPECT_THAT(failures.GetTestPartResult(0).message(), HasSubstr("exit status 3"));
}

TEST(World, APseudoTerminalReachesAPortAtTheWallClocksPace) {
  World w;
  Device& a = start_ready(w, "a");
  int tty = ::open(a.attach_pty(kConsole).c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(tty, 0);
  ASSERT_EQ(::write(tty, "DELAY 200000 SAY late\r\n", 23), 23);
  // The host-time limit only stops a broken run.
  EXPECT_TRUE(w.run_paced(
      [&]() { return a.unread(kConsole).find("late\r\n") != std::string::npos; }, 30.0));
  std::string got;
  pollfd p{tty, POLLIN, 0};
  while (got.size() < 10 && ::poll(&p, 1, 5000) > 0) {
    char buf[64];
    ssize_t n = ::read(tty, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, "OK\r\nlate\r\n");
  ::close(tty);
}

TEST(World, PipeModeRunsAnImageOnStdin) {
  systest::PipeResult r = systest::run_pipe(kImage, {"--run-for", "1s"}, "PING\r\nBOOT\r\n");
  EXPECT_TRUE(r.exited_ok()) << r.err;
  EXPECT_EQ(r.out, "READY 1\r\nPONG\r\nBOOT 1 0\r\n");
}

TEST(World, AMissingImageIsAClearError) {
  World w;
  EXPECT_FALSE(systest::image_available("no-such-image"));
  try {
    w.start("x", "no-such-image");
    ADD_FAILURE() << "started";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("no image program"));
  }
}

}  // namespace

namespace qivsim_tests {

// qivsim as a script runs it: fast, with transcripts on stdout.
TEST(Qivsim, RunsAWorldForAGivenVirtualTime) {
  systest::PipeResult r = systest::run_pipe(
      "qivsim",
      {"--run-for", "2s", "--transcript", "-", "--frame-log", "-", "--loss", "a=b=100", "--input",
       "a=TX 0102\\r\\nDELAY 1500000 SAY done\\r\\n", "a=qiv-fake-device", "b=qiv-fake-device"},
      "");
  ASSERT_TRUE(r.exited_ok()) << r.err;
  // Times vary with the line speed; everything else is fixed.
  std::string out = std::regex_replace(r.out, std::regex("/dev/pts/[0-9]+"), "PTY");
  std::smatch m;
  std::regex frame_line("(\\d+\\.\\d{6})s a 868100000 LORA SF7 BW125000 CR4/5 14dBm 2 0102\n");
  ASSERT_TRUE(std::regex_search(out, m, frame_line)) << out;
  std::string t = m[1];
  std::string expected_rx = t + "s b:2 RX 1 -86 31 868100000 0102\\r\\n\n";
  EXPECT_THAT(out, HasSubstr(expected_rx));
  std::regex shape(
      "0\\.000000s a:2 READY 1\\\\r\\\\n\n"
      "0\\.000000s b:2 READY 1\\\\r\\\\n\n"
      "a: port 2 on PTY\n"
      "b: port 2 on PTY\n"
      "[0-9.]+s a:2 OK\\\\r\\\\n\n"
      "[0-9.]+s a 868100000 .*\n"
      "[0-9.]+s b:2 RX .*\n"
      "[0-9.]+s a:2 OK\\\\r\\\\n\n"
      "1\\.[0-9]+s a:2 done\\\\r\\\\n\n");
  EXPECT_TRUE(std::regex_match(out, shape)) << out;
}

// A script given with --input goes on after the device resets (its receiver
// is off meanwhile) instead of losing what was still to come, and waits for
// each byte to arrive before the next (no byte is lost to the reset).
TEST(Qivsim, InputWaitsForTheReceiverAcrossAReset) {
  systest::PipeResult r = systest::run_pipe(
      "qivsim",
      {"--run-for", "1s", "--transcript", "-", "--input",
       "a=SAY before\\r\\nRESET\\r\\nSAY after\\r\\nBOOT\\r\\n", "a=qiv-fake-device"},
      "");
  ASSERT_TRUE(r.exited_ok()) << r.err;
  std::regex shape(
      "0\\.000000s a:2 READY 1\\\\r\\\\n\n"
      "a: port 2 on /dev/pts/[0-9]+\n"
      "[0-9.]+s a:2 before\\\\r\\\\n\n"
      "[0-9.]+s a:2 READY 2\\\\r\\\\n\n"
      "[0-9.]+s a:2 after\\\\r\\\\n\n"
      "[0-9.]+s a:2 BOOT 2 [0-9]+\\\\r\\\\n\n");
  EXPECT_TRUE(std::regex_match(r.out, shape)) << r.out;
}

// A script's next line goes to a module as soon as the module has answered
// the one before, also after an uplink: the module runs on its own through
// the uplink's receive windows, and neither that nor its radio, asleep
// after them, holds the script back. Here the second AT+SEND comes while the
// first uplink is under way (as from a host that does not wait for
// +EVT:TX_DONE) and is answered at once.
TEST(Qivsim, AScriptedLineIsAnsweredAtOnceAfterAnUplink) {
  if (!systest::image_available("brisola-t")) GTEST_SKIP() << "brisola-t is not built";
  systest::PipeResult r =
      systest::run_pipe("qivsim",
                        {"--run-for", "20s", "--transcript", "-", "--pin", "a=PB12=1", "--input",
                         "a=AT+NJM=0\\r\\nAT+DEVADDR=26011BDA\\r\\n"
                         "AT+NWKSKEY=000102030405060708090A0B0C0D0E0F\\r\\n"
                         "AT+APPSKEY=0F0E0D0C0B0A09080706050403020100\\r\\n"
                         "AT+JOIN=1:0:10:8\\r\\nAT+SEND=2:01\\r\\nAT+SEND=2:02\\r\\nAT+VER=?\\r\\n",
                         "a=brisola-t"},
                        "");
  ASSERT_TRUE(r.exited_ok()) << r.err;
  // The times of the answers after the first AT+SEND's "OK".
  std::vector<double> times;
  std::vector<std::string> words;
  std::regex line("([0-9]+\\.[0-9]{6})s a:2 ([^ \\\\\n]+)(\\\\r\\\\n)?\n");
  for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), line);
       it != std::sregex_iterator(); ++it) {
    times.push_back(std::stod((*it)[1]));
    words.push_back((*it)[2]);
  }
  // The second AT+SEND is refused as busy right after the first one's OK,
  // and the next line is answered right after that.
  const size_t i =
      static_cast<size_t>(std::find(words.begin(), words.end(), "AT_BUSY_ERROR") - words.begin());
  ASSERT_TRUE(i > 0 && i + 1 < words.size()) << r.out;
  EXPECT_EQ(words[i - 1], "OK") << r.out;
  EXPECT_LT(times[i] - times[i - 1], 0.05) << r.out;
  EXPECT_EQ(words[i + 1], "AT+VER=QIV_4.2.4_Brisola-T") << r.out;
  EXPECT_LT(times[i + 1] - times[i], 0.05) << r.out;
  EXPECT_NE(r.out.find("+EVT:TX_DONE"), std::string::npos) << r.out;
}

TEST(Qivsim, RefusesABadEscapeInItsInput) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"a=AT\\q", "unknown escape \\q"},
      {"a=AT\\", "at the end"},
      {"a=AT\\x4", "two hex digits"},
      {"a=AT\\xG0", "two hex digits"},
  };
  for (const auto& [input, why] : bad) {
    SCOPED_TRACE(input);
    systest::PipeResult r =
        systest::run_pipe("qivsim", {"--run-for", "1s", "--input", input, "a=qiv-fake-device"}, "");
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 2) << r.status;
    EXPECT_THAT(r.err, HasSubstr("--input " + input + ": "));
    EXPECT_THAT(r.err, HasSubstr(why));
    EXPECT_EQ(r.out, "");  // refused before any device starts
  }
}

// qivsim as a person runs it: paced to the wall clock, the AT port on a
// pseudo-terminal. The host-time limits only stop a broken run.
TEST(Qivsim, PutsTheConsolePortOnAPseudoTerminal) {
  std::string program = systest::image_path("qivsim");
  char tmpl[] = "/tmp/qiv-qivsim-XXXXXX";
  ASSERT_TRUE(::mkdtemp(tmpl));
  std::string dir = tmpl;
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::execl(program.c_str(), program.c_str(), "--dir", dir.c_str(), "x=qiv-fake-device",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  auto read_until = [&](int fd, const std::string& want) {
    std::string got;
    while (got.find(want) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[256];
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  };
  std::string banner = read_until(out[0], "\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(banner, m, std::regex("^x: port 2 on (/dev/pts/[0-9]+)\n")))
      << banner;
  int tty = ::open(m[1].str().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(tty, 0);
  EXPECT_THAT(read_until(tty, "READY 1\r\n"), HasSubstr("READY 1\r\n"));
  ASSERT_EQ(::write(tty, "PING\r\n", 6), 6);
  EXPECT_EQ(read_until(tty, "PONG\r\n"), "PONG\r\n");
  ::close(tty);
  ::kill(pid, SIGINT);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(out[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::filesystem::remove_all(dir);
}

}  // namespace qivsim_tests
