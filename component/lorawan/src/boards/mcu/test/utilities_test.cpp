// Pseudo-random generator, byte copies and CRC-32 against independent
// references (the generator's recurrence written out here, zlib's crc32).
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <vector>

#include "utilities.h"

namespace {

TEST(Rand, FollowsTheLinearCongruentialRecurrence) {
  // Each seed is followed for a few draws with the recurrence computed here
  // in 64-bit arithmetic.
  for (uint32_t seed : {1u, 0u, 0xFFFFFFFFu, 0x12345678u}) {
    srand1(seed);
    uint64_t state = seed;
    for (int i = 0; i < 5; ++i) {
      state = (state * 1103515245ull + 12345ull) & 0xFFFFFFFFull;
      EXPECT_EQ(rand1(), static_cast<int32_t>(state % 2147483647ull))
          << "seed " << seed << " draw " << i;
    }
  }
}

TEST(RandSeq, GivesTheHostCLibrarysRandomSequenceForTheSameSeed) {
  // The host's srandom()/random() is the reference: the same seed, the same
  // numbers (the shuffled RF hop kept its order when it moved to this
  // generator). Seeds at the edges of the signed conversion included.
  for (uint32_t seed : {0u, 1u, 42u, 127773u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 1712345678u}) {
    RandSeq_t seq;
    RandSeqInit(&seq, seed);
    srandom(seed);
    for (int i = 0; i < 400; ++i) {
      ASSERT_EQ(RandSeqNext(&seq), static_cast<int32_t>(random()))
          << "seed " << seed << " draw " << i;
    }
  }
}

TEST(RandSeq, LeavesTheMacGeneratorAlone) {
  srand1(99);
  const int32_t expected = rand1();
  srand1(99);
  RandSeq_t seq;
  RandSeqInit(&seq, 5u);
  (void)RandSeqNext(&seq);
  EXPECT_EQ(rand1(), expected);
}

TEST(Rand, FirstDrawFromTheStartStateIsOneStepOfTheRecurrence) {
  srand1(1);
  EXPECT_EQ(rand1(), 1103515245 + 12345);
}

TEST(Rand, RangeStaysInsideAndDegenerateRangeIsConstant) {
  srand1(7);
  for (int i = 0; i < 1000; ++i) {
    int32_t v = randr(-3, 4);
    EXPECT_GE(v, -3);
    EXPECT_LE(v, 4);
  }
  for (int i = 0; i < 10; ++i) EXPECT_EQ(randr(5, 5), 5);
  // The widest range must not overflow.
  for (int i = 0; i < 10; ++i) {
    int32_t v = randr(INT32_MIN, INT32_MAX);
    (void)v;
  }
}

TEST(Rand, RangeIsTheDrawModuloTheSpanAndReachesBothEnds) {
  // Channel choice draws randr(0, enabled - 1): the last enabled channel must
  // come up as often as the others. Each draw is checked against the
  // recurrence written here, and every value of the range, both ends
  // included, must come up.
  struct Case {
    int32_t min, max;
    int draws;
  } cases[] = {{0, 1, 200},          {0, 2, 200},  {-3, 4, 400},
               {0, 7, 400},          {0, 15, 800}, {0, 71, 4000},
               {-1000, 1000, 40000}, {5, 5, 10},   {INT32_MIN, INT32_MAX, 100}};
  for (const auto& c : cases) {
    const uint32_t seed = 0xC0FFEEu + static_cast<uint32_t>(c.max);
    srand1(seed);
    uint64_t state = seed;
    const int64_t span = int64_t{c.max} - c.min + 1;
    std::vector<bool> seen(span <= 4096 ? static_cast<size_t>(span) : 0, false);
    for (int i = 0; i < c.draws; ++i) {
      state = (state * 1103515245ull + 12345ull) & 0xFFFFFFFFull;
      const int64_t expected = static_cast<int64_t>(state % 2147483647ull) % span + c.min;
      const int32_t v = randr(c.min, c.max);
      ASSERT_EQ(v, expected) << c.min << ".." << c.max << " draw " << i;
      if (!seen.empty()) seen[static_cast<size_t>(int64_t{v} - c.min)] = true;
    }
    if (!seen.empty()) {
      EXPECT_TRUE(seen.front()) << c.min << ".." << c.max << ": the lowest value never came";
      EXPECT_TRUE(seen.back()) << c.min << ".." << c.max << ": the highest value never came";
      EXPECT_EQ(std::count(seen.begin(), seen.end(), false), 0) << c.min << ".." << c.max;
    }
  }
}

TEST(Bytes, CopyReverseCopyAndFill) {
  const uint8_t src[] = {1, 2, 3};
  uint8_t dst[3] = {};
  memcpyr(dst, src, 3);
  EXPECT_EQ(std::vector<uint8_t>(dst, dst + 3), (std::vector<uint8_t>{3, 2, 1}));
  memcpy1(dst, src, 3);
  EXPECT_EQ(std::vector<uint8_t>(dst, dst + 3), (std::vector<uint8_t>{1, 2, 3}));
  uint8_t guard[5] = {9, 9, 9, 9, 9};
  memset1(guard + 1, 0xA5, 3);
  EXPECT_EQ(std::vector<uint8_t>(guard, guard + 5), (std::vector<uint8_t>{9, 0xA5, 0xA5, 0xA5, 9}));
  memcpyr(guard, src, 0);  // nothing written for a zero size
  EXPECT_EQ(guard[0], 9);
}

TEST(Crc32, EqualsZlibForManyLengthsAndSplitsEqualOneShot) {
  std::vector<uint8_t> data(1031);
  uint32_t x = 0x9E3779B9u;
  for (auto& b : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  for (size_t len : {size_t{0}, size_t{1}, size_t{9}, size_t{255}, size_t{1031}}) {
    uint32_t ref = crc32(0L, data.data(), static_cast<uInt>(len));
    EXPECT_EQ(Crc32(data.data(), static_cast<uint16_t>(len)), ref) << len;
    for (size_t cut : {size_t{0}, len / 3, len}) {
      uint32_t c = Crc32Init();
      c = Crc32Update(c, data.data(), static_cast<uint16_t>(cut));
      c = Crc32Update(c, data.data() + cut, static_cast<uint16_t>(len - cut));
      EXPECT_EQ(Crc32Finalize(c), ref) << len << " cut " << cut;
    }
  }
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Crc32(check, 9), crc32(0L, check, 9));
}

TEST(Crc32, NoBufferGivesZero) {
  EXPECT_EQ(Crc32(nullptr, 10), 0u);
  EXPECT_EQ(Crc32Update(Crc32Init(), nullptr, 10), 0u);
}

}  // namespace
