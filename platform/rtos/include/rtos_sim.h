// The kernel stand-in seen from tests: observations and a reset between
// test cases. Firmware never includes this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FreeRTOS.h"
#include "task.h"

namespace rtos_sim {

// Frees every task and kernel object and forgets the scheduler (call with
// the scheduler ended or never started). The heap is whole again.
void reset();

struct TaskInfo {
  std::string name;
  UBaseType_t priority;
  uint16_t stack_depth;
  eTaskState state;
};
std::vector<TaskInfo> tasks();  // in creation order (deleted ones left out)

// Host bytes of a task's stack per byte of its declared depth.
size_t host_stack_factor();

size_t heap_used();
uint64_t context_switches();
// Times the idle task entered tickless sleep.
uint64_t idle_sleeps();
// Virtual time of a tick: when the tick count (since the scheduler started)
// reaches `tick`.
uint64_t tick_time_us(TickType_t tick);

}  // namespace rtos_sim
