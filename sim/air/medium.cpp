// The air of one process: see sim/air_medium.h.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "sim/air_medium.h"
#include "sim/air_pcap.h"
#include "sim/link.h"
#include "sim/model.h"

namespace sim::air {

Medium& Medium::instance() {
  static Medium* m = new Medium;  // never destroyed: events may still name it at exit
  return *m;
}

void Medium::reset() {
  nodes_.clear();
  entries_.clear();
  losses_.clear();
  taps_.clear();
  default_loss_db_ = 90.0;
  frames_sent_ = 0;
  // Frame ids keep counting so that a stale event of an earlier test can
  // never name a new frame.
}

void Medium::attach(Node* node, uint32_t device_id) {
  detach(node);
  nodes_.push_back({node, device_id});
  if (!link_handler_set_ && link::connected()) {
    link::set_frame_handler(&Medium::on_link_frame, this);
    link::set_air_deaf_query(&Medium::on_link_deaf, this);
    link::set_air_silent_query(&Medium::on_link_silent, this);
    link::set_air_horizon_query(&Medium::on_link_horizon, this);
    link_handler_set_ = true;
  }
}

void Medium::detach(Node* node) {
  nodes_.erase(std::remove_if(nodes_.begin(), nodes_.end(),
                              [node](const Attached& a) { return a.node == node; }),
               nodes_.end());
}

uint32_t Medium::device_of(const Node* node) const {
  for (const auto& a : nodes_) {
    if (a.node == node) return a.device_id;
  }
  return 0;
}

uint32_t Medium::transmit(Node* sender, const AirFrame& frame) {
  AirFrame f = frame;
  f.sender = device_of(sender);
  const uint32_t id = put(f, sender, f.sender);
  if (link::connected()) link::send_frame(find(id)->frame);
  return id;
}

uint32_t Medium::inject(const AirFrame& frame) {
  if (!frame.cut) return put(frame, nullptr, frame.sender);
  for (auto& e : entries_) {
    if (e.sender != nullptr || e.ended || e.sender_device != frame.sender ||
        e.frame.start_us != frame.start_us) {
      continue;
    }
    for (const auto& tap : taps_) tap.first(tap.second, frame);
    shorten(e, std::max(now(), frame.end_us));
    return e.id;
  }
  return 0;
}

void Medium::cut(const Node* sender, uint32_t id) {
  for (auto& e : entries_) {
    if (e.id != id || e.sender != sender || e.ended || now() >= e.frame.end_us) continue;
    shorten(e, now());
    AirFrame correction = e.frame;
    correction.cut = true;
    for (const auto& tap : taps_) tap.first(tap.second, correction);
    if (link::connected()) link::send_frame(correction);
    return;
  }
}

void Medium::cut_own_frames() {
  std::vector<std::pair<const Node*, uint32_t>> sending;
  for (const auto& e : entries_) {
    if (e.sender != nullptr && !e.ended && now() < e.frame.end_us)
      sending.emplace_back(e.sender, e.id);
  }
  for (const auto& [sender, id] : sending) cut(sender, id);
}

void Medium::shorten(Entry& e, time_us at) {
  if (e.ended || at >= e.frame.end_us) return;
  e.frame.end_us = std::max(at, e.frame.start_us);
  // The end announced before is dropped: on_end ignores an ended frame.
  schedule(e.frame.end_us, &Medium::on_end, this, e.id);
}

void Medium::on_link_frame(void* ctx, const AirFrame& frame) {
  static_cast<Medium*>(ctx)->inject(frame);
}

bool Medium::on_link_deaf(void* ctx) {
  const auto* m = static_cast<const Medium*>(ctx);
  // A tap sees every frame as it arrives: it keeps the medium listening.
  if (!m->taps_.empty()) return false;
  for (const auto& a : m->nodes_) {
    if (a.node->hears_air()) return false;
  }
  return true;
}

bool Medium::on_link_silent(void* ctx) {
  const auto* m = static_cast<const Medium*>(ctx);
  for (const auto& a : m->nodes_) {
    if (a.node->sends_air()) return false;
  }
  return true;
}

time_us Medium::on_link_horizon(void* ctx, time_us known) {
  const auto* m = static_cast<const Medium*>(ctx);
  // A tap sees every frame as it arrives.
  if (!m->taps_.empty()) return known;
  time_us h = kNever;
  for (const auto& a : m->nodes_) h = std::min(h, a.node->air_horizon(known));
  return h;
}

uint32_t Medium::put(const AirFrame& frame, const Node* sender, uint32_t sender_device) {
  Entry e{next_id_++, frame, sender, sender_device, false};
  const time_us t = now();
  if (e.frame.end_us < e.frame.start_us) e.frame.end_us = e.frame.start_us;
  if (sender != nullptr && e.frame.start_us < t) {
    const time_us len = e.frame.end_us - e.frame.start_us;
    e.frame.start_us = t;
    e.frame.end_us = t + len;
  }
  entries_.push_back(e);
  ++frames_sent_;
  for (const auto& tap : taps_) tap.first(tap.second, e.frame);
  const uint32_t id = e.id;
  const time_us start = e.frame.start_us;
  const time_us end = e.frame.end_us;
  // A frame handed over after its start is announced at once: as the
  // earliest event due it would run next anyway.
  if (start < t) {
    on_start(this, id);
  } else {
    schedule(start, &Medium::on_start, this, id);
  }
  schedule(end, &Medium::on_end, this, id);
  return id;
}

const Medium::Entry* Medium::find(uint32_t id) const {
  for (const auto& e : entries_) {
    if (e.id == id) return &e;
  }
  return nullptr;
}

double Medium::path_loss(uint32_t from, uint32_t to) const {
  for (const auto& p : losses_) {
    if (p.from == from && p.to == to) return p.db;
  }
  return default_loss_db_;
}

void Medium::set_default_path_loss(double db) { default_loss_db_ = db; }

void Medium::set_path_loss(uint32_t from_device, uint32_t to_device, double db) {
  for (auto& p : losses_) {
    if (p.from == from_device && p.to == to_device) {
      p.db = db;
      return;
    }
  }
  losses_.push_back({from_device, to_device, db});
}

void Medium::add_tap(TapFn fn, void* ctx) { taps_.push_back({fn, ctx}); }

AirFrame Medium::as_heard_outside(const AirFrame& frame) const {
  AirFrame f = frame;
  for (const auto& a : nodes_) {
    if (a.device_id != frame.sender) continue;
    const uint32_t bw = is_carrier(f) ? 1 : f.bandwidth_hz;
    link_budget(f.tx_power_dbm, path_loss(frame.sender, 0), bw, &f.rx_rssi_dbm, &f.rx_snr_db);
    break;
  }
  return f;
}

Heard Medium::heard_by(const Entry& e, const Node* node) const {
  Heard h{e.id, e.frame};
  if (e.sender != nullptr) {
    const uint32_t bw = is_carrier(e.frame) ? 1 : e.frame.bandwidth_hz;
    link_budget(e.frame.tx_power_dbm, path_loss(e.sender_device, device_of(node)), bw,
                &h.frame.rx_rssi_dbm, &h.frame.rx_snr_db);
  }
  return h;
}

void Medium::on_start(void* ctx, uint32_t id) {
  auto* m = static_cast<Medium*>(ctx);
  const Entry* e = m->find(id);
  if (e == nullptr) return;
  const Entry copy = *e;  // nodes may transmit (and grow entries_) while notified
  const auto nodes = m->nodes_;
  for (const auto& a : nodes) {
    if (a.node != copy.sender && !other_phy(copy, a.node))
      a.node->air_frame_started(m->heard_by(copy, a.node));
  }
}

void Medium::on_end(void* ctx, uint32_t id) {
  auto* m = static_cast<Medium*>(ctx);
  const Entry* e = m->find(id);
  // Ended already: the frame was cut and this is its first, later end.
  if (e == nullptr || e->ended || now() < e->frame.end_us) return;
  const Entry copy = *e;
  const auto nodes = m->nodes_;
  for (const auto& a : nodes) {
    if (a.node != copy.sender && !other_phy(copy, a.node))
      a.node->air_frame_ended(m->heard_by(copy, a.node));
  }
  for (auto& x : m->entries_) {
    if (x.id == id) x.ended = true;
  }
  m->prune();
}

void Medium::prune() {
  // A frame that ended before every frame still on the air began can no
  // longer overlap anything.
  // Frames of other devices may still come that started after the time
  // before which all of them are known (the device may run ahead of it).
  const time_us t = std::min(now(), link::known_until());
  time_us horizon = t;
  for (const auto& e : entries_) {
    if (!e.ended) horizon = std::min(horizon, e.frame.start_us);
  }
  entries_.erase(
      std::remove_if(entries_.begin(), entries_.end(),
                     [&](const Entry& e) { return e.ended && e.frame.end_us <= horizon; }),
      entries_.end());
}

std::vector<Heard> Medium::on_air(const Node* node, time_us at) const {
  std::vector<Heard> out;
  for (const auto& e : entries_) {
    if (e.sender == node || other_phy(e, node)) continue;
    if (e.frame.start_us <= at && at < e.frame.end_us) out.push_back(heard_by(e, node));
  }
  return out;
}

namespace {

uint32_t occupied_bw(const AirFrame& f) { return is_carrier(f) ? 0 : f.bandwidth_hz; }

bool channels_overlap(uint32_t f1, uint32_t bw1, uint32_t f2, uint32_t bw2) {
  const int64_t d = std::llabs(static_cast<int64_t>(f1) - static_cast<int64_t>(f2));
  // Two carriers on the same frequency overlap; otherwise half of each
  // bandwidth must reach the other.
  return 2 * d < static_cast<int64_t>(bw1) + static_cast<int64_t>(bw2) || d == 0;
}

}  // namespace

template <typename Fn>
void Medium::for_each_interferer(const Node* node, const Entry& a, Fn fn) const {
  for (const auto& b : entries_) {
    if (b.id == a.id || b.sender == node || other_phy(b, node)) continue;
    if (!(b.frame.start_us < a.frame.end_us && a.frame.start_us < b.frame.end_us)) continue;
    if (!channels_overlap(a.frame.frequency_hz, occupied_bw(a.frame), b.frame.frequency_hz,
                          occupied_bw(b.frame))) {
      continue;
    }
    if (!is_carrier(b.frame) && !is_carrier(a.frame)) {
      if (a.frame.modem != b.frame.modem) continue;
      if (a.frame.modem == Modem::kLora && a.frame.sf != b.frame.sf) continue;
    }
    fn(b);
  }
}

bool Medium::collided(const Node* node, uint32_t id) const {
  const Entry* a = find(id);
  if (a == nullptr) return false;
  bool any = false;
  for_each_interferer(node, *a, [&](const Entry&) { any = true; });
  return any;
}

double Medium::interference_dbm(const Node* node, uint32_t id) const {
  const Entry* a = find(id);
  double mw = 0;
  if (a != nullptr) {
    for_each_interferer(node, *a, [&](const Entry& b) {
      mw += std::pow(10.0, heard_by(b, node).frame.rx_rssi_dbm / 10.0);
    });
  }
  return mw > 0 ? 10.0 * std::log10(mw) : -HUGE_VAL;
}

double Medium::channel_power_dbm(const Node* node, uint32_t frequency_hz, uint32_t bandwidth_hz,
                                 time_us at) const {
  double mw = std::pow(10.0, noise_floor_dbm(bandwidth_hz) / 10.0);
  for (const auto& e : entries_) {
    if (e.sender == node || other_phy(e, node)) continue;
    if (!(e.frame.start_us <= at && at < e.frame.end_us)) continue;
    if (!channels_overlap(frequency_hz, bandwidth_hz, e.frame.frequency_hz, occupied_bw(e.frame)))
      continue;
    const Heard h = heard_by(e, node);
    mw += std::pow(10.0, h.frame.rx_rssi_dbm / 10.0);
  }
  return 10.0 * std::log10(mw);
}

bool Medium::lora_activity(const Node* node, uint32_t frequency_hz, uint32_t bandwidth_hz,
                           uint8_t sf, time_us from, time_us to) const {
  for (const auto& e : entries_) {
    if (e.sender == node || other_phy(e, node)) continue;
    const AirFrame& f = e.frame;
    if (f.modem != Modem::kLora || f.sf != sf) continue;
    if (!(f.start_us < to && from < f.end_us)) continue;
    if (lora_bandwidth_code(f.bandwidth_hz) != lora_bandwidth_code(bandwidth_hz)) continue;
    if (2 * std::llabs(static_cast<int64_t>(f.frequency_hz) - static_cast<int64_t>(frequency_hz)) >
        static_cast<int64_t>(bandwidth_hz) / 2) {
      continue;
    }
    const Heard h = heard_by(e, node);
    if (h.frame.rx_snr_db >= lora_demod_floor_db(sf)) return true;
  }
  return false;
}

// ----------------------------------------------------------------- maths --

Fraction lora_bandwidth(uint8_t code) {
  switch (code) {
    case 0:
      return {15625, 2};  // 7.8125 kHz
    case 8:
      return {31250, 3};  // 10.4167 kHz
    case 1:
      return {15625, 1};  // 15.625 kHz
    case 9:
      return {62500, 3};  // 20.8333 kHz
    case 2:
      return {31250, 1};  // 31.25 kHz
    case 10:
      return {125000, 3};  // 41.6667 kHz
    case 3:
      return {62500, 1};
    case 4:
      return {125000, 1};
    case 5:
      return {250000, 1};
    case 6:
      return {500000, 1};
    default:
      return {0, 1};
  }
}

uint32_t lora_bandwidth_hz(uint8_t code) {
  const Fraction f = lora_bandwidth(code);
  return (f.num + f.den / 2) / f.den;
}

uint8_t lora_bandwidth_code(uint32_t hz) {
  static const uint8_t codes[] = {0, 8, 1, 9, 2, 10, 3, 4, 5, 6};
  for (uint8_t c : codes) {
    const uint32_t b = lora_bandwidth_hz(c);
    if (hz + 2 >= b && hz <= b + 2) return c;
  }
  return 0xFF;
}

uint32_t fsk_bandwidth_hz(uint8_t code) {
  struct Row {
    uint8_t code;
    uint32_t hz;
  };
  static const Row rows[] = {
      {0x1F, 4800},   {0x17, 5800},   {0x0F, 7300},   {0x1E, 9700},   {0x16, 11700},
      {0x0E, 14600},  {0x1D, 19500},  {0x15, 23400},  {0x0D, 29300},  {0x1C, 39000},
      {0x14, 46900},  {0x0C, 58600},  {0x1B, 78200},  {0x13, 93800},  {0x0B, 117300},
      {0x1A, 156200}, {0x12, 187200}, {0x0A, 234300}, {0x19, 312000}, {0x11, 373600},
      {0x09, 467000},
  };
  for (const auto& r : rows) {
    if (r.code == code) return r.hz;
  }
  return 0;
}

uint64_t lora_symbol_ns(uint8_t sf, uint8_t bw_code) {
  const Fraction bw = lora_bandwidth(bw_code);
  if (bw.num == 0 || sf > 12) return 0;
  return ((uint64_t{1} << sf) * bw.den * 1000000000ull) / bw.num;
}

time_us lora_time_on_air_us(uint8_t sf, uint8_t bw_code, uint8_t cr, uint16_t preamble,
                            bool implicit_header, bool crc_on, bool ldro, uint8_t payload_len) {
  const Fraction bw = lora_bandwidth(bw_code);
  if (bw.num == 0 || sf < 5 || sf > 12) return 0;
  // Everything in quarter symbols, to keep the .25 exact.
  int64_t num =
      8 * int64_t{payload_len} + (crc_on ? 16 : 0) - 4 * int64_t{sf} + (implicit_header ? 0 : 20);
  if (sf > 6) num += 8;
  const int64_t den = 4 * (int64_t{sf} - (ldro ? 2 : 0));
  const int64_t blocks = num > 0 ? (num + den - 1) / den : 0;
  const int64_t quarters =
      4 * int64_t{preamble} + (sf <= 6 ? 25 : 17) + 32 + 4 * blocks * (int64_t{cr} + 4);
  // time = quarters / 4 * 2^SF * den / num seconds
  const uint64_t n = static_cast<uint64_t>(quarters) * (uint64_t{1} << sf) * bw.den * 1000000ull;
  const uint64_t d = 4ull * bw.num;
  return (n + d - 1) / d;
}

time_us fsk_time_on_air_us(uint32_t bitrate_reg, uint32_t total_bits) {
  // One bit lasts bitrate_reg / 1024000000 s = bitrate_reg / 1024 us.
  const uint64_t n = uint64_t{total_bits} * bitrate_reg;
  return (n + 1023) / 1024;
}

double noise_floor_dbm(uint32_t bandwidth_hz) {
  if (bandwidth_hz == 0) bandwidth_hz = 1;
  return -174.0 + 10.0 * std::log10(static_cast<double>(bandwidth_hz)) + 6.0;
}

double lora_demod_floor_db(uint8_t sf) {
  if (sf < 5) sf = 5;
  if (sf > 12) sf = 12;
  return -2.5 * (sf - 4);  // SF5 -2.5 dB ... SF12 -20 dB
}

uint32_t fsk_detector_bits(uint8_t code) {
  return code >= 0x04 && code <= 0x07 ? 8u * (code - 3u) : 0u;
}

time_us preamble_end_us(const AirFrame& f) {
  if (f.modem == Modem::kLora) {
    const uint64_t sym = lora_symbol_ns(f.sf, lora_bandwidth_code(f.bandwidth_hz));
    return std::min(f.end_us, f.start_us + (uint64_t{f.preamble_len} * sym) / 1000);
  }
  if (f.bitrate == 0) return f.start_us;
  return std::min(f.end_us, f.start_us + uint64_t{f.preamble_len} * 8 * 1000000 / f.bitrate);
}

time_us preamble_detected_at(const AirFrame& f, time_us listen_from, uint32_t fsk_detector_bits) {
  const time_us from = std::max(listen_from, f.start_us);
  time_us need = 0;
  if (f.modem == Modem::kLora) {
    const uint64_t sym = lora_symbol_ns(f.sf, lora_bandwidth_code(f.bandwidth_hz));
    if (sym == 0) return kNever;
    need = (kLoraDetectSymbols * sym + 999) / 1000;
  } else {
    if (f.bitrate == 0) return kNever;
    const uint64_t bits = std::max<uint64_t>(fsk_detector_bits, kFskMinPreambleBits);
    need = (bits * 1000000 + f.bitrate - 1) / f.bitrate;
  }
  const time_us at = from + need;
  return at <= preamble_end_us(f) ? at : kNever;
}

bool fsk_fits_filter(const AirFrame& f, uint32_t rx_frequency_hz, uint32_t rx_bandwidth_hz) {
  const int64_t offset =
      std::llabs(static_cast<int64_t>(f.frequency_hz) - static_cast<int64_t>(rx_frequency_hz));
  return int64_t{f.bitrate} + 2 * int64_t{f.fdev_hz} + 2 * offset <= int64_t{rx_bandwidth_hz};
}

bool captures(const AirFrame& wanted, double interference_dbm) {
  const double margin = wanted.modem == Modem::kLora ? kLoraCaptureDb : kFskCaptureDb;
  // (The sum of powers goes through logarithms: allow for their rounding.)
  return wanted.rx_rssi_dbm - interference_dbm >= margin - 1e-9;
}

void link_budget(int8_t tx_power_dbm, double path_loss_db, uint32_t bandwidth_hz, int16_t* rssi_dbm,
                 int8_t* snr_db) {
  const double rssi = tx_power_dbm - path_loss_db;
  double snr = rssi - noise_floor_dbm(bandwidth_hz);
  snr = std::clamp(snr, -128.0, 127.0);
  *rssi_dbm = static_cast<int16_t>(std::lround(std::clamp(rssi, -32768.0, 32767.0)));
  *snr_db = static_cast<int8_t>(std::lround(snr));
}

// --------------------------------------------------------- capture ---
// `--pcap FILE`: the air of this program in a capture file (see
// sim/air_pcap.h), carried on through the device's resets. Frames this
// program sends have the reception values of a receiver at the default path
// loss; frames from elsewhere in a world those this device measured.

namespace {

std::string g_pcap_path;

PcapWriter& capture() {
  static PcapWriter* w = new PcapWriter;  // the last frames may come at exit
  return *w;
}

bool set_pcap(const char* value, std::string* error) {
  if (!*value) {
    *error = "--pcap: a file name";
    return false;
  }
  // Refused at once when it cannot be written; begun at the start.
  FILE* f = std::fopen(value, "ae");
  if (!f) {
    *error = std::string("--pcap: cannot write ") + value + ": " + std::strerror(errno);
    return false;
  }
  std::fclose(f);
  g_pcap_path = value;
  return true;
}

void capture_frame(void*, const AirFrame& frame) {
  capture().write(Medium::instance().as_heard_outside(frame));
}

void capture_start(StateIn* saved) {
  if (g_pcap_path.empty()) return;
  std::string error;
  bool ok = false;
  if (saved) {
    std::map<uint32_t, PcapWriter::Connection> connections;
    const uint32_t n = saved->get<uint32_t>();
    for (uint32_t i = 0; i < n && saved->ok(); ++i) {
      const uint32_t aa = saved->get<uint32_t>();
      connections[aa] = saved->get<PcapWriter::Connection>();
    }
    capture().set_connections(std::move(connections));
    ok = capture().append(g_pcap_path, &error);
  } else {
    ok = capture().open(g_pcap_path, &error);
  }
  if (!ok) fatal("--pcap: %s", error.c_str());
  Medium::instance().add_tap(capture_frame, nullptr);
}

void capture_save(StateOut& out) {
  const auto& c = capture().connections();
  out.put<uint32_t>(static_cast<uint32_t>(c.size()));
  for (const auto& [aa, connection] : c) {
    out.put(aa);
    out.put(connection);
  }
}

}  // namespace

SIM_MODEL(air_capture,
          {.name = "air.capture",
           .options = {{"--pcap", "FILE",
                        "every frame on the air in a capture file for Wireshark or\n"
                        "tshark (pcapng, virtual time stamps; LoRaTap, BLE LL with PHDR).",
                        set_pcap}},
           .save = capture_save,
           .start = capture_start});

}  // namespace sim::air

// A reset (a power cut among them) ends the device's transmissions at that
// instant: the radio loses its supply with the rest of the chip, so nothing
// of a frame goes on the air after the program has started again.
SIM_MODEL(air_medium, {.name = "air", .save = [](sim::StateOut&) {
                         sim::air::Medium::instance().cut_own_frames();
                       }});
