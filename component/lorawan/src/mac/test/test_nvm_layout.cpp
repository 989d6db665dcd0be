/*
 * The persistent context is a stored format: the configuration store keeps
 * its groups byte for byte, so offsets and sizes must never move.
 */
#include <gtest/gtest.h>

#include <cstddef>

#include "LoRaMac.h"

namespace
{

struct Placement
{
    const char* Name;
    size_t Offset;
    size_t Size;
    size_t ExpectedOffset;
    size_t ExpectedSize;
};

#define GROUP(field, offset, size)                                                                   \
    Placement{#field, offsetof(LoRaMacNvmData_t, field), sizeof(LoRaMacNvmData_t::field), offset, size}

TEST(NvmLayout, GroupsSitAtTheirStoredOffsets)
{
    const Placement groups[] = {
        GROUP(Crypto, 0, 56),
        GROUP(MacGroup1, 56, 32),
        GROUP(MacGroup2, 88, 388),
        GROUP(SecureElement, 476, 416),
        GROUP(RegionGroup1, 892, 20),
        GROUP(RegionGroup2, 912, 1192),
        GROUP(ClassB, 2104, 24),
    };
    for (const Placement& g : groups)
    {
        EXPECT_EQ(g.Offset, g.ExpectedOffset) << g.Name;
        EXPECT_EQ(g.Size, g.ExpectedSize) << g.Name;
    }
    EXPECT_EQ(sizeof(LoRaMacNvmData_t), 2128u);
}

} // namespace
