/*!
 * \file RegionCN470.cpp
 *
 * \brief CN470 and its four channel plans. Each plan is a data row; its
 *        routines read that row.
 */
#include <string.h>

#include "radio.h"
#include "utilities.h"

#include "RegionBaseUS.h"
#include "RegionCN470.h"
#include "RegionCommon.h"

namespace {

constexpr uint32_t kChannelStep = 200000;
constexpr uint8_t kMaxDr = DR_7;
constexpr int8_t kMinUplinkDr = DR_1;
constexpr int8_t kMaxUplinkDr = DR_5;
constexpr int8_t kMaxTxPowerIdx = TX_POWER_7;
constexpr int8_t kMaxRx1DrOffset = 5;
constexpr uint8_t kFskDr = DR_7;
constexpr uint8_t kCfListSize = 16;
constexpr uint8_t kCfListTypeChannelMask = 1;
constexpr uint32_t kUnknownPlanFrequency = 486900000;
constexpr DrRange_t kPlanDrRange = {(DR_5 << 4) | DR_1};

const uint8_t kDatarates[8] = {12, 11, 10, 9, 8, 7, 7, 50};
const uint32_t kBandwidths[8] = {125000, 125000, 125000, 125000, 125000, 125000, 500000, 0};
const uint8_t kMaxPayloadOfDatarate[8] = {0, 23, 86, 184, 242, 242, 242, 242};

// RX1 data rate by uplink data rate DR_0-DR_7 and offset 0-5.
const uint8_t kDatarateOffsets[8][6] = {
    {DR_0, DR_0, DR_0, DR_0, DR_0, DR_0}, {DR_1, DR_1, DR_1, DR_1, DR_1, DR_1},
    {DR_2, DR_1, DR_1, DR_1, DR_1, DR_1}, {DR_3, DR_2, DR_1, DR_1, DR_1, DR_1},
    {DR_4, DR_3, DR_2, DR_1, DR_1, DR_1}, {DR_5, DR_4, DR_3, DR_2, DR_1, DR_1},
    {DR_6, DR_5, DR_4, DR_3, DR_2, DR_1}, {DR_7, DR_6, DR_5, DR_4, DR_3, DR_2},
};

// The common join channels: uplink frequency, RX1 frequency, DR_1-DR_5,
// band 0. Join requests are sent on this list before a plan is known.
ChannelParams_t CommonJoinChannels[CN470_COMMON_JOIN_CHANNELS] = {
    {470900000, 484500000, kPlanDrRange, 0}, {472500000, 486100000, kPlanDrRange, 0},
    {474100000, 487700000, kPlanDrRange, 0}, {475700000, 489300000, kPlanDrRange, 0},
    {504100000, 490900000, kPlanDrRange, 0}, {505700000, 492500000, kPlanDrRange, 0},
    {507300000, 494100000, kPlanDrRange, 0}, {508900000, 495700000, kPlanDrRange, 0},
    {479900000, 479900000, kPlanDrRange, 0}, {499900000, 499900000, kPlanDrRange, 0},
    {470300000, 492500000, kPlanDrRange, 0}, {472300000, 492500000, kPlanDrRange, 0},
    {474300000, 492500000, kPlanDrRange, 0}, {476300000, 492500000, kPlanDrRange, 0},
    {478300000, 492500000, kPlanDrRange, 0}, {480300000, 502500000, kPlanDrRange, 0},
    {482300000, 502500000, kPlanDrRange, 0}, {484300000, 502500000, kPlanDrRange, 0},
    {486300000, 502500000, kPlanDrRange, 0}, {488300000, 502500000, kPlanDrRange, 0},
};
uint16_t JoinChannelsMask[REGION_NVM_CHANNELS_MASK_SIZE] = {0xFFFF, 0x000F, 0, 0, 0, 0};

// Which plan each common join channel selects (any index above 19: 20 MHz A).
const RegionCN470ChannelPlan_t kPlanOfJoinChannel[CN470_COMMON_JOIN_CHANNELS] = {
    CHANNEL_PLAN_20MHZ_TYPE_A, CHANNEL_PLAN_20MHZ_TYPE_A, CHANNEL_PLAN_20MHZ_TYPE_A,
    CHANNEL_PLAN_20MHZ_TYPE_A, CHANNEL_PLAN_20MHZ_TYPE_A, CHANNEL_PLAN_20MHZ_TYPE_A,
    CHANNEL_PLAN_20MHZ_TYPE_A, CHANNEL_PLAN_20MHZ_TYPE_A, CHANNEL_PLAN_20MHZ_TYPE_B,
    CHANNEL_PLAN_20MHZ_TYPE_B, CHANNEL_PLAN_26MHZ_TYPE_A, CHANNEL_PLAN_26MHZ_TYPE_A,
    CHANNEL_PLAN_26MHZ_TYPE_A, CHANNEL_PLAN_26MHZ_TYPE_A, CHANNEL_PLAN_26MHZ_TYPE_A,
    CHANNEL_PLAN_26MHZ_TYPE_B, CHANNEL_PLAN_26MHZ_TYPE_B, CHANNEL_PLAN_26MHZ_TYPE_B,
    CHANNEL_PLAN_26MHZ_TYPE_B, CHANNEL_PLAN_26MHZ_TYPE_B,
};

/*
 * One plan as data. Uplink and RX1 frequencies of channel n are
 * Base[n / Split] + 200 kHz x (n mod Split). Downlink frequencies are accepted
 * on a 200 kHz grid in the ranges.
 */
struct Cn470PlanData {
  uint8_t NbChannels;
  uint8_t UplinkSplit;
  uint32_t UplinkBase[2];
  uint8_t Rx1Split;
  uint32_t Rx1Base[2];
  uint8_t NbDownlinkRanges;
  uint32_t DownlinkRange[2][2];
  // RX2 of an OTAA device by join channel, from FirstJoinChannel on;
  // otherwise (ABP, or a join channel without a row) Rx2Default.
  uint8_t FirstJoinChannel;
  uint8_t NbRx2Otaa;
  uint32_t Rx2Otaa[8];
  uint32_t Rx2Default;
  // Beacon: on the RX1 frequency of the given channel, or fixed (the first
  // value for a join on FirstJoinChannel, the second otherwise).
  bool BeaconOnRx1;
  uint32_t BeaconFrequency[2];
  bool PingSlotOnRx1;
  uint32_t PingSlotFrequency;
  // Beacon channel offset: (join channel mod OffsetModulo) x OffsetFactor.
  uint8_t OffsetModulo;
  uint8_t OffsetFactor;
};

const Cn470PlanData kPlanA20 = {
    .NbChannels = 64,
    .UplinkSplit = 32,
    .UplinkBase = {470300000, 503500000},
    .Rx1Split = 32,
    .Rx1Base = {483900000, 490300000},
    .NbDownlinkRanges = 1,
    .DownlinkRange = {{483900000, 496500000}, {0, 0}},
    .FirstJoinChannel = 0,
    .NbRx2Otaa = 8,
    // Every 1.6 MHz on the plan's downlink grid.
    .Rx2Otaa = {485300000, 486900000, 488500000, 490100000, 491700000, 493300000, 494900000,
                496500000},
    .Rx2Default = 486900000,
    .BeaconOnRx1 = true,
    .BeaconFrequency = {0, 0},
    .PingSlotOnRx1 = true,
    .PingSlotFrequency = 0,
    .OffsetModulo = 32,
    .OffsetFactor = 8,
};

const Cn470PlanData kPlanB20 = {
    .NbChannels = 64,
    .UplinkSplit = 32,
    .UplinkBase = {476900000, 496900000},
    .Rx1Split = 32,
    .Rx1Base = {476900000, 496900000},
    .NbDownlinkRanges = 2,
    .DownlinkRange = {{476900000, 483100000}, {496900000, 503100000}},
    .FirstJoinChannel = 8,
    .NbRx2Otaa = 2,
    .Rx2Otaa = {478300000, 498300000},
    .Rx2Default = 498300000,
    .BeaconOnRx1 = false,
    .BeaconFrequency = {481500000, 501500000},
    .PingSlotOnRx1 = true,
    .PingSlotFrequency = 0,
    .OffsetModulo = 8,
    .OffsetFactor = 32,
};

const Cn470PlanData kPlanA26 = {
    .NbChannels = 48,
    .UplinkSplit = 48,
    .UplinkBase = {470300000, 470300000},
    .Rx1Split = 24,
    .Rx1Base = {490100000, 490100000},
    .NbDownlinkRanges = 1,
    .DownlinkRange = {{490100000, 494700000}, {0, 0}},
    .FirstJoinChannel = 10,
    .NbRx2Otaa = 0,
    .Rx2Otaa = {0},
    .Rx2Default = 492500000,
    .BeaconOnRx1 = false,
    .BeaconFrequency = {494900000, 494900000},
    .PingSlotOnRx1 = false,
    .PingSlotFrequency = 494900000,
    .OffsetModulo = 1,
    .OffsetFactor = 0,
};

const Cn470PlanData kPlanB26 = {
    .NbChannels = 48,
    .UplinkSplit = 48,
    .UplinkBase = {480300000, 480300000},
    .Rx1Split = 24,
    .Rx1Base = {500100000, 500100000},
    .NbDownlinkRanges = 1,
    .DownlinkRange = {{500100000, 504700000}, {0, 0}},
    .FirstJoinChannel = 15,
    .NbRx2Otaa = 0,
    .Rx2Otaa = {0},
    .Rx2Default = 502500000,
    .BeaconOnRx1 = false,
    .BeaconFrequency = {504900000, 504900000},
    .PingSlotOnRx1 = false,
    .PingSlotFrequency = 504900000,
    .OffsetModulo = 1,
    .OffsetFactor = 0,
};

uint32_t PlanRx1Frequency(const Cn470PlanData& plan, uint8_t channel) {
  if (channel >= plan.NbChannels) {
    return 0;
  }
  return plan.Rx1Base[channel / plan.Rx1Split] + kChannelStep * (channel % plan.Rx1Split);
}

uint32_t PlanDownlinkFrequency(const Cn470PlanData& plan, uint8_t channel, uint8_t joinChannelIndex,
                               bool isPingSlot) {
  if (isPingSlot) {
    return plan.PingSlotOnRx1 ? PlanRx1Frequency(plan, channel) : plan.PingSlotFrequency;
  }
  if (plan.BeaconOnRx1) {
    return PlanRx1Frequency(plan, channel);
  }
  return plan.BeaconFrequency[(joinChannelIndex == plan.FirstJoinChannel) ? 0 : 1];
}

uint8_t PlanBeaconChannelOffset(const Cn470PlanData& plan, uint8_t joinChannelIndex) {
  return static_cast<uint8_t>((joinChannelIndex % plan.OffsetModulo) * plan.OffsetFactor);
}

bool PlanVerifyRfFreq(const Cn470PlanData& plan, uint32_t freq) {
  for (uint8_t i = 0; i < plan.NbDownlinkRanges; i++) {
    if (RegionBaseUSVerifyFrequencyGroup(freq, plan.DownlinkRange[i][0], plan.DownlinkRange[i][1],
                                         kChannelStep)) {
      return true;
    }
  }
  return false;
}

void PlanInitializeChannels(const Cn470PlanData& plan, ChannelParams_t* channels) {
  for (uint8_t i = 0; i < REGION_NVM_MAX_NB_CHANNELS; i++) {
    ChannelParams_t channel = {};
    if (i < plan.NbChannels) {
      channel.Frequency =
          plan.UplinkBase[i / plan.UplinkSplit] + kChannelStep * (i % plan.UplinkSplit);
      channel.DrRange = kPlanDrRange;
    }
    channels[i] = channel;
  }
}

uint32_t PlanRx2Frequency(const Cn470PlanData& plan, uint8_t joinChannelIndex, bool isOtaaDevice) {
  if (isOtaaDevice && joinChannelIndex >= plan.FirstJoinChannel &&
      joinChannelIndex - plan.FirstJoinChannel < plan.NbRx2Otaa) {
    return plan.Rx2Otaa[joinChannelIndex - plan.FirstJoinChannel];
  }
  return plan.Rx2Default;
}

// Channel-mask update of one LinkADRReq block. allOnCntl and allOffCntl are
// the control values that switch every channel on or off; below
// firstRefusedCntl a control value names one mask word.
uint8_t ChMaskUpdate(uint16_t* channelsMask, uint8_t chMaskCntl, uint16_t chanMask,
                     ChannelParams_t* channels, uint8_t firstRefusedCntl, uint8_t lastRefusedCntl,
                     uint8_t allOnCntl, uint8_t allOffCntl) {
  if (chMaskCntl >= firstRefusedCntl && chMaskCntl <= lastRefusedCntl) {
    return 0x06;
  }
  if (chMaskCntl == allOnCntl) {
    for (uint8_t i = 0; i < REGION_NVM_CHANNELS_MASK_SIZE; i++) {
      channelsMask[i] = (i < 4) ? 0xFFFF : 0x0000;
    }
    return 0x07;
  }
  if (chMaskCntl == allOffCntl) {
    memset(channelsMask, 0, REGION_NVM_CHANNELS_MASK_SIZE * sizeof(uint16_t));
    return 0x07;
  }
  if (chMaskCntl >= REGION_NVM_CHANNELS_MASK_SIZE) {
    return 0x06;
  }

  uint8_t status = 0x07;
  for (uint8_t bit = 0; bit < 16; bit++) {
    if ((chanMask & (1U << bit)) != 0 && channels[16 * chMaskCntl + bit].Frequency == 0) {
      status = 0x06;
    }
  }
  channelsMask[chMaskCntl] = chanMask;
  return status;
}

}  // namespace

