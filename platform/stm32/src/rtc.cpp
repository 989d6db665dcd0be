// RTC in binary mode on the virtual clock: the tick count (the complement of
// SSR) is the virtual time in 1/32768 s plus an offset kept in the backup
// domain, so it continues through MCU resets.
#include "internal.h"
#include "sim/model.h"

extern "C" {
RTC_TypeDef stm32_rtc_regs = {};
}

namespace stm32sim {
namespace detail {
namespace {

constexpr int kOffsetWord = 31;  // retained word: the counter's offset
constexpr uint64_t kHz = 32768;

struct Rtc {
  bool alarm_on = false;
  bool alarm_it = false;
  uint32_t alarm_value = 0;
  sim::EventId alarm_event = 0;
  bool ssru_it = false;
  sim::EventId ssru_event = 0;
  uint32_t flags = 0;
  sim::time_us last_read = sim::kNever;
};

Rtc& rtc() {
  static Rtc r;
  return r;
}

uint64_t raw_ticks(sim::time_us t) { return t * kHz / 1000000u; }
sim::time_us time_of_raw(uint64_t raw) { return (raw * 1000000u + kHz - 1) / kHz; }
uint32_t ticks_now() {
  return static_cast<uint32_t>(raw_ticks(sim::now()) + sim::retained_read(kOffsetWord));
}

void alarm_fired(void*, uint32_t) {
  Rtc& r = rtc();
  r.alarm_event = 0;
  r.flags |= RTC_FLAG_ALRAF;
  if (r.alarm_it) sim::irq_set_pending(sim_irq(RTC_Alarm_IRQn));
}

void schedule_alarm() {
  Rtc& r = rtc();
  if (r.alarm_event) sim::cancel(r.alarm_event);
  r.alarm_event = 0;
  if (!r.alarm_on) return;
  uint32_t diff = ~r.alarm_value - ticks_now();
  // A match value equal to the current count is taken as reached now.
  sim::time_us at = diff == 0 ? sim::now() : time_of_raw(raw_ticks(sim::now()) + diff);
  r.alarm_event = sim::schedule(at, alarm_fired, nullptr, 0);
}

void schedule_ssru();

void ssru_fired(void*, uint32_t) {
  Rtc& r = rtc();
  r.ssru_event = 0;
  r.flags |= RTC_FLAG_SSRUF;
  sim::irq_set_pending(sim_irq(TAMP_STAMP_LSECSS_SSRU_IRQn));
  schedule_ssru();
}

void schedule_ssru() {
  Rtc& r = rtc();
  if (r.ssru_event) sim::cancel(r.ssru_event);
  r.ssru_event = 0;
  if (!r.ssru_it) return;
  uint64_t to_wrap = (1ull << 32) - ticks_now();
  r.ssru_event =
      sim::schedule(time_of_raw(raw_ticks(sim::now()) + to_wrap), ssru_fired, nullptr, 0);
}

}  // namespace

void rtc_reset() {
  Rtc& r = rtc();
  if (r.alarm_event) sim::cancel(r.alarm_event);
  if (r.ssru_event) sim::cancel(r.ssru_event);
  r = Rtc{};
}

void rtc_backup_domain_reset() {
  rtc_reset();
  // The counter starts again from SSR = 0xFFFFFFFF.
  sim::retained_write(kOffsetWord, static_cast<uint32_t>(0u - raw_ticks(sim::now())));
}

}  // namespace detail

void rtc_set_ticks(uint32_t ticks) {
  using namespace detail;
  sim::retained_write(kOffsetWord, ticks - static_cast<uint32_t>(raw_ticks(sim::now())));
  schedule_alarm();
  schedule_ssru();
}

uint32_t rtc_ticks() { return detail::ticks_now(); }

}  // namespace stm32sim

using namespace stm32sim;
using namespace stm32sim::detail;

