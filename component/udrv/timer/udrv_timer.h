// Timers of the driver layer: the port's timer table (only its set-up is
// called through it), the five system timers, the five user timers and the
// single user application timer. Expiries are posted as system events by the
// port and run in the dispatcher through udrv_system_timer_handler_handler.
#pragma once

#include <stdint.h>

typedef void (*timer_handler)(void *pdata);

typedef enum : uint8_t {
  TIMER_0 = 0,
  TIMER_1,
  TIMER_2,
  TIMER_3,
  TIMER_4,
  TIMER_ID_MAX,
} TimerID_E;

typedef enum : uint8_t {
  SYSTIMER_LORAWAN = 0,
  SYSTIMER_TRANSPARENT_MODE = 1,
  SYSTIMER_PROTOCOL_MODE = 2,
  SYSTIMER_LED = 3,
  SYSTIMER_LCT = 4,
  SYSTIMER_ID_MAX = 5,
} SysTimerID_E;

typedef enum : uint8_t {
  HTMR_ONESHOT = 0,
  HTMR_PERIODIC = 1,
} TimerMode_E;

// The port's timer table.
typedef struct {
  void (*TIMER_INIT)(void);
  int32_t (*TIMER_CREATE)(TimerID_E timer_id, timer_handler tmr_handler, TimerMode_E mode);
  int32_t (*TIMER_START)(TimerID_E timer_id, uint32_t count, void *m_data);
  int32_t (*TIMER_STOP)(TimerID_E timer_id);
} udrv_timer_api;

// Filled by the port.
extern udrv_timer_api timer_driver;

void udrv_timer_init(void);

int32_t udrv_system_timer_create(SysTimerID_E timer_id, timer_handler tmr_handler,
                                 TimerMode_E mode);
int32_t udrv_system_timer_start(SysTimerID_E timer_id, uint32_t count,
                                void *m_data);  // count in ms
int32_t udrv_system_timer_stop(SysTimerID_E timer_id);
// Runs a system or user timer expiry in the dispatcher's context.
void udrv_system_timer_handler_handler(void *pdata);

int32_t udrv_system_user_app_timer_create(timer_handler tmr_handler, TimerMode_E mode);
int32_t udrv_system_user_app_timer_start(uint32_t count, void *m_data);
int32_t udrv_system_user_app_timer_stop(void);

// ---- Port contract: what every port provides for this class ----
// timer_driver above (the user timers; TIMER_INIT sets the timers up), and
// the system timers: create once with the handler and the mode, start for
// count ms with the context the handler gets, stop; each returns 0 or a
// negated code. An expiry posts UDRV_SYS_EVT_OP_SYS_TIMER (user timers
// UDRV_SYS_EVT_OP_USER_TIMER) with the timer's record as context.
int32_t uhal_sys_timer_create(SysTimerID_E timer_id, timer_handler tmr_handler, TimerMode_E mode);
int32_t uhal_sys_timer_start(SysTimerID_E timer_id, uint32_t count, void *m_data);
int32_t uhal_sys_timer_stop(SysTimerID_E timer_id);
// Run the handler of the timer record carried by a timer event.
void uhal_timer_handler_handler(void *pdata);
// The single user application timer, the same way.
int32_t uhal_sys_user_app_timer_create(timer_handler tmr_handler, TimerMode_E mode);
int32_t uhal_sys_user_app_timer_start(uint32_t count, void *m_data);
int32_t uhal_sys_user_app_timer_stop(void);
