#include "service_debug.h"

#include <stdarg.h>
#include <stdio.h>

#include "service_nvm.h"
#include "udrv_serial.h"

#define SERVICE_DEBUG_BUFFER_SIZE 512

uint32_t service_set_debug_level(uint8_t level) {
  return service_nvm_set_debug_level_to_nvm(level);
}

uint8_t service_get_debug_level(void) { return service_nvm_get_debug_level_from_nvm(); }

void service_debug(const char *fmt, ...) {
  if (service_get_debug_level() != 1) {
    return;
  }
  char text[SERVICE_DEBUG_BUFFER_SIZE];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(text, sizeof(text), fmt, ap);
  va_end(ap);
  if (n < 0) {
    return;
  }
  // The rendered text may hold '%' signs of its own: print it as data,
  // never as a format.
  udrv_serial_log_printf("%s", text);
}
