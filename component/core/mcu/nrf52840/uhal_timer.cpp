// Timers of the nRF52840 images on the application timer library: five
// slots (the driver layer's system timers and user timers share them), the
// user application timer and the power-save timer.
#include "app_timer.h"
#include "nrf52840_port.h"
#include "udrv_powersave.h"
#include "udrv_timer.h"

namespace {

constexpr uint32_t kSlots = 5;

struct uhal_timer_pdata_t {
  uint32_t slot;
  void *data;
  timer_handler callback;
};

uhal_timer_pdata_t uhal_timer_pdata[kSlots];
udrv_system_event_t qiv_user_timer_event[kSlots];

APP_TIMER_DEF(m_timer_0);
APP_TIMER_DEF(m_timer_1);
APP_TIMER_DEF(m_timer_2);
APP_TIMER_DEF(m_timer_3);
APP_TIMER_DEF(m_timer_4);
const app_timer_id_t slot_timer[kSlots] = {m_timer_0, m_timer_1, m_timer_2, m_timer_3, m_timer_4};

APP_TIMER_DEF(uhal_user_app_timer_id);
timer_handler user_app_callback;
void *user_app_data;
bool user_app_created;
udrv_system_event_t qiv_user_app_timer_event;

APP_TIMER_DEF(uhal_ps_timer_id);
timer_handler ps_handler;
uint64_t ps_remaining;  // ticks still to wait after the running period

// A period longer than the timer's range runs in parts: each expiry starts
// the next part, the last one calls the handler.
uint32_t ps_next_part(void) {
  uint64_t part = ps_remaining > APP_TIMER_MAX_CNT_VAL ? APP_TIMER_MAX_CNT_VAL : ps_remaining;
  if (ps_remaining - part != 0 && ps_remaining - part < APP_TIMER_MIN_TIMEOUT_TICKS) {
    part -= APP_TIMER_MIN_TIMEOUT_TICKS;
  }
  ps_remaining -= part;
  return static_cast<uint32_t>(part);
}

void ps_expiry(void *p_context) {
  if (ps_remaining != 0) {
    (void)app_timer_start(uhal_ps_timer_id, ps_next_part(), p_context);
    return;
  }
  if (ps_handler != nullptr) {
    ps_handler(p_context);
  }
}

// Milliseconds as ticks of the 32768 Hz timer clock, rounded; at least the
// library's shortest timeout, at most its 24-bit range.
uint32_t ms_to_ticks(uint32_t ms) {
  uint64_t ticks = (static_cast<uint64_t>(ms) * 32768u + 500u) / 1000u;
  if (ticks < APP_TIMER_MIN_TIMEOUT_TICKS) {
    ticks = APP_TIMER_MIN_TIMEOUT_TICKS;
  }
  if (ticks > APP_TIMER_MAX_CNT_VAL) {
    ticks = APP_TIMER_MAX_CNT_VAL;
  }
  return static_cast<uint32_t>(ticks);
}

app_timer_mode_t mode_of(TimerMode_E mode) {
  return mode == HTMR_ONESHOT ? APP_TIMER_MODE_SINGLE_SHOT : APP_TIMER_MODE_REPEATED;
}

void uhal_timer_init(void) { APP_ERROR_CHECK(app_timer_init()); }

int32_t uhal_timer_create(TimerID_E id, timer_handler callback, TimerMode_E mode) {
  if (id >= kSlots) {
    return -UDRV_WRONG_ARG;
  }
  uhal_timer_pdata[id].slot = id;
  uhal_timer_pdata[id].callback = callback;
  if (app_timer_create(&slot_timer[id], mode_of(mode), uhal_timer_handler_dispatcher) !=
      NRF_SUCCESS) {
    return -UDRV_INTERNAL_ERR;
  }
  return 0;
}

int32_t uhal_timer_start(TimerID_E id, uint32_t ms, void *data) {
  if (id >= kSlots) {
    return -UDRV_WRONG_ARG;
  }
  uhal_timer_pdata[id].data = data;
  if (app_timer_start(slot_timer[id], ms_to_ticks(ms), reinterpret_cast<void *>(id)) !=
      NRF_SUCCESS) {
    return -UDRV_INTERNAL_ERR;
  }
  return 0;
}

int32_t uhal_timer_stop(TimerID_E id) {
  if (id >= kSlots) {
    return -UDRV_WRONG_ARG;
  }
  uhal_timer_pdata[id].data = nullptr;
  if (app_timer_stop(slot_timer[id]) != NRF_SUCCESS) {
    return -UDRV_INTERNAL_ERR;
  }
  return 0;
}

void user_app_timer_expiry(void *) {
  udrv_powersave_in_sleep = false;
  qiv_user_app_timer_event.request = UDRV_SYS_EVT_OP_USER_TIMER;
  qiv_user_app_timer_event.p_context = &qiv_user_app_timer_event;
  udrv_system_event_produce(&qiv_user_app_timer_event);
}

}  // namespace

