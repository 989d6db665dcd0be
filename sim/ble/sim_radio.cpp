// A link layer's radio on the device's medium: see sim/ble_radio.h.
#include "sim/ble_radio.h"

namespace sim::ble {

bool matches(const AirFrame& f, uint32_t channel_hz, uint32_t access_address) {
  uint32_t aa = 0;
  for (int i = 0; i < 4; ++i) aa |= static_cast<uint32_t>(f.fsk_sync[i]) << (8 * i);
  return f.phy == Phy::kBle && !f.cut && f.frequency_hz == channel_hz && f.bitrate == kBitrate &&
         f.fsk_sync_len == 4 && aa == access_address;
}

SimRadio::SimRadio(uint32_t device_id, air::Medium* medium)
    : medium_(medium ? *medium : air::Medium::instance()), device_id_(device_id) {
  medium_.attach(this, device_id);
}

SimRadio::~SimRadio() {
  if (timer_) sim::cancel(timer_);
  if (tx_event_) sim::cancel(tx_event_);
  medium_.detach(this);
}

time_us SimRadio::now() const { return sim::now(); }

bool SimRadio::sends_air() const { return tx_event_ != 0 || sim::now() < tx_end_; }

void SimRadio::transmit(uint8_t channel, uint32_t access_address, const Bytes& pdu, time_us start,
                        int8_t tx_power_dbm) {
  stop_listening();
  AirFrame f = pdu_frame(channel, access_address, pdu, start, tx_power_dbm);
  tx_end_ = f.end_us;
  ++frames_sent_;
  if (start <= sim::now()) {
    medium_.transmit(this, f);
    return;
  }
  if (tx_event_) sim::cancel(tx_event_);
  pending_ = f;
  tx_event_ = sim::schedule(start, &SimRadio::on_transmit, this);
}

void SimRadio::on_transmit(void* ctx, uint32_t) {
  auto* self = static_cast<SimRadio*>(ctx);
  self->tx_event_ = 0;
  self->medium_.transmit(self, self->pending_);
}

void SimRadio::listen(uint8_t channel, uint32_t access_address) {
  if (listening_ && channel_hz_ == channel_frequency_hz(channel) &&
      access_address_ == access_address)
    return;
  listening_ = true;
  rx_id_ = 0;
  channel_hz_ = channel_frequency_hz(channel);
  access_address_ = access_address;
}

void SimRadio::stop_listening() {
  listening_ = false;
  rx_id_ = 0;
}

void SimRadio::set_timer(time_us at) {
  if (timer_) sim::cancel(timer_);
  timer_ = at == kNever ? 0 : sim::schedule(at, &SimRadio::on_timer, this);
}

void SimRadio::on_timer(void* ctx, uint32_t) {
  auto* self = static_cast<SimRadio*>(ctx);
  self->timer_ = 0;
  if (self->client_) self->client_->radio_timer();
}

void SimRadio::air_frame_started(const air::Heard& heard) {
  if (!listening_ || rx_id_ || sim::now() < tx_end_ ||
      !matches(heard.frame, channel_hz_, access_address_))
    return;
  rx_id_ = heard.id;
  if (client_) client_->radio_rx_started();
}

void SimRadio::air_frame_ended(const air::Heard& heard) {
  if (!rx_id_ || heard.id != rx_id_) return;
  rx_id_ = 0;
  const AirFrame& f = heard.frame;
  const bool good = !f.cut && f.rx_rssi_dbm >= kSensitivityDbm && !medium_.collided(this, heard.id);
  Radio::Rx rx{f.payload, f.len, f.rx_rssi_dbm, f.start_us, f.end_us};
  if (client_) client_->radio_rx_ended(good ? &rx : nullptr);
}

}  // namespace sim::ble
