#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "fake_port.h"
#include "fund_circular_queue.h"

namespace {

FUND_CIRCULAR_QUEUE_INIT(uint8_t, q4, 4);
FUND_CIRCULAR_QUEUE_INIT(uint32_t, q7, 7);
struct Triple {
  uint8_t b[3];
};
FUND_CIRCULAR_QUEUE_INIT(Triple, q_odd, 5);

void empty(fund_circular_queue_t &q) {
  q.start = 0;
  q.end = 0;
}

TEST(CircularQueue, DeclarationSetsUpStorageOfSizePlusOne) {
  EXPECT_EQ(q4.p_buffer, static_cast<void *>(q4_buffer));
  EXPECT_EQ(sizeof(q4_buffer), 5u);
  EXPECT_EQ(q4.size, 4u);
  EXPECT_EQ(q4.element_size, 1u);
  EXPECT_EQ(q_odd.element_size, 3u);
}

TEST(CircularQueue, InStoresAtMostTheFreeSpace) {
  struct Case {
    uint32_t held_before;
    uint32_t count;
    uint32_t stored;
  };
  const Case cases[] = {
      {0, 4, 4}, {4, 1, 0}, {0, 6, 4}, {3, 3, 1}, {2, 0, 0},
  };
  for (Case const &c : cases) {
    empty(q4);
    uint8_t fill[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    ASSERT_EQ(fund_circular_queue_in(&q4, fill, c.held_before), c.held_before);
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(fund_circular_queue_in(&q4, data, c.count), c.stored)
        << c.held_before << "+" << c.count;
    EXPECT_EQ(fund_circular_queue_utilization_get(&q4), c.held_before + c.stored);
    // What was held is never overwritten.
    uint8_t out[8] = {};
    ASSERT_EQ(fund_circular_queue_out(&q4, out, 8), c.held_before + c.stored);
    for (uint32_t i = 0; i < c.held_before; i++) {
      EXPECT_EQ(out[i], 9);
    }
    for (uint32_t i = 0; i < c.stored; i++) {
      EXPECT_EQ(out[c.held_before + i], data[i]);
    }
  }
}

TEST(CircularQueue, InAcrossTheEndOfTheStorageSplitsTheCopy) {
  empty(q4);
  uint8_t data[4] = {1, 2, 3, 4};
  uint8_t out[4];
  ASSERT_EQ(fund_circular_queue_in(&q4, data, 3), 3u);
  ASSERT_EQ(fund_circular_queue_out(&q4, out, 3), 3u);  // start = end = 3
  ASSERT_EQ(fund_circular_queue_in(&q4, data, 4), 4u);  // 2 at the back, 2 at the front
  EXPECT_EQ(q4.end, 2u);
  EXPECT_EQ(q4_buffer[3], 1);
  EXPECT_EQ(q4_buffer[4], 2);
  EXPECT_EQ(q4_buffer[0], 3);
  EXPECT_EQ(q4_buffer[1], 4);
  ASSERT_EQ(fund_circular_queue_out(&q4, out, 4), 4u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(q4.start, 2u);
}

TEST(CircularQueue, InThatEndsExactlyAtTheStorageEndWrapsTheIndex) {
  empty(q4);
  uint8_t data[5] = {1, 2, 3, 4, 5};
  uint8_t out[5];
  ASSERT_EQ(fund_circular_queue_in(&q4, data, 2), 2u);
  ASSERT_EQ(fund_circular_queue_out(&q4, out, 2), 2u);  // start = end = 2
  ASSERT_EQ(fund_circular_queue_in(&q4, data, 3), 3u);  // fills 2, 3, 4
  EXPECT_EQ(q4.end, 0u);
  ASSERT_EQ(fund_circular_queue_out(&q4, out, 3), 3u);
  EXPECT_EQ(q4.start, 0u);
}

TEST(CircularQueue, OutOfMoreThanHeldEmptiesTheQueue) {
  empty(q7);
  uint32_t data[3] = {10, 20, 30};
  ASSERT_EQ(fund_circular_queue_in(&q7, data, 3), 3u);
  uint32_t out[10] = {};
  EXPECT_EQ(fund_circular_queue_out(&q7, out, 10), 3u);
  EXPECT_EQ(out[2], 30u);
  EXPECT_EQ(fund_circular_queue_utilization_get(&q7), 0u);
  EXPECT_EQ(fund_circular_queue_available_get(&q7), 7u);
}

TEST(CircularQueue, PeekOnEmptyAnswersNotFoundAndLeavesTheOutputAlone) {
  empty(q7);
  uint32_t out = 0x5A5A5A5A;
  EXPECT_EQ(fund_circular_queue_peek(&q7, &out), -15);
  EXPECT_EQ(out, 0x5A5A5A5Au);
  uint32_t v = 42;
  ASSERT_EQ(fund_circular_queue_in(&q7, &v, 1), 1u);
  EXPECT_EQ(fund_circular_queue_peek(&q7, &out), 0);
  EXPECT_EQ(out, 42u);
  EXPECT_EQ(fund_circular_queue_utilization_get(&q7), 1u);  // peek removes nothing
}

TEST(CircularQueue, RandomWrappedTrafficMatchesAReferenceQueue) {
  empty(q_odd);
  std::deque<Triple> reference;
  std::mt19937 rng(12345);
  uint8_t next = 0;
  for (int step = 0; step < 5000; step++) {
    uint32_t const count = rng() % 8;
    if (rng() % 2) {
      Triple in[8];
      for (uint32_t i = 0; i < count; i++) {
        in[i] = {{next, static_cast<uint8_t>(next + 1), static_cast<uint8_t>(next + 2)}};
        next++;
      }
      uint32_t const stored = fund_circular_queue_in(&q_odd, in, count);
      ASSERT_EQ(stored, std::min<uint32_t>(count, 5 - reference.size()));
      reference.insert(reference.end(), in, in + stored);
    } else {
      Triple out[8];
      uint32_t const removed = fund_circular_queue_out(&q_odd, out, count);
      ASSERT_EQ(removed, std::min<uint32_t>(count, reference.size()));
      for (uint32_t i = 0; i < removed; i++) {
        ASSERT_EQ(out[i].b[0], reference.front().b[0]);
        ASSERT_EQ(out[i].b[2], reference.front().b[2]);
        reference.pop_front();
      }
    }
    ASSERT_EQ(fund_circular_queue_utilization_get(&q_odd), reference.size());
    ASSERT_EQ(
        fund_circular_queue_utilization_get(&q_odd) + fund_circular_queue_available_get(&q_odd),
        5u);
  }
}

}  // namespace
