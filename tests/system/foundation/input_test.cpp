// Input a module must survive: overlong lines, bytes above 0x7F, NUL and
// other control bytes, escape sequences, bursts, and bytes that arrive while
// the module starts. Each bad line gets its answer, the next line is answered
// as usual, and nothing that was refused reaches the record.
#include <gtest/gtest.h>

#include "foundation.h"

namespace {

using namespace fdn;
using systest::Device;
using systest::ms;
using systest::World;

const Image& img = kBrisolaT;

std::string ver_reply() { return "AT+VER=" + version_text(img) + "\r\n" + "OK\r\n"; }
std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

TEST(BadInput, EveryBadLineIsAnsweredAndTheNextOneWorks) {
  std::string high;  // every byte value from 0x80 up
  for (int b = 0x80; b <= 0xFF; ++b) high += static_cast<char>(b);
  const std::string bs_space_bs = "\x08 \x08";  // backspace is shown whatever the echo
  struct Case {
    const char* what;
    std::string typed;
    std::string reply;
  } cases[] = {
      {"a name of 31 characters", "AT+" + std::string(28, 'Z') + "\r\n",
       "AT_COMMAND_NOT_FOUND\r\n"},
      {"a name of 32 characters", "AT+" + std::string(29, 'Z') + "\r\n", "AT_ERROR\r\n"},
      {"a line of 2047 characters", std::string(2047, 'A') + "\r\n", "AT_ERROR\r\n"},
      {"a line of 2048 characters", std::string(2048, 'A') + "\r\n", "AT_PARAM_ERROR\r\n"},
      {"a line of 5000 characters", "AT+ALIAS=" + std::string(4991, 'a') + "\r\n",
       "AT_PARAM_ERROR\r\n"},
      {"bytes above 0x7F as a name", bytes({0xFF, 0xFE, 0x80, 0xC3, 0xA9}) + "\r\n",
       "AT_COMMAND_NOT_FOUND\r\n"},
      {"every byte above 0x7F", high + "\r\n", "AT_ERROR\r\n"},
      {"a command ending in a byte above 0x7F", "AT" + bytes({0x80}) + "\r\n",
       "AT_COMMAND_NOT_FOUND\r\n"},
      {"an alias with bytes above 0x7E", "AT+ALIAS=caf" + bytes({0xC3, 0xA9}) + "\r\n",
       "AT_PARAM_ERROR\r\n"},
      {"an alias with a control byte", "AT+ALIAS=a" + bytes({0x01}) + "b\r\n",
       "AT_PARAM_ERROR\r\n"},
      {"a line of one NUL", bytes({0}) + "\r\n", ""},
      {"a NUL before a command", bytes({0}) + "AT+VER=?\r\n", ""},
      {"a NUL inside a line ends its text", "AT+VER=?" + bytes({0}) + "garbage\r\n", ver_reply()},
      {"control bytes before a command", bytes({1, 2, 3}) + "AT\r\n", "AT_COMMAND_NOT_FOUND\r\n"},
      {"cursor up inside a line", "AT\x1b[A\r\n", "OK\r\n"},
      {"cursor down after two escapes", "\x1b\x1b[BAT\r\n", "OK\r\n"},
      {"cursor right adds its last byte", "AT\x1b[C\r\n", "AT_COMMAND_NOT_FOUND\r\n"},
      {"a lone escape before a byte", "A\x1bT\r\n", "OK\r\n"},
      {"backspace corrects a line", "AT+VEX\x08R=?\r\n", bs_space_bs + ver_reply()},
      {"delete corrects a line", "AT+VEX\x7fR=?\r\n", bs_space_bs + ver_reply()},
      {"backspace on an empty line",
       "\x08\x7f\x08"
       "AT\r\n",
       "OK\r\n"},
      {"an empty value", "AT+ALIAS=\r\n", "AT_PARAM_ERROR\r\n"},
      {"only line ends", "\r\n\r\n\n\r", ""},
  };
  World w;
  Device& d = start_module(w, "m", img);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(exchange(d, kAtPort, c.typed + "AT\r\n", c.reply + "OK\r\n"));
  }
  EXPECT_TRUE(d.alive());
  // Nothing refused reached the record.
  EXPECT_TRUE(exchange(d, kAtPort, "AT+ALIAS=?\r\n", "AT+ALIAS=\r\nOK\r\n"));
}

