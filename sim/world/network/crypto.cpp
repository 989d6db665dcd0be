#include "network/crypto.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <stdexcept>

namespace sim::network {
namespace {

Block aes_block(const Key& key, const Block& in, bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr) throw std::runtime_error("network: no cipher context");
  Block out{};
  int n = 0;
  bool ok = EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr,
                              encrypt ? 1 : 0) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
            EVP_CipherUpdate(ctx, out.data(), &n, in.data(), 16) == 1 && n == 16;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) throw std::runtime_error("network: AES failed");
  return out;
}

}  // namespace

Block aes_encrypt(const Key& key, const Block& in) { return aes_block(key, in, true); }
Block aes_decrypt(const Key& key, const Block& in) { return aes_block(key, in, false); }

Block aes_cmac(const Key& key, const uint8_t* data, size_t len) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
  if (mac == nullptr) throw std::runtime_error("network: no CMAC");
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  char cipher[] = "AES-128-CBC";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                         OSSL_PARAM_construct_end()};
  Block out{};
  size_t n = 0;
  static const uint8_t empty = 0;
  bool ok = ctx != nullptr && EVP_MAC_init(ctx, key.data(), key.size(), params) == 1 &&
            EVP_MAC_update(ctx, len ? data : &empty, len) == 1 &&
            EVP_MAC_final(ctx, out.data(), &n, out.size()) == 1 && n == 16;
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  if (!ok) throw std::runtime_error("network: CMAC failed");
  return out;
}

uint16_t crc16(const uint8_t* data, size_t len) {
  uint16_t crc = 0;
  for (size_t i = 0; i < len; ++i) {
    crc ^= static_cast<uint16_t>(data[i] << 8);
    for (int b = 0; b < 8; ++b)
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

bool parse_key(const std::string& text, Key* out) {
  if (text.size() != 32) return false;
  Key k{};
  for (size_t i = 0; i < 16; ++i) {
    unsigned v = 0;
    for (size_t j = 0; j < 2; ++j) {
      char c = text[2 * i + j];
      unsigned d;
      if (c >= '0' && c <= '9')
        d = static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        d = static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        d = static_cast<unsigned>(c - 'A' + 10);
      else
        return false;
      v = v * 16 + d;
    }
    k[i] = static_cast<uint8_t>(v);
  }
  *out = k;
  return true;
}

std::string hex(const uint8_t* data, size_t len) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(len * 2);
  for (size_t i = 0; i < len; ++i) {
    s += digits[data[i] >> 4];
    s += digits[data[i] & 15];
  }
  return s;
}

}  // namespace sim::network
