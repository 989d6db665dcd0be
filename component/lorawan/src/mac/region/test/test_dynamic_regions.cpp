// The 16-channel plans built at run time: EU868, CN779, EU433, IN865, RU864,
// AS923 and KR920. Expected values are those of the LoRaWAN Regional
// Parameters for each plan.
#include <cmath>

#include "RegionAS923.h"
#include "RegionEU868.h"
#include "region_test_support.h"

using namespace region_test;

namespace {

struct DynamicRow {
  const char* Name;
  LoRaMacRegion_t Region;
  std::vector<uint32_t> DefaultChannels;
  uint8_t DefaultMaxDr;
  uint32_t Rx2Frequency;
  uint8_t Rx2Dr;
  uint32_t BeaconFrequency;
  uint8_t BeaconDr;
  uint32_t PingSlotFrequency;
  uint8_t PingSlotDr;
  BeaconFormat_t BeaconFormat;
  std::vector<uint8_t> SpreadingFactors;  // FSK: kbit/s
  std::vector<uint8_t> BandwidthCodes;
  std::vector<uint8_t> MaxPayloads;
  int8_t FskDr;
  int8_t UndefinedDr;
  float MaxEirp;
  int8_t MaxTxPower;
  int8_t MaxRx1Offset;
  uint32_t DutyCycle;
  bool DutyCycleSwitchable;
  uint32_t MaxRxWindow;
  int8_t TxParamSetupAnswer;
  uint32_t OtherChannel;  // a frequency a CFList may add
  uint32_t OutOfBand;     // a frequency the plan refuses
};

const std::vector<uint8_t> kEuSf = {12, 11, 10, 9, 8, 7, 7, 50};
const std::vector<uint8_t> kEuBw = {0, 0, 0, 0, 0, 0, 1, 0};
const std::vector<uint8_t> kEuPayload = {51, 51, 51, 115, 242, 242, 242, 242};

const DynamicRow kRows[] = {
    {"EU868",
     LORAMAC_REGION_EU868,
     {MHz(868.1), MHz(868.3), MHz(868.5)},
     5,
     MHz(869.525),
     0,
     MHz(869.525),
     3,
     MHz(869.525),
     3,
     {17, 1, 0},
     kEuSf,
     kEuBw,
     kEuPayload,
     7,
     -1,
     16.0f,
     7,
     5,
     1,
     true,
     3000,
     -1,
     MHz(867.1),
     MHz(870.1)},
    {"CN779",
     LORAMAC_REGION_CN779,
     {MHz(779.5), MHz(779.7), MHz(779.9)},
     5,
     MHz(786.0),
     0,
     MHz(785.0),
     3,
     MHz(785.0),
     3,
     {17, 1, 0},
     kEuSf,
     kEuBw,
     kEuPayload,
     7,
     -1,
     12.15f,
     5,
     5,
     1,
     true,
     3000,
     -1,
     MHz(780.5),
     MHz(787.0)},
    {"EU433",
     LORAMAC_REGION_EU433,
     {MHz(433.175), MHz(433.375), MHz(433.575)},
     5,
     MHz(434.665),
     0,
     MHz(434.665),
     3,
     MHz(434.665),
     3,
     {17, 1, 0},
     kEuSf,
     kEuBw,
     kEuPayload,
     7,
     -1,
     12.15f,
     5,
     5,
     1,
     true,
     3000,
     -1,
     MHz(434.1),
     MHz(435.0)},
    {"IN865",
     LORAMAC_REGION_IN865,
     {MHz(865.0625), MHz(865.4025), MHz(865.985)},
     5,
     MHz(866.55),
     2,
     MHz(866.55),
     4,
     MHz(866.55),
     4,
     {19, 0, 3},
     kEuSf,
     kEuBw,
     kEuPayload,
     7,
     6,
     30.0f,
     10,
     7,
     0,
     false,
     3000,
     -1,
     MHz(866.1),
     MHz(867.5)},
    {"RU864",
     LORAMAC_REGION_RU864,
     {MHz(868.9), MHz(869.1)},
     7,
     MHz(869.1),
     0,
     MHz(869.1),
     3,
     MHz(868.9),
     3,
     {17, 1, 0},
     kEuSf,
     kEuBw,
     kEuPayload,
     7,
     -1,
     16.0f,
     7,
     5,
     1,
     true,
     3000,
     -1,
     MHz(866.1),
     MHz(870.5)},
    {"AS923",
     LORAMAC_REGION_AS923,
     {MHz(923.2), MHz(923.4)},
     5,
     MHz(923.2),
     2,
     MHz(923.4),
     3,
     MHz(923.4),
     3,
     {17, 1, 0},
     kEuSf,
     kEuBw,
     {51, 51, 115, 115, 242, 242, 242, 242},
     7,
     -1,
     16.0f,
     7,
     7,
     0,
     false,
     3000,
     0,
     MHz(922.0),
     MHz(928.1)},
    {"KR920",
     LORAMAC_REGION_KR920,
     {MHz(922.1), MHz(922.3), MHz(922.5)},
     5,
     MHz(921.9),
     0,
     MHz(923.1),
     3,
     MHz(923.1),
     3,
     {17, 1, 0},
     {12, 11, 10, 9, 8, 7},
     {0, 0, 0, 0, 0, 0},
     {51, 51, 51, 115, 242, 242},
     -1,
     -1,
     14.0f,
     7,
     5,
     0,
     false,
     4000,
     -1,
     MHz(922.7),
     MHz(920.7)},
};

class DynamicRegionTest : public RegionTest, public ::testing::WithParamInterface<DynamicRow> {
 protected:
  LoRaMacRegion_t region() const { return GetParam().Region; }

  uint8_t nbDefaults() const { return static_cast<uint8_t>(GetParam().DefaultChannels.size()); }

  uint16_t defaultMask() const { return static_cast<uint16_t>((1U << nbDefaults()) - 1); }

  int8_t maxDr() const { return static_cast<int8_t>(GetParam().SpreadingFactors.size() - 1); }

