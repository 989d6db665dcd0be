/*!
 * \file Region.cpp
 *
 * \brief Region dispatcher: forwards each operation to the region named by
 *        its identifier, from a table of one operations record per region.
 */
#include "Region.h"
#include "RegionAS923.h"
#include "RegionAU915.h"
#include "RegionCN470.h"
#include "RegionCN779.h"
#include "RegionEU433.h"
#include "RegionEU868.h"
#include "RegionIN865.h"
#include "RegionKR920.h"
#include "RegionLA915.h"
#include "RegionOperations.h"
#include "RegionRU864.h"
#include "RegionUS915.h"

namespace {

// Indexed by LoRaMacRegion_t.
const RegionOperations_t kRegions[] = {
    REGION_OPERATIONS_ROW(AS923), REGION_OPERATIONS_ROW(AU915), REGION_OPERATIONS_ROW(CN470),
    REGION_OPERATIONS_ROW(CN779), REGION_OPERATIONS_ROW(EU433), REGION_OPERATIONS_ROW(EU868),
    REGION_OPERATIONS_ROW(KR920), REGION_OPERATIONS_ROW(IN865), REGION_OPERATIONS_ROW(US915),
    REGION_OPERATIONS_ROW(RU864), REGION_OPERATIONS_ROW(LA915),
};

static_assert(sizeof(kRegions) / sizeof(kRegions[0]) == LORAMAC_REGION_LA915 + 1,
              "one row per region");

const RegionOperations_t* Find(LoRaMacRegion_t region) {
  return (static_cast<uint32_t>(region) < sizeof(kRegions) / sizeof(kRegions[0]))
             ? &kRegions[region]
             : nullptr;
}

}  // namespace

bool RegionIsActive(LoRaMacRegion_t region) { return Find(region) != nullptr; }

// The antenna the regional maximum EIRP values assume (a half-wave
// dipole): the conducted power is the EIRP less this gain, so an uplink at
// TX power 0 stays within the region's EIRP on such an antenna.
constexpr float kDefaultAntennaGain = 2.15f;

PhyParam_t RegionGetPhyParam(LoRaMacRegion_t region, GetPhyParams_t* getPhy) {
  const RegionOperations_t* ops = Find(region);
  if (ops == nullptr) {
    PhyParam_t phyParam = {0};
    return phyParam;
  }
  if (getPhy->Attribute == PHY_DEF_ANTENNA_GAIN) {
    PhyParam_t phyParam = {0};
    phyParam.fValue = kDefaultAntennaGain;
    return phyParam;
  }
  return ops->GetPhyParam(getPhy);
}

void RegionSetBandTxDone(LoRaMacRegion_t region, SetBandTxDoneParams_t* txDone) {
  const RegionOperations_t* ops = Find(region);
  if (ops != nullptr) {
    ops->SetBandTxDone(txDone);
  }
}

void RegionInitDefaults(LoRaMacRegion_t region, InitDefaultsParams_t* params) {
  const RegionOperations_t* ops = Find(region);
  if (ops != nullptr) {
    ops->InitDefaults(params);
  }
}

bool RegionVerify(LoRaMacRegion_t region, VerifyParams_t* verify, PhyAttribute_t phyAttribute) {
  const RegionOperations_t* ops = Find(region);
  return (ops != nullptr) ? ops->Verify(verify, phyAttribute) : false;
}

void RegionApplyCFList(LoRaMacRegion_t region, ApplyCFListParams_t* applyCFList) {
  const RegionOperations_t* ops = Find(region);
  if (ops != nullptr) {
    ops->ApplyCFList(applyCFList);
  }
}

bool RegionChanMaskSet(LoRaMacRegion_t region, ChanMaskSetParams_t* chanMaskSet) {
  const RegionOperations_t* ops = Find(region);
  return (ops != nullptr) ? ops->ChanMaskSet(chanMaskSet) : false;
}