// A line cut at 2047 characters would still hold a command when a NUL ends
// its text early; an overlong line is refused whole instead of being run.
TEST(BadInput, AnOverlongLineIsNotRunEvenWhenItStartsWithACommand) {
  auto ate_line = [](size_t length) {
    return "ATE" + std::string(1, '\0') + std::string(length - 4, 'x') + "\r\n";
  };
  World w;
  Device& d = start_module(w, "m", img);
  EXPECT_TRUE(exchange(d, kAtPort, ate_line(2048), "AT_PARAM_ERROR\r\n"));
  EXPECT_TRUE(exchange(d, kAtPort, "AT\r\n", "OK\r\n"));  // echo still off
  EXPECT_TRUE(exchange(d, kAtPort, ate_line(2047), "OK\r\n"));
  EXPECT_TRUE(exchange(d, kAtPort, "AT\r\n", "AT\n\rOK\r\n"));  // ATE ran: echo on
}

// Many kilobytes back to back, at the pace the replies can leave.
TEST(BadInput, ABurstOfCommandsIsAnsweredInFull) {
  constexpr int kCommands = 300;
  std::string typed, replies;
  for (int i = 0; i < kCommands; ++i) {
    typed += paced("AT+VER=?\r\n", ver_reply().size());
    replies += ver_reply();
  }
  World w;
  Device& d = start_module(w, "m", img);
  EXPECT_TRUE(exchange(d, kAtPort, typed, replies));
}

// Commands typed while the module starts, on a module whose record is
// already stored: every one is answered after the start-up lines.
TEST(BadInput, CommandsTypedDuringStartUpAreAnswered) {
  constexpr int kCommands = 60;
  std::string typed, replies;
  for (int i = 0; i < kCommands; ++i) {
    typed += paced("AT+VER=?\r\n", ver_reply().size());
    replies += ver_reply();
  }
  systest::DeviceOptions o;
  o.initial_flash = flash_with_record(default_record(img, true));
  World w;
  Device& d = start_module(w, "m", img, o);
  collect(d, kAtPort);
  d.restart();
  // From the first byte the port puts out, it also receives.
  ASSERT_TRUE(w.run_until([&] { return !d.unread(kAtPort).empty(); }, systest::sec(5)));
  d.write(kAtPort, typed);
  std::string out = collect(d, kAtPort, systest::sec(1));
  EXPECT_TRUE(same_text(out, startup_text(img) + replies));
}

// Lines sent back to back straight after settings, while the module erases
// and programs its record page: the erase stalls the core for about 22 ms, in
// which the receive DMA alone takes the bytes (some 250 at 115200 baud), and
// a whole settings write takes some 670. A reply is as long as its line, so
// the module never catches up with what came meanwhile: after two settings
// more waits than the port's queue holds, and the rest must stay in the
// circular DMA buffer, which the DMA has not gone round yet, until the
// reader has made room. Every line is answered, on a piped console as over
// a line the world carries.
TEST(BadInput, LinesArrivingDuringASettingsWriteAreAllAnswered) {
  struct Case {
    std::string settings;
    int lines;
  };
  const Case cases[] = {{"AT+ALIAS=C\r\n", 100}, {"AT+ALIAS=C\r\nAT+NJM=0\r\n", 1500}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    std::string typed = c.settings, replies;
    for (size_t i = 0; i < c.settings.size(); ++i) {
      if (c.settings[i] == '\n') replies += "OK\r\n";
    }
    for (int i = 0; i < c.lines; ++i) {
      typed += "AT\r\n";
      replies += "OK\r\n";
    }
    const Bytes stored = flash_with_record(default_record(img, true));
    {
      SCOPED_TRACE("piped console");
      Scratch dir;
      write_file(dir.path("m.flash"), stored);
      // From time 0: the bytes wait while the port does not receive yet.
      RunResult r = run_image(img.name, dir.path("m.flash"), typed, {"--pin", "PB12=1"}, "3s");
      EXPECT_TRUE(same_text(r.out, startup_text(img) + replies));
      EXPECT_EQ(read_file(dir.path("m.flash")).at(at(kRecordAddr) + rec::alias), 'C');
    }
    {
      SCOPED_TRACE("a line the world carries");
      World w;
      systest::DeviceOptions o;
      o.initial_flash = stored;
      Device& d = start_module(w, "m", img, o);
      collect(d, kAtPort);
      EXPECT_TRUE(exchange(d, kAtPort, typed, replies, systest::sec(2)));
      EXPECT_EQ(record_of(d.flash()).at(rec::alias), 'C');
    }
  }
}

}  // namespace
