// The file-backed flash: programming rules, erase, persistence, odd files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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

struct ChipReset {};

// A power cut part-way through an operation: an erase leaves the page with
// some cells erased and the rest as they were; a program leaves the units
// before the torn one programmed, the torn one with only some of its bits
// (a cell never goes from 0 back to 1), and the units after it erased. With
// no part done the cells stay as they were. Each cut restarts the chip once.
TEST_F(Flash, ACutInsideAnOperationLeavesItPartlyDone) {
  sim::host::set_reset_handler([](void*, const char*) { throw ChipReset{}; }, nullptr);
  open();
  const uint32_t page2 = kGeo.base + 2 * kGeo.page_size;
  std::vector<uint8_t> old(kGeo.page_size);
  for (size_t i = 0; i < old.size(); ++i) old[i] = static_cast<uint8_t>(i * 7 + 1) & 0x7F;
  std::vector<uint8_t> fresh(32);
  for (size_t i = 0; i < fresh.size(); ++i) fresh[i] = static_cast<uint8_t>(0x5A ^ i);
  const uint32_t spare = kGeo.base + 5 * kGeo.page_size;
  struct Case {
    uint32_t percent;
    bool erase;
  };
  for (Case c : {Case{0, true}, Case{30, true}, Case{90, true}, Case{0, false}, Case{50, false},
                 Case{99, false}}) {
    SCOPED_TRACE(std::string(c.erase ? "erase " : "program ") + std::to_string(c.percent) + "%");
    ASSERT_TRUE(sim::flash_erase_page(2));
    ASSERT_TRUE(sim::flash_erase_page(5));
    ASSERT_TRUE(sim::flash_program(page2, old.data(), old.size()));
    sim::host::flash_cut_after(0, c.percent);
    EXPECT_THROW(
        c.erase ? sim::flash_erase_page(2) : sim::flash_program(spare, fresh.data(), fresh.size()),
        ChipReset);
    EXPECT_EQ(sim::host::flash_cut_remaining(), ~uint64_t{0}) << "one cut per arming";
    if (c.erase) {
      size_t erased = 0, kept = 0;
      for (size_t i = 0; i < old.size(); ++i) {
        const uint8_t b = sim::flash_data()[2 * kGeo.page_size + i];
        ASSERT_TRUE(b == 0xFF || b == old[i]) << "byte " << i;
        (b == 0xFF ? erased : kept)++;
      }
      const size_t want = old.size() * c.percent / 100;
      EXPECT_NEAR(static_cast<double>(erased), static_cast<double>(want), old.size() / 20.0);
      if (c.percent == 0) {
        EXPECT_EQ(erased, 0u);
      }
    } else {
      const uint8_t* cells = sim::flash_data() + 5 * kGeo.page_size;
      const size_t units = fresh.size() / kGeo.write_unit;
      const size_t torn = c.percent == 0 ? 0 : std::min(units - 1, units * c.percent / 100);
      for (size_t i = 0; i < fresh.size(); ++i) {
        const size_t unit = i / kGeo.write_unit;
        if (unit < torn) {
          ASSERT_EQ(cells[i], fresh[i]) << "byte " << i;
        } else if (unit > torn || c.percent == 0) {
          ASSERT_EQ(cells[i], 0xFF) << "byte " << i;
        } else {
          ASSERT_EQ(cells[i] & fresh[i], fresh[i]) << "a bit programmed that the data keeps";
        }
      }
      if (c.percent != 0) {
        bool partly = false;
        for (size_t i = torn * kGeo.write_unit; i < (torn + 1) * kGeo.write_unit; ++i)
          partly = partly || (cells[i] != 0xFF && cells[i] != fresh[i]) ||
                   (cells[i] == 0xFF) != (fresh[i] == 0xFF);
        EXPECT_TRUE(partly) << "the torn unit is neither erased nor whole";
      }
    }
  }
  // The next operation after a cut completes.
  EXPECT_TRUE(sim::flash_erase_page(5));
  EXPECT_TRUE(sim::flash_program(spare, fresh.data(), fresh.size()));
}

}  // namespace