extern "C" {

HAL_StatusTypeDef HAL_RTC_Init(RTC_HandleTypeDef* hrtc) {
  if (!hrtc) return HAL_ERROR;
  if (hrtc->State == HAL_RTC_STATE_RESET) {
    hrtc->Lock = HAL_UNLOCKED;
    HAL_RTC_MspInit(hrtc);
  }
  // Setting the prescalers and the mode leaves the counter running.
  hrtc->State = HAL_RTC_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_RTC_DeInit(RTC_HandleTypeDef* hrtc) {
  if (!hrtc) return HAL_ERROR;
  HAL_RTC_MspDeInit(hrtc);
  rtc_reset();
  hrtc->State = HAL_RTC_STATE_RESET;
  return HAL_OK;
}

__weak void HAL_RTC_MspInit(RTC_HandleTypeDef*) {}
__weak void HAL_RTC_MspDeInit(RTC_HandleTypeDef*) {}

HAL_StatusTypeDef HAL_RTC_SetAlarm_IT(RTC_HandleTypeDef* hrtc, RTC_AlarmTypeDef* alarm, uint32_t) {
  if (!hrtc || !alarm || alarm->Alarm != RTC_ALARM_A) return HAL_ERROR;
  Rtc& r = rtc();
  r.alarm_on = true;
  r.alarm_it = true;
  r.alarm_value = alarm->AlarmTime.SubSeconds;
  r.flags &= ~RTC_FLAG_ALRAF;
  schedule_alarm();
  return HAL_OK;
}

HAL_StatusTypeDef HAL_RTC_DeactivateAlarm(RTC_HandleTypeDef* hrtc, uint32_t alarm) {
  if (!hrtc || alarm != RTC_ALARM_A) return HAL_ERROR;
  Rtc& r = rtc();
  r.alarm_on = false;
  r.alarm_it = false;
  schedule_alarm();
  return HAL_OK;
}

void HAL_RTC_AlarmIRQHandler(RTC_HandleTypeDef* hrtc) {
  Rtc& r = rtc();
  if (r.flags & RTC_FLAG_ALRAF) {
    r.flags &= ~RTC_FLAG_ALRAF;
    HAL_RTC_AlarmAEventCallback(hrtc);
  }
}

__weak void HAL_RTC_AlarmAEventCallback(RTC_HandleTypeDef*) {}

HAL_StatusTypeDef HAL_RTCEx_EnableBypassShadow(RTC_HandleTypeDef* hrtc) {
  return hrtc ? HAL_OK : HAL_ERROR;
}

HAL_StatusTypeDef HAL_RTCEx_SetSSRU_IT(RTC_HandleTypeDef* hrtc) {
  if (!hrtc) return HAL_ERROR;
  rtc().ssru_it = true;
  schedule_ssru();
  return HAL_OK;
}

HAL_StatusTypeDef HAL_RTCEx_DeactivateSSRU(RTC_HandleTypeDef* hrtc) {
  if (!hrtc) return HAL_ERROR;
  rtc().ssru_it = false;
  schedule_ssru();
  return HAL_OK;
}

void HAL_RTCEx_SSRUIRQHandler(RTC_HandleTypeDef* hrtc) {
  Rtc& r = rtc();
  if (r.flags & RTC_FLAG_SSRUF) {
    r.flags &= ~RTC_FLAG_SSRUF;
    HAL_RTCEx_SSRUEventCallback(hrtc);
  }
}

__weak void HAL_RTCEx_SSRUEventCallback(RTC_HandleTypeDef*) {}

void HAL_RTCEx_BKUPWrite(RTC_HandleTypeDef*, uint32_t backup_register, uint32_t data) {
  if (backup_register < RTC_BKP_NUMBER)
    sim::retained_write(static_cast<int>(backup_register), data);
}

uint32_t HAL_RTCEx_BKUPRead(RTC_HandleTypeDef*, uint32_t backup_register) {
  return backup_register < RTC_BKP_NUMBER ? sim::retained_read(static_cast<int>(backup_register))
                                          : 0;
}

void stm32_rtc_clear_flags(uint32_t flags) { rtc().flags &= ~flags; }

uint32_t LL_RTC_TIME_GetSubSecond(RTC_TypeDef*) {
  Rtc& r = rtc();
  // A loop that only polls the counter must see it move: a read with no time
  // passed since the previous one waits for the next tick.
  if (r.last_read == sim::now()) {
    sim::cpu_spend(time_of_raw(raw_ticks(sim::now()) + 1) - sim::now());
  }
  r.last_read = sim::now();
  return ~ticks_now();
}

}  // extern "C"

// The peripheral back to its power-on state on reset_platform().
SIM_MODEL(stm32_rtc, {.name = "stm32.rtc", .on_reset = stm32sim::detail::rtc_reset});
