// RF test commands (see atcmd_rftest.h).
//
// Numbers are decimal, 1 to 10 digits, at most 4294967295; a count of
// packets must be at least 1 (a run of none has nothing to do).
#include "atcmd_rftest.h"

#ifdef QIV_LORA_SERVICES_LINKED

#include "atcmd.h"
#include "service_lora_test.h"
#include "udrv_errno.h"
#include "udrv_serial.h"
#ifdef QIV_BOARD_BAND_STRAP
#include "qiv_board.h"
#endif

namespace {

#ifdef QIV_BOARD_BAND_STRAP
// The band the module's hardware is built for (both bounds included).
constexpr uint32_t kLowBandMin = 150000000u, kBandSplit = 600000000u, kHighBandMax = 960000000u;
#endif
constexpr uint32_t kCwPowerMin = 5, kCwPowerMax = 22;
constexpr uint32_t kCwTimeoutMax = 65535;
// Fields typed into 8-bit test fields: larger numbers are refused rather
// than cut to their low byte.
constexpr uint32_t kByteMax = 255;

int test_reply(int32_t ret) {
  switch (ret) {
    case 0:
      return AT_OK;
    case -UDRV_WRONG_ARG:
      return AT_PARAM_ERROR;
    case -UDRV_BUSY:
      return AT_BUSY_ERROR;
    default:
      return AT_ERROR;
  }
}

// All arguments as numbers, exactly `n` of them.
bool numbers(const stParam *param, int n, uint32_t *values) {
  if (param->argc != n) {
    return false;
  }
  for (int i = 0; i < n; ++i) {
    if (at_check_digital_uint32_t(param->argv[i], &values[i]) != 0) {
      return false;
    }
  }
  return true;
}

// A positive packet count as the one argument.
bool count(const stParam *param, uint32_t *value) { return numbers(param, 1, value) && *value > 0; }

int hop_command(const char *cmd, stParam *param, int32_t (*start)(testParameter_t *)) {
  if (atcmd_is_query(param)) {
    testParameter_t p;
    service_lora_get_tconf(&p);
    udrv_serial_log_printf("%s=%u:%u:%u:%u\r\n", cmd, static_cast<unsigned>(p.freq_start),
                           static_cast<unsigned>(p.freq_stop), static_cast<unsigned>(p.hp_step),
                           static_cast<unsigned>(p.nb_tx));
    return AT_OK;
  }
  uint32_t v[4];
  if (!numbers(param, 4, v) || v[1] < v[0] || v[3] == 0) {
    return AT_PARAM_ERROR;
  }
  testParameter_t p{};
  p.freq_start = v[0];
  p.freq_stop = v[1];
  p.hp_step = v[2];
  p.nb_tx = v[3];
  const int32_t ret = start(&p);
  if (ret == -UDRV_WRONG_ARG) {
    return AT_PARAM_ERROR;
  }
  return ret == 0 ? AT_OK : AT_ERROR;
}

}  // namespace

int At_Trssi(SERIAL_PORT, char *cmd, stParam *param) {
  if (!atcmd_is_bare(param)) {
    return AT_PARAM_ERROR;
  }
  int16_t rssi = 0;
  const int32_t ret = service_lora_trssi(&rssi);
  if (ret == 0) {
    udrv_serial_log_printf("%s=%d\r\n", cmd, static_cast<int>(rssi));
  }
  return test_reply(ret);
}

int At_Ttone(SERIAL_PORT, char *, stParam *param) {
  if (!atcmd_is_bare(param)) {
    return AT_PARAM_ERROR;
  }
  const int32_t ret = service_lora_ttone();
  if (ret == 0) {
    // The reply word follows on the same line.
    udrv_serial_log_printf("Tx tone");
  }
  return test_reply(ret);
}

int At_Ttx(SERIAL_PORT, char *, stParam *param) {
  uint32_t n = 0;
  if (!count(param, &n)) {
    return AT_PARAM_ERROR;
  }
  return test_reply(service_lora_ttx(n));
}

