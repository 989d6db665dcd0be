/*!
 * \file LoRaMacClassB.cpp
 *
 * \brief Class B: the beacon state machine, the ping-slot and multicast-slot
 *        machines, the beacon frame check, the slot-time computation, the
 *        answers to the class B MAC commands and the guards that keep uplinks
 *        away from beacons and slots.
 *
 * Three timers drive it; their callbacks only set event bits and ask the
 * client for a process step, and all the work happens in
 * LoRaMacClassBProcess, called from the MAC's process step.
 *
 * Clocks. Everything derives from the one board clock, the RTC:
 *  - timer time (TimerGetCurrentTime, TimerTime_t ms) is the RTC count; the
 *    timers, NextBeaconRxAdjusted and TimeStamp are on it;
 *  - system time (SysTimeGet, SysTime_t) is the RTC calendar time plus the
 *    offset that SysTimeSet stores (set by a received beacon and by
 *    DeviceTimeAns), so it runs at exactly the rate of timer time and only
 *    its origin differs; LastBeaconRx and NextBeaconRx are on it, as Unix
 *    seconds;
 *  - GPS seconds (BeaconTime, the beacon's Time field) are system seconds
 *    minus the GPS epoch offset. 315964800 s is a multiple of the 128 s
 *    beacon interval, so beacon boundaries fall on the same instants in
 *    both.
 * Positions within a beacon period are taken on system time (now minus the
 * last received beacon) and turned into timer deadlines by adding the
 * difference to the current timer time, read at the same moment. No value
 * of one clock is ever compared with a value of the other.
 */
#include "LoRaMacClassB.h"

#include <string.h>

#include "LoRaMacConfirmQueue.h"
#include "Region.h"
#include "board.h"
#include "radio.h"
#include "secure-element.h"

#define CLASSB_BEACON_INTERVAL 128000U
#define CLASSB_BEACON_RESERVED 2120U
#define CLASSB_BEACON_GUARD 3000U
#define CLASSB_BEACON_WINDOW 122880U
#define CLASSB_BEACON_WINDOW_SLOTS 4096U
#define CLASSB_PING_SLOT_WINDOW 30U
#define CLASSB_BEACON_SYMBOL_TO_DEFAULT 8U
#define CLASSB_BEACON_SYMBOL_TO_EXPANSION_MAX 255U
#define CLASSB_PING_SLOT_SYMBOL_TO_EXPANSION_MAX 30U
#define CLASSB_WINDOW_MOVE_DEFAULT 2U
#define CLASSB_WINDOW_MOVE_EXPANSION_MAX 256U
#define CLASSB_MAX_BEACON_LESS_PERIOD 7200000U
#define CLASSB_DEFAULT_TEMPERATURE 25.0f
//! A slot the other kind of slot is using is tried again this much later.
#define CLASSB_SLOT_RETRY 30U

