#include "api_print.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "api_format.h"

int Print::write(const uint8_t *buffer, size_t size) {
  int total = 0;
  for (size_t i = 0; i < size; ++i) {
    total += write(buffer[i]);
  }
  return total;
}

int Print::write(const char *str) {
  if (str == nullptr || str[0] == '\0') {
    return 0;
  }
  return write(reinterpret_cast<const uint8_t *>(str), strlen(str));
}

int Print::write(const char *buffer, size_t size) {
  return write(reinterpret_cast<const uint8_t *>(buffer), size);
}

int Print::print(const String &s) {
  // An empty or invalid (bufferless) string writes nothing and that is no
  // error: the ports refuse a write of no bytes, so none is made.
  if (s.len == 0 || s.c_str() == nullptr) {
    return 0;
  }
  return write(reinterpret_cast<const uint8_t *>(s.c_str()), s.len);
}

int Print::print(const char *s) {
  // The text passes through a temporary String on the heap.
  String text(s);
  return print(text);
}

int Print::print(const __FlashStringHelper *s) { return print(reinterpret_cast<const char *>(s)); }

int Print::print(char c) { return write(static_cast<uint8_t>(c)); }

int Print::print_number(const char *text, unsigned int length) {
  return write(reinterpret_cast<const uint8_t *>(text), length);
}

int Print::print(unsigned char value, int base) {
  return print(static_cast<unsigned long>(value), base);
}

int Print::print(int value, int base) { return print(static_cast<long>(value), base); }

int Print::print(unsigned int value, int base) {
  return print(static_cast<unsigned long>(value), base);
}

int Print::print(long value, int base) {
  char text[API_NUMBER_TEXT_SIZE];
  return print_number(text,
                      api_format_signed(text, api_long32(value), static_cast<unsigned int>(base)));
}

int Print::print(unsigned long value, int base) {
  char text[API_NUMBER_TEXT_SIZE];
  return print_number(
      text, api_format_unsigned(text, api_ulong32(value), static_cast<unsigned int>(base)));
}

int Print::print(double value, int digits) {
  if (digits < 0) {
    digits = 0;
  } else if (digits > 17) {
    digits = 17;
  }
  // Bounded: a value too large for the buffer is cut.
  char text[64];
  int n = snprintf(text, sizeof(text), "%.*f", digits, value);
  if (n < 0) {
    return 0;
  }
  unsigned int length =
      static_cast<unsigned int>(n) < sizeof(text) ? static_cast<unsigned int>(n) : sizeof(text) - 1;
  return print_number(text, length);
}

int Print::println() { return print("\r\n"); }

int Print::println(const String &s) {
  int n = print(s);
  return n + println();
}

int Print::println(const char *s) {
  int n = print(s);
  return n + println();
}

int Print::println(const __FlashStringHelper *s) {
  int n = print(s);
  return n + println();
}

int Print::println(char c) {
  int n = print(c);
  return n + println();
}

int Print::println(unsigned char value, int base) {
  int n = print(value, base);
  return n + println();
}

int Print::println(int value, int base) {
  int n = print(value, base);
  return n + println();
}

int Print::println(unsigned int value, int base) {
  int n = print(value, base);
  return n + println();
}

int Print::println(long value, int base) {
  int n = print(value, base);
  return n + println();
}

int Print::println(unsigned long value, int base) {
  int n = print(value, base);
  return n + println();
}

int Print::println(double value, int digits) {
  int n = print(value, digits);
  return n + println();
}

int Print::printf(const char *format, ...) {
  char text[PRINT_PRINTF_BUFFER_SIZE];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(text, sizeof(text), format, ap);
  va_end(ap);
  if (n < 0) {
    return n;
  }
  size_t written =
      static_cast<size_t>(n) < sizeof(text) ? static_cast<size_t>(n) : sizeof(text) - 1;
  write(reinterpret_cast<const uint8_t *>(text), written);
  return n;
}
