// The SDK's BLE modules on the stack stand-in: advertising data, the
// advertising module, GATT, connection parameters, the peer manager with its
// standard handlers, the service helpers, the serial service, the buttonless
// DFU service, queued writes, and the central-role modules the images set up
// without using (scanning, discovery, serial client).
#include <algorithm>
#include <cstring>
#include <vector>

#include "app_error.h"
#include "ble_advdata.h"
#include "ble_advertising.h"
#include "ble_conn_params.h"
#include "ble_db_discovery.h"
#include "ble_dfu.h"
#include "ble_nus.h"
#include "ble_nus_c.h"
#include "ble_srv_common.h"
#include "internal.h"
#include "nrf.h"
#include "nrf_ble_gatt.h"
#include "nrf_ble_qwr.h"
#include "nrf_ble_scan.h"
#include "nrf_log.h"
#include "nrf_sdh_ble.h"
#include "nrf_soc.h"
#include "peer_manager.h"
#include "peer_manager_handler.h"
#include "sim/sim.h"

using nrfble::defer;
using nrfble::link;

// ---------------------------------------------------- advertising data --
namespace {

bool put_ad(uint8_t* buf, uint16_t room, uint16_t* at, uint8_t type, const uint8_t* d, size_t n) {
  if (*at + 2u + n > room) return false;
  buf[(*at)++] = static_cast<uint8_t>(n + 1);
  buf[(*at)++] = type;
  if (n) std::memcpy(buf + *at, d, n);
  *at = static_cast<uint16_t>(*at + n);
  return true;
}

ret_code_t uuid_list(const ble_advdata_uuid_list_t& l, uint8_t type16, uint8_t type128,
                     uint8_t* buf, uint16_t room, uint16_t* at) {
  if (!l.uuid_cnt) return NRF_SUCCESS;
  if (!l.p_uuids) return NRF_ERROR_INVALID_PARAM;
  std::vector<uint8_t> u16, u128;
  for (uint16_t i = 0; i < l.uuid_cnt; ++i) {
    std::vector<uint8_t> b;
    if (!nrfble::uuid_bytes(l.p_uuids[i], &b)) return NRF_ERROR_INVALID_PARAM;
    (b.size() == 2 ? u16 : u128).insert((b.size() == 2 ? u16 : u128).end(), b.begin(), b.end());
  }
  if (!u16.empty() && !put_ad(buf, room, at, type16, u16.data(), u16.size()))
    return NRF_ERROR_DATA_SIZE;
  if (!u128.empty() && !put_ad(buf, room, at, type128, u128.data(), u128.size()))
    return NRF_ERROR_DATA_SIZE;
  return NRF_SUCCESS;
}

}  // namespace

ret_code_t ble_advdata_encode(ble_advdata_t const* p, uint8_t* out, uint16_t* p_len) {
  if (!p || !out || !p_len) return NRF_ERROR_NULL;
  const uint16_t room = *p_len;
  uint16_t at = 0;
  if (p->flags && !put_ad(out, room, &at, BLE_GAP_AD_TYPE_FLAGS, &p->flags, 1))
    return NRF_ERROR_DATA_SIZE;
  if (p->include_appearance) {
    uint8_t a[2] = {0, 0};
    if (!put_ad(out, room, &at, BLE_GAP_AD_TYPE_APPEARANCE, a, 2)) return NRF_ERROR_DATA_SIZE;
  }
  if (p->p_tx_power_level) {
    const uint8_t t = static_cast<uint8_t>(*p->p_tx_power_level);
    if (!put_ad(out, room, &at, BLE_GAP_AD_TYPE_TX_POWER_LEVEL, &t, 1)) return NRF_ERROR_DATA_SIZE;
  }
  ret_code_t r =
      uuid_list(p->uuids_more_available, BLE_GAP_AD_TYPE_16BIT_SERVICE_UUID_MORE_AVAILABLE,
                BLE_GAP_AD_TYPE_128BIT_SERVICE_UUID_MORE_AVAILABLE, out, room, &at);
  if (r) return r;
  r = uuid_list(p->uuids_complete, BLE_GAP_AD_TYPE_16BIT_SERVICE_UUID_COMPLETE,
                BLE_GAP_AD_TYPE_128BIT_SERVICE_UUID_COMPLETE, out, room, &at);
  if (r) return r;
  r = uuid_list(p->uuids_solicited, 0x14, 0x15, out, room, &at);
  if (r) return r;
  if (p->p_slave_conn_int) {
    const uint8_t c[4] = {static_cast<uint8_t>(p->p_slave_conn_int->min_conn_interval),
                          static_cast<uint8_t>(p->p_slave_conn_int->min_conn_interval >> 8),
                          static_cast<uint8_t>(p->p_slave_conn_int->max_conn_interval),
                          static_cast<uint8_t>(p->p_slave_conn_int->max_conn_interval >> 8)};
    if (!put_ad(out, room, &at, BLE_GAP_AD_TYPE_SLAVE_CONNECTION_INTERVAL_RANGE, c, 4))
      return NRF_ERROR_DATA_SIZE;
  }
  if (p->p_manuf_specific_data) {
    const ble_advdata_manuf_data_t& m = *p->p_manuf_specific_data;
    if (m.data.size && !m.data.p_data) return NRF_ERROR_INVALID_PARAM;
    std::vector<uint8_t> v = {static_cast<uint8_t>(m.company_identifier),
                              static_cast<uint8_t>(m.company_identifier >> 8)};
    if (m.data.size) v.insert(v.end(), m.data.p_data, m.data.p_data + m.data.size);
    if (!put_ad(out, room, &at, BLE_GAP_AD_TYPE_MANUFACTURER_SPECIFIC_DATA, v.data(), v.size()))
      return NRF_ERROR_DATA_SIZE;
  }
  // The name goes last: a full name that does not fit is cut and sent as a
  // short name.
  if (p->name_type != BLE_ADVDATA_NO_NAME) {
    const std::string name = nrfble::device_name();
    if (at + 2u > room) return NRF_ERROR_DATA_SIZE;
    size_t n = name.size();
    uint8_t type = BLE_GAP_AD_TYPE_COMPLETE_LOCAL_NAME;
    if (p->name_type == BLE_ADVDATA_SHORT_NAME && p->short_name_len < n) {
      n = p->short_name_len;
      type = BLE_GAP_AD_TYPE_SHORT_LOCAL_NAME;
    }
    if (at + 2u + n > room) {
      n = room - at - 2u;
      type = BLE_GAP_AD_TYPE_SHORT_LOCAL_NAME;
    }
    put_ad(out, room, &at, type, reinterpret_cast<const uint8_t*>(name.data()), n);
  }
  *p_len = at;
  return NRF_SUCCESS;
}

