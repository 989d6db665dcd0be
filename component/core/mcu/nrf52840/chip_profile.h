// nRF52840: what the chip-neutral layers need to know about the chip.
// Included through qiv_chip.h only.
#pragma once

#define QIV_CHIP_ID "nrf52840"

// Flash: 4 KB pages; the controller is set up before the first access.
#define QIV_CHIP_FLASH_PAGE_SIZE 4096u
#define QIV_CHIP_FLASH_PAGE_BUFFER_SIZE 4096
#define QIV_CHIP_FLASH_NEEDS_INIT 1

// Flash map of the configuration store: the record and the factory copy
// (these images have no LoRaWAN MAC block).
#define QIV_CHIP_NVM_CFG_ADDR 0xD0000u
#define QIV_CHIP_NVM_FACTORY_ADDR 0xAF000u

// The port drives its own timer list from the RTC alarms.
#define QIV_CHIP_RTC_ALARMS 1

// The user API's `Serial`: the USB CDC-ACM port.
#define QIV_CHIP_CONSOLE_PORT SERIAL_USB0
