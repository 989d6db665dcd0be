// PLACEHOLDER until the custom GATT service lands (this file belongs to the
// HID and custom-service work and is replaced by it): the serial layer makes
// no call into the custom service, so there is nothing to stand in for yet.
#include "uhal_ble_nrf.h"
