// A radio frame as it travels on the simulated air between devices.
#pragma once

#include <cstdint>

namespace sim {

enum class Modem : uint8_t { kLora = 0, kFsk = 1 };

// The physical layer a frame belongs to. Receivers of one PHY never hear
// frames of another, even where their channels would overlap; the medium and
// the world carry all of them.
enum class Phy : uint8_t {
  kSubGhz = 0,  // LoRa and FSK below 1 GHz
  kBle = 1,     // Bluetooth LE at 2.4 GHz (modem kFsk, GFSK)
};

struct AirFrame {
  uint64_t start_us;  // first bit of the preamble
  uint64_t end_us;    // start + time on air
  uint32_t frequency_hz;
  Modem modem;
  uint8_t sf;               // LoRa spreading factor 5..12
  uint32_t bandwidth_hz;    // LoRa bandwidth, or FSK receiver bandwidth
  uint8_t coding_rate;      // LoRa 1..4 (4/5..4/8)
  bool ldro;                // LoRa low-data-rate optimisation of the payload
  uint32_t bitrate;         // FSK bits per second
  uint32_t fdev_hz;         // FSK deviation
  uint16_t preamble_len;    // symbols (LoRa) or bytes (FSK)
  uint16_t lora_sync_word;  // 0x3444 public, 0x1424 private (register form)
  uint8_t fsk_sync[8];
  uint8_t fsk_sync_len;
  bool iq_inverted;
  bool crc_on;
  bool implicit_header;
  int8_t tx_power_dbm;
  // FSK payload coding, which the receiver must share: CRC length (bytes),
  // inverted or not, its seed and polynomial; whitening and its seed.
  uint8_t fsk_crc_len;
  bool fsk_crc_inverted;
  uint16_t fsk_crc_seed;
  uint16_t fsk_crc_poly;
  bool fsk_whitening;
  uint16_t fsk_whitening_seed;
  // A correction, not a new frame: the sender stopped its frame that began
  // at start_us early, at end_us (standby, sleep or another command during
  // the transmission). Everything else is as first announced.
  bool cut;
  uint32_t sender;  // device id of the sender
  uint16_t len;
  uint8_t payload[256];
  // Filled in by the medium for each receiver from the link budget.
  int16_t rx_rssi_dbm;
  int8_t rx_snr_db;
  Phy phy = Phy::kSubGhz;
};

}  // namespace sim