namespace {

typedef union uLoRaMacClassBEvents {
  uint32_t Value;
  struct sEvents {
    uint32_t Beacon : 1;
    uint32_t PingSlot : 1;
    uint32_t MulticastSlot : 1;
  } Events;
} LoRaMacClassBEvents_t;

typedef struct sPingSlotContext {
  uint32_t PingSlotWindow;
  uint16_t PingOffset;
  uint16_t SymbolTimeout;
  //! The multicast group whose slot comes next; null when none.
  MulticastCtx_t* NextMulticastChannel;
} PingSlotContext_t;

typedef struct sBeaconContext {
  union uBeaconCtrl {
    uint8_t Value;
    struct sBeaconCtrlBits {
      uint8_t BeaconMode : 1;
      uint8_t BeaconAcquired : 1;
      uint8_t BeaconDelaySet : 1;
      uint8_t BeaconChannelSet : 1;
      uint8_t AcquisitionPending : 1;
      uint8_t ResumeBeaconing : 1;
    } Bits;
  } Ctrl;
  float Temperature;
  //! GPS seconds of the last beacon (received or expected).
  SysTime_t BeaconTime;
  //! System time of the start of the last received beacon.
  SysTime_t LastBeaconRx;
  //! System time of the start of the next beacon.
  SysTime_t NextBeaconRx;
  //! Timer time at which the next beacon reception is to begin.
  TimerTime_t NextBeaconRxAdjusted;
  uint16_t SymbolTimeout;
  TimerTime_t BeaconWindowMovement;
  uint8_t BeaconTimingChannel;
  TimerTime_t BeaconTimingDelay;
  //! Timer time of the last beacon timer event.
  TimerTime_t TimeStamp;
  SysTime_t BeaconTimePrecision;
} BeaconContext_t;

typedef struct sLoRaMacClassBCtx {
  PingSlotContext_t PingSlotCtx;
  BeaconContext_t BeaconCtx;
  BeaconState_t BeaconState;
  PingSlotState_t PingSlotState;
  PingSlotState_t MulticastSlotState;
  TimerEvent_t BeaconTimer;
  TimerEvent_t PingSlotTimer;
  TimerEvent_t MulticastSlotTimer;
  LoRaMacClassBCallback_t Callbacks;
  LoRaMacClassBParams_t Params;
  LoRaMacClassBNvmData_t* Nvm;
} LoRaMacClassBCtx_t;

LoRaMacClassBCtx_t Ctx;
volatile LoRaMacClassBEvents_t LoRaMacClassBEvents;

//! Ping-slot and multicast-slot receive configurations, kept from the slot
//! timer's start to the slot's opening.
RxConfigParams_t PingSlotRxConfig;
RxConfigParams_t MulticastSlotRxConfig;

//! Beacon time precision in ms by the Prec bits of the beacon's Param byte.
const uint8_t BeaconPrecTimeValue[4] = {0, 1, 1, 1};

// --- small helpers --------------------------------------------------------------

uint32_t GetPhy(PhyAttribute_t attribute, uint8_t channel = 0) {
  GetPhyParams_t getPhy = {};
  getPhy.Attribute = attribute;
  getPhy.Channel = channel;
  return RegionGetPhyParam(*Ctx.Params.LoRaMacRegion, &getPhy).Value;
}

LoRaMacFlags_t* MacFlags() { return reinterpret_cast<LoRaMacFlags_t*>(Ctx.Params.LoRaMacFlags); }

void Notify() {
  if (Ctx.Callbacks.MacProcessNotify != nullptr) {
    Ctx.Callbacks.MacProcessNotify();
  }
}

float Temperature() {
  if (Ctx.Callbacks.GetTemperatureLevel != nullptr) {
    return Ctx.Callbacks.GetTemperatureLevel();
  }
  return CLASSB_DEFAULT_TEMPERATURE;
}

//! a - b in ms; negative when b is later.
int64_t SysTimeDiffMs(SysTime_t a, SysTime_t b) {
  return ((int64_t)a.Seconds - (int64_t)b.Seconds) * 1000 +
         ((int64_t)a.SubSeconds - (int64_t)b.SubSeconds);
}

SysTime_t SysTimeAddMs(SysTime_t t, int64_t ms) {
  int64_t total = (int64_t)t.SubSeconds + ms;
  int64_t seconds = total / 1000;
  int64_t sub = total % 1000;
  if (sub < 0) {
    sub += 1000;
    seconds--;
  }
  SysTime_t r;
  r.Seconds = (uint32_t)((int64_t)t.Seconds + seconds);
  r.SubSeconds = (int16_t)sub;
  return r;
}

//! Position of system time \a sysNow within the beacon period of the last
//! received beacon, in ms.
uint32_t BeaconPeriodPosition(SysTime_t sysNow) {
  int64_t sinceLast = SysTimeDiffMs(sysNow, Ctx.BeaconCtx.LastBeaconRx);
  int64_t pos = sinceLast % (int64_t)CLASSB_BEACON_INTERVAL;
  if (pos < 0) {
    pos += CLASSB_BEACON_INTERVAL;
  }
  return (uint32_t)pos;
}

//! \a time plus the window offset, where the offset does not reach past the
//! start of the wait.
TimerTime_t AddWindowOffset(TimerTime_t time, int32_t windowOffset) {
  int64_t corrected = (int64_t)time + windowOffset;
  return (corrected > 0) ? (TimerTime_t)corrected : time;
}

void StartTimer(TimerEvent_t* timer, TimerTime_t value) {
  TimerStop(timer);
  TimerSetValue(timer, (value == 0) ? 1 : value);
  TimerStart(timer);
}

// --- initialisation -------------------------------------------------------------

void InitClassB() {
  LoRaMacClassBEvents.Value = 0;
  memset(Ctx.Nvm, 0, sizeof(*Ctx.Nvm));
  memset(&Ctx.PingSlotCtx, 0, sizeof(Ctx.PingSlotCtx));
  memset(&Ctx.BeaconCtx, 0, sizeof(Ctx.BeaconCtx));
  Ctx.BeaconCtx.Temperature = Temperature();
  Ctx.Nvm->PingSlotCtx.Datarate = (int8_t)GetPhy(PHY_PING_SLOT_CHANNEL_DR);
  Ctx.Nvm->PingSlotCtx.FPendingSet = 0;
  Ctx.BeaconState = BEACON_STATE_ACQUISITION;
  Ctx.PingSlotState = PINGSLOT_STATE_CALC_PING_OFFSET;
  Ctx.MulticastSlotState = PINGSLOT_STATE_CALC_PING_OFFSET;
}

//! As InitClassB, but the network's choice of beacon frequency, ping-slot
//! frequency and ping-slot datarate stays.
void InitClassBDefaults() {
  LoRaMacClassBNvmData_t kept = *Ctx.Nvm;
  InitClassB();
  Ctx.Nvm->BeaconCtx.Ctrl.Fields.CustomFreq = kept.BeaconCtx.Ctrl.Fields.CustomFreq;
  Ctx.Nvm->BeaconCtx.Frequency = kept.BeaconCtx.Frequency;
  Ctx.Nvm->PingSlotCtx.Ctrl.Fields.CustomFreq = kept.PingSlotCtx.Ctrl.Fields.CustomFreq;
  Ctx.Nvm->PingSlotCtx.Frequency = kept.PingSlotCtx.Frequency;
  Ctx.Nvm->PingSlotCtx.Datarate = kept.PingSlotCtx.Datarate;
}

// --- beacon ---------------------------------------------------------------------

uint32_t CalcDownlinkFrequency(uint32_t address, SysTime_t beaconTime, bool isBeacon) {
  uint32_t nbChannels = GetPhy(isBeacon ? PHY_BEACON_NB_CHANNELS : PHY_PING_SLOT_NB_CHANNELS);
  uint32_t channel = 0;
  if (nbChannels >= 2) {
    channel =
        GetPhy(PHY_BEACON_CHANNEL_OFFSET) +
        (uint32_t)(((uint64_t)address + beaconTime.Seconds / (CLASSB_BEACON_INTERVAL / 1000)) %
                   nbChannels);
  }
  return GetPhy(isBeacon ? PHY_BEACON_CHANNEL_FREQ : PHY_PING_SLOT_CHANNEL_FREQ, (uint8_t)channel);
}

uint32_t BeaconRxError() {
  uint32_t precision = (uint32_t)Ctx.BeaconCtx.BeaconTimePrecision.SubSeconds;
  uint32_t maxRxError = Ctx.Params.LoRaMacParams->SystemMaxRxError;
  return (precision > maxRxError) ? precision : maxRxError;
}

void CalculateBeaconRxWindowConfig(RxConfigParams_t* config, uint16_t symbolTimeout) {
  config->WindowTimeout = symbolTimeout;
  config->WindowOffset = 0;
  if (Ctx.BeaconCtx.Ctrl.Bits.BeaconAcquired == 1 ||
      Ctx.BeaconCtx.Ctrl.Bits.AcquisitionPending == 1) {
    RegionComputeRxWindowParameters(
        *Ctx.Params.LoRaMacRegion, (int8_t)GetPhy(PHY_BEACON_CHANNEL_DR),
        Ctx.Params.LoRaMacParams->MinRxSymbols, BeaconRxError(), config);
  }
}

/*!
 * Starts a beacon reception; false, with the radio untouched, when the band
 * has no beacon frequency to listen on.
 */
bool RxBeaconSetup(TimerTime_t rxTime, bool activateDefaultChannel, uint16_t symbolTimeout) {
  uint32_t frequency;
  if (activateDefaultChannel) {
    frequency = GetPhy(PHY_BEACON_CHANNEL_FREQ, 0);
  } else {
    SysTime_t next = Ctx.BeaconCtx.BeaconTime;
    next.Seconds += CLASSB_BEACON_INTERVAL / 1000;
    frequency = CalcDownlinkFrequency(0, next, true);
  }
  if (Ctx.Nvm->BeaconCtx.Ctrl.Fields.CustomFreq == 1) {
    frequency = Ctx.Nvm->BeaconCtx.Frequency;
  }
  if (Ctx.BeaconCtx.Ctrl.Bits.BeaconChannelSet == 1) {
    Ctx.BeaconCtx.Ctrl.Bits.BeaconChannelSet = 0;
    frequency = GetPhy(PHY_BEACON_CHANNEL_FREQ, Ctx.BeaconCtx.BeaconTimingChannel);
  }
  if (frequency == 0) {
    return false;
  }

  RxBeaconSetup_t setup = {};
  setup.SymbolTimeout = symbolTimeout;
  setup.RxTime = rxTime;
  setup.Frequency = frequency;
  RegionRxBeaconSetup(*Ctx.Params.LoRaMacRegion, &setup, &Ctx.Params.McpsIndication->RxDatarate);
  Ctx.Params.MlmeIndication->BeaconInfo.Frequency = frequency;
  Ctx.Params.MlmeIndication->BeaconInfo.Datarate = Ctx.Params.McpsIndication->RxDatarate;
  return true;
}

void RaiseMlmeIndication(Mlme_t indication, LoRaMacEventInfoStatus_t status) {
  Ctx.Params.MlmeIndication->MlmeIndication = indication;
  Ctx.Params.MlmeIndication->Status = status;
  MacFlags()->Bits.MlmeInd = 1;
  MacFlags()->Bits.MacDone = 1;
}

void StartRxSlots() {
  if (Ctx.Nvm->PingSlotCtx.Ctrl.Fields.Assigned == 1) {
    Ctx.PingSlotState = PINGSLOT_STATE_CALC_PING_OFFSET;
    StartTimer(&Ctx.PingSlotTimer, 1);
    Ctx.MulticastSlotState = PINGSLOT_STATE_CALC_PING_OFFSET;
    StartTimer(&Ctx.MulticastSlotTimer, 1);
  }
}

/*!
 * Schedules the next beacon reception; returns the beacon timer value, which
 * wakes the machine a guard time before the beacon.
 */
TimerTime_t UpdateBeaconState(LoRaMacEventInfoStatus_t status, TimerTime_t windowMovement,
                              TimerTime_t now, SysTime_t sysNow) {
  TimerTime_t toNext = CLASSB_BEACON_INTERVAL - BeaconPeriodPosition(sysNow);
  Ctx.BeaconCtx.NextBeaconRx = SysTimeAddMs(sysNow, toNext);

  TimerTime_t wait = TimerTempCompensation(toNext, Ctx.BeaconCtx.Temperature);
  if (wait > windowMovement) {
    wait -= windowMovement;
  }
  Ctx.BeaconCtx.NextBeaconRxAdjusted = now + wait;

  StartRxSlots();

  if (Ctx.BeaconCtx.Ctrl.Bits.ResumeBeaconing == 0) {
    RaiseMlmeIndication(MLME_BEACON, status);
  }
  Ctx.BeaconCtx.Ctrl.Bits.ResumeBeaconing = 0;

  return (wait > CLASSB_BEACON_GUARD) ? wait - CLASSB_BEACON_GUARD : wait;
}

void GoLost(bool* activateTimer, TimerTime_t* beaconEventTime) {
  Ctx.BeaconState = BEACON_STATE_LOST;
  *beaconEventTime = 1;
  *activateTimer = true;
}

void HandleBeacon() {
  bool activateTimer = false;
  TimerTime_t beaconEventTime = 1;
  TimerTime_t now = TimerGetCurrentTime();
  SysTime_t sysNow = SysTimeGet();
  RxConfigParams_t beaconRxConfig = {};

  switch (Ctx.BeaconState) {
    case BEACON_STATE_ACQUISITION_BY_TIME: {
      if (Ctx.BeaconCtx.Ctrl.Bits.AcquisitionPending == 1) {
        Radio.Sleep();
        GoLost(&activateTimer, &beaconEventTime);
        break;
      }
      Ctx.BeaconCtx.SymbolTimeout = CLASSB_BEACON_SYMBOL_TO_DEFAULT;
      Ctx.PingSlotCtx.SymbolTimeout = CLASSB_BEACON_SYMBOL_TO_DEFAULT;
      Ctx.BeaconCtx.BeaconWindowMovement = CLASSB_WINDOW_MOVE_DEFAULT;

      if (Ctx.BeaconCtx.Ctrl.Bits.BeaconDelaySet == 0) {
        memset(&Ctx.BeaconCtx.NextBeaconRx, 0, sizeof(Ctx.BeaconCtx.NextBeaconRx));
        Ctx.BeaconCtx.BeaconTimingDelay = 0;
        Ctx.BeaconState = BEACON_STATE_ACQUISITION;
        activateTimer = true;
      } else if (Ctx.BeaconCtx.BeaconTimingDelay > 0) {
        CalculateBeaconRxWindowConfig(&beaconRxConfig, CLASSB_BEACON_SYMBOL_TO_DEFAULT);
        int64_t toNext = SysTimeDiffMs(Ctx.BeaconCtx.NextBeaconRx, sysNow);
        if (toNext > 0) {
          beaconEventTime =
              AddWindowOffset(TimerTempCompensation((TimerTime_t)toNext, Ctx.BeaconCtx.Temperature),
                              beaconRxConfig.WindowOffset);
        } else {
          Ctx.BeaconCtx.Ctrl.Bits.BeaconDelaySet = 0;
          Ctx.BeaconCtx.Ctrl.Bits.BeaconChannelSet = 0;
          Ctx.BeaconState = BEACON_STATE_ACQUISITION;
        }
        Ctx.BeaconCtx.BeaconTimingDelay = 0;
        activateTimer = true;
      } else {
        Ctx.BeaconCtx.Ctrl.Bits.BeaconDelaySet = 0;
        Ctx.BeaconCtx.Ctrl.Bits.AcquisitionPending = 1;
        CalculateBeaconRxWindowConfig(&beaconRxConfig, CLASSB_BEACON_SYMBOL_TO_DEFAULT);
        if (!RxBeaconSetup(CLASSB_BEACON_RESERVED, false, (uint16_t)beaconRxConfig.WindowTimeout)) {
          GoLost(&activateTimer, &beaconEventTime);
        }
      }
      break;
    }
    case BEACON_STATE_ACQUISITION: {
      if (Ctx.BeaconCtx.Ctrl.Bits.AcquisitionPending == 1) {
        Radio.Sleep();
        GoLost(&activateTimer, &beaconEventTime);
        break;
      }
      Ctx.BeaconCtx.Ctrl.Bits.AcquisitionPending = 1;
      Ctx.BeaconCtx.SymbolTimeout = CLASSB_BEACON_SYMBOL_TO_DEFAULT;
      Ctx.PingSlotCtx.SymbolTimeout = CLASSB_BEACON_SYMBOL_TO_DEFAULT;
      Ctx.BeaconCtx.BeaconWindowMovement = CLASSB_WINDOW_MOVE_DEFAULT;
      CalculateBeaconRxWindowConfig(&beaconRxConfig, CLASSB_BEACON_SYMBOL_TO_DEFAULT);
      // A band without a beacon frequency cannot acquire: report the
      // acquisition as failed instead of listening on nothing.
      if (!RxBeaconSetup(0, true, (uint16_t)beaconRxConfig.WindowTimeout)) {
        GoLost(&activateTimer, &beaconEventTime);
        break;
      }
      beaconEventTime = CLASSB_BEACON_INTERVAL;
      activateTimer = true;
      break;
    }
    case BEACON_STATE_TIMEOUT: {
      Ctx.BeaconCtx.BeaconTime.Seconds += CLASSB_BEACON_INTERVAL / 1000;
      Ctx.BeaconCtx.BeaconTime.SubSeconds = 0;
      Ctx.BeaconCtx.BeaconWindowMovement *= 2;
      if (Ctx.BeaconCtx.BeaconWindowMovement > CLASSB_WINDOW_MOVE_EXPANSION_MAX) {
        Ctx.BeaconCtx.BeaconWindowMovement = CLASSB_WINDOW_MOVE_EXPANSION_MAX;
      }
      Ctx.BeaconCtx.SymbolTimeout = (uint16_t)(Ctx.BeaconCtx.SymbolTimeout * 2);
      if (Ctx.BeaconCtx.SymbolTimeout > CLASSB_BEACON_SYMBOL_TO_EXPANSION_MAX) {
        Ctx.BeaconCtx.SymbolTimeout = CLASSB_BEACON_SYMBOL_TO_EXPANSION_MAX;
      }
      Ctx.PingSlotCtx.SymbolTimeout = (uint16_t)(Ctx.PingSlotCtx.SymbolTimeout * 2);
      if (Ctx.PingSlotCtx.SymbolTimeout > CLASSB_PING_SLOT_SYMBOL_TO_EXPANSION_MAX) {
        Ctx.PingSlotCtx.SymbolTimeout = CLASSB_PING_SLOT_SYMBOL_TO_EXPANSION_MAX;
      }
      Ctx.BeaconState = BEACON_STATE_REACQUISITION;
    }
      [[fallthrough]];
    case BEACON_STATE_REACQUISITION: {
      Ctx.BeaconCtx.Ctrl.Bits.BeaconAcquired = 0;
      // Beacon-less operation lasts from the last beacon received, both
      // instants on system time.
      if (SysTimeDiffMs(sysNow, Ctx.BeaconCtx.LastBeaconRx) <=
          (int64_t)CLASSB_MAX_BEACON_LESS_PERIOD) {
        beaconEventTime = UpdateBeaconState(LORAMAC_EVENT_INFO_STATUS_BEACON_LOST,
                                            Ctx.BeaconCtx.BeaconWindowMovement, now, sysNow);
        Ctx.BeaconState = BEACON_STATE_IDLE;
        activateTimer = true;
      } else {
        GoLost(&activateTimer, &beaconEventTime);
      }
      break;
    }
    case BEACON_STATE_LOCKED: {
      Ctx.BeaconCtx.Ctrl.Bits.AcquisitionPending = 0;
      beaconEventTime = UpdateBeaconState(LORAMAC_EVENT_INFO_STATUS_BEACON_LOCKED, 0, now, sysNow);
      if (MacFlags()->Bits.MlmeReq == 1 &&
          LoRaMacConfirmQueueIsCmdActive(MLME_BEACON_ACQUISITION)) {
        LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_OK, MLME_BEACON_ACQUISITION);
        Ctx.Params.MlmeConfirm->TxTimeOnAir = 0;
      }
      Ctx.BeaconState = BEACON_STATE_IDLE;
      activateTimer = true;
      break;
    }
    case BEACON_STATE_IDLE: {
      Ctx.BeaconCtx.Temperature = Temperature();
      TimerTime_t next = Ctx.BeaconCtx.NextBeaconRxAdjusted - Radio.GetWakeupTime();
      CalculateBeaconRxWindowConfig(&beaconRxConfig, Ctx.BeaconCtx.SymbolTimeout);
      if ((int32_t)(next - now) > 0) {
        Ctx.BeaconState = BEACON_STATE_GUARD;
        beaconEventTime =
            AddWindowOffset(TimerTempCompensation(next - now, Ctx.BeaconCtx.Temperature),
                            beaconRxConfig.WindowOffset);
      } else {
        Ctx.BeaconState = BEACON_STATE_REACQUISITION;
      }
      activateTimer = true;
      break;
    }
    case BEACON_STATE_GUARD: {
      Ctx.BeaconState = BEACON_STATE_RX;
      LoRaMacClassBStopRxSlots();
      CalculateBeaconRxWindowConfig(&beaconRxConfig, Ctx.BeaconCtx.SymbolTimeout);
      if (!RxBeaconSetup(CLASSB_BEACON_RESERVED, false, (uint16_t)beaconRxConfig.WindowTimeout)) {
        GoLost(&activateTimer, &beaconEventTime);
      }
      break;
    }
    case BEACON_STATE_LOST: {
      // The loss is always reported: to a beacon acquisition waiting
      // for its confirm, else as an indication, whatever other
      // confirms are owed.
      if (MacFlags()->Bits.MlmeReq == 1 &&
          LoRaMacConfirmQueueIsCmdActive(MLME_BEACON_ACQUISITION)) {
        LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_BEACON_NOT_FOUND,
                                     MLME_BEACON_ACQUISITION);
      } else {
        Ctx.Params.MlmeIndication->MlmeIndication = MLME_BEACON_LOST;
        Ctx.Params.MlmeIndication->Status = LORAMAC_EVENT_INFO_STATUS_OK;
        MacFlags()->Bits.MlmeInd = 1;
      }
      LoRaMacClassBStopRxSlots();
      InitClassBDefaults();
      MacFlags()->Bits.MacDone = 1;
      break;
    }
    default:
      Ctx.BeaconState = BEACON_STATE_ACQUISITION;
      break;
  }

  if (activateTimer) {
    StartTimer(&Ctx.BeaconTimer, beaconEventTime);
  }
}

