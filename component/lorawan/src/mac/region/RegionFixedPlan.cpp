/*!
 * \file RegionFixedPlan.cpp
 *
 * \brief The 72-channel fixed plans, driven by a profile row.
 */
#include "radio.h"
#include "utilities.h"

#include "RegionBaseUS.h"
#include "RegionCommon.h"
#include "RegionFixedPlan.h"

namespace {

constexpr uint32_t kChannel125kHzStep = 200000;
constexpr uint32_t kChannel500kHzStep = 1600000;
constexpr uint32_t kDownlinkBase = 923300000;
constexpr uint32_t kDownlinkStep = 600000;
constexpr uint8_t kNbDatarates = 16;
constexpr uint8_t kCfListSize = 16;
constexpr uint8_t kCfListTypeChannelMask = 1;
constexpr uint8_t kNbBands = 1;

bool Ready(const RegionFixedPlan_t* plan) {
  const RegionFixedCtx_t* ctx = plan->Ctx;
  return ctx->Channels != nullptr && ctx->ChannelsMask != nullptr &&
         ctx->ChannelsDefaultMask != nullptr && ctx->ChannelsMaskRemaining != nullptr &&
         ctx->JoinTrialsCounter != nullptr && ctx->Bands != nullptr;
}

// A data rate the plan defines (uplink or downlink).
bool DrDefined(const RegionFixedPlan_t* plan, int8_t dr) {
  return dr >= DR_0 && dr < kNbDatarates && plan->Bandwidths[dr] != 0;
}

int8_t MinTxDr(const RegionFixedPlan_t* plan, uint8_t uplinkDwellTime) {
  return (uplinkDwellTime != 0) ? plan->MinTxDrDwell : DR_0;
}

uint8_t MaxPayload(const RegionFixedPlan_t* plan, int8_t dr, uint8_t uplinkDwellTime) {
  if (uplinkDwellTime != 0 && plan->MaxPayloadOfDatarateDwell1 != nullptr) {
    return (dr >= DR_0 && dr < plan->NbMaxPayloadOfDatarateDwell1)
               ? plan->MaxPayloadOfDatarateDwell1[dr]
               : 0;
  }
  return (dr >= DR_0 && dr < plan->NbMaxPayloadOfDatarate) ? plan->MaxPayloadOfDatarate[dr] : 0;
}

bool VerifyRfFreq(uint32_t freq) {
  if (!Radio.CheckRfFrequency(freq)) {
    return false;
  }
  return RegionBaseUSVerifyFrequencyGroup(
      freq, kDownlinkBase, kDownlinkBase + (REGION_FIXED_NB_DOWNLINK_CHANNELS - 1) * kDownlinkStep,
      kDownlinkStep);
}

TimerTime_t GetTimeOnAir(const RegionFixedPlan_t* plan, int8_t dr, uint16_t pktLen) {
  if (!DrDefined(plan, dr)) {
    return 0;
  }
  uint32_t bandwidth = RegionCommonGetBandwidth(static_cast<uint32_t>(dr), plan->Bandwidths);
  uint8_t len = static_cast<uint8_t>(pktLen > 255 ? 255 : pktLen);
  return Radio.TimeOnAir(MODEM_LORA, bandwidth, plan->Datarates[dr], 1, 8, false, len, true);
}

// True when a mask enables at least one of the 72 channels of the plan.
bool MaskHasChannel(const uint16_t* mask) {
  return mask[0] != 0 || mask[1] != 0 || mask[2] != 0 || mask[3] != 0 || (mask[4] & 0x00FF) != 0;
}

}  // namespace

void RegionFixedBindGroups(RegionFixedCtx_t* ctx, InitDefaultsParams_t* params) {
  ctx->Channels = params->NvmGroup2->Channels;
  ctx->ChannelsMask = params->NvmGroup2->ChannelsMask;
  ctx->ChannelsDefaultMask = params->NvmGroup2->ChannelsDefaultMask;
  ctx->ChannelsMaskRemaining = params->NvmGroup1->ChannelsMaskRemaining;
  ctx->JoinChannelGroupsCurrentIndex = &params->NvmGroup1->JoinChannelGroupsCurrentIndex;
  ctx->JoinTrialsCounter = &params->NvmGroup1->JoinTrialsCounter;
  ctx->Bands = params->Bands;
}

