// The dispatcher: identifiers 0 to 10 reach their region, anything else gets
// the fixed answers without side effects.
#include "RegionAS923.h"
#include "region_test_support.h"

using namespace region_test;

namespace {

const LoRaMacRegion_t kAllRegions[] = {
    LORAMAC_REGION_AS923, LORAMAC_REGION_AU915, LORAMAC_REGION_CN470, LORAMAC_REGION_CN779,
    LORAMAC_REGION_EU433, LORAMAC_REGION_EU868, LORAMAC_REGION_KR920, LORAMAC_REGION_IN865,
    LORAMAC_REGION_US915, LORAMAC_REGION_RU864, LORAMAC_REGION_LA915,
};

class DispatcherTest : public RegionTest {};

TEST_F(DispatcherTest, EveryRegionIdentifierIsActiveAndNoOther) {
  for (LoRaMacRegion_t region : kAllRegions) {
    EXPECT_TRUE(RegionIsActive(region)) << static_cast<int>(region);
  }
  for (int id : {11, 12, 127, 255}) {
    EXPECT_FALSE(RegionIsActive(static_cast<LoRaMacRegion_t>(id))) << id;
  }
}

TEST_F(DispatcherTest, UnknownRegionGetsFixedAnswersAndTouchesNothing) {
  const auto unknown = static_cast<LoRaMacRegion_t>(11);

  EXPECT_EQ(Get(unknown, PHY_DEF_RX2_FREQUENCY).Value, 0u);

  VerifyParams_t verify = {};
  verify.Frequency = MHz(868.1);
  EXPECT_FALSE(RegionVerify(unknown, &verify, PHY_FREQUENCY));

  uint16_t mask[6] = {0x0007};
  ChanMaskSetParams_t maskSet = {mask, CHANNELS_MASK};
  EXPECT_FALSE(RegionChanMaskSet(unknown, &maskSet));

  RxConfigParams_t rxConfig = {};
  int8_t dr = 77;
  EXPECT_FALSE(RegionRxConfig(unknown, &rxConfig, &dr));
  EXPECT_EQ(dr, 77);

  TxConfigParams_t txConfig = {};
  int8_t txPower = 77;
  TimerTime_t timeOnAir = 77;
  EXPECT_FALSE(RegionTxConfig(unknown, &txConfig, &txPower, &timeOnAir));
  EXPECT_EQ(txPower, 77);
  EXPECT_EQ(timeOnAir, 77u);

  LinkAdrResult linkAdr = LinkAdr(unknown, LinkAdrBlock(5, 0, 0x0007, 0, 1));
  EXPECT_EQ(linkAdr.Status, 0);
  EXPECT_EQ(linkAdr.Parsed, 0xFF);  // untouched

  EXPECT_EQ(RxParamSetup(unknown, 0, 0, MHz(869.525)), 0);

  ChannelParams_t channel = {MHz(867.1), 0, {0x50}, 0};
  NewChannelReqParams_t newChannel = {&channel, 3};
  EXPECT_EQ(RegionNewChannelReq(unknown, &newChannel), 0);
  TxParamSetupReqParams_t txParam = {};
  EXPECT_EQ(RegionTxParamSetupReq(unknown, &txParam), 0);
  DlChannelReqParams_t dlChannel = {0, MHz(868.1)};
  EXPECT_EQ(RegionDlChannelReq(unknown, &dlChannel), 0);
  EXPECT_EQ(RegionAlternateDr(unknown, 3, ALTERNATE_DR), 0);

  NextChannelResult next = Next(unknown, 0, true);
  EXPECT_EQ(next.Status, LORAMAC_STATUS_REGION_NOT_SUPPORTED);
  EXPECT_EQ(next.Channel, 0xEE);
  EXPECT_EQ(next.Time, 0xDEADBEEFu);
  EXPECT_EQ(next.AggregatedTimeOff, 0xDEADBEEFu);

  EXPECT_EQ(RegionApplyDrOffset(unknown, 0, 5, 2), 5);

  RxBeaconSetup_t beacon = {8, 0, MHz(869.525)};
  uint8_t beaconDr = 77;
  RegionRxBeaconSetup(unknown, &beacon, &beaconDr);
  EXPECT_EQ(beaconDr, 77);

  InitDefaultsParams_t init = {&storage.group1, &storage.group2, storage.bands, INIT_TYPE_DEFAULTS};
  RegionInitDefaults(unknown, &init);
  SetBandTxDoneParams_t txDone = {0, true, 0, 1000, {0, 0}};
  RegionSetBandTxDone(unknown, &txDone);
  ApplyCfList(unknown, 0, FrequencyCfList({MHz(867.1)}));
  RegionComputeRxWindowParameters(unknown, 0, 6, 20, &rxConfig);

  Storage untouched{};
  EXPECT_EQ(std::memcmp(&storage, &untouched, sizeof(storage)), 0);
  EXPECT_EQ(fake::radio.TotalCalls, 0);
}

TEST_F(DispatcherTest, VersionIsTheRegionalParametersRevision) {
  Version_t version = RegionGetVersion();
  EXPECT_EQ(version.Value, 0x02010003u);
  EXPECT_EQ(version.Fields.Major, 2);
  EXPECT_EQ(version.Fields.Minor, 1);
  EXPECT_EQ(version.Fields.Patch, 0);
  EXPECT_EQ(version.Fields.Revision, 3);
}

TEST_F(DispatcherTest, BeaconTimingAttributesAreAnsweredByNoRegion) {
  for (LoRaMacRegion_t region : kAllRegions) {
    SetUp();
    Init(region);
    for (int attribute = PHY_BEACON_INTERVAL; attribute <= PHY_BEACON_DELAY_BEACON_TIMING_ANS;
         attribute++) {
      EXPECT_EQ(Value(region, static_cast<PhyAttribute_t>(attribute)), 0u)
          << "region " << static_cast<int>(region) << " attribute " << attribute;
    }
    // Max RX/TX data rate are answered by no region either.
    EXPECT_EQ(Value(region, PHY_MAX_RX_DR), 0u);
    EXPECT_EQ(Value(region, PHY_MAX_TX_DR), 0u);
  }
}

TEST_F(DispatcherTest, ReachesTheRegionNamedByTheIdentifier) {
  // RX2 frequency is the clearest fingerprint of a region.
  struct Row {
    LoRaMacRegion_t Region;
    uint32_t Rx2;
  };
  const Row rows[] = {
      {LORAMAC_REGION_AS923, MHz(923.2)},   {LORAMAC_REGION_AU915, MHz(923.3)},
      {LORAMAC_REGION_CN470, MHz(486.9)},   {LORAMAC_REGION_CN779, MHz(786.0)},
      {LORAMAC_REGION_EU433, MHz(434.665)}, {LORAMAC_REGION_EU868, MHz(869.525)},
      {LORAMAC_REGION_KR920, MHz(921.9)},   {LORAMAC_REGION_IN865, MHz(866.55)},
      {LORAMAC_REGION_US915, MHz(923.3)},   {LORAMAC_REGION_RU864, MHz(869.1)},
      {LORAMAC_REGION_LA915, MHz(923.3)},
  };
  RegionAS923SubBandSet(1);
  for (const Row& row : rows) {
    SetUp();
    Init(row.Region);
    EXPECT_EQ(Value(row.Region, PHY_DEF_RX2_FREQUENCY), row.Rx2) << static_cast<int>(row.Region);
  }
}

}  // namespace
