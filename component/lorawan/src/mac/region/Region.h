/*!
 * \file Region.h
 *
 * \brief Region operations: one entry point per operation, switching on the
 *        region identifier, and the parameter records of every operation.
 *
 * All eleven regions are always built in. Every operation except
 * RegionInitDefaults(INIT_TYPE_DEFAULTS) expects that call to have been made
 * for the same region first.
 */
#ifndef __REGION_H__
#define __REGION_H__

#include <stdbool.h>
#include <stdint.h>

#include "LoRaMacTypes.h"
#include "RegionNvm.h"
#include "systime.h"
#include "timer.h"

/*! Version of the regional parameters implemented: 2.1.0 revision 3. */
#define REGION_VERSION 0x02010003

/*! Region data-rate indices. */
#define DR_0 0
#define DR_1 1
#define DR_2 2
#define DR_3 3
#define DR_4 4
#define DR_5 5
#define DR_6 6
#define DR_7 7
#define DR_8 8
#define DR_9 9
#define DR_10 10
#define DR_11 11
#define DR_12 12
#define DR_13 13
#define DR_14 14
#define DR_15 15

/*! Region TX power indices: 0 is the highest power, each step 2 dB lower. */
#define TX_POWER_0 0
#define TX_POWER_1 1
#define TX_POWER_2 2
#define TX_POWER_3 3
#define TX_POWER_4 4
#define TX_POWER_5 5
#define TX_POWER_6 6
#define TX_POWER_7 7
#define TX_POWER_8 8
#define TX_POWER_9 9
#define TX_POWER_10 10
#define TX_POWER_11 11
#define TX_POWER_12 12
#define TX_POWER_13 13
#define TX_POWER_14 14
#define TX_POWER_15 15

/*!
 * What RegionGetPhyParam is asked for, or what RegionVerify checks.
 */
typedef enum ePhyAttribute : uint8_t {
  PHY_FREQUENCY = 0,
  PHY_MIN_RX_DR = 1,
  PHY_MIN_TX_DR = 2,
  PHY_MAX_RX_DR = 3,
  PHY_MAX_TX_DR = 4,
  PHY_TX_DR = 5,
  PHY_DEF_TX_DR = 6,
  PHY_RX_DR = 7,
  PHY_MAX_TX_POWER = 8,
  PHY_TX_POWER = 9,
  PHY_DEF_TX_POWER = 10,
  PHY_DEF_ADR_ACK_LIMIT = 11,
  PHY_DEF_ADR_ACK_DELAY = 12,
  PHY_MAX_PAYLOAD = 13,
  PHY_DUTY_CYCLE = 14,
  PHY_MAX_RX_WINDOW = 15,
  PHY_RECEIVE_DELAY1 = 16,
  PHY_RECEIVE_DELAY2 = 17,
  PHY_JOIN_ACCEPT_DELAY1 = 18,
  PHY_JOIN_ACCEPT_DELAY2 = 19,
  PHY_RETRANSMIT_TIMEOUT = 20,
  PHY_DEF_DR1_OFFSET = 21,
  PHY_DEF_RX2_FREQUENCY = 22,
  PHY_DEF_RX2_DR = 23,
  PHY_CHANNELS_MASK = 24,
  PHY_CHANNELS_DEFAULT_MASK = 25,
  PHY_MAX_NB_CHANNELS = 26,
  PHY_CHANNELS = 27,
  PHY_DEF_UPLINK_DWELL_TIME = 28,
  PHY_DEF_DOWNLINK_DWELL_TIME = 29,
  PHY_DEF_MAX_EIRP = 30,
  PHY_DEF_ANTENNA_GAIN = 31,
  PHY_NEXT_LOWER_TX_DR = 32,
  PHY_BEACON_INTERVAL = 33,
  PHY_BEACON_RESERVED = 34,
  PHY_BEACON_GUARD = 35,
  PHY_BEACON_WINDOW = 36,
  PHY_BEACON_WINDOW_SLOTS = 37,
  PHY_PING_SLOT_WINDOW = 38,
  PHY_BEACON_SYMBOL_TO_DEFAULT = 39,
  PHY_BEACON_SYMBOL_TO_EXPANSION_MAX = 40,
  PHY_PING_SLOT_SYMBOL_TO_EXPANSION_MAX = 41,
  PHY_BEACON_SYMBOL_TO_EXPANSION_FACTOR = 42,
  PHY_PING_SLOT_SYMBOL_TO_EXPANSION_FACTOR = 43,
  PHY_MAX_BEACON_LESS_PERIOD = 44,
  PHY_BEACON_DELAY_BEACON_TIMING_ANS = 45,
  PHY_BEACON_CHANNEL_FREQ = 46,
  PHY_BEACON_FORMAT = 47,
  PHY_BEACON_CHANNEL_DR = 48,
  PHY_BEACON_NB_CHANNELS = 49,
  PHY_BEACON_CHANNEL_OFFSET = 50,
  PHY_PING_SLOT_CHANNEL_FREQ = 51,
  PHY_PING_SLOT_CHANNEL_DR = 52,
  PHY_PING_SLOT_NB_CHANNELS = 53,
  PHY_SF_FROM_DR = 54,
  PHY_BW_FROM_DR = 55,
} PhyAttribute_t;

