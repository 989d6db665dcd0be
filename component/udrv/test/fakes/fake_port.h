// A small stand-in for the port layer (uhal_ operations and operation tables)
// for unit tests of the runtime core: flash in memory with erase and program
// counters and failure injection, serial ports with captured output, a
// settable millisecond clock, an interrupt mask, and a log of the calls that
// tests check the order of.
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "qiv_config.h"

namespace fake {

#if defined(QIV_MCU_APOLLO3)
constexpr uint32_t default_page_size = 8192;
constexpr uint32_t write_unit = 4;
#elif defined(QIV_MCU_STM32WLE5)
constexpr uint32_t default_page_size = 2048;
constexpr uint32_t write_unit = 8;  // double words
#else
constexpr uint32_t default_page_size = 4096;
constexpr uint32_t write_unit = 4;
#endif

struct FlashPageStats {
  int erases = 0;
  int programs = 0;
};

struct Port {
  // Flash: erased bytes read 0xFF. As on the chip, a program is refused
  // (nothing written, -7) unless it is aligned to the write unit, a whole
  // number of units long and every target byte is erased; a unit is
  // programmed at a time, so a failure part-way leaves the earlier units
  // written.
  uint32_t page_size = default_page_size;
  std::map<uint32_t, std::vector<uint8_t>> pages;  // page address -> bytes
  std::map<uint32_t, FlashPageStats> page_stats;
  uint32_t fail_erase_at = UINT32_MAX;    // page address whose erase fails
  uint32_t fail_program_at = UINT32_MAX;  // page address whose program fails
  // Write units programmed before every further program fails (a supply
  // lost part-way through a write).
  uint32_t units_before_failure = UINT32_MAX;
  int refused_programs = 0;                // programs refused by the chip's rules
  std::function<void(uint32_t)> on_erase;  // runs inside an erase ("interrupt")

  // Serial ports.
  struct Serial {
    bool open = false;
    int inits = 0;
    int deinits = 0;
    uint32_t baudrate = 0;
    std::string rx;
    std::string tx;
  };
  Serial serial[8];
  // Rates the fake's ports can be opened at.
  uint32_t min_baudrate = 300;
  uint32_t max_baudrate = 115200;

  // Clock and interrupt mask.
  uint64_t now_ms = 1000;
  uint64_t clock_step_ms = 0;  // added to the clock after every read
  uint32_t primask = 0;

  // Call log ("adc_suspend", "mcu_sleep", ...).
  std::vector<std::string> log;
  int dfu_entries = 0;
  int user_app_timer_stops = 0;
  // Runs on every MCU_SLEEP call; by default it ends the sleep.
  std::function<void()> on_sleep;

  // BLE: the port's result of setting the device address.
  int32_t ble_mac_result = 0;

  // Board strap read by the defaults (non-zero: high band).
  uint8_t band_strap = 1;
  int band_strap_reads = 0;

  // The dispatcher and the AT interpreter.
  std::function<void(void *, uint16_t)> dispatcher;
  std::string cli_bytes[8];
  int cli_inits[8] = {};

  // The user program.
  int setup_calls = 0;
  int loop_calls = 0;
  std::function<void()> on_loop;

  void reset();
  uint8_t flash_byte(uint32_t addr) const;
  void flash_put(uint32_t addr, std::vector<uint8_t> const &bytes);
  void flash_erase_all();
  int total_erases() const;
  int total_programs() const;
};

extern Port port;

}  // namespace fake
