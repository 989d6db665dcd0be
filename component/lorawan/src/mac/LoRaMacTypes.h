/*!
 * \file LoRaMacTypes.h
 *
 * \brief Types shared by the LoRaWAN MAC layer and the regional parameters.
 *
 * The MAC's own records (context, primitives, MIB) build on these; the
 * regions only need the status codes, the identifiers and the enumerations
 * below.
 */
#ifndef __LORAMAC_TYPES_H__
#define __LORAMAC_TYPES_H__

#include <stdbool.h>
#include <stdint.h>

/*!
 * Region identifiers, one byte where they are stored.
 */
typedef enum eLoRaMacRegion : uint8_t {
  LORAMAC_REGION_AS923 = 0,
  LORAMAC_REGION_AU915 = 1,
  LORAMAC_REGION_CN470 = 2,
  LORAMAC_REGION_CN779 = 3,
  LORAMAC_REGION_EU433 = 4,
  LORAMAC_REGION_EU868 = 5,
  LORAMAC_REGION_KR920 = 6,
  LORAMAC_REGION_IN865 = 7,
  LORAMAC_REGION_US915 = 8,
  LORAMAC_REGION_RU864 = 9,
  LORAMAC_REGION_LA915 = 10,
} LoRaMacRegion_t;

/*!
 * Result of every MAC request and of the region operations that report a
 * status.
 */
typedef enum eLoRaMacStatus {
  LORAMAC_STATUS_OK = 0,
  LORAMAC_STATUS_BUSY = 1,
  LORAMAC_STATUS_SERVICE_UNKNOWN = 2,
  LORAMAC_STATUS_PARAMETER_INVALID = 3,
  LORAMAC_STATUS_FREQUENCY_INVALID = 4,
  LORAMAC_STATUS_DATARATE_INVALID = 5,
  LORAMAC_STATUS_FREQ_AND_DR_INVALID = 6,
  LORAMAC_STATUS_NO_NETWORK_JOINED = 7,
  LORAMAC_STATUS_LENGTH_ERROR = 8,
  LORAMAC_STATUS_REGION_NOT_SUPPORTED = 9,
  LORAMAC_STATUS_SKIPPED_APP_DATA = 10,
  LORAMAC_STATUS_DUTYCYCLE_RESTRICTED = 11,
  LORAMAC_STATUS_NO_CHANNEL_FOUND = 12,
  LORAMAC_STATUS_NO_FREE_CHANNEL_FOUND = 13,
  LORAMAC_STATUS_BUSY_BEACON_RESERVED_TIME = 14,
  LORAMAC_STATUS_BUSY_PING_SLOT_WINDOW_TIME = 15,
  LORAMAC_STATUS_BUSY_UPLINK_COLLISION = 16,
  LORAMAC_STATUS_CRYPTO_ERROR = 17,
  LORAMAC_STATUS_FCNT_HANDLER_ERROR = 18,
  LORAMAC_STATUS_MAC_COMMAD_ERROR = 19,
  LORAMAC_STATUS_CLASS_B_ERROR = 20,
  LORAMAC_STATUS_CONFIRM_QUEUE_ERROR = 21,
  LORAMAC_STATUS_MC_GROUP_UNDEFINED = 22,
  LORAMAC_STATUS_ERROR = 23,
} LoRaMacStatus_t;

/*!
 * How the device became part of a network.
 */
typedef enum eActivationType : uint8_t {
  ACTIVATION_TYPE_NONE = 0,
  ACTIVATION_TYPE_ABP = 1,
  ACTIVATION_TYPE_OTAA = 2,
} ActivationType_t;

/*!
 * Device classes.
 */
typedef enum eDeviceClass : uint8_t {
  CLASS_A = 0,
  CLASS_B = 1,
  CLASS_C = 2,
} DeviceClass_t;

/*!
 * The receive window the radio is (or is to be) listening in.
 */
typedef enum eLoRaMacRxSlot : uint8_t {
  RX_SLOT_WIN_1 = 0,
  RX_SLOT_WIN_2 = 1,
  RX_SLOT_WIN_CLASS_C = 2,
  RX_SLOT_WIN_CLASS_C_MULTICAST = 3,
  RX_SLOT_WIN_CLASS_B_PING_SLOT = 4,
  RX_SLOT_WIN_CLASS_B_MULTICAST_SLOT = 5,
  RX_SLOT_NONE = 6,
} LoRaMacRxSlot_t;

/*!
 * A version number: Major.Minor.Patch.Revision, the revision in the least
 * significant byte of \ref Value.
 */
typedef union uVersion {
  struct sFields {
    uint8_t Revision;
    uint8_t Patch;
    uint8_t Minor;
    uint8_t Major;
  } Fields;
  uint32_t Value;
} Version_t;

static_assert(sizeof(Version_t) == 4, "Version_t is one 32-bit word");

#endif  // __LORAMAC_TYPES_H__
