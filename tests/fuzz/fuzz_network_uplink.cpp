// Any frame a gateway of the test network hears: the network server's
// uplink parser (join and rejoin requests, data frames), its MIC and
// counter checks, decryption, the devices' MAC commands and the answers it
// schedules, and the console line of every uplink. Four devices are known
// (ABP 1.0 and 1.1, OTAA 1.0 and 1.1); an uplink can be sealed here for one
// of them with the network's own codec, so fuzzed bytes get past the MIC.
//
// Input: byte 0 picks the region; then uplinks, each a kind byte, a length
// byte and that many bytes:
//   kind bits 0-1  0: the frame as given; 1: a data uplink sealed for the
//                  device (bytes: FCtrl, FCnt low and high, FPort, then
//                  FOptsLen bytes of FOpts and the payload, all plain);
//                  2: a join request of the device (bytes: DevNonce);
//                  3: the frame as given, heard at another data rate
//   kind bits 2-3  the device: ABP 1.0, ABP 1.1, OTAA 1.0, OTAA 1.1
//   kind bit 4     a confirmed uplink (sealed data)
//   kind bit 5     no port (sealed data)
// Uplinks are heard 20 s apart on the region's first channel. With
// FUZZ_SHOW_LINES set in the environment the network's line of each is shown.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "network/lorawan.h"
#include "network/region.h"
#include "network/server.h"

using namespace sim::network;

namespace {

const Key kApp = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                  0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
const Key kNwk = {0x0F, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A, 0x09, 0x08,
                  0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x00};
constexpr uint64_t kJoinEui = 0x0101010101010101ull;
const char* const kNames[4] = {"abp10", "abp11", "otaa10", "otaa11"};

void require(bool ok) {
  if (!ok) abort();
}

void AddDevices(NetworkServer& ns) {
  for (int i = 0; i < 4; i++) {
    DeviceEntry d;
    d.name = kNames[i];
    d.v11 = (i & 1) != 0;
    if (i < 2) {
      d.otaa = false;
      d.dev_addr = 0x26000100u + (uint32_t)i;
      d.keys = abp_keys_10(kNwk, kApp);
      if (d.v11) {
        d.keys.v11 = true;
        d.keys.snwk_s_int = kApp;
        d.keys.nwk_s_enc = kNwk;
      }
    } else {
      d.dev_eui = 0x0202020202020200ull + (uint64_t)i;
      d.join_eui = kJoinEui;
      d.app_key = kApp;
      d.nwk_key = kNwk;
    }
    ns.add_device(d);
  }
}

Bytes SealData(const NetworkServer& ns, int dev, uint8_t kind, const Bytes& b, const RxMeta& meta) {
  const auto keys = ns.session_keys(kNames[dev]);
  const auto addr = ns.dev_addr(kNames[dev]);
  if (!keys || !addr) return b;
  FrameParams p;
  p.mtype = (kind & 0x10) ? MType::kConfirmedUp : MType::kUnconfirmedUp;
  p.dev_addr = *addr;
  size_t i = 0;
  auto next = [&]() -> uint8_t { return i < b.size() ? b[i++] : 0; };
  p.fctrl = next();
  p.fcnt = next();
  p.fcnt |= (uint32_t)next() << 8;
  const uint8_t port = next();
  if (!(kind & 0x20)) p.fport = port;
  const size_t foptsLen = p.fctrl & 0x0F;
  p.fctrl &= 0xF0;
  while (p.fopts.size() < foptsLen && i < b.size()) p.fopts.push_back(b[i++]);
  p.fctrl |= (uint8_t)p.fopts.size();
  if (p.fport) p.payload.assign(b.begin() + (long)i, b.end());
  p.tx_dr = meta.dr;
  p.tx_ch = (uint8_t)(meta.channel < 0 ? 0 : meta.channel);
  return build_data_frame(*keys, p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  const std::vector<RegionId>& regions = all_regions();
  NetworkServer ns(regions[data[0] % regions.size()]);
  AddDevices(ns);
  const Channel& ch0 = ns.region().channels.front();

  time_us t = 10'000'000;
  size_t n = 0;
  for (size_t i = 1; i + 2 <= size && n < 16; n++) {
    const uint8_t kind = data[i];
    const size_t len = data[i + 1] < size - i - 2 ? data[i + 1] : size - i - 2;
    const Bytes body(data + i + 2, data + i + 2 + len);
    i += 2 + len;

    RxMeta meta;
    meta.end_us = t;
    meta.freq = ch0.freq;
    meta.dr = ch0.max_dr;
    meta.channel = 0;
    meta.rssi = -80;
    meta.snr = 7;
    const int dev = (kind >> 2) & 3;
    Bytes frame = body;
    switch (kind & 3) {
      case 1:
        frame = SealData(ns, dev, kind, body, meta);
        break;
      case 2:
        if (dev >= 2) {
          const uint16_t nonce =
              (uint16_t)((body.size() > 0 ? body[0] : 0) | (body.size() > 1 ? body[1] << 8 : 0));
          frame = build_join_request(dev == 3 ? kNwk : kApp, kJoinEui,
                                     0x0202020202020200ull + (uint64_t)dev, nonce);
        }
        break;
      case 3:
        meta.dr = ch0.min_dr;
        break;
    }
    const size_t before = ns.uplinks().size();
    const std::vector<Transmission> out = ns.on_uplink(frame, meta);
    require(ns.uplinks().size() == before + 1);
    const UplinkRecord& rec = ns.uplinks().back();
    require(!rec.line().empty());
    if (getenv("FUZZ_SHOW_LINES")) fprintf(stderr, "%s\n", rec.line().c_str());
    for (const Transmission& tx : out) {
      require(tx.bytes.size() <= 255);
      require(tx.at >= t);
    }
    t += 20'000'000;
  }
  return 0;
}
