# The product table: every chip, feature, board and image of the tree,
# stated once. The build reads it for the images it makes (cmake/images.cmake),
# the board libraries, the test lists and dependencies, and writes it out for
# the C and C++ sources (qiv_products.h: flash maps, image list) and for the
# shell tools (qiv-products.sh, read by qiv-module).
#
# A new chip, board or image is a new row here, plus its code in its folder.
# The row functions are in cmake/product_rows.cmake.

# ------------------------------------------------------------------ chips --
# qiv_chip(<chip>
#   DEFINES <macros>           what the chip's code is compiled with
#   PORT <library>             the port and start-up under the runtime core
#   PROGRAM <library>          what makes an image a host program (compiled by
#                              each image: its name, console port, flash)
#   BOARDS <library>           the chip's board table, when it has one
#   TIMERS <library>           the timer list and system time the LoRaWAN MAC
#                              runs on with this chip
#   APPFILE                    its application images ship as application
#                              files (<image>.bin) for its bootloader
#   FLASH <base> <size> <page size> <write unit>
#   RAM <base> <size>          the chip's RAM (the cross-build's budget)
#   PARTITIONS <name> <offset> <size>...   the flash map, offsets from base
#   PROVIDES <FEATURE>=<library>...        the chip's own code of a feature)
qiv_chip(stm32wle5
  DEFINES QIV_MCU_STM32WLE5=1
  PORT stm32wle5xx_startup
  PROGRAM stm32_program
  BOARDS qiv_board
  TIMERS stm32wle5xx_lorawan_time
  APPFILE
  FLASH 0x08000000 0x40000 2048 8
  RAM 0x20000000 0x10000
  PARTITIONS
    bootloader    0x00000 0x04000  # QIV_BOOT's vectors, code and constants
    boot_flags    0x04000 0x01000  # +0 boot flag word, +4 update flag word; +0x800 their second copy
    boot_version  0x05000 0x01000  # QIV_BOOT's version text
    application   0x06000 0x31000  # the application image
    factory       0x37000 0x06000  # the factory copy of the settings, two copies (+0, +0x800)
    lora_mac_copy 0x3D000 0x01000  # the second copy of the MAC's persistent context
    lora_mac      0x3E000 0x01000  # the LoRaWAN MAC's persistent context
    config        0x3F000 0x01000  # the settings record, two copies (+0, +0x800)
  PROVIDES LORA=stm32wle5xx_radio)
qiv_chip(apollo3
  DEFINES QIV_MCU_APOLLO3=1
  PORT apollo3_startup
  PROGRAM apollo3_program
  TIMERS apollo3_lorawan_time
  FLASH 0x00000000 0x100000 8192 4
  RAM 0x10000000 0x60000
  PARTITIONS
    bootloader    0x00000 0x14000  # the external bootloader
    application   0x14000 0x70000  # the application image
    ota_staging   0x84000 0x6E000  # the BLE update's staging area (user data at 0xD4000)
    config_copy   0xF2000 0x02000  # the second copy of the settings record and MAC block
    config        0xF4000 0x02000  # the settings record, with the MAC block at +0x500 (first copy)
    factory       0xF6000 0x02000  # the factory copy of the settings
    ota_pointer   0xF8000 0x02000  # the update descriptor of the bootloader
    ble_bonds     0xFA000 0x02000  # the BLE host's bonding records
    boot_version  0xFC000 0x02000  # the bootloader's version text
    boot_flag     0xFE000 0x02000  # 0xAA at +0 asks the bootloader for its update mode
  PROVIDES LORA=apollo3_radio BLE=apollo3_ble)
qiv_chip(nrf52840
  DEFINES QIV_MCU_NRF52840=1
  PORT nrf52840_startup
  PROGRAM nrf52840_program
  FLASH 0x00000000 0x100000 4096 4
  RAM 0x20000000 0x40000
  PARTITIONS
    softdevice    0x00000 0x27000  # the MBR and the BLE protocol stack
    application   0x27000 0x49000  # the application image
    factory       0xAF000 0x01000  # the factory copy of the settings
    factory_copy  0xB0000 0x01000  # its second copy
    config        0xD0000 0x01000  # the settings record
    config_copy   0xD1000 0x01000  # its second copy
    boot_version  0xFD800 0x00800  # the DFU bootloader's version record
  PROVIDES BLE=nrf52840_ble USB=nrf52840_usb NFC=nrf52840_nfc)

