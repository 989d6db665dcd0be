// LoRa and FSK point-to-point service (see service_lora_p2p.h).
//
// State: the flags of lora_p2p_status say what the radio is doing. The main
// loop changes them in the operations, the radio interrupt in the callbacks.
// The service holds one power-save wake lock exactly while the radio is in
// use (sending, checking the channel or receiving), so that every way a send
// or a reception ends gives the lock back and nothing takes it twice.
#include "service_lora_p2p.h"

#include <string.h>

#include "aes.h"
#include "board.h"
#include "radio.h"
#include "runtimeConfig.h"
#include "service_debug.h"
#include "service_nvm.h"
#include "udrv_errno.h"
#include "udrv_powersave.h"
#include "udrv_rtc.h"
#include "udrv_serial.h"
#include "udrv_system.h"
#ifdef QIV_BOARD_BAND_STRAP
#include "qiv_board.h"
#endif

namespace {

constexpr uint32_t kTxTimeoutMs = 0x00FFFFFFu;
constexpr uint16_t kRegSyncWordHigh = 0x0740;
constexpr uint16_t kRegSyncWordLow = 0x0741;
constexpr uint16_t kFskSymbolTimeout = 5;
constexpr uint32_t kSymbolTimeoutMax = 248;
constexpr uint32_t kFreqMin = 150000000u;
constexpr uint32_t kFreqMax = 960000000u;
#ifdef QIV_BOARD_BAND_STRAP
// High-band modules work above it, low-band modules up to it.
constexpr uint32_t kBandSplit = 600000000u;
#endif
constexpr uint32_t kFskBandwidthMin = 4800u;
constexpr uint32_t kFskBandwidthMax = 467000u;
constexpr uint32_t kSfMin = 5, kSfMax = 12;
constexpr uint32_t kCodingRateMax = 3;
constexpr uint32_t kPreambleMin = 5, kPreambleMax = 0xFFFF;
constexpr uint32_t kPowerMin = 5, kPowerMax = 22;
constexpr uint32_t kFdevMin = 600, kFdevMax = 200000;
constexpr uint32_t kBitrateMin = 600, kBitrateMax = 300000;
constexpr uint32_t kRxWindowMax = 0xFFFF;
// Longest a channel activity check may take (two symbols at SF12 and the
// narrowest bandwidth last about 1 s): past it the radio counts as busy.
constexpr uint64_t kCadWaitMaxMs = 5000;

RadioEvents_t P2PRadioEvents;
qiv_lora_p2p_recv_t p2p_recv_record;
// A frame is on its way out (from the start of a send to TX done or TX
// timeout, or until the channel activity check refused it).
volatile bool p2p_tx_running;
bool p2p_wake_locked;
// The last configuration made the receiver continuous only because a
// continuous mode was on, although a symbol timeout is stored.
bool p2p_rx_continuous_forced;

bool any_continuous(void) {
  return lora_p2p_status.isContinue || lora_p2p_status.isContinue_no_exit ||
         lora_p2p_status.isContinue_compatible_tx;
}

// The continuous modes that stay on after a frame.
bool keeps_receiving(void) {
  return lora_p2p_status.isContinue_no_exit || lora_p2p_status.isContinue_compatible_tx;
}

bool fsk_mode(void) { return service_nvm_get_nwm_from_nvm() == SERVICE_LORA_FSK; }

bool debug_on(void) { return service_get_debug_level() != 0; }

// Holds the wake lock while the radio is in use, and only then.
void sync_wake_lock(void) {
  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  const bool in_use =
      lora_p2p_status.isRadioBusy || any_continuous() || lora_p2p_status.isCAD || p2p_tx_running;
  if (in_use && !p2p_wake_locked) {
    udrv_powersave_wake_lock();
    p2p_wake_locked = true;
  } else if (!in_use && p2p_wake_locked) {
    udrv_powersave_wake_unlock();
    p2p_wake_locked = false;
  }
  udrv_system_critical_section_end(&mask);
}

// A continuous reception goes on: the receiver is started again should it
// have left reception (after a timeout or an error).
void keep_rx_on(void) {
  lora_p2p_status.isRadioBusy = true;
  if (Radio.GetStatus() != RF_RX_RUNNING) {
    Radio.Rx(0);
  }
}

// Bytes as upper-case hex, in pieces that the 512-byte print buffer holds.
void print_hex(const uint8_t *data, uint32_t len) {
  static const char kDigits[] = "0123456789ABCDEF";
  char text[2 * 64 + 1];
  uint32_t i = 0;
  while (i < len) {
    uint32_t n = 0;
    for (; n < 64 && i < len; ++n, ++i) {
      text[2 * n] = kDigits[data[i] >> 4];
      text[2 * n + 1] = kDigits[data[i] & 0x0F];
    }
    text[2 * n] = '\0';
    udrv_serial_log_printf("%s", text);
  }
}

uint32_t lora_bandwidth_index(uint32_t bandwidth) {
  switch (bandwidth) {
    case 125:
      return 0;
    case 250:
      return 1;
    case 500:
      return 2;
    default:
      return bandwidth;
  }
}

bool in_range(uint32_t value, uint32_t min, uint32_t max) { return value >= min && value <= max; }

int32_t range_result(uint32_t value, uint32_t min, uint32_t max) {
  return in_range(value, min, max) ? 0 : -UDRV_WRONG_ARG;
}

// A setting that reconfigures the radio once stored.
int32_t stored_and_applied(int32_t store_result) {
  service_lora_p2p_config();
  return store_result;
}

// A ranged setting that reconfigures the radio: refused outside [min, max],
// otherwise stored in the width its record keeps and applied.
template <typename Stored, typename StoreResult>
int32_t set_in_range(uint32_t value, uint32_t min, uint32_t max, StoreResult (*store)(Stored)) {
  if (!in_range(value, min, max)) {
    return -UDRV_WRONG_ARG;
  }
  return stored_and_applied(static_cast<int32_t>(store(static_cast<Stored>(value))));
}

void report_rx_end(const char *p2p_line, const char *fsk_line, LORA_P2P_RX_STATUS status) {
  udrv_serial_log_printf("%s", fsk_mode() ? fsk_line : p2p_line);
  p2p_recv_record.Buffer = lora_p2p_buf;
  p2p_recv_record.BufferSize = 0;
  p2p_recv_record.Rssi = 0;
  p2p_recv_record.Snr = 0;
  p2p_recv_record.Status = status;
  if (service_lora_p2p_recv_callback != nullptr) {
    service_lora_p2p_recv_callback(p2p_recv_record);
  }
}

// ---------------------------------------------------- radio callbacks ----

void OnP2PRxError(void);

void OnP2PTxDone(void) {
  lora_p2p_status.isRadioBusy = false;
  p2p_tx_running = false;
  if (service_lora_p2p_send_callback != nullptr) {
    service_lora_p2p_send_callback();
  }
  udrv_serial_log_printf("%s", fsk_mode() ? "+EVT:TXFSK DONE\r\n" : "+EVT:TXP2P DONE\r\n");
  if (lora_p2p_status.isContinue_compatible_tx) {
    lora_p2p_status.isRadioBusy = true;
    Radio.Standby();
    Radio.Rx(0);
  }
  sync_wake_lock();
}

void OnP2PTxTimeout(void) {
  if (!p2p_tx_running) {
    return;
  }
  lora_p2p_status.isRadioBusy = false;
  p2p_tx_running = false;
  if (debug_on()) {
    udrv_serial_log_printf("%s\r\n", "OnTxTimeout");
  }
  // A continuous reception that let the send through goes on, as after
  // TX done.
  if (lora_p2p_status.isContinue_compatible_tx) {
    lora_p2p_status.isRadioBusy = true;
    Radio.Standby();
    Radio.Rx(0);
  }
  sync_wake_lock();
}

void OnP2PRxDone(uint8_t *payload, uint16_t size, int16_t rssi, int8_t snr) {
  lora_p2p_status.isRadioBusy = false;
  lora_p2p_status.isContinue = false;
  // A radio frame is never longer than the buffer; a driver that says so
  // is not believed past it.
  uint16_t len = size > SERVICE_LORA_P2P_MAX_FRAME ? SERVICE_LORA_P2P_MAX_FRAME : size;
  if (service_nvm_get_crypt_enable_from_nvm()) {
    uint8_t plain[256] = {};
    int32_t n = service_lora_p2p_decrpty(payload, len, plain);
    if (n < 0) {
      // Not a frame this service encrypted (or the AES unit failed):
      // a receive error, never bytes read past the frame.
      OnP2PRxError();
      return;
    }
    len = static_cast<uint16_t>(n);
    memcpy(lora_p2p_buf, plain, len);
  } else {
    memcpy(lora_p2p_buf, payload, len);
  }
  udrv_serial_log_printf(fsk_mode() ? "+EVT:RXFSK:%d:%d:" : "+EVT:RXP2P:%d:%d:",
                         static_cast<int>(rssi), static_cast<int>(snr));
  print_hex(lora_p2p_buf, len);
  udrv_serial_log_printf("\r\n");

  p2p_recv_record.Buffer = lora_p2p_buf;
  p2p_recv_record.BufferSize = static_cast<uint8_t>(len);
  p2p_recv_record.Rssi = rssi;
  p2p_recv_record.Snr = snr;
  p2p_recv_record.Status = LORA_P2P_RXDONE;
  if (service_lora_p2p_recv_callback != nullptr) {
    service_lora_p2p_recv_callback(p2p_recv_record);
  }
  if (keeps_receiving()) {
    keep_rx_on();
  } else {
    Radio.Standby();
  }
  sync_wake_lock();
}

void OnP2PRxTimeout(void) {
  // The window's timer of a reception that has already ended (stopped, or
  // a send has the radio now) brings nothing.
  if (p2p_tx_running || (!lora_p2p_status.isRadioBusy && !any_continuous())) {
    return;
  }
  lora_p2p_status.isRadioBusy = false;
  if (any_continuous()) {
    keep_rx_on();
  } else {
    report_rx_end("+EVT:RXP2P RECEIVE TIMEOUT\r\n", "+EVT:RXFSK RECEIVE TIMEOUT\r\n",
                  LORA_P2P_RXTIMEOUT);
    Radio.Standby();
  }
  sync_wake_lock();
}

void OnP2PRxError(void) {
  lora_p2p_status.isRadioBusy = false;
  lora_p2p_status.isContinue = false;
  report_rx_end("+EVT:RXP2P RECEIVE ERROR\r\n", "+EVT:RXFSK RECEIVE ERROR\r\n", LORA_P2P_RXERROR);
  if (keeps_receiving()) {
    keep_rx_on();
  } else {
    Radio.Standby();
  }
  sync_wake_lock();
}

void OnP2PCadDone(bool channelActivityDetected) {
  if (service_lora_p2p_send_CAD_callback != nullptr) {
    service_lora_p2p_send_CAD_callback(channelActivityDetected);
  }
  if (channelActivityDetected) {
    lora_p2p_status.isRadioBusy = false;
  }
  lora_p2p_status.isCAD = false;
}

// The stored key into the AES engine and `blocks` blocks through CBC with a
// copy of the IV (the engine may change the one it is given).
bool cbc(bool encrypt, const uint8_t *in, uint8_t *out, uint32_t blocks,
         const uint8_t iv[SERVICE_LORA_P2P_CRYPT_BLOCK]) {
  uint8_t key[16];
  if (service_nvm_get_crypt_key_from_nvm(key, sizeof key) != 0) {
    return false;
  }
  uint8_t chain[N_BLOCK];
  memcpy(chain, iv, N_BLOCK);
  aes_context ctx;
  memset(&ctx, 0, sizeof ctx);
  // The engine holds one key and one IV: the radio interrupt, which
  // decrypts received frames, must not come between setting them and
  // using them.
  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  bool ok = aes_set_key(key, sizeof key, &ctx) == 0;
  if (ok) {
    ok = (encrypt ? aes_cbc_encrypt(in, out, static_cast<int>(blocks), chain, &ctx)
                  : aes_cbc_decrypt(in, out, static_cast<int>(blocks), chain, &ctx)) == 0;
  }
  udrv_system_critical_section_end(&mask);
  memset(key, 0, sizeof key);
  return ok;
}

}  // namespace

