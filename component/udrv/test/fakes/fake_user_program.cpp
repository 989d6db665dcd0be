// A user program that counts its calls.
#include "fake_port.h"
#include "qiv_app.h"

using fake::port;

// ---- The user program ----
void setup(void) { port.setup_calls++; }

void loop(void) {
  port.loop_calls++;
  if (port.on_loop) {
    port.on_loop();
  }
}
