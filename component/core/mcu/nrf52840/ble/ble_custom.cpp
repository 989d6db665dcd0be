// The custom GATT service mode: see ble_custom.h.
#include "ble_custom.h"

#include <string.h>

#include "app_error.h"
#include "ble_advertising.h"
#include "ble_srv_common.h"
#include "bsp.h"
#include "nrf_ble_qwr.h"
#include "nrf_gpio.h"
#include "nrf_log.h"
#include "nrf_sdh.h"
#include "nrf_sdh_ble.h"
#include "uhal_ble_nrf.h"

#define CUS_OBSERVER_PRIO 2
#define CUS_APP_OBSERVER_PRIO 3

extern nrf_ble_qwr_t m_qwr;

uint16_t custom_service_uuid = CUS_SERVICE_UUID_NONE;
cus_characteristic_attribute_t cus_char_att[CUS_CHAR_COUNT];
ble_cus_t m_cus = {nullptr, 0, {}, BLE_CONN_HANDLE_INVALID, 0};
uint16_t m_cus_conn_handle = BLE_CONN_HANDLE_INVALID;
namespace {
app_timer_t notification_timer;
}  // namespace
app_timer_id_t const m_notification_timer_id = &notification_timer;
cus_notify_handler_t CUS_NOTIFY_HANDLER = nullptr;
cus_send_handler_t CUS_SEND_HANDLER = nullptr;
// No advertising set until the service is on the stack.
ble_advertising_t m_cus_advertising = {.adv_handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET};
NRF_SDH_BLE_OBSERVER(m_cus_advertising_observer, BLE_ADV_BLE_OBSERVER_PRIO,
                     ble_advertising_on_ble_evt, &m_cus_advertising);

