// Print: text output on top of a byte sink; Stream: a Print that can also be
// read from.
//
// Every print operation returns what the sink's write returned: the number
// of bytes written, or the sink's negative result (a locked or closed serial
// port), and operations made of several writes return the sum.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "api_string.h"

#define DEC 10
#define HEX 16
#define OCT 8
#define BIN 2

// Size of the buffer printf renders into; longer texts are cut.
#define PRINT_PRINTF_BUFFER_SIZE 256

class Print {
 public:
  Print() : write_error(0) {}

  // The sink: one byte, or a run of bytes (the default writes the bytes
  // one at a time and adds up the results).
  virtual int write(uint8_t c) = 0;
  virtual int write(const uint8_t *buffer, size_t size);

  int write(const char *str);
  int write(const char *buffer, size_t size);

  int print(const String &s);
  int print(const char *s);
  int print(const __FlashStringHelper *s);
  int print(char c);
  int print(unsigned char value, int base = DEC);
  int print(int value, int base = DEC);
  int print(unsigned int value, int base = DEC);
  int print(long value, int base = DEC);
  int print(unsigned long value, int base = DEC);
  // Fixed-point with `digits` decimals (0 to 17), "nan" and "inf" as the C
  // library writes them.
  int print(double value, int digits = 2);

  int println();
  int println(const String &s);
  int println(const char *s);
  int println(const __FlashStringHelper *s);
  int println(char c);
  int println(unsigned char value, int base = DEC);
  int println(int value, int base = DEC);
  int println(unsigned int value, int base = DEC);
  int println(long value, int base = DEC);
  int println(unsigned long value, int base = DEC);
  int println(double value, int digits = 2);

  // Renders into a 256-byte buffer, writes the rendered text (at most 255
  // characters) and returns the length of the complete rendering.
  int printf(const char *format, ...) __attribute__((format(printf, 2, 3)));

 protected:
  int32_t write_error;

 private:
  int print_number(const char *text, unsigned int length);
};

class Stream : public Print {
 public:
  Stream() : timeOut(0), startTime(0) {}

  virtual void flush() = 0;
  // The next byte without taking it, the bytes waiting, the next byte;
  // -1 (or the source's negative result) when there is none.
  virtual int peek() = 0;
  virtual int available() = 0;
  virtual int read() = 0;

 protected:
  uint32_t timeOut;    // ms
  uint32_t startTime;  // ms
};
