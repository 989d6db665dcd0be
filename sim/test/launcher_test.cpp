// The launcher, through a tiny test image (sim-test-echo): command line,
// piped stdin, resets, image switches, flash file, pseudo-terminals.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "hostutil/process.h"

namespace {

const std::string kDir = SIM_TEST_IMAGE_DIR;
const std::string kEcho = kDir + "/sim-test-echo";

struct Result {
  std::string out;
  std::string err;
  int code = -1;
};

// Runs a program with `input` on its stdin (a pipe) until it ends.
Result run(const std::vector<std::string>& args, const std::string& input) {
  hostutil::CaptureResult c = hostutil::run_capture(args, input);
  Result r;
  r.out = std::move(c.out);
  r.err = std::move(c.err);
  r.code = WIFEXITED(c.status) ? WEXITSTATUS(c.status) : 128 + WTERMSIG(c.status);
  return r;
}

std::string temp(const char* tag) {
  return ::testing::TempDir() + "/sim-launch-" + tag + "-" + std::to_string(getpid());
}

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

std::vector<std::string> lines(const std::string& s) {
  std::vector<std::string> v;
  size_t pos = 0;
  while (pos < s.size()) {
    size_t e = s.find("\r\n", pos);
    if (e == std::string::npos) e = s.size();
    v.push_back(s.substr(pos, e - pos));
    pos = e + 2;
  }
  return v;
}

uint64_t byte_time(uint32_t baud) { return (10'000'000ull + baud - 1) / baud; }

class Launcher : public ::testing::Test {
 protected:
  std::string flash = temp(::testing::UnitTest::GetInstance()->current_test_info()->name());
  void SetUp() override { clean(); }
  void TearDown() override { clean(); }
  void clean() {
    std::remove(flash.c_str());
    std::remove((flash + ".stats").c_str());
    std::remove((flash + ".pins").c_str());
  }
  Result echo(std::vector<std::string> extra, const std::string& input) {
    std::vector<std::string> args = {kEcho, "--flash", flash};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args, input);
  }
};

TEST_F(Launcher, PipedInputArrivesAtTheBaudRateFromTimeZero) {
  Result r = echo({"--run-for", "1s"}, "time\n");
  EXPECT_EQ(r.code, 0) << r.err;
  // Five bytes back to back at 115200 baud; the reply is printed when the
  // last one has arrived.
  EXPECT_EQ(lines(r.out),
            (std::vector<std::string>{"boot 0 sim-test-echo",
                                      "time " + std::to_string(5 * byte_time(115200))}));
}

TEST_F(Launcher, TheSameInputGivesTheSameOutput) {
  const std::string input =
      "echo one\nsleep 1234\nprog 8000100 0011223344556677\nspend 77\nread 8000100 8\nreset\ntime\n"
      "erase 0\nflash\ntime\n";
  Result a = echo({"--run-for", "2s"}, input);
  clean();
  Result b = echo({"--run-for", "2s"}, input);
  EXPECT_EQ(a.code, 0) << a.err;
  EXPECT_EQ(a.out, b.out);
  EXPECT_NE(a.out.find("0011223344556677"), std::string::npos) << a.out;
}

TEST_F(Launcher, AResetKeepsTheChipsOutsideAndStartsRamAgain) {
  Result r =
      echo({"--run-for", "1s", "--pin", "PB12=1", "--adc", "PB3=1500", "--uid", "1:a2:FFFFFFFF"},
           "ret 3 77\nprog 8000000 0102030405060708\ntime\nreset\n"
           "retget 3\nread 8000000 8\ntime\npin PB12\nadc PB3\nuid\nflash\n");
  EXPECT_EQ(r.code, 0) << r.err;
  std::vector<std::string> l = lines(r.out);
  ASSERT_EQ(l.size(), 12u) << r.out;
  EXPECT_EQ(l[0], "boot 0 sim-test-echo");
  EXPECT_EQ(l[4], "boot 1 sim-test-echo");  // RAM starts again: the boot line, reset counted
  EXPECT_EQ(l[5], "ret 3 77");
  EXPECT_EQ(l[6], "0102030405060708");
  uint64_t before = std::stoull(l[3].substr(5));
  uint64_t after = std::stoull(l[7].substr(5));
  EXPECT_GT(after, before);  // virtual time continues
  EXPECT_EQ(l[8], "pin 1");
  EXPECT_EQ(l[9], "adc 1500");
  EXPECT_EQ(l[10], "uid 00000001:000000a2:ffffffff");
  EXPECT_EQ(l[11], "erases 0 programs 1");
  // Flash counters count the whole run, across the reset.
  EXPECT_EQ(slurp(flash + ".stats"), "erases 0\nprograms 1\n");
}

