// The verbs of api.lorawan and api.lora: thin forwarders to the LoRaWAN and
// point-to-point services, with the checks the AT commands make before they
// call the same services (work mode, ranges, lengths), so that a user
// program cannot store what a command would refuse.
#include "api_objects.h"

#include <stdio.h>
#include <string.h>

#if defined(QIV_LORA_SERVICES_LINKED) || defined(QIV_LORA_P2P_LINKED)
#include "service_lora.h"
#include "udrv_errno.h"
#endif

#ifdef QIV_LORA_SERVICES_LINKED

namespace {

bool lorawan_mode() { return service_lora_get_nwm() == SERVICE_LORAWAN; }

bool get_bytes(uint8_t *buff, uint32_t len, uint32_t size, int32_t (*get)(uint8_t *, uint32_t)) {
  return lorawan_mode() && buff != nullptr && len == size && get(buff, size) == 0;
}

bool set_bytes(const uint8_t *buff, uint32_t len, uint32_t size,
               int32_t (*set)(uint8_t const *, uint32_t)) {
  return lorawan_mode() && buff != nullptr && len == size && set(buff, size) == 0;
}

bool in_range(uint32_t value, uint32_t min, uint32_t max) {
  return lorawan_mode() && value >= min && value <= max;
}

bool start_uplink(uint8_t length, const uint8_t *payload, const SERVICE_LORA_SEND_INFO &info) {
  if (!lorawan_mode() || payload == nullptr || length == 0 || info.port < 1 || info.port > 223) {
    return false;
  }
  // The service keeps its own copy for a resend; the caller's buffer may
  // be constant.
  uint8_t data[255];
  memcpy(data, payload, length);
  return service_lora_send(data, length, info, false) == 0;
}

}  // namespace

bool ZEMLorawan::join() { return lorawan_mode() && service_lora_join(1, -1, -1, -1) == 0; }

bool ZEMLorawan::join(uint8_t join_start, uint8_t auto_join, uint8_t auto_join_period,
                      uint8_t auto_join_max_cnt) {
  if (!lorawan_mode() || join_start > 1 || auto_join > 1 || auto_join_period < 7) {
    return false;
  }
  return service_lora_join(join_start, auto_join, auto_join_period, auto_join_max_cnt) == 0;
}

bool ZEMLorawan::send(uint8_t length, const uint8_t *payload, uint8_t fport) {
  SERVICE_LORA_SEND_INFO info{};
  info.port = fport;
  return start_uplink(length, payload, info);
}

bool ZEMLorawan::send(uint8_t length, const uint8_t *payload, uint8_t fport, bool confirm,
                      uint8_t retry) {
  if (retry > 7) {
    return false;
  }
  SERVICE_LORA_SEND_INFO info{};
  info.port = fport;
  info.retry_valid = true;
  info.retry = retry;
  info.confirm_valid = true;
  info.confirm = confirm ? SERVICE_LORA_ACK : SERVICE_LORA_NO_ACK;
  return start_uplink(length, payload, info);
}

bool ZEMLorawan::usend(uint8_t length, const uint8_t *payload, uint8_t fport) {
  SERVICE_LORA_SEND_INFO info{};
  info.port = fport;
  info.retry_valid = true;
  info.retry = 0;
  info.confirm_valid = true;
  info.confirm = SERVICE_LORA_NO_ACK;
  return start_uplink(length, payload, info);
}

bool ZEMLorawan::lpsend(uint8_t fport, bool ack, const uint8_t *payload, uint16_t length) {
  // The service copies the packet before its first fragment goes out.
  return lorawan_mode() && payload != nullptr && length > 0 &&
         length <= LPTP_DATA_BUFFER_MAX_SIZE &&
         service_lora_lptp_send(fport, ack, payload, length) == 0;
}

bool ZEMLorawan::addmulc(McSession_t session) {
  if (!lorawan_mode() || session.Datarate < 0 || session.Datarate > 15 || session.Periodicity > 7) {
    return false;
  }
  if (session.Devclass == SERVICE_LORA_CLASS_C) {
    if (session.Periodicity != 0) {
      return false;
    }
  } else if (session.Devclass != SERVICE_LORA_CLASS_B) {
    return false;
  }
  // The listing position and group number are the service's to give.
  session.GroupID = 0;
  session.entry = 0;
  return service_lora_addmulc(session) == 0;
}

