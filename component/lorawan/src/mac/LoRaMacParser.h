/*!
 * \file LoRaMacParser.h
 *
 * \brief Reads received frames from their byte buffers into the MAC's frame
 *        records.
 */
#ifndef __LORAMAC_PARSER_H__
#define __LORAMAC_PARSER_H__

#include "LoRaMacMessageTypes.h"

typedef enum eLoRaMacParserStatus {
  LORAMAC_PARSER_SUCCESS = 0,
  LORAMAC_PARSER_FAIL = 1,
  LORAMAC_PARSER_ERROR_NPE = 2,
  LORAMAC_PARSER_ERROR = 3,
} LoRaMacParserStatus_t;

/*!
 * Parses a decrypted join accept of \c BufSize bytes: 17 bytes, or 33 with a
 * CFList. Any other length is refused with LORAMAC_PARSER_FAIL.
 */
LoRaMacParserStatus_t LoRaMacParserJoinAccept(LoRaMacMessageJoinAccept_t* macMsg);

/*!
 * Parses a data frame of \c BufSize bytes; the payload goes to the record's
 * \c FRMPayload buffer (at most 255 - 13 bytes). A frame too short for its
 * header, the FOptsLen bytes of options and the MIC is refused with
 * LORAMAC_PARSER_FAIL and leaves the record as it was.
 */
LoRaMacParserStatus_t LoRaMacParserData(LoRaMacMessageData_t* macMsg);

#endif  // __LORAMAC_PARSER_H__
