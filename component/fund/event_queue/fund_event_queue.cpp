#include "fund_event_queue.h"

#include <string.h>

#include "udrv_system.h"

alignas(event_header_t) uint32_t FUND_EVENT_QUEUE_BUF[FUND_EVENT_QUEUE_BUF_SIZE / sizeof(uint32_t)];

// The queue starts out as the system event queue, so that events posted
// before start-up reaches the queue's set-up are kept rather than refused.
static event_header_t *m_queue_event_headers =
    reinterpret_cast<event_header_t *>(FUND_EVENT_QUEUE_BUF);
static uint8_t *m_queue_event_data = reinterpret_cast<uint8_t *>(FUND_EVENT_QUEUE_BUF) +
                                     (EVENT_QUEUE_SIZE + 1) * sizeof(event_header_t);
static uint16_t m_queue_event_size = EVENT_DATA_SIZE;
static uint16_t m_queue_size = EVENT_QUEUE_SIZE;
static volatile uint8_t m_queue_start_index;
static volatile uint8_t m_queue_end_index;
static volatile uint32_t m_queue_dropped;

static inline uint8_t next_index(uint8_t index) {
  return (index < m_queue_size) ? static_cast<uint8_t>(index + 1) : 0;
}

int32_t fund_event_queue_init(uint16_t event_size, uint16_t queue_size, void *p_evt_buffer) {
  if ((reinterpret_cast<uintptr_t>(p_evt_buffer) % alignof(event_header_t)) != 0) {
    return -UDRV_ADDR_NOT_ALIGNED;
  }
  // Indices are 8 bits wide; a handler gets a copy of its event.
  if (queue_size > 255 || event_size > FUND_EVENT_QUEUE_MAX_EVENT_SIZE) {
    return -UDRV_BUFF_OVERFLOW;
  }
  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  m_queue_event_headers = static_cast<event_header_t *>(p_evt_buffer);
  m_queue_event_data =
      static_cast<uint8_t *>(p_evt_buffer) + (queue_size + 1) * sizeof(event_header_t);
  m_queue_event_size = event_size;
  m_queue_size = queue_size;
  m_queue_start_index = 0;
  m_queue_end_index = 0;
  udrv_system_critical_section_end(&mask);
  return 0;
}

bool fund_event_queue_is_configured(uint16_t event_size, uint16_t queue_size,
                                    void const *p_evt_buffer) {
  return m_queue_event_headers == p_evt_buffer && m_queue_event_size == event_size &&
         m_queue_size == queue_size;
}

int32_t fund_event_queue_put(void const *p_event_data, uint16_t event_data_size,
                             fund_event_queue_handler_t handler) {
  if (event_data_size > m_queue_event_size) {
    return -UDRV_BUFF_OVERFLOW;
  }
  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  uint8_t const index = m_queue_end_index;
  if (next_index(index) == m_queue_start_index) {
    m_queue_dropped = m_queue_dropped + 1;
    udrv_system_critical_section_end(&mask);
    return -UDRV_INTERNAL_ERR;
  }
  m_queue_event_headers[index].handler = handler;
  if (p_event_data != nullptr && event_data_size != 0) {
    memcpy(&m_queue_event_data[index * m_queue_event_size], p_event_data, event_data_size);
    m_queue_event_headers[index].event_data_size = event_data_size;
  } else {
    m_queue_event_headers[index].event_data_size = 0;
  }
  // The slot is complete before the end index passes it.
  m_queue_end_index = next_index(index);
  udrv_system_critical_section_end(&mask);
  return 0;
}

void fund_event_queue_execute(void) {
  while (m_queue_start_index != m_queue_end_index) {
    uint8_t const index = m_queue_start_index;
    udrv_thread_lock();
    fund_event_queue_handler_t const handler = m_queue_event_headers[index].handler;
    uint16_t const size = m_queue_event_headers[index].event_data_size;
    // The handler works on a copy: once the start index moves on, the
    // slot may be refilled by a producer while the handler still runs.
    alignas(8) uint8_t data[FUND_EVENT_QUEUE_MAX_EVENT_SIZE];
    memcpy(data, &m_queue_event_data[index * m_queue_event_size], size);
    m_queue_start_index = next_index(index);
    if (handler != nullptr) {
      handler(data, size);
    }
    udrv_thread_unlock();
  }
}

uint16_t fund_event_queue_space_get(void) {
  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  int32_t queued =
      static_cast<int32_t>(m_queue_end_index) - static_cast<int32_t>(m_queue_start_index);
  if (queued < 0) {
    queued += m_queue_size + 1;
  }
  uint16_t const space = static_cast<uint16_t>(m_queue_size - queued);
  udrv_system_critical_section_end(&mask);
  return space;
}

uint32_t fund_event_queue_dropped_get(void) { return m_queue_dropped; }