namespace {

constexpr int kNone = -1;

// The service a program asked for: kept until the stack enters the mode
// (a stack started anew has an empty attribute table).
uint8_t wanted_base[16];
uint16_t wanted_chars[CUS_CHAR_COUNT];
uint8_t wanted_count;  // 0: none asked for
bool wanted_on_stack;  // what was asked for is the service on the stack
uint8_t cus_values[CUS_CHAR_COUNT][CUS_VALUE_LEN];  // answered to reads, notified
ble_uuid_t cus_adv_uuid;                            // the service's 128-bit UUID in the advertising

constexpr uint32_t kCusAdvInterval = 40;  // 25 ms; every start takes the settings'

void cus_evt_noop(ble_cus_t *, ble_cus_evt_t *) {}
void notification_timeout(void *) {}

bool service_absent() { return custom_service_uuid == CUS_SERVICE_UUID_NONE; }

int char_of_uuid(uint16_t char_uuid) {
  for (unsigned i = 0; i < CUS_CHAR_COUNT; ++i) {
    if (cus_char_att[i].char_uuid == char_uuid) return static_cast<int>(i);
  }
  return kNone;
}

// Which characteristic owns `handle` (its value, user description, CCCD or
// SCCD).
int char_of_handle(ble_cus_t const *p_cus, uint16_t handle) {
  if (handle == BLE_GATT_HANDLE_INVALID) return kNone;
  for (unsigned i = 0; i < CUS_CHAR_COUNT; ++i) {
    ble_gatts_char_handles_t const &h = p_cus->custom_value_handles[i];
    if (handle == h.value_handle || handle == h.user_desc_handle || handle == h.cccd_handle ||
        handle == h.sccd_handle) {
      return static_cast<int>(i);
    }
  }
  return kNone;
}

void send_event(ble_cus_t *p_cus, ble_cus_evt_type_t type) {
  if (p_cus->evt_handler == nullptr) return;
  ble_cus_evt_t evt;
  evt.evt_type = type;
  p_cus->evt_handler(p_cus, &evt);
}

void on_write(ble_cus_t *p_cus, ble_gatts_evt_write_t const *p_evt_write) {
  NRF_LOG_INFO("Write Event");
  const int i = char_of_handle(p_cus, p_evt_write->handle);
  if (i == kNone) return;
  ble_gatts_char_handles_t const &h = p_cus->custom_value_handles[i];
  cus_characteristic_attribute_t &att = cus_char_att[i];

  if (p_evt_write->handle == h.user_desc_handle) {
    NRF_LOG_INFO("user_desc_handle");
  } else if (p_evt_write->handle == h.sccd_handle) {
    NRF_LOG_INFO("sccd_handle");
  } else if (p_evt_write->handle == h.value_handle) {
    if (p_evt_write->len >= 1 && p_evt_write->data[0] == 1) {
      NRF_LOG_INFO("Get data 1 : %02X", p_evt_write->data[0]);
      nrf_gpio_pin_clear(CUS_OUTPUT_PIN);
    } else if (p_evt_write->len >= 1 && p_evt_write->data[0] == 0) {
      NRF_LOG_INFO("Get data 2 : %02X", p_evt_write->data[0]);
      nrf_gpio_pin_set(CUS_OUTPUT_PIN);
    } else {
      NRF_LOG_INFO("p_evt_write->len  : %d", static_cast<int>(p_evt_write->len));
      NRF_LOG_HEXDUMP_INFO(p_evt_write->data, p_evt_write->len);
    }
  } else if (p_evt_write->handle == h.cccd_handle && p_evt_write->len == 2 &&
             p_cus->evt_handler != nullptr) {
    if (ble_srv_is_notification_enabled(p_evt_write->data)) {
      att.is_notify_enable = 1;
      ble_cus_custom_value_update(p_cus, att.notify_data, att.char_uuid);
      send_event(p_cus, BLE_CUS_EVT_NOTIFICATION_ENABLED);
    } else {
      att.is_notify_enable = 0;
      if (CUS_NOTIFY_HANDLER != nullptr) {
        NRF_LOG_INFO("CUS_NOTIFY_HANDLER is Disabled");
        CUS_NOTIFY_HANDLER(att.char_uuid, nullptr);
      }
      send_event(p_cus, BLE_CUS_EVT_NOTIFICATION_DISABLED);
    }
  }
}

void on_rw_authorize(ble_cus_t *p_cus, ble_evt_t const *p_ble_evt) {
  NRF_LOG_INFO("BLE_GATTS_EVT_RW_AUTHORIZE_REQUEST");
  ble_gatts_evt_rw_authorize_request_t const &req =
      p_ble_evt->evt.gatts_evt.params.authorize_request;
  const uint16_t conn_handle = p_ble_evt->evt.gatts_evt.conn_handle;
  ble_gatts_rw_authorize_reply_params_t auth_reply;
  memset(&auth_reply, 0, sizeof(auth_reply));

  if (req.type == BLE_GATTS_AUTHORIZE_TYPE_READ) {
    const int i = char_of_handle(p_cus, req.request.read.handle);
    if (i == kNone || req.request.read.handle != p_cus->custom_value_handles[i].value_handle) {
      return;
    }
    cus_characteristic_attribute_t const &att = cus_char_att[i];
    const int shown = att.send_data != nullptr ? att.fixedlen : 0;
    NRF_LOG_INFO("p_evt_write-uuid :%X", static_cast<unsigned>(req.request.read.uuid.uuid));
    NRF_LOG_INFO("send_data:%.*s", shown, reinterpret_cast<const char *>(att.send_data));
    auth_reply.type = BLE_GATTS_AUTHORIZE_TYPE_READ;
    auth_reply.params.read.gatt_status = BLE_GATT_STATUS_SUCCESS;
    auth_reply.params.read.update = 1;
    auth_reply.params.read.offset = 0;
    auth_reply.params.read.len = static_cast<uint16_t>(shown);
    auth_reply.params.read.p_data = att.send_data;
    ret_code_t err_code = sd_ble_gatts_rw_authorize_reply(conn_handle, &auth_reply);
    NRF_LOG_INFO("err_code = %d", static_cast<int>(err_code));
    APP_ERROR_CHECK(err_code);
    if (CUS_SEND_HANDLER != nullptr) {
      CUS_SEND_HANDLER(att.char_uuid, att.send_data);
    }
  } else if (req.type == BLE_GATTS_AUTHORIZE_TYPE_WRITE) {
    const uint8_t op = req.request.write.op;
    if (op == BLE_GATTS_OP_PREP_WRITE_REQ || op == BLE_GATTS_OP_EXEC_WRITE_REQ_CANCEL ||
        op == BLE_GATTS_OP_EXEC_WRITE_REQ_NOW) {
      NRF_LOG_INFO("req.type == BLE_GATTS_AUTHORIZE_TYPE_WRITE");
      NRF_LOG_INFO("req.type == else");
      auth_reply.type = BLE_GATTS_AUTHORIZE_TYPE_WRITE;
      auth_reply.params.write.gatt_status = BLE_GATT_STATUS_SUCCESS;
      ret_code_t err_code = sd_ble_gatts_rw_authorize_reply(conn_handle, &auth_reply);
      NRF_LOG_INFO("err_code = %d", static_cast<int>(err_code));
      APP_ERROR_CHECK(err_code);
    }
  }
}

}  // namespace

