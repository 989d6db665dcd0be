#include "api_objects.h"

#include <string.h>

#include "qiv_runtime.h"
#include "service_battery.h"
#include "service_nvm.h"
#include "udrv_powersave.h"
#include "udrv_serial.h"
#include "udrv_system.h"
#ifdef SUPPORT_BLE
#include "udrv_ble.h"
#endif

// Build-time texts of the image (shared with the version commands).
extern const char api_version[];
extern const char chip_id[];

ZEMUnifiedApi api;

namespace {

constexpr unsigned int version_text_size = 32;
constexpr unsigned int alias_size = 16;
constexpr unsigned int passwd_max = 8;

// A stored version text: 32 bytes read into a 33-byte buffer, so that a
// text of all 32 characters keeps its terminator.
void read_version_text(String &out, uint8_t (*getter)(char *, uint32_t)) {
  char text[version_text_size + 1];
  memset(text, 0, sizeof(text));
  if (getter(text, version_text_size) != 0) {
    text[0] = '\0';
  }
  out = text;
}

bool printable(const String &s) {
  for (unsigned int i = 0; i < s.length(); ++i) {
    char c = s.charAt(i);
    if (c < 0x20 || c > 0x7E) {
      return false;
    }
  }
  return true;
}

}  // namespace

void ZEMSystem::reboot() { udrv_system_reboot(); }

bool ZEMSystem::sleep::all(uint32_t ms_time) { return udrv_sleep_ms(ms_time) == 0; }

uint8_t ZEMSystem::lpm::get() {
  return static_cast<uint8_t>(service_nvm_get_auto_sleep_time_from_nvm());
}

bool ZEMSystem::lpm::set(uint8_t value) {
  if (value > 1) {
    return false;
  }
  return service_nvm_set_auto_sleep_time_to_nvm(value) == 0;
}

uint8_t ZEMSystem::lpmlvl::get() { return service_nvm_get_auto_sleep_level_from_nvm(); }

bool ZEMSystem::lpmlvl::set(uint8_t level) {
  if (level < 1 || level > 2) {
    return false;
  }
  return service_nvm_set_auto_sleep_level_to_nvm(level) == 0;
}

const String &ZEMSystem::firmwareVersion::get() {
  read_version_text(ver, service_nvm_get_firmware_ver_from_nvm);
  return ver;
}

const String &ZEMSystem::cliVersion::get() {
  read_version_text(ver, service_nvm_get_cli_ver_from_nvm);
  return ver;
}

ZEMSystem::apiVersion::apiVersion() { ver = api_version; }

const String &ZEMSystem::apiVersion::get() { return ver; }

const String &ZEMSystem::modelId::get() {
  read_version_text(id, service_nvm_get_hwmodel_from_nvm);
  return id;
}

ZEMSystem::chipId::chipId() { id = chip_id; }

const String &ZEMSystem::chipId::get() { return id; }

bool ZEMSystem::pword::set(const String &passwd) {
  if (passwd.length() < 1 || passwd.length() > passwd_max) {
    return false;
  }
  return udrv_serial_set_passwd(passwd.c_str(), passwd.length()) == 0;
}

bool ZEMSystem::pword::lock() {
  udrv_serial_lock();
  return true;
}

bool ZEMSystem::pword::unlock() {
  udrv_serial_unlock();
  return true;
}

#ifdef QIV_BOARD_VOSTREL
bool ZEMSystem::atMode::add(const char *cmd, const char *usage, const char *title, PF_handle handle,
                            unsigned int perm) {
  return service_mode_cli_register(cmd, title, handle, 255, usage, perm);
}
#endif

float ZEMSystem::bat::get() {
  float volts = 0.0f;
  if (service_battery_get_batt_level(&volts) != 0) {
    return 0.0f;
  }
  return volts;
}

String ZEMSystem::alias::get() {
  char text[alias_size + 1];
  memset(text, 0, sizeof(text));
  if (service_nvm_get_atcmd_alias_from_nvm(text, alias_size) != 0) {
    text[0] = '\0';
  }
  return String(text);
}

bool ZEMSystem::alias::set(const String &name) {
  if (name.length() < 1 || name.length() > alias_size || !printable(name)) {
    return false;
  }
  return service_nvm_set_atcmd_alias_to_nvm(name.c_str(), name.length()) == 0;
}

bool ZEMSystem::scheduler::task::destroy() {
  no_busy_loop = true;
  return true;
}
