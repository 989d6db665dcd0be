/*!
 * \file RegionCommon.cpp
 *
 * \brief Routines every region shares.
 */
#include <math.h>

#include "radio.h"
#include "timer.h"

#include "RegionCommon.h"

namespace {

// Nibbles of a data-rate range read as 0 to 15.
inline uint8_t DrRangeMinUnsigned(DrRange_t range) {
  return static_cast<uint8_t>(range.Value) & 0x0F;
}

inline uint8_t DrRangeMaxUnsigned(DrRange_t range) {
  return (static_cast<uint8_t>(range.Value) >> 4) & 0x0F;
}

// Nibbles of a data-rate range read as signed 4-bit values.
inline int8_t DrRangeMinSigned(DrRange_t range) {
  int8_t v = static_cast<int8_t>(static_cast<uint8_t>(range.Value) & 0x0F);
  return (v & 0x08) ? static_cast<int8_t>(v - 16) : v;
}

inline int8_t DrRangeMaxSigned(DrRange_t range) {
  int8_t v = static_cast<int8_t>((static_cast<uint8_t>(range.Value) >> 4) & 0x0F);
  return (v & 0x08) ? static_cast<int8_t>(v - 16) : v;
}

// Duty cycle charged for a band: at least the join back-off of 1 % before
// the join, and never below 1.
inline uint32_t EffectiveDutyCycle(const Band_t* band, bool joined) {
  uint32_t dCycle = band->DCycle;
  if (!joined && dCycle < BACKOFF_DC_1_HOUR) {
    dCycle = BACKOFF_DC_1_HOUR;
  }
  if (dCycle == 0) {
    dCycle = 1;
  }
  return dCycle;
}

// Air time multiplied by a duty cycle, saturated to the timer range.
inline TimerTime_t CreditCost(uint32_t dCycle, TimerTime_t airTime) {
  uint64_t cost = static_cast<uint64_t>(dCycle) * airTime;
  return cost > 0xFFFFFFFFULL ? 0xFFFFFFFFU : static_cast<TimerTime_t>(cost);
}

}  // namespace

uint8_t RegionCommonValueInRange(int8_t value, int8_t min, int8_t max) {
  return (value >= min && value <= max) ? 1 : 0;
}

bool RegionCommonChanVerifyDr(uint8_t nbChannels, uint16_t* channelsMask, int8_t dr, int8_t minDr,
                              int8_t maxDr, ChannelParams_t* channels) {
  if (RegionCommonValueInRange(dr, minDr, maxDr) == 0) {
    return false;
  }
  if (channelsMask == nullptr || channels == nullptr) {
    return false;
  }
  for (uint8_t i = 0, k = 0; i < nbChannels; i += 16, k++) {
    for (uint8_t j = 0; j < 16; j++) {
      uint16_t ch = i + j;
      // Bits past the channel count name no channel of the table.
      if (ch >= nbChannels) {
        break;
      }
      if ((channelsMask[k] & (1U << j)) != 0) {
        if (dr >= DrRangeMinUnsigned(channels[ch].DrRange) &&
            dr <= DrRangeMaxUnsigned(channels[ch].DrRange)) {
          return true;
        }
      }
    }
    if (i > 255 - 16) {
      break;
    }
  }
  return false;
}

bool RegionCommonChanDisable(uint16_t* channelsMask, uint8_t id, uint8_t maxChannels) {
  if (channelsMask == nullptr || (id / 16) > (maxChannels / 16) || id >= maxChannels) {
    return false;
  }
  channelsMask[id / 16] &= static_cast<uint16_t>(~(1U << (id % 16)));
  return true;
}

uint8_t RegionCommonCountChannels(uint16_t* channelsMask, uint8_t startIdx, uint8_t stopIdx) {
  uint8_t nbChannels = 0;
  if (channelsMask == nullptr) {
    return 0;
  }
  for (uint8_t i = startIdx; i < stopIdx; i++) {
    nbChannels += static_cast<uint8_t>(__builtin_popcount(channelsMask[i]));
  }
  return nbChannels;
}

void RegionCommonChanMaskCopy(uint16_t* channelsMaskDest, uint16_t* channelsMaskSrc, uint8_t len) {
  if (channelsMaskDest != nullptr && channelsMaskSrc != nullptr) {
    for (uint8_t i = 0; i < len; i++) {
      channelsMaskDest[i] = channelsMaskSrc[i];
    }
  }
}

void RegionCommonSetBandTxDone(Band_t* band, TimerTime_t lastTxAirTime, bool joined,
                               SysTime_t elapsedTimeSinceStartup) {
  (void)elapsedTimeSinceStartup;
  if (band == nullptr) {
    return;
  }
  TimerTime_t cost = CreditCost(EffectiveDutyCycle(band, joined), lastTxAirTime);
  band->TimeCredits = (band->TimeCredits > cost) ? band->TimeCredits - cost : 0;
}

