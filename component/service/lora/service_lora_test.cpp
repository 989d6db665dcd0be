// RF test mode (see service_lora_test.h).
//
// The packet and hop runs step on TxTimer (the MAC's timer list: on the
// STM32WLE5 images its callbacks run in the RTC alarm interrupt), the radio
// callbacks where the radio's interrupt is processed; both print their
// progress lines from there. Each start takes one counted
// wake lock, so the module stays awake while testing; a run gives its lock
// back when its last frame is out, and service_lora_toff gives back all.
#include "service_lora_test.h"

#include <string.h>

#include "RegionAS923.h"
#include "RegionAU915.h"
#include "RegionCN470.h"
#include "RegionCN779.h"
#include "RegionCommon.h"
#include "RegionEU433.h"
#include "RegionEU868.h"
#include "RegionIN865.h"
#include "RegionKR920.h"
#include "RegionLA915.h"
#include "RegionRU864.h"
#include "RegionUS915.h"
#include "radio.h"
#include "service_lora.h"
#include "udrv_delay.h"
#include "udrv_errno.h"
#include "udrv_powersave.h"
#include "udrv_rtc.h"
#include "udrv_serial.h"
#include "timer.h"
#include "utilities.h"

volatile testParameter_t testParam = {
    1,          // modem: LoRa
    0,          // bandwidth: 125 kHz
    7,          // datarate: SF7
    1,          // coderate: 4/5
    83333,      // bandwidthAfc
    8,          // preambleLen
    false,      // fixLen
    4,          // payloadLen
    false,      // crcOn
    false,      // FreqHopOn
    0,          // HopPeriod
    false,      // iqInverted
    true,       // rxContinuous
    5,          // symbTimeout
    14,         // power
    25000,      // fdev
    3000,       // txTimeout
    868000000,  // frequency
    0,          // lna
    0,          // paBoost
    0,          // lowDrOpt
    0,          // BTproduct
    868000000,  // freq_start
    868500000,  // freq_stop
    100000,     // hp_step
    6,          // nb_tx
};

testCwParameter_t cwParam = {868000000, 14, 5};

uint8_t service_lora_test_full_wlock_cnt;

