#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "fund_crc32.h"

namespace {

std::vector<uint8_t> noise(size_t n) {
  std::vector<uint8_t> data(n);
  uint32_t x = 0x2545F491u;
  for (auto &b : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return data;
}

// Lengths past 16 bits matter: the bootloader checks whole application
// images in one run.
TEST(FundCrc32, EqualsZlibUpToImageSizes) {
  const std::vector<uint8_t> data = noise(200000);
  for (size_t len : {size_t{0}, size_t{1}, size_t{65535}, size_t{65536}, data.size()}) {
    EXPECT_EQ(fund_crc32(data.data(), static_cast<uint32_t>(len)),
              crc32(0L, data.data(), static_cast<uInt>(len)))
        << len;
  }
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(fund_crc32(check, sizeof check), 0xCBF43926u);
}

// The bootloader's way of leaving out the stored CRC word: zeros fed in its
// place give the CRC of the image with that word cleared.
TEST(FundCrc32, PiecesWithAZeroedWordEqualTheClearedBuffer) {
  std::vector<uint8_t> image = noise(1000);
  const uint8_t zeros[4] = {};
  uint32_t crc = fund_crc32_update(FUND_CRC32_INIT, image.data(), 16);
  crc = fund_crc32_update(crc, zeros, 4);
  crc = fund_crc32_update(crc, image.data() + 20, static_cast<uint32_t>(image.size() - 20));
  std::fill(image.begin() + 16, image.begin() + 20, 0);
  EXPECT_EQ(fund_crc32_final(crc), crc32(0L, image.data(), static_cast<uInt>(image.size())));
}

}  // namespace
