// The stored MAC context. An ABP device has no join to fall back on, so its
// session (keys, frame counters, MAC parameters, channels) is written to the
// MAC block whenever the MAC reports a changed group, and restored at
// start-up. An OTAA device stores only its DevNonce (see the join).
#include <string.h>

#include "service_lora.h"
#include "service_nvm.h"
#include "utilities.h"

// The MAC block holds the groups as the MAC lays them out.
static_assert(sizeof(LoRaMacCryptoNvmData_t) == SERVICE_NVM_CRYPTO_SIZE);
static_assert(sizeof(LoRaMacNvmDataGroup1_t) == SERVICE_NVM_MACGROUP1_SIZE);
static_assert(sizeof(LoRaMacNvmDataGroup2_t) == SERVICE_NVM_MACGROUP2_SIZE);
static_assert(sizeof(SecureElementNvmData_t) == SERVICE_NVM_SEC_ELEMENT_SIZE);
static_assert(sizeof(RegionNvmDataGroup2_t::Channels) == SERVICE_NVM_REGIONCHANNELS_SIZE);

namespace {

LoRaMacNvmData_t *live_context(void) {
  MibRequestConfirm_t mib{};
  mib.Type = MIB_NVM_CTXS;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) {
    return nullptr;
  }
  return mib.Param.Contexts;
}

// A stored group replaces the live one only when its CRC is intact.
void restore_group(void *live, void const *stored, uint32_t size) {
  uint32_t crc;
  memcpy(&crc, static_cast<uint8_t const *>(stored) + size - 4, 4);
  if (crc_cal(stored, size) == crc) {
    memcpy(live, stored, size);
  }
}

}  // namespace

uint32_t crc_cal(void const *data, uint32_t size) {
  if (size < 4) {
    return 0;
  }
  uint8_t const *bytes = static_cast<uint8_t const *>(data);
  uint32_t crc = Crc32Init();
  for (uint32_t i = 0; i < size - 4; ++i) {
    crc = Crc32Update(crc, bytes + i, 1);
  }
  return Crc32Finalize(crc);
}

void OnNvmDataChange(uint16_t flags) {
  LoRaMacNvmData_t *nvm = live_context();
  if (nvm == nullptr || flags == LORAMAC_NVM_NOTIFY_FLAG_NONE ||
      service_nvm_get_njm_from_nvm() == SERVICE_LORA_OTAA) {
    return;
  }
  // No timer or radio event may change the context while it is copied.
  if (LoRaMacStop() != LORAMAC_STATUS_OK) {
    return;
  }
  // Every changed group is copied first and the block written once: one
  // erase of the page per change, not one per group.
  bool changed = false;
  auto copy = [&](uint16_t flag, void *stored, void const *live, size_t size) {
    if (flags & flag) {
      memcpy(stored, live, size);
      changed = true;
    }
  };
  copy(LORAMAC_NVM_NOTIFY_FLAG_CRYPTO, service_nvm_get_crypto_from_nvm(), &nvm->Crypto,
       sizeof nvm->Crypto);
  copy(LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP1, service_nvm_get_macgroup1_from_nvm(), &nvm->MacGroup1,
       sizeof nvm->MacGroup1);
  copy(LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP2, service_nvm_get_macgroup2_from_nvm(), &nvm->MacGroup2,
       sizeof nvm->MacGroup2);
  copy(LORAMAC_NVM_NOTIFY_FLAG_SECURE_ELEMENT, service_nvm_get_sec_element_from_nvm(),
       &nvm->SecureElement, sizeof nvm->SecureElement);
  copy(LORAMAC_NVM_NOTIFY_FLAG_REGION_GROUP2, service_nvm_get_regionchannels_from_nvm(),
       &nvm->RegionGroup2.Channels, sizeof nvm->RegionGroup2.Channels);
  if (changed) {
    service_nvm_set_lora_nvm_data_to_nvm();
  }
  LoRaMacStart();
}

void service_lora_restore_mac_context(void) {
  LoRaMacNvmData_t *nvm = live_context();
  if (nvm == nullptr) {
    return;
  }
  restore_group(&nvm->Crypto, service_nvm_get_crypto_from_nvm(), sizeof nvm->Crypto);
  restore_group(&nvm->MacGroup1, service_nvm_get_macgroup1_from_nvm(), sizeof nvm->MacGroup1);
  restore_group(&nvm->MacGroup2, service_nvm_get_macgroup2_from_nvm(), sizeof nvm->MacGroup2);
  restore_group(&nvm->SecureElement, service_nvm_get_sec_element_from_nvm(),
                sizeof nvm->SecureElement);
  // Of the stored channels only the downlink frequencies come back: the
  // stored entries carry no CRC, and the uplink plan is the region's.
  ChannelParams_t const *stored =
      static_cast<ChannelParams_t const *>(service_nvm_get_regionchannels_from_nvm());
  constexpr size_t kChannels =
      sizeof nvm->RegionGroup2.Channels / sizeof nvm->RegionGroup2.Channels[0];
  for (size_t i = 0; i < kChannels; ++i) {
    ChannelParams_t entry;
    memcpy(&entry, &stored[i], sizeof entry);
    if (entry.Frequency != 0) {
      nvm->RegionGroup2.Channels[i].Rx1Frequency = entry.Rx1Frequency;
    }
  }
}
