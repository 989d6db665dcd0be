/*!
 * \file rtc-board.h
 *
 * \brief The board's RTC as the timer list and system time need it: one
 *        alarm relative to a timer context, tick/ms conversions, the calendar
 *        time and two backup words.
 */
#ifndef __RTC_BOARD_H__
#define __RTC_BOARD_H__

#include <stdint.h>

#include "timer.h"

void RtcInit(void);
/*! Stores the counter as the new reference and returns it. */
uint32_t RtcSetTimerContext(void);
uint32_t RtcGetTimerContext(void);
/*! Shortest alarm the RTC can arm, in ticks. */
uint32_t RtcGetMinimumTimeout(void);
uint32_t RtcMs2Tick(TimerTime_t milliseconds);
TimerTime_t RtcTick2Ms(uint32_t tick);
/*! Arms the one alarm timeout ticks after the context; it calls TimerIrqHandler. */
void RtcSetAlarm(uint32_t timeout);
void RtcStopAlarm(void);
uint32_t RtcGetTimerValue(void);
/*! Ticks since the context. */
uint32_t RtcGetTimerElapsedTime(void);
/*! Seconds since the start of the RTC time base; the ms part goes to *milliseconds. */
uint32_t RtcGetCalendarTime(uint16_t* milliseconds);
void RtcBkupWrite(uint32_t data0, uint32_t data1);
void RtcBkupRead(uint32_t* data0, uint32_t* data1);
TimerTime_t RtcTempCompensation(TimerTime_t period, float temperature);

#endif  // __RTC_BOARD_H__
