// LoRaWAN commands (see atcmd_lorawan.h).
//
// Common rules: outside the LoRaWAN work mode every command is refused
// (AT+MCROOTKEY asks no mode; AT+RSSI and AT+SNR refuse only LoRa P2P); one
// argument, "?" or the value, unless a command says otherwise. Hex values
// are typed most significant byte first and shown in upper case.
#include "atcmd_lorawan.h"

#ifdef QIV_LORA_SERVICES_LINKED

#include <stdlib.h>
#include <string.h>

#include "atcmd.h"
#include "service_lora.h"
#include "udrv_errno.h"
#include "udrv_serial.h"

namespace {

constexpr uint32_t kNotGiven = 0xFFFFFFFFu;

bool lorawan_mode(void) { return service_lora_get_nwm() == SERVICE_LORAWAN; }

// A value of digits only ('0' to '9'), as the C library converts it.
bool digits_value(const char *text, uint32_t *value) {
  if (!at_check_digits_only(text)) {
    return false;
  }
  *value = at_digits_to_uint32(text);
  return true;
}

void print_hex(const char *cmd, const uint8_t *bytes, uint32_t len) {
  udrv_serial_log_printf("%s=", cmd);
  for (uint32_t i = 0; i < len; ++i) {
    udrv_serial_log_printf("%02X", bytes[i]);
  }
  udrv_serial_log_printf("\r\n");
}

// Key and EUI setters and the join: busy, unsupported band or any other
// failure.
int key_reply(int32_t ret) {
  switch (ret) {
    case 0:
      return AT_OK;
    case -UDRV_BUSY:
      return AT_BUSY_ERROR;
    case -UDRV_UNSUPPORTED_BAND:
      return AT_UNSUPPORTED_BAND;
    default:
      return AT_ERROR;
  }
}

struct HexItem {
  uint32_t bytes;
  int32_t (*get)(uint8_t *buff, uint32_t len);
  int32_t (*set)(uint8_t const *buff, uint32_t len);
};

int hex_command(const char *cmd, stParam *param, const HexItem &item) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  uint8_t buff[16];
  if (atcmd_is_query(param)) {
    if (item.get(buff, item.bytes) != 0) {
      return AT_ERROR;
    }
    print_hex(cmd, buff, item.bytes);
    return AT_OK;
  }
  if (item.set == nullptr || at_check_hex_param(param->argv[0], item.bytes * 2, buff) != 0) {
    return AT_PARAM_ERROR;
  }
  return key_reply(item.set(buff, item.bytes));
}

// A number setting with its range; query answers print the getter's value.
struct NumberItem {
  uint32_t min;
  uint32_t max;
  const char *query_format;  // "%s=%u\r\n" or "%s=%d\r\n"
  int32_t (*get)(void);
  int32_t (*set)(uint32_t value);
  int (*reply)(int32_t ret);
  bool at_check;    // checked with at_check_digital_uint32_t, not digits only
  bool first_only;  // only the first argument counts; further ones are ignored
};

int ok_or_error(int32_t ret) { return ret == 0 ? AT_OK : AT_ERROR; }

// Data rate, RX2 and TX power setters: the service checks the value.
int dr_reply(int32_t ret) {
  switch (ret) {
    case 0:
      return AT_OK;
    case -UDRV_WRONG_ARG:
      return AT_PARAM_ERROR;
    case -UDRV_UNSUPPORTED_BAND:
      return AT_UNSUPPORTED_BAND;
    default:
      return AT_ERROR;
  }
}

// Delay and public network setters: unsupported band or any other failure.
int band_or_error(int32_t ret) {
  if (ret == 0) return AT_OK;
  return ret == -UDRV_UNSUPPORTED_BAND ? AT_UNSUPPORTED_BAND : AT_ERROR;
}

int adr_reply(int32_t ret) {
  switch (ret) {
    case 0:
      return AT_OK;
    case -UDRV_BUSY:
      return AT_BUSY_ERROR;
    case -UDRV_WRONG_ARG:
      return AT_PARAM_ERROR;
    case -UDRV_UNSUPPORTED_BAND:
      return AT_UNSUPPORTED_BAND;
    default:
      return AT_ERROR;
  }
}

int mapped(int32_t ret) { return at_error_code_form_udrv(ret); }

