/*!
 * \file LoRaMacNvm.h
 *
 * \brief Integrity and restore of the MAC's persistent context.
 *
 * Each of the seven groups of LoRaMacNvmData_t ends in a CRC-32 over its
 * other bytes (padding included). The MAC refreshes the CRCs when it is idle
 * after a change and reports the groups whose CRC moved; a stored context is
 * taken back group by group, only where the group's CRC holds.
 */
#ifndef __LORAMAC_NVM_H__
#define __LORAMAC_NVM_H__

#include <stddef.h>
#include <stdint.h>

#include "LoRaMac.h"

/*!
 * CRC-32 of a group over all its bytes but the trailing CRC field.
 *
 * \param [in] group start of the group
 * \param [in] groupSize size of the whole group, CRC included
 */
uint32_t LoRaMacNvmGroupCrc(const void* group, size_t groupSize);

/*!
 * Recomputes the CRC of every group and stores those that differ.
 *
 * \retval the LORAMAC_NVM_NOTIFY_FLAG_* bits of the groups whose CRC changed
 */
uint16_t LoRaMacNvmUpdateCrcs(LoRaMacNvmData_t* nvm);

/*!
 * Takes every group of `stored` whose CRC holds whole into `nvm` and leaves
 * the other groups of `nvm` as they are. When MAC group 2 is taken, its
 * multicast references are set again for this MAC
 * (LoRaMacNvmSetMulticastRefs), whatever the stored bytes hold.
 * `stored` may be `nvm` itself.
 *
 * \retval the LORAMAC_NVM_NOTIFY_FLAG_* bits of the groups taken
 */
uint16_t LoRaMacNvmRestore(LoRaMacNvmData_t* nvm, const LoRaMacNvmData_t* stored);

/*!
 * Sets the references of the four multicast entries: each entry's downlink
 * counter reference to its index, the key references of an enabled group to
 * the identifiers of its keys in the secure element (0 for a disabled one).
 */
void LoRaMacNvmSetMulticastRefs(LoRaMacNvmDataGroup2_t* group2);

/*!
 * Stores a client's multicast record (GroupID 0..3) in a group entry: its
 * fields, with key references in place of the key pointers. The entry's
 * padding is zero.
 */
void LoRaMacNvmStoreMcChannel(McChannelNvm_t* entry, const McChannelParams_t* params);

/*!
 * The downlink counter a multicast entry refers to, or null for a reference
 * outside the four groups.
 */
uint32_t* LoRaMacNvmMcDownLinkCounter(LoRaMacCryptoNvmData_t* crypto, uint32_t downLinkCounterRef);

#endif  // __LORAMAC_NVM_H__