PhyParam_t RegionFixedGetPhyParam(const RegionFixedPlan_t* plan, GetPhyParams_t* getPhy) {
  PhyParam_t phyParam = {0};

  if (plan->AnswersOnlyUpToPingSlotDr && getPhy->Attribute > PHY_PING_SLOT_CHANNEL_DR) {
    return phyParam;
  }

  switch (getPhy->Attribute) {
    case PHY_MIN_RX_DR:
      phyParam.Value = static_cast<uint32_t>((getPhy->DownlinkDwellTime != 0) ? plan->MinRxDrDwell
                                                                              : plan->MinRxDr);
      break;
    case PHY_MIN_TX_DR:
      phyParam.Value = static_cast<uint32_t>(MinTxDr(plan, getPhy->UplinkDwellTime));
      break;
    case PHY_DEF_TX_DR:
      phyParam.Value = static_cast<uint32_t>(plan->DefTxDr);
      break;
    case PHY_DEF_TX_POWER:
      phyParam.Value = plan->DefTxPower;
      break;
    case PHY_DEF_ADR_ACK_LIMIT:
      phyParam.Value = 64;
      break;
    case PHY_DEF_ADR_ACK_DELAY:
      phyParam.Value = 32;
      break;
    case PHY_MAX_PAYLOAD:
      phyParam.Value = MaxPayload(plan, getPhy->Datarate, getPhy->UplinkDwellTime);
      break;
    case PHY_MAX_RX_WINDOW:
      phyParam.Value = plan->MaxRxWindow;
      break;
    case PHY_RECEIVE_DELAY1:
      phyParam.Value = plan->ReceiveDelay1;
      break;
    case PHY_RECEIVE_DELAY2:
      phyParam.Value = plan->ReceiveDelay2;
      break;
    case PHY_JOIN_ACCEPT_DELAY1:
      phyParam.Value = plan->JoinAcceptDelay1;
      break;
    case PHY_JOIN_ACCEPT_DELAY2:
      phyParam.Value = plan->JoinAcceptDelay2;
      break;
    case PHY_RETRANSMIT_TIMEOUT:
      phyParam.Value = static_cast<uint32_t>(2000 + randr(-1000, 1000));
      break;
    case PHY_DEF_RX2_FREQUENCY:
      phyParam.Value = kDownlinkBase;
      break;
    case PHY_DEF_RX2_DR:
      phyParam.Value = static_cast<uint32_t>(plan->MinRxDr);
      break;
    case PHY_CHANNELS_MASK:
      phyParam.ChannelsMask = plan->Ctx->ChannelsMask;
      break;
    case PHY_CHANNELS_DEFAULT_MASK:
      phyParam.ChannelsMask = plan->Ctx->ChannelsDefaultMask;
      break;
    case PHY_MAX_NB_CHANNELS:
      phyParam.Value = REGION_FIXED_NB_CHANNELS;
      break;
    case PHY_CHANNELS:
      phyParam.Channels = plan->Ctx->Channels;
      break;
    case PHY_DEF_UPLINK_DWELL_TIME:
      phyParam.Value = plan->DefUplinkDwellTime;
      break;
    case PHY_DEF_MAX_EIRP:
      phyParam.fValue = plan->MaxEirp;
      break;
    case PHY_NEXT_LOWER_TX_DR: {
      int8_t minDr = MinTxDr(plan, getPhy->UplinkDwellTime);
      int8_t dr = getPhy->Datarate;
      if (plan->NextLowerDrWithoutMask) {
        // Down one step, from the first 500 kHz downlink rate to the
        // 500 kHz uplink rate, never below the lowest uplink rate.
        if (dr <= minDr) {
          dr = minDr;
        } else if (dr == DR_8) {
          dr = DR_6;
        } else {
          dr--;
        }
        phyParam.Value = static_cast<uint32_t>(dr);
      } else if (Ready(plan)) {
        RegionCommonGetNextLowerTxDrParams_t nextLower = {
            .CurrentDr = dr,
            .MaxDr = plan->LinkAdrMaxDr,
            .MinDr = minDr,
            .NbChannels = REGION_FIXED_NB_CHANNELS,
            .ChannelsMask = plan->Ctx->ChannelsMask,
            .Channels = plan->Ctx->Channels,
        };
        phyParam.Value = static_cast<uint32_t>(RegionCommonGetNextLowerTxDr(&nextLower));
      }
      break;
    }
    case PHY_BEACON_CHANNEL_FREQ:
    case PHY_PING_SLOT_CHANNEL_FREQ:
      if (plan->BeaconFrequencies && getPhy->Channel < REGION_FIXED_NB_DOWNLINK_CHANNELS) {
        phyParam.Value =
            RegionBaseUSCalcDownlinkFrequency(getPhy->Channel, kDownlinkBase, kDownlinkStep);
      }
      break;
    case PHY_BEACON_FORMAT:
      phyParam.BeaconFormat = plan->BeaconFormat;
      break;
    case PHY_BEACON_CHANNEL_DR:
    case PHY_PING_SLOT_CHANNEL_DR:
      phyParam.Value = plan->BeaconDatarate;
      break;
    case PHY_BEACON_NB_CHANNELS:
      phyParam.Value = plan->NbBeaconChannels;
      break;
    case PHY_PING_SLOT_NB_CHANNELS:
      phyParam.Value = plan->NbPingSlotChannels;
      break;
    case PHY_SF_FROM_DR:
      if (plan->AnswersSfBwFromDr && getPhy->Datarate >= DR_0 && getPhy->Datarate < kNbDatarates) {
        phyParam.Value = plan->Datarates[getPhy->Datarate];
      }
      break;
    case PHY_BW_FROM_DR:
      if (plan->AnswersSfBwFromDr && getPhy->Datarate >= DR_0 && getPhy->Datarate < kNbDatarates) {
        phyParam.Value =
            RegionCommonGetBandwidth(static_cast<uint32_t>(getPhy->Datarate), plan->Bandwidths);
      }
      break;
    default:
      break;
  }
  return phyParam;
}

