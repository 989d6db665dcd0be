// The external bootloader's part in a firmware update, as this stand-in
// models it: at every start it looks at the OTA descriptor, takes the image
// registered there, checks it, copies it over the application and clears
// the descriptor; then it starts the application only if the application
// area holds a whole image. The order of the steps keeps every start after
// a power cut recoverable: the application is only erased once the staged
// image has been checked, and the registration is only dropped once the
// copy has been read back whole, so a cut anywhere means the same install
// runs again at the next start.
#include <cstring>
#include <string>
#include <vector>

#include "am_mcu_apollo.h"
#include "apollo3_sim.h"
#include "internal.h"
#include "sim/host.h"
#include "sim/sim.h"

namespace apollo3sim {
namespace {

constexpr uint32_t kPage = AM_HAL_FLASH_PAGE_SIZE;
constexpr uint32_t kFlashSize = AM_HAL_FLASH_TOTAL_SIZE;

const uint8_t* bytes_at(uint32_t addr) {
  const uint8_t* f = sim::flash_data();
  if (!f || addr >= kFlashSize) return nullptr;
  return f + addr;
}

uint32_t word_at(uint32_t addr) {
  const uint8_t* p = bytes_at(addr);
  if (!p || addr + 4 > kFlashSize) return 0xFFFFFFFFu;
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

bool erased(uint32_t addr, uint32_t len) {
  const uint8_t* p = bytes_at(addr);
  if (!p || addr + len > kFlashSize) return false;
  for (uint32_t i = 0; i < len; ++i)
    if (p[i] != 0xFF) return false;
  return true;
}

uint32_t image_size(uint32_t addr) { return word_at(addr) & 0xFFFFFFu; }

// The erased pages of [addr, addr + len) are programmed from `data`, the
// others are erased first; false when the flash refused.
bool write_area(uint32_t addr, const uint8_t* data, uint32_t len) {
  for (uint32_t off = 0; off < len; off += kPage) {
    const uint32_t n = len - off < kPage ? len - off : kPage;
    if (!erased(addr + off, kPage) && !sim::flash_erase_page((addr + off) / kPage)) return false;
    std::vector<uint8_t> page(data + off, data + off + n);
    page.resize((n + 3) / 4 * 4, 0xFF);
    if (!sim::flash_program(addr + off, page.data(), page.size())) return false;
  }
  return true;
}

// The descriptor back to "nothing registered": erased, then its magic.
bool clear_descriptor() {
  if (!sim::flash_erase_page(kOtaDescriptorAddr / kPage)) return false;
  const uint32_t magic = OTA_INFO_MAGIC_NUM;
  return sim::flash_program(kOtaDescriptorAddr, reinterpret_cast<const uint8_t*>(&magic), 4);
}

}  // namespace

uint32_t image_crc(const uint8_t* data, size_t len, uint32_t crc) {
  static uint32_t table[256];
  static bool built = false;
  if (!built) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int b = 0; b < 8; ++b) c = (c & 0x80000000u) ? (c << 1) ^ 0x1EDC6F41u : c << 1;
      table[i] = c;
    }
    built = true;
  }
  for (size_t i = 0; i < len; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xFFu];
  return crc;
}

bool image_valid(uint32_t addr, uint32_t room) {
  if (addr % 4 || addr < kAppBase || addr >= kFlashSize || room > kFlashSize - addr) return false;
  const uint32_t size = image_size(addr);
  if (size < kImageMetadataSize || size > room) return false;
  const uint8_t* body = bytes_at(addr + kImageMetadataSize);
  return image_crc(body, size - kImageMetadataSize) == word_at(addr + 4);
}

std::vector<uint8_t> make_image(uint8_t magic, const std::vector<uint8_t>& body) {
  const uint32_t size = static_cast<uint32_t>(kImageMetadataSize + body.size());
  std::vector<uint8_t> img(size, 0);
  const uint32_t w0 = (size & 0xFFFFFFu) | (uint32_t{magic} << 24);
  const uint32_t w1 = image_crc(body.data(), body.size());
  std::memcpy(img.data(), &w0, 4);
  std::memcpy(img.data() + 4, &w1, 4);
  if (!body.empty()) std::memcpy(img.data() + kImageMetadataSize, body.data(), body.size());
  return img;
}

InstallResult bootloader_start(const char* factory_text) {
  InstallResult r;
  // A module fresh from the factory: its application and an untouched
  // descriptor (the application writes the descriptor's magic at its first
  // start, and the install step never leaves both erased).
  if (erased(kAppBase, kAppSlotSize) && erased(kOtaDescriptorAddr, kPage)) {
    const std::string text = factory_text ? factory_text : "";
    const std::vector<uint8_t> img = make_image(0, std::vector<uint8_t>(text.begin(), text.end()));
    write_area(kAppBase, img.data(), static_cast<uint32_t>(img.size()));
  }
  if (word_at(kOtaDescriptorAddr) == OTA_INFO_MAGIC_NUM) {
    // The newest registration of an image that checks out is installed;
    // the others are dropped with it.
    bool registered = false;
    for (uint32_t i = AM_HAL_OTA_MAX_OTA; i-- > 0;) {
      const uint32_t entry = kOtaDescriptorAddr + 4 + 8 * i;
      const uint32_t addr = word_at(entry);
      if (addr == 0xFFFFFFFFu) continue;
      registered = true;
      // Only an image in the staging area, never over the application itself.
      if (addr < kStagingAddr || !image_valid(addr, kStagingAddr + kAppSlotSize - addr)) continue;
      const uint32_t size = image_size(addr);
      const std::vector<uint8_t> img(bytes_at(addr), bytes_at(addr) + size);
      if (!write_area(kAppBase, img.data(), size) ||
          std::memcmp(bytes_at(kAppBase), img.data(), size) != 0) {
        // The flash refused: the registration stays for the next start.
        r.app_valid = image_valid(kAppBase, kAppSlotSize);
        return r;
      }
      r.installed = addr;
      break;
    }
    if (registered) {
      r.refused = r.installed == 0;
      clear_descriptor();
    }
  }
  r.app_valid = image_valid(kAppBase, kAppSlotSize);
  return r;
}

}  // namespace apollo3sim
