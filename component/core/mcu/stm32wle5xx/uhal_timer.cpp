// RTC timer adapter of the STM32WLE5 images: the timer server's driver over
// the RTC's 32-bit binary sub-second counter with alarm A, the system time's
// driver over the RTC backup registers, and the driver layer's ten timers.
#include "stm32wle5xx_port.h"
#include "udrv_powersave.h"
#include "udrv_rtc.h"

RTC_HandleTypeDef hrtc;
uint32_t RtcTimerContext = 0;
bool RTC_Initialized = false;

namespace {

// Ticks of the RTC: the complement of the down-counting SSR.
uint32_t GetTimerTicks(void) { return ~LL_RTC_TIME_GetSubSecond(RTC); }

}  // namespace

// ------------------------------------------------------------- RTC set-up --
void HAL_RTC_MspInit(RTC_HandleTypeDef *) {
  RCC_PeriphCLKInitTypeDef clk = {};
  clk.PeriphClockSelection = RCC_PERIPHCLK_RTC;
  clk.RTCClockSelection = RCC_RTCCLKSOURCE_LSE;
  if (HAL_RCCEx_PeriphCLKConfig(&clk) != HAL_OK) {
    Error_Handler();
  }
  __HAL_RCC_RTC_ENABLE();
  __HAL_RCC_RTCAPB_CLK_ENABLE();
  HAL_NVIC_SetPriority(TAMP_STAMP_LSECSS_SSRU_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(TAMP_STAMP_LSECSS_SSRU_IRQn);
  HAL_NVIC_SetPriority(RTC_Alarm_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(RTC_Alarm_IRQn);
}

void uhal_rtc_init(void) {
  hrtc.Instance = RTC;
  hrtc.Init.AsynchPrediv = 0;
  hrtc.Init.OutPut = RTC_OUTPUT_DISABLE;
  hrtc.Init.OutPutRemap = RTC_OUTPUT_REMAP_NONE;
  hrtc.Init.OutPutPolarity = RTC_OUTPUT_POLARITY_HIGH;
  hrtc.Init.OutPutType = RTC_OUTPUT_TYPE_OPENDRAIN;
  hrtc.Init.OutPutPullUp = RTC_OUTPUT_PULLUP_NONE;
  hrtc.Init.BinMode = RTC_BINARY_ONLY;
  if (HAL_RTC_Init(&hrtc) != HAL_OK || HAL_RTCEx_SetSSRU_IT(&hrtc) != HAL_OK) {
    Error_Handler();
  }
  RTC_AlarmTypeDef alarm = {};
  alarm.AlarmTime.SubSeconds = 0;
  alarm.AlarmMask = RTC_ALARMMASK_NONE;
  alarm.AlarmSubSecondMask = RTC_ALARMSUBSECONDBINMASK_NONE;
  alarm.BinaryAutoClr = RTC_ALARMSUBSECONDBIN_AUTOCLR_NO;
  alarm.Alarm = RTC_ALARM_A;
  if (HAL_RTC_SetAlarm_IT(&hrtc, &alarm, RTC_FORMAT_BIN) != HAL_OK) {
    Error_Handler();
  }
}

// ------------------------------------------------------ timer server driver --
UTIL_TIMER_Status_t TIMER_IF_Init(void) {
  if (!RTC_Initialized) {
    // The RTC, its clock enable and the backup registers live in the
    // backup domain and keep going through an MCU reset: the counter has
    // wrapped as often as register 2 says, and the system-time offset in
    // registers 0 and 1 counts from those wraps. The wrap count starts
    // again only with the counter itself, after a backup-domain reset
    // (which also turns the RTC clock off).
    bool const rtc_was_running = (RCC->BDCR & RCC_BDCR_RTCEN) != 0;
    uhal_rtc_init();
    TIMER_IF_StopTimer();
    hrtc.IsEnabled.RtcFeatures = UINT32_MAX;
    HAL_RTC_DeactivateAlarm(&hrtc, RTC_ALARM_A);
    HAL_RTCEx_EnableBypassShadow(&hrtc);
    if (!rtc_was_running) {
      HAL_RTCEx_BKUPWrite(&hrtc, RTC_BKP_DR2, 0);
    }
    TIMER_IF_SetTimerContext();
    RTC_Initialized = true;
  }
  return UTIL_TIMER_OK;
}

UTIL_TIMER_Status_t TIMER_IF_StartTimer(uint32_t timeout) {
  TIMER_IF_StopTimer();
  RTC_AlarmTypeDef alarm = {};
  alarm.BinaryAutoClr = RTC_ALARMSUBSECONDBIN_AUTOCLR_NO;
  alarm.AlarmMask = RTC_ALARMMASK_NONE;
  alarm.AlarmSubSecondMask = RTC_ALARMSUBSECONDBINMASK_NONE;
  alarm.AlarmTime.SubSeconds = ~(RtcTimerContext + timeout);
  alarm.Alarm = RTC_ALARM_A;
  hrtc.IsEnabled.RtcFeatures = UINT32_MAX;
  if (HAL_RTC_SetAlarm_IT(&hrtc, &alarm, RTC_FORMAT_BIN) != HAL_OK) {
    Error_Handler();
  }
  return UTIL_TIMER_OK;
}

UTIL_TIMER_Status_t TIMER_IF_StopTimer(void) {
  __HAL_RTC_ALARM_CLEAR_FLAG(&hrtc, RTC_CLEAR_ALRAF);
  hrtc.IsEnabled.RtcFeatures = UINT32_MAX;
  HAL_RTC_DeactivateAlarm(&hrtc, RTC_ALARM_A);
  return UTIL_TIMER_OK;
}

uint32_t TIMER_IF_SetTimerContext(void) {
  RtcTimerContext = GetTimerTicks();
  return RtcTimerContext;
}

uint32_t TIMER_IF_GetTimerContext(void) { return RtcTimerContext; }

uint32_t TIMER_IF_GetTimerElapsedTime(void) { return GetTimerTicks() - RtcTimerContext; }

uint32_t TIMER_IF_GetTimerValue(void) { return RTC_Initialized ? GetTimerTicks() : 0; }

uint32_t TIMER_IF_GetMinimumTimeout(void) { return 3; }

uint32_t TIMER_IF_Convert_ms2Tick(uint32_t time_ms) {
  return static_cast<uint32_t>((static_cast<uint64_t>(time_ms) * RTC_TICKS_PER_SECOND) / 1000U);
}

uint32_t TIMER_IF_Convert_Tick2ms(uint32_t tick) {
  return static_cast<uint32_t>((static_cast<uint64_t>(tick) * 1000U) / RTC_TICKS_PER_SECOND);
}

// Seconds since the RTC started: counter plus counted wraps. The wrap count
// and the counter are read so that a wrap between the two reads (or one whose
// interrupt is still held off) is not lost.
uint32_t TIMER_IF_GetTime(uint16_t *mSeconds) {
  uint32_t wraps;
  uint32_t ticks;
  do {
    wraps = HAL_RTCEx_BKUPRead(&hrtc, RTC_BKP_DR2);
    ticks = GetTimerTicks();
  } while (wraps != HAL_RTCEx_BKUPRead(&hrtc, RTC_BKP_DR2));
  if (NVIC_GetPendingIRQ(TAMP_STAMP_LSECSS_SSRU_IRQn) && ticks < 0x80000000U) {
    wraps += 1;
  }
  if (mSeconds != nullptr) {
    *mSeconds =
        static_cast<uint16_t>(((ticks % RTC_TICKS_PER_SECOND) * 1000U) / RTC_TICKS_PER_SECOND);
  }
  return ticks / RTC_TICKS_PER_SECOND + wraps * RTC_WRAP_SECONDS;
}

void TIMER_IF_BkUp_Write_Seconds(uint32_t seconds) {
  HAL_RTCEx_BKUPWrite(&hrtc, RTC_BKP_DR0, seconds);
}

uint32_t TIMER_IF_BkUp_Read_Seconds(void) { return HAL_RTCEx_BKUPRead(&hrtc, RTC_BKP_DR0); }

void TIMER_IF_BkUp_Write_SubSeconds(uint32_t sub_seconds) {
  HAL_RTCEx_BKUPWrite(&hrtc, RTC_BKP_DR1, sub_seconds);
}

uint32_t TIMER_IF_BkUp_Read_SubSeconds(void) { return HAL_RTCEx_BKUPRead(&hrtc, RTC_BKP_DR1); }

const UTIL_TIMER_Driver_s UTIL_TimerDriver = {
    TIMER_IF_Init,
    nullptr,
    TIMER_IF_StartTimer,
    TIMER_IF_StopTimer,
    TIMER_IF_SetTimerContext,
    TIMER_IF_GetTimerContext,
    TIMER_IF_GetTimerElapsedTime,
    TIMER_IF_GetTimerValue,
    TIMER_IF_GetMinimumTimeout,
    TIMER_IF_Convert_ms2Tick,
    TIMER_IF_Convert_Tick2ms,
};

const UTIL_SYSTIM_Driver_s UTIL_SYSTIMDriver = {
    TIMER_IF_BkUp_Write_Seconds,   TIMER_IF_BkUp_Read_Seconds, TIMER_IF_BkUp_Write_SubSeconds,
    TIMER_IF_BkUp_Read_SubSeconds, TIMER_IF_GetTime,
};

void HAL_RTC_AlarmAEventCallback(RTC_HandleTypeDef *) { UTIL_TIMER_IRQ_Handler(); }

void HAL_RTCEx_SSRUEventCallback(RTC_HandleTypeDef *) {
  HAL_RTCEx_BKUPWrite(&hrtc, RTC_BKP_DR2, HAL_RTCEx_BKUPRead(&hrtc, RTC_BKP_DR2) + 1);
}

// Milliseconds since the RTC started, in 64 bits so that it never wraps.
uint64_t uhal_rtc_get_timestamp(void) {
  uint16_t ms = 0;
  uint32_t seconds = TIMER_IF_GetTime(&ms);
  return static_cast<uint64_t>(seconds) * 1000U + ms;
}

void uhal_rtc_suspend(void) {}

void uhal_rtc_resume(void) {}

// --------------------------------------------------------- driver timers ----
namespace {

constexpr uint32_t kTimers = 5;

UTIL_TIMER_Object_t uhal_timer_id[kTimers];
UTIL_TIMER_Object_t uhal_sys_timer_id[kTimers];
uhal_timer_data user_timer_data[kTimers];
uhal_timer_data sys_timer_data[kTimers];
udrv_system_event_t qiv_user_timer_event[kTimers];
udrv_system_event_t qiv_sys_timer_event[kTimers];

struct TimerSet {
  UTIL_TIMER_Object_t *objects;
  uhal_timer_data *data;
  udrv_system_event_t *events;
  udrv_system_event_op_t op;
};

const TimerSet user_timers = {uhal_timer_id, user_timer_data, qiv_user_timer_event,
                              UDRV_SYS_EVT_OP_USER_TIMER};
const TimerSet sys_timers = {uhal_sys_timer_id, sys_timer_data, qiv_sys_timer_event,
                             UDRV_SYS_EVT_OP_SYS_TIMER};

// Expiry (in the RTC alarm interrupt): ends the sleep loop and posts the
// timer's event; its handler runs in the main loop.
void expire(const TimerSet &set, uint32_t id) {
  udrv_powersave_in_sleep = false;
  uhal_timer_data &data = set.data[id];
  udrv_system_event_t &ev = set.events[id];
  ev.request = set.op;
  ev.p_context = &data;
  data.expiries += 1;
  if (udrv_system_event_produce(&ev) != 0) {
    data.expiries -= 1;
  }
}

void user_timer_dispatch(void *argument) {
  expire(user_timers, reinterpret_cast<uintptr_t>(argument));
}

void sys_timer_dispatch(void *argument) {
  expire(sys_timers, reinterpret_cast<uintptr_t>(argument));
}

int32_t timer_create(const TimerSet &set, void (*dispatch)(void *), uint32_t id,
                     timer_handler handler, TimerMode_E mode) {
  if (id >= kTimers) {
    return -UDRV_INTERNAL_ERR;
  }
  set.data[id].timer_id = id;
  set.data[id].timer_func = handler;
  UTIL_TIMER_Mode_t m = mode == HTMR_PERIODIC ? UTIL_TIMER_PERIODIC : UTIL_TIMER_ONESHOT;
  if (UTIL_TIMER_Create(&set.objects[id], 0xFFFFFFFFU, m, dispatch, reinterpret_cast<void *>(id)) !=
      UTIL_TIMER_OK) {
    return -UDRV_INTERNAL_ERR;
  }
  return 0;
}

// Starting or stopping a timer drops its expiries still queued: they belong
// to the run that has just been replaced or ended.
void forget_expiries(uhal_timer_data &data) {
  uint32_t mask;
  uhal_sys_board_critical_section_begin(&mask);
  data.expiries = 0;
  uhal_sys_board_critical_section_end(&mask);
}

int32_t timer_start(const TimerSet &set, uint32_t id, uint32_t count, void *m_data) {
  if (id >= kTimers) {
    return -UDRV_INTERNAL_ERR;
  }
  set.data[id].m_data = m_data;
  forget_expiries(set.data[id]);
  if (UTIL_TIMER_SetPeriod(&set.objects[id], count) != UTIL_TIMER_OK ||
      UTIL_TIMER_Start(&set.objects[id]) != UTIL_TIMER_OK) {
    return -UDRV_INTERNAL_ERR;
  }
  return 0;
}

int32_t timer_stop(const TimerSet &set, uint32_t id) {
  if (id >= kTimers) {
    return -UDRV_INTERNAL_ERR;
  }
  set.data[id].m_data = nullptr;
  forget_expiries(set.data[id]);
  return UTIL_TIMER_Stop(&set.objects[id]) == UTIL_TIMER_OK ? 0 : -UDRV_INTERNAL_ERR;
}

}  // namespace

void uhal_timer_init(void) { UTIL_TIMER_Init(); }

int32_t uhal_timer_create(TimerID_E timer_id, timer_handler tmr_handler, TimerMode_E mode) {
  return timer_create(user_timers, user_timer_dispatch, timer_id, tmr_handler, mode);
}

int32_t uhal_timer_start(TimerID_E timer_id, uint32_t count, void *m_data) {
  return timer_start(user_timers, timer_id, count, m_data);
}

int32_t uhal_timer_stop(TimerID_E timer_id) { return timer_stop(user_timers, timer_id); }

int32_t uhal_sys_timer_create(SysTimerID_E timer_id, timer_handler tmr_handler, TimerMode_E mode) {
  return timer_create(sys_timers, sys_timer_dispatch, timer_id, tmr_handler, mode);
}

int32_t uhal_sys_timer_start(SysTimerID_E timer_id, uint32_t count, void *m_data) {
  return timer_start(sys_timers, timer_id, count, m_data);
}

int32_t uhal_sys_timer_stop(SysTimerID_E timer_id) { return timer_stop(sys_timers, timer_id); }

// An expiry in the main loop: the handler runs with the timer's context,
// unless the timer was stopped or started again after the expiry was posted.
void uhal_timer_handler_handler(void *pdata) {
  auto *data = static_cast<uhal_timer_data *>(pdata);
  if (data == nullptr) {
    return;
  }
  uint32_t mask;
  uhal_sys_board_critical_section_begin(&mask);
  bool current = data->expiries > 0;
  if (current) {
    data->expiries -= 1;
  }
  uhal_sys_board_critical_section_end(&mask);
  if (current && data->timer_func != nullptr) {
    data->timer_func(data->m_data);
  }
}

// This port has no user application timer: creating and starting one is
// refused; stopping it has nothing to do.
int32_t uhal_sys_user_app_timer_create(timer_handler, TimerMode_E) { return -UDRV_INTERNAL_ERR; }

int32_t uhal_sys_user_app_timer_start(uint32_t, void *) { return -UDRV_INTERNAL_ERR; }

int32_t uhal_sys_user_app_timer_stop(void) { return 0; }

udrv_timer_api timer_driver = {
    uhal_timer_init,
    uhal_timer_create,
    uhal_timer_start,
    uhal_timer_stop,
};
