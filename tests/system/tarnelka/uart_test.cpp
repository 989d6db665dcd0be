// The UART ports of a Tarnelka: the rate table the port programs for a
// stored rate, a line typed while the module is printing or starting, and a
// burst longer than the receive queue.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "tarnelka.h"

namespace {

using fdn::collect;
using fdn::exchange;
using systest::Device;
using systest::ms;
using systest::sec;
using systest::time_us;
using systest::World;
using tk::kUart0;

// The line time of one byte (start, 8 data, stop) at `baud`, in us.
double byte_time(uint32_t baud) { return 10e6 / baud; }

// The time per byte of the output of `port` from offset `from` on, from its
// first chunk to its last over the bytes before the last.
double output_byte_time(const Device& d, int port, size_t from) {
  const std::vector<systest::OutputChunk>& chunks = d.chunks(port);
  size_t offset = 0, first = chunks.size(), last = chunks.size();
  std::vector<size_t> starts(chunks.size());
  for (size_t i = 0; i < chunks.size(); ++i) {
    starts[i] = offset;
    offset += chunks[i].bytes.size();
    if (offset > from) {
      if (first == chunks.size()) first = i;
      last = i;
    }
  }
  if (first == chunks.size() || first == last) return 0;
  size_t bytes = starts[last] - std::max(starts[first], from);
  return static_cast<double>(chunks[last].t - chunks[first].t) / static_cast<double>(bytes);
}

// A stored rate takes effect when the port is next opened (a restart):
// the port runs at the table's rate for it.
TEST(Baud, TheStoredRateIsProgrammedByTheRateTable) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {9600, 9600},   {10000, 9600},    {12001, 14400},   {30025, 28800},
      {30026, 31250}, {115200, 115200}, {250000, 250000},
  };
  for (const auto& [stored, programmed] : cases) {
    SCOPED_TRACE(std::to_string(stored) + " baud");
    World w;
    Device& d = tk::start(w, "m");
    ASSERT_TRUE(exchange(d, kUart0, "AT+BAUD=" + std::to_string(stored) + "\r\n", "OK\r\n"));
    EXPECT_EQ(tk::get32(d.flash(), tk::kRecordAddr + tk::rec::baudrate), stored);
    d.restart();
    size_t from = d.output(kUart0).size();
    ASSERT_TRUE(d.wait_output(kUart0, tk::startup_text(), sec(5)));
    EXPECT_NEAR(output_byte_time(d, kUart0, from) / byte_time(programmed), 1.0, 0.05);
    EXPECT_TRUE(exchange(d, kUart0, "AT+BAUD=?\r\n",
                         "AT+BAUD=" + std::to_string(stored) + "\r\nOK\r\n", sec(1)));
  }
}

// A line typed while the module prints a long reply (the command listing)
// is answered once the listing is out, with no further input. (A receive
// timeout in one interrupt status with a transmit completion is checked at
// the port itself: component/core/mcu/apollo3/test/uart_isr_test.cpp.)
TEST(Uart, ALineTypedDuringOutputIsAnswered) {
  World w;
  Device& d = tk::start(w, "m");
  d.write(kUart0, "AT?\r\n");
  w.run_for(ms(30));
  ASSERT_FALSE(d.unread(kUart0).empty());
  d.write(kUart0, "AT+HWID=?\r\n");
  ASSERT_TRUE(d.wait_output(kUart0, "AT+HWID=apollo3\r\nOK\r\n", sec(10)));
}

// The receive queue holds 1024 bytes between two pauses of the line: a
// longer burst loses what does not fit, while the same bytes with pauses
// are all kept.
TEST(Uart, ABurstLongerThanTheReceiveQueueLosesTheExcess) {
  std::string burst;
  for (int i = 0; i < 300; ++i) burst += "AT\r\n";  // 1200 bytes
  auto count_ok = [](const std::string& out) {
    size_t n = 0;
    for (size_t at = out.find("OK\r\n"); at != std::string::npos; at = out.find("OK\r\n", at + 1)) {
      ++n;
    }
    return n;
  };
  {
    World w;
    Device& d = tk::start(w, "m");
    d.write(kUart0, burst);
    std::string out = collect(d, kUart0, sec(5));
    EXPECT_EQ(count_ok(out), 256u);
    EXPECT_TRUE(exchange(d, kUart0, "AT\r\n", "OK\r\n"));
  }
  {
    World w;
    Device& d = tk::start(w, "m");
    for (size_t at = 0; at < burst.size(); at += 400) {
      d.write(kUart0, burst.substr(at, 400));
      w.run_for(sec(1));
    }
    std::string out = collect(d, kUart0, sec(3));
    EXPECT_EQ(count_ok(out), 300u);
  }
}

// What qivsim's transcript shows of NAME's port 0, its C escapes kept.
std::string console_transcript(const std::string& out, const std::string& name) {
  std::string text;
  const std::string tag = " " + name + ":0 ";
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(at, end - at);
    const size_t t = line.find(tag);
    if (t != std::string::npos && line.find("s") < t) text += line.substr(t + tag.size());
    at = end + 1;
  }
  return text;
}

// Lines given to a module from its start on, as qivsim's script gives them:
// each byte only while the port's receiver is on, so every byte must count,
// also those that come while the user program opens the port again at
// start-up. Each line is answered as typed.
TEST(Uart, LinesTypedAtAStartingModuleKeepEveryByte) {
  const struct {
    const char* input;
    const char* answers;  // a regular expression over the escaped transcript
  } cases[] = {
      {"t=AT+DEVEUI=?\\r\\n",
       R"(Current Work Mode: LoRaWAN\.\\r\\nAT\+DEVEUI=[0-9A-F]{16}\\r\\nOK\\r\\n)"},
      {"t=ATE\\r\\nAT+DEVEUI=?\\r\\n",
       R"(LoRaWAN\.\\r\\nOK\\r\\nAT\+DEVEUI=\?\\n\\rAT\+DEVEUI=[0-9A-F]{16}\\r\\nOK\\r\\n)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    systest::PipeResult r = systest::run_pipe(
        "qivsim", {"--run-for", "3s", "--transcript", "-", "--input", c.input, "t=tarnelka"}, "");
    ASSERT_TRUE(r.exited_ok()) << r.err;
    const std::string console = console_transcript(r.out, "t");
    EXPECT_THAT(console, testing::Not(testing::HasSubstr("AT_COMMAND_NOT_FOUND")));
    EXPECT_TRUE(std::regex_search(console, std::regex(c.answers))) << console;
  }
}

}  // namespace
