// The HID service module: see ble_hids.h. Every attribute is open (no
// encryption asked for); values live in the stack.
#include "ble_hids.h"

#include <string.h>

namespace {

constexpr uint8_t kProtocolModeReport = 1;

struct CharDef {
  uint16_t uuid;
  ble_gatt_char_props_t props;
  uint16_t max_len;
  bool vlen;
  uint8_t const *init;
  uint16_t init_len;
};

ret_code_t add_char(uint16_t service_handle, const CharDef &def,
                    ble_gatts_char_handles_t *p_handles) {
  ble_uuid_t uuid = {def.uuid, BLE_UUID_TYPE_BLE};
  ble_gatts_attr_md_t attr_md;
  memset(&attr_md, 0, sizeof(attr_md));
  if (def.props.read) {
    BLE_GAP_CONN_SEC_MODE_SET_OPEN(&attr_md.read_perm);
  } else {
    BLE_GAP_CONN_SEC_MODE_SET_NO_ACCESS(&attr_md.read_perm);
  }
  if (def.props.write || def.props.write_wo_resp) {
    BLE_GAP_CONN_SEC_MODE_SET_OPEN(&attr_md.write_perm);
  } else {
    BLE_GAP_CONN_SEC_MODE_SET_NO_ACCESS(&attr_md.write_perm);
  }
  attr_md.vloc = BLE_GATTS_VLOC_STACK;
  attr_md.vlen = def.vlen ? 1 : 0;

  ble_gatts_char_md_t char_md;
  memset(&char_md, 0, sizeof(char_md));
  char_md.char_props = def.props;

  ble_gatts_attr_t value;
  memset(&value, 0, sizeof(value));
  value.p_uuid = &uuid;
  value.p_attr_md = &attr_md;
  value.init_len = def.init_len;
  value.max_len = def.max_len;
  value.p_value = const_cast<uint8_t *>(def.init);
  return sd_ble_gatts_characteristic_add(service_handle, &char_md, &value, p_handles);
}

ret_code_t add_report(uint16_t service_handle, ble_hids_rep_char_init_t const &init,
                      ble_hids_rep_char_t *p_rep) {
  CharDef def{BLE_UUID_REPORT_CHAR, {}, init.max_len, true, nullptr, 0};
  def.props.read = 1;
  switch (init.rep_ref.report_type) {
    case BLE_HIDS_REP_TYPE_INPUT:
      def.props.notify = 1;
      break;
    case BLE_HIDS_REP_TYPE_OUTPUT:
      def.props.write = 1;
      def.props.write_wo_resp = 1;
      break;
    default:
      def.props.write = 1;
      break;
  }
  ret_code_t err = add_char(service_handle, def, &p_rep->char_handles);
  if (err != NRF_SUCCESS) return err;
  p_rep->max_len = init.max_len;

  uint8_t ref[2] = {init.rep_ref.report_id, init.rep_ref.report_type};
  ble_uuid_t uuid = {BLE_UUID_REPORT_REF_DESCR, BLE_UUID_TYPE_BLE};
  ble_gatts_attr_md_t md;
  memset(&md, 0, sizeof(md));
  BLE_GAP_CONN_SEC_MODE_SET_OPEN(&md.read_perm);
  BLE_GAP_CONN_SEC_MODE_SET_NO_ACCESS(&md.write_perm);
  md.vloc = BLE_GATTS_VLOC_STACK;
  ble_gatts_attr_t descr;
  memset(&descr, 0, sizeof(descr));
  descr.p_uuid = &uuid;
  descr.p_attr_md = &md;
  descr.init_len = sizeof(ref);
  descr.max_len = sizeof(ref);
  descr.p_value = ref;
  return sd_ble_gatts_descriptor_add(p_rep->char_handles.value_handle, &descr, &p_rep->ref_handle);
}

void raise(ble_hids_t *p_hids, ble_hids_evt_t *p_evt) {
  if (p_hids->evt_handler != nullptr) p_hids->evt_handler(p_hids, p_evt);
}

// A write to one of the report characteristics of `array`: its value or
// (for input reports) its CCCD.
bool on_report_write(ble_hids_t *p_hids, ble_gatts_evt_write_t const &w,
                     ble_hids_rep_char_t const *array, uint8_t count, uint8_t rep_type,
                     ble_hids_evt_t *p_evt) {
  for (uint8_t i = 0; i < count; ++i) {
    ble_gatts_char_handles_t const &h = array[i].char_handles;
    const ble_hids_char_id_t id = {BLE_UUID_REPORT_CHAR, rep_type, i};
    if (w.handle == h.value_handle) {
      p_evt->evt_type = BLE_HIDS_EVT_REP_CHAR_WRITE;
      p_evt->params.char_write.char_id = id;
      p_evt->params.char_write.offset = w.offset;
      p_evt->params.char_write.len = w.len;
      p_evt->params.char_write.data = w.data;
      raise(p_hids, p_evt);
      return true;
    }
    if (h.cccd_handle != BLE_GATT_HANDLE_INVALID && w.handle == h.cccd_handle && w.len == 2) {
      p_evt->evt_type =
          (w.data[0] & 0x01) ? BLE_HIDS_EVT_NOTIF_ENABLED : BLE_HIDS_EVT_NOTIF_DISABLED;
      p_evt->params.notification.char_id = id;
      raise(p_hids, p_evt);
      return true;
    }
  }
  return false;
}

void on_write(ble_hids_t *p_hids, ble_evt_t const *p_ble_evt) {
  ble_gatts_evt_write_t const &w = p_ble_evt->evt.gatts_evt.params.write;
  ble_hids_evt_t evt;
  memset(&evt, 0, sizeof(evt));
  evt.p_ble_evt = p_ble_evt;

  if (w.handle == p_hids->protocol_mode_handles.value_handle) {
    if (w.len != 1 || w.data[0] > kProtocolModeReport) return;
    evt.evt_type =
        w.data[0] == 0 ? BLE_HIDS_EVT_BOOT_MODE_ENTERED : BLE_HIDS_EVT_REPORT_MODE_ENTERED;
    raise(p_hids, &evt);
    return;
  }
  if (w.handle == p_hids->hid_control_point_handles.value_handle) {
    if (w.len != 1 || w.data[0] > 1) return;
    evt.evt_type = w.data[0] == 0 ? BLE_HIDS_EVT_HOST_SUSP : BLE_HIDS_EVT_HOST_EXIT_SUSP;
    raise(p_hids, &evt);
    return;
  }
  if (w.handle == p_hids->boot_kb_inp_rep_handles.cccd_handle && w.len == 2) {
    evt.evt_type = (w.data[0] & 0x01) ? BLE_HIDS_EVT_NOTIF_ENABLED : BLE_HIDS_EVT_NOTIF_DISABLED;
    evt.params.notification.char_id = {BLE_UUID_BOOT_KEYBOARD_INPUT_REPORT_CHAR, 0, 0};
    raise(p_hids, &evt);
    return;
  }
  if (w.handle == p_hids->boot_kb_outp_rep_handles.value_handle) {
    evt.evt_type = BLE_HIDS_EVT_REP_CHAR_WRITE;
    evt.params.char_write.char_id = {BLE_UUID_BOOT_KEYBOARD_OUTPUT_REPORT_CHAR, 0, 0};
    evt.params.char_write.offset = w.offset;
    evt.params.char_write.len = w.len;
    evt.params.char_write.data = w.data;
    raise(p_hids, &evt);
    return;
  }
  if (on_report_write(p_hids, w, p_hids->inp_rep_array, p_hids->inp_rep_count,
                      BLE_HIDS_REP_TYPE_INPUT, &evt)) {
    return;
  }
  if (on_report_write(p_hids, w, p_hids->outp_rep_array, p_hids->outp_rep_count,
                      BLE_HIDS_REP_TYPE_OUTPUT, &evt)) {
    return;
  }
  on_report_write(p_hids, w, p_hids->feature_rep_array, p_hids->feature_rep_count,
                  BLE_HIDS_REP_TYPE_FEATURE, &evt);
}

ret_code_t send(uint16_t conn_handle, uint16_t value_handle, uint16_t len, uint8_t const *p_data) {
  ble_gatts_hvx_params_t hvx;
  memset(&hvx, 0, sizeof(hvx));
  uint16_t hvx_len = len;
  hvx.handle = value_handle;
  hvx.type = BLE_GATT_HVX_NOTIFICATION;
  hvx.offset = 0;
  hvx.p_len = &hvx_len;
  hvx.p_data = p_data;
  ret_code_t err = sd_ble_gatts_hvx(conn_handle, &hvx);
  if (err == NRF_SUCCESS && hvx_len != len) return NRF_ERROR_DATA_SIZE;
  return err;
}

}  // namespace

