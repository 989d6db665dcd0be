#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "fake_port.h"
#include "fund_event_queue.h"
#include "udrv_system.h"

namespace {

struct Seen {
  uint32_t value;
  uint16_t size;
};
std::vector<Seen> seen;

void record(void *data, uint16_t size) {
  uint32_t value = 0;
  if (size >= sizeof(value)) {
    memcpy(&value, data, sizeof(value));
  }
  seen.push_back({value, size});
}

int32_t put_value(uint32_t value) { return fund_event_queue_put(&value, sizeof(value), record); }

alignas(event_header_t) uint32_t storage[(sizeof(event_header_t) + 8) * 256 / 4];

class EventQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::port.reset();
    seen.clear();
    ASSERT_EQ(fund_event_queue_init(EVENT_DATA_SIZE, EVENT_QUEUE_SIZE, FUND_EVENT_QUEUE_BUF), 0);
  }
};

TEST_F(EventQueue, HoldsOneHundredTwentyEightEventsAndRefusesTheNext) {
  uint32_t const dropped_before = fund_event_queue_dropped_get();
  for (uint32_t i = 0; i < EVENT_QUEUE_SIZE; i++) {
    ASSERT_EQ(put_value(i), 0) << i;
  }
  EXPECT_EQ(fund_event_queue_space_get(), 0);
  EXPECT_EQ(put_value(999), -7);
  EXPECT_EQ(fund_event_queue_dropped_get(), dropped_before + 1);

  fund_event_queue_execute();
  ASSERT_EQ(seen.size(), 128u);
  for (uint32_t i = 0; i < seen.size(); i++) {
    EXPECT_EQ(seen[i].value, i);  // in order, the refused one absent
  }
  EXPECT_EQ(fund_event_queue_space_get(), 128);
}

TEST_F(EventQueue, OneFreedSlotTakesOneMoreEvent) {
  // A handler that frees its slot and then tries to put two events: the
  // queue was full, so exactly one fits.
  static std::vector<int32_t> results;
  results.clear();
  for (uint32_t i = 0; i < EVENT_QUEUE_SIZE; i++) {
    ASSERT_EQ(fund_event_queue_put(&i, sizeof(i),
                                   [](void *, uint16_t) {
                                     if (results.empty()) {
                                       results.push_back(put_value(1));
                                       results.push_back(put_value(2));
                                     }
                                   }),
              0);
  }
  fund_event_queue_execute();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], -7);
}

TEST_F(EventQueue, RefusesOversizedDataAndLeavesTheQueueUnchanged) {
  // One byte more than a slot holds (a system event: 8 bytes on the chip).
  uint8_t data[EVENT_DATA_SIZE + 1] = {};
  EXPECT_EQ(fund_event_queue_put(data, sizeof data, record), -9);
  EXPECT_EQ(fund_event_queue_space_get(), 128);
  fund_event_queue_execute();
  EXPECT_TRUE(seen.empty());
}

TEST_F(EventQueue, MisalignedBufferIsRefusedAndTheQueueKeepsWorking) {
  ASSERT_EQ(put_value(7), 0);
  EXPECT_EQ(fund_event_queue_init(8, 16, reinterpret_cast<uint8_t *>(storage) + 2), -10);
  EXPECT_EQ(fund_event_queue_space_get(), 127);
  fund_event_queue_execute();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].value, 7u);
}

TEST_F(EventQueue, SpaceIsRightWhenTheIndicesHaveWrapped) {
  ASSERT_EQ(fund_event_queue_init(8, 4, storage), 0);
  EXPECT_EQ(fund_event_queue_space_get(), 4);
  // Move both indices near the end of the ring, then wrap the end index.
  for (uint32_t round = 0; round < 3; round++) {
    ASSERT_EQ(put_value(round), 0);
    fund_event_queue_execute();
  }
  for (uint32_t i = 0; i < 3; i++) {
    ASSERT_EQ(put_value(10 + i), 0);
  }
  EXPECT_EQ(fund_event_queue_space_get(), 1);  // end is now below start
  ASSERT_EQ(put_value(13), 0);
  EXPECT_EQ(fund_event_queue_space_get(), 0);
  EXPECT_EQ(put_value(14), -7);
  seen.clear();
  fund_event_queue_execute();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].value, 10u);
  EXPECT_EQ(seen[3].value, 13u);
}

