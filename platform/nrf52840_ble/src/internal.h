// Shared between the BLE stack stand-in's source files: the stack's state
// as the SDK modules need it and the event queue of the stack's event
// interrupt.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ble.h"

namespace nrfble {

// Queues a BLE event for the observers (body bytes after the header, the
// header's length set from them); delivered in order from the stack's
// event interrupt.
void post(uint16_t evt_id, const void* body, size_t body_len);
// Runs `fn` from the stack's event interrupt after the events queued before
// it (the SDK modules' own deferred events).
void defer(std::function<void()> fn);

// An injected failure of `name` (0: none); consumed.
uint32_t injected(const char* name);

// The one link (BLE_CONN_HANDLE_INVALID when none) and its ATT MTU.
uint16_t link();
uint16_t link_mtu();
bool link_encrypted();
bool link_bonded_peer();  // the peer of the link paired with bonding before
// Asks the central to pair (peripheral security request).
void request_security(bool mitm);
// Asks the central for new connection parameters.
bool request_conn_update(const ble_gap_conn_params_t& p);
// The security parameters the peer manager answers pairing requests with
// (null: pairing refused).
void set_own_sec_params(const ble_gap_sec_params_t* p);
// Bonds kept by the stand-in's peer manager: forgotten.
void forget_bonds();
uint32_t bond_count();
// The bonded peers' addresses, in bonding order.
std::vector<ble_gap_addr_t> bonded_addresses();

// The bytes of a UUID as it travels (2 or 16, least significant first);
// false for a vendor type not registered.
bool uuid_bytes(const ble_uuid_t& u, std::vector<uint8_t>* out);
void stack_reset();

// The device name as set.
std::string device_name();

// The buttonless DFU: the link went down after the enter command.
void dfu_link_closed();

}  // namespace nrfble