int number_command(const char *cmd, stParam *param, const NumberItem &item) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (item.first_only ? param->argc < 1 : param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  if (param->argv[0][0] == '?' && param->argv[0][1] == '\0') {
    udrv_serial_log_printf(item.query_format, cmd, item.get());
    return AT_OK;
  }
  uint32_t value;
  if (item.at_check) {
    if (at_check_digital_uint32_t(param->argv[0], &value) != 0) {
      return AT_PARAM_ERROR;
    }
  } else if (!digits_value(param->argv[0], &value)) {
    return AT_PARAM_ERROR;
  }
  if (value < item.min || value > item.max) {
    return AT_PARAM_ERROR;
  }
  return item.reply(item.set(value));
}

// ---- Getters and setters in the form the tables take ----

int32_t get_cfm(void) { return service_lora_get_cfm(); }
int32_t set_cfm(uint32_t v) {
  return service_lora_set_cfm(static_cast<SERVICE_LORA_CONFIRM_MODE>(v));
}
int32_t get_cfs(void) { return service_lora_get_cfs() ? 1 : 0; }
int32_t get_njm(void) { return service_lora_get_njm(); }
int32_t set_njm(uint32_t v) {
  return service_lora_set_njm(static_cast<SERVICE_LORA_JOIN_MODE>(v), true);
}
int32_t get_njs(void) { return service_lora_get_njs() ? 1 : 0; }
int32_t get_retry(void) { return service_lora_get_retry(); }
int32_t set_retry(uint32_t v) { return service_lora_set_retry(static_cast<uint8_t>(v)); }
int32_t get_adr(void) { return service_lora_get_adr() ? 1 : 0; }
int32_t set_adr(uint32_t v) { return service_lora_set_adr(v != 0, true); }
int32_t get_dcs(void) { return service_lora_get_dcs(); }
int32_t set_dcs(uint32_t v) { return service_lora_set_dcs(static_cast<uint8_t>(v), true); }
int32_t get_dr(void) { return service_lora_get_dr(); }
int32_t set_dr(uint32_t v) {
  return service_lora_set_dr(static_cast<SERVICE_LORA_DATA_RATE>(v), true);
}
int32_t get_pnm(void) { return service_lora_get_pub_nwk_mode() ? 1 : 0; }
int32_t set_pnm(uint32_t v) { return service_lora_set_pub_nwk_mode(v != 0, true); }
int32_t get_rx1dl(void) { return static_cast<int32_t>(service_lora_get_rx1dl() / 1000); }
int32_t set_rx1dl(uint32_t v) { return service_lora_set_rx1dl(v * 1000, true); }
int32_t get_rx2dl(void) { return static_cast<int32_t>(service_lora_get_rx2dl() / 1000); }
int32_t set_rx2dl(uint32_t v) { return service_lora_set_rx2dl(v * 1000, true); }
int32_t get_rx2dr(void) { return service_lora_get_rx2dr(); }
int32_t set_rx2dr(uint32_t v) {
  return service_lora_set_rx2dr(static_cast<SERVICE_LORA_DATA_RATE>(v), true);
}
int32_t get_rx2fq(void) { return static_cast<int32_t>(service_lora_get_rx2freq()); }
int32_t set_rx2fq(uint32_t v) { return service_lora_set_rx2freq(v, true); }
int32_t get_txp(void) { return service_lora_get_txpower(); }
int32_t set_txp(uint32_t v) { return service_lora_set_txpower(static_cast<uint8_t>(v), true); }
int32_t get_linkcheck(void) { return service_lora_get_linkcheck(); }
int32_t set_linkcheck(uint32_t v) { return service_lora_set_linkcheck(static_cast<uint8_t>(v)); }
int32_t get_timereq(void) { return service_lora_get_timereq(); }
int32_t set_timereq(uint32_t v) { return service_lora_set_timereq(static_cast<uint8_t>(v)); }
int32_t get_lbt(void) { return service_lora_get_lbt(); }
int32_t set_lbt(uint32_t v) { return service_lora_set_lbt(static_cast<uint8_t>(v)); }
int32_t get_lbt_scantime(void) { return static_cast<int32_t>(service_lora_get_lbt_scantime()); }
int32_t set_lbt_scantime(uint32_t v) { return service_lora_set_lbt_scantime(v); }
int32_t get_pgslot(void) { return service_lora_get_ping_slot_periodicity(); }
int32_t set_pgslot(uint32_t v) {
  return service_lora_set_ping_slot_periodicity(static_cast<uint8_t>(v));
}

constexpr uint32_t kAny = 0xFFFFFFFFu;
const char kU[] = "%s=%u\r\n";
const char kD[] = "%s=%d\r\n";

