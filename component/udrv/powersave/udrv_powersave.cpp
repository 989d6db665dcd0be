#include "udrv_powersave.h"

#include "fund_event_queue.h"
#include "service_nvm.h"
#include "udrv_adc.h"
#include "udrv_gpio.h"
#include "udrv_pwm.h"
#include "udrv_rtc.h"
#include "udrv_serial.h"
#include "udrv_spimst.h"
#include "udrv_system.h"
#include "udrv_twimst.h"

#ifdef QIV_LORA_SERVICES_LINKED
#include "service_lora.h"
#endif

volatile bool udrv_powersave_in_sleep;
volatile bool udrv_powersave_early_wakeup;
volatile bool udrv_powersave_in_deep_sleep;
uint64_t udrv_powersave_last_wakeup_time;
uint64_t udrv_powersave_min_wakeup_time = 3;
udrv_ps_cb udrv_ps_sleep_cb[UDRV_PS_CB_SLOTS];
udrv_ps_cb udrv_ps_wakeup_cb[UDRV_PS_CB_SLOTS];

static volatile uint32_t wlock_cnt;
static bool ps_timer_created;
// Set while a sleep asked for on purpose is tried: the wake-up that brought
// the request (the command's own line) does not hold it off.
static bool asked_sleep;

void udrv_powersave_wake_lock(void) {
  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  wlock_cnt = wlock_cnt + 1;
  udrv_system_critical_section_end(&mask);
}

void udrv_powersave_wake_unlock(void) {
  uint32_t mask;
  udrv_system_critical_section_begin(&mask);
  if (wlock_cnt > 0) {
    wlock_cnt = wlock_cnt - 1;
  }
  udrv_system_critical_section_end(&mask);
}

uint32_t udrv_powersave_wake_lock_count(void) { return wlock_cnt; }

void powersave_sleep_handler(void *pdata) {
  (void)pdata;
  udrv_powersave_in_sleep = false;
}

void udrv_sys_clock_init(void) {
  if (powersave_driver.SYS_CLOCK_INIT != nullptr) {
    powersave_driver.SYS_CLOCK_INIT();
  }
}

bool udrv_powersave_sleep_goes_on(void) {
  if (fund_event_queue_space_get() != EVENT_QUEUE_SIZE) {
    udrv_powersave_in_sleep = false;
  }
  return udrv_powersave_in_sleep;
}

int32_t handle_mcu_sleep(void) {
  uint64_t const now = udrv_rtc_get_timestamp(UDRV_RTC_2);
  if (!asked_sleep && now - udrv_powersave_last_wakeup_time < udrv_powersave_min_wakeup_time) {
    return -UDRV_BUSY;
  }
  if (fund_event_queue_space_get() != EVENT_QUEUE_SIZE) {
    return -UDRV_BUSY;
  }
#ifdef QIV_LORA_SERVICES_LINKED
  // The radio goes to sleep only once the sleep is certain: its command
  // takes time that a refused sleep must not spend.
  service_lora_suspend();
#endif
  uint8_t const level = service_nvm_get_auto_sleep_level_from_nvm();

  for (udrv_ps_cb cb : udrv_ps_sleep_cb) {
    if (cb != nullptr) {
      cb();
    }
  }
  // The USB device goes first and comes back last: the other classes are
  // suspended and resumed while it is off the bus.
#ifdef SUPPORT_USB
  uhal_usb_suspend();
#endif
#if QIV_CHIP_SLEEP_SPI_STEPS
  udrv_spimst_suspend();
#endif
  udrv_adc_suspend();
  udrv_pwm_suspend();
  udrv_serial_suspend();
  udrv_twimst_suspend();
  udrv_gpio_suspend();
  udrv_rtc_suspend();

  if (powersave_driver.SYS_CLOCK_OFF != nullptr) {
    powersave_driver.SYS_CLOCK_OFF();
  }
  while (udrv_powersave_in_sleep) {
    powersave_driver.MCU_SLEEP(level);
  }
  if (powersave_driver.SYS_CLOCK_ON != nullptr) {
    powersave_driver.SYS_CLOCK_ON();
  }

  udrv_rtc_resume();
  udrv_gpio_resume();
#if QIV_CHIP_SLEEP_SPI_STEPS
  udrv_spimst_resume();
#endif
  udrv_twimst_resume();
  udrv_serial_resume();
  udrv_pwm_resume();
  udrv_adc_resume();
#ifdef SUPPORT_USB
  uhal_usb_resume();
#endif
  for (udrv_ps_cb cb : udrv_ps_wakeup_cb) {
    if (cb != nullptr) {
      cb();
    }
  }
  udrv_powersave_last_wakeup_time = udrv_rtc_get_timestamp(UDRV_RTC_2);
  return 0;
}

int32_t udrv_sleep_ms(uint32_t ms_time) {
  if (wlock_cnt > 0) {
    return -UDRV_TEMP_LOCKED;
  }
#if QIV_CHIP_SLEEP_ALWAYS_DEEP
  udrv_powersave_in_deep_sleep = true;
#elif defined(QIV_LORA_SERVICES_LINKED)
  udrv_powersave_in_deep_sleep = service_lora_isbusy();
#else
  udrv_powersave_in_deep_sleep = false;
#endif
  udrv_powersave_in_sleep = true;
  if (ms_time != 0) {
    if (!ps_timer_created) {
      uhal_ps_timer_create(powersave_sleep_handler, HTMR_ONESHOT);
      ps_timer_created = true;
    }
    uhal_ps_timer_stop();
    uhal_ps_timer_start(ms_time);
  }
  int32_t const ret = handle_mcu_sleep();
#ifdef QIV_LORA_SERVICES_LINKED
  service_lora_resume();
#endif
  if (ret != 0) {
    udrv_powersave_in_sleep = false;
  }
  // A refused sleep, or one ended early by another wake-up source, leaves
  // no timer behind that could end a later sleep.
  if (ms_time != 0) {
    uhal_ps_timer_stop();
  }
  return ret;
}

int32_t udrv_sleep_ms_asked(uint32_t ms_time) {
  asked_sleep = true;
  int32_t const ret = udrv_sleep_ms(ms_time);
  asked_sleep = false;
  return ret;
}
