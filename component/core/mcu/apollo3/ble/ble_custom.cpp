// The custom GATT service and its bookkeeping: up to seven characteristics
// of 20 bytes under a 128-bit base UUID, each with its notification switch
// in the module's CCC entries 3 to 9. The program's notify hook learns when
// the phone switches a characteristic's notifications.
#include <string.h>

#include "apollo3_port.h"
#include "ble_internal.h"

namespace {

constexpr uint16_t CUS_START_HDL = 0x0900;
constexpr uint8_t CUS_VALUE_LEN = 20;
// Read, write, notify.
constexpr uint8_t CUS_CHAR_PROPERTIES = 0x02 | 0x08 | 0x10;

struct notify_char_t {
  bool notify_enabled;
  dmConnId_t conn_id;
  uint8_t index;
  uint16_t uuid;
  uint16_t handle;  // of the value; 0: the entry is not registered
};
notify_char_t cus_chars[BLE_MODULE_CUS_CHAR_MAX];

// The service's attributes: the service declaration, then per
// characteristic its declaration, value and CCC.
constexpr uint8_t kMaxAttrs = 1 + 3 * BLE_MODULE_CUS_CHAR_MAX;
const uint8_t kUuidPrimary[2] = {0x00, 0x28};
const uint8_t kUuidChar[2] = {0x03, 0x28};
const uint8_t kUuidCcc[2] = {0x02, 0x29};
uint8_t service_uuid[16];
uint16_t service_uuid_len = 16;
uint8_t char_uuid[BLE_MODULE_CUS_CHAR_MAX][16];
uint8_t char_decl[BLE_MODULE_CUS_CHAR_MAX][19];
uint16_t char_decl_len = 19;
uint8_t char_value[BLE_MODULE_CUS_CHAR_MAX][CUS_VALUE_LEN];
uint16_t char_value_len[BLE_MODULE_CUS_CHAR_MAX];
uint8_t char_ccc[BLE_MODULE_CUS_CHAR_MAX][2];
uint16_t ccc_len = 2;
attsAttr_t cus_attrs[kMaxAttrs];
attsGroup_t cus_group;
bool group_added;

struct notify_call {
  uint16_t uuid;
  uint8_t const *value;
};

void call_notify_hook(void *arg) {
  notify_call const *c = static_cast<notify_call const *>(arg);
  void (*hook)(uint16_t, uint8_t const *) = CUS_NOTIFY_HANDLER;
  if (hook != nullptr) {
    hook(c->uuid, c->value);
  }
}

}  // namespace

