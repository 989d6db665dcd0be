#include "api_fakes.h"

#include <string.h>

#include "qiv_runtime.h"
#include "service_mode_cli.h"
#include "udrv_adc.h"
#include "udrv_powersave.h"
#include "udrv_system.h"

namespace apifake {

World world;

void reset() {
  world = World{};
  for (int p = 0; p < SERIAL_MAX; ++p) {
    world.mode[p] = SERVICE_MODE_TYPE_CUSTOM;
  }
  no_busy_loop = false;
}

}  // namespace apifake

using apifake::world;

volatile bool no_busy_loop = false;
extern const char api_version[];
extern const char chip_id[];
const char api_version[] = "3.2.11";
const char chip_id[] = "stm32wle5xx";

// ---- Serial layer ----

void udrv_serial_enable(SERIAL_PORT port) { world.log.push_back("enable " + std::to_string(port)); }

void udrv_serial_init(SERIAL_PORT port, uint32_t baudrate, SERIAL_WORD_LEN_E datalen,
                      SERIAL_STOP_BIT_E stop, SERIAL_PARITY_E parity,
                      SERIAL_WIRE_MODE_E wire_mode) {
  world.log.push_back("init " + std::to_string(port));
  world.inits.push_back({port, baudrate, datalen, stop, parity, wire_mode});
}

int32_t udrv_serial_write(SERIAL_PORT port, uint8_t const *data, uint32_t len) {
  if (port >= SERIAL_MAX) {
    return -UDRV_WRONG_ARG;
  }
  if (world.port[port].locked) {
    return -UDRV_TEMP_LOCKED;
  }
  if (data == nullptr || len == 0) {
    return -UDRV_INTERNAL_ERR;  // as the UART ports answer a write of nothing
  }
  world.port[port].tx.append(reinterpret_cast<const char *>(data), len);
  return static_cast<int32_t>(len);
}

int32_t udrv_serial_read(SERIAL_PORT port, uint8_t *buffer, uint32_t len) {
  std::string &rx = world.port[port].rx;
  uint32_t n = len < rx.size() ? len : static_cast<uint32_t>(rx.size());
  memcpy(buffer, rx.data(), n);
  rx.erase(0, n);
  return static_cast<int32_t>(n);
}

int32_t udrv_serial_peek(SERIAL_PORT port) {
  const std::string &rx = world.port[port].rx;
  return rx.empty() ? world.port[port].peek_result : static_cast<uint8_t>(rx[0]);
}

int32_t udrv_serial_read_available(SERIAL_PORT port) {
  return static_cast<int32_t>(world.port[port].rx.size());
}

void udrv_serial_flush(SERIAL_PORT port) { ++world.port[port].flushes; }

void udrv_serial_lock(void) { ++world.locks; }

void udrv_serial_unlock(void) { ++world.unlocks; }

int32_t udrv_serial_set_passwd(char const *passwd, uint32_t length) {
  world.log.push_back("passwd");
  if (world.setter_result != 0) {
    return world.setter_result;
  }
  world.passwd.assign(passwd, length);
  return 0;
}

// ---- Configuration store ----

uint32_t service_nvm_get_baudrate_from_nvm(void) { return world.baudrate; }

int32_t service_nvm_set_baudrate_to_nvm(uint32_t value) {
  world.log.push_back("baud " + std::to_string(value));
  world.baudrate = value;
  return world.setter_result;
}

SERVICE_MODE_TYPE service_nvm_get_mode_type_from_nvm(SERIAL_PORT port) { return world.mode[port]; }

int32_t service_nvm_set_mode_type_to_nvm(SERIAL_PORT port, SERVICE_MODE_TYPE mode_type) {
  world.log.push_back("mode " + std::to_string(port) + " " + std::to_string(mode_type));
  if (world.mode_set_result != 0) {
    return world.mode_set_result;
  }
  world.mode[port] = mode_type;
  return 0;
}

static uint8_t get_text(char *buff, uint32_t len, const char *field, uint32_t size) {
  if (len < size) {
    return static_cast<uint8_t>(-UDRV_BUFF_OVERFLOW);
  }
  if (world.getter_result != 0) {
    return static_cast<uint8_t>(world.getter_result);
  }
  memcpy(buff, field, size);
  return 0;
}

uint8_t service_nvm_get_firmware_ver_from_nvm(char *buff, uint32_t len) {
  return get_text(buff, len, world.firmware_ver, 32);
}

uint8_t service_nvm_get_cli_ver_from_nvm(char *buff, uint32_t len) {
  return get_text(buff, len, world.cli_ver, 32);
}

uint8_t service_nvm_get_hwmodel_from_nvm(char *buff, uint32_t len) {
  return get_text(buff, len, world.hwmodel, 32);
}

int32_t service_nvm_get_atcmd_alias_from_nvm(char *buff, uint32_t len) {
  return static_cast<int8_t>(get_text(buff, len, world.alias, 16));
}

int32_t service_nvm_set_atcmd_alias_to_nvm(char const *buff, uint32_t len) {
  world.log.push_back("alias");
  if (world.setter_result != 0) {
    return world.setter_result;
  }
  memset(world.alias, 0, sizeof(world.alias));
  memcpy(world.alias, buff, len);
  return 0;
}

uint32_t service_nvm_get_auto_sleep_time_from_nvm(void) { return world.auto_sleep_time; }

int32_t service_nvm_set_auto_sleep_time_to_nvm(uint32_t value) {
  world.log.push_back("lpm");
  world.auto_sleep_time = value;
  return world.setter_result;
}

uint8_t service_nvm_get_auto_sleep_level_from_nvm(void) { return world.auto_sleep_level; }

uint8_t service_nvm_set_auto_sleep_level_to_nvm(uint8_t level) {
  world.log.push_back("lpmlvl");
  world.auto_sleep_level = level;
  return static_cast<uint8_t>(world.setter_result);
}

// ---- Line editor, power save, system ----

void service_mode_cli_init(SERIAL_PORT port) { world.log.push_back("cli " + std::to_string(port)); }

int32_t udrv_sleep_ms(uint32_t ms_time) {
  world.sleeps.push_back(ms_time);
  return world.sleep_result;
}

void udrv_system_reboot(void) { ++world.reboots; }

// ---- Converter ----

UDRV_ADC_RESOLUTION udrv_adc_get_resolution(void) { return UDRV_ADC_RESOLUTION_10BIT; }

UDRV_ADC_MODE udrv_adc_get_mode(void) { return UDRV_ADC_MODE_3_3; }

int32_t udrv_adc_read(uint32_t pin, int16_t *value) {
  if (world.adc_result != 0) {
    return world.adc_result;
  }
  *value = world.adc_raw[pin];
  return 0;
}

uint32_t get_batt_table_size(void) { return 13; }
