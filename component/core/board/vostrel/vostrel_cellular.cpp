// The pass-through command to the cellular modem (every AT line whose name
// begins with ATCELL) and the raw upload mode that follows the modem's
// upload commands: the next bytes typed on the USB port go to the modem as
// one block.
#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fund_number.h"
#include "nrf_delay.h"
#include "service_mode_cli.h"
#include "udrv_rtc.h"
#include "udrv_serial.h"
#include "vostrel_board.h"

bool cellular_parser_enable = false;

namespace {

constexpr size_t kCommandSize = 1501;
constexpr uint32_t kAnswerWaitMs = 500;
constexpr size_t kAnswerPiece = 49;  // modem bytes read at a time
constexpr char kRefused[] = "This command is not available on QIV3\r\n";

char send_command[kCommandSize];
uint32_t parser_cmd_size = 0;
uint32_t parser_cmd_timeout = 0;
uint32_t start_time = 0;
uint32_t sgCnt = 0;
uint32_t sgCurPos = 0;

uint32_t now_ms(void) { return static_cast<uint32_t>(udrv_rtc_get_timestamp(UDRV_RTC_2)); }

bool starts_with_nocase(const char *text, const char *prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (toupper(static_cast<unsigned char>(*text)) != *prefix) {
      return false;
    }
  }
  return true;
}

// Appends to the command being built; false when it would not fit.
bool append(size_t *len, const char *text) {
  size_t n = strlen(text);
  if (*len + n >= kCommandSize) {
    return false;
  }
  memcpy(send_command + *len, text, n);
  *len += n;
  send_command[*len] = '\0';
  return true;
}

// The arguments as the user typed them: split at ':' by the parser, joined
// again.
bool append_joined(size_t *len, const stParam *param) {
  for (int i = 0; i < param->argc; i++) {
    if ((i > 0 && !append(len, ":")) || !append(len, param->argv[i])) {
      return false;
    }
  }
  return true;
}

// The n-th (from 0) comma-separated field of `text` as a number.
uint32_t field(const char *text, int n) {
  for (; n > 0 && text != nullptr; --n) {
    text = strchr(text, ',');
    if (text != nullptr) {
      ++text;
    }
  }
  return text == nullptr ? 0 : fund_strtoul32(text, nullptr, 10);
}

void reset_upload(void) {
  sgCnt = 0;
  sgCurPos = 0;
  memset(send_command, 0, sizeof(send_command));
}

// Shows modem bytes on every AT port as they are, NUL bytes included.
void print_answer(const char *bytes, size_t n) {
  size_t from = 0;
  while (from < n) {
    size_t run = 0;
    while (from + run < n && bytes[from + run] != '\0') {
      run++;
    }
    if (run > 0) {
      udrv_serial_log_printf("%.*s", static_cast<int>(run), bytes + from);
      from += run;
    } else {
      udrv_serial_log_printf("%c", '\0');
      from++;
    }
  }
}

bool contains(const char *text, size_t n, const char *word) {
  size_t const w = strlen(word);
  for (size_t i = 0; i + w <= n; i++) {
    if (memcmp(text + i, word, w) == 0) {
      return true;
    }
  }
  return false;
}

// After an upload command the modem's first answer is read here, not by the
// pass-through (the wait does not serve events). Everything it has sent by
// the end of the wait is shown and searched for "CONNECT", piece by piece:
// with the modem's echo on, the echo of a long command alone can fill the
// first piece. A word cut between two pieces is still found.
void read_upload_answer(void) {
  static constexpr char kConnect[] = "CONNECT";
  static constexpr size_t kKeep = sizeof(kConnect) - 2;  // all but one letter
  static constexpr size_t kMaxAnswer = 2048;             // the UART's receive queue
  nrf_delay_ms(kAnswerWaitMs);
  char window[kKeep + kAnswerPiece];
  size_t kept = 0;
  size_t total = 0;
  bool connect = false;
  while (total < kMaxAnswer) {
    int32_t avail = udrv_serial_read_available(SERIAL_UART1);
    if (avail <= 0) {
      break;
    }
    uint32_t n =
        static_cast<uint32_t>(avail) < kAnswerPiece ? static_cast<uint32_t>(avail) : kAnswerPiece;
    int32_t got = udrv_serial_read(SERIAL_UART1, reinterpret_cast<uint8_t *>(window + kept), n);
    if (got <= 0) {
      break;
    }
    print_answer(window + kept, static_cast<size_t>(got));
    total += static_cast<size_t>(got);
    size_t const len = kept + static_cast<size_t>(got);
    connect = connect || contains(window, len, kConnect);
    kept = len < kKeep ? len : kKeep;
    memmove(window, window + len - kept, kept);
  }
  if (!connect) {
    cellular_parser_enable = false;
  }
}

int send_to_modem(void) {
  udrv_serial_write(SERIAL_UART1, reinterpret_cast<const uint8_t *>(send_command),
                    static_cast<uint32_t>(strlen(send_command)));
  if (cellular_parser_enable) {
    read_upload_answer();
  }
  memset(send_command, 0, sizeof(send_command));
  return AT_OK;
}

}  // namespace

