// Kernel tasks, the scheduler and critical sections.
#pragma once

#include "FreeRTOS.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tskTaskControlBlock* TaskHandle_t;
typedef void (*TaskFunction_t)(void* arg);

typedef enum { eRunning = 0, eReady, eBlocked, eSuspended, eDeleted, eInvalid } eTaskState;

#define tskIDLE_PRIORITY ((UBaseType_t)0)
#define taskSCHEDULER_SUSPENDED ((BaseType_t)0)
#define taskSCHEDULER_NOT_STARTED ((BaseType_t)1)
#define taskSCHEDULER_RUNNING ((BaseType_t)2)

// `stack_depth` in words (charged to the kernel heap); pdPASS, or
// errCOULD_NOT_ALLOCATE_REQUIRED_MEMORY after the malloc-failed hook.
BaseType_t xTaskCreate(TaskFunction_t code, const char* name, uint16_t stack_depth, void* arg,
                       UBaseType_t priority, TaskHandle_t* created);
void vTaskDelete(TaskHandle_t task);  // NULL: the calling task
void vTaskDelay(TickType_t ticks);
void vTaskDelayUntil(TickType_t* previous_wake, TickType_t increment);
void vTaskSuspend(TaskHandle_t task);
void vTaskResume(TaskHandle_t task);
BaseType_t xTaskResumeFromISR(TaskHandle_t task);
UBaseType_t uxTaskPriorityGet(TaskHandle_t task);
void vTaskPrioritySet(TaskHandle_t task, UBaseType_t priority);
eTaskState eTaskGetState(TaskHandle_t task);
TaskHandle_t xTaskGetCurrentTaskHandle(void);
TaskHandle_t xTaskGetIdleTaskHandle(void);
const char* pcTaskGetName(TaskHandle_t task);
UBaseType_t uxTaskGetNumberOfTasks(void);
UBaseType_t uxTaskGetStackHighWaterMark(TaskHandle_t task);

// Starts the tasks; returns only after vTaskEndScheduler (tests).
void vTaskStartScheduler(void);
void vTaskEndScheduler(void);
BaseType_t xTaskGetSchedulerState(void);
void vTaskSuspendAll(void);
BaseType_t xTaskResumeAll(void);

TickType_t xTaskGetTickCount(void);
TickType_t xTaskGetTickCountFromISR(void);

#define taskYIELD() vPortYield()
#define taskENTER_CRITICAL() vPortEnterCritical()
#define taskEXIT_CRITICAL() vPortExitCritical()
#define taskENTER_CRITICAL_FROM_ISR() ulPortRaiseBASEPRI()
#define taskEXIT_CRITICAL_FROM_ISR(x) vPortSetBASEPRI(x)
#define taskDISABLE_INTERRUPTS() portDISABLE_INTERRUPTS()
#define taskENABLE_INTERRUPTS() portENABLE_INTERRUPTS()

#ifdef __cplusplus
}
#endif