LORA_P2P_STATUS_ST lora_p2p_status;
uint8_t lora_p2p_buf[SERVICE_LORA_P2P_MAX_FRAME];
void (*service_lora_p2p_send_callback)(void) = nullptr;
void (*service_lora_p2p_recv_callback)(qiv_lora_p2p_recv_t data) = nullptr;
void (*service_lora_p2p_send_CAD_callback)(bool channel_activity_detected) = nullptr;

// ------------------------------------------------------------- radio ----

void radio_set_syncword(uint16_t syncword) {
  Radio.Write(kRegSyncWordHigh, static_cast<uint8_t>(syncword >> 8));
  Radio.Write(kRegSyncWordLow, static_cast<uint8_t>(syncword & 0xFF));
}

int32_t service_lora_p2p_init(void) {
  memset(&P2PRadioEvents, 0, sizeof P2PRadioEvents);
  P2PRadioEvents.TxDone = OnP2PTxDone;
  P2PRadioEvents.RxDone = OnP2PRxDone;
  P2PRadioEvents.TxTimeout = OnP2PTxTimeout;
  P2PRadioEvents.RxTimeout = OnP2PRxTimeout;
  P2PRadioEvents.RxError = OnP2PRxError;
  P2PRadioEvents.CadDone = OnP2PCadDone;
  Radio.Init(&P2PRadioEvents);
  service_lora_p2p_config();
  return 0;
}

