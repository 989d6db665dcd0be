// The MAC's timer interface on the STM32WLE5 images: the vendor timer server
// carries every MAC, region and radio timer (expiries run in the RTC alarm
// interrupt). The names are those the shared MAC code uses.
#ifndef __TIMER_H__
#define __TIMER_H__

#include <stdbool.h>
#include <stdint.h>

#include "util_timer.h"

typedef UTIL_TIMER_Object_t TimerEvent_t;
typedef uint32_t TimerTime_t;
#define TIMERTIME_T_MAX ((uint32_t)~0)

// A one-shot timer with no period yet; the context passed to the callback is
// the timer's argument (none).
static inline void TimerInit(TimerEvent_t* obj, void (*callback)(void* context)) {
  UTIL_TIMER_Create(obj, 0xFFFFFFFFu, UTIL_TIMER_ONESHOT, callback, nullptr);
}

static inline void TimerStart(TimerEvent_t* obj) { UTIL_TIMER_Start(obj); }
static inline void TimerStop(TimerEvent_t* obj) { UTIL_TIMER_Stop(obj); }

// Setting the time stops the timer: the MAC always starts it afterwards, and
// a running timer must not expire with the old time meanwhile.
static inline void TimerSetValue(TimerEvent_t* obj, uint32_t value) {
  UTIL_TIMER_Stop(obj);
  UTIL_TIMER_SetPeriod(obj, value);
}

static inline TimerTime_t TimerGetCurrentTime(void) { return UTIL_TIMER_GetCurrentTime(); }

// ms since past (a TimerGetCurrentTime value); 0 when past is 0.
static inline TimerTime_t TimerGetElapsedTime(TimerTime_t past) {
  return past == 0 ? 0 : UTIL_TIMER_GetElapsedTime(past);
}

// The class B timings are not corrected for the crystal's temperature on
// these modules: the period is used as it is.
static inline TimerTime_t TimerTempCompensation(TimerTime_t period, float temperature) {
  (void)temperature;
  return period;
}

#endif  // __TIMER_H__