TimerTime_t RegionCommonUpdateBandTimeOff(bool joined, Band_t* bands, uint8_t nbBands,
                                          bool dutyCycleEnabled, bool lastTxIsJoinRequest,
                                          SysTime_t elapsedTimeSinceStartup,
                                          TimerTime_t expectedTimeOnAir) {
  (void)lastTxIsJoinRequest;
  TimerTime_t minTimeToWait = TIMERTIME_T_MAX;
  TimerTime_t currentTime = TimerGetCurrentTime();
  uint8_t validBands = 0;

  if (bands == nullptr) {
    return TIMERTIME_T_MAX;
  }

  for (uint8_t i = 0; i < nbBands; i++) {
    Band_t* band = &bands[i];
    TimerTime_t elapsed = TimerGetElapsedTime(band->LastBandUpdateTime);
    TimerTime_t ceiling;
    TimerTime_t period;

    if (joined) {
      ceiling = DUTY_CYCLE_TIME_PERIOD;
      period = DUTY_CYCLE_TIME_PERIOD;
      if (!dutyCycleEnabled) {
        band->TimeCredits = DUTY_CYCLE_TIME_PERIOD;
      }
    } else {
      uint32_t s = elapsedTimeSinceStartup.Seconds;
      ceiling = (s < BACKOFF_DUTY_CYCLE_10_HOURS_IN_S) ? DUTY_CYCLE_TIME_PERIOD
                                                       : DUTY_CYCLE_TIME_PERIOD_JOIN_BACKOFF_24H;
      if (s < BACKOFF_DUTY_CYCLE_1_HOUR_IN_S) {
        period = BACKOFF_DUTY_CYCLE_1_HOUR_IN_S * 1000U;
      } else if (s < BACKOFF_DUTY_CYCLE_10_HOURS_IN_S) {
        period = BACKOFF_DUTY_CYCLE_10_HOURS_IN_S * 1000U;
      } else {
        period = BACKOFF_DUTY_CYCLE_24_HOURS_IN_S * 1000U;
      }
    }
    band->MaxTimeCredits = ceiling;

    if (elapsed >= period || period != band->LastMaxCreditAssignTime ||
        band->LastBandUpdateTime == 0) {
      band->TimeCredits = ceiling;
      band->LastBandUpdateTime = currentTime;
      band->LastMaxCreditAssignTime = period;
    }

    TimerTime_t cost = CreditCost(EffectiveDutyCycle(band, joined), expectedTimeOnAir);
    if (band->TimeCredits > cost || (joined && !dutyCycleEnabled)) {
      band->ReadyForTransmission = true;
      validBands++;
    } else {
      band->ReadyForTransmission = false;
      if (cost < ceiling) {
        validBands++;
        TimerTime_t wait = (elapsed > period) ? 0 : period - elapsed;
        if (wait < minTimeToWait) {
          minTimeToWait = wait;
        }
      }
    }
  }

  return (validBands == 0) ? TIMERTIME_T_MAX : minTimeToWait;
}

uint8_t RegionCommonParseLinkAdrReq(uint8_t* payload, RegionCommonLinkAdrParams_t* linkAdrParams) {
  if (payload == nullptr || linkAdrParams == nullptr || payload[0] != REGION_LINK_ADR_REQ_CID) {
    return 0;
  }
  linkAdrParams->Datarate = static_cast<int8_t>((payload[1] >> 4) & 0x0F);
  linkAdrParams->TxPower = static_cast<int8_t>(payload[1] & 0x0F);
  linkAdrParams->ChMask = static_cast<uint16_t>(payload[2] | (payload[3] << 8));
  linkAdrParams->ChMaskCtrl = (payload[4] >> 4) & 0x07;
  linkAdrParams->NbRep = payload[4] & 0x0F;
  return REGION_LINK_ADR_REQ_LENGTH;
}

