// Flash access of the bootloader: the application area and the boot-flag page.
#include <string.h>

#include "bootloader.h"
#include "fund_crc32.h"

uint32_t boot_flash_word(uint32_t address) {
  return *reinterpret_cast<const volatile uint32_t *>(static_cast<uintptr_t>(address));
}

uint32_t GetPage(uint32_t address) { return (address - BOOT_FLASH_BASE) / BOOT_PAGE_SIZE; }

// Erases the pages from `start` up to the end of the application area.
// Returns FLASHIF_OK, or FLASHIF_ERASEKO when the erase fails or `start` is
// not a page inside the area (nothing outside the area is ever erased).
uint32_t FLASH_If_Erase(uint32_t start) {
  if (start < APP_IMAGE_ADDR || start >= APP_IMAGE_END || (start % BOOT_PAGE_SIZE) != 0U) {
    return FLASHIF_ERASEKO;
  }
  FLASH_EraseInitTypeDef erase;
  uint32_t page_error = 0U;
  erase.TypeErase = FLASH_TYPEERASE_PAGES;
  erase.Page = GetPage(start);
  erase.NbPages = (APP_IMAGE_END - start) / BOOT_PAGE_SIZE;

  HAL_FLASH_Unlock();
  HAL_StatusTypeDef status = HAL_FLASHEx_Erase(&erase, &page_error);
  HAL_FLASH_Lock();
  return status == HAL_OK ? FLASHIF_OK : FLASHIF_ERASEKO;
}

// Programs `length` 32-bit words from `p_source` at `destination`, one
// double word at a time, each read back and compared. Only the application
// area is written; a request reaching beyond it writes nothing. Returns
// FLASHIF_OK, FLASHIF_WRITINGCTRL_ERROR (read-back mismatch) or
// FLASHIF_WRITING_ERROR (programming failed or out of the area).
uint32_t FLASH_If_Write(uint32_t destination, const uint32_t *p_source, uint32_t length) {
  uint32_t bytes = length * 4U;
  if (length > APP_IMAGE_SIZE / 4U || destination < APP_IMAGE_ADDR || (destination % 8U) != 0U ||
      destination > APP_IMAGE_END - bytes) {
    return FLASHIF_WRITING_ERROR;
  }

  uint32_t result = FLASHIF_OK;
  HAL_FLASH_Unlock();
  __HAL_FLASH_CLEAR_FLAG(FLASH_FLAG_ALLERRORS);
  for (uint32_t i = 0U; i < length; i += 2U) {
    uint32_t lo;
    uint32_t hi = 0xFFFFFFFFU;  // an odd last word is completed with erased bits
    memcpy(&lo, &p_source[i], sizeof(lo));
    if (i + 1U < length) {
      memcpy(&hi, &p_source[i + 1U], sizeof(hi));
    }
    uint64_t data = ((uint64_t)hi << 32) | lo;
    if (HAL_FLASH_Program(FLASH_TYPEPROGRAM_DOUBLEWORD, destination, data) != HAL_OK) {
      result = FLASHIF_WRITING_ERROR;
      break;
    }
    if (boot_flash_word(destination) != lo || boot_flash_word(destination + 4U) != hi) {
      result = FLASHIF_WRITINGCTRL_ERROR;
      break;
    }
    destination += 8U;
  }
  HAL_FLASH_Lock();
  return result;
}

