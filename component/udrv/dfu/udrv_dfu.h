// Entry into the image's firmware-update bootloader.
#pragma once

// Does not return on the module.
void udrv_enter_dfu(void);

// ---- Port operations ----
void uhal_enter_dfu(void);
