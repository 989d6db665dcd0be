// STM32WLE5: what the chip-neutral layers need to know about the chip.
// Included through qiv_chip.h only.
#pragma once

#define QIV_CHIP_ID "stm32wle5xx"

// Flash: 2 KB pages, programmed in double words; the controller needs no
// set-up before use. The driver's page buffer holds up to 4 KB.
#define QIV_CHIP_FLASH_PAGE_SIZE 2048u
#define QIV_CHIP_FLASH_PAGE_BUFFER_SIZE 4096
#define QIV_CHIP_FLASH_NEEDS_INIT 0

// Flash map of the configuration store (the record, the MAC block and the
// factory copy) and the serial bootloader's version record (text padded with
// NUL), as the product table places them.
#include "qiv_products.h"
#define QIV_CHIP_NVM_CFG_ADDR QIV_STM32WLE5_CONFIG_ADDR
#define QIV_CHIP_NVM_LORA_MAC_ADDR QIV_STM32WLE5_LORA_MAC_ADDR
#define QIV_CHIP_NVM_FACTORY_ADDR QIV_STM32WLE5_FACTORY_ADDR
#define QIV_CHIP_BOOT_VERSION_ADDR QIV_STM32WLE5_BOOT_VERSION_ADDR
// Each of them is kept in two copies (a power cut during a write leaves the
// other one): the record and the factory copy in the two pages of their
// areas, the MAC block (a page but four bytes, so a copy and its trailer take
// two pages) in its area and the one below it.
#define QIV_CHIP_NVM_COPIES 1
#define QIV_CHIP_NVM_CFG_COPY_ADDR (QIV_STM32WLE5_CONFIG_ADDR + 0x800u)
#define QIV_CHIP_NVM_CFG_SLOT_SIZE 0x800u
#define QIV_CHIP_NVM_FACTORY_COPY_ADDR (QIV_STM32WLE5_FACTORY_ADDR + 0x800u)
#define QIV_CHIP_NVM_FACTORY_SLOT_SIZE 0x800u
#define QIV_CHIP_NVM_LORA_MAC_COPY_ADDR QIV_STM32WLE5_LORA_MAC_COPY_ADDR
#define QIV_CHIP_NVM_LORA_MAC_SLOT_SIZE QIV_STM32WLE5_LORA_MAC_SIZE

// The timers run on the vendor's timer server: the port keeps no RTC alarm
// list of its own, so the RTC class offers only the time stamp.
#define QIV_CHIP_RTC_ALARMS 0

// The user API's `Serial`: UART2 (LPUART1, the AT port of the modules).
#define QIV_CHIP_CONSOLE_PORT SERIAL_UART2

// Serial ports: UART2 is the AT port of a record built from defaults (the
// other UARTs start in custom mode); no USB device port.
#define QIV_CHIP_AT_UART SERIAL_UART2
#define QIV_CHIP_USB_SERIAL 0

// ADC: the references 3.3, 3.0, 2.4, 1.8 and 1.2 V besides the default.
#define QIV_CHIP_ADC_REFS_3V3_TO_1V2 1

// SPI: the radio is on the chip; no SPI master table.
#define QIV_CHIP_SPIMST_TABLE 0

// No BLE.
#define QIV_CHIP_BLE_STOP_BEFORE_START 0
#define QIV_CHIP_BLE_ADDRESS_AT_FIRST_START 0

// Sleep: the depth follows whether the LoRa radio is busy.
#define QIV_CHIP_SLEEP_ALWAYS_DEEP 0
// Sleep suspends and resumes the SPI master.
#define QIV_CHIP_SLEEP_SPI_STEPS 1

// The configuration record's layout: LoRa settings without BLE, and the
// older layouts of this chip's earlier releases.
#define QIV_CHIP_NVM_LAYOUT QIV_NVM_LAYOUT_LORA
