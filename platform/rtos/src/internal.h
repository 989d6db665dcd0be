// Shared between the kernel and its timer service; not an interface.
#pragma once

#include <cstddef>

#include "FreeRTOS.h"
#include "task.h"

namespace rtos_detail {

// Charges a kernel object to the heap (with the allocator's block header
// and alignment); false, after the malloc-failed hook, when it does not fit.
bool heap_charge(size_t bytes, size_t* charged);
void heap_release(size_t charged);

bool in_isr();
[[noreturn]] void stop(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The timer service (timers.cpp): its task is created with the scheduler;
// reset frees every timer.
void timers_start();
void timers_reset();

}  // namespace rtos_detail
