// Any byte stream on the bootloader's line once a download has been asked
// for: packet framing, block numbers, the header's name and size, the limits
// of the application area, cancels and aborts, and the marking of a finished
// download. The chip is the fake of the bootloader's logic tests: flash with
// the part's programming rules, a byte-timed line and the millisecond tick.
//
// The bytes arrive back to back, as fast as the line carries them; after
// them the line stays quiet long enough for the receiver's time-outs.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "bootloader.h"
#include "fake_chip.h"

namespace {

// Flash the download must never touch: the bootloader below the flag page,
// and the application's own storage above the area.
constexpr uint32_t kGuardBelow = 0x08003000u;
constexpr uint32_t kGuardAbove = APP_IMAGE_END;
constexpr uint32_t kGuardWord = 0xC0FFEE00u;

void require(bool ok) {
  if (!ok) {
    abort();
  }
}

uint32_t word_at(uint32_t address) { return fake::flash_word(address); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fake::power_on();
  // A module with an application, put into boot mode by its AT command.
  const uint32_t app[2] = {0x2000FC00u, APP_IMAGE_ADDR + 0x101u};
  fake::flash_poke(APP_IMAGE_ADDR, app, sizeof app);
  fake::flash_poke_word(BOOT_FLAG_ADDR, 0x5A5A5AFFu);
  fake::flash_poke_word(kGuardBelow, kGuardWord);
  fake::flash_poke_word(kGuardAbove, kGuardWord);

  const std::string line = "at+update\r" + std::string(reinterpret_cast<const char *>(data), size);
  fake::ScriptPeer peer(line);
  fake::chip().peer = &peer;
  // The bytes' time on the line, then two packet time-outs of quiet.
  const uint32_t budget_ms =
      50u + static_cast<uint32_t>(line.size() * 87u / 1000u) + 2u * DOWNLOAD_TIMEOUT;
  fake::Boot b = fake::boot(budget_ms);
  fake::chip().peer = nullptr;

  require(word_at(kGuardBelow) == kGuardWord && word_at(kGuardAbove) == kGuardWord);
  if (b.outcome == fake::Outcome::Jump) {
    // Only a finished download starts the application, and it is marked.
    require(word_at(UPDATE_FLAG_ADDR) == UPDATE_FLAG_DONE);
    require(b.jump_address == word_at(APP_IMAGE_ADDR + 4));
  }
  return 0;
}
