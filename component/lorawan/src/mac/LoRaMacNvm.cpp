/*!
 * \file LoRaMacNvm.cpp
 *
 * \brief Integrity and restore of the MAC's persistent context.
 */
#include "LoRaMacNvm.h"

#include <string.h>

#include "utilities.h"

namespace {

struct NvmGroup {
  size_t Offset;
  size_t Size;
  uint16_t Flag;
};

// In the order the groups are checked and reported.
constexpr NvmGroup NvmGroups[] = {
    {offsetof(LoRaMacNvmData_t, Crypto), sizeof(LoRaMacCryptoNvmData_t),
     LORAMAC_NVM_NOTIFY_FLAG_CRYPTO},
    {offsetof(LoRaMacNvmData_t, MacGroup1), sizeof(LoRaMacNvmDataGroup1_t),
     LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP1},
    {offsetof(LoRaMacNvmData_t, MacGroup2), sizeof(LoRaMacNvmDataGroup2_t),
     LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP2},
    {offsetof(LoRaMacNvmData_t, SecureElement), sizeof(SecureElementNvmData_t),
     LORAMAC_NVM_NOTIFY_FLAG_SECURE_ELEMENT},
    {offsetof(LoRaMacNvmData_t, RegionGroup1), sizeof(RegionNvmDataGroup1_t),
     LORAMAC_NVM_NOTIFY_FLAG_REGION_GROUP1},
    {offsetof(LoRaMacNvmData_t, RegionGroup2), sizeof(RegionNvmDataGroup2_t),
     LORAMAC_NVM_NOTIFY_FLAG_REGION_GROUP2},
    {offsetof(LoRaMacNvmData_t, ClassB), sizeof(LoRaMacClassBNvmData_t),
     LORAMAC_NVM_NOTIFY_FLAG_CLASS_B},
};

// Every group keeps its CRC in its last four bytes; the stored format has
// no other place for it.
static_assert(offsetof(LoRaMacCryptoNvmData_t, Crc32) + 4 == sizeof(LoRaMacCryptoNvmData_t));
static_assert(offsetof(LoRaMacNvmDataGroup1_t, Crc32) + 4 == sizeof(LoRaMacNvmDataGroup1_t));
static_assert(offsetof(LoRaMacNvmDataGroup2_t, Crc32) + 4 == sizeof(LoRaMacNvmDataGroup2_t));
static_assert(offsetof(SecureElementNvmData_t, Crc32) + 4 == sizeof(SecureElementNvmData_t));
static_assert(offsetof(RegionNvmDataGroup1_t, Crc32) + 4 == sizeof(RegionNvmDataGroup1_t));
static_assert(offsetof(RegionNvmDataGroup2_t, Crc32) + 4 == sizeof(RegionNvmDataGroup2_t));
static_assert(offsetof(LoRaMacClassBNvmData_t, Crc32) + 4 == sizeof(LoRaMacClassBNvmData_t));

uint32_t StoredCrc(const uint8_t* group, size_t groupSize) {
  uint32_t crc;
  memcpy(&crc, group + groupSize - sizeof(crc), sizeof(crc));
  return crc;
}

// A flag of a stored group read as its byte: a restored record may hold any
// value there.
bool StoredFlag(const bool* flag) {
  uint8_t byte;
  memcpy(&byte, flag, sizeof(byte));
  return byte != 0;
}

void SetKeyRefs(McChannelNvm_t* entry, uint8_t group) {
  entry->McKeys.Session.McAppSKey = 0;
  entry->McKeys.Session.McNwkSKey = 0;
  if (!StoredFlag(&entry->IsEnabled)) {
    return;
  }
  if (StoredFlag(&entry->IsRemotelySetup)) {
    entry->McKeys.McKeyE = static_cast<uint32_t>(MC_KEY_0 + 3 * group);
  } else {
    entry->McKeys.Session.McAppSKey = static_cast<uint32_t>(MC_APP_S_KEY_0 + 3 * group);
    entry->McKeys.Session.McNwkSKey = static_cast<uint32_t>(MC_NWK_S_KEY_0 + 3 * group);
  }
}

}  // namespace

