// P2P and FSK commands (see atcmd_p2p.h).
//
// Common rules: in LoRaWAN work mode every command but AT+NWM is refused
// (AT+PBR and AT+PFDEV answer only in FSK mode); one argument, "?" or the
// value (AT+P2P takes six or seven); and while P2P reception is on, the
// setters that change the radio refuse after their arguments were checked.
#include "atcmd_p2p.h"

#ifdef QIV_LORA_P2P_LINKED

#include <string.h>

#include "atcmd.h"
#include "runtimeConfig.h"
#include "service_lora.h"
#include "udrv_serial.h"
#include "udrv_system.h"

namespace {

constexpr uint32_t kFreqMin = 150000000u;
constexpr uint32_t kFreqMax = 960000000u;
constexpr uint32_t kAnyNumber = UINT32_MAX;
constexpr size_t kSendMaxBytes = 250;
constexpr size_t kSendBufferSize = 260;
constexpr size_t kCryptDataSize = 16;

// How a setter's result becomes the reply.
enum class Reply : uint8_t {
  Mapped,     // through at_error_code_form_udrv
  OkOrError,  // 0 "OK", anything else AT_ERROR
};

enum class Mode : uint8_t {
  P2pOrFsk,  // refused in LoRaWAN mode
  FskOnly,   // refused unless FSK
};

struct NumberSetting {
  uint32_t min;
  uint32_t max;
  uint32_t (*get)(void);
  int32_t (*set)(uint32_t value);
  Reply reply;
  Mode mode;
  bool rx_lock;  // refused while P2P reception is on
};

bool mode_refused(Mode mode) {
  SERVICE_LORA_WORK_MODE nwm = service_lora_get_nwm();
  return mode == Mode::FskOnly ? nwm != SERVICE_LORA_FSK : nwm == SERVICE_LORAWAN;
}

// The receive lock: the radio settings stay as they are while P2P reception
// runs.
bool rx_locked(void) {
  if (service_lora_p2p_get_radio_stat() != 0) {
    udrv_serial_log_printf("P2P_RX_ON already, please disable P2P RX before setting.\r\n");
    return true;
  }
  return false;
}

int reply_of(Reply reply, int32_t result) {
  if (reply == Reply::Mapped) {
    return at_error_code_form_udrv(result);
  }
  return result == 0 ? AT_OK : AT_ERROR;
}

int number_command(const char *cmd, stParam *param, const NumberSetting &s) {
  if (mode_refused(s.mode)) {
    return AT_MODE_NO_SUPPORT;
  }
  if (param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  if (atcmd_is_query(param)) {
    udrv_serial_log_printf("%s=%u\r\n", cmd, static_cast<unsigned>(s.get()));
    return AT_OK;
  }
  uint32_t value;
  if (at_check_digital_uint32_t(param->argv[0], &value) != 0 || value < s.min || value > s.max) {
    return AT_PARAM_ERROR;
  }
  if (s.rx_lock && rx_locked()) {
    return AT_BUSY_ERROR;
  }
  return reply_of(s.reply, s.set(value));
}

// ---- The settings, as the two command families check and reply ----

uint32_t get_freq(void) { return service_lora_p2p_get_freq(); }
int32_t set_freq(uint32_t v) { return service_lora_p2p_set_freq(v); }
uint32_t get_sf(void) { return service_lora_p2p_get_sf(); }
int32_t set_sf(uint32_t v) { return service_lora_p2p_set_sf(v); }
uint32_t get_bandwidth(void) { return service_lora_p2p_get_bandwidth(); }
int32_t set_bandwidth(uint32_t v) { return service_lora_p2p_set_bandwidth(v); }
uint32_t get_codingrate(void) { return service_lora_p2p_get_codingrate(); }
int32_t set_codingrate(uint32_t v) { return service_lora_p2p_set_codingrate(v); }
uint32_t get_preamlen(void) { return service_lora_p2p_get_preamlen(); }
int32_t set_preamlen(uint32_t v) { return service_lora_p2p_set_preamlen(v); }
uint32_t get_powerdbm(void) { return service_lora_p2p_get_powerdbm(); }
int32_t set_powerdbm(uint32_t v) { return service_lora_p2p_set_powerdbm(v); }
uint32_t get_bitrate(void) { return service_lora_p2p_get_bitrate(); }
int32_t set_bitrate(uint32_t v) { return service_lora_p2p_set_bitrate(v); }
uint32_t get_fdev(void) { return service_lora_p2p_get_fdev(); }
int32_t set_fdev(uint32_t v) { return service_lora_p2p_set_fdev(v); }
uint32_t get_iqinverted(void) { return service_lora_p2p_get_iqinverted() ? 1 : 0; }
int32_t set_iqinverted(uint32_t v) { return service_lora_p2p_set_iqinverted(v != 0); }
uint32_t get_fix_length(void) { return service_lora_p2p_get_fix_length_payload() ? 1 : 0; }
int32_t set_fix_length(uint32_t v) { return service_lora_p2p_set_fix_length_payload(v != 0); }
uint32_t get_crypt(void) { return service_lora_p2p_get_crypto_enable() ? 1 : 0; }
int32_t set_crypt(uint32_t v) { return service_lora_p2p_set_crypto_enable(v != 0); }
uint32_t get_cad(void) { return service_lora_p2p_get_CAD(); }
int32_t set_cad(uint32_t v) { return service_lora_p2p_set_CAD(v != 0); }
#ifdef SERVICE_LORA_P2P_HAS_SYMBOL_TIMEOUT
uint32_t get_symbol_timeout(void) { return service_lora_p2p_get_symbol_timeout(); }
int32_t set_symbol_timeout(uint32_t v) { return service_lora_p2p_set_symbol_timeout(v); }
#endif

constexpr NumberSetting kPFreq = {kFreqMin,      kFreqMax,       get_freq, set_freq,
                                  Reply::Mapped, Mode::P2pOrFsk, true};
constexpr NumberSetting kRfFrequency = {
    0, kAnyNumber, get_freq, set_freq, Reply::Mapped, Mode::P2pOrFsk, true};
constexpr NumberSetting kPSf = {5, 12, get_sf, set_sf, Reply::OkOrError, Mode::P2pOrFsk, true};
constexpr NumberSetting kSpreadingFactor = {5,   12, get_sf, set_sf, Reply::Mapped, Mode::P2pOrFsk,
                                            true};
constexpr NumberSetting kBandwidth = {
    0, kAnyNumber, get_bandwidth, set_bandwidth, Reply::Mapped, Mode::P2pOrFsk, true};
constexpr NumberSetting kCodingRate = {
    0, 3, get_codingrate, set_codingrate, Reply::Mapped, Mode::P2pOrFsk, true};
constexpr NumberSetting kPPl = {
    5, 65535, get_preamlen, set_preamlen, Reply::OkOrError, Mode::P2pOrFsk, true};
constexpr NumberSetting kPreambleLength = {
    5, 65535, get_preamlen, set_preamlen, Reply::Mapped, Mode::P2pOrFsk, true};
constexpr NumberSetting kPTp = {
    5, 22, get_powerdbm, set_powerdbm, Reply::OkOrError, Mode::P2pOrFsk, true};
constexpr NumberSetting kTxOutputPower = {
    5, 22, get_powerdbm, set_powerdbm, Reply::Mapped, Mode::P2pOrFsk, true};
constexpr NumberSetting kBitrate = {
    600, 300000, get_bitrate, set_bitrate, Reply::OkOrError, Mode::FskOnly, true};
constexpr NumberSetting kFdev = {600,           200000, get_fdev, set_fdev, Reply::OkOrError,
                                 Mode::FskOnly, true};
constexpr NumberSetting kIqInver = {
    0, 1, get_iqinverted, set_iqinverted, Reply::Mapped, Mode::P2pOrFsk, true};
constexpr NumberSetting kFixLength = {
    0, 1, get_fix_length, set_fix_length, Reply::Mapped, Mode::P2pOrFsk, true};
constexpr NumberSetting kCrypt = {0,   1, get_crypt, set_crypt, Reply::OkOrError, Mode::P2pOrFsk,
                                  true};
constexpr NumberSetting kCad = {0, 1, get_cad, set_cad, Reply::OkOrError, Mode::P2pOrFsk, false};
#ifdef SERVICE_LORA_P2P_HAS_SYMBOL_TIMEOUT
constexpr NumberSetting kSymbolTimeout = {
    0, 248, get_symbol_timeout, set_symbol_timeout, Reply::Mapped, Mode::P2pOrFsk, true};
#endif

// AT+ENCKEY and AT+CRYPIV: 16 bytes as 32 hex digits.
int crypt_data_command(const char *cmd, stParam *param, int32_t (*get)(uint8_t *, uint32_t),
                       int32_t (*set)(const uint8_t *, uint32_t)) {
  if (mode_refused(Mode::P2pOrFsk)) {
    return AT_MODE_NO_SUPPORT;
  }
  if (param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  uint8_t data[kCryptDataSize];
  if (atcmd_is_query(param)) {
    if (get(data, sizeof data) != 0) {
      return AT_ERROR;
    }
    char line[ATCMD_NAME_MAX_LEN + 2 + 2 * kCryptDataSize + 3];
    size_t n = strlen(cmd);
    memcpy(line, cmd, n);
    line[n++] = '=';
    static const char kDigits[] = "0123456789ABCDEF";
    for (uint8_t b : data) {
      line[n++] = kDigits[b >> 4];
      line[n++] = kDigits[b & 0x0F];
    }
    line[n++] = '\r';
    line[n++] = '\n';
    line[n] = '\0';
    udrv_serial_log_printf("%s", line);
    return AT_OK;
  }
  if (at_check_hex_param(param->argv[0], 2 * kCryptDataSize, data) != 0) {
    return AT_PARAM_ERROR;
  }
  if (rx_locked()) {
    return AT_BUSY_ERROR;
  }
  return set(data, sizeof data) == 0 ? AT_OK : AT_ERROR;
}

// Numbers of AT+P2P, in order: frequency, spreading factor, bandwidth,
// coding rate, preamble length, transmit power.
constexpr int kP2pValues = 6;

bool read_p2p_values(const stParam *param, uint32_t values[kP2pValues]) {
  for (int i = 0; i < kP2pValues; ++i) {
    if (at_check_digital_uint32_t(param->argv[i], &values[i]) != 0) {
      return false;
    }
  }
  return true;
}

int p2p_query(const char *cmd) {
  runtimeConfigP2P_t rt;
  if (get_useRuntimeConfigP2P() && get_runtimeConfigP2P(&rt)) {
    uint32_t bandwidth = service_lora_get_nwm() == SERVICE_LORA_FSK ? rt.fsk_rxbw : rt.bandwidth;
    udrv_serial_log_printf("%s=%u:%u:%u:%u:%u:%u\r\n", cmd, static_cast<unsigned>(rt.frequency),
                           static_cast<unsigned>(rt.spreading_factor),
                           static_cast<unsigned>(bandwidth), static_cast<unsigned>(rt.coding_rate),
                           static_cast<unsigned>(rt.preamble_length),
                           static_cast<unsigned>(rt.txpower));
  } else {
    udrv_serial_log_printf("%s=%u:%u:%u:%u:%u:%u\r\n", cmd,
                           static_cast<unsigned>(service_lora_p2p_get_freq()),
                           static_cast<unsigned>(service_lora_p2p_get_sf()),
                           static_cast<unsigned>(service_lora_p2p_get_bandwidth()),
                           static_cast<unsigned>(service_lora_p2p_get_codingrate()),
                           static_cast<unsigned>(service_lora_p2p_get_preamlen()),
                           static_cast<unsigned>(service_lora_p2p_get_powerdbm()));
  }
  return AT_OK;
}

// The six settings stored; on the first refusal every one of them goes back
// to what it was.
int p2p_store(const uint32_t values[kP2pValues]) {
  static int32_t (*const kSetters[kP2pValues])(uint32_t) = {
      set_freq, set_sf, set_bandwidth, set_codingrate, set_preamlen, set_powerdbm};
  const uint32_t before[kP2pValues] = {get_freq(),       get_sf(),       get_bandwidth(),
                                       get_codingrate(), get_preamlen(), get_powerdbm()};
  for (int i = 0; i < kP2pValues; ++i) {
    int32_t result = kSetters[i](values[i]);
    if ((result & 0xFF) != 0) {
      for (int k = 0; k < kP2pValues; ++k) {
        kSetters[k](before[k]);
      }
      return at_error_code_form_udrv(result);
    }
  }
  set_useRuntimeConfigP2P(false);
  // The radio follows the stored settings again.
  service_lora_p2p_config();
  return AT_OK;
}

// The six settings for this run only: checked, then applied to the radio.
int p2p_runtime(uint32_t values[kP2pValues]) {
  const bool fsk = service_lora_get_nwm() == SERVICE_LORA_FSK;
  if (!fsk) {
    switch (values[2]) {
      case 125:
        values[2] = 0;
        break;
      case 250:
        values[2] = 1;
        break;
      case 500:
        values[2] = 2;
        break;
      default:
        break;
    }
  }
  static int32_t (*const kChecks[kP2pValues])(uint32_t) = {
      service_lora_p2p_check_runtime_freq,      service_lora_p2p_check_runtime_sf,
      service_lora_p2p_check_runtime_bandwidth, service_lora_p2p_check_runtime_codingrate,
      service_lora_p2p_check_runtime_preamlen,  service_lora_p2p_check_runtime_powerdbm};
  for (int i = 0; i < kP2pValues; ++i) {
    int32_t result = kChecks[i](values[i]);
    if (result != 0) {
      return at_error_code_form_udrv(result);
    }
  }
  // A record not in use yet starts empty: the other work mode's bandwidth
  // stays 0 (the work mode cannot change before the record is gone).
  runtimeConfigP2P_t rt = {};
  if (get_useRuntimeConfigP2P()) {
    get_runtimeConfigP2P(&rt);
  }
  rt.frequency = values[0];
  rt.spreading_factor = static_cast<uint8_t>(values[1]);
  if (fsk) {
    rt.fsk_rxbw = values[2];
  } else {
    rt.bandwidth = values[2];
  }
  rt.coding_rate = static_cast<uint8_t>(values[3]);
  rt.preamble_length = static_cast<uint16_t>(values[4]);
  rt.txpower = static_cast<uint8_t>(values[5]);
  set_runtimeConfigP2P(&rt);
  set_useRuntimeConfigP2P(true);
  service_lora_p2p_config();
  return AT_OK;
}

}  // namespace

int At_NwkWorkMode(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  if (atcmd_is_query(param)) {
    udrv_serial_log_printf("%s=%u\r\n", cmd, static_cast<unsigned>(service_lora_get_nwm()));
    return AT_OK;
  }
  const char *value = param->argv[0];
  if (strlen(value) != 1) {
    return AT_PARAM_ERROR;
  }
  if (rx_locked()) {
    return AT_BUSY_ERROR;
  }
  if (value[0] < '0' || value[0] > '2') {
    return AT_PARAM_ERROR;
  }
  if (service_lora_set_nwm(static_cast<SERVICE_LORA_WORK_MODE>(value[0] - '0')) != 0) {
    return AT_ERROR;
  }
  // The new mode takes effect at the next start: restart now.
  udrv_serial_log_printf("OK");
  udrv_system_reboot();
  // Not reached: the MCU restarts.
  return AT_ERROR;
}

int At_P2pFreq(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kPFreq);
}

int At_rfFrequency(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kRfFrequency);
}

