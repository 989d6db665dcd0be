// The runtime skeleton shared by every image (see qiv_runtime.h).
#include "qiv_runtime.h"

#include "service_mode_cli.h"
#include "service_nvm.h"
#include "udrv_powersave.h"
#include "udrv_serial.h"
#include "udrv_system.h"
#include "udrv_gpio.h"
#include "udrv_timer.h"

volatile bool no_busy_loop = false;

void qiv_running(void) { udrv_system_event_consume(); }

void qiv_loop_pass(void) {
  if (!no_busy_loop) {
    qiv_loop();
  } else if (service_nvm_get_auto_sleep_time_from_nvm() != 0) {
    // The stored time only switches sleeping on; a wake source ends it.
    udrv_sleep_ms(0);
  }
}

void qiv_serial_drain(SERIAL_PORT port) {
  if (service_nvm_get_mode_type_from_nvm(port) == SERVICE_MODE_TYPE_CUSTOM) {
    return;
  }
  while (udrv_serial_read_available(port) > 0) {
    uint8_t ch;
    if (udrv_serial_read(port, &ch, 1) != 1) {
      return;
    }
    qiv_serial_byte(port, ch);
  }
}

void qiv_serial_byte(SERIAL_PORT port, uint8_t ch) {
  if (service_nvm_get_mode_type_from_nvm(port) != SERVICE_MODE_TYPE_CLI) {
    return;
  }
  switch (udrv_serial_get_lock_state(port)) {
    case SERIAL_WLOCK_OPEN:
      service_mode_cli_handler(port, static_cast<char>(ch));
      break;
    case SERIAL_WLOCK_LOCKED:
      udrv_serial_wlock_handler(port, ch);
      break;
    default:
      break;
  }
}

extern "C" void qiv_setup(void) { setup(); }

extern "C" void qiv_loop(void) { loop(); }

bool qiv_dispatch_shared_event(const udrv_system_event_t *event) {
  switch (event->request) {
    case UDRV_SYS_EVT_OP_USER_TIMER:
    case UDRV_SYS_EVT_OP_SYS_TIMER:
      udrv_system_timer_handler_handler(event->p_context);
      return true;
    case UDRV_SYS_EVT_OP_SERIAL_FALLBACK: {
      SERIAL_PORT port =
          static_cast<SERIAL_PORT>(reinterpret_cast<uintptr_t>(event->p_context) & 0xFF);
      // What the port received in custom mode belongs to the user program:
      // the bytes it has not read, the escape line among them, are dropped
      // and never run as commands (an "ATR" inside binary data must not
      // reset the module). The escape itself is answered as the command it
      // spells.
      uint8_t drop[16];
      while (udrv_serial_read_available(port) > 0 &&
             udrv_serial_read(port, drop, sizeof drop) > 0) {
      }
      service_mode_cli_init(port);
      service_nvm_set_mode_type_to_nvm(port, SERVICE_MODE_TYPE_CLI);
      udrv_serial_log_printf("OK\r\n");
      return true;
    }
    case UDRV_SYS_EVT_OP_GPIO_INTERRUPT:
      udrv_gpio_handler_handler(event->p_context);
      return true;
    default:
      return false;
  }
}
