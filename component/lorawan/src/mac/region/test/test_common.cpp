// The routines every region shares.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "RegionCommon.h"
#include "region_test_support.h"

using namespace region_test;

namespace {

constexpr uint32_t kHourMs = 3600000;

// ---------------------------------------------------------------------------
// Receive-window timing

struct RxWindowCase {
  const char* Name;
  bool Fsk;
  uint8_t SfOrKbps;
  uint32_t BandwidthHz;
  uint32_t ExpectedSymbolUs;
  uint32_t ExpectedTimeout;
  int32_t ExpectedOffsetMs;
};

class RxWindowTest : public ::testing::TestWithParam<RxWindowCase> {};

TEST_P(RxWindowTest, SixMinimumSymbolsTwentyMsErrorOneMsWakeUp) {
  const RxWindowCase& c = GetParam();
  uint32_t tSymbol = c.Fsk ? RegionCommonComputeSymbolTimeFsk(c.SfOrKbps)
                           : RegionCommonComputeSymbolTimeLoRa(c.SfOrKbps, c.BandwidthHz);
  EXPECT_EQ(tSymbol, c.ExpectedSymbolUs);

  uint32_t timeout = 0;
  int32_t offset = 0;
  RegionCommonComputeRxWindowParameters(tSymbol, 6, 20, 1, &timeout, &offset);
  EXPECT_EQ(timeout, c.ExpectedTimeout);
  EXPECT_EQ(offset, c.ExpectedOffsetMs);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, RxWindowTest,
    ::testing::Values(RxWindowCase{"SF12_125kHz", false, 12, 125000, 32768, 6, 32},
                      RxWindowCase{"SF7_125kHz", false, 7, 125000, 1024, 44, -19},
                      RxWindowCase{"FSK_50kbps", true, 50, 0, 160, 254, -20}),
    [](const auto& info) { return std::string(info.param.Name); });

// Every data rate of every region, 250 kHz and FSK included, against the
// window formula written out here: the window holds the minimum symbols and
// twice the timing error, and is centred on the expected preamble, opened
// early by the radio's wake-up time.
struct Modulation {
  int8_t Dr;
  uint8_t Sf;          // 0: FSK
  uint32_t Bandwidth;  // Hz (FSK: 50 kbit/s)
};

struct RegionRates {
  const char* Name;
  LoRaMacRegion_t Region;
  std::vector<Modulation> Rates;  // the defined receive data rates, the highest last
};

std::vector<Modulation> Lora125(int8_t firstDr, uint8_t firstSf, int count) {
  std::vector<Modulation> m;
  for (int i = 0; i < count; i++) {
    m.push_back({static_cast<int8_t>(firstDr + i), static_cast<uint8_t>(firstSf - i), 125000});
  }
  return m;
}

std::vector<Modulation> operator+(std::vector<Modulation> a, const std::vector<Modulation>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<Modulation> Lora500(int8_t firstDr, uint8_t firstSf, int count) {
  std::vector<Modulation> m = Lora125(firstDr, firstSf, count);
  for (auto& x : m) {
    x.Bandwidth = 500000;
  }
  return m;
}

const std::vector<Modulation> kEuRates =
    Lora125(0, 12, 6) + std::vector<Modulation>{{6, 7, 250000}, {7, 0, 0}};

const RegionRates kRegionRates[] = {
    {"EU868", LORAMAC_REGION_EU868, kEuRates},
    {"EU433", LORAMAC_REGION_EU433, kEuRates},
    {"CN779", LORAMAC_REGION_CN779, kEuRates},
    {"RU864", LORAMAC_REGION_RU864, kEuRates},
    {"AS923", LORAMAC_REGION_AS923, kEuRates},
    // DR_6 is not defined in IN865.
    {"IN865", LORAMAC_REGION_IN865, Lora125(0, 12, 6) + std::vector<Modulation>{{7, 0, 0}}},
    {"KR920", LORAMAC_REGION_KR920, Lora125(0, 12, 6)},
    {"CN470", LORAMAC_REGION_CN470, Lora125(0, 12, 6)},
    // DR_5 to DR_7 are not defined in US915, DR_7 not in AU915 and LA915.
    {"US915", LORAMAC_REGION_US915, Lora125(0, 10, 4) + Lora500(4, 8, 1) + Lora500(8, 12, 6)},
    {"AU915", LORAMAC_REGION_AU915, Lora125(0, 12, 6) + Lora500(6, 8, 1) + Lora500(8, 12, 6)},
    {"LA915", LORAMAC_REGION_LA915, Lora125(0, 12, 6) + Lora500(6, 8, 1) + Lora500(8, 12, 6)},
};

struct WindowSetting {
  uint8_t MinRxSymbols;
  uint32_t RxErrorMs;
  uint32_t WakeUpMs;
};

int64_t CeilDiv(int64_t a, int64_t b) { return (a >= 0) ? (a + b - 1) / b : -((-a) / b); }

TEST(RxWindowEveryRegion, EveryDataRateFollowsTheWindowFormula) {
  const WindowSetting settings[] = {{6, 20, 1}, {8, 10, 13}, {4, 0, 0}};
  for (const RegionRates& region : kRegionRates) {
    for (const WindowSetting& setting : settings) {
      fake::Reset();
      fake::radio.WakeupTime = setting.WakeUpMs;
      for (const Modulation& m : region.Rates) {
        SCOPED_TRACE(std::string(region.Name) + " DR" + std::to_string(m.Dr) + " min " +
                     std::to_string(setting.MinRxSymbols) + " error " +
                     std::to_string(setting.RxErrorMs) + " wake-up " +
                     std::to_string(setting.WakeUpMs));
        // Symbol time in us: 2^SF / bandwidth, or one byte of FSK at
        // 50 kbit/s.
        const int64_t tSymbol = (m.Sf == 0) ? 8000 / 50 : (int64_t{1000000} << m.Sf) / m.Bandwidth;
        const int64_t needed =
            2 * (int64_t{setting.RxErrorMs} * 1000 + tSymbol * (int64_t{setting.MinRxSymbols} - 4));
        const int64_t symbols = std::max<int64_t>(CeilDiv(needed, tSymbol), setting.MinRxSymbols);
        const int64_t offsetUs =
            4 * tSymbol - CeilDiv(tSymbol * symbols, 2) - int64_t{setting.WakeUpMs} * 1000;
        const int64_t offsetMs = CeilDiv(offsetUs, 1000);
        const uint8_t bandwidthCode = (m.Bandwidth == 500000) ? 2 : (m.Bandwidth == 250000) ? 1 : 0;

        RxConfigParams_t params = {};
        RegionComputeRxWindowParameters(region.Region, m.Dr, setting.MinRxSymbols,
                                        setting.RxErrorMs, &params);
        EXPECT_EQ(params.Datarate, m.Dr);
        EXPECT_EQ(params.Bandwidth, bandwidthCode);
        EXPECT_EQ(params.WindowTimeout, static_cast<uint32_t>(symbols));
        EXPECT_EQ(params.WindowOffset, static_cast<int32_t>(offsetMs));
      }
      // A data rate above the highest is taken as the highest.
      const Modulation& top = region.Rates.back();
      RxConfigParams_t params = {};
      RegionComputeRxWindowParameters(region.Region, static_cast<int8_t>(top.Dr + 1),
                                      setting.MinRxSymbols, setting.RxErrorMs, &params);
      EXPECT_EQ(params.Datarate, top.Dr) << region.Name;
    }
  }
}

TEST(RxWindowEdges, NoSymbolTimeGivesTheMinimumWindowWithoutDividingByZero) {
  // A data rate without modulation (bandwidth 0) has no symbol time.
  EXPECT_EQ(RegionCommonComputeSymbolTimeLoRa(7, 0), 0u);
  EXPECT_EQ(RegionCommonComputeSymbolTimeFsk(0), 0u);
  uint32_t timeout = 0;
  int32_t offset = 0;
  RegionCommonComputeRxWindowParameters(0, 6, 20, 1, &timeout, &offset);
  EXPECT_EQ(timeout, 6u);
  EXPECT_EQ(offset, -1);
}

TEST(RxWindowEdges, FewerThanFourMinimumSymbolsDoesNotWrap) {
  uint32_t timeout = 0;
  int32_t offset = 0;
  // 0 ms error and 2 minimum symbols: the window is the 2 symbols.
  RegionCommonComputeRxWindowParameters(1024, 2, 0, 0, &timeout, &offset);
  EXPECT_EQ(timeout, 2u);
  EXPECT_EQ(offset, 4);  // 4 x 1024 - 1024 = 3072 us, rounded up to 4 ms
}

// ---------------------------------------------------------------------------
// TX power, band limit, bandwidth code

TEST(TxPower, FloorOfEirpMinusTwoDbPerStepMinusGain) {
  EXPECT_EQ(RegionCommonComputeTxPower(0, 16.0f, 2.15f), 13);  // 13.85 -> 13
  EXPECT_EQ(RegionCommonComputeTxPower(7, 16.0f, 0.0f), 2);
  EXPECT_EQ(RegionCommonComputeTxPower(5, 30.0f, 0.0f), 20);
  EXPECT_EQ(RegionCommonComputeTxPower(1, 12.15f, 0.0f), 10);  // 10.15 -> 10
  EXPECT_EQ(RegionCommonComputeTxPower(0, -0.5f, 0.0f), -1);   // floor, not truncation
  // Out of the 8-bit range: saturated, never undefined.
  EXPECT_EQ(RegionCommonComputeTxPower(0, 500.0f, 0.0f), 127);
  EXPECT_EQ(RegionCommonComputeTxPower(127, -100.0f, 0.0f), -128);
}

TEST(TxPower, BandLimitOnlyLowersThePower) {
  EXPECT_EQ(RegionCommonLimitTxPower(2, 5), 5);
  EXPECT_EQ(RegionCommonLimitTxPower(6, 5), 6);
}

TEST(Bandwidth, CodeOfTheTableEntry) {
  const uint32_t bandwidths[] = {125000, 250000, 500000, 0, 62500};
  EXPECT_EQ(RegionCommonGetBandwidth(0, bandwidths), 0u);
  EXPECT_EQ(RegionCommonGetBandwidth(1, bandwidths), 1u);
  EXPECT_EQ(RegionCommonGetBandwidth(2, bandwidths), 2u);
  EXPECT_EQ(RegionCommonGetBandwidth(3, bandwidths), 0u);  // FSK entry
  EXPECT_EQ(RegionCommonGetBandwidth(4, bandwidths), 0u);
}

// ---------------------------------------------------------------------------
// Mask helpers

TEST(Masks, DisableRefusesIdsPastTheChannelCount) {
  uint16_t mask[6] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
  EXPECT_TRUE(RegionCommonChanDisable(mask, 17, 72));
  EXPECT_EQ(mask[1], 0xFFFD);
  EXPECT_TRUE(RegionCommonChanDisable(mask, 71, 72));
  EXPECT_EQ(mask[4], 0xFF7F);
  EXPECT_FALSE(RegionCommonChanDisable(mask, 72, 72));
  EXPECT_FALSE(RegionCommonChanDisable(mask, 64, 64));
  EXPECT_FALSE(RegionCommonChanDisable(mask, 255, 96));
  EXPECT_FALSE(RegionCommonChanDisable(nullptr, 1, 16));
  EXPECT_EQ(mask[4], 0xFF7F);
  EXPECT_EQ(mask[5], 0xFFFF);
}

TEST(Masks, CountAndCopy) {
  uint16_t mask[6] = {0x0007, 0x8001, 0xFFFF, 0, 0x00FF, 0};
  EXPECT_EQ(RegionCommonCountChannels(mask, 0, 1), 3);
  EXPECT_EQ(RegionCommonCountChannels(mask, 0, 4), 21);
  EXPECT_EQ(RegionCommonCountChannels(mask, 4, 6), 8);
  EXPECT_EQ(RegionCommonCountChannels(nullptr, 0, 6), 0);

  uint16_t copy[6] = {0};
  RegionCommonChanMaskCopy(copy, mask, 2);
  EXPECT_EQ(copy[0], 0x0007);
  EXPECT_EQ(copy[1], 0x8001);
  EXPECT_EQ(copy[2], 0);
  RegionCommonChanMaskCopy(nullptr, mask, 6);  // nothing happens
  RegionCommonChanMaskCopy(copy, nullptr, 6);
  EXPECT_EQ(copy[0], 0x0007);
}

TEST(Masks, VerifyDrNeedsAnEnabledChannelCoveringIt) {
  ChannelParams_t channels[16] = {};
  channels[0] = {MHz(868.1), 0, {0x50}, 1};  // DR_0-DR_5
  channels[1] = {MHz(868.3), 0, {0x77}, 1};  // DR_7 only
  uint16_t mask = 0x0001;
  EXPECT_TRUE(RegionCommonChanVerifyDr(16, &mask, 5, 0, 7, channels));
  EXPECT_FALSE(RegionCommonChanVerifyDr(16, &mask, 7, 0, 7, channels));  // channel 1 masked out
  mask = 0x0003;
  EXPECT_TRUE(RegionCommonChanVerifyDr(16, &mask, 7, 0, 7, channels));
  EXPECT_FALSE(RegionCommonChanVerifyDr(16, &mask, 7, 0, 6, channels));  // above the maximum
  EXPECT_FALSE(RegionCommonChanVerifyDr(16, &mask, -1, 0, 7, channels));
  EXPECT_EQ(RegionCommonValueInRange(3, 0, 5), 1);
  EXPECT_EQ(RegionCommonValueInRange(6, 0, 5), 0);
}

TEST(Masks, NextLowerDataRateSkipsRatesNoEnabledChannelCarries) {
  ChannelParams_t channels[16] = {};
  channels[0] = {MHz(868.1), 0, {0x50}, 0};  // DR_0-DR_5
  channels[1] = {MHz(868.3), 0, {0x77}, 0};  // DR_7
  uint16_t mask = 0x0003;
  RegionCommonGetNextLowerTxDrParams_t params = {7, 7, 0, 16, &mask, channels};
  EXPECT_EQ(RegionCommonGetNextLowerTxDr(&params), 5);  // DR_6 has no channel
  params.CurrentDr = 3;
  EXPECT_EQ(RegionCommonGetNextLowerTxDr(&params), 2);
  params.CurrentDr = 0;
  EXPECT_EQ(RegionCommonGetNextLowerTxDr(&params), 0);
  params.MinDr = 2;
  params.CurrentDr = 1;  // below the minimum: the minimum
  EXPECT_EQ(RegionCommonGetNextLowerTxDr(&params), 2);
}

// ---------------------------------------------------------------------------
// LinkADRReq

TEST(LinkAdrParse, ReadsTheFiveBytes) {
  uint8_t payload[] = {0x03, 0x50, 0x07, 0x00, 0x01};
  RegionCommonLinkAdrParams_t params = {};
  EXPECT_EQ(RegionCommonParseLinkAdrReq(payload, &params), 5);
  EXPECT_EQ(params.Datarate, 5);
  EXPECT_EQ(params.TxPower, 0);
  EXPECT_EQ(params.ChMask, 0x0007);
  EXPECT_EQ(params.ChMaskCtrl, 0);
  EXPECT_EQ(params.NbRep, 1);

  uint8_t other[] = {0x73, 0xF4, 0x34, 0x12, 0x65};
  other[0] = 0x03;
  EXPECT_EQ(RegionCommonParseLinkAdrReq(other, &params), 5);
  EXPECT_EQ(params.Datarate, 15);
  EXPECT_EQ(params.TxPower, 4);
  EXPECT_EQ(params.ChMask, 0x1234);
  EXPECT_EQ(params.ChMaskCtrl, 6);
  EXPECT_EQ(params.NbRep, 5);
}

TEST(LinkAdrParse, AnotherCommandIsNotConsumed) {
  uint8_t payload[] = {0x05, 0x50, 0x07, 0x00, 0x01};
  RegionCommonLinkAdrParams_t params = {};
  EXPECT_EQ(RegionCommonParseLinkAdrReq(payload, &params), 0);
}

struct VerifyCase {
  const char* Name;
  uint8_t StatusIn;
  bool Adr;
  int8_t Dr;
  int8_t TxPower;
  uint8_t NbRep;
  uint8_t ExpectedStatus;
  int8_t ExpectedDr;
  int8_t ExpectedTxPower;
  uint8_t ExpectedNbRep;
};

class LinkAdrVerifyTest : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(LinkAdrVerifyTest, Case) {
  const VerifyCase& c = GetParam();
  ChannelParams_t channels[16] = {};
  channels[0] = {MHz(868.1), 0, {0x50}, 0};
  uint16_t mask = 0x0001;
  RegionCommonLinkAdrReqVerifyParams_t params = {};
  params.Status = c.StatusIn;
  params.AdrEnabled = c.Adr;
  params.Datarate = c.Dr;
  params.TxPower = c.TxPower;
  params.NbRep = c.NbRep;
  params.CurrentDatarate = 2;
  params.CurrentTxPower = 3;
  params.CurrentNbRep = 4;
  params.NbChannels = 16;
  params.ChannelsMask = &mask;
  params.MinDatarate = 0;
  params.MaxDatarate = 7;
  params.Channels = channels;
  params.MinTxPower = 7;
  params.MaxTxPower = 1;

  int8_t dr = -1;
  int8_t txPower = -1;
  uint8_t nbRep = 0xFF;
  EXPECT_EQ(RegionCommonLinkAdrReqVerifyParams(&params, &dr, &txPower, &nbRep), c.ExpectedStatus);
  EXPECT_EQ(dr, c.ExpectedDr);
  EXPECT_EQ(txPower, c.ExpectedTxPower);
  EXPECT_EQ(nbRep, c.ExpectedNbRep);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkAdrVerifyTest,
    ::testing::Values(
        VerifyCase{"AllAccepted", 7, true, 5, 4, 2, 7, 5, 4, 2},
        VerifyCase{"Dr15AndTxPower15KeepCurrent", 7, true, 15, 15, 2, 7, 2, 3, 2},
        VerifyCase{"NbRep0BecomesOneWhenAllAccepted", 7, true, 5, 4, 0, 7, 5, 4, 1},
        VerifyCase{"NbRep0StaysWhenMaskRefused", 6, true, 5, 4, 0, 6, 5, 4, 0},
        VerifyCase{"DrNoChannelCarriesLosesBit1", 7, true, 6, 4, 1, 5, 6, 4, 1},
        VerifyCase{"TxPowerAboveHighestIsRaised", 7, true, 5, 0, 1, 7, 5, 1, 1},
        VerifyCase{"TxPowerBelowLowestLosesBit2NbRepUnadjusted", 7, true, 5, 9, 0, 3, 5, 9, 0},
        VerifyCase{"StatusZeroReturnsValuesUnchecked", 0, true, 14, 14, 0, 0, 14, 14, 0},
        VerifyCase{"AdrOffUsesCurrentValues", 7, false, 5, 9, 0, 7, 2, 3, 4}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------------------
// Duty cycle by time credits

class DutyCycleTest : public ::testing::Test {
 protected:
  Band_t band{};

  void SetUp() override {
    fake::Reset();
    band = Band_t{};
  }

  TimerTime_t Update(bool joined, bool dutyCycle, uint32_t secondsSinceStartUp,
                     TimerTime_t timeOnAir) {
    return RegionCommonUpdateBandTimeOff(joined, &band, 1, dutyCycle, !joined,
                                         SysTime_t{secondsSinceStartUp, 0}, timeOnAir);
  }
};

TEST_F(DutyCycleTest, BeforeTheJoinEveryBandIsChargedAtLeastOnePercent) {
  band.DCycle = 1;  // no restriction of its own
  fake::now = 30 * 60 * 1000;
  Update(false, true, 30 * 60, 1000);
  ASSERT_EQ(band.TimeCredits, kHourMs);

  RegionCommonSetBandTxDone(&band, 1000, false, SysTime_t{30 * 60, 0});
  EXPECT_EQ(band.TimeCredits, kHourMs - 100 * 1000);

  // Joined, the band's own duty cycle applies.
  RegionCommonSetBandTxDone(&band, 1000, true, SysTime_t{30 * 60, 0});
  EXPECT_EQ(band.TimeCredits, kHourMs - 100 * 1000 - 1000);

  // A cost above the credits leaves none.
  RegionCommonSetBandTxDone(&band, 100000, false, SysTime_t{30 * 60, 0});
  EXPECT_EQ(band.TimeCredits, 0u);
}

TEST_F(DutyCycleTest, JoinBackOffPhasesRefillOnceAndLowerTheCeiling) {
  band.DCycle = 100;
  fake::now = 1000;
  Update(false, true, 1, 100);
  EXPECT_EQ(band.TimeCredits, kHourMs);
  EXPECT_EQ(band.MaxTimeCredits, kHourMs);
  EXPECT_EQ(band.LastMaxCreditAssignTime, kHourMs);

  RegionCommonSetBandTxDone(&band, 10000, false, SysTime_t{1, 0});
  EXPECT_EQ(band.TimeCredits, kHourMs - 1000000);

  // Still in the first hour: no refill.
  fake::now = 3599 * 1000;
  Update(false, true, 3599, 100);
  EXPECT_EQ(band.TimeCredits, kHourMs - 1000000);

  // At one hour the period becomes 11 h: one refill.
  fake::now = 3600 * 1000;
  Update(false, true, 3600, 100);
  EXPECT_EQ(band.TimeCredits, kHourMs);
  EXPECT_EQ(band.LastMaxCreditAssignTime, 39600000u);
  RegionCommonSetBandTxDone(&band, 10000, false, SysTime_t{3600, 0});
  fake::now = 3700 * 1000;
  Update(false, true, 3700, 100);
  EXPECT_EQ(band.TimeCredits, kHourMs - 1000000);

  // At 39,600 s the ceiling drops to 870,000 ms and the period to 35 h.
  fake::now = 39600u * 1000;
  Update(false, true, 39600, 100);
  EXPECT_EQ(band.MaxTimeCredits, 870000u);
  EXPECT_EQ(band.TimeCredits, 870000u);
  EXPECT_EQ(band.LastMaxCreditAssignTime, 126000000u);
}

TEST_F(DutyCycleTest, JoinedWithDutyCycleOffIsAlwaysReady) {
  band.DCycle = 1000;
  fake::now = 5000;
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(Update(true, false, 5, 4000000), TIMERTIME_T_MAX);
    EXPECT_TRUE(band.ReadyForTransmission);
    RegionCommonSetBandTxDone(&band, 4000, true, SysTime_t{5, 0});
  }
}

TEST_F(DutyCycleTest, JoiningAfterTheFirstHourRefillsJoiningWithinItDoesNot) {
  band.DCycle = 100;
  fake::now = 2 * kHourMs;
  Update(false, true, 7200, 100);  // period 39,600,000
  RegionCommonSetBandTxDone(&band, 10000, false, SysTime_t{7200, 0});
  ASSERT_EQ(band.TimeCredits, kHourMs - 1000000);
  fake::now += 1000;
  Update(true, true, 7201, 100);  // the joined period differs: refill
  EXPECT_EQ(band.TimeCredits, kHourMs);

  SetUp();
  band.DCycle = 100;
  fake::now = 60000;
  Update(false, true, 60, 100);
  RegionCommonSetBandTxDone(&band, 10000, false, SysTime_t{60, 0});
  fake::now += 1000;
  Update(true, true, 61, 100);  // same one-hour period: no refill
  EXPECT_EQ(band.TimeCredits, kHourMs - 1000000);
}

TEST_F(DutyCycleTest, ABandShortOfCreditsWaitsForTheRestOfItsPeriod) {
  band.DCycle = 100;
  fake::now = 1000;
  Update(true, true, 1, 1000);
  RegionCommonSetBandTxDone(&band, 35000, true, SysTime_t{1, 0});  // 3,500,000 spent
  fake::now = 1000 + 600000;                                       // 10 minutes later
  EXPECT_EQ(Update(true, true, 601, 1000), kHourMs - 600000);
  EXPECT_FALSE(band.ReadyForTransmission);

  // After the period the band is refilled and ready.
  fake::now = 1000 + kHourMs;
  EXPECT_EQ(Update(true, true, 3601, 1000), TIMERTIME_T_MAX);
  EXPECT_TRUE(band.ReadyForTransmission);
}

class IdentifyTest : public ::testing::Test {
 protected:
  ChannelParams_t channels[16] = {};
  Band_t bands[2] = {};
  uint16_t mask = 0x0003;
  uint16_t joinMask = 0x0001;
  RegionCommonCountNbOfEnabledChannelsParams_t count{};
  RegionCommonIdentifyChannelsParam_t identify{};

  void SetUp() override {
    fake::Reset();
    channels[0] = {MHz(868.1), 0, {0x50}, 0};
    channels[1] = {MHz(868.3), 0, {0x50}, 1};
    bands[0].DCycle = 100;
    bands[1].DCycle = 100;
    count = {true, 5, &mask, channels, bands, 16, &joinMask};
    identify.DutyCycleEnabled = true;
    identify.MaxBands = 2;
    identify.ElapsedTimeSinceStartUp = {100, 0};
    identify.ExpectedTimeOnAir = 1000;
    identify.CountNbOfEnabledChannelsParam = &count;
    fake::now = 100000;
  }

  LoRaMacStatus_t Run(std::vector<uint8_t>* enabled, uint8_t* nbRestricted, TimerTime_t* delay) {
    uint8_t list[96] = {0};
    uint8_t nbEnabled = 0;
    TimerTime_t aggregated = 0xABCD;
    LoRaMacStatus_t status =
        RegionCommonIdentifyChannels(&identify, &aggregated, list, &nbEnabled, nbRestricted, delay);
    enabled->assign(list, list + nbEnabled);
    return status;
  }
};

TEST_F(IdentifyTest, EnabledChannelsPassMaskFrequencyJoinMaskAndDataRate) {
  std::vector<uint8_t> enabled;
  uint8_t restricted = 0;
  TimerTime_t delay = 1;
  EXPECT_EQ(Run(&enabled, &restricted, &delay), LORAMAC_STATUS_OK);
  EXPECT_EQ(enabled, (std::vector<uint8_t>{0, 1}));
  EXPECT_EQ(delay, 0u);

  count.Joined = false;  // only the join channels
  EXPECT_EQ(Run(&enabled, &restricted, &delay), LORAMAC_STATUS_OK);
  EXPECT_EQ(enabled, (std::vector<uint8_t>{0}));

  count.Joined = true;
  count.Datarate = 6;  // above both ranges
  EXPECT_EQ(Run(&enabled, &restricted, &delay), LORAMAC_STATUS_NO_CHANNEL_FOUND);

  count.Datarate = 5;
  channels[0].Frequency = 0;  // undefined channel
  EXPECT_EQ(Run(&enabled, &restricted, &delay), LORAMAC_STATUS_OK);
  EXPECT_EQ(enabled, (std::vector<uint8_t>{1}));
}

TEST_F(IdentifyTest, FrameTooLongForAnyBandIsRestrictedForever) {
  identify.ExpectedTimeOnAir = 36001;  // x100 is above the 3,600,000 ceiling
  std::vector<uint8_t> enabled;
  uint8_t restricted = 0;
  TimerTime_t delay = 0;
  EXPECT_EQ(Run(&enabled, &restricted, &delay), LORAMAC_STATUS_DUTYCYCLE_RESTRICTED);
  EXPECT_EQ(delay, TIMERTIME_T_MAX);
  EXPECT_EQ(restricted, 2);
  EXPECT_FALSE(bands[0].ReadyForTransmission);

  mask = 0;  // no channel passes the mask
  EXPECT_EQ(Run(&enabled, &restricted, &delay), LORAMAC_STATUS_NO_CHANNEL_FOUND);
}

TEST_F(IdentifyTest, AggregatedTimeOffStillRunningIsRestricted) {
  identify.LastAggrTx = 90000;
  identify.AggrTimeOff = 15000;  // 10 s elapsed of 15 s
  std::vector<uint8_t> enabled;
  uint8_t restricted = 0;
  TimerTime_t delay = 0;
  EXPECT_EQ(Run(&enabled, &restricted, &delay), LORAMAC_STATUS_DUTYCYCLE_RESTRICTED);
  EXPECT_EQ(delay, 5000u);
  EXPECT_TRUE(enabled.empty());

  fake::now = 105000;  // over
  EXPECT_EQ(Run(&enabled, &restricted, &delay), LORAMAC_STATUS_OK);
}

TEST_F(IdentifyTest, SignedDrRangeNibblesAndUnknownBandsAreSkipped) {
  channels[0].DrRange.Value = static_cast<int8_t>(0x08);  // Min nibble 8 reads as -8
  channels[1].Band = 9;                                   // no such band
  count.Datarate = 0;
  count.Bands = bands;
  std::vector<uint8_t> enabled;
  uint8_t restricted = 0;
  TimerTime_t delay = 0;
  EXPECT_EQ(Run(&enabled, &restricted, &delay), LORAMAC_STATUS_OK);
  EXPECT_EQ(enabled, (std::vector<uint8_t>{0}));
}

// ---------------------------------------------------------------------------
// Beacon reception

TEST(BeaconSetup, ConfiguresAFixedLengthLoRaReception) {
  fake::Reset();
  const uint8_t datarates[] = {12, 11, 10, 9, 8, 7, 7, 50};
  RegionCommonRxBeaconSetupParams_t params = {datarates, MHz(869.525), 17, 3, 0, 0, 8};
  RegionCommonRxBeaconSetup(&params);
  EXPECT_EQ(fake::radio.SleepCalls, 1);
  ASSERT_EQ(fake::radio.Channels.size(), 1u);
  EXPECT_EQ(fake::radio.Channels[0], MHz(869.525));
  ASSERT_EQ(fake::radio.RxConfigs.size(), 1u);
  const fake::RxConfigCall& rx = fake::radio.RxConfigs[0];
  EXPECT_EQ(rx.Modem, MODEM_LORA);
  EXPECT_EQ(rx.Bandwidth, 0u);
  EXPECT_EQ(rx.Datarate, 9u);
  EXPECT_EQ(rx.PreambleLen, 10);
  EXPECT_TRUE(rx.FixLen);
  EXPECT_EQ(rx.PayloadLen, 17);
  EXPECT_FALSE(rx.CrcOn);
  EXPECT_FALSE(rx.IqInverted);
  EXPECT_TRUE(rx.RxContinuous);
  ASSERT_EQ(fake::radio.MaxPayloadLengths.size(), 1u);
  EXPECT_EQ(fake::radio.MaxPayloadLengths[0].second, 17);
  EXPECT_EQ(fake::radio.RxCalls, (std::vector<uint32_t>{0}));

  params.RxTime = 2120;
  RegionCommonRxBeaconSetup(&params);
  EXPECT_FALSE(fake::radio.RxConfigs.back().RxContinuous);
  EXPECT_EQ(fake::radio.RxCalls.back(), 2120u);
}

}  // namespace