int At_Trx(SERIAL_PORT, char *, stParam *param) {
  uint32_t n = 0;
  // The service counts in a signed 32-bit number.
  if (!count(param, &n) || n > 0x7FFFFFFFu) {
    return AT_PARAM_ERROR;
  }
  return test_reply(service_lora_trx(static_cast<int32_t>(n)));
}

int At_Tconf(SERIAL_PORT, char *cmd, stParam *param) {
  testParameter_t p;
  service_lora_get_tconf(&p);
  if (atcmd_is_query(param)) {
    udrv_serial_log_printf("%s=%u:%d:%u:%u:%u:%u:%u:%u:%u:%u:%u:%u\r\n", cmd,
                           static_cast<unsigned>(p.frequency), static_cast<int>(p.power),
                           static_cast<unsigned>(p.bandwidth), static_cast<unsigned>(p.datarate),
                           static_cast<unsigned>(p.coderate), static_cast<unsigned>(p.lna),
                           static_cast<unsigned>(p.paBoost), static_cast<unsigned>(p.modem),
                           static_cast<unsigned>(p.payloadLen), static_cast<unsigned>(p.fdev),
                           static_cast<unsigned>(p.lowDrOpt), static_cast<unsigned>(p.BTproduct));
    return AT_OK;
  }
  uint32_t v[12];
  if (!numbers(param, 12, v) || v[1] > kByteMax || v[4] > kByteMax || v[8] > kByteMax) {
    return AT_PARAM_ERROR;
  }
  // The fields the command does not carry keep their current values.
  p.frequency = v[0];
  p.power = static_cast<int8_t>(static_cast<uint8_t>(v[1]));  // 247 to 255: -9 to -1 dBm
  p.bandwidth = v[2];
  p.datarate = v[3];
  p.coderate = static_cast<uint8_t>(v[4]);
  p.lna = v[5];
  p.paBoost = v[6];
  p.modem = v[7];
  p.payloadLen = static_cast<uint8_t>(v[8]);
  p.fdev = v[9];
  p.lowDrOpt = v[10];
  p.BTproduct = v[11];
  if (p.payloadLen == 0) {
    return AT_PARAM_ERROR;
  }
  return test_reply(service_lora_set_tconf(&p));
}

int At_Tth(SERIAL_PORT, char *cmd, stParam *param) {
  return hop_command(cmd, param, service_lora_tth);
}

int At_Trth(SERIAL_PORT, char *cmd, stParam *param) {
  return hop_command(cmd, param, service_lora_trth);
}

int At_Toff(SERIAL_PORT, char *, stParam *) {
  service_lora_toff();
  return AT_OK;
}

int At_Cw(SERIAL_PORT, char *cmd, stParam *param) {
  testCwParameter_t cw;
  if (atcmd_is_query(param)) {
    service_lora_get_cw(&cw);
    udrv_serial_log_printf("%s=%u:%u:%u\r\n", cmd, static_cast<unsigned>(cw.frequency),
                           static_cast<unsigned>(cw.txpower), static_cast<unsigned>(cw.txTimeout));
    return AT_OK;
  }
  uint32_t v[3];
  if (!numbers(param, 3, v) || v[1] < kCwPowerMin || v[1] > kCwPowerMax || v[2] > kCwTimeoutMax) {
    return AT_PARAM_ERROR;
  }
#ifdef QIV_BOARD_BAND_STRAP
  const bool in_band = BoardGetHardwareFreq() != 0 ? v[0] >= kBandSplit && v[0] <= kHighBandMax
                                                   : v[0] >= kLowBandMin && v[0] <= kBandSplit;
  if (!in_band) {
    return AT_PARAM_ERROR;
  }
#endif
  cw.frequency = v[0];
  cw.txpower = v[1];
  cw.txTimeout = v[2];
  return test_reply(service_lora_set_cw(&cw));
}

#endif  // QIV_LORA_SERVICES_LINKED