void RegionFixedSetBandTxDone(const RegionFixedPlan_t* plan, SetBandTxDoneParams_t* txDone) {
  if (!Ready(plan) || txDone->Channel >= REGION_FIXED_NB_CHANNELS) {
    return;
  }
  uint8_t band = plan->Ctx->Channels[txDone->Channel].Band;
  if (band >= kNbBands) {
    return;
  }
  RegionCommonSetBandTxDone(&plan->Ctx->Bands[band], txDone->LastTxAirTime, txDone->Joined,
                            txDone->ElapsedTimeSinceStartUp);
}

void RegionFixedInitDefaults(const RegionFixedPlan_t* plan, InitType_t type) {
  RegionFixedCtx_t* ctx = plan->Ctx;

  if (!Ready(plan)) {
    return;
  }
  switch (type) {
    case INIT_TYPE_DEFAULTS: {
      Band_t band = {};
      band.DCycle = 1;
      band.TxMaxPower = TX_POWER_0;
      ctx->Bands[0] = band;

      for (uint8_t i = 0; i < REGION_FIXED_NB_CHANNELS; i++) {
        ChannelParams_t* channel = &ctx->Channels[i];
        if (i < REGION_FIXED_NB_125KHZ_CHANNELS) {
          channel->Frequency = plan->Channel125kHzBase + i * kChannel125kHzStep;
          channel->DrRange = plan->DrRange125kHz;
        } else {
          channel->Frequency =
              plan->Channel500kHzBase + (i - REGION_FIXED_NB_125KHZ_CHANNELS) * kChannel500kHzStep;
          channel->DrRange = plan->DrRange500kHz;
        }
        channel->Band = 0;
      }

      for (uint8_t i = 0; i < REGION_NVM_CHANNELS_MASK_SIZE; i++) {
        ctx->ChannelsDefaultMask[i] = plan->DefaultMask[i];
        ctx->ChannelsMask[i] = ctx->ChannelsDefaultMask[i];
        ctx->ChannelsMaskRemaining[i] = ctx->ChannelsMask[i];
      }
      break;
    }
    case INIT_TYPE_RESET_TO_DEFAULT_CHANNELS:
    case INIT_TYPE_ACTIVATE_DEFAULT_CHANNELS:
      for (uint8_t i = 0; i < REGION_NVM_CHANNELS_MASK_SIZE; i++) {
        ctx->ChannelsMask[i] = ctx->ChannelsDefaultMask[i];
        ctx->ChannelsMaskRemaining[i] &= ctx->ChannelsMask[i];
      }
      break;
    default:
      break;
  }
}

