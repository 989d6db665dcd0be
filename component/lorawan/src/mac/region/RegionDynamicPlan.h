/*!
 * \file RegionDynamicPlan.h
 *
 * \brief The 16-channel plans built at run time (EU868, CN779, EU433, IN865,
 *        RU864, AS923, KR920): one implementation driven by a profile row per
 *        region.
 *
 * A few default channels can never be removed; up to five more come from the
 * join accept's CFList, and NewChannelReq/DlChannelReq change the rest.
 */
#ifndef __REGIONDYNAMICPLAN_H__
#define __REGIONDYNAMICPLAN_H__

#include "Region.h"
#include "RegionOperations.h"

/*! Channels of a dynamic plan. */
#define REGION_DYNAMIC_MAX_NB_CHANNELS 16
/*! Channels a CFList of type 0 carries. */
#define REGION_DYNAMIC_CFLIST_CHANNELS 5

/*! A frequency range in Hz, both ends included. */
typedef struct sRegionFreqRange {
  uint32_t Min;
  uint32_t Max;
} RegionFreqRange_t;

/*! A sub-band of a region that moves its default and downlink frequencies. */
typedef struct sRegionSubBand {
  uint32_t DefaultChannels[2];
  uint32_t Rx2Frequency;
  uint32_t BeaconFrequency;
  uint32_t PingSlotFrequency;
} RegionSubBand_t;

/*! Pointers a dynamic-plan region keeps after INIT_TYPE_DEFAULTS. */
typedef struct sRegionDynamicCtx {
  RegionNvmDataGroup2_t* RegionNvmGroup2;
  Band_t* RegionBands;
} RegionDynamicCtx_t;

/*! The profile of a dynamic-plan region: every value in which they differ. */
typedef struct sRegionDynamicPlan {
  // Accepted frequencies: the ranges, optionally on a grid from the first
  // range's lower end. When RangesAreBands, range i is band i.
  const RegionFreqRange_t* Ranges;
  uint8_t NbRanges;
  bool RangesAreBands;
  uint32_t FrequencyGrid;

  // Bands (inverse duty cycle of each).
  const uint16_t* BandDutyCycles;
  uint8_t NbBands;
  uint8_t DutyCycleDefault;
  bool DutyCycleSwitchable;

  // Default channels (never removed, the only join channels).
  const uint32_t* DefaultFrequencies;
  uint8_t NbDefaultChannels;
  int8_t DefaultChannelMaxDr;
  uint16_t DefaultMask;
  // Sub-band rows selected at run time (nullptr when the region has none).
  const RegionSubBand_t* SubBands;
  const uint8_t* SubBandIndex;

  // Downlinks.
  uint32_t Rx2Frequency;
  uint8_t Rx2Datarate;
  uint32_t BeaconFrequency;
  uint8_t BeaconDatarate;
  uint32_t PingSlotFrequency;
  uint8_t PingSlotDatarate;
  BeaconFormat_t BeaconFormat;

  // Data rates: spreading factor (FSK: kbit/s), bandwidth and maximum MAC
  // payload, each with MaxDr + 1 entries; the dwell-time payload table is
  // optional.
  const uint8_t* Datarates;
  const uint32_t* Bandwidths;
  const uint8_t* MaxPayloadOfDatarate;
  const uint8_t* MaxPayloadOfDatarateDwell1;
  int8_t MaxDr;
  int8_t FskDr;       // -1: no FSK data rate
  int8_t DrHole;      // -1: none; else a data rate that is refused
  int8_t MaxDefTxDr;  // highest default data rate accepted
  int8_t DefTxDr;     // PHY_DEF_TX_DR answer
  int8_t MinDrDwell;  // lowest data rate under dwell time (0: no dwell time)
  uint8_t DefUplinkDwellTime;

  // TX power and RX1.
  float MaxEirp;
  int8_t MaxTxPowerIdx;
  int8_t MaxRx1DrOffset;
  const uint8_t (*Rx1DrTable)[8];        // nullptr: uplink DR minus offset
  const uint8_t (*Rx1DrTableDwell1)[8];  // under downlink dwell time
  uint32_t EirpSplitFrequency;           // 0: no frequency-dependent EIRP cap
  float EirpCapLow;                      // at or below the split
  float EirpCapHigh;                     // above the split

  uint32_t MaxRxWindow;
  int8_t TxParamSetupReqAnswer;
  int8_t JoinDr;  // -1: join requests keep the current data rate

  // Listen-before-talk.
  bool Lbt;
  bool SetsLbtDefaults;
  int16_t LbtRssiFreeThreshold;
  uint32_t LbtCarrierSenseTime;

  RegionDynamicCtx_t* Ctx;
} RegionDynamicPlan_t;

