// A user program for the BLE system tests of the Minacor: it takes one
// command a line on UART1 (custom mode) and answers there.
//   uart N        serial service mode, then advertise for N seconds
//   beacon N I    beacon mode with the interval I (0.625 ms), advertise N s
//   pair P KEY    pairing policy P with the static passkey KEY ("-": none),
//                 serial service mode started again, advertise for 60 s
//   adv N         advertise for N seconds in the current mode
//   send N        N bytes as one write on the BLE serial port
//   name TEXT     the device name
#include <stdlib.h>
#include <string.h>

#include "qiv_v3_api.h"
#include "udrv_ble.h"
#include "udrv_delay.h"
#include "udrv_serial.h"
#include "uhal_ble_nrf.h"

namespace {

String line;

void answer(const char *what, int32_t result) {
  Serial1.printf("%s %d\r\n", what, static_cast<int>(result));
}

void run(const String &command) {
  char text[64] = {0};
  strncpy(text, command.c_str(), sizeof text - 1);
  char *verb = strtok(text, " ");
  char *a1 = strtok(nullptr, " ");
  char *a2 = strtok(nullptr, " ");
  if (verb == nullptr) {
    return;
  }
  if (strcmp(verb, "uart") == 0 && a1 != nullptr) {
    udrv_ble_switch_service_mode(DRV_BLE_UART_MODE);
    answer("uart", udrv_ble_advertising_start(static_cast<uint8_t>(atoi(a1))));
  } else if (strcmp(verb, "beacon") == 0 && a1 != nullptr && a2 != nullptr) {
    ble_parameter.adv_interval = static_cast<uint32_t>(atoi(a2));
    udrv_ble_switch_service_mode(DRV_BLE_BEACON_MODE);
    answer("beacon", udrv_ble_advertising_start(static_cast<uint8_t>(atoi(a1))));
  } else if (strcmp(verb, "pair") == 0 && a1 != nullptr && a2 != nullptr) {
    ble_parameter.permission = static_cast<uint8_t>(atoi(a1));
    memset(ble_parameter.pairing_key, 0, sizeof ble_parameter.pairing_key);
    if (strcmp(a2, "-") != 0) {
      strncpy(reinterpret_cast<char *>(ble_parameter.pairing_key), a2,
              sizeof ble_parameter.pairing_key - 1);
    }
    udrv_ble_switch_service_mode(DRV_BLE_UART_MODE);
    answer("pair", udrv_ble_advertising_start(60));
  } else if (strcmp(verb, "adv") == 0 && a1 != nullptr) {
    answer("adv", udrv_ble_advertising_start(static_cast<uint8_t>(atoi(a1))));
  } else if (strcmp(verb, "send") == 0 && a1 != nullptr) {
    static uint8_t data[4096];
    int n = atoi(a1);
    if (n < 0 || n > static_cast<int>(sizeof data)) {
      n = 0;
    }
    for (int i = 0; i < n; i++) {
      data[i] = static_cast<uint8_t>('a' + i % 26);
    }
    answer("send", udrv_serial_write(SERIAL_BLE0, data, static_cast<uint32_t>(n)));
  } else if (strcmp(verb, "name") == 0 && a1 != nullptr) {
    answer("name", udrv_ble_set_device_name(a1, static_cast<uint8_t>(strlen(a1))));
  } else {
    Serial1.println("?");
  }
}

}  // namespace

void setup() {
  Serial1.begin(Serial.getBaudrate(), SERIAL_8N1, ZEM_CUSTOM_MODE);
  Serial1.println("ready");
}

void loop() {
  udrv_delay_ms(1);
  while (Serial1.available() > 0) {
    int c = Serial1.read();
    if (c < 0 || c == '\r') {
      continue;
    }
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    run(line);
    line = "";
  }
}
