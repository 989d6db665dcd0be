// The 72-channel fixed plans: US915, AU915 and LA915. Expected values are
// those of the LoRaWAN Regional Parameters for each plan.
#include "RegionAU915.h"
#include "RegionBaseUS.h"
#include "RegionLA915.h"
#include "RegionUS915.h"
#include "region_test_support.h"

using namespace region_test;

namespace {

struct FixedRow {
  const char* Name;
  LoRaMacRegion_t Region;
  uint32_t Channel125Base;
  uint8_t Dr125Max;
  uint32_t Channel500Base;
  uint8_t Dr500;
  std::vector<uint16_t> DefaultMask;
  std::vector<uint8_t> SpreadingFactors;  // DR_0..DR_13, 0 where undefined
  std::vector<uint8_t> BandwidthCodes;
  std::vector<uint8_t> MaxPayloads;
  std::vector<uint8_t> MaxPayloadsDwell;  // empty: no dwell time
  int8_t MaxUplinkDr;
  int8_t MaxTxPower;
  uint8_t DefTxPower;
  uint8_t DefTxDr;
  int8_t MaxRx1Offset;
  std::vector<std::vector<uint8_t>> Rx1;  // by uplink data rate, then offset
  uint32_t ReceiveDelay1;
  uint32_t MaxRxWindow;
  bool AnswersSfBw;
  bool BeaconFrequencies;
  uint8_t BeaconDr;
  int8_t NewChannelAnswer;
  int8_t DlChannelAnswer;
  int8_t TxParamAnswer;
  int8_t JoinDrLow;
};

const std::vector<std::vector<uint8_t>> kUsRx1 = {
    {10, 9, 8, 8}, {11, 10, 9, 8}, {12, 11, 10, 9}, {13, 12, 11, 10}, {13, 13, 12, 11}};
const std::vector<std::vector<uint8_t>> kAuRx1 = {
    {8, 8, 8, 8, 8, 8},    {9, 8, 8, 8, 8, 8},     {10, 9, 8, 8, 8, 8},     {11, 10, 9, 8, 8, 8},
    {12, 11, 10, 9, 8, 8}, {13, 12, 11, 10, 9, 8}, {13, 13, 12, 11, 10, 9},
};
const std::vector<uint8_t> kAuSf = {12, 11, 10, 9, 8, 7, 8, 0, 12, 11, 10, 9, 8, 7};
const std::vector<uint8_t> kAuBw = {0, 0, 0, 0, 0, 0, 2, 0, 2, 2, 2, 2, 2, 2};
const std::vector<uint8_t> kAuPayload = {51, 51, 51,  115, 242, 242, 242,
                                         0,  53, 129, 242, 242, 242, 242};

const FixedRow kRows[] = {
    {"US915",
     LORAMAC_REGION_US915,
     MHz(902.3),
     3,
     MHz(903.0),
     4,
     {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0x00FF, 0},
     {10, 9, 8, 7, 8, 0, 0, 0, 12, 11, 10, 9, 8, 7},
     {0, 0, 0, 0, 2, 0, 0, 0, 2, 2, 2, 2, 2, 2},
     {11, 53, 125, 242, 242, 0, 0, 0, 53, 129, 242, 242, 242, 242},
     {},
     4,
     14,
     0,
     0,
     3,
     kUsRx1,
     1000,
     3000,
     true,
     true,
     8,
     -1,
     -1,
     -1,
     0},
    {"AU915",
     LORAMAC_REGION_AU915,
     MHz(915.2),
     5,
     MHz(915.9),
     6,
     {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0x00FF, 0},
     kAuSf,
     kAuBw,
     kAuPayload,
     {0, 0, 11, 53, 125, 242, 242, 0, 53, 129, 242, 242, 242, 242},
     6,
     14,
     0,
     2,
     5,
     kAuRx1,
     1000,
     3000,
     true,
     true,
     8,
     -1,
     -1,
     0,
     2},
    {"LA915",
     LORAMAC_REGION_LA915,
     MHz(915.2),
     5,
     MHz(915.9),
     6,
     {0x00FF, 0, 0, 0, 0, 0},
     kAuSf,
     kAuBw,
     kAuPayload,
     {0, 0, 11, 53, 125, 242, 242},
     5,
     10,
     5,
     0,
     3,
     kAuRx1,
     5000,
     1000,
     false,
     false,
     10,
     0,
     0,
     0,
     2},
};

class FixedRegionTest : public RegionTest, public ::testing::WithParamInterface<FixedRow> {
 protected:
  LoRaMacRegion_t region() const { return GetParam().Region; }

  void SetUp() override {
    RegionTest::SetUp();
    Init(region());
  }

