#include "udrv_timer.h"

void udrv_timer_init(void) {
  if (timer_driver.TIMER_INIT != nullptr) {
    timer_driver.TIMER_INIT();
  }
}

int32_t udrv_system_timer_create(SysTimerID_E timer_id, timer_handler tmr_handler,
                                 TimerMode_E mode) {
  return uhal_sys_timer_create(timer_id, tmr_handler, mode);
}

int32_t udrv_system_timer_start(SysTimerID_E timer_id, uint32_t count, void *m_data) {
  return uhal_sys_timer_start(timer_id, count, m_data);
}

int32_t udrv_system_timer_stop(SysTimerID_E timer_id) { return uhal_sys_timer_stop(timer_id); }

void udrv_system_timer_handler_handler(void *pdata) { uhal_timer_handler_handler(pdata); }

int32_t udrv_system_user_app_timer_create(timer_handler tmr_handler, TimerMode_E mode) {
  return uhal_sys_user_app_timer_create(tmr_handler, mode);
}

int32_t udrv_system_user_app_timer_start(uint32_t count, void *m_data) {
  return uhal_sys_user_app_timer_start(count, m_data);
}

int32_t udrv_system_user_app_timer_stop(void) { return uhal_sys_user_app_timer_stop(); }
