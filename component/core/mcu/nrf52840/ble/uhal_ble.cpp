// The BLE layer of the nRF52840 images on the protocol stack and the SDK's
// BLE modules: stack start, GAP and GATT settings, connection parameters,
// pairing through the peer manager, the serial service and the buttonless
// DFU service, advertising of the serial and beacon modes, the BLE serial
// port, the stack's event handlers and the scan-report hook.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "app_timer.h"
#include "ble_advdata.h"
#include "ble_advertising.h"
#include "ble_conn_params.h"
#include "ble_custom.h"
#include "ble_db_discovery.h"
#include "ble_dfu.h"
#include "ble_hid.h"
#include "ble_nus.h"
#include "ble_nus_c.h"
#include "fund_text.h"
#include "nrf52840_port.h"
#include "nrf_ble_gatt.h"
#include "nrf_ble_scan.h"
#include "nrf_delay.h"
#include "nrf_log.h"
#include "nrf_queue.h"
#include "nrf_sdh.h"
#include "nrf_sdh_ble.h"
#include "peer_manager.h"
#include "peer_manager_handler.h"
#include "udrv_powersave.h"
#include "uhal_ble_nrf.h"

uhal_ble_parameter ble_parameter = {0,  {0}, DRV_BLE_ADV_MODE_FAST,        480, DRV_BLE_UART_MODE,
                                    30, {0}, DRV_BLE_PERMISSION_NO_PAIRING};
uint16_t m_conn_handle = BLE_CONN_HANDLE_INVALID;
bool uhal_is_advertising;
bool uhal_is_scanning;
uint8_t always_advertise;
ble_central_cfg_t uhal_g_ble_cfg_t;
uint8_t g_ble_current_mode;
ble_connect_handler_t CONNECT_HANDLER;
ble_disconnect_handler_t DISCONNECT_HANDLER;
ble_scan_data_handler_t SCAN_DATA_HANDLER;

// iBeacon frame: 02 15, the UUID, major, minor, measured power.
uint8_t m_beacon_info[23] = {0x02, 0x15, 0x01, 0x12, 0x23, 0x34, 0x45, 0x56, 0x67, 0x78, 0x89, 0x9A,
                             0xAB, 0xBC, 0xCD, 0xDE, 0xEF, 0xF0, 0x01, 0x02, 0x03, 0x04, 0xC3};
uint8_t m_beacon_info_len = sizeof m_beacon_info;

namespace {

constexpr uint8_t kBleObserverPrio = APP_BLE_OBSERVER_PRIO;
constexpr uint16_t kAttMtu = 247;
constexpr uint32_t kMinConnInterval = 16;  // 20 ms
constexpr uint32_t kMaxConnInterval = 60;  // 75 ms
constexpr uint32_t kSlaveLatency = 0;
constexpr uint32_t kConnSupTimeout = 400;   // 4 s
constexpr uint32_t kFastAdvInterval = 480;  // 300 ms
constexpr uint32_t kFastAdvTimeout = 3000;  // 30 s
constexpr uint8_t kMaxAdvTime = 180;
constexpr uint32_t kBeaconMinInterval = 100;  // 62.5 ms
constexpr uint16_t kBeaconCompanyId = 0x00FF;
// A notification the stack does not take is offered again for at most the
// serial layer's write time.
constexpr uint32_t kWriteRetryTicks = APP_TIMER_TICKS(10000);

NRF_BLE_GATT_DEF(m_gatt);
BLE_ADVERTISING_DEF(m_advertising);
BLE_NUS_DEF(m_nus, 1);
BLE_DB_DISCOVERY_DEF(m_db_disc);
BLE_NUS_C_DEF(m_ble_nus_c);
NRF_BLE_SCAN_DEF(m_scan);
NRF_QUEUE_DEF(uint8_t, ble_rxq, 256, NRF_QUEUE_MODE_NO_OVERFLOW);

udrv_system_event_t qiv_ble_event = {UDRV_SYS_EVT_OP_SERIAL_BLE, nullptr};

// Notification payload of the link: its ATT MTU less 3 (20 until the peer
// exchanges a larger one).
uint16_t m_ble_nus_max_data_len = BLE_GATT_ATT_MTU_DEFAULT - 3;

// Beacon advertising set.
uint8_t m_beacon_adv_handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
uint8_t m_beacon_enc_advdata[BLE_GAP_ADV_SET_DATA_SIZE_MAX];
ble_gap_adv_data_t m_beacon_adv_data = {{m_beacon_enc_advdata, BLE_GAP_ADV_SET_DATA_SIZE_MAX},
                                        {nullptr, 0}};
ble_gap_adv_params_t m_beacon_adv_params;

ble_uuid_t m_adv_uuids[1];
int8_t m_last_scan_rssi;
bool m_scan_rssi_known;  // a report was handled since the scan started

// The scan parameters of uhal_scan_init; a started scan takes the interval
// and window set by uhal_ble_scan_set_interval.
ble_gap_scan_params_t m_scan_params;
uint16_t m_scan_interval = 160;
uint16_t m_scan_window = 160;

// Texts for the USB port from the event interrupt, written by the main loop.
char usb_texts[256];
volatile uint32_t usb_texts_len;

void security_params(ble_gap_sec_params_t *p);
uint32_t static_passkey_apply(void);

bool is_mode(drv_ble_service_mode mode) { return ble_parameter.service_mode == mode; }
bool in_beacon_mode(void) { return is_mode(DRV_BLE_BEACON_MODE); }

uint8_t resume_time(void) { return always_advertise ? 0 : ble_parameter.adv_timeout; }

void usb_text(char const *fmt, ...) __attribute__((format(printf, 1, 2)));
void usb_text(char const *fmt, ...) {
  char line[96];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n <= 0) {
    return;
  }
  uint32_t len =
      static_cast<uint32_t>(n) < sizeof line ? static_cast<uint32_t>(n) : sizeof line - 1;
  uint8_t nested = 0;
  (void)sd_nvic_critical_region_enter(&nested);
  if (usb_texts_len + len <= sizeof usb_texts) {
    memcpy(usb_texts + usb_texts_len, line, len);
    usb_texts_len = usb_texts_len + len;
  }
  (void)sd_nvic_critical_region_exit(nested);
  udrv_system_event_produce(&qiv_ble_event);
}

