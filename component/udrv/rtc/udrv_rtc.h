// RTC class: forwarded to the port. UDRV_RTC_2 is the millisecond time base
// of the delay and sleep logic.
#pragma once

#include <stdint.h>

#include "qiv_config.h"
#include "udrv_errno.h"

typedef enum : uint8_t {
  UDRV_RTC_0 = 0,
  UDRV_RTC_1 = 1,
  UDRV_RTC_2 = 2,
  UDRV_RTC_MAX = 3,
} RtcID_E;

typedef void (*rtc_handler)(void *pdata);

// Milliseconds of the time base.
uint64_t udrv_rtc_get_timestamp(RtcID_E timer_id);
void udrv_rtc_suspend(void);
void udrv_rtc_resume(void);

#if QIV_CHIP_RTC_ALARMS
// The RTC alarm and counter operations of the ports that drive their own
// timer list from the RTC (a port on a vendor timer server has none).
int32_t udrv_rtc_init(RtcID_E timer_id, rtc_handler handler);
uint64_t udrv_rtc_tick2ms(uint64_t tick);
uint64_t udrv_rtc_ms2tick(uint64_t ms);
int32_t udrv_rtc_set_alarm(RtcID_E timer_id, uint64_t count, void *m_data);
int32_t udrv_rtc_cancel_alarm(RtcID_E timer_id);
uint64_t udrv_rtc_get_counter(RtcID_E timer_id);
uint64_t udrv_rtc_get_elapsed_time(RtcID_E timer_id, uint64_t old_ts);
// Runs the RTC alarm in the dispatcher's context.
void udrv_rtc_timer_handler_handler(void *pdata);
#endif

// ---- Port contract: what every port provides for this class ----
// Keep the RTC counting across sleep (it is the wake-up clock).
void uhal_rtc_suspend(void);
void uhal_rtc_resume(void);
#if !QIV_CHIP_RTC_ALARMS
// Milliseconds since start, one time base for every id.
uint64_t uhal_rtc_get_timestamp(void);
#else
// Milliseconds of the id's time base since start.
uint64_t uhal_rtc_get_timestamp(RtcID_E timer_id);
// Start the id's counter at hz ticks per second with its alarm handler: 0 or
// a negated code.
int32_t uhal_rtc_init(RtcID_E timer_id, rtc_handler handler, uint32_t hz);
// Convert between counter ticks and milliseconds.
uint64_t uhal_rtc_tick2ms(uint64_t tick);
uint64_t uhal_rtc_ms2tick(uint64_t ms);
// Arm the id's alarm count ticks ahead; its interrupt posts
// UDRV_SYS_EVT_OP_RTC with m_data. 0 or a negated code.
int32_t uhal_rtc_set_alarm(RtcID_E timer_id, uint64_t count, void *m_data);
int32_t uhal_rtc_cancel_alarm(RtcID_E timer_id);
// The id's counter in ticks, and the ticks passed since old_ts.
uint64_t uhal_rtc_get_counter(RtcID_E timer_id);
uint64_t uhal_rtc_get_elapsed_time(RtcID_E timer_id, uint64_t old_ts);
// Run the alarm handler carried by an RTC event.
void uhal_rtc_handler_handler(void *pdata);
#endif
