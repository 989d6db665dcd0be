// Compile-time checks of what differs between the images: the numbering of
// the system event operations and of the serial ports. (The stored record
// layouts are checked where they are declared.)
#include "service_nvm.h"
#include "udrv_serial.h"
#include "udrv_system.h"

#if defined(QIV_MCU_APOLLO3)
static_assert(UDRV_SYS_EVT_OP_SERIAL_UART == 0 && UDRV_SYS_EVT_OP_SERIAL_BLE == 1 &&
              UDRV_SYS_EVT_OP_LORAWAN == 2 && UDRV_SYS_EVT_OP_LORAWAN_JOIN_CB == 3 &&
              UDRV_SYS_EVT_OP_USER_APP == 4 && UDRV_SYS_EVT_OP_USER_TIMER == 5 &&
              UDRV_SYS_EVT_OP_SYS_TIMER == 6 && UDRV_SYS_EVT_OP_SERIAL_FALLBACK == 7 &&
              UDRV_SYS_EVT_OP_RTC == 8 && UDRV_SYS_EVT_OP_GPIO_INTERRUPT == 9);
static_assert(SERIAL_BLE0 == 3 && SERIAL_MAX == 4);
#elif defined(QIV_MCU_STM32WLE5)
static_assert(UDRV_SYS_EVT_OP_SERIAL_UART == 0 && UDRV_SYS_EVT_OP_LORAWAN == 1 &&
              UDRV_SYS_EVT_OP_LORAWAN_JOIN_CB == 2 && UDRV_SYS_EVT_OP_USER_APP == 3 &&
              UDRV_SYS_EVT_OP_USER_TIMER == 4 && UDRV_SYS_EVT_OP_SYS_TIMER == 5 &&
              UDRV_SYS_EVT_OP_SERIAL_FALLBACK == 6 && UDRV_SYS_EVT_OP_RTC == 7 &&
              UDRV_SYS_EVT_OP_GPIO_INTERRUPT == 8);
static_assert(SERIAL_MAX == 3);
#elif defined(SUPPORT_NFC)
static_assert(UDRV_SYS_EVT_OP_SERIAL_UART == 0 && UDRV_SYS_EVT_OP_SERIAL_USB == 1 &&
              UDRV_SYS_EVT_OP_SERIAL_BLE == 2 && UDRV_SYS_EVT_OP_USER_APP == 3 &&
              UDRV_SYS_EVT_OP_USER_TIMER == 4 && UDRV_SYS_EVT_OP_SYS_TIMER == 5 &&
              UDRV_SYS_EVT_OP_SERIAL_NFC == 6 && UDRV_SYS_EVT_OP_SERIAL_FALLBACK == 7 &&
              UDRV_SYS_EVT_OP_RTC == 8 && UDRV_SYS_EVT_OP_GPIO_INTERRUPT == 9);
static_assert(SERIAL_USB0 == 3 && SERIAL_BLE0 == 4 && SERIAL_NFC == 5 && SERIAL_MAX == 6);
static_assert(offsetof(PRE_qiv_cfg_t, serial_lock_status) == 38);
#else
static_assert(UDRV_SYS_EVT_OP_SERIAL_UART == 0 && UDRV_SYS_EVT_OP_SERIAL_USB == 1 &&
              UDRV_SYS_EVT_OP_SERIAL_BLE == 2 && UDRV_SYS_EVT_OP_USER_APP == 3 &&
              UDRV_SYS_EVT_OP_USER_TIMER == 4 && UDRV_SYS_EVT_OP_SYS_TIMER == 5 &&
              UDRV_SYS_EVT_OP_SERIAL_FALLBACK == 6 && UDRV_SYS_EVT_OP_RTC == 7 &&
              UDRV_SYS_EVT_OP_GPIO_INTERRUPT == 8);
static_assert(SERIAL_USB0 == 3 && SERIAL_BLE0 == 4 && SERIAL_MAX == 5);
static_assert(offsetof(PRE_qiv_cfg_t, serial_lock_status) == 37);
#endif
