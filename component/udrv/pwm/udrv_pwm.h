// PWM class: the ports' records, and the suspend and resume used by the sleep
// sequence.
#pragma once

#include <stdint.h>

typedef enum : uint8_t {
  UDRV_PWM_0 = 0,
  UDRV_PWM_1 = 1,
  UDRV_PWM_2 = 2,
  UDRV_PWM_MAX = 3,
} udrv_pwm_port;

// The period of each resolution: 256, 1024, 4096 and 16384 counts.
typedef enum : uint8_t {
  UDRV_PWM_RESOLUTION_8BIT = 0,
  UDRV_PWM_RESOLUTION_10BIT = 1,
  UDRV_PWM_RESOLUTION_12BIT = 2,
  UDRV_PWM_RESOLUTION_14BIT = 3,
} UDRV_PWM_RESOLUTION;

// What a port keeps of each PWM port: whether it is set up (initialized)
// and running (enabled), its frequency, polarity, pin and duty.
typedef struct {
  bool initialized;
  bool enabled;
  uint32_t freq_hz;
  uint8_t is_invert;
  uint32_t pin;
  uint32_t duty;
} uhal_pwm_status_t;

void udrv_pwm_suspend(void);
void udrv_pwm_resume(void);

// ---- Port contract: what every port provides for this class ----
// Stop the PWM outputs before sleep and restart them as they were after.
void uhal_pwm_suspend(void);
void uhal_pwm_resume(void);
