// The driver layer's entry points that the port's files call, recorded.
#include "port_fakes.h"

#include <stdexcept>

PortFakes g_fakes;

volatile bool udrv_powersave_in_sleep;
udrv_system_event_t qiv_uart_event = {UDRV_SYS_EVT_OP_SERIAL_UART, nullptr};
udrv_system_event_t qiv_usb_event = {UDRV_SYS_EVT_OP_SERIAL_USB, nullptr};

int32_t udrv_system_event_produce(udrv_system_event_t *event) {
  g_fakes.events.push_back(event->request);
  return 0;
}

void serial_fallback_handler(SERIAL_PORT port, uint8_t ch) {
  g_fakes.fallback.push_back({port, ch});
}

void app_error_handler(ret_code_t error_code, uint32_t, const uint8_t *) {
  throw FatalError{error_code, false};
}

void app_error_handler_bare(ret_code_t error_code) { throw FatalError{error_code, true}; }
