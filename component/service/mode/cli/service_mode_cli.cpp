// Line editor, parser, help listing and user commands of the AT interpreter.
#include "service_mode_cli.h"

#include <string.h>

#include "atcmd_queue.h"
#include "service_nvm.h"
#include "udrv_serial.h"

const char *const atcmd_err_tbl[AT_MAX_ERRNO] = {
    "OK",
    "AT_ERROR",
    "AT_PARAM_ERROR",
    "AT_BUSY_ERROR",
    "AT_TEST_PARAM_OVERFLOW",
    "AT_NO_CLASSB_ENABLE",
    "AT_NO_NETWORK_JOINED",
    "AT_RX_ERROR",
    "AT_MODE_NO_SUPPORT",
    "AT_COMMAND_NOT_FOUND",
    "AT_UNSUPPORTED_BAND",
};

at_cmd_cust_info atcmd_cust_tbl[ATCMD_CUST_TABLE_SIZE];

// The one line buffer of the image, shared by every AT port.
static char sgCmdBuffer[CLI_BUFFER_SIZE + 1];
static uint32_t sgCurPos;
static SPECIAL_KEY_STATUS_E gSpecialKey = NoAnyKeyReceived;
// Set when a byte of the current line had to be dropped for lack of room: the
// line is then answered with an error instead of being run cut short.
static bool sgLineOverflow;

static const char kUserPrefix[] = "ATC+";
static const size_t kUserPrefixLen = sizeof(kUserPrefix) - 1;
#ifdef QIV_BOARD_VOSTREL
static const char kCellularPrefix[] = "ATCELL";
static const size_t kCellularPrefixLen = sizeof(kCellularPrefix) - 1;
#endif

// ASCII-only case folding: bytes of 0x80 and above are left as they are.
static char ascii_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

static bool name_equal_nocase(const char *a, const char *b) {
  while (*a != '\0' && *b != '\0') {
    if (ascii_upper(*a) != ascii_upper(*b)) {
      return false;
    }
    ++a;
    ++b;
  }
  return *a == *b;
}

static bool prefix_equal_nocase(const char *text, const char *prefix, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (text[i] == '\0' || ascii_upper(text[i]) != ascii_upper(prefix[i])) {
      return false;
    }
  }
  return true;
}

static void write_byte(SERIAL_PORT port, uint8_t b) { udrv_serial_write(port, &b, 1); }

static void clear_line(void) {
  memset(sgCmdBuffer, 0, sizeof(sgCmdBuffer));
  sgCurPos = 0;
  sgLineOverflow = false;
}

void service_mode_cli_init(SERIAL_PORT port) {
  (void)port;
  udrv_serial_log_printf("\r\n");
  clear_line();
  update_permission();
}

void service_mode_cli_deinit(SERIAL_PORT port) { (void)port; }

static bool echo_on(void) { return service_nvm_get_atcmd_echo_from_nvm() != 0; }

void service_mode_cli_handler(SERIAL_PORT port, char ch) {
  switch (ch) {
    case 0x1B:  // ESC
      gSpecialKey = Key1bReceived;
      return;
    case '\r':
    case '\n':
      gSpecialKey = NoAnyKeyReceived;
      if (sgCmdBuffer[0] != '\0') {
        if (echo_on()) {
          write_byte(port, '\n');
          write_byte(port, '\r');
        }
        if (sgLineOverflow) {
          udrv_serial_log_printf("%s", atcmd_err_tbl[AT_PARAM_ERROR]);
        } else {
          At_Parser(port, sgCmdBuffer, static_cast<int>(strlen(sgCmdBuffer)));
        }
        udrv_serial_log_printf("\r\n%s", "");
      }
      clear_line();
      return;
    case 0x08:  // BS
    case 0x7F:  // DEL
      gSpecialKey = NoAnyKeyReceived;
      if (sgCurPos > 0) {
        --sgCurPos;
        sgCmdBuffer[sgCurPos] = '\0';
        write_byte(port, 0x08);
        write_byte(port, ' ');
        write_byte(port, 0x08);
      }
      return;
    default:
      break;
  }

  if (gSpecialKey == Key1bReceived && ch == '[') {
    gSpecialKey = Key5bReceived;
    return;
  }
  if (gSpecialKey == Key5bReceived && (ch == 'A' || ch == 'B')) {
    // Cursor up and down: there is no command history.
    gSpecialKey = NoAnyKeyReceived;
    return;
  }
  gSpecialKey = NoAnyKeyReceived;

  if (sgCurPos > CLI_BUFFER_SIZE - 2) {
    sgLineOverflow = true;
    return;
  }
  sgCmdBuffer[sgCurPos] = ch;
  sgCmdBuffer[sgCurPos + 1] = '\0';
  ++sgCurPos;
  if (echo_on()) {
    write_byte(port, static_cast<uint8_t>(ch));
  }
}

