// Durations as a person types them on a command line, and times as tools
// print them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace hostutil {

using time_us = uint64_t;
constexpr time_us kNever = ~time_us{0};

// A decimal number and a unit: "90us", "250ms", "2s", "1.5m", "2min", "24h".
// No sign, no exponent, no spaces. Fractions round to the nearest
// microsecond. `forms` adds what some programs also take: days ("3d") and a
// number alone, counted in microseconds ("100"); the world's tools take
// both, an image program's launcher neither. On a refusal `*out` is left as
// it was and `*error` (when given) says why.
enum DurationForms : unsigned {
  kDays = 1u << 0,
  kBareMicroseconds = 1u << 1,
  kAllDurationForms = kDays | kBareMicroseconds,
};
bool parse_duration(std::string_view text, time_us* out, std::string* error = nullptr,
                    unsigned forms = kAllDurationForms);

// "12.345678s"; kNever is "never".
std::string format_time(time_us t);

// Host wall-clock microseconds since an arbitrary start (monotonic).
int64_t monotonic_us();

}  // namespace hostutil