// ------------------------------------------------------------- scanning --
void scan_evt_handler(scan_evt_t const *p_scan_evt) {
  switch (p_scan_evt->scan_evt_id) {
    case NRF_BLE_SCAN_EVT_SCAN_TIMEOUT:
      NRF_LOG_INFO("(BLE Scan) Scan timed out.");
      uhal_is_scanning = false;
      break;
    case NRF_BLE_SCAN_EVT_CONNECTING_ERROR:
      APP_ERROR_CHECK(p_scan_evt->params.connecting_err.err_code);
      break;
    default:
      break;
  }
}

// ------------------------------------------------- GATT and conn params --
void uhal_gatt_evt_handler(nrf_ble_gatt_t *p_gatt, nrf_ble_gatt_evt_t const *p_evt) {
  if (m_conn_handle == p_evt->conn_handle && p_evt->evt_id == NRF_BLE_GATT_EVT_ATT_MTU_UPDATED) {
    m_ble_nus_max_data_len = static_cast<uint16_t>(p_evt->params.att_mtu_effective - 3);
    NRF_LOG_INFO("Data len is set to 0x%X(%d)", m_ble_nus_max_data_len, m_ble_nus_max_data_len);
  }
  NRF_LOG_INFO("ATT MTU exchange completed. central 0x%x peripheral 0x%x",
               p_gatt->att_mtu_desired_central, p_gatt->att_mtu_desired_periph);
}

void on_conn_params_evt(ble_conn_params_evt_t *p_evt) {
  if (p_evt->evt_type == BLE_CONN_PARAMS_EVT_FAILED) {
    APP_ERROR_CHECK(sd_ble_gap_disconnect(m_conn_handle, BLE_HCI_CONN_INTERVAL_UNACCEPTABLE));
  }
}

void conn_params_error_handler(uint32_t nrf_error) {
  NRF_LOG_ERROR("%s: %d: %s(): nrf_error=%u", __FILE__, __LINE__, __func__,
                static_cast<unsigned>(nrf_error));
}

void db_disc_handler(ble_db_discovery_evt_t *p_evt) {
  ble_nus_c_on_db_disc_evt(&m_ble_nus_c, p_evt);
}

void ble_nus_c_evt_handler(ble_nus_c_t *p_ble_nus_c, ble_nus_c_evt_t const *p_evt) {
  switch (p_evt->evt_type) {
    case BLE_NUS_C_EVT_DISCOVERY_COMPLETE:
      NRF_LOG_INFO("(NUS) Discovery complete.");
      APP_ERROR_CHECK(ble_nus_c_handles_assign(p_ble_nus_c, p_evt->conn_handle, &p_evt->handles));
      break;
    case BLE_NUS_C_EVT_DISCONNECTED:
      NRF_LOG_INFO("(NUS) Disconnected.");
      break;
    default:
      break;
  }
}

void nus_error_handler(uint32_t nrf_error) {
  NRF_LOG_INFO("nus_error_handler:%u", static_cast<unsigned>(nrf_error));
  app_error_handler(nrf_error, __LINE__, reinterpret_cast<uint8_t const *>(__FILE__));
}

// ----------------------------------------------------------- peer manager --
void nus_pm_evt_handler(pm_evt_t const *p_evt) {
  pm_handler_on_pm_evt(p_evt);
  pm_handler_disconnect_on_sec_failure(p_evt);
  pm_handler_flash_clean(p_evt);
  switch (p_evt->evt_id) {
    case PM_EVT_CONN_SEC_CONFIG_REQ: {
      pm_conn_sec_config_t config = {true};
      pm_conn_sec_config_reply(p_evt->conn_handle, &config);
      break;
    }
    case PM_EVT_PEERS_DELETE_SUCCEEDED:
      (void)uhal_advertising_start(resume_time());
      break;
    default:
      break;
  }
}

// ----------------------------------------------------- serial service rx --
void uhal_nus_data_handler(ble_nus_evt_t *p_evt) {
  if (p_evt->type != BLE_NUS_EVT_RX_DATA) {
    return;
  }
  udrv_powersave_in_sleep = false;
  uint32_t len = p_evt->params.rx_data.length;
  uint32_t room = static_cast<uint32_t>(nrf_queue_available_get(&ble_rxq));
  if (room < len) {
    NRF_LOG_ERROR("%u available is less than %u received!", static_cast<unsigned>(room),
                  static_cast<unsigned>(len));
    len = room;
  }
  uint8_t const *data = p_evt->params.rx_data.p_data;
  for (uint32_t i = 0; i < len; i++) {
    serial_fallback_handler(SERIAL_BLE0, data[i]);
  }
  if (len != 0) {
    (void)nrf_queue_write(&ble_rxq, data, len);
  }
  udrv_system_event_produce(&qiv_ble_event);
}

// -------------------------------------------------------------- DFU ----
uint32_t disconnect_link(uint16_t conn_handle) {
  uint32_t err = sd_ble_gap_disconnect(conn_handle, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION);
  if (err != NRF_SUCCESS) {
    NRF_LOG_WARNING("Failed to disconnect connection. Connection handle: %d Error: %d", conn_handle,
                    static_cast<int>(err));
  } else {
    NRF_LOG_DEBUG("Disconnected connection handle %d", conn_handle);
  }
  return err;
}

void ble_dfu_evt_handler(ble_dfu_buttonless_evt_type_t event) {
  NRF_LOG_INFO("(DFU) ble_dfu_evt_handler");
  switch (event) {
    case BLE_DFU_EVT_BOOTLOADER_ENTER_PREPARE: {
      NRF_LOG_INFO("Device is preparing to enter bootloader mode.");
      ble_adv_modes_config_t config = {};
      config.ble_adv_on_disconnect_disabled = true;
      config.ble_adv_fast_enabled = true;
      config.ble_adv_fast_interval = kFastAdvInterval;
      config.ble_adv_fast_timeout = 30;
      ble_advertising_modes_config_set(&m_advertising, &config);
      int links = 0;
      if (m_conn_handle != BLE_CONN_HANDLE_INVALID &&
          disconnect_link(m_conn_handle) == NRF_SUCCESS) {
        links++;
      }
      NRF_LOG_INFO("Disconnected %d links.", links);
      break;
    }
    case BLE_DFU_EVT_BOOTLOADER_ENTER:
      NRF_LOG_INFO("Device will enter bootloader mode...");
      break;
    case BLE_DFU_EVT_BOOTLOADER_ENTER_FAILED:
      NRF_LOG_ERROR("Request to enter bootloader mode failed asynchroneously.");
      break;
    case BLE_DFU_EVT_RESPONSE_SEND_ERROR:
      NRF_LOG_ERROR("Request to send a response to client failed.");
      break;
    default:
      NRF_LOG_ERROR("Unknown event from ble_dfu_buttonless.");
      break;
  }
}

