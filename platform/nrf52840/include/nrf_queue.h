// Fixed-size element queues, safe between interrupt handlers and the main
// loop. In no-overflow mode a write that does not fit is refused.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  NRF_QUEUE_MODE_OVERFLOW,
  NRF_QUEUE_MODE_NO_OVERFLOW,
} nrf_queue_mode_t;

typedef struct {
  size_t front;
  size_t back;
  size_t max_utilization;
} nrf_queue_cb_t;

typedef struct {
  nrf_queue_cb_t *p_cb;
  void *p_buffer;
  size_t size;  // elements the queue holds
  size_t element_size;
  nrf_queue_mode_t mode;
} nrf_queue_t;

#define NRF_QUEUE_DEF(type, name, queue_size, queue_mode)                                       \
  static type name##_nrf_queue_buffer[(queue_size) + 1];                                        \
  static nrf_queue_cb_t name##_nrf_queue_cb;                                                    \
  static const nrf_queue_t name = {&name##_nrf_queue_cb, name##_nrf_queue_buffer, (queue_size), \
                                   sizeof(type), (queue_mode)}

void nrf_queue_reset(nrf_queue_t const *p_queue);
ret_code_t nrf_queue_push(nrf_queue_t const *p_queue, void const *p_element);
ret_code_t nrf_queue_pop(nrf_queue_t const *p_queue, void *p_element);
ret_code_t nrf_queue_peek(nrf_queue_t const *p_queue, void *p_element);
// All `element_count` elements or none (NRF_ERROR_NO_MEM / NRF_ERROR_NOT_FOUND).
ret_code_t nrf_queue_write(nrf_queue_t const *p_queue, void const *p_data, size_t element_count);
ret_code_t nrf_queue_read(nrf_queue_t const *p_queue, void *p_data, size_t element_count);
// As many as fit / as there are; the count.
size_t nrf_queue_in(nrf_queue_t const *p_queue, void const *p_data, size_t element_count);
size_t nrf_queue_out(nrf_queue_t const *p_queue, void *p_data, size_t element_count);
bool nrf_queue_is_empty(nrf_queue_t const *p_queue);
bool nrf_queue_is_full(nrf_queue_t const *p_queue);
size_t nrf_queue_utilization_get(nrf_queue_t const *p_queue);
size_t nrf_queue_available_get(nrf_queue_t const *p_queue);

#ifdef __cplusplus
}  // extern "C"
#endif