  void SetUp() override {
    RegionTest::SetUp();
    RegionAS923SubBandSet(1);
    Init(region());
  }
};

TEST_P(DynamicRegionTest, DefaultChannelsAreTheJoinChannels) {
  const DynamicRow& row = GetParam();
  ChannelParams_t* channels = Channels(region());
  ASSERT_NE(channels, nullptr);
  for (uint8_t i = 0; i < nbDefaults(); i++) {
    EXPECT_EQ(channels[i].Frequency, row.DefaultChannels[i]) << int(i);
    EXPECT_EQ(channels[i].Rx1Frequency, 0u);
    EXPECT_EQ(channels[i].DrRange.Fields.Min, 0);
    EXPECT_EQ(channels[i].DrRange.Fields.Max, row.DefaultMaxDr);
  }
  EXPECT_EQ(Mask(region())[0], defaultMask());
  EXPECT_EQ(Mask(region(), PHY_CHANNELS_DEFAULT_MASK)[0], defaultMask());
  EXPECT_EQ(Value(region(), PHY_MAX_NB_CHANNELS), 16u);
}

TEST_P(DynamicRegionTest, DownlinkAndTimingAnswers) {
  const DynamicRow& row = GetParam();
  EXPECT_EQ(Value(region(), PHY_DEF_RX2_FREQUENCY), row.Rx2Frequency);
  EXPECT_EQ(Value(region(), PHY_DEF_RX2_DR), row.Rx2Dr);
  EXPECT_EQ(Value(region(), PHY_BEACON_CHANNEL_FREQ), row.BeaconFrequency);
  EXPECT_EQ(Value(region(), PHY_BEACON_CHANNEL_DR), row.BeaconDr);
  EXPECT_EQ(Value(region(), PHY_PING_SLOT_CHANNEL_FREQ), row.PingSlotFrequency);
  EXPECT_EQ(Value(region(), PHY_PING_SLOT_CHANNEL_DR), row.PingSlotDr);
  BeaconFormat_t format = Get(region(), PHY_BEACON_FORMAT).BeaconFormat;
  EXPECT_EQ(format.BeaconSize, row.BeaconFormat.BeaconSize);
  EXPECT_EQ(format.Rfu1Size, row.BeaconFormat.Rfu1Size);
  EXPECT_EQ(format.Rfu2Size, row.BeaconFormat.Rfu2Size);

  EXPECT_FLOAT_EQ(Get(region(), PHY_DEF_MAX_EIRP).fValue, row.MaxEirp);
  // The antenna the regional EIRP values assume: a half-wave dipole.
  EXPECT_FLOAT_EQ(Get(region(), PHY_DEF_ANTENNA_GAIN).fValue, 2.15f);
  EXPECT_EQ(Value(region(), PHY_DUTY_CYCLE), row.DutyCycle);
  EXPECT_EQ(Value(region(), PHY_RECEIVE_DELAY1), 1000u);
  EXPECT_EQ(Value(region(), PHY_RECEIVE_DELAY2), 2000u);
  EXPECT_EQ(Value(region(), PHY_JOIN_ACCEPT_DELAY1), 5000u);
  EXPECT_EQ(Value(region(), PHY_JOIN_ACCEPT_DELAY2), 6000u);
  EXPECT_EQ(Value(region(), PHY_MAX_RX_WINDOW), row.MaxRxWindow);
  EXPECT_EQ(Value(region(), PHY_DEF_ADR_ACK_LIMIT), 64u);
  EXPECT_EQ(Value(region(), PHY_DEF_ADR_ACK_DELAY), 32u);
  EXPECT_EQ(Value(region(), PHY_DEF_DR1_OFFSET), 0u);
  EXPECT_EQ(Value(region(), PHY_DEF_DOWNLINK_DWELL_TIME), 0u);

  // 2 s with a random part of +/- 1 s.
  fake::random = [](int32_t, int32_t max) { return max; };
  EXPECT_EQ(Value(region(), PHY_RETRANSMIT_TIMEOUT), 3000u);
  fake::random = [](int32_t min, int32_t) { return min; };
  EXPECT_EQ(Value(region(), PHY_RETRANSMIT_TIMEOUT), 1000u);
}

TEST_P(DynamicRegionTest, DataRateTables) {
  const DynamicRow& row = GetParam();
  for (int8_t dr = 0; dr <= maxDr(); dr++) {
    EXPECT_EQ(Value(region(), PHY_SF_FROM_DR, dr), row.SpreadingFactors[dr]) << int(dr);
    EXPECT_EQ(Value(region(), PHY_BW_FROM_DR, dr), row.BandwidthCodes[dr]) << int(dr);
    EXPECT_EQ(Value(region(), PHY_MAX_PAYLOAD, dr), row.MaxPayloads[dr]) << int(dr);
  }
  // Data rates past the table are answered with 0, never read.
  for (int8_t dr :
       {static_cast<int8_t>(maxDr() + 1), int8_t{15}, int8_t{-1}, int8_t{127}, int8_t{-128}}) {
    EXPECT_EQ(Value(region(), PHY_SF_FROM_DR, dr), 0u) << int(dr);
    EXPECT_EQ(Value(region(), PHY_BW_FROM_DR, dr), 0u) << int(dr);
    EXPECT_EQ(Value(region(), PHY_MAX_PAYLOAD, dr), 0u) << int(dr);
  }
}

TEST_P(DynamicRegionTest, VerifyRanges) {
  const DynamicRow& row = GetParam();
  for (int8_t p = 0; p <= row.MaxTxPower; p++) {
    EXPECT_TRUE(VerifyTxPower(region(), p)) << int(p);
    EXPECT_TRUE(VerifyTxPower(region(), p, PHY_DEF_TX_POWER)) << int(p);
  }
  EXPECT_FALSE(VerifyTxPower(region(), static_cast<int8_t>(row.MaxTxPower + 1)));
  EXPECT_FALSE(VerifyTxPower(region(), -1));

  for (int8_t dr = 0; dr <= maxDr(); dr++) {
    bool defined = dr != row.UndefinedDr;
    EXPECT_EQ(VerifyDr(region(), PHY_TX_DR, dr), defined) << int(dr);
    EXPECT_EQ(VerifyDr(region(), PHY_RX_DR, dr), defined) << int(dr);
    EXPECT_EQ(VerifyDr(region(), PHY_DEF_TX_DR, dr), dr <= 5) << int(dr);
  }
  EXPECT_FALSE(VerifyDr(region(), PHY_TX_DR, static_cast<int8_t>(maxDr() + 1)));
  EXPECT_FALSE(VerifyDr(region(), PHY_RX_DR, -1));

  EXPECT_TRUE(VerifyFrequency(region(), row.OtherChannel));
  EXPECT_FALSE(VerifyFrequency(region(), row.OutOfBand));
  for (uint32_t f : row.DefaultChannels) {
    EXPECT_TRUE(VerifyFrequency(region(), f));
  }
  // The radio's own range comes first.
  fake::radio.MaxFrequency = MHz(400.0);
  EXPECT_FALSE(VerifyFrequency(region(), row.OtherChannel));
  fake::radio.MaxFrequency = MHz(960.0);

  VerifyParams_t dutyCycle = {};
  dutyCycle.DutyCycle = false;
  EXPECT_EQ(RegionVerify(region(), &dutyCycle, PHY_DUTY_CYCLE), row.DutyCycleSwitchable);
  EXPECT_FALSE(RegionVerify(region(), &dutyCycle, PHY_MAX_RX_WINDOW));
}

TEST_P(DynamicRegionTest, RxParamSetupStatusBits) {
  const DynamicRow& row = GetParam();
  EXPECT_EQ(RxParamSetup(region(), 0, row.MaxRx1Offset, row.Rx2Frequency), 0x07);
  EXPECT_EQ(RxParamSetup(region(), 0, static_cast<int8_t>(row.MaxRx1Offset + 1), row.Rx2Frequency),
            0x03);
  EXPECT_EQ(RxParamSetup(region(), static_cast<int8_t>(maxDr() + 1), 0, row.Rx2Frequency), 0x05);
  EXPECT_EQ(RxParamSetup(region(), 0, 0, row.OutOfBand), 0x06);
  EXPECT_EQ(RxParamSetup(region(), -1, -1, 0), 0x00);
}

TEST_P(DynamicRegionTest, CfListAddsFiveChannelsAfterTheDefaults) {
  const DynamicRow& row = GetParam();
  ApplyCfList(region(), 0, FrequencyCfList({row.OtherChannel, 0, row.OutOfBand, row.OtherChannel}));
  ChannelParams_t* channels = Channels(region());
  uint8_t first = nbDefaults();
  EXPECT_EQ(channels[first].Frequency, row.OtherChannel);
  EXPECT_EQ(channels[first].DrRange.Value, 0x50);
  EXPECT_EQ(channels[first + 1].Frequency, 0u);
  EXPECT_EQ(channels[first + 2].Frequency, 0u);  // refused
  EXPECT_EQ(channels[first + 3].Frequency, row.OtherChannel);
  EXPECT_EQ(Mask(region())[0], defaultMask() | (1U << first) | (1U << (first + 3)));

  // A list of another type or length changes nothing.
  std::vector<uint8_t> typed = FrequencyCfList({row.OtherChannel, row.OtherChannel});
  typed[15] = 1;
  ApplyCfList(region(), 0, typed);
  std::vector<uint8_t> shortList = FrequencyCfList({row.OtherChannel, row.OtherChannel});
  shortList.resize(15);
  ApplyCfList(region(), 0, shortList);
  EXPECT_EQ(channels[first + 1].Frequency, 0u);
  EXPECT_EQ(Mask(region())[0], defaultMask() | (1U << first) | (1U << (first + 3)));
}

TEST_P(DynamicRegionTest, OnlyDefaultChannelsCarryJoinRequests) {
  const DynamicRow& row = GetParam();
  ApplyCfList(region(), 0,
              FrequencyCfList({row.OtherChannel, row.OtherChannel, row.OtherChannel,
                               row.OtherChannel, row.OtherChannel}));
  UseSpreadRandom();
  std::set<uint8_t> joinChannels;
  std::set<uint8_t> dataChannels;
  for (int i = 0; i < 100; i++) {
    NextChannelResult join = Next(region(), 0, false);
    ASSERT_EQ(join.Status, LORAMAC_STATUS_OK);
    joinChannels.insert(join.Channel);
    NextChannelResult data = Next(region(), 0, true);
    ASSERT_EQ(data.Status, LORAMAC_STATUS_OK);
    dataChannels.insert(data.Channel);
  }
  EXPECT_EQ(joinChannels.size(), nbDefaults());
  EXPECT_LT(*joinChannels.rbegin(), nbDefaults());
  EXPECT_EQ(dataChannels.size(), nbDefaults() + 5u);
}

TEST_P(DynamicRegionTest, EveryChannelMaskedOutFallsBackToTheDefaults) {
  EXPECT_TRUE(MaskSet(region(), {0x0000}));
  NextChannelResult next = Next(region(), 0, true);
  EXPECT_EQ(next.Status, LORAMAC_STATUS_OK);
  EXPECT_LT(next.Channel, nbDefaults());
  EXPECT_EQ(Mask(region())[0], defaultMask());
}

TEST_P(DynamicRegionTest, NoChannelForTheDataRateReenablesTheDefaults) {
  const DynamicRow& row = GetParam();
  ApplyCfList(region(), 0, FrequencyCfList({row.OtherChannel}));
  ASSERT_TRUE(MaskSet(region(), {static_cast<uint16_t>(1U << nbDefaults())}));
  // DR_7 is outside the CFList channel's DR_0-DR_5.
  NextChannelResult next = Next(region(), 7, true);
  EXPECT_EQ(next.Status, LORAMAC_STATUS_NO_CHANNEL_FOUND);
  EXPECT_EQ(Mask(region())[0], defaultMask() | (1U << nbDefaults()));
}

TEST_P(DynamicRegionTest, TxPowerStepsTwoDbFromTheMaximumEirp) {
  const DynamicRow& row = GetParam();
  for (int8_t p = 0; p <= row.MaxTxPower; p++) {
    TxResult tx = Tx(region(), 0, 0, p, row.MaxEirp);
    ASSERT_TRUE(tx.Ok);
    EXPECT_EQ(tx.TxPower, p);
    float eirp = row.MaxEirp;
    if (row.Region == LORAMAC_REGION_KR920) {
      eirp = 14.0f;  // channel 0 (922.1 MHz) is capped at 14 dBm
    }
    EXPECT_EQ(fake::radio.TxConfigs.back().Power, static_cast<int8_t>(std::floor(eirp - 2 * p)))
        << int(p);
  }
  EXPECT_EQ(fake::radio.Channels.back(), row.DefaultChannels[0]);
  const fake::TxConfigCall& tx = fake::radio.TxConfigs.back();
  EXPECT_EQ(tx.Modem, MODEM_LORA);
  EXPECT_EQ(tx.Datarate, 12u);
  EXPECT_EQ(tx.Bandwidth, 0u);
  EXPECT_EQ(tx.Coderate, 1);
  EXPECT_EQ(tx.PreambleLen, 8);
  EXPECT_EQ(tx.Timeout, 4000u);
}

TEST_P(DynamicRegionTest, FskDataRate) {
  const DynamicRow& row = GetParam();
  if (row.FskDr < 0) {
    EXPECT_FALSE(Tx(region(), 0, 7, 0, row.MaxEirp).Ok);
    return;
  }
  TxResult tx = Tx(region(), 0, row.FskDr, 0, row.MaxEirp, 0.0f, 30);
  ASSERT_TRUE(tx.Ok);
  EXPECT_EQ(tx.TimeOnAir, fake::radio.TimeOnAirMs);
  EXPECT_EQ(fake::radio.TxConfigs.back().Modem, MODEM_FSK);
  EXPECT_EQ(fake::radio.TxConfigs.back().Fdev, 25000u);
  EXPECT_EQ(fake::radio.TxConfigs.back().Datarate, 50000u);
  EXPECT_EQ(fake::radio.TimeOnAirs.back().Modem, MODEM_FSK);
  EXPECT_EQ(fake::radio.TimeOnAirs.back().Datarate, 50000u);
  EXPECT_EQ(fake::radio.TimeOnAirs.back().PreambleLen, 5);
  EXPECT_EQ(fake::radio.TimeOnAirs.back().PayloadLen, 30);

  ASSERT_NE(RxFrequency(region(), RX_SLOT_WIN_2, 0, row.FskDr, row.Rx2Frequency), 0u);
  const fake::RxConfigCall& rx = fake::radio.RxConfigs.back();
  EXPECT_EQ(rx.Modem, MODEM_FSK);
  EXPECT_EQ(rx.Datarate, 50000u);
  EXPECT_EQ(rx.BandwidthAfc, 83333u);
  EXPECT_EQ(fake::radio.MaxPayloadLengths.back().second, row.MaxPayloads[row.FskDr] + 13);
}

TEST_P(DynamicRegionTest, ReceiveWindowsAndDownlinkChannel) {
  const DynamicRow& row = GetParam();
  EXPECT_EQ(RxFrequency(region(), RX_SLOT_WIN_1, 1, 0), row.DefaultChannels[1]);
  EXPECT_FALSE(fake::radio.RxConfigs.back().CrcOn);
  EXPECT_TRUE(fake::radio.RxConfigs.back().IqInverted);
  EXPECT_EQ(fake::radio.MaxPayloadLengths.back().second, row.MaxPayloads[0] + 13);
  EXPECT_EQ(RxFrequency(region(), RX_SLOT_WIN_2, 1, 0, row.Rx2Frequency), row.Rx2Frequency);

  // DlChannelReq moves RX1 of a defined channel.
  DlChannelReqParams_t dl = {1, row.OtherChannel};
  EXPECT_EQ(RegionDlChannelReq(region(), &dl), 3);
  EXPECT_EQ(RxFrequency(region(), RX_SLOT_WIN_1, 1, 0), row.OtherChannel);
  DlChannelReqParams_t undefinedChannel = {10, row.OtherChannel};
  EXPECT_EQ(RegionDlChannelReq(region(), &undefinedChannel), 1);
  EXPECT_EQ(Channels(region())[10].Rx1Frequency, 0u);
  DlChannelReqParams_t badFrequency = {0, row.OutOfBand};
  EXPECT_EQ(RegionDlChannelReq(region(), &badFrequency), 2);
  DlChannelReqParams_t badId = {16, row.OtherChannel};
  EXPECT_EQ(RegionDlChannelReq(region(), &badId), 0);

  // A reset to the default channels forgets the moved RX1.
  InitType(region(), INIT_TYPE_RESET_TO_DEFAULT_CHANNELS);
  EXPECT_EQ(RxFrequency(region(), RX_SLOT_WIN_1, 1, 0), row.DefaultChannels[1]);

  // The radio must be idle.
  fake::radio.Status = RF_RX_RUNNING;
  EXPECT_EQ(RxFrequency(region(), RX_SLOT_WIN_1, 1, 0), 0u);
}

TEST_P(DynamicRegionTest, RxWindowParametersFollowTheDataRate) {
  RxConfigParams_t params = {};
  RegionComputeRxWindowParameters(region(), 0, 6, 20, &params);
  EXPECT_EQ(params.Datarate, 0);
  EXPECT_EQ(params.Bandwidth, 0);
  EXPECT_EQ(params.WindowTimeout, 6u);  // SF12/125 kHz
  EXPECT_EQ(params.WindowOffset, 32);
  RegionComputeRxWindowParameters(region(), 5, 6, 20, &params);
  EXPECT_EQ(params.WindowTimeout, 44u);  // SF7/125 kHz
  EXPECT_EQ(params.WindowOffset, -19);
  RegionComputeRxWindowParameters(region(), 100, 6, 20, &params);
  EXPECT_EQ(params.Datarate, maxDr());
}

TEST_P(DynamicRegionTest, LinkAdrReqOnTheDefaultChannels) {
  std::vector<uint8_t> block = LinkAdrBlock(5, 0, defaultMask(), 0, 1);
  LinkAdrResult r = LinkAdr(region(), block);
  EXPECT_EQ(r.Status, 0x07);
  EXPECT_EQ(r.Datarate, 5);
  EXPECT_EQ(r.TxPower, 0);
  EXPECT_EQ(r.NbRep, 1);
  EXPECT_EQ(r.Parsed, 5);

  // A mask naming an undefined channel is refused and nothing changes.
  ASSERT_TRUE(MaskSet(region(), {0x0001}));
  r = LinkAdr(region(), LinkAdrBlock(5, 0, 0x8001, 0, 1));
  EXPECT_EQ(r.Status & 0x01, 0);
  EXPECT_EQ(Mask(region())[0], 0x0001);

  // ChMaskCtrl 6 switches every defined channel on.
  r = LinkAdr(region(), LinkAdrBlock(5, 0, 0x0000, 6, 1));
  EXPECT_EQ(r.Status, 0x07);
  EXPECT_EQ(Mask(region())[0], defaultMask());

  // ChMaskCtrl 3 is refused: mask unchanged.
  ASSERT_TRUE(MaskSet(region(), {0x0001}));
  r = LinkAdr(region(), LinkAdrBlock(5, 0, 0x0007, 3, 1));
  EXPECT_EQ(r.Status & 0x01, 0);
  EXPECT_EQ(Mask(region())[0], 0x0001);

  // A mask of 0 with ChMaskCtrl 0 is refused too.
  r = LinkAdr(region(), LinkAdrBlock(5, 0, 0x0000, 0, 1));
  EXPECT_EQ(r.Status & 0x01, 0);

  // Several blocks: the last one decides.
  std::vector<uint8_t> two = LinkAdrBlock(5, 0, 0x0000, 0, 1);
  std::vector<uint8_t> second = LinkAdrBlock(4, 1, 0x0003, 0, 2);
  two.insert(two.end(), second.begin(), second.end());
  r = LinkAdr(region(), two);
  EXPECT_EQ(r.Status, 0x07);
  EXPECT_EQ(r.Parsed, 10);
  EXPECT_EQ(r.Datarate, 4);
  EXPECT_EQ(Mask(region())[0], 0x0003);
}

TEST_P(DynamicRegionTest, NewChannelReqNeverRemovesADefaultChannel) {
  const DynamicRow& row = GetParam();
  ChannelParams_t remove = {0, 0, {0x50}, 0};
  NewChannelReqParams_t req = {&remove, 1};
  EXPECT_EQ(RegionNewChannelReq(region(), &req), 0);
  EXPECT_EQ(Channels(region())[1].Frequency, row.DefaultChannels[1]);
  req.ChannelId = 20;
  EXPECT_EQ(RegionNewChannelReq(region(), &req), 0);
  req.ChannelId = -1;
  EXPECT_EQ(RegionNewChannelReq(region(), &req), 0);

  ChannelParams_t add = {row.OtherChannel, 0, {0x50}, 0};
  req = {&add, 9};
  EXPECT_EQ(RegionNewChannelReq(region(), &req), 3);
  EXPECT_EQ(Channels(region())[9].Frequency, row.OtherChannel);
  EXPECT_NE(Mask(region())[0] & (1U << 9), 0);
  req.ChannelId = 16;
  EXPECT_EQ(RegionNewChannelReq(region(), &req), 0);
  req.ChannelId = 0;
  EXPECT_EQ(RegionNewChannelReq(region(), &req), 0);

  ChannelParams_t badDr = {row.OtherChannel, 0, {static_cast<int8_t>(0x05)}, 0};  // Min 5 > Max 0
  req = {&badDr, 10};
  EXPECT_EQ(RegionNewChannelReq(region(), &req), 1);
  ChannelParams_t badFrequency = {row.OutOfBand, 0, {0x50}, 0};
  req = {&badFrequency, 10};
  EXPECT_EQ(RegionNewChannelReq(region(), &req), 2);
  ChannelParams_t bothBad = {row.OutOfBand, 0, {static_cast<int8_t>(0x9F)}, 0};
  req = {&bothBad, 10};
  EXPECT_EQ(RegionNewChannelReq(region(), &req), 0);
  EXPECT_EQ(Channels(region())[10].Frequency, 0u);

  ChannelParams_t removeNine = {0, 0, {0x50}, 0};
  req = {&removeNine, 9};
  EXPECT_EQ(RegionNewChannelReq(region(), &req), 3);
  EXPECT_EQ(Channels(region())[9].Frequency, 0u);
  EXPECT_EQ(Mask(region())[0] & (1U << 9), 0);
}

TEST_P(DynamicRegionTest, TxParamSetupAndJoinDataRate) {
  const DynamicRow& row = GetParam();
  TxParamSetupReqParams_t req = {1, 1, 5};
  EXPECT_EQ(RegionTxParamSetupReq(region(), &req), row.TxParamSetupAnswer);
  int8_t expected = (row.Region == LORAMAC_REGION_AS923) ? 2 : 4;
  EXPECT_EQ(RegionAlternateDr(region(), 4, ALTERNATE_DR), expected);
  EXPECT_EQ(RegionAlternateDr(region(), 4, ALTERNATE_DR_RESTORE), expected);
}

TEST_P(DynamicRegionTest, BadInputIsRefusedWithoutReadingPastTables) {
  const DynamicRow& row = GetParam();
  EXPECT_FALSE(Tx(region(), 16, 0, 0, row.MaxEirp).Ok);
  EXPECT_FALSE(Tx(region(), 255, 0, 0, row.MaxEirp).Ok);
  EXPECT_FALSE(Tx(region(), 0, static_cast<int8_t>(maxDr() + 1), 0, row.MaxEirp).Ok);
  EXPECT_FALSE(Tx(region(), 0, -1, 0, row.MaxEirp).Ok);
  EXPECT_EQ(RxFrequency(region(), RX_SLOT_WIN_1, 16, 0), 0u);
  EXPECT_EQ(RxFrequency(region(), RX_SLOT_WIN_2, 0, 15, row.Rx2Frequency), 0u);
  EXPECT_EQ(RxFrequency(region(), RX_SLOT_WIN_2, 0, -3, row.Rx2Frequency), 0u);

  // A corrupted band index in a stored channel is not followed.
  Channels(region())[0].Band = 200;
  EXPECT_FALSE(Tx(region(), 0, 0, 0, row.MaxEirp).Ok);
  Band_t before[REGION_NVM_MAX_NB_BANDS];
  std::memcpy(before, storage.bands, sizeof(before));
  SetBandTxDoneParams_t txDone = {0, true, 0, 1000, {0, 0}};
  RegionSetBandTxDone(region(), &txDone);
  txDone.Channel = 200;
  RegionSetBandTxDone(region(), &txDone);
  EXPECT_EQ(std::memcmp(before, storage.bands, sizeof(before)), 0);

  // Truncated and foreign LinkADRReq payloads are not read past their end.
  LinkAdrResult r = LinkAdr(region(), {0x03, 0x50, 0x07});
  EXPECT_EQ(r.Parsed, 0);
  r = LinkAdr(region(), {0x06, 0x50, 0x07, 0x00, 0x01});
  EXPECT_EQ(r.Parsed, 0);

  // RX1 offsets and data rates beyond the tables are clamped.
  for (int8_t dr : {int8_t{-5}, int8_t{0}, int8_t{15}, int8_t{127}}) {
    for (int8_t offset : {int8_t{-1}, int8_t{0}, int8_t{9}, int8_t{127}}) {
      uint8_t rx1 = RegionApplyDrOffset(region(), 0, dr, offset);
      EXPECT_LE(rx1, static_cast<uint8_t>(maxDr()));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Regions, DynamicRegionTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------------------
// Region by region

class EU868Test : public RegionTest {
 protected:
  void SetUp() override {
    RegionTest::SetUp();
    Init(LORAMAC_REGION_EU868);
  }

  LoRaMacStatus_t Add(uint8_t id, uint32_t frequency, int8_t drRange = 0x50) {
    ChannelParams_t channel = {frequency, 0, {drRange}, 0};
    ChannelAddParams_t params = {&channel, id};
    return RegionEU868ChannelAdd(&params);
  }
};

TEST_F(EU868Test, ChannelsTakeTheDutyCycleOfTheirSubBand) {
  struct Row {
    uint32_t Frequency;
    uint16_t DCycle;
  };
  const Row rows[] = {
      {MHz(863.1), 1000},  // 863.0-865.0: 0.1 %
      {MHz(865.1), 100},   // 865.0-868.0: 1 %
      {MHz(868.5), 100},   // 868.0-868.6: 1 %
      {MHz(868.8), 1000},  // 868.7-869.2: 0.1 %
      {MHz(869.525), 10},  // 869.4-869.65: 10 %
      {MHz(869.85), 100},  // 869.7-870.0: 1 %
  };
  for (const Row& row : rows) {
    ASSERT_EQ(Add(3, row.Frequency), LORAMAC_STATUS_OK) << row.Frequency;
    uint8_t band = Channels(LORAMAC_REGION_EU868)[3].Band;
    EXPECT_EQ(storage.bands[band].DCycle, row.DCycle) << row.Frequency;
  }
  EXPECT_EQ(storage.bands[Channels(LORAMAC_REGION_EU868)[0].Band].DCycle, 100);
  EXPECT_EQ(Value(LORAMAC_REGION_EU868, PHY_DUTY_CYCLE), 1u);
}

TEST_F(EU868Test, SubBandEdgesBelongToTheirBandAndOneHertzPastIsTheNextOrNone) {
  // The six sub-bands (band index, duty cycle) at each bound and one hertz
  // past it; -1: between sub-bands or outside, refused.
  struct Row {
    uint32_t Frequency;
    int Band;
    uint16_t DCycle;
  };
  const Row rows[] = {
      {862999999, -1, 0},  {863000000, 2, 1000}, {864999999, 2, 1000}, {865000000, 0, 100},
      {868000000, 0, 100}, {868000001, 1, 100},  {868600000, 1, 100},  {868600001, -1, 0},
      {868699999, -1, 0},  {868700000, 5, 1000}, {869200000, 5, 1000}, {869200001, -1, 0},
      {869399999, -1, 0},  {869400000, 3, 10},   {869650000, 3, 10},   {869650001, -1, 0},
      {869699999, -1, 0},  {869700000, 4, 100},  {870000000, 4, 100},  {870000001, -1, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Frequency);
    EXPECT_EQ(VerifyFrequency(LORAMAC_REGION_EU868, row.Frequency), row.Band >= 0);
    ASSERT_EQ(Add(3, row.Frequency),
              row.Band >= 0 ? LORAMAC_STATUS_OK : LORAMAC_STATUS_FREQUENCY_INVALID);
    if (row.Band >= 0) {
      const uint8_t band = Channels(LORAMAC_REGION_EU868)[3].Band;
      EXPECT_EQ(band, row.Band);
      EXPECT_EQ(storage.bands[band].DCycle, row.DCycle);
    }
  }
}

TEST_F(EU868Test, FrequenciesBetweenSubBandsAreRefused) {
  EXPECT_EQ(Add(3, MHz(868.65)), LORAMAC_STATUS_FREQUENCY_INVALID);
  EXPECT_EQ(Add(3, MHz(869.3)), LORAMAC_STATUS_FREQUENCY_INVALID);
  EXPECT_EQ(Add(3, MHz(869.675)), LORAMAC_STATUS_FREQUENCY_INVALID);
  EXPECT_EQ(Add(3, MHz(862.9)), LORAMAC_STATUS_FREQUENCY_INVALID);
  EXPECT_EQ(Add(3, MHz(870.1)), LORAMAC_STATUS_FREQUENCY_INVALID);
  EXPECT_EQ(Add(3, MHz(869.525)), LORAMAC_STATUS_OK);
  EXPECT_EQ(storage.bands[Channels(LORAMAC_REGION_EU868)[3].Band].DCycle, 10);
  EXPECT_EQ(Add(3, MHz(868.65), static_cast<int8_t>(0x08)), LORAMAC_STATUS_FREQ_AND_DR_INVALID);
  EXPECT_EQ(Add(3, MHz(867.1), static_cast<int8_t>(0x08)), LORAMAC_STATUS_DATARATE_INVALID);
  EXPECT_EQ(Add(2, MHz(867.1)), LORAMAC_STATUS_FREQ_AND_DR_INVALID);
  EXPECT_EQ(Add(16, MHz(867.1)), LORAMAC_STATUS_PARAMETER_INVALID);
  EXPECT_EQ(Add(255, MHz(867.1)), LORAMAC_STATUS_PARAMETER_INVALID);
}

TEST_F(EU868Test, ASpentSubBandRestrictsOnlyItsChannels) {
  // Joined, duty cycle on, 1 % band 1 for the default channels, 10 % band 3
  // for 869.525 MHz.
  ASSERT_EQ(Add(3, MHz(869.525)), LORAMAC_STATUS_OK);
  fake::now = 1000;
  fake::radio.TimeOnAirMs = 1000;
  NextChannelResult next = Next(LORAMAC_REGION_EU868, 0, true, true, {1, 0});
  ASSERT_EQ(next.Status, LORAMAC_STATUS_OK);

  // 36 s of air time on channel 0 spends the whole hour of band 1.
  SetBandTxDoneParams_t txDone = {0, true, 1000, 36000, {1, 0}};
  RegionSetBandTxDone(LORAMAC_REGION_EU868, &txDone);
  UseSpreadRandom();
  for (int i = 0; i < 20; i++) {
    next = Next(LORAMAC_REGION_EU868, 0, true, true, {2, 0});
    ASSERT_EQ(next.Status, LORAMAC_STATUS_OK);
    EXPECT_EQ(next.Channel, 3);
  }

  // With the 10 % band spent too, the wait is what is left of the hour.
  txDone.Channel = 3;
  txDone.LastTxAirTime = 360000;
  RegionSetBandTxDone(LORAMAC_REGION_EU868, &txDone);
  fake::now = 1000 + 600000;
  next = Next(LORAMAC_REGION_EU868, 0, true, true, {601, 0});
  EXPECT_EQ(next.Status, LORAMAC_STATUS_DUTYCYCLE_RESTRICTED);
  EXPECT_EQ(next.Time, 3600000u - 600000u);
}

class IN865Test : public RegionTest {
 protected:
  void SetUp() override {
    RegionTest::SetUp();
    Init(LORAMAC_REGION_IN865);
  }
};

TEST_F(IN865Test, Rx1DataRateTable) {
  // Rows: uplink DR_0..DR_5 and DR_7; columns: RX1 offset 0..7.
  const uint8_t table[7][8] = {
      {0, 0, 0, 0, 0, 0, 1, 2}, {1, 0, 0, 0, 0, 0, 2, 3}, {2, 1, 0, 0, 0, 0, 3, 4},
      {3, 2, 1, 0, 0, 0, 4, 5}, {4, 3, 2, 1, 0, 0, 5, 5}, {5, 4, 3, 2, 1, 0, 5, 7},
      {7, 5, 5, 4, 3, 2, 7, 7},
  };
  const int8_t uplink[7] = {0, 1, 2, 3, 4, 5, 7};
  for (int r = 0; r < 7; r++) {
    for (int8_t offset = 0; offset < 8; offset++) {
      EXPECT_EQ(RegionApplyDrOffset(LORAMAC_REGION_IN865, 0, uplink[r], offset), table[r][offset])
          << "DR" << int(uplink[r]) << " offset " << int(offset);
    }
  }
  for (int8_t offset = 0; offset < 8; offset++) {
    EXPECT_EQ(RegionApplyDrOffset(LORAMAC_REGION_IN865, 0, 6, offset), 0);
  }
}

TEST_F(IN865Test, DataRate6IsRefusedEverywhere) {
  EXPECT_EQ(RxParamSetup(LORAMAC_REGION_IN865, 6, 0, MHz(866.55)), 0x05);
  EXPECT_EQ(RxParamSetup(LORAMAC_REGION_IN865, 7, 7, MHz(866.55)), 0x07);

  ASSERT_TRUE(MaskSet(LORAMAC_REGION_IN865, {0x0001}));
  LinkAdrResult r = LinkAdr(LORAMAC_REGION_IN865, LinkAdrBlock(6, 2, 0x0007, 0, 3));
  EXPECT_EQ(r.Status, 0x05);
  EXPECT_EQ(r.Datarate, 6);
  EXPECT_EQ(r.TxPower, 2);
  EXPECT_EQ(r.NbRep, 3);
  EXPECT_EQ(Mask(LORAMAC_REGION_IN865)[0], 0x0001);  // not applied

  EXPECT_EQ(Value(LORAMAC_REGION_IN865, PHY_DUTY_CYCLE), 0u);
}

class AS923Test : public RegionTest {
 protected:
  void SetUp() override {
    RegionTest::SetUp();
    RegionAS923SubBandSet(1);
    Init(LORAMAC_REGION_AS923);
  }

  void TearDown() override { RegionAS923SubBandSet(1); }
};

TEST_F(AS923Test, SubBandsMoveDefaultAndDownlinkFrequencies) {
  struct Row {
    uint8_t SubBand;
    uint32_t Channel0;
    uint32_t Channel1;
    uint32_t Rx2;
    uint32_t Beacon;
  };
  // AS923-1 and the -1.8, -6.6 and -5.9 MHz offsets of AS923-2, -3, -4.
  const Row rows[] = {
      {0, MHz(923.2), MHz(923.4), MHz(923.2), MHz(923.4)},
      {1, MHz(923.2), MHz(923.4), MHz(923.2), MHz(923.4)},
      {2, MHz(921.4), MHz(921.6), MHz(921.4), MHz(921.6)},
      {3, MHz(916.6), MHz(916.8), MHz(916.6), MHz(916.8)},
      {4, MHz(917.3), MHz(917.5), MHz(917.3), MHz(917.5)},
  };
  for (const Row& row : rows) {
    Init(LORAMAC_REGION_AS923);  // channels of the previous sub-band
    RegionAS923SubBandSet(row.SubBand);
    // Downlink answers follow at once...
    EXPECT_EQ(Value(LORAMAC_REGION_AS923, PHY_DEF_RX2_FREQUENCY), row.Rx2);
    EXPECT_EQ(Value(LORAMAC_REGION_AS923, PHY_BEACON_CHANNEL_FREQ), row.Beacon);
    EXPECT_EQ(Value(LORAMAC_REGION_AS923, PHY_PING_SLOT_CHANNEL_FREQ), row.Beacon);
    // ...the default channels at the next initialisation.
    Init(LORAMAC_REGION_AS923);
    EXPECT_EQ(Channels(LORAMAC_REGION_AS923)[0].Frequency, row.Channel0);
    EXPECT_EQ(Channels(LORAMAC_REGION_AS923)[1].Frequency, row.Channel1);
  }
}

TEST_F(AS923Test, SubBandAboveFourIsIgnored) {
  RegionAS923SubBandSet(3);
  RegionAS923SubBandSet(5);
  RegionAS923SubBandSet(255);
  EXPECT_EQ(Value(LORAMAC_REGION_AS923, PHY_DEF_RX2_FREQUENCY), MHz(916.6));
  Init(LORAMAC_REGION_AS923);
  EXPECT_EQ(Channels(LORAMAC_REGION_AS923)[0].Frequency, MHz(916.6));
  EXPECT_EQ(Channels(LORAMAC_REGION_AS923)[1].Frequency, MHz(916.8));
}

TEST_F(AS923Test, DwellTimeRaisesTheLowestDataRatesAndCutsPayloads) {
  EXPECT_EQ(Value(LORAMAC_REGION_AS923, PHY_DEF_UPLINK_DWELL_TIME), 1u);
  EXPECT_EQ(Value(LORAMAC_REGION_AS923, PHY_MIN_TX_DR, 0, 1, 0), 2u);
  EXPECT_EQ(Value(LORAMAC_REGION_AS923, PHY_MIN_TX_DR, 0, 0, 0), 0u);
  EXPECT_EQ(Value(LORAMAC_REGION_AS923, PHY_MIN_RX_DR, 0, 0, 1), 2u);
  EXPECT_EQ(Value(LORAMAC_REGION_AS923, PHY_MIN_RX_DR, 0, 0, 0), 0u);
  EXPECT_EQ(Value(LORAMAC_REGION_AS923, PHY_DEF_TX_DR), 2u);

  // With a 400 ms dwell limit: DR_0/DR_1 carry nothing, DR_2 11 bytes, DR_3 53, DR_4 125.
  const uint8_t dwell[8] = {0, 0, 11, 53, 125, 242, 242, 242};
  for (int8_t dr = 0; dr < 8; dr++) {
    EXPECT_EQ(Value(LORAMAC_REGION_AS923, PHY_MAX_PAYLOAD, dr, 1), dwell[dr]) << int(dr);
  }

  EXPECT_FALSE(VerifyDr(LORAMAC_REGION_AS923, PHY_TX_DR, 1, 1));
  EXPECT_TRUE(VerifyDr(LORAMAC_REGION_AS923, PHY_TX_DR, 2, 1));
  EXPECT_FALSE(VerifyDr(LORAMAC_REGION_AS923, PHY_RX_DR, 1, 0, 1));
  EXPECT_TRUE(VerifyDr(LORAMAC_REGION_AS923, PHY_RX_DR, 1, 0, 0));

  // LinkADRReq under uplink dwell time refuses DR_1.
  LinkAdrResult r =
      LinkAdr(LORAMAC_REGION_AS923, LinkAdrBlock(1, 0, 0x0003, 0, 1), 2, 0, 1, true, 1);
  EXPECT_EQ(r.Status, 0x05);
  r = LinkAdr(LORAMAC_REGION_AS923, LinkAdrBlock(1, 0, 0x0003, 0, 1), 2, 0, 1, true, 0);
  EXPECT_EQ(r.Status, 0x07);

  // Next lower data rate stops at DR_2 under dwell time.
  EXPECT_EQ(Value(LORAMAC_REGION_AS923, PHY_NEXT_LOWER_TX_DR, 2, 1), 2u);
  EXPECT_EQ(Value(LORAMAC_REGION_AS923, PHY_NEXT_LOWER_TX_DR, 2, 0), 1u);
}

TEST_F(AS923Test, Rx1DataRateWithAndWithoutDownlinkDwellTime) {
  // RX1 = max(uplink - offset, lowest downlink rate) for offsets 0-5, the
  // lowest downlink rate being DR_2 under downlink dwell time.
  for (int8_t dr = 0; dr <= 5; dr++) {
    for (int8_t offset = 0; offset <= 5; offset++) {
      int expected = dr - offset;
      EXPECT_EQ(RegionApplyDrOffset(LORAMAC_REGION_AS923, 0, dr, offset),
                expected < 0 ? 0 : expected);
      EXPECT_EQ(RegionApplyDrOffset(LORAMAC_REGION_AS923, 1, dr, offset),
                expected < 2 ? 2 : expected);
    }
  }
  // Offsets 6 and 7 raise the data rate.
  EXPECT_EQ(RegionApplyDrOffset(LORAMAC_REGION_AS923, 0, 0, 6), 1);
  EXPECT_EQ(RegionApplyDrOffset(LORAMAC_REGION_AS923, 0, 0, 7), 2);
  EXPECT_EQ(RegionApplyDrOffset(LORAMAC_REGION_AS923, 0, 3, 7), 5);
}

TEST_F(AS923Test, JoinRequestsAlwaysUseDr2) {
  for (int8_t dr : {int8_t{0}, int8_t{2}, int8_t{5}}) {
    EXPECT_EQ(RegionAlternateDr(LORAMAC_REGION_AS923, dr, ALTERNATE_DR), 2);
  }
  TxParamSetupReqParams_t req = {1, 1, 5};
  EXPECT_EQ(RegionTxParamSetupReq(LORAMAC_REGION_AS923, &req), 0);
}

TEST_F(AS923Test, DefaultMaskReachesTheJoinOfEverySubBand) {
  RegionAS923SubBandSet(2);
  Init(LORAMAC_REGION_AS923);
  UseSpreadRandom();
  std::set<uint32_t> frequencies;
  for (int i = 0; i < 40; i++) {
    NextChannelResult next = Next(LORAMAC_REGION_AS923, 2, false);
    ASSERT_EQ(next.Status, LORAMAC_STATUS_OK);
    ASSERT_TRUE(Tx(LORAMAC_REGION_AS923, next.Channel, 2, 0, 16.0f).Ok);
    frequencies.insert(fake::radio.Channels.back());
  }
  EXPECT_EQ(frequencies, (std::set<uint32_t>{MHz(921.4), MHz(921.6)}));
}

class KR920Test : public RegionTest {
 protected:
  void SetUp() override {
    RegionTest::SetUp();
    Init(LORAMAC_REGION_KR920);
  }
};

TEST_F(KR920Test, FrequenciesOnThe200kHzGrid) {
  EXPECT_TRUE(VerifyFrequency(LORAMAC_REGION_KR920, MHz(920.9)));
  EXPECT_TRUE(VerifyFrequency(LORAMAC_REGION_KR920, MHz(923.3)));
  EXPECT_FALSE(VerifyFrequency(LORAMAC_REGION_KR920, MHz(921.0)));
  EXPECT_FALSE(VerifyFrequency(LORAMAC_REGION_KR920, MHz(920.7)));
  EXPECT_FALSE(VerifyFrequency(LORAMAC_REGION_KR920, MHz(923.5)));
}

TEST_F(KR920Test, EirpCappedByFrequency) {
  ApplyCfList(LORAMAC_REGION_KR920, 0, FrequencyCfList({MHz(921.9), MHz(922.9)}));
  // 921.9 MHz: at most 10 dBm; 922.1 MHz and above: at most 14 dBm.
  ASSERT_TRUE(Tx(LORAMAC_REGION_KR920, 3, 0, 0, 14.0f).Ok);
  EXPECT_EQ(fake::radio.TxConfigs.back().Power, 10);
  ASSERT_TRUE(Tx(LORAMAC_REGION_KR920, 0, 0, 0, 14.0f).Ok);
  EXPECT_EQ(fake::radio.TxConfigs.back().Power, 14);
  ASSERT_TRUE(Tx(LORAMAC_REGION_KR920, 4, 0, 1, 20.0f).Ok);
  EXPECT_EQ(fake::radio.TxConfigs.back().Power, 12);
  // A lower EIRP of the MAC wins.
  ASSERT_TRUE(Tx(LORAMAC_REGION_KR920, 0, 0, 0, 8.0f).Ok);
  EXPECT_EQ(fake::radio.TxConfigs.back().Power, 8);
}

TEST_F(KR920Test, InitialisationSetsTheLbtItemsOfGroup2) {
  EXPECT_EQ(storage.group2.RssiFreeThreshold, -65);
  EXPECT_EQ(storage.group2.CarrierSenseTime, 6u);
}

// ---------------------------------------------------------------------------
// Listen before talk (AS923, KR920)

struct LbtRow {
  const char* Name;
  LoRaMacRegion_t Region;
  std::vector<uint32_t> Channels;  // the enabled channels after init
};

class LbtTest : public RegionTest, public ::testing::WithParamInterface<LbtRow> {
 protected:
  void SetUp() override {
    RegionTest::SetUp();
    RegionAS923SubBandSet(1);
    Init(GetParam().Region);
    fake::lbt = 1;
    fake::lbtRssi = -80;
    fake::lbtScanTime = 5;
  }
};

TEST_P(LbtTest, TakesTheFirstFreeChannelAfterTheRandomStart) {
  const LbtRow& row = GetParam();
  // Energy on the channel the random start points at: the next one is used.
  fake::radio.ChannelEnergy[row.Channels[0]] = -60;
  NextChannelResult next = Next(row.Region, 0, true);
  ASSERT_EQ(next.Status, LORAMAC_STATUS_OK);
  EXPECT_EQ(next.Channel, 1);
  ASSERT_EQ(fake::radio.ChannelFreeCalls.size(), 2u);
  const fake::ChannelFreeCall& call = fake::radio.ChannelFreeCalls[0];
  EXPECT_EQ(call.Frequency, row.Channels[0]);
  EXPECT_EQ(call.RxBandwidth, 200000u);
  EXPECT_EQ(call.RssiThreshold, -80);
  EXPECT_EQ(call.MaxCarrierSenseTime, 5u);
}

TEST_P(LbtTest, AFreeFirstChannelTakesOneProbe) {
  NextChannelResult next = Next(GetParam().Region, 0, true);
  EXPECT_EQ(next.Status, LORAMAC_STATUS_OK);
  EXPECT_EQ(next.Channel, 0);
  EXPECT_EQ(fake::radio.ChannelFreeCalls.size(), 1u);
}

TEST_P(LbtTest, EveryChannelBusyGivesUpAfterSixteenProbes) {
  const LbtRow& row = GetParam();
  for (uint32_t f : row.Channels) {
    fake::radio.ChannelEnergy[f] = -70;
  }
  NextChannelResult next = Next(row.Region, 0, true);
  EXPECT_EQ(next.Status, LORAMAC_STATUS_NO_FREE_CHANNEL_FOUND);
  EXPECT_EQ(next.Channel, 0xEE);  // none written
  ASSERT_EQ(fake::radio.ChannelFreeCalls.size(), 16u);
  // Round robin over the enabled channels.
  for (size_t i = 0; i < 16; i++) {
    EXPECT_EQ(fake::radio.ChannelFreeCalls[i].Frequency, row.Channels[i % row.Channels.size()]);
  }
}

TEST_P(LbtTest, OneEnabledChannelIsProbedSixteenTimes) {
  const LbtRow& row = GetParam();
  ASSERT_TRUE(MaskSet(row.Region, {0x0002}));
  fake::radio.ChannelEnergy[row.Channels[1]] = -79;
  EXPECT_EQ(Next(row.Region, 0, true).Status, LORAMAC_STATUS_NO_FREE_CHANNEL_FOUND);
  ASSERT_EQ(fake::radio.ChannelFreeCalls.size(), 16u);
  for (const fake::ChannelFreeCall& call : fake::radio.ChannelFreeCalls) {
    EXPECT_EQ(call.Frequency, row.Channels[1]);
  }
  // Just below the threshold the channel is free.
  fake::radio.ChannelFreeCalls.clear();
  fake::radio.ChannelEnergy[row.Channels[1]] = -81;
  EXPECT_EQ(Next(row.Region, 0, true).Status, LORAMAC_STATUS_OK);
  EXPECT_EQ(fake::radio.ChannelFreeCalls.size(), 1u);
}

TEST_P(LbtTest, LbtOffProbesNothing) {
  fake::lbt = 0;
  for (uint32_t f : GetParam().Channels) {
    fake::radio.ChannelEnergy[f] = -20;
  }
  EXPECT_EQ(Next(GetParam().Region, 0, true).Status, LORAMAC_STATUS_OK);
  EXPECT_TRUE(fake::radio.ChannelFreeCalls.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Regions, LbtTest,
    ::testing::Values(LbtRow{"AS923", LORAMAC_REGION_AS923, {MHz(923.2), MHz(923.4)}},
                      LbtRow{"KR920", LORAMAC_REGION_KR920, {MHz(922.1), MHz(922.3), MHz(922.5)}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(LbtElsewhere, RegionsWithoutLbtNeverProbe) {
  Storage storage{};
  fake::Reset();
  fake::lbt = 1;
  InitDefaultsParams_t params = {&storage.group1, &storage.group2, storage.bands,
                                 INIT_TYPE_DEFAULTS};
  RegionInitDefaults(LORAMAC_REGION_EU868, &params);
  NextChanParams_t next = {};
  next.Joined = true;
  uint8_t channel = 0;
  TimerTime_t time = 0;
  TimerTime_t aggregated = 0;
  EXPECT_EQ(RegionNextChannel(LORAMAC_REGION_EU868, &next, &channel, &time, &aggregated),
            LORAMAC_STATUS_OK);
  EXPECT_TRUE(fake::radio.ChannelFreeCalls.empty());
}

}  // namespace