bool ZEMLorawan::rmvmulc(uint32_t devAddr) {
  return lorawan_mode() && devAddr != 0 && service_lora_rmvmulc(devAddr) == 0;
}

bool ZEMLorawan::lstmulc(McSession_t *iterator) {
  if (!lorawan_mode() || iterator == nullptr) {
    return false;
  }
  // Free slots are passed over; each has its own listing position, so the
  // cursor still moves on from one.
  while (service_lora_lstmulc(iterator) == -UDRV_CONTINUE) {
    if (iterator->Address != 0) {
      return true;
    }
  }
  return false;
}

bool ZEMLorawan::arssi(chan_rssi *entry) {
  if (!lorawan_mode() || entry == nullptr) {
    return false;
  }
  // Closed channels are passed over, as AT+ARSSI does.
  while (service_lora_get_arssi(entry) == -UDRV_CONTINUE) {
    if (entry->mask != 0) {
      return true;
    }
  }
  return false;
}

bool ZEMLorawan::registerRecvCallback(void (*callback)(SERVICE_LORA_RECEIVE_T data)) {
  service_lora_recv_callback = callback;
  return true;
}

bool ZEMLorawan::registerJoinCallback(void (*callback)(int32_t status)) {
  service_lora_join_callback = callback;
  return true;
}

bool ZEMLorawan::registerSendCallback(void (*callback)(int32_t status)) {
  service_lora_send_callback = callback;
  return true;
}

bool ZEMLorawan::registerLinkCheckCallback(void (*callback)(SERVICE_LORA_LINKCHECK_T *data)) {
  service_lora_linkcheck_callback = callback;
  return true;
}

bool ZEMLorawan::registerTimereqCallback(void (*callback)(int32_t status)) {
  service_lora_timereq_callback = callback;
  return true;
}

// ---- Identity and keys ----

#define ZEM_LORAWAN_BYTES_IMPL(name, size, getter, setter)        \
  bool ZEMLorawan::name::get(uint8_t *buff, uint32_t len) {       \
    return get_bytes(buff, len, size, getter);                    \
  }                                                               \
  bool ZEMLorawan::name::set(const uint8_t *buff, uint32_t len) { \
    return set_bytes(buff, len, size, setter);                    \
  }

ZEM_LORAWAN_BYTES_IMPL(appeui, 8, service_lora_get_app_eui, service_lora_set_app_eui)
ZEM_LORAWAN_BYTES_IMPL(appkey, 16, service_lora_get_app_key, service_lora_set_app_key)
ZEM_LORAWAN_BYTES_IMPL(appskey, 16, service_lora_get_app_skey, service_lora_set_app_skey)
ZEM_LORAWAN_BYTES_IMPL(daddr, 4, service_lora_get_dev_addr, service_lora_set_dev_addr)
ZEM_LORAWAN_BYTES_IMPL(deui, 8, service_lora_get_dev_eui, service_lora_set_dev_eui)
ZEM_LORAWAN_BYTES_IMPL(nwkskey, 16, service_lora_get_nwk_skey, service_lora_set_nwk_skey)

bool ZEMLorawan::netid::get(uint8_t *buff, uint32_t len) {
  return get_bytes(buff, len, 3, service_lora_get_net_id);
}

// ---- Join and uplink settings ----

uint8_t ZEMLorawan::rety::get() { return service_lora_get_retry(); }
bool ZEMLorawan::rety::set(uint8_t value) {
  return in_range(value, 0, 7) && service_lora_set_retry(value) == 0;
}

bool ZEMLorawan::cfm::get() { return service_lora_get_cfm() == SERVICE_LORA_ACK; }
bool ZEMLorawan::cfm::set(bool value) {
  return lorawan_mode() &&
         service_lora_set_cfm(value ? SERVICE_LORA_ACK : SERVICE_LORA_NO_ACK) == 0;
}

bool ZEMLorawan::cfs::get() { return service_lora_get_cfs(); }

uint8_t ZEMLorawan::njm::get() { return service_lora_get_njm(); }
bool ZEMLorawan::njm::set(uint8_t value) {
  return in_range(value, 0, 1) &&
         service_lora_set_njm(static_cast<SERVICE_LORA_JOIN_MODE>(value), true) == 0;
}

bool ZEMLorawan::njs::get() { return service_lora_get_njs(); }

// ---- Network settings ----

