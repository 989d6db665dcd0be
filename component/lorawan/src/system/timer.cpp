/*!
 * \file timer.cpp
 *
 * \brief Timer list: started timers in one list sorted by expiry, the head's
 *        expiry armed on the RTC alarm. Timestamps are ticks relative to the
 *        RTC timer context, which is renewed when a timer starts into an empty
 *        list and at every alarm.
 */
#include "timer.h"

#include "board.h"
#include "delay.h"
#include "rtc-board.h"

static TimerEvent_t* TimerListHead = NULL;

static void TimerInsertNewHeadTimer(TimerEvent_t* obj);
static void TimerInsertTimer(TimerEvent_t* obj);
static void TimerSetTimeout(TimerEvent_t* obj);
static bool TimerExists(TimerEvent_t* obj);

void TimerInit(TimerEvent_t* obj, void (*callback)(void* context)) {
  obj->Timestamp = 0;
  obj->ReloadValue = 0;
  obj->IsStarted = false;
  obj->IsNext2Expire = false;
  obj->Callback = callback;
  obj->Context = NULL;
  obj->Next = NULL;
}

void TimerStart(TimerEvent_t* obj) {
  uint32_t elapsedTime = 0;
  uint32_t mask;

  BoardCriticalSectionBegin(&mask);

  if ((obj == NULL) || (TimerExists(obj) == true)) {
    BoardCriticalSectionEnd(&mask);
    return;
  }

  // A timer is never due at the moment it starts: one without a period
  // (never set) waits the minimum timeout, as TimerSetValue(0) would. A
  // timer restarted by its own callback can therefore not be run again by
  // the alarm that ran it.
  uint32_t minTicks = RtcGetMinimumTimeout();
  if (minTicks == 0) {
    minTicks = 1;
  }
  obj->Timestamp = (obj->ReloadValue < minTicks) ? minTicks : obj->ReloadValue;
  obj->IsStarted = true;
  obj->IsNext2Expire = false;

  if (TimerListHead == NULL) {
    RtcSetTimerContext();
    // Inserts a timer at time now + obj->Timestamp
    TimerInsertNewHeadTimer(obj);
  } else {
    elapsedTime = RtcGetTimerElapsedTime();
    obj->Timestamp += elapsedTime;

    if (obj->Timestamp < TimerListHead->Timestamp) {
      TimerInsertNewHeadTimer(obj);
    } else {
      TimerInsertTimer(obj);
    }
  }
  BoardCriticalSectionEnd(&mask);
}

/*!
 * After every timer whose Timestamp is smaller, before the first one that is
 * greater or equal (a timer equal to the head goes after the head).
 */
static void TimerInsertTimer(TimerEvent_t* obj) {
  TimerEvent_t* cur = TimerListHead;
  TimerEvent_t* next = TimerListHead->Next;

  while (cur->Next != NULL) {
    if (obj->Timestamp > next->Timestamp) {
      cur = next;
      next = next->Next;
    } else {
      cur->Next = obj;
      obj->Next = next;
      return;
    }
  }
  cur->Next = obj;
  obj->Next = NULL;
}

static void TimerInsertNewHeadTimer(TimerEvent_t* obj) {
  TimerEvent_t* cur = TimerListHead;

  if (cur != NULL) {
    cur->IsNext2Expire = false;
  }

  obj->Next = cur;
  TimerListHead = obj;
  TimerSetTimeout(TimerListHead);
}

