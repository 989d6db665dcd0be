/*
 * ADR back-off over the acknowledgement counter, on the real EU868 region
 * (default TX power 0, lowest data rate DR0, channels 0 to 2 by default) and
 * AS923 with the uplink dwell time on (lowest data rate DR2).
 */
#include <gtest/gtest.h>

#include "LoRaMacAdr.h"
#include "Region.h"

namespace {

// The regions keep pointers to these.
RegionNvmDataGroup1_t Group1[2];
RegionNvmDataGroup2_t Group2[2];
Band_t Bands[2][REGION_NVM_MAX_NB_BANDS];

void InitRegion(LoRaMacRegion_t region, int index) {
  InitDefaultsParams_t params = {};
  params.NvmGroup1 = &Group1[index];
  params.NvmGroup2 = &Group2[index];
  params.Bands = Bands[index];
  params.Type = INIT_TYPE_DEFAULTS;
  RegionInitDefaults(region, &params);
}

struct Result {
  bool AdrAckReq;
  int8_t Datarate;
  int8_t TxPower;
  uint8_t NbTrans;
};

Result CalcNext(CalcNextAdrParams_t params) {
  Result r = {};
  uint32_t counter = 0xDEAD;
  r.AdrAckReq = LoRaMacAdrCalcNext(&params, &r.Datarate, &r.TxPower, &r.NbTrans, &counter);
  EXPECT_EQ(counter, params.AdrAckCounter) << "the counter is handed back unchanged";
  return r;
}

CalcNextAdrParams_t Eu868(uint32_t counter, int8_t datarate = DR_5) {
  CalcNextAdrParams_t p = {};
  p.UpdateChanMask = true;
  p.AdrEnabled = true;
  p.AdrAckCounter = counter;
  p.AdrAckLimit = 64;
  p.AdrAckDelay = 32;
  p.Datarate = datarate;
  p.TxPower = TX_POWER_3;
  p.NbTrans = 3;
  p.Region = LORAMAC_REGION_EU868;
  return p;
}

class Adr : public ::testing::Test {
 protected:
  void SetUp() override {
    InitRegion(LORAMAC_REGION_EU868, 0);
    InitRegion(LORAMAC_REGION_AS923, 1);
  }
};

TEST_F(Adr, BacksOffOverTheCounter) {
  struct Case {
    uint32_t Counter;
    Result Expected;
  };
  // Limit 64 (L), delay 32 (D); DR5, power 3, NbTrans 3 in.
  const Case cases[] = {
      {0, {false, DR_5, TX_POWER_3, 3}},         {63, {false, DR_5, TX_POWER_3, 3}},  // L - 1
      {64, {true, DR_5, TX_POWER_3, 3}},                                              // L
      {95, {true, DR_5, TX_POWER_3, 3}},                                              // L + D - 1
      {96, {true, DR_5, TX_POWER_0, 3}},          // L + D: default power
      {127, {true, DR_5, TX_POWER_0, 3}},         // L + 2D - 1
      {128, {true, DR_4, TX_POWER_0, 3}},         // L + 2D: one step
      {129, {true, DR_5, TX_POWER_0, 3}},         // L + 2D + 1: no step
      {160, {true, DR_4, TX_POWER_0, 3}},         // L + 3D: another step
      {0xFFFFFFE0, {true, DR_4, TX_POWER_0, 3}},  // (counter - L) a multiple of D, near saturation
      {0xFFFFFFFF, {true, DR_5, TX_POWER_0, 3}},  // saturated
  };
  for (const Case& c : cases) {
    Result r = CalcNext(Eu868(c.Counter));
    EXPECT_EQ(r.AdrAckReq, c.Expected.AdrAckReq) << c.Counter;
    EXPECT_EQ(r.Datarate, c.Expected.Datarate) << c.Counter;
    EXPECT_EQ(r.TxPower, c.Expected.TxPower) << c.Counter;
    EXPECT_EQ(r.NbTrans, c.Expected.NbTrans) << c.Counter;
  }
}

TEST_F(Adr, OffChangesNothing) {
  for (uint32_t counter : {0u, 64u, 96u, 128u, 0xFFFFFFFFu}) {
    CalcNextAdrParams_t p = Eu868(counter);
    p.AdrEnabled = false;
    Result r = CalcNext(p);
    EXPECT_FALSE(r.AdrAckReq) << counter;
    EXPECT_EQ(r.Datarate, DR_5) << counter;
    EXPECT_EQ(r.TxPower, TX_POWER_3) << counter;
    EXPECT_EQ(r.NbTrans, 3) << counter;
  }
}

TEST_F(Adr, AStepAtTheLowestRateSwitchesTheDefaultChannelsOnOnlyWhenAsked) {
  // Only channel 0 left on.
  Group2[0].ChannelsMask[0] = 0x0001;
  CalcNextAdrParams_t query = Eu868(128, DR_0);
  query.UpdateChanMask = false;
  Result r = CalcNext(query);
  EXPECT_EQ(r.Datarate, DR_0);
  EXPECT_EQ(r.NbTrans, 1);
  EXPECT_EQ(Group2[0].ChannelsMask[0], 0x0001);

  r = CalcNext(Eu868(128, DR_0));
  EXPECT_EQ(r.Datarate, DR_0);
  EXPECT_EQ(r.TxPower, TX_POWER_0);
  EXPECT_EQ(r.NbTrans, 1);
  EXPECT_EQ(Group2[0].ChannelsMask[0], 0x0007);

  // Between steps, nothing of the kind.
  Group2[0].ChannelsMask[0] = 0x0001;
  r = CalcNext(Eu868(129, DR_0));
  EXPECT_EQ(r.NbTrans, 3);
  EXPECT_EQ(Group2[0].ChannelsMask[0], 0x0001);
}

TEST_F(Adr, TheRateIsRaisedToTheRegionsLowestAndTheStepStartsFromThere) {
  struct Case {
    int8_t Datarate;
    uint32_t Counter;
    int8_t ExpectedDatarate;
    uint8_t ExpectedNbTrans;
  };
  // AS923 with the uplink dwell time on: DR2 is the lowest.
  const Case cases[] = {
      {DR_1, 0, DR_2, 3},    // raised, no step
      {DR_1, 128, DR_2, 1},  // below the lowest: a step there, NbTrans 1
      {DR_2, 128, DR_2, 1},  // at the lowest
      {DR_3, 128, DR_2, 3},  // above: a plain step
  };
  for (const Case& c : cases) {
    CalcNextAdrParams_t p = Eu868(c.Counter, c.Datarate);
    p.Region = LORAMAC_REGION_AS923;
    p.UplinkDwellTime = 1;
    Result r = CalcNext(p);
    EXPECT_EQ(r.Datarate, c.ExpectedDatarate) << int(c.Datarate) << " at " << c.Counter;
    EXPECT_EQ(r.NbTrans, c.ExpectedNbTrans) << int(c.Datarate) << " at " << c.Counter;
  }
}

TEST_F(Adr, WithoutDelayTheStepComesOnlyAtTheLimit) {
  struct Case {
    uint32_t Counter;
    bool AdrAckReq;
    int8_t Datarate;
    int8_t TxPower;
  };
  const Case cases[] = {
      {63, false, DR_5, TX_POWER_3},
      {64, true, DR_4, TX_POWER_0},
      {65, true, DR_5, TX_POWER_0},
      {128, true, DR_5, TX_POWER_0},
  };
  for (const Case& c : cases) {
    CalcNextAdrParams_t p = Eu868(c.Counter);
    p.AdrAckDelay = 0;
    Result r = CalcNext(p);
    EXPECT_EQ(r.AdrAckReq, c.AdrAckReq) << c.Counter;
    EXPECT_EQ(r.Datarate, c.Datarate) << c.Counter;
    EXPECT_EQ(r.TxPower, c.TxPower) << c.Counter;
  }
}

}  // namespace
