#include "udrv_serial.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "service_nvm.h"
#include "udrv_dfu.h"
#include "udrv_system.h"

uint32_t udrv_serial_timeout = 10000;

// The table bound to each port; none until the port is opened.
static udrv_serial_api *serial_api[SERIAL_MAX];
#ifdef SUPPORT_USB
static bool usb_opened;
#endif

// The password line, one for all locked ports.
static constexpr uint32_t passwd_line_size = 9;
static uint8_t sgInBuffer[passwd_line_size];
static uint32_t sgCurPos;  // bytes stored
static uint32_t sgCnt;     // bytes typed

// State of the custom-mode escape recognizer, per port.
static uint8_t serial_state[SERIAL_MAX];
static udrv_system_event_t qiv_serial_fallback_event = {UDRV_SYS_EVT_OP_SERIAL_FALLBACK, nullptr};

static bool valid_port(SERIAL_PORT port) { return port < SERIAL_MAX; }

static void clear_passwd_line(void) {
  memset(sgInBuffer, 0, sizeof(sgInBuffer));
  sgCurPos = 0;
  sgCnt = 0;
}

// Writes to a bound port whatever its lock state (the password dialogue).
static void write_raw(SERIAL_PORT port, char const *text, uint32_t len) {
  udrv_serial_api *api = serial_api[port];
  if (api != nullptr && api->SERIAL_WRITE != nullptr) {
    api->SERIAL_WRITE(port, reinterpret_cast<uint8_t const *>(text), len, udrv_serial_timeout);
  }
}

bool udrv_serial_baudrate_supported(uint32_t baudrate) {
  return uhal_uart_baudrate_supported(baudrate);
}

void udrv_serial_init(SERIAL_PORT port, uint32_t baudrate, SERIAL_WORD_LEN_E datalen,
                      SERIAL_STOP_BIT_E stop, SERIAL_PARITY_E parity,
                      SERIAL_WIRE_MODE_E wire_mode) {
  udrv_serial_api *api;
  switch (port) {
    case SERIAL_UART0:
    case SERIAL_UART1:
    case SERIAL_UART2:
      api = &serial_uart_driver;
      break;
#ifdef SUPPORT_BLE
    case SERIAL_BLE0:
      api = &serial_ble_driver;
      break;
#endif
#ifdef SUPPORT_USB
    case SERIAL_USB0:
      // The USB device is opened once per run; opening it again only binds.
      serial_api[port] = &serial_usb_driver;
      if (!usb_opened && serial_usb_driver.SERIAL_INIT != nullptr) {
        usb_opened = true;
        serial_usb_driver.SERIAL_INIT(port, baudrate, datalen, stop, parity, wire_mode);
      }
      return;
#endif
#ifdef SUPPORT_NFC
    case SERIAL_NFC:
      api = &serial_nfc_driver;
      break;
#endif
    default:
      return;
  }
  if (serial_api[port] != nullptr && serial_api[port]->SERIAL_DEINIT != nullptr) {
    serial_api[port]->SERIAL_DEINIT(port);
  }
  serial_api[port] = api;
  if (api->SERIAL_INIT != nullptr) {
    api->SERIAL_INIT(port, baudrate, datalen, stop, parity, wire_mode);
  }
}

int32_t udrv_serial_write(SERIAL_PORT port, uint8_t const *data, uint32_t len) {
  if (!valid_port(port)) {
    return -UDRV_WRONG_ARG;
  }
  if (udrv_serial_get_lock_state(port) != SERIAL_WLOCK_OPEN) {
    return -UDRV_TEMP_LOCKED;
  }
  if (serial_api[port] == nullptr || serial_api[port]->SERIAL_WRITE == nullptr) {
    return UDRV_NOT_BOUND;
  }
  return serial_api[port]->SERIAL_WRITE(port, data, len, udrv_serial_timeout);
}

int32_t udrv_serial_read(SERIAL_PORT port, uint8_t *buffer, uint32_t len) {
  if (!valid_port(port)) {
    return -UDRV_WRONG_ARG;
  }
  if (serial_api[port] == nullptr || serial_api[port]->SERIAL_READ == nullptr) {
    return UDRV_NOT_BOUND;
  }
  return serial_api[port]->SERIAL_READ(port, buffer, len, udrv_serial_timeout);
}

int32_t udrv_serial_peek(SERIAL_PORT port) {
  if (!valid_port(port)) {
    return -UDRV_WRONG_ARG;
  }
  if (serial_api[port] == nullptr || serial_api[port]->SERIAL_PEEK == nullptr) {
    return UDRV_NOT_BOUND;
  }
  return serial_api[port]->SERIAL_PEEK(port);
}