uint32_t ble_cus_custom_value_update(ble_cus_t *p_cus, uint8_t *custom_value, uint16_t char_uuid) {
  if (p_cus == nullptr) {
    return NRF_ERROR_NULL;
  }
  const int i = char_of_uuid(char_uuid);
  if (i == kNone) {
    return NRF_ERROR_NOT_FOUND;
  }
  if (custom_value == nullptr) {
    return NRF_ERROR_NULL;
  }
  cus_characteristic_attribute_t const &att = cus_char_att[i];
  const uint16_t value_handle = p_cus->custom_value_handles[i].value_handle;

  ble_gatts_value_t gatts_value;
  memset(&gatts_value, 0, sizeof(gatts_value));
  gatts_value.len = att.fixedlen;
  gatts_value.offset = 0;
  gatts_value.p_value = custom_value;
  uint32_t err_code = sd_ble_gatts_value_set(p_cus->conn_handle, value_handle, &gatts_value);
  NRF_LOG_INFO("gatts_value.p_value = %.*s", static_cast<int>(gatts_value.len),
               reinterpret_cast<const char *>(gatts_value.p_value));
  if (err_code != NRF_SUCCESS) {
    return err_code;
  }
  if (p_cus->conn_handle == BLE_CONN_HANDLE_INVALID) {
    return NRF_ERROR_INVALID_STATE;
  }

  ble_gatts_hvx_params_t hvx_params;
  memset(&hvx_params, 0, sizeof(hvx_params));
  hvx_params.handle = value_handle;
  hvx_params.type = BLE_GATT_HVX_NOTIFICATION;
  hvx_params.offset = gatts_value.offset;
  hvx_params.p_len = &gatts_value.len;
  hvx_params.p_data = gatts_value.p_value;
  err_code = sd_ble_gatts_hvx(p_cus->conn_handle, &hvx_params);
  NRF_LOG_INFO("hvx_params.p_data = %.*s", static_cast<int>(gatts_value.len),
               reinterpret_cast<const char *>(hvx_params.p_data));
  if (CUS_NOTIFY_HANDLER != nullptr) {
    NRF_LOG_INFO("CUS_NOTIFY_HANDLER");
    NRF_LOG_INFO("cus_char_att[cus_chars_now].char_uuid = %X",
                 static_cast<unsigned>(att.char_uuid));
    NRF_LOG_HEXDUMP_INFO(custom_value, att.fixedlen);
    NRF_LOG_INFO("is_notify_enable = %d", static_cast<int>(att.is_notify_enable));
    CUS_NOTIFY_HANDLER(att.char_uuid, custom_value);
  }
  return err_code;
}

