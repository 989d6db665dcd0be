// Host-side pieces above the link layer, shared by the world's central and
// the host stand-ins of the chips: L2CAP fragmentation and reassembly with
// the link layer's transmit buffers as credits, an ATT attribute server (the
// GATT database), and pairing with a passkey (a simplified but honest
// confirm exchange: each side proves it knows the passkey before the link is
// encrypted with a key derived from it and both random values).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "sim/ble_ll.h"

namespace sim::ble {

constexpr uint16_t kCidAtt = 0x0004;
constexpr uint16_t kCidSignaling = 0x0005;  // LE signaling channel
enum SignalingCode : uint8_t {
  kSigCommandReject = 0x01,
  kSigConnParamRequest = 0x12,
  kSigConnParamResponse = 0x13,
};
constexpr uint16_t kCidSmp = 0x0006;
constexpr uint16_t kDefaultAttMtu = 23;

// ------------------------------------------------------------------ L2CAP --
class L2cap {
 public:
  explicit L2cap(LinkLayer& ll) : ll_(ll) {}

  // A whole SDU of the peer on a channel.
  std::function<void(uint16_t cid, const Bytes& sdu)> on_sdu;
  // Every fragment of the SDU sent with this tag was acknowledged.
  std::function<void(uint32_t tag)> on_sent;

  // Queues an SDU; its fragments go to the link layer as buffers free up.
  void send(uint16_t cid, const Bytes& sdu, uint32_t tag = 0);
  // SDUs not yet wholly acknowledged.
  size_t pending() const;

  // From the link layer (the owner forwards its Host calls).
  void acl(uint8_t llid, const uint8_t* data, size_t len);
  void completed(int n);
  void reset();  // connection opened or closed

 private:
  struct Fragment {
    uint8_t llid;
    Bytes data;
    uint32_t tag;
    bool last;
  };
  void pump();

  LinkLayer& ll_;
  std::deque<Fragment> waiting_;                     // not yet taken by the link layer
  std::deque<std::pair<uint32_t, bool>> in_flight_;  // tag, last fragment of its SDU
  size_t sdus_pending_ = 0;
  Bytes rx_;
  size_t rx_want_ = 0;  // bytes of the SDU under reassembly, header included
};

// -------------------------------------------------------------------- ATT --
enum AttOpcode : uint8_t {
  kAttErrorRsp = 0x01,
  kAttMtuReq = 0x02,
  kAttMtuRsp = 0x03,
  kAttFindInfoReq = 0x04,
  kAttFindInfoRsp = 0x05,
  kAttReadByTypeReq = 0x08,
  kAttReadByTypeRsp = 0x09,
  kAttReadReq = 0x0A,
  kAttReadRsp = 0x0B,
  kAttReadBlobReq = 0x0C,
  kAttReadBlobRsp = 0x0D,
  kAttReadByGroupReq = 0x10,
  kAttReadByGroupRsp = 0x11,
  kAttWriteReq = 0x12,
  kAttWriteRsp = 0x13,
  kAttPrepareWriteReq = 0x16,
  kAttPrepareWriteRsp = 0x17,
  kAttExecuteWriteReq = 0x18,
  kAttExecuteWriteRsp = 0x19,
  kAttNotification = 0x1B,
  kAttIndication = 0x1D,
  kAttConfirmation = 0x1E,
  kAttWriteCmd = 0x52,
};
enum AttError : uint8_t {
  kAttInvalidHandle = 0x01,
  kAttReadNotPermitted = 0x02,
  kAttWriteNotPermitted = 0x03,
  kAttInvalidPdu = 0x04,
  kAttInsufficientAuthentication = 0x05,
  kAttRequestNotSupported = 0x06,
  kAttInvalidOffset = 0x07,
  kAttPrepareQueueFull = 0x09,
  kAttNotFound = 0x0A,
  kAttInvalidLength = 0x0D,
};

constexpr uint16_t kUuidPrimaryService = 0x2800;
constexpr uint16_t kUuidCharacteristic = 0x2803;
constexpr uint16_t kUuidCcc = 0x2902;

// A UUID as it travels: 2 or 16 bytes, least significant first.
Bytes uuid16(uint16_t uuid);
// "6E400001-B5A3-F393-E0A9-E50E24DCCA9E" -> 16 bytes little-endian; empty
// when the text is not a UUID.
Bytes uuid128(const char* text);

struct Attribute {
  enum Permission : uint8_t {
    kRead = 1,
    kWrite = 2,
    kReadEncrypted = 4,   // reading needs an encrypted link
    kWriteEncrypted = 8,  // writing needs an encrypted link
  };
  uint16_t handle = 0;
  Bytes type;  // UUID
  Bytes value;
  uint16_t max_len = 0;
  bool variable = true;
  uint8_t permissions = kRead;
  bool write_callback = false;  // writes go to on_write, which decides
  bool read_callback = false;   // on_read runs before the value is read
  bool ccc = false;             // a client characteristic configuration
};

class AttServer {
 public:
  // Attributes are kept in handle order; a handle already present is replaced.
  void add(const Attribute& a);
  void remove(uint16_t first, uint16_t last);
  Attribute* find(uint16_t handle);
  const std::vector<Attribute>& attributes() const { return db_; }

