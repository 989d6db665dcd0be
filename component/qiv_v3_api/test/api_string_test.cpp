// String and the formatting of Print, on a Print that collects what it is
// given.
#include <gtest/gtest.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>

#include <functional>
#include <string>
#include <vector>

#include "api_print.h"
#include "api_string.h"

namespace {

// A sink that keeps the bytes, or refuses every write with `result`.
class Sink : public Print {
 public:
  std::string out;
  int result = 0;  // 0: accept
  int writes = 0;

  int write(uint8_t c) override { return write(&c, 1); }
  int write(const uint8_t *buffer, size_t size) override {
    ++writes;
    if (result != 0) {
      return result;
    }
    out.append(reinterpret_cast<const char *>(buffer), size);
    return static_cast<int>(size);
  }
};

// A String equals the text, has its length, and is zero-terminated there.
testing::AssertionResult holds(const String &s, const std::string &text) {
  if (s.length() != text.size() || std::string(s.c_str(), s.length()) != text ||
      s.c_str()[s.length()] != '\0') {
    return testing::AssertionFailure() << "holds \"" << std::string(s.c_str(), s.length()) << "\" ("
                                       << s.length() << "), not \"" << text << "\"";
  }
  return testing::AssertionSuccess();
}

TEST(ApiString, BuildAssignAndAppend) {
  struct Case {
    const char *what;
    std::function<String()> make;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"from text", [] { return String("abc"); }, "abc"},
      {"from null", [] { return String(static_cast<const char *>(nullptr)); }, ""},
      {"default", [] { return String(); }, ""},
      {"char", [] { return String('x'); }, "x"},
      {"nul char", [] { return String('\0'); }, ""},
      {"copy",
       [] {
         String a("copy");
         String b(a);
         return b;
       },
       "copy"},
      {"assign null",
       [] {
         String a("gone");
         a = static_cast<const char *>(nullptr);
         return a;
       },
       ""},
      {"assign shorter",
       [] {
         String a("longer text");
         a = "tiny";
         return a;
       },
       "tiny"},
      {"assign longer",
       [] {
         String a("t");
         a = "a much longer text";
         return a;
       },
       "a much longer text"},
      {"assign own tail",
       [] {
         String a("prefix-tail");
         a = a.c_str() + 7;
         return a;
       },
       "tail"},
      {"self assign",
       [] {
         String a("same");
         String &r = a;
         a = r;
         return a;
       },
       "same"},
      {"move",
       [] {
         String a("moved");
         String b(static_cast<String &&>(a));
         return b;
       },
       "moved"},
      {"concat",
       [] {
         String a("ab");
         a += "cd";
         a += 'e';
         a += String("fg");
         return a;
       },
       "abcdefg"},
      {"concat numbers",
       [] {
         String a("n=");
         a += -12;
         a += 34u;
         a += 56L;
         a += 78UL;
         return a;
       },
       "n=-12345678"},
      {"concat null",
       [] {
         String a("x");
         a.concat(static_cast<const char *>(nullptr));
         return a;
       },
       "x"},
      {"self concat",
       [] {
         String a("echo");
         a += a;
         return a;
       },
       "echoecho"},
      {"concat own tail",
       [] {
         String a("abcd");
         a += a.c_str() + 2;
         return a;
       },
       "abcdcd"},
      {"plus", [] { return String("a") + "b" + String("c"); }, "abc"},
      {"text plus", [] { return "x" + String("y"); }, "xy"},
      {"substring", [] { return String("hello world").substring(6); }, "world"},
      {"substring range", [] { return String("hello world").substring(1, 4); }, "ell"},
      {"substring swapped", [] { return String("hello world").substring(4, 1); }, "ell"},
      {"substring past end", [] { return String("hello").substring(3, 99); }, "lo"},
      {"substring beyond", [] { return String("hello").substring(9); }, ""},
      {"upper",
       [] {
         String a("MiXeD 1-z");
         a.toUpperCase();
         return a;
       },
       "MIXED 1-Z"},
      {"lower",
       [] {
         String a("MiXeD 1-Z");
         a.toLowerCase();
         return a;
       },
       "mixed 1-z"},
  };
  for (const Case &c : cases) {
    EXPECT_TRUE(holds(c.make(), c.text)) << c.what;
  }
}

