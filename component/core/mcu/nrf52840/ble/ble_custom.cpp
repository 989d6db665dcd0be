// The custom GATT service mode: see ble_custom.h.
#include "ble_custom.h"

#include <string.h>

#include "app_error.h"
#include "ble_srv_common.h"
#include "bsp.h"
#include "nrf_ble_qwr.h"
#include "nrf_gpio.h"
#include "nrf_log.h"
#include "nrf_sdh_ble.h"

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

namespace {

constexpr int kNone = -1;

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