// --- slots ----------------------------------------------------------------------

bool AnyMulticastGroup() {
  for (uint8_t i = 0; i < LORAMAC_MAX_MC_CTX; i++) {
    const MulticastCtx_t& group = Ctx.Params.MulticastChannels[i];
    if (group.ChannelParams.IsEnabled && group.ChannelParams.RxParams.Class == CLASS_B) {
      return true;
    }
  }
  return false;
}

void ComputeSlotWindow(RxConfigParams_t* config, TimerTime_t* slotTime) {
  if (Ctx.BeaconCtx.Ctrl.Bits.BeaconAcquired == 1) {
    RegionComputeRxWindowParameters(*Ctx.Params.LoRaMacRegion, Ctx.Nvm->PingSlotCtx.Datarate,
                                    Ctx.Params.LoRaMacParams->MinRxSymbols, BeaconRxError(),
                                    config);
    Ctx.PingSlotCtx.SymbolTimeout = (uint16_t)config->WindowTimeout;
    *slotTime = AddWindowOffset(*slotTime, config->WindowOffset);
  } else {
    config->WindowTimeout = Ctx.PingSlotCtx.SymbolTimeout;
    config->WindowOffset = 0;
  }
}

void OpenSlot(RxConfigParams_t* config, int8_t datarate, uint32_t frequency, LoRaMacRxSlot_t slot) {
  config->Datarate = datarate;
  config->DownlinkDwellTime = Ctx.Params.LoRaMacParams->DownlinkDwellTime;
  config->RxContinuous = false;
  config->RxSlot = slot;
  config->NetworkActivation = *Ctx.Params.NetworkActivation;
  config->Frequency = frequency;
  config->Channel = 0;
  config->DrOffset = 0;
  if (RegionRxConfig(*Ctx.Params.LoRaMacRegion, config,
                     (int8_t*)&Ctx.Params.McpsIndication->RxDatarate)) {
    Radio.Rx(Ctx.Params.LoRaMacParams->MaxRxWindow);
  }
}

