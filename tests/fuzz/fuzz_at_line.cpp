// Any bytes typed on an AT port: the line editor (escape sequences,
// backspace, overlong lines), the parser and every row of the command table,
// with user commands registered beside it. The stand-ins are those of the
// interpreter's unit tests; a reset or a jump to the bootloader ends the
// input.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "cli_fakes.h"
#include "service_mode_cli.h"

namespace {

// A user command checks what the parser hands every handler: at most the
// row's argument limit, each argument a terminated text inside the line.
struct UserRow {
  const char *name;
  uint32_t maxargu;
  uint32_t perm;
};

constexpr UserRow kUserRows[] = {
    {"PROBE", 0, ATCMD_PERM_READ | ATCMD_PERM_WRITE},
    {"TWO", 2, ATCMD_PERM_WRITE},
    {"ONCE", 1, ATCMD_PERM_WRITEONCEREAD},
    // The longest name a typed line can reach: "ATC+" and 27 characters.
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZ0", 30, ATCMD_PERM_READ},
};

int user_handler(SERIAL_PORT, char *cmd, stParam *param) {
  const UserRow *row = nullptr;
  for (const UserRow &r : kUserRows) {
    if (strcmp(cmd + 4, r.name) == 0) {
      row = &r;
    }
  }
  if (row == nullptr || strncmp(cmd, "ATC+", 4) != 0) {
    abort();  // the handler was given a name that is not its row's
  }
  const int32_t limit = (row->maxargu == 0 || row->maxargu > ATCMD_MAX_ARGS)
                            ? ATCMD_MAX_ARGS
                            : static_cast<int32_t>(row->maxargu);
  if (param->argc < 0 || param->argc > limit) {
    abort();
  }
  size_t total = 0;
  for (int32_t i = 0; i < param->argc; ++i) {
    total += strlen(param->argv[i]);  // every argument is a terminated text
  }
  if (total > CLI_BUFFER_SIZE) {
    abort();
  }
  return param->argc > 0 && strcmp(param->argv[0], "?") == 0 ? AT_OK : static_cast<int>(total % 12);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  clifake::reset();
  for (const UserRow &r : kUserRows) {
    service_mode_cli_register(r.name, "fuzz", user_handler, r.maxargu, "fuzz row", r.perm);
  }
  clifake::world.store.echo = 1;
  // The last line is ended too, so that a line cut by the end of the input
  // still reaches the parser.
  std::string typed(reinterpret_cast<const char *>(data), size);
  typed += '\r';
  clifake::type_expecting_restart(SERIAL_UART2, typed);
  return 0;
}
