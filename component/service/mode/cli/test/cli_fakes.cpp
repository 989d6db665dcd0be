#include "cli_fakes.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "atcmd.h"
#include "service_nvm.h"
#include "udrv_dfu.h"
#include "udrv_flash.h"
#include "udrv_powersave.h"
#include "udrv_system.h"

namespace clifake {

World world;

void reset() {
  world = World{};
  world.log_port[SERIAL_UART1] = true;
  world.log_port[SERIAL_UART2] = true;
  for (int p = 0; p < SERIAL_MAX; ++p) {
    world.store.mode[p] = SERVICE_MODE_TYPE_CLI;
  }
  memset(atcmd_cust_tbl, 0, sizeof(at_cmd_cust_info) * ATCMD_CUST_TABLE_SIZE);
  memcpy(atcmd_info_tbl, atcmd_info_tbl_load_image, sizeof(at_cmd_info) * At_CmdGetTotalNum());
  service_mode_cli_init(SERIAL_UART2);
  type(SERIAL_UART2, "\r");  // leaves any escape sequence of an earlier test
  for (auto &o : world.out) {
    o.clear();
  }
}

void type(SERIAL_PORT port, const std::string &bytes) {
  for (char c : bytes) {
    service_mode_cli_handler(port, c);
  }
}

std::string take(SERIAL_PORT port) {
  std::string s = world.out[port];
  world.out[port].clear();
  return s;
}

bool type_expecting_restart(SERIAL_PORT port, const std::string &bytes) {
  jmp_buf env;
  world.restart = &env;
  if (setjmp(env) == 0) {
    type(port, bytes);
    world.restart = nullptr;
    return false;
  }
  world.restart = nullptr;
  return true;
}

uint8_t flash_byte(uint32_t addr) {
  auto it = world.flash.find(addr);
  return it == world.flash.end() ? 0xFF : it->second;
}

void flash_fill(uint32_t addr, const std::string &bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    world.flash[addr + static_cast<uint32_t>(i)] = static_cast<uint8_t>(bytes[i]);
  }
}

static void restart_now() {
  if (world.restart != nullptr) {
    longjmp(*world.restart, 1);
  }
}

}  // namespace clifake

using clifake::world;

// ---- Serial layer ----

int32_t udrv_serial_write(SERIAL_PORT port, uint8_t const *data, uint32_t len) {
  world.out[port].append(reinterpret_cast<const char *>(data), len);
  return static_cast<int32_t>(len);
}

int32_t udrv_serial_log_printf(const char *fmt, ...) {
  char buf[UDRV_SERIAL_PRINT_BUFFER_SIZE];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  if (n < 0) {
    return 0;
  }
  size_t len = strlen(buf);
  int32_t last = 0;
  for (int p = 0; p < SERIAL_MAX; ++p) {
    if (world.log_port[p] && !world.locked) {
      world.out[p].append(buf, len);
      last = static_cast<int32_t>(len);
    }
  }
  return last;
}

void udrv_serial_init(SERIAL_PORT port, uint32_t baudrate, SERIAL_WORD_LEN_E datalen,
                      SERIAL_STOP_BIT_E stop, SERIAL_PARITY_E parity,
                      SERIAL_WIRE_MODE_E wire_mode) {
  world.inits.push_back({port, baudrate, datalen, stop, parity, wire_mode, world.out[port].size()});
}

bool udrv_serial_baudrate_supported(uint32_t baudrate) {
  return baudrate >= world.min_baudrate && baudrate <= world.max_baudrate;
}

void udrv_serial_lock(void) {
  ++world.lock_calls;
  world.locked = true;
}

int32_t udrv_serial_get_passwd(char *buffer, uint32_t length) {
  if (length < 9) {
    return -UDRV_WRONG_ARG;
  }
  memcpy(buffer, world.store.passwd, 9);
  return static_cast<int32_t>(strnlen(world.store.passwd, 8));
}

int32_t udrv_serial_set_passwd(char const *passwd, uint32_t length) {
  if (length > 8) {
    return -UDRV_WRONG_ARG;
  }
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t c = static_cast<uint8_t>(passwd[i]);
    if (c < 0x20 || c > 0x7E) {
      return -UDRV_WRONG_ARG;
    }
  }
  if (world.setter_result != 0) {
    return world.setter_result;
  }
  memset(world.store.passwd, 0, sizeof(world.store.passwd));
  memcpy(world.store.passwd, passwd, length);
  return 0;
}

// ---- Configuration store ----

uint8_t service_nvm_get_atcmd_echo_from_nvm(void) { return world.store.echo; }

int32_t service_nvm_set_atcmd_echo_to_nvm(uint8_t value) {
  world.store.echo = value;
  return world.setter_result;
}

static int32_t get_field(char *buff, uint32_t len, const char *field, uint32_t size) {
  if (len < size) {
    return -UDRV_BUFF_OVERFLOW;
  }
  if (world.getter_result != 0) {
    return world.getter_result;
  }
  memcpy(buff, field, size);
  return 0;
}

static int32_t set_text(char *field, uint32_t size, char const *buff, uint32_t len) {
  if (len > size) {
    return -UDRV_WRONG_ARG;
  }
  if (world.setter_result != 0) {
    return world.setter_result;
  }
  memset(field, 0, size);
  memcpy(field, buff, len);
  return 0;
}

int32_t service_nvm_get_sn_from_nvm(char *buff, uint32_t len) {
  return get_field(buff, len, world.store.sn, sizeof(world.store.sn));
}

int32_t service_nvm_set_sn_to_nvm(char const *buff, uint32_t len) {
  return set_text(world.store.sn, sizeof(world.store.sn), buff, len);
}

