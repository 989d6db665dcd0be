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
#include "qiv_products.h"
#define QIV_CHIP_NVM_CFG_ADDR QIV_NRF52840_CONFIG_ADDR
#define QIV_CHIP_NVM_FACTORY_ADDR QIV_NRF52840_FACTORY_ADDR
// Each kept in two copies, the second in a page of its own (a power cut
// during a write leaves the other one).
#define QIV_CHIP_NVM_COPIES 1
#define QIV_CHIP_NVM_CFG_COPY_ADDR QIV_NRF52840_CONFIG_COPY_ADDR
#define QIV_CHIP_NVM_CFG_SLOT_SIZE QIV_NRF52840_CONFIG_SIZE
#define QIV_CHIP_NVM_FACTORY_COPY_ADDR QIV_NRF52840_FACTORY_COPY_ADDR
#define QIV_CHIP_NVM_FACTORY_SLOT_SIZE QIV_NRF52840_FACTORY_SIZE
// The DFU bootloader's version record.
#define QIV_CHIP_BOOT_VERSION_ADDR 0xFD800u

// The port drives its own timer list from the RTC alarms.
#define QIV_CHIP_RTC_ALARMS 1

// The user API's `Serial`: the USB CDC-ACM port.
#define QIV_CHIP_CONSOLE_PORT SERIAL_USB0

// Serial ports: UART0 is the AT port of a record built from defaults (the
// other UARTs start in custom mode); the USB CDC-ACM port is the user API's
// `Serial3` as well as its `Serial`.
#define QIV_CHIP_AT_UART SERIAL_UART0
#define QIV_CHIP_USB_SERIAL 1

// ADC: the references 3.3, 3.0, 2.4, 1.8 and 1.2 V besides the default.
#define QIV_CHIP_ADC_REFS_3V3_TO_1V2 1

// SPI: no radio on an SPI master; no SPI master table.
#define QIV_CHIP_SPIMST_TABLE 0

// BLE: the stack is shut down before it is started (again), and the port
// has no address step of its own, so the driver layer applies the stored
// address at the first start of the services.
#define QIV_CHIP_BLE_STOP_BEFORE_START 1
#define QIV_CHIP_BLE_ADDRESS_AT_FIRST_START 1

// Sleep: always the deep one (no LoRa radio whose work would keep it light).
#define QIV_CHIP_SLEEP_ALWAYS_DEEP 1
// Sleep: the SPI steps (the serial-interface instances power-cycled), but
// not on the tracker board, whose I2C masters live in those instances.
#if defined(QIV_BOARD_VOSTREL)
#define QIV_CHIP_SLEEP_SPI_STEPS 0
#else
#define QIV_CHIP_SLEEP_SPI_STEPS 1
#endif

// The configuration record's layout: BLE settings without LoRa.
#define QIV_CHIP_NVM_LAYOUT QIV_NVM_LAYOUT_BLE
