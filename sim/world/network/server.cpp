#include "network/server.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace sim::network {
namespace {

std::string fmt_time(time_us t) {
  char b[40];
  std::snprintf(b, sizeof b, "%llu.%06llus", static_cast<unsigned long long>(t / 1000000),
                static_cast<unsigned long long>(t % 1000000));
  return b;
}

std::string fmt_freq(uint32_t hz) {
  char b[32];
  std::snprintf(b, sizeof b, "%u.%06u", hz / 1000000, hz % 1000000);
  std::string s = b;
  while (s.back() == '0' && s[s.size() - 2] != '.') s.pop_back();
  return s + "MHz";
}

void put24(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v >> 16));
}
uint32_t get24(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16;
}

Bytes mac_bytes(const std::vector<MacCommand>& cmds) {
  Bytes b;
  for (const MacCommand& c : cmds) {
    b.push_back(c.cid);
    b.insert(b.end(), c.data.begin(), c.data.end());
  }
  return b;
}

uint64_t toa(const Region& r, uint8_t dr, size_t len) {
  const DataRate& d = r.dr[dr & 15];
  if (d.fsk()) return fsk_time_on_air_us(len);
  if (!d.defined()) return 0;
  return lora_time_on_air_us(d.sf, d.bw, len, 1, 8, false, false);
}

}  // namespace

std::string UplinkRecord::line() const {
  std::string s = fmt_time(t) + " up " + fmt_freq(meta.freq) + " DR" + std::to_string(meta.dr) +
                  " RSSI " + std::to_string(meta.rssi) + " SNR " + std::to_string(meta.snr) + " ";
  s += mtype_name(mtype);
  if (!device.empty()) s += " " + device;
  char b[96];
  if (mtype == MType::kJoinRequest) {
    std::snprintf(b, sizeof b, " DevEUI %016llX DevNonce %u",
                  static_cast<unsigned long long>(dev_eui), dev_nonce);
    s += b;
  } else if (mtype == MType::kRejoinRequest) {
    std::snprintf(b, sizeof b, " type %u DevEUI %016llX RJcount %u", rejoin_type,
                  static_cast<unsigned long long>(dev_eui), dev_nonce);
    s += b;
  } else if (mtype == MType::kUnconfirmedUp || mtype == MType::kConfirmedUp) {
    std::snprintf(b, sizeof b, " DevAddr %08X FCnt %u FCtrl %02X", dev_addr, fcnt, fctrl);
    s += b;
    if (fport)
      s += " port " + std::to_string(*fport) + " payload " + hex(payload.data(), payload.size());
    if (!mac.empty()) s += " MAC " + describe_mac(mac, true);
  }
  // The MIC as the frame carries it (little-endian on the air).
  if (raw.size() >= 12) {
    const size_t n = raw.size();
    std::snprintf(b, sizeof b, " MIC %08X",
                  static_cast<unsigned>(raw[n - 4] | raw[n - 3] << 8 | raw[n - 2] << 16 |
                                        static_cast<uint32_t>(raw[n - 1]) << 24));
    s += b;
  }
  s += mic_ok ? " MIC ok" : " MIC bad";
  s += " " + status;
  if (status != "ok" && !raw.empty())
    s += " raw " + hex(raw.data(), std::min<size_t>(raw.size(), 64));
  return s;
}

std::string DownlinkRecord::line() const {
  std::string s = fmt_time(tx.at) + " down " + fmt_freq(tx.freq) + " DR" + std::to_string(tx.dr) +
                  " " + tx.what;
  if (!tx.device.empty()) s += " " + tx.device;
  if (tx.what == "beacon") return s + " " + hex(tx.bytes.data(), tx.bytes.size());
  char b[64];
  std::snprintf(b, sizeof b, " DevAddr %08X FCnt %u FCtrl %02X", dev_addr, fcnt, fctrl);
  s += b;
  if (fport)
    s += " port " + std::to_string(*fport) + " payload " + hex(payload.data(), payload.size());
  if (!mac.empty()) s += " MAC " + describe_mac(mac, false);
  const Bytes& f = tx.bytes;
  if (f.size() >= 12) {
    std::snprintf(
        b, sizeof b, " MIC %08X",
        static_cast<unsigned>(f[f.size() - 4] | f[f.size() - 3] << 8 | f[f.size() - 2] << 16 |
                              static_cast<uint32_t>(f[f.size() - 1]) << 24));
    s += b;
  }
  return s;
}

NetworkServer::NetworkServer(RegionId region) : region_(&sim::network::region(region)) {}

NetworkServer::Dev& NetworkServer::dev(const std::string& name) {
  auto it = devs_.find(name);
  if (it == devs_.end()) throw std::invalid_argument("network: no device " + name);
  return it->second;
}
const NetworkServer::Dev& NetworkServer::dev(const std::string& name) const {
  return const_cast<NetworkServer*>(this)->dev(name);
}

void NetworkServer::add_device(const DeviceEntry& entry) {
  if (devs_.count(entry.name))
    throw std::invalid_argument("network: device " + entry.name + " twice");
  Dev d;
  d.entry = entry;
  d.dev_class = entry.dev_class;
  d.rx2_dr = region_->rx2_dr;
  d.rx2_freq = region_->rx2_freq;
  if (!entry.otaa) {
    d.joined = true;
    d.dev_addr = entry.dev_addr;
    d.keys = entry.keys;
    d.keys.v11 = entry.v11;
  }
  devs_[entry.name] = d;
  if (d.joined) by_addr_[d.dev_addr].insert(entry.name);
}

bool NetworkServer::has_device(const std::string& name) const { return devs_.count(name) != 0; }
void NetworkServer::set_window(const std::string& name, Window w) { dev(name).window = w; }
void NetworkServer::set_class(const std::string& name, char c) { dev(name).dev_class = c; }
void NetworkServer::set_ping_periodicity(const std::string& name, uint8_t p) {
  dev(name).ping_periodicity = static_cast<uint8_t>(p & 7);
}

