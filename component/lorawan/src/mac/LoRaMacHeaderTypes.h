/*!
 * \file LoRaMacHeaderTypes.h
 *
 * \brief Field sizes and the bit layouts of the one-byte header fields of
 *        LoRaWAN frames (MHDR, FCtrl, DLSettings).
 *
 * The bit-fields are laid out from the least significant bit up, as the
 * module's compilers do on its little-endian targets; \c Value is the byte
 * as it goes on the air.
 */
#ifndef __LORAMAC_HEADER_TYPES_H__
#define __LORAMAC_HEADER_TYPES_H__

#include <stdint.h>

#define LORAMAC_MHDR_FIELD_SIZE 1
#define LORAMAC_JOIN_TYPE_FIELD_SIZE 1
#define LORAMAC_JOIN_EUI_FIELD_SIZE 8
#define LORAMAC_DEV_EUI_FIELD_SIZE 8
#define LORAMAC_DEV_NONCE_FIELD_SIZE 2
#define LORAMAC_JOIN_NONCE_FIELD_SIZE 3
#define LORAMAC_RJCOUNT_0_FIELD_SIZE 2
#define LORAMAC_RJCOUNT_1_FIELD_SIZE 2
#define LORAMAC_NET_ID_FIELD_SIZE 3
#define LORAMAC_DEV_ADDR_FIELD_SIZE 4
#define LORAMAC_DL_SETTINGS_FIELD_SIZE 1
#define LORAMAC_RX_DELAY_FIELD_SIZE 1
#define LORAMAC_CF_LIST_FIELD_SIZE 16
#define LORAMAC_MIC_FIELD_SIZE 4
#define LORAMAC_FHDR_DEV_ADDR_FIELD_SIZE LORAMAC_DEV_ADDR_FIELD_SIZE
#define LORAMAC_FHDR_F_CTRL_FIELD_SIZE 1
#define LORAMAC_FHDR_F_CNT_FIELD_SIZE 2
#define LORAMAC_FHDR_F_OPTS_MAX_FIELD_SIZE 15
#define LORAMAC_F_PORT_FIELD_SIZE 1
#define LORAMAC_MAC_PAYLOAD_FIELD_MAX_SIZE 242
#define LORAMAC_PHY_MAXPAYLOAD 255

/*! Join request: MHDR, JoinEUI, DevEUI, DevNonce, MIC. */
#define LORAMAC_JOIN_REQ_MSG_SIZE                                                       \
  (LORAMAC_MHDR_FIELD_SIZE + LORAMAC_JOIN_EUI_FIELD_SIZE + LORAMAC_DEV_EUI_FIELD_SIZE + \
   LORAMAC_DEV_NONCE_FIELD_SIZE + LORAMAC_MIC_FIELD_SIZE)

/*! Rejoin type 1: MHDR, type, JoinEUI, DevEUI, RJcount1, MIC. */
#define LORAMAC_RE_JOIN_1_MSG_SIZE                                                        \
  (LORAMAC_MHDR_FIELD_SIZE + LORAMAC_JOIN_TYPE_FIELD_SIZE + LORAMAC_JOIN_EUI_FIELD_SIZE + \
   LORAMAC_DEV_EUI_FIELD_SIZE + LORAMAC_RJCOUNT_1_FIELD_SIZE + LORAMAC_MIC_FIELD_SIZE)

/*! Rejoin type 0 or 2: MHDR, type, NetID, DevEUI, RJcount0, MIC. */
#define LORAMAC_RE_JOIN_0_2_MSG_SIZE                                                    \
  (LORAMAC_MHDR_FIELD_SIZE + LORAMAC_JOIN_TYPE_FIELD_SIZE + LORAMAC_NET_ID_FIELD_SIZE + \
   LORAMAC_DEV_EUI_FIELD_SIZE + LORAMAC_RJCOUNT_0_FIELD_SIZE + LORAMAC_MIC_FIELD_SIZE)

