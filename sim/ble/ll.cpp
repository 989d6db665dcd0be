// The link layer: see sim/ble_ll.h.
#include <algorithm>
#include <cstring>

#include "sim/ble_ll.h"

namespace sim::ble {

namespace {

// Slack after T_IFS before a receiver gives up on a reply that has not begun.
constexpr time_us kListenSlackUs = 40;
// Gap between the packets of one advertising event on two channels.
constexpr time_us kAdvChannelGapUs = 200;
// Longest data packet: preamble, access address, header, payload, CRC.
constexpr time_us kMaxDataPacketUs = (1 + 4 + 2 + kMaxDataPayload + 3) * 8;
// Connection events before a connection counts as failed to establish.
constexpr uint32_t kEstablishEvents = 6;

bool adv_type_ok(uint8_t t) { return t == kAdvInd || t == kAdvNonconnInd || t == kAdvScanInd; }

void put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

AirFrame pdu_frame(uint8_t channel, uint32_t access_address, const Bytes& pdu, time_us start,
                   int8_t tx_power_dbm) {
  AirFrame f{};
  f.phy = Phy::kBle;
  f.modem = Modem::kFsk;
  f.frequency_hz = channel_frequency_hz(channel);
  f.bitrate = kBitrate;
  f.fdev_hz = 250000;
  f.bandwidth_hz = 1000000;
  f.preamble_len = 1;
  for (int i = 0; i < 4; ++i) f.fsk_sync[i] = static_cast<uint8_t>(access_address >> (8 * i));
  f.fsk_sync_len = 4;
  f.crc_on = true;
  f.tx_power_dbm = tx_power_dbm;
  size_t n = std::min(pdu.size(), sizeof f.payload);
  f.len = static_cast<uint16_t>(n);
  std::memcpy(f.payload, pdu.data(), n);
  f.start_us = start;
  f.end_us = start + time_on_air_us(n);
  return f;
}

Bytes encode_connect_ind(const ConnectInd& c) {
  Bytes b;
  b.reserve(36);  // also keeps GCC 12's -O3 bounds check from a false alarm
  b.push_back(
      static_cast<uint8_t>(kConnectInd | (c.init_random ? 0x40 : 0) | (c.adv_random ? 0x80 : 0)));
  b.push_back(34);
  b.insert(b.end(), c.init.begin(), c.init.end());
  b.insert(b.end(), c.adv.begin(), c.adv.end());
  const ConnectionParams& p = c.params;
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(p.access_address >> (8 * i)));
  b.insert(b.end(), {0x55, 0x55, 0x55});  // CRC init
  b.push_back(p.window_size);
  put16(b, p.window_offset);
  put16(b, p.interval);
  put16(b, p.latency);
  put16(b, p.timeout);
  b.insert(b.end(), {0xFF, 0xFF, 0xFF, 0xFF, 0x1F});  // every data channel used
  b.push_back(static_cast<uint8_t>(p.hop & 0x1F));    // SCA 0
  return b;
}

bool decode_connect_ind(const uint8_t* pdu, size_t len, ConnectInd* c) {
  if (len != 36 || (pdu[0] & 0x0F) != kConnectInd || pdu[1] != 34) return false;
  c->init_random = pdu[0] & 0x40;
  c->adv_random = pdu[0] & 0x80;
  std::copy(pdu + 2, pdu + 8, c->init.begin());
  std::copy(pdu + 8, pdu + 14, c->adv.begin());
  const uint8_t* d = pdu + 14;
  ConnectionParams& p = c->params;
  p.access_address = static_cast<uint32_t>(d[0] | (d[1] << 8) | (d[2] << 16)) |
                     (static_cast<uint32_t>(d[3]) << 24);
  p.window_size = d[7];
  p.window_offset = get16(d + 8);
  p.interval = get16(d + 10);
  p.latency = get16(d + 12);
  p.timeout = get16(d + 14);
  p.hop = d[21] & 0x1F;
  return p.hop >= 5 && p.hop <= 16 && p.window_size >= 1 && LinkLayer::usable(p);
}

bool LinkLayer::usable(const ConnectionParams& p) {
  // Values a link cannot run with: the supervision timeout must cover two
  // intervals of every latency.
  return p.interval >= 6 && p.interval <= 3200 && p.latency <= 499 && p.timeout >= 10 &&
         p.timeout <= 3200 &&
         static_cast<uint64_t>(p.timeout) * kUnit10ms >
             2ull * (1u + p.latency) * p.interval * kUnit1250;
}

Bytes encode_scan_req(const Address& scanner, bool scanner_random, const Address& adv,
                      bool adv_random) {
  Bytes b;
  b.reserve(14);  // also keeps GCC 12's -O3 bounds check from a false alarm
  b.push_back(
      static_cast<uint8_t>(kScanReq | (scanner_random ? 0x40 : 0) | (adv_random ? 0x80 : 0)));
  b.push_back(12);
  b.insert(b.end(), scanner.begin(), scanner.end());
  b.insert(b.end(), adv.begin(), adv.end());
  return b;
}

uint8_t next_data_channel(uint8_t last_unmapped, uint8_t hop) {
  return static_cast<uint8_t>((last_unmapped + hop) % 37);
}

std::array<uint8_t, 8> key_check(const std::array<uint8_t, 16>& key) {
  // FNV-1a over the key, twice with different offsets: not secret, only a
  // comparison of what the two ends hold.
  std::array<uint8_t, 8> out{};
  for (int half = 0; half < 2; ++half) {
    uint32_t h = half ? 0x811C9DC5u : 0x01000193u;
    for (uint8_t b : key) h = (h ^ b) * 0x01000193u;
    for (int i = 0; i < 4; ++i) out[half * 4 + i] = static_cast<uint8_t>(h >> (8 * i));
  }
  return out;
}

// ---------------------------------------------------------------------------

LinkLayer::LinkLayer(Radio& radio, const Address& address, bool random_address)
    : radio_(radio), address_(address), random_(random_address) {
  seed_ = 0x2545F491u ^ radio.device_id();
  for (uint8_t b : address) seed_ = seed_ * 31u + b;
  if (!seed_) seed_ = 1;
  radio_.set_client(this);
}

LinkLayer::~LinkLayer() {
  radio_.set_timer(kNever);
  radio_.stop_listening();
  radio_.set_client(nullptr);
}

void LinkLayer::attach_radio() { radio_.set_client(this); }

void LinkLayer::reset() {
  go_standby();
  tx_.clear();
  in_flight_ = false;
  encrypted_ = have_key_ = false;
  terminate_sent_ = terminate_acked_ = peer_terminated_ = false;
  update_pending_ = instant_passed_ = false;
}

uint32_t LinkLayer::rand_u32() {
  seed_ ^= seed_ << 13;
  seed_ ^= seed_ >> 17;
  seed_ ^= seed_ << 5;
  return seed_;
}

bool LinkLayer::set_address(const Address& address, bool random) {
  if (state_ != State::kStandby) return false;
  address_ = address;
  random_ = random;
  return true;
}

int LinkLayer::free_acl_buffers() const {
  int used = 0;
  for (const Pdu& p : tx_) used += p.acl ? 1 : 0;
  return std::max(0, acl_buffers_ - used);
}

void LinkLayer::set_step(Step step, time_us at) {
  step_ = step;
  step_at_ = at;
  radio_.set_timer(at);
}

void LinkLayer::go_standby() {
  radio_.stop_listening();
  set_step(Step::kIdle, kNever);
  state_ = State::kStandby;
  role_ = Role::kNone;
  initiating_ = false;
}

// ------------------------------------------------------------ advertising --

bool LinkLayer::start_advertising(const AdvParams& params) {
  if (state_ != State::kStandby || !adv_type_ok(params.type) ||
      params.adv_data.size() > kMaxAdvData || params.scan_rsp_data.size() > kMaxAdvData ||
      params.interval < 32)
    return false;
  adv_ = params;
  state_ = State::kAdvertising;
  adv_until_ = params.duration_us ? radio_.now() + params.duration_us : kNever;
  adv_next_event(radio_.now());
  return true;
}

void LinkLayer::set_advertising_data(const Bytes& adv_data, const Bytes& scan_rsp_data) {
  if (adv_data.size() > kMaxAdvData || scan_rsp_data.size() > kMaxAdvData) return;
  adv_.adv_data = adv_data;
  adv_.scan_rsp_data = scan_rsp_data;
}

void LinkLayer::stop_advertising() {
  if (state_ == State::kAdvertising) go_standby();
}

void LinkLayer::adv_next_event(time_us at) {
  adv_event_start_ = at;
  adv_channel_ = 37;
  set_step(Step::kAdvTx, at);
}

void LinkLayer::adv_transmit() {
  if (adv_channel_ == 37) {
    if (radio_.now() >= adv_until_) {
      go_standby();
      if (host_) host_->ll_advertising_ended(kAdvertisingTimeout);
      return;
    }
    ++adv_events_;
  }
  Advertisement a;
  a.type = adv_.type;
  a.random_address = random_;
  a.address = address_;
  a.data = adv_.adv_data;
  Bytes pdu = encode(a);
  time_us end = radio_.now() + time_on_air_us(pdu.size());
  radio_.transmit(adv_channel_, kAdvertisingAccessAddress, pdu, radio_.now(), tx_power_);
  if (adv_.type == kAdvNonconnInd)
    adv_next_channel(end);
  else
    set_step(Step::kAdvListenOpen, end);
}

void LinkLayer::adv_next_channel(time_us after) {
  radio_.stop_listening();
  if (adv_channel_ < 39) {
    ++adv_channel_;
    set_step(Step::kAdvTx, after + kAdvChannelGapUs);
    return;
  }
  time_us next = adv_event_start_ + adv_.interval * kUnit625 + rand_u32() % (kMaxAdvDelayUs + 1);
  adv_next_event(std::max(next, after + kAdvChannelGapUs));
}

void LinkLayer::adv_received(const Radio::Rx& rx) {
  const uint8_t type = rx.pdu[0] & 0x0F;
  const bool for_us_addr_type = ((rx.pdu[0] & 0x80) != 0) == random_;
  if (type == kScanReq && rx.len == 14 && rx.pdu[1] == 12 && adv_.type != kAdvNonconnInd &&
      for_us_addr_type && std::equal(address_.begin(), address_.end(), rx.pdu + 8)) {
    set_step(Step::kAdvRspTx, rx.end + kTifsUs);
    return;
  }
  ConnectInd c;
  if (type == kConnectInd && adv_.type == kAdvInd && decode_connect_ind(rx.pdu, rx.len, &c) &&
      c.adv == address_ && c.adv_random == random_) {
    enter_connection(Role::kPeripheral, c, rx.end);
    return;
  }
  adv_next_channel(rx.end);
}

// --------------------------------------------------------------- scanning --

bool LinkLayer::start_scanning(const ScanParams& params) {
  if (state_ != State::kStandby || params.interval < 4) return false;
  scan_ = params;
  state_ = State::kScanning;
  initiating_ = false;
  scan_channel_ = 37;
  scan_switch_at_ = radio_.now() + scan_.interval * kUnit625;
  scan_listen();
  return true;
}

void LinkLayer::stop_scanning() {
  if (state_ == State::kScanning) go_standby();
}

bool LinkLayer::connect(const Address& peer, const ConnectionParams& params,
                        const ScanParams& scan) {
  if (state_ != State::kStandby || !start_scanning(scan)) return false;
  state_ = State::kInitiating;
  initiating_ = true;
  connect_peer_ = peer;
  connect_params_ = params;
  return true;
}

void LinkLayer::cancel_connect() {
  if (state_ == State::kInitiating) go_standby();
}

void LinkLayer::scan_listen() {
  time_us now = radio_.now();
  while (scan_switch_at_ <= now) {
    scan_channel_ = scan_channel_ == 39 ? 37 : static_cast<uint8_t>(scan_channel_ + 1);
    scan_switch_at_ += scan_.interval * kUnit625;
  }
  radio_.listen(scan_channel_, kAdvertisingAccessAddress);
  set_step(Step::kScanSwitch, scan_switch_at_);
}

void LinkLayer::scan_received(const Radio::Rx& rx) {
  const bool waiting_rsp =
      step_ == Step::kReceiving && scan_target_ != Address{} && (rx.pdu[0] & 0x0F) == kScanRsp;
  Advertisement a;
  if (!decode(rx.pdu, rx.len, &a)) return scan_listen();
  if (a.type == kScanRsp) {
    if (waiting_rsp && a.address == scan_target_ && host_)
      host_->ll_report({kScanRsp, a.address, a.random_address, a.data, rx.rssi_dbm, rx.end});
    scan_target_ = {};
    return scan_listen();
  }
  if (host_) host_->ll_report({a.type, a.address, a.random_address, a.data, rx.rssi_dbm, rx.end});
  if (initiating_) {
    if (a.type == kAdvInd && a.address == connect_peer_) {
      pending_connect_ = {};
      pending_connect_.init = address_;
      pending_connect_.init_random = random_;
      pending_connect_.adv = a.address;
      pending_connect_.adv_random = a.random_address;
      pending_connect_.params = connect_params_;
      radio_.stop_listening();
      set_step(Step::kConnectTx, rx.end + kTifsUs);
      return;
    }
  } else if (scan_.active && (a.type == kAdvInd || a.type == kAdvScanInd)) {
    scan_target_ = a.address;
    pending_connect_.adv_random = a.random_address;  // for the request's RxAdd
    radio_.stop_listening();
    set_step(Step::kScanReqTx, rx.end + kTifsUs);
    return;
  }
  scan_listen();
}

// ------------------------------------------------------------- connection --

void LinkLayer::enter_connection(Role role, const ConnectInd& c, time_us connect_end) {
  radio_.stop_listening();
  state_ = State::kConnected;
  role_ = role;
  initiating_ = false;
  conn_ = {};
  conn_.role = role;
  conn_.peer = role == Role::kCentral ? c.adv : c.init;
  conn_.peer_random = role == Role::kCentral ? c.adv_random : c.init_random;
  conn_.params = c.params;
  sn_ = nesn_ = 0;
  peer_md_ = false;
  in_flight_ = in_flight_empty_ = false;
  tx_.clear();
  established_ = false;
  last_unmapped_ = 0;
  event_counter_ = 0;
  encrypted_ = have_key_ = false;
  terminate_sent_ = terminate_acked_ = peer_terminated_ = false;
  update_pending_ = instant_passed_ = false;
  conn_start_ = connect_end;
  anchor_ = connect_end + kUnit1250 + c.params.window_offset * kUnit1250;
  last_sync_ = connect_end;
  first_window_ = c.params.window_size * kUnit1250;
  if (host_) host_->ll_connected(conn_);
  if (state_ == State::kConnected) start_event();
}

void LinkLayer::start_event() {
  channel_ = next_data_channel(last_unmapped_, conn_.params.hop);
  last_unmapped_ = channel_;
  event_first_rx_ = true;
  if (role_ == Role::kCentral) {
    set_step(Step::kCentralTx, anchor_);
  } else {
    // Window widening for both sleep clocks (500 ppm together).
    time_us w = 32 + (anchor_ - last_sync_) / 2000;
    window_close_ = anchor_ + w + first_window_;
    set_step(Step::kPeriphOpen, anchor_ > w ? anchor_ - w : 0);
  }
}

Bytes LinkLayer::next_tx_pdu(bool* md_out) {
  if (!in_flight_) {
    in_flight_ = true;
    in_flight_empty_ = tx_.empty();
  }
  const size_t waiting = tx_.size() - (in_flight_empty_ ? 0 : 1);
  const bool md = waiting > 0;
  *md_out = md;
  const uint8_t llid = in_flight_empty_ ? uint8_t{kLlidContinuation} : tx_.front().llid;
  const size_t n = in_flight_empty_ ? 0 : tx_.front().data.size();
  Bytes pdu(2 + n);
  pdu[0] = static_cast<uint8_t>(llid | (nesn_ << 2) | (sn_ << 3) | (md ? 0x10 : 0));
  pdu[1] = static_cast<uint8_t>(n);
  if (n) std::memcpy(pdu.data() + 2, tx_.front().data.data(), n);
  return pdu;
}

bool LinkLayer::conn_received(const Radio::Rx& rx) {
  if (rx.len < 2 || rx.pdu[1] != rx.len - 2 || rx.pdu[1] > kMaxDataPayload) return false;
  const uint8_t h = rx.pdu[0];
  const uint8_t llid = h & 3;
  const uint8_t peer_nesn = (h >> 2) & 1;
  const uint8_t peer_sn = (h >> 3) & 1;
  if (llid == 0) return false;
  last_rx_ = rx.end;
  established_ = true;
  peer_md_ = (h >> 4) & 1;
  int completed = 0;
  if (in_flight_ && peer_nesn != sn_) {
    sn_ ^= 1;
    in_flight_ = false;
    if (!in_flight_empty_ && !tx_.empty()) {
      const Pdu& p = tx_.front();
      if (p.acl) ++completed;
      if (p.llid == kLlidControl && !p.data.empty() && p.data[0] == kLlTerminateInd)
        terminate_acked_ = true;
      tx_.pop_front();
    }
  }
  if (peer_sn == nesn_) {
    nesn_ ^= 1;
    const uint8_t* d = rx.pdu + 2;
    const size_t n = rx.pdu[1];
    if (llid == kLlidControl) {
      if (n) handle_control(d, n);
    } else if (n || llid == kLlidStart) {
      if (host_ && !peer_terminated_) host_->ll_acl(llid, d, n);
    }
  }
  if (completed && host_) host_->ll_completed(completed);
  return true;
}

void LinkLayer::handle_control(const uint8_t* d, size_t n) {
  auto queue = [this](Bytes b) { tx_.push_back({kLlidControl, std::move(b), false}); };
  switch (d[0]) {
    case kLlTerminateInd:
      peer_terminated_ = true;
      peer_terminate_reason_ = n > 1 ? d[1] : uint8_t{kRemoteUserTerminated};
      break;
    case kLlEncReq: {
      if (role_ != Role::kPeripheral) break;
      std::array<uint8_t, 8> want = key_check(key_);
      bool ok = have_key_ && n == 9 && std::equal(want.begin(), want.end(), d + 1);
      if (ok) {
        queue({kLlStartEncRsp});
        encrypted_ = true;
      } else {
        queue({kLlRejectInd, kPinOrKeyMissing});
      }
      if (host_) host_->ll_encryption_changed(ok ? kSuccess : kPinOrKeyMissing);
      break;
    }
    case kLlStartEncRsp:
      if (role_ != Role::kCentral) break;
      encrypted_ = true;
      if (host_) host_->ll_encryption_changed(kSuccess);
      break;
    case kLlRejectInd:
      if (host_) host_->ll_encryption_changed(n > 1 ? d[1] : uint8_t{kPinOrKeyMissing});
      break;
    case kLlUnknownRsp:
      break;
    case kLlConnectionUpdateInd: {
      if (role_ != Role::kPeripheral || n != 12) break;
      ConnectionParams p = conn_.params;
      p.window_size = d[1];
      p.window_offset = static_cast<uint16_t>(d[2] | (d[3] << 8));
      p.interval = static_cast<uint16_t>(d[4] | (d[5] << 8));
      p.latency = static_cast<uint16_t>(d[6] | (d[7] << 8));
      p.timeout = static_cast<uint16_t>(d[8] | (d[9] << 8));
      const uint16_t instant = static_cast<uint16_t>(d[10] | (d[11] << 8));
      if (!usable(p)) break;
      if (static_cast<uint16_t>(instant - event_counter_) >= 0x8000) {
        instant_passed_ = true;  // the link cannot follow: it ends
        break;
      }
      update_pending_ = true;
      update_instant_ = instant;
      update_params_ = p;
      break;
    }
    default:
      queue({kLlUnknownRsp, d[0]});
      break;
  }
}

bool LinkLayer::update_connection(const ConnectionParams& params) {
  if (state_ != State::kConnected || role_ != Role::kCentral || update_pending_ ||
      terminate_sent_ || !usable(params))
    return false;
  update_params_ = conn_.params;
  update_params_.interval = params.interval;
  update_params_.latency = params.latency;
  update_params_.timeout = params.timeout;
  update_params_.window_size = 1;
  update_params_.window_offset = 0;
  update_instant_ = static_cast<uint16_t>(event_counter_ + 6);
  update_pending_ = true;
  const ConnectionParams& p = update_params_;
  Bytes b{kLlConnectionUpdateInd, p.window_size};
  for (uint16_t v : {p.window_offset, p.interval, p.latency, p.timeout, update_instant_}) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
  }
  tx_.push_back({kLlidControl, b, false});
  return true;
}