// ---------------------------------------------------- advertising module --
namespace {

uint32_t adv_configure(ble_advertising_t* a) {
  return sd_ble_gap_adv_set_configure(&a->adv_handle, &a->adv_data, &a->adv_params);
}

}  // namespace

uint32_t ble_advertising_init(ble_advertising_t* a, ble_advertising_init_t const* init) {
  if (!a || !init) return NRF_ERROR_NULL;
  a->initialized = true;
  a->adv_mode_current = BLE_ADV_MODE_IDLE;
  a->adv_modes_config = init->config;
  a->conn_cfg_tag = 0;
  a->evt_handler = init->evt_handler;
  a->error_handler = init->error_handler;
  a->current_slave_link_conn_handle = BLE_CONN_HANDLE_INVALID;
  a->adv_handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
  a->adv_params = {};
  a->adv_params.properties.type = BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED;
  a->adv_params.interval = init->config.ble_adv_fast_interval;
  a->adv_params.duration = static_cast<uint16_t>(init->config.ble_adv_fast_timeout);
  a->adv_params.primary_phy = BLE_GAP_PHY_1MBPS;
  uint16_t len = BLE_GAP_ADV_SET_DATA_SIZE_MAX;
  uint32_t r = ble_advdata_encode(&init->advdata, a->enc_advdata, &len);
  if (r) return r;
  a->adv_data.adv_data = {a->enc_advdata, len};
  len = BLE_GAP_ADV_SET_DATA_SIZE_MAX;
  r = ble_advdata_encode(&init->srdata, a->enc_scan_rsp_data, &len);
  if (r) return r;
  a->adv_data.scan_rsp_data = {a->enc_scan_rsp_data, len};
  return adv_configure(a);
}

void ble_advertising_conn_cfg_tag_set(ble_advertising_t* a, uint8_t tag) { a->conn_cfg_tag = tag; }

void ble_advertising_modes_config_set(ble_advertising_t* a, ble_adv_modes_config_t const* c) {
  a->adv_modes_config = *c;
}

uint32_t ble_advertising_start(ble_advertising_t* a, ble_adv_mode_t mode) {
  if (!a || !a->initialized) return NRF_ERROR_INVALID_STATE;
  const ble_adv_modes_config_t& c = a->adv_modes_config;
  // The first enabled mode from the one asked for.
  if (mode == BLE_ADV_MODE_DIRECTED_HIGH_DUTY && !c.ble_adv_directed_high_duty_enabled)
    mode = BLE_ADV_MODE_DIRECTED;
  if (mode == BLE_ADV_MODE_DIRECTED && !c.ble_adv_directed_enabled) mode = BLE_ADV_MODE_FAST;
  if (mode == BLE_ADV_MODE_FAST && !c.ble_adv_fast_enabled) mode = BLE_ADV_MODE_SLOW;
  if (mode == BLE_ADV_MODE_SLOW && !c.ble_adv_slow_enabled) mode = BLE_ADV_MODE_IDLE;
  a->adv_mode_current = mode;
  if (mode == BLE_ADV_MODE_IDLE) {
    a->adv_evt = BLE_ADV_EVT_IDLE;
    if (a->evt_handler) a->evt_handler(BLE_ADV_EVT_IDLE);
    return NRF_SUCCESS;
  }
  const bool fast = mode != BLE_ADV_MODE_SLOW;  // directed modes advertise as fast here
  a->adv_params.properties.type = BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED;
  a->adv_params.interval = fast ? c.ble_adv_fast_interval : c.ble_adv_slow_interval;
  a->adv_params.duration =
      static_cast<uint16_t>(fast ? c.ble_adv_fast_timeout : c.ble_adv_slow_timeout);
  a->adv_evt = fast ? BLE_ADV_EVT_FAST : BLE_ADV_EVT_SLOW;
  uint32_t r = adv_configure(a);
  if (r) return r;
  r = sd_ble_gap_adv_start(a->adv_handle, a->conn_cfg_tag);
  if (r) return r;
  if (a->evt_handler) a->evt_handler(a->adv_evt);
  return NRF_SUCCESS;
}

uint32_t ble_advertising_restart_without_whitelist(ble_advertising_t* a) {
  if (!a || !a->initialized) return NRF_ERROR_INVALID_STATE;
  a->whitelist_temporarily_disabled = true;
  (void)sd_ble_gap_adv_stop(a->adv_handle);
  return ble_advertising_start(a, a->adv_mode_current);
}

uint32_t ble_advertising_whitelist_reply(ble_advertising_t* a, ble_gap_addr_t const*, uint32_t,
                                         void const*, uint32_t) {
  if (!a || !a->initialized) return NRF_ERROR_INVALID_STATE;
  a->whitelist_in_use = true;
  return NRF_SUCCESS;
}

uint32_t ble_advertising_advdata_update(ble_advertising_t* a, ble_advdata_t const* adv,
                                        ble_advdata_t const* sr) {
  if (!a || !a->initialized) return NRF_ERROR_INVALID_STATE;
  uint16_t len = BLE_GAP_ADV_SET_DATA_SIZE_MAX;
  if (adv) {
    uint32_t r = ble_advdata_encode(adv, a->enc_advdata, &len);
    if (r) return r;
    a->adv_data.adv_data = {a->enc_advdata, len};
  }
  if (sr) {
    len = BLE_GAP_ADV_SET_DATA_SIZE_MAX;
    uint32_t r = ble_advdata_encode(sr, a->enc_scan_rsp_data, &len);
    if (r) return r;
    a->adv_data.scan_rsp_data = {a->enc_scan_rsp_data, len};
  }
  return sd_ble_gap_adv_set_configure(&a->adv_handle, &a->adv_data, nullptr);
}

