// Flash access of the bootloader: the application area and the boot-flag page.
#include <string.h>

#include "bootloader.h"

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

// Rewrites the boot-flag page with one of its two words changed: `address`
// BOOT_FLAG_ADDR changes the boot flag word, any other address the update
// flag word. When the erase fails the page is left as it is.
void HAL_FLASH_Program_Flag(uint32_t address, uint32_t value) {
  uint32_t boot_flag = boot_flash_word(BOOT_FLAG_ADDR);
  uint32_t update_flag = boot_flash_word(UPDATE_FLAG_ADDR);
  if (address == BOOT_FLAG_ADDR) {
    boot_flag = value;
  } else {
    update_flag = value;
  }

  FLASH_EraseInitTypeDef erase;
  uint32_t page_error = 0U;
  erase.TypeErase = FLASH_TYPEERASE_PAGES;
  erase.Page = GetPage(BOOT_FLAG_ADDR);
  erase.NbPages = 1U;

  HAL_FLASH_Unlock();
  __HAL_FLASH_CLEAR_FLAG(FLASH_FLAG_ALLERRORS);
  if (HAL_FLASHEx_Erase(&erase, &page_error) == HAL_OK) {
    HAL_FLASH_Program(FLASH_TYPEPROGRAM_DOUBLEWORD, BOOT_FLAG_ADDR,
                      ((uint64_t)update_flag << 32) | boot_flag);
  }
  HAL_FLASH_Lock();
}
