/*!
 * \file RegionUS915.h
 *
 * \brief US915 regional parameters (72-channel fixed plan).
 */
#ifndef __REGION_US915_H__
#define __REGION_US915_H__

#include "RegionFixedPlan.h"
#include "RegionOperations.h"

REGION_DECLARE_OPERATIONS(US915);

/*! Spreading factor, bandwidth in Hz and maximum MAC payload by data rate. */
extern const uint8_t (&DataratesUS915)[16];
extern const uint32_t (&BandwidthsUS915)[16];
extern const uint8_t (&MaxPayloadOfDatarateUS915)[16];

/*! Registers the LoRa service's single-channel hooks (both pointers copied). */
int32_t US915_SingleChannelRegisterCallback(SingleChannel_t* singleChannel);

#endif  // __REGION_US915_H__
