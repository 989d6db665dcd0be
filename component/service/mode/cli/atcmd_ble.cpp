// BLE commands of the images with BLE: the device address and the direct
// test mode through the BLE controller's HCI.
#include <stdlib.h>
#include <string.h>

#include "atcmd.h"
#include "fund_text.h"
#include "service_nvm.h"
#include "udrv_serial.h"

#ifdef SUPPORT_BLE
#include "udrv_ble.h"
#endif
#ifdef ATCMD_HAS_BLEDTM
#include "udrv_delay.h"
#endif

namespace {

[[maybe_unused]] bool is_hex_text(const char *text, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    char const c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

}  // namespace

#ifdef ATCMD_HAS_BLEMAC
int At_BLEMac(SERIAL_PORT port, char *cmd, stParam *param) {
  (void)port;
  if (atcmd_is_query(param)) {
    uint8_t addr[6] = {0};
    uhal_ble_get_macaddress(addr);
    udrv_serial_log_printf("%s=%02x:%02x:%02x:%02x:%02x:%02x\r\n", cmd, addr[5], addr[4], addr[3],
                           addr[2], addr[1], addr[0]);
    return AT_OK;
  }
  if (!atcmd_is_set(param)) {
    return AT_PARAM_ERROR;
  }
  char const *text = param->argv[0];
  size_t const len = strlen(text);
  if (len != 12 || !is_hex_text(text, len)) {
    return AT_PARAM_ERROR;
  }
  if (udrv_ble_set_macaddress(text) != 0) {
    return AT_ERROR;
  }
  if (service_nvm_set_ble_mac_to_nvm(reinterpret_cast<uint8_t const *>(text), 12) != 0) {
    return AT_ERROR;
  }
  return AT_OK;
}
#endif

#ifdef ATCMD_HAS_BLEDTM
namespace {

// Prints the controller's reply to the command just written; false when
// none came.
bool print_hci_reply(char const *cmd) {
  static uint8_t reply[512];
  uint32_t n = 0;
  if (uhal_ble_hci_read(reply, &n) != 0) {
    return false;
  }
  udrv_serial_log_printf("%s=", cmd);
  for (uint32_t i = 0; i < n && i < sizeof reply; ++i) {
    udrv_serial_log_printf("%02X", reply[i]);
  }
  udrv_serial_log_printf("\r\n");
  return true;
}

// UART0 as a line bridge to the controller until a line "at+atm".
int dtm_bridge(SERIAL_PORT port) {
  static char line[256];
  static char hex[2 * sizeof line + 1];
  static uint8_t reply[512];
  size_t len = 0;
  for (;;) {
    uint8_t ch = 0;
    if (udrv_serial_read_available(SERIAL_UART0) <= 0) {
      udrv_delay_ms(1);
      continue;
    }
    if (udrv_serial_read(SERIAL_UART0, &ch, 1) != 1) {
      continue;
    }
    if (ch != '\n') {
      // Lines are at most 255 bytes: the rest of a longer one is dropped.
      if (len < sizeof line - 1) {
        line[len++] = static_cast<char>(ch);
      }
      continue;
    }
    if (len > 0 && line[len - 1] == '\r') {
      --len;
    }
    if (len == 0) {
      continue;
    }
    if (len >= 6 && fund_strncasecmp(line, "at+atm", 6) == 0) {
      service_mode_cli_init(port);
      return AT_OK;
    }
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < len; ++i) {
      uint8_t const b = static_cast<uint8_t>(line[i]);
      hex[2 * i] = digits[b >> 4];
      hex[2 * i + 1] = digits[b & 0x0F];
    }
    hex[2 * len] = '\0';
    // The controller takes at most 255 hex digits in one write.
    size_t const digits_len = 2 * len > 254 ? 254 : 2 * len;
    uhal_ble_hci_write(hex, static_cast<uint8_t>(digits_len));
    uint32_t n = 0;
    if (uhal_ble_hci_read(reply, &n) == 0) {
      udrv_serial_write(SERIAL_UART0, reply, n > sizeof reply ? sizeof reply : n);
      udrv_serial_log_printf("\r\n");
    }
    len = 0;
  }
}

}  // namespace

int At_BLEDTM(SERIAL_PORT port, char *cmd, stParam *param) {
  if (param->argc == 0) {
    return dtm_bridge(port);
  }
  if (param->argc == 1) {
    if (!atcmd_is_query(param)) {
      return AT_PARAM_ERROR;
    }
    udrv_serial_log_printf("BLEDTM\r\n");
    return AT_OK;
  }
  if (param->argc != 2) {
    return AT_PARAM_ERROR;
  }
  char const *command = param->argv[0];
  size_t const len = strlen(command);
  if (len % 2 != 0 || len > 32 || !is_hex_text(command, len)) {
    return AT_PARAM_ERROR;
  }
  // A transmit power that is no decimal number is refused.
  char const *power = param->argv[1];
  char *end = nullptr;
  long const dbm = strtol(power, &end, 10);
  if (*power == '\0' || end == nullptr || *end != '\0') {
    return AT_PARAM_ERROR;
  }
  uhal_ble_set_dtm_txpower(static_cast<int>(dbm));
  uhal_ble_hci_write(command, static_cast<uint8_t>(len));
  if (!print_hci_reply(cmd)) {
    return AT_ERROR;
  }
  return AT_OK;
}
#endif
