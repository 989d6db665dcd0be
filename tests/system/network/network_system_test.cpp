// The gateway among device programs: what a device puts on the air reaches
// the network server, and the answer reaches the device at its exact window,
// before the device runs past that time.
#include <gtest/gtest.h>

#include "network/gateway.h"
#include "systest/world.h"

namespace {

using namespace sim::network;
using systest::sec;

constexpr int kConsole = 2;
const Key kApp = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                  0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};

// A stand-in device program in a world with an EU868 gateway and network
// that know it; the device has sent a join request. `rx1` is when its first
// receive window opens.
class Network : public ::testing::Test {
 protected:
  void SetUp() override {
    entry_.name = "a";
    entry_.dev_eui = 0x0202020202020202ull;
    entry_.join_eui = 0x0101010101010101ull;
    entry_.app_key = kApp;
    ns_.add_device(entry_);
    ASSERT_TRUE(d_.wait_line(kConsole, "READY 1"));
    Bytes jr = build_join_request(kApp, entry_.join_eui, entry_.dev_eui, 1);
    d_.write(kConsole, "TX " + hex(jr.data(), jr.size()) + "\r\n");
    ASSERT_TRUE(d_.wait_line(kConsole, "OK"));
    ASSERT_FALSE(w_.frames().empty());
    rx1_ = w_.frames().back().frame.end_us + 5'000'000;
  }
  // The device runs `command` at virtual time `at`.
  void when(sim::time_us at, const std::string& command) {
    d_.write(kConsole, "WHEN " + std::to_string(at) + " " + command + "\r\n");
    ASSERT_TRUE(d_.wait_line(kConsole, "OK"));
  }
  // The join accept reaches the device before its line "LATER", sent just
  // after the window opened.
  void expect_answer_before_later() {
    std::optional<std::string> line = d_.next_line(kConsole, sec(10));
    ASSERT_TRUE(line);
    EXPECT_EQ(line->rfind("RX 0 ", 0), 0u) << *line;
    EXPECT_EQ(d_.next_line(kConsole, sec(1)), "LATER");
    EXPECT_EQ(w_.frames().back().t, rx1_);
  }

  systest::World w_;
  NetworkServer ns_{RegionId::kEU868};
  DeviceEntry entry_;
  Gateway gw_{ns_, w_.master()};
  systest::Device& d_ = w_.start("a", "qiv-fake-device");
  sim::time_us rx1_ = 0;
};

TEST_F(Network, JoinAnswerReachesTheDeviceAtItsWindow) {
  // The device plans to speak just after RX1 opens; the answer must be
  // there first.
  when(rx1_ + 1, "SAY LATER");

  std::optional<UplinkRecord> up = wait_uplink(w_.master(), ns_, 0, {}, sec(1));
  ASSERT_TRUE(up);
  EXPECT_EQ(up->status, "ok");
  EXPECT_EQ(up->device, "a");

  expect_answer_before_later();
  const sim::world::FrameRecord& down = w_.frames().back();
  EXPECT_TRUE(down.frame.iq_inverted);
  EXPECT_EQ(down.frame.frequency_hz, 868100000u);
  EXPECT_EQ(down.frame.len, 17);
}

// A device that is running anyway (a silent timer just before the window)
// is granted time only up to the gateway's next transmission: left to run
// freely it would pass the window, and its later timer would fire before
// the answer reached it.
TEST_F(Network, RunningDeviceStopsAtTheGatewaysDownlink) {
  when(rx1_ - 1000, "NOP");
  when(rx1_ + 1, "SAY LATER");
  expect_answer_before_later();
}

}  // namespace
