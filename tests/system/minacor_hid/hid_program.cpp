// A user program for the system tests of the HID keyboard and custom
// service modes on a Minacor image: it registers what those modes need
// (registration.cpp, which the images leave out) and takes one command a
// line on UART1 (custom mode), answering there.
//   hid            HID mode, the HID service registered, advertise without end
//   adv N          advertise for N seconds in the current mode
//   type HEX       key codes (two hex digits each) into the ring
//   custom         custom mode, the service 0xA000 registered, advertise
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

void run(const String &command) {
  char text[96] = {0};
  strncpy(text, command.c_str(), sizeof text - 1);
  char *verb = strtok(text, " ");
  char *a1 = strtok(nullptr, " ");
  char *a2 = strtok(nullptr, " ");
  if (verb == nullptr) return;
  if (strcmp(verb, "hid") == 0) {
    udrv_ble_switch_service_mode(DRV_BLE_HID_MODE);
    hidtest::register_hid();
    answer("hid", udrv_ble_advertising_start(0));
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
  test_program::run_command_lines(line, run);
}
