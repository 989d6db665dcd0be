// System time over the board's calendar time and backup registers.
#include "util_systime.h"

namespace {

const UTIL_SYSTIM_Driver_s& drv() { return UTIL_SYSTIMDriver; }

SysTime_t calendar() {
  uint16_t ms = 0;
  SysTime_t t;
  t.Seconds = drv().GetCalendarTime(&ms);
  t.SubSeconds = static_cast<int16_t>(ms);
  return t;
}

SysTime_t stored_delta() {
  SysTime_t d;
  d.Seconds = drv().BKUPRead_Seconds();
  d.SubSeconds = static_cast<int16_t>(drv().BKUPRead_SubSeconds());
  return d;
}

constexpr uint32_t kDaysInMonthCorrectionNorm = 0x99AAA0;
constexpr uint32_t kDaysInMonthCorrectionLeap = 0x445550;
constexpr uint32_t kEndOfFebruaryLeap = 60;
constexpr uint32_t kEndOfFebruaryNorm = 59;
constexpr uint32_t kEndOfJulyLeap = 213;
constexpr uint32_t kEndOfJulyNorm = 212;

}  // namespace

SysTime_t SysTimeAdd(SysTime_t a, SysTime_t b) {
  SysTime_t c;
  c.Seconds = a.Seconds + b.Seconds;
  c.SubSeconds = static_cast<int16_t>(a.SubSeconds + b.SubSeconds);
  if (c.SubSeconds >= 1000) {
    c.Seconds += 1;
    c.SubSeconds = static_cast<int16_t>(c.SubSeconds - 1000);
  }
  return c;
}

SysTime_t SysTimeSub(SysTime_t a, SysTime_t b) {
  SysTime_t c;
  c.Seconds = a.Seconds - b.Seconds;
  c.SubSeconds = static_cast<int16_t>(a.SubSeconds - b.SubSeconds);
  if (c.SubSeconds < 0) {
    c.Seconds -= 1;
    c.SubSeconds = static_cast<int16_t>(c.SubSeconds + 1000);
  }
  return c;
}

void SysTimeSet(SysTime_t sys_time) {
  SysTime_t delta = SysTimeSub(sys_time, calendar());
  drv().BKUPWrite_Seconds(delta.Seconds);
  drv().BKUPWrite_SubSeconds(static_cast<uint32_t>(static_cast<uint16_t>(delta.SubSeconds)));
}

SysTime_t SysTimeGet(void) { return SysTimeAdd(calendar(), stored_delta()); }

SysTime_t SysTimeGetMcuTime(void) { return calendar(); }

uint32_t SysTimeToMs(SysTime_t sys_time) {
  SysTime_t mcu = SysTimeSub(sys_time, stored_delta());
  return mcu.Seconds * 1000u + static_cast<uint32_t>(mcu.SubSeconds);
}

SysTime_t SysTimeFromMs(uint32_t time_ms) {
  SysTime_t t;
  t.Seconds = time_ms / 1000u;
  t.SubSeconds = static_cast<int16_t>(time_ms % 1000u);
  return SysTimeAdd(t, stored_delta());
}

void SysTimeLocalTime(uint32_t timestamp, struct tm* local_time) {
  // Count from 1968-01-01, a leap year, so that every fourth year is one.
  uint32_t seconds = timestamp + 63158400u;
  uint32_t days = seconds / TM_SECONDS_IN_1DAY;
  uint32_t sec_of_day = seconds % TM_SECONDS_IN_1DAY;
  local_time->tm_sec = static_cast<int>(sec_of_day % 60);
  local_time->tm_min = static_cast<int>((sec_of_day / 60) % 60);
  local_time->tm_hour = static_cast<int>(sec_of_day / 3600);

  uint32_t year = static_cast<uint32_t>((static_cast<uint64_t>(days) * 91867u + 22750u) >> 25);
  days -= (year * 1461u + 3u) / 4u;
  local_time->tm_yday = static_cast<int>(days);

  bool leap = year % 4 == 0;
  uint32_t feb_end = leap ? kEndOfFebruaryLeap : kEndOfFebruaryNorm;
  uint32_t jul_end = leap ? kEndOfJulyLeap : kEndOfJulyNorm;
  uint32_t month;
  if (days < feb_end) {
    month = 2 * days / 61;
  } else if (days < jul_end) {
    month = 2 + 2 * (days - feb_end) / 61;
  } else {
    month = 7 + 2 * (days - jul_end) / 61;
  }
  local_time->tm_mon = static_cast<int>(month);
  uint32_t correction = leap ? kDaysInMonthCorrectionLeap : kDaysInMonthCorrectionNorm;
  local_time->tm_mday =
      static_cast<int>(days - (61 * month + 1) / 2 + 1 + ((correction >> (2 * month)) & 3u));
  local_time->tm_wday =
      static_cast<int>((static_cast<uint32_t>(local_time->tm_yday) + (5 * year + 3) / 4 + 1) % 7);
  local_time->tm_year = static_cast<int>(year + 68);
  local_time->tm_isdst = -1;
}
