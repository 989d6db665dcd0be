/*!
 * \file LoRaMac.h
 *
 * \brief LoRaWAN end-device MAC (1.0.x and 1.1, classes A, B and C): the
 *        public interface, the MAC information base and the persistent
 *        context.
 *
 * One single MAC instance with global state, driven by one client through
 * requests (MLME, MCPS, MIB), the process step and the confirm and indication
 * primitives the client installs. Every region-dependent value comes from
 * the regional parameters (Region.h).
 *
 * The persistent context is a stored format: the client keeps its groups in
 * flash and hands them back at start. Each group has a fixed layout on the
 * module's 32-bit target, explicit zero padding and a CRC-32 over its other
 * bytes as last field; the layout is checked below field by field.
 */
#ifndef __LORAMAC_H__
#define __LORAMAC_H__

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "LoRaMacClassBNvm.h"
#include "LoRaMacCryptoNvm.h"
#include "LoRaMacTypes.h"
#include "RegionNvm.h"
#include "secure-element-nvm.h"
#include "systime.h"
#include "timer.h"

/*! LoRaWAN version the MAC implements (1.1.1). */
#define LORAMAC_VERSION 0x01010100
/*! LoRaWAN version a 1.1 device falls back to with a 1.0 network (1.0.4). */
#define LORAMAC_FALLBACK_VERSION 0x01000400
/*! Application port reserved for the certification protocol. */
#define LORAMAC_CERT_FPORT 224
/*! Largest PHY payload. */
#define LORAMAC_PHY_MAXPAYLOAD 255
/*! Space for the MAC commands of a port-0 frame. */
#define LORA_MAC_COMMAND_MAX_LENGTH 128
/*!
 * A class B or C confirmed downlink must be acknowledged within this time
 * (ms); later the acknowledgement is dropped.
 */
#define LORAMAC_CLASS_B_C_RESPONSE_TIMEOUT 8000
/*! Time (ms) after which an ABP activation request is confirmed. */
#define LORAMAC_ABP_JOIN_PENDING_DELAY 10

/*!
 * Flags of the persistent groups that changed, as reported to the client's
 * NvmDataChange callback.
 */
#define LORAMAC_NVM_NOTIFY_FLAG_NONE 0x00
#define LORAMAC_NVM_NOTIFY_FLAG_CRYPTO 0x01
#define LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP1 0x02
#define LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP2 0x04
#define LORAMAC_NVM_NOTIFY_FLAG_SECURE_ELEMENT 0x08
#define LORAMAC_NVM_NOTIFY_FLAG_REGION_GROUP1 0x10
#define LORAMAC_NVM_NOTIFY_FLAG_REGION_GROUP2 0x20
#define LORAMAC_NVM_NOTIFY_FLAG_CLASS_B 0x40

/*!
 * State bits of the MAC. STOPPED is assigned as the whole word: the MAC is
 * either stopped or uses the other bits; IDLE is no bit at all.
 * LORAMAC_RX, LORAMAC_ACK_RETRY and LORAMAC_TX_CONFIG are never set.
 */
typedef enum eLoRaMacState {
  LORAMAC_IDLE = 0,
  LORAMAC_STOPPED = 1,
  LORAMAC_TX_RUNNING = 2,
  LORAMAC_RX = 4,
  LORAMAC_ACK_RETRY = 16,
  LORAMAC_TX_DELAYED = 32,
  LORAMAC_TX_CONFIG = 64,
  LORAMAC_RX_ABORT = 128,
  LORAMAC_ABP_JOIN_PENDING = 256,
} LoRaMacState_t;

/*!
 * What the process step has to do.
 */
typedef union uLoRaMacFlags {
  uint8_t Value;
  struct sMacFlagBits {
    //! An MCPS confirm is owed.
    uint8_t McpsReq : 1;
    //! An MCPS indication is ready.
    uint8_t McpsInd : 1;
    //! MLME confirms are owed.
    uint8_t MlmeReq : 1;
    //! An MLME indication is ready.
    uint8_t MlmeInd : 1;
    //! The current exchange has ended.
    uint8_t MacDone : 1;
    //! The persistent context may have changed.
    uint8_t NvmHandle : 1;
  } Bits;
} LoRaMacFlags_t;

static_assert(sizeof(LoRaMacFlags_t) == 1, "the MAC flags are one byte");

/*!
 * Radio events the radio callbacks record for the process step.
 */
typedef union uLoRaMacRadioEvents {
  uint32_t Value;
  struct sLoRaMacRadioEventsBits {
    uint32_t RxProcessPending : 1;
    uint32_t RxTimeout : 1;
    uint32_t RxError : 1;
    uint32_t TxTimeout : 1;
    uint32_t RxDone : 1;
    uint32_t TxDone : 1;
  } Events;
} LoRaMacRadioEvents_t;

/*!
 * Whether requests are accepted (off only while the process step ends an
 * exchange).
 */
typedef enum eLoRaMacRequestHandling : uint8_t {
  LORAMAC_REQUEST_HANDLING_OFF = 0,
  LORAMAC_REQUEST_HANDLING_ON = 1,
} LoRaMacRequestHandling_t;