typedef enum eInitType : uint8_t {
  INIT_TYPE_DEFAULTS = 0,
  INIT_TYPE_RESET_TO_DEFAULT_CHANNELS = 1,
  INIT_TYPE_ACTIVATE_DEFAULT_CHANNELS = 2,
} InitType_t;

typedef enum eChannelsMask : uint8_t {
  CHANNELS_MASK = 0,
  CHANNELS_DEFAULT_MASK = 1,
} ChannelsMask_t;

typedef enum eAlternateDrType : uint8_t {
  ALTERNATE_DR = 0,
  ALTERNATE_DR_RESTORE = 1,
} AlternateDrType_t;

/*! Layout of a class B beacon: its size and the two RFU field sizes. */
typedef struct sBeaconFormat {
  uint8_t BeaconSize;
  uint8_t Rfu1Size;
  uint8_t Rfu2Size;
} BeaconFormat_t;

/*!
 * Answer of RegionGetPhyParam: an attribute a region does not answer gives
 * all 32 bits zero.
 */
typedef union uPhyParam {
  uint32_t Value;
  float fValue;
  uint16_t* ChannelsMask;
  ChannelParams_t* Channels;
  BeaconFormat_t BeaconFormat;
  TimerTime_t DutyCycleTimePeriod;
} PhyParam_t;

#if defined(__arm__)
static_assert(sizeof(PhyParam_t) == 4, "PhyParam_t is one 32-bit word on the chip");
#endif

typedef struct sGetPhyParams {
  PhyAttribute_t Attribute;
  int8_t Datarate;
  uint8_t UplinkDwellTime;
  uint8_t DownlinkDwellTime;
  uint8_t Channel;
} GetPhyParams_t;

typedef struct sSetBandTxDoneParams {
  uint8_t Channel;
  bool Joined;
  TimerTime_t LastTxDoneTime;
  TimerTime_t LastTxAirTime;
  SysTime_t ElapsedTimeSinceStartUp;
} SetBandTxDoneParams_t;

typedef struct sInitDefaultsParams {
  RegionNvmDataGroup1_t* NvmGroup1;
  RegionNvmDataGroup2_t* NvmGroup2;
  Band_t* Bands;
  InitType_t Type;
} InitDefaultsParams_t;

typedef union uVerifyParams {
  uint32_t Frequency;
  int8_t TxPower;
  bool DutyCycle;
  struct sDatarateParams {
    int8_t Datarate;
    uint8_t DownlinkDwellTime;
    uint8_t UplinkDwellTime;
  } DatarateParams;
} VerifyParams_t;

typedef struct sApplyCFListParams {
  uint8_t JoinChannel;
  uint8_t* Payload;
  uint8_t Size;
} ApplyCFListParams_t;

typedef struct sChanMaskSetParams {
  uint16_t* ChannelsMaskIn;
  ChannelsMask_t ChannelsMaskType;
} ChanMaskSetParams_t;

typedef struct sRxConfigParams {
  uint8_t Channel;
  int8_t Datarate;
  uint8_t Bandwidth;
  int8_t DrOffset;
  uint32_t Frequency;
  uint32_t WindowTimeout;
  int32_t WindowOffset;
  uint8_t DownlinkDwellTime;
  bool RxContinuous;
  LoRaMacRxSlot_t RxSlot;
  ActivationType_t NetworkActivation;
} RxConfigParams_t;

typedef struct sTxConfigParams {
  uint8_t Channel;
  int8_t Datarate;
  int8_t TxPower;
  float MaxEirp;
  float AntennaGain;
  uint16_t PktLen;
} TxConfigParams_t;

typedef struct sLinkAdrReqParams {
  Version_t Version;
  uint8_t* Payload;
  uint8_t PayloadSize;
  uint8_t UplinkDwellTime;
  bool AdrEnabled;
  int8_t CurrentDatarate;
  int8_t CurrentTxPower;
  uint8_t CurrentNbRep;
} LinkAdrReqParams_t;

typedef struct sRxParamSetupReqParams {
  int8_t Datarate;
  int8_t DrOffset;
  uint32_t Frequency;
} RxParamSetupReqParams_t;

