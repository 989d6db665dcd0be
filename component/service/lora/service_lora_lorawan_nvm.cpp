// The stored MAC context. An ABP device has no join to fall back on, so its
// session (keys, frame counters, MAC parameters, channels) is written to the
// MAC block and restored at start-up. An OTAA device stores only its
// DevNonce (see the join).
//
// The uplink frame counter must never go out twice under the same keys,
// whenever the supply is lost. The stored counter is therefore a reserve:
// before a frame goes on the air with a counter at or past the stored one,
// the block is written with a counter kUplinkReserve above it, and a start
// continues from the stored counter. Between two such writes the block is
// written only when something but the uplink counter and the MAC's
// per-uplink bookkeeping changed (a downlink, a MAC command), so an uplink
// costs one block write in kUplinkReserve and the flash lasts.
#include <stddef.h>
#include <stdint.h>
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

// Counters stored ahead of the one in use: at most this many are skipped
// after a start, and one block write (its two copies, four page erases on
// the STM32WLE5) is made per this many uplinks: each page of the block is
// erased once in 1024 uplinks, which its rated 10000 cycles make about 19
// years of one uplink a minute. The skip stays far below the gap a
// network takes between two counters it hears.
constexpr uint32_t kUplinkReserve = 1024;

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

namespace {

uint32_t stored_uplink_counter(void) {
  LoRaMacCryptoNvmData_t crypto;
  memcpy(&crypto, service_nvm_get_crypto_from_nvm(), sizeof crypto);
  return crypto.FCntList.FCntUp;
}

// The live groups as the block stores them, the uplink counter at `fcnt_up`.
// Into `block`, which is the MAC block's RAM copy or a scratch one.
// Each group closed by the CRC of its bytes as they are now: the MAC
// refreshes the CRCs only at the end of a processing step.
void snapshot(LoRaMacNvmData_t const *nvm, lora_mac_nvm_data_t *block, uint32_t fcnt_up) {
  auto put = [](uint8_t *stored, void const *live, uint32_t size) {
    memcpy(stored, live, size);
    uint32_t const crc = crc_cal(stored, size);
    memcpy(stored + size - 4, &crc, 4);
  };
  LoRaMacCryptoNvmData_t crypto = nvm->Crypto;
  crypto.FCntList.FCntUp = fcnt_up;
  put(block->loramac_crypto_nvm, &crypto, sizeof crypto);
  put(block->loramac_macgroup1, &nvm->MacGroup1, sizeof nvm->MacGroup1);
  put(block->loramac_macgroup2, &nvm->MacGroup2, sizeof nvm->MacGroup2);
  put(block->loramac_secureelement, &nvm->SecureElement, sizeof nvm->SecureElement);
  memcpy(block->loramac_channels, &nvm->RegionGroup2.Channels, sizeof nvm->RegionGroup2.Channels);
}

bool same_bytes(void const *a, void const *b, size_t from, size_t to) {
  return memcmp(static_cast<uint8_t const *>(a) + from, static_cast<uint8_t const *>(b) + from,
                to - from) == 0;
}

// Whether `next` differs from the stored block in more than what changes
// with every uplink: the uplink counter (covered by the reserve), and in MAC
// group 1 the ADR acknowledgement count and the duty-cycle times (a start
// begins them afresh anyway), each with its group's CRC.
bool differs_in_more_than_uplink_bookkeeping(lora_mac_nvm_data_t const &next,
                                             lora_mac_nvm_data_t const &stored) {
  constexpr size_t up = offsetof(LoRaMacCryptoNvmData_t, FCntList.FCntUp);
  constexpr size_t crypto_crc = offsetof(LoRaMacCryptoNvmData_t, Crc32);
  constexpr size_t group1_kept = offsetof(LoRaMacNvmDataGroup1_t, LastRxMic);
  constexpr size_t group1_crc = offsetof(LoRaMacNvmDataGroup1_t, Crc32);
  static_assert(offsetof(LoRaMacNvmDataGroup1_t, AdrAckCounter) == 0 &&
                offsetof(LoRaMacNvmDataGroup1_t, AggregatedTimeOff) < group1_kept);
  auto const *a = next.loramac_crypto_nvm;
  auto const *b = stored.loramac_crypto_nvm;
  if (!same_bytes(a, b, 0, up) || !same_bytes(a, b, up + 4, crypto_crc)) {
    return true;
  }
  if (!same_bytes(next.loramac_macgroup1, stored.loramac_macgroup1, group1_kept, group1_crc)) {
    return true;
  }
  size_t const rest = offsetof(lora_mac_nvm_data_t, loramac_macgroup2);
  return !same_bytes(&next, &stored, rest, sizeof next);
}

}  // namespace

int32_t service_lora_reserve_uplink_counter(void) {
  LoRaMacNvmData_t *nvm = live_context();
  if (nvm == nullptr) {
    return -UDRV_INTERNAL_ERR;
  }
  uint32_t const next = nvm->Crypto.FCntList.FCntUp;
  if (stored_uplink_counter() > next) {
    return 0;
  }
  // The counter would wrap past the last one: the reserve ends there.
  uint32_t const reserve = next > UINT32_MAX - kUplinkReserve ? UINT32_MAX : next + kUplinkReserve;
  lora_mac_nvm_data_t *block = &g_lora_mac_nvm_data;
  static lora_mac_nvm_data_t kept;
  kept = *block;
  snapshot(nvm, block, reserve);
  if (service_nvm_set_lora_nvm_data_to_nvm() != 0) {
    // Nothing new is stored: the frame must not go out on a counter a
    // restart could use again.
    *block = kept;
    return -UDRV_INTERNAL_ERR;
  }
  return 0;
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
  // The whole live context, the uplink counter kept at the reserve, and
  // written once (one write per change, not one per group) unless only the
  // per-uplink bookkeeping moved.
  static lora_mac_nvm_data_t next;
  uint32_t const stored_up = stored_uplink_counter();
  uint32_t const live_up = nvm->Crypto.FCntList.FCntUp;
  snapshot(nvm, &next, stored_up > live_up ? stored_up : live_up);
  if (differs_in_more_than_uplink_bookkeeping(next, g_lora_mac_nvm_data)) {
    g_lora_mac_nvm_data = next;
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
