#include "fund_circular_queue.h"

#include <string.h>

#include "udrv_system.h"

static uint32_t held(fund_circular_queue_t const *q, uint32_t start, uint32_t end) {
  return (end >= start) ? end - start : end + q->size + 1 - start;
}

uint32_t fund_circular_queue_utilization_get(fund_circular_queue_t const *q) {
  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  uint32_t const n = held(q, q->start, q->end);
  udrv_system_critical_section_end(&mask);
  return n;
}

uint32_t fund_circular_queue_available_get(fund_circular_queue_t const *q) {
  return q->size - fund_circular_queue_utilization_get(q);
}

uint32_t fund_circular_queue_in(fund_circular_queue_t *q, void const *p_data,
                                uint32_t element_count) {
  uint8_t const *src = static_cast<uint8_t const *>(p_data);
  uint8_t *storage = static_cast<uint8_t *>(q->p_buffer);
  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  uint32_t const start = q->start;
  uint32_t const end = q->end;
  uint32_t const free_space = q->size - held(q, start, end);
  if (element_count > free_space) {
    element_count = free_space;
  }
  uint32_t const contiguous = (start <= end) ? q->size + 1 - end : start - end;
  if (element_count < contiguous) {
    memcpy(storage + end * q->element_size, src, element_count * q->element_size);
    q->end = end + element_count;
  } else {
    // The copy reaches the end of the storage: the rest goes to its front.
    uint32_t const second = element_count - contiguous;
    memcpy(storage + end * q->element_size, src, contiguous * q->element_size);
    memcpy(storage, src + contiguous * q->element_size, second * q->element_size);
    q->end = second;
  }
  udrv_system_critical_section_end(&mask);
  return element_count;
}

uint32_t fund_circular_queue_out(fund_circular_queue_t *q, void *p_data, uint32_t element_count) {
  uint8_t *dst = static_cast<uint8_t *>(p_data);
  uint8_t const *storage = static_cast<uint8_t const *>(q->p_buffer);
  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  uint32_t const start = q->start;
  uint32_t const end = q->end;
  uint32_t const count = held(q, start, end);
  if (element_count > count) {
    element_count = count;
  }
  uint32_t const contiguous = (end >= start) ? end - start : q->size + 1 - start;
  if (element_count < contiguous || end >= start) {
    memcpy(dst, storage + start * q->element_size, element_count * q->element_size);
    uint32_t next = start + element_count;
    q->start = (next > q->size) ? 0 : next;
  } else {
    uint32_t const second = element_count - contiguous;
    memcpy(dst, storage + start * q->element_size, contiguous * q->element_size);
    memcpy(dst + contiguous * q->element_size, storage, second * q->element_size);
    q->start = second;
  }
  udrv_system_critical_section_end(&mask);
  return element_count;
}

int32_t fund_circular_queue_peek(fund_circular_queue_t const *q, void *p_element) {
  uint32_t const start = q->start;
  if (start == q->end) {
    return -UDRV_NOT_FOUND;
  }
  uint8_t const *src = static_cast<uint8_t const *>(q->p_buffer) + start * q->element_size;
  memcpy(p_element, src, q->element_size);
  return 0;
}
