// Class B in EU868 on the MAC core's virtual clock: a network clock that
// sends a beacon at every multiple of 128 GPS seconds (frames and CRCs built
// here from the public LoRaWAN class B layout), the ping offset against
// OpenSSL's AES, slot times, beacon tracking and loss over hours of virtual
// time, the class B command answers and the uplink guard around beacons.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <vector>

#include "LoRaMac.h"
#include "LoRaMacClassB.h"
#include "Region.h"
#include "mac_core_fakes.h"
#include "openssl_ref.h"
#include "systime.h"

namespace {

using mac_world::client;
using mac_world::radio;
using Bytes = std::vector<uint8_t>;

const Bytes kNwkSKey = ref::from_hex("2B7E151628AED2A6ABF7158809CF4F3C");
const Bytes kAppSKey = ref::from_hex("3C4FCF098815F7ABA6D2AE2816157E2B");
constexpr uint32_t kDevAddr = 0x26011234;

constexpr uint32_t kBeaconFreq = 869525000;
constexpr uint32_t kBeaconInterval = 128000;
constexpr uint32_t kMaxRxWindow = 3000;
// How much of the beacon preamble (10 symbols of 4.1 ms) the radio may miss.
constexpr uint64_t kPreambleCatch = 20;
// Network time (Unix ms) at virtual time 0: a few beacon periods plus an odd
// part, so the device's boot is not aligned to the beacons.
constexpr uint64_t kUnixAtZero = 1765000000000ULL + 12345;

uint16_t Crc16Xmodem(const uint8_t* p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; i++) {
    crc ^= (uint16_t)(p[i] << 8);
    for (int b = 0; b < 8; b++)
      crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
  }
  return crc;
}

// An EU868 beacon: RFU(1) Param(1) Time(4) CRC(2) InfoDesc(1) Info(6) CRC(2).
Bytes BuildBeacon(uint32_t gpsSeconds, uint8_t infoDesc = 0) {
  Bytes f{0x00, 0x00};
  for (int i = 0; i < 4; i++) f.push_back((uint8_t)(gpsSeconds >> (8 * i)));
  uint16_t crc1 = Crc16Xmodem(f.data(), f.size());
  f.push_back((uint8_t)crc1);
  f.push_back((uint8_t)(crc1 >> 8));
  Bytes gw{infoDesc, 1, 2, 3, 4, 5, 6};
  uint16_t crc2 = Crc16Xmodem(gw.data(), gw.size());
  f.insert(f.end(), gw.begin(), gw.end());
  f.push_back((uint8_t)crc2);
  f.push_back((uint8_t)(crc2 >> 8));
  return f;
}

void PutLe32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; i++) b.push_back((uint8_t)(v >> (8 * i)));
}

// An unconfirmed 1.0.x data downlink without port carrying FOpts.
Bytes BuildDownWithFOpts(const Bytes& fopts, uint32_t fcnt) {
  Bytes f{0x60};
  PutLe32(f, kDevAddr);
  f.push_back((uint8_t)fopts.size());
  f.push_back((uint8_t)fcnt);
  f.push_back((uint8_t)(fcnt >> 8));
  f.insert(f.end(), fopts.begin(), fopts.end());
  Bytes b0{0x49, 0, 0, 0, 0, 0x01};
  PutLe32(b0, kDevAddr);
  PutLe32(b0, fcnt);
  b0.push_back(0);
  b0.push_back((uint8_t)f.size());
  b0.insert(b0.end(), f.begin(), f.end());
  Bytes tag = ref::aes_cmac(kNwkSKey, b0);
  f.insert(f.end(), tag.begin(), tag.begin() + 4);
  return f;
}

LoRaMacStatus_t MibSet(Mib_t type, MibParam_t param) {
  MibRequestConfirm_t mib{};
  mib.Type = type;
  mib.Param = param;
  return LoRaMacMibSetRequestConfirm(&mib);
}

LoRaMacStatus_t Mlme(Mlme_t type, uint8_t periodicity = 0) {
  MlmeReq_t req{};
  req.Type = type;
  if (type == MLME_PING_SLOT_INFO) req.Req.PingSlotInfo.PingSlot.Fields.Periodicity = periodicity;
  return LoRaMacMlmeRequest(&req);
}

class ClassB : public ::testing::Test {
 protected:
  void SetUp() override {
    mac_world::Reset();
    ASSERT_EQ(
        LoRaMacInitialization(&mac_world::primitives, &mac_world::callbacks, LORAMAC_REGION_EU868),
        LORAMAC_STATUS_OK);
    StartAbp();
    radio.Air = [this](const mac_world::RxCall& call) { return Air(call); };
  }

  void TearDown() override { radio.Air = nullptr; }

