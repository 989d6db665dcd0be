// String: a heap-backed, zero-terminated text for user programs.
//
// A String whose allocation failed is invalid: empty, without a buffer, and
// printing it writes nothing. Operations that would need more memory than is
// available leave the string as it was and report false.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Texts kept in program memory on targets that separate it; here a plain
// text with its own type, so that print() can tell it apart.
class __FlashStringHelper;
#define F(string_literal) (reinterpret_cast<const __FlashStringHelper *>(string_literal))

class String {
  friend class Print;

 public:
  String(const char *cstr = "");
  String(const String &str);
  String(String &&rval) noexcept;
  explicit String(const __FlashStringHelper *str);
  explicit String(char c);
  explicit String(unsigned char value, unsigned char base = 10);
  explicit String(int value, unsigned char base = 10);
  explicit String(unsigned int value, unsigned char base = 10);
  explicit String(long value, unsigned char base = 10);
  explicit String(unsigned long value, unsigned char base = 10);
  ~String();

  String &operator=(const String &rhs);
  String &operator=(String &&rval) noexcept;
  String &operator=(const char *cstr);

  // Room for `size` characters (and the terminator); false when the
  // memory is not there (the string is then unchanged).
  bool reserve(unsigned int size);
  unsigned int length() const { return len; }
  // The text; "" for an invalid string.
  const char *c_str() const;

  // Appending: false when the memory is not there (unchanged then).
  bool concat(const String &str);
  bool concat(const char *cstr);
  bool concat(char c);
  bool concat(unsigned char value);
  bool concat(int value);
  bool concat(unsigned int value);
  bool concat(long value);
  bool concat(unsigned long value);
  String &operator+=(const String &rhs);
  String &operator+=(const char *cstr);
  String &operator+=(char c);
  String &operator+=(unsigned char value);
  String &operator+=(int value);
  String &operator+=(unsigned int value);
  String &operator+=(long value);
  String &operator+=(unsigned long value);

  // Comparison, byte by byte (an invalid string equals "").
  int compareTo(const String &s) const;
  bool equals(const String &s) const;
  bool equals(const char *cstr) const;
  bool operator==(const String &rhs) const { return equals(rhs); }
  bool operator==(const char *cstr) const { return equals(cstr); }
  bool startsWith(const String &prefix) const;
  bool endsWith(const String &suffix) const;

  // Characters and search; an index past the end reads 0 / finds -1.
  char charAt(unsigned int index) const;
  char operator[](unsigned int index) const { return charAt(index); }
  int indexOf(char ch, unsigned int fromIndex = 0) const;
  int indexOf(const String &str, unsigned int fromIndex = 0) const;
  // Characters [beginIndex, endIndex); the bounds are ordered and cut to
  // the text.
  String substring(unsigned int beginIndex) const;
  String substring(unsigned int beginIndex, unsigned int endIndex) const;

  // Case (ASCII letters only).
  void toUpperCase();
  void toLowerCase();

  // The leading decimal number (after blanks, with an optional sign), 0
  // when there is none; saturates at the limits of the chips' 32-bit long.
  int32_t toInt() const;

 protected:
  char *buffer;           // the text, zero-terminated; null when invalid
  unsigned int capacity;  // characters the buffer holds, terminator aside
  unsigned int len;       // characters of the text

  void init();
  void invalidate();
  bool changeBuffer(unsigned int maxStrLen);
  String &copy(const char *cstr, unsigned int length);
  void move(String &rhs);
  bool append(const char *cstr, unsigned int length);
};

String operator+(const String &lhs, const String &rhs);
String operator+(const String &lhs, const char *rhs);
String operator+(const char *lhs, const String &rhs);
