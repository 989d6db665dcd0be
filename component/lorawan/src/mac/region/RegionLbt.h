/*!
 * \file RegionLbt.h
 *
 * \brief Listen-before-talk settings, owned by the LoRa service.
 *
 * The channel choice of the listen-before-talk regions reads them on every
 * uplink; the MAC's own LBT items are not consulted.
 */
#ifndef __REGIONLBT_H__
#define __REGIONLBT_H__

#include <stdint.h>

/*! 1 when listen-before-talk is on. */
int32_t service_lora_get_lbt(void);
/*! RSSI threshold in dBm below which a channel counts as free. */
int16_t service_lora_get_lbt_rssi(void);
/*! Carrier-sense time in ms. */
uint32_t service_lora_get_lbt_scantime(void);

#endif  // __REGIONLBT_H__
