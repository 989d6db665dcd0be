// A fixed-size ring of equal-sized elements in caller-supplied static
// storage, used for the receive buffers of the serial ports. In and out run
// under the system critical section, so one side may be an interrupt handler.
#pragma once

#include <stdint.h>

typedef struct {
  void *p_buffer;           // storage of size + 1 elements
  uint32_t size;            // capacity in elements
  uint32_t element_size;    // bytes per element
  volatile uint32_t start;  // index of the oldest element
  volatile uint32_t end;    // index of the next free element
} fund_circular_queue_t;

// Defines the storage `_name_buffer` and the queue `_name`.
#define FUND_CIRCULAR_QUEUE_INIT(_type, _name, _size)                  \
  static _type _name##_buffer[(_size) + 1];                            \
  static fund_circular_queue_t _name = {.p_buffer = _name##_buffer,    \
                                        .size = (_size),               \
                                        .element_size = sizeof(_type), \
                                        .start = 0,                    \
                                        .end = 0}

uint32_t fund_circular_queue_utilization_get(fund_circular_queue_t const *q);
uint32_t fund_circular_queue_available_get(fund_circular_queue_t const *q);
// Stores at most the free space; returns the number of elements stored.
uint32_t fund_circular_queue_in(fund_circular_queue_t *q, void const *p_data,
                                uint32_t element_count);
// Removes at most the number held into p_data; returns the number removed.
uint32_t fund_circular_queue_out(fund_circular_queue_t *q, void *p_data, uint32_t element_count);
// 0 and a copy of the oldest element; -15 when the queue is empty.
int32_t fund_circular_queue_peek(fund_circular_queue_t const *q, void *p_element);
