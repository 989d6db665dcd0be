/*
 * Test stand-in for the timer list's time functions: a clock the test sets
 * (fake_time.h).
 */
#ifndef __TIMER_H__
#define __TIMER_H__

#include <stdint.h>

typedef uint32_t TimerTime_t;
#define TIMERTIME_T_MAX ((TimerTime_t)0xFFFFFFFF)

TimerTime_t TimerGetCurrentTime(void);
TimerTime_t TimerGetElapsedTime(TimerTime_t past);

#endif  // __TIMER_H__
