// Durations as a person types them on a command line, and times as tools
// print them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace hostutil {

using time_us = uint64_t;
constexpr time_us kNever = ~time_us{0};

// A decimal number and a unit: "90us", "250ms", "2s", "1.5m", "2min", "24h",
// "3d"; a number alone counts microseconds. No sign, no exponent, no
// spaces. Fractions round to the nearest microsecond. On a refusal `*out` is
// left as it was and `*error` (when given) says why.
bool parse_duration(std::string_view text, time_us* out, std::string* error = nullptr);

// "12.345678s"; kNever is "never".
std::string format_time(time_us t);

// Host wall-clock microseconds since an arbitrary start (monotonic).
int64_t monotonic_us();

}  // namespace hostutil
