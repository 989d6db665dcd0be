/*!
 * \file RegionEU868.cpp
 *
 * \brief EU868 profile.
 */
#include "RegionEU868.h"

namespace {

// Band i is range i; frequencies in the gaps between them are refused.
const RegionFreqRange_t kRanges[] = {
    {865000000, 868000000},  // 1 %
    {868000001, 868600000},  // 1 %
    {863000000, 864999999},  // 0.1 %
    {869400000, 869650000},  // 10 %
    {869700000, 870000000},  // 1 %
    {868700000, 869200000},  // 0.1 %
};
const uint16_t kBandDutyCycles[] = {100, 100, 1000, 10, 100, 1000};
const uint32_t kDefaultFrequencies[] = {868100000, 868300000, 868500000};

RegionDynamicCtx_t Ctx;

const RegionDynamicPlan_t kPlan = {
    .Ranges = kRanges,
    .NbRanges = 6,
    .RangesAreBands = true,
    .FrequencyGrid = 0,
    .BandDutyCycles = kBandDutyCycles,
    .NbBands = 6,
    .DutyCycleDefault = 1,
    .DutyCycleSwitchable = true,
    .DefaultFrequencies = kDefaultFrequencies,
    .NbDefaultChannels = 3,
    .DefaultChannelMaxDr = DR_5,
    .DefaultMask = 0x0007,
    .SubBands = nullptr,
    .SubBandIndex = nullptr,
    .Rx2Frequency = 869525000,
    .Rx2Datarate = DR_0,
    .BeaconFrequency = 869525000,
    .BeaconDatarate = DR_3,
    .PingSlotFrequency = 869525000,
    .PingSlotDatarate = DR_3,
    .BeaconFormat = {17, 1, 0},
    .Datarates = DataratesEU868,
    .Bandwidths = BandwidthsEU868,
    .MaxPayloadOfDatarate = MaxPayloadOfDatarateEU868,
    .MaxPayloadOfDatarateDwell1 = nullptr,
    .MaxDr = DR_7,
    .FskDr = DR_7,
    .DrHole = -1,
    .MaxDefTxDr = DR_5,
    .DefTxDr = DR_0,
    .MinDrDwell = DR_0,
    .DefUplinkDwellTime = 0,
    .MaxEirp = 16.0f,
    .MaxTxPowerIdx = TX_POWER_7,
    .MaxRx1DrOffset = 5,
    .Rx1DrTable = nullptr,
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

REGION_DYNAMIC_DEFINE_OPERATIONS(EU868, kPlan)
