// CN470 and its four channel plans. Expected values are those of the LoRaWAN
// Regional Parameters for the CN470 plans.
#include "RegionCN470.h"
#include "region_test_support.h"

using namespace region_test;

namespace {

constexpr LoRaMacRegion_t CN470 = LORAMAC_REGION_CN470;

// The common join channels: uplink and RX1 frequencies.
const uint32_t kJoinUplink[20] = {MHz(470.9), MHz(472.5), MHz(474.1), MHz(475.7), MHz(504.1),
                                  MHz(505.7), MHz(507.3), MHz(508.9), MHz(479.9), MHz(499.9),
                                  MHz(470.3), MHz(472.3), MHz(474.3), MHz(476.3), MHz(478.3),
                                  MHz(480.3), MHz(482.3), MHz(484.3), MHz(486.3), MHz(488.3)};
const uint32_t kJoinRx1[20] = {MHz(484.5), MHz(486.1), MHz(487.7), MHz(489.3), MHz(490.9),
                               MHz(492.5), MHz(494.1), MHz(495.7), MHz(479.9), MHz(499.9),
                               MHz(492.5), MHz(492.5), MHz(492.5), MHz(492.5), MHz(492.5),
                               MHz(502.5), MHz(502.5), MHz(502.5), MHz(502.5), MHz(502.5)};

class CN470Test : public RegionTest {
 protected:
  void SetUp() override {
    RegionTest::SetUp();
    Init(CN470);
  }

  // The join accept of a join request sent on common join channel `joinChannel`.
  void JoinAcceptedOn(uint8_t joinChannel, std::vector<uint8_t> cfList = {}) {
    ApplyCfList(CN470, joinChannel, cfList);
  }

  // The uplink frequency TxConfig tunes to for a channel chosen by NextChannel.
  uint32_t UplinkFrequency(bool joined) {
    NextChannelResult next = Next(CN470, 2, joined);
    EXPECT_EQ(next.Status, LORAMAC_STATUS_OK);
    if (next.Status != LORAMAC_STATUS_OK || !Tx(CN470, next.Channel, 2, 0, 19.15f).Ok) {
      return 0;
    }
    return fake::radio.Channels.back();
  }
};

TEST_F(CN470Test, StartsOnThe20MHzTypeAPlan) {
  EXPECT_EQ(storage.group2.ChannelPlan, CHANNEL_PLAN_20MHZ_TYPE_A);
  EXPECT_FALSE(storage.group2.IsOtaaDevice);
  EXPECT_EQ(storage.group2.CommonJoinChannelIndex, 0);
  ChannelParams_t* channels = Channels(CN470);
  for (uint8_t n = 0; n < 96; n++) {
    uint32_t expected = (n < 32)   ? MHz(470.3) + 200000u * n
                        : (n < 64) ? MHz(503.5) + 200000u * (n - 32)
                                   : 0;
    EXPECT_EQ(channels[n].Frequency, expected) << int(n);
    if (n < 64) {
      EXPECT_EQ(channels[n].DrRange.Fields.Min, 1);
      EXPECT_EQ(channels[n].DrRange.Fields.Max, 5);
    }
  }
  std::vector<uint16_t> mask = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0, 0};
  EXPECT_EQ(Mask(CN470), mask);
  EXPECT_EQ(Mask(CN470, PHY_CHANNELS_DEFAULT_MASK), mask);
  EXPECT_EQ(std::vector<uint16_t>(storage.group1.ChannelsMaskRemaining,
                                  storage.group1.ChannelsMaskRemaining + 6),
            mask);
  // An ABP device of this plan uses 486.9 MHz for RX2.
  EXPECT_EQ(Value(CN470, PHY_DEF_RX2_FREQUENCY), MHz(486.9));
}

