// System commands: attention, restart, restore, bootloader entry, echo,
// serial number, factory copy, version and identity texts, alias, debug
// level, battery and supply voltage.
#include <string.h>

#include "atcmd.h"
#include "service_battery.h"
#include "service_debug.h"
#include "service_nvm.h"
#include "udrv_dfu.h"
#include "udrv_flash.h"
#include "udrv_serial.h"
#include "udrv_system.h"
#if defined(QIV_LORA_SERVICES_LINKED)
#include "service_lora.h"
#endif

#define ATCMD_SN_SIZE 18u
#define ATCMD_ALIAS_SIZE 16u
#define ATCMD_VERSION_TEXT_SIZE 32u

// Prints "<name>=" followed by the bytes of a stored text field, skipping
// its zero bytes, and the line end.
static void print_stored_text(const char *cmd, const char *field, size_t size) {
  char line[ATCMD_NAME_MAX_LEN + 1 + ATCMD_VERSION_TEXT_SIZE + 3];
  size_t n = strlen(cmd);
  memcpy(line, cmd, n);
  line[n++] = '=';
  for (size_t i = 0; i < size; ++i) {
    if (field[i] != 0) {
      line[n++] = field[i];
    }
  }
  line[n++] = '\r';
  line[n++] = '\n';
  line[n] = '\0';
  udrv_serial_log_printf("%s", line);
}

int At_Attention(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  (void)cmd;
  return atcmd_is_bare(param) ? AT_OK : AT_PARAM_ERROR;
}

int At_Dfu(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  (void)cmd;
  if (!atcmd_is_bare(param)) {
    return AT_PARAM_ERROR;
  }
  udrv_enter_dfu();
  // Not reached: the MCU restarts into the bootloader.
  return AT_ERROR;
}

int At_Reboot(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  (void)cmd;
  if (!atcmd_is_bare(param)) {
    return AT_PARAM_ERROR;
  }
  udrv_system_reboot();
  return AT_ERROR;
}

// Brings back the defaults in RAM and stores them; the AT reply code.
static int restore_and_store(void) {
#if defined(QIV_LORA_SERVICES_LINKED)
  if (service_lora_set_lora_default() != 0) {
    return AT_ERROR;
  }
#else
  // Until the LoRa services are linked, the record's defaults are what a
  // restore brings back.
  if (service_nvm_set_default_config_to_nvm() != 0) {
    return AT_ERROR;
  }
#endif
  int32_t ret = service_nvm_set_cfg_to_nvm();
  if (ret == -UDRV_BUSY) {
    return AT_BUSY_ERROR;
  }
  return ret == 0 ? AT_OK : AT_ERROR;
}

int At_Restore(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  (void)cmd;
  if (!atcmd_is_bare(param)) {
    return AT_PARAM_ERROR;
  }
  // A restore that fails on the way leaves the module on the settings it
  // has stored: the RAM copies go back to them, so that no later setter
  // stores half-restored defaults over the user's settings.
  static PRE_qiv_cfg_t kept_cfg;
  memcpy(&kept_cfg, &g_qiv_cfg_t, sizeof(kept_cfg));
#if defined(QIV_LORA_SERVICES_LINKED)
  static lora_mac_nvm_data_t kept_mac;
  memcpy(&kept_mac, &g_lora_mac_nvm_data, sizeof(kept_mac));
#endif
  int code = restore_and_store();
  if (code != AT_OK) {
    memcpy(&g_qiv_cfg_t, &kept_cfg, sizeof(kept_cfg));
#if defined(QIV_LORA_SERVICES_LINKED)
    memcpy(&g_lora_mac_nvm_data, &kept_mac, sizeof(kept_mac));
    // The LoRa stack runs on the stored settings again, as after a start
    // (best effort: it ran on them before).
    service_lora_stop();
    service_lora_init(service_nvm_get_band_from_nvm());
#endif
    return code;
  }
  udrv_system_reboot();
  return AT_ERROR;
}

int At_Echo(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  (void)cmd;
  if (!atcmd_is_bare(param)) {
    return AT_PARAM_ERROR;
  }
  service_nvm_set_atcmd_echo_to_nvm(service_nvm_get_atcmd_echo_from_nvm() ? 0 : 1);
  return AT_OK;
}

int At_Bootver(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  uint8_t record[ATCMD_BOOT_VERSION_SIZE + 1];
  memset(record, 0, sizeof(record));
  if (udrv_flash_read(ATCMD_BOOT_VERSION_ADDR, ATCMD_BOOT_VERSION_SIZE, record) != 0) {
    return AT_ERROR;
  }
  udrv_serial_log_printf("%s=%s\r\n", cmd, reinterpret_cast<const char *>(record));
  return AT_OK;
}

static int print_serial_number(const char *cmd) {
  char sn[ATCMD_SN_SIZE];
  if (service_nvm_get_sn_from_nvm(sn, sizeof(sn)) != 0) {
    return AT_ERROR;
  }
  print_stored_text(cmd, sn, sizeof(sn));
  return AT_OK;
}

int At_Sn(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  return print_serial_number(cmd);
}