void HandlePingSlot() {
  switch (Ctx.PingSlotState) {
    case PINGSLOT_STATE_CALC_PING_OFFSET:
      Ctx.PingSlotCtx.PingOffset = LoRaMacClassBComputePingOffset(Ctx.BeaconCtx.BeaconTime.Seconds,
                                                                  *Ctx.Params.LoRaMacDevAddr,
                                                                  Ctx.Nvm->PingSlotCtx.PingPeriod);
      Ctx.PingSlotState = PINGSLOT_STATE_SET_TIMER;
      [[fallthrough]];
    case PINGSLOT_STATE_SET_TIMER: {
      TimerTime_t slotTime = 0;
      if (LoRaMacClassBCalcNextSlotTime(Ctx.PingSlotCtx.PingOffset, Ctx.Nvm->PingSlotCtx.PingPeriod,
                                        Ctx.Nvm->PingSlotCtx.PingNb, &slotTime)) {
        ComputeSlotWindow(&PingSlotRxConfig, &slotTime);
        Ctx.PingSlotState = PINGSLOT_STATE_IDLE;
        StartTimer(&Ctx.PingSlotTimer, slotTime);
      }
      // No slot left in this beacon period: the next beacon restarts
      // the slots.
      break;
    }
    case PINGSLOT_STATE_IDLE: {
      uint32_t frequency = Ctx.Nvm->PingSlotCtx.Frequency;
      if (Ctx.Nvm->PingSlotCtx.Ctrl.Fields.CustomFreq == 0) {
        frequency =
            CalcDownlinkFrequency(*Ctx.Params.LoRaMacDevAddr, Ctx.BeaconCtx.BeaconTime, false);
      }
      if (Ctx.MulticastSlotState == PINGSLOT_STATE_RX) {
        MulticastCtx_t* next = Ctx.PingSlotCtx.NextMulticastChannel;
        if (next != nullptr && next->FPendingSet >= Ctx.Nvm->PingSlotCtx.FPendingSet) {
          Radio.Standby();
          Ctx.MulticastSlotState = PINGSLOT_STATE_CALC_PING_OFFSET;
          StartTimer(&Ctx.MulticastSlotTimer, CLASSB_SLOT_RETRY);
        } else {
          Ctx.PingSlotState = PINGSLOT_STATE_CALC_PING_OFFSET;
          StartTimer(&Ctx.PingSlotTimer, CLASSB_SLOT_RETRY);
          break;
        }
      }
      if (frequency == 0) {
        // Nothing to listen on in this band.
        Ctx.PingSlotState = PINGSLOT_STATE_CALC_PING_OFFSET;
        break;
      }
      Ctx.PingSlotState = PINGSLOT_STATE_RX;
      OpenSlot(&PingSlotRxConfig, Ctx.Nvm->PingSlotCtx.Datarate, frequency,
               RX_SLOT_WIN_CLASS_B_PING_SLOT);
      break;
    }
    default:
      Ctx.PingSlotState = PINGSLOT_STATE_CALC_PING_OFFSET;
      break;
  }
}