/*!
 * Data services.
 */
typedef enum eMcps : uint8_t {
  MCPS_UNCONFIRMED = 0,
  MCPS_CONFIRMED = 1,
  MCPS_MULTICAST = 2,
  MCPS_PROPRIETARY = 3,
} Mcps_t;

/*!
 * Management services.
 */
typedef enum eMlme : uint8_t {
  MLME_UNKNOWN = 0,
  MLME_JOIN = 1,
  MLME_REJOIN_0 = 2,
  MLME_REJOIN_1 = 3,
  MLME_REJOIN_2 = 4,
  MLME_LINK_CHECK = 5,
  MLME_TXCW = 6,
  MLME_DERIVE_MC_KE_KEY = 7,
  MLME_DERIVE_MC_KEY_PAIR = 8,
  MLME_DEVICE_TIME = 9,
  MLME_BEACON = 10,
  MLME_BEACON_ACQUISITION = 11,
  MLME_PING_SLOT_INFO = 12,
  MLME_BEACON_TIMING = 13,
  MLME_BEACON_LOST = 14,
  MLME_REVERT_JOIN = 15,
} Mlme_t;

/*!
 * Status inside confirms and indications.
 */
typedef enum eLoRaMacEventInfoStatus : uint8_t {
  LORAMAC_EVENT_INFO_STATUS_OK = 0,
  LORAMAC_EVENT_INFO_STATUS_ERROR = 1,
  LORAMAC_EVENT_INFO_STATUS_TX_TIMEOUT = 2,
  LORAMAC_EVENT_INFO_STATUS_RX1_TIMEOUT = 3,
  LORAMAC_EVENT_INFO_STATUS_RX2_TIMEOUT = 4,
  LORAMAC_EVENT_INFO_STATUS_RX1_ERROR = 5,
  LORAMAC_EVENT_INFO_STATUS_RX2_ERROR = 6,
  LORAMAC_EVENT_INFO_STATUS_JOIN_FAIL = 7,
  LORAMAC_EVENT_INFO_STATUS_DOWNLINK_REPEATED = 8,
  LORAMAC_EVENT_INFO_STATUS_TX_DR_PAYLOAD_SIZE_ERROR = 9,
  LORAMAC_EVENT_INFO_STATUS_ADDRESS_FAIL = 10,
  LORAMAC_EVENT_INFO_STATUS_MIC_FAIL = 11,
  LORAMAC_EVENT_INFO_STATUS_MULTICAST_FAIL = 12,
  LORAMAC_EVENT_INFO_STATUS_BEACON_LOCKED = 13,
  LORAMAC_EVENT_INFO_STATUS_BEACON_LOST = 14,
  LORAMAC_EVENT_INFO_STATUS_BEACON_NOT_FOUND = 15,
} LoRaMacEventInfoStatus_t;

/*!
 * Multicast group identifiers; UNICAST_DEV_ADDR names the device's own
 * address.
 */
typedef enum eAddressIdentifier : uint8_t {
  MULTICAST_0_ADDR = 0,
  MULTICAST_1_ADDR = 1,
  MULTICAST_2_ADDR = 2,
  MULTICAST_3_ADDR = 3,
  UNICAST_DEV_ADDR = 4,
} AddressIdentifier_t;

/*!
 * Class B receive parameters of a multicast group.
 */
typedef struct sMcRxParamsClassB {
  uint32_t Frequency;
  int8_t Datarate;
  //! Ping-slot periodicity 0..7.
  uint16_t Periodicity;
} McRxParamsClassB_t;

/*!
 * Class C receive parameters of a multicast group.
 */
typedef struct sMcRxParamsClassC {
  uint32_t Frequency;
  int8_t Datarate;
} McRxParamsClassC_t;

/*!
 * Receive parameters of a multicast group: ClassB or ClassC by Class.
 */
typedef struct sMcRxParams {
  DeviceClass_t Class;
  union {
    McRxParamsClassB_t ClassB;
    McRxParamsClassC_t ClassC;
  };
} McRxParams_t;

static_assert(sizeof(McRxParams_t) == 12, "McRxParams_t layout");
static_assert(offsetof(McRxParams_t, ClassB.Frequency) == 4, "McRxParams_t layout");
static_assert(offsetof(McRxParams_t, ClassB.Datarate) == 8, "McRxParams_t layout");
static_assert(offsetof(McRxParams_t, ClassB.Periodicity) == 10, "McRxParams_t layout");

/*!
 * One multicast group as the client sets it up. The keys are read once, at
 * setup, into the secure element.
 */
typedef struct sMcChannelParams {
  bool IsRemotelySetup;
  bool IsEnabled;
  AddressIdentifier_t GroupID;
  uint32_t Address;
  union uMcKeys {
    //! Encrypted group key of a remotely set-up group.
    uint8_t* McKeyE;
    //! Session keys of a locally set-up group.
    struct sMcKeysSession {
      uint8_t* McAppSKey;
      uint8_t* McNwkSKey;
    } Session;
  } McKeys;
  uint32_t FCountMin;
  uint32_t FCountMax;
  McRxParams_t RxParams;
} McChannelParams_t;

