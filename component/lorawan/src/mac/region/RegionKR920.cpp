/*!
 * \file RegionKR920.cpp
 *
 * \brief KR920 profile: LoRa only, listen-before-talk, EIRP capped by
 *        frequency.
 */
#include "RegionKR920.h"

namespace {

const uint8_t kDatarates[6] = {12, 11, 10, 9, 8, 7};
const uint32_t kBandwidths[6] = {125000, 125000, 125000, 125000, 125000, 125000};
const uint8_t kMaxPayloadOfDatarate[6] = {51, 51, 51, 115, 242, 242};

// 920.9 to 923.3 MHz on a 200 kHz grid.
const RegionFreqRange_t kRanges[] = {{920900000, 923300000}};
const uint16_t kBandDutyCycles[] = {1};
const uint32_t kDefaultFrequencies[] = {922100000, 922300000, 922500000};

RegionDynamicCtx_t Ctx;

const RegionDynamicPlan_t kPlan = {
    .Ranges = kRanges,
    .NbRanges = 1,
    .RangesAreBands = false,
    .FrequencyGrid = 200000,
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
    .Rx2Frequency = 921900000,
    .Rx2Datarate = DR_0,
    .BeaconFrequency = 923100000,
    .BeaconDatarate = DR_3,
    .PingSlotFrequency = 923100000,
    .PingSlotDatarate = DR_3,
    .BeaconFormat = {17, 1, 0},
    .Datarates = kDatarates,
    .Bandwidths = kBandwidths,
    .MaxPayloadOfDatarate = kMaxPayloadOfDatarate,
    .MaxPayloadOfDatarateDwell1 = nullptr,
    .MaxDr = DR_5,
    .FskDr = -1,
    .DrHole = -1,
    .MaxDefTxDr = DR_5,
    .DefTxDr = DR_0,
    .MinDrDwell = DR_0,
    .DefUplinkDwellTime = 0,
    .MaxEirp = 14.0f,
    .MaxTxPowerIdx = TX_POWER_7,
    .MaxRx1DrOffset = 5,
    .Rx1DrTable = nullptr,
    .Rx1DrTableDwell1 = nullptr,
    .EirpSplitFrequency = 922099999,
    .EirpCapLow = 10.0f,
    .EirpCapHigh = 14.0f,
    .MaxRxWindow = 4000,
    .TxParamSetupReqAnswer = -1,
    .JoinDr = -1,
    .Lbt = true,
    .SetsLbtDefaults = true,
    .LbtRssiFreeThreshold = -65,
    .LbtCarrierSenseTime = 6,
    .Ctx = &Ctx,
};

}  // namespace

const uint8_t (&DataratesKR920)[6] = kDatarates;
const uint32_t (&BandwidthsKR920)[6] = kBandwidths;
const uint8_t (&MaxPayloadOfDatarateKR920)[6] = kMaxPayloadOfDatarate;

REGION_DYNAMIC_DEFINE_OPERATIONS(KR920, kPlan)