void ble_advertising_on_ble_evt(ble_evt_t const* e, void* ctx) {
  auto* a = static_cast<ble_advertising_t*>(ctx);
  if (!a->initialized) return;
  switch (e->header.evt_id) {
    case BLE_GAP_EVT_CONNECTED:
      if (e->evt.gap_evt.params.connected.role == BLE_GAP_ROLE_PERIPH)
        a->current_slave_link_conn_handle = e->evt.gap_evt.conn_handle;
      break;
    case BLE_GAP_EVT_DISCONNECTED:
      if (e->evt.gap_evt.conn_handle == a->current_slave_link_conn_handle) {
        a->current_slave_link_conn_handle = BLE_CONN_HANDLE_INVALID;
        if (!a->adv_modes_config.ble_adv_on_disconnect_disabled) {
          uint32_t r = ble_advertising_start(a, BLE_ADV_MODE_DIRECTED_HIGH_DUTY);
          if (r && a->error_handler) a->error_handler(r);
        }
      }
      break;
    case BLE_GAP_EVT_ADV_SET_TERMINATED: {
      const auto& t = e->evt.gap_evt.params.adv_set_terminated;
      if (t.adv_handle != a->adv_handle) break;
      if (t.reason != BLE_GAP_EVT_ADV_SET_TERMINATED_REASON_TIMEOUT &&
          t.reason != BLE_GAP_EVT_ADV_SET_TERMINATED_REASON_LIMIT_REACHED)
        break;
      // On to the next mode: fast, then slow, then idle.
      ble_adv_mode_t next = BLE_ADV_MODE_IDLE;
      switch (a->adv_mode_current) {
        case BLE_ADV_MODE_DIRECTED_HIGH_DUTY:
          next = BLE_ADV_MODE_DIRECTED;
          break;
        case BLE_ADV_MODE_DIRECTED:
          next = BLE_ADV_MODE_FAST;
          break;
        case BLE_ADV_MODE_FAST:
          next = BLE_ADV_MODE_SLOW;
          break;
        default:
          break;
      }
      uint32_t r = ble_advertising_start(a, next);
      if (r && a->error_handler) a->error_handler(r);
      break;
    }
    default:
      break;
  }
}

// ----------------------------------------------------------------- GATT --
ret_code_t nrf_ble_gatt_init(nrf_ble_gatt_t* g, nrf_ble_gatt_evt_handler_t handler) {
  if (!g) return NRF_ERROR_NULL;
  g->att_mtu_desired_periph = NRF_SDH_BLE_GATT_MAX_MTU_SIZE;
  g->att_mtu_desired_central = NRF_SDH_BLE_GATT_MAX_MTU_SIZE;
  g->data_length = 251;
  g->att_mtu_effective = BLE_GATT_ATT_MTU_DEFAULT;
  g->evt_handler = handler;
  return NRF_SUCCESS;
}

ret_code_t nrf_ble_gatt_att_mtu_periph_set(nrf_ble_gatt_t* g, uint16_t mtu) {
  if (!g) return NRF_ERROR_NULL;
  if (mtu < BLE_GATT_ATT_MTU_DEFAULT || mtu > NRF_SDH_BLE_GATT_MAX_MTU_SIZE)
    return NRF_ERROR_INVALID_PARAM;
  g->att_mtu_desired_periph = mtu;
  return NRF_SUCCESS;
}

ret_code_t nrf_ble_gatt_att_mtu_central_set(nrf_ble_gatt_t* g, uint16_t mtu) {
  if (!g) return NRF_ERROR_NULL;
  if (mtu < BLE_GATT_ATT_MTU_DEFAULT || mtu > NRF_SDH_BLE_GATT_MAX_MTU_SIZE)
    return NRF_ERROR_INVALID_PARAM;
  g->att_mtu_desired_central = mtu;
  return NRF_SUCCESS;
}

uint16_t nrf_ble_gatt_eff_mtu_get(nrf_ble_gatt_t const* g, uint16_t conn_handle) {
  return conn_handle != BLE_CONN_HANDLE_INVALID && conn_handle == link() ? g->att_mtu_effective : 0;
}

void nrf_ble_gatt_on_ble_evt(ble_evt_t const* e, void* ctx) {
  auto* g = static_cast<nrf_ble_gatt_t*>(ctx);
  switch (e->header.evt_id) {
    case BLE_GAP_EVT_CONNECTED:
    case BLE_GAP_EVT_DISCONNECTED:
      g->att_mtu_effective = BLE_GATT_ATT_MTU_DEFAULT;
      break;
    case BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST: {
      const uint16_t conn = e->evt.gatts_evt.conn_handle;
      const uint16_t client = e->evt.gatts_evt.params.exchange_mtu_request.client_rx_mtu;
      const uint32_t r = sd_ble_gatts_exchange_mtu_reply(conn, g->att_mtu_desired_periph);
      if (r != NRF_SUCCESS) break;
      g->att_mtu_effective =
          std::max<uint16_t>(BLE_GATT_ATT_MTU_DEFAULT, std::min(client, g->att_mtu_desired_periph));
      if (g->evt_handler) {
        nrf_ble_gatt_evt_t evt{};
        evt.evt_id = NRF_BLE_GATT_EVT_ATT_MTU_UPDATED;
        evt.conn_handle = conn;
        evt.params.att_mtu_effective = g->att_mtu_effective;
        g->evt_handler(g, &evt);
      }
      break;
    }
    default:
      break;
  }
}

