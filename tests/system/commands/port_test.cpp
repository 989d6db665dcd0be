// The serial-port commands on a Brisola-T module: the baud rate (taken at
// once by the typing port, stored for every port, refused when no port can
// run at it) and the password that the port lock asks for.
#include <gtest/gtest.h>

#include "commands.h"

namespace {

using namespace fdn;
using cmd::answer;
using cmd::with_flash;
using systest::Device;
using systest::World;

const Image& img = kBrisolaT;

// The pace of what the module sends from output offset `from` on, as a
// multiple of the byte time at `baud` (1.0 when it sends at that rate).
double pace_at(const Device& d, int port, size_t from, uint32_t baud) {
  return cmd::output_byte_time(d, port, from) / static_cast<double>(cmd::byte_time(baud));
}

// The time per byte that `port`'s chunks from `from` on took to leave: each
// is measured up to the next chunk written to `other` (from `other_from` on),
// which the module writes only once the chunk has left.
double pace_before(const Device& d, int port, size_t from, int other, size_t other_from) {
  std::vector<std::pair<systest::time_us, size_t>> mine, theirs;
  auto gather = [&](int p, size_t start, auto& out) {
    size_t offset = 0;
    for (const systest::OutputChunk& c : d.chunks(p)) {
      if (offset >= start) out.push_back({c.t, c.bytes.size()});
      offset += c.bytes.size();
    }
  };
  gather(port, from, mine);
  gather(other, other_from, theirs);
  systest::time_us total = 0;
  size_t bytes = 0;
  for (auto [t, n] : mine) {
    for (auto [u, m] : theirs) {
      if (u <= t) continue;
      total += u - t;
      bytes += n;
      break;
    }
  }
  return bytes ? static_cast<double>(total) / static_cast<double>(bytes) : 0.0;
}

// Sends `line` and checks that `reply` comes back at `baud`.
void expect_reply_at(Device& d, int port, const std::string& line, const std::string& reply,
                     uint32_t baud) {
  size_t from = d.output(port).size();
  EXPECT_TRUE(exchange(d, port, line, reply));
  EXPECT_NEAR(pace_at(d, port, from, baud), 1.0, 0.05)
      << "reply to " << printable(line) << " did not leave at " << baud << " baud";
}

// The reply to the rate change already leaves at the new rate; the rate is
// stored, and after a restart every port of the module runs at it.
TEST(Baud, ANewRateIsTakenAtOnceAndAfterARestartByEveryPort) {
  for (uint32_t baud : {1200u, 9600u, 57600u, 115200u}) {
    SCOPED_TRACE(std::to_string(baud) + " baud");
    World w;
    Device& d = start_module(w, "m", img, with_flash(cmd::stored_defaults(img)));
    expect_reply_at(d, kAtPort, "AT+VER=?\r\n", answer("AT+VER", version_text(img)), 115200);
    expect_reply_at(d, kAtPort, "AT+BAUD=" + std::to_string(baud) + "\r\n", "OK\r\n", baud);
    EXPECT_EQ(get32(record_of(d.flash()), rec::baudrate), baud);
    expect_reply_at(d, kAtPort, "AT+BAUD=?\r\n", answer("AT+BAUD", std::to_string(baud)), baud);

    d.restart();
    size_t from = d.output(kAtPort).size();
    ASSERT_TRUE(d.wait_output(kAtPort, startup_text(img)));
    EXPECT_NEAR(pace_at(d, kAtPort, from, baud), 1.0, 0.05) << "start-up lines";
    expect_reply_at(d, kAtPort, "AT+BAUD=?\r\n", answer("AT+BAUD", std::to_string(baud)), baud);
    // UART1 (in custom mode in the defaults) into AT mode; its replies go to
    // both AT ports, written one port after the other.
    d.write(kUart1, "AT+ATM\r");
    ASSERT_TRUE(d.wait_output(kUart1, "OK\r\n"));
    collect(d, kAtPort);
    size_t from1 = d.output(kUart1).size(), from2 = d.output(kAtPort).size();
    std::string ver = answer("AT+VER", version_text(img));
    EXPECT_TRUE(exchange(d, kUart1, "AT+VER=?\r\n", ver));
    EXPECT_EQ(collect(d, kAtPort), ver);
    EXPECT_NEAR(pace_before(d, kUart1, from1, kAtPort, from2) / cmd::byte_time(baud), 1.0, 0.05)
        << "UART1 does not run at " << baud << " baud";
  }
}

Bytes lock_states(const Device& d) {
  Bytes r = record_of(d.flash());
  return Bytes(r.begin() + rec::lock_status, r.begin() + rec::lock_status + 3);
}

// The longest password, then a shorter one over it: the stored field holds
// only the last one, and only it opens the locked port.
TEST(Password, AShorterPasswordReplacesALongerOneWhole) {
  const std::string longest = "Pa55 w~!";  // 8 printable characters
  World w;
  Device& d = start_module(w, "m", img, with_flash(cmd::stored_defaults(img)));
  ASSERT_TRUE(exchange(d, kAtPort, "AT+PWORD=" + longest + "\r\n", "OK\r\n"));
  EXPECT_EQ(cmd::get_bytes(d.flash(), kRecordAddr + rec::passwd, 9), cmd::text_bytes(longest, 9));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+PWORD=?\r\n", answer("AT+PWORD", longest)));
  ASSERT_TRUE(exchange(d, kAtPort, "AT+PWORD=abc\r\n", "OK\r\n"));
  EXPECT_EQ(cmd::get_bytes(d.flash(), kRecordAddr + rec::passwd, 9), cmd::text_bytes("abc", 9));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+PWORD=?\r\n", answer("AT+PWORD", "abc")));

  // Locking takes the typing port too: its own reply reaches no port.
  EXPECT_TRUE(exchange(d, kAtPort, "AT+LOCK\r\n", ""));
  EXPECT_EQ(lock_states(d), (Bytes{kLocked, kLocked, kLocked}));
  EXPECT_TRUE(exchange(d, kAtPort, longest + "\r\n", longest + "\r\nCOMMAND_LOCKED\r\n"));
  EXPECT_TRUE(exchange(d, kAtPort, "abc\r\n", "abc\r\n"));
  EXPECT_EQ(lock_states(d), (Bytes{kOpen, kOpen, kOpen}));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+LOCK=?\r\n", answer("AT+LOCK", "unlocked")));
}

}  // namespace
