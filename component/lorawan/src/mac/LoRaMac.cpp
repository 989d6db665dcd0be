/*!
 * \file LoRaMac.cpp
 *
 * \brief The LoRaWAN MAC: context and state, initialisation, requests, the
 *        uplink path, the receive windows and downlink processing, the
 *        downlink MAC-command processor, the information base and the
 *        process step.
 *
 * One instance with global state, driven by one client from its main
 * context. Radio callbacks only record what happened and ask for a process
 * step; timer callbacks of the receive windows and of the delayed
 * transmission drive the radio directly.
 */
#include "LoRaMac.h"

#include <string.h>

#include "LoRaMacAdr.h"
#include "LoRaMacClassB.h"
#include "LoRaMacCommands.h"
#include "LoRaMacConfirmQueue.h"
#include "LoRaMacCrypto.h"
#include "LoRaMacMessageTypes.h"
#include "LoRaMacNvm.h"
#include "LoRaMacSerializer.h"
#include "LoRaMacParser.h"
#include "Region.h"
#include "board.h"
#include "radio.h"
#include "secure-element.h"
#include "systime.h"
#include "timer.h"
#include "utilities.h"

/*!
 * The LoRa service's per-channel RSSI hook, called just before every
 * transmission. Images without that service get this empty one.
 */
extern "C++" void service_lora_arssi_tx_callback(uint8_t channel);
__attribute__((weak)) void service_lora_arssi_tx_callback(uint8_t) {}

namespace {

/*! Largest rejoin cycle whose period still fits in 32-bit milliseconds. */
constexpr uint32_t MAX_CYCLE_SECONDS = 4294967;
constexpr uint8_t LORA_MAC_COMMAND_MAX_FOPTS_LENGTH = 15;
constexpr uint8_t LORAMAC_FRAME_PAYLOAD_OVERHEAD_SIZE = 13;
constexpr uint8_t LORAMAC_RX_PAYLOAD_SIZE = 255;

/*! Frame types of a data downlink, by what it carries. */
typedef enum eFType {
  FRAME_TYPE_A,  //!< FOpts and a payload on a port other than 0
  FRAME_TYPE_B,  //!< no payload
  FRAME_TYPE_C,  //!< MAC commands as the payload on port 0
  FRAME_TYPE_D,  //!< a payload on a port other than 0, no FOpts
} FType_t;

typedef struct sLoRaMacCtx {
  uint16_t PktBufferLen;
  uint8_t PktBuffer[LORAMAC_PHY_MAXPAYLOAD];
  LoRaMacMessage_t TxMsg;
  uint8_t AppData[LORAMAC_PHY_MAXPAYLOAD];
  uint8_t AppDataSize;
  uint8_t RxPayload[LORAMAC_PHY_MAXPAYLOAD];
  SysTime_t LastTxSysTime;
  uint32_t MacState;
  LoRaMacPrimitives_t* MacPrimitives;
  LoRaMacCallback_t* MacCallbacks;
  RadioEvents_t RadioEvents;
  TimerEvent_t TxDelayedTimer;
  TimerEvent_t RxWindowTimer1;
  TimerEvent_t RxWindowTimer2;
  uint32_t RxWindow1Delay;
  uint32_t RxWindow2Delay;
  RxConfigParams_t RxWindow1Config;
  RxConfigParams_t RxWindow2Config;
  RxConfigParams_t RxWindowCConfig;
  TimerEvent_t RetransmitTimeoutTimer;
  uint8_t ChannelsNbTransCounter;
  bool RetransmitTimeoutRetry;
  bool NodeAckRequested;
  uint8_t Channel;
  TimerTime_t TxTimeOnAir;
  McpsIndication_t McpsIndication;
  McpsConfirm_t McpsConfirm;
  MlmeConfirm_t MlmeConfirm;
  MlmeIndication_t MlmeIndication;
  LoRaMacRxSlot_t RxSlot;
  LoRaMacFlags_t MacFlags;
  uint8_t AllowRequests;
  TimerEvent_t Rejoin0CycleTimer;
  TimerEvent_t Rejoin1CycleTimer;
  TimerEvent_t ForceRejoinReqCycleTimer;
  TimerTime_t Rejoin0CycleTime;
  TimerTime_t Rejoin1CycleTime;
  TimerTime_t ForceRejonCycleTime;
  TimerTime_t DutyCycleWaitTime;
  TimerTime_t ResponseTimeoutStartTime;
  TimerEvent_t AbpJoinPendingTimer;
  bool AbpJoinPendingTimerInitialized;
  uint8_t MacCommandsBuffer[LORA_MAC_COMMAND_MAX_LENGTH];
  // MAC commands of the current frame that did not fit and must stay
  // queued for a later uplink: the serialized commands, and where the part
  // that went out ends.
  uint8_t PendingCmds[LORAMAC_PHY_MAXPAYLOAD];
  uint8_t PendingCmdsSize;
  uint8_t SentCmdsSize;
  // A valid downlink arrived in RX1 or RX2 during the current exchange.
  bool DownlinkInRx1Or2;
  // The exchange failed outside the receive path; the process step ends it
  // without a further transmission.
  bool EndExchange;
  // Times a stop put the radio to sleep in class C.
  uint32_t ClassCStops;
  // A join accept came in RX1 and was refused (MIC, nonce or RX2 data
  // rate); RX2 stays open, and if it brings nothing the join reports the
  // refusal, not a timeout.
  bool JoinAcceptRefused;
} LoRaMacCtx_t;

LoRaMacNvmData_t Nvm;
LoRaMacCtx_t MacCtx;
/*! The duty-cycle bands of the active region, kept by the region. */
Band_t RegionBands[REGION_NVM_MAX_NB_BANDS];
volatile LoRaMacRadioEvents_t LoRaMacRadioEvents;

struct {
  TimerTime_t CurTime;
} TxDoneParams;

struct {
  TimerTime_t LastRxDone;
  uint8_t* Payload;
  uint16_t Size;
  int16_t Rssi;
  int8_t Snr;
} RxDoneParams;

LoRaMacClassBParams_t ClassBParams;
LoRaMacClassBCallback_t ClassBCallbacks;

/*! Payload sizes of the commands a device sends, CID byte not included. */
uint8_t UplinkCmdPayloadSize(uint8_t cid) {
  switch (cid) {
    case MOTE_MAC_RESET_IND:
    case MOTE_MAC_LINK_ADR_ANS:
    case MOTE_MAC_RX_PARAM_SETUP_ANS:
    case MOTE_MAC_NEW_CHANNEL_ANS:
    case MOTE_MAC_DL_CHANNEL_ANS:
    case MOTE_MAC_REKEY_IND:
    case MOTE_MAC_REJOIN_PARAM_ANS:
    case MOTE_MAC_PING_SLOT_INFO_REQ:
    case MOTE_MAC_PING_SLOT_CHANNEL_ANS:
    case MOTE_MAC_BEACON_FREQ_ANS:
    case MOTE_MAC_DEVICE_MODE_IND:
      return 1;
    case MOTE_MAC_DEV_STATUS_ANS:
      return 2;
    default:
      return 0;
  }
}

bool IsStickyCmd(uint8_t cid) {
  switch (cid) {
    case MOTE_MAC_RESET_IND:
    case MOTE_MAC_RX_PARAM_SETUP_ANS:
    case MOTE_MAC_RX_TIMING_SETUP_ANS:
    case MOTE_MAC_TX_PARAM_SETUP_ANS:
    case MOTE_MAC_DL_CHANNEL_ANS:
    case MOTE_MAC_REKEY_IND:
    case MOTE_MAC_PING_SLOT_CHANNEL_ANS:
    case MOTE_MAC_DEVICE_MODE_IND:
      return true;
    default:
      return false;
  }
}

// --- small helpers ---------------------------------------------------------

LoRaMacParams_t& Params() { return Nvm.MacGroup2.MacParams; }

LoRaMacParams_t& Defaults() { return Nvm.MacGroup2.MacParamsDefaults; }

LoRaMacRegion_t Region() { return Nvm.MacGroup2.Region; }

void Notify() {
  if (MacCtx.MacCallbacks != nullptr && MacCtx.MacCallbacks->MacProcessNotify != nullptr) {
    MacCtx.MacCallbacks->MacProcessNotify();
  }
}

uint32_t GetPhy(PhyAttribute_t attribute, int8_t datarate = 0) {
  GetPhyParams_t getPhy = {};
  getPhy.Attribute = attribute;
  getPhy.Datarate = datarate;
  getPhy.UplinkDwellTime = Params().UplinkDwellTime;
  getPhy.DownlinkDwellTime = Params().DownlinkDwellTime;
  return RegionGetPhyParam(Region(), &getPhy).Value;
}

float GetPhyFloat(PhyAttribute_t attribute) {
  GetPhyParams_t getPhy = {};
  getPhy.Attribute = attribute;
  return RegionGetPhyParam(Region(), &getPhy).fValue;
}

SysTime_t ElapsedSinceInit() {
  return SysTimeSub(SysTimeGetMcuTime(), Nvm.MacGroup2.InitializationTime);
}

void UpdateRxSlotIdleState() {
  MacCtx.RxSlot = (Nvm.MacGroup2.DeviceClass == CLASS_C) ? RX_SLOT_WIN_CLASS_C : RX_SLOT_NONE;
}

bool IsLoRaWan11() { return Nvm.MacGroup2.Version.Fields.Minor != 0; }

uint8_t MaxPayload(int8_t datarate) { return (uint8_t)GetPhy(PHY_MAX_PAYLOAD, datarate); }

uint8_t MaxDownlinkPayload(int8_t datarate) {
  GetPhyParams_t getPhy = {};
  getPhy.Attribute = PHY_MAX_PAYLOAD;
  getPhy.Datarate = datarate;
  getPhy.UplinkDwellTime = Params().DownlinkDwellTime;
  return (uint8_t)RegionGetPhyParam(Region(), &getPhy).Value;
}

// Forward declarations of the parts that call each other.
LoRaMacStatus_t ScheduleTx(bool allowDelayedTx);
LoRaMacStatus_t SendReJoinReq(JoinReqIdentifier_t joinReqType);
void OnRetransmitTimeoutTimerEvent(void* context);
void OnTxDelayedTimerEvent(void* context);
void OpenContinuousRxCWindow();
void StopRetransmission();
LoRaMacStatus_t SwitchClass(DeviceClass_t deviceClass);
void ProcessMacCommands(uint8_t* payload, uint8_t macIndex, uint8_t commandsSize, int8_t snr,
                        LoRaMacRxSlot_t rxSlot);

// --- initialisation and parameters ------------------------------------------

void ResetMacParameters(bool isRejoin) {
  LoRaMacNvmDataGroup1_t& g1 = Nvm.MacGroup1;
  LoRaMacNvmDataGroup2_t& g2 = Nvm.MacGroup2;

  if (!isRejoin) {
    g2.NetworkActivation = ACTIVATION_TYPE_NONE;
  }

  g1.ChannelsTxPower = g2.ChannelsTxPowerDefault;
  g1.ChannelsDatarate = g2.ChannelsDatarateDefault;
  Params().Rx1DrOffset = Defaults().Rx1DrOffset;
  Params().Rx2Channel = Defaults().Rx2Channel;
  Params().RxCChannel = Defaults().RxCChannel;
  Params().UplinkDwellTime = Defaults().UplinkDwellTime;
  Params().DownlinkDwellTime = Defaults().DownlinkDwellTime;
  Params().MaxEirp = Defaults().MaxEirp;
  Params().AntennaGain = Defaults().AntennaGain;
  Params().AdrAckLimit = Defaults().AdrAckLimit;
  Params().AdrAckDelay = Defaults().AdrAckDelay;

  g1.AdrAckCounter = 0;
  g2.MaxDCycle = 0;
  g2.AggregatedDCycle = 1;
  g1.SrvAckRequested = false;
  g2.ChannelsDatarateChangedLinkAdrReq = false;
  g2.DownlinkReceived = false;
  g2.Rejoin0UplinksLimit = 0;
  g2.ForceRejoinMaxRetries = 0;
  g2.ForceRejoinType = 0;
  g2.Rejoin0CycleInSec = 0;
  g2.Rejoin1CycleInSec = 0;
  g2.IsRejoin0RequestQueued = false;
  g2.IsRejoin1RequestQueued = false;
  g2.IsRejoin2RequestQueued = false;
  MacCtx.ResponseTimeoutStartTime = 0;
  MacCtx.ChannelsNbTransCounter = 0;
  MacCtx.RetransmitTimeoutRetry = false;
  MacCtx.NodeAckRequested = false;

  InitDefaultsParams_t params = {};
  params.Type = INIT_TYPE_RESET_TO_DEFAULT_CHANNELS;
  params.NvmGroup1 = &Nvm.RegionGroup1;
  params.NvmGroup2 = &Nvm.RegionGroup2;
  params.Bands = RegionBands;
  RegionInitDefaults(Region(), &params);

  MacCtx.RxWindow2Config = {};
  MacCtx.RxWindow2Config.Channel = 0;
  MacCtx.RxWindow2Config.Frequency = Params().Rx2Channel.Frequency;
  MacCtx.RxWindow2Config.DownlinkDwellTime = Params().DownlinkDwellTime;
  MacCtx.RxWindow2Config.RxContinuous = false;
  MacCtx.RxWindow2Config.RxSlot = RX_SLOT_WIN_2;
  MacCtx.RxWindow2Config.NetworkActivation = g2.NetworkActivation;

  MacCtx.RxWindowCConfig = MacCtx.RxWindow2Config;
  MacCtx.RxWindowCConfig.RxContinuous = true;
  MacCtx.RxWindowCConfig.RxSlot = RX_SLOT_WIN_CLASS_C;

  MacCtx.Channel = 0;

  ClassBParams.MlmeIndication = &MacCtx.MlmeIndication;
  ClassBParams.McpsIndication = &MacCtx.McpsIndication;
  ClassBParams.MlmeConfirm = &MacCtx.MlmeConfirm;
  ClassBParams.LoRaMacFlags = &MacCtx.MacFlags.Value;
  ClassBParams.LoRaMacDevAddr = &g2.DevAddr;
  ClassBParams.LoRaMacRegion = &g2.Region;
  ClassBParams.LoRaMacParams = &g2.MacParams;
  ClassBParams.MulticastChannels = &g2.MulticastChannelList[0];
  ClassBParams.NetworkActivation = &g2.NetworkActivation;
  // The client's callbacks are stored before the first reset, so class B
  // can ask for process steps from initialisation on.
  ClassBCallbacks.GetTemperatureLevel =
      (MacCtx.MacCallbacks != nullptr) ? MacCtx.MacCallbacks->GetTemperatureLevel : nullptr;
  ClassBCallbacks.MacProcessNotify =
      (MacCtx.MacCallbacks != nullptr) ? MacCtx.MacCallbacks->MacProcessNotify : nullptr;
  LoRaMacClassBInit(&ClassBParams, &ClassBCallbacks, &Nvm.ClassB);
}

// --- radio callbacks ----------------------------------------------------------

void OnRadioTxDone(void) {
  TxDoneParams.CurTime = TimerGetCurrentTime();
  MacCtx.LastTxSysTime = SysTimeGet();
  LoRaMacRadioEvents.Events.TxDone = 1;
  Notify();
}

void OnRadioRxDone(uint8_t* payload, uint16_t size, int16_t rssi, int8_t snr) {
  RxDoneParams.LastRxDone = TimerGetCurrentTime();
  RxDoneParams.Payload = payload;
  RxDoneParams.Size = size;
  RxDoneParams.Rssi = rssi;
  RxDoneParams.Snr = snr;
  LoRaMacRadioEvents.Events.RxDone = 1;
  LoRaMacRadioEvents.Events.RxProcessPending = 1;
  Notify();
}

void OnRadioTxTimeout(void) {
  LoRaMacRadioEvents.Events.TxTimeout = 1;
  Notify();
}

void OnRadioRxError(void) {
  LoRaMacRadioEvents.Events.RxError = 1;
  Notify();
}

void OnRadioRxTimeout(void) {
  LoRaMacRadioEvents.Events.RxTimeout = 1;
  Notify();
}

// --- receive windows -------------------------------------------------------------

void RxWindowSetup(TimerEvent_t* rxTimer, RxConfigParams_t* rxConfig) {
  TimerStop(rxTimer);
  Radio.Standby();
  if (RegionRxConfig(Region(), rxConfig, (int8_t*)&MacCtx.McpsIndication.RxDatarate)) {
    Radio.Rx(Params().MaxRxWindow);
    MacCtx.RxSlot = rxConfig->RxSlot;
  }
}

void OnRxWindow1TimerEvent(void*) {
  MacCtx.RxWindow1Config.Channel = MacCtx.Channel;
  MacCtx.RxWindow1Config.DrOffset = (int8_t)Params().Rx1DrOffset;
  MacCtx.RxWindow1Config.DownlinkDwellTime = Params().DownlinkDwellTime;
  MacCtx.RxWindow1Config.NetworkActivation = Nvm.MacGroup2.NetworkActivation;
  MacCtx.RxWindow1Config.RxContinuous = false;
  MacCtx.RxWindow1Config.RxSlot = RX_SLOT_WIN_1;
  RxWindowSetup(&MacCtx.RxWindowTimer1, &MacCtx.RxWindow1Config);
}

void OnRxWindow2TimerEvent(void*) {
  // A frame still arriving in RX1 keeps the radio.
  if (MacCtx.RxSlot == RX_SLOT_WIN_1) {
    return;
  }
  MacCtx.RxWindow2Config.Channel = MacCtx.Channel;
  MacCtx.RxWindow2Config.Frequency = Params().Rx2Channel.Frequency;
  MacCtx.RxWindow2Config.DownlinkDwellTime = Params().DownlinkDwellTime;
  MacCtx.RxWindow2Config.RxContinuous = false;
  MacCtx.RxWindow2Config.NetworkActivation = Nvm.MacGroup2.NetworkActivation;
  MacCtx.RxWindow2Config.RxSlot = RX_SLOT_WIN_2;
  RxWindowSetup(&MacCtx.RxWindowTimer2, &MacCtx.RxWindow2Config);
}

void OpenContinuousRxCWindow() {
  RegionComputeRxWindowParameters(Region(), (int8_t)Params().RxCChannel.Datarate,
                                  Params().MinRxSymbols, Params().SystemMaxRxError,
                                  &MacCtx.RxWindowCConfig);
  MacCtx.RxWindowCConfig.RxSlot = RX_SLOT_WIN_CLASS_C;
  MacCtx.RxWindowCConfig.NetworkActivation = Nvm.MacGroup2.NetworkActivation;
  MacCtx.RxWindowCConfig.RxContinuous = true;
  if (RegionRxConfig(Region(), &MacCtx.RxWindowCConfig,
                     (int8_t*)&MacCtx.McpsIndication.RxDatarate)) {
    Radio.Rx(0);
    MacCtx.RxSlot = RX_SLOT_WIN_CLASS_C;
  }
}

/*! Whether the RX2 window is still ahead of now (its timer has not yet run). */
bool Rx2StillAhead() {
  return TimerGetElapsedTime(Nvm.MacGroup1.LastTxDoneTime) < MacCtx.RxWindow2Delay;
}

void ProcessRadioTxDone() {
  MacCtx.JoinAcceptRefused = false;
  if (Nvm.MacGroup2.DeviceClass != CLASS_C) {
    Radio.Sleep();
  }

  uint32_t mask;
  BoardCriticalSectionBegin(&mask);
  // The windows count from TX done, not from now.
  int32_t offset = (int32_t)(TxDoneParams.CurTime - TimerGetCurrentTime());
  TimerSetValue(&MacCtx.RxWindowTimer1, (uint32_t)((int32_t)MacCtx.RxWindow1Delay + offset));
  TimerStart(&MacCtx.RxWindowTimer1);
  TimerSetValue(&MacCtx.RxWindowTimer2, (uint32_t)((int32_t)MacCtx.RxWindow2Delay + offset));
  TimerStart(&MacCtx.RxWindowTimer2);
  BoardCriticalSectionEnd(&mask);

  if (MacCtx.NodeAckRequested) {
    TimerSetValue(&MacCtx.RetransmitTimeoutTimer,
                  MacCtx.RxWindow2Delay + GetPhy(PHY_RETRANSMIT_TIMEOUT));
    TimerStart(&MacCtx.RetransmitTimeoutTimer);
  } else {
    MacCtx.McpsConfirm.Status = LORAMAC_EVENT_INFO_STATUS_OK;
  }

  Nvm.MacGroup1.LastTxDoneTime = TxDoneParams.CurTime;
  SetBandTxDoneParams_t txDone = {};
  txDone.Channel = MacCtx.Channel;
  txDone.Joined = Nvm.MacGroup2.NetworkActivation != ACTIVATION_TYPE_NONE;
  txDone.LastTxDoneTime = TxDoneParams.CurTime;
  txDone.LastTxAirTime = MacCtx.TxTimeOnAir;
  txDone.ElapsedTimeSinceStartUp = ElapsedSinceInit();
  RegionSetBandTxDone(Region(), &txDone);
}

/*!
 * Ends the handling of a received frame that is refused. A frame refused in
 * RX1 while RX2 is still to come leaves RX2 pending: it may have been meant
 * for another device, and the network may still answer in RX2.
 */
void PrepareRxDoneAbort() {
  MacCtx.MacFlags.Bits.McpsInd = 1;
  if (MacCtx.RxSlot == RX_SLOT_WIN_1 && Rx2StillAhead()) {
    UpdateRxSlotIdleState();
    return;
  }
  MacCtx.MacState |= LORAMAC_RX_ABORT;
  if (MacCtx.NodeAckRequested) {
    OnRetransmitTimeoutTimerEvent(nullptr);
  }
  MacCtx.MacFlags.Bits.MacDone = 1;
  UpdateRxSlotIdleState();
}

void HandleRadioRxErrorTimeout(LoRaMacEventInfoStatus_t rx1EventInfoStatus,
                               LoRaMacEventInfoStatus_t rx2EventInfoStatus) {
  bool classBRx = false;

  if (Nvm.MacGroup2.DeviceClass != CLASS_C) {
    Radio.Sleep();
  }

  if (LoRaMacClassBIsBeaconExpected()) {
    LoRaMacClassBSetBeaconState(BEACON_STATE_TIMEOUT);
    LoRaMacClassBBeaconTimerEvent(nullptr);
    classBRx = true;
  }
  if (Nvm.MacGroup2.DeviceClass == CLASS_B) {
    if (LoRaMacClassBIsPingExpected()) {
      LoRaMacClassBSetPingSlotState(PINGSLOT_STATE_CALC_PING_OFFSET);
      LoRaMacClassBPingSlotTimerEvent(nullptr);
      classBRx = true;
    }
    if (LoRaMacClassBIsMulticastExpected()) {
      LoRaMacClassBSetMulticastSlotState(PINGSLOT_STATE_CALC_PING_OFFSET);
      LoRaMacClassBMulticastSlotTimerEvent(nullptr);
      UpdateRxSlotIdleState();
      return;
    }
  }

  if (!classBRx) {
    if (MacCtx.RxSlot == RX_SLOT_WIN_1) {
      if (MacCtx.NodeAckRequested) {
        MacCtx.McpsConfirm.Status = rx1EventInfoStatus;
      }
      LoRaMacConfirmQueueSetStatusCmn(rx1EventInfoStatus);
      if (!Rx2StillAhead()) {
        TimerStop(&MacCtx.RxWindowTimer2);
        if (rx1EventInfoStatus == LORAMAC_EVENT_INFO_STATUS_RX1_TIMEOUT) {
          // RX1 listened past the opening of RX2 (a wide window at a slow
          // rate) and heard nothing, so RX2's timer found the radio busy.
          // RX2's window is at least as long as RX1's and starts later, so
          // it is still open: listen there now, the network may answer in
          // it. Only when it cannot be opened does the exchange end here.
          UpdateRxSlotIdleState();
          OnRxWindow2TimerEvent(nullptr);
          if (MacCtx.RxSlot == RX_SLOT_WIN_2) {
            return;
          }
        }
        MacCtx.MacFlags.Bits.MacDone = 1;
      }
    } else {
      if (MacCtx.NodeAckRequested) {
        MacCtx.McpsConfirm.Status = rx2EventInfoStatus;
      }
      LoRaMacConfirmQueueSetStatusCmn(rx2EventInfoStatus);
      if (MacCtx.JoinAcceptRefused && LoRaMacConfirmQueueIsCmdActive(MLME_JOIN)) {
        LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_JOIN_FAIL, MLME_JOIN);
      }
      MacCtx.MacFlags.Bits.MacDone = 1;
    }
  }

