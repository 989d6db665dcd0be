// The network's own LoRaWAN frame codec and key schedule (L2 1.0.x and 1.1):
// join request / join accept, data frames, MIC blocks, payload and FOpts
// encryption, session and multicast key derivation, MAC command lengths.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "network/crypto.h"

namespace sim::network {

using Bytes = std::vector<uint8_t>;

enum class MType : uint8_t {
  kJoinRequest = 0,
  kJoinAccept = 1,
  kUnconfirmedUp = 2,
  kUnconfirmedDown = 3,
  kConfirmedUp = 4,
  kConfirmedDown = 5,
  kRejoinRequest = 6,
  kProprietary = 7,
};
const char* mtype_name(MType t);

// FCtrl bits.
constexpr uint8_t kFCtrlAdr = 0x80;
constexpr uint8_t kFCtrlAdrAckReq = 0x40;  // uplink
constexpr uint8_t kFCtrlAck = 0x20;
constexpr uint8_t kFCtrlClassB = 0x10;    // uplink
constexpr uint8_t kFCtrlFPending = 0x10;  // downlink

// --- join -----------------------------------------------------------------
struct JoinRequest {
  uint64_t join_eui = 0;
  uint64_t dev_eui = 0;
  uint16_t dev_nonce = 0;
  uint32_t mic = 0;  // as on the air (little-endian bytes read as a number)
};
// 23 bytes, MIC under the root key (AppKey in 1.0, NwkKey in 1.1).
Bytes build_join_request(const Key& root, uint64_t join_eui, uint64_t dev_eui, uint16_t dev_nonce);
bool parse_join_request(const Bytes& frame, JoinRequest* out, std::string* why);
bool join_request_mic_ok(const Bytes& frame, const Key& root);

struct JoinAccept {
  uint32_t join_nonce = 0;  // 24 bits
  uint32_t net_id = 0;      // 24 bits
  uint32_t dev_addr = 0;
  uint8_t dl_settings = 0;  // bit 7 OptNeg, 6..4 RX1DROffset, 3..0 RX2DR
  uint8_t rx_delay = 1;
  Bytes cflist;  // empty or 16 bytes
};
// The join accept as sent: MHDR 0x20 and the encrypted rest. 1.0: MIC under
// the root key over MHDR..CFList. 1.1 (OptNeg): MIC under JSIntKey over
// JoinReqType | JoinEUI | DevNonce | MHDR..CFList. Encrypted with `enc_key`
// (root key for a join request, JSEncKey for a rejoin) by AES decryption.
Bytes build_join_accept(const JoinAccept& ja, const Key& mic_key, const Key& enc_key, bool opt_neg,
                        uint8_t join_req_type, uint64_t join_eui, uint16_t dev_nonce);
// A device's reading of a join accept (for tests): decrypts, checks the MIC.
bool open_join_accept(const Bytes& frame, const Key& enc_key, const Key& mic_key,
                      uint8_t join_req_type, uint64_t join_eui, uint16_t dev_nonce, JoinAccept* out,
                      std::string* why);

struct SessionKeys {
  bool v11 = false;
  Key fnwk_s_int{};  // 1.0: NwkSKey (all three network keys)
  Key snwk_s_int{};
  Key nwk_s_enc{};
  Key app_s{};
};
SessionKeys derive_keys_10(const Key& app_key, uint32_t join_nonce, uint32_t net_id,
                           uint16_t dev_nonce);
SessionKeys derive_keys_11(const Key& nwk_key, const Key& app_key, uint32_t join_nonce,
                           uint64_t join_eui, uint16_t dev_nonce);
SessionKeys abp_keys_10(const Key& nwk_s_key, const Key& app_s_key);
Key js_int_key(const Key& nwk_key, uint64_t dev_eui);
Key js_enc_key(const Key& nwk_key, uint64_t dev_eui);
// Multicast group keys from McKey: McAppSKey (0x01) and McNwkSKey (0x02).
Key mc_app_s_key(const Key& mc_key, uint32_t mc_addr);
Key mc_nwk_s_key(const Key& mc_key, uint32_t mc_addr);

// --- data frames ------------------------------------------------------------
struct DataFrame {
  MType mtype = MType::kUnconfirmedUp;
  uint8_t major = 0;
  uint32_t dev_addr = 0;
  uint8_t fctrl = 0;  // FOptsLen is taken from `fopts`
  uint16_t fcnt = 0;  // low 16 bits on the air
  Bytes fopts;        // as on the air (encrypted in 1.1)
  std::optional<uint8_t> fport;
  Bytes payload;  // FRMPayload as on the air (encrypted)
  uint32_t mic = 0;
  bool uplink() const { return mtype == MType::kUnconfirmedUp || mtype == MType::kConfirmedUp; }
};
// Splits a data frame; refuses frames whose fields do not fit.
bool parse_data_frame(const Bytes& frame, DataFrame* out, std::string* why);

// Encrypts or decrypts FRMPayload (the same operation): A blocks
// 01 | 00000000 | dir | DevAddr | FCnt | 00 | i.
void crypt_payload(const Key& key, bool downlink, uint32_t dev_addr, uint32_t fcnt, Bytes& data);
// 1.1 FOpts encryption with NwkSEncKey, one block
// A = 01 | 000000 | id | dir | DevAddr | FCnt | 00 | 01. The later form (the
// counter-identifier change published for 1.1.1) puts 0x01 (FCntUp,
// NFCntDown) or 0x02 (AFCntDown) in id, byte 4, right before the direction;
// the original 1.1.0 form has bytes 4 and 15 zero.
void crypt_fopts(const Key& key, bool downlink, uint32_t dev_addr, uint32_t fcnt, Bytes& data,
                 bool later_form, bool app_counter);

// MICs over `msg` (MHDR..FRMPayload). Uplink 1.0: CMAC(FNwkSIntKey, B0|msg);
// 1.1: cmacS[0..1] | cmacF[0..1] with B1 carrying ConfFCnt, TxDr and TxCh.
// Downlink: CMAC(SNwkSIntKey, B0|msg) with ConfFCnt in 1.1.
uint32_t uplink_mic(const SessionKeys& k, const Bytes& msg, uint32_t dev_addr, uint32_t fcnt,
                    uint16_t conf_fcnt, uint8_t tx_dr, uint8_t tx_ch);
uint32_t downlink_mic(const SessionKeys& k, const Bytes& msg, uint32_t dev_addr, uint32_t fcnt,
                      uint16_t conf_fcnt);

// Builds a whole data frame: encrypts FRMPayload (port 0 with the network
// encryption key, else AppSKey), FOpts in 1.1, and appends the MIC. `fopts`
// and `payload` are plain.
struct FrameParams {
  MType mtype = MType::kUnconfirmedUp;
  uint32_t dev_addr = 0;
  uint8_t fctrl = 0;
  uint32_t fcnt = 0;
  Bytes fopts;
  std::optional<uint8_t> fport;
  Bytes payload;
  uint16_t conf_fcnt = 0;  // 1.1 with ACK
  uint8_t tx_dr = 0;       // 1.1 uplink
  uint8_t tx_ch = 0;       // 1.1 uplink
  bool fopts_later_form = true;
};
Bytes build_data_frame(const SessionKeys& k, const FrameParams& p);

// --- MAC commands -------------------------------------------------------------
// Length of a command's payload after its CID, or -1 for an unknown CID.
int mac_length(uint8_t cid, bool uplink);
const char* mac_name(uint8_t cid, bool uplink);
struct MacCommand {
  uint8_t cid = 0;
  Bytes data;
};
// Splits a command sequence; stops at an unknown or cut command (`ok` false).
std::vector<MacCommand> split_mac(const Bytes& bytes, bool uplink, bool* ok);
std::string describe_mac(const std::vector<MacCommand>& cmds, bool uplink);

// Ping-slot offset of a class B address for a beacon: the first two bytes of
// AES(zero key, BeaconTime | address | 0...) modulo the ping period.
uint32_t ping_offset(uint32_t beacon_time, uint32_t address, uint32_t ping_period);

}  // namespace sim::network
