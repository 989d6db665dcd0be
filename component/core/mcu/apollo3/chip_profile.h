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
// The record and the MAC block share their page and are written together, as
// one record in two copies: the page itself and, for the second copy, the
// last page of the BLE update's staging area (which ends there).
#define QIV_CHIP_NVM_SHARED_COPIES 1
#define QIV_CHIP_NVM_SHARED_COPY_ADDR 0xF2000u
#define QIV_CHIP_NVM_SHARED_SLOT_SIZE 0x2000u
// The external bootloader's version text (32 bytes, padded with NUL).
#define QIV_CHIP_BOOT_VERSION_ADDR 0xFC000u

// The port drives its own timer list from the RTC alarms.
#define QIV_CHIP_RTC_ALARMS 1

// The user API's `Serial`.
#define QIV_CHIP_CONSOLE_PORT SERIAL_UART0

// Serial ports: UART0 is the AT port of a record built from defaults (the
// other UARTs start in custom mode); no USB device port.
#define QIV_CHIP_AT_UART SERIAL_UART0
#define QIV_CHIP_USB_SERIAL 0

// ADC: besides the default reference only the internal 1.5 V one.
#define QIV_CHIP_ADC_REFS_3V3_TO_1V2 0

// SPI: the radio sits on an SPI master the driver layer binds to the port's
// spimst_driver table.
#define QIV_CHIP_SPIMST_TABLE 1

// BLE: the stack starts from cold and the port applies the device address
// itself at start-up.
#define QIV_CHIP_BLE_STOP_BEFORE_START 0
#define QIV_CHIP_BLE_ADDRESS_AT_FIRST_START 0

// Sleep: the depth follows whether the LoRa radio is busy.
#define QIV_CHIP_SLEEP_ALWAYS_DEEP 0
// Sleep suspends and resumes the SPI master.
#define QIV_CHIP_SLEEP_SPI_STEPS 1

// The configuration record's layout: LoRa and BLE settings, and the older
// layouts of this chip's earlier releases.
#define QIV_CHIP_NVM_LAYOUT QIV_NVM_LAYOUT_LORA_BLE
