// Element queues: a ring of size + 1 slots; each operation runs with
// interrupts masked, so handlers and the main loop may share a queue.
#include <cstring>

#include "internal.h"
#include "nrf_queue.h"

namespace {

struct Masked {
  uint32_t saved = sim::get_primask();
  Masked() { sim::set_primask(1); }
  ~Masked() { sim::set_primask(saved); }
};

size_t slots(nrf_queue_t const* q) { return q->size + 1; }
size_t used(nrf_queue_t const* q) { return (q->p_cb->back + slots(q) - q->p_cb->front) % slots(q); }
uint8_t* slot(nrf_queue_t const* q, size_t i) {
  return static_cast<uint8_t*>(q->p_buffer) + i * q->element_size;
}
void put_one(nrf_queue_t const* q, void const* e) {
  std::memcpy(slot(q, q->p_cb->back), e, q->element_size);
  q->p_cb->back = (q->p_cb->back + 1) % slots(q);
  size_t u = used(q);
  if (u > q->p_cb->max_utilization) q->p_cb->max_utilization = u;
}
void get_one(nrf_queue_t const* q, void* e) {
  std::memcpy(e, slot(q, q->p_cb->front), q->element_size);
  q->p_cb->front = (q->p_cb->front + 1) % slots(q);
}

}  // namespace

void nrf_queue_reset(nrf_queue_t const* q) {
  Masked m;
  q->p_cb->front = q->p_cb->back = 0;
}

ret_code_t nrf_queue_push(nrf_queue_t const* q, void const* e) {
  Masked m;
  if (used(q) == q->size) {
    if (q->mode == NRF_QUEUE_MODE_NO_OVERFLOW) return NRF_ERROR_NO_MEM;
    q->p_cb->front = (q->p_cb->front + 1) % slots(q);
  }
  put_one(q, e);
  return NRF_SUCCESS;
}

ret_code_t nrf_queue_pop(nrf_queue_t const* q, void* e) {
  Masked m;
  if (used(q) == 0) return NRF_ERROR_NOT_FOUND;
  get_one(q, e);
  return NRF_SUCCESS;
}

ret_code_t nrf_queue_peek(nrf_queue_t const* q, void* e) {
  Masked m;
  if (used(q) == 0) return NRF_ERROR_NOT_FOUND;
  std::memcpy(e, slot(q, q->p_cb->front), q->element_size);
  return NRF_SUCCESS;
}

ret_code_t nrf_queue_write(nrf_queue_t const* q, void const* data, size_t n) {
  Masked m;
  if (q->size - used(q) < n) return NRF_ERROR_NO_MEM;
  for (size_t i = 0; i < n; ++i)
    put_one(q, static_cast<uint8_t const*>(data) + i * q->element_size);
  return NRF_SUCCESS;
}

ret_code_t nrf_queue_read(nrf_queue_t const* q, void* data, size_t n) {
  Masked m;
  if (used(q) < n) return NRF_ERROR_NOT_FOUND;
  for (size_t i = 0; i < n; ++i) get_one(q, static_cast<uint8_t*>(data) + i * q->element_size);
  return NRF_SUCCESS;
}

size_t nrf_queue_in(nrf_queue_t const* q, void const* data, size_t n) {
  Masked m;
  size_t room = q->size - used(q);
  if (n > room) n = room;
  for (size_t i = 0; i < n; ++i)
    put_one(q, static_cast<uint8_t const*>(data) + i * q->element_size);
  return n;
}

size_t nrf_queue_out(nrf_queue_t const* q, void* data, size_t n) {
  Masked m;
  size_t u = used(q);
  if (n > u) n = u;
  for (size_t i = 0; i < n; ++i) get_one(q, static_cast<uint8_t*>(data) + i * q->element_size);
  return n;
}

bool nrf_queue_is_empty(nrf_queue_t const* q) { return nrf_queue_utilization_get(q) == 0; }
bool nrf_queue_is_full(nrf_queue_t const* q) { return nrf_queue_utilization_get(q) == q->size; }
size_t nrf_queue_utilization_get(nrf_queue_t const* q) {
  Masked m;
  return used(q);
}
size_t nrf_queue_available_get(nrf_queue_t const* q) {
  return q->size - nrf_queue_utilization_get(q);
}
