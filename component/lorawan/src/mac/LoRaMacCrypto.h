/*!
 * \file LoRaMacCrypto.h
 *
 * \brief Frame security of the MAC: frame counters and join nonces, session
 *        and multicast key derivation, securing of uplinks (encryption and
 *        MIC) and unsecuring of downlinks (counter, address and MIC checks,
 *        decryption).
 *
 * Keys never pass through here: the secure element holds them and is asked
 * for every keyed operation by key identifier. The counters live in the
 * crypto group of the MAC's persistent context, given at initialisation.
 */
#ifndef __LORAMAC_CRYPTO_H__
#define __LORAMAC_CRYPTO_H__

#include <stdint.h>

#include "LoRaMac.h"
#include "LoRaMacCryptoNvm.h"
#include "LoRaMacMessageTypes.h"
#include "secure-element.h"

/*! Largest message (frame without its MIC) a downlink MIC is checked over. */
#define CRYPTO_MAXMESSAGE_SIZE 256

/*! Value of a downlink counter before its first frame. */
#define FCNT_DOWN_INITIAL_VALUE 0xFFFFFFFF

/*!
 * The frame counters and rejoin counters the layer keeps.
 */
typedef enum eFCntIdentifier : uint8_t {
  FCNT_UP = 0,
  N_FCNT_DOWN = 1,
  A_FCNT_DOWN = 2,
  FCNT_DOWN = 3,
  MC_FCNT_DOWN_0 = 4,
  MC_FCNT_DOWN_1 = 5,
  MC_FCNT_DOWN_2 = 6,
  MC_FCNT_DOWN_3 = 7,
  RJ_COUNT_0 = 8,
  RJ_COUNT_1 = 9,
} FCntIdentifier_t;

typedef enum eLoRaMacCryptoStatus {
  LORAMAC_CRYPTO_SUCCESS = 0,
  LORAMAC_CRYPTO_FAIL_MIC = 1,
  LORAMAC_CRYPTO_FAIL_ADDRESS = 2,
  LORAMAC_CRYPTO_FAIL_JOIN_NONCE = 3,
  LORAMAC_CRYPTO_FAIL_RJCOUNT0_OVERFLOW = 4,
  LORAMAC_CRYPTO_FAIL_FCNT_ID = 5,
  LORAMAC_CRYPTO_FAIL_FCNT_SMALLER = 6,
  LORAMAC_CRYPTO_FAIL_FCNT_DUPLICATED = 7,
  LORAMAC_CRYPTO_FAIL_PARAM = 8,
  LORAMAC_CRYPTO_ERROR_NPE = 9,
  LORAMAC_CRYPTO_ERROR_INVALID_KEY_ID = 10,
  LORAMAC_CRYPTO_ERROR_INVALID_ADDR_ID = 11,
  LORAMAC_CRYPTO_ERROR_INVALID_VERSION = 12,
  LORAMAC_CRYPTO_ERROR_BUF_SIZE = 13,
  LORAMAC_CRYPTO_ERROR_SECURE_ELEMENT_FUNC = 14,
  LORAMAC_CRYPTO_ERROR_PARSER = 15,
  LORAMAC_CRYPTO_ERROR_SERIALIZER = 16,
  LORAMAC_CRYPTO_ERROR_RJCOUNT1_OVERFLOW = 17,
  LORAMAC_CRYPTO_ERROR = 18,
  // Every DevNonce has been used: a join request would repeat one.
  LORAMAC_CRYPTO_FAIL_DEV_NONCE_OVERFLOW = 19,
  // The caller's check refused a join accept that was otherwise valid.
  LORAMAC_CRYPTO_FAIL_JOIN_ACCEPT_REFUSED = 20,
} LoRaMacCryptoStatus_t;

/*!
 * Takes the crypto group and sets it to a fresh state: version 1.1.1, no
 * uplink sent, no downlink received, nonces 0.
 */
LoRaMacCryptoStatus_t LoRaMacCryptoInit(LoRaMacCryptoNvmData_t* nvm);

LoRaMacCryptoStatus_t LoRaMacCryptoSetLrWanVersion(Version_t version);

/*!
 * The counter of the next uplink: the stored counter plus one. The frame
 * carries this value minus one.
 */
LoRaMacCryptoStatus_t LoRaMacCryptoGetFCntUp(uint32_t* currentUp);

/*!
 * The 32-bit counter of a received frame from its 16-bit FCnt and the last
 * counter of \p fCntID. A repeated FCnt gives LORAMAC_CRYPTO_FAIL_FCNT_DUPLICATED
 * with the last counter in \p currentDown.
 */
