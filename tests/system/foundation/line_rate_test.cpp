// The line rate as a user meets it: a module's AT port on a pseudo-terminal
// (--pty), with a terminal program that sets the terminal's speed as picocom
// -b or a serial library does. Where the terminal's speed and the UART's rate
// differ, what each side reads is not what the other sent; where they agree,
// or the terminal sets no speed at all, the text passes clean.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>

#include "foundation.h"
#include "hostutil/process.h"

namespace {

using namespace fdn;

const Image& img = kBrisolaT;

// The image program with its AT port on a pseudo-terminal, in wall-clock
// time, and the terminal opened as a terminal program opens it.
class PtyModule {
 public:
  explicit PtyModule(const std::string& flash) {
    int err[2];
    if (pipe(err) != 0) return;
    hostutil::SpawnOptions o;
    o.argv = {systest::image_path(img.name),
              "--flash",
              flash,
              "--pin",
              "PB12=1",
              "--pty",
              "2",
              "--run-for",
              "60s"};
    o.in = hostutil::SpawnOptions::kDevNull;
    o.out = hostutil::SpawnOptions::kDevNull;
    o.err = err[1];
    std::string error;
    pid_ = hostutil::spawn(o, &error);
    close(err[1]);
    std::string line;
    char c;
    while (line.find('\n') == std::string::npos && read(err[0], &c, 1) == 1) line += c;
    close(err[0]);
    std::smatch m;
    if (std::regex_search(line, m, std::regex("PORT 2: (/dev/pts/[0-9]+)\n")))
      fd_ = open(m[1].str().c_str(), O_RDWR | O_NOCTTY);
  }
  ~PtyModule() {
    if (fd_ >= 0) close(fd_);
    if (pid_ > 0) hostutil::stop_process(pid_, 1000);
  }
  bool ok() const { return fd_ >= 0; }

  // The terminal's speed, raw mode; B0 leaves the speed unset.
  void set_speed(speed_t speed) {
    termios t;
    ASSERT_EQ(tcgetattr(fd_, &t), 0);
    cfmakeraw(&t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    ASSERT_EQ(tcsetattr(fd_, TCSANOW, &t), 0);
  }
  void write_text(const std::string& s) {
    ASSERT_EQ(write(fd_, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  // What the terminal reads until `want` has come or `ms` of quiet.
  std::string read_text(const std::string& want = "", int ms = 1500) {
    std::string got;
    for (;;) {
      if (!want.empty() && got.find(want) != std::string::npos) return got;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0) return got;
      char buf[512];
      ssize_t k = read(fd_, buf, sizeof buf);
      if (k <= 0) return got;
      got.append(buf, static_cast<size_t>(k));
    }
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
};

TEST(LineRate, TextIsCleanOnlyWhereTheTerminalsSpeedMatchesTheUart) {
  Scratch dir;
  write_file(dir.path("m.flash"), flash_with_record(default_record(img, true)));
  PtyModule m(dir.path("m.flash"));
  ASSERT_TRUE(m.ok());
  // No speed set by the terminal: the bytes pass as they are.
  m.set_speed(B0);
  ASSERT_NE(m.read_text("Current Work Mode: LoRaWAN.\r\n").find("LoRaWAN"), std::string::npos);
  m.read_text("", 300);
  m.write_text("AT\r\n");
  EXPECT_EQ(m.read_text("OK\r\n"), "OK\r\n");

  // A terminal at the module's rate.
  m.set_speed(B115200);
  m.write_text("AT+VER=?\r\n");
  const std::string ver = "AT+VER=" + version_text(img) + "\r\nOK\r\n";
  EXPECT_EQ(m.read_text(ver), ver);

  // The module moves to 9600 baud; its reply already leaves at the new rate,
  // which a terminal left at 115200 cannot read.
  m.write_text("AT+BAUD=9600\r\n");
  std::string garbled = m.read_text();
  EXPECT_EQ(garbled.find("OK"), std::string::npos) << printable(garbled);
  // A line typed at 115200 reaches the module as something else: no reply
  // that a 115200 terminal could read either.
  m.write_text("AT+VER=?\r\n");
  garbled = m.read_text();
  EXPECT_EQ(garbled.find("AT+VER="), std::string::npos) << printable(garbled);

  // The terminal set to 9600 (picocom -b 9600): clean again.
  m.set_speed(B9600);
  m.read_text("", 300);
  // What the module made of the garbled line is ended first.
  m.write_text("\r\n");
  m.read_text("", 500);
  m.write_text("AT+BAUD=?\r\n");
  EXPECT_EQ(m.read_text("OK\r\n"), "AT+BAUD=9600\r\nOK\r\n");
  // And with the speed unset again, whatever the rate.
  m.set_speed(B0);
  m.write_text("AT\r\n");
  EXPECT_EQ(m.read_text("OK\r\n"), "OK\r\n");
}

}  // namespace