uint32_t LoRaMacNvmGroupCrc(const void* group, size_t groupSize) {
  return Crc32(static_cast<const uint8_t*>(group),
               static_cast<uint16_t>(groupSize - sizeof(uint32_t)));
}

uint16_t LoRaMacNvmUpdateCrcs(LoRaMacNvmData_t* nvm) {
  uint16_t flags = LORAMAC_NVM_NOTIFY_FLAG_NONE;
  if (nvm == nullptr) {
    return flags;
  }
  uint8_t* base = reinterpret_cast<uint8_t*>(nvm);
  for (const NvmGroup& g : NvmGroups) {
    uint8_t* group = base + g.Offset;
    uint32_t crc = LoRaMacNvmGroupCrc(group, g.Size);
    if (crc != StoredCrc(group, g.Size)) {
      memcpy(group + g.Size - sizeof(crc), &crc, sizeof(crc));
      flags |= g.Flag;
    }
  }
  return flags;
}

uint16_t LoRaMacNvmRestore(LoRaMacNvmData_t* nvm, const LoRaMacNvmData_t* stored) {
  uint16_t taken = LORAMAC_NVM_NOTIFY_FLAG_NONE;
  if (nvm == nullptr || stored == nullptr) {
    return taken;
  }
  uint8_t* dst = reinterpret_cast<uint8_t*>(nvm);
  const uint8_t* src = reinterpret_cast<const uint8_t*>(stored);
  for (const NvmGroup& g : NvmGroups) {
    const uint8_t* group = src + g.Offset;
    if (LoRaMacNvmGroupCrc(group, g.Size) == StoredCrc(group, g.Size)) {
      memmove(dst + g.Offset, group, g.Size);
      taken |= g.Flag;
    }
  }
  // A stored group may come from an image that kept run-time addresses in
  // these fields; they are never used as they were stored.
  if ((taken & LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP2) != 0) {
    LoRaMacNvmSetMulticastRefs(&nvm->MacGroup2);
  }
  return taken;
}

void LoRaMacNvmSetMulticastRefs(LoRaMacNvmDataGroup2_t* group2) {
  if (group2 == nullptr) {
    return;
  }
  for (uint8_t i = 0; i < LORAMAC_MAX_MC_CTX; i++) {
    MulticastCtx_t* ctx = &group2->MulticastChannelList[i];
    ctx->DownLinkCounterRef = i;
    SetKeyRefs(&ctx->ChannelParams, i);
  }
}

void LoRaMacNvmStoreMcChannel(McChannelNvm_t* entry, const McChannelParams_t* params) {
  if (entry == nullptr || params == nullptr) {
    return;
  }
  memset(entry, 0, sizeof(*entry));
  entry->IsRemotelySetup = params->IsRemotelySetup;
  entry->IsEnabled = params->IsEnabled;
  entry->GroupID = params->GroupID;
  entry->Address = params->Address;
  entry->FCountMin = params->FCountMin;
  entry->FCountMax = params->FCountMax;
  entry->RxParams.Class = params->RxParams.Class;
  // Field by field: the padding inside the client's record is not ours to
  // store.
  if (params->RxParams.Class == CLASS_B) {
    entry->RxParams.ClassB.Frequency = params->RxParams.ClassB.Frequency;
    entry->RxParams.ClassB.Datarate = params->RxParams.ClassB.Datarate;
    entry->RxParams.ClassB.Periodicity = params->RxParams.ClassB.Periodicity;
  } else {
    entry->RxParams.ClassC.Frequency = params->RxParams.ClassC.Frequency;
    entry->RxParams.ClassC.Datarate = params->RxParams.ClassC.Datarate;
  }
  if (params->GroupID < LORAMAC_MAX_MC_CTX) {
    SetKeyRefs(entry, params->GroupID);
  }
}

uint32_t* LoRaMacNvmMcDownLinkCounter(LoRaMacCryptoNvmData_t* crypto, uint32_t downLinkCounterRef) {
  if (crypto == nullptr || downLinkCounterRef >= LORAMAC_MAX_MC_CTX) {
    return nullptr;
  }
  return &crypto->FCntList.McFCntDown[downLinkCounterRef];
}
