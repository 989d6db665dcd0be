// Software timers and their service task "Tmr Svc": commands reach the task
// through its queue; the task sleeps until the next expiry or command and
// runs the callbacks itself.
#include <map>
#include <string>
#include <vector>

#include "internal.h"
#include "queue.h"
#include "timers.h"

struct tmrTimerControl {
  std::string name;
  TickType_t period = 0;
  bool auto_reload = false;
  void* id = nullptr;
  TimerCallbackFunction_t callback = nullptr;
  bool active = false;
  TickType_t expiry = 0;  // tick at which it expires next (while active)
  uint64_t seq = 0;       // order among timers expiring at the same tick
  size_t charged = 0;
  bool deleted = false;
};

namespace {

constexpr size_t kTimerBytes = 48;

struct Command {
  BaseType_t id;
  TickType_t value;
  TimerHandle_t timer;
};

struct Service {
  QueueHandle_t commands = nullptr;
  TaskHandle_t task = nullptr;
  std::vector<TimerHandle_t> timers;
  uint64_t seq = 0;
};

Service& svc() {
  static Service* s = new Service;
  return *s;
}

bool ensure_queue() {
  Service& s = svc();
  if (!s.commands) s.commands = xQueueCreate(configTIMER_QUEUE_LENGTH, sizeof(Command));
  return s.commands != nullptr;
}

// Ticks from `from` to `to` on the wrapping 32-bit tick count.
TickType_t ticks_until(TickType_t to, TickType_t from) { return to - from; }

// The active timer that expires first (by its distance from `now`; equal
// expiries in the order they were started).
TimerHandle_t next_timer(TickType_t now) {
  TimerHandle_t best = nullptr;
  for (TimerHandle_t t : svc().timers) {
    if (!t->active) continue;
    if (!best) {
      best = t;
      continue;
    }
    // Expiries already passed count as 0 ticks away.
    const int64_t a = static_cast<int32_t>(t->expiry - now);
    const int64_t b = static_cast<int32_t>(best->expiry - now);
    const int64_t da = a < 0 ? 0 : a;
    const int64_t db = b < 0 ? 0 : b;
    if (da < db || (da == db && t->seq < best->seq)) best = t;
  }
  return best;
}

void arm(TimerHandle_t t, TickType_t expiry) {
  t->expiry = expiry;
  t->active = true;
  t->seq = ++svc().seq;
}

bool due(const TimerHandle_t t, TickType_t now) {
  return static_cast<int32_t>(now - t->expiry) >= 0;
}

// Runs an expired timer: reloads it from its expected expiry (so a periodic
// timer keeps its phase), then calls its callback.
void expire(TimerHandle_t t) {
  if (t->auto_reload)
    arm(t, t->expiry + t->period);
  else
    t->active = false;
  t->callback(t);
}

void process(const Command& c) {
  TimerHandle_t t = c.timer;
  if (!t || t->deleted) return;
  const TickType_t now = xTaskGetTickCount();
  switch (c.id) {
    case tmrCOMMAND_START:
    case tmrCOMMAND_RESET:
    case tmrCOMMAND_START_FROM_ISR:
    case tmrCOMMAND_RESET_FROM_ISR:
      // Relative to the tick at which the command was given; a command that
      // waited past the expiry runs the timer at once.
      arm(t, c.value + t->period);
      if (ticks_until(t->expiry, c.value) <= ticks_until(now, c.value)) expire(t);
      break;
    case tmrCOMMAND_STOP:
    case tmrCOMMAND_STOP_FROM_ISR:
      t->active = false;
      break;
    case tmrCOMMAND_CHANGE_PERIOD:
    case tmrCOMMAND_CHANGE_PERIOD_FROM_ISR:
      t->period = c.value;
      arm(t, now + t->period);
      break;
    case tmrCOMMAND_DELETE: {
      t->active = false;
      t->deleted = true;
      auto& v = svc().timers;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (*it == t) {
          v.erase(it);
          break;
        }
      }
      rtos_detail::heap_release(t->charged);
      delete t;
      break;
    }
    default:
      break;
  }
}

