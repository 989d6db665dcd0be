// System time: the calendar time of the board's RTC plus an offset kept in
// backup registers, behind the driver record UTIL_SYSTIMDriver.
#pragma once

#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#define UNIX_GPS_EPOCH_OFFSET 315964800
#define TM_SECONDS_IN_1DAY 86400UL

typedef struct SysTime_s {
  uint32_t Seconds;
  int16_t SubSeconds;  // milliseconds
} SysTime_t;

typedef struct {
  void (*BKUPWrite_Seconds)(uint32_t seconds);
  uint32_t (*BKUPRead_Seconds)(void);
  void (*BKUPWrite_SubSeconds)(uint32_t sub_seconds);
  uint32_t (*BKUPRead_SubSeconds)(void);
  uint32_t (*GetCalendarTime)(uint16_t* sub_seconds);  // seconds, ms through the pointer
} UTIL_SYSTIM_Driver_s;

// Filled by the board.
extern const UTIL_SYSTIM_Driver_s UTIL_SYSTIMDriver;

SysTime_t SysTimeAdd(SysTime_t a, SysTime_t b);
SysTime_t SysTimeSub(SysTime_t a, SysTime_t b);
void SysTimeSet(SysTime_t sys_time);
SysTime_t SysTimeGet(void);
SysTime_t SysTimeGetMcuTime(void);
uint32_t SysTimeToMs(SysTime_t sys_time);
SysTime_t SysTimeFromMs(uint32_t time_ms);
void SysTimeLocalTime(uint32_t timestamp, struct tm* local_time);

#ifdef __cplusplus
}  // extern "C"
#endif