void LinkLayer::apply_update() {
  update_pending_ = false;
  conn_.params.interval = update_params_.interval;
  conn_.params.latency = update_params_.latency;
  conn_.params.timeout = update_params_.timeout;
  // The new timing's first event gets a transmit window, as the first one of
  // the connection did.
  if (role_ == Role::kPeripheral) first_window_ = update_params_.window_size * kUnit1250;
  if (host_) host_->ll_connection_updated(conn_.params);
}

bool LinkLayer::supervision_expired(time_us t) const {
  const time_us interval = conn_.params.interval * kUnit1250;
  if (!established_) return t >= conn_start_ + kEstablishEvents * interval + first_window_;
  return t - last_rx_ >= conn_.params.timeout * kUnit10ms;
}

void LinkLayer::end_event() {
  radio_.stop_listening();
  if (state_ != State::kConnected) return;
  time_us t = radio_.now();
  if (supervision_expired(t)) {
    close_connection(established_ ? kConnectionTimeout : kConnectionFailedToEstablish);
    return;
  }
  if (role_ == Role::kPeripheral && !event_first_rx_) first_window_ = 0;
  do {
    // The event of an update's instant still follows the old interval.
    anchor_ += conn_.params.interval * kUnit1250;
    ++event_counter_;
    if (update_pending_ && event_counter_ == update_instant_) apply_update();
    if (anchor_ > t) break;
    last_unmapped_ = next_data_channel(last_unmapped_, conn_.params.hop);
  } while (true);
  start_event();
}

