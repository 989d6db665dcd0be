// CRC-32 of ISO-HDLC / IEEE 802.3: reflected polynomial 0xEDB88320, register
// starting at 0xFFFFFFFF, result inverted. The one implementation of the
// firmware: the configuration store's older layouts, the MAC's stored
// context groups (through the LoRaWAN utilities' Crc32) and the
// bootloader's image check use it.
#pragma once

#include <stdint.h>

#define FUND_CRC32_INIT 0xFFFFFFFFu

// Runs the register over len more bytes; start from FUND_CRC32_INIT and
// finish with fund_crc32_final, so that a check can feed its data in pieces
// (or leave out a stored CRC word by feeding zeros in its place).
uint32_t fund_crc32_update(uint32_t crc, const uint8_t *data, uint32_t len);

inline uint32_t fund_crc32_final(uint32_t crc) { return ~crc; }

// The CRC-32 of len bytes (0 for no bytes).
uint32_t fund_crc32(const uint8_t *data, uint32_t len);
