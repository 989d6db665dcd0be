// Critical section, unique ID, flash primitives, stop-mode sleep and the
// bootloader entry of the port.
#include <cstring>

#include "port_fixture.h"
#include "udrv_flash.h"
#include "udrv_powersave.h"

namespace {

const uint8_t* flash_at(uint32_t addr) {
  return reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(addr));
}

bool erased(uint32_t addr, uint32_t len) {
  for (uint32_t i = 0; i < len; ++i)
    if (flash_at(addr)[i] != 0xFF) return false;
  return true;
}

void on_wake(void*) { udrv_powersave_in_sleep = false; }

}  // namespace

TEST_F(PortTest, CriticalSectionsNest) {
  for (uint32_t entry : {0u, 1u}) {
    __set_PRIMASK(entry);
    uint32_t outer, inner;
    uhal_sys_board_critical_section_begin(&outer);
    EXPECT_EQ(__get_PRIMASK(), 1u);
    uhal_sys_board_critical_section_begin(&inner);
    uhal_sys_board_critical_section_end(&inner);
    EXPECT_EQ(__get_PRIMASK(), 1u) << "inner exit keeps interrupts masked";
    uhal_sys_board_critical_section_end(&outer);
    EXPECT_EQ(__get_PRIMASK(), entry) << "outer exit restores the state found on entry";
  }
  __set_PRIMASK(0);
}

TEST_F(PortTest, AnInterruptWaitsForTheEndOfTheSection) {
  bool ran = false;
  static bool* ran_ptr;
  ran_ptr = &ran;
  sim::irq_set_handler(stm32sim::sim_irq(RNG_IRQn), [] { *ran_ptr = true; });
  sim::irq_enable(stm32sim::sim_irq(RNG_IRQn), true);
  uint32_t mask;
  uhal_sys_board_critical_section_begin(&mask);
  NVIC_SetPendingIRQ(RNG_IRQn);
  run_for(1000);
  EXPECT_FALSE(ran);
  uhal_sys_board_critical_section_end(&mask);
  EXPECT_TRUE(ran);
}

TEST_F(PortTest, UniqueIdWordsInOrder) {
  sim::host::set_unique_id(0x11111111u, 0x22222222u, 0x33333333u);
  uint32_t w0, w1, w2;
  uhal_sys_get_uid(&w0, &w1, &w2);
  EXPECT_EQ(w0, 0x11111111u);
  EXPECT_EQ(w1, 0x22222222u);
  EXPECT_EQ(w2, 0x33333333u);
}

TEST_F(PortTest, RandomAnswersItsBound) {
  for (uint32_t max : {0u, 100u, 0xFFFFFFFFu}) EXPECT_EQ(uhal_sys_random(max), max);
}

TEST_F(PortTest, FlashProgramsOnlyErasedDoubleWords) {
  const uint32_t addr = 0x08030000u;
  uint8_t first[16], second[16], back[16];
  for (int i = 0; i < 16; ++i) {
    first[i] = static_cast<uint8_t>(i);
    second[i] = static_cast<uint8_t>(0xA0 + i);
  }
  EXPECT_EQ(uhal_flash_write(addr, first, 16), 0);
  EXPECT_TRUE(stm32sim::flash_locked());
  EXPECT_EQ(uhal_flash_read(addr, back, 16), 0);
  EXPECT_EQ(std::memcmp(back, first, 16), 0);
  // Cells that are not erased refuse a new value; the flash is locked again.
  EXPECT_EQ(uhal_flash_write(addr, second, 16), -7);
  EXPECT_TRUE(stm32sim::flash_locked());
  EXPECT_EQ(std::memcmp(flash_at(addr), first, 16), 0);
  // After the page erase they take it.
  EXPECT_EQ(uhal_flash_erase(addr, 2048), 0);
  EXPECT_EQ(uhal_flash_write(addr, second, 16), 0);
  EXPECT_EQ(std::memcmp(flash_at(addr), second, 16), 0);
}

