/*
 * Group CRCs, change flags and the group-by-group restore of the persistent
 * context.
 */
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <memory>

#include "LoRaMacNvm.h"

namespace {

struct Group {
  const char* Name;
  size_t Offset;
  size_t Size;
  uint16_t Flag;
};

const Group Groups[] = {
    {"Crypto", 0, 56, LORAMAC_NVM_NOTIFY_FLAG_CRYPTO},
    {"MacGroup1", 56, 32, LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP1},
    {"MacGroup2", 88, 388, LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP2},
    {"SecureElement", 476, 416, LORAMAC_NVM_NOTIFY_FLAG_SECURE_ELEMENT},
    {"RegionGroup1", 892, 20, LORAMAC_NVM_NOTIFY_FLAG_REGION_GROUP1},
    {"RegionGroup2", 912, 1192, LORAMAC_NVM_NOTIFY_FLAG_REGION_GROUP2},
    {"ClassB", 2104, 24, LORAMAC_NVM_NOTIFY_FLAG_CLASS_B},
};

constexpr uint16_t AllGroups = 0x7F;

uint8_t* Bytes(LoRaMacNvmData_t& nvm) { return reinterpret_cast<uint8_t*>(&nvm); }

uint32_t StoredCrc(LoRaMacNvmData_t& nvm, const Group& g) {
  uint32_t crc;
  std::memcpy(&crc, Bytes(nvm) + g.Offset + g.Size - 4, 4);
  return crc;
}

// A record with every byte set (padding included) and valid CRCs.
std::unique_ptr<LoRaMacNvmData_t> Filled(uint8_t seed) {
  auto nvm = std::make_unique<LoRaMacNvmData_t>();
  for (size_t i = 0; i < sizeof(LoRaMacNvmData_t); i++) {
    Bytes(*nvm)[i] = static_cast<uint8_t>(seed + i * 7);
  }
  LoRaMacNvmUpdateCrcs(nvm.get());
  return nvm;
}

TEST(NvmCrc, EachGroupCarriesTheCrc32OfItsOtherBytes) {
  auto nvm = std::make_unique<LoRaMacNvmData_t>();
  for (size_t i = 0; i < sizeof(LoRaMacNvmData_t); i++) {
    Bytes(*nvm)[i] = static_cast<uint8_t>(i * 13 + 5);
  }

  EXPECT_EQ(LoRaMacNvmUpdateCrcs(nvm.get()), AllGroups);
  for (const Group& g : Groups) {
    uint32_t expected = crc32(0, Bytes(*nvm) + g.Offset, static_cast<uInt>(g.Size - 4));
    EXPECT_EQ(StoredCrc(*nvm, g), expected) << g.Name;
  }
  EXPECT_EQ(LoRaMacNvmUpdateCrcs(nvm.get()), LORAMAC_NVM_NOTIFY_FLAG_NONE);
}

TEST(NvmCrc, AChangeFlagsItsGroupOnlyPaddingIncluded) {
  struct Case {
    const char* What;
    size_t Offset;
    uint16_t Flag;
  };
  const Case cases[] = {
      {"crypto uplink counter", offsetof(LoRaMacNvmData_t, Crypto.FCntList.FCntUp),
       LORAMAC_NVM_NOTIFY_FLAG_CRYPTO},
      {"crypto padding", offsetof(LoRaMacNvmData_t, Crypto.Padding),
       LORAMAC_NVM_NOTIFY_FLAG_CRYPTO},
      {"MAC group 1 first byte", 56, LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP1},
      {"MAC group 2 padding", offsetof(LoRaMacNvmData_t, MacGroup2.Padding1),
       LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP2},
      {"MAC group 2 last covered byte", 88 + 383, LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP2},
      {"secure element key", offsetof(LoRaMacNvmData_t, SecureElement.KeyList[22].KeyValue[15]),
       LORAMAC_NVM_NOTIFY_FLAG_SECURE_ELEMENT},
      {"region group 1 padding", 892 + 14, LORAMAC_NVM_NOTIFY_FLAG_REGION_GROUP1},
      {"region group 2 mask", offsetof(LoRaMacNvmData_t, RegionGroup2.ChannelsMask),
       LORAMAC_NVM_NOTIFY_FLAG_REGION_GROUP2},
      {"class B stored CRC", offsetof(LoRaMacNvmData_t, ClassB.Crc32),
       LORAMAC_NVM_NOTIFY_FLAG_CLASS_B},
  };
  for (const Case& c : cases) {
    auto nvm = Filled(1);
    Bytes(*nvm)[c.Offset] ^= 0x01;
    EXPECT_EQ(LoRaMacNvmUpdateCrcs(nvm.get()), c.Flag) << c.What;
    EXPECT_EQ(LoRaMacNvmUpdateCrcs(nvm.get()), LORAMAC_NVM_NOTIFY_FLAG_NONE) << c.What;
  }
}

TEST(NvmRestore, AnAllZeroRecordRestoresNothing) {
  auto nvm = Filled(3);
  auto before = std::make_unique<LoRaMacNvmData_t>(*nvm);
  auto zero = std::make_unique<LoRaMacNvmData_t>();
  std::memset(zero.get(), 0, sizeof(*zero));

  EXPECT_EQ(LoRaMacNvmRestore(nvm.get(), zero.get()), LORAMAC_NVM_NOTIFY_FLAG_NONE);
  EXPECT_EQ(std::memcmp(nvm.get(), before.get(), sizeof(*nvm)), 0);
}

TEST(NvmRestore, OneBadGroupIsSkippedAlone) {
  for (const Group& bad : Groups) {
    auto nvm = Filled(3);
    auto before = std::make_unique<LoRaMacNvmData_t>(*nvm);
    auto stored = Filled(100);
    Bytes(*stored)[bad.Offset + bad.Size / 2] ^= 0x80;

    EXPECT_EQ(LoRaMacNvmRestore(nvm.get(), stored.get()), AllGroups & ~bad.Flag) << bad.Name;
    auto same = [&](const LoRaMacNvmData_t& expected, size_t from, size_t to) {
      return std::memcmp(Bytes(*nvm) + from, reinterpret_cast<const uint8_t*>(&expected) + from,
                         to - from) == 0;
    };
    for (const Group& g : Groups) {
      if (&g == &bad) {
        EXPECT_TRUE(same(*before, g.Offset, g.Offset + g.Size)) << "bad " << bad.Name;
      } else if (g.Flag == LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP2) {
        // As stored but for the multicast references, which are set
        // again.
        const size_t list = offsetof(LoRaMacNvmData_t, MacGroup2.MulticastChannelList);
        const size_t afterList = offsetof(LoRaMacNvmData_t, MacGroup2.DeviceClass);
        EXPECT_TRUE(same(*stored, g.Offset, list)) << "bad " << bad.Name;
        EXPECT_TRUE(same(*stored, afterList, g.Offset + g.Size)) << "bad " << bad.Name;
      } else {
        EXPECT_TRUE(same(*stored, g.Offset, g.Offset + g.Size))
            << "bad " << bad.Name << ", " << g.Name;
      }
    }
  }
}

TEST(NvmRestore, StoredRunTimeAddressesAreNeverTakenOver) {
  auto nvm = Filled(3);
  auto stored = std::make_unique<LoRaMacNvmData_t>();
  std::memset(stored.get(), 0, sizeof(*stored));
  MulticastCtx_t* list = stored->MacGroup2.MulticastChannelList;
  for (uint32_t i = 0; i < LORAMAC_MAX_MC_CTX; i++) {
    // As an image that kept run-time addresses would have stored them.
    list[i].DownLinkCounterRef = 0x0803F000 + 4 * i;
    list[i].ChannelParams.McKeys.Session.McAppSKey = 0x20001000;
    list[i].ChannelParams.McKeys.Session.McNwkSKey = 0x20001010;
  }
  list[1].ChannelParams.IsEnabled = true;
  list[1].ChannelParams.IsRemotelySetup = true;
  list[2].ChannelParams.IsEnabled = true;
  LoRaMacNvmUpdateCrcs(stored.get());

  uint16_t taken = LoRaMacNvmRestore(nvm.get(), stored.get());
  ASSERT_TRUE(taken & LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP2);

  const MulticastCtx_t* restored = nvm->MacGroup2.MulticastChannelList;
  for (uint32_t i = 0; i < LORAMAC_MAX_MC_CTX; i++) {
    EXPECT_EQ(restored[i].DownLinkCounterRef, i);
    EXPECT_EQ(LoRaMacNvmMcDownLinkCounter(&nvm->Crypto, restored[i].DownLinkCounterRef),
              &nvm->Crypto.FCntList.McFCntDown[i]);
  }
  EXPECT_EQ(restored[0].ChannelParams.McKeys.Session.McAppSKey, 0u);
  EXPECT_EQ(restored[0].ChannelParams.McKeys.Session.McNwkSKey, 0u);
  EXPECT_EQ(restored[1].ChannelParams.McKeys.McKeyE, static_cast<uint32_t>(MC_KEY_1));
  EXPECT_EQ(restored[1].ChannelParams.McKeys.Session.McNwkSKey, 0u);
  EXPECT_EQ(restored[2].ChannelParams.McKeys.Session.McAppSKey,
            static_cast<uint32_t>(MC_APP_S_KEY_2));
  EXPECT_EQ(restored[2].ChannelParams.McKeys.Session.McNwkSKey,
            static_cast<uint32_t>(MC_NWK_S_KEY_2));

  // Changed references are a change of the group, to be stored again.
  EXPECT_EQ(LoRaMacNvmUpdateCrcs(nvm.get()), LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP2);
  EXPECT_EQ(LoRaMacNvmMcDownLinkCounter(&nvm->Crypto, 4), nullptr);
  EXPECT_EQ(LoRaMacNvmMcDownLinkCounter(&nvm->Crypto, 0x0803F000), nullptr);
}

TEST(NvmRestore, TheMacsOwnRecordCanBeHandedBack) {
  auto nvm = Filled(9);
  LoRaMacNvmSetMulticastRefs(&nvm->MacGroup2);
  LoRaMacNvmUpdateCrcs(nvm.get());
  auto before = std::make_unique<LoRaMacNvmData_t>(*nvm);

  EXPECT_EQ(LoRaMacNvmRestore(nvm.get(), nvm.get()), AllGroups);
  EXPECT_EQ(std::memcmp(nvm.get(), before.get(), sizeof(*nvm)), 0);
}

TEST(NvmMulticast, AStoredGroupHoldsKeyIdentifiersAndZeroPadding) {
  uint8_t appSKey[16] = {1};
  uint8_t nwkSKey[16] = {2};
  McChannelParams_t params;
  std::memset(&params, 0xA5, sizeof(params));  // padding as a stack record may hold it
  params.IsRemotelySetup = false;
  params.IsEnabled = true;
  params.GroupID = MULTICAST_3_ADDR;
  params.Address = 0x01020304;
  params.McKeys.Session.McAppSKey = appSKey;
  params.McKeys.Session.McNwkSKey = nwkSKey;
  params.FCountMin = 10;
  params.FCountMax = 20;
  params.RxParams.Class = CLASS_B;
  params.RxParams.ClassB.Frequency = 869525000;
  params.RxParams.ClassB.Datarate = 3;
  params.RxParams.ClassB.Periodicity = 7;

  McChannelNvm_t entry;
  std::memset(&entry, 0xFF, sizeof(entry));
  LoRaMacNvmStoreMcChannel(&entry, &params);

  McChannelNvm_t expected;
  std::memset(&expected, 0, sizeof(expected));
  expected.IsRemotelySetup = false;
  expected.IsEnabled = true;
  expected.GroupID = MULTICAST_3_ADDR;
  expected.Address = 0x01020304;
  expected.McKeys.Session.McAppSKey = MC_APP_S_KEY_3;
  expected.McKeys.Session.McNwkSKey = MC_NWK_S_KEY_3;
  expected.FCountMin = 10;
  expected.FCountMax = 20;
  expected.RxParams.Class = CLASS_B;
  expected.RxParams.ClassB.Frequency = 869525000;
  expected.RxParams.ClassB.Datarate = 3;
  expected.RxParams.ClassB.Periodicity = 7;
  EXPECT_EQ(std::memcmp(&entry, &expected, sizeof(entry)), 0);

  params.IsRemotelySetup = true;
  params.McKeys.McKeyE = appSKey;
  params.GroupID = MULTICAST_0_ADDR;
  LoRaMacNvmStoreMcChannel(&entry, &params);
  EXPECT_EQ(entry.McKeys.McKeyE, static_cast<uint32_t>(MC_KEY_0));
  EXPECT_EQ(entry.McKeys.Session.McNwkSKey, 0u);
}

}  // namespace
