/*!
 * \file RegionLA915.h
 *
 * \brief LA915 regional parameters: the AU915 channel layout on a context of its
 *        own that is not part of the MAC's persistent image.
 */
#ifndef __REGION_LA915_H__
#define __REGION_LA915_H__

#include "RegionFixedPlan.h"
#include "RegionOperations.h"

REGION_DECLARE_OPERATIONS(LA915);

/*! Spreading factor, bandwidth in Hz and maximum MAC payload by data rate. */
extern const uint8_t (&DataratesLA915)[16];
extern const uint32_t (&BandwidthsLA915)[16];
extern const uint8_t (&MaxPayloadOfDatarateLA915)[16];
extern const uint8_t (&MaxPayloadOfDatarateDwell1LA915)[15];

/*! LA915's own state; it starts from the defaults after every start of the MAC. */
typedef struct sRegionLA915NvmCtx {
  ChannelParams_t Channels[REGION_FIXED_NB_CHANNELS];
  Band_t Bands[1];
  uint16_t ChannelsMask[REGION_NVM_CHANNELS_MASK_SIZE];
  uint16_t ChannelsMaskRemaining[REGION_NVM_CHANNELS_MASK_SIZE];
  uint16_t ChannelsDefaultMask[REGION_NVM_CHANNELS_MASK_SIZE];
} RegionLA915NvmCtx_t;

#endif  // __REGION_LA915_H__