#define REGION_CN470_DEFINE_PLAN_ROUTINES(P, DATA)                                          \
  uint32_t RegionCN470##P##GetDownlinkFrequency(uint8_t channel, uint8_t joinChannelIndex,  \
                                                bool isPingSlot) {                          \
    return PlanDownlinkFrequency(DATA, channel, joinChannelIndex, isPingSlot);              \
  }                                                                                         \
  uint8_t RegionCN470##P##GetBeaconChannelOffset(uint8_t joinChannelIndex) {                \
    return PlanBeaconChannelOffset(DATA, joinChannelIndex);                                 \
  }                                                                                         \
  bool RegionCN470##P##VerifyRfFreq(uint32_t freq) { return PlanVerifyRfFreq(DATA, freq); } \
  void RegionCN470##P##InitializeChannels(ChannelParams_t* channels) {                      \
    PlanInitializeChannels(DATA, channels);                                                 \
  }                                                                                         \
  uint32_t RegionCN470##P##GetRx1Frequency(uint8_t channel) {                               \
    return PlanRx1Frequency(DATA, channel);                                                 \
  }                                                                                         \
  uint32_t RegionCN470##P##GetRx2Frequency(uint8_t joinChannelIndex, bool isOtaaDevice) {   \
    return PlanRx2Frequency(DATA, joinChannelIndex, isOtaaDevice);                          \
  }

