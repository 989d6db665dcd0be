#include "udrv_system.h"

#include "fund_event_queue.h"

static_assert(sizeof(udrv_system_event_t) == EVENT_DATA_SIZE, "a slot holds one system event");

int32_t udrv_system_event_init(void) {
  // The queue starts out set up this way; setting it up again would drop
  // the events that producers posted during start-up.
  if (fund_event_queue_is_configured(EVENT_DATA_SIZE, EVENT_QUEUE_SIZE, FUND_EVENT_QUEUE_BUF)) {
    return 0;
  }
  return fund_event_queue_init(EVENT_DATA_SIZE, EVENT_QUEUE_SIZE, FUND_EVENT_QUEUE_BUF);
}

int32_t udrv_system_event_produce(udrv_system_event_t *event) {
  return fund_event_queue_put(event, sizeof(udrv_system_event_t), qiv_event_handler_func);
}

void udrv_system_event_consume(void) { fund_event_queue_execute(); }

void udrv_system_critical_section_begin(uint32_t *mask) {
  uhal_sys_board_critical_section_begin(mask);
}

void udrv_system_critical_section_end(uint32_t *mask) { uhal_sys_board_critical_section_end(mask); }

void udrv_thread_lock(void) {}

void udrv_thread_unlock(void) {}

void udrv_system_reboot(void) { uhal_sys_reboot(); }

#ifdef SUPPORT_LORA
uint32_t udrv_system_random(uint32_t maxvalue) { return uhal_sys_random(maxvalue); }
#endif
