// Channel selection of the LoRaWAN service (sub-band masks of the fixed-plan
// bands and the single-channel mode) and its multicast groups.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "RegionFixedPlan.h"
#include "service_lora_types.h"

// ---- Sub-band masks and single-channel mode ----
// Sub-band mask: bit i (0 to 11) opens the eight channels 8i to 8i + 7.

// The stored sub-band mask (AU915, US915, LA915 leave out bit 8, which
// stands for the 500 kHz channels): 0, or -3 on a band without sub-bands
// (the caller's variable then stays unchanged).
int32_t service_lora_get_mask(uint16_t *mask);
// Applies a sub-band mask (0: the band's default, written back) and, with
// commit, stores it; ends the single-channel mode. 0; -3 on a band without
// sub-bands or for a mask that leaves no channel; -6 or -7 when the MAC
// cannot be stopped; -7 when the MAC refuses; or the store's error.
int32_t service_lora_set_mask(uint16_t *mask, bool commit);
// The stored single-channel frequency (0: mode off) on the fixed-plan
// bands; -7 on any other band.
int32_t service_lora_get_chs(void);
// Pins the uplinks to the channel of this frequency (0: back to the stored
// sub-band mask). 0; -3 when no channel has the frequency; -7 on a band
// without the mode or when the MAC refuses; or the store's error.
int32_t service_lora_set_chs(uint32_t frequency);

// The data rate an uplink can use on the pinned channel: `dr` when the
// channel takes it, else the nearest rate it takes (a 500 kHz channel of
// US915 takes DR4 only). `dr` when no channel is pinned.
int8_t service_lora_pinned_channel_dr(int8_t dr);

// Hooks through which AU915 and US915 learn of the single-channel mode;
// registered at every start-up.
uint32_t IsSingleChannelAU915Callback(void);
uint32_t IsSingleChannelUS915Callback(void);
uint8_t AlternateDrAU915Callback(void);
uint8_t AlternateDrUS915Callback(void);
extern SingleChannel_t SingleChannelAU915;
extern SingleChannel_t SingleChannelUS915;

// Start-up: the stored single-channel frequency or sub-band mask of the
// fixed-plan bands into the MAC; EU868 always starts on its three default
// channels. 0 or the first failure.
int32_t service_lora_apply_channel_plan(SERVICE_LORA_BAND band);

// Asks for a MAC processing step soon: a change made outside one (a stop
// and start, a group set up) is then stored and the class C window reopened
// at once, not when the next downlink's radio event comes, which the store's
// stop of the MAC would cut off.
void service_lora_request_mac_step(void);

// ---- Multicast groups ----
// The four groups in use (address 0: free slot).
extern McSession_t McSession_group[4];

// Adds a group in the first free slot and stores the table: 0; -16 for an
// address in use, no free slot, no default receive channel on this band or
// a MAC refusal; -7 when the store fails.
int32_t service_lora_addmulc(McSession_t session);
// Removes the group of this address: 0, or -7 (no such group, MAC refusal,
// store failure).
int32_t service_lora_rmvmulc(uint32_t devaddr);
// Listing cursor: a zeroed record receives slot 0, a record equal to slot i
// receives slot i + 1. -14 while a record was handed out, 0 after slot 3.
int32_t service_lora_lstmulc(McSession_t *iterator);
// Start-up: the stored groups into the MAC (0, or -7).
int32_t service_lora_setup_multicast(void);
// Band change and factory settings: every group removed (0, or -7).
int32_t service_lora_clear_multicast(void);
