/*!
 * \file RegionDynamicPlan.cpp
 *
 * \brief The 16-channel plans built at run time, driven by a profile row.
 */
#include <string.h>

#include "radio.h"
#include "utilities.h"

#include "RegionCommon.h"
#include "RegionDynamicPlan.h"
#include "RegionLbt.h"

namespace {

constexpr uint8_t kCfListSize = 16;
constexpr uint8_t kCfListTypeChannels = 0;
constexpr DrRange_t kCfListDrRange = {static_cast<int8_t>((DR_5 << 4) | DR_0)};
constexpr uint32_t kLbtRxBandwidth = 200000;
constexpr uint8_t kLbtMaxProbes = 16;

bool Ready(const RegionDynamicPlan_t* plan) {
  return plan->Ctx->RegionNvmGroup2 != nullptr && plan->Ctx->RegionBands != nullptr;
}

ChannelParams_t* Channels(const RegionDynamicPlan_t* plan) {
  return plan->Ctx->RegionNvmGroup2->Channels;
}

uint16_t* ChannelsMask(const RegionDynamicPlan_t* plan) {
  return plan->Ctx->RegionNvmGroup2->ChannelsMask;
}

uint16_t* ChannelsDefaultMask(const RegionDynamicPlan_t* plan) {
  return plan->Ctx->RegionNvmGroup2->ChannelsDefaultMask;
}

bool DrValid(const RegionDynamicPlan_t* plan, int8_t dr) { return dr >= DR_0 && dr <= plan->MaxDr; }

const RegionSubBand_t* SubBand(const RegionDynamicPlan_t* plan) {
  return (plan->SubBands != nullptr) ? &plan->SubBands[*plan->SubBandIndex] : nullptr;
}

uint32_t DefaultFrequency(const RegionDynamicPlan_t* plan, uint8_t i) {
  const RegionSubBand_t* subBand = SubBand(plan);
  return (subBand != nullptr) ? subBand->DefaultChannels[i] : plan->DefaultFrequencies[i];
}

// The range (and so, where ranges are bands, the band) a frequency lies in.
bool FindRange(const RegionDynamicPlan_t* plan, uint32_t freq, uint8_t* band) {
  for (uint8_t i = 0; i < plan->NbRanges; i++) {
    const RegionFreqRange_t* range = &plan->Ranges[i];
    if (freq < range->Min || freq > range->Max) {
      continue;
    }
    if (plan->FrequencyGrid != 0 && ((freq - plan->Ranges[0].Min) % plan->FrequencyGrid) != 0) {
      continue;
    }
    *band = plan->RangesAreBands ? i : 0;
    return true;
  }
  return false;
}

bool VerifyRfFreq(const RegionDynamicPlan_t* plan, uint32_t freq, uint8_t* band) {
  if (!Radio.CheckRfFrequency(freq)) {
    return false;
  }
  return FindRange(plan, freq, band);
}

TimerTime_t GetTimeOnAir(const RegionDynamicPlan_t* plan, int8_t dr, uint16_t pktLen) {
  if (!DrValid(plan, dr)) {
    return 0;
  }
  uint32_t bandwidth = RegionCommonGetBandwidth(static_cast<uint32_t>(dr), plan->Bandwidths);
  uint8_t len = static_cast<uint8_t>(pktLen > 255 ? 255 : pktLen);
  if (dr == plan->FskDr) {
    return Radio.TimeOnAir(MODEM_FSK, bandwidth, static_cast<uint32_t>(plan->Datarates[dr]) * 1000,
                           0, 5, false, len, true);
  }
  return Radio.TimeOnAir(MODEM_LORA, bandwidth, plan->Datarates[dr], 1, 8, false, len, true);
}

int8_t MinTxDr(const RegionDynamicPlan_t* plan, uint8_t uplinkDwellTime) {
  return (uplinkDwellTime != 0) ? plan->MinDrDwell : DR_0;
}

}  // namespace