/*! Join accept without CFList: MHDR, JoinNonce, NetID, DevAddr, DLSettings, RxDelay, MIC. */
#define LORAMAC_JOIN_ACCEPT_FRAME_MIN_SIZE                                                      \
  (LORAMAC_MHDR_FIELD_SIZE + LORAMAC_JOIN_NONCE_FIELD_SIZE + LORAMAC_NET_ID_FIELD_SIZE +        \
   LORAMAC_DEV_ADDR_FIELD_SIZE + LORAMAC_DL_SETTINGS_FIELD_SIZE + LORAMAC_RX_DELAY_FIELD_SIZE + \
   LORAMAC_MIC_FIELD_SIZE)

/*! Join accept with CFList. */
#define LORAMAC_JOIN_ACCEPT_FRAME_MAX_SIZE \
  (LORAMAC_JOIN_ACCEPT_FRAME_MIN_SIZE + LORAMAC_CF_LIST_FIELD_SIZE)

/*! Data frame without FOpts, FPort and payload: MHDR, DevAddr, FCtrl, FCnt, MIC. */
#define LORAMAC_FRAME_PAYLOAD_MIN_SIZE                                                           \
  (LORAMAC_MHDR_FIELD_SIZE + LORAMAC_FHDR_DEV_ADDR_FIELD_SIZE + LORAMAC_FHDR_F_CTRL_FIELD_SIZE + \
   LORAMAC_FHDR_F_CNT_FIELD_SIZE + LORAMAC_MIC_FIELD_SIZE)

static_assert(LORAMAC_JOIN_REQ_MSG_SIZE == 23);
static_assert(LORAMAC_RE_JOIN_1_MSG_SIZE == 24);
static_assert(LORAMAC_RE_JOIN_0_2_MSG_SIZE == 19);
static_assert(LORAMAC_JOIN_ACCEPT_FRAME_MIN_SIZE == 17);
static_assert(LORAMAC_JOIN_ACCEPT_FRAME_MAX_SIZE == 33);
static_assert(LORAMAC_FRAME_PAYLOAD_MIN_SIZE == 12);

/*!
 * Frame types (the MType field of MHDR).
 */
typedef enum eLoRaMacFrameType {
  FRAME_TYPE_JOIN_REQ = 0x00,
  FRAME_TYPE_JOIN_ACCEPT = 0x01,
  FRAME_TYPE_DATA_UNCONFIRMED_UP = 0x02,
  FRAME_TYPE_DATA_UNCONFIRMED_DOWN = 0x03,
  FRAME_TYPE_DATA_CONFIRMED_UP = 0x04,
  FRAME_TYPE_DATA_CONFIRMED_DOWN = 0x05,
  FRAME_TYPE_REJOIN = 0x06,
  FRAME_TYPE_PROPRIETARY = 0x07,
} LoRaMacFrameType_t;

/*!
 * MAC header, the first byte of every frame.
 */
typedef union uLoRaMacHeader {
  uint8_t Value;
  struct sMacHeaderBits {
    uint8_t Major : 2;
    uint8_t RFU : 3;
    uint8_t MType : 3;
  } Bits;
} LoRaMacHeader_t;

/*!
 * Frame control byte of a data frame. In uplinks \c FPending is the class B
 * flag.
 */
typedef union uLoRaMacFrameCtrl {
  uint8_t Value;
  struct sCtrlBits {
    uint8_t FOptsLen : 4;
    uint8_t FPending : 1;
    uint8_t Ack : 1;
    uint8_t AdrAckReq : 1;
    uint8_t Adr : 1;
  } Bits;
} LoRaMacFrameCtrl_t;

/*!
 * Downlink settings of a join accept. \c OptNeg set means a LoRaWAN 1.1
 * network.
 */
typedef union uLoRaMacDLSettings {
  uint8_t Value;
  struct sDLSettingsBits {
    uint8_t RX2DataRate : 4;
    uint8_t RX1DRoffset : 3;
    uint8_t OptNeg : 1;
  } Bits;
} LoRaMacDLSettings_t;

static_assert(sizeof(LoRaMacHeader_t) == 1 && sizeof(LoRaMacFrameCtrl_t) == 1 &&
              sizeof(LoRaMacDLSettings_t) == 1);

#endif  // __LORAMAC_HEADER_TYPES_H__
