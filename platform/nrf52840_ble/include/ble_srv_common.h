// Helpers shared by the SDK's service modules: security requirements and a
// one-call characteristic add.
#pragma once

#include "ble.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  SEC_NO_ACCESS = 0,
  SEC_OPEN = 1,
  SEC_JUST_WORKS = 2,
  SEC_MITM = 3,
} security_req_t;

typedef struct {
  uint16_t uuid;
  uint8_t uuid_type;
  uint16_t max_len;
  uint16_t init_len;
  uint8_t *p_init_value;
  bool is_var_len;
  ble_gatt_char_props_t char_props;
  ble_gatt_char_ext_props_t char_ext_props;
  bool is_defered_read;   // reads raise an authorisation request
  bool is_defered_write;  // writes likewise
  security_req_t read_access;
  security_req_t write_access;
  security_req_t cccd_write_access;
  bool is_value_user;
} ble_add_char_params_t;

uint32_t characteristic_add(uint16_t service_handle, ble_add_char_params_t *p_char_props,
                            ble_gatts_char_handles_t *p_char_handle);

// Whether a CCCD value enables notifications / indications.
bool ble_srv_is_notification_enabled(uint8_t const *p_encoded_data);
bool ble_srv_is_indication_enabled(uint8_t const *p_encoded_data);

#ifdef __cplusplus
}  // extern "C"
#endif