bool RegionFixedVerify(const RegionFixedPlan_t* plan, VerifyParams_t* verify,
                       PhyAttribute_t phyAttribute) {
  switch (phyAttribute) {
    case PHY_FREQUENCY:
      return VerifyRfFreq(verify->Frequency);
    case PHY_TX_DR:
    case PHY_DEF_TX_DR:
      return RegionCommonValueInRange(verify->DatarateParams.Datarate,
                                      MinTxDr(plan, verify->DatarateParams.UplinkDwellTime),
                                      plan->MaxTxDr) != 0;
    case PHY_RX_DR: {
      int8_t minDr = (plan->VerifyRxDrDwell && verify->DatarateParams.DownlinkDwellTime != 0)
                         ? plan->MinRxDrDwell
                         : plan->MinRxDr;
      return RegionCommonValueInRange(verify->DatarateParams.Datarate, minDr, plan->MaxRxDr) != 0;
    }
    case PHY_TX_POWER:
    case PHY_DEF_TX_POWER:
      return RegionCommonValueInRange(verify->TxPower, TX_POWER_0, plan->MaxTxPowerIdx) != 0;
    default:
      return false;
  }
}

void RegionFixedApplyCFList(const RegionFixedPlan_t* plan, ApplyCFListParams_t* applyCFList) {
  RegionFixedCtx_t* ctx = plan->Ctx;
  uint16_t mask[REGION_NVM_CHANNELS_MASK_SIZE] = {0};

  if (plan->SingleChannel != nullptr && plan->SingleChannel->IsSingleChannel != nullptr &&
      plan->SingleChannel->IsSingleChannel() != 0) {
    return;
  }
  if (!Ready(plan) || applyCFList->Payload == nullptr || applyCFList->Size != kCfListSize ||
      applyCFList->Payload[15] != kCfListTypeChannelMask) {
    return;
  }

  const uint8_t* payload = applyCFList->Payload;
  for (uint8_t i = 0; i < 4; i++) {
    mask[i] = static_cast<uint16_t>(payload[2 * i] | (payload[2 * i + 1] << 8));
  }
  mask[4] = payload[8];

  // A list that enables no channel would leave the device unable to send.
  if (!MaskHasChannel(mask)) {
    return;
  }

  for (uint8_t i = 0; i < 5; i++) {
    ctx->ChannelsMask[i] = mask[i];
    ctx->ChannelsMaskRemaining[i] &= ctx->ChannelsMask[i];
  }
  if (plan->CfListSetsDefaultMask) {
    RegionCommonChanMaskCopy(ctx->ChannelsDefaultMask, ctx->ChannelsMask,
                             REGION_NVM_CHANNELS_MASK_SIZE);
  }
}

bool RegionFixedChanMaskSet(const RegionFixedPlan_t* plan, ChanMaskSetParams_t* chanMaskSet) {
  RegionFixedCtx_t* ctx = plan->Ctx;

  if (!Ready(plan) || chanMaskSet->ChannelsMaskIn == nullptr) {
    return false;
  }
  // A mask without any channel of the plan is refused.
  if (!MaskHasChannel(chanMaskSet->ChannelsMaskIn)) {
    return false;
  }

  switch (chanMaskSet->ChannelsMaskType) {
    case CHANNELS_MASK:
      RegionCommonChanMaskCopy(ctx->ChannelsMask, chanMaskSet->ChannelsMaskIn,
                               REGION_NVM_CHANNELS_MASK_SIZE);
      ctx->ChannelsDefaultMask[4] &= 0x00FF;
      ctx->ChannelsDefaultMask[5] = 0x0000;
      for (uint8_t i = 0; i < REGION_NVM_CHANNELS_MASK_SIZE; i++) {
        ctx->ChannelsMaskRemaining[i] &= ctx->ChannelsMask[i];
      }
      return true;
    case CHANNELS_DEFAULT_MASK:
      RegionCommonChanMaskCopy(ctx->ChannelsDefaultMask, chanMaskSet->ChannelsMaskIn,
                               REGION_NVM_CHANNELS_MASK_SIZE);
      return true;
    default:
      return false;
  }
}