void HandleMulticastSlot() {
  if (!AnyMulticastGroup() || Ctx.MulticastSlotState == PINGSLOT_STATE_RX) {
    return;
  }
  switch (Ctx.MulticastSlotState) {
    case PINGSLOT_STATE_CALC_PING_OFFSET:
      for (uint8_t i = 0; i < LORAMAC_MAX_MC_CTX; i++) {
        MulticastCtx_t& group = Ctx.Params.MulticastChannels[i];
        if (group.ChannelParams.IsEnabled && group.ChannelParams.RxParams.Class == CLASS_B) {
          group.PingOffset = LoRaMacClassBComputePingOffset(
              Ctx.BeaconCtx.BeaconTime.Seconds, group.ChannelParams.Address, group.PingPeriod);
        }
      }
      Ctx.MulticastSlotState = PINGSLOT_STATE_SET_TIMER;
      [[fallthrough]];
    case PINGSLOT_STATE_SET_TIMER: {
      TimerTime_t earliest = 0;
      Ctx.PingSlotCtx.NextMulticastChannel = nullptr;
      for (uint8_t i = 0; i < LORAMAC_MAX_MC_CTX; i++) {
        MulticastCtx_t& group = Ctx.Params.MulticastChannels[i];
        TimerTime_t slotTime = 0;
        if (group.ChannelParams.IsEnabled && group.ChannelParams.RxParams.Class == CLASS_B &&
            LoRaMacClassBCalcNextSlotTime(group.PingOffset, group.PingPeriod, group.PingNb,
                                          &slotTime) &&
            (Ctx.PingSlotCtx.NextMulticastChannel == nullptr || slotTime < earliest)) {
          earliest = slotTime;
          Ctx.PingSlotCtx.NextMulticastChannel = &group;
        }
      }
      if (Ctx.PingSlotCtx.NextMulticastChannel == nullptr) {
        break;
      }
      ComputeSlotWindow(&MulticastSlotRxConfig, &earliest);
      Ctx.MulticastSlotState = PINGSLOT_STATE_IDLE;
      StartTimer(&Ctx.MulticastSlotTimer, earliest);
      break;
    }
    case PINGSLOT_STATE_IDLE: {
      MulticastCtx_t* group = Ctx.PingSlotCtx.NextMulticastChannel;
      if (group == nullptr) {
        Ctx.MulticastSlotState = PINGSLOT_STATE_CALC_PING_OFFSET;
        StartTimer(&Ctx.MulticastSlotTimer, 1);
        break;
      }
      uint32_t frequency = group->ChannelParams.RxParams.ClassB.Frequency;
      if (frequency == 0) {
        frequency =
            CalcDownlinkFrequency(group->ChannelParams.Address, Ctx.BeaconCtx.BeaconTime, false);
      }
      if (Ctx.PingSlotState == PINGSLOT_STATE_RX) {
        if (group->FPendingSet < Ctx.Nvm->PingSlotCtx.FPendingSet) {
          Radio.Standby();
          Ctx.PingSlotState = PINGSLOT_STATE_CALC_PING_OFFSET;
          StartTimer(&Ctx.PingSlotTimer, CLASSB_SLOT_RETRY);
        } else {
          Ctx.MulticastSlotState = PINGSLOT_STATE_CALC_PING_OFFSET;
          StartTimer(&Ctx.MulticastSlotTimer, CLASSB_SLOT_RETRY);
          break;
        }
      }
      if (frequency == 0) {
        Ctx.MulticastSlotState = PINGSLOT_STATE_CALC_PING_OFFSET;
        break;
      }
      Ctx.MulticastSlotState = PINGSLOT_STATE_RX;
      OpenSlot(&MulticastSlotRxConfig, group->ChannelParams.RxParams.ClassB.Datarate, frequency,
               RX_SLOT_WIN_CLASS_B_MULTICAST_SLOT);
      break;
    }
    default:
      Ctx.MulticastSlotState = PINGSLOT_STATE_CALC_PING_OFFSET;
      break;
  }
}

uint16_t Crc16Xmodem(const uint8_t* data, uint16_t size) {
  uint16_t crc = 0;
  for (uint16_t i = 0; i < size; i++) {
    crc ^= (uint16_t)((uint16_t)data[i] << 8);
    for (uint8_t bit = 0; bit < 8; bit++) {
      crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
    }
  }
  return crc;
}

}  // namespace

// --- interface ------------------------------------------------------------------

void LoRaMacClassBInit(LoRaMacClassBParams_t* classBParams, LoRaMacClassBCallback_t* callbacks,
                       LoRaMacClassBNvmData_t* nvm) {
  Ctx.Params = *classBParams;
  Ctx.Callbacks = *callbacks;
  Ctx.Nvm = nvm;

  // A reset may come while class B runs: its timers leave the list first.
  TimerStop(&Ctx.BeaconTimer);
  TimerStop(&Ctx.PingSlotTimer);
  TimerStop(&Ctx.MulticastSlotTimer);
  TimerInit(&Ctx.BeaconTimer, LoRaMacClassBBeaconTimerEvent);
  TimerInit(&Ctx.PingSlotTimer, LoRaMacClassBPingSlotTimerEvent);
  TimerInit(&Ctx.MulticastSlotTimer, LoRaMacClassBMulticastSlotTimerEvent);

  InitClassB();
}