void LinkLayer::close_connection(uint8_t reason) {
  radio_.stop_listening();
  set_step(Step::kIdle, kNever);
  tx_.clear();
  in_flight_ = false;
  state_ = State::kStandby;
  role_ = Role::kNone;
  encrypted_ = false;
  if (host_) host_->ll_disconnected(reason);
}

bool LinkLayer::send_acl(uint8_t llid, const uint8_t* data, size_t len) {
  if (state_ != State::kConnected || terminate_sent_ || peer_terminated_ || len > kMaxDataPayload ||
      (llid != kLlidStart && llid != kLlidContinuation) || free_acl_buffers() == 0)
    return false;
  tx_.push_back({llid, Bytes(data, data + len), true});
  return true;
}

bool LinkLayer::disconnect(uint8_t reason) {
  if (state_ != State::kConnected || terminate_sent_) return false;
  terminate_sent_ = true;
  terminate_reason_ = reason;
  tx_.push_back({kLlidControl, {kLlTerminateInd, reason}, false});
  return true;
}

void LinkLayer::set_peripheral_key(const std::array<uint8_t, 16>& key) {
  key_ = key;
  have_key_ = true;
}

bool LinkLayer::start_encryption(const std::array<uint8_t, 16>& key) {
  if (state_ != State::kConnected || role_ != Role::kCentral) return false;
  Bytes b{kLlEncReq};
  std::array<uint8_t, 8> c = key_check(key);
  b.insert(b.end(), c.begin(), c.end());
  tx_.push_back({kLlidControl, b, false});
  return true;
}

