// The Saffrond's pass-through to its Wi-Fi co-processor: bytes from the host
// on the AT port and bytes from the co-processor, in both AT modes, with the
// mode and power commands the AT parser hands over (AT+ESP, AT+ESPPOWER).
// The real serial event over stand-ins of the two serial ports, the stored
// serial mode, the enable pin and the module's own AT interpreter (which
// only collects what it is given here).
//
// Input: operations, each an op byte and its operands:
//   0 n bytes  the host types n bytes, then the serial event runs
//   1 n bytes  the co-processor sends n bytes, then the serial event runs
//   2 a        AT+ESP with argument a (0 "0", 1 "1", 2 "?", else "a" as a
//              number's text)
//   3 a        AT+ESPPOWER likewise
//   4 m        the AT port's stored serial mode becomes m % 3
// Checked besides memory and undefined behaviour: what reaches the
// co-processor is a whole line of at most 256 bytes ending in CR LF, or the
// three bytes "+++"; a line longer than that never reaches it, not even in
// part; the co-processor's bytes reach the host only in the Wi-Fi AT mode,
// in order and whole; the module's interpreter sees only bytes typed in its
// own mode.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

#include "qiv_runtime.h"
#include "service_mode_cli.h"
#include "service_nvm.h"
#include "udrv_gpio.h"
#include "udrv_serial.h"
#include "wifi_coprocessor.h"

namespace {

void require(bool ok) {
  if (!ok) abort();
}

std::deque<uint8_t> g_host_in, g_esp_in;
std::string g_to_host, g_to_esp_all, g_to_module;
std::vector<std::string> g_to_esp;
SERVICE_MODE_TYPE g_mode = SERVICE_MODE_TYPE_CLI;

}  // namespace

int32_t udrv_serial_read_available(SERIAL_PORT port) {
  if (port == SERIAL_UART2) return (int32_t)g_host_in.size();
  if (port == SERIAL_ESP32C2) return (int32_t)g_esp_in.size();
  return 0;
}

int32_t udrv_serial_read(SERIAL_PORT port, uint8_t *buff, uint32_t len) {
  std::deque<uint8_t> *q = port == SERIAL_UART2     ? &g_host_in
                           : port == SERIAL_ESP32C2 ? &g_esp_in
                                                    : nullptr;
  if (q == nullptr) return 0;
  uint32_t n = 0;
  for (; n < len && !q->empty(); n++) {
    buff[n] = q->front();
    q->pop_front();
  }
  return (int32_t)n;
}

int32_t udrv_serial_write(SERIAL_PORT port, uint8_t const *buff, uint32_t len) {
  require(len == 0 || buff != nullptr);
  if (port == SERIAL_UART2) g_to_host.append((const char *)buff, len);
  if (port == SERIAL_ESP32C2) g_to_esp.emplace_back((const char *)buff, len);
  return (int32_t)len;
}

int32_t udrv_serial_log_printf(const char *fmt, ...) {
  require(fmt != nullptr);
  return 0;
}

SERVICE_MODE_TYPE service_nvm_get_mode_type_from_nvm(SERIAL_PORT) { return g_mode; }
void qiv_serial_byte(SERIAL_PORT port, uint8_t ch) {
  require(port == SERIAL_UART2);
  g_to_module.push_back((char)ch);
}
void udrv_gpio_set_dir(uint32_t, gpio_dir_t) {}
void udrv_gpio_set_logic(uint32_t, gpio_logic_t) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  g_host_in.clear();
  g_esp_in.clear();
  g_to_host.clear();
  g_to_esp.clear();
  g_to_module.clear();
  g_mode = SERVICE_MODE_TYPE_CLI;
  // Back to the module's own AT mode with an empty line, as after a reset:
  // a line end flushes what an earlier input left half typed.
  setCurrentATMode(ESP_AT_MODE);
  for (const char *s = "\n\r\n\r\n"; *s; s++) g_host_in.push_back((uint8_t)*s);
  wifi_coprocessor_serial_event();
  setCurrentATMode(LORA_AT_MODE);
  g_host_in.push_back('\n');  // the line end after the mode command
  wifi_coprocessor_serial_event();
  g_to_host.clear();
  g_to_esp.clear();
  g_to_module.clear();

  std::string esp_sent_in_esp_mode;
  std::string typed_in_lora_mode;
  size_t i = 0;
  auto next = [&]() -> uint8_t { return i < size ? data[i++] : 0; };
  while (i < size) {
    const uint8_t op = next();
    switch (op % 5) {
      case 0:
      case 1: {
        size_t n = next();
        n = n < size - i ? n : size - i;
        auto &q = op % 5 == 0 ? g_host_in : g_esp_in;
        q.insert(q.end(), data + i, data + i + n);
        if (op % 5 == 1 && getCurrentATMode() == ESP_AT_MODE) {
          esp_sent_in_esp_mode.append((const char *)data + i, n);
        }
        i += n;
        const bool esp_mode = getCurrentATMode() == ESP_AT_MODE;
        const size_t module_before = g_to_module.size();
        wifi_coprocessor_serial_event();
        if (!esp_mode && op % 5 == 0 && g_mode != SERVICE_MODE_TYPE_CUSTOM) {
          // Typed in the module's mode: all of it goes to the interpreter
          // unless a byte switched the mode (only the parser switches it,
          // and it is not run here).
          require(g_to_module.size() - module_before == n);
        }
        if (op % 5 == 1 && !esp_mode) g_esp_in.clear();  // nobody reads it in this mode
        if (g_mode == SERVICE_MODE_TYPE_CUSTOM) {
          require(g_host_in.size() >= (op % 5 == 0 ? n : 0));  // left to the user program
          g_host_in.clear();                                   // which reads it
        }
        break;
      }
      case 2:
      case 3: {
        const uint8_t a = next();
        char text[8];
        if (a == 0 || a == 1)
          snprintf(text, sizeof text, "%d", a);
        else if (a == 2)
          snprintf(text, sizeof text, "?");
        else
          snprintf(text, sizeof text, "%u", (unsigned)a);
        stParam param{};
        param.argc = 1;
        param.argv[0] = text;
        char name[16];
        snprintf(name, sizeof name, op % 5 == 2 ? "AT+ESP" : "AT+ESPPOWER");
        const int r = op % 5 == 2 ? At_Esp(SERIAL_UART2, name, &param)
                                  : At_EspPower(SERIAL_UART2, name, &param);
        require(r == AT_OK || r == AT_PARAM_ERROR);
        require((r == AT_OK) == (a <= 2));
        if (op % 5 == 2 && a == 1) require(getCurrentATMode() == ESP_AT_MODE);
        if (op % 5 == 2 && a == 0) require(getCurrentATMode() == LORA_AT_MODE);
        if (op % 5 == 3 && a <= 1) require(getEspPowerMode() == a);
        break;
      }
      case 4:
        g_mode = (SERVICE_MODE_TYPE)(next() % 3);
        break;
    }
  }
  for (const std::string &w : g_to_esp) {
    // A whole line, or the escape from the co-processor's transparent mode.
    require(w == "+++" ||
            (w.size() >= 2 && w.size() <= 256 && w.compare(w.size() - 2, 2, "\r\n") == 0));
    // No CR LF inside: one line per write, never a line's tail on its own.
    require(w.find("\r\n") == w.size() - 2 || w == "+++");
  }
  // The co-processor's bytes reach the host in order, whole, among the
  // module's own replies.
  size_t at = 0;
  for (char c : esp_sent_in_esp_mode) {
    at = g_to_host.find(c, at);
    require(at != std::string::npos);
    at++;
  }
  return 0;
}
