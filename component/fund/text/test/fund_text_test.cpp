// The text helpers against the host C library's strnlen() and
// strncasecmp(), which they stand in for on the modules.
#include <gtest/gtest.h>
#include <string.h>
#include <strings.h>

#include "fund_text.h"

namespace {

int sign(int v) { return (v > 0) - (v < 0); }

TEST(FundText, StrnlenMatchesTheCLibrary) {
  // A buffer without a terminator inside the limit: the helper must stop at
  // the limit, never read past it.
  const char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(fund_strnlen(unterminated, sizeof unterminated), 4u);
  EXPECT_EQ(fund_strnlen(unterminated, 2), 2u);
  struct Case {
    const char *text;
    size_t max;
  };
  for (const Case &c : {Case{"", 0}, Case{"", 5}, Case{"abc", 0}, Case{"abc", 2}, Case{"abc", 3},
                        Case{"abc", 4}, Case{"abc", 100}, Case{"a\0bc", 4}}) {
    EXPECT_EQ(fund_strnlen(c.text, c.max), strnlen(c.text, c.max)) << c.text << " " << c.max;
  }
}

TEST(FundText, StrncasecmpMatchesTheCLibraryInSign) {
  struct Case {
    const char *a;
    const char *b;
    size_t n;
  };
  for (const Case &c : {
           Case{"at+atm", "AT+ATM", 6},
           Case{"AT+ATMX", "at+atm", 6},  // differs only past the limit
           Case{"AT+ATMX", "at+atm", 7},  // the terminator orders first
           Case{"at+at", "AT+ATM", 6},    // shorter
           Case{"abc", "abd", 3},
           Case{"abd", "ABC", 3},
           Case{"ab", "AB", 0},
           Case{"", "", 5},
           Case{"[", "{", 1},  // not letters: no folding
           Case{"Z", "a", 1},
           Case{"\xe9", "\xc9", 1},  // beyond ASCII: compared as bytes
           Case{"\xff", "a", 1},
       }) {
    EXPECT_EQ(sign(fund_strncasecmp(c.a, c.b, c.n)), sign(strncasecmp(c.a, c.b, c.n)))
        << c.a << " " << c.b << " " << c.n;
  }
}

}  // namespace