REGION_CN470_DEFINE_PLAN_ROUTINES(A20, kPlanA20)
REGION_CN470_DEFINE_PLAN_ROUTINES(B20, kPlanB20)
REGION_CN470_DEFINE_PLAN_ROUTINES(A26, kPlanA26)
REGION_CN470_DEFINE_PLAN_ROUTINES(B26, kPlanB26)

uint8_t RegionCN470A20LinkAdrChMaskUpdate(uint16_t* channelsMask, uint8_t chMaskCntl,
                                          uint16_t chanMask, ChannelParams_t* channels) {
  return ChMaskUpdate(channelsMask, chMaskCntl, chanMask, channels, 4, 5, 6, 7);
}

uint8_t RegionCN470A26LinkAdrChMaskUpdate(uint16_t* channelsMask, uint8_t chMaskCntl,
                                          uint16_t chanMask, ChannelParams_t* channels) {
  return ChMaskUpdate(channelsMask, chMaskCntl, chanMask, channels, 5, 7, 3, 4);
}

void RegionCN470A20InitializeChannelsMask(uint16_t* channelsDefaultMask) {
  const uint16_t mask[REGION_NVM_CHANNELS_MASK_SIZE] = {0xFFFF, 0xFFFF, 0xFFFF,
                                                        0xFFFF, 0x0000, 0x0000};
  memcpy(channelsDefaultMask, mask, sizeof(mask));
}

void RegionCN470A26InitializeChannelsMask(uint16_t* channelsDefaultMask) {
  const uint16_t mask[REGION_NVM_CHANNELS_MASK_SIZE] = {0xFFFF, 0xFFFF, 0xFFFF,
                                                        0x0000, 0x0000, 0x0000};
  memcpy(channelsDefaultMask, mask, sizeof(mask));
}