void ble_cus_on_ble_evt(ble_evt_t const *p_ble_evt, void *p_context) {
  ble_cus_t *p_cus = static_cast<ble_cus_t *>(p_context);
  if (service_absent() || p_cus == nullptr || p_ble_evt == nullptr) {
    return;
  }
  switch (p_ble_evt->header.evt_id) {
    case BLE_GAP_EVT_CONNECTED:
      p_cus->conn_handle = p_ble_evt->evt.gap_evt.conn_handle;
      send_event(p_cus, BLE_CUS_EVT_CONNECTED);
      break;
    case BLE_GAP_EVT_DISCONNECTED:
      p_cus->conn_handle = BLE_CONN_HANDLE_INVALID;
      break;
    case BLE_GATTS_EVT_WRITE:
      on_write(p_cus, &p_ble_evt->evt.gatts_evt.params.write);
      break;
    case BLE_GATTS_EVT_RW_AUTHORIZE_REQUEST:
      on_rw_authorize(p_cus, p_ble_evt);
      break;
    default:
      break;
  }
}

void cus_ble_evt_handler(ble_evt_t const *p_ble_evt, void *) {
  if (service_absent() || p_ble_evt == nullptr) {
    return;
  }
  ret_code_t err_code;
  switch (p_ble_evt->header.evt_id) {
    case BLE_GAP_EVT_CONNECTED:
      NRF_LOG_INFO("CUS Connected.");
      err_code = bsp_indication_set(BSP_INDICATE_CONNECTED);
      APP_ERROR_CHECK(err_code);
      m_cus_conn_handle = p_ble_evt->evt.gap_evt.conn_handle;
      err_code = nrf_ble_qwr_conn_handle_assign(&m_qwr, m_cus_conn_handle);
      APP_ERROR_CHECK(err_code);
      uhal_is_advertising = false;
      break;

    case BLE_GAP_EVT_ADV_SET_TERMINATED:
      uhal_is_advertising = false;
      break;

    case BLE_GAP_EVT_DISCONNECTED:
      NRF_LOG_INFO("Disconnected.");
      app_timer_stop(m_notification_timer_id);
      NRF_LOG_INFO("%d: %s(): unlock:", __LINE__, __func__);
      break;

    case BLE_GAP_EVT_PHY_UPDATE_REQUEST: {
      NRF_LOG_INFO("PHY update request.");
      ble_gap_phys_t const phys = {BLE_GAP_PHY_2MBPS, BLE_GAP_PHY_2MBPS};
      err_code = sd_ble_gap_phy_update(p_ble_evt->evt.gap_evt.conn_handle, &phys);
      if (err_code != NRF_ERROR_BUSY) {
        APP_ERROR_CHECK(err_code);
      }
      break;
    }

    case BLE_GATTC_EVT_TIMEOUT:
      NRF_LOG_INFO("GATT Client Timeout.");
      err_code = sd_ble_gap_disconnect(p_ble_evt->evt.gattc_evt.conn_handle,
                                       BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION);
      APP_ERROR_CHECK(err_code);
      break;

    case BLE_GATTS_EVT_TIMEOUT:
      NRF_LOG_INFO("GATT Server Timeout.");
      err_code = sd_ble_gap_disconnect(p_ble_evt->evt.gatts_evt.conn_handle,
                                       BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION);
      APP_ERROR_CHECK(err_code);
      break;

    default:
      break;
  }
}

NRF_SDH_BLE_OBSERVER(m_cus_observer, CUS_OBSERVER_PRIO, ble_cus_on_ble_evt, &m_cus);
NRF_SDH_BLE_OBSERVER(m_cus_app_observer, CUS_APP_OBSERVER_PRIO, cus_ble_evt_handler, nullptr);

