// Flash of the simulated Apollo3 (1 MiB at address 0, pages of 8 KiB, words
// of 4 bytes), mapped read-only at its bus addresses from 0x1000 up, the OTA
// descriptor the external bootloader reads, and the bootloader's side of the
// flash map: its update-mode flag and its version text.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "sim/host.h"
#include "sim/model.h"

namespace apollo3sim {
namespace detail {
namespace {

constexpr sim::time_us kEraseUs = 15000;
constexpr sim::time_us kWordUs = 20;

struct Flash {
  uint32_t key_failures = 0;
  void* mapped = nullptr;
  size_t mapped_len = 0;
  uint32_t* ota_descriptor = nullptr;
};

Flash& fl() {
  static Flash f;
  return f;
}

std::string g_boot_version;

bool set_boot_version(const char* v, std::string* error) {
  if (std::strlen(v) >= AM_HAL_FLASH_PAGE_SIZE) {
    *error = "--boot-version: text too long";
    return false;
  }
  g_boot_version = v;
  return true;
}

// Flash time: the controller works, interrupts may be taken meanwhile.
void spend(sim::time_us us) {
  sim::cpu_spend(us);
  thread_point();
}

const uint8_t* bytes_at(uint32_t addr) {
  const sim::FlashGeometry& g = sim::flash_geometry();
  if (!sim::flash_data() || addr < g.base || addr - g.base >= g.size) return nullptr;
  return sim::flash_data() + (addr - g.base);
}

bool page_erased(uint32_t addr) {
  const uint8_t* p = bytes_at(addr);
  if (!p) return false;
  for (uint32_t i = 0; i < AM_HAL_FLASH_PAGE_SIZE; ++i)
    if (p[i] != 0xFF) return false;
  return true;
}

void preload_boot_version() {
  if (g_boot_version.empty() || !page_erased(kBootVersionAddr)) return;
  std::vector<uint8_t> text(g_boot_version.begin(), g_boot_version.end());
  text.push_back(0);
  text.resize((text.size() + 3) / 4 * 4, 0xFF);
  sim::flash_program(kBootVersionAddr, text.data(), text.size());
}

void start_flash(sim::StateIn*) {
  map_flash();
  preload_boot_version();
}

}  // namespace
}  // namespace detail

bool map_flash() {
  detail::Flash& f = detail::fl();
  if (f.mapped) munmap(f.mapped, f.mapped_len);
  f.mapped = nullptr;
  const std::string& path = sim::host::flash_path();
  const sim::FlashGeometry& g = sim::flash_geometry();
  if (path.empty() || g.size <= kFlashMappedFrom) return false;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const size_t len = g.size - kFlashMappedFrom;
  void* want = reinterpret_cast<void*>(static_cast<uintptr_t>(g.base + kFlashMappedFrom));
  void* m = mmap(want, len, PROT_READ, MAP_SHARED | MAP_FIXED_NOREPLACE, fd, kFlashMappedFrom);
  close(fd);
  if (m == MAP_FAILED) {
    sim::log("flash: its bus addresses 0x%x-0x%x are taken in this process; reads by address fail",
             kFlashMappedFrom, g.size - 1);
    return false;
  }
  if (m != want) {
    munmap(m, len);
    return false;
  }
  f.mapped = m;
  f.mapped_len = len;
  return true;
}

uint32_t flash_key_failures() { return detail::fl().key_failures; }

}  // namespace apollo3sim

SIM_MODEL(apollo3_flash,
          {.name = "apollo3.flash",
           .options = {{"--boot-version", "TEXT",
                        "the external bootloader's version text, written at\n0xFC000 when that "
                        "page is erased.",
                        apollo3sim::detail::set_boot_version}},
           .on_reset = [] { apollo3sim::detail::fl().key_failures = 0; },
           .start = apollo3sim::detail::start_flash});

using namespace apollo3sim;
using namespace apollo3sim::detail;