namespace {

// Plan contexts by RegionCN470ChannelPlan_t; row 0 (unknown) holds 20 MHz A.
const RegionCN470ChannelPlanCtx_t kPlanCtx[5] = {
    {4, 4, 8, 8, RegionCN470A20GetDownlinkFrequency, RegionCN470A20GetBeaconChannelOffset,
     RegionCN470A20LinkAdrChMaskUpdate, RegionCN470A20VerifyRfFreq,
     RegionCN470A20InitializeChannels, RegionCN470A20InitializeChannelsMask,
     RegionCN470A20GetRx1Frequency, RegionCN470A20GetRx2Frequency},
    {4, 4, 8, 8, RegionCN470A20GetDownlinkFrequency, RegionCN470A20GetBeaconChannelOffset,
     RegionCN470A20LinkAdrChMaskUpdate, RegionCN470A20VerifyRfFreq,
     RegionCN470A20InitializeChannels, RegionCN470A20InitializeChannelsMask,
     RegionCN470A20GetRx1Frequency, RegionCN470A20GetRx2Frequency},
    {4, 4, 1, 32, RegionCN470B20GetDownlinkFrequency, RegionCN470B20GetBeaconChannelOffset,
     RegionCN470A20LinkAdrChMaskUpdate, RegionCN470B20VerifyRfFreq,
     RegionCN470B20InitializeChannels, RegionCN470A20InitializeChannelsMask,
     RegionCN470B20GetRx1Frequency, RegionCN470B20GetRx2Frequency},
    {3, 3, 1, 1, RegionCN470A26GetDownlinkFrequency, RegionCN470A26GetBeaconChannelOffset,
     RegionCN470A26LinkAdrChMaskUpdate, RegionCN470A26VerifyRfFreq,
     RegionCN470A26InitializeChannels, RegionCN470A26InitializeChannelsMask,
     RegionCN470A26GetRx1Frequency, RegionCN470A26GetRx2Frequency},
    {3, 3, 1, 1, RegionCN470B26GetDownlinkFrequency, RegionCN470B26GetBeaconChannelOffset,
     RegionCN470A26LinkAdrChMaskUpdate, RegionCN470B26VerifyRfFreq,
     RegionCN470B26InitializeChannels, RegionCN470A26InitializeChannelsMask,
     RegionCN470B26GetRx1Frequency, RegionCN470B26GetRx2Frequency},
};

RegionNvmDataGroup1_t* RegionNvmGroup1 = nullptr;
RegionNvmDataGroup2_t* RegionNvmGroup2 = nullptr;
Band_t* RegionBands = nullptr;
// Set by NextChannel: the chosen channel indexes the common join list.
bool JoinChannelChosen = false;

bool Ready() {
  return RegionNvmGroup1 != nullptr && RegionNvmGroup2 != nullptr && RegionBands != nullptr;
}

// The plan in use follows the stored plan, so that a restored context keeps
// its plan's frequencies.
const RegionCN470ChannelPlanCtx_t* ChannelPlanCtx() {
  return RegionCN470GetChannelPlanCtx(RegionNvmGroup2->ChannelPlan);
}

RegionCN470ChannelPlan_t PlanOfJoinChannel(uint8_t joinChannel) {
  return (joinChannel < CN470_COMMON_JOIN_CHANNELS) ? kPlanOfJoinChannel[joinChannel]
                                                    : CHANNEL_PLAN_20MHZ_TYPE_A;
}

bool DrValid(int8_t dr) { return dr >= DR_0 && dr <= kMaxDr; }

TimerTime_t GetTimeOnAir(int8_t dr, uint16_t pktLen) {
  if (!DrValid(dr)) {
    return 0;
  }
  uint32_t bandwidth = RegionCommonGetBandwidth(static_cast<uint32_t>(dr), kBandwidths);
  uint8_t len = static_cast<uint8_t>(pktLen > 255 ? 255 : pktLen);
  if (dr == kFskDr) {
    return Radio.TimeOnAir(MODEM_FSK, bandwidth, kDatarates[dr] * 1000U, 0, 5, false, len, true);
  }
  return Radio.TimeOnAir(MODEM_LORA, bandwidth, kDatarates[dr], 1, 8, false, len, true);
}

bool VerifyRfFreq(uint32_t freq) {
  return Radio.CheckRfFrequency(freq) && ChannelPlanCtx()->VerifyRfFreq(freq);
}

// Loads the channels and masks of the plan in use.
void LoadPlanChannels() {
  const RegionCN470ChannelPlanCtx_t* ctx = ChannelPlanCtx();
  ctx->InitializeChannels(RegionNvmGroup2->Channels);
  ctx->InitializeChannelsMask(RegionNvmGroup2->ChannelsDefaultMask);
  RegionCommonChanMaskCopy(RegionNvmGroup2->ChannelsMask, RegionNvmGroup2->ChannelsDefaultMask,
                           REGION_NVM_CHANNELS_MASK_SIZE);
  RegionCommonChanMaskCopy(RegionNvmGroup1->ChannelsMaskRemaining, RegionNvmGroup2->ChannelsMask,
                           REGION_NVM_CHANNELS_MASK_SIZE);
}

bool MaskIsEmpty(const uint16_t* mask, uint8_t words) {
  for (uint8_t i = 0; i < words; i++) {
    if (mask[i] != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

const uint8_t (&DataratesCN470)[8] = kDatarates;
const uint32_t (&BandwidthsCN470)[8] = kBandwidths;
const uint8_t (&MaxPayloadOfDatarateCN470)[8] = kMaxPayloadOfDatarate;

const RegionCN470ChannelPlanCtx_t* RegionCN470GetChannelPlanCtx(RegionCN470ChannelPlan_t plan) {
  return (plan <= CHANNEL_PLAN_26MHZ_TYPE_B) ? &kPlanCtx[plan]
                                             : &kPlanCtx[CHANNEL_PLAN_20MHZ_TYPE_A];
}

PhyParam_t RegionCN470GetPhyParam(GetPhyParams_t* getPhy) {
  PhyParam_t phyParam = {0};
  bool planKnown = Ready() && RegionNvmGroup2->ChannelPlan != CHANNEL_PLAN_UNKNOWN &&
                   RegionNvmGroup2->ChannelPlan <= CHANNEL_PLAN_26MHZ_TYPE_B;

  switch (getPhy->Attribute) {
    case PHY_MIN_RX_DR:
    case PHY_MIN_TX_DR:
    case PHY_DEF_TX_DR:
    case PHY_DEF_RX2_DR:
      phyParam.Value = DR_1;
      break;
    case PHY_DEF_ADR_ACK_LIMIT:
      phyParam.Value = 64;
      break;
    case PHY_DEF_ADR_ACK_DELAY:
      phyParam.Value = 32;
      break;
    case PHY_MAX_PAYLOAD:
      if (DrValid(getPhy->Datarate)) {
        phyParam.Value = kMaxPayloadOfDatarate[getPhy->Datarate];
      }
      break;
    case PHY_MAX_RX_WINDOW:
      phyParam.Value = 3000;
      break;
    case PHY_RECEIVE_DELAY1:
      phyParam.Value = 1000;
      break;
    case PHY_RECEIVE_DELAY2:
      phyParam.Value = 2000;
      break;
    case PHY_JOIN_ACCEPT_DELAY1:
      phyParam.Value = 5000;
      break;
    case PHY_JOIN_ACCEPT_DELAY2:
      phyParam.Value = 6000;
      break;
    case PHY_RETRANSMIT_TIMEOUT:
      phyParam.Value = static_cast<uint32_t>(2000 + randr(-1000, 1000));
      break;
    case PHY_DEF_RX2_FREQUENCY:
      phyParam.Value =
          planKnown ? ChannelPlanCtx()->GetRx2Frequency(RegionNvmGroup2->CommonJoinChannelIndex,
                                                        RegionNvmGroup2->IsOtaaDevice)
                    : kUnknownPlanFrequency;
      break;
    case PHY_CHANNELS_MASK:
      if (Ready()) {
        phyParam.ChannelsMask = RegionNvmGroup2->ChannelsMask;
      }
      break;
    case PHY_CHANNELS_DEFAULT_MASK:
      if (Ready()) {
        phyParam.ChannelsMask = RegionNvmGroup2->ChannelsDefaultMask;
      }
      break;
    case PHY_MAX_NB_CHANNELS:
      phyParam.Value = REGION_NVM_MAX_NB_CHANNELS;
      break;
    case PHY_CHANNELS:
      if (Ready()) {
        phyParam.Channels = RegionNvmGroup2->Channels;
      }
      break;
    case PHY_DEF_MAX_EIRP:
      phyParam.fValue = 19.15f;
      break;
    case PHY_NEXT_LOWER_TX_DR:
      if (Ready()) {
        RegionCommonGetNextLowerTxDrParams_t nextLower = {
            .CurrentDr = getPhy->Datarate,
            .MaxDr = kMaxUplinkDr,
            .MinDr = kMinUplinkDr,
            .NbChannels = REGION_NVM_MAX_NB_CHANNELS,
            .ChannelsMask = RegionNvmGroup2->ChannelsMask,
            .Channels = RegionNvmGroup2->Channels,
        };
        phyParam.Value = static_cast<uint32_t>(RegionCommonGetNextLowerTxDr(&nextLower));
      }
      break;
    case PHY_BEACON_CHANNEL_FREQ:
    case PHY_PING_SLOT_CHANNEL_FREQ:
      phyParam.Value = planKnown ? ChannelPlanCtx()->GetDownlinkFrequency(
                                       getPhy->Channel, RegionNvmGroup2->CommonJoinChannelIndex,
                                       getPhy->Attribute == PHY_PING_SLOT_CHANNEL_FREQ)
                                 : kUnknownPlanFrequency;
      break;
    case PHY_BEACON_FORMAT:
      phyParam.BeaconFormat = {19, 2, 1};
      break;
    case PHY_BEACON_CHANNEL_DR:
    case PHY_PING_SLOT_CHANNEL_DR:
      phyParam.Value = DR_2;
      break;
    case PHY_BEACON_NB_CHANNELS:
      phyParam.Value = planKnown ? ChannelPlanCtx()->NbBeaconChannels : 0;
      break;
    case PHY_PING_SLOT_NB_CHANNELS:
      phyParam.Value = planKnown ? ChannelPlanCtx()->NbPingSlotChannels : 0;
      break;
    case PHY_BEACON_CHANNEL_OFFSET:
      phyParam.Value =
          planKnown
              ? ChannelPlanCtx()->GetBeaconChannelOffset(RegionNvmGroup2->CommonJoinChannelIndex)
              : 0;
      break;
    case PHY_SF_FROM_DR:
      if (DrValid(getPhy->Datarate)) {
        phyParam.Value = kDatarates[getPhy->Datarate];
      }
      break;
    case PHY_BW_FROM_DR:
      if (DrValid(getPhy->Datarate)) {
        phyParam.Value =
            RegionCommonGetBandwidth(static_cast<uint32_t>(getPhy->Datarate), kBandwidths);
      }
      break;
    default:
      break;
  }
  return phyParam;
}

void RegionCN470SetBandTxDone(SetBandTxDoneParams_t* txDone) {
  if (!Ready()) {
    return;
  }
  // One band for every channel, join channels included.
  RegionCommonSetBandTxDone(&RegionBands[0], txDone->LastTxAirTime, txDone->Joined,
                            txDone->ElapsedTimeSinceStartUp);
}

void RegionCN470InitDefaults(InitDefaultsParams_t* params) {
  switch (params->Type) {
    case INIT_TYPE_DEFAULTS: {
      if (params->NvmGroup1 == nullptr || params->NvmGroup2 == nullptr ||
          params->Bands == nullptr) {
        return;
      }
      RegionNvmGroup1 = params->NvmGroup1;
      RegionNvmGroup2 = params->NvmGroup2;
      RegionBands = params->Bands;

      Band_t band = {};
      band.DCycle = 1;
      band.TxMaxPower = TX_POWER_0;
      RegionBands[0] = band;

      RegionNvmGroup2->IsOtaaDevice = false;
      RegionNvmGroup2->ChannelPlan = CHANNEL_PLAN_20MHZ_TYPE_A;
      RegionNvmGroup2->CommonJoinChannelIndex = 0;
      LoadPlanChannels();
      break;
    }
    case INIT_TYPE_RESET_TO_DEFAULT_CHANNELS:
    case INIT_TYPE_ACTIVATE_DEFAULT_CHANNELS:
      if (!Ready()) {
        return;
      }
      for (uint8_t i = 0; i < REGION_NVM_CHANNELS_MASK_SIZE; i++) {
        RegionNvmGroup2->ChannelsMask[i] = RegionNvmGroup2->ChannelsDefaultMask[i];
        RegionNvmGroup1->ChannelsMaskRemaining[i] &= RegionNvmGroup2->ChannelsMask[i];
      }
      break;
    default:
      break;
  }
}

bool RegionCN470Verify(VerifyParams_t* verify, PhyAttribute_t phyAttribute) {
  switch (phyAttribute) {
    case PHY_FREQUENCY:
      return Ready() && VerifyRfFreq(verify->Frequency);
    case PHY_TX_DR:
    case PHY_DEF_TX_DR:
    case PHY_RX_DR:
      return RegionCommonValueInRange(verify->DatarateParams.Datarate, kMinUplinkDr,
                                      kMaxUplinkDr) != 0;
    case PHY_TX_POWER:
    case PHY_DEF_TX_POWER:
      return RegionCommonValueInRange(verify->TxPower, TX_POWER_0, kMaxTxPowerIdx) != 0;
    default:
      return false;
  }
}

void RegionCN470ApplyCFList(ApplyCFListParams_t* applyCFList) {
  if (!Ready()) {
    return;
  }

  // The join channel of the accepted join request decides the plan; the
  // channel table and masks become that plan's.
  RegionNvmGroup2->CommonJoinChannelIndex = applyCFList->JoinChannel;
  RegionNvmGroup2->IsOtaaDevice = true;
  RegionNvmGroup2->ChannelPlan = PlanOfJoinChannel(applyCFList->JoinChannel);
  LoadPlanChannels();

  if (applyCFList->Payload == nullptr || applyCFList->Size != kCfListSize ||
      applyCFList->Payload[15] != kCfListTypeChannelMask) {
    return;
  }

  const RegionCN470ChannelPlanCtx_t* ctx = ChannelPlanCtx();
  uint16_t mask[REGION_NVM_CHANNELS_MASK_SIZE] = {0};
  for (uint8_t i = 0; i < ctx->JoinAcceptListSize; i++) {
    mask[i] =
        static_cast<uint16_t>(applyCFList->Payload[2 * i] | (applyCFList->Payload[2 * i + 1] << 8));
  }
  // A list that enables no channel would leave the device unable to send.
  if (MaskIsEmpty(mask, ctx->JoinAcceptListSize)) {
    return;
  }
  for (uint8_t i = 0; i < ctx->JoinAcceptListSize; i++) {
    RegionNvmGroup2->ChannelsMask[i] = mask[i];
    RegionNvmGroup1->ChannelsMaskRemaining[i] &= mask[i];
  }
}

bool RegionCN470ChanMaskSet(ChanMaskSetParams_t* chanMaskSet) {
  if (!Ready() || chanMaskSet->ChannelsMaskIn == nullptr) {
    return false;
  }
  // A mask without any channel is refused.
  if (MaskIsEmpty(chanMaskSet->ChannelsMaskIn, REGION_NVM_CHANNELS_MASK_SIZE)) {
    return false;
  }
  switch (chanMaskSet->ChannelsMaskType) {
    case CHANNELS_MASK:
      RegionCommonChanMaskCopy(RegionNvmGroup2->ChannelsMask, chanMaskSet->ChannelsMaskIn,
                               REGION_NVM_CHANNELS_MASK_SIZE);
      for (uint8_t i = 0; i < REGION_NVM_CHANNELS_MASK_SIZE; i++) {
        RegionNvmGroup1->ChannelsMaskRemaining[i] &= RegionNvmGroup2->ChannelsMask[i];
      }
      return true;
    case CHANNELS_DEFAULT_MASK:
      RegionCommonChanMaskCopy(RegionNvmGroup2->ChannelsDefaultMask, chanMaskSet->ChannelsMaskIn,
                               REGION_NVM_CHANNELS_MASK_SIZE);
      return true;
    default:
      return false;
  }
}

void RegionCN470ComputeRxWindowParameters(int8_t datarate, uint8_t minRxSymbols, uint32_t rxError,
                                          RxConfigParams_t* rxConfigParams) {
  int8_t dr = datarate;
  if (dr > kMaxUplinkDr) {
    dr = kMaxUplinkDr;
  }
  if (dr < DR_0) {
    dr = DR_0;
  }

  rxConfigParams->Datarate = dr;
  rxConfigParams->Bandwidth =
      static_cast<uint8_t>(RegionCommonGetBandwidth(static_cast<uint32_t>(dr), kBandwidths));

  uint32_t tSymbol = RegionCommonComputeSymbolTimeLoRa(kDatarates[dr], kBandwidths[dr]);
  RegionCommonComputeRxWindowParameters(tSymbol, minRxSymbols, rxError, Radio.GetWakeupTime(),
                                        &rxConfigParams->WindowTimeout,
                                        &rxConfigParams->WindowOffset);
}

bool RegionCN470RxConfig(RxConfigParams_t* rxConfig, int8_t* datarate) {
  int8_t dr = rxConfig->Datarate;
  uint32_t frequency = rxConfig->Frequency;

  if (Radio.GetStatus() != RF_IDLE) {
    return false;
  }
  if (!Ready() || dr < DR_0 || dr > kMaxUplinkDr) {
    return false;
  }

  const RegionCN470ChannelPlanCtx_t* ctx = ChannelPlanCtx();
  if (rxConfig->NetworkActivation == ACTIVATION_TYPE_NONE) {
    // Before the join both windows listen on the join channel's RX1.
    if (rxConfig->Channel >= CN470_COMMON_JOIN_CHANNELS) {
      return false;
    }
    frequency = CommonJoinChannels[rxConfig->Channel].Rx1Frequency;
  } else if (rxConfig->RxSlot == RX_SLOT_WIN_1) {
    frequency = ctx->GetRx1Frequency(rxConfig->Channel);
    if (frequency == 0) {
      return false;
    }
  } else if (rxConfig->RxSlot == RX_SLOT_WIN_2) {
    frequency = ctx->GetRx2Frequency(RegionNvmGroup2->CommonJoinChannelIndex,
                                     RegionNvmGroup2->IsOtaaDevice);
  }

  Radio.SetChannel(frequency);
  Radio.SetRxConfig(MODEM_LORA, rxConfig->Bandwidth, kDatarates[dr], 1, 0, 8,
                    static_cast<uint16_t>(rxConfig->WindowTimeout), false, 0, false, false, 0, true,
                    rxConfig->RxContinuous);
  Radio.SetMaxPayloadLength(MODEM_LORA, static_cast<uint8_t>(kMaxPayloadOfDatarate[dr] + 13));

  *datarate = dr;
  return true;
}

bool RegionCN470TxConfig(TxConfigParams_t* txConfig, int8_t* txPower, TimerTime_t* txTimeOnAir) {
  int8_t dr = txConfig->Datarate;
  const ChannelParams_t* channel;

  if (!Ready() || !DrValid(dr)) {
    return false;
  }
  // A join request goes out on the common join list's uplink frequency.
  if (JoinChannelChosen) {
    if (txConfig->Channel >= CN470_COMMON_JOIN_CHANNELS) {
      return false;
    }
    channel = &CommonJoinChannels[txConfig->Channel];
  } else {
    if (txConfig->Channel >= REGION_NVM_MAX_NB_CHANNELS) {
      return false;
    }
    channel = &RegionNvmGroup2->Channels[txConfig->Channel];
  }

  int8_t txPowerLimited = RegionCommonLimitTxPower(txConfig->TxPower, RegionBands[0].TxMaxPower);
  int8_t phyTxPower =
      RegionCommonComputeTxPower(txPowerLimited, txConfig->MaxEirp, txConfig->AntennaGain);
  uint32_t bandwidth = RegionCommonGetBandwidth(static_cast<uint32_t>(dr), kBandwidths);

  Radio.SetChannel(channel->Frequency);

  RadioModems_t modem;
  if (dr == kFskDr) {
    modem = MODEM_FSK;
    Radio.SetTxConfig(modem, phyTxPower, 25000, bandwidth, kDatarates[dr] * 1000U, 0, 5, false,
                      true, false, 0, false, 4000);
  } else {
    modem = MODEM_LORA;
    Radio.SetTxConfig(modem, phyTxPower, 0, bandwidth, kDatarates[dr], 1, 8, false, true, false, 0,
                      false, 4000);
  }

  *txTimeOnAir = GetTimeOnAir(dr, txConfig->PktLen);
  Radio.SetMaxPayloadLength(modem,
                            static_cast<uint8_t>(txConfig->PktLen > 255 ? 255 : txConfig->PktLen));

  *txPower = txPowerLimited;
  return true;
}

uint8_t RegionCN470LinkAdrReq(LinkAdrReqParams_t* linkAdrReq, int8_t* drOut, int8_t* txPowOut,
                              uint8_t* nbRepOut, uint8_t* nbBytesParsed) {
  uint8_t status = 0x07;
  RegionCommonLinkAdrParams_t linkAdrParams = {};
  uint8_t bytesProcessed = 0;
  uint16_t channelsMask[REGION_NVM_CHANNELS_MASK_SIZE] = {0};

  if (!Ready()) {
    *nbBytesParsed = 0;
    return 0;
  }
  const RegionCN470ChannelPlanCtx_t* ctx = ChannelPlanCtx();
  RegionCommonChanMaskCopy(channelsMask, RegionNvmGroup2->ChannelsMask,
                           REGION_NVM_CHANNELS_MASK_SIZE);

  while (linkAdrReq->Payload != nullptr && bytesProcessed < linkAdrReq->PayloadSize) {
    // A truncated block is not read.
    if (linkAdrReq->PayloadSize - bytesProcessed < REGION_LINK_ADR_REQ_LENGTH) {
      break;
    }
    uint8_t nextIndex =
        RegionCommonParseLinkAdrReq(&linkAdrReq->Payload[bytesProcessed], &linkAdrParams);
    if (nextIndex == 0) {
      break;
    }
    bytesProcessed += nextIndex;
    status = ctx->LinkAdrChMaskUpdate(channelsMask, linkAdrParams.ChMaskCtrl, linkAdrParams.ChMask,
                                      RegionNvmGroup2->Channels);
  }

  if (RegionCommonCountChannels(channelsMask, 0, ctx->ChannelsMaskSize) == 0) {
    status &= 0xFE;
  }

  RegionCommonLinkAdrReqVerifyParams_t verify = {};
  verify.Version = linkAdrReq->Version;
  verify.Status = status;
  verify.AdrEnabled = linkAdrReq->AdrEnabled;
  verify.Datarate = linkAdrParams.Datarate;
  verify.TxPower = linkAdrParams.TxPower;
  verify.NbRep = linkAdrParams.NbRep;
  verify.CurrentDatarate = linkAdrReq->CurrentDatarate;
  verify.CurrentTxPower = linkAdrReq->CurrentTxPower;
  verify.CurrentNbRep = static_cast<int8_t>(linkAdrReq->CurrentNbRep);
  verify.NbChannels = REGION_NVM_MAX_NB_CHANNELS;
  verify.ChannelsMask = channelsMask;
  verify.MinDatarate = kMinUplinkDr;
  verify.MaxDatarate = kMaxUplinkDr;
  verify.Channels = RegionNvmGroup2->Channels;
  verify.MinTxPower = kMaxTxPowerIdx;
  verify.MaxTxPower = TX_POWER_0;

  status = RegionCommonLinkAdrReqVerifyParams(&verify, drOut, txPowOut, nbRepOut);

  if (status == 0x07) {
    RegionCommonChanMaskCopy(RegionNvmGroup2->ChannelsMask, channelsMask,
                             REGION_NVM_CHANNELS_MASK_SIZE);
    for (uint8_t i = 0; i < 4; i++) {
      RegionNvmGroup1->ChannelsMaskRemaining[i] &= RegionNvmGroup2->ChannelsMask[i];
    }
    RegionNvmGroup1->ChannelsMaskRemaining[4] = RegionNvmGroup2->ChannelsMask[4];
    RegionNvmGroup1->ChannelsMaskRemaining[5] = RegionNvmGroup2->ChannelsMask[5];
  }

  *nbBytesParsed = bytesProcessed;
  return status;
}

uint8_t RegionCN470RxParamSetupReq(RxParamSetupReqParams_t* rxParamSetupReq) {
  uint8_t status = 0x07;

  if (!Ready() || !VerifyRfFreq(rxParamSetupReq->Frequency)) {
    status &= 0xFE;
  }
  if (RegionCommonValueInRange(rxParamSetupReq->Datarate, kMinUplinkDr, kMaxUplinkDr) == 0) {
    status &= 0xFD;
  }
  if (RegionCommonValueInRange(rxParamSetupReq->DrOffset, 0, kMaxRx1DrOffset) == 0) {
    status &= 0xFB;
  }
  return status;
}

int8_t RegionCN470NewChannelReq(NewChannelReqParams_t* newChannelReq) {
  (void)newChannelReq;
  return -1;
}

int8_t RegionCN470TxParamSetupReq(TxParamSetupReqParams_t* txParamSetupReq) {
  (void)txParamSetupReq;
  return -1;
}

int8_t RegionCN470DlChannelReq(DlChannelReqParams_t* dlChannelReq) {
  (void)dlChannelReq;
  return -1;
}

int8_t RegionCN470AlternateDr(int8_t currentDr, AlternateDrType_t type) {
  (void)type;
  return currentDr;
}

LoRaMacStatus_t RegionCN470NextChannel(NextChanParams_t* nextChanParams, uint8_t* channel,
                                       TimerTime_t* time, TimerTime_t* aggregatedTimeOff) {
  uint8_t nbEnabledChannels = 0;
  uint8_t nbRestrictedChannels = 0;
  uint8_t enabledChannels[REGION_NVM_MAX_NB_CHANNELS] = {0};

  if (!Ready()) {
    return LORAMAC_STATUS_NO_CHANNEL_FOUND;
  }
  const RegionCN470ChannelPlanCtx_t* ctx = ChannelPlanCtx();
  uint16_t* remaining = RegionNvmGroup1->ChannelsMaskRemaining;
  uint8_t maskSize = ctx->ChannelsMaskSize;

  // Every channel of the mask used once: start over from the current mask
  // (the network's or the user's), or from the plan's default mask when the
  // current one has no channel of the plan.
  if (RegionCommonCountChannels(remaining, 0, maskSize) == 0) {
    uint16_t* source = MaskIsEmpty(RegionNvmGroup2->ChannelsMask, maskSize)
                           ? RegionNvmGroup2->ChannelsDefaultMask
                           : RegionNvmGroup2->ChannelsMask;
    for (uint8_t i = 0; i < REGION_NVM_CHANNELS_MASK_SIZE; i++) {
      remaining[i] = (i < maskSize) ? source[i] : 0;
    }
  }

  RegionCommonCountNbOfEnabledChannelsParams_t countChannelsParams = {};
  countChannelsParams.Joined = nextChanParams->Joined;
  countChannelsParams.Datarate = static_cast<uint8_t>(nextChanParams->Datarate);
  countChannelsParams.Bands = RegionBands;
  if (nextChanParams->Joined) {
    countChannelsParams.ChannelsMask = remaining;
    countChannelsParams.Channels = RegionNvmGroup2->Channels;
    countChannelsParams.MaxNbChannels = REGION_NVM_MAX_NB_CHANNELS;
    countChannelsParams.JoinChannels = nullptr;
  } else {
    countChannelsParams.ChannelsMask = JoinChannelsMask;
    countChannelsParams.Channels = CommonJoinChannels;
    countChannelsParams.MaxNbChannels = CN470_COMMON_JOIN_CHANNELS;
    countChannelsParams.JoinChannels = JoinChannelsMask;
  }

  RegionCommonIdentifyChannelsParam_t identifyChannelsParam = {};
  identifyChannelsParam.AggrTimeOff = nextChanParams->AggrTimeOff;
  identifyChannelsParam.LastAggrTx = nextChanParams->LastAggrTx;
  identifyChannelsParam.DutyCycleEnabled = nextChanParams->DutyCycleEnabled;
  identifyChannelsParam.MaxBands = 1;
  identifyChannelsParam.ElapsedTimeSinceStartUp = nextChanParams->ElapsedTimeSinceStartUp;
  identifyChannelsParam.LastTxIsJoinRequest = nextChanParams->LastTxIsJoinRequest;
  identifyChannelsParam.ExpectedTimeOnAir =
      GetTimeOnAir(nextChanParams->Datarate, nextChanParams->PktLen);
  identifyChannelsParam.CountNbOfEnabledChannelsParam = &countChannelsParams;

  LoRaMacStatus_t status =
      RegionCommonIdentifyChannels(&identifyChannelsParam, aggregatedTimeOff, enabledChannels,
                                   &nbEnabledChannels, &nbRestrictedChannels, time);
  if (status != LORAMAC_STATUS_OK) {
    return status;
  }

  *channel = enabledChannels[randr(0, nbEnabledChannels - 1)];
  JoinChannelChosen = !nextChanParams->Joined;
  if (nextChanParams->Joined) {
    // Each used channel leaves the remaining mask until the refill.
    (void)RegionCommonChanDisable(remaining, *channel, REGION_NVM_MAX_NB_CHANNELS);
  }
  return LORAMAC_STATUS_OK;
}

uint8_t RegionCN470ApplyDrOffset(uint8_t downlinkDwellTime, int8_t dr, int8_t drOffset) {
  (void)downlinkDwellTime;
  if (dr < DR_0) {
    dr = DR_0;
  }
  if (dr > kMaxDr) {
    dr = kMaxDr;
  }
  if (drOffset < 0) {
    drOffset = 0;
  }
  if (drOffset > kMaxRx1DrOffset) {
    drOffset = kMaxRx1DrOffset;
  }
  return kDatarateOffsets[dr][drOffset];
}

void RegionCN470RxBeaconSetup(RxBeaconSetup_t* rxBeaconSetup, uint8_t* outDr) {
  RegionCommonRxBeaconSetupParams_t regionCommonRxBeaconSetup = {};
  regionCommonRxBeaconSetup.Datarates = kDatarates;
  regionCommonRxBeaconSetup.Frequency = rxBeaconSetup->Frequency;
  regionCommonRxBeaconSetup.BeaconSize = 19;
  regionCommonRxBeaconSetup.BeaconDatarate = DR_2;
  regionCommonRxBeaconSetup.BeaconChannelBW = 0;
  regionCommonRxBeaconSetup.RxTime = rxBeaconSetup->RxTime;
  regionCommonRxBeaconSetup.SymbolTimeout = rxBeaconSetup->SymbolTimeout;

  RegionCommonRxBeaconSetup(&regionCommonRxBeaconSetup);
  *outDr = DR_2;
}
