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

// The interrupt enable of the BLE core's interrupt request (INTEN, INTCLR):
// while it is clear, work of the controller raises no BLE interrupt.
#define AM_HAL_BLE_INT_BLECIRQ (1u << 7)

// The interface sees each write of INTEN at once (a BLE core request that
// waited while its enable was clear interrupts when it is set again).
void am_hal_ble_inten_written(void);

// INTEN: a plain register to the glue; its writes reach the interface, as on
// the chip.
struct am_hal_ble_inten_t {
  uint32_t value;
  operator uint32_t() const volatile { return value; }
  void operator=(uint32_t v) volatile {
    value = v;
    am_hal_ble_inten_written();
  }
};

// The registers of the BLE interface the glue touches.
typedef struct {
  am_hal_ble_inten_t INTEN;
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
