// Flash memory kept in a file: mapped read-only at its bus address so that
// firmware reads it through pointers; changed only through program/erase,
// which follow the chip's rules (program only into erased write units).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/host.h"
#include "sim/model.h"
#include "sim/sim.h"

namespace sim {
namespace {

constexpr uint8_t kErased = 0xFF;
constexpr uint64_t kNoFailure = ~uint64_t{0};

struct Flash {
  FlashGeometry geometry{};
  std::string path;
  int fd = -1;
  int stats_fd = -1;
  uint8_t* map = nullptr;
  size_t map_len = 0;
  FlashCounters counters{};
  uint64_t fail_remaining = kNoFailure;
  uint64_t cut_remaining = kNoFailure;
  // How far the operation the supply is cut in gets, in percent: 0 leaves
  // the cells as they were, more leaves part of an erase or a program done.
  uint32_t cut_percent = 0;
};

Flash flash;

bool is_open() { return flash.fd >= 0 && flash.map != nullptr; }

void write_stats() {
  if (flash.stats_fd < 0) return;
  char buf[96];
  int n = std::snprintf(buf, sizeof buf, "erases %" PRIu64 "\nprograms %" PRIu64 "\n",
                        flash.counters.erases, flash.counters.programs);
  if (n <= 0) return;
  if (ftruncate(flash.stats_fd, 0) != 0) return;
  ssize_t w = pwrite(flash.stats_fd, buf, static_cast<size_t>(n), 0);
  (void)w;
}

// Consumes one operation of the failure injection; false when it must fail.
bool injection_allows() {
  if (flash.fail_remaining == kNoFailure) return true;
  if (flash.fail_remaining == 0) return false;
  --flash.fail_remaining;
  return true;
}

// A reproducible scatter of the cells a cut operation reached: true for
// about `percent` in 100 of the indices.
bool reached(uint64_t index, uint32_t percent) {
  uint64_t x = index * 0x9E3779B97F4A7C15ull + percent;
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  return x % 100 < percent;
}

bool pwrite_all(int fd, const uint8_t* data, size_t len, off_t off);

// Consumes one operation of the power-cut knob. When the cut is due, the
// operation does not complete and the chip restarts, as after a loss of
// supply. What the cells hold then depends on how far the operation got: an
// erase leaves some cells of the page erased and the others as they were, a
// program leaves the units before the one it was in programmed and that one
// with some of its bits programmed. One cut per arming.
// `program` is null for an erase of [off, off + len).
void power_cut_if_due(uint64_t off, const uint8_t* program, size_t len) {
  if (flash.cut_remaining == kNoFailure) return;
  if (flash.cut_remaining > 0) {
    --flash.cut_remaining;
    return;
  }
  flash.cut_remaining = kNoFailure;
  const uint32_t percent = flash.cut_percent;
  if (percent > 0) {
    std::vector<uint8_t> cells(flash.map + off, flash.map + off + len);
    if (!program) {
      for (size_t i = 0; i < len; ++i) {
        if (reached(off + i, percent)) cells[i] = kErased;
      }
    } else {
      const size_t unit = flash.geometry.write_unit;
      const size_t units = len / unit;
      const size_t torn = std::min(units - 1, units * percent / 100);
      std::copy(program, program + torn * unit, cells.begin());
      // Programming only takes bits from 1 to 0; the torn unit has some.
      for (size_t i = torn * unit; i < (torn + 1) * unit; ++i) {
        uint8_t keep = 0xFF;
        for (int bit = 0; bit < 8; ++bit) {
          if (reached((off + i) * 8 + static_cast<uint64_t>(bit), 50)) keep &= ~(1u << bit);
        }
        cells[i] &= program[i] | keep;
      }
    }
    (void)pwrite_all(flash.fd, cells.data(), cells.size(), static_cast<off_t>(off));
  }
  log("flash: power cut during a %s (%u%% of it done)", program ? "program" : "page erase",
      static_cast<unsigned>(percent));
  system_reset();
}

bool pwrite_all(int fd, const uint8_t* data, size_t len, off_t off) {
  while (len) {
    ssize_t n = pwrite(fd, data, len, off);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
    off += n;
  }
  return true;
}

}  // namespace

const FlashGeometry& flash_geometry() { return flash.geometry; }

const uint8_t* flash_data() { return flash.map; }

bool flash_program(uint32_t addr, const uint8_t* data, size_t len) {
  const FlashGeometry& g = flash.geometry;
  if (!is_open() || !data || len == 0 || g.write_unit == 0) return false;
  if (addr < g.base || len % g.write_unit || (addr - g.base) % g.write_unit) return false;
  uint64_t off = addr - g.base;
  if (off + len > g.size) return false;
  const uint8_t* cur = flash.map + off;
  for (size_t i = 0; i < len; ++i) {
    if (cur[i] != kErased) return false;
  }
  power_cut_if_due(off, data, len);
  if (!injection_allows()) return false;
  if (!pwrite_all(flash.fd, data, len, static_cast<off_t>(off))) return false;
  flash.counters.programs += len / g.write_unit;
  write_stats();
  return true;
}

bool flash_erase_page(uint32_t page_index) {
  const FlashGeometry& g = flash.geometry;
  if (!is_open() || g.page_size == 0) return false;
  if (page_index >= g.size / g.page_size) return false;
  power_cut_if_due(uint64_t{page_index} * g.page_size, nullptr, g.page_size);
  if (!injection_allows()) return false;
  std::vector<uint8_t> erased(g.page_size, kErased);
  if (!pwrite_all(flash.fd, erased.data(), erased.size(),
                  static_cast<off_t>(uint64_t{page_index} * g.page_size)))
    return false;
  ++flash.counters.erases;
  write_stats();
  return true;
}

FlashCounters flash_counters() { return flash.counters; }

namespace host {

bool flash_open(const std::string& path, const FlashGeometry& geometry, std::string* error) {
  flash_close();
  auto fail = [&](const std::string& why) {
    if (error) *error = path + ": " + why;
    flash_close();
    return false;
  };
  if (geometry.size == 0 || geometry.page_size == 0 || geometry.write_unit == 0 ||
      geometry.size % geometry.page_size)
    return fail("bad flash geometry");
  flash.geometry = geometry;
  flash.path = path;
  flash.fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (flash.fd < 0) return fail(std::strerror(errno));
  struct stat st;
  if (fstat(flash.fd, &st) != 0) return fail(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return fail("not a regular file");
  if (static_cast<uint64_t>(st.st_size) < geometry.size) {
    // Missing or short: the missing part reads as erased.
    std::vector<uint8_t> erased(geometry.size - static_cast<size_t>(st.st_size), kErased);
    if (!pwrite_all(flash.fd, erased.data(), erased.size(), st.st_size))
      return fail(std::strerror(errno));
  }
  long page = sysconf(_SC_PAGESIZE);
  flash.map_len = (geometry.size + page - 1) / page * page;
  void* want = reinterpret_cast<void*>(static_cast<uintptr_t>(geometry.base));
  void* m = MAP_FAILED;
  if (geometry.base != 0 && geometry.base % page == 0) {
    m = mmap(want, flash.map_len, PROT_READ, MAP_SHARED | MAP_FIXED_NOREPLACE, flash.fd, 0);
    if (m != MAP_FAILED && m != want) {
      munmap(m, flash.map_len);  // an old kernel took the address as a hint
      m = MAP_FAILED;
    }
  }
  if (m == MAP_FAILED) {
    // The bus address is taken (or 0): firmware must then read through
    // flash_data() instead of the raw address.
    m = mmap(nullptr, flash.map_len, PROT_READ, MAP_SHARED, flash.fd, 0);
    if (m == MAP_FAILED) return fail(std::strerror(errno));
    // (Address 0 is never mappable: a chip with flash there expected it.)
    if (geometry.base != 0) log("flash mapped at %p instead of 0x%08x", m, geometry.base);
  }
  flash.map = static_cast<uint8_t*>(m);
  std::string stats = path + ".stats";
  flash.stats_fd = open(stats.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  write_stats();
  return true;
}

void flash_close() {
  if (flash.map) munmap(flash.map, flash.map_len);
  if (flash.fd >= 0) close(flash.fd);
  if (flash.stats_fd >= 0) close(flash.stats_fd);
  flash = Flash{};
}

const std::string& flash_path() { return flash.path; }

void flash_set_counters(const FlashCounters& counters) {
  flash.counters = counters;
  write_stats();
}

void flash_fail_after(uint64_t ops) { flash.fail_remaining = ops; }
uint64_t flash_fail_remaining() { return flash.fail_remaining; }

void flash_cut_after(uint64_t ops, uint32_t percent_done) {
  flash.cut_remaining = ops;
  flash.cut_percent = percent_done > 100 ? 100 : percent_done;
}
uint64_t flash_cut_remaining() { return flash.cut_remaining; }
uint32_t flash_cut_percent() { return flash.cut_percent; }

}  // namespace host
}  // namespace sim

// The failure injection and the power cut are command-line knobs; the
// counters and what is left of either survive a device reset (a cut that has
// fired stays off after the restart it caused).
namespace sim {
namespace {
uint64_t g_fail_after_option = kNoFailure;
uint64_t g_cut_after_option = kNoFailure;
uint32_t g_cut_percent_option = 0;

bool parse_ops(const char* option, const char* v, uint64_t* out, std::string* error) {
  char* end = nullptr;
  errno = 0;
  unsigned long long n = std::strtoull(v, &end, 10);
  if (!*v || *end || errno || v[0] == '-' || n == kNoFailure) {
    *error = std::string(option) + ": bad number " + v;
    return false;
  }
  *out = n;
  return true;
}

bool set_fail_after(const char* v, std::string* error) {
  return parse_ops("--flash-fail-after", v, &g_fail_after_option, error);
}

// N or N:P (P percent of operation N + 1 done when the supply goes).
bool set_cut_after(const char* v, std::string* error) {
  std::string text = v;
  const size_t colon = text.find(':');
  g_cut_percent_option = 0;
  if (colon != std::string::npos) {
    uint64_t percent = 0;
    if (!parse_ops("--flash-cut-after", text.c_str() + colon + 1, &percent, error)) return false;
    if (percent > 100) {
      *error = "--flash-cut-after: the part done is 0 to 100 percent: " + text;
      return false;
    }
    g_cut_percent_option = static_cast<uint32_t>(percent);
    text.resize(colon);
  }
  return parse_ops("--flash-cut-after", text.c_str(), &g_cut_after_option, error);
}

void save_flash(StateOut& out) {
  out.put(flash.counters);
  out.put(flash.fail_remaining);
  out.put(flash.cut_remaining);
  out.put(flash.cut_percent);
}

void start_flash(StateIn* saved) {
  if (!saved) {
    host::flash_fail_after(g_fail_after_option);
    host::flash_cut_after(g_cut_after_option, g_cut_percent_option);
    return;
  }
  FlashCounters counters = saved->get<FlashCounters>();
  uint64_t fail_remaining = saved->get<uint64_t>();
  uint64_t cut_remaining = saved->get<uint64_t>();
  uint32_t cut_percent = saved->get<uint32_t>();
  host::flash_set_counters(counters);
  host::flash_fail_after(fail_remaining);
  host::flash_cut_after(cut_remaining, cut_percent);
}
}  // namespace
}  // namespace sim

SIM_MODEL(
    flash,
    {.name = "flash",
     .options = {{"--flash-fail-after", "N",
                  "flash operations (program/erase) after the first N\nfail (a test knob).",
                  sim::set_fail_after},
                 {"--flash-cut-after", "N[:P]",
                  "the supply is cut during the flash operation after\nthe first N: it does "
                  "not complete and the chip\nrestarts (once; a test knob). With P, P percent "
                  "of\nit is done: an erase leaves that part of the page's\ncells erased, a "
                  "program that part of its units\nprogrammed and the next one torn.",
                  sim::set_cut_after}},
     .save = sim::save_flash,
     .start = sim::start_flash});
