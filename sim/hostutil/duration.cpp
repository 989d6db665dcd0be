#include "hostutil/duration.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace hostutil {

bool parse_duration(std::string_view text, time_us* out, std::string* error, unsigned forms) {
  auto refuse = [&](const std::string& why) {
    if (error)
      *error = "bad duration \"" + std::string(text) + "\": " + why +
               " (a number and one of us, ms, s, m, min, h" + (forms & kDays ? ", d" : "") +
               ", e.g. 250ms or 1.5h)";
    return false;
  };
  // The number is read by hand: strtod would also take leading blanks, a
  // sign, exponents, hex floats, "inf" and "nan", none of which a person
  // means by a duration.
  size_t i = 0;
  double whole = 0;
  size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    whole = whole * 10 + (text[i++] - '0');
    ++digits;
  }
  double fraction = 0, scale_down = 1;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      scale_down /= 10;
      fraction += (text[i++] - '0') * scale_down;
      ++digits;
    }
  }
  if (digits == 0) return refuse("no number");
  std::string_view unit = text.substr(i);
  double scale;
  if (unit.empty() && !(forms & kBareMicroseconds)) return refuse("no unit");
  if (unit.empty() || unit == "us")
    scale = 1;
  else if (unit == "ms")
    scale = 1e3;
  else if (unit == "s")
    scale = 1e6;
  else if (unit == "m" || unit == "min")
    scale = 60e6;
  else if (unit == "h")
    scale = 3600e6;
  else if (unit == "d" && (forms & kDays))
    scale = 86400e6;
  else
    return refuse("unknown unit \"" + std::string(unit) + "\"");
  double us = std::round((whole + fraction) * scale);
  // The largest time is kNever, which means "no time at all": stay well
  // below it (and below what a double holds exactly enough to convert).
  if (!(us < 1.8e19)) return refuse("too long");
  *out = static_cast<time_us>(us);
  return true;
}

std::string format_time(time_us t) {
  if (t == kNever) return "never";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%llu.%06llus", static_cast<unsigned long long>(t / 1000000),
                static_cast<unsigned long long>(t % 1000000));
  return buf;
}

int64_t monotonic_us() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace hostutil