void service_task(void*) {
  Service& s = svc();
  for (;;) {
    const TickType_t now = xTaskGetTickCount();
    TimerHandle_t next = next_timer(now);
    if (next && due(next, now)) {
      expire(next);
    } else {
      const TickType_t wait = next ? ticks_until(next->expiry, now) : portMAX_DELAY;
      Command c;
      if (xQueueReceive(s.commands, &c, wait) == pdPASS) process(c);
    }
    Command c;
    while (xQueueReceive(s.commands, &c, 0) == pdPASS) process(c);
  }
}

}  // namespace

namespace rtos_detail {

void timers_start() {
  Service& s = svc();
  if (s.task || !ensure_queue()) return;
  xTaskCreate(service_task, "Tmr Svc", configTIMER_TASK_STACK_DEPTH, nullptr,
              configTIMER_TASK_PRIORITY, &s.task);
}

void timers_reset() {
  Service& s = svc();
  for (TimerHandle_t t : s.timers) delete t;
  s = Service{};
}

}  // namespace rtos_detail

extern "C" {

TimerHandle_t xTimerCreate(const char* name, TickType_t period, UBaseType_t auto_reload, void* id,
                           TimerCallbackFunction_t callback) {
  if (period == 0) rtos_detail::stop("xTimerCreate(\"%s\") with a period of 0", name ? name : "");
  if (!callback) rtos_detail::stop("xTimerCreate(\"%s\") without a callback", name ? name : "");
  if (!ensure_queue()) return nullptr;
  size_t charged = 0;
  if (!rtos_detail::heap_charge(kTimerBytes, &charged)) return nullptr;
  TimerHandle_t t = new tmrTimerControl;
  t->name = name ? name : "";
  t->period = period;
  t->auto_reload = auto_reload != 0;
  t->id = id;
  t->callback = callback;
  t->charged = charged;
  svc().timers.push_back(t);
  return t;
}

BaseType_t xTimerGenericCommand(TimerHandle_t timer, BaseType_t command, TickType_t value,
                                BaseType_t* woken, TickType_t wait) {
  if (!timer) rtos_detail::stop("a timer command on a null timer");
  if ((command == tmrCOMMAND_CHANGE_PERIOD || command == tmrCOMMAND_CHANGE_PERIOD_FROM_ISR) &&
      value == 0)
    rtos_detail::stop("timer \"%s\" given a period of 0", timer->name.c_str());
  Service& s = svc();
  if (!s.commands) return pdFAIL;
  const Command c{command, value, timer};
  if (command >= tmrFIRST_FROM_ISR_COMMAND)
    return xQueueGenericSendFromISR(s.commands, &c, woken, queueSEND_TO_BACK);
  // Before the scheduler runs nothing may wait.
  if (xTaskGetSchedulerState() != taskSCHEDULER_RUNNING) wait = 0;
  return xQueueGenericSend(s.commands, &c, wait, queueSEND_TO_BACK);
}

void* pvTimerGetTimerID(TimerHandle_t timer) { return timer ? timer->id : nullptr; }
void vTimerSetTimerID(TimerHandle_t timer, void* id) {
  if (timer) timer->id = id;
}
const char* pcTimerGetName(TimerHandle_t timer) { return timer ? timer->name.c_str() : ""; }
TickType_t xTimerGetPeriod(TimerHandle_t timer) { return timer ? timer->period : 0; }
TickType_t xTimerGetExpiryTime(TimerHandle_t timer) { return timer ? timer->expiry : 0; }
BaseType_t xTimerIsTimerActive(TimerHandle_t timer) {
  return timer && timer->active ? pdTRUE : pdFALSE;
}
TaskHandle_t xTimerGetTimerDaemonTaskHandle(void) { return svc().task; }

}  // extern "C"