ret_code_t ble_hids_init(ble_hids_t *p_hids, ble_hids_init_t const *p_init) {
  if (p_hids == nullptr || p_init == nullptr) return NRF_ERROR_NULL;
  if (p_init->inp_rep_count > BLE_HIDS_MAX_INPUT_REP ||
      p_init->outp_rep_count > BLE_HIDS_MAX_OUTPUT_REP ||
      p_init->feature_rep_count > BLE_HIDS_MAX_FEATURE_REP || p_init->rep_map.p_data == nullptr ||
      p_init->rep_map.data_len == 0 || p_init->rep_map.data_len > BLE_GATTS_VAR_ATTR_LEN_MAX) {
    return NRF_ERROR_INVALID_PARAM;
  }
  memset(p_hids, 0, sizeof(*p_hids));
  p_hids->evt_handler = p_init->evt_handler;
  p_hids->error_handler = p_init->error_handler;

  ble_uuid_t uuid = {BLE_UUID_HUMAN_INTERFACE_DEVICE_SERVICE, BLE_UUID_TYPE_BLE};
  ret_code_t err =
      sd_ble_gatts_service_add(BLE_GATTS_SRVC_TYPE_PRIMARY, &uuid, &p_hids->service_handle);
  if (err != NRF_SUCCESS) return err;
  const uint16_t svc = p_hids->service_handle;

  const uint8_t protocol_mode = kProtocolModeReport;
  CharDef pm{BLE_UUID_PROTOCOL_MODE_CHAR, {}, 1, false, &protocol_mode, 1};
  pm.props.read = 1;
  pm.props.write_wo_resp = 1;
  if ((err = add_char(svc, pm, &p_hids->protocol_mode_handles)) != NRF_SUCCESS) return err;

  for (uint8_t i = 0; i < p_init->inp_rep_count; ++i) {
    if ((err = add_report(svc, p_init->p_inp_rep_array[i], &p_hids->inp_rep_array[i])) !=
        NRF_SUCCESS)
      return err;
  }
  p_hids->inp_rep_count = p_init->inp_rep_count;
  for (uint8_t i = 0; i < p_init->outp_rep_count; ++i) {
    if ((err = add_report(svc, p_init->p_outp_rep_array[i], &p_hids->outp_rep_array[i])) !=
        NRF_SUCCESS)
      return err;
  }
  p_hids->outp_rep_count = p_init->outp_rep_count;
  for (uint8_t i = 0; i < p_init->feature_rep_count; ++i) {
    if ((err = add_report(svc, p_init->p_feature_rep_array[i], &p_hids->feature_rep_array[i])) !=
        NRF_SUCCESS)
      return err;
  }
  p_hids->feature_rep_count = p_init->feature_rep_count;

  CharDef map{BLE_UUID_REPORT_MAP_CHAR, {}, p_init->rep_map.data_len, false, p_init->rep_map.p_data,
              p_init->rep_map.data_len};
  map.props.read = 1;
  if ((err = add_char(svc, map, &p_hids->rep_map_handles)) != NRF_SUCCESS) return err;

  if (p_init->is_kb) {
    const uint8_t none[BLE_HIDS_BOOT_KB_INPUT_REP_LEN] = {};
    CharDef in{BLE_UUID_BOOT_KEYBOARD_INPUT_REPORT_CHAR,
               {},
               BLE_HIDS_BOOT_KB_INPUT_REP_LEN,
               false,
               none,
               BLE_HIDS_BOOT_KB_INPUT_REP_LEN};
    in.props.read = 1;
    in.props.notify = 1;
    if ((err = add_char(svc, in, &p_hids->boot_kb_inp_rep_handles)) != NRF_SUCCESS) return err;
    CharDef out{BLE_UUID_BOOT_KEYBOARD_OUTPUT_REPORT_CHAR,
                {},
                BLE_HIDS_BOOT_KB_OUTPUT_REP_LEN,
                false,
                none,
                BLE_HIDS_BOOT_KB_OUTPUT_REP_LEN};
    out.props.read = 1;
    out.props.write = 1;
    out.props.write_wo_resp = 1;
    if ((err = add_char(svc, out, &p_hids->boot_kb_outp_rep_handles)) != NRF_SUCCESS) return err;
  }

  const ble_hids_hid_information_t &hi = p_init->hid_information;
  const uint8_t info[4] = {static_cast<uint8_t>(hi.bcd_hid), static_cast<uint8_t>(hi.bcd_hid >> 8),
                           hi.b_country_code, hi.flags};
  CharDef inf{BLE_UUID_HID_INFORMATION_CHAR, {}, sizeof(info), false, info, sizeof(info)};
  inf.props.read = 1;
  if ((err = add_char(svc, inf, &p_hids->hid_information_handles)) != NRF_SUCCESS) return err;

  const uint8_t cp = 0;
  CharDef ctl{BLE_UUID_HID_CONTROL_POINT_CHAR, {}, 1, false, &cp, 1};
  ctl.props.write_wo_resp = 1;
  if ((err = add_char(svc, ctl, &p_hids->hid_control_point_handles)) != NRF_SUCCESS) return err;

  p_hids->initialized = true;
  return NRF_SUCCESS;
}

