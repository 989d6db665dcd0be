// The STM32WL stand-ins on the simulated chip: the tick, the flash
// controller's rules, polling UART reception, system time, the application
// file and the jump into an application.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>

#include "sim/host.h"
#include "sim/sim.h"
#include "stm32_appfile.h"
#include "stm32_sim.h"
#include "stm32wl_hal.h"
#include "util_systime.h"

namespace {

struct ChipReset {
  std::string image;
};

class Stm32Platform : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    sim::host::set_reset_handler(
        [](void*, const char* image) { throw ChipReset{image ? image : ""}; }, nullptr);
    char path[] = "/tmp/stm32-platform-test-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    unlink(path);
    path_ = path;
    std::string error;
    ASSERT_TRUE(sim::host::flash_open(
        path_, sim::FlashGeometry{0x08000000u, 256u * 1024u, 2048u, 8u}, &error))
        << error;
    stm32sim::reset_platform();
    HAL_Init();
  }
  void TearDown() override {
    sim::host::reset_core();
    unlink(path_.c_str());
    unlink((path_ + ".stats").c_str());
  }
  std::string path_;
};

// System time over a calendar kept in two plain words.
uint32_t g_bkup_s, g_bkup_ms, g_calendar_s;
uint16_t g_calendar_ms;

}  // namespace

const UTIL_SYSTIM_Driver_s UTIL_SYSTIMDriver = {
    [](uint32_t s) { g_bkup_s = s; },
    [] { return g_bkup_s; },
    [](uint32_t ms) { g_bkup_ms = ms; },
    [] { return g_bkup_ms; },
    [](uint16_t* ms) {
      *ms = g_calendar_ms;
      return g_calendar_s;
    },
};

TEST_F(Stm32Platform, APollingLoopOnTheTickSeesTimeMove) {
  uint32_t start = HAL_GetTick();
  sim::time_us t0 = sim::now();
  while (HAL_GetTick() - start < 5) {
  }
  EXPECT_GE(sim::now() - t0, 4000u);
  EXPECT_LE(sim::now() - t0, 6000u);
}

TEST_F(Stm32Platform, TheTickStandsStillWhileSuspended) {
  sim::cpu_spend(10000);
  uint32_t before = HAL_GetTick();
  HAL_SuspendTick();
  sim::cpu_spend(500000);
  HAL_ResumeTick();
  EXPECT_EQ(HAL_GetTick() - before, 0u);
  HAL_Delay(20);
  EXPECT_GE(HAL_GetTick() - before, 20u);
}

TEST_F(Stm32Platform, FlashControllerRules) {
  const uint32_t addr = 0x08020000u;
  struct Case {
    const char* what;
    bool unlocked;
    uint32_t address;
    uint32_t flag;
  };
  const Case cases[] = {
      {"locked", false, addr, FLASH_FLAG_WRPERR},
      {"misaligned", true, addr + 4, FLASH_FLAG_PGAERR},
      {"outside the flash", true, 0x08040000u, FLASH_FLAG_PROGERR},
  };
  for (const Case& c : cases) {
    if (c.unlocked) HAL_FLASH_Unlock();
    EXPECT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_DOUBLEWORD, c.address, 0x1122334455667788ull),
              HAL_ERROR)
        << c.what;
    EXPECT_TRUE(HAL_FLASH_GetError() & c.flag) << c.what;
    // Writing ones clears the error flags.
    __HAL_FLASH_CLEAR_FLAG(FLASH_FLAG_ALLERRORS);
    EXPECT_EQ(HAL_FLASH_GetError(), 0u) << c.what;
    HAL_FLASH_Lock();
  }
  HAL_FLASH_Unlock();
  ASSERT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_DOUBLEWORD, addr, 0x1122334455667788ull), HAL_OK);
  const uint8_t want[8] = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(static_cast<uintptr_t>(addr)), want, 8), 0);
  // A second value into the same cells is a programming error.
  EXPECT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_DOUBLEWORD, addr, 0), HAL_ERROR);
  EXPECT_TRUE(HAL_FLASH_GetError() & FLASH_FLAG_PROGERR);
  // While an error flag is set no programming starts.
  EXPECT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_DOUBLEWORD, addr + 8, 0), HAL_ERROR);
  __HAL_FLASH_CLEAR_FLAG(FLASH_FLAG_ALLERRORS);
  FLASH_EraseInitTypeDef erase = {FLASH_TYPEERASE_PAGES, (addr - 0x08000000u) / 2048u, 1};
  uint32_t page_error = 0;
  EXPECT_EQ(HAL_FLASHEx_Erase(&erase, &page_error), HAL_OK);
  EXPECT_EQ(page_error, 0xFFFFFFFFu);
  EXPECT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_DOUBLEWORD, addr, 0), HAL_OK);
  HAL_FLASH_Lock();
}

TEST_F(Stm32Platform, PollingReceiveTakesBytesOrTimesOut) {
  UART_HandleTypeDef h = {};
  h.Instance = USART2;
  h.Init.BaudRate = 115200;
  h.Init.Mode = UART_MODE_TX_RX;
  ASSERT_EQ(HAL_UART_Init(&h), HAL_OK);
  uint8_t buf[4] = {};
  sim::time_us t0 = sim::now();
  EXPECT_EQ(HAL_UART_Receive(&h, buf, 1, 500), HAL_TIMEOUT);
  EXPECT_EQ(sim::now() - t0, 500000u);
  const uint8_t in[] = {'a', 't', '+'};
  sim::host::uart_feed(2, in, 3, sim::now() + 1000);
  EXPECT_EQ(HAL_UART_Receive(&h, buf, 3, 500), HAL_OK);
  EXPECT_EQ(std::memcmp(buf, in, 3), 0);
  // Bytes nobody reads overrun the data register: the first one stays.
  sim::host::uart_feed(2, in, 3, sim::now());
  sim::cpu_spend(5000);
  EXPECT_TRUE(__HAL_UART_GET_FLAG(&h, UART_FLAG_ORE));
  EXPECT_EQ(HAL_UART_Receive(&h, buf, 1, 10), HAL_OK);
  EXPECT_EQ(buf[0], 'a');
  __HAL_UART_CLEAR_OREFLAG(&h);
  EXPECT_FALSE(__HAL_UART_GET_FLAG(&h, UART_FLAG_ORE));
}

