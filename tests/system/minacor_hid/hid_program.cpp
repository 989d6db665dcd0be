// A user program for the system tests of the HID keyboard and custom
// service modes on a Minacor image. It takes one command a line on UART1
// (custom mode), answering there.
//   hid            api.ble.hid.start(0): HID mode, advertise without end
//   leds           api.ble.hid.setKeyboardCallback: each LED byte the host
//                  writes comes as "leds HEX"
//   adv N          advertise for N seconds in the current mode
//   type HEX       key codes (two hex digits each) through api.ble.hid.sendkey
//   apicustom N    api.ble.custom.init with kBase and the first N of
//                  A101, A102, A103, A104, then api.ble.custom.start(0)
//                  (answers 1 or 0); notification switches come as
//                  "notify UUID on HEX" or "notify UUID off"
//   custom         custom mode with the service 0xA000 of the registration
//                  fixture (registration.cpp: values of its own), advertise
//   pin            the level of P0.16
//   update U HEX   the custom characteristic U (hex) set to HEX and notified
#include <stdlib.h>
#include <string.h>

#include "command_port.h"
#include "nrf_gpio.h"
#include "qiv_v3_api.h"
#include "registration.h"
#include "udrv_ble.h"
#include "udrv_delay.h"

namespace {

String line;

void answer(const char *what, int32_t result) {
  Serial1.printf("%s %d\r\n", what, static_cast<int>(result));
}

// Hex digit pairs into `out`: the count, or -1 for text that is not that.
int parse_hex(const char *text, uint8_t *out, size_t room) {
  const size_t n = strlen(text);
  if (n % 2 != 0 || n / 2 > room) return -1;
  for (size_t i = 0; i < n; i += 2) {
    char pair[3] = {text[i], text[i + 1], 0};
    char *end = nullptr;
    const long v = strtol(pair, &end, 16);
    if (end != pair + 2) return -1;
    out[i / 2] = static_cast<uint8_t>(v);
  }
  return static_cast<int>(n / 2);
}

// Each ring entry's keys stay here until it is typed.
uint8_t patterns[HID_BUFFER_LIST_SIZE][16];

// The service's base UUID: the service is A100 (bytes 12 and 13).
const uint8_t kBase[16] = {0xFB, 0x34, 0x9B, 0x5F, 0x80, 0x00, 0x00, 0x80,
                           0x00, 0x10, 0x00, 0x00, 0x00, 0xA1, 0x5A, 0xC3};
const uint16_t kChars[4] = {0xA101, 0xA102, 0xA103, 0xA104};

// What the hooks saw (the stack's event interrupt), printed by the loop.
struct HookCall {
  bool notify;  // else the LED byte
  uint16_t uuid;
  bool on;
  uint8_t value[20];
};
HookCall calls[8];
volatile uint32_t calls_in;
uint32_t calls_out;

void on_notify(uint16_t uuid, const uint8_t *value) {
  if (calls_in - calls_out >= 8) return;
  HookCall &c = calls[calls_in % 8];
  c.notify = true;
  c.uuid = uuid;
  c.on = value != nullptr;
  if (value != nullptr) memcpy(c.value, value, sizeof c.value);
  calls_in = calls_in + 1;
}

void on_leds(uint8_t leds) {
  if (calls_in - calls_out >= 8) return;
  HookCall &c = calls[calls_in % 8];
  c.notify = false;
  c.value[0] = leds;
  calls_in = calls_in + 1;
}

void print_calls() {
  while (calls_out != calls_in) {
    const HookCall &c = calls[calls_out % 8];
    if (!c.notify) {
      Serial1.printf("leds %02X\r\n", c.value[0]);
    } else if (!c.on) {
      Serial1.printf("notify %04X off\r\n", c.uuid);
    } else {
      Serial1.printf("notify %04X on ", c.uuid);
      for (uint8_t b : c.value) Serial1.printf("%02X", b);
      Serial1.printf("\r\n");
    }
    calls_out++;
  }
}

void run(const String &command) {
  char text[96] = {0};
  strncpy(text, command.c_str(), sizeof text - 1);
  char *verb = strtok(text, " ");
  char *a1 = strtok(nullptr, " ");
  char *a2 = strtok(nullptr, " ");
  if (verb == nullptr) return;
  if (strcmp(verb, "hid") == 0) {
    answer("hid", api.ble.hid.start(0) ? 0 : -1);
  } else if (strcmp(verb, "leds") == 0) {
    answer("leds", api.ble.hid.setKeyboardCallback(on_leds) ? 1 : 0);
  } else if (strcmp(verb, "apicustom") == 0 && a1 != nullptr) {
    const int n = atoi(a1);
    const bool set =
        n >= 0 && n <= 4 && api.ble.custom.init(kBase, kChars, static_cast<uint8_t>(n), on_notify);
    answer("apicustom", set && api.ble.custom.start(0) ? 1 : 0);
  } else if (strcmp(verb, "adv") == 0 && a1 != nullptr) {
    answer("adv", udrv_ble_advertising_start(static_cast<uint8_t>(atoi(a1))));
  } else if (strcmp(verb, "type") == 0 && a1 != nullptr) {
    if (buffer_list.count >= HID_BUFFER_LIST_SIZE) {
      answer("type", -2);  // the ring is full
      return;
    }
    uint8_t *keys = patterns[buffer_list.wp];
    const int n = parse_hex(a1, keys, sizeof patterns[0]);
    // As a user program types: through api.ble.hid.
    answer("type", n < 0 ? -1 : api.ble.hid.sendkey(keys, static_cast<uint8_t>(n)) ? 0 : -2);
  } else if (strcmp(verb, "custom") == 0) {
    udrv_ble_switch_service_mode(DRV_BLE_CUS_MODE);
    hidtest::register_custom(
        0xA000, {{0xA001, {'r', 'e', 'a', 'd', '-', '1'}, {'n', 'o', 't', 'e', '-', '1'}},
                 {0xA002, {0x10, 0x20, 0x30, 0x40}, {0x41, 0x42, 0x43, 0x44}},
                 {0xA003, {0x7F}, {0x01}}});
    answer("custom", static_cast<int32_t>(hidtest::start_custom_advertising()));
  } else if (strcmp(verb, "pin") == 0) {
    answer("pin", static_cast<int32_t>(nrf_gpio_pin_out_read(CUS_OUTPUT_PIN)));
  } else if (strcmp(verb, "update") == 0 && a1 != nullptr && a2 != nullptr) {
    static uint8_t value[32];
    const int n = parse_hex(a2, value, sizeof value);
    const uint16_t uuid = static_cast<uint16_t>(strtol(a1, nullptr, 16));
    answer("update",
           n < 0 ? -1 : static_cast<int32_t>(ble_cus_custom_value_update(&m_cus, value, uuid)));
  } else {
    Serial1.println("?");
  }
}

}  // namespace

void setup() { test_program::open_command_port(); }

void loop() {
  udrv_delay_ms(1);
  print_calls();
  test_program::run_command_lines(line, run);
}
