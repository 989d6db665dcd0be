#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "fake_port.h"
#include "udrv_dfu.h"
#include "udrv_flash.h"

namespace {

constexpr uint32_t page0 = 0x0803E000;
constexpr uint32_t page1 = page0 + 2048;
constexpr uint32_t page2 = page1 + 2048;

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) {
    v[i] = static_cast<uint8_t>(seed + i * 7);
  }
  return v;
}

std::vector<uint8_t> flash_bytes(uint32_t addr, size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) {
    v[i] = fake::port.flash_byte(addr + static_cast<uint32_t>(i));
  }
  return v;
}

class Flash : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::port.reset();
    udrv_flash_init();
  }
};

TEST_F(Flash, WritingTheSameBytesTwiceErasesThePageOnce) {
  auto const data = pattern(660, 3);
  ASSERT_EQ(udrv_flash_write(page0 + 8, data.size(), data.data()), 0);
  ASSERT_EQ(udrv_flash_write(page0 + 8, data.size(), data.data()), 0);
  EXPECT_EQ(fake::port.page_stats[page0].erases, 1);
  EXPECT_EQ(fake::port.page_stats[page0].programs, 2) << "the page body, then its head";
  EXPECT_EQ(flash_bytes(page0 + 8, data.size()), data);
}

TEST_F(Flash, WriteAcrossAPageBoundaryKeepsTheBytesOutsideTheRange) {
  auto const before = pattern(4096, 1);
  fake::port.flash_put(page0, before);
  auto const data = pattern(100, 200);
  uint32_t const at = page1 - 40;
  ASSERT_EQ(udrv_flash_write(at, data.size(), data.data()), 0);
  EXPECT_EQ(fake::port.page_stats[page0].erases, 1);
  EXPECT_EQ(fake::port.page_stats[page1].erases, 1);
  auto expected = before;
  std::copy(data.begin(), data.end(), expected.begin() + (at - page0));
  EXPECT_EQ(flash_bytes(page0, 4096), expected);
}

TEST_F(Flash, LongWriteIsComparedOverItsWholeRange) {
  // The first page already holds the new bytes; the difference is in the
  // third page only.
  auto data = pattern(3 * 2048, 9);
  fake::port.flash_put(page0, data);
  data[2 * 2048 + 5] ^= 0xFF;
  ASSERT_EQ(udrv_flash_write(page0, data.size(), data.data()), 0);
  EXPECT_EQ(flash_bytes(page0, data.size()), data);
  EXPECT_EQ(fake::port.page_stats[page2].erases, 1);
}

TEST_F(Flash, ReadAcrossPagesReturnsTheStoredBytes) {
  auto const stored = pattern(4096, 77);
  fake::port.flash_put(page0, stored);
  std::vector<uint8_t> out(1000);
  ASSERT_EQ(udrv_flash_read(page0 + 1500, out.size(), out.data()), 0);
  EXPECT_EQ(out, std::vector<uint8_t>(stored.begin() + 1500, stored.begin() + 2500));
  EXPECT_EQ(fake::port.total_erases(), 0);
}

TEST_F(Flash, EraseTakesOnlyWholePages) {
  struct Case {
    uint32_t addr;
    uint32_t len;
    int32_t result;
    int erases;
  };
  const Case cases[] = {
      {page0 + 2, 2048, -10, 0},  // inside a page, not word aligned
      {page0 + 4, 2048, -10, 0},  // inside a page: would lose the bytes before it
      {page0, 100, -11, 0},
      {page0, 4096, 0, 2},
  };
  for (Case const &c : cases) {
    fake::port.reset();
    EXPECT_EQ(udrv_flash_erase(c.addr, c.len), c.result) << std::hex << c.addr << " " << c.len;
    EXPECT_EQ(fake::port.total_erases(), c.erases);
  }
}

TEST_F(Flash, PageLargerThanThePageBufferIsRefused) {
  fake::port.page_size = 8192;
  uint8_t byte = 0;
  EXPECT_EQ(udrv_flash_read(page0, 1, &byte), -9);
  EXPECT_EQ(udrv_flash_write(page0, 1, &byte), -9);
  EXPECT_EQ(fake::port.total_erases(), 0);
}