  UpdateRxSlotIdleState();
}

/*! The kind of data downlink; false for FOpts together with port-0 commands. */
bool DetermineFrameType(const LoRaMacMessageData_t* macMsg, FType_t* fType) {
  if (macMsg->FHDR.FCtrl.Bits.FOptsLen > 0 && macMsg->FRMPayloadSize > 0) {
    if (macMsg->FPort == 0) {
      return false;
    }
    *fType = FRAME_TYPE_A;
  } else if (macMsg->FRMPayloadSize == 0) {
    *fType = FRAME_TYPE_B;
  } else if (macMsg->FPort == 0) {
    *fType = FRAME_TYPE_C;
  } else {
    *fType = FRAME_TYPE_D;
  }
  return true;
}

FCntIdentifier_t GetFCntDown(AddressIdentifier_t addrID, FType_t fType) {
  switch (addrID) {
    case MULTICAST_0_ADDR:
      return MC_FCNT_DOWN_0;
    case MULTICAST_1_ADDR:
      return MC_FCNT_DOWN_1;
    case MULTICAST_2_ADDR:
      return MC_FCNT_DOWN_2;
    case MULTICAST_3_ADDR:
      return MC_FCNT_DOWN_3;
    default:
      break;
  }
  if (IsLoRaWan11()) {
    return (fType == FRAME_TYPE_A || fType == FRAME_TYPE_D) ? A_FCNT_DOWN : N_FCNT_DOWN;
  }
  return FCNT_DOWN;
}

void RemoveMacCommands(LoRaMacRxSlot_t rxSlot, LoRaMacFrameCtrl_t fCtrl, Mcps_t request) {
  if (rxSlot == RX_SLOT_WIN_1 || rxSlot == RX_SLOT_WIN_2) {
    // The sticky answers reached the network once this downlink shows
    // the uplink was received.
    if (request != MCPS_CONFIRMED || fCtrl.Bits.Ack == 1) {
      LoRaMacCommandsRemoveStickyAnsCmds();
    }
  }
}

/*! Frame accepted for this device; ends the exchange in RX1 or RX2. */
void FinishRxDone(bool exchangeEnded) {
  if (exchangeEnded) {
    if (MacCtx.RxSlot == RX_SLOT_WIN_1 || MacCtx.RxSlot == RX_SLOT_WIN_2) {
      if (MacCtx.NodeAckRequested && MacCtx.McpsConfirm.AckReceived) {
        OnRetransmitTimeoutTimerEvent(nullptr);
      }
    }
    if (MacCtx.McpsIndication.RxSlot != RX_SLOT_WIN_CLASS_C) {
      MacCtx.MacFlags.Bits.MacDone = 1;
    }
  }
  UpdateRxSlotIdleState();
}

/*!
 * Whether the region can use what an authentic join accept sets: its RX2
 * datarate (15 keeps the current one). Asked before the accept changes
 * anything, so a refused accept leaves keys, nonce and counters alone.
 */
bool JoinAcceptUsable(const LoRaMacMessageJoinAccept_t* accept) {
  if (accept->DLSettings.Bits.RX2DataRate == 0x0F) {
    return true;
  }
  VerifyParams_t verify = {};
  verify.DatarateParams.Datarate = (int8_t)accept->DLSettings.Bits.RX2DataRate;
  verify.DatarateParams.DownlinkDwellTime = Params().DownlinkDwellTime;
  return RegionVerify(Region(), &verify, PHY_RX_DR);
}

void ProcessJoinAccept(uint8_t* payload, uint16_t size) {
  LoRaMacMessageJoinAccept_t joinAccept = {};
  LoRaMacNvmDataGroup2_t& g2 = Nvm.MacGroup2;

  if (size < LORAMAC_JOIN_ACCEPT_FRAME_MIN_SIZE ||
      (g2.NetworkActivation != ACTIVATION_TYPE_NONE && !g2.IsRejoinAcceptPending)) {
    MacCtx.McpsIndication.Status = LORAMAC_EVENT_INFO_STATUS_ERROR;
    PrepareRxDoneAbort();
    return;
  }

  // The crypto layer decrypts in place: each trial starts from the
  // received bytes again.
  uint8_t received[LORAMAC_PHY_MAXPAYLOAD];
  memcpy(received, payload, size);

  static const struct {
    JoinReqIdentifier_t Type;
    Mlme_t Mlme;
  } trials[] = {
      {JOIN_REQ, MLME_JOIN},
      {REJOIN_REQ_0, MLME_REJOIN_0},
      {REJOIN_REQ_1, MLME_REJOIN_1},
      {REJOIN_REQ_2, MLME_REJOIN_2},
  };
  bool accepted = false;
  Mlme_t mlmeType = MLME_JOIN;
  JoinReqIdentifier_t joinType = JOIN_REQ;
  for (const auto& trial : trials) {
    memcpy(MacCtx.RxPayload, received, size);
    joinAccept = {};
    joinAccept.Buffer = MacCtx.RxPayload;
    joinAccept.BufSize = (uint8_t)size;
    if (LoRaMacCryptoHandleJoinAccept(trial.Type, SecureElementGetJoinEui(), &joinAccept,
                                      JoinAcceptUsable) == LORAMAC_CRYPTO_SUCCESS) {
      accepted = true;
      mlmeType = trial.Mlme;
      joinType = trial.Type;
      break;
    }
  }

  if (!accepted) {
    if (LoRaMacConfirmQueueIsCmdActive(MLME_JOIN)) {
      LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_JOIN_FAIL, MLME_JOIN);
    }
    // Not an answer to this device: RX2 may still bring one.
    if (MacCtx.RxSlot == RX_SLOT_WIN_1 && Rx2StillAhead()) {
      MacCtx.JoinAcceptRefused = true;
      UpdateRxSlotIdleState();
      return;
    }
    FinishRxDone(true);
    return;
  }

  g2.NetID = (uint32_t)joinAccept.NetID[0] | ((uint32_t)joinAccept.NetID[1] << 8) |
             ((uint32_t)joinAccept.NetID[2] << 16);
  g2.DevAddr = joinAccept.DevAddr;
  Params().Rx1DrOffset = joinAccept.DLSettings.Bits.RX1DRoffset;
  if (joinAccept.DLSettings.Bits.RX2DataRate != 0x0F) {
    Params().Rx2Channel.Datarate = joinAccept.DLSettings.Bits.RX2DataRate;
    Params().RxCChannel.Datarate = joinAccept.DLSettings.Bits.RX2DataRate;
  }
  // RxDelay carries the delay in its low four bits; the others are RFU.
  uint32_t rxDelay = joinAccept.RxDelay & 0x0F;
  if (rxDelay == 0) {
    rxDelay = 1;
  }
  Params().ReceiveDelay1 = rxDelay * 1000;
  Params().ReceiveDelay2 = Params().ReceiveDelay1 + 1000;
  g2.Version.Value = joinAccept.DLSettings.Bits.OptNeg ? 0x01010100 : 0x01000400;
  Params().ChannelsNbTrans = 1;

  ApplyCFListParams_t cfList = {};
  cfList.JoinChannel = MacCtx.Channel;
  cfList.Payload = joinAccept.CFList;
  cfList.Size = (uint8_t)(size - LORAMAC_JOIN_ACCEPT_FRAME_MIN_SIZE);
  RegionApplyCFList(Region(), &cfList);

  g2.NetworkActivation = ACTIVATION_TYPE_OTAA;

  if (IsLoRaWan11()) {
    Nvm.MacGroup1.RekeyIndUplinksCounter = 0;
    uint8_t minor = g2.Version.Fields.Minor;
    LoRaMacCommandsAddCmd(MOTE_MAC_REKEY_IND, &minor, 1);
  }

  LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_OK, mlmeType);
  g2.IsRejoinAcceptPending = false;
  TimerStop(&MacCtx.ForceRejoinReqCycleTimer);
  if (joinType == REJOIN_REQ_0 || joinType == REJOIN_REQ_1) {
    ResetMacParameters(true);
  }
  // The join ends the exchange even in RX1.
  TimerStop(&MacCtx.RxWindowTimer2);
  FinishRxDone(true);
}

void ProcessDataDownlink(uint8_t* payload, uint16_t size, LoRaMacHeader_t macHdr, int8_t snr) {
  LoRaMacNvmDataGroup1_t& g1 = Nvm.MacGroup1;
  LoRaMacNvmDataGroup2_t& g2 = Nvm.MacGroup2;
  McpsIndication_t& ind = MacCtx.McpsIndication;

  if ((size < LORAMAC_FRAME_PAYLOAD_MIN_SIZE) ||
      (size - LORAMAC_FRAME_PAYLOAD_OVERHEAD_SIZE > MaxDownlinkPayload((int8_t)ind.RxDatarate))) {
    ind.Status = LORAMAC_EVENT_INFO_STATUS_ERROR;
    PrepareRxDoneAbort();
    return;
  }

  LoRaMacMessageData_t macMsg = {};
  macMsg.Buffer = payload;
  macMsg.BufSize = (uint8_t)size;
  macMsg.FRMPayload = MacCtx.RxPayload;
  macMsg.FRMPayloadSize = LORAMAC_RX_PAYLOAD_SIZE;
  if (LoRaMacParserData(&macMsg) != LORAMAC_PARSER_SUCCESS) {
    ind.Status = LORAMAC_EVENT_INFO_STATUS_ERROR;
    PrepareRxDoneAbort();
    return;
  }

  if (g2.DeviceClass == CLASS_B) {
    if (LoRaMacClassBIsPingExpected()) {
      LoRaMacClassBSetPingSlotState(PINGSLOT_STATE_CALC_PING_OFFSET);
      LoRaMacClassBPingSlotTimerEvent(nullptr);
      ind.RxSlot = RX_SLOT_WIN_CLASS_B_PING_SLOT;
      LoRaMacClassBSetFPendingBit(macMsg.FHDR.DevAddr, (uint8_t)macMsg.FHDR.FCtrl.Bits.FPending);
    } else if (LoRaMacClassBIsMulticastExpected()) {
      LoRaMacClassBSetMulticastSlotState(PINGSLOT_STATE_CALC_PING_OFFSET);
      LoRaMacClassBMulticastSlotTimerEvent(nullptr);
      ind.RxSlot = RX_SLOT_WIN_CLASS_B_MULTICAST_SLOT;
      LoRaMacClassBSetFPendingBit(macMsg.FHDR.DevAddr, (uint8_t)macMsg.FHDR.FCtrl.Bits.FPending);
    }
  }

  ind.DevAddress = macMsg.FHDR.DevAddr;
  FType_t fType = FRAME_TYPE_B;
  if (!DetermineFrameType(&macMsg, &fType)) {
    ind.Status = LORAMAC_EVENT_INFO_STATUS_ERROR;
    PrepareRxDoneAbort();
    return;
  }

  AddressIdentifier_t addrID = UNICAST_DEV_ADDR;
  uint32_t address = g2.DevAddr;
  uint8_t multicast = 0;
  for (uint8_t i = 0; i < LORAMAC_MAX_MC_CTX; i++) {
    const MulticastCtx_t& group = g2.MulticastChannelList[i];
    if (group.ChannelParams.Address == macMsg.FHDR.DevAddr && group.ChannelParams.IsEnabled) {
      multicast = 1;
      addrID = group.ChannelParams.GroupID;
      address = group.ChannelParams.Address;
      if (g2.DeviceClass == CLASS_C) {
        ind.RxSlot = RX_SLOT_WIN_CLASS_C_MULTICAST;
      }
      break;
    }
  }
  if (multicast == 1 && (fType != FRAME_TYPE_D || macMsg.FHDR.FCtrl.Bits.Ack == 1 ||
                         macMsg.FHDR.FCtrl.Bits.AdrAckReq == 1)) {
    ind.Status = LORAMAC_EVENT_INFO_STATUS_ERROR;
    PrepareRxDoneAbort();
    return;
  }

  FCntIdentifier_t fCntID = GetFCntDown(addrID, fType);
  uint32_t downLinkCounter = 0;
  LoRaMacCryptoStatus_t cryptoStatus =
      LoRaMacCryptoGetFCntDown(fCntID, macMsg.FHDR.FCnt, &downLinkCounter);
  if (cryptoStatus != LORAMAC_CRYPTO_SUCCESS) {
    ind.Status = (cryptoStatus == LORAMAC_CRYPTO_FAIL_FCNT_DUPLICATED)
                     ? LORAMAC_EVENT_INFO_STATUS_DOWNLINK_REPEATED
                     : LORAMAC_EVENT_INFO_STATUS_ERROR;
    ind.DownLinkCounter = downLinkCounter;
    PrepareRxDoneAbort();
    return;
  }

  cryptoStatus = LoRaMacCryptoUnsecureMessage(addrID, address, fCntID, downLinkCounter, &macMsg);
  if (cryptoStatus != LORAMAC_CRYPTO_SUCCESS) {
    ind.Status = (cryptoStatus == LORAMAC_CRYPTO_FAIL_ADDRESS)
                     ? LORAMAC_EVENT_INFO_STATUS_ADDRESS_FAIL
                     : LORAMAC_EVENT_INFO_STATUS_MIC_FAIL;
    PrepareRxDoneAbort();
    return;
  }

  // Accepted for this device: in RX1 there is no need for RX2 any more.
  if (MacCtx.RxSlot == RX_SLOT_WIN_1) {
    TimerStop(&MacCtx.RxWindowTimer2);
  }

  ind.Status = LORAMAC_EVENT_INFO_STATUS_OK;
  ind.Multicast = multicast;
  ind.Buffer = nullptr;
  ind.BufferSize = 0;
  ind.DownLinkCounter = downLinkCounter;
  ind.AckReceived = macMsg.FHDR.FCtrl.Bits.Ack;
  MacCtx.McpsConfirm.Status = LORAMAC_EVENT_INFO_STATUS_OK;
  if (MacCtx.RxSlot == RX_SLOT_WIN_1 || MacCtx.RxSlot == RX_SLOT_WIN_2) {
    g2.DownlinkReceived = true;
    g1.AdrAckCounter = 0;
    MacCtx.DownlinkInRx1Or2 = true;
  }

  if (multicast == 1) {
    ind.McpsIndication = MCPS_MULTICAST;
  } else if (macHdr.Bits.MType == FRAME_TYPE_DATA_CONFIRMED_DOWN) {
    g1.SrvAckRequested = true;
    if (!IsLoRaWan11()) {
      g1.LastRxMic = macMsg.MIC;
    }
    ind.McpsIndication = MCPS_CONFIRMED;
    if (MacCtx.RxSlot != RX_SLOT_WIN_1 && MacCtx.RxSlot != RX_SLOT_WIN_2) {
      ind.ResponseTimeout = LORAMAC_CLASS_B_C_RESPONSE_TIMEOUT;
      MacCtx.ResponseTimeoutStartTime = RxDoneParams.LastRxDone;
    }
  } else {
    g1.SrvAckRequested = false;
    ind.McpsIndication = MCPS_UNCONFIRMED;
  }

  if ((g2.DeviceClass == CLASS_A && (g1.SrvAckRequested || macMsg.FHDR.FCtrl.Bits.FPending > 0)) ||
      ind.ResponseTimeout > 0) {
    ind.IsUplinkTxPending = 1;
  }

  MacCtx.McpsConfirm.AckReceived = macMsg.FHDR.FCtrl.Bits.Ack;
  RemoveMacCommands(MacCtx.RxSlot, macMsg.FHDR.FCtrl, MacCtx.McpsConfirm.McpsRequest);

  // A downlink shows the network hears the device: forced rejoins stop.
  // This comes before the frame's own commands, so that a ForceRejoinReq
  // in it starts its requests and retries anew instead of being cancelled
  // by the frame that carried it.
  g2.IsRejoinAcceptPending = false;
  TimerStop(&MacCtx.ForceRejoinReqCycleTimer);

  switch (fType) {
    case FRAME_TYPE_A:
      ProcessMacCommands(macMsg.FHDR.FOpts, 0, macMsg.FHDR.FCtrl.Bits.FOptsLen, snr, MacCtx.RxSlot);
      ind.Port = macMsg.FPort;
      ind.Buffer = macMsg.FRMPayload;
      ind.BufferSize = macMsg.FRMPayloadSize;
      ind.RxData = true;
      break;
    case FRAME_TYPE_B:
      ProcessMacCommands(macMsg.FHDR.FOpts, 0, macMsg.FHDR.FCtrl.Bits.FOptsLen, snr, MacCtx.RxSlot);
      ind.Port = macMsg.FPort;
      break;
    case FRAME_TYPE_C:
      ProcessMacCommands(macMsg.FRMPayload, 0, macMsg.FRMPayloadSize, snr, MacCtx.RxSlot);
      ind.Port = macMsg.FPort;
      break;
    case FRAME_TYPE_D:
      ind.Port = macMsg.FPort;
      ind.Buffer = macMsg.FRMPayload;
      ind.BufferSize = macMsg.FRMPayloadSize;
      ind.RxData = true;
      break;
  }

  if (MacCtx.MacFlags.Bits.MlmeReq == 1) {
    MacCtx.MlmeConfirm.Status = LORAMAC_EVENT_INFO_STATUS_OK;
  }

  if (ind.Port == LORAMAC_CERT_FPORT && !g2.IsCertPortOn) {
    ind.Buffer = nullptr;
    ind.BufferSize = 0;
    ind.RxData = false;
  }

  MacCtx.MacFlags.Bits.McpsInd = 1;
  FinishRxDone(true);
}

