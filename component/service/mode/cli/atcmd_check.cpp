// Argument checkers and result mapping shared by the command handlers.
#include <string.h>

#include "service_mode_cli.h"
#include "udrv_errno.h"

int at_error_code_form_udrv(int32_t udrv_code) {
  switch (udrv_code) {
    case 0:
      return AT_OK;
    case -UDRV_WRONG_ARG:
    case -UDRV_PARAM_ERR:
      return AT_PARAM_ERROR;
    case -UDRV_BUSY:
      return AT_BUSY_ERROR;
    case -UDRV_NO_WAN_CONNECTION:
      return AT_NO_NETWORK_JOINED;
    case -UDRV_UNSUPPORTED_BAND:
      return AT_UNSUPPORTED_BAND;
    default:
      return AT_ERROR;
  }
}

static bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

static uint8_t hex_value(char c) {
  if (c >= 'a' && c <= 'z') {
    c = static_cast<char>(c - 'a' + 'A');
  }
  return (c >= '0' && c <= '9') ? static_cast<uint8_t>(c - '0')
                                : static_cast<uint8_t>(c - 'A' + 10);
}

void StrToHex(uint8_t *pbDest, const char *pbSrc, uint32_t nLen) {
  for (uint32_t i = 0; i < nLen / 2; ++i) {
    pbDest[i] = static_cast<uint8_t>(hex_value(pbSrc[2 * i]) * 16 + hex_value(pbSrc[2 * i + 1]));
  }
}

static bool all_hex(const char *p_str, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    if (!is_hex_digit(p_str[i])) {
      return false;
    }
  }
  return true;
}

uint8_t at_check_hex_param(const char *p_str, uint32_t str_len, uint8_t *p_hex) {
  if (p_str == nullptr || strlen(p_str) != str_len || (str_len % 2) != 0 ||
      !all_hex(p_str, str_len)) {
    return 1;
  }
  if (p_hex != nullptr) {
    StrToHex(p_hex, p_str, str_len);
  }
  return 0;
}

static uint8_t check_hex_number(const char *p_str, size_t digits, uint32_t *out) {
  if (p_str == nullptr || strlen(p_str) != digits || !all_hex(p_str, digits)) {
    return 1;
  }
  uint32_t v = 0;
  for (size_t i = 0; i < digits; ++i) {
    v = (v << 4) | hex_value(p_str[i]);
  }
  *out = v;
  return 0;
}

uint8_t at_check_hex_uint16(const char *p_str, uint16_t *value) {
  uint32_t v;
  if (check_hex_number(p_str, 4, &v) != 0) {
    return 1;
  }
  *value = static_cast<uint16_t>(v);
  return 0;
}

uint8_t at_check_hex_uint32(const char *p_str, uint32_t *value) {
  uint32_t v;
  if (check_hex_number(p_str, 8, &v) != 0) {
    return 1;
  }
  *value = v;
  return 0;
}

bool at_check_digits_only(const char *p_str) {
  for (; *p_str != '\0'; ++p_str) {
    if (*p_str < '0' || *p_str > '9') {
      return false;
    }
  }
  return true;
}

uint32_t at_digits_to_uint32(const char *p_str) {
  uint64_t v = 0;
  for (; *p_str != '\0'; ++p_str) {
    v = v * 10 + static_cast<uint64_t>(*p_str - '0');
    if (v > UINT32_MAX) {
      return UINT32_MAX;
    }
  }
  return static_cast<uint32_t>(v);
}

// 1 to 10 decimal digits giving a value that fits 32 bits; "0" is the only
// spelling of zero. Values that do not fit are refused, never clamped.
uint8_t at_check_digital_uint32_t(const char *p_str, uint32_t *value) {
  if (p_str == nullptr) {
    return 1;
  }
  size_t len = strlen(p_str);
  if (len < 1 || len > 10 || !at_check_digits_only(p_str)) {
    return 1;
  }
  uint64_t v = 0;
  for (size_t i = 0; i < len; ++i) {
    v = v * 10 + static_cast<uint64_t>(p_str[i] - '0');
  }
  if (v > UINT32_MAX) {
    return 1;
  }
  if (v == 0 && len != 1) {
    return 1;
  }
  if (value != nullptr) {
    *value = static_cast<uint32_t>(v);
  }
  return 0;
}