TEST_F(CN470Test, RegionAnswers) {
  EXPECT_EQ(Value(CN470, PHY_MIN_TX_DR), 1u);
  EXPECT_EQ(Value(CN470, PHY_MIN_RX_DR), 1u);
  EXPECT_EQ(Value(CN470, PHY_DEF_TX_DR), 1u);
  EXPECT_EQ(Value(CN470, PHY_DEF_RX2_DR), 1u);
  EXPECT_EQ(Value(CN470, PHY_MAX_NB_CHANNELS), 96u);
  EXPECT_FLOAT_EQ(Get(CN470, PHY_DEF_MAX_EIRP).fValue, 19.15f);
  EXPECT_EQ(Value(CN470, PHY_RECEIVE_DELAY1), 1000u);
  EXPECT_EQ(Value(CN470, PHY_JOIN_ACCEPT_DELAY1), 5000u);
  EXPECT_EQ(Value(CN470, PHY_MAX_RX_WINDOW), 3000u);
  EXPECT_EQ(Value(CN470, PHY_DUTY_CYCLE), 0u);
  EXPECT_EQ(Value(CN470, PHY_BEACON_CHANNEL_DR), 2u);
  EXPECT_EQ(Value(CN470, PHY_PING_SLOT_CHANNEL_DR), 2u);
  BeaconFormat_t format = Get(CN470, PHY_BEACON_FORMAT).BeaconFormat;
  EXPECT_EQ(format.BeaconSize, 19);
  EXPECT_EQ(format.Rfu1Size + 1 + 4 + 2 + 7 + format.Rfu2Size + 2, 19);

  const uint8_t sf[8] = {12, 11, 10, 9, 8, 7, 7, 50};
  const uint8_t bw[8] = {0, 0, 0, 0, 0, 0, 2, 0};
  const uint8_t payload[8] = {0, 23, 86, 184, 242, 242, 242, 242};
  for (int8_t dr = 0; dr < 8; dr++) {
    EXPECT_EQ(Value(CN470, PHY_SF_FROM_DR, dr), sf[dr]) << int(dr);
    EXPECT_EQ(Value(CN470, PHY_BW_FROM_DR, dr), bw[dr]) << int(dr);
    EXPECT_EQ(Value(CN470, PHY_MAX_PAYLOAD, dr), payload[dr]) << int(dr);
  }
  EXPECT_EQ(Value(CN470, PHY_MAX_PAYLOAD, 8), 0u);
  EXPECT_EQ(Value(CN470, PHY_MAX_PAYLOAD, -1), 0u);

  for (int8_t dr = -1; dr < 9; dr++) {
    bool valid = dr >= 1 && dr <= 5;
    EXPECT_EQ(VerifyDr(CN470, PHY_TX_DR, dr), valid) << int(dr);
    EXPECT_EQ(VerifyDr(CN470, PHY_RX_DR, dr), valid) << int(dr);
  }
  EXPECT_TRUE(VerifyTxPower(CN470, 7));
  EXPECT_FALSE(VerifyTxPower(CN470, 8));

  ChannelParams_t channel = {MHz(471.1), 0, {0x51}, 0};
  NewChannelReqParams_t newChannel = {&channel, 3};
  EXPECT_EQ(RegionNewChannelReq(CN470, &newChannel), -1);
  TxParamSetupReqParams_t txParam = {};
  EXPECT_EQ(RegionTxParamSetupReq(CN470, &txParam), -1);
  DlChannelReqParams_t dl = {0, MHz(484.5)};
  EXPECT_EQ(RegionDlChannelReq(CN470, &dl), -1);
  EXPECT_EQ(RegionAlternateDr(CN470, 3, ALTERNATE_DR), 3);
}

TEST_F(CN470Test, Rx1DataRateTable) {
  const uint8_t table[8][6] = {
      {0, 0, 0, 0, 0, 0}, {1, 1, 1, 1, 1, 1}, {2, 1, 1, 1, 1, 1}, {3, 2, 1, 1, 1, 1},
      {4, 3, 2, 1, 1, 1}, {5, 4, 3, 2, 1, 1}, {6, 5, 4, 3, 2, 1}, {7, 6, 5, 4, 3, 2},
  };
  for (int8_t dr = 0; dr < 8; dr++) {
    for (int8_t offset = 0; offset < 6; offset++) {
      EXPECT_EQ(RegionApplyDrOffset(CN470, 0, dr, offset), table[dr][offset]);
    }
  }
  EXPECT_EQ(RegionApplyDrOffset(CN470, 0, 50, 50), 2);
  EXPECT_EQ(RegionApplyDrOffset(CN470, 0, -1, -1), 0);
}

// ---------------------------------------------------------------------------
// Plan selection by the join channel

struct PlanRow {
  uint8_t JoinChannel;
  RegionCN470ChannelPlan_t Plan;
  uint8_t NbChannels;
  uint32_t Channel0;
  uint32_t Rx2Otaa;
  uint32_t Beacon;
  uint32_t PingSlot;
  uint32_t BeaconOffset;
  uint32_t NbBeaconChannels;
  uint32_t NbPingSlotChannels;
  std::vector<std::pair<uint8_t, uint32_t>> Rx1;  // uplink channel, its downlink frequency
};