void LoRaMacClassBProcess(void) {
  uint32_t mask;
  BoardCriticalSectionBegin(&mask);
  LoRaMacClassBEvents_t events;
  events.Value = LoRaMacClassBEvents.Value;
  LoRaMacClassBEvents.Value = 0;
  BoardCriticalSectionEnd(&mask);

  if (events.Value == 0) {
    return;
  }
  if (events.Events.Beacon == 1) {
    HandleBeacon();
  }
  if (events.Events.PingSlot == 1) {
    HandlePingSlot();
  }
  if (events.Events.MulticastSlot == 1) {
    HandleMulticastSlot();
  }
}

void LoRaMacClassBSetBeaconState(BeaconState_t beaconState) {
  if (beaconState == BEACON_STATE_ACQUISITION) {
    if (Ctx.BeaconCtx.Ctrl.Bits.BeaconDelaySet == 1 &&
        Ctx.BeaconCtx.Ctrl.Bits.AcquisitionPending == 0) {
      Ctx.BeaconState = BEACON_STATE_ACQUISITION_BY_TIME;
    } else {
      Ctx.BeaconState = BEACON_STATE_ACQUISITION;
    }
  } else if (Ctx.BeaconState != BEACON_STATE_ACQUISITION &&
             Ctx.BeaconState != BEACON_STATE_ACQUISITION_BY_TIME) {
    Ctx.BeaconState = beaconState;
  }
}

void LoRaMacClassBSetPingSlotState(PingSlotState_t pingSlotState) {
  Ctx.PingSlotState = pingSlotState;
}

void LoRaMacClassBSetMulticastSlotState(PingSlotState_t multicastSlotState) {
  Ctx.MulticastSlotState = multicastSlotState;
}

bool LoRaMacClassBIsAcquisitionInProgress(void) {
  return Ctx.BeaconState == BEACON_STATE_ACQUISITION_BY_TIME ||
         Ctx.BeaconCtx.Ctrl.Bits.AcquisitionPending == 1;
}

void LoRaMacClassBBeaconTimerEvent(void*) {
  Ctx.BeaconCtx.TimeStamp = TimerGetCurrentTime();
  TimerStop(&Ctx.BeaconTimer);
  LoRaMacClassBEvents.Events.Beacon = 1;
  Notify();
}

void LoRaMacClassBPingSlotTimerEvent(void*) {
  LoRaMacClassBEvents.Events.PingSlot = 1;
  Notify();
}

void LoRaMacClassBMulticastSlotTimerEvent(void*) {
  LoRaMacClassBEvents.Events.MulticastSlot = 1;
  Notify();
}

bool LoRaMacClassBRxBeacon(uint8_t* payload, uint16_t size) {
  if (Ctx.BeaconState != BEACON_STATE_RX && Ctx.BeaconCtx.Ctrl.Bits.AcquisitionPending == 0) {
    return false;
  }

  GetPhyParams_t getPhy = {};
  getPhy.Attribute = PHY_BEACON_FORMAT;
  BeaconFormat_t format = RegionGetPhyParam(*Ctx.Params.LoRaMacRegion, &getPhy).BeaconFormat;
  bool beaconReceived = false;

  // Only a frame of the region's beacon size whose fields all fit in it.
  if (format.BeaconSize != 0 && size == format.BeaconSize &&
      (uint16_t)format.Rfu1Size + format.Rfu2Size + 16 <= size) {
    BeaconInfo_t* info = &Ctx.Params.MlmeIndication->BeaconInfo;
    uint16_t index = format.Rfu1Size;
    uint16_t crc1 = (uint16_t)(payload[index + 5] | (payload[index + 6] << 8));
    if (Crc16Xmodem(payload, (uint16_t)(format.Rfu1Size + 5)) == crc1) {
      info->Param = payload[index];
      Ctx.BeaconCtx.BeaconTimePrecision.SubSeconds = BeaconPrecTimeValue[info->Param & 0x03];
      Ctx.BeaconCtx.BeaconTimePrecision.Seconds = 0;
      uint32_t seconds = (uint32_t)payload[index + 1] | ((uint32_t)payload[index + 2] << 8) |
                         ((uint32_t)payload[index + 3] << 16) |
                         ((uint32_t)payload[index + 4] << 24);
      Ctx.BeaconCtx.BeaconTime.Seconds = seconds;
      Ctx.BeaconCtx.BeaconTime.SubSeconds = 0;
      info->Time = Ctx.BeaconCtx.BeaconTime;
      beaconReceived = true;
    }
    index = (uint16_t)(format.Rfu1Size + 7);
    uint16_t gwLength = (uint16_t)(7 + format.Rfu2Size);
    uint16_t crc2 = (uint16_t)(payload[index + gwLength] | (payload[index + gwLength + 1] << 8));
    if (Crc16Xmodem(&payload[index], gwLength) == crc2) {
      info->GwSpecific.InfoDesc = payload[index];
      memcpy(info->GwSpecific.Info, &payload[index + 1], sizeof(info->GwSpecific.Info));
    }
  }

  if (beaconReceived) {
    getPhy.Attribute = PHY_BEACON_CHANNEL_DR;
    int8_t beaconDr = (int8_t)RegionGetPhyParam(*Ctx.Params.LoRaMacRegion, &getPhy).Value;
    getPhy.Datarate = beaconDr;
    getPhy.Attribute = PHY_BW_FROM_DR;
    uint32_t bandwidth = RegionGetPhyParam(*Ctx.Params.LoRaMacRegion, &getPhy).Value;
    getPhy.Attribute = PHY_SF_FROM_DR;
    uint32_t sf = RegionGetPhyParam(*Ctx.Params.LoRaMacRegion, &getPhy).Value;
    TimerTime_t airTime =
        Radio.TimeOnAir(MODEM_LORA, bandwidth, sf, 1, 10, true, (uint8_t)size, false);

    // The beacon started at its GPS time; it is over now, one air time
    // later.
    Ctx.BeaconCtx.LastBeaconRx = Ctx.BeaconCtx.BeaconTime;
    Ctx.BeaconCtx.LastBeaconRx.Seconds += UNIX_GPS_EPOCH_OFFSET;
    SysTimeSet(SysTimeAddMs(Ctx.BeaconCtx.LastBeaconRx, airTime));

    Ctx.BeaconCtx.Ctrl.Bits.BeaconMode = 1;
    Ctx.BeaconCtx.Ctrl.Bits.BeaconAcquired = 1;
    Ctx.BeaconCtx.SymbolTimeout = CLASSB_BEACON_SYMBOL_TO_DEFAULT;
    Ctx.PingSlotCtx.SymbolTimeout = CLASSB_BEACON_SYMBOL_TO_DEFAULT;
    Ctx.BeaconCtx.BeaconWindowMovement = CLASSB_WINDOW_MOVE_DEFAULT;
    Ctx.BeaconState = BEACON_STATE_LOCKED;
    LoRaMacClassBBeaconTimerEvent(nullptr);
  }

  if (Ctx.BeaconState == BEACON_STATE_RX) {
    Ctx.BeaconState = BEACON_STATE_TIMEOUT;
    LoRaMacClassBBeaconTimerEvent(nullptr);
  }
  return true;
}