bool ZEMLorawan::adr::get() { return service_lora_get_adr(); }
bool ZEMLorawan::adr::set(bool value) {
  return lorawan_mode() && service_lora_set_adr(value, true) == 0;
}

uint8_t ZEMLorawan::deviceClass::get() { return service_lora_get_class(); }
bool ZEMLorawan::deviceClass::set(uint8_t value) {
  return in_range(value, 0, 2) &&
         service_lora_set_class(static_cast<SERVICE_LORA_CLASS>(value), true) == 0;
}

uint8_t ZEMLorawan::dcs::get() { return service_lora_get_dcs(); }
bool ZEMLorawan::dcs::set(uint8_t value) {
  return in_range(value, 0, 1) && service_lora_set_dcs(value, true) == 0;
}

uint8_t ZEMLorawan::dr::get() { return service_lora_get_dr(); }
bool ZEMLorawan::dr::set(uint8_t value) {
  return lorawan_mode() &&
         service_lora_set_dr(static_cast<SERVICE_LORA_DATA_RATE>(value), true) == 0;
}

// The join delays in seconds; the first stays below the second.
uint32_t ZEMLorawan::jn1dl::get() { return service_lora_get_jn1dl() / 1000; }
bool ZEMLorawan::jn1dl::set(uint32_t value) {
  return in_range(value, 1, 14) && value < service_lora_get_jn2dl() / 1000 &&
         service_lora_set_jn1dl(value * 1000, true) == 0;
}

uint32_t ZEMLorawan::jn2dl::get() { return service_lora_get_jn2dl() / 1000; }
bool ZEMLorawan::jn2dl::set(uint32_t value) {
  return in_range(value, 2, 15) && value > service_lora_get_jn1dl() / 1000 &&
         service_lora_set_jn2dl(value * 1000, true) == 0;
}

bool ZEMLorawan::pnm::get() { return service_lora_get_pub_nwk_mode(); }
bool ZEMLorawan::pnm::set(bool value) {
  return lorawan_mode() && service_lora_set_pub_nwk_mode(value, true) == 0;
}

// The receive window delays in seconds.
uint32_t ZEMLorawan::rx1dl::get() { return service_lora_get_rx1dl() / 1000; }
bool ZEMLorawan::rx1dl::set(uint32_t value) {
  return in_range(value, 1, 15) && service_lora_set_rx1dl(value * 1000, true) == 0;
}

uint32_t ZEMLorawan::rx2dl::get() { return service_lora_get_rx2dl() / 1000; }
bool ZEMLorawan::rx2dl::set(uint32_t value) {
  return in_range(value, 2, 16) && service_lora_set_rx2dl(value * 1000, true) == 0;
}

uint8_t ZEMLorawan::rx2dr::get() { return service_lora_get_rx2dr(); }
bool ZEMLorawan::rx2dr::set(uint8_t value) {
  return lorawan_mode() &&
         service_lora_set_rx2dr(static_cast<SERVICE_LORA_DATA_RATE>(value), true) == 0;
}

uint32_t ZEMLorawan::rx2fq::get() { return service_lora_get_rx2freq(); }
bool ZEMLorawan::rx2fq::set(uint32_t value) {
  return lorawan_mode() && service_lora_set_rx2freq(value, true) == 0;
}

uint8_t ZEMLorawan::txp::get() { return service_lora_get_txpower(); }
bool ZEMLorawan::txp::set(uint8_t value) {
  return in_range(value, 0, 15) && service_lora_set_txpower(value, true) == 0;
}

uint8_t ZEMLorawan::pgslot::get() { return service_lora_get_ping_slot_periodicity(); }
bool ZEMLorawan::pgslot::set(uint8_t value) {
  return in_range(value, 0, 7) && service_lora_set_ping_slot_periodicity(value) == 0;
}

uint32_t ZEMLorawan::bfreq::get() { return service_lora_get_beacon_freq(); }
uint32_t ZEMLorawan::btime::get() { return service_lora_get_beacon_time(); }
beacon_bgw_t ZEMLorawan::bgw::get() { return service_lora_get_beacon_gwspecific(); }
int16_t ZEMLorawan::rssi::get() { return service_lora_get_rssi(); }
int8_t ZEMLorawan::snr::get() { return service_lora_get_snr(); }

String ZEMLorawan::ltime::get() {
  char text[64];
  memset(text, 0, sizeof(text));
  if (!lorawan_mode() || service_lora_get_local_time(text) != 0) {
    return String();
  }
  return String(text);
}

