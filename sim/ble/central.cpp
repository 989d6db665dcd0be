// The world's BLE central: see sim/ble_central.h.
#include "sim/ble_central.h"

#include <algorithm>

namespace sim::ble {

namespace {

void put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

bool is_response(uint8_t op) {
  return op == kAttErrorRsp || op == kAttMtuRsp || op == kAttFindInfoRsp ||
         op == kAttReadByTypeRsp || op == kAttReadRsp || op == kAttReadBlobRsp ||
         op == kAttReadByGroupRsp || op == kAttWriteRsp || op == kAttPrepareWriteRsp ||
         op == kAttExecuteWriteRsp;
}

}  // namespace

Central::Runner Central::sim_runner() {
  return [](time_us deadline, const std::function<bool()>& done) {
    while (!done()) {
      if (sim::now() >= deadline) return false;
      sim::run_until(std::min(deadline, sim::now() + 1000));
    }
    return true;
  };
}

Central::Central(Radio& radio, const Address& address, bool random)
    : ll_(radio, address, random), l2cap_(ll_), pairing_(Pairing::Role::kInitiator, 0x5EED1234u) {
  ll_.set_host(this);
  l2cap_.on_sdu = [this](uint16_t cid, const Bytes& sdu) {
    if (cid == kCidAtt) att_pdu(sdu);
    if (cid == kCidSmp) pairing_.received(sdu);
    if (cid == kCidSignaling && sdu.size() >= 12 && sdu[0] == kSigConnParamRequest) {
      ConnectionParams p = ll_.connection().params;
      const uint16_t min = get16(&sdu[4]), max = get16(&sdu[6]);
      p.interval = min;
      p.latency = get16(&sdu[8]);
      p.timeout = get16(&sdu[10]);
      const bool ok =
          accept_updates_ && min <= max && LinkLayer::usable(p) && ll_.update_connection(p);
      l2cap_.send(kCidSignaling,
                  {kSigConnParamResponse, sdu[1], 2, 0, ok ? uint8_t{0} : uint8_t{1}, 0});
    }
  };
  pairing_.send = [this](const Bytes& pdu) { l2cap_.send(kCidSmp, pdu); };
  pairing_.on_key = [this](const Key& stk) { ll_.start_encryption(stk); };
  pairing_.on_failed = [this](uint8_t reason) {
    pair_state_ = PairState::kFailed;
    pair_failure_ = reason;
  };
  pairing_.on_security_request = [this](uint8_t) { security_requested_ = true; };
  runner_ = sim_runner();
}

bool Central::wait(const std::function<bool()>& done, time_us timeout_us) {
  return runner_(now() + timeout_us, done);
}

// -------------------------------------------------------------- scanning --

bool Central::start_scan(bool active) {
  LinkLayer::ScanParams p;
  p.active = active;
  return ll_.start_scanning(p);
}

void Central::stop_scan() { ll_.stop_scanning(); }

const Central::Device* Central::device(const Address& address) const {
  for (const Device& d : devices_)
    if (d.address == address) return &d;
  return nullptr;
}

void Central::ll_report(const LinkLayer::Report& r) {
  auto it = std::find_if(devices_.begin(), devices_.end(),
                         [&](const Device& d) { return d.address == r.address; });
  if (it == devices_.end()) {
    devices_.push_back({});
    it = devices_.end() - 1;
    it->address = r.address;
  }
  it->random = r.random;
  it->rssi_dbm = r.rssi_dbm;
  if (r.type == kScanRsp) {
    it->scan_rsp = r.data;
    it->has_scan_rsp = true;
    return;
  }
  it->type = r.type;
  it->adv_data = r.data;
  it->adv_times.push_back(r.at);
}

// ------------------------------------------------------------ connection --

bool Central::connect(const Address& peer, const ConnectionParams& params) {
  if (ll_.state() == LinkLayer::State::kScanning) ll_.stop_scanning();
  return ll_.connect(peer, params);
}

bool Central::disconnect(uint8_t reason) { return ll_.disconnect(reason); }

void Central::ll_connected(const LinkLayer::ConnInfo&) {
  connected_ = true;
  l2cap_.reset();
  pairing_.reset();
  requests_.clear();
  outstanding_ = false;
  mtu_ = kDefaultAttMtu;
  chars_.clear();
  pair_state_ = PairState::kNone;
  pair_failure_ = 0;
  security_requested_ = false;
}

void Central::ll_disconnected(uint8_t reason) {
  connected_ = false;
  ++disconnects_;
  disconnect_reason_ = reason;
  l2cap_.reset();
  pairing_.reset();
  if (pair_state_ == PairState::kPairing) pair_state_ = PairState::kFailed;
  for (Request& r : requests_) r.done({kAttErrorRsp, 0, 0, 0, 0xFF});
  requests_.clear();
  outstanding_ = false;
}

void Central::ll_acl(uint8_t llid, const uint8_t* data, size_t len) { l2cap_.acl(llid, data, len); }

void Central::ll_completed(int n) { l2cap_.completed(n); }

void Central::ll_encryption_changed(uint8_t status) {
  if (pair_state_ != PairState::kPairing) return;
  pair_state_ = status == kSuccess ? PairState::kPaired : PairState::kFailed;
  pair_failure_ = status;
}

// ------------------------------------------------------------------- ATT --

uint32_t Central::new_result() {
  results_.push_back({});
  return static_cast<uint32_t>(results_.size());
}

bool Central::done(uint32_t id) const {
  return id && id <= results_.size() && results_[id - 1].done;
}

const Central::Result& Central::result(uint32_t id) const { return results_.at(id - 1); }

void Central::request(Bytes pdu, std::function<void(const Bytes&)> done) {
  if (!connected_) {
    done({kAttErrorRsp, pdu.empty() ? uint8_t{0} : pdu[0], 0, 0, 0xFF});
    return;
  }
  requests_.push_back({std::move(pdu), std::move(done)});
  pump();
}

void Central::pump() {
  if (outstanding_ || requests_.empty() || !connected_) return;
  outstanding_ = true;
  l2cap_.send(kCidAtt, requests_.front().pdu);
}

void Central::att_pdu(const Bytes& pdu) {
  if (pdu.empty()) return;
  const uint8_t op = pdu[0];
  if (op == kAttNotification || op == kAttIndication) {
    if (pdu.size() < 3) return;
    notifications_.push_back(
        {get16(&pdu[1]), Bytes(pdu.begin() + 3, pdu.end()), now(), op == kAttIndication});
    if (op == kAttIndication) l2cap_.send(kCidAtt, {kAttConfirmation});
    return;
  }
  if (!is_response(op) || !outstanding_ || requests_.empty()) return;
  Request r = std::move(requests_.front());
  requests_.pop_front();
  outstanding_ = false;
  r.done(pdu);
  pump();
}

uint32_t Central::exchange_mtu(uint16_t mtu) {
  uint32_t id = new_result();
  Bytes pdu{kAttMtuReq};
  put16(pdu, mtu);
  request(pdu, [this, id, mtu](const Bytes& rsp) {
    Result& r = results_[id - 1];
    r.done = true;
    if (rsp[0] == kAttMtuRsp && rsp.size() == 3) {
      mtu_ = std::max<uint16_t>(kDefaultAttMtu, std::min(mtu, get16(&rsp[1])));
      r.value = rsp;
    } else {
      r.error = rsp.size() > 4 ? rsp[4] : 0xFF;
    }
  });
  return id;
}

uint32_t Central::read(uint16_t handle) {
  uint32_t id = new_result();
  Bytes pdu{kAttReadReq};
  put16(pdu, handle);
  request(pdu, [this, id](const Bytes& rsp) {
    Result& r = results_[id - 1];
    r.done = true;
    if (rsp[0] == kAttReadRsp)
      r.value.assign(rsp.begin() + 1, rsp.end());
    else
      r.error = rsp.size() > 4 ? rsp[4] : 0xFF;
  });
  return id;
}

uint32_t Central::write(uint16_t handle, const Bytes& value) {
  uint32_t id = new_result();
  Bytes pdu{kAttWriteReq};
  put16(pdu, handle);
  pdu.insert(pdu.end(), value.begin(), value.end());
  request(pdu, [this, id](const Bytes& rsp) {
    Result& r = results_[id - 1];
    r.done = true;
    r.value = rsp;
    if (rsp[0] != kAttWriteRsp) r.error = rsp.size() > 4 ? rsp[4] : 0xFF;
  });
  return id;
}

uint32_t Central::prepare_write(uint16_t handle, uint16_t offset, const Bytes& value) {
  uint32_t id = new_result();
  Bytes pdu{kAttPrepareWriteReq};
  put16(pdu, handle);
  put16(pdu, offset);
  pdu.insert(pdu.end(), value.begin(), value.end());
  request(pdu, [this, id](const Bytes& rsp) {
    Result& r = results_[id - 1];
    r.done = true;
    r.value = rsp;
    if (rsp[0] != kAttPrepareWriteRsp) r.error = rsp.size() > 4 ? rsp[4] : 0xFF;
  });
  return id;
}

uint32_t Central::execute_write(bool write) {
  uint32_t id = new_result();
  request({kAttExecuteWriteReq, static_cast<uint8_t>(write ? 1 : 0)}, [this, id](const Bytes& rsp) {
    Result& r = results_[id - 1];
    r.done = true;
    r.value = rsp;
    if (rsp[0] != kAttExecuteWriteRsp) r.error = rsp.size() > 4 ? rsp[4] : 0xFF;
  });
  return id;
}

void Central::write_command(uint16_t handle, const Bytes& value) {
  if (!connected_) return;
  Bytes pdu{kAttWriteCmd};
  put16(pdu, handle);
  pdu.insert(pdu.end(), value.begin(), value.end());
  l2cap_.send(kCidAtt, pdu);
}

uint32_t Central::subscribe(uint16_t value_handle, uint16_t value) {
  uint16_t ccc = static_cast<uint16_t>(value_handle + 1);
  for (const Characteristic& c : chars_)
    if (c.value_handle == value_handle && c.ccc) ccc = c.ccc;
  Bytes v;
  put16(v, value);
  return write(ccc, v);
}

const Central::Characteristic* Central::characteristic(const Bytes& uuid) const {
  for (const Characteristic& c : chars_)
    if (c.uuid == uuid) return &c;
  return nullptr;
}

uint32_t Central::discover() {
  uint32_t id = new_result();
  chars_.clear();
  discover_chars(id, 1);
  return id;
}

void Central::discover_chars(uint32_t id, uint16_t start) {
  Bytes pdu{kAttReadByTypeReq};
  put16(pdu, start);
  put16(pdu, 0xFFFF);
  put16(pdu, kUuidCharacteristic);
  request(pdu, [this, id](const Bytes& rsp) {
    if (rsp[0] == kAttReadByTypeRsp && rsp.size() >= 2 && rsp[1] >= 7) {
      const size_t each = rsp[1];
      uint16_t last = 0;
      for (size_t at = 2; at + each <= rsp.size(); at += each) {
        Characteristic c{};
        c.declaration = get16(&rsp[at]);
        c.properties = rsp[at + 2];
        c.value_handle = get16(&rsp[at + 3]);
        c.uuid.assign(rsp.begin() + static_cast<long>(at + 5),
                      rsp.begin() + static_cast<long>(at + each));
        chars_.push_back(c);
        last = c.declaration;
      }
      if (last && last < 0xFFFF) return discover_chars(id, static_cast<uint16_t>(last + 1));
    } else if (rsp[0] == kAttErrorRsp && rsp.size() > 4 && rsp[4] == 0xFF) {
      Result& r = results_[id - 1];
      r.done = true;
      r.error = 0xFF;
      return;
    }
    discover_descriptors(id, 0);
  });
}

void Central::discover_descriptors(uint32_t id, size_t index) {
  while (index < chars_.size() && !(chars_[index].properties & 0x30)) ++index;
  if (index >= chars_.size()) {
    results_[id - 1].done = true;
    return;
  }
  const uint16_t first = static_cast<uint16_t>(chars_[index].value_handle + 1);
  const uint16_t last = index + 1 < chars_.size()
                            ? static_cast<uint16_t>(chars_[index + 1].declaration - 1)
                            : uint16_t{0xFFFF};
  if (first > last) return discover_descriptors(id, index + 1);
  Bytes pdu{kAttFindInfoReq};
  put16(pdu, first);
  put16(pdu, last);
  request(pdu, [this, id, index](const Bytes& rsp) {
    if (rsp[0] == kAttFindInfoRsp && rsp.size() >= 2 && rsp[1] == 1) {
      for (size_t at = 2; at + 4 <= rsp.size(); at += 4)
        if (get16(&rsp[at + 2]) == kUuidCcc) {
          chars_[index].ccc = get16(&rsp[at]);
          break;
        }
    }
    discover_descriptors(id, index + 1);
  });
}

// --------------------------------------------------------------- pairing --

void Central::pair(uint32_t passkey, uint8_t auth) {
  if (!connected_) return;
  pair_state_ = PairState::kPairing;
  pair_failure_ = 0;
  pairing_.start(auth, true, passkey);
}

}  // namespace sim::ble
