// The version record: on the module it sits at 0x08005000, where the
// applications read it ("AT+BOOTVER").
#include "bootloader.h"

const char BOOT_VERSION[BOOT_VERSION_SIZE] = "QIV_BOOT_0.8_STM32WLE5CC";
