// The host form of an STM32WLE5 application image: what the bootloader
// receives, programs into the application area and checks before it jumps.
// Its first two words are a valid initial stack pointer and reset vector;
// the header then names the host program to start; the rest is filler up to
// a realistic image size. A CRC-32 over the whole file guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qiv_products.h"

namespace stm32sim {

constexpr uint32_t kAppAreaBase = QIV_STM32WLE5_APPLICATION_ADDR;
constexpr uint32_t kAppAreaSize = QIV_STM32WLE5_APPLICATION_SIZE;
constexpr uint32_t kAppInitialSp = 0x2000FC00u;
constexpr uint32_t kAppResetVector = kAppAreaBase + 0x1C1u;
constexpr uint32_t kAppMagic = 0x41564951u;  // "QIVA"
constexpr uint32_t kAppDefaultLength = 150u * 1024u;

struct AppHeader {
  uint32_t initial_sp;
  uint32_t reset_vector;
  uint32_t magic;
  uint32_t length;  // bytes of the whole file
  uint32_t crc32;   // of the whole file with this field zero
  char name[32];    // program name, NUL-terminated
};
static_assert(sizeof(AppHeader) == 52);

uint32_t crc32(const uint8_t* data, size_t len, uint32_t crc = 0);

// An application file naming `image_name`, `length` bytes long (at least the
// header, at most the application area).
std::vector<uint8_t> make_app_file(const std::string& image_name,
                                   uint32_t length = kAppDefaultLength);

// The program named by a valid application file in `bytes` (at most `size`
// bytes readable), or an empty string.
std::string app_file_program(const uint8_t* bytes, size_t size);

}  // namespace stm32sim
