#include "api_string.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "api_format.h"

// ------------------------------------------------------------ numbers ----

unsigned int api_format_unsigned(char *out, uint32_t value, unsigned int base) {
  if (base < 2 || base > 36) {
    base = 10;
  }
  char digits[API_NUMBER_TEXT_SIZE];
  unsigned int n = 0;
  do {
    unsigned int d = static_cast<unsigned int>(value % base);
    digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + (d - 10));
    value /= base;
  } while (value != 0);
  for (unsigned int i = 0; i < n; ++i) {
    out[i] = digits[n - 1 - i];
  }
  out[n] = '\0';
  return n;
}

unsigned int api_format_signed(char *out, int32_t value, unsigned int base) {
  if (base < 2 || base > 36) {
    base = 10;
  }
  if (value >= 0 || base != 10) {
    return api_format_unsigned(out, static_cast<uint32_t>(value), base);
  }
  out[0] = '-';
  // The magnitude of the most negative value does not fit an int32_t.
  uint32_t magnitude = 0U - static_cast<uint32_t>(value);
  return 1 + api_format_unsigned(out + 1, magnitude, base);
}

// ------------------------------------------------------------- String ----

void String::init() {
  buffer = nullptr;
  capacity = 0;
  len = 0;
}

void String::invalidate() {
  free(buffer);
  init();
}

bool String::changeBuffer(unsigned int maxStrLen) {
  // maxStrLen + 1 bytes must be a size.
  if (maxStrLen == UINT_MAX) {
    return false;
  }
  char *grown = static_cast<char *>(realloc(buffer, maxStrLen + 1));
  if (grown == nullptr) {
    return false;
  }
  buffer = grown;
  capacity = maxStrLen;
  return true;
}

bool String::reserve(unsigned int size) {
  if (buffer != nullptr && capacity >= size) {
    return true;
  }
  if (!changeBuffer(size)) {
    return false;
  }
  if (len == 0) {
    buffer[0] = '\0';
  }
  return true;
}

String &String::copy(const char *cstr, unsigned int length) {
  if (!reserve(length)) {
    invalidate();
    return *this;
  }
  len = length;
  // memmove: the text may lie in this string's own buffer.
  memmove(buffer, cstr, length);
  buffer[length] = '\0';
  return *this;
}

void String::move(String &rhs) {
  free(buffer);
  buffer = rhs.buffer;
  capacity = rhs.capacity;
  len = rhs.len;
  rhs.init();
}

bool String::append(const char *cstr, unsigned int length) {
  if (length == 0) {
    return true;
  }
  if (length > UINT_MAX - 1 - len) {
    return false;
  }
  // The text may be (part of) this string: find it again after the buffer
  // has moved.
  const uintptr_t at = reinterpret_cast<uintptr_t>(cstr);
  const uintptr_t own = reinterpret_cast<uintptr_t>(buffer);
  const bool inside = buffer != nullptr && at >= own && at < own + len;
  const uintptr_t offset = at - own;
  if (!reserve(len + length)) {
    return false;
  }
  if (inside) {
    cstr = buffer + offset;
  }
  memmove(buffer + len, cstr, length);
  len += length;
  buffer[len] = '\0';
  return true;
}

String::String(const char *cstr) {
  init();
  if (cstr != nullptr) {
    copy(cstr, static_cast<unsigned int>(strlen(cstr)));
  }
}

String::String(const String &str) {
  init();
  if (str.buffer != nullptr) {
    copy(str.buffer, str.len);
  }
}

String::String(String &&rval) noexcept {
  init();
  move(rval);
}

String::String(const __FlashStringHelper *str) : String(reinterpret_cast<const char *>(str)) {}

String::String(char c) {
  init();
  const char text[2] = {c, '\0'};
  copy(text, c == '\0' ? 0 : 1);
}

String::String(unsigned char value, unsigned char base)
    : String(static_cast<unsigned long>(value), base) {}

String::String(int value, unsigned char base) : String(static_cast<long>(value), base) {}

String::String(unsigned int value, unsigned char base)
    : String(static_cast<unsigned long>(value), base) {}

String::String(long value, unsigned char base) {
  init();
  char text[API_NUMBER_TEXT_SIZE];
  copy(text, api_format_signed(text, api_long32(value), base));
}

String::String(unsigned long value, unsigned char base) {
  init();
  char text[API_NUMBER_TEXT_SIZE];
  copy(text, api_format_unsigned(text, api_ulong32(value), base));
}

String::~String() { free(buffer); }

String &String::operator=(const String &rhs) {
  if (this == &rhs) {
    return *this;
  }
  if (rhs.buffer != nullptr) {
    copy(rhs.buffer, rhs.len);
  } else {
    invalidate();
  }
  return *this;
}

String &String::operator=(String &&rval) noexcept {
  if (this != &rval) {
    move(rval);
  }
  return *this;
}