std::optional<uint32_t> NetworkServer::dev_addr(const std::string& name) const {
  const Dev& d = dev(name);
  if (!d.joined) return std::nullopt;
  return d.dev_addr;
}
std::optional<SessionKeys> NetworkServer::session_keys(const std::string& name) const {
  const Dev& d = dev(name);
  if (!d.joined) return std::nullopt;
  return d.keys;
}
uint32_t NetworkServer::fcnt_down(const std::string& name) const { return dev(name).nfcnt_down; }
void NetworkServer::set_fcnt_down(const std::string& name, uint32_t next) {
  dev(name).nfcnt_down = next;
  dev(name).afcnt_down = next;
}

void NetworkServer::queue_downlink(const std::string& name, uint8_t port, const Bytes& payload,
                                   bool confirmed) {
  dev(name).queue.push_back(AppDown{port, payload, confirmed});
  ++app_queued_;
}
void NetworkServer::queue_mac(const std::string& name, const MacCommand& cmd) {
  dev(name).mac_queue.push_back(cmd);
}
size_t NetworkServer::queued(const std::string& name) const { return dev(name).queue.size(); }
const std::vector<MacCommand>& NetworkServer::answers(const std::string& name) const {
  return dev(name).answers;
}
bool NetworkServer::last_confirmed_acked(const std::string& name) const {
  return dev(name).conf_down_acked;
}

void NetworkServer::add_multicast(const Multicast& g) { groups_[g.name] = g; }
size_t NetworkServer::queued_multicast(const std::string& name) const {
  auto it = mc_queue_.find(name);
  return it == mc_queue_.end() ? 0 : it->second.size();
}

std::vector<NetworkServer::DeviceStatus> NetworkServer::device_status() const {
  std::vector<DeviceStatus> out;
  for (const auto& [name, d] : devs_) {
    DeviceStatus s;
    s.name = name;
    s.dev_class = d.dev_class;
    s.joined = d.joined;
    s.dev_addr = d.dev_addr;
    s.fcnt_up = d.last_fcnt_up;
    s.fcnt_down = d.nfcnt_down;
    s.afcnt_down = d.afcnt_down;
    s.v11 = d.keys.v11;
    s.last_rx = d.last_rx;
    s.queued = d.queue.size();
    s.mac_queued = d.mac_queue.size();
    out.push_back(s);
  }
  return out;
}
void NetworkServer::queue_multicast(const std::string& name, uint8_t port, const Bytes& payload) {
  if (!groups_.count(name)) throw std::invalid_argument("network: no multicast group " + name);
  mc_queue_[name].push_back(AppDown{port, payload, false});
}

void NetworkServer::set_port_handler(uint8_t port, PortHandler h) {
  handlers_[port] = std::move(h);
}

void NetworkServer::note(time_us t, const std::string& text) {
  if (t > log_clock_) {
    held_notes_.emplace(t, fmt_time(t) + " " + text);
    return;
  }
  log_.push_back(fmt_time(t) + " " + text);
  if (on_log) on_log(log_.back());
}

void NetworkServer::advance_log(time_us now) {
  if (now > log_clock_) log_clock_ = now;
  while (!held_notes_.empty() && held_notes_.begin()->first <= log_clock_) {
    log_.push_back(std::move(held_notes_.begin()->second));
    held_notes_.erase(held_notes_.begin());
    if (on_log) on_log(log_.back());
  }
}

std::vector<uint32_t> NetworkServer::extra_channels() const {
  std::vector<uint32_t> out;
  for (size_t i = 0; i + 3 <= join_cflist.size() && i < 15; i += 3) {
    uint32_t f = get24(join_cflist, i) * 100;
    if (f) out.push_back(f);
  }
  for (auto& [n, d] : devs_) {
    for (uint32_t f : d.channels) out.push_back(f);
    // A device may use a new channel from the moment it takes it, so the
    // uplink carrying its answer can already come on it.
    for (const MacCommand& c : d.mac_sent)
      if (c.cid == 0x07 && c.data.size() >= 4 && get24(c.data, 1) != 0)
        out.push_back(get24(c.data, 1) * 100);
  }
  return out;
}

// ------------------------------------------------------------------ uplinks --
std::vector<Transmission> NetworkServer::on_uplink(const Bytes& frame, const RxMeta& meta) {
  UplinkRecord rec;
  rec.t = meta.end_us;
  rec.meta = meta;
  rec.raw = frame;
  std::vector<Transmission> out;
  advance_log(meta.end_us);
  if (frame.empty()) {
    rec.status = "empty frame";
  } else if (frame.size() > 255) {
    rec.status = "oversize frame (" + std::to_string(frame.size()) + " bytes)";
  } else {
    rec.mtype = static_cast<MType>(frame[0] >> 5);
    if ((frame[0] & 3) != 0) {
      rec.status = "unknown major version " + std::to_string(frame[0] & 3);
    } else {
      switch (rec.mtype) {
        case MType::kJoinRequest:
          out = on_join(frame, meta, rec);
          break;
        case MType::kUnconfirmedUp:
        case MType::kConfirmedUp:
          out = on_data(frame, meta, rec);
          break;
        case MType::kRejoinRequest:
          out = on_rejoin(frame, meta, rec);
          break;
        case MType::kProprietary:
          rec.status = "proprietary frame";
          break;
        default:
          rec.status = std::string("downlink type ") + mtype_name(rec.mtype) + " in an uplink";
          break;
      }
    }
  }
  uplinks_.push_back(rec);
  note(rec.t, uplinks_.back().line().substr(fmt_time(rec.t).size() + 1));
  return out;
}

