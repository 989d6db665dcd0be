// Timer server on the board's alarm driver.
#include "util_timer.h"

#include "sim/sim.h"

namespace {

UTIL_TIMER_Object_t* g_head = nullptr;

const UTIL_TIMER_Driver_s& drv() { return UTIL_TimerDriver; }

struct Critical {
  uint32_t mask = sim::get_primask();
  Critical() { sim::set_primask(1); }
  ~Critical() { sim::set_primask(mask); }
};

bool in_list(const UTIL_TIMER_Object_t* obj) {
  for (const UTIL_TIMER_Object_t* t = g_head; t; t = t->Next)
    if (t == obj) return true;
  return false;
}

// Arms the alarm for the first object; one already due is armed at the
// minimum timeout from now.
void arm_head() {
  if (!g_head) {
    drv().StopTimerEvt();
    return;
  }
  uint32_t earliest = drv().GetTimerElapsedTime() + drv().GetMinimumTimeout();
  uint32_t at = g_head->Timestamp < earliest ? earliest : g_head->Timestamp;
  drv().StartTimerEvt(at);
}

void unlink(UTIL_TIMER_Object_t* obj) {
  for (UTIL_TIMER_Object_t** p = &g_head; *p; p = &(*p)->Next) {
    if (*p == obj) {
      *p = obj->Next;
      obj->Next = nullptr;
      return;
    }
  }
}

// Inserts by expiry; an object due at the same time as others goes after them.
void insert(UTIL_TIMER_Object_t* obj) {
  if (!g_head || obj->Timestamp < g_head->Timestamp) {
    obj->Next = g_head;
    g_head = obj;
    arm_head();
    return;
  }
  UTIL_TIMER_Object_t* t = g_head;
  while (t->Next && t->Next->Timestamp <= obj->Timestamp) t = t->Next;
  obj->Next = t->Next;
  t->Next = obj;
}

}  // namespace

UTIL_TIMER_Status_t UTIL_TIMER_Init(void) {
  g_head = nullptr;
  return drv().InitTimer();
}

UTIL_TIMER_Status_t UTIL_TIMER_DeInit(void) {
  g_head = nullptr;
  return drv().DeInitTimer ? drv().DeInitTimer() : UTIL_TIMER_OK;
}

UTIL_TIMER_Status_t UTIL_TIMER_Create(UTIL_TIMER_Object_t* obj, uint32_t period_ms,
                                      UTIL_TIMER_Mode_t mode, void (*callback)(void*),
                                      void* argument) {
  if (!obj || !callback) return UTIL_TIMER_INVALID_PARAM;
  {
    Critical cs;
    if (in_list(obj)) unlink(obj);
  }
  obj->Timestamp = 0;
  obj->ReloadValue = drv().ms2Tick(period_ms);
  obj->IsPending = 0;
  obj->IsRunning = 0;
  obj->IsReloadStopped = 0;
  obj->Mode = mode;
  obj->Callback = callback;
  obj->argument = argument;
  obj->Next = nullptr;
  return UTIL_TIMER_OK;
}

UTIL_TIMER_Status_t UTIL_TIMER_Start(UTIL_TIMER_Object_t* obj) {
  if (!obj || !obj->Callback) return UTIL_TIMER_INVALID_PARAM;
  Critical cs;
  if (in_list(obj)) return UTIL_TIMER_OK;
  // Never due at the moment it starts (not even with a driver without a
  // minimum): an object started again by the alarm that ran it, periodic or
  // restarted from its callback, cannot be run again by that same alarm.
  uint32_t ticks = obj->ReloadValue;
  uint32_t min = drv().GetMinimumTimeout();
  if (min == 0) min = 1;
  if (ticks < min) ticks = min;
  obj->Timestamp = ticks;
  obj->IsPending = 0;
  obj->IsRunning = 1;
  obj->IsReloadStopped = 0;
  if (!g_head) {
    drv().SetTimerContext();
  } else {
    obj->Timestamp += drv().GetTimerElapsedTime();
  }
  insert(obj);
  return UTIL_TIMER_OK;
}

UTIL_TIMER_Status_t UTIL_TIMER_Stop(UTIL_TIMER_Object_t* obj) {
  if (!obj) return UTIL_TIMER_INVALID_PARAM;
  Critical cs;
  obj->IsReloadStopped = 1;
  obj->IsRunning = 0;
  obj->IsPending = 0;
  if (g_head == obj) {
    g_head = obj->Next;
    obj->Next = nullptr;
    arm_head();
  } else {
    unlink(obj);
  }
  return UTIL_TIMER_OK;
}

UTIL_TIMER_Status_t UTIL_TIMER_SetPeriod(UTIL_TIMER_Object_t* obj, uint32_t period_ms) {
  if (!obj) return UTIL_TIMER_INVALID_PARAM;
  obj->ReloadValue = drv().ms2Tick(period_ms);
  Critical cs;
  if (in_list(obj)) {
    UTIL_TIMER_Stop(obj);
    return UTIL_TIMER_Start(obj);
  }
  return UTIL_TIMER_OK;
}

uint32_t UTIL_TIMER_IsRunning(UTIL_TIMER_Object_t* obj) {
  Critical cs;
  return obj && in_list(obj) ? 1 : 0;
}

UTIL_TIMER_Time_t UTIL_TIMER_GetCurrentTime(void) { return drv().Tick2ms(drv().GetTimerValue()); }

UTIL_TIMER_Time_t UTIL_TIMER_GetElapsedTime(UTIL_TIMER_Time_t past_ms) {
  uint32_t now_ticks = drv().GetTimerValue();
  uint32_t past_ticks = drv().ms2Tick(past_ms);
  return drv().Tick2ms(now_ticks - past_ticks);
}

void UTIL_TIMER_IRQ_Handler(void) {
  {
    Critical cs;
    uint32_t old = drv().GetTimerContext();
    uint32_t now = drv().SetTimerContext();
    uint32_t delta = now - old;
    for (UTIL_TIMER_Object_t* t = g_head; t; t = t->Next)
      t->Timestamp = t->Timestamp > delta ? t->Timestamp - delta : 0;
  }
  for (;;) {
    UTIL_TIMER_Object_t* obj;
    {
      Critical cs;
      obj = g_head;
      if (!obj || obj->Timestamp != 0) break;
      g_head = obj->Next;
      obj->Next = nullptr;
      obj->IsRunning = 0;
      obj->IsPending = 1;
      if (obj->Mode == UTIL_TIMER_PERIODIC && !obj->IsReloadStopped) UTIL_TIMER_Start(obj);
    }
    obj->IsPending = 0;
    obj->Callback(obj->argument);
  }
  Critical cs;
  arm_head();
}
