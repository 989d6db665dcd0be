// The application timer library: timers on a 32768 Hz clock whose handlers
// run in interrupt context. A timeout takes 5 ticks at least and fits the
// 24-bit counter.
#pragma once

#include <stdint.h>

#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

#define APP_TIMER_CLOCK_FREQ 32768u
#define APP_TIMER_MIN_TIMEOUT_TICKS 5u
#define APP_TIMER_MAX_CNT_VAL 0x00FFFFFFu
#define APP_TIMER_TICKS(ms) \
  (static_cast<uint32_t>((static_cast<uint64_t>(ms) * APP_TIMER_CLOCK_FREQ) / 1000u))

typedef enum {
  APP_TIMER_MODE_SINGLE_SHOT,
  APP_TIMER_MODE_REPEATED,
} app_timer_mode_t;

typedef void (*app_timer_timeout_handler_t)(void *p_context);

typedef struct app_timer_s {
  app_timer_timeout_handler_t handler;
  app_timer_mode_t mode;
  bool created;
  bool running;
  uint32_t period;    // ticks
  uint64_t due_tick;  // absolute tick of the next expiry
  void *context;
  uint32_t event;  // the simulator's event of the next expiry
} app_timer_t;
typedef app_timer_t *app_timer_id_t;

#define APP_TIMER_DEF(timer_id)            \
  static app_timer_t timer_id##_data = {}; \
  static const app_timer_id_t timer_id = &timer_id##_data

ret_code_t app_timer_init(void);
ret_code_t app_timer_create(app_timer_id_t const *p_timer_id, app_timer_mode_t mode,
                            app_timer_timeout_handler_t timeout_handler);
ret_code_t app_timer_start(app_timer_id_t timer_id, uint32_t timeout_ticks, void *p_context);
ret_code_t app_timer_stop(app_timer_id_t timer_id);
uint32_t app_timer_cnt_get(void);

#ifdef __cplusplus
}  // extern "C"
#endif
