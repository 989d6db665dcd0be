// System services of the STM32WLE5 images: the critical section, the unique
// ID, reboot, the internal flash, the stop-mode sleep with its wake-up timer,
// the millisecond delay and the entry into the serial bootloader.
#include <string.h>

#include "qiv_board.h"
#include "stm32wle5xx_port.h"
#include "udrv_delay.h"
#include "udrv_dfu.h"
#include "udrv_flash.h"
#include "udrv_powersave.h"

// ---------------------------------------------------------------- system ----
void uhal_sys_board_critical_section_begin(uint32_t *mask) {
  *mask = __get_PRIMASK();
  __disable_irq();
}

void uhal_sys_board_critical_section_end(uint32_t *mask) { __set_PRIMASK(*mask); }

void uhal_sys_get_uid(uint32_t *uid0, uint32_t *uid1, uint32_t *uid2) {
  *uid0 = HAL_GetUIDw0();
  *uid1 = HAL_GetUIDw1();
  *uid2 = HAL_GetUIDw2();
}

void uhal_sys_reboot(void) { NVIC_SystemReset(); }

// No random source behind the driver layer's call on this port.
uint32_t uhal_sys_random(uint32_t maxvalue) { return maxvalue; }

// Rows of the board's battery table (the battery service's calibration).
uint32_t get_batt_table_size(void) { return qiv_board.batt_table_rows; }

// ----------------------------------------------------------------- flash ----
namespace {

constexpr uint32_t kFlashBase = 0x08000000U;
constexpr uint32_t kPageSize = 2048U;

}  // namespace

void uhal_flash_init(void) {}

uint32_t uhal_flash_get_page_size(void) { return kPageSize; }

int32_t uhal_flash_read(uint32_t addr, uint8_t *buff, uint32_t len) {
  memcpy(buff, reinterpret_cast<const void *>(static_cast<uintptr_t>(addr)), len);
  return 0;
}

// Programs whole double words from `addr`; a last partial double word is
// completed with erased bytes.
int32_t uhal_flash_write(uint32_t addr, uint8_t const *buff, uint32_t len) {
  HAL_FLASH_Unlock();
  __HAL_FLASH_CLEAR_FLAG(FLASH_FLAG_ALLERRORS);
  for (uint32_t done = 0; done < len; done += 8) {
    uint8_t bytes[8];
    memset(bytes, 0xFF, sizeof bytes);
    memcpy(bytes, buff + done, len - done < 8 ? len - done : 8);
    uint64_t dword;
    memcpy(&dword, bytes, sizeof dword);
    if (HAL_FLASH_Program(FLASH_TYPEPROGRAM_DOUBLEWORD, addr + done, dword) != HAL_OK) {
      HAL_FLASH_Lock();
      return -UDRV_INTERNAL_ERR;
    }
  }
  HAL_FLASH_Lock();
  return 0;
}

int32_t uhal_flash_erase(uint32_t addr, uint32_t len) {
  HAL_FLASH_Unlock();
  __HAL_FLASH_CLEAR_FLAG(FLASH_FLAG_ALLERRORS);
  FLASH_EraseInitTypeDef erase = {};
  erase.TypeErase = FLASH_TYPEERASE_PAGES;
  erase.Page = (addr - kFlashBase) / kPageSize;
  erase.NbPages = len / kPageSize;
  uint32_t page_error = 0;
  HAL_StatusTypeDef st = HAL_FLASHEx_Erase(&erase, &page_error);
  HAL_FLASH_Lock();
  return st == HAL_OK ? 0 : -UDRV_INTERNAL_ERR;
}

// ------------------------------------------------------------ power save ----
UTIL_TIMER_Object_t uhal_ps_timer_id;

namespace {
// The timer server counts 32-bit ticks of the 32768 Hz RTC, about 36 h; a
// longer sleep is timed in steps, and only the last step ends it.
constexpr uint32_t kPsTimerStepMs = 86400000U;
uint32_t ps_timer_remaining_ms;
timer_handler ps_timer_handler;

uint32_t ps_timer_next_step(void) {
  uint32_t const step =
      ps_timer_remaining_ms > kPsTimerStepMs ? kPsTimerStepMs : ps_timer_remaining_ms;
  ps_timer_remaining_ms -= step;
  return step;
}

void ps_timer_expired(void *context) {
  if (ps_timer_remaining_ms != 0) {
    UTIL_TIMER_SetPeriod(&uhal_ps_timer_id, ps_timer_next_step());
    UTIL_TIMER_Start(&uhal_ps_timer_id);
    return;
  }
  if (ps_timer_handler != nullptr) {
    ps_timer_handler(context);
  }
}
}  // namespace

int32_t uhal_ps_timer_create(timer_handler handler, TimerMode_E) {
  ps_timer_handler = handler;
  if (UTIL_TIMER_Create(&uhal_ps_timer_id, 0xFFFFFFFFU, UTIL_TIMER_ONESHOT, ps_timer_expired,
                        nullptr) != UTIL_TIMER_OK) {
    return -UDRV_INTERNAL_ERR;
  }
  return 0;
}

int32_t uhal_ps_timer_start(uint32_t count) {
  ps_timer_remaining_ms = count;
  if (UTIL_TIMER_SetPeriod(&uhal_ps_timer_id, ps_timer_next_step()) != UTIL_TIMER_OK ||
      UTIL_TIMER_Start(&uhal_ps_timer_id) != UTIL_TIMER_OK) {
    return -UDRV_INTERNAL_ERR;
  }
  return 0;
}

int32_t uhal_ps_timer_stop(void) {
  ps_timer_remaining_ms = 0;
  return UTIL_TIMER_Stop(&uhal_ps_timer_id) == UTIL_TIMER_OK ? 0 : -UDRV_INTERNAL_ERR;
}

// One pass of the sleep loop: stop mode until an interrupt; the interrupt
// that woke the MCU is taken when PRIMASK is restored. Whether to sleep at all
// is decided with interrupts masked, so that no wake-up and no posted event
// can slip in between the decision and the stop mode.
void uhal_mcu_sleep(uint8_t level) {
  uint32_t primask = __get_PRIMASK();
  __disable_irq();
  if (!udrv_powersave_sleep_goes_on()) {
    __set_PRIMASK(primask);
    return;
  }
  HAL_SuspendTick();
  LL_PWR_ClearFlag_C1STOP_C1STB();
  if (level == 2) {
    HAL_PWREx_EnterSTOP2Mode(PWR_STOPENTRY_WFI);
  } else {
    HAL_PWREx_EnterSTOP1Mode(PWR_LOWPOWERREGULATOR_ON, PWR_STOPENTRY_WFI);
  }
  HAL_ResumeTick();
  __set_PRIMASK(primask);
}

void uhal_sys_clock_init(void) {}

void uhal_sys_clock_on(void) { SystemClock_Config(); }

void uhal_sys_clock_off(void) {}

udrv_powersave_api powersave_driver = {
    uhal_mcu_sleep,
    uhal_sys_clock_init,
    uhal_sys_clock_on,
    uhal_sys_clock_off,
};

void uhal_delay_ms(uint32_t ms_time) { HAL_Delay(ms_time); }

// ------------------------------------------------------- bootloader entry ---
// Spoils the boot flag (its first byte becomes 0xFF, the rest of the page is
// kept) and resets: the bootloader then stays in its command loop.
void uhal_enter_dfu(void) {
  const uint8_t spoiled = 0xFF;
  udrv_flash_write(QIV_BOOT_FLAG_ADDR, 1, &spoiled);
  NVIC_SystemReset();
}
