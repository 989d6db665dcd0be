// Serial output helpers and the number parser of the bootloader.
#include <string.h>

#include "bootloader.h"

void Serial_PutString(const char *p_string) {
  uint16_t length = 0;
  while (p_string[length] != '\0' && length < 0xFFFFU) {
    length++;
  }
  HAL_UART_Transmit(&huart2, (const uint8_t *)p_string, length, TX_TIMEOUT);
}

HAL_StatusTypeDef Serial_PutByte(uint8_t param) {
  // A transmission that ran into its time-out leaves the handle in the
  // time-out state; the next byte must still go out.
  if (huart2.gState == HAL_UART_STATE_TIMEOUT) {
    huart2.gState = HAL_UART_STATE_READY;
  }
  return HAL_UART_Transmit(&huart2, &param, 1, TX_TIMEOUT);
}

static uint32_t hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return (uint32_t)(c - '0');
  if (c >= 'a' && c <= 'f') return (uint32_t)(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return (uint32_t)(c - 'A' + 10);
  return 16U;
}

// Text to unsigned 32-bit number: "0x"/"0X" and hex digits, or decimal digits
// optionally ending in K/k (x1024) or M/m (x1048576). At most 11 characters
// are looked at, so the text with its terminating NUL must fit in them. A
// value that does not fit in 32 bits is refused rather than wrapped, so an
// absurd size can never turn into a small one. Returns 1 and stores the
// value on success, 0 otherwise (nothing stored).
uint32_t Str2Int(const uint8_t *p_inputstr, uint32_t *p_intnum) {
  const uint32_t max_chars = 11U;
  uint64_t val = 0U;
  uint32_t i = 0U;
  uint32_t digits = 0U;

  if (p_inputstr[0] == '0' && (p_inputstr[1] == 'x' || p_inputstr[1] == 'X')) {
    for (i = 2U; i < max_chars && p_inputstr[i] != '\0'; i++) {
      uint32_t v = hex_value(p_inputstr[i]);
      if (v > 15U) return 0U;
      val = (val << 4) | v;
      if (val > 0xFFFFFFFFULL) return 0U;
      digits++;
    }
    if (i >= max_chars || digits == 0U) return 0U;
    *p_intnum = (uint32_t)val;
    return 1U;
  }

  for (i = 0U; i < max_chars; i++) {
    uint8_t c = p_inputstr[i];
    if (c == '\0') {
      if (digits == 0U) return 0U;
      *p_intnum = (uint32_t)val;
      return 1U;
    }
    if (c >= '0' && c <= '9') {
      val = val * 10U + (uint32_t)(c - '0');
      if (val > 0xFFFFFFFFULL) return 0U;
      digits++;
      continue;
    }
    uint32_t shift;
    if (c == 'k' || c == 'K') {
      shift = 10U;
    } else if (c == 'm' || c == 'M') {
      shift = 20U;
    } else {
      return 0U;
    }
    // The multiplier follows at least one digit and ends the text.
    if (digits == 0U || i + 1U >= max_chars || p_inputstr[i + 1U] != '\0') return 0U;
    val <<= shift;
    if (val > 0xFFFFFFFFULL) return 0U;
    *p_intnum = (uint32_t)val;
    return 1U;
  }
  return 0U;
}
