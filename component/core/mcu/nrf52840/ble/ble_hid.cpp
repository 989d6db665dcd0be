// The HID keyboard service mode: see ble_hid.h.
#include "ble_hid.h"

#include <string.h>

#include "app_error.h"
#include "bsp.h"
#include "ble_srv_common.h"
#include "nrf_log.h"
#include "nrf_sdh_ble.h"
#include "peer_manager.h"
#include "uhal_ble_nrf.h"
#include "udrv_ble.h"

#define MAX_PEERS_WLIST 8u
#define HID_OBSERVER_PRIO 2

buffer_list_t buffer_list;
uint16_t m_hid_conn_handle = BLE_CONN_HANDLE_INVALID;
bool m_in_boot_mode = false;
bool m_caps_on = false;
bool erase_bonds = false;
// No advertising set until a build offering the mode initialises it.
ble_advertising_t m_hid_advertising = {.adv_handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET};
ble_advertising_init_t hid_adv_init;
ble_hids_t m_hids;
nrf_ble_qwr_t m_qwr;

// The SDK modules' own observers of these instances (they act only once the
// instance is initialised).
NRF_SDH_BLE_OBSERVER(m_hid_advertising_observer, BLE_ADV_BLE_OBSERVER_PRIO,
                     ble_advertising_on_ble_evt, &m_hid_advertising);
NRF_SDH_BLE_OBSERVER(m_hids_observer, BLE_HIDS_BLE_OBSERVER_PRIO, ble_hids_on_ble_evt, &m_hids);
NRF_SDH_BLE_OBSERVER(m_qwr_observer, NRF_BLE_QWR_BLE_OBSERVER_PRIO, nrf_ble_qwr_on_ble_evt, &m_qwr);

namespace {

// The boot keyboard report descriptor of the USB HID standard (modifier
// byte, reserved byte, five LED bits and padding out, six key codes in).
const uint8_t kKeyboardReportMap[] = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};
constexpr uint8_t kCapsLockBit = 0x02;  // LED bit 1 of the output report
constexpr uint16_t kHidVersion = 0x0111;
constexpr uint32_t kHidAdvInterval = 40;   // 25 ms
constexpr uint32_t kHidAdvTimeout = 3000;  // 30 s

ble_uuid_t hid_uuid = {BLE_UUID_HUMAN_INTERFACE_DEVICE_SERVICE, BLE_UUID_TYPE_BLE};
void (*led_handler)(uint8_t leds) = nullptr;

