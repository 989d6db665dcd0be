/*!
 * \file LoRaMacMessageTypes.h
 *
 * \brief The MAC's frame records: the fields of a frame together with the
 *        byte buffer it is written to or read from.
 *
 * In every record \c BufSize is the buffer's capacity when the record is
 * serialized and the frame's length once it is (and when it is parsed).
 * EUIs are kept most significant byte first, as the user enters them; the
 * serializer reverses them for the air.
 */
#ifndef __LORAMAC_MESSAGE_TYPES_H__
#define __LORAMAC_MESSAGE_TYPES_H__

#include <stdint.h>

#include "LoRaMacHeaderTypes.h"

/*!
 * Which record a \ref LoRaMacMessage_t holds.
 */
typedef enum eLoRaMacMessageType {
  LORAMAC_MSG_TYPE_JOIN_REQUEST = 0,
  LORAMAC_MSG_TYPE_RE_JOIN_1 = 1,
  LORAMAC_MSG_TYPE_RE_JOIN_0_2 = 2,
  LORAMAC_MSG_TYPE_JOIN_ACCEPT = 3,
  LORAMAC_MSG_TYPE_DATA = 4,
  LORAMAC_MSG_TYPE_UNDEF = 5,
} LoRaMacMessageType_t;

typedef struct sLoRaMacMessageJoinRequest {
  uint8_t* Buffer;
  uint8_t BufSize;
  LoRaMacHeader_t MHDR;
  uint8_t JoinEUI[LORAMAC_JOIN_EUI_FIELD_SIZE];
  uint8_t DevEUI[LORAMAC_DEV_EUI_FIELD_SIZE];
  uint16_t DevNonce;
  uint32_t MIC;
} LoRaMacMessageJoinRequest_t;

typedef struct sLoRaMacMessageReJoinType1 {
  uint8_t* Buffer;
  uint8_t BufSize;
  LoRaMacHeader_t MHDR;
  uint8_t ReJoinType;
  uint8_t JoinEUI[LORAMAC_JOIN_EUI_FIELD_SIZE];
  uint8_t DevEUI[LORAMAC_DEV_EUI_FIELD_SIZE];
  uint16_t RJcount1;
  uint32_t MIC;
} LoRaMacMessageReJoinType1_t;

typedef struct sLoRaMacMessageReJoinType0or2 {
  uint8_t* Buffer;
  uint8_t BufSize;
  LoRaMacHeader_t MHDR;
  uint8_t ReJoinType;
  /*! As on the air, least significant byte first. */
  uint8_t NetID[LORAMAC_NET_ID_FIELD_SIZE];
  uint8_t DevEUI[LORAMAC_DEV_EUI_FIELD_SIZE];
  uint16_t RJcount0;
  uint32_t MIC;
} LoRaMacMessageReJoinType0or2_t;

typedef struct sLoRaMacMessageJoinAccept {
  uint8_t* Buffer;
  uint8_t BufSize;
  LoRaMacHeader_t MHDR;
  /*! As on the air, least significant byte first. */
  uint8_t JoinNonce[LORAMAC_JOIN_NONCE_FIELD_SIZE];
  /*! As on the air, least significant byte first. */
  uint8_t NetID[LORAMAC_NET_ID_FIELD_SIZE];
  uint32_t DevAddr;
  LoRaMacDLSettings_t DLSettings;
  uint8_t RxDelay;
  /*! Filled only from a frame that carries one (33 bytes). */
  uint8_t CFList[LORAMAC_CF_LIST_FIELD_SIZE];
  uint32_t MIC;
} LoRaMacMessageJoinAccept_t;

/*!
 * Frame header of a data frame.
 */
typedef struct sLoRaMacFrameHeader {
  uint32_t DevAddr;
  LoRaMacFrameCtrl_t FCtrl;
  /*! The low 16 bits of the frame counter, as on the air. */
  uint16_t FCnt;
  /*! The first FCtrl.Bits.FOptsLen bytes are the frame options. */
  uint8_t FOpts[LORAMAC_FHDR_F_OPTS_MAX_FIELD_SIZE];
} LoRaMacFrameHeader_t;

typedef struct sLoRaMacMessageData {
  uint8_t* Buffer;
  uint8_t BufSize;
  LoRaMacHeader_t MHDR;
  LoRaMacFrameHeader_t FHDR;
  /*! Sent only with a payload; 0 when a parsed frame has none. */
  uint8_t FPort;
  /*! A buffer of its own, not part of \c Buffer. */
  uint8_t* FRMPayload;
  uint8_t FRMPayloadSize;
  uint32_t MIC;
} LoRaMacMessageData_t;

typedef union uLoRaMacMessage {
  LoRaMacMessageJoinRequest_t JoinReq;
  LoRaMacMessageReJoinType1_t ReJoin1;
  LoRaMacMessageReJoinType0or2_t ReJoin0or2;
  LoRaMacMessageJoinAccept_t JoinAccept;
  LoRaMacMessageData_t Data;
} LoRaMacMessageUnion_t;

typedef struct sLoRaMacMessage {
  LoRaMacMessageType_t Type;
  LoRaMacMessageUnion_t Message;
} LoRaMacMessage_t;

#endif  // __LORAMAC_MESSAGE_TYPES_H__
