#include "network/gateway.h"

#include <algorithm>
#include <cstring>

namespace sim::network {
namespace {
constexpr uint64_t kBeaconPeriodUs = 128000000;
}

Gateway::Gateway(NetworkServer& server, sim::world::Master& master, GatewayOptions options)
    : server_(server), master_(master), options_(options) {
  next_beacon_ = next_beacon(master.now());
  master_.add_agent(this);
}

Gateway::~Gateway() { master_.remove_agent(this); }

void Gateway::set_beacons(bool on) {
  options_.beacons = on;
  next_beacon_ = next_beacon(master_.now());
}

time_us Gateway::next_beacon(time_us t) const {
  const uint64_t g = server_.gps_us(t) - options_.beacon_delay_us;
  const uint64_t k = (g + kBeaconPeriodUs - 1) / kBeaconPeriodUs;
  return k * kBeaconPeriodUs + options_.beacon_delay_us - server_.gps_offset_us;
}

Bytes Gateway::beacon_payload(uint32_t gps_seconds) const {
  const Region& r = server_.region();
  Bytes b(r.beacon_rfu1, 0);
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(gps_seconds >> (8 * i)));
  uint16_t c1 = crc16(b.data(), b.size());
  b.push_back(static_cast<uint8_t>(c1));
  b.push_back(static_cast<uint8_t>(c1 >> 8));
  size_t gw = b.size();
  b.insert(b.end(), options_.beacon_info, options_.beacon_info + 7);
  b.insert(b.end(), r.beacon_rfu2, 0);
  uint16_t c2 = crc16(b.data() + gw, b.size() - gw);
  b.push_back(static_cast<uint8_t>(c2));
  b.push_back(static_cast<uint8_t>(c2 >> 8));
  return b;
}

void Gateway::send_raw(time_us at, uint32_t freq, uint8_t dr, const Bytes& bytes) {
  Transmission tx;
  tx.at = at;
  tx.freq = freq;
  tx.dr = dr;
  tx.bytes = bytes;
  tx.what = "raw";
  scheduled_.push_back(Scheduled{tx, false});
}

sim::AirFrame Gateway::make_frame(const Transmission& tx, bool beacon) const {
  const Region& r = server_.region();
  const DataRate& d = r.dr[tx.dr & 15];
  sim::AirFrame f{};
  f.frequency_hz = tx.freq;
  f.tx_power_dbm = options_.tx_power_dbm == -128 ? r.downlink_power_dbm : options_.tx_power_dbm;
  f.len = static_cast<uint16_t>(std::min<size_t>(tx.bytes.size(), sizeof f.payload));
  std::memcpy(f.payload, tx.bytes.data(), f.len);
  f.start_us = tx.at;
  if (d.fsk() && !beacon) {
    f.modem = sim::Modem::kFsk;
    f.bitrate = d.fsk_bps;
    f.fdev_hz = kFskDeviationHz;
    f.bandwidth_hz = kFskRxBandwidthHz;
    f.preamble_len = kFskPreambleBytes;
    f.fsk_sync_len = sizeof kFskSync;
    std::memcpy(f.fsk_sync, kFskSync, sizeof kFskSync);
    f.crc_on = true;
    f.end_us = tx.at + fsk_time_on_air_us(f.len);
    return f;
  }
  f.modem = sim::Modem::kLora;
  f.sf = d.sf;
  f.bandwidth_hz = d.bw;
  f.coding_rate = 1;
  f.preamble_len = beacon ? 10 : 8;
  f.lora_sync_word = options_.sync_word;
  f.iq_inverted = !beacon;
  f.crc_on = false;
  f.implicit_header = beacon;
  // Low data rate optimisation where a symbol lasts 16 ms or more (SF11 and
  // SF12 at 125 kHz), as the receiver sets it and as the time on air counts.
  f.ldro = d.defined() && (uint64_t{1} << d.sf) * 1000000ull / d.bw >= 16000;
  f.end_us =
      tx.at +
      (d.defined() ? lora_time_on_air_us(d.sf, d.bw, f.len, 1, f.preamble_len, beacon, false) : 0);
  return f;
}

