// The host side of a peripheral above the link layer: L2CAP, the attribute
// server and the responder's pairing, with the events a host stack turns
// into its own (connection opened and closed, MTU, writes, CCC changes,
// notifications sent, passkey requests, pairing results). The test device
// programs use it as it is; the chips' host stand-ins put their API on it.
#pragma once

#include <cstdint>
#include <functional>

#include "sim/ble_host.h"
#include "sim/ble_ll.h"

namespace sim::ble {

class Peripheral : public LinkLayer::Host {
 public:
  explicit Peripheral(LinkLayer& ll, uint32_t seed = 0x1234567u);
  Peripheral(const Peripheral&) = delete;
  Peripheral& operator=(const Peripheral&) = delete;

  LinkLayer& ll() { return ll_; }
  AttServer& att() { return att_; }
  Pairing& pairing() { return pairing_; }
  L2cap& l2cap() { return l2cap_; }
  bool connected() const { return connected_; }

  // Sends a notification (or indication) of `handle`; `tag` comes back
  // through on_sent once the peer's link layer has it all. False when not
  // connected.
  bool notify(uint16_t handle, const uint8_t* data, size_t len, uint32_t tag = 0,
              bool indication = false);
  // Asks the central to pair.
  void request_security(uint8_t auth);
  // Asks the central for new connection parameters (units of 1.25 ms and
  // 10 ms); on_update_response says whether it agreed, on_connection_updated
  // when new ones took effect. False when not connected.
  bool request_connection_update(uint16_t min_interval, uint16_t max_interval, uint16_t latency,
                                 uint16_t timeout);

  std::function<void(const LinkLayer::ConnInfo&)> on_connected;
  std::function<void(uint8_t reason)> on_disconnected;
  std::function<void(uint8_t status)> on_advertising_ended;
  std::function<void(uint32_t tag)> on_sent;
  std::function<void()> on_passkey_request;  // answer with pairing().passkey_reply()
  // Pairing finished: kSuccess once the link is encrypted with the new key,
  // else the SMP reason or the link layer's status.
  std::function<void(uint8_t status)> on_pairing_done;
  std::function<void(bool accepted)> on_update_response;
  std::function<void(const ConnectionParams&)> on_connection_updated;

  // LinkLayer::Host.
  void ll_advertising_ended(uint8_t status) override;
  void ll_connected(const LinkLayer::ConnInfo& c) override;
  void ll_disconnected(uint8_t reason) override;
  void ll_acl(uint8_t llid, const uint8_t* data, size_t len) override;
  void ll_completed(int n) override;
  void ll_encryption_changed(uint8_t status) override;
  void ll_connection_updated(const ConnectionParams& p) override;

 private:
  LinkLayer& ll_;
  L2cap l2cap_;
  AttServer att_;
  Pairing pairing_;
  bool connected_ = false;
  bool pairing_keyed_ = false;  // a key came from pairing: the next encryption ends it
  uint8_t signal_id_ = 0;
};

}  // namespace sim::ble
