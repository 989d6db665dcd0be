#include "network/region.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace sim::network {
namespace {

constexpr uint32_t kHz = 1000;

void lora_125(Region& r, int first_dr, int last_dr, uint8_t first_sf) {
  for (int d = first_dr; d <= last_dr; ++d)
    r.dr[d] = DataRate{static_cast<uint8_t>(first_sf - (d - first_dr)), 125 * kHz};
}

// Data rates 0-5 SF12..SF7 at 125 kHz, 6 SF7 at 250 kHz, 7 FSK.
Region dynamic(RegionId id, const char* name, std::vector<uint32_t> defaults, uint32_t rx2,
               uint8_t rx2_dr, uint32_t beacon, uint8_t beacon_dr, bool dr6 = true,
               bool fsk = true) {
  Region r{};
  r.id = id;
  r.name = name;
  lora_125(r, 0, 5, 12);
  if (dr6) r.dr[6] = DataRate{7, 250 * kHz};
  if (fsk) r.dr[7] = DataRate{0, 0, kFskBitrate};
  for (uint32_t f : defaults) r.channels.push_back(Channel{f, 0, 5});
  r.rx2_freq = rx2;
  r.rx2_dr = rx2_dr;
  r.beacon_freq = beacon;
  r.ping_freq = beacon;
  r.beacon_dr = beacon_dr;
  r.ping_dr = beacon_dr;
  return r;
}

Region as923(RegionId id, const char* name, int32_t offset) {
  auto f = [offset](uint32_t hz) {
    return static_cast<uint32_t>(static_cast<int32_t>(hz) + offset);
  };
  Region r = dynamic(id, name, {f(923200000), f(923400000)}, f(923200000), 2, f(923400000), 3);
  r.max_rx1_offset = 7;
  return r;
}

// 64 channels of 125 kHz, 8 of 500 kHz, 8 downlink channels of 500 kHz.
Region fixed72(RegionId id, const char* name, uint32_t first125, uint32_t first500, bool us) {
  Region r{};
  r.id = id;
  r.name = name;
  r.fixed_plan = true;
  if (us) {
    lora_125(r, 0, 3, 10);
    r.dr[4] = DataRate{8, 500 * kHz};
  } else {
    lora_125(r, 0, 5, 12);
    r.dr[6] = DataRate{8, 500 * kHz};
  }
  for (int d = 8; d <= 13; ++d) r.dr[d] = DataRate{static_cast<uint8_t>(12 - (d - 8)), 500 * kHz};
  uint8_t top125 = us ? 3 : 5;
  uint8_t dr500 = us ? 4 : 6;
  for (uint32_t i = 0; i < 64; ++i)
    r.channels.push_back(Channel{first125 + i * 200 * kHz, 0, top125});
  for (uint32_t i = 0; i < 8; ++i)
    r.channels.push_back(Channel{first500 + i * 1600 * kHz, dr500, dr500});
  r.max_rx1_offset = us ? 3 : 5;
  r.rx2_freq = 923300000;
  r.rx2_dr = 8;
  r.beacon_freq = 923300000;
  r.beacon_step = 600 * kHz;
  r.ping_freq = 923300000;
  r.beacon_dr = 8;
  r.ping_dr = 8;
  r.beacon_rfu1 = 5;
  r.beacon_rfu2 = 3;
  r.downlink_power_dbm = 27;
  return r;
}

// A CN470 plan of 20 MHz or 26 MHz antennas: SF12..SF7 at 125 kHz, SF7 at
// 500 kHz (DR6), FSK (DR7); RX2, beacons and ping slots at DR1/DR2.
Region cn470_plan(RegionId id, const char* name, std::vector<std::pair<uint32_t, uint32_t>> groups,
                  std::vector<uint32_t> join, uint32_t rx2, uint8_t beacons, uint8_t pings,
                  uint32_t beacon) {
  Region r{};
  r.id = id;
  r.name = name;
  r.fixed_plan = true;
  lora_125(r, 0, 5, 12);
  r.dr[6] = DataRate{7, 500 * kHz};
  r.dr[7] = DataRate{0, 0, kFskBitrate};
  for (auto [first, n] : groups)
    for (uint32_t i = 0; i < n; ++i) r.channels.push_back(Channel{first + i * 200 * kHz, 1, 5});
  r.join_channels = std::move(join);
  r.rx2_freq = rx2;
  r.rx2_dr = 1;
  r.beacon_freq = beacon;
  r.ping_freq = beacon;
  r.beacon_channels = beacons;
  r.ping_channels = pings;
  r.beacon_dr = 2;
  r.ping_dr = 2;
  r.beacon_rfu1 = 3;
  r.beacon_rfu2 = 1;
  r.downlink_power_dbm = 19;
  return r;
}

std::map<RegionId, Region> build() {
  std::map<RegionId, Region> m;
  auto add = [&m](Region r) { m[r.id] = std::move(r); };
  add(as923(RegionId::kAS923_1, "AS923-1", 0));
  add(as923(RegionId::kAS923_2, "AS923-2", -1800000));
  add(as923(RegionId::kAS923_3, "AS923-3", -6600000));
  add(as923(RegionId::kAS923_4, "AS923-4", -5900000));
  add(fixed72(RegionId::kAU915, "AU915", 915200000, 915900000, false));
  add(fixed72(RegionId::kLA915, "LA915", 915200000, 915900000, false));
  add(fixed72(RegionId::kUS915, "US915", 902300000, 903000000, true));
  {
    // 96 uplink channels of 125 kHz; RX1 on one of 48 downlink channels.
    Region r{};
    r.id = RegionId::kCN470;
    r.name = "CN470";
    r.fixed_plan = true;
    lora_125(r, 0, 5, 12);
    for (uint32_t i = 0; i < 96; ++i)
      r.channels.push_back(Channel{470300000 + i * 200 * kHz, 0, 5});
    r.rx2_freq = 505300000;
    r.rx2_dr = 0;
    r.beacon_freq = 508300000;
    r.beacon_step = 200 * kHz;
    r.ping_freq = 508300000;
    r.beacon_dr = 2;
    r.ping_dr = 2;
    r.beacon_rfu1 = 3;
    r.beacon_rfu2 = 1;
    r.downlink_power_dbm = 19;
    add(r);
  }
  // Beacon 0: the 20 MHz plans hop over downlink channels (see
  // beacon_frequency), the others have one beacon and ping-slot channel.
  add(cn470_plan(
      RegionId::kCN470_20A, "CN470-20A", {{470300000, 32}, {503500000, 32}},
      {470900000, 472500000, 474100000, 475700000, 504100000, 505700000, 507300000, 508900000},
      486900000, 8, 8, 0));
  add(cn470_plan(RegionId::kCN470_20B, "CN470-20B", {{476900000, 32}, {496900000, 32}},
                 {479900000, 499900000}, 498300000, 1, 32, 0));
  add(cn470_plan(RegionId::kCN470_26A, "CN470-26A", {{470300000, 48}},
                 {470300000, 472300000, 474300000, 476300000, 478300000}, 492500000, 1, 1,
                 494900000));
  add(cn470_plan(RegionId::kCN470_26B, "CN470-26B", {{480300000, 48}},
                 {480300000, 482300000, 484300000, 486300000, 488300000}, 502500000, 1, 1,
                 504900000));
  add(dynamic(RegionId::kCN779, "CN779", {779500000, 779700000, 779900000}, 786000000, 0, 785000000,
              3));
  add(dynamic(RegionId::kEU433, "EU433", {433175000, 433375000, 433575000}, 434665000, 0, 434665000,
              3));
  add(dynamic(RegionId::kEU868, "EU868", {868100000, 868300000, 868500000}, 869525000, 0, 869525000,
              3));
  add(dynamic(RegionId::kKR920, "KR920", {922100000, 922300000, 922500000}, 921900000, 0, 923100000,
              3, false, false));
  {
    Region r = dynamic(RegionId::kIN865, "IN865", {865062500, 865402500, 865985000}, 866550000, 2,
                       866550000, 4, false);
    r.max_rx1_offset = 7;
    add(r);
  }
  add(dynamic(RegionId::kRU864, "RU864", {868900000, 869100000}, 869100000, 0, 869100000, 3));
  return m;
}

const std::map<RegionId, Region>& table() {
  static const std::map<RegionId, Region> t = build();
  return t;
}

}  // namespace

