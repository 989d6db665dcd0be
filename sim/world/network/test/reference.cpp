#include "reference.h"

#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/params.h>

#include <cstring>
#include <stdexcept>

namespace ref {

Bytes from_hex(const std::string& hex) {
  Bytes b;
  std::string digits;
  for (char c : hex)
    if (c != ' ') digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    b.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return b;
}

Key key(const std::string& hex) {
  Bytes b = from_hex(hex);
  Key k{};
  std::memcpy(k.data(), b.data(), 16);
  return k;
}

static Bytes ecb(const Key& k, const Bytes& in, bool enc) {
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  Bytes out(16);
  int n = 0;
  EVP_CipherInit_ex(c, EVP_aes_128_ecb(), nullptr, k.data(), nullptr, enc ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(c, 0);
  EVP_CipherUpdate(c, out.data(), &n, in.data(), 16);
  EVP_CIPHER_CTX_free(c);
  return out;
}
Bytes aes(const Key& k, const Bytes& b) { return ecb(k, b, true); }
Bytes aes_dec(const Key& k, const Bytes& b) { return ecb(k, b, false); }

Bytes cmac(const Key& k, const Bytes& data) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  char cipher[] = "AES-128-CBC";
  OSSL_PARAM p[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                    OSSL_PARAM_construct_end()};
  Bytes out(16);
  size_t n = 0;
  uint8_t dummy = 0;
  EVP_MAC_init(ctx, k.data(), 16, p);
  EVP_MAC_update(ctx, data.empty() ? &dummy : data.data(), data.size());
  EVP_MAC_final(ctx, out.data(), &n, 16);
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  return out;
}

void le(Bytes& b, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes join_request(const Key& root, uint64_t join_eui, uint64_t dev_eui, uint16_t nonce) {
  Bytes f{0x00};
  le(f, join_eui, 8);
  le(f, dev_eui, 8);
  le(f, nonce, 2);
  Bytes m = cmac(root, f);
  f.insert(f.end(), m.begin(), m.begin() + 4);
  return f;
}

Bytes open_accept(const Key& k, const Bytes& frame) {
  Bytes out{frame[0]};
  for (size_t i = 1; i + 16 <= frame.size(); i += 16) {
    Bytes blk(frame.begin() + static_cast<long>(i), frame.begin() + static_cast<long>(i) + 16);
    Bytes d = aes(k, blk);
    out.insert(out.end(), d.begin(), d.end());
  }
  return out;
}

static Key derive(const Key& root, uint8_t type, const Bytes& rest) {
  Bytes b{type};
  b.insert(b.end(), rest.begin(), rest.end());
  b.resize(16, 0);
  Bytes e = aes(root, b);
  Key k{};
  std::memcpy(k.data(), e.data(), 16);
  return k;
}

Keys keys10(const Key& app_key, uint32_t jn, uint32_t net_id, uint16_t dn) {
  Bytes rest;
  le(rest, jn, 3);
  le(rest, net_id, 3);
  le(rest, dn, 2);
  Keys k;
  k.fnwk = k.snwk = k.nwkenc = derive(app_key, 1, rest);
  k.app = derive(app_key, 2, rest);
  return k;
}

Keys keys11(const Key& nwk_key, const Key& app_key, uint32_t jn, uint64_t join_eui, uint16_t dn) {
  Bytes rest;
  le(rest, jn, 3);
  le(rest, join_eui, 8);
  le(rest, dn, 2);
  Keys k;
  k.v11 = true;
  k.fnwk = derive(nwk_key, 1, rest);
  k.app = derive(app_key, 2, rest);
  k.snwk = derive(nwk_key, 3, rest);
  k.nwkenc = derive(nwk_key, 4, rest);
  return k;
}

static Bytes block(uint8_t b0, const uint8_t x[4], bool down, uint32_t addr, uint32_t fcnt,
                   uint8_t b14, uint8_t b15) {
  Bytes b{b0, x[0], x[1], x[2], x[3], static_cast<uint8_t>(down ? 1 : 0)};
  le(b, addr, 4);
  le(b, fcnt, 4);
  b.push_back(b14);
  b.push_back(b15);
  return b;
}

Bytes decrypt(const Key& k, bool down, uint32_t addr, uint32_t fcnt, Bytes data) {
  const uint8_t z[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < data.size(); ++i) {
    Bytes s = aes(k, block(0x01, z, down, addr, fcnt, 0, static_cast<uint8_t>(i / 16 + 1)));
    data[i] ^= s[i % 16];
  }
  return data;
}

Bytes decrypt_fopts11(const Key& k, bool down, uint32_t addr, uint32_t fcnt, Bytes data,
                      uint8_t id) {
  // The counter identifier is the last of the four bytes after the tag,
  // right before the direction.
  const uint8_t x[4] = {0, 0, 0, id};
  Bytes s = aes(k, block(0x01, x, down, addr, fcnt, 0, 1));
  for (size_t i = 0; i < data.size(); ++i) data[i] ^= s[i];
  return data;
}

Bytes uplink(const Keys& k, bool confirmed, uint32_t addr, uint8_t fctrl, uint32_t fcnt,
             const Bytes& fopts, int port, const Bytes& payload, uint16_t conf_fcnt, uint8_t tx_dr,
             uint8_t tx_ch) {
  Bytes f{static_cast<uint8_t>(confirmed ? 0x80 : 0x40)};
  le(f, addr, 4);
  f.push_back(static_cast<uint8_t>((fctrl & 0xf0) | fopts.size()));
  le(f, fcnt & 0xffff, 2);
  Bytes fo =
      k.v11 && !fopts.empty() ? decrypt_fopts11(k.nwkenc, false, addr, fcnt, fopts, 1) : fopts;
  f.insert(f.end(), fo.begin(), fo.end());
  if (port >= 0) {
    f.push_back(static_cast<uint8_t>(port));
    Bytes enc = decrypt(port == 0 ? k.nwkenc : k.app, false, addr, fcnt, payload);
    f.insert(f.end(), enc.begin(), enc.end());
  }
  const uint8_t z[4] = {0, 0, 0, 0};
  Bytes b0 = block(0x49, z, false, addr, fcnt, 0, static_cast<uint8_t>(f.size()));
  b0.insert(b0.end(), f.begin(), f.end());
  Bytes cf = cmac(k.fnwk, b0);
  if (!k.v11) {
    f.insert(f.end(), cf.begin(), cf.begin() + 4);
    return f;
  }
  const uint8_t x[4] = {static_cast<uint8_t>(conf_fcnt), static_cast<uint8_t>(conf_fcnt >> 8),
                        tx_dr, tx_ch};
  Bytes b1 = block(0x49, x, false, addr, fcnt, 0, static_cast<uint8_t>(f.size()));
  b1.insert(b1.end(), f.begin(), f.end());
  Bytes cs = cmac(k.snwk, b1);
  f.push_back(cs[0]);
  f.push_back(cs[1]);
  f.push_back(cf[0]);
  f.push_back(cf[1]);
  return f;
}

bool downlink_mic_ok(const Keys& k, const Bytes& frame, uint32_t fcnt, uint16_t conf) {
  const uint8_t x[4] = {static_cast<uint8_t>(k.v11 ? conf : 0),
                        static_cast<uint8_t>(k.v11 ? conf >> 8 : 0), 0, 0};
  Bytes msg(frame.begin(), frame.end() - 4);
  uint32_t addr = frame[1] | frame[2] << 8 | frame[3] << 16 | static_cast<uint32_t>(frame[4]) << 24;
  Bytes b0 = block(0x49, x, true, addr, fcnt, 0, static_cast<uint8_t>(msg.size()));
  b0.insert(b0.end(), msg.begin(), msg.end());
  Bytes m = cmac(k.snwk, b0);
  return std::equal(m.begin(), m.begin() + 4, frame.end() - 4);
}

uint16_t crc16_bitwise(const Bytes& data) {
  // Polynomial x^16 + x^12 + x^5 + 1, MSB first, initial value 0.
  uint32_t reg = 0;
  for (uint8_t byte : data)
    for (int bit = 7; bit >= 0; --bit) {
      bool in = (byte >> bit) & 1;
      bool top = (reg >> 15) & 1;
      reg = (reg << 1) & 0xffff;
      if (in != top) reg ^= 0x1021;
    }
  return static_cast<uint16_t>(reg);
}

}  // namespace ref
