// Software timers, run by the timer service task ("Tmr Svc", priority 3):
// commands go through its queue of 15; callbacks run in that task.
#pragma once

#include "FreeRTOS.h"
#include "task.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tmrTimerControl* TimerHandle_t;
typedef void (*TimerCallbackFunction_t)(TimerHandle_t timer);

#define tmrCOMMAND_START ((BaseType_t)1)
#define tmrCOMMAND_RESET ((BaseType_t)2)
#define tmrCOMMAND_STOP ((BaseType_t)3)
#define tmrCOMMAND_CHANGE_PERIOD ((BaseType_t)4)
#define tmrCOMMAND_DELETE ((BaseType_t)5)
#define tmrFIRST_FROM_ISR_COMMAND ((BaseType_t)6)
#define tmrCOMMAND_START_FROM_ISR ((BaseType_t)6)
#define tmrCOMMAND_RESET_FROM_ISR ((BaseType_t)7)
#define tmrCOMMAND_STOP_FROM_ISR ((BaseType_t)8)
#define tmrCOMMAND_CHANGE_PERIOD_FROM_ISR ((BaseType_t)9)

// `period` in ticks (> 0); `auto_reload` pdTRUE restarts it at each expiry.
TimerHandle_t xTimerCreate(const char* name, TickType_t period, UBaseType_t auto_reload, void* id,
                           TimerCallbackFunction_t callback);
// A command for the service task: from a task waits up to `wait` ticks for
// room in the command queue; from-ISR codes use *woken instead. `value` is
// the start tick (start, reset) or the new period.
BaseType_t xTimerGenericCommand(TimerHandle_t timer, BaseType_t command, TickType_t value,
                                BaseType_t* woken, TickType_t wait);

#define xTimerStart(t, wait) \
  xTimerGenericCommand((t), tmrCOMMAND_START, xTaskGetTickCount(), NULL, (wait))
#define xTimerStop(t, wait) xTimerGenericCommand((t), tmrCOMMAND_STOP, 0U, NULL, (wait))
#define xTimerReset(t, wait) \
  xTimerGenericCommand((t), tmrCOMMAND_RESET, xTaskGetTickCount(), NULL, (wait))
#define xTimerChangePeriod(t, period, wait) \
  xTimerGenericCommand((t), tmrCOMMAND_CHANGE_PERIOD, (period), NULL, (wait))
#define xTimerDelete(t, wait) xTimerGenericCommand((t), tmrCOMMAND_DELETE, 0U, NULL, (wait))
#define xTimerStartFromISR(t, woken) \
  xTimerGenericCommand((t), tmrCOMMAND_START_FROM_ISR, xTaskGetTickCountFromISR(), (woken), 0U)
#define xTimerStopFromISR(t, woken) \
  xTimerGenericCommand((t), tmrCOMMAND_STOP_FROM_ISR, 0U, (woken), 0U)
#define xTimerResetFromISR(t, woken) \
  xTimerGenericCommand((t), tmrCOMMAND_RESET_FROM_ISR, xTaskGetTickCountFromISR(), (woken), 0U)
#define xTimerChangePeriodFromISR(t, period, woken) \
  xTimerGenericCommand((t), tmrCOMMAND_CHANGE_PERIOD_FROM_ISR, (period), (woken), 0U)

void* pvTimerGetTimerID(TimerHandle_t timer);
void vTimerSetTimerID(TimerHandle_t timer, void* id);
const char* pcTimerGetName(TimerHandle_t timer);
TickType_t xTimerGetPeriod(TimerHandle_t timer);
TickType_t xTimerGetExpiryTime(TimerHandle_t timer);
BaseType_t xTimerIsTimerActive(TimerHandle_t timer);
TaskHandle_t xTimerGetTimerDaemonTaskHandle(void);

#ifdef __cplusplus
}
#endif
