// Independent references for the AES and CMAC tests, computed with OpenSSL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ref {

using Bytes = std::vector<uint8_t>;

Bytes from_hex(const char* hex);
// AES ECB over whole blocks (key 16, 24 or 32 bytes).
Bytes aes_ecb(const Bytes& key, const Bytes& in, bool encrypt);
Bytes aes_cbc(const Bytes& key, const Bytes& iv, const Bytes& in, bool encrypt);
// AES-CMAC (RFC 4493) with a 16-byte key; the 16-byte tag.
Bytes aes_cmac(const Bytes& key, const Bytes& msg);
Bytes pseudo_random(std::size_t n, uint32_t seed);

}  // namespace ref