Transmission NetworkServer::window_tx(const Dev& d, const RxMeta& meta, bool join,
                                      Bytes bytes) const {
  Transmission tx;
  tx.device = d.entry.name;
  tx.bytes = std::move(bytes);
  time_us delay1 =
      join ? 5000000 : static_cast<time_us>(std::max<uint8_t>(d.rx1_delay, 1)) * 1000000;
  if (d.window == Window::kRx2) {
    tx.at = meta.end_us + delay1 + 1000000;
    tx.freq = join ? region_->rx2_frequency(meta.freq) : d.rx2_freq;
    tx.dr = join ? region_->rx2_dr : d.rx2_dr;
    tx.what = "RX2";
  } else {
    tx.at = meta.end_us + delay1;
    auto it = d.dl_freq.find(meta.channel);
    tx.freq =
        !join && it != d.dl_freq.end() ? it->second : region_->rx1_freq(meta.freq, meta.channel);
    tx.dr = region_->rx1_dr(meta.dr, join ? 0 : d.rx1_dr_offset);
    tx.what = "RX1";
  }
  return tx;
}

void NetworkServer::record_down(const Transmission& tx, uint32_t addr, uint32_t fcnt, uint8_t fctrl,
                                std::optional<uint8_t> port, const Bytes& payload,
                                const std::vector<MacCommand>& mac) {
  DownlinkRecord r;
  r.tx = tx;
  r.dev_addr = addr;
  r.fcnt = fcnt;
  r.fctrl = fctrl;
  r.fport = port;
  r.payload = payload;
  r.mac = mac;
  downlinks_.push_back(r);
  note(tx.at, r.line().substr(fmt_time(tx.at).size() + 1) + " (scheduled)");
}

NetworkServer::Dev* NetworkServer::find_otaa(uint64_t dev_eui) {
  Dev* found = nullptr;
  for (auto& [n, d] : devs_)
    if (d.entry.otaa && d.entry.dev_eui == dev_eui) found = &d;
  return found;
}

std::vector<Transmission> NetworkServer::on_join(const Bytes& frame, const RxMeta& meta,
                                                 UplinkRecord& rec) {
  JoinRequest jr;
  std::string why;
  if (!parse_join_request(frame, &jr, &why)) {
    rec.status = why;
    return {};
  }
  rec.dev_eui = jr.dev_eui;
  rec.dev_nonce = jr.dev_nonce;
  Dev* found = find_otaa(jr.dev_eui);
  if (found == nullptr) {
    rec.status = "unknown DevEUI";
    return {};
  }
  Dev& d = *found;
  rec.device = d.entry.name;
  if (d.entry.join_eui != jr.join_eui) {
    rec.status = "unknown JoinEUI";
    return {};
  }
  const Key& root = d.entry.v11 ? d.entry.nwk_key : d.entry.app_key;
  if (!join_request_mic_ok(frame, root)) {
    rec.status = "MIC";
    return {};
  }
  rec.mic_ok = true;
  if (std::find(d.used_nonces.begin(), d.used_nonces.end(), jr.dev_nonce) != d.used_nonces.end()) {
    rec.status = "DevNonce " + std::to_string(jr.dev_nonce) + " repeated";
    return {};
  }
  if (require_rising_dev_nonce && d.last_dev_nonce && jr.dev_nonce <= *d.last_dev_nonce) {
    rec.status = "DevNonce " + std::to_string(jr.dev_nonce) + " not above " +
                 std::to_string(*d.last_dev_nonce);
    return {};
  }
  d.used_nonces.push_back(jr.dev_nonce);
  d.last_dev_nonce = jr.dev_nonce;
  d.last_rj_count0.reset();
  d.join_nonce = (d.join_nonce + 1) & 0xFFFFFF;
  if (d.dev_addr == 0) d.dev_addr = d.entry.dev_addr ? d.entry.dev_addr : next_dev_addr++;
  d.keys = d.entry.v11 ? derive_keys_11(d.entry.nwk_key, d.entry.app_key, d.join_nonce, jr.join_eui,
                                        jr.dev_nonce)
                       : derive_keys_10(d.entry.app_key, d.join_nonce, net_id, jr.dev_nonce);
  d.joined = true;
  by_addr_[d.dev_addr].insert(d.entry.name);
  d.last_fcnt_up.reset();
  d.last_raw.clear();
  d.nfcnt_down = d.afcnt_down = 0;
  d.mac_sent.clear();
  d.conf_down_fcnt.reset();
  d.rx1_dr_offset = join_rx1_dr_offset & 7;
  d.rx2_dr = static_cast<uint8_t>(join_rx2_dr >= 0 ? join_rx2_dr : region_->rx2_dr);
  d.rx2_freq = region_->rx2_frequency(meta.freq);
  d.join_freq = meta.freq;
  d.rx1_delay = join_rx_delay & 0x0f;
  d.dl_freq.clear();
  d.channels.clear();
  d.cur_dr = meta.dr;
  d.snr_history.clear();
  d.adr_pending = false;
  rec.dev_addr = d.dev_addr;
  rec.accepted = true;
  rec.status = "ok";

  JoinAccept ja;
  ja.join_nonce = d.join_nonce;
  ja.net_id = net_id;
  ja.dev_addr = d.dev_addr;
  ja.dl_settings = static_cast<uint8_t>((d.entry.v11 ? 0x80 : 0) | (d.rx1_dr_offset & 7) << 4 |
                                        (d.rx2_dr & 0x0f));
  ja.rx_delay = join_rx_delay;
  ja.cflist = join_cflist;
  Key mic_key = d.entry.v11 ? js_int_key(d.entry.nwk_key, d.entry.dev_eui) : root;
  Bytes bytes = build_join_accept(ja, mic_key, root, d.entry.v11, 0xFF, jr.join_eui, jr.dev_nonce);
  if (d.window == Window::kNone) {
    rec.status = "ok, not answered";
    return {};
  }
  Transmission tx = window_tx(d, meta, true, bytes);
  d.busy_until = tx.at + 2000000;
  DownlinkRecord r;
  r.tx = tx;
  r.dev_addr = d.dev_addr;
  downlinks_.push_back(r);
  char b[120];
  std::snprintf(b, sizeof b, "down %s DR%u %s JoinAccept %s DevAddr %08X JoinNonce %u (scheduled)",
                fmt_freq(tx.freq).c_str(), tx.dr, tx.what.c_str(), d.entry.name.c_str(), d.dev_addr,
                d.join_nonce);
  note(tx.at, b);
  return {tx};
}

