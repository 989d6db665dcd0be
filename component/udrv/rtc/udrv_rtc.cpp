#include "udrv_rtc.h"

uint64_t udrv_rtc_get_timestamp(RtcID_E timer_id) {
#if !QIV_CHIP_RTC_ALARMS
  (void)timer_id;  // one time base on this port
  return uhal_rtc_get_timestamp();
#else
  return uhal_rtc_get_timestamp(timer_id);
#endif
}

void udrv_rtc_suspend(void) { uhal_rtc_suspend(); }

void udrv_rtc_resume(void) { uhal_rtc_resume(); }

#if QIV_CHIP_RTC_ALARMS
int32_t udrv_rtc_init(RtcID_E timer_id, rtc_handler handler) {
  return uhal_rtc_init(timer_id, handler, 32768);
}

uint64_t udrv_rtc_tick2ms(uint64_t tick) { return uhal_rtc_tick2ms(tick); }

uint64_t udrv_rtc_ms2tick(uint64_t ms) { return uhal_rtc_ms2tick(ms); }

int32_t udrv_rtc_set_alarm(RtcID_E timer_id, uint64_t count, void *m_data) {
  return uhal_rtc_set_alarm(timer_id, count, m_data);
}

int32_t udrv_rtc_cancel_alarm(RtcID_E timer_id) { return uhal_rtc_cancel_alarm(timer_id); }

uint64_t udrv_rtc_get_counter(RtcID_E timer_id) { return uhal_rtc_get_counter(timer_id); }

uint64_t udrv_rtc_get_elapsed_time(RtcID_E timer_id, uint64_t old_ts) {
  return uhal_rtc_get_elapsed_time(timer_id, old_ts);
}

void udrv_rtc_timer_handler_handler(void *pdata) { uhal_rtc_handler_handler(pdata); }
#endif