/*!
 * Key references of a stored multicast group: the identifiers
 * (KeyIdentifier_t) under which the secure element holds the group's keys.
 * A stored context never holds a run-time address.
 */
typedef union uMcKeyRefs {
  uint32_t McKeyE;
  struct sMcKeyRefsSession {
    uint32_t McAppSKey;
    uint32_t McNwkSKey;
  } Session;
} McKeyRefs_t;

/*!
 * A multicast group's parameters as stored in the persistent context: those
 * of McChannelParams_t with key references in place of key pointers.
 */
typedef struct sMcChannelNvm {
  bool IsRemotelySetup;
  bool IsEnabled;
  AddressIdentifier_t GroupID;
  uint8_t Padding;
  uint32_t Address;
  McKeyRefs_t McKeys;
  uint32_t FCountMin;
  uint32_t FCountMax;
  McRxParams_t RxParams;
} McChannelNvm_t;

static_assert(sizeof(McChannelNvm_t) == 36, "stored multicast parameters");

/*!
 * One multicast group of the persistent context (48 bytes).
 */
typedef struct sMulticastCtx {
  McChannelNvm_t ChannelParams;
  /*!
     * Reference to the group's downlink counter: the index of its entry in
     * FCntList.McFCntDown of the crypto group (the group identifier). Kept
     * as an index so that a restored context refers to the restoring MAC's
     * own counter.
     */
  uint32_t DownLinkCounterRef;
  //! Class B ping slots of the group per beacon period and their spacing.
  uint8_t PingNb;
  uint8_t Padding1;
  uint16_t PingPeriod;
  uint16_t PingOffset;
  uint8_t FPendingSet;
  uint8_t Padding2;
} MulticastCtx_t;

static_assert(sizeof(MulticastCtx_t) == 48, "a multicast entry is 48 bytes");
static_assert(offsetof(MulticastCtx_t, ChannelParams.IsEnabled) == 1);
static_assert(offsetof(MulticastCtx_t, ChannelParams.GroupID) == 2);
static_assert(offsetof(MulticastCtx_t, ChannelParams.Address) == 4);
static_assert(offsetof(MulticastCtx_t, ChannelParams.McKeys) == 8);
static_assert(offsetof(MulticastCtx_t, ChannelParams.McKeys.Session.McNwkSKey) == 12);
static_assert(offsetof(MulticastCtx_t, ChannelParams.FCountMin) == 16);
static_assert(offsetof(MulticastCtx_t, ChannelParams.FCountMax) == 20);
static_assert(offsetof(MulticastCtx_t, ChannelParams.RxParams.Class) == 24);
static_assert(offsetof(MulticastCtx_t, ChannelParams.RxParams.ClassB.Frequency) == 28);
static_assert(offsetof(MulticastCtx_t, ChannelParams.RxParams.ClassB.Datarate) == 32);
static_assert(offsetof(MulticastCtx_t, ChannelParams.RxParams.ClassB.Periodicity) == 34);
static_assert(offsetof(MulticastCtx_t, DownLinkCounterRef) == 36);
static_assert(offsetof(MulticastCtx_t, PingNb) == 40);
static_assert(offsetof(MulticastCtx_t, PingPeriod) == 42);
static_assert(offsetof(MulticastCtx_t, PingOffset) == 44);
static_assert(offsetof(MulticastCtx_t, FPendingSet) == 46);

/*!
 * A receive channel: frequency in Hz and data rate.
 */
typedef struct sRxChannelParams {
  uint32_t Frequency;
  uint8_t Datarate;
  uint8_t Padding[3];
} RxChannelParams_t;

static_assert(sizeof(RxChannelParams_t) == 8, "RxChannelParams_t layout");

/*!
 * One set of MAC parameters; MAC group 2 holds the current and the default
 * set.
 */
typedef struct sLoRaMacParams {
  //! Timing error of the system (ms) the receive windows allow for.
  uint32_t SystemMaxRxError;
  //! Symbols a receive window must at least cover.
  uint8_t MinRxSymbols;
  uint8_t Padding1[3];
  uint32_t MaxRxWindow;
  uint32_t ReceiveDelay1;
  uint32_t ReceiveDelay2;
  uint32_t JoinAcceptDelay1;
  uint32_t JoinAcceptDelay2;
  uint8_t ChannelsNbTrans;
  uint8_t Rx1DrOffset;
  uint8_t Padding2[2];
  RxChannelParams_t Rx2Channel;
  RxChannelParams_t RxCChannel;
  uint8_t UplinkDwellTime;
  uint8_t DownlinkDwellTime;
  uint8_t Padding3[2];
  //! dBm.
  float MaxEirp;
  //! dBi.
  float AntennaGain;
  uint16_t AdrAckLimit;
  uint16_t AdrAckDelay;
} LoRaMacParams_t;