// -------------------------------------------------- connection parameters --
namespace {

struct ConnParams {
  bool initialized = false;
  ble_conn_params_init_t init{};
  ble_gap_conn_params_t preferred{};
  ble_gap_conn_params_t current{};
  uint8_t attempts = 0;
  sim::EventId timer = 0;
  uint32_t generation = 0;  // a timer of an earlier link does nothing
};

ConnParams& conn_params() {
  static ConnParams c;
  return c;
}

bool params_ok(const ble_gap_conn_params_t& cur, const ble_gap_conn_params_t& pref) {
  return cur.max_conn_interval >= pref.min_conn_interval &&
         cur.max_conn_interval <= pref.max_conn_interval &&
         cur.slave_latency == pref.slave_latency && cur.conn_sup_timeout == pref.conn_sup_timeout;
}

void conn_params_evt(ble_conn_params_evt_type_t type) {
  ConnParams& c = conn_params();
  if (type == BLE_CONN_PARAMS_EVT_FAILED && c.init.disconnect_on_fail) {
    (void)sd_ble_gap_disconnect(link(), BLE_HCI_CONN_INTERVAL_UNACCEPTABLE);
    return;
  }
  if (c.init.evt_handler) {
    ble_conn_params_evt_t evt{type, link()};
    c.init.evt_handler(&evt);
  }
}

void conn_params_stop_timer() {
  ConnParams& c = conn_params();
  if (c.timer) sim::cancel(c.timer);
  c.timer = 0;
}

void conn_params_attempt();

void conn_params_start_timer(uint32_t ticks) {
  ConnParams& c = conn_params();
  conn_params_stop_timer();
  const sim::time_us delay = static_cast<sim::time_us>(ticks) * 1000000u / 32768u;
  c.timer = sim::schedule(
      sim::now() + delay,
      [](void*, uint32_t gen) {
        conn_params().timer = 0;
        defer([gen] {
          if (gen == conn_params().generation) conn_params_attempt();
        });
      },
      nullptr, c.generation);
}

// The timer ran out: ask again, or give up after the last attempt.
void conn_params_attempt() {
  ConnParams& c = conn_params();
  if (link() == BLE_CONN_HANDLE_INVALID) return;
  if (c.attempts >= c.init.max_conn_params_update_count) {
    conn_params_evt(BLE_CONN_PARAMS_EVT_FAILED);
    return;
  }
  ++c.attempts;
  const uint32_t r = sd_ble_gap_conn_param_update(link(), &c.preferred);
  if (r != NRF_SUCCESS && c.init.error_handler) c.init.error_handler(r);
  conn_params_start_timer(c.init.next_conn_params_update_delay);
}

void conn_params_on_ble_evt(ble_evt_t const* e, void*) {
  ConnParams& c = conn_params();
  if (!c.initialized) return;
  switch (e->header.evt_id) {
    case BLE_GAP_EVT_CONNECTED:
      if (e->evt.gap_evt.params.connected.role != BLE_GAP_ROLE_PERIPH) break;
      ++c.generation;
      c.attempts = 0;
      c.current = e->evt.gap_evt.params.connected.conn_params;
      if (params_ok(c.current, c.preferred))
        conn_params_evt(BLE_CONN_PARAMS_EVT_SUCCEEDED);
      else
        conn_params_start_timer(c.init.first_conn_params_update_delay);
      break;
    case BLE_GAP_EVT_DISCONNECTED:
      ++c.generation;
      conn_params_stop_timer();
      break;
    case BLE_GAP_EVT_CONN_PARAM_UPDATE:
      c.current = e->evt.gap_evt.params.conn_param_update.conn_params;
      if (params_ok(c.current, c.preferred)) {
        conn_params_stop_timer();
        conn_params_evt(BLE_CONN_PARAMS_EVT_SUCCEEDED);
      } else if (!c.timer) {
        conn_params_start_timer(c.init.next_conn_params_update_delay);
      }
      break;
    default:
      break;
  }
}

NRF_SDH_BLE_OBSERVER(conn_params_obs, BLE_CONN_PARAMS_BLE_OBSERVER_PRIO, conn_params_on_ble_evt,
                     nullptr);

}  // namespace

uint32_t ble_conn_params_init(ble_conn_params_init_t const* p) {
  if (!p) return NRF_ERROR_NULL;
  ConnParams& c = conn_params();
  c.init = *p;
  if (p->p_conn_params) {
    c.preferred = *p->p_conn_params;
  } else {
    uint32_t r = sd_ble_gap_ppcp_get(&c.preferred);
    if (r) return r;
  }
  c.init.p_conn_params = nullptr;
  c.initialized = true;
  return NRF_SUCCESS;
}

uint32_t ble_conn_params_stop(void) {
  conn_params_stop_timer();
  return NRF_SUCCESS;
}

