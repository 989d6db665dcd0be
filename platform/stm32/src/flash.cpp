// Flash controller: lock, error flags, double-word programming and page
// erase on the simulated flash. The core stalls while the flash works, so
// interrupts wait until the operation has ended.
#include <cstring>

#include "internal.h"
#include "sim/model.h"

extern "C" {
FLASH_TypeDef stm32_flash_regs = {};
}

namespace stm32sim {
namespace detail {
namespace {

constexpr sim::time_us kEraseUs = 22000;  // one page
constexpr sim::time_us kProgramUs = 82;   // one double word

struct Flash {
  bool locked = true;
  uint32_t sr = 0;
};

Flash& flash() {
  static Flash f;
  return f;
}

// The CPU waits for the flash; interrupts raised meanwhile are taken after.
void stall(sim::time_us us) {
  uint32_t primask = sim::get_primask();
  sim::set_primask(1);
  sim::cpu_spend(us);
  sim::set_primask(primask);
}

}  // namespace

void flash_reset() { flash() = Flash{}; }

}  // namespace detail

bool flash_locked() { return detail::flash().locked; }

}  // namespace stm32sim

using namespace stm32sim::detail;

stm32_flash_sr::operator uint32_t() const { return flash().sr; }

stm32_flash_sr& stm32_flash_sr::operator=(uint32_t clear_mask) {
  flash().sr &= ~(clear_mask & FLASH_FLAG_ALLERRORS);
  return *this;
}

extern "C" {

HAL_StatusTypeDef HAL_FLASH_Unlock(void) {
  flash().locked = false;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_FLASH_Lock(void) {
  flash().locked = true;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_FLASH_Program(uint32_t type_program, uint32_t address, uint64_t data) {
  Flash& f = flash();
  if (type_program != FLASH_TYPEPROGRAM_DOUBLEWORD) {
    f.sr |= FLASH_FLAG_PGSERR;
    return HAL_ERROR;
  }
  if (f.locked) {
    f.sr |= FLASH_FLAG_WRPERR;
    return HAL_ERROR;
  }
  // A programming sequence does not start while an error flag is still set.
  if (f.sr & FLASH_FLAG_ALLERRORS) {
    f.sr |= FLASH_FLAG_PGSERR;
    return HAL_ERROR;
  }
  if (address % 8 != 0) {
    f.sr |= FLASH_FLAG_PGAERR;
    return HAL_ERROR;
  }
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(data >> (8 * i));
  stall(kProgramUs);
  if (!sim::flash_program(address, bytes, sizeof bytes)) {
    f.sr |= FLASH_FLAG_PROGERR;
    return HAL_ERROR;
  }
  return HAL_OK;
}

HAL_StatusTypeDef HAL_FLASHEx_Erase(FLASH_EraseInitTypeDef* erase_init, uint32_t* page_error) {
  Flash& f = flash();
  if (page_error) *page_error = 0xFFFFFFFFU;
  if (!erase_init || erase_init->TypeErase != FLASH_TYPEERASE_PAGES) return HAL_ERROR;
  if (f.locked) {
    f.sr |= FLASH_FLAG_WRPERR;
    return HAL_ERROR;
  }
  if (f.sr & FLASH_FLAG_ALLERRORS) {
    f.sr |= FLASH_FLAG_PGSERR;
    return HAL_ERROR;
  }
  for (uint32_t i = 0; i < erase_init->NbPages; ++i) {
    uint32_t page = erase_init->Page + i;
    stall(kEraseUs);
    if (!sim::flash_erase_page(page)) {
      f.sr |= FLASH_FLAG_OPERR;
      if (page_error) *page_error = page;
      return HAL_ERROR;
    }
  }
  return HAL_OK;
}

uint32_t HAL_FLASH_GetError(void) { return flash().sr & FLASH_FLAG_ALLERRORS; }

}  // extern "C"

// The peripheral back to its power-on state on reset_platform().
SIM_MODEL(stm32_flash, {.name = "stm32.flash", .on_reset = stm32sim::detail::flash_reset});
