// The core's two stack pointers. A kernel that runs its tasks on stacks of
// their own sets thread mode to the process stack (CONTROL.SPSEL on a
// Cortex-M): from then on every interrupt handler, and everything the
// simulated hardware does between the firmware's steps, runs on the core's
// main stack, as exception entry switches to MSP on the chip. A task's stack
// then holds the task's own frames only, so its depth can be measured and
// checked. Platform stand-ins use this; firmware never does.
#pragma once

#include <cstddef>

namespace sim {

void set_thread_on_process_stack(bool on);
bool thread_on_process_stack();

// True while the caller runs on the core's main stack (a handler or a
// hardware event taken while thread mode was on a process stack).
bool on_main_stack();

// Runs fn(arg) on the main stack (where the caller is when thread mode is
// not on a process stack, or the caller is there already): for the
// simulator's own work called from a task, such as its reports.
void run_on_main_stack(void (*fn)(void*), void* arg);

// The main stack's bounds (lowest address, size in bytes); it is made on
// the first switch to it.
void main_stack_bounds(const void** bottom, size_t* size);

}  // namespace sim
