// A user program for the system test of api.ble: it takes one command a line
// on UART1 (custom mode) and answers there.
//   uart N          UART service mode, then advertise for N seconds
//   beacon          beacon mode, then advertise
//   ibeacon         an iBeacon frame of its own, then as beacon
//   bdata HEX       beacon advertising data of its own, then as beacon
//   interval N      advertising interval (units of 0.625 ms)
//   advstop         stop advertising          advstatus   advertising 0/1
//   txpower N       transmit power (dBm)      name TEXT   device name
//   macget          mac HEX                   macset HEX  a new address
//   scan T          scan T seconds with the reporting hook (0: no end)
//   scanslow T      the same with a hook that takes 300 ms a report
//   scanquit T      a hook that removes itself at its first report and
//                   then takes 5 s
//   scanstop        stop scanning             scanint I W interval, window
//   hooks           connection hooks on       blestop     everything off
//   serial          BLE port in custom mode   read        read N TEXT
//   write TEXT      to the phone              pin N       passkey
//   perm N          security level            hid         HID keyboard
//   custom          custom service (UUIDs 1001, 1002) and its advertising
// Hooks record what they got; the loop prints it ("report RSSI ADDR DATA",
// "notify UUID on HEX" / "notify UUID off", "hook connected" /
// "hook disconnected", "hook quit").
#include <string.h>

#include "command_port.h"
#include "qiv_v3_api.h"
#include "udrv_delay.h"

namespace {

String line;

void answer(const char *what, bool ok) { Serial1.printf("%s %s\r\n", what, ok ? "ok" : "refused"); }

// ---- what the hooks saw, for the loop to print ----
struct Report {
  int8_t rssi;
  uint8_t address[6];
  uint8_t length;
  uint8_t data[31];
};
constexpr unsigned kReports = 32;
Report reports[kReports];
volatile unsigned reports_in;
unsigned reports_out;

struct Notify {
  uint16_t uuid;
  bool on;
  uint8_t value[20];
};
constexpr unsigned kNotifies = 8;
Notify notifies[kNotifies];
volatile unsigned notifies_in;
unsigned notifies_out;

volatile unsigned connects, disconnects;
unsigned connects_shown, disconnects_shown;
volatile bool quit_done;

void keep_report(int8_t rssi, const uint8_t *address, const uint8_t *data, uint8_t length) {
  if (reports_in - reports_out >= kReports) {
    return;
  }
  Report &r = reports[reports_in % kReports];
  r.rssi = rssi;
  memcpy(r.address, address, 6);
  r.length = length > 31 ? 31 : length;
  memcpy(r.data, data, r.length);
  reports_in = reports_in + 1;
}

void slow_report(int8_t rssi, const uint8_t *address, const uint8_t *data, uint8_t length) {
  keep_report(rssi, address, data, length);
  udrv_delay_ms(300);
}

void quitting_report(int8_t, const uint8_t *, const uint8_t *, uint8_t) {
  api.ble.scanner.setScannerCallback(nullptr);
  udrv_delay_ms(5000);
  quit_done = true;
}

void on_notify(uint16_t uuid, const uint8_t *value) {
  if (notifies_in - notifies_out >= kNotifies) {
    return;
  }
  Notify &n = notifies[notifies_in % kNotifies];
  n.uuid = uuid;
  n.on = value != nullptr;
  if (value != nullptr) {
    memcpy(n.value, value, sizeof(n.value));
  }
  notifies_in = notifies_in + 1;
}

void on_connect() { connects = connects + 1; }
void on_disconnect() { disconnects = disconnects + 1; }

void print_hex(const uint8_t *data, unsigned length) {
  for (unsigned i = 0; i < length; ++i) {
    Serial1.printf("%02X", data[i]);
  }
}

// Hex text into bytes; the count, 0 for bad text.
unsigned parse_hex(const String &text, uint8_t *out, unsigned max) {
  const unsigned n = text.length() / 2;
  if (text.length() % 2 != 0 || n == 0 || n > max) {
    return 0;
  }
  for (unsigned i = 0; i < n; ++i) {
    unsigned v = 0;
    for (unsigned j = 0; j < 2; ++j) {
      const char c = text.charAt(2 * i + j);
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= static_cast<unsigned>(c - '0');
      } else if (c >= 'A' && c <= 'F') {
        v |= static_cast<unsigned>(c - 'A' + 10);
      } else {
        return 0;
      }
    }
    out[i] = static_cast<uint8_t>(v);
  }
  return n;
}

void show_hooks() {
  while (reports_out != reports_in) {
    const Report &r = reports[reports_out % kReports];
    Serial1.printf("report %d ", r.rssi);
    for (int i = 5; i >= 0; --i) {
      Serial1.printf("%02X", r.address[i]);
    }
    Serial1.print(" ");
    print_hex(r.data, r.length);
    Serial1.print("\r\n");
    reports_out = reports_out + 1;
  }
  while (notifies_out != notifies_in) {
    const Notify &n = notifies[notifies_out % kNotifies];
    Serial1.printf("notify %04X %s", n.uuid, n.on ? "on " : "off");
    if (n.on) {
      print_hex(n.value, sizeof(n.value));
    }
    Serial1.print("\r\n");
    notifies_out = notifies_out + 1;
  }
  while (connects_shown != connects) {
    Serial1.println("hook connected");
    ++connects_shown;
  }
  while (disconnects_shown != disconnects) {
    Serial1.println("hook disconnected");
    ++disconnects_shown;
  }
  if (quit_done) {
    quit_done = false;
    Serial1.println("hook quit");
  }
}

