/*!
 * \file systime.h
 *
 * \brief System time: the RTC calendar time plus an offset kept in backup
 *        storage, with conversions to and from milliseconds and to calendar
 *        fields.
 */
#ifndef __SYS_TIME_H__
#define __SYS_TIME_H__

#include <stdint.h>
#include <time.h>

/*! Seconds from the Unix epoch to the GPS epoch. */
#define UNIX_GPS_EPOCH_OFFSET 315964800

#define TM_DAYS_IN_LEAP_YEAR (366U)
#define TM_DAYS_IN_YEAR (365U)
#define TM_SECONDS_IN_1DAY (86400UL)
#define TM_SECONDS_IN_1HOUR (3600UL)
#define TM_SECONDS_IN_1MINUTE (60UL)
#define TM_MINUTES_IN_1HOUR (60UL)
#define TM_HOURS_IN_1DAY (24UL)

typedef struct SysTime_s {
  uint32_t Seconds;
  int16_t SubSeconds;  //!< milliseconds, 0 to 999 when normalised
} SysTime_t;

SysTime_t SysTimeAdd(SysTime_t a, SysTime_t b);
SysTime_t SysTimeSub(SysTime_t a, SysTime_t b);
void SysTimeSet(SysTime_t sysTime);
SysTime_t SysTimeGet(void);
SysTime_t SysTimeGetMcuTime(void);
uint32_t SysTimeToMs(SysTime_t sysTime);
SysTime_t SysTimeFromMs(uint32_t timeMs);
/*! Calendar fields (UTC) of seconds since 1970-01-01 00:00:00; exact to 2099. */
void SysTimeLocalTime(const uint32_t timestamp, struct tm* localtime);

#endif  // __SYS_TIME_H__
