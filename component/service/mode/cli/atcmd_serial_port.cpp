// Serial-port commands: lock, password, baud rate, return to AT mode.
#include <string.h>

#include "atcmd.h"
#include "service_nvm.h"
#include "udrv_serial.h"

#define ATCMD_PASSWD_MAX_LEN 8u

int At_Lock(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (atcmd_is_bare(param)) {
    // Every open port is locked now, so the reply that follows reaches no
    // port.
    udrv_serial_lock();
    return AT_OK;
  }
  if (atcmd_is_query(param)) {
    // A port that can run commands is unlocked; a locked port's password
    // line answers this query itself.
    udrv_serial_log_printf("%s=unlocked\r\n", cmd);
    return AT_OK;
  }
  return AT_PARAM_ERROR;
}

int At_Pword(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (atcmd_is_query(param)) {
    char passwd[ATCMD_PASSWD_MAX_LEN + 1];
    memset(passwd, 0, sizeof(passwd));
    int32_t len = udrv_serial_get_passwd(passwd, sizeof(passwd));
    if (len <= 0 || len > static_cast<int32_t>(ATCMD_PASSWD_MAX_LEN)) {
      return AT_ERROR;
    }
    passwd[len] = '\0';
    udrv_serial_log_printf("%s=%s\r\n", cmd, passwd);
    return AT_OK;
  }
  if (!atcmd_is_set(param)) {
    return AT_PARAM_ERROR;
  }
  size_t len = strlen(param->argv[0]);
  if (len < 1 || len > ATCMD_PASSWD_MAX_LEN) {
    return AT_PARAM_ERROR;
  }
  int32_t ret = udrv_serial_set_passwd(param->argv[0], static_cast<uint32_t>(len));
  if (ret == 0) {
    return AT_OK;
  }
  return ret == -UDRV_WRONG_ARG ? AT_PARAM_ERROR : AT_ERROR;
}

int At_Baud(SERIAL_PORT port, char *cmd, stParam *param) {
  if (atcmd_is_query(param)) {
    udrv_serial_log_printf("%s=%lu\r\n", cmd,
                           static_cast<unsigned long>(service_nvm_get_baudrate_from_nvm()));
    return AT_OK;
  }
  if (!atcmd_is_set(param)) {
    return AT_PARAM_ERROR;
  }
  // A rate the port cannot be opened at would leave the module unreachable
  // once stored, so it is refused before anything changes.
  const char *text = param->argv[0];
  if (text[0] == '\0' || !at_check_digits_only(text)) {
    return AT_PARAM_ERROR;
  }
  uint32_t baud = at_digits_to_uint32(text);
  if (!udrv_serial_baudrate_supported(baud)) {
    return AT_PARAM_ERROR;
  }
  // The typing port switches at once, so the reply leaves at the new rate.
  udrv_serial_init(port, baud, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE,
                   SERIAL_TWO_WIRE_NORMAL_MODE);
  if (service_nvm_set_baudrate_to_nvm(baud) != 0) {
    return AT_ERROR;
  }
  return AT_OK;
}

int At_AtCmdMode(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)cmd;
  if (!atcmd_is_bare(param)) {
    return AT_PARAM_ERROR;
  }
  if (service_nvm_get_mode_type_from_nvm(port) == SERVICE_MODE_TYPE_CLI) {
    return AT_OK;
  }
  udrv_serial_log_printf("OK\r\n");
  if (service_nvm_set_mode_type_to_nvm(port, SERVICE_MODE_TYPE_CLI) != 0) {
    return AT_ERROR;
  }
  service_mode_cli_init(port);
  return AT_OK;
}