  // An ABP device: it never passes the reset of a join, so class B must
  // have the client's callbacks from initialisation on.
  void StartAbp() {
    MibParam_t p{};
    p.AbpLrWanVersion.Value = 0x01000300;
    ASSERT_EQ(MibSet(MIB_ABP_LORAWAN_VERSION, p), LORAMAC_STATUS_OK);
    p.DevAddr = kDevAddr;
    ASSERT_EQ(MibSet(MIB_DEV_ADDR, p), LORAMAC_STATUS_OK);
    for (Mib_t key : {MIB_F_NWK_S_INT_KEY, MIB_S_NWK_S_INT_KEY, MIB_NWK_S_ENC_KEY}) {
      p.NwkSEncKey = const_cast<uint8_t*>(kNwkSKey.data());
      ASSERT_EQ(MibSet(key, p), LORAMAC_STATUS_OK);
    }
    p.AppSKey = const_cast<uint8_t*>(kAppSKey.data());
    ASSERT_EQ(MibSet(MIB_APP_S_KEY, p), LORAMAC_STATUS_OK);
    p.NetworkActivation = ACTIVATION_TYPE_ABP;
    ASSERT_EQ(MibSet(MIB_NETWORK_ACTIVATION, p), LORAMAC_STATUS_OK);
    LoRaMacTestSetDutyCycleOn(false);
    ASSERT_EQ(LoRaMacStart(), LORAMAC_STATUS_OK);
  }

  // --- the network's clock and beacons -------------------------------------

  static uint64_t UnixMs(uint64_t t) { return t + kUnixAtZero; }
  static uint32_t GpsSecondsAt(uint64_t t) {
    return (uint32_t)(UnixMs(t) / 1000 - UNIX_GPS_EPOCH_OFFSET);
  }
  // Virtual time of the first beacon start at or after \a t.
  static uint64_t BeaconAtOrAfter(uint64_t t) {
    uint64_t u = UnixMs(t);
    uint64_t next = (u + kBeaconInterval - 1) / kBeaconInterval * kBeaconInterval;
    return next - kUnixAtZero;
  }

  static bool IsBeaconRx(const mac_world::RxCall& c) { return c.Timeout == 0 || c.Timeout == 2120; }

  std::optional<Bytes> Air(const mac_world::RxCall& call) {
    if (IsBeaconRx(call)) {
      // A beacon window without symbol timeout listens its whole time.
      radio.RxTimeoutMs = call.Timeout;
      if (call.Frequency != kBeaconFreq || call.Datarate != 9) return std::nullopt;
      // A beacon whose preamble began up to kPreambleCatch ms before the
      // reception started is still caught.
      uint64_t start = BeaconAtOrAfter(call.At - kPreambleCatch);
      if (call.Timeout != 0 && start + radio.AirTimeMs > call.At + call.Timeout)
        return std::nullopt;
      uint64_t k = start;
      if (dropped.count(k) != 0) {
        // Nothing on the air: an acquisition keeps listening.
        return std::nullopt;
      }
      Bytes f = BuildBeacon(GpsSecondsAt(start));
      if (mutate) mutate(k, f);
      radio.RxFrameMs = (uint32_t)(start + radio.AirTimeMs - call.At);
      return f;
    }
    radio.RxFrameMs = 40;
    radio.RxTimeoutMs = 30;
    if (pingDown) {
      if (auto f = pingDown(call)) return f;
    }
    if ((pendingDown || pendingDownFor) && radio.Rx.size() == rxAtSend + 1) {
      Bytes d = pendingDown ? *pendingDown : pendingDownFor(call);
      pendingDown.reset();
      pendingDownFor = nullptr;
      return d;
    }
    return std::nullopt;
  }

  // Acquires the beacon with an MLME request; returns the beacon's start.
  uint64_t Acquire() {
    EXPECT_EQ(Mlme(MLME_BEACON_ACQUISITION), LORAMAC_STATUS_OK);
    uint64_t beacon = BeaconAtOrAfter(mac_world::Now() + 1);
    mac_world::RunUntil(beacon + 1000);
    return beacon;
  }

  // One unconfirmed uplink whose RX1 brings \a fopts (or what \a foptsFor
  // makes of the RX1 reception); runs to its end.
  void ExchangeWithRx1(const Bytes& fopts,
                       std::function<Bytes(const mac_world::RxCall&)> foptsFor = nullptr) {
    if (foptsFor) {
      uint32_t fcnt = downFCnt++;
      pendingDownFor = [foptsFor, fcnt](const mac_world::RxCall& call) {
        return BuildDownWithFOpts(foptsFor(call), fcnt);
      };
    } else {
      pendingDown = BuildDownWithFOpts(fopts, downFCnt++);
    }
    rxAtSend = radio.Rx.size();
    McpsReq_t req{};
    req.Type = MCPS_UNCONFIRMED;
    req.Req.Unconfirmed.fPort = 2;
    uint8_t payload = 1;
    req.Req.Unconfirmed.fBuffer = &payload;
    req.Req.Unconfirmed.fBufferSize = 1;
    req.Req.Unconfirmed.Datarate = DR_5;
    ASSERT_EQ(LoRaMacMcpsRequest(&req), LORAMAC_STATUS_OK);
    mac_world::RunFor(4000);
    pendingDown.reset();
  }

