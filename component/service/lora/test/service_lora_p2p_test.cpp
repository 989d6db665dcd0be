// The point-to-point service over a stand-in radio and the runtime core on
// the stand-in port: the radio configuration, the AES-128-CBC frame checked
// against OpenSSL, the receive modes and sends with their event lines, the
// channel activity check, the wake lock on every path, and the settings'
// ranges.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "core_test_support.h"
#include "fake_port.h"
#include "fake_radio.h"
#include "runtimeConfig.h"
#include "service_lora.h"
#include "service_nvm.h"
#include "udrv_powersave.h"

namespace {

using Bytes = std::vector<uint8_t>;
using fakeradio::calls_of;
using fakeradio::radio;

const Bytes kKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                    0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
const Bytes kIv = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                   0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};

// AES-128-CBC by OpenSSL; with padding its PKCS#7 is the frame's padding.
Bytes openssl_cbc(bool encrypt, const Bytes &key, const Bytes &iv, const Bytes &in, bool padding) {
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key.data(), iv.data(), encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, padding ? 1 : 0);
  Bytes out(in.size() + 32);
  int n = 0, m = 0;
  EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
  EVP_CipherFinal_ex(ctx, out.data() + n, &m);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(n + m));
  return out;
}

Bytes concat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes payload(size_t n) {
  Bytes p(n);
  for (size_t i = 0; i < n; ++i) {
    p[i] = static_cast<uint8_t>(0x30 + i * 7);
  }
  return p;
}

std::string hex(const Bytes &b) {
  static const char d[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t v : b) {
    s += d[v >> 4];
    s += d[v & 15];
  }
  return s;
}

std::string &out() { return core_test::tx(SERIAL_UART2); }

// Whether the power save is held off by a wake lock: a sleep is tried (the
// stand-in port ends it at once) well after the last wake-up.
bool wake_locked() {
  fake::port.now_ms += 100;
  return udrv_sleep_ms(0) == -UDRV_TEMP_LOCKED;
}

std::vector<qiv_lora_p2p_recv_t> received;
void on_recv(qiv_lora_p2p_recv_t r) { received.push_back(r); }
int sends_done;
void on_send() { ++sends_done; }
std::vector<std::pair<bool, bool>> cad_results;  // (result, isCAD while the hook ran)
void on_cad(bool activity) {
  cad_results.emplace_back(activity, static_cast<bool>(lora_p2p_status.isCAD));
}

class P2p : public ::testing::Test {
 protected:
  void SetUp() override {
    core_test::boot();
    fakeradio::reset();
    runtimeConfigP2P_t zero = {};
    set_runtimeConfigP2P(&zero);
    set_useRuntimeConfigP2P(false);
    received.clear();
    sends_done = 0;
    cad_results.clear();
    service_lora_p2p_send_callback = on_send;
    service_lora_p2p_recv_callback = on_recv;
    service_lora_p2p_send_CAD_callback = on_cad;
    start(SERVICE_LORA_P2P);
  }

  void TearDown() override {
    // Every test ends with the radio free and no wake lock left behind.
    EXPECT_EQ(service_lora_p2p_get_radio_stat(), 0);
    EXPECT_FALSE(wake_locked());
    service_lora_p2p_send_callback = nullptr;
    service_lora_p2p_recv_callback = nullptr;
    service_lora_p2p_send_CAD_callback = nullptr;
  }

  static void start(SERVICE_LORA_WORK_MODE mode) {
    ASSERT_EQ(service_lora_set_nwm(mode), 0);
    service_lora_p2p_init();
    radio.calls.clear();
    out().clear();
  }

  static RadioEvents_t &ev() { return *radio.events; }

  static void encryption(const Bytes &key) {
    ASSERT_EQ(service_lora_p2p_set_crypto_key(key.data(), 16), 0);
    ASSERT_EQ(service_lora_p2p_set_crypto_enable(true), 0);
  }
};

// ------------------------------------------------------- configuration ---

