/*!
 * \file LoRaMacAdr.cpp
 *
 * \brief Adaptive data rate back-off.
 */
#include "LoRaMacAdr.h"

#include "Region.h"

namespace {

PhyParam_t GetPhy(const CalcNextAdrParams_t* adrNext, PhyAttribute_t attribute, int8_t datarate) {
  GetPhyParams_t getPhy = {};
  getPhy.Attribute = attribute;
  getPhy.Datarate = datarate;
  getPhy.UplinkDwellTime = adrNext->UplinkDwellTime;
  return RegionGetPhyParam(adrNext->Region, &getPhy);
}

}  // namespace

bool LoRaMacAdrCalcNext(CalcNextAdrParams_t* adrNext, int8_t* drOut, int8_t* txPowOut,
                        uint8_t* nbTransOut, uint32_t* adrAckCounter) {
  if (adrNext == nullptr || drOut == nullptr || txPowOut == nullptr || nbTransOut == nullptr ||
      adrAckCounter == nullptr) {
    return false;
  }

  int8_t datarate = adrNext->Datarate;
  int8_t txPower = adrNext->TxPower;
  uint8_t nbTrans = adrNext->NbTrans;
  bool adrAckReq = false;

  if (adrNext->AdrEnabled) {
    int8_t minDr = static_cast<int8_t>(GetPhy(adrNext, PHY_MIN_TX_DR, 0).Value);
    if (datarate < minDr) {
      datarate = minDr;
    }

    // 32-bit sums: limit and delay are 16-bit, so they cannot wrap.
    const uint32_t counter = adrNext->AdrAckCounter;
    const uint32_t limit = adrNext->AdrAckLimit;
    const uint32_t delay = adrNext->AdrAckDelay;

    adrAckReq = counter >= limit;

    if (counter >= limit + delay) {
      txPower = static_cast<int8_t>(GetPhy(adrNext, PHY_DEF_TX_POWER, datarate).Value);
    }

    // A step at limit + 2 x delay and every delay after; with a delay of
    // 0 only when the counter equals the limit.
    if (counter >= limit + 2 * delay &&
        ((delay == 0) ? (counter == limit) : ((counter - limit) % delay == 0))) {
      if (adrNext->Datarate <= minDr) {
        // Nothing lower to go to: fall back on every default channel
        // and single transmissions.
        if (adrNext->UpdateChanMask) {
          InitDefaultsParams_t params = {};
          params.Type = INIT_TYPE_ACTIVATE_DEFAULT_CHANNELS;
          RegionInitDefaults(adrNext->Region, &params);
        }
        nbTrans = 1;
      }
      datarate = static_cast<int8_t>(GetPhy(adrNext, PHY_NEXT_LOWER_TX_DR, datarate).Value);
    }
  }

  *drOut = datarate;
  *txPowOut = txPower;
  *nbTransOut = nbTrans;
  *adrAckCounter = adrNext->AdrAckCounter;
  return adrAckReq;
}