// Rejoin requests (1.1). Type 0 (a new session, radio settings reset) and
// type 2 (new keys only) carry the NetID and are signed with the session's
// SNwkSIntKey; type 1 (a join on top of a session, also to restore a lost
// one) carries the JoinEUI and is signed with JSIntKey. RJcount0 counts
// since the last join accept; RJcount1 over the device's life. The answer is
// a join accept under the join server's JSIntKey and JSEncKey, whose keys
// take the RJcount in place of the DevNonce.
std::vector<Transmission> NetworkServer::on_rejoin(const Bytes& frame, const RxMeta& meta,
                                                   UplinkRecord& rec) {
  auto le = [&frame](size_t at, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | frame[at + static_cast<size_t>(i)];
    return v;
  };
  if (frame.size() < 2) {
    rec.status = "rejoin request of " + std::to_string(frame.size()) + " bytes";
    return {};
  }
  const uint8_t type = frame[1];
  rec.rejoin_type = type;
  if (type > 2) {
    rec.status = "rejoin type " + std::to_string(type) + " unknown";
    return {};
  }
  const size_t size = type == 1 ? 24 : 19;
  if (frame.size() != size) {
    rec.status =
        "rejoin type " + std::to_string(type) + " of " + std::to_string(frame.size()) + " bytes";
    return {};
  }
  rec.dev_eui = le(type == 1 ? 10 : 5, 8);
  const uint16_t count = static_cast<uint16_t>(le(size - 6, 2));
  rec.dev_nonce = count;
  Dev* found = find_otaa(rec.dev_eui);
  if (found == nullptr) {
    rec.status = "unknown DevEUI";
    return {};
  }
  Dev& d = *found;
  rec.device = d.entry.name;
  if (!d.entry.v11) {
    rec.status = "rejoin request from a 1.0 device";
    return {};
  }
  Key mic_key;
  if (type == 1) {
    if (le(2, 8) != d.entry.join_eui) {
      rec.status = "unknown JoinEUI";
      return {};
    }
    mic_key = js_int_key(d.entry.nwk_key, d.entry.dev_eui);
  } else {
    if (!d.joined) {
      rec.status = "rejoin type " + std::to_string(type) + " without a session";
      return {};
    }
    if (get24(frame, 2) != net_id) {
      rec.status = "rejoin for another NetID";
      return {};
    }
    mic_key = d.keys.snwk_s_int;
  }
  const Block mic = aes_cmac(mic_key, frame.data(), size - 4);
  if (!std::equal(mic.begin(), mic.begin() + 4, frame.end() - 4)) {
    rec.status = "MIC";
    return {};
  }
  rec.mic_ok = true;
  std::optional<uint16_t>& last = type == 1 ? d.last_rj_count1 : d.last_rj_count0;
  if (last && count <= *last) {
    rec.status = std::string(type == 1 ? "RJcount1 " : "RJcount0 ") + std::to_string(count) +
                 " not above " + std::to_string(*last);
    return {};
  }
  last = count;
  if (d.window == Window::kNone) {
    rec.status = "ok, not answered";
    return {};
  }
  d.join_nonce = (d.join_nonce + 1) & 0xFFFFFF;
  d.keys = derive_keys_11(d.entry.nwk_key, d.entry.app_key, d.join_nonce, d.entry.join_eui, count);
  d.joined = true;
  if (d.dev_addr == 0) d.dev_addr = d.entry.dev_addr ? d.entry.dev_addr : next_dev_addr++;
  by_addr_[d.dev_addr].insert(d.entry.name);
  d.last_fcnt_up.reset();
  d.last_raw.clear();
  d.nfcnt_down = d.afcnt_down = 0;
  d.mac_sent.clear();
  d.conf_down_fcnt.reset();
  d.last_rj_count0.reset();
  if (type != 2) {  // type 2 keeps the radio settings
    d.rx1_dr_offset = join_rx1_dr_offset & 7;
    d.rx2_dr = static_cast<uint8_t>(join_rx2_dr >= 0 ? join_rx2_dr : region_->rx2_dr);
    d.rx2_freq = region_->rx2_frequency(meta.freq);
    d.join_freq = meta.freq;
    d.rx1_delay = join_rx_delay & 0x0f;
    d.dl_freq.clear();
    d.channels.clear();
  }
  rec.dev_addr = d.dev_addr;
  rec.accepted = true;
  rec.status = "ok";

  JoinAccept ja;
  ja.join_nonce = d.join_nonce;
  ja.net_id = net_id;
  ja.dev_addr = d.dev_addr;
  ja.dl_settings = static_cast<uint8_t>(0x80 | (d.rx1_dr_offset & 7) << 4 | (d.rx2_dr & 0x0f));
  ja.rx_delay = d.rx1_delay;
  if (type != 2) ja.cflist = join_cflist;
  Bytes bytes = build_join_accept(ja, js_int_key(d.entry.nwk_key, d.entry.dev_eui),
                                  js_enc_key(d.entry.nwk_key, d.entry.dev_eui), true, type,
                                  d.entry.join_eui, count);
  Transmission tx = window_tx(d, meta, true, bytes);
  d.busy_until = tx.at + 2000000;
  DownlinkRecord r;
  r.tx = tx;
  r.dev_addr = d.dev_addr;
  downlinks_.push_back(r);
  char b[140];
  std::snprintf(b, sizeof b,
                "down %s DR%u %s JoinAccept (rejoin %u) %s DevAddr %08X JoinNonce %u (scheduled)",
                fmt_freq(tx.freq).c_str(), tx.dr, tx.what.c_str(), type, d.entry.name.c_str(),
                d.dev_addr, d.join_nonce);
  note(tx.at, b);
  return {tx};
}