int32_t uhal_cus_service_init(uint8_t const base_uuid[16], uint16_t const *char_uuids,
                              uint8_t count) {
  if (base_uuid == nullptr || char_uuids == nullptr || count == 0 ||
      count > BLE_MODULE_CUS_CHAR_MAX) {
    return -UDRV_WRONG_ARG;
  }
  // The phone's view of the attribute table must not change under it.
  if (uhal_is_connected) {
    return -UDRV_BUSY;
  }
  if (group_added) {
    AttsRemoveGroup(CUS_START_HDL);
    group_added = false;
  }
  memcpy(uhal_cus_base_uuid, base_uuid, sizeof uhal_cus_base_uuid);
  memcpy(service_uuid, base_uuid, sizeof service_uuid);
  cus_attrs[0] = {kUuidPrimary, service_uuid, &service_uuid_len, 16, 0, ATTS_PERMIT_READ};
  for (uint8_t i = 0; i < BLE_MODULE_CUS_CHAR_MAX; ++i) {
    bleModuleCccSet[BLE_MODULE_CUS_CCC_FIRST + i] = {0, 0, 0};
    cus_chars[i] = {false, DM_CONN_ID_NONE, i, 0, 0};
  }
  for (uint8_t i = 0; i < count; ++i) {
    uint16_t const decl = static_cast<uint16_t>(CUS_START_HDL + 1 + 3 * i);
    uint16_t const value = static_cast<uint16_t>(decl + 1);
    uint16_t const ccc = static_cast<uint16_t>(decl + 2);
    // The characteristic's UUID: the base with its 16-bit UUID in bytes
    // 12 and 13.
    memcpy(char_uuid[i], base_uuid, 16);
    char_uuid[i][12] = static_cast<uint8_t>(char_uuids[i]);
    char_uuid[i][13] = static_cast<uint8_t>(char_uuids[i] >> 8);
    char_decl[i][0] = CUS_CHAR_PROPERTIES;
    char_decl[i][1] = static_cast<uint8_t>(value);
    char_decl[i][2] = static_cast<uint8_t>(value >> 8);
    memcpy(&char_decl[i][3], char_uuid[i], 16);
    memset(char_value[i], 0, CUS_VALUE_LEN);
    char_value_len[i] = CUS_VALUE_LEN;
    memset(char_ccc[i], 0, 2);
    cus_attrs[1 + 3 * i] = {kUuidChar, char_decl[i], &char_decl_len, 19, 0, ATTS_PERMIT_READ};
    cus_attrs[2 + 3 * i] = {char_uuid[i],  char_value[i],     &char_value_len[i],
                            CUS_VALUE_LEN, ATTS_SET_UUID_128, ATTS_PERMIT_READ | ATTS_PERMIT_WRITE};
    cus_attrs[3 + 3 * i] = {kUuidCcc, char_ccc[i],  &ccc_len,
                            2,        ATTS_SET_CCC, ATTS_PERMIT_READ | ATTS_PERMIT_WRITE};
    bleModuleCccSet[BLE_MODULE_CUS_CCC_FIRST + i] = {ccc, 1, 0};
    cus_chars[i].uuid = char_uuids[i];
    cus_chars[i].handle = value;
  }
  cus_group = {nullptr, cus_attrs,     nullptr,
               nullptr, CUS_START_HDL, static_cast<uint16_t>(CUS_START_HDL + 3 * count)};
  AttsAddGroup(&cus_group);
  group_added = true;
  return 0;
}

void uhal_cus_main_init(wsfHandlerId_t) {
  for (uint8_t i = 0; i < BLE_MODULE_CUS_CHAR_MAX; ++i) {
    cus_chars[i].notify_enabled = false;
    cus_chars[i].conn_id = DM_CONN_ID_NONE;
    cus_chars[i].index = i;
  }
}

// A connection opened: the entry follows it, its notifications as the CCC
// already has them.
void uhal_cus_main_start(dmConnId_t connId, uint8_t index) {
  if (index >= BLE_MODULE_CUS_CHAR_MAX || cus_chars[index].handle == 0) {
    return;
  }
  cus_chars[index].conn_id = connId;
  cus_chars[index].notify_enabled =
      (AttsCccGet(connId, static_cast<uint8_t>(BLE_MODULE_CUS_CCC_FIRST + index)) & 1) != 0;
}

void uhal_cus_main_stop(dmConnId_t connId) {
  for (notify_char_t &c : cus_chars) {
    if (c.conn_id == connId) {
      c.notify_enabled = false;
    }
  }
}

// The connection's state goes; what the service registered stays for the
// next connection.
void uhal_cus_main_conn_close(dmConnId_t) {
  for (notify_char_t &c : cus_chars) {
    c.notify_enabled = false;
    c.conn_id = DM_CONN_ID_NONE;
  }
}

void uhal_cus_main_proc_msg(wsfMsgHdr_t *pMsg) {
  if (pMsg != nullptr) {
    APOLLO3_TRACE("(CUS) event %u", static_cast<unsigned>(pMsg->event));
  }
}

void uhal_cus_control_notify(dmConnId_t connId, uint8_t index, uint16_t value) {
  if (index >= BLE_MODULE_CUS_CHAR_MAX || cus_chars[index].handle == 0) {
    return;
  }
  notify_char_t &c = cus_chars[index];
  bool const enable = (value & 1) != 0;
  c.notify_enabled = enable;
  c.conn_id = enable ? connId : DM_CONN_ID_NONE;
  if (CUS_NOTIFY_HANDLER == nullptr || !uhal_is_connected) {
    return;
  }
  notify_call call = {c.uuid, enable ? char_value[index] : nullptr};
  ble_call_hook_awake(call_notify_hook, &call);
}