TEST(ApiString, NumberTexts) {
  struct Case {
    String s;
    std::string text;
  };
  const std::vector<Case> cases = {
      {String(0), "0"},
      {String(-1), "-1"},
      {String(INT_MIN), "-2147483648"},
      {String(INT_MAX), "2147483647"},
      {String(-1, 16), "ffffffff"},
      {String(255u, 16), "ff"},
      {String(UINT_MAX, 2), std::string(32, '1')},
      {String(35L, 36), "z"},
      // long is 32 bits wide in the user API, as on the chips, on any host.
      {String(ULONG_MAX), "4294967295"},
      {String(LONG_MAX), "2147483647"},
      {String(LONG_MIN), "-2147483648"},
      {String(-1L, 16), "ffffffff"},
      {String(static_cast<unsigned char>(200)), "200"},
      {String(10, 1), "10"},   // no base 1: decimal
      {String(10, 37), "10"},  // no base 37: decimal
      {String(8, 8), "10"},
  };
  for (const Case &c : cases) {
    EXPECT_TRUE(holds(c.s, c.text)) << c.text;
  }
}

TEST(ApiString, CompareAndSearch) {
  const String hello("hello");
  EXPECT_TRUE(hello == "hello");
  EXPECT_FALSE(hello == "hell");
  EXPECT_FALSE(hello == "hello!");
  EXPECT_TRUE(hello == String("hello"));
  EXPECT_TRUE(hello != String("Hello"));
  EXPECT_TRUE(String() == static_cast<const char *>(nullptr));
  EXPECT_EQ(hello.compareTo(String("help")), -1);
  EXPECT_EQ(hello.compareTo(String("hell")), 1);
  EXPECT_EQ(hello.compareTo(String("hello")), 0);
  EXPECT_TRUE(hello.startsWith(String("he")));
  EXPECT_FALSE(hello.startsWith(String("hello world")));
  EXPECT_TRUE(hello.endsWith(String("llo")));
  EXPECT_FALSE(String("lo").endsWith(hello));
  EXPECT_EQ(hello.charAt(1), 'e');
  EXPECT_EQ(hello[5], '\0');
  EXPECT_EQ(hello[999], '\0');
  EXPECT_EQ(hello.indexOf('l'), 2);
  EXPECT_EQ(hello.indexOf('l', 3), 3);
  EXPECT_EQ(hello.indexOf('l', 4), -1);
  EXPECT_EQ(hello.indexOf('l', 99), -1);
  EXPECT_EQ(hello.indexOf(String("lo")), 3);
  EXPECT_EQ(hello.indexOf(String("")), 0);
  EXPECT_EQ(hello.indexOf(String("hello!")), -1);
  EXPECT_EQ(hello.indexOf(String("l"), 99), -1);
}

TEST(ApiString, ToInt) {
  struct Case {
    const char *text;
    int32_t value;
  };
  // Saturated at the limits of the chips' 32-bit long, on any host.
  for (const Case c : {Case{"42", 42}, Case{"  -17xyz", -17}, Case{"+8", 8}, Case{"abc", 0},
                       Case{"", 0}, Case{"2147483648", INT32_MAX}, Case{"99999999999", INT32_MAX},
                       Case{"-99999999999", INT32_MIN}}) {
    EXPECT_EQ(String(c.text).toInt(), c.value) << c.text;
  }
}

TEST(ApiString, ImpossibleSizesLeaveTheStringAsItWas) {
  String s("keep");
  EXPECT_FALSE(s.reserve(UINT_MAX));
  EXPECT_TRUE(holds(s, "keep"));
  EXPECT_TRUE(s.reserve(100));
  EXPECT_TRUE(holds(s, "keep"));
  EXPECT_TRUE(s.reserve(2)) << "room enough already";
  String empty;
  EXPECT_TRUE(empty.reserve(0));
  EXPECT_TRUE(holds(empty, ""));
}