  std::vector<MlmeIndication_t> Indications(Mlme_t type) const {
    std::vector<MlmeIndication_t> out;
    for (const auto& i : client.MlmeIndications)
      if (i.MlmeIndication == type) out.push_back(i);
    return out;
  }

  std::optional<MlmeConfirm_t> LastConfirm(Mlme_t type) const {
    std::optional<MlmeConfirm_t> out;
    for (const auto& c : client.MlmeConfirms)
      if (c.MlmeRequest == type) out = c;
    return out;
  }

  // Beacon receptions that began between \a from and \a to.
  std::vector<mac_world::RxCall> BeaconRxBetween(uint64_t from, uint64_t to) const {
    std::vector<mac_world::RxCall> out;
    for (const auto& c : radio.Rx)
      if (IsBeaconRx(c) && c.At >= from && c.At < to) out.push_back(c);
    return out;
  }

  std::set<uint64_t> dropped;  // beacon starts the network leaves out
  std::function<void(uint64_t, Bytes&)> mutate;
  std::optional<Bytes> pendingDown;
  std::function<Bytes(const mac_world::RxCall&)> pendingDownFor;
  std::function<std::optional<Bytes>(const mac_world::RxCall&)> pingDown;
  size_t rxAtSend = 0;
  uint32_t downFCnt = 0;
};

TEST(ClassBCrc, XmodemCheckValue) {
  const char* s = "123456789";
  EXPECT_EQ(Crc16Xmodem(reinterpret_cast<const uint8_t*>(s), 9), 0x31C3);
}

TEST_F(ClassB, PingOffsetIsTheAesOfTimeAndAddressUnderTheZeroKey) {
  struct Case {
    uint32_t BeaconTime;
    uint32_t Address;
    uint16_t Period;
  };
  const Case cases[] = {
      {0, 0, 32},
      {1430000000, kDevAddr, 32},
      {1430000128, kDevAddr, 4096},
      {0xFFFFFF80, 0xFFFFFFFF, 1024},
      {1234567936, 0x01020304, 128},
      {1234567936, 0x01020304, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.BeaconTime);
    Bytes block;
    PutLe32(block, c.BeaconTime);
    PutLe32(block, c.Address);
    block.resize(16, 0);
    Bytes cipher = ref::aes_ecb(Bytes(16, 0), block, true);
    uint32_t rand = cipher[0] + 256u * cipher[1];
    uint32_t expected = (c.Period == 0) ? rand : rand % c.Period;
    EXPECT_EQ(LoRaMacClassBComputePingOffset(c.BeaconTime, c.Address, c.Period), expected);
  }
}