String ZEMLorawan::ver::get() {
  if (!lorawan_mode()) {
    return String();
  }
  MibRequestConfirm_t mib{};
  mib.Type = MIB_LORAWAN_VERSION;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) {
    return String();
  }
  const Version_t v = mib.Param.LrWanVersion.LoRaWan;
  char text[16];
  snprintf(text, sizeof text, "%u.%u.%u", v.Fields.Major, v.Fields.Minor, v.Fields.Patch);
  return String(text);
}

bool ZEMLorawan::mask::get(uint16_t *mask) {
  return lorawan_mode() && mask != nullptr && service_lora_get_mask(mask) == 0;
}

bool ZEMLorawan::mask::set(uint16_t mask) {
  if (!lorawan_mode()) {
    return false;
  }
  // The masks AT+MASK takes: US915 and AU915 have eight sub-bands of
  // 125 kHz channels (0x0100 alone would open none of them), CN470
  // twelve; a mask that opens nothing is refused.
  const SERVICE_LORA_BAND band = service_lora_get_band();
  if (band == SERVICE_LORA_US915 || band == SERVICE_LORA_AU915) {
    if (mask == 0 || mask >= 0x0100) {
      return false;
    }
  } else if (band == SERVICE_LORA_CN470 && (mask == 0 || mask > 0x0FFF)) {
    return false;
  }
  return service_lora_set_mask(&mask, true) == 0;
}

uint8_t ZEMLorawan::band::get() { return service_lora_get_band(); }
bool ZEMLorawan::band::set(uint8_t value) {
  return lorawan_mode() && service_lora_set_band(static_cast<SERVICE_LORA_BAND>(value)) == 0;
}

uint8_t ZEMLorawan::linkcheck::get() { return service_lora_get_linkcheck(); }
bool ZEMLorawan::linkcheck::set(uint8_t value) {
  return in_range(value, 0, 2) && service_lora_set_linkcheck(value) == 0;
}

uint8_t ZEMLorawan::timereq::get() { return service_lora_get_timereq(); }
bool ZEMLorawan::timereq::set(uint8_t value) {
  return in_range(value, 0, 1) && service_lora_set_timereq(value) == 0;
}

uint8_t ZEMLorawan::nwm::get() { return service_lora_get_nwm(); }
bool ZEMLorawan::nwm::set(uint8_t value) {
  return service_lora_set_nwm(static_cast<SERVICE_LORA_WORK_MODE>(value)) == 0;
}

#endif  // QIV_LORA_SERVICES_LINKED

#ifdef QIV_LORA_P2P_LINKED

namespace {

// The radio settings are refused in the LoRaWAN work mode and while a
// reception runs (it keeps the settings it started with).
bool p2p_settable() {
  return service_lora_get_nwm() != SERVICE_LORAWAN && service_lora_p2p_get_radio_stat() == 0;
}

bool p2p_set(uint32_t value, uint32_t min, uint32_t max, int32_t (*set)(uint32_t)) {
  return p2p_settable() && value >= min && value <= max && set(value) == 0;
}

}  // namespace

bool ZEMLoraP2P::precv(uint32_t timeout) {
  return service_lora_get_nwm() != SERVICE_LORAWAN && timeout <= 65535 &&
         service_lora_p2p_recv(timeout) == 0;
}

bool ZEMLoraP2P::psend(uint8_t length, const uint8_t *payload) {
  return psend(length, payload, service_lora_p2p_get_CAD() != 0);
}

bool ZEMLoraP2P::psend(uint8_t length, const uint8_t *payload, bool cad) {
  if (service_lora_get_nwm() == SERVICE_LORAWAN || payload == nullptr || length == 0) {
    return false;
  }
  if (service_lora_p2p_get_crypto_enable() && length > SERVICE_LORA_P2P_CRYPT_MAX_PAYLOAD) {
    return false;
  }
  uint8_t data[255];
  memcpy(data, payload, length);
  return service_lora_p2p_send(data, length, cad) == 0;
}

bool ZEMLoraP2P::registerPRecvCallback(void (*callback)(qiv_lora_p2p_recv_t data)) {
  service_lora_p2p_recv_callback = callback;
  return true;
}

bool ZEMLoraP2P::registerPSendCallback(void (*callback)(void)) {
  service_lora_p2p_send_callback = callback;
  return true;
}