PhyParam_t RegionDynamicGetPhyParam(const RegionDynamicPlan_t* plan, GetPhyParams_t* getPhy) {
  PhyParam_t phyParam = {0};
  const RegionSubBand_t* subBand = SubBand(plan);

  switch (getPhy->Attribute) {
    case PHY_MIN_RX_DR:
      phyParam.Value =
          static_cast<uint32_t>((getPhy->DownlinkDwellTime != 0) ? plan->MinDrDwell : DR_0);
      break;
    case PHY_MIN_TX_DR:
      phyParam.Value = static_cast<uint32_t>(MinTxDr(plan, getPhy->UplinkDwellTime));
      break;
    case PHY_DEF_TX_DR:
      phyParam.Value = static_cast<uint32_t>(plan->DefTxDr);
      break;
    case PHY_DEF_ADR_ACK_LIMIT:
      phyParam.Value = 64;
      break;
    case PHY_DEF_ADR_ACK_DELAY:
      phyParam.Value = 32;
      break;
    case PHY_MAX_PAYLOAD:
      if (DrValid(plan, getPhy->Datarate)) {
        const uint8_t* table =
            (getPhy->UplinkDwellTime != 0 && plan->MaxPayloadOfDatarateDwell1 != nullptr)
                ? plan->MaxPayloadOfDatarateDwell1
                : plan->MaxPayloadOfDatarate;
        phyParam.Value = table[getPhy->Datarate];
      }
      break;
    case PHY_DUTY_CYCLE:
      phyParam.Value = plan->DutyCycleDefault;
      break;
    case PHY_MAX_RX_WINDOW:
      phyParam.Value = plan->MaxRxWindow;
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
      phyParam.Value = (subBand != nullptr) ? subBand->Rx2Frequency : plan->Rx2Frequency;
      break;
    case PHY_DEF_RX2_DR:
      phyParam.Value = plan->Rx2Datarate;
      break;
    case PHY_CHANNELS_MASK:
      if (Ready(plan)) {
        phyParam.ChannelsMask = ChannelsMask(plan);
      }
      break;
    case PHY_CHANNELS_DEFAULT_MASK:
      if (Ready(plan)) {
        phyParam.ChannelsMask = ChannelsDefaultMask(plan);
      }
      break;
    case PHY_MAX_NB_CHANNELS:
      phyParam.Value = REGION_DYNAMIC_MAX_NB_CHANNELS;
      break;
    case PHY_CHANNELS:
      if (Ready(plan)) {
        phyParam.Channels = Channels(plan);
      }
      break;
    case PHY_DEF_UPLINK_DWELL_TIME:
      phyParam.Value = plan->DefUplinkDwellTime;
      break;
    case PHY_DEF_MAX_EIRP:
      phyParam.fValue = plan->MaxEirp;
      break;
    case PHY_NEXT_LOWER_TX_DR:
      if (Ready(plan)) {
        RegionCommonGetNextLowerTxDrParams_t nextLower = {
            .CurrentDr = getPhy->Datarate,
            .MaxDr = plan->MaxDr,
            .MinDr = MinTxDr(plan, getPhy->UplinkDwellTime),
            .NbChannels = REGION_DYNAMIC_MAX_NB_CHANNELS,
            .ChannelsMask = ChannelsMask(plan),
            .Channels = Channels(plan),
        };
        phyParam.Value = static_cast<uint32_t>(RegionCommonGetNextLowerTxDr(&nextLower));
      }
      break;
    case PHY_BEACON_CHANNEL_FREQ:
      phyParam.Value = (subBand != nullptr) ? subBand->BeaconFrequency : plan->BeaconFrequency;
      break;
    case PHY_BEACON_FORMAT:
      phyParam.BeaconFormat = plan->BeaconFormat;
      break;
    case PHY_BEACON_CHANNEL_DR:
      phyParam.Value = plan->BeaconDatarate;
      break;
    case PHY_PING_SLOT_CHANNEL_FREQ:
      phyParam.Value = (subBand != nullptr) ? subBand->PingSlotFrequency : plan->PingSlotFrequency;
      break;
    case PHY_PING_SLOT_CHANNEL_DR:
      phyParam.Value = plan->PingSlotDatarate;
      break;
    case PHY_SF_FROM_DR:
      if (DrValid(plan, getPhy->Datarate)) {
        phyParam.Value = plan->Datarates[getPhy->Datarate];
      }
      break;
    case PHY_BW_FROM_DR:
      if (DrValid(plan, getPhy->Datarate)) {
        phyParam.Value =
            RegionCommonGetBandwidth(static_cast<uint32_t>(getPhy->Datarate), plan->Bandwidths);
      }
      break;
    default:
      break;
  }
  return phyParam;
}

