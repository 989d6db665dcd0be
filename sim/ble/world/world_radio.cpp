// A link layer's radio in a world: see sim/ble_world_radio.h.
#include "sim/ble_world_radio.h"

#include <algorithm>

#include "sim/ble_radio.h"

namespace sim::ble {

WorldRadio::WorldRadio(world::Master& master) : master_(master) {
  now_ = master.now();
  master_.add_agent(this);
}

WorldRadio::~WorldRadio() { master_.remove_agent(this); }

Central::Runner WorldRadio::runner() {
  return [this](time_us deadline, const std::function<bool()>& done) {
    if (done()) return true;
    master_.run_until(deadline, done);
    return done();
  };
}

time_us WorldRadio::now() const { return std::max(now_, master_.now()); }

void WorldRadio::inject(const AirFrame& f) {
  injecting_ = true;
  master_.inject_frame(f);
  injecting_ = false;
}

void WorldRadio::transmit(uint8_t channel, uint32_t access_address, const Bytes& pdu, time_us start,
                          int8_t tx_power_dbm) {
  stop_listening();
  AirFrame f = pdu_frame(channel, access_address, pdu, std::max(start, now()), tx_power_dbm);
  tx_end_ = f.end_us;
  if (f.start_us <= now())
    inject(f);
  else
    later_.push_back(f);
}

void WorldRadio::listen(uint8_t channel, uint32_t access_address) {
  if (listening_ && channel_hz_ == channel_frequency_hz(channel) &&
      access_address_ == access_address)
    return;
  listening_ = true;
  receiving_ = false;
  channel_hz_ = channel_frequency_hz(channel);
  access_address_ = access_address;
}

void WorldRadio::stop_listening() {
  listening_ = false;
  receiving_ = false;
}

void WorldRadio::heard(const world::FrameRecord& record) {
  const AirFrame& f = record.frame;
  if (injecting_ || f.phy != Phy::kBle) return;
  now_ = std::max(now_, record.t);
  if (f.cut) {
    for (OnAir& a : air_)
      if (a.start == f.start_us && a.frequency_hz == f.frequency_hz) a.end = f.end_us;
    if (receiving_ && rx_.start_us == f.start_us && rx_.sender == f.sender) rx_.end_us = f.end_us;
    return;
  }
  air_.erase(std::remove_if(air_.begin(), air_.end(),
                            [&](const OnAir& a) { return a.end + 100000 < now_; }),
             air_.end());
  air_.push_back({f.start_us, f.end_us, f.frequency_hz});
  if (!listening_ || receiving_ || now_ < tx_end_ || !matches(f, channel_hz_, access_address_))
    return;
  rx_ = f;
  master_.budget().apply(rx_, 0);
  receiving_ = true;
  if (client_) client_->radio_rx_started();
}

time_us WorldRadio::wake_time() const {
  time_us t = timer_;
  if (receiving_) t = std::min(t, rx_.end_us);
  for (const AirFrame& f : later_) t = std::min(t, f.start_us);
  return t;
}

void WorldRadio::wake(world::Master&, time_us now) {
  now_ = std::max(now_, now);
  for (;;) {
    if (receiving_ && rx_.end_us <= now_) {
      receiving_ = false;
      int overlaps = 0;
      for (const OnAir& a : air_)
        if (a.frequency_hz == rx_.frequency_hz && a.start < rx_.end_us && rx_.start_us < a.end)
          ++overlaps;
      const bool good = overlaps <= 1 && rx_.rx_rssi_dbm >= kSensitivityDbm;
      Radio::Rx rx{rx_.payload, rx_.len, rx_.rx_rssi_dbm, rx_.start_us, rx_.end_us};
      if (client_) client_->radio_rx_ended(good ? &rx : nullptr);
      continue;
    }
    auto due = std::find_if(later_.begin(), later_.end(),
                            [&](const AirFrame& f) { return f.start_us <= now_; });
    if (due != later_.end()) {
      AirFrame f = *due;
      later_.erase(due);
      inject(f);
      continue;
    }
    if (timer_ <= now_) {
      timer_ = kNever;
      if (client_) client_->radio_timer();
      continue;
    }
    return;
  }
}

}  // namespace sim::ble
