// The file-backed flash: programming rules, erase, persistence, odd files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/host.h"
#include "sim/sim.h"

namespace {

constexpr sim::FlashGeometry kGeo = {0x08000000u, 16 * 2048, 2048, 8};

std::string temp_path(const char* tag) {
  return ::testing::TempDir() + "/sim-flash-" + tag + "-" + std::to_string(getpid());
}

std::vector<uint8_t> file_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class Flash : public ::testing::Test {
 protected:
  std::string path = temp_path(::testing::UnitTest::GetInstance()->current_test_info()->name());
  void SetUp() override {
    sim::host::reset_core();
    std::remove(path.c_str());
    std::remove((path + ".stats").c_str());
  }
  void TearDown() override {
    sim::host::reset_core();
    std::remove(path.c_str());
    std::remove((path + ".stats").c_str());
  }
  void open() {
    std::string err;
    ASSERT_TRUE(sim::host::flash_open(path, kGeo, &err)) << err;
  }
};

TEST_F(Flash, MissingFileIsCreatedErasedAndMappedAtItsBusAddress) {
  open();
  EXPECT_EQ(file_bytes(path), std::vector<uint8_t>(kGeo.size, 0xFF));
  const uint8_t* bus = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(kGeo.base));
  EXPECT_EQ(sim::flash_data(), bus);
  EXPECT_EQ(sim::flash_geometry().page_size, kGeo.page_size);
}

TEST_F(Flash, ProgrammingRules) {
  open();
  const uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const uint32_t base = kGeo.base;
  struct Case {
    const char* name;
    uint32_t addr;
    size_t len;
    bool ok;
  };
  const Case cases[] = {
      {"two units", base + 0x100, 16, true},
      {"onto programmed cells", base + 0x100, 8, false},
      {"overlapping programmed cells", base + 0xF8, 16, false},
      {"misaligned address", base + 0x204, 8, false},
      {"part of a unit", base + 0x200, 4, false},
      {"below the flash", base - 8, 8, false},
      {"past the end", base + kGeo.size - 8, 16, false},
      {"the last unit", base + kGeo.size - 8, 8, true},
      {"empty", base + 0x300, 0, false},
  };
  uint64_t units = 0;
  for (const Case& c : cases) {
    std::vector<uint8_t> before(sim::flash_data(), sim::flash_data() + kGeo.size);
    EXPECT_EQ(sim::flash_program(c.addr, data, c.len), c.ok) << c.name;
    if (c.ok) {
      units += c.len / kGeo.write_unit;
      EXPECT_EQ(0, memcmp(sim::flash_data() + (c.addr - base), data, c.len)) << c.name;
    } else {
      EXPECT_EQ(before, std::vector<uint8_t>(sim::flash_data(), sim::flash_data() + kGeo.size))
          << c.name << ": a refused program changed the flash";
    }
  }
  EXPECT_EQ(sim::flash_counters().programs, units);
  EXPECT_EQ(sim::flash_counters().erases, 0u);
}

TEST_F(Flash, EraseMakesAPageProgrammableAgainAndPersists) {
  open();
  const uint8_t a[8] = {0xAA, 0, 0xAA, 0, 0xAA, 0, 0xAA, 0};
  const uint8_t b[8] = {0x55, 1, 2, 3, 4, 5, 6, 7};
  const uint32_t page3 = kGeo.base + 3 * kGeo.page_size;
  ASSERT_TRUE(sim::flash_program(page3, a, 8));
  ASSERT_TRUE(sim::flash_program(page3 + kGeo.page_size, a, 8));  // page 4
  EXPECT_FALSE(sim::flash_program(page3, b, 8));
  EXPECT_TRUE(sim::flash_erase_page(3));
  EXPECT_FALSE(sim::flash_erase_page(kGeo.size / kGeo.page_size));
  EXPECT_EQ(std::vector<uint8_t>(sim::flash_data() + 3 * kGeo.page_size,
                                 sim::flash_data() + 4 * kGeo.page_size),
            std::vector<uint8_t>(kGeo.page_size, 0xFF));
  EXPECT_TRUE(sim::flash_program(page3, b, 8));
  sim::host::flash_close();

  // Another run of the device sees what was written.
  open();
  EXPECT_EQ(0, memcmp(sim::flash_data() + 3 * kGeo.page_size, b, 8));
  EXPECT_EQ(0, memcmp(sim::flash_data() + 4 * kGeo.page_size, a, 8));
  std::vector<uint8_t> file = file_bytes(path);
  EXPECT_EQ(0, memcmp(file.data() + 3 * kGeo.page_size, b, 8));
}

