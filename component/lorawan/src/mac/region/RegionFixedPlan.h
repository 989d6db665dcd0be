/*!
 * \file RegionFixedPlan.h
 *
 * \brief The 72-channel fixed plans (US915, AU915, LA915): 64 channels of
 *        125 kHz and 8 of 500 kHz chosen by channel masks, 8 downlink
 *        channels of 500 kHz; one implementation driven by a profile row.
 */
#ifndef __REGIONFIXEDPLAN_H__
#define __REGIONFIXEDPLAN_H__

#include "Region.h"
#include "RegionOperations.h"

/*! Uplink channels of a fixed plan. */
#define REGION_FIXED_NB_CHANNELS 72
/*! Channels of 125 kHz (the first 64). */
#define REGION_FIXED_NB_125KHZ_CHANNELS 64
/*! Downlink channels: 923.3 MHz + 600 kHz steps. */
#define REGION_FIXED_NB_DOWNLINK_CHANNELS 8

typedef uint32_t (*IsSingleChannel_t)(void);
typedef uint8_t (*AlternateDr_t)(void);

/*!
 * Hooks of the LoRa service's single-channel mode: IsSingleChannel answers
 * non-zero while one channel is pinned (the CFList is then ignored);
 * AlternateDr answers the join data rate to use, 0 for no opinion.
 */
typedef struct sSingleChannel {
  IsSingleChannel_t IsSingleChannel;
  AlternateDr_t AlternateDr;
} SingleChannel_t;

/*! Where a fixed-plan region keeps its channels, masks and join state. */
typedef struct sRegionFixedCtx {
  ChannelParams_t* Channels;
  uint16_t* ChannelsMask;
  uint16_t* ChannelsDefaultMask;
  uint16_t* ChannelsMaskRemaining;
  uint8_t* JoinChannelGroupsCurrentIndex;  // nullptr: no group rotation
  uint8_t* JoinTrialsCounter;
  Band_t* Bands;
} RegionFixedCtx_t;

/*! How join requests alternate their data rate. */
typedef enum eRegionJoinDrScheme : uint8_t {
  JOIN_DR_EVERY_NINTH_HIGH,  // high data rate every 9th trial, else low
  JOIN_DR_ALTERNATE,         // low and high in turn
} RegionJoinDrScheme_t;

/*! The profile of a fixed-plan region. */
typedef struct sRegionFixedPlan {
  // Uplink channels.
  uint32_t Channel125kHzBase;
  uint32_t Channel500kHzBase;
  DrRange_t DrRange125kHz;
  DrRange_t DrRange500kHz;
  uint16_t DefaultMask[REGION_NVM_CHANNELS_MASK_SIZE];

  // Data rates: spreading factor, bandwidth (16 entries each) and maximum
  // MAC payload (with the number of entries of each payload table).
  const uint8_t* Datarates;
  const uint32_t* Bandwidths;
  const uint8_t* MaxPayloadOfDatarate;
  uint8_t NbMaxPayloadOfDatarate;
  const uint8_t* MaxPayloadOfDatarateDwell1;
  uint8_t NbMaxPayloadOfDatarateDwell1;

  int8_t MaxTxDr;        // highest uplink data rate accepted by Verify
  int8_t MinTxDrDwell;   // lowest uplink data rate under uplink dwell time
  int8_t DefTxDr;        // PHY_DEF_TX_DR answer
  int8_t MinRxDr;        // lowest downlink data rate
  int8_t MinRxDrDwell;   // PHY_MIN_RX_DR under downlink dwell time
  bool VerifyRxDrDwell;  // Verify(PHY_RX_DR) follows downlink dwell time
  int8_t MaxRxDr;
  int8_t Dr500kHzAbove;  // data rates above this one use the 500 kHz channels
  int8_t LinkAdrMaxDr;   // highest data rate a LinkADRReq may ask for
  int8_t MaxTxPowerIdx;
  uint8_t DefTxPower;
  float MaxEirp;        // PHY_DEF_MAX_EIRP answer
  bool FixedEirp30dBm;  // TX power from 30 dBm with the channel-count rules
  int8_t MaxRx1DrOffset;
  const uint8_t (*Rx1DrTable)[6];  // rows DR_0..NbRx1DrRows-1, columns offsets 0..NbRx1DrColumns-1
  uint8_t NbRx1DrRows;
  uint8_t NbRx1DrColumns;
  uint8_t DefUplinkDwellTime;

  uint32_t ReceiveDelay1;
  uint32_t ReceiveDelay2;
  uint32_t JoinAcceptDelay1;
  uint32_t JoinAcceptDelay2;
  uint32_t MaxRxWindow;

  BeaconFormat_t BeaconFormat;
  uint8_t BeaconDatarate;
  bool BeaconFrequencies;  // beacon and ping slots on the downlink channels
  uint8_t NbBeaconChannels;
  uint8_t NbPingSlotChannels;
  bool AnswersSfBwFromDr;
  bool AnswersOnlyUpToPingSlotDr;  // attributes above PHY_PING_SLOT_CHANNEL_DR give 0
  bool NextLowerDrWithoutMask;

  int8_t NewChannelReqAnswer;
  int8_t DlChannelReqAnswer;
  int8_t TxParamSetupReqAnswer;

  int8_t JoinDrLow;
  int8_t JoinDrHigh;
  RegionJoinDrScheme_t JoinDrScheme;
  bool JoinDrOpensAll500kHz;  // the alternation switches every 500 kHz channel on

  uint8_t ChanDisableLimit;  // channels that leave the remaining mask once used
  bool CfListSetsDefaultMask;
  SingleChannel_t* SingleChannel;  // nullptr: no hooks

  RegionFixedCtx_t* Ctx;
} RegionFixedPlan_t;