class PlanTest : public CN470Test, public ::testing::WithParamInterface<PlanRow> {};

TEST_P(PlanTest, TheJoinChannelDecidesThePlan) {
  const PlanRow& row = GetParam();
  JoinAcceptedOn(row.JoinChannel);
  EXPECT_EQ(storage.group2.ChannelPlan, row.Plan);
  EXPECT_EQ(storage.group2.CommonJoinChannelIndex, row.JoinChannel);
  EXPECT_TRUE(storage.group2.IsOtaaDevice);

  EXPECT_EQ(Value(CN470, PHY_DEF_RX2_FREQUENCY), row.Rx2Otaa);
  EXPECT_EQ(Value(CN470, PHY_BEACON_CHANNEL_FREQ, 0, 0, 0, 0), row.Beacon);
  EXPECT_EQ(Value(CN470, PHY_PING_SLOT_CHANNEL_FREQ, 0, 0, 0, 0), row.PingSlot);
  EXPECT_EQ(Value(CN470, PHY_BEACON_CHANNEL_OFFSET), row.BeaconOffset);
  EXPECT_EQ(Value(CN470, PHY_BEACON_NB_CHANNELS), row.NbBeaconChannels);
  EXPECT_EQ(Value(CN470, PHY_PING_SLOT_NB_CHANNELS), row.NbPingSlotChannels);

  // The channel table and the masks are the plan's.
  ChannelParams_t* channels = Channels(CN470);
  EXPECT_EQ(channels[0].Frequency, row.Channel0);
  EXPECT_NE(channels[row.NbChannels - 1].Frequency, 0u);
  EXPECT_EQ(channels[row.NbChannels].Frequency, 0u);
  uint16_t words = row.NbChannels / 16;
  std::vector<uint16_t> mask(6, 0);
  for (uint16_t i = 0; i < words; i++) {
    mask[i] = 0xFFFF;
  }
  EXPECT_EQ(Mask(CN470, PHY_CHANNELS_DEFAULT_MASK), mask);
  EXPECT_EQ(Mask(CN470), mask);

  // Downlinks on the plan's RX1 frequencies, accepted by its frequency check.
  for (const auto& [channel, rx1] : row.Rx1) {
    EXPECT_EQ(RxFrequency(CN470, RX_SLOT_WIN_1, channel, 2), rx1) << int(channel);
    EXPECT_TRUE(VerifyFrequency(CN470, rx1)) << rx1;
  }
  EXPECT_EQ(RxFrequency(CN470, RX_SLOT_WIN_2, 0, 1), row.Rx2Otaa);
  EXPECT_TRUE(VerifyFrequency(CN470, row.Rx2Otaa));
  EXPECT_EQ(RxFrequency(CN470, RX_SLOT_WIN_1, row.NbChannels, 2), 0u);  // no such channel
}

