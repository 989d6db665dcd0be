// Number texts shared by String and Print.
#pragma once

#include <stdint.h>

// Longest text of a 32-bit number: 32 binary digits, a sign, the terminator.
#define API_NUMBER_TEXT_SIZE 34

// `long` and `unsigned long` of the user API are 32 bits wide, as on the
// chips, whatever the host's: a value beyond 32 bits (only a 64-bit host's
// long holds one) is saturated, so LONG_MIN, LONG_MAX and ULONG_MAX give the
// chips' limits.
inline int32_t api_long32(long value) {
  return value < INT32_MIN   ? INT32_MIN
         : value > INT32_MAX ? INT32_MAX
                             : static_cast<int32_t>(value);
}
inline uint32_t api_ulong32(unsigned long value) {
  return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

// Writes the number in `base` (2 to 36; any other base is taken as 10) with
// lower-case digits and returns its length. A negative value is written with
// a '-' in base 10 and as its 32-bit two's complement in any other base.
unsigned int api_format_signed(char *out, int32_t value, unsigned int base);
unsigned int api_format_unsigned(char *out, uint32_t value, unsigned int base);
