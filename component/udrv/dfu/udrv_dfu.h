// Entry into the image's firmware-update bootloader.
#pragma once

// Does not return on the module.
void udrv_enter_dfu(void);

// ---- Port contract: what every port provides for this class ----
// Leave a request for the image's bootloader where it looks (a flash flag, a
// retained register) and reset into it; does not return on the module.
void uhal_enter_dfu(void);
