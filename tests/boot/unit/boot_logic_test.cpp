// The bootloader's building blocks: number parsing, CRC-16, flash access,
// the boot-flag page and the download stall watchdog.
#include <gtest/gtest.h>

#include <cstddef>
#include <random>

#include "boot_test_util.h"

using namespace boottest;

namespace {

// The bootloader reads the record of the images the build makes.
static_assert(APP_RECORD_MAGIC_ADDR - APP_IMAGE_ADDR == offsetof(stm32sim::AppHeader, magic));
static_assert(APP_RECORD_LENGTH_ADDR - APP_IMAGE_ADDR == offsetof(stm32sim::AppHeader, length));
static_assert(APP_RECORD_CRC_ADDR - APP_IMAGE_ADDR == offsetof(stm32sim::AppHeader, crc32));
static_assert(APP_RECORD_MAGIC == stm32sim::kAppMagic);
static_assert(APP_IMAGE_MIN_LENGTH == sizeof(stm32sim::AppHeader));

class BootLogic : public ::testing::Test {
 protected:
  void SetUp() override { fake::power_on(); }
};

struct Str2IntCase {
  const char* text;
  bool ok;
  uint32_t value;
};

TEST(Str2Int, ConvertsAndRefuses) {
  const Str2IntCase cases[] = {
      {"200704", true, 200704},
      {"0x31000", true, 0x31000},
      {"0X31000", true, 0x31000},
      {"0xabcDEF", true, 0xABCDEF},
      {"196K", true, 196 * 1024},
      {"196k", true, 196 * 1024},
      {"1M", true, 1048576},
      {"3m", true, 3 * 1048576},
      {"0", true, 0},
      {"4294967295", true, 0xFFFFFFFFu},
      {"0xFFFFFFFF", true, 0xFFFFFFFFu},
      {"4194303K", true, 4194303u * 1024u},
      // refused
      {"", false, 0},
      {"0x", false, 0},
      {"K", false, 0},
      {"M", false, 0},
      {"12a", false, 0},
      {"-5", false, 0},
      {" 5", false, 0},
      {"196KB", false, 0},
      {"1K2", false, 0},
      {"0x31g", false, 0},
      {"4294967296", false, 0},   // does not fit in 32 bits
      {"99999999999", false, 0},  // 11 digits: more than is looked at
      {"0x100000000", false, 0},
      {"4194304K", false, 0},  // 4 GiB
      {"4096M", false, 0},
      {"000000000001", false, 0},  // 12 characters
  };
  for (const auto& c : cases) {
    uint32_t value = 0xDEADBEEF;
    uint32_t ok = Str2Int(reinterpret_cast<const uint8_t*>(c.text), &value);
    EXPECT_EQ(ok, c.ok ? 1u : 0u) << "'" << c.text << "'";
    EXPECT_EQ(value, c.ok ? c.value : 0xDEADBEEFu) << "'" << c.text << "'";
  }
}

TEST(Crc16, MatchesXmodemCheckValueAndAnIndependentForm) {
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Cal_CRC16(check, sizeof(check)), 0x31C3);
  std::mt19937 rng(7);
  for (size_t len : {0u, 1u, 128u, 1024u}) {
    std::vector<uint8_t> d(len);
    for (auto& b : d) b = static_cast<uint8_t>(rng());
    EXPECT_EQ(Cal_CRC16(d.data(), static_cast<uint32_t>(len)), ytest::crc16_xmodem(d.data(), len))
        << len;
  }
}

TEST_F(BootLogic, PageNumbersAndAreaErase) {
  EXPECT_EQ(GetPage(APP_IMAGE_ADDR), 12u);
  EXPECT_EQ(GetPage(BOOT_FLAG_ADDR), 8u);
  EXPECT_EQ(GetPage(APP_IMAGE_END - 1), 109u);
  fake::flash_poke_word(APP_IMAGE_END, 0x12345678);       // the application's storage
  fake::flash_poke_word(APP_IMAGE_ADDR - 4, 0x87654321);  // just below the area
  ASSERT_EQ(FLASH_If_Erase(APP_IMAGE_ADDR), static_cast<uint32_t>(FLASHIF_OK));
  EXPECT_EQ(fake::chip().erased_pages, 98u);
  EXPECT_EQ(fake::chip().erase_log.front(), 12u);
  EXPECT_EQ(fake::chip().erase_log.back(), 109u);
  EXPECT_EQ(fake::flash_word(APP_IMAGE_END), 0x12345678u);
  EXPECT_EQ(fake::flash_word(APP_IMAGE_ADDR - 4), 0x87654321u);
  EXPECT_TRUE(fake::chip().flash_locked);
  // Nothing outside the area, and a failing erase is reported.
  EXPECT_EQ(FLASH_If_Erase(BOOT_FLAG_ADDR), static_cast<uint32_t>(FLASHIF_ERASEKO));
  EXPECT_EQ(FLASH_If_Erase(APP_IMAGE_END), static_cast<uint32_t>(FLASHIF_ERASEKO));
  fake::chip().fail_erase = true;
  EXPECT_EQ(FLASH_If_Erase(APP_IMAGE_ADDR), static_cast<uint32_t>(FLASHIF_ERASEKO));
  EXPECT_EQ(fake::chip().erased_pages, 98u);
}