int32_t service_lora_p2p_config(void) {
  const SERVICE_LORA_WORK_MODE mode = service_nvm_get_nwm_from_nvm();
  runtimeConfigP2P_t runtime;
  const bool use_runtime = get_useRuntimeConfigP2P() && get_runtimeConfigP2P(&runtime);

  uint32_t freq;
  uint32_t sf;
  uint32_t bandwidth;
  uint8_t coding_rate;
  uint16_t preamble;
  int8_t power;
  if (use_runtime) {
    freq = runtime.frequency;
    sf = runtime.spreading_factor;
    bandwidth =
        mode == SERVICE_LORA_FSK ? runtime.fsk_rxbw / 2 : lora_bandwidth_index(runtime.bandwidth);
    coding_rate = runtime.coding_rate;
    preamble = runtime.preamble_length;
    power = static_cast<int8_t>(runtime.txpower);
  } else {
    freq = service_nvm_get_freq_from_nvm();
    sf = service_nvm_get_sf_from_nvm();
    bandwidth = mode == SERVICE_LORA_FSK ? service_lora_p2p_get_bandwidth() / 2
                                         : service_lora_p2p_get_bandwidth();
    coding_rate = service_nvm_get_codingrate_from_nvm();
    preamble = service_nvm_get_preamlen_from_nvm();
    power = static_cast<int8_t>(service_nvm_get_powerdbm_from_nvm());
  }
  // The radio counts coding rates 4/5 to 4/8 as 1 to 4.
  const uint8_t coderate = static_cast<uint8_t>(coding_rate + 1);
  const uint32_t bitrate = service_nvm_get_bitrate_from_nvm();
  const uint32_t fdev = service_nvm_get_fdev_from_nvm();
  uint32_t symbol_timeout = service_nvm_get_symbol_timeout_from_nvm();
  if (symbol_timeout > kSymbolTimeoutMax) {
    symbol_timeout = kSymbolTimeoutMax;
  }
  const bool iq_inverted = service_nvm_get_iqinverted_from_nvm();
  const bool fix_length = service_nvm_get_fix_length_payload_from_nvm();

  if (mode == SERVICE_LORA_P2P) {
    // A stored symbol timeout ends a reception that hears nothing; the
    // continuous modes must not end that way, so they receive
    // continuously whatever timeout is stored.
    const bool continuous_mode = any_continuous();
    p2p_rx_continuous_forced = symbol_timeout != 0 && continuous_mode;
    Radio.SetTxConfig(MODEM_LORA, power, 0, bandwidth, sf, coderate, preamble, fix_length, true,
                      false, 0, iq_inverted, kTxTimeoutMs);
    Radio.SetRxConfig(MODEM_LORA, bandwidth, sf, coderate, 0, preamble,
                      static_cast<uint16_t>(symbol_timeout), fix_length, 0, true, false, 0,
                      iq_inverted, symbol_timeout == 0 || continuous_mode);
    Radio.SetMaxPayloadLength(MODEM_LORA, SERVICE_LORA_P2P_MAX_FRAME);
#ifdef SERVICE_LORA_P2P_HAS_SYNCWORD
    radio_set_syncword(service_nvm_get_syncword_from_nvm());
#endif
  } else if (mode == SERVICE_LORA_FSK) {
    p2p_rx_continuous_forced = false;
    Radio.SetTxConfig(MODEM_FSK, power, fdev, bandwidth, bitrate, coderate, preamble, false, true,
                      false, 0, false, kTxTimeoutMs);
    Radio.SetRxConfig(MODEM_FSK, bandwidth, bitrate, coderate, 0, preamble, kFskSymbolTimeout,
                      false, 0, true, false, 0, false, true);
    Radio.SetMaxPayloadLength(MODEM_FSK, SERVICE_LORA_P2P_MAX_FRAME);
  }
  Radio.SetChannel(freq);
  return 0;
}

