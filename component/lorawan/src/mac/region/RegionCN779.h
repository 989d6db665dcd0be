/*!
 * \file RegionCN779.h
 *
 * \brief CN779 regional parameters (a 16-channel plan built at run time).
 */
#ifndef __REGION_CN779_H__
#define __REGION_CN779_H__

#include "RegionDynamicPlan.h"
#include "RegionOperations.h"

REGION_DECLARE_OPERATIONS(CN779);
REGION_DYNAMIC_DECLARE_CHANNEL_OPERATIONS(CN779);

/*! Spreading factor (FSK: kbit/s), bandwidth in Hz and maximum MAC payload by data rate. */
extern const uint8_t (&DataratesCN779)[8];
extern const uint32_t (&BandwidthsCN779)[8];
extern const uint8_t (&MaxPayloadOfDatarateCN779)[8];

#endif  // __REGION_CN779_H__