TEST_F(P2p, ConfiguresTheRadioFromTheSettingsOfEachWorkMode) {
  const int64_t lora = MODEM_LORA, fsk = MODEM_FSK, tx_timeout = 0x00FFFFFF;
  struct Case {
    const char *name;
    SERVICE_LORA_WORK_MODE mode;
    bool runtime;
    std::vector<int64_t> tx, rx;
    int64_t channel;
    bool sync_word;
  };
  // Factory settings: 868 MHz, SF7, 125 kHz (index 0), 4/5 (0), preamble 8,
  // 14 dBm; FSK 4915 b/s, 5000 Hz deviation, 20000 Hz bandwidth (half of it
  // to the radio); symbol timeout 0 (continuous reception). The run-time
  // record: 869.5 MHz, SF9, 500 kHz, 4/8 (3), preamble 12, 20 dBm, FSK
  // 50000 Hz.
  const std::vector<Case> cases = {
      {"stored LoRa",
       SERVICE_LORA_P2P,
       false,
       {lora, 14, 0, 0, 7, 1, 8, 0, 1, 0, 0, 0, tx_timeout},
       {lora, 0, 7, 1, 0, 8, 0, 0, 0, 1, 0, 0, 0, 1},
       868000000,
       true},
      {"stored FSK",
       SERVICE_LORA_FSK,
       false,
       {fsk, 14, 5000, 10000, 4915, 1, 8, 0, 1, 0, 0, 0, tx_timeout},
       {fsk, 10000, 4915, 1, 0, 8, 5, 0, 0, 1, 0, 0, 0, 1},
       868000000,
       false},
      {"run-time LoRa",
       SERVICE_LORA_P2P,
       true,
       {lora, 20, 0, 2, 9, 4, 12, 0, 1, 0, 0, 0, tx_timeout},
       {lora, 2, 9, 4, 0, 12, 0, 0, 0, 1, 0, 0, 0, 1},
       869500000,
       true},
      {"run-time FSK",
       SERVICE_LORA_FSK,
       true,
       {fsk, 20, 5000, 25000, 4915, 4, 12, 0, 1, 0, 0, 0, tx_timeout},
       {fsk, 25000, 4915, 4, 0, 12, 5, 0, 0, 1, 0, 0, 0, 1},
       869500000,
       false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    start(c.mode);
    runtimeConfigP2P_t rt = {869500000, 9, 2, 50000, 3, 12, 20};
    set_runtimeConfigP2P(&rt);
    set_useRuntimeConfigP2P(c.runtime);
    service_lora_p2p_config();
    ASSERT_EQ(calls_of("SetTxConfig").size(), 1u);
    EXPECT_EQ(calls_of("SetTxConfig")[0].args, c.tx);
    ASSERT_EQ(calls_of("SetRxConfig").size(), 1u);
    EXPECT_EQ(calls_of("SetRxConfig")[0].args, c.rx);
    ASSERT_EQ(calls_of("SetMaxPayloadLength").size(), 1u);
    EXPECT_EQ(calls_of("SetMaxPayloadLength")[0].args, (std::vector<int64_t>{c.tx[0], 255}));
    ASSERT_EQ(calls_of("SetChannel").size(), 1u);
    EXPECT_EQ(calls_of("SetChannel")[0].args[0], c.channel);
    if (c.sync_word) {
      // The stored sync word 0x1424, high byte first.
      EXPECT_EQ(calls_of("Write").size(), 2u);
      EXPECT_EQ(radio.regs[0x0740], 0x14);
      EXPECT_EQ(radio.regs[0x0741], 0x24);
    } else {
      EXPECT_FALSE(fakeradio::called("Write"));
    }
    set_useRuntimeConfigP2P(false);
  }
  start(SERVICE_LORA_P2P);
}

TEST_F(P2p, ContinuousModesKeepReceivingWithAStoredSymbolTimeout) {
  ASSERT_EQ(service_lora_p2p_set_symbol_timeout(10), 0);
  service_lora_p2p_config();
  // A window ends on the symbol timeout: not continuous.
  EXPECT_EQ(calls_of("SetRxConfig").back().args[6], 10);
  EXPECT_EQ(calls_of("SetRxConfig").back().args[13], 0);

  for (uint32_t mode : {65535u, 65534u, 65533u}) {
    SCOPED_TRACE(mode);
    radio.calls.clear();
    ASSERT_EQ(service_lora_p2p_recv(mode), 0);
    ASSERT_FALSE(calls_of("SetRxConfig").empty());
    EXPECT_EQ(calls_of("SetRxConfig").back().args[13], 1) << "continuous reception";
    EXPECT_EQ(calls_of("Rx").back().args[0], 0);
    // Should the radio still leave reception (a timeout), it is started
    // again and no timeout line is printed.
    radio.status = RF_IDLE;
    radio.calls.clear();
    ev().RxTimeout();
    EXPECT_EQ(out(), "");
    EXPECT_EQ(calls_of("Rx").size(), 1u);
    EXPECT_NE(service_lora_p2p_get_radio_stat(), 0);
    EXPECT_TRUE(wake_locked());
    ASSERT_EQ(service_lora_p2p_recv(0), 0);
  }

  // The next window has its symbol timeout again.
  radio.calls.clear();
  ASSERT_EQ(service_lora_p2p_recv(100), 0);
  ASSERT_FALSE(calls_of("SetRxConfig").empty());
  EXPECT_EQ(calls_of("SetRxConfig").back().args[13], 0);
  EXPECT_EQ(calls_of("Rx").back().args[0], 100);
  ev().RxTimeout();
  EXPECT_EQ(out(), "+EVT:RXP2P RECEIVE TIMEOUT\r\n");
}

// ---------------------------------------------------------- encryption ---

TEST_F(P2p, EncryptedFrameIsOpenSslCbcOfThePaddedPayloadThenTheIv) {
  encryption(kKey);
  // Four random words fill IV bytes 12-15, 8-11, 4-7, 0-3, each least
  // significant byte first: these give the IV 00 01 02 ... 0F.
  const Bytes random_iv = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  for (size_t n : {0u, 1u, 15u, 16u, 17u, 100u, 223u}) {
    SCOPED_TRACE(n);
    radio.randoms = {0x0F0E0D0C, 0x0B0A0908, 0x07060504, 0x03020100};
    const Bytes p = payload(n);
    uint8_t frame[256 + 32];
    int32_t len = service_lora_p2p_encrpty(p.data(), static_cast<uint16_t>(n), frame);
    const size_t padded = (n / 16 + 1) * 16;
    ASSERT_EQ(len, static_cast<int32_t>(padded + 16));
    EXPECT_EQ(Bytes(frame, frame + len),
              concat(openssl_cbc(true, kKey, random_iv, p, true), random_iv));

    uint8_t plain[256];
    EXPECT_EQ(service_lora_p2p_decrpty(frame, static_cast<uint16_t>(len), plain),
              static_cast<int32_t>(n));
    EXPECT_EQ(Bytes(plain, plain + n), p);
  }
}

TEST_F(P2p, AStoredIvServesOneFrameOnly) {
  encryption(kKey);
  ASSERT_EQ(service_lora_p2p_set_crypto_IV(kIv.data(), 16), 0);
  const Bytes p = payload(16);
  uint8_t frame[64];
  ASSERT_EQ(service_lora_p2p_encrpty(p.data(), 16, frame), 48);
  EXPECT_EQ(Bytes(frame, frame + 48), concat(openssl_cbc(true, kKey, kIv, p, true), kIv));
  EXPECT_FALSE(fakeradio::called("Random"));
  uint8_t stored[16];
  ASSERT_EQ(service_lora_p2p_get_crypto_IV(stored, 16), 0);
  EXPECT_EQ(Bytes(stored, stored + 16), Bytes(16, 0));

  radio.randoms = {0x44332211, 0x88776655, 0xCCBBAA99, 0x00FFEEDD};
  ASSERT_EQ(service_lora_p2p_encrpty(p.data(), 16, frame), 48);
  EXPECT_EQ(calls_of("Random").size(), 4u);
  EXPECT_EQ(Bytes(frame + 32, frame + 48), (Bytes{0xDD, 0xEE, 0xFF, 0x00, 0x99, 0xAA, 0xBB, 0xCC,
                                                  0x55, 0x66, 0x77, 0x88, 0x11, 0x22, 0x33, 0x44}));
}

TEST_F(P2p, APayloadWhoseEncryptedFrameWouldNotFitIsRefused) {
  encryption(kKey);
  ASSERT_EQ(service_lora_p2p_set_crypto_IV(kIv.data(), 16), 0);
  const Bytes p = payload(255);
  uint8_t frame[256 + 32];
  for (uint16_t n : {224, 239, 240, 255}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(service_lora_p2p_encrpty(p.data(), n, frame), -3);
    EXPECT_EQ(
        service_lora_p2p_send(const_cast<uint8_t *>(p.data()), static_cast<uint8_t>(n), false), -3);
  }
  // Nothing reached the radio and the stored IV is still there.
  EXPECT_TRUE(radio.calls.empty());
  uint8_t stored[16];
  ASSERT_EQ(service_lora_p2p_get_crypto_IV(stored, 16), 0);
  EXPECT_EQ(Bytes(stored, stored + 16), kIv);
}

TEST_F(P2p, DecryptionReadsOnlyWholeFramesAndChecksThePadding) {
  encryption(kKey);
  uint8_t plain[256];
  // Frames that cannot be a padded payload and an IV: refused unread.
  const Bytes junk(300, 0x5A);
  for (uint16_t len : {0, 1, 15, 16, 17, 31, 33, 47, 241, 256}) {
    SCOPED_TRACE(len);
    EXPECT_EQ(service_lora_p2p_decrpty(junk.data(), len, plain), -3);
  }

  // Two blocks whose last bytes are set, encrypted without padding: the
  // padding is taken off only when it checks out.
  struct Case {
    Bytes tail;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {{3, 3, 3}, 32 - 3}, {{7, 3, 3}, 32}, {{1}, 32 - 1},    {{0}, 32},
      {{16}, 32 - 16},     {{17}, 32},      {{2, 2}, 32 - 2}, {{9, 9, 9, 9, 9, 9, 9, 9, 8}, 32},
  };
  for (const Case &c : cases) {
    Bytes block(32, 0x61);
    std::copy(c.tail.begin(), c.tail.end(), block.end() - static_cast<long>(c.tail.size()));
    const Bytes frame = concat(openssl_cbc(true, kKey, kIv, block, false), kIv);
    int32_t n = service_lora_p2p_decrpty(frame.data(), static_cast<uint16_t>(frame.size()), plain);
    EXPECT_EQ(n, c.expected) << hex(c.tail);
    EXPECT_EQ(Bytes(plain, plain + 32), block);
  }
}

// ----------------------------------------------------- send and receive ---

TEST_F(P2p, SendReportsTxDoneAndReleasesTheRadio) {
  for (SERVICE_LORA_WORK_MODE mode : {SERVICE_LORA_P2P, SERVICE_LORA_FSK}) {
    start(mode);
    Bytes p = {0x01, 0x02, 0xAB};
    ASSERT_EQ(service_lora_p2p_send(p.data(), 3, false), 0);
    EXPECT_EQ(radio.sent, p);
    EXPECT_NE(service_lora_p2p_get_radio_stat(), 0);
    EXPECT_TRUE(wake_locked());
    // The radio is busy: another send and a reception wait.
    EXPECT_EQ(service_lora_p2p_send(p.data(), 3, false), -6);
    EXPECT_EQ(service_lora_p2p_recv(100), -6);
    EXPECT_EQ(service_lora_p2p_recv(0), -6);
    EXPECT_EQ(calls_of("Send").size(), 1u);
    ev().TxDone();
    EXPECT_EQ(out(), mode == SERVICE_LORA_FSK ? "+EVT:TXFSK DONE\r\n" : "+EVT:TXP2P DONE\r\n");
    EXPECT_EQ(sends_done, 1);
    EXPECT_EQ(service_lora_p2p_get_radio_stat(), 0);
    EXPECT_FALSE(wake_locked());
    sends_done = 0;
  }
}

TEST_F(P2p, TxTimeoutReleasesTheRadio) {
  Bytes p = {0x42};
  ASSERT_EQ(service_lora_p2p_send(p.data(), 1, false), 0);
  ev().TxTimeout();
  EXPECT_EQ(out(), "");
  EXPECT_EQ(sends_done, 0);
}

TEST_F(P2p, ReceiveModesEndAsTheyShould) {
  Bytes frame = {0x00, 0x7F, 0xA5, 0xFF};
  struct Step {
    char event;  // D done, T timeout, E error
    std::string line;
    bool still_on;
  };
  struct Case {
    const char *name;
    SERVICE_LORA_WORK_MODE mode;
    uint32_t timeout;
    int64_t rx_arg;
    std::vector<Step> steps;
  };
  const std::string done = "+EVT:RXP2P:-50:7:007FA5FF\r\n";
  const std::vector<Case> cases = {
      {"window, frame", SERVICE_LORA_P2P, 3000, 3000, {{'D', done, false}}},
      {"window, timeout",
       SERVICE_LORA_P2P,
       3000,
       3000,
       {{'T', "+EVT:RXP2P RECEIVE TIMEOUT\r\n", false}}},
      {"window, error",
       SERVICE_LORA_P2P,
       3000,
       3000,
       {{'E', "+EVT:RXP2P RECEIVE ERROR\r\n", false}}},
      {"short window", SERVICE_LORA_P2P, 5, 15, {{'T', "+EVT:RXP2P RECEIVE TIMEOUT\r\n", false}}},
      {"until a frame", SERVICE_LORA_P2P, 65535, 0, {{'T', "", true}, {'D', done, false}}},
      {"until a frame, error",
       SERVICE_LORA_P2P,
       65535,
       0,
       {{'E', "+EVT:RXP2P RECEIVE ERROR\r\n", false}}},
      {"no exit",
       SERVICE_LORA_P2P,
       65534,
       0,
       {{'D', done, true},
        {'D', done, true},
        {'T', "", true},
        {'E', "+EVT:RXP2P RECEIVE ERROR\r\n", true},
        {'D', done, true}}},
      {"sends allowed",
       SERVICE_LORA_P2P,
       65533,
       0,
       {{'D', done, true}, {'E', "+EVT:RXP2P RECEIVE ERROR\r\n", true}}},
      {"FSK window", SERVICE_LORA_FSK, 1000, 1000, {{'D', "+EVT:RXFSK:-50:7:007FA5FF\r\n", false}}},
      {"FSK timeout",
       SERVICE_LORA_FSK,
       1000,
       1000,
       {{'T', "+EVT:RXFSK RECEIVE TIMEOUT\r\n", false}}},
      {"FSK no exit", SERVICE_LORA_FSK, 65534, 0, {{'E', "+EVT:RXFSK RECEIVE ERROR\r\n", true}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    start(c.mode);
    ASSERT_EQ(service_lora_p2p_recv(c.timeout), 0);
    ASSERT_FALSE(calls_of("Rx").empty());
    EXPECT_EQ(calls_of("Rx").back().args[0], c.rx_arg);
    EXPECT_NE(service_lora_p2p_get_radio_stat(), 0);
    EXPECT_TRUE(wake_locked());
    for (const Step &s : c.steps) {
      out().clear();
      received.clear();
      radio.calls.clear();
      if (s.event == 'D') {
        ev().RxDone(frame.data(), static_cast<uint16_t>(frame.size()), -50, 7);
      } else if (s.event == 'T') {
        ev().RxTimeout();
      } else {
        ev().RxError();
      }
      EXPECT_EQ(out(), s.line) << s.event;
      // The hook hears of every end of a reception, never of a timeout
      // inside a continuous mode.
      if (s.line.empty()) {
        EXPECT_TRUE(received.empty());
      } else {
        ASSERT_EQ(received.size(), 1u);
        const int8_t status = s.event == 'D'   ? LORA_P2P_RXDONE
                              : s.event == 'T' ? LORA_P2P_RXTIMEOUT
                                               : LORA_P2P_RXERROR;
        EXPECT_EQ(received[0].Status, status);
        if (s.event == 'D') {
          EXPECT_EQ(received[0].Buffer, lora_p2p_buf);
          EXPECT_EQ(Bytes(received[0].Buffer, received[0].Buffer + received[0].BufferSize), frame);
          EXPECT_EQ(received[0].Rssi, -50);
          EXPECT_EQ(received[0].Snr, 7);
        }
      }
      EXPECT_EQ(service_lora_p2p_get_radio_stat() != 0, s.still_on) << s.event;
      EXPECT_EQ(static_cast<bool>(lora_p2p_status.isRadioBusy), s.still_on) << s.event;
      EXPECT_EQ(wake_locked(), s.still_on) << s.event;
      EXPECT_EQ(fakeradio::called("Standby"), !s.still_on) << s.event;
    }
    if (service_lora_p2p_get_radio_stat() != 0) {
      // A second start is refused while a continuous mode runs.
      out().clear();
      EXPECT_EQ(service_lora_p2p_recv(100), -6);
      EXPECT_EQ(out(), "P2P_RX_ON already\r\n");
      ASSERT_EQ(service_lora_p2p_recv(0), 0);
      EXPECT_EQ(calls_of("Standby").size(), 1u);
    }
  }
  EXPECT_EQ(service_lora_p2p_recv(65536), -3);
}

TEST_F(P2p, AWindowStartedAgainTakesNoSecondWakeLock) {
  ASSERT_EQ(service_lora_p2p_recv(1000), 0);
  ASSERT_EQ(service_lora_p2p_recv(2000), 0);
  EXPECT_EQ(calls_of("Rx").size(), 2u);
  ev().RxTimeout();
  EXPECT_EQ(out(), "+EVT:RXP2P RECEIVE TIMEOUT\r\n");
  // A late timer of a window already over brings nothing.
  out().clear();
  ev().RxTimeout();
  EXPECT_EQ(out(), "");
}

TEST_F(P2p, ASendDuringContinuousReceiveWithSendsAllowedReturnsToReceiving) {
  ASSERT_EQ(service_lora_p2p_recv(65533), 0);
  Bytes p = {0xC0, 0xFF, 0xEE};
  radio.calls.clear();
  ASSERT_EQ(service_lora_p2p_send(p.data(), 3, false), 0);
  EXPECT_EQ(radio.sent, p);
  ev().TxDone();
  EXPECT_EQ(out(), "+EVT:TXP2P DONE\r\n");
  ASSERT_GE(radio.calls.size(), 2u);
  EXPECT_EQ(radio.calls[radio.calls.size() - 2].op, "Standby");
  EXPECT_EQ(radio.calls.back().op, "Rx");
  EXPECT_EQ(radio.calls.back().args[0], 0);
  EXPECT_TRUE(lora_p2p_status.isRadioBusy);
  EXPECT_TRUE(wake_locked());
  // A frame then received is reported as before.
  out().clear();
  ev().RxDone(p.data(), 3, -80, -2);
  EXPECT_EQ(out(), "+EVT:RXP2P:-80:-2:C0FFEE\r\n");
  ASSERT_EQ(service_lora_p2p_recv(0), 0);

  // In the other continuous modes the radio is busy for sends.
  for (uint32_t mode : {65535u, 65534u}) {
    ASSERT_EQ(service_lora_p2p_recv(mode), 0);
    EXPECT_EQ(service_lora_p2p_send(p.data(), 3, false), -6);
    ASSERT_EQ(service_lora_p2p_recv(0), 0);
  }
}

TEST_F(P2p, ChannelActivityCheckBeforeSending) {
  Bytes p = {0x10, 0x20};
  struct Case {
    const char *name;
    SERVICE_LORA_WORK_MODE mode;
    uint32_t continuous;  // 0: none
    int cad;              // 1 activity, 0 clear, -1 no answer
    int32_t result;
  };
  // The check listens for LoRa preambles: FSK frames go out without it,
  // whatever a check would have answered.
  const std::vector<Case> cases = {
      {"busy channel", SERVICE_LORA_P2P, 0, 1, -6},
      {"free channel", SERVICE_LORA_P2P, 0, 0, 0},
      {"no answer", SERVICE_LORA_P2P, 0, -1, -6},
      {"busy channel while receiving", SERVICE_LORA_P2P, 65533, 1, -6},
      {"free channel while receiving", SERVICE_LORA_P2P, 65533, 0, 0},
      {"FSK, a check would find activity", SERVICE_LORA_FSK, 0, 1, 0},
      {"FSK, a check would not answer", SERVICE_LORA_FSK, 0, -1, 0},
      {"FSK while receiving", SERVICE_LORA_FSK, 65533, 1, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    start(c.mode);
    cad_results.clear();
    if (c.continuous != 0) {
      ASSERT_EQ(service_lora_p2p_recv(c.continuous), 0);
    }
    radio.calls.clear();
    radio.sent.clear();
    if (c.cad >= 0) {
      radio.on_cad = [&c]() { radio.events->CadDone(c.cad == 1); };
    } else {
      radio.on_cad = nullptr;
      fake::port.clock_step_ms = 50;
    }
    const uint64_t before = fake::port.now_ms;
    EXPECT_EQ(service_lora_p2p_send(p.data(), 2, true), c.result);
    fake::port.clock_step_ms = 0;
    const bool fsk = c.mode == SERVICE_LORA_FSK;
    EXPECT_EQ(fakeradio::called("StartCad"), !fsk);
    EXPECT_FALSE(lora_p2p_status.isCAD);
    if (fsk) {
      EXPECT_TRUE(cad_results.empty());
      EXPECT_LT(fake::port.now_ms - before, 100u) << "the send does not wait";
    } else if (c.cad >= 0) {
      // The hook hears the result first, while the check still counts
      // as running.
      ASSERT_EQ(cad_results.size(), 1u);
      EXPECT_EQ(cad_results[0], std::make_pair(c.cad == 1, true));
    }
    if (c.result == 0) {
      EXPECT_EQ(radio.sent, p);
      ev().TxDone();
    } else {
      EXPECT_FALSE(fakeradio::called("Send"));
    }
    if (c.continuous != 0) {
      // Reception goes on after the refused (or the finished) send.
      EXPECT_EQ(radio.status, RF_RX_RUNNING);
      EXPECT_TRUE(lora_p2p_status.isRadioBusy);
      EXPECT_TRUE(wake_locked());
      ASSERT_EQ(service_lora_p2p_recv(0), 0);
    }
    EXPECT_EQ(service_lora_p2p_get_radio_stat(), 0);
    EXPECT_FALSE(wake_locked());
  }
  start(SERVICE_LORA_P2P);
}

TEST_F(P2p, EncryptedReceptionPrintsThePlaintextAndRefusesFramesItCannotDecrypt) {
  encryption(kKey);
  const Bytes p = payload(21);
  const Bytes frame = concat(openssl_cbc(true, kKey, kIv, p, true), kIv);
  ASSERT_EQ(service_lora_p2p_recv(65534), 0);
  ev().RxDone(const_cast<uint8_t *>(frame.data()), static_cast<uint16_t>(frame.size()), -90, 5);
  EXPECT_EQ(out(), "+EVT:RXP2P:-90:5:" + hex(p) + "\r\n");
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(Bytes(received[0].Buffer, received[0].Buffer + received[0].BufferSize), p);

  for (size_t len : {5u, 16u, 31u, 40u}) {
    SCOPED_TRACE(len);
    out().clear();
    received.clear();
    ev().RxDone(const_cast<uint8_t *>(frame.data()), static_cast<uint16_t>(len), -90, 5);
    EXPECT_EQ(out(), "+EVT:RXP2P RECEIVE ERROR\r\n");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].Status, LORA_P2P_RXERROR);
    EXPECT_NE(service_lora_p2p_get_radio_stat(), 0);
  }
  ASSERT_EQ(service_lora_p2p_recv(0), 0);
}

TEST_F(P2p, DiagnosticLinesAtANonZeroDebugLevel) {
  encryption(kKey);
  ASSERT_EQ(service_lora_p2p_set_crypto_IV(kIv.data(), 16), 0);
  const Bytes p = {0xDE, 0xAD};
  const Bytes frame = concat(openssl_cbc(true, kKey, kIv, p, true), kIv);
  for (uint8_t level : {0, 2}) {
    SCOPED_TRACE(level);
    ASSERT_EQ(service_nvm_set_debug_level_to_nvm(level), 0u);
    ASSERT_EQ(service_lora_p2p_set_crypto_IV(kIv.data(), 16), 0);
    out().clear();
    ASSERT_EQ(service_lora_p2p_send(const_cast<uint8_t *>(p.data()), 2, false), 0);
    EXPECT_EQ(radio.sent, frame);
    EXPECT_EQ(out(), level == 0 ? ""
                                : "LoRa P2P TX IV: " + hex(kIv) + "\r\nLoRa P2P send data: (32) " +
                                      hex(frame) + "\r\n");
    ev().TxDone();
    ASSERT_EQ(service_lora_p2p_recv(1000), 0);
    out().clear();
    ev().RxDone(const_cast<uint8_t *>(frame.data()), static_cast<uint16_t>(frame.size()), -70, 3);
    EXPECT_EQ(out(), std::string(level == 0 ? "" : "LoRa P2P RX IV: " + hex(kIv) + "\r\n") +
                         "+EVT:RXP2P:-70:3:DEAD\r\n");
  }
}

// ------------------------------------------------------------ settings ---

TEST_F(P2p, SettingsAreCheckedStoredAndAppliedToTheRadio) {
  struct Setting {
    int32_t (*set)(uint32_t);
    int32_t (*check)(uint32_t);  // the run-time check, where there is one
    uint32_t (*get)(void);
  };
  struct Case {
    const char *name;
    SERVICE_LORA_WORK_MODE mode;
    uint8_t band_strap;
    Setting setting;
    uint32_t value;
    int32_t result;
    uint32_t stored;  // read back when accepted
    bool applied;     // the radio is configured again
  };
  const Setting freq = {service_lora_p2p_set_freq, service_lora_p2p_check_runtime_freq,
                        [](void) -> uint32_t { return service_lora_p2p_get_freq(); }};
  const Setting sf = {service_lora_p2p_set_sf, service_lora_p2p_check_runtime_sf,
                      [](void) -> uint32_t { return service_lora_p2p_get_sf(); }};
  const Setting bw = {service_lora_p2p_set_bandwidth, service_lora_p2p_check_runtime_bandwidth,
                      [](void) -> uint32_t { return service_lora_p2p_get_bandwidth(); }};
  const Setting cr = {service_lora_p2p_set_codingrate, service_lora_p2p_check_runtime_codingrate,
                      [](void) -> uint32_t { return service_lora_p2p_get_codingrate(); }};
  const Setting pl = {service_lora_p2p_set_preamlen, service_lora_p2p_check_runtime_preamlen,
                      [](void) -> uint32_t { return service_lora_p2p_get_preamlen(); }};
  const Setting pw = {service_lora_p2p_set_powerdbm, service_lora_p2p_check_runtime_powerdbm,
                      [](void) -> uint32_t { return service_lora_p2p_get_powerdbm(); }};
  const Setting fdev = {service_lora_p2p_set_fdev, nullptr,
                        [](void) -> uint32_t { return service_lora_p2p_get_fdev(); }};
  const Setting br = {service_lora_p2p_set_bitrate, nullptr,
                      [](void) -> uint32_t { return service_lora_p2p_get_bitrate(); }};
  const Setting st = {service_lora_p2p_set_symbol_timeout, nullptr,
                      [](void) -> uint32_t { return service_lora_p2p_get_symbol_timeout(); }};
  const auto P = SERVICE_LORA_P2P, F = SERVICE_LORA_FSK;
  const std::vector<Case> cases = {
      // A high-band module works above 600 MHz, a low-band one up to it.
      {"freq below range", P, 1, freq, 149999999, -3, 0, false},
      {"freq 600 MHz high band", P, 1, freq, 600000000, -3, 0, false},
      {"freq above 600 MHz high band", P, 1, freq, 600000001, 0, 600000001, true},
      {"freq 960 MHz", P, 1, freq, 960000000, 0, 960000000, true},
      {"freq above range", P, 1, freq, 960000001, -3, 0, false},
      {"freq 150 MHz low band", P, 0, freq, 150000000, 0, 150000000, true},
      {"freq 600 MHz low band", P, 0, freq, 600000000, 0, 600000000, true},
      {"freq above 600 MHz low band", P, 0, freq, 600000001, -3, 0, false},
      {"sf 4", P, 1, sf, 4, -3, 0, false},
      {"sf 5", P, 1, sf, 5, 0, 5, true},
      {"sf 12", P, 1, sf, 12, 0, 12, true},
      {"sf 13", P, 1, sf, 13, -3, 0, false},
      {"sf 263", P, 1, sf, 263, -3, 0, false},
      {"bandwidth 250 kHz", P, 1, bw, 250, 0, 1, true},
      {"bandwidth 500 kHz", P, 1, bw, 500, 0, 2, true},
      {"bandwidth index 9", P, 1, bw, 9, 0, 9, true},
      {"bandwidth index 10", P, 1, bw, 10, -3, 0, false},
      {"FSK bandwidth 250", F, 1, bw, 250, -3, 0, false},
      {"FSK bandwidth 4799", F, 1, bw, 4799, -3, 0, false},
      {"FSK bandwidth 4800", F, 1, bw, 4800, 0, 4800, true},
      {"FSK bandwidth 467000", F, 1, bw, 467000, 0, 467000, true},
      {"FSK bandwidth 467001", F, 1, bw, 467001, -3, 0, false},
      {"coding rate 3", P, 1, cr, 3, 0, 3, true},
      {"coding rate 4", P, 1, cr, 4, -3, 0, false},
      {"preamble 4", P, 1, pl, 4, -3, 0, false},
      {"preamble 5", P, 1, pl, 5, 0, 5, true},
      {"preamble 65535", P, 1, pl, 65535, 0, 65535, true},
      {"preamble 65536", P, 1, pl, 65536, -3, 0, false},
      {"power 4", P, 1, pw, 4, -3, 0, false},
      {"power 5", P, 1, pw, 5, 0, 5, true},
      {"power 22", P, 1, pw, 22, 0, 22, true},
      {"power 23", P, 1, pw, 23, -3, 0, false},
      {"deviation 599", F, 1, fdev, 599, -3, 0, false},
      {"deviation 600", F, 1, fdev, 600, 0, 600, true},
      {"deviation 200000", F, 1, fdev, 200000, 0, 200000, true},
      {"deviation 200001", F, 1, fdev, 200001, -3, 0, false},
      {"bit rate 599", F, 1, br, 599, -3, 0, false},
      {"bit rate 300000", F, 1, br, 300000, 0, 300000, true},
      {"bit rate 300001", F, 1, br, 300001, -3, 0, false},
      {"symbol timeout 248", P, 1, st, 248, 0, 248, false},
      {"symbol timeout 249", P, 1, st, 249, -3, 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    start(c.mode);
    fake::port.band_strap = c.band_strap;
    const Setting &s = c.setting;
    const uint32_t before = s.get();
    if (s.check != nullptr) {
      EXPECT_EQ(s.check(c.value), c.result);
      EXPECT_EQ(s.get(), before) << "a check stores nothing";
    }
    radio.calls.clear();
    EXPECT_EQ(s.set(c.value), c.result);
    EXPECT_EQ(s.get(), c.result == 0 ? c.stored : before);
    EXPECT_EQ(fakeradio::called("SetTxConfig"), c.applied);
  }
  start(SERVICE_LORA_P2P);
}

TEST_F(P2p, SyncWordReachesTheRadioAndTheWorkModeStaysInRange) {
  ASSERT_EQ(service_lora_p2p_set_syncword(0x3444), 0);
  EXPECT_EQ(service_lora_p2p_get_syncword(), 0x3444);
  EXPECT_EQ(radio.board_inits, 1);
  EXPECT_EQ(radio.regs[0x0740], 0x34);
  EXPECT_EQ(radio.regs[0x0741], 0x44);

  EXPECT_EQ(service_lora_set_nwm(static_cast<SERVICE_LORA_WORK_MODE>(3)), -7);
  EXPECT_EQ(service_lora_get_nwm(), SERVICE_LORA_P2P);
  EXPECT_EQ(service_lora_p2p_get_nwm(), SERVICE_LORA_P2P);
  EXPECT_EQ(service_lora_set_nwm(SERVICE_LORA_FSK), 0);
  EXPECT_EQ(service_lora_get_nwm(), SERVICE_LORA_FSK);
  // A store that fails is reported.
  fake::port.fail_program_at = SERVICE_NVM_CFG_ADDR;
  EXPECT_NE(service_lora_set_nwm(SERVICE_LORA_P2P), 0);
  fake::port.fail_program_at = UINT32_MAX;
  start(SERVICE_LORA_P2P);
}

}  // namespace
