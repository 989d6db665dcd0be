/*!
 * \file RegionAU915.h
 *
 * \brief AU915 regional parameters (72-channel fixed plan with dwell time).
 */
#ifndef __REGION_AU915_H__
#define __REGION_AU915_H__

#include "RegionFixedPlan.h"
#include "RegionOperations.h"

REGION_DECLARE_OPERATIONS(AU915);

/*! Spreading factor, bandwidth in Hz and maximum MAC payload by data rate (LA915 too). */
inline constexpr uint8_t DataratesAU915[16] = {12, 11, 10, 9, 8, 7, 8, 0,
                                               12, 11, 10, 9, 8, 7, 0, 0};
inline constexpr uint32_t BandwidthsAU915[16] = {125000, 125000, 125000, 125000, 125000, 125000,
                                                 500000, 0,      500000, 500000, 500000, 500000,
                                                 500000, 500000, 0,      0};
extern const uint8_t (&MaxPayloadOfDatarateAU915)[14];
extern const uint8_t (&MaxPayloadOfDatarateDwell1AU915)[14];

/*! RX1 data rate by uplink data rate DR_0-DR_6 and RX1 offset 0-5 (LA915 too). */
inline constexpr uint8_t DatarateOffsetsAU915[7][6] = {
    {DR_8, DR_8, DR_8, DR_8, DR_8, DR_8},      {DR_9, DR_8, DR_8, DR_8, DR_8, DR_8},
    {DR_10, DR_9, DR_8, DR_8, DR_8, DR_8},     {DR_11, DR_10, DR_9, DR_8, DR_8, DR_8},
    {DR_12, DR_11, DR_10, DR_9, DR_8, DR_8},   {DR_13, DR_12, DR_11, DR_10, DR_9, DR_8},
    {DR_13, DR_13, DR_12, DR_11, DR_10, DR_9},
};

/*! Registers the LoRa service's single-channel hooks (both pointers copied). */
int32_t AU915_SingleChannelRegisterCallback(SingleChannel_t* singleChannel);

#endif  // __REGION_AU915_H__
