// Power and pass-through of the Wi-Fi co-processor: see wifi_coprocessor.h.
#include "wifi_coprocessor.h"

#include <stdio.h>
#include <string.h>

#include "qiv_runtime.h"
#include "service_nvm.h"
#include "udrv_gpio.h"

uint8_t currentATMode = LORA_AT_MODE;
bool switchATModeFlag = false;
uint8_t currentEspPowerMode = 1;
char cmd_buffer[257];
int32_t cmd_index = 0;

namespace {

// The host line held in cmd_buffer is at most this long; its next byte
// makes it an overlong line.
constexpr int32_t kLineMax = static_cast<int32_t>(sizeof(cmd_buffer)) - 1;

// An overlong line is dropped whole: from the byte that overflowed the
// buffer up to its CR LF nothing is collected, so that the line's tail never
// reaches the co-processor as a command of its own. The host is told with
// the reply word of an overlong AT line.
bool discarding = false;
uint8_t discard_prev = 0;

const char kOverlongReply[] = "AT_PARAM_ERROR\r\n";

void clear_line(void) {
  cmd_index = 0;
  cmd_buffer[0] = '\0';
}

void to_host(const char *text, size_t len) {
  udrv_serial_write(SERIAL_UART2, reinterpret_cast<const uint8_t *>(text),
                    static_cast<uint32_t>(len));
}

void to_coprocessor(const char *text, size_t len) {
  udrv_serial_write(SERIAL_ESP32C2, reinterpret_cast<const uint8_t *>(text),
                    static_cast<uint32_t>(len));
}

bool equals_ignoring_case(const char *a, const char *b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    char ca = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 'a' + 'A') : *a;
    char cb = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 'a' + 'A') : *b;
    if (ca != cb) {
      return false;
    }
  }
  return *a == *b;
}

// A complete line (it ends in CR LF) in the ESP AT mode.
void line_complete(void) {
  if (equals_ignoring_case(cmd_buffer, "AT+ESP=0\r\n")) {
    setCurrentATMode(LORA_AT_MODE);
    to_host("OK\r\n", 4);
  } else if (equals_ignoring_case(cmd_buffer, "AT+ESP=?\r\n")) {
    char reply[20];
    int n =
        snprintf(reply, sizeof reply, "AT+ESP=%d\r\nOK\r\n", currentATMode == ESP_AT_MODE ? 1 : 0);
    if (n > 0) {
      to_host(reply,
              static_cast<size_t>(n) < sizeof reply ? static_cast<size_t>(n) : sizeof reply - 1);
    }
  } else {
    to_coprocessor(cmd_buffer, static_cast<size_t>(cmd_index));
  }
  clear_line();
}

// One byte from the host in the ESP AT mode.
void esp_host_byte(uint8_t ch) {
  if (switchATModeFlag && ch == '\n') {
    switchATModeFlag = false;
    return;
  }
  if (discarding) {
    if (ch == '\n' && discard_prev == '\r') {
      discarding = false;
      to_host(kOverlongReply, sizeof kOverlongReply - 1);
    }
    discard_prev = ch;
    return;
  }
  if (cmd_index >= kLineMax) {
    // This byte would be the line's 257th: the line is dropped. When the
    // byte is the LF of the line's CR LF, the line ends here.
    bool ends = ch == '\n' && cmd_buffer[cmd_index - 1] == '\r';
    clear_line();
    if (ends) {
      to_host(kOverlongReply, sizeof kOverlongReply - 1);
    } else {
      discarding = true;
      discard_prev = ch;
    }
    return;
  }
  cmd_buffer[cmd_index++] = static_cast<char>(ch);
  cmd_buffer[cmd_index] = '\0';
  // The co-processor's escape from its own transparent mode is "+++" alone,
  // with no line end: it goes on at once.
  if (cmd_index == 3 && memcmp(cmd_buffer, "+++", 3) == 0) {
    to_coprocessor(cmd_buffer, 3);
    clear_line();
    return;
  }
  if (ch == '\n' && cmd_index >= 2 && cmd_buffer[cmd_index - 2] == '\r') {
    line_complete();
  }
}

// "0" or "1" exactly. A number whose low 8 bits happen to be 0 or 1 (256,
// 257) is not taken: "AT+ESPPOWER=256" must not switch the co-processor off.
bool parse_switch(const char *text, uint8_t *value) {
  if ((text[0] != '0' && text[0] != '1') || text[1] != '\0') {
    return false;
  }
  *value = static_cast<uint8_t>(text[0] - '0');
  return true;
}

}  // namespace

int32_t setCurrentATMode(uint8_t mode) {
  if (mode != LORA_AT_MODE && mode != ESP_AT_MODE) {
    return -1;
  }
  currentATMode = mode;
  switchATModeFlag = true;
  return 0;
}

uint8_t getCurrentATMode(void) { return currentATMode; }

int32_t setEspPowerMode(uint8_t mode) {
  if (mode > 1) {
    return -1;
  }
  currentEspPowerMode = mode;
  udrv_gpio_set_dir(CHIP_EN, GPIO_DIR_OUT);
  udrv_gpio_set_logic(CHIP_EN, mode == 1 ? GPIO_LOGIC_HIGH : GPIO_LOGIC_LOW);
  return 0;
}

uint8_t getEspPowerMode(void) { return currentEspPowerMode; }

static int switch_command(const char *cmd, const stParam *param, uint8_t (*get)(void),
                          int32_t (*set)(uint8_t)) {
  if (param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  if (param->argv[0][0] == '?' && param->argv[0][1] == '\0') {
    udrv_serial_log_printf("%s=%d\r\n", cmd, static_cast<int>(get()));
    return AT_OK;
  }
  uint8_t value;
  if (!parse_switch(param->argv[0], &value) || set(value) != 0) {
    return AT_PARAM_ERROR;
  }
  return AT_OK;
}

int At_Esp(SERIAL_PORT, char *cmd, stParam *param) {
  return switch_command(cmd, param, getCurrentATMode, setCurrentATMode);
}

int At_EspPower(SERIAL_PORT, char *cmd, stParam *param) {
  return switch_command(cmd, param, getEspPowerMode, setEspPowerMode);
}

void wifi_coprocessor_serial_event(void) {
  if (service_nvm_get_mode_type_from_nvm(SERIAL_UART2) != SERVICE_MODE_TYPE_CUSTOM) {
    while (udrv_serial_read_available(SERIAL_UART2) > 0) {
      uint8_t ch;
      if (udrv_serial_read(SERIAL_UART2, &ch, 1) != 1) {
        break;
      }
      // The mode is read for every byte: the command that switches it may
      // be followed by more bytes in the same burst.
      if (currentATMode == ESP_AT_MODE) {
        esp_host_byte(ch);
      } else {
        qiv_serial_byte(SERIAL_UART2, ch);
      }
    }
  }
  if (currentATMode != ESP_AT_MODE) {
    return;
  }
  while (udrv_serial_read_available(SERIAL_ESP32C2) > 0) {
    uint8_t ch;
    if (udrv_serial_read(SERIAL_ESP32C2, &ch, 1) != 1) {
      break;
    }
    udrv_serial_write(SERIAL_UART2, &ch, 1);
  }
}
