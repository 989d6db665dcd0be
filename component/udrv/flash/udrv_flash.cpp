#include "udrv_flash.h"

#include <string.h>

#include "udrv_dfu.h"
#include "udrv_system.h"

static uint8_t page_buff[UDRV_FLASH_PAGE_BUFFER_SIZE];
// Programmed last in each page: one programming unit of every port (the
// STM32WLE5 programs double words).
static constexpr uint32_t flash_head_size = 8;
static uint8_t compare_buff[1024];
static bool udrv_flash_initialized;

// Depth of the flash operations running in the main line of control, and a
// bootloader entry requested from an interrupt meanwhile: the entry rewrites a
// flash page itself, through the same page buffer, so it waits until the
// running operation has finished.
static volatile uint32_t flash_busy;
static volatile bool dfu_pending;

static void flash_begin(void) {
  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  flash_busy = flash_busy + 1;
  udrv_system_critical_section_end(&mask);
}

static void flash_end(void) {
  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  flash_busy = flash_busy - 1;
  bool const enter = (flash_busy == 0) && dfu_pending;
  if (enter) {
    dfu_pending = false;
  }
  udrv_system_critical_section_end(&mask);
  if (enter) {
    udrv_enter_dfu();
  }
}

bool udrv_flash_defer_dfu(void) {
  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  bool const busy = flash_busy != 0;
  if (busy) {
    dfu_pending = true;
  }
  udrv_system_critical_section_end(&mask);
  return busy;
}

void udrv_flash_init(void) {
  if (!udrv_flash_initialized) {
#if QIV_CHIP_FLASH_NEEDS_INIT
    uhal_flash_init();
#endif
    udrv_flash_initialized = true;
  }
}

static int32_t flash_read(uint32_t addr, uint32_t len, uint8_t *buff) {
  uint32_t const page_size = uhal_flash_get_page_size();
  if (page_size == 0 || page_size > sizeof(page_buff)) {
    return -UDRV_BUFF_OVERFLOW;
  }
  uint32_t done = 0;
  while (done < len) {
    uint32_t const at = addr + done;
    uint32_t const page = at - (at % page_size);
    uint32_t const offset = at - page;
    uint32_t chunk = page_size - offset;
    if (chunk > len - done) {
      chunk = len - done;
    }
    // A page the port cannot read is a failure, not the last page's bytes.
    if (uhal_flash_read(page, page_buff, page_size) != 0) {
      return -UDRV_INTERNAL_ERR;
    }
    memcpy(buff + done, page_buff + offset, chunk);
    done += chunk;
  }
  return 0;
}

int32_t udrv_flash_read(uint32_t addr, uint32_t len, uint8_t *buff) {
  flash_begin();
  int32_t const ret = flash_read(addr, len, buff);
  flash_end();
  return ret;
}

// True when the flash already holds buff over the whole range.
static bool flash_equal(uint32_t addr, uint32_t len, uint8_t const *buff) {
  for (uint32_t done = 0; done < len; done += sizeof(compare_buff)) {
    uint32_t chunk = len - done;
    if (chunk > sizeof(compare_buff)) {
      chunk = sizeof(compare_buff);
    }
    if (flash_read(addr + done, chunk, compare_buff) != 0) {
      return false;
    }
    if (memcmp(compare_buff, buff + done, chunk) != 0) {
      return false;
    }
  }
  return true;
}

static int32_t flash_write(uint32_t addr, uint32_t len, uint8_t const *buff) {
  uint32_t const page_size = uhal_flash_get_page_size();
  if (page_size <= flash_head_size || page_size > sizeof(page_buff)) {
    return -UDRV_BUFF_OVERFLOW;
  }
  if (flash_equal(addr, len, buff)) {
    return 0;
  }
  uint32_t done = 0;
  while (done < len) {
    uint32_t const at = addr + done;
    uint32_t const page = at - (at % page_size);
    uint32_t const offset = at - page;
    uint32_t chunk = page_size - offset;
    if (chunk > len - done) {
      chunk = len - done;
    }
    // The rest of the page is kept as it is: a page that cannot be read is
    // not erased.
    if (uhal_flash_read(page, page_buff, page_size) != 0) {
      return -UDRV_INTERNAL_ERR;
    }
    memcpy(page_buff + offset, buff + done, chunk);
    if (uhal_flash_erase(page, page_size) != 0) {
      return -UDRV_INTERNAL_ERR;
    }
    // The page's first bytes are programmed last: what is kept in flash
    // starts with its magic or flag, so a page whose programming stopped
    // part-way (a power cut) still starts erased and reads as holding
    // nothing rather than as a record with an erased tail.
    // The erased tail of the page is left as the erase made it.
    uint32_t end = page_size;
    while (end > flash_head_size && page_buff[end - 1] == 0xFF) {
      end--;
    }
    end = (end + flash_head_size - 1) / flash_head_size * flash_head_size;
    if ((end > flash_head_size &&
         uhal_flash_write(page + flash_head_size, page_buff + flash_head_size,
                          end - flash_head_size) != 0) ||
        uhal_flash_write(page, page_buff, flash_head_size) != 0) {
      return -UDRV_INTERNAL_ERR;
    }
    done += chunk;
  }
  return 0;
}

int32_t udrv_flash_write(uint32_t addr, uint32_t len, uint8_t const *buff) {
  flash_begin();
  int32_t const ret = flash_write(addr, len, buff);
  flash_end();
  return ret;
}

int32_t udrv_flash_erase(uint32_t addr, uint32_t len) {
  uint32_t const page_size = uhal_flash_get_page_size();
  // An erase removes whole pages: an address inside a page would lose the
  // bytes before it.
  if (page_size == 0 || (addr % 4) != 0 || (addr % page_size) != 0) {
    return -UDRV_ADDR_NOT_ALIGNED;
  }
  if ((len % page_size) != 0) {
    return -UDRV_LEN_NOT_ALIGNED;
  }
  flash_begin();
  int32_t const ret = uhal_flash_erase(addr, len);
  flash_end();
  return ret;
}