void RegionFixedComputeRxWindowParameters(const RegionFixedPlan_t* plan, int8_t datarate,
                                          uint8_t minRxSymbols, uint32_t rxError,
                                          RxConfigParams_t* rxConfigParams) {
  int8_t dr = datarate;
  if (dr > plan->MaxRxDr) {
    dr = plan->MaxRxDr;
  }
  if (dr < DR_0) {
    dr = DR_0;
  }

  rxConfigParams->Datarate = dr;
  rxConfigParams->Bandwidth =
      static_cast<uint8_t>(RegionCommonGetBandwidth(static_cast<uint32_t>(dr), plan->Bandwidths));

  uint32_t tSymbol = RegionCommonComputeSymbolTimeLoRa(plan->Datarates[dr], plan->Bandwidths[dr]);
  RegionCommonComputeRxWindowParameters(tSymbol, minRxSymbols, rxError, Radio.GetWakeupTime(),
                                        &rxConfigParams->WindowTimeout,
                                        &rxConfigParams->WindowOffset);
}

bool RegionFixedRxConfig(const RegionFixedPlan_t* plan, RxConfigParams_t* rxConfig,
                         int8_t* datarate) {
  int8_t dr = rxConfig->Datarate;
  uint32_t frequency = rxConfig->Frequency;

  if (Radio.GetStatus() != RF_IDLE) {
    return false;
  }
  if (!DrDefined(plan, dr)) {
    return false;
  }

  if (rxConfig->RxSlot == RX_SLOT_WIN_1) {
    frequency =
        kDownlinkBase + (rxConfig->Channel % REGION_FIXED_NB_DOWNLINK_CHANNELS) * kDownlinkStep;
  }

  Radio.SetChannel(frequency);
  Radio.SetRxConfig(MODEM_LORA, rxConfig->Bandwidth, plan->Datarates[dr], 1, 0, 8,
                    static_cast<uint16_t>(rxConfig->WindowTimeout), false, 0, false, false, 0, true,
                    rxConfig->RxContinuous);
  Radio.SetMaxPayloadLength(MODEM_LORA, static_cast<uint8_t>(MaxPayload(plan, dr, 0) + 13));

  *datarate = dr;
  return true;
}

bool RegionFixedTxConfig(const RegionFixedPlan_t* plan, TxConfigParams_t* txConfig, int8_t* txPower,
                         TimerTime_t* txTimeOnAir) {
  RegionFixedCtx_t* ctx = plan->Ctx;
  int8_t dr = txConfig->Datarate;

  if (!Ready(plan) || !DrDefined(plan, dr) || txConfig->Channel >= REGION_FIXED_NB_CHANNELS) {
    return false;
  }
  const ChannelParams_t* channel = &ctx->Channels[txConfig->Channel];
  if (channel->Band >= kNbBands) {
    return false;
  }

  int8_t txPowerLimited =
      RegionCommonLimitTxPower(txConfig->TxPower, ctx->Bands[channel->Band].TxMaxPower);
  int8_t phyTxPower;

  if (plan->FixedEirp30dBm) {
    // 500 kHz uplinks at most 26 dBm; 125 kHz uplinks spread over fewer
    // than 50 channels at most 21 dBm.
    if (dr > plan->Dr500kHzAbove) {
      txPowerLimited = (txPowerLimited > TX_POWER_2) ? txPowerLimited : TX_POWER_2;
    } else if (RegionCommonCountChannels(ctx->ChannelsMask, 0, 4) < 50) {
      txPowerLimited = (txPowerLimited > TX_POWER_5) ? txPowerLimited : TX_POWER_5;
    }
    phyTxPower = RegionCommonComputeTxPower(txPowerLimited, 30.0f, 0.0f);
  } else {
    phyTxPower =
        RegionCommonComputeTxPower(txPowerLimited, txConfig->MaxEirp, txConfig->AntennaGain);
  }

  Radio.SetChannel(channel->Frequency);
  Radio.SetTxConfig(MODEM_LORA, phyTxPower, 0,
                    RegionCommonGetBandwidth(static_cast<uint32_t>(dr), plan->Bandwidths),
                    plan->Datarates[dr], 1, 8, false, true, false, 0, false, 4000);
  Radio.SetMaxPayloadLength(MODEM_LORA,
                            static_cast<uint8_t>(txConfig->PktLen > 255 ? 255 : txConfig->PktLen));

  *txTimeOnAir = GetTimeOnAir(plan, dr, txConfig->PktLen);
  *txPower = txPowerLimited;
  return true;
}

