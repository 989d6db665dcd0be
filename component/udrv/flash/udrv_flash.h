// Flash driver: byte-addressed reads and writes over page-erased flash. A
// write rewrites every page it touches through one page buffer and does
// nothing when the stored bytes already equal the new ones.
#pragma once

#include <stdint.h>

#include "qiv_config.h"
#include "udrv_errno.h"

#define UDRV_FLASH_PAGE_BUFFER_SIZE QIV_CHIP_FLASH_PAGE_BUFFER_SIZE

void udrv_flash_init(void);
// 0; -9 when the port's page is larger than the page buffer.
int32_t udrv_flash_read(uint32_t addr, uint32_t len, uint8_t *buff);
// 0 (also when nothing needed writing); -9; -7 when a page erase or program
// failed (pages done before stay written).
int32_t udrv_flash_write(uint32_t addr, uint32_t len, uint8_t const *buff);
// The port's erase; -10 when addr is not the start of a page; -11 when len is
// not a whole number of pages.
int32_t udrv_flash_erase(uint32_t addr, uint32_t len);

// ---- Port contract: what every port provides for this class ----
// Set up the flash controller (called once, before the first access; a port
// whose flash needs no set-up says so with QIV_CHIP_FLASH_NEEDS_INIT 0).
void uhal_flash_init(void);
// The erase unit in bytes; at most UDRV_FLASH_PAGE_BUFFER_SIZE.
uint32_t uhal_flash_get_page_size(void);
// Copy len bytes from flash: 0 or a negated code.
int32_t uhal_flash_read(uint32_t addr, uint8_t *buff, uint32_t len);
// Program len bytes of erased flash in the chip's program units: 0, or -7
// when the program fails (the driver then stops).
int32_t uhal_flash_write(uint32_t addr, uint8_t const *buff, uint32_t len);
// Erase the whole pages of [addr, addr + len): 0, or non-zero on failure.
int32_t uhal_flash_erase(uint32_t addr, uint32_t len);

// Called on the way into the bootloader: true when a flash operation of the
// main line is running; the entry is then made as soon as it has finished.
bool udrv_flash_defer_dfu(void);