static_assert(sizeof(float) == 4, "floats are IEEE 754 single");
static_assert(sizeof(LoRaMacParams_t) == 64, "a MAC parameter set is 64 bytes");
static_assert(offsetof(LoRaMacParams_t, MinRxSymbols) == 4);
static_assert(offsetof(LoRaMacParams_t, MaxRxWindow) == 8);
static_assert(offsetof(LoRaMacParams_t, ReceiveDelay1) == 12);
static_assert(offsetof(LoRaMacParams_t, ReceiveDelay2) == 16);
static_assert(offsetof(LoRaMacParams_t, JoinAcceptDelay1) == 20);
static_assert(offsetof(LoRaMacParams_t, JoinAcceptDelay2) == 24);
static_assert(offsetof(LoRaMacParams_t, ChannelsNbTrans) == 28);
static_assert(offsetof(LoRaMacParams_t, Rx1DrOffset) == 29);
static_assert(offsetof(LoRaMacParams_t, Rx2Channel) == 32);
static_assert(offsetof(LoRaMacParams_t, RxCChannel) == 40);
static_assert(offsetof(LoRaMacParams_t, UplinkDwellTime) == 48);
static_assert(offsetof(LoRaMacParams_t, DownlinkDwellTime) == 49);
static_assert(offsetof(LoRaMacParams_t, MaxEirp) == 52);
static_assert(offsetof(LoRaMacParams_t, AntennaGain) == 56);
static_assert(offsetof(LoRaMacParams_t, AdrAckLimit) == 60);
static_assert(offsetof(LoRaMacParams_t, AdrAckDelay) == 62);

/*!
 * MAC group 1: values that change with every exchange.
 */
typedef struct sLoRaMacNvmDataGroup1 {
  //! Uplinks without a downlink since the last one.
  uint32_t AdrAckCounter;
  //! Timer time of the last TX done (ms).
  TimerTime_t LastTxDoneTime;
  //! Aggregated duty-cycle back-off (ms).
  TimerTime_t AggregatedTimeOff;
  //! MIC of the last confirmed downlink (LoRaWAN 1.0.x).
  uint32_t LastRxMic;
  int8_t ChannelsTxPower;
  int8_t ChannelsDatarate;
  //! A confirmed downlink awaits its acknowledgement.
  bool SrvAckRequested;
  uint8_t Padding1;
  uint32_t Rejoin0UplinksCounter;
  uint8_t ForceRejoinRetriesCounter;
  uint8_t Padding2;
  //! Uplinks with a RekeyInd the network has not answered.
  uint16_t RekeyIndUplinksCounter;
  uint32_t Crc32;
} LoRaMacNvmDataGroup1_t;

static_assert(sizeof(TimerTime_t) == 4, "timer times are 32-bit");
static_assert(sizeof(LoRaMacNvmDataGroup1_t) == 32, "MAC group 1 is 32 bytes");
static_assert(offsetof(LoRaMacNvmDataGroup1_t, LastTxDoneTime) == 4);
static_assert(offsetof(LoRaMacNvmDataGroup1_t, AggregatedTimeOff) == 8);
static_assert(offsetof(LoRaMacNvmDataGroup1_t, LastRxMic) == 12);
static_assert(offsetof(LoRaMacNvmDataGroup1_t, ChannelsTxPower) == 16);
static_assert(offsetof(LoRaMacNvmDataGroup1_t, ChannelsDatarate) == 17);
static_assert(offsetof(LoRaMacNvmDataGroup1_t, SrvAckRequested) == 18);
static_assert(offsetof(LoRaMacNvmDataGroup1_t, Rejoin0UplinksCounter) == 20);
static_assert(offsetof(LoRaMacNvmDataGroup1_t, ForceRejoinRetriesCounter) == 24);
static_assert(offsetof(LoRaMacNvmDataGroup1_t, RekeyIndUplinksCounter) == 26);
static_assert(offsetof(LoRaMacNvmDataGroup1_t, Crc32) == 28);

/*!
 * MAC group 2: configuration and session state.
 */
typedef struct sLoRaMacNvmDataGroup2 {
  LoRaMacRegion_t Region;
  uint8_t Padding1[3];
  LoRaMacParams_t MacParams;
  LoRaMacParams_t MacParamsDefaults;
  int8_t ChannelsTxPowerDefault;
  int8_t ChannelsDatarateDefault;
  uint8_t Padding2[2];
  uint32_t NetID;
  uint32_t DevAddr;
  MulticastCtx_t MulticastChannelList[LORAMAC_MAX_MC_CTX];
  DeviceClass_t DeviceClass;
  bool PublicNetwork;
  bool AdrCtrlOn;
  //! Duty-cycle exponent from the network: aggregated duty cycle 1/2^MaxDCycle.
  uint8_t MaxDCycle;
  bool DutyCycleOn;
  //! A LinkADRReq has raised the data rate (ABP minimum-rate rule).
  bool ChannelsDatarateChangedLinkAdrReq;
  //! A downlink arrived in RX1 or RX2 since the session began.
  bool DownlinkReceived;
  bool IsCertPortOn;
  uint16_t AggregatedDCycle;
  uint8_t Padding3[2];
  SysTime_t InitializationTime;
  Version_t Version;
  ActivationType_t NetworkActivation;
  uint8_t Padding4[3];
  /*!
     * Rejoin type 0 after this many uplinks (0: off). The network's
     * RejoinParamSetupReq sets up to 2^19, so the value is kept whole.
     */
  uint32_t Rejoin0UplinksLimit;
  uint8_t ForceRejoinMaxRetries;
  uint8_t ForceRejoinType;
  uint8_t Padding5[2];
  uint32_t Rejoin0CycleInSec;
  uint32_t Rejoin1CycleInSec;
  bool IsRejoinAcceptPending;
  bool IsRejoin0RequestQueued;
  bool IsRejoin1RequestQueued;
  bool IsRejoin2RequestQueued;
  uint32_t Crc32;
} LoRaMacNvmDataGroup2_t;