INSTANTIATE_TEST_SUITE_P(
    JoinChannels, PlanTest,
    ::testing::Values(
        PlanRow{0,
                CHANNEL_PLAN_20MHZ_TYPE_A,
                64,
                MHz(470.3),
                MHz(485.3),
                MHz(483.9),
                MHz(483.9),
                0,
                8,
                8,
                {{0, MHz(483.9)}, {31, MHz(490.1)}, {32, MHz(490.3)}, {63, MHz(496.5)}}},
        PlanRow{5,
                CHANNEL_PLAN_20MHZ_TYPE_A,
                64,
                MHz(470.3),
                MHz(493.3),
                MHz(483.9),
                MHz(483.9),
                40,
                8,
                8,
                {{10, MHz(485.9)}}},
        PlanRow{6,
                CHANNEL_PLAN_20MHZ_TYPE_A,
                64,
                MHz(470.3),
                MHz(494.9),
                MHz(483.9),
                MHz(483.9),
                48,
                8,
                8,
                {{1, MHz(484.1)}}},
        PlanRow{7,
                CHANNEL_PLAN_20MHZ_TYPE_A,
                64,
                MHz(470.3),
                MHz(496.5),
                MHz(483.9),
                MHz(483.9),
                56,
                8,
                8,
                {{1, MHz(484.1)}}},
        PlanRow{8,
                CHANNEL_PLAN_20MHZ_TYPE_B,
                64,
                MHz(476.9),
                MHz(478.3),
                MHz(481.5),
                MHz(476.9),
                0,
                1,
                32,
                {{0, MHz(476.9)}, {31, MHz(483.1)}, {32, MHz(496.9)}, {63, MHz(503.1)}}},
        PlanRow{9,
                CHANNEL_PLAN_20MHZ_TYPE_B,
                64,
                MHz(476.9),
                MHz(498.3),
                MHz(501.5),
                MHz(476.9),
                32,
                1,
                32,
                {{40, MHz(498.5)}}},
        PlanRow{12,
                CHANNEL_PLAN_26MHZ_TYPE_A,
                48,
                MHz(470.3),
                MHz(492.5),
                MHz(494.9),
                MHz(494.9),
                0,
                1,
                1,
                {{0, MHz(490.1)},
                 {23, MHz(494.7)},
                 {24, MHz(490.1)},
                 {30, MHz(491.3)},
                 {47, MHz(494.7)}}},
        PlanRow{17,
                CHANNEL_PLAN_26MHZ_TYPE_B,
                48,
                MHz(480.3),
                MHz(502.5),
                MHz(504.9),
                MHz(504.9),
                0,
                1,
                1,
                {{0, MHz(500.1)}, {30, MHz(501.3)}}},
        PlanRow{25,
                CHANNEL_PLAN_20MHZ_TYPE_A,
                64,
                MHz(470.3),
                MHz(486.9),
                MHz(483.9),
                MHz(483.9),
                200,
                8,
                8,
                {{0, MHz(483.9)}}}),
    [](const auto& info) { return "JoinChannel" + std::to_string(info.param.JoinChannel); });

TEST_F(CN470Test, EveryJoinChannelSelectsItsPlan) {
  const RegionCN470ChannelPlan_t expected[20] = {
      CHANNEL_PLAN_20MHZ_TYPE_A, CHANNEL_PLAN_20MHZ_TYPE_A, CHANNEL_PLAN_20MHZ_TYPE_A,
      CHANNEL_PLAN_20MHZ_TYPE_A, CHANNEL_PLAN_20MHZ_TYPE_A, CHANNEL_PLAN_20MHZ_TYPE_A,
      CHANNEL_PLAN_20MHZ_TYPE_A, CHANNEL_PLAN_20MHZ_TYPE_A, CHANNEL_PLAN_20MHZ_TYPE_B,
      CHANNEL_PLAN_20MHZ_TYPE_B, CHANNEL_PLAN_26MHZ_TYPE_A, CHANNEL_PLAN_26MHZ_TYPE_A,
      CHANNEL_PLAN_26MHZ_TYPE_A, CHANNEL_PLAN_26MHZ_TYPE_A, CHANNEL_PLAN_26MHZ_TYPE_A,
      CHANNEL_PLAN_26MHZ_TYPE_B, CHANNEL_PLAN_26MHZ_TYPE_B, CHANNEL_PLAN_26MHZ_TYPE_B,
      CHANNEL_PLAN_26MHZ_TYPE_B, CHANNEL_PLAN_26MHZ_TYPE_B,
  };
  for (uint8_t join = 0; join < 20; join++) {
    JoinAcceptedOn(join);
    EXPECT_EQ(storage.group2.ChannelPlan, expected[join]) << int(join);
  }
}

TEST_F(CN470Test, AbpDevicesUseThePlansDefaultRx2) {
  struct Row {
    uint8_t Join;
    uint32_t Rx2;
  };
  const Row rows[] = {{3, MHz(486.9)}, {8, MHz(498.3)}, {11, MHz(492.5)}, {16, MHz(502.5)}};
  for (const Row& row : rows) {
    JoinAcceptedOn(row.Join);
    storage.group2.IsOtaaDevice = false;
    EXPECT_EQ(Value(CN470, PHY_DEF_RX2_FREQUENCY), row.Rx2) << int(row.Join);
  }
}

// ---------------------------------------------------------------------------
// Join requests

