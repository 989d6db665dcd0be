// The Bluetooth LE link layer of the simulated world, for both roles:
// advertising (with scan responses and connection requests), scanning and
// initiating, and connections with connection events, acknowledgement and
// flow control (SN/NESN, a pool of transmit buffers), encryption start and
// termination with a reason. It knows nothing of the host above it (HCI-like
// calls and events) nor of what carries its packets (a Radio): the device
// side runs it on the simulated air, a world's central on the time master.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim/ble_phy.h"
#include "sim/sim.h"

namespace sim::ble {

using Address = std::array<uint8_t, 6>;  // least significant byte first
using Bytes = std::vector<uint8_t>;

constexpr time_us kTifsUs = 150;           // inter-frame space
constexpr size_t kMaxDataPayload = 27;     // LL data PDU payload
constexpr time_us kUnit625 = 625;          // advertising and scan intervals
constexpr time_us kUnit1250 = 1250;        // connection interval
constexpr time_us kUnit10ms = 10000;       // supervision timeout
constexpr time_us kMaxAdvDelayUs = 10000;  // random delay added to each advertising event

// Reasons and statuses as the host interface names them.
enum Status : uint8_t {
  kSuccess = 0x00,
  kPinOrKeyMissing = 0x06,
  kConnectionTimeout = 0x08,
  kRemoteUserTerminated = 0x13,
  kLocalHostTerminated = 0x16,
  kUnacceptableConnectionParameters = 0x3B,
  kAdvertisingTimeout = 0x3C,
  kInstantPassed = 0x28,
  kConnectionFailedToEstablish = 0x3E,
};

// Data channel PDU header bits.
enum Llid : uint8_t { kLlidContinuation = 1, kLlidStart = 2, kLlidControl = 3 };
// Control PDU opcodes the link layer uses.
enum LlOpcode : uint8_t {
  kLlConnectionUpdateInd = 0x00,
  kLlTerminateInd = 0x02,
  kLlEncReq = 0x03,
  kLlStartEncRsp = 0x06,
  kLlUnknownRsp = 0x07,
  kLlRejectInd = 0x0D,
};

// What carries the link layer's packets: one half-duplex transceiver with
// one timer. Receptions are announced only for packets that began while the
// receiver listened on that channel for that access address.
class Radio {
 public:
  struct Rx {
    const uint8_t* pdu;
    size_t len;
    int16_t rssi_dbm;
    time_us start;
    time_us end;
  };
  class Client {
   public:
    virtual ~Client() = default;
    // A packet for the receiver began (it is received unless lost).
    virtual void radio_rx_started() = 0;
    // It ended: `rx` is null when it was lost (collision, too weak).
    virtual void radio_rx_ended(const Rx* rx) = 0;
    virtual void radio_timer() = 0;
  };
  virtual ~Radio() = default;
  virtual void set_client(Client* client) = 0;
  virtual time_us now() const = 0;
  virtual uint32_t device_id() const = 0;
  // Puts a PDU on the air from `start` (>= now); the receiver is off meanwhile.
  virtual void transmit(uint8_t channel, uint32_t access_address, const Bytes& pdu, time_us start,
                        int8_t tx_power_dbm) = 0;
  virtual void listen(uint8_t channel, uint32_t access_address) = 0;
  virtual void stop_listening() = 0;
  // One timer: a later call replaces it; kNever cancels it.
  virtual void set_timer(time_us at) = 0;
};

// The bytes of an air frame carrying `pdu` on `channel`.
AirFrame pdu_frame(uint8_t channel, uint32_t access_address, const Bytes& pdu, time_us start,
                   int8_t tx_power_dbm);

struct ConnectionParams {
  uint16_t interval = 24;  // units of 1.25 ms (30 ms)
  uint16_t latency = 0;
  uint16_t timeout = 400;  // units of 10 ms (4 s)
  uint8_t window_size = 2;
  uint16_t window_offset = 0;
  uint8_t hop = 7;  // 5..16
  uint32_t access_address = 0x50654C1B;
};

// CONNECT_IND: InitA, AdvA and the 22 bytes of LLData.
struct ConnectInd {
  Address init = {};
  bool init_random = false;
  Address adv = {};
  bool adv_random = false;
  ConnectionParams params;
};
Bytes encode_connect_ind(const ConnectInd& c);
bool decode_connect_ind(const uint8_t* pdu, size_t len, ConnectInd* c);
Bytes encode_scan_req(const Address& scanner, bool scanner_random, const Address& adv,
                      bool adv_random);

// Channel selection #1 over all 37 data channels.
uint8_t next_data_channel(uint8_t last_unmapped, uint8_t hop);

// Check value of an encryption key exchanged by LL_ENC_REQ: both ends hold
// the same key when their check values agree.
std::array<uint8_t, 8> key_check(const std::array<uint8_t, 16>& key);

class LinkLayer : public Radio::Client {
 public:
  enum class State { kStandby, kAdvertising, kScanning, kInitiating, kConnected };
  enum class Role { kNone, kCentral, kPeripheral };