bool ZEMLoraP2P::registerPSendCADCallback(void (*callback)(bool channel_activity_detected)) {
  service_lora_p2p_send_CAD_callback = callback;
  return true;
}

namespace {
constexpr uint32_t kFreqMin = 150000000;
constexpr uint32_t kFreqMax = 960000000;
constexpr uint32_t kAny = 0xFFFFFFFFu;

int32_t set_freq(uint32_t v) { return service_lora_p2p_set_freq(v); }
int32_t set_sf(uint32_t v) { return service_lora_p2p_set_sf(v); }
int32_t set_bandwidth(uint32_t v) { return service_lora_p2p_set_bandwidth(v); }
int32_t set_codingrate(uint32_t v) { return service_lora_p2p_set_codingrate(v); }
int32_t set_preamlen(uint32_t v) { return service_lora_p2p_set_preamlen(v); }
int32_t set_powerdbm(uint32_t v) { return service_lora_p2p_set_powerdbm(v); }
int32_t set_bitrate(uint32_t v) { return service_lora_p2p_set_bitrate(v); }
int32_t set_fdev(uint32_t v) { return service_lora_p2p_set_fdev(v); }
int32_t set_iq(uint32_t v) { return service_lora_p2p_set_iqinverted(v != 0); }
int32_t set_fix_length(uint32_t v) { return service_lora_p2p_set_fix_length_payload(v != 0); }
int32_t set_crypt(uint32_t v) { return service_lora_p2p_set_crypto_enable(v != 0); }
int32_t set_syncword(uint32_t v) { return service_lora_p2p_set_syncword(static_cast<uint16_t>(v)); }
#ifdef SERVICE_LORA_P2P_HAS_SYMBOL_TIMEOUT
int32_t set_symbol_timeout(uint32_t v) { return service_lora_p2p_set_symbol_timeout(v); }
#endif
}  // namespace

bool ZEMLoraP2P::iqInver::get() { return service_lora_p2p_get_iqinverted(); }
bool ZEMLoraP2P::iqInver::set(bool value) { return p2p_set(value, 0, 1, set_iq); }
uint16_t ZEMLoraP2P::syncword::get() { return service_lora_p2p_get_syncword(); }
bool ZEMLoraP2P::syncword::set(uint16_t value) { return p2p_set(value, 0, 0xFFFF, set_syncword); }
uint32_t ZEMLoraP2P::rfFrequency::get() { return service_lora_p2p_get_freq(); }
bool ZEMLoraP2P::rfFrequency::set(uint32_t value) { return p2p_set(value, 0, kAny, set_freq); }
uint8_t ZEMLoraP2P::txOutputPower::get() { return service_lora_p2p_get_powerdbm(); }
bool ZEMLoraP2P::txOutputPower::set(uint8_t value) { return p2p_set(value, 5, 22, set_powerdbm); }
uint32_t ZEMLoraP2P::bandwidth::get() { return service_lora_p2p_get_bandwidth(); }
bool ZEMLoraP2P::bandwidth::set(uint32_t value) { return p2p_set(value, 0, kAny, set_bandwidth); }
uint8_t ZEMLoraP2P::speradingFactor::get() { return service_lora_p2p_get_sf(); }
bool ZEMLoraP2P::speradingFactor::set(uint8_t value) { return p2p_set(value, 5, 12, set_sf); }
uint8_t ZEMLoraP2P::codingrate::get() { return service_lora_p2p_get_codingrate(); }
bool ZEMLoraP2P::codingrate::set(uint8_t value) { return p2p_set(value, 0, 3, set_codingrate); }
uint16_t ZEMLoraP2P::preambleLength::get() { return service_lora_p2p_get_preamlen(); }
bool ZEMLoraP2P::preambleLength::set(uint16_t value) {
  return p2p_set(value, 5, 65535, set_preamlen);
}
#ifdef SERVICE_LORA_P2P_HAS_SYMBOL_TIMEOUT
uint32_t ZEMLoraP2P::symbolTimeout::get() { return service_lora_p2p_get_symbol_timeout(); }
bool ZEMLoraP2P::symbolTimeout::set(uint32_t value) {
  return p2p_set(value, 0, 248, set_symbol_timeout);
}
#else
// This module's radio settings have no symbol timeout.
uint32_t ZEMLoraP2P::symbolTimeout::get() { return 0; }
bool ZEMLoraP2P::symbolTimeout::set(uint32_t) { return false; }
#endif
bool ZEMLoraP2P::fixLengthPayload::get() { return service_lora_p2p_get_fix_length_payload(); }
bool ZEMLoraP2P::fixLengthPayload::set(bool value) { return p2p_set(value, 0, 1, set_fix_length); }
bool ZEMLoraP2P::cad::get() { return service_lora_p2p_get_CAD() != 0; }
bool ZEMLoraP2P::cad::set(bool value) {
  return service_lora_get_nwm() != SERVICE_LORAWAN && service_lora_p2p_set_CAD(value) == 0;
}
uint32_t ZEMLoraP2P::pfreq::get() { return service_lora_p2p_get_freq(); }
bool ZEMLoraP2P::pfreq::set(uint32_t value) { return p2p_set(value, kFreqMin, kFreqMax, set_freq); }
uint8_t ZEMLoraP2P::psf::get() { return service_lora_p2p_get_sf(); }
bool ZEMLoraP2P::psf::set(uint8_t value) { return p2p_set(value, 5, 12, set_sf); }
uint32_t ZEMLoraP2P::pbw::get() { return service_lora_p2p_get_bandwidth(); }
bool ZEMLoraP2P::pbw::set(uint32_t value) { return p2p_set(value, 0, kAny, set_bandwidth); }
uint8_t ZEMLoraP2P::pcr::get() { return service_lora_p2p_get_codingrate(); }
bool ZEMLoraP2P::pcr::set(uint8_t value) { return p2p_set(value, 0, 3, set_codingrate); }
uint16_t ZEMLoraP2P::ppl::get() { return service_lora_p2p_get_preamlen(); }
bool ZEMLoraP2P::ppl::set(uint16_t value) { return p2p_set(value, 5, 65535, set_preamlen); }
uint8_t ZEMLoraP2P::ptp::get() { return service_lora_p2p_get_powerdbm(); }
bool ZEMLoraP2P::ptp::set(uint8_t value) { return p2p_set(value, 5, 22, set_powerdbm); }
bool ZEMLoraP2P::encry::get() { return service_lora_p2p_get_crypto_enable(); }
bool ZEMLoraP2P::encry::set(bool value) { return p2p_set(value, 0, 1, set_crypt); }

