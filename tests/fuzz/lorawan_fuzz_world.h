// What the LoRaWAN fuzz targets share: the MAC core on the virtual clock and
// recording radio of its unit tests (mac_core_fakes), a device started anew
// for every input in one of the regions, and downlinks sealed the way a
// network seals them (AES and AES-CMAC of the soft secure element, frame
// layouts of the public LoRaWAN texts), so that fuzzed bytes get past the
// MIC into decryption and command processing.
#ifndef LORAWAN_FUZZ_WORLD_H
#define LORAWAN_FUZZ_WORLD_H

#include <stdint.h>
#include <stdlib.h>

#include <optional>
#include <vector>

#include "LoRaMac.h"
#include "aes.h"
#include "cmac.h"
#include "mac_core_fakes.h"

namespace lorawan_fuzz {

using Bytes = std::vector<uint8_t>;
using mac_world::client;
using mac_world::radio;

inline const uint8_t kNwkSKey[16] = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                                     0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
inline const uint8_t kAppSKey[16] = {0x3C, 0x4F, 0xCF, 0x09, 0x88, 0x15, 0xF7, 0xAB,
                                     0xA6, 0xD2, 0xAE, 0x28, 0x16, 0x15, 0x7E, 0x2B};
inline const uint8_t kAppKey[16] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                    0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};
inline uint8_t kDevEui[8] = {0x70, 0xB3, 0xD5, 0x7E, 0xD0, 0x00, 0x00, 0x01};
inline uint8_t kJoinEui[8] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02};
constexpr uint32_t kDevAddr = 0x26011234;

// The regions an input picks from (3 bits).
inline const LoRaMacRegion_t kRegions[8] = {
    LORAMAC_REGION_EU868, LORAMAC_REGION_US915, LORAMAC_REGION_AS923, LORAMAC_REGION_AU915,
    LORAMAC_REGION_CN470, LORAMAC_REGION_IN865, LORAMAC_REGION_KR920, LORAMAC_REGION_RU864};

inline void require(bool ok) {
  if (!ok) abort();
}

inline void Aes(const uint8_t key[16], const uint8_t in[16], uint8_t out[16],
                bool decrypt = false) {
  aes_context ctx;
  aes_set_key(key, 16, &ctx);
  if (decrypt)
    aes_decrypt(in, out, &ctx);
  else
    aes_encrypt(in, out, &ctx);
}

inline void Cmac(const uint8_t key[16], const Bytes& msg, uint8_t digest[16]) {
  AES_CMAC_CTX ctx;
  AES_CMAC_Init(&ctx);
  AES_CMAC_SetKey(&ctx, key);
  AES_CMAC_Update(&ctx, msg.data(), (uint32_t)msg.size());
  AES_CMAC_Final(digest, &ctx);
}

inline void PutLe32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; i++) b.push_back((uint8_t)(v >> (8 * i)));
}

inline uint32_t Le32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// The keystream of the LoRaWAN payload and FOpts encryption: block i of
// A = {01, 00 00 00, id, dir, DevAddr, FCnt, 00, i}, XORed into \a data.
inline void Crypt(const uint8_t key[16], uint8_t id, bool downlink, uint32_t devAddr, uint32_t fcnt,
                  uint8_t first, uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; i += 16) {
    Bytes a{0x01, 0, 0, 0, id, (uint8_t)(downlink ? 1 : 0)};
    PutLe32(a, devAddr);
    PutLe32(a, fcnt);
    a.push_back(0);
    a.push_back((uint8_t)(first + i / 16));
    uint8_t s[16];
    Aes(key, a.data(), s);
    for (size_t j = 0; j < 16 && i + j < n; j++) data[i + j] ^= s[j];
  }
}

// Appends the downlink MIC of a frame (MHDR up to the end of the payload)
// over B0 with the NwkSKey (SNwkSIntKey on 1.1: the same key here). On 1.1
// an acknowledgement puts the acknowledged uplink's FCnt in B0.
inline void SealDown(Bytes& f, uint32_t ackedFCnt = 0) {
  if (f.size() < 8) return;
  const uint32_t addr = Le32(&f[1]);
  const uint32_t fcnt = (uint32_t)f[6] | (uint32_t)f[7] << 8;
  Bytes b0{0x49, (uint8_t)ackedFCnt, (uint8_t)(ackedFCnt >> 8), 0, 0, 0x01};
  PutLe32(b0, addr);
  PutLe32(b0, fcnt);
  b0.push_back(0);
  b0.push_back((uint8_t)f.size());
  b0.insert(b0.end(), f.begin(), f.end());
  uint8_t d[16];
  Cmac(kNwkSKey, b0, d);
  f.insert(f.end(), d, d + 4);
}

