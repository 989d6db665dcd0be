// Internal flash: 256 KB at 0x08000000 in 2 KB pages, programmed one double
// word at a time into erased cells, erased by pages. It is read through its
// memory map. Programming and erasing need the flash unlocked.
#pragma once

#include "stm32wl_hal_def.h"

#define FLASH_BASE 0x08000000UL
#define FLASH_SIZE (256UL * 1024UL)
#define FLASH_PAGE_SIZE 0x800UL
#define FLASH_PAGE_NB 128UL
#define FLASH_END_ADDR (FLASH_BASE + FLASH_SIZE - 1U)

#define FLASH_TYPEPROGRAM_DOUBLEWORD 0x1U
#define FLASH_TYPEPROGRAM_FAST 0x2U
#define FLASH_TYPEERASE_PAGES 0x2U
#define FLASH_TYPEERASE_MASSERASE 0x4U

// Status register flags (write 1 to clear the error flags).
#define FLASH_FLAG_EOP (1UL << 0)
#define FLASH_FLAG_OPERR (1UL << 1)
#define FLASH_FLAG_PROGERR (1UL << 3)
#define FLASH_FLAG_WRPERR (1UL << 4)
#define FLASH_FLAG_PGAERR (1UL << 5)
#define FLASH_FLAG_SIZERR (1UL << 6)
#define FLASH_FLAG_PGSERR (1UL << 7)
#define FLASH_FLAG_MISERR (1UL << 8)
#define FLASH_FLAG_FASTERR (1UL << 9)
#define FLASH_FLAG_RDERR (1UL << 14)
#define FLASH_FLAG_OPTVERR (1UL << 15)
#define FLASH_FLAG_BSY (1UL << 16)
#define FLASH_FLAG_ALLERRORS                                                        \
  (FLASH_FLAG_OPERR | FLASH_FLAG_PROGERR | FLASH_FLAG_WRPERR | FLASH_FLAG_PGAERR |  \
   FLASH_FLAG_SIZERR | FLASH_FLAG_PGSERR | FLASH_FLAG_MISERR | FLASH_FLAG_FASTERR | \
   FLASH_FLAG_RDERR | FLASH_FLAG_OPTVERR)
static_assert(FLASH_FLAG_ALLERRORS == 0xC3FAU, "error flags of the flash status register");

#define HAL_FLASH_ERROR_NONE 0x00U

// The status register: writing a one clears that error flag.
struct stm32_flash_sr {
  operator uint32_t() const;
  stm32_flash_sr& operator=(uint32_t clear_mask);
};

typedef struct {
  __IO uint32_t ACR;
  __IO uint32_t KEYR;
  stm32_flash_sr SR;
  __IO uint32_t CR;
} FLASH_TypeDef;
extern "C" FLASH_TypeDef stm32_flash_regs;
#define FLASH (&stm32_flash_regs)

typedef struct {
  uint32_t TypeErase;
  uint32_t Page;
  uint32_t NbPages;
} FLASH_EraseInitTypeDef;

extern "C" {
HAL_StatusTypeDef HAL_FLASH_Unlock(void);
HAL_StatusTypeDef HAL_FLASH_Lock(void);
// Programs the 64-bit `data` (little-endian) at the 8-byte aligned address.
HAL_StatusTypeDef HAL_FLASH_Program(uint32_t type_program, uint32_t address, uint64_t data);
// Erases `NbPages` pages from `Page`; on failure *page_error names the page.
HAL_StatusTypeDef HAL_FLASHEx_Erase(FLASH_EraseInitTypeDef* erase_init, uint32_t* page_error);
uint32_t HAL_FLASH_GetError(void);
}

#define __HAL_FLASH_CLEAR_FLAG(flags) (FLASH->SR = (flags))
#define __HAL_FLASH_GET_FLAG(flag) ((((uint32_t)FLASH->SR) & (flag)) == (flag))
