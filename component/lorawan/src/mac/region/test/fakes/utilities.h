/*
 * Test stand-in for the pseudo-random helper: the test decides what it draws
 * (fake_random.h).
 */
#ifndef __UTILITIES_H__
#define __UTILITIES_H__

#include <stdint.h>

int32_t randr(int32_t min, int32_t max);

#endif  // __UTILITIES_H__