// ------------------------------------------------------------ the radio ---

void LinkLayer::radio_timer() {
  const time_us now = radio_.now();
  switch (step_) {
    case Step::kIdle:
    case Step::kReceiving:
      return;
    case Step::kAdvTx:
      return adv_transmit();
    case Step::kAdvListenOpen:
      radio_.listen(adv_channel_, kAdvertisingAccessAddress);
      return set_step(Step::kAdvListenClose, now + kTifsUs + kListenSlackUs);
    case Step::kAdvListenClose:
      return adv_next_channel(now);
    case Step::kAdvRspTx: {
      Advertisement a;
      a.type = kScanRsp;
      a.random_address = random_;
      a.address = address_;
      a.data = adv_.scan_rsp_data;
      Bytes pdu = encode(a);
      radio_.transmit(adv_channel_, kAdvertisingAccessAddress, pdu, now, tx_power_);
      return adv_next_channel(now + time_on_air_us(pdu.size()));
    }
    case Step::kScanSwitch:
      return scan_listen();
    case Step::kScanReqTx: {
      Bytes pdu = encode_scan_req(address_, random_, scan_target_, pending_connect_.adv_random);
      radio_.transmit(scan_channel_, kAdvertisingAccessAddress, pdu, now, tx_power_);
      return set_step(Step::kScanRspOpen, now + time_on_air_us(pdu.size()));
    }
    case Step::kScanRspOpen:
      radio_.listen(scan_channel_, kAdvertisingAccessAddress);
      return set_step(Step::kScanRspClose, now + kTifsUs + kListenSlackUs);
    case Step::kScanRspClose:
      scan_target_ = {};
      return scan_listen();
    case Step::kConnectTx: {
      Bytes pdu = encode_connect_ind(pending_connect_);
      radio_.transmit(scan_channel_, kAdvertisingAccessAddress, pdu, now, tx_power_);
      return set_step(Step::kConnectDone, now + time_on_air_us(pdu.size()));
    }
    case Step::kConnectDone:
      return enter_connection(Role::kCentral, pending_connect_, now);
    case Step::kCentralTx: {
      bool md = false;
      Bytes pdu = next_tx_pdu(&md);
      radio_.transmit(channel_, conn_.params.access_address, pdu, now, tx_power_);
      const time_us end = now + time_on_air_us(pdu.size());
      if (peer_terminated_) {
        close_reason_ = peer_terminate_reason_;
        return set_step(Step::kClose, end);
      }
      return set_step(Step::kCentralListenOpen, end);
    }
    case Step::kCentralListenOpen:
      radio_.listen(channel_, conn_.params.access_address);
      return set_step(Step::kCentralListenClose, now + kTifsUs + kListenSlackUs);
    case Step::kCentralListenClose:
      return end_event();
    case Step::kPeriphOpen:
      radio_.listen(channel_, conn_.params.access_address);
      return set_step(Step::kPeriphClose, window_close_);
    case Step::kPeriphClose:
      return end_event();
    case Step::kPeriphTx: {
      bool md = false;
      Bytes pdu = next_tx_pdu(&md);
      radio_.transmit(channel_, conn_.params.access_address, pdu, now, tx_power_);
      const time_us end = now + time_on_air_us(pdu.size());
      if (peer_terminated_) {
        close_reason_ = peer_terminate_reason_;
        return set_step(Step::kClose, end);
      }
      if (md || peer_md_ || terminate_sent_) {
        window_close_ = end + kTifsUs + kListenSlackUs;
        return set_step(Step::kPeriphOpen, end);
      }
      return set_step(Step::kEventEnd, end);
    }
    case Step::kEventEnd:
      return end_event();
    case Step::kClose:
      return close_connection(close_reason_);
  }
}