static_assert(sizeof(SysTime_t) == 8, "system time is seconds, sub-seconds and 2 padding bytes");
static_assert(sizeof(LoRaMacNvmDataGroup2_t) == 388, "MAC group 2 is 388 bytes");
static_assert(offsetof(LoRaMacNvmDataGroup2_t, MacParams) == 4);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, MacParamsDefaults) == 68);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, ChannelsTxPowerDefault) == 132);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, ChannelsDatarateDefault) == 133);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, NetID) == 136);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, DevAddr) == 140);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, MulticastChannelList) == 144);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, DeviceClass) == 336);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, PublicNetwork) == 337);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, AdrCtrlOn) == 338);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, MaxDCycle) == 339);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, DutyCycleOn) == 340);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, ChannelsDatarateChangedLinkAdrReq) == 341);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, DownlinkReceived) == 342);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, IsCertPortOn) == 343);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, AggregatedDCycle) == 344);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, InitializationTime) == 348);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, InitializationTime.SubSeconds) == 352);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, Version) == 356);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, NetworkActivation) == 360);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, Rejoin0UplinksLimit) == 364);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, ForceRejoinMaxRetries) == 368);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, ForceRejoinType) == 369);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, Rejoin0CycleInSec) == 372);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, Rejoin1CycleInSec) == 376);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, IsRejoinAcceptPending) == 380);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, IsRejoin0RequestQueued) == 381);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, IsRejoin1RequestQueued) == 382);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, IsRejoin2RequestQueued) == 383);
static_assert(offsetof(LoRaMacNvmDataGroup2_t, Crc32) == 384);

/*!
 * The whole persistent context, seven groups each ending in its CRC-32.
 */
typedef struct sLoRaMacNvmData {
  LoRaMacCryptoNvmData_t Crypto;
  LoRaMacNvmDataGroup1_t MacGroup1;
  LoRaMacNvmDataGroup2_t MacGroup2;
  SecureElementNvmData_t SecureElement;
  RegionNvmDataGroup1_t RegionGroup1;
  RegionNvmDataGroup2_t RegionGroup2;
  LoRaMacClassBNvmData_t ClassB;
} LoRaMacNvmData_t;

static_assert(sizeof(LoRaMacNvmData_t) == 2128, "the persistent context is 2128 bytes");
static_assert(offsetof(LoRaMacNvmData_t, Crypto) == 0);
static_assert(offsetof(LoRaMacNvmData_t, MacGroup1) == 56);
static_assert(offsetof(LoRaMacNvmData_t, MacGroup2) == 88);
static_assert(offsetof(LoRaMacNvmData_t, SecureElement) == 476);
static_assert(offsetof(LoRaMacNvmData_t, RegionGroup1) == 892);
static_assert(offsetof(LoRaMacNvmData_t, RegionGroup2) == 912);
static_assert(offsetof(LoRaMacNvmData_t, ClassB) == 2104);

/*!
 * Client's confirm and indication records.
 */
typedef struct sMcpsConfirm {
  Mcps_t McpsRequest;
  LoRaMacEventInfoStatus_t Status;
  uint8_t Datarate;
  int8_t TxPower;
  bool AckReceived;
  uint8_t NbTrans;
  TimerTime_t TxTimeOnAir;
  uint32_t UpLinkCounter;
  uint32_t Channel;
} McpsConfirm_t;

typedef struct sMcpsIndication {
  Mcps_t McpsIndication;
  LoRaMacEventInfoStatus_t Status;
  uint8_t Multicast;
  uint8_t Port;
  uint8_t RxDatarate;
  //! The network has more data for the device (FPending).
  uint8_t IsUplinkTxPending;
  uint8_t* Buffer;
  uint8_t BufferSize;
  bool RxData;
  int16_t Rssi;
  int8_t Snr;
  LoRaMacRxSlot_t RxSlot;
  bool AckReceived;
  uint32_t DownLinkCounter;
  uint32_t DevAddress;
  bool DeviceTimeAnsReceived;
  TimerTime_t ResponseTimeout;
} McpsIndication_t;

typedef struct sMlmeConfirm {
  Mlme_t MlmeRequest;
  LoRaMacEventInfoStatus_t Status;
  TimerTime_t TxTimeOnAir;
  uint8_t DemodMargin;
  uint8_t NbGateways;
  uint8_t NbRetries;
  TimerTime_t BeaconTimingDelay;
  uint8_t BeaconTimingChannel;
} MlmeConfirm_t;

/*!
 * What a received beacon carried.
 */
typedef struct sBeaconInfo {
  SysTime_t Time;
  uint32_t Frequency;
  uint8_t Datarate;
  int16_t Rssi;
  int8_t Snr;
  uint8_t Param;
  struct sGwSpecific {
    uint8_t InfoDesc;
    uint8_t Info[6];
  } GwSpecific;
} BeaconInfo_t;