void RegionDynamicSetBandTxDone(const RegionDynamicPlan_t* plan, SetBandTxDoneParams_t* txDone) {
  if (!Ready(plan) || txDone->Channel >= REGION_DYNAMIC_MAX_NB_CHANNELS) {
    return;
  }
  uint8_t band = Channels(plan)[txDone->Channel].Band;
  if (band >= plan->NbBands) {
    return;
  }
  RegionCommonSetBandTxDone(&plan->Ctx->RegionBands[band], txDone->LastTxAirTime, txDone->Joined,
                            txDone->ElapsedTimeSinceStartUp);
}

void RegionDynamicInitDefaults(const RegionDynamicPlan_t* plan, InitDefaultsParams_t* params) {
  switch (params->Type) {
    case INIT_TYPE_DEFAULTS: {
      if (params->NvmGroup2 == nullptr || params->Bands == nullptr) {
        return;
      }
      plan->Ctx->RegionNvmGroup2 = params->NvmGroup2;
      plan->Ctx->RegionBands = params->Bands;

      for (uint8_t i = 0; i < plan->NbBands; i++) {
        Band_t band = {};
        band.DCycle = plan->BandDutyCycles[i];
        band.TxMaxPower = TX_POWER_0;
        plan->Ctx->RegionBands[i] = band;
      }

      ChannelParams_t* channels = Channels(plan);
      for (uint8_t i = 0; i < plan->NbDefaultChannels; i++) {
        uint8_t band = 0;
        channels[i].Frequency = DefaultFrequency(plan, i);
        channels[i].Rx1Frequency = 0;
        channels[i].DrRange.Value = static_cast<int8_t>((plan->DefaultChannelMaxDr << 4) | DR_0);
        (void)FindRange(plan, channels[i].Frequency, &band);
        channels[i].Band = band;
      }

      ChannelsDefaultMask(plan)[0] = plan->DefaultMask;
      ChannelsMask(plan)[0] = ChannelsDefaultMask(plan)[0];

      if (plan->SetsLbtDefaults) {
        plan->Ctx->RegionNvmGroup2->RssiFreeThreshold = plan->LbtRssiFreeThreshold;
        plan->Ctx->RegionNvmGroup2->CarrierSenseTime = plan->LbtCarrierSenseTime;
      }
      break;
    }
    case INIT_TYPE_RESET_TO_DEFAULT_CHANNELS:
      if (!Ready(plan)) {
        return;
      }
      for (uint8_t i = 0; i < plan->NbDefaultChannels; i++) {
        Channels(plan)[i].Rx1Frequency = 0;
      }
      ChannelsMask(plan)[0] = ChannelsDefaultMask(plan)[0];
      break;
    case INIT_TYPE_ACTIVATE_DEFAULT_CHANNELS:
      if (!Ready(plan)) {
        return;
      }
      ChannelsMask(plan)[0] |= ChannelsDefaultMask(plan)[0];
      break;
    default:
      break;
  }
}

bool RegionDynamicVerify(const RegionDynamicPlan_t* plan, VerifyParams_t* verify,
                         PhyAttribute_t phyAttribute) {
  switch (phyAttribute) {
    case PHY_FREQUENCY: {
      uint8_t band = 0;
      return VerifyRfFreq(plan, verify->Frequency, &band);
    }
    case PHY_TX_DR: {
      int8_t dr = verify->DatarateParams.Datarate;
      return RegionCommonValueInRange(dr, MinTxDr(plan, verify->DatarateParams.UplinkDwellTime),
                                      plan->MaxDr) &&
             dr != plan->DrHole;
    }
    case PHY_DEF_TX_DR:
      return RegionCommonValueInRange(verify->DatarateParams.Datarate, DR_0, plan->MaxDefTxDr);
    case PHY_RX_DR: {
      int8_t dr = verify->DatarateParams.Datarate;
      int8_t minDr = (verify->DatarateParams.DownlinkDwellTime != 0) ? plan->MinDrDwell : DR_0;
      return RegionCommonValueInRange(dr, minDr, plan->MaxDr) && dr != plan->DrHole;
    }
    case PHY_TX_POWER:
    case PHY_DEF_TX_POWER:
      return RegionCommonValueInRange(verify->TxPower, TX_POWER_0, plan->MaxTxPowerIdx);
    case PHY_DUTY_CYCLE:
      return plan->DutyCycleSwitchable;
    default:
      return false;
  }
}

