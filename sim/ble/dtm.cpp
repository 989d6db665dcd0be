// Direct test mode: see sim/ble_dtm.h.
#include "sim/ble_dtm.h"

namespace sim::ble {

uint8_t rf_to_channel_index(uint8_t rf) {
  if (rf == 0) return 37;
  if (rf == 12) return 38;
  if (rf == 39) return 39;
  if (rf < 12) return static_cast<uint8_t>(rf - 1);
  return static_cast<uint8_t>(rf - 2);
}

time_us dtm_packet_interval_us(uint8_t payload_len) {
  const time_us l = time_on_air_us(2u + payload_len);
  return (l + 249 + 624) / 625 * 625;
}

bool Dtm::start_tx(uint8_t rf_channel, uint8_t payload_len, uint8_t payload_type,
                   int8_t tx_power_dbm) {
  if (rf_channel > 39 || payload_len > 37 || payload_type > 7) return false;
  mode_ = Mode::kTx;
  channel_ = rf_to_channel_index(rf_channel);
  power_ = tx_power_dbm;
  packets_ = 0;
  pdu_.assign(2u + payload_len, 0);
  pdu_[0] = payload_type;
  pdu_[1] = payload_len;
  // The fixed patterns; PRBS9 (type 0) from its generator x^9 + x^5 + 1.
  static const uint8_t kPattern[8] = {0, 0x0F, 0x55, 0, 0xFF, 0x00, 0xF0, 0xAA};
  uint16_t lfsr = 0x1FF;
  for (size_t i = 2; i < pdu_.size(); ++i) {
    if (payload_type != 0) {
      pdu_[i] = kPattern[payload_type];
      continue;
    }
    uint8_t b = 0;
    for (int bit = 0; bit < 8; ++bit) {
      b = static_cast<uint8_t>(b | ((lfsr & 1) << bit));
      uint16_t fb = static_cast<uint16_t>(((lfsr >> 0) ^ (lfsr >> 4)) & 1);
      lfsr = static_cast<uint16_t>((lfsr >> 1) | (fb << 8));
    }
    pdu_[i] = b;
  }
  radio_.set_client(this);
  radio_.stop_listening();
  next_ = radio_.now();
  radio_.set_timer(next_);
  return true;
}

bool Dtm::start_rx(uint8_t rf_channel) {
  if (rf_channel > 39) return false;
  mode_ = Mode::kRx;
  channel_ = rf_to_channel_index(rf_channel);
  packets_ = 0;
  radio_.set_client(this);
  radio_.set_timer(kNever);
  radio_.listen(channel_, kDtmAccessAddress);
  return true;
}

uint16_t Dtm::end() {
  mode_ = Mode::kOff;
  radio_.set_timer(kNever);
  radio_.stop_listening();
  radio_.set_client(nullptr);
  return static_cast<uint16_t>(packets_ > 0xFFFF ? 0xFFFF : packets_);
}

void Dtm::radio_timer() {
  if (mode_ != Mode::kTx) return;
  radio_.transmit(channel_, kDtmAccessAddress, pdu_, radio_.now(), power_);
  ++packets_;
  next_ += dtm_packet_interval_us(pdu_[1]);
  radio_.set_timer(next_);
}

void Dtm::radio_rx_ended(const Radio::Rx* rx) {
  if (mode_ != Mode::kRx) return;
  if (rx && rx->len >= 2 && rx->pdu[1] == rx->len - 2) ++packets_;
  radio_.listen(channel_, kDtmAccessAddress);
}

}  // namespace sim::ble