namespace {

constexpr uint8_t kToneRunning = 0x01;
constexpr uint8_t kRssiRunning = 0x02;
constexpr uint8_t kTxRunning = 0x04;
constexpr uint8_t kRxRunning = 0x08;

constexpr uint32_t kStepMs = 500;
constexpr uint32_t kRxWindowMs = 5000;
constexpr uint32_t kRssiWaitMs = 50;
constexpr uint16_t kToneSeconds = 65535;
constexpr uint32_t kFreqMin = 150000000u, kFreqMax = 960000000u;
constexpr int32_t kPowerMin = -9, kPowerMax = 22;
constexpr uint32_t kBandwidthMax = 6;
constexpr uint32_t kSfMin = 5, kSfMax = 12;
constexpr uint32_t kCoderateMin = 1, kCoderateMax = 4;
constexpr uint32_t kModemMax = 2;
constexpr uint32_t kFdevMin = 4800, kFdevMax = 467000;
constexpr uint32_t kCwPowerMin = 5, kCwPowerMax = 22;
constexpr uint32_t kCwTimeoutMax = 0xFFFF;
constexpr size_t kFreqSeqMax = 128;

volatile uint8_t TestState;
volatile uint32_t packet, packet_back;
volatile bool hop_flag;
// The hop run in progress is the shuffled one (its next frequency comes from
// freq_seq).
volatile bool hop_shuffled;
uint32_t freq_start_back;
uint8_t payload[256];
volatile uint32_t Rx_count_RxOk, Rx_count_RxKo;
uint32_t freq_seq[kFreqSeqMax];
uint8_t freq_cnt;
TimerEvent_t TxTimer;
bool tx_timer_created;
// Locks that go back when the radio is done: the packet or hop run's after
// its last frame (TX done or TX timeout), the continuous wave's when it ends.
volatile bool run_lock_pending;
volatile bool cw_lock_held;

RadioEvents_t TestRadioEvents;
RadioEvents_t CwRadioEvents;

bool freq_ok(uint32_t f) { return f >= kFreqMin && f <= kFreqMax; }

void release_wake_lock(void) {
  if (service_lora_test_full_wlock_cnt > 0) {
    --service_lora_test_full_wlock_cnt;
    udrv_powersave_wake_unlock();
  }
}

// PRBS9 (x^9 + x^5 + 1) from its fixed start state: every run, and so every
// frame of a run, carries the same bytes. Bits fill each byte from bit 0.
void fill_prbs9(uint8_t len) {
  uint16_t reg = 2;
  for (uint32_t i = 0; i < len; ++i) {
    uint8_t byte = 0;
    for (int bit = 0; bit < 8; ++bit) {
      const uint16_t nb = static_cast<uint16_t>(((reg >> 4) ^ (reg >> 8)) & 1u);
      reg = static_cast<uint16_t>(((reg << 1) | nb) & 0x1FFu);
      byte = static_cast<uint8_t>(byte | (nb << bit));
    }
    payload[i] = byte;
  }
}

void tx_config(uint32_t datarate, uint32_t bandwidth) {
  Radio.SetTxConfig(static_cast<RadioModems_t>(testParam.modem), testParam.power, testParam.fdev,
                    bandwidth, datarate, testParam.coderate, testParam.preambleLen,
                    testParam.fixLen, testParam.crcOn, testParam.FreqHopOn, testParam.HopPeriod,
                    testParam.iqInverted, testParam.txTimeout);
}

void timer_start(void (*step)(void*)) {
  if (tx_timer_created) TimerStop(&TxTimer);
  TimerInit(&TxTimer, step);
  TimerSetValue(&TxTimer, kStepMs);
  tx_timer_created = true;
  TimerStart(&TxTimer);
}

void timer_stop(void) {
  if (tx_timer_created) TimerStop(&TxTimer);
}

// ---- radio callbacks of the tests (radio interrupt) ----

void release_run_lock(void) {
  if (run_lock_pending) {
    run_lock_pending = false;
    release_wake_lock();
  }
}

void OnTestTxDone(void) {
  release_run_lock();
  udrv_serial_log_printf("OnTxDone\r\n");
}

// A frame of a run that never finished keeps the run going (its lock stays
// with the run); the end of the continuous wave gives its lock back.
void OnTestTxTimeout(void) {
  Radio.Standby();
  release_run_lock();
  if (cw_lock_held) {
    cw_lock_held = false;
    release_wake_lock();
  }
}

void rx_window_done(void) {
  packet = packet - 1;
  const uint32_t total = Rx_count_RxOk + Rx_count_RxKo;
  udrv_serial_log_printf("Rx %u of %u  >>> PER= %u %%\r\n",
                         static_cast<unsigned>(packet_back - packet),
                         static_cast<unsigned>(packet_back),
                         static_cast<unsigned>(total ? Rx_count_RxKo * 100u / total : 0));
  if (packet > 0) {
    Radio.Rx(kRxWindowMs);
  } else {
    Rx_count_RxOk = 0;
    Rx_count_RxKo = 0;
    TestState = static_cast<uint8_t>(TestState & ~kRxRunning);
    Radio.Standby();
    release_wake_lock();
  }
}

void OnTestRxDone(uint8_t*, uint16_t, int16_t rssi, int8_t snr) {
  if ((TestState & kRxRunning) == 0) return;
  Rx_count_RxOk = Rx_count_RxOk + 1;
  udrv_serial_log_printf("RssiValue= %d dBm, SnrValue= %d \r\n", static_cast<int>(rssi),
                         static_cast<int>(snr));
  rx_window_done();
}

void OnTestRxFailed(void) {
  if ((TestState & kRxRunning) == 0) return;
  Rx_count_RxKo = Rx_count_RxKo + 1;
  rx_window_done();
}

void install_callbacks(void) {
  TestRadioEvents = RadioEvents_t{};
  TestRadioEvents.TxDone = OnTestTxDone;
  TestRadioEvents.TxTimeout = OnTestTxTimeout;
  TestRadioEvents.RxDone = OnTestRxDone;
  TestRadioEvents.RxTimeout = OnTestRxFailed;
  TestRadioEvents.RxError = OnTestRxFailed;
  Radio.Init(&TestRadioEvents);
}

// ---- steps of the runs (TxTimer, RTC alarm interrupt) ----

// After the last frame went to the radio: its TX done gives the lock back.
void finish_tx_run(void) {
  TestState = static_cast<uint8_t>(TestState & ~kTxRunning);
  timer_stop();
  hop_flag = false;
  run_lock_pending = true;
}

void OnTxTimerEvent(void*) {
  if ((TestState & kTxRunning) == 0) return;
  packet = packet - 1;
  // The next step is timed from this one, so the frames keep a steady
  // 500 ms cadence whatever the printing takes.
  if (packet > 0) {
    TimerStart(&TxTimer);
  } else {
    finish_tx_run();
  }
  Radio.Send(payload, testParam.payloadLen);
  udrv_serial_log_printf("Tx Test : Packet %u of %u\r\n",
                         static_cast<unsigned>(packet_back - packet),
                         static_cast<unsigned>(packet_back));
}

void OnHopTimerEvent(void*) {
  if ((TestState & kTxRunning) == 0) return;
  testParam.nb_tx = testParam.nb_tx - 1;
  if (testParam.nb_tx > 0) {
    TimerStart(&TxTimer);
  } else {
    finish_tx_run();
  }
  Radio.Send(payload, testParam.payloadLen);
  udrv_serial_log_printf("Tx Hop at %u Hz\r\n", static_cast<unsigned>(testParam.freq_start));
  udrv_serial_log_printf("Tx Test : Packet %u of %u\r\n",
                         static_cast<unsigned>(packet_back - testParam.nb_tx),
                         static_cast<unsigned>(packet_back));
  if (hop_shuffled) {
    testParam.freq_start = freq_seq[(packet_back - testParam.nb_tx) % freq_cnt];
  } else {
    // In 64 bits: a step near the top of the range must not wrap to a
    // frequency below it.
    const uint64_t next = uint64_t{testParam.freq_start} + testParam.hp_step;
    testParam.freq_start =
        next > testParam.freq_stop ? freq_start_back : static_cast<uint32_t>(next);
  }
  Radio.SetChannel(testParam.freq_start);
}

// A hop range the radio can send on: start and stop in the band, start not
// above stop, and frames to send.
bool hop_range_ok(const testParameter_t* p) {
  return freq_ok(p->freq_start) && freq_ok(p->freq_stop) && p->freq_start <= p->freq_stop &&
         p->nb_tx > 0;
}

// Spreading factor and radio bandwidth code of LoRaWAN data rate `dr` in the
// stored band. Bands without their own table (RU864, the AS923 sub-bands),
// and rates that are not LoRa in the band's table (beyond it, FSK, unused),
// send at SF7 and 125 kHz.
void lorawan_rate(uint32_t dr, uint32_t* sf, uint32_t* bw) {
  const uint8_t* rates = nullptr;
  const uint32_t* bandwidths = nullptr;
  uint32_t n = 0;
  switch (service_lora_get_band()) {
    case SERVICE_LORA_AS923:
      rates = DataratesAS923;
      bandwidths = BandwidthsAS923;
      n = 8;
      break;
    case SERVICE_LORA_AU915:
      rates = DataratesAU915;
      bandwidths = BandwidthsAU915;
      n = 16;
      break;
    case SERVICE_LORA_CN470:
      rates = DataratesCN470;
      bandwidths = BandwidthsCN470;
      n = 8;
      break;
    case SERVICE_LORA_CN779:
      rates = DataratesCN779;
      bandwidths = BandwidthsCN779;
      n = 8;
      break;
    case SERVICE_LORA_EU433:
      rates = DataratesEU433;
      bandwidths = BandwidthsEU433;
      n = 8;
      break;
    case SERVICE_LORA_EU868:
      rates = DataratesEU868;
      bandwidths = BandwidthsEU868;
      n = 8;
      break;
    case SERVICE_LORA_KR920:
      rates = DataratesKR920;
      bandwidths = BandwidthsKR920;
      n = 6;
      break;
    case SERVICE_LORA_IN865:
      rates = DataratesIN865;
      bandwidths = BandwidthsIN865;
      n = 8;
      break;
    case SERVICE_LORA_US915:
      rates = DataratesUS915;
      bandwidths = BandwidthsUS915;
      n = 16;
      break;
    case SERVICE_LORA_LA915:
      rates = DataratesLA915;
      bandwidths = BandwidthsLA915;
      n = 16;
      break;
    default:
      break;
  }
  if (rates == nullptr || dr >= n || bandwidths[dr] == 0 || rates[dr] < kSfMin ||
      rates[dr] > kSfMax) {
    *sf = 7;
    *bw = 0;
    return;
  }
  *sf = rates[dr];
  *bw = RegionCommonGetBandwidth(dr, bandwidths);
}

}  // namespace