typedef struct sMlmeIndication {
  Mlme_t MlmeIndication;
  LoRaMacEventInfoStatus_t Status;
  BeaconInfo_t BeaconInfo;
} MlmeIndication_t;

/*!
 * Primitives the client installs; all four are required.
 */
typedef struct sLoRaMacPrimitives {
  void (*MacMcpsConfirm)(McpsConfirm_t* McpsConfirm);
  void (*MacMcpsIndication)(McpsIndication_t* McpsIndication);
  void (*MacMlmeConfirm)(MlmeConfirm_t* MlmeConfirm);
  void (*MacMlmeIndication)(MlmeIndication_t* MlmeIndication);
} LoRaMacPrimitives_t;

/*!
 * Callbacks the client may install; each may be null.
 */
typedef struct sLoRaMacCallback {
  //! Battery level for DevStatusAns (none: 255, unknown).
  uint8_t (*GetBatteryLevel)(void);
  //! Temperature in degrees Celsius for class B timing (none: 25.0).
  float (*GetTemperatureLevel)(void);
  //! The persistent groups in the flags (LORAMAC_NVM_NOTIFY_FLAG_*) changed.
  void (*NvmDataChange)(uint16_t notifyFlags);
  //! The client is to call LoRaMacProcess once from its main context.
  void (*MacProcessNotify)(void);
} LoRaMacCallback_t;

/*!
 * Returned by requests that may have to wait for the duty cycle.
 */
typedef struct sRequestReturnParam {
  TimerTime_t DutyCycleWaitTime;
} RequestReturnParam_t;

typedef struct sMcpsReqUnconfirmed {
  uint8_t fPort;
  void* fBuffer;
  uint16_t fBufferSize;
  int8_t Datarate;
} McpsReqUnconfirmed_t;

typedef struct sMcpsReqConfirmed {
  uint8_t fPort;
  void* fBuffer;
  uint16_t fBufferSize;
  int8_t Datarate;
} McpsReqConfirmed_t;

typedef struct sMcpsReqProprietary {
  void* fBuffer;
  uint16_t fBufferSize;
  int8_t Datarate;
} McpsReqProprietary_t;

typedef struct sMcpsReq {
  Mcps_t Type;
  union uMcpsParam {
    McpsReqUnconfirmed_t Unconfirmed;
    McpsReqConfirmed_t Confirmed;
    McpsReqProprietary_t Proprietary;
  } Req;
  RequestReturnParam_t ReqReturn;
} McpsReq_t;

typedef struct sMlmeReqJoin {
  ActivationType_t NetworkActivation;
  uint8_t Datarate;
} MlmeReqJoin_t;

typedef struct sMlmeReqTxCw {
  //! Seconds.
  uint16_t Timeout;
  //! Hz.
  uint32_t Frequency;
  //! dBm.
  int8_t Power;
} MlmeReqTxCw_t;

/*!
 * PingSlotInfoReq payload.
 */
typedef union uPingSlotInfo {
  uint8_t Value;
  struct sPingSlotInfoFields {
    uint8_t Periodicity : 3;
    uint8_t RFU : 5;
  } Fields;
} PingSlotInfo_t;

typedef struct sMlmeReqPingSlotInfo {
  PingSlotInfo_t PingSlot;
} MlmeReqPingSlotInfo_t;

typedef struct sMlmeReqDeriveMcKEKey {
  KeyIdentifier_t KeyID;
  uint16_t Nonce;
  uint8_t* DevEUI;
} MlmeReqDeriveMcKEKey_t;

typedef struct sMlmeReqDeriveMcSessionKeyPair {
  AddressIdentifier_t GroupID;
} MlmeReqDeriveMcSessionKeyPair_t;

typedef struct sMlmeReq {
  Mlme_t Type;
  union uMlmeParam {
    MlmeReqJoin_t Join;
    MlmeReqTxCw_t TxCw;
    MlmeReqPingSlotInfo_t PingSlotInfo;
    MlmeReqDeriveMcKEKey_t DeriveMcKEKey;
    MlmeReqDeriveMcSessionKeyPair_t DeriveMcSessionKeyPair;
  } Req;
  RequestReturnParam_t ReqReturn;
} MlmeReq_t;

/*!
 * Answer of LoRaMacQueryTxPossible.
 */
typedef struct sLoRaMacTxInfo {
  uint8_t MaxPossibleApplicationDataSize;
  uint8_t CurrentPossiblePayloadSize;
} LoRaMacTxInfo_t;

/*!
 * Items of the MAC information base.
 */