TEST(ApiPrint, PrintAndPrintln) {
  struct Case {
    const char *what;
    std::function<int(Print &)> op;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"text", [](Print &p) { return p.print("abc"); }, "abc"},
      {"null text", [](Print &p) { return p.print(static_cast<const char *>(nullptr)); }, ""},
      {"String", [](Print &p) { return p.print(String("s")); }, "s"},
      {"flash text", [](Print &p) { return p.print(F("flash")); }, "flash"},
      {"char", [](Print &p) { return p.print('c'); }, "c"},
      {"int", [](Print &p) { return p.print(-42); }, "-42"},
      {"hex", [](Print &p) { return p.print(255, HEX); }, "ff"},
      {"negative hex", [](Print &p) { return p.print(-2, HEX); }, "fffffffe"},
      {"binary byte", [](Print &p) { return p.print(static_cast<unsigned char>(5), BIN); }, "101"},
      {"unsigned long", [](Print &p) { return p.print(4294967295UL); }, "4294967295"},
      {"long min", [](Print &p) { return p.print(LONG_MIN); }, "-2147483648"},
      {"long max", [](Print &p) { return p.print(LONG_MAX); }, "2147483647"},
      {"unsigned long max", [](Print &p) { return p.print(ULONG_MAX); }, "4294967295"},
      {"negative long hex", [](Print &p) { return p.print(-2L, HEX); }, "fffffffe"},
      {"octal", [](Print &p) { return p.print(8u, OCT); }, "10"},
      {"double", [](Print &p) { return p.print(3.14159); }, "3.14"},
      {"double 0 digits", [](Print &p) { return p.print(2.5, 0); }, "2"},
      {"double 4 digits", [](Print &p) { return p.print(-0.125, 4); }, "-0.1250"},
      {"double negative digits", [](Print &p) { return p.print(1.75, -3); }, "2"},
      {"double nan", [](Print &p) { return p.print(NAN); }, "nan"},
      {"double inf", [](Print &p) { return p.print(-INFINITY); }, "-inf"},
      {"line", [](Print &p) { return p.println(); }, "\r\n"},
      {"text line", [](Print &p) { return p.println("ab"); }, "ab\r\n"},
      {"flash line", [](Print &p) { return p.println(F("fl")); }, "fl\r\n"},
      {"String line", [](Print &p) { return p.println(String("st")); }, "st\r\n"},
      {"null line", [](Print &p) { return p.println(static_cast<const char *>(nullptr)); }, "\r\n"},
      {"number line", [](Print &p) { return p.println(10, HEX); }, "a\r\n"},
      {"double line", [](Print &p) { return p.println(0.5); }, "0.50\r\n"},
      {"raw text", [](Print &p) { return p.write("raw"); }, "raw"},
  };
  for (const Case &c : cases) {
    Sink sink;
    int n = c.op(sink);
    EXPECT_EQ(sink.out, c.out) << c.what;
    EXPECT_EQ(n, static_cast<int>(c.out.size())) << c.what;
  }
}

TEST(ApiPrint, HugeNumberIsCutToItsBuffer) {
  char full[400];
  snprintf(full, sizeof(full), "%.2f", 1e300);
  Sink sink;
  EXPECT_EQ(sink.print(1e300), 63);
  EXPECT_EQ(sink.out, std::string(full).substr(0, 63));
}

TEST(ApiPrint, RefusedWritesArePassedOnAndAddedUp) {
  Sink sink;
  sink.result = -8;
  EXPECT_EQ(sink.print("abc"), -8);
  EXPECT_EQ(sink.println("abc"), -16);
  EXPECT_EQ(sink.println(), -8);
  EXPECT_EQ(sink.print(12), -8);
  EXPECT_EQ(sink.out, "");
}

TEST(ApiPrint, PrintfIsCutAt255AndReturnsTheFullLength) {
  struct Case {
    size_t length;
    size_t written;
  };
  for (const Case c : {Case{0, 0}, Case{10, 10}, Case{254, 254}, Case{255, 255}, Case{256, 255},
                       Case{300, 255}, Case{2000, 255}}) {
    Sink sink;
    const std::string text(c.length, 'p');
    EXPECT_EQ(sink.printf("%s", text.c_str()), static_cast<int>(c.length));
    EXPECT_EQ(sink.out, text.substr(0, c.written)) << c.length;
  }
  Sink sink;
  EXPECT_EQ(sink.printf("%d%%-%s-%02X", 50, "x", 10), 8);
  EXPECT_EQ(sink.out, "50%-x-0A");
}

}  // namespace