typedef struct sNewChannelReqParams {
  ChannelParams_t* NewChannel;
  int8_t ChannelId;
} NewChannelReqParams_t;

typedef struct sTxParamSetupReqParams {
  uint8_t UplinkDwellTime;
  uint8_t DownlinkDwellTime;
  uint8_t MaxEirp;
} TxParamSetupReqParams_t;

typedef struct sDlChannelReqParams {
  uint8_t ChannelId;
  uint32_t Rx1Frequency;
} DlChannelReqParams_t;

typedef struct sNextChanParams {
  TimerTime_t AggrTimeOff;
  TimerTime_t LastAggrTx;
  int8_t Datarate;
  bool Joined;
  bool DutyCycleEnabled;
  SysTime_t ElapsedTimeSinceStartUp;
  bool LastTxIsJoinRequest;
  uint16_t PktLen;
} NextChanParams_t;

typedef struct sChannelAddParams {
  ChannelParams_t* NewChannel;
  uint8_t ChannelId;
} ChannelAddParams_t;

typedef struct sChannelRemoveParams {
  uint8_t ChannelId;
} ChannelRemoveParams_t;

typedef struct sRxBeaconSetupParams {
  uint16_t SymbolTimeout;
  uint32_t RxTime;
  uint32_t Frequency;
} RxBeaconSetup_t;

/*
 * Status bits of the MAC-command answers the regions compute.
 *  LinkADRReq:      bit 0 channel mask, bit 1 data rate, bit 2 TX power.
 *  RxParamSetupReq: bit 0 RX2 frequency, bit 1 RX2 data rate, bit 2 RX1 offset.
 *  NewChannelReq:   bit 0 frequency, bit 1 data-rate range.
 *  DlChannelReq:    bit 0 downlink frequency, bit 1 uplink frequency defined.
 * A negative answer means the region does not support the command.
 */

bool RegionIsActive(LoRaMacRegion_t region);
PhyParam_t RegionGetPhyParam(LoRaMacRegion_t region, GetPhyParams_t* getPhy);
void RegionSetBandTxDone(LoRaMacRegion_t region, SetBandTxDoneParams_t* txDone);
void RegionInitDefaults(LoRaMacRegion_t region, InitDefaultsParams_t* params);
bool RegionVerify(LoRaMacRegion_t region, VerifyParams_t* verify, PhyAttribute_t phyAttribute);
void RegionApplyCFList(LoRaMacRegion_t region, ApplyCFListParams_t* applyCFList);
bool RegionChanMaskSet(LoRaMacRegion_t region, ChanMaskSetParams_t* chanMaskSet);
void RegionComputeRxWindowParameters(LoRaMacRegion_t region, int8_t datarate, uint8_t minRxSymbols,
                                     uint32_t rxError, RxConfigParams_t* rxConfigParams);
bool RegionRxConfig(LoRaMacRegion_t region, RxConfigParams_t* rxConfig, int8_t* datarate);
bool RegionTxConfig(LoRaMacRegion_t region, TxConfigParams_t* txConfig, int8_t* txPower,
                    TimerTime_t* txTimeOnAir);
uint8_t RegionLinkAdrReq(LoRaMacRegion_t region, LinkAdrReqParams_t* linkAdrReq, int8_t* drOut,
                         int8_t* txPowOut, uint8_t* nbRepOut, uint8_t* nbBytesParsed);
uint8_t RegionRxParamSetupReq(LoRaMacRegion_t region, RxParamSetupReqParams_t* rxParamSetupReq);
int8_t RegionNewChannelReq(LoRaMacRegion_t region, NewChannelReqParams_t* newChannelReq);
int8_t RegionTxParamSetupReq(LoRaMacRegion_t region, TxParamSetupReqParams_t* txParamSetupReq);
int8_t RegionDlChannelReq(LoRaMacRegion_t region, DlChannelReqParams_t* dlChannelReq);
int8_t RegionAlternateDr(LoRaMacRegion_t region, int8_t currentDr, AlternateDrType_t type);
LoRaMacStatus_t RegionNextChannel(LoRaMacRegion_t region, NextChanParams_t* nextChanParams,
                                  uint8_t* channel, TimerTime_t* time,
                                  TimerTime_t* aggregatedTimeOff);
uint8_t RegionApplyDrOffset(LoRaMacRegion_t region, uint8_t downlinkDwellTime, int8_t dr,
                            int8_t drOffset);
void RegionRxBeaconSetup(LoRaMacRegion_t region, RxBeaconSetup_t* rxBeaconSetup, uint8_t* outDr);
Version_t RegionGetVersion(void);

#endif  // __REGION_H__