int At_Cellular(SERIAL_PORT, char *cmd, stParam *param) {
  if (cellular_parser_enable) {
    // An upload's bytes are being typed on the USB port into the command
    // buffer, and the modem takes whatever it gets next as the block: a
    // command from another AT port now would wipe the bytes typed so far
    // and mix into the block. Once the upload's time is over, the upload
    // ends here as it would at the next typed byte.
    if (now_ms() - start_time < parser_cmd_timeout) {
      return AT_BUSY_ERROR;
    }
    reset_upload();
    cellular_parser_enable = false;
  }
  memset(send_command, 0, sizeof(send_command));
  size_t len = 0;
  size_t name_len = strlen(cmd);

  if (name_len <= 7) {
    // ATCELL=<text>: the text as typed, ended by CR and Ctrl-Z.
    if (param->argc == 0) {
      return name_len > 0 && cmd[name_len - 1] == '?' ? AT_OK : AT_ERROR;
    }
    if (!append_joined(&len, param)) {
      memset(send_command, 0, sizeof(send_command));
      return AT_PARAM_ERROR;
    }
    if (len >= 3 && starts_with_nocase(send_command + 3, "IPR")) {
      udrv_serial_log_printf("%s", kRefused);
      memset(send_command, 0, sizeof(send_command));
      return AT_OK;
    }
    if (!append(&len, "\r\x1a")) {
      memset(send_command, 0, sizeof(send_command));
      return AT_PARAM_ERROR;
    }
    return send_to_modem();
  }

  if (cmd[6] != '+') {
    return AT_ERROR;
  }
  // ATCELL+<command>: the modem command, upper case, with its arguments.
  char work[ATCMD_NAME_MAX_LEN + 1];
  strncpy(work, cmd + 7, sizeof(work) - 1);
  work[sizeof(work) - 1] = '\0';
  if (starts_with_nocase(work, "IPR") ||
      (strlen(work) >= 3 && starts_with_nocase(work + 3, "IPR"))) {
    udrv_serial_log_printf("%s", kRefused);
    return AT_OK;
  }
  for (char *c = work; *c != '\0'; ++c) {
    *c = static_cast<char>(toupper(static_cast<unsigned char>(*c)));
  }
  bool own_at = starts_with_nocase(work, "AT");
  bool ok = (own_at || append(&len, "AT+")) && append(&len, work);
  if (param->argc == 1 && strcmp(param->argv[0], "?") == 0) {
    ok = ok && append(&len, "=?");
  } else if (param->argc >= 1) {
    ok = ok && append(&len, "=") && append_joined(&len, param);
  }
  ok = ok && append(&len, "\r\n");
  if (!ok) {
    memset(send_command, 0, sizeof(send_command));
    return AT_PARAM_ERROR;
  }

  if (param->argc == 1 && !own_at) {
    uint32_t size = 0, timeout_s = 0;
    bool upload = false;
    if (strcmp(work, "QFUPL") == 0) {
      size = field(param->argv[0], 1);
      timeout_s = field(param->argv[0], 2);
      upload = true;
    } else if (strcmp(work, "QHTTPURL") == 0) {
      size = field(param->argv[0], 0);
      timeout_s = field(param->argv[0], 1);
      upload = true;
    }
    if (upload) {
      // The collected block must fit the command buffer with its end mark.
      if (size > kCommandSize - 2) {
        memset(send_command, 0, sizeof(send_command));
        return AT_PARAM_ERROR;
      }
      parser_cmd_size = size;
      parser_cmd_timeout = timeout_s * 1000u;
      start_time = now_ms();
      sgCnt = 0;
      sgCurPos = 0;
      cellular_parser_enable = true;
    }
  }
  return send_to_modem();
}

void service_mode_cli_cellular_handler(SERIAL_PORT port, uint8_t ch) {
  if (now_ms() - start_time >= parser_cmd_timeout) {
    // The window has closed: the byte is an ordinary command byte.
    reset_upload();
    cellular_parser_enable = false;
    service_mode_cli_handler(port, static_cast<char>(ch));
    return;
  }
  if (ch == 0x08 || ch == 0x7F) {
    if (sgCnt > 0) {
      sgCnt--;
      sgCurPos--;
      send_command[sgCurPos] = '\0';
    }
    return;
  }
  if (sgCnt >= parser_cmd_size) {
    udrv_serial_log_printf("\r\n");
    cellular_parser_enable = false;
    // The counted bytes, NUL bytes included: the modem waits for all of them.
    udrv_serial_write(SERIAL_UART1, reinterpret_cast<const uint8_t *>(send_command), sgCnt);
    reset_upload();
    return;
  }
  if (ch == '\r') {
    udrv_serial_log_printf("\n");
  } else if (ch == '\n') {
    udrv_serial_log_printf("\r\n");
  }
  udrv_serial_write(SERIAL_USB0, &ch, 1);
  send_command[sgCurPos++] = static_cast<char>(ch);
  sgCnt++;
}
