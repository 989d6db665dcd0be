// The network's own cryptography: AES-128 on single blocks, AES-CMAC and the
// CRC-16 of class B beacons, on OpenSSL. Nothing here is shared with the
// module's code, so that each side checks the other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace sim::network {

using Key = std::array<uint8_t, 16>;
using Block = std::array<uint8_t, 16>;

Block aes_encrypt(const Key& key, const Block& in);
Block aes_decrypt(const Key& key, const Block& in);
// AES-CMAC (a 16-byte tag) of `len` bytes.
Block aes_cmac(const Key& key, const uint8_t* data, size_t len);
// CRC-16 with polynomial 0x1021, initial value 0, no reflection.
uint16_t crc16(const uint8_t* data, size_t len);

// "2B7E1516..." (32 hex digits) into a key; false when it is not one.
bool parse_key(const std::string& hex, Key* out);
std::string hex(const uint8_t* data, size_t len);  // upper case, no spaces
template <size_t N>
std::string hex(const std::array<uint8_t, N>& a) {
  return hex(a.data(), N);
}

}  // namespace sim::network
