#include "udrv_dfu.h"

#include "udrv_flash.h"

void udrv_enter_dfu(void) {
  // The entry writes the boot flag through the flash driver. Requested from
  // an interrupt (the custom-mode escape) while the main line is inside a
  // flash operation, it would overwrite that operation's page buffer; the
  // flash driver then enters the bootloader when its operation is done.
  if (udrv_flash_defer_dfu()) {
    return;
  }
  uhal_enter_dfu();
}
