// The image used as a user would from a shell:
//   printf 'AT\r\nAT+NOPE\r\n' | brisola-t --flash F --run-for 2s
// Start-up output, replies with the line editor's line ends, the stored
// record across runs, repeatability, and flash files that are missing, short
// or full of garbage.
#include <gtest/gtest.h>

#include <random>

#include "foundation.h"

namespace {

using namespace fdn;

const Image& img = kBrisolaT;

std::string ver_reply() { return "AT+VER=" + version_text(img) + "\r\nOK\r\n"; }

TEST(PipedConsole, RepliesAndEchoFollowTheStoredRecordAcrossRuns) {
  Scratch s;
  const std::string F = s.path("module.flash");
  const std::string two_lines = "AT\r\nAT+NOPE\r\n";
  // Echo is off in the defaults; ATE turns it on and stores it. With echo on,
  // a line end is echoed as LF then CR, and every exchange ends with "\r\n".
  struct Step {
    const char* what;
    std::string input;
    std::string replies;
  } steps[] = {
      {"blank flash", two_lines, "OK\r\nAT_COMMAND_NOT_FOUND\r\n"},
      {"echo on", "ATE\r\n", "OK\r\n"},
      {"stored echo", two_lines, "AT\n\rOK\r\nAT+NOPE\n\rAT_COMMAND_NOT_FOUND\r\n"},
  };
  for (const Step& st : steps) {
    SCOPED_TRACE(st.what);
    RunResult r = run_image(img.name, F, st.input, {"--pin", "PB12=1"});
    EXPECT_TRUE(same_text(r.out, startup_text(img) + st.replies));
  }

  // A further run loads that record and writes nothing.
  RunResult again = run_image(img.name, F, two_lines, {"--pin", "PB12=1"});
  EXPECT_TRUE(same_text(again.out, startup_text(img) + steps[2].replies));
  EXPECT_EQ(again.stats.erases, 0u);
  EXPECT_EQ(again.stats.programs, 0u);
}

TEST(PipedConsole, SameInputGivesTheSameOutputAndFlashByteForByte) {
  const std::string input =
      "ATE\r\nAT+VER=?\r\nAT+NOPE\r\nAT+ALIAS=twin\r\nAT+ALIAS=?\r\nAT+PWORD=?\r\n";
  Scratch s;
  RunResult first = run_image(img.name, s.path("first.flash"), input, {"--pin", "PB12=1"});
  RunResult second = run_image(img.name, s.path("second.flash"), input, {"--pin", "PB12=1"});
  EXPECT_TRUE(same_text(first.out, second.out));
  Bytes f1 = read_file(s.path("first.flash")), f2 = read_file(s.path("second.flash"));
  EXPECT_TRUE(f1 == f2) << record_diff(record_of(f1), record_of(f2));
  EXPECT_EQ(first.stats.erases, second.stats.erases);
  EXPECT_EQ(first.stats.programs, second.stats.programs);
  // The run did something worth comparing: the alias reached the flash.
  Bytes r = record_of(f1);
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(std::string(r.begin() + rec::alias, r.begin() + rec::alias + 5),
            std::string("twin\0", 5));
}

// Bytes that arrive while the module starts (from the moment its AT port
// receives) are all answered, whatever the flash held.
TEST(PipedConsole, CommandsTypedDuringStartUpAreAllAnswered) {
  constexpr int kCommands = 60;
  std::string input, replies;
  for (int i = 0; i < kCommands; ++i) {
    input += paced("AT+VER=?\r\n", ver_reply().size());
    replies += ver_reply();
  }
  struct Case {
    const char* what;
    Bytes flash;  // empty: no flash file
  } cases[] = {
      {"blank flash", {}},
      {"flash holding the record", flash_with_record(default_record(img, true))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Scratch s;
    const std::string F = s.path("module.flash");
    if (!c.flash.empty()) write_file(F, c.flash);
    RunResult r = run_image(img.name, F, input, {"--pin", "PB12=1"});
    EXPECT_TRUE(same_text(r.out, startup_text(img) + replies));
  }
}

TEST(PipedConsole, MissingShortOrGarbageFlashFileStartsWithTheDefaults) {
  std::mt19937 rng(20240611);
  auto garbage = [&](size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
  };
  struct Case {
    const char* what;
    bool create;
    Bytes content;
  } cases[] = {
      {"missing file", false, {}},
      {"empty file", true, {}},
      {"short file of garbage", true, garbage(1000)},
      {"file ending inside the bootloader area", true, Bytes(0x3000, 0x00)},
      {"full size of garbage", true, garbage(kFlashSize)},
      {"full size of zeros", true, Bytes(kFlashSize, 0x00)},
  };
  const std::string input = "AT\r\nAT+PWORD=?\r\nAT+ALIAS=?\r\nAT+BAUD=?\r\n";
  const std::string replies =
      "OK\r\nAT+PWORD=58203761\r\nOK\r\nAT+ALIAS=\r\nOK\r\nAT+BAUD=115200\r\nOK\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Scratch s;
    const std::string F = s.path("module.flash");
    if (c.create) write_file(F, c.content);
    RunResult r = run_image(img.name, F, input, {"--pin", "PB12=1"});
    EXPECT_TRUE(r.exited_ok);
    EXPECT_TRUE(same_text(r.out, startup_text(img) + replies));
  }
}

}  // namespace
