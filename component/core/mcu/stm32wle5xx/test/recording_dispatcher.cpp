// The dispatcher and user program of the port's test image: every event is
// recorded for the test to look at.
#include "port_fixture.h"
#include "qiv_runtime.h"

void qiv_event_handler_func(void* p_event_data, uint16_t) {
  g_dispatched.push_back(*static_cast<udrv_system_event_t*>(p_event_data));
}

void setup(void) {}
void loop(void) {}
