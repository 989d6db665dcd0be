/*!
 * \file LoRaMacClassB.h
 *
 * \brief Class B of the MAC: beacon tracking, ping slots and class B
 *        multicast slots, as the MAC core sees it.
 *
 * The core calls the operations below; the slot computations at the end are
 * open to checks as well.
 */
#ifndef __LORAMAC_CLASSB_H__
#define __LORAMAC_CLASSB_H__

#include <stdbool.h>
#include <stdint.h>

#include "LoRaMac.h"
#include "systime.h"
#include "timer.h"

typedef enum eBeaconState : uint8_t {
  BEACON_STATE_ACQUISITION = 0,
  BEACON_STATE_ACQUISITION_BY_TIME = 1,
  BEACON_STATE_TIMEOUT = 2,
  BEACON_STATE_BEACON_MISSED = 3,
  BEACON_STATE_REACQUISITION = 4,
  BEACON_STATE_LOCKED = 5,
  BEACON_STATE_HALT = 6,
  BEACON_STATE_IDLE = 7,
  BEACON_STATE_GUARD = 8,
  BEACON_STATE_RX = 9,
  BEACON_STATE_LOST = 10,
} BeaconState_t;

typedef enum ePingSlotState : uint8_t {
  PINGSLOT_STATE_CALC_PING_OFFSET = 0,
  PINGSLOT_STATE_SET_TIMER = 1,
  PINGSLOT_STATE_IDLE = 2,
  PINGSLOT_STATE_RX = 3,
} PingSlotState_t;

/*!
 * Pointers into the MAC that class B reads and writes.
 */
typedef struct sLoRaMacClassBParams {
  MlmeIndication_t* MlmeIndication;
  McpsIndication_t* McpsIndication;
  MlmeConfirm_t* MlmeConfirm;
  uint8_t* LoRaMacFlags;
  uint32_t* LoRaMacDevAddr;
  LoRaMacRegion_t* LoRaMacRegion;
  LoRaMacParams_t* LoRaMacParams;
  MulticastCtx_t* MulticastChannels;
  ActivationType_t* NetworkActivation;
} LoRaMacClassBParams_t;

/*!
 * The client callbacks class B uses; either may be null.
 */
typedef struct sLoRaMacClassBCallback {
  float (*GetTemperatureLevel)(void);
  void (*MacProcessNotify)(void);
} LoRaMacClassBCallback_t;

void LoRaMacClassBInit(LoRaMacClassBParams_t* classBParams, LoRaMacClassBCallback_t* callbacks,
                       LoRaMacClassBNvmData_t* nvm);
void LoRaMacClassBProcess(void);

void LoRaMacClassBSetBeaconState(BeaconState_t beaconState);
void LoRaMacClassBSetPingSlotState(PingSlotState_t pingSlotState);
void LoRaMacClassBSetMulticastSlotState(PingSlotState_t multicastSlotState);

bool LoRaMacClassBIsAcquisitionInProgress(void);
void LoRaMacClassBBeaconTimerEvent(void* context);
void LoRaMacClassBPingSlotTimerEvent(void* context);
void LoRaMacClassBMulticastSlotTimerEvent(void* context);

/*! Takes a received frame as a beacon when one is expected; true when consumed. */
bool LoRaMacClassBRxBeacon(uint8_t* payload, uint16_t size);
bool LoRaMacClassBIsBeaconExpected(void);
bool LoRaMacClassBIsPingExpected(void);
bool LoRaMacClassBIsMulticastExpected(void);
bool LoRaMacClassBIsBeaconModeActive(void);

void LoRaMacClassBSetPingSlotInfo(uint8_t periodicity);
void LoRaMacClassBHaltBeaconing(void);
void LoRaMacClassBResumeBeaconing(void);
LoRaMacStatus_t LoRaMacClassBSwitchClass(DeviceClass_t nextClass);
LoRaMacStatus_t LoRaMacClassBMibGetRequestConfirm(MibRequestConfirm_t* mibGet);
LoRaMacStatus_t LoRaMacClassBMibSetRequestConfirm(MibRequestConfirm_t* mibSet);

void LoRaMacClassBPingSlotInfoAns(void);
uint8_t LoRaMacClassBPingSlotChannelReq(uint8_t datarate, uint32_t frequency);
void LoRaMacClassBBeaconTimingAns(uint16_t beaconTimingDelay, uint8_t beaconTimingChannel,
                                  TimerTime_t lastRxDone);
void LoRaMacClassBDeviceTimeAns(void);
bool LoRaMacClassBBeaconFreqReq(uint32_t frequency);

/*! ms an uplink of this air time would overlap a beacon or slot; 0 when clear. */
TimerTime_t LoRaMacClassBIsUplinkCollision(TimerTime_t txTimeOnAir);
void LoRaMacClassBStopRxSlots(void);
void LoRaMacClassBSetFPendingBit(uint32_t address, uint8_t fPendingSet);
void LoRaMacClassBSetMulticastPeriodicity(MulticastCtx_t* multicastChannel);

/*!
 * Ping offset of \a address in the beacon period of \a beaconTime (GPS
 * seconds): AES-128 with the all-zero key of {beaconTime LE, address LE,
 * 8 zero bytes}, first two bytes little-endian, modulo \a pingPeriod (the
 * raw value for period 0).
 */
uint16_t LoRaMacClassBComputePingOffset(uint32_t beaconTime, uint32_t address, uint16_t pingPeriod);

/*!
 * Wait in ms, from now, until the next slot of a slot sequence (\a slotOffset,
 * \a pingPeriod in 30 ms slots, \a pingNb slots per beacon period) in the
 * current beacon period, shortened by the radio's wake-up time; false when
 * no slot is left before the next beacon's guard time.
 */
bool LoRaMacClassBCalcNextSlotTime(uint16_t slotOffset, uint16_t pingPeriod, uint16_t pingNb,
                                   TimerTime_t* timeOffset);

#endif  // __LORAMAC_CLASSB_H__