TEST_F(EventQueue, EventWithoutDataStillRunsItsHandler) {
  ASSERT_EQ(fund_event_queue_put(nullptr, 8, record), 0);
  uint32_t value = 5;
  ASSERT_EQ(fund_event_queue_put(&value, 0, record), 0);
  fund_event_queue_execute();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].size, 0);
  EXPECT_EQ(seen[1].size, 0);
}

TEST_F(EventQueue, EventsPutByAHandlerRunInTheSameDrainAfterTheQueuedOnes) {
  ASSERT_EQ(fund_event_queue_put(nullptr, 0,
                                 [](void *, uint16_t) {
                                   seen.push_back({100, 0});
                                   put_value(300);
                                 }),
            0);
  ASSERT_EQ(put_value(200), 0);
  fund_event_queue_execute();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].value, 100u);
  EXPECT_EQ(seen[1].value, 200u);
  EXPECT_EQ(seen[2].value, 300u);
}

TEST_F(EventQueue, HandlerKeepsItsEventWhenABurstRefillsTheRing) {
  // While the handler runs, 128 new events reuse every slot, its own
  // included; what it reads must still be its own event.
  static uint32_t read_after_burst;
  uint32_t const mine = 0xC0FFEE;
  ASSERT_EQ(fund_event_queue_put(&mine, sizeof(mine),
                                 [](void *data, uint16_t) {
                                   for (uint32_t i = 0; i < EVENT_QUEUE_SIZE; i++) {
                                     put_value(0xBAD0000 + i);
                                   }
                                   memcpy(&read_after_burst, data, sizeof(read_after_burst));
                                 }),
            0);
  fund_event_queue_execute();
  EXPECT_EQ(read_after_burst, mine);
  EXPECT_EQ(seen.size(), 128u);
}

TEST_F(EventQueue, QueuePutsRunInsideTheCriticalSection) {
  // A put made with interrupts masked keeps them masked afterwards, and a
  // put from the main line leaves them enabled.
  fake::port.primask = 0;
  ASSERT_EQ(put_value(1), 0);
  EXPECT_EQ(fake::port.primask, 0u);
  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  ASSERT_EQ(put_value(2), 0);
  EXPECT_EQ(fake::port.primask, 1u);
  udrv_system_critical_section_end(&mask);
  EXPECT_EQ(fake::port.primask, 0u);
}

TEST(SystemEventQueue, EventsPostedBeforeItsSetUpAreKept) {
  // Restore the start-up state: the queue is the system queue, nothing set
  // up by start-up yet.
  ASSERT_EQ(fund_event_queue_init(EVENT_DATA_SIZE, EVENT_QUEUE_SIZE, FUND_EVENT_QUEUE_BUF), 0);
  static std::vector<udrv_system_event_t> dispatched;
  dispatched.clear();
  fake::port.reset();
  fake::port.dispatcher = [](void *data, uint16_t size) {
    ASSERT_EQ(size, sizeof(udrv_system_event_t));
    udrv_system_event_t event;
    memcpy(&event, data, sizeof(event));
    dispatched.push_back(event);
  };
  udrv_system_event_t early = {UDRV_SYS_EVT_OP_SERIAL_UART, nullptr};
  ASSERT_EQ(udrv_system_event_produce(&early), 0);
  ASSERT_EQ(udrv_system_event_init(), 0);
  udrv_system_event_t later = {UDRV_SYS_EVT_OP_GPIO_INTERRUPT,
                               reinterpret_cast<void *>(uintptr_t{3})};
  ASSERT_EQ(udrv_system_event_produce(&later), 0);
  udrv_system_event_consume();
  ASSERT_EQ(dispatched.size(), 2u);
  EXPECT_EQ(dispatched[0].request, UDRV_SYS_EVT_OP_SERIAL_UART);
  EXPECT_EQ(dispatched[1].request, UDRV_SYS_EVT_OP_GPIO_INTERRUPT);
  EXPECT_EQ(dispatched[1].p_context, reinterpret_cast<void *>(uintptr_t{3}));
}

}  // namespace
