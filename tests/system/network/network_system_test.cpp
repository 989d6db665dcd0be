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

TEST(Network, JoinAnswerReachesTheDeviceAtItsWindow) {
  systest::World w;
  NetworkServer ns(RegionId::kEU868);
  DeviceSpec spec;
  spec.name = "a";
  spec.dev_eui = 0x0202020202020202ull;
  spec.join_eui = 0x0101010101010101ull;
  spec.app_key = kApp;
  ns.add_device(spec);
  Gateway gw(ns, w.master());
  systest::Device& d = w.start("a", "qiv-fake-device");
  ASSERT_TRUE(d.wait_line(kConsole, "READY 1"));

  Bytes jr = build_join_request(kApp, spec.join_eui, spec.dev_eui, 1);
  d.write(kConsole, "TX " + hex(jr.data(), jr.size()) + "\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK"));
  ASSERT_FALSE(w.frames().empty());
  const sim::time_us rx1 = w.frames().back().frame.end_us + 5'000'000;
  // The device plans to speak just after RX1 opens; the answer must be
  // there first.
  d.write(kConsole, "WHEN " + std::to_string(rx1 + 1) + " SAY LATER\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK"));

  std::optional<UplinkRecord> up = wait_uplink(w.master(), ns, 0, {}, sec(1));
  ASSERT_TRUE(up);
  EXPECT_EQ(up->status, "ok");
  EXPECT_EQ(up->device, "a");

  std::optional<std::string> line = d.next_line(kConsole, sec(10));
  ASSERT_TRUE(line);
  EXPECT_EQ(line->rfind("RX 0 ", 0), 0u) << *line;
  EXPECT_EQ(d.next_line(kConsole, sec(1)), "LATER");
  const sim::world::FrameRecord& down = w.frames().back();
  EXPECT_EQ(down.t, rx1);
  EXPECT_TRUE(down.frame.iq_inverted);
  EXPECT_EQ(down.frame.frequency_hz, 868100000u);
  EXPECT_EQ(down.frame.len, 17);
}

// A device that is running anyway (a silent timer just before the window)
// is granted time only up to the gateway's next transmission: left to run
// freely it would pass the window, and its later timer would fire before
// the answer reached it.
TEST(Network, RunningDeviceStopsAtTheGatewaysDownlink) {
  systest::World w;
  NetworkServer ns(RegionId::kEU868);
  DeviceSpec spec;
  spec.name = "a";
  spec.dev_eui = 0x0202020202020202ull;
  spec.join_eui = 0x0101010101010101ull;
  spec.app_key = kApp;
  ns.add_device(spec);
  Gateway gw(ns, w.master());
  systest::Device& d = w.start("a", "qiv-fake-device");
  ASSERT_TRUE(d.wait_line(kConsole, "READY 1"));

  Bytes jr = build_join_request(kApp, spec.join_eui, spec.dev_eui, 1);
  d.write(kConsole, "TX " + hex(jr.data(), jr.size()) + "\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK"));
  const sim::time_us rx1 = w.frames().back().frame.end_us + 5'000'000;
  d.write(kConsole, "WHEN " + std::to_string(rx1 - 1000) + " NOP\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK"));
  d.write(kConsole, "WHEN " + std::to_string(rx1 + 1) + " SAY LATER\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK"));

  std::optional<std::string> line = d.next_line(kConsole, sec(10));
  ASSERT_TRUE(line);
  EXPECT_EQ(line->rfind("RX 0 ", 0), 0u) << *line;
  EXPECT_EQ(d.next_line(kConsole, sec(1)), "LATER");
  EXPECT_EQ(w.frames().back().t, rx1);
}

}  // namespace