std::vector<Transmission> NetworkServer::on_data(const Bytes& frame, const RxMeta& meta,
                                                 UplinkRecord& rec) {
  DataFrame df;
  std::string why;
  if (!parse_data_frame(frame, &df, &why)) {
    rec.status = why;
    return {};
  }
  rec.dev_addr = df.dev_addr;
  rec.fctrl = df.fctrl;
  rec.fcnt = df.fcnt;
  rec.fport = df.fport;
  const Bytes msg(frame.begin(), frame.end() - 4);

  Dev* d = nullptr;
  uint32_t fcnt = 0;
  bool any = false;
  bool replay = false;
  // The devices with a session at this address, in the order of their names.
  static const std::set<std::string> kNone;
  auto named = by_addr_.find(df.dev_addr);
  for (const std::string& n : named == by_addr_.end() ? kNone : named->second) {
    Dev& cand = devs_.at(n);
    if (!cand.joined || cand.dev_addr != df.dev_addr) continue;
    any = true;
    uint16_t conf = (df.fctrl & kFCtrlAck) && cand.conf_down_fcnt ? *cand.conf_down_fcnt : 0;
    uint8_t ch = static_cast<uint8_t>(meta.channel < 0 ? 0 : meta.channel);
    const SessionKeys& keys = cand.keys;  // a lambda may not name a structured binding (clang 14)
    auto mic_ok = [&](uint32_t f) {
      return uplink_mic(keys, msg, df.dev_addr, f, conf, meta.dr, ch) == df.mic;
    };
    // The 32-bit counter: the nearest value at or above the last one with
    // these low 16 bits; an older value that verifies is a replay.
    std::vector<std::pair<uint32_t, bool>> tries;  // (fcnt, is_old)
    if (!cand.last_fcnt_up) {
      tries.push_back({df.fcnt, false});
    } else {
      uint32_t last = *cand.last_fcnt_up;
      uint32_t c = (last & 0xFFFF0000u) | df.fcnt;
      if (c >= last) {
        tries.push_back({c, false});
      } else {
        tries.push_back({c, true});
        tries.push_back({c + 0x10000u, false});
      }
    }
    for (auto [f, old] : tries) {
      if (!mic_ok(f)) continue;
      d = &cand;
      fcnt = f;
      replay = old;
      break;
    }
    if (d) break;
  }
  if (!any) {
    rec.status = "unknown DevAddr";
    return {};
  }
  if (d == nullptr) {
    rec.status = "MIC";
    return {};
  }
  rec.device = d->entry.name;
  rec.mic_ok = true;
  rec.fcnt = fcnt;
  bool repeat = false;
  if (replay) {
    rec.status = "replay of FCnt " + std::to_string(fcnt);
    return {};
  }
  if (d->last_fcnt_up && fcnt == *d->last_fcnt_up) {
    if (frame != d->last_raw) {
      rec.status = "replay of FCnt " + std::to_string(fcnt) + " with other content";
      return {};
    }
    repeat = true;
  }
  // Decryption.
  Bytes fopts = df.fopts;
  if (d->keys.v11 && !fopts.empty())
    crypt_fopts(d->keys.nwk_s_enc, false, df.dev_addr, fcnt, fopts, d->entry.fopts_later_form,
                false);
  Bytes mac_raw = fopts;
  if (df.fport) {
    Bytes pl = df.payload;
    if (*df.fport == 0) {
      if (!fopts.empty()) {
        rec.status = "FOpts with port 0";
        return {};
      }
      crypt_payload(d->keys.nwk_s_enc, false, df.dev_addr, fcnt, pl);
      mac_raw = pl;
    } else {
      crypt_payload(d->keys.app_s, false, df.dev_addr, fcnt, pl);
    }
    rec.payload = pl;
  }
  bool mac_ok = true;
  rec.mac = split_mac(mac_raw, true, &mac_ok);
  rec.accepted = true;
  rec.status = repeat ? "repeat" : mac_ok ? "ok" : "ok, MAC commands cut";

  Dev& dv = *d;
  dv.last_fcnt_up = fcnt;
  dv.last_raw = frame;
  dv.cur_dr = meta.dr;
  dv.last_rx = meta;
  if ((df.fctrl & kFCtrlAck) && dv.conf_down_fcnt) {
    dv.conf_down_acked = true;
    dv.conf_down_fcnt.reset();
  }
  if (dv.dev_class != 'C') dv.dev_class = (df.fctrl & kFCtrlClassB) ? 'B' : 'A';

  std::vector<MacCommand> answers;
  bool must = false;
  if (!repeat) handle_mac(dv, rec.mac, meta, answers, &must);
  dv.snr_history.push_back(meta.snr);
  if (dv.snr_history.size() > 20) dv.snr_history.erase(dv.snr_history.begin());
  if (adr && (df.fctrl & kFCtrlAdr) && !repeat) adr_rule(dv, meta);
  if (!repeat && df.fport && *df.fport != 0) {
    auto h = handlers_.find(*df.fport);
    if (h != handlers_.end() && h->second) {
      std::optional<Bytes> reply = h->second(rec);
      if (reply) {
        dv.queue.push_back(AppDown{*df.fport, *reply, false});
        ++app_queued_;
      }
    }
  }

  const bool confirmed = df.mtype == MType::kConfirmedUp;
  const bool adr_ack_req = (df.fctrl & kFCtrlAdrAckReq) != 0;
  // The commands go whole into one downlink of at most 242 bytes of port-0
  // payload (the largest FRMPayload any data rate carries): answers that do
  // not fit are dropped, queued commands wait for the next downlink.
  constexpr size_t kMaxMacPayload = 242;
  std::vector<MacCommand> cmds;
  size_t mac_len = 0;
  size_t dropped = 0;
  for (const MacCommand& c : answers) {
    if (mac_len + 1 + c.data.size() > kMaxMacPayload) {
      ++dropped;
      continue;
    }
    mac_len += 1 + c.data.size();
    cmds.push_back(c);
  }
  if (dropped != 0)
    note(meta.end_us, std::to_string(dropped) + " answers to " + dv.entry.name +
                          " left out: they do not fit one downlink");
  size_t queued_taken = 0;
  for (const MacCommand& c : dv.mac_queue) {
    if (mac_len + 1 + c.data.size() > kMaxMacPayload) break;
    mac_len += 1 + c.data.size();
    cmds.push_back(c);
    ++queued_taken;
  }
  if (!(confirmed || adr_ack_req || must || !cmds.empty() || !dv.queue.empty())) return {};
  if (dv.window == Window::kNone) {
    note(meta.end_us, "no answer to " + dv.entry.name + " (silent)");
    return {};
  }
  Bytes mac = mac_bytes(cmds);
  std::optional<uint8_t> port;
  Bytes payload;
  Bytes fopts_out;
  bool conf_down = false;
  if (mac.size() > 15) {
    port = 0;
    payload = mac;
  } else {
    fopts_out = mac;
    if (!dv.queue.empty()) {
      port = dv.queue.front().port;
      payload = dv.queue.front().payload;
      conf_down = dv.queue.front().confirmed;
      dv.queue.pop_front();
      --app_queued_;
    }
  }
  dv.mac_sent.insert(dv.mac_sent.end(), dv.mac_queue.begin(),
                     dv.mac_queue.begin() + static_cast<long>(queued_taken));
  dv.mac_queue.erase(dv.mac_queue.begin(), dv.mac_queue.begin() + static_cast<long>(queued_taken));
  uint8_t fctrl =
      static_cast<uint8_t>((confirmed ? kFCtrlAck : 0) | (dv.queue.empty() ? 0 : kFCtrlFPending) |
                           (adr ? kFCtrlAdr : 0));
  uint32_t fcnt_used = 0;
  Bytes bytes =
      encode_down(dv, conf_down ? MType::kConfirmedDown : MType::kUnconfirmedDown, fctrl, fopts_out,
                  port, payload, confirmed ? static_cast<uint16_t>(fcnt) : 0, &fcnt_used);
  Transmission tx = window_tx(dv, meta, false, bytes);
  dv.busy_until = tx.at + 2000000;
  record_down(tx, dv.dev_addr, fcnt_used, fctrl, port, payload, cmds);
  return {tx};
}

