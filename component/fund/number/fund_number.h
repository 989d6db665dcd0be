// Text to number as the chips' C library reads it: their long is 32 bits
// wide, so strtol and strtoul saturate at the 32-bit limits there. These
// give the same results on a host whose long is wider.
#pragma once

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>

// strtol with a 32-bit long: a number beyond INT32_MIN..INT32_MAX gives the
// limit on its side. `end` as for strtol.
inline int32_t fund_strtol32(const char *text, char **end, int base) {
  const long long value = strtoll(text, end, base);  // at least 64 bits
  return value < INT32_MIN   ? INT32_MIN
         : value > INT32_MAX ? INT32_MAX
                             : static_cast<int32_t>(value);
}

// strtoul with a 32-bit unsigned long: a magnitude above UINT32_MAX gives
// UINT32_MAX (with either sign); a '-' negates the magnitude modulo 2^32.
// `end` as for strtoul.
inline uint32_t fund_strtoul32(const char *text, char **end, int base) {
  const char *p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
    ++p;
  }
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') {
    ++p;
  }
  // strtoull would take a second sign or blanks after the first; strtoul
  // reads no number there.
  if (*p == '-' || *p == '+' || *p == ' ' || (*p >= '\t' && *p <= '\r')) {
    if (end != nullptr) {
      *end = const_cast<char *>(text);
    }
    return 0;
  }
  char *stop = nullptr;
  const int saved_errno = errno;
  errno = 0;
  const unsigned long long magnitude = strtoull(p, &stop, base);
  const bool too_large = errno == ERANGE || magnitude > UINT32_MAX;
  if (errno == 0) {
    errno = saved_errno;
  }
  if (end != nullptr) {
    *end = stop == p ? const_cast<char *>(text) : stop;
  }
  if (too_large) {
    errno = ERANGE;
    return UINT32_MAX;
  }
  const uint32_t value = static_cast<uint32_t>(magnitude);
  return negative ? 0U - value : value;
}
