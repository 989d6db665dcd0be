/*!
 * \file RegionKR920.h
 *
 * \brief KR920 regional parameters (a 16-channel plan built at run time).
 */
#ifndef __REGION_KR920_H__
#define __REGION_KR920_H__

#include "RegionDynamicPlan.h"
#include "RegionOperations.h"

REGION_DECLARE_OPERATIONS(KR920);
REGION_DYNAMIC_DECLARE_CHANNEL_OPERATIONS(KR920);

/*! Spreading factor (FSK: kbit/s), bandwidth in Hz and maximum MAC payload by data rate. */
extern const uint8_t (&DataratesKR920)[6];
extern const uint32_t (&BandwidthsKR920)[6];
extern const uint8_t (&MaxPayloadOfDatarateKR920)[6];

#endif  // __REGION_KR920_H__