void service_lora_test_full_wake_lock(void) {
  udrv_powersave_wake_lock();
  ++service_lora_test_full_wlock_cnt;
}

int32_t service_lora_set_tconf(testParameter_t* param) {
  if (!freq_ok(param->frequency) || param->power < kPowerMin || param->power > kPowerMax ||
      param->bandwidth > kBandwidthMax || param->datarate < kSfMin || param->datarate > kSfMax ||
      param->coderate < kCoderateMin || param->coderate > kCoderateMax ||
      param->modem > kModemMax || param->fdev < kFdevMin || param->fdev > kFdevMax) {
    return -UDRV_WRONG_ARG;
  }
  // Configuring starts nothing: the module may sleep on, and a refused
  // configuration must not keep it awake either.
  memcpy(const_cast<testParameter_t*>(&testParam), param, sizeof(testParameter_t));
  return 0;
}

int32_t service_lora_get_tconf(testParameter_t* param) {
  memcpy(param, const_cast<const testParameter_t*>(&testParam), sizeof(testParameter_t));
  return 0;
}

int32_t service_lora_ttone(void) {
  if (TestState & kToneRunning) return -UDRV_BUSY;
  service_lora_test_full_wake_lock();
  TestState = static_cast<uint8_t>(TestState | kToneRunning);
  Radio.SetTxContinuousWave(testParam.frequency, testParam.power, kToneSeconds);
  return 0;
}

