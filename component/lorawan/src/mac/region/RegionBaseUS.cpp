/*!
 * \file RegionBaseUS.cpp
 *
 * \brief Routines shared by the 72-channel fixed plans.
 */
#include "utilities.h"

#include "RegionBaseUS.h"

namespace {

constexpr uint8_t kNbJoinGroups = 8;

// Number of the n-th set bit (from 0) of an 8-bit value.
uint8_t NthSetBit(uint8_t bits, uint8_t n) {
  for (uint8_t bit = 0; bit < 8; bit++) {
    if ((bits & (1U << bit)) != 0) {
      if (n == 0) {
        return bit;
      }
      n--;
    }
  }
  return 0;
}

}  // namespace

LoRaMacStatus_t RegionBaseUSComputeNext125kHzJoinChannel(uint16_t* channelsMaskRemaining,
                                                         uint8_t* groupsCurrentIndex,
                                                         uint8_t* newChannelIndex) {
  if (channelsMaskRemaining == nullptr || groupsCurrentIndex == nullptr ||
      newChannelIndex == nullptr) {
    return LORAMAC_STATUS_PARAMETER_INVALID;
  }

  uint8_t group = *groupsCurrentIndex % kNbJoinGroups;
  for (uint8_t tried = 0; tried < kNbJoinGroups; tried++) {
    uint16_t word = channelsMaskRemaining[group / 2];
    uint8_t bits = static_cast<uint8_t>((group % 2 == 0) ? (word & 0x00FF) : (word >> 8));
    if (bits != 0) {
      uint8_t count = static_cast<uint8_t>(__builtin_popcount(bits));
      uint8_t bit = NthSetBit(bits, static_cast<uint8_t>(randr(0, count - 1)));
      *newChannelIndex = static_cast<uint8_t>(group * 8 + bit);
      *groupsCurrentIndex = static_cast<uint8_t>((group + 1) % kNbJoinGroups);
      return LORAMAC_STATUS_OK;
    }
    group = static_cast<uint8_t>((group + 1) % kNbJoinGroups);
  }
  return LORAMAC_STATUS_PARAMETER_INVALID;
}

bool RegionBaseUSVerifyFrequencyGroup(uint32_t freq, uint32_t minFreq, uint32_t maxFreq,
                                      uint32_t stepwidth) {
  if (freq < minFreq || freq > maxFreq) {
    return false;
  }
  return stepwidth == 0 || ((freq - minFreq) % stepwidth) == 0;
}

uint32_t RegionBaseUSCalcDownlinkFrequency(uint8_t channel, uint32_t frequency,
                                           uint32_t stepwidth) {
  return frequency + channel * stepwidth;
}
