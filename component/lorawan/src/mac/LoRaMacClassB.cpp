/*!
 * \file LoRaMacClassB.cpp
 *
 * \brief Class B, inactive: the device never tracks beacons, so no beacon,
 *        ping slot or multicast slot is ever expected and class B cannot be
 *        entered. The module still keeps what the core hands it, so the full
 *        beacon and slot machines can take its place without touching the
 *        core.
 */
#include "LoRaMacClassB.h"

#include <string.h>

#include "Region.h"

namespace
{

LoRaMacClassBParams_t Params;
LoRaMacClassBCallback_t Callbacks;
LoRaMacClassBNvmData_t* Nvm = nullptr;

} // namespace

void LoRaMacClassBInit(LoRaMacClassBParams_t* classBParams, LoRaMacClassBCallback_t* callbacks,
                       LoRaMacClassBNvmData_t* nvm)
{
    Params = *classBParams;
    Callbacks = *callbacks;
    Nvm = nvm;
    if (Nvm != nullptr)
    {
        memset(Nvm, 0, sizeof(*Nvm));
        GetPhyParams_t getPhy = {};
        getPhy.Attribute = PHY_PING_SLOT_CHANNEL_DR;
        Nvm->PingSlotCtx.Datarate = (int8_t)RegionGetPhyParam(*Params.LoRaMacRegion, &getPhy).Value;
    }
}

void LoRaMacClassBProcess(void)
{
}

void LoRaMacClassBSetBeaconState(BeaconState_t)
{
}

void LoRaMacClassBSetPingSlotState(PingSlotState_t)
{
}

void LoRaMacClassBSetMulticastSlotState(PingSlotState_t)
{
}

bool LoRaMacClassBIsAcquisitionInProgress(void)
{
    return false;
}

void LoRaMacClassBBeaconTimerEvent(void*)
{
}

void LoRaMacClassBPingSlotTimerEvent(void*)
{
}

void LoRaMacClassBMulticastSlotTimerEvent(void*)
{
}

bool LoRaMacClassBRxBeacon(uint8_t*, uint16_t)
{
    return false;
}

bool LoRaMacClassBIsBeaconExpected(void)
{
    return false;
}

bool LoRaMacClassBIsPingExpected(void)
{
    return false;
}

bool LoRaMacClassBIsMulticastExpected(void)
{
    return false;
}

bool LoRaMacClassBIsBeaconModeActive(void)
{
    return false;
}

void LoRaMacClassBSetPingSlotInfo(uint8_t)
{
}

void LoRaMacClassBHaltBeaconing(void)
{
}

void LoRaMacClassBResumeBeaconing(void)
{
}

LoRaMacStatus_t LoRaMacClassBSwitchClass(DeviceClass_t nextClass)
{
    // Class B needs beacon mode and an acknowledged ping-slot periodicity,
    // neither of which an inactive class B ever reaches.
    if (nextClass == CLASS_A)
    {
        return LORAMAC_STATUS_OK;
    }
    return LORAMAC_STATUS_SERVICE_UNKNOWN;
}

LoRaMacStatus_t LoRaMacClassBMibGetRequestConfirm(MibRequestConfirm_t* mibGet)
{
    if (mibGet->Type == MIB_PING_SLOT_DATARATE && Nvm != nullptr)
    {
        mibGet->Param.PingSlotDatarate = Nvm->PingSlotCtx.Datarate;
        return LORAMAC_STATUS_OK;
    }
    return LORAMAC_STATUS_SERVICE_UNKNOWN;
}

LoRaMacStatus_t LoRaMacClassBMibSetRequestConfirm(MibRequestConfirm_t* mibSet)
{
    if (mibSet->Type == MIB_PING_SLOT_DATARATE && Nvm != nullptr)
    {
        Nvm->PingSlotCtx.Datarate = mibSet->Param.PingSlotDatarate;
        return LORAMAC_STATUS_OK;
    }
    return LORAMAC_STATUS_SERVICE_UNKNOWN;
}

void LoRaMacClassBPingSlotInfoAns(void)
{
    // Not tracking beacons: the acknowledgement has nothing to enable.
}

uint8_t LoRaMacClassBPingSlotChannelReq(uint8_t, uint32_t)
{
    // Neither the frequency nor the datarate can be taken into use.
    return 0;
}

void LoRaMacClassBBeaconTimingAns(uint16_t, uint8_t, TimerTime_t)
{
}

void LoRaMacClassBDeviceTimeAns(void)
{
}

bool LoRaMacClassBBeaconFreqReq(uint32_t)
{
    return false;
}

TimerTime_t LoRaMacClassBIsUplinkCollision(TimerTime_t)
{
    return 0;
}

void LoRaMacClassBStopRxSlots(void)
{
}

void LoRaMacClassBSetFPendingBit(uint32_t, uint8_t)
{
}

void LoRaMacClassBSetMulticastPeriodicity(MulticastCtx_t*)
{
}
