// Bluetooth LE advertising on the simulated air: see sim/ble_phy.h.
#include "sim/ble_phy.h"

#include <algorithm>
#include <cstring>

namespace sim::ble {

uint32_t channel_frequency_hz(uint8_t channel) {
  constexpr uint32_t kMHz = 1000000;
  if (channel == 37) return 2402 * kMHz;
  if (channel == 38) return 2426 * kMHz;
  if (channel == 39) return 2480 * kMHz;
  if (channel <= 10) return (2404 + 2 * channel) * kMHz;
  if (channel <= 36) return (2428 + 2 * (channel - 11)) * kMHz;
  return 0;
}

time_us time_on_air_us(size_t pdu_len) { return (1 + 4 + pdu_len + 3) * 8; }

std::vector<uint8_t> encode(const Advertisement& adv) {
  if (adv.data.size() > kMaxAdvData) return {};
  std::vector<uint8_t> pdu;
  pdu.push_back(static_cast<uint8_t>((adv.type & 0x0F) | (adv.random_address ? 0x40 : 0)));
  pdu.push_back(static_cast<uint8_t>(6 + adv.data.size()));
  pdu.insert(pdu.end(), adv.address.begin(), adv.address.end());
  pdu.insert(pdu.end(), adv.data.begin(), adv.data.end());
  return pdu;
}

bool decode(const uint8_t* pdu, size_t len, Advertisement* adv) {
  if (len < 2 + 6) return false;
  uint8_t type = pdu[0] & 0x0F;
  if (type != kAdvInd && type != kAdvDirectInd && type != kAdvNonconnInd && type != kAdvScanInd &&
      type != kScanRsp)
    return false;
  size_t n = pdu[1];
  if (n != len - 2 || n < 6 || n > 6 + kMaxAdvData) return false;
  adv->type = type;
  adv->random_address = pdu[0] & 0x40;
  std::copy(pdu + 2, pdu + 8, adv->address.begin());
  adv->data.assign(pdu + 8, pdu + len);
  return true;
}

AirFrame advertising_frame(const Advertisement& adv, uint8_t channel, time_us start,
                           int8_t tx_power_dbm) {
  AirFrame f{};
  f.phy = Phy::kBle;
  f.modem = Modem::kFsk;
  f.frequency_hz = channel_frequency_hz(channel);
  f.bitrate = kBitrate;
  f.fdev_hz = 250000;
  f.bandwidth_hz = 1000000;
  f.preamble_len = 1;
  for (int i = 0; i < 4; ++i)
    f.fsk_sync[i] = static_cast<uint8_t>(kAdvertisingAccessAddress >> (8 * i));
  f.fsk_sync_len = 4;
  f.crc_on = true;
  f.tx_power_dbm = tx_power_dbm;
  std::vector<uint8_t> pdu = encode(adv);
  f.len = static_cast<uint16_t>(pdu.size());
  std::memcpy(f.payload, pdu.data(), pdu.size());
  f.start_us = start;
  f.end_us = start + time_on_air_us(pdu.size());
  return f;
}

Listener::Listener(uint32_t device_id, uint8_t channel, air::Medium* medium)
    : medium_(medium ? *medium : air::Medium::instance()), channel_(channel) {
  medium_.attach(this, device_id);
}

Listener::~Listener() { medium_.detach(this); }

void Listener::set_channel(uint8_t channel) {
  channel_ = channel;
  listening_.clear();  // a packet under way is lost by the retune
}

bool Listener::mine(const AirFrame& f) const {
  uint32_t aa = 0;
  for (int i = 0; i < 4; ++i) aa |= static_cast<uint32_t>(f.fsk_sync[i]) << (8 * i);
  return f.frequency_hz == channel_frequency_hz(channel_) && f.bitrate == kBitrate &&
         f.fsk_sync_len == 4 && aa == kAdvertisingAccessAddress;
}

void Listener::air_frame_started(const air::Heard& heard) {
  if (mine(heard.frame)) listening_.push_back(heard.id);
}

void Listener::air_frame_ended(const air::Heard& heard) {
  auto it = std::find(listening_.begin(), listening_.end(), heard.id);
  if (it == listening_.end()) return;
  listening_.erase(it);
  Advertisement adv;
  if (heard.frame.rx_rssi_dbm < kSensitivityDbm || medium_.collided(this, heard.id) ||
      !decode(heard.frame.payload, heard.frame.len, &adv)) {
    ++lost_;
    return;
  }
  reports_.push_back(
      {heard.frame.end_us, heard.frame.sender, heard.frame.rx_rssi_dbm, std::move(adv)});
}

}  // namespace sim::ble