int32_t service_lora_trssi(int16_t* rssiVal) {
  if (TestState & kRssiRunning) return -UDRV_BUSY;
  service_lora_test_full_wake_lock();
  TestState = static_cast<uint8_t>(TestState | kRssiRunning);
  Radio.SetChannel(testParam.frequency);
  tx_config(testParam.datarate, testParam.bandwidth);
  // No software time-out: the wait and the Sleep below end the reception,
  // and a time-out left running would reach whatever callbacks the radio
  // has hours later.
  if (testParam.lna != 0) {
    Radio.RxBoosted(0);
  } else {
    Radio.Rx(0);
  }
  udrv_delay_ms(kRssiWaitMs);
  *rssiVal = Radio.Rssi(MODEM_FSK);
  Radio.Sleep();
  TestState = static_cast<uint8_t>(TestState & ~kRssiRunning);
  release_wake_lock();
  return 0;
}

int32_t service_lora_ttx(uint32_t nb_packet) {
  if (TestState & kTxRunning) return -UDRV_BUSY;
  // A run of no frames would never end (the step counts down before it
  // looks).
  if (nb_packet == 0) return -UDRV_WRONG_ARG;
  service_lora_test_full_wake_lock();
  TestState = static_cast<uint8_t>(TestState | kTxRunning);
  udrv_serial_log_printf("Tx Test\r\n");
  install_callbacks();
  fill_prbs9(testParam.payloadLen);
  Radio.SetChannel(testParam.frequency);
  tx_config(testParam.datarate, testParam.bandwidth);
  hop_flag = false;
  packet = nb_packet;
  packet_back = nb_packet;
  timer_start(OnTxTimerEvent);
  return 0;
}