// ----------------------------------------------------------- advertising --
void ble_on_adv_evt(ble_adv_evt_t ble_adv_evt) {
  switch (ble_adv_evt) {
    case BLE_ADV_EVT_IDLE:
      if (is_mode(DRV_BLE_UART_MODE)) {
        nrf_queue_reset(&ble_rxq);
        uhal_is_advertising = false;
      }
      break;
    case BLE_ADV_EVT_FAST:
    case BLE_ADV_EVT_SLOW:
      // The module advertises (also when it starts again by itself after a
      // disconnection): a flash pause must resume it.
      if (is_mode(DRV_BLE_UART_MODE)) {
        uhal_is_advertising = true;
      }
      break;
    default:
      break;
  }
}

void adv_error_handler(uint32_t nrf_error) { APP_ERROR_CHECK(nrf_error); }

// The serial mode's advertising data: flags and the full name; the scan
// response names the serial service.
void serial_adv_data(ble_advdata_t *advdata, ble_advdata_t *srdata) {
  m_adv_uuids[0] = {BLE_UUID_NUS_SERVICE, m_nus.uuid_type};
  *advdata = {};
  advdata->name_type = BLE_ADVDATA_FULL_NAME;
  advdata->include_appearance = false;
  advdata->flags = BLE_GAP_ADV_FLAGS_LE_ONLY_GENERAL_DISC_MODE;
  *srdata = {};
  srdata->uuids_complete.uuid_cnt = 1;
  srdata->uuids_complete.p_uuids = m_adv_uuids;
}

void beacon_params(uint32_t interval, uint16_t duration) {
  memset(&m_beacon_adv_params, 0, sizeof m_beacon_adv_params);
  m_beacon_adv_params.properties.type = BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED;
  m_beacon_adv_params.p_peer_addr = nullptr;
  m_beacon_adv_params.filter_policy = BLE_GAP_ADV_FP_ANY;
  m_beacon_adv_params.interval = interval;
  m_beacon_adv_params.duration = duration;
}

// ------------------------------------------------------------ BLE events --
void ble_evt_handler(ble_evt_t const *p_ble_evt, void *) {
  uint32_t err_code = NRF_SUCCESS;
  uint16_t const conn = p_ble_evt->evt.gap_evt.conn_handle;
  // The scanner's reports and its timeout belong to no link: they carry no
  // handle, and taking it would lose the link that exists.
  bool const scanner_evt = p_ble_evt->header.evt_id == BLE_GAP_EVT_ADV_REPORT ||
                           (p_ble_evt->header.evt_id == BLE_GAP_EVT_TIMEOUT &&
                            p_ble_evt->evt.gap_evt.params.timeout.src == BLE_GAP_TIMEOUT_SRC_SCAN);
  if (!scanner_evt) {
    m_conn_handle = conn;
  }
  bool const serial = is_mode(DRV_BLE_UART_MODE);
  if (serial) {
    pm_handler_secure_on_connection(p_ble_evt);
    switch (p_ble_evt->header.evt_id) {
      case BLE_GAP_EVT_PASSKEY_DISPLAY: {
        char passkey[BLE_GAP_PASSKEY_LEN + 1];
        memcpy(passkey, p_ble_evt->evt.gap_evt.params.passkey_display.passkey, BLE_GAP_PASSKEY_LEN);
        passkey[BLE_GAP_PASSKEY_LEN] = 0;
        NRF_LOG_INFO("Passkey: %s", passkey);
        usb_text("Please input [%s] passcode to your smartphone apps.\r\n", passkey);
        break;
      }
      case BLE_GAP_EVT_AUTH_STATUS:
        if (p_ble_evt->evt.gap_evt.params.auth_status.auth_status == BLE_GAP_SEC_STATUS_SUCCESS) {
          usb_text("Pairing procedure completed with success.\r\n");
        } else {
          usb_text("Pairing procedure fail.\r\n");
        }
        break;
      default:
        break;
    }
  }
  if (!serial && !is_mode(DRV_BLE_BEACON_MODE)) {
    return;
  }
  switch (p_ble_evt->header.evt_id) {
    case BLE_EVT_USER_MEM_REQUEST:
      err_code = sd_ble_user_mem_reply(conn, nullptr);
      NRF_LOG_INFO("(NUS)BLE_EVT_USER_MEM_REQUEST err_code = %d", static_cast<int>(err_code));
      APP_ERROR_CHECK(err_code);
      break;
    case BLE_GAP_EVT_CONNECTED:
      NRF_LOG_INFO("(EVT) Connected.");
      nrf_queue_reset(&ble_rxq);
      uhal_is_advertising = false;
      m_ble_nus_max_data_len = BLE_GATT_ATT_MTU_DEFAULT - 3;
      usb_text("Connected.\r\n");
      if (g_ble_current_mode == 1) {
        ble_gap_addr_t const &peer = p_ble_evt->evt.gap_evt.params.connected.peer_addr;
        NRF_LOG_INFO("Connection 0x%x established, starting DB discovery.", conn);
        NRF_LOG_INFO("MAC is %02X-%02X-%02X-%02X-%02X-%02X", peer.addr[5], peer.addr[4],
                     peer.addr[3], peer.addr[2], peer.addr[1], peer.addr[0]);
        APP_ERROR_CHECK(ble_nus_c_handles_assign(&m_ble_nus_c, conn, nullptr));
        APP_ERROR_CHECK(ble_db_discovery_start(&m_db_disc, conn));
      }
      // The role-switch timer of work modes 1 and 2 is not part of these
      // images: nothing to stop.
      if (CONNECT_HANDLER != nullptr) {
        CONNECT_HANDLER();
      }
      break;
    case BLE_GAP_EVT_DISCONNECTED:
      NRF_LOG_INFO("(EVT) Disconnected.");
      nrf_queue_reset(&ble_rxq);
      m_conn_handle = BLE_CONN_HANDLE_INVALID;
      m_ble_nus_max_data_len = BLE_GATT_ATT_MTU_DEFAULT - 3;
      usb_text("Disconnected.\r\n");
      if (DISCONNECT_HANDLER != nullptr) {
        DISCONNECT_HANDLER();
      }
      break;
    case BLE_GAP_EVT_SEC_PARAMS_REQUEST:
      NRF_LOG_INFO("(NUS)BLE_GAP_EVT_SEC_PARAMS_REQUEST.");
      break;
    case BLE_GAP_EVT_TIMEOUT:
      NRF_LOG_INFO("BLE_GAP_EVT_TIMEOUT");
      break;
    case BLE_GAP_EVT_ADV_REPORT: {
      ble_gap_evt_adv_report_t const &r = p_ble_evt->evt.gap_evt.params.adv_report;
      qiv_ble_scan_adv(r.rssi, r.data.p_data, r.data.len, r.peer_addr.addr);
      break;
    }
    case BLE_GAP_EVT_PHY_UPDATE_REQUEST: {
      NRF_LOG_DEBUG("(NUS)PHY update request.");
      ble_gap_phys_t const phys = {BLE_GAP_PHY_2MBPS, BLE_GAP_PHY_2MBPS};
      APP_ERROR_CHECK(sd_ble_gap_phy_update(conn, &phys));
      break;
    }
    case BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST:
      NRF_LOG_DEBUG("(NUS)BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST.");
      APP_ERROR_CHECK(sd_ble_gap_data_length_update(conn, nullptr, nullptr));
      break;
    case BLE_GAP_EVT_ADV_SET_TERMINATED:
      nrf_queue_reset(&ble_rxq);
      uhal_is_advertising = false;
      if (always_advertise == 1 && serial) {
        APP_ERROR_CHECK(ble_advertising_start(&m_advertising,
                                              static_cast<ble_adv_mode_t>(ble_parameter.adv_mode)));
      }
      break;
    case BLE_GATTC_EVT_TIMEOUT:
      NRF_LOG_DEBUG("(NUS)BLE_GATTC_EVT_TIMEOUT.");
      APP_ERROR_CHECK(sd_ble_gap_disconnect(conn, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION));
      break;
    case BLE_GATTS_EVT_TIMEOUT:
      NRF_LOG_DEBUG("(NUS)BLE_GATTS_EVT_TIMEOUT.");
      APP_ERROR_CHECK(sd_ble_gap_disconnect(conn, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION));
      break;
    case BLE_GATTS_EVT_RW_AUTHORIZE_REQUEST: {
      NRF_LOG_INFO("(NUS)BLE_GATTS_EVT_RW_AUTHORIZE_REQUEST.");
      ble_gatts_evt_rw_authorize_request_t const &req =
          p_ble_evt->evt.gatts_evt.params.authorize_request;
      if (req.type == BLE_GATTS_AUTHORIZE_TYPE_WRITE &&
          (req.request.write.op == BLE_GATTS_OP_PREP_WRITE_REQ ||
           req.request.write.op == BLE_GATTS_OP_EXEC_WRITE_REQ_NOW ||
           req.request.write.op == BLE_GATTS_OP_EXEC_WRITE_REQ_CANCEL)) {
        ble_gatts_rw_authorize_reply_params_t auth_reply = {};
        auth_reply.type = BLE_GATTS_AUTHORIZE_TYPE_WRITE;
        auth_reply.params.write.gatt_status = BLE_GATT_STATUS_ATTERR_APP_BEGIN + 2;
        if (req.request.write.op == BLE_GATTS_OP_EXEC_WRITE_REQ_CANCEL) {
          NRF_LOG_INFO("(NUS)BLE_GATTS_OP_EXEC_WRITE_REQ_CANCEL.");
          auth_reply.params.write.gatt_status = BLE_GATT_STATUS_SUCCESS;
        }
        APP_ERROR_CHECK(sd_ble_gatts_rw_authorize_reply(conn, &auth_reply));
      }
      break;
    }
    case BLE_GATTS_EVT_SYS_ATTR_MISSING:
      NRF_LOG_DEBUG("(NUS)BLE_GATTS_EVT_SYS_ATTR_MISSING.");
      APP_ERROR_CHECK(sd_ble_gatts_sys_attr_set(conn, nullptr, 0, 0));
      break;
    default:
      break;
  }
}