bool Region::cn470() const {
  return id == RegionId::kCN470 || id == RegionId::kCN470_20A || id == RegionId::kCN470_20B ||
         id == RegionId::kCN470_26A || id == RegionId::kCN470_26B;
}

unsigned Region::join_index(uint32_t join_freq) const {
  auto it = std::find(join_channels.begin(), join_channels.end(), join_freq);
  return it == join_channels.end() ? 0 : static_cast<unsigned>(it - join_channels.begin());
}

uint32_t Region::rx2_frequency(uint32_t join_freq) const {
  if (std::find(join_channels.begin(), join_channels.end(), join_freq) == join_channels.end())
    return rx2_freq;  // personalised, or joined off the common join channels
  const unsigned j = join_index(join_freq);
  switch (id) {
    case RegionId::kCN470_20A:  // one RX2 channel per join channel, 1.6 MHz apart
      return 485300000 + j * 1600000;
    case RegionId::kCN470_20B:
      return j == 0 ? 478300000 : 498300000;
    default:
      return rx2_freq;
  }
}

int Region::uplink_dr(uint8_t sf, uint32_t bw) const {
  for (int d = 0; d < 8; ++d)
    if (dr[d].sf == sf && dr[d].bw == bw) return d;
  return -1;
}

int Region::fsk_dr() const {
  for (int d = 0; d < 16; ++d)
    if (dr[d].fsk()) return d;
  return -1;
}