uint8_t RegionFixedLinkAdrReq(const RegionFixedPlan_t* plan, LinkAdrReqParams_t* linkAdrReq,
                              int8_t* drOut, int8_t* txPowOut, uint8_t* nbRepOut,
                              uint8_t* nbBytesParsed) {
  RegionFixedCtx_t* ctx = plan->Ctx;
  uint8_t status = 0x07;
  RegionCommonLinkAdrParams_t linkAdrParams = {};
  uint8_t bytesProcessed = 0;
  uint16_t channelsMask[REGION_NVM_CHANNELS_MASK_SIZE] = {0};

  if (!Ready(plan)) {
    *nbBytesParsed = 0;
    return 0;
  }
  RegionCommonChanMaskCopy(channelsMask, ctx->ChannelsMask, REGION_NVM_CHANNELS_MASK_SIZE);

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

    uint8_t low = static_cast<uint8_t>(linkAdrParams.ChMask & 0x00FF);
    switch (linkAdrParams.ChMaskCtrl) {
      case 6:
      case 7: {
        uint16_t all = (linkAdrParams.ChMaskCtrl == 6) ? 0xFFFF : 0x0000;
        for (uint8_t i = 0; i < 4; i++) {
          channelsMask[i] = all;
        }
        channelsMask[4] = low;
        break;
      }
      case 5:
        for (uint8_t b = 0; b < 8; b++) {
          uint16_t groupBits = static_cast<uint16_t>(0x00FF << ((b % 2) * 8));
          if ((low & (1U << b)) != 0) {
            channelsMask[b / 2] |= groupBits;
            channelsMask[4] |= static_cast<uint16_t>(1U << b);
          } else {
            channelsMask[b / 2] &= static_cast<uint16_t>(~groupBits);
            channelsMask[4] &= static_cast<uint16_t>(~(1U << b));
          }
        }
        break;
      default:
        channelsMask[linkAdrParams.ChMaskCtrl] = linkAdrParams.ChMask;
        break;
    }
  }

  // A 125 kHz data rate needs at least two 125 kHz channels.
  if (linkAdrParams.Datarate > plan->Dr500kHzAbove ||
      RegionCommonCountChannels(channelsMask, 0, 4) >= 2) {
    status = 0x07;
  } else {
    status = 0x06;
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
  verify.NbChannels = REGION_FIXED_NB_CHANNELS;
  verify.ChannelsMask = channelsMask;
  verify.MinDatarate = MinTxDr(plan, linkAdrReq->UplinkDwellTime);
  verify.MaxDatarate = plan->LinkAdrMaxDr;
  verify.Channels = ctx->Channels;
  verify.MinTxPower = plan->MaxTxPowerIdx;
  verify.MaxTxPower = TX_POWER_0;

  status = RegionCommonLinkAdrReqVerifyParams(&verify, drOut, txPowOut, nbRepOut);

  if (status == 0x07) {
    RegionCommonChanMaskCopy(ctx->ChannelsMask, channelsMask, REGION_NVM_CHANNELS_MASK_SIZE);
    for (uint8_t i = 0; i < 4; i++) {
      ctx->ChannelsMaskRemaining[i] &= ctx->ChannelsMask[i];
    }
    ctx->ChannelsMaskRemaining[4] = ctx->ChannelsMask[4];
    ctx->ChannelsMaskRemaining[5] = ctx->ChannelsMask[5];
  }

  *nbBytesParsed = bytesProcessed;
  return status;
}