int parseBuff2Param(char *bufCmd, stParam *pParam, uint8_t maxargu) {
  if (bufCmd == nullptr || bufCmd[0] == '\0') {
    return 2;
  }
  int32_t limit = (maxargu == 0 || maxargu > ATCMD_MAX_ARGS) ? ATCMD_MAX_ARGS : maxargu;

  pParam->argc = 1;
  pParam->argv[0] = bufCmd;
  for (char *p = bufCmd; *p != '\0' && pParam->argc < limit; ++p) {
    if (*p == ':') {
      *p = '\0';
      if (p[1] != '\0') {
        pParam->argv[pParam->argc++] = p + 1;
      }
    }
  }
  return 0;
}

// Permission text of the help and the listing, at most 8 characters.
static void perm_text(uint8_t perm, char out[9]) {
  out[0] = '\0';
  if (perm & ATCMD_PERM_DISABLE) {
    strcpy(out, "Disable");
  } else if (perm & ATCMD_PERM_WRITEONCEREAD) {
    strcpy(out, "R*");
  } else if (perm & ATCMD_PERM_READ) {
    strcpy(out, "R");
  }
  if (perm & ATCMD_PERM_WRITE) {
    strcat(out, "W");
  }
}

static int reply(int code) {
  const char *text =
      (code >= 0 && code < AT_MAX_ERRNO) ? atcmd_err_tbl[code] : atcmd_err_tbl[AT_ERROR];
  udrv_serial_log_printf("%s", text);
  return code;
}

static void print_listing(void) {
  char perm[9];
  udrv_serial_log_printf(
      "\r\nAT+<CMD>?: help on <CMD>\r\nAT+<CMD>: run <CMD>\r\n"
      "AT+<CMD>=<value>: set the value\r\nAT+<CMD>=?: get the value\r\n");
  udrv_serial_log_printf("\r\n");
  int total = At_CmdGetTotalNum();
  for (int i = 0; i < total; ++i) {
    const at_cmd_info *row = &atcmd_info_tbl[i];
    if (row->CmdUsage == nullptr || row->CmdUsage[0] == '\0') {
      continue;
    }
    perm_text(row->permission, perm);
    udrv_serial_log_printf("%s,%s: %s\r\n", row->atCmd, perm, row->CmdUsage);
  }
  for (int i = 0; i < ATCMD_CUST_TABLE_SIZE; ++i) {
    const at_cmd_cust_info *row = &atcmd_cust_tbl[i];
    if (row->atCmd == nullptr || row->CmdUsage[0] == '\0') {
      continue;
    }
    perm_text(row->permission, perm);
    udrv_serial_log_printf("%s%s,%s: %s, %s\r\n", kUserPrefix, row->atCmd, perm, row->title,
                           row->CmdUsage);
  }
}

// Permission check and call of one row; `permission` is the row's byte, which
// a successful first write of a write-once row updates.
static int run_row(SERIAL_PORT port, char *name, PF_handle handle, uint8_t *permission,
                   stParam *param, bool user_row) {
  uint8_t perm = *permission;
  bool is_write = false;

  if (perm & ATCMD_PERM_DISABLE) {
    return reply(AT_ERROR);
  }
  if (param->argc >= 1) {
    if (strcmp(param->argv[0], "?") == 0) {
      if (!(perm & (ATCMD_PERM_READ | ATCMD_PERM_WRITEONCEREAD))) {
        return reply(user_row ? AT_ERROR : AT_PARAM_ERROR);
      }
    } else {
      if (perm & ATCMD_PERM_WRITEONCEREAD) {
        if (perm & ATCMD_PERM_ISWRITE) {
          return reply(AT_ERROR);
        }
      } else if (!(perm & ATCMD_PERM_WRITE)) {
        return reply(AT_PARAM_ERROR);
      }
      is_write = true;
    }
  }

  int ret = handle(port, name, param);
  if (ret != AT_OK) {
    // The raw value goes back to the caller; its text is "AT_ERROR" when
    // it is not a reply code.
    reply(ret);
    return ret;
  }
  if (is_write && (perm & ATCMD_PERM_WRITEONCEREAD) && !(perm & ATCMD_PERM_ISWRITE)) {
    *permission = static_cast<uint8_t>(perm | ATCMD_PERM_ISWRITE);
  }
  return reply(AT_OK);
}