int32_t udrv_serial_read_available(SERIAL_PORT port) {
  if (!valid_port(port)) {
    return -UDRV_WRONG_ARG;
  }
  if (serial_api[port] == nullptr || serial_api[port]->SERIAL_READ_AVAIL == nullptr) {
    return UDRV_NOT_BOUND;
  }
  return serial_api[port]->SERIAL_READ_AVAIL(port);
}

void udrv_serial_flush(SERIAL_PORT port) {
  if (port > SERIAL_UART2) {
    return;
  }
  if (serial_api[port] != nullptr && serial_api[port]->SERIAL_FLUSH != nullptr) {
    serial_api[port]->SERIAL_FLUSH(port, udrv_serial_timeout);
  }
}

// Renders into buf, cut to the buffer; returns the length rendered.
static uint32_t render(char (&buf)[UDRV_SERIAL_PRINT_BUFFER_SIZE], const char *fmt, va_list ap) {
  int const n = vsnprintf(buf, sizeof(buf), fmt, ap);
  if (n < 0) {
    return 0;
  }
  return (static_cast<uint32_t>(n) < sizeof(buf)) ? static_cast<uint32_t>(n) : sizeof(buf) - 1;
}

int32_t udrv_serial_printf(SERIAL_PORT port, const char *fmt, ...) {
  char buf[UDRV_SERIAL_PRINT_BUFFER_SIZE];
  va_list ap;
  va_start(ap, fmt);
  uint32_t const len = render(buf, fmt, ap);
  va_end(ap);
  return udrv_serial_write(port, reinterpret_cast<uint8_t const *>(buf), len);
}

int32_t udrv_serial_log_vprintf(const char *fmt, va_list ap) {
  int32_t ret = 0;
  for (uint32_t p = 0; p < SERIAL_MAX; p++) {
    SERIAL_PORT const port = static_cast<SERIAL_PORT>(p);
    if (service_nvm_get_mode_type_from_nvm(port) != SERVICE_MODE_TYPE_CLI ||
        udrv_serial_get_lock_state(port) != SERIAL_WLOCK_OPEN || serial_api[port] == nullptr) {
      continue;
    }
    char buf[UDRV_SERIAL_PRINT_BUFFER_SIZE];
    va_list copy;
    va_copy(copy, ap);
    uint32_t const len = render(buf, fmt, copy);
    va_end(copy);
    ret = udrv_serial_write(port, reinterpret_cast<uint8_t const *>(buf), len);
  }
  return ret;
}

int32_t udrv_serial_log_printf(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int32_t const ret = udrv_serial_log_vprintf(fmt, ap);
  va_end(ap);
  return ret;
}

void udrv_serial_lock(void) {
  for (uint32_t p = 0; p < SERIAL_MAX; p++) {
    SERIAL_PORT const port = static_cast<SERIAL_PORT>(p);
    if (service_nvm_get_lock_status_from_nvm(port) == SERIAL_WLOCK_OPEN) {
      service_nvm_set_lock_status_to_nvm(port, SERIAL_WLOCK_LOCKED);
    }
  }
  clear_passwd_line();
}

void udrv_serial_unlock(void) {
  for (uint32_t p = 0; p < SERIAL_MAX; p++) {
    SERIAL_PORT const port = static_cast<SERIAL_PORT>(p);
    if (service_nvm_get_lock_status_from_nvm(port) == SERIAL_WLOCK_LOCKED) {
      service_nvm_set_lock_status_to_nvm(port, SERIAL_WLOCK_OPEN);
    }
  }
}

void udrv_serial_enable(SERIAL_PORT port) {
  if (!valid_port(port)) {
    return;
  }
  // Only a change is stored: enabling an open port must not rewrite flash.
  SERIAL_WLOCK_STATE const state = service_nvm_get_lock_status_from_nvm(port);
  if (state != SERIAL_WLOCK_LOCKED && state != SERIAL_WLOCK_OPEN) {
    service_nvm_set_lock_status_to_nvm(port, SERIAL_WLOCK_OPEN);
  }
  clear_passwd_line();
}

SERIAL_WLOCK_STATE udrv_serial_get_lock_state(SERIAL_PORT port) {
  if (!valid_port(port)) {
    return SERIAL_WLOCK_OPEN;
  }
  return service_nvm_get_lock_status_from_nvm(port);
}

int32_t udrv_serial_get_passwd(char *buffer, uint32_t length) {
  if (length < passwd_line_size) {
    return -UDRV_WRONG_ARG;
  }
  return service_nvm_get_serial_passwd_from_nvm(buffer, length);
}

int32_t udrv_serial_set_passwd(char const *passwd, uint32_t length) {
  if (length > 8) {
    return -UDRV_WRONG_ARG;
  }
  for (uint32_t i = 0; i < length; i++) {
    uint8_t const c = static_cast<uint8_t>(passwd[i]);
    if (c < 0x20 || c > 0x7E) {
      return -UDRV_WRONG_ARG;
    }
  }
  return service_nvm_set_serial_passwd_to_nvm(passwd, length);
}