void RegionDynamicApplyCFList(const RegionDynamicPlan_t* plan, ApplyCFListParams_t* applyCFList) {
  if (!Ready(plan) || applyCFList->Payload == nullptr || applyCFList->Size != kCfListSize ||
      applyCFList->Payload[15] != kCfListTypeChannels) {
    return;
  }

  const uint8_t first = plan->NbDefaultChannels;
  uint8_t byte = 0;
  for (uint8_t id = first; id < REGION_DYNAMIC_MAX_NB_CHANNELS; id++) {
    if (id < first + REGION_DYNAMIC_CFLIST_CHANNELS) {
      const uint8_t* p = &applyCFList->Payload[byte];
      ChannelParams_t newChannel = {};
      newChannel.Frequency = (static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                              (static_cast<uint32_t>(p[2]) << 16)) *
                             100;
      newChannel.DrRange = kCfListDrRange;
      byte += 3;

      if (newChannel.Frequency != 0) {
        ChannelAddParams_t channelAdd = {&newChannel, id};
        (void)RegionDynamicChannelAdd(plan, &channelAdd);
        continue;
      }
    }
    ChannelRemoveParams_t channelRemove = {id};
    (void)RegionDynamicChannelsRemove(plan, &channelRemove);
  }
}

bool RegionDynamicChanMaskSet(const RegionDynamicPlan_t* plan, ChanMaskSetParams_t* chanMaskSet) {
  if (!Ready(plan) || chanMaskSet->ChannelsMaskIn == nullptr) {
    return false;
  }
  switch (chanMaskSet->ChannelsMaskType) {
    case CHANNELS_MASK:
      RegionCommonChanMaskCopy(ChannelsMask(plan), chanMaskSet->ChannelsMaskIn, 1);
      return true;
    case CHANNELS_DEFAULT_MASK:
      RegionCommonChanMaskCopy(ChannelsDefaultMask(plan), chanMaskSet->ChannelsMaskIn, 1);
      return true;
    default:
      return false;
  }
}

void RegionDynamicComputeRxWindowParameters(const RegionDynamicPlan_t* plan, int8_t datarate,
                                            uint8_t minRxSymbols, uint32_t rxError,
                                            RxConfigParams_t* rxConfigParams) {
  int8_t dr = datarate;
  if (dr > plan->MaxDr) {
    dr = plan->MaxDr;
  }
  if (dr < DR_0) {
    dr = DR_0;
  }

  rxConfigParams->Datarate = dr;
  rxConfigParams->Bandwidth =
      static_cast<uint8_t>(RegionCommonGetBandwidth(static_cast<uint32_t>(dr), plan->Bandwidths));

  uint32_t tSymbol = (dr == plan->FskDr) ? RegionCommonComputeSymbolTimeFsk(plan->Datarates[dr])
                                         : RegionCommonComputeSymbolTimeLoRa(plan->Datarates[dr],
                                                                             plan->Bandwidths[dr]);

  RegionCommonComputeRxWindowParameters(tSymbol, minRxSymbols, rxError, Radio.GetWakeupTime(),
                                        &rxConfigParams->WindowTimeout,
                                        &rxConfigParams->WindowOffset);
}

bool RegionDynamicRxConfig(const RegionDynamicPlan_t* plan, RxConfigParams_t* rxConfig,
                           int8_t* datarate) {
  int8_t dr = rxConfig->Datarate;
  uint32_t frequency = rxConfig->Frequency;

  if (Radio.GetStatus() != RF_IDLE) {
    return false;
  }
  if (!Ready(plan) || !DrValid(plan, dr)) {
    return false;
  }

  if (rxConfig->RxSlot == RX_SLOT_WIN_1) {
    if (rxConfig->Channel >= REGION_DYNAMIC_MAX_NB_CHANNELS) {
      return false;
    }
    const ChannelParams_t* channel = &Channels(plan)[rxConfig->Channel];
    frequency = (channel->Rx1Frequency != 0) ? channel->Rx1Frequency : channel->Frequency;
  }

  Radio.SetChannel(frequency);

  RadioModems_t modem;
  if (dr == plan->FskDr) {
    modem = MODEM_FSK;
    uint32_t bitRate = static_cast<uint32_t>(plan->Datarates[dr]) * 1000;
    Radio.SetRxConfig(modem, 50000, bitRate, 0, 83333, 5,
                      static_cast<uint16_t>(rxConfig->WindowTimeout), false, 0, true, false, 0,
                      false, rxConfig->RxContinuous);
  } else {
    modem = MODEM_LORA;
    Radio.SetRxConfig(modem, rxConfig->Bandwidth, plan->Datarates[dr], 1, 0, 8,
                      static_cast<uint16_t>(rxConfig->WindowTimeout), false, 0, false, false, 0,
                      true, rxConfig->RxContinuous);
  }

  Radio.SetMaxPayloadLength(modem, static_cast<uint8_t>(plan->MaxPayloadOfDatarate[dr] + 13));

  *datarate = dr;
  return true;
}

