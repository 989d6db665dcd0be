// The developer trace and the interrupt-aware kernel helpers every module
// of the Apollo3 port uses.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "apollo3_port.h"
#include "rtt.h"

// ------------------------------------------------------------- trace ------
void am_log_init(void) { RTT_ConfigUpBuffer(0, NULL, NULL, 0, RTT_MODE_NO_BLOCK_SKIP); }

const char *apollo3_base_name(const char *path) {
  const char *base = path;
  for (const char *p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') {
      base = p + 1;
    }
  }
  return base;
}

void rtt_log_general_print(int terminal, const char *color, const char *file, int line,
                           const char *format, ...) {
  (void)terminal;
  char text[256];
  int n = snprintf(text, sizeof text, "%s%s:%d\t\t", color, apollo3_base_name(file), line);
  if (n < 0) {
    return;
  }
  size_t used = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
  va_list ap;
  va_start(ap, format);
  int m = vsnprintf(text + used, sizeof text - used, format, ap);
  va_end(ap);
  if (m > 0) {
    used += static_cast<size_t>(m) < sizeof text - used ? static_cast<size_t>(m)
                                                        : sizeof text - used - 1;
  }
  RTT_Write(0, text, static_cast<unsigned>(used));
  RTT_Write(0, "\r\n", 2);
}

// ------------------------------------------------------ kernel helpers ----
bool isInISR(void) { return (SCB->ICSR & 0x1FFu) != 0; }

uint32_t apollo3_kernel_critical_begin(void) {
  if (isInISR()) {
    uint32_t saved = __get_BASEPRI();
    __set_BASEPRI(0x80);
    return saved;
  }
  taskENTER_CRITICAL();
  return 0;
}

void apollo3_kernel_critical_end(uint32_t saved) {
  if (isInISR()) {
    __set_BASEPRI(saved);
    return;
  }
  taskEXIT_CRITICAL();
}

BaseType_t apollo3_timer_restart(TimerHandle_t timer, TickType_t period) {
  if (timer == nullptr) {
    return pdFAIL;
  }
  if (period == 0) {
    period = 1;
  }
  if (isInISR()) {
    BaseType_t woken = pdFALSE;
    if (xTimerStopFromISR(timer, &woken) != pdPASS ||
        xTimerChangePeriodFromISR(timer, period, &woken) != pdPASS ||
        xTimerStartFromISR(timer, &woken) != pdPASS) {
      return pdFAIL;
    }
    portYIELD_FROM_ISR(woken);
    return pdPASS;
  }
  if (xTimerStop(timer, 100) != pdPASS || xTimerChangePeriod(timer, period, 100) != pdPASS ||
      xTimerStart(timer, 100) != pdPASS) {
    return pdFAIL;
  }
  return pdPASS;
}

BaseType_t apollo3_timer_stop(TimerHandle_t timer) {
  if (timer == nullptr) {
    return pdFAIL;
  }
  if (isInISR()) {
    BaseType_t woken = pdFALSE;
    BaseType_t r = xTimerStopFromISR(timer, &woken);
    portYIELD_FROM_ISR(woken);
    return r;
  }
  return xTimerStop(timer, 100);
}

void apollo3_give(SemaphoreHandle_t sem) {
  if (sem == nullptr) {
    return;
  }
  if (isInISR()) {
    BaseType_t woken = pdFALSE;
    xQueueGiveFromISR(sem, &woken);
    portYIELD_FROM_ISR(woken);
    return;
  }
  xSemaphoreGive(sem);
}