NRF_SDH_BLE_OBSERVER(m_ble_observer, kBleObserverPrio, ble_evt_handler, nullptr);

// Flash work finished: advertising paused for it starts again.
void soc_evt_handler(uint32_t evt_id, void *) {
  if (evt_id != NRF_EVT_FLASH_OPERATION_SUCCESS && evt_id != NRF_EVT_FLASH_OPERATION_ERROR) {
    return;
  }
  if (uhal_is_advertising && g_ble_current_mode == 0) {
    (void)uhal_advertising_start(resume_time());
    NRF_LOG_INFO("                   (SOC) reStart Advertising...");
  }
}

NRF_SDH_SOC_OBSERVER(m_soc_observer, 0, soc_evt_handler, nullptr);

// -------------------------------------------------- BLE serial port ----
void ble_serial_init(SERIAL_PORT, uint32_t, SERIAL_WORD_LEN_E, SERIAL_STOP_BIT_E, SERIAL_PARITY_E,
                     SERIAL_WIRE_MODE_E) {}
void ble_serial_deinit(SERIAL_PORT) {}
int32_t ble_serial_write(SERIAL_PORT, uint8_t const *data, uint32_t length, uint32_t) {
  return uhal_nus_write(data, static_cast<uint16_t>(length));
}
int32_t ble_serial_read(SERIAL_PORT, uint8_t *data, uint32_t length, uint32_t) {
  return static_cast<int32_t>(nrf_queue_out(&ble_rxq, data, length));
}
int32_t ble_serial_peek(SERIAL_PORT) {
  uint8_t byte = 0;
  if (nrf_queue_peek(&ble_rxq, &byte) != NRF_SUCCESS) {
    return -UDRV_INTERNAL_ERR;
  }
  return byte;
}
void ble_serial_flush(SERIAL_PORT, uint32_t) {}
int32_t ble_serial_read_available(SERIAL_PORT) {
  return static_cast<int32_t>(nrf_queue_utilization_get(&ble_rxq));
}

uint8_t hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return static_cast<uint8_t>(c - '0');
  }
  if (c >= 'a' && c <= 'f') {
    return static_cast<uint8_t>(c - 'a' + 10);
  }
  return static_cast<uint8_t>(c - 'A' + 10);
}

}  // namespace

udrv_serial_api serial_ble_driver = {
    ble_serial_init, ble_serial_deinit, ble_serial_write,          ble_serial_read,
    ble_serial_peek, ble_serial_flush,  ble_serial_read_available, nullptr};

void uhal_ble_usb_texts_flush(void) {
  char texts[sizeof usb_texts];
  uint8_t nested = 0;
  (void)sd_nvic_critical_region_enter(&nested);
  uint32_t len = usb_texts_len;
  memcpy(texts, usb_texts, len);
  usb_texts_len = 0;
  (void)sd_nvic_critical_region_exit(nested);
  if (len != 0) {
    (void)udrv_serial_write(SERIAL_USB0, reinterpret_cast<uint8_t const *>(texts), len);
  }
}

