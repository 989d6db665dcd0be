// Apollo3: what the chip-neutral layers need to know about the chip.
// Included through qiv_chip.h only.
#pragma once

#define QIV_CHIP_ID "apollo3"

// Flash: 8 KB pages; the controller is set up before the first access.
#define QIV_CHIP_FLASH_PAGE_SIZE 8192u
#define QIV_CHIP_FLASH_PAGE_BUFFER_SIZE 8192
#define QIV_CHIP_FLASH_NEEDS_INIT 1

// Flash map of the configuration store: the record, the MAC block and the
// factory copy (the application starts at 0x14000, behind the external
// bootloader).
#define QIV_CHIP_NVM_CFG_ADDR 0xF4000u
#define QIV_CHIP_NVM_LORA_MAC_ADDR 0xF4500u
#define QIV_CHIP_NVM_FACTORY_ADDR 0xF6000u

// The port drives its own timer list from the RTC alarms.
#define QIV_CHIP_RTC_ALARMS 1

// The user API's `Serial`.
#define QIV_CHIP_CONSOLE_PORT SERIAL_UART0
