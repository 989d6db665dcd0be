// Timer server: any number of timer objects on one hardware alarm, behind the
// driver record UTIL_TimerDriver that the board fills. Objects are kept in a
// list sorted by expiry; the alarm is armed for the first. The callbacks of
// expired objects run in the alarm interrupt (UTIL_TIMER_IRQ_Handler), in
// expiry order; a periodic object is started again before its callback runs.
//
// Rules of this implementation:
// - UTIL_TIMER_Start on a running object changes nothing and returns
//   UTIL_TIMER_OK (its expiry is not moved).
// - UTIL_TIMER_SetPeriod on a running object starts it again from now with
//   the new period.
// - UTIL_TIMER_Stop on an object that is not running returns UTIL_TIMER_OK.
// - A period below the driver's minimum timeout (and a period of 0 ticks) is
//   raised to it (to one tick).
// - The alarm runs only the objects due when it fired; one started again
//   meanwhile (periodic, or from its callback) waits for a later alarm.
// - An object whose due time has passed when it becomes the first is armed
//   at the minimum timeout from now.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  UTIL_TIMER_ONESHOT = 0,
  UTIL_TIMER_PERIODIC = 1,
} UTIL_TIMER_Mode_t;

typedef enum {
  UTIL_TIMER_OK = 0,
  UTIL_TIMER_INVALID_PARAM = 1,
  UTIL_TIMER_HW_ERROR = 2,
  UTIL_TIMER_UNKNOWN_ERROR = 3,
} UTIL_TIMER_Status_t;

typedef uint32_t UTIL_TIMER_Time_t;

// A timer object. The fields belong to the server; users only create, start,
// stop and query objects through the functions below.
typedef struct TimerEvent_s {
  uint32_t Timestamp;    // ticks to expiry, relative to the driver's context
  uint32_t ReloadValue;  // the period in ticks
  uint8_t IsPending;     // expired, callback not yet run
  uint8_t IsRunning;     // in the list
  uint8_t IsReloadStopped;
  UTIL_TIMER_Mode_t Mode;
  void (*Callback)(void*);
  void* argument;
  struct TimerEvent_s* Next;
} UTIL_TIMER_Object_t;

// The hardware below the server (ticks are the driver's unit).
typedef struct {
  UTIL_TIMER_Status_t (*InitTimer)(void);
  UTIL_TIMER_Status_t (*DeInitTimer)(void);
  UTIL_TIMER_Status_t (*StartTimerEvt)(uint32_t timeout);  // alarm at context + timeout
  UTIL_TIMER_Status_t (*StopTimerEvt)(void);
  uint32_t (*SetTimerContext)(void);
  uint32_t (*GetTimerContext)(void);
  uint32_t (*GetTimerElapsedTime)(void);  // ticks since the context
  uint32_t (*GetTimerValue)(void);        // current ticks
  uint32_t (*GetMinimumTimeout)(void);
  uint32_t (*ms2Tick)(uint32_t time_ms);
  uint32_t (*Tick2ms)(uint32_t tick);
} UTIL_TIMER_Driver_s;

// Filled by the board.
extern const UTIL_TIMER_Driver_s UTIL_TimerDriver;

UTIL_TIMER_Status_t UTIL_TIMER_Init(void);
UTIL_TIMER_Status_t UTIL_TIMER_DeInit(void);
UTIL_TIMER_Status_t UTIL_TIMER_Create(UTIL_TIMER_Object_t* obj, uint32_t period_ms,
                                      UTIL_TIMER_Mode_t mode, void (*callback)(void*),
                                      void* argument);
UTIL_TIMER_Status_t UTIL_TIMER_Start(UTIL_TIMER_Object_t* obj);
UTIL_TIMER_Status_t UTIL_TIMER_Stop(UTIL_TIMER_Object_t* obj);
UTIL_TIMER_Status_t UTIL_TIMER_SetPeriod(UTIL_TIMER_Object_t* obj, uint32_t period_ms);
uint32_t UTIL_TIMER_IsRunning(UTIL_TIMER_Object_t* obj);
UTIL_TIMER_Time_t UTIL_TIMER_GetCurrentTime(void);
UTIL_TIMER_Time_t UTIL_TIMER_GetElapsedTime(UTIL_TIMER_Time_t past_ms);
// The alarm: runs the callbacks of every expired object.
void UTIL_TIMER_IRQ_Handler(void);

#ifdef __cplusplus
}  // extern "C"
#endif
