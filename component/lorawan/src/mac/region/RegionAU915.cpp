/*!
 * \file RegionAU915.cpp
 *
 * \brief AU915 profile.
 */
#include "RegionAU915.h"

namespace {

const uint8_t kMaxPayloadOfDatarateDwell0[14] = {51, 51, 51,  115, 242, 242, 242,
                                                 0,  53, 129, 242, 242, 242, 242};
const uint8_t kMaxPayloadOfDatarateDwell1[14] = {0, 0,  11,  53,  125, 242, 242,
                                                 0, 53, 129, 242, 242, 242, 242};

SingleChannel_t AU915_SingleChannel = {nullptr, nullptr};
RegionFixedCtx_t Ctx;

const RegionFixedPlan_t kPlan = {
    .Channel125kHzBase = 915200000,
    .Channel500kHzBase = 915900000,
    .DrRange125kHz = {(DR_5 << 4) | DR_0},
    .DrRange500kHz = {(DR_6 << 4) | DR_6},
    .DefaultMask = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0x00FF, 0x0000},
    .Datarates = DataratesAU915,
    .Bandwidths = BandwidthsAU915,
    .MaxPayloadOfDatarate = kMaxPayloadOfDatarateDwell0,
    .NbMaxPayloadOfDatarate = 14,
    .MaxPayloadOfDatarateDwell1 = kMaxPayloadOfDatarateDwell1,
    .NbMaxPayloadOfDatarateDwell1 = 14,
    // Uplink data rates end at DR_6: DR_7 is undefined and DR_8 up are
    // downlink-only.
    .MaxTxDr = DR_6,
    .MinTxDrDwell = DR_2,
    .DefTxDr = DR_2,
    .MinRxDr = DR_8,
    .MinRxDrDwell = DR_2,
    .VerifyRxDrDwell = false,
    .MaxRxDr = DR_13,
    .Dr500kHzAbove = DR_5,
    .LinkAdrMaxDr = DR_13,
    .MaxTxPowerIdx = TX_POWER_14,
    .DefTxPower = TX_POWER_0,
    .MaxEirp = 30.0f,
    .FixedEirp30dBm = false,
    .MaxRx1DrOffset = 5,
    .Rx1DrTable = DatarateOffsetsAU915,
    .NbRx1DrRows = 7,
    .NbRx1DrColumns = 6,
    .DefUplinkDwellTime = 1,
    .ReceiveDelay1 = 1000,
    .ReceiveDelay2 = 2000,
    .JoinAcceptDelay1 = 5000,
    .JoinAcceptDelay2 = 6000,
    .MaxRxWindow = 3000,
    .BeaconFormat = {23, 4, 3},
    .BeaconDatarate = DR_8,
    .BeaconFrequencies = true,
    .NbBeaconChannels = 8,
    .NbPingSlotChannels = 8,
    .AnswersSfBwFromDr = true,
    .AnswersOnlyUpToPingSlotDr = false,
    .NextLowerDrWithoutMask = false,
    .NewChannelReqAnswer = -1,
    .DlChannelReqAnswer = -1,
    .TxParamSetupReqAnswer = 0,
    .JoinDrLow = DR_2,
    .JoinDrHigh = DR_6,
    .JoinDrScheme = JOIN_DR_EVERY_NINTH_HIGH,
    .JoinDrOpensAll500kHz = false,
    .ChanDisableLimit = REGION_FIXED_NB_CHANNELS,
    .CfListSetsDefaultMask = true,
    .SingleChannel = &AU915_SingleChannel,
    .Ctx = &Ctx,
};

}  // namespace

const uint8_t (&MaxPayloadOfDatarateAU915)[14] = kMaxPayloadOfDatarateDwell0;
const uint8_t (&MaxPayloadOfDatarateDwell1AU915)[14] = kMaxPayloadOfDatarateDwell1;

int32_t AU915_SingleChannelRegisterCallback(SingleChannel_t* singleChannel) {
  if (singleChannel == nullptr) {
    return -1;
  }
  AU915_SingleChannel.IsSingleChannel = singleChannel->IsSingleChannel;
  AU915_SingleChannel.AlternateDr = singleChannel->AlternateDr;
  return 0;
}

void RegionAU915InitDefaults(InitDefaultsParams_t* params) {
  if (params->Type == INIT_TYPE_DEFAULTS) {
    if (params->NvmGroup1 == nullptr || params->NvmGroup2 == nullptr || params->Bands == nullptr) {
      return;
    }
    RegionFixedBindGroups(&Ctx, params);
    *Ctx.JoinChannelGroupsCurrentIndex = 0;
    *Ctx.JoinTrialsCounter = 0;
  }
  RegionFixedInitDefaults(&kPlan, params->Type);
}

REGION_FIXED_DEFINE_OPERATIONS(AU915, kPlan)