int Region::downlink_dr(uint8_t sf, uint32_t bw) const {
  for (int d = fixed_plan && !cn470() ? 8 : 0; d < 16; ++d)
    if (dr[d].sf == sf && dr[d].bw == bw) return d;
  return -1;
}

int Region::channel_index(uint32_t freq) const {
  for (size_t i = 0; i < channels.size(); ++i)
    if (channels[i].freq == freq) return static_cast<int>(i);
  return -1;
}

uint8_t Region::rx1_dr(uint8_t up, uint8_t offset) const {
  switch (id) {
    case RegionId::kUS915: {
      int base = up <= 3 ? 10 + up : 14;
      return static_cast<uint8_t>(std::clamp(base - offset, 8, 13));
    }
    case RegionId::kAU915:
    case RegionId::kLA915:
      return static_cast<uint8_t>(std::clamp(8 + up - offset, 8, 13));
    case RegionId::kCN470_20A:
    case RegionId::kCN470_20B:
    case RegionId::kCN470_26A:
    case RegionId::kCN470_26B:
      // DR1 is the lowest downlink data rate; DR0 stays DR0.
      return static_cast<uint8_t>(up == 0 ? 0 : std::clamp(up - std::min<int>(offset, 5), 1, 7));
    default:
      break;
  }
  // Offsets 6 and 7 (where allowed) raise the data rate by 1 and 2.
  int eff = offset <= 5 ? offset : 5 - offset;
  int max_dr = 5;
  if (dr[6].defined() && up >= 6) max_dr = 6;
  if (dr[7].fsk() && up >= 7) max_dr = 7;
  int d = std::clamp(static_cast<int>(up) - eff, 0, max_dr);
  // A data rate the region leaves out (IN865 DR6) gives the next lower one.
  while (d > 0 && !dr[d].defined() && !dr[d].fsk()) --d;
  return static_cast<uint8_t>(d);
}

