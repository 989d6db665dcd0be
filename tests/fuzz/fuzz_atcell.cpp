// The Vostrel's pass-through to its cellular modem: ATCELL lines (ATCELL=
// with the text as typed, ATCELL+<command> with its arguments), the modem's
// first answer after an upload command, and the raw upload mode in which the
// next bytes typed on the USB port go to the modem as one block. The real
// handler and upload parser over stand-ins of the serial ports, the clock
// and the delay; the AT parser is replaced by the split it makes (the name
// as typed; up to 25 arguments, the text after '=' or ' ' cut at ':').
//
// Input: operations, each an op byte and its operands:
//   0 n bytes  an ATCELL line: "ATCELL" followed by the first of the n bytes
//              up to a NUL or '=' as the rest of the name (at most 31
//              characters in all), then the arguments
//   1 n bytes  the modem sends n bytes (read after an upload command)
//   2 n bytes  n bytes typed on the USB port, each handed to the upload
//              parser while it is on (else to the AT interpreter)
//   3 t        the clock moves t * 100 ms
// Checked besides memory and undefined behaviour: every command the modem
// gets ends in CR LF or CR Ctrl-Z and fits the command buffer; an upload
// block is exactly the announced number of bytes as typed (backspace taking
// back the last); the upload mode ends when its block went out, when the
// modem did not answer CONNECT, or when its time is over.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

#include "nrf_delay.h"
#include "service_mode_cli.h"
#include "udrv_rtc.h"
#include "udrv_serial.h"

extern bool cellular_parser_enable;
int At_Cellular(SERIAL_PORT port, char *cmd, stParam *param);
void service_mode_cli_cellular_handler(SERIAL_PORT port, uint8_t ch);

namespace {

[[noreturn]] void fail(int line) {
  fprintf(stderr, "fuzz_atcell.cpp:%d: check failed\n", line);
  abort();
}
#define require(ok) ((ok) ? (void)0 : fail(__LINE__))

uint64_t g_now = 1000;
std::deque<uint8_t> g_modem;
std::vector<std::string> g_to_modem;
std::string g_to_cli;

}  // namespace

uint64_t udrv_rtc_get_timestamp(RtcID_E) { return g_now; }
void nrf_delay_ms(uint32_t ms) { g_now += ms; }

int32_t udrv_serial_read_available(SERIAL_PORT port) {
  return port == SERIAL_UART1 ? (int32_t)g_modem.size() : 0;
}
int32_t udrv_serial_read(SERIAL_PORT port, uint8_t *buff, uint32_t len) {
  require(port == SERIAL_UART1);
  uint32_t n = 0;
  for (; n < len && !g_modem.empty(); n++) {
    buff[n] = g_modem.front();
    g_modem.pop_front();
  }
  return (int32_t)n;
}
int32_t udrv_serial_write(SERIAL_PORT port, uint8_t const *buff, uint32_t len) {
  require(len == 0 || buff != nullptr);
  if (port == SERIAL_UART1) g_to_modem.emplace_back((const char *)buff, len);
  return (int32_t)len;
}
int32_t udrv_serial_log_printf(const char *fmt, ...) {
  require(fmt != nullptr);
  return 0;
}
void service_mode_cli_handler(SERIAL_PORT, char ch) { g_to_cli.push_back(ch); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Any upload an earlier input left open times out, or else its block is
  // typed to the end.
  g_now += 1000000;
  for (int k = 0; k < 2000 && cellular_parser_enable; k++)
    service_mode_cli_cellular_handler(SERIAL_USB0, 'x');
  require(!cellular_parser_enable);
  g_modem.clear();
  g_to_modem.clear();
  g_to_cli.clear();

  // The upload being typed, as the model sees it.
  bool uploading = false;
  std::string block;
  size_t i = 0;
  auto next = [&]() -> uint8_t { return i < size ? data[i++] : 0; };
  while (i < size) {
    const uint8_t op = next();
    size_t n = (op & 3) == 3 ? 0 : next();
    n = n < size - i ? n : size - i;
    const uint8_t *b = data + i;
    i += n;
    switch (op & 3) {
      case 0: {
        // The name: "ATCELL" and what follows up to '=' or NUL.
        char name[ATCMD_NAME_MAX_LEN + 2] = "ATCELL";
        size_t k = 0;
        size_t nl = 6;
        for (; k < n && b[k] != 0 && b[k] != '=' && nl < ATCMD_NAME_MAX_LEN; k++)
          name[nl++] = (char)b[k];
        name[nl] = '\0';
        // The arguments after the separator, cut at ':'.
        static char line[CLI_BUFFER_SIZE + 1];
        stParam param{};
        if (k < n) {
          size_t len = n - k - 1;
          if (len > CLI_BUFFER_SIZE) len = CLI_BUFFER_SIZE;
          memcpy(line, b + k + 1, len);
          line[len] = '\0';
          if (len > 0) {
            char *p = line;
            param.argv[param.argc++] = p;
            for (size_t j = 0; j < len && param.argc < ATCMD_MAX_ARGS; j++) {
              if (line[j] == ':') {
                line[j] = '\0';
                param.argv[param.argc++] = &line[j + 1];
              }
            }
          }
        }
        const size_t before = g_to_modem.size();
        const bool was_uploading = cellular_parser_enable;
        if (getenv("FUZZ_TRACE"))
          fprintf(stderr, "line %s argc %d (upload %d)\n", name, (int)param.argc,
                  (int)cellular_parser_enable);
        const int r = At_Cellular(SERIAL_USB0, name, &param);
        require(r == AT_OK || r == AT_ERROR || r == AT_PARAM_ERROR || r == AT_BUSY_ERROR);
        // A modem command while an upload's bytes are typed is refused and
        // changes nothing.
        if (r == AT_BUSY_ERROR) require(was_uploading && g_to_modem.size() == before);
        for (size_t w = before; w < g_to_modem.size(); w++) {
          const std::string &c = g_to_modem[w];
          require(c.size() >= 2 && c.size() < 1501);
          require(c.compare(c.size() - 2, 2, "\r\n") == 0 ||
                  c.compare(c.size() - 2, 2, "\r\x1a") == 0);
        }
        if (r != AT_BUSY_ERROR && cellular_parser_enable) {
          // A new upload: its block starts empty.
          uploading = true;
          block.clear();
        }
        break;
      }
      case 1:
        g_modem.insert(g_modem.end(), b, b + n);
        break;
      case 2:
        for (size_t k = 0; k < n; k++) {
          if (!cellular_parser_enable) {
            uploading = false;
            service_mode_cli_handler(SERIAL_USB0, (char)b[k]);
            continue;
          }
          const size_t before = g_to_modem.size();
          service_mode_cli_cellular_handler(SERIAL_USB0, b[k]);
          if (!cellular_parser_enable && g_to_modem.size() > before) {
            // The block went out: exactly what was typed, backspaces
            // applied, and no more than fits the buffer.
            require(uploading);
            if (getenv("FUZZ_TRACE"))
              fprintf(stderr, "block sent %zu bytes, typed %zu\n", g_to_modem.back().size(),
                      block.size());
            require(g_to_modem.back() == block);
            require(block.size() < 1501);
            uploading = false;
          } else if (cellular_parser_enable) {
            if (b[k] == 0x08 || b[k] == 0x7F) {
              if (!block.empty()) block.pop_back();
            } else {
              block.push_back((char)b[k]);
            }
          } else {
            uploading = false;  // the window closed: an ordinary byte
          }
        }
        break;
      case 3:
        g_now += 100u * (op >> 2);
        break;
    }
  }
  return 0;
}
