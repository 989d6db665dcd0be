// A user program for the system test of the user API. On UART2 (Serial, AT
// mode) it prints what api.system reports; on UART1 (Serial1, custom mode)
// it answers each line with its number and the line in upper case, until the
// line "stop" ends its loop.
#include "qiv_v3_api.h"
#include "udrv_delay.h"

namespace {
String line;
unsigned long lines = 0;
}  // namespace

void setup() {
  Serial.begin(Serial.getBaudrate(), SERIAL_8N1, ZEM_DEFAULT_MODE);
  Serial1.begin(Serial.getBaudrate(), SERIAL_8N1, ZEM_CUSTOM_MODE);
  Serial.println(F("api test"));
  Serial.printf("fw=%s cli=%s model=%s\r\n", api.system.firmwareVersion.get().c_str(),
                api.system.cliVersion.get().c_str(), api.system.modelId.get().c_str());
  Serial.print("api=" + api.system.apiVersion.get());
  Serial.println(" chip=" + api.system.chipId.get());
}

void loop() {
  // Polls UART1 once a millisecond rather than as fast as the core runs.
  udrv_delay_ms(1);
  while (Serial1.available() > 0) {
    int c = Serial1.read();
    if (c < 0) {
      return;
    }
    if (c == '\r') {
      continue;
    }
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    ++lines;
    if (line == "stop") {
      Serial1.println("stopping");
      api.system.scheduler.task.destroy();
    } else {
      String reply = String(lines) + ":" + line;
      reply.toUpperCase();
      Serial1.println(reply);
    }
    line = "";
  }
}