// -------------------------------------------------------------- send ----

int32_t service_lora_p2p_send(uint8_t *p_data, uint8_t len, bool cad_enable) {
  if (p2p_tx_running ||
      (lora_p2p_status.isRadioBusy && !lora_p2p_status.isContinue_compatible_tx)) {
    return -UDRV_BUSY;
  }
  // The frame is made before the radio is touched, so that a refused
  // payload leaves a running reception alone.
  uint8_t frame[SERVICE_LORA_P2P_MAX_FRAME];
  uint8_t frame_len;
  if (service_nvm_get_crypt_enable_from_nvm()) {
    int32_t n = service_lora_p2p_encrpty(p_data, len, frame);
    if (n < 0) {
      return n;
    }
    frame_len = static_cast<uint8_t>(n);
  } else {
    if (len != 0) {
      memcpy(frame, p_data, len);
    }
    frame_len = len;
  }

  service_lora_p2p_config();
  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  p2p_tx_running = true;
  lora_p2p_status.isRadioBusy = true;
  udrv_system_critical_section_end(&mask);
  sync_wake_lock();
  Radio.Standby();
  // No reception can overwrite the frame from here on: the radio is out of
  // reception.
  memcpy(lora_p2p_buf, frame, frame_len);

  // Channel activity detection listens for LoRa preambles; the radio has
  // no such check for FSK, so FSK frames go out without it (the stored
  // setting stays for the LoRa P2P mode).
  if (cad_enable && !fsk_mode()) {
    lora_p2p_status.isCAD = true;
    Radio.StartCad();
    const uint64_t start = udrv_rtc_get_timestamp(UDRV_RTC_2);
    while (lora_p2p_status.isCAD) {
      // Reading the clock lets the radio interrupt in.
      if (udrv_rtc_get_timestamp(UDRV_RTC_2) - start > kCadWaitMaxMs) {
        // No answer from the radio: the channel cannot be called free.
        lora_p2p_status.isCAD = false;
        lora_p2p_status.isRadioBusy = false;
        Radio.Standby();
        break;
      }
    }
    if (!lora_p2p_status.isRadioBusy) {
      p2p_tx_running = false;
      // A continuous reception that lets sends through goes on.
      if (any_continuous()) {
        lora_p2p_status.isRadioBusy = true;
        Radio.Rx(0);
      }
      sync_wake_lock();
      return -UDRV_BUSY;
    }
  }

  if (debug_on()) {
    if (service_nvm_get_crypt_enable_from_nvm()) {
      udrv_serial_log_printf("LoRa P2P TX IV: ");
      print_hex(lora_p2p_buf + frame_len - SERVICE_LORA_P2P_CRYPT_BLOCK,
                SERVICE_LORA_P2P_CRYPT_BLOCK);
      udrv_serial_log_printf("\r\n");
    }
    udrv_serial_log_printf("LoRa P2P send data: (%d) ", static_cast<int>(frame_len));
    print_hex(lora_p2p_buf, frame_len);
    udrv_serial_log_printf("\r\n");
  }
  Radio.Send(lora_p2p_buf, frame_len);
  return 0;
}