uint32_t Region::rx1_freq(uint32_t freq, int ch) const {
  if (!fixed_plan || ch < 0) return freq;
  const uint32_t n = static_cast<uint32_t>(ch);
  switch (id) {
    case RegionId::kCN470:
      return 500300000 + (n % 48) * 200000;
    case RegionId::kCN470_20A:
      return n < 32 ? 483900000 + n * 200000 : 490300000 + (n - 32) * 200000;
    case RegionId::kCN470_20B:
      return freq;
    case RegionId::kCN470_26A:
      return 490100000 + (n % 24) * 200000;
    case RegionId::kCN470_26B:
      return 500100000 + (n % 24) * 200000;
    default:
      break;
  }
  return 923300000 + static_cast<uint32_t>(ch % 8) * 600000;
}

// Frequency of downlink channel `k` of a 20 MHz CN470 plan.
static uint32_t cn470_20_downlink(const Region& r, uint32_t k) {
  k %= static_cast<uint32_t>(r.channels.size());
  return r.rx1_freq(r.channels[k].freq, static_cast<int>(k));
}

uint32_t Region::beacon_frequency(uint32_t beacon_time, uint32_t join_freq) const {
  const uint32_t period = beacon_time / 128;
  switch (id) {
    case RegionId::kCN470_20A:  // 8 channels from 8 x join channel
      return cn470_20_downlink(*this, join_index(join_freq) * 8 + period % beacon_channels);
    case RegionId::kCN470_20B:
      return join_index(join_freq) == 0 ? 481500000 : 501500000;
    default:
      break;
  }
  if (beacon_step == 0) return beacon_freq;
  return beacon_freq + (period % 8) * beacon_step;
}

uint32_t Region::ping_frequency(uint32_t dev_addr, uint32_t beacon_time, uint32_t join_freq) const {
  const uint32_t period = beacon_time / 128;
  switch (id) {
    case RegionId::kCN470_20A:
      return cn470_20_downlink(*this,
                               join_index(join_freq) * 8 + (dev_addr + period) % ping_channels);
    case RegionId::kCN470_20B:  // 32 channels from 32 x join channel
      return cn470_20_downlink(*this,
                               join_index(join_freq) * 32 + (dev_addr + period) % ping_channels);
    default:
      break;
  }
  if (beacon_step == 0) return ping_freq;
  return ping_freq + ((dev_addr + period) % 8) * beacon_step;
}

const Region& region(RegionId id) { return table().at(id); }

const std::vector<RegionId>& all_regions() {
  static const std::vector<RegionId> ids = [] {
    std::vector<RegionId> v;
    for (auto& [id, r] : table()) v.push_back(id);
    return v;
  }();
  return ids;
}

bool region_by_name(const std::string& name, RegionId* out) {
  std::string n;
  for (char c : name) n += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (n == "AS923") n = "AS923-1";
  for (auto& [id, r] : table())
    if (r.name == n) {
      *out = id;
      return true;
    }
  return false;
}

uint64_t lora_time_on_air_us(uint8_t sf, uint32_t bw, size_t len, uint8_t cr, uint16_t preamble,
                             bool implicit_header, bool crc) {
  // Symbol time 2^SF / BW; low data rate optimisation when it is 16 ms or more.
  const uint64_t tsym_ns = (uint64_t{1} << sf) * 1000000000ull / bw;
  const int de = tsym_ns >= 16000000 ? 1 : 0;
  long num = 8 * static_cast<long>(len) - 4 * sf + 28 + (crc ? 16 : 0) - (implicit_header ? 20 : 0);
  long den = 4 * (sf - 2 * de);
  long extra = num > 0 ? (num + den - 1) / den * (cr + 4) : 0;
  uint64_t symbols_x4 = (preamble * 4u + 17u) + static_cast<uint64_t>(8 + extra) * 4u;
  return (symbols_x4 * tsym_ns / 4 + 999) / 1000;
}

uint64_t fsk_time_on_air_us(size_t len) {
  // Preamble, sync word, length byte, payload and CRC, 8 bits each.
  const uint64_t bits = 8 * (kFskPreambleBytes + sizeof kFskSync + 1 + len + 2);
  return (bits * 1000000 + kFskBitrate - 1) / kFskBitrate;
}

double lora_snr_floor(uint8_t sf) { return -7.5 - 2.5 * (sf - 7); }

}  // namespace sim::network