/*! Binds the context of a region that keeps its state in the MAC's groups. */
void RegionFixedBindGroups(RegionFixedCtx_t* ctx, InitDefaultsParams_t* params);

PhyParam_t RegionFixedGetPhyParam(const RegionFixedPlan_t* plan, GetPhyParams_t* getPhy);
void RegionFixedSetBandTxDone(const RegionFixedPlan_t* plan, SetBandTxDoneParams_t* txDone);
void RegionFixedInitDefaults(const RegionFixedPlan_t* plan, InitType_t type);
bool RegionFixedVerify(const RegionFixedPlan_t* plan, VerifyParams_t* verify,
                       PhyAttribute_t phyAttribute);
void RegionFixedApplyCFList(const RegionFixedPlan_t* plan, ApplyCFListParams_t* applyCFList);
bool RegionFixedChanMaskSet(const RegionFixedPlan_t* plan, ChanMaskSetParams_t* chanMaskSet);
void RegionFixedComputeRxWindowParameters(const RegionFixedPlan_t* plan, int8_t datarate,
                                          uint8_t minRxSymbols, uint32_t rxError,
                                          RxConfigParams_t* rxConfigParams);
bool RegionFixedRxConfig(const RegionFixedPlan_t* plan, RxConfigParams_t* rxConfig,
                         int8_t* datarate);
bool RegionFixedTxConfig(const RegionFixedPlan_t* plan, TxConfigParams_t* txConfig, int8_t* txPower,
                         TimerTime_t* txTimeOnAir);
uint8_t RegionFixedLinkAdrReq(const RegionFixedPlan_t* plan, LinkAdrReqParams_t* linkAdrReq,
                              int8_t* drOut, int8_t* txPowOut, uint8_t* nbRepOut,
                              uint8_t* nbBytesParsed);
uint8_t RegionFixedRxParamSetupReq(const RegionFixedPlan_t* plan,
                                   RxParamSetupReqParams_t* rxParamSetupReq);
int8_t RegionFixedAlternateDr(const RegionFixedPlan_t* plan, int8_t currentDr,
                              AlternateDrType_t type);
LoRaMacStatus_t RegionFixedNextChannel(const RegionFixedPlan_t* plan,
                                       NextChanParams_t* nextChanParams, uint8_t* channel,
                                       TimerTime_t* time, TimerTime_t* aggregatedTimeOff);
uint8_t RegionFixedApplyDrOffset(const RegionFixedPlan_t* plan, uint8_t downlinkDwellTime,
                                 int8_t dr, int8_t drOffset);
void RegionFixedRxBeaconSetup(const RegionFixedPlan_t* plan, RxBeaconSetup_t* rxBeaconSetup,
                              uint8_t* outDr);

/*!
 * Defines the operations of region R on the profile PLAN, except
 * InitDefaults, which differs in where the state lives.
 */
