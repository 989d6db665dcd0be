// fund_strtol32/fund_strtoul32 against what a C library with a 32-bit long
// (the chips') answers: the values below are those of strtol/strtoul there.
#include "fund_number.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
  const char *text;
  int base;
  uint32_t value;
  size_t consumed;  // characters up to where the number ends
};

TEST(FundNumber, Strtoul32ReadsAsA32BitUnsignedLong) {
  for (const Case &c : {
           Case{"0", 10, 0, 1},
           Case{"4294967295", 10, 4294967295u, 10},
           Case{"4294967296", 10, 4294967295u, 10},  // saturated, not wrapped
           Case{"99999999999999999999999", 10, 4294967295u, 23},
           Case{"-1", 10, 4294967295u, 2},  // negated modulo 2^32
           Case{"-4294967295", 10, 1u, 11},
           Case{"-4294967296", 10, 4294967295u, 11},
           Case{"  +12x", 10, 12u, 5},
           Case{"0x1F", 16, 31u, 4},
           Case{"--5", 10, 0, 0},
           Case{"- 5", 10, 0, 0},
           Case{"", 10, 0, 0},
           Case{"abc", 10, 0, 0},
       }) {
    char *end = nullptr;
    EXPECT_EQ(fund_strtoul32(c.text, &end, c.base), c.value) << c.text;
    EXPECT_EQ(static_cast<size_t>(end - c.text), c.consumed) << c.text;
  }
}

TEST(FundNumber, Strtol32SaturatesAtThe32BitLimits) {
  struct SignedCase {
    const char *text;
    int32_t value;
  };
  for (const SignedCase &c : {
           SignedCase{"2147483647", INT32_MAX},
           SignedCase{"2147483648", INT32_MAX},
           SignedCase{"4294967296", INT32_MAX},  // not wrapped to 0
           SignedCase{"-2147483648", INT32_MIN},
           SignedCase{"-2147483649", INT32_MIN},
           SignedCase{"-99999999999999999999999", INT32_MIN},
           SignedCase{" -17dBm", -17},
       }) {
    EXPECT_EQ(fund_strtol32(c.text, nullptr, 10), c.value) << c.text;
  }
}

}  // namespace