// ---------------------------------------------------------- peer manager --
namespace {

constexpr int kMaxRegistrants = 3;

struct PeerManager {
  bool initialized = false;
  pm_evt_handler_t handlers[kMaxRegistrants] = {};
  int n = 0;
  bool have_params = false;
  ble_gap_sec_params_t params{};
  bool config_reply = false;
  bool allow_repairing = false;
  std::vector<pm_peer_id_t> whitelist;
};

PeerManager& pm() {
  static PeerManager p;
  return p;
}

void pm_send(pm_evt_t const& evt) {
  PeerManager& p = pm();
  for (int i = 0; i < p.n; ++i) p.handlers[i](&evt);
}

pm_peer_id_t peer_of_link() {
  if (!nrfble::link_bonded_peer()) return PM_PEER_ID_INVALID;
  // Peer ids are positions in the bond list.
  return 0;
}

void pm_on_ble_evt(ble_evt_t const* e, void*) {
  PeerManager& p = pm();
  if (!p.initialized) return;
  const uint16_t conn = e->evt.gap_evt.conn_handle;
  pm_evt_t evt{};
  evt.conn_handle = conn;
  evt.peer_id = peer_of_link();
  switch (e->header.evt_id) {
    case BLE_GAP_EVT_CONNECTED:
      if (evt.peer_id != PM_PEER_ID_INVALID) {
        evt.evt_id = PM_EVT_BONDED_PEER_CONNECTED;
        pm_send(evt);
      }
      break;
    case BLE_GAP_EVT_SEC_PARAMS_REQUEST: {
      if (evt.peer_id != PM_PEER_ID_INVALID) {
        // A bonded peer pairs again only when the application allows it.
        p.config_reply = false;
        p.allow_repairing = false;
        evt.evt_id = PM_EVT_CONN_SEC_CONFIG_REQ;
        pm_send(evt);
        if (!p.allow_repairing) {
          (void)sd_ble_gap_sec_params_reply(conn, BLE_GAP_SEC_STATUS_PAIRING_NOT_SUPP, nullptr,
                                            nullptr);
          break;
        }
      }
      evt.evt_id = PM_EVT_CONN_SEC_START;
      evt.params.conn_sec_succeeded.procedure = p.have_params && p.params.bond
                                                    ? PM_CONN_SEC_PROCEDURE_BONDING
                                                    : PM_CONN_SEC_PROCEDURE_PAIRING;
      pm_send(evt);
      const uint32_t r =
          p.have_params
              ? sd_ble_gap_sec_params_reply(conn, BLE_GAP_SEC_STATUS_SUCCESS, &p.params, nullptr)
              : sd_ble_gap_sec_params_reply(conn, BLE_GAP_SEC_STATUS_PAIRING_NOT_SUPP, nullptr,
                                            nullptr);
      if (r != NRF_SUCCESS) {
        evt.evt_id = PM_EVT_ERROR_UNEXPECTED;
        evt.params.error_unexpected.error = r;
        pm_send(evt);
      }
      break;
    }
    case BLE_GAP_EVT_AUTH_STATUS: {
      const auto& a = e->evt.gap_evt.params.auth_status;
      if (a.auth_status == BLE_GAP_SEC_STATUS_SUCCESS) {
        evt.evt_id = PM_EVT_CONN_SEC_SUCCEEDED;
        evt.peer_id = peer_of_link();
        evt.params.conn_sec_succeeded.procedure =
            a.bonded ? PM_CONN_SEC_PROCEDURE_BONDING : PM_CONN_SEC_PROCEDURE_PAIRING;
      } else {
        evt.evt_id = PM_EVT_CONN_SEC_FAILED;
        evt.params.conn_sec_failed.procedure = PM_CONN_SEC_PROCEDURE_PAIRING;
        evt.params.conn_sec_failed.error = a.auth_status;
      }
      pm_send(evt);
      break;
    }
    default:
      break;
  }
}

NRF_SDH_BLE_OBSERVER(pm_obs, PM_BLE_OBSERVER_PRIO, pm_on_ble_evt, nullptr);

}  // namespace

ret_code_t pm_init(void) {
  PeerManager& p = pm();
  // A new start (the stack was enabled again) registers its handlers anew.
  p.initialized = true;
  p.n = 0;
  p.have_params = false;
  p.whitelist.clear();
  return NRF_SUCCESS;
}

ret_code_t pm_register(pm_evt_handler_t handler) {
  PeerManager& p = pm();
  if (!p.initialized) return NRF_ERROR_INVALID_STATE;
  if (!handler) return NRF_ERROR_NULL;
  if (p.n >= kMaxRegistrants) return NRF_ERROR_NO_MEM;
  p.handlers[p.n++] = handler;
  return NRF_SUCCESS;
}

ret_code_t pm_sec_params_set(ble_gap_sec_params_t* s) {
  PeerManager& p = pm();
  if (!p.initialized) return NRF_ERROR_INVALID_STATE;
  if (!s) {
    p.have_params = false;
    nrfble::set_own_sec_params(nullptr);
    return NRF_SUCCESS;
  }
  if (s->min_key_size < 7 || s->max_key_size > 16 || s->min_key_size > s->max_key_size ||
      s->io_caps > BLE_GAP_IO_CAPS_KEYBOARD_DISPLAY)
    return NRF_ERROR_INVALID_PARAM;
  p.params = *s;
  p.have_params = true;
  nrfble::set_own_sec_params(s);
  return NRF_SUCCESS;
}

void pm_conn_sec_config_reply(uint16_t, pm_conn_sec_config_t* c) {
  PeerManager& p = pm();
  p.config_reply = true;
  p.allow_repairing = c && c->allow_repairing;
}

ret_code_t pm_conn_secure(uint16_t conn_handle, bool) {
  PeerManager& p = pm();
  if (!p.initialized) return NRF_ERROR_INVALID_STATE;
  if (conn_handle == BLE_CONN_HANDLE_INVALID || conn_handle != link())
    return BLE_ERROR_INVALID_CONN_HANDLE;
  nrfble::request_security(p.have_params && p.params.mitm);
  return NRF_SUCCESS;
}

ret_code_t pm_peers_delete(void) {
  if (!pm().initialized) return NRF_ERROR_INVALID_STATE;
  nrfble::forget_bonds();
  defer([] {
    pm_evt_t evt{};
    evt.evt_id = PM_EVT_PEERS_DELETE_SUCCEEDED;
    evt.conn_handle = BLE_CONN_HANDLE_INVALID;
    evt.peer_id = PM_PEER_ID_INVALID;
    pm_send(evt);
  });
  return NRF_SUCCESS;
}

uint32_t pm_peer_count(void) { return nrfble::bond_count(); }

ret_code_t pm_peer_id_list(pm_peer_id_t* list, uint32_t* const p_size, pm_peer_id_t first,
                           uint32_t) {
  if (!list || !p_size) return NRF_ERROR_NULL;
  const uint32_t count = nrfble::bond_count();
  uint32_t n = 0;
  for (uint32_t id = first == PM_PEER_ID_INVALID ? 0 : first; id < count && n < *p_size; ++id)
    list[n++] = static_cast<pm_peer_id_t>(id);
  *p_size = n;
  return NRF_SUCCESS;
}

ret_code_t pm_whitelist_set(pm_peer_id_t const* peers, uint32_t n) {
  PeerManager& p = pm();
  if (!p.initialized) return NRF_ERROR_INVALID_STATE;
  if (n && !peers) return NRF_ERROR_NULL;
  if (n > 8) return NRF_ERROR_NO_MEM;
  for (uint32_t i = 0; i < n; ++i)
    if (peers[i] >= nrfble::bond_count()) return NRF_ERROR_NOT_FOUND;
  p.whitelist.assign(peers, peers + n);
  return NRF_SUCCESS;
}

