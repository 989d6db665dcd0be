// State and steps the parts of the LoRaWAN service share.
#pragma once

#include <stdint.h>

#include "service_lora_lorawan.h"

// Resend state of a confirmed uplink: the resends allowed, the
// transmissions made (0: none outstanding) and the uplink itself (the
// caller's buffer, kept, not copied).
extern uint8_t AckTimeoutRetries;
extern uint8_t AckTimeoutRetriesCounter;
extern uint8_t *AckTimeoutRetries_buff;
extern uint32_t AckTimeoutRetries_len;
extern SERVICE_LORA_SEND_INFO AckTimeoutRetries_info;
extern bool last_ack;
extern TimerTime_t DutyCycleWaitTime;
extern uint32_t auto_join_retry_cnt;

// The stored data rate, as joins, uplinks and start-up use it. A rate below
// the band's lowest (the factory default 0 on CN470, whose lowest is 1)
// gives way to the band's default, so that a module can join and send from
// its first start; the store keeps what it holds.
SERVICE_LORA_DATA_RATE service_lora_stored_dr(void);

// The MAC's primitives.
void McpsConfirm(McpsConfirm_t *mcpsConfirm);
void McpsIndication(McpsIndication_t *mcpsIndication);
void MlmeConfirm(MlmeConfirm_t *mlmeConfirm);
void MlmeIndication(MlmeIndication_t *mlmeIndication);

// Another join attempt after the stored period; failed_code is printed when
// the timer cannot be created.
void service_lora_join_retry(uint32_t failed_code);