uint8_t RegionFixedRxParamSetupReq(const RegionFixedPlan_t* plan,
                                   RxParamSetupReqParams_t* rxParamSetupReq) {
  uint8_t status = 0x07;

  if (!VerifyRfFreq(rxParamSetupReq->Frequency)) {
    status &= 0xFE;
  }
  if (RegionCommonValueInRange(rxParamSetupReq->Datarate, plan->MinRxDr, plan->MaxRxDr) == 0) {
    status &= 0xFD;
  }
  if (RegionCommonValueInRange(rxParamSetupReq->DrOffset, 0, plan->MaxRx1DrOffset) == 0) {
    status &= 0xFB;
  }
  return status;
}

int8_t RegionFixedAlternateDr(const RegionFixedPlan_t* plan, int8_t currentDr,
                              AlternateDrType_t type) {
  RegionFixedCtx_t* ctx = plan->Ctx;
  (void)currentDr;

  if (!Ready(plan)) {
    return plan->JoinDrLow;
  }

  if (plan->JoinDrScheme == JOIN_DR_ALTERNATE) {
    if (plan->JoinDrOpensAll500kHz) {
      ctx->ChannelsMask[4] = 0x00FF;
    }
    int8_t dr = (*ctx->JoinTrialsCounter % 2 == 0) ? plan->JoinDrLow : plan->JoinDrHigh;
    (*ctx->JoinTrialsCounter)++;
    return dr;
  }

  if (plan->SingleChannel != nullptr && plan->SingleChannel->AlternateDr != nullptr) {
    uint8_t dr = plan->SingleChannel->AlternateDr();
    if (dr != 0) {
      return static_cast<int8_t>(dr);
    }
  }

  if (type == ALTERNATE_DR) {
    (*ctx->JoinTrialsCounter)++;
  } else {
    (*ctx->JoinTrialsCounter)--;
  }
  return (*ctx->JoinTrialsCounter % 9 == 0) ? plan->JoinDrHigh : plan->JoinDrLow;
}

