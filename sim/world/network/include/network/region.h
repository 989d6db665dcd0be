// The network's own table of the LoRaWAN regions: data rates, channels, the
// RX1 rule, RX2, beacon and ping-slot channels. Eleven regions, AS923 with
// its four frequency plans, CN470 with the older 96-channel plan and the four
// plans of 20 MHz and 26 MHz antennas (each with its common join channels).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::network {

enum class RegionId {
  kAS923_1,
  kAS923_2,
  kAS923_3,
  kAS923_4,
  kAU915,
  kCN470,
  kCN779,
  kEU433,
  kEU868,
  kKR920,
  kIN865,
  kUS915,
  kRU864,
  kLA915,
  kCN470_20A,
  kCN470_20B,
  kCN470_26A,
  kCN470_26B,
};

struct DataRate {
  uint8_t sf = 0;                           // 0: not a LoRa data rate (FSK or undefined)
  uint32_t bw = 0;                          // Hz
  uint32_t fsk_bps = 0;                     // an FSK data rate: its bit rate
  bool defined() const { return sf != 0; }  // a LoRa data rate
  bool fsk() const { return fsk_bps != 0; }
};

// The FSK data rate of the regions that have one: 50 kbit/s, 25 kHz
// deviation, 5 preamble bytes, sync word C1 94 C1, a length byte and a
// CRC-16, the same up and down.
constexpr uint32_t kFskBitrate = 50000;
constexpr uint32_t kFskDeviationHz = 25000;
constexpr uint32_t kFskRxBandwidthHz = 117300;
constexpr uint16_t kFskPreambleBytes = 5;
constexpr uint8_t kFskSync[3] = {0xC1, 0x94, 0xC1};
// Lowest SNR at which an FSK frame of 50 kbit/s is received.
constexpr double kFskSnrFloorDb = 8.0;
uint64_t fsk_time_on_air_us(size_t len);

struct Channel {
  uint32_t freq;  // Hz
  uint8_t min_dr;
  uint8_t max_dr;
};

struct Region {
  RegionId id;
  std::string name;
  // Fixed plan: every uplink channel is predefined and RX1 uses one of the
  // downlink channels; otherwise RX1 is on the uplink frequency.
  bool fixed_plan = false;
  DataRate dr[16];
  std::vector<Channel> channels;  // default (dynamic plan) or all (fixed plan)
  uint8_t max_rx1_offset = 5;
  uint32_t rx2_freq = 0;
  uint8_t rx2_dr = 0;
  uint8_t beacon_dr = 3;
  uint8_t ping_dr = 3;
  uint32_t beacon_freq = 0;  // the first channel when hopping
  uint32_t beacon_step = 0;  // Hz between hopping channels (0: one channel)
  uint32_t ping_freq = 0;
  uint8_t beacon_rfu1 = 2;  // beacon payload: RFU | Time | CRC | GwSpecific | RFU | CRC
  uint8_t beacon_rfu2 = 0;
  int8_t downlink_power_dbm = 14;
  // CN470 plans: the common join channels of the plan (uplink frequencies);
  // the join channel a device used picks its RX2, beacon and ping channels.
  std::vector<uint32_t> join_channels;
  uint8_t beacon_channels = 1;  // hopping channels (fixed plans: RX1 channels)
  uint8_t ping_channels = 1;

  bool cn470() const;
  // Position of an uplink frequency in `join_channels` (0 when it is not one:
  // an activation by personalisation counts as the first join channel).
  unsigned join_index(uint32_t join_freq) const;
  // RX2 frequency of a device that joined on `join_freq` (0: by
  // personalisation; a frequency off the join channels: the plan's own).
  uint32_t rx2_frequency(uint32_t join_freq) const;

  // LoRa data rate index of an uplink with these parameters, or -1.
  int uplink_dr(uint8_t sf, uint32_t bw) const;
  // The FSK data rate index, or -1 when the region has none.
  int fsk_dr() const;
  // LoRa data rate index of a downlink data rate (fixed plans use DR8+).
  int downlink_dr(uint8_t sf, uint32_t bw) const;
  // Index in `channels` of an uplink frequency, or -1.
  int channel_index(uint32_t freq) const;
  // RX1 data rate for an uplink data rate and the RX1 offset.
  uint8_t rx1_dr(uint8_t up_dr, uint8_t offset) const;
  // RX1 frequency for an uplink on `freq` (channel index `ch` in fixed plans).
  uint32_t rx1_freq(uint32_t freq, int ch) const;
  uint32_t beacon_frequency(uint32_t beacon_time, uint32_t join_freq = 0) const;
  uint32_t ping_frequency(uint32_t dev_addr, uint32_t beacon_time, uint32_t join_freq = 0) const;
  size_t beacon_size() const { return beacon_rfu1 + 4u + 2u + 7u + beacon_rfu2 + 2u; }
};

const Region& region(RegionId id);
// "EU868", "US915", "AS923-2", "CN470-20A", ... (case-insensitive; "AS923"
// is AS923-1, "CN470" the 96-channel plan).
bool region_by_name(const std::string& name, RegionId* out);
const std::vector<RegionId>& all_regions();

// LoRa time on air in microseconds (explicit or implicit header, CRC on or
// off, coding rate 4/(4+cr)).
uint64_t lora_time_on_air_us(uint8_t sf, uint32_t bw, size_t len, uint8_t cr = 1,
                             uint16_t preamble = 8, bool implicit_header = false, bool crc = true);
// Demodulation floor: the lowest SNR at which a LoRa frame is received.
double lora_snr_floor(uint8_t sf);

}  // namespace sim::network
