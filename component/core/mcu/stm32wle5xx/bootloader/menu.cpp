// The command loop of boot mode: text commands on USART2, nothing echoed.
#include <string.h>

#include "bootloader.h"

static bool line_is(const uint8_t *line, uint32_t len, const char *command) {
  uint32_t n = (uint32_t)strlen(command);
  if (len != n) return false;
  for (uint32_t i = 0U; i < n; i++) {
    uint8_t c = line[i];
    if (c >= 'A' && c <= 'Z') c = (uint8_t)(c - 'A' + 'a');
    if (c != (uint8_t)command[i]) return false;
  }
  return true;
}

static void print_version(void) {
  char text[BOOT_VERSION_SIZE + 1U];
  memcpy(text, BOOT_VERSION, BOOT_VERSION_SIZE);
  text[BOOT_VERSION_SIZE] = '\0';
  Serial_PutString(text);
  Serial_PutString("\r\n");
}

// Serves command lines until "at+update", then returns in download mode.
// A line is run only when it starts with exactly "at+" or "AT+"; the rest is
// compared without regard to case. A line longer than the buffer is never
// run, whatever its tail holds: it is answered like any unknown command when
// it began with the prefix, and ignored otherwise.
void at_process(void) {
  uint8_t line[AT_LINE_SIZE];
  uint32_t index = 0U;
  bool overlong = false;

  memset(line, 0, sizeof(line));
  for (;;) {
    uint8_t byte = 0U;
    if (__HAL_UART_GET_FLAG(&huart2, UART_FLAG_ORE)) {
      __HAL_UART_CLEAR_OREFLAG(&huart2);
    }
    if (HAL_UART_Receive(&huart2, &byte, 1U, AT_RX_TIMEOUT) != HAL_OK) {
      continue;
    }
    if (byte != '\r' && byte != '\n') {
      if (index < AT_LINE_SIZE) {
        line[index++] = byte;
      } else {
        overlong = true;
      }
      continue;
    }

    // A line end: `index` bytes of line before it.
    uint32_t len = index;
    bool prefixed = (len >= 3U) && (memcmp(line, "at+", 3) == 0 || memcmp(line, "AT+", 3) == 0);
    if (!prefixed) {
      index = 0U;
      overlong = false;
      continue;
    }

    if (overlong) {
      Serial_PutString("AT not support.\r\n");
    } else if (line_is(line, len, "at+version") || line_is(line, len, "at+ver=?") ||
               line_is(line, len, "at+bootver=?")) {
      print_version();
    } else if (line_is(line, len, "at+update")) {
      running_state = RUNNING_STATE_DOWNLOAD;
      boot_flags_write(boot_flags_read().boot, UPDATE_FLAG_REQUESTED);
      Serial_PutString("Start firmware upgrade...\r\n");
      return;
    } else if (line_is(line, len, "at+run")) {
      Serial_PutString("Stop Boot Mode\r\n");
      app_jump();
      Serial_PutString("Jump failed. No legal application detected.\r\n");
    } else if (line_is(line, len, "at+reset")) {
      NVIC_SystemReset();
    } else if (line_is(line, len, "at+bootstatus")) {
      Serial_PutString("Boot Mode\r\n");
    } else {
      Serial_PutString("AT not support.\r\n");
    }
    memset(line, 0, sizeof(line));
    index = 0U;
    overlong = false;
  }
}
