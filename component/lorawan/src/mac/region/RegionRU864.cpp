/*!
 * \file RegionRU864.cpp
 *
 * \brief RU864 profile.
 */
#include "RegionEU868.h"
#include "RegionRU864.h"

namespace {

const RegionFreqRange_t kRanges[] = {{864000000, 870000000}};
const uint16_t kBandDutyCycles[] = {100};
const uint32_t kDefaultFrequencies[] = {868900000, 869100000};

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
    .NbDefaultChannels = 2,
    .DefaultChannelMaxDr = DR_7,
    .DefaultMask = 0x0003,
    .SubBands = nullptr,
    .SubBandIndex = nullptr,
    .Rx2Frequency = 869100000,
    .Rx2Datarate = DR_0,
    .BeaconFrequency = 869100000,
    .BeaconDatarate = DR_3,
    .PingSlotFrequency = 868900000,
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

const uint8_t (&DataratesRU864)[8] = DataratesEU868;
const uint32_t (&BandwidthsRU864)[8] = BandwidthsEU868;
const uint8_t (&MaxPayloadOfDatarateRU864)[8] = MaxPayloadOfDatarateEU868;

REGION_DYNAMIC_DEFINE_OPERATIONS(RU864, kPlan)