TEST_F(Flash, CountersAreMirroredInTheStatsFile) {
  open();
  const uint8_t d[16] = {};
  ASSERT_TRUE(sim::flash_program(kGeo.base, d, 16));
  ASSERT_TRUE(sim::flash_erase_page(0));
  ASSERT_TRUE(sim::flash_erase_page(1));
  std::ifstream f(path + ".stats");
  std::string text{std::istreambuf_iterator<char>(f), {}};
  EXPECT_EQ(text, "erases 2\nprograms 2\n");
}

TEST_F(Flash, ShortGarbageAndLongFilesAreUsedAsTheyAre) {
  struct Case {
    const char* name;
    size_t size;
  };
  for (Case c : {Case{"empty", 0}, Case{"short", 3000}, Case{"long", kGeo.size + 100}}) {
    std::vector<uint8_t> garbage(c.size);
    for (size_t i = 0; i < c.size; ++i) garbage[i] = static_cast<uint8_t>(i * 37 + 11);
    write_file(path, garbage);
    open();
    std::vector<uint8_t> file = file_bytes(path);
    ASSERT_EQ(file.size(), std::max<size_t>(c.size, kGeo.size)) << c.name;
    for (size_t i = 0; i < file.size(); ++i) {
      uint8_t want = i < c.size ? garbage[i] : 0xFF;
      ASSERT_EQ(file[i], want) << c.name << " byte " << i;
      if (i < kGeo.size) {
        ASSERT_EQ(sim::flash_data()[i], want) << c.name << " byte " << i;
      }
    }
    // Garbage cells refuse programming; erased ones accept it.
    const uint8_t d[8] = {1};
    bool page0_erased = c.size == 0;
    EXPECT_EQ(sim::flash_program(kGeo.base, d, 8), page0_erased) << c.name;
    EXPECT_TRUE(sim::flash_erase_page(0)) << c.name;
    EXPECT_TRUE(sim::flash_program(kGeo.base, d, 8)) << c.name;
    sim::host::flash_close();
  }
}

TEST_F(Flash, UnusableFileIsReportedNotFatal) {
  std::string err;
  EXPECT_FALSE(sim::host::flash_open(::testing::TempDir(), kGeo, &err));  // a directory
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(sim::flash_data(), nullptr);
  const uint8_t d[8] = {};
  EXPECT_FALSE(sim::flash_program(kGeo.base, d, 8));
  EXPECT_FALSE(sim::flash_erase_page(0));
}

TEST_F(Flash, InjectedFailuresRefuseOperationsAfterTheGivenCount) {
  open();
  sim::host::flash_fail_after(2);
  const uint8_t d[8] = {};
  EXPECT_TRUE(sim::flash_program(kGeo.base, d, 8));
  EXPECT_TRUE(sim::flash_erase_page(5));
  EXPECT_FALSE(sim::flash_program(kGeo.base + 8, d, 8));
  EXPECT_FALSE(sim::flash_erase_page(0));
  EXPECT_EQ(sim::flash_data()[8], 0xFF);
  EXPECT_EQ(sim::flash_counters().programs, 1u);
  EXPECT_EQ(sim::flash_counters().erases, 1u);
}

}  // namespace
