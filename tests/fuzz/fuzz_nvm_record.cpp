// Any bytes as the page of the stored record and of its factory copy, loaded
// as at boot: the current layout with its erased later fields, the older
// layouts (CRC-32 or marker) and their migration, and the fall-back to the
// factory copy and the defaults. The stand-in port and the runtime core are
// those of the store's unit tests (Brisola-T, which knows the older layouts).
//
// Input: byte 0 chooses the pages; the rest is the page data, the rest of
// each page erased.
//   0  the record page
//   1  the factory page (the record page erased)
//   2  the first half the record page, the second half the factory page
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "fake_port.h"
#include "service_nvm.h"

namespace {

using Bytes = std::vector<uint8_t>;

void require(bool ok) {
  if (!ok) {
    abort();
  }
}

// Every field through its getter, as the services read them after boot: a
// field whose stored bytes are no value of its type shows up here.
uint32_t read_every_field(void) {
  uint32_t sum = 0;
#define READ_VALUE(name, type, result) \
  sum += static_cast<uint32_t>(service_nvm_get_##name##_from_nvm());
  SERVICE_NVM_SYSTEM_VALUE_FIELDS(READ_VALUE)
  SERVICE_NVM_LORA_VALUE_FIELDS(READ_VALUE)
#undef READ_VALUE
  uint8_t key[16];
#define READ_KEY(name, size) require(service_nvm_get_##name##_from_nvm(key, sizeof key) == 0);
  SERVICE_NVM_LORA_KEY_FIELDS(READ_KEY)
#undef READ_KEY
  for (uint32_t port = 0; port < SERIAL_MAX; ++port) {
    sum +=
        static_cast<uint32_t>(service_nvm_get_mode_type_from_nvm(static_cast<SERIAL_PORT>(port)));
    sum +=
        static_cast<uint32_t>(service_nvm_get_lock_status_from_nvm(static_cast<SERIAL_PORT>(port)));
  }
  char text[64];
  int32_t const passwd_len = service_nvm_get_serial_passwd_from_nvm(text, sizeof text);
  require(passwd_len >= 0 && passwd_len <= 8);
  require(service_nvm_get_sn_from_nvm(text, sizeof text) == 0);
  require(service_nvm_get_atcmd_alias_from_nvm(text, sizeof text) == 0);
  require(service_nvm_get_firmware_ver_from_nvm(text, sizeof text) == 0);
  require(service_nvm_get_hwmodel_from_nvm(text, sizeof text) == 0);
  require(service_nvm_get_cli_ver_from_nvm(text, sizeof text) == 0);
  sum += service_nvm_get_auto_sleep_level_from_nvm() + service_nvm_get_debug_level_from_nvm();
  sum += service_nvm_get_bandwidth_from_nvm();
  return sum;
}

Bytes ram_record(void) {
  uint8_t const *p = reinterpret_cast<uint8_t const *>(&g_qiv_cfg_t);
  return Bytes(p, p + sizeof(g_qiv_cfg_t));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) {
    return 0;
  }
  uint32_t const page = fake::default_page_size;
  uint8_t const choice = data[0] % 3;
  Bytes body(data + 1, data + size);
  if (body.size() > 2 * page) {
    body.resize(2 * page);
  }

  fake::port.reset();
  if (choice == 0) {
    body.resize(body.size() < page ? body.size() : page);
    fake::port.flash_put(SERVICE_NVM_CFG_ADDR, body);
  } else if (choice == 1) {
    body.resize(body.size() < page ? body.size() : page);
    fake::port.flash_put(SERVICE_NVM_FACTORY_ADDR, body);
  } else {
    size_t const half = body.size() / 2;
    fake::port.flash_put(SERVICE_NVM_CFG_ADDR,
                         Bytes(body.begin(), body.begin() + static_cast<long>(half)));
    fake::port.flash_put(SERVICE_NVM_FACTORY_ADDR,
                         Bytes(body.begin() + static_cast<long>(half), body.end()));
  }

  // Whatever the pages held, the store starts on a current record.
  memset(&g_qiv_cfg_t, 0xA5, sizeof(g_qiv_cfg_t));
  service_nvm_init_config();
  require(g_qiv_cfg_t.magic_num == PRE_QIV_CFG_MAGIC &&
          g_qiv_cfg_t.version_code == PRE_QIV_CFG_VERSION);
  read_every_field();

  // A record the store wrote is read back as it was written.
  Bytes const loaded = ram_record();
  require(service_nvm_set_cfg_to_nvm() == 0);
  memset(&g_qiv_cfg_t, 0x5A, sizeof(g_qiv_cfg_t));
  service_nvm_init_config();
  require(ram_record() == loaded);
  return 0;
}