// Protocol mode writes select the boot or the report protocol; the host's
// LED byte (output report) sets the caps-lock state and goes to the hook.
void hids_evt_handler(ble_hids_t *, ble_hids_evt_t *p_evt) {
  switch (p_evt->evt_type) {
    case BLE_HIDS_EVT_BOOT_MODE_ENTERED:
      m_in_boot_mode = true;
      break;
    case BLE_HIDS_EVT_REPORT_MODE_ENTERED:
      m_in_boot_mode = false;
      break;
    case BLE_HIDS_EVT_REP_CHAR_WRITE: {
      auto const &w = p_evt->params.char_write;
      bool const output_report = (w.char_id.uuid == BLE_UUID_REPORT_CHAR &&
                                  w.char_id.rep_type == BLE_HIDS_REP_TYPE_OUTPUT) ||
                                 w.char_id.uuid == BLE_UUID_BOOT_KEYBOARD_OUTPUT_REPORT_CHAR;
      if (!output_report || w.len < 1 || w.data == nullptr) {
        break;
      }
      m_caps_on = (w.data[0] & kCapsLockBit) != 0;
      void (*hook)(uint8_t) = led_handler;
      if (hook != nullptr) {
        hook(w.data[0]);
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace

uint32_t uhal_ble_hid_service_init(void) {
  ble_hids_rep_char_init_t input[1];
  memset(input, 0, sizeof(input));
  input[0].max_len = HID_KEYS_REPORT_LEN;
  input[0].rep_ref.report_id = 0;
  input[0].rep_ref.report_type = BLE_HIDS_REP_TYPE_INPUT;
  ble_hids_rep_char_init_t output[1];
  memset(output, 0, sizeof(output));
  output[0].max_len = 1;
  output[0].rep_ref.report_id = 0;
  output[0].rep_ref.report_type = BLE_HIDS_REP_TYPE_OUTPUT;

  ble_hids_init_t init;
  memset(&init, 0, sizeof(init));
  init.evt_handler = hids_evt_handler;
  init.is_kb = true;
  init.inp_rep_count = 1;
  init.p_inp_rep_array = input;
  init.outp_rep_count = 1;
  init.p_outp_rep_array = output;
  init.rep_map.p_data = const_cast<uint8_t *>(kKeyboardReportMap);
  init.rep_map.data_len = sizeof(kKeyboardReportMap);
  init.hid_information.bcd_hid = kHidVersion;
  init.hid_information.b_country_code = 0;
  init.hid_information.flags =
      HID_INFO_FLAG_REMOTE_WAKE_MSK | HID_INFO_FLAG_NORMALLY_CONNECTABLE_MSK;
  uint32_t err_code = ble_hids_init(&m_hids, &init);
  NRF_LOG_INFO("(HID) service : %d", static_cast<int>(err_code));
  if (err_code != NRF_SUCCESS) {
    return err_code;
  }

  if (!m_qwr.initialized) {
    nrf_ble_qwr_init_t qwr_init;
    memset(&qwr_init, 0, sizeof(qwr_init));
    err_code = nrf_ble_qwr_init(&m_qwr, &qwr_init);
    if (err_code != NRF_SUCCESS) {
      return err_code;
    }
  }

  memset(&hid_adv_init, 0, sizeof(hid_adv_init));
  hid_adv_init.advdata.name_type = BLE_ADVDATA_FULL_NAME;
  hid_adv_init.advdata.flags = BLE_GAP_ADV_FLAGS_LE_ONLY_GENERAL_DISC_MODE;
  hid_adv_init.advdata.uuids_complete.uuid_cnt = 1;
  hid_adv_init.advdata.uuids_complete.p_uuids = &hid_uuid;
  hid_adv_init.config.ble_adv_fast_enabled = true;
  // Placeholders: every start sets the mode, interval and time from the
  // settings.
  hid_adv_init.config.ble_adv_fast_interval = kHidAdvInterval;
  hid_adv_init.config.ble_adv_fast_timeout = kHidAdvTimeout;
  err_code = ble_advertising_init(&m_hid_advertising, &hid_adv_init);
  if (err_code != NRF_SUCCESS) {
    return err_code;
  }
  ble_advertising_conn_cfg_tag_set(&m_hid_advertising, APP_BLE_CONN_CFG_TAG);
  return NRF_SUCCESS;
}

void uhal_ble_hid_set_led_handler(void (*handler)(uint8_t leds)) { led_handler = handler; }

void uhal_ble_delete_bonds(void) {
  NRF_LOG_INFO("Erase bonds!");
  ret_code_t err_code = pm_peers_delete();
  APP_ERROR_CHECK(err_code);
}

void whitelist_set(void) {
  pm_peer_id_t peer_ids[MAX_PEERS_WLIST];
  uint32_t peer_id_count = MAX_PEERS_WLIST;
  ret_code_t err_code = pm_peer_id_list(peer_ids, &peer_id_count, PM_PEER_ID_INVALID,
                                        PM_PEER_ID_LIST_SKIP_NO_ID_ADDR);
  APP_ERROR_CHECK(err_code);
  NRF_LOG_INFO("\tm_whitelist_peer_cnt %d, MAX_PEERS_WLIST %d", static_cast<int>(peer_id_count),
               static_cast<int>(MAX_PEERS_WLIST));
  err_code = pm_whitelist_set(peer_ids, peer_id_count);
  NRF_LOG_INFO("(HID)whitelist_set : %d", static_cast<int>(err_code));
  if (err_code != NRF_SUCCESS) {
    uhal_ble_delete_bonds();
  }
}

uint32_t uhal_ble_hid_advertising_start(void) {
  if (erase_bonds) {
    NRF_LOG_INFO("(HID) erase_bonds = %d", erase_bonds ? 1 : 0);
    erase_bonds = false;
    uhal_ble_delete_bonds();
    return NRF_SUCCESS;
  }

  NRF_LOG_INFO("HID Keyboard started (ble_current_service): %d ",
               static_cast<int>(ble_current_service));
  // The advertising module starts the set again by itself after a
  // disconnection, behind the flag's back: stop whatever runs, or the start
  // below finds the set busy (and resets the chip).
  ret_code_t stop = sd_ble_gap_adv_stop(m_hid_advertising.adv_handle);
  if (uhal_is_advertising || stop == NRF_SUCCESS) {
    NRF_LOG_INFO("(HID) Stop Advertising. : %d", static_cast<int>(stop));
  }

  ret_code_t err_code = sd_ble_gap_tx_power_set(
      BLE_GAP_TX_POWER_ROLE_ADV, m_hid_advertising.adv_handle, ble_parameter.txpower);
  NRF_LOG_INFO("(HID) Set TX Power : %x", static_cast<unsigned>(err_code));

  ble_adv_modes_config_t &config = hid_adv_init.config;
  if (ble_parameter.adv_mode == BLE_ADV_MODE_FAST) {
    NRF_LOG_INFO("(HID) DRV_BLE_ADV_MODE_FAST");
    config.ble_adv_fast_enabled = true;
    config.ble_adv_slow_enabled = false;
    config.ble_adv_fast_interval = ble_parameter.adv_interval;
    config.ble_adv_fast_timeout = ble_parameter.adv_timeout * 100u;
  } else if (ble_parameter.adv_mode == BLE_ADV_MODE_SLOW) {
    NRF_LOG_INFO("(HID) DRV_BLE_ADV_MODE_SLOW");
    config.ble_adv_slow_enabled = true;
    config.ble_adv_fast_enabled = false;
    config.ble_adv_slow_interval = ble_parameter.adv_interval;
    config.ble_adv_slow_timeout = ble_parameter.adv_timeout * 100u;
  }
  NRF_LOG_INFO("(HID) advertising interval = %d (ms)",
               static_cast<int>(ble_parameter.adv_interval * 0.625));
  NRF_LOG_INFO("(HID) advertising timeout = %d (sec)", static_cast<int>(ble_parameter.adv_timeout));

  if (m_hid_conn_handle != BLE_CONN_HANDLE_INVALID) {
    return err_code;
  }

  ble_advertising_modes_config_set(&m_hid_advertising, &config);
  whitelist_set();
  ret_code_t start = ble_advertising_start(&m_hid_advertising,
                                           static_cast<ble_adv_mode_t>(ble_parameter.adv_mode));
  NRF_LOG_INFO("(HID) Start Advertising. : %x", static_cast<unsigned>(start));
  APP_ERROR_CHECK(start);
  return NRF_SUCCESS;
}

uint32_t uhal_ble_hid_advertising_stop(void) {
  return sd_ble_gap_adv_stop(m_hid_advertising.adv_handle);
}

ret_code_t send_key_scan_press_release(ble_hids_t *p_hids, uint8_t const *p_key_pattern,
                                       uint16_t pattern_len, uint16_t pattern_offset,
                                       uint16_t *p_actual_len) {
  if (p_hids == nullptr || p_actual_len == nullptr || (p_key_pattern == nullptr && pattern_len)) {
    return NRF_ERROR_NULL;
  }
  *p_actual_len = pattern_offset;
  // A report holds six keys: a longer pattern cannot be typed this way, and
  // its keys would land beyond the report.
  if (pattern_len > HID_KEYS_MAX) {
    return NRF_ERROR_INVALID_LENGTH;
  }
  ret_code_t err_code = NRF_SUCCESS;
  uint16_t offset = pattern_offset;
  while (offset <= pattern_len) {
    uint8_t data[HID_KEYS_REPORT_LEN];
    memset(data, 0, sizeof(data));
    // The keys from this offset on, each in the place it had in the first
    // report: every report releases one more key from the front.
    if (offset < pattern_len) {
      memcpy(data + 2 + offset, p_key_pattern + offset, pattern_len - offset);
    }
    if (bsp_button_is_pressed(BSP_BUTTON_1)) {
      data[0] |= HID_MODIFIER_LEFT_SHIFT;
    }
    if (m_in_boot_mode) {
      err_code =
          ble_hids_boot_kb_inp_rep_send(p_hids, HID_KEYS_REPORT_LEN, data, m_hid_conn_handle);
    } else {
      err_code = ble_hids_inp_rep_send(p_hids, 0, HID_KEYS_REPORT_LEN, data, m_hid_conn_handle);
    }
    if (err_code != NRF_SUCCESS) {
      // This report did not go: the next try starts with it.
      break;
    }
    offset++;
  }
  *p_actual_len = offset;
  return err_code;
}

void buffer_dequeue(bool tx_flag) {
  if (buffer_list.count == 0) {
    return;
  }
  buffer_entry_t *p_element = &buffer_list.buffer[buffer_list.rp];
  if (tx_flag) {
    uint16_t actual_len = p_element->data_offset;
    ret_code_t err_code =
        send_key_scan_press_release(p_element->p_instance, p_element->p_data, p_element->data_len,
                                    p_element->data_offset, &actual_len);
    // The stack's transmit queue is full: keep the pattern with its
    // progress for the next notification sent.
    if (err_code == NRF_ERROR_RESOURCES && actual_len <= p_element->data_len) {
      p_element->data_offset = static_cast<uint8_t>(actual_len);
      return;
    }
  }
  memset(p_element, 0, sizeof(*p_element));
  buffer_list.rp = static_cast<uint8_t>((buffer_list.rp + 1u) % HID_BUFFER_LIST_SIZE);
  buffer_list.count--;
}

bool uhal_ble_hid_type_keys(uint8_t const *keys, uint8_t length) {
  if (keys == nullptr || length == 0 || length > HID_KEYS_MAX ||
      buffer_list.count >= HID_BUFFER_LIST_SIZE) {
    return false;
  }
  buffer_entry_t &e = buffer_list.buffer[buffer_list.wp];
  e.data_offset = 0;
  e.data_len = length;
  e.p_data = keys;
  e.p_instance = &m_hids;
  buffer_list.wp = static_cast<uint8_t>((buffer_list.wp + 1u) % HID_BUFFER_LIST_SIZE);
  buffer_list.count++;
  if (buffer_list.count == 1) {
    buffer_dequeue(true);
  }
  return true;
}

void ble_hid_evt_handler(ble_evt_t const *p_ble_evt, void *) {
  if (ble_current_service != DRV_BLE_HID_MODE) {
    return;
  }
  ret_code_t err_code;
  switch (p_ble_evt->header.evt_id) {
    case BLE_GAP_EVT_CONNECTED:
      NRF_LOG_INFO("(HID)Connected");
      err_code = bsp_indication_set(BSP_INDICATE_CONNECTED);
      APP_ERROR_CHECK(err_code);
      m_hid_conn_handle = p_ble_evt->evt.gap_evt.conn_handle;
      err_code = nrf_ble_qwr_conn_handle_assign(&m_qwr, m_hid_conn_handle);
      APP_ERROR_CHECK(err_code);
      uhal_is_advertising = false;
      break;

    case BLE_GAP_EVT_DISCONNECTED:
      NRF_LOG_INFO("(HID)Disconnected");
      buffer_dequeue(false);
      m_hid_conn_handle = BLE_CONN_HANDLE_INVALID;
      m_caps_on = false;
      err_code = bsp_indication_set(BSP_INDICATE_ALERT_OFF);
      APP_ERROR_CHECK(err_code);
      break;

    case BLE_GAP_EVT_PHY_UPDATE_REQUEST: {
      NRF_LOG_INFO("(HID)PHY update request.");
      ble_gap_phys_t const phys = {BLE_GAP_PHY_AUTO, BLE_GAP_PHY_AUTO};
      err_code = sd_ble_gap_phy_update(p_ble_evt->evt.gap_evt.conn_handle, &phys);
      APP_ERROR_CHECK(err_code);
      break;
    }

    case BLE_GAP_EVT_ADV_SET_TERMINATED:
      uhal_is_advertising = false;
      NRF_LOG_INFO("(HID)BLE_GAP_EVT_ADV_SET_TERMINATED");
      break;

    case BLE_GATTC_EVT_TIMEOUT:
      NRF_LOG_INFO("(HID)GATT Client Timeout.");
      err_code = sd_ble_gap_disconnect(p_ble_evt->evt.gattc_evt.conn_handle,
                                       BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION);
      APP_ERROR_CHECK(err_code);
      break;

    case BLE_GATTS_EVT_TIMEOUT:
      NRF_LOG_INFO("(HID)GATT Server Timeout.");
      err_code = sd_ble_gap_disconnect(p_ble_evt->evt.gatts_evt.conn_handle,
                                       BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION);
      APP_ERROR_CHECK(err_code);
      break;

    case BLE_GATTS_EVT_HVN_TX_COMPLETE:
      NRF_LOG_INFO("(HID)BLE_GATTS_EVT_HVN_TX_COMPLETE.");
      buffer_dequeue(true);
      break;

    default:
      break;
  }
}

NRF_SDH_BLE_OBSERVER(m_hid_ble_observer, HID_OBSERVER_PRIO, ble_hid_evt_handler, nullptr);
