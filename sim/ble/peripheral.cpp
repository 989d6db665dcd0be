// The host side of a peripheral: see sim/ble_peripheral.h.
#include "sim/ble_peripheral.h"

namespace sim::ble {

Peripheral::Peripheral(LinkLayer& ll, uint32_t seed)
    : ll_(ll), l2cap_(ll), pairing_(Pairing::Role::kResponder, seed) {
  ll_.set_host(this);
  l2cap_.on_sdu = [this](uint16_t cid, const Bytes& sdu) {
    if (cid == kCidAtt) {
      Bytes rsp = att_.handle(sdu);
      if (!rsp.empty() && connected_) l2cap_.send(kCidAtt, rsp, 0);
    } else if (cid == kCidSmp) {
      pairing_.received(sdu);
    } else if (cid == kCidSignaling && sdu.size() >= 4) {
      if (sdu[0] == kSigConnParamResponse && sdu.size() >= 6) {
        if (on_update_response) on_update_response((sdu[4] | (sdu[5] << 8)) == 0);
      } else if (sdu[0] != kSigCommandReject && sdu[0] != kSigConnParamResponse) {
        l2cap_.send(kCidSignaling, {kSigCommandReject, sdu[1], 2, 0, 0, 0}, 0);
      }
    }
  };
  l2cap_.on_sent = [this](uint32_t tag) {
    if (tag && on_sent) on_sent(tag);
  };
  pairing_.send = [this](const Bytes& pdu) { l2cap_.send(kCidSmp, pdu, 0); };
  pairing_.on_passkey_request = [this] {
    if (on_passkey_request)
      on_passkey_request();
    else
      pairing_.passkey_refused();
  };
  pairing_.on_key = [this](const Key& stk) {
    pairing_keyed_ = true;
    ll_.set_peripheral_key(stk);
  };
  pairing_.on_failed = [this](uint8_t reason) {
    pairing_keyed_ = false;
    if (on_pairing_done) on_pairing_done(reason);
  };
}

bool Peripheral::notify(uint16_t handle, const uint8_t* data, size_t len, uint32_t tag,
                        bool indication) {
  if (!connected_) return false;
  l2cap_.send(kCidAtt,
              indication ? AttServer::indication(handle, data, len)
                         : AttServer::notification(handle, data, len),
              tag);
  return true;
}

void Peripheral::request_security(uint8_t auth) {
  if (connected_) l2cap_.send(kCidSmp, {kSmpSecurityRequest, auth}, 0);
}

bool Peripheral::request_connection_update(uint16_t min_interval, uint16_t max_interval,
                                           uint16_t latency, uint16_t timeout) {
  if (!connected_) return false;
  Bytes b{kSigConnParamRequest, ++signal_id_, 8, 0};
  for (uint16_t v : {min_interval, max_interval, latency, timeout}) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
  }
  l2cap_.send(kCidSignaling, b, 0);
  return true;
}

void Peripheral::ll_connection_updated(const ConnectionParams& p) {
  if (on_connection_updated) on_connection_updated(p);
}

void Peripheral::ll_advertising_ended(uint8_t status) {
  if (on_advertising_ended) on_advertising_ended(status);
}

void Peripheral::ll_connected(const LinkLayer::ConnInfo& c) {
  connected_ = true;
  l2cap_.reset();
  att_.reset_connection();
  pairing_.reset();
  pairing_keyed_ = false;
  if (on_connected) on_connected(c);
}

void Peripheral::ll_disconnected(uint8_t reason) {
  connected_ = false;
  l2cap_.reset();
  att_.reset_connection();
  pairing_.reset();
  pairing_keyed_ = false;
  if (on_disconnected) on_disconnected(reason);
}

void Peripheral::ll_acl(uint8_t llid, const uint8_t* data, size_t len) {
  l2cap_.acl(llid, data, len);
}

void Peripheral::ll_completed(int n) { l2cap_.completed(n); }

void Peripheral::ll_encryption_changed(uint8_t status) {
  att_.set_encrypted(status == kSuccess);
  if (!pairing_keyed_) return;
  pairing_keyed_ = false;
  if (on_pairing_done) on_pairing_done(status);
}

}  // namespace sim::ble