void udrv_serial_wlock_handler(SERIAL_PORT port, uint8_t ch) {
  if (!valid_port(port)) {
    return;
  }
  char passwd[passwd_line_size + 1] = {};
  int32_t len = service_nvm_get_serial_passwd_from_nvm(passwd, passwd_line_size);
  if (len < 0) {
    len = 0;
  }

  if (ch == 0x08 || ch == 0x7F) {
    if (sgCurPos > 0) {
      sgCurPos--;
      sgInBuffer[sgCurPos] = 0;
      sgCnt--;
    }
    return;
  }

  if (ch == '\n' || ch == '\r') {
    if (sgCnt == 0) {
      clear_passwd_line();
      return;
    }
    write_raw(port, "\r\n", 2);
    static constexpr char query[] = "AT+LOCK=?";
    bool is_query = (sgCnt == passwd_line_size);
    for (uint32_t i = 0; is_query && i < passwd_line_size; i++) {
      is_query = toupper(sgInBuffer[i]) == query[i];
    }
    if (is_query) {
      static constexpr char reply[] = "AT+LOCK=locked\r\nOK\r\n";
      write_raw(port, reply, sizeof(reply) - 1);
    } else if (sgCnt == static_cast<uint32_t>(len) && memcmp(sgInBuffer, passwd, len) == 0) {
      udrv_serial_unlock();
    } else {
      static constexpr char reply[] = "COMMAND_LOCKED\r\n";
      write_raw(port, reply, sizeof(reply) - 1);
    }
    clear_passwd_line();
    return;
  }

  if (sgCurPos < passwd_line_size) {
    sgInBuffer[sgCurPos++] = ch;
    write_raw(port, reinterpret_cast<char const *>(&ch), 1);
  }
  // Counted also past the buffer, so that a longer line never matches.
  sgCnt++;
}

// Escape recognizer: "AT+BOOT" or "AT+ATM" followed by CR or LF, any case.
// Byte classes: A, T, +, B, O, M, CR/LF, other.
static uint8_t classify(uint8_t ch) {
  switch (toupper(ch)) {
    case 'A':
      return 0;
    case 'T':
      return 1;
    case '+':
      return 2;
    case 'B':
      return 3;
    case 'O':
      return 4;
    case 'M':
      return 5;
    case '\r':
    case '\n':
      return 6;
    default:
      return 7;
  }
}

static constexpr uint8_t serial_transitions[12][8] = {
    //  A  T  +  B  O  M CR other
    {1, 0, 0, 0, 0, 0, 0, 0},   // 0 nothing
    {1, 2, 0, 0, 0, 0, 0, 0},   // 1 "A"
    {1, 0, 3, 0, 0, 0, 0, 0},   // 2 "AT"
    {8, 0, 0, 4, 0, 0, 0, 0},   // 3 "AT+"
    {1, 0, 0, 0, 5, 0, 0, 0},   // 4 "AT+B"
    {1, 0, 0, 0, 6, 0, 0, 0},   // 5 "AT+BO"
    {1, 7, 0, 0, 0, 0, 0, 0},   // 6 "AT+BOO"
    {1, 0, 0, 0, 0, 0, 11, 0},  // 7 "AT+BOOT"
    {1, 9, 0, 0, 0, 0, 0, 0},   // 8 "AT+A"
    {1, 0, 0, 0, 0, 10, 0, 0},  // 9 "AT+AT"
    {1, 0, 0, 0, 0, 0, 11, 0},  // 10 "AT+ATM"
    {1, 0, 0, 0, 0, 0, 0, 0},   // 11 matched
};

void serial_fallback_handler(SERIAL_PORT port, uint8_t ch) {
  if (!valid_port(port) || service_nvm_get_mode_type_from_nvm(port) != SERVICE_MODE_TYPE_CUSTOM) {
    return;
  }
#ifdef QIV_BOARD_VOSTREL
  // The modem link carries the modem's bytes (its echo of a command among
  // them), never a host's: no escape is taken from it.
  if (port == SERIAL_UART1) {
    return;
  }
#endif
  uint8_t const previous = serial_state[port];
  uint8_t const next = serial_transitions[previous][classify(ch)];
  serial_state[port] = next;
  if (next != 11) {
    return;
  }
  serial_state[port] = 0;
  if (previous == 7) {
    udrv_enter_dfu();
  } else if (previous == 10) {
    qiv_serial_fallback_event.p_context = reinterpret_cast<void *>(static_cast<uintptr_t>(port));
    udrv_system_event_produce(&qiv_serial_fallback_event);
  }
}

void udrv_serial_suspend(void) { uhal_uart_suspend(); }

void udrv_serial_resume(void) { uhal_uart_resume(); }
