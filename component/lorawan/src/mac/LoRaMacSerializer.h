/*!
 * \file LoRaMacSerializer.h
 *
 * \brief Writes the MAC's uplink frame records into their byte buffers.
 */
#ifndef __LORAMAC_SERIALIZER_H__
#define __LORAMAC_SERIALIZER_H__

#include "LoRaMacMessageTypes.h"

typedef enum eLoRaMacSerializerStatus {
  LORAMAC_SERIALIZER_SUCCESS = 0,
  LORAMAC_SERIALIZER_ERROR_NPE = 1,
  LORAMAC_SERIALIZER_ERROR_BUF_SIZE = 2,
  LORAMAC_SERIALIZER_ERROR = 3,
} LoRaMacSerializerStatus_t;

/*!
 * Each serializer writes the whole frame, MIC included, into the record's
 * buffer and sets \c BufSize to the frame length. A buffer whose capacity
 * (\c BufSize on input) is below the frame length is left untouched.
 */
LoRaMacSerializerStatus_t LoRaMacSerializerJoinRequest(LoRaMacMessageJoinRequest_t* macMsg);
LoRaMacSerializerStatus_t LoRaMacSerializerReJoinType1(LoRaMacMessageReJoinType1_t* macMsg);
LoRaMacSerializerStatus_t LoRaMacSerializerReJoinType0or2(LoRaMacMessageReJoinType0or2_t* macMsg);

/*!
 * The FPort byte is written only with a payload: a frame without payload
 * has none, whatever the record's \c FPort.
 */
LoRaMacSerializerStatus_t LoRaMacSerializerData(LoRaMacMessageData_t* macMsg);

#endif  // __LORAMAC_SERIALIZER_H__