void ProcessRadioRxDone() {
  uint8_t* payload = RxDoneParams.Payload;
  uint16_t size = RxDoneParams.Size;
  int16_t rssi = RxDoneParams.Rssi;
  int8_t snr = RxDoneParams.Snr;
  McpsIndication_t& ind = MacCtx.McpsIndication;

  LoRaMacRadioEvents.Events.RxProcessPending = 0;
  MacCtx.McpsConfirm.AckReceived = false;
  ind.McpsIndication = MCPS_UNCONFIRMED;
  ind.Status = LORAMAC_EVENT_INFO_STATUS_OK;
  ind.Multicast = 0;
  ind.Port = 0;
  ind.IsUplinkTxPending = 0;
  ind.Buffer = nullptr;
  ind.BufferSize = 0;
  ind.RxData = false;
  ind.AckReceived = false;
  ind.DownLinkCounter = 0;
  ind.DevAddress = 0;
  ind.DeviceTimeAnsReceived = false;
  ind.ResponseTimeout = 0;
  ind.Rssi = rssi;
  ind.Snr = snr;
  ind.RxSlot = MacCtx.RxSlot;

  // RX2 stays armed until the frame is known to be for this device.
  Radio.Sleep();

  if (LoRaMacClassBRxBeacon(payload, size)) {
    MacCtx.MlmeIndication.BeaconInfo.Rssi = rssi;
    MacCtx.MlmeIndication.BeaconInfo.Snr = snr;
    return;
  }
  if (Nvm.MacGroup2.DeviceClass == CLASS_B) {
    if (LoRaMacClassBIsPingExpected()) {
      LoRaMacClassBSetPingSlotState(PINGSLOT_STATE_CALC_PING_OFFSET);
      LoRaMacClassBPingSlotTimerEvent(nullptr);
      ind.RxSlot = RX_SLOT_WIN_CLASS_B_PING_SLOT;
    } else if (LoRaMacClassBIsMulticastExpected()) {
      LoRaMacClassBSetMulticastSlotState(PINGSLOT_STATE_CALC_PING_OFFSET);
      LoRaMacClassBMulticastSlotTimerEvent(nullptr);
      ind.RxSlot = RX_SLOT_WIN_CLASS_B_MULTICAST_SLOT;
    }
  }

  LoRaMacHeader_t macHdr;
  if (size == 0 || ((macHdr.Value = payload[0]), macHdr.Bits.Major != 0)) {
    ind.Status = LORAMAC_EVENT_INFO_STATUS_ERROR;
    PrepareRxDoneAbort();
    return;
  }

  switch (macHdr.Bits.MType) {
    case FRAME_TYPE_JOIN_ACCEPT:
      ProcessJoinAccept(payload, size);
      return;
    case FRAME_TYPE_DATA_CONFIRMED_DOWN:
    case FRAME_TYPE_DATA_UNCONFIRMED_DOWN:
      ProcessDataDownlink(payload, size, macHdr, snr);
      return;
    case FRAME_TYPE_PROPRIETARY:
      // Nothing authenticates a proprietary frame (no address, counter or
      // MIC): anyone on the channel can send one, so it is never taken as
      // a downlink of this device.
      ind.Status = LORAMAC_EVENT_INFO_STATUS_ERROR;
      PrepareRxDoneAbort();
      return;
    default:
      ind.Status = LORAMAC_EVENT_INFO_STATUS_ERROR;
      PrepareRxDoneAbort();
      return;
  }
}

// --- uplink path -------------------------------------------------------------

/*!
 * Chooses the pending MAC commands that go out with this frame: whole
 * commands, in list order, up to \a budget bytes. The rest stays queued for
 * a later uplink (see RequeueUnsentCmds).
 */
LoRaMacStatus_t TakePendingCmds(uint8_t budget) {
  size_t serialized = 0;
  MacCtx.PendingCmdsSize = 0;
  MacCtx.SentCmdsSize = 0;
  // The whole list always fits this buffer, so nothing is dropped here.
  if (LoRaMacCommandsSerializeCmds(sizeof(MacCtx.PendingCmds), &serialized, MacCtx.PendingCmds) !=
      LORAMAC_COMMANDS_SUCCESS) {
    return LORAMAC_STATUS_MAC_COMMAD_ERROR;
  }
  MacCtx.PendingCmdsSize = (uint8_t)serialized;
  uint8_t taken = 0;
  while (taken < MacCtx.PendingCmdsSize) {
    uint8_t cmdSize = (uint8_t)(1 + UplinkCmdPayloadSize(MacCtx.PendingCmds[taken]));
    if (taken + cmdSize > budget) {
      break;
    }
    taken = (uint8_t)(taken + cmdSize);
  }
  MacCtx.SentCmdsSize = taken;
  return LORAMAC_STATUS_OK;
}

/*!
 * After a frame went out, the non-sticky commands are taken off the list;
 * those that did not fit into it are queued again.
 */
void RequeueUnsentCmds() {
  uint8_t i = MacCtx.SentCmdsSize;
  while (i < MacCtx.PendingCmdsSize) {
    uint8_t cid = MacCtx.PendingCmds[i];
    uint8_t size = UplinkCmdPayloadSize(cid);
    if (i + 1 + size > MacCtx.PendingCmdsSize) {
      break;
    }
    if (!IsStickyCmd(cid)) {
      LoRaMacCommandsAddCmd(cid, &MacCtx.PendingCmds[i + 1], size);
    }
    i = (uint8_t)(i + 1 + size);
  }
  MacCtx.PendingCmdsSize = 0;
  MacCtx.SentCmdsSize = 0;
}

LoRaMacStatus_t PrepareFrame(LoRaMacHeader_t* macHdr, LoRaMacFrameCtrl_t* fCtrl, uint8_t fPort,
                             void* fBuffer, uint16_t fBufferSize) {
  MacCtx.PktBufferLen = 0;
  MacCtx.NodeAckRequested = false;
  MacCtx.PendingCmdsSize = 0;
  MacCtx.SentCmdsSize = 0;
  if (fBuffer == nullptr) {
    fBufferSize = 0;
  }
  if (fBufferSize > LORAMAC_PHY_MAXPAYLOAD) {
    return LORAMAC_STATUS_LENGTH_ERROR;
  }
  if (fBufferSize > 0) {
    memcpy(MacCtx.AppData, fBuffer, fBufferSize);
  }
  MacCtx.AppDataSize = (uint8_t)fBufferSize;
  MacCtx.PktBuffer[0] = macHdr->Value;

  switch (macHdr->Bits.MType) {
    case FRAME_TYPE_DATA_CONFIRMED_UP:
      MacCtx.NodeAckRequested = true;
      [[fallthrough]];
    case FRAME_TYPE_DATA_UNCONFIRMED_UP:
      break;
    default:
      return LORAMAC_STATUS_SERVICE_UNKNOWN;
  }

  LoRaMacMessageData_t& data = MacCtx.TxMsg.Message.Data;
  MacCtx.TxMsg.Type = LORAMAC_MSG_TYPE_DATA;
  data = {};
  data.Buffer = MacCtx.PktBuffer;
  data.BufSize = LORAMAC_PHY_MAXPAYLOAD;
  data.MHDR.Value = macHdr->Value;
  data.FPort = fPort;
  data.FHDR.DevAddr = Nvm.MacGroup2.DevAddr;
  data.FHDR.FCtrl.Value = fCtrl->Value;
  data.FRMPayload = MacCtx.AppData;
  data.FRMPayloadSize = MacCtx.AppDataSize;

  uint32_t fCntUp = 0;
  if (LoRaMacCryptoGetFCntUp(&fCntUp) != LORAMAC_CRYPTO_SUCCESS) {
    return LORAMAC_STATUS_FCNT_HANDLER_ERROR;
  }
  MacCtx.McpsConfirm.AckReceived = false;
  MacCtx.McpsConfirm.NbTrans = 0;
  data.FHDR.FCnt = (uint16_t)(fCntUp - 1);
  MacCtx.McpsConfirm.UpLinkCounter = fCntUp;

  size_t cmdsSize = 0;
  if (LoRaMacCommandsGetSizeSerializedCmds(&cmdsSize) != LORAMAC_COMMANDS_SUCCESS) {
    return LORAMAC_STATUS_MAC_COMMAD_ERROR;
  }
  if (cmdsSize == 0) {
    return LORAMAC_STATUS_OK;
  }

  uint8_t maxPayload = MaxPayload(Nvm.MacGroup1.ChannelsDatarate);
  if (MacCtx.AppDataSize == 0) {
    // Commands only: they go as the payload on port 0.
    uint8_t budget =
        (maxPayload < LORA_MAC_COMMAND_MAX_LENGTH) ? maxPayload : LORA_MAC_COMMAND_MAX_LENGTH;
    if (TakePendingCmds(budget) != LORAMAC_STATUS_OK) {
      return LORAMAC_STATUS_MAC_COMMAD_ERROR;
    }
    memcpy(MacCtx.MacCommandsBuffer, MacCtx.PendingCmds, MacCtx.SentCmdsSize);
    data.FPort = 0;
    data.FRMPayload = MacCtx.MacCommandsBuffer;
    data.FRMPayloadSize = MacCtx.SentCmdsSize;
  } else {
    // Beside application data the commands ride in FOpts, as many whole
    // commands as fit; the others wait for a later uplink.
    uint8_t budget = 0;
    if (MacCtx.AppDataSize < maxPayload) {
      uint8_t room = (uint8_t)(maxPayload - MacCtx.AppDataSize);
      budget =
          (room < LORA_MAC_COMMAND_MAX_FOPTS_LENGTH) ? room : LORA_MAC_COMMAND_MAX_FOPTS_LENGTH;
    }
    if (TakePendingCmds(budget) != LORAMAC_STATUS_OK) {
      return LORAMAC_STATUS_MAC_COMMAD_ERROR;
    }
    memcpy(data.FHDR.FOpts, MacCtx.PendingCmds, MacCtx.SentCmdsSize);
    fCtrl->Bits.FOptsLen = MacCtx.SentCmdsSize & 0x0F;
    data.FHDR.FCtrl.Value = fCtrl->Value;
  }
  return LORAMAC_STATUS_OK;
}

void CalculateBackOff() {
  if (Nvm.MacGroup1.AggregatedTimeOff == 0) {
    Nvm.MacGroup1.AggregatedTimeOff = MacCtx.TxTimeOnAir * (Nvm.MacGroup2.AggregatedDCycle - 1);
  }
}

LoRaMacStatus_t SerializeTxFrame() {
  LoRaMacSerializerStatus_t status;
  switch (MacCtx.TxMsg.Type) {
    case LORAMAC_MSG_TYPE_JOIN_REQUEST:
      status = LoRaMacSerializerJoinRequest(&MacCtx.TxMsg.Message.JoinReq);
      MacCtx.PktBufferLen = MacCtx.TxMsg.Message.JoinReq.BufSize;
      break;
    case LORAMAC_MSG_TYPE_RE_JOIN_1:
      status = LoRaMacSerializerReJoinType1(&MacCtx.TxMsg.Message.ReJoin1);
      MacCtx.PktBufferLen = MacCtx.TxMsg.Message.ReJoin1.BufSize;
      break;
    case LORAMAC_MSG_TYPE_RE_JOIN_0_2:
      status = LoRaMacSerializerReJoinType0or2(&MacCtx.TxMsg.Message.ReJoin0or2);
      MacCtx.PktBufferLen = MacCtx.TxMsg.Message.ReJoin0or2.BufSize;
      break;
    case LORAMAC_MSG_TYPE_DATA:
      status = LoRaMacSerializerData(&MacCtx.TxMsg.Message.Data);
      MacCtx.PktBufferLen = MacCtx.TxMsg.Message.Data.BufSize;
      break;
    default:
      return LORAMAC_STATUS_PARAMETER_INVALID;
  }
  return (status == LORAMAC_SERIALIZER_SUCCESS) ? LORAMAC_STATUS_OK : LORAMAC_STATUS_CRYPTO_ERROR;
}

void ComputeRxWindowParameters() {
  bool join = MacCtx.TxMsg.Type != LORAMAC_MSG_TYPE_DATA;
  int8_t rx1Dr =
      (int8_t)RegionApplyDrOffset(Region(), Params().DownlinkDwellTime,
                                  Nvm.MacGroup1.ChannelsDatarate, (int8_t)Params().Rx1DrOffset);
  RegionComputeRxWindowParameters(Region(), rx1Dr, Params().MinRxSymbols, Params().SystemMaxRxError,
                                  &MacCtx.RxWindow1Config);
  RegionComputeRxWindowParameters(Region(), (int8_t)Params().Rx2Channel.Datarate,
                                  Params().MinRxSymbols, Params().SystemMaxRxError,
                                  &MacCtx.RxWindow2Config);
  uint32_t delay1 = join ? Params().JoinAcceptDelay1 : Params().ReceiveDelay1;
  uint32_t delay2 = join ? Params().JoinAcceptDelay2 : Params().ReceiveDelay2;
  MacCtx.RxWindow1Delay = (uint32_t)((int32_t)delay1 + MacCtx.RxWindow1Config.WindowOffset);
  MacCtx.RxWindow2Delay = (uint32_t)((int32_t)delay2 + MacCtx.RxWindow2Config.WindowOffset);
}

/*! The frame as it goes out must fit the datarate's maximum payload. */
LoRaMacStatus_t VerifyTxFrame() {
  const LoRaMacMessageData_t& data = MacCtx.TxMsg.Message.Data;
  if (MacCtx.TxMsg.Type != LORAMAC_MSG_TYPE_DATA) {
    return LORAMAC_STATUS_OK;
  }
  uint16_t size = (uint16_t)(data.FHDR.FCtrl.Bits.FOptsLen + data.FRMPayloadSize);
  if (size > MaxPayload(Nvm.MacGroup1.ChannelsDatarate)) {
    return LORAMAC_STATUS_LENGTH_ERROR;
  }
  return LORAMAC_STATUS_OK;
}

LoRaMacStatus_t SecureFrame(uint8_t txDr, uint8_t txCh) {
  LoRaMacCryptoStatus_t status;
  switch (MacCtx.TxMsg.Type) {
    case LORAMAC_MSG_TYPE_JOIN_REQUEST:
      status = LoRaMacCryptoPrepareJoinRequest(&MacCtx.TxMsg.Message.JoinReq);
      MacCtx.PktBufferLen = MacCtx.TxMsg.Message.JoinReq.BufSize;
      break;
    case LORAMAC_MSG_TYPE_RE_JOIN_1:
      status = LoRaMacCryptoPrepareReJoinType1(&MacCtx.TxMsg.Message.ReJoin1);
      MacCtx.PktBufferLen = MacCtx.TxMsg.Message.ReJoin1.BufSize;
      break;
    case LORAMAC_MSG_TYPE_RE_JOIN_0_2:
      status = LoRaMacCryptoPrepareReJoinType0or2(&MacCtx.TxMsg.Message.ReJoin0or2);
      MacCtx.PktBufferLen = MacCtx.TxMsg.Message.ReJoin0or2.BufSize;
      break;
    case LORAMAC_MSG_TYPE_DATA: {
      uint32_t fCntUp = 0;
      if (LoRaMacCryptoGetFCntUp(&fCntUp) != LORAMAC_CRYPTO_SUCCESS) {
        return LORAMAC_STATUS_FCNT_HANDLER_ERROR;
      }
      // A repetition goes out with the counter of the first transmission.
      if (MacCtx.ChannelsNbTransCounter >= 1) {
        fCntUp -= 1;
      }
      status = LoRaMacCryptoSecureMessage(fCntUp, txDr, txCh, &MacCtx.TxMsg.Message.Data);
      MacCtx.PktBufferLen = MacCtx.TxMsg.Message.Data.BufSize;
      break;
    }
    default:
      return LORAMAC_STATUS_PARAMETER_INVALID;
  }
  return (status == LORAMAC_CRYPTO_SUCCESS) ? LORAMAC_STATUS_OK : LORAMAC_STATUS_CRYPTO_ERROR;
}

LoRaMacStatus_t SendFrameOnChannel(uint8_t channel) {
  TxConfigParams_t txConfig = {};
  int8_t txPower = 0;
  txConfig.Channel = channel;
  txConfig.Datarate = Nvm.MacGroup1.ChannelsDatarate;
  txConfig.TxPower = Nvm.MacGroup1.ChannelsTxPower;
  txConfig.MaxEirp = Params().MaxEirp;
  txConfig.AntennaGain = Params().AntennaGain;
  txConfig.PktLen = MacCtx.PktBufferLen;
  RegionTxConfig(Region(), &txConfig, &txPower, &MacCtx.TxTimeOnAir);

  MacCtx.McpsConfirm.Status = LORAMAC_EVENT_INFO_STATUS_ERROR;
  MacCtx.McpsConfirm.Datarate = (uint8_t)Nvm.MacGroup1.ChannelsDatarate;
  MacCtx.McpsConfirm.TxPower = txPower;
  MacCtx.McpsConfirm.Channel = channel;
  MacCtx.McpsConfirm.TxTimeOnAir = MacCtx.TxTimeOnAir;
  MacCtx.MlmeConfirm.TxTimeOnAir = MacCtx.TxTimeOnAir;

  if (LoRaMacClassBIsBeaconModeActive()) {
    if (LoRaMacClassBIsUplinkCollision(MacCtx.TxTimeOnAir) > 0) {
      return LORAMAC_STATUS_BUSY_UPLINK_COLLISION;
    }
  }
  if (Nvm.MacGroup2.DeviceClass == CLASS_B) {
    LoRaMacClassBStopRxSlots();
  }
  LoRaMacClassBHaltBeaconing();

  LoRaMacStatus_t status = SecureFrame((uint8_t)Nvm.MacGroup1.ChannelsDatarate, MacCtx.Channel);
  if (status != LORAMAC_STATUS_OK) {
    return status;
  }

  if (MacCtx.ChannelsNbTransCounter == 0) {
    MacCtx.DownlinkInRx1Or2 = false;
  }
  MacCtx.MacState |= LORAMAC_TX_RUNNING;
  MacCtx.ChannelsNbTransCounter++;
  MacCtx.McpsConfirm.NbTrans = MacCtx.ChannelsNbTransCounter;
  MacCtx.ResponseTimeoutStartTime = 0;
  Radio.Send(MacCtx.PktBuffer, (uint8_t)MacCtx.PktBufferLen);
  return LORAMAC_STATUS_OK;
}

