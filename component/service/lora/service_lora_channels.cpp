// Sub-band masks of the fixed-plan bands and the single-channel mode.
//
// The MAC holds the working channel mask (96 bits in six words); the store
// keeps the same bits as 12 bytes, byte i for the channels 8i to 8i + 7, and
// the single-channel frequency (0: mode off). Pinning a channel leaves the
// stored mask alone, so that switching the mode off restores it.
#include <string.h>

#include "Region.h"
#include "service_lora.h"
#include "service_nvm.h"
#include "udrv_errno.h"
#include "udrv_system.h"

namespace {

constexpr uint8_t kSubBands = 12;
constexpr uint8_t kMaskWords = 6;

bool has_sub_bands(SERVICE_LORA_BAND band) {
  return band == SERVICE_LORA_AU915 || band == SERVICE_LORA_CN470 || band == SERVICE_LORA_US915 ||
         band == SERVICE_LORA_LA915;
}

// Bands whose channels 64 to 71 are 500 kHz channels that follow the
// sub-bands one by one.
bool has_wide_channels(SERVICE_LORA_BAND band) {
  return band == SERVICE_LORA_AU915 || band == SERVICE_LORA_US915 || band == SERVICE_LORA_LA915;
}

uint16_t default_sub_bands(SERVICE_LORA_BAND band) {
  switch (band) {
    case SERVICE_LORA_AU915:
      return 0x01FF;
    case SERVICE_LORA_CN470:
      return 0x0FFF;
    default:
      return 0x00FF;
  }
}

// Byte i of the channel mask in memory order: the low byte of word i / 2 for
// even i, its high byte for odd i.
uint8_t mask_byte(const uint16_t *words, uint8_t i) {
  return static_cast<uint8_t>(words[i / 2] >> ((i % 2) * 8));
}

void set_mask_byte(uint16_t *words, uint8_t i, uint8_t value) {
  const uint8_t shift = static_cast<uint8_t>((i % 2) * 8);
  words[i / 2] = static_cast<uint16_t>((words[i / 2] & ~(0xFFu << shift)) |
                                       (static_cast<unsigned>(value) << shift));
}

uint16_t sub_bands_of(const uint16_t *words) {
  uint16_t sub = 0;
  for (uint8_t i = 0; i < kSubBands; ++i) {
    if (mask_byte(words, i) != 0) {
      sub = static_cast<uint16_t>(sub | (1u << i));
    }
  }
  return sub;
}

void channel_mask_of(uint16_t sub, SERVICE_LORA_BAND band, uint16_t *words) {
  memset(words, 0, kMaskWords * sizeof(uint16_t));
  for (uint8_t i = 0; i < kSubBands; ++i) {
    if ((sub & (1u << i)) != 0) {
      set_mask_byte(words, i, 0xFF);
    }
  }
  if (has_wide_channels(band)) {
    // Channel 64 + j goes with sub-band j; without any of those
    // sub-bands the 500 kHz channels stay off.
    set_mask_byte(words, 8, static_cast<uint8_t>(sub & 0xFF));
  }
}

ChannelParams_t *mac_channels(void) {
  MibRequestConfirm_t mib{};
  mib.Type = MIB_CHANNELS;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) {
    return nullptr;
  }
  return mib.Param.ChannelList;
}

uint32_t channel_count(SERVICE_LORA_BAND band) {
  GetPhyParams_t phy{};
  phy.Attribute = PHY_MAX_NB_CHANNELS;
  return RegionGetPhyParam(static_cast<LoRaMacRegion_t>(band), &phy).Value;
}

// Whether the mask opens any channel: a mask without one (0x0100 alone on
// the bands whose 500 kHz channels follow the sub-bands) would leave the
// device unable to send, and would be kept across restarts.
bool opens_a_channel(const uint16_t *words) {
  for (uint8_t i = 0; i < kMaskWords; ++i) {
    if (words[i] != 0) {
      return true;
    }
  }
  return false;
}