uint8_t RegionCommonLinkAdrReqVerifyParams(RegionCommonLinkAdrReqVerifyParams_t* verifyParams,
                                           int8_t* dr, int8_t* txPow, uint8_t* nbRep) {
  uint8_t status = verifyParams->Status;
  int8_t datarate = verifyParams->Datarate;
  int8_t txPower = verifyParams->TxPower;
  int8_t nbRepetitions = static_cast<int8_t>(verifyParams->NbRep);

  if (!verifyParams->AdrEnabled) {
    datarate = verifyParams->CurrentDatarate;
    txPower = verifyParams->CurrentTxPower;
    nbRepetitions = verifyParams->CurrentNbRep;
  }

  if (status != 0) {
    if (datarate == DR_15) {
      datarate = verifyParams->CurrentDatarate;
    } else if (!RegionCommonChanVerifyDr(verifyParams->NbChannels, verifyParams->ChannelsMask,
                                         datarate, verifyParams->MinDatarate,
                                         verifyParams->MaxDatarate, verifyParams->Channels)) {
      status &= 0xFD;
    }

    if (txPower == TX_POWER_15) {
      txPower = verifyParams->CurrentTxPower;
    } else if (txPower < verifyParams->MaxTxPower) {
      txPower = verifyParams->MaxTxPower;
    } else if (txPower > verifyParams->MinTxPower) {
      status &= 0xFB;
      *dr = datarate;
      *txPow = txPower;
      *nbRep = static_cast<uint8_t>(nbRepetitions);
      return status;
    }

    if (status == 0x07 && nbRepetitions == 0) {
      nbRepetitions = 1;
    }
  }

  *dr = datarate;
  *txPow = txPower;
  *nbRep = static_cast<uint8_t>(nbRepetitions);
  return status;
}

uint32_t RegionCommonComputeSymbolTimeLoRa(uint8_t phyDr, uint32_t bandwidthInHz) {
  if (bandwidthInHz == 0 || phyDr > 20) {
    return 0;
  }
  return static_cast<uint32_t>((1000000ULL << phyDr) / bandwidthInHz);
}

uint32_t RegionCommonComputeSymbolTimeFsk(uint8_t phyDrInKbps) {
  if (phyDrInKbps == 0) {
    return 0;
  }
  return 8000U / phyDrInKbps;
}

void RegionCommonComputeRxWindowParameters(uint32_t tSymbolInUs, uint8_t minRxSymbols,
                                           uint32_t rxErrorInMs, uint32_t wakeUpTimeInMs,
                                           uint32_t* windowTimeoutInSymbols,
                                           int32_t* windowOffsetInMs) {
  if (tSymbolInUs == 0) {
    // No symbol time (a data rate without a modulation): nothing to
    // stretch, open the window at its nominal time.
    *windowTimeoutInSymbols = minRxSymbols;
    *windowOffsetInMs = -static_cast<int32_t>(wakeUpTimeInMs);
    return;
  }

  // Window long enough to hold the minimum symbols plus the timing error on
  // both sides.
  int64_t t = 2 * (static_cast<int64_t>(rxErrorInMs) * 1000 +
                   static_cast<int64_t>(tSymbolInUs) * (static_cast<int64_t>(minRxSymbols) - 4));
  if (t < 0) {
    t = 0;
  }
  if (t != 0) {
    t = (t + tSymbolInUs - 1) / tSymbolInUs;
  }
  uint64_t timeout = (t > minRxSymbols) ? static_cast<uint64_t>(t) : minRxSymbols;
  if (timeout > 0xFFFFFFFFULL) {
    timeout = 0xFFFFFFFFULL;
  }
  *windowTimeoutInSymbols = static_cast<uint32_t>(timeout);

  // Centre the window on the expected preamble, opened early by the radio's
  // wake-up time.
  int64_t half = (static_cast<int64_t>(tSymbolInUs) * static_cast<int64_t>(timeout) + 1) / 2;
  int64_t offsetUs =
      4 * static_cast<int64_t>(tSymbolInUs) - half - static_cast<int64_t>(wakeUpTimeInMs) * 1000;
  int64_t offsetMs = (offsetUs > 0) ? (offsetUs + 999) / 1000 : offsetUs / 1000;
  if (offsetMs < INT32_MIN) {
    offsetMs = INT32_MIN;
  }
  *windowOffsetInMs = static_cast<int32_t>(offsetMs);
}

int8_t RegionCommonComputeTxPower(int8_t txPowerIndex, float maxEirp, float antennaGain) {
  float dbm = floorf(maxEirp - static_cast<float>(txPowerIndex) * 2.0f - antennaGain);
  if (!(dbm >= -128.0f)) {
    return INT8_MIN;
  }
  if (dbm > 127.0f) {
    return INT8_MAX;
  }
  return static_cast<int8_t>(dbm);
}

void RegionCommonRxBeaconSetup(RegionCommonRxBeaconSetupParams_t* rxBeaconSetupParams) {
  bool rxContinuous = (rxBeaconSetupParams->RxTime == 0);

  Radio.Sleep();
  Radio.SetChannel(rxBeaconSetupParams->Frequency);
  Radio.SetMaxPayloadLength(MODEM_LORA, rxBeaconSetupParams->BeaconSize);
  Radio.SetRxConfig(MODEM_LORA, rxBeaconSetupParams->BeaconChannelBW,
                    rxBeaconSetupParams->Datarates[rxBeaconSetupParams->BeaconDatarate], 1, 0, 10,
                    0, true, rxBeaconSetupParams->BeaconSize, false, false, 0, false, rxContinuous);
  Radio.Rx(rxBeaconSetupParams->RxTime);
}