inline LoRaMacStatus_t MibSet(Mib_t type, MibParam_t param) {
  MibRequestConfirm_t mib{};
  mib.Type = type;
  mib.Param = param;
  return LoRaMacMibSetRequestConfirm(&mib);
}

inline MibParam_t MibGet(Mib_t type) {
  MibRequestConfirm_t mib{};
  mib.Type = type;
  LoRaMacMibGetRequestConfirm(&mib);
  return mib.Param;
}

// A fresh MAC in \a region: every state of an earlier input is gone.
inline bool Init(LoRaMacRegion_t region) {
  mac_world::Reset();
  return LoRaMacInitialization(&mac_world::primitives, &mac_world::callbacks, region) ==
         LORAMAC_STATUS_OK;
}

// An ABP device on LoRaWAN \a version (0x01000300 or 0x01010100), duty
// cycle off, started.
inline void StartAbp(uint32_t version) {
  MibParam_t p{};
  p.AbpLrWanVersion.Value = version;
  require(MibSet(MIB_ABP_LORAWAN_VERSION, p) == LORAMAC_STATUS_OK);
  p.DevAddr = kDevAddr;
  require(MibSet(MIB_DEV_ADDR, p) == LORAMAC_STATUS_OK);
  for (Mib_t key : {MIB_F_NWK_S_INT_KEY, MIB_S_NWK_S_INT_KEY, MIB_NWK_S_ENC_KEY}) {
    p.NwkSEncKey = const_cast<uint8_t*>(kNwkSKey);
    require(MibSet(key, p) == LORAMAC_STATUS_OK);
  }
  p.AppSKey = const_cast<uint8_t*>(kAppSKey);
  require(MibSet(MIB_APP_S_KEY, p) == LORAMAC_STATUS_OK);
  p.NetworkActivation = ACTIVATION_TYPE_ABP;
  require(MibSet(MIB_NETWORK_ACTIVATION, p) == LORAMAC_STATUS_OK);
  LoRaMacTestSetDutyCycleOn(false);
  require(LoRaMacStart() == LORAMAC_STATUS_OK);
}

// An OTAA device with one root key for both roles, started, not joined.
inline void StartOtaa() {
  MibParam_t p{};
  p.DevEui = kDevEui;
  require(MibSet(MIB_DEV_EUI, p) == LORAMAC_STATUS_OK);
  p.JoinEui = kJoinEui;
  require(MibSet(MIB_JOIN_EUI, p) == LORAMAC_STATUS_OK);
  p.AppKey = const_cast<uint8_t*>(kAppKey);
  require(MibSet(MIB_APP_KEY, p) == LORAMAC_STATUS_OK);
  p.NwkKey = const_cast<uint8_t*>(kAppKey);
  require(MibSet(MIB_NWK_KEY, p) == LORAMAC_STATUS_OK);
  LoRaMacTestSetDutyCycleOn(false);
  require(LoRaMacStart() == LORAMAC_STATUS_OK);
}

inline uint8_t g_payload[1] = {0x01};

// One uplink (confirmed or not) at the MAC's own data rate; the first
// reception after it hears what \a answer makes of the uplink, the rest
// hear nothing. Runs the exchange to its end. False when the MAC refused
// the request.
template <typename Answer>
bool Exchange(bool confirmed, Answer answer, uint64_t runMs = 8000) {
  const size_t sentBefore = radio.Sent.size();
  const size_t rxBefore = radio.Rx.size();
  radio.Air = [&](const mac_world::RxCall&) -> std::optional<Bytes> {
    if (radio.Rx.size() != rxBefore + 1 || radio.Sent.size() <= sentBefore) return std::nullopt;
    return answer(radio.Sent.back().Bytes);
  };
  McpsReq_t req{};
  req.Type = confirmed ? MCPS_CONFIRMED : MCPS_UNCONFIRMED;
  req.Req.Unconfirmed.fPort = 2;
  req.Req.Unconfirmed.fBuffer = g_payload;
  req.Req.Unconfirmed.fBufferSize = 1;
  req.Req.Unconfirmed.Datarate = (int8_t)MibGet(MIB_CHANNELS_DATARATE).ChannelsDatarate;
  const LoRaMacStatus_t s = LoRaMacMcpsRequest(&req);
  if (s == LORAMAC_STATUS_OK) mac_world::RunFor(runMs);
  radio.Air = nullptr;
  return s == LORAMAC_STATUS_OK;
}

// The frame the radio gets: a copy of at most 255 bytes, as a radio hands
// over no more.
inline std::optional<Bytes> OnAir(Bytes f) {
  if (f.size() > 255) f.resize(255);
  return f;
}

}  // namespace lorawan_fuzz

#endif