TEST_F(CN470Test, JoinRequestsUseTheCommonJoinList) {
  for (uint8_t join = 0; join < 20; join++) {
    fake::random = [join](int32_t, int32_t) { return join; };
    NextChannelResult next = Next(CN470, 2, false);
    ASSERT_EQ(next.Status, LORAMAC_STATUS_OK);
    ASSERT_EQ(next.Channel, join);
    ASSERT_TRUE(Tx(CN470, next.Channel, 2, 0, 19.15f).Ok);
    EXPECT_EQ(fake::radio.Channels.back(), kJoinUplink[join]) << int(join);

    // Before the join both windows listen on the join channel's RX1.
    EXPECT_EQ(RxFrequency(CN470, RX_SLOT_WIN_1, join, 2, 0, ACTIVATION_TYPE_NONE), kJoinRx1[join]);
    EXPECT_EQ(RxFrequency(CN470, RX_SLOT_WIN_2, join, 1, MHz(486.9), ACTIVATION_TYPE_NONE),
              kJoinRx1[join]);
  }
  // Join requests leave the data channels' remaining mask alone.
  std::vector<uint16_t> all = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0, 0};
  EXPECT_EQ(std::vector<uint16_t>(storage.group1.ChannelsMaskRemaining,
                                  storage.group1.ChannelsMaskRemaining + 6),
            all);
  EXPECT_EQ(RxFrequency(CN470, RX_SLOT_WIN_1, 20, 2, 0, ACTIVATION_TYPE_NONE), 0u);
}

TEST_F(CN470Test, DataUplinksUseTheSelectedPlansChannels) {
  JoinAcceptedOn(12);  // 26 MHz type A: 470.3 + 0.2 n, 48 channels
  UseSpreadRandom();
  for (int i = 0; i < 100; i++) {
    uint32_t f = UplinkFrequency(true);
    EXPECT_GE(f, MHz(470.3));
    EXPECT_LE(f, MHz(479.7));
    EXPECT_EQ((f - MHz(470.3)) % 200000u, 0u);
  }
  JoinAcceptedOn(17);  // 26 MHz type B: 480.3 + 0.2 n
  for (int i = 0; i < 100; i++) {
    uint32_t f = UplinkFrequency(true);
    EXPECT_GE(f, MHz(480.3));
    EXPECT_LE(f, MHz(489.7));
  }
}

// ---------------------------------------------------------------------------
// Channel masks

TEST_F(CN470Test, EveryUsedChannelLeavesTheRemainingMaskUntilTheRefill) {
  JoinAcceptedOn(12);
  ASSERT_TRUE(MaskSet(CN470, {0, 0, 0x0300}));  // channels 40 and 41
  UseSpreadRandom();
  for (int round = 0; round < 3; round++) {
    NextChannelResult a = Next(CN470, 2, true);
    NextChannelResult b = Next(CN470, 2, true);
    ASSERT_EQ(a.Status, LORAMAC_STATUS_OK);
    ASSERT_EQ(b.Status, LORAMAC_STATUS_OK);
    EXPECT_EQ(std::set<uint8_t>({a.Channel, b.Channel}), (std::set<uint8_t>{40, 41})) << round;
  }
}

TEST_F(CN470Test, TheRefillKeepsTheNetworksMask) {
  JoinAcceptedOn(0);
  Next(CN470, 2, true);  // a data channel was chosen last
  std::vector<uint8_t> payload;
  for (uint8_t word = 0; word < 4; word++) {
    std::vector<uint8_t> block = LinkAdrBlock(2, 1, word == 0 ? 0x00FF : 0x0000, word, 1);
    payload.insert(payload.end(), block.begin(), block.end());
  }
  LinkAdrResult r = LinkAdr(CN470, payload);
  ASSERT_EQ(r.Status, 0x07);
  UseSpreadRandom();
  for (int i = 0; i < 40; i++) {
    NextChannelResult next = Next(CN470, 2, true);
    ASSERT_EQ(next.Status, LORAMAC_STATUS_OK);
    EXPECT_LT(next.Channel, 8);
  }
  EXPECT_EQ(Mask(CN470), (std::vector<uint16_t>{0x00FF, 0, 0, 0, 0, 0}));
}