  std::vector<uint16_t> Remaining() {
    if (region() == LORAMAC_REGION_LA915) {
      return {};  // kept inside the region
    }
    return std::vector<uint16_t>(
        storage.group1.ChannelsMaskRemaining,
        storage.group1.ChannelsMaskRemaining + REGION_NVM_CHANNELS_MASK_SIZE);
  }
};

TEST_P(FixedRegionTest, SixtyFourNarrowAndEightWideUplinkChannels) {
  const FixedRow& row = GetParam();
  ChannelParams_t* channels = Channels(region());
  ASSERT_NE(channels, nullptr);
  for (uint8_t n = 0; n < 64; n++) {
    EXPECT_EQ(channels[n].Frequency, row.Channel125Base + 200000u * n) << int(n);
    EXPECT_EQ(channels[n].DrRange.Fields.Min, 0);
    EXPECT_EQ(channels[n].DrRange.Fields.Max, row.Dr125Max);
  }
  for (uint8_t n = 64; n < 72; n++) {
    EXPECT_EQ(channels[n].Frequency, row.Channel500Base + 1600000u * (n - 64)) << int(n);
    EXPECT_EQ(channels[n].DrRange.Fields.Min, row.Dr500);
    EXPECT_EQ(channels[n].DrRange.Fields.Max, row.Dr500);
  }
  EXPECT_EQ(Mask(region()), row.DefaultMask);
  EXPECT_EQ(Mask(region(), PHY_CHANNELS_DEFAULT_MASK), row.DefaultMask);
  EXPECT_EQ(Value(region(), PHY_MAX_NB_CHANNELS), 72u);
  if (region() != LORAMAC_REGION_LA915) {
    EXPECT_EQ(Remaining(), row.DefaultMask);
    EXPECT_EQ(storage.group1.JoinChannelGroupsCurrentIndex, 0);
    EXPECT_EQ(storage.group1.JoinTrialsCounter, 0);
  }
}

TEST_P(FixedRegionTest, DownlinkAndTimingAnswers) {
  const FixedRow& row = GetParam();
  EXPECT_EQ(Value(region(), PHY_DEF_RX2_FREQUENCY), MHz(923.3));
  EXPECT_EQ(Value(region(), PHY_DEF_RX2_DR), 8u);
  EXPECT_EQ(Value(region(), PHY_MIN_RX_DR), 8u);
  EXPECT_EQ(Value(region(), PHY_RECEIVE_DELAY1), row.ReceiveDelay1);
  EXPECT_EQ(Value(region(), PHY_RECEIVE_DELAY2), row.ReceiveDelay1 + 1000);
  EXPECT_EQ(Value(region(), PHY_JOIN_ACCEPT_DELAY1), 5000u);
  EXPECT_EQ(Value(region(), PHY_JOIN_ACCEPT_DELAY2), 6000u);
  EXPECT_EQ(Value(region(), PHY_MAX_RX_WINDOW), row.MaxRxWindow);
  EXPECT_EQ(Value(region(), PHY_DEF_ADR_ACK_LIMIT), 64u);
  EXPECT_EQ(Value(region(), PHY_DEF_ADR_ACK_DELAY), 32u);
  EXPECT_EQ(Value(region(), PHY_DEF_TX_POWER), row.DefTxPower);
  EXPECT_EQ(Value(region(), PHY_DEF_TX_DR), row.DefTxDr);
  EXPECT_EQ(Value(region(), PHY_DUTY_CYCLE), 0u);
  EXPECT_EQ(Value(region(), PHY_BEACON_CHANNEL_DR), row.BeaconDr);
  EXPECT_EQ(Value(region(), PHY_PING_SLOT_CHANNEL_DR), row.BeaconDr);
  EXPECT_EQ(Value(region(), PHY_BEACON_NB_CHANNELS), 8u);

  for (uint8_t channel = 0; channel < 8; channel++) {
    uint32_t expected = row.BeaconFrequencies ? MHz(923.3) + 600000u * channel : 0;
    EXPECT_EQ(Value(region(), PHY_BEACON_CHANNEL_FREQ, 0, 0, 0, channel), expected);
    EXPECT_EQ(Value(region(), PHY_PING_SLOT_CHANNEL_FREQ, 0, 0, 0, channel), expected);
  }
  EXPECT_EQ(Value(region(), PHY_BEACON_CHANNEL_FREQ, 0, 0, 0, 8), 0u);  // no ninth channel

  // A beacon of the region's format fits its size exactly.
  BeaconFormat_t format = Get(region(), PHY_BEACON_FORMAT).BeaconFormat;
  EXPECT_EQ(format.Rfu1Size + 1 + 4 + 2 + 7 + format.Rfu2Size + 2, format.BeaconSize);

  TxParamSetupReqParams_t txParam = {0, 0, 0};
  EXPECT_EQ(RegionTxParamSetupReq(region(), &txParam), row.TxParamAnswer);
  ChannelParams_t channel = {MHz(915.0), 0, {0x50}, 0};
  NewChannelReqParams_t newChannel = {&channel, 3};
  EXPECT_EQ(RegionNewChannelReq(region(), &newChannel), row.NewChannelAnswer);
  DlChannelReqParams_t dl = {0, MHz(923.9)};
  EXPECT_EQ(RegionDlChannelReq(region(), &dl), row.DlChannelAnswer);
}

TEST_P(FixedRegionTest, DataRateTables) {
  const FixedRow& row = GetParam();
  for (int8_t dr = 0; dr < 14; dr++) {
    EXPECT_EQ(Value(region(), PHY_MAX_PAYLOAD, dr), row.MaxPayloads[dr]) << int(dr);
    uint32_t sf = row.AnswersSfBw ? row.SpreadingFactors[dr] : 0;
    uint32_t bw = row.AnswersSfBw ? row.BandwidthCodes[dr] : 0;
    EXPECT_EQ(Value(region(), PHY_SF_FROM_DR, dr), sf) << int(dr);
    EXPECT_EQ(Value(region(), PHY_BW_FROM_DR, dr), bw) << int(dr);
  }
  for (size_t dr = 0; dr < row.MaxPayloadsDwell.size(); dr++) {
    EXPECT_EQ(Value(region(), PHY_MAX_PAYLOAD, static_cast<int8_t>(dr), 1),
              row.MaxPayloadsDwell[dr])
        << dr;
  }
  for (int8_t dr : {int8_t{16}, int8_t{-1}, int8_t{127}}) {
    EXPECT_EQ(Value(region(), PHY_MAX_PAYLOAD, dr), 0u);
    EXPECT_EQ(Value(region(), PHY_MAX_PAYLOAD, dr, 1), 0u);
    EXPECT_EQ(Value(region(), PHY_SF_FROM_DR, dr), 0u);
  }
}

TEST_P(FixedRegionTest, Rx1DataRateByUplinkRateAndOffset) {
  const FixedRow& row = GetParam();
  for (size_t dr = 0; dr < row.Rx1.size(); dr++) {
    for (size_t offset = 0; offset < row.Rx1[dr].size(); offset++) {
      EXPECT_EQ(
          RegionApplyDrOffset(region(), 0, static_cast<int8_t>(dr), static_cast<int8_t>(offset)),
          row.Rx1[dr][offset])
          << "DR" << dr << " offset " << offset;
    }
  }
  // Beyond the table: clamped to its last row and column.
  uint8_t last = row.Rx1.back().back();
  EXPECT_EQ(RegionApplyDrOffset(region(), 0, 100, 100), last);
  EXPECT_EQ(RegionApplyDrOffset(region(), 0, -4, -4), row.Rx1[0][0]);
}

TEST_P(FixedRegionTest, VerifyRanges) {
  const FixedRow& row = GetParam();
  for (int8_t dr = -1; dr < 16; dr++) {
    bool uplink = dr >= 0 && dr <= row.MaxUplinkDr;
    EXPECT_EQ(VerifyDr(region(), PHY_TX_DR, dr), uplink) << int(dr);
    EXPECT_EQ(VerifyDr(region(), PHY_DEF_TX_DR, dr), uplink) << int(dr);
    EXPECT_EQ(VerifyDr(region(), PHY_RX_DR, dr), dr >= 8 && dr <= 13) << int(dr);
  }
  for (int8_t p = 0; p <= row.MaxTxPower; p++) {
    EXPECT_TRUE(VerifyTxPower(region(), p));
  }
  EXPECT_FALSE(VerifyTxPower(region(), static_cast<int8_t>(row.MaxTxPower + 1)));

  // Only the eight 500 kHz downlink channels are downlink frequencies.
  for (int k = 0; k < 8; k++) {
    EXPECT_TRUE(VerifyFrequency(region(), MHz(923.3) + 600000u * k));
  }
  EXPECT_FALSE(VerifyFrequency(region(), MHz(927.8)));
  EXPECT_FALSE(VerifyFrequency(region(), MHz(923.4)));
  EXPECT_FALSE(VerifyFrequency(region(), row.Channel125Base));

  VerifyParams_t dutyCycle = {};
  EXPECT_FALSE(RegionVerify(region(), &dutyCycle, PHY_DUTY_CYCLE));

  EXPECT_EQ(RxParamSetup(region(), 8, row.MaxRx1Offset, MHz(923.3)), 0x07);
  EXPECT_EQ(RxParamSetup(region(), 13, 0, MHz(927.5)), 0x07);
  EXPECT_EQ(RxParamSetup(region(), 7, 0, MHz(923.3)), 0x05);
  EXPECT_EQ(RxParamSetup(region(), 8, static_cast<int8_t>(row.MaxRx1Offset + 1), MHz(923.3)), 0x03);
  EXPECT_EQ(RxParamSetup(region(), 8, 0, MHz(923.4)), 0x06);
}

TEST_P(FixedRegionTest, ReceiveWindows) {
  for (uint8_t channel : {0, 7, 8, 63, 64, 71}) {
    EXPECT_EQ(RxFrequency(region(), RX_SLOT_WIN_1, channel, 10),
              MHz(923.3) + 600000u * (channel % 8))
        << int(channel);
    EXPECT_TRUE(fake::radio.RxConfigs.back().IqInverted);
    EXPECT_EQ(fake::radio.RxConfigs.back().Datarate, 10u);
  }
  EXPECT_EQ(fake::radio.MaxPayloadLengths.back().second, 242 + 13);
  EXPECT_EQ(RxFrequency(region(), RX_SLOT_WIN_2, 0, 8, MHz(923.3)), MHz(923.3));
  EXPECT_EQ(fake::radio.MaxPayloadLengths.back().second, 53 + 13);
  // Undefined data rates are refused.
  EXPECT_EQ(RxFrequency(region(), RX_SLOT_WIN_2, 0, 7, MHz(923.3)), 0u);
  EXPECT_EQ(RxFrequency(region(), RX_SLOT_WIN_2, 0, 14, MHz(923.3)), 0u);
  EXPECT_EQ(RxFrequency(region(), RX_SLOT_WIN_2, 0, -1, MHz(923.3)), 0u);

  RxConfigParams_t params = {};
  RegionComputeRxWindowParameters(region(), 8, 6, 20, &params);
  EXPECT_EQ(params.Bandwidth, 2);
  EXPECT_EQ(params.WindowTimeout, 9u);  // SF12/500 kHz: 8192 us per symbol
  RegionComputeRxWindowParameters(region(), 40, 6, 20, &params);
  EXPECT_EQ(params.Datarate, 13);
}

TEST_P(FixedRegionTest, LinkAdrChannelMaskControls) {
  const FixedRow& row = GetParam();
  struct Case {
    const char* Name;
    std::vector<std::vector<uint8_t>> Blocks;
    uint8_t Status;
    std::vector<uint16_t> Mask;  // after the request
  };
  const uint8_t dr = static_cast<uint8_t>(row.Dr125Max);  // a 125 kHz rate
  const std::vector<uint16_t> start = {0x00FF, 0, 0, 0, 0x0001, 0};
  const Case cases[] = {
      {"Ctrl6AllNarrowPlusWide",
       {LinkAdrBlock(dr, 1, 0x00F0, 6, 1)},
       7,
       {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0x00F0, 0}},
      {"Ctrl7OneWideChannelAtANarrowRate", {LinkAdrBlock(1, 1, 0x0001, 7, 1)}, 4, start},
      {"Ctrl5SubBands", {LinkAdrBlock(dr, 1, 0x0006, 5, 1)}, 7, {0xFF00, 0x00FF, 0, 0, 0x0006, 0}},
      {"Ctrl0To4Words",
       {LinkAdrBlock(dr, 1, 0x0300, 0, 1), LinkAdrBlock(dr, 1, 0, 1, 1),
        LinkAdrBlock(dr, 1, 0, 2, 1), LinkAdrBlock(dr, 1, 0, 3, 1),
        LinkAdrBlock(dr, 1, 0x0080, 4, 1)},
       7,
       {0x0300, 0, 0, 0, 0x0080, 0}},
      {"OneNarrowChannelIsRefused", {LinkAdrBlock(dr, 1, 0x0001, 0, 1)}, 6, start},
      {"TxPower15KeepsTheCurrentPower",
       {LinkAdrBlock(dr, 15, 0x0003, 0, 1)},
       7,
       {0x0003, 0, 0, 0, 0x0001, 0}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(MaskSet(region(), start));
    std::vector<uint8_t> payload;
    for (const auto& block : c.Blocks) {
      payload.insert(payload.end(), block.begin(), block.end());
    }
    LinkAdrResult r = LinkAdr(region(), payload, 0, 3, 1);
    EXPECT_EQ(r.Status, c.Status) << c.Name;
    EXPECT_EQ(r.Parsed, payload.size()) << c.Name;
    EXPECT_EQ(Mask(region()), c.Mask) << c.Name;
  }

  // A wide rate on the one wide channel: accepted where a LinkADRReq may
  // ask for the wide rate.
  ASSERT_TRUE(MaskSet(region(), start));
  LinkAdrResult r = LinkAdr(region(), LinkAdrBlock(row.Dr500, 1, 0x0001, 7, 1));
  if (row.MaxUplinkDr >= row.Dr500) {
    EXPECT_EQ(r.Status, 0x07);
    EXPECT_EQ(Mask(region()), (std::vector<uint16_t>{0, 0, 0, 0, 0x0001, 0}));
  } else {
    EXPECT_EQ(r.Status, 0x05);
    EXPECT_EQ(Mask(region()), start);
  }

  // A TX power index past the region's lowest power (15 means "keep").
  if (row.MaxTxPower < 14) {
    ASSERT_TRUE(MaskSet(region(), start));
    r = LinkAdr(region(), LinkAdrBlock(dr, static_cast<uint8_t>(row.MaxTxPower + 1), 0x00FF, 0, 1));
    EXPECT_EQ(r.Status, 0x03);
    EXPECT_EQ(Mask(region()), start);
  }
}

TEST_P(FixedRegionTest, TxOnTheChannelFrequency) {
  const FixedRow& row = GetParam();
  TxResult tx = Tx(region(), 10, 0, 0, 30.0f);
  ASSERT_TRUE(tx.Ok);
  EXPECT_EQ(fake::radio.Channels.back(), row.Channel125Base + 10 * 200000u);
  EXPECT_EQ(fake::radio.TxConfigs.back().Bandwidth, 0u);
  EXPECT_EQ(fake::radio.TxConfigs.back().Datarate, row.SpreadingFactors[0]);
  tx = Tx(region(), 66, row.Dr500, 0, 30.0f);
  ASSERT_TRUE(tx.Ok);
  EXPECT_EQ(fake::radio.Channels.back(), row.Channel500Base + 2 * 1600000u);
  EXPECT_EQ(fake::radio.TxConfigs.back().Bandwidth, 2u);
  EXPECT_EQ(fake::radio.TimeOnAirs.back().Bandwidth, 2u);

  EXPECT_FALSE(Tx(region(), 72, 0, 0, 30.0f).Ok);
  EXPECT_FALSE(Tx(region(), 0, 7, 0, 30.0f).Ok);  // undefined data rate
  EXPECT_FALSE(Tx(region(), 0, 16, 0, 30.0f).Ok);
  EXPECT_FALSE(Tx(region(), 0, -2, 0, 30.0f).Ok);
}

TEST_P(FixedRegionTest, CfListOfChannelMasks) {
  ApplyCfList(region(), 0, MaskCfList({0x00FF, 0x0000, 0x0000, 0x0000, 0x0001}));
  std::vector<uint16_t> expected = {0x00FF, 0, 0, 0, 0x0001, 0};
  if (region() == LORAMAC_REGION_LA915) {
    expected[5] = 0;
  }
  EXPECT_EQ(Mask(region()), expected);
  if (region() == LORAMAC_REGION_LA915) {
    EXPECT_EQ(Mask(region(), PHY_CHANNELS_DEFAULT_MASK), GetParam().DefaultMask);  // kept
  } else {
    EXPECT_EQ(Mask(region(), PHY_CHANNELS_DEFAULT_MASK), expected);
    EXPECT_EQ(Remaining(), expected);
  }

  // Other types, lengths, and a list enabling no channel change nothing.
  std::vector<uint8_t> typeZero = MaskCfList({0xFFFF, 0xFFFF});
  typeZero[15] = 0;
  ApplyCfList(region(), 0, typeZero);
  std::vector<uint8_t> shortList = MaskCfList({0xFFFF, 0xFFFF});
  shortList.pop_back();
  ApplyCfList(region(), 0, shortList);
  ApplyCfList(region(), 0, MaskCfList({0, 0, 0, 0, 0}));
  ApplyCfList(region(), 0, {});
  EXPECT_EQ(Mask(region()), expected);
}

TEST_P(FixedRegionTest, MasksWithoutAnyChannelAreRefused) {
  const FixedRow& row = GetParam();
  // A sub-band choice of 0x0100 (only the group after the wide channels)
  // and an empty mask leave no channel of the plan.
  EXPECT_FALSE(MaskSet(region(), {0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(MaskSet(region(), {0, 0, 0, 0, 0xFF00, 0xFFFF}));
  EXPECT_FALSE(MaskSet(region(), {0, 0, 0, 0, 0}, CHANNELS_DEFAULT_MASK));
  EXPECT_EQ(Mask(region()), row.DefaultMask);

  // Sub-band 2 (channels 8-15) and its wide channel 65.
  EXPECT_TRUE(MaskSet(region(), {0xFF00, 0, 0, 0, 0x0002, 0}));
  EXPECT_EQ(Mask(region()), (std::vector<uint16_t>{0xFF00, 0, 0, 0, 0x0002, 0}));
  EXPECT_TRUE(MaskSet(region(), {0xFF00, 0, 0, 0, 0x0002, 0}, CHANNELS_DEFAULT_MASK));
  EXPECT_EQ(Mask(region(), PHY_CHANNELS_DEFAULT_MASK),
            (std::vector<uint16_t>{0xFF00, 0, 0, 0, 0x0002, 0}));
  EXPECT_FALSE(MaskSet(region(), {0xFF00}, static_cast<ChannelsMask_t>(2)));

  UseSpreadRandom();
  for (int i = 0; i < 30; i++) {
    NextChannelResult next = Next(region(), 0, true);
    ASSERT_EQ(next.Status, LORAMAC_STATUS_OK);
    EXPECT_GE(next.Channel, 8);
    EXPECT_LE(next.Channel, 15);
  }
}

TEST_P(FixedRegionTest, UsedChannelsLeaveTheRemainingMaskUntilAllAreUsed) {
  ASSERT_TRUE(MaskSet(region(), {0x0003, 0, 0, 0, 0, 0}));
  UseSpreadRandom();
  std::multiset<uint8_t> seen;
  for (int i = 0; i < 6; i++) {
    NextChannelResult next = Next(region(), 0, true);
    ASSERT_EQ(next.Status, LORAMAC_STATUS_OK);
    seen.insert(next.Channel);
    if (i % 2 == 1) {
      // Each pair of uplinks used both channels once.
      EXPECT_EQ(seen.count(0), seen.count(1));
    }
  }
}

TEST_P(FixedRegionTest, BadInputDoesNotReachPastTheTables) {
  SetBandTxDoneParams_t txDone = {200, true, 0, 1000, {0, 0}};
  RegionSetBandTxDone(region(), &txDone);
  EXPECT_EQ(LinkAdr(region(), {0x03, 0x50}).Parsed, 0);
  EXPECT_EQ(LinkAdr(region(), {0x03, 0x50, 0xFF, 0xFF, 0x01, 0x03, 0x50}).Parsed, 5);
  EXPECT_EQ(Value(region(), PHY_NEXT_LOWER_TX_DR, -100), Value(region(), PHY_MIN_TX_DR));
}

INSTANTIATE_TEST_SUITE_P(Regions, FixedRegionTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------------------
// US915 and AU915: join rotation, data-rate alternation, single-channel hooks

struct JoinRow {
  const char* Name;
  LoRaMacRegion_t Region;
  int8_t Low;
  int8_t High;
};

class JoinTest : public RegionTest, public ::testing::WithParamInterface<JoinRow> {
 protected:
  void SetUp() override {
    RegionTest::SetUp();
    Init(GetParam().Region);
  }

  void TearDown() override {
    SingleChannel_t none = {nullptr, nullptr};
    US915_SingleChannelRegisterCallback(&none);
    AU915_SingleChannelRegisterCallback(&none);
  }

  static int32_t Register(LoRaMacRegion_t region, SingleChannel_t* hooks) {
    return (region == LORAMAC_REGION_US915) ? US915_SingleChannelRegisterCallback(hooks)
                                            : AU915_SingleChannelRegisterCallback(hooks);
  }
};

TEST_P(JoinTest, JoinRequestsWalkTheEightGroupsThenStartOver) {
  const JoinRow& row = GetParam();
  UseSpreadRandom();
  std::set<uint8_t> used;
  for (int i = 0; i < 64; i++) {
    NextChannelResult next = Next(row.Region, row.Low, false);
    ASSERT_EQ(next.Status, LORAMAC_STATUS_OK) << i;
    EXPECT_EQ(next.Channel / 8, i % 8) << "request " << i;
    EXPECT_TRUE(used.insert(next.Channel).second)
        << "channel " << int(next.Channel) << " used twice";
  }
  EXPECT_EQ(used.size(), 64u);
  // Every narrow channel used once: refilled, and the walk restarts at group 0.
  NextChannelResult next = Next(row.Region, row.Low, false);
  ASSERT_EQ(next.Status, LORAMAC_STATUS_OK);
  EXPECT_EQ(next.Channel / 8, 0);
  EXPECT_EQ(storage.group1.JoinChannelGroupsCurrentIndex, 1);
}

TEST_P(JoinTest, GroupsOutsideTheMaskAreSkipped) {
  const JoinRow& row = GetParam();
  ASSERT_TRUE(
      MaskSet(row.Region, {0x0000, 0xFF00, 0, 0, 0x0008, 0}));  // sub-band 4 (channels 24-31)
  for (int i = 0; i < 8; i++) {
    NextChannelResult next = Next(row.Region, row.Low, false);
    ASSERT_EQ(next.Status, LORAMAC_STATUS_OK);
    EXPECT_EQ(next.Channel / 8, 3);
  }
}

TEST_P(JoinTest, WideJoinRequestsTakeTheLowestRemainingWideChannel) {
  const JoinRow& row = GetParam();
  ASSERT_TRUE(MaskSet(row.Region, {0xFFFF, 0, 0, 0, 0x0024, 0}));  // channels 66 and 69
  NextChannelResult next = Next(row.Region, row.High, false);
  ASSERT_EQ(next.Status, LORAMAC_STATUS_OK);
  EXPECT_EQ(next.Channel, 66);
  next = Next(row.Region, row.High, false);
  EXPECT_EQ(next.Channel, 69);
  next = Next(row.Region, row.High, false);  // refilled
  EXPECT_EQ(next.Channel, 66);
}

TEST_P(JoinTest, NarrowJoinRatesAllWalkTheNarrowGroups) {
  const JoinRow& row = GetParam();
  // Even with every wide channel off, a narrow rate other than the usual
  // join rate stays on the narrow channels.
  ASSERT_TRUE(MaskSet(row.Region, {0xFFFF, 0, 0, 0, 0, 0}));
  for (int8_t dr = 0; dr <= row.High - 1; dr++) {
    NextChannelResult next = Next(row.Region, dr, false);
    ASSERT_EQ(next.Status, LORAMAC_STATUS_OK) << int(dr);
    EXPECT_LT(next.Channel, 16) << int(dr);
  }
}

TEST_P(JoinTest, WideJoinRequestWithoutWideChannelFindsNoChannel) {
  const JoinRow& row = GetParam();
  ASSERT_TRUE(MaskSet(row.Region, {0xFFFF, 0, 0, 0, 0, 0}));
  NextChannelResult next = Next(row.Region, row.High, false);
  EXPECT_EQ(next.Status, LORAMAC_STATUS_NO_CHANNEL_FOUND);
  EXPECT_EQ(next.Channel, 0xEE);
}

TEST_P(JoinTest, DataRateAlternatesHighEveryNinthTrial) {
  const JoinRow& row = GetParam();
  for (int i = 1; i <= 18; i++) {
    EXPECT_EQ(RegionAlternateDr(row.Region, 0, ALTERNATE_DR), (i % 9 == 0) ? row.High : row.Low)
        << i;
  }
  EXPECT_EQ(storage.group1.JoinTrialsCounter, 18);
  EXPECT_EQ(RegionAlternateDr(row.Region, 0, ALTERNATE_DR_RESTORE), row.Low);  // 17
  EXPECT_EQ(storage.group1.JoinTrialsCounter, 17);

  // A fresh initialisation starts counting again.
  Init(row.Region);
  EXPECT_EQ(storage.group1.JoinTrialsCounter, 0);
}

uint8_t gHookDr = 0;
uint32_t gSingleChannel = 0;

TEST_P(JoinTest, SingleChannelHooks) {
  const JoinRow& row = GetParam();
  SingleChannel_t hooks = {[]() -> uint32_t { return gSingleChannel; },
                           []() -> uint8_t { return gHookDr; }};
  EXPECT_EQ(Register(row.Region, &hooks), 0);
  EXPECT_EQ(Register(row.Region, nullptr), -1);

  // A hook data rate wins and the trial counter stays.
  gHookDr = static_cast<uint8_t>(row.High);
  EXPECT_EQ(RegionAlternateDr(row.Region, 0, ALTERNATE_DR), row.High);
  EXPECT_EQ(RegionAlternateDr(row.Region, 0, ALTERNATE_DR), row.High);
  EXPECT_EQ(storage.group1.JoinTrialsCounter, 0);
  gHookDr = 0;  // no opinion
  EXPECT_EQ(RegionAlternateDr(row.Region, 0, ALTERNATE_DR), row.Low);
  EXPECT_EQ(storage.group1.JoinTrialsCounter, 1);

  // In single-channel mode the CFList is ignored.
  gSingleChannel = MHz(904.6);
  ApplyCfList(row.Region, 0, MaskCfList({0x0001}));
  EXPECT_EQ(Mask(row.Region)[0], 0xFFFF);
  gSingleChannel = 0;
  ApplyCfList(row.Region, 0, MaskCfList({0x0001, 0, 0, 0, 0x0001}));
  EXPECT_EQ(Mask(row.Region)[0], 0x0001);
}

INSTANTIATE_TEST_SUITE_P(Regions, JoinTest,
                         ::testing::Values(JoinRow{"US915", LORAMAC_REGION_US915, 0, 4},
                                           JoinRow{"AU915", LORAMAC_REGION_AU915, 2, 6}),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------------------
// Region by region

class US915Test : public RegionTest {
 protected:
  void SetUp() override {
    RegionTest::SetUp();
    Init(LORAMAC_REGION_US915);
  }
};

TEST_F(US915Test, TxPowerFromThirtyDbmWithTheChannelCountRules) {
  // All 64 narrow channels on: index 0 is 30 dBm.
  TxResult tx = Tx(LORAMAC_REGION_US915, 0, 1, 0, 14.0f, 5.0f);
  ASSERT_TRUE(tx.Ok);
  EXPECT_EQ(tx.TxPower, 0);
  EXPECT_EQ(fake::radio.TxConfigs.back().Power, 30);

  // Eight channels: at most 21 dBm, index raised to 5 (20 dBm).
  ASSERT_TRUE(MaskSet(LORAMAC_REGION_US915, {0x00FF, 0, 0, 0, 0x0001, 0}));
  tx = Tx(LORAMAC_REGION_US915, 0, 1, 2, 30.0f);
  EXPECT_EQ(tx.TxPower, 5);
  EXPECT_EQ(fake::radio.TxConfigs.back().Power, 20);
  tx = Tx(LORAMAC_REGION_US915, 0, 1, 7, 30.0f);
  EXPECT_EQ(tx.TxPower, 7);
  EXPECT_EQ(fake::radio.TxConfigs.back().Power, 16);

  // The wide data rate: at most 26 dBm, index raised to 2.
  tx = Tx(LORAMAC_REGION_US915, 64, 4, 0, 30.0f);
  EXPECT_EQ(tx.TxPower, 2);
  EXPECT_EQ(fake::radio.TxConfigs.back().Power, 26);

  EXPECT_FLOAT_EQ(Get(LORAMAC_REGION_US915, PHY_DEF_MAX_EIRP).fValue, 32.15f);
}

TEST_F(US915Test, NextLowerDataRateFollowsTheMask) {
  EXPECT_EQ(Value(LORAMAC_REGION_US915, PHY_NEXT_LOWER_TX_DR, 4), 3u);
  EXPECT_EQ(Value(LORAMAC_REGION_US915, PHY_NEXT_LOWER_TX_DR, 0), 0u);
}

class AU915Test : public RegionTest {
 protected:
  void SetUp() override {
    RegionTest::SetUp();
    Init(LORAMAC_REGION_AU915);
  }
};

TEST_F(AU915Test, DwellTimeRaisesTheLowestRates) {
  EXPECT_EQ(Value(LORAMAC_REGION_AU915, PHY_DEF_UPLINK_DWELL_TIME), 1u);
  EXPECT_EQ(Value(LORAMAC_REGION_AU915, PHY_MIN_TX_DR, 0, 1), 2u);
  EXPECT_EQ(Value(LORAMAC_REGION_AU915, PHY_MIN_TX_DR, 0, 0), 0u);
  EXPECT_EQ(Value(LORAMAC_REGION_AU915, PHY_MIN_RX_DR, 0, 0, 1), 2u);
  EXPECT_FALSE(VerifyDr(LORAMAC_REGION_AU915, PHY_TX_DR, 1, 1));
  EXPECT_TRUE(VerifyDr(LORAMAC_REGION_AU915, PHY_TX_DR, 2, 1));
  EXPECT_TRUE(VerifyDr(LORAMAC_REGION_AU915, PHY_TX_DR, 6, 1));
  EXPECT_FALSE(VerifyDr(LORAMAC_REGION_AU915, PHY_TX_DR, 8, 1));  // downlink-only
  EXPECT_EQ(Value(LORAMAC_REGION_AU915, PHY_NEXT_LOWER_TX_DR, 2, 1), 2u);
  EXPECT_EQ(Value(LORAMAC_REGION_AU915, PHY_NEXT_LOWER_TX_DR, 2, 0), 1u);

  LinkAdrResult r =
      LinkAdr(LORAMAC_REGION_AU915, LinkAdrBlock(1, 0, 0x00FF, 0, 1), 2, 0, 1, true, 1);
  EXPECT_EQ(r.Status & 0x02, 0);

  // TX power from the MAC's EIRP and antenna gain.
  ASSERT_TRUE(Tx(LORAMAC_REGION_AU915, 0, 2, 3, 30.0f, 2.0f).Ok);
  EXPECT_EQ(fake::radio.TxConfigs.back().Power, 22);
}

class LA915Test : public RegionTest {
 protected:
  void SetUp() override {
    RegionTest::SetUp();
    Init(LORAMAC_REGION_LA915);
  }
};

TEST_F(LA915Test, KeepsItsStateOutsideTheMacGroups) {
  Storage untouched{};
  EXPECT_EQ(std::memcmp(&storage, &untouched, sizeof(storage)), 0);
  EXPECT_NE(Channels(LORAMAC_REGION_LA915), storage.group2.Channels);
}

TEST_F(LA915Test, StartsOnChannelsZeroToSevenAndAlternatesJoinRates) {
  UseSpreadRandom();
  std::set<uint8_t> channels;
  int8_t first = RegionAlternateDr(LORAMAC_REGION_LA915, 0, ALTERNATE_DR);
  for (int i = 0; i < 40; i++) {
    int8_t dr =
        RegionAlternateDr(LORAMAC_REGION_LA915, 0, (i % 2) ? ALTERNATE_DR : ALTERNATE_DR_RESTORE);
    EXPECT_EQ(dr, (i % 2 == 0) ? (first == 2 ? 6 : 2) : first) << i;
    NextChannelResult next = Next(LORAMAC_REGION_LA915, 2, false);
    ASSERT_EQ(next.Status, LORAMAC_STATUS_OK);
    channels.insert(next.Channel);
  }
  EXPECT_EQ(*channels.rbegin(), 7);
  EXPECT_EQ(channels.size(), 8u);
  // The alternation switches every wide channel on.
  EXPECT_EQ(Mask(LORAMAC_REGION_LA915)[4], 0x00FF);
}

TEST_F(LA915Test, WideChannelsStayInTheRemainingMaskAndBitsPast71AreNeverChosen) {
  ASSERT_TRUE(MaskSet(LORAMAC_REGION_LA915, {0, 0, 0, 0, 0xFF01, 0xFFFF}));
  for (int i = 0; i < 10; i++) {
    NextChannelResult next = Next(LORAMAC_REGION_LA915, 6, true);
    ASSERT_EQ(next.Status, LORAMAC_STATUS_OK);
    EXPECT_EQ(next.Channel, 64);
  }
}

TEST_F(LA915Test, AnswersOnlyUpToThePingSlotDataRate) {
  EXPECT_EQ(Value(LORAMAC_REGION_LA915, PHY_BEACON_CHANNEL_FREQ), 0u);
  EXPECT_EQ(Value(LORAMAC_REGION_LA915, PHY_PING_SLOT_CHANNEL_FREQ), 0u);
  EXPECT_EQ(Value(LORAMAC_REGION_LA915, PHY_PING_SLOT_NB_CHANNELS), 0u);
  EXPECT_EQ(Value(LORAMAC_REGION_LA915, PHY_SF_FROM_DR, 0), 0u);
  EXPECT_EQ(Value(LORAMAC_REGION_LA915, PHY_BW_FROM_DR, 6), 0u);
  BeaconFormat_t format = Get(LORAMAC_REGION_LA915, PHY_BEACON_FORMAT).BeaconFormat;
  EXPECT_EQ(format.BeaconSize, 19);
  EXPECT_EQ(format.Rfu1Size, 2);
  EXPECT_EQ(format.Rfu2Size, 1);
  EXPECT_FLOAT_EQ(Get(LORAMAC_REGION_LA915, PHY_DEF_MAX_EIRP).fValue, 30.0f);
}

TEST_F(LA915Test, NextLowerDataRateWithoutTheMask) {
  struct Case {
    int8_t Dr;
    uint8_t Dwell;
    uint32_t Expected;
  };
  const Case cases[] = {{0, 0, 0}, {3, 0, 2}, {6, 0, 5}, {8, 0, 6}, {10, 0, 9},
                        {2, 1, 2}, {3, 1, 2}, {8, 1, 6}, {0, 1, 2}};
  for (const Case& c : cases) {
    EXPECT_EQ(Value(LORAMAC_REGION_LA915, PHY_NEXT_LOWER_TX_DR, c.Dr, c.Dwell), c.Expected)
        << "DR" << int(c.Dr) << " dwell " << int(c.Dwell);
  }
}

TEST_F(LA915Test, ResetRestoresTheDefaultMask) {
  ASSERT_TRUE(MaskSet(LORAMAC_REGION_LA915, {0xFF00, 0, 0, 0, 0, 0}));
  InitType(LORAMAC_REGION_LA915, INIT_TYPE_RESET_TO_DEFAULT_CHANNELS);
  EXPECT_EQ(Mask(LORAMAC_REGION_LA915), (std::vector<uint16_t>{0x00FF, 0, 0, 0, 0, 0}));
}

// ---------------------------------------------------------------------------
// Shared routines

TEST(RegionBaseUS, FrequencyGroupAndDownlinkFrequency) {
  EXPECT_TRUE(RegionBaseUSVerifyFrequencyGroup(MHz(923.9), MHz(923.3), MHz(927.5), 600000));
  EXPECT_FALSE(RegionBaseUSVerifyFrequencyGroup(MHz(924.0), MHz(923.3), MHz(927.5), 600000));
  EXPECT_FALSE(RegionBaseUSVerifyFrequencyGroup(MHz(928.1), MHz(923.3), MHz(927.5), 600000));
  EXPECT_FALSE(RegionBaseUSVerifyFrequencyGroup(MHz(922.7), MHz(923.3), MHz(927.5), 600000));
  EXPECT_EQ(RegionBaseUSCalcDownlinkFrequency(5, MHz(923.3), 600000), MHz(926.3));
}

TEST(RegionBaseUS, JoinChannelOfTheNextGroupWithARemainingChannel) {
  fake::Reset();
  uint16_t remaining[6] = {0x0000, 0x8000, 0, 0, 0, 0};
  uint8_t group = 0;
  uint8_t channel = 0;
  EXPECT_EQ(RegionBaseUSComputeNext125kHzJoinChannel(remaining, &group, &channel),
            LORAMAC_STATUS_OK);
  EXPECT_EQ(channel, 31);
  EXPECT_EQ(group, 4);
  EXPECT_EQ(RegionBaseUSComputeNext125kHzJoinChannel(remaining, &group, &channel),
            LORAMAC_STATUS_OK);
  EXPECT_EQ(channel, 31);  // the walk wraps around
  uint16_t none[6] = {0};
  EXPECT_EQ(RegionBaseUSComputeNext125kHzJoinChannel(none, &group, &channel),
            LORAMAC_STATUS_PARAMETER_INVALID);
  EXPECT_EQ(RegionBaseUSComputeNext125kHzJoinChannel(nullptr, &group, &channel),
            LORAMAC_STATUS_PARAMETER_INVALID);
  EXPECT_EQ(RegionBaseUSComputeNext125kHzJoinChannel(remaining, nullptr, &channel),
            LORAMAC_STATUS_PARAMETER_INVALID);
}

}  // namespace
