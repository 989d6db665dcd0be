// Sleep commands: sleep now, automatic sleep and its level.
#include <string.h>

#include "atcmd.h"
#include "service_nvm.h"
#include "udrv_powersave.h"
#include "udrv_serial.h"

int At_Sleep(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  (void)cmd;
  uint32_t ms = 0;
  if (param->argc == 1) {
    const char *text = param->argv[0];
    if (!at_check_digits_only(text)) {
      return AT_PARAM_ERROR;
    }
    ms = at_digits_to_uint32(text);
    if (ms == 0 || (ms == UINT32_MAX && strcmp(text, "4294967295") != 0)) {
      return AT_PARAM_ERROR;
    }
  } else if (param->argc != 0) {
    return AT_PARAM_ERROR;
  }
  // A refused sleep (wake lock held, events pending) means the module did
  // not sleep: say so instead of answering OK at once. The wake-up that the
  // command's own line caused under auto-sleep does not refuse it.
  if (udrv_sleep_ms_asked(ms) != 0) {
    return AT_BUSY_ERROR;
  }
  return AT_OK;
}

// A set value: digits only (an empty text counts as 0), within [min, max].
static bool parse_small_setting(const char *text, uint32_t min, uint32_t max, uint32_t *value) {
  if (!at_check_digits_only(text)) {
    return false;
  }
  uint32_t v = at_digits_to_uint32(text);
  if (v < min || v > max) {
    return false;
  }
  *value = v;
  return true;
}

int At_AutoSleep(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (atcmd_is_query(param)) {
    udrv_serial_log_printf("%s=%lu\r\n", cmd,
                           static_cast<unsigned long>(service_nvm_get_auto_sleep_time_from_nvm()));
    return AT_OK;
  }
  uint32_t value;
  if (!atcmd_is_set(param) || !parse_small_setting(param->argv[0], 0, 1, &value)) {
    return AT_PARAM_ERROR;
  }
  if (service_nvm_set_auto_sleep_time_to_nvm(value) != 0) {
    return AT_ERROR;
  }
  return AT_OK;
}

int At_AutoSleepLevel(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (atcmd_is_query(param)) {
    udrv_serial_log_printf("%s=%u\r\n", cmd,
                           static_cast<unsigned>(service_nvm_get_auto_sleep_level_from_nvm()));
    return AT_OK;
  }
  uint32_t value;
  if (!atcmd_is_set(param) || !parse_small_setting(param->argv[0], 1, 2, &value)) {
    return AT_PARAM_ERROR;
  }
  if (service_nvm_set_auto_sleep_level_to_nvm(static_cast<uint8_t>(value)) != 0) {
    return AT_ERROR;
  }
  return AT_OK;
}
