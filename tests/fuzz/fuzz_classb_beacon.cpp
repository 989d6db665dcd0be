// Any frame heard in a beacon window: the class B beacon parser (size,
// both CRCs, the time and the gateway fields), the clock it sets, and the
// acquisition, tracking and loss that follow. The MAC core runs as in an
// image, on the virtual clock and recording radio of its unit tests, with a
// network clock that starts a beacon at every multiple of 128 GPS seconds.
//
// Input: byte 0 holds options, the rest the frames heard in the beacon
// windows one after another, each a length byte and that many bytes.
//   bits 0-2  region (EU868, US915, AS923, AU915, CN470, IN865, KR920, RU864)
//   bit 3     each frame of the region's beacon size gets the network's time
//             of its beacon and both CRCs right (else heard as given)
//   bit 4     each frame is heard at the window's beacon time (else 40 ms
//             after the window opens, wherever that is)
// With FUZZ_SHOW_EVENTS set in the environment the MLME indications are
// shown.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "LoRaMacClassB.h"
#include "Region.h"
#include "lorawan_fuzz_world.h"
#include "systime.h"

using namespace lorawan_fuzz;

namespace {

constexpr uint32_t kBeaconInterval = 128000;
constexpr uint64_t kUnixAtZero = 1765000000000ULL + 12345;
constexpr uint64_t kPreambleCatch = 20;

uint16_t Crc16Xmodem(const uint8_t* p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; i++) {
    crc ^= (uint16_t)(p[i] << 8);
    for (int b = 0; b < 8; b++)
      crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
  }
  return crc;
}

uint64_t BeaconAtOrAfter(uint64_t t) {
  const uint64_t u = t + kUnixAtZero;
  return (u + kBeaconInterval - 1) / kBeaconInterval * kBeaconInterval - kUnixAtZero;
}

uint32_t GpsSecondsAt(uint64_t t) {
  return (uint32_t)((t + kUnixAtZero) / 1000 - UNIX_GPS_EPOCH_OFFSET);
}

// The beacon layout: RFU1 | Param | Time | CRC | InfoDesc | Info(6) | RFU2 | CRC.
void Fix(Bytes& f, const BeaconFormat_t& format, uint32_t gps) {
  if (format.BeaconSize == 0 || f.size() != format.BeaconSize ||
      format.Rfu1Size + format.Rfu2Size + 16u > f.size())
    return;
  const size_t t = format.Rfu1Size + 1u;
  for (int i = 0; i < 4; i++) f[t + i] = (uint8_t)(gps >> (8 * i));
  uint16_t crc = Crc16Xmodem(f.data(), format.Rfu1Size + 5u);
  f[t + 4] = (uint8_t)crc;
  f[t + 5] = (uint8_t)(crc >> 8);
  const size_t g = format.Rfu1Size + 7u;
  const size_t gl = 7u + format.Rfu2Size;
  crc = Crc16Xmodem(&f[g], gl);
  f[g + gl] = (uint8_t)crc;
  f[g + gl + 1] = (uint8_t)(crc >> 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 2000) return 0;
  const uint8_t options = data[0];
  const LoRaMacRegion_t region = kRegions[options & 7];
  const bool fix = (options & 0x08) != 0;
  const bool onTime = (options & 0x10) != 0;
  std::vector<Bytes> frames;
  for (size_t i = 1; i < size && frames.size() < 12;) {
    const size_t n = data[i] < size - i - 1 ? data[i] : size - i - 1;
    frames.emplace_back(data + i + 1, data + i + 1 + n);
    i += 1 + n;
  }

  if (!Init(region)) return 0;
  StartAbp(0x01000300);
  GetPhyParams_t getPhy{};
  getPhy.Attribute = PHY_BEACON_FORMAT;
  const BeaconFormat_t format = RegionGetPhyParam(region, &getPhy).BeaconFormat;

  size_t next = 0;
  radio.Air = [&](const mac_world::RxCall& call) -> std::optional<Bytes> {
    radio.RxTimeoutMs = call.Timeout != 0 ? call.Timeout : 30;
    radio.RxFrameMs = 40;
    if (next >= frames.size()) return std::nullopt;
    Bytes f = frames[next];
    if (onTime) {
      const uint64_t start = BeaconAtOrAfter(call.At - kPreambleCatch);
      if (call.Timeout != 0 && start + radio.AirTimeMs > call.At + call.Timeout)
        return std::nullopt;
      radio.RxFrameMs = (uint32_t)(start + radio.AirTimeMs - call.At);
      if (fix) Fix(f, format, GpsSecondsAt(start));
    } else if (fix) {
      Fix(f, format, GpsSecondsAt(call.At));
    }
    next++;
    return OnAir(f);
  };
  MlmeReq_t req{};
  req.Type = MLME_BEACON_ACQUISITION;
  if (LoRaMacMlmeRequest(&req) == LORAMAC_STATUS_OK) {
    // Every frame gets its window, then the device tracks two more periods.
    for (size_t k = 0; k < frames.size() + 2; k++) mac_world::RunFor(kBeaconInterval);
  }
  radio.Air = nullptr;
  if (getenv("FUZZ_SHOW_EVENTS")) {
    for (const MlmeIndication_t& i : client.MlmeIndications)
      fprintf(stderr, "indication %d status %d time %u\n", (int)i.MlmeIndication, (int)i.Status,
              (unsigned)i.BeaconInfo.Time.Seconds);
  }
  LoRaMacStop();
  return 0;
}