  // The largest ATT_MTU this server takes (default 247).
  void set_local_mtu(uint16_t mtu) { local_mtu_ = mtu; }
  uint16_t mtu() const { return mtu_; }
  void set_encrypted(bool on) { encrypted_ = on; }
  void reset_connection();  // MTU 23, every CCC value 0

  // A peer PDU: returns the response to send (empty: none).
  Bytes handle(const Bytes& pdu);

  // A write to an attribute with write_callback (op kAttWriteReq or
  // kAttWriteCmd): returns an ATT error or 0. The value is stored only when
  // it returns 0 and the callback left it alone.
  std::function<uint8_t(uint16_t handle, uint8_t op, uint16_t offset, const uint8_t* data,
                        size_t len)>
      on_write;
  std::function<void(uint16_t handle)> on_read;
  std::function<void(uint16_t handle, uint16_t value)> on_ccc;
  std::function<void(uint16_t mtu)> on_mtu;
  std::function<void()> on_confirmation;

  static Bytes notification(uint16_t handle, const uint8_t* data, size_t len);
  static Bytes indication(uint16_t handle, const uint8_t* data, size_t len);
  static Bytes error(uint8_t req, uint16_t handle, uint8_t code);

 private:
  Bytes read_by_type(const Bytes& pdu);
  Bytes read_by_group(const Bytes& pdu);
  Bytes find_info(const Bytes& pdu);
  Bytes write(const Bytes& pdu);

  std::vector<Attribute> db_;
  uint16_t local_mtu_ = 247;
  uint16_t mtu_ = kDefaultAttMtu;
  bool encrypted_ = false;
};

// ---------------------------------------------------------------- pairing --
enum SmpCode : uint8_t {
  kSmpPairingRequest = 0x01,
  kSmpPairingResponse = 0x02,
  kSmpPairingConfirm = 0x03,
  kSmpPairingRandom = 0x04,
  kSmpPairingFailed = 0x05,
  kSmpSecurityRequest = 0x0B,
};
enum SmpFailure : uint8_t {
  kSmpPasskeyEntryFailed = 0x01,
  kSmpConfirmValueFailed = 0x04,
  kSmpPairingNotSupported = 0x05,
  kSmpUnspecified = 0x08,
};
constexpr uint8_t kSmpAuthBonding = 0x01;
constexpr uint8_t kSmpAuthMitm = 0x04;

using Key = std::array<uint8_t, 16>;

// The confirm value of one side: a keyed digest of the passkey (as the
// 16-byte temporary key), that side's random value and both pairing PDUs.
Key pairing_confirm(const Key& tk, const Key& rand, const Bytes& preq, const Bytes& pres);
// The short-term key both sides derive once the random values are out.
Key short_term_key(const Key& tk, const Key& srand, const Key& mrand);
Key passkey_tk(uint32_t passkey);

// One side of a pairing. Passkey entry when either side asks for MITM
// protection, else Just Works (temporary key 0).
class Pairing {
 public:
  enum class Role { kInitiator, kResponder };
  Pairing(Role role, uint32_t seed);

  std::function<void(const Bytes& pdu)> send;
  // The passkey is needed (responder, or an initiator without one): answer
  // with passkey_reply().
  std::function<void()> on_passkey_request;
  // Both confirm values checked: the key to encrypt the link with.
  std::function<void(const Key& stk)> on_key;
  // The pairing failed (reason), locally detected or told by the peer.
  std::function<void(uint8_t reason)> on_failed;
  // A peripheral asks the initiator to pair.
  std::function<void(uint8_t auth)> on_security_request;

  // Initiator.
  void start(uint8_t auth, bool have_passkey, uint32_t passkey);
  // Responder: its own pairing response fields.
  void set_responder(uint8_t io_capability, uint8_t auth) {
    io_ = io_capability;
    auth_ = auth;
  }
  void passkey_reply(uint32_t passkey);
  void passkey_refused();
  void received(const Bytes& pdu);
  void reset();
  bool busy() const { return state_ != State::kIdle; }
  bool passkey_entry() const { return passkey_entry_; }

 private:
  enum class State { kIdle, kWaitResponse, kWaitConfirm, kWaitRandom, kDone };
  void fail(uint8_t reason, bool tell_peer);
  void maybe_send_confirm();
  Key random();

  Role role_;
  uint32_t seed_;
  State state_ = State::kIdle;
  uint8_t io_ = 0x03;  // no input, no output
  uint8_t auth_ = kSmpAuthBonding;
  Bytes preq_, pres_;
  bool have_tk_ = false;
  bool passkey_entry_ = false;
  Key tk_{}, mine_{}, peer_confirm_{}, own_confirm_{};
  bool have_peer_confirm_ = false;
  bool sent_confirm_ = false;
};

}  // namespace sim::ble
