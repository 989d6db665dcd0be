#include "network/lorawan.h"

#include <cstdio>
#include <cstring>

namespace sim::network {
namespace {

void put_le(Bytes& b, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put_le(uint8_t* p, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t get_le(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint32_t mic_of(const Block& cmac) { return static_cast<uint32_t>(get_le(cmac.data(), 4)); }

Block key_block(uint8_t type, const Bytes& rest) {
  Block b{};
  b[0] = type;
  std::memcpy(b.data() + 1, rest.data(), rest.size());
  return b;
}

Block cmac(const Key& k, const Block& b0, const Bytes& msg) {
  Bytes all(b0.begin(), b0.end());
  all.insert(all.end(), msg.begin(), msg.end());
  return aes_cmac(k, all.data(), all.size());
}

// B0/B1 blocks of the MIC: 49 | x(4) | dir | DevAddr | FCnt | 00 | len.
Block mic_block(const uint8_t x[4], bool downlink, uint32_t dev_addr, uint32_t fcnt, size_t len) {
  Block b{};
  b[0] = 0x49;
  std::memcpy(b.data() + 1, x, 4);
  b[5] = downlink ? 1 : 0;
  put_le(b.data() + 6, dev_addr, 4);
  put_le(b.data() + 10, fcnt, 4);
  b[14] = 0;
  b[15] = static_cast<uint8_t>(len);
  return b;
}

}  // namespace

const char* mtype_name(MType t) {
  static const char* names[] = {"JoinRequest", "JoinAccept",    "UnconfirmedUp", "UnconfirmedDown",
                                "ConfirmedUp", "ConfirmedDown", "RejoinRequest", "Proprietary"};
  return names[static_cast<int>(t) & 7];
}

Bytes build_join_request(const Key& root, uint64_t join_eui, uint64_t dev_eui, uint16_t dev_nonce) {
  Bytes f{0x00};
  put_le(f, join_eui, 8);
  put_le(f, dev_eui, 8);
  put_le(f, dev_nonce, 2);
  Block c = aes_cmac(root, f.data(), f.size());
  f.insert(f.end(), c.begin(), c.begin() + 4);
  return f;
}

bool parse_join_request(const Bytes& f, JoinRequest* out, std::string* why) {
  if (f.size() != 23) {
    *why = "join request of " + std::to_string(f.size()) + " bytes";
    return false;
  }
  if ((f[0] >> 5) != 0 || (f[0] & 3) != 0) {
    *why = "not a LoRaWAN R1 join request";
    return false;
  }
  out->join_eui = get_le(&f[1], 8);
  out->dev_eui = get_le(&f[9], 8);
  out->dev_nonce = static_cast<uint16_t>(get_le(&f[17], 2));
  out->mic = static_cast<uint32_t>(get_le(&f[19], 4));
  return true;
}

bool join_request_mic_ok(const Bytes& f, const Key& root) {
  if (f.size() != 23) return false;
  return mic_of(aes_cmac(root, f.data(), 19)) == get_le(&f[19], 4);
}

namespace {
Bytes join_accept_plain(const JoinAccept& ja) {
  Bytes f{0x20};
  put_le(f, ja.join_nonce, 3);
  put_le(f, ja.net_id, 3);
  put_le(f, ja.dev_addr, 4);
  f.push_back(ja.dl_settings);
  f.push_back(ja.rx_delay);
  f.insert(f.end(), ja.cflist.begin(), ja.cflist.end());
  return f;
}

uint32_t join_accept_mic(const Bytes& plain, const Key& mic_key, bool opt_neg, uint8_t type,
                         uint64_t join_eui, uint16_t dev_nonce) {
  if (!opt_neg) return mic_of(aes_cmac(mic_key, plain.data(), plain.size()));
  Bytes m{type};
  put_le(m, join_eui, 8);
  put_le(m, dev_nonce, 2);
  m.insert(m.end(), plain.begin(), plain.end());
  return mic_of(aes_cmac(mic_key, m.data(), m.size()));
}
}  // namespace

Bytes build_join_accept(const JoinAccept& ja, const Key& mic_key, const Key& enc_key, bool opt_neg,
                        uint8_t join_req_type, uint64_t join_eui, uint16_t dev_nonce) {
  Bytes f = join_accept_plain(ja);
  put_le(f, join_accept_mic(f, mic_key, opt_neg, join_req_type, join_eui, dev_nonce), 4);
  // The device encrypts to read it, so the network "decrypts" to send it.
  for (size_t off = 1; off + 16 <= f.size(); off += 16) {
    Block b;
    std::memcpy(b.data(), &f[off], 16);
    b = aes_decrypt(enc_key, b);
    std::memcpy(&f[off], b.data(), 16);
  }
  return f;
}

bool open_join_accept(const Bytes& frame, const Key& enc_key, const Key& mic_key,
                      uint8_t join_req_type, uint64_t join_eui, uint16_t dev_nonce, JoinAccept* out,
                      std::string* why) {
  if (frame.size() != 17 && frame.size() != 33) {
    *why = "join accept of " + std::to_string(frame.size()) + " bytes";
    return false;
  }
  Bytes f = frame;
  for (size_t off = 1; off + 16 <= f.size(); off += 16) {
    Block b;
    std::memcpy(b.data(), &f[off], 16);
    b = aes_encrypt(enc_key, b);
    std::memcpy(&f[off], b.data(), 16);
  }
  JoinAccept ja;
  ja.join_nonce = static_cast<uint32_t>(get_le(&f[1], 3));
  ja.net_id = static_cast<uint32_t>(get_le(&f[4], 3));
  ja.dev_addr = static_cast<uint32_t>(get_le(&f[7], 4));
  ja.dl_settings = f[11];
  ja.rx_delay = f[12];
  if (f.size() == 33) ja.cflist.assign(f.begin() + 13, f.begin() + 29);
  Bytes plain(f.begin(), f.end() - 4);
  bool opt_neg = (ja.dl_settings & 0x80) != 0;
  uint32_t mic = static_cast<uint32_t>(get_le(&f[f.size() - 4], 4));
  if (join_accept_mic(plain, mic_key, opt_neg, join_req_type, join_eui, dev_nonce) != mic) {
    *why = "join accept MIC";
    return false;
  }
  *out = ja;
  return true;
}

SessionKeys derive_keys_10(const Key& app_key, uint32_t join_nonce, uint32_t net_id,
                           uint16_t dev_nonce) {
  Bytes rest;
  put_le(rest, join_nonce, 3);
  put_le(rest, net_id, 3);
  put_le(rest, dev_nonce, 2);
  SessionKeys k;
  k.fnwk_s_int = aes_encrypt(app_key, key_block(0x01, rest));
  k.snwk_s_int = k.nwk_s_enc = k.fnwk_s_int;
  k.app_s = aes_encrypt(app_key, key_block(0x02, rest));
  return k;
}

SessionKeys derive_keys_11(const Key& nwk_key, const Key& app_key, uint32_t join_nonce,
                           uint64_t join_eui, uint16_t dev_nonce) {
  Bytes rest;
  put_le(rest, join_nonce, 3);
  put_le(rest, join_eui, 8);
  put_le(rest, dev_nonce, 2);
  SessionKeys k;
  k.v11 = true;
  k.fnwk_s_int = aes_encrypt(nwk_key, key_block(0x01, rest));
  k.app_s = aes_encrypt(app_key, key_block(0x02, rest));
  k.snwk_s_int = aes_encrypt(nwk_key, key_block(0x03, rest));
  k.nwk_s_enc = aes_encrypt(nwk_key, key_block(0x04, rest));
  return k;
}

SessionKeys abp_keys_10(const Key& nwk_s_key, const Key& app_s_key) {
  SessionKeys k;
  k.fnwk_s_int = k.snwk_s_int = k.nwk_s_enc = nwk_s_key;
  k.app_s = app_s_key;
  return k;
}

Key js_int_key(const Key& nwk_key, uint64_t dev_eui) {
  Bytes rest;
  put_le(rest, dev_eui, 8);
  return aes_encrypt(nwk_key, key_block(0x06, rest));
}

Key js_enc_key(const Key& nwk_key, uint64_t dev_eui) {
  Bytes rest;
  put_le(rest, dev_eui, 8);
  return aes_encrypt(nwk_key, key_block(0x05, rest));
}

Key mc_app_s_key(const Key& mc_key, uint32_t mc_addr) {
  Bytes rest;
  put_le(rest, mc_addr, 4);
  return aes_encrypt(mc_key, key_block(0x01, rest));
}

Key mc_nwk_s_key(const Key& mc_key, uint32_t mc_addr) {
  Bytes rest;
  put_le(rest, mc_addr, 4);
  return aes_encrypt(mc_key, key_block(0x02, rest));
}

bool parse_data_frame(const Bytes& f, DataFrame* out, std::string* why) {
  if (f.size() < 12) {
    *why = "short frame (" + std::to_string(f.size()) + " bytes)";
    return false;
  }
  MType t = static_cast<MType>(f[0] >> 5);
  if (t != MType::kUnconfirmedUp && t != MType::kConfirmedUp && t != MType::kUnconfirmedDown &&
      t != MType::kConfirmedDown) {
    *why = std::string("not a data frame (") + mtype_name(t) + ")";
    return false;
  }
  DataFrame d;
  d.mtype = t;
  d.major = f[0] & 3;
  d.dev_addr = static_cast<uint32_t>(get_le(&f[1], 4));
  d.fctrl = f[5];
  d.fcnt = static_cast<uint16_t>(get_le(&f[6], 2));
  size_t fopts_len = d.fctrl & 0x0f;
  size_t body_end = f.size() - 4;
  if (8 + fopts_len > body_end) {
    *why = "FOptsLen " + std::to_string(fopts_len) + " beyond the frame";
    return false;
  }
  d.fopts.assign(f.begin() + 8, f.begin() + 8 + static_cast<long>(fopts_len));
  size_t pos = 8 + fopts_len;
  if (pos < body_end) {
    d.fport = f[pos];
    d.payload.assign(f.begin() + static_cast<long>(pos) + 1,
                     f.begin() + static_cast<long>(body_end));
  }
  d.mic = static_cast<uint32_t>(get_le(&f[body_end], 4));
  *out = std::move(d);
  return true;
}

void crypt_payload(const Key& key, bool downlink, uint32_t dev_addr, uint32_t fcnt, Bytes& data) {
  for (size_t i = 0; i < data.size(); i += 16) {
    Block a{};
    a[0] = 0x01;
    a[5] = downlink ? 1 : 0;
    put_le(a.data() + 6, dev_addr, 4);
    put_le(a.data() + 10, fcnt, 4);
    a[15] = static_cast<uint8_t>(i / 16 + 1);
    Block s = aes_encrypt(key, a);
    for (size_t j = 0; j < 16 && i + j < data.size(); ++j) data[i + j] ^= s[j];
  }
}

void crypt_fopts(const Key& key, bool downlink, uint32_t dev_addr, uint32_t fcnt, Bytes& data,
                 bool later_form, bool app_counter) {
  Block a{};
  a[0] = 0x01;
  if (later_form) {
    a[4] = app_counter ? 0x02 : 0x01;
    a[15] = 0x01;
  }
  a[5] = downlink ? 1 : 0;
  put_le(a.data() + 6, dev_addr, 4);
  put_le(a.data() + 10, fcnt, 4);
  Block s = aes_encrypt(key, a);
  for (size_t j = 0; j < data.size() && j < 16; ++j) data[j] ^= s[j];
}

uint32_t uplink_mic(const SessionKeys& k, const Bytes& msg, uint32_t dev_addr, uint32_t fcnt,
                    uint16_t conf_fcnt, uint8_t tx_dr, uint8_t tx_ch) {
  const uint8_t zero[4] = {0, 0, 0, 0};
  Block f = cmac(k.fnwk_s_int, mic_block(zero, false, dev_addr, fcnt, msg.size()), msg);
  if (!k.v11) return mic_of(f);
  const uint8_t x[4] = {static_cast<uint8_t>(conf_fcnt), static_cast<uint8_t>(conf_fcnt >> 8),
                        tx_dr, tx_ch};
  Block s = cmac(k.snwk_s_int, mic_block(x, false, dev_addr, fcnt, msg.size()), msg);
  return static_cast<uint32_t>(s[0]) | static_cast<uint32_t>(s[1]) << 8 |
         static_cast<uint32_t>(f[0]) << 16 | static_cast<uint32_t>(f[1]) << 24;
}

uint32_t downlink_mic(const SessionKeys& k, const Bytes& msg, uint32_t dev_addr, uint32_t fcnt,
                      uint16_t conf_fcnt) {
  uint8_t x[4] = {0, 0, 0, 0};
  if (k.v11) {
    x[0] = static_cast<uint8_t>(conf_fcnt);
    x[1] = static_cast<uint8_t>(conf_fcnt >> 8);
  }
  return mic_of(cmac(k.snwk_s_int, mic_block(x, true, dev_addr, fcnt, msg.size()), msg));
}

Bytes build_data_frame(const SessionKeys& k, const FrameParams& p) {
  const bool down = p.mtype == MType::kUnconfirmedDown || p.mtype == MType::kConfirmedDown;
  Bytes f{static_cast<uint8_t>(static_cast<uint8_t>(p.mtype) << 5)};
  put_le(f, p.dev_addr, 4);
  Bytes fopts = p.fopts;
  if (fopts.size() > 15) fopts.resize(15);
  f.push_back(static_cast<uint8_t>((p.fctrl & 0xf0) | fopts.size()));
  put_le(f, p.fcnt, 2);
  if (k.v11 && !fopts.empty())
    crypt_fopts(k.nwk_s_enc, down, p.dev_addr, p.fcnt, fopts, p.fopts_later_form,
                down && p.fport && *p.fport != 0);
  f.insert(f.end(), fopts.begin(), fopts.end());
  if (p.fport) {
    f.push_back(*p.fport);
    Bytes pl = p.payload;
    crypt_payload(*p.fport == 0 ? k.nwk_s_enc : k.app_s, down, p.dev_addr, p.fcnt, pl);
    f.insert(f.end(), pl.begin(), pl.end());
  }
  uint32_t mic = down ? downlink_mic(k, f, p.dev_addr, p.fcnt, p.conf_fcnt)
                      : uplink_mic(k, f, p.dev_addr, p.fcnt, p.conf_fcnt, p.tx_dr, p.tx_ch);
  put_le(f, mic, 4);
  return f;
}

namespace {
struct MacInfo {
  uint8_t cid;
  int up_len;
  const char* up_name;
  int down_len;
  const char* down_name;
};
const MacInfo kMac[] = {
    {0x01, 1, "ResetInd", 1, "ResetConf"},
    {0x02, 0, "LinkCheckReq", 2, "LinkCheckAns"},
    {0x03, 1, "LinkADRAns", 4, "LinkADRReq"},
    {0x04, 0, "DutyCycleAns", 1, "DutyCycleReq"},
    {0x05, 1, "RXParamSetupAns", 4, "RXParamSetupReq"},
    {0x06, 2, "DevStatusAns", 0, "DevStatusReq"},
    {0x07, 1, "NewChannelAns", 5, "NewChannelReq"},
    {0x08, 0, "RXTimingSetupAns", 1, "RXTimingSetupReq"},
    {0x09, 0, "TxParamSetupAns", 1, "TxParamSetupReq"},
    {0x0A, 1, "DlChannelAns", 4, "DlChannelReq"},
    {0x0B, 1, "RekeyInd", 1, "RekeyConf"},
    {0x0C, 0, "ADRParamSetupAns", 1, "ADRParamSetupReq"},
    {0x0D, 0, "DeviceTimeReq", 5, "DeviceTimeAns"},
    {0x0E, -1, nullptr, 2, "ForceRejoinReq"},
    {0x0F, 1, "RejoinParamSetupAns", 1, "RejoinParamSetupReq"},
    {0x10, 1, "PingSlotInfoReq", 0, "PingSlotInfoAns"},
    {0x11, 1, "PingSlotChannelAns", 4, "PingSlotChannelReq"},
    {0x12, 0, "BeaconTimingReq", 3, "BeaconTimingAns"},
    {0x13, 1, "BeaconFreqAns", 3, "BeaconFreqReq"},
    {0x20, 1, "DeviceModeInd", 1, "DeviceModeConf"},
};
const MacInfo* mac_info(uint8_t cid) {
  for (const MacInfo& m : kMac)
    if (m.cid == cid) return &m;
  return nullptr;
}
}  // namespace

int mac_length(uint8_t cid, bool uplink) {
  const MacInfo* m = mac_info(cid);
  if (m == nullptr) return -1;
  return uplink ? m->up_len : m->down_len;
}

const char* mac_name(uint8_t cid, bool uplink) {
  const MacInfo* m = mac_info(cid);
  const char* n = m == nullptr ? nullptr : uplink ? m->up_name : m->down_name;
  return n == nullptr ? "Unknown" : n;
}

std::vector<MacCommand> split_mac(const Bytes& bytes, bool uplink, bool* ok) {
  std::vector<MacCommand> out;
  *ok = true;
  size_t i = 0;
  while (i < bytes.size()) {
    int n = mac_length(bytes[i], uplink);
    if (n < 0 || i + 1 + static_cast<size_t>(n) > bytes.size()) {
      *ok = false;
      break;
    }
    MacCommand c;
    c.cid = bytes[i];
    c.data.assign(bytes.begin() + static_cast<long>(i) + 1,
                  bytes.begin() + static_cast<long>(i) + 1 + n);
    out.push_back(std::move(c));
    i += 1 + static_cast<size_t>(n);
  }
  return out;
}

std::string describe_mac(const std::vector<MacCommand>& cmds, bool uplink) {
  std::string s;
  for (const MacCommand& c : cmds) {
    if (!s.empty()) s += ",";
    s += mac_name(c.cid, uplink);
    if (!c.data.empty()) s += "(" + hex(c.data.data(), c.data.size()) + ")";
  }
  return s;
}

uint32_t ping_offset(uint32_t beacon_time, uint32_t address, uint32_t ping_period) {
  Block in{};
  put_le(in.data(), beacon_time, 4);
  put_le(in.data() + 4, address, 4);
  Block r = aes_encrypt(Key{}, in);
  return (r[0] + 256u * r[1]) % ping_period;
}

}  // namespace sim::network