int32_t service_nvm_get_atcmd_alias_from_nvm(char *buff, uint32_t len) {
  return get_field(buff, len, world.store.alias, sizeof(world.store.alias));
}

int32_t service_nvm_set_atcmd_alias_to_nvm(char const *buff, uint32_t len) {
  return set_text(world.store.alias, sizeof(world.store.alias), buff, len);
}

uint8_t service_nvm_get_firmware_ver_from_nvm(char *buff, uint32_t len) {
  return static_cast<uint8_t>(get_field(buff, len, world.store.firmware_ver, 32));
}

uint8_t service_nvm_get_hwmodel_from_nvm(char *buff, uint32_t len) {
  return static_cast<uint8_t>(get_field(buff, len, world.store.hwmodel, 32));
}

uint8_t service_nvm_get_cli_ver_from_nvm(char *buff, uint32_t len) {
  return static_cast<uint8_t>(get_field(buff, len, world.store.cli_ver, 32));
}

uint32_t service_nvm_get_auto_sleep_time_from_nvm(void) { return world.store.auto_sleep_time; }

int32_t service_nvm_set_auto_sleep_time_to_nvm(uint32_t value) {
  world.store.auto_sleep_time = value;
  return world.setter_result;
}

uint8_t service_nvm_get_auto_sleep_level_from_nvm(void) { return world.store.auto_sleep_level; }

uint8_t service_nvm_set_auto_sleep_level_to_nvm(uint8_t level) {
  world.store.auto_sleep_level = level;
  return static_cast<uint8_t>(world.setter_result);
}

uint32_t service_nvm_get_baudrate_from_nvm(void) { return world.store.baudrate; }

int32_t service_nvm_set_baudrate_to_nvm(uint32_t value) {
  world.store.baudrate = value;
  return world.setter_result;
}

SERVICE_MODE_TYPE service_nvm_get_mode_type_from_nvm(SERIAL_PORT port) {
  return world.store.mode[port];
}

int32_t service_nvm_set_mode_type_to_nvm(SERIAL_PORT port, SERVICE_MODE_TYPE mode_type) {
  world.store.mode[port] = mode_type;
  return world.setter_result;
}

int32_t service_nvm_set_default_config_to_nvm(void) {
  ++world.defaults_calls;
  return world.defaults_result;
}

int32_t service_nvm_set_cfg_to_nvm(void) {
  ++world.cfg_writes;
  return world.cfg_write_result;
}

int32_t service_nvm_set_factory_copy_to_nvm(void) {
  ++world.factory_copies;
  return world.factory_copy_result;
}

uint8_t service_nvm_get_debug_level_from_nvm(void) { return world.store.debug_level; }

uint32_t service_nvm_set_debug_level_to_nvm(uint8_t level) {
  world.store.debug_level = level;
  return static_cast<uint32_t>(world.setter_result);
}

const char sw_version[] = "QIV_4.2.4_Brisola-T";
const char model_id[] = "Brisola-T";
const char cli_version[] = "1.5.15";

// ---- Flash, sleep, system ----

int32_t udrv_flash_read(uint32_t addr, uint32_t len, uint8_t *buff) {
  if (world.flash_read_result != 0) {
    return world.flash_read_result;
  }
  for (uint32_t i = 0; i < len; ++i) {
    buff[i] = clifake::flash_byte(addr + i);
  }
  return 0;
}

int32_t udrv_flash_write(uint32_t addr, uint32_t len, uint8_t const *buff) {
  if (world.flash_write_result != 0) {
    return world.flash_write_result;
  }
  for (uint32_t i = 0; i < len; ++i) {
    world.flash[addr + i] = buff[i];
  }
  return 0;
}

int32_t udrv_flash_erase(uint32_t addr, uint32_t len) {
  world.erases.emplace_back(addr, len);
  if (world.flash_erase_result != 0) {
    return world.flash_erase_result;
  }
  for (uint32_t i = 0; i < len; ++i) {
    world.flash.erase(addr + i);
  }
  return 0;
}

int32_t udrv_sleep_ms(uint32_t ms_time) {
  world.sleeps.push_back(ms_time);
  return world.sleep_result;
}

int32_t udrv_sleep_ms_asked(uint32_t ms_time) { return udrv_sleep_ms(ms_time); }

// The RAM record that ATR keeps aside while it restores (the fakes keep
// their settings elsewhere).
PRE_qiv_cfg_t g_qiv_cfg_t;

void udrv_system_reboot(void) {
  ++world.reboots;
  clifake::restart_now();
}

void udrv_enter_dfu(void) {
  ++world.dfu_entries;
  clifake::restart_now();
}

#ifdef ATCMD_HAS_UID
void uhal_sys_get_uid(uint32_t *uid0, uint32_t *uid1, uint32_t *uid2) {
  *uid0 = world.uid[0];
  *uid1 = world.uid[1];
  *uid2 = world.uid[2];
}
#endif

// ---- ADC and the board's battery table ----

UDRV_ADC_RESOLUTION udrv_adc_get_resolution(void) { return world.adc_resolution; }

UDRV_ADC_MODE udrv_adc_get_mode(void) { return world.adc_mode; }

int32_t udrv_adc_read(uint32_t pin, int16_t *value) {
  if (world.adc_result != 0) {
    return world.adc_result;
  }
  *value = world.adc_raw[pin];
  return 0;
}

#ifdef QIV_ADC_SET_RESOLUTION
int32_t udrv_adc_set_resolution(UDRV_ADC_RESOLUTION resolution) {
  world.adc_resolution = resolution;
  return 0;
}
#endif

uint32_t get_batt_table_size(void) { return 13; }