int At_Parser(SERIAL_PORT port, char *buff, int len) {
  stParam param;
  memset(&param, 0, sizeof(param));

  if (buff == nullptr || len < 0) {
    return reply(AT_ERROR);
  }

  // The name ends at the first NUL, ' ' or '='; it has at most 31 characters.
  char name[ATCMD_NAME_MAX_LEN + 1];
  int name_len = -1;
  char op = '\0';
  for (int i = 0; i <= ATCMD_NAME_MAX_LEN; ++i) {
    char c = (i < len) ? buff[i] : '\0';
    if (c == '\0' || c == ' ' || c == '=') {
      name_len = i;
      op = c;
      break;
    }
  }
  if (name_len < 0) {
    return reply(AT_ERROR);
  }
  memcpy(name, buff, static_cast<size_t>(name_len));
  name[name_len] = '\0';

  bool help = false;
  if (name_len > 0 && name[name_len - 1] == '?') {
    name[--name_len] = '\0';
    help = true;
  }

  int total = At_CmdGetTotalNum();
  for (int i = 0; i < total; ++i) {
    at_cmd_info *row = &atcmd_info_tbl[i];
#ifdef QIV_BOARD_VOSTREL
    // The modem's pass-through row takes every name that begins with its
    // own; the handler sees the name as typed.
    if (prefix_equal_nocase(row->atCmd, kCellularPrefix, kCellularPrefixLen) &&
        prefix_equal_nocase(name, kCellularPrefix, kCellularPrefixLen)) {
      if (help && name_len == static_cast<int>(kCellularPrefixLen)) {
        udrv_serial_log_printf("%s: %s\r\n", row->atCmd, row->CmdUsage);
        return reply(AT_OK);
      }
      if (help) {
        name[name_len++] = '?';
        name[name_len] = '\0';
      }
      if ((op == '=' || op == ' ') && name_len + 1 < len) {
        parseBuff2Param(buff + name_len + 1, &param, row->maxargu);
      }
      return run_row(port, name, row->pfHandle, &row->permission, &param, false);
    }
#endif
    if (!name_equal_nocase(name, row->atCmd)) {
      continue;
    }
    if (op == '=' && len == name_len + 1) {
      return reply(AT_PARAM_ERROR);
    }
    if (op == '=' || op == ' ') {
      size_t start = strlen(row->atCmd) + 1;
      if (start < static_cast<size_t>(len)) {
        parseBuff2Param(buff + start, &param, row->maxargu);
      }
    }
    if (help) {
      if (i == 0) {
        print_listing();
      } else {
        char perm[9];
        perm_text(row->permission, perm);
        udrv_serial_log_printf("%s,%s: %s\r\n", row->atCmd, perm,
                               row->CmdUsage != nullptr ? row->CmdUsage : "");
      }
      return reply(AT_OK);
    }
    return run_row(port, const_cast<char *>(row->atCmd), row->pfHandle, &row->permission, &param,
                   false);
  }

  if (!prefix_equal_nocase(name, kUserPrefix, kUserPrefixLen)) {
    return reply(AT_COMMAND_NOT_FOUND);
  }
  for (int i = 0; i < ATCMD_CUST_TABLE_SIZE; ++i) {
    at_cmd_cust_info *row = &atcmd_cust_tbl[i];
    if (row->atCmd == nullptr || !name_equal_nocase(name + kUserPrefixLen, row->atCmd)) {
      continue;
    }
    // The typed name matched, so the row's name is at most 27 characters.
    char display[ATCMD_NAME_MAX_LEN + 1];
    memcpy(display, kUserPrefix, kUserPrefixLen);
    strcpy(display + kUserPrefixLen, row->atCmd);

    if (op == '=' || op == ' ') {
      size_t start = strlen(row->atCmd) + kUserPrefixLen + 1;
      if (start < static_cast<size_t>(len)) {
        parseBuff2Param(buff + start, &param, row->maxargu);
      }
    }
    if (help) {
      char perm[9];
      perm_text(row->permission, perm);
      udrv_serial_log_printf("%s,%s: %s\r\n", display, perm, row->CmdUsage);
      return reply(AT_OK);
    }
    return run_row(port, display, row->pfHandle, &row->permission, &param, true);
  }
  return reply(AT_COMMAND_NOT_FOUND);
}

bool service_mode_cli_register(const char *cmd, const char *title, PF_handle handle,
                               uint32_t maxargu, const char *usage, uint32_t perm) {
  if (cmd == nullptr || title == nullptr || handle == nullptr || usage == nullptr ||
      static_cast<uint8_t>(perm) == 0) {
    return false;
  }
  for (int i = 0; i < ATCMD_CUST_TABLE_SIZE; ++i) {
    at_cmd_cust_info *row = &atcmd_cust_tbl[i];
    if (row->atCmd != nullptr) {
      continue;
    }
    row->atCmd = cmd;
    row->title = title;
    row->pfHandle = handle;
    row->maxargu = static_cast<uint8_t>(maxargu);
    row->CmdUsage = usage;
    row->permission = static_cast<uint8_t>(perm);
    return true;
  }
  return false;
}
