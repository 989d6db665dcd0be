// A user program for the BLE system tests of the Minacor: it takes one
// command a line on UART1 (custom mode) and answers there.
//   uart N        serial service mode, then advertise for N seconds
//   beacon N I    beacon mode with the interval I (0.625 ms), advertise N s
//   pair P KEY    pairing policy P with the static passkey KEY ("-": none),
//                 serial service mode started again, advertise for 60 s
//   adv N         advertise for N seconds in the current mode
//   send N        N bytes as one write on the BLE serial port
//   name TEXT     the device name
// and through api.ble (answers 1 for true, 0 for false):
//   scan T        scanner with the report hook, for T seconds (0: no end);
//                 each report comes as "report RSSI ADDRESS DATA" (hex)
//   scanstop      stops it;  scanning: "scanning 1" while it runs
//   blestop       the whole BLE stops (api.ble.stop)
//   power D       advertising transmit power (dBm)
//   advstop, advstatus, mac, setmac HEX12
//   perm N, pin KEY          pairing policy and static passkey
//   ibeacon       the iBeacon frame of kBeaconUuid, major 0x0A0B, minor
//                 0x0C0D, measured power -59;   bdata HEX   beacon data
//   bwrite TEXT   written on the serial service; bread: "bread TEXT";
//   bcustom       the serial service's port in custom mode (the program
//                 reads it)
#include <stdlib.h>
#include <string.h>

#include "command_port.h"
#include "qiv_v3_api.h"
#include "udrv_ble.h"
#include "udrv_delay.h"
#include "udrv_serial.h"
#include "uhal_ble_nrf.h"

namespace {

String line;

// Scan reports, kept by the hook (stack event interrupt) for the loop.
struct Report {
  int8_t rssi;
  uint8_t address[6];
  uint8_t length;
  uint8_t data[31];
};
Report reports[8];
volatile uint32_t reports_in;
uint32_t reports_out;

const uint8_t kBeaconUuid[16] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8,
                                 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF, 0xB0};

void on_scan(int8_t rssi, const uint8_t *address, const uint8_t *data, uint8_t length) {
  if (reports_in - reports_out >= 8) {
    return;
  }
  Report &r = reports[reports_in % 8];
  r.rssi = rssi;
  memcpy(r.address, address, 6);
  r.length = length < sizeof r.data ? length : sizeof r.data;
  memcpy(r.data, data, r.length);
  reports_in = reports_in + 1;
}

void print_reports() {
  while (reports_out != reports_in) {
    const Report &r = reports[reports_out % 8];
    Serial1.printf("report %d %02X%02X%02X%02X%02X%02X ", r.rssi, r.address[5], r.address[4],
                   r.address[3], r.address[2], r.address[1], r.address[0]);
    for (uint8_t i = 0; i < r.length; i++) {
      Serial1.printf("%02X", r.data[i]);
    }
    Serial1.printf("\r\n");
    reports_out++;
  }
}

uint8_t hex_digit(char c) {
  return static_cast<uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
}

void answer_bool(const char *what, bool result) {
  Serial1.printf("%s %d\r\n", what, result ? 1 : 0);
}

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
  } else if (strcmp(verb, "scan") == 0 && a1 != nullptr) {
    api.ble.scanner.setScannerCallback(on_scan);
    answer_bool("scan", api.ble.scanner.start(static_cast<uint16_t>(atoi(a1))));
  } else if (strcmp(verb, "scanstop") == 0) {
    answer_bool("scanstop", api.ble.scanner.stop());
  } else if (strcmp(verb, "blestop") == 0) {
    answer_bool("blestop", api.ble.stop());
  } else if (strcmp(verb, "scanning") == 0) {
    answer("scanning", uhal_is_scanning ? 1 : 0);
  } else if (strcmp(verb, "power") == 0 && a1 != nullptr) {
    answer_bool("power", api.ble.settings.txPower.set(static_cast<int8_t>(atoi(a1))));
  } else if (strcmp(verb, "advstop") == 0) {
    answer_bool("advstop", api.ble.advertise.stop());
  } else if (strcmp(verb, "advstatus") == 0) {
    answer_bool("advstatus", api.ble.advertise.status());
  } else if (strcmp(verb, "mac") == 0) {
    Serial1.printf("mac %s\r\n", api.ble.mac.get());
  } else if (strcmp(verb, "setmac") == 0 && a1 != nullptr) {
    answer_bool("setmac", api.ble.mac.set(a1));
  } else if (strcmp(verb, "perm") == 0 && a1 != nullptr) {
    answer_bool("perm", api.ble.uart.setPermission(static_cast<uint8_t>(atoi(a1))));
  } else if (strcmp(verb, "pin") == 0 && a1 != nullptr) {
    answer_bool("pin", api.ble.uart.setPIN(a1));
  } else if (strcmp(verb, "ibeacon") == 0) {
    answer_bool("ibeacon", api.ble.beacon.ibeacon.set(kBeaconUuid, 0x0A0B, 0x0C0D, -59));
  } else if (strcmp(verb, "bdata") == 0 && a1 != nullptr) {
    uint8_t data[31];
    size_t n = strlen(a1) / 2;
    if (n > sizeof data) {
      n = sizeof data;
    }
    for (size_t i = 0; i < n; i++) {
      data[i] = static_cast<uint8_t>(hex_digit(a1[2 * i]) << 4 | hex_digit(a1[2 * i + 1]));
    }
    answer_bool("bdata", api.ble.beacon.custom.set(data, static_cast<uint8_t>(n)));
  } else if (strcmp(verb, "bwrite") == 0 && a1 != nullptr) {
    answer("bwrite", api.ble.uart.write(reinterpret_cast<const uint8_t *>(a1), strlen(a1)));
  } else if (strcmp(verb, "bcustom") == 0) {
    Serial6.begin(Serial.getBaudrate(), SERIAL_8N1, ZEM_CUSTOM_MODE);
    answer("bcustom", 0);
  } else if (strcmp(verb, "bread") == 0) {
    uint8_t data[64] = {0};
    int32_t n = api.ble.uart.read(data, sizeof data - 1);
    Serial1.printf("bread %s\r\n", n > 0 ? reinterpret_cast<char *>(data) : "");
  } else {
    Serial1.println("?");
  }
}

}  // namespace

void setup() { test_program::open_command_port(); }

void loop() {
  udrv_delay_ms(1);
  print_reports();
  test_program::run_command_lines(line, run);
}