void run(const String &command) {
  const int space = command.indexOf(' ');
  const String verb = space < 0 ? command : command.substring(0, space);
  const String arg = space < 0 ? String("") : command.substring(space + 1);
  if (verb == "uart") {
    api.ble.settings.blemode(ZEM_BLE_UART_MODE);
    answer("uart", api.ble.advertise.start(static_cast<uint8_t>(arg.toInt())));
  } else if (verb == "beacon") {
    api.ble.settings.blemode(ZEM_BLE_BEACON_MODE);
    answer("beacon", api.ble.advertise.start(0));
  } else if (verb == "ibeacon") {
    const uint8_t uuid[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                              0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
    const bool set = api.ble.beacon.ibeacon.set(uuid, 0x0102, 0x0304, -59);
    api.ble.settings.blemode(ZEM_BLE_BEACON_MODE);
    answer("ibeacon", set && api.ble.advertise.start(0));
  } else if (verb == "bdata") {
    uint8_t data[40];
    const unsigned n = parse_hex(arg, data, sizeof(data));
    const bool set = api.ble.beacon.custom.set(data, static_cast<uint8_t>(n));
    if (set) {
      api.ble.settings.blemode(ZEM_BLE_BEACON_MODE);
    }
    answer("bdata", set && api.ble.advertise.start(0));
  } else if (verb == "interval") {
    answer("interval", api.ble.settings.advertiseInterval.set(static_cast<uint32_t>(arg.toInt())));
  } else if (verb == "advstop") {
    answer("advstop", api.ble.advertise.stop());
  } else if (verb == "advstatus") {
    Serial1.printf("advertising %d\r\n", api.ble.advertise.status() ? 1 : 0);
  } else if (verb == "txpower") {
    answer("txpower", api.ble.settings.txPower.set(static_cast<int8_t>(arg.toInt())));
  } else if (verb == "name") {
    answer("name", api.ble.settings.broadcastName.set(arg.c_str()));
  } else if (verb == "macget") {
    Serial1.printf("mac %s\r\n", api.ble.mac.get());
  } else if (verb == "macset") {
    answer("macset", api.ble.mac.set(arg.c_str()));
  } else if (verb == "scan" || verb == "scanslow" || verb == "scanquit") {
    ZEMBleScanCallback hook = keep_report;
    if (verb == "scanslow") {
      hook = slow_report;
    } else if (verb == "scanquit") {
      hook = quitting_report;
    }
    api.ble.scanner.setScannerCallback(hook);
    answer(verb.c_str(), api.ble.scanner.start(static_cast<uint16_t>(arg.toInt())));
  } else if (verb == "scanstop") {
    answer("scanstop", api.ble.scanner.stop());
  } else if (verb == "scanint") {
    const int space2 = arg.indexOf(' ');
    const uint16_t interval = static_cast<uint16_t>(arg.substring(0, space2).toInt());
    const uint16_t window = static_cast<uint16_t>(arg.substring(space2 + 1).toInt());
    answer("scanint", api.ble.scanner.setInterval(interval, window));
  } else if (verb == "hooks") {
    answer("hooks", api.ble.registerCallback(ZEM_BLE_CONNECTED, on_connect) &&
                        api.ble.registerCallback(ZEM_BLE_DISCONNECTED, on_disconnect));
  } else if (verb == "blestop") {
    answer("blestop", api.ble.stop());
  } else if (verb == "serial") {
    Serial6.begin(Serial.getBaudrate(), SERIAL_8N1, ZEM_CUSTOM_MODE);
    answer("serial", true);
  } else if (verb == "read") {
    uint8_t buffer[64];
    const int32_t n = api.ble.uart.read(buffer, sizeof(buffer));
    Serial1.printf("read %d ", static_cast<int>(n));
    if (n > 0) {
      Serial1.write(buffer, static_cast<size_t>(n));
    }
    Serial1.printf(" (%u in all)\r\n", static_cast<unsigned>(api.ble.uart.readCount));
  } else if (verb == "write") {
    const int32_t r =
        api.ble.uart.write(reinterpret_cast<const uint8_t *>(arg.c_str()), arg.length());
    Serial1.printf("write %d\r\n", static_cast<int>(r));
  } else if (verb == "pin") {
    answer("pin", api.ble.uart.setPIN(arg.c_str()));
  } else if (verb == "perm") {
    answer("perm", api.ble.uart.setPermission(static_cast<uint8_t>(arg.toInt())));
  } else if (verb == "hid") {
    answer("hid", api.ble.hid.start(0));
  } else if (verb == "custom") {
    const uint8_t base[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                              0x01, 0x23, 0x45, 0x67, 0x00, 0x00, 0xAB, 0xCD};
    const uint16_t chars[2] = {0x1001, 0x1002};
    const bool set = api.ble.custom.init(base, chars, 2, on_notify);
    answer("custom", set && api.ble.custom.start(0));
  } else {
    Serial1.println("?");
  }
}

}  // namespace

void setup() { test_program::open_command_port(); }

void loop() {
  udrv_delay_ms(1);
  show_hooks();
  test_program::run_command_lines(line, run);
}
