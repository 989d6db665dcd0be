// Small text helpers the firmware needs beyond standard C: the C library of
// the modules' toolchain keeps strnlen() and strncasecmp() (POSIX) out of
// standard C++ builds.
#pragma once

#include <stddef.h>

// The length of `text`, reading no further than `max` characters: `max` when
// no terminator comes first.
static inline size_t fund_strnlen(const char *text, size_t max) {
  size_t n = 0;
  while (n < max && text[n] != '\0') {
    n++;
  }
  return n;
}

// Compares at most `n` characters of `a` and `b` with ASCII letters folded to
// lower case: below zero, zero or above zero as `a` orders before, with or
// after `b` (the folded characters compared as unsigned char).
static inline int fund_strncasecmp(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; i++) {
    unsigned char ca = (unsigned char)a[i];
    unsigned char cb = (unsigned char)b[i];
    if (ca >= 'A' && ca <= 'Z') ca = (unsigned char)(ca - 'A' + 'a');
    if (cb >= 'A' && cb <= 'Z') cb = (unsigned char)(cb - 'A' + 'a');
    if (ca != cb) {
      return (int)ca - (int)cb;
    }
    if (ca == '\0') {
      return 0;
    }
  }
  return 0;
}