typedef enum eMib : uint8_t {
  MIB_DEVICE_CLASS = 0,
  MIB_NETWORK_ACTIVATION = 1,
  MIB_DEV_EUI = 2,
  MIB_JOIN_EUI = 3,
  MIB_SE_PIN = 4,
  MIB_ADR = 5,
  MIB_NET_ID = 6,
  MIB_DEV_ADDR = 7,
  MIB_APP_KEY = 8,
  MIB_NWK_KEY = 9,
  MIB_J_S_INT_KEY = 10,
  MIB_J_S_ENC_KEY = 11,
  MIB_F_NWK_S_INT_KEY = 12,
  MIB_S_NWK_S_INT_KEY = 13,
  MIB_NWK_S_ENC_KEY = 14,
  MIB_APP_S_KEY = 15,
  MIB_MC_KE_KEY = 16,
  MIB_MC_KEY_0 = 17,
  MIB_MC_APP_S_KEY_0 = 18,
  MIB_MC_NWK_S_KEY_0 = 19,
  MIB_MC_KEY_1 = 20,
  MIB_MC_APP_S_KEY_1 = 21,
  MIB_MC_NWK_S_KEY_1 = 22,
  MIB_MC_KEY_2 = 23,
  MIB_MC_APP_S_KEY_2 = 24,
  MIB_MC_NWK_S_KEY_2 = 25,
  MIB_MC_KEY_3 = 26,
  MIB_MC_APP_S_KEY_3 = 27,
  MIB_MC_NWK_S_KEY_3 = 28,
  MIB_PUBLIC_NETWORK = 29,
  MIB_CHANNELS = 30,
  MIB_RX2_CHANNEL = 31,
  MIB_RX2_DEFAULT_CHANNEL = 32,
  MIB_RXC_CHANNEL = 33,
  MIB_RXC_DEFAULT_CHANNEL = 34,
  MIB_CHANNELS_MASK = 35,
  MIB_CHANNELS_DEFAULT_MASK = 36,
  MIB_CHANNELS_NB_TRANS = 37,
  MIB_MAX_RX_WINDOW_DURATION = 38,
  MIB_RECEIVE_DELAY_1 = 39,
  MIB_RECEIVE_DELAY_2 = 40,
  MIB_JOIN_ACCEPT_DELAY_1 = 41,
  MIB_JOIN_ACCEPT_DELAY_2 = 42,
  MIB_CHANNELS_MIN_TX_DATARATE = 43,
  MIB_CHANNELS_DEFAULT_DATARATE = 44,
  MIB_CHANNELS_DATARATE = 45,
  MIB_CHANNELS_TX_POWER = 46,
  MIB_CHANNELS_DEFAULT_TX_POWER = 47,
  MIB_SYSTEM_MAX_RX_ERROR = 48,
  MIB_MIN_RX_SYMBOLS = 49,
  MIB_ANTENNA_GAIN = 50,
  MIB_DEFAULT_ANTENNA_GAIN = 51,
  MIB_NVM_CTXS = 52,
  MIB_ABP_LORAWAN_VERSION = 53,
  MIB_LORAWAN_VERSION = 54,
  MIB_REJOIN_0_CYCLE = 55,
  MIB_REJOIN_1_CYCLE = 56,
  MIB_BEACON_INTERVAL = 57,
  MIB_BEACON_RESERVED = 58,
  MIB_BEACON_GUARD = 59,
  MIB_BEACON_WINDOW = 60,
  MIB_BEACON_WINDOW_SLOTS = 61,
  MIB_PING_SLOT_WINDOW = 62,
  MIB_BEACON_SYMBOL_TO_DEFAULT = 63,
  MIB_BEACON_SYMBOL_TO_EXPANSION_MAX = 64,
  MIB_PING_SLOT_SYMBOL_TO_EXPANSION_MAX = 65,
  MIB_BEACON_SYMBOL_TO_EXPANSION_FACTOR = 66,
  MIB_PING_SLOT_SYMBOL_TO_EXPANSION_FACTOR = 67,
  MIB_MAX_BEACON_LESS_PERIOD = 68,
  MIB_PING_SLOT_DATARATE = 69,
  MIB_IS_CERT_FPORT_ON = 70,
  MIB_ADR_ACK_LIMIT = 71,
  MIB_ADR_ACK_DELAY = 72,
  MIB_ADR_ACK_DEFAULT_LIMIT = 73,
  MIB_ADR_ACK_DEFAULT_DELAY = 74,
  MIB_RSSI_FREE_THRESHOLD = 75,
  MIB_CARRIER_SENSE_TIME = 76,
} Mib_t;

/*!
 * Value of a MIB item; each item uses one member.
 */
