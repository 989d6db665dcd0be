// The custom GATT service mode of the nRF52840 BLE layer: one service of up
// to three characteristics, their value updates and notifications, reads
// answered with the characteristic's `send_data`, writes that drive P0.16.
//
// A program asks for a service (uhal_cus_service_init, through the user
// API); it is put on the stack when the stack enters the mode (the BLE
// layer's advertising set-up calls uhal_ble_cus_service_register): that
// sets `custom_service_uuid`, fills `cus_char_att`, adds the service and its
// characteristics (their handles in `m_cus`), configures P0.16 as an output
// and creates `m_notification_timer_id`. While `custom_service_uuid` is
// CUS_SERVICE_UUID_NONE every handler here ignores events.
#pragma once

#include <stdint.h>

#include "app_timer.h"
#include "ble.h"
#include "sdk_errors.h"

#define CUS_SERVICE_UUID_NONE 0x1400u
#define CUS_CHAR_COUNT 3u
#define CUS_OUTPUT_PIN 16u  // P0.16: 1 written drives it low, 0 high
#define CUS_VALUE_LEN 20u   // value length of a program's characteristics

typedef struct {
  uint16_t char_uuid;
  uint8_t permissions;
  uint8_t properties;
  uint8_t fixedlen;      // value length
  uint8_t *send_data;    // answered to reads
  uint8_t *notify_data;  // sent when the peer enables notifications
  uint8_t is_notify_enable;
} cus_characteristic_attribute_t;

typedef enum {
  BLE_CUS_EVT_NOTIFICATION_ENABLED = 0,
  BLE_CUS_EVT_NOTIFICATION_DISABLED = 1,
  BLE_CUS_EVT_DISCONNECTED = 2,
  BLE_CUS_EVT_CONNECTED = 3,
} ble_cus_evt_type_t;

typedef struct {
  ble_cus_evt_type_t evt_type;
} ble_cus_evt_t;

typedef struct ble_cus_s ble_cus_t;
typedef void (*ble_cus_evt_handler_t)(ble_cus_t *p_cus, ble_cus_evt_t *p_evt);

struct ble_cus_s {
  ble_cus_evt_handler_t evt_handler;
  uint16_t service_handle;
  ble_gatts_char_handles_t custom_value_handles[CUS_CHAR_COUNT];
  uint16_t conn_handle;
  uint8_t uuid_type;
};

typedef void (*cus_notify_handler_t)(uint16_t char_uuid, uint8_t const *data);
typedef void (*cus_send_handler_t)(uint16_t char_uuid, uint8_t *send_data);

extern uint16_t custom_service_uuid;
extern cus_characteristic_attribute_t cus_char_att[CUS_CHAR_COUNT];
extern ble_cus_t m_cus;
extern uint16_t m_cus_conn_handle;
extern app_timer_id_t const m_notification_timer_id;
// Optional hooks, called only when set.
extern cus_notify_handler_t CUS_NOTIFY_HANDLER;
extern cus_send_handler_t CUS_SEND_HANDLER;

// Sets the value of the characteristic `char_uuid` from `custom_value`
// (its fixedlen bytes) and notifies it: NRF_ERROR_NULL without a service,
// NRF_ERROR_NOT_FOUND for a UUID of none of the characteristics, the value
// set's failure, NRF_ERROR_INVALID_STATE without a connection, else the
// notification's result.
uint32_t ble_cus_custom_value_update(ble_cus_t *p_cus, uint8_t *custom_value, uint16_t char_uuid);

// The service a program asked for, put on the running stack with
// read/write/notify characteristics of CUS_VALUE_LEN bytes (value zero,
// answered to reads and notified) under the base's vendor UUID type, and
// its advertising (flags and the service's 128-bit UUID; the name in the
// scan response): the stack's result, NRF_ERROR_INVALID_STATE when no
// service was asked for. Until it succeeds the service is absent.
uint32_t uhal_ble_cus_service_register(void);
// Advertising of the mode for `time_out` seconds (0: without end) with the
// settings' interval, mode and power: NRF_ERROR_INVALID_STATE without a
// service on the stack, else the stack's result (nothing started while
// connected). Stops the mode's advertising set.
uint32_t uhal_ble_cus_advertising_start(uint8_t time_out);
uint32_t uhal_ble_cus_advertising_stop(void);

void ble_cus_on_ble_evt(ble_evt_t const *p_ble_evt, void *p_context);
void cus_ble_evt_handler(ble_evt_t const *p_ble_evt, void *p_context);
