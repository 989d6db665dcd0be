// Run-time P2P settings: a set of point-to-point radio parameters held in
// RAM only. While the selection flag is set, the P2P service configures the
// radio from this record instead of the stored settings; every restart
// starts again with an all-zero record and the flag cleared.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef struct {
  uint32_t frequency;        // Hz
  uint8_t spreading_factor;  // LoRa spreading factor
  uint32_t bandwidth;        // LoRa bandwidth
  uint32_t fsk_rxbw;         // FSK receive bandwidth, Hz
  uint8_t coding_rate;       // LoRa coding rate
  uint16_t preamble_length;  // symbols
  uint8_t txpower;           // dBm
} runtimeConfigP2P_t;

static_assert(offsetof(runtimeConfigP2P_t, spreading_factor) == 4);
static_assert(offsetof(runtimeConfigP2P_t, bandwidth) == 8);
static_assert(offsetof(runtimeConfigP2P_t, fsk_rxbw) == 12);
static_assert(offsetof(runtimeConfigP2P_t, coding_rate) == 16);
static_assert(offsetof(runtimeConfigP2P_t, preamble_length) == 18);
static_assert(offsetof(runtimeConfigP2P_t, txpower) == 20);
static_assert(sizeof(runtimeConfigP2P_t) == 24);

// The one RAM record and its selection flag; never stored in flash.
extern runtimeConfigP2P_t gRutimeConfigP2P;
extern bool useRuntimeConfigP2P;

// Copy the whole record in or out; true, or false for a null pointer.
bool set_runtimeConfigP2P(const runtimeConfigP2P_t *config);
bool get_runtimeConfigP2P(runtimeConfigP2P_t *config);

void set_useRuntimeConfigP2P(bool flag);
bool get_useRuntimeConfigP2P(void);