int32_t uhal_cus_service_init(uint8_t const base_uuid[16], uint16_t const *char_uuids,
                              uint8_t count) {
  if (base_uuid == nullptr || char_uuids == nullptr || count == 0 || count > CUS_CHAR_COUNT) {
    return -UDRV_WRONG_ARG;
  }
  // The service's 16-bit UUID is the base's bytes 12 and 13: the value
  // that marks "no service" cannot be one.
  const uint16_t service = static_cast<uint16_t>(base_uuid[12] | base_uuid[13] << 8);
  if (service == CUS_SERVICE_UUID_NONE) {
    return -UDRV_WRONG_ARG;
  }
  // The phone's view of the attribute table must not change under it.
  if (!service_absent() && m_cus.conn_handle != BLE_CONN_HANDLE_INVALID) {
    return -UDRV_BUSY;
  }
  memcpy(wanted_base, base_uuid, sizeof(wanted_base));
  memset(wanted_chars, 0, sizeof(wanted_chars));
  memcpy(wanted_chars, char_uuids, count * sizeof(char_uuids[0]));
  wanted_count = count;
  wanted_on_stack = false;
  return 0;
}

uint8_t uhal_cus_service_state(void) {
  if (wanted_count == 0) return UHAL_CUS_SERVICE_NONE;
  return wanted_on_stack && !service_absent() ? UHAL_CUS_SERVICE_ON_STACK
                                              : UHAL_CUS_SERVICE_RECORDED;
}

uint32_t uhal_ble_cus_service_register(void) {
  wanted_on_stack = false;
  custom_service_uuid = CUS_SERVICE_UUID_NONE;
  if (wanted_count == 0) {
    return NRF_ERROR_INVALID_STATE;
  }
  ble_uuid128_t base;
  memcpy(base.uuid128, wanted_base, sizeof(base.uuid128));
  uint8_t uuid_type = BLE_UUID_TYPE_UNKNOWN;
  uint32_t err_code = sd_ble_uuid_vs_add(&base, &uuid_type);
  if (err_code != NRF_SUCCESS) {
    return err_code;
  }
  const uint16_t service = static_cast<uint16_t>(wanted_base[12] | wanted_base[13] << 8);
  memset(&m_cus, 0, sizeof(m_cus));
  m_cus.evt_handler = cus_evt_noop;
  m_cus.conn_handle = BLE_CONN_HANDLE_INVALID;
  m_cus.uuid_type = uuid_type;
  ble_uuid_t uuid = {service, uuid_type};
  err_code = sd_ble_gatts_service_add(BLE_GATTS_SRVC_TYPE_PRIMARY, &uuid, &m_cus.service_handle);
  if (err_code != NRF_SUCCESS) {
    return err_code;
  }

  memset(cus_char_att, 0, sizeof(cus_char_att));
  memset(cus_values, 0, sizeof(cus_values));
  for (uint8_t i = 0; i < wanted_count; ++i) {
    cus_characteristic_attribute_t &att = cus_char_att[i];
    att.char_uuid = wanted_chars[i];
    att.fixedlen = CUS_VALUE_LEN;
    att.send_data = cus_values[i];
    att.notify_data = cus_values[i];
    att.properties = 0x1A;  // read, write, notify
    att.permissions = 0;    // open

    ble_add_char_params_t p;
    memset(&p, 0, sizeof(p));
    p.uuid = wanted_chars[i];
    p.uuid_type = uuid_type;
    p.max_len = CUS_VALUE_LEN;
    p.is_var_len = true;  // writes of 1 to 20 bytes
    p.init_len = CUS_VALUE_LEN;
    p.p_init_value = cus_values[i];
    p.char_props.read = 1;
    p.char_props.write = 1;
    p.char_props.notify = 1;
    p.is_defered_read = true;  // answered with the characteristic's value
    p.read_access = SEC_OPEN;
    p.write_access = SEC_OPEN;
    p.cccd_write_access = SEC_OPEN;
    err_code = characteristic_add(m_cus.service_handle, &p, &m_cus.custom_value_handles[i]);
    if (err_code != NRF_SUCCESS) {
      return err_code;
    }
  }

  if (!m_qwr.initialized) {
    nrf_ble_qwr_init_t qwr_init;
    memset(&qwr_init, 0, sizeof(qwr_init));
    err_code = nrf_ble_qwr_init(&m_qwr, &qwr_init);
    if (err_code != NRF_SUCCESS) {
      return err_code;
    }
  }
  nrf_gpio_cfg_output(CUS_OUTPUT_PIN);
  nrf_gpio_pin_set(CUS_OUTPUT_PIN);
  err_code =
      app_timer_create(&m_notification_timer_id, APP_TIMER_MODE_REPEATED, notification_timeout);
  if (err_code != NRF_SUCCESS) {
    return err_code;
  }

  // Flags and the service's UUID; the name in the scan response.
  cus_adv_uuid = uuid;
  ble_advertising_init_t init;
  memset(&init, 0, sizeof(init));
  init.advdata.flags = BLE_GAP_ADV_FLAGS_LE_ONLY_GENERAL_DISC_MODE;
  init.advdata.uuids_complete.uuid_cnt = 1;
  init.advdata.uuids_complete.p_uuids = &cus_adv_uuid;
  init.srdata.name_type = BLE_ADVDATA_FULL_NAME;
  init.config.ble_adv_fast_enabled = true;
  init.config.ble_adv_fast_interval = kCusAdvInterval;
  init.config.ble_adv_fast_timeout = 0;
  memset(&m_cus_advertising, 0, sizeof(m_cus_advertising));
  m_cus_advertising.adv_handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
  err_code = ble_advertising_init(&m_cus_advertising, &init);
  if (err_code != NRF_SUCCESS) {
    return err_code;
  }
  ble_advertising_conn_cfg_tag_set(&m_cus_advertising, APP_BLE_CONN_CFG_TAG);

  custom_service_uuid = service;
  wanted_on_stack = true;
  return NRF_SUCCESS;
}