LoRaMacStatus_t RegionFixedNextChannel(const RegionFixedPlan_t* plan,
                                       NextChanParams_t* nextChanParams, uint8_t* channel,
                                       TimerTime_t* time, TimerTime_t* aggregatedTimeOff) {
  RegionFixedCtx_t* ctx = plan->Ctx;
  uint8_t nbEnabledChannels = 0;
  uint8_t nbRestrictedChannels = 0;
  uint8_t enabledChannels[REGION_NVM_MAX_NB_CHANNELS] = {0};

  if (!Ready(plan)) {
    return LORAMAC_STATUS_NO_CHANNEL_FOUND;
  }
  uint16_t* remaining = ctx->ChannelsMaskRemaining;

  // Every 125 kHz channel used once: start over from the current mask.
  if (RegionCommonCountChannels(remaining, 0, 4) == 0) {
    RegionCommonChanMaskCopy(remaining, ctx->ChannelsMask, 4);
    if (ctx->JoinChannelGroupsCurrentIndex != nullptr) {
      *ctx->JoinChannelGroupsCurrentIndex = 0;
    }
  }
  if (nextChanParams->Datarate > plan->Dr500kHzAbove && (remaining[4] & 0x00FF) == 0) {
    remaining[4] = ctx->ChannelsMask[4];
  }

  RegionCommonCountNbOfEnabledChannelsParams_t countChannelsParams = {};
  countChannelsParams.Joined = nextChanParams->Joined;
  countChannelsParams.Datarate = static_cast<uint8_t>(nextChanParams->Datarate);
  countChannelsParams.ChannelsMask = remaining;
  countChannelsParams.Channels = ctx->Channels;
  countChannelsParams.Bands = ctx->Bands;
  countChannelsParams.MaxNbChannels = REGION_FIXED_NB_CHANNELS;
  countChannelsParams.JoinChannels = nullptr;

  RegionCommonIdentifyChannelsParam_t identifyChannelsParam = {};
  identifyChannelsParam.AggrTimeOff = nextChanParams->AggrTimeOff;
  identifyChannelsParam.LastAggrTx = nextChanParams->LastAggrTx;
  identifyChannelsParam.DutyCycleEnabled = nextChanParams->DutyCycleEnabled;
  identifyChannelsParam.MaxBands = kNbBands;
  identifyChannelsParam.ElapsedTimeSinceStartUp = nextChanParams->ElapsedTimeSinceStartUp;
  identifyChannelsParam.LastTxIsJoinRequest = nextChanParams->LastTxIsJoinRequest;
  identifyChannelsParam.ExpectedTimeOnAir =
      GetTimeOnAir(plan, nextChanParams->Datarate, nextChanParams->PktLen);
  identifyChannelsParam.CountNbOfEnabledChannelsParam = &countChannelsParams;

  LoRaMacStatus_t status =
      RegionCommonIdentifyChannels(&identifyChannelsParam, aggregatedTimeOff, enabledChannels,
                                   &nbEnabledChannels, &nbRestrictedChannels, time);
  if (status != LORAMAC_STATUS_OK) {
    if (status == LORAMAC_STATUS_NO_CHANNEL_FOUND) {
      *time = 0;
    }
    return status;
  }

  if (nextChanParams->Joined || ctx->JoinChannelGroupsCurrentIndex == nullptr) {
    *channel = enabledChannels[randr(0, nbEnabledChannels - 1)];
  } else if (nextChanParams->Datarate <= plan->Dr500kHzAbove) {
    // 125 kHz join requests try each group of eight in turn.
    LoRaMacStatus_t joinStatus = RegionBaseUSComputeNext125kHzJoinChannel(
        remaining, ctx->JoinChannelGroupsCurrentIndex, channel);
    if (joinStatus != LORAMAC_STATUS_OK) {
      return joinStatus;
    }
  } else {
    // 500 kHz join requests take the lowest remaining 500 kHz channel.
    uint8_t bits = static_cast<uint8_t>(remaining[4] & 0x00FF);
    if (bits == 0) {
      *time = 0;
      return LORAMAC_STATUS_NO_CHANNEL_FOUND;
    }
    *channel = static_cast<uint8_t>(REGION_FIXED_NB_125KHZ_CHANNELS + __builtin_ctz(bits));
  }

  (void)RegionCommonChanDisable(remaining, *channel, plan->ChanDisableLimit);
  return LORAMAC_STATUS_OK;
}

uint8_t RegionFixedApplyDrOffset(const RegionFixedPlan_t* plan, uint8_t downlinkDwellTime,
                                 int8_t dr, int8_t drOffset) {
  (void)downlinkDwellTime;
  if (dr < DR_0) {
    dr = DR_0;
  }
  if (dr >= plan->NbRx1DrRows) {
    dr = static_cast<int8_t>(plan->NbRx1DrRows - 1);
  }
  if (drOffset < 0) {
    drOffset = 0;
  }
  if (drOffset >= plan->NbRx1DrColumns) {
    drOffset = static_cast<int8_t>(plan->NbRx1DrColumns - 1);
  }
  return plan->Rx1DrTable[dr][drOffset];
}

void RegionFixedRxBeaconSetup(const RegionFixedPlan_t* plan, RxBeaconSetup_t* rxBeaconSetup,
                              uint8_t* outDr) {
  RegionCommonRxBeaconSetupParams_t regionCommonRxBeaconSetup = {};
  regionCommonRxBeaconSetup.Datarates = plan->Datarates;
  regionCommonRxBeaconSetup.Frequency = rxBeaconSetup->Frequency;
  regionCommonRxBeaconSetup.BeaconSize = plan->BeaconFormat.BeaconSize;
  regionCommonRxBeaconSetup.BeaconDatarate = plan->BeaconDatarate;
  regionCommonRxBeaconSetup.BeaconChannelBW = 2;
  regionCommonRxBeaconSetup.RxTime = rxBeaconSetup->RxTime;
  regionCommonRxBeaconSetup.SymbolTimeout = rxBeaconSetup->SymbolTimeout;

  RegionCommonRxBeaconSetup(&regionCommonRxBeaconSetup);
  *outDr = plan->BeaconDatarate;
}