Bytes NetworkServer::encode_down(Dev& d, MType mtype, uint8_t fctrl, const Bytes& fopts,
                                 std::optional<uint8_t> port, const Bytes& payload,
                                 uint16_t conf_fcnt, uint32_t* fcnt_used) {
  FrameParams p;
  p.mtype = mtype;
  p.dev_addr = d.dev_addr;
  p.fctrl = fctrl;
  p.fopts = fopts;
  p.fport = port;
  p.payload = payload;
  p.conf_fcnt = conf_fcnt;
  p.fopts_later_form = d.entry.fopts_later_form;
  bool app = d.keys.v11 && port && *port != 0;
  p.fcnt = app ? d.afcnt_down++ : d.nfcnt_down++;
  if (!d.keys.v11) d.afcnt_down = d.nfcnt_down;
  *fcnt_used = p.fcnt;
  if (mtype == MType::kConfirmedDown) {
    d.conf_down_fcnt = static_cast<uint16_t>(p.fcnt);
    d.conf_down_acked = false;
  }
  return build_data_frame(d.keys, p);
}

void NetworkServer::handle_mac(Dev& d, const std::vector<MacCommand>& cmds, const RxMeta& meta,
                               std::vector<MacCommand>& answers, bool* must) {
  auto sent = [&d](uint8_t cid) -> std::optional<MacCommand> {
    for (auto it = d.mac_sent.begin(); it != d.mac_sent.end(); ++it)
      if (it->cid == cid) {
        MacCommand c = *it;
        d.mac_sent.erase(it);
        return c;
      }
    return std::nullopt;
  };
  for (const MacCommand& c : cmds) {
    const uint8_t v = c.data.empty() ? 0 : c.data[0];
    switch (c.cid) {
      case 0x01:  // ResetInd
        answers.push_back(mac::reset_conf(std::min<uint8_t>(v, 1)));
        break;
      case 0x02: {  // LinkCheckReq
        const DataRate& dr = region_->dr[meta.dr & 15];
        double margin =
            meta.snr - (dr.fsk() ? kFskSnrFloorDb : lora_snr_floor(dr.defined() ? dr.sf : 12));
        answers.push_back(
            MacCommand{0x02, {static_cast<uint8_t>(std::clamp(margin, 0.0, 254.0)), 1}});
        break;
      }
      case 0x0B:  // RekeyInd
        answers.push_back(mac::rekey_conf(std::min<uint8_t>(v, 1)));
        break;
      case 0x0D: {  // DeviceTimeReq: GPS time of the end of the uplink
        uint64_t g = gps_us(meta.end_us);
        uint32_t s = static_cast<uint32_t>(g / 1000000);
        uint8_t frac = static_cast<uint8_t>((g % 1000000) * 256 / 1000000);
        answers.push_back(
            MacCommand{0x0D,
                       {static_cast<uint8_t>(s), static_cast<uint8_t>(s >> 8),
                        static_cast<uint8_t>(s >> 16), static_cast<uint8_t>(s >> 24), frac}});
        break;
      }
      case 0x10:  // PingSlotInfoReq
        d.ping_periodicity = static_cast<uint8_t>(v & 7);
        answers.push_back(MacCommand{0x10, {}});
        break;
      case 0x12: {  // BeaconTimingReq: 30 ms units to the next beacon, its channel
        uint64_t g = gps_us(meta.end_us);
        uint64_t next = (g / 128000000 + 1) * 128000000;
        uint32_t delay = static_cast<uint32_t>((next - g) / 30000);
        uint32_t bt = static_cast<uint32_t>(next / 1000000);
        uint8_t ch = region_->beacon_step ? static_cast<uint8_t>((bt / 128) % 8) : 0;
        answers.push_back(
            MacCommand{0x12, {static_cast<uint8_t>(delay), static_cast<uint8_t>(delay >> 8), ch}});
        break;
      }
      case 0x20:  // DeviceModeInd
        d.dev_class = v == 2 ? 'C' : 'A';
        answers.push_back(mac::device_mode_conf(v));
        break;
      default: {
        // An answer to one of the network's commands.
        d.answers.push_back(c);
        std::optional<MacCommand> req = sent(c.cid);
        if (!req) break;
        const Bytes& q = req->data;
        switch (c.cid) {
          case 0x03:
            d.adr_pending = false;
            if ((v & 7) == 7) d.cur_dr = static_cast<uint8_t>(q[0] >> 4);
            break;
          case 0x05:
            if ((v & 7) == 7) {
              d.rx1_dr_offset = static_cast<uint8_t>((q[0] >> 4) & 7);
              d.rx2_dr = q[0] & 0x0f;
              d.rx2_freq = get24(q, 1) * 100;
            }
            break;
          case 0x07:
            if ((v & 3) == 3) d.channels.push_back(get24(q, 1) * 100);
            break;
          case 0x08:
            d.rx1_delay = q[0] & 0x0f;
            break;
          case 0x0A:
            if ((v & 3) == 3) d.dl_freq[q[0]] = get24(q, 1) * 100;
            break;
          case 0x11:
            if ((v & 3) == 3) {
              d.ping_freq = get24(q, 0) * 100;
              d.ping_dr = q[3] & 0x0f;
            }
            break;
          default:
            break;
        }
        break;
      }
    }
  }
  *must = !answers.empty();
}