bool RegionDynamicTxConfig(const RegionDynamicPlan_t* plan, TxConfigParams_t* txConfig,
                           int8_t* txPower, TimerTime_t* txTimeOnAir) {
  int8_t dr = txConfig->Datarate;

  if (!Ready(plan) || !DrValid(plan, dr) || txConfig->Channel >= REGION_DYNAMIC_MAX_NB_CHANNELS) {
    return false;
  }
  const ChannelParams_t* channel = &Channels(plan)[txConfig->Channel];
  if (channel->Band >= plan->NbBands) {
    return false;
  }

  int8_t txPowerLimited =
      RegionCommonLimitTxPower(txConfig->TxPower, plan->Ctx->RegionBands[channel->Band].TxMaxPower);

  float maxEirp = txConfig->MaxEirp;
  if (plan->EirpSplitFrequency != 0) {
    float cap =
        (channel->Frequency <= plan->EirpSplitFrequency) ? plan->EirpCapLow : plan->EirpCapHigh;
    if (cap < maxEirp) {
      maxEirp = cap;
    }
  }
  int8_t phyTxPower = RegionCommonComputeTxPower(txPowerLimited, maxEirp, txConfig->AntennaGain);
  uint32_t bandwidth = RegionCommonGetBandwidth(static_cast<uint32_t>(dr), plan->Bandwidths);

  Radio.SetChannel(channel->Frequency);

  RadioModems_t modem;
  if (dr == plan->FskDr) {
    modem = MODEM_FSK;
    Radio.SetTxConfig(modem, phyTxPower, 25000, bandwidth,
                      static_cast<uint32_t>(plan->Datarates[dr]) * 1000, 0, 5, false, true, false,
                      0, false, 4000);
  } else {
    modem = MODEM_LORA;
    Radio.SetTxConfig(modem, phyTxPower, 0, bandwidth, plan->Datarates[dr], 1, 8, false, true,
                      false, 0, false, 4000);
  }

  *txTimeOnAir = GetTimeOnAir(plan, dr, txConfig->PktLen);
  Radio.SetMaxPayloadLength(modem,
                            static_cast<uint8_t>(txConfig->PktLen > 255 ? 255 : txConfig->PktLen));

  *txPower = txPowerLimited;
  return true;
}

uint8_t RegionDynamicLinkAdrReq(const RegionDynamicPlan_t* plan, LinkAdrReqParams_t* linkAdrReq,
                                int8_t* drOut, int8_t* txPowOut, uint8_t* nbRepOut,
                                uint8_t* nbBytesParsed) {
  uint8_t status = 0x07;
  RegionCommonLinkAdrParams_t linkAdrParams = {};
  uint8_t bytesProcessed = 0;
  uint16_t chMask = 0;

  if (!Ready(plan)) {
    *nbBytesParsed = 0;
    return 0;
  }
  ChannelParams_t* channels = Channels(plan);

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

    status = 0x07;
    chMask = linkAdrParams.ChMask;

    if ((linkAdrParams.ChMaskCtrl == 0 && chMask == 0) ||
        (linkAdrParams.ChMaskCtrl >= 1 && linkAdrParams.ChMaskCtrl <= 5) ||
        linkAdrParams.ChMaskCtrl == 7) {
      status &= 0xFE;
    } else if (linkAdrParams.ChMaskCtrl == 6) {
      for (uint8_t i = 0; i < REGION_DYNAMIC_MAX_NB_CHANNELS; i++) {
        if (channels[i].Frequency != 0) {
          chMask |= static_cast<uint16_t>(1U << i);
        }
      }
    } else {
      for (uint8_t i = 0; i < REGION_DYNAMIC_MAX_NB_CHANNELS; i++) {
        if ((chMask & (1U << i)) != 0 && channels[i].Frequency == 0) {
          status &= 0xFE;
        }
      }
    }
  }

  if (plan->DrHole >= 0 && linkAdrParams.Datarate == plan->DrHole) {
    // A data rate the region does not define: refused as it came.
    status &= 0xFD;
    *drOut = linkAdrParams.Datarate;
    *txPowOut = linkAdrParams.TxPower;
    *nbRepOut = linkAdrParams.NbRep;
    *nbBytesParsed = bytesProcessed;
    return status;
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
  verify.NbChannels = REGION_DYNAMIC_MAX_NB_CHANNELS;
  verify.ChannelsMask = &chMask;
  verify.MinDatarate = MinTxDr(plan, linkAdrReq->UplinkDwellTime);
  verify.MaxDatarate = plan->MaxDr;
  verify.Channels = channels;
  verify.MinTxPower = plan->MaxTxPowerIdx;
  verify.MaxTxPower = TX_POWER_0;

  status = RegionCommonLinkAdrReqVerifyParams(&verify, drOut, txPowOut, nbRepOut);

  if (status == 0x07) {
    memset(ChannelsMask(plan), 0, REGION_NVM_CHANNELS_MASK_SIZE * sizeof(uint16_t));
    ChannelsMask(plan)[0] = chMask;
  }

  *nbBytesParsed = bytesProcessed;
  return status;
}