PhyParam_t RegionDynamicGetPhyParam(const RegionDynamicPlan_t* plan, GetPhyParams_t* getPhy);
void RegionDynamicSetBandTxDone(const RegionDynamicPlan_t* plan, SetBandTxDoneParams_t* txDone);
void RegionDynamicInitDefaults(const RegionDynamicPlan_t* plan, InitDefaultsParams_t* params);
bool RegionDynamicVerify(const RegionDynamicPlan_t* plan, VerifyParams_t* verify,
                         PhyAttribute_t phyAttribute);
void RegionDynamicApplyCFList(const RegionDynamicPlan_t* plan, ApplyCFListParams_t* applyCFList);
bool RegionDynamicChanMaskSet(const RegionDynamicPlan_t* plan, ChanMaskSetParams_t* chanMaskSet);
void RegionDynamicComputeRxWindowParameters(const RegionDynamicPlan_t* plan, int8_t datarate,
                                            uint8_t minRxSymbols, uint32_t rxError,
                                            RxConfigParams_t* rxConfigParams);
bool RegionDynamicRxConfig(const RegionDynamicPlan_t* plan, RxConfigParams_t* rxConfig,
                           int8_t* datarate);
bool RegionDynamicTxConfig(const RegionDynamicPlan_t* plan, TxConfigParams_t* txConfig,
                           int8_t* txPower, TimerTime_t* txTimeOnAir);
uint8_t RegionDynamicLinkAdrReq(const RegionDynamicPlan_t* plan, LinkAdrReqParams_t* linkAdrReq,
                                int8_t* drOut, int8_t* txPowOut, uint8_t* nbRepOut,
                                uint8_t* nbBytesParsed);
uint8_t RegionDynamicRxParamSetupReq(const RegionDynamicPlan_t* plan,
                                     RxParamSetupReqParams_t* rxParamSetupReq);
int8_t RegionDynamicNewChannelReq(const RegionDynamicPlan_t* plan,
                                  NewChannelReqParams_t* newChannelReq);
int8_t RegionDynamicTxParamSetupReq(const RegionDynamicPlan_t* plan,
                                    TxParamSetupReqParams_t* txParamSetupReq);
int8_t RegionDynamicDlChannelReq(const RegionDynamicPlan_t* plan,
                                 DlChannelReqParams_t* dlChannelReq);
int8_t RegionDynamicAlternateDr(const RegionDynamicPlan_t* plan, int8_t currentDr,
                                AlternateDrType_t type);
LoRaMacStatus_t RegionDynamicNextChannel(const RegionDynamicPlan_t* plan,
                                         NextChanParams_t* nextChanParams, uint8_t* channel,
                                         TimerTime_t* time, TimerTime_t* aggregatedTimeOff);
LoRaMacStatus_t RegionDynamicChannelAdd(const RegionDynamicPlan_t* plan,
                                        ChannelAddParams_t* channelAdd);
bool RegionDynamicChannelsRemove(const RegionDynamicPlan_t* plan,
                                 ChannelRemoveParams_t* channelRemove);
uint8_t RegionDynamicApplyDrOffset(const RegionDynamicPlan_t* plan, uint8_t downlinkDwellTime,
                                   int8_t dr, int8_t drOffset);
void RegionDynamicRxBeaconSetup(const RegionDynamicPlan_t* plan, RxBeaconSetup_t* rxBeaconSetup,
                                uint8_t* outDr);

/*!
 * Defines the operations of region R (plus ChannelAdd and ChannelsRemove) on
 * the profile PLAN.
 */