String &String::operator=(const char *cstr) {
  if (cstr != nullptr) {
    copy(cstr, static_cast<unsigned int>(strlen(cstr)));
  } else {
    invalidate();
  }
  return *this;
}

const char *String::c_str() const { return buffer != nullptr ? buffer : ""; }

bool String::concat(const String &str) { return append(str.c_str(), str.len); }

bool String::concat(const char *cstr) {
  if (cstr == nullptr) {
    return false;
  }
  return append(cstr, static_cast<unsigned int>(strlen(cstr)));
}

bool String::concat(char c) { return append(&c, 1); }

bool String::concat(unsigned char value) { return concat(static_cast<unsigned long>(value)); }

bool String::concat(int value) { return concat(static_cast<long>(value)); }

bool String::concat(unsigned int value) { return concat(static_cast<unsigned long>(value)); }

bool String::concat(long value) {
  char text[API_NUMBER_TEXT_SIZE];
  return append(text, api_format_signed(text, api_long32(value), 10));
}

bool String::concat(unsigned long value) {
  char text[API_NUMBER_TEXT_SIZE];
  return append(text, api_format_unsigned(text, api_ulong32(value), 10));
}

String &String::operator+=(const String &rhs) {
  concat(rhs);
  return *this;
}

String &String::operator+=(const char *cstr) {
  concat(cstr);
  return *this;
}

String &String::operator+=(char c) {
  concat(c);
  return *this;
}

String &String::operator+=(unsigned char value) {
  concat(value);
  return *this;
}

String &String::operator+=(int value) {
  concat(value);
  return *this;
}

String &String::operator+=(unsigned int value) {
  concat(value);
  return *this;
}

String &String::operator+=(long value) {
  concat(value);
  return *this;
}

String &String::operator+=(unsigned long value) {
  concat(value);
  return *this;
}

String operator+(const String &lhs, const String &rhs) {
  String result(lhs);
  result.concat(rhs);
  return result;
}

String operator+(const String &lhs, const char *rhs) {
  String result(lhs);
  result.concat(rhs);
  return result;
}

String operator+(const char *lhs, const String &rhs) {
  String result(lhs);
  result.concat(rhs);
  return result;
}

int String::compareTo(const String &s) const {
  const unsigned int n = len < s.len ? len : s.len;
  int diff = memcmp(c_str(), s.c_str(), n);
  if (diff != 0) {
    return diff < 0 ? -1 : 1;
  }
  if (len == s.len) {
    return 0;
  }
  return len < s.len ? -1 : 1;
}

bool String::equals(const String &s) const {
  return len == s.len && memcmp(c_str(), s.c_str(), len) == 0;
}

bool String::equals(const char *cstr) const {
  if (cstr == nullptr) {
    return len == 0;
  }
  return strlen(cstr) == len && memcmp(c_str(), cstr, len) == 0;
}

bool String::startsWith(const String &prefix) const {
  return prefix.len <= len && memcmp(c_str(), prefix.c_str(), prefix.len) == 0;
}

bool String::endsWith(const String &suffix) const {
  return suffix.len <= len && memcmp(c_str() + (len - suffix.len), suffix.c_str(), suffix.len) == 0;
}

char String::charAt(unsigned int index) const { return index < len ? buffer[index] : '\0'; }

int String::indexOf(char ch, unsigned int fromIndex) const {
  for (unsigned int i = fromIndex; i < len; ++i) {
    if (buffer[i] == ch) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int String::indexOf(const String &str, unsigned int fromIndex) const {
  if (fromIndex > len || str.len > len - fromIndex) {
    return -1;
  }
  for (unsigned int i = fromIndex; i + str.len <= len; ++i) {
    if (memcmp(buffer + i, str.c_str(), str.len) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

String String::substring(unsigned int beginIndex) const { return substring(beginIndex, len); }

String String::substring(unsigned int beginIndex, unsigned int endIndex) const {
  if (beginIndex > endIndex) {
    unsigned int t = beginIndex;
    beginIndex = endIndex;
    endIndex = t;
  }
  String out;
  if (beginIndex >= len) {
    return out;
  }
  if (endIndex > len) {
    endIndex = len;
  }
  out.copy(buffer + beginIndex, endIndex - beginIndex);
  return out;
}

void String::toUpperCase() {
  for (unsigned int i = 0; i < len; ++i) {
    if (buffer[i] >= 'a' && buffer[i] <= 'z') {
      buffer[i] = static_cast<char>(buffer[i] - 'a' + 'A');
    }
  }
}

void String::toLowerCase() {
  for (unsigned int i = 0; i < len; ++i) {
    if (buffer[i] >= 'A' && buffer[i] <= 'Z') {
      buffer[i] = static_cast<char>(buffer[i] - 'A' + 'a');
    }
  }
}

int32_t String::toInt() const {
  // strtol saturates at LONG_MIN/LONG_MAX and stops at the first
  // character that is not part of the number; the result is then held to
  // the 32-bit long of the chips.
  return api_long32(strtol(c_str(), nullptr, 10));
}
