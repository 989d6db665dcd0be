// The Apollo3 BLE interface seen by the image's BLE glue: the calls of the
// vendor HAL that the glue makes, and the host stack's timer query of its
// operating-system port.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The BLE interface's interrupt status bit of BSTATUS: a reply is waiting.
#define AM_HAL_BLE_BSTATUS_BLEIRQ (1u << 7)
#define AM_HAL_BLE_BLEDBG_IOCLKON (1u << 1)
#define AM_HAL_BLE_NO_HCI_RESPONSE 0x08000004u
#define AM_HAL_BLE_RAW 0u

// The registers of the BLE interface the glue touches.
typedef struct {
  uint32_t INTEN;
  uint32_t INTCLR;
  uint32_t BSTATUS;
  uint32_t BLEDBG;
} am_hal_ble_regs_t;
extern volatile am_hal_ble_regs_t BLEIFn;

// Keeps the BLE core awake (true) or lets it sleep.
uint32_t am_hal_ble_wakeup_set(void* handle, uint32_t mode);
uint32_t am_hal_ble_sleep_set(void* handle, bool enable);
// Raw HCI bytes to the controller in one blocking transfer.
uint32_t am_hal_ble_blocking_hci_write(void* handle, uint8_t type, uint32_t* data, uint32_t bytes);
// The controller's waiting reply (at most 256 bytes); its length in *bytes.
uint32_t am_hal_ble_blocking_hci_read(void* handle, uint32_t* data, uint32_t* bytes);
// The handle of the BLE interface the host stack opened.
extern void* BLE;

// Milliseconds until the host stack's next timer expires; *running is false
// (and the result 0) when no timer runs. Work already pending gives 0.
uint32_t WsfTimerNextExpiration(bool* running);

#ifdef __cplusplus
}  // extern "C"
#endif