void RegionComputeRxWindowParameters(LoRaMacRegion_t region, int8_t datarate, uint8_t minRxSymbols,
                                     uint32_t rxError, RxConfigParams_t* rxConfigParams) {
  const RegionOperations_t* ops = Find(region);
  if (ops != nullptr) {
    ops->ComputeRxWindowParameters(datarate, minRxSymbols, rxError, rxConfigParams);
  }
}

bool RegionRxConfig(LoRaMacRegion_t region, RxConfigParams_t* rxConfig, int8_t* datarate) {
  const RegionOperations_t* ops = Find(region);
  return (ops != nullptr) ? ops->RxConfig(rxConfig, datarate) : false;
}

bool RegionTxConfig(LoRaMacRegion_t region, TxConfigParams_t* txConfig, int8_t* txPower,
                    TimerTime_t* txTimeOnAir) {
  const RegionOperations_t* ops = Find(region);
  return (ops != nullptr) ? ops->TxConfig(txConfig, txPower, txTimeOnAir) : false;
}

uint8_t RegionLinkAdrReq(LoRaMacRegion_t region, LinkAdrReqParams_t* linkAdrReq, int8_t* drOut,
                         int8_t* txPowOut, uint8_t* nbRepOut, uint8_t* nbBytesParsed) {
  const RegionOperations_t* ops = Find(region);
  return (ops != nullptr) ? ops->LinkAdrReq(linkAdrReq, drOut, txPowOut, nbRepOut, nbBytesParsed)
                          : 0;
}

uint8_t RegionRxParamSetupReq(LoRaMacRegion_t region, RxParamSetupReqParams_t* rxParamSetupReq) {
  const RegionOperations_t* ops = Find(region);
  return (ops != nullptr) ? ops->RxParamSetupReq(rxParamSetupReq) : 0;
}

int8_t RegionNewChannelReq(LoRaMacRegion_t region, NewChannelReqParams_t* newChannelReq) {
  const RegionOperations_t* ops = Find(region);
  return (ops != nullptr) ? ops->NewChannelReq(newChannelReq) : 0;
}

int8_t RegionTxParamSetupReq(LoRaMacRegion_t region, TxParamSetupReqParams_t* txParamSetupReq) {
  const RegionOperations_t* ops = Find(region);
  return (ops != nullptr) ? ops->TxParamSetupReq(txParamSetupReq) : 0;
}

int8_t RegionDlChannelReq(LoRaMacRegion_t region, DlChannelReqParams_t* dlChannelReq) {
  const RegionOperations_t* ops = Find(region);
  return (ops != nullptr) ? ops->DlChannelReq(dlChannelReq) : 0;
}

int8_t RegionAlternateDr(LoRaMacRegion_t region, int8_t currentDr, AlternateDrType_t type) {
  const RegionOperations_t* ops = Find(region);
  return (ops != nullptr) ? ops->AlternateDr(currentDr, type) : 0;
}

LoRaMacStatus_t RegionNextChannel(LoRaMacRegion_t region, NextChanParams_t* nextChanParams,
                                  uint8_t* channel, TimerTime_t* time,
                                  TimerTime_t* aggregatedTimeOff) {
  const RegionOperations_t* ops = Find(region);
  return (ops != nullptr) ? ops->NextChannel(nextChanParams, channel, time, aggregatedTimeOff)
                          : LORAMAC_STATUS_REGION_NOT_SUPPORTED;
}

uint8_t RegionApplyDrOffset(LoRaMacRegion_t region, uint8_t downlinkDwellTime, int8_t dr,
                            int8_t drOffset) {
  const RegionOperations_t* ops = Find(region);
  return (ops != nullptr) ? ops->ApplyDrOffset(downlinkDwellTime, dr, drOffset)
                          : static_cast<uint8_t>(dr);
}

void RegionRxBeaconSetup(LoRaMacRegion_t region, RxBeaconSetup_t* rxBeaconSetup, uint8_t* outDr) {
  const RegionOperations_t* ops = Find(region);
  if (ops != nullptr) {
    ops->RxBeaconSetup(rxBeaconSetup, outDr);
  }
}

Version_t RegionGetVersion(void) {
  Version_t version;
  version.Value = REGION_VERSION;
  return version;
}