TEST_F(PortTest, AShortLastDoubleWordIsCompletedWithErasedBytes) {
  const uint32_t addr = 0x08031000u;
  const uint8_t data[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(uhal_flash_write(addr, data, 5), 0);
  const uint8_t want[8] = {1, 2, 3, 4, 5, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(flash_at(addr), want, 8), 0);
}

TEST_F(PortTest, EraseTakesWholePagesFromTheAddress) {
  const uint8_t mark[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  for (uint32_t page : {109u, 110u, 111u, 112u}) {
    ASSERT_EQ(uhal_flash_write(0x08000000u + page * 2048u, mark, 8), 0);
  }
  EXPECT_EQ(uhal_flash_get_page_size(), 2048u);
  EXPECT_EQ(uhal_flash_erase(0x08037000u, 4096), 0);
  EXPECT_FALSE(erased(0x08000000u + 109u * 2048u, 8));
  EXPECT_TRUE(erased(0x08037000u, 4096));
  EXPECT_FALSE(erased(0x08000000u + 112u * 2048u, 8));
}

TEST_F(PortTest, AFailingFlashOperationAnswersMinusSeven) {
  sim::host::flash_fail_after(0);
  const uint8_t data[8] = {1};
  EXPECT_EQ(uhal_flash_erase(0x08030000u, 2048), -7);
  EXPECT_EQ(uhal_flash_write(0x08030000u, data, 8), -7);
  EXPECT_TRUE(stm32sim::flash_locked());
  sim::host::flash_fail_after(~uint64_t{0});
}

TEST_F(PortTest, EnteringTheBootloaderSpoilsOnlyTheBootFlagByte) {
  // Boot flag "run", update flag "done", and a word further in the page.
  const uint8_t flags[8] = {0x5A, 0x5A, 0x5A, 0x5A, 0x02, 0x02, 0x02, 0x02};
  const uint8_t other[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(uhal_flash_write(QIV_BOOT_FLAG_ADDR, flags, 8), 0);
  ASSERT_EQ(uhal_flash_write(QIV_BOOT_FLAG_ADDR + 16, other, 8), 0);
  EXPECT_THROW(uhal_enter_dfu(), ChipReset);
  const uint8_t spoiled[8] = {0xFF, 0x5A, 0x5A, 0x5A, 0x02, 0x02, 0x02, 0x02};
  EXPECT_EQ(std::memcmp(flash_at(QIV_BOOT_FLAG_ADDR), spoiled, 8), 0);
  EXPECT_EQ(std::memcmp(flash_at(QIV_BOOT_FLAG_ADDR + 16), other, 8), 0);
  EXPECT_TRUE(erased(QIV_BOOT_FLAG_ADDR + 24, 2048 - 24));
}

TEST_F(PortTest, SleepLevelChoosesTheStopMode) {
  struct Case {
    uint8_t level;
    int stop;
  };
  ASSERT_EQ(uhal_ps_timer_create(on_wake, HTMR_ONESHOT), 0);
  for (const Case& c : {Case{1, 1}, Case{2, 2}, Case{0, 1}}) {
    stm32sim::clear_sleep_log();
    udrv_powersave_in_sleep = true;
    ASSERT_EQ(uhal_ps_timer_start(100), 0);
    uint32_t tick_before = HAL_GetTick();
    sim::time_us t0 = sim::now();
    while (udrv_powersave_in_sleep) uhal_mcu_sleep(c.level);
    EXPECT_GE(sim::now() - t0, 99000u);
    ASSERT_FALSE(stm32sim::sleep_log().empty());
    EXPECT_EQ(stm32sim::sleep_log()[0].level, c.stop) << int(c.level);
    // The tick does not count in stop mode.
    EXPECT_LE(HAL_GetTick() - tick_before, 2u);
  }
}

TEST_F(PortTest, DelayWaitsAtLeastTheTime) {
  for (uint32_t ms : {0u, 1u, 250u}) {
    sim::time_us t0 = sim::now();
    uhal_delay_ms(ms);
    EXPECT_GE(sim::now() - t0, ms * 1000u);
    EXPECT_LE(sim::now() - t0, (ms + 1) * 1000u);
  }
}

TEST_F(PortTest, ADelayThatKeepsServingEventsEnds) {
  // udrv_app_delay_ms polls the RTC timestamp between drain steps.
  for (uint32_t ms : {0u, 50u, 2000u}) {
    uint64_t t0 = uhal_rtc_get_timestamp();
    udrv_app_delay_ms(ms);
    uint64_t waited = uhal_rtc_get_timestamp() - t0;
    EXPECT_GE(waited, ms);
    EXPECT_LE(waited, ms + 1);
  }
}