#define REGION_FIXED_DEFINE_OPERATIONS(R, PLAN)                                                   \
  PhyParam_t Region##R##GetPhyParam(GetPhyParams_t* getPhy) {                                     \
    return RegionFixedGetPhyParam(&PLAN, getPhy);                                                 \
  }                                                                                               \
  void Region##R##SetBandTxDone(SetBandTxDoneParams_t* txDone) {                                  \
    RegionFixedSetBandTxDone(&PLAN, txDone);                                                      \
  }                                                                                               \
  bool Region##R##Verify(VerifyParams_t* verify, PhyAttribute_t phyAttribute) {                   \
    return RegionFixedVerify(&PLAN, verify, phyAttribute);                                        \
  }                                                                                               \
  void Region##R##ApplyCFList(ApplyCFListParams_t* applyCFList) {                                 \
    RegionFixedApplyCFList(&PLAN, applyCFList);                                                   \
  }                                                                                               \
  bool Region##R##ChanMaskSet(ChanMaskSetParams_t* chanMaskSet) {                                 \
    return RegionFixedChanMaskSet(&PLAN, chanMaskSet);                                            \
  }                                                                                               \
  void Region##R##ComputeRxWindowParameters(int8_t datarate, uint8_t minRxSymbols,                \
                                            uint32_t rxError, RxConfigParams_t* rxConfigParams) { \
    RegionFixedComputeRxWindowParameters(&PLAN, datarate, minRxSymbols, rxError, rxConfigParams); \
  }                                                                                               \
  bool Region##R##RxConfig(RxConfigParams_t* rxConfig, int8_t* datarate) {                        \
    return RegionFixedRxConfig(&PLAN, rxConfig, datarate);                                        \
  }                                                                                               \
  bool Region##R##TxConfig(TxConfigParams_t* txConfig, int8_t* txPower,                           \
                           TimerTime_t* txTimeOnAir) {                                            \
    return RegionFixedTxConfig(&PLAN, txConfig, txPower, txTimeOnAir);                            \
  }                                                                                               \
  uint8_t Region##R##LinkAdrReq(LinkAdrReqParams_t* linkAdrReq, int8_t* drOut, int8_t* txPowOut,  \
                                uint8_t* nbRepOut, uint8_t* nbBytesParsed) {                      \
    return RegionFixedLinkAdrReq(&PLAN, linkAdrReq, drOut, txPowOut, nbRepOut, nbBytesParsed);    \
  }                                                                                               \
  uint8_t Region##R##RxParamSetupReq(RxParamSetupReqParams_t* rxParamSetupReq) {                  \
    return RegionFixedRxParamSetupReq(&PLAN, rxParamSetupReq);                                    \
  }                                                                                               \
  int8_t Region##R##NewChannelReq(NewChannelReqParams_t* newChannelReq) {                         \
    (void)newChannelReq;                                                                          \
    return PLAN.NewChannelReqAnswer;                                                              \
  }                                                                                               \
  int8_t Region##R##TxParamSetupReq(TxParamSetupReqParams_t* txParamSetupReq) {                   \
    (void)txParamSetupReq;                                                                        \
    return PLAN.TxParamSetupReqAnswer;                                                            \
  }                                                                                               \
  int8_t Region##R##DlChannelReq(DlChannelReqParams_t* dlChannelReq) {                            \
    (void)dlChannelReq;                                                                           \
    return PLAN.DlChannelReqAnswer;                                                               \
  }                                                                                               \
  int8_t Region##R##AlternateDr(int8_t currentDr, AlternateDrType_t type) {                       \
    return RegionFixedAlternateDr(&PLAN, currentDr, type);                                        \
  }                                                                                               \
  LoRaMacStatus_t Region##R##NextChannel(NextChanParams_t* nextChanParams, uint8_t* channel,      \
                                         TimerTime_t* time, TimerTime_t* aggregatedTimeOff) {     \
    return RegionFixedNextChannel(&PLAN, nextChanParams, channel, time, aggregatedTimeOff);       \
  }                                                                                               \
  uint8_t Region##R##ApplyDrOffset(uint8_t downlinkDwellTime, int8_t dr, int8_t drOffset) {       \
    return RegionFixedApplyDrOffset(&PLAN, downlinkDwellTime, dr, drOffset);                      \
  }                                                                                               \
  void Region##R##RxBeaconSetup(RxBeaconSetup_t* rxBeaconSetup, uint8_t* outDr) {                 \
    RegionFixedRxBeaconSetup(&PLAN, rxBeaconSetup, outDr);                                        \
  }

#endif  // __REGIONFIXEDPLAN_H__