// The working and the default mask of the MAC; only a refused working mask
// counts.
bool set_mac_masks(uint16_t *words) {
  MibRequestConfirm_t mib{};
  mib.Type = MIB_CHANNELS_MASK;
  mib.Param.ChannelsMask = words;
  if (LoRaMacMibSetRequestConfirm(&mib) != LORAMAC_STATUS_OK) {
    return false;
  }
  mib.Type = MIB_CHANNELS_DEFAULT_MASK;
  mib.Param.ChannelsDefaultMask = words;
  LoRaMacMibSetRequestConfirm(&mib);
  return true;
}

// The single-channel frequency into the store; an unchanged value is not
// written again (EU868 clears it at every start, and a blank module keeps
// its flash untouched until a setting changes).
int32_t store_chs(uint32_t frequency) {
  if (service_nvm_get_chs_from_nvm() == frequency) {
    return 0;
  }
  return service_nvm_set_chs_to_nvm(frequency);
}

}  // namespace

void service_lora_request_mac_step(void) {
  static udrv_system_event_t step = {UDRV_SYS_EVT_OP_LORAWAN, nullptr};
  udrv_system_event_produce(&step);
}

SingleChannel_t SingleChannelAU915 = {IsSingleChannelAU915Callback, AlternateDrAU915Callback};
SingleChannel_t SingleChannelUS915 = {IsSingleChannelUS915Callback, AlternateDrUS915Callback};

int32_t service_lora_get_mask(uint16_t *mask) {
  const SERVICE_LORA_BAND band = service_lora_get_band();
  if (!has_sub_bands(band)) {
    return -UDRV_WRONG_ARG;
  }
  uint16_t stored[kMaskWords];
  service_nvm_get_mask_from_nvm(stored);
  uint16_t sub = sub_bands_of(stored);
  if (has_wide_channels(band)) {
    sub = static_cast<uint16_t>(sub & ~0x0100u);
  }
  *mask = sub;
  return 0;
}

int32_t service_lora_set_mask(uint16_t *mask, bool commit) {
  const SERVICE_LORA_BAND band = service_lora_get_band();
  if (!has_sub_bands(band)) {
    return -UDRV_WRONG_ARG;
  }
  const uint16_t sub = *mask != 0 ? *mask : default_sub_bands(band);
  uint16_t words[kMaskWords];
  channel_mask_of(sub, band, words);
  if (!opens_a_channel(words)) {
    return -UDRV_WRONG_ARG;
  }
  int32_t ret = service_lora_stop();
  if (ret != 0) {
    return ret;
  }
  *mask = sub;
  if (!set_mac_masks(words)) {
    // The MAC keeps its previous mask and runs on.
    LoRaMacStart();
    return -UDRV_INTERNAL_ERR;
  }
  if (service_nvm_get_chs_from_nvm() != 0 && (ret = service_nvm_set_chs_to_nvm(0)) != 0) {
    LoRaMacStart();
    return ret;
  }
  if (LoRaMacStart() != LORAMAC_STATUS_OK) {
    return -UDRV_INTERNAL_ERR;
  }
  service_lora_request_mac_step();
  return commit ? service_nvm_set_mask_to_nvm(words) : 0;
}

int32_t service_lora_get_chs(void) {
  if (!has_sub_bands(service_lora_get_band())) {
    return -UDRV_INTERNAL_ERR;
  }
  return static_cast<int32_t>(service_nvm_get_chs_from_nvm());
}

