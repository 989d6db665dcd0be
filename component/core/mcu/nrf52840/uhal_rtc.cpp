// The RTC2 time base of the nRF52840 images: milliseconds since start over
// the 24-bit counter's wraps, at 32768 Hz while running and at 10 Hz while
// the MCU sleeps without an alarm. Time is kept in units of 1/163840 s, in
// which a tick of either rate is a whole number (5 and 16384 units), and the
// wrap adds 2^24 ticks at the rate the counter actually ran at.
#include "nrf52840_port.h"
#include "nrfx_rtc.h"
#include "udrv_powersave.h"
#include "udrv_rtc.h"

namespace {

constexpr uint32_t kUnitsPerSecond = 163840;
constexpr uint32_t kFastHz = 32768;
constexpr uint32_t kSleepHz = 10;

const nrfx_rtc_t rtc2 = NRFX_RTC_INSTANCE(2);
uint64_t time_units;  // counted before the counter's present value
uint64_t counter_base;
uint32_t max_ticks;
rtc_handler compare0_handler;
void *compare0_data;
volatile uint32_t alarm_cnt;
bool change_freq;

struct rtc_status_t {
  bool open;
  uint32_t hz;
};
rtc_status_t rtc_status[UDRV_RTC_MAX];

uint32_t units_per_tick(void) { return kUnitsPerSecond / rtc_status[UDRV_RTC_2].hz; }

void uhal_rtc_handler(nrfx_rtc_int_type_t int_type) {
  if (int_type == NRFX_RTC_INT_OVERFLOW) {
    counter_base += uint64_t{max_ticks} + 1u;
    time_units += (uint64_t{max_ticks} + 1u) * units_per_tick();
  } else if (int_type == NRFX_RTC_INT_COMPARE0) {
    if (compare0_handler != nullptr) {
      udrv_powersave_in_sleep = false;
      qiv_rtc_event.request = UDRV_SYS_EVT_OP_RTC;
      qiv_rtc_event.p_context = compare0_data;
      udrv_system_event_produce(&qiv_rtc_event);
    }
    alarm_cnt = 0;
  }
}

void rtc_open(uint32_t hz) {
  nrfx_rtc_config_t config = NRFX_RTC_DEFAULT_CONFIG;
  config.prescaler = static_cast<uint16_t>(32768u / hz - 1u);
  config.interrupt_priority = 6;
  APP_ERROR_CHECK(nrfx_rtc_init(&rtc2, &config, uhal_rtc_handler));
  nrfx_rtc_tick_disable(&rtc2);
  nrfx_rtc_overflow_enable(&rtc2, true);
  max_ticks = nrfx_rtc_max_ticks_get(&rtc2);
  while (nrfx_rtc_prescaler_get(&rtc2) != config.prescaler) {
    nrfx_rtc_prescaler_set(&rtc2, config.prescaler);
  }
  nrfx_rtc_enable(&rtc2);
  rtc_status[UDRV_RTC_2].open = true;
  rtc_status[UDRV_RTC_2].hz = hz;
}

// Stops the counter, adds what it counted to the time base and reopens it
// at `hz`.
void rtc_switch(uint32_t hz) {
  nrfx_rtc_disable(&rtc2);
  uint32_t counter = nrfx_rtc_counter_get(&rtc2);
  time_units += uint64_t{counter} * units_per_tick();
  counter_base +=
      rtc_status[UDRV_RTC_2].hz == kFastHz ? counter : uint64_t{counter} * kFastHz / kSleepHz;
  nrfx_rtc_counter_clear(&rtc2);
  while (nrfx_rtc_counter_get(&rtc2) != 0) {
  }
  nrfx_rtc_uninit(&rtc2);
  rtc_open(hz);
}

}  // namespace

udrv_system_event_t qiv_rtc_event;

int32_t uhal_rtc_init(RtcID_E id, rtc_handler handler, uint32_t hz) {
  if (id != UDRV_RTC_2 || hz == 0 || hz > kFastHz) {
    return -UDRV_WRONG_ARG;
  }
  compare0_handler = handler;
  if (rtc_status[id].open) {
    // Opened again: the time base goes on at the new rate.
    rtc_switch(hz);
    return 0;
  }
  rtc_open(hz);
  return 0;
}

uint64_t uhal_rtc_get_counter(RtcID_E id) {
  if (id != UDRV_RTC_2 || !rtc_status[id].open) {
    return 0;
  }
  return nrfx_rtc_counter_get(&rtc2);
}

uint64_t uhal_rtc_get_timestamp(RtcID_E id) {
  if (id != UDRV_RTC_2 || !rtc_status[id].open) {
    return 0;
  }
  uint8_t nested;
  sd_nvic_critical_region_enter(&nested);
  uint32_t counter = nrfx_rtc_counter_get(&rtc2);
  // A wrap whose interrupt has not run yet is counted here.
  bool wrapped = NVIC_GetPendingIRQ(RTC2_IRQn) && counter < (max_ticks >> 1);
  uint64_t units = time_units + uint64_t{counter} * units_per_tick();
  if (wrapped) {
    units += (uint64_t{max_ticks} + 1u) * units_per_tick();
  }
  sd_nvic_critical_region_exit(nested);
  return units * 1000u / kUnitsPerSecond;
}

uint64_t uhal_rtc_tick2ms(uint64_t tick) {
  return static_cast<uint64_t>(static_cast<float>(tick) * 1000.0f / 32768.0f);
}

uint64_t uhal_rtc_ms2tick(uint64_t ms) { return ms * 32768u / 1000u; }

int32_t uhal_rtc_set_alarm(RtcID_E id, uint64_t count, void *m_data) {
  if (id != UDRV_RTC_2 || !rtc_status[id].open) {
    return -UDRV_WRONG_ARG;
  }
  if (count == 0 || count > max_ticks) {
    return -UDRV_WRONG_ARG;
  }
  compare0_data = m_data;
  alarm_cnt = 1;
  uint32_t at = static_cast<uint32_t>((nrfx_rtc_counter_get(&rtc2) + count) & max_ticks);
  if (nrfx_rtc_cc_set(&rtc2, 0, at, true) != NRFX_SUCCESS) {
    alarm_cnt = 0;
    return -UDRV_INTERNAL_ERR;
  }
  return 0;
}

int32_t uhal_rtc_cancel_alarm(RtcID_E id) {
  if (id != UDRV_RTC_2) {
    return -UDRV_WRONG_ARG;
  }
  (void)nrfx_rtc_cc_disable(&rtc2, 0);
  alarm_cnt = 0;
  return 0;
}

uint64_t uhal_rtc_get_elapsed_time(RtcID_E id, uint64_t old_ts) {
  return (uhal_rtc_get_counter(id) - old_ts) & max_ticks;
}

void uhal_rtc_handler_handler(void *pdata) {
  if (compare0_handler != nullptr) {
    compare0_handler(pdata);
  }
}

void uhal_rtc_suspend(void) {
  if (!rtc_status[UDRV_RTC_2].open || alarm_cnt != 0) {
    change_freq = false;
    return;
  }
  rtc_switch(kSleepHz);
  change_freq = true;
}

void uhal_rtc_resume(void) {
  if (!change_freq) {
    return;
  }
  rtc_switch(kFastHz);
  change_freq = false;
}

uint32_t get_rtc_counter(void) { return static_cast<uint32_t>(uhal_rtc_get_counter(UDRV_RTC_2)); }
