// Test-side reference: LoRaWAN frames and keys built directly on OpenSSL,
// written apart from the network's codec so that each checks the other.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ref {

using Bytes = std::vector<uint8_t>;
using Key = std::array<uint8_t, 16>;

Bytes from_hex(const std::string& hex);  // spaces allowed
Key key(const std::string& hex);
Bytes aes(const Key& k, const Bytes& block16);      // one block, encrypt
Bytes aes_dec(const Key& k, const Bytes& block16);  // one block, decrypt
Bytes cmac(const Key& k, const Bytes& data);
void le(Bytes& b, uint64_t v, int n);

// Frames as a device builds them.
Bytes join_request(const Key& root, uint64_t join_eui, uint64_t dev_eui, uint16_t nonce);
// Decrypts a join accept (AES encryption of the blocks after MHDR).
Bytes open_accept(const Key& k, const Bytes& frame);
struct Keys {
  bool v11 = false;
  Key fnwk{}, snwk{}, nwkenc{}, app{};
};
Keys keys10(const Key& app_key, uint32_t join_nonce, uint32_t net_id, uint16_t dev_nonce);
Keys keys11(const Key& nwk_key, const Key& app_key, uint32_t join_nonce, uint64_t join_eui,
            uint16_t dev_nonce);
// A data uplink; FOpts plain (encrypted here in 1.1 with the later A block).
Bytes uplink(const Keys& k, bool confirmed, uint32_t addr, uint8_t fctrl, uint32_t fcnt,
             const Bytes& fopts, int port, const Bytes& payload, uint16_t conf_fcnt = 0,
             uint8_t tx_dr = 0, uint8_t tx_ch = 0);
// A downlink's MIC check and payload decryption (device side).
bool downlink_mic_ok(const Keys& k, const Bytes& frame, uint32_t fcnt32, uint16_t conf_fcnt = 0);
Bytes decrypt(const Key& k, bool down, uint32_t addr, uint32_t fcnt, Bytes data);
Bytes decrypt_fopts11(const Key& k, bool down, uint32_t addr, uint32_t fcnt, Bytes data,
                      uint8_t counter_id);
uint16_t crc16_bitwise(const Bytes& data);

}  // namespace ref
