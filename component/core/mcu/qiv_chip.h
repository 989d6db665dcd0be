// The profile of the chip an image is built for: the facts about the chip
// that the chip-neutral layers need (flash map, page size, console port,
// which driver classes the port implements), each chip in its own folder.
// Neutral code includes this one name (through qiv_config.h) and never tests
// the chip itself; a new chip adds its folder and a line here.
#pragma once

// Values of QIV_CHIP_NVM_LAYOUT: which settings the configuration record
// holds, and so its stored layout (and the older ones it migrates from).
#define QIV_NVM_LAYOUT_LORA_BLE 1  // LoRa and BLE settings
#define QIV_NVM_LAYOUT_LORA 2      // LoRa settings, no BLE
#define QIV_NVM_LAYOUT_BLE 3       // BLE settings, no LoRa

#if defined(QIV_MCU_APOLLO3)
#include "apollo3/chip_profile.h"
#elif defined(QIV_MCU_STM32WLE5)
#include "stm32wle5xx/chip_profile.h"
#elif defined(QIV_MCU_NRF52840)
#include "nrf52840/chip_profile.h"
#else
#error "no profile for this chip"
#endif

// Every profile states each fact: neutral code tests them with #if, where a
// missing one would quietly read as 0.
#if !defined(QIV_CHIP_ID) || !defined(QIV_CHIP_FLASH_PAGE_SIZE) ||                               \
    !defined(QIV_CHIP_FLASH_PAGE_BUFFER_SIZE) || !defined(QIV_CHIP_FLASH_NEEDS_INIT) ||          \
    !defined(QIV_CHIP_NVM_CFG_ADDR) || !defined(QIV_CHIP_NVM_FACTORY_ADDR) ||                    \
    !defined(QIV_CHIP_RTC_ALARMS) || !defined(QIV_CHIP_CONSOLE_PORT) ||                          \
    !defined(QIV_CHIP_AT_UART) || !defined(QIV_CHIP_USB_SERIAL) ||                               \
    !defined(QIV_CHIP_ADC_REFS_3V3_TO_1V2) || !defined(QIV_CHIP_SPIMST_TABLE) ||                 \
    !defined(QIV_CHIP_BLE_STOP_BEFORE_START) || !defined(QIV_CHIP_BLE_ADDRESS_AT_FIRST_START) || \
    !defined(QIV_CHIP_SLEEP_ALWAYS_DEEP) || !defined(QIV_CHIP_SLEEP_SPI_STEPS) ||                \
    !defined(QIV_CHIP_NVM_LAYOUT)
#error "the chip profile leaves a fact out"
#endif
