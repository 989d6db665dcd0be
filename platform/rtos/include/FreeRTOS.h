// The real-time kernel the Apollo3 port runs on, as a stand-in on the
// simulated chip: the types, configuration and port macros every kernel
// header shares.
//
// Tasks are coroutines in the one firmware thread, switched by strict
// priority: the highest ready task runs; a task that readies a higher one
// (a give, a send) yields to it at once, and an interrupt that readies one
// switches to it when the CPU returns to thread mode after a yield request
// (portYIELD_FROM_ISR), or at the next tick otherwise. Equal priorities take
// turns at tick boundaries. With every task blocked the idle task enters
// tickless idle (the pre-sleep hook sleeps until the next interrupt).
//
// The tick is the STIMER (32768 Hz) divided by 32: 1024 ticks per second
// (configTICK_RATE_HZ keeps its nominal 1000; the port converts ms x 1.024).
//
// A call that would block inside a critical section (taskENTER_CRITICAL,
// PRIMASK set, BASEPRI raised) or in an interrupt stops the program with a
// message naming the task; so do a failed configASSERT and a kernel object
// the heap cannot hold after the malloc-failed hook returned.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef long BaseType_t;
typedef unsigned long UBaseType_t;
typedef uint32_t TickType_t;
typedef uint32_t StackType_t;

#define pdFALSE ((BaseType_t)0)
#define pdTRUE ((BaseType_t)1)
#define pdPASS pdTRUE
#define pdFAIL pdFALSE
#define errQUEUE_EMPTY ((BaseType_t)0)
#define errQUEUE_FULL ((BaseType_t)0)
#define errCOULD_NOT_ALLOCATE_REQUIRED_MEMORY (-1)
#define portMAX_DELAY ((TickType_t)0xFFFFFFFFu)

// ---- the configuration of this image's kernel ----
#define configUSE_PREEMPTION 1
#define configMAX_PRIORITIES 5
#define configTICK_RATE_HZ ((TickType_t)1000)  // nominal; really 1024 (STIMER / 32)
#define configSTIMER_CLOCK_HZ 32768
#define configSTIMER_COUNTS_PER_TICK 32
#define configUSE_TICKLESS_IDLE 2
#define configEXPECTED_IDLE_TIME_BEFORE_SLEEP 2
#define configMINIMAL_STACK_SIZE ((uint16_t)256)
#define configTOTAL_HEAP_SIZE ((size_t)67584)
#define configUSE_TIMERS 1
#define configTIMER_TASK_PRIORITY 3
#define configTIMER_TASK_STACK_DEPTH 2048
#define configTIMER_QUEUE_LENGTH 15
#define configCHECK_FOR_STACK_OVERFLOW 2
#define configUSE_MALLOC_FAILED_HOOK 1
#define configMAX_TASK_NAME_LEN 16
#define configKERNEL_INTERRUPT_PRIORITY 0xE0
#define configMAX_SYSCALL_INTERRUPT_PRIORITY 0x80

#define portTICK_PERIOD_MS ((TickType_t)1000 / configTICK_RATE_HZ)
#define pdMS_TO_TICKS(ms) ((TickType_t)(((TickType_t)(ms)*configTICK_RATE_HZ) / 1000u))

// A failed assertion stops the device (log line naming file and line).
void vAssertCalled(const char* file, int line);
#define configASSERT(x)                          \
  do {                                           \
    if (!(x)) vAssertCalled(__FILE__, __LINE__); \
  } while (0)

// ---- port: interrupts and yields ----
// Requests a context switch (PendSV) when `woken` is non-zero; it happens
// when the CPU returns to thread mode.
void vPortYieldFromISR(BaseType_t woken);
#define portYIELD_FROM_ISR(x) vPortYieldFromISR(x)
#define portEND_SWITCHING_ISR(x) vPortYieldFromISR(x)
void vPortYield(void);
#define portYIELD() vPortYield()

// Kernel critical section: BASEPRI raised to configMAX_SYSCALL_INTERRUPT_
// PRIORITY (interrupts at 0x80 and below in urgency are held), nesting.
void vPortEnterCritical(void);
void vPortExitCritical(void);
// From an interrupt: raise BASEPRI, returning the value to restore.
UBaseType_t ulPortRaiseBASEPRI(void);
void vPortSetBASEPRI(UBaseType_t value);
#define portENTER_CRITICAL() vPortEnterCritical()
#define portEXIT_CRITICAL() vPortExitCritical()
#define portSET_INTERRUPT_MASK_FROM_ISR() ulPortRaiseBASEPRI()
#define portCLEAR_INTERRUPT_MASK_FROM_ISR(x) vPortSetBASEPRI(x)
#define portDISABLE_INTERRUPTS() ((void)ulPortRaiseBASEPRI())
#define portENABLE_INTERRUPTS() vPortSetBASEPRI(0)

// ---- heap (67584 bytes, best fit; the kernel's objects come from it) ----
void* pvPortMalloc(size_t size);
void vPortFree(void* p);
size_t xPortGetFreeHeapSize(void);
size_t xPortGetMinimumEverFreeHeapSize(void);

// ---- hooks the application provides (weak defaults in the kernel) ----
// Pre-sleep of tickless idle: return 0 when the hook slept itself (the
// kernel then waits no further), non-zero to let the kernel wait for the
// next interrupt. Post-sleep follows.
uint32_t am_freertos_sleep(uint32_t idle_ticks);
void am_freertos_wakeup(uint32_t idle_ticks);
struct tskTaskControlBlock;
void vApplicationStackOverflowHook(struct tskTaskControlBlock* task, char* name);
void vApplicationMallocFailedHook(void);

// The STIMER compare handler of the tick (installed at IRQ 23 by
// vTaskStartScheduler).
void xPortStimerTickHandler(void);

#ifdef __cplusplus
}
#endif