bool ZEMLoraP2P::enckey::get(uint8_t *buff, uint32_t len) {
  return buff != nullptr && len == 16 && service_lora_get_nwm() != SERVICE_LORAWAN &&
         service_lora_p2p_get_crypto_key(buff, len) == 0;
}
bool ZEMLoraP2P::enckey::set(const uint8_t *buff, uint32_t len) {
  return buff != nullptr && len == 16 && p2p_settable() &&
         service_lora_p2p_set_crypto_key(buff, len) == 0;
}
bool ZEMLoraP2P::enciv::get(uint8_t *buff, uint32_t len) {
  return buff != nullptr && len == 16 && service_lora_get_nwm() != SERVICE_LORAWAN &&
         service_lora_p2p_get_crypto_IV(buff, len) == 0;
}
bool ZEMLoraP2P::enciv::set(const uint8_t *buff, uint32_t len) {
  return buff != nullptr && len == 16 && p2p_settable() &&
         service_lora_p2p_set_crypto_IV(buff, len) == 0;
}

// Bit rate and frequency deviation belong to the FSK work mode.
uint32_t ZEMLoraP2P::pbr::get() { return service_lora_p2p_get_bitrate(); }
bool ZEMLoraP2P::pbr::set(uint32_t value) {
  return service_lora_get_nwm() == SERVICE_LORA_FSK && p2p_set(value, 600, 300000, set_bitrate);
}
uint32_t ZEMLoraP2P::pfdev::get() { return service_lora_p2p_get_fdev(); }
bool ZEMLoraP2P::pfdev::set(uint32_t value) {
  return service_lora_get_nwm() == SERVICE_LORA_FSK && p2p_set(value, 600, 200000, set_fdev);
}

uint8_t ZEMLoraP2P::nwm::get() { return service_lora_get_nwm(); }
bool ZEMLoraP2P::nwm::set(uint8_t value) {
  return service_lora_set_nwm(static_cast<SERVICE_LORA_WORK_MODE>(value)) == 0;
}

#endif  // QIV_LORA_P2P_LINKED