// ----------------------------------------------------------- receive ----

int32_t service_lora_p2p_recv(uint32_t timeout) {
  if (timeout > kRxWindowMax) {
    return -UDRV_WRONG_ARG;
  }
  memset(&p2p_recv_record, 0, sizeof p2p_recv_record);
  if (timeout >= 1 && timeout < SERVICE_LORA_P2P_RX_MIN_WINDOW) {
    timeout = SERVICE_LORA_P2P_RX_MIN_WINDOW;
  }
  if (timeout != SERVICE_LORA_P2P_RX_STOP && any_continuous()) {
    udrv_serial_log_printf("P2P_RX_ON already\r\n");
    return -UDRV_BUSY;
  }
  // A frame on its way out is not cut short by a reception (or a stop).
  if (p2p_tx_running) {
    return -UDRV_BUSY;
  }

  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  lora_p2p_status.isRadioBusy = true;
  if (timeout == SERVICE_LORA_P2P_RX_STOP) {
    lora_p2p_status.isContinue = false;
    lora_p2p_status.isRadioBusy = false;
    lora_p2p_status.isContinue_no_exit = false;
    lora_p2p_status.isContinue_compatible_tx = false;
  } else if (timeout == SERVICE_LORA_P2P_RX_UNTIL_FRAME) {
    lora_p2p_status.isContinue = true;
  } else if (timeout == SERVICE_LORA_P2P_RX_NO_EXIT) {
    lora_p2p_status.isContinue_no_exit = true;
  } else if (timeout == SERVICE_LORA_P2P_RX_COMPATIBLE_TX) {
    lora_p2p_status.isContinue_compatible_tx = true;
  }
  udrv_system_critical_section_end(&mask);

  if (timeout == SERVICE_LORA_P2P_RX_STOP) {
    sync_wake_lock();
    Radio.Standby();
    return 0;
  }
  if (any_continuous()) {
    service_lora_p2p_config();
    Radio.Standby();
    Radio.Rx(0);
  } else {
    // A window ends on the stored symbol timeout again once a continuous
    // mode no longer overrides it.
    if (p2p_rx_continuous_forced) {
      service_lora_p2p_config();
    }
    Radio.Rx(timeout);
  }
  sync_wake_lock();
  return 0;
}