TEST_F(CN470Test, OnlyAnEmptyMaskIsRefused) {
  EXPECT_FALSE(MaskSet(CN470, {0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(MaskSet(CN470, {0, 0, 0, 0, 0, 0}, CHANNELS_DEFAULT_MASK));
  EXPECT_EQ(Mask(CN470)[0], 0xFFFF);

  // Sub-bands 8 to 11 (channels 64-95) name no channel of a 20 MHz plan;
  // the mask is kept and uplinks fall back to the plan's default channels.
  EXPECT_TRUE(MaskSet(CN470, {0, 0, 0, 0, 0xFFFF, 0xFFFF}));
  EXPECT_EQ(Mask(CN470), (std::vector<uint16_t>{0, 0, 0, 0, 0xFFFF, 0xFFFF}));
  UseSpreadRandom();
  for (int i = 0; i < 10; i++) {
    NextChannelResult next = Next(CN470, 2, true);
    ASSERT_EQ(next.Status, LORAMAC_STATUS_OK);
    EXPECT_LT(next.Channel, 64);
  }
  EXPECT_FALSE(MaskSet(CN470, {0xFFFF}, static_cast<ChannelsMask_t>(5)));
}

TEST_F(CN470Test, CfListOfChannelMasksUsesThePlansWordCount) {
  JoinAcceptedOn(10, MaskCfList({0x00FF, 0x0000, 0x0F00, 0x1234}));
  // 26 MHz plans carry three words; the fourth is not read.
  EXPECT_EQ(Mask(CN470), (std::vector<uint16_t>{0x00FF, 0, 0x0F00, 0, 0, 0}));
  EXPECT_EQ(Mask(CN470, PHY_CHANNELS_DEFAULT_MASK),
            (std::vector<uint16_t>{0xFFFF, 0xFFFF, 0xFFFF, 0, 0, 0}));

  JoinAcceptedOn(2, MaskCfList({0x0001, 0x0000, 0x0000, 0x8000}));
  EXPECT_EQ(Mask(CN470), (std::vector<uint16_t>{0x0001, 0, 0, 0x8000, 0, 0}));

  // A list that enables nothing, or of another type, keeps the plan's mask.
  JoinAcceptedOn(2, MaskCfList({0, 0, 0, 0}));
  EXPECT_EQ(Mask(CN470), (std::vector<uint16_t>{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0, 0}));
  std::vector<uint8_t> typeZero = MaskCfList({0x0001});
  typeZero[15] = 0;
  JoinAcceptedOn(2, typeZero);
  EXPECT_EQ(Mask(CN470)[0], 0xFFFF);
}

struct ChMaskCase {
  const char* Name;
  uint8_t JoinChannel;  // selects the plan
  uint8_t Ctrl;
  uint16_t ChMask;
  uint8_t Status;
  std::vector<uint16_t> Mask;  // after the request
};

class LinkAdrFormTest : public CN470Test, public ::testing::WithParamInterface<ChMaskCase> {};

TEST_P(LinkAdrFormTest, ChannelMaskControl) {
  const ChMaskCase& c = GetParam();
  JoinAcceptedOn(c.JoinChannel);
  std::vector<uint16_t> before = Mask(CN470);
  LinkAdrResult r = LinkAdr(CN470, LinkAdrBlock(2, 1, c.ChMask, c.Ctrl, 1));
  EXPECT_EQ(r.Status, c.Status);
  EXPECT_EQ(Mask(CN470), c.Mask.empty() ? before : c.Mask);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, LinkAdrFormTest,
    ::testing::Values(
        // 20 MHz plans.
        ChMaskCase{"A20Word1", 0, 1, 0x00F0, 7, {0xFFFF, 0x00F0, 0xFFFF, 0xFFFF, 0, 0}},
        ChMaskCase{"A20Ctrl4Refused", 0, 4, 0x0001, 6, {}},
        ChMaskCase{"A20Ctrl5Refused", 0, 5, 0x0001, 6, {}},
        ChMaskCase{"A20Ctrl6AllOn", 0, 6, 0x0000, 7, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0, 0}},
        ChMaskCase{"A20Ctrl7LeavesNoChannel", 0, 7, 0x0000, 4, {}},
        ChMaskCase{"B20Word3", 8, 3, 0x8000, 7, {0xFFFF, 0xFFFF, 0xFFFF, 0x8000, 0, 0}},
        // 26 MHz plans.
        ChMaskCase{"A26Word2", 12, 2, 0x0003, 7, {0xFFFF, 0xFFFF, 0x0003, 0, 0, 0}},
        ChMaskCase{"A26Ctrl3AllOn", 12, 3, 0x0000, 7, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0, 0}},
        ChMaskCase{"A26Ctrl4LeavesNoChannel", 12, 4, 0x0000, 4, {}},
        ChMaskCase{"A26Ctrl5Refused", 12, 5, 0x0001, 6, {}},
        ChMaskCase{"B26Ctrl7Refused", 17, 7, 0x0001, 6, {}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(CN470Test, LinkAdrDataRateAndTxPowerLimits) {
  JoinAcceptedOn(12);  // 48 channels: word 3 names none
  LinkAdrResult r = LinkAdr(CN470, LinkAdrBlock(2, 1, 0x0001, 3 - 1, 1));
  EXPECT_EQ(r.Status, 0x07);
  r = LinkAdr(CN470, LinkAdrBlock(0, 1, 0xFFFF, 0, 1));  // DR_0 is not an uplink rate
  EXPECT_EQ(r.Status, 0x05);
  r = LinkAdr(CN470, LinkAdrBlock(6, 1, 0xFFFF, 0, 1));
  EXPECT_EQ(r.Status, 0x05);
  r = LinkAdr(CN470, LinkAdrBlock(2, 8, 0xFFFF, 0, 1));  // TX power index 8
  EXPECT_EQ(r.Status, 0x03);
}

TEST_F(CN470Test, RxParamSetupChecksThePlansDownlinkFrequencies) {
  EXPECT_EQ(RxParamSetup(CN470, 1, 5, MHz(485.3)), 0x07);
  EXPECT_EQ(RxParamSetup(CN470, 1, 0, MHz(500.1)), 0x06);
  EXPECT_EQ(RxParamSetup(CN470, 0, 6, MHz(485.3)), 0x01);
  JoinAcceptedOn(17);
  EXPECT_EQ(RxParamSetup(CN470, 1, 0, MHz(500.1)), 0x07);
  EXPECT_EQ(RxParamSetup(CN470, 1, 0, MHz(485.3)), 0x06);
  EXPECT_EQ(RxParamSetup(CN470, 1, 0, MHz(500.2)), 0x06);  // off the 200 kHz grid
}

TEST_F(CN470Test, ARestoredContextKeepsItsPlan) {
  JoinAcceptedOn(9);  // 20 MHz type B
  Storage saved = storage;

  // A restart: the MAC initialises the region, then restores its groups.
  std::memset(&storage, 0, sizeof(storage));
  Init(CN470);
  ASSERT_EQ(storage.group2.ChannelPlan, CHANNEL_PLAN_20MHZ_TYPE_A);
  storage.group1 = saved.group1;
  storage.group2 = saved.group2;

  EXPECT_EQ(RxFrequency(CN470, RX_SLOT_WIN_1, 0, 2), MHz(476.9));
  EXPECT_EQ(RxFrequency(CN470, RX_SLOT_WIN_2, 0, 1), MHz(498.3));
  EXPECT_EQ(Value(CN470, PHY_BEACON_CHANNEL_FREQ), MHz(501.5));
  EXPECT_GE(UplinkFrequency(true), MHz(476.9));  // the 20 MHz type B channels
}

TEST_F(CN470Test, BadInputIsRefused) {
  EXPECT_EQ(RxFrequency(CN470, RX_SLOT_WIN_1, 200, 2, 0, ACTIVATION_TYPE_OTAA), 0u);
  EXPECT_EQ(RxFrequency(CN470, RX_SLOT_WIN_2, 0, 6, MHz(486.9)), 0u);
  EXPECT_EQ(RxFrequency(CN470, RX_SLOT_WIN_2, 0, -1, MHz(486.9)), 0u);

  Next(CN470, 2, true);
  EXPECT_FALSE(Tx(CN470, 96, 2, 0, 19.15f).Ok);
  EXPECT_FALSE(Tx(CN470, 0, 8, 0, 19.15f).Ok);
  Next(CN470, 2, false);
  EXPECT_FALSE(Tx(CN470, 20, 2, 0, 19.15f).Ok);

  // A plan value out of the enumeration is read as the 20 MHz type A plan.
  storage.group2.ChannelPlan = static_cast<RegionCN470ChannelPlan_t>(77);
  EXPECT_EQ(Value(CN470, PHY_DEF_RX2_FREQUENCY), MHz(486.9));
  EXPECT_EQ(RxFrequency(CN470, RX_SLOT_WIN_1, 0, 2), MHz(483.9));

  EXPECT_EQ(LinkAdr(CN470, {0x03, 0x20, 0xFF}).Parsed, 0);
  SetBandTxDoneParams_t txDone = {255, true, 0, 100, {0, 0}};
  RegionSetBandTxDone(CN470, &txDone);
}

}  // namespace