bool LoRaMacClassBIsBeaconExpected(void) {
  return Ctx.BeaconCtx.Ctrl.Bits.AcquisitionPending == 1 || Ctx.BeaconState == BEACON_STATE_RX;
}

bool LoRaMacClassBIsPingExpected(void) { return Ctx.PingSlotState == PINGSLOT_STATE_RX; }

bool LoRaMacClassBIsMulticastExpected(void) { return Ctx.MulticastSlotState == PINGSLOT_STATE_RX; }

bool LoRaMacClassBIsBeaconModeActive(void) {
  return Ctx.BeaconCtx.Ctrl.Bits.BeaconMode == 1 ||
         Ctx.BeaconState == BEACON_STATE_ACQUISITION_BY_TIME;
}

void LoRaMacClassBSetPingSlotInfo(uint8_t periodicity) {
  Ctx.Nvm->PingSlotCtx.PingNb = (periodicity <= 7) ? (uint8_t)(128 >> periodicity) : 0;
  Ctx.Nvm->PingSlotCtx.PingPeriod =
      (Ctx.Nvm->PingSlotCtx.PingNb != 0)
          ? (uint16_t)(CLASSB_BEACON_WINDOW_SLOTS / Ctx.Nvm->PingSlotCtx.PingNb)
          : 0;
}

void LoRaMacClassBHaltBeaconing(void) {
  if (Ctx.BeaconCtx.Ctrl.Bits.BeaconMode == 0) {
    return;
  }
  if (Ctx.BeaconState == BEACON_STATE_TIMEOUT || Ctx.BeaconState == BEACON_STATE_LOST) {
    // Stamps the time of the halt.
    LoRaMacClassBBeaconTimerEvent(nullptr);
  }
  uint32_t mask;
  BoardCriticalSectionBegin(&mask);
  LoRaMacClassBEvents.Events.Beacon = 0;
  BoardCriticalSectionEnd(&mask);
  TimerStop(&Ctx.BeaconTimer);
  Ctx.BeaconState = BEACON_STATE_HALT;
  LoRaMacClassBStopRxSlots();
}

void LoRaMacClassBResumeBeaconing(void) {
  if (Ctx.BeaconState != BEACON_STATE_HALT) {
    return;
  }
  Ctx.BeaconCtx.Ctrl.Bits.ResumeBeaconing = 1;
  Ctx.BeaconState = (Ctx.BeaconCtx.Ctrl.Bits.BeaconAcquired == 1) ? BEACON_STATE_LOCKED
                                                                  : BEACON_STATE_REACQUISITION;
  LoRaMacClassBBeaconTimerEvent(nullptr);
}

LoRaMacStatus_t LoRaMacClassBSwitchClass(DeviceClass_t nextClass) {
  if (nextClass == CLASS_B) {
    if (LoRaMacClassBIsBeaconModeActive() && Ctx.Nvm->PingSlotCtx.Ctrl.Fields.Assigned == 1) {
      return LORAMAC_STATUS_OK;
    }
    return LORAMAC_STATUS_SERVICE_UNKNOWN;
  }
  if (nextClass == CLASS_A) {
    LoRaMacClassBHaltBeaconing();
    InitClassBDefaults();
    return LORAMAC_STATUS_OK;
  }
  return LORAMAC_STATUS_SERVICE_UNKNOWN;
}

LoRaMacStatus_t LoRaMacClassBMibGetRequestConfirm(MibRequestConfirm_t* mibGet) {
  if (mibGet->Type == MIB_PING_SLOT_DATARATE) {
    mibGet->Param.PingSlotDatarate = Ctx.Nvm->PingSlotCtx.Datarate;
    return LORAMAC_STATUS_OK;
  }
  return LORAMAC_STATUS_SERVICE_UNKNOWN;
}

LoRaMacStatus_t LoRaMacClassBMibSetRequestConfirm(MibRequestConfirm_t* mibSet) {
  if (mibSet->Type == MIB_PING_SLOT_DATARATE) {
    Ctx.Nvm->PingSlotCtx.Datarate = mibSet->Param.PingSlotDatarate;
    return LORAMAC_STATUS_OK;
  }
  return LORAMAC_STATUS_SERVICE_UNKNOWN;
}

void LoRaMacClassBPingSlotInfoAns(void) {
  if (LoRaMacConfirmQueueIsCmdActive(MLME_PING_SLOT_INFO)) {
    LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_OK, MLME_PING_SLOT_INFO);
    Ctx.Nvm->PingSlotCtx.Ctrl.Fields.Assigned = 1;
  }
}

uint8_t LoRaMacClassBPingSlotChannelReq(uint8_t datarate, uint32_t frequency) {
  uint8_t status = 0x03;
  if (frequency != 0) {
    VerifyParams_t verify = {};
    verify.Frequency = frequency;
    if (!RegionVerify(*Ctx.Params.LoRaMacRegion, &verify, PHY_FREQUENCY)) {
      status &= 0xFE;
    }
  }
  VerifyParams_t verify = {};
  verify.DatarateParams.Datarate = (int8_t)datarate;
  verify.DatarateParams.DownlinkDwellTime = Ctx.Params.LoRaMacParams->DownlinkDwellTime;
  if (!RegionVerify(*Ctx.Params.LoRaMacRegion, &verify, PHY_RX_DR)) {
    status &= 0xFD;
  }
  if (status == 0x03) {
    Ctx.Nvm->PingSlotCtx.Ctrl.Fields.CustomFreq = (frequency != 0) ? 1 : 0;
    Ctx.Nvm->PingSlotCtx.Frequency = frequency;
    Ctx.Nvm->PingSlotCtx.Datarate = (int8_t)datarate;
  }
  return status;
}

void LoRaMacClassBBeaconTimingAns(uint16_t beaconTimingDelay, uint8_t beaconTimingChannel,
                                  TimerTime_t lastRxDone) {
  Ctx.BeaconCtx.BeaconTimingDelay = (TimerTime_t)beaconTimingDelay * CLASSB_PING_SLOT_WINDOW;
  Ctx.BeaconCtx.BeaconTimingChannel = beaconTimingChannel;

  if (LoRaMacConfirmQueueIsCmdActive(MLME_BEACON_TIMING)) {
    if (Ctx.BeaconCtx.BeaconTimingDelay > CLASSB_BEACON_INTERVAL) {
      Ctx.BeaconCtx.BeaconTimingDelay = 0;
      Ctx.BeaconCtx.BeaconTimingChannel = 0;
      LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_BEACON_NOT_FOUND, MLME_BEACON_TIMING);
    } else {
      Ctx.BeaconCtx.Ctrl.Bits.BeaconDelaySet = 1;
      Ctx.BeaconCtx.Ctrl.Bits.BeaconChannelSet = 1;
      // The delay counts from the end of the downlink, a timer time:
      // carried over to system time through the current instant.
      int64_t fromNow = (int64_t)(int32_t)(lastRxDone - TimerGetCurrentTime()) +
                        (int64_t)Ctx.BeaconCtx.BeaconTimingDelay;
      Ctx.BeaconCtx.NextBeaconRx = SysTimeAddMs(SysTimeGet(), fromNow);
      LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_OK, MLME_BEACON_TIMING);
    }
    Ctx.Params.MlmeConfirm->BeaconTimingDelay = Ctx.BeaconCtx.BeaconTimingDelay;
    Ctx.Params.MlmeConfirm->BeaconTimingChannel = Ctx.BeaconCtx.BeaconTimingChannel;
  }
}