# --------------------------------------------------------------- features --
# qiv_feature(<FEATURE> DEFINES <macros> [REQUIRES <FEATURE>...]
#   [LIBRARY <library>])
# The code of a feature is LIBRARY, or on chips that provide it their own
# library. An image that declares a feature whose code is not built stops the
# configuration with a message naming the library.
qiv_feature(LORA DEFINES SUPPORT_LORA=1 QIV_RADIO_LINKED=1)
qiv_feature(LORA_P2P REQUIRES LORA DEFINES SUPPORT_LORA_P2P=1 QIV_LORA_P2P_LINKED=1
  LIBRARY service_lora_p2p)
qiv_feature(LORAWAN REQUIRES LORA DEFINES QIV_LORA_SERVICES_LINKED=1
  LIBRARY service_lora)
qiv_feature(LORAWAN_CERTIFICATION REQUIRES LORAWAN DEFINES QIV_LORA_CERTIFICATION_LINKED=1
  LIBRARY service_lora_certification)
qiv_feature(WIFI_COPROCESSOR DEFINES QIV_WIFI_COPROCESSOR_LINKED=1 LIBRARY wifi_coprocessor)
qiv_feature(BLE DEFINES SUPPORT_BLE=1)
qiv_feature(USB DEFINES SUPPORT_USB=1)
qiv_feature(NFC DEFINES SUPPORT_NFC=1)

# ----------------------------------------------------------------- boards --
# qiv_board(<board> CHIP <chip> [PORT <library>] DEFINES <macros>)
# PORT: the board's own start-up in place of the chip's.
# The board's row of the board table (component/core/board) is chosen by its
# macro; the other macros are what the board's hardware changes in the code.
qiv_board(brisola_t CHIP stm32wle5 DEFINES QIV_BOARD_BRISOLA_T=1 QIV_BOARD_BAND_STRAP=1)
qiv_board(brisola_e CHIP stm32wle5 DEFINES QIV_BOARD_BRISOLA_E=1 QIV_BOARD_BAND_STRAP=1)
qiv_board(quenlarlp_sip CHIP stm32wle5 DEFINES QIV_BOARD_QUENLARLP_SIP=1 QIV_ADC_SET_RESOLUTION=1)
qiv_board(saffrond CHIP stm32wle5 DEFINES QIV_BOARD_SAFFROND=1 QIV_BOARD_ESP32C2=1)
qiv_board(tarnelka CHIP apollo3 DEFINES QIV_BOARD_TARNELKA=1)
qiv_board(minacor CHIP nrf52840 DEFINES QIV_BOARD_MINACOR=1)
qiv_board(vostrel CHIP nrf52840 PORT vostrel_startup DEFINES QIV_BOARD_VOSTREL=1)

# ----------------------------------------------------------------- images --
# qiv_product(<image> BOARD <board> MODEL <text> FEATURES <FEATURE>...
#   CONSOLE <port>)                the application image of one module
# qiv_bootloader(<image> CHIP <chip> CONSOLE <port>)
# CONSOLE: the UART of the AT port (the launcher's terminal port).
qiv_product(brisola-t BOARD brisola_t MODEL "Brisola-T" FEATURES LORA LORA_P2P LORAWAN LORAWAN_CERTIFICATION CONSOLE 2)
qiv_product(brisola-e BOARD brisola_e MODEL "Brisola-E" FEATURES LORA LORA_P2P LORAWAN LORAWAN_CERTIFICATION CONSOLE 2)
qiv_product(quenlarlp-sip BOARD quenlarlp_sip MODEL "QuenlarLP-SiP" FEATURES LORA LORA_P2P LORAWAN LORAWAN_CERTIFICATION CONSOLE 2)
qiv_product(saffrond BOARD saffrond MODEL "Saffrond" FEATURES LORA LORA_P2P LORAWAN LORAWAN_CERTIFICATION WIFI_COPROCESSOR CONSOLE 2)
qiv_product(minacor BOARD minacor MODEL "Minacor" FEATURES BLE USB NFC CONSOLE 0)
qiv_product(vostrel BOARD vostrel MODEL "Vostrel" FEATURES BLE USB CONSOLE 0)
qiv_bootloader(qiv-boot CHIP stm32wle5 CONSOLE 2)
qiv_product(tarnelka BOARD tarnelka MODEL "Tarnelka" FEATURES LORA LORA_P2P LORAWAN BLE CONSOLE 0)

qiv_write_product_files()
