/*!
 * \file timer.h
 *
 * \brief Software timers multiplexed onto the one alarm of the board's RTC,
 *        in one list sorted by expiry.
 */
#ifndef __TIMER_H__
#define __TIMER_H__

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

typedef struct TimerEvent_s {
  uint32_t Timestamp;    //!< ticks until expiry, relative to the RTC timer context
  uint32_t ReloadValue;  //!< the period in ticks set by TimerSetValue
  bool IsStarted;        //!< in the list
  bool IsNext2Expire;    //!< the head, with the alarm armed for it
  void (*Callback)(void* context);
  void* Context;
  struct TimerEvent_s* Next;
} TimerEvent_t;

typedef uint32_t TimerTime_t;
#define TIMERTIME_T_MAX ((uint32_t)~0)

void TimerInit(TimerEvent_t* obj, void (*callback)(void* context));
void TimerIrqHandler(void);
void TimerStart(TimerEvent_t* obj);
void TimerStop(TimerEvent_t* obj);
/*! Sets the time in ms; always stops the timer. */
void TimerSetValue(TimerEvent_t* obj, uint32_t value);
TimerTime_t TimerGetCurrentTime(void);
/*! ms since past (a TimerGetCurrentTime value); 0 when past is 0. */
TimerTime_t TimerGetElapsedTime(TimerTime_t past);
TimerTime_t TimerTempCompensation(TimerTime_t period, float temperature);

#endif  // __TIMER_H__