void RegionCommonCountNbOfEnabledChannels(RegionCommonCountNbOfEnabledChannelsParams_t* params,
                                          uint8_t* enabledChannels, uint8_t* nbEnabledChannels,
                                          uint8_t* nbRestrictedChannels) {
  uint8_t nbChannelCount = 0;
  uint8_t nbRestricted = 0;
  int8_t datarate = static_cast<int8_t>(params->Datarate);

  for (uint16_t i = 0, k = 0; i < params->MaxNbChannels; i += 16, k++) {
    for (uint16_t j = 0; j < 16; j++) {
      uint16_t ch = i + j;
      if (ch >= params->MaxNbChannels) {
        break;
      }
      if ((params->ChannelsMask[k] & (1U << j)) == 0) {
        continue;
      }
      const ChannelParams_t* channel = &params->Channels[ch];
      if (channel->Frequency == 0) {
        continue;
      }
      if (!params->Joined && params->JoinChannels != nullptr &&
          (params->JoinChannels[k] & (1U << j)) == 0) {
        continue;
      }
      if (RegionCommonValueInRange(datarate, DrRangeMinSigned(channel->DrRange),
                                   DrRangeMaxSigned(channel->DrRange)) == 0) {
        continue;
      }
      if (channel->Band >= REGION_NVM_MAX_NB_BANDS) {
        // A band the region does not have: the channel cannot be used.
        continue;
      }
      if (params->Bands[channel->Band].ReadyForTransmission) {
        enabledChannels[nbChannelCount++] = static_cast<uint8_t>(ch);
      } else {
        nbRestricted++;
      }
    }
  }

  *nbEnabledChannels = nbChannelCount;
  *nbRestrictedChannels = nbRestricted;
}

LoRaMacStatus_t RegionCommonIdentifyChannels(
    RegionCommonIdentifyChannelsParam_t* identifyChannelsParam, TimerTime_t* aggregatedTimeOff,
    uint8_t* enabledChannels, uint8_t* nbEnabledChannels, uint8_t* nbRestrictedChannels,
    TimerTime_t* nextTxDelay) {
  TimerTime_t elapsed = TimerGetElapsedTime(identifyChannelsParam->LastAggrTx);
  *nextTxDelay = identifyChannelsParam->AggrTimeOff - elapsed;
  *nbRestrictedChannels = 1;
  *nbEnabledChannels = 0;

  if (identifyChannelsParam->LastAggrTx == 0 || identifyChannelsParam->AggrTimeOff <= elapsed) {
    RegionCommonCountNbOfEnabledChannelsParams_t* count =
        identifyChannelsParam->CountNbOfEnabledChannelsParam;

    *aggregatedTimeOff = 0;
    *nextTxDelay = RegionCommonUpdateBandTimeOff(
        count->Joined, count->Bands, identifyChannelsParam->MaxBands,
        identifyChannelsParam->DutyCycleEnabled, identifyChannelsParam->LastTxIsJoinRequest,
        identifyChannelsParam->ElapsedTimeSinceStartUp, identifyChannelsParam->ExpectedTimeOnAir);

    RegionCommonCountNbOfEnabledChannels(count, enabledChannels, nbEnabledChannels,
                                         nbRestrictedChannels);
  }

  if (*nbEnabledChannels > 0) {
    *nextTxDelay = 0;
    return LORAMAC_STATUS_OK;
  }
  if (*nbRestrictedChannels > 0) {
    return LORAMAC_STATUS_DUTYCYCLE_RESTRICTED;
  }
  return LORAMAC_STATUS_NO_CHANNEL_FOUND;
}

int8_t RegionCommonGetNextLowerTxDr(RegionCommonGetNextLowerTxDrParams_t* params) {
  int8_t drLocal = params->CurrentDr;

  if (drLocal <= params->MinDr) {
    return params->MinDr;
  }
  do {
    drLocal--;
  } while (drLocal != params->MinDr &&
           !RegionCommonChanVerifyDr(params->NbChannels, params->ChannelsMask, drLocal,
                                     params->MinDr, params->MaxDr, params->Channels));
  return drLocal;
}

int8_t RegionCommonLimitTxPower(int8_t txPower, int8_t maxBandTxPower) {
  // A higher index is a lower power: a band limit can only lower the power.
  return (txPower > maxBandTxPower) ? txPower : maxBandTxPower;
}

uint32_t RegionCommonGetBandwidth(uint32_t drIndex, const uint32_t* bandwidths) {
  switch (bandwidths[drIndex]) {
    case 250000:
      return 1;
    case 500000:
      return 2;
    default:
      return 0;
  }
}
