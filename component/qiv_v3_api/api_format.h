// Number texts shared by String and Print.
#pragma once

#include <stdint.h>

// Longest text of a 32-bit number: 32 binary digits, a sign, the terminator.
#define API_NUMBER_TEXT_SIZE 34

// Writes the number in `base` (2 to 36; any other base is taken as 10) with
// lower-case digits and returns its length. A negative value is written with
// a '-' in base 10 and as its 32-bit two's complement in any other base.
unsigned int api_format_signed(char *out, long value, unsigned int base);
unsigned int api_format_unsigned(char *out, unsigned long value, unsigned int base);