LoRaMacStatus_t ScheduleTx(bool allowDelayedTx) {
  if (LoRaMacClassBIsBeaconExpected()) {
    return LORAMAC_STATUS_BUSY_BEACON_RESERVED_TIME;
  }
  if (Nvm.MacGroup2.DeviceClass == CLASS_B &&
      (LoRaMacClassBIsPingExpected() || LoRaMacClassBIsMulticastExpected())) {
    return LORAMAC_STATUS_BUSY_PING_SLOT_WINDOW_TIME;
  }

  CalculateBackOff();

  LoRaMacStatus_t status = SerializeTxFrame();
  if (status != LORAMAC_STATUS_OK) {
    return status;
  }

  NextChanParams_t nextChan = {};
  nextChan.AggrTimeOff = Nvm.MacGroup1.AggregatedTimeOff;
  nextChan.Datarate = Nvm.MacGroup1.ChannelsDatarate;
  nextChan.DutyCycleEnabled = Nvm.MacGroup2.DutyCycleOn;
  nextChan.ElapsedTimeSinceStartUp = ElapsedSinceInit();
  nextChan.LastAggrTx = Nvm.MacGroup1.LastTxDoneTime;
  nextChan.LastTxIsJoinRequest = Nvm.MacGroup2.NetworkActivation == ACTIVATION_TYPE_NONE;
  nextChan.Joined = Nvm.MacGroup2.NetworkActivation != ACTIVATION_TYPE_NONE;
  nextChan.PktLen = MacCtx.PktBufferLen;
  status = RegionNextChannel(Region(), &nextChan, &MacCtx.Channel, &MacCtx.DutyCycleWaitTime,
                             &Nvm.MacGroup1.AggregatedTimeOff);
  if (status != LORAMAC_STATUS_OK) {
    if (status != LORAMAC_STATUS_DUTYCYCLE_RESTRICTED) {
      return status;
    }
    if (MacCtx.DutyCycleWaitTime != 0) {
      if (!allowDelayedTx) {
        return status;
      }
      MacCtx.MacState |= LORAMAC_TX_DELAYED;
      TimerSetValue(&MacCtx.TxDelayedTimer, MacCtx.DutyCycleWaitTime);
      TimerStart(&MacCtx.TxDelayedTimer);
      return LORAMAC_STATUS_OK;
    }
  }

  ComputeRxWindowParameters();

  if (Nvm.MacGroup2.NetworkActivation != ACTIVATION_TYPE_NONE) {
    status = VerifyTxFrame();
    if (status != LORAMAC_STATUS_OK) {
      return status;
    }
  }

  service_lora_arssi_tx_callback(MacCtx.Channel);
  return SendFrameOnChannel(MacCtx.Channel);
}

LoRaMacStatus_t Send(LoRaMacHeader_t* macHdr, uint8_t fPort, void* fBuffer, uint16_t fBufferSize) {
  LoRaMacNvmDataGroup1_t& g1 = Nvm.MacGroup1;
  LoRaMacNvmDataGroup2_t& g2 = Nvm.MacGroup2;

  if (g2.NetworkActivation == ACTIVATION_TYPE_NONE) {
    return LORAMAC_STATUS_NO_NETWORK_JOINED;
  }
  if (g2.MaxDCycle == 0) {
    g1.AggregatedTimeOff = 0;
  }

  LoRaMacFrameCtrl_t fCtrl;
  fCtrl.Value = 0;
  fCtrl.Bits.Adr = g2.AdrCtrlOn ? 1 : 0;
  fCtrl.Bits.FPending = (g2.DeviceClass == CLASS_B) ? 1 : 0;
  fCtrl.Bits.Ack = g1.SrvAckRequested ? 1 : 0;

  int8_t datarate = g1.ChannelsDatarate;
  int8_t txPower = g1.ChannelsTxPower;

  CalcNextAdrParams_t adrNext = {};
  adrNext.UpdateChanMask = true;
  adrNext.AdrEnabled = g2.AdrCtrlOn;
  adrNext.AdrAckCounter = g1.AdrAckCounter;
  adrNext.AdrAckLimit = Params().AdrAckLimit;
  adrNext.AdrAckDelay = Params().AdrAckDelay;
  adrNext.Datarate = g1.ChannelsDatarate;
  adrNext.TxPower = g1.ChannelsTxPower;
  adrNext.NbTrans = Params().ChannelsNbTrans;
  adrNext.UplinkDwellTime = Params().UplinkDwellTime;
  adrNext.Region = Region();
  fCtrl.Bits.AdrAckReq = LoRaMacAdrCalcNext(&adrNext, &g1.ChannelsDatarate, &g1.ChannelsTxPower,
                                            &Params().ChannelsNbTrans, &g1.AdrAckCounter)
                             ? 1
                             : 0;

  LoRaMacStatus_t status = PrepareFrame(macHdr, &fCtrl, fPort, fBuffer, fBufferSize);
  if (status == LORAMAC_STATUS_OK || status == LORAMAC_STATUS_SKIPPED_APP_DATA) {
    status = ScheduleTx(false);
  }

  if (status != LORAMAC_STATUS_OK) {
    g1.ChannelsDatarate = datarate;
    g1.ChannelsTxPower = txPower;
    MacCtx.PendingCmdsSize = 0;
    MacCtx.SentCmdsSize = 0;
    return status;
  }

  g1.SrvAckRequested = false;
  if (LoRaMacCommandsRemoveNoneStickyCmds() != LORAMAC_COMMANDS_SUCCESS) {
    return LORAMAC_STATUS_MAC_COMMAD_ERROR;
  }
  RequeueUnsentCmds();
  return LORAMAC_STATUS_OK;
}

LoRaMacStatus_t SendReJoinReq(JoinReqIdentifier_t joinReqType) {
  LoRaMacNvmDataGroup2_t& g2 = Nvm.MacGroup2;
  LoRaMacHeader_t macHdr;
  macHdr.Value = 0;
  bool allowDelayedTx = true;

  switch (joinReqType) {
    case JOIN_REQ: {
      SwitchClass(CLASS_A);
      LoRaMacMessageJoinRequest_t& msg = MacCtx.TxMsg.Message.JoinReq;
      MacCtx.TxMsg.Type = LORAMAC_MSG_TYPE_JOIN_REQUEST;
      msg = {};
      msg.Buffer = MacCtx.PktBuffer;
      msg.BufSize = LORAMAC_PHY_MAXPAYLOAD;
      macHdr.Bits.MType = FRAME_TYPE_JOIN_REQ;
      msg.MHDR.Value = macHdr.Value;
      memcpy(msg.JoinEUI, SecureElementGetJoinEui(), LORAMAC_JOIN_EUI_FIELD_SIZE);
      memcpy(msg.DevEUI, SecureElementGetDevEui(), LORAMAC_DEV_EUI_FIELD_SIZE);
      allowDelayedTx = false;
      break;
    }
    case REJOIN_REQ_0:
    case REJOIN_REQ_2: {
      g2.IsRejoinAcceptPending = true;
      LoRaMacMessageReJoinType0or2_t& msg = MacCtx.TxMsg.Message.ReJoin0or2;
      MacCtx.TxMsg.Type = LORAMAC_MSG_TYPE_RE_JOIN_0_2;
      msg = {};
      msg.Buffer = MacCtx.PktBuffer;
      msg.BufSize = LORAMAC_PHY_MAXPAYLOAD;
      macHdr.Bits.MType = FRAME_TYPE_REJOIN;
      msg.MHDR.Value = macHdr.Value;
      msg.ReJoinType = (uint8_t)joinReqType;
      msg.NetID[0] = (uint8_t)(g2.NetID & 0xFF);
      msg.NetID[1] = (uint8_t)((g2.NetID >> 8) & 0xFF);
      msg.NetID[2] = (uint8_t)((g2.NetID >> 16) & 0xFF);
      memcpy(msg.DevEUI, SecureElementGetDevEui(), LORAMAC_DEV_EUI_FIELD_SIZE);
      if (LoRaMacCryptoGetRJcount(RJ_COUNT_0, &msg.RJcount0) != LORAMAC_CRYPTO_SUCCESS) {
        return LORAMAC_STATUS_CRYPTO_ERROR;
      }
      break;
    }
    case REJOIN_REQ_1: {
      g2.IsRejoinAcceptPending = true;
      LoRaMacMessageReJoinType1_t& msg = MacCtx.TxMsg.Message.ReJoin1;
      MacCtx.TxMsg.Type = LORAMAC_MSG_TYPE_RE_JOIN_1;
      msg = {};
      msg.Buffer = MacCtx.PktBuffer;
      msg.BufSize = LORAMAC_PHY_MAXPAYLOAD;
      macHdr.Bits.MType = FRAME_TYPE_REJOIN;
      msg.MHDR.Value = macHdr.Value;
      msg.ReJoinType = 1;
      memcpy(msg.JoinEUI, SecureElementGetJoinEui(), LORAMAC_JOIN_EUI_FIELD_SIZE);
      memcpy(msg.DevEUI, SecureElementGetDevEui(), LORAMAC_DEV_EUI_FIELD_SIZE);
      if (LoRaMacCryptoGetRJcount(RJ_COUNT_1, &msg.RJcount1) != LORAMAC_CRYPTO_SUCCESS) {
        return LORAMAC_STATUS_CRYPTO_ERROR;
      }
      break;
    }
    default:
      return LORAMAC_STATUS_SERVICE_UNKNOWN;
  }
  return ScheduleTx(allowDelayedTx);
}

/*!
 * Ends the current exchange as failed, from outside the receive path: the
 * next process step delivers the confirms without sending again.
 */
void EndExchangeWithError(LoRaMacEventInfoStatus_t status) {
  MacCtx.McpsConfirm.Datarate = (uint8_t)Nvm.MacGroup1.ChannelsDatarate;
  MacCtx.McpsConfirm.NbTrans = MacCtx.ChannelsNbTransCounter;
  MacCtx.McpsConfirm.Status = status;
  LoRaMacConfirmQueueSetStatusCmn(status);
  if (MacCtx.MacFlags.Bits.McpsReq == 1) {
    MacCtx.EndExchange = true;
  } else {
    StopRetransmission();
  }
  MacCtx.MacFlags.Bits.MacDone = 1;
  Notify();
}

void OnTxDelayedTimerEvent(void*) {
  TimerStop(&MacCtx.TxDelayedTimer);
  MacCtx.MacState &= ~LORAMAC_TX_DELAYED;

  // The acknowledgement a class B/C confirmed downlink asked for is owed
  // for a limited time only; past it the frame carrying it is dropped and
  // the exchange ends as failed.
  if (MacCtx.ResponseTimeoutStartTime != 0 &&
      TimerGetElapsedTime(MacCtx.ResponseTimeoutStartTime) > LORAMAC_CLASS_B_C_RESPONSE_TIMEOUT) {
    Nvm.MacGroup1.SrvAckRequested = false;
    MacCtx.ResponseTimeoutStartTime = 0;
    EndExchangeWithError(LORAMAC_EVENT_INFO_STATUS_ERROR);
    return;
  }

  LoRaMacStatus_t status = ScheduleTx(true);
  if (status != LORAMAC_STATUS_OK && status != LORAMAC_STATUS_DUTYCYCLE_RESTRICTED) {
    EndExchangeWithError(LORAMAC_EVENT_INFO_STATUS_TX_DR_PAYLOAD_SIZE_ERROR);
  }
}

void OnRetransmitTimeoutTimerEvent(void*) {
  TimerStop(&MacCtx.RetransmitTimeoutTimer);
  if (MacCtx.NodeAckRequested) {
    MacCtx.RetransmitTimeoutRetry = true;
  }
  Notify();
}

/*!
 * One period of a periodic rejoin timer: queue its request and run again.
 * A cycle of 0 s means no periodic rejoin (a new session clears the cycle
 * the network set up): the timer stops and queues nothing, where restarting
 * it with no delay would send rejoin requests back to back.
 */
void RejoinCycleEvent(TimerEvent_t* timer, uint32_t cycleInSec, TimerTime_t* cycleTime,
                      bool* queued) {
  TimerStop(timer);
  if (cycleInSec <= MAX_CYCLE_SECONDS) {
    *cycleTime = cycleInSec * 1000;
  }
  if (*cycleTime == 0) {
    return;
  }
  Notify();
  *queued = true;
  TimerSetValue(timer, *cycleTime);
  TimerStart(timer);
}

void OnRejoin0CycleTimerEvent(void*) {
  RejoinCycleEvent(&MacCtx.Rejoin0CycleTimer, Nvm.MacGroup2.Rejoin0CycleInSec,
                   &MacCtx.Rejoin0CycleTime, &Nvm.MacGroup2.IsRejoin0RequestQueued);
}

void OnRejoin1CycleTimerEvent(void*) {
  RejoinCycleEvent(&MacCtx.Rejoin1CycleTimer, Nvm.MacGroup2.Rejoin1CycleInSec,
                   &MacCtx.Rejoin1CycleTime, &Nvm.MacGroup2.IsRejoin1RequestQueued);
}

void OnForceRejoinReqCycleTimerEvent(void*) {
  if (Nvm.MacGroup2.ForceRejoinType < 2) {
    Nvm.MacGroup2.IsRejoin0RequestQueued = true;
  } else {
    Nvm.MacGroup2.IsRejoin2RequestQueued = true;
  }
  Nvm.MacGroup1.ForceRejoinRetriesCounter++;
  if (Nvm.MacGroup1.ForceRejoinRetriesCounter < Nvm.MacGroup2.ForceRejoinMaxRetries) {
    TimerSetValue(&MacCtx.ForceRejoinReqCycleTimer, MacCtx.ForceRejonCycleTime);
    TimerStart(&MacCtx.ForceRejoinReqCycleTimer);
  } else {
    TimerStop(&MacCtx.ForceRejoinReqCycleTimer);
    Nvm.MacGroup1.ForceRejoinRetriesCounter = 0;
  }
  Notify();
}

LoRaMacStatus_t SetTxContinuousWave(uint16_t timeout, uint32_t frequency, int8_t power) {
  Radio.SetTxContinuousWave(frequency, power, timeout);
  MacCtx.MacState |= LORAMAC_TX_RUNNING;
  return LORAMAC_STATUS_OK;
}

// --- downlink MAC commands ---------------------------------------------------

/*! Maximum EIRP in dBm by the index of a TxParamSetupReq. */
const uint8_t LoRaMacMaxEirpTable[] = {8,  10, 12, 13, 14, 16, 18, 20,
                                       21, 24, 26, 27, 29, 30, 33, 36};

uint32_t Frequency24(const uint8_t* p) {
  return ((uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16)) * 100;
}

/*!
 * Applies the commands of one LinkADRReq block starting at \a index and
 * queues one answer per request consumed; returns the index after it.
 */
uint8_t ProcessLinkAdrBlock(uint8_t* payload, uint8_t index, uint8_t commandsSize) {
  LoRaMacNvmDataGroup1_t& g1 = Nvm.MacGroup1;
  LoRaMacNvmDataGroup2_t& g2 = Nvm.MacGroup2;
  LinkAdrReqParams_t linkAdrReq = {};
  int8_t drOut = 0;
  int8_t txPowOut = 0;
  uint8_t nbRepOut = 0;
  uint8_t nbBytesParsed = 0;

  linkAdrReq.Version = g2.Version;
  linkAdrReq.Payload = &payload[index];
  // With ADR off only this one request is looked at (and refused).
  linkAdrReq.PayloadSize = g2.AdrCtrlOn ? (uint8_t)(commandsSize - index) : 5;
  linkAdrReq.UplinkDwellTime = Params().UplinkDwellTime;
  linkAdrReq.AdrEnabled = g2.AdrCtrlOn;
  linkAdrReq.CurrentDatarate = g1.ChannelsDatarate;
  linkAdrReq.CurrentTxPower = g1.ChannelsTxPower;
  linkAdrReq.CurrentNbRep = Params().ChannelsNbTrans;

  uint8_t status =
      RegionLinkAdrReq(Region(), &linkAdrReq, &drOut, &txPowOut, &nbRepOut, &nbBytesParsed);
  if (!g2.AdrCtrlOn) {
    status = 0;
  } else if ((status & 0x07) == 0x07) {
    if (drOut > g1.ChannelsDatarate) {
      g2.ChannelsDatarateChangedLinkAdrReq = true;
    }
    g1.ChannelsDatarate = drOut;
    g1.ChannelsTxPower = txPowOut;
    Params().ChannelsNbTrans = nbRepOut;
  }
  if (nbBytesParsed == 0) {
    // Nothing consumed: step over this request so the frame still ends.
    return (uint8_t)(index + 5);
  }
  for (uint8_t i = 0; i < nbBytesParsed / 5; i++) {
    LoRaMacCommandsAddCmd(MOTE_MAC_LINK_ADR_ANS, &status, 1);
  }
  return (uint8_t)(index + nbBytesParsed);
}

/*!
 * Whether a LoRaWAN 1.0.x network may send \a cid: the 1.0.4 commands and
 * the class B ones. ResetConf, RekeyConf, ADRParamSetupReq,
 * ForceRejoinReq, RejoinParamSetupReq and DeviceModeConf exist from 1.1 on.
 */
bool IsLoRaWan10Command(uint8_t cid) {
  switch (cid) {
    case SRV_MAC_LINK_CHECK_ANS:
    case SRV_MAC_LINK_ADR_REQ:
    case SRV_MAC_DUTY_CYCLE_REQ:
    case SRV_MAC_RX_PARAM_SETUP_REQ:
    case SRV_MAC_DEV_STATUS_REQ:
    case SRV_MAC_NEW_CHANNEL_REQ:
    case SRV_MAC_RX_TIMING_SETUP_REQ:
    case SRV_MAC_TX_PARAM_SETUP_REQ:
    case SRV_MAC_DL_CHANNEL_REQ:
    case SRV_MAC_DEVICE_TIME_ANS:
    case SRV_MAC_PING_SLOT_INFO_ANS:
    case SRV_MAC_PING_SLOT_CHANNEL_REQ:
    case SRV_MAC_BEACON_TIMING_ANS:
    case SRV_MAC_BEACON_FREQ_REQ:
      return true;
    default:
      return false;
  }
}

