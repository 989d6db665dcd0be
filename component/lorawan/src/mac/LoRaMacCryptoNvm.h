/*!
 * \file LoRaMacCryptoNvm.h
 *
 * \brief The frame-security group of the MAC's persistent context.
 *
 * Its bytes are a stored format (the MAC block of the configuration store
 * holds them as they are), so every field sits at a fixed offset on the
 * module's 32-bit target and the padding is explicit and zero.
 */
#ifndef __LORAMAC_CRYPTO_NVM_H__
#define __LORAMAC_CRYPTO_NVM_H__

#include <stddef.h>
#include <stdint.h>

#include "LoRaMacTypes.h"

/*!
 * Number of multicast groups, each with its own downlink counter.
 */
#define LORAMAC_MAX_MC_CTX 4

/*!
 * The frame counters. The uplink counter holds the last FCnt sent plus one
 * (0 before the first uplink of a session); a downlink counter of 0xFFFFFFFF
 * means no frame received yet.
 */
typedef struct sFCntList {
  uint32_t FCntUp;
  uint32_t NFCntDown;
  uint32_t AFCntDown;
  uint32_t FCntDown;
  uint32_t McFCntDown[LORAMAC_MAX_MC_CTX];
  uint16_t RJcount1;
  uint8_t Padding[2];
} FCntList_t;

typedef struct sLoRaMacCryptoNvmData {
  Version_t LrWanVersion;
  uint16_t DevNonce;
  uint8_t Padding[2];
  uint32_t JoinNonce;
  FCntList_t FCntList;
  uint32_t LastDownFCnt;
  uint32_t Crc32;
} LoRaMacCryptoNvmData_t;

static_assert(sizeof(LoRaMacCryptoNvmData_t) == 56, "crypto group is 56 bytes");
static_assert(offsetof(LoRaMacCryptoNvmData_t, DevNonce) == 4);
static_assert(offsetof(LoRaMacCryptoNvmData_t, JoinNonce) == 8);
static_assert(offsetof(LoRaMacCryptoNvmData_t, FCntList) == 12);
static_assert(offsetof(LoRaMacCryptoNvmData_t, FCntList.McFCntDown) == 28);
static_assert(offsetof(LoRaMacCryptoNvmData_t, FCntList.RJcount1) == 44);
static_assert(offsetof(LoRaMacCryptoNvmData_t, LastDownFCnt) == 48);
static_assert(offsetof(LoRaMacCryptoNvmData_t, Crc32) == 52);

#endif  // __LORAMAC_CRYPTO_NVM_H__