TEST_F(Flash, FailedEraseOrProgramStopsTheWriteAndKeepsEarlierPages) {
  auto const data = pattern(4096, 5);
  fake::port.fail_erase_at = page1;
  EXPECT_EQ(udrv_flash_write(page0, data.size(), data.data()), -7);
  EXPECT_EQ(flash_bytes(page0, 2048), std::vector<uint8_t>(data.begin(), data.begin() + 2048));

  fake::port.reset();
  fake::port.fail_program_at = page0;
  EXPECT_EQ(udrv_flash_write(page0, data.size(), data.data()), -7);
  EXPECT_EQ(fake::port.page_stats[page1].erases, 0);
}

TEST_F(Flash, BootloaderEntryDuringAWriteWaitsForTheWriteToFinish) {
  // The escape recognizer asks for the bootloader from an interrupt that
  // arrives between the erase and the program of a page.
  fake::port.on_erase = [](uint32_t) {
    fake::port.on_erase = nullptr;
    udrv_enter_dfu();
    EXPECT_EQ(fake::port.dfu_entries, 0);
  };
  auto const data = pattern(64, 1);
  ASSERT_EQ(udrv_flash_write(page0, data.size(), data.data()), 0);
  EXPECT_EQ(fake::port.dfu_entries, 1);
  EXPECT_EQ(fake::port.log, (std::vector<std::string>{"flash_erase", "flash_program",
                                                      "flash_program", "enter_dfu"}));
  EXPECT_EQ(flash_bytes(page0, data.size()), data);
}

// Whatever write unit the supply is lost at, the page's first bytes are still
// erased, so the start of a record (its magic) never stands before a torn
// rest.
TEST_F(Flash, AWriteCutShortLeavesThePageHeadErased) {
  auto const old_bytes = pattern(2048, 40);
  auto const data = pattern(660, 90);
  uint32_t const units = 2048 / fake::write_unit;
  for (uint32_t done = 0; done < units; done++) {
    fake::port.reset();
    fake::port.flash_put(page0, old_bytes);
    fake::port.units_before_failure = done;
    EXPECT_EQ(udrv_flash_write(page0, data.size(), data.data()), -7) << done;
    EXPECT_EQ(flash_bytes(page0, 8), std::vector<uint8_t>(8, 0xFF)) << done;
    EXPECT_EQ(fake::port.refused_programs, 0) << done;
  }
  // With every unit written the page holds the new bytes, programmed once
  // each into erased cells.
  fake::port.reset();
  fake::port.flash_put(page0, old_bytes);
  ASSERT_EQ(udrv_flash_write(page0, data.size(), data.data()), 0);
  EXPECT_EQ(flash_bytes(page0, data.size()), data);
  EXPECT_EQ(fake::port.refused_programs, 0);
}

