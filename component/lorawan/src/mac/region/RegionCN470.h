/*!
 * \file RegionCN470.h
 *
 * \brief CN470 regional parameters: four channel plans, the one in use
 *        chosen by the common join channel of the accepted join request.
 */
#ifndef __REGION_CN470_H__
#define __REGION_CN470_H__

#include "RegionOperations.h"

REGION_DECLARE_OPERATIONS(CN470);

/*! Entries of the common join-channel list. */
#define CN470_COMMON_JOIN_CHANNELS 20

/*!
 * The routines and sizes of one channel plan; the CN470 operations are
 * written once and call through this record.
 */
typedef struct sRegionCN470ChannelPlanCtx {
  uint8_t ChannelsMaskSize;    // 16-bit mask words in use
  uint8_t JoinAcceptListSize;  // mask words a CFList of type 1 carries
  uint8_t NbBeaconChannels;
  uint8_t NbPingSlotChannels;
  uint32_t (*GetDownlinkFrequency)(uint8_t channel, uint8_t joinChannelIndex, bool isPingSlot);
  uint8_t (*GetBeaconChannelOffset)(uint8_t joinChannelIndex);
  uint8_t (*LinkAdrChMaskUpdate)(uint16_t* channelsMask, uint8_t chMaskCntl, uint16_t chanMask,
                                 ChannelParams_t* channels);
  bool (*VerifyRfFreq)(uint32_t freq);
  void (*InitializeChannels)(ChannelParams_t* channels);
  void (*InitializeChannelsMask)(uint16_t* channelsDefaultMask);
  uint32_t (*GetRx1Frequency)(uint8_t channel);
  uint32_t (*GetRx2Frequency)(uint8_t joinChannelIndex, bool isOtaaDevice);
} RegionCN470ChannelPlanCtx_t;

/*! Declares the plan-specific routines of plan P (A20, B20, A26, B26). */
#define REGION_CN470_DECLARE_PLAN_ROUTINES(P)                                              \
  uint32_t RegionCN470##P##GetDownlinkFrequency(uint8_t channel, uint8_t joinChannelIndex, \
                                                bool isPingSlot);                          \
  uint8_t RegionCN470##P##GetBeaconChannelOffset(uint8_t joinChannelIndex);                \
  bool RegionCN470##P##VerifyRfFreq(uint32_t freq);                                        \
  void RegionCN470##P##InitializeChannels(ChannelParams_t* channels);                      \
  uint32_t RegionCN470##P##GetRx1Frequency(uint8_t channel);                               \
  uint32_t RegionCN470##P##GetRx2Frequency(uint8_t joinChannelIndex, bool isOtaaDevice)

REGION_CN470_DECLARE_PLAN_ROUTINES(A20);
REGION_CN470_DECLARE_PLAN_ROUTINES(B20);
REGION_CN470_DECLARE_PLAN_ROUTINES(A26);
REGION_CN470_DECLARE_PLAN_ROUTINES(B26);

/*! Channel-mask updates of LinkADRReq: the 20 MHz form (type B reuses it)... */
uint8_t RegionCN470A20LinkAdrChMaskUpdate(uint16_t* channelsMask, uint8_t chMaskCntl,
                                          uint16_t chanMask, ChannelParams_t* channels);
/*! ...and the 26 MHz form. */
uint8_t RegionCN470A26LinkAdrChMaskUpdate(uint16_t* channelsMask, uint8_t chMaskCntl,
                                          uint16_t chanMask, ChannelParams_t* channels);
/*! Default masks of the 20 MHz and 26 MHz plans (type B reuses type A's). */
void RegionCN470A20InitializeChannelsMask(uint16_t* channelsDefaultMask);
void RegionCN470A26InitializeChannelsMask(uint16_t* channelsDefaultMask);

/*! The plan context of a plan (CHANNEL_PLAN_UNKNOWN and unknown values: 20 MHz type A). */
const RegionCN470ChannelPlanCtx_t* RegionCN470GetChannelPlanCtx(RegionCN470ChannelPlan_t plan);

/*! Spreading factor (FSK: kbit/s), bandwidth in Hz and maximum MAC payload by data rate. */
extern const uint8_t (&DataratesCN470)[8];
extern const uint32_t (&BandwidthsCN470)[8];
extern const uint8_t (&MaxPayloadOfDatarateCN470)[8];

#endif  // __REGION_CN470_H__
