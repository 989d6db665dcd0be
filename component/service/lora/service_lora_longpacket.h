// Long packets: up to 1024 bytes sent as a series of uplinks on one port,
// one fragment each, with a small header that lets the receiving application
// put them together again:
//   header (bit 0 long packet = 1, bit 1 fragment sent again), transfer
//   identifier, fragments still to come, fragment serial number from 1,
//   data length n, n data bytes, additive checksum of all bytes before it.
// One fragment is in flight at a time; the next goes out once the previous
// one is done (acknowledged, when the transfer is confirmed).
#pragma once

#include <stdbool.h>
#include <stdint.h>

#define LPTP_DATA_BUFFER_MAX_SIZE 1024

// 0, or a negated UDRV_RETURN_CODE: -UDRV_WRONG_ARG for a port outside 1 to
// 223, a length above 1024 or a packet that cannot be fragmented at the
// current data rate; otherwise the result of sending the first fragment.
int32_t service_lora_lptp_send(uint8_t port, bool ack, uint8_t const *data, uint16_t len);

// The end of an uplink: status 0 when the fragment went out (and was
// acknowledged when confirmed), else the fragment is sent again.
void service_lora_lptp_send_callback(int32_t status);

// Sends the current fragment; the result of the LoRaWAN service's send.
int32_t lora_send_subcontract(void);

// Run after each MAC processing step: a fragment whose send was refused
// (busy, duty cycle) goes out once its retry time has come.
void service_lora_lptp_process(void);

// Whether a transfer is in progress.
bool service_lora_lptp_busy(void);