int At_P2pSF(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kPSf);
}

int At_speradingFactor(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kSpreadingFactor);
}

int At_P2pBW(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kBandwidth);
}

int At_bandwidth(SERIAL_PORT port, char *cmd, stParam *param) { return At_P2pBW(port, cmd, param); }

int At_P2pCR(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kCodingRate);
}

int At_codingrate(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kCodingRate);
}

int At_P2pPL(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kPPl);
}

int At_preambleLength(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kPreambleLength);
}

int At_P2pTP(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kPTp);
}

int At_txOutputPower(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kTxOutputPower);
}

int At_Pbr(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kBitrate);
}

int At_Pfdev(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kFdev);
}

int At_iqInver(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kIqInver);
}

int At_fixLengthPayload(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kFixLength);
}

#ifdef SERVICE_LORA_P2P_HAS_SYMBOL_TIMEOUT
int At_symbolTimeout(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kSymbolTimeout);
}
#endif

int At_P2pCrypt(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kCrypt);
}

int At_P2pCAD(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return number_command(cmd, param, kCad);
}

int At_syncword(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (mode_refused(Mode::P2pOrFsk)) {
    return AT_MODE_NO_SUPPORT;
  }
  if (param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  if (atcmd_is_query(param)) {
    udrv_serial_log_printf("%s=%04x\r\n", cmd,
                           static_cast<unsigned>(service_lora_p2p_get_syncword()));
    return AT_OK;
  }
  uint16_t value;
  if (at_check_hex_uint16(param->argv[0], &value) != 0) {
    return AT_PARAM_ERROR;
  }
  if (rx_locked()) {
    return AT_BUSY_ERROR;
  }
  return at_error_code_form_udrv(service_lora_p2p_set_syncword(value));
}

int At_P2pKey(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return crypt_data_command(cmd, param, service_lora_p2p_get_crypto_key,
                            service_lora_p2p_set_crypto_key);
}

int At_P2pIV(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  return crypt_data_command(cmd, param, service_lora_p2p_get_crypto_IV,
                            service_lora_p2p_set_crypto_IV);
}

int At_P2pSend(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  (void)cmd;
  if (mode_refused(Mode::P2pOrFsk)) {
    return AT_MODE_NO_SUPPORT;
  }
  if (param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  const char *hex = param->argv[0];
  const size_t digits = strlen(hex);
  const size_t max_bytes =
      service_lora_p2p_get_crypto_enable() ? SERVICE_LORA_P2P_CRYPT_MAX_PAYLOAD : kSendMaxBytes;
  uint8_t data[kSendBufferSize];
  if (digits > 2 * max_bytes || at_check_hex_param(hex, static_cast<uint32_t>(digits), data) != 0) {
    return AT_PARAM_ERROR;
  }
  int32_t result = service_lora_p2p_send(data, static_cast<uint8_t>(digits / 2),
                                         service_lora_p2p_get_CAD() != 0);
  // The transmission's outcome comes later as an event line; only a send
  // that did not start is an error here.
  return at_error_code_form_udrv(result);
}

int At_P2pRecv(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  (void)cmd;
  if (mode_refused(Mode::P2pOrFsk)) {
    return AT_MODE_NO_SUPPORT;
  }
  if (param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  if (atcmd_is_query(param)) {
    udrv_serial_log_printf(service_lora_p2p_get_radio_stat() != 0 ? "P2P_RX_ON\r\n"
                                                                  : "P2P_RX_OFF\r\n");
    return AT_OK;
  }
  uint32_t timeout;
  if (at_check_digital_uint32_t(param->argv[0], &timeout) != 0 || timeout > 65535) {
    return AT_PARAM_ERROR;
  }
  return at_error_code_form_udrv(service_lora_p2p_recv(timeout));
}

int At_P2p(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (mode_refused(Mode::P2pOrFsk)) {
    return AT_MODE_NO_SUPPORT;
  }
  if (atcmd_is_query(param)) {
    return p2p_query(cmd);
  }
  bool runtime;
  if (param->argc == kP2pValues) {
    runtime = false;
  } else if (param->argc == kP2pValues + 1 && strcmp(param->argv[kP2pValues], "0") == 0) {
    runtime = false;
  } else if (param->argc == kP2pValues + 1 && strcmp(param->argv[kP2pValues], "1") == 0) {
    runtime = true;
  } else {
    return AT_PARAM_ERROR;
  }
  uint32_t values[kP2pValues];
  if (!read_p2p_values(param, values)) {
    return AT_PARAM_ERROR;
  }
  if (!runtime) {
    if (values[0] < kFreqMin || values[0] > kFreqMax || values[1] < 5 || values[1] > 12 ||
        values[3] > 3 || values[4] < 5 || values[4] > 65535 || values[5] < 5 || values[5] > 22) {
      return AT_PARAM_ERROR;
    }
  }
  if (rx_locked()) {
    return AT_BUSY_ERROR;
  }
  return runtime ? p2p_runtime(values) : p2p_store(values);
}

#endif  // QIV_LORA_P2P_LINKED
