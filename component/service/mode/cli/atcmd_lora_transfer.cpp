// AT+LPSEND and AT+CERTIF (see atcmd_lora_transfer.h).
#include "atcmd_lora_transfer.h"

#ifdef QIV_LORA_SERVICES_LINKED

#include <stdlib.h>
#include <string.h>

#include "atcmd.h"
#include "fund_number.h"
#include "service_lora.h"
#include "service_nvm.h"
#include "udrv_errno.h"
#include "udrv_serial.h"

namespace {

// The payload of a long packet as bytes.
uint8_t lp_buffer[1028];

// 1 to max_digits digits only.
bool short_number(const char *text, size_t max_digits, uint32_t *value) {
  size_t n = strlen(text);
  if (n == 0 || n > max_digits || !at_check_digits_only(text)) {
    return false;
  }
  *value = at_digits_to_uint32(text);
  return true;
}

}  // namespace

int At_Lpsend(SERIAL_PORT, char *, stParam *param) {
  if (service_lora_get_nwm() != SERVICE_LORAWAN) {
    return AT_MODE_NO_SUPPORT;
  }
  if (param->argc != 3) {
    return AT_PARAM_ERROR;
  }
  uint32_t port;
  if (!short_number(param->argv[0], 3, &port) || port < 1 || port > 223) {
    return AT_PARAM_ERROR;
  }
  // The acknowledgement flag: one digit, 0 or 1; an empty field is 0.
  uint32_t ack = 0;
  if (param->argv[1][0] != '\0' && (!short_number(param->argv[1], 1, &ack) || ack > 1)) {
    return AT_PARAM_ERROR;
  }
  // At least one byte: an empty payload is a typing slip, not a packet.
  size_t n = strlen(param->argv[2]);
  if (n < 2 || n > 2 * LPTP_DATA_BUFFER_MAX_SIZE || n % 2 != 0 ||
      at_check_hex_param(param->argv[2], static_cast<uint32_t>(n), lp_buffer) != 0) {
    return AT_PARAM_ERROR;
  }
  switch (service_lora_lptp_send(static_cast<uint8_t>(port), ack != 0, lp_buffer,
                                 static_cast<uint16_t>(n / 2))) {
    case 0:
      return AT_OK;
    case -UDRV_NO_WAN_CONNECTION:
      return AT_NO_NETWORK_JOINED;
    case -UDRV_BUSY:
      return AT_BUSY_ERROR;
    case -UDRV_WRONG_ARG:
      return AT_PARAM_ERROR;
    case -UDRV_UNSUPPORTED_BAND:
      return AT_UNSUPPORTED_BAND;
    default:
      return AT_ERROR;
  }
}

#ifdef QIV_LORA_CERTIFICATION_LINKED
int At_Certif(SERIAL_PORT, char *cmd, stParam *param) {
  if (param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  if (strcmp(param->argv[0], "?") == 0) {
    udrv_serial_log_printf("%s=%u\r\n", cmd,
                           static_cast<unsigned>(service_nvm_get_certi_from_nvm()));
    return AT_OK;
  }
  // Text that is not a number counts as 0: normal mode.
  uint32_t mode = fund_strtoul32(param->argv[0], nullptr, 10);
  if (mode > 1) {
    return AT_PARAM_ERROR;
  }
  if (service_lora_certification(static_cast<int32_t>(mode)) != 0) {
    return AT_ERROR;
  }
  // Stored, so that a certification mode left on is entered again at the
  // next start.
  if (service_nvm_set_certi_to_nvm(static_cast<uint8_t>(mode)) != 0) {
    return AT_ERROR;
  }
  return AT_OK;
}
#endif

#endif