// ---------------------------------------------------------------- stack --
void uhal_ble_stack_init(void) {
  if (nrf_sdh_is_enabled()) {
    NRF_LOG_INFO("SD already enabled");
    APP_ERROR_CHECK(nrf_sdh_disable_request());
  }
  APP_ERROR_CHECK(nrf_sdh_enable_request());
  NRF_LOG_INFO("SD Enabled");
  uint32_t ram_start = 0;
  APP_ERROR_CHECK(nrf_sdh_ble_default_cfg_set(APP_BLE_CONN_CFG_TAG, &ram_start));
  APP_ERROR_CHECK(nrf_sdh_ble_enable(&ram_start));
  // A stack started anew has no link, whatever the last one left behind.
  m_conn_handle = BLE_CONN_HANDLE_INVALID;
}

void uhal_scan_init(uint8_t connect_if_match) {
  ble_gap_scan_params_t &scan_params = m_scan_params;
  memset(&scan_params, 0, sizeof scan_params);
  scan_params.active = 1;
  scan_params.interval = 160;
  scan_params.window = 160;
  scan_params.timeout = 0;
  if (uhal_g_ble_cfg_t.long_range_enable == 1) {
    NRF_LOG_INFO("(BLE Scan)Support Long Range.");
    scan_params.extended = 1;
    scan_params.scan_phys = BLE_GAP_PHY_CODED;
  } else {
    scan_params.scan_phys = BLE_GAP_PHY_1MBPS;
  }
  nrf_ble_scan_init_t init = {};
  init.p_scan_param = &scan_params;
  init.connect_if_match = connect_if_match != 0;
  init.conn_cfg_tag = APP_BLE_CONN_CFG_TAG;
  APP_ERROR_CHECK(nrf_ble_scan_init(&m_scan, &init, scan_evt_handler));
}

void uhal_gap_params_init(void) {
  if (in_beacon_mode()) {
    return;
  }
  char name[31] = {0};
  size_t len = fund_strnlen(ble_parameter.custom_dev_name, sizeof ble_parameter.custom_dev_name);
  if (len != 0) {
    memcpy(name, ble_parameter.custom_dev_name, len);
  } else {
    ble_gap_addr_t addr;
    APP_ERROR_CHECK(sd_ble_gap_addr_get(&addr));
    len = static_cast<size_t>(
        snprintf(name, sizeof name, "ZEM.%02X%02X%02X", addr.addr[2], addr.addr[1], addr.addr[0]));
  }
  ble_gap_conn_sec_mode_t sec_mode;
  BLE_GAP_CONN_SEC_MODE_SET_OPEN(&sec_mode);
  APP_ERROR_CHECK(sd_ble_gap_device_name_set(&sec_mode, reinterpret_cast<uint8_t const *>(name),
                                             static_cast<uint16_t>(len)));
  // Later starts keep this name.
  memcpy(
      ble_parameter.custom_dev_name, name,
      len < sizeof ble_parameter.custom_dev_name ? len + 1 : sizeof ble_parameter.custom_dev_name);

  ble_gap_conn_params_t gap_conn_params = {};
  gap_conn_params.min_conn_interval = kMinConnInterval;
  gap_conn_params.max_conn_interval = kMaxConnInterval;
  gap_conn_params.slave_latency = kSlaveLatency;
  gap_conn_params.conn_sup_timeout = kConnSupTimeout;
  APP_ERROR_CHECK(sd_ble_gap_ppcp_set(&gap_conn_params));

  if (ble_parameter.permission == DRV_BLE_PERMISSION_STATIC_PASSKEY &&
      ble_parameter.pairing_key[0] != 0) {
    APP_ERROR_CHECK(static_passkey_apply());
  } else if (ble_parameter.permission == DRV_BLE_PERMISSION_NO_PAIRING) {
    NRF_LOG_INFO("(NUS)BLE use none pairing.");
  }
}

void uhal_gatt_init(void) {
  if (in_beacon_mode()) {
    return;
  }
  APP_ERROR_CHECK(nrf_ble_gatt_init(&m_gatt, uhal_gatt_evt_handler));
  APP_ERROR_CHECK(nrf_ble_gatt_att_mtu_periph_set(&m_gatt, kAttMtu));
}

void uhal_conn_params_init(void) {
  if (in_beacon_mode()) {
    return;
  }
  ble_conn_params_init_t cp_init = {};
  cp_init.p_conn_params = nullptr;
  cp_init.first_conn_params_update_delay = APP_TIMER_TICKS(5000);
  cp_init.next_conn_params_update_delay = APP_TIMER_TICKS(30000);
  cp_init.max_conn_params_update_count = 3;
  cp_init.start_on_notify_cccd_handle = BLE_GATT_HANDLE_INVALID;
  cp_init.disconnect_on_fail = false;
  cp_init.evt_handler = on_conn_params_evt;
  cp_init.error_handler = conn_params_error_handler;
  APP_ERROR_CHECK(ble_conn_params_init(&cp_init));

  ble_db_discovery_init_t db_init = {};
  db_init.evt_handler = db_disc_handler;
  APP_ERROR_CHECK(ble_db_discovery_init(&db_init));
  ble_nus_c_init_t nus_c_init = {};
  nus_c_init.evt_handler = ble_nus_c_evt_handler;
  nus_c_init.error_handler = nus_error_handler;
  APP_ERROR_CHECK(ble_nus_c_init(&m_ble_nus_c, &nus_c_init));
}

void uhal_nus_peer_manager_init(void) {
  if (in_beacon_mode()) {
    return;
  }
  nrf_delay_ms(20);
  APP_ERROR_CHECK(pm_init());
  ble_gap_sec_params_t sec_param;
  security_params(&sec_param);
  APP_ERROR_CHECK(pm_sec_params_set(&sec_param));
  APP_ERROR_CHECK(pm_register(nus_pm_evt_handler));
}