int32_t service_lora_trx(int32_t nb_packet) {
  if ((TestState & kRxRunning) || nb_packet <= 0) return -UDRV_BUSY;
  service_lora_test_full_wake_lock();
  TestState = static_cast<uint8_t>(TestState | kRxRunning);
  install_callbacks();
  Rx_count_RxOk = 0;
  Rx_count_RxKo = 0;
  packet = static_cast<uint32_t>(nb_packet);
  packet_back = static_cast<uint32_t>(nb_packet);
  Radio.SetChannel(testParam.frequency);
  Radio.SetRxConfig(static_cast<RadioModems_t>(testParam.modem), testParam.bandwidth,
                    testParam.datarate, testParam.coderate, testParam.bandwidthAfc,
                    testParam.preambleLen, static_cast<uint16_t>(testParam.symbTimeout),
                    testParam.fixLen, testParam.payloadLen, testParam.crcOn, testParam.FreqHopOn,
                    testParam.HopPeriod, testParam.iqInverted, testParam.rxContinuous);
  Radio.Rx(kRxWindowMs);
  return 0;
}

namespace {

void start_hop(const testParameter_t* param, uint32_t first, bool shuffled, uint32_t sf,
               uint32_t bw) {
  TestState = static_cast<uint8_t>(TestState | kTxRunning);
  hop_flag = true;
  hop_shuffled = shuffled;
  install_callbacks();
  testParam.freq_start = first;
  testParam.freq_stop = param->freq_stop;
  testParam.hp_step = param->hp_step;
  testParam.nb_tx = param->nb_tx;
  fill_prbs9(testParam.payloadLen);
  freq_start_back = param->freq_start;
  packet_back = param->nb_tx;
  Radio.SetChannel(first);
  tx_config(sf, bw);
  timer_start(OnHopTimerEvent);
}

}  // namespace

int32_t service_lora_tth(testParameter_t* param) {
  if (TestState & kTxRunning) return -UDRV_BUSY;
  if (!hop_range_ok(param)) return -UDRV_WRONG_ARG;
  service_lora_test_full_wake_lock();
  start_hop(param, param->freq_start, false, testParam.datarate, testParam.bandwidth);
  return 0;
}

int32_t service_lora_trth(testParameter_t* param) {
  if (TestState & kTxRunning) return -UDRV_BUSY;
  if (!hop_range_ok(param)) return -UDRV_WRONG_ARG;
  uint32_t sf = 0, bw = 0;
  lorawan_rate(testParam.datarate, &sf, &bw);
  service_lora_test_full_wake_lock();

  size_t n = 0;
  for (uint64_t f = param->freq_start; f <= param->freq_stop && n < kFreqSeqMax;
       f += param->hp_step) {
    freq_seq[n++] = static_cast<uint32_t>(f);
    if (param->hp_step == 0) break;
  }
  freq_cnt = static_cast<uint8_t>(n);
  RandSeq_t seq;
  RandSeqInit(&seq, static_cast<uint32_t>(udrv_rtc_get_timestamp(UDRV_RTC_2)));
  for (size_t i = 0; i + 1 < n; ++i) {
    const size_t j = i + static_cast<size_t>(RandSeqNext(&seq)) % (n - i);
    const uint32_t t = freq_seq[i];
    freq_seq[i] = freq_seq[j];
    freq_seq[j] = t;
  }
  start_hop(param, freq_seq[0], true, sf, bw);
  return 0;
}

int32_t service_lora_set_cw(testCwParameter_t* param) {
  // The radio cannot send outside its band, nor at a power it has not.
  if (!freq_ok(param->frequency) || param->txpower < kCwPowerMin || param->txpower > kCwPowerMax ||
      param->txTimeout > kCwTimeoutMax) {
    return -UDRV_WRONG_ARG;
  }
  if (!cw_lock_held) {
    service_lora_test_full_wake_lock();
    cw_lock_held = true;
  }
  cwParam = *param;
  CwRadioEvents = RadioEvents_t{};
  CwRadioEvents.TxTimeout = OnTestTxTimeout;
  Radio.Init(&CwRadioEvents);
  Radio.SetTxContinuousWave(cwParam.frequency, static_cast<int8_t>(cwParam.txpower),
                            static_cast<uint16_t>(cwParam.txTimeout));
  return 0;
}

int32_t service_lora_get_cw(testCwParameter_t* param) {
  *param = cwParam;
  return 0;
}

void service_lora_toff(void) {
  TestState = 0;
  hop_flag = false;
  run_lock_pending = false;
  cw_lock_held = false;
  timer_stop();
  Radio.Sleep();
  while (service_lora_test_full_wlock_cnt > 0) release_wake_lock();
}