TEST_F(BootLogic, WriteProgramsVerifiesAndStaysInsideTheArea) {
  std::vector<uint32_t> words(256);
  for (size_t i = 0; i < words.size(); ++i) words[i] = 0xA5000000u + static_cast<uint32_t>(i);
  ASSERT_EQ(FLASH_If_Write(APP_IMAGE_ADDR, words.data(), 256), static_cast<uint32_t>(FLASHIF_OK));
  EXPECT_EQ(
      std::memcmp(fake::chip().flash + (APP_IMAGE_ADDR - fake::kFlashBase), words.data(), 1024), 0);
  EXPECT_TRUE(fake::chip().flash_locked);

  struct Case {
    uint32_t dest;
    uint32_t words;
    uint32_t result;
  } cases[] = {
      {APP_IMAGE_END - 1024, 256, FLASHIF_OK},             // the last KB of the area
      {APP_IMAGE_END - 1016, 256, FLASHIF_WRITING_ERROR},  // would cross the end
      {APP_IMAGE_END, 2, FLASHIF_WRITING_ERROR},
      {APP_IMAGE_ADDR - 8, 2, FLASHIF_WRITING_ERROR},
      {0xFFFFFFF8u, 2, FLASHIF_WRITING_ERROR},         // wraps around
      {APP_IMAGE_ADDR + 4, 2, FLASHIF_WRITING_ERROR},  // not a double word
      {APP_IMAGE_ADDR, 2, FLASHIF_WRITING_ERROR},      // already programmed
  };
  for (const auto& c : cases) {
    uint64_t before = fake::chip().programmed_units;
    EXPECT_EQ(FLASH_If_Write(c.dest, words.data(), c.words), c.result) << std::hex << c.dest;
    if (c.result != FLASHIF_OK) {
      EXPECT_EQ(fake::chip().programmed_units, before) << std::hex << c.dest;
    }
  }
  EXPECT_EQ(fake::flash_word(APP_IMAGE_END), kErased);

  // A double word that reads back wrong.
  fake::chip().corrupt_program_at = APP_IMAGE_ADDR + 0x1000 + 8;
  EXPECT_EQ(FLASH_If_Write(APP_IMAGE_ADDR + 0x1000, words.data(), 8),
            static_cast<uint32_t>(FLASHIF_WRITINGCTRL_ERROR));
  fake::chip().fail_program_at = APP_IMAGE_ADDR + 0x2000;
  EXPECT_EQ(FLASH_If_Write(APP_IMAGE_ADDR + 0x2000, words.data(), 8),
            static_cast<uint32_t>(FLASHIF_WRITING_ERROR));
  EXPECT_TRUE(fake::chip().flash_locked);
}

TEST_F(BootLogic, FlagRewriteChangesOneWordAndKeepsTheOther) {
  set_flags(0x5A5A5AFF, UPDATE_FLAG_REQUESTED);
  fake::flash_poke_word(BOOT_FLAG_ADDR + 8, 0x11111111);  // stray data is cleared
  HAL_FLASH_Program_Flag(BOOT_FLAG_ADDR, BOOT_FLAG_RUN_APP);
  EXPECT_EQ(boot_flag(), BOOT_FLAG_RUN_APP);
  EXPECT_EQ(update_flag(), UPDATE_FLAG_REQUESTED);
  EXPECT_EQ(fake::flash_word(BOOT_FLAG_ADDR + 8), kErased);
  HAL_FLASH_Program_Flag(UPDATE_FLAG_ADDR, UPDATE_FLAG_DONE);
  EXPECT_EQ(boot_flag(), BOOT_FLAG_RUN_APP);
  EXPECT_EQ(update_flag(), UPDATE_FLAG_DONE);
  // Each write: the copy's page first, then the flag page.
  EXPECT_EQ(fake::chip().erase_log, (std::vector<uint32_t>{9, 8, 9, 8}));
  EXPECT_TRUE(fake::chip().flash_locked);

  // A failing erase leaves the page as it is.
  fake::chip().fail_erase = true;
  HAL_FLASH_Program_Flag(UPDATE_FLAG_ADDR, UPDATE_FLAG_REQUESTED);
  EXPECT_EQ(boot_flag(), BOOT_FLAG_RUN_APP);
  EXPECT_EQ(update_flag(), UPDATE_FLAG_DONE);
}

TEST_F(BootLogic, StallWatchdogActsOnlyEvery15sDuringAFile) {
  ymodem_file_active = 0;
  packets_counted = 5;
  packets_received_bak = 5;
  EXPECT_NO_THROW(upgrade_process_callback(15000));  // no file: never

  ymodem_file_active = 1;
  EXPECT_NO_THROW(upgrade_process_callback(15001));  // not a check tick
  EXPECT_THROW(upgrade_process_callback(30000), fake::Reset);

  // Progress since the last check, even a multiple of 256 blocks, counts.
  packets_received_bak = 5;
  packets_counted = 5 + 256;
  EXPECT_NO_THROW(upgrade_process_callback(45000));
  EXPECT_EQ(packets_received_bak, 5u + 256u);
  EXPECT_THROW(upgrade_process_callback(60000), fake::Reset);
  ymodem_file_active = 0;
}

}  // namespace