void LinkLayer::radio_rx_started() {
  if (step_ == Step::kAdvListenClose || step_ == Step::kScanSwitch ||
      step_ == Step::kScanRspClose || step_ == Step::kCentralListenClose ||
      step_ == Step::kPeriphClose)
    set_step(Step::kReceiving, kNever);
}

void LinkLayer::radio_rx_ended(const Radio::Rx* rx) {
  if (step_ != Step::kReceiving) return;
  radio_.stop_listening();
  const time_us now = radio_.now();
  switch (state_) {
    case State::kStandby:
      return;
    case State::kAdvertising:
      if (!rx || rx->len < 2) return adv_next_channel(now);
      return adv_received(*rx);
    case State::kScanning:
    case State::kInitiating:
      if (!rx || rx->len < 2) {
        scan_target_ = {};
        return scan_listen();
      }
      return scan_received(*rx);
    case State::kConnected:
      break;
  }
  const bool ok = rx && conn_received(*rx);
  if (state_ != State::kConnected) return;  // the host closed it meanwhile
  if (terminate_acked_) return close_connection(kLocalHostTerminated);
  if (instant_passed_) return close_connection(kInstantPassed);
  if (role_ == Role::kCentral) {
    if (!ok) return end_event();
    const time_us interval = conn_.params.interval * kUnit1250;
    const bool more = peer_terminated_ || peer_md_ || tx_.size() > 0;
    const time_us next = rx->end + kTifsUs;
    if (more && next + 2 * (kMaxDataPacketUs + kTifsUs) + kUnit1250 < anchor_ + interval)
      return set_step(Step::kCentralTx, next);
    return end_event();
  }
  if (!ok) return end_event();
  if (event_first_rx_) {
    anchor_ = rx->start;
    last_sync_ = rx->start;
    first_window_ = 0;
    event_first_rx_ = false;
  }
  set_step(Step::kPeriphTx, rx->end + kTifsUs);
}

}  // namespace sim::ble