extern "C" {

int am_hal_flash_program_main(uint32_t key, const uint32_t* src, uint32_t* dst, uint32_t words) {
  if (key != AM_HAL_FLASH_PROGRAM_KEY) {
    ++fl().key_failures;
    return AM_HAL_STATUS_INVALID_ARG;
  }
  const uint32_t addr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(dst));
  if (!src || addr % 4 || uint64_t{addr} + uint64_t{words} * 4 > AM_HAL_FLASH_TOTAL_SIZE)
    return AM_HAL_STATUS_OUT_OF_RANGE;
  if (words == 0) return AM_HAL_STATUS_SUCCESS;
  const bool ok = sim::flash_program(addr, reinterpret_cast<const uint8_t*>(src), words * 4u);
  spend(uint64_t{words} * kWordUs);
  return ok ? AM_HAL_STATUS_SUCCESS : AM_HAL_STATUS_FAIL;
}

int am_hal_flash_page_erase(uint32_t key, uint32_t instance, uint32_t page) {
  if (key != AM_HAL_FLASH_PROGRAM_KEY) {
    ++fl().key_failures;
    return AM_HAL_STATUS_INVALID_ARG;
  }
  if (instance > 1 || page > 63) return AM_HAL_STATUS_OUT_OF_RANGE;
  const bool ok = sim::flash_erase_page(instance * 64 + page);
  spend(kEraseUs);
  return ok ? AM_HAL_STATUS_SUCCESS : AM_HAL_STATUS_FAIL;
}

uint32_t am_hal_flash_load_ui32(uint32_t addr) {
  const uint8_t* p = bytes_at(addr & ~3u);
  if (!p) return 0xFFFFFFFFu;
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// ------------------------------------------------------ OTA descriptor ---
uint32_t am_hal_ota_init(uint32_t key, uint32_t* descriptor) {
  if (key != AM_HAL_FLASH_PROGRAM_KEY) return AM_HAL_STATUS_INVALID_ARG;
  const uint32_t addr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(descriptor));
  if (addr % AM_HAL_FLASH_PAGE_SIZE || addr >= AM_HAL_FLASH_TOTAL_SIZE)
    return AM_HAL_STATUS_INVALID_ARG;
  fl().ota_descriptor = descriptor;
  if (am_hal_flash_load_ui32(addr) == OTA_INFO_MAGIC_NUM) return AM_HAL_STATUS_SUCCESS;
  int rc = am_hal_flash_page_erase(key, AM_HAL_FLASH_ADDR2INST(addr), AM_HAL_FLASH_ADDR2PAGE(addr));
  if (rc) return AM_HAL_STATUS_FAIL;
  const uint32_t magic = OTA_INFO_MAGIC_NUM;
  return am_hal_flash_program_main(key, &magic, descriptor, 1) ? AM_HAL_STATUS_FAIL
                                                               : AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_ota_add(uint32_t key, uint8_t magic_num, uint32_t* image) {
  if (key != AM_HAL_FLASH_PROGRAM_KEY || !fl().ota_descriptor) return AM_HAL_STATUS_INVALID_ARG;
  const uint32_t base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(fl().ota_descriptor));
  for (uint32_t i = 0; i < AM_HAL_OTA_MAX_OTA; ++i) {
    const uint32_t entry = base + 4 + i * 8;
    if (am_hal_flash_load_ui32(entry) != 0xFFFFFFFFu) continue;
    const uint32_t words[2] = {static_cast<uint32_t>(reinterpret_cast<uintptr_t>(image)),
                               magic_num};
    return am_hal_flash_program_main(key, words,
                                     reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(entry)), 2)
               ? AM_HAL_STATUS_FAIL
               : AM_HAL_STATUS_SUCCESS;
  }
  return AM_HAL_STATUS_OUT_OF_RANGE;
}

uint32_t am_hal_ota_get_status(uint32_t key, uint32_t max, am_hal_ota_status_t* status) {
  if (key != AM_HAL_FLASH_PROGRAM_KEY || !status || !fl().ota_descriptor)
    return AM_HAL_STATUS_INVALID_ARG;
  const uint32_t base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(fl().ota_descriptor));
  uint32_t n = 0;
  for (; n < max && n < AM_HAL_OTA_MAX_OTA; ++n) {
    const uint32_t a = am_hal_flash_load_ui32(base + 4 + n * 8);
    if (a == 0xFFFFFFFFu) break;
    status[n].pImage = reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(a));
    status[n].status = 0;
  }
  if (n < max) status[n].pImage = reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(0xFFFFFFFFu));
  return AM_HAL_STATUS_SUCCESS;
}

}  // extern "C"
