// Application files for the host: build and check.
#include <cstring>

#include "stm32_appfile.h"

namespace stm32sim {

uint32_t crc32(const uint8_t* data, size_t len, uint32_t crc) {
  crc = ~crc;
  for (size_t i = 0; i < len; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::vector<uint8_t> make_app_file(const std::string& image_name, uint32_t length) {
  if (length < sizeof(AppHeader)) length = sizeof(AppHeader);
  if (length > kAppAreaSize) length = kAppAreaSize;
  std::vector<uint8_t> file(length);
  // Filler that looks like code: every byte value occurs, as in a real image.
  uint32_t x = crc32(reinterpret_cast<const uint8_t*>(image_name.data()), image_name.size());
  x |= 1;
  for (auto& b : file) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  AppHeader h{};
  h.initial_sp = kAppInitialSp;
  h.reset_vector = kAppResetVector;
  h.magic = kAppMagic;
  h.length = length;
  h.crc32 = 0;
  std::strncpy(h.name, image_name.c_str(), sizeof h.name - 1);
  std::memcpy(file.data(), &h, sizeof h);
  h.crc32 = crc32(file.data(), file.size());
  std::memcpy(file.data(), &h, sizeof h);
  return file;
}

std::string app_file_program(const uint8_t* bytes, size_t size) {
  AppHeader h;
  if (size < sizeof h) return {};
  std::memcpy(&h, bytes, sizeof h);
  if (h.magic != kAppMagic || h.length < sizeof h || h.length > size || h.length > kAppAreaSize)
    return {};
  if (std::memchr(h.name, 0, sizeof h.name) == nullptr || h.name[0] == 0) return {};
  // A program name as the build gives them, never a path: the bytes come
  // from whoever sent the file.
  for (const char* c = h.name; *c; ++c) {
    if (!((*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') || *c == '-')) return {};
  }
  uint32_t want = h.crc32;
  AppHeader zeroed = h;
  zeroed.crc32 = 0;
  uint32_t crc = crc32(reinterpret_cast<const uint8_t*>(&zeroed), sizeof zeroed);
  crc = crc32(bytes + sizeof h, h.length - sizeof h, crc);
  if (crc != want) return {};
  return std::string(h.name);
}

}  // namespace stm32sim
