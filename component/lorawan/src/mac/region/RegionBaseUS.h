/*!
 * \file RegionBaseUS.h
 *
 * \brief Routines shared by the 72-channel fixed plans: the join-channel
 *        rotation over the eight 125 kHz groups and two frequency helpers.
 */
#ifndef __REGIONBASEUS_H__
#define __REGIONBASEUS_H__

#include "Region.h"

/*!
 * Picks the channel for a 125 kHz join request: a random remaining channel of
 * the next group (of eight) that still has one, starting at
 * *groupsCurrentIndex, and moves the index to the following group.
 * LORAMAC_STATUS_PARAMETER_INVALID when a pointer is missing or no group has
 * a remaining channel.
 */
LoRaMacStatus_t RegionBaseUSComputeNext125kHzJoinChannel(uint16_t* channelsMaskRemaining,
                                                         uint8_t* groupsCurrentIndex,
                                                         uint8_t* newChannelIndex);

/*! minFreq <= freq <= maxFreq and on the stepwidth grid from minFreq. */
bool RegionBaseUSVerifyFrequencyGroup(uint32_t freq, uint32_t minFreq, uint32_t maxFreq,
                                      uint32_t stepwidth);

/*! frequency + channel x stepwidth. */
uint32_t RegionBaseUSCalcDownlinkFrequency(uint8_t channel, uint32_t frequency, uint32_t stepwidth);

#endif  // __REGIONBASEUS_H__