void ProcessMacCommands(uint8_t* payload, uint8_t macIndex, uint8_t commandsSize, int8_t snr,
                        LoRaMacRxSlot_t rxSlot) {
  LoRaMacNvmDataGroup1_t& g1 = Nvm.MacGroup1;
  LoRaMacNvmDataGroup2_t& g2 = Nvm.MacGroup2;
  bool adrBlockProcessed = false;
  uint8_t answer[2];

  // Commands count only in the windows that answer an uplink.
  if (rxSlot != RX_SLOT_WIN_1 && rxSlot != RX_SLOT_WIN_2) {
    return;
  }

  while (macIndex < commandsSize) {
    uint8_t cid = payload[macIndex];
    uint8_t cmdSize = LoRaMacCommandsGetCmdSize(cid);
    if (cmdSize == 0 || (uint16_t)macIndex + cmdSize > commandsSize) {
      // Unknown or truncated: the rest of the frame cannot be read.
      return;
    }
    if (!IsLoRaWan11() && !IsLoRaWan10Command(cid)) {
      // A command this session's version does not define: its length and
      // meaning are not this version's, so nothing after it can be read.
      return;
    }
    const uint8_t* p = &payload[macIndex + 1];

    switch (cid) {
      case SRV_MAC_RESET_CONF:
      case SRV_MAC_REKEY_CONF: {
        uint8_t serverMinor = p[0];
        if (serverMinor <= g2.Version.Fields.Minor) {
          MacCommand_t* cmd = nullptr;
          uint8_t ind = (cid == SRV_MAC_RESET_CONF) ? MOTE_MAC_RESET_IND : MOTE_MAC_REKEY_IND;
          if (LoRaMacCommandsGetCmd(ind, &cmd) == LORAMAC_COMMANDS_SUCCESS) {
            LoRaMacCommandsRemoveCmd(cmd);
          }
        }
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      }
      case SRV_MAC_LINK_CHECK_ANS:
        if (LoRaMacConfirmQueueIsCmdActive(MLME_LINK_CHECK)) {
          LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_OK, MLME_LINK_CHECK);
          MacCtx.MlmeConfirm.DemodMargin = p[0];
          MacCtx.MlmeConfirm.NbGateways = p[1];
        }
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      case SRV_MAC_LINK_ADR_REQ:
        if (adrBlockProcessed) {
          macIndex = (uint8_t)(macIndex + cmdSize);
          break;
        }
        adrBlockProcessed = true;
        macIndex = ProcessLinkAdrBlock(payload, macIndex, commandsSize);
        // Requests directly behind the block form another block.
        while (macIndex < commandsSize && payload[macIndex] == SRV_MAC_LINK_ADR_REQ &&
               (uint16_t)macIndex + 5 <= commandsSize) {
          macIndex = ProcessLinkAdrBlock(payload, macIndex, commandsSize);
        }
        break;
      case SRV_MAC_DUTY_CYCLE_REQ:
        g2.MaxDCycle = p[0] & 0x0F;
        g2.AggregatedDCycle = (uint16_t)(1U << g2.MaxDCycle);
        LoRaMacCommandsAddCmd(MOTE_MAC_DUTY_CYCLE_ANS, answer, 0);
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      case SRV_MAC_RX_PARAM_SETUP_REQ: {
        RxParamSetupReqParams_t rxParamSetupReq = {};
        rxParamSetupReq.DrOffset = (int8_t)((p[0] >> 4) & 0x07);
        rxParamSetupReq.Datarate = (int8_t)(p[0] & 0x0F);
        if (rxParamSetupReq.Datarate == 0x0F) {
          rxParamSetupReq.Datarate = (int8_t)Params().Rx2Channel.Datarate;
        }
        rxParamSetupReq.Frequency = Frequency24(&p[1]);
        uint8_t status = RegionRxParamSetupReq(Region(), &rxParamSetupReq);
        if ((status & 0x07) == 0x07) {
          Params().Rx2Channel.Datarate = (uint8_t)rxParamSetupReq.Datarate;
          Params().RxCChannel.Datarate = (uint8_t)rxParamSetupReq.Datarate;
          Params().Rx2Channel.Frequency = rxParamSetupReq.Frequency;
          Params().RxCChannel.Frequency = rxParamSetupReq.Frequency;
          Params().Rx1DrOffset = (uint8_t)rxParamSetupReq.DrOffset;
          MacCtx.RxWindowCConfig.Frequency = rxParamSetupReq.Frequency;
        }
        answer[0] = status;
        LoRaMacCommandsAddCmd(MOTE_MAC_RX_PARAM_SETUP_ANS, answer, 1);
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      }
      case SRV_MAC_DEV_STATUS_REQ: {
        uint8_t battery = 255;
        if (MacCtx.MacCallbacks != nullptr && MacCtx.MacCallbacks->GetBatteryLevel != nullptr) {
          battery = MacCtx.MacCallbacks->GetBatteryLevel();
        }
        answer[0] = battery;
        // The margin is a signed 6-bit field: an SNR outside it is
        // clamped, not wrapped into a value of the other sign.
        int8_t margin = (snr < -32) ? (int8_t)-32 : (snr > 31) ? (int8_t)31 : snr;
        answer[1] = (uint8_t)(margin & 0x3F);
        LoRaMacCommandsAddCmd(MOTE_MAC_DEV_STATUS_ANS, answer, 2);
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      }
      case SRV_MAC_NEW_CHANNEL_REQ: {
        ChannelParams_t channel = {};
        NewChannelReqParams_t newChannelReq = {};
        newChannelReq.ChannelId = (int8_t)p[0];
        channel.Frequency = Frequency24(&p[1]);
        channel.Rx1Frequency = 0;
        channel.DrRange.Value = (int8_t)p[4];
        newChannelReq.NewChannel = &channel;
        int8_t status = RegionNewChannelReq(Region(), &newChannelReq);
        if (status >= 0) {
          answer[0] = (uint8_t)status;
          LoRaMacCommandsAddCmd(MOTE_MAC_NEW_CHANNEL_ANS, answer, 1);
        }
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      }
      case SRV_MAC_RX_TIMING_SETUP_REQ: {
        uint8_t delay = p[0] & 0x0F;
        if (delay == 0) {
          delay = 1;
        }
        Params().ReceiveDelay1 = delay * 1000U;
        Params().ReceiveDelay2 = Params().ReceiveDelay1 + 1000;
        LoRaMacCommandsAddCmd(MOTE_MAC_RX_TIMING_SETUP_ANS, answer, 0);
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      }
      case SRV_MAC_TX_PARAM_SETUP_REQ: {
        TxParamSetupReqParams_t txParamSetupReq = {};
        txParamSetupReq.DownlinkDwellTime = (p[0] >> 5) & 0x01;
        txParamSetupReq.UplinkDwellTime = (p[0] >> 4) & 0x01;
        txParamSetupReq.MaxEirp = p[0] & 0x0F;
        if (RegionTxParamSetupReq(Region(), &txParamSetupReq) != -1) {
          Params().UplinkDwellTime = txParamSetupReq.UplinkDwellTime;
          Params().DownlinkDwellTime = txParamSetupReq.DownlinkDwellTime;
          Params().MaxEirp = LoRaMacMaxEirpTable[txParamSetupReq.MaxEirp];
          int8_t minDr = (int8_t)GetPhy(PHY_MIN_TX_DR);
          if (g1.ChannelsDatarate < minDr) {
            g1.ChannelsDatarate = minDr;
          }
          LoRaMacCommandsAddCmd(MOTE_MAC_TX_PARAM_SETUP_ANS, answer, 0);
        }
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      }
      case SRV_MAC_DL_CHANNEL_REQ: {
        DlChannelReqParams_t dlChannelReq = {};
        dlChannelReq.ChannelId = p[0];
        dlChannelReq.Rx1Frequency = Frequency24(&p[1]);
        int8_t status = RegionDlChannelReq(Region(), &dlChannelReq);
        if (status >= 0) {
          answer[0] = (uint8_t)status;
          LoRaMacCommandsAddCmd(MOTE_MAC_DL_CHANNEL_ANS, answer, 1);
        }
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      }
      case SRV_MAC_ADR_PARAM_SETUP_REQ:
        Params().AdrAckDelay = (uint16_t)(1U << (p[0] & 0x0F));
        Params().AdrAckLimit = (uint16_t)(1U << ((p[0] >> 4) & 0x0F));
        LoRaMacCommandsAddCmd(MOTE_MAC_ADR_PARAM_SETUP_ANS, answer, 0);
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      case SRV_MAC_DEVICE_TIME_ANS:
        if (LoRaMacConfirmQueueIsCmdActive(MLME_DEVICE_TIME)) {
          LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_OK, MLME_DEVICE_TIME);
          SysTime_t gpsEpochTime = {};
          gpsEpochTime.Seconds = (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
                                 ((uint32_t)p[3] << 24);
          gpsEpochTime.SubSeconds = (int16_t)(((uint32_t)p[4] * 1000) >> 8);
          SysTime_t received = gpsEpochTime;
          received.Seconds += UNIX_GPS_EPOCH_OFFSET;
          SysTime_t now = SysTimeGet();
          SysTimeSet(SysTimeAdd(now, SysTimeSub(received, MacCtx.LastTxSysTime)));
          LoRaMacClassBDeviceTimeAns();
          MacCtx.McpsIndication.DeviceTimeAnsReceived = true;
        } else {
          MacCtx.McpsIndication.DeviceTimeAnsReceived = false;
        }
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      case SRV_MAC_FORCE_REJOIN_REQ: {
        // The rejoin goes out at the datarate the network names: one the
        // region cannot send at makes the whole command void (it has no
        // answer to refuse it with).
        VerifyParams_t verify = {};
        verify.DatarateParams.Datarate = (int8_t)(p[1] & 0x0F);
        verify.DatarateParams.UplinkDwellTime = Params().UplinkDwellTime;
        if (!RegionVerify(Region(), &verify, PHY_TX_DR)) {
          macIndex = (uint8_t)(macIndex + cmdSize);
          break;
        }
        uint8_t period = (p[0] >> 3) & 0x07;
        g2.ForceRejoinMaxRetries = p[0] & 0x07;
        g2.ForceRejoinType = (p[1] >> 4) & 0x07;
        g1.ChannelsDatarate = (int8_t)(p[1] & 0x0F);
        uint32_t seconds = 32U * (1U << period) + (uint32_t)randr(0, 32);
        MacCtx.ForceRejonCycleTime = (seconds > MAX_CYCLE_SECONDS) ? 0 : seconds * 1000;
        g1.ForceRejoinRetriesCounter = 0;
        OnForceRejoinReqCycleTimerEvent(nullptr);
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      }
      case SRV_MAC_REJOIN_PARAM_REQ: {
        uint8_t timeExp = (p[0] >> 4) & 0x0F;
        uint8_t countExp = p[0] & 0x0F;
        uint32_t cycle = 1U << (timeExp + 10);
        answer[0] = 0;
        if (cycle <= MAX_CYCLE_SECONDS) {
          answer[0] = 1;
          g2.Rejoin0UplinksLimit = 1U << (countExp + 4);
          g2.Rejoin0CycleInSec = cycle;
          MacCtx.Rejoin0CycleTime = cycle * 1000;
          TimerStop(&MacCtx.Rejoin0CycleTimer);
          TimerSetValue(&MacCtx.Rejoin0CycleTimer, MacCtx.Rejoin0CycleTime);
          TimerStart(&MacCtx.Rejoin0CycleTimer);
        }
        LoRaMacCommandsAddCmd(MOTE_MAC_REJOIN_PARAM_ANS, answer, 1);
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      }
      case SRV_MAC_PING_SLOT_INFO_ANS:
        if (LoRaMacConfirmQueueIsCmdActive(MLME_PING_SLOT_INFO)) {
          LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_OK, MLME_PING_SLOT_INFO);
          LoRaMacClassBPingSlotInfoAns();
        }
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      case SRV_MAC_PING_SLOT_CHANNEL_REQ:
        answer[0] = LoRaMacClassBPingSlotChannelReq((uint8_t)(p[3] & 0x0F), Frequency24(&p[0]));
        LoRaMacCommandsAddCmd(MOTE_MAC_PING_SLOT_CHANNEL_ANS, answer, 1);
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      case SRV_MAC_BEACON_TIMING_ANS:
        if (LoRaMacConfirmQueueIsCmdActive(MLME_BEACON_TIMING)) {
          LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_OK, MLME_BEACON_TIMING);
          uint16_t delay = (uint16_t)(p[0] | (p[1] << 8));
          LoRaMacClassBBeaconTimingAns(delay, p[2], RxDoneParams.LastRxDone);
        }
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      case SRV_MAC_BEACON_FREQ_REQ:
        answer[0] = LoRaMacClassBBeaconFreqReq(Frequency24(&p[0])) ? 1 : 0;
        LoRaMacCommandsAddCmd(MOTE_MAC_BEACON_FREQ_ANS, answer, 1);
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      case SRV_MAC_DEVICE_MODE_CONF: {
        MacCommand_t* cmd = nullptr;
        if (LoRaMacCommandsGetCmd(MOTE_MAC_DEVICE_MODE_IND, &cmd) == LORAMAC_COMMANDS_SUCCESS) {
          LoRaMacCommandsRemoveCmd(cmd);
        }
        macIndex = (uint8_t)(macIndex + cmdSize);
        break;
      }
      default:
        return;
    }
  }
}

// --- exchange bookkeeping ------------------------------------------------------

void StopRetransmission() {
  LoRaMacNvmDataGroup1_t& g1 = Nvm.MacGroup1;
  LoRaMacNvmDataGroup2_t& g2 = Nvm.MacGroup2;

  if (g2.Rejoin0UplinksLimit != 0) {
    g1.Rejoin0UplinksCounter++;
  }
  if (IsLoRaWan11()) {
    MacCommand_t* cmd = nullptr;
    if (LoRaMacCommandsGetCmd(MOTE_MAC_REKEY_IND, &cmd) == LORAMAC_COMMANDS_SUCCESS) {
      g1.RekeyIndUplinksCounter++;
      if (g1.RekeyIndUplinksCounter == Params().AdrAckLimit) {
        // The network never confirmed the session: join again.
        g2.NetworkActivation = ACTIVATION_TYPE_NONE;
        MacCtx.MacFlags.Bits.MlmeInd = 1;
        MacCtx.MlmeIndication.MlmeIndication = MLME_REVERT_JOIN;
      }
    }
  }
  if (!MacCtx.DownlinkInRx1Or2) {
    if (g2.AdrCtrlOn && g1.AdrAckCounter < 0xFFFFFFFF) {
      g1.AdrAckCounter++;
    }
  }
  MacCtx.ChannelsNbTransCounter = 0;
  MacCtx.RetransmitTimeoutRetry = false;
  MacCtx.NodeAckRequested = false;
  MacCtx.MacState &= ~LORAMAC_TX_RUNNING;
}

// --- class switch ---------------------------------------------------------------

/*! The class C window takes the first enabled class C multicast group. */
void ApplyClassCMulticast() {
  for (uint8_t i = 0; i < LORAMAC_MAX_MC_CTX; i++) {
    const MulticastCtx_t& group = Nvm.MacGroup2.MulticastChannelList[i];
    if (group.ChannelParams.IsEnabled && group.ChannelParams.RxParams.Class == CLASS_C) {
      Params().RxCChannel.Frequency = group.ChannelParams.RxParams.ClassC.Frequency;
      Params().RxCChannel.Datarate = (uint8_t)group.ChannelParams.RxParams.ClassC.Datarate;
      MacCtx.RxWindowCConfig.Channel = MacCtx.Channel;
      MacCtx.RxWindowCConfig.Frequency = Params().RxCChannel.Frequency;
      MacCtx.RxWindowCConfig.DownlinkDwellTime = Params().DownlinkDwellTime;
      MacCtx.RxWindowCConfig.RxSlot = RX_SLOT_WIN_CLASS_C_MULTICAST;
      MacCtx.RxWindowCConfig.RxContinuous = true;
      break;
    }
  }
}

LoRaMacStatus_t SwitchClass(DeviceClass_t deviceClass) {
  LoRaMacNvmDataGroup2_t& g2 = Nvm.MacGroup2;
  LoRaMacStatus_t status = LORAMAC_STATUS_PARAMETER_INVALID;
  DeviceClass_t previous = g2.DeviceClass;

  switch (g2.DeviceClass) {
    case CLASS_A:
      if (deviceClass == CLASS_A) {
        Params().RxCChannel = Params().Rx2Channel;
        status = LORAMAC_STATUS_OK;
      } else if (deviceClass == CLASS_B) {
        status = LoRaMacClassBSwitchClass(deviceClass);
        if (status == LORAMAC_STATUS_OK) {
          g2.DeviceClass = deviceClass;
        }
      } else if (deviceClass == CLASS_C) {
        g2.DeviceClass = deviceClass;
        MacCtx.RxWindowCConfig = MacCtx.RxWindow2Config;
        // The RX2 window's setup holds the frequency of the last RX2 window
        // opened: a RXParamSetupReq heard since, or a restored context, set
        // the channel the network now sends on.
        MacCtx.RxWindowCConfig.Frequency = Params().RxCChannel.Frequency;
        MacCtx.RxWindowCConfig.DownlinkDwellTime = Params().DownlinkDwellTime;
        MacCtx.RxWindowCConfig.RxSlot = RX_SLOT_WIN_CLASS_C;
        ApplyClassCMulticast();
        MacCtx.NodeAckRequested = false;
        Radio.Sleep();
        OpenContinuousRxCWindow();
        status = LORAMAC_STATUS_OK;
      }
      break;
    case CLASS_B:
      status = LoRaMacClassBSwitchClass(deviceClass);
      if (status == LORAMAC_STATUS_OK) {
        g2.DeviceClass = deviceClass;
      }
      break;
    case CLASS_C:
      if (deviceClass == CLASS_A) {
        g2.DeviceClass = deviceClass;
        MacCtx.RxSlot = RX_SLOT_NONE;
        Radio.Sleep();
        status = LORAMAC_STATUS_OK;
      }
      break;
  }

  if (status == LORAMAC_STATUS_OK && previous != g2.DeviceClass &&
      (previous == CLASS_C || g2.DeviceClass == CLASS_C) && IsLoRaWan11()) {
    uint8_t mode = g2.DeviceClass;
    LoRaMacCommandsAddCmd(MOTE_MAC_DEVICE_MODE_IND, &mode, 1);
  }
  return status;
}

// --- persistent context -------------------------------------------------------

void LoRaMacHandleNvm() {
  if (MacCtx.MacFlags.Bits.NvmHandle == 0) {
    return;
  }
  MacCtx.MacFlags.Bits.NvmHandle = 0;
  if (MacCtx.MacState != LORAMAC_IDLE) {
    return;
  }
  uint16_t flags = LoRaMacNvmUpdateCrcs(&Nvm);
  if (MacCtx.MacCallbacks != nullptr && MacCtx.MacCallbacks->NvmDataChange != nullptr) {
    MacCtx.MacCallbacks->NvmDataChange(flags);
  }
}

// --- process step -------------------------------------------------------------

bool LoRaMacCheckForBeaconAcquisition() {
  if (LoRaMacConfirmQueueIsCmdActive(MLME_BEACON_ACQUISITION) &&
      MacCtx.MacFlags.Bits.McpsReq == 0 && MacCtx.MacFlags.Bits.MlmeReq == 1) {
    MacCtx.MacState &= ~LORAMAC_TX_RUNNING;
    return true;
  }
  return false;
}

void LoRaMacHandleMlmeRequest() {
  if (MacCtx.MacFlags.Bits.MlmeReq == 0) {
    return;
  }
  if (LoRaMacConfirmQueueIsCmdActive(MLME_JOIN) || LoRaMacConfirmQueueIsCmdActive(MLME_REJOIN_0) ||
      LoRaMacConfirmQueueIsCmdActive(MLME_REJOIN_1) ||
      LoRaMacConfirmQueueIsCmdActive(MLME_REJOIN_2)) {
    MacCtx.ChannelsNbTransCounter = 0;
    MacCtx.MacState &= ~LORAMAC_TX_RUNNING;
  } else if (LoRaMacConfirmQueueIsCmdActive(MLME_TXCW)) {
    MacCtx.MacState &= ~LORAMAC_TX_RUNNING;
  }
}

bool DownlinkFromRx1Or2Ready() {
  return MacCtx.MacFlags.Bits.McpsInd == 1 && (MacCtx.McpsIndication.RxSlot == RX_SLOT_WIN_1 ||
                                               MacCtx.McpsIndication.RxSlot == RX_SLOT_WIN_2);
}

void LoRaMacHandleMcpsRequest() {
  if (MacCtx.MacFlags.Bits.McpsReq == 0) {
    return;
  }
  bool stop = false;
  uint8_t nbTrans = Params().ChannelsNbTrans;
  if (MacCtx.EndExchange) {
    MacCtx.EndExchange = false;
    stop = true;
  } else if (MacCtx.McpsConfirm.McpsRequest == MCPS_UNCONFIRMED ||
             MacCtx.McpsConfirm.McpsRequest == MCPS_PROPRIETARY) {
    stop = MacCtx.ChannelsNbTransCounter >= nbTrans || DownlinkFromRx1Or2Ready();
  } else if (MacCtx.RetransmitTimeoutRetry) {
    stop = MacCtx.ChannelsNbTransCounter >= nbTrans ||
           (MacCtx.MacFlags.Bits.McpsInd == 1 && MacCtx.McpsConfirm.AckReceived);
  } else {
    return;
  }

  if (stop) {
    TimerStop(&MacCtx.TxDelayedTimer);
    MacCtx.MacState &= ~LORAMAC_TX_DELAYED;
    StopRetransmission();
  } else {
    MacCtx.MacFlags.Bits.MacDone = 0;
    MacCtx.RetransmitTimeoutRetry = false;
    OnTxDelayedTimerEvent(nullptr);
  }
}

