// The text set-up of a network (qivsim's network device).
#include <gtest/gtest.h>

#include "network/config.h"

namespace {

using sim::network::NetworkSetup;

TEST(Config, LinesAcceptedAndRefused) {
  NetworkSetup s;
  std::string err;
  for (const char* ok :
       {"# a comment",
        "",
        "region CN470 plan=26B",
        "region cn470-20a",
        "region EU868",
        "otaa dev 0202020202020202 0101010101010101 2B7E151628AED2A6ABF7158809CF4F3C",
        "otaa d11 0303030303030303 0101010101010101 2B7E151628AED2A6ABF7158809CF4F3C "
        "000102030405060708090A0B0C0D0E0F",
        "abp a 26011234 2B7E151628AED2A6ABF7158809CF4F3C 000102030405060708090A0B0C0D0E0F",
        "downlink dev 2 CAFE",
        "downlink a 3 01 confirmed",
        "mac dev 06",
        "mac dev 0351070001",
        "class a C",
        "window dev rx2",
        "beacons on",
        "adr on",
        "rx-delay 2",
        "net-id 000013",
        "multicast g 01FFFFFF 2B7E151628AED2A6ABF7158809CF4F3C 000102030405060708090A0B0C0D0E0F C "
        "869525000 0",
        "cflist 184F84E85684B85E84886684586E8400",
        "timing-error -20"}) {
    EXPECT_TRUE(s.apply(ok, &err)) << ok << ": " << err;
  }
  for (const char* bad :
       {"region EU999", "region CN470 plan=30A", "region EU868 plan=20A", "region CN470 20A",
        "otaa dev 02 01 2B7E", "otaa dev 0202020202020202 0101010101010101 XYZ",
        "otaa dev 0202020202020202 0101010101010101 2B7E151628AED2A6ABF7158809CF4F3C",  // twice
        "downlink nobody 2 CAFE", "downlink dev 256 CAFE", "downlink dev 2 CAF", "mac dev 03",
        "mac dev FF", "class dev D", "window dev rx3", "beacons maybe", "cflist 00", "rx-delay 16",
        "frobnicate", "multicast g 01FFFFFF 2B7E 00 C"}) {
    EXPECT_FALSE(s.apply(bad, &err)) << bad;
    EXPECT_NE(err.find(bad), std::string::npos) << err;
  }
}

}  // namespace

namespace {

// A refused line says what would have been right.
TEST(Config, RefusalsNameTheValidChoices) {
  struct Case {
    const char* line;
    const char* says;
  } cases[] = {
      {"region EU86", "unknown region EU86 (the regions: "},
      {"region", "expected region NAME"},
      {"class nobody A", "no device named nobody"},
      {"frobnicate", "unknown network line frobnicate (region, otaa, abp,"},
      {"help", "qivsim --network-cmd help lists them"},
  };
  for (const Case& c : cases) {
    NetworkSetup s;
    std::string err;
    EXPECT_FALSE(s.apply(c.line, &err)) << c.line;
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
  }
  NetworkSetup s;
  std::string err;
  ASSERT_FALSE(s.apply("region EU86", &err));
  for (const char* r : {"EU868", "US915", "AS923-1", "CN470"})
    EXPECT_NE(err.find(r), std::string::npos) << err;
}

}  // namespace
