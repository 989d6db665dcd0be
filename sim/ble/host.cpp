// Host-side pieces above the link layer: see sim/ble_host.h.
#include <algorithm>
#include <cstring>

#include "sim/ble_host.h"

namespace sim::ble {

namespace {

void put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Largest SDU the reassembly takes (an ATT_MTU of 512 and then some).
constexpr size_t kMaxSdu = 1024;

}  // namespace

// ------------------------------------------------------------------ L2CAP --

void L2cap::send(uint16_t cid, const Bytes& sdu, uint32_t tag) {
  Bytes whole;
  put16(whole, static_cast<uint16_t>(sdu.size()));
  put16(whole, cid);
  whole.insert(whole.end(), sdu.begin(), sdu.end());
  for (size_t at = 0; at < whole.size(); at += kMaxDataPayload) {
    size_t n = std::min(kMaxDataPayload, whole.size() - at);
    waiting_.push_back(
        {at == 0 ? kLlidStart : kLlidContinuation,
         Bytes(whole.begin() + static_cast<long>(at), whole.begin() + static_cast<long>(at + n)),
         tag, at + n == whole.size()});
  }
  ++sdus_pending_;
  pump();
}

size_t L2cap::pending() const { return sdus_pending_; }

void L2cap::pump() {
  while (!waiting_.empty()) {
    const Fragment& f = waiting_.front();
    if (!ll_.send_acl(f.llid, f.data.data(), f.data.size())) return;
    in_flight_.emplace_back(f.tag, f.last);
    waiting_.pop_front();
  }
}

void L2cap::acl(uint8_t llid, const uint8_t* data, size_t len) {
  if (llid == kLlidStart) {
    rx_.assign(data, data + len);
    rx_want_ = len >= 2 ? 4u + get16(data) : 0;
    if (rx_want_ > kMaxSdu) rx_want_ = 0;  // dropped whole
  } else if (rx_want_) {
    rx_.insert(rx_.end(), data, data + len);
  }
  if (!rx_want_ || rx_.size() < rx_want_) return;
  if (rx_.size() == rx_want_) {
    Bytes sdu(rx_.begin() + 4, rx_.end());
    uint16_t cid = get16(rx_.data() + 2);
    rx_want_ = 0;
    rx_.clear();
    if (on_sdu) on_sdu(cid, sdu);
  } else {
    rx_want_ = 0;  // longer than its header said: not an SDU
    rx_.clear();
  }
}

void L2cap::completed(int n) {
  while (n-- > 0 && !in_flight_.empty()) {
    auto [tag, last] = in_flight_.front();
    in_flight_.pop_front();
    if (last) {
      if (sdus_pending_) --sdus_pending_;
      if (on_sent) on_sent(tag);
    }
  }
  pump();
}

void L2cap::reset() {
  waiting_.clear();
  in_flight_.clear();
  sdus_pending_ = 0;
  rx_.clear();
  rx_want_ = 0;
}

// -------------------------------------------------------------------- ATT --

Bytes uuid16(uint16_t uuid) {
  return {static_cast<uint8_t>(uuid), static_cast<uint8_t>(uuid >> 8)};
}

Bytes uuid128(const char* text) {
  Bytes be;
  for (const char* p = text; *p; ++p) {
    if (*p == '-') continue;
    if (!p[1]) return {};
    auto nib = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int hi = nib(p[0]), lo = nib(p[1]);
    if (hi < 0 || lo < 0) return {};
    be.push_back(static_cast<uint8_t>(hi << 4 | lo));
    ++p;
  }
  if (be.size() != 16) return {};
  return Bytes(be.rbegin(), be.rend());
}

void AttServer::add(const Attribute& a) {
  auto it = std::lower_bound(db_.begin(), db_.end(), a.handle,
                             [](const Attribute& x, uint16_t h) { return x.handle < h; });
  if (it != db_.end() && it->handle == a.handle)
    *it = a;
  else
    db_.insert(it, a);
}

void AttServer::remove(uint16_t first, uint16_t last) {
  db_.erase(
      std::remove_if(db_.begin(), db_.end(),
                     [&](const Attribute& a) { return a.handle >= first && a.handle <= last; }),
      db_.end());
}

Attribute* AttServer::find(uint16_t handle) {
  for (Attribute& a : db_)
    if (a.handle == handle) return &a;
  return nullptr;
}

void AttServer::reset_connection() {
  mtu_ = kDefaultAttMtu;
  encrypted_ = false;
  for (Attribute& a : db_)
    if (a.ccc) a.value = {0, 0};
}

Bytes AttServer::error(uint8_t req, uint16_t handle, uint8_t code) {
  Bytes b{kAttErrorRsp, req};
  put16(b, handle);
  b.push_back(code);
  return b;
}

Bytes AttServer::notification(uint16_t handle, const uint8_t* data, size_t len) {
  Bytes b{kAttNotification};
  put16(b, handle);
  b.insert(b.end(), data, data + len);
  return b;
}

Bytes AttServer::indication(uint16_t handle, const uint8_t* data, size_t len) {
  Bytes b = notification(handle, data, len);
  b[0] = kAttIndication;
  return b;
}

Bytes AttServer::handle(const Bytes& pdu) {
  if (pdu.empty()) return {};
  const uint8_t op = pdu[0];
  switch (op) {
    case kAttMtuReq: {
      if (pdu.size() != 3) return error(op, 0, kAttInvalidPdu);
      uint16_t client = get16(&pdu[1]);
      mtu_ = std::max<uint16_t>(kDefaultAttMtu, std::min(client, local_mtu_));
      Bytes rsp{kAttMtuRsp};
      put16(rsp, local_mtu_);
      if (on_mtu) on_mtu(mtu_);
      return rsp;
    }
    case kAttFindInfoReq:
      return find_info(pdu);
    case kAttReadByTypeReq:
      return read_by_type(pdu);
    case kAttReadByGroupReq:
      return read_by_group(pdu);
    case kAttReadReq:
    case kAttReadBlobReq: {
      if (pdu.size() != (op == kAttReadReq ? 3u : 5u)) return error(op, 0, kAttInvalidPdu);
      uint16_t h = get16(&pdu[1]);
      Attribute* a = find(h);
      if (!a) return error(op, h, kAttInvalidHandle);
      if (!(a->permissions & Attribute::kRead)) return error(op, h, kAttReadNotPermitted);
      if ((a->permissions & Attribute::kReadEncrypted) && !encrypted_)
        return error(op, h, kAttInsufficientAuthentication);
      if (a->read_callback && on_read) on_read(h);
      a = find(h);
      if (!a) return error(op, h, kAttInvalidHandle);
      size_t offset = op == kAttReadBlobReq ? get16(&pdu[3]) : 0;
      if (offset > a->value.size()) return error(op, h, kAttInvalidOffset);
      size_t n = std::min<size_t>(a->value.size() - offset, mtu_ - 1u);
      Bytes rsp{op == kAttReadReq ? kAttReadRsp : kAttReadBlobRsp};
      rsp.insert(rsp.end(), a->value.begin() + static_cast<long>(offset),
                 a->value.begin() + static_cast<long>(offset + n));
      return rsp;
    }
    case kAttWriteReq:
    case kAttWriteCmd:
      return write(pdu);
    case kAttConfirmation:
      if (on_confirmation) on_confirmation();
      return {};
    default:
      if (op & 0x40) return {};  // a command: no response
      return error(op, 0, kAttRequestNotSupported);
  }
}

Bytes AttServer::write(const Bytes& pdu) {
  const uint8_t op = pdu[0];
  const bool cmd = op == kAttWriteCmd;
  auto fail = [&](uint16_t h, uint8_t code) { return cmd ? Bytes{} : error(op, h, code); };
  if (pdu.size() < 3) return fail(0, kAttInvalidPdu);
  uint16_t h = get16(&pdu[1]);
  const uint8_t* v = pdu.data() + 3;
  size_t n = pdu.size() - 3;
  Attribute* a = find(h);
  if (!a) return fail(h, kAttInvalidHandle);
  if (!(a->permissions & Attribute::kWrite)) return fail(h, kAttWriteNotPermitted);
  if ((a->permissions & Attribute::kWriteEncrypted) && !encrypted_)
    return fail(h, kAttInsufficientAuthentication);
  if (a->ccc) {
    if (n != 2) return fail(h, kAttInvalidLength);
    a->value.assign(v, v + n);
    if (on_ccc) on_ccc(h, get16(v));
    return cmd ? Bytes{} : Bytes{kAttWriteRsp};
  }
  if (n > a->max_len || (!a->variable && n != a->max_len)) return fail(h, kAttInvalidLength);
  if (a->write_callback && on_write) {
    uint8_t e = on_write(h, op, 0, v, n);
    if (e) return fail(h, e);
    a = find(h);
    if (!a) return cmd ? Bytes{} : Bytes{kAttWriteRsp};
  }
  a->value.assign(v, v + n);
  return cmd ? Bytes{} : Bytes{kAttWriteRsp};
}

Bytes AttServer::find_info(const Bytes& pdu) {
  const uint8_t op = pdu[0];
  if (pdu.size() != 5) return error(op, 0, kAttInvalidPdu);
  uint16_t start = get16(&pdu[1]), end = get16(&pdu[3]);
  if (!start || start > end) return error(op, start, kAttInvalidHandle);
  Bytes rsp{kAttFindInfoRsp, 0};
  size_t width = 0;
  for (const Attribute& a : db_) {
    if (a.handle < start || a.handle > end) continue;
    if (!width) {
      width = a.type.size();
      rsp[1] = width == 2 ? 1 : 2;
    }
    if (a.type.size() != width || rsp.size() + 2 + width > mtu_) break;
    put16(rsp, a.handle);
    rsp.insert(rsp.end(), a.type.begin(), a.type.end());
  }
  if (!width) return error(op, start, kAttNotFound);
  return rsp;
}

Bytes AttServer::read_by_type(const Bytes& pdu) {
  const uint8_t op = pdu[0];
  if (pdu.size() != 7 && pdu.size() != 21) return error(op, 0, kAttInvalidPdu);
  uint16_t start = get16(&pdu[1]), end = get16(&pdu[3]);
  if (!start || start > end) return error(op, start, kAttInvalidHandle);
  Bytes type(pdu.begin() + 5, pdu.end());
  Bytes rsp{kAttReadByTypeRsp, 0};
  size_t each = 0;
  for (Attribute& a : db_) {
    if (a.handle < start || a.handle > end || a.type != type) continue;
    if (!(a.permissions & Attribute::kRead)) {
      if (!each) return error(op, a.handle, kAttReadNotPermitted);
      break;
    }
    size_t n = std::min<size_t>({a.value.size(), mtu_ - 4u, 253});
    if (!each) {
      each = n;
      rsp[1] = static_cast<uint8_t>(2 + n);
    }
    if (n != each || rsp.size() + 2 + each > mtu_) break;
    put16(rsp, a.handle);
    rsp.insert(rsp.end(), a.value.begin(), a.value.begin() + static_cast<long>(n));
  }
  if (!rsp[1]) return error(op, start, kAttNotFound);
  return rsp;
}

Bytes AttServer::read_by_group(const Bytes& pdu) {
  const uint8_t op = pdu[0];
  if (pdu.size() != 7 && pdu.size() != 21) return error(op, 0, kAttInvalidPdu);
  uint16_t start = get16(&pdu[1]), end = get16(&pdu[3]);
  if (!start || start > end) return error(op, start, kAttInvalidHandle);
  if (Bytes(pdu.begin() + 5, pdu.end()) != uuid16(kUuidPrimaryService))
    return error(op, start, 0x10);  // unsupported group type
  const Bytes svc = uuid16(kUuidPrimaryService);
  Bytes rsp{kAttReadByGroupRsp, 0};
  size_t each = 0;
  for (size_t i = 0; i < db_.size(); ++i) {
    const Attribute& a = db_[i];
    if (a.handle < start || a.handle > end || a.type != svc) continue;
    uint16_t group_end = 0xFFFF;
    for (size_t j = i + 1; j < db_.size(); ++j)
      if (db_[j].type == svc) {
        group_end = static_cast<uint16_t>(db_[j].handle - 1);
        break;
      }
    if (group_end == 0xFFFF && !db_.empty()) group_end = db_.back().handle;
    size_t n = a.value.size();
    if (!each) {
      each = n;
      rsp[1] = static_cast<uint8_t>(4 + n);
    }
    if (n != each || rsp.size() + 4 + each > mtu_) break;
    put16(rsp, a.handle);
    put16(rsp, group_end);
    rsp.insert(rsp.end(), a.value.begin(), a.value.end());
  }
  if (!rsp[1]) return error(op, start, kAttNotFound);
  return rsp;
}

// ---------------------------------------------------------------- pairing --

namespace {

// A pairing PDU of a code and a 16-byte value. Sized at once: GCC 12 at -O3
// takes a one-byte vector grown by insert for an out-of-bounds copy.
Bytes smp_pdu(uint8_t code, const Key& value) {
  Bytes b(1 + value.size());
  b[0] = code;
  std::copy(value.begin(), value.end(), b.begin() + 1);
  return b;
}

uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

Key digest(const Bytes& in, uint64_t domain) {
  Key out{};
  for (int half = 0; half < 2; ++half) {
    uint64_t h = mix64(domain * 2 + static_cast<uint64_t>(half) + 1);
    for (uint8_t b : in) h = mix64(h ^ b);
    for (int i = 0; i < 8; ++i)
      out[static_cast<size_t>(half * 8 + i)] = static_cast<uint8_t>(h >> (8 * i));
  }
  return out;
}

}  // namespace

Key pairing_confirm(const Key& tk, const Key& rand, const Bytes& preq, const Bytes& pres) {
  Bytes in(tk.begin(), tk.end());
  in.insert(in.end(), rand.begin(), rand.end());
  in.insert(in.end(), preq.begin(), preq.end());
  in.insert(in.end(), pres.begin(), pres.end());
  return digest(in, 1);
}

Key short_term_key(const Key& tk, const Key& srand, const Key& mrand) {
  Bytes in(tk.begin(), tk.end());
  in.insert(in.end(), srand.begin(), srand.end());
  in.insert(in.end(), mrand.begin(), mrand.end());
  return digest(in, 2);
}

Key passkey_tk(uint32_t passkey) {
  Key k{};
  for (int i = 0; i < 4; ++i) k[static_cast<size_t>(i)] = static_cast<uint8_t>(passkey >> (8 * i));
  return k;
}

Pairing::Pairing(Role role, uint32_t seed) : role_(role), seed_(seed ? seed : 1) {}

Key Pairing::random() {
  Key k{};
  for (auto& b : k) {
    seed_ ^= seed_ << 13;
    seed_ ^= seed_ >> 17;
    seed_ ^= seed_ << 5;
    b = static_cast<uint8_t>(seed_);
  }
  return k;
}

void Pairing::reset() {
  state_ = State::kIdle;
  preq_.clear();
  pres_.clear();
  have_tk_ = passkey_entry_ = have_peer_confirm_ = sent_confirm_ = false;
}

void Pairing::fail(uint8_t reason, bool tell_peer) {
  if (tell_peer && send) send({kSmpPairingFailed, reason});
  reset();
  if (on_failed) on_failed(reason);
}

void Pairing::start(uint8_t auth, bool have_passkey, uint32_t passkey) {
  reset();
  preq_ = {kSmpPairingRequest, 0x04 /* keyboard and display */, 0, auth, 16, 0, 0};
  if (have_passkey) {
    tk_ = passkey_tk(passkey);
    have_tk_ = true;
  }
  state_ = State::kWaitResponse;
  if (send) send(preq_);
}

void Pairing::passkey_reply(uint32_t passkey) {
  if (state_ == State::kIdle || state_ == State::kDone) return;
  tk_ = passkey_tk(passkey);
  have_tk_ = true;
  maybe_send_confirm();
}

void Pairing::passkey_refused() {
  if (state_ != State::kIdle) fail(kSmpPasskeyEntryFailed, true);
}

void Pairing::maybe_send_confirm() {
  if (!have_tk_ || sent_confirm_ || pres_.empty()) return;
  // The initiator goes first; the responder answers the initiator's.
  if (role_ == Role::kResponder && !have_peer_confirm_) return;
  mine_ = random();
  own_confirm_ = pairing_confirm(tk_, mine_, preq_, pres_);
  sent_confirm_ = true;
  Bytes b = smp_pdu(kSmpPairingConfirm, own_confirm_);
  state_ = role_ == Role::kInitiator ? State::kWaitConfirm : State::kWaitRandom;
  if (send) send(b);
}

void Pairing::received(const Bytes& pdu) {
  if (pdu.empty()) return;
  const uint8_t code = pdu[0];
  if (code == kSmpPairingFailed) {
    if (state_ == State::kIdle) return;
    return fail(pdu.size() > 1 ? pdu[1] : uint8_t{kSmpUnspecified}, false);
  }
  if (code == kSmpSecurityRequest) {
    if (role_ == Role::kInitiator && on_security_request)
      on_security_request(pdu.size() > 1 ? pdu[1] : 0);
    return;
  }
  if (role_ == Role::kResponder && code == kSmpPairingRequest) {
    if (pdu.size() != 7) return fail(kSmpUnspecified, true);
    reset();
    preq_ = pdu;
    pres_ = {kSmpPairingResponse, io_, 0, auth_, 16, 0, 0};
    passkey_entry_ = ((preq_[3] | auth_) & kSmpAuthMitm) != 0;
    state_ = State::kWaitConfirm;
    if (send) send(pres_);
    if (!passkey_entry_) {
      tk_ = {};
      have_tk_ = true;
    } else if (on_passkey_request) {
      on_passkey_request();
    }
    return;
  }
  if (role_ == Role::kInitiator && code == kSmpPairingResponse && state_ == State::kWaitResponse) {
    if (pdu.size() != 7) return fail(kSmpUnspecified, true);
    pres_ = pdu;
    passkey_entry_ = ((preq_[3] | pres_[3]) & kSmpAuthMitm) != 0;
    if (!passkey_entry_) {
      tk_ = {};
      have_tk_ = true;
    } else if (!have_tk_ && on_passkey_request) {
      state_ = State::kWaitConfirm;
      on_passkey_request();
      return;
    }
    state_ = State::kWaitConfirm;
    return maybe_send_confirm();
  }
  if (code == kSmpPairingConfirm && pdu.size() == 17 && state_ != State::kIdle) {
    std::copy(pdu.begin() + 1, pdu.end(), peer_confirm_.begin());
    have_peer_confirm_ = true;
    if (role_ == Role::kResponder) return maybe_send_confirm();
    if (!sent_confirm_) return fail(kSmpUnspecified, true);
    state_ = State::kWaitRandom;
    Bytes b = smp_pdu(kSmpPairingRandom, mine_);
    if (send) send(b);
    return;
  }
  if (code == kSmpPairingRandom && pdu.size() == 17 && state_ == State::kWaitRandom &&
      have_peer_confirm_) {
    Key peer{};
    std::copy(pdu.begin() + 1, pdu.end(), peer.begin());
    if (pairing_confirm(tk_, peer, preq_, pres_) != peer_confirm_)
      return fail(kSmpConfirmValueFailed, true);
    state_ = State::kDone;
    Key stk;
    if (role_ == Role::kResponder) {
      Bytes b = smp_pdu(kSmpPairingRandom, mine_);
      if (send) send(b);
      stk = short_term_key(tk_, mine_, peer);
    } else {
      stk = short_term_key(tk_, peer, mine_);
    }
    if (on_key) on_key(stk);
    return;
  }
  // Anything else out of turn ends the pairing.
  if (state_ != State::kIdle) fail(kSmpUnspecified, true);
}

}  // namespace sim::ble
