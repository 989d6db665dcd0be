/*!
 * \file RegionOperations.h
 *
 * \brief The operations every region offers, as one record per region for
 *        the dispatcher, and a declaration helper for the region headers.
 */
#ifndef __REGIONOPERATIONS_H__
#define __REGIONOPERATIONS_H__

#include "Region.h"

/*!
 * Declares the operations of region R (RegionEU868GetPhyParam, ...), with the
 * signatures of the dispatcher minus the region argument.
 */
#define REGION_DECLARE_OPERATIONS(R)                                                               \
  PhyParam_t Region##R##GetPhyParam(GetPhyParams_t* getPhy);                                       \
  void Region##R##SetBandTxDone(SetBandTxDoneParams_t* txDone);                                    \
  void Region##R##InitDefaults(InitDefaultsParams_t* params);                                      \
  bool Region##R##Verify(VerifyParams_t* verify, PhyAttribute_t phyAttribute);                     \
  void Region##R##ApplyCFList(ApplyCFListParams_t* applyCFList);                                   \
  bool Region##R##ChanMaskSet(ChanMaskSetParams_t* chanMaskSet);                                   \
  void Region##R##ComputeRxWindowParameters(int8_t datarate, uint8_t minRxSymbols,                 \
                                            uint32_t rxError, RxConfigParams_t* rxConfigParams);   \
  bool Region##R##RxConfig(RxConfigParams_t* rxConfig, int8_t* datarate);                          \
  bool Region##R##TxConfig(TxConfigParams_t* txConfig, int8_t* txPower, TimerTime_t* txTimeOnAir); \
  uint8_t Region##R##LinkAdrReq(LinkAdrReqParams_t* linkAdrReq, int8_t* drOut, int8_t* txPowOut,   \
                                uint8_t* nbRepOut, uint8_t* nbBytesParsed);                        \
  uint8_t Region##R##RxParamSetupReq(RxParamSetupReqParams_t* rxParamSetupReq);                    \
  int8_t Region##R##NewChannelReq(NewChannelReqParams_t* newChannelReq);                           \
  int8_t Region##R##TxParamSetupReq(TxParamSetupReqParams_t* txParamSetupReq);                     \
  int8_t Region##R##DlChannelReq(DlChannelReqParams_t* dlChannelReq);                              \
  int8_t Region##R##AlternateDr(int8_t currentDr, AlternateDrType_t type);                         \
  LoRaMacStatus_t Region##R##NextChannel(NextChanParams_t* nextChanParams, uint8_t* channel,       \
                                         TimerTime_t* time, TimerTime_t* aggregatedTimeOff);       \
  uint8_t Region##R##ApplyDrOffset(uint8_t downlinkDwellTime, int8_t dr, int8_t drOffset);         \
  void Region##R##RxBeaconSetup(RxBeaconSetup_t* rxBeaconSetup, uint8_t* outDr)

/*!
 * One region's operations, in the dispatcher's order.
 */
typedef struct sRegionOperations {
  PhyParam_t (*GetPhyParam)(GetPhyParams_t* getPhy);
  void (*SetBandTxDone)(SetBandTxDoneParams_t* txDone);
  void (*InitDefaults)(InitDefaultsParams_t* params);
  bool (*Verify)(VerifyParams_t* verify, PhyAttribute_t phyAttribute);
  void (*ApplyCFList)(ApplyCFListParams_t* applyCFList);
  bool (*ChanMaskSet)(ChanMaskSetParams_t* chanMaskSet);
  void (*ComputeRxWindowParameters)(int8_t datarate, uint8_t minRxSymbols, uint32_t rxError,
                                    RxConfigParams_t* rxConfigParams);
  bool (*RxConfig)(RxConfigParams_t* rxConfig, int8_t* datarate);
  bool (*TxConfig)(TxConfigParams_t* txConfig, int8_t* txPower, TimerTime_t* txTimeOnAir);
  uint8_t (*LinkAdrReq)(LinkAdrReqParams_t* linkAdrReq, int8_t* drOut, int8_t* txPowOut,
                        uint8_t* nbRepOut, uint8_t* nbBytesParsed);
  uint8_t (*RxParamSetupReq)(RxParamSetupReqParams_t* rxParamSetupReq);
  int8_t (*NewChannelReq)(NewChannelReqParams_t* newChannelReq);
  int8_t (*TxParamSetupReq)(TxParamSetupReqParams_t* txParamSetupReq);
  int8_t (*DlChannelReq)(DlChannelReqParams_t* dlChannelReq);
  int8_t (*AlternateDr)(int8_t currentDr, AlternateDrType_t type);
  LoRaMacStatus_t (*NextChannel)(NextChanParams_t* nextChanParams, uint8_t* channel,
                                 TimerTime_t* time, TimerTime_t* aggregatedTimeOff);
  uint8_t (*ApplyDrOffset)(uint8_t downlinkDwellTime, int8_t dr, int8_t drOffset);
  void (*RxBeaconSetup)(RxBeaconSetup_t* rxBeaconSetup, uint8_t* outDr);
} RegionOperations_t;

/*! The record of region R, in the order of RegionOperations_t. */
#define REGION_OPERATIONS_ROW(R)                                                                  \
  {                                                                                               \
    Region##R##GetPhyParam, Region##R##SetBandTxDone, Region##R##InitDefaults, Region##R##Verify, \
        Region##R##ApplyCFList, Region##R##ChanMaskSet, Region##R##ComputeRxWindowParameters,     \
        Region##R##RxConfig, Region##R##TxConfig, Region##R##LinkAdrReq,                          \
        Region##R##RxParamSetupReq, Region##R##NewChannelReq, Region##R##TxParamSetupReq,         \
        Region##R##DlChannelReq, Region##R##AlternateDr, Region##R##NextChannel,                  \
        Region##R##ApplyDrOffset, Region##R##RxBeaconSetup                                        \
  }

#endif  // __REGIONOPERATIONS_H__