#define REGION_DYNAMIC_DEFINE_OPERATIONS(R, PLAN)                                                 \
  PhyParam_t Region##R##GetPhyParam(GetPhyParams_t* getPhy) {                                     \
    return RegionDynamicGetPhyParam(&PLAN, getPhy);                                               \
  }                                                                                               \
  void Region##R##SetBandTxDone(SetBandTxDoneParams_t* txDone) {                                  \
    RegionDynamicSetBandTxDone(&PLAN, txDone);                                                    \
  }                                                                                               \
  void Region##R##InitDefaults(InitDefaultsParams_t* params) {                                    \
    RegionDynamicInitDefaults(&PLAN, params);                                                     \
  }                                                                                               \
  bool Region##R##Verify(VerifyParams_t* verify, PhyAttribute_t phyAttribute) {                   \
    return RegionDynamicVerify(&PLAN, verify, phyAttribute);                                      \
  }                                                                                               \
  void Region##R##ApplyCFList(ApplyCFListParams_t* applyCFList) {                                 \
    RegionDynamicApplyCFList(&PLAN, applyCFList);                                                 \
  }                                                                                               \
  bool Region##R##ChanMaskSet(ChanMaskSetParams_t* chanMaskSet) {                                 \
    return RegionDynamicChanMaskSet(&PLAN, chanMaskSet);                                          \
  }                                                                                               \
  void Region##R##ComputeRxWindowParameters(int8_t datarate, uint8_t minRxSymbols,                \
                                            uint32_t rxError, RxConfigParams_t* rxConfigParams) { \
    RegionDynamicComputeRxWindowParameters(&PLAN, datarate, minRxSymbols, rxError,                \
                                           rxConfigParams);                                       \
  }                                                                                               \
  bool Region##R##RxConfig(RxConfigParams_t* rxConfig, int8_t* datarate) {                        \
    return RegionDynamicRxConfig(&PLAN, rxConfig, datarate);                                      \
  }                                                                                               \
  bool Region##R##TxConfig(TxConfigParams_t* txConfig, int8_t* txPower,                           \
                           TimerTime_t* txTimeOnAir) {                                            \
    return RegionDynamicTxConfig(&PLAN, txConfig, txPower, txTimeOnAir);                          \
  }                                                                                               \
  uint8_t Region##R##LinkAdrReq(LinkAdrReqParams_t* linkAdrReq, int8_t* drOut, int8_t* txPowOut,  \
                                uint8_t* nbRepOut, uint8_t* nbBytesParsed) {                      \
    return RegionDynamicLinkAdrReq(&PLAN, linkAdrReq, drOut, txPowOut, nbRepOut, nbBytesParsed);  \
  }                                                                                               \
  uint8_t Region##R##RxParamSetupReq(RxParamSetupReqParams_t* rxParamSetupReq) {                  \
    return RegionDynamicRxParamSetupReq(&PLAN, rxParamSetupReq);                                  \
  }                                                                                               \
  int8_t Region##R##NewChannelReq(NewChannelReqParams_t* newChannelReq) {                         \
    return RegionDynamicNewChannelReq(&PLAN, newChannelReq);                                      \
  }                                                                                               \
  int8_t Region##R##TxParamSetupReq(TxParamSetupReqParams_t* txParamSetupReq) {                   \
    return RegionDynamicTxParamSetupReq(&PLAN, txParamSetupReq);                                  \
  }                                                                                               \
  int8_t Region##R##DlChannelReq(DlChannelReqParams_t* dlChannelReq) {                            \
    return RegionDynamicDlChannelReq(&PLAN, dlChannelReq);                                        \
  }                                                                                               \
  int8_t Region##R##AlternateDr(int8_t currentDr, AlternateDrType_t type) {                       \
    return RegionDynamicAlternateDr(&PLAN, currentDr, type);                                      \
  }                                                                                               \
  LoRaMacStatus_t Region##R##NextChannel(NextChanParams_t* nextChanParams, uint8_t* channel,      \
                                         TimerTime_t* time, TimerTime_t* aggregatedTimeOff) {     \
    return RegionDynamicNextChannel(&PLAN, nextChanParams, channel, time, aggregatedTimeOff);     \
  }                                                                                               \
  LoRaMacStatus_t Region##R##ChannelAdd(ChannelAddParams_t* channelAdd) {                         \
    return RegionDynamicChannelAdd(&PLAN, channelAdd);                                            \
  }                                                                                               \
  bool Region##R##ChannelsRemove(ChannelRemoveParams_t* channelRemove) {                          \
    return RegionDynamicChannelsRemove(&PLAN, channelRemove);                                     \
  }                                                                                               \
  uint8_t Region##R##ApplyDrOffset(uint8_t downlinkDwellTime, int8_t dr, int8_t drOffset) {       \
    return RegionDynamicApplyDrOffset(&PLAN, downlinkDwellTime, dr, drOffset);                    \
  }                                                                                               \
  void Region##R##RxBeaconSetup(RxBeaconSetup_t* rxBeaconSetup, uint8_t* outDr) {                 \
    RegionDynamicRxBeaconSetup(&PLAN, rxBeaconSetup, outDr);                                      \
  }

/*! Declares ChannelAdd and ChannelsRemove of a dynamic-plan region R. */
#define REGION_DYNAMIC_DECLARE_CHANNEL_OPERATIONS(R)                     \
  LoRaMacStatus_t Region##R##ChannelAdd(ChannelAddParams_t* channelAdd); \
  bool Region##R##ChannelsRemove(ChannelRemoveParams_t* channelRemove)

#endif  // __REGIONDYNAMICPLAN_H__