uint8_t RegionDynamicRxParamSetupReq(const RegionDynamicPlan_t* plan,
                                     RxParamSetupReqParams_t* rxParamSetupReq) {
  uint8_t status = 0x07;
  uint8_t band = 0;

  if (!VerifyRfFreq(plan, rxParamSetupReq->Frequency, &band)) {
    status &= 0xFE;
  }
  if (!DrValid(plan, rxParamSetupReq->Datarate) || rxParamSetupReq->Datarate == plan->DrHole) {
    status &= 0xFD;
  }
  if (RegionCommonValueInRange(rxParamSetupReq->DrOffset, 0, plan->MaxRx1DrOffset) == 0) {
    status &= 0xFB;
  }
  return status;
}

int8_t RegionDynamicNewChannelReq(const RegionDynamicPlan_t* plan,
                                  NewChannelReqParams_t* newChannelReq) {
  uint8_t status = 0x03;

  if (newChannelReq->NewChannel == nullptr) {
    return 0;
  }
  if (newChannelReq->NewChannel->Frequency == 0) {
    ChannelRemoveParams_t channelRemove = {static_cast<uint8_t>(newChannelReq->ChannelId)};
    if (!RegionDynamicChannelsRemove(plan, &channelRemove)) {
      status &= 0xFC;
    }
    return static_cast<int8_t>(status);
  }

  ChannelAddParams_t channelAdd = {newChannelReq->NewChannel,
                                   static_cast<uint8_t>(newChannelReq->ChannelId)};
  switch (RegionDynamicChannelAdd(plan, &channelAdd)) {
    case LORAMAC_STATUS_OK:
      break;
    case LORAMAC_STATUS_FREQUENCY_INVALID:
      status &= 0xFE;
      break;
    case LORAMAC_STATUS_DATARATE_INVALID:
      status &= 0xFD;
      break;
    default:
      status &= 0xFC;
      break;
  }
  return static_cast<int8_t>(status);
}

int8_t RegionDynamicTxParamSetupReq(const RegionDynamicPlan_t* plan,
                                    TxParamSetupReqParams_t* txParamSetupReq) {
  (void)txParamSetupReq;
  return plan->TxParamSetupReqAnswer;
}

int8_t RegionDynamicDlChannelReq(const RegionDynamicPlan_t* plan,
                                 DlChannelReqParams_t* dlChannelReq) {
  uint8_t status = 0x03;
  uint8_t band = 0;

  if (!Ready(plan) || dlChannelReq->ChannelId >= REGION_DYNAMIC_MAX_NB_CHANNELS) {
    return 0;
  }
  if (!VerifyRfFreq(plan, dlChannelReq->Rx1Frequency, &band)) {
    status &= 0xFE;
  }
  ChannelParams_t* channel = &Channels(plan)[dlChannelReq->ChannelId];
  if (channel->Frequency == 0) {
    status &= 0xFD;
  }
  if (status == 0x03) {
    channel->Rx1Frequency = dlChannelReq->Rx1Frequency;
  }
  return static_cast<int8_t>(status);
}

