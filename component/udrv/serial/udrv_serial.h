// Serial driver layer: one view of every serial port of the image. Each port
// is bound at start-up to the port layer's table of serial operations; on
// top sit printing to every AT port, the port lock with its password line
// and the recognizer of the custom-mode escapes.
#pragma once

#include <stdarg.h>
#include <stdint.h>

#include "qiv_config.h"
#include "udrv_errno.h"

typedef enum : uint8_t {
  SERIAL_UART0 = 0,
  SERIAL_UART1 = 1,
  SERIAL_UART2 = 2,
#ifdef SUPPORT_USB
  SERIAL_USB0,
#endif
#ifdef SUPPORT_BLE
  SERIAL_BLE0,
#endif
#ifdef SUPPORT_NFC
  SERIAL_NFC,
#endif
  SERIAL_MAX,
} SERIAL_PORT;

#ifdef QIV_BOARD_ESP32C2
// The Wi-Fi co-processor link.
#define SERIAL_ESP32C2 SERIAL_UART1
#endif

typedef enum : uint8_t {
  SERVICE_MODE_TYPE_CLI = 0,     // bytes go to the AT interpreter
  SERVICE_MODE_TYPE_CUSTOM = 1,  // bytes are left to the user program
#ifdef QIV_BOARD_ESP32C2
  SERVICE_MODE_TYPE_ESP32 = 2,  // pass-through to the Wi-Fi co-processor
#endif
} SERVICE_MODE_TYPE;

typedef enum : uint8_t {
  SERIAL_WLOCK_OPEN = 0,
  SERIAL_WLOCK_LOCKED = 1,
  SERIAL_WLOCK_DISABLED = 2,
} SERIAL_WLOCK_STATE;

typedef enum : uint8_t {
  SERIAL_WORD_LEN_5 = 0,
  SERIAL_WORD_LEN_6 = 1,
  SERIAL_WORD_LEN_7 = 2,
  SERIAL_WORD_LEN_8 = 3,
} SERIAL_WORD_LEN_E;

typedef enum : uint8_t {
  SERIAL_STOP_BIT_1 = 0,
  SERIAL_STOP_BIT_2 = 1,
} SERIAL_STOP_BIT_E;

typedef enum : uint8_t {
  SERIAL_PARITY_DISABLE = 0,
  SERIAL_PARITY_ODD = 1,
  SERIAL_PARITY_EVEN = 3,
  SERIAL_PARITY_FORCED1 = 5,
  SERIAL_PARITY_FORCED0 = 7,
} SERIAL_PARITY_E;

typedef enum : uint8_t {
  SERIAL_TWO_WIRE_NORMAL_MODE = 0,
  SERIAL_ONE_WIRE_TX_PIN_MODE = 1,
  SERIAL_ONE_WIRE_RX_PIN_MODE = 2,
} SERIAL_WIRE_MODE_E;

#define SERIAL_NO_TIMEOUT UINT32_MAX

// The table of serial operations a port fills for one kind of serial device.
typedef struct {
  void (*SERIAL_INIT)(SERIAL_PORT port, uint32_t baudrate, SERIAL_WORD_LEN_E datalen,
                      SERIAL_STOP_BIT_E stop, SERIAL_PARITY_E parity, SERIAL_WIRE_MODE_E wire_mode);
  void (*SERIAL_DEINIT)(SERIAL_PORT port);
  int32_t (*SERIAL_WRITE)(SERIAL_PORT port, uint8_t const *data, uint32_t len, uint32_t timeout);
  int32_t (*SERIAL_READ)(SERIAL_PORT port, uint8_t *buffer, uint32_t len, uint32_t timeout);
  int32_t (*SERIAL_PEEK)(SERIAL_PORT port);
  void (*SERIAL_FLUSH)(SERIAL_PORT port, uint32_t timeout);
  int32_t (*SERIAL_READ_AVAIL)(SERIAL_PORT port);
  int32_t (*SERIAL_IS_READY)(SERIAL_PORT port);
} udrv_serial_api;

// Tables owned by the ports, one per kind of serial device the image has.
extern udrv_serial_api serial_uart_driver;
#ifdef SUPPORT_BLE
extern udrv_serial_api serial_ble_driver;
#endif
#ifdef SUPPORT_USB
extern udrv_serial_api serial_usb_driver;
#endif
#ifdef SUPPORT_NFC
extern udrv_serial_api serial_nfc_driver;
#endif

// Timeout of every read, write and flush of the layer, in ms.
extern uint32_t udrv_serial_timeout;

// Size of the buffer each printed text is rendered into; longer texts are cut.
#define UDRV_SERIAL_PRINT_BUFFER_SIZE 512

void udrv_serial_init(SERIAL_PORT port, uint32_t baudrate, SERIAL_WORD_LEN_E datalen,
                      SERIAL_STOP_BIT_E stop, SERIAL_PARITY_E parity, SERIAL_WIRE_MODE_E wire_mode);
// Whether every serial port of the MCU can be opened at this rate (one
// stored rate serves them all): what a stored or typed rate must satisfy.
bool udrv_serial_baudrate_supported(uint32_t baudrate);
int32_t udrv_serial_write(SERIAL_PORT port, uint8_t const *data, uint32_t len);
int32_t udrv_serial_read(SERIAL_PORT port, uint8_t *buffer, uint32_t len);
int32_t udrv_serial_peek(SERIAL_PORT port);
int32_t udrv_serial_read_available(SERIAL_PORT port);
void udrv_serial_flush(SERIAL_PORT port);

// Formats into a 512-byte buffer (cut when longer) and writes the text to one
// port, whatever its mode.
int32_t udrv_serial_printf(SERIAL_PORT port, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
// Formats and writes the text to every opened port that is in AT mode and
// unlocked; returns the result of the last write made, 0 when none.
int32_t udrv_serial_log_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int32_t udrv_serial_log_vprintf(const char *fmt, va_list ap);

void udrv_serial_lock(void);
void udrv_serial_unlock(void);
void udrv_serial_enable(SERIAL_PORT port);
SERIAL_WLOCK_STATE udrv_serial_get_lock_state(SERIAL_PORT port);
int32_t udrv_serial_get_passwd(char *buffer, uint32_t length);
int32_t udrv_serial_set_passwd(char const *passwd, uint32_t length);

// One byte of the password line of a locked port.
void udrv_serial_wlock_handler(SERIAL_PORT port, uint8_t ch);
// One received byte for the custom-mode escape recognizer; the port's
// receive path calls it for every byte of every port.
void serial_fallback_handler(SERIAL_PORT port, uint8_t ch);

void udrv_serial_suspend(void);
void udrv_serial_resume(void);

// ---- Port contract: what every port provides for this class ----
// The tables above, one per kind of serial device the image has; each
// receive path posts UDRV_SYS_EVT_OP_SERIAL_* events and hands every byte to
// serial_fallback_handler. Ports without hardware are accepted and touch
// nothing (peeks and availability -7).
// Whether every UART of the chip can run at this rate.
bool uhal_uart_baudrate_supported(uint32_t baudrate);
// Stop the open UARTs before sleep (arming their wake-up) and reopen them
// with their settings after.
void uhal_uart_suspend(void);
void uhal_uart_resume(void);
