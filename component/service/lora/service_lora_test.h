// RF test mode: the radio driven directly, outside the MAC, for lab and
// production measurements (a carrier, an RSSI reading, packet transmit and
// receive runs with a PRBS9 payload, transmit runs hopping over a frequency
// range in order or shuffled, and a continuous wave).
//
// The packet, hop and continuous-wave tests install their own radio
// callbacks (Radio.Init): LoRaWAN and P2P traffic needs the next start of the
// LoRa service afterwards. Results: 0, -3 (UDRV_WRONG_ARG) for values out of
// range, -6 (UDRV_BUSY) when a test of the same kind runs.
#pragma once

#include <stdint.h>

typedef struct {
  uint32_t modem;         // 0 FSK, 1 LoRa
  uint32_t bandwidth;     // radio bandwidth code (0 = 125 kHz)
  uint32_t datarate;      // LoRa spreading factor (FSK: bit rate)
  uint8_t coderate;       // 1 to 4 (4/5 to 4/8)
  uint32_t bandwidthAfc;  // FSK AFC bandwidth (Hz)
  uint16_t preambleLen;
  bool fixLen;
  uint8_t payloadLen;  // test payload length (bytes)
  bool crcOn;
  bool FreqHopOn;
  uint8_t HopPeriod;
  bool iqInverted;
  bool rxContinuous;
  uint32_t symbTimeout;
  int8_t power;        // dBm
  uint32_t fdev;       // FSK deviation (Hz)
  uint32_t txTimeout;  // ms
  uint32_t frequency;  // Hz
  uint32_t lna;        // non-zero: boosted receive for the RSSI reading
  uint32_t paBoost;
  uint32_t lowDrOpt;
  uint32_t BTproduct;
  uint32_t freq_start;  // hop range start, and the current hop frequency
  uint32_t freq_stop;
  uint32_t hp_step;
  uint32_t nb_tx;  // packets left in a hop run
} testParameter_t;

typedef struct {
  uint32_t frequency;  // Hz
  uint32_t txpower;    // dBm
  uint32_t txTimeout;  // s
} testCwParameter_t;

static_assert(sizeof(testParameter_t) == 84, "the test configuration is an 84-byte record");

int32_t service_lora_set_tconf(testParameter_t *param);
int32_t service_lora_get_tconf(testParameter_t *param);
// Unmodulated carrier at the test frequency and power until stopped.
int32_t service_lora_ttone(void);
// RSSI of the test frequency, measured for 50 ms.
int32_t service_lora_trssi(int16_t *rssiVal);
// Packet runs: nb_packet frames 500 ms apart, or a receive run of nb_packet
// windows; the count must be positive.
int32_t service_lora_ttx(uint32_t nb_packet);
int32_t service_lora_trx(int32_t nb_packet);
// Transmit runs over freq_start..freq_stop in hp_step steps, nb_tx frames:
// in order, or in a shuffled order that visits every frequency once a round.
int32_t service_lora_tth(testParameter_t *param);
int32_t service_lora_trth(testParameter_t *param);
int32_t service_lora_set_cw(testCwParameter_t *param);
int32_t service_lora_get_cw(testCwParameter_t *param);
// Stops every test and gives back the wake locks the tests hold.
void service_lora_toff(void);
void service_lora_test_full_wake_lock(void);