  struct AdvParams {
    uint8_t type = kAdvInd;  // kAdvInd, kAdvNonconnInd or kAdvScanInd
    Bytes adv_data;
    Bytes scan_rsp_data;
    uint32_t interval = 1600;  // units of 0.625 ms
    time_us duration_us = 0;   // 0: until stopped
  };
  struct ScanParams {
    bool active = true;
    uint32_t interval = 160;  // units of 0.625 ms; the scanner changes channel each interval
  };
  struct Report {
    uint8_t type;  // PDU type; kScanRsp for a scan response
    Address address;
    bool random;
    Bytes data;
    int16_t rssi_dbm;
    time_us at;  // end of the packet
  };
  struct ConnInfo {
    Role role;
    Address peer;
    bool peer_random;
    ConnectionParams params;
  };

  // The host above: called from the link layer's own context (an event).
  class Host {
   public:
    virtual ~Host() = default;
    virtual void ll_report(const Report&) {}
    // Advertising ended by its duration (kAdvertisingTimeout).
    virtual void ll_advertising_ended(uint8_t) {}
    virtual void ll_connected(const ConnInfo&) {}
    virtual void ll_disconnected(uint8_t) {}
    // An ACL fragment of the peer (LLID start or continuation).
    virtual void ll_acl(uint8_t, const uint8_t*, size_t) {}
    // Transmit buffers the peer has acknowledged, in submission order.
    virtual void ll_completed(int) {}
    virtual void ll_encryption_changed(uint8_t) {}
    // New connection parameters took effect (at the update's instant).
    virtual void ll_connection_updated(const ConnectionParams&) {}
  };

  LinkLayer(Radio& radio, const Address& address, bool random_address);
  ~LinkLayer() override;
  LinkLayer(const LinkLayer&) = delete;
  LinkLayer& operator=(const LinkLayer&) = delete;

  void set_host(Host* host) { host_ = host; }
  Radio& radio() { return radio_; }
  const Radio& radio() const { return radio_; }
  // Takes the radio back after another user (direct test mode).
  void attach_radio();
  // Back to standby at once, as a controller reset does: advertising,
  // scanning and any connection end without a word to the host or the peer
  // (which loses the link by its supervision timeout).
  void reset();

  const Address& address() const { return address_; }
  bool random_address() const { return random_; }
  // Only in standby.
  bool set_address(const Address& address, bool random);
  void set_tx_power(int8_t dbm) { tx_power_ = dbm; }
  int8_t tx_power() const { return tx_power_; }
  // Transmit buffers for ACL fragments (the host's credits). Default 8.
  void set_acl_buffers(int n) { acl_buffers_ = n; }
  int free_acl_buffers() const;

  State state() const { return state_; }
  Role role() const { return role_; }
  bool encrypted() const { return encrypted_; }
  const ConnInfo& connection() const { return conn_; }

  // Advertising (peripheral). False unless in standby with valid data.
  bool start_advertising(const AdvParams& params);
  // Data changes take effect at the next advertising event.
  void set_advertising_data(const Bytes& adv_data, const Bytes& scan_rsp_data);
  void stop_advertising();

  // Scanning, and initiating a connection to `peer` (central).
  bool start_scanning(const ScanParams& params);
  void stop_scanning();
  bool connect(const Address& peer, const ConnectionParams& params, const ScanParams& scan);
  bool connect(const Address& peer, const ConnectionParams& params) {
    return connect(peer, params, ScanParams());
  }
  void cancel_connect();

  // Connection. An ACL fragment goes out when a transmit buffer is free
  // (false when none is, or not connected); at most kMaxDataPayload bytes.
  bool send_acl(uint8_t llid, const uint8_t* data, size_t len);
  // Ends the connection: the peer learns `reason`, the local host gets
  // kLocalHostTerminated once the peer acknowledged it (or the supervision
  // timeout's reason when it never does).
  bool disconnect(uint8_t reason);
  // Encryption: the peripheral's host gives the key it expects; the central
  // starts encryption with its key. ll_encryption_changed reports the
  // result on both sides (kSuccess, or kPinOrKeyMissing when they differ).
  void set_peripheral_key(const std::array<uint8_t, 16>& key);
  bool start_encryption(const std::array<uint8_t, 16>& key);
  // Central: new interval, latency and timeout, taking effect on both sides
  // at an instant six connection events ahead. False when not a central's
  // connection, the values are unusable, or an update is under way.
  bool update_connection(const ConnectionParams& params);
  // Whether interval, latency and timeout make a connection that can live.
  static bool usable(const ConnectionParams& p);

