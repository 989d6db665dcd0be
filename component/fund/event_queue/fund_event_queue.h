// A queue of small events, each copied into a fixed-size slot of static
// storage together with the handler that runs it. Producers may be interrupt
// handlers; one consumer drains it.
#pragma once

#include <stdint.h>

typedef void (*fund_event_queue_handler_t)(void *p_event_data, uint16_t event_data_size);

typedef struct {
  fund_event_queue_handler_t handler;
  uint16_t event_data_size;
} event_header_t;

#if defined(__arm__)
static_assert(sizeof(event_header_t) == 8, "a slot header is 8 bytes on the chip");
#endif

// The system event queue: 128 usable slots, each the size of a system event
// (an operation code and a pointer: 8 bytes on the chip, 16 on a 64-bit host).
#define EVENT_DATA_SIZE (2 * sizeof(void *))
#define EVENT_QUEUE_SIZE 128
// Largest event the queue takes (a handler is given a copy of it).
#define FUND_EVENT_QUEUE_MAX_EVENT_SIZE 32

#define FUND_EVENT_QUEUE_BUF_SIZE \
  ((EVENT_DATA_SIZE + sizeof(event_header_t)) * (EVENT_QUEUE_SIZE + 1))
alignas(event_header_t) extern uint32_t
    FUND_EVENT_QUEUE_BUF[FUND_EVENT_QUEUE_BUF_SIZE / sizeof(uint32_t)];

// 0; -10 when the buffer is not aligned for a slot header (4 bytes on the
// chip); -9 when event_size is above
// FUND_EVENT_QUEUE_MAX_EVENT_SIZE or queue_size above 255 (nothing changes).
int32_t fund_event_queue_init(uint16_t event_size, uint16_t queue_size, void *p_evt_buffer);
// 0; -9 when event_data_size exceeds the slot size; -7 when the queue is full.
int32_t fund_event_queue_put(void const *p_event_data, uint16_t event_data_size,
                             fund_event_queue_handler_t handler);
// Runs queued events, also those queued meanwhile, until the queue is empty.
void fund_event_queue_execute(void);
// Free slots.
uint16_t fund_event_queue_space_get(void);
// True when the queue is set up with exactly this storage and these sizes.
bool fund_event_queue_is_configured(uint16_t event_size, uint16_t queue_size,
                                    void const *p_evt_buffer);
// Number of events refused because the queue was full since start.
uint32_t fund_event_queue_dropped_get(void);