TEST_F(Launcher, StartImageRunsTheNamedProgramAndResetRunsTheResetImage) {
  Result r = echo({"--run-for", "1s", "--reset-image", "sim-test-echo"},
                  "ret 0 5\nimage sim-test-echo2\nretget 0\nreset\nretget 0\nimage "
                  "no-such-image\necho after\n");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(lines(r.out),
            (std::vector<std::string>{"boot 0 sim-test-echo", "ok", "boot 1 sim-test-echo2",
                                      "ret 0 5", "boot 2 sim-test-echo", "ret 0 5"}));
  // A missing image halts the core: nothing more runs, the run still ends.
  EXPECT_NE(r.err.find("no-such-image"), std::string::npos) << r.err;
}

TEST_F(Launcher, RunForEndsTheProgramAfterThatMuchVirtualTime) {
  struct Case {
    const char* duration;
    uint64_t us;
  };
  for (Case c : {Case{"90us", 90}, Case{"250ms", 250'000}, Case{"2s", 2'000'000},
                 Case{"1.5m", 90'000'000}, Case{"24h", 86'400'000'000ull}}) {
    clean();
    Result r = echo({"--run-for", c.duration}, "");
    EXPECT_EQ(r.code, 0) << c.duration << r.err;
    EXPECT_EQ(r.out, "boot 0 sim-test-echo\r\n") << c.duration;
  }
  // The deadline cuts a sleep that would end after it.
  Result shortrun = echo({"--run-for", "50ms"}, "sleep 100000\n");
  EXPECT_EQ(lines(shortrun.out), (std::vector<std::string>{"boot 0 sim-test-echo"}));
  Result longrun = echo({"--run-for", "150ms"}, "sleep 100000\n");
  ASSERT_EQ(lines(longrun.out).size(), 2u) << longrun.out;
}

// A start-up that resets at once, every time, takes no virtual time: the
// core stops the loop after a few rounds with a message, and the run ends.
TEST_F(Launcher, AResetLoopAtStartUpHaltsTheCoreAndTheRunStillEnds) {
  Result r = echo({"--run-for", "2s"}, "bootloop\n");
  EXPECT_EQ(r.code, 0) << r.err;
  std::vector<std::string> l = lines(r.out);
  ASSERT_GE(l.size(), 2u) << r.out;
  EXPECT_LE(l.size(), 12u) << r.out;
  EXPECT_EQ(l.back(), "boot " + std::to_string(l.size() - 1) + " sim-test-echo");
  EXPECT_NE(r.err.find("reset"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("the core halts"), std::string::npos) << r.err;
}

TEST_F(Launcher, WithoutRunForPipedInputEndsTheRunTenSecondsAfterItsEnd) {
  Result shorter = echo({}, "sleep 9000000\n");
  EXPECT_EQ(shorter.code, 0) << shorter.err;
  ASSERT_EQ(lines(shorter.out).size(), 2u) << shorter.out;
  Result longer = echo({}, "sleep 11000000\n");
  EXPECT_EQ(longer.code, 0) << longer.err;
  EXPECT_EQ(lines(longer.out), (std::vector<std::string>{"boot 0 sim-test-echo"}));
}

TEST_F(Launcher, PipedInputWaitsWhileTheReceiverIsOff) {
  // "close" turns the receiver off for one second: the next line waits.
  Result r = echo({"--run-for", "3s"}, "close\ntime\n");
  std::vector<std::string> l = lines(r.out);
  ASSERT_EQ(l.size(), 3u) << r.out;
  EXPECT_EQ(l[1], "closed");
  uint64_t t = std::stoull(l[2].substr(5));
  EXPECT_GE(t, 1'000'000u);
}

TEST_F(Launcher, FlashFileIsCreatedErasedAndASecondBootWritesNothing) {
  Result first = echo({"--run-for", "10ms"}, "prog 8000800 0102030405060708\n");
  EXPECT_EQ(first.code, 0) << first.err;
  std::string bytes = slurp(flash);
  ASSERT_EQ(bytes.size(), 64u * 1024);
  EXPECT_EQ(bytes.substr(0x800, 8), std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  EXPECT_EQ(bytes.find_first_not_of('\xff', 0x808), std::string::npos);
  EXPECT_EQ(slurp(flash + ".stats"), "erases 0\nprograms 1\n");

  Result second = echo({"--run-for", "10ms"}, "read 8000800 8\n");
  EXPECT_EQ(lines(second.out).back(), "0102030405060708");
  EXPECT_EQ(slurp(flash), bytes);
  EXPECT_EQ(slurp(flash + ".stats"), "erases 0\nprograms 0\n");
}

TEST_F(Launcher, ShortFlashFileIsExtendedAndFailureInjectionWorks) {
  {
    std::ofstream f(flash, std::ios::binary);
    f << "garbage";
  }
  Result r = echo({"--run-for", "10ms", "--flash-fail-after", "1"},
                  "read 8000000 8\nerase 0\nerase 1\nflash\n");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(lines(r.out), (std::vector<std::string>{"boot 0 sim-test-echo", "67617262616765ff",
                                                    "ok", "fail", "erases 1 programs 0"}));
  EXPECT_EQ(slurp(flash).size(), 64u * 1024);
}

// The flash model keeps what is left of the injection through a reset.
TEST_F(Launcher, FlashFailureInjectionCountsOnAcrossAReset) {
  Result r = echo({"--run-for", "1s", "--flash-fail-after", "2"},
                  "erase 0\nreset\nerase 1\nerase 2\nflash\n");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(lines(r.out),
            (std::vector<std::string>{"boot 0 sim-test-echo", "ok", "boot 1 sim-test-echo", "ok",
                                      "fail", "erases 2 programs 0"}));
}

TEST_F(Launcher, OutputPinChangesAreLogged) {
  Result r = echo({"--run-for", "10ms", "--pin-log", flash + ".pins"}, "out PC13 1\nout PC13 0\n");
  EXPECT_EQ(r.code, 0) << r.err;
  std::string log = slurp(flash + ".pins");
  EXPECT_TRUE(std::regex_match(log, std::regex("[0-9]+ PC13 1\n[0-9]+ PC13 0\n"))) << log;
}

TEST_F(Launcher, BadCommandLinesAreRefusedWithAReason) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},          {"--run-for", "2"},         {"--run-for", "5d"},
      {"--run-for", "-1s"}, {"--pin", "PB12"},          {"--pin", "PZ1=1"},
      {"--adc", "=3"},      {"--uid", "1:2"},           {"--uid", "1:2:x"},
      {"--pty", "9"},       {"--world", "/tmp/x"},      {"--device-id", "3"},
      {"--flash"},          {"--flash-fail-after", "x"}};
  for (const auto& extra : cases) {
    Result r = echo(extra, "");
    EXPECT_EQ(r.code, 2) << extra[0];
    EXPECT_FALSE(r.err.empty()) << extra[0];
    EXPECT_EQ(r.out, "") << extra[0];
  }
  // Names the chip does not have are refused with the names it has.
  Result bad_pin = echo({"--pin", "P0.31=1"}, "");
  EXPECT_NE(bad_pin.err.find("no pin P0.31; its pins: PA0 PA1"), std::string::npos) << bad_pin.err;
  Result bad_adc = echo({"--adc", "VDDX=1"}, "");
  EXPECT_NE(bad_adc.err.find("no analogue input VDDX; its inputs: PA0"), std::string::npos)
      << bad_adc.err;
  Result bad_flash = run({kEcho, "--flash", ::testing::TempDir(), "--run-for", "1s"}, "");
  EXPECT_EQ(bad_flash.code, 2);
  EXPECT_NE(bad_flash.err.find("flash"), std::string::npos);
}

TEST_F(Launcher, HelpExplainsPortsAndOptions) {
  Result r = run({kEcho, "--help"}, "");
  EXPECT_EQ(r.code, 0);
  for (const char* word : {"2: the command port", "--flash", "--pty", "--run-for", "--pin", "--adc",
                           "--uid", "--reset-image", "--world", "--device-id", "--uart-world",
                           "--flash-fail-after N", "Ctrl-]"})
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

// A port on a pseudo-terminal, driven as a serial terminal program would.
TEST_F(Launcher, PtyPortAnswersAndSurvivesAReset) {
  int errpipe[2];
  ASSERT_EQ(pipe(errpipe), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(errpipe[1], 2);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    close(errpipe[0]);
    close(errpipe[1]);
    execl(kEcho.c_str(), kEcho.c_str(), "--flash", flash.c_str(), "--pty", "2", "--run-for", "1s",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(errpipe[1]);
  std::string err;
  char c;
  while (err.find('\n') == std::string::npos && read(errpipe[0], &c, 1) == 1) err += c;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(err, m, std::regex("^PORT 2: (/dev/pts/[0-9]+)\n"))) << err;
  int fd = open(m[1].str().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  auto read_until = [&](const std::string& want) {
    std::string got;
    while (got.find(want) == std::string::npos) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10'000) <= 0) break;
      char buf[256];
      ssize_t k = read(fd, buf, sizeof buf);
      if (k <= 0) break;
      got.append(buf, static_cast<size_t>(k));
    }
    return got;
  };
  EXPECT_NE(read_until("boot 0").find("boot 0 sim-test-echo\r\n"), std::string::npos);
  ASSERT_EQ(write(fd, "echo hello\r", 11), 11);
  EXPECT_NE(read_until("hello\r\n").find("hello\r\n"), std::string::npos);
  ASSERT_EQ(write(fd, "reset\r", 6), 6);
  EXPECT_NE(read_until("boot 1").find("boot 1 sim-test-echo"), std::string::npos);
  ASSERT_EQ(write(fd, "echo again\r", 11), 11);
  EXPECT_NE(read_until("again\r\n").find("again\r\n"), std::string::npos);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(fd);
  close(errpipe[0]);
}

// On a terminal: raw mode (Ctrl-C is a byte for the firmware), Ctrl-] quits,
// and the terminal's settings come back afterwards.
TEST_F(Launcher, TerminalIsRawAndCtrlBracketQuits) {
  int master;
  struct termios cooked;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(kEcho.c_str(), kEcho.c_str(), "--flash", flash.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  auto read_until = [&](const std::string& want) {
    std::string got;
    while (got.find(want) == std::string::npos) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 10'000) <= 0) break;
      char buf[256];
      ssize_t k = read(master, buf, sizeof buf);
      if (k <= 0) break;
      got.append(buf, static_cast<size_t>(k));
    }
    return got;
  };
  EXPECT_NE(read_until("boot 0").find("boot 0"), std::string::npos);
  ASSERT_EQ(write(master,
                  "\x03"
                  "echo x\r",
                  8),
            8);
  EXPECT_NE(read_until("x\r\n").find("? \x03"
                                     "echo x\r\n"),
            std::string::npos);
  ASSERT_EQ(tcgetattr(master, &cooked), 0);
  EXPECT_FALSE(cooked.c_lflag & ICANON);  // raw while running
  ASSERT_EQ(write(master, "\x1d", 1), 1);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  struct termios after;
  ASSERT_EQ(tcgetattr(master, &after), 0);
  EXPECT_TRUE(after.c_lflag & ICANON);  // restored on the way out
  close(master);
}

}  // namespace

TEST_F(Launcher, DevicesOutsideTheChipAreNamedByData) {
  Result help = run({kEcho, "--help"}, "");
  for (const char* word :
       {"--device NAME@WHERE", "--uart-peer PORT=NAME", "shtc3:", "loopback:", "echo-lines:"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;

  Result ok = echo({"--device", "shtc3@i2c2:0x70,t=20,rh=30", "--uart-peer", "1=loopback",
                    "--uart-peer", "3=echo-lines", "--run-for", "1s"},
                   "");
  EXPECT_EQ(ok.code, 0) << ok.err;

  const std::vector<std::vector<std::string>> bad = {{"--device", "shtc3"},
                                                     {"--device", "shtc3@i2c2:0x70,t=hot"},
                                                     {"--device", "nosuch@i2c1:0x10"},
                                                     {"--device", "shtc3@uart1"},
                                                     {"--uart-peer", "loopback"},
                                                     {"--uart-peer", "1=nosuch"},
                                                     {"--uart-peer", "2=loopback"},  // the console
                                                     {"--uart-peer", "9=loopback"},
                                                     {"--device"}};
  for (const auto& extra : bad) {
    Result r = echo(extra, "");
    EXPECT_EQ(r.code, 2) << extra.back();
    EXPECT_FALSE(r.err.empty()) << extra.back();
  }
}
