// Flash driver: byte-addressed reads and writes over page-erased flash. A
// write rewrites every page it touches through one page buffer and does
// nothing when the stored bytes already equal the new ones.
#pragma once

#include <stdint.h>

#include "qiv_config.h"
#include "udrv_errno.h"

#ifdef QIV_MCU_APOLLO3
#define UDRV_FLASH_PAGE_BUFFER_SIZE 8192
#else
#define UDRV_FLASH_PAGE_BUFFER_SIZE 4096
#endif

void udrv_flash_init(void);
// 0; -9 when the port's page is larger than the page buffer.
int32_t udrv_flash_read(uint32_t addr, uint32_t len, uint8_t *buff);
// 0 (also when nothing needed writing); -9; -7 when a page erase or program
// failed (pages done before stay written).
int32_t udrv_flash_write(uint32_t addr, uint32_t len, uint8_t const *buff);
// The port's erase; -10 when addr is not the start of a page; -11 when len is
// not a whole number of pages.
int32_t udrv_flash_erase(uint32_t addr, uint32_t len);

// ---- Port operations ----
void uhal_flash_init(void);
uint32_t uhal_flash_get_page_size(void);
int32_t uhal_flash_read(uint32_t addr, uint8_t *buff, uint32_t len);
int32_t uhal_flash_write(uint32_t addr, uint8_t const *buff, uint32_t len);
int32_t uhal_flash_erase(uint32_t addr, uint32_t len);

// Called on the way into the bootloader: true when a flash operation of the
// main line is running; the entry is then made as soon as it has finished.
bool udrv_flash_defer_dfu(void);
