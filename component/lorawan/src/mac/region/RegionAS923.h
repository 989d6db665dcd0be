/*!
 * \file RegionAS923.h
 *
 * \brief AS923 regional parameters (a 16-channel plan built at run time).
 */
#ifndef __REGION_AS923_H__
#define __REGION_AS923_H__

#include "RegionDynamicPlan.h"
#include "RegionOperations.h"

REGION_DECLARE_OPERATIONS(AS923);
REGION_DYNAMIC_DECLARE_CHANNEL_OPERATIONS(AS923);

/*! Spreading factor (FSK: kbit/s), bandwidth in Hz and maximum MAC payload by data rate. */
extern const uint8_t (&DataratesAS923)[8];
extern const uint32_t (&BandwidthsAS923)[8];
extern const uint8_t (&MaxPayloadOfDatarateAS923)[8];

/*! Sub-band of the AS923 plan: 0 to 4 (0 and 1 are the same). */
#define AS923_NB_SUB_BANDS 5

/*!
 * Selects the AS923 sub-band: values 0 to 4 are taken, larger ones ignored.
 * RX2, beacon and ping-slot answers follow at once; the default channels at
 * the next INIT_TYPE_DEFAULTS.
 */
void RegionAS923SubBandSet(uint8_t band);

#endif  // __REGION_AS923_H__
