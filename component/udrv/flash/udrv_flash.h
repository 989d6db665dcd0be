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

// ---- Records kept in two copies ----
//
// A record that must survive a power cut at any point of its write is kept
// in two slots of whole pages. Each copy ends in a trailer (a magic, a
// sequence number, the record's length and a CRC-32 over the record and the
// rest of the trailer), programmed after the record. A write rewrites both
// slots one after the other, starting with the one that does not hold the
// newest intact copy, so a write cut short leaves a whole copy of the old
// record or of the new one; a read takes the intact copy with the higher
// sequence number. slot[0] is the record's place in the single-copy layout:
// after a complete write it holds the record there as before, with the
// trailer after it.
typedef struct {
  uint32_t slot[2];    // page-aligned start of each slot
  uint32_t slot_size;  // whole pages; room for the record and the trailer
} udrv_flash_copies_t;

// Bytes the trailer takes after a record (which starts each slot and is
// padded to 8 bytes, the largest programming unit of the ports).
#define UDRV_FLASH_COPY_TRAILER_SIZE 16u
#define UDRV_FLASH_COPY_SIZE(len) ((((len) + 7u) / 8u) * 8u + UDRV_FLASH_COPY_TRAILER_SIZE)

// 0 with the newest intact copy of exactly len bytes in buff (and its
// sequence number in *number unless null); 1 when no slot holds one (buff
// untouched: the caller may read a record of the single-copy layout at
// slot[0]); a negated code when the flash cannot be read.
int32_t udrv_flash_copies_read(udrv_flash_copies_t const *copies, uint8_t *buff, uint32_t len,
                               uint32_t *number);
// Writes len bytes as the newest copy into both slots: 0 (also when both
// already hold them, with nothing written), -UDRV_WRONG_ARG when the record
// does not fit a slot, -UDRV_INTERNAL_ERR when an erase or a program failed.
// When no slot holds a copy yet, slot[1] is written first, keeping what the
// single-copy layout left at slot[0] until the new copy is complete. The
// copies get sequence number `number`, or with 0 the one after the newest
// (a copy of another store's record takes that record's number, so that its
// slots hold the same bytes).
int32_t udrv_flash_copies_write(udrv_flash_copies_t const *copies, uint8_t const *buff,
                                uint32_t len, uint32_t number);

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