void NetworkServer::adr_rule(Dev& d, const RxMeta& meta) {
  if (d.adr_pending || d.snr_history.empty()) return;
  double best = *std::max_element(d.snr_history.begin(), d.snr_history.end());
  const DataRate& dr = region_->dr[meta.dr & 15];
  if (!dr.defined()) return;
  int steps = static_cast<int>(std::floor((best - lora_snr_floor(dr.sf) - 10.0) / 3.0));
  int max_dr = 0;
  for (int i = 0; i < 8; ++i)
    if (region_->dr[i].defined() && region_->dr[i].bw == 125000) max_dr = i;
  int target = std::min(max_dr, meta.dr + std::max(steps, 0));
  if (target <= meta.dr) return;
  uint16_t mask;
  uint8_t cntl;
  if (region_->fixed_plan) {
    mask = 0x00FF;  // with ChMaskCntl 6: every 125 kHz channel on
    cntl = 6;
  } else {
    size_t n = std::min<size_t>(16, region_->channels.size() + extra_channels().size());
    mask = static_cast<uint16_t>((1u << n) - 1);
    cntl = 0;
  }
  d.mac_queue.push_back(mac::link_adr_req(static_cast<uint8_t>(target), 0, mask, cntl, 1));
  d.adr_pending = true;
}

// ------------------------------------------------------ class B, C, multicast --
time_us NetworkServer::next_ping_slot(time_us from, uint32_t address, uint8_t periodicity,
                                      uint32_t* beacon_time) const {
  const uint32_t period = 1u << (5 + (periodicity & 7));
  const uint32_t slots = 4096 / period;
  const uint64_t g = gps_us(from);
  for (uint64_t k = g / 128000000;; ++k) {
    const uint32_t bt = static_cast<uint32_t>(k * 128);
    const uint32_t off = ping_offset(bt, address, period);
    for (uint32_t n = 0; n < slots; ++n) {
      uint64_t at = k * 128000000 + 2120000 + static_cast<uint64_t>(off + n * period) * 30000;
      if (at >= g) {
        if (beacon_time) *beacon_time = bt;
        return at - gps_offset_us;
      }
    }
  }
}

bool NetworkServer::has_spontaneous() const {
  // Asked before every step of the world: the devices are looked at only
  // while some downlink waits.
  if (app_queued_ != 0)
    for (auto& [n, d] : devs_)
      if (d.joined && !d.queue.empty() &&
          (d.dev_class == 'C' || (d.dev_class == 'B' && d.ping_periodicity)))
        return true;
  for (auto& [n, q] : mc_queue_)
    if (!q.empty()) return true;
  return false;
}

