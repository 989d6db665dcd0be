// A user program for the system test of api.ble: it takes one command a line
// on UART1 (custom mode) and answers there.
//   uart N    UART service mode, then advertise for N seconds
//   beacon    beacon mode, then advertise
#include "qiv_v3_api.h"
#include "udrv_delay.h"

namespace {

String line;

void answer(const char *what, bool ok) { Serial1.printf("%s %s\r\n", what, ok ? "ok" : "refused"); }

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
