// The SDK's buttonless DFU service: a vendor service whose one
// characteristic (write, indicate) takes the "enter bootloader" command.
// Once the peer has enabled indications, writing 0x01 answers with an
// indication 20 01 01, reports BLE_DFU_EVT_BOOTLOADER_ENTER_PREPARE, waits
// for the link to go down, reports BLE_DFU_EVT_BOOTLOADER_ENTER, sets
// GPREGRET to the bootloader request and resets. Without indications the
// write is answered with a CCCD-improperly-configured error.
#pragma once

#include "ble.h"
#include "nrf_sdh_ble.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  BLE_DFU_EVT_BOOTLOADER_ENTER_PREPARE,
  BLE_DFU_EVT_BOOTLOADER_ENTER,
  BLE_DFU_EVT_BOOTLOADER_ENTER_FAILED,
  BLE_DFU_EVT_RESPONSE_SEND_ERROR,
} ble_dfu_buttonless_evt_type_t;

typedef void (*ble_dfu_buttonless_evt_handler_t)(ble_dfu_buttonless_evt_type_t p_evt);

typedef struct {
  ble_dfu_buttonless_evt_handler_t evt_handler;
} ble_dfu_buttonless_init_t;

// 8EC9xxxx-F315-4F60-9FB8-838830DAEA50; the characteristic is 0x0003.
#define BLE_DFU_BUTTONLESS_CHAR_UUID 0x0003
#define BLE_DFU_BUTTONLESS_BASE_UUID                                                            \
  {                                                                                             \
    {                                                                                           \
      0x50, 0xEA, 0xDA, 0x30, 0x88, 0x83, 0xB8, 0x9F, 0x60, 0x4F, 0x15, 0xF3, 0x00, 0x00, 0xC9, \
          0x8E                                                                                  \
    }                                                                                           \
  }
// The service itself has the 16-bit UUID 0xFE59.
#define BLE_DFU_SERVICE_UUID 0xFE59

uint32_t ble_dfu_buttonless_async_svci_init(void);
uint32_t ble_dfu_buttonless_init(ble_dfu_buttonless_init_t const *p_dfu_init);

#ifdef __cplusplus
}  // extern "C"
#endif
