/*
 * The persistent context is a stored format: the configuration store keeps
 * its groups byte for byte, so offsets and sizes must never move.
 */
#include <gtest/gtest.h>

#include <cstddef>

#include "LoRaMac.h"

namespace {

struct Placement {
  const char* Name;
  size_t Offset;
  size_t Size;
  size_t ExpectedOffset;
  size_t ExpectedSize;
};

#define FIELD(field, offset, size)                                                           \
  Placement {                                                                                \
#field, offsetof(LoRaMacNvmData_t, field), sizeof(LoRaMacNvmData_t::field), offset, size \
  }

TEST(NvmLayout, GroupsSitAtTheirStoredOffsets) {
  const Placement groups[] = {
      FIELD(Crypto, 0, 56),           FIELD(MacGroup1, 56, 32),     FIELD(MacGroup2, 88, 388),
      FIELD(SecureElement, 476, 416), FIELD(RegionGroup1, 892, 20), FIELD(RegionGroup2, 912, 1192),
      FIELD(ClassB, 2104, 24),
  };
  for (const Placement& g : groups) {
    EXPECT_EQ(g.Offset, g.ExpectedOffset) << g.Name;
    EXPECT_EQ(g.Size, g.ExpectedSize) << g.Name;
  }
  EXPECT_EQ(sizeof(LoRaMacNvmData_t), 2128u);
}

// Offsets in the whole record: group offset plus the field's offset in its
// group.
TEST(NvmLayout, KeyFieldsSitAtTheirStoredOffsets) {
  const Placement fields[] = {
      FIELD(Crypto.DevNonce, 4, 2),
      FIELD(Crypto.FCntList.FCntUp, 12, 4),
      FIELD(Crypto.FCntList.McFCntDown, 28, 16),
      FIELD(Crypto.Crc32, 52, 4),
      FIELD(MacGroup1.AdrAckCounter, 56, 4),
      FIELD(MacGroup1.ChannelsDatarate, 56 + 17, 1),
      FIELD(MacGroup1.RekeyIndUplinksCounter, 56 + 26, 2),
      FIELD(MacGroup1.Crc32, 56 + 28, 4),
      FIELD(MacGroup2.MacParams, 88 + 4, 64),
      FIELD(MacGroup2.MacParams.Rx2Channel, 88 + 4 + 32, 8),
      FIELD(MacGroup2.MacParams.MaxEirp, 88 + 4 + 52, 4),
      FIELD(MacGroup2.MacParamsDefaults.AdrAckDelay, 88 + 68 + 62, 2),
      FIELD(MacGroup2.MulticastChannelList, 88 + 144, 4 * 48),
      FIELD(MacGroup2.MulticastChannelList[1].ChannelParams.Address, 88 + 144 + 48 + 4, 4),
      FIELD(MacGroup2.MulticastChannelList[3].DownLinkCounterRef, 88 + 144 + 3 * 48 + 36, 4),
      FIELD(MacGroup2.MulticastChannelList[3].FPendingSet, 88 + 144 + 3 * 48 + 46, 1),
      FIELD(MacGroup2.DeviceClass, 88 + 336, 1),
      FIELD(MacGroup2.InitializationTime, 88 + 348, 8),
      FIELD(MacGroup2.Version, 88 + 356, 4),
      FIELD(MacGroup2.Rejoin0UplinksLimit, 88 + 364, 4),
      FIELD(MacGroup2.IsRejoin2RequestQueued, 88 + 383, 1),
      FIELD(MacGroup2.Crc32, 88 + 384, 4),
      FIELD(SecureElement.KeyList, 476 + 20, 23 * 17),
      FIELD(SecureElement.Crc32, 476 + 412, 4),
      FIELD(RegionGroup1.Crc32, 892 + 16, 4),
      FIELD(RegionGroup2.ChannelsMask, 912 + 1152, 12),
      FIELD(RegionGroup2.CarrierSenseTime, 912 + 1184, 4),
      FIELD(RegionGroup2.Crc32, 912 + 1188, 4),
      FIELD(ClassB.PingSlotCtx.Frequency, 2104 + 4, 4),
      FIELD(ClassB.BeaconCtx.Frequency, 2104 + 16, 4),
      FIELD(ClassB.Crc32, 2104 + 20, 4),
  };
  for (const Placement& f : fields) {
    EXPECT_EQ(f.Offset, f.ExpectedOffset) << f.Name;
    EXPECT_EQ(f.Size, f.ExpectedSize) << f.Name;
  }
}

}  // namespace
