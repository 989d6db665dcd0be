/*!
 * \file LoRaMacClassBNvm.h
 *
 * \brief The class B group of the MAC's persistent context.
 *
 * A stored format like the other groups: fixed offsets on the module's
 * 32-bit target, explicit zero padding, the CRC-32 last.
 */
#ifndef __LORAMAC_CLASSB_NVM_H__
#define __LORAMAC_CLASSB_NVM_H__

#include <stddef.h>
#include <stdint.h>

/*!
 * The device's own ping slots.
 */
typedef struct sLoRaMacClassBPingSlotNvmData {
  union uPingSlotCtrl {
    uint8_t Value;
    struct sPingSlotCtrlBits {
      //! The network acknowledged the ping-slot periodicity.
      uint8_t Assigned : 1;
      //! The network set a ping-slot frequency of its own.
      uint8_t CustomFreq : 1;
    } Fields;
  } Ctrl;
  uint8_t PingNb;
  uint16_t PingPeriod;
  //! The custom ping-slot frequency in Hz.
  uint32_t Frequency;
  int8_t Datarate;
  uint8_t FPendingSet;
  uint8_t Padding[2];
} LoRaMacClassBPingSlotNvmData_t;

/*!
 * Beacon reception settings the network may change.
 */
typedef struct sLoRaMacClassBBeaconNvmData {
  union uBeaconCtrl {
    uint8_t Value;
    struct sBeaconCtrlBits {
      uint8_t CustomFreq : 1;
    } Fields;
  } Ctrl;
  uint8_t Padding[3];
  //! The custom beacon frequency in Hz.
  uint32_t Frequency;
} LoRaMacClassBBeaconNvmData_t;

typedef struct sLoRaMacClassBNvmData {
  LoRaMacClassBPingSlotNvmData_t PingSlotCtx;
  LoRaMacClassBBeaconNvmData_t BeaconCtx;
  uint32_t Crc32;
} LoRaMacClassBNvmData_t;

static_assert(sizeof(LoRaMacClassBPingSlotNvmData_t) == 12, "ping-slot part layout");
static_assert(sizeof(LoRaMacClassBBeaconNvmData_t) == 8, "beacon part layout");
static_assert(sizeof(LoRaMacClassBNvmData_t) == 24, "class B group is 24 bytes");
static_assert(offsetof(LoRaMacClassBNvmData_t, PingSlotCtx.PingNb) == 1);
static_assert(offsetof(LoRaMacClassBNvmData_t, PingSlotCtx.PingPeriod) == 2);
static_assert(offsetof(LoRaMacClassBNvmData_t, PingSlotCtx.Frequency) == 4);
static_assert(offsetof(LoRaMacClassBNvmData_t, PingSlotCtx.Datarate) == 8);
static_assert(offsetof(LoRaMacClassBNvmData_t, PingSlotCtx.FPendingSet) == 9);
static_assert(offsetof(LoRaMacClassBNvmData_t, BeaconCtx.Ctrl) == 12);
static_assert(offsetof(LoRaMacClassBNvmData_t, BeaconCtx.Frequency) == 16);
static_assert(offsetof(LoRaMacClassBNvmData_t, Crc32) == 20);

#endif  // __LORAMAC_CLASSB_NVM_H__