ret_code_t ble_hids_inp_rep_send(ble_hids_t *p_hids, uint8_t rep_index, uint16_t len,
                                 uint8_t const *p_data, uint16_t conn_handle) {
  if (p_hids == nullptr || p_data == nullptr) return NRF_ERROR_NULL;
  if (!p_hids->initialized || rep_index >= p_hids->inp_rep_count ||
      len > p_hids->inp_rep_array[rep_index].max_len) {
    return NRF_ERROR_INVALID_PARAM;
  }
  return send(conn_handle, p_hids->inp_rep_array[rep_index].char_handles.value_handle, len, p_data);
}

ret_code_t ble_hids_boot_kb_inp_rep_send(ble_hids_t *p_hids, uint16_t len, uint8_t const *p_data,
                                         uint16_t conn_handle) {
  if (p_hids == nullptr || p_data == nullptr) return NRF_ERROR_NULL;
  if (!p_hids->initialized || p_hids->boot_kb_inp_rep_handles.value_handle == 0 ||
      len > BLE_HIDS_BOOT_KB_INPUT_REP_LEN) {
    return NRF_ERROR_INVALID_PARAM;
  }
  return send(conn_handle, p_hids->boot_kb_inp_rep_handles.value_handle, len, p_data);
}

void ble_hids_on_ble_evt(ble_evt_t const *p_ble_evt, void *p_context) {
  ble_hids_t *p_hids = static_cast<ble_hids_t *>(p_context);
  if (p_hids == nullptr || p_ble_evt == nullptr || !p_hids->initialized) return;
  if (p_ble_evt->header.evt_id == BLE_GATTS_EVT_WRITE) on_write(p_hids, p_ble_evt);
}
