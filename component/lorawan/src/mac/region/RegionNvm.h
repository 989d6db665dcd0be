/*!
 * \file RegionNvm.h
 *
 * \brief Channel, band and the two persistent region groups.
 *
 * The two groups are stored byte for byte inside the MAC's persistent
 * context, so their layouts are fixed and checked below.
 */
#ifndef __REGIONNVM_H__
#define __REGIONNVM_H__

#include <stddef.h>
#include <stdbool.h>
#include <stdint.h>

#include "timer.h"

/*! Channel entries kept in region group 2. */
#define REGION_NVM_MAX_NB_CHANNELS 96
/*! 16-bit words of a channel mask; bit n of word w is channel 16w+n. */
#define REGION_NVM_CHANNELS_MASK_SIZE 6
/*! Duty-cycle bands the MAC holds for the active region. */
#define REGION_NVM_MAX_NB_BANDS 6

/*!
 * Lowest and highest uplink data rate of a channel: Min in bits 0-3, Max in
 * bits 4-7 (0x50 is DR_0 to DR_5).
 */
typedef union uDrRange {
  int8_t Value;
  struct sDrRangeFields {
    int8_t Min : 4;
    int8_t Max : 4;
  } Fields;
} DrRange_t;

static_assert(sizeof(DrRange_t) == 1, "DrRange_t is one byte");

/*!
 * One channel. A Frequency of 0 marks an undefined channel; an Rx1Frequency
 * of 0 means RX1 uses the uplink frequency.
 */
typedef struct sChannelParams {
  uint32_t Frequency;
  uint32_t Rx1Frequency;
  DrRange_t DrRange;
  uint8_t Band;
} ChannelParams_t;

static_assert(sizeof(ChannelParams_t) == 12, "ChannelParams_t layout");
static_assert(offsetof(ChannelParams_t, Rx1Frequency) == 4, "ChannelParams_t layout");
static_assert(offsetof(ChannelParams_t, DrRange) == 8, "ChannelParams_t layout");
static_assert(offsetof(ChannelParams_t, Band) == 9, "ChannelParams_t layout");

/*!
 * One duty-cycle band with its time credits (ms of air time multiplied by
 * the band's inverse duty cycle).
 */
typedef struct sBand {
  uint16_t DCycle;
  int8_t TxMaxPower;
  TimerTime_t LastBandUpdateTime;
  TimerTime_t LastMaxCreditAssignTime;
  TimerTime_t TimeCredits;
  TimerTime_t MaxTimeCredits;
  bool ReadyForTransmission;
} Band_t;

/*!
 * CN470 channel plans.
 */
typedef enum eRegionCN470ChannelPlan : uint8_t {
  CHANNEL_PLAN_UNKNOWN = 0,
  CHANNEL_PLAN_20MHZ_TYPE_A = 1,
  CHANNEL_PLAN_20MHZ_TYPE_B = 2,
  CHANNEL_PLAN_26MHZ_TYPE_A = 3,
  CHANNEL_PLAN_26MHZ_TYPE_B = 4,
} RegionCN470ChannelPlan_t;

/*!
 * Region group 1: changes with channel use and join attempts.
 */
typedef struct sRegionNvmDataGroup1 {
  uint16_t ChannelsMaskRemaining[REGION_NVM_CHANNELS_MASK_SIZE];
  uint8_t JoinChannelGroupsCurrentIndex;
  uint8_t JoinTrialsCounter;
  uint32_t Crc32;
} RegionNvmDataGroup1_t;

static_assert(sizeof(RegionNvmDataGroup1_t) == 20, "RegionNvmDataGroup1_t layout");
static_assert(offsetof(RegionNvmDataGroup1_t, JoinChannelGroupsCurrentIndex) == 12,
              "group 1 layout");
static_assert(offsetof(RegionNvmDataGroup1_t, JoinTrialsCounter) == 13, "group 1 layout");
static_assert(offsetof(RegionNvmDataGroup1_t, Crc32) == 16, "group 1 layout");

/*!
 * Region group 2: changes with the channel plan.
 */
typedef struct sRegionNvmDataGroup2 {
  ChannelParams_t Channels[REGION_NVM_MAX_NB_CHANNELS];
  uint16_t ChannelsMask[REGION_NVM_CHANNELS_MASK_SIZE];
  uint16_t ChannelsDefaultMask[REGION_NVM_CHANNELS_MASK_SIZE];
  RegionCN470ChannelPlan_t ChannelPlan;
  uint8_t CommonJoinChannelIndex;
  bool IsOtaaDevice;
  int16_t RssiFreeThreshold;
  uint32_t CarrierSenseTime;
  uint32_t Crc32;
} RegionNvmDataGroup2_t;

static_assert(sizeof(RegionNvmDataGroup2_t) == 1192, "RegionNvmDataGroup2_t layout");
static_assert(offsetof(RegionNvmDataGroup2_t, ChannelsMask) == 1152, "group 2 layout");
static_assert(offsetof(RegionNvmDataGroup2_t, ChannelsDefaultMask) == 1164, "group 2 layout");
static_assert(offsetof(RegionNvmDataGroup2_t, ChannelPlan) == 1176, "group 2 layout");
static_assert(offsetof(RegionNvmDataGroup2_t, CommonJoinChannelIndex) == 1177, "group 2 layout");
static_assert(offsetof(RegionNvmDataGroup2_t, IsOtaaDevice) == 1178, "group 2 layout");
static_assert(offsetof(RegionNvmDataGroup2_t, RssiFreeThreshold) == 1180, "group 2 layout");
static_assert(offsetof(RegionNvmDataGroup2_t, CarrierSenseTime) == 1184, "group 2 layout");
static_assert(offsetof(RegionNvmDataGroup2_t, Crc32) == 1188, "group 2 layout");

#endif  // __REGIONNVM_H__