LoRaMacCryptoStatus_t LoRaMacCryptoGetFCntDown(FCntIdentifier_t fCntID, uint32_t frameFcnt,
                                               uint32_t* currentDown);

/*!
 * The rejoin counter the next rejoin request of that type carries
 * (RJ_COUNT_0 or RJ_COUNT_1).
 */
LoRaMacCryptoStatus_t LoRaMacCryptoGetRJcount(FCntIdentifier_t fCntID, uint16_t* rJcount);

/*!
 * Ties the four multicast groups to their downlink counters, group 0 first.
 */
LoRaMacCryptoStatus_t LoRaMacCryptoSetMulticastReference(MulticastCtx_t* multicastList);

/*!
 * Stores a key in the secure element; the application key also renews the
 * multicast root and key-encryption keys.
 */
LoRaMacCryptoStatus_t LoRaMacCryptoSetKey(KeyIdentifier_t keyID, const uint8_t* key);

/*!
 * Takes the next DevNonce, derives the join-server keys and writes the
 * signed join request into the record's buffer. Once the nonce has reached
 * 0xFFFF no further request is made (FAIL_DEV_NONCE_OVERFLOW): the next
 * one would wrap to a nonce the network has already seen.
 */
LoRaMacCryptoStatus_t LoRaMacCryptoPrepareJoinRequest(LoRaMacMessageJoinRequest_t* macMsg);

LoRaMacCryptoStatus_t LoRaMacCryptoPrepareReJoinType1(LoRaMacMessageReJoinType1_t* macMsg);

LoRaMacCryptoStatus_t LoRaMacCryptoPrepareReJoinType0or2(LoRaMacMessageReJoinType0or2_t* macMsg);

/*!
 * The caller's last word on a decrypted, authentic join accept (for
 * example whether the region can use its settings); false refuses it.
 */
typedef bool (*LoRaMacCryptoJoinAcceptCheck_t)(const LoRaMacMessageJoinAccept_t* accept);

/*!
 * Decrypts and checks a join accept as the answer to a request of
 * \p joinReqType, checks its JoinNonce (greater than the last accepted
 * one), asks \p check when given, and only then derives the session keys,
 * stores the nonce and restarts the counters. On success the record's
 * buffer holds the decrypted frame and the record its fields; on failure
 * buffer, record, keys, nonce and counters are unchanged, so the same frame
 * can be tried as the answer to another request type and a refused accept
 * leaves the session as it was.
 */
LoRaMacCryptoStatus_t LoRaMacCryptoHandleJoinAccept(JoinReqIdentifier_t joinReqType,
                                                    const uint8_t* joinEUI,
                                                    LoRaMacMessageJoinAccept_t* macMsg,
                                                    LoRaMacCryptoJoinAcceptCheck_t check = nullptr);

/*!
 * Secures a data uplink with counter \p fCntUp (as from
 * LoRaMacCryptoGetFCntUp): the payload (and, on LoRaWAN 1.1, the FOpts) is
 * encrypted on the first transmission of that counter only, so a repetition
 * passes the already encrypted record again. The MIC covers \p txDr and
 * \p txCh on LoRaWAN 1.1.
 */
LoRaMacCryptoStatus_t LoRaMacCryptoSecureMessage(uint32_t fCntUp, uint8_t txDr, uint8_t txCh,
                                                 LoRaMacMessageData_t* macMsg);

/*!
 * Parses and checks a data downlink for the group \p addrID at \p address
 * with the 32-bit counter \p fCntDown of \p fCntID, decrypts it and stores
 * the counter. A refused frame leaves the counters unchanged.
 */
LoRaMacCryptoStatus_t LoRaMacCryptoUnsecureMessage(AddressIdentifier_t addrID, uint32_t address,
                                                   FCntIdentifier_t fCntID, uint32_t fCntDown,
                                                   LoRaMacMessageData_t* macMsg);

/*!
 * Derives MC_ROOT_KEY from the application key (\p keyID must be APP_KEY)
 * for LoRaWAN 1.\p versionMinor.
 */
LoRaMacCryptoStatus_t LoRaMacCryptoDeriveMcRootKey(uint8_t versionMinor, KeyIdentifier_t keyID);

/*!
 * Derives a multicast group's application and network session keys from
 * its group key and address.
 */
LoRaMacCryptoStatus_t LoRaMacCryptoDeriveMcSessionKeyPair(AddressIdentifier_t addrID,
                                                          uint32_t mcAddr);

#endif  // __LORAMAC_CRYPTO_H__