ret_code_t pm_whitelist_get(ble_gap_addr_t* addrs, uint32_t* p_addr_cnt, void*,
                            uint32_t* p_irk_cnt) {
  if (!addrs || !p_addr_cnt) return NRF_ERROR_NULL;
  const std::vector<ble_gap_addr_t> bonds = nrfble::bonded_addresses();
  uint32_t n = 0;
  for (pm_peer_id_t id : pm().whitelist)
    if (id < bonds.size() && n < *p_addr_cnt) addrs[n++] = bonds[id];
  *p_addr_cnt = n;
  if (p_irk_cnt) *p_irk_cnt = 0;
  return NRF_SUCCESS;
}

ret_code_t pm_device_identities_list_set(pm_peer_id_t const* peers, uint32_t n) {
  if (!pm().initialized) return NRF_ERROR_INVALID_STATE;
  if (n && !peers) return NRF_ERROR_NULL;
  for (uint32_t i = 0; i < n; ++i)
    if (peers[i] >= nrfble::bond_count()) return NRF_ERROR_NOT_FOUND;
  return NRF_SUCCESS;
}

void pm_handler_on_pm_evt(pm_evt_t const* e) {
  switch (e->evt_id) {
    case PM_EVT_CONN_SEC_SUCCEEDED:
      NRF_LOG_INFO("Connection secured: role: Peripheral, conn_handle: 0x%x, procedure: %d",
                   e->conn_handle, e->params.conn_sec_succeeded.procedure);
      break;
    case PM_EVT_CONN_SEC_FAILED:
      NRF_LOG_INFO("Connection security failed: conn_handle: 0x%x, error: %d", e->conn_handle,
                   e->params.conn_sec_failed.error);
      break;
    case PM_EVT_ERROR_UNEXPECTED:
      APP_ERROR_CHECK(e->params.error_unexpected.error);
      break;
    case PM_EVT_PEERS_DELETE_FAILED:
      APP_ERROR_CHECK(e->params.peers_delete_failed_evt.error);
      break;
    default:
      break;
  }
}

void pm_handler_disconnect_on_sec_failure(pm_evt_t const* e) {
  if (e->evt_id != PM_EVT_CONN_SEC_FAILED) return;
  NRF_LOG_WARNING("Disconnecting conn_handle %d.", e->conn_handle);
  (void)sd_ble_gap_disconnect(e->conn_handle, BLE_HCI_AUTHENTICATION_FAILURE);
}

void pm_handler_flash_clean(pm_evt_t const*) {}

void pm_handler_secure_on_connection(ble_evt_t const* e) {
  if (e->header.evt_id != BLE_GAP_EVT_CONNECTED) return;
  if (e->evt.gap_evt.params.connected.role != BLE_GAP_ROLE_PERIPH) return;
  if (!pm().initialized || !pm().have_params) return;
  (void)pm_conn_secure(e->evt.gap_evt.conn_handle, false);
}

// ------------------------------------------------------- service helpers --
namespace {
void set_security(ble_gap_conn_sec_mode_t* m, security_req_t r) {
  m->sm = r == SEC_NO_ACCESS ? 0 : 1;
  m->lv = static_cast<uint8_t>(r);
}
}  // namespace

uint32_t characteristic_add(uint16_t service_handle, ble_add_char_params_t* p,
                            ble_gatts_char_handles_t* handles) {
  if (!p || !handles) return NRF_ERROR_NULL;
  ble_uuid_t uuid = {p->uuid, p->uuid_type};
  ble_gatts_attr_md_t attr_md{};
  set_security(&attr_md.read_perm, p->read_access);
  set_security(&attr_md.write_perm, p->write_access);
  attr_md.vlen = p->is_var_len;
  attr_md.vloc = BLE_GATTS_VLOC_STACK;
  attr_md.rd_auth = p->is_defered_read;
  attr_md.wr_auth = p->is_defered_write;
  ble_gatts_attr_md_t cccd_md{};
  set_security(&cccd_md.read_perm, SEC_OPEN);
  set_security(&cccd_md.write_perm, p->cccd_write_access);
  ble_gatts_char_md_t char_md{};
  char_md.char_props = p->char_props;
  char_md.char_ext_props = p->char_ext_props;
  if (p->char_props.notify || p->char_props.indicate) char_md.p_cccd_md = &cccd_md;
  ble_gatts_attr_t attr{};
  attr.p_uuid = &uuid;
  attr.p_attr_md = &attr_md;
  attr.init_len = p->init_len;
  attr.max_len = p->max_len;
  attr.p_value = p->p_init_value;
  return sd_ble_gatts_characteristic_add(service_handle, &char_md, &attr, handles);
}

bool ble_srv_is_notification_enabled(uint8_t const* d) { return d && (d[0] & 1); }
bool ble_srv_is_indication_enabled(uint8_t const* d) { return d && (d[0] & 2); }

// -------------------------------------------------------- serial service --
uint32_t ble_nus_init(ble_nus_t* nus, ble_nus_init_t const* init) {
  if (!nus || !init) return NRF_ERROR_NULL;
  nus->data_handler = init->data_handler;
  nus->is_notification_enabled = false;
  ble_uuid128_t base = NUS_BASE_UUID;
  uint32_t r = sd_ble_uuid_vs_add(&base, &nus->uuid_type);
  if (r) return r;
  ble_uuid_t su = {BLE_UUID_NUS_SERVICE, nus->uuid_type};
  r = sd_ble_gatts_service_add(BLE_GATTS_SRVC_TYPE_PRIMARY, &su, &nus->service_handle);
  if (r) return r;
  ble_add_char_params_t rx{};
  rx.uuid = BLE_UUID_NUS_RX_CHARACTERISTIC;
  rx.uuid_type = nus->uuid_type;
  rx.max_len = BLE_NUS_MAX_RX_CHAR_LEN;
  rx.init_len = 1;
  rx.is_var_len = true;
  rx.char_props.write = 1;
  rx.char_props.write_wo_resp = 1;
  rx.read_access = SEC_OPEN;
  rx.write_access = SEC_OPEN;
  r = characteristic_add(nus->service_handle, &rx, &nus->rx_handles);
  if (r) return r;
  ble_add_char_params_t tx{};
  tx.uuid = BLE_UUID_NUS_TX_CHARACTERISTIC;
  tx.uuid_type = nus->uuid_type;
  tx.max_len = BLE_NUS_MAX_TX_CHAR_LEN;
  tx.init_len = 1;
  tx.is_var_len = true;
  tx.char_props.notify = 1;
  tx.read_access = SEC_OPEN;
  tx.write_access = SEC_OPEN;
  tx.cccd_write_access = SEC_OPEN;
  return characteristic_add(nus->service_handle, &tx, &nus->tx_handles);
}