// Settings handed to the service as one byte refuse numbers above 255
// before asking it.
const NumberItem kCfm = {0, 1, kU, get_cfm, set_cfm, ok_or_error, false, false};
const NumberItem kCfs = {0, 0, kU, get_cfs, nullptr, nullptr, false, false};
const NumberItem kNjm = {0, 1, kU, get_njm, set_njm, band_or_error, false, false};
const NumberItem kNjs = {0, 0, kU, get_njs, nullptr, nullptr, false, false};
const NumberItem kRetry = {0, 7, kU, get_retry, set_retry, ok_or_error, true, false};
const NumberItem kAdr = {0, 1, kD, get_adr, set_adr, adr_reply, false, false};
const NumberItem kDcs = {0, 1, kD, get_dcs, set_dcs, ok_or_error, false, true};
const NumberItem kDr = {0, 255, kU, get_dr, set_dr, dr_reply, false, false};
const NumberItem kPnm = {0, 1, kD, get_pnm, set_pnm, band_or_error, false, false};
const NumberItem kRx1dl = {1, 15, kU, get_rx1dl, set_rx1dl, band_or_error, false, false};
const NumberItem kRx2dl = {2, 16, kU, get_rx2dl, set_rx2dl, band_or_error, false, false};
const NumberItem kRx2dr = {0, 255, kU, get_rx2dr, set_rx2dr, dr_reply, false, false};
const NumberItem kRx2fq = {0, kAny, kU, get_rx2fq, set_rx2fq, dr_reply, false, false};
const NumberItem kTxp = {0, 15, kU, get_txp, set_txp, dr_reply, false, false};
const NumberItem kLinkcheck = {0, 2, kD, get_linkcheck, set_linkcheck, ok_or_error, true, true};
const NumberItem kTimereq = {0, 1, kD, get_timereq, set_timereq, mapped, true, true};
const NumberItem kLbt = {0, 1, kD, get_lbt, set_lbt, mapped, true, true};
const NumberItem kLbtScantime = {0,      kAny, kD,  get_lbt_scantime, set_lbt_scantime,
                                 mapped, true, true};
// A periodicity that could not be stored is reported, not answered "OK".
const NumberItem kPgslot = {0, 7, kU, get_pgslot, set_pgslot, mapped, false, false};

int query_only(const char *cmd, stParam *param, const NumberItem &item) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  udrv_serial_log_printf(item.query_format, cmd, item.get());
  return AT_OK;
}

// Join delays: typed in seconds, the first below the second.
int join_delay_command(const char *cmd, stParam *param, bool first) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  if (atcmd_is_query(param)) {
    uint32_t ms = first ? service_lora_get_jn1dl() : service_lora_get_jn2dl();
    udrv_serial_log_printf("%s=%u\r\n", cmd, static_cast<unsigned>(ms / 1000));
    return AT_OK;
  }
  uint32_t s;
  if (!digits_value(param->argv[0], &s)) {
    return AT_PARAM_ERROR;
  }
  if (first) {
    if (s < 1 || s > 14 || s >= service_lora_get_jn2dl() / 1000) return AT_PARAM_ERROR;
    return band_or_error(service_lora_set_jn1dl(s * 1000, true));
  }
  if (s < 2 || s > 15 || s <= service_lora_get_jn1dl() / 1000) return AT_PARAM_ERROR;
  return band_or_error(service_lora_set_jn2dl(s * 1000, true));
}

// The payload of AT+SEND (the service keeps its own copy of an uplink it
// may have to send again).
uint8_t data[2048];

}  // namespace

// ---- Identity and keys ----

int At_AppEui(SERIAL_PORT, char *cmd, stParam *param) {
  static const HexItem item = {8, service_lora_get_app_eui, service_lora_set_app_eui};
  return hex_command(cmd, param, item);
}

int At_AppKey(SERIAL_PORT, char *cmd, stParam *param) {
  static const HexItem item = {16, service_lora_get_app_key, service_lora_set_app_key};
  return hex_command(cmd, param, item);
}

int At_AppSKey(SERIAL_PORT, char *cmd, stParam *param) {
  static const HexItem item = {16, service_lora_get_app_skey, service_lora_set_app_skey};
  return hex_command(cmd, param, item);
}

int At_DevAddr(SERIAL_PORT, char *cmd, stParam *param) {
  static const HexItem item = {4, service_lora_get_dev_addr, service_lora_set_dev_addr};
  return hex_command(cmd, param, item);
}

