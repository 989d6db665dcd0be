/*!
 * \file RegionAS923.cpp
 *
 * \brief AS923 profile: dwell time, listen-before-talk and four frequency
 *        groups (sub-bands) chosen at run time.
 */
#include "RegionAS923.h"
#include "RegionEU868.h"

namespace {

const uint8_t kMaxPayloadOfDatarateDwell0[8] = {51, 51, 115, 115, 242, 242, 242, 242};
const uint8_t kMaxPayloadOfDatarateDwell1[8] = {0, 0, 11, 53, 125, 242, 242, 242};

// RX1 data rate by uplink data rate (rows) and offset 0-7 (columns), without
// and with downlink dwell time.
const uint8_t kEffectiveRx1DrOffsetDownlinkDwell0[8][8] = {
    {DR_0, DR_0, DR_0, DR_0, DR_0, DR_0, DR_1, DR_2},
    {DR_1, DR_0, DR_0, DR_0, DR_0, DR_0, DR_2, DR_3},
    {DR_2, DR_1, DR_0, DR_0, DR_0, DR_0, DR_3, DR_4},
    {DR_3, DR_2, DR_1, DR_0, DR_0, DR_0, DR_4, DR_5},
    {DR_4, DR_3, DR_2, DR_1, DR_0, DR_0, DR_5, DR_6},
    {DR_5, DR_4, DR_3, DR_2, DR_1, DR_0, DR_6, DR_7},
    {DR_6, DR_5, DR_4, DR_3, DR_2, DR_1, DR_7, DR_7},
    {DR_7, DR_6, DR_5, DR_4, DR_3, DR_2, DR_7, DR_7},
};
const uint8_t kEffectiveRx1DrOffsetDownlinkDwell1[8][8] = {
    {DR_2, DR_2, DR_2, DR_2, DR_2, DR_2, DR_2, DR_2},
    {DR_2, DR_2, DR_2, DR_2, DR_2, DR_2, DR_2, DR_3},
    {DR_2, DR_2, DR_2, DR_2, DR_2, DR_2, DR_3, DR_4},
    {DR_3, DR_2, DR_2, DR_2, DR_2, DR_2, DR_4, DR_5},
    {DR_4, DR_3, DR_2, DR_2, DR_2, DR_2, DR_5, DR_6},
    {DR_5, DR_4, DR_3, DR_2, DR_2, DR_2, DR_6, DR_7},
    {DR_6, DR_5, DR_4, DR_3, DR_2, DR_2, DR_7, DR_7},
    {DR_7, DR_6, DR_5, DR_4, DR_3, DR_2, DR_7, DR_7},
};

// Default channels, RX2, beacon and ping-slot frequencies of each sub-band;
// rows 0 and 1 are the same group.
const RegionSubBand_t kSubBands[AS923_NB_SUB_BANDS] = {
    {{923200000, 923400000}, 923200000, 923400000, 923400000},
    {{923200000, 923400000}, 923200000, 923400000, 923400000},
    {{921400000, 921600000}, 921400000, 921600000, 921600000},
    {{916600000, 916800000}, 916600000, 916800000, 916800000},
    {{917300000, 917500000}, 917300000, 917500000, 917500000},
};

const RegionFreqRange_t kRanges[] = {{915000000, 928000000}};
const uint16_t kBandDutyCycles[] = {100};

uint8_t AS923SubBand = 0;
RegionDynamicCtx_t Ctx;

const RegionDynamicPlan_t kPlan = {
    .Ranges = kRanges,
    .NbRanges = 1,
    .RangesAreBands = false,
    .FrequencyGrid = 0,
    .BandDutyCycles = kBandDutyCycles,
    .NbBands = 1,
    .DutyCycleDefault = 0,
    .DutyCycleSwitchable = false,
    .DefaultFrequencies = nullptr,
    .NbDefaultChannels = 2,
    .DefaultChannelMaxDr = DR_5,
    .DefaultMask = 0x0003,
    .SubBands = kSubBands,
    .SubBandIndex = &AS923SubBand,
    .Rx2Frequency = 0,
    .Rx2Datarate = DR_2,
    .BeaconFrequency = 0,
    .BeaconDatarate = DR_3,
    .PingSlotFrequency = 0,
    .PingSlotDatarate = DR_3,
    .BeaconFormat = {17, 1, 0},
    .Datarates = DataratesEU868,
    .Bandwidths = BandwidthsEU868,
    .MaxPayloadOfDatarate = kMaxPayloadOfDatarateDwell0,
    .MaxPayloadOfDatarateDwell1 = kMaxPayloadOfDatarateDwell1,
    .MaxDr = DR_7,
    .FskDr = DR_7,
    .DrHole = -1,
    .MaxDefTxDr = DR_5,
    .DefTxDr = DR_2,
    .MinDrDwell = DR_2,
    .DefUplinkDwellTime = 1,
    .MaxEirp = 16.0f,
    .MaxTxPowerIdx = TX_POWER_7,
    .MaxRx1DrOffset = 7,
    .Rx1DrTable = kEffectiveRx1DrOffsetDownlinkDwell0,
    .Rx1DrTableDwell1 = kEffectiveRx1DrOffsetDownlinkDwell1,
    .EirpSplitFrequency = 0,
    .EirpCapLow = 0.0f,
    .EirpCapHigh = 0.0f,
    .MaxRxWindow = 3000,
    .TxParamSetupReqAnswer = 0,
    .JoinDr = DR_2,
    .Lbt = true,
    .SetsLbtDefaults = false,
    .LbtRssiFreeThreshold = 0,
    .LbtCarrierSenseTime = 0,
    .Ctx = &Ctx,
};

}  // namespace

const uint8_t (&DataratesAS923)[8] = DataratesEU868;
const uint32_t (&BandwidthsAS923)[8] = BandwidthsEU868;
const uint8_t (&MaxPayloadOfDatarateAS923)[8] = kMaxPayloadOfDatarateDwell0;

void RegionAS923SubBandSet(uint8_t band) {
  if (band < AS923_NB_SUB_BANDS) {
    AS923SubBand = band;
  }
}

REGION_DYNAMIC_DEFINE_OPERATIONS(AS923, kPlan)