static bool is_alnum_ascii(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Production command: writes the serial number once, while none is stored.
int At_FSn(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (atcmd_is_query(param)) {
    return print_serial_number(cmd);
  }
  if (!atcmd_is_set(param)) {
    return AT_PARAM_ERROR;
  }
  const char *text = param->argv[0];
  size_t len = strlen(text);
  if (len < 1 || len > ATCMD_SN_SIZE) {
    return AT_PARAM_ERROR;
  }
  char stored[ATCMD_SN_SIZE];
  if (service_nvm_get_sn_from_nvm(stored, sizeof(stored)) != 0) {
    return AT_ERROR;
  }
  for (size_t i = 0; i < sizeof(stored); ++i) {
    if (stored[i] != 0) {
      return AT_ERROR;
    }
  }
  for (size_t i = 0; i < len; ++i) {
    if (!is_alnum_ascii(text[i])) {
      return AT_PARAM_ERROR;
    }
  }
  if (service_nvm_set_sn_to_nvm(text, static_cast<uint32_t>(len)) != 0) {
    return AT_ERROR;
  }
  return AT_OK;
}

// Production command: copies the configuration record page to the factory
// copy, which then serves as the defaults.
int At_Factory(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  (void)cmd;
  if (!atcmd_is_bare(param)) {
    return AT_PARAM_ERROR;
  }
  return service_nvm_set_factory_copy_to_nvm() == 0 ? AT_OK : AT_ERROR;
}

static int print_version_field(const char *cmd, uint8_t (*getter)(char *, uint32_t)) {
  char text[ATCMD_VERSION_TEXT_SIZE + 1];
  memset(text, 0, sizeof(text));
  if (getter(text, ATCMD_VERSION_TEXT_SIZE) != 0) {
    return AT_ERROR;
  }
  udrv_serial_log_printf("%s=%s\r\n", cmd, text);
  return AT_OK;
}

static int print_constant_text(const char *cmd, const stParam *param, const char *text) {
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  udrv_serial_log_printf("%s=%s\r\n", cmd, text);
  return AT_OK;
}

int At_GetFwBuildTime(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  udrv_serial_log_printf("%s=%s-%s\r\n", cmd, build_date, build_time);
  return AT_OK;
}

int At_GetFwRepoInfo(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return print_constant_text(cmd, param, repo_info);
}

int At_GetFwVersion(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return print_constant_text(cmd, param, sw_version);
}

int At_GetApiVersion(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return print_constant_text(cmd, param, api_version);
}

int At_GetHwID(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return print_constant_text(cmd, param, chip_id);
}

int At_GetCusFwVersion(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  return print_version_field(cmd, service_nvm_get_firmware_ver_from_nvm);
}

int At_GetCliVersion(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  return print_version_field(cmd, service_nvm_get_cli_ver_from_nvm);
}

int At_GetHwModel(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  return print_version_field(cmd, service_nvm_get_hwmodel_from_nvm);
}

int At_Alias(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  char stored[ATCMD_ALIAS_SIZE];
  if (atcmd_is_query(param)) {
    if (service_nvm_get_atcmd_alias_from_nvm(stored, sizeof(stored)) != 0) {
      return AT_ERROR;
    }
    print_stored_text(cmd, stored, sizeof(stored));
    return AT_OK;
  }
  if (!atcmd_is_set(param)) {
    return AT_PARAM_ERROR;
  }
  const char *text = param->argv[0];
  size_t len = strlen(text);
  if (len < 1 || len > ATCMD_ALIAS_SIZE) {
    return AT_PARAM_ERROR;
  }
  if (service_nvm_get_atcmd_alias_from_nvm(stored, sizeof(stored)) != 0) {
    return AT_ERROR;
  }
  for (size_t i = 0; i < len; ++i) {
    uint8_t c = static_cast<uint8_t>(text[i]);
    if (c < 0x20 || c > 0x7E) {
      return AT_PARAM_ERROR;
    }
  }
  if (service_nvm_set_atcmd_alias_to_nvm(text, static_cast<uint32_t>(len)) != 0) {
    return AT_ERROR;
  }
  return AT_OK;
}

// Unlike the other setting commands, a wrong number of arguments answers
// AT_ERROR.
int At_Debug(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (atcmd_is_query(param)) {
    udrv_serial_log_printf("%s=%d\r\n", cmd, static_cast<int>(service_get_debug_level()));
    return AT_OK;
  }
  if (param->argc != 1) {
    return AT_ERROR;
  }
  uint32_t level;
  if (at_check_digital_uint32_t(param->argv[0], &level) != 0 || level > 1) {
    return AT_PARAM_ERROR;
  }
  if (service_set_debug_level(static_cast<uint8_t>(level)) != 0) {
    return AT_ERROR;
  }
  return AT_OK;
}

// "<name>=<volts>" of one of the battery service's readings; a failed
// reading answers AT_ERROR rather than a voltage of 0.
static int print_voltage(const char *cmd, const stParam *param, int32_t (*reading)(float *)) {
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  float volts = 0.0f;
  if (reading(&volts) != 0) {
    return AT_ERROR;
  }
  udrv_serial_log_printf("%s=%f\r\n", cmd, static_cast<double>(volts));
  return AT_OK;
}

int At_GetBat(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return print_voltage(cmd, param, service_battery_get_batt_level);
}

int At_GetSysVolt(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return print_voltage(cmd, param, service_battery_get_SysVolt_level);
}

#ifdef ATCMD_HAS_UID
int At_GetUid(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  uint32_t uid0 = 0, uid1 = 0, uid2 = 0;
  uhal_sys_get_uid(&uid0, &uid1, &uid2);
  udrv_serial_log_printf("%s=%08x%08x%08x\r\n", cmd, static_cast<unsigned>(uid2),
                         static_cast<unsigned>(uid1), static_cast<unsigned>(uid0));
  return AT_OK;
}
#endif