namespace {
// The security parameters the peer manager answers pairing with.
void security_params(ble_gap_sec_params_t *p) {
  ble_gap_sec_params_t sec_param = {};
  sec_param.bond = 1;
  if (ble_parameter.permission == DRV_BLE_PERMISSION_NO_PAIRING) {
    sec_param.mitm = 0;
    sec_param.lesc = 0;
    sec_param.io_caps = BLE_GAP_IO_CAPS_NONE;
  } else {
    sec_param.mitm = 1;
    sec_param.lesc = 1;
    sec_param.io_caps = BLE_GAP_IO_CAPS_DISPLAY_ONLY;
  }
  sec_param.keypress = 0;
  sec_param.oob = 0;
  sec_param.min_key_size = 7;
  sec_param.max_key_size = 16;
  sec_param.kdist_own.enc = 1;
  sec_param.kdist_own.id = 1;
  sec_param.kdist_peer.enc = 1;
  sec_param.kdist_peer.id = 1;
  *p = sec_param;
}

// With permission 3 and a key, the key is the stack's static passkey.
uint32_t static_passkey_apply(void) {
  if (ble_parameter.permission == DRV_BLE_PERMISSION_STATIC_PASSKEY &&
      ble_parameter.pairing_key[0] != 0) {
    ble_opt_t opt = {};
    opt.gap_opt.passkey.p_passkey = ble_parameter.pairing_key;
    return sd_ble_opt_set(BLE_GAP_OPT_PASSKEY, &opt);
  }
  return NRF_SUCCESS;
}
}  // namespace

void uhal_services_init(void) {
  if (in_beacon_mode()) {
    return;
  }
  nrf_queue_reset(&ble_rxq);
  ble_nus_init_t nus_init = {};
  nus_init.data_handler = uhal_nus_data_handler;
  APP_ERROR_CHECK(ble_nus_init(&m_nus, &nus_init));
  APP_ERROR_CHECK(ble_dfu_buttonless_async_svci_init());
  NRF_LOG_INFO("(NUS) Spport BLE DFU");
  ble_dfu_buttonless_init_t dfus_init = {};
  dfus_init.evt_handler = ble_dfu_evt_handler;
  APP_ERROR_CHECK(ble_dfu_buttonless_init(&dfus_init));
}

void uhal_advertising_init(void) {
  if (is_mode(DRV_BLE_UART_MODE)) {
    ble_advertising_init_t init = {};
    serial_adv_data(&init.advdata, &init.srdata);
    init.config.ble_adv_fast_enabled = true;
    init.config.ble_adv_fast_interval = kFastAdvInterval;
    init.config.ble_adv_fast_timeout = kFastAdvTimeout;
    init.evt_handler = ble_on_adv_evt;
    init.error_handler = adv_error_handler;
    APP_ERROR_CHECK(ble_advertising_init(&m_advertising, &init));
    ble_advertising_conn_cfg_tag_set(&m_advertising, APP_BLE_CONN_CFG_TAG);
  } else if (in_beacon_mode()) {
    ble_advdata_manuf_data_t manuf = {};
    manuf.company_identifier = kBeaconCompanyId;
    manuf.data.p_data = m_beacon_info;
    manuf.data.size = m_beacon_info_len;
    ble_advdata_t advdata = {};
    advdata.name_type = BLE_ADVDATA_NO_NAME;
    advdata.flags = BLE_GAP_ADV_FLAG_BR_EDR_NOT_SUPPORTED;
    advdata.p_manuf_specific_data = &manuf;
    beacon_params(kFastAdvInterval, BLE_GAP_ADV_TIMEOUT_GENERAL_UNLIMITED);
    m_beacon_adv_data.adv_data.len = BLE_GAP_ADV_SET_DATA_SIZE_MAX;
    APP_ERROR_CHECK(ble_advdata_encode(&advdata, m_beacon_adv_data.adv_data.p_data,
                                       &m_beacon_adv_data.adv_data.len));
    APP_ERROR_CHECK(sd_ble_gap_adv_set_configure(&m_beacon_adv_handle, &m_beacon_adv_data,
                                                 &m_beacon_adv_params));
  } else if (is_mode(DRV_BLE_HID_MODE)) {
    // The stack was started anew for the mode: the keyboard goes on it. A
    // failure leaves the mode without advertising (its start refuses).
    uint32_t const err = uhal_ble_hid_service_init();
    NRF_LOG_INFO("(HID) init : %d", static_cast<int>(err));
  } else if (is_mode(DRV_BLE_CUS_MODE)) {
    // The service a program asked for, when it did.
    uint32_t const err = uhal_ble_cus_service_register();
    NRF_LOG_INFO("(CUS) init : %d", static_cast<int>(err));
  }
}

int32_t uhal_advertising_start(uint8_t time_out) {
  if (time_out > kMaxAdvTime) {
    return -UDRV_INTERNAL_ERR;
  }
  switch (ble_parameter.service_mode) {
    case DRV_BLE_UART_MODE: {
      (void)sd_ble_gap_adv_stop(m_advertising.adv_handle);
      uint32_t const power = sd_ble_gap_tx_power_set(
          BLE_GAP_TX_POWER_ROLE_ADV, m_advertising.adv_handle, ble_parameter.txpower);
      uint8_t seconds = time_out;
      if (time_out == 0) {
        always_advertise = 1;
        seconds = 30;
      } else {
        always_advertise = 0;
      }
      ble_adv_modes_config_t config = {};
      if (ble_parameter.adv_mode == DRV_BLE_ADV_MODE_FAST) {
        config.ble_adv_fast_enabled = true;
        config.ble_adv_slow_enabled = false;
        config.ble_adv_fast_interval = ble_parameter.adv_interval;
        config.ble_adv_fast_timeout = seconds * 100u;
      } else if (ble_parameter.adv_mode == DRV_BLE_ADV_MODE_SLOW) {
        config.ble_adv_fast_enabled = false;
        config.ble_adv_slow_enabled = true;
        config.ble_adv_slow_interval = ble_parameter.adv_interval;
        config.ble_adv_slow_timeout = seconds * 100u;
      }
      ble_parameter.adv_timeout = seconds;
      ble_advertising_modes_config_set(&m_advertising, &config);
      if (m_conn_handle == BLE_CONN_HANDLE_INVALID) {
        NRF_LOG_INFO("ble_advertising_start");
        APP_ERROR_CHECK(ble_advertising_start(&m_advertising,
                                              static_cast<ble_adv_mode_t>(ble_parameter.adv_mode)));
        uhal_is_advertising = true;
        return 0;
      }
      uhal_is_advertising = true;
      return power == NRF_SUCCESS ? 0 : -UDRV_INTERNAL_ERR;
    }
    case DRV_BLE_BEACON_MODE: {
      NRF_LOG_INFO("(Beacon) Start.");
      (void)sd_ble_gap_adv_stop(m_beacon_adv_handle);
      uint32_t const interval = ble_parameter.adv_interval < kBeaconMinInterval
                                    ? kBeaconMinInterval
                                    : ble_parameter.adv_interval;
      beacon_params(interval, static_cast<uint16_t>(time_out * 100u));
      APP_ERROR_CHECK(sd_ble_gap_adv_set_configure(&m_beacon_adv_handle, &m_beacon_adv_data,
                                                   &m_beacon_adv_params));
      APP_ERROR_CHECK(sd_ble_gap_tx_power_set(BLE_GAP_TX_POWER_ROLE_ADV, m_beacon_adv_handle,
                                              ble_parameter.txpower));
      uint32_t const err = sd_ble_gap_adv_start(m_beacon_adv_handle, APP_BLE_CONN_CFG_TAG);
      NRF_LOG_INFO("sd_ble_gap_adv_start:%u", static_cast<unsigned>(err));
      APP_ERROR_CHECK(err);
      uhal_is_advertising = true;
      return 0;
    }
    case DRV_BLE_HID_MODE:
      ble_parameter.adv_timeout = time_out;
      if (uhal_ble_hid_advertising_start() != NRF_SUCCESS) {
        return -UDRV_INTERNAL_ERR;
      }
      uhal_is_advertising = true;
      return 0;
    case DRV_BLE_CUS_MODE:
      if (uhal_ble_cus_advertising_start(time_out) != NRF_SUCCESS) {
        return -UDRV_INTERNAL_ERR;
      }
      uhal_is_advertising = true;
      return 0;
    default:
      return 0;
  }
}