void LoRaMacClassBDeviceTimeAns(void) {
  SysTime_t now = SysTimeGet();
  uint32_t interval = CLASSB_BEACON_INTERVAL / 1000;
  SysTime_t next = {(now.Seconds / interval + 1) * interval, 0};
  Ctx.BeaconCtx.NextBeaconRx = next;
  Ctx.BeaconCtx.LastBeaconRx = next;
  Ctx.BeaconCtx.LastBeaconRx.Seconds -= interval;

  if (LoRaMacConfirmQueueIsCmdActive(MLME_DEVICE_TIME)) {
    int64_t untilNext = SysTimeDiffMs(Ctx.BeaconCtx.NextBeaconRx, now);
    if (untilNext < 0) {
      memset(&Ctx.BeaconCtx.NextBeaconRx, 0, sizeof(Ctx.BeaconCtx.NextBeaconRx));
      memset(&Ctx.BeaconCtx.LastBeaconRx, 0, sizeof(Ctx.BeaconCtx.LastBeaconRx));
      LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_BEACON_NOT_FOUND, MLME_DEVICE_TIME);
    } else {
      Ctx.BeaconCtx.Ctrl.Bits.BeaconDelaySet = 1;
      Ctx.BeaconCtx.BeaconTimingDelay = (TimerTime_t)untilNext;
      Ctx.BeaconCtx.BeaconTime.Seconds = Ctx.BeaconCtx.LastBeaconRx.Seconds - UNIX_GPS_EPOCH_OFFSET;
      Ctx.BeaconCtx.BeaconTime.SubSeconds = 0;
      LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_OK, MLME_DEVICE_TIME);
    }
  }
}

bool LoRaMacClassBBeaconFreqReq(uint32_t frequency) {
  if (frequency == 0) {
    Ctx.Nvm->BeaconCtx.Ctrl.Fields.CustomFreq = 0;
    return true;
  }
  VerifyParams_t verify = {};
  verify.Frequency = frequency;
  if (RegionVerify(*Ctx.Params.LoRaMacRegion, &verify, PHY_FREQUENCY)) {
    Ctx.Nvm->BeaconCtx.Ctrl.Fields.CustomFreq = 1;
    Ctx.Nvm->BeaconCtx.Frequency = frequency;
    return true;
  }
  return false;
}

TimerTime_t LoRaMacClassBIsUplinkCollision(TimerTime_t txTimeOnAir) {
  // Both instants on system time: the next beacon start and now.
  int64_t toBeacon = SysTimeDiffMs(Ctx.BeaconCtx.NextBeaconRx, SysTimeGet());
  int64_t before = (int64_t)Ctx.Params.LoRaMacParams->ReceiveDelay1 +
                   Ctx.Params.LoRaMacParams->ReceiveDelay2 + txTimeOnAir + CLASSB_BEACON_GUARD;
  if (toBeacon > -(int64_t)CLASSB_BEACON_RESERVED && toBeacon <= before) {
    return CLASSB_BEACON_RESERVED;
  }
  return 0;
}

void LoRaMacClassBStopRxSlots(void) {
  TimerStop(&Ctx.PingSlotTimer);
  TimerStop(&Ctx.MulticastSlotTimer);
  uint32_t mask;
  BoardCriticalSectionBegin(&mask);
  LoRaMacClassBEvents.Events.PingSlot = 0;
  LoRaMacClassBEvents.Events.MulticastSlot = 0;
  BoardCriticalSectionEnd(&mask);
}

void LoRaMacClassBSetFPendingBit(uint32_t address, uint8_t fPendingSet) {
  if (address == *Ctx.Params.LoRaMacDevAddr) {
    Ctx.Nvm->PingSlotCtx.FPendingSet = fPendingSet;
    return;
  }
  for (uint8_t i = 0; i < LORAMAC_MAX_MC_CTX; i++) {
    if (Ctx.Params.MulticastChannels[i].ChannelParams.Address == address) {
      Ctx.Params.MulticastChannels[i].FPendingSet = fPendingSet;
    }
  }
}

void LoRaMacClassBSetMulticastPeriodicity(MulticastCtx_t* multicastChannel) {
  if (multicastChannel == nullptr) {
    return;
  }
  uint16_t periodicity = multicastChannel->ChannelParams.RxParams.ClassB.Periodicity;
  multicastChannel->PingNb = (periodicity <= 7) ? (uint8_t)(128 >> periodicity) : 0;
  multicastChannel->PingPeriod =
      (multicastChannel->PingNb != 0)
          ? (uint16_t)(CLASSB_BEACON_WINDOW_SLOTS / multicastChannel->PingNb)
          : 0;
}

uint16_t LoRaMacClassBComputePingOffset(uint32_t beaconTime, uint32_t address,
                                        uint16_t pingPeriod) {
  uint8_t block[16] = {};
  uint8_t cipher[16] = {};
  for (uint8_t i = 0; i < 4; i++) {
    block[i] = (uint8_t)(beaconTime >> (8 * i));
    block[4 + i] = (uint8_t)(address >> (8 * i));
  }
  SecureElementAesEncrypt(block, 16, SLOT_RAND_ZERO_KEY, cipher);
  uint16_t random = (uint16_t)(cipher[0] + 256U * cipher[1]);
  return (pingPeriod != 0) ? (uint16_t)(random % pingPeriod) : random;
}

bool LoRaMacClassBCalcNextSlotTime(uint16_t slotOffset, uint16_t pingPeriod, uint16_t pingNb,
                                   TimerTime_t* timeOffset) {
  TimerTime_t now = TimerGetCurrentTime();
  uint32_t position = BeaconPeriodPosition(SysTimeGet());
  // The beacon period's start, as a timer time.
  TimerTime_t beaconStart = now - position;
  TimerTime_t nextBeacon = beaconStart + CLASSB_BEACON_INTERVAL;
  uint32_t firstSlot = CLASSB_BEACON_RESERVED + (uint32_t)slotOffset * CLASSB_PING_SLOT_WINDOW;
  TimerTime_t slotTime = beaconStart + firstSlot;

  if ((int32_t)(slotTime - now) < 0) {
    if (pingPeriod == 0) {
      return false;
    }
    uint32_t pingSlotWindow = (uint32_t)pingPeriod * CLASSB_PING_SLOT_WINDOW;
    uint8_t slotIndex = (uint8_t)((position - firstSlot) / pingSlotWindow + 1);
    slotTime += (TimerTime_t)slotIndex * pingSlotWindow;
    if (slotIndex >= pingNb) {
      return false;
    }
  }
  if ((int32_t)(slotTime - (nextBeacon - CLASSB_BEACON_GUARD - CLASSB_PING_SLOT_WINDOW)) > 0) {
    return false;
  }
  uint32_t wakeup = Radio.GetWakeupTime();
  TimerTime_t wait = slotTime - now;
  wait = (wait > wakeup) ? wait - wakeup : 0;
  *timeOffset = TimerTempCompensation(wait, Ctx.BeaconCtx.Temperature);
  return true;
}
