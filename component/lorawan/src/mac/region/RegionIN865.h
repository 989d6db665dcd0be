/*!
 * \file RegionIN865.h
 *
 * \brief IN865 regional parameters (a 16-channel plan built at run time).
 */
#ifndef __REGION_IN865_H__
#define __REGION_IN865_H__

#include "RegionDynamicPlan.h"
#include "RegionOperations.h"

REGION_DECLARE_OPERATIONS(IN865);
REGION_DYNAMIC_DECLARE_CHANNEL_OPERATIONS(IN865);

/*! Spreading factor (FSK: kbit/s), bandwidth in Hz and maximum MAC payload by data rate. */
extern const uint8_t (&DataratesIN865)[8];
extern const uint32_t (&BandwidthsIN865)[8];
extern const uint8_t (&MaxPayloadOfDatarateIN865)[8];

#endif  // __REGION_IN865_H__