int8_t RegionDynamicAlternateDr(const RegionDynamicPlan_t* plan, int8_t currentDr,
                                AlternateDrType_t type) {
  (void)type;
  return (plan->JoinDr >= 0) ? plan->JoinDr : currentDr;
}

LoRaMacStatus_t RegionDynamicNextChannel(const RegionDynamicPlan_t* plan,
                                         NextChanParams_t* nextChanParams, uint8_t* channel,
                                         TimerTime_t* time, TimerTime_t* aggregatedTimeOff) {
  uint8_t nbEnabledChannels = 0;
  uint8_t nbRestrictedChannels = 0;
  uint8_t enabledChannels[REGION_NVM_MAX_NB_CHANNELS] = {0};
  uint16_t joinChannels = plan->DefaultMask;

  if (!Ready(plan)) {
    return LORAMAC_STATUS_NO_CHANNEL_FOUND;
  }
  uint16_t* channelsMask = ChannelsMask(plan);

  // Every channel masked out: fall back to the default channels.
  if (RegionCommonCountChannels(channelsMask, 0, 1) == 0) {
    channelsMask[0] |= plan->DefaultMask;
  }

  RegionCommonCountNbOfEnabledChannelsParams_t countChannelsParams = {};
  countChannelsParams.Joined = nextChanParams->Joined;
  countChannelsParams.Datarate = static_cast<uint8_t>(nextChanParams->Datarate);
  countChannelsParams.ChannelsMask = channelsMask;
  countChannelsParams.Channels = Channels(plan);
  countChannelsParams.Bands = plan->Ctx->RegionBands;
  countChannelsParams.MaxNbChannels = REGION_DYNAMIC_MAX_NB_CHANNELS;
  countChannelsParams.JoinChannels = &joinChannels;

  RegionCommonIdentifyChannelsParam_t identifyChannelsParam = {};
  identifyChannelsParam.AggrTimeOff = nextChanParams->AggrTimeOff;
  identifyChannelsParam.LastAggrTx = nextChanParams->LastAggrTx;
  identifyChannelsParam.DutyCycleEnabled = nextChanParams->DutyCycleEnabled;
  identifyChannelsParam.MaxBands = plan->NbBands;
  identifyChannelsParam.ElapsedTimeSinceStartUp = nextChanParams->ElapsedTimeSinceStartUp;
  identifyChannelsParam.LastTxIsJoinRequest = nextChanParams->LastTxIsJoinRequest;
  identifyChannelsParam.ExpectedTimeOnAir =
      GetTimeOnAir(plan, nextChanParams->Datarate, nextChanParams->PktLen);
  identifyChannelsParam.CountNbOfEnabledChannelsParam = &countChannelsParams;

  LoRaMacStatus_t status =
      RegionCommonIdentifyChannels(&identifyChannelsParam, aggregatedTimeOff, enabledChannels,
                                   &nbEnabledChannels, &nbRestrictedChannels, time);

  if (status == LORAMAC_STATUS_OK) {
    if (!plan->Lbt || service_lora_get_lbt() != 1) {
      *channel = enabledChannels[randr(0, nbEnabledChannels - 1)];
      return LORAMAC_STATUS_OK;
    }

    // Listen before talk: probe the enabled channels round-robin from a
    // random start; with fewer than 16 channels some are probed again.
    int16_t rssiThreshold = service_lora_get_lbt_rssi();
    uint32_t scanTime = service_lora_get_lbt_scantime();
    uint8_t i = static_cast<uint8_t>(randr(0, nbEnabledChannels - 1));
    for (uint8_t probe = 0; probe < kLbtMaxProbes; probe++) {
      uint8_t candidate = enabledChannels[i];
      i = static_cast<uint8_t>((i + 1) % nbEnabledChannels);
      if (Radio.IsChannelFree(Channels(plan)[candidate].Frequency, kLbtRxBandwidth, rssiThreshold,
                              scanTime)) {
        *channel = candidate;
        return LORAMAC_STATUS_OK;
      }
    }
    return LORAMAC_STATUS_NO_FREE_CHANNEL_FOUND;
  }

  if (status == LORAMAC_STATUS_NO_CHANNEL_FOUND) {
    channelsMask[0] |= plan->DefaultMask;
  }
  return status;
}

