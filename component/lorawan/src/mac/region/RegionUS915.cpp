/*!
 * \file RegionUS915.cpp
 *
 * \brief US915 profile.
 */
#include "RegionUS915.h"

namespace {

const uint8_t kDatarates[16] = {10, 9, 8, 7, 8, 0, 0, 0, 12, 11, 10, 9, 8, 7, 0, 0};
const uint32_t kBandwidths[16] = {125000, 125000, 125000, 125000, 500000, 0,      0, 0,
                                  500000, 500000, 500000, 500000, 500000, 500000, 0, 0};
const uint8_t kMaxPayloadOfDatarate[16] = {11, 53,  125, 242, 242, 0,   0, 0,
                                           53, 129, 242, 242, 242, 242, 0, 0};

// RX1 data rate by uplink data rate DR_0-DR_4 and offset 0-3.
const uint8_t kDatarateOffsets[5][6] = {
    {DR_10, DR_9, DR_8, DR_8},    {DR_11, DR_10, DR_9, DR_8},   {DR_12, DR_11, DR_10, DR_9},
    {DR_13, DR_12, DR_11, DR_10}, {DR_13, DR_13, DR_12, DR_11},
};

SingleChannel_t US915_SingleChannel = {nullptr, nullptr};
RegionFixedCtx_t Ctx;

const RegionFixedPlan_t kPlan = {
    .Channel125kHzBase = 902300000,
    .Channel500kHzBase = 903000000,
    .DrRange125kHz = {(DR_3 << 4) | DR_0},
    .DrRange500kHz = {(DR_4 << 4) | DR_4},
    .DefaultMask = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0x00FF, 0x0000},
    .Datarates = kDatarates,
    .Bandwidths = kBandwidths,
    .MaxPayloadOfDatarate = kMaxPayloadOfDatarate,
    .NbMaxPayloadOfDatarate = 16,
    .MaxPayloadOfDatarateDwell1 = nullptr,
    .NbMaxPayloadOfDatarateDwell1 = 0,
    .MaxTxDr = DR_4,
    .MinTxDrDwell = DR_0,
    .DefTxDr = DR_0,
    .MinRxDr = DR_8,
    .MinRxDrDwell = DR_8,
    .VerifyRxDrDwell = false,
    .MaxRxDr = DR_13,
    .Dr500kHzAbove = DR_3,
    .LinkAdrMaxDr = DR_4,
    .MaxTxPowerIdx = TX_POWER_14,
    .DefTxPower = TX_POWER_0,
    .MaxEirp = 32.15f,
    .FixedEirp30dBm = true,
    .MaxRx1DrOffset = 3,
    .Rx1DrTable = kDatarateOffsets,
    .NbRx1DrRows = 5,
    .NbRx1DrColumns = 4,
    .DefUplinkDwellTime = 0,
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
    .TxParamSetupReqAnswer = -1,
    .JoinDrLow = DR_0,
    .JoinDrHigh = DR_4,
    .JoinDrScheme = JOIN_DR_EVERY_NINTH_HIGH,
    .JoinDrOpensAll500kHz = false,
    .ChanDisableLimit = REGION_FIXED_NB_CHANNELS,
    .CfListSetsDefaultMask = true,
    .SingleChannel = &US915_SingleChannel,
    .Ctx = &Ctx,
};

}  // namespace

const uint8_t (&DataratesUS915)[16] = kDatarates;
const uint32_t (&BandwidthsUS915)[16] = kBandwidths;
const uint8_t (&MaxPayloadOfDatarateUS915)[16] = kMaxPayloadOfDatarate;

int32_t US915_SingleChannelRegisterCallback(SingleChannel_t* singleChannel) {
  if (singleChannel == nullptr) {
    return -1;
  }
  US915_SingleChannel.IsSingleChannel = singleChannel->IsSingleChannel;
  US915_SingleChannel.AlternateDr = singleChannel->AlternateDr;
  return 0;
}

void RegionUS915InitDefaults(InitDefaultsParams_t* params) {
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

REGION_FIXED_DEFINE_OPERATIONS(US915, kPlan)
