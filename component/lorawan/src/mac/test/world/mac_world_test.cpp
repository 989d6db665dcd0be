// The MAC on the SX126x driver in a world with an EU868 gateway and network
// server: an OTAA 1.0.4 join, an unconfirmed uplink the server decodes, and
// one answered in RX1, and a confirmed uplink carrying a link check.
#include <gtest/gtest.h>

#include "network/gateway.h"
#include "systest/world.h"

namespace {

using namespace sim::network;
using systest::sec;

constexpr int kConsole = 0;
const Key kApp = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                  0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};

TEST(MacOnAir, JoinsAndExchangesFramesWithTheNetwork) {
  systest::World w;
  NetworkServer ns{RegionId::kEU868};
  DeviceEntry entry;
  entry.name = "a";
  entry.dev_eui = 0x0202020202020202ull;
  entry.join_eui = 0x0101010101010101ull;
  entry.app_key = kApp;
  ns.add_device(entry);
  Gateway gw{ns, w.master()};
  systest::Device& d = w.start("a", "mac-device-sx126x");
  ASSERT_TRUE(d.wait_line(kConsole, "READY"));

  d.write(kConsole, "JOIN\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK 0"));
  std::optional<UplinkRecord> join = wait_uplink(w.master(), ns, 0, {}, sec(2));
  ASSERT_TRUE(join);
  EXPECT_EQ(join->status, "ok");
  EXPECT_EQ(join->mtype, MType::kJoinRequest);
  EXPECT_EQ(join->dev_eui, entry.dev_eui);
  ASSERT_TRUE(d.wait_line(kConsole, "JOINED 0", sec(10)));
  ASSERT_TRUE(ns.dev_addr("a"));

  d.write(kConsole, "SEND 2 C0FFEE\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK 0"));
  std::optional<UplinkRecord> up = wait_uplink(
      w.master(), ns, 1, [](const UplinkRecord& r) { return r.mtype == MType::kUnconfirmedUp; }, sec(2));
  ASSERT_TRUE(up);
  EXPECT_EQ(up->status, "ok");
  EXPECT_EQ(up->device, "a");
  EXPECT_EQ(up->dev_addr, *ns.dev_addr("a"));
  EXPECT_EQ(up->fcnt, 0u);
  ASSERT_TRUE(up->fport);
  EXPECT_EQ(*up->fport, 2);
  EXPECT_EQ(up->payload, (Bytes{0xC0, 0xFF, 0xEE}));
  // Nothing to answer: RX1 and RX2 pass, then the confirm.
  EXPECT_TRUE(d.wait_line(kConsole, "SENT 0 1 0", sec(5)));

  // The next uplink is answered in RX1 with application data: the confirm
  // comes first, then the data.
  ns.queue_downlink("a", 5, {0xAB, 0xCD});
  d.write(kConsole, "SEND 2 01\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK 0"));
  EXPECT_EQ(d.next_line(kConsole, sec(5)), "SENT 0 2 0");
  EXPECT_EQ(d.next_line(kConsole, sec(1)), "RX 0 0 5 ABCD");
  ASSERT_EQ(ns.downlinks().size(), 2u); // the join accept and this answer
  EXPECT_EQ(ns.uplinks().back().fcnt, 1u);

  // A link check rides on a confirmed uplink; the network's answer carries
  // the acknowledgement and the LinkCheckAns.
  d.write(kConsole, "LINKCHECK\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK 0"));
  d.write(kConsole, "CSEND 3 AA\r\n");
  ASSERT_TRUE(d.wait_line(kConsole, "OK 0"));
  std::optional<std::string> sent = d.next_line(kConsole, sec(10));
  EXPECT_EQ(sent, "SENT 0 3 1");
  std::optional<std::string> check = d.next_line(kConsole, sec(1));
  ASSERT_TRUE(check);
  EXPECT_EQ(check->rfind("MLME 5 0 ", 0), 0u) << *check;
  EXPECT_EQ(check->substr(check->size() - 2), " 1") << *check; // one gateway
  const UplinkRecord& confirmed = ns.uplinks().back();
  EXPECT_EQ(confirmed.mtype, MType::kConfirmedUp);
  ASSERT_EQ(confirmed.mac.size(), 1u);
  EXPECT_EQ(confirmed.mac[0].cid, 0x02);
}

}  // namespace
