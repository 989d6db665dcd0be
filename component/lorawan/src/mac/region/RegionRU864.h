/*!
 * \file RegionRU864.h
 *
 * \brief RU864 regional parameters (a 16-channel plan built at run time).
 */
#ifndef __REGION_RU864_H__
#define __REGION_RU864_H__

#include "RegionDynamicPlan.h"
#include "RegionOperations.h"

REGION_DECLARE_OPERATIONS(RU864);
REGION_DYNAMIC_DECLARE_CHANNEL_OPERATIONS(RU864);

/*! Spreading factor (FSK: kbit/s), bandwidth in Hz and maximum MAC payload by data rate. */
extern const uint8_t (&DataratesRU864)[8];
extern const uint32_t (&BandwidthsRU864)[8];
extern const uint8_t (&MaxPayloadOfDatarateRU864)[8];

#endif  // __REGION_RU864_H__