void Gateway::heard(const sim::world::FrameRecord& rec) {
  if (sending_) return;  // its own transmission
  const sim::AirFrame& f = rec.frame;
  if (f.phy != sim::Phy::kSubGhz) return;  // a sub-GHz receiver never hears other PHYs
  if (f.cut) {
    // The sender stopped a frame it had started (a reset, a power cut): the
    // rest of it never comes, so it cannot be decoded, and it occupies the
    // air only up to where it stopped.
    for (sim::world::FrameRecord& r : recent_)
      if (r.frame.sender == f.sender && r.frame.start_us == f.start_us && !r.frame.cut)
        r.frame.end_us = std::min(r.frame.end_us, f.end_us);
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
      if (it->rec.frame.sender != f.sender || it->rec.frame.start_us != f.start_us) continue;
      events_.push_back(GatewayEvent{it->rec, true, "cut short"});
      server_.advance_log(rec.t);
      server_.note(rec.t, "gateway: uplink on " + std::to_string(f.frequency_hz) +
                              " Hz lost: cut short by its sender");
      pending_.erase(it);
      break;
    }
    return;
  }
  recent_.push_back(rec);
  GatewayEvent ev{rec, true, ""};
  const Region& r = server_.region();
  const bool fsk = f.modem == sim::Modem::kFsk && f.bitrate != 0;
  if (fsk ? f.implicit_header
          : f.modem != sim::Modem::kLora || f.iq_inverted || f.implicit_header) {
    ev.uplink = false;
    ev.outcome = "not an uplink";
    events_.push_back(ev);
    return;
  }
  if (fsk ? f.fsk_sync_len != sizeof kFskSync ||
                std::memcmp(f.fsk_sync, kFskSync, sizeof kFskSync) != 0
          : f.lora_sync_word != options_.sync_word) {
    ev.outcome = "other sync word";
    events_.push_back(ev);
    return;
  }
  // FSK: the bit rate within 1 %.
  int dr = !fsk ? r.uplink_dr(f.sf, f.bandwidth_hz)
           : r.fsk_dr() >= 0 && f.bitrate * 100 >= kFskBitrate * 99 &&
                   f.bitrate * 100 <= kFskBitrate * 101
               ? r.fsk_dr()
               : -1;
  int ch = r.channel_index(f.frequency_hz);
  if (ch < 0) {
    std::vector<uint32_t> extra = server_.extra_channels();
    auto it = std::find(extra.begin(), extra.end(), f.frequency_hz);
    if (it != extra.end()) ch = static_cast<int>(r.channels.size() + (it - extra.begin()));
  }
  if (dr < 0 || ch < 0) {
    ev.outcome = dr < 0 ? "not an uplink data rate" : "not an uplink channel";
    events_.push_back(ev);
    // A module set for another region is the usual cause: name it.
    std::string others;
    if (ch < 0)
      for (RegionId id : all_regions()) {
        const Region& o = region(id);
        if (&o != &r && o.channel_index(f.frequency_hz) >= 0)
          others += (others.empty() ? "" : ", ") + o.name;
      }
    std::string why = ev.outcome + " of " + r.name;
    if (!others.empty()) why += " (a channel of " + others + ": a module on another region's plan)";
    // Known from the frame's start (its channel and modulation).
    server_.advance_log(rec.t);
    server_.note(rec.t,
                 "gateway: frame on " + std::to_string(f.frequency_hz) + " Hz " +
                     (fsk ? "FSK " + std::to_string(f.bitrate) + " bit/s"
                          : "SF" + std::to_string(f.sf) + " BW" + std::to_string(f.bandwidth_hz)) +
                     " ignored: " + why);
    return;
  }
  Pending p{rec, dr, ch};
  master_.budget().apply(p.rec.frame, options_.receiver_id);
  pending_.push_back(p);
}

void Gateway::receive(const Pending& p) {
  const sim::AirFrame& f = p.rec.frame;
  GatewayEvent ev{p.rec, true, "received"};
  // Another LoRa frame on the channel with the same spreading factor that
  // overlaps it destroys it unless this one is 6 dB stronger.
  for (const sim::world::FrameRecord& o : recent_) {
    const sim::AirFrame& g = o.frame;
    if (g.start_us == f.start_us && g.sender == f.sender && g.frequency_hz == f.frequency_hz)
      continue;  // itself
    if (g.modem != f.modem || g.frequency_hz != f.frequency_hz) continue;
    if (f.modem == sim::Modem::kLora && g.sf != f.sf) continue;
    if (!(g.start_us < f.end_us && f.start_us < g.end_us)) continue;
    sim::AirFrame other = g;
    master_.budget().apply(other, options_.receiver_id);
    if (f.rx_rssi_dbm - other.rx_rssi_dbm < 6) {
      ev.outcome = "collision";
      break;
    }
  }
  // One antenna: while the gateway transmits it hears nothing.
  if (ev.outcome == "received")
    for (const auto& [start, end] : sent_)
      if (start < f.end_us && f.start_us < end) ev.outcome = "gateway transmitting";
  const double floor = f.modem == sim::Modem::kFsk ? kFskSnrFloorDb : lora_snr_floor(f.sf);
  if (ev.outcome == "received" && f.rx_snr_db < floor) ev.outcome = "below sensitivity";
  events_.push_back(ev);
  if (ev.outcome != "received") {
    server_.note(f.end_us, "gateway: uplink on " + std::to_string(f.frequency_hz) +
                               " Hz lost: " + ev.outcome);
    return;
  }
  RxMeta meta;
  meta.end_us = f.end_us;
  meta.freq = f.frequency_hz;
  meta.dr = static_cast<uint8_t>(p.dr);
  meta.channel = p.channel;
  meta.rssi = f.rx_rssi_dbm;
  meta.snr = f.rx_snr_db;
  Bytes bytes(f.payload, f.payload + std::min<size_t>(f.len, sizeof f.payload));
  for (Transmission& tx : server_.on_uplink(bytes, meta))
    scheduled_.push_back(Scheduled{tx, false});
}

