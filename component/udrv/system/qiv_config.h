// Image configuration shared by the runtime core.
//
// Each image is compiled with its feature macros (a macro that is defined
// switches the feature on):
//   SUPPORT_LORA, SUPPORT_LORA_P2P, SUPPORT_BLE, SUPPORT_USB, SUPPORT_NFC
// and, where the board needs it:
//   QIV_BOARD_BAND_STRAP   the board has the high/low frequency-band strap
//                          (BoardGetHardwareFreq) that chooses the default band
//   QIV_BOARD_ESP32C2      the board carries the Wi-Fi co-processor on UART1
//   QIV_MODEL              the model text, e.g. "Brisola-T"
//   QIV_ADC_SET_RESOLUTION the port can change the ADC resolution
//   QIV_LORA_SERVICES_LINKED the LoRa services are part of the image (the
//                          sleep then suspends and resumes them)
//
// The MCU family selects the stored record layout and the flash map. An image
// may name it (QIV_MCU_APOLLO3, QIV_MCU_STM32WLE5, QIV_MCU_NRF52840); otherwise
// it follows from the features: LoRa with BLE is the Apollo3 module, LoRa
// without BLE an STM32WLE5 module, no LoRa an nRF52840 board.
#pragma once

#if !defined(QIV_MCU_APOLLO3) && !defined(QIV_MCU_STM32WLE5) && !defined(QIV_MCU_NRF52840)
#if defined(SUPPORT_LORA) && defined(SUPPORT_BLE)
#define QIV_MCU_APOLLO3 1
#elif defined(SUPPORT_LORA)
#define QIV_MCU_STM32WLE5 1
#else
#define QIV_MCU_NRF52840 1
#endif
#endif

#if (defined(QIV_MCU_APOLLO3) + defined(QIV_MCU_STM32WLE5) + defined(QIV_MCU_NRF52840)) != 1
#error "exactly one MCU family must be selected"
#endif

// The chip's facts (QIV_CHIP_...), from the port's profile.
#include "qiv_chip.h"
