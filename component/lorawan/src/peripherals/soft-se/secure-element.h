/*!
 * \file secure-element.h
 *
 * \brief Secure element: the device's LoRaWAN identity and keys in one
 *        MAC-owned context record, and every keyed operation of the frame
 *        security (MIC, block encryption, key derivation, multicast key
 *        unwrapping, join-accept processing).
 */
#ifndef __SECURE_ELEMENT_H__
#define __SECURE_ELEMENT_H__

#include <stdbool.h>
#include <stdint.h>

#include "secure-element-nvm.h"

typedef enum eSecureElementStatus {
  SECURE_ELEMENT_SUCCESS = 0,
  SECURE_ELEMENT_FAIL_CMAC = 1,
  SECURE_ELEMENT_ERROR_NPE = 2,
  SECURE_ELEMENT_ERROR_INVALID_KEY_ID = 3,
  SECURE_ELEMENT_ERROR_INVALID_LORAWAM_SPEC_VERSION = 4,
  SECURE_ELEMENT_ERROR_BUF_SIZE = 5,
  SECURE_ELEMENT_ERROR = 6,
  SECURE_ELEMENT_FAIL_ENCRYPT = 7,
} SecureElementStatus_t;

typedef enum eJoinReqIdentifier : uint8_t {
  REJOIN_REQ_0 = 0x00,
  REJOIN_REQ_1 = 0x01,
  REJOIN_REQ_2 = 0x02,
  JOIN_REQ = 0xFF,
} JoinReqIdentifier_t;

/*! Largest join-accept frame (with CFList and MIC). */
#define SE_JOIN_ACCEPT_MAX_SIZE 33
/*! Smallest join-accept frame (MHDR, 12 bytes, MIC). */
#define SE_JOIN_ACCEPT_MIN_SIZE 17
#define SE_MIC_SIZE 4

/*!
 * Points the element at its context record and overwrites the record with
 * the defaults (EUIs and PIN zero, the default key list, Crc32 0).
 */
SecureElementStatus_t SecureElementInit(SecureElementNvmData_t* nvm);

SecureElementStatus_t SecureElementSetKey(KeyIdentifier_t keyID, const uint8_t* key);

/*!
 * AES-CMAC over (the 16-byte B0 block when micBxBuffer is given) and size
 * bytes of buffer; cmac gets the first four digest bytes, first byte least
 * significant. Multicast key ids (127 and above) compute no MIC.
 */
SecureElementStatus_t SecureElementComputeAesCmac(const uint8_t* micBxBuffer, const uint8_t* buffer,
                                                  uint16_t size, KeyIdentifier_t keyID,
                                                  uint32_t* cmac);

SecureElementStatus_t SecureElementVerifyAesCmac(const uint8_t* buffer, uint16_t size,
                                                 uint32_t expectedCmac, KeyIdentifier_t keyID);

/*!
 * AES-128 ECB of each 16-byte block; size must be a multiple of 16. In place
 * is allowed.
 */
SecureElementStatus_t SecureElementAesEncrypt(const uint8_t* buffer, uint16_t size,
                                              KeyIdentifier_t keyID, uint8_t* encBuffer);

SecureElementStatus_t SecureElementDeriveAndStoreKey(const uint8_t* input,
                                                     KeyIdentifier_t rootKeyID,
                                                     KeyIdentifier_t targetKeyID);

/*!
 * Decrypts a join accept into decJoinAccept and checks its MIC for
 * LoRaWAN 1.0 (versionMinor 0) or 1.1 (versionMinor 1, by the OptNeg bit).
 */
SecureElementStatus_t SecureElementProcessJoinAccept(JoinReqIdentifier_t joinReqType,
                                                     const uint8_t* joinEui, uint16_t devNonce,
                                                     const uint8_t* encJoinAccept,
                                                     uint8_t encJoinAcceptSize,
                                                     uint8_t* decJoinAccept, uint8_t* versionMinor);

SecureElementStatus_t SecureElementSetDevEui(const uint8_t* devEui);
uint8_t* SecureElementGetDevEui(void);
SecureElementStatus_t SecureElementSetJoinEui(const uint8_t* joinEui);
uint8_t* SecureElementGetJoinEui(void);
SecureElementStatus_t SecureElementSetPin(const uint8_t* pin);
uint8_t* SecureElementGetPin(void);

#endif  // __SECURE_ELEMENT_H__