int At_DevEui(SERIAL_PORT, char *cmd, stParam *param) {
  static const HexItem item = {8, service_lora_get_dev_eui, service_lora_set_dev_eui};
  return hex_command(cmd, param, item);
}

int At_NwkSKey(SERIAL_PORT, char *cmd, stParam *param) {
  static const HexItem item = {16, service_lora_get_nwk_skey, service_lora_set_nwk_skey};
  return hex_command(cmd, param, item);
}

int At_NetId(SERIAL_PORT, char *cmd, stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  uint8_t buff[4] = {};
  if (service_lora_get_net_id(buff, sizeof buff) != 0) {
    return AT_ERROR;
  }
  // A little-endian word; the NetID is its three low bytes.
  udrv_serial_log_printf("%s=%02X%02X%02X\r\n", cmd, buff[2], buff[1], buff[0]);
  return AT_OK;
}

int At_McRootkey(SERIAL_PORT, char *cmd, stParam *param) {
  if (param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  if (atcmd_is_query(param)) {
    uint8_t buff[16];
    if (service_lora_get_McRoot_key(buff) != 1) {
      return AT_ERROR;
    }
    print_hex(cmd, buff, sizeof buff);
    return AT_OK;
  }
  // The key cannot be set.
  return strlen(param->argv[0]) == 32 ? AT_ERROR : AT_PARAM_ERROR;
}

// ---- Settings ----

int At_CfMode(SERIAL_PORT, char *cmd, stParam *param) { return number_command(cmd, param, kCfm); }
int At_CfStatus(SERIAL_PORT, char *cmd, stParam *param) { return query_only(cmd, param, kCfs); }
int At_NwkJoinMode(SERIAL_PORT, char *cmd, stParam *param) {
  return number_command(cmd, param, kNjm);
}
int At_NwkJoinStatus(SERIAL_PORT, char *cmd, stParam *param) {
  return query_only(cmd, param, kNjs);
}
int At_Retry(SERIAL_PORT, char *cmd, stParam *param) { return number_command(cmd, param, kRetry); }

int At_Join(SERIAL_PORT, char *cmd, stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (atcmd_is_query(param)) {
    udrv_serial_log_printf("%s=%d:%d:%d:%d\r\n", cmd, service_lora_get_join_start(),
                           service_lora_get_auto_join(),
                           static_cast<int>(service_lora_get_auto_join_period()),
                           static_cast<int>(service_lora_get_auto_join_max_cnt()));
    return AT_OK;
  }
  if (param->argc > 4) {
    return AT_PARAM_ERROR;
  }
  uint32_t p[4] = {kNotGiven, kNotGiven, kNotGiven, kNotGiven};
  for (int32_t i = 0; i < static_cast<int32_t>(param->argc); ++i) {
    if (!digits_value(param->argv[i], &p[i])) {
      return AT_PARAM_ERROR;
    }
  }
  // Ranges of the given values: start, auto-join, period (s), attempts.
  static const uint32_t max[4] = {1, 1, 255, 255};
  static const uint32_t min[4] = {0, 0, 7, 0};
  for (int32_t i = 0; i < static_cast<int32_t>(param->argc); ++i) {
    if (p[i] < min[i] || p[i] > max[i]) {
      return AT_PARAM_ERROR;
    }
  }
  if (param->argc == 0) {
    p[0] = 1;
  }
  return key_reply(service_lora_join(static_cast<int32_t>(p[0]), static_cast<int32_t>(p[1]),
                                     static_cast<int32_t>(p[2]), static_cast<int32_t>(p[3])));
}

int At_Recv(SERIAL_PORT, char *cmd, stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  uint8_t port = 0;
  uint8_t buff[256];
  uint32_t len = service_lora_get_last_recv(&port, buff, sizeof buff);
  if (len > 255) {
    len = 255;
  }
  udrv_serial_log_printf("%s=%u:", cmd, static_cast<unsigned>(port));
  for (uint32_t i = 0; i < len; ++i) {
    udrv_serial_log_printf("%02X", buff[i]);
  }
  udrv_serial_log_printf("\r\n");
  return AT_OK;
}

int At_Send(SERIAL_PORT, char *, stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (param->argc != 2) {
    return AT_PARAM_ERROR;
  }
  uint32_t port;
  if (!digits_value(param->argv[0], &port) || port < 1 || port > 223) {
    return AT_PARAM_ERROR;
  }
  size_t n = strlen(param->argv[1]);
  if (n < 2 || n > 500 || n % 2 != 0 ||
      at_check_hex_param(param->argv[1], static_cast<uint32_t>(n), data) != 0) {
    return AT_PARAM_ERROR;
  }
  SERVICE_LORA_SEND_INFO info{};
  info.port = static_cast<uint8_t>(port);
  info.retry_valid = false;
  info.retry = 8;
  info.confirm_valid = false;
  switch (service_lora_send(data, static_cast<uint32_t>(n / 2), info, false)) {
    case 0:
      return AT_OK;
    case -UDRV_NO_WAN_CONNECTION:
      return AT_NO_NETWORK_JOINED;
    case -UDRV_BUSY:
      return AT_BUSY_ERROR;
    case -UDRV_WRONG_ARG:
      return AT_PARAM_ERROR;
    case -UDRV_UNSUPPORTED_BAND:
      return AT_UNSUPPORTED_BAND;
    default:
      return AT_ERROR;
  }
}

// ---- Network settings ----

int At_ADR(SERIAL_PORT, char *cmd, stParam *param) { return number_command(cmd, param, kAdr); }
int At_DCS(SERIAL_PORT, char *cmd, stParam *param) { return number_command(cmd, param, kDcs); }
int At_DataRate(SERIAL_PORT, char *cmd, stParam *param) { return number_command(cmd, param, kDr); }
int At_RxWin1JoinDelay(SERIAL_PORT, char *cmd, stParam *param) {
  return join_delay_command(cmd, param, true);
}
int At_RxWin2JoinDelay(SERIAL_PORT, char *cmd, stParam *param) {
  return join_delay_command(cmd, param, false);
}
int At_PubNwkMode(SERIAL_PORT, char *cmd, stParam *param) {
  return number_command(cmd, param, kPnm);
}
int At_RxWin1Delay(SERIAL_PORT, char *cmd, stParam *param) {
  return number_command(cmd, param, kRx1dl);
}
int At_RxWin2Delay(SERIAL_PORT, char *cmd, stParam *param) {
  return number_command(cmd, param, kRx2dl);
}
int At_RxWin2DataRate(SERIAL_PORT, char *cmd, stParam *param) {
  return number_command(cmd, param, kRx2dr);
}
int At_RxWin2Freq(SERIAL_PORT, char *cmd, stParam *param) {
  return number_command(cmd, param, kRx2fq);
}
int At_TxPower(SERIAL_PORT, char *cmd, stParam *param) { return number_command(cmd, param, kTxp); }
int At_LinkCheck(SERIAL_PORT, char *cmd, stParam *param) {
  return number_command(cmd, param, kLinkcheck);
}
int At_Timereq(SERIAL_PORT, char *cmd, stParam *param) {
  return number_command(cmd, param, kTimereq);
}
int At_Lbt(SERIAL_PORT, char *cmd, stParam *param) { return number_command(cmd, param, kLbt); }
int At_LbtScantime(SERIAL_PORT, char *cmd, stParam *param) {
  return number_command(cmd, param, kLbtScantime);
}

int At_LbtRssi(SERIAL_PORT, char *cmd, stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (param->argc < 1) {
    return AT_PARAM_ERROR;
  }
  if (param->argv[0][0] == '?' && param->argv[0][1] == '\0') {
    udrv_serial_log_printf("%s=%d\r\n", cmd, service_lora_get_lbt_rssi());
    return AT_OK;
  }
  return at_error_code_form_udrv(
      service_lora_set_lbt_rssi(static_cast<int16_t>(atoi(param->argv[0]))));
}

int At_Class(SERIAL_PORT, char *cmd, stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  if (atcmd_is_query(param)) {
    switch (service_lora_get_class()) {
      case SERVICE_LORA_CLASS_A:
        udrv_serial_log_printf("%s=A\r\n", cmd);
        return AT_OK;
      case SERVICE_LORA_CLASS_C:
        udrv_serial_log_printf("%s=C\r\n", cmd);
        return AT_OK;
      case SERVICE_LORA_CLASS_B: {
        SERVICE_LORA_CLASS_B_STATE state = service_lora_get_class_b_state();
        if (state <= SERVICE_LORA_CLASS_B_S3) {
          udrv_serial_log_printf("%s=B:S%d\r\n", cmd, static_cast<int>(state));
        } else {
          udrv_serial_log_printf("%s=B\r\n", cmd);
        }
        return AT_OK;
      }
      default:
        return AT_ERROR;
    }
  }
  const char *v = param->argv[0];
  if (v[0] == '\0' || v[1] != '\0') {
    return AT_PARAM_ERROR;
  }
  SERVICE_LORA_CLASS cls;
  switch (v[0]) {
    case 'A':
    case 'a':
      cls = SERVICE_LORA_CLASS_A;
      break;
    case 'C':
    case 'c':
      cls = SERVICE_LORA_CLASS_C;
      break;
    case 'B':
    case 'b':
      cls = SERVICE_LORA_CLASS_B;
      break;
    default:
      return AT_PARAM_ERROR;
  }
  int32_t ret = service_lora_set_class(cls, true);
  if (ret == 0) return AT_OK;
  return ret == -UDRV_UNSUPPORTED_BAND ? AT_UNSUPPORTED_BAND : AT_PARAM_ERROR;
}

// ---- Class B ----

int At_PingSlot(SERIAL_PORT, char *cmd, stParam *param) {
  return number_command(cmd, param, kPgslot);
}

namespace {

// The beacon readings exist once class B is running; "?" is the only form.
int beacon_query_allowed(stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (service_lora_get_class_b_state() != SERVICE_LORA_CLASS_B_COMPLETED) {
    return AT_NO_CLASSB_ENABLE;
  }
  return atcmd_is_query(param) ? AT_OK : AT_PARAM_ERROR;
}

}  // namespace

int At_BeaconFreq(SERIAL_PORT, char *cmd, stParam *param) {
  int ret = beacon_query_allowed(param);
  if (ret != AT_OK) {
    return ret;
  }
  const uint32_t hz = service_lora_get_beacon_freq();
  // MHz with three decimals: 923.050, never 923.50.
  udrv_serial_log_printf("%s=%d:%d.%03d\r\n", cmd, static_cast<int>(service_lora_get_beacon_dr()),
                         static_cast<int>(hz / 1000000), static_cast<int>(hz % 1000000 / 1000));
  return AT_OK;
}

int At_BeaconTime(SERIAL_PORT, char *cmd, stParam *param) {
  int ret = beacon_query_allowed(param);
  if (ret != AT_OK) {
    return ret;
  }
  udrv_serial_log_printf("%s=%u\r\n", cmd, static_cast<unsigned>(service_lora_get_beacon_time()));
  return AT_OK;
}

int At_BGW(SERIAL_PORT, char *cmd, stParam *param) {
  int ret = beacon_query_allowed(param);
  if (ret != AT_OK) {
    return ret;
  }
  const beacon_bgw_t g = service_lora_get_beacon_gwspecific();
  udrv_serial_log_printf("%s=%d:%d:%d:%d:%d\r\n", cmd, static_cast<int>(g.GPS_coordinate),
                         static_cast<int>(g.net_ID), static_cast<int>(g.gateway_ID),
                         static_cast<int>(g.latitude), static_cast<int>(g.longitude));
  return AT_OK;
}

int At_LocalTime(SERIAL_PORT, char *cmd, stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  char local_time[30];
  memset(local_time, 0, sizeof local_time);
  service_lora_get_local_time(local_time);
  udrv_serial_log_printf("%s=%s\r\n", cmd, local_time);
  return AT_OK;
}

// ---- Signal ----

int At_Rssi(SERIAL_PORT, char *cmd, stParam *param) {
  if (service_lora_get_nwm() == SERVICE_LORA_P2P) {
    return AT_MODE_NO_SUPPORT;
  }
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  udrv_serial_log_printf("%s=%d\r\n", cmd, service_lora_get_rssi());
  return AT_OK;
}

int At_Snr(SERIAL_PORT, char *cmd, stParam *param) {
  if (service_lora_get_nwm() == SERVICE_LORA_P2P) {
    return AT_MODE_NO_SUPPORT;
  }
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  udrv_serial_log_printf("%s=%d\r\n", cmd, service_lora_get_snr());
  return AT_OK;
}

int At_Arssi(SERIAL_PORT, char *cmd, stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  udrv_serial_log_printf("%s=", cmd);
  chan_rssi entry{};
  bool first = true;
  while (service_lora_get_arssi(&entry) == -UDRV_CONTINUE) {
    if (entry.mask == 0) {
      continue;
    }
    udrv_serial_log_printf(first ? "%d:%d" : ",%d:%d", static_cast<int>(entry.chan),
                           static_cast<int>(entry.rssi));
    first = false;
  }
  udrv_serial_log_printf("\r\n");
  return AT_OK;
}

#endif