int32_t uhal_advertising_stop(uint8_t temp_processing) {
  if (temp_processing == 2) {
    if (uhal_is_advertising && g_ble_current_mode == 0) {
      return uhal_advertising_start(resume_time());
    }
    return 0;
  }
  uint32_t err;
  switch (ble_parameter.service_mode) {
    case DRV_BLE_UART_MODE:
      err = sd_ble_gap_adv_stop(m_advertising.adv_handle);
      break;
    case DRV_BLE_BEACON_MODE:
      err = sd_ble_gap_adv_stop(m_beacon_adv_handle);
      break;
    case DRV_BLE_HID_MODE:
      err = uhal_ble_hid_advertising_stop();
      NRF_LOG_INFO("Flash Read must close:%d", static_cast<int>(err));
      break;
    case DRV_BLE_CUS_MODE:
      err = uhal_ble_cus_advertising_stop();
      break;
    default:
      return 0;
  }
  if (err != NRF_SUCCESS) {
    return -UDRV_INTERNAL_ERR;
  }
  nrf_queue_reset(&ble_rxq);
  if (temp_processing == 0) {
    uhal_is_advertising = false;
  }
  return 0;
}

void uhal_stop_ble(void) {
  (void)uhal_advertising_stop(0);
  // Only a link that exists is closed: with none the call would fail, and
  // that failure must not reset the board.
  if (m_conn_handle != BLE_CONN_HANDLE_INVALID) {
    (void)sd_ble_gap_disconnect(m_conn_handle, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION);
  }
  nrf_queue_reset(&ble_rxq);
  uhal_is_advertising = false;
  if (uhal_is_scanning) {
    nrf_ble_scan_stop();
    uhal_is_scanning = false;
  }
}

int32_t uhal_ble_set_macaddress(char const *macaddr) {
  ble_gap_addr_t addr;
  if (sd_ble_gap_addr_get(&addr) != NRF_SUCCESS) {
    return UDRV_INTERNAL_ERR;
  }
  bool const was_advertising = uhal_is_advertising;
  if (was_advertising) {
    (void)uhal_advertising_stop(0);
  }
  for (int i = 0; i < BLE_GAP_ADDR_LEN; i++) {
    addr.addr[BLE_GAP_ADDR_LEN - 1 - i] =
        static_cast<uint8_t>((hex_value(macaddr[2 * i]) << 4) | hex_value(macaddr[2 * i + 1]));
  }
  uint32_t const err = sd_ble_gap_addr_set(&addr);
  // A refused address leaves the device advertising as before.
  if (was_advertising) {
    (void)uhal_advertising_start(resume_time());
  }
  return err == NRF_SUCCESS ? 0 : UDRV_INTERNAL_ERR;
}

void uhal_ble_get_macaddress(uint8_t address[6]) {
  ble_gap_addr_t addr;
  if (sd_ble_gap_addr_get(&addr) != NRF_SUCCESS) {
    memset(address, 0, BLE_GAP_ADDR_LEN);
    return;
  }
  memcpy(address, addr.addr, BLE_GAP_ADDR_LEN);
}

void uhal_ble_switch_service_mode(uint8_t service_mode) {
  ble_parameter.service_mode = service_mode;
  ble_current_service = static_cast<drv_ble_service_mode>(service_mode);
}

// The device name, kept for later starts of the services; in the serial
// mode the advertising data carry it at once.
int32_t uhal_ble_set_device_name(char const *name, uint8_t length) {
  if (name == nullptr || length == 0 || length > sizeof ble_parameter.custom_dev_name) {
    return -UDRV_WRONG_ARG;
  }
  memset(ble_parameter.custom_dev_name, 0, sizeof ble_parameter.custom_dev_name);
  memcpy(ble_parameter.custom_dev_name, name, length);
  if (!nrf_sdh_is_enabled() || in_beacon_mode()) {
    return 0;
  }
  ble_gap_conn_sec_mode_t sec_mode;
  BLE_GAP_CONN_SEC_MODE_SET_OPEN(&sec_mode);
  if (sd_ble_gap_device_name_set(&sec_mode, reinterpret_cast<uint8_t const *>(name), length) !=
      NRF_SUCCESS) {
    return -UDRV_INTERNAL_ERR;
  }
  if (is_mode(DRV_BLE_UART_MODE) && m_advertising.initialized) {
    ble_advdata_t advdata, srdata;
    serial_adv_data(&advdata, &srdata);
    if (ble_advertising_advdata_update(&m_advertising, &advdata, &srdata) != NRF_SUCCESS) {
      return -UDRV_INTERNAL_ERR;
    }
  }
  return 0;
}

