// The MAC's system time on the STM32WLE5 images: the vendor system time over
// the RTC and its backup registers.
#ifndef __SYS_TIME_H__
#define __SYS_TIME_H__

#include "util_systime.h"

#endif  // __SYS_TIME_H__
