#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "hostutil/duration.h"
#include "hostutil/escape.h"
#include "hostutil/process.h"
#include "hostutil/pty.h"
#include "hostutil/tempdir.h"

namespace {

using testing::HasSubstr;
using testing::Not;

TEST(Duration, ParsesEachUnitAndRoundsToTheMicrosecond) {
  struct Case {
    const char* text;
    hostutil::time_us us;
  } cases[] = {
      {"100", 100},       {"90us", 90},        {"250ms", 250000},       {"2s", 2000000},
      {"1.5m", 90000000}, {"2min", 120000000}, {"24h", 86400000000ull}, {"3d", 259200000000ull},
      {"0s", 0},          {"0.0000004s", 0},   {"0.0000006s", 1},       {"1.5us", 2},
      {"007ms", 7000},    {"5.s", 5000000},    {".5s", 500000}};
  for (const Case& c : cases) {
    hostutil::time_us t = 1;
    std::string error;
    EXPECT_TRUE(hostutil::parse_duration(c.text, &t, &error)) << c.text << ": " << error;
    EXPECT_EQ(t, c.us) << c.text;
  }
}

TEST(Duration, RefusesWhatIsNoDurationAndSaysWhy) {
  struct Case {
    const char* text;
    const char* why;
  } cases[] = {
      {"", "no number"},
      {"ms", "no number"},
      {".", "no number"},
      {"-1s", "no number"},
      {"+1s", "no number"},
      {" 5s", "no number"},
      {"nan", "no number"},
      {"inf", "no number"},
      {"0x10s", "unknown unit \"x10s\""},
      {"1e3s", "unknown unit"},
      {"2 s", "unknown unit \" s\""},
      {"5x", "unknown unit"},
      {"5S", "unknown unit"},
      {"5s ", "unknown unit"},
      {"1.2.3s", "unknown unit"},
      {"208333334d", "too long"},
      {"99999999999999999999999", "too long"},
  };
  for (const Case& c : cases) {
    hostutil::time_us t = 7;
    std::string error;
    EXPECT_FALSE(hostutil::parse_duration(c.text, &t, &error)) << c.text;
    EXPECT_EQ(t, 7u) << c.text << " changed the result";
    EXPECT_THAT(error, HasSubstr(c.why)) << c.text;
    EXPECT_THAT(error, HasSubstr("bad duration \"" + std::string(c.text) + "\"")) << c.text;
  }
  // Without the extra forms, a number alone and days are refused too.
  for (const char* text : {"2", "5d", "0"}) {
    hostutil::time_us t = 7;
    std::string error;
    EXPECT_FALSE(hostutil::parse_duration(text, &t, &error, 0)) << text;
    EXPECT_EQ(t, 7u) << text;
    EXPECT_THAT(error, HasSubstr(text[1] ? "unknown unit \"d\"" : "no unit")) << text;
    EXPECT_THAT(error, Not(HasSubstr(", d,"))) << text;
  }
  hostutil::time_us t = 0;
  EXPECT_TRUE(hostutil::parse_duration("1.5h", &t, nullptr, 0));
  EXPECT_EQ(t, 5400000000ull);
  EXPECT_TRUE(hostutil::parse_duration("208333333d", &t));  // just within the limit
  EXPECT_EQ(t, 208333333ull * 86400000000ull);
  EXPECT_FALSE(hostutil::parse_duration("1y", &t));  // no error text asked for
}

TEST(Duration, FormatsSecondsWithSixDecimals) {
  EXPECT_EQ(hostutil::format_time(0), "0.000000s");
  EXPECT_EQ(hostutil::format_time(12345678), "12.345678s");
  EXPECT_EQ(hostutil::format_time(hostutil::kNever - 1), "18446744073709.551614s");
  EXPECT_EQ(hostutil::format_time(hostutil::kNever), "never");
}

TEST(Escape, ShowsEveryByteAsPrintableTextThatReadsBack) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  std::string shown = hostutil::escape(all);
  for (char c : shown) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << static_cast<int>(c);
  EXPECT_THAT(shown, HasSubstr("\\x00\\x01"));
  EXPECT_THAT(shown, HasSubstr("\\t\\n\\x0B\\x0C\\r"));
  EXPECT_THAT(shown, HasSubstr("[\\\\]"));
  EXPECT_THAT(shown, HasSubstr("~\\x7F\\x80"));
  std::string back, error;
  ASSERT_TRUE(hostutil::unescape(shown, &back, &error)) << error;
  EXPECT_EQ(back, all);

  EXPECT_EQ(hostutil::escape("AT\r\n"), "AT\\r\\n");
  EXPECT_EQ(hostutil::escape("0123456789", 4), "...6789");
  EXPECT_EQ(hostutil::escape("0123", 4), "0123");
}

