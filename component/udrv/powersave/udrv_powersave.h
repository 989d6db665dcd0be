// Power save: the main loop's sleep with wake locks, the suspend and resume
// of the other device classes around the port's sleep call, and the
// sleep and wake-up hooks.
#pragma once

#include <stdint.h>

#include "qiv_config.h"
#include "udrv_errno.h"
#include "udrv_timer.h"

typedef struct {
  void (*MCU_SLEEP)(uint8_t level);
  void (*SYS_CLOCK_INIT)(void);
  void (*SYS_CLOCK_ON)(void);
  void (*SYS_CLOCK_OFF)(void);
} udrv_powersave_api;

// Filled by the port.
extern udrv_powersave_api powersave_driver;

#define UDRV_PS_CB_SLOTS 16
typedef void (*udrv_ps_cb)(void);

// Set while a sleep lasts; every wake source that ends the sleep clears it.
extern volatile bool udrv_powersave_in_sleep;
// Set by a port wake source (a wake-up pin) that ended the sleep early.
extern volatile bool udrv_powersave_early_wakeup;
// Chosen at sleep entry for the port to pick the sleep depth.
extern volatile bool udrv_powersave_in_deep_sleep;
extern uint64_t udrv_powersave_last_wakeup_time;
extern uint64_t udrv_powersave_min_wakeup_time;
extern udrv_ps_cb udrv_ps_sleep_cb[UDRV_PS_CB_SLOTS];
extern udrv_ps_cb udrv_ps_wakeup_cb[UDRV_PS_CB_SLOTS];

void udrv_powersave_wake_lock(void);
void udrv_powersave_wake_unlock(void);
// Wake locks held now (a port's wake window is not closed while one is).
uint32_t udrv_powersave_wake_lock_count(void);
// Sleeps for ms_time ms, or until a wake source ends it when ms_time is 0.
// 0; -8 while a wake lock is held; -6 when events are pending or the last
// wake-up was less than 3 ms ago.
int32_t udrv_sleep_ms(uint32_t ms_time);
// The same for a sleep a user asks for (AT+SLEEP): the rule against sleeping
// within 3 ms of a wake-up is left out, since the wake-up was most likely
// the request's own arrival. Wake locks and pending events still refuse it.
int32_t udrv_sleep_ms_asked(uint32_t ms_time);
int32_t handle_mcu_sleep(void);
// For the port's sleep call, with interrupts masked: whether the sleep goes
// on. It ends when a wake source has cleared the sleep flag, and is given up
// when an event was posted after the sleep's check of the queue (by an
// interrupt during the suspend sequence, such as a line completed while the
// serial ports were suspended). Whatever happens after this test raises an
// interrupt that stays pending and ends the stop mode at once.
bool udrv_powersave_sleep_goes_on(void);
void powersave_sleep_handler(void *pdata);
void udrv_sys_clock_init(void);

// ---- Port contract: what every port provides for this class ----
// powersave_driver above: MCU_SLEEP enters the chip's sleep (with interrupts
// masked it asks udrv_powersave_sleep_goes_on() before each stop), the clock
// entries switch the clocks the sleep stops. And the sleep's wake-up timer:
// create it once with the handler (powersave_sleep_handler), then
// start it for count ms and stop it; each returns 0 or a negated code.
int32_t uhal_ps_timer_create(timer_handler handler, TimerMode_E mode);
int32_t uhal_ps_timer_start(uint32_t count);
int32_t uhal_ps_timer_stop(void);
#ifdef SUPPORT_USB
// The USB device over the sleep: asked into suspend before the other
// classes are suspended, and woken (remote wake-up) after they are resumed.
void uhal_usb_suspend(void);
void uhal_usb_resume(void);
#endif
