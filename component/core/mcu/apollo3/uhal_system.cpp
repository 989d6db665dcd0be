// System services of the Apollo3 image: the flash primitives under the
// driver layer's page-buffered access, the bootloader entry, reboot, the
// nesting critical section, the random-number stub, the user-application
// timer and the blocking delay.
#include <string.h>

#include "am_util.h"
#include "apollo3_port.h"
#include "udrv_delay.h"
#include "udrv_dfu.h"
#include "udrv_flash.h"
#include "udrv_timer.h"

// The flash map (absolute addresses; pages of 8192 bytes).
#define MCU_FLASH_OTA_ADDRESS_UART 0x14000u
#define MCU_FLASH_OTA_ADDRESS 0x84000u
#define MCU_USER_DATA_NVM_ADDR 0xD4000u
#define MCU_SYS_CONFIG_NVM_ADDR 0xF4000u
#define MCU_CERT_CONFIG_NVM_ADDR 0xF4500u
#define MCU_FACTORY_DEFAULT_NVM_ADDR 0xF6000u
#define MCU_OTA_POINTER_LOCATION 0xF8000u
#define MCU_BLE_NVM_LOCATION 0xFA000u
#define MCU_BOOT_VERSION_LOCATION 0xFC000u
#define MCU_BOOTLOADER_FLAG_LOCATION 0xFE000u

static_assert(MCU_SYS_CONFIG_NVM_ADDR == QIV_CHIP_NVM_CFG_ADDR);
static_assert(MCU_CERT_CONFIG_NVM_ADDR == QIV_CHIP_NVM_LORA_MAC_ADDR);
static_assert(MCU_FACTORY_DEFAULT_NVM_ADDR == QIV_CHIP_NVM_FACTORY_ADDR);
static_assert(MCU_BOOT_VERSION_LOCATION == QIV_CHIP_BOOT_VERSION_ADDR);

namespace {
constexpr uint32_t kPageSize = 8192u;
constexpr uint8_t kBootloaderFlag = 0xAA;
}  // namespace

// ---------------------------------------------------------------- system ----
void uhal_sys_board_critical_section_begin(uint32_t *mask) {
  *mask = __get_PRIMASK();
  __disable_irq();
}

void uhal_sys_board_critical_section_end(uint32_t *mask) { __set_PRIMASK(*mask); }

void uhal_sys_reboot(void) {
  __DSB();
  NVIC_SystemReset();
  __DSB();
}

// No random source on this chip's port: callers get maxvalue.
uint32_t uhal_sys_random(uint32_t maxvalue) { return maxvalue; }

// No unique identifier command on this image.
void uhal_sys_get_uid(uint32_t *uid0, uint32_t *uid1, uint32_t *uid2) {
  *uid0 = 0;
  *uid1 = 0;
  *uid2 = 0;
}

// Nothing creates the user application timer on this image.
int32_t uhal_sys_user_app_timer_create(timer_handler, TimerMode_E) { return -UDRV_INTERNAL_ERR; }

int32_t uhal_sys_user_app_timer_start(uint32_t, void *) { return -UDRV_INTERNAL_ERR; }

int32_t uhal_sys_user_app_timer_stop(void) { return -UDRV_INTERNAL_ERR; }

// Busy delay of the vendor utility: the CPU is held, while interrupts and
// higher-priority tasks still run.
void uhal_delay_ms(uint32_t ms_time) { am_util_delay_ms(ms_time); }

// Rows of the board's voltage-to-level table (the battery service).
uint32_t get_batt_table_size(void) { return 41; }

// ----------------------------------------------------------------- flash ----
void uhal_flash_init(void) {}

uint32_t uhal_flash_get_page_size(void) { return kPageSize; }

int32_t uhal_flash_read(uint32_t addr, uint8_t *buff, uint32_t len) {
  APOLLO3_TRACE("READ program page at 0x%08lx", static_cast<unsigned long>(addr));
  memcpy(buff, reinterpret_cast<const void *>(static_cast<uintptr_t>(addr)), len);
  return 0;
}

// Programs len / 4 whole words; the page must be erased.
int32_t uhal_flash_write(uint32_t addr, uint8_t const *buff, uint32_t len) {
  uint32_t const words = len / 4;
  if (words == 0) {
    return 0;
  }
  // The source is word-aligned for the controller; the caller's buffer need
  // not be.
  static uint32_t staging[kPageSize / 4];
  uint32_t done = 0;
  while (done < words) {
    uint32_t n = words - done < kPageSize / 4 ? words - done : kPageSize / 4;
    memcpy(staging, buff + 4 * done, 4 * n);
    int status = am_hal_flash_program_main(
        AM_HAL_FLASH_PROGRAM_KEY, staging,
        reinterpret_cast<uint32_t *>(static_cast<uintptr_t>(addr + 4 * done)), n);
    if (status != 0) {
      APOLLO3_TRACE("FLASH program page at 0x%08lx i32ReturnCode = 0x%x.",
                    static_cast<unsigned long>(addr), static_cast<unsigned>(status));
      return -UDRV_INTERNAL_ERR;
    }
    done += n;
  }
  APOLLO3_TRACE("WRITE program page at 0x%08lx", static_cast<unsigned long>(addr));
  return 0;
}

// Erases len / 8192 pages, the first being the page that holds addr.
int32_t uhal_flash_erase(uint32_t addr, uint32_t len) {
  uint32_t page_addr = addr & ~(kPageSize - 1);
  for (uint32_t i = 0; i < len / kPageSize; ++i, page_addr += kPageSize) {
    int status =
        am_hal_flash_page_erase(AM_HAL_FLASH_PROGRAM_KEY, AM_HAL_FLASH_ADDR2INST(page_addr),
                                AM_HAL_FLASH_ADDR2PAGE(page_addr));
    if (status != 0) {
      APOLLO3_TRACE(" FLASH erase page at 0x%08lx i32ReturnCode =  0x%x.",
                    static_cast<unsigned long>(page_addr), static_cast<unsigned>(status));
      return -UDRV_INTERNAL_ERR;
    }
  }
  APOLLO3_TRACE("ERASE program page at 0x%08lx", static_cast<unsigned long>(addr));
  return 0;
}

// The bootloader's update mode: 0xAA at the flag byte (the rest of its page
// kept by the driver layer's page-buffered write), then a reset.
void uhal_enter_dfu(void) {
  udrv_flash_write(MCU_BOOTLOADER_FLAG_LOCATION, 1, &kBootloaderFlag);
  uhal_sys_reboot();
}
