// PWM class: the suspend and resume used by the sleep sequence.
#pragma once

void udrv_pwm_suspend(void);
void udrv_pwm_resume(void);

// ---- Port contract: what every port provides for this class ----
// Stop the PWM outputs before sleep and restart them as they were after.
void uhal_pwm_suspend(void);
void uhal_pwm_resume(void);