time_us Gateway::wake_time() const {
  time_us t = sim::kNever;
  for (const Pending& p : pending_) t = std::min<time_us>(t, p.rec.frame.end_us);
  for (const Scheduled& s : scheduled_)
    t = std::min<time_us>(t, s.tx.at + static_cast<uint64_t>(options_.timing_error_us));
  if (options_.beacons) t = std::min(t, next_beacon_);
  if (server_.has_spontaneous()) t = 0;
  return t;
}

void Gateway::wake(sim::world::Master& master, time_us now) {
  server_.advance_log(now);
  // Uplinks that have ended, in order of their end.
  std::stable_sort(pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) {
    return a.rec.frame.end_us < b.rec.frame.end_us;
  });
  while (!pending_.empty() && pending_.front().rec.frame.end_us <= now) {
    Pending p = pending_.front();
    pending_.erase(pending_.begin());
    receive(p);
  }
  if (server_.has_spontaneous())
    for (Transmission& tx : server_.take_spontaneous(now))
      scheduled_.push_back(Scheduled{tx, false});
  if (options_.beacons && next_beacon_ <= now) {
    // A beacon carries the GPS time of the period boundary nearest to it: a
    // delay of more than half a period makes it early for the next one, and
    // one scheduled before the delay changed keeps its own.
    const uint64_t period = (server_.gps_us(next_beacon_) + kBeaconPeriodUs / 2) / kBeaconPeriodUs;
    const uint32_t gps_s = static_cast<uint32_t>(period * kBeaconPeriodUs / 1000000);
    Transmission tx;
    tx.at = next_beacon_;
    tx.freq = server_.region().beacon_frequency(gps_s);
    tx.dr = server_.region().beacon_dr;
    tx.bytes = beacon_payload(gps_s);
    tx.what = "beacon";
    if (!options_.beacon_hook || options_.beacon_hook(gps_s, tx.bytes))
      scheduled_.push_back(Scheduled{tx, true});
    else
      server_.note(next_beacon_, "beacon of GPS time " + std::to_string(gps_s) + " dropped");
    // One beacon per period, wherever a changed delay puts the next.
    next_beacon_ = next_beacon(now + kBeaconPeriodUs / 2);
  }
  // Transmissions due now, beacons first.
  std::stable_sort(scheduled_.begin(), scheduled_.end(),
                   [](const Scheduled& a, const Scheduled& b) {
                     return a.tx.at != b.tx.at ? a.tx.at < b.tx.at : a.beacon > b.beacon;
                   });
  while (!scheduled_.empty() &&
         scheduled_.front().tx.at + static_cast<uint64_t>(options_.timing_error_us) <= now) {
    Scheduled s = scheduled_.front();
    scheduled_.erase(scheduled_.begin());
    s.tx.at = now;
    sim::AirFrame f = make_frame(s.tx, s.beacon);
    GatewayEvent ev{{now, f}, false, "sent"};
    if (now < tx_busy_until_) {
      ev.outcome = "dropped: the gateway is transmitting";
      server_.note(now, "gateway: " + s.tx.what + " downlink dropped, still transmitting");
    } else {
      tx_busy_until_ = f.end_us;
      sent_.emplace_back(f.start_us, f.end_us);
      sending_ = true;
      master.inject_frame(f);
      sending_ = false;
      if (s.beacon) server_.note(now, "down beacon " + hex(s.tx.bytes.data(), s.tx.bytes.size()));
    }
    events_.push_back(ev);
  }
  // Frames older than any that can still be pending.
  time_us horizon = now > 20000000 ? now - 20000000 : 0;
  recent_.erase(std::remove_if(recent_.begin(), recent_.end(),
                               [horizon](const sim::world::FrameRecord& r) {
                                 return r.frame.end_us < horizon;
                               }),
                recent_.end());
  sent_.erase(std::remove_if(
                  sent_.begin(), sent_.end(),
                  [horizon](const std::pair<time_us, time_us>& s) { return s.second < horizon; }),
              sent_.end());
}

std::optional<UplinkRecord> wait_uplink(sim::world::Master& master, const NetworkServer& server,
                                        size_t from,
                                        const std::function<bool(const UplinkRecord&)>& match,
                                        time_us timeout) {
  size_t seen = from;
  std::optional<UplinkRecord> found;
  auto check = [&]() {
    const auto& ups = server.uplinks();
    for (; seen < ups.size() && !found; ++seen)
      if (!match || match(ups[seen])) found = ups[seen];
    return found.has_value();
  };
  time_us end = master.now() > sim::kNever - timeout ? sim::kNever : master.now() + timeout;
  master.run_until(end, check);
  check();
  return found;
}

}  // namespace sim::network
