/*!
 * \file systime.cpp
 *
 * \brief System time over the board's RTC calendar time and backup words.
 */
#include "systime.h"

#include "rtc-board.h"

#define END_OF_FEBRUARY_LEAP 60
#define END_OF_JULY_LEAP 213
#define END_OF_FEBRUARY_NORM 59
#define END_OF_JULY_NORM 212

// Days to add to the 30.5-day month estimate, two bits per month.
#define DAYS_IN_MONTH_CORRECTION_NORM ((uint32_t)0x99AAA0)
#define DAYS_IN_MONTH_CORRECTION_LEAP ((uint32_t)0x445550)

// 365.25 days per year as (x * 91867 + 22750) >> 25, and the inverse.
#define DIVC(X, N) (((X) + (N)-1) / (N))

// 1968-01-01 (a leap year) is 731 days before the Unix epoch.
#define CALC_REF_YEAR 68
#define DAYS_FROM_1968_TO_1970 731U

SysTime_t SysTimeAdd(SysTime_t a, SysTime_t b) {
  SysTime_t c = {0, 0};

  c.Seconds = a.Seconds + b.Seconds;
  c.SubSeconds = (int16_t)(a.SubSeconds + b.SubSeconds);
  if (c.SubSeconds >= 1000) {
    c.Seconds++;
    c.SubSeconds = (int16_t)(c.SubSeconds - 1000);
  }
  return c;
}

SysTime_t SysTimeSub(SysTime_t a, SysTime_t b) {
  SysTime_t c = {0, 0};

  c.Seconds = a.Seconds - b.Seconds;
  c.SubSeconds = (int16_t)(a.SubSeconds - b.SubSeconds);
  if (c.SubSeconds < 0) {
    c.Seconds--;
    c.SubSeconds = (int16_t)(c.SubSeconds + 1000);
  }
  return c;
}

static SysTime_t StoredDelta(void) {
  uint32_t seconds = 0;
  uint32_t subSeconds = 0;
  RtcBkupRead(&seconds, &subSeconds);
  SysTime_t delta = {seconds, (int16_t)subSeconds};
  return delta;
}

void SysTimeSet(SysTime_t sysTime) {
  SysTime_t calendarTime = SysTimeGetMcuTime();
  SysTime_t deltaTime = SysTimeSub(sysTime, calendarTime);

  RtcBkupWrite(deltaTime.Seconds, (uint32_t)deltaTime.SubSeconds);
}

SysTime_t SysTimeGet(void) { return SysTimeAdd(SysTimeGetMcuTime(), StoredDelta()); }

SysTime_t SysTimeGetMcuTime(void) {
  SysTime_t calendarTime = {0, 0};
  uint16_t ms = 0;
  calendarTime.Seconds = RtcGetCalendarTime(&ms);
  calendarTime.SubSeconds = (int16_t)ms;
  return calendarTime;
}

uint32_t SysTimeToMs(SysTime_t sysTime) {
  SysTime_t calendarTime = SysTimeSub(sysTime, StoredDelta());
  return calendarTime.Seconds * 1000 + (uint32_t)calendarTime.SubSeconds;
}

SysTime_t SysTimeFromMs(uint32_t timeMs) {
  uint32_t seconds = timeMs / 1000;
  SysTime_t sysTime = {seconds, (int16_t)(timeMs - seconds * 1000)};
  return SysTimeAdd(sysTime, StoredDelta());
}

void SysTimeLocalTime(const uint32_t timestamp, struct tm* localtime) {
  uint32_t correctionMonth[4] = {DAYS_IN_MONTH_CORRECTION_LEAP, DAYS_IN_MONTH_CORRECTION_NORM,
                                 DAYS_IN_MONTH_CORRECTION_NORM, DAYS_IN_MONTH_CORRECTION_NORM};
  // From 1968 every fourth year is a leap year (exact up to 2099); 64-bit so
  // that the shift of the base cannot overflow for late timestamps.
  uint64_t seconds = (uint64_t)timestamp + (uint64_t)DAYS_FROM_1968_TO_1970 * TM_SECONDS_IN_1DAY;
  uint32_t days = (uint32_t)(seconds / TM_SECONDS_IN_1DAY);
  uint32_t secondsOfDay = (uint32_t)(seconds % TM_SECONDS_IN_1DAY);

  localtime->tm_sec = (int)(secondsOfDay % TM_SECONDS_IN_1MINUTE);
  uint32_t minutes = secondsOfDay / TM_SECONDS_IN_1MINUTE;
  localtime->tm_min = (int)(minutes % TM_MINUTES_IN_1HOUR);
  localtime->tm_hour = (int)(minutes / TM_MINUTES_IN_1HOUR);

  // Years since 1968: days / 365.25.
  uint32_t year = (uint32_t)(((uint64_t)days * 91867ULL + 22750ULL) >> 25);
  days -= (year * 1461 + 3) / 4;
  localtime->tm_yday = (int)days;

  uint32_t month;
  bool leap = (year % 4) == 0;
  uint32_t endFeb = leap ? END_OF_FEBRUARY_LEAP : END_OF_FEBRUARY_NORM;
  uint32_t endJul = leap ? END_OF_JULY_LEAP : END_OF_JULY_NORM;
  if (days < endFeb) {
    month = (days * 2) / 61;  // January, February
  } else if (days < endJul) {
    month = 2 + ((days - endFeb) * 2) / 61;  // March to July
  } else {
    month = 7 + ((days - endJul) * 2) / 61;  // August to December
  }
  localtime->tm_mon = (int)month;

  uint32_t correction = (correctionMonth[year % 4] >> (month * 2)) & 0x03;
  localtime->tm_mday = (int)(days - (61 * month + 1) / 2 + 1 + correction);

  localtime->tm_wday = (int)((localtime->tm_yday + (5 * year + 3) / 4 + 1) % 7);
  localtime->tm_year = (int)(year + CALC_REF_YEAR);
  localtime->tm_isdst = -1;
}
