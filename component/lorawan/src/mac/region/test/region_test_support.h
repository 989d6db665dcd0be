/*
 * Shared fixture of the region tests: the MAC-owned storage a region binds
 * to, the stand-ins reset, and short helpers for the region operations.
 */
#ifndef REGION_TEST_SUPPORT_H
#define REGION_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "Region.h"
#include "fakes.h"

namespace region_test {

// Frequencies are written in the tests in Hz; MHz(868.1) reads better.
constexpr uint32_t MHz(double mhz) { return static_cast<uint32_t>(mhz * 1000000.0 + 0.5); }

struct Storage {
  RegionNvmDataGroup1_t group1;
  RegionNvmDataGroup2_t group2;
  Band_t bands[REGION_NVM_MAX_NB_BANDS];
};

class RegionTest : public ::testing::Test {
 protected:
  Storage storage{};

  void SetUp() override {
    fake::Reset();
    std::memset(&storage, 0, sizeof(storage));
  }

  void Init(LoRaMacRegion_t region) {
    InitDefaultsParams_t params = {&storage.group1, &storage.group2, storage.bands,
                                   INIT_TYPE_DEFAULTS};
    RegionInitDefaults(region, &params);
  }

  void InitType(LoRaMacRegion_t region, InitType_t type) {
    InitDefaultsParams_t params = {nullptr, nullptr, nullptr, type};
    RegionInitDefaults(region, &params);
  }

  static PhyParam_t Get(LoRaMacRegion_t region, PhyAttribute_t attribute, int8_t datarate = 0,
                        uint8_t uplinkDwell = 0, uint8_t downlinkDwell = 0, uint8_t channel = 0) {
    GetPhyParams_t getPhy = {attribute, datarate, uplinkDwell, downlinkDwell, channel};
    return RegionGetPhyParam(region, &getPhy);
  }

  static uint32_t Value(LoRaMacRegion_t region, PhyAttribute_t attribute, int8_t datarate = 0,
                        uint8_t uplinkDwell = 0, uint8_t downlinkDwell = 0, uint8_t channel = 0) {
    return Get(region, attribute, datarate, uplinkDwell, downlinkDwell, channel).Value;
  }

  static bool VerifyFrequency(LoRaMacRegion_t region, uint32_t frequency) {
    VerifyParams_t verify = {};
    verify.Frequency = frequency;
    return RegionVerify(region, &verify, PHY_FREQUENCY);
  }

  static bool VerifyDr(LoRaMacRegion_t region, PhyAttribute_t attribute, int8_t dr,
                       uint8_t uplinkDwell = 0, uint8_t downlinkDwell = 0) {
    VerifyParams_t verify = {};
    verify.DatarateParams.Datarate = dr;
    verify.DatarateParams.UplinkDwellTime = uplinkDwell;
    verify.DatarateParams.DownlinkDwellTime = downlinkDwell;
    return RegionVerify(region, &verify, attribute);
  }

  static bool VerifyTxPower(LoRaMacRegion_t region, int8_t txPower,
                            PhyAttribute_t attribute = PHY_TX_POWER) {
    VerifyParams_t verify = {};
    verify.TxPower = txPower;
    return RegionVerify(region, &verify, attribute);
  }

  struct NextChannelResult {
    LoRaMacStatus_t Status;
    uint8_t Channel;
    TimerTime_t Time;
    TimerTime_t AggregatedTimeOff;
  };

  static NextChannelResult Next(LoRaMacRegion_t region, int8_t datarate, bool joined,
                                bool dutyCycle = false, SysTime_t sinceStartUp = {0, 0}) {
    NextChanParams_t params = {};
    params.AggrTimeOff = 0;
    params.LastAggrTx = 0;
    params.Datarate = datarate;
    params.Joined = joined;
    params.DutyCycleEnabled = dutyCycle;
    params.ElapsedTimeSinceStartUp = sinceStartUp;
    params.LastTxIsJoinRequest = !joined;
    params.PktLen = 20;
    NextChannelResult result = {LORAMAC_STATUS_ERROR, 0xEE, 0xDEADBEEF, 0xDEADBEEF};
    result.Status = RegionNextChannel(region, &params, &result.Channel, &result.Time,
                                      &result.AggregatedTimeOff);
    return result;
  }

  struct TxResult {
    bool Ok;
    int8_t TxPower;
    TimerTime_t TimeOnAir;
  };

  static TxResult Tx(LoRaMacRegion_t region, uint8_t channel, int8_t datarate, int8_t txPower,
                     float maxEirp, float antennaGain = 0.0f, uint16_t pktLen = 20) {
    TxConfigParams_t params = {channel, datarate, txPower, maxEirp, antennaGain, pktLen};
    TxResult result = {false, -99, 0};
    result.Ok = RegionTxConfig(region, &params, &result.TxPower, &result.TimeOnAir);
    return result;
  }

  // Runs a receive-window set-up and answers the frequency the radio was
  // tuned to (0 when the region refused).
  static uint32_t RxFrequency(LoRaMacRegion_t region, LoRaMacRxSlot_t slot, uint8_t channel,
                              int8_t datarate, uint32_t frequency = 0,
                              ActivationType_t activation = ACTIVATION_TYPE_OTAA) {
    RxConfigParams_t params = {};
    params.Channel = channel;
    params.Datarate = datarate;
    params.Frequency = frequency;
    params.WindowTimeout = 8;
    params.RxSlot = slot;
    params.NetworkActivation = activation;
    int8_t dr = -1;
    fake::radio.Channels.clear();
    if (!RegionRxConfig(region, &params, &dr) || fake::radio.Channels.empty()) {
      return 0;
    }
    return fake::radio.Channels.back();
  }

