/*!
 * \file RegionEU433.h
 *
 * \brief EU433 regional parameters (a 16-channel plan built at run time).
 */
#ifndef __REGION_EU433_H__
#define __REGION_EU433_H__

#include "RegionDynamicPlan.h"
#include "RegionOperations.h"

REGION_DECLARE_OPERATIONS(EU433);
REGION_DYNAMIC_DECLARE_CHANNEL_OPERATIONS(EU433);

/*! Spreading factor (FSK: kbit/s), bandwidth in Hz and maximum MAC payload by data rate. */
extern const uint8_t (&DataratesEU433)[8];
extern const uint32_t (&BandwidthsEU433)[8];
extern const uint8_t (&MaxPayloadOfDatarateEU433)[8];

#endif  // __REGION_EU433_H__