uint8_t service_lora_p2p_get_radio_stat(void) {
  return (lora_p2p_status.isRadioBusy || any_continuous()) ? 1 : 0;
}

SERVICE_LORA_WORK_MODE service_lora_p2p_get_nwm(void) { return service_nvm_get_nwm_from_nvm(); }

// ---------------------------------------------------------- encryption ---

int32_t service_lora_p2p_encrpty(const uint8_t *in, uint16_t len, uint8_t *out) {
  // Padding and IV must still fit one radio frame.
  if (len > SERVICE_LORA_P2P_CRYPT_MAX_PAYLOAD) {
    return -UDRV_WRONG_ARG;
  }
  const uint32_t pad = SERVICE_LORA_P2P_CRYPT_BLOCK - (len % SERVICE_LORA_P2P_CRYPT_BLOCK);
  const uint32_t padded = len + pad;
  uint8_t plain[SERVICE_LORA_P2P_CRYPT_MAX_PAYLOAD + SERVICE_LORA_P2P_CRYPT_BLOCK];
  if (len != 0) {
    memcpy(plain, in, len);
  }
  memset(plain + len, static_cast<int>(pad), pad);

  uint8_t iv[SERVICE_LORA_P2P_CRYPT_BLOCK];
  bool stored_iv = false;
  if (service_nvm_get_crypt_IV_from_nvm(iv, sizeof iv) == 0) {
    for (uint8_t b : iv) {
      stored_iv = stored_iv || b != 0;
    }
  }
  if (stored_iv) {
    // A set IV serves one frame only.
    static const uint8_t kZero[SERVICE_LORA_P2P_CRYPT_BLOCK] = {};
    service_nvm_set_crypt_IV_to_nvm(kZero, sizeof kZero);
  } else {
    for (int word = 3; word >= 0; --word) {
      const uint32_t r = Radio.Random();
      for (int k = 0; k < 4; ++k) {
        iv[4 * word + k] = static_cast<uint8_t>(r >> (8 * k));
      }
    }
  }

  if (!cbc(true, plain, out, padded / SERVICE_LORA_P2P_CRYPT_BLOCK, iv)) {
    return -UDRV_INTERNAL_ERR;
  }
  memcpy(out + padded, iv, sizeof iv);
  return static_cast<int32_t>(padded + sizeof iv);
}

