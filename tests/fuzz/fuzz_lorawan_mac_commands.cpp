// Network commands in authentic downlinks: the MAC's command parser, the
// version check (a command the session's version does not define ends the
// frame's commands), the region's checks of every data rate, power, channel,
// frequency and mask the network sends, the answers the next uplink carries
// and the uplinks sent with what was taken. The MAC core runs as in an
// image, on the virtual clock and recording radio of its unit tests; each
// downlink is sealed here as the network would seal it.
//
// Input: byte 0 holds options, then up to three blocks of commands, each a
// length byte and that many bytes, one block per downlink.
//   bits 0-2  region (EU868, US915, AS923, AU915, CN470, IN865, KR920, RU864)
//   bit 3     a LoRaWAN 1.1 session (ABP) instead of 1.0.3
//   bit 4     the commands as a port-0 payload instead of FOpts
//   bit 5     ADR on
//   bit 6     the uplinks are confirmed (the downlinks acknowledge them)
//   bit 7     class C
// After the downlinks the device sends once more; the data rate, power and
// RX2 data rate it then holds are ones its region allows.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "Region.h"
#include "lorawan_fuzz_world.h"

using namespace lorawan_fuzz;

namespace {

uint32_t g_fcntDown = 0;

// A downlink with \a cmds for the session: FOpts (at most 15 bytes, the
// rest dropped) or a port-0 payload, encrypted and sealed.
Bytes Downlink(const Bytes& cmds, bool inPayload, bool v11, bool ack, const Bytes& up) {
  Bytes f{0x60};
  PutLe32(f, kDevAddr);
  const uint32_t fcnt = g_fcntDown++;
  Bytes fopts = inPayload ? Bytes{} : cmds;
  if (fopts.size() > 15) fopts.resize(15);
  f.push_back((uint8_t)((ack ? 0x20 : 0) | fopts.size()));
  f.push_back((uint8_t)fcnt);
  f.push_back((uint8_t)(fcnt >> 8));
  if (v11 && !fopts.empty())
    Crypt(kNwkSKey, 1, true, kDevAddr, fcnt, 1, fopts.data(), fopts.size());
  f.insert(f.end(), fopts.begin(), fopts.end());
  if (inPayload) {
    f.push_back(0);
    Bytes p = cmds;
    Crypt(kNwkSKey, 0, true, kDevAddr, fcnt, 1, p.data(), p.size());
    f.insert(f.end(), p.begin(), p.end());
  }
  uint32_t acked = 0;
  if (v11 && ack && up.size() >= 8) acked = (uint32_t)up[6] | (uint32_t)up[7] << 8;
  SealDown(f, acked);
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 800) return 0;
  const uint8_t options = data[0];
  const LoRaMacRegion_t region = kRegions[options & 7];
  const bool v11 = (options & 0x08) != 0;
  const bool inPayload = (options & 0x10) != 0;
  const bool confirmed = (options & 0x40) != 0;
  std::vector<Bytes> blocks;
  for (size_t i = 1; i < size && blocks.size() < 3;) {
    const size_t n = data[i] < size - i - 1 ? data[i] : size - i - 1;
    blocks.emplace_back(data + i + 1, data + i + 1 + n);
    i += 1 + n;
  }

  if (!Init(region)) return 0;
  g_fcntDown = 0;
  StartAbp(v11 ? 0x01010100 : 0x01000300);
  MibParam_t p{};
  p.AdrEnable = (options & 0x20) != 0;
  require(MibSet(MIB_ADR, p) == LORAMAC_STATUS_OK);
  if (options & 0x80) {
    p.Class = CLASS_C;
    MibSet(MIB_DEVICE_CLASS, p);
  }
  for (const Bytes& cmds : blocks) {
    Exchange(
        confirmed,
        [&](const Bytes& up) { return OnAir(Downlink(cmds, inPayload, v11, confirmed, up)); },
        40000);
  }
  // The answers go out, on what was taken.
  Exchange(
      false, [](const Bytes&) { return std::nullopt; }, 40000);

  // The lenient bounds of the dwell-time regions (no dwell limit).
  VerifyParams_t v{};
  v.DatarateParams.Datarate = (int8_t)MibGet(MIB_CHANNELS_DATARATE).ChannelsDatarate;
  require(RegionVerify(region, &v, PHY_TX_DR));
  v = VerifyParams_t{};
  v.TxPower = (int8_t)MibGet(MIB_CHANNELS_TX_POWER).ChannelsTxPower;
  require(RegionVerify(region, &v, PHY_TX_POWER));
  v = VerifyParams_t{};
  v.DatarateParams.Datarate = (int8_t)MibGet(MIB_RX2_CHANNEL).Rx2Channel.Datarate;
  require(RegionVerify(region, &v, PHY_RX_DR));
  LoRaMacStop();
  return 0;
}
