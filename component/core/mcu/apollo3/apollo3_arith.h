// The Apollo3 port's arithmetic: the UART rate table, millisecond/tick
// conversions of the kernel and the RTC, and the alarm and counter-wrap
// rules of the RTC. Plain functions, so that their edge cases are checked
// on their own.
#pragma once

#include <stdint.h>

// The rate the UART is programmed with for a requested rate (ranges of the
// table inclusive; above 960800 the 1 Mbaud rate).
inline uint32_t apollo3_uart_rate(uint32_t requested) {
  struct Row {
    uint32_t up_to;
    uint32_t rate;
  };
  constexpr Row kRows[] = {
      {1800, 1200},     {3600, 2400},     {7200, 4800},     {12000, 9600},    {16800, 14400},
      {24000, 19200},   {30025, 28800},   {34825, 31250},   {47200, 38400},   {56800, 56000},
      {67200, 57600},   {96000, 76800},   {172800, 115200}, {240200, 230400}, {355400, 250000},
      {691200, 460800}, {960800, 921600},
  };
  for (const Row &row : kRows) {
    if (requested <= row.up_to) {
      return row.rate;
    }
  }
  return 1000000;
}

// Milliseconds to kernel ticks: a tick is 32/32768 s, so ms x 1.024 in
// single precision, truncated. A period that would not fit a tick count
// (up to 4294967295 ms may be asked for) is held at the largest one instead
// of an undefined conversion.
inline uint32_t apollo3_ms_to_ticks(uint32_t ms) {
  float const ticks = static_cast<float>(ms) * 1.024f;
  if (ticks >= 4294967040.0f) {
    return 0xFFFFFF00u;
  }
  return static_cast<uint32_t>(ticks);
}

// RTC ticks (1/32768 s) and milliseconds, single precision, truncated.
inline uint64_t apollo3_tick2ms(uint64_t tick) {
  return static_cast<uint64_t>(static_cast<float>(tick) * 1000.0f / 32768.0f);
}

inline uint64_t apollo3_ms2tick(uint64_t ms) {
  return static_cast<uint64_t>(static_cast<float>(ms) * 32768.0f / 1000.0f);
}

// The alarm's compare value: `count` ticks after `reference`, seen from the
// counter at `now` (32-bit wrap). A time already passed fires at once: it
// is not taken as one almost 2^32 ticks (36 hours) ahead, which would stop
// the whole timer list.
inline uint32_t apollo3_alarm_delta(uint32_t reference, uint32_t count, uint32_t now) {
  uint32_t const delta = reference + count - now;
  return static_cast<int32_t>(delta) < 0 ? 0 : delta;
}

// Ticks from `old_ts` to `counter`, with the port's wrap arithmetic
// (0xFFFFFFFF for a full turn).
inline uint64_t apollo3_elapsed(uint64_t counter, uint64_t old_ts) {
  return old_ts <= counter ? counter - old_ts : counter + (0xFFFFFFFFull - old_ts);
}

// What the RTC board layer returns for a new timer context read at
// `counter` after `previous`: the counter, or after a wrap the counter plus
// 0xFFFFFFFF (mod 2^32).
inline uint32_t apollo3_timer_context(uint32_t counter, uint32_t previous) {
  return counter < previous ? counter + 0xFFFFFFFFu : counter;
}