void LoRaMacHandleRequestEvents() {
  if (MacCtx.MacState != LORAMAC_IDLE) {
    return;
  }
  LoRaMacFlags_t reqEvents = MacCtx.MacFlags;
  MacCtx.MacFlags.Bits.McpsReq = 0;
  MacCtx.MacFlags.Bits.MlmeReq = 0;
  MacCtx.AllowRequests = LORAMAC_REQUEST_HANDLING_ON;
  if (reqEvents.Bits.McpsReq == 1) {
    MacCtx.MacPrimitives->MacMcpsConfirm(&MacCtx.McpsConfirm);
  }
  if (reqEvents.Bits.MlmeReq == 1) {
    LoRaMacConfirmQueueHandleCb(&MacCtx.MlmeConfirm);
    if (LoRaMacConfirmQueueGetCnt() > 0) {
      MacCtx.MacFlags.Bits.MlmeReq = 1;
    }
  }
  // A confirm handler may have started the next exchange (an empty uplink
  // that completes class B, a resend): beaconing and the slots stay halted
  // until that exchange ends too, or a slot would take the radio from its
  // receive windows.
  if (MacCtx.MacState == LORAMAC_IDLE) {
    LoRaMacClassBResumeBeaconing();
  }
  MacCtx.MacFlags.Bits.MacDone = 0;
}

void LoRaMacHandleIndicationEvents() {
  if (MacCtx.MacFlags.Bits.MlmeInd == 1) {
    MacCtx.MacFlags.Bits.MlmeInd = 0;
    MacCtx.MacPrimitives->MacMlmeIndication(&MacCtx.MlmeIndication);
  }
  if (MacCtx.MacFlags.Bits.McpsInd == 1) {
    MacCtx.MacFlags.Bits.McpsInd = 0;
    MacCtx.MacPrimitives->MacMcpsIndication(&MacCtx.McpsIndication);
  }
}

void LoRaMacHandleRejoinEvents() {
  if (MacCtx.MacState != LORAMAC_IDLE) {
    return;
  }
  LoRaMacNvmDataGroup1_t& g1 = Nvm.MacGroup1;
  LoRaMacNvmDataGroup2_t& g2 = Nvm.MacGroup2;
  MlmeReq_t mlmeReq = {};

  if (IsLoRaWan11() && g2.Rejoin0UplinksLimit != 0 &&
      g1.Rejoin0UplinksCounter == g2.Rejoin0UplinksLimit) {
    g1.Rejoin0UplinksCounter = 0;
    mlmeReq.Type = MLME_REJOIN_0;
    LoRaMacMlmeRequest(&mlmeReq);
    return;
  }
  if (g2.IsRejoin0RequestQueued) {
    mlmeReq.Type = MLME_REJOIN_0;
    if (LoRaMacMlmeRequest(&mlmeReq) == LORAMAC_STATUS_OK) {
      g2.IsRejoin0RequestQueued = false;
    }
  } else if (g2.IsRejoin1RequestQueued) {
    mlmeReq.Type = MLME_REJOIN_1;
    if (LoRaMacMlmeRequest(&mlmeReq) == LORAMAC_STATUS_OK) {
      g2.IsRejoin1RequestQueued = false;
    }
  } else if (g2.IsRejoin2RequestQueued) {
    mlmeReq.Type = MLME_REJOIN_2;
    if (LoRaMacMlmeRequest(&mlmeReq) == LORAMAC_STATUS_OK) {
      g2.IsRejoin2RequestQueued = false;
    }
  }
}

void ProcessRadioEvents(LoRaMacRadioEvents_t events) {
  if (events.Events.TxDone == 1) {
    ProcessRadioTxDone();
  }
  if (events.Events.RxDone == 1) {
    ProcessRadioRxDone();
  }
  if (events.Events.TxTimeout == 1) {
    if (Nvm.MacGroup2.DeviceClass != CLASS_C) {
      Radio.Sleep();
    }
    UpdateRxSlotIdleState();
    MacCtx.McpsConfirm.Status = LORAMAC_EVENT_INFO_STATUS_TX_TIMEOUT;
    LoRaMacConfirmQueueSetStatusCmn(LORAMAC_EVENT_INFO_STATUS_TX_TIMEOUT);
    if (MacCtx.NodeAckRequested) {
      MacCtx.RetransmitTimeoutRetry = true;
    }
    MacCtx.MacFlags.Bits.MacDone = 1;
  }
  if (events.Events.RxError == 1) {
    HandleRadioRxErrorTimeout(LORAMAC_EVENT_INFO_STATUS_RX1_ERROR,
                              LORAMAC_EVENT_INFO_STATUS_RX2_ERROR);
  }
  if (events.Events.RxTimeout == 1) {
    HandleRadioRxErrorTimeout(LORAMAC_EVENT_INFO_STATUS_RX1_TIMEOUT,
                              LORAMAC_EVENT_INFO_STATUS_RX2_TIMEOUT);
  }
}

void OnAbpJoinPendingTimerEvent(void*) {
  MacCtx.MacState &= ~LORAMAC_ABP_JOIN_PENDING;
  MacCtx.MacFlags.Bits.MacDone = 1;
  Notify();
}

bool IsClassCWindowToReopen() {
  return MacCtx.MacState == LORAMAC_IDLE && Nvm.MacGroup2.DeviceClass == CLASS_C &&
         MacCtx.RxSlot == RX_SLOT_WIN_CLASS_C;
}

}  // namespace

// --- public interface ---------------------------------------------------------

LoRaMacStatus_t LoRaMacInitialization(LoRaMacPrimitives_t* primitives, LoRaMacCallback_t* callbacks,
                                      LoRaMacRegion_t region) {
  if (primitives == nullptr || callbacks == nullptr || primitives->MacMcpsConfirm == nullptr ||
      primitives->MacMcpsIndication == nullptr || primitives->MacMlmeConfirm == nullptr ||
      primitives->MacMlmeIndication == nullptr) {
    return LORAMAC_STATUS_PARAMETER_INVALID;
  }
  if (!RegionIsActive(region)) {
    return LORAMAC_STATUS_REGION_NOT_SUPPORTED;
  }

  // A second initialisation (a change of region) must not leave the MAC's
  // timers in the timer list while their objects are cleared.
  if (MacCtx.MacPrimitives != nullptr) {
    TimerStop(&MacCtx.TxDelayedTimer);
    TimerStop(&MacCtx.RxWindowTimer1);
    TimerStop(&MacCtx.RxWindowTimer2);
    TimerStop(&MacCtx.RetransmitTimeoutTimer);
    TimerStop(&MacCtx.Rejoin0CycleTimer);
    TimerStop(&MacCtx.Rejoin1CycleTimer);
    TimerStop(&MacCtx.ForceRejoinReqCycleTimer);
    if (MacCtx.AbpJoinPendingTimerInitialized) {
      TimerStop(&MacCtx.AbpJoinPendingTimer);
    }
  }

  LoRaMacConfirmQueueInit(primitives);
  memset(&Nvm, 0, sizeof(Nvm));
  memset(&MacCtx, 0, sizeof(MacCtx));

  LoRaMacNvmDataGroup2_t& g2 = Nvm.MacGroup2;
  g2.Version.Value = LORAMAC_VERSION;
  g2.Region = region;
  g2.DeviceClass = CLASS_A;

  InitDefaultsParams_t params = {};
  params.Type = INIT_TYPE_DEFAULTS;
  params.NvmGroup1 = &Nvm.RegionGroup1;
  params.NvmGroup2 = &Nvm.RegionGroup2;
  params.Bands = RegionBands;
  RegionInitDefaults(region, &params);

  g2.DutyCycleOn = GetPhy(PHY_DUTY_CYCLE) != 0;
  g2.ChannelsTxPowerDefault = (int8_t)GetPhy(PHY_DEF_TX_POWER);
  g2.ChannelsDatarateDefault = (int8_t)GetPhy(PHY_DEF_TX_DR);
  Defaults().MaxRxWindow = GetPhy(PHY_MAX_RX_WINDOW);
  Defaults().ReceiveDelay1 = GetPhy(PHY_RECEIVE_DELAY1);
  Defaults().ReceiveDelay2 = GetPhy(PHY_RECEIVE_DELAY2);
  Defaults().JoinAcceptDelay1 = GetPhy(PHY_JOIN_ACCEPT_DELAY1);
  Defaults().JoinAcceptDelay2 = GetPhy(PHY_JOIN_ACCEPT_DELAY2);
  Defaults().Rx1DrOffset = (uint8_t)GetPhy(PHY_DEF_DR1_OFFSET);
  Defaults().Rx2Channel.Frequency = GetPhy(PHY_DEF_RX2_FREQUENCY);
  Defaults().Rx2Channel.Datarate = (uint8_t)GetPhy(PHY_DEF_RX2_DR);
  Defaults().RxCChannel = Defaults().Rx2Channel;
  Defaults().UplinkDwellTime = (uint8_t)GetPhy(PHY_DEF_UPLINK_DWELL_TIME);
  Defaults().DownlinkDwellTime = (uint8_t)GetPhy(PHY_DEF_DOWNLINK_DWELL_TIME);
  Defaults().MaxEirp = GetPhyFloat(PHY_DEF_MAX_EIRP);
  Defaults().AntennaGain = GetPhyFloat(PHY_DEF_ANTENNA_GAIN);
  Defaults().AdrAckLimit = (uint16_t)GetPhy(PHY_DEF_ADR_ACK_LIMIT);
  Defaults().AdrAckDelay = (uint16_t)GetPhy(PHY_DEF_ADR_ACK_DELAY);

  Params().MaxRxWindow = Defaults().MaxRxWindow;
  Params().ReceiveDelay1 = Defaults().ReceiveDelay1;
  Params().ReceiveDelay2 = Defaults().ReceiveDelay2;
  Params().JoinAcceptDelay1 = Defaults().JoinAcceptDelay1;
  Params().JoinAcceptDelay2 = Defaults().JoinAcceptDelay2;
  Defaults().ChannelsNbTrans = 1;
  Params().ChannelsNbTrans = 1;
  Defaults().SystemMaxRxError = 10;
  Params().SystemMaxRxError = 10;
  Defaults().MinRxSymbols = 6;
  Params().MinRxSymbols = 6;
  g2.IsCertPortOn = true;

  // The client's records first, so that class B, initialised by the reset
  // below, gets the client's callbacks from the start.
  MacCtx.MacPrimitives = primitives;
  MacCtx.MacCallbacks = callbacks;
  ResetMacParameters(false);

  MacCtx.MacFlags.Value = 0;
  Nvm.MacGroup1.LastTxDoneTime = 0;
  Nvm.MacGroup1.AggregatedTimeOff = 0;
  g2.PublicNetwork = true;
  MacCtx.MacState = LORAMAC_STOPPED;

  TimerInit(&MacCtx.TxDelayedTimer, OnTxDelayedTimerEvent);
  TimerInit(&MacCtx.RxWindowTimer1, OnRxWindow1TimerEvent);
  TimerInit(&MacCtx.RxWindowTimer2, OnRxWindow2TimerEvent);
  TimerInit(&MacCtx.RetransmitTimeoutTimer, OnRetransmitTimeoutTimerEvent);
  TimerInit(&MacCtx.Rejoin0CycleTimer, OnRejoin0CycleTimerEvent);
  TimerInit(&MacCtx.Rejoin1CycleTimer, OnRejoin1CycleTimerEvent);
  TimerInit(&MacCtx.ForceRejoinReqCycleTimer, OnForceRejoinReqCycleTimerEvent);
  // Field by field: the group is stored (and its CRC taken) byte by byte, and
  // a copy of the whole value would store whatever its padding held.
  const SysTime_t initialization_time = SysTimeGetMcuTime();
  g2.InitializationTime.Seconds = initialization_time.Seconds;
  g2.InitializationTime.SubSeconds = initialization_time.SubSeconds;

  LoRaMacRadioEvents.Value = 0;
  MacCtx.RadioEvents.TxDone = OnRadioTxDone;
  MacCtx.RadioEvents.RxDone = OnRadioRxDone;
  MacCtx.RadioEvents.RxError = OnRadioRxError;
  MacCtx.RadioEvents.TxTimeout = OnRadioTxTimeout;
  MacCtx.RadioEvents.RxTimeout = OnRadioRxTimeout;
  Radio.Init(&MacCtx.RadioEvents);

  if (SecureElementInit(&Nvm.SecureElement) != SECURE_ELEMENT_SUCCESS) {
    return LORAMAC_STATUS_CRYPTO_ERROR;
  }
  if (LoRaMacCryptoInit(&Nvm.Crypto) != LORAMAC_CRYPTO_SUCCESS) {
    return LORAMAC_STATUS_CRYPTO_ERROR;
  }
  if (LoRaMacCommandsInit() != LORAMAC_COMMANDS_SUCCESS) {
    return LORAMAC_STATUS_MAC_COMMAD_ERROR;
  }
  if (LoRaMacCryptoSetMulticastReference(g2.MulticastChannelList) != LORAMAC_CRYPTO_SUCCESS) {
    return LORAMAC_STATUS_CRYPTO_ERROR;
  }

  srand1(Radio.Random());
  Radio.SetPublicNetwork(g2.PublicNetwork);
  Radio.Sleep();
  MacCtx.AllowRequests = LORAMAC_REQUEST_HANDLING_ON;
  return LORAMAC_STATUS_OK;
}

LoRaMacStatus_t LoRaMacStart(void) {
  // The context may have been written while stopped: the multicast
  // counters must point into this device's crypto group again.
  LoRaMacCryptoSetMulticastReference(Nvm.MacGroup2.MulticastChannelList);
  MacCtx.MacState = LORAMAC_IDLE;
  UpdateRxSlotIdleState();
  return LORAMAC_STATUS_OK;
}

LoRaMacStatus_t LoRaMacStop(void) {
  if (LoRaMacIsBusy()) {
    return LORAMAC_STATUS_BUSY;
  }
  if (Nvm.MacGroup2.DeviceClass == CLASS_C) {
    Radio.Sleep();
    MacCtx.ClassCStops++;
  }
  MacCtx.MacState = LORAMAC_STOPPED;
  return LORAMAC_STATUS_OK;
}

bool LoRaMacIsBusy(void) {
  if (MacCtx.MacState == LORAMAC_STOPPED) {
    return false;
  }
  if (LoRaMacRadioEvents.Events.RxProcessPending == 1 || MacCtx.MacState != LORAMAC_IDLE) {
    return true;
  }
  return MacCtx.AllowRequests != LORAMAC_REQUEST_HANDLING_ON;
}

LoRaMacStatus_t LoRaMacQueryTxPossible(uint8_t size, LoRaMacTxInfo_t* txInfo) {
  if (txInfo == nullptr) {
    return LORAMAC_STATUS_PARAMETER_INVALID;
  }
  LoRaMacNvmDataGroup1_t& g1 = Nvm.MacGroup1;
  int8_t datarate = g1.ChannelsDatarate;
  int8_t txPower = g1.ChannelsTxPower;
  uint8_t nbTrans = MacCtx.ChannelsNbTransCounter;
  uint32_t adrAckCounter = g1.AdrAckCounter;

  CalcNextAdrParams_t adrNext = {};
  adrNext.UpdateChanMask = false;
  adrNext.AdrEnabled = Nvm.MacGroup2.AdrCtrlOn;
  adrNext.AdrAckCounter = g1.AdrAckCounter;
  adrNext.AdrAckLimit = Params().AdrAckLimit;
  adrNext.AdrAckDelay = Params().AdrAckDelay;
  adrNext.Datarate = g1.ChannelsDatarate;
  adrNext.TxPower = g1.ChannelsTxPower;
  adrNext.NbTrans = MacCtx.ChannelsNbTransCounter;
  adrNext.UplinkDwellTime = Params().UplinkDwellTime;
  adrNext.Region = Region();
  LoRaMacAdrCalcNext(&adrNext, &datarate, &txPower, &nbTrans, &adrAckCounter);

  txInfo->CurrentPossiblePayloadSize = MaxPayload(datarate);

  size_t cmdsSize = 0;
  if (LoRaMacCommandsGetSizeSerializedCmds(&cmdsSize) != LORAMAC_COMMANDS_SUCCESS) {
    return LORAMAC_STATUS_MAC_COMMAD_ERROR;
  }
  if (cmdsSize <= LORA_MAC_COMMAND_MAX_FOPTS_LENGTH &&
      cmdsSize <= txInfo->CurrentPossiblePayloadSize) {
    txInfo->MaxPossibleApplicationDataSize =
        (uint8_t)(txInfo->CurrentPossiblePayloadSize - cmdsSize);
    if ((size_t)size + cmdsSize > txInfo->CurrentPossiblePayloadSize) {
      return LORAMAC_STATUS_LENGTH_ERROR;
    }
    return LORAMAC_STATUS_OK;
  }
  txInfo->MaxPossibleApplicationDataSize = 0;
  return LORAMAC_STATUS_LENGTH_ERROR;
}

uint16_t GetMaxAppPayloadWithFOptsLength(void) {
  size_t cmdsSize = 0;
  LoRaMacCommandsGetSizeSerializedCmds(&cmdsSize);
  uint16_t maxPayload = MaxPayload(Nvm.MacGroup1.ChannelsDatarate);
  // Commands larger than the payload leave no room at all.
  if (cmdsSize >= maxPayload) {
    return 0;
  }
  return (uint16_t)(maxPayload - cmdsSize);
}

LoRaMacStatus_t LoRaMacMcChannelSetup(McChannelParams_t* channel) {
  if ((MacCtx.MacState & LORAMAC_TX_RUNNING) != 0) {
    return LORAMAC_STATUS_BUSY;
  }
  if (channel == nullptr || channel->GroupID > MULTICAST_3_ADDR) {
    return LORAMAC_STATUS_MC_GROUP_UNDEFINED;
  }
  uint8_t group = (uint8_t)channel->GroupID;
  LoRaMacNvmStoreMcChannel(&Nvm.MacGroup2.MulticastChannelList[group].ChannelParams, channel);
  MacCtx.MacFlags.Bits.NvmHandle = 1;

  if (channel->IsRemotelySetup) {
    KeyIdentifier_t mcKey = (KeyIdentifier_t)(MC_KEY_0 + 3 * group);
    if (LoRaMacCryptoSetKey(mcKey, channel->McKeys.McKeyE) != LORAMAC_CRYPTO_SUCCESS) {
      return LORAMAC_STATUS_CRYPTO_ERROR;
    }
    if (LoRaMacCryptoDeriveMcSessionKeyPair(channel->GroupID, channel->Address) !=
        LORAMAC_CRYPTO_SUCCESS) {
      return LORAMAC_STATUS_CRYPTO_ERROR;
    }
  } else {
    KeyIdentifier_t appKey = (KeyIdentifier_t)(MC_APP_S_KEY_0 + 3 * group);
    KeyIdentifier_t nwkKey = (KeyIdentifier_t)(MC_NWK_S_KEY_0 + 3 * group);
    if (LoRaMacCryptoSetKey(appKey, channel->McKeys.Session.McAppSKey) != LORAMAC_CRYPTO_SUCCESS ||
        LoRaMacCryptoSetKey(nwkKey, channel->McKeys.Session.McNwkSKey) != LORAMAC_CRYPTO_SUCCESS) {
      return LORAMAC_STATUS_CRYPTO_ERROR;
    }
  }
  // No frame of this group seen yet.
  Nvm.Crypto.FCntList.McFCntDown[group] = FCNT_DOWN_INITIAL_VALUE;
  return LORAMAC_STATUS_OK;
}