LoRaMacStatus_t RegionDynamicChannelAdd(const RegionDynamicPlan_t* plan,
                                        ChannelAddParams_t* channelAdd) {
  uint8_t band = 0;
  uint8_t id = channelAdd->ChannelId;

  if (id < plan->NbDefaultChannels) {
    return LORAMAC_STATUS_FREQ_AND_DR_INVALID;
  }
  if (id >= REGION_DYNAMIC_MAX_NB_CHANNELS || channelAdd->NewChannel == nullptr || !Ready(plan)) {
    return LORAMAC_STATUS_PARAMETER_INVALID;
  }

  const ChannelParams_t* newChannel = channelAdd->NewChannel;
  int8_t minDr = newChannel->DrRange.Fields.Min;
  int8_t maxDr = newChannel->DrRange.Fields.Max;
  bool drInvalid = RegionCommonValueInRange(minDr, DR_0, plan->MaxDr) == 0 ||
                   RegionCommonValueInRange(maxDr, DR_0, plan->MaxDr) == 0 || minDr > maxDr;
  bool freqInvalid = !VerifyRfFreq(plan, newChannel->Frequency, &band);

  if (freqInvalid && drInvalid) {
    return LORAMAC_STATUS_FREQ_AND_DR_INVALID;
  }
  if (freqInvalid) {
    return LORAMAC_STATUS_FREQUENCY_INVALID;
  }
  if (drInvalid) {
    return LORAMAC_STATUS_DATARATE_INVALID;
  }

  ChannelParams_t* channel = &Channels(plan)[id];
  *channel = *newChannel;
  channel->Band = band;
  ChannelsMask(plan)[0] |= static_cast<uint16_t>(1U << id);
  return LORAMAC_STATUS_OK;
}

bool RegionDynamicChannelsRemove(const RegionDynamicPlan_t* plan,
                                 ChannelRemoveParams_t* channelRemove) {
  uint8_t id = channelRemove->ChannelId;

  if (!Ready(plan) || id < plan->NbDefaultChannels || id >= REGION_DYNAMIC_MAX_NB_CHANNELS) {
    return false;
  }
  Channels(plan)[id] = ChannelParams_t{};
  return RegionCommonChanDisable(ChannelsMask(plan), id, REGION_DYNAMIC_MAX_NB_CHANNELS);
}

uint8_t RegionDynamicApplyDrOffset(const RegionDynamicPlan_t* plan, uint8_t downlinkDwellTime,
                                   int8_t dr, int8_t drOffset) {
  if (dr < DR_0) {
    dr = DR_0;
  }
  if (dr > plan->MaxDr) {
    dr = plan->MaxDr;
  }
  if (drOffset < 0) {
    drOffset = 0;
  }
  if (drOffset > plan->MaxRx1DrOffset) {
    drOffset = plan->MaxRx1DrOffset;
  }

  if (plan->Rx1DrTable != nullptr) {
    const uint8_t(*table)[8] = (downlinkDwellTime != 0 && plan->Rx1DrTableDwell1 != nullptr)
                                   ? plan->Rx1DrTableDwell1
                                   : plan->Rx1DrTable;
    return table[dr][drOffset];
  }

  int8_t datarate = static_cast<int8_t>(dr - drOffset);
  return static_cast<uint8_t>((datarate < DR_0) ? DR_0 : datarate);
}

void RegionDynamicRxBeaconSetup(const RegionDynamicPlan_t* plan, RxBeaconSetup_t* rxBeaconSetup,
                                uint8_t* outDr) {
  RegionCommonRxBeaconSetupParams_t regionCommonRxBeaconSetup = {};
  regionCommonRxBeaconSetup.Datarates = plan->Datarates;
  regionCommonRxBeaconSetup.Frequency = rxBeaconSetup->Frequency;
  regionCommonRxBeaconSetup.BeaconSize = plan->BeaconFormat.BeaconSize;
  regionCommonRxBeaconSetup.BeaconDatarate = plan->BeaconDatarate;
  regionCommonRxBeaconSetup.BeaconChannelBW = 0;
  regionCommonRxBeaconSetup.RxTime = rxBeaconSetup->RxTime;
  regionCommonRxBeaconSetup.SymbolTimeout = rxBeaconSetup->SymbolTimeout;

  RegionCommonRxBeaconSetup(&regionCommonRxBeaconSetup);
  *outDr = plan->BeaconDatarate;
}
