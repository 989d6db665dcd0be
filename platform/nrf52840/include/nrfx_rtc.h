// The real-time counters: a 24-bit counter on the 32768 Hz clock with a
// prescaler, an overflow event and compare channels. Only RTC2 is free for
// the application (RTC0 and RTC1 belong to the stack and the timer library).
#pragma once

#include <stdint.h>

#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  NRFX_RTC_INT_COMPARE0 = 0,
  NRFX_RTC_INT_COMPARE1 = 1,
  NRFX_RTC_INT_COMPARE2 = 2,
  NRFX_RTC_INT_COMPARE3 = 3,
  NRFX_RTC_INT_TICK = 4,
  NRFX_RTC_INT_OVERFLOW = 5,
} nrfx_rtc_int_type_t;

typedef struct {
  uint8_t instance_id;
  uint8_t cc_channel_count;
} nrfx_rtc_t;
#define NRFX_RTC_INSTANCE(id) \
  { (id), 4 }

typedef struct {
  uint16_t prescaler;  // counter frequency = 32768 / (prescaler + 1)
  uint8_t interrupt_priority;
  uint8_t tick_latency;
  bool reliable;
} nrfx_rtc_config_t;
#define NRFX_RTC_DEFAULT_CONFIG \
  { 0, 6, 0, false }
#define RTC_FREQ_TO_PRESCALER(freq) (static_cast<uint16_t>(32768 / (freq)) - 1)

typedef void (*nrfx_rtc_handler_t)(nrfx_rtc_int_type_t int_type);

nrfx_err_t nrfx_rtc_init(nrfx_rtc_t const *p_instance, nrfx_rtc_config_t const *p_config,
                         nrfx_rtc_handler_t handler);
void nrfx_rtc_uninit(nrfx_rtc_t const *p_instance);
void nrfx_rtc_enable(nrfx_rtc_t const *p_instance);
void nrfx_rtc_disable(nrfx_rtc_t const *p_instance);
uint32_t nrfx_rtc_counter_get(nrfx_rtc_t const *p_instance);
void nrfx_rtc_counter_clear(nrfx_rtc_t const *p_instance);
void nrfx_rtc_tick_disable(nrfx_rtc_t const *p_instance);
void nrfx_rtc_overflow_enable(nrfx_rtc_t const *p_instance, bool enable_irq);
void nrfx_rtc_overflow_disable(nrfx_rtc_t const *p_instance);
uint32_t nrfx_rtc_max_ticks_get(nrfx_rtc_t const *p_instance);
// Compare channel: the event when the counter becomes `val` (24 bits).
nrfx_err_t nrfx_rtc_cc_set(nrfx_rtc_t const *p_instance, uint32_t channel, uint32_t val,
                           bool enable_irq);
nrfx_err_t nrfx_rtc_cc_disable(nrfx_rtc_t const *p_instance, uint32_t channel);
// The PRESCALER register (takes a write only while the counter is stopped).
uint32_t nrfx_rtc_prescaler_get(nrfx_rtc_t const *p_instance);
void nrfx_rtc_prescaler_set(nrfx_rtc_t const *p_instance, uint32_t prescaler);

#ifdef __cplusplus
}  // extern "C"
#endif