typedef union uMibParam {
  DeviceClass_t Class;
  ActivationType_t NetworkActivation;
  uint8_t* DevEui;
  uint8_t* JoinEui;
  uint8_t* SePin;
  bool AdrEnable;
  uint32_t NetID;
  uint32_t DevAddr;
  uint8_t* AppKey;
  uint8_t* NwkKey;
  uint8_t* JSIntKey;
  uint8_t* JSEncKey;
  uint8_t* FNwkSIntKey;
  uint8_t* SNwkSIntKey;
  uint8_t* NwkSEncKey;
  uint8_t* AppSKey;
  uint8_t* McKEKey;
  uint8_t* McKey0;
  uint8_t* McAppSKey0;
  uint8_t* McNwkSKey0;
  uint8_t* McKey1;
  uint8_t* McAppSKey1;
  uint8_t* McNwkSKey1;
  uint8_t* McKey2;
  uint8_t* McAppSKey2;
  uint8_t* McNwkSKey2;
  uint8_t* McKey3;
  uint8_t* McAppSKey3;
  uint8_t* McNwkSKey3;
  bool EnablePublicNetwork;
  ChannelParams_t* ChannelList;
  RxChannelParams_t Rx2Channel;
  RxChannelParams_t Rx2DefaultChannel;
  RxChannelParams_t RxCChannel;
  RxChannelParams_t RxCDefaultChannel;
  uint16_t* ChannelsMask;
  uint16_t* ChannelsDefaultMask;
  uint8_t ChannelsNbTrans;
  uint32_t MaxRxWindow;
  uint32_t ReceiveDelay1;
  uint32_t ReceiveDelay2;
  uint32_t JoinAcceptDelay1;
  uint32_t JoinAcceptDelay2;
  int8_t ChannelsMinTxDatarate;
  int8_t ChannelsDefaultDatarate;
  int8_t ChannelsDatarate;
  int8_t ChannelsDefaultTxPower;
  int8_t ChannelsTxPower;
  McChannelParams_t MulticastChannel;
  uint32_t SystemMaxRxError;
  uint8_t MinRxSymbols;
  float AntennaGain;
  float DefaultAntennaGain;
  LoRaMacNvmData_t* Contexts;
  Version_t AbpLrWanVersion;
  struct sLrWanVersion {
    Version_t LoRaWan;
    Version_t LoRaWanRegion;
  } LrWanVersion;
  uint32_t Rejoin0CycleInSec;
  uint32_t Rejoin1CycleInSec;
  uint32_t Rejoin2CycleInSec;
  uint32_t BeaconInterval;
  uint32_t BeaconReserved;
  uint32_t BeaconGuard;
  uint32_t BeaconWindow;
  uint32_t BeaconWindowSlots;
  uint32_t PingSlotWindow;
  uint32_t BeaconSymbolToDefault;
  uint32_t BeaconSymbolToExpansionMax;
  uint32_t PingSlotSymbolToExpansionMax;
  uint32_t BeaconSymbolToExpansionFactor;
  uint32_t PingSlotSymbolToExpansionFactor;
  uint32_t MaxBeaconLessPeriod;
  int8_t PingSlotDatarate;
  bool IsCertPortOn;
  uint16_t AdrAckLimit;
  uint16_t AdrAckDelay;
  int16_t RssiFreeThreshold;
  uint32_t CarrierSenseTime;
} MibParam_t;

typedef struct sMibRequestConfirm {
  Mib_t Type;
  MibParam_t Param;
} MibRequestConfirm_t;

/*!
 * Sets the MAC up for a region (again on a change of region). The MAC is
 * stopped afterwards.
 *
 * \retval PARAMETER_INVALID a record or one of the four primitives is null.
 * \retval REGION_NOT_SUPPORTED the region is not built.
 * \retval CRYPTO_ERROR, MAC_COMMAD_ERROR the security layer or the command
 *         list could not be set up.
 */
LoRaMacStatus_t LoRaMacInitialization(LoRaMacPrimitives_t* primitives, LoRaMacCallback_t* callbacks,
                                      LoRaMacRegion_t region);

/*! Stopped to idle; always OK. */
LoRaMacStatus_t LoRaMacStart(void);

/*! Idle to stopped; BUSY while an exchange runs. */
LoRaMacStatus_t LoRaMacStop(void);

/*! Whether a request would be refused now; false while stopped. */
bool LoRaMacIsBusy(void);

/*! Handles what the MAC asked for through MacProcessNotify. */
void LoRaMacProcess(void);

/*!
 * Whether an application payload of `size` bytes fits the next uplink with
 * the pending MAC commands, and how much would fit.
 */
LoRaMacStatus_t LoRaMacQueryTxPossible(uint8_t size, LoRaMacTxInfo_t* txInfo);

/*!
 * Largest application payload at the current data rate with the pending MAC
 * commands in FOpts.
 */
uint16_t GetMaxAppPayloadWithFOptsLength(void);

LoRaMacStatus_t LoRaMacMcChannelSetup(McChannelParams_t* channel);
LoRaMacStatus_t LoRaMacMcChannelDelete(AddressIdentifier_t groupID);
/*!
 * \param [out] status group identifier in bits 0-1; bit 2 data rate not
 *        valid, bit 3 frequency not valid, bit 4 group not defined.
 */
LoRaMacStatus_t LoRaMacMcChannelSetupRxParams(AddressIdentifier_t groupID, McRxParams_t* rxParams,
                                              uint8_t* status);

LoRaMacStatus_t LoRaMacMibGetRequestConfirm(MibRequestConfirm_t* mibGet);
LoRaMacStatus_t LoRaMacMibSetRequestConfirm(MibRequestConfirm_t* mibSet);
LoRaMacStatus_t LoRaMacMlmeRequest(MlmeReq_t* mlmeRequest);
LoRaMacStatus_t LoRaMacMcpsRequest(McpsReq_t* mcpsRequest);

/*! Test switch: duty-cycle enforcement on or off where the region allows. */
void LoRaMacTestSetDutyCycleOn(bool enable);

#endif  // __LORAMAC_H__
