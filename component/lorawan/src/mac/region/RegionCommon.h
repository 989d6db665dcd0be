/*!
 * \file RegionCommon.h
 *
 * \brief Routines every region shares: duty cycle by time credits, channel
 *        counting and selection, LinkADRReq parsing and checking, receive
 *        window timing, TX power and bandwidth codes, beacon reception.
 *
 * They keep no state: everything lives in the bands, channels and masks the
 * calling region passes in.
 */
#ifndef __REGIONCOMMON_H__
#define __REGIONCOMMON_H__

#include "Region.h"

/*! Credit period while joined, and before the first hour after start-up. */
#define DUTY_CYCLE_TIME_PERIOD 3600000U
/*! Credit ceiling of the join back-off once ten hours have passed. */
#define DUTY_CYCLE_TIME_PERIOD_JOIN_BACKOFF_24H 870000U
/*! Duty cycle (as its inverse) applied to every band before the join. */
#define BACKOFF_DC_1_HOUR 100
#define BACKOFF_DUTY_CYCLE_1_HOUR_IN_S 3600U
#define BACKOFF_DUTY_CYCLE_10_HOURS_IN_S \
  (BACKOFF_DUTY_CYCLE_1_HOUR_IN_S + (10U * BACKOFF_DUTY_CYCLE_1_HOUR_IN_S))
#define BACKOFF_DUTY_CYCLE_24_HOURS_IN_S \
  (BACKOFF_DUTY_CYCLE_10_HOURS_IN_S + (24U * BACKOFF_DUTY_CYCLE_1_HOUR_IN_S))

/*! LinkADRReq command identifier. */
#define REGION_LINK_ADR_REQ_CID 0x03
/*! Length of one LinkADRReq block, command identifier included. */
#define REGION_LINK_ADR_REQ_LENGTH 5

typedef struct sRegionCommonLinkAdrParams {
  uint8_t NbRep;
  int8_t Datarate;
  int8_t TxPower;
  uint8_t ChMaskCtrl;
  uint16_t ChMask;
} RegionCommonLinkAdrParams_t;

typedef struct sRegionCommonLinkAdrReqVerifyParams {
  Version_t Version;
  uint8_t Status;
  bool AdrEnabled;
  int8_t Datarate;
  int8_t TxPower;
  uint8_t NbRep;
  int8_t CurrentDatarate;
  int8_t CurrentTxPower;
  int8_t CurrentNbRep;
  uint8_t NbChannels;
  uint16_t* ChannelsMask;
  int8_t MinDatarate;
  int8_t MaxDatarate;
  ChannelParams_t* Channels;
  int8_t MinTxPower;
  int8_t MaxTxPower;
} RegionCommonLinkAdrReqVerifyParams_t;

typedef struct sRegionCommonRxBeaconSetupParams {
  const uint8_t* Datarates;
  uint32_t Frequency;
  uint8_t BeaconSize;
  uint8_t BeaconDatarate;
  uint8_t BeaconChannelBW;
  uint32_t RxTime;
  uint16_t SymbolTimeout;
} RegionCommonRxBeaconSetupParams_t;

typedef struct sRegionCommonCountNbOfEnabledChannelsParams {
  bool Joined;
  uint8_t Datarate;
  uint16_t* ChannelsMask;
  ChannelParams_t* Channels;
  Band_t* Bands;
  uint16_t MaxNbChannels;
  uint16_t* JoinChannels;
} RegionCommonCountNbOfEnabledChannelsParams_t;

typedef struct sRegionCommonIdentifyChannelsParam {
  TimerTime_t AggrTimeOff;
  TimerTime_t LastAggrTx;
  bool DutyCycleEnabled;
  uint8_t MaxBands;
  SysTime_t ElapsedTimeSinceStartUp;
  bool LastTxIsJoinRequest;
  TimerTime_t ExpectedTimeOnAir;
  RegionCommonCountNbOfEnabledChannelsParams_t* CountNbOfEnabledChannelsParam;
} RegionCommonIdentifyChannelsParam_t;

typedef struct sRegionCommonGetNextLowerTxDrParams {
  int8_t CurrentDr;
  int8_t MaxDr;
  int8_t MinDr;
  uint8_t NbChannels;
  uint16_t* ChannelsMask;
  ChannelParams_t* Channels;
} RegionCommonGetNextLowerTxDrParams_t;

bool RegionCommonChanVerifyDr(uint8_t nbChannels, uint16_t* channelsMask, int8_t dr, int8_t minDr,
                              int8_t maxDr, ChannelParams_t* channels);
uint8_t RegionCommonValueInRange(int8_t value, int8_t min, int8_t max);
bool RegionCommonChanDisable(uint16_t* channelsMask, uint8_t id, uint8_t maxChannels);
uint8_t RegionCommonCountChannels(uint16_t* channelsMask, uint8_t startIdx, uint8_t stopIdx);
void RegionCommonChanMaskCopy(uint16_t* channelsMaskDest, uint16_t* channelsMaskSrc, uint8_t len);
void RegionCommonSetBandTxDone(Band_t* band, TimerTime_t lastTxAirTime, bool joined,
                               SysTime_t elapsedTimeSinceStartup);
TimerTime_t RegionCommonUpdateBandTimeOff(bool joined, Band_t* bands, uint8_t nbBands,
                                          bool dutyCycleEnabled, bool lastTxIsJoinRequest,
                                          SysTime_t elapsedTimeSinceStartup,
                                          TimerTime_t expectedTimeOnAir);
uint8_t RegionCommonParseLinkAdrReq(uint8_t* payload, RegionCommonLinkAdrParams_t* parseLinkAdr);
uint8_t RegionCommonLinkAdrReqVerifyParams(RegionCommonLinkAdrReqVerifyParams_t* verifyParams,
                                           int8_t* dr, int8_t* txPow, uint8_t* nbRep);
uint32_t RegionCommonComputeSymbolTimeLoRa(uint8_t phyDr, uint32_t bandwidthInHz);
uint32_t RegionCommonComputeSymbolTimeFsk(uint8_t phyDrInKbps);
void RegionCommonComputeRxWindowParameters(uint32_t tSymbolInUs, uint8_t minRxSymbols,
                                           uint32_t rxErrorInMs, uint32_t wakeUpTimeInMs,
                                           uint32_t* windowTimeoutInSymbols,
                                           int32_t* windowOffsetInMs);
int8_t RegionCommonComputeTxPower(int8_t txPowerIndex, float maxEirp, float antennaGain);
void RegionCommonRxBeaconSetup(RegionCommonRxBeaconSetupParams_t* rxBeaconSetupParams);
void RegionCommonCountNbOfEnabledChannels(
    RegionCommonCountNbOfEnabledChannelsParams_t* countNbOfEnabledChannelsParams,
    uint8_t* enabledChannels, uint8_t* nbEnabledChannels, uint8_t* nbRestrictedChannels);
LoRaMacStatus_t RegionCommonIdentifyChannels(
    RegionCommonIdentifyChannelsParam_t* identifyChannelsParam, TimerTime_t* aggregatedTimeOff,
    uint8_t* enabledChannels, uint8_t* nbEnabledChannels, uint8_t* nbRestrictedChannels,
    TimerTime_t* nextTxDelay);
int8_t RegionCommonGetNextLowerTxDr(RegionCommonGetNextLowerTxDrParams_t* params);
int8_t RegionCommonLimitTxPower(int8_t txPower, int8_t maxBandTxPower);
uint32_t RegionCommonGetBandwidth(uint32_t drIndex, const uint32_t* bandwidths);

#endif  // __REGIONCOMMON_H__
