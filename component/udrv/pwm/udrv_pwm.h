// PWM class: the suspend and resume used by the sleep sequence.
#pragma once

void udrv_pwm_suspend(void);
void udrv_pwm_resume(void);

// ---- Port operations ----
void uhal_pwm_suspend(void);
void uhal_pwm_resume(void);