TEST(SysTime, AddAndSubCarryMilliseconds) {
  SysTime_t d = SysTimeSub({10, 200}, {3, 700});
  EXPECT_EQ(d.Seconds, 6u);
  EXPECT_EQ(d.SubSeconds, 500);
  SysTime_t s = SysTimeAdd({1, 600}, {2, 700});
  EXPECT_EQ(s.Seconds, 4u);
  EXPECT_EQ(s.SubSeconds, 300);
}

TEST(SysTime, SetStoresTheOffsetFromTheCalendar) {
  g_calendar_s = 100;
  g_calendar_ms = 900;
  SysTimeSet({1000, 100});
  EXPECT_EQ(g_bkup_s, 899u);
  EXPECT_EQ(g_bkup_ms, 200u);
  g_calendar_s = 105;
  g_calendar_ms = 0;
  SysTime_t now = SysTimeGet();
  EXPECT_EQ(now.Seconds, 1004u);
  EXPECT_EQ(now.SubSeconds, 200);
  EXPECT_EQ(SysTimeToMs(now), 105000u);
  SysTime_t back = SysTimeFromMs(105000);
  EXPECT_EQ(back.Seconds, 1004u);
  EXPECT_EQ(back.SubSeconds, 200);
}

TEST(SysTime, LocalTimeAgreesWithTheGregorianCalendar) {
  // Every day from 1970 to the end of 2099 at a varying time of day, checked
  // against the C library.
  for (uint64_t t = 0; t < 4102444800ull; t += 86400 + 3607) {
    time_t tt = static_cast<time_t>(t);
    if (static_cast<uint64_t>(tt) != t) break;  // 32-bit time_t ends in 2038
    struct tm want;
    ASSERT_NE(gmtime_r(&tt, &want), nullptr);
    struct tm got = {};
    SysTimeLocalTime(static_cast<uint32_t>(t), &got);
    ASSERT_EQ(got.tm_year, want.tm_year) << t;
    ASSERT_EQ(got.tm_mon, want.tm_mon) << t;
    ASSERT_EQ(got.tm_mday, want.tm_mday) << t;
    ASSERT_EQ(got.tm_yday, want.tm_yday) << t;
    ASSERT_EQ(got.tm_wday, want.tm_wday) << t;
    ASSERT_EQ(got.tm_hour, want.tm_hour) << t;
    ASSERT_EQ(got.tm_min, want.tm_min) << t;
    ASSERT_EQ(got.tm_sec, want.tm_sec) << t;
    EXPECT_EQ(got.tm_isdst, -1);
  }
  struct tm leap = {};
  SysTimeLocalTime(951782400u, &leap);  // 2000-02-29
  EXPECT_EQ(leap.tm_mon, 1);
  EXPECT_EQ(leap.tm_mday, 29);
  EXPECT_EQ(leap.tm_yday, 59);
  EXPECT_EQ(leap.tm_wday, 2);
  struct tm late = {};
  SysTimeLocalTime(4102444799u, &late);  // 2099-12-31 23:59:59
  EXPECT_EQ(late.tm_year, 199);
  EXPECT_EQ(late.tm_mon, 11);
  EXPECT_EQ(late.tm_mday, 31);
  EXPECT_EQ(late.tm_yday, 364);
}

TEST(AppFile, NamesItsProgramAndIsChecked) {
  std::vector<uint8_t> f = stm32sim::make_app_file("brisola-e", 4096);
  ASSERT_EQ(f.size(), 4096u);
  uint32_t sp;
  std::memcpy(&sp, f.data(), 4);
  EXPECT_EQ(sp & 0x2FFE0000u, 0x20000000u);  // the bootloader's check of a valid image
  EXPECT_EQ(stm32sim::app_file_program(f.data(), f.size()), "brisola-e");
  for (size_t at : {size_t{0}, size_t{20}, size_t{1000}, f.size() - 1}) {
    std::vector<uint8_t> bad = f;
    bad[at] ^= 0x01;
    EXPECT_EQ(stm32sim::app_file_program(bad.data(), bad.size()), "") << at;
  }
  EXPECT_EQ(stm32sim::app_file_program(f.data(), 100), "");  // cut short
  EXPECT_EQ(stm32sim::make_app_file("x", 1u << 20).size(), stm32sim::kAppAreaSize);
}

TEST_F(Stm32Platform, LoadingTheApplicationsStackPointerStartsIt) {
  std::vector<uint8_t> f = stm32sim::make_app_file("brisola-e", 8192);
  HAL_FLASH_Unlock();
  for (size_t i = 0; i < f.size(); i += 8) {
    uint64_t dw;
    std::memcpy(&dw, f.data() + i, 8);
    ASSERT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_DOUBLEWORD, stm32sim::kAppAreaBase + i, dw),
              HAL_OK);
  }
  HAL_FLASH_Lock();
  __set_MSP(0x20008000u);  // any other stack pointer is just loaded
  EXPECT_EQ(__get_MSP(), 0x20008000u);
  try {
    __set_MSP(stm32sim::kAppInitialSp);
    FAIL() << "the application did not start";
  } catch (const ChipReset& r) {
    EXPECT_EQ(r.image, "brisola-e");
  }
}
