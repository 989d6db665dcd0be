// A BLE central for tests and tools: scans (active, with scan responses),
// connects, exchanges the MTU, discovers characteristics, reads, writes
// (with and without response, paced by the link's transmit buffers),
// collects notifications and indications, and pairs with a passkey.
//
// It runs on any Radio: on the simulated air of a unit test (SimRadio) or
// as a participant of a world (WorldRadio). Its calls start procedures and
// return at once; wait() lets time move until a condition holds, through
// the runner of whatever owns time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "sim/ble_host.h"
#include "sim/ble_ll.h"

namespace sim::ble {

class Central : public LinkLayer::Host {
 public:
  // Moves time until `done` holds (true) or `deadline` passes (false).
  using Runner = std::function<bool(time_us deadline, const std::function<bool()>& done)>;
  // A runner for a unit test's own simulated clock.
  static Runner sim_runner();

  Central(Radio& radio, const Address& address, bool random = true);
  Central(const Central&) = delete;
  Central& operator=(const Central&) = delete;

  void set_runner(Runner runner) { runner_ = std::move(runner); }
  bool wait(const std::function<bool()>& done, time_us timeout_us);
  time_us now() const { return ll_.radio().now(); }
  LinkLayer& ll() { return ll_; }

  // ---- scanning
  struct Device {
    Address address;
    bool random;
    uint8_t type;  // of its advertising PDU
    Bytes adv_data;
    Bytes scan_rsp;
    bool has_scan_rsp = false;
    int16_t rssi_dbm;
    std::vector<time_us> adv_times;  // end of each advertising packet on channel 37
  };
  bool start_scan(bool active = true);
  void stop_scan();
  const std::vector<Device>& devices() const { return devices_; }
  const Device* device(const Address& address) const;
  void clear_scan() { devices_.clear(); }

  // ---- connection
  bool connect(const Address& peer, const ConnectionParams& params = {});
  bool connected() const { return connected_; }
  bool disconnect(uint8_t reason = kRemoteUserTerminated);
  int disconnects() const { return disconnects_; }
  // New connection parameters now (false when they cannot be used).
  bool update_connection(const ConnectionParams& params) { return ll_.update_connection(params); }
  // Whether a peripheral's request for new parameters is granted (default
  // yes, with its shortest interval); updates taken effect so far.
  void set_accept_updates(bool accept) { accept_updates_ = accept; }
  int updates() const { return updates_; }
  uint8_t disconnect_reason() const { return disconnect_reason_; }

  // ---- ATT client: requests go one at a time, in order.
  struct Result {
    bool done = false;
    uint8_t error = 0;  // ATT error code; 0xFF: the link went down first
    Bytes value;        // read value, or the response PDU
  };
  struct Characteristic {
    uint16_t declaration;
    uint8_t properties;
    uint16_t value_handle;
    Bytes uuid;
    uint16_t ccc;  // 0: none
  };
  struct Notification {
    uint16_t handle;
    Bytes value;
    time_us at;
    bool indication;
  };
  uint32_t exchange_mtu(uint16_t mtu);
  uint32_t read(uint16_t handle);
  uint32_t write(uint16_t handle, const Bytes& value);
  // Write without response; queued behind the link's transmit buffers.
  void write_command(uint16_t handle, const Bytes& value);
  // Queued writes: a part of a long value, then all parts written (or
  // dropped).
  uint32_t prepare_write(uint16_t handle, uint16_t offset, const Bytes& value);
  uint32_t execute_write(bool write);
  uint32_t discover();
  // Writes 1 (notifications) or 2 (indications) to the characteristic's CCC.
  uint32_t subscribe(uint16_t value_handle, uint16_t value = 1);
  bool done(uint32_t id) const;
  const Result& result(uint32_t id) const;
  uint16_t mtu() const { return mtu_; }
  const std::vector<Characteristic>& characteristics() const { return chars_; }
  const Characteristic* characteristic(const Bytes& uuid) const;
  std::vector<Notification>& notifications() { return notifications_; }
  // SDUs (writes, requests) not yet acknowledged by the peer's link layer.
  size_t pending() const { return l2cap_.pending(); }

  // ---- pairing
  enum class PairState { kNone, kPairing, kPaired, kFailed };
  void pair(uint32_t passkey, uint8_t auth = kSmpAuthBonding | kSmpAuthMitm);
  PairState pair_state() const { return pair_state_; }
  uint8_t pair_failure() const { return pair_failure_; }  // SMP reason or LL status
  bool security_requested() const { return security_requested_; }

  // LinkLayer::Host.
  void ll_report(const LinkLayer::Report& r) override;
  void ll_connected(const LinkLayer::ConnInfo& c) override;
  void ll_disconnected(uint8_t reason) override;
  void ll_acl(uint8_t llid, const uint8_t* data, size_t len) override;
  void ll_completed(int n) override;
  void ll_encryption_changed(uint8_t status) override;
  void ll_connection_updated(const ConnectionParams&) override { ++updates_; }

 private:
  struct Request {
    Bytes pdu;
    std::function<void(const Bytes&)> done;  // the response (or ErrorRsp)
  };
  uint32_t new_result();
  void request(Bytes pdu, std::function<void(const Bytes&)> done);
  void pump();
  void att_pdu(const Bytes& pdu);
  void discover_chars(uint32_t id, uint16_t start);
  void discover_descriptors(uint32_t id, size_t index);

  LinkLayer ll_;
  L2cap l2cap_;
  Pairing pairing_;
  Runner runner_;
  std::vector<Device> devices_;
  bool connected_ = false;
  int disconnects_ = 0;
  uint8_t disconnect_reason_ = 0;
  uint16_t mtu_ = kDefaultAttMtu;
  std::deque<Request> requests_;
  bool outstanding_ = false;
  std::vector<Result> results_;
  std::vector<Characteristic> chars_;
  std::vector<Notification> notifications_;
  PairState pair_state_ = PairState::kNone;
  uint8_t pair_failure_ = 0;
  bool security_requested_ = false;
  bool accept_updates_ = true;
  int updates_ = 0;
};

}  // namespace sim::ble
