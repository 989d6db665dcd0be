/*!
 * \file LoRaMacAdr.h
 *
 * \brief Device side of adaptive data rate: when to ask the network for a
 *        sign of life and how to back off when it stays silent.
 */
#ifndef __LORAMACADR_H__
#define __LORAMACADR_H__

#include <stdbool.h>
#include <stdint.h>

#include "LoRaMacTypes.h"

/*! The ADR acknowledgement counter saturates here. */
#define ADR_ACK_COUNTER_MAX 0xFFFFFFFF

typedef struct sCalcNextAdrParams {
  //! A back-off at the lowest data rate may switch the default channels on again.
  bool UpdateChanMask;
  bool AdrEnabled;
  //! Uplinks without a downlink.
  uint32_t AdrAckCounter;
  uint16_t AdrAckLimit;
  uint16_t AdrAckDelay;
  int8_t Datarate;
  int8_t TxPower;
  uint8_t NbTrans;
  uint8_t UplinkDwellTime;
  LoRaMacRegion_t Region;
} CalcNextAdrParams_t;

/*!
 * Data rate, TX power and NbTrans for the next uplink, and whether it asks
 * for an acknowledgement (ADRACKReq).
 *
 * \param [out] adrAckCounter the counter, unchanged
 * \retval ADRACKReq
 */
bool LoRaMacAdrCalcNext(CalcNextAdrParams_t* adrNext, int8_t* drOut, int8_t* txPowOut,
                        uint8_t* nbTransOut, uint32_t* adrAckCounter);

#endif  // __LORAMACADR_H__