LoRaMacStatus_t LoRaMacMcChannelDelete(AddressIdentifier_t groupID) {
  if ((MacCtx.MacState & LORAMAC_TX_RUNNING) != 0) {
    return LORAMAC_STATUS_BUSY;
  }
  if (groupID > MULTICAST_3_ADDR ||
      !Nvm.MacGroup2.MulticastChannelList[groupID].ChannelParams.IsEnabled) {
    return LORAMAC_STATUS_MC_GROUP_UNDEFINED;
  }
  memset(&Nvm.MacGroup2.MulticastChannelList[groupID].ChannelParams, 0, sizeof(McChannelNvm_t));
  MacCtx.MacFlags.Bits.NvmHandle = 1;
  return LORAMAC_STATUS_OK;
}

LoRaMacStatus_t LoRaMacMcChannelSetupRxParams(AddressIdentifier_t groupID, McRxParams_t* rxParams,
                                              uint8_t* status) {
  if (rxParams == nullptr || status == nullptr) {
    return LORAMAC_STATUS_PARAMETER_INVALID;
  }
  *status = (uint8_t)(0x1C + (groupID & 0x03));
  if ((MacCtx.MacState & LORAMAC_TX_RUNNING) != 0) {
    return LORAMAC_STATUS_BUSY;
  }
  if (rxParams->Class != CLASS_B && rxParams->Class != CLASS_C) {
    return LORAMAC_STATUS_PARAMETER_INVALID;
  }
  if (groupID > MULTICAST_3_ADDR ||
      !Nvm.MacGroup2.MulticastChannelList[groupID].ChannelParams.IsEnabled) {
    return LORAMAC_STATUS_MC_GROUP_UNDEFINED;
  }
  *status &= 0x0F;  // the group is defined

  uint32_t frequency;
  int8_t datarate;
  if (rxParams->Class == CLASS_B) {
    frequency = rxParams->ClassB.Frequency;
    datarate = rxParams->ClassB.Datarate;
  } else {
    frequency = rxParams->ClassC.Frequency;
    datarate = rxParams->ClassC.Datarate;
  }
  VerifyParams_t verify = {};
  verify.DatarateParams.Datarate = datarate;
  verify.DatarateParams.DownlinkDwellTime = Params().DownlinkDwellTime;
  if (RegionVerify(Region(), &verify, PHY_RX_DR)) {
    *status &= 0xFB;
  }
  verify = {};
  verify.Frequency = frequency;
  if (RegionVerify(Region(), &verify, PHY_FREQUENCY)) {
    *status &= 0xF7;
  }
  if ((*status & 0x0C) != 0) {
    return LORAMAC_STATUS_PARAMETER_INVALID;
  }

  MulticastCtx_t& group = Nvm.MacGroup2.MulticastChannelList[groupID];
  group.ChannelParams.RxParams = *rxParams;
  MacCtx.MacFlags.Bits.NvmHandle = 1;

  if (Nvm.MacGroup2.DeviceClass == CLASS_C &&
      Nvm.MacGroup2.NetworkActivation != ACTIVATION_TYPE_NONE) {
    for (uint8_t i = 0; i < LORAMAC_MAX_MC_CTX; i++) {
      const MulticastCtx_t& g = Nvm.MacGroup2.MulticastChannelList[i];
      if (g.ChannelParams.IsEnabled) {
        Params().RxCChannel.Frequency = g.ChannelParams.RxParams.ClassC.Frequency;
        Params().RxCChannel.Datarate = (uint8_t)g.ChannelParams.RxParams.ClassC.Datarate;
        break;
      }
    }
    MacCtx.RxWindowCConfig.Channel = MacCtx.Channel;
    MacCtx.RxWindowCConfig.Frequency = Params().RxCChannel.Frequency;
    MacCtx.RxWindowCConfig.DownlinkDwellTime = Params().DownlinkDwellTime;
    MacCtx.RxWindowCConfig.RxSlot = RX_SLOT_WIN_CLASS_C_MULTICAST;
    MacCtx.RxWindowCConfig.RxContinuous = true;
    MacCtx.NodeAckRequested = false;
    Radio.Sleep();
    OpenContinuousRxCWindow();
  }
  if (rxParams->Class == CLASS_B) {
    LoRaMacClassBSetMulticastPeriodicity(&group);
  }
  return LORAMAC_STATUS_OK;
}

void LoRaMacTestSetDutyCycleOn(bool enable) {
  VerifyParams_t verify = {};
  verify.DutyCycle = enable;
  if (RegionVerify(Region(), &verify, PHY_DUTY_CYCLE)) {
    Nvm.MacGroup2.DutyCycleOn = enable;
    MacCtx.MacFlags.Bits.NvmHandle = 1;
  }
}

namespace {

bool IsLbtRegion() { return Region() == LORAMAC_REGION_AS923 || Region() == LORAMAC_REGION_KR920; }

/*! The 16-byte value of a key held in the secure element's list. */
uint8_t* FindSessionKey(KeyIdentifier_t keyID) {
  for (Key_t& key : Nvm.SecureElement.KeyList) {
    if (key.KeyID == keyID) {
      return key.KeyValue;
    }
  }
  return nullptr;
}

bool VerifyRxDatarate(uint8_t datarate) {
  VerifyParams_t verify = {};
  verify.DatarateParams.Datarate = (int8_t)datarate;
  verify.DatarateParams.DownlinkDwellTime = Params().DownlinkDwellTime;
  return RegionVerify(Region(), &verify, PHY_RX_DR);
}

LoRaMacStatus_t SetKey(KeyIdentifier_t keyID, uint8_t* key) {
  if (key == nullptr) {
    return LORAMAC_STATUS_PARAMETER_INVALID;
  }
  return (LoRaMacCryptoSetKey(keyID, key) == LORAMAC_CRYPTO_SUCCESS) ? LORAMAC_STATUS_OK
                                                                     : LORAMAC_STATUS_CRYPTO_ERROR;
}

LoRaMacStatus_t SetRejoinCycle(uint32_t seconds, uint32_t* cycleInSec, TimerTime_t* cycleTime,
                               TimerEvent_t* timer) {
  if (seconds > MAX_CYCLE_SECONDS || Nvm.MacGroup2.NetworkActivation != ACTIVATION_TYPE_OTAA) {
    return LORAMAC_STATUS_PARAMETER_INVALID;
  }
  *cycleInSec = seconds;
  *cycleTime = seconds * 1000;
  TimerStop(timer);
  // A cycle of 0 s switches the periodic rejoin off.
  if (*cycleTime != 0) {
    TimerSetValue(timer, *cycleTime);
    TimerStart(timer);
  }
  return LORAMAC_STATUS_OK;
}

}  // namespace

LoRaMacStatus_t LoRaMacMibGetRequestConfirm(MibRequestConfirm_t* mibGet) {
  if (mibGet == nullptr) {
    return LORAMAC_STATUS_PARAMETER_INVALID;
  }
  LoRaMacNvmDataGroup1_t& g1 = Nvm.MacGroup1;
  LoRaMacNvmDataGroup2_t& g2 = Nvm.MacGroup2;
  MibParam_t& p = mibGet->Param;
  LoRaMacStatus_t status = LORAMAC_STATUS_OK;

  switch (mibGet->Type) {
    case MIB_DEVICE_CLASS:
      p.Class = g2.DeviceClass;
      break;
    case MIB_NETWORK_ACTIVATION:
      p.NetworkActivation = g2.NetworkActivation;
      break;
    case MIB_DEV_EUI:
      p.DevEui = SecureElementGetDevEui();
      break;
    case MIB_JOIN_EUI:
      p.JoinEui = SecureElementGetJoinEui();
      break;
    case MIB_SE_PIN:
      p.SePin = SecureElementGetPin();
      break;
    case MIB_ADR:
      p.AdrEnable = g2.AdrCtrlOn;
      break;
    case MIB_NET_ID:
      p.NetID = g2.NetID;
      break;
    case MIB_DEV_ADDR:
      p.DevAddr = g2.DevAddr;
      break;
    case MIB_NWK_S_ENC_KEY:
      p.NwkSEncKey = FindSessionKey(NWK_S_ENC_KEY);
      status = (p.NwkSEncKey != nullptr) ? LORAMAC_STATUS_OK : LORAMAC_STATUS_SERVICE_UNKNOWN;
      break;
    case MIB_APP_S_KEY:
      p.AppSKey = FindSessionKey(APP_S_KEY);
      status = (p.AppSKey != nullptr) ? LORAMAC_STATUS_OK : LORAMAC_STATUS_SERVICE_UNKNOWN;
      break;
    case MIB_PUBLIC_NETWORK:
      p.EnablePublicNetwork = g2.PublicNetwork;
      break;
    case MIB_CHANNELS: {
      GetPhyParams_t getPhy = {};
      getPhy.Attribute = PHY_CHANNELS;
      p.ChannelList = RegionGetPhyParam(Region(), &getPhy).Channels;
      break;
    }
    case MIB_RX2_CHANNEL:
      p.Rx2Channel = Params().Rx2Channel;
      break;
    case MIB_RX2_DEFAULT_CHANNEL:
      p.Rx2DefaultChannel = Defaults().Rx2Channel;
      break;
    case MIB_RXC_CHANNEL:
      p.RxCChannel = Params().RxCChannel;
      break;
    case MIB_RXC_DEFAULT_CHANNEL:
      p.RxCDefaultChannel = Defaults().RxCChannel;
      break;
    case MIB_CHANNELS_MASK: {
      GetPhyParams_t getPhy = {};
      getPhy.Attribute = PHY_CHANNELS_MASK;
      p.ChannelsMask = RegionGetPhyParam(Region(), &getPhy).ChannelsMask;
      break;
    }
    case MIB_CHANNELS_DEFAULT_MASK: {
      GetPhyParams_t getPhy = {};
      getPhy.Attribute = PHY_CHANNELS_DEFAULT_MASK;
      p.ChannelsDefaultMask = RegionGetPhyParam(Region(), &getPhy).ChannelsMask;
      break;
    }
    case MIB_CHANNELS_NB_TRANS:
      p.ChannelsNbTrans = Params().ChannelsNbTrans;
      break;
    case MIB_MAX_RX_WINDOW_DURATION:
      p.MaxRxWindow = Params().MaxRxWindow;
      break;
    case MIB_RECEIVE_DELAY_1:
      p.ReceiveDelay1 = Params().ReceiveDelay1;
      break;
    case MIB_RECEIVE_DELAY_2:
      p.ReceiveDelay2 = Params().ReceiveDelay2;
      break;
    case MIB_JOIN_ACCEPT_DELAY_1:
      p.JoinAcceptDelay1 = Params().JoinAcceptDelay1;
      break;
    case MIB_JOIN_ACCEPT_DELAY_2:
      p.JoinAcceptDelay2 = Params().JoinAcceptDelay2;
      break;
    case MIB_CHANNELS_MIN_TX_DATARATE:
      p.ChannelsMinTxDatarate = (int8_t)GetPhy(PHY_MIN_TX_DR);
      break;
    case MIB_CHANNELS_DEFAULT_DATARATE:
      p.ChannelsDefaultDatarate = g2.ChannelsDatarateDefault;
      break;
    case MIB_CHANNELS_DATARATE:
      p.ChannelsDatarate = g1.ChannelsDatarate;
      break;
    case MIB_CHANNELS_TX_POWER:
      p.ChannelsTxPower = g1.ChannelsTxPower;
      break;
    case MIB_CHANNELS_DEFAULT_TX_POWER:
      p.ChannelsDefaultTxPower = g2.ChannelsTxPowerDefault;
      break;
    case MIB_SYSTEM_MAX_RX_ERROR:
      p.SystemMaxRxError = Params().SystemMaxRxError;
      break;
    case MIB_MIN_RX_SYMBOLS:
      p.MinRxSymbols = Params().MinRxSymbols;
      break;
    case MIB_ANTENNA_GAIN:
      p.AntennaGain = Params().AntennaGain;
      break;
    case MIB_DEFAULT_ANTENNA_GAIN:
      p.DefaultAntennaGain = Defaults().AntennaGain;
      break;
    case MIB_NVM_CTXS:
      p.Contexts = &Nvm;
      break;
    case MIB_LORAWAN_VERSION:
      p.LrWanVersion.LoRaWan = g2.Version;
      p.LrWanVersion.LoRaWanRegion = RegionGetVersion();
      break;
    case MIB_REJOIN_0_CYCLE:
      p.Rejoin0CycleInSec = g2.Rejoin0CycleInSec;
      break;
    case MIB_REJOIN_1_CYCLE:
      p.Rejoin1CycleInSec = g2.Rejoin1CycleInSec;
      break;
    case MIB_IS_CERT_FPORT_ON:
      p.IsCertPortOn = g2.IsCertPortOn;
      break;
    case MIB_ADR_ACK_LIMIT:
      p.AdrAckLimit = Params().AdrAckLimit;
      break;
    case MIB_ADR_ACK_DELAY:
      p.AdrAckDelay = Params().AdrAckDelay;
      break;
    case MIB_ADR_ACK_DEFAULT_LIMIT:
      p.AdrAckLimit = Defaults().AdrAckLimit;
      break;
    case MIB_ADR_ACK_DEFAULT_DELAY:
      p.AdrAckDelay = Defaults().AdrAckDelay;
      break;
    case MIB_RSSI_FREE_THRESHOLD:
      if (!IsLbtRegion()) {
        return LORAMAC_STATUS_ERROR;
      }
      p.RssiFreeThreshold = Nvm.RegionGroup2.RssiFreeThreshold;
      break;
    case MIB_CARRIER_SENSE_TIME:
      if (!IsLbtRegion()) {
        return LORAMAC_STATUS_ERROR;
      }
      p.CarrierSenseTime = Nvm.RegionGroup2.CarrierSenseTime;
      break;
    default:
      status = LoRaMacClassBMibGetRequestConfirm(mibGet);
      break;
  }
  return status;
}

