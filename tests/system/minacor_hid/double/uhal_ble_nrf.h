// What the HID and custom service handlers take from the rest of the BLE
// layer, for the tests that run them without it (layer_double.cpp).
#pragma once

#include <stdint.h>

typedef struct {
  int8_t txpower;
  char custom_dev_name[30];
  uint8_t adv_mode;
  uint32_t adv_interval;
  uint8_t service_mode;
  uint8_t adv_timeout;
  uint8_t pairing_key[7];
  uint8_t permission;
} uhal_ble_parameter;

extern uhal_ble_parameter ble_parameter;
extern bool uhal_is_advertising;
