#include "openssl_ref.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace ref {

Bytes from_hex(const char* hex) {
  Bytes out;
  std::string s;
  for (const char* p = hex; *p; ++p) {
    if (*p != ' ') s.push_back(*p);
  }
  for (size_t i = 0; i + 1 < s.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
  return out;
}

static const EVP_CIPHER* cipher_for(size_t keylen, bool cbc) {
  switch (keylen) {
    case 16:
      return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
    case 24:
      return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
    case 32:
      return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
  }
  throw std::runtime_error("key length");
}

static Bytes run_cipher(const EVP_CIPHER* c, const Bytes& key, const uint8_t* iv, const Bytes& in,
                        bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(in.size() + 32);
  int n1 = 0, n2 = 0;
  EVP_CipherInit_ex(ctx, c, nullptr, key.data(), iv, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size()));
  EVP_CipherFinal_ex(ctx, out.data() + n1, &n2);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(n1 + n2));
  return out;
}

Bytes aes_ecb(const Bytes& key, const Bytes& in, bool encrypt) {
  return run_cipher(cipher_for(key.size(), false), key, nullptr, in, encrypt);
}

Bytes aes_cbc(const Bytes& key, const Bytes& iv, const Bytes& in, bool encrypt) {
  return run_cipher(cipher_for(key.size(), true), key, iv.data(), in, encrypt);
}

Bytes aes_cmac(const Bytes& key, const Bytes& msg) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  char cipher[] = "AES-128-CBC";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                         OSSL_PARAM_construct_end()};
  EVP_MAC_init(ctx, key.data(), key.size(), params);
  EVP_MAC_update(ctx, msg.data(), msg.size());
  Bytes out(16);
  size_t n = 0;
  EVP_MAC_final(ctx, out.data(), &n, out.size());
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  out.resize(n);
  return out;
}

Bytes pseudo_random(std::size_t n, uint32_t seed) {
  Bytes out(n);
  uint32_t x = seed ? seed : 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

}  // namespace ref