LoRaMacStatus_t LoRaMacMibSetRequestConfirm(MibRequestConfirm_t* mibSet) {
  if (mibSet == nullptr) {
    return LORAMAC_STATUS_PARAMETER_INVALID;
  }
  if ((MacCtx.MacState & LORAMAC_TX_RUNNING) != 0) {
    return LORAMAC_STATUS_BUSY;
  }
  LoRaMacNvmDataGroup1_t& g1 = Nvm.MacGroup1;
  LoRaMacNvmDataGroup2_t& g2 = Nvm.MacGroup2;
  MibParam_t& p = mibSet->Param;
  LoRaMacStatus_t status = LORAMAC_STATUS_OK;

  switch (mibSet->Type) {
    case MIB_DEVICE_CLASS:
      status = SwitchClass(p.Class);
      // The process step stores the switch now: left for the next radio
      // event, the store (which stops the MAC and the radio) would come with
      // the first frame the class C window hears, and lose it.
      if (status == LORAMAC_STATUS_OK) {
        Notify();
      }
      break;
    case MIB_NETWORK_ACTIVATION:
      // Only a join accept makes a device OTAA-activated.
      if (p.NetworkActivation == ACTIVATION_TYPE_OTAA) {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      } else {
        g2.NetworkActivation = p.NetworkActivation;
      }
      break;
    case MIB_DEV_EUI:
      if (SecureElementSetDevEui(p.DevEui) != SECURE_ELEMENT_SUCCESS) {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      }
      break;
    case MIB_JOIN_EUI:
      if (SecureElementSetJoinEui(p.JoinEui) != SECURE_ELEMENT_SUCCESS) {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      }
      break;
    case MIB_SE_PIN:
      if (SecureElementSetPin(p.SePin) != SECURE_ELEMENT_SUCCESS) {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      }
      break;
    case MIB_ADR:
      g2.AdrCtrlOn = p.AdrEnable;
      break;
    case MIB_NET_ID:
      g2.NetID = p.NetID;
      break;
    case MIB_DEV_ADDR:
      g2.DevAddr = p.DevAddr;
      break;
    case MIB_APP_KEY:
      status = SetKey(APP_KEY, p.AppKey);
      break;
    case MIB_NWK_KEY:
      status = SetKey(NWK_KEY, p.NwkKey);
      break;
    case MIB_J_S_INT_KEY:
      status = SetKey(J_S_INT_KEY, p.JSIntKey);
      break;
    case MIB_J_S_ENC_KEY:
      status = SetKey(J_S_ENC_KEY, p.JSEncKey);
      break;
    case MIB_F_NWK_S_INT_KEY:
      status = SetKey(F_NWK_S_INT_KEY, p.FNwkSIntKey);
      break;
    case MIB_S_NWK_S_INT_KEY:
      status = SetKey(S_NWK_S_INT_KEY, p.SNwkSIntKey);
      break;
    case MIB_NWK_S_ENC_KEY:
      status = SetKey(NWK_S_ENC_KEY, p.NwkSEncKey);
      break;
    case MIB_APP_S_KEY:
      status = SetKey(APP_S_KEY, p.AppSKey);
      break;
    case MIB_MC_KE_KEY:
      status = SetKey(MC_KE_KEY, p.McKEKey);
      break;
    case MIB_MC_KEY_0:
    case MIB_MC_APP_S_KEY_0:
    case MIB_MC_NWK_S_KEY_0:
    case MIB_MC_KEY_1:
    case MIB_MC_APP_S_KEY_1:
    case MIB_MC_NWK_S_KEY_1:
    case MIB_MC_KEY_2:
    case MIB_MC_APP_S_KEY_2:
    case MIB_MC_NWK_S_KEY_2:
    case MIB_MC_KEY_3:
    case MIB_MC_APP_S_KEY_3:
    case MIB_MC_NWK_S_KEY_3:
      // The twelve items share one pointer slot of the union and are
      // stored under consecutive key identifiers.
      status = SetKey((KeyIdentifier_t)(MC_KEY_0 + (mibSet->Type - MIB_MC_KEY_0)), p.McKey0);
      break;
    case MIB_PUBLIC_NETWORK:
      g2.PublicNetwork = p.EnablePublicNetwork;
      Radio.SetPublicNetwork(g2.PublicNetwork);
      break;
    case MIB_RX2_CHANNEL: {
      VerifyParams_t verify = {};
      verify.Frequency = p.Rx2Channel.Frequency;
      if (VerifyRxDatarate(p.Rx2Channel.Datarate) &&
          RegionVerify(Region(), &verify, PHY_FREQUENCY)) {
        Params().Rx2Channel = p.Rx2Channel;
      } else {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      }
      break;
    }
    case MIB_RX2_DEFAULT_CHANNEL:
      if (VerifyRxDatarate(p.Rx2DefaultChannel.Datarate)) {
        Defaults().Rx2Channel = p.Rx2DefaultChannel;
      } else {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      }
      break;
    case MIB_RXC_CHANNEL:
      if (VerifyRxDatarate(p.RxCChannel.Datarate)) {
        Params().RxCChannel = p.RxCChannel;
        if (g2.DeviceClass == CLASS_C && g2.NetworkActivation != ACTIVATION_TYPE_NONE) {
          MacCtx.RxWindowCConfig.Frequency = Params().RxCChannel.Frequency;
          Radio.Sleep();
          OpenContinuousRxCWindow();
        }
      } else {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      }
      break;
    case MIB_RXC_DEFAULT_CHANNEL:
      if (VerifyRxDatarate(p.RxCDefaultChannel.Datarate)) {
        Defaults().RxCChannel = p.RxCDefaultChannel;
      } else {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      }
      break;
    case MIB_CHANNELS_MASK:
    case MIB_CHANNELS_DEFAULT_MASK: {
      ChanMaskSetParams_t chanMaskSet = {};
      chanMaskSet.ChannelsMaskIn =
          (mibSet->Type == MIB_CHANNELS_MASK) ? p.ChannelsMask : p.ChannelsDefaultMask;
      chanMaskSet.ChannelsMaskType =
          (mibSet->Type == MIB_CHANNELS_MASK) ? CHANNELS_MASK : CHANNELS_DEFAULT_MASK;
      if (chanMaskSet.ChannelsMaskIn == nullptr || !RegionChanMaskSet(Region(), &chanMaskSet)) {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      }
      break;
    }
    case MIB_CHANNELS_NB_TRANS:
      if (p.ChannelsNbTrans >= 1 && p.ChannelsNbTrans <= 15) {
        Params().ChannelsNbTrans = p.ChannelsNbTrans;
      } else {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      }
      break;
    case MIB_MAX_RX_WINDOW_DURATION:
      Params().MaxRxWindow = p.MaxRxWindow;
      break;
    case MIB_RECEIVE_DELAY_1:
      Params().ReceiveDelay1 = p.ReceiveDelay1;
      break;
    case MIB_RECEIVE_DELAY_2:
      Params().ReceiveDelay2 = p.ReceiveDelay2;
      break;
    case MIB_JOIN_ACCEPT_DELAY_1:
      Params().JoinAcceptDelay1 = p.JoinAcceptDelay1;
      break;
    case MIB_JOIN_ACCEPT_DELAY_2:
      Params().JoinAcceptDelay2 = p.JoinAcceptDelay2;
      break;
    case MIB_CHANNELS_DEFAULT_DATARATE: {
      VerifyParams_t verify = {};
      verify.DatarateParams.Datarate = p.ChannelsDefaultDatarate;
      if (RegionVerify(Region(), &verify, PHY_DEF_TX_DR)) {
        g2.ChannelsDatarateDefault = p.ChannelsDefaultDatarate;
      } else {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      }
      break;
    }
    case MIB_CHANNELS_DATARATE: {
      VerifyParams_t verify = {};
      verify.DatarateParams.Datarate = p.ChannelsDatarate;
      verify.DatarateParams.UplinkDwellTime = Params().UplinkDwellTime;
      if (RegionVerify(Region(), &verify, PHY_TX_DR)) {
        g1.ChannelsDatarate = p.ChannelsDatarate;
      } else {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      }
      break;
    }
    case MIB_CHANNELS_TX_POWER: {
      VerifyParams_t verify = {};
      verify.TxPower = p.ChannelsTxPower;
      if (RegionVerify(Region(), &verify, PHY_TX_POWER)) {
        g1.ChannelsTxPower = p.ChannelsTxPower;
      } else {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      }
      break;
    }
    case MIB_CHANNELS_DEFAULT_TX_POWER: {
      VerifyParams_t verify = {};
      verify.TxPower = p.ChannelsDefaultTxPower;
      if (RegionVerify(Region(), &verify, PHY_DEF_TX_POWER)) {
        g2.ChannelsTxPowerDefault = p.ChannelsDefaultTxPower;
      } else {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      }
      break;
    }
    case MIB_SYSTEM_MAX_RX_ERROR:
      if (p.SystemMaxRxError <= 500) {
        Params().SystemMaxRxError = p.SystemMaxRxError;
        Defaults().SystemMaxRxError = p.SystemMaxRxError;
      } else {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      }
      break;
    case MIB_MIN_RX_SYMBOLS:
      Params().MinRxSymbols = p.MinRxSymbols;
      Defaults().MinRxSymbols = p.MinRxSymbols;
      break;
    case MIB_ANTENNA_GAIN:
      Params().AntennaGain = p.AntennaGain;
      break;
    case MIB_DEFAULT_ANTENNA_GAIN:
      Defaults().AntennaGain = p.DefaultAntennaGain;
      break;
    case MIB_NVM_CTXS:
      if (p.Contexts == nullptr) {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      } else if (MacCtx.MacState != LORAMAC_STOPPED) {
        status = LORAMAC_STATUS_BUSY;
      } else {
        uint16_t restored = LoRaMacNvmRestore(&Nvm, p.Contexts);
        if ((restored & LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP2) != 0) {
          MacCtx.RxWindowCConfig.Channel = MacCtx.Channel;
          MacCtx.RxWindowCConfig.Frequency = Params().RxCChannel.Frequency;
          MacCtx.RxWindowCConfig.DownlinkDwellTime = Params().DownlinkDwellTime;
          MacCtx.RxWindowCConfig.RxContinuous = true;
          MacCtx.RxWindowCConfig.RxSlot = RX_SLOT_WIN_CLASS_C;
          Radio.SetPublicNetwork(g2.PublicNetwork);
        }
        // The stored multicast entries carry no usable references.
        LoRaMacCryptoSetMulticastReference(g2.MulticastChannelList);
      }
      break;
    case MIB_ABP_LORAWAN_VERSION:
      if (p.AbpLrWanVersion.Fields.Minor > 1) {
        status = LORAMAC_STATUS_PARAMETER_INVALID;
      } else {
        g2.Version = p.AbpLrWanVersion;
        if (LoRaMacCryptoSetLrWanVersion(p.AbpLrWanVersion) != LORAMAC_CRYPTO_SUCCESS) {
          status = LORAMAC_STATUS_CRYPTO_ERROR;
        }
      }
      break;
    case MIB_REJOIN_0_CYCLE:
      status = SetRejoinCycle(p.Rejoin0CycleInSec, &g2.Rejoin0CycleInSec, &MacCtx.Rejoin0CycleTime,
                              &MacCtx.Rejoin0CycleTimer);
      break;
    case MIB_REJOIN_1_CYCLE:
      status = SetRejoinCycle(p.Rejoin1CycleInSec, &g2.Rejoin1CycleInSec, &MacCtx.Rejoin1CycleTime,
                              &MacCtx.Rejoin1CycleTimer);
      break;
    case MIB_IS_CERT_FPORT_ON:
      g2.IsCertPortOn = p.IsCertPortOn;
      break;
    case MIB_ADR_ACK_LIMIT:
      Params().AdrAckLimit = p.AdrAckLimit;
      break;
    case MIB_ADR_ACK_DELAY:
      Params().AdrAckDelay = p.AdrAckDelay;
      break;
    case MIB_ADR_ACK_DEFAULT_LIMIT:
      Defaults().AdrAckLimit = p.AdrAckLimit;
      break;
    case MIB_ADR_ACK_DEFAULT_DELAY:
      Defaults().AdrAckDelay = p.AdrAckDelay;
      break;
    case MIB_RSSI_FREE_THRESHOLD:
      if (!IsLbtRegion()) {
        return LORAMAC_STATUS_ERROR;
      }
      Nvm.RegionGroup2.RssiFreeThreshold = p.RssiFreeThreshold;
      break;
    case MIB_CARRIER_SENSE_TIME:
      if (!IsLbtRegion()) {
        return LORAMAC_STATUS_ERROR;
      }
      Nvm.RegionGroup2.CarrierSenseTime = p.CarrierSenseTime;
      break;
    default:
      status = LoRaMacClassBMibSetRequestConfirm(mibSet);
      break;
  }

  if (status == LORAMAC_STATUS_OK) {
    MacCtx.MacFlags.Bits.NvmHandle = 1;
  }
  return status;
}

LoRaMacStatus_t LoRaMacMlmeRequest(MlmeReq_t* mlmeRequest) {
  if (mlmeRequest == nullptr) {
    return LORAMAC_STATUS_PARAMETER_INVALID;
  }
  mlmeRequest->ReqReturn.DutyCycleWaitTime = 0;
  if (LoRaMacIsBusy() || LoRaMacConfirmQueueIsFull()) {
    return LORAMAC_STATUS_BUSY;
  }

  LoRaMacNvmDataGroup2_t& g2 = Nvm.MacGroup2;
  LoRaMacStatus_t status = LORAMAC_STATUS_SERVICE_UNKNOWN;
  MlmeConfirmQueue_t queueElement;

  if (LoRaMacConfirmQueueGetCnt() == 0) {
    memset(&MacCtx.MlmeConfirm, 0, sizeof(MacCtx.MlmeConfirm));
  }
  MacCtx.MacFlags.Bits.MlmeReq = 1;
  MacCtx.MlmeConfirm.Status = LORAMAC_EVENT_INFO_STATUS_ERROR;
  queueElement.Request = mlmeRequest->Type;
  queueElement.Status = LORAMAC_EVENT_INFO_STATUS_ERROR;
  queueElement.ReadyToHandle = false;
  queueElement.RestrictCommonReadyToHandle = false;
  bool abpJoin = false;

  switch (mlmeRequest->Type) {
    case MLME_JOIN:
      if ((MacCtx.MacState & LORAMAC_TX_DELAYED) != 0) {
        status = LORAMAC_STATUS_BUSY;
      } else if (mlmeRequest->Req.Join.NetworkActivation == ACTIVATION_TYPE_OTAA) {
        ResetMacParameters(false);
        Nvm.MacGroup1.ChannelsDatarate =
            RegionAlternateDr(Region(), (int8_t)mlmeRequest->Req.Join.Datarate, ALTERNATE_DR);
        queueElement.Status = LORAMAC_EVENT_INFO_STATUS_JOIN_FAIL;
        status = SendReJoinReq(JOIN_REQ);
        if (status != LORAMAC_STATUS_OK) {
          Nvm.MacGroup1.ChannelsDatarate = RegionAlternateDr(
              Region(), (int8_t)mlmeRequest->Req.Join.Datarate, ALTERNATE_DR_RESTORE);
        }
      } else if (mlmeRequest->Req.Join.NetworkActivation == ACTIVATION_TYPE_ABP) {
        g2.ChannelsDatarateChangedLinkAdrReq = false;
        InitDefaultsParams_t params = {};
        params.Type = INIT_TYPE_ACTIVATE_DEFAULT_CHANNELS;
        params.NvmGroup1 = &Nvm.RegionGroup1;
        params.NvmGroup2 = &Nvm.RegionGroup2;
        params.Bands = RegionBands;
        RegionInitDefaults(Region(), &params);
        g2.NetworkActivation = ACTIVATION_TYPE_ABP;
        queueElement.Status = LORAMAC_EVENT_INFO_STATUS_OK;
        queueElement.ReadyToHandle = true;
        abpJoin = true;
        status = LORAMAC_STATUS_OK;
      }
      break;
    case MLME_REJOIN_0:
    case MLME_REJOIN_1:
    case MLME_REJOIN_2: {
      static const JoinReqIdentifier_t types[] = {REJOIN_REQ_0, REJOIN_REQ_1, REJOIN_REQ_2};
      MacCtx.MlmeConfirm.MlmeRequest = mlmeRequest->Type;
      status = SendReJoinReq(types[mlmeRequest->Type - MLME_REJOIN_0]);
      break;
    }
    case MLME_LINK_CHECK:
    case MLME_DEVICE_TIME:
    case MLME_BEACON_TIMING: {
      uint8_t cid = (mlmeRequest->Type == MLME_LINK_CHECK)    ? MOTE_MAC_LINK_CHECK_REQ
                    : (mlmeRequest->Type == MLME_DEVICE_TIME) ? MOTE_MAC_DEVICE_TIME_REQ
                                                              : MOTE_MAC_BEACON_TIMING_REQ;
      uint8_t none = 0;
      status = (LoRaMacCommandsAddCmd(cid, &none, 0) == LORAMAC_COMMANDS_SUCCESS)
                   ? LORAMAC_STATUS_OK
                   : LORAMAC_STATUS_MAC_COMMAD_ERROR;
      break;
    }
    case MLME_PING_SLOT_INFO:
      if (g2.DeviceClass == CLASS_A) {
        uint8_t value = mlmeRequest->Req.PingSlotInfo.PingSlot.Value;
        LoRaMacClassBSetPingSlotInfo(mlmeRequest->Req.PingSlotInfo.PingSlot.Fields.Periodicity);
        status = (LoRaMacCommandsAddCmd(MOTE_MAC_PING_SLOT_INFO_REQ, &value, 1) ==
                  LORAMAC_COMMANDS_SUCCESS)
                     ? LORAMAC_STATUS_OK
                     : LORAMAC_STATUS_MAC_COMMAD_ERROR;
      }
      break;
    case MLME_TXCW:
      status = SetTxContinuousWave(mlmeRequest->Req.TxCw.Timeout, mlmeRequest->Req.TxCw.Frequency,
                                   mlmeRequest->Req.TxCw.Power);
      break;
    case MLME_BEACON_ACQUISITION:
      queueElement.RestrictCommonReadyToHandle = true;
      if (LoRaMacClassBIsAcquisitionInProgress()) {
        status = LORAMAC_STATUS_BUSY;
      } else {
        LoRaMacClassBSetBeaconState(BEACON_STATE_ACQUISITION);
        LoRaMacClassBBeaconTimerEvent(nullptr);
        status = LORAMAC_STATUS_OK;
      }
      break;
    default:
      break;
  }

  mlmeRequest->ReqReturn.DutyCycleWaitTime = MacCtx.DutyCycleWaitTime;

  if (status == LORAMAC_STATUS_OK) {
    LoRaMacConfirmQueueAdd(&queueElement);
    if (abpJoin) {
      if (!MacCtx.AbpJoinPendingTimerInitialized) {
        TimerInit(&MacCtx.AbpJoinPendingTimer, OnAbpJoinPendingTimerEvent);
        MacCtx.AbpJoinPendingTimerInitialized = true;
      }
      MacCtx.MacState |= LORAMAC_ABP_JOIN_PENDING;
      TimerStop(&MacCtx.AbpJoinPendingTimer);
      TimerSetValue(&MacCtx.AbpJoinPendingTimer, LORAMAC_ABP_JOIN_PENDING_DELAY);
      TimerStart(&MacCtx.AbpJoinPendingTimer);
    }
  } else if (LoRaMacConfirmQueueGetCnt() == 0) {
    MacCtx.NodeAckRequested = false;
    MacCtx.MacFlags.Bits.MlmeReq = 0;
  }
  return status;
}

LoRaMacStatus_t LoRaMacMcpsRequest(McpsReq_t* mcpsRequest) {
  if (mcpsRequest == nullptr) {
    return LORAMAC_STATUS_PARAMETER_INVALID;
  }
  mcpsRequest->ReqReturn.DutyCycleWaitTime = 0;
  if (LoRaMacIsBusy()) {
    return LORAMAC_STATUS_BUSY;
  }

  LoRaMacNvmDataGroup1_t& g1 = Nvm.MacGroup1;
  LoRaMacNvmDataGroup2_t& g2 = Nvm.MacGroup2;
  McpsReq_t request = *mcpsRequest;
  LoRaMacHeader_t macHdr;
  macHdr.Value = 0;
  memset(&MacCtx.McpsConfirm, 0, sizeof(MacCtx.McpsConfirm));
  MacCtx.McpsConfirm.Status = LORAMAC_EVENT_INFO_STATUS_ERROR;

  // A class C device that never heard the network asks for an
  // acknowledgement until it does.
  if (g2.NetworkActivation == ACTIVATION_TYPE_OTAA && g2.DeviceClass == CLASS_C &&
      !g2.DownlinkReceived && request.Type == MCPS_UNCONFIRMED) {
    request.Type = MCPS_CONFIRMED;
  }

  uint8_t fPort = 0;
  void* fBuffer = nullptr;
  uint16_t fBufferSize = 0;
  int8_t datarate = DR_0;
  bool readyToSend = false;
  switch (request.Type) {
    case MCPS_UNCONFIRMED:
      readyToSend = true;
      macHdr.Bits.MType = FRAME_TYPE_DATA_UNCONFIRMED_UP;
      fPort = request.Req.Unconfirmed.fPort;
      fBuffer = request.Req.Unconfirmed.fBuffer;
      fBufferSize = request.Req.Unconfirmed.fBufferSize;
      datarate = request.Req.Unconfirmed.Datarate;
      break;
    case MCPS_CONFIRMED:
      readyToSend = true;
      macHdr.Bits.MType = FRAME_TYPE_DATA_CONFIRMED_UP;
      fPort = (mcpsRequest->Type == MCPS_UNCONFIRMED) ? request.Req.Unconfirmed.fPort
                                                      : request.Req.Confirmed.fPort;
      fBuffer = (mcpsRequest->Type == MCPS_UNCONFIRMED) ? request.Req.Unconfirmed.fBuffer
                                                        : request.Req.Confirmed.fBuffer;
      fBufferSize = (mcpsRequest->Type == MCPS_UNCONFIRMED) ? request.Req.Unconfirmed.fBufferSize
                                                            : request.Req.Confirmed.fBufferSize;
      datarate = (mcpsRequest->Type == MCPS_UNCONFIRMED) ? request.Req.Unconfirmed.Datarate
                                                         : request.Req.Confirmed.Datarate;
      break;
    default:
      // Multicast cannot be sent; a proprietary uplink has no frame
      // format this MAC could secure, so it is refused too.
      break;
  }

  int8_t minDr = (int8_t)GetPhy(PHY_MIN_TX_DR);
  bool useDatarate = false;
  if (!g2.AdrCtrlOn) {
    datarate = (datarate < minDr) ? minDr : datarate;
    useDatarate = readyToSend;
  } else if (g2.NetworkActivation == ACTIVATION_TYPE_ABP && !g2.ChannelsDatarateChangedLinkAdrReq) {
    datarate = minDr;
    useDatarate = readyToSend;
  }
  if (useDatarate) {
    VerifyParams_t verify = {};
    verify.DatarateParams.Datarate = datarate;
    verify.DatarateParams.UplinkDwellTime = Params().UplinkDwellTime;
    if (!RegionVerify(Region(), &verify, PHY_TX_DR)) {
      return LORAMAC_STATUS_PARAMETER_INVALID;
    }
    g1.ChannelsDatarate = datarate;
  }

  if (!readyToSend) {
    return LORAMAC_STATUS_SERVICE_UNKNOWN;
  }

  if (MacCtx.ResponseTimeoutStartTime != 0 &&
      TimerGetElapsedTime(MacCtx.ResponseTimeoutStartTime) > LORAMAC_CLASS_B_C_RESPONSE_TIMEOUT) {
    g1.SrvAckRequested = false;
  }

  LoRaMacStatus_t status = Send(&macHdr, fPort, fBuffer, fBufferSize);
  if (status == LORAMAC_STATUS_OK) {
    MacCtx.MacFlags.Bits.McpsReq = 1;
    MacCtx.McpsConfirm.McpsRequest = request.Type;
  } else {
    MacCtx.NodeAckRequested = false;
  }
  mcpsRequest->ReqReturn.DutyCycleWaitTime = MacCtx.DutyCycleWaitTime;
  return status;
}

void LoRaMacProcess(void) {
  uint32_t mask;
  BoardCriticalSectionBegin(&mask);
  LoRaMacRadioEvents_t events;
  events.Value = LoRaMacRadioEvents.Value;
  LoRaMacRadioEvents.Value = 0;
  BoardCriticalSectionEnd(&mask);

  if (events.Value != 0) {
    ProcessRadioEvents(events);
  }

  LoRaMacClassBProcess();

  if (MacCtx.MacFlags.Bits.MacDone == 1) {
    MacCtx.AllowRequests = LORAMAC_REQUEST_HANDLING_OFF;
    if ((MacCtx.MacState & LORAMAC_RX_ABORT) != 0) {
      MacCtx.MacState &= ~(LORAMAC_RX_ABORT | LORAMAC_TX_RUNNING);
    }
    if (!LoRaMacCheckForBeaconAcquisition()) {
      LoRaMacHandleMlmeRequest();
      LoRaMacHandleMcpsRequest();
    }
    LoRaMacHandleRequestEvents();
    MacCtx.AllowRequests = LORAMAC_REQUEST_HANDLING_ON;
    MacCtx.MacFlags.Bits.NvmHandle = 1;
  }

  LoRaMacHandleIndicationEvents();
  LoRaMacHandleRejoinEvents();

  // Only where the window has closed (after a frame, a timeout or an
  // uplink): a continuous reception still running, perhaps in the middle of
  // a frame, is left alone, or that frame would be lost.
  if (MacCtx.RxSlot == RX_SLOT_WIN_CLASS_C && Radio.GetStatus() == RF_IDLE) {
    OpenContinuousRxCWindow();
  }

  uint32_t classCStops = MacCtx.ClassCStops;
  LoRaMacHandleNvm();
  // A client that stops and restarts the MAC while it stores the context
  // puts the radio to sleep: the class C window must listen again. (It is
  // not reopened otherwise: that would restart a reception under way.)
  if (MacCtx.ClassCStops != classCStops && IsClassCWindowToReopen()) {
    OpenContinuousRxCWindow();
  }
}