// The flags are kept where bootloaders in the field and the applications
// read and write them (+0 and +4 of the flag page), and in a second copy on
// the next page with a magic word and a CRC-32. Every write of this
// bootloader puts the new flags in the copy first and only then rewrites the
// flag page, so a power cut at any point leaves one of the two whole:
//   - cut while the copy is written: the copy does not check, the flag page
//     holds the old flags and is read as it is;
//   - cut while the flag page is written: its update word differs from the
//     copy's (erased, torn, or still old), and the copy's flags are in force
//     until the next start rewrites the page.
// The applications change only the boot flag byte of the flag page (a
// request for boot mode): with the update words alike, the flag page's boot
// word is the one in force. A copy that does not check (never written, as on
// modules flashed before it existed) leaves the flag page alone in force.
namespace {

uint32_t copy_crc(uint32_t boot, uint32_t update) {
  const uint32_t words[3] = {BOOT_FLAGS_COPY_MAGIC, boot, update};
  uint8_t bytes[sizeof words];
  memcpy(bytes, words, sizeof bytes);
  return fund_crc32_final(fund_crc32_update(FUND_CRC32_INIT, bytes, sizeof bytes));
}

bool copy_read(boot_flags_t *flags) {
  if (boot_flash_word(BOOT_FLAGS_COPY_ADDR) != BOOT_FLAGS_COPY_MAGIC) {
    return false;
  }
  flags->boot = boot_flash_word(BOOT_FLAGS_COPY_ADDR + 4U);
  flags->update = boot_flash_word(BOOT_FLAGS_COPY_ADDR + 8U);
  return boot_flash_word(BOOT_FLAGS_COPY_ADDR + 12U) == copy_crc(flags->boot, flags->update);
}

bool erase_page(uint32_t address) {
  FLASH_EraseInitTypeDef erase;
  uint32_t page_error = 0U;
  erase.TypeErase = FLASH_TYPEERASE_PAGES;
  erase.Page = GetPage(address);
  erase.NbPages = 1U;
  return HAL_FLASHEx_Erase(&erase, &page_error) == HAL_OK;
}

bool program(uint32_t address, uint32_t lo, uint32_t hi) {
  return HAL_FLASH_Program(FLASH_TYPEPROGRAM_DOUBLEWORD, address, ((uint64_t)hi << 32) | lo) ==
         HAL_OK;
}

}  // namespace

boot_flags_t boot_flags_read(void) {
  boot_flags_t page = {boot_flash_word(BOOT_FLAG_ADDR), boot_flash_word(UPDATE_FLAG_ADDR)};
  boot_flags_t copy;
  if (copy_read(&copy) && copy.update != page.update) {
    return copy;
  }
  return page;
}

void boot_flags_write(uint32_t boot, uint32_t update) {
  boot_flags_t copy;
  const bool copy_valid = copy_read(&copy);
  const bool page_same =
      boot_flash_word(BOOT_FLAG_ADDR) == boot && boot_flash_word(UPDATE_FLAG_ADDR) == update;
  if (page_same && (!copy_valid || copy.update == update)) {
    return;  // already in force, and on the flag page
  }

  HAL_FLASH_Unlock();
  __HAL_FLASH_CLEAR_FLAG(FLASH_FLAG_ALLERRORS);
  if (!copy_valid || copy.boot != boot || copy.update != update) {
    // An erase that fails may leave the old copy in force: the flag page is
    // then left as it is too. A copy that fails to program does not check,
    // which leaves the flag page alone in force.
    if (!erase_page(BOOT_FLAGS_COPY_ADDR)) {
      HAL_FLASH_Lock();
      return;
    }
    if (program(BOOT_FLAGS_COPY_ADDR, BOOT_FLAGS_COPY_MAGIC, boot)) {
      program(BOOT_FLAGS_COPY_ADDR + 8U, update, copy_crc(boot, update));
    }
  }
  if (erase_page(BOOT_FLAG_ADDR)) {
    program(BOOT_FLAG_ADDR, boot, update);
  }
  HAL_FLASH_Lock();
}

// Changes one of the two flags: `address` BOOT_FLAG_ADDR the boot flag word,
// any other address the update flag word.
void HAL_FLASH_Program_Flag(uint32_t address, uint32_t value) {
  boot_flags_t flags = boot_flags_read();
  if (address == BOOT_FLAG_ADDR) {
    flags.boot = value;
  } else {
    flags.update = value;
  }
  boot_flags_write(flags.boot, flags.update);
}
