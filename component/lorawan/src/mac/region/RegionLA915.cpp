/*!
 * \file RegionLA915.cpp
 *
 * \brief LA915 profile: the AU915 channel layout, kept in a context of its
 *        own that is not stored.
 */
#include "RegionAU915.h"
#include "RegionLA915.h"

namespace {

const uint8_t kMaxPayloadOfDatarateDwell0[16] = {51, 51,  51,  115, 242, 242, 242, 0,
                                                 53, 129, 242, 242, 242, 242, 0,   0};
// Looked up by the uplink data rate (at most DR_6).
const uint8_t kMaxPayloadOfDatarateDwell1[15] = {0,  0,   11,  53,  125, 242, 242, 0,
                                                 53, 129, 129, 242, 242, 242, 242};

RegionLA915NvmCtx_t NvmCtx;
uint8_t JoinTrialsCounter = 0;

RegionFixedCtx_t Ctx = {
    .Channels = NvmCtx.Channels,
    .ChannelsMask = NvmCtx.ChannelsMask,
    .ChannelsDefaultMask = NvmCtx.ChannelsDefaultMask,
    .ChannelsMaskRemaining = NvmCtx.ChannelsMaskRemaining,
    .JoinChannelGroupsCurrentIndex = nullptr,
    .JoinTrialsCounter = &JoinTrialsCounter,
    .Bands = NvmCtx.Bands,
};

const RegionFixedPlan_t kPlan = {
    .Channel125kHzBase = 915200000,
    .Channel500kHzBase = 915900000,
    .DrRange125kHz = {(DR_5 << 4) | DR_0},
    .DrRange500kHz = {(DR_6 << 4) | DR_6},
    .DefaultMask = {0x00FF, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000},
    .Datarates = DataratesAU915,
    .Bandwidths = BandwidthsAU915,
    .MaxPayloadOfDatarate = kMaxPayloadOfDatarateDwell0,
    .NbMaxPayloadOfDatarate = 16,
    .MaxPayloadOfDatarateDwell1 = kMaxPayloadOfDatarateDwell1,
    .NbMaxPayloadOfDatarateDwell1 = 15,
    .MaxTxDr = DR_5,
    .MinTxDrDwell = DR_2,
    .DefTxDr = DR_0,
    .MinRxDr = DR_8,
    .MinRxDrDwell = DR_2,
    .VerifyRxDrDwell = true,
    .MaxRxDr = DR_13,
    .Dr500kHzAbove = DR_5,
    .LinkAdrMaxDr = DR_5,
    .MaxTxPowerIdx = TX_POWER_10,
    .DefTxPower = TX_POWER_5,
    .MaxEirp = 30.0f,
    .FixedEirp30dBm = false,
    .MaxRx1DrOffset = 3,
    .Rx1DrTable = DatarateOffsetsAU915,
    .NbRx1DrRows = 7,
    .NbRx1DrColumns = 6,
    .DefUplinkDwellTime = 0,
    .ReceiveDelay1 = 5000,
    .ReceiveDelay2 = 6000,
    .JoinAcceptDelay1 = 5000,
    .JoinAcceptDelay2 = 6000,
    .MaxRxWindow = 1000,
    // RFU1 2 + Param 1 + Time 4 + CRC 2 + GwSpecific 7 + RFU2 1 + CRC 2 = 19.
    .BeaconFormat = {19, 2, 1},
    .BeaconDatarate = DR_10,
    .BeaconFrequencies = false,
    .NbBeaconChannels = 8,
    .NbPingSlotChannels = 0,
    .AnswersSfBwFromDr = false,
    .AnswersOnlyUpToPingSlotDr = true,
    .NextLowerDrWithoutMask = true,
    .NewChannelReqAnswer = 0,
    .DlChannelReqAnswer = 0,
    .TxParamSetupReqAnswer = 0,
    .JoinDrLow = DR_2,
    .JoinDrHigh = DR_6,
    .JoinDrScheme = JOIN_DR_ALTERNATE,
    .JoinDrOpensAll500kHz = true,
    // Only the 125 kHz channels leave the remaining mask once used.
    .ChanDisableLimit = REGION_FIXED_NB_125KHZ_CHANNELS,
    .CfListSetsDefaultMask = false,
    .SingleChannel = nullptr,
    .Ctx = &Ctx,
};

}  // namespace

const uint8_t (&DataratesLA915)[16] = DataratesAU915;
const uint32_t (&BandwidthsLA915)[16] = BandwidthsAU915;
const uint8_t (&MaxPayloadOfDatarateLA915)[16] = kMaxPayloadOfDatarateDwell0;
const uint8_t (&MaxPayloadOfDatarateDwell1LA915)[15] = kMaxPayloadOfDatarateDwell1;

void RegionLA915InitDefaults(InitDefaultsParams_t* params) {
  // The context is LA915's own: the MAC's groups are not used.
  RegionFixedInitDefaults(&kPlan, params->Type);
}

REGION_FIXED_DEFINE_OPERATIONS(LA915, kPlan)
