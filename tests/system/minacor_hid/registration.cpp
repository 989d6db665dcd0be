// The registration steps of a build with the HID keyboard or the custom
// service mode: see registration.h.
#include "registration.h"

#include <array>
#include <cstring>

#include "app_error.h"
#include "app_timer.h"
#include "ble_srv_common.h"
#include "nrf_ble_qwr.h"
#include "nrf_gpio.h"

namespace hidtest {
namespace {

std::vector<ble_cus_evt_type_t>& events() {
  static std::vector<ble_cus_evt_type_t> e;
  return e;
}

struct CharStore {
  std::vector<uint8_t> send_data, notify_data;
};
std::array<CharStore, CUS_CHAR_COUNT>& stores() {
  static std::array<CharStore, CUS_CHAR_COUNT> s;
  return s;
}

void cus_evt_handler(ble_cus_t*, ble_cus_evt_t* p_evt) { events().push_back(p_evt->evt_type); }

void notification_timeout(void*) {}

BLE_ADVERTISING_DEF(m_custom_advertising);

}  // namespace

// The port's own set-up, as the stack's entry into the mode runs it.
void register_hid() { APP_ERROR_CHECK(uhal_ble_hid_service_init()); }

bool type_keys(const uint8_t* keys, uint8_t len) { return uhal_ble_hid_type_keys(keys, len); }

void register_custom(uint16_t service_uuid, const std::vector<CustomChar>& chars) {
  m_cus.evt_handler = cus_evt_handler;
  m_cus.conn_handle = BLE_CONN_HANDLE_INVALID;
  m_cus.uuid_type = BLE_UUID_TYPE_BLE;
  ble_uuid_t uuid = {service_uuid, BLE_UUID_TYPE_BLE};
  APP_ERROR_CHECK(
      sd_ble_gatts_service_add(BLE_GATTS_SRVC_TYPE_PRIMARY, &uuid, &m_cus.service_handle));

  for (size_t i = 0; i < chars.size() && i < CUS_CHAR_COUNT; ++i) {
    CharStore& store = stores()[i];
    store.send_data = chars[i].send_data;
    store.notify_data = chars[i].notify_data;
    store.notify_data.resize(store.send_data.size());
    cus_characteristic_attribute_t& att = cus_char_att[i];
    att.char_uuid = chars[i].uuid;
    att.fixedlen = static_cast<uint8_t>(store.send_data.size());
    att.send_data = store.send_data.data();
    att.notify_data = store.notify_data.data();
    att.is_notify_enable = 0;

    ble_add_char_params_t p;
    std::memset(&p, 0, sizeof(p));
    p.uuid = chars[i].uuid;
    p.uuid_type = BLE_UUID_TYPE_BLE;
    p.max_len = att.fixedlen;
    p.is_var_len = true;  // writes of 1 to fixedlen bytes
    p.init_len = att.fixedlen;
    p.p_init_value = store.send_data.data();
    p.char_props.read = 1;
    p.char_props.write = 1;
    p.char_props.notify = 1;
    p.is_defered_read = true;
    p.is_defered_write = chars[i].queued_writes;
    p.read_access = SEC_OPEN;
    p.write_access = SEC_OPEN;
    p.cccd_write_access = SEC_OPEN;
    att.properties = 0x1A;  // read, write, notify
    att.permissions = SEC_OPEN;
    APP_ERROR_CHECK(characteristic_add(m_cus.service_handle, &p, &m_cus.custom_value_handles[i]));
  }

  nrf_ble_qwr_init_t qwr_init;
  std::memset(&qwr_init, 0, sizeof(qwr_init));
  if (!m_qwr.initialized) APP_ERROR_CHECK(nrf_ble_qwr_init(&m_qwr, &qwr_init));
  nrf_gpio_cfg_output(CUS_OUTPUT_PIN);
  nrf_gpio_pin_set(CUS_OUTPUT_PIN);
  APP_ERROR_CHECK(
      app_timer_create(&m_notification_timer_id, APP_TIMER_MODE_REPEATED, notification_timeout));
  custom_service_uuid = service_uuid;
}

uint32_t start_custom_advertising() {
  ble_advertising_init_t init;
  std::memset(&init, 0, sizeof(init));
  init.advdata.name_type = BLE_ADVDATA_FULL_NAME;
  init.advdata.flags = BLE_GAP_ADV_FLAGS_LE_ONLY_GENERAL_DISC_MODE;
  init.config.ble_adv_fast_enabled = true;
  init.config.ble_adv_fast_interval = 40;
  init.config.ble_adv_fast_timeout = 0;
  std::memset(&m_custom_advertising, 0, sizeof(m_custom_advertising));
  uint32_t err = ble_advertising_init(&m_custom_advertising, &init);
  if (err != NRF_SUCCESS) return err;
  ble_advertising_conn_cfg_tag_set(&m_custom_advertising, APP_BLE_CONN_CFG_TAG);
  return ble_advertising_start(&m_custom_advertising, BLE_ADV_MODE_FAST);
}

const std::vector<ble_cus_evt_type_t>& custom_events() { return events(); }

void reset_registration() {
  events().clear();
  for (CharStore& s : stores()) s = CharStore{};
  std::memset(&buffer_list, 0, sizeof(buffer_list));
  m_hid_conn_handle = BLE_CONN_HANDLE_INVALID;
  m_in_boot_mode = false;
  m_caps_on = false;
  erase_bonds = false;
  std::memset(&m_hid_advertising, 0, sizeof(m_hid_advertising));
  m_hid_advertising.adv_handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
  std::memset(&hid_adv_init, 0, sizeof(hid_adv_init));
  std::memset(&m_hids, 0, sizeof(m_hids));
  std::memset(&m_qwr, 0, sizeof(m_qwr));
  custom_service_uuid = CUS_SERVICE_UUID_NONE;
  std::memset(cus_char_att, 0, sizeof(cus_char_att));
  std::memset(&m_cus, 0, sizeof(m_cus));
  m_cus.conn_handle = BLE_CONN_HANDLE_INVALID;
  m_cus_conn_handle = BLE_CONN_HANDLE_INVALID;
  std::memset(&m_custom_advertising, 0, sizeof(m_custom_advertising));
  CUS_NOTIFY_HANDLER = nullptr;
  CUS_SEND_HANDLER = nullptr;
  uhal_ble_hid_set_led_handler(nullptr);
}

}  // namespace hidtest
