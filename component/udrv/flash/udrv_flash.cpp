#include "udrv_flash.h"

#include <stddef.h>
#include <string.h>

#include "fund_crc32.h"
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

// ---- Records kept in two copies ----

namespace {

constexpr uint32_t copy_magic = 0x31435651u;  // "QVC1"
constexpr uint32_t copy_unit = 8;

struct copy_trailer {
  uint32_t magic;
  uint32_t sequence;
  uint32_t length;
  uint32_t crc;
};
static_assert(sizeof(copy_trailer) == UDRV_FLASH_COPY_TRAILER_SIZE);

// Programming goes through this buffer: the ports take whole units from
// word-aligned memory.
alignas(8) uint8_t copy_chunk[256];

uint32_t padded(uint32_t len) { return (len + copy_unit - 1) / copy_unit * copy_unit; }

bool copies_fit(udrv_flash_copies_t const *copies, uint32_t len) {
  uint32_t const page_size = uhal_flash_get_page_size();
  return copies != nullptr && page_size != 0 && copies->slot_size % page_size == 0 &&
         copies->slot[0] % page_size == 0 && copies->slot[1] % page_size == 0 &&
         UDRV_FLASH_COPY_SIZE(len) <= copies->slot_size;
}

uint32_t trailer_crc(uint32_t crc, copy_trailer const &t) {
  return fund_crc32_final(
      fund_crc32_update(crc, reinterpret_cast<uint8_t const *>(&t), offsetof(copy_trailer, crc)));
}

// The CRC-32 of the len record bytes at addr, then of the trailer's head.
bool stored_crc(uint32_t addr, uint32_t len, copy_trailer const &t, uint32_t *crc) {
  uint32_t c = FUND_CRC32_INIT;
  for (uint32_t done = 0; done < len; done += sizeof(compare_buff)) {
    uint32_t chunk = len - done;
    if (chunk > sizeof(compare_buff)) {
      chunk = sizeof(compare_buff);
    }
    if (flash_read(addr + done, chunk, compare_buff) != 0) {
      return false;
    }
    c = fund_crc32_update(c, compare_buff, chunk);
  }
  *crc = trailer_crc(c, t);
  return true;
}

// Which slots hold an intact copy of len bytes, and their numbers.
int32_t intact_copies(udrv_flash_copies_t const *copies, uint32_t len, bool intact[2],
                      uint32_t sequence[2]) {
  for (int i = 0; i < 2; i++) {
    intact[i] = false;
    sequence[i] = 0;
    copy_trailer t;
    if (flash_read(copies->slot[i] + padded(len), sizeof(t), reinterpret_cast<uint8_t *>(&t)) !=
        0) {
      return -UDRV_INTERNAL_ERR;
    }
    if (t.magic != copy_magic || t.length != len) {
      continue;
    }
    uint32_t crc;
    if (!stored_crc(copies->slot[i], len, t, &crc)) {
      return -UDRV_INTERNAL_ERR;
    }
    intact[i] = crc == t.crc;
    sequence[i] = t.sequence;
  }
  return 0;
}

// The slot of the newest intact copy, -1 for none. Sequence numbers wrap:
// the newer is the one the other is behind; on a tie the first slot.
int newest_slot(bool const intact[2], uint32_t const sequence[2]) {
  if (intact[0] && intact[1]) {
    return static_cast<int32_t>(sequence[1] - sequence[0]) > 0 ? 1 : 0;
  }
  return intact[0] ? 0 : (intact[1] ? 1 : -1);
}

int32_t program(uint32_t addr, uint8_t const *data, uint32_t len) {
  for (uint32_t done = 0; done < len; done += sizeof(copy_chunk)) {
    uint32_t chunk = len - done;
    if (chunk > sizeof(copy_chunk)) {
      chunk = sizeof(copy_chunk);
    }
    memset(copy_chunk, 0xFF, sizeof(copy_chunk));
    memcpy(copy_chunk, data + done, chunk);
    if (uhal_flash_write(addr + done, copy_chunk, padded(chunk)) != 0) {
      return -UDRV_INTERNAL_ERR;
    }
  }
  return 0;
}

int32_t copies_read(udrv_flash_copies_t const *copies, uint8_t *buff, uint32_t len,
                    uint32_t *number) {
  if (!copies_fit(copies, len)) {
    return -UDRV_WRONG_ARG;
  }
  bool intact[2];
  uint32_t sequence[2];
  int32_t const ret = intact_copies(copies, len, intact, sequence);
  if (ret != 0) {
    return ret;
  }
  int const slot = newest_slot(intact, sequence);
  if (slot < 0) {
    return 1;
  }
  if (number != nullptr) {
    *number = sequence[slot];
  }
  return flash_read(copies->slot[slot], len, buff);
}

int32_t write_copy(uint32_t slot, uint32_t slot_size, uint8_t const *buff, uint32_t len,
                   uint32_t sequence) {
  if (uhal_flash_erase(slot, slot_size) != 0) {
    return -UDRV_INTERNAL_ERR;
  }
  int32_t const ret = program(slot, buff, len);
  if (ret != 0) {
    return ret;
  }
  copy_trailer t;
  t.magic = copy_magic;
  t.sequence = sequence;
  t.length = len;
  t.crc = trailer_crc(fund_crc32_update(FUND_CRC32_INIT, buff, len), t);
  // The trailer goes last: until it is whole, the copy is not intact.
  return program(slot + padded(len), reinterpret_cast<uint8_t const *>(&t), sizeof(t));
}

// Both slots end up holding the record. The first one written is never the
// newest intact copy, so at any moment one slot holds a whole copy: the old
// record until the first write is complete, the new one after.
int32_t copies_write(udrv_flash_copies_t const *copies, uint8_t const *buff, uint32_t len,
                     uint32_t number) {
  if (!copies_fit(copies, len)) {
    return -UDRV_WRONG_ARG;
  }
  bool intact[2];
  uint32_t sequence[2];
  int32_t ret = intact_copies(copies, len, intact, sequence);
  if (ret != 0) {
    return ret;
  }
  int const newest = newest_slot(intact, sequence);
  uint32_t const next = number != 0 ? number : (newest < 0 ? 1 : sequence[newest] + 1);
  if (intact[0] && intact[1] && sequence[0] == sequence[1] &&
      (number == 0 || number == sequence[0]) && flash_equal(copies->slot[0], len, buff) &&
      flash_equal(copies->slot[1], len, buff)) {
    return 0;
  }
  // The second slot is where the single-copy layout kept the record, so it
  // is written last unless it alone holds the newest copy.
  int const first = newest == 1 ? 0 : 1;
  if ((ret = write_copy(copies->slot[first], copies->slot_size, buff, len, next)) != 0) {
    return ret;
  }
  return write_copy(copies->slot[1 - first], copies->slot_size, buff, len, next);
}

}  // namespace

int32_t udrv_flash_copies_read(udrv_flash_copies_t const *copies, uint8_t *buff, uint32_t len,
                               uint32_t *number) {
  flash_begin();
  int32_t const ret = copies_read(copies, buff, len, number);
  flash_end();
  return ret;
}

int32_t udrv_flash_copies_write(udrv_flash_copies_t const *copies, uint8_t const *buff,
                                uint32_t len, uint32_t number) {
  flash_begin();
  int32_t const ret = copies_write(copies, buff, len, number);
  flash_end();
  return ret;
}
