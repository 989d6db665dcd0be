// Binary and counting semaphores and mutexes (with priority inheritance).
#pragma once

#include "queue.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef QueueHandle_t SemaphoreHandle_t;

#define semGIVE_BLOCK_TIME ((TickType_t)0)

// A binary semaphore starts empty (taken).
#define xSemaphoreCreateBinary() \
  xQueueGenericCreate((UBaseType_t)1, (UBaseType_t)0, queueQUEUE_TYPE_BINARY_SEMAPHORE)
#define xSemaphoreCreateCounting(max, initial) xQueueCreateCountingSemaphore((max), (initial))
#define xSemaphoreCreateMutex() xQueueCreateMutex(queueQUEUE_TYPE_MUTEX)
#define vSemaphoreDelete(s) vQueueDelete((QueueHandle_t)(s))

#define xSemaphoreTake(s, wait) xQueueSemaphoreTake((s), (wait))
#define xSemaphoreGive(s) \
  xQueueGenericSend((QueueHandle_t)(s), NULL, semGIVE_BLOCK_TIME, queueSEND_TO_BACK)
#define xSemaphoreTakeFromISR(s, woken) xQueueReceiveFromISR((QueueHandle_t)(s), NULL, (woken))
#define xSemaphoreGiveFromISR(s, woken) xQueueGiveFromISR((QueueHandle_t)(s), (woken))
#define uxSemaphoreGetCount(s) uxQueueMessagesWaiting((QueueHandle_t)(s))
#define xSemaphoreGetMutexHolder(s) xQueueGetMutexHolder((s))

#ifdef __cplusplus
}  // extern "C"
#endif