std::vector<Transmission> NetworkServer::take_spontaneous(time_us now) {
  advance_log(now);
  std::vector<Transmission> out;
  auto schedule = [&](const std::string& device, char cls, uint32_t addr, uint8_t periodicity,
                      uint32_t freq, int dr, time_us& free_at, const std::string& what,
                      uint32_t join_freq) {
    Transmission tx;
    tx.device = device;
    tx.what = what;
    time_us from = std::max(now, free_at);
    if (cls == 'B') {
      uint32_t bt = 0;
      tx.at = next_ping_slot(from, addr, periodicity, &bt);
      tx.freq = freq ? freq : region_->ping_frequency(addr, bt, join_freq);
      tx.dr = static_cast<uint8_t>(dr >= 0 ? dr : region_->ping_dr);
      free_at = tx.at + 1;
    } else {
      tx.at = from;
      tx.freq = freq ? freq : region_->rx2_freq;
      tx.dr = static_cast<uint8_t>(dr >= 0 ? dr : region_->rx2_dr);
    }
    return tx;
  };
  for (auto& [name, d] : devs_) {
    bool b = d.dev_class == 'B' && d.ping_periodicity;
    if (!d.joined || d.queue.empty() || !(d.dev_class == 'C' || b)) continue;
    while (!d.queue.empty()) {
      AppDown a = d.queue.front();
      d.queue.pop_front();
      --app_queued_;
      Transmission tx = b ? schedule(name, 'B', d.dev_addr, *d.ping_periodicity, d.ping_freq,
                                     d.ping_dr, d.busy_until, "ping slot", d.join_freq)
                          : schedule(name, 'C', d.dev_addr, 0, d.rx2_freq, d.rx2_dr, d.busy_until,
                                     "class C", d.join_freq);
      uint8_t fctrl = d.queue.empty() ? 0 : kFCtrlFPending;
      uint32_t fcnt = 0;
      tx.bytes = encode_down(d, a.confirmed ? MType::kConfirmedDown : MType::kUnconfirmedDown,
                             fctrl, {}, a.port, a.payload, 0, &fcnt);
      if (!b) d.busy_until = tx.at + toa(*region_, tx.dr, tx.bytes.size()) + 50000;
      record_down(tx, d.dev_addr, fcnt, fctrl, a.port, a.payload, {});
      out.push_back(tx);
    }
  }
  for (auto& [name, q] : mc_queue_) {
    Multicast& g = groups_[name];
    time_us free_at = now;
    while (!q.empty()) {
      AppDown a = q.front();
      q.pop_front();
      Transmission tx = schedule("", g.group_class, g.addr, g.periodicity, g.freq, g.dr, free_at,
                                 "multicast " + name, 0);
      SessionKeys k = abp_keys_10(g.nwk_s_key, g.app_s_key);
      FrameParams p;
      p.mtype = MType::kUnconfirmedDown;
      p.dev_addr = g.addr;
      p.fcnt = g.fcnt++;
      p.fport = a.port;
      p.payload = a.payload;
      tx.bytes = build_data_frame(k, p);
      if (g.group_class != 'B') free_at = tx.at + toa(*region_, tx.dr, tx.bytes.size()) + 50000;
      record_down(tx, g.addr, p.fcnt, 0, a.port, a.payload, {});
      out.push_back(tx);
    }
  }
  return out;
}

// ---------------------------------------------------------------- commands --
namespace mac {
namespace {
Bytes freq24(uint32_t hz) {
  Bytes b;
  put24(b, hz / 100);
  return b;
}
}  // namespace

MacCommand link_adr_req(uint8_t dr, uint8_t tx_power, uint16_t ch_mask, uint8_t ch_mask_cntl,
                        uint8_t nb_trans) {
  return MacCommand{0x03,
                    {static_cast<uint8_t>((dr & 0x0f) << 4 | (tx_power & 0x0f)),
                     static_cast<uint8_t>(ch_mask), static_cast<uint8_t>(ch_mask >> 8),
                     static_cast<uint8_t>((ch_mask_cntl & 7) << 4 | (nb_trans & 0x0f))}};
}
MacCommand duty_cycle_req(uint8_t v) { return MacCommand{0x04, {static_cast<uint8_t>(v & 0x0f)}}; }
MacCommand rx_param_setup_req(uint8_t off, uint8_t rx2_dr, uint32_t freq) {
  Bytes b{static_cast<uint8_t>((off & 7) << 4 | (rx2_dr & 0x0f))};
  Bytes f = freq24(freq);
  b.insert(b.end(), f.begin(), f.end());
  return MacCommand{0x05, b};
}
MacCommand dev_status_req() { return MacCommand{0x06, {}}; }
MacCommand new_channel_req(uint8_t index, uint32_t freq, uint8_t min_dr, uint8_t max_dr) {
  Bytes b{index};
  Bytes f = freq24(freq);
  b.insert(b.end(), f.begin(), f.end());
  b.push_back(static_cast<uint8_t>((max_dr & 0x0f) << 4 | (min_dr & 0x0f)));
  return MacCommand{0x07, b};
}
MacCommand rx_timing_setup_req(uint8_t d) {
  return MacCommand{0x08, {static_cast<uint8_t>(d & 0x0f)}};
}
MacCommand tx_param_setup_req(bool down_dwell, bool up_dwell, uint8_t eirp) {
  return MacCommand{
      0x09,
      {static_cast<uint8_t>((down_dwell ? 0x20 : 0) | (up_dwell ? 0x10 : 0) | (eirp & 0x0f))}};
}
MacCommand dl_channel_req(uint8_t index, uint32_t freq) {
  Bytes b{index};
  Bytes f = freq24(freq);
  b.insert(b.end(), f.begin(), f.end());
  return MacCommand{0x0A, b};
}
MacCommand ping_slot_channel_req(uint32_t freq, uint8_t dr) {
  Bytes b = freq24(freq);
  b.push_back(static_cast<uint8_t>(dr & 0x0f));
  return MacCommand{0x11, b};
}
MacCommand beacon_freq_req(uint32_t freq) { return MacCommand{0x13, freq24(freq)}; }
MacCommand adr_param_setup_req(uint8_t limit_exp, uint8_t delay_exp) {
  return MacCommand{0x0C, {static_cast<uint8_t>((limit_exp & 0x0f) << 4 | (delay_exp & 0x0f))}};
}
MacCommand force_rejoin_req(uint8_t period, uint8_t max_retries, uint8_t type, uint8_t dr,
                            bool byte_fields) {
  if (byte_fields)
    return MacCommand{0x0E,
                      {static_cast<uint8_t>((max_retries & 7) | (period & 7) << 3),
                       static_cast<uint8_t>((dr & 0x0f) | (type & 7) << 4)}};
  uint16_t v = static_cast<uint16_t>((period & 7) << 11 | (max_retries & 7) << 8 | (type & 7) << 4 |
                                     (dr & 0x0f));
  return MacCommand{0x0E, {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}};
}
MacCommand rejoin_param_setup_req(uint8_t t, uint8_t c) {
  return MacCommand{0x0F, {static_cast<uint8_t>((t & 0x0f) << 4 | (c & 0x0f))}};
}
MacCommand rekey_conf(uint8_t v) { return MacCommand{0x0B, {v}}; }
MacCommand device_mode_conf(uint8_t c) { return MacCommand{0x20, {c}}; }
MacCommand reset_conf(uint8_t v) { return MacCommand{0x01, {v}}; }
}  // namespace mac

}  // namespace sim::network
