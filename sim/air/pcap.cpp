#include "sim/air_pcap.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>

namespace sim::air {

namespace {

constexpr uint32_t kLinkLoraTap = 270;
constexpr uint32_t kLinkBleLlPhdr = 256;
constexpr uint32_t kLoraInterface = 0;
constexpr uint32_t kBleInterface = 1;
constexpr uint32_t kAdvertisingAccessAddress = 0x8E89BED6;
constexpr uint32_t kAdvertisingCrcInit = 0x555555;

void put16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
  put16(b, static_cast<uint16_t>(v));
  put16(b, static_cast<uint16_t>(v >> 16));
}
void put32be(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint8_t clamp_u8(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

}  // namespace

PcapWriter::~PcapWriter() {
  if (f_) std::fclose(f_);
}

bool PcapWriter::open(const std::string& path, std::string* error) {
  if (f_) std::fclose(f_);
  f_ = std::fopen(path.c_str(), "wbe");
  if (!f_) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  header();
  return true;
}

bool PcapWriter::append(const std::string& path, std::string* error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || st.st_size == 0) return open(path, error);
  if (f_) std::fclose(f_);
  f_ = std::fopen(path.c_str(), "abe");
  if (!f_) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void PcapWriter::header() {
  // Section header: byte-order magic, version 1.0, section length unknown.
  std::vector<uint8_t> shb;
  put32(shb, 0x1A2B3C4D);
  put16(shb, 1);
  put16(shb, 0);
  put32(shb, 0xFFFFFFFF);
  put32(shb, 0xFFFFFFFF);
  block(0x0A0D0D0A, shb);
  // One interface per link type, time stamps in microseconds (the default).
  for (uint32_t link : {kLinkLoraTap, kLinkBleLlPhdr}) {
    std::vector<uint8_t> idb;
    put16(idb, static_cast<uint16_t>(link));
    put16(idb, 0);
    put32(idb, 0);  // no snapshot limit
    block(1, idb);
  }
  std::fflush(f_);
}

void PcapWriter::block(uint32_t type, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> b;
  const uint32_t padded = static_cast<uint32_t>((body.size() + 3) & ~size_t{3});
  const uint32_t total = padded + 12;
  put32(b, type);
  put32(b, total);
  b.insert(b.end(), body.begin(), body.end());
  b.resize(8 + padded, 0);
  put32(b, total);
  std::fwrite(b.data(), 1, b.size(), f_);
}

void PcapWriter::packet(uint32_t interface, uint64_t t_us, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> epb;
  put32(epb, interface);
  put32(epb, static_cast<uint32_t>(t_us >> 32));
  put32(epb, static_cast<uint32_t>(t_us));
  put32(epb, static_cast<uint32_t>(data.size()));
  put32(epb, static_cast<uint32_t>(data.size()));
  epb.insert(epb.end(), data.begin(), data.end());
  block(6, epb);
  std::fflush(f_);
}

uint32_t PcapWriter::ble_crc(uint32_t crc_init, const uint8_t* pdu, size_t len) {
  // The shift register of the link layer, position 0 first: it starts with
  // CRCInit's bit 23 in position 0, takes each byte least significant bit
  // first, and is sent from position 23 down.
  uint32_t init_reversed = 0;
  for (int i = 0; i < 24; ++i)
    if (crc_init & (1u << i)) init_reversed |= 1u << (23 - i);
  uint32_t state = init_reversed;
  for (size_t i = 0; i < len; ++i) {
    uint8_t cur = pdu[i];
    for (int j = 0; j < 8; ++j) {
      const uint32_t next = (state ^ cur) & 1u;
      cur = static_cast<uint8_t>(cur >> 1);
      state >>= 1;
      if (next) state ^= 0x5A6000u | (1u << 23);
    }
  }
  return state & 0xFFFFFFu;
}

void PcapWriter::write(const AirFrame& f) {
  if (!f_ || f.cut) return;
  const size_t len = std::min<size_t>(f.len, sizeof f.payload);
  std::vector<uint8_t> d;
  if (f.phy == Phy::kBle) {
    uint32_t aa = 0;
    for (int i = 0; i < 4; ++i) aa |= static_cast<uint32_t>(f.fsk_sync[i]) << (8 * i);
    // A CONNECT_IND gives the connection's access address and CRCInit; its
    // sender is the connection's central.
    if (aa == kAdvertisingAccessAddress && len >= 2 + 12 + 7 && (f.payload[0] & 0x0F) == 5) {
      uint32_t conn_aa = 0, crc_init = 0;
      for (int i = 0; i < 4; ++i) conn_aa |= static_cast<uint32_t>(f.payload[14 + i]) << (8 * i);
      for (int i = 0; i < 3; ++i) crc_init |= static_cast<uint32_t>(f.payload[18 + i]) << (8 * i);
      connections_[conn_aa] = {crc_init, f.sender};
    }
    const bool adv = aa == kAdvertisingAccessAddress;
    auto known = connections_.find(aa);
    const bool have_crc = adv || known != connections_.end();
    const int channel = f.frequency_hz >= 2402000000u
                            ? static_cast<int>((f.frequency_hz - 2402000000u) / 2000000u)
                            : 0;
    d.push_back(static_cast<uint8_t>(channel));
    d.push_back(static_cast<uint8_t>(std::clamp<int>(f.rx_rssi_dbm, -128, 127)));
    d.push_back(0);  // noise power (not given)
    d.push_back(0);  // access address offenses
    put32(d, aa);
    // Dewhitened, signal power and reference access address valid. An
    // advertising packet's CRC is left for the reader to check (its CRCInit
    // is fixed); a known connection's packets go with their direction
    // (central to peripheral or back) and their CRC checked and valid, as
    // the air carried them whole (readers do not learn CRCInit from a
    // capture's CONNECT_IND).
    uint16_t flags = 0x0001 | 0x0002 | 0x0010;
    if (!adv && known != connections_.end())
      flags |= ((f.sender == known->second.central ? 2u : 3u) << 7) | 0x0400 | 0x0800;
    put16(d, flags);
    put32(d, aa);
    d.insert(d.end(), f.payload, f.payload + len);
    const uint32_t crc =
        have_crc ? ble_crc(adv ? kAdvertisingCrcInit : known->second.crc_init, f.payload, len) : 0;
    for (int i = 0; i < 3; ++i) d.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    packet(kBleInterface, f.start_us, d);
    return;
  }
  // LoRaTap version 0: 15 bytes, multi-byte fields big-endian.
  d.push_back(0);  // version
  d.push_back(0);  // padding
  d.push_back(0);
  d.push_back(15);  // header length
  put32be(d, f.frequency_hz);
  d.push_back(static_cast<uint8_t>(f.bandwidth_hz / 125000));  // in 125 kHz steps
  d.push_back(f.modem == Modem::kLora ? f.sf : 0);             // 0: FSK
  const uint8_t rssi = clamp_u8(f.rx_rssi_dbm + 139.0);        // -139 dBm + value
  d.push_back(rssi);                                           // packet RSSI
  d.push_back(rssi);                                           // maximal RSSI
  d.push_back(rssi);                                           // current RSSI
  d.push_back(static_cast<uint8_t>(static_cast<int8_t>(std::clamp(f.rx_snr_db * 4, -128, 127))));
  // The one-byte form of the sync word (0x34 for a public network).
  d.push_back(
      static_cast<uint8_t>((f.lora_sync_word >> 8 & 0xF0) | (f.lora_sync_word >> 4 & 0x0F)));
  d.insert(d.end(), f.payload, f.payload + len);
  packet(kLoraInterface, f.start_us, d);
}

}  // namespace sim::air
