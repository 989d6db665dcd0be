// The MAC joined and exchanging frames in other regions: a join, an uplink
// the network decodes, answers in RX1 and RX2 at the region's frequencies
// and data rates. US915 is brought to sub-band 2 by the network's
// LinkADRReq block.
#include <set>

#include "air.h"

namespace {

using namespace air;

struct RegionCase {
  const char* name;  // as the device takes it
  RegionId network;
  int dr;  // uplink data rate
};

class Regions : public testing::TestWithParam<RegionCase> {};

TEST_P(Regions, JoinsAndExchangesInBothWindows) {
  const RegionCase& c = GetParam();
  Air a(c.network);
  ASSERT_EQ(a.cmd(std::string("REGION ") + c.name), "OK 0");
  ASSERT_EQ(a.cmd("DR " + std::to_string(c.dr)), "OK 0");
  ASSERT_TRUE(a.join());
  const Region& r = region(c.network);
  for (Window w : {Window::kRx1, Window::kRx2}) {
    a.ns.set_window("a", w);
    a.ns.queue_downlink("a", 10, {0x10, static_cast<uint8_t>(w)});
    EXPECT_EQ(a.send("SEND 2 AA").substr(0, 6), "SENT 0");
    const UplinkRecord& up = a.last_up();
    EXPECT_EQ(up.status, "ok");
    EXPECT_EQ(up.meta.dr, c.dr);
    EXPECT_EQ(a.next(), w == Window::kRx1 ? "RX 0 0 10 1000 0 " + std::to_string(0) + " 0"
                                          : "RX 0 1 10 1001 0 1 0");
    const DownlinkRecord& down = a.ns.downlinks().back();
    if (w == Window::kRx1) {
      EXPECT_EQ(down.tx.freq, r.rx1_freq(up.meta.freq, up.meta.channel));
    } else {
      EXPECT_EQ(down.tx.dr, r.rx2_dr);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(MacOnAir, Regions,
                         testing::Values(RegionCase{"EU868", RegionId::kEU868, 3},
                                         RegionCase{"US915", RegionId::kUS915, 2},
                                         RegionCase{"AS923", RegionId::kAS923_1, 4},
                                         RegionCase{"CN470", RegionId::kCN470_20A, 3}),
                         [](const testing::TestParamInfo<RegionCase>& i) {
                           return std::string(i.param.name);
                         });

// US915: the network keeps the device on sub-band 2 (channels 8 to 15) with
// a LinkADRReq block: all 125 kHz channels off, then channels 8-15 on.
TEST(MacOnAir, Us915SubBandFromALinkAdrBlock) {
  Air a(RegionId::kUS915);
  ASSERT_EQ(a.cmd("REGION US915"), "OK 0");
  ASSERT_EQ(a.cmd("DR 2"), "OK 0");
  ASSERT_TRUE(a.join());
  ASSERT_EQ(a.cmd("ADR 1"), "OK 0");
  a.ns.queue_mac("a", mac::link_adr_req(2, 0, 0x0000, 7, 1));
  a.ns.queue_mac("a", mac::link_adr_req(2, 0, 0xFF00, 0, 1));
  EXPECT_EQ(a.send("SEND 2 01").substr(0, 6), "SENT 0");
  EXPECT_EQ(fields(a.next(), 4), "RX 0 0 0");
  EXPECT_EQ(a.cmd("GET MASK"), "MASK FF00 0000 0000 0000 0000 0000");
  std::set<uint32_t> freqs;
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(a.send("SEND 2 02").substr(0, 6), "SENT 0") << i;
    freqs.insert(a.last_up().meta.freq);
  }
  // Both blocks answered, each with every bit set.
  ASSERT_GE(a.ns.answers("a").size(), 2u);
  EXPECT_EQ(a.ns.answers("a")[0].data, Bytes{0x07});
  EXPECT_EQ(a.ns.answers("a")[1].data, Bytes{0x07});
  for (uint32_t f : freqs) {
    EXPECT_GE(f, 903900000u);
    EXPECT_LE(f, 905300000u);
  }
  EXPECT_GE(freqs.size(), 4u);  // spread over the sub-band
}

// AS923 takes TxParamSetupReq (EU868 ignores it): answered, and the dwell
// time limit it sets is kept.
TEST(MacOnAir, As923TakesTxParamSetup) {
  Air a(RegionId::kAS923_1);
  ASSERT_EQ(a.cmd("REGION AS923"), "OK 0");
  ASSERT_EQ(a.cmd("DR 4"), "OK 0");
  ASSERT_TRUE(a.join());
  a.ns.queue_mac("a", mac::tx_param_setup_req(false, false, 5));
  EXPECT_EQ(a.send("SEND 2 01").substr(0, 6), "SENT 0");
  EXPECT_EQ(fields(a.next(), 4), "RX 0 0 0");
  EXPECT_EQ(a.send("SEND 2 02").substr(0, 6), "SENT 0");
  ASSERT_EQ(a.ns.answers("a").size(), 1u);
  EXPECT_EQ(a.ns.answers("a")[0].cid, 0x09);
  EXPECT_TRUE(a.ns.answers("a")[0].data.empty());
}

}  // namespace