int32_t service_lora_set_chs(uint32_t frequency) {
  const SERVICE_LORA_BAND band = service_lora_get_band();
  uint16_t words[kMaskWords] = {};
  if (has_sub_bands(band)) {
    if (frequency == 0) {
      uint16_t stored[kMaskWords];
      if (service_nvm_get_mask_from_nvm(stored) != 0) {
        return -UDRV_INTERNAL_ERR;
      }
      uint16_t sub = sub_bands_of(stored);
      if (service_lora_set_mask(&sub, false) != 0) {
        return -UDRV_INTERNAL_ERR;
      }
      return store_chs(0);
    }
    const ChannelParams_t *channels = mac_channels();
    if (channels == nullptr) {
      return -UDRV_INTERNAL_ERR;
    }
    uint32_t n = channel_count(band);
    if (n > kMaskWords * 16u) {
      n = kMaskWords * 16u;
    }
    uint32_t c = 0;
    while (c < n && channels[c].Frequency != frequency) {
      ++c;
    }
    if (c == n) {
      return -UDRV_WRONG_ARG;
    }
    words[c / 16] = static_cast<uint16_t>(1u << (c % 16));
    if (!set_mac_masks(words)) {
      return -UDRV_INTERNAL_ERR;
    }
    // A frequency the store lost would silently end the mode at the
    // next start.
    return store_chs(frequency);
  }
  if (band == SERVICE_LORA_EU868) {
    if (frequency == 0) {
      words[0] = 0x0007;
    } else {
      const ChannelParams_t *channels = mac_channels();
      if (channels == nullptr) {
        return -UDRV_INTERNAL_ERR;
      }
      uint8_t c = 0;
      while (c < 4 && channels[c].Frequency != frequency) {
        ++c;
      }
      if (c == 4) {
        return -UDRV_WRONG_ARG;
      }
      words[0] = static_cast<uint16_t>(1u << c);
    }
    if (!set_mac_masks(words)) {
      return -UDRV_INTERNAL_ERR;
    }
    return store_chs(frequency);
  }
  return -UDRV_INTERNAL_ERR;
}

int8_t service_lora_pinned_channel_dr(int8_t dr) {
  const uint32_t pinned = service_nvm_get_chs_from_nvm();
  if (pinned == 0) {
    return dr;
  }
  const ChannelParams_t *channels = mac_channels();
  if (channels == nullptr) {
    return dr;
  }
  uint32_t n = channel_count(service_lora_get_band());
  if (n > kMaskWords * 16u) {
    n = kMaskWords * 16u;
  }
  for (uint32_t c = 0; c < n; ++c) {
    if (channels[c].Frequency != pinned) {
      continue;
    }
    const uint8_t range = static_cast<uint8_t>(channels[c].DrRange.Value);
    const int8_t min = static_cast<int8_t>(range & 0x0F);
    const int8_t max = static_cast<int8_t>(range >> 4);
    return dr < min ? min : (dr > max ? max : dr);
  }
  return dr;
}

uint32_t IsSingleChannelAU915Callback(void) {
  return static_cast<uint32_t>(service_lora_get_chs());
}

uint32_t IsSingleChannelUS915Callback(void) {
  return static_cast<uint32_t>(service_lora_get_chs());
}

// The join data rate of a pinned 500 kHz channel (channels 64 to 71, every
// 1.6 MHz); 0 leaves the region's own alternation.
static uint8_t wide_channel_dr(uint32_t first, uint8_t dr) {
  const int32_t chs = service_lora_get_chs();
  if (chs <= 0) {
    return 0;
  }
  const uint32_t f = static_cast<uint32_t>(chs);
  return (f >= first && (f - first) % 1600000u == 0 && (f - first) / 1600000u < 8) ? dr : 0;
}

uint8_t AlternateDrAU915Callback(void) { return wide_channel_dr(915900000u, 6); }

uint8_t AlternateDrUS915Callback(void) { return wide_channel_dr(903000000u, 4); }

int32_t service_lora_apply_channel_plan(SERVICE_LORA_BAND band) {
  if (has_sub_bands(band)) {
    uint16_t stored[kMaskWords];
    service_nvm_get_mask_from_nvm(stored);
    uint16_t sub = sub_bands_of(stored);
    const int32_t chs = service_lora_get_chs();
    if (chs != 0) {
      return service_lora_set_chs(static_cast<uint32_t>(chs));
    }
    return service_lora_set_mask(&sub, false);
  }
  if (band == SERVICE_LORA_EU868) {
    return service_lora_set_chs(0);
  }
  return 0;
}