  // Radio::Client.
  void radio_rx_started() override;
  void radio_rx_ended(const Radio::Rx* rx) override;
  void radio_timer() override;

  // Advertising events sent so far (tests).
  uint32_t advertising_events() const { return adv_events_; }

 private:
  enum class Step {
    kIdle,
    kAdvTx,           // send the advertising PDU on adv_channel_
    kAdvListenOpen,   // our PDU ended: listen for a request
    kAdvListenClose,  // nothing came
    kAdvRspTx,        // send the scan response
    kScanSwitch,      // next scan channel
    kScanReqTx,       // send a scan request
    kScanRspOpen,     // listen for its response
    kScanRspClose,    // none came
    kConnectTx,       // send CONNECT_IND
    kConnectDone,     // it ended: the connection begins
    kCentralTx,       // send the central's packet
    kCentralListenOpen,
    kCentralListenClose,
    kPeriphOpen,   // listen for the central's packet
    kPeriphClose,  // none came in the window
    kPeriphTx,     // send the peripheral's reply
    kEventEnd,
    kClose,      // end the connection (close_reason_)
    kReceiving,  // a packet is under way
  };
  struct Pdu {
    uint8_t llid;
    Bytes data;
    bool acl;  // counts as a transmit buffer
  };

  uint32_t rand_u32();
  void go_standby();
  void set_step(Step step, time_us at);
  // advertising
  void adv_next_event(time_us at);
  void adv_transmit();
  void adv_received(const Radio::Rx& rx);
  void adv_next_channel(time_us after);
  // scanning
  void scan_listen();
  void scan_received(const Radio::Rx& rx);
  // connection
  void enter_connection(Role role, const ConnectInd& c, time_us connect_end);
  void start_event();
  Bytes next_tx_pdu(bool* md);
  bool conn_received(const Radio::Rx& rx);  // false: bad PDU
  void handle_control(const uint8_t* data, size_t len);
  void apply_update();
  void end_event();
  void close_connection(uint8_t reason);
  bool supervision_expired(time_us t) const;

  Radio& radio_;
  Host* host_ = nullptr;
  Address address_;
  bool random_;
  int8_t tx_power_ = 0;
  int acl_buffers_ = 8;
  uint32_t seed_;

  State state_ = State::kStandby;
  Role role_ = Role::kNone;
  Step step_ = Step::kIdle;
  time_us step_at_ = kNever;

  // advertising
  AdvParams adv_;
  time_us adv_until_ = kNever;
  time_us adv_event_start_ = 0;
  uint8_t adv_channel_ = 37;
  uint32_t adv_events_ = 0;
  // scanning / initiating
  ScanParams scan_;
  uint8_t scan_channel_ = 37;
  time_us scan_switch_at_ = 0;
  Address scan_target_ = {};  // SCAN_REQ sent to
  bool initiating_ = false;
  Address connect_peer_ = {};
  ConnectionParams connect_params_;
  ConnectInd pending_connect_;
  // connection
  ConnInfo conn_{};
  uint8_t last_unmapped_ = 0;
  uint8_t channel_ = 0;
  uint16_t event_counter_ = 0;
  time_us anchor_ = 0;        // this event's anchor (expected, or as received)
  time_us last_sync_ = 0;     // last anchor received (peripheral)
  time_us first_window_ = 0;  // extra listening for the first packet
  time_us last_rx_ = 0;       // last packet received from the peer
  time_us conn_start_ = 0;
  bool established_ = false;
  uint8_t sn_ = 0, nesn_ = 0;
  bool peer_md_ = false;
  bool event_first_rx_ = true;  // the next packet received is the event's first
  time_us window_close_ = 0;
  uint8_t close_reason_ = 0;
  bool in_flight_ = false;  // the front of tx_ (or an empty PDU) is unacknowledged
  bool in_flight_empty_ = false;
  std::deque<Pdu> tx_;
  // termination
  bool terminate_sent_ = false;  // our LL_TERMINATE_IND is queued
  bool terminate_acked_ = false;
  uint8_t terminate_reason_ = 0;  // what we told the peer
  bool peer_terminated_ = false;  // the peer's arrived: ack once, then close
  uint8_t peer_terminate_reason_ = 0;
  // encryption
  bool encrypted_ = false;
  bool have_key_ = false;
  std::array<uint8_t, 16> key_ = {};
  // connection update
  bool update_pending_ = false;
  bool instant_passed_ = false;
  uint16_t update_instant_ = 0;
  ConnectionParams update_params_;
};

}  // namespace sim::ble