int32_t service_lora_p2p_decrpty(const uint8_t *in, uint16_t len, uint8_t *out) {
  const uint32_t block = SERVICE_LORA_P2P_CRYPT_BLOCK;
  if (len < 2 * block || len > SERVICE_LORA_P2P_MAX_FRAME || (len % block) != 0) {
    return -UDRV_WRONG_ARG;
  }
  const uint8_t *iv = in + len - block;
  const uint32_t c = len - block;
  if (debug_on()) {
    udrv_serial_log_printf("LoRa P2P RX IV: ");
    print_hex(iv, block);
    udrv_serial_log_printf("\r\n");
  }
  if (!cbc(false, in, out, c / block, iv)) {
    return -UDRV_INTERNAL_ERR;
  }
  const uint8_t v = out[c - 1];
  if (v >= 1 && v < block) {
    for (uint32_t i = 1; i <= v; ++i) {
      if (out[c - i] != v) {
        return static_cast<int32_t>(c);
      }
    }
    return static_cast<int32_t>(c - v);
  }
  if (v == block) {
    return static_cast<int32_t>(c - v);
  }
  return static_cast<int32_t>(c);
}

// ------------------------------------------------------------ settings ---

static int32_t check_freq(uint32_t freq) {
  if (!in_range(freq, kFreqMin, kFreqMax)) {
    return -UDRV_WRONG_ARG;
  }
#ifdef QIV_BOARD_BAND_STRAP
  if (BoardGetHardwareFreq() != 0 ? freq <= kBandSplit : freq > kBandSplit) {
    return -UDRV_WRONG_ARG;
  }
#endif
  return 0;
}

uint32_t service_lora_p2p_get_freq(void) { return service_nvm_get_freq_from_nvm(); }

int32_t service_lora_p2p_check_runtime_freq(uint32_t freq) { return check_freq(freq); }

int32_t service_lora_p2p_set_freq(uint32_t freq) {
  if (check_freq(freq) != 0) {
    return -UDRV_WRONG_ARG;
  }
  return stored_and_applied(service_nvm_set_freq_to_nvm(freq));
}

uint8_t service_lora_p2p_get_sf(void) { return service_nvm_get_sf_from_nvm(); }

int32_t service_lora_p2p_check_runtime_sf(uint32_t spreadfact) {
  return range_result(spreadfact, kSfMin, kSfMax);
}

int32_t service_lora_p2p_set_sf(uint32_t spreadfact) {
  return set_in_range(spreadfact, kSfMin, kSfMax, service_nvm_set_sf_to_nvm);
}

uint32_t service_lora_p2p_get_bandwidth(void) {
  return lora_bandwidth_index(service_nvm_get_bandwidth_from_nvm());
}

int32_t service_lora_p2p_check_runtime_bandwidth(uint32_t bandwidth) {
  switch (service_nvm_get_nwm_from_nvm()) {
    case SERVICE_LORA_P2P:
      return (bandwidth <= 9 || bandwidth == 125 || bandwidth == 250 || bandwidth == 500)
                 ? 0
                 : -UDRV_WRONG_ARG;
    case SERVICE_LORA_FSK:
      return range_result(bandwidth, kFskBandwidthMin, kFskBandwidthMax);
    default:
      return 0;
  }
}

int32_t service_lora_p2p_set_bandwidth(uint32_t bandwidth) {
  if (service_lora_p2p_check_runtime_bandwidth(bandwidth) != 0) {
    return -UDRV_WRONG_ARG;
  }
  if (service_nvm_get_nwm_from_nvm() == SERVICE_LORA_P2P) {
    bandwidth = lora_bandwidth_index(bandwidth);
  }
  int32_t result = service_nvm_set_bandwidth_to_nvm(bandwidth);
  if (result == 0) {
    service_lora_p2p_config();
  }
  return result;
}

uint8_t service_lora_p2p_get_codingrate(void) { return service_nvm_get_codingrate_from_nvm(); }

int32_t service_lora_p2p_check_runtime_codingrate(uint32_t codingrate) {
  return range_result(codingrate, 0, kCodingRateMax);
}

int32_t service_lora_p2p_set_codingrate(uint32_t codingrate) {
  return set_in_range(codingrate, 0, kCodingRateMax, service_nvm_set_codingrate_to_nvm);
}

uint16_t service_lora_p2p_get_preamlen(void) { return service_nvm_get_preamlen_from_nvm(); }