TEST_F(ClassB, AcquisitionOnAnAbpDeviceLocksAndSetsTheClockFromTheBeacon) {
  uint64_t beacon = Acquire();

  // Only the wake-ups class B asked for moved the MAC.
  ASSERT_EQ(Indications(MLME_BEACON).size(), 1u);
  const MlmeIndication_t locked = Indications(MLME_BEACON)[0];
  EXPECT_EQ(locked.Status, LORAMAC_EVENT_INFO_STATUS_BEACON_LOCKED);
  EXPECT_EQ(locked.BeaconInfo.Time.Seconds, GpsSecondsAt(beacon));
  EXPECT_EQ(locked.BeaconInfo.Frequency, kBeaconFreq);
  EXPECT_EQ(locked.BeaconInfo.GwSpecific.Info[5], 6);
  ASSERT_TRUE(LastConfirm(MLME_BEACON_ACQUISITION));
  EXPECT_EQ(LastConfirm(MLME_BEACON_ACQUISITION)->Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_TRUE(client.McpsIndications.empty());

  // The first acquisition listened continuously on the beacon channel.
  ASSERT_FALSE(radio.Rx.empty());
  EXPECT_TRUE(radio.Rx[0].Continuous);

  // System time now is the network's time.
  SysTime_t now = SysTimeGet();
  uint64_t unixMs = (uint64_t)now.Seconds * 1000 + (uint64_t)now.SubSeconds;
  EXPECT_EQ(unixMs, UnixMs(mac_world::Now()));
  EXPECT_TRUE(LoRaMacClassBIsBeaconModeActive());
}

TEST_F(ClassB, TrackingWidensAfterMissedBeaconsAndReportsTheLossAfterTwoHours) {
  uint64_t first = Acquire();
  // Three more beacons heard, then the network falls silent.
  uint64_t lastHeard = first + 3 * kBeaconInterval;
  for (uint64_t b = lastHeard + kBeaconInterval; b < lastHeard + 3 * 3600 * 1000ULL;
       b += kBeaconInterval)
    dropped.insert(b);
  mac_world::RunUntil(lastHeard + 3 * 3600 * 1000ULL);

  auto beacons = Indications(MLME_BEACON);
  size_t lockedCount = 0, lostCount = 0;
  for (const auto& i : beacons)
    (i.Status == LORAMAC_EVENT_INFO_STATUS_BEACON_LOCKED ? lockedCount : lostCount)++;
  EXPECT_EQ(lockedCount, 4u);
  // Beacon-less operation lasts two hours from the last beacon heard:
  // 56 missed beacons (56 x 128 s = 7168 s) are reported as such.
  EXPECT_EQ(lostCount, 56u);

  // Each tracked reception of a missed beacon starts earlier than the last:
  // the window widens (up to its limit).
  std::vector<int64_t> lead;
  for (uint64_t b = lastHeard + kBeaconInterval; b <= lastHeard + 56 * kBeaconInterval;
       b += kBeaconInterval) {
    auto rx = BeaconRxBetween(b - 3000, b + 1);
    ASSERT_EQ(rx.size(), 1u) << "beacon at " << b;
    EXPECT_EQ(rx[0].Timeout, 2120u);
    lead.push_back((int64_t)b - (int64_t)rx[0].At);
  }
  int64_t heardLead =
      (int64_t)lastHeard - (int64_t)BeaconRxBetween(lastHeard - 3000, lastHeard + 1).at(0).At;
  // The first missed one was scheduled while locked; from the second on
  // the window moves ahead 4, 8, ... ms, at most 256 ms (plus the radio's
  // 1 ms wake-up time).
  EXPECT_EQ(lead[0], heardLead);
  EXPECT_GT(lead[1], lead[0]);
  for (size_t i = 2; i < lead.size(); i++) EXPECT_GE(lead[i], lead[i - 1]);
  EXPECT_EQ(lead.back(), 1 + 256);

  // Then the loss, once, as an indication; class B is back to its start.
  ASSERT_EQ(Indications(MLME_BEACON_LOST).size(), 1u);
  EXPECT_FALSE(LoRaMacClassBIsBeaconModeActive());
  EXPECT_TRUE(BeaconRxBetween(lastHeard + 58 * kBeaconInterval, mac_world::Now()).empty());
}

TEST_F(ClassB, BeaconLossIsReportedWhileAnotherMlmeConfirmIsOwed) {
  uint64_t first = Acquire();
  for (uint64_t b = first + kBeaconInterval; b < first + 3 * 3600 * 1000ULL; b += kBeaconInterval)
    dropped.insert(b);
  mac_world::RunUntil(first + 7000 * 1000ULL);
  // A link check waits for the next uplink: its confirm is owed.
  ASSERT_EQ(Mlme(MLME_LINK_CHECK), LORAMAC_STATUS_OK);
  mac_world::RunUntil(first + 3 * 3600 * 1000ULL);
  EXPECT_EQ(Indications(MLME_BEACON_LOST).size(), 1u);
}

TEST_F(ClassB, AcquisitionWithoutBeaconEndsNotFound) {
  for (uint64_t b = BeaconAtOrAfter(mac_world::Now()); b < 400000; b += kBeaconInterval)
    dropped.insert(b);
  ASSERT_EQ(Mlme(MLME_BEACON_ACQUISITION), LORAMAC_STATUS_OK);
  mac_world::RunFor(10);
  EXPECT_EQ(Mlme(MLME_BEACON_ACQUISITION), LORAMAC_STATUS_BUSY);
  mac_world::RunFor(130000);
  ASSERT_TRUE(LastConfirm(MLME_BEACON_ACQUISITION));
  EXPECT_EQ(LastConfirm(MLME_BEACON_ACQUISITION)->Status,
            LORAMAC_EVENT_INFO_STATUS_BEACON_NOT_FOUND);
  EXPECT_TRUE(Indications(MLME_BEACON_LOST).empty());
  EXPECT_FALSE(LoRaMacClassBIsBeaconModeActive());
}

TEST_F(ClassB, BandWithoutBeaconFrequencyFailsTheAcquisitionWithoutListening) {
  mac_world::Reset();
  ASSERT_EQ(
      LoRaMacInitialization(&mac_world::primitives, &mac_world::callbacks, LORAMAC_REGION_LA915),
      LORAMAC_STATUS_OK);
  ASSERT_EQ(LoRaMacStart(), LORAMAC_STATUS_OK);
  ASSERT_EQ(Mlme(MLME_BEACON_ACQUISITION), LORAMAC_STATUS_OK);
  mac_world::RunFor(1000);
  EXPECT_TRUE(radio.Rx.empty());
  ASSERT_TRUE(LastConfirm(MLME_BEACON_ACQUISITION));
  EXPECT_EQ(LastConfirm(MLME_BEACON_ACQUISITION)->Status,
            LORAMAC_EVENT_INFO_STATUS_BEACON_NOT_FOUND);
  EXPECT_FALSE(LoRaMacClassBIsBeaconModeActive());
}

TEST_F(ClassB, BeaconFrameChecks) {
  struct Case {
    const char* Name;
    std::function<void(Bytes&)> Change;
    LoRaMacEventInfoStatus_t Expected;
  };
  const std::vector<Case> cases = {
      {"good", [](Bytes&) {}, LORAMAC_EVENT_INFO_STATUS_BEACON_LOCKED},
      {"CRC2 corrupt: the time still counts", [](Bytes& f) { f[15] ^= 0x01; },
       LORAMAC_EVENT_INFO_STATUS_BEACON_LOCKED},
      {"CRC1 corrupt counts as missed", [](Bytes& f) { f[6] ^= 0x01; },
       LORAMAC_EVENT_INFO_STATUS_BEACON_LOST},
      {"time bit flipped counts as missed", [](Bytes& f) { f[3] ^= 0x80; },
       LORAMAC_EVENT_INFO_STATUS_BEACON_LOST},
      {"one byte short counts as missed", [](Bytes& f) { f.pop_back(); },
       LORAMAC_EVENT_INFO_STATUS_BEACON_LOST},
      {"one byte long counts as missed", [](Bytes& f) { f.push_back(0); },
       LORAMAC_EVENT_INFO_STATUS_BEACON_LOST},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TearDown();
    SetUp();
    dropped.clear();
    uint64_t first = Acquire();
    uint64_t second = first + kBeaconInterval;
    mutate = [&](uint64_t k, Bytes& f) {
      if (k == second) c.Change(f);
    };
    mac_world::RunUntil(second + 1000);
    mutate = nullptr;
    auto beacons = Indications(MLME_BEACON);
    ASSERT_EQ(beacons.size(), 2u);
    EXPECT_EQ(beacons[1].Status, c.Expected);
    if (c.Expected == LORAMAC_EVENT_INFO_STATUS_BEACON_LOCKED) {
      EXPECT_EQ(beacons[1].BeaconInfo.Time.Seconds, GpsSecondsAt(second));
    }
    // Never handed to the downlink path.
    EXPECT_TRUE(client.McpsIndications.empty());
    // Tracking goes on: the third beacon locks again.
    mac_world::RunUntil(second + kBeaconInterval + 1000);
    ASSERT_EQ(Indications(MLME_BEACON).size(), 3u);
    EXPECT_EQ(Indications(MLME_BEACON)[2].Status, LORAMAC_EVENT_INFO_STATUS_BEACON_LOCKED);
  }
}

TEST_F(ClassB, FrameOfWrongSizeDuringAcquisitionIsTakenAsABeaconAttempt) {
  mutate = [](uint64_t, Bytes& f) { f.push_back(0); };
  ASSERT_EQ(Mlme(MLME_BEACON_ACQUISITION), LORAMAC_STATUS_OK);
  mac_world::RunFor(130000);
  EXPECT_TRUE(client.McpsIndications.empty());
  EXPECT_TRUE(Indications(MLME_BEACON).empty());
  ASSERT_TRUE(LastConfirm(MLME_BEACON_ACQUISITION));
  EXPECT_EQ(LastConfirm(MLME_BEACON_ACQUISITION)->Status,
            LORAMAC_EVENT_INFO_STATUS_BEACON_NOT_FOUND);
}

TEST_F(ClassB, NextSlotTime) {
  uint64_t beacon = Acquire();
  struct Case {
    const char* Name;
    uint32_t At;  // ms after the beacon start
    uint16_t Offset;
    uint8_t Periodicity;
    std::optional<uint32_t> SlotAt;  // ms after the beacon start
  };
  const std::vector<Case> cases = {
      {"offset 10: first slot 2120 + 300 ms after the beacon", 1000, 10, 0, 2420},
      {"just before the first slot", 2419, 10, 0, 2420},
      {"just after it: the next one 960 ms later", 2421, 10, 0, 3380},
      {"periodicity 0: the 128th slot", 2420 + 126 * 960 + 1, 10, 0, 2420 + 127 * 960},
      {"periodicity 0: none after the 128th", 2420 + 127 * 960 + 1, 10, 0, std::nullopt},
      {"periodicity 7: the one slot", 1000, 10, 7, 2420},
      {"periodicity 7: none after it", 2421, 10, 7, std::nullopt},
      {"the last offset ends at the beacon guard", 1000, 4095, 7, 2120 + 4095 * 30},
      {"periodicity 5, offset 1000", 2120 + 1000 * 30 + 1, 1000, 5, 2120 + (1000 + 1024) * 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    // Later cases run later in the beacon period; each sees its own time.
    if (beacon + c.At < mac_world::Now()) beacon += kBeaconInterval;
    mac_world::RunUntil(beacon + c.At);
    uint16_t pingNb = (uint16_t)(128 >> c.Periodicity);
    uint16_t period = (uint16_t)(4096 / pingNb);
    TimerTime_t wait = 0;
    bool found = LoRaMacClassBCalcNextSlotTime(c.Offset, period, pingNb, &wait);
    ASSERT_EQ(found, c.SlotAt.has_value());
    if (found) {
      // The radio's wake-up time (1 ms here) comes off.
      EXPECT_EQ(wait, *c.SlotAt - c.At - 1);
    }
  }
}

TEST_F(ClassB, PingSlotsOpenAtTheComputedTimesAndTakeDownlinks) {
  uint64_t beacon = Acquire();
  EXPECT_EQ(Mlme(MLME_PING_SLOT_INFO, 5), LORAMAC_STATUS_OK);  // 4 slots per period
  MibParam_t p{};
  p.Class = CLASS_B;
  EXPECT_EQ(MibSet(MIB_DEVICE_CLASS, p), LORAMAC_STATUS_SERVICE_UNKNOWN);  // not acknowledged yet
  ExchangeWithRx1({0x10});
  ASSERT_TRUE(LastConfirm(MLME_PING_SLOT_INFO));
  EXPECT_EQ(LastConfirm(MLME_PING_SLOT_INFO)->Status, LORAMAC_EVENT_INFO_STATUS_OK);
  // Tracking was halted for the exchange and resumed after it, silently.
  EXPECT_EQ(Indications(MLME_BEACON).size(), 1u);
  ASSERT_EQ(MibSet(MIB_DEVICE_CLASS, p), LORAMAC_STATUS_OK);

  uint64_t next = beacon + kBeaconInterval;
  RxConfigParams_t window{};
  RegionComputeRxWindowParameters(LORAMAC_REGION_EU868, DR_3, 6, 10, &window);
  uint16_t offset = LoRaMacClassBComputePingOffset(GpsSecondsAt(next), kDevAddr, 1024);
  std::vector<uint64_t> expected;
  for (int n = 0; n < 4; n++)
    expected.push_back(next + 2120 + (offset + n * 1024) * 30 - 1 + window.WindowOffset);

  // The network answers in the second slot of that period.
  pingDown = [&](const mac_world::RxCall& call) -> std::optional<Bytes> {
    if (call.At == expected[1]) return BuildDownWithFOpts({}, 7);
    return std::nullopt;
  };
  mac_world::RunUntil(next + kBeaconInterval);

  std::vector<uint64_t> opened;
  for (const auto& c : radio.Rx)
    if (!IsBeaconRx(c) && c.At > next && c.At < next + kBeaconInterval) {
      EXPECT_EQ(c.Frequency, kBeaconFreq);
      EXPECT_EQ(c.Datarate, 9u);
      EXPECT_EQ(c.Timeout, kMaxRxWindow);
      opened.push_back(c.At);
    }
  EXPECT_EQ(opened, expected);
  ASSERT_EQ(client.McpsIndications.size(), 2u);  // the RX1 answer, then the ping slot
  EXPECT_EQ(client.McpsIndications[1].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_EQ(client.McpsIndications[1].RxSlot, RX_SLOT_WIN_CLASS_B_PING_SLOT);
  EXPECT_EQ(client.McpsIndications[1].DownLinkCounter, 7u);
  // Beacons keep locking around the slots.
  EXPECT_EQ(Indications(MLME_BEACON).back().Status, LORAMAC_EVENT_INFO_STATUS_BEACON_LOCKED);
}

TEST_F(ClassB, MulticastSlotsOpenForTheGroupAndYieldToThePingSlot) {
  uint64_t beacon = Acquire();
  EXPECT_EQ(Mlme(MLME_PING_SLOT_INFO, 4), LORAMAC_STATUS_OK);  // 8 slots per period
  ExchangeWithRx1({0x10});
  MibParam_t p{};
  p.Class = CLASS_B;
  ASSERT_EQ(MibSet(MIB_DEVICE_CLASS, p), LORAMAC_STATUS_OK);

  static const uint8_t mcKey[16] = {0xA1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  auto setupGroup = [](AddressIdentifier_t id, uint32_t address, uint16_t periodicity) {
    McChannelParams_t group{};
    group.IsEnabled = true;
    group.GroupID = id;
    group.Address = address;
    group.McKeys.Session.McAppSKey = const_cast<uint8_t*>(mcKey);
    group.McKeys.Session.McNwkSKey = const_cast<uint8_t*>(mcKey);
    group.FCountMax = 0xFFFFFFFF;
    ASSERT_EQ(LoRaMacMcChannelSetup(&group), LORAMAC_STATUS_OK);
    McRxParams_t rx{};
    rx.Class = CLASS_B;
    rx.ClassB.Frequency = 869525000;
    rx.ClassB.Datarate = DR_2;
    rx.ClassB.Periodicity = periodicity;
    uint8_t status = 0;
    ASSERT_EQ(LoRaMacMcChannelSetupRxParams(id, &rx, &status), LORAMAC_STATUS_OK);
  };
  // One group of its own, and one that shares the device's own slots.
  constexpr uint32_t kGroup = 0x01BBCCDD;
  setupGroup(MULTICAST_0_ADDR, kGroup, 6);
  setupGroup(MULTICAST_1_ADDR, kDevAddr, 4);

  uint64_t next = beacon + kBeaconInterval;
  mac_world::RunUntil(next + kBeaconInterval);

  RxConfigParams_t window{};
  RegionComputeRxWindowParameters(LORAMAC_REGION_EU868, DR_3, 6, 10, &window);
  uint16_t groupOffset = LoRaMacClassBComputePingOffset(GpsSecondsAt(next), kGroup, 2048);
  uint16_t ownOffset = LoRaMacClassBComputePingOffset(GpsSecondsAt(next), kDevAddr, 512);
  std::vector<uint64_t> expectedGroup, expectedOwn;
  for (int n = 0; n < 2; n++)
    expectedGroup.push_back(next + 2120 + (groupOffset + n * 2048) * 30 - 1 + window.WindowOffset);
  for (int n = 0; n < 8; n++)
    expectedOwn.push_back(next + 2120 + (ownOffset + n * 512) * 30 - 1 + window.WindowOffset);

  std::vector<uint64_t> openedGroup, openedOwn;
  for (const auto& c : radio.Rx)
    if (!IsBeaconRx(c) && c.At > next && c.At < next + kBeaconInterval)
      (c.Datarate == 10 ? openedGroup : openedOwn).push_back(c.At);  // DR2 is SF10
  // The group's own slots at its times; where a group's slot meets the
  // device's ping slot (neither with data pending), the ping slot keeps
  // the radio.
  EXPECT_EQ(openedGroup, expectedGroup);
  EXPECT_EQ(openedOwn, expectedOwn);
}

TEST_F(ClassB, BeaconTimingAnswer) {
  struct Case {
    uint16_t Delay;
    LoRaMacEventInfoStatus_t Status;
    TimerTime_t DelayMs;
  };
  const Case cases[] = {
      {4266, LORAMAC_EVENT_INFO_STATUS_OK, 127980},
      {4267, LORAMAC_EVENT_INFO_STATUS_BEACON_NOT_FOUND, 0},  // 128010 ms: beyond a beacon period
      {0xFFFF, LORAMAC_EVENT_INFO_STATUS_BEACON_NOT_FOUND, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Delay);
    TearDown();
    SetUp();
    ASSERT_EQ(Mlme(MLME_BEACON_TIMING), LORAMAC_STATUS_OK);
    ExchangeWithRx1({0x12, (uint8_t)c.Delay, (uint8_t)(c.Delay >> 8), 0});
    auto confirm = LastConfirm(MLME_BEACON_TIMING);
    ASSERT_TRUE(confirm);
    EXPECT_EQ(confirm->Status, c.Status);
    EXPECT_EQ(confirm->BeaconTimingDelay, c.DelayMs);
  }
}

TEST_F(ClassB, BeaconTimingAnswerLeadsToAnAcquisitionAtTheAnnouncedTime) {
  ASSERT_EQ(Mlme(MLME_BEACON_TIMING), LORAMAC_STATUS_OK);
  uint64_t announced = 0;
  // The delay counts in 30 ms steps from the end of the downlink.
  ExchangeWithRx1({}, [&](const mac_world::RxCall& call) {
    uint64_t rxDone = call.At + radio.RxFrameMs;
    uint64_t beacon = BeaconAtOrAfter(rxDone + 1);
    uint16_t delay = (uint16_t)((beacon - rxDone) / 30);
    announced = rxDone + delay * 30u;
    return Bytes{0x12, (uint8_t)delay, (uint8_t)(delay >> 8), 0};
  });
  ASSERT_TRUE(LastConfirm(MLME_BEACON_TIMING));
  ASSERT_EQ(LastConfirm(MLME_BEACON_TIMING)->Status, LORAMAC_EVENT_INFO_STATUS_OK);

  size_t rxBefore = radio.Rx.size();
  ASSERT_EQ(Mlme(MLME_BEACON_ACQUISITION), LORAMAC_STATUS_OK);
  uint64_t beacon = BeaconAtOrAfter(announced);
  mac_world::RunUntil(beacon + 1000);
  ASSERT_EQ(radio.Rx.size(), rxBefore + 1);
  EXPECT_EQ(radio.Rx.back().Timeout, 2120u);
  EXPECT_EQ(radio.Rx.back().At, announced);
  ASSERT_TRUE(LastConfirm(MLME_BEACON_ACQUISITION));
  EXPECT_EQ(LastConfirm(MLME_BEACON_ACQUISITION)->Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_EQ(Indications(MLME_BEACON).back().Status, LORAMAC_EVENT_INFO_STATUS_BEACON_LOCKED);
}

TEST_F(ClassB, DeviceTimeAnswerLeadsToAnAcquisitionAtTheNextBeacon) {
  // DeviceTimeAns: GPS seconds and 1/256 s of the network clock at the
  // end of the uplink.
  ASSERT_EQ(Mlme(MLME_DEVICE_TIME), LORAMAC_STATUS_OK);
  uint64_t txEnd = mac_world::Now() + radio.AirTimeMs;
  uint64_t unix = UnixMs(txEnd);
  uint32_t gps = (uint32_t)(unix / 1000 - UNIX_GPS_EPOCH_OFFSET);
  uint8_t frac = (uint8_t)((unix % 1000) * 256 / 1000);
  ExchangeWithRx1(
      {0x0D, (uint8_t)gps, (uint8_t)(gps >> 8), (uint8_t)(gps >> 16), (uint8_t)(gps >> 24), frac});
  ASSERT_TRUE(LastConfirm(MLME_DEVICE_TIME));
  EXPECT_EQ(LastConfirm(MLME_DEVICE_TIME)->Status, LORAMAC_EVENT_INFO_STATUS_OK);

  size_t rxBefore = radio.Rx.size();
  ASSERT_EQ(Mlme(MLME_BEACON_ACQUISITION), LORAMAC_STATUS_OK);
  EXPECT_TRUE(LoRaMacClassBIsBeaconModeActive());
  uint64_t beacon = BeaconAtOrAfter(mac_world::Now());
  mac_world::RunUntil(beacon + 1000);
  // No continuous listening: one window of 2120 ms shortly before the beacon.
  ASSERT_EQ(radio.Rx.size(), rxBefore + 1);
  EXPECT_EQ(radio.Rx.back().Timeout, 2120u);
  // The device time is known to 1/256 s.
  EXPECT_LE(radio.Rx.back().At, beacon + 4);
  EXPECT_GT(radio.Rx.back().At + 50, beacon);
  ASSERT_TRUE(LastConfirm(MLME_BEACON_ACQUISITION));
  EXPECT_EQ(LastConfirm(MLME_BEACON_ACQUISITION)->Status, LORAMAC_EVENT_INFO_STATUS_OK);
}

TEST_F(ClassB, PingSlotChannelAndBeaconFrequencyRequests) {
  struct Case {
    const char* Name;
    Bytes FOpts;
    Bytes Answer;
  };
  const std::vector<Case> cases = {
      // Frequency in 100 Hz units, LE; then the datarate.
      {"ping slot: default channel, DR3", {0x11, 0, 0, 0, 3}, {0x11, 0x03}},
      {"ping slot: 869.525 MHz, DR5", {0x11, 0xD2, 0xAD, 0x84, 5}, {0x11, 0x03}},
      {"ping slot: 100 MHz refused", {0x11, 0x40, 0x42, 0x0F, 3}, {0x11, 0x02}},
      {"ping slot: DR 9 refused", {0x11, 0, 0, 0, 9}, {0x11, 0x01}},
      {"beacon frequency back to the default", {0x13, 0, 0, 0}, {0x13, 0x01}},
      {"beacon frequency 868.1 MHz", {0x13, 0x28, 0x76, 0x84}, {0x13, 0x01}},
      {"beacon frequency 100 MHz refused", {0x13, 0x40, 0x42, 0x0F}, {0x13, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TearDown();
    SetUp();
    ExchangeWithRx1(c.FOpts);
    McpsReq_t req{};
    req.Type = MCPS_UNCONFIRMED;
    req.Req.Unconfirmed.fPort = 2;
    uint8_t payload = 1;
    req.Req.Unconfirmed.fBuffer = &payload;
    req.Req.Unconfirmed.fBufferSize = 1;
    req.Req.Unconfirmed.Datarate = DR_5;
    ASSERT_EQ(LoRaMacMcpsRequest(&req), LORAMAC_STATUS_OK);
    const Bytes& up = radio.Sent.back().Bytes;
    EXPECT_EQ(Bytes(up.begin() + 8, up.begin() + 8 + (up[5] & 0x0F)), c.Answer);
    mac_world::RunFor(4000);
  }
  // The ping-slot datarate taken is visible in the information base.
  TearDown();
  SetUp();
  ExchangeWithRx1({0x11, 0, 0, 0, 5});
  MibRequestConfirm_t mib{};
  mib.Type = MIB_PING_SLOT_DATARATE;
  ASSERT_EQ(LoRaMacMibGetRequestConfirm(&mib), LORAMAC_STATUS_OK);
  EXPECT_EQ(mib.Param.PingSlotDatarate, DR_5);
}

TEST_F(ClassB, UplinkGuardAroundTheBeacon) {
  uint64_t beacon = Acquire();
  uint64_t next = beacon + kBeaconInterval;
  // An uplink whose exchange (air time, both receive delays, the guard)
  // would reach into the beacon is refused.
  const TimerTime_t air = radio.AirTimeMs;
  const uint64_t windowStart = next - 1000 - 2000 - air - 3000;
  mac_world::RunUntil(windowStart - 1);
  EXPECT_EQ(LoRaMacClassBIsUplinkCollision(air), 0u);
  mac_world::RunUntil(windowStart);
  EXPECT_EQ(LoRaMacClassBIsUplinkCollision(air), 2120u);

  McpsReq_t req{};
  req.Type = MCPS_UNCONFIRMED;
  req.Req.Unconfirmed.fPort = 2;
  uint8_t payload = 1;
  req.Req.Unconfirmed.fBuffer = &payload;
  req.Req.Unconfirmed.fBufferSize = 1;
  req.Req.Unconfirmed.Datarate = DR_5;
  EXPECT_EQ(LoRaMacMcpsRequest(&req), LORAMAC_STATUS_BUSY_UPLINK_COLLISION);

  // While tracking is halted the next beacon time stays: the reserved
  // time after the beacon start is guarded too.
  LoRaMacClassBHaltBeaconing();
  mac_world::RunUntil(next + 2119);
  EXPECT_EQ(LoRaMacClassBIsUplinkCollision(air), 2120u);
  mac_world::RunUntil(next + 2120);
  EXPECT_EQ(LoRaMacClassBIsUplinkCollision(air), 0u);
}

}  // namespace