udrv_timer_api timer_driver = {uhal_timer_init, uhal_timer_create, uhal_timer_start,
                               uhal_timer_stop};

// Expiry of a slot (interrupt context): the slot's event for the dispatcher.
void uhal_timer_handler_dispatcher(void *p_context) {
  uint32_t slot = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p_context));
  udrv_powersave_in_sleep = false;
  qiv_user_timer_event[slot].request = UDRV_SYS_EVT_OP_USER_TIMER;
  qiv_user_timer_event[slot].p_context = &uhal_timer_pdata[slot];
  udrv_system_event_produce(&qiv_user_timer_event[slot]);
}

int32_t uhal_sys_timer_create(SysTimerID_E id, timer_handler handler, TimerMode_E mode) {
  return uhal_timer_create(static_cast<TimerID_E>(id), handler, mode);
}
int32_t uhal_sys_timer_start(SysTimerID_E id, uint32_t count, void *data) {
  return uhal_timer_start(static_cast<TimerID_E>(id), count, data);
}
int32_t uhal_sys_timer_stop(SysTimerID_E id) { return uhal_timer_stop(static_cast<TimerID_E>(id)); }

// Runs in the dispatcher: the slot's callback with its recorded data, or
// the user application timer's.
void uhal_timer_handler_handler(void *pdata) {
  if (pdata == &qiv_user_app_timer_event) {
    if (user_app_callback != nullptr) {
      user_app_callback(user_app_data);
    }
    return;
  }
  auto *record = static_cast<uhal_timer_pdata_t *>(pdata);
  if (record != nullptr && record->callback != nullptr) {
    record->callback(record->data);
  }
}

int32_t uhal_sys_user_app_timer_create(timer_handler handler, TimerMode_E mode) {
  user_app_callback = handler;
  if (app_timer_create(&uhal_user_app_timer_id, mode_of(mode), user_app_timer_expiry) !=
      NRF_SUCCESS) {
    return -UDRV_INTERNAL_ERR;
  }
  user_app_created = true;
  return 0;
}

int32_t uhal_sys_user_app_timer_start(uint32_t count, void *data) {
  user_app_data = data;
  if (!user_app_created ||
      app_timer_start(uhal_user_app_timer_id, ms_to_ticks(count), nullptr) != NRF_SUCCESS) {
    return -UDRV_INTERNAL_ERR;
  }
  return 0;
}

int32_t uhal_sys_user_app_timer_stop(void) {
  if (!user_app_created || app_timer_stop(uhal_user_app_timer_id) != NRF_SUCCESS) {
    return -UDRV_INTERNAL_ERR;
  }
  return 0;
}

int32_t uhal_ps_timer_create(timer_handler handler, TimerMode_E) {
  ps_handler = handler;
  return app_timer_create(&uhal_ps_timer_id, APP_TIMER_MODE_SINGLE_SHOT, ps_expiry) == NRF_SUCCESS
             ? 0
             : -UDRV_INTERNAL_ERR;
}

// A sleep of any length the command takes (up to 2^32 - 1 ms) wakes at its
// end, not at the end of the timer's 24-bit range.
int32_t uhal_ps_timer_start(uint32_t count) {
  ps_remaining = (static_cast<uint64_t>(count) * 32768u + 500u) / 1000u;
  if (ps_remaining < APP_TIMER_MIN_TIMEOUT_TICKS) {
    ps_remaining = APP_TIMER_MIN_TIMEOUT_TICKS;
  }
  return app_timer_start(uhal_ps_timer_id, ps_next_part(), nullptr) == NRF_SUCCESS
             ? 0
             : -UDRV_INTERNAL_ERR;
}

int32_t uhal_ps_timer_stop(void) {
  ps_remaining = 0;
  return app_timer_stop(uhal_ps_timer_id) == NRF_SUCCESS ? 0 : -UDRV_INTERNAL_ERR;
}
