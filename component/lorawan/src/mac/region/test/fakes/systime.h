/*
 * Test stand-in for the system time record.
 */
#ifndef __SYSTIME_H__
#define __SYSTIME_H__

#include <stdint.h>

typedef struct SysTime_s {
  uint32_t Seconds;
  int16_t SubSeconds;
} SysTime_t;

#endif  // __SYSTIME_H__