void ble_nus_on_ble_evt(ble_evt_t const* e, void* ctx) {
  auto* nus = static_cast<ble_nus_t*>(ctx);
  if (!nus->service_handle) return;
  ble_nus_evt_t evt{};
  evt.p_nus = nus;
  evt.conn_handle = e->evt.gatts_evt.conn_handle;
  switch (e->header.evt_id) {
    case BLE_GAP_EVT_CONNECTED:
    case BLE_GAP_EVT_DISCONNECTED:
      nus->is_notification_enabled = false;
      break;
    case BLE_GATTS_EVT_WRITE: {
      const ble_gatts_evt_write_t& w = e->evt.gatts_evt.params.write;
      if (w.handle == nus->tx_handles.cccd_handle && w.len == 2) {
        nus->is_notification_enabled = ble_srv_is_notification_enabled(w.data);
        evt.type =
            nus->is_notification_enabled ? BLE_NUS_EVT_COMM_STARTED : BLE_NUS_EVT_COMM_STOPPED;
        if (nus->data_handler) nus->data_handler(&evt);
      } else if (w.handle == nus->rx_handles.value_handle && nus->data_handler) {
        evt.type = BLE_NUS_EVT_RX_DATA;
        evt.params.rx_data.p_data = w.data;
        evt.params.rx_data.length = w.len;
        nus->data_handler(&evt);
      }
      break;
    }
    case BLE_GATTS_EVT_HVN_TX_COMPLETE:
      if (nus->is_notification_enabled && nus->data_handler) {
        evt.type = BLE_NUS_EVT_TX_RDY;
        nus->data_handler(&evt);
      }
      break;
    default:
      break;
  }
}

uint32_t ble_nus_data_send(ble_nus_t* nus, uint8_t* p_data, uint16_t* p_length,
                           uint16_t conn_handle) {
  if (!nus || !p_data || !p_length) return NRF_ERROR_NULL;
  if (conn_handle == BLE_CONN_HANDLE_INVALID || conn_handle != link()) return NRF_ERROR_NOT_FOUND;
  if (!nus->is_notification_enabled) return NRF_ERROR_INVALID_STATE;
  if (*p_length > BLE_NUS_MAX_DATA_LEN) return NRF_ERROR_INVALID_PARAM;
  ble_gatts_hvx_params_t hvx{};
  hvx.handle = nus->tx_handles.value_handle;
  hvx.p_data = p_data;
  hvx.p_len = p_length;
  hvx.type = BLE_GATT_HVX_NOTIFICATION;
  return sd_ble_gatts_hvx(conn_handle, &hvx);
}

// ---------------------------------------------------- central-role modules --
uint32_t ble_nus_c_init(ble_nus_c_t* c, ble_nus_c_init_t* init) {
  if (!c || !init || !init->evt_handler) return NRF_ERROR_NULL;
  c->conn_handle = BLE_CONN_HANDLE_INVALID;
  c->handles = {BLE_GATT_HANDLE_INVALID, BLE_GATT_HANDLE_INVALID, BLE_GATT_HANDLE_INVALID};
  c->evt_handler = init->evt_handler;
  c->error_handler = init->error_handler;
  ble_uuid128_t base = NUS_BASE_UUID;
  return sd_ble_uuid_vs_add(&base, &c->uuid_type);
}

uint32_t ble_nus_c_handles_assign(ble_nus_c_t* c, uint16_t conn_handle,
                                  ble_nus_c_handles_t const* h) {
  if (!c) return NRF_ERROR_NULL;
  c->conn_handle = conn_handle;
  if (h) c->handles = *h;
  return NRF_SUCCESS;
}

void ble_nus_c_on_db_disc_evt(ble_nus_c_t*, ble_db_discovery_evt_t*) {}

uint32_t ble_db_discovery_init(ble_db_discovery_init_t* init) {
  return init && init->evt_handler ? NRF_SUCCESS : NRF_ERROR_NULL;
}
uint32_t ble_db_discovery_evt_register(ble_uuid_t const* u) {
  return u ? NRF_SUCCESS : NRF_ERROR_NULL;
}
uint32_t ble_db_discovery_start(ble_db_discovery_t* d, uint16_t conn_handle) {
  if (!d) return NRF_ERROR_NULL;
  d->conn_handle = conn_handle;
  d->discovery_in_progress = false;  // nothing to discover in the central role here
  return NRF_SUCCESS;
}

ret_code_t nrf_ble_scan_init(nrf_ble_scan_t* s, nrf_ble_scan_init_t const* init,
                             nrf_ble_scan_evt_handler_t handler) {
  if (!s) return NRF_ERROR_NULL;
  s->initialized = true;
  s->scanning = false;
  s->evt_handler = handler;
  s->connect_if_match = init && init->connect_if_match;
  s->conn_cfg_tag = init ? init->conn_cfg_tag : 0;
  if (init && init->p_scan_param) s->scan_params = *init->p_scan_param;
  return NRF_SUCCESS;
}
// The stand-in's radio does not scan for the device: a start is refused.
ret_code_t nrf_ble_scan_start(nrf_ble_scan_t* s) {
  return s && s->initialized ? NRF_ERROR_NOT_SUPPORTED : NRF_ERROR_INVALID_STATE;
}
void nrf_ble_scan_stop(void) {}

