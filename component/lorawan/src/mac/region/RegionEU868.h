/*!
 * \file RegionEU868.h
 *
 * \brief EU868 regional parameters (a 16-channel plan built at run time).
 */
#ifndef __REGION_EU868_H__
#define __REGION_EU868_H__

#include "RegionDynamicPlan.h"
#include "RegionOperations.h"

REGION_DECLARE_OPERATIONS(EU868);
REGION_DYNAMIC_DECLARE_CHANNEL_OPERATIONS(EU868);

/*!
 * Spreading factor (FSK: kbit/s), bandwidth in Hz and maximum MAC payload by
 * data rate; CN779, EU433, IN865, RU864 and AS923 use the same rates.
 */
inline constexpr uint8_t DataratesEU868[8] = {12, 11, 10, 9, 8, 7, 7, 50};
inline constexpr uint32_t BandwidthsEU868[8] = {125000, 125000, 125000, 125000,
                                                125000, 125000, 250000, 0};
inline constexpr uint8_t MaxPayloadOfDatarateEU868[8] = {51, 51, 51, 115, 242, 242, 242, 242};

#endif  // __REGION_EU868_H__
