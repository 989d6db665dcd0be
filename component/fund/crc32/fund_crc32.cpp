#include "fund_crc32.h"

uint32_t fund_crc32_update(uint32_t crc, const uint8_t *data, uint32_t len) {
  // Bitwise on purpose: no 1 KB table in RAM for a checksum that runs a few
  // times per boot.
  for (uint32_t i = 0; i < len; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
  }
  return crc;
}

uint32_t fund_crc32(const uint8_t *data, uint32_t len) {
  return fund_crc32_final(fund_crc32_update(FUND_CRC32_INIT, data, len));
}
