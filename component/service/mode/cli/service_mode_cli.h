// AT command interpreter: line editor, parser, command tables, permissions,
// user commands and the argument checkers shared by every command handler.
//
// One line buffer serves every serial port of the image; the editor and the
// parser run in the context that drains the system event queue and take no
// lock.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "udrv_serial.h"

#define CLI_BUFFER_SIZE 2048
#define ATCMD_CUST_TABLE_SIZE 64
#define ATCMD_MAX_ARGS 25
// Longest command name, without the operator that ends it.
#define ATCMD_NAME_MAX_LEN 31

// Reply codes of the handlers; the parser prints the text of the code.
typedef enum AT_ERRNO_E_ {
  AT_OK = 0,
  AT_ERROR = 1,
  AT_PARAM_ERROR = 2,
  AT_BUSY_ERROR = 3,
  AT_TEST_PARAM_OVERFLOW = 4,
  AT_NO_CLASSB_ENABLE = 5,
  AT_NO_NETWORK_JOINED = 6,
  AT_RX_ERROR = 7,
  AT_MODE_NO_SUPPORT = 8,
  AT_COMMAND_NOT_FOUND = 9,
  AT_UNSUPPORTED_BAND = 10,
  AT_MAX_ERRNO = 11,
} AT_ERRNO_E;

extern const char *const atcmd_err_tbl[AT_MAX_ERRNO];

// Permission bits of a command row.
typedef enum AT_PERM_E_ : uint8_t {
  ATCMD_PERM_WRITE = 1,
  ATCMD_PERM_READ = 2,
  ATCMD_PERM_WRITEONCEREAD = 4,  // readable, writable once
  ATCMD_PERM_ISWRITE = 8,        // set after the one allowed write
  ATCMD_PERM_DISABLE = 16,
} AT_PERM_E;

typedef enum {
  NoAnyKeyReceived = 0,
  Key1bReceived = 1,  // ESC seen
  Key5bReceived = 2,  // ESC and '[' seen
} SPECIAL_KEY_STATUS_E;

// The arguments of one line; every pointer points into the line buffer.
typedef struct {
  char *argv[ATCMD_MAX_ARGS];
  int32_t argc;
} stParam;

// A command handler: port that sent the line, command name, arguments.
// Returns an AT_ERRNO_E code (negative or above 10 is answered "AT_ERROR").
typedef int (*PF_handle)(SERIAL_PORT port, char *cmd, stParam *param);

// One built-in row. The table lives in initialised RAM because the
// permission byte changes at run time.
typedef struct {
  const char *atCmd;
  PF_handle pfHandle;
  uint8_t maxargu;       // 0 means ATCMD_MAX_ARGS
  const char *CmdUsage;  // empty: hidden from the listing
  uint8_t permission;
} at_cmd_info;

// One user ("ATC+") row; free while atCmd is null.
typedef struct {
  const char *atCmd;
  const char *title;
  PF_handle pfHandle;
  uint8_t maxargu;
  const char *CmdUsage;
  uint8_t permission;
} at_cmd_cust_info;

extern at_cmd_info atcmd_info_tbl[];
// The table as built, before any run-time change of a permission byte: what
// the start-up of an image restores the RAM table from.
extern const at_cmd_info atcmd_info_tbl_load_image[];
extern at_cmd_cust_info atcmd_cust_tbl[ATCMD_CUST_TABLE_SIZE];

// Line editor and parser.
void service_mode_cli_init(SERIAL_PORT port);
void service_mode_cli_deinit(SERIAL_PORT port);
void service_mode_cli_handler(SERIAL_PORT port, char ch);
int At_Parser(SERIAL_PORT port, char *buff, int len);
int parseBuff2Param(char *bufCmd, stParam *pParam, uint8_t maxargu);
int At_CmdGetTotalNum(void);
bool service_mode_cli_register(const char *cmd, const char *title, PF_handle handle,
                               uint32_t maxargu, const char *usage, uint32_t perm);

// Permission overrides placed at build time (see atcmd_queue.h).
void update_permission(void);

// Result of a driver or service call as a reply code.
int at_error_code_form_udrv(int32_t udrv_code);

// Argument checkers: 0 accepted, 1 refused.
uint8_t at_check_hex_param(const char *p_str, uint32_t str_len, uint8_t *p_hex);
uint8_t at_check_hex_uint16(const char *p_str, uint16_t *value);
uint8_t at_check_hex_uint32(const char *p_str, uint32_t *value);
uint8_t at_check_digital_uint32_t(const char *p_str, uint32_t *value);
void StrToHex(uint8_t *pbDest, const char *pbSrc, uint32_t nLen);

// True when every character of the text is a decimal digit (an empty text
// passes).
bool at_check_digits_only(const char *p_str);
// Value of a text of decimal digits, saturating at 4294967295 as the C
// library's conversion does on the 32-bit target.
uint32_t at_digits_to_uint32(const char *p_str);
