// Class B on the air: the MAC on the SX126x driver acquires the beacons of an
// EU868 gateway, tracks them, reports a beacon the gateway leaves out as
// missed and a corrupted one likewise, and locks again on the next.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "network/gateway.h"
#include "systest/world.h"

namespace {

using namespace sim::network;
using systest::sec;

constexpr int kConsole = 0;
const Key kApp = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                  0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};

// MLME_BEACON indications: 13 locked, 14 missed.
const std::string kLocked = "MLMEIND 10 13";
const std::string kMissed = "MLMEIND 10 14";

TEST(ClassBOnAir, AcquiresTracksAndReportsMissedBeacons) {
  systest::World w;
  NetworkServer ns{RegionId::kEU868};
  DeviceEntry entry;
  entry.name = "a";
  entry.dev_eui = 0x0202020202020202ull;
  entry.join_eui = 0x0101010101010101ull;
  entry.app_key = kApp;
  ns.add_device(entry);
  GatewayOptions options;
  options.beacons = true;
  options.beacon_info[0] = 0x01;
  Gateway gw{ns, w.master(), options};
  // The third beacon after the first is left out, the fourth corrupted.
  uint32_t first_gps = 0;
  gw.options().beacon_hook = [&](uint32_t gps, Bytes& payload) {
    if (first_gps == 0) first_gps = gps;
    if (gps == first_gps + 3 * 128) return false;
    if (gps == first_gps + 4 * 128) payload[3] ^= 0x01;
    return true;
  };
  systest::Device& d = w.start("a", "mac-device-sx126x");
  ASSERT_TRUE(d.wait_line(kConsole, "READY"));

  d.write(kConsole, "JOIN\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK 0"));
  ASSERT_TRUE(d.wait_line(kConsole, "JOINED 0", sec(10)));

  d.write(kConsole, "BEACON\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK 0"));
  // The device listens until the next beacon, up to one period; the
  // acquisition's confirm comes first, then the indication.
  EXPECT_EQ(d.next_line(kConsole, sec(130)), "MLME 11 0 0 0");
  EXPECT_EQ(d.next_line(kConsole, sec(1)), kLocked);
  // Locked on the next ones (the first seen may be the gateway's first).
  std::vector<std::string> seen;
  for (int i = 0; i < 6; ++i) seen.push_back(d.next_line(kConsole, sec(130)).value_or("(none)"));
  ASSERT_NE(first_gps, 0u);
  // Whichever beacon the device acquired, the dropped and the corrupted
  // ones come as two missed beacons in a row, then it locks again.
  auto it = std::find(seen.begin(), seen.end(), kMissed);
  ASSERT_NE(it, seen.end());
  ASSERT_LT(std::distance(seen.begin(), it) + 2, static_cast<long>(seen.size()));
  EXPECT_EQ(*(it + 1), kMissed);
  EXPECT_EQ(*(it + 2), kLocked);
  for (auto j = seen.begin(); j != it; ++j) EXPECT_EQ(*j, kLocked);
}

TEST(ClassBOnAir, PingSlotDownlinkAfterThePeriodicityIsAcknowledged) {
  systest::World w;
  NetworkServer ns{RegionId::kEU868};
  DeviceEntry entry;
  entry.name = "a";
  entry.dev_eui = 0x0202020202020202ull;
  entry.join_eui = 0x0101010101010101ull;
  entry.app_key = kApp;
  ns.add_device(entry);
  GatewayOptions options;
  options.beacons = true;
  Gateway gw{ns, w.master(), options};
  systest::Device& d = w.start("a", "mac-device-sx126x");
  ASSERT_TRUE(d.wait_line(kConsole, "READY"));
  d.write(kConsole, "JOIN\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK 0"));
  ASSERT_TRUE(d.wait_line(kConsole, "JOINED 0", sec(10)));
  d.write(kConsole, "BEACON\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK 0"));
  ASSERT_TRUE(d.wait_line(kConsole, kLocked, sec(130)));

  // Class B is refused until the network acknowledges the periodicity.
  d.write(kConsole, "CLASSB\r\n");
  EXPECT_EQ(d.next_line(kConsole, sec(1)), "OK 2");  // service unknown
  d.write(kConsole, "PINGSLOT 3\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK 0"));
  d.write(kConsole, "SEND 2 01\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK 0"));
  ASSERT_TRUE(d.wait_line(kConsole, "MLME 12 0 0 0", sec(5)));
  d.write(kConsole, "CLASSB\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK 0"));
  ns.set_class("a", 'B');

  // The network sends in the device's next ping slot; it arrives there.
  ns.queue_downlink("a", 9, {0xB0, 0x0B});
  // Status 0 in the ping slot (4), port 9; no FPending, downlink FCnt 1, no ACK.
  ASSERT_TRUE(d.wait_line(kConsole, "RX 0 4 9 B00B 0 1 0", sec(130)));
  ASSERT_FALSE(ns.downlinks().empty());
  EXPECT_EQ(ns.downlinks().back().tx.what, "ping slot");
}

}  // namespace
