// Kernel queues (copies of fixed-size items, FIFO). Semaphores and mutexes
// (semphr.h) are queues without data.
#pragma once

#include "FreeRTOS.h"
#include "task.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QueueDefinition* QueueHandle_t;

#define queueSEND_TO_BACK ((BaseType_t)0)
#define queueSEND_TO_FRONT ((BaseType_t)1)
#define queueOVERWRITE ((BaseType_t)2)

#define queueQUEUE_TYPE_BASE ((uint8_t)0)
#define queueQUEUE_TYPE_MUTEX ((uint8_t)1)
#define queueQUEUE_TYPE_COUNTING_SEMAPHORE ((uint8_t)2)
#define queueQUEUE_TYPE_BINARY_SEMAPHORE ((uint8_t)3)

QueueHandle_t xQueueGenericCreate(UBaseType_t length, UBaseType_t item_size, uint8_t type);
#define xQueueCreate(length, item_size) \
  xQueueGenericCreate((length), (item_size), queueQUEUE_TYPE_BASE)
void vQueueDelete(QueueHandle_t queue);
BaseType_t xQueueReset(QueueHandle_t queue);

// From a task: waits up to `wait` ticks for room (portMAX_DELAY: for ever).
BaseType_t xQueueGenericSend(QueueHandle_t queue, const void* item, TickType_t wait,
                             BaseType_t position);
#define xQueueSend(q, item, wait) xQueueGenericSend((q), (item), (wait), queueSEND_TO_BACK)
#define xQueueSendToBack(q, item, wait) xQueueGenericSend((q), (item), (wait), queueSEND_TO_BACK)
#define xQueueSendToFront(q, item, wait) xQueueGenericSend((q), (item), (wait), queueSEND_TO_FRONT)
#define xQueueOverwrite(q, item) xQueueGenericSend((q), (item), 0, queueOVERWRITE)
BaseType_t xQueueReceive(QueueHandle_t queue, void* item, TickType_t wait);
BaseType_t xQueuePeek(QueueHandle_t queue, void* item, TickType_t wait);

// From an interrupt: never wait; *woken (may be NULL) is set when a task of
// higher priority than the interrupted one became ready.
BaseType_t xQueueGenericSendFromISR(QueueHandle_t queue, const void* item, BaseType_t* woken,
                                    BaseType_t position);
#define xQueueSendFromISR(q, item, woken) \
  xQueueGenericSendFromISR((q), (item), (woken), queueSEND_TO_BACK)
#define xQueueSendToBackFromISR(q, item, woken) \
  xQueueGenericSendFromISR((q), (item), (woken), queueSEND_TO_BACK)
#define xQueueSendToFrontFromISR(q, item, woken) \
  xQueueGenericSendFromISR((q), (item), (woken), queueSEND_TO_FRONT)
BaseType_t xQueueGiveFromISR(QueueHandle_t queue, BaseType_t* woken);
BaseType_t xQueueReceiveFromISR(QueueHandle_t queue, void* item, BaseType_t* woken);
BaseType_t xQueuePeekFromISR(QueueHandle_t queue, void* item);

UBaseType_t uxQueueMessagesWaiting(QueueHandle_t queue);
UBaseType_t uxQueueMessagesWaitingFromISR(QueueHandle_t queue);
UBaseType_t uxQueueSpacesAvailable(QueueHandle_t queue);
BaseType_t xQueueIsQueueEmptyFromISR(QueueHandle_t queue);
BaseType_t xQueueIsQueueFullFromISR(QueueHandle_t queue);

// Semaphore and mutex primitives (semphr.h maps onto them).
QueueHandle_t xQueueCreateMutex(uint8_t type);
QueueHandle_t xQueueCreateCountingSemaphore(UBaseType_t max_count, UBaseType_t initial_count);
BaseType_t xQueueSemaphoreTake(QueueHandle_t queue, TickType_t wait);
TaskHandle_t xQueueGetMutexHolder(QueueHandle_t mutex);

#ifdef __cplusplus
}
#endif