int32_t service_lora_p2p_check_runtime_preamlen(uint32_t preamlen) {
  return range_result(preamlen, kPreambleMin, kPreambleMax);
}

int32_t service_lora_p2p_set_preamlen(uint32_t preamlen) {
  return set_in_range(preamlen, kPreambleMin, kPreambleMax, service_nvm_set_preamlen_to_nvm);
}

uint8_t service_lora_p2p_get_powerdbm(void) { return service_nvm_get_powerdbm_from_nvm(); }

int32_t service_lora_p2p_check_runtime_powerdbm(uint32_t powerdbm) {
  return range_result(powerdbm, kPowerMin, kPowerMax);
}

int32_t service_lora_p2p_set_powerdbm(uint32_t powerdbm) {
  return set_in_range(powerdbm, kPowerMin, kPowerMax, service_nvm_set_powerdbm_to_nvm);
}

uint32_t service_lora_p2p_get_fdev(void) { return service_nvm_get_fdev_from_nvm(); }

int32_t service_lora_p2p_set_fdev(uint32_t fdev) {
  return set_in_range(fdev, kFdevMin, kFdevMax, service_nvm_set_fdev_to_nvm);
}

uint32_t service_lora_p2p_get_bitrate(void) { return service_nvm_get_bitrate_from_nvm(); }

int32_t service_lora_p2p_set_bitrate(uint32_t bitrate) {
  return set_in_range(bitrate, kBitrateMin, kBitrateMax, service_nvm_set_bitrate_to_nvm);
}

#ifdef SERVICE_LORA_P2P_HAS_SYMBOL_TIMEOUT
uint32_t service_lora_p2p_get_symbol_timeout(void) {
  return service_nvm_get_symbol_timeout_from_nvm();
}

int32_t service_lora_p2p_set_symbol_timeout(uint32_t symbol_timeout) {
  if (symbol_timeout > kSymbolTimeoutMax) {
    return -UDRV_WRONG_ARG;
  }
  return service_nvm_set_symbol_timeout_to_nvm(symbol_timeout);
}
#endif

bool service_lora_p2p_get_iqinverted(void) { return service_nvm_get_iqinverted_from_nvm(); }

int32_t service_lora_p2p_set_iqinverted(bool iqinverted) {
  return service_nvm_set_iqinverted_to_nvm(iqinverted);
}

bool service_lora_p2p_get_fix_length_payload(void) {
  return service_nvm_get_fix_length_payload_from_nvm();
}

int32_t service_lora_p2p_set_fix_length_payload(bool fix_length_payload) {
  return service_nvm_set_fix_length_payload_to_nvm(fix_length_payload);
}

uint16_t service_lora_p2p_get_syncword(void) { return service_nvm_get_syncword_from_nvm(); }

int32_t service_lora_p2p_set_syncword(uint16_t syncword) {
  int32_t result = service_nvm_set_syncword_to_nvm(syncword);
  BoardInitMcu();
  service_lora_p2p_config();
  return result;
}

bool service_lora_p2p_get_crypto_enable(void) { return service_nvm_get_crypt_enable_from_nvm(); }

int32_t service_lora_p2p_set_crypto_enable(bool enable) {
  return service_nvm_set_crypt_enable_to_nvm(enable);
}

int32_t service_lora_p2p_get_crypto_key(uint8_t *buff, uint32_t len) {
  return service_nvm_get_crypt_key_from_nvm(buff, len);
}

int32_t service_lora_p2p_set_crypto_key(const uint8_t *buff, uint32_t len) {
  return service_nvm_set_crypt_key_to_nvm(buff, len);
}

int32_t service_lora_p2p_get_crypto_IV(uint8_t *buff, uint32_t len) {
  return service_nvm_get_crypt_IV_from_nvm(buff, len);
}

int32_t service_lora_p2p_set_crypto_IV(const uint8_t *buff, uint32_t len) {
  return service_nvm_set_crypt_IV_to_nvm(buff, len);
}

uint8_t service_lora_p2p_get_CAD(void) { return service_nvm_get_CAD_from_nvm() != 0 ? 1 : 0; }

int32_t service_lora_p2p_set_CAD(bool enable) { return service_nvm_set_CAD_to_nvm(enable ? 1 : 0); }