void TimerIrqHandler(void) {
  TimerEvent_t* cur;
  TimerEvent_t* next;

  uint32_t old = RtcGetTimerContext();
  uint32_t now = RtcSetTimerContext();
  uint32_t deltaContext = now - old;  // intentional wrap around

  // Rebase every timer after the head on the new context.
  if (TimerListHead != NULL) {
    for (cur = TimerListHead; cur->Next != NULL; cur = cur->Next) {
      next = cur->Next;
      if (next->Timestamp > deltaContext) {
        next->Timestamp -= deltaContext;
      } else {
        next->Timestamp = 0;
      }
    }
  }

  const uint32_t dueBy = RtcGetTimerElapsedTime();

  // Expire the head.
  if (TimerListHead != NULL) {
    cur = TimerListHead;
    TimerListHead = TimerListHead->Next;
    cur->IsStarted = false;
    cur->IsNext2Expire = false;
    // A timer without a callback only leaves the list.
    if (cur->Callback != NULL) {
      cur->Callback(cur->Context);
    }
  }

  // Expire every timer that was due when the alarm fired, those due right
  // then included, in list order. The bound is taken once, before any
  // callback: a timer that a callback starts lies beyond it, so each call
  // ends after the timers it found (a later expiry gets its own alarm).
  while ((TimerListHead != NULL) && (TimerListHead->Timestamp <= dueBy)) {
    cur = TimerListHead;
    TimerListHead = TimerListHead->Next;
    cur->IsStarted = false;
    cur->IsNext2Expire = false;
    if (cur->Callback != NULL) {
      cur->Callback(cur->Context);
    }
  }

  // Arm the next one.
  if ((TimerListHead != NULL) && (TimerListHead->IsNext2Expire == false)) {
    TimerSetTimeout(TimerListHead);
  }
}

void TimerStop(TimerEvent_t* obj) {
  uint32_t mask;

  BoardCriticalSectionBegin(&mask);

  TimerEvent_t* prev = TimerListHead;
  TimerEvent_t* cur = TimerListHead;

  if ((TimerListHead == NULL) || (obj == NULL)) {
    BoardCriticalSectionEnd(&mask);
    return;
  }

  obj->IsStarted = false;

  if (TimerListHead == obj) {
    if (TimerListHead->IsNext2Expire == true) {
      TimerListHead->IsNext2Expire = false;
      if (TimerListHead->Next != NULL) {
        TimerListHead = TimerListHead->Next;
        TimerSetTimeout(TimerListHead);
      } else {
        RtcStopAlarm();
        TimerListHead = NULL;
      }
    } else {
      TimerListHead = TimerListHead->Next;
    }
  } else {
    while (cur != NULL) {
      if (cur == obj) {
        prev->Next = cur->Next;
        break;
      }
      prev = cur;
      cur = cur->Next;
    }
  }
  BoardCriticalSectionEnd(&mask);
}

static bool TimerExists(TimerEvent_t* obj) {
  TimerEvent_t* cur = TimerListHead;

  while (cur != NULL) {
    if (cur == obj) {
      return true;
    }
    cur = cur->Next;
  }
  return false;
}

void TimerSetValue(TimerEvent_t* obj, uint32_t value) {
  uint32_t minValue = 0;
  uint32_t ticks = RtcMs2Tick(value);

  TimerStop(obj);

  minValue = RtcGetMinimumTimeout();
  if (ticks < minValue) {
    ticks = minValue;
  }
  obj->Timestamp = ticks;
  obj->ReloadValue = ticks;
}

TimerTime_t TimerGetCurrentTime(void) {
  uint32_t now = RtcGetTimerValue();
  return RtcTick2Ms(now);
}

TimerTime_t TimerGetElapsedTime(TimerTime_t past) {
  if (past == 0) {
    return 0;
  }
  uint32_t nowInTicks = RtcGetTimerValue();
  uint32_t pastInTicks = RtcMs2Tick(past);
  // Intentional wrap around: the difference is taken in ticks.
  return RtcTick2Ms(nowInTicks - pastInTicks);
}

static void TimerSetTimeout(TimerEvent_t* obj) {
  int32_t minTicks = (int32_t)RtcGetMinimumTimeout();
  obj->IsNext2Expire = true;

  // An expiry already too close (or past) is armed at the minimum timeout
  // from now.
  if (obj->Timestamp < (RtcGetTimerElapsedTime() + (uint32_t)minTicks)) {
    obj->Timestamp = RtcGetTimerElapsedTime() + (uint32_t)minTicks;
  }
  RtcSetAlarm(obj->Timestamp);
}

TimerTime_t TimerTempCompensation(TimerTime_t period, float temperature) {
  return RtcTempCompensation(period, temperature);
}

void DelayMs(uint32_t ms) { DelayMsMcu(ms); }
