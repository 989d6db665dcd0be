#include "udrv_delay.h"

#include "qiv_runtime.h"
#include "udrv_rtc.h"
#include "udrv_timer.h"

void udrv_delay_ms(uint32_t ms_time) { uhal_delay_ms(ms_time); }

void udrv_app_delay_ms(uint32_t ms_time) {
  uint64_t const end = udrv_rtc_get_timestamp(UDRV_RTC_2) + ms_time;
  udrv_system_user_app_timer_stop();
  while (udrv_rtc_get_timestamp(UDRV_RTC_2) < end) {
    qiv_running();
  }
}