// ------------------------------------------------------- serial service --
int32_t uhal_nus_write(uint8_t const *data, uint16_t length) {
  if (m_conn_handle == BLE_CONN_HANDLE_INVALID) {
    return -UDRV_INTERNAL_ERR;
  }
  uint16_t sent = 0;
  while (sent < length) {
    uint16_t const max = m_ble_nus_max_data_len;
    uint16_t piece =
        static_cast<uint16_t>(length - sent) < max ? static_cast<uint16_t>(length - sent) : max;
    uint32_t const start = app_timer_cnt_get();
    for (;;) {
      if (m_conn_handle == BLE_CONN_HANDLE_INVALID) {
        return -UDRV_INTERNAL_ERR;  // the link went down in the middle
      }
      uint16_t len = piece;
      uint32_t const err =
          ble_nus_data_send(&m_nus, const_cast<uint8_t *>(data + sent), &len, m_conn_handle);
      if (err == NRF_SUCCESS) {
        piece = len;
        break;
      }
      if (err == NRF_ERROR_INVALID_PARAM || err == NRF_ERROR_INVALID_STATE) {
        return -UDRV_INTERNAL_ERR;
      }
      NRF_LOG_INFO("sending failed. (%u)", static_cast<unsigned>(err));
      if (((app_timer_cnt_get() - start) & APP_TIMER_MAX_CNT_VAL) >= kWriteRetryTicks) {
        return -UDRV_INTERNAL_ERR;
      }
      port_wait();
    }
    sent = static_cast<uint16_t>(sent + piece);
  }
  return 0;
}

int32_t uhal_nus_read(uint8_t *data, uint16_t length) {
  return static_cast<int32_t>(nrf_queue_out(&ble_rxq, data, length));
}

int32_t uhal_nus_available(void) {
  return static_cast<int32_t>(nrf_queue_utilization_get(&ble_rxq));
}

// --------------------------------------------------------- scan reports --
uint8_t const *ble_advdata_parse_extra(uint8_t const *data, uint16_t length, uint8_t type,
                                       uint16_t *p_len) {
  *p_len = 0;
  uint16_t at = 0;
  while (data != nullptr && at + 1u < length) {
    uint8_t const field = data[at];
    if (field == 0 || at + 1u + field > length) {
      return nullptr;  // the end, or a structure that runs past the data
    }
    if (data[at + 1] == type) {
      *p_len = static_cast<uint16_t>(field - 1);
      return &data[at + 2];
    }
    at = static_cast<uint16_t>(at + 1u + field);
  }
  return nullptr;
}

void qiv_ble_scan_adv(int8_t rssi, uint8_t const *data, uint16_t length, uint8_t const *peer_addr) {
  uint16_t manuf_len = 0;
  uint8_t const *manuf =
      ble_advdata_parse_extra(data, length, BLE_GAP_AD_TYPE_MANUFACTURER_SPECIFIC_DATA, &manuf_len);
  if (uhal_g_ble_cfg_t.work_mode == 1 && (!m_scan_rssi_known || rssi != m_last_scan_rssi)) {
    m_last_scan_rssi = rssi;
    m_scan_rssi_known = true;
    if (SCAN_DATA_HANDLER != nullptr && manuf_len != 0) {
      SCAN_DATA_HANDLER(rssi, peer_addr, manuf, static_cast<uint8_t>(manuf_len));
    }
  }
}

// ------------------------------------------------------------- scanner --
// A scan with the settings of uhal_scan_init and the interval and window
// last set, for `timeout_s` seconds (0: until stopped). Its reports reach
// SCAN_DATA_HANDLER (work mode 1).
int32_t uhal_ble_scan_start(uint16_t timeout_s) {
  if (!nrf_sdh_is_enabled() || uhal_is_scanning) {
    return -UDRV_INTERNAL_ERR;
  }
  ble_gap_scan_params_t params = m_scan_params;
  params.interval = m_scan_interval;
  params.window = m_scan_window;
  uint32_t const timeout = timeout_s * 100u;  // 10 ms
  params.timeout = static_cast<uint16_t>(timeout > 0xFFFFu ? 0xFFFFu : timeout);
  if (nrf_ble_scan_params_set(&m_scan, &params) != NRF_SUCCESS) {
    return -UDRV_INTERNAL_ERR;
  }
  uhal_g_ble_cfg_t.work_mode = 1;
  m_scan_rssi_known = false;
  if (nrf_ble_scan_start(&m_scan) != NRF_SUCCESS) {
    return -UDRV_INTERNAL_ERR;
  }
  uhal_is_scanning = true;
  return 0;
}

int32_t uhal_ble_scan_stop(void) {
  if (uhal_is_scanning) {
    nrf_ble_scan_stop();
    uhal_is_scanning = false;
  }
  return 0;
}

// Units of 0.625 ms: interval 2.5 ms to 10.24 s, the window within it; the
// next scan start takes them.
int32_t uhal_ble_scan_set_interval(uint16_t interval, uint16_t window) {
  if (interval < 4 || interval > 16384 || window < 4 || window > interval) {
    return -UDRV_WRONG_ARG;
  }
  m_scan_interval = interval;
  m_scan_window = window;
  return 0;
}

// The advertising transmit power now on the set of the current mode (the
// HID set takes it at its next start); 0 when the set is not configured
// yet: the next start applies ble_parameter.txpower anyway.
int32_t uhal_ble_adv_tx_power_apply(void) {
  if (!nrf_sdh_is_enabled()) {
    return 0;
  }
  uint8_t handle;
  if (is_mode(DRV_BLE_UART_MODE)) {
    handle = m_advertising.adv_handle;
  } else if (in_beacon_mode()) {
    handle = m_beacon_adv_handle;
  } else {
    return 0;
  }
  if (handle == BLE_GAP_ADV_SET_HANDLE_NOT_SET) {
    return 0;
  }
  uint32_t const err =
      sd_ble_gap_tx_power_set(BLE_GAP_TX_POWER_ROLE_ADV, handle, ble_parameter.txpower);
  return err == NRF_SUCCESS || err == BLE_ERROR_INVALID_ADV_HANDLE ? 0 : -UDRV_INTERNAL_ERR;
}

// The pairing policy of `permission` and the static passkey given to the
// running stack (the peer manager answers the next pairing with them).
int32_t uhal_ble_security_apply(void) {
  if (!nrf_sdh_is_enabled() || in_beacon_mode()) {
    return 0;
  }
  ble_gap_sec_params_t sec_param;
  security_params(&sec_param);
  if (pm_sec_params_set(&sec_param) != NRF_SUCCESS) {
    return -UDRV_INTERNAL_ERR;
  }
  return static_passkey_apply() == NRF_SUCCESS ? 0 : -UDRV_INTERNAL_ERR;
}

// The beacon's advertising data built again from m_beacon_info; a beacon
// that advertises goes on with them.
int32_t uhal_ble_beacon_update(void) {
  if (!nrf_sdh_is_enabled() || !in_beacon_mode()) {
    return 0;
  }
  bool const was_advertising = uhal_is_advertising;
  if (was_advertising && uhal_advertising_stop(0) != 0) {
    return -UDRV_INTERNAL_ERR;
  }
  uhal_advertising_init();
  if (was_advertising) {
    return uhal_advertising_start(0);
  }
  return 0;
}
