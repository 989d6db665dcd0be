// Sub-GHz radio driver stand-in: see subghz_phy_radio.h. Compiled by each image with its
// radio_conf.h and board radio interface.
#include "subghz_phy_radio.h"

#include <string.h>

#include <initializer_list>

#include "radio_board_if.h"
#include "radio_conf.h"
#include "stm32wl_hal.h"
#include "stm32wl_hal_subghz.h"
#include "util_timer.h"

extern SUBGHZ_HandleTypeDef hsubghz;

SubghzRadio_t SubghzRadio = {nullptr, IRQ_RADIO_NONE};

namespace {

constexpr uint32_t kRadioWakeupMs = 3;
constexpr uint16_t kRegLoraSync = 0x0740;
constexpr uint16_t kRegFskSync = 0x06C0;
constexpr uint16_t kRegIqPolarity = 0x0736;
constexpr uint16_t kRegTxModulation = 0x0889;
constexpr uint16_t kRegRxGain = 0x08AC;
constexpr uint16_t kRegTxClamp = 0x08D8;
constexpr uint16_t kRegPayloadLength = 0x0702;
constexpr uint16_t kRegXtaTrim = 0x0911;
constexpr uint16_t kRegXtbTrim = 0x0912;
constexpr uint16_t kRegRetention = 0x029F;
constexpr uint16_t kRegAnaLna = 0x08E2;
constexpr uint16_t kRegAnaMixer = 0x08E5;
constexpr uint16_t kRegRandom = 0x0819;

enum class Mode { kSleep, kStandby, kTx, kRx, kCad };

struct Driver {
  Mode mode = Mode::kStandby;
  uint8_t packet_type = 0;
  uint8_t lora_header = 0;
  bool image_calibrated = false;
  bool rx_continuous = false;
  uint32_t tx_timeout = 0;
  uint32_t rx_timeout = 0;
  uint8_t max_payload = 255;
  bool public_prev = false, public_cur = false;
  int8_t tx_power = 0;
  // Parameters as last configured (for Send and SetMaxPayloadLength).
  uint8_t lora_pkt[6] = {0, 8, 0, 255, 1, 0};
  uint8_t gfsk_pkt[9] = {0, 40, 4, 24, 0, 1, 255, 6, 1};
  // The deviation of the last FSK transmit set-up: a receive set-up does not
  // change what the next transmission sends.
  uint32_t fsk_fdev = 0;
  uint8_t lora_bw = 4;
  UTIL_TIMER_Object_t tx_timer{};
  UTIL_TIMER_Object_t rx_timer{};
  uint8_t rx_payload[255];
};

Driver d;

void cmd(uint8_t op, std::initializer_list<uint8_t> bytes) {
  uint8_t buf[16];
  uint16_t n = 0;
  for (uint8_t b : bytes) buf[n++] = b;
  HAL_SUBGHZ_ExecSetCmd(&hsubghz, op, buf, n);
}

void cmd_buf(uint8_t op, uint8_t* buf, uint16_t n) { HAL_SUBGHZ_ExecSetCmd(&hsubghz, op, buf, n); }

uint8_t reg(uint16_t a) {
  uint8_t v = 0;
  HAL_SUBGHZ_ReadRegister(&hsubghz, a, &v);
  return v;
}

void set_reg(uint16_t a, uint8_t v) { HAL_SUBGHZ_WriteRegister(&hsubghz, a, v); }

void put24(uint8_t* b, uint32_t v) {
  b[0] = static_cast<uint8_t>(v >> 16);
  b[1] = static_cast<uint8_t>(v >> 8);
  b[2] = static_cast<uint8_t>(v);
}

uint32_t pll_steps(uint32_t hz) {
  const uint32_t q = hz / 15625, r = hz % 15625;
  return (q << 14) + (((r << 14) + 7812) / 15625);
}

void set_packet_type(uint8_t t) {
  d.packet_type = t;
  cmd(0x8A, {t});
}

void standby() {
  cmd(0x80, {0});
  RBI_ConfigRFSwitch(RBI_SWITCH_OFF);
  d.mode = Mode::kStandby;
}

void irq_params(uint16_t irq, uint16_t dio1) {
  cmd(0x08, {static_cast<uint8_t>(irq >> 8), static_cast<uint8_t>(irq),
             static_cast<uint8_t>(dio1 >> 8), static_cast<uint8_t>(dio1), 0, 0, 0, 0});
}

void write_sync_word(bool pub) {
  set_reg(kRegLoraSync, pub ? 0x34 : 0x14);
  set_reg(kRegLoraSync + 1, pub ? 0x44 : 0x24);
}

void set_frequency(uint32_t hz) {
  if (!d.image_calibrated) {
    uint8_t lo, hi;
    if (hz > 900000000) {
      lo = 0xE1, hi = 0xE9;
    } else if (hz > 850000000) {
      lo = 0xD7, hi = 0xDB;
    } else if (hz > 770000000) {
      lo = 0xC1, hi = 0xC5;
    } else if (hz > 460000000) {
      lo = 0x75, hi = 0x81;
    } else if (hz > 425000000) {
      lo = 0x6B, hi = 0x6F;
    } else {
      const uint32_t mhz = hz / 1000000;
      lo = static_cast<uint8_t>(mhz > 4 ? (mhz - 4) / 4 : 0);
      hi = static_cast<uint8_t>((mhz + 7) / 4 > 255 ? 255 : (mhz + 7) / 4);
    }
    cmd(0x98, {lo, hi});
    d.image_calibrated = true;
  }
  const uint32_t s = pll_steps(hz);
  cmd(0x86, {static_cast<uint8_t>(s >> 24), static_cast<uint8_t>(s >> 16),
             static_cast<uint8_t>(s >> 8), static_cast<uint8_t>(s)});
}

// The TX path of the board: the low-power PA up to 14 dBm (15 with its
// higher duty cycle), the high-power one up to 22 dBm.
bool use_high_power(int8_t power) {
  switch (RBI_GetTxConfig()) {
    case RBI_CONF_RFO_LP:
      return false;
    case RBI_CONF_RFO_HP:
      return true;
    default:
      return power > 15;
  }
}

void set_tx_power(int8_t power) {
  d.tx_power = power;
  if (use_high_power(power)) {
    set_reg(kRegTxClamp, reg(kRegTxClamp) | 0x1E);
    cmd(0x95, {0x04, 0x07, 0x00, 0x01});
    if (power > 22) power = 22;
    if (power < -9) power = -9;
  } else {
    cmd(0x95, {static_cast<uint8_t>(power == 15 ? 0x06 : 0x04), 0x00, 0x01, 0x01});
    if (power > 14) power = 14;
    if (power < -17) power = -17;
  }
  cmd(0x8E, {static_cast<uint8_t>(power), 0x02});
}

uint8_t fsk_bandwidth_reg(uint32_t bw) {
  static const struct {
    uint32_t hz;
    uint8_t reg;
  } rows[] = {{4800, 0x1F},   {5800, 0x17},   {7300, 0x0F},   {9700, 0x1E},   {11700, 0x16},
              {14600, 0x0E},  {19500, 0x1D},  {23400, 0x15},  {29300, 0x0D},  {39000, 0x1C},
              {46900, 0x14},  {58600, 0x0C},  {78200, 0x1B},  {93800, 0x13},  {117300, 0x0B},
              {156200, 0x1A}, {187200, 0x12}, {234300, 0x0A}, {312000, 0x19}, {373600, 0x11},
              {467000, 0x09}};
  if (bw < rows[0].hz) return rows[0].reg;
  for (unsigned i = 0; i + 1 < sizeof(rows) / sizeof(rows[0]); ++i) {
    if (bw >= rows[i].hz && bw < rows[i + 1].hz) return rows[i + 1].reg;
  }
  return 0x09;
}

const uint8_t kLoraBw[] = {4, 5, 6, 0, 8, 1, 9, 2, 10, 3};
const uint32_t kLoraBwHz[] = {125000, 250000, 500000, 7812,  10417,
                              15625,  20833,  31250,  41667, 62500};

uint32_t bw_index(uint32_t bw) { return bw < 10 ? bw : 0; }

uint8_t ldro(uint32_t bwi, uint32_t sf) {
  return ((bwi == 0 && (sf == 11 || sf == 12)) || (bwi == 1 && sf == 12)) ? 1 : 0;
}

uint16_t lora_preamble(uint32_t sf, uint16_t p) {
  return ((sf == 5 || sf == 6) && p < 12) ? 12 : p;
}

void send_lora_packet_params() { cmd_buf(0x8C, d.lora_pkt, 6); }

void send_gfsk_packet_params() { cmd_buf(0x8C, d.gfsk_pkt, 9); }

void config_fsk(uint32_t bandwidth, uint32_t datarate, uint32_t fdev, uint16_t preamble, bool fix,
                bool crc) {
  standby();
  set_packet_type(0);
  uint8_t m[8];
  put24(m, datarate ? 1024000000u / datarate : 0);
  m[3] = 0x0B;
  m[4] = fsk_bandwidth_reg(bandwidth << 1);
  put24(m + 5, pll_steps(fdev));
  cmd_buf(0x8B, m, 8);
  d.gfsk_pkt[0] = static_cast<uint8_t>((preamble << 3) >> 8);
  d.gfsk_pkt[1] = static_cast<uint8_t>(preamble << 3);
  d.gfsk_pkt[2] = 0x04;
  d.gfsk_pkt[3] = 24;
  d.gfsk_pkt[4] = 0;
  d.gfsk_pkt[5] = fix ? 0 : 1;
  d.gfsk_pkt[7] = crc ? 0x06 : 0x01;
  d.gfsk_pkt[8] = 0x01;
  if (crc) {
    uint8_t seed[2] = {0x1D, 0x0F}, poly[2] = {0x10, 0x21};
    HAL_SUBGHZ_WriteRegisters(&hsubghz, 0x06BC, seed, 2);
    HAL_SUBGHZ_WriteRegisters(&hsubghz, 0x06BE, poly, 2);
  }
  send_gfsk_packet_params();
  uint8_t sync[8] = {0xC1, 0x94, 0xC1, 0, 0, 0, 0, 0};
  HAL_SUBGHZ_WriteRegisters(&hsubghz, kRegFskSync, sync, 8);
  set_reg(0x06B8, static_cast<uint8_t>((reg(0x06B8) & 0xFE) | 0x01));
  set_reg(0x06B9, 0xFF);
  d.public_cur = false;
}

void config_lora(uint32_t bandwidth, uint32_t sf, uint8_t cr, uint16_t preamble, bool fix, bool crc,
                 bool iq) {
  const uint32_t bwi = bw_index(bandwidth);
  standby();
  set_packet_type(1);
  if (d.public_cur != d.public_prev) {
    d.public_cur = d.public_prev;
    write_sync_word(d.public_cur);
  }
  d.lora_bw = kLoraBw[bwi];
  cmd(0x8B, {static_cast<uint8_t>(sf), d.lora_bw, cr, ldro(bwi, sf)});
  const uint16_t p = lora_preamble(sf, preamble);
  d.lora_pkt[0] = static_cast<uint8_t>(p >> 8);
  d.lora_pkt[1] = static_cast<uint8_t>(p);
  d.lora_pkt[2] = fix ? 1 : 0;
  d.lora_pkt[3] = d.max_payload;
  d.lora_pkt[4] = crc ? 1 : 0;
  d.lora_pkt[5] = iq ? 1 : 0;
  d.lora_header = d.lora_pkt[2];
  send_lora_packet_params();
}

void start_timer(UTIL_TIMER_Object_t* t, uint32_t ms) {
  UTIL_TIMER_Stop(t);
  UTIL_TIMER_SetPeriod(t, ms);
  UTIL_TIMER_Start(t);
}

uint32_t rx_units() {
  if (d.rx_continuous) return 0xFFFFFF;
  const uint64_t u = uint64_t{d.rx_timeout} << 6;
  return u >= 0xFFFFFF ? 0xFFFFFE : static_cast<uint32_t>(u);
}

void rx(uint32_t timeout, uint8_t gain) {
  irq_params(0xFFFF, 0xFFFF);
  if (timeout != 0) start_timer(&d.rx_timer, timeout);
  RBI_ConfigRFSwitch(RBI_SWITCH_RX);
  set_reg(kRegRxGain, gain);
  d.mode = Mode::kRx;
  uint8_t b[3];
  put24(b, rx_units());
  cmd_buf(0x82, b, 3);
}

// ------------------------------------------------------------ operations --

void RadioInit(RadioEvents_t* events) {
  SubghzRadio.Events = events;
  SubghzRadio.PendingIrq = IRQ_RADIO_NONE;
  RBI_Init();
  // Reset the radio; the next access waits for its boot.
  LL_RCC_RF_EnableReset();
  LL_RCC_RF_DisableReset();
  while (LL_RCC_IsRFUnderReset() != 0) {
  }
  hsubghz.DeepSleep = 0;
  d.image_calibrated = false;
  standby();
  if (RBI_IsTCXO()) {
    cmd(0x97, {static_cast<uint8_t>(TCXO_CTRL_VOLTAGE & 7), 0, 0,
               static_cast<uint8_t>(RF_WAKEUP_TIME << 6)});
    set_reg(kRegXtaTrim, 0x00);
  } else {
    set_reg(kRegXtaTrim, XTAL_DEFAULT_CAP_VALUE);
    set_reg(kRegXtbTrim, XTAL_DEFAULT_CAP_VALUE);
  }
  cmd(0x96, {static_cast<uint8_t>(RBI_IsDCDC() ? 1 : 0)});
  cmd(0x8F, {0, 0});
  set_tx_power(0);
  irq_params(0xFFFF, 0xFFFF);
  uint8_t keep[9] = {2, 0x08, 0xAC, 0x08, 0x89, 0, 0, 0, 0};
  HAL_SUBGHZ_WriteRegisters(&hsubghz, kRegRetention, keep, 9);
  UTIL_TIMER_Stop(&d.tx_timer);
  UTIL_TIMER_Stop(&d.rx_timer);
  UTIL_TIMER_Create(&d.tx_timer, 0xFFFF, UTIL_TIMER_ONESHOT, RadioOnTxTimeoutIrq, nullptr);
  UTIL_TIMER_Create(&d.rx_timer, 0xFFFF, UTIL_TIMER_ONESHOT, RadioOnRxTimeoutIrq, nullptr);
  d.packet_type = 0;
}

RadioState_t RadioGetStatus(void) {
  switch (d.mode) {
    case Mode::kTx:
      return RF_TX_RUNNING;
    case Mode::kRx:
      return RF_RX_RUNNING;
    case Mode::kCad:
      return RF_CAD;
    default:
      return RF_IDLE;
  }
}

void RadioSetModem(RadioModems_t modem) {
  if (modem == MODEM_LORA) {
    set_packet_type(1);
    if (d.public_cur != d.public_prev) {
      d.public_cur = d.public_prev;
      write_sync_word(d.public_cur);
    }
  } else {
    set_packet_type(0);
    d.public_cur = false;
  }
}

void RadioSetChannel(uint32_t freq) { set_frequency(freq); }

int16_t RadioRssi(RadioModems_t) {
  uint8_t b = 0;
  HAL_SUBGHZ_ExecGetCmd(&hsubghz, 0x15, &b, 1);
  return static_cast<int16_t>(-static_cast<int>(b) >> 1);
}

void RadioSetRxConfig(RadioModems_t modem, uint32_t bandwidth, uint32_t datarate, uint8_t coderate,
                      uint32_t, uint16_t preambleLen, uint16_t symbTimeout, bool fixLen,
                      uint8_t payloadLen, bool crcOn, bool, uint8_t, bool iqInverted,
                      bool rxContinuous) {
  d.rx_continuous = rxContinuous;
  if (rxContinuous) symbTimeout = 0;
  d.max_payload = fixLen ? payloadLen : 255;
  if (modem == MODEM_FSK) {
    cmd(0x9F, {0});
    config_fsk(bandwidth, datarate, d.fsk_fdev, preambleLen, fixLen, crcOn);
    d.gfsk_pkt[6] = d.max_payload;
    send_gfsk_packet_params();
    d.rx_timeout = datarate ? static_cast<uint32_t>(uint64_t{symbTimeout} * 8000 / datarate) : 0;
  } else if (modem == MODEM_LORA) {
    cmd(0x9F, {0});
    config_lora(bandwidth, datarate, coderate, preambleLen, fixLen, crcOn, iqInverted);
    // Symbol timeout: the count and its mantissa/exponent register form.
    uint8_t mant = static_cast<uint8_t>(((symbTimeout > 248 ? 248 : symbTimeout) + 1) >> 1),
            exp = 0;
    while (mant > 31) {
      mant = static_cast<uint8_t>((mant + 3) >> 2);
      ++exp;
    }
    cmd(0xA0, {static_cast<uint8_t>(mant << (2 * exp + 1))});
    if (symbTimeout != 0) set_reg(0x0706, static_cast<uint8_t>(exp + (mant << 3)));
    const uint8_t iqreg = reg(kRegIqPolarity);
    set_reg(kRegIqPolarity, iqInverted ? (iqreg & ~0x04) : (iqreg | 0x04));
    d.rx_timeout = 0xFFFF;
  }
}

void RadioSetTxConfig(RadioModems_t modem, int8_t power, uint32_t fdev, uint32_t bandwidth,
                      uint32_t datarate, uint8_t coderate, uint16_t preambleLen, bool fixLen,
                      bool crcOn, bool, uint8_t, bool iqInverted, uint32_t timeout) {
  if (modem == MODEM_FSK) {
    d.fsk_fdev = fdev;
    config_fsk(bandwidth, datarate, fdev, preambleLen, fixLen, crcOn);
  } else if (modem == MODEM_LORA) {
    config_lora(bandwidth, datarate, coderate, preambleLen, fixLen, crcOn, iqInverted);
  }
  const uint8_t m = reg(kRegTxModulation);
  set_reg(kRegTxModulation, (modem == MODEM_LORA && d.lora_bw == 6) ? (m & ~0x04) : (m | 0x04));
  set_tx_power(power);
  d.tx_timeout = timeout;
}

bool RadioCheckRfFrequency(uint32_t) { return true; }

uint32_t RadioTimeOnAir(RadioModems_t modem, uint32_t bandwidth, uint32_t datarate,
                        uint8_t coderate, uint16_t preambleLen, bool fixLen, uint8_t payloadLen,
                        bool crcOn) {
  uint64_t num, den;
  if (modem == MODEM_FSK) {
    if (datarate == 0) return 0;
    num = 1000ull *
          (8ull * preambleLen + (fixLen ? 0 : 8) + 24 + 8ull * (payloadLen + (crcOn ? 2 : 0)));
    den = datarate;
  } else if (modem == MODEM_LORA) {
    if (datarate < 5 || datarate > 12) return 0;
    const uint32_t bwi = bw_index(bandwidth);
    const int32_t sf = static_cast<int32_t>(datarate);
    int32_t n = 8 * payloadLen + (crcOn ? 16 : 0) - 4 * sf + (fixLen ? 0 : 20);
    int32_t q = 4 * sf;
    if (sf > 6) {
      n += 8;
      if (ldro(bwi, datarate)) q = 4 * (sf - 2);
    }
    if (n < 0) n = 0;
    const uint64_t inter = static_cast<uint64_t>((n + q - 1) / q) * (coderate + 4u) +
                           lora_preamble(datarate, preambleLen) + (sf <= 6 ? 14 : 12);
    num = 1000ull * ((4 * inter + 1) << (sf - 2));
    den = kLoraBwHz[bwi];
  } else {
    return 0;
  }
  const uint64_t ms = (num + den - 1) / den;
  return ms > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(ms);
}

void RadioSend(uint8_t* buffer, uint8_t size) {
  irq_params(0x0201, 0x0201);
  if (d.packet_type == 1) {
    d.lora_pkt[3] = size;
    send_lora_packet_params();
  } else {
    d.gfsk_pkt[6] = size;
    send_gfsk_packet_params();
  }
  RBI_ConfigRFSwitch(use_high_power(d.tx_power) ? RBI_SWITCH_RFO_HP : RBI_SWITCH_RFO_LP);
  HAL_SUBGHZ_WriteBuffer(&hsubghz, 0, buffer, size);
  d.mode = Mode::kTx;
  cmd(0x83, {0, 0, 0});
  start_timer(&d.tx_timer, d.tx_timeout);
}

void RadioSleep(void) {
  RBI_ConfigRFSwitch(RBI_SWITCH_OFF);
  cmd(0x84, {0x04});
  d.mode = Mode::kSleep;
  HAL_Delay(2);
}

void RadioStandby(void) { standby(); }

void RadioRx(uint32_t timeout) { rx(timeout, 0x94); }

void RadioRxBoosted(uint32_t timeout) { rx(timeout, 0x96); }

void RadioSetRxDutyCycle(uint32_t rxTime, uint32_t sleepTime) {
  uint8_t b[6];
  put24(b, rxTime);
  put24(b + 3, sleepTime);
  RBI_ConfigRFSwitch(RBI_SWITCH_RX);
  cmd_buf(0x94, b, 6);
  d.mode = Mode::kRx;
}

void RadioStartCad(void) {
  irq_params(0x0180, 0x0180);
  RBI_ConfigRFSwitch(RBI_SWITCH_RX);
  cmd(0xC5, {});
  d.mode = Mode::kCad;
}

void RadioTxCw(int8_t power) {
  set_tx_power(power);
  RBI_ConfigRFSwitch(use_high_power(power) ? RBI_SWITCH_RFO_HP : RBI_SWITCH_RFO_LP);
  cmd(0xD1, {});
  d.mode = Mode::kTx;
}

void RadioSetTxContinuousWave(uint32_t freq, int8_t power, uint16_t time) {
  set_frequency(freq);
  RadioTxCw(power);
  start_timer(&d.tx_timer, uint32_t{time} * 1000);
}

void RadioTxPrbs(void) { RadioTxCw(d.tx_power); }

void RadioWrite(uint16_t addr, uint8_t data) { set_reg(addr, data); }

uint8_t RadioRead(uint16_t addr) { return reg(addr); }

void RadioWriteRegisters(uint16_t addr, uint8_t* buffer, uint8_t size) {
  HAL_SUBGHZ_WriteRegisters(&hsubghz, addr, buffer, size);
}

void RadioReadRegisters(uint16_t addr, uint8_t* buffer, uint8_t size) {
  HAL_SUBGHZ_ReadRegisters(&hsubghz, addr, buffer, size);
}

void RadioSetMaxPayloadLength(RadioModems_t modem, uint8_t max) {
  if (modem == MODEM_LORA) {
    d.lora_pkt[3] = d.max_payload = max;
    send_lora_packet_params();
  } else if (d.gfsk_pkt[5] == 1) {
    d.gfsk_pkt[6] = d.max_payload = max;
    send_gfsk_packet_params();
  }
}

void RadioSetPublicNetwork(bool enable) {
  d.public_prev = d.public_cur = enable;
  RadioSetModem(MODEM_LORA);
  write_sync_word(enable);
}

uint32_t RadioGetWakeupTime(void) { return RF_WAKEUP_TIME + kRadioWakeupMs; }

uint32_t RadioRandom(void) {
  RadioSetModem(MODEM_LORA);
  irq_params(0, 0);
  const uint8_t lna = reg(kRegAnaLna), mixer = reg(kRegAnaMixer);
  set_reg(kRegAnaLna, lna & ~0x01);
  set_reg(kRegAnaMixer, mixer & ~0x80);
  cmd(0x82, {0xFF, 0xFF, 0xFF});
  uint8_t b[4] = {0, 0, 0, 0};
  HAL_SUBGHZ_ReadRegisters(&hsubghz, kRegRandom, b, 4);
  standby();
  set_reg(kRegAnaLna, lna);
  set_reg(kRegAnaMixer, mixer);
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

bool RadioIsChannelFree(uint32_t freq, uint32_t rxBandwidth, int16_t rssiThresh,
                        uint32_t maxCarrierSenseTime) {
  RadioSetModem(MODEM_FSK);
  RadioSetChannel(freq);
  RadioSetRxConfig(MODEM_FSK, rxBandwidth, 600, 0, rxBandwidth, 3, 0, false, 0, false, false, 0,
                   false, true);
  RadioRx(0);
  HAL_Delay(1);
  bool free = true;
  const uint32_t start = UTIL_TIMER_GetCurrentTime();
  while (UTIL_TIMER_GetCurrentTime() - start < maxCarrierSenseTime) {
    if (RadioRssi(MODEM_FSK) > rssiThresh) {
      free = false;
      break;
    }
  }
  RadioSleep();
  return free;
}

int32_t RadioSetRxGenericConfig(RadioModems_t, RadioGenericConfig_t*, uint32_t, uint32_t) {
  return -1;
}
int32_t RadioSetTxGenericConfig(RadioModems_t, RadioGenericConfig_t*, int8_t, uint32_t) {
  return -1;
}
int32_t RadioTransmitLongPacket(uint16_t, uint32_t, void (*)(uint8_t**, uint8_t)) { return -1; }
int32_t RadioReceiveLongPacket(uint8_t, uint32_t, void (*)(uint8_t*, uint8_t)) { return -1; }

void rx_done() {
  UTIL_TIMER_Stop(&d.rx_timer);
  if (!d.rx_continuous) {
    d.mode = Mode::kStandby;
    RBI_ConfigRFSwitch(RBI_SWITCH_OFF);
  }
  uint8_t st[2] = {0, 0};
  HAL_SUBGHZ_ExecGetCmd(&hsubghz, 0x13, st, 2);
  uint8_t size = (d.packet_type == 1 && d.lora_header == 1) ? reg(kRegPayloadLength) : st[0];
  RadioEvents_t* ev = SubghzRadio.Events;
  // A packet longer than the receiver accepts is an error, never copied past
  // what the caller expects.
  if (size > d.max_payload) {
    if (ev && ev->RxError) ev->RxError();
    return;
  }
  HAL_SUBGHZ_ReadBuffer(&hsubghz, st[1], d.rx_payload, size);
  uint8_t ps[3] = {0, 0, 0};
  HAL_SUBGHZ_ExecGetCmd(&hsubghz, 0x14, ps, 3);
  if (ev && ev->RxDone) {
    if (d.packet_type == 1) {
      ev->RxDone(d.rx_payload, size, static_cast<int16_t>(-static_cast<int>(ps[0]) >> 1),
                 static_cast<int8_t>((static_cast<int8_t>(ps[1]) + 2) >> 2));
    } else {
      ev->RxDone(d.rx_payload, size, static_cast<int16_t>(-static_cast<int>(ps[2]) >> 1), 0);
    }
  }
}

}  // namespace

const struct Radio_s Radio = {
    RadioInit,
    RadioGetStatus,
    RadioSetModem,
    RadioSetChannel,
    RadioIsChannelFree,
    RadioRandom,
    RadioSetRxConfig,
    RadioSetTxConfig,
    RadioCheckRfFrequency,
    RadioTimeOnAir,
    RadioSend,
    RadioSleep,
    RadioStandby,
    RadioRx,
    RadioStartCad,
    RadioSetTxContinuousWave,
    RadioRssi,
    RadioWrite,
    RadioRead,
    RadioWriteRegisters,
    RadioReadRegisters,
    RadioSetMaxPayloadLength,
    RadioSetPublicNetwork,
    RadioGetWakeupTime,
    RadioIrqProcess,
    RadioRxBoosted,
    RadioSetRxDutyCycle,
    RadioTxPrbs,
    RadioTxCw,
    RadioSetRxGenericConfig,
    RadioSetTxGenericConfig,
    RadioTransmitLongPacket,
    RadioReceiveLongPacket,
};

void RadioIrqProcess(void) {
  RadioEvents_t* ev = SubghzRadio.Events;
  switch (SubghzRadio.PendingIrq) {
    case IRQ_TX_DONE:
      UTIL_TIMER_Stop(&d.tx_timer);
      d.mode = Mode::kStandby;
      RBI_ConfigRFSwitch(RBI_SWITCH_OFF);
      if (ev && ev->TxDone) ev->TxDone();
      break;
    case IRQ_RX_DONE:
      rx_done();
      break;
    case IRQ_CRC_ERROR:
      UTIL_TIMER_Stop(&d.rx_timer);
      if (!d.rx_continuous) d.mode = Mode::kStandby;
      if (ev && ev->RxError) ev->RxError();
      break;
    case IRQ_CAD_CLEAR:
    case IRQ_CAD_DETECTED:
      d.mode = Mode::kStandby;
      RBI_ConfigRFSwitch(RBI_SWITCH_OFF);
      if (ev && ev->CadDone) ev->CadDone(SubghzRadio.PendingIrq == IRQ_CAD_DETECTED);
      break;
    case IRQ_RX_TX_TIMEOUT:
      if (d.mode == Mode::kTx) {
        UTIL_TIMER_Stop(&d.tx_timer);
        d.mode = Mode::kStandby;
        if (ev && ev->TxTimeout) ev->TxTimeout();
      } else if (d.mode == Mode::kRx) {
        UTIL_TIMER_Stop(&d.rx_timer);
        d.mode = Mode::kStandby;
        if (ev && ev->RxTimeout) ev->RxTimeout();
      }
      break;
    case IRQ_HEADER_ERROR:
      UTIL_TIMER_Stop(&d.rx_timer);
      if (!d.rx_continuous) d.mode = Mode::kStandby;
      if (ev && ev->RxTimeout) ev->RxTimeout();
      break;
    default:
      break;
  }
  SubghzRadio.PendingIrq = IRQ_RADIO_NONE;
}

// The HAL's radio interrupt callbacks: each bit becomes one RadioOnDioIrq.
void HAL_SUBGHZ_TxCpltCallback(SUBGHZ_HandleTypeDef*) { RadioOnDioIrq(IRQ_TX_DONE); }
void HAL_SUBGHZ_RxCpltCallback(SUBGHZ_HandleTypeDef*) { RadioOnDioIrq(IRQ_RX_DONE); }
void HAL_SUBGHZ_PreambleDetectedCallback(SUBGHZ_HandleTypeDef*) {
  RadioOnDioIrq(IRQ_PREAMBLE_DETECTED);
}
void HAL_SUBGHZ_SyncWordValidCallback(SUBGHZ_HandleTypeDef*) { RadioOnDioIrq(IRQ_SYNCWORD_VALID); }
void HAL_SUBGHZ_HeaderValidCallback(SUBGHZ_HandleTypeDef*) { RadioOnDioIrq(IRQ_HEADER_VALID); }
void HAL_SUBGHZ_HeaderErrorCallback(SUBGHZ_HandleTypeDef*) { RadioOnDioIrq(IRQ_HEADER_ERROR); }
void HAL_SUBGHZ_CRCErrorCallback(SUBGHZ_HandleTypeDef*) { RadioOnDioIrq(IRQ_CRC_ERROR); }
void HAL_SUBGHZ_CADStatusCallback(SUBGHZ_HandleTypeDef*, HAL_SUBGHZ_CadStatusTypeDef cadstatus) {
  RadioOnDioIrq(cadstatus == HAL_SUBGHZ_CAD_DETECTED ? IRQ_CAD_DETECTED : IRQ_CAD_CLEAR);
}
void HAL_SUBGHZ_RxTxTimeoutCallback(SUBGHZ_HandleTypeDef*) { RadioOnDioIrq(IRQ_RX_TX_TIMEOUT); }
