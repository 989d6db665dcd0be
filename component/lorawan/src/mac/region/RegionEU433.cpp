/*!
 * \file RegionEU433.cpp
 *
 * \brief EU433 profile.
 */
#include "RegionEU868.h"
#include "RegionEU433.h"

namespace {

const RegionFreqRange_t kRanges[] = {{433175000, 434665000}};
const uint16_t kBandDutyCycles[] = {100};
const uint32_t kDefaultFrequencies[] = {433175000, 433375000, 433575000};

RegionDynamicCtx_t Ctx;

const RegionDynamicPlan_t kPlan = {
    .Ranges = kRanges,
    .NbRanges = 1,
    .RangesAreBands = false,
    .FrequencyGrid = 0,
    .BandDutyCycles = kBandDutyCycles,
    .NbBands = 1,
    .DutyCycleDefault = 1,
    .DutyCycleSwitchable = true,
    .DefaultFrequencies = kDefaultFrequencies,
    .NbDefaultChannels = 3,
    .DefaultChannelMaxDr = DR_5,
    .DefaultMask = 0x0007,
    .SubBands = nullptr,
    .SubBandIndex = nullptr,
    .Rx2Frequency = 434665000,
    .Rx2Datarate = DR_0,
    .BeaconFrequency = 434665000,
    .BeaconDatarate = DR_3,
    .PingSlotFrequency = 434665000,
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
    .MaxEirp = 12.15f,
    .MaxTxPowerIdx = TX_POWER_5,
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

const uint8_t (&DataratesEU433)[8] = DataratesEU868;
const uint32_t (&BandwidthsEU433)[8] = BandwidthsEU868;
const uint8_t (&MaxPayloadOfDatarateEU433)[8] = MaxPayloadOfDatarateEU868;

REGION_DYNAMIC_DEFINE_OPERATIONS(EU433, kPlan)