  struct LinkAdrResult {
    uint8_t Status;
    int8_t Datarate;
    int8_t TxPower;
    uint8_t NbRep;
    uint8_t Parsed;
  };

  static LinkAdrResult LinkAdr(LoRaMacRegion_t region, std::vector<uint8_t> payload,
                               int8_t currentDr = 0, int8_t currentTxPower = 0,
                               uint8_t currentNbRep = 1, bool adr = true, uint8_t uplinkDwell = 0) {
    LinkAdrReqParams_t params = {};
    params.Version.Value = 0x01000400;
    params.Payload = payload.data();
    params.PayloadSize = static_cast<uint8_t>(payload.size());
    params.UplinkDwellTime = uplinkDwell;
    params.AdrEnabled = adr;
    params.CurrentDatarate = currentDr;
    params.CurrentTxPower = currentTxPower;
    params.CurrentNbRep = currentNbRep;
    LinkAdrResult result = {0, -1, -1, 0xFF, 0xFF};
    result.Status = RegionLinkAdrReq(region, &params, &result.Datarate, &result.TxPower,
                                     &result.NbRep, &result.Parsed);
    return result;
  }

  // One LinkADRReq block: command identifier, DR/TX power, mask, ChMaskCtrl/NbRep.
  static std::vector<uint8_t> LinkAdrBlock(uint8_t dr, uint8_t txPower, uint16_t chMask,
                                           uint8_t chMaskCtrl, uint8_t nbRep) {
    return {0x03, static_cast<uint8_t>((dr << 4) | (txPower & 0x0F)),
            static_cast<uint8_t>(chMask & 0xFF), static_cast<uint8_t>(chMask >> 8),
            static_cast<uint8_t>((chMaskCtrl << 4) | (nbRep & 0x0F))};
  }

  static uint8_t RxParamSetup(LoRaMacRegion_t region, int8_t datarate, int8_t drOffset,
                              uint32_t frequency) {
    RxParamSetupReqParams_t params = {datarate, drOffset, frequency};
    return RegionRxParamSetupReq(region, &params);
  }

  static void ApplyCfList(LoRaMacRegion_t region, uint8_t joinChannel,
                          std::vector<uint8_t> cfList) {
    ApplyCFListParams_t params = {joinChannel, cfList.empty() ? nullptr : cfList.data(),
                                  static_cast<uint8_t>(cfList.size())};
    RegionApplyCFList(region, &params);
  }

  static bool MaskSet(LoRaMacRegion_t region, std::vector<uint16_t> mask,
                      ChannelsMask_t type = CHANNELS_MASK) {
    mask.resize(REGION_NVM_CHANNELS_MASK_SIZE, 0);
    ChanMaskSetParams_t params = {mask.data(), type};
    return RegionChanMaskSet(region, &params);
  }

  static std::vector<uint16_t> Mask(LoRaMacRegion_t region,
                                    PhyAttribute_t which = PHY_CHANNELS_MASK) {
    uint16_t* mask = Get(region, which).ChannelsMask;
    return std::vector<uint16_t>(mask, mask + REGION_NVM_CHANNELS_MASK_SIZE);
  }

  static ChannelParams_t* Channels(LoRaMacRegion_t region) {
    return Get(region, PHY_CHANNELS).Channels;
  }

  // A CFList of type 0 with up to five frequencies (Hz), 100 Hz units.
  static std::vector<uint8_t> FrequencyCfList(std::vector<uint32_t> frequencies) {
    std::vector<uint8_t> cfList(16, 0);
    for (size_t i = 0; i < frequencies.size() && i < 5; i++) {
      uint32_t f = frequencies[i] / 100;
      cfList[3 * i] = static_cast<uint8_t>(f);
      cfList[3 * i + 1] = static_cast<uint8_t>(f >> 8);
      cfList[3 * i + 2] = static_cast<uint8_t>(f >> 16);
    }
    cfList[15] = 0;
    return cfList;
  }

  // A CFList of type 1 with the given mask words.
  static std::vector<uint8_t> MaskCfList(std::vector<uint16_t> words) {
    std::vector<uint8_t> cfList(16, 0);
    for (size_t i = 0; i < words.size() && 2 * i + 1 < 15; i++) {
      cfList[2 * i] = static_cast<uint8_t>(words[i]);
      cfList[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
    }
    cfList[15] = 1;
    return cfList;
  }
};

// A uniform pseudo-random draw, so that tests that walk many channel choices
// see different channels.
inline void UseSpreadRandom() {
  auto state = std::make_shared<uint32_t>(12345);
  fake::random = [state](int32_t min, int32_t max) {
    *state = *state * 1103515245u + 12345u;
    uint32_t span = static_cast<uint32_t>(max - min) + 1;
    return min + static_cast<int32_t>((*state >> 8) % span);
  };
}

}  // namespace region_test

#endif  // REGION_TEST_SUPPORT_H
