// The SDK's serial service: a vendor 128-bit service (UUID 0x0001 of its
// base) with an RX characteristic the peer writes (with or without
// response) and a TX characteristic it receives as notifications.
#pragma once

#include "ble.h"
#include "ble_srv_common.h"
#include "nrf_sdh_ble.h"

#define BLE_UUID_NUS_SERVICE 0x0001
#define BLE_UUID_NUS_RX_CHARACTERISTIC 0x0002
#define BLE_UUID_NUS_TX_CHARACTERISTIC 0x0003
// 6E40xxxx-B5A3-F393-E0A9-E50E24DCCA9E, least significant byte first.
#define NUS_BASE_UUID                                                                           \
  {                                                                                             \
    {                                                                                           \
      0x9E, 0xCA, 0xDC, 0x24, 0x0E, 0xE5, 0xA9, 0xE0, 0x93, 0xF3, 0xA3, 0xB5, 0x00, 0x00, 0x40, \
          0x6E                                                                                  \
    }                                                                                           \
  }
#define NUS_SERVICE_UUID_TYPE BLE_UUID_TYPE_VENDOR_BEGIN

#include "nrf_ble_gatt.h"

#ifdef __cplusplus
extern "C" {
#endif
#define BLE_NUS_MAX_DATA_LEN (NRF_SDH_BLE_GATT_MAX_MTU_SIZE - 3)
#define BLE_NUS_MAX_RX_CHAR_LEN BLE_NUS_MAX_DATA_LEN
#define BLE_NUS_MAX_TX_CHAR_LEN BLE_NUS_MAX_DATA_LEN

typedef enum {
  BLE_NUS_EVT_RX_DATA,
  BLE_NUS_EVT_TX_RDY,
  BLE_NUS_EVT_COMM_STARTED,
  BLE_NUS_EVT_COMM_STOPPED,
} ble_nus_evt_type_t;

typedef struct ble_nus_s ble_nus_t;

typedef struct {
  uint8_t const *p_data;
  uint16_t length;
} ble_nus_evt_rx_data_t;

typedef struct {
  ble_nus_evt_type_t type;
  ble_nus_t *p_nus;
  uint16_t conn_handle;
  void *p_link_ctx;
  union {
    ble_nus_evt_rx_data_t rx_data;
  } params;
} ble_nus_evt_t;

typedef void (*ble_nus_data_handler_t)(ble_nus_evt_t *p_evt);

typedef struct {
  ble_nus_data_handler_t data_handler;
} ble_nus_init_t;

struct ble_nus_s {
  uint8_t uuid_type;
  uint16_t service_handle;
  ble_gatts_char_handles_t tx_handles;
  ble_gatts_char_handles_t rx_handles;
  ble_nus_data_handler_t data_handler;
  bool is_notification_enabled;  // of the one link
};

void ble_nus_on_ble_evt(ble_evt_t const *p_ble_evt, void *p_context);

#define BLE_NUS_DEF(_name, _nus_max_clients) \
  static ble_nus_t _name;                    \
  NRF_SDH_BLE_OBSERVER(_name##_obs, BLE_NUS_BLE_OBSERVER_PRIO, ble_nus_on_ble_evt, &_name)

uint32_t ble_nus_init(ble_nus_t *p_nus, ble_nus_init_t const *p_nus_init);
// One notification on TX: *p_length in, bytes sent out.
// NRF_ERROR_NOT_FOUND without that link, NRF_ERROR_INVALID_PARAM for a
// length above BLE_NUS_MAX_DATA_LEN, NRF_ERROR_INVALID_STATE while the peer has not enabled the
// notifications; otherwise sd_ble_gatts_hvx's result.
uint32_t ble_nus_data_send(ble_nus_t *p_nus, uint8_t *p_data, uint16_t *p_length,
                           uint16_t conn_handle);

#ifdef __cplusplus
}  // extern "C"
#endif
