/*!
 * \file RegionIN865.cpp
 *
 * \brief IN865 profile.
 */
#include "RegionEU868.h"
#include "RegionIN865.h"

namespace {

const RegionFreqRange_t kRanges[] = {{865000000, 867000000}};
const uint16_t kBandDutyCycles[] = {1};
const uint32_t kDefaultFrequencies[] = {865062500, 865402500, 865985000};

// RX1 data rate by uplink data rate (rows) and RX1 offset 0-7 (columns); the
// DR_6 row is never used, DR_6 being undefined here.
const uint8_t kEffectiveRx1DrOffset[8][8] = {
    {DR_0, DR_0, DR_0, DR_0, DR_0, DR_0, DR_1, DR_2},
    {DR_1, DR_0, DR_0, DR_0, DR_0, DR_0, DR_2, DR_3},
    {DR_2, DR_1, DR_0, DR_0, DR_0, DR_0, DR_3, DR_4},
    {DR_3, DR_2, DR_1, DR_0, DR_0, DR_0, DR_4, DR_5},
    {DR_4, DR_3, DR_2, DR_1, DR_0, DR_0, DR_5, DR_5},
    {DR_5, DR_4, DR_3, DR_2, DR_1, DR_0, DR_5, DR_7},
    {DR_0, DR_0, DR_0, DR_0, DR_0, DR_0, DR_0, DR_0},
    {DR_7, DR_5, DR_5, DR_4, DR_3, DR_2, DR_7, DR_7},
};

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
    .DefaultFrequencies = kDefaultFrequencies,
    .NbDefaultChannels = 3,
    .DefaultChannelMaxDr = DR_5,
    .DefaultMask = 0x0007,
    .SubBands = nullptr,
    .SubBandIndex = nullptr,
    .Rx2Frequency = 866550000,
    .Rx2Datarate = DR_2,
    .BeaconFrequency = 866550000,
    .BeaconDatarate = DR_4,
    .PingSlotFrequency = 866550000,
    .PingSlotDatarate = DR_4,
    .BeaconFormat = {19, 0, 3},
    .Datarates = DataratesEU868,
    .Bandwidths = BandwidthsEU868,
    .MaxPayloadOfDatarate = MaxPayloadOfDatarateEU868,
    .MaxPayloadOfDatarateDwell1 = nullptr,
    .MaxDr = DR_7,
    .FskDr = DR_7,
    .DrHole = DR_6,
    .MaxDefTxDr = DR_5,
    .DefTxDr = DR_0,
    .MinDrDwell = DR_0,
    .DefUplinkDwellTime = 0,
    .MaxEirp = 30.0f,
    .MaxTxPowerIdx = TX_POWER_10,
    .MaxRx1DrOffset = 7,
    .Rx1DrTable = kEffectiveRx1DrOffset,
    .Rx1DrTableDwell1 = nullptr,
    .EirpSplitFrequency = 0,
    .EirpCapLow = 0.0f,
    .EirpCapHigh = 0.0f,
    .MaxRxWindow = 3000,
    .TxParamSetupReqAnswer = -1,
    .JoinDr = -1,
    .Lbt = false,
    .SetsLbtDefaults = false,
    .LbtRssiFreeThreshold = 0,
    .LbtCarrierSenseTime = 0,
    .Ctx = &Ctx,
};

}  // namespace

const uint8_t (&DataratesIN865)[8] = DataratesEU868;
const uint32_t (&BandwidthsIN865)[8] = BandwidthsEU868;
const uint8_t (&MaxPayloadOfDatarateIN865)[8] = MaxPayloadOfDatarateEU868;

REGION_DYNAMIC_DEFINE_OPERATIONS(IN865, kPlan)