uint32_t uhal_ble_cus_advertising_start(uint8_t time_out) {
  if (uhal_cus_service_state() != UHAL_CUS_SERVICE_ON_STACK) {
    return NRF_ERROR_INVALID_STATE;
  }
  // A start while the set runs finds it busy: stop it first.
  (void)sd_ble_gap_adv_stop(m_cus_advertising.adv_handle);
  (void)sd_ble_gap_tx_power_set(BLE_GAP_TX_POWER_ROLE_ADV, m_cus_advertising.adv_handle,
                                ble_parameter.txpower);
  ble_adv_modes_config_t config;
  memset(&config, 0, sizeof(config));
  if (ble_parameter.adv_mode == BLE_ADV_MODE_SLOW) {
    config.ble_adv_slow_enabled = true;
    config.ble_adv_slow_interval = ble_parameter.adv_interval;
    config.ble_adv_slow_timeout = time_out * 100u;
  } else {
    config.ble_adv_fast_enabled = true;
    config.ble_adv_fast_interval = ble_parameter.adv_interval;
    config.ble_adv_fast_timeout = time_out * 100u;
  }
  ble_parameter.adv_timeout = time_out;
  ble_advertising_modes_config_set(&m_cus_advertising, &config);
  if (m_cus.conn_handle != BLE_CONN_HANDLE_INVALID) {
    return NRF_SUCCESS;  // the phone is connected: nothing to advertise
  }
  const ble_adv_mode_t mode =
      ble_parameter.adv_mode == BLE_ADV_MODE_SLOW ? BLE_ADV_MODE_SLOW : BLE_ADV_MODE_FAST;
  uint32_t err_code = ble_advertising_start(&m_cus_advertising, mode);
  NRF_LOG_INFO("(CUS) Start Advertising. : %x", static_cast<unsigned>(err_code));
  return err_code;
}

uint32_t uhal_ble_cus_advertising_stop(void) {
  return sd_ble_gap_adv_stop(m_cus_advertising.adv_handle);
}