TEST(Escape, ReadsTypedEscapesAndRefusesTheRest) {
  std::string out = "untouched", error;
  ASSERT_TRUE(hostutil::unescape("AT\\r\\n\\x41\\xfF\\t\\\\", &out, &error)) << error;
  EXPECT_EQ(out, std::string("AT\r\nA\xFF\t\\"));
  struct Bad {
    const char* text;
    const char* why;
  } bad[] = {{"AT\\q", "unknown escape \\q"}, {"AT\\", "at the end"},
             {"\\x4", "two hex digits"},      {"\\xG0", "two hex digits"},
             {"\\x4G", "two hex digits"},     {"\\x", "two hex digits"},
             {"\\0", "unknown escape \\0"},   {"\\\"", "unknown escape"}};
  for (const Bad& b : bad) {
    out = "untouched";
    error.clear();
    EXPECT_FALSE(hostutil::unescape(b.text, &out, &error)) << b.text;
    EXPECT_THAT(error, HasSubstr(b.why)) << b.text;
    EXPECT_EQ(out, "untouched") << b.text;
  }
}

TEST(Escape, HexIsTwoUpperCaseDigitsPerByte) {
  EXPECT_EQ(hostutil::hex({}), "");
  EXPECT_EQ(hostutil::hex({0x00, 0x0A, 0xF0, 0xFF}), "000AF0FF");
}

TEST(TempDir, IsNewAndGoesAwayUnlessKept) {
  std::string path;
  {
    hostutil::TempDir d("hostutil-test");
    path = d.path();
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_TRUE(std::filesystem::is_empty(path));
    std::ofstream(path + "/f") << "x";
    std::filesystem::create_directory(path + "/sub");
    hostutil::TempDir other("hostutil-test");
    EXPECT_NE(other.path(), path);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  {
    hostutil::TempDir d("hostutil-test");
    path = d.path();
    d.keep();
  }
  EXPECT_TRUE(std::filesystem::exists(path));
  std::filesystem::remove_all(path);
  try {
    hostutil::make_temp_dir("x", "/no/such/dir");
    ADD_FAILURE() << "made a directory under a missing one";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("/no/such/dir/x-XXXXXX"));
  }
}

// Reads what `fd` gives within `ms` until `want` bytes are in.
std::string read_some(int fd, size_t want, int ms = 2000) {
  std::string got;
  while (got.size() < want) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) break;
    char buf[256];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

TEST(Pty, CarriesBytesUnchangedBothWaysAndOutlivesATool) {
  hostutil::Pty pty;
  ASSERT_THAT(pty.path(), testing::StartsWith("/dev/pts/"));
  const std::string bytes("AT\r\n\n\x03\x1D\xFF", 8);  // no echo, no translation
  int tool = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(tool, 0);
  ASSERT_EQ(::write(tool, bytes.data(), bytes.size()), 8);
  EXPECT_EQ(read_some(pty.master(), bytes.size()), bytes);
  ::close(tool);  // the line stays up: the next tool gets what comes meanwhile
  EXPECT_EQ(hostutil::write_all(pty.master(), bytes.data(), bytes.size()), bytes.size());
  tool = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(tool, 0);
  EXPECT_EQ(read_some(tool, bytes.size()), bytes);
  ::close(tool);
  hostutil::Pty moved = std::move(pty);
  EXPECT_EQ(pty.master(), -1);
  EXPECT_GE(moved.master(), 0);
}

TEST(Process, RunsAProgramWithInputAndCollectsItsOutput) {
  hostutil::CaptureResult r = hostutil::run_capture(
      {"/bin/sh", "-c", "pwd; tr a-z A-Z; echo oops >&2; exit 3"}, "hello\n", "/");
  EXPECT_EQ(r.out, "/\nHELLO\n");
  EXPECT_EQ(r.err, "oops\n");
  EXPECT_FALSE(r.exited_ok());
  EXPECT_EQ(hostutil::describe_status(r.status), "exit status 3");

  hostutil::CaptureResult missing = hostutil::run_capture({"/no/such/program"}, "");
  EXPECT_EQ(hostutil::describe_status(missing.status), "exit status 127");
  hostutil::CaptureResult bad_cwd = hostutil::run_capture({"/bin/true"}, "", "/no/such/dir");
  EXPECT_EQ(hostutil::describe_status(bad_cwd.status), "exit status 126");
}

TEST(Process, WaitsWithALimitAndStopsAProgramThatIgnoresTheRequest) {
  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  hostutil::SpawnOptions o;
  // It says "ready" once it ignores SIGTERM, so that the request surely
  // comes after that.
  o.argv = {"sh", "-c", "trap '' TERM; echo ready; exec sleep 5"};
  o.search_path = true;
  o.out = ready[1];
  std::string error;
  pid_t pid = hostutil::spawn(o, &error);
  ::close(ready[1]);
  ASSERT_GT(pid, 0) << error;
  EXPECT_EQ(read_some(ready[0], 6, 10000), "ready\n");
  ::close(ready[0]);
  int status = 0;
  EXPECT_FALSE(hostutil::wait_exit(pid, &status, 50));
  status = hostutil::stop_process(pid, 100);
  EXPECT_EQ(hostutil::describe_status(status), "signal 9");

  o.argv = {"sleep", "5"};
  o.out = hostutil::SpawnOptions::kDevNull;
  pid = hostutil::spawn(o, &error);
  ASSERT_GT(pid, 0) << error;
  EXPECT_EQ(hostutil::describe_status(hostutil::stop_process(pid, 5000)), "signal 15");

  o.argv.clear();
  EXPECT_EQ(hostutil::spawn(o, &error), -1);
  EXPECT_EQ(error, "no program to start");
}

}  // namespace