// The fake follows the chip: a cell is programmed only when erased and at a
// write unit's boundary.
TEST_F(Flash, TheFakeChipRefusesProgrammingAWrittenOrMisalignedCell) {
  uint8_t const unit[fake::write_unit] = {1, 2, 3, 4};
  EXPECT_EQ(uhal_flash_write(page0, unit, sizeof(unit)), 0);
  EXPECT_EQ(uhal_flash_write(page0, unit, sizeof(unit)), -7) << "written twice";
  EXPECT_EQ(uhal_flash_write(page0 + 1, unit, sizeof(unit)), -7) << "misaligned";
  EXPECT_EQ(uhal_flash_write(page1, unit, sizeof(unit) - 1), -7) << "part of a unit";
  EXPECT_EQ(fake::port.refused_programs, 3);
  EXPECT_EQ(flash_bytes(page0, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST_F(Flash, BootloaderEntryOutsideAFlashOperationIsImmediate) {
  udrv_enter_dfu();
  EXPECT_EQ(fake::port.dfu_entries, 1);
}

// ---- Records kept in two copies ----

constexpr udrv_flash_copies_t kCopies = {{page1, page0}, 2048};

std::vector<uint8_t> read_copies(int32_t *ret, uint32_t *number = nullptr) {
  std::vector<uint8_t> v(660, 0xEE);
  *ret = udrv_flash_copies_read(&kCopies, v.data(), static_cast<uint32_t>(v.size()), number);
  return v;
}

// A write fills both slots, the one that does not hold the newest copy
// first; each copy reads back; the same record again writes nothing.
TEST_F(Flash, CopiesAreWrittenToBothSlotsAndReadBack) {
  auto const a = pattern(660, 5);
  ASSERT_EQ(udrv_flash_copies_write(&kCopies, a.data(), a.size(), 0), 0);
  EXPECT_EQ(fake::port.page_stats[page0].erases, 1);
  EXPECT_EQ(fake::port.page_stats[page1].erases, 1);
  EXPECT_EQ(flash_bytes(page0, 660), a);
  EXPECT_EQ(flash_bytes(page1, 660), a);
  int32_t ret;
  uint32_t number = 0;
  EXPECT_EQ(read_copies(&ret, &number), a);
  EXPECT_EQ(ret, 0);
  EXPECT_EQ(number, 1u);
  ASSERT_EQ(udrv_flash_copies_write(&kCopies, a.data(), a.size(), 0), 0);
  EXPECT_EQ(fake::port.total_erases(), 2) << "unchanged: nothing written";
  auto const b = pattern(660, 9);
  ASSERT_EQ(udrv_flash_copies_write(&kCopies, b.data(), b.size(), 0), 0);
  EXPECT_EQ(read_copies(&ret, &number), b);
  EXPECT_EQ(number, 2u);
}

// No copy yet: the read says so and leaves the buffer alone; the first write
// keeps what the single-copy layout left in slot[0] until slot[1] is whole.
TEST_F(Flash, WithoutACopyTheSingleCopyLayoutIsKeptUntilTheFirstCopyIsWhole) {
  auto const legacy = pattern(660, 1);
  fake::port.flash_put(page1, legacy);
  int32_t ret;
  EXPECT_EQ(read_copies(&ret), std::vector<uint8_t>(660, 0xEE));
  EXPECT_EQ(ret, 1);
  std::vector<uint32_t> erased;
  fake::port.on_erase = [&](uint32_t page) { erased.push_back(page); };
  auto const a = pattern(660, 5);
  ASSERT_EQ(udrv_flash_copies_write(&kCopies, a.data(), a.size(), 0), 0);
  EXPECT_EQ(erased, (std::vector<uint32_t>{page0, page1}));
}

// Whichever copy is damaged or torn (its record, its trailer, a program
// refused part-way), the other one is read; with both damaged none is.
TEST_F(Flash, ADamagedOrTornCopyIsPassedOverForTheOther) {
  auto const a = pattern(660, 5);
  auto const b = pattern(660, 9);
  struct Case {
    const char *what;
    uint32_t at;  // byte flipped (0: none)
    bool second_write_torn;
    std::vector<uint8_t> want;
  };
  const Case cases[] = {
      {"record byte of the first slot", page1 + 100, false, b},
      {"trailer of the first slot", page1 + 664, false, b},
      {"record byte of the second slot", page0 + 3, false, b},
      {"trailer of the second slot", page0 + 670, false, b},
      {"second write torn in its first copy", 0, true, a},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fake::port.reset();
    udrv_flash_init();
    ASSERT_EQ(udrv_flash_copies_write(&kCopies, a.data(), a.size(), 0), 0);
    if (c.second_write_torn) {
      fake::port.units_before_failure = 20;
      EXPECT_NE(udrv_flash_copies_write(&kCopies, b.data(), b.size(), 0), 0);
      fake::port.units_before_failure = UINT32_MAX;
    } else {
      ASSERT_EQ(udrv_flash_copies_write(&kCopies, b.data(), b.size(), 0), 0);
      fake::port.flash_put(c.at, {static_cast<uint8_t>(fake::port.flash_byte(c.at) ^ 0x10)});
    }
    int32_t ret;
    EXPECT_EQ(read_copies(&ret), c.want);
    EXPECT_EQ(ret, 0);
  }
  // Both damaged: no copy.
  fake::port.flash_put(page0 + 3, {static_cast<uint8_t>(fake::port.flash_byte(page0 + 3) ^ 1)});
  fake::port.flash_put(page1 + 3, {static_cast<uint8_t>(fake::port.flash_byte(page1 + 3) ^ 1)});
  int32_t ret;
  read_copies(&ret);
  EXPECT_EQ(ret, 1);
}

// A record that does not fit a slot with its trailer is refused unwritten.
TEST_F(Flash, ARecordTooLongForItsSlotIsRefused) {
  auto const big = pattern(2048 - 16 + 1, 3);
  EXPECT_EQ(udrv_flash_copies_write(&kCopies, big.data(), big.size(), 0), -UDRV_WRONG_ARG);
  EXPECT_EQ(fake::port.total_erases(), 0);
  auto const fits = pattern(2048 - 16, 3);
  EXPECT_EQ(udrv_flash_copies_write(&kCopies, fits.data(), fits.size(), 0), 0);
}

}  // namespace
