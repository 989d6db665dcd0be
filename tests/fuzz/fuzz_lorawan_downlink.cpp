// Any frame heard in a receive window after an uplink or a join request:
// the MAC's parser of data frames and join accepts, its MIC checks, the
// decryption of FOpts, FRMPayload and the join accept, the counters, and
// what a frame that passes does (commands, indications, the session a join
// accept sets up). The MAC core runs as in an image, on the virtual clock
// and recording radio of its unit tests.
//
// Input: byte 0 holds options, the rest one or two frames.
//   bits 0-2  region (EU868, US915, AS923, AU915, CN470, IN865, KR920, RU864)
//   bit 3     a LoRaWAN 1.1 session (ABP) instead of 1.0.3
//   bits 4-5  0: a data frame heard as given; 1: a data frame sealed here
//             (DevAddr made the device's, FOpts and payload encrypted and
//             the MIC appended as the network would, from the plain bytes
//             given); 2: a join accept heard as given; 3: a join accept
//             sealed here (MIC appended and encrypted with the root key,
//             the 1.1 MIC when the OptNeg bit of DLSettings is set)
//   bit 6     the uplink is confirmed
//   bit 7     a second exchange follows: byte 1 is the length of the first
//             frame, the rest the second frame
// No frame heard as given ever passes the MIC: it is never delivered as
// data and never joins.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "lorawan_fuzz_world.h"

using namespace lorawan_fuzz;

namespace {

// A data frame sealed for the session: the plain FOpts and payload of \a f
// encrypted, then the MIC.
Bytes SealData(Bytes f, bool v11) {
  if (f.size() < 8) return f;
  const uint32_t addr = kDevAddr;
  for (int i = 0; i < 4; i++) f[1 + i] = (uint8_t)(addr >> (8 * i));
  const uint32_t fcnt = (uint32_t)f[6] | (uint32_t)f[7] << 8;
  size_t foptsLen = f[5] & 0x0F;
  if (8 + foptsLen > f.size()) foptsLen = f.size() - 8;
  const bool hasPort = f.size() > 8 + foptsLen;
  const uint8_t port = hasPort ? f[8 + foptsLen] : 0;
  if (v11 && foptsLen > 0) {
    // 1.1: FOpts under the NwkSEncKey, the counter identifier at A[4]
    // (1: NFCntDown for port 0 or no port, 2: AFCntDown).
    Crypt(kNwkSKey, (hasPort && port != 0) ? 2 : 1, true, addr, fcnt, 1, &f[8], foptsLen);
  }
  if (hasPort && f.size() > 9 + foptsLen) {
    Crypt(port == 0 ? kNwkSKey : kAppSKey, 0, true, addr, fcnt, 1, &f[9 + foptsLen],
          f.size() - 9 - foptsLen);
  }
  uint32_t acked = 0;
  if (v11 && (f[5] & 0x20) && !radio.Sent.empty() && radio.Sent.back().Bytes.size() >= 8) {
    const Bytes& up = radio.Sent.back().Bytes;
    acked = (uint32_t)up[6] | (uint32_t)up[7] << 8;
  }
  SealDown(f, acked);
  return f;
}

// A join accept sealed for the join request \a req: MIC over the plain
// accept (1.1 form when OptNeg is set), then the bytes after the MHDR
// AES-decrypted in whole blocks with the root key.
Bytes SealJoinAccept(Bytes plain, const Bytes& req) {
  if (plain.empty()) return plain;
  Bytes mic;
  uint8_t d[16];
  const bool optNeg = plain.size() >= 12 && (plain[11] & 0x80) != 0;
  if (optNeg && req.size() >= 19) {
    uint8_t block[16] = {0x06};
    memcpy(block + 1, &req[9], 8);  // DevEUI as on the air
    uint8_t jsIntKey[16];
    Aes(kAppKey, block, jsIntKey);
    Bytes m{0xFF};
    m.insert(m.end(), &req[1], &req[9]);    // JoinEUI
    m.insert(m.end(), &req[17], &req[19]);  // DevNonce
    m.insert(m.end(), plain.begin(), plain.end());
    Cmac(jsIntKey, m, d);
  } else {
    Cmac(kAppKey, plain, d);
  }
  plain.insert(plain.end(), d, d + 4);
  for (size_t i = 1; i + 16 <= plain.size(); i += 16) {
    uint8_t out[16];
    Aes(kAppKey, &plain[i], out, true);
    memcpy(&plain[i], out, 16);
  }
  return plain;
}

bool AnyDataDelivered() {
  for (const McpsIndication_t& i : client.McpsIndications) {
    if (i.Status == LORAMAC_EVENT_INFO_STATUS_OK && (i.RxData || i.AckReceived)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 600) return 0;
  const uint8_t options = data[0];
  const LoRaMacRegion_t region = kRegions[options & 7];
  const bool v11 = (options & 0x08) != 0;
  const int what = (options >> 4) & 3;
  const bool confirmed = (options & 0x40) != 0;
  Bytes frames[2];
  int count = 1;
  if ((options & 0x80) && size >= 2) {
    const size_t first = data[1] < size - 2 ? data[1] : size - 2;
    frames[0].assign(data + 2, data + 2 + first);
    frames[1].assign(data + 2 + first, data + size);
    count = 2;
  } else {
    frames[0].assign(data + 1, data + size);
  }

  if (!Init(region)) return 0;
  if (what >= 2) {
    StartOtaa();
    MlmeReq_t join{};
    join.Type = MLME_JOIN;
    join.Req.Join.NetworkActivation = ACTIVATION_TYPE_OTAA;
    join.Req.Join.Datarate = (int8_t)MibGet(MIB_CHANNELS_DATARATE).ChannelsDatarate;
    const size_t rxBefore = radio.Rx.size();
    radio.Air = [&](const mac_world::RxCall&) -> std::optional<Bytes> {
      if (radio.Rx.size() != rxBefore + 1 || radio.Sent.empty()) return std::nullopt;
      return OnAir(what == 3 ? SealJoinAccept(frames[0], radio.Sent.back().Bytes) : frames[0]);
    };
    const LoRaMacStatus_t s = LoRaMacMlmeRequest(&join);
    if (s == LORAMAC_STATUS_OK) mac_world::RunFor(10000);
    radio.Air = nullptr;
    const bool joined = MibGet(MIB_NETWORK_ACTIVATION).NetworkActivation == ACTIVATION_TYPE_OTAA;
    if (what == 2) require(!joined);
    if (joined && count == 2) {
      // The next exchange of the new session hears the second frame.
      Exchange(
          confirmed, [&](const Bytes&) { return OnAir(frames[1]); }, 20000);
      require(!AnyDataDelivered());
    }
  } else {
    StartAbp(v11 ? 0x01010100 : 0x01000300);
    for (int i = 0; i < count; i++) {
      Exchange(
          confirmed,
          [&](const Bytes&) { return OnAir(what == 1 ? SealData(frames[i], v11) : frames[i]); },
          20000);
    }
    if (what == 0) require(!AnyDataDelivered());
  }
  // Whatever was heard, the device still sends.
  if (MibGet(MIB_NETWORK_ACTIVATION).NetworkActivation != ACTIVATION_TYPE_NONE) {
    Exchange(
        false, [](const Bytes&) { return std::nullopt; }, 20000);
  }
  LoRaMacStop();
  return 0;
}