// --------------------------------------------------------- buttonless DFU --
namespace {

constexpr uint8_t kDfuEnterBootloader = 0x01;
constexpr uint8_t kDfuResponse = 0x20;
constexpr uint8_t kDfuSuccess = 0x01;
constexpr uint8_t kDfuOpNotSupported = 0x02;
constexpr uint16_t kCccdImproperlyConfigured = 0x01FD;

struct Dfu {
  bool initialized = false;
  ble_dfu_buttonless_evt_handler_t handler = nullptr;
  uint8_t uuid_type = 0;
  uint16_t service = 0;
  ble_gatts_char_handles_t control{};
  bool entering = false;
};

Dfu& dfu() {
  static Dfu d;
  return d;
}

void dfu_indicate(uint8_t op, uint8_t status) {
  defer([op, status] {
    Dfu& d = dfu();
    uint8_t rsp[3] = {kDfuResponse, op, status};
    uint16_t len = 3;
    ble_gatts_hvx_params_t hvx{};
    hvx.handle = d.control.value_handle;
    hvx.type = BLE_GATT_HVX_INDICATION;
    hvx.p_data = rsp;
    hvx.p_len = &len;
    if (sd_ble_gatts_hvx(link(), &hvx) != NRF_SUCCESS && d.handler)
      d.handler(BLE_DFU_EVT_RESPONSE_SEND_ERROR);
  });
}

void dfu_on_ble_evt(ble_evt_t const* e, void*) {
  Dfu& d = dfu();
  if (!d.initialized || e->header.evt_id != BLE_GATTS_EVT_RW_AUTHORIZE_REQUEST) return;
  const auto& req = e->evt.gatts_evt.params.authorize_request;
  if (req.type != BLE_GATTS_AUTHORIZE_TYPE_WRITE ||
      req.request.write.handle != d.control.value_handle ||
      req.request.write.op != BLE_GATTS_OP_WRITE_REQ)
    return;
  ble_gatts_value_t v{};
  uint8_t cccd[2] = {0, 0};
  v.len = 2;
  v.p_value = cccd;
  (void)sd_ble_gatts_value_get(e->evt.gatts_evt.conn_handle, d.control.cccd_handle, &v);
  ble_gatts_rw_authorize_reply_params_t reply{};
  reply.type = BLE_GATTS_AUTHORIZE_TYPE_WRITE;
  const bool indications = ble_srv_is_indication_enabled(cccd);
  reply.params.write.gatt_status =
      indications ? BLE_GATT_STATUS_SUCCESS : kCccdImproperlyConfigured;
  reply.params.write.update = 1;
  (void)sd_ble_gatts_rw_authorize_reply(e->evt.gatts_evt.conn_handle, &reply);
  if (!indications) return;
  const uint8_t op = req.request.write.len ? req.request.write.data[0] : 0;
  if (op != kDfuEnterBootloader) {
    dfu_indicate(op, kDfuOpNotSupported);
    return;
  }
  d.entering = true;
  dfu_indicate(op, kDfuSuccess);
  defer([] {
    if (dfu().handler) dfu().handler(BLE_DFU_EVT_BOOTLOADER_ENTER_PREPARE);
  });
}

NRF_SDH_BLE_OBSERVER(dfu_obs, BLE_DFU_BLE_OBSERVER_PRIO, dfu_on_ble_evt, nullptr);

}  // namespace

void nrfble::dfu_link_closed() {
  Dfu& d = dfu();
  if (!d.entering) return;
  d.entering = false;
  if (d.handler) d.handler(BLE_DFU_EVT_BOOTLOADER_ENTER);
  (void)sd_power_gpregret_set(0, BOOTLOADER_DFU_START);
  NVIC_SystemReset();
}

uint32_t ble_dfu_buttonless_async_svci_init(void) { return NRF_SUCCESS; }

uint32_t ble_dfu_buttonless_init(ble_dfu_buttonless_init_t const* init) {
  if (!init || !init->evt_handler) return NRF_ERROR_NULL;
  Dfu& d = dfu();
  d.handler = init->evt_handler;
  d.entering = false;
  ble_uuid128_t base = BLE_DFU_BUTTONLESS_BASE_UUID;
  uint32_t r = sd_ble_uuid_vs_add(&base, &d.uuid_type);
  if (r) return r;
  ble_uuid_t su = {BLE_DFU_SERVICE_UUID, BLE_UUID_TYPE_BLE};
  r = sd_ble_gatts_service_add(BLE_GATTS_SRVC_TYPE_PRIMARY, &su, &d.service);
  if (r) return r;
  ble_add_char_params_t c{};
  c.uuid = BLE_DFU_BUTTONLESS_CHAR_UUID;
  c.uuid_type = d.uuid_type;
  c.max_len = 20;
  c.init_len = 0;
  c.is_var_len = true;
  c.char_props.write = 1;
  c.char_props.indicate = 1;
  c.is_defered_write = true;
  c.read_access = SEC_OPEN;
  c.write_access = SEC_OPEN;
  c.cccd_write_access = SEC_OPEN;
  r = characteristic_add(d.service, &c, &d.control);
  if (r) return r;
  d.initialized = true;
  return NRF_SUCCESS;
}

// ---------------------------------------------------------- queued writes --
ret_code_t nrf_ble_qwr_init(nrf_ble_qwr_t* q, nrf_ble_qwr_init_t const* init) {
  if (!q || !init) return NRF_ERROR_NULL;
  q->initialized = true;
  q->conn_handle = BLE_CONN_HANDLE_INVALID;
  q->error_handler = init->error_handler;
  return NRF_SUCCESS;
}

ret_code_t nrf_ble_qwr_conn_handle_assign(nrf_ble_qwr_t* q, uint16_t conn_handle) {
  if (!q) return NRF_ERROR_NULL;
  if (!q->initialized) return NRF_ERROR_INVALID_STATE;
  q->conn_handle = conn_handle;
  return NRF_SUCCESS;
}

void nrf_ble_qwr_on_ble_evt(ble_evt_t const* e, void* ctx) {
  auto* q = static_cast<nrf_ble_qwr_t*>(ctx);
  if (!q->initialized) return;
  if (e->header.evt_id == BLE_EVT_USER_MEM_REQUEST &&
      e->evt.common_evt.conn_handle == q->conn_handle) {
    const uint32_t r = sd_ble_user_mem_reply(q->conn_handle, nullptr);
    if (r && q->error_handler) q->error_handler(r);
  } else if (e->header.evt_id == BLE_GAP_EVT_DISCONNECTED &&
             e->evt.gap_evt.conn_handle == q->conn_handle) {
    q->conn_handle = BLE_CONN_HANDLE_INVALID;
  }
}
