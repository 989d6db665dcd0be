// A fake chip for the bootloader's logic: a byte port driven by a Peer (a
// scripted terminal or a YMODEM sender), flash mapped at 0x08000000 with the
// programming rules of the part, a millisecond tick that runs the SysTick
// handler, and resets/jumps turned into C++ exceptions that end a "boot".
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

int boot_main(void);  // the bootloader's main(), renamed for the tests

namespace fake {

constexpr uint32_t kFlashBase = 0x08000000;
constexpr uint32_t kFlashSize = 256 * 1024;
constexpr uint32_t kPageSize = 2048;
constexpr uint32_t kCutParts = 4;

// The other end of USART2.
class Peer {
 public:
  virtual ~Peer() = default;
  // A byte the chip transmitted at `now_ms`.
  virtual void from_chip(uint8_t byte, uint32_t now_ms) = 0;
  // The next byte for the chip at `now_ms`, or -1 when the line is quiet.
  virtual int to_chip(uint32_t now_ms) = 0;
};

// Sends fixed bytes, then stays quiet.
class ScriptPeer : public Peer {
 public:
  explicit ScriptPeer(const std::string& bytes) : bytes_(bytes.begin(), bytes.end()) {}
  void from_chip(uint8_t, uint32_t) override {}
  int to_chip(uint32_t) override {
    if (bytes_.empty()) return -1;
    int b = bytes_.front();
    bytes_.pop_front();
    return b;
  }
  bool consumed() const { return bytes_.empty(); }

 private:
  std::deque<uint8_t> bytes_;
};

// Sends a script first and then hands the line to another peer (a command
// typed at the terminal, then a file sender started on it). The other peer
// sees the chip's bytes only from the moment the script has been consumed.
class ThenPeer : public Peer {
 public:
  ThenPeer(const std::string& script, Peer* then) : script_(script), then_(then) {}
  void from_chip(uint8_t b, uint32_t now) override {
    if (script_.consumed() && then_) then_->from_chip(b, now);
  }
  int to_chip(uint32_t now) override {
    if (!script_.consumed()) return script_.to_chip(now);
    return then_ ? then_->to_chip(now) : -1;
  }

 private:
  ScriptPeer script_;
  Peer* then_;
};

struct Reset {};
struct Jump {
  uint32_t address;
};

struct Chip {
  uint8_t* flash = nullptr;  // == (uint8_t*)kFlashBase
  bool flash_locked = true;
  uint64_t erased_pages = 0;
  uint64_t programmed_units = 0;
  std::vector<uint32_t> erase_log;  // page numbers, in order
  // Fault injection.
  uint32_t fail_program_at = 0;     // HAL_FLASH_Program fails at this address
  uint32_t corrupt_program_at = 0;  // programs a wrong bit there, reports OK
  bool fail_erase = false;
  // Power cut: the flash operation numbered `cut_at` (from 1; the erase of
  // one page or the programming of one double word), counted on the pages
  // from `cut_first_page` to `cut_last_page` only, is done in part
  // (`cut_part` of kCutParts: some cells erased or some bits programmed,
  // kCutParts the whole operation) and the chip then loses power (a reset).
  uint32_t cut_at = 0;  // 0: no cut
  uint32_t cut_part = 0;
  uint32_t cut_first_page = 0;
  uint32_t cut_last_page = 0xFFFFFFFFU;
  uint32_t cut_ops = 0;  // operations counted so far (also without a cut)
  bool cut_done = false;
  // Time.
  uint32_t hw_ms = 0;     // milliseconds since the fake chip was made
  uint32_t hal_tick = 0;  // uwTick of the HAL (RAM: restarts at reset)
  bool tick_running = false;
  uint32_t deadline_ms = 0;  // a boot ends with OutOfTime past this
  // Serial.
  Peer* peer = nullptr;
  std::string tx;  // what the chip transmitted during the current boot
  uint32_t msp = 0;
  bool ore = false;
  bool uart_ready = false;
  int backup_resets = 0;
};

Chip& chip();

// Fresh chip: flash erased (0xFF), time 0, no peer.
void power_on();

uint32_t flash_word(uint32_t address);
// Writes bytes straight into flash (a programmer), bypassing the HAL rules.
void flash_poke(uint32_t address, const void* data, size_t len);
void flash_poke_word(uint32_t address, uint32_t value);

enum class Outcome { Reset, Jump, OutOfTime };
struct Boot {
  Outcome outcome;
  uint32_t jump_address = 0;
  uint32_t msp = 0;
  std::string output;  // bytes the chip transmitted during this boot
};
// Runs the bootloader from reset (its RAM starts again) until it resets,
// jumps to the application or `budget_ms` of chip time have passed.
Boot boot(uint32_t budget_ms);

}  // namespace fake
